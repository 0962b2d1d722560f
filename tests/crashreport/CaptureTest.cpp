// The crash capture seen from outside: each test runs crashreport_probe with
// one scenario and compares what its handler wrote (one block of "key=value"
// lines per record) with what the system says: addr2line for the routine at an
// address, the pointer the probe printed before it faulted, the exit status,
// eu-stack for parked threads, /proc for thread names, nm for the exported
// definitions.
#include "crashreport/kelExceptInit.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <map>
#include <poll.h>
#include <regex>
#include <set>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

using namespace std::chrono_literals;
using TRecord = std::map<std::string, std::string>;

constexpr const char* Probe = TOLVEX_CRASHREPORT_PROBE;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SanitizerBuild = true;
#else
constexpr bool SanitizerBuild = false;
#endif

#define SKIP_SIGNAL_CASES_UNDER_SANITIZERS()                                                       \
    if (SanitizerBuild)                                                                            \
    GTEST_SKIP() << "a sanitizer build handles fatal and real-time signals itself; the signal "    \
                    "cases run in the ordinary build"

// One run of the probe: stdout through a pipe (read line by line), stdin from
// a pipe, stderr into a file, the handler's records into a sink file.
class TProbeRun {
public:
    TProbeRun(const std::string& Scenario, const std::vector<std::string>& Env = {},
              const std::string& Program = Probe)
        : TProbeRun(std::vector<std::string>{Program, Scenario}, Env)
    {
    }
    TProbeRun(std::vector<std::string> Argv, const std::vector<std::string>& Env)
        : Sink(Folder.Path("sink")), ErrFile(Folder.Path("stderr"))
    {
        int Out[2], In[2];
        if (pipe2(Out, O_CLOEXEC) != 0 || pipe2(In, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_adddup2(&Actions, In[0], 0);
        posix_spawn_file_actions_adddup2(&Actions, Out[1], 1);
        posix_spawn_file_actions_addopen(&Actions, 2, ErrFile.c_str(), O_WRONLY | O_CREAT, 0600);
        // Nothing else of the test's (or of whatever started it) goes along.
        posix_spawn_file_actions_addclosefrom_np(&Actions, 3);
        std::vector<std::string> Vars{"PROBE_SINK=" + Sink, "PROBE_GO=" + Folder.Path("go")};
        for (char** E = environ; *E != nullptr; ++E)
            Vars.emplace_back(*E);
        Vars.insert(Vars.end(), Env.begin(), Env.end());
        std::vector<char*> Envp;
        for (auto& V : Vars)
            Envp.push_back(V.data());
        Envp.push_back(nullptr);
        std::vector<char*> Args;
        for (auto& A : Argv)
            Args.push_back(A.data());
        Args.push_back(nullptr);
        if (posix_spawn(&Pid, Argv[0].c_str(), &Actions, nullptr, Args.data(), Envp.data()) != 0)
            throw std::runtime_error("posix_spawn");
        posix_spawn_file_actions_destroy(&Actions);
        close(Out[1]);
        close(In[0]);
        OutFd = Out[0];
        InFd = In[1];
    }
    ~TProbeRun()
    {
        if (Pid > 0 && !Ended) {
            kill(Pid, SIGKILL);
            waitpid(Pid, nullptr, 0);
        }
        close(OutFd);
        if (InFd >= 0)
            close(InFd);
    }

    // The next line of stdout that starts with Prefix; empty after Limit.
    std::string WaitForLine(const std::string& Prefix, std::chrono::milliseconds Limit = 20s)
    {
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        for (;;) {
            for (std::size_t Nl; (Nl = Pending.find('\n')) != std::string::npos;) {
                std::string Line = Pending.substr(0, Nl);
                Pending.erase(0, Nl + 1);
                Lines.push_back(Line);
                if (Line.rfind(Prefix, 0) == 0)
                    return Line;
            }
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                Deadline - std::chrono::steady_clock::now());
            pollfd P{OutFd, POLLIN, 0};
            if (Left.count() <= 0 || poll(&P, 1, static_cast<int>(Left.count())) <= 0)
                return {};
            char Buf[4096];
            const ssize_t N = read(OutFd, Buf, sizeof Buf);
            if (N <= 0)
                return {};
            Pending.append(Buf, static_cast<std::size_t>(N));
        }
    }

    void Send(const std::string& Text)
    {
        ASSERT_EQ(write(InFd, Text.data(), Text.size()), static_cast<ssize_t>(Text.size()));
        close(InFd);
        InFd = -1;
    }

    // The exit status: "exit <code>" or "signal <name>"; "running" after Limit.
    std::string Wait(std::chrono::milliseconds Limit = 60s)
    {
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        int Status = 0;
        while (waitpid(Pid, &Status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > Deadline)
                return "running";
            std::this_thread::sleep_for(10ms);
        }
        Ended = true;
        // What stdout still holds.
        char Buf[4096];
        for (ssize_t N; (N = read(OutFd, Buf, sizeof Buf)) > 0;)
            Pending.append(Buf, static_cast<std::size_t>(N));
        WaitForLine("\x01", 0ms);
        if (WIFSIGNALED(Status))
            return std::string("signal ") + sigabbrev_np(WTERMSIG(Status));
        return "exit " + std::to_string(WEXITSTATUS(Status));
    }

    std::vector<TRecord> Records() const
    {
        std::vector<TRecord> List;
        std::ifstream In(Sink);
        std::string Line;
        while (std::getline(In, Line)) {
            if (Line == "record")
                List.emplace_back();
            else if (const auto Eq = Line.find('='); Eq != std::string::npos && !List.empty())
                List.back()[Line.substr(0, Eq)] = Line.substr(Eq + 1);
        }
        return List;
    }

    bool SaidLine(const std::string& Line) const
    {
        return std::find(Lines.begin(), Lines.end(), Line) != Lines.end();
    }

    std::string Stderr() const
    {
        std::ifstream In(ErrFile);
        return std::string(std::istreambuf_iterator<char>(In), {});
    }

    TempFolder Folder;
    pid_t Pid = -1;

private:
    std::string Sink, ErrFile;
    int OutFd = -1, InFd = -1;
    bool Ended = false;
    std::string Pending;
    std::vector<std::string> Lines;
};

// The routine addr2line names for an offset in the probe (a local alias of a
// routine counts as the routine).
std::string RoutineAt(const std::string& Offset, const std::string& Program = Probe)
{
    const auto R = RunCommand("addr2line -f -C -e " + Quote(Program) + " " + Offset);
    std::string Name = R.Output.substr(0, R.Output.find('\n'));
    if (const auto Alias = Name.find(".localalias"); Alias != std::string::npos)
        Name.resize(Alias);
    return Name;
}

uint64_t Number(const std::string& Text)
{
    return std::stoull(Text, nullptr, 0);
}

// --- C++ exceptions --------------------------------------------------------------------------

struct TCppCase {
    const char* Scenario;
    const char* Source;
    const char* Class;
    const char* Message;
    const char* Thrower; // the routine of the throw site
    const char* Said;    // what the probe says when it lives on ("" when it does not)
    const char* Exit;
    const char* Own; // "1", "0", or "" for the main thread (no entry)
};

void PrintTo(const TCppCase& C, std::ostream* Out)
{
    *Out << C.Scenario;
}

class CrashreportCaptureCpp : public testing::TestWithParam<TCppCase> {};

TEST_P(CrashreportCaptureCpp, ReportsWhereTheExceptionEscapedAndGoesOnWhenItMay)
{
    const TCppCase& C = GetParam();
    TProbeRun Run(C.Scenario);
    EXPECT_EQ(Run.Wait(), C.Exit) << Run.Stderr();
    if (*C.Said) {
        EXPECT_TRUE(Run.SaidLine(C.Said));
    }
    const auto Records = Run.Records();
    ASSERT_EQ(Records.size(), 1u) << "one report, no second one for the same exception";
    const TRecord& R = Records[0];
    EXPECT_EQ(R.at("source"), C.Source);
    EXPECT_EQ(R.at("class"), C.Class);
    EXPECT_EQ(R.at("message"), C.Message);
    EXPECT_EQ(R.at("can_continue"), std::string(C.Source) == "11" ? "0" : "1");
    // Only a thread that std::terminate stopped may hold the crash library's
    // locks while it waits for its report.
    EXPECT_EQ(R.at("crash_time_mode"), std::string(C.Source) == "11" ? "1" : "0");
    // Recorded when thrown: the stack was unwound by the time of the report.
    ASSERT_TRUE(R.count("throw_site_offset"));
    if (*C.Thrower) {
        EXPECT_EQ(RoutineAt(R.at("throw_site_offset")), C.Thrower);
    }
    EXPECT_GE(Number(R.at("throw_frames")), 3u);
    if (*C.Own) {
        EXPECT_EQ(R.at("own"), C.Own);
    } else {
        EXPECT_EQ(R.at("main"), "1");
    }
}

INSTANTIATE_TEST_SUITE_P(
    CrashreportCapture, CrashreportCaptureCpp,
    testing::Values(TCppCase{"throw-in-event", "5", "std::runtime_error", "thrown in an event",
                             "ProbeThrowInEvent", "went on", "exit 0", ""},
                    TCppCase{"throw-in-tthread", "13", "std::logic_error", "thrown in a TThread",
                             "(anonymous namespace)::TThrowingThread::Execute()",
                             "alive, fatal exception kept: yes", "exit 0", "1"},
                    TCppCase{"throw-in-std-thread", "13", "std::runtime_error",
                             "thrown in a std::thread", "ProbeThrowInStdThread", "alive", "exit 0",
                             "1"},
                    TCppCase{"throw-in-foreign-thread", "13", "std::runtime_error",
                             "thrown in a foreign thread", "", "alive", "exit 0", "0"},
                    TCppCase{"throw-in-noexcept", "11", "std::logic_error",
                             "thrown in a noexcept routine", "ProbeThrower", "", "signal ABRT",
                             ""}),
    [](const auto& Info) {
        std::string Name = Info.param.Scenario;
        std::replace(Name.begin(), Name.end(), '-', '_');
        return Name;
    });

TEST(CrashreportCaptureThreads, ATThreadIsNamedAfterItsClassAndAForeignThreadIsNotOwn)
{
    TProbeRun TThreadRun("throw-in-tthread");
    TProbeRun Foreign("throw-in-foreign-thread");
    ASSERT_EQ(TThreadRun.Wait(), "exit 0");
    ASSERT_EQ(Foreign.Wait(), "exit 0");
    const TRecord T = TThreadRun.Records().at(0);
    EXPECT_EQ(T.at("thread_name").rfind("TThrowingThread ($", 0), 0u) << T.at("thread_name");
    // The foreign thread's creator is the library's own starter thread.
    const TRecord F = Foreign.Records().at(0);
    EXPECT_EQ(F.at("own"), "0");
    EXPECT_NE(F.at("creator"), std::to_string(Foreign.Pid));
}

TEST(CrashreportCaptureCppNested, AnExceptionThrownInAHandlerCarriesTheEarlierOne)
{
    TProbeRun Run("nested");
    ASSERT_EQ(Run.Wait(), "exit 0");
    const auto Records = Run.Records();
    ASSERT_EQ(Records.size(), 1u);
    EXPECT_EQ(Records[0].at("class"), "std::invalid_argument");
    EXPECT_EQ(Records[0].at("message"), "second");
    EXPECT_EQ(Records[0].at("inner0"), "std::runtime_error: first");
    EXPECT_EQ(Records[0].count("inner1"), 0u);
    EXPECT_EQ(RoutineAt(Records[0].at("throw_site_offset")), "ProbeThrowAgain");
}

TEST(CrashreportCaptureCppSilent, TheSilentAbortIsNeverReported)
{
    TProbeRun Run("silent-abort");
    EXPECT_EQ(Run.Wait(), "exit 0");
    EXPECT_TRUE(Run.SaidLine("alive"));
    EXPECT_TRUE(Run.Records().empty());
}

TEST(CrashreportCaptureCppWait, TheMainThreadServesItsPortWhileItsReportIsHandled)
{
    TProbeRun Run("throw-in-event", {"PROBE_POST_TO_MAIN=1"});
    EXPECT_EQ(Run.Wait(), "exit 0");
    const auto Records = Run.Records();
    ASSERT_EQ(Records.size(), 1u);
    EXPECT_EQ(Records[0].at("main_port_served"), "1");
}

TEST(CrashreportCaptureCppCancel, CancelledAndExitingThreadsAreNotReported)
{
    TProbeRun Run("pthread-cancel");
    EXPECT_EQ(Run.Wait(), "exit 0");
    EXPECT_TRUE(Run.SaidLine("alive, cancelled"));
    EXPECT_TRUE(Run.Records().empty());
}

// --- Fatal signals -----------------------------------------------------------------------------

struct TSignalCase {
    const char* Scenario;
    const char* Class;
    int Code;
    const char* Fault;   // "pointer": the printed pointer; "rip": the instruction; "": not checked
    const char* Routine; // at the record's rip ("" for one inside the C library)
    bool Overflow;
    bool Main;
};

void PrintTo(const TSignalCase& C, std::ostream* Out)
{
    *Out << C.Scenario;
}

class CrashreportCaptureSignals : public testing::TestWithParam<TSignalCase> {};

TEST_P(CrashreportCaptureSignals, ReportsTheFaultAndClosesWithoutContinuing)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    const TSignalCase& C = GetParam();
    // Asked to continue, a signal still ends the program: no signal goes on.
    TProbeRun Run(C.Scenario, {"PROBE_VERDICT=continue"});
    const std::string Pointer = Run.WaitForLine("pointer ");
    EXPECT_EQ(Run.Wait(), "exit 1") << Run.Stderr();
    const auto Records = Run.Records();
    ASSERT_EQ(Records.size(), 1u);
    const TRecord& R = Records[0];
    EXPECT_EQ(R.at("class"), C.Class);
    EXPECT_EQ(R.at("source"), "20");
    EXPECT_EQ(R.at("can_continue"), "0");
    EXPECT_EQ(std::stoi(R.at("code")), C.Code);
    EXPECT_EQ(R.at("overflow"), C.Overflow ? "1" : "0");
    EXPECT_EQ(R.at("main"), C.Main ? "1" : "0");
    EXPECT_EQ(R.at("rip"), R.at("address"));
    if (std::string(C.Fault) == "pointer") {
        ASSERT_FALSE(Pointer.empty());
        EXPECT_EQ(Number(R.at("fault_addr")), Number(Pointer.substr(8)));
    } else if (std::string(C.Fault) == "rip") {
        EXPECT_EQ(Number(R.at("fault_addr")), Number(R.at("rip")));
    }
    // The stopped thread may hold any lock: the report's walks must not wait
    // for one, and the lock-free walk still names where it stopped.
    EXPECT_EQ(R.at("crash_time_mode"), "1");
    if (*C.Routine) {
        EXPECT_EQ(RoutineAt(R.at("rip_offset")), C.Routine);
        EXPECT_EQ(R.at("crash_frame0"), C.Routine);
    }
}

