#include "crashreport/helper/kelExceptWatch.h"

#include "crashreport/helper/kelExceptBoxSession.h"
#include "crashreport/helper/kelHelperSession.h"
#include "crashreport/kelExceptRestart.h"

#include <QMessageBox>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::string Hex(std::uint64_t Value, int Digits = 16)
{
    char Text[24];
    std::snprintf(Text, sizeof Text, "%0*llx", Digits, static_cast<unsigned long long>(Value));
    return Text;
}

const char* const RegisterNames[18] = {"rax", "rbx", "rcx", "rdx", "rsi", "rdi",
                                       "rbp", "rsp", "r8",  "r9",  "r10", "r11",
                                       "r12", "r13", "r14", "r15", "rip", "eflags"};

} // namespace

std::string LastWordsText(const TLastWordsFrame& W)
{
    const char* Name = W.Signal < NSIG ? sigabbrev_np(static_cast<int>(W.Signal)) : nullptr;
    std::string Text = "signal " + std::to_string(W.Signal) + " (SIG" + (Name ? Name : "?") +
                       "), code " + std::to_string(W.Code) + ", process " + std::to_string(W.Pid) +
                       ", thread " + std::to_string(W.ThreadId);
    if (W.FaultAddress != 0)
        Text += ", accessing $" + Hex(W.FaultAddress);
    Text += "\n\n";
    for (int I = 0; I < 18; ++I) {
        char Line[48];
        std::snprintf(Line, sizeof Line, "%-6s = $%s%s", RegisterNames[I],
                      Hex(W.Registers[static_cast<std::size_t>(I)]).c_str(),
                      I % 2 == 1 ? "\n" : "    ");
        Text += Line;
    }
    Text += "\nstack:\n";
    for (std::size_t At = 0; At < W.Stack.size(); At += 16) {
        Text += Hex(W.StackAddress + At) + " ";
        for (std::size_t I = At; I < At + 16 && I < W.Stack.size(); ++I)
            Text += " " + Hex(static_cast<unsigned char>(W.Stack[I]), 2);
        Text += "\n";
    }
    return Text;
}

TExceptWatch::TExceptWatch(THelperSession& ASession, TExceptBoxSession& Boxes, int Fd,
                           std::chrono::milliseconds APatience)
    : Session(ASession), FFd(Fd), Patience(APatience)
{
    Boxes.OnProgress = [this](std::uint32_t Report, bool Complete) { Begun(Report, Complete); };
    if (FFd >= 0)
        Session.Idle = [this] { Read(); };
}

TExceptWatch::~TExceptWatch() = default;

void TExceptWatch::Read()
{
    if (FFd < 0 || Ended)
        return;
    char Buffer[8192];
    for (;;) {
        const ssize_t N = ::recv(FFd, Buffer, sizeof Buffer, MSG_DONTWAIT);
        if (N > 0) {
            Parser.Feed(Buffer, static_cast<std::size_t>(N));
            continue;
        }
        if (N < 0 && errno == EINTR)
            continue;
        if (N == 0 || errno != EAGAIN) {
            // The program's end of them is gone: nothing more will come (the
            // notifier may be the caller: it is only switched off).
            Ended = true;
            if (Notifier)
                Notifier->setEnabled(false);
        }
        break;
    }
    TLinkFrame F;
    bool Got = false;
    while (Parser.Next(F) == TParse::prFrame) {
        TLastWordsFrame W;
        if (DecodeFrame(F, W) && !Words) {
            Words = std::move(W);
            Got = true;
        }
    }
    if (Got)
        Arm();
}

void TExceptWatch::Begun(std::uint32_t Report, bool Complete)
{
    if (Complete) {
        Open.erase(Report);
        if (Open.empty() && Timer) {
            Timer->stop();
            Waiting = false;
        }
        return;
    }
    Open.insert(Report);
    Arm();
}

void TExceptWatch::Arm()
{
    Session.EnsureApplication();
    if (!Notifier && FFd >= 0 && !Ended) {
        Notifier = std::make_unique<QSocketNotifier>(FFd, QSocketNotifier::Read);
        QObject::connect(Notifier.get(), &QSocketNotifier::activated, [this] { Read(); });
    }
    if (!Timer) {
        Timer = std::make_unique<QTimer>();
        Timer->setSingleShot(true);
        QObject::connect(Timer.get(), &QTimer::timeout, [this] { TimeUp(); });
    }
    if (!Waiting) {
        Waiting = true;
        Timer->start(static_cast<int>(Patience.count()));
    }
}

void TExceptWatch::TimeUp()
{
    Waiting = false;
    if (Shown || (Open.empty() && !Words))
        return;
    Shown = true;
    // The program may be stuck for good: the helper stays until the user
    // has decided, whatever the link does.
    Session.BeginWork();
    Stuck = std::make_unique<QMessageBox>(QMessageBox::Warning, "tolvex-crashreport", QString());
    const pid_t Pid = Session.ProgramPid() != 0 ? Session.ProgramPid()
                                                : static_cast<pid_t>(Words ? Words->Pid : 0);
    Stuck->setText(QString("The program (process %1) has not finished its bug report within "
                           "%2 seconds. The box shows what it has so far.")
                       .arg(Pid)
                       .arg(Patience.count() / 1000));
    if (Words)
        Stuck->setDetailedText(QString::fromStdString(LastWordsText(*Words)));
    QPushButton* Close = Stuck->addButton("&Close program", QMessageBox::DestructiveRole);
    QPushButton* Restart = Stuck->addButton("&Restart program", QMessageBox::AcceptRole);
    Stuck->setDefaultButton(Close);
    QObject::connect(Stuck.get(), &QMessageBox::finished, [this, Restart] {
        const bool Again = Stuck->clickedButton() == Restart;
        Kill(Again);
    });
    Stuck->show();
}

void TExceptWatch::Kill(bool Restart)
{
    const pid_t Pid = Session.ProgramPid() != 0 ? Session.ProgramPid()
                                                : static_cast<pid_t>(Words ? Words->Pid : 0);
    if (Pid > 0) {
        // What starting it again needs is read while it still runs.
        std::optional<TProgramImage> Image;
        if (Restart)
            Image = CaptureProgram(Pid);
        ::kill(Pid, SIGKILL);
        if (Image && RelaunchAfterExit(*Image, {}, std::chrono::seconds(5)) < 0)
            std::fprintf(stderr, "tolvex-crashreport: the program could not be started again\n");
    }
    Session.EndWork();
}
