// A 32-bit program, built with -O2 and without frame pointers, that crashes
// inside a qsort callback below a known chain. A watcher thread, woken by the
// crash handler (which only copies the context), walks the crashed thread
// and prints the trace in its columns, then "end".
#include "crashlib/kelStackTrace.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <signal.h>
#include <sys/syscall.h>
#include <thread>
#include <unistd.h>

namespace {

TThreadContext CrashContext;
int WakePipe[2];

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

void Watch()
{
    char Byte = 0;
    while (read(WakePipe[0], &Byte, 1) != 1) {
    }
    TStackTrace Trace;
    std::string Text;
    CalcStackTrace(&CrashContext, swRelAddresses | swText, nullptr, nullptr, Trace, &Text);
    std::printf("%s\nend\n", Text.c_str());
    std::fflush(stdout);
    _exit(0);
}

} // namespace

extern "C" {

volatile int c32_sink = 0;

__attribute__((noinline)) int c32_compare(const void* A, const void* B)
{
    // An address in the never-mapped first page, not null: the program
    // also runs in sanitizer builds, where a store through null is
    // reported (and stopped at) before it faults.
    volatile uintptr_t Bad = 16;
    if (c32_sink >= 0)
        *reinterpret_cast<volatile int*>(Bad) = 1;
    return *static_cast<const int*>(A) - *static_cast<const int*>(B);
}

__attribute__((noinline, noipa)) int c32_inner(int X)
{
    int Values[4] = {X, 3, 1, 2};
    qsort(Values, 4, sizeof(int), c32_compare);
    c32_sink = Values[0];
    return Values[1];
}

int (*volatile c32_pointer)(int) = c32_inner;

__attribute__((noinline, noipa)) int c32_via_pointer(int X)
{
    const int R = c32_pointer(X + 1);
    c32_sink = R;
    return R + 1;
}

__attribute__((noinline, noipa)) int c32_recurse(int Depth)
{
    const int R = Depth == 0 ? c32_via_pointer(Depth) : c32_recurse(Depth - 1);
    c32_sink = R;
    return R + Depth;
}

__attribute__((noinline, noipa)) int c32_level1(int X)
{
    const int R = c32_recurse(X);
    c32_sink = R;
    return R + 1;
}
}

int main()
{
    if (pipe(WakePipe) != 0)
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
    std::thread(Watch).detach();
    return c32_level1(20);
}