INSTANTIATE_TEST_SUITE_P(
    CrashreportCapture, CrashreportCaptureSignals,
    testing::Values(
        TSignalCase{"segv", "SIGSEGV", SEGV_ACCERR, "pointer", "ProbeSegv", false, true},
        TSignalCase{"bus", "SIGBUS", BUS_ADRERR, "pointer", "ProbeBus", false, true},
        TSignalCase{"fpe", "SIGFPE", FPE_INTDIV, "rip", "ProbeFpe", false, true},
        TSignalCase{"ill", "SIGILL", ILL_ILLOPN, "rip", "ProbeIll", false, true},
        TSignalCase{"abort", "SIGABRT", SI_TKILL, "", "", false, true},
        // Beyond the main stack's limit nothing is mapped; below a
        // thread's stack lies its guard page.
        TSignalCase{"stack-overflow", "SIGSEGV", SEGV_MAPERR, "", "ProbeRecurse", true, true},
        TSignalCase{"stack-overflow-worker", "SIGSEGV", SEGV_ACCERR, "", "ProbeRecurse", true,
                    false}),
    [](const auto& Info) {
        std::string Name = Info.param.Scenario;
        std::replace(Name.begin(), Name.end(), '-', '_');
        return Name;
    });

TEST(CrashreportCaptureSignalVerdicts, TheVerdictDecidesHowTheProgramEnds)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    const std::vector<std::pair<std::vector<std::string>, std::string>> Cases = {
        {{"PROBE_VERDICT=close"}, "exit 1"},
        {{"PROBE_VERDICT=restart"}, "exit 2"},
        // "WindowsLogo": the signal's own end, for the system's core handling.
        {{"PROBE_VERDICT=close", "PROBE_WINDOWS_LOGO=1"}, "signal SEGV"},
    };
    for (const auto& [Env, Exit] : Cases) {
        TProbeRun Run("segv", Env);
        EXPECT_EQ(Run.Wait(), Exit) << Env.back();
        EXPECT_EQ(Run.Records().size(), 1u) << Env.back();
    }
    // A C++ exception that may continue ends only when the verdict says so.
    TProbeRun Restart("throw-in-std-thread", {"PROBE_VERDICT=restart"});
    EXPECT_EQ(Restart.Wait(), "exit 2");
}

