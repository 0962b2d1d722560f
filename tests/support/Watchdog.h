// Calls that must never block (a named pipe or a device given as a file name)
// are tested under a watchdog: the call runs in a child process, and one that
// has not answered in time is killed, so that a hang fails its test instead of
// stopping the whole suite.
#pragma once

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

// What Fn returned, "threw: <what>" when it threw, or "hung" when it had not
// answered within Limit.
inline std::string AnswerWithin(std::chrono::milliseconds Limit,
                                const std::function<std::string()>& Fn)
{
    int Pipe[2];
    if (::pipe2(Pipe, O_CLOEXEC) != 0) {
        return "no pipe";
    }
    std::fflush(nullptr);
    const pid_t Child = ::fork();
    if (Child < 0) {
        ::close(Pipe[0]);
        ::close(Pipe[1]);
        return "no child";
    }
    if (Child == 0) {
        ::close(Pipe[0]);
        std::string Told;
        try {
            Told = Fn();
        } catch (const std::exception& E) {
            Told = std::string("threw: ") + E.what();
        }
        for (std::size_t Done = 0; Done < Told.size();) {
            const ssize_t N = ::write(Pipe[1], Told.data() + Done, Told.size() - Done);
            if (N < 0 && errno == EINTR) {
                continue;
            }
            if (N <= 0) {
                break;
            }
            Done += static_cast<std::size_t>(N);
        }
        ::_exit(0);
    }
    ::close(Pipe[1]);
    std::string Told;
    bool Hung = false;
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    for (;;) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        pollfd P{Pipe[0], POLLIN, 0};
        const int Ready = Left.count() > 0 ? ::poll(&P, 1, static_cast<int>(Left.count())) : 0;
        if (Ready < 0 && errno == EINTR) {
            continue;
        }
        if (Ready <= 0) {
            Hung = true;
            break;
        }
        char Buffer[512];
        const ssize_t N = ::read(Pipe[0], Buffer, sizeof Buffer);
        if (N < 0 && errno == EINTR) {
            continue;
        }
        if (N <= 0) {
            break;
        }
        Told.append(Buffer, static_cast<std::size_t>(N));
    }
    ::close(Pipe[0]);
    if (Hung) {
        ::kill(Child, SIGKILL);
    }
    while (::waitpid(Child, nullptr, 0) < 0 && errno == EINTR) {
    }
    return Hung ? "hung" : Told;
}

// For code that must not block on a named pipe but runs where it cannot be
// moved into a child process (a window): from Delay on, this opens Fifo for
// writing and closes it again every few milliseconds until it goes, so that a
// reader blocked on the pipe sees its end. A test then fails by its clock
// (the call took Delay or longer) instead of hanging.
class FifoReleaser {
public:
    FifoReleaser(std::string Fifo, std::chrono::milliseconds Delay)
        : Thread([this, Fifo = std::move(Fifo), Delay] {
              const auto From = std::chrono::steady_clock::now() + Delay;
              while (!Stop) {
                  if (std::chrono::steady_clock::now() >= From) {
                      const int Fd = ::open(Fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                      if (Fd >= 0) {
                          ::close(Fd);
                      }
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(20));
              }
          })
    {
    }
    ~FifoReleaser()
    {
        Stop = true;
        Thread.join();
    }
    FifoReleaser(const FifoReleaser&) = delete;
    FifoReleaser& operator=(const FifoReleaser&) = delete;

private:
    std::atomic<bool> Stop{false};
    std::thread Thread;
};
