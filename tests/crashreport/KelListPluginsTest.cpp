// The report's plugins against the system's own tools: the modules against
// /proc/self/maps, the processes against ps, the hardware against udevadm's
// device database and systemd-hwdb, and the layout rules of their texts.
#include "crashlib/kelFuncParser.h"
#include "crashreport/kelExceptReport.h"
#include "crashreport/kelLinkDisAsm.h"
#include "crashreport/kelListHardware.h"
#include "crashreport/kelListModules.h"
#include "crashreport/kelListProcesses.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

namespace {

std::vector<std::string> Lines(const std::string& Text)
{
    std::vector<std::string> Out;
    std::size_t Pos = 0;
    for (;;) {
        const auto End = Text.find("\r\n", Pos);
        Out.push_back(Text.substr(Pos, End == std::string::npos ? std::string::npos : End - Pos));
        if (End == std::string::npos)
            return Out;
        Pos = End + 2;
    }
}

std::vector<std::string> Words(const std::string& Line)
{
    std::istringstream In(Line);
    std::vector<std::string> W;
    for (std::string S; In >> S;)
        W.push_back(S);
    return W;
}

} // namespace

TEST(CrashreportPlugins, LinkingTheLibraryRegistersTheThreePluginsAndTheDisassembler)
{
    std::map<std::string, std::pair<std::string, bool>> Found;
    for (const auto& P : RegisteredBugReportPlugins())
        Found[P.Name] = {P.Description, P.OwnSection};
    EXPECT_EQ(Found["hardware"], std::make_pair(std::string("list of installed hardware"), true));
    EXPECT_EQ(Found["processes"], std::make_pair(std::string("list of running processes"), true));
    EXPECT_EQ(Found["modules"], std::make_pair(std::string("list of loaded modules"), true));
    EXPECT_TRUE(DisAsmLinked());
    EXPECT_TRUE(DisassemblerLinked());
}

TEST(CrashreportPlugins, UnregisteringRemovesTheFirstOfThatNameAndKeepsTheOrder)
{
    auto Proc = [](std::string& Text) { Text = "x"; };
    RegisterBugReportPlugin("t-a", "1", +Proc);
    RegisterBugReportPlugin("t-b", "2", +Proc);
    RegisterBugReportPlugin("t-a", "3", +Proc);
    RegisterBugReportPlugin("t-c", "4", +Proc);
    UnregisterBugReportPlugin("T-A"); // names are matched exactly here
    UnregisterBugReportPlugin("t-a");
    std::string Order;
    for (const auto& P : RegisteredBugReportPlugins())
        if (P.Name.substr(0, 2) == "t-")
            Order += P.Description;
    EXPECT_EQ(Order, "234");
    UnregisterBugReportPlugin("t-a");
    UnregisterBugReportPlugin("t-b");
    UnregisterBugReportPlugin("t-c");
}

// --- Modules ------------------------------------------------------------------------------

TEST(CrashreportPlugins, ModulesAreTheFilesMappedExecutableInThisProcess)
{
    // The kernel's view: each file with an executable mapping, and where its
    // first page (offset 0) is mapped.
    std::map<std::string, std::uintptr_t> Maps;
    std::set<std::string> Executable;
    std::ifstream In("/proc/self/maps");
    for (std::string Line; std::getline(In, Line);) {
        const auto W = Words(Line);
        if (W.size() < 6 || W[5][0] != '/')
            continue;
        const std::uintptr_t Start = std::stoull(W[0].substr(0, W[0].find('-')), nullptr, 16);
        if (std::stoull(W[2], nullptr, 16) == 0 && !Maps.count(W[5]))
            Maps[W[5]] = Start;
        if (W[1][2] == 'x')
            Executable.insert(W[5]);
    }
    const auto Modules = ListModules();
    std::set<std::string> Ours;
    std::uintptr_t Previous = 0;
    for (const auto& M : Modules) {
        const std::string Path = M.Folder + "/" + M.FileName;
        Ours.insert(Path);
        EXPECT_EQ(M.Handle, Maps[Path]) << Path;
        EXPECT_GT(M.Handle, Previous) << "ascending addresses";
        Previous = M.Handle;
    }
    EXPECT_EQ(Ours, Executable);

    const auto LibC = std::find_if(Modules.begin(), Modules.end(),
                                   [](const auto& M) { return M.FileName == "libc.so.6"; });
    ASSERT_NE(LibC, Modules.end());
    EXPECT_EQ(LibC->Version, "6"); // libc carries no version note: its soname's number
}

