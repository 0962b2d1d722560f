#include "crashreport/kelExceptRestart.h"

#include "crashreport/kelExceptActions.h"
#include "crashreport/kelExceptLink.h"
#include "crashreport/kelExceptTemp.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <limits.h>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <utility>

namespace {

std::string ReadProcFile(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
}

// A list of NUL-ended strings.
std::vector<std::string> NulList(const std::string& Bytes)
{
    std::vector<std::string> Out;
    std::size_t At = 0;
    while (At < Bytes.size()) {
        const std::size_t End = std::min(Bytes.find('\0', At), Bytes.size());
        Out.push_back(Bytes.substr(At, End - At));
        At = End + 1;
    }
    return Out;
}

std::string ReadLink(const std::string& Path)
{
    char Buf[PATH_MAX];
    const ssize_t N = ::readlink(Path.c_str(), Buf, sizeof Buf);
    return N > 0 && N < static_cast<ssize_t>(sizeof Buf) ? std::string(Buf, N) : std::string();
}

int PidFdOpen(pid_t Pid)
{
    return static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0));
}

int PidFdSignal(int PidFd, int Signal)
{
    return static_cast<int>(::syscall(SYS_pidfd_send_signal, PidFd, Signal, nullptr, 0));
}

// Waits until the process of PidFd has ended; false after Limit.
bool WaitForEnd(int PidFd, std::chrono::milliseconds Limit)
{
    const auto End = std::chrono::steady_clock::now() + Limit;
    for (;;) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            End - std::chrono::steady_clock::now());
        pollfd P{PidFd, POLLIN, 0};
        const int R = ::poll(&P, 1, static_cast<int>(std::max<long long>(Left.count(), 0)));
        if (R > 0)
            return true;
        if (R == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

} // namespace

bool RestartProgram(TExceptLink& Link, const std::vector<std::int64_t>& ExceptionTimes,
                    bool Terminate, std::chrono::milliseconds Timeout)
{
    TRestartRequestFrame Request;
    Request.Request = NewRequestNumber();
    Request.Times = ExceptionTimes;
    if (Request.Times.size() > MaxRestartTimes)
        Request.Times.erase(Request.Times.begin(),
                            Request.Times.end() - static_cast<std::ptrdiff_t>(MaxRestartTimes));
    if (!Link.Send(Request))
        return false;
    const auto Ready = AwaitAnswer<TRestartReadyFrame>(Link, Request.Request, Timeout);
    if (!Ready || !Ready->Ready)
        return false;
    if (Terminate)
        ::_exit(2);
    ::kill(::getpid(), SIGTERM);
    return true;
}

void CloseProgram(int ExitCode)
{
    ::_exit(ExitCode);
}

std::optional<TRestartTakeOver> TakeOverRestart()
{
    const char* Old = std::getenv(RestartedVariable);
    if (Old == nullptr)
        return std::nullopt;
    TRestartTakeOver T;
    char* End = nullptr;
    const long Pid = std::strtol(Old, &End, 10);
    T.OldPid = End != Old && *End == '\0' && Pid > 0 ? static_cast<pid_t>(Pid) : 0;
    if (const char* File = std::getenv(RestartTimesVariable)) {
        // Only a file of ours, closed to others, counts.
        const int Fd = ::open(File, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
        struct stat Info {};
        if (Fd >= 0 && ::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode) &&
            Info.st_uid == ::getuid() && (Info.st_mode & 077) == 0) {
            std::string Text;
            char Buf[512];
            for (ssize_t N; (N = ::read(Fd, Buf, sizeof Buf)) > 0 && Text.size() < 4096;)
                Text.append(Buf, static_cast<std::size_t>(N));
            std::istringstream In(Text);
            for (long long V; T.ExceptionTimes.size() < MaxRestartTimes && In >> V;)
                T.ExceptionTimes.push_back(V);
            ::unlink(File);
        }
        if (Fd >= 0)
            ::close(Fd);
    }
    ::unsetenv(RestartedVariable);
    ::unsetenv(RestartTimesVariable);
    return T;
}

TProgramImage::TProgramImage(TProgramImage&& Other) noexcept
{
    *this = std::move(Other);
}

TProgramImage& TProgramImage::operator=(TProgramImage&& Other) noexcept
{
    if (this != &Other) {
        if (PidFd >= 0)
            ::close(PidFd);
        Pid = Other.Pid;
        PidFd = std::exchange(Other.PidFd, -1);
        Executable = std::move(Other.Executable);
        Arguments = std::move(Other.Arguments);
        Folder = std::move(Other.Folder);
        Environment = std::move(Other.Environment);
    }
    return *this;
}

