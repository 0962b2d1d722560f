// A program that crashes with known call chains, for the stack walk tests.
//
// The main thread recurses 100 deep, calls through a pointer into routines
// built without frame pointers, one of which is left by a tail call, and
// crashes inside a qsort callback. A second thread waits in a known chain.
// A watcher thread, woken by the crash handler (which only copies the
// context), walks both threads and prints their frames:
//   thread crash|waiter
//   frame <source> <routine>      (innermost first; "???" when unnamed)
//   checksum <hex>
//   ip <hex>
// With "--scan" the call frame information and the frame chain are left out.
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

namespace {

TThreadContext CrashContext;
int WakePipe[2];
int WaiterPipe[2];
std::atomic<pid_t> WaiterTid{0};
uint32_t WalkFlags = 0;

void PrintTrace(const char* Name, const TThreadContext& Context)
{
    TStackTrace Trace;
    CalcStackTrace(&Context, WalkFlags, nullptr, nullptr, Trace);
    std::printf("thread %s\n", Name);
    for (const TStackItem& It : Trace) {
        std::string Routine = It.HasDebugInfo ? WideToUtf8(It.RoutineName) : "???";
        if (const size_t Paren = Routine.find('('); Paren != std::string::npos)
            Routine.resize(Paren);
        std::printf("frame %s %s\n", FrameSourceName(It.Source), Routine.c_str());
    }
    std::printf("checksum %08x\nip %llx\n", StackTraceChecksum(Trace),
                static_cast<unsigned long long>(Context.Ip()));
}

void* Watcher(void*)
{
    char Byte = 0;
    while (read(WakePipe[0], &Byte, 1) != 1) {
    }
    PrintTrace("crash", CrashContext);
    TPausedThread Paused;
    if (Paused.Pause(WaiterTid.load()))
        PrintTrace("waiter", Paused.Context());
    else
        std::printf("thread waiter\nnot paused\n");
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

} // namespace

extern "C" {

volatile int cp_sink = 0;
int (*volatile cp_pointer)(int) = cp_nofp_outer;

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
    WaiterTid.store(static_cast<pid_t>(syscall(SYS_gettid)));
    cp_sink = cp_wait_outer(1);
    return nullptr;
}
}

int main(int Argc, char** Argv)
{
    if (Argc > 1 && std::strcmp(Argv[1], "--scan") == 0)
        WalkFlags = swNoCfi | swNoFramePointer;
    if (pipe(WakePipe) != 0 || pipe(WaiterPipe) != 0)
        return 2;
    static char AltStack[1 << 16];
    stack_t Ss{};
    Ss.ss_sp = AltStack;
    Ss.ss_size = sizeof(AltStack);
    sigaltstack(&Ss, nullptr);
    struct sigaction Sa {};
    Sa.sa_sigaction = CrashHandler;
    Sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigaction(SIGSEGV, &Sa, nullptr);

    pthread_t Waiter, Watch;
    pthread_create(&Waiter, nullptr, cp_thread_main, nullptr);
    pthread_create(&Watch, nullptr, Watcher, nullptr);
    while (WaiterTid.load() == 0 || !Sleeping(WaiterTid.load()))
        usleep(1000);
    return cp_level1(100);
}