TEST(CrashreportPlugins, ModuleLinesPadNameAndVersionToTheLongestPlusOne)
{
    const std::vector<TModuleRecord> Records = {
        {0x7f0000001000, "libz.so.1", "/usr/lib", "1"},
        {0x555500000000, "tolvex", "/opt/tolvex", "0.1.0.7"},
        {0x7f00000a0000, "ld-linux-x86-64.so.2", "/usr/lib64", ""},
    };
    EXPECT_EQ(ModulesText(Records), "00007f0000001000 libz.so.1            1       /usr/lib\r\n"
                                    "0000555500000000 tolvex               0.1.0.7 /opt/tolvex\r\n"
                                    "00007f00000a0000 ld-linux-x86-64.so.2         /usr/lib64");
    const std::pair<const char*, const char*> Sonames[] = {
        {"libc.so.6", "6"}, {"libstdc++.so.6", "6"},   {"libssl.so.3", "3"}, {"libfoo.so", ""},
        {"", ""},           {"libx.so.1.2.3", "1.2.3"}};
    for (const auto& [Soname, Version] : Sonames)
        EXPECT_EQ(SonameVersion(Soname), Version) << Soname;
}

// --- Processes ----------------------------------------------------------------------------

namespace {

struct TPsRow {
    std::string Sid, Ni, Nlwp, Comm;
};

std::map<std::uint32_t, TPsRow> RunPs()
{
    std::map<std::uint32_t, TPsRow> Rows;
    std::istringstream In(RunCommand("ps -eo pid=,sid=,ni=,nlwp=,comm=").Output);
    for (std::string Line; std::getline(In, Line);) {
        std::istringstream L(Line);
        std::uint32_t Pid = 0;
        TPsRow R;
        L >> Pid >> R.Sid >> R.Ni >> R.Nlwp;
        std::getline(L >> std::ws, R.Comm);
        Rows[Pid] = R;
    }
    return Rows;
}

} // namespace

TEST(CrashreportPlugins, ProcessesAgreeWithPs)
{
    // Threads of our own, so that this process's count is known.
    std::atomic<bool> Stop{false};
    std::vector<std::thread> Threads;
    for (int I = 0; I < 3; ++I)
        Threads.emplace_back([&] {
            while (!Stop)
                usleep(1000);
        });
    // Which processes have no readable executable (kernel threads, zombies):
    // asked before the listing, since one that ends afterwards loses its link.
    std::set<std::uint32_t> WithoutExe;
    for (const auto& R : ListProcesses())
        if (ReadLinkTarget("/proc/" + std::to_string(R.ProcessId) + "/exe").empty())
            WithoutExe.insert(R.ProcessId);
    const auto Before = RunPs();
    const auto Records = ListProcesses();
    const auto After = RunPs();
    Stop = true;
    for (auto& T : Threads)
        T.join();

    int Compared = 0;
    bool SawSelf = false;
    for (const auto& R : Records) {
        const auto B = Before.find(R.ProcessId), A = After.find(R.ProcessId);
        if (B == Before.end() || A == After.end())
            continue; // started or ended meanwhile
        ++Compared;
        const TPsRow& Ps = B->second;
        EXPECT_EQ(std::to_string(R.SessionId), Ps.Sid) << R.ProcessId;
        // ps writes "-" for the real-time policies, which have no nice value.
        const std::map<std::string, std::string> ByNice = {
            {"-", "realtime"},     {"19", "idle"},  {"11", "idle"},         {"10", "below normal"},
            {"1", "below normal"}, {"0", "normal"}, {"-1", "above normal"}, {"-10", "above normal"},
            {"-11", "high"},       {"-20", "high"}};
        if (ByNice.count(Ps.Ni)) {
            EXPECT_EQ(PriorityText(R.PriorityClass), ByNice.at(Ps.Ni)) << R.ProcessId;
        }
        if (Ps.Nlwp == A->second.Nlwp) {
            EXPECT_EQ(std::to_string(R.Threads), Ps.Nlwp) << R.ProcessId;
        }
        // Without a readable executable the name is the kernel's (ps's comm).
        // A kernel worker's name ends in the work it does at that moment
        // ("kworker/5:2-events"), which can change and change back between
        // the readings: only the worker's own part is compared.
        const auto Worker = [](const std::string& Name) {
            return Name.rfind("kworker/", 0) == 0 ? Name.substr(0, Name.find('-')) : Name;
        };
        if (WithoutExe.count(R.ProcessId) != 0 && Ps.Comm == A->second.Comm) {
            EXPECT_EQ(Worker(R.FileName), Worker(Ps.Comm)) << R.ProcessId;
        }
        if (R.ProcessId == static_cast<std::uint32_t>(getpid())) {
            SawSelf = true;
            EXPECT_EQ(R.Threads, 4u);
            EXPECT_GE(R.Descriptors, 3u);
            EXPECT_EQ(R.Folder + "/" + R.FileName, ReadLinkTarget("/proc/self/exe"));
        }
    }
    EXPECT_TRUE(SawSelf);
    EXPECT_GT(Compared, static_cast<int>(Records.size()) / 2);
}

