#include "admin/uComputerShutdown.h"

#include "admin/uThrdComputerShutdown.h"
#include "platform/Thread.h"
#include "settings/Language.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

std::string ReadAll(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

// A stand-in for net that records its arguments, environment and the text of
// its PASSWD_FD pipe, prints what the test wants and exits with its code.
class ShutdownFakeNet : public ::testing::Test {
protected:
    void SetUp() override
    {
        LangChanger = std::make_unique<TLangChanger>(); // the built-in English texts
        // Nothing here may reach the real system bus.
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
        FSavedProgram = NetProgram;
        FSavedLimit = ShutdownTimeLimit;
        NetProgram = Dir.Path("net");
        WriteScript("exit 0");
    }
    void TearDown() override
    {
        NetProgram = FSavedProgram;
        ShutdownTimeLimit = FSavedLimit;
        LangChanger.reset();
    }
    void WriteScript(const std::string& Tail)
    {
        std::ofstream Out(NetProgram);
        Out << "#!/bin/bash\n"
            << "printf '%s\\n' \"$@\" > '" << Dir.Path("args") << "'\n"
            << "env > '" << Dir.Path("env") << "'\n"
            << "if [ -n \"$PASSWD_FD\" ]; then cat <&\"$PASSWD_FD\" > '" << Dir.Path("password")
            << "'; fi\n"
            << Tail << "\n";
        Out.close();
        ::chmod(NetProgram.c_str(), 0700);
    }
    bool Ran() const { return std::filesystem::exists(Dir.Path("args")); }
    std::string Args() const { return ReadAll(Dir.Path("args")); }

    TempFolder Dir;

private:
    std::string FSavedProgram;
    std::chrono::milliseconds FSavedLimit{};
};

std::string ErrorOf(const std::string& Host, const std::string& User, const std::string& Password,
                    std::int32_t ActionIndex = 1)
{
    try {
        ShutdownComputerByWmi(Host, User, Password, false, ActionIndex);
    } catch (const EShutdownError& E) {
        return E.what();
    }
    return "";
}

} // namespace

TEST(ShutdownFlagsTest, ActionsAndForcedGiveTheFlags)
{
    EXPECT_EQ(ShutdownFlags(0, false), 8);
    EXPECT_EQ(ShutdownFlags(0, true), 12);
    EXPECT_EQ(ShutdownFlags(1, false), 2);
    EXPECT_EQ(ShutdownFlags(1, true), 6);
    EXPECT_EQ(ShutdownFlags(2, false), 0);
    EXPECT_EQ(ShutdownFlags(2, true), 4);
    EXPECT_EQ(ShutdownFlags(3, false), 8);
    EXPECT_EQ(ShutdownFlags(-1, true), 12);
}

TEST(ShutdownHostTest, OnlyCanonicalAddressesAndProperNamesPass)
{
    for (const char* Good : {"10.0.0.9", "192.168.1.254", "server", "pc-01.example.org", "FILESRV",
                             "host.example.org.", "0.0.0.0"})
        EXPECT_TRUE(IsValidShutdownHost(Good)) << Good;
    for (const char* Bad :
         {"",      ".",         "-S x",      "-x",         "10.0.0.9 -x", "$(id)",      "`id`",
          "a;b",   "010.0.0.9", "10.0.0",    "10.0.0.256", "1.2.3.4.5",   "0x0a.0.0.1", "-host",
          "host-", "a..b",      "host name", "host\n",     "::1",         "..",         "a_b"})
        EXPECT_FALSE(IsValidShutdownHost(Bad)) << Bad;
    EXPECT_FALSE(IsValidShutdownHost(std::string(64, 'a')));
    // Which texts are this computer; with them, every spelling of an
    // address the C library reads, which is neither this computer nor a
    // valid host.
    char Own[256] = {};
    ASSERT_EQ(::gethostname(Own, sizeof Own - 1), 0);
    const struct {
        std::string Host;
        bool ThisComputer;
    } Cases[] = {
        {"", false},
        {".", true},
        {"127.0.0.1", true},
        {"0.0.0.0", true},
        {"localhost", true},
        {"localhost.", true},
        {"LOCALHOST.", true},
        {std::string(Own), true},
        {std::string(Own) + ".", true},
        {"..", false},
        {"localhost..", false},
        {"192.0.2.77", false},
        {"0x7f000001", false},
        {"0x7f.0x1", false},
        {"0177.0.0.0x1", false},
        {"0x0", false},
        {"0xffffffff", false},
        {"0x7f000001.", false},
        {"127.1", false},
    };
    for (const auto& C : Cases) {
        EXPECT_EQ(IsShutdownHostThisComputer(C.Host), C.ThisComputer) << C.Host;
        if (!C.ThisComputer && C.Host != "192.0.2.77") {
            EXPECT_FALSE(IsValidShutdownHost(C.Host)) << C.Host;
        }
    }
}

