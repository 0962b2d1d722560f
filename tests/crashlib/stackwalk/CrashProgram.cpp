// A program that crashes with known call chains, for the stack walk tests.
// The first argument names the scenario (a probe per scenario):
//   chains     the main thread recurses 100 deep, calls through a pointer into
//              routines built without frame pointers, one of which is left by
//              a tail call, and crashes inside a qsort callback; a second
//              thread waits in a known chain
//   signal     a fault inside a signal handler that runs on the alternate
//              signal stack, the handler entered from a trap in the program
//   overflow   endless recursion overflows the main thread's stack
//   overflow-thread  the same in a thread with a small stack of its own
//   blocked    as chains, but the waiting thread blocks every signal
//   lock-<walk|debuginfo|mapcache|pause>  as chains, the crashing thread
//              holding that lock of the library; the watcher walks in
//              crash-time mode
//   heap       the heap is corrupted and the crash comes inside malloc, which
//              holds the heap's lock (run with MALLOC_ARENA_MAX=1, the one
//              lock is every thread's); the watcher walks by the crash-time
//              path and writes without the C library's buffered output
// A watcher thread, woken by the crash handler (which only copies the
// context), walks the threads and prints their frames:
//   thread crash|waiter
//   frame <source> <routine>      (innermost first; "???" when unnamed)
//   path crash-time               (when the crash-time path walked it)
//   checksum <hex>
//   ip <hex>
// With "--scan" the call frame information and the frame chain are left out,
// with "--fp" the call frame information only.
// Run under gdb, the program stops at the crash instead.
#include "tests/crashlib/stackwalk/CrashProgram.h"
#include "crashlib/kelStackTrace.h"
#include "crashlib/kelStrings.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <pthread.h>
#include <signal.h>
#include <string>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" volatile int cp_depth;

namespace {

TThreadContext CrashContext;
int WakePipe[2];
int WaiterPipe[2];
std::atomic<pid_t> WaiterTid{0};
uint32_t WalkFlags = 0;
bool HasWaiter = false;

bool HeapScenario = false;

void PrintTrace(const char* Name, const TThreadContext& Context)
{
    TStackTrace Trace;
    CalcStackTrace(&Context, WalkFlags, nullptr, nullptr, Trace);
    std::printf("thread %s\n", Name);
    bool CrashTime = false;
    for (const TStackItem& It : Trace) {
        std::string Routine = It.HasDebugInfo ? WideToUtf8(It.RoutineName) : "???";
        if (const size_t Paren = Routine.find('('); Paren != std::string::npos && Paren > 0)
            Routine.resize(Paren);
        std::printf("frame %s %s\n", FrameSourceName(It.Source), Routine.c_str());
        CrashTime = CrashTime || It.CrashTimePath;
    }
    if (CrashTime)
        std::printf("path crash-time\n");
    std::printf("checksum %08x\nip %llx\n", StackTraceChecksum(Trace),
                static_cast<unsigned long long>(Context.Ip()));
}

// Appends Text to Out (no heap: the C library's heap lock may be taken).
void Append(char* Out, size_t& Used, size_t Size, const char* Text)
{
    while (*Text != '\0' && Used + 1 < Size)
        Out[Used++] = *Text++;
}

// The crash-time trace, written with write() alone.
void WriteCrashTimeTrace()
{
    static TCrashTrace Trace;
    CalcCrashTimeTrace(CrashContext, WalkFlags, Trace);
    static char Out[65536];
    size_t Used = 0;
    Append(Out, Used, sizeof(Out), "thread crash\n");
    for (size_t I = 0; I < Trace.Count; I++) {
        const TCrashFrame& F = Trace.Frames[I];
        Append(Out, Used, sizeof(Out), "frame ");
        Append(Out, Used, sizeof(Out), FrameSourceName(F.Source));
        Append(Out, Used, sizeof(Out), " ");
        Append(Out, Used, sizeof(Out), F.HasName ? F.Routine : "???");
        Append(Out, Used, sizeof(Out), "\n");
    }
    Append(Out, Used, sizeof(Out), "path crash-time\ntext\n");
    static char Text[32768];
    const size_t Length = CrashTraceToText(Trace, Text, sizeof(Text));
    if (write(1, Out, Used) < 0 || write(1, Text, Length) < 0 || write(1, "\n", 1) < 0)
        _exit(4);
}

void* Watcher(void*)
{
    char Byte = 0;
    while (read(WakePipe[0], &Byte, 1) != 1) {
    }
    if (HeapScenario) {
        WriteCrashTimeTrace();
        _exit(0);
    }
    SetCrashTimeMode(true);
    PrintTrace("crash", CrashContext);
    if (cp_depth != 0)
        std::printf("depth %d\n", cp_depth);
    if (HasWaiter) {
        TPausedThread Paused;
        if (Paused.Pause(WaiterTid.load(), 300))
            PrintTrace("waiter", Paused.Context());
        else
            std::printf("thread waiter\nnot paused\n");
    }
    std::fflush(stdout);
    _exit(0);
}

void CrashHandler(int, siginfo_t*, void* Raw)
{
    ContextFromUcontext(*static_cast<const ucontext_t*>(Raw), CrashContext);
    CrashContext.ThreadId = static_cast<pid_t>(syscall(SYS_gettid));
    const char Byte = 1;
    if (write(WakePipe[1], &Byte, 1) == 1)
        for (;;)
            pause();
    _exit(3);
}

// Whether thread Tid sleeps in the kernel now.
bool Sleeping(pid_t Tid)
{
    std::ifstream Stat("/proc/self/task/" + std::to_string(Tid) + "/stat");
    std::string Text((std::istreambuf_iterator<char>(Stat)), std::istreambuf_iterator<char>());
    const size_t Close = Text.rfind(')');
    return Close != std::string::npos && Close + 2 < Text.size() && Text[Close + 2] == 'S';
}

void UseAlternateStack()
{
    static thread_local char AltStack[1 << 16];
    stack_t Ss{};
    Ss.ss_sp = AltStack;
    Ss.ss_size = sizeof(AltStack);
    sigaltstack(&Ss, nullptr);
}

void OnSignal(int Signal, void (*Handler)(int, siginfo_t*, void*))
{
    struct sigaction Sa {};
    Sa.sa_sigaction = Handler;
    Sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&Sa.sa_mask);
    sigaction(Signal, &Sa, nullptr);
}

} // namespace

