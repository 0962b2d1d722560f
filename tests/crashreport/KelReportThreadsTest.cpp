// Reports of another program (crashreport_report_probe) against the system's
// own tools: its header against check_header.py, the stacks of 64 waiting
// threads against eu-stack and gdb, a throw site against addr2line, and the
// registers and listing of a fault against what its handler printed and
// objdump.
#include "tests/crashreport/Command.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string Probe = TOLVEX_REPORT_PROBE;

// The probe's run with a pipe each way.
class TProbeRun {
public:
    explicit TProbeRun(const std::vector<std::string>& Args)
    {
        int In[2], Out[2];
        if (pipe(In) != 0 || pipe(Out) != 0)
            return;
        Pid = fork();
        if (Pid == 0) {
            dup2(In[0], 0);
            dup2(Out[1], 1);
            close(In[1]);
            close(Out[0]);
            std::vector<char*> Argv{const_cast<char*>(Probe.c_str())};
            for (const auto& A : Args)
                Argv.push_back(const_cast<char*>(A.c_str()));
            Argv.push_back(nullptr);
            execv(Probe.c_str(), Argv.data());
            _exit(127);
        }
        close(In[0]);
        close(Out[1]);
        ToProbe = fdopen(In[1], "w");
        FromProbe = fdopen(Out[0], "r");
    }
    ~TProbeRun() { End(); }

    // Output up to and without the line Until (all of it for an empty one).
    std::string ReadUntil(const std::string& Until)
    {
        std::string Text;
        char Buf[8192];
        while (FromProbe != nullptr && std::fgets(Buf, sizeof Buf, FromProbe) != nullptr) {
            if (!Until.empty() && Until + "\n" == Buf)
                break;
            Text += Buf;
        }
        return Text;
    }
    void Send(const std::string& Line)
    {
        std::fputs((Line + "\n").c_str(), ToProbe);
        std::fflush(ToProbe);
    }
    int End()
    {
        if (ToProbe != nullptr)
            std::fclose(ToProbe);
        ToProbe = nullptr;
        if (FromProbe != nullptr)
            std::fclose(FromProbe);
        FromProbe = nullptr;
        int Status = -1;
        if (Pid > 0 && waitpid(Pid, &Status, 0) == Pid)
            Rc = WIFEXITED(Status) ? WEXITSTATUS(Status) : -1;
        Pid = -1;
        return Rc;
    }
    pid_t Id() const { return Pid; }

private:
    pid_t Pid = -1;
    int Rc = -1;
    FILE* ToProbe = nullptr;
    FILE* FromProbe = nullptr;
};

std::vector<std::string> Lines(const std::string& Text)
{
    std::vector<std::string> Out;
    std::istringstream In(Text);
    for (std::string L; std::getline(In, L);) {
        if (!L.empty() && L.back() == '\r')
            L.pop_back();
        Out.push_back(L);
    }
    return Out;
}

// The sections of a report: title line -> lines.
std::map<std::string, std::vector<std::string>> Sections(const std::string& Report)
{
    std::map<std::string, std::vector<std::string>> Out;
    std::vector<std::string>* Current = nullptr;
    bool Next = false;
    for (const auto& L : Lines(Report)) {
        if (L.empty()) {
            Next = true;
        } else if (Next) {
            Current = &Out[L];
            Next = false;
        } else if (Current != nullptr) {
            Current->push_back(L);
        }
    }
    return Out;
}

// The thread id in a thread section's title ("thread $1a2b:", "main thread
// ($1a2b), exception location: ...", "name ($1a2b):"); 0 for another section.
pid_t TitleThread(const std::string& Title)
{
    // Only thread sections name a "$" and hex digits in their titles.
    static const std::regex Re("\\$([0-9a-f]+)");
    std::smatch M;
    return std::regex_search(Title, M, Re) ? static_cast<pid_t>(std::stol(M[1], nullptr, 16)) : 0;
}

// A trace line's address and routine (the last column; the routine names
// the tests look at hold no blank).
std::pair<std::uintptr_t, std::string> TraceLine(const std::string& Line)
{
    const auto Blank = Line.rfind(' ');
    return {std::stoull(Line.substr(0, 16), nullptr, 16),
            Blank == std::string::npos ? "" : Line.substr(Blank + 1)};
}

