// Real peers for the session message tests: a private dbus-daemon, the
// Python stand-ins for logind and the notification server on it, and
// pseudo-terminals whose master side reads what a user would see.
#pragma once

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace sessiontest {

// A child process that is killed and reaped when this goes.
class Child {
public:
    // Runs Argv; with ReadyLine, waits (up to 20 s) until the child's
    // standard output gives that line.
    Child(std::vector<std::string> Argv, const std::string& ReadyLine = "")
    {
        int Out[2];
        if (::pipe2(Out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        FPid = ::fork();
        if (FPid < 0)
            throw std::runtime_error("fork");
        if (FPid == 0) {
            ::dup2(Out[1], 1);
            std::vector<char*> A;
            for (auto& S : Argv)
                A.push_back(S.data());
            A.push_back(nullptr);
            ::execv(A[0], A.data());
            ::_exit(127);
        }
        ::close(Out[1]);
        FOut = Out[0];
        if (ReadyLine.empty())
            return;
        std::string Got;
        const auto Deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        // Ready when a whole line starting with ReadyLine has come.
        for (;;) {
            const size_t At = Got.find(ReadyLine);
            if (At != std::string::npos && Got.find('\n', At) != std::string::npos)
                break;
            pollfd P{FOut, POLLIN, 0};
            if (std::chrono::steady_clock::now() > Deadline || ::poll(&P, 1, 200) < 0)
                throw std::runtime_error("peer not ready: " + Argv[0] + " " + Got);
            if (P.revents & POLLIN) {
                char Buf[256];
                const ssize_t N = ::read(FOut, Buf, sizeof Buf);
                if (N <= 0)
                    throw std::runtime_error("peer ended: " + Argv[0] + " " + Argv.back());
                Got.append(Buf, static_cast<size_t>(N));
            }
        }
    }
    ~Child()
    {
        if (FPid > 0) {
            ::kill(FPid, SIGTERM);
            ::waitpid(FPid, nullptr, 0);
        }
        if (FOut >= 0)
            ::close(FOut);
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;

private:
    pid_t FPid = -1;
    int FOut = -1;
};

// A private bus with its own configuration and socket in Dir.
class PrivateBus {
public:
    PrivateBus(const std::string& Dir, const std::string& Name)
    {
        const std::string Socket = Dir + "/" + Name + ".sock";
        const std::string Config = Dir + "/" + Name + ".conf";
        std::ofstream(Config)
            << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-BUS Bus Configuration "
               "1.0//EN\" \"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
               "<busconfig><type>custom</type><listen>unix:path="
            << Socket
            << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
               "<allow user=\"*\"/><allow own=\"*\"/><allow send_destination=\"*\"/>"
               "<allow receive_sender=\"*\"/></policy></busconfig>\n";
        FDaemon = std::make_unique<Child>(
            std::vector<std::string>{"/usr/bin/dbus-daemon", "--nofork", "--nopidfile",
                                     "--config-file=" + Config, "--print-address=1"},
            "unix:path=" + Socket + ",guid=");
        Address = "unix:path=" + Socket;
    }
    std::string Address;

private:
    std::unique_ptr<Child> FDaemon;
};

// The Python stand-in of the given mode on Bus.
inline std::unique_ptr<Child> StartPeer(const std::string& Mode, const PrivateBus& Bus,
                                        const std::string& Arg, const std::string& Delay = "0")
{
    const char* Src = std::getenv("TOLVEX_SOURCE_DIR");
    const std::string Script = std::string(Src ? Src : ".") + "/tests/admin/session_peers.py";
    return std::make_unique<Child>(
        std::vector<std::string>{"/usr/bin/python3", Script, Mode, Bus.Address, Arg, Delay},
        "ready");
}

// A pseudo-terminal: the slave is the session's line, the master reads.
struct Pty {
    int Master = -1, Slave = -1;
    std::string Line; // "pts/N"
    explicit Pty(mode_t Mode = 0620)
    {
        if (::openpty(&Master, &Slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        Line = std::string(::ttyname(Slave)).substr(5);
        ::fchmod(Slave, Mode);
        // Raw, so the master reads the very bytes that were written; in
        // UTF-8, as a terminal of a UTF-8 desktop is.
        termios T{};
        ::tcgetattr(Slave, &T);
        ::cfmakeraw(&T);
        T.c_iflag |= IUTF8;
        ::tcsetattr(Slave, TCSANOW, &T);
        ::fcntl(Master, F_SETFL, ::fcntl(Master, F_GETFL) | O_NONBLOCK);
    }
    ~Pty()
    {
        ::close(Master);
        ::close(Slave);
    }
    // Everything the terminal shows until it stays quiet for QuietMs.
    std::string ReadAll(int QuietMs = 300)
    {
        std::string Got;
        for (;;) {
            pollfd P{Master, POLLIN, 0};
            if (::poll(&P, 1, QuietMs) <= 0)
                return Got;
            char Buf[65536];
            const ssize_t N = ::read(Master, Buf, sizeof Buf);
            if (N <= 0)
                return Got;
            Got.append(Buf, static_cast<size_t>(N));
        }
    }
};

inline std::string ReadText(const std::string& File)
{
    std::ifstream In(File);
    return std::string(std::istreambuf_iterator<char>(In), {});
}

} // namespace sessiontest