extern "C" {

volatile int cp_sink = 0;
int (*volatile cp_pointer)(int) = cp_nofp_outer;
bool cp_block_signals = false;

__attribute__((noinline)) int cp_compare(const void* A, const void* B)
{
    // An address in the never-mapped first page, not null: the program
    // also runs in sanitizer builds, where a store through null is
    // reported (and stopped at) before it faults.
    volatile uintptr_t Bad = 16;
    if (cp_sink >= 0)
        *reinterpret_cast<volatile int*>(Bad) = 1;
    return *static_cast<const int*>(A) - *static_cast<const int*>(B);
}

__attribute__((noinline)) int cp_tail_target(int X)
{
    int Values[4] = {X, 3, 1, 2};
    qsort(Values, 4, sizeof(int), cp_compare);
    cp_sink = Values[0];
    return Values[1];
}

__attribute__((noinline)) int cp_call_pointer(int X)
{
    const int R = cp_pointer(X);
    cp_sink = R;
    return R + 1;
}

__attribute__((noinline)) int cp_recurse(int Depth)
{
    const int R = Depth == 0 ? cp_call_pointer(Depth) : cp_recurse(Depth - 1);
    cp_sink = R;
    return R + Depth;
}

__attribute__((noinline)) int cp_level1(int X)
{
    const int R = cp_recurse(X);
    cp_sink = R;
    return R;
}

__attribute__((noinline)) int cp_wait_inner(int X)
{
    char Byte = 0;
    const ssize_t Got = read(WaiterPipe[0], &Byte, 1);
    cp_sink = static_cast<int>(Got);
    return X + Byte;
}

__attribute__((noinline)) int cp_wait_outer(int X)
{
    const int R = cp_wait_inner(X + 1);
    cp_sink = R;
    return R;
}

__attribute__((noinline)) void* cp_thread_main(void*)
{
    if (cp_block_signals) {
        sigset_t All;
        sigfillset(&All);
        pthread_sigmask(SIG_BLOCK, &All, nullptr);
    }
    WaiterTid.store(static_cast<pid_t>(syscall(SYS_gettid)));
    cp_sink = cp_wait_outer(1);
    return nullptr;
}

// --- A fault inside a signal handler ---------------------------------------------------

__attribute__((noinline)) int cp_handler_work(int X)
{
    volatile uintptr_t Bad = 24;
    if (cp_sink >= 0)
        *reinterpret_cast<volatile int*>(Bad) = X;
    return X + 1;
}

__attribute__((noinline)) void cp_trap_handler(int, siginfo_t*, void*)
{
    cp_sink = cp_handler_work(cp_sink + 1);
}

__attribute__((noinline)) int cp_sig_inner(int X)
{
    cp_sink = X;
    if (cp_sink >= 0)
        __builtin_trap(); // the handler runs from here, on the alternate stack
    return X + 2;
}

__attribute__((noinline)) int cp_sig_outer(int X)
{
    const int R = cp_sig_inner(X + 1);
    cp_sink = R;
    return R;
}

// --- A crash inside the heap ------------------------------------------------------------

__attribute__((noinline)) void* cp_heap_crash(size_t Size)
{
    // A chunk too big for the thread's cache and the fast bins, freed twice:
    // the second free finds it corrupt with the heap's lock held and aborts
    // there. The second chunk keeps the first away from the heap's top.
    void* volatile Chunk = std::malloc(Size);
    void* Guard = std::malloc(Size);
    std::free(Chunk);
    std::free(Chunk);
    cp_sink = Guard != nullptr;
    return Guard;
}

__attribute__((noinline)) void* cp_heap_outer(size_t Size)
{
    void* P = cp_heap_crash(Size + 1);
    cp_sink = P != nullptr;
    return P;
}

// --- Stack overflows ---------------------------------------------------------------

volatile int cp_depth = 0;

__attribute__((noinline)) int cp_overflow(int Depth)
{
    cp_depth = Depth; // before the frame's first store, which faults
    volatile char Room[1024];
    Room[0] = static_cast<char>(Depth);
    // Endless as long as the sink stays positive, which it does.
    const int R = (cp_sink >= 0 ? cp_overflow(Depth + 1) : 0) + Room[0];
    cp_sink = R;
    return R;
}

__attribute__((noinline)) int cp_overflow_start(int X)
{
    const int R = cp_overflow(X);
    cp_sink = R;
    return R;
}

__attribute__((noinline)) void* cp_overflow_thread(void*)
{
    UseAlternateStack();
    cp_sink = cp_overflow_start(1);
    return nullptr;
}
}

