// The routines of the crash program whose chains the stack walk tests know.
#pragma once

extern "C" {
int cp_nofp_outer(int X);
int cp_tail_caller(int X);
int cp_tail_target(int X);
}
