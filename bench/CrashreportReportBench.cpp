// The complete bug report of a process of 64 threads (header, every thread's
// section, the modules, processes and hardware), beside eu-stack -p of the
// same process in the same run. Prints figures; the aim is 1 s at most.
#include "crashreport/kelExceptObject.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration D)
{
    return std::chrono::duration<double, std::milli>(D).count();
}

std::atomic<bool> Stop{false};
std::atomic<int> Sink{0};

// Threads wait at different depths, so that the walks are not all alike.
extern "C" __attribute__((noinline)) void bench_report_wait(int Depth)
{
    if (Depth > 0) {
        bench_report_wait(Depth - 1);
        Sink++;
        return;
    }
    while (!Stop.load())
        usleep(2000);
}

// The complete report of this process (a trace: every thread, no exception).
double ReportMs(std::size_t& Length, int& Sections)
{
    const auto Start = Clock::now();
    TExceptionFacts Facts;
    Facts.NoExceptionThread = true;
    Facts.Trace = true;
    auto E = NewExceptionObject(Facts);
    const std::string Text = E->GetBugReport(true, -1);
    const double Took = Ms(Clock::now() - Start);
    Length = Text.size();
    Sections = E->GetSections()->ItemCount();
    return Took;
}

// eu-stack -p of this process, output thrown away; -1 when it failed.
double EuStackMs()
{
    const std::string Command = "eu-stack -p " + std::to_string(getpid()) + " >/dev/null 2>&1";
    const auto Start = Clock::now();
    const int Rc = std::system(Command.c_str());
    const double Took = Ms(Clock::now() - Start);
    return WIFEXITED(Rc) && WEXITSTATUS(Rc) == 0 ? Took : -1;
}

double Median(std::vector<double> V)
{
    std::sort(V.begin(), V.end());
    return V.empty() ? 0 : V[V.size() / 2];
}

} // namespace

int main()
{
    std::vector<std::thread> Threads;
    for (int I = 0; I < 63; ++I)
        Threads.emplace_back([I] { bench_report_wait(I % 8); });
    // With the main thread, 64.
    usleep(100000);

    // Each plugin on its own, first of all: what of the first report's time
    // is theirs.
    for (const auto& P : RegisteredBugReportPlugins()) {
        const auto Start = Clock::now();
        const std::size_t Bytes = RunBugReportPlugin(P).value_or(std::string()).size();
        std::printf("plugin %-12s first               %9.1f ms   (%zu bytes)\n", P.Name.c_str(),
                    Ms(Clock::now() - Start), Bytes);
    }
    std::size_t Length = 0;
    int Sections = 0;
    const double Cold = ReportMs(Length, Sections);
    std::printf("complete report, first (names read)  %9.1f ms   (%zu bytes, %d sections)\n", Cold,
                Length, Sections);
    std::vector<double> Ours, Theirs;
    for (int Round = 0; Round < 5; ++Round) {
        Ours.push_back(ReportMs(Length, Sections));
        Theirs.push_back(EuStackMs());
    }
    std::printf("complete report, median of 5         %9.1f ms\n", Median(Ours));
    if (Median(Theirs) < 0)
        std::printf("eu-stack -p                          failed (not installed, or no ptrace)\n");
    else
        std::printf("eu-stack -p, median of 5             %9.1f ms\n", Median(Theirs));
    std::printf("report / eu-stack                    %9.2f\n",
                Median(Theirs) > 0 ? Median(Ours) / Median(Theirs) : 0.0);

    Stop = true;
    for (auto& T : Threads)
        T.join();
    return 0;
}
