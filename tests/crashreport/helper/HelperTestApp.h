// What the crash report helper's tests share: the one QApplication of a test
// program, the helper program started on a socket pair, waiting for a
// process, and screenshots for a person to look at.
#pragma once

#include "crashreport/kelExceptLink.h"

#include <QApplication>
#include <QDir>
#include <QWidget>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

inline QApplication& App()
{
    static int Argc = 1;
    static char Name[] = "crashreport_helper_tests";
    static char* Argv[] = {Name, nullptr};
    // Never destroyed: Qt's own statics may be gone before it at exit.
    static QApplication* A = new QApplication(Argc, Argv);
    return *A;
}

// Saves what W shows as build/test-output/<Name>.png.
inline bool SaveScreenshot(QWidget& W, const QString& Name)
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    const QString Out = QString(Bin ? Bin : ".") + "/../test-output";
    QDir().mkpath(Out);
    return W.grab().save(Out + "/" + Name + ".png");
}

// The exit status of a process that ends within Limit; -1 when it does not
// (it is killed then), -2 when it was ended by a signal.
inline int WaitForExit(pid_t Pid, std::chrono::milliseconds Limit)
{
    const auto End = std::chrono::steady_clock::now() + Limit;
    for (;;) {
        int Status = 0;
        if (::waitpid(Pid, &Status, WNOHANG) == Pid)
            return WIFEXITED(Status) ? WEXITSTATUS(Status) : -2;
        if (std::chrono::steady_clock::now() > End) {
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, nullptr, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

// The helper program started on a socket pair, and this side's end.
struct THelperProcess {
    pid_t Pid = -1;
    std::shared_ptr<TExceptLink> Link;
};

inline THelperProcess StartHelper()
{
    THelperProcess H;
    int Fds[2];
    if (!CreateLinkPair(Fds))
        return H;
    H.Pid = StartHelperProcess(TOLVEX_CRASH_HELPER, Fds[1]);
    ::close(Fds[1]);
    H.Link = std::make_shared<TExceptLink>(Fds[0]);
    return H;
}
