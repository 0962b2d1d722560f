#include "crashreport/kelExceptInit.h"
#include "crashreport/kelExceptFreeze.h"
#include "crashreport/kelExceptHandler.h"
#include "crashreport/kelExceptHandling.h"
#include "crashreport/kelExceptReport.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelExceptTemp.h"
#include "crashreport/kelExceptThreads.h"
#include "crashreport/kelTraceProcess.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <poll.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>
#include <unwind.h>
#include <vector>

namespace {

// Any thread, also a signal handler.
pid_t OwnThreadId()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

// Any thread but a signal handler.
std::string Demangle(const char* Mangled)
{
    int Status = 0;
    std::unique_ptr<char, decltype(&std::free)> Out(
        abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status), &std::free);
    return Status == 0 && Out ? std::string(Out.get()) : std::string(Mangled);
}

// --- The next definitions --------------------------------------------------------------

using TPthreadCreate = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
using TCxaThrow = void (*)(void*, std::type_info*, void (*)(void*));

// Any thread. The definition the capture's one forwards to: the C library's,
// or a sanitizer's interceptor in front of it.
template <class F> F NextDefinition(std::atomic<F>& Cache, const char* Name)
{
    F Next = Cache.load(std::memory_order_acquire);
    if (Next == nullptr) {
        Next = reinterpret_cast<F>(::dlsym(RTLD_NEXT, Name));
        if (Next == nullptr)
            std::abort(); // no C library below us: nothing could work
        Cache.store(Next, std::memory_order_release);
    }
    return Next;
}

std::atomic<TPthreadCreate> NextPthreadCreate{nullptr};
std::atomic<TCxaThrow> NextCxaThrow{nullptr};
std::atomic<bool> ThreadCapture{false};
std::atomic<bool> RaiseCapture{false};

// --- Raise capture -----------------------------------------------------------------------

// Set while the thread records a throw: a throw inside the recording (no
// memory for a name) is only forwarded.
constinit thread_local bool Recording = false;

// Any thread, inside __cxa_throw: one return address of the throw.
_Unwind_Reason_Code CollectRaiseFrame(_Unwind_Context* Context, void* Arg)
{
    auto& Raise = *static_cast<TRaiseInfo*>(Arg);
    if (Raise.FrameCount >= Raise.Frames.size())
        return _URC_END_OF_STACK;
    Raise.Frames[Raise.FrameCount++] = _Unwind_GetIP(Context);
    return _URC_NO_REASON;
}

// Any thread, inside a catch block: the exception being handled becomes the
// newest inner exception of the thread's chain.
void PushInnerException(TThreadBlock& Block)
{
    const std::exception_ptr Current = std::current_exception();
    if (!Current)
        return;
    auto* Node = new (std::nothrow) TInnerException;
    if (Node == nullptr)
        return;
    const std::type_info* Type = Current.__cxa_exception_type();
    Node->ClassName = Type != nullptr ? Demangle(Type->name()) : "Unknown";
    try {
        std::rethrow_exception(Current);
    } catch (const std::exception& E) {
        Node->Message = E.what();
    } catch (...) {
    }
    Node->Next = Block.InnerChain;
    Block.InnerChain = Node;
}

// Any thread, inside __cxa_throw. The throw's type, site and return addresses.
void RecordThrow(void* Object, std::type_info* Type, uintptr_t ThrowSite)
{
    TThreadBlock& Block = CurrentThreadBlock();
    if (abi::__cxa_current_exception_type() != nullptr) {
        PushInnerException(Block);
    } else if (Block.InnerChain != nullptr) {
        // Thrown outside every handler: earlier inner exceptions belong to
        // throws that are over.
        ClearThreadException();
    }
    TRaiseInfo& Raise = Block.Raise;
    Raise.Object = Object;
    Raise.Type = Type;
    Raise.ThrowSite = ThrowSite;
    Raise.FrameCount = 0;
    _Unwind_Backtrace(CollectRaiseFrame, &Raise);
    // The walk starts inside the capture: the frames begin at the throw site.
    for (uint32_t I = 0; I < Raise.FrameCount; ++I)
        if (Raise.Frames[I] == ThrowSite) {
            std::memmove(Raise.Frames.data(), Raise.Frames.data() + I,
                         (Raise.FrameCount - I) * sizeof(uintptr_t));
            Raise.FrameCount -= I;
            break;
        }
}

// --- Alternate signal stacks -----------------------------------------------------------------

constexpr std::size_t AltStackSize = 64 * 1024;
constexpr std::size_t AltStackGuard = 4096;
constexpr std::size_t AltStackPoolSize = 64;