int main(int Argc, char** Argv)
{
    std::string Scenario = "chains";
    for (int I = 1; I < Argc; I++) {
        if (std::strcmp(Argv[I], "--scan") == 0)
            WalkFlags = swNoCfi | swNoFramePointer;
        else if (std::strcmp(Argv[I], "--fp") == 0)
            WalkFlags = swNoCfi | swNoScan;
        else
            Scenario = Argv[I];
    }
    if (pipe(WakePipe) != 0 || pipe(WaiterPipe) != 0)
        return 2;
    UseAlternateStack();
    OnSignal(SIGSEGV, CrashHandler);
    OnSignal(SIGBUS, CrashHandler);
    pthread_t Watch;
    pthread_create(&Watch, nullptr, Watcher, nullptr);

    const bool Locked = Scenario.starts_with("lock-");
    if (Locked || Scenario == "heap")
        PrepareCrashTime();
    if (Scenario == "chains" || Scenario == "blocked" || Locked) {
        cp_block_signals = Scenario == "blocked";
        HasWaiter = true;
        pthread_t Waiter;
        pthread_create(&Waiter, nullptr, cp_thread_main, nullptr);
        while (WaiterTid.load() == 0 || !Sleeping(WaiterTid.load()))
            usleep(1000);
        if (Locked) {
            const std::string Which = Scenario.substr(5);
            const TLibraryLock Lock = Which == "walk"        ? TLibraryLock::Walk
                                      : Which == "debuginfo" ? TLibraryLock::DebugInfo
                                      : Which == "mapcache"  ? TLibraryLock::MapCache
                                                             : TLibraryLock::Pause;
            LibraryLock(Lock).lock(); // held through the crash
        }
        return cp_level1(100);
    }
    if (Scenario == "heap") {
        HeapScenario = true;
        OnSignal(SIGABRT, CrashHandler);
        return cp_heap_outer(2000) != nullptr;
    }
    if (Scenario == "signal") {
        OnSignal(SIGILL, cp_trap_handler);
        return cp_sig_outer(1);
    }
    if (Scenario == "overflow")
        return cp_overflow_start(1);
    if (Scenario == "overflow-thread") {
        pthread_attr_t Attr;
        pthread_attr_init(&Attr);
        pthread_attr_setstacksize(&Attr, 256 * 1024);
        pthread_t T;
        pthread_create(&T, &Attr, cp_overflow_thread, nullptr);
        pthread_join(T, nullptr);
        return 0;
    }
    std::fprintf(stderr, "unknown scenario %s\n", Scenario.c_str());
    return 2;
}
