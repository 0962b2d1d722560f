// Routines of the crash program built without frame pointers and with
// sibling calls: the walk must get through them without a frame chain.
#include "tests/crashlib/stackwalk/CrashProgram.h"

extern "C" {

volatile int cp_nofp_sink = 0;

// Tail-calls cp_tail_target: its own frame is gone when the target runs.
__attribute__((noinline, noipa)) int cp_tail_mid(int X)
{
    return cp_tail_target(X + cp_nofp_sink);
}

__attribute__((noinline, noipa)) int cp_tail_caller(int X)
{
    const int R = cp_tail_mid(X + 1);
    cp_nofp_sink = R;
    return R + 1;
}

__attribute__((noinline, noipa)) int cp_nofp_inner(int X)
{
    volatile int Local[8] = {X, X + 1};
    const int R = cp_tail_caller(Local[0] + Local[1]);
    cp_nofp_sink = R;
    return R + 2;
}

__attribute__((noinline, noipa)) int cp_nofp_outer(int X)
{
    const int R = cp_nofp_inner(X * 2);
    cp_nofp_sink = R;
    return R + 3;
}
}