struct TAltStackPool {
    std::mutex Lock;
    std::vector<void*> Free;
};

// Any thread.
TAltStackPool& AltStackPool()
{
    static auto* Pool = new TAltStackPool;
    return *Pool;
}

// Any thread. A mapping of guard page and stack, from the pool when one is free.
void* AcquireAltStack()
{
    {
        TAltStackPool& Pool = AltStackPool();
        std::lock_guard<std::mutex> Guard(Pool.Lock);
        if (!Pool.Free.empty()) {
            void* Base = Pool.Free.back();
            Pool.Free.pop_back();
            return Base;
        }
    }
    void* Base = ::mmap(nullptr, AltStackGuard + AltStackSize, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (Base == MAP_FAILED)
        return nullptr;
    if (::mprotect(Base, AltStackGuard, PROT_NONE) != 0) {
        ::munmap(Base, AltStackGuard + AltStackSize);
        return nullptr;
    }
    return Base;
}

// Any thread. Back into the pool (or unmapped when the pool is full).
void ReleaseAltStack(void* Base)
{
    if (Base == nullptr)
        return;
    {
        TAltStackPool& Pool = AltStackPool();
        std::lock_guard<std::mutex> Guard(Pool.Lock);
        if (Pool.Free.size() < AltStackPoolSize) {
            Pool.Free.push_back(Base);
            return;
        }
    }
    ::munmap(Base, AltStackGuard + AltStackSize);
}

// Any thread: the calling thread's signals run on Base's stack from now on.
bool UseAltStack(void* Base)
{
    stack_t Stack{};
    Stack.ss_sp = static_cast<char*>(Base) + AltStackGuard;
    Stack.ss_size = AltStackSize;
    return ::sigaltstack(&Stack, nullptr) == 0;
}

// Any thread: the calling thread's signals run on its own stack again.
void DropAltStack()
{
    stack_t Stack{};
    Stack.ss_flags = SS_DISABLE;
    ::sigaltstack(&Stack, nullptr);
}

// --- Thread start ------------------------------------------------------------------------

struct TThreadStart {
    void* (*Routine)(void*) = nullptr;
    void* Argument = nullptr;
    pid_t Creator = 0;
    uintptr_t CreatingAddress = 0;
    uint32_t FrameCount = 0;
    uintptr_t Frames[MaxCreationFrames] = {};
    bool Own = false;
};

// Any thread, inside pthread_create: one return address of the creator.
_Unwind_Reason_Code CollectCreationFrame(_Unwind_Context* Context, void* Arg)
{
    auto& Start = *static_cast<TThreadStart*>(Arg);
    if (Start.FrameCount >= MaxCreationFrames)
        return _URC_END_OF_STACK;
    Start.Frames[Start.FrameCount++] = _Unwind_GetIP(Context);
    return _URC_NO_REASON;
}

// The new thread (made and destroyed there). Its part of the capture, for as
// long as its routine runs (and also when it ends by pthread_exit or a
// cancellation).
class TThreadScope {
public:
    explicit TThreadScope(const TThreadStart& Start) : Tid(OwnThreadId())
    {
        AltStack = AcquireAltStack();
        if (AltStack != nullptr && !UseAltStack(AltStack)) {
            ReleaseAltStack(AltStack);
            AltStack = nullptr;
        }
        RecordStackBounds();
        TThreadEntry Entry;
        Entry.ThreadId = Tid;
        Entry.CreatingThreadId = Start.Creator;
        Entry.CreatingAddress = Start.CreatingAddress;
        Entry.CreationStack.assign(Start.Frames, Start.Frames + Start.FrameCount);
        Entry.Own = Start.Own;
        AddThreadEntry(std::move(Entry));
    }
    ~TThreadScope()
    {
        RemoveThreadEntry(Tid);
        ClearThreadException();
        if (AltStack != nullptr) {
            DropAltStack();
            ReleaseAltStack(AltStack);
        }
    }
    TThreadScope(const TThreadScope&) = delete;
    TThreadScope& operator=(const TThreadScope&) = delete;

private:
    pid_t Tid;
    void* AltStack = nullptr;
};

// The new thread, started by the capture's pthread_create: its whole life.
// (The C library's forced unwind carries no C++ object, so its catch binds a
// reference to nothing, which the undefined-behaviour sanitizer would stop at.)
__attribute__((no_sanitize("null"))) void* ThreadTrampoline(void* Raw)
{
    std::unique_ptr<TThreadStart> Start(static_cast<TThreadStart*>(Raw));
    TThreadScope Scope(*Start);
    void* (*const Routine)(void*) = Start->Routine;
    void* const Argument = Start->Argument;
    Start.reset();
    try {
        return Routine(Argument);
    } catch (abi::__forced_unwind&) {
        throw; // pthread_exit, pthread_cancel: the thread ends the usual way
    } catch (...) {
        const TVerdict Verdict = ReportCurrentException(esThreadExit, true);
        if (Verdict == vdNone)
            throw; // not reported (capture off): as without the capture
        ApplyVerdict(Verdict, true);
    }
    return nullptr;
}

// --- Hooks -------------------------------------------------------------------------------

// A platform::TThread's own thread, first thing. Named after its class (the
// class's own name, without the namespaces around it).
void OnThreadStarted(const char* TypeName)
{
    std::string Name = Demangle(TypeName);
    if (Name.find('<') == std::string::npos)
        if (const auto Colons = Name.rfind("::"); Colons != std::string::npos)
            Name.erase(0, Colons + 2);
    SetThreadName(OwnThreadId(), Name);
    SetThreadCreatorText(OwnThreadId(), Name);
}

// A platform::TThread's own thread, inside TThread::Run's catch.
void OnThreadException()
{
    ApplyVerdict(ReportCurrentException(esThreadExit, true), true);
}

// Main thread, inside QApplication::notify's catch.
void OnEventException()
{
    ApplyVerdict(ReportCurrentException(esEventHandler, true), true);
}

// Main thread, inside main()'s catch. The program ends anyway, in its orderly way unless a
// restart was chosen.
void OnMainException()
{
    if (ReportCurrentException(esMainCatch, true) == vdRestart)
        ::_exit(2);
}

// Any thread, inside std::terminate. Reported as what cannot continue, then abort() (whose
// SIGABRT is not reported again).
[[noreturn]] void OnTerminate()
{
    static std::atomic<bool> Entered{false};
    if (!Entered.exchange(true)) {
        const TVerdict Verdict = ReportCurrentException(esTerminate, false);
        MarkTerminateReported();
        if (Verdict == vdRestart)
            ::_exit(2);
    }
    MarkTerminateReported();
    std::abort();
}

// --- Start-up ----------------------------------------------------------------------------

std::mutex InitLock;
int Nesting = 0;
TCaptureHooks Hooks;
// The process that set the capture up; a forked child's end stops nothing of
// it (its threads, pipe and watchdog belong to the parent).
pid_t OwnerPid = 0;
// Keeps the program's settings table for the life of the capture.
std::shared_ptr<TIKESettings> Settings;
void* MainAltStack = nullptr;

// Main thread, at start. Waits for a crashed predecessor and takes over its
// exception times.
void TakeOverRestart()
{
    const char* Old = std::getenv(RestartedEnv);
    const char* TimesFile = std::getenv(RestartTimesEnv);
    if (Old != nullptr) {
        char* End = nullptr;
        const long Pid = std::strtol(Old, &End, 10);
        if (End != Old && *End == '\0' && Pid > 0 && Pid != ::getpid() &&
            !WaitForProcessEnd(static_cast<pid_t>(Pid), RestartWaitLimit))
            std::fprintf(stderr,
                         "kelExcept: the restarted program's predecessor %ld has not ended "
                         "within %lld s; starting anyway\n",
                         Pid, static_cast<long long>(RestartWaitLimit.count()));
    }
    if (Old != nullptr && TimesFile != nullptr) {
        std::array<int64_t, 10> Times{};
        if (ReadExceptionTimesFile(TimesFile, Times))
            SetLastExceptionTimes(Times);
        ::unlink(TimesFile);
    }
    ::unsetenv(RestartedEnv);
    ::unsetenv(RestartTimesEnv);
}

// Any thread, while a report is made. What the thread table knows of a
// thread; nothing for one the capture has not seen start (the main thread,
// threads that were there before it), which the report then names itself.
bool QueryThreadInfo(pid_t ThreadId, TReportThreadInfo& Info)
{
    const std::optional<TThreadEntry> Entry = GetThreadEntry(ThreadId);
    if (!Entry)
        return false;
    Info.DisplayName = GetThreadName(ThreadId, true);
    Info.Library = IsLibraryThreadName(Entry->Name);
    Info.CreatingThreadId = Entry->CreatingThreadId;
    Info.CreationStack = Entry->CreationStack;
    return true;
}

// Main thread (or whichever calls exit()), from atexit.
void FinalizeAtExit()
{
    FinalizeLibrary();
}

// The child of a fork(), before it goes on: the handler thread and the
// watchdog stayed in the parent, so the child reports nothing (its records
// would reach the parent's handler thread through the shared pipe).
void OnForkChild()
{
    SetCaptureActive(false);
    RaiseCapture.store(false);
    ThreadCapture.store(false);
}

} // namespace