TEST(CrashreportPlugins, ProcessColumnsFollowTheWidestEntryAndDropAnAllZeroSession)
{
    TProcessRecord A{"init", "/sbin", 1, 0, pcNormal, 1, 120};
    TProcessRecord B{"kworker/0:1", "", 0x1f2e, 0, pcUnknown, 1, 0};
    TProcessRecord C{"python3", "/usr/bin", 0x2a, 0, pcHigh, 12, 7};
    EXPECT_EQ(ProcessesText({A, B, C}), "0001 init        1  120 normal /sbin\r\n"
                                        "1f2e kworker/0:1 1  0          \r\n"
                                        "002a python3     12 7   high   /usr/bin");
    C.SessionId = 300;
    EXPECT_EQ(Lines(ProcessesText({A, B, C}))[2], "002a python3     300 12 7   high   /usr/bin");
    EXPECT_EQ(Lines(ProcessesText({A, B, C}))[0], "0001 init        0   1  120 normal /sbin");

    const std::pair<std::uint32_t, const char*> Texts[] = {{pcIdle, "idle"},
                                                           {pcBelowNormal, "below normal"},
                                                           {pcNormal, "normal"},
                                                           {pcAboveNormal, "above normal"},
                                                           {pcHigh, "high"},
                                                           {pcRealtime, "realtime"},
                                                           {0, ""},
                                                           {pcUnknown, ""},
                                                           {0x4000000, "$4000000"}};
    for (const auto& [Class, Text] : Texts)
        EXPECT_EQ(PriorityText(Class), Text);
}

TEST(CrashreportPlugins, AProcessWhoseExecutableCannotBeReadIsNamedByItsKernelName)
{
    // A name with blanks and parentheses, as a process may give itself.
    const std::string Stat = "77 (a (b) c) S 1 77 77 0 -1 4194560 0 0 0 0 0 0 0 0 20 5 3 0 "
                             "100 0 0 0 0 0 0 0 0 0 0 0 0 0 17 0 0 0 0 0 0";
    TProcessRecord R;
    ASSERT_TRUE(ParseProcessRecord(Stat, "", "a (b) c\n", R));
    EXPECT_EQ(R.FileName, "a (b) c");
    EXPECT_EQ(R.Folder, "");
    EXPECT_EQ(R.ProcessId, 77u);
    EXPECT_EQ(R.SessionId, 77u);
    EXPECT_EQ(R.Threads, 3u);
    EXPECT_EQ(PriorityText(R.PriorityClass), "below normal");
    EXPECT_FALSE(ParseProcessRecord("77 (cut", "", "", R));
}

// --- Hardware -----------------------------------------------------------------------------

