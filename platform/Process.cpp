#include "platform/Process.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string.h>

#include <future>
#include <system_error>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace platform {

namespace {

class TFd {
public:
    TFd() = default;
    explicit TFd(int Fd) : FFd(Fd) {}
    TFd(const TFd&) = delete;
    TFd& operator=(const TFd&) = delete;
    ~TFd() { Close(); }
    int Get() const { return FFd; }
    void Reset(int Fd)
    {
        Close();
        FFd = Fd;
    }
    void Close()
    {
        if (FFd >= 0)
            ::close(FFd);
        FFd = -1;
    }

private:
    int FFd = -1;
};

bool MakePipe(TFd& Read, TFd& Write)
{
    int Fds[2];
    if (::pipe2(Fds, O_CLOEXEC) != 0)
        return false;
    Read.Reset(Fds[0]);
    Write.Reset(Fds[1]);
    return true;
}

// The child's dup2 onto 0, 1 and 2 must not overwrite a descriptor it still
// needs, so every pipe end lives above them.
bool LiftAboveStandard(TFd& Fd)
{
    if (Fd.Get() > 2)
        return true;
    const int Lifted = ::fcntl(Fd.Get(), F_DUPFD_CLOEXEC, 3);
    if (Lifted < 0)
        return false;
    Fd.Reset(Lifted);
    return true;
}

bool IsExecutableFile(const std::string& Path)
{
    struct stat St {};
    return ::stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode) &&
           ::access(Path.c_str(), X_OK) == 0;
}

// The program's path: looked up before fork, since the child may only make
// async-signal-safe calls.
std::string ResolveProgram(const std::string& Program)
{
    if (Program.empty() || Program.find('/') != std::string::npos)
        return Program;
    const char* Path = ::getenv("PATH");
    std::string Dirs = Path ? Path : "/usr/local/bin:/usr/bin:/bin";
    size_t Start = 0;
    while (Start <= Dirs.size()) {
        size_t End = Dirs.find(':', Start);
        if (End == std::string::npos)
            End = Dirs.size();
        std::string Dir = Dirs.substr(Start, End - Start);
        if (Dir.empty())
            Dir = ".";
        const std::string Candidate = Dir + "/" + Program;
        if (IsExecutableFile(Candidate))
            return Candidate;
        Start = End + 1;
    }
    return Program;
}

std::string VariableName(const char* Entry)
{
    const char* Eq = std::strchr(Entry, '=');
    return Eq ? std::string(Entry, Eq) : std::string(Entry);
}

std::vector<std::string> ChildEnvironment(const TProcessRequest& Request, int ExtraFd)
{
    std::vector<std::pair<std::string, std::string>> Set = Request.SetEnvironment;
    if (ExtraFd >= 0)
        Set.emplace_back(Request.ExtraInputVariable, std::to_string(ExtraFd));
    std::vector<std::string> Env;
    for (char** E = environ; E && *E; ++E) {
        const std::string Name = VariableName(*E);
        const auto Named = [&](const std::string& N) { return N == Name; };
        if (std::any_of(Request.RemoveEnvironment.begin(), Request.RemoveEnvironment.end(), Named))
            continue;
        if (std::any_of(Set.begin(), Set.end(), [&](const auto& P) { return P.first == Name; }))
            continue;
        Env.emplace_back(*E);
    }
    for (const auto& [Name, Value] : Set)
        Env.push_back(Name + "=" + Value);
    return Env;
}

std::vector<char*> Pointers(std::vector<std::string>& Strings)
{
    std::vector<char*> P;
    P.reserve(Strings.size() + 1);
    for (auto& S : Strings)
        P.push_back(S.data());
    P.push_back(nullptr);
    return P;
}

