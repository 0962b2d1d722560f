// Files of /proc about a program a test started. A spawn returns, and a
// started program is reported, while the kernel may still be inside the
// program's execve: its command line and environment appear a moment later.
// A test that reads them waits until they are there.
#pragma once

#include <chrono>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>

#include <sys/types.h>

inline std::string ReadProcFile(pid_t Pid, const std::string& Name)
{
    std::ifstream In("/proc/" + std::to_string(Pid) + "/" + Name, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

// The file once it holds something; empty when it still held nothing after
// Limit (the process has ended, or never got that far).
inline std::string
ReadPublishedProcFile(pid_t Pid, const std::string& Name,
                      std::chrono::milliseconds Limit = std::chrono::milliseconds(10000))
{
    const auto End = std::chrono::steady_clock::now() + Limit;
    for (;;) {
        std::string Text = ReadProcFile(Pid, Name);
        if (!Text.empty() || std::chrono::steady_clock::now() >= End)
            return Text;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
