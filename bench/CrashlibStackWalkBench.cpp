// The stack walk's costs: one walk of a thread with its modules known, the
// first naming with DWARF, scan-and-link over an 8 MB stack, and a process
// of 64 threads paused, walked and named one after another. Prints figures.
#include "crashlib/kelMapFile.h"
#include "crashlib/kelStackTrace.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>
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

} // namespace

int main()
{
    // First naming: the program's DWARF is read on the first lookup.
    ClearMapFileCache();
    std::string Text;
    auto Start = Clock::now();
    StackAddrToStr(reinterpret_cast<uintptr_t>(&bench_wait_inner), false, false, Text);
    std::printf("first naming with DWARF              %9.3f ms   (%s)\n", Ms(Clock::now() - Start),
                Text.c_str());

    TStackTrace Trace;
    CalcStackTrace(nullptr, 0, nullptr, nullptr, Trace);
    std::printf("walk of this thread, named           %9.3f ms   (%zu frames)\n",
                MedianMs(200, [&] { CalcStackTrace(nullptr, 0, nullptr, nullptr, Trace); }),
                Trace.size());

    // 8 MB of stack: a copy of this thread's real stack words repeated, so
    // that candidates and non-candidates come in a real proportion.
    const size_t Size = 8u << 20;
    void* Mem = mmap(nullptr, Size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Mem == MAP_FAILED)
        return 1;
    ucontext_t Uc;
    getcontext(&Uc);
    TThreadContext Own;
    ContextFromUcontext(Uc, Own);
    uintptr_t Low = 0, High = 0;
    GetStackBounds(Own.Sp(), Low, High);
    std::vector<uintptr_t> Words((High - Own.Sp()) / sizeof(uintptr_t));
    std::memcpy(Words.data(), reinterpret_cast<void*>(Own.Sp()), Words.size() * sizeof(uintptr_t));
    auto* Out = static_cast<uintptr_t*>(Mem);
    for (size_t I = 0; I < Size / sizeof(uintptr_t); I++)
        Out[I] = Words.empty() ? I : Words[I % Words.size()];
    const auto Base = reinterpret_cast<uintptr_t>(Mem);
    TStackTrace Scan;
    const double ScanMs =
        MedianMs(5, [&] { ScanStackTrace(Own.Ip(), Base, Base, Base + Size, nullptr, Scan); });
    std::printf("scan-and-link over an 8 MB stack     %9.3f ms   (%zu frames)\n", ScanMs,
                Scan.size());
    munmap(Mem, Size);

    // 64 threads, each paused, walked and named.
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
    size_t Frames = 0;
    Start = Clock::now();
    for (pid_t Tid : Tids) {
        TPausedThread P;
        if (!P.Pause(Tid))
            continue;
        TStackTrace T;
        CalcStackTrace(&P.Context(), 0, nullptr, nullptr, T);
        Frames += T.size();
    }
    std::printf("64 threads paused, walked and named  %9.3f ms   (%zu frames)\n",
                Ms(Clock::now() - Start), Frames);
    Stop = true;
    for (auto& T : Threads)
        T.join();
    return 0;
}