TEST(NetShutdownCallTest, ArgumentsForEachActionAndCredential)
{
    auto Call = BuildNetShutdownCall("10.0.0.9", "", "", ShutdownFlags(1, true));
    EXPECT_EQ(Call.Arguments, (std::vector<std::string>{"rpc", "shutdown", "--ipaddress=10.0.0.9",
                                                        "-r", "-f", "-t", "0", "-N"}));
    EXPECT_FALSE(Call.Password.has_value());

    Call = BuildNetShutdownCall("pc-01.example.org", "EXAMPLE\\alice", "p w'\"d",
                                ShutdownFlags(0, false));
    EXPECT_EQ(Call.Arguments,
              (std::vector<std::string>{"rpc", "shutdown", "--server=pc-01.example.org", "-t", "0",
                                        "--user=EXAMPLE\\alice"}));
    ASSERT_TRUE(Call.Password.has_value());
    EXPECT_EQ(*Call.Password, "p w'\"d");

    // An empty password is still given through the pipe, so net never
    // stops to ask for one.
    Call = BuildNetShutdownCall("10.0.0.9", "alice", "", ShutdownFlags(0, false));
    ASSERT_TRUE(Call.Password.has_value());
    EXPECT_EQ(*Call.Password, "");
}

TEST_F(ShutdownFakeNet, HostileHostsUsersAndPasswordsAreRefusedBeforeAnythingRuns)
{
    // Odd spellings of an address would reach 127.0.0.1 or another address
    // than the one shown.
    for (const char* Host : {"-S x", "10.0.0.9 -x", "$(id)", "", "--ipaddress=10.0.0.1",
                             "0x7f000001", "0x0a.0.0.0x9", "0xffffffff.", "0177.0.0.0x1"})
        EXPECT_FALSE(ErrorOf(Host, "", "").empty()) << Host;
    for (const char* User : {"alice%x", "-U", "alice\nroot", "alice\r"})
        EXPECT_NE(ErrorOf("10.0.0.9", User, "secret").find("user name must not"), std::string::npos)
            << User;
    for (const char* Password : {"sec\nret", "sec\rret"})
        EXPECT_NE(ErrorOf("10.0.0.9", "alice", Password).find("password must not"),
                  std::string::npos);
    EXPECT_NE(ErrorOf("10.0.0.9", "", "", 2).find("not available"), std::string::npos);
    // Nor is this computer switched off when a log off was asked for.
    EXPECT_NE(ErrorOf(".", "", "", 2).find("not available"), std::string::npos);
    // An empty host is no computer, not this one.
    EXPECT_NE(ErrorOf("", "", "").find("cannot be shut down"), std::string::npos);
    EXPECT_FALSE(Ran());
}

TEST_F(ShutdownFakeNet, ThePasswordTravelsOnlyThroughThePipe)
{
    const std::string Password = "pa%ss w'o\"rd";
    ::setenv("PASSWD", "inherited", 1);
    ::setenv("PASSWD_FILE", "/nonexistent", 1);
    EXPECT_EQ(ShutdownComputerByWmi("10.0.0.9", "alice", Password, true, 1), 0);
    ::unsetenv("PASSWD");
    ::unsetenv("PASSWD_FILE");
    EXPECT_EQ(Args(), "rpc\nshutdown\n--ipaddress=10.0.0.9\n-r\n-f\n-t\n0\n--user=alice\n");
    EXPECT_EQ(ReadAll(Dir.Path("password")), Password);
    const std::string Env = "\n" + ReadAll(Dir.Path("env"));
    EXPECT_EQ(Env.find("pa%ss"), std::string::npos);
    EXPECT_EQ(Env.find("\nPASSWD="), std::string::npos);
    EXPECT_EQ(Env.find("\nPASSWD_FILE="), std::string::npos);
    EXPECT_NE(Env.find("\nPASSWD_FD="), std::string::npos);
}

