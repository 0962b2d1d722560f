// The program itself, started from a portable folder of its own (the program
// file linked or copied there with its default files and languages), on one
// offscreen screen or on the X server of an Xvfb run; ended by SIGTERM.
// Tests of what the real program does with its files at start and end stand
// on this fixture.
#pragma once

#include "app/CheckPrevious.h"
#include "tests/app/InstanceProbe.h"
#include "tests/forms/GuiTestApp.h"
#include "tests/support/TempFolder.h"

#include <QGuiApplication>
#include <QLocalSocket>
#include <QScreen>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <spawn.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

class PortableProgramTest : public ::testing::Test {
protected:
    // The one offscreen screen the program is shown on.
    static constexpr int ScreenWidth = 1280, ScreenHeight = 1024;

    static bool OnX()
    {
        const char* Platform = std::getenv("QT_QPA_PLATFORM");
        return Platform && std::string(Platform) == "xcb";
    }
    // The room the program's window has: on a real X server that of the
    // screen this test sees too.
    static QSize Room()
    {
        if (OnX())
            return QGuiApplication::primaryScreen()->availableGeometry().size();
        return {ScreenWidth, ScreenHeight};
    }

    void SetUp() override
    {
        App();
        Runtime = Dir.Path("run");
        ::mkdir(Runtime.c_str(), 0700);
        ::setenv("XDG_RUNTIME_DIR", Runtime.c_str(), 1);
        MappingName = TolvexInstanceGuid;
        // A portable program folder: the program file (linked, or copied
        // where links cannot be made), its default files and languages.
        const char* Bin = std::getenv("TOLVEX_BIN_DIR");
        ASSERT_NE(Bin, nullptr);
        ProgramDir = Dir.Path("app");
        std::filesystem::create_directories(ProgramDir);
        std::error_code Ec;
        std::filesystem::create_hard_link(std::string(Bin) + "/tolvex", ProgramDir + "/tolvex", Ec);
        if (Ec)
            std::filesystem::copy_file(std::string(Bin) + "/tolvex", ProgramDir + "/tolvex");
        std::filesystem::copy(std::string(Bin) + "/Default", ProgramDir + "/Default",
                              std::filesystem::copy_options::recursive);
        std::filesystem::copy(std::string(Bin) + "/languages", ProgramDir + "/languages",
                              std::filesystem::copy_options::recursive);
    }
    void TearDown() override
    {
        for (pid_t P : Children) {
            ::kill(P, SIGKILL);
            ::waitpid(P, nullptr, 0);
        }
        ::unsetenv("XDG_RUNTIME_DIR");
    }

    pid_t Start()
    {
        const std::string Program = ProgramDir + "/tolvex";
        // On a real X server (the Xvfb run) the program shows its window
        // there; otherwise on one offscreen screen.
        std::vector<std::string> Env;
        for (char** E = environ; *E; ++E) {
            const std::string V = *E;
            if (V.rfind("XDG_RUNTIME_DIR=", 0) != 0 &&
                (OnX() || V.rfind("QT_QPA_PLATFORM=", 0) != 0))
                Env.push_back(V);
        }
        Env.push_back("XDG_RUNTIME_DIR=" + Runtime);
        if (!OnX()) {
            const std::string Screens = Dir.Path("screens.json");
            TempFolder::Write(Screens, "{\"screens\": [{\"name\": \"Primary\", \"x\": 0, "
                                       "\"y\": 0, \"width\": " +
                                           std::to_string(ScreenWidth) + ", \"height\": " +
                                           std::to_string(ScreenHeight) + "}]}\n");
            Env.push_back("QT_QPA_PLATFORM=offscreen:configfile=" + Screens);
        }
        std::vector<char*> Envp;
        for (std::string& V : Env)
            Envp.push_back(V.data());
        Envp.push_back(nullptr);
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_addopen(&Actions, 2, Errors().c_str(),
                                         O_WRONLY | O_CREAT | O_TRUNC, 0600);
        char Portable[] = "-portable";
        char* Argv[] = {const_cast<char*>(Program.c_str()), Portable, nullptr};
        pid_t Pid = -1;
        EXPECT_EQ(::posix_spawn(&Pid, Program.c_str(), &Actions, nullptr, Argv, Envp.data()), 0);
        posix_spawn_file_actions_destroy(&Actions);
        if (Pid > 0)
            Children.push_back(Pid);
        return Pid;
    }

    // Waits (at most a generous while: a watchdog, not a measure) for Done.
    static bool WaitFor(const std::function<bool()>& Done, std::chrono::seconds Limit)
    {
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        while (!Done()) {
            if (std::chrono::steady_clock::now() > Deadline)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }

    static bool Registered(pid_t Pid) { return InstanceRegistered(Pid); }
    static bool Running(pid_t Pid) { return InstanceRunning(Pid); }

    // Signal (SIGTERM unless told), then the exit code (128 + signal when
    // killed by one), or -1 when it had not ended after a generous while.
    int Terminate(pid_t Pid, int Signal = SIGTERM)
    {
        ::kill(Pid, Signal);
        int Status = 0;
        pid_t R = 0;
        WaitFor([&] { return (R = ::waitpid(Pid, &Status, WNOHANG)) == Pid; },
                std::chrono::seconds(20));
        if (R != Pid)
            return -1;
        std::erase(Children, Pid);
        return WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
    }

    std::string Errors() const { return Dir.Path("stderr.txt"); }
    std::string ErrorText() const { return TempFolder::Read(Errors()); }

    TempFolder Dir;
    std::string ProgramDir;
    std::string Runtime;
    std::vector<pid_t> Children;
};
