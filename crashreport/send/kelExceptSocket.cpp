#include "crashreport/send/kelExceptSocket.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

TSocket& TSocket::operator=(TSocket&& Other) noexcept
{
    if (this != &Other) {
        Close();
        Fd = Other.Fd;
        Other.Fd = -1;
    }
    return *this;
}

void TSocket::Close()
{
    if (Fd >= 0)
        ::close(Fd);
    Fd = -1;
}

TSocket TSocket::Open(int Family, int Type, std::string& Error)
{
    const int Fd = ::socket(Family, Type | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (Fd < 0)
        Error = ErrnoText(errno);
    return TSocket(Fd);
}

std::string ErrnoText(int Error)
{
    char Buffer[256];
    // The GNU form: it answers a pointer that may or may not be Buffer.
    return ::strerror_r(Error, Buffer, sizeof Buffer);
}

int WaitFor(int Fd, short Events, std::chrono::milliseconds Wait)
{
    using Clock = std::chrono::steady_clock;
    const auto Deadline = Clock::now() + Wait;
    for (;;) {
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        pollfd P{Fd, Events, 0};
        const int R = ::poll(&P, 1, static_cast<int>(std::max<long long>(Left.count(), 0)));
        if (R >= 0)
            return R > 0 ? 1 : 0;
        if (errno != EINTR)
            return -1;
    }
}

bool ConnectWithin(const TSocket& Socket, const sockaddr* Address, socklen_t Length,
                   std::chrono::milliseconds Wait, std::string& Error)
{
    if (::connect(Socket.Get(), Address, Length) == 0)
        return true;
    if (errno != EINPROGRESS && errno != EINTR) {
        Error = ErrnoText(errno);
        return false;
    }
    const int R = WaitFor(Socket.Get(), POLLOUT, Wait);
    if (R <= 0) {
        Error = R == 0 ? "timed out" : ErrnoText(errno);
        return false;
    }
    int SoError = 0;
    socklen_t Size = sizeof SoError;
    if (::getsockopt(Socket.Get(), SOL_SOCKET, SO_ERROR, &SoError, &Size) != 0)
        SoError = errno;
    if (SoError != 0) {
        Error = ErrnoText(SoError);
        return false;
    }
    return true;
}

bool SendAll(const TSocket& Socket, const void* Data, std::size_t Size,
             std::chrono::milliseconds Wait, std::string& Error)
{
    const char* P = static_cast<const char*>(Data);
    while (Size > 0) {
        const ssize_t N = ::send(Socket.Get(), P, Size, MSG_NOSIGNAL);
        if (N > 0) {
            P += N;
            Size -= static_cast<std::size_t>(N);
            continue;
        }
        if (N < 0 && errno == EINTR)
            continue;
        if (N < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            Error = ErrnoText(errno);
            return false;
        }
        const int R = WaitFor(Socket.Get(), POLLOUT, Wait);
        if (R <= 0) {
            Error = R == 0 ? "timed out" : ErrnoText(errno);
            return false;
        }
    }
    return true;
}
