#include "admin/uComputerShutdown.h"
#include "admin/uDlgGetUserNameAndPassword.h"
#include "admin/udlgComputerShutdown.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/MainThreadLoop.h"
#include "platform/Process.h"
#include "platform/Thread.h"
#include "settings/Language.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QTimer>

#include "tests/admin/SessionPeers.h"
#include "tests/forms/GuiTestApp.h"
#include "tests/support/FifoTrap.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <string_view>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using guitest::Child;
using guitest::ModalDriver;

namespace {

// The application with its main thread serving the worker's report, the
// built-in English texts, every message recorded, and net replaced by a
// script that waits until the test lets it go on.
class ShutdownGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        static bool Installed = false;
        if (!Installed) {
            InstallMainThreadIntoEventLoop();
            Installed = true;
        }
        LangChanger = std::make_unique<TLangChanger>();
        // Nothing here may reach the real system bus.
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
        FOldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call);
            return Answer;
        });
        FSavedProgram = NetProgram;
        FSavedLimit = ShutdownTimeLimit;
        NetProgram = Dir.Path("net");
    }
    void TearDown() override
    {
        std::ofstream(Dir.Path("go")).close(); // never leave a client waiting
        NetProgram = FSavedProgram;
        ShutdownTimeLimit = FSavedLimit;
        SetMessageSink(std::move(FOldSink));
        LangChanger.reset();
    }
    // net waits for the file "go", then runs Tail.
    void WriteNet(const std::string& Tail)
    {
        std::ofstream Out(NetProgram);
        Out << "#!/bin/bash\nwhile [ ! -e '" << Dir.Path("go") << "' ]; do sleep 0.05; done\n"
            << Tail << "\n";
        Out.close();
        ::chmod(NetProgram.c_str(), 0700);
    }
    void Go() { std::ofstream(Dir.Path("go")).close(); }
    static void WaitIdle(TdlgComputerShutdown& Dlg)
    {
        EXPECT_TRUE(QTest::qWaitFor([&] { return !Dlg.Working(); }, 120000));
    }

    TempFolder Dir;
    std::vector<TMessageBoxCall> Messages;
    int Answer = mrOk;

private:
    TMessageSink FOldSink;
    std::string FSavedProgram;
    std::chrono::milliseconds FSavedLimit{};
};

std::string ReadFileText(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

// What the user would see for a recorded error message.
bool SaveErrorScreenshot(const TMessageBoxCall& Call, const QString& Name)
{
    QMessageBox Box(QMessageBox::Critical, QString::fromStdString(Call.Caption),
                    QString::fromStdString(Call.Text));
    Box.show();
    return guitest::SaveScreenshot(Box, Name);
}

// How often Needle is in this process's writable memory (heap, thread
// arenas and stacks, data), freed memory included, apart from Needle's own
// buffer. Read through /proc/self/mem in slices, through a buffer of its
// own that is left out as well.
int CopiesInMemory(const std::string& Needle)
{
    static char Slice[1 << 16];
    const auto Skip = [&](uintptr_t At) {
        return At == reinterpret_cast<uintptr_t>(Needle.data()) ||
               (At >= reinterpret_cast<uintptr_t>(Slice) &&
                At < reinterpret_cast<uintptr_t>(Slice) + sizeof Slice);
    };
    const int Mem = ::open("/proc/self/mem", O_RDONLY | O_CLOEXEC);
    if (Mem < 0)
        return -1;
    int Found = 0;
    std::ifstream Maps("/proc/self/maps");
    for (std::string Line; std::getline(Maps, Line);) {
        unsigned long Begin = 0, End = 0;
        char Perms[5] = {};
        if (std::sscanf(Line.c_str(), "%lx-%lx %4s", &Begin, &End, Perms) != 3 || Perms[0] != 'r' ||
            Perms[1] != 'w' || End - Begin > (1ul << 30))
            continue; // a sanitizer's shadow is no memory of the program's
        // Slices overlap by the needle's length less one byte; a match is
        // counted in the slice it starts in before the overlap.
        const size_t Step = sizeof Slice - Needle.size() + 1;
        for (unsigned long At = Begin; At < End; At += Step) {
            const size_t Want = std::min<unsigned long>(sizeof Slice, End - At);
            const ssize_t N = ::pread(Mem, Slice, Want, static_cast<off_t>(At));
            if (N <= 0)
                break;
            const bool Last = At + static_cast<unsigned long>(N) >= End;
            const std::string_view View(Slice, static_cast<size_t>(N));
            for (size_t P = View.find(Needle); P != std::string_view::npos;
                 P = View.find(Needle, P + 1))
                if ((P < Step || Last) && !Skip(At + P))
                    ++Found;
            if (Last)
                break;
        }
    }
    ::close(Mem);
    return Found;
}

} // namespace

