// POSIX sockets in the shape the engine's probes need: an owning descriptor,
// non-blocking mode, and waiting that survives signals.
#pragma once

#include <chrono>

namespace platform {

// Owns one file descriptor and closes it exactly once.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    Socket(Socket&& other) noexcept : fd_(other.release()) {}
    Socket& operator=(Socket&& other) noexcept;
    ~Socket();

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release();
    void reset(int fd = -1);

private:
    int fd_ = -1;
};

// Switches O_NONBLOCK on or off; false when fcntl fails.
bool SetNonBlocking(int fd, bool on);

// Outcome of waiting on one descriptor.
enum class WaitResult { Ready, Timeout, Error, Stopped };

// Waits until fd reports one of `events` (POLLIN, POLLOUT...) or the time-out
// passes. An interrupted wait goes on with the time that is left, so a signal
// neither ends it early nor makes it longer. In a TThread the wait ends as
// Stopped once the thread is terminated (before it began, too): an ending
// thread does not sit out a time-out whose answer nobody takes any more.
WaitResult WaitFor(int fd, short events, int timeoutMs, short* revents = nullptr);

// The socket's pending error (SO_ERROR): 0 when a non-blocking connect has
// completed, the errno value that ended it otherwise.
int PendingError(int fd);

// Milliseconds of a monotonic clock, for measuring round trips.
long long MonotonicMs();

} // namespace platform