// --- The two definitions -------------------------------------------------------------------

// Any thread. See the top of kelExceptInit.h.
extern "C" int pthread_create(pthread_t* Thread, const pthread_attr_t* Attr,
                              void* (*Routine)(void*), void* Argument)
{
    const TPthreadCreate Next = NextDefinition(NextPthreadCreate, "pthread_create");
    if (!ThreadCapture.load(std::memory_order_relaxed))
        return Next(Thread, Attr, Routine, Argument);
    auto* Start = new (std::nothrow) TThreadStart;
    if (Start == nullptr)
        return Next(Thread, Attr, Routine, Argument);
    Start->Routine = Routine;
    Start->Argument = Argument;
    Start->Creator = OwnThreadId();
    Start->CreatingAddress = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    _Unwind_Backtrace(CollectCreationFrame, Start);
    // The walk starts in here: the stack begins at the caller.
    for (uint32_t I = 0; I < Start->FrameCount; ++I)
        if (Start->Frames[I] == Start->CreatingAddress) {
            std::memmove(Start->Frames, Start->Frames + I,
                         (Start->FrameCount - I) * sizeof(uintptr_t));
            Start->FrameCount -= I;
            break;
        }
    Start->Own = IsOwnCreationStack(Start->Frames, Start->FrameCount);
    const int Rc = Next(Thread, Attr, ThreadTrampoline, Start);
    if (Rc != 0)
        delete Start;
    return Rc;
}

