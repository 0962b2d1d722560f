// The package set-up stops only the daemons its own install started: a
// server that was running before (an administrator's own Samba or dnsmasq)
// keeps running. Checked with a stand-in daemon of a name no real program
// has, so that no server of this machine or of a parallel test is touched.
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

const char* const DaemonName = "tolvexstanddmn"; // at most 15 characters: a process name

// The output of a shell command.
std::string Shell(const std::string& Command)
{
    std::string Out;
    FILE* Pipe = ::popen(Command.c_str(), "r");
    if (!Pipe)
        return Out;
    std::array<char, 256> Buf{};
    while (std::fgets(Buf.data(), Buf.size(), Pipe))
        Out += Buf.data();
    ::pclose(Pipe);
    return Out;
}

bool StillRunning(pid_t Pid)
{
    int Status = 0;
    return ::waitpid(Pid, &Status, WNOHANG) == 0;
}

} // namespace

TEST(SetupPackages, StopsTheDaemonsItStartedAndLeavesTheOthersRunning)
{
    const char* Source = std::getenv("TOLVEX_SOURCE_DIR");
    ASSERT_NE(Source, nullptr);
    const std::string Script = std::string(Source) + "/scripts/setup-packages";
    TempFolder Dir;
    const std::string Daemon = Dir.Path(DaemonName);
    std::filesystem::copy_file("/bin/sleep", Daemon);
    std::filesystem::permissions(Daemon, std::filesystem::perms::owner_all);

    // The server the machine ran before the install.
    std::string Path = Daemon, Seconds = "30";
    char* Argv[] = {Path.data(), Seconds.data(), nullptr};
    pid_t Old = 0;
    ASSERT_EQ(::posix_spawn(&Old, Daemon.c_str(), nullptr, nullptr, Argv, environ), 0);
    ASSERT_TRUE(StillRunning(Old));
    const std::string Listed = Shell("bash -c 'source \"$1\"; daemon_pids " +
                                     std::string(DaemonName) + "' bash " + Script);
    EXPECT_EQ(Listed, std::to_string(Old) + "\n");

    // What the install would do: note the daemons, start one more (as a
    // maintainer script does), then stop the new ones. The shell reports how
    // the one it started ended (the script's own settings stop a shell at a
    // failing command, hence the "||").
    const std::string Ended =
        Shell("bash -c 'source \"$1\"; before=$(daemon_pids " + std::string(DaemonName) +
              "); \"$2\" 30 & started=$!; "
              "until daemon_pids " +
              DaemonName + " | grep -qx \"$started\"; do sleep 0.01; done; " +
              "stop_new_daemons \"$before\" " + DaemonName +
              "; status=0; wait \"$started\" || status=$?; echo \"ended $status\"' bash " + Script +
              " " + Daemon);
    EXPECT_EQ(Ended, "ended 143\n"); // 128 + SIGTERM
    EXPECT_TRUE(StillRunning(Old));

    ::kill(Old, SIGKILL);
    int Status = 0;
    ::waitpid(Old, &Status, 0);
}
