// The shutdown dialog worked as a user works it, on one computer of a private
// network, against a standalone smbd on another: credentials typed into the
// "Connect As..." dialog, Restart and Forced chosen, OK clicked, and what the
// dialog then shows compared with what the server's shutdown script saw.
#include "admin/uComputerShutdown.h"
#include "admin/uDlgGetUserNameAndPassword.h"
#include "admin/udlgComputerShutdown.h"
#include "forms/Dialogs.h"
#include "forms/MainThreadLoop.h"
#include "settings/Language.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/ProcFiles.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <unistd.h>

using namespace std::chrono_literals;
using guitest::Child;

namespace {

// What the user does in the dialog.
struct TUserInput {
    std::string Host;
    std::string UserName;
    std::string Password;
    int ActionIndex = 1;
    bool Forced = false;
    // Pictures named after this, when set.
    std::string Pictures;
    // While the request runs: look at the client as other users can.
    bool WatchClient = false;
    std::chrono::milliseconds TimeLimit = 60s;
};

std::string ReadFile(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

std::string Flat(std::string Text)
{
    for (char& C : Text)
        if (C == '\r' || C == '\n')
            C = ' ';
    return Text;
}

// What a person would see of a recorded error message.
void PictureOfMessage(const TMessageBoxCall& Call, const QString& Name)
{
    QMessageBox Box(QMessageBox::Critical, QString::fromStdString(Call.Caption),
                    QString::fromStdString(Call.Text));
    Box.show();
    guitest::SaveScreenshot(Box, Name);
}

// Runs in the client computer's own process: the program's dialog as
// ShowComputerShutdownDialog opens it. The answer is one "key=value" line per
// observation; no password ever goes into it.
std::string WorkTheDialog(const TUserInput& In, const std::string& SettingsFolder)
{
    ::setenv("XDG_CONFIG_HOME", SettingsFolder.c_str(), 1);
    App();
    InstallMainThreadIntoEventLoop();
    LangChanger = std::make_unique<TLangChanger>(); // the built-in English texts
    ShutdownTimeLimit = In.TimeLimit;
    std::vector<TMessageBoxCall> Messages;
    SetMessageSink([&](const TMessageBoxCall& Call) {
        Messages.push_back(Call);
        return mrOk;
    });
    std::atomic<int> ClientPid{0};
    ShutdownClientStarted = [&](int Pid) { ClientPid = Pid; };

    std::ostringstream Seen;
    const QString Pictures = QString::fromStdString(In.Pictures);
    guitest::ModalDriver Driver([&](QDialog& D) {
        if (dynamic_cast<TDlgGetUserNameAndPassword*>(&D)) {
            D.show();
            QTest::mouseClick(Child<QRadioButton>(D, "rbFollowingUser"), Qt::LeftButton);
            QTest::keyClicks(Child<QLineEdit>(D, "edUserName"),
                             QString::fromStdString(In.UserName));
            auto* Password = Child<QLineEdit>(D, "edUserPassword");
            QTest::keyClicks(Password, QString::fromStdString(In.Password));
            Seen << "password-hidden=" << (Password->echoMode() == QLineEdit::Password) << "\n";
            if (!Pictures.isEmpty())
                guitest::SaveScreenshot(D, Pictures + "Credentials");
            QTest::mouseClick(Child<QPushButton>(D, "btnOK"), Qt::LeftButton);
            return D.result() == QDialog::Accepted ? mrOk : mrCancel;
        }
        auto* Dlg = dynamic_cast<TdlgComputerShutdown*>(&D);
        if (!Dlg)
            return mrCancel;
        Dlg->show();
        if (!In.UserName.empty())
            QTest::mouseClick(Child<QPushButton>(*Dlg, "btnCredentials"), Qt::LeftButton);
        Seen << "user=" << (Dlg->UserName() == In.UserName) << "\n";
        Child<QComboBox>(*Dlg, "cmbShutdown")->setCurrentIndex(In.ActionIndex);
        Child<QCheckBox>(*Dlg, "cbForced")->setChecked(In.Forced);
        if (!Pictures.isEmpty())
            guitest::SaveScreenshot(*Dlg, Pictures + "Dialog");
        QElapsedTimer Clock;
        Clock.start();
        QTest::mouseClick(Child<QPushButton>(*Dlg, "btnOK"), Qt::LeftButton);
        Seen << "working=" << Dlg->Working() << "\n";
        if (In.WatchClient) {
            // Once net has settled down to wait for the silent computer.
            Seen << "client-started=" << QTest::qWaitFor([&] { return ClientPid != 0; }, 10000)
                 << "\n";
            QTest::qWait(1000);
            const std::string Proc = "/proc/" + std::to_string(ClientPid.load()) + "/";
            std::error_code Gone;
            const std::string Exe = std::filesystem::read_symlink(Proc + "exe", Gone).string();
            Seen << "client-is-net=" << (Exe.size() > 4 && Exe.substr(Exe.size() - 4) == "/net")
                 << "\n";
            Seen << "still-working=" << Dlg->Working() << "\n";
            Seen << "marquee=" << Child<QProgressBar>(*Dlg, "pbProgress")->isVisible() << "\n";
            for (const char* File : {"cmdline", "environ"}) {
                const std::string Text = ReadPublishedProcFile(ClientPid.load(), File);
                Seen << File << "-read=" << !Text.empty() << "\n";
                Seen << File << "-has-password=" << (Text.find(In.Password) != std::string::npos)
                     << "\n";
            }
            if (!Pictures.isEmpty())
                guitest::SaveScreenshot(*Dlg, Pictures + "Working");
        }
        Seen << "reported=" << QTest::qWaitFor([&] { return !Dlg->Working(); }, 150000) << "\n";
        Seen << "took-ms=" << Clock.elapsed() << "\n";
        Seen << "accepted=" << (Dlg->result() == QDialog::Accepted) << "\n";
        Seen << "stays-open=" << Dlg->isVisible() << "\n";
        Seen << "ok-enabled-again=" << Child<QPushButton>(*Dlg, "btnOK")->isEnabled() << "\n";
        Seen << "messages=" << Messages.size() << "\n";
        if (!Messages.empty()) {
            Seen << "message=" << Flat(Messages[0].Text) << "\n";
            Seen << "caption=" << Messages[0].Caption << "\n";
            if (!Pictures.isEmpty())
                PictureOfMessage(Messages[0], Pictures + "Error");
        }
        if (Dlg->isVisible())
            QTest::mouseClick(Child<QPushButton>(*Dlg, "btnCancel"), Qt::LeftButton);
        return Dlg->result() == QDialog::Accepted ? mrOk : mrCancel;
    });
    const bool Done = ShowComputerShutdownDialog(In.Host, "", "", 0);
    Seen << "result=" << Done << "\n";
    ShutdownClientStarted = nullptr;
    return Seen.str();
}

// The value of "Key=" in a WorkTheDialog answer; "(none)" when it is missing.
std::string Field(const std::string& Seen, const std::string& Key)
{
    std::istringstream Lines(Seen);
    for (std::string Line; std::getline(Lines, Line);)
        if (Line.rfind(Key + "=", 0) == 0)
            return Line.substr(Key.size() + 1);
    return "(none)";
}

class ShutdownDialogPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        TVX_REQUIRE_LAN();
        Lab = std::make_unique<lan::Lab>();
        Server = &Lab->AddHost("server");
        Client = &Lab->AddHost("client");
        Lab->Link(*Server, {"eth0", "02:00:00:00:33:01", "10.33.0.1/24"}, *Client,
                  {"eth0", "02:00:00:00:33:02", "10.33.0.2/24"});
        lan::ShutdownSmbdConfig Config;
        Config.interfaceAddress = "10.33.0.1/24";
        Config.accounts = {{"daemon", Privileged, true}, {"bin", Plain, false}};
        Smbd = &lan::StartShutdownSmbd(*Server, Config);
    }
    void TearDown() override
    {
        if (Smbd)
            ExpectNoPasswordWritten();
    }