namespace __cxxabiv1 {
// Any thread. See the top of kelExceptInit.h.
// Does not return: cxxabi.h declares it so, and that declaration holds here.
extern "C" void __cxa_throw(void* Object, std::type_info* Type,
                            void(_GLIBCXX_CDTOR_CALLABI* Destructor)(void*))
{
    const TCxaThrow Next = NextDefinition(NextCxaThrow, "__cxa_throw");
    if (RaiseCapture.load(std::memory_order_relaxed) && !Recording) {
        Recording = true;
        RecordThrow(Object, Type, reinterpret_cast<uintptr_t>(__builtin_return_address(0)));
        Recording = false;
    }
    Next(Object, Type, Destructor);
    __builtin_unreachable();
}
} // namespace __cxxabiv1

// --- Start-up and end ---------------------------------------------------------------------

TCaptureHooks InitializeLibrary()
{
    std::lock_guard<std::mutex> Guard(InitLock);
    if (Nesting++ > 0)
        return Hooks;
    Settings = NewSettings();
    if (!Settings->Found() || !Settings->GetBoolSetting("Enabled")) {
        Settings.reset();
        return Hooks;
    }
    TakeOverRestart();
    // What crashed instances left in the runtime folder goes; this process's
    // own temporary folder is made when a report first needs it.
    RemoveEndedTempFolders();
    OwnerPid = ::getpid();
    SetMainThreadId(OwnThreadId());
    RecordStackBounds();
    const char* Failed = nullptr;
    if (!RestoreReserve())
        Failed = "its memory reserve";
    else if ((MainAltStack = AcquireAltStack()) == nullptr || !UseAltStack(MainAltStack))
        Failed = "the main thread's signal stack";
    else if (!StartHandlerThread())
        Failed = "its handler thread";
    else if (!InstallFatalSignalHandlers())
        Failed = "its signal handlers";
    if (Failed != nullptr) {
        // The program runs on without crash reports rather than not at all.
        const int Error = errno;
        StopHandlerThread();
        ReleaseReserve();
        if (MainAltStack != nullptr) {
            DropAltStack();
            ReleaseAltStack(MainAltStack);
            MainAltStack = nullptr;
        }
        std::fprintf(stderr, "kelExcept: crash reporting is off: %s could not be set up (%s)\n",
                     Failed, std::strerror(Error));
        Settings.reset();
        return Hooks;
    }
    SetWindowsLogo(Settings->GetBoolSetting("WindowsLogo"));
    std::set_terminate(OnTerminate);
    SetCaptureActive(true);
    RaiseCapture.store(true);
    ThreadCapture.store(true);
    if (Settings->GetBoolSetting("CheckFreeze") &&
        !StartFreezeWatchdog(Settings->GetIntSetting("FreezeTimeout")))
        std::fprintf(stderr, "kelExcept: the freeze watchdog could not be started (%s)\n",
                     std::strerror(errno));
    SetThreadInfoQuery(QueryThreadInfo);
    // Other processes of the user may ask for this one's trace report; the
    // program runs on without when the socket cannot be made.
    if (const std::string Folder = CrashRuntimeFolder();
        Folder.empty() || !StartTraceProcessThread(Folder))
        std::fprintf(stderr, "kelExcept: trace requests are not served (%s)\n",
                     std::strerror(errno));
    if (!StartCrashTimePreparation())
        std::fprintf(stderr, "kelExcept: stack traces at crash time are not available (%s)\n",
                     std::strerror(errno));
    std::atexit(FinalizeAtExit);
    ::pthread_atfork(nullptr, nullptr, OnForkChild);
    // The whole handling, unless the program installed its own (a test's);
    // the helper program starts with the event loop.
    if (InstalledHandleExceptionRecord() == nullptr)
        InstallExceptionHandling();
    ArmHelperStart();
    Hooks.ThreadStarted = OnThreadStarted;
    Hooks.ThreadException = OnThreadException;
    Hooks.EventException = OnEventException;
    Hooks.MainException = OnMainException;
    Hooks.MainWindow = SetBoxOwnerWindow;
    return Hooks;
}