// A symbol as the tools print it, without its symbol version.
std::string Plain(std::string Name)
{
    if (const auto At = Name.find('@'); At != std::string::npos)
        Name.resize(At);
    return Name;
}

// Per thread id, the function names of a tool's output, innermost first.
using TToolStacks = std::map<pid_t, std::vector<std::string>>;

TToolStacks ParseStacks(const std::string& Output, const std::regex& ThreadLine,
                        const std::regex& FrameLine)
{
    TToolStacks Stacks;
    std::vector<std::string>* Current = nullptr;
    for (const auto& L : Lines(Output)) {
        std::smatch M;
        if (std::regex_search(L, M, ThreadLine))
            Current = &Stacks[static_cast<pid_t>(std::stol(M[1]))];
        else if (Current != nullptr && std::regex_search(L, M, FrameLine))
            Current->push_back(Plain(M[1]));
    }
    return Stacks;
}

// The load address of the probe in its report's "modules" section.
std::uintptr_t ProbeBase(const std::map<std::string, std::vector<std::string>>& S)
{
    const auto Modules = S.find("modules:");
    if (Modules == S.end())
        return 0;
    for (const auto& L : Modules->second)
        if (L.find(" crashreport_report_probe ") == 16)
            return std::stoull(L.substr(0, 16), nullptr, 16);
    return 0;
}

std::string Addr2LineFunction(std::uintptr_t Offset)
{
    char Hex[32];
    std::snprintf(Hex, sizeof Hex, "0x%lx", static_cast<unsigned long>(Offset));
    const auto R = RunCommand("addr2line -f -e " + Quote(Probe) + " " + Hex);
    return R.Output.substr(0, R.Output.find('\n'));
}

} // namespace

TEST(CrashreportHeader, AProgramsReportAgreesWithTheSystem)
{
    // check_header.py prints each failed check; arguments with a blank and
    // an empty one test the command line's quoting.
    const auto R = RunCommand("/usr/bin/python3 " TOLVEX_CRASHREPORT_TEST_DIR "/check_header.py " +
                              Quote(Probe) + " report-now 'two words' '' 2>&1");
    EXPECT_EQ(R.Status, 0) << R.Output;
    EXPECT_EQ(R.Output, "");
}

