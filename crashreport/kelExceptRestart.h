// Restarting and closing the program after an exception.
//
// A restart is handed to the helper program, which outlives the program:
//   1. the program asks over the link (RestartRequest, with its last
//      exception times) and waits for the helper's RestartReady;
//   2. the helper reads what starting the program again needs from /proc
//      (its executable, arguments, current folder and environment), takes a
//      pidfd of it, writes the exception times to a file of its own (mode
//      0600, in the crash reporter's runtime folder) and answers;
//   3. the program ends: at once with exit code 2, or, when it can go on,
//      through its own orderly end (it sends itself SIGTERM, which the
//      program turns into a normal exit that keeps its options);
//   4. the helper waits until the process has ended (30 s, then SIGKILL),
//      and only then starts the program again in the same folder, with the
//      same arguments and environment plus TOLVEX_CRASH_RESTARTED (the old
//      process id) and TOLVEX_CRASH_TIMES (the file of the times). Since the
//      old instance is gone, the new one passes the single-instance check.
// Nothing is shared through a named object other processes could open: the
// hand-over is the environment and a file only this user can read.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class TExceptLink;

inline constexpr const char* RestartedVariable = "TOLVEX_CRASH_RESTARTED";
inline constexpr const char* RestartTimesVariable = "TOLVEX_CRASH_TIMES";
// How long the helper waits for the old process before it kills it.
inline constexpr std::chrono::seconds RestartExitWait{30};

// --- The program's side -----------------------------------------------------------

// Asks the helper to start the program again and ends the program (with
// Terminate: _exit(2); else SIGTERM to itself, and the call returns true
// while the orderly end runs). The caller is the link's one reader: frames
// other than the answer are dropped. False, and the program goes on, when
// the helper did not agree within Timeout.
bool RestartProgram(TExceptLink& Link, const std::vector<std::int64_t>& ExceptionTimes,
                    bool Terminate,
                    std::chrono::milliseconds Timeout = std::chrono::milliseconds(10000));

// Ends the program at once with ExitCode.
[[noreturn]] void CloseProgram(int ExitCode = 1);

// In a program started again by a restart: the old process id and its
// exception times (the file is read and removed, the two variables cleared,
// so that the program's own children do not inherit them). None in a
// program started otherwise.
struct TRestartTakeOver {
    pid_t OldPid = 0;
    std::vector<std::int64_t> ExceptionTimes;
};
std::optional<TRestartTakeOver> TakeOverRestart();

// --- The helper's side ------------------------------------------------------------

// What starting a process again needs, read from /proc while it runs.
struct TProgramImage {
    pid_t Pid = 0;
    int PidFd = -1; // to wait for its end, whatever reuses its id later
    std::string Executable;
    std::vector<std::string> Arguments; // Arguments[0] the name it ran under
    std::string Folder;
    std::vector<std::string> Environment;

    TProgramImage() = default;
    TProgramImage(TProgramImage&& Other) noexcept;
    TProgramImage& operator=(TProgramImage&& Other) noexcept;
    ~TProgramImage();
};
std::optional<TProgramImage> CaptureProgram(pid_t Pid);

// Writes the exception times to a new 0600 file of the runtime folder; its
// name, or empty.
std::string WriteRestartTimes(const std::vector<std::int64_t>& Times);

// Waits until the process has ended (after ExitWait it is killed), then
// starts it again with the two variables; the new process id, or -1.
pid_t RelaunchAfterExit(TProgramImage& Image, const std::string& TimesFile,
                        std::chrono::milliseconds ExitWait = RestartExitWait);
