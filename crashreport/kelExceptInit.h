// Start-up and end of the crash capture, and the two definitions through which
// it sees every thread start and every C++ throw of the process.
//
// The program calls InitializeLibrary once, as the first statement of main().
// It reads the program's settings section; without one, or with "Enabled"
// false, the capture stays dormant: nothing is installed, no thread started,
// and the two definitions below only forward. Enabled, it
//   - takes over from a crashed predecessor that restarted this program
//     (TOLVEX_CRASH_RESTARTED / TOLVEX_CRASH_TIMES, below), and removes the
//     temporary folders of instances that have ended;
//   - holds back an 8 MiB reserve, starts the handler thread, gives the main
//     thread an alternate signal stack, installs the fatal-signal handler and
//     std::set_terminate, and starts the freeze watchdog when "CheckFreeze";
//   - answers hooks (plain routines) that main() hands on: to
//     platform::SetThreadHooks (a TThread's class and what escapes its
//     Execute), to its QApplication's notify() (what escapes an event handler)
//     and to its own catch (what escapes the start-up);
//   - when a part cannot be set up, stays dormant and says so in one line on
//     stderr; the program runs on without crash reports.
//
// The definitions (in this unit's object file, which the call of
// InitializeLibrary links in; the executable exports them, so that every
// library's calls reach them, and they forward to the next definition, which
// keeps sanitizer interceptors in the chain):
//   - pthread_create records the creating thread, the creating code address
//     and the creation stack, gives the new thread an alternate signal stack
//     (64 KiB below a guard page) and an entry in the thread table, and runs
//     its routine under catch (abi::__forced_unwind&) { throw; } catch (...) {
//     report, source esThreadExit }: the thread ends, the process lives;
//     pthread_cancel and pthread_exit pass through unreported.
//   - __cxa_throw records per thread the thrown type, the throw site and up to
//     64 return addresses (by report time the stack is unwound); an exception
//     thrown while another is being handled pushes the earlier one (class and
//     what()) onto the thread's chain of inner exceptions.
//
// Left out on this system: the leak checker (and its library), jumping to
// source in a development environment, work-item hooks, the debugger's
// thread-naming exception (a thread's name goes to the kernel instead),
// resetting the floating-point unit (no SIGFPE continues) and the reserves of
// address space beyond the one block.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <pthread.h>
#include <string>
#include <sys/types.h>

// The routines main() hands on; all null while the capture is dormant.
struct TCaptureHooks {
    // platform::TThread: first thing in the new thread, with the mangled name
    // of the thread object's class (the thread is named after the class).
    void (*ThreadStarted)(const char* TypeName) = nullptr;
    // platform::TThread::Run's catch: reports what escaped Execute (the thread
    // ends as before).
    void (*ThreadException)() = nullptr;
    // QApplication::notify's catch: reports what escaped an event handler; the
    // program goes on (the event counts as not handled).
    void (*EventException)() = nullptr;
    // main()'s catch: reports what ended the start-up or the event loop.
    void (*MainException)() = nullptr;
    // The program's main window (an X11 window id; 0 once it is gone), which
    // the exception box stands over.
    void (*MainWindow)(std::uint64_t Window) = nullptr;

    bool Enabled() const { return EventException != nullptr; }
};

// Main thread, first statement of main(). Only the outermost of nested calls
// works; later ones answer the same hooks.
TCaptureHooks InitializeLibrary();
// Main thread or the exit path (InitializeLibrary registers it with atexit).
// Stops the watchdog and the handler thread; reports that come later are
// handled on the raising thread.
void FinalizeLibrary();

// Any thread. Starts a thread of the crash reporter itself, through the
// system's pthread_create and not the capture's.
int CreateLibraryThread(pthread_t* Thread, void* (*Routine)(void*), void* Argument);

// Any thread. Waits up to Limit for a thread of the crash reporter to end;
// one that does not is detached and left to end on its own (false).
bool JoinLibraryThread(pthread_t Thread, std::chrono::milliseconds Limit);

// Any thread (tests and benchmarks). Switches the recording of throws and
// thread starts on or off (InitializeLibrary switches it on when enabled).
void SetRaiseCapture(bool On);
void SetThreadCapture(bool On);

// --- Restart take-over ------------------------------------------------------------

// A program restarted after a crash gets the old process's id in
// TOLVEX_CRASH_RESTARTED and the file of its last exception times in
// TOLVEX_CRASH_TIMES (ten little-endian 64-bit milliseconds since 1970, newest
// first, 0 for none; the file must be the user's own and readable by nobody
// else). InitializeLibrary waits until the old process has gone, 35 s at most,
// takes the times over, removes the file and both variables.
inline constexpr const char* RestartedEnv = "TOLVEX_CRASH_RESTARTED";
inline constexpr const char* RestartTimesEnv = "TOLVEX_CRASH_TIMES";
inline constexpr std::chrono::seconds RestartWaitLimit{35};

// Any thread. Waits until process Pid has ended or Limit has passed; true
// when it has ended (or never existed).
bool WaitForProcessEnd(pid_t Pid, std::chrono::milliseconds Limit);
// Any thread. The times of a times file; none when the file is missing, not a
// regular file of this user, readable by others or of another size.
bool ReadExceptionTimesFile(const std::string& FileName, std::array<int64_t, 10>& Times);
