// The central entry of the crash capture: the exception record, the handler
// thread that every report passes through, and the fatal-signal handler.
//
// Whatever the capture catches (a C++ exception escaping an event handler, a
// thread or a noexcept function; a fatal signal; a frozen main thread) ends as
// one fixed 256-byte record (TExceptionRecord). The thread that met the
// problem claims a slot of a static array, writes the record into it and, with
// one write(), into a pipe; the handler thread ("kelExcept - HandleException-
// Thread") reads the records one at a time, hands each to HandleException-
// Record and puts the verdict (continue, close, restart) into the slot. The
// raising thread waits on the slot meanwhile, its stack intact, so that the
// report can walk it:
//   - the main thread, after a C++ exception, serves the crash library's
//     main-thread port while it waits (the freeze watchdog's probes and the
//     handlers' synchronized calls go on); after a signal it only waits;
//   - every other thread, and a main thread whose stack overflowed, only waits.
// A signal never continues: close ends the process with _exit(1) (with
// "WindowsLogo" set: the default action of the signal, for the system's core
// handling), restart with _exit(2).
//
// Later stages build on this:
//   - HandleExceptionRecord is replaceable (SetHandleExceptionRecord). Tests
//     install one that writes what arrived to a file; the full handling (the
//     exception object, the report, the box, the automatic actions) replaces
//     the default one, which only says on stderr what happened.
//   - The record keeps everything the report needs while the raising thread
//     waits: the signal's ucontext_t and siginfo_t, the thrown C++ object, the
//     throw site and its return addresses (TRaiseInfo, recorded when the
//     exception was thrown, since by report time its stack is unwound), and
//     the chain of inner exceptions (an exception thrown while another was
//     being handled).
//   - RecordClassName / RecordMessage / RecordInnerExceptions give the class,
//     message and inner exceptions of a record; LastExceptionTimes the times
//     of the last ten reports (carried over a restart).
//
// Every function says in its first comment line where it runs (signal
// handler, handler thread, any thread) and so what it may call.
#pragma once

#include "crashlib/kelTypes.h"

#include <array>
#include <atomic>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>
#include <sys/types.h>
#include <typeinfo>
#include <ucontext.h>
#include <vector>

// The silent-abort class: an exception of this class (or derived from it)
// ends what it interrupts and is never reported.
class ESilentAbort : public KelException {
public:
    using KelException::KelException;
    ~ESilentAbort() override;
    [[noreturn]] void Raise() const override;
};

// What a record reports.
enum : uint32_t {
    ekException = 0,    // an exception or a fatal signal
    ekFreeze = 1,       // the main thread stopped answering
    ekNotification = 2, // handlers are told, nothing else
};

// Who reported it.
enum : uint32_t {
    esFreeze = 1,       // the freeze watchdog
    esMainCatch = 3,    // main()'s catch: the program could not start or run on
    esEventHandler = 5, // an exception escaped an event handler (QApplication::notify)
    esTerminate = 11,   // std::terminate: the program cannot go on
    esThreadExit = 13,  // an exception escaped a thread's routine; the thread ends
    esSignal = 20,      // a fatal signal
};

// Record flags.
enum : uint32_t {
    rfStackOverflow = 0x1, // the fault lies within a page of the thread's stack limit
    rfMainThread = 0x2,    // raised on the main thread
};

// What happens after a report.
enum TVerdict : uint32_t {
    vdNone = 0,     // not decided yet
    vdContinue = 1, // the program goes on (a C++ exception that allows it)
    vdClose = 2,    // the program ends: _exit(1)
    vdRestart = 3,  // the program ends to be started again: _exit(2)
};

// The throw of a C++ exception, recorded per thread when it is thrown.
struct TRaiseInfo {
    const void* Object = nullptr;         // the thrown object
    const std::type_info* Type = nullptr; // its type
    uintptr_t ThrowSite = 0;              // the return address of the throw
    uint32_t FrameCount = 0;              // return addresses in Frames
    std::array<uintptr_t, 64> Frames{};   // innermost first, ThrowSite first
};

// An exception that was being handled when another one was thrown; the
// chain runs from the newest inner exception to the oldest.
struct TInnerException {
    std::string ClassName;
    std::string Message;
    TInnerException* Next = nullptr;
};

