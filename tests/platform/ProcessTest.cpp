#include "platform/Process.h"

#include "tests/support/ProcFiles.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>

using namespace std::chrono_literals;
using platform::RunProcess;
using platform::TProcessRequest;

namespace {

TProcessRequest Shell(const std::string& Script)
{
    TProcessRequest R;
    R.Program = "/bin/sh";
    R.Arguments = {"-c", Script};
    return R;
}

// True once the process is gone or only a zombie waiting for its new parent.
bool IsDeadOrZombie(pid_t Pid)
{
    const std::string Stat = ReadProcFile(Pid, "stat");
    if (Stat.empty())
        return true;
    const auto Close = Stat.rfind(')');
    return Close != std::string::npos && Close + 2 < Stat.size() && Stat[Close + 2] == 'Z';
}

} // namespace

TEST(ProcessTest, ArgumentsReachTheProgramLiterallyAndStdinIsDevNull)
{
    TProcessRequest R;
    R.Program = "printf"; // looked up in PATH
    R.Arguments = {"[%s]", "$(id)", "a b", "; rm -rf x", "-x", ""};
    auto Result = RunProcess(R);
    ASSERT_TRUE(Result.Started) << Result.Error;
    EXPECT_EQ(Result.ExitCode, 0);
    EXPECT_EQ(Result.Output, "[$(id)][a b][; rm -rf x][-x][]");

    auto Stdin = RunProcess(Shell("readlink /proc/self/fd/0; cat"));
    ASSERT_TRUE(Stdin.Succeeded()) << Stdin.Error;
    EXPECT_EQ(Stdin.Output, "/dev/null\n");
}

TEST(ProcessTest, OutputAndErrorsAreCapturedApartWithTheExitStatus)
{
    auto Result = RunProcess(Shell("printf out; printf err >&2; printf more; exit 3"));
    ASSERT_TRUE(Result.Started);
    EXPECT_EQ(Result.Output, "outmore");
    EXPECT_EQ(Result.ErrorOutput, "err");
    EXPECT_EQ(Result.ExitCode, 3);
    EXPECT_EQ(Result.Signal, 0);
    EXPECT_FALSE(Result.Succeeded());
    EXPECT_FALSE(Result.TimedOut);

    auto Killed = RunProcess(Shell("kill -TERM $$"));
    ASSERT_TRUE(Killed.Started);
    EXPECT_EQ(Killed.ExitCode, -1);
    EXPECT_EQ(Killed.Signal, SIGTERM);
}

TEST(ProcessTest, AProgramThatCannotRunIsReportedAndReaped)
{
    TProcessRequest R;
    R.Program = "/nonexistent/tolvex-no-such-program";
    auto Result = RunProcess(R);
    EXPECT_FALSE(Result.Started);
    EXPECT_NE(Result.Error.find("No such file"), std::string::npos) << Result.Error;
    if (Result.Pid > 0) {
        EXPECT_EQ(::waitpid(Result.Pid, nullptr, WNOHANG), -1);
    }

    R.Program = "tolvex-no-such-program-in-path";
    EXPECT_FALSE(RunProcess(R).Started);
}

TEST(ProcessTest, EnvironmentFilterRemovesAndSetsVariables)
{
    ::setenv("PASSWD", "inherited-secret", 1);
    ::setenv("PASSWD_FILE", "/tmp/inherited", 1);
    ::setenv("TOLVEX_KEPT", "kept", 1);
    ::setenv("TOLVEX_REPLACED", "old", 1);
    TProcessRequest R;
    R.Program = "env";
    R.RemoveEnvironment = {"PASSWD", "PASSWD_FILE"};
    R.SetEnvironment = {{"TOLVEX_REPLACED", "new"}, {"LC_ALL", "C"}};
    auto Result = RunProcess(R);
    ::unsetenv("PASSWD");
    ::unsetenv("PASSWD_FILE");
    ::unsetenv("TOLVEX_KEPT");
    ::unsetenv("TOLVEX_REPLACED");
    ASSERT_TRUE(Result.Succeeded()) << Result.Error;
    const std::string Env = "\n" + Result.Output;
    EXPECT_EQ(Env.find("inherited-secret"), std::string::npos);
    EXPECT_EQ(Env.find("\nPASSWD_FILE="), std::string::npos);
    EXPECT_NE(Env.find("\nTOLVEX_KEPT=kept\n"), std::string::npos);
    EXPECT_NE(Env.find("\nTOLVEX_REPLACED=new\n"), std::string::npos);
    EXPECT_EQ(Env.find("TOLVEX_REPLACED=old"), std::string::npos);
    EXPECT_NE(Env.find("\nLC_ALL=C\n"), std::string::npos);
}