TEST_F(ShutdownFakeNet, NetsOwnReasonIsReportedOnceWithoutPrompts)
{
    WriteScript("echo \"Enter alice's password: Could not connect: NT_STATUS_LOGON_FAILURE\" >&2\n"
                "echo \"Enter alice's password: Could not connect: NT_STATUS_LOGON_FAILURE\" >&2\n"
                "echo 'Shutdown of remote machine failed'\n"
                "exit 255");
    EXPECT_EQ(ErrorOf("10.0.0.9", "alice", "wrong"), "Could not connect: NT_STATUS_LOGON_FAILURE");

    WriteScript("echo 'Shutdown of remote machine failed'; echo 'result was: WERR_ACCESS_DENIED'; "
                "exit 255");
    EXPECT_EQ(ErrorOf("10.0.0.9", "", ""), "result was: WERR_ACCESS_DENIED");

    WriteScript("echo 'something odd'; echo 'something odd'; exit 1");
    EXPECT_EQ(ErrorOf("10.0.0.9", "", ""), "something odd");

    WriteScript("exit 7");
    EXPECT_NE(ErrorOf("10.0.0.9", "", "").find("exit code 7"), std::string::npos);
}

TEST_F(ShutdownFakeNet, AHangingClientIsKilledAtTheLimit)
{
    WriteScript("exec sleep 60");
    ShutdownTimeLimit = 1s;
    EXPECT_NE(ErrorOf("10.0.0.9", "", "").find("timed out"), std::string::npos);

    NetProgram = Dir.Path("missing-net");
    EXPECT_NE(ErrorOf("10.0.0.9", "", "").find("cannot be started"), std::string::npos);
}

TEST_F(ShutdownFakeNet, TheThreadReportsTheOutcomeInItsFields)
{
    platform::MainThread().Install();
    WriteScript("echo 'result was: WERR_ACCESS_DENIED'; exit 255");
    {
        TThrdComputerShutdown Thread("10.0.0.9", "", "", 1, true);
        Thread.FreeOnTerminate = false;
        Thread.Resume();
        Thread.WaitFor();
        EXPECT_EQ(Thread.ReturnValue, -1);
        EXPECT_EQ(Thread.ErrorText, "result was: WERR_ACCESS_DENIED");
    }
    WriteScript("exit 0");
    {
        TThrdComputerShutdown Thread("10.0.0.9", "", "", 0, false);
        Thread.FreeOnTerminate = false;
        Thread.Resume();
        Thread.WaitFor();
        EXPECT_EQ(Thread.ReturnValue, 0);
        EXPECT_EQ(Thread.ErrorText, "");
        EXPECT_EQ(Args(), "rpc\nshutdown\n--ipaddress=10.0.0.9\n-t\n0\n-N\n");
    }
    platform::MainThread().ProcessPending();
}

TEST_F(ShutdownFakeNet, ClosingTheProgramKillsARunningClientAndRefusesNewOnes)
{
    // The cancel holds for the rest of the process, so it runs in a child.
    WriteScript("echo started > '" + Dir.Path("started") + "'; exec sleep 60");
    const pid_t Child = ::fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        std::string First;
        std::thread Request([&] { First = ErrorOf("10.0.0.9", "", ""); });
        while (!std::filesystem::exists(Dir.Path("started")))
            ::usleep(1000);
        CancelShutdownRequests();
        Request.join();
        const std::string Second = ErrorOf("10.0.0.9", "", "");
        const bool Ok = First == "The request was cancelled." && Second == First;
        ::_exit(Ok ? 0 : 1);
    }
    int Status = 0;
    ASSERT_EQ(::waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0);
}