// The record every report is (256 bytes: it goes through the pipe with one
// atomic write). Pointers point into the raising thread, which waits until the
// record has been handled.
struct TExceptionRecord {
    uint64_t Slot = 0;     // slot number + 1; 0 in the record that stops the handler thread
    uint32_t ThreadId = 0; // the raising thread (for a freeze: the main thread)
    uint32_t Kind = ekException;
    uint64_t Object = 0;  // const std::exception_ptr* of a C++ exception, else 0
    uint64_t Address = 0; // where it happened (fault: the instruction; C++: the throw site)
    uint32_t CanContinue = 0;
    uint32_t Source = 0;
    uint64_t StackPointer = 0;
    uint64_t FramePointer = 0;
    uint64_t Context = 0; // const ucontext_t* of a signal or a freeze, else 0
    siginfo_t SigInfo{};  // si_signo 0 when no signal
    uint64_t CallerValue1 = 0;
    uint64_t CallerValue2 = 0;
    uint64_t CallerValue3 = 0;
    uint64_t Text = 0; // char* buffer for the report text, or 0
    uint64_t TextLength = 0;
    uint64_t InnerChain = 0; // const TInnerException*: head of the inner exceptions
    uint64_t RaiseInfo = 0;  // const TRaiseInfo* when the object is the recorded throw
    uint32_t Flags = 0;
    uint32_t Reserved = 0;
};
static_assert(sizeof(TExceptionRecord) == 256);
static_assert(offsetof(TExceptionRecord, SigInfo) == 64);
static_assert(offsetof(TExceptionRecord, RaiseInfo) == 240);

// A report as its caller gives it.
struct TReport {
    uint32_t Kind = ekException;
    const std::exception_ptr* Object = nullptr;
    uintptr_t Address = 0; // 0: the throw site when Object is the recorded throw, else the caller
    uint32_t Source = 0;
    bool CanContinue = true;
    const ucontext_t* Context = nullptr;
    pid_t ThreadId = 0;                           // 0: the calling thread
    uintptr_t StackPointer = 0, FramePointer = 0; // 0: the caller's
    uintptr_t CallerValue1 = 0, CallerValue2 = 0, CallerValue3 = 0;
    char* Text = nullptr;
    std::size_t TextLength = 0;
};

// Any thread but the handler thread and a signal handler. The central entry:
// packs the report into a record, has it handled and waits for the verdict
// (see the top of this file for how each thread waits). Answers vdNone
// without a report on the handler thread itself and while capture is off.
TVerdict ReportException(const TReport& Report);

// Any thread, inside a catch block. Reports the exception being handled: an
// ESilentAbort is dropped (vdContinue, or vdClose when it cannot continue);
// otherwise ReportException with the thread's recorded throw when it is this
// exception. Answers the verdict.
TVerdict ReportCurrentException(uint32_t Source, bool CanContinue);

// Any thread. Ends the process as a verdict says when it does not let the
// program go on: vdClose _exit(1), vdRestart _exit(2); vdContinue when
// CanContinue is false counts as vdClose. Returns for vdContinue (and vdNone).
void ApplyVerdict(TVerdict Verdict, bool CanContinue);

// The handling of a record. Runs on the handler thread (or, before it runs
// and once the process exits, on the raising thread without windows).
using THandleExceptionRecordProc = TVerdict (*)(const TExceptionRecord& Record);
// Any thread. Replaces the handling; null restores the default (one line on
// stderr, then continue when the record allows it, else close).
void SetHandleExceptionRecord(THandleExceptionRecordProc Proc);
// Any thread. The handling installed; null while the default one runs.
THandleExceptionRecordProc InstalledHandleExceptionRecord();
// Handler thread. Runs the installed handling.
TVerdict HandleExceptionRecord(const TExceptionRecord& Record);

// Main thread, at start. Creates the pipe and the main thread's wake
// descriptor and starts the handler thread; false (with errno set and nothing
// left behind) when one of them cannot be made.
bool StartHandlerThread();
// Any thread but the handler thread. Stops it with the zero record and waits
// for it up to 500 ms; from then on records are handled on the raising thread.
void StopHandlerThread();
// Any thread, also a signal handler. The handler thread's id; 0 when it
// does not run.
pid_t HandlerThreadId();

// Main thread, at start and at the end. Starts a thread that takes what the
// crash library's walks need at crash time, and waits for it to end.
bool StartCrashTimePreparation();
void WaitForCrashTimePreparation();

// Main thread, at start (the getters: any thread, also a signal handler).
// Whether reports are taken at all, and the thread that counts as the main
// thread.
void SetCaptureActive(bool Active);
bool CaptureActive();
void SetMainThreadId(pid_t ThreadId);
pid_t MainThreadId();
// Any thread. "WindowsLogo" of the program's settings, kept for the signal
// handler.
void SetWindowsLogo(bool On);