TProgramImage::~TProgramImage()
{
    if (PidFd >= 0)
        ::close(PidFd);
}

std::optional<TProgramImage> CaptureProgram(pid_t Pid)
{
    if (Pid <= 0)
        return std::nullopt;
    TProgramImage Image;
    Image.Pid = Pid;
    // The pidfd first: what /proc shows afterwards is of this process, as
    // long as the pidfd says it still runs.
    Image.PidFd = PidFdOpen(Pid);
    if (Image.PidFd < 0)
        return std::nullopt;
    const std::string Proc = "/proc/" + std::to_string(Pid);
    Image.Executable = ReadLink(Proc + "/exe");
    Image.Folder = ReadLink(Proc + "/cwd");
    Image.Arguments = NulList(ReadProcFile(Proc + "/cmdline"));
    Image.Environment = NulList(ReadProcFile(Proc + "/environ"));
    // A replaced or deleted executable shows " (deleted)": nothing to start.
    if (Image.Executable.empty() || Image.Executable.ends_with(" (deleted)") ||
        Image.Arguments.empty() || Image.Folder.empty() ||
        WaitForEnd(Image.PidFd, std::chrono::milliseconds(0)))
        return std::nullopt;
    return Image;
}

std::string WriteRestartTimes(const std::vector<std::int64_t>& Times)
{
    const std::string Folder = CrashRuntimeFolder();
    if (Folder.empty())
        return {};
    std::string Name = Folder + "/restart-XXXXXX";
    const int Fd = ::mkostemp(Name.data(), O_CLOEXEC); // mode 0600
    if (Fd < 0)
        return {};
    std::string Text;
    for (std::size_t I = Times.size() > MaxRestartTimes ? Times.size() - MaxRestartTimes : 0;
         I < Times.size(); ++I)
        Text += std::to_string(Times[I]) + "\n";
    const bool Ok = ::write(Fd, Text.data(), Text.size()) == static_cast<ssize_t>(Text.size());
    ::close(Fd);
    if (!Ok) {
        ::unlink(Name.c_str());
        return {};
    }
    return Name;
}

pid_t RelaunchAfterExit(TProgramImage& Image, const std::string& TimesFile,
                        std::chrono::milliseconds ExitWait)
{
    if (Image.PidFd < 0)
        return -1;
    if (!WaitForEnd(Image.PidFd, ExitWait)) {
        PidFdSignal(Image.PidFd, SIGKILL);
        if (!WaitForEnd(Image.PidFd, std::chrono::seconds(10)))
            return -1;
    }
    std::vector<std::string> Env;
    const std::string Restarted = std::string(RestartedVariable) + "=";
    const std::string TimesVar = std::string(RestartTimesVariable) + "=";
    for (const auto& E : Image.Environment)
        if (!E.starts_with(Restarted) && !E.starts_with(TimesVar))
            Env.push_back(E);
    Env.push_back(Restarted + std::to_string(Image.Pid));
    if (!TimesFile.empty())
        Env.push_back(TimesVar + TimesFile);
    std::vector<char*> Argv, Envp;
    for (auto& A : Image.Arguments)
        Argv.push_back(A.data());
    Argv.push_back(nullptr);
    for (auto& E : Env)
        Envp.push_back(E.data());
    Envp.push_back(nullptr);
    posix_spawn_file_actions_t Actions;
    posix_spawnattr_t Attr;
    posix_spawn_file_actions_init(&Actions);
    posix_spawnattr_init(&Attr);
    posix_spawn_file_actions_addchdir_np(&Actions, Image.Folder.c_str());
    // Only the standard descriptors: not the helper's link nor its pidfds.
    posix_spawn_file_actions_addclosefrom_np(&Actions, 3);
    // A session of its own, and the signals the program starts with by
    // default: the helper may end first.
    sigset_t None, All;
    sigemptyset(&None);
    sigfillset(&All);
    posix_spawnattr_setsigmask(&Attr, &None);
    posix_spawnattr_setsigdefault(&Attr, &All);
    posix_spawnattr_setflags(&Attr,
                             POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    pid_t Pid = -1;
    const int Rc =
        ::posix_spawn(&Pid, Image.Executable.c_str(), &Actions, &Attr, Argv.data(), Envp.data());
    posix_spawn_file_actions_destroy(&Actions);
    posix_spawnattr_destroy(&Attr);
    return Rc == 0 ? Pid : -1;
}
