// The stack walk's costs, beside eu-stack where it does the same work:
//  - the first naming of an address in the program (tolvex, from this build
//    folder), through its packed map data and through its DWARF, beside
//    eu-addr2line naming the same address (a process of its own);
//  - one walk of this thread, named, in a process with 500 mappings, each
//    walk with its own look at the address space and with one look shared
//    by the capture;
//  - scan-and-link over 8 MB of distinct return addresses, the first time
//    (every routine and call target new);
//  - 64 threads paused, walked and named, cold, beside eu-stack -p of the
//    same process (which attaches with ptrace and reads DWARF too);
//  - the crash-time path: one walk from the reserve.
// Prints a table; run by hand.
#include "crashlib/kelDisAsm.h"
#include "crashlib/kelElfImage.h"
#include "crashlib/kelMapFile.h"
#include "crashlib/kelStackTrace.h"
#include "crashlib/kelStrings.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
#include <unordered_set>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration D)
{
    return std::chrono::duration<double, std::milli>(D).count();
}

template <typename F> double MedianMs(int Runs, F&& Body)
{
    std::vector<double> T;
    for (int I = 0; I < Runs; I++) {
        const auto Start = Clock::now();
        Body();
        T.push_back(Ms(Clock::now() - Start));
    }
    std::sort(T.begin(), T.end());
    return T[T.size() / 2];
}

// Milliseconds a shell command takes, its output thrown away.
double CommandMs(const std::string& Command)
{
    const auto Start = Clock::now();
    if (std::system((Command + " >/dev/null 2>&1").c_str()) != 0)
        return -1;
    return Ms(Clock::now() - Start);
}

std::atomic<int> Sink{0};
std::atomic<bool> Stop{false};

extern "C" __attribute__((noinline)) void bench_wait_inner()
{
    while (!Stop.load())
        usleep(2000);
    Sink++;
}

extern "C" __attribute__((noinline)) void bench_wait_outer()
{
    bench_wait_inner();
    Sink++;
}

struct TRow {
    std::string What;
    double Ours;
    double Goal;
    std::string Anchor;
    double AnchorMs;
    std::string Note;
};
std::vector<TRow> Rows;

void Add(std::string What, double Ours, double Goal, std::string Anchor, double AnchorMs,
         std::string Note)
{
    Rows.push_back({std::move(What), Ours, Goal, std::move(Anchor), AnchorMs, std::move(Note)});
}

std::string ProgramPath()
{
    for (const std::string& P : {std::string(TOLVEX_BIN_DIR) + "/tolvex"}) {
        struct stat St {};
        if (stat(P.c_str(), &St) == 0)
            return P;
    }
    return {};
}

// A routine in the middle of the program's code: the public at half the
// publics of its map data.
uintptr_t MiddleRoutine(const std::string& Program)
{
    const TMapFile Map(0, Program, mdsPackedResource | mdsElfSymbols);
    if (Map.Publics.empty())
        return 0;
    return Map.Publics[Map.Publics.size() / 2].Address + 1;
}

void FirstNaming()
{
    const std::string Program = ProgramPath();
    if (Program.empty()) {
        std::printf("(tolvex is not built: the first-naming rows are left out)\n");
        return;
    }
    const uintptr_t Address = MiddleRoutine(Program);
    char Hex[32];
    std::snprintf(Hex, sizeof Hex, "0x%lx", static_cast<unsigned long>(Address));
    const double Eu = CommandMs("eu-addr2line -f -C -e " + Program + " " + Hex);
    for (const auto& [Name, Source] :
         {std::pair<const char*, uint32_t>{"packed map data", mdsPackedResource | mdsLazy},
          {"DWARF", mdsDwarf | mdsLazy}}) {
        std::vector<double> T;
        std::string Found;
        for (int Run = 0; Run < 5; Run++) {
            const auto Start = Clock::now();
            const TMapFile Map(0, Program, Source);
            const TMfPublic P = Map.FindPublic(Address);
            const uint32_t Line = Map.FindLine(Address);
            T.push_back(Ms(Clock::now() - Start));
            Found = WideToUtf8(P.Name).substr(0, 40) + ", line " + std::to_string(Line);
            Sink += static_cast<int>(P.Name.size());
        }
        std::sort(T.begin(), T.end());
        Add(std::string("first naming through ") + Name, T[T.size() / 2], 100, "eu-addr2line", Eu,
            Found);
    }
}

