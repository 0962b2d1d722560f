// A program whose bug reports the tests compare with the system's own tools.
// One scenario per run, named by the first argument; the report goes to
// standard output as the crash reporter makes it.
//
//   report-now [ARG...]  a report of a caught std::runtime_error, at once
//   threads N            starts N threads that wait at known depths (their
//                        creation entered in a thread table of the probe's
//                        own) and one thread the table calls the crash
//                        reporter's, prints "ready", then serves standard
//                        input: "report" prints the trace report (every
//                        thread), "report-event" the report of an event of
//                        the main thread, each followed by a line "--end--";
//                        end of input ends the program
//   throw-site           a report of a std::logic_error whose throw site was
//                        recorded; prints "site <hex>" (the recorded return
//                        address) first
//   fault                writes through a bad pointer; its SIGSEGV handler
//                        prints "reg <name> <hex>" for the registers of its
//                        ucontext, then the report made from them
#include "crashlib/kelStrings.h"
#include "crashreport/kelExceptObject.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <ucontext.h>
#include <unistd.h>
#include <unwind.h>
#include <vector>

namespace {

int WaitPipe[2] = {-1, -1};

// What the probe's thread table knows; the report asks through its query.
std::mutex TableLock;
std::map<pid_t, TReportThreadInfo> Table;

void PrintReport(TExceptionFacts Facts)
{
    const std::string Text = NewExceptionObject(std::move(Facts))->GetBugReport(true, -1);
    std::fwrite(Text.data(), 1, Text.size(), stdout);
    std::fflush(stdout);
}

} // namespace

