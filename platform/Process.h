// Running another program and waiting for it.
//
// The program gets an argv, never a command line for a shell, so no text a
// user typed can become a second command or an option. Its stdin is
// /dev/null; stdout and stderr are captured. A secret (a password) is handed
// over through one extra pipe whose descriptor number is put into a variable
// of the child's environment: it never shows in the child's argv or
// environment, which other users can read under /proc. No other descriptor
// of the caller reaches the program. The child leads its
// own process group; when the time limit passes or the caller cancels, the
// whole group is killed, and the child is always reaped before RunProcess
// returns.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace platform {

struct TProcessRequest {
    // A path, or a name looked up in PATH.
    std::string Program;
    // argv[1...]; argv[0] is Program.
    std::vector<std::string> Arguments;
    // Inherited variables that the child must not see.
    std::vector<std::string> RemoveEnvironment;
    // Variables set for the child, replacing inherited ones.
    std::vector<std::pair<std::string, std::string>> SetEnvironment;
    // Written to a pipe whose read end the child inherits; its number goes
    // into ExtraInputVariable. Small texts only (up to a pipe's buffer).
    std::optional<std::string> ExtraInput;
    std::string ExtraInputVariable;
    std::chrono::milliseconds TimeLimit{std::chrono::seconds(60)};
    // Set from any thread to kill the child early.
    const std::atomic<bool>* Cancel = nullptr;
    // Called in the waiting thread once the program is running (after exec).
    // When it raises, the child is killed and reaped and the exception passes on.
    std::function<void(pid_t)> OnStarted;
};

struct TProcessResult {
    // False when the program could not be started; Error says why.
    bool Started = false;
    std::string Error;
    pid_t Pid = 0;
    // Exit status when it exited, else -1.
    int ExitCode = -1;
    // The terminating signal, else 0.
    int Signal = 0;
    bool TimedOut = false;
    bool Cancelled = false;
    std::string Output;
    std::string ErrorOutput;

    bool Succeeded() const { return Started && ExitCode == 0; }
};

// How much of each stream is kept; the rest is read and dropped.
inline constexpr size_t MaxCapturedBytes = 1 << 20;

// Runs the program and waits for it; never raises for the program's own
// failures, only for std::bad_alloc and the like.
TProcessResult RunProcess(const TProcessRequest& Request);

// Overwrites every byte Text holds (its whole buffer, not only its length)
// and empties it, so that a secret does not stay behind in freed memory.
// The buffer is kept; the next text put in it reuses it.
void WipeSecret(std::string& Text);

// Overwrites the 64 KiB of this thread's stack below the caller's frame.
// Copying a secret leaves it in vector registers, and code that ran below
// the caller may have saved those onto the stack (the dynamic linker's first
// call of a library function saves them all, and so does a signal's frame);
// a caller that handled a secret calls this once the calls are done.
void WipeStack();

// --- Starting a program without waiting for it ------------------------------------

struct TSpawnRequest {
    // A path (a relative one is taken from Directory when that is given, as
    // exec sees it after changing there), or a name without "/" looked up in
    // PATH.
    std::string Program;
    // argv[1...]; argv[0] is Program.
    std::vector<std::string> Arguments;
    // The child's working folder; empty: the caller's.
    std::string Directory;
};

// Which step failed.
enum class TSpawnFailure { None, Program, Directory, System };

// How a started program ended, as the thread that waits for it found out.
// ExitCode and Signal are valid once Ended reads true.
struct TChildExit {
    std::atomic<bool> Ended{false};
    int ExitCode = -1; // its exit status when it exited, else -1
    int Signal = 0;    // the signal that ended it, else 0
};

struct TSpawnResult {
    bool Started = false;
    TSpawnFailure Failure = TSpawnFailure::None;
    // errno of the failed step and its text.
    int ErrorCode = 0;
    std::string Error;
    pid_t Pid = 0;
    // Set when Started: how the program ended, once it has.
    std::shared_ptr<const TChildExit> Exit;
};

// Starts the program and returns at once (posix_spawn with an argv, no
// shell). The child leads a session of its own (setsid: no terminal, and
// nothing it does reaches the caller's process group), its stdin is
// /dev/null, its stdout and stderr are the caller's (/dev/null where the
// caller has none), it inherits no other descriptor, every signal has its
// default action and none is blocked; it starts in Directory. A failure to
// start (working folder missing or no folder, program missing or not
// executable) comes back in the result, never as a child that exits 127.
// A thread of its own waits for the child, so no zombie is left whenever it
// ends. Never raises but for std::bad_alloc and the like.
TSpawnResult SpawnDetached(const TSpawnRequest& Request);

} // namespace platform
