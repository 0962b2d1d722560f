// Trace requests: another process of the same user asks this one for its
// current bug report (every thread's stack, no exception) and gets it back.
//
// The trace thread ("kelExcept - TraceProcessThread") serves a Unix socket,
// "trace-<pid>.sock" in the crash reporter's runtime folder (a folder of the
// user's own, closed to everyone else). The socket file has mode 0600, and a
// client is answered only when the kernel says (SO_PEERCRED) that it runs as
// the same user as this process; any other connection is closed unanswered.
//
// A request is the buffer size the client has room for: 4 bytes, a
// little-endian unsigned number. The answer is the trace report cut to
// size - 1 bytes (never inside a UTF-8 sequence), then one zero byte; then
// the connection is closed. Size 0 asks for nothing and gets nothing.
// Requests are served one at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/types.h>

// The largest answer a request gets (16 MiB).
inline constexpr std::uint32_t MaxTraceAnswer = 16u << 20;

// The socket of process Pid in Folder.
std::string TraceSocketPath(const std::string& Folder, pid_t Pid);

// The trace report of this process as a request of that size receives it:
// cut to Size - 1 bytes and a zero byte; empty for size 0.
std::string TraceProcessAnswer(std::uint32_t Size);

// Starts the trace thread on the socket in Folder (the runtime folder); false
// (with nothing left behind) when the socket or the thread cannot be made, or
// the thread runs already.
bool StartTraceProcessThread(const std::string& Folder);
// Stops the trace thread (waiting for a request being served) and removes
// the socket file.
void StopTraceProcessThread();
