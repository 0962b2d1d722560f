// What the crash capture costs the program when nothing goes wrong: a C++
// throw caught two frames up, with the throw recorded (type, site, return
// addresses) and without; a thread started and joined through the capture's
// pthread_create (creation stack, own-module test, alternate signal stack,
// thread-table entry) and through the system's alone. The two ways take turns
// (rounds of throws, single threads), and the medians are compared: wall
// time, and the process's CPU time (into which a loaded machine's waits for a
// processor do not count). Prints figures.
#include "crashreport/kelExceptInit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <pthread.h>
#include <stdexcept>
#include <time.h>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Micro(Clock::duration D)
{
    return std::chrono::duration<double, std::micro>(D).count();
}

// The CPU time of all the process's threads, in microseconds.
double CpuMicro()
{
    timespec T{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &T);
    return static_cast<double>(T.tv_sec) * 1e6 + static_cast<double>(T.tv_nsec) / 1e3;
}

struct TTimes {
    double Wall, Cpu; // microseconds per item
};

double Median(std::vector<double> V)
{
    std::sort(V.begin(), V.end());
    return V[V.size() / 2];
}

extern "C" __attribute__((noinline)) void BenchThrow(int I)
{
    if (I >= 0)
        throw std::runtime_error("bench");
}

extern "C" __attribute__((noinline)) void BenchMiddle(int I)
{
    BenchThrow(I);
    asm volatile("");
}

extern "C" __attribute__((noinline)) int BenchCatch(int I)
{
    try {
        BenchMiddle(I);
    } catch (const std::exception&) {
        return 1;
    }
    return 0;
}

// Per throw over Count throws.
TTimes ThrowRound(int Count)
{
    int Caught = 0;
    const auto Start = Clock::now();
    const double Cpu = CpuMicro();
    for (int I = 0; I < Count; ++I)
        Caught += BenchCatch(I);
    const TTimes Each{Micro(Clock::now() - Start) / Count, (CpuMicro() - Cpu) / Count};
    return Caught == Count ? Each : TTimes{-1, -1};
}

void* Nothing(void*)
{
    return nullptr;
}

// Starts and joins of threads, the two ways taking turns one thread at a
// time, so that both meet the same load; one sample per thread.
void ThreadSamples(int Count, std::vector<TTimes>& System, std::vector<TTimes>& Captured)
{
    for (int I = 0; I < 2 * Count; ++I) {
        const bool Capture = I % 2 == 1;
        const auto Start = Clock::now();
        const double Cpu = CpuMicro();
        pthread_t Thread;
        const int Rc = Capture ? pthread_create(&Thread, nullptr, Nothing, nullptr)
                               : CreateLibraryThread(&Thread, Nothing, nullptr);
        if (Rc != 0)
            continue;
        pthread_join(Thread, nullptr);
        (Capture ? Captured : System).push_back({Micro(Clock::now() - Start), CpuMicro() - Cpu});
    }
}

double Median(const std::vector<TTimes>& V, double TTimes::*Field)
{
    std::vector<double> X;
    for (const TTimes& T : V)
        X.push_back(T.*Field);
    return Median(X);
}

void Row(const char* What, const std::vector<TTimes>& Without, const std::vector<TTimes>& With,
         const char* Goal)
{
    for (const auto& [Name, Field] :
         {std::pair{"wall", &TTimes::Wall}, std::pair{"cpu", &TTimes::Cpu}}) {
        const double A = Median(Without, Field), B = Median(With, Field);
        std::printf("%-40s %-4s %9.3f us %9.3f us %6.2fx %7s\n", What, Name, A, B, B / A, Goal);
    }
}

} // namespace

int main()
{
    constexpr int Rounds = 9;
    std::vector<TTimes> Plain, Recorded, System, Wrapped;
    SetThreadCapture(true);
    ThrowRound(2000);
    ThreadSamples(200, System, Wrapped);
    System.clear();
    Wrapped.clear();
    for (int R = 0; R < Rounds; ++R) {
        SetRaiseCapture(false);
        Plain.push_back(ThrowRound(100000));
        SetRaiseCapture(true);
        Recorded.push_back(ThrowRound(100000));
    }
    ThreadSamples(20000, System, Wrapped);
    SetRaiseCapture(false);
    SetThreadCapture(false);
    std::printf("crash capture: throws, medians of %d alternating rounds of 100000; "
                "threads, medians of %zu starts each way, taking turns\n",
                Rounds, Wrapped.size());
    std::printf("%-45s %12s %12s %7s %7s\n", "", "without", "with", "ratio", "goal");
    Row("throw caught two frames up (recorded)", Plain, Recorded, "<= 3x");
    Row("thread start and join (the capture's)", System, Wrapped, "<= 1.5x");
    return 0;
}