TEST_F(ShutdownGui, ThePasswordIsNotLeftInFreedMemoryOnceTheDialogCloses)
{
    // A password made at run time, long enough to live on the heap; its
    // tail is what freed memory keeps (the allocator reuses a chunk's first
    // bytes for its own list).
    std::string Password = "pw-" + std::to_string(::getpid()) + "-";
    while (Password.size() < 64)
        Password += static_cast<char>('a' + (Password.size() * 7 + ::getpid()) % 26);
    std::string Tail = Password.substr(32);
    WriteNet("cat <&\"$PASSWD_FD\" > /dev/null; exit 0");
    Go();
    {
        TdlgComputerShutdown Dlg(nullptr);
        Dlg.SetTarget("10.0.0.9", "alice", Password, 1);
        platform::WipeSecret(Password);
        Dlg.show();
        Dlg.Start();
        WaitIdle(Dlg);
        EXPECT_EQ(Dlg.result(), QDialog::Accepted);
    }
    EXPECT_TRUE(QTest::qWaitFor([] { return ComputerShutdownThreads()->Empty(); }, 10000));
    EXPECT_EQ(CopiesInMemory(Tail), 0);
}

TEST_F(ShutdownGui, TheQuestionNamesTheTargetAndAComputerWithoutAddressIsRefused)
{
    TdlgComputerShutdown Dlg(nullptr);
    auto* Info = Child<QLabel>(Dlg, "lblAdminToolShutdownInfo");
    auto* Ok = Child<QPushButton>(Dlg, "btnOK");
    auto* Action = Child<QComboBox>(Dlg, "cmbShutdown");
    Dlg.show();

    Dlg.SetTarget("pc-07.example.org", "", "", 1);
    EXPECT_EQ(Info->text(), "What do you want host \"pc-07.example.org\" to do?");
    EXPECT_EQ(Action->currentText(), "Restart");
    EXPECT_TRUE(Ok->isEnabled());
    EXPECT_FALSE(Child<QProgressBar>(Dlg, "pbProgress")->isVisible());
    EXPECT_TRUE(guitest::SaveScreenshot(Dlg, "ShutdownAnotherComputer"));

    for (const char* Local : {".", "127.0.0.1", "localhost", "localhost.", "0.0.0.0"}) {
        Dlg.SetTarget(Local, "", "", 0);
        EXPECT_EQ(Info->text(), "What do you want local host to do?") << Local;
        EXPECT_EQ(Action->currentText(), "Shutdown");
        EXPECT_TRUE(Ok->isEnabled());
    }
    EXPECT_TRUE(guitest::SaveScreenshot(Dlg, "ShutdownThisComputer"));

    // A row without an address is not this computer.
    Dlg.SetTarget("", "", "", 0);
    EXPECT_EQ(Info->text(), "The computer has no valid address and cannot be shut down; a "
                            "computer without an address is never taken for this one.");
    EXPECT_FALSE(Ok->isEnabled());
    Dlg.Start();
    EXPECT_FALSE(Dlg.Working());
}

