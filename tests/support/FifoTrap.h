// A named pipe that nothing may open for reading: text that names it (an
// image of markup, a file to load) must be shown, not followed. A thread
// stands ready at the other end: when a reader waits in open(), it opens the
// pipe for writing, notes that, and closes it again, so that the reader gets
// an empty file and goes on. A fault then fails its test instead of hanging
// the whole suite.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

class TFifoTrap {
public:
    explicit TFifoTrap(std::string APath) : Path(std::move(APath))
    {
        Made = ::mkfifo(Path.c_str(), 0600) == 0;
        Watcher = std::thread([this] {
            while (!Stop) {
                // Opening for writing without blocking succeeds only while
                // someone has the pipe open for reading.
                const int Fd = ::open(Path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
                if (Fd >= 0) {
                    Read = true;
                    ::close(Fd);
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        });
    }
    ~TFifoTrap()
    {
        Stop = true;
        Watcher.join();
        ::unlink(Path.c_str());
    }
    TFifoTrap(const TFifoTrap&) = delete;
    TFifoTrap& operator=(const TFifoTrap&) = delete;

    // The pipe was made.
    bool Ready() const { return Made; }
    // Someone opened it for reading.
    bool Opened() const { return Read; }

    const std::string Path;

private:
    bool Made = false;
    std::atomic<bool> Read{false};
    std::atomic<bool> Stop{false};
    std::thread Watcher;
};
