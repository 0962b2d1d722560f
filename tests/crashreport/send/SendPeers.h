// The peers of the crash reporter's network tests and benchmark: Python
// servers from tests/peers started on loopback, their JSON-line event logs,
// and certificates made by `openssl req` for each test.
#pragma once

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char** environ;

// The folder of tests/peers in the source tree.
inline std::string PeersFolder()
{
    const char* Source = std::getenv("TOLVEX_SOURCE_DIR");
    return std::string(Source ? Source : ".") + "/tests/peers";
}

// A Python peer: its standard output is read line by line; it is ended
// (SIGTERM, then SIGKILL) when this object goes.
class TPythonPeer {
public:
    explicit TPythonPeer(const std::vector<std::string>& Args)
    {
        int Pipe[2];
        if (::pipe2(Pipe, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        std::vector<std::string> Argv = {"/usr/bin/python3"};
        Argv.insert(Argv.end(), Args.begin(), Args.end());
        std::vector<char*> P;
        for (auto& A : Argv)
            P.push_back(A.data());
        P.push_back(nullptr);
        posix_spawn_file_actions_t Actions;
        posix_spawn_file_actions_init(&Actions);
        posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 1);
        const int Rc = posix_spawn(&Pid, P[0], &Actions, nullptr, P.data(), environ);
        posix_spawn_file_actions_destroy(&Actions);
        ::close(Pipe[1]);
        Out = Pipe[0];
        if (Rc != 0)
            throw std::runtime_error("cannot start python3");
    }
    ~TPythonPeer()
    {
        ::kill(Pid, SIGTERM);
        for (int I = 0; I < 50; ++I) {
            if (::waitpid(Pid, nullptr, WNOHANG) == Pid) {
                Pid = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        if (Pid > 0) {
            ::kill(Pid, SIGKILL);
            ::waitpid(Pid, nullptr, 0);
        }
        ::close(Out);
    }
    TPythonPeer(const TPythonPeer&) = delete;
    TPythonPeer& operator=(const TPythonPeer&) = delete;

    // The next line of its output (without "\n"); empty when none came in Wait.
    std::string ReadLine(std::chrono::milliseconds Wait = std::chrono::seconds(15))
    {
        const auto Deadline = std::chrono::steady_clock::now() + Wait;
        for (;;) {
            const std::size_t End = Buffer.find('\n');
            if (End != std::string::npos) {
                std::string Line = Buffer.substr(0, End);
                Buffer.erase(0, End + 1);
                return Line;
            }
            const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
                Deadline - std::chrono::steady_clock::now());
            pollfd Fd{Out, POLLIN, 0};
            if (Left.count() <= 0 || ::poll(&Fd, 1, static_cast<int>(Left.count())) <= 0)
                return {};
            char Chunk[4096];
            const ssize_t N = ::read(Out, Chunk, sizeof Chunk);
            if (N <= 0)
                return {};
            Buffer.append(Chunk, static_cast<std::size_t>(N));
        }
    }

    // Every line it wrote within Wait of quiet.
    std::vector<std::string> Lines(std::chrono::milliseconds Wait = std::chrono::milliseconds(300))
    {
        std::vector<std::string> All;
        for (std::string L; !(L = ReadLine(Wait)).empty();)
            All.push_back(L);
        return All;
    }

    // The port of its first line, {"event": "ready", "port": N}; 0 when it
    // did not get ready.
    int WaitReady()
    {
        const std::string Line = ReadLine();
        const std::size_t At = Line.find("\"port\": ");
        return Line.find("\"ready\"") == std::string::npos || At == std::string::npos
                   ? 0
                   : std::atoi(Line.c_str() + At + 8);
    }

private:
    pid_t Pid = -1;
    int Out = -1;
    std::string Buffer;
};

// The "call" of each request line of tests/peers/trackers.py, in order.
inline std::vector<std::string> CallsOf(const std::vector<std::string>& Lines)
{
    std::vector<std::string> Calls;
    for (const auto& L : Lines) {
        const std::size_t At = L.find("\"call\": \"");
        if (L.find("\"event\": \"call\"") != std::string::npos && At != std::string::npos)
            Calls.push_back(L.substr(At + 9, L.find('"', At + 9) - At - 9));
    }
    return Calls;
}

// The request line of the Nth request (from 0) whose call is Call; empty when none.
inline std::string CallLine(const std::vector<std::string>& Lines, const std::string& Call,
                            int N = 0)
{
    for (const auto& L : Lines)
        if (L.find("\"event\": \"call\"") != std::string::npos &&
            L.find("\"call\": \"" + Call + "\"") != std::string::npos && N-- == 0)
            return L;
    return {};
}

// The paths of the files a request line reports, in order.
inline std::vector<std::string> FilesOf(const std::string& Line)
{
    std::vector<std::string> Paths;
    for (std::size_t At = 0; (At = Line.find("\"path\": \"", At)) != std::string::npos;) {
        At += 9;
        Paths.push_back(Line.substr(At, Line.find('"', At) - At));
    }
    return Paths;
}

// Makes, in Folder, "<Name>.pem" and "<Name>.key": a certificate for the
// subject alternative names San ("DNS:localhost,IP:127.0.0.1") signed by the
// CA "<Ca>.pem"/"<Ca>.key", which is made first when it does not exist.
// False when openssl failed.
inline bool MakeCertificate(const std::string& Folder, const std::string& Ca,
                            const std::string& Name, const std::string& San)
{
    const std::string D = "'" + Folder + "'/";
    const std::string Curve = " -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes";
    const std::string Script =
        "set -e; cd " + D + "; [ -f " + Ca + ".pem ] || openssl req -x509" + Curve + " -keyout " +
        Ca + ".key -out " + Ca + ".pem -days 2 -subj '/CN=" + Ca +
        " test CA' 2>/dev/null; openssl req" + Curve + " -keyout " + Name + ".key -out " + Name +
        ".csr -subj '/CN=" + Name + "' 2>/dev/null; printf 'subjectAltName=" + San + "\\n' > " +
        Name + ".ext; openssl x509 -req -in " + Name + ".csr -CA " + Ca + ".pem -CAkey " + Ca +
        ".key -CAcreateserial -days 2 -extfile " + Name + ".ext -out " + Name + ".pem 2>/dev/null";
    return std::system(Script.c_str()) == 0;
}