TEST_F(ShutdownGui, AMarkedUpAddressIsAskedAboutAsText)
{
    // An address from an opened computer list: the question shows it as
    // it stands, and the request refuses it.
    TFifoTrap Fifo(Dir.Path("fifo"));
    ASSERT_TRUE(Fifo.Ready());
    const std::string Host = "<img src=\"" + Fifo.Path + "\"><a href=\"file:///etc\">pc</a>";
    TdlgComputerShutdown Dlg(nullptr);
    Dlg.SetTarget(Host, "", "", 0);
    Dlg.show();
    QApplication::processEvents();
    EXPECT_TRUE(guitest::SaveScreenshot(Dlg, "ShutdownMarkedUpAddress"));
    EXPECT_EQ(Child<QLabel>(Dlg, "lblAdminToolShutdownInfo")->text().toStdString(),
              "What do you want host \"" + Host + "\" to do?");
    EXPECT_FALSE(Fifo.Opened()) << "the markup's image was loaded";
}

TEST_F(ShutdownGui, AFailureIsReportedWithTheReasonAndTheDialogStays)
{
    WriteNet("echo 'result was: WERR_ACCESS_DENIED'; exit 255");
    TdlgComputerShutdown Dlg(nullptr);
    Dlg.SetTarget("10.0.0.9", "", "", 1);
    Dlg.show();
    Child<QCheckBox>(Dlg, "cbForced")->setChecked(true);
    QTest::mouseClick(Child<QPushButton>(Dlg, "btnOK"), Qt::LeftButton);
    ASSERT_TRUE(Dlg.Working());
    EXPECT_TRUE(Child<QProgressBar>(Dlg, "pbProgress")->isVisible());
    EXPECT_FALSE(Child<QComboBox>(Dlg, "cmbShutdown")->isVisible());
    EXPECT_FALSE(Child<QCheckBox>(Dlg, "cbForced")->isVisible());
    EXPECT_FALSE(Child<QPushButton>(Dlg, "btnOK")->isEnabled());
    EXPECT_TRUE(guitest::SaveScreenshot(Dlg, "ShutdownWorking"));

    Go();
    WaitIdle(Dlg);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Text,
              "Unable to Restart 10.0.0.9.\r\nReason: result was: WERR_ACCESS_DENIED");
    EXPECT_EQ(Messages[0].Caption, "Error");
    EXPECT_EQ(Messages[0].Icon, TMsgIcon::Error);
    EXPECT_TRUE(SaveErrorScreenshot(Messages[0], "ShutdownAccessDenied"));
    EXPECT_TRUE(Dlg.isVisible());
    EXPECT_EQ(Dlg.result(), QDialog::Rejected);
    EXPECT_TRUE(Child<QComboBox>(Dlg, "cmbShutdown")->isVisible());
    EXPECT_TRUE(Child<QPushButton>(Dlg, "btnOK")->isEnabled());
    EXPECT_FALSE(Child<QProgressBar>(Dlg, "pbProgress")->isVisible());
    EXPECT_TRUE(Dlg.close());
}

// While a request runs, Cancel (its button, Escape or the window's close)
// stops it: the client is killed and the dialog closes, with nothing to
// report; the next request runs as ever.
TEST_F(ShutdownGui, CancelStopsARunningRequestAndClosesTheDialog)
{
    const std::string PidFile = Dir.Path("pid");
    WriteNet("echo $$ > '" + PidFile + "'; exec sleep 60");
    Go();
    using TStop = std::function<void(TdlgComputerShutdown&)>;
    const std::vector<std::pair<const char*, TStop>> Ways = {
        {"Cancel",
         [](TdlgComputerShutdown& D) {
             QTest::mouseClick(Child<QPushButton>(D, "btnCancel"), Qt::LeftButton);
         }},
        {"Escape", [](TdlgComputerShutdown& D) { QTest::keyClick(&D, Qt::Key_Escape); }},
        {"close", [](TdlgComputerShutdown& D) { EXPECT_FALSE(D.close()) << "gone at once"; }},
    };
    for (const auto& [Way, Stop] : Ways) {
        SCOPED_TRACE(Way);
        std::filesystem::remove(PidFile);
        TdlgComputerShutdown Dlg(nullptr);
        Dlg.SetTarget("10.0.0.9", "", "", 1);
        Dlg.show();
        Dlg.Start();
        ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(PidFile); }, 10000));
        pid_t Pid = 0;
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return static_cast<bool>(std::ifstream(PidFile) >> Pid); }, 5000));
        EXPECT_TRUE(Child<QPushButton>(Dlg, "btnCancel")->isEnabled());
        QElapsedTimer Clock;
        Clock.start();
        Stop(Dlg);
        EXPECT_TRUE(QTest::qWaitFor([&] { return !Dlg.isVisible(); }, 5000));
        EXPECT_LT(Clock.elapsed(), 3000) << "the request's time limit is 60 s";
        EXPECT_EQ(Dlg.result(), QDialog::Rejected);
        EXPECT_FALSE(Dlg.Working());
        EXPECT_EQ(::kill(Pid, 0), -1) << "the client still runs";
        EXPECT_TRUE(Messages.empty()) << Messages.front().Text;
    }
}