// Every routine keeps its own frame, with a name the tests look for.
extern "C" {

__attribute__((noinline)) void probe_block()
{
    char C;
    while (read(WaitPipe[0], &C, 1) < 0 && errno == EINTR) {
    }
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void probe_thread_inner()
{
    probe_block();
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void probe_thread_middle()
{
    probe_thread_inner();
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void probe_thread_outer(int Index)
{
    // Two shapes of stack: every other thread skips the middle routine.
    if (Index % 2 == 0)
        probe_thread_middle();
    else
        probe_thread_inner();
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) _Unwind_Reason_Code probe_record_frame(_Unwind_Context* Context,
                                                                 void* Arg)
{
    static_cast<std::vector<std::uintptr_t>*>(Arg)->push_back(_Unwind_GetIP(Context));
    return _URC_NO_REASON;
}

// The return addresses of the caller's chain, its own return address first.
__attribute__((noinline)) std::vector<std::uintptr_t> probe_record_chain()
{
    std::vector<std::uintptr_t> Chain;
    _Unwind_Backtrace(probe_record_frame, &Chain);
    if (!Chain.empty())
        Chain.erase(Chain.begin()); // this routine's own frame
    return Chain;
}

// Starts a waiting thread and enters in the table who started it and where.
__attribute__((noinline)) std::thread probe_start_worker(int Index)
{
    TReportThreadInfo Info;
    Info.CreatingThreadId = static_cast<pid_t>(gettid());
    Info.CreationStack = probe_record_chain();
    std::promise<pid_t> Started;
    auto Id = Started.get_future();
    std::thread T([&Started, Index] {
        Started.set_value(static_cast<pid_t>(gettid()));
        probe_thread_outer(Index);
    });
    const pid_t Tid = Id.get();
    std::lock_guard G(TableLock);
    Table[Tid] = std::move(Info);
    return T;
}

std::vector<std::uintptr_t> ThrowChain;

__attribute__((noinline)) void probe_throw_site()
{
    ThrowChain = probe_record_chain();
    throw std::logic_error("thrown at the site");
}

__attribute__((noinline)) void probe_fault(volatile int* Where)
{
    *Where = 0x5a;
    asm volatile("" ::: "memory");
}

} // extern "C"

namespace {

void FaultHandler(int, siginfo_t*, void* Raw)
{
    const auto& Uc = *static_cast<ucontext_t*>(Raw);
    const auto& G = Uc.uc_mcontext.gregs;
    const std::pair<const char*, int> Regs[] = {
        {"rax", REG_RAX}, {"rbx", REG_RBX}, {"rcx", REG_RCX},   {"rdx", REG_RDX}, {"rsi", REG_RSI},
        {"rdi", REG_RDI}, {"rbp", REG_RBP}, {"rsp", REG_RSP},   {"r8", REG_R8},   {"r9", REG_R9},
        {"r10", REG_R10}, {"r11", REG_R11}, {"r12", REG_R12},   {"r13", REG_R13}, {"r14", REG_R14},
        {"r15", REG_R15}, {"rip", REG_RIP}, {"eflags", REG_EFL}};
    for (const auto& [Name, Index] : Regs)
        std::printf("reg %s %llx\n", Name, static_cast<unsigned long long>(G[Index]));
    std::fflush(stdout);

    // The probe reports in the handler itself: the fault is a plain store,
    // so no lock of the C library is held.
    TExceptionFacts Facts;
    Facts.ClassChain = {"SIGSEGV", "EExternal"};
    Facts.Message = "Access violation";
    Facts.Address = static_cast<std::uintptr_t>(G[REG_RIP]);
    Facts.Registers = RegistersFromUcontext(Uc);
    Facts.CanContinue = false;
    PrintReport(std::move(Facts));
    _exit(0);
}

std::vector<pid_t> TaskIds()
{
    std::vector<pid_t> Ids;
    if (DIR* D = opendir("/proc/self/task")) {
        while (const dirent* E = readdir(D))
            if (const int Id = std::atoi(E->d_name); Id > 0)
                Ids.push_back(Id);
        closedir(D);
    }
    return Ids;
}

bool QueryTable(pid_t Tid, TReportThreadInfo& Info)
{
    std::lock_guard G(TableLock);
    const auto It = Table.find(Tid);
    if (It == Table.end())
        return false;
    Info = It->second;
    return true;
}

// A report of the waiting process: a trace, or an event of the main thread.
void ReportWaiting(bool Trace)
{
    TExceptionFacts Facts;
    if (Trace) {
        Facts.NoExceptionThread = true;
        Facts.Trace = true;
    } else {
        Facts.ClassChain = {"EProbe"};
        Facts.Message = "an event of the main thread";
    }
    PrintReport(std::move(Facts));
    std::printf("\n--end--\n");
    std::fflush(stdout);
}

int Threads(int Count)
{
    if (pipe(WaitPipe) != 0)
        return 2;
    SetThreadInfoQuery(QueryTable);
    std::vector<std::thread> All;
    for (int I = 0; I < Count; ++I)
        All.push_back(probe_start_worker(I));
    // One thread that the table calls one of the crash reporter's own.
    All.emplace_back([] {
        {
            std::lock_guard G(TableLock);
            auto& Info = Table[static_cast<pid_t>(gettid())];
            Info.Library = true;
            Info.DisplayName = "kelExcept - ProbeThread ($" + CardToHexA(gettid()) + ")";
        }
        probe_thread_inner();
    });
    // Every thread is in its read (system call 0) before the tests look.
    for (int Blocked = 0; Blocked < Count + 1; usleep(1000)) {
        Blocked = 0;
        for (const pid_t Tid : TaskIds()) {
            char Path[64];
            std::snprintf(Path, sizeof Path, "/proc/self/task/%d/syscall", static_cast<int>(Tid));
            const std::string Call = ReadSmallFile(Path);
            Blocked += Tid != getpid() && Call.rfind("0 ", 0) == 0;
        }
    }
    std::printf("ready\n");
    std::fflush(stdout);
    for (std::string Line; std::getline(std::cin, Line);)
        if (Line == "report" || Line == "report-event")
            ReportWaiting(Line == "report");
    close(WaitPipe[1]);
    for (auto& T : All)
        T.join();
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::string Mode = argc > 1 ? argv[1] : "";
    if (Mode == "report-now") {
        try {
            throw std::runtime_error("report now");
        } catch (...) {
            TExceptionFacts Facts;
            Facts.Object = std::current_exception();
            PrintReport(std::move(Facts));
        }
        return 0;
    }
    if (Mode == "threads" && argc > 2)
        return Threads(std::atoi(argv[2]));
    if (Mode == "throw-site") {
        try {
            probe_throw_site();
        } catch (...) {
            std::printf("site %llx\n", static_cast<unsigned long long>(
                                           ThrowChain.empty() ? 0 : ThrowChain.front()));
            TExceptionFacts Facts;
            Facts.Object = std::current_exception();
            Facts.ThrowChain = ThrowChain;
            if (!ThrowChain.empty())
                Facts.Address = ThrowChain.front();
            PrintReport(std::move(Facts));
        }
        return 0;
    }
    if (Mode == "fault") {
        struct sigaction Sa {};
        Sa.sa_sigaction = FaultHandler;
        Sa.sa_flags = SA_SIGINFO;
        sigaction(SIGSEGV, &Sa, nullptr);
        probe_fault(reinterpret_cast<volatile int*>(16));
        return 3;
    }
    std::fprintf(stderr, "usage: crashreport_report_probe report-now|threads N|throw-site|fault\n");
    return 2;
}
