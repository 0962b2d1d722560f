// Closing the program while a shutdown request runs: the request's client and
// thread end with the main window.
#include "tests/app/MainWindowTestSupport.h"

#include "admin/uComputerShutdown.h"
#include "admin/udlgComputerShutdown.h"

#include <QPointer>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <string>

#include <sys/stat.h>

namespace {

class ShutdownAtProgramClose : public MainWindowFixture {
protected:
    void SetUp() override
    {
        MainWindowFixture::SetUp();
        // Nothing here may reach the real system bus.
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
        FSavedProgram = NetProgram;
        NetProgram = Net.Path("net");
        // net tells its process id and then hangs, as it does on a host that
        // never answers.
        std::ofstream Out(NetProgram);
        Out << "#!/bin/bash\necho $$ > '" << Net.Path("pid") << "'\nexec sleep 60\n";
        Out.close();
        ::chmod(NetProgram.c_str(), 0700);
    }
    void TearDown() override
    {
        NetProgram = FSavedProgram;
        MainWindowFixture::TearDown();
    }
    // The hanging client's process id, once it runs.
    pid_t ClientPid()
    {
        pid_t Pid = 0;
        PumpUntil(
            [&] {
                std::ifstream In(Net.Path("pid"));
                return static_cast<bool>(In >> Pid) && Pid > 0;
            },
            10000);
        return Pid;
    }

    TempFolder Net;

private:
    std::string FSavedProgram;
};

TEST_F(ShutdownAtProgramClose, ClosingTheMainWindowKillsTheClientAndWaitsForItsThread)
{
    auto* Main = new TfrmTolvex;
    QPointer<TdlgComputerShutdown> Dlg = new TdlgComputerShutdown(Main);
    Dlg->SetTarget("10.0.0.9", "", "", 1);
    Dlg->show();
    Dlg->Start();
    ASSERT_TRUE(Dlg->Working());
    const pid_t Pid = ClientPid();
    ASSERT_GT(Pid, 0);
    ASSERT_EQ(::kill(Pid, 0), 0) << "the client is not running";
    ASSERT_FALSE(ComputerShutdownThreads()->Empty());

    const auto Start = std::chrono::steady_clock::now();
    delete Main;
    const auto Took = std::chrono::steady_clock::now() - Start;
    EXPECT_LT(Took, std::chrono::seconds(5));
    // Nothing of the request outlives the window: the client is gone
    // (killed and reaped), the thread has finished and freed itself, and the
    // dialog went with its owner.
    EXPECT_EQ(::kill(Pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_TRUE(ComputerShutdownThreads()->Empty());
    EXPECT_TRUE(Dlg.isNull());
    // The thread reported to the dialog while both still existed.
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Text,
              "Unable to Restart 10.0.0.9.\r\nReason: The request was cancelled.");

    // The program is closing: no new request starts a client.
    std::filesystem::remove(Net.Path("pid"));
    EXPECT_THROW(ShutdownComputerByWmi("10.0.0.9", "", "", false, 0), EShutdownError);
    EXPECT_FALSE(std::filesystem::exists(Net.Path("pid")));
}

} // namespace