TEST(CrashreportThreads, SixtyFourWaitingThreadsMatchEuStackAndGdb)
{
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer's interceptors stand in the stacks compared with "
                    "eu-stack and gdb; it runs in the ordinary build";
#endif
    if (RunCommand("command -v eu-stack && command -v gdb").Status != 0)
        GTEST_SKIP() << "eu-stack or gdb is not installed";
    TProbeRun Run({"threads", "64"});
    ASSERT_EQ(Run.ReadUntil("ready"), "");
    const std::string Pid = std::to_string(Run.Id());
    const auto Eu = RunCommand("eu-stack -p " + Pid + " 2>/dev/null");
    const auto Gdb =
        RunCommand("gdb -batch -nx -p " + Pid + " -ex 'thread apply all bt' 2>/dev/null");
    Run.Send("report");
    const std::string Report = Run.ReadUntil("--end--");
    Run.Send("report-event");
    const std::string EventReport = Run.ReadUntil("--end--");
    EXPECT_EQ(Run.End(), 0);

    const auto EuStacks = ParseStacks(Eu.Output, std::regex("^TID (\\d+):"),
                                      std::regex("^#\\d+\\s+0x[0-9a-f]+ (\\S+)"));
    const auto GdbStacks = ParseStacks(Gdb.Output, std::regex("^Thread \\d+ .*\\(LWP (\\d+)\\)"),
                                       std::regex("^#\\d+\\s+(?:0x[0-9a-f]+ in )?(\\S+) \\("));
    ASSERT_EQ(EuStacks.size(), 66u) << Eu.Output;
    ASSERT_EQ(GdbStacks.size(), 66u) << Gdb.Output;

    // Per thread: the routines of its stack, and the lines after ">> created
    // by ...".
    struct TOurThread {
        std::string Title;
        std::vector<std::string> Routines;
        std::vector<std::string> Creation;
    };
    auto OurThreads = [](const std::string& Text) {
        std::map<pid_t, TOurThread> Threads;
        for (const auto& [Title, Body] : Sections(Text))
            if (const pid_t Tid = TitleThread(Title); Tid != 0) {
                auto& T = Threads[Tid];
                T.Title = Title;
                auto* Into = &T.Routines;
                for (const auto& L : Body)
                    if (L.rfind(">> created by ", 0) == 0) {
                        T.Creation.push_back(L);
                        Into = &T.Creation;
                    } else {
                        Into->push_back(Into == &T.Routines ? TraceLine(L).second : L);
                    }
            }
        return Threads;
    };
    auto Ours = OurThreads(Report);
    const auto EventThreads = OurThreads(EventReport);
    // The same threads (the report's own calculating thread is not one); a
    // report of an event leaves out the crash reporter's own thread.
    std::set<pid_t> EuIds, OurIds, EventIds;
    pid_t Library = 0;
    for (const auto& [Tid, Names] : EuStacks)
        EuIds.insert(Tid);
    for (const auto& [Tid, T] : Ours) {
        OurIds.insert(Tid);
        if (T.Title.rfind("kelExcept - ProbeThread ($", 0) == 0)
            Library = Tid;
    }
    for (const auto& [Tid, T] : EventThreads)
        EventIds.insert(Tid);
    EXPECT_EQ(OurIds, EuIds) << Report;
    ASSERT_NE(Library, 0) << Report;
    EuIds.erase(Library);
    EXPECT_EQ(EventIds, EuIds) << EventReport;

    // Each waiting thread was started by the main thread in probe_start_worker,
    // as addr2line names the address of the creation stack's first line.
    const std::uintptr_t Base = ProbeBase(Sections(Report));
    ASSERT_NE(Base, 0u);
    const std::string Creator = ">> created by main thread ($" + [&] {
        char Hex[16];
        std::snprintf(Hex, sizeof Hex, "%x", static_cast<unsigned>(std::stoul(Pid)));
        return std::string(Hex);
    }() + ") at:";
    std::set<std::uintptr_t> CreationSites;
    for (const auto& [Tid, T] : Ours) {
        if (std::to_string(Tid) == Pid || Tid == Library) {
            EXPECT_TRUE(T.Creation.empty()) << T.Title;
            continue;
        }
        ASSERT_GE(T.Creation.size(), 2u) << T.Title;
        EXPECT_EQ(T.Creation[0], Creator);
        const auto [Site, Name] = TraceLine(T.Creation[1]);
        EXPECT_EQ(Name, "probe_start_worker");
        CreationSites.insert(Site);
    }
    ASSERT_EQ(CreationSites.size(), 1u);
    EXPECT_EQ(Addr2LineFunction(*CreationSites.begin() - Base), "probe_start_worker");

    // The waiting threads (the main thread was reporting meanwhile), their
    // top five frames. gdb names routines from the debugging information as
    // the report does, and lists an inlined call as a frame of the same name
    // again; eu-stack names them from the symbol table, where the C library's
    // routines have other aliases, so against it the probe's own routines
    // are compared.
    const std::regex Identifier("^[A-Za-z_][A-Za-z0-9_]*$");
    auto OwnRoutines = [](const std::vector<std::string>& Names) {
        std::vector<std::string> Own;
        for (const auto& N : Names)
            if (std::regex_match(N, std::regex("probe_[a-z_]+")))
                Own.push_back(N);
        return Own;
    };
    int Compared = 0;
    for (const auto& [Tid, Names] : EuStacks) {
        if (std::to_string(Tid) == Pid || Tid == Library)
            continue;
        auto Top = [](std::vector<std::string> V) {
            V.resize(std::min<std::size_t>(5, V.size()));
            return V;
        };
        const auto Mine = Top(Ours[Tid].Routines);
        std::vector<std::string> G = GdbStacks.at(Tid);
        G.erase(std::unique(G.begin(), G.end()), G.end());
        G = Top(G);
        ASSERT_EQ(Mine.size(), 5u) << Tid << "\n" << Report;
        ASSERT_EQ(G.size(), 5u) << Gdb.Output;
        for (std::size_t I = 0; I < 5; ++I)
            if (std::regex_match(G[I], Identifier)) {
                EXPECT_EQ(Mine[I], G[I]) << "thread " << Tid << ", frame " << I;
            }
        EXPECT_EQ(OwnRoutines(Mine), OwnRoutines(Top(Names))) << "thread " << Tid;
        EXPECT_EQ(Mine[1], "probe_block") << Tid;
        ++Compared;
    }
    EXPECT_EQ(Compared, 64);
}