// --- Waiting without locks ---------------------------------------------------------

// Any thread, also a signal handler. The calling thread's id.
pid_t CallingThreadId();
// Any thread, also a signal handler. Waits while Word holds Expected, at most
// LimitMs milliseconds (below 0: without limit); wakes every waiter of Word.
void FutexWait(std::atomic<uint32_t>& Word, uint32_t Expected, long LimitMs = -1);
void FutexWakeAll(std::atomic<uint32_t>& Word);

// --- Per-thread state -------------------------------------------------------------

// The capture's state of one thread (thread-local; its address never changes
// while the thread lives).
struct TThreadBlock {
    TRaiseInfo Raise;
    TInnerException* InnerChain = nullptr;
    // The bounds of the thread's own stack ([StackLow, StackHigh), 0: unknown).
    uintptr_t StackLow = 0;
    uintptr_t StackHigh = 0;
    // Set while the thread is inside the fatal-signal handler.
    volatile sig_atomic_t InSignal = 0;
};
// Any thread, also a signal handler.
TThreadBlock& CurrentThreadBlock();
// Any thread. Forgets the thread's recorded throw and frees its inner chain.
void ClearThreadException();
// Any thread. The calling thread's bounds as pthread_getattr_np gives them,
// stored in its block (not in a signal handler: it may read /proc).
void RecordStackBounds();

// --- Fatal signals ------------------------------------------------------------------

// Any thread, also a signal handler. The signals that end in a report: SIGSEGV, SIGBUS, SIGFPE,
// SIGILL, SIGABRT, SIGTRAP and SIGSYS.
const std::array<int, 7>& FatalSignals();
// Main thread, at start. Installs the fatal-signal handler for them
// (SA_SIGINFO | SA_ONSTACK); false when one cannot be installed.
bool InstallFatalSignalHandlers();
// Any thread. Blocks the fatal signals in the calling thread: the library's
// own threads never take a process-directed one (kill -SEGV), and a fault of
// their own then ends the process as the signal's default action would.
void BlockFatalSignals();
// Any thread: SIGABRT after a reported std::terminate is not reported again.
void MarkTerminateReported();
// Any thread but a signal handler. The name of a signal: "SIGSEGV" and so on ("signal 42" for
// others).
std::string SignalName(int Signal);

// --- Last words -----------------------------------------------------------------------
// At a fatal signal the handler first writes the signal, the registers and
// up to 4 KiB of the raw stack, as one LastWords frame (crashreport/
// kelExceptLink.h), to a descriptor of its own: the helper has something to
// show even when the handler thread never finishes the report.

// Any thread. The descriptor last words go to (-1: none); it is the
// capture's from then on (closed when replaced).
void SetLastWordsDescriptor(int Fd);
// Any thread, also a signal handler. Composes the frame (length, type and
// fields, as on the wire) into Out, which holds LastWordsCapacity bytes;
// answers its length.
inline constexpr std::size_t LastWordsCapacity = 4 + 2 + 4 * 4 + 8 + 18 * 8 + 8 + 4 + 4096;
std::size_t ComposeLastWords(char* Out, int Signal, const siginfo_t& Info, const ucontext_t& Uc);

// --- Reading a record ---------------------------------------------------------------

// Handler thread (the raising thread still waits). The class of what a record
// reports: the signal's name for a signal, "EFrozen" for a freeze, the
// demangled type of a C++ exception, "Unknown" without an object.
std::string RecordClassName(const TExceptionRecord& Record);
// Handler thread. The message: what() of a std::exception, the signal's
// description ("Access violation at address $..., accessing $..."), empty
// otherwise.
std::string RecordMessage(const TExceptionRecord& Record);
// Handler thread. The inner exceptions, newest first.
std::vector<TInnerException> RecordInnerExceptions(const TExceptionRecord& Record);

// --- Exception times and the reserve --------------------------------------------------

// Any thread. Remembers now as the time of a report (the last ten are kept,
// newest first, in milliseconds since 1970).
void RememberExceptionTime();
std::array<int64_t, 10> LastExceptionTimes();
void SetLastExceptionTimes(const std::array<int64_t, 10>& Times);

// Main thread, at start; handler thread around every report. A block of 8 MiB
// of address space held back, so that a report still finds memory when the
// process ran out of it: released when a report begins, taken again after.
bool RestoreReserve();
void ReleaseReserve();