TEST(CrashreportPlugins, HardwareListsTheDevicesOfUdevsDatabaseNamedByTheHardwareDatabase)
{
    if (RunCommand("command -v udevadm && command -v systemd-hwdb").Status != 0)
        GTEST_SKIP() << "udevadm or systemd-hwdb is not installed";
    // udev's view: each device's path, subsystem and modalias.
    std::map<std::string, std::multiset<std::string>> Expected; // class -> names
    std::istringstream In(RunCommand("udevadm info --export-db").Output + "\n");
    std::string Path, Subsystem, Modalias;
    auto Flush = [&] {
        if (!Path.empty() && !Subsystem.empty() && Path.rfind("/devices/", 0) == 0 &&
            Path.rfind("/devices/virtual/", 0) != 0 && !SkippedHardwareClass(Subsystem)) {
            std::string Name;
            if (!Modalias.empty()) {
                std::string Vendor, Model;
                std::istringstream Q(RunCommand("systemd-hwdb query " + Quote(Modalias)).Output);
                for (std::string L; std::getline(Q, L);) {
                    if (L.rfind("ID_VENDOR_FROM_DATABASE=", 0) == 0)
                        Vendor = L.substr(24);
                    if (L.rfind("ID_MODEL_FROM_DATABASE=", 0) == 0)
                        Model = L.substr(23);
                }
                if (!Model.empty())
                    Name = Vendor.empty() ? Model : Vendor + " " + Model;
            }
            Expected[Subsystem].insert(Name.empty() ? Path.substr(Path.rfind('/') + 1) : Name);
        }
        Path.clear();
        Subsystem.clear();
        Modalias.clear();
    };
    for (std::string L; std::getline(In, L);) {
        if (L.empty())
            Flush();
        else if (L.rfind("P: ", 0) == 0)
            Path = L.substr(3);
        else if (L.rfind("E: SUBSYSTEM=", 0) == 0)
            Subsystem = L.substr(13);
        else if (L.rfind("E: MODALIAS=", 0) == 0)
            Modalias = L.substr(12);
    }
    Flush();
    ASSERT_FALSE(Expected.empty());

    std::string Text;
    ListHardwarePlugin(Text);
    std::map<std::string, std::multiset<std::string>> Ours;
    std::string Class;
    for (const auto& L : Lines(Text)) {
        if (L.rfind("+ ", 0) == 0)
            Class = L.substr(2);
        else {
            ASSERT_EQ(L.rfind("  - ", 0), 0u) << L;
            Ours[Class].insert(L.substr(4));
        }
    }
    EXPECT_EQ(Ours, Expected);
}

TEST(CrashreportPlugins, DevicesKeepTheOrderOfTheirInsertion)
{
    THardwareList List;
    List.Add("pci", "Intel Bridge");
    List.Add("Net", "eth1");
    List.Add("block", "vda");
    List.Add("net", "eth0");         // equal to "Net" without regard to case: a class of its own
    List.Add("pci", "intel bridge"); // equal to its neighbour: goes before it
    List.Add("pci", "Intel Bridge"); // identical devices are both kept
    List.Add("pci", "AMD Host");
    std::string Text = HardwareText(List, nullptr);
    EXPECT_EQ(Text, "+ block\r\n  - vda\r\n"
                    "+ net\r\n  - eth0\r\n"
                    "+ Net\r\n  - eth1\r\n"
                    "+ pci\r\n  - AMD Host\r\n  - Intel Bridge\r\n  - intel bridge\r\n"
                    "  - Intel Bridge");
}

TEST(CrashreportPlugins, OnlyADriverBuiltOutsideTheKernelTreeGetsItsVersion)
{
    TempFolder Dir;
    struct TCase {
        const char* Module;
        const char* Taint;   // null: no taint file
        const char* Version; // null: no version file
        const char* Suffix;
    };
    const TCase Cases[] = {
        {"vendor", "O\n", "2.4.1\n", " (driver 2.4.1)"},
        {"unsigned", "OE\n", " 5.0 \n", " (driver 5.0)"},
        {"intree", "\n", "1.0\n", ""},
        {"proprietary", "P\n", "9\n", ""},
        {"noversion", "O\n", nullptr, ""},
        {"blank", "O\n", "  \n", ""},
        {"notaint", nullptr, "3\n", ""},
    };
    for (const auto& C : Cases) {
        std::filesystem::create_directory(Dir.Path(C.Module));
        if (C.Taint != nullptr)
            TempFolder::Write(Dir.Path(std::string(C.Module) + "/taint"), C.Taint);
        if (C.Version != nullptr)
            TempFolder::Write(Dir.Path(std::string(C.Module) + "/version"), C.Version);
    }
    for (const auto& C : Cases)
        EXPECT_EQ(DriverSuffix(Dir.Path(), C.Module), C.Suffix) << C.Module;
    EXPECT_EQ(DriverSuffix(Dir.Path(), ""), "");
    EXPECT_EQ(DriverSuffix(Dir.Path(), "../vendor"), "");
}