TEST(CrashreportCaptureSignalVerdicts, AForkedChildsFaultIsNotTheProgramsReport)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    TProbeRun Run("fork");
    EXPECT_EQ(Run.Wait(), "exit 0");
    EXPECT_TRUE(Run.SaidLine("child signal " + std::to_string(SIGSEGV)));
    EXPECT_TRUE(Run.SaidLine("exiting child 0"));
    EXPECT_TRUE(Run.Records().empty());
    // After both children the parent's own fault still goes to its handler
    // thread: the child that ran the exit handlers stopped nothing of it.
    TProbeRun Faulting("fork", {"PROBE_FAULT_AFTER_FORK=1", "PROBE_VERDICT=close"});
    EXPECT_EQ(Faulting.Wait(), "exit 1");
    const auto Records = Faulting.Records();
    ASSERT_EQ(Records.size(), 1u);
    EXPECT_EQ(Records[0].at("thread"), std::to_string(Faulting.Pid));
    EXPECT_EQ(Records[0].at("on_handler_thread"), "1");
}

TEST(CrashreportCaptureSignalVerdicts, ASignalSentFromOutsideIsReportedAlike)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    TProbeRun Run("kill-segv", {"PROBE_VERDICT=close"});
    ASSERT_FALSE(Run.WaitForLine("ready").empty());
    kill(Run.Pid, SIGSEGV);
    EXPECT_EQ(Run.Wait(), "exit 1");
    const auto Records = Run.Records();
    ASSERT_EQ(Records.size(), 1u);
    EXPECT_EQ(Records[0].at("class"), "SIGSEGV");
    EXPECT_EQ(std::stoi(Records[0].at("code")), SI_USER);
    EXPECT_NE(Records[0].at("message").find("sent by process " + std::to_string(getpid())),
              std::string::npos)
        << Records[0].at("message");
}

