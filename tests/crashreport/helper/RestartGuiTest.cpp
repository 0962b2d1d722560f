// Restarting through the real helper program: a probe asks for a restart and
// ends (at once, through SIGTERM, or not at all), and the helper starts it
// again only once it is gone, with its arguments, folder and environment and
// the hand-over of the restart.
#include "crashreport/kelExceptRestart.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <filesystem>
#include <map>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

// "name=value" lines; "arg" may come several times.
std::multimap<std::string, std::string> ReadRecord(const std::string& File)
{
    std::multimap<std::string, std::string> R;
    std::istringstream In(TempFolder::Read(File));
    for (std::string Line; std::getline(In, Line);) {
        const auto Eq = Line.find('=');
        if (Eq != std::string::npos)
            R.emplace(Line.substr(0, Eq), Line.substr(Eq + 1));
    }
    return R;
}

std::string One(const std::multimap<std::string, std::string>& R, const std::string& Key)
{
    const auto It = R.find(Key);
    return It == R.end() ? "<none>" : It->second;
}

} // namespace

TEST(CrashreportRestart, StartedAgainAfterTheEnd)
{
    struct TCase {
        std::string Mode;
        int ExitCode, Signal; // how the first probe ends
        std::chrono::seconds AtLeast;
    } Cases[] = {
        {"exit", 2, 0, 0s},
        {"term", -1, SIGTERM, 0s},
        {"ignore-term", -1, SIGKILL, RestartExitWait},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Mode);
        TempFolder Tmp;
        std::filesystem::create_directories(Tmp.Path("work dir"));
        std::filesystem::create_directories(Tmp.Path("run"));
        ::chmod(Tmp.Path("run").c_str(), 0700);
        std::vector<std::string> Args = {TOLVEX_RESTART_PROBE, Tmp.Path(),  C.Mode,
                                         TOLVEX_CRASH_HELPER,  "two words", "",
                                         "\xc3\xbcn\xc3\xaf"};
        std::vector<std::string> Env;
        for (char** E = environ; *E != nullptr; ++E)
            if (!std::string_view(*E).starts_with("XDG_RUNTIME_DIR="))
                Env.emplace_back(*E);
        Env.push_back("TOLVEX_TEST_MARK=mark " + C.Mode);
        Env.push_back("XDG_RUNTIME_DIR=" + Tmp.Path("run"));
        std::vector<char*> Argv, Envp;
        for (auto& A : Args)
            Argv.push_back(A.data());
        Argv.push_back(nullptr);
        for (auto& E : Env)
            Envp.push_back(E.data());
        Envp.push_back(nullptr);
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_addchdir_np(&Actions, Tmp.Path("work dir").c_str());
        pid_t First = -1;
        const auto Start = std::chrono::steady_clock::now();
        ASSERT_EQ(::posix_spawn(&First, Argv[0], &Actions, nullptr, Argv.data(), Envp.data()), 0);
        posix_spawn_file_actions_destroy(&Actions);

        // The first probe ends as its mode says.
        int Status = 0;
        ASSERT_EQ(::waitpid(First, &Status, 0), First);
        const auto Ended = std::chrono::steady_clock::now();
        if (C.Signal != 0) {
            EXPECT_TRUE(WIFSIGNALED(Status) && WTERMSIG(Status) == C.Signal) << Status;
        } else {
            EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == C.ExitCode) << Status;
        }
        EXPECT_GE(Ended - Start, C.AtLeast);
        EXPECT_FALSE(std::filesystem::exists(Tmp.Path("refused")));

        // The second one writes what it found.
        const std::string Record = Tmp.Path("second.txt");
        for (auto Until = std::chrono::steady_clock::now() + 20s;
             !std::filesystem::exists(Record) && std::chrono::steady_clock::now() < Until;)
            std::this_thread::sleep_for(20ms);
        ASSERT_TRUE(std::filesystem::exists(Record));
        const auto R = ReadRecord(Record);
        EXPECT_EQ(One(R, "old_state"), "gone");
        EXPECT_EQ(One(R, "old_pid"), std::to_string(First));
        EXPECT_EQ(One(R, "took_over_pid"), std::to_string(First));
        EXPECT_NE(One(R, "pid"), std::to_string(First));
        EXPECT_EQ(One(R, "times"), "11,22,33,44,55,66,77,88,99,110,");
        EXPECT_EQ(One(R, "times_mode"), std::to_string(0600));
        EXPECT_EQ(One(R, "times_file_left"), "0");
        EXPECT_EQ(One(R, "variables_left"), "0");
        EXPECT_EQ(One(R, "cwd"), Tmp.Path("work dir"));
        EXPECT_EQ(One(R, "mark"), "mark " + C.Mode);
        std::vector<std::string> Got;
        for (auto [It, End] = R.equal_range("arg"); It != End; ++It)
            Got.push_back(It->second);
        EXPECT_EQ(Got, Args);
    }
}

// A program started otherwise takes nothing over; a times file others could
// have written is not believed (and left alone).
TEST(CrashreportRestart, TakeOver)
{
    TempFolder Tmp;
    ::unsetenv(RestartedVariable);
    ::unsetenv(RestartTimesVariable);
    EXPECT_FALSE(TakeOverRestart().has_value());
    struct TCase {
        mode_t Mode;
        std::vector<std::int64_t> Times;
        bool Removed;
    } Cases[] = {{0600, {5, -6, 7}, true}, {0644, {}, false}, {0660, {}, false}};
    for (const auto& C : Cases) {
        const std::string File = Tmp.Path("times");
        TempFolder::Write(File, "5\n-6\n7\n");
        ::chmod(File.c_str(), C.Mode);
        ::setenv(RestartedVariable, "4321", 1);
        ::setenv(RestartTimesVariable, File.c_str(), 1);
        const auto T = TakeOverRestart();
        ASSERT_TRUE(T.has_value());
        EXPECT_EQ(T->OldPid, 4321);
        EXPECT_EQ(T->ExceptionTimes, C.Times) << C.Mode;
        EXPECT_EQ(!std::filesystem::exists(File), C.Removed) << C.Mode;
        EXPECT_EQ(std::getenv(RestartedVariable), nullptr);
        EXPECT_EQ(std::getenv(RestartTimesVariable), nullptr);
    }
}