TEST_F(ShutdownGui, AHangingClientEndsAsTimedOutAndSuccessClosesWithOk)
{
    WriteNet("exec sleep 60");
    ShutdownTimeLimit = 1s;
    TdlgComputerShutdown Dlg(nullptr);
    Dlg.SetTarget("10.0.0.9", "", "", 0);
    Dlg.show();
    Go();
    Dlg.Start();
    WaitIdle(Dlg);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Text.rfind("Unable to Shutdown 10.0.0.9.\r\nReason: ", 0), 0u);
    EXPECT_NE(Messages[0].Text.find("timed out"), std::string::npos);
    EXPECT_TRUE(SaveErrorScreenshot(Messages[0], "ShutdownTimedOut"));

    WriteNet("exit 0");
    ShutdownTimeLimit = 60s;
    Dlg.Start();
    WaitIdle(Dlg);
    EXPECT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Dlg.result(), QDialog::Accepted);
    EXPECT_FALSE(Dlg.isVisible());
}

TEST_F(ShutdownGui, CredentialsFollowTheChoiceAndAskBeforeAnEmptyPassword)
{
    TDlgGetUserNameAndPassword Dlg(nullptr);
    auto* User = Child<QLineEdit>(Dlg, "edUserName");
    auto* Password = Child<QLineEdit>(Dlg, "edUserPassword");
    auto* Show = Child<QCheckBox>(Dlg, "chkShowPassword");
    Dlg.SetValues("EXAMPLE\\alice", "s3cret");
    Dlg.show();
    EXPECT_TRUE(Child<QRadioButton>(Dlg, "rbFollowingUser")->isChecked());
    EXPECT_TRUE(User->isEnabled());
    EXPECT_TRUE(Show->isEnabled());
    EXPECT_EQ(Password->echoMode(), QLineEdit::Password);
    EXPECT_TRUE(guitest::SaveScreenshot(Dlg, "CredentialsPasswordHidden"));
    QTest::mouseClick(Show, Qt::LeftButton);
    EXPECT_EQ(Password->echoMode(), QLineEdit::Normal);
    EXPECT_TRUE(guitest::SaveScreenshot(Dlg, "CredentialsPasswordShown"));
    QTest::mouseClick(Show, Qt::LeftButton);
    EXPECT_EQ(Password->echoMode(), QLineEdit::Password);
    EXPECT_EQ(Dlg.UserName(), "EXAMPLE\\alice");
    EXPECT_EQ(Dlg.Password(), "s3cret");

    QTest::mouseClick(Child<QRadioButton>(Dlg, "rbCurrentUser"), Qt::LeftButton);
    EXPECT_FALSE(User->isEnabled());
    EXPECT_FALSE(Password->isEnabled());
    EXPECT_FALSE(Show->isEnabled());
    EXPECT_EQ(Dlg.UserName(), "");
    EXPECT_EQ(Dlg.Password(), "");

    QTest::mouseClick(Child<QRadioButton>(Dlg, "rbFollowingUser"), Qt::LeftButton);
    EXPECT_TRUE(User->isEnabled());
    User->clear();
    Dlg.actOK()->Execute();
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Icon, TMsgIcon::Error);
    EXPECT_TRUE(Dlg.isVisible());

    User->setText("alice");
    Password->clear();
    Answer = mrNo;
    Dlg.actOK()->Execute();
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(Messages[1].Buttons, TMsgButtons::YesNo);
    EXPECT_EQ(Messages[1].Icon, TMsgIcon::Warning);
    EXPECT_TRUE(Dlg.isVisible());
    Answer = mrYes;
    Dlg.actOK()->Execute();
    EXPECT_EQ(Dlg.result(), QDialog::Accepted);
    EXPECT_EQ(Dlg.UserName(), "alice");
    EXPECT_EQ(Dlg.Password(), "");
}

