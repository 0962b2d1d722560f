#include "crashreport/kelTraceProcess.h"

#include "crashreport/kelExceptObject.h"
#include "crashreport/kelExceptThreads.h"

#include <cerrno>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace {

// How long a client may take to send its request, and the longest wait for a
// report (a report not finished by then goes out with its placeholders).
constexpr int RequestTimeoutMs = 2000;
constexpr int ReportTimeoutMs = 60000;

struct TTraceServer {
    std::mutex Lock;
    std::thread Thread;
    int Listener = -1;
    int Stop = -1;
    std::string Path;
};
// Never destroyed: a process that ends without stopping the thread (a forked
// child running the exit handlers it inherited) must not meet a joinable
// std::thread on its way out.
TTraceServer& Server = *new TTraceServer;

// Reads exactly Size bytes, waiting at most TimeoutMs for each part.
bool ReadExactly(int Fd, void* Out, std::size_t Size, int TimeoutMs)
{
    auto* P = static_cast<char*>(Out);
    while (Size > 0) {
        pollfd Pfd{Fd, POLLIN, 0};
        const int Ready = poll(&Pfd, 1, TimeoutMs);
        if (Ready < 0 && errno == EINTR)
            continue;
        if (Ready <= 0)
            return false;
        const ssize_t N = recv(Fd, P, Size, 0);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            return false;
        P += N;
        Size -= static_cast<std::size_t>(N);
    }
    return true;
}

void WriteAll(int Fd, const std::string& Bytes)
{
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t N = send(Fd, Bytes.data() + Done, Bytes.size() - Done, MSG_NOSIGNAL);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            return;
        Done += static_cast<std::size_t>(N);
    }
}

// One connection: the same user only, then one request and its answer.
void Serve(int Fd)
{
    ucred Peer{};
    socklen_t Length = sizeof Peer;
    if (getsockopt(Fd, SOL_SOCKET, SO_PEERCRED, &Peer, &Length) != 0 || Length != sizeof Peer ||
        Peer.uid != geteuid())
        return;
    unsigned char Request[4];
    if (!ReadExactly(Fd, Request, sizeof Request, RequestTimeoutMs))
        return;
    const std::uint32_t Size =
        static_cast<std::uint32_t>(Request[0]) | static_cast<std::uint32_t>(Request[1]) << 8 |
        static_cast<std::uint32_t>(Request[2]) << 16 | static_cast<std::uint32_t>(Request[3]) << 24;
    WriteAll(Fd, TraceProcessAnswer(Size));
}

void Run(int Listener, int Stop)
{
    // Known as one of the crash reporter's own threads: ordinary reports
    // leave it out.
    SetThreadName(static_cast<pid_t>(gettid()), TraceThreadName);
    for (;;) {
        pollfd Fds[2] = {{Listener, POLLIN, 0}, {Stop, POLLIN, 0}};
        if (poll(Fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (Fds[1].revents != 0)
            return;
        const int Fd = accept4(Listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (Fd < 0)
            continue;
        Serve(Fd);
        close(Fd);
    }
}

} // namespace

std::string TraceSocketPath(const std::string& Folder, pid_t Pid)
{
    return Folder + "/trace-" + std::to_string(Pid) + ".sock";
}

std::string TraceProcessAnswer(std::uint32_t Size)
{
    if (Size == 0)
        return {};
    Size = std::min(Size, MaxTraceAnswer);
    TExceptionFacts Facts;
    Facts.NoExceptionThread = true;
    Facts.Trace = true;
    std::string Text = NewExceptionObject(Facts)->GetBugReport(true, ReportTimeoutMs);
    std::size_t Cut = std::min<std::size_t>(Text.size(), Size - 1);
    // Never end inside a UTF-8 sequence.
    while (Cut > 0 && Cut < Text.size() && (static_cast<unsigned char>(Text[Cut]) & 0xC0) == 0x80)
        --Cut;
    Text.resize(Cut);
    Text.push_back('\0');
    return Text;
}

bool StartTraceProcessThread(const std::string& Folder)
{
    std::lock_guard G(Server.Lock);
    if (Server.Thread.joinable() || Folder.empty())
        return false;
    const std::string Path = TraceSocketPath(Folder, getpid());
    sockaddr_un Address{};
    Address.sun_family = AF_UNIX;
    if (Path.size() >= sizeof Address.sun_path)
        return false;
    std::memcpy(Address.sun_path, Path.c_str(), Path.size() + 1);
    // A socket left by an earlier process of the same id goes.
    struct stat St {};
    if (lstat(Path.c_str(), &St) == 0 && S_ISSOCK(St.st_mode))
        unlink(Path.c_str());
    const int Listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (Listener < 0)
        return false;
    const int Stop = eventfd(0, EFD_CLOEXEC);
    if (Stop < 0 || bind(Listener, reinterpret_cast<sockaddr*>(&Address), sizeof Address) != 0) {
        close(Listener);
        if (Stop >= 0)
            close(Stop);
        return false;
    }
    if (chmod(Path.c_str(), 0600) != 0 || listen(Listener, 4) != 0) {
        unlink(Path.c_str());
        close(Listener);
        close(Stop);
        return false;
    }
    try {
        Server.Thread = std::thread(Run, Listener, Stop);
    } catch (...) {
        unlink(Path.c_str());
        close(Listener);
        close(Stop);
        return false;
    }
    Server.Listener = Listener;
    Server.Stop = Stop;
    Server.Path = Path;
    return true;
}

void StopTraceProcessThread()
{
    std::lock_guard G(Server.Lock);
    if (!Server.Thread.joinable())
        return;
    const std::uint64_t One = 1;
    if (write(Server.Stop, &One, sizeof One) != sizeof One) {
        // The thread still ends when its listener is shut down.
        shutdown(Server.Listener, SHUT_RDWR);
    }
    Server.Thread.join();
    unlink(Server.Path.c_str());
    close(Server.Listener);
    close(Server.Stop);
    Server.Listener = Server.Stop = -1;
    Server.Path.clear();
}
