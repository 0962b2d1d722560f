#include "platform/Sockets.h"

#include "platform/Thread.h"

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

Socket& Socket::operator=(Socket&& other) noexcept
{
    if (this != &other)
        reset(other.release());
    return *this;
}

Socket::~Socket()
{
    reset();
}

int Socket::release()
{
    int fd = fd_;
    fd_ = -1;
    return fd;
}

void Socket::reset(int fd)
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = fd;
}

bool SetNonBlocking(int fd, bool on)
{
    int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0)
        return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(fd, F_SETFL, flags) == 0;
}

int PendingError(int fd)
{
    int err = 0;
    socklen_t len = sizeof err;
    if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0)
        return errno ? errno : EINVAL;
    return err;
}

long long MonotonicMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

WaitResult WaitFor(int fd, short events, int timeoutMs, short* revents)
{
    if (timeoutMs < 0)
        timeoutMs = 0;
    const long long deadline = MonotonicMs() + timeoutMs;
    const int stop = CurrentThreadStopFd();
    for (;;) {
        pollfd p[2] = {{fd, events, 0}, {stop, POLLIN, 0}};
        long long left = deadline - MonotonicMs();
        if (left < 0)
            left = 0;
        int n = ::poll(p, stop >= 0 ? 2 : 1, static_cast<int>(left));
        if (n > 0 && p[1].revents != 0)
            return WaitResult::Stopped;
        if (n > 0) {
            if (revents)
                *revents = p[0].revents;
            return WaitResult::Ready;
        }
        if (n == 0)
            return WaitResult::Timeout;
        if (errno != EINTR)
            return WaitResult::Error;
    }
}

} // namespace platform