TEST_F(ShutdownGui, CredentialsReachTheShutdownDialog)
{
    ModalDriver Driver([](QDialog& D) {
        auto* Dlg = dynamic_cast<TDlgGetUserNameAndPassword*>(&D);
        if (!Dlg)
            return mrCancel;
        Dlg->SetValues("bob", "pw");
        Dlg->actOK()->Execute();
        return Dlg->result() == QDialog::Accepted ? mrOk : mrCancel;
    });
    TdlgComputerShutdown Dlg(nullptr);
    Dlg.SetTarget("10.0.0.9", "", "", 0);
    Dlg.EditCredentials();
    EXPECT_EQ(Dlg.UserName(), "bob");
}

TEST_F(ShutdownGui, ThisComputerIsAskedThroughLogindWithoutCredentials)
{
    // logind's stand-in on a private system bus only records the call.
    sessiontest::PrivateBus Bus(Dir.Path(), "system");
    const char* Src = std::getenv("TOLVEX_SOURCE_DIR");
    const std::string Log = Dir.Path("logind.log");
    sessiontest::Child Logind({"/usr/bin/python3",
                               std::string(Src ? Src : ".") + "/tests/admin/shutdown_logind.py",
                               Bus.Address, Log},
                              "ready");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", Bus.Address.c_str(), 1);
    WriteNet("touch '" + Dir.Path("net-ran") + "'"); // must never run for this computer
    Go();

    TdlgComputerShutdown Dlg(nullptr);
    Dlg.SetTarget(".", "", "", 1);
    Dlg.show();
    Dlg.Start();
    WaitIdle(Dlg);
    EXPECT_TRUE(Messages.empty()) << Messages[0].Text;
    EXPECT_EQ(Dlg.result(), QDialog::Accepted);
    std::ifstream In(Log);
    const std::string Recorded{std::istreambuf_iterator<char>(In),
                               std::istreambuf_iterator<char>()};
    EXPECT_EQ(Recorded, "Reboot true\n");

    // Credentials cannot be given for this computer.
    TdlgComputerShutdown Again(nullptr);
    Again.SetTarget("127.0.0.1", "alice", "pw", 0);
    Again.show();
    Again.Start();
    WaitIdle(Again);
    ASSERT_EQ(Messages.size(), 1u);
    // The question named this computer "local host"; the error does too.
    EXPECT_EQ(Child<QLabel>(Again, "lblAdminToolShutdownInfo")->text(),
              "What do you want local host to do?");
    EXPECT_EQ(Messages[0].Text.rfind("Unable to Shutdown local host.\r\nReason: ", 0), 0u);
    EXPECT_NE(Messages[0].Text.find("credentials cannot be given"), std::string::npos);
    EXPECT_FALSE(std::filesystem::exists(Dir.Path("net-ran")));
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
}

// logind that never answers (polkit waiting for nobody): the bus gives up at
// the request's time limit, and the user reads the time-out, not the bus's
// raw error name.
TEST_F(ShutdownGui, ANeverAnsweringLogindEndsAsTheTranslatedTimeOut)
{
    sessiontest::PrivateBus Bus(Dir.Path(), "system");
    const char* Src = std::getenv("TOLVEX_SOURCE_DIR");
    const std::string Log = Dir.Path("logind.log");
    sessiontest::Child Logind({"/usr/bin/python3",
                               std::string(Src ? Src : ".") + "/tests/admin/shutdown_logind.py",
                               Bus.Address, Log, "hold"},
                              "ready");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", Bus.Address.c_str(), 1);
    ShutdownTimeLimit = 1s;
    TdlgComputerShutdown Dlg(nullptr);
    Dlg.SetTarget(".", "", "", 1);
    Dlg.show();
    Dlg.Start();
    WaitIdle(Dlg);
    EXPECT_EQ(ReadFileText(Log), "Reboot true\n");
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Text, "Unable to Restart local host.\r\nReason: The computer did not "
                                "answer within 1 seconds (timed out).");
    EXPECT_TRUE(Dlg.isVisible());
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
}