// --- Freeze -----------------------------------------------------------------------------------

TEST(CrashreportCaptureFreeze, TenUnansweredRoundsMakeOneReportWithTheBusyRoutine)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    TProbeRun Run("freeze");
    ASSERT_FALSE(Run.WaitForLine("busy").empty());
    const auto Busy = std::chrono::steady_clock::now();
    // The record arrives while the main thread is still busy.
    while (Run.Records().empty() && std::chrono::steady_clock::now() - Busy < 5s)
        std::this_thread::sleep_for(10ms);
    const auto Took = std::chrono::steady_clock::now() - Busy;
    EXPECT_EQ(Run.Wait(), "exit 0");
    const auto Records = Run.Records();
    ASSERT_EQ(Records.size(), 1u) << "the next report would need 15 more rounds of 150 ms";
    EXPECT_GE(Took, 900ms) << "ten rounds of 100 ms";
    const TRecord& R = Records[0];
    EXPECT_EQ(R.at("kind"), "1");
    EXPECT_EQ(R.at("source"), "1");
    EXPECT_EQ(R.at("class"), "EFrozen");
    EXPECT_EQ(R.at("main"), "0") << "reported by the watchdog";
    EXPECT_EQ(R.at("thread"), std::to_string(Run.Pid)) << "about the main thread";
    EXPECT_EQ(RoutineAt(R.at("rip_offset")), "ProbeBusy");
    EXPECT_EQ(R.at("crash_time_mode"), "1");
    EXPECT_EQ(R.at("crash_frame0"), "ProbeBusy");
}

