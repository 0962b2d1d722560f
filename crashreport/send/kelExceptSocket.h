// Sockets for the crash reporter's own network clients (DNS and SMTP): every
// socket is non-blocking, and every wait is bounded by poll.
#pragma once

#include <chrono>
#include <string>
#include <sys/socket.h>

class TSocket {
public:
    TSocket() = default;
    explicit TSocket(int AFd) : Fd(AFd) {}
    ~TSocket() { Close(); }
    TSocket(TSocket&& Other) noexcept : Fd(Other.Fd) { Other.Fd = -1; }
    TSocket& operator=(TSocket&& Other) noexcept;
    TSocket(const TSocket&) = delete;
    TSocket& operator=(const TSocket&) = delete;

    int Get() const { return Fd; }
    bool Valid() const { return Fd >= 0; }
    void Close();

    // A non-blocking, close-on-exec socket.
    static TSocket Open(int Family, int Type, std::string& Error);

private:
    int Fd = -1;
};

// The text of an errno value.
std::string ErrnoText(int Error);

// Waits until the descriptor is ready for Events (POLLIN, POLLOUT) or Wait has
// passed: 1 ready (or in error, which the next call reports), 0 time over,
// -1 poll failed. EINTR is retried with the time left.
int WaitFor(int Fd, short Events, std::chrono::milliseconds Wait);

// Connects the non-blocking socket, waiting at most Wait; false with Error
// ("timed out" or the system's text) when it did not connect.
bool ConnectWithin(const TSocket& Socket, const sockaddr* Address, socklen_t Length,
                   std::chrono::milliseconds Wait, std::string& Error);

// Sends all bytes, each wait for room bounded by Wait; false with Error.
bool SendAll(const TSocket& Socket, const void* Data, std::size_t Size,
             std::chrono::milliseconds Wait, std::string& Error);