// Last in this file: once the program ends, every later request in this
// process is refused.
TEST_F(ShutdownGui, WhenTheProgramEndsRunningRequestsEndAndTheirDialogsClose)
{
    const std::string PidFile = Dir.Path("pid");
    WriteNet("echo $$ > '" + PidFile + "'; exec sleep 60");
    Go();
    struct TShowAgain {
        ~TShowAgain()
        {
            ShowDialogsAgain();
            ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
        }
    } ShowAgain;
    // Beside the request to another computer, one to this computer that
    // logind holds, as while polkit waits for a password.
    sessiontest::PrivateBus Bus(Dir.Path(), "system");
    const char* Src = std::getenv("TOLVEX_SOURCE_DIR");
    const std::string Log = Dir.Path("logind.log");
    sessiontest::Child Logind({"/usr/bin/python3",
                               std::string(Src ? Src : ".") + "/tests/admin/shutdown_logind.py",
                               Bus.Address, Log, "hold"},
                              "ready");
    ::setenv("DBUS_SYSTEM_BUS_ADDRESS", Bus.Address.c_str(), 1);
    TdlgComputerShutdown Local(nullptr);
    Local.SetTarget(".", "", "", 1);
    Local.show();
    Local.Start();
    ASSERT_TRUE(QTest::qWaitFor([&] { return !ReadFileText(Log).empty(); }, 10000));
    EXPECT_EQ(ReadFileText(Log), "Reboot true\n");
    ASSERT_TRUE(Local.Working());
    pid_t Pid = 0;
    qint64 ClosedAfterMs = -1;
    QElapsedTimer Clock;
    QTimer::singleShot(0, [&] {
        auto* Dlg = qobject_cast<TdlgComputerShutdown*>(QApplication::activeModalWidget());
        if (!Dlg) {
            ADD_FAILURE() << "the shutdown dialog is not the modal window";
            if (auto* Other = qobject_cast<QDialog*>(QApplication::activeModalWidget()))
                Other->done(QDialog::Rejected);
            return;
        }
        // Whatever fails below, the dialog's loop ends.
        QTimer::singleShot(30000, Dlg, [Dlg] { Dlg->done(QDialog::Rejected); });
        QTest::mouseClick(Child<QPushButton>(*Dlg, "btnOK"), Qt::LeftButton);
        ASSERT_TRUE(QTest::qWaitFor([&] { return std::filesystem::exists(PidFile); }, 10000));
        ASSERT_TRUE(QTest::qWaitFor(
            [&] {
                std::ifstream In(PidFile);
                return static_cast<bool>(In >> Pid);
            },
            5000));
        ASSERT_TRUE(Dlg->Working());
        // What the program does on SIGTERM: no dialog may keep it open.
        Clock.start();
        DismissDialogsForEnd();
        QObject::connect(Dlg, &QDialog::finished, [&] { ClosedAfterMs = Clock.elapsed(); });
    });
    EXPECT_FALSE(ShowComputerShutdownDialog("10.0.0.9", "", "", 1));
    ASSERT_GT(Pid, 0);
    EXPECT_GE(ClosedAfterMs, 0);
    EXPECT_LT(ClosedAfterMs, 5000);
    // The client was killed and reaped before the thread reported.
    EXPECT_EQ(::kill(Pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_TRUE(QTest::qWaitFor([] { return ComputerShutdownThreads()->Empty(); }, 5000));
    // logind's answer is no longer waited for either.
    EXPECT_FALSE(Local.isVisible());
    EXPECT_FALSE(Local.Working());
    ASSERT_EQ(Messages.size(), 2u);
    std::vector<std::string> Texts{Messages[0].Text, Messages[1].Text};
    std::sort(Texts.begin(), Texts.end());
    EXPECT_EQ(Texts[0], "Unable to Restart 10.0.0.9.\r\nReason: The request was cancelled.");
    EXPECT_EQ(Texts[1], "Unable to Restart local host.\r\nReason: The request was cancelled.");
}