TEST(CrashreportCaptureFreeze, AnAnswerResetsTheCountAndAReportHoldsTheWatchdog)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    // Six busy rounds at a time, an answer between them.
    TProbeRun Answers("freeze-answers");
    // Busy for 2.3 s while a worker's report takes 2.5 s.
    TProbeRun DuringReport("freeze-during-report", {"PROBE_HANDLER_DELAY_MS=2500"});
    EXPECT_EQ(Answers.Wait(), "exit 0");
    EXPECT_EQ(DuringReport.Wait(), "exit 0");
    EXPECT_TRUE(Answers.Records().empty());
    const auto Records = DuringReport.Records();
    ASSERT_EQ(Records.size(), 1u);
    EXPECT_EQ(Records[0].at("source"), "13");
}

// --- Pausing ----------------------------------------------------------------------------------

TEST(CrashreportCapturePause, OwnThreadsAreParkedForeignOnesNot)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    TProbeRun Run("pause");
    ASSERT_FALSE(Run.WaitForLine("foreign ").empty());
    // The report parks the threads, then waits for the go file.
    const auto Deadline = std::chrono::steady_clock::now() + 20s;
    while (Run.Records().empty() && std::chrono::steady_clock::now() < Deadline)
        std::this_thread::sleep_for(10ms);
    ASSERT_EQ(Run.Records().size(), 1u);
    const auto Stack = RunCommand("eu-stack -p " + std::to_string(Run.Pid) + " 2>&1");
    TempFolder::Write(Run.Folder.Path("go"), "");
    EXPECT_EQ(Run.Wait(), "exit 0");
    // eu-stack: "TID n:" then the frames of that thread.
    std::map<std::string, std::string> Frames;
    std::istringstream In(Stack.Output);
    std::string Line, Current;
    while (std::getline(In, Line)) {
        if (Line.rfind("TID ", 0) == 0)
            Current = Line.substr(4, Line.find(':') - 4);
        else
            Frames[Current] += Line + "\n";
    }
    const TRecord R = Run.Records().at(0);
    int Parked = 0;
    for (const auto& [Key, Value] : R) {
        if (Key.rfind("parked", 0) != 0)
            continue;
        const std::string Tid = Key.substr(6);
        EXPECT_EQ(Value, "1") << Tid;
        EXPECT_NE(Frames[Tid].find("ParkHandler"), std::string::npos) << Tid << "\n" << Frames[Tid];
        ++Parked;
    }
    EXPECT_EQ(Parked, 4) << "three std::threads and a TThread";
    for (const auto& [Tid, Text] : Frames) {
        const bool IsParked = R.count("parked" + Tid) > 0;
        if (!IsParked) {
            EXPECT_EQ(Text.find("ParkHandler"), std::string::npos) << Tid << "\n" << Text;
        }
        if (Text.find("ForeignSpin") != std::string::npos) {
            EXPECT_FALSE(IsParked) << "the foreign library's thread";
        }
    }
}

// --- The thread table -------------------------------------------------------------------------