    std::string Work(const TUserInput& In)
    {
        lan::RunOptions Options;
        Options.timeout = 180s;
        const std::string Folder = Settings.Path();
        const lan::RunResult R = Client->Run([&] { return WorkTheDialog(In, Folder); }, Options);
        EXPECT_TRUE(R.ok()) << R.Describe();
        return R.value;
    }
    // The lines the server's shutdown script wrote: "<arguments> uid=<n>".
    std::vector<std::string> ScriptRuns() const
    {
        std::vector<std::string> Runs;
        std::istringstream Lines(ReadFile(Smbd->dir() + "/shutdown.log"));
        for (std::string Line; std::getline(Lines, Line);)
            Runs.push_back(Line);
        return Runs;
    }
    // grep finds none of the passwords in the pictures and other test
    // output, the dialog's settings folder or the server's files and logs.
    void ExpectNoPasswordWritten() const
    {
        const char* Bin = std::getenv("TOLVEX_BIN_DIR");
        const std::string Output = std::string(Bin ? Bin : ".") + "/../test-output";
        std::filesystem::create_directories(Output);
        std::vector<std::string> Argv = {"grep", "-r", "-l", "-F"};
        for (const std::string* P : {&Privileged, &Plain, &Wrong})
            Argv.insert(Argv.end(), {"-e", *P});
        Argv.insert(Argv.end(), {Output, Settings.Path(), Smbd->dir()});
        const lan::ExecResult R = lan::RunCommand(Argv);
        // 1: read everything, found nothing.
        EXPECT_EQ(R.code, 1) << "a test password was written to: " << R.out << R.err;
    }

    // Passwords with a percent sign, blanks and both quotes, each its own.
    const std::string Privileged = "pr%v 'ileg\"ed 9";
    const std::string Plain = "pl%in \"user' 7";
    const std::string Wrong = "wr%ng 'guess\" 3";
    TempFolder Settings;
    std::unique_ptr<lan::Lab> Lab;
    lan::Host* Server = nullptr;
    lan::Host* Client = nullptr;
    const lan::Peer* Smbd = nullptr;
};

} // namespace