TEST(CrashreportThreads, AThrownExceptionsSectionStartsAtItsThrowSite)
{
    TProbeRun Run({"throw-site"});
    const std::string Out = Run.ReadUntil("");
    ASSERT_EQ(Run.End(), 0) << Out;
    const auto S = Sections(Out);
    const std::uintptr_t Base = ProbeBase(S);
    ASSERT_NE(Base, 0u) << Out;
    const std::vector<std::string>* Event = nullptr;
    std::string Location;
    for (const auto& [Title, Body] : S)
        if (const auto At = Title.find(", exception location: "); At != std::string::npos) {
            Event = &Body;
            Location = Title.substr(At + 22);
        }
    ASSERT_NE(Event, nullptr) << Out;
    ASSERT_GE(Event->size(), 2u);
    // The first frames, as addr2line names their addresses: the routine that
    // threw, then its caller.
    const auto [Site, SiteName] = TraceLine((*Event)[0]);
    const auto [Caller, CallerName] = TraceLine((*Event)[1]);
    EXPECT_EQ(SiteName, "probe_throw_site");
    // The title's location is the call that threw, as the first line names it.
    EXPECT_EQ(Location.substr(0, 16), (*Event)[0].substr(0, 16)) << Location;
    EXPECT_EQ(Addr2LineFunction(Site - Base), SiteName);
    EXPECT_EQ(Addr2LineFunction(Caller - Base), CallerName);
    // The recorded return address follows the call the first frame names.
    const auto Printed = std::stoull(Out.substr(Out.find("site ") + 5), nullptr, 16);
    EXPECT_GT(Printed, Site);
    EXPECT_LE(Printed, Site + 15);
}

TEST(CrashreportReport, AFaultsRegistersAndListingAreWhatItsHandlerSaw)
{
    TProbeRun Run({"fault"});
    const std::string Out = Run.ReadUntil("");
    ASSERT_EQ(Run.End(), 0) << Out;
    std::vector<std::string> Expected;
    std::uintptr_t Rip = 0;
    for (const auto& L : Lines(Out)) {
        char Name[16];
        unsigned long long Value = 0;
        if (std::sscanf(L.c_str(), "reg %15s %llx", Name, &Value) == 2) {
            char Line[64];
            std::snprintf(Line, sizeof Line, "%-6s = %016llx", Name, Value);
            Expected.push_back(Line);
            if (std::string(Name) == "rip")
                Rip = Value;
        }
    }
    ASSERT_EQ(Expected.size(), 18u) << Out;
    const auto S = Sections(Out);
    ASSERT_TRUE(S.count("cpu registers:")) << Out;
    EXPECT_EQ(S.at("cpu registers:"), Expected);

    // The listing marks the faulting instruction with the mnemonic objdump
    // shows at that address of the file.
    ASSERT_TRUE(S.count("disassembling:")) << Out;
    std::string Marked;
    for (const auto& L : S.at("disassembling:"))
        if (L.size() > 18 && L[17] == '>')
            Marked = L;
    ASSERT_FALSE(Marked.empty()) << Out;
    EXPECT_EQ(std::stoull(Marked.substr(0, 16), nullptr, 16), Rip);
    const std::uintptr_t File = Rip - ProbeBase(S);
    char Range[128];
    std::snprintf(Range, sizeof Range, "--start-address=0x%lx --stop-address=0x%lx",
                  static_cast<unsigned long>(File), static_cast<unsigned long>(File + 16));
    const auto Dump = RunCommand("objdump -d -M intel --no-show-raw-insn " + std::string(Range) +
                                 " " + Quote(Probe));
    std::smatch M;
    ASSERT_TRUE(std::regex_search(Dump.Output, M, std::regex("\\n\\s*[0-9a-f]+:\\s+(\\S+)")))
        << Dump.Output;
    EXPECT_NE(Marked.find(" " + M[1].str() + " "), std::string::npos) << Marked;

    // The thread section starts at the fault, in the routine addr2line names.
    for (const auto& [Title, Body] : S)
        if (Title.find(", exception location: ") != std::string::npos) {
            ASSERT_FALSE(Body.empty());
            const auto [Address, Name] = TraceLine(Body[0]);
            EXPECT_EQ(Address, Rip);
            EXPECT_EQ(Name, "probe_fault");
            EXPECT_EQ(Addr2LineFunction(Address - ProbeBase(S)), Name);
        }
}