TEST(CrashreportCaptureThreads, TheTableNamesFiftyThreadsAsTheKernelDoes)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    TProbeRun Run("threads50");
    std::map<std::string, std::string> Table;
    std::string Untracked;
    for (std::string Line; !(Line = Run.WaitForLine("")).empty() && Line != "ready";) {
        if (Line.rfind("table ", 0) == 0) {
            const auto Blank = Line.find(' ', 6);
            Table[Line.substr(6, Blank - 6)] = Line.substr(Blank + 1);
        } else if (Line.rfind("untracked ", 0) == 0) {
            Untracked = Line.substr(10);
        }
    }
    const std::string Task = "/proc/" + std::to_string(Run.Pid) + "/task";
    std::map<std::string, std::string> Comm;
    for (const auto& E : std::filesystem::directory_iterator(Task)) {
        std::ifstream In(E.path() / "comm");
        std::getline(In, Comm[E.path().filename().string()]);
    }
    Run.Send("go\n");
    EXPECT_EQ(Run.Wait(), "exit 0");
    // Every thread but the main thread and one started before the capture.
    EXPECT_EQ(Comm.size(), Table.size() + 2);
    EXPECT_TRUE(Comm.count(std::to_string(Run.Pid)) && !Table.count(std::to_string(Run.Pid)));
    EXPECT_TRUE(Comm.count(Untracked) && !Table.count(Untracked));
    int Named = 0;
    for (const auto& [Tid, Name] : Table) {
        ASSERT_TRUE(Comm.count(Tid)) << Tid;
        const std::string Hex = [&] {
            std::ostringstream S;
            S << std::hex << std::stoi(Tid);
            return S.str();
        }();
        if (Name.rfind("thread $", 0) == 0) {
            // Unnamed: the kernel still has the name the program gave it.
            EXPECT_EQ(Name, "thread $" + Hex);
            EXPECT_EQ(Comm[Tid], Comm[std::to_string(Run.Pid)]);
        } else {
            const std::string Given = Name.substr(0, Name.rfind(" ($"));
            EXPECT_EQ(Name, Given + " ($" + Hex + ")");
            EXPECT_EQ(Comm[Tid], Given.substr(0, 15));
            ++Named;
        }
    }
    EXPECT_EQ(Named, 20 + 15 + 2)
        << "the TThreads, the named std::threads, the handler and the trace thread";
}

// The trace report a process serves on its socket, as another process of the
// user asks for it.
std::string FetchTraceReport(const std::string& Socket)
{
    const int Fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    std::snprintf(Address.sun_path, sizeof Address.sun_path, "%s", Socket.c_str());
    std::string Text;
    if (Fd >= 0 && connect(Fd, reinterpret_cast<sockaddr*>(&Address), sizeof Address) == 0) {
        const unsigned char Size[4] = {0, 0, 0, 1}; // 16 MiB
        if (write(Fd, Size, sizeof Size) == static_cast<ssize_t>(sizeof Size)) {
            char Buf[4096];
            for (ssize_t N; (N = read(Fd, Buf, sizeof Buf)) > 0;)
                Text.append(Buf, static_cast<std::size_t>(N));
        }
    }
    if (Fd >= 0)
        close(Fd);
    if (!Text.empty() && Text.back() == '\0')
        Text.pop_back();
    return Text;
}

// Where the kernel mapped the start of a program file into process Pid.
uint64_t LoadBase(pid_t Pid, const std::string& Program)
{
    const std::string Real = std::filesystem::canonical(Program).string();
    std::ifstream Maps("/proc/" + std::to_string(Pid) + "/maps");
    for (std::string Line; std::getline(Maps, Line);) {
        std::istringstream In(Line);
        std::string Range, Perms, Offset, Dev, Inode, Path;
        In >> Range >> Perms >> Offset >> Dev >> Inode >> Path;
        if (Path == Real && std::stoull(Offset, nullptr, 16) == 0)
            return std::stoull(Range.substr(0, Range.find('-')), nullptr, 16);
    }
    return 0;
}