TEST_F(ShutdownDialogPeer, RestartForcedAsThePrivilegedUserRunsTheScriptAsRootAndClosesWithOk)
{
    const std::string Seen = Work({"10.33.0.1", "daemon", Privileged, 1, true, "ShutdownPeer"});
    EXPECT_EQ(Field(Seen, "password-hidden"), "1");
    EXPECT_EQ(Field(Seen, "user"), "1");
    EXPECT_EQ(Field(Seen, "working"), "1");
    EXPECT_EQ(Field(Seen, "reported"), "1");
    EXPECT_EQ(Field(Seen, "messages"), "0") << Field(Seen, "message");
    EXPECT_EQ(Field(Seen, "accepted"), "1");
    EXPECT_EQ(Field(Seen, "stays-open"), "0");
    EXPECT_EQ(Field(Seen, "result"), "1");
    // The script ran once, as root, told to restart and to force.
    const std::vector<std::string> Runs = ScriptRuns();
    ASSERT_EQ(Runs.size(), 1u);
    std::istringstream Words(Runs[0]);
    const std::vector<std::string> Said{std::istream_iterator<std::string>(Words),
                                        std::istream_iterator<std::string>()};
    EXPECT_NE(std::find(Said.begin(), Said.end(), "-r"), Said.end()) << Runs[0];
    EXPECT_NE(std::find(Said.begin(), Said.end(), "-f"), Said.end()) << Runs[0];
    EXPECT_EQ(Said.back(), "uid=0") << Runs[0];
}

TEST_F(ShutdownDialogPeer, AccessDeniedAndLogonFailureAreReportedAndTheDialogStays)
{
    std::string Seen = Work({"10.33.0.1", "bin", Plain, 1, false, "ShutdownPeerAccessDenied"});
    EXPECT_EQ(Field(Seen, "reported"), "1");
    EXPECT_EQ(Field(Seen, "messages"), "1");
    const std::string Denied = Field(Seen, "message");
    EXPECT_EQ(Denied.rfind("Unable to Restart 10.33.0.1.  Reason: ", 0), 0u) << Denied;
    EXPECT_NE(Denied.find("ACCESS_DENIED"), std::string::npos) << Denied;
    EXPECT_EQ(Field(Seen, "caption"), "Error");
    EXPECT_EQ(Field(Seen, "accepted"), "0");
    EXPECT_EQ(Field(Seen, "stays-open"), "1");
    EXPECT_EQ(Field(Seen, "ok-enabled-again"), "1");
    EXPECT_EQ(Field(Seen, "result"), "0");
    // Nothing ran as root for the unprivileged user.
    for (const std::string& Run : ScriptRuns())
        EXPECT_EQ(Run.find("uid=0"), std::string::npos) << Run;

    Seen = Work({"10.33.0.1", "daemon", Wrong, 0, false, "ShutdownPeerLogonFailure"});
    EXPECT_EQ(Field(Seen, "messages"), "1");
    const std::string Failed = Field(Seen, "message");
    EXPECT_EQ(Failed.rfind("Unable to Shutdown 10.33.0.1.  Reason: ", 0), 0u) << Failed;
    EXPECT_NE(Failed.find("NT_STATUS_LOGON_FAILURE"), std::string::npos) << Failed;
    // net's password prompts are no part of the reason.
    EXPECT_EQ(Failed.find("password:"), std::string::npos) << Failed;
    EXPECT_EQ(Field(Seen, "stays-open"), "1");
    EXPECT_EQ(Field(Seen, "result"), "0");
}

TEST_F(ShutdownDialogPeer, ASilentAddressGivesAReasonWithinTheLimitAndNetShowsNoPassword)
{
    TUserInput In{"10.33.0.99", "daemon", Privileged, 1, true, "ShutdownPeerSilentAddress"};
    In.WatchClient = true;
    In.TimeLimit = 20s;
    const std::string Seen = Work(In);
    ASSERT_EQ(Field(Seen, "client-started"), "1");
    EXPECT_EQ(Field(Seen, "client-is-net"), "1");
    EXPECT_EQ(Field(Seen, "still-working"), "1");
    EXPECT_EQ(Field(Seen, "marquee"), "1");
    for (const char* File : {"cmdline", "environ"}) {
        EXPECT_EQ(Field(Seen, std::string(File) + "-read"), "1") << File;
        EXPECT_EQ(Field(Seen, std::string(File) + "-has-password"), "0") << File;
    }
    EXPECT_EQ(Field(Seen, "reported"), "1");
    EXPECT_LT(std::stoll(Field(Seen, "took-ms")), 22000);
    EXPECT_EQ(Field(Seen, "messages"), "1");
    const std::string Reason = Field(Seen, "message");
    EXPECT_EQ(Reason.rfind("Unable to Restart 10.33.0.99.  Reason: ", 0), 0u) << Reason;
    EXPECT_TRUE(Reason.find("NT_STATUS_") != std::string::npos ||
                Reason.find("timed out") != std::string::npos)
        << Reason;
    EXPECT_EQ(Field(Seen, "stays-open"), "1");
    EXPECT_TRUE(ScriptRuns().empty());
}
