// A library of its own threads for the crash capture's probe: its threads are
// started by a thread of the library (started as the library is loaded), so
// that their creation stacks hold no frame of the probe program. Such threads
// are reported like the program's own when an exception escapes them, but
// never paused.
#pragma once

#include <sys/types.h>

extern "C" {
// Starts a thread of the library whose routine throws std::runtime_error
// ("thrown in a foreign thread") and waits until it has ended.
void ForeignThrowInThread();
// Starts a thread of the library that waits until ForeignStopSpinner; answers
// its thread id.
pid_t ForeignStartSpinner();
void ForeignStopSpinner();
// The library's own starter thread (it began before crash reporting did, so
// the capture has no entry for it).
pid_t ForeignDispatcherThreadId();
}