TEST(CrashreportCaptureThreads, ATraceReportNamesTheThreadsAndWhoCreatedThem)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    TempFolder Runtime;
    ASSERT_EQ(chmod(Runtime.Path().c_str(), 0700), 0);
    TProbeRun Run("threads50", {"XDG_RUNTIME_DIR=" + Runtime.Path()});
    ASSERT_FALSE(Run.WaitForLine("ready").empty());
    const std::string Task = "/proc/" + std::to_string(Run.Pid) + "/task";
    std::map<long, std::string> Comm;
    for (const auto& E : std::filesystem::directory_iterator(Task)) {
        std::ifstream In(E.path() / "comm");
        std::getline(In, Comm[std::stol(E.path().filename().string())]);
    }
    const uint64_t Base = LoadBase(Run.Pid, Probe);
    const std::string Report =
        FetchTraceReport(Runtime.Path() + "/tolvex/trace-" + std::to_string(Run.Pid) + ".sock");
    Run.Send("go\n");
    EXPECT_EQ(Run.Wait(), "exit 0");
    ASSERT_NE(Base, 0u);
    ASSERT_FALSE(Report.empty()) << Run.Stderr();

    // Thread sections: a title "<name> ($<hex id>)...:" and its lines, up to
    // the next title.
    const std::regex Title(R"(^(?:(.*) \(\$([0-9A-Fa-f]+)\)|thread \$([0-9A-Fa-f]+))[^:]*:$)");
    const std::regex Created(R"(^>> created by (.*) at:$)");
    const std::regex Frame(R"(^(?:\$|0x)?([0-9A-Fa-f]+)\b.*)");
    std::istringstream In(Report);
    long Current = 0;
    std::map<long, std::string> Names, Creators;
    std::map<long, std::string> FirstCreationFrame;
    bool InCreation = false;
    for (std::string Line; std::getline(In, Line);) {
        if (!Line.empty() && Line.back() == '\r')
            Line.pop_back();
        std::smatch M;
        const auto Id = [&M] { return std::stol(M[2].matched ? M[2] : M[3], nullptr, 16); };
        if (Current != 0 && std::regex_match(Line, M, Created)) {
            Creators[Current] = M[1];
            InCreation = true;
        } else if (std::regex_match(Line, M, Title) && Comm.count(Id())) {
            Current = Id();
            Names[Current] = M[2].matched ? M[1].str() : "thread";
            InCreation = false;
        } else if (Current != 0 && InCreation && !FirstCreationFrame.count(Current) &&
                   std::regex_match(Line, M, Frame)) {
            FirstCreationFrame[Current] = M[1];
        } else if (Line.empty()) {
            Current = 0;
            InCreation = false;
        }
    }
    ASSERT_EQ(Names.size(), Comm.size()) << Report;
    int Named = 0, Plain = 0;
    for (const auto& [Tid, Name] : Names) {
        if (Name == "main thread" || Name.rfind("thread", 0) == 0)
            continue;
        EXPECT_EQ(Comm[Tid], Name.substr(0, 15)) << Tid;
        ++Named;
    }
    EXPECT_EQ(Named, 20 + 15 + 2);
    const std::string MainName = "main thread ($" + [&] {
        std::ostringstream S;
        S << std::hex << Run.Pid;
        return S.str();
    }() + ")";
    for (const auto& [Tid, Creator] : Creators) {
        // Everything in the probe is started by its main thread.
        EXPECT_EQ(Creator, MainName) << Tid;
        ASSERT_TRUE(FirstCreationFrame.count(Tid)) << Tid;
        const uint64_t Address = std::stoull(FirstCreationFrame[Tid], nullptr, 16);
        // The fifteen plain threads come straight from the scenario's
        // pthread_create call.
        if (Address > Base) {
            std::ostringstream Offset;
            Offset << "0x" << std::hex << Address - Base;
            if (RoutineAt(Offset.str()).find("Scenario") != std::string::npos)
                ++Plain;
        }
    }
    EXPECT_EQ(Creators.size() + 3, Names.size())
        << "all but the main thread, the handler thread (started past the capture) and the "
           "foreign library's thread that was there before the capture";
    EXPECT_EQ(Plain, 15);
}

// --- Exit during start-up ---------------------------------------------------------------------

TEST(CrashreportCaptureSetup, EndingAtOnceAfterTheStartNeverCrashes)
{
    // The preparation of crash-time traces is still running on its thread
    // when the probe ends; the end waits for it before objects are destroyed.
    // The ends are spread over the first 400 ms, which the preparation takes
    // on a loaded machine.
    for (int I = 0; I < 50; ++I) {
        TProbeRun Run(std::vector<std::string>{Probe, "exit-at-once", std::to_string(I * 8000)},
                      {});
        const std::string Status = Run.Wait();
        ASSERT_EQ(Status, "exit 0") << "run " << I << ": " << Run.Stderr();
        EXPECT_TRUE(Run.Records().empty()) << "run " << I;
        EXPECT_EQ(Run.Stderr().find("kelExcept"), std::string::npos) << Run.Stderr();
    }
}

// --- Set-up
// ----------------------------------------------------------------------------------------

TEST(CrashreportCaptureSetup, BothDefinitionsAreExportedByTheProbeAndTheProgram)
{
    for (const std::string& Program : {std::string(Probe), std::string(TOLVEX_PROGRAM)}) {
        const auto R = RunCommand("nm -D --defined-only " + Quote(Program));
        EXPECT_NE(R.Output.find(" T pthread_create\n"), std::string::npos) << Program;
        EXPECT_NE(R.Output.find(" T __cxa_throw\n"), std::string::npos) << Program;
    }
}

TEST(CrashreportCaptureSetup, WithoutItsSectionOrItsDescriptorsTheCaptureStaysDormant)
{
    SKIP_SIGNAL_CASES_UNDER_SANITIZERS();
    TempFolder Folder;
    const std::string Copy = Folder.Path("probe-without-section");
    ASSERT_EQ(RunCommand("objcopy --remove-section .rsrc.10.TKELEXCEPT " + Quote(Probe) + " " +
                         Quote(Copy))
                  .Status,
              0);
    TProbeRun Dormant("segv", {}, Copy);
    EXPECT_EQ(Dormant.WaitForLine("capture ").substr(0, 11), "capture off");
    EXPECT_EQ(Dormant.Wait(), "signal SEGV");
    EXPECT_TRUE(Dormant.Records().empty());
    EXPECT_EQ(Dormant.Stderr(), "") << "dormant without a word";
    // No descriptors left for the handler thread's pipe: one line, then the
    // program runs (and crashes) as without crash reporting.
    TProbeRun Starved({"/usr/bin/prlimit", "--nofile=4:4", Probe, "segv"}, {});
    EXPECT_EQ(Starved.WaitForLine("capture ").substr(0, 11), "capture off");
    EXPECT_EQ(Starved.Wait(), "signal SEGV");
    EXPECT_TRUE(Starved.Records().empty());
    EXPECT_EQ(Starved.Stderr(), "kelExcept: crash reporting is off: its handler thread could not "
                                "be set up (Too many open files)\n");
}