TEST(ProcessTest, ExtraInputArrivesThroughTheNamedDescriptorOnly)
{
    const std::string Secret = "p%ss 'w\"rd";
    ::setenv("PASSWD_FD", "0", 1); // an inherited value must not win
    TProcessRequest R;
    R.Program = "bash"; // dash reads only one-digit descriptors
    R.Arguments = {
        "-c", "IFS= read -r x <&\"$PASSWD_FD\"; printf %s \"$x\"; printf '|%s' \"$PASSWD_FD\" >&2"};
    R.ExtraInput = Secret + "\n";
    R.ExtraInputVariable = "PASSWD_FD";
    auto Result = RunProcess(R);
    ::unsetenv("PASSWD_FD");
    ASSERT_TRUE(Result.Succeeded()) << Result.Error << Result.ErrorOutput;
    EXPECT_EQ(Result.Output, Secret);
    EXPECT_NE(Result.ErrorOutput, "|0");
    EXPECT_GT(std::atoi(Result.ErrorOutput.c_str() + 1), 2);

    // While the program runs, the secret is neither in its argv nor its
    // environment, which other local users may read.
    TProcessRequest Sleeper;
    Sleeper.Program = "sleep";
    Sleeper.Arguments = {"60"};
    Sleeper.ExtraInput = Secret;
    Sleeper.ExtraInputVariable = "PASSWD_FD";
    std::atomic<bool> Cancel{false};
    Sleeper.Cancel = &Cancel;
    std::string CmdLine, Environ;
    Sleeper.OnStarted = [&](pid_t Pid) {
        CmdLine = ReadPublishedProcFile(Pid, "cmdline");
        Environ = ReadPublishedProcFile(Pid, "environ");
        Cancel = true;
    };
    auto Slept = RunProcess(Sleeper);
    ASSERT_TRUE(Slept.Started);
    EXPECT_TRUE(Slept.Cancelled);
    EXPECT_EQ(CmdLine, std::string("sleep\0"
                                   "60\0",
                                   9));
    EXPECT_NE(Environ.find("PASSWD_FD="), std::string::npos);
    EXPECT_EQ(Environ.find("p%ss"), std::string::npos);
}

TEST(ProcessTest, OnlyTheStandardDescriptorsAndTheSecretsPipeReachTheProgram)
{
    // Left open to children by someone else in the process (no
    // close-on-exec), one of them above the pipes RunProcess makes.
    const int Low = ::open("/dev/null", O_RDONLY);
    const int High = ::fcntl(Low, F_DUPFD, 60);
    ASSERT_GE(Low, 3);
    ASSERT_GE(High, 60);
    for (const bool WithSecret : {false, true}) {
        SCOPED_TRACE(WithSecret ? "with a secret" : "without one");
        // The shell's open descriptors, as it got them, and the variable.
        TProcessRequest R = Shell("for fd in $(seq 0 99); do [ -e /proc/$$/fd/$fd ] && "
                                  "printf '%s ' $fd; done; printf '[%s]' \"$PASSWD_FD\"");
        if (WithSecret) {
            R.ExtraInput = "secret";
            R.ExtraInputVariable = "PASSWD_FD";
        }
        const auto Result = RunProcess(R);
        ASSERT_TRUE(Result.Succeeded()) << Result.Error << Result.ErrorOutput;
        const size_t Open = Result.Output.find('[');
        ASSERT_NE(Open, std::string::npos) << Result.Output;
        const std::string Passed = Result.Output.substr(Open + 1, Result.Output.size() - Open - 2);
        EXPECT_EQ(Result.Output.substr(0, Open), WithSecret ? "0 1 2 " + Passed + " " : "0 1 2 ");
        EXPECT_EQ(Passed.empty(), !WithSecret);
    }
    ::close(Low);
    ::close(High);
}

TEST(ProcessTest, TimeLimitKillsTheWholeGroupAndReapsTheChild)
{
    // A background grandchild keeps the output pipe open: only killing the
    // group ends the wait.
    TProcessRequest R = Shell("sleep 60 & echo $!; wait");
    R.TimeLimit = 3s;
    auto Result = RunProcess(R);
    ASSERT_TRUE(Result.Started);
    EXPECT_TRUE(Result.TimedOut);
    EXPECT_EQ(Result.Signal, SIGKILL);
    EXPECT_EQ(::waitpid(Result.Pid, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
    const pid_t Grandchild = std::atoi(Result.Output.c_str());
    ASSERT_GT(Grandchild, 0) << Result.Output;
    // SIGKILL was sent to it; wait for it to be gone without bounding how
    // long the machine takes.
    while (!IsDeadOrZombie(Grandchild))
        ::sched_yield();
    SUCCEED();
}

TEST(ProcessTest, CancelKillsARunningChild)
{
    TProcessRequest R;
    R.Program = "sleep";
    R.Arguments = {"60"};
    std::atomic<bool> Cancel{true};
    R.Cancel = &Cancel;
    auto Result = RunProcess(R);
    ASSERT_TRUE(Result.Started);
    EXPECT_TRUE(Result.Cancelled);
    EXPECT_FALSE(Result.TimedOut);
    EXPECT_EQ(Result.Signal, SIGKILL);
}

TEST(ProcessTest, AnOversizedExtraInputIsRefusedBeforeAnythingRuns)
{
    TProcessRequest R;
    R.Program = "true";
    R.ExtraInput = std::string(4 << 20, 'x');
    R.ExtraInputVariable = "PASSWD_FD";
    auto Result = RunProcess(R);
    EXPECT_FALSE(Result.Started);
    EXPECT_EQ(Result.Pid, 0);
    EXPECT_FALSE(Result.Error.empty());

    R.ExtraInput = "x";
    R.ExtraInputVariable.clear();
    EXPECT_FALSE(RunProcess(R).Started);
}

TEST(ProcessTest, AFailingStartCallbackLeavesNoChildBehind)
{
    TProcessRequest R;
    R.Program = "sleep";
    R.Arguments = {"60"};
    pid_t Child = 0;
    R.OnStarted = [&](pid_t Pid) {
        Child = Pid;
        throw std::runtime_error("gave up");
    };
    EXPECT_THROW(RunProcess(R), std::runtime_error);
    ASSERT_GT(Child, 0);
    EXPECT_EQ(::waitpid(Child, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}
