// Freeze detection and thread pausing.
//
// The freeze watchdog ("kelExcept - AntiFreezeThread") posts a probe message to
// the main thread's crash-library port in rounds of "FreezeTimeout" x 100 ms;
// the main thread's event loop drains the port, and the probe's handler
// answers through an eventfd that the watchdog polls. Ten rounds without an
// answer ("FreezeTimeout" seconds) make a freeze report (kind ekFreeze, source
// esFreeze, class "EFrozen") with the main thread's registers at that moment
// (crashlib's TPausedThread); rounds then grow by half each time, so a thread
// that stays frozen is reported again at growing intervals. An answer resets
// the count and the round. While any report is being handled the watchdog
// waits (SetHandlingException), so a report never causes a freeze report.
//
// Pausing parks the program's own threads while a report is taken: each
// listed thread gets a real-time signal of its own (ParkSignal; crashlib keeps
// SIGRTMIN+7 for TPausedThread) whose handler, on the thread's alternate
// stack, stores the thread's registers, acknowledges and waits on a gate until
// the threads are resumed. Listed are the threads of the thread table whose
// creation stack runs through a module that carries the crash library's map
// data (TThreadEntry::Own), except the calling thread, the main thread (its
// event loop keeps serving the report's synchronized calls), the excluded
// thread and the library's own threads. A thread that does not acknowledge
// within 200 ms (it blocks the signal, or is stuck in the kernel) counts as
// "<not paused>". The report takes a parked thread's registers from
// GetParkedContext: crashlib's TPausedThread must never be sent to a parked
// thread.
#pragma once

#include <cstdint>
#include <sys/types.h>
#include <ucontext.h>
#include <vector>

// --- Freeze watchdog ------------------------------------------------------------

// Main thread (it registers the probe's handler on its own port). Starts the
// watchdog once; FreezeTimeoutSeconds below 1 counts as 1. False when it
// cannot start (no descriptors, no thread).
bool StartFreezeWatchdog(int FreezeTimeoutSeconds);
// Any thread but the watchdog. Stops it (up to 500 ms).
void StopFreezeWatchdog();
// Any thread. The watchdog's thread id; 0 when it does not run.
pid_t FreezeWatchdogThreadId();
// Any thread (ignored on the watchdog itself). True when a report begins,
// false when it is over; the watchdog waits while any report is being
// handled, and counts its misses anew afterwards.
void SetHandlingException(bool Handling);
// Any thread. Reports so far that the watchdog made.
uint32_t FreezeReportCount();

// --- Pausing -------------------------------------------------------------------------

// Any thread, also a signal handler. The real-time signal that parks a thread.
int ParkSignal();

// Whether and how a listed thread was parked.
struct TParkedThread {
    pid_t ThreadId = 0;
    bool Parked = false; // false: "<not paused>" (it did not acknowledge in 200 ms)
    gregset_t Registers{};
};

// Any thread but a signal handler (the handler thread during a report).
// Pause: parks the listed threads (see the top of this file) and waits for
// their acknowledgements, 200 ms at most. Resume: opens the gate, so every
// parked thread goes on. A second pause without a resume is ignored.
void PauseThreads(bool Pause, pid_t ExcludedThread);
// Any thread. The threads of the current pause (empty when none).
std::vector<TParkedThread> ParkedThreads();
// Any thread. The registers a parked thread stored; false when it is not
// parked now.
bool GetParkedContext(pid_t ThreadId, gregset_t& Registers);
