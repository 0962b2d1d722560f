// What the crash capture costs the program when nothing goes wrong: a C++
// throw caught two frames up, with the throw recorded (type, site, return
// addresses) and without; a thread started and joined through the capture's
// pthread_create (creation stack, own-module test, alternate signal stack,
// thread-table entry) and through the system's alone. Rounds alternate between
// the two ways, and the medians are compared. Prints figures.
#include "crashreport/kelExceptInit.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <pthread.h>
#include <stdexcept>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Micro(Clock::duration D)
{
    return std::chrono::duration<double, std::micro>(D).count();
}

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

// Microseconds per throw over Count throws.
double ThrowRound(int Count)
{
    int Caught = 0;
    const auto Start = Clock::now();
    for (int I = 0; I < Count; ++I)
        Caught += BenchCatch(I);
    const double Each = Micro(Clock::now() - Start) / Count;
    return Caught == Count ? Each : -1;
}

void* Nothing(void*)
{
    return nullptr;
}

// Microseconds per start and join over Count threads.
double ThreadRound(int Count, bool Captured)
{
    const auto Start = Clock::now();
    for (int I = 0; I < Count; ++I) {
        pthread_t Thread;
        const int Rc = Captured ? pthread_create(&Thread, nullptr, Nothing, nullptr)
                                : CreateLibraryThread(&Thread, Nothing, nullptr);
        if (Rc != 0)
            return -1;
        pthread_join(Thread, nullptr);
    }
    return Micro(Clock::now() - Start) / Count;
}

} // namespace

int main()
{
    constexpr int Rounds = 9;
    std::vector<double> Plain, Recorded, System, Wrapped;
    SetThreadCapture(true);
    ThrowRound(2000);
    ThreadRound(200, true);
    for (int R = 0; R < Rounds; ++R) {
        SetRaiseCapture(false);
        Plain.push_back(ThrowRound(100000));
        SetRaiseCapture(true);
        Recorded.push_back(ThrowRound(100000));
        System.push_back(ThreadRound(2000, false));
        Wrapped.push_back(ThreadRound(2000, true));
    }
    SetRaiseCapture(false);
    SetThreadCapture(false);
    const double P = Median(Plain), Rec = Median(Recorded);
    const double S = Median(System), W = Median(Wrapped);
    std::printf("crash capture, medians of %d alternating rounds\n", Rounds);
    std::printf("%-44s %10s %10s %7s %6s\n", "", "without", "with", "ratio", "goal");
    std::printf("%-44s %8.3f us %8.3f us %6.2fx %5s\n", "throw caught two frames up (recorded)", P,
                Rec, Rec / P, "<= 3x");
    std::printf("%-44s %8.2f us %8.2f us %6.2fx %5s\n",
                "thread start and join (through the capture)", S, W, W / S, "<= 1.5x");
    return 0;
}