void FinalizeLibrary()
{
    std::lock_guard<std::mutex> Guard(InitLock);
    if (Nesting == 0 || --Nesting > 0 || !Hooks.Enabled() || ::getpid() != OwnerPid)
        return;
    WaitForCrashTimePreparation();
    StopHelperProgram();
    StopTraceProcessThread();
    StopFreezeWatchdog();
    StopHandlerThread();
}

int CreateLibraryThread(pthread_t* Thread, void* (*Routine)(void*), void* Argument)
{
    return NextDefinition(NextPthreadCreate, "pthread_create")(Thread, nullptr, Routine, Argument);
}

bool JoinLibraryThread(pthread_t Thread, std::chrono::milliseconds Limit)
{
    timespec Deadline{};
    ::clock_gettime(CLOCK_REALTIME, &Deadline);
    const auto Ns = Deadline.tv_nsec + std::chrono::nanoseconds(Limit).count();
    Deadline.tv_sec += static_cast<time_t>(Ns / 1000000000L);
    Deadline.tv_nsec = static_cast<long>(Ns % 1000000000L);
    if (::pthread_timedjoin_np(Thread, nullptr, &Deadline) == 0)
        return true;
    ::pthread_detach(Thread);
    return false;
}

void SetRaiseCapture(bool On)
{
    RaiseCapture.store(On);
}

void SetThreadCapture(bool On)
{
    ThreadCapture.store(On);
}

// --- Restart take-over ----------------------------------------------------------------------

bool WaitForProcessEnd(pid_t Pid, std::chrono::milliseconds Limit)
{
    const int Fd = static_cast<int>(::syscall(SYS_pidfd_open, Pid, 0));
    if (Fd < 0) {
        if (errno == ESRCH)
            return true;
        // No pidfd: asked every 50 ms.
        const auto Deadline = std::chrono::steady_clock::now() + Limit;
        while (::kill(Pid, 0) == 0 || errno != ESRCH) {
            if (std::chrono::steady_clock::now() >= Deadline)
                return false;
            ::usleep(50000);
        }
        return true;
    }
    pollfd P{Fd, POLLIN, 0};
    const auto Deadline = std::chrono::steady_clock::now() + Limit;
    int Rc;
    for (;;) {
        const auto Left = std::chrono::duration_cast<std::chrono::milliseconds>(
            Deadline - std::chrono::steady_clock::now());
        Rc = ::poll(&P, 1, static_cast<int>(std::max<int64_t>(Left.count(), 0)));
        if (Rc >= 0 || errno != EINTR)
            break;
    }
    ::close(Fd);
    return Rc > 0;
}

bool ReadExceptionTimesFile(const std::string& FileName, std::array<int64_t, 10>& Times)
{
    const int Fd = ::open(FileName.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (Fd < 0)
        return false;
    struct stat St {};
    unsigned char Bytes[80];
    const bool Ok = ::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode) && St.st_uid == ::geteuid() &&
                    (St.st_mode & 077) == 0 && St.st_size == static_cast<off_t>(sizeof Bytes) &&
                    ::read(Fd, Bytes, sizeof Bytes) == static_cast<ssize_t>(sizeof Bytes);
    ::close(Fd);
    if (!Ok)
        return false;
    for (std::size_t I = 0; I < Times.size(); ++I) {
        uint64_t V = 0;
        for (int B = 7; B >= 0; --B)
            V = (V << 8) | Bytes[I * 8 + static_cast<std::size_t>(B)];
        Times[I] = static_cast<int64_t>(V);
    }
    return true;
}