TEST(CrashreportCaptureSetup, TheTemporaryFolderOfAKilledInstanceGoesAtTheNextStart)
{
    TempFolder Runtime;
    ASSERT_EQ(chmod(Runtime.Path().c_str(), 0700), 0);
    const std::string Env = "XDG_RUNTIME_DIR=" + Runtime.Path();
    std::string Left;
    {
        TProbeRun Killed("temp-folder", {Env});
        Left = Killed.WaitForLine("temp ").substr(5);
        ASSERT_TRUE(std::filesystem::is_directory(Left)) << Left;
        kill(Killed.Pid, SIGKILL);
        EXPECT_EQ(Killed.Wait(), "signal KILL");
    }
    ASSERT_TRUE(std::filesystem::is_directory(Left)) << "nobody removed it";
    TProbeRun Next("times", {Env});
    EXPECT_EQ(Next.Wait(), "exit 0");
    EXPECT_FALSE(std::filesystem::exists(Left));
}

// --- Restart take-over --------------------------------------------------------------------------

// A file of ten exception times as a restarting helper writes it.
std::string TimesBytes(int64_t First)
{
    std::string Bytes;
    for (int64_t I = 0; I < 10; ++I)
        for (int B = 0; B < 8; ++B)
            Bytes += static_cast<char>(((First + I) >> (8 * B)) & 0xff);
    return Bytes;
}

TEST(CrashreportCaptureRestart, ARestartedProgramWaitsForItsPredecessorAndTakesItsTimes)
{
    TempFolder Folder;
    const std::string Times = Folder.Path("times");
    TempFolder::Write(Times, TimesBytes(1700000000000));
    ASSERT_EQ(chmod(Times.c_str(), 0600), 0);
    // The predecessor: a process that lives until the test ends it.
    const pid_t Old = fork();
    if (Old == 0) {
        pause();
        _exit(0);
    }
    TProbeRun Run("times", {std::string(RestartedEnv) + "=" + std::to_string(Old),
                            std::string(RestartTimesEnv) + "=" + Times});
    EXPECT_EQ(Run.WaitForLine("capture ", 2s), "") << "it waits while the old process lives";
    kill(Old, SIGKILL);
    waitpid(Old, nullptr, 0);
    EXPECT_NE(Run.WaitForLine("capture "), "") << "and goes on when it is gone";
    EXPECT_EQ(Run.Wait(), "exit 0");
    std::string Expected = "times";
    for (int64_t I = 0; I < 10; ++I)
        Expected += " " + std::to_string(1700000000000 + I);
    EXPECT_TRUE(Run.SaidLine(Expected));
    EXPECT_FALSE(std::filesystem::exists(Times)) << "the file is taken over once";
}

TEST(CrashreportCaptureRestart, TheWaitForThePredecessorIsBounded)
{
    const pid_t Old = fork();
    if (Old == 0) {
        pause();
        _exit(0);
    }
    const auto Start = std::chrono::steady_clock::now();
    EXPECT_FALSE(WaitForProcessEnd(Old, 300ms));
    const auto Took = std::chrono::steady_clock::now() - Start;
    EXPECT_GE(Took, 300ms);
    EXPECT_LT(Took, 3s);
    kill(Old, SIGKILL);
    EXPECT_TRUE(WaitForProcessEnd(Old, 5s));
    waitpid(Old, nullptr, 0);
    EXPECT_TRUE(WaitForProcessEnd(Old, 0ms)) << "a process that is gone";
    EXPECT_EQ(RestartWaitLimit, 35s);
}

TEST(CrashreportCaptureRestart, ATimesFileOthersCouldReadOrWriteIsRefused)
{
    TempFolder Folder;
    const std::string Times = Folder.Path("times");
    std::array<int64_t, 10> Read{};
    TempFolder::Write(Times, TimesBytes(5));
    ASSERT_EQ(chmod(Times.c_str(), 0644), 0);
    EXPECT_FALSE(ReadExceptionTimesFile(Times, Read));
    ASSERT_EQ(chmod(Times.c_str(), 0600), 0);
    EXPECT_TRUE(ReadExceptionTimesFile(Times, Read));
    EXPECT_EQ(Read[0], 5);
    EXPECT_EQ(Read[9], 14);
    TempFolder::Write(Times, TimesBytes(5).substr(0, 79));
    EXPECT_FALSE(ReadExceptionTimesFile(Times, Read)) << "a cut file";
    const std::string Link = Folder.Path("link");
    ASSERT_EQ(symlink(Times.c_str(), Link.c_str()), 0);
    EXPECT_FALSE(ReadExceptionTimesFile(Link, Read)) << "a symbolic link";
}

} // namespace
