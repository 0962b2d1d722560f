// Running another program and waiting for it.
//
// The program gets an argv, never a command line for a shell, so no text a
// user typed can become a second command or an option. Its stdin is
// /dev/null; stdout and stderr are captured. A secret (a password) is handed
// over through one extra pipe whose descriptor number is put into a variable
// of the child's environment: it never shows in the child's argv or
// environment, which other users can read under /proc. The child leads its
// own process group; when the time limit passes or the caller cancels, the
// whole group is killed, and the child is always reaped before RunProcess
// returns.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
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

} // namespace platform
