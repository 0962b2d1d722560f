#include "platform/Process.h"

#include "tests/support/ProcFiles.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace std::chrono_literals;
using platform::SpawnDetached;
using platform::TSpawnFailure;
using platform::TSpawnRequest;

namespace {

std::string ReadFile(const std::string& Name)
{
    std::ifstream In(Name, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

// Waits until Name exists (the child renames it into place when done).
bool WaitForFile(const std::string& Name, std::chrono::milliseconds Limit = 10s)
{
    const auto End = std::chrono::steady_clock::now() + Limit;
    while (std::chrono::steady_clock::now() < End) {
        if (::access(Name.c_str(), F_OK) == 0)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

// True once nothing is left of the process, not even a zombie.
bool WaitUntilGone(pid_t Pid, std::chrono::milliseconds Limit = 10s)
{
    const std::string Stat = "/proc/" + std::to_string(Pid) + "/stat";
    const auto End = std::chrono::steady_clock::now() + Limit;
    while (std::chrono::steady_clock::now() < End) {
        if (::access(Stat.c_str(), F_OK) != 0)
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return false;
}

std::vector<int> OpenDescriptors(pid_t Pid)
{
    std::vector<int> Fds;
    std::error_code Ec;
    for (const auto& E :
         std::filesystem::directory_iterator("/proc/" + std::to_string(Pid) + "/fd", Ec))
        Fds.push_back(std::stoi(E.path().filename().string()));
    std::sort(Fds.begin(), Fds.end());
    return Fds;
}

std::string StatusLine(pid_t Pid, const std::string& Key)
{
    std::istringstream In(ReadFile("/proc/" + std::to_string(Pid) + "/status"));
    for (std::string L; std::getline(In, L);)
        if (L.rfind(Key + ":\t", 0) == 0)
            return L.substr(Key.size() + 2);
    return "<missing " + Key + ">";
}

// Field 6 of /proc/<pid>/stat: the session.
long SessionOf(pid_t Pid)
{
    const std::string Stat = ReadFile("/proc/" + std::to_string(Pid) + "/stat");
    std::istringstream In(Stat.substr(Stat.rfind(')') + 1));
    std::string State;
    long Parent = 0, Group = 0, Session = 0;
    In >> State >> Parent >> Group >> Session;
    return Session;
}

bool SignalSet(const std::string& HexMask, int Signal)
{
    return (std::stoull(HexMask, nullptr, 16) >> (Signal - 1)) & 1;
}

} // namespace

TEST(SpawnDetached, OwnSessionWorkingFolderStandardDescriptorsOnlyAndDefaultSignals)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("work/.keep"), "");
    // A descriptor the test leaves open to children (no close-on-exec): the
    // child must not get it.
    const int Leaked = ::open("/dev/null", O_RDONLY);
    ASSERT_GE(Leaked, 3);
    // Blocked and ignored here; the child starts with neither.
    sigset_t Usr1;
    ::sigemptyset(&Usr1);
    ::sigaddset(&Usr1, SIGUSR1);
    ::pthread_sigmask(SIG_BLOCK, &Usr1, nullptr);
    const auto OldInt = ::signal(SIGINT, SIG_IGN);
    const auto OldPipe = ::signal(SIGPIPE, SIG_IGN);

    TSpawnRequest R;
    R.Program = "sleep"; // looked up in PATH
    R.Arguments = {"30"};
    R.Directory = Dir.Path("work");
    const auto Result = SpawnDetached(R);
    ::pthread_sigmask(SIG_UNBLOCK, &Usr1, nullptr);
    ::signal(SIGINT, OldInt);
    ::signal(SIGPIPE, OldPipe);
    ::close(Leaked);
    ASSERT_TRUE(Result.Started) << Result.Error;
    const pid_t Pid = Result.Pid;
    ASSERT_GT(Pid, 0);

    // The program runs when the spawn returns; what it opens while starting
    // (locale files) closes again.
    std::vector<int> Fds;
    for (int I = 0; I < 500 && (Fds = OpenDescriptors(Pid)) != std::vector<int>{0, 1, 2}; ++I)
        std::this_thread::sleep_for(10ms);
    EXPECT_EQ(Fds, (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(SessionOf(Pid), Pid) << "not a session leader";
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(Pid) + "/cwd").string(),
              Dir.Path("work"));
    EXPECT_EQ(std::filesystem::read_symlink("/proc/" + std::to_string(Pid) + "/fd/0").string(),
              "/dev/null");
    // The command line is there once the kernel has finished the exec.
    EXPECT_EQ(ReadPublishedProcFile(Pid, "cmdline"), std::string("sleep\0"
                                                                 "30\0",
                                                                 9));
    const std::string Ignored = StatusLine(Pid, "SigIgn");
    const std::string Blocked = StatusLine(Pid, "SigBlk");
    // 32 and 33 too, which the C library keeps for itself and its spawn
    // leaves ignored unless told otherwise.
    for (int Signal : {SIGINT, SIGPIPE, SIGUSR1, SIGTERM, SIGHUP, 32, 33})
        EXPECT_FALSE(SignalSet(Ignored, Signal)) << Signal << " ignored: " << Ignored;
    EXPECT_EQ(std::stoull(Blocked, nullptr, 16), 0u) << Blocked;

    ::kill(Pid, SIGTERM);
    EXPECT_TRUE(WaitUntilGone(Pid)) << "the child was not reaped";
}

TEST(SpawnDetached, ArgumentsReachTheProgramLiterally)
{
    TempFolder Dir;
    TSpawnRequest R;
    R.Program = "/bin/sh";
    R.Arguments = {"-c",
                   "printf '[%s]' \"$@\" > \"$0.part\" && mv \"$0.part\" \"$0\"",
                   Dir.Path("out"),
                   "a b",
                   "$(id)",
                   "; touch x",
                   "-x",
                   ""};
    const auto Result = SpawnDetached(R);
    ASSERT_TRUE(Result.Started) << Result.Error;
    ASSERT_TRUE(WaitForFile(Dir.Path("out")));
    EXPECT_EQ(ReadFile(Dir.Path("out")), "[a b][$(id)][; touch x][-x][]");
    EXPECT_TRUE(WaitUntilGone(Result.Pid));
}

TEST(SpawnDetached, EveryChildIsReapedWhenItEnds)
{
    std::vector<pid_t> Pids;
    for (int I = 0; I < 20; ++I) {
        TSpawnRequest R;
        R.Program = "/bin/true";
        const auto Result = SpawnDetached(R);
        ASSERT_TRUE(Result.Started) << Result.Error;
        Pids.push_back(Result.Pid);
    }
    for (pid_t Pid : Pids)
        EXPECT_TRUE(WaitUntilGone(Pid)) << Pid << " left a zombie";
}

// An opener (xdg-open) that starts and then fails says so only by how it
// ends; the caller learns that without waiting for it.
TEST(SpawnDetached, HowTheChildEndedIsKeptForTheCaller)
{
    struct Case {
        std::string Script;
        int ExitCode, Signal;
    };
    for (const Case& C :
         {Case{"exit 0", 0, 0}, Case{"exit 3", 3, 0}, Case{"kill -TERM $$", -1, 15}}) {
        TSpawnRequest R;
        R.Program = "/bin/sh";
        R.Arguments = {"-c", C.Script};
        const auto Result = SpawnDetached(R);
        ASSERT_TRUE(Result.Started) << Result.Error;
        ASSERT_NE(Result.Exit, nullptr);
        for (int I = 0; I < 1000 && !Result.Exit->Ended; ++I)
            std::this_thread::sleep_for(10ms);
        ASSERT_TRUE(Result.Exit->Ended) << C.Script;
        EXPECT_EQ(Result.Exit->ExitCode, C.ExitCode) << C.Script;
        EXPECT_EQ(Result.Exit->Signal, C.Signal) << C.Script;
    }
}

TEST(SpawnDetached, FailuresToStartSayWhichStepAndWhy)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("plain.sh"), "#!/bin/sh\nexit 0\n");
    ::chmod(Dir.Path("plain.sh").c_str(), 0644);

    TSpawnRequest Missing;
    Missing.Program = Dir.Path("no-such-program");
    auto R = SpawnDetached(Missing);
    EXPECT_FALSE(R.Started);
    EXPECT_EQ(R.Failure, TSpawnFailure::Program);
    EXPECT_EQ(R.ErrorCode, ENOENT);
    EXPECT_EQ(R.Error, "No such file or directory");

    TSpawnRequest NotInPath;
    NotInPath.Program = "tolvex-no-such-program-anywhere";
    R = SpawnDetached(NotInPath);
    EXPECT_FALSE(R.Started);
    EXPECT_EQ(R.Failure, TSpawnFailure::Program);
    EXPECT_EQ(R.ErrorCode, ENOENT);

    // No execute bit at all: refused for root too.
    TSpawnRequest NotExecutable;
    NotExecutable.Program = Dir.Path("plain.sh");
    R = SpawnDetached(NotExecutable);
    EXPECT_FALSE(R.Started);
    EXPECT_EQ(R.Failure, TSpawnFailure::Program);
    EXPECT_EQ(R.ErrorCode, EACCES);
    EXPECT_EQ(R.Error, "Permission denied");

    TSpawnRequest Folder;
    Folder.Program = Dir.Path();
    R = SpawnDetached(Folder);
    EXPECT_FALSE(R.Started);
    EXPECT_EQ(R.Failure, TSpawnFailure::Program);

    TSpawnRequest NoWorkDir;
    NoWorkDir.Program = "/bin/true";
    NoWorkDir.Directory = Dir.Path("gone");
    R = SpawnDetached(NoWorkDir);
    EXPECT_FALSE(R.Started);
    EXPECT_EQ(R.Failure, TSpawnFailure::Directory);
    EXPECT_EQ(R.ErrorCode, ENOENT);

    TSpawnRequest FileAsWorkDir;
    FileAsWorkDir.Program = "/bin/true";
    FileAsWorkDir.Directory = Dir.Path("plain.sh");
    R = SpawnDetached(FileAsWorkDir);
    EXPECT_FALSE(R.Started);
    EXPECT_EQ(R.Failure, TSpawnFailure::Directory);
    EXPECT_EQ(R.ErrorCode, ENOTDIR);
}

TEST(SpawnDetached, ARelativeProgramIsTakenFromTheWorkingFolder)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("bin/tool"),
                      "#!/bin/sh\npwd > \"$1.part\"; mv \"$1.part\" \"$1\"\n");
    ::chmod(Dir.Path("bin/tool").c_str(), 0755);
    TSpawnRequest R;
    R.Program = "./tool";
    R.Directory = Dir.Path("bin");
    R.Arguments = {Dir.Path("out")};
    const auto Result = SpawnDetached(R);
    ASSERT_TRUE(Result.Started) << Result.Error;
    ASSERT_TRUE(WaitForFile(Dir.Path("out")));
    EXPECT_EQ(ReadFile(Dir.Path("out")), Dir.Path("bin") + "\n");
}