void WalkWith500Mappings()
{
    // 500 mappings that cannot merge: every other page without access.
    std::vector<void*> Maps;
    for (int I = 0; I < 500; I++) {
        void* P = mmap(nullptr, 8192, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (P != MAP_FAILED) {
            mprotect(static_cast<char*>(P) + 4096, 4096, PROT_NONE);
            Maps.push_back(P);
        }
    }
    size_t Lines = 0;
    EnumMemoryMaps([&](const TMapsEntry&) {
        Lines++;
        return true;
    });
    TStackTrace Trace;
    CalcStackTrace(nullptr, 0, nullptr, nullptr, Trace); // modules named once
    const double Own = MedianMs(200, [&] { CalcStackTrace(nullptr, 0, nullptr, nullptr, Trace); });
    TCaptureSnapshot Capture;
    const double Shared = MedianMs(
        200, [&] { CalcStackTrace(nullptr, 0, nullptr, nullptr, Trace, nullptr, &Capture); });
    const std::string Note =
        std::to_string(Lines) + " maps lines, " + std::to_string(Trace.size()) + " frames";
    Add("walk, 500 mappings, own look", Own, 0.1, "", 0, Note);
    Add("walk, 500 mappings, capture's look", Shared, 0.1, "", 0, Note);
    for (void* P : Maps)
        munmap(P, 8192);
}

// Return addresses of this process: every address right behind a direct
// call in the executable code of its modules, each once.
std::vector<uintptr_t> ReturnAddresses(size_t Most)
{
    std::vector<uintptr_t> Out;
    std::unordered_set<uintptr_t> Seen;
    EnumMemoryMaps([&](const TMapsEntry& E) {
        if (E.Perms[2] != 'x' || E.Perms[0] != 'r' || E.Path.empty() || E.Path[0] != '/')
            return true;
        const auto* Code = reinterpret_cast<const uint8_t*>(E.Start);
        for (uintptr_t I = 0; I + 5 <= E.End - E.Start && Out.size() < Most; I++) {
            if (Code[I] != 0xE8)
                continue;
            const uintptr_t Ret = E.Start + I + 5;
            TInstructionInfo Info = ParseCode(E.Start + I);
            if (Info.Valid && Info.IsCall && Info.Next == Ret && Seen.insert(Ret).second)
                Out.push_back(Ret);
        }
        return Out.size() < Most;
    });
    return Out;
}

void ScanOf8Mb()
{
    const size_t Size = 8u << 20;
    void* Mem = mmap(nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mem == MAP_FAILED)
        return;
    const std::vector<uintptr_t> Returns = ReturnAddresses(Size / sizeof(uintptr_t));
    auto* Out = static_cast<uintptr_t*>(Mem);
    for (size_t I = 0; I < Size / sizeof(uintptr_t); I++)
        Out[I] = Returns.empty() ? I : Returns[I % Returns.size()];
    ucontext_t Uc;
    getcontext(&Uc);
    TThreadContext Own;
    ContextFromUcontext(Uc, Own);
    const auto Base = reinterpret_cast<uintptr_t>(Mem);
    TStackTrace Scan;
    // Its naming is the first-naming rows' business: the modules' names are
    // read before, the routines and call targets of the stack are new.
    CalcStackTrace(nullptr, 0, nullptr, nullptr, Scan);
    const auto Start = Clock::now();
    ScanStackTrace(Own.Ip(), Base, Base, Base + Size, nullptr, Scan);
    const double First = Ms(Clock::now() - Start);
    const double Again =
        MedianMs(3, [&] { ScanStackTrace(Own.Ip(), Base, Base, Base + Size, nullptr, Scan); });
    Add("scan-and-link, 8 MB, first", First, 50, "", 0,
        std::to_string(Returns.size()) + " distinct return addresses, " +
            std::to_string(Scan.size()) + " frames");
    Add("scan-and-link, 8 MB, again", Again, 0, "", 0, "");
    munmap(Mem, Size);
}

void SixtyFourThreads()
{
    std::vector<std::thread> Threads;
    std::vector<pid_t> Tids(64);
    std::atomic<int> Ready{0};
    for (int I = 0; I < 64; I++)
        Threads.emplace_back([&, I] {
            Tids[static_cast<size_t>(I)] = static_cast<pid_t>(syscall(SYS_gettid));
            Ready++;
            bench_wait_outer();
        });
    while (Ready.load() < 64)
        usleep(1000);
    usleep(20000);
    // Cold: nothing of an earlier walk kept.
    ClearMapFileCache();
    size_t Frames = 0;
    const auto Start = Clock::now();
    TCaptureSnapshot Capture;
    for (pid_t Tid : Tids) {
        TPausedThread P;
        if (!P.Pause(Tid))
            continue;
        TStackTrace T;
        CalcStackTrace(&P.Context(), 0, nullptr, nullptr, T, nullptr, &Capture);
        Frames += T.size();
    }
    const double Ours = Ms(Clock::now() - Start);
    const double Eu = CommandMs("eu-stack -p " + std::to_string(getpid()));
    Add("64 threads walked and named, cold", Ours, 250, "eu-stack -p", Eu,
        std::to_string(Frames) + " frames");
    Stop = true;
    for (auto& T : Threads)
        T.join();
}

void CrashTimeWalk()
{
    PrepareCrashTime();
    static TCrashTrace Trace;
    ucontext_t Uc;
    getcontext(&Uc);
    TThreadContext Own;
    ContextFromUcontext(Uc, Own);
    const double T = MedianMs(50, [&] { CalcCrashTimeTrace(Own, 0, Trace); });
    Add("crash-time walk from the reserve", T, 0, "", 0, std::to_string(Trace.Count) + " frames");
}

} // namespace

int main()
{
    FirstNaming();
    WalkWith500Mappings();
    ScanOf8Mb();
    SixtyFourThreads();
    CrashTimeWalk();
    std::printf("\n%-48s %10s %8s  %-14s %10s  %s\n", "what", "ours ms", "goal", "anchor",
                "anchor ms", "note");
    for (const TRow& R : Rows) {
        char Goal[16] = "";
        if (R.Goal > 0)
            std::snprintf(Goal, sizeof Goal, "<= %g", R.Goal);
        char Anchor[16] = "";
        if (!R.Anchor.empty())
            std::snprintf(Anchor, sizeof Anchor, "%.1f", R.AnchorMs);
        std::printf("%-48s %10.3f %8s  %-14s %10s  %s\n", R.What.c_str(), R.Ours, Goal,
                    R.Anchor.c_str(), Anchor, R.Note.c_str());
    }
    return 0;
}
