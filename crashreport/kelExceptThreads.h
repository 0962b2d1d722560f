// The thread table: the name, the creator and the creation stack of every
// thread the crash capture has seen start.
//
// Every thread started through pthread_create while crash reporting is on
// enters itself here (see kelExceptInit: the capture's pthread_create records
// the creating thread, the creating code address and the creation stack); a
// platform::TThread is named after its class; the library's own threads carry
// the fixed names below. The bug report reads the table for its thread
// sections ("thread $1a2b (TThrdSearchComputers)", ">> created by ... at:" with
// the creation stack) and the thread pausing for which threads are the
// program's own.
//
// The table is guarded by a std::timed_mutex: a reader that does not get it
// within 50 ms (a crashed thread may hold it) gets the plain "thread $<id>"
// answer or nothing, and never waits longer. Nothing here may be called from a
// signal handler.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

// The names of the crash reporter's own threads; GetThreadName answers an
// empty name for them unless they are asked for.
inline constexpr std::string_view HandlerThreadName = "kelExcept - HandleExceptionThread";
inline constexpr std::string_view FreezeThreadName = "kelExcept - AntiFreezeThread";
inline constexpr std::string_view TraceThreadName = "kelExcept - TraceProcessThread";
// A thread named "-" is hidden like them.
inline constexpr std::string_view HiddenThreadName = "-";

// How many return addresses of a creation stack are kept.
inline constexpr std::size_t MaxCreationFrames = 32;

struct TThreadEntry {
    pid_t ThreadId = 0;
    std::string Name;        // empty: unnamed
    std::string CreatorText; // for a platform::TThread its class, else empty
    pid_t CreatingThreadId = 0;
    uintptr_t CreatingAddress = 0; // the return address of the pthread_create call
    // Return addresses of the creating thread at the moment of creation,
    // innermost first (the first one is CreatingAddress's frame).
    std::vector<uintptr_t> CreationStack;
    // A frame of the creation stack lies in a module that carries the crash
    // library's map data (section .rsrc.KEL.EXCEPT): the program's own thread,
    // which pausing may park. Threads of other libraries' own making are not.
    bool Own = false;
};

// Any thread. Adds the thread's entry or replaces it; with an empty name, no
// creator text and no creating address it only removes the entry. Each call
// also drops the first entry whose thread has ended. False when the table's
// lock was not got within 50 ms.
bool SetThreadInfo(pid_t ThreadId, std::string_view Name, uintptr_t CreatingAddress,
                   pid_t CreatingThreadId, std::string_view CreatorText);
// Any thread. Adds a complete entry (the capture's thread start), replacing an
// earlier one of the same id.
bool AddThreadEntry(TThreadEntry Entry);
// Any thread. Forgets a thread (it is ending).
void RemoveThreadEntry(pid_t ThreadId);
// Any thread. Names a thread: its entry (made when missing) and the kernel's
// name of the thread (its first 15 bytes; what ps, gdb and eu-stack show).
bool SetThreadName(pid_t ThreadId, std::string_view Name);
// Any thread. Sets the creator text of a thread's entry (made when missing).
bool SetThreadCreatorText(pid_t ThreadId, std::string_view CreatorText);

// Any thread. The display name of a thread: "<name> ($<hex id>)" for a named
// thread, "thread $<hex id>" for an unnamed one, followed by " (<creator
// text>)" when it has one. The library's own threads (and threads named "-")
// answer an empty text unless IncludeLibraryThreads. When the table's lock is
// not got within 50 ms: "thread $<hex id>". The creating thread and code
// address are given out when asked for (0 when unknown).
std::string GetThreadName(pid_t ThreadId, bool IncludeLibraryThreads,
                          pid_t* CreatingThreadId = nullptr, uintptr_t* CreatingAddress = nullptr);

// Any thread. A copy of a thread's entry; none when it has none (or the lock
// was not got within 50 ms).
std::optional<TThreadEntry> GetThreadEntry(pid_t ThreadId);
// Any thread. A copy of every entry, in the order they were added; empty when
// the lock was not got within 50 ms.
std::vector<TThreadEntry> ListThreadEntries();

// Any thread. Whether a name belongs to the crash reporter's own threads (or
// is "-").
bool IsLibraryThreadName(std::string_view Name);

// Any thread but a signal handler. Whether one of the return addresses lies in
// a module whose file carries the section .rsrc.KEL.EXCEPT (answers per module
// are kept, so that later calls read no file).
bool IsOwnCreationStack(const uintptr_t* Frames, std::size_t Count);