// Marks every descriptor above Last close-on-exec; async-signal-safe, for
// a child between fork and exec. Kernels before 5.11 lack the flag: there
// every number up to the limit is marked one by one.
bool CloseAtExecAbove(int Last)
{
    if (::close_range(static_cast<unsigned>(Last) + 1, ~0u, CLOSE_RANGE_CLOEXEC) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    rlimit Limit{};
    const long Most = ::getrlimit(RLIMIT_NOFILE, &Limit) == 0 && Limit.rlim_cur != RLIM_INFINITY
                          ? static_cast<long>(Limit.rlim_cur)
                          : 65536;
    for (long Fd = Last + 1; Fd < Most; ++Fd)
        ::fcntl(static_cast<int>(Fd), F_SETFD, FD_CLOEXEC);
    return true;
}

[[noreturn]] void ChildFail(int StatusFd, int Error)
{
    [[maybe_unused]] const auto Written = ::write(StatusFd, &Error, sizeof Error);
    ::_exit(127);
}

// Reads what is there; false at end of file or on an error.
bool Drain(int Fd, std::string& Into)
{
    char Buffer[4096];
    const ssize_t N = ::read(Fd, Buffer, sizeof Buffer);
    if (N < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (N <= 0)
        return false;
    const size_t Keep = std::min(static_cast<size_t>(N),
                                 MaxCapturedBytes - std::min(MaxCapturedBytes, Into.size()));
    Into.append(Buffer, Keep);
    return true;
}

std::string ErrorText(int Error)
{
    return std::strerror(Error);
}

} // namespace

TProcessResult RunProcess(const TProcessRequest& Request)
{
    TProcessResult Result;
    if (Request.Program.empty()) {
        Result.Error = "No program given.";
        return Result;
    }
    const bool HasExtra = Request.ExtraInput.has_value();
    if (HasExtra && Request.ExtraInputVariable.empty()) {
        Result.Error = "The extra input has no variable to name it.";
        return Result;
    }

    TFd OutRead, OutWrite, ErrRead, ErrWrite, StatusRead, StatusWrite, ExtraRead, ExtraWrite;
    TFd DevNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    bool Ok = DevNull.Get() >= 0 && MakePipe(OutRead, OutWrite) && MakePipe(ErrRead, ErrWrite) &&
              MakePipe(StatusRead, StatusWrite);
    if (Ok && HasExtra)
        Ok = MakePipe(ExtraRead, ExtraWrite) && LiftAboveStandard(ExtraRead);
    Ok = Ok && LiftAboveStandard(DevNull) && LiftAboveStandard(OutWrite) &&
         LiftAboveStandard(ErrWrite) && LiftAboveStandard(StatusWrite);
    if (!Ok) {
        Result.Error = ErrorText(errno);
        return Result;
    }
    if (HasExtra) {
        // The whole text goes into the pipe before the child starts; a text
        // larger than the pipe would block, so it is refused instead.
        const std::string& Text = *Request.ExtraInput;
        ::fcntl(ExtraWrite.Get(), F_SETFL, O_NONBLOCK);
        const ssize_t N = Text.empty() ? 0 : ::write(ExtraWrite.Get(), Text.data(), Text.size());
        if (N < 0 || static_cast<size_t>(N) != Text.size()) {
            Result.Error = "The extra input does not fit into a pipe.";
            return Result;
        }
        ExtraWrite.Close();
    }

    const std::string Path = ResolveProgram(Request.Program);
    std::vector<std::string> ArgStrings{Request.Program};
    ArgStrings.insert(ArgStrings.end(), Request.Arguments.begin(), Request.Arguments.end());
    std::vector<std::string> EnvStrings =
        ChildEnvironment(Request, HasExtra ? ExtraRead.Get() : -1);
    std::vector<char*> Argv = Pointers(ArgStrings);
    std::vector<char*> Envp = Pointers(EnvStrings);

    const pid_t Pid = ::fork();
    if (Pid < 0) {
        Result.Error = ErrorText(errno);
        return Result;
    }
    if (Pid == 0) {
        // Only async-signal-safe calls from here on.
        ::setpgid(0, 0);
        sigset_t None;
        ::sigemptyset(&None);
        ::sigprocmask(SIG_SETMASK, &None, nullptr);
        ::signal(SIGPIPE, SIG_DFL);
        if (::dup2(DevNull.Get(), 0) < 0 || ::dup2(OutWrite.Get(), 1) < 0 ||
            ::dup2(ErrWrite.Get(), 2) < 0)
            ChildFail(StatusWrite.Get(), errno);
        // Nothing the caller left open without close-on-exec (another
        // thread's pipe, a descriptor some library made) reaches the
        // program: every descriptor above the standard three closes at exec,
        // the secret's pipe alone is handed on.
        if (!CloseAtExecAbove(2))
            ChildFail(StatusWrite.Get(), errno);
        if (HasExtra && ::fcntl(ExtraRead.Get(), F_SETFD, 0) != 0)
            ChildFail(StatusWrite.Get(), errno);
        ::execve(Path.c_str(), Argv.data(), Envp.data());
        ChildFail(StatusWrite.Get(), errno);
    }
    // The parent sets the group too, so that a kill right after fork reaches it.
    ::setpgid(Pid, Pid);
    Result.Pid = Pid;
    OutWrite.Close();
    ErrWrite.Close();
    StatusWrite.Close();
    ExtraRead.Close();
    DevNull.Close();

    int ExecError = 0;
    ssize_t N;
    do
        N = ::read(StatusRead.Get(), &ExecError, sizeof ExecError);
    while (N < 0 && errno == EINTR);
    if (N == static_cast<ssize_t>(sizeof ExecError)) {
        int Status;
        while (::waitpid(Pid, &Status, 0) < 0 && errno == EINTR) {
        }
        Result.Error = ErrorText(ExecError);
        return Result;
    }
    Result.Started = true;
    if (Request.OnStarted) {
        try {
            Request.OnStarted(Pid);
        } catch (...) {
            // No child may outlive a caller that gave up on it.
            ::kill(-Pid, SIGKILL);
            while (::waitpid(Pid, nullptr, 0) < 0 && errno == EINTR) {
            }
            throw;
        }
    }

    const auto Deadline = std::chrono::steady_clock::now() + Request.TimeLimit;
    bool OutOpen = true, ErrOpen = true;
    while (OutOpen || ErrOpen) {
        if (Request.Cancel && Request.Cancel->load()) {
            Result.Cancelled = true;
            break;
        }
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        if (Left.count() <= 0) {
            Result.TimedOut = true;
            break;
        }
        // Short slices so that a cancel is seen soon.
        const int Slice =
            static_cast<int>(std::min<long long>(Left.count(), Request.Cancel ? 50 : Left.count()));
        pollfd Fds[2] = {{OutOpen ? OutRead.Get() : -1, POLLIN, 0},
                         {ErrOpen ? ErrRead.Get() : -1, POLLIN, 0}};
        const int Ready = ::poll(Fds, 2, std::max(Slice, 1));
        if (Ready < 0 && errno != EINTR)
            break;
        if (Ready <= 0)
            continue;
        if (OutOpen && (Fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            OutOpen = Drain(OutRead.Get(), Result.Output);
        if (ErrOpen && (Fds[1].revents & (POLLIN | POLLHUP | POLLERR)))
            ErrOpen = Drain(ErrRead.Get(), Result.ErrorOutput);
    }
    if (Result.TimedOut || Result.Cancelled)
        ::kill(-Pid, SIGKILL);

    int Status = 0;
    while (::waitpid(Pid, &Status, 0) < 0) {
        if (errno != EINTR)
            return Result;
    }
    if (WIFEXITED(Status))
        Result.ExitCode = WEXITSTATUS(Status);
    else if (WIFSIGNALED(Status))
        Result.Signal = WTERMSIG(Status);
    return Result;
}

void WipeSecret(std::string& Text)
{
    // Grown to its capacity, which never reallocates, so that the bytes
    // past the text's end are overwritten too; explicit_bzero is never
    // left out by the optimiser.
    Text.resize(Text.capacity());
    ::explicit_bzero(Text.data(), Text.size());
    Text.clear();
}

[[gnu::noinline]] void WipeStack()
{
    // alloca, not an array: a sanitizer may move an array's frame off the
    // thread's stack, and the area must be the stack itself.
    constexpr std::size_t Depth = 64 * 1024;
    auto* Area = static_cast<char*>(__builtin_alloca(Depth));
    ::explicit_bzero(Area, Depth);
    asm volatile("" : : "r"(Area) : "memory");
}

namespace {

// Frees the spawn attributes and file actions whatever path leaves.
struct TSpawnSetup {
    posix_spawn_file_actions_t Actions;
    posix_spawnattr_t Attributes;
    bool ActionsMade = false;
    bool AttributesMade = false;
    ~TSpawnSetup()
    {
        if (ActionsMade)
            ::posix_spawn_file_actions_destroy(&Actions);
        if (AttributesMade)
            ::posix_spawnattr_destroy(&Attributes);
    }
};

std::string CurrentFolder()
{
    std::string Buffer(4096, '\0');
    while (!::getcwd(Buffer.data(), Buffer.size())) {
        if (errno != ERANGE || Buffer.size() > (1u << 20))
            return std::string();
        Buffer.resize(Buffer.size() * 2);
    }
    return std::string(Buffer.c_str());
}

// Every signal, the C library's own two (32, 33: thread cancellation and
// set-id broadcast) included. sigfillset leaves them out and sigaddset
// refuses them, and the library's spawn sets every signal outside the
// default set that it blocked meanwhile, its own two among them, to
// "ignored" in the child: an ignored signal stays ignored across exec, so
// the program would start with both ignored. The spawn copies the set as
// it is, so their bits are set in it directly.
void AllSignalsWithTheLibrarys(sigset_t& Set)
{
    ::sigfillset(&Set);
    static_assert(sizeof(Set.__val[0]) * 8 >= 33, "signals 32 and 33 in the first word");
    for (const int Signal : {32, 33})
        Set.__val[0] |= 1ul << (Signal - 1);
}

void Reap(pid_t Pid, TChildExit& Exit)
{
    int Status = 0;
    pid_t Got;
    while ((Got = ::waitpid(Pid, &Status, 0)) < 0 && errno == EINTR) {
    }
    if (Got == Pid && WIFEXITED(Status))
        Exit.ExitCode = WEXITSTATUS(Status);
    else if (Got == Pid && WIFSIGNALED(Status))
        Exit.Signal = WTERMSIG(Status);
    Exit.Ended.store(true, std::memory_order_release);
}

} // namespace

TSpawnResult SpawnDetached(const TSpawnRequest& Request)
{
    TSpawnResult Result;
    const auto Fail = [&Result](TSpawnFailure Failure, int Error) {
        Result.Failure = Failure;
        Result.ErrorCode = Error;
        Result.Error = ErrorText(Error);
        return Result;
    };
    if (Request.Program.empty())
        return Fail(TSpawnFailure::Program, ENOENT);
    if (!Request.Directory.empty()) {
        struct stat St {};
        if (::stat(Request.Directory.c_str(), &St) != 0)
            return Fail(TSpawnFailure::Directory, errno);
        if (!S_ISDIR(St.st_mode))
            return Fail(TSpawnFailure::Directory, ENOTDIR);
        if (::access(Request.Directory.c_str(), X_OK) != 0)
            return Fail(TSpawnFailure::Directory, errno);
    }

    // The path exec is given, settled here, so that a name found in PATH
    // does not move with the change of folder.
    std::string Path;
    if (Request.Program.find('/') != std::string::npos) {
        Path = Request.Program;
        if (Path.front() != '/' && !Request.Directory.empty())
            Path = Request.Directory + "/" + Path;
    } else {
        Path = ResolveProgram(Request.Program);
        if (Path.find('/') == std::string::npos)
            return Fail(TSpawnFailure::Program, ENOENT);
        if (Path.front() != '/' && !Request.Directory.empty()) {
            const std::string Here = CurrentFolder();
            if (Here.empty())
                return Fail(TSpawnFailure::System, errno ? errno : ENOENT);
            Path = Here + "/" + Path;
        }
    }
    struct stat St {};
    if (::stat(Path.c_str(), &St) != 0)
        return Fail(TSpawnFailure::Program, errno);
    if (!S_ISREG(St.st_mode))
        return Fail(TSpawnFailure::Program, S_ISDIR(St.st_mode) ? EISDIR : EACCES);
    if (::access(Path.c_str(), X_OK) != 0)
        return Fail(TSpawnFailure::Program, errno);

    TSpawnSetup Setup;
    int Rc = ::posix_spawn_file_actions_init(&Setup.Actions);
    if (Rc != 0)
        return Fail(TSpawnFailure::System, Rc);
    Setup.ActionsMade = true;
    Rc = ::posix_spawnattr_init(&Setup.Attributes);
    if (Rc != 0)
        return Fail(TSpawnFailure::System, Rc);
    Setup.AttributesMade = true;

    Rc = ::posix_spawn_file_actions_addopen(&Setup.Actions, 0, "/dev/null", O_RDONLY, 0);
    // Output goes where the caller's goes; a closed one would hand the
    // child's first file that number, so it gets /dev/null instead.
    for (int Fd = 1; Fd <= 2 && Rc == 0; ++Fd)
        if (::fcntl(Fd, F_GETFD) < 0)
            Rc = ::posix_spawn_file_actions_addopen(&Setup.Actions, Fd, "/dev/null", O_WRONLY, 0);
    if (Rc == 0 && !Request.Directory.empty())
        Rc = ::posix_spawn_file_actions_addchdir_np(&Setup.Actions, Request.Directory.c_str());
    if (Rc == 0)
        Rc = ::posix_spawn_file_actions_addclosefrom_np(&Setup.Actions, 3);
    sigset_t NoSignals, AllSignals;
    ::sigemptyset(&NoSignals);
    AllSignalsWithTheLibrarys(AllSignals);
    if (Rc == 0)
        Rc = ::posix_spawnattr_setflags(
            &Setup.Attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (Rc == 0)
        Rc = ::posix_spawnattr_setsigmask(&Setup.Attributes, &NoSignals);
    if (Rc == 0)
        Rc = ::posix_spawnattr_setsigdefault(&Setup.Attributes, &AllSignals);
    if (Rc != 0)
        return Fail(TSpawnFailure::System, Rc);

    std::vector<std::string> ArgStrings{Request.Program};
    ArgStrings.insert(ArgStrings.end(), Request.Arguments.begin(), Request.Arguments.end());
    std::vector<char*> Argv = Pointers(ArgStrings);
    // The reaper is made before the child, so that a failure to make it
    // leaves no child that nobody waits for.
    std::promise<pid_t> ChildPid;
    std::future<pid_t> PidToReap = ChildPid.get_future();
    auto Exit = std::make_shared<TChildExit>();
    std::thread Reaper;
    try {
        Reaper = std::thread([F = std::move(PidToReap), Exit]() mutable {
            const pid_t Pid = F.get();
            if (Pid > 0)
                Reap(Pid, *Exit);
        });
    } catch (const std::system_error& E) {
        return Fail(TSpawnFailure::System, E.code().value());
    }
    Reaper.detach();
    pid_t Pid = 0;
    Rc = ::posix_spawn(&Pid, Path.c_str(), &Setup.Actions, &Setup.Attributes, Argv.data(), environ);
    if (Rc != 0) {
        ChildPid.set_value(0);
        // A folder that went away since the check above reports as such.
        if (!Request.Directory.empty() && ::access(Request.Directory.c_str(), X_OK) != 0)
            return Fail(TSpawnFailure::Directory, Rc);
        return Fail(TSpawnFailure::Program, Rc);
    }
    ChildPid.set_value(Pid);
    Result.Started = true;
    Result.Pid = Pid;
    Result.Exit = std::move(Exit);
    return Result;
}

} // namespace platform
