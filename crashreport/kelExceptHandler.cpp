#include "crashreport/kelExceptHandler.h"
#include "crashlib/kelMemory.h"
#include "crashlib/kelStackTrace.h"
#include "crashlib/kelStrings.h"
#include "crashlib/kelTools.h"
#include "crashreport/kelExceptFreeze.h"
#include "crashreport/kelExceptInit.h"
#include "crashreport/kelExceptLink.h"
#include "crashreport/kelExceptThreads.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <cxxabi.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <linux/futex.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

ESilentAbort::~ESilentAbort() = default;

void ESilentAbort::Raise() const
{
    throw *this;
}

pid_t CallingThreadId()
{
    return static_cast<pid_t>(::syscall(SYS_gettid));
}

void FutexWait(std::atomic<uint32_t>& Word, uint32_t Expected, long LimitMs)
{
    static_assert(sizeof(std::atomic<uint32_t>) == sizeof(uint32_t));
    const timespec Limit{LimitMs / 1000, (LimitMs % 1000) * 1000000L};
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&Word), FUTEX_WAIT_PRIVATE, Expected,
              LimitMs < 0 ? nullptr : &Limit, nullptr, 0);
}

void FutexWakeAll(std::atomic<uint32_t>& Word)
{
    ::syscall(SYS_futex, reinterpret_cast<uint32_t*>(&Word), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr,
              nullptr, 0);
}

namespace {

// Any thread, also a signal handler.
pid_t OwnThreadId()
{
    return CallingThreadId();
}

// --- Process-wide state ------------------------------------------------------------------

std::atomic<bool> Active{false};
std::atomic<pid_t> MainTid{0};
std::atomic<bool> WindowsLogo{false};
std::atomic<bool> TerminateReported{false};
std::atomic<THandleExceptionRecordProc> HandlerProc{nullptr};

// The pipe and the main thread's wake descriptor; -1 while there is none.
std::atomic<int> PipeRead{-1};
std::atomic<int> PipeWrite{-1};
std::atomic<int> MainWake{-1};
// The handler thread: its id while it takes records (0 otherwise).
std::atomic<pid_t> HandlerTid{0};
// Becomes 1 when the handler thread has said its id.
std::atomic<uint32_t> HandlerReady{0};
// The thread that takes what walks need at crash time.
pthread_t PrepareHandle{};
bool PrepareStarted = false;
pthread_t HandlerHandle{};

// A slot holds one report from the moment its thread claims it until that
// thread has read the verdict.
enum : uint32_t { slFree = 0, slWaiting = 1, slDone = 2 };
struct TSlot {
    std::atomic<uint32_t> State{slFree};
    std::atomic<uint32_t> Verdict{vdNone};
    TExceptionRecord Record;
};
constexpr int SlotCount = 64;
TSlot Slots[SlotCount];

// Any thread, also a signal handler. A free slot, claimed; -1 when all 64 are busy.
int ClaimSlot()
{
    for (int I = 0; I < SlotCount; ++I) {
        uint32_t Expected = slFree;
        if (Slots[I].State.compare_exchange_strong(Expected, slWaiting))
            return I;
    }
    return -1;
}

// Any thread, also a signal handler. Hands a slot's record to the handler
// thread; false when it does not run or the write failed (then nobody will
// answer the slot).
bool SendRecord(const TExceptionRecord& Record)
{
    if (HandlerTid.load() == 0)
        return false;
    const int Fd = PipeWrite.load();
    if (Fd < 0)
        return false;
    ssize_t N;
    do
        N = ::write(Fd, &Record, sizeof Record);
    while (N < 0 && errno == EINTR);
    return N == static_cast<ssize_t>(sizeof Record);
}

// Any thread, also a signal handler. Waits until the handler thread answered
// the slot, frees it and answers the verdict.
TVerdict WaitForVerdict(TSlot& Slot)
{
    for (uint32_t S = Slot.State.load(); S != slDone; S = Slot.State.load())
        FutexWait(Slot.State, S);
    const auto Verdict = static_cast<TVerdict>(Slot.Verdict.load());
    Slot.State.store(slFree);
    return Verdict;
}

// Main thread after a C++ exception: the same, serving the crash library's
// main-thread port meanwhile (the watchdog's probes and synchronized calls).
TVerdict WaitForVerdictServingPort(TSlot& Slot)
{
    const int PortFd = GetMsgPortFd();
    const int WakeFd = MainWake.load();
    while (Slot.State.load() != slDone) {
        pollfd Fds[2] = {{PortFd, POLLIN, 0}, {WakeFd, POLLIN, 0}};
        // The wake descriptor makes the wait end at once; the limit only
        // guards against a wake that a nested report took.
        if (::poll(Fds, 2, 250) < 0 && errno != EINTR)
            break;
        if (Fds[1].revents & POLLIN) {
            uint64_t Count;
            [[maybe_unused]] const ssize_t N = ::read(WakeFd, &Count, sizeof Count);
        }
        if (Fds[0].revents & POLLIN)
            DrainMsgPort();
    }
    return WaitForVerdict(Slot);
}

// Handler thread, or the raising thread when it handles its own record.
TVerdict HandleBracketed(const TExceptionRecord& Record)
{
    SetHandlingException(true);
    ReleaseReserve();
    // A thread stopped by a signal, by std::terminate or by a freeze may hold
    // any lock, the crash library's among them: its walks then must not wait.
    const bool StoppedAnywhere =
        Record.Source == esSignal || Record.Source == esTerminate || Record.Kind == ekFreeze;
    if (StoppedAnywhere)
        SetCrashTimeMode(true);
    TVerdict Verdict;
    try {
        Verdict = HandleExceptionRecord(Record);
    } catch (...) {
        // A handling that fails must not end the program on its own: the
        // record gets the verdict it allows.
        std::fprintf(stderr, "kelExcept: the handling of a report failed\n");
        Verdict = Record.CanContinue ? vdContinue : vdClose;
    }
    if (StoppedAnywhere)
        SetCrashTimeMode(false);
    RestoreReserve();
    SetHandlingException(false);
    return Verdict;
}

// Signal handler. Ends the process as the signal's default action would:
// default disposition, signal unblocked, sent again to this thread.
void DieBySignal(int Signal)
{
    struct sigaction Sa {};
    Sa.sa_handler = SIG_DFL;
    sigemptyset(&Sa.sa_mask);
    ::sigaction(Signal, &Sa, nullptr);
    sigset_t Set;
    sigemptyset(&Set);
    sigaddset(&Set, Signal);
    ::pthread_sigmask(SIG_UNBLOCK, &Set, nullptr);
    ::syscall(SYS_tgkill, ::getpid(), OwnThreadId(), Signal);
}

long PageSize = 4096;

// Signal handler: a SIGSEGV or SIGBUS is an overflow when the faulting
// address (or the stack pointer) lies within a page of the stack's limit.
bool IsStackOverflow(const TThreadBlock& Block, uintptr_t Fault, uintptr_t Sp)
{
    if (Block.StackLow == 0)
        return false;
    const uintptr_t Low = Block.StackLow;
    const auto Near = [Low](uintptr_t A) {
        return A + static_cast<uintptr_t>(PageSize) >= Low &&
               A < Low + static_cast<uintptr_t>(PageSize);
    };
    return Near(Fault) || Near(Sp);
}

std::atomic<int> LastWordsFd{-1};
// The frame is composed here, in memory set aside in advance.
char LastWordsBuffer[LastWordsCapacity];

// Signal handler. Little-endian, as the link's frames are.
char* PutLe(char* At, uint64_t Value, int Bytes)
{
    for (int I = 0; I < Bytes; ++I)
        *At++ = static_cast<char>((Value >> (8 * I)) & 0xFF);
    return At;
}

// Signal handler: the last words, written once.
void WriteLastWords(int Signal, const siginfo_t* Info, const ucontext_t* Uc)
{
    const int Fd = LastWordsFd.load();
    // Only the first fatal signal speaks: the buffer is one, and the helper
    // shows the first last words it gets.
    static std::atomic<bool> Spoken{false};
    if (Fd < 0 || Spoken.exchange(true))
        return;
    const std::size_t N = ComposeLastWords(LastWordsBuffer, Signal, *Info, *Uc);
    ssize_t Written;
    do
        Written = ::send(Fd, LastWordsBuffer, N, MSG_NOSIGNAL | MSG_DONTWAIT);
    while (Written < 0 && errno == EINTR);
}

// Signal handler, on the thread's alternate stack. Only copies: a slot, the
// record, one write to the pipe, a wait on the slot. Then the verdict ends
// the process: no signal continues.
void FatalSignalHandler(int Signal, siginfo_t* Info, void* Raw)
{
    const int SavedErrno = errno;
    TThreadBlock& Block = CurrentThreadBlock();
    const pid_t Tid = OwnThreadId();
    if (Block.InSignal || !Active.load() || Tid == HandlerTid.load() ||
        (Signal == SIGABRT && TerminateReported.load())) {
        // A fault while handling one, on the handler thread, or the abort()
        // that follows a reported std::terminate.
        DieBySignal(Signal);
        errno = SavedErrno;
        return;
    }
    Block.InSignal = 1;
    WriteLastWords(Signal, Info, static_cast<const ucontext_t*>(Raw));
    const int Index = ClaimSlot();
    if (Index < 0) {
        DieBySignal(Signal);
        errno = SavedErrno;
        return;
    }
    TSlot& Slot = Slots[Index];
    const auto* Uc = static_cast<const ucontext_t*>(Raw);
    TExceptionRecord& R = Slot.Record;
    __builtin_memset(static_cast<void*>(&R), 0, sizeof R);
    R.Slot = static_cast<uint64_t>(Index) + 1;
    R.ThreadId = static_cast<uint32_t>(Tid);
    R.Kind = ekException;
    R.Address = static_cast<uint64_t>(Uc->uc_mcontext.gregs[REG_RIP]);
    R.StackPointer = static_cast<uint64_t>(Uc->uc_mcontext.gregs[REG_RSP]);
    R.FramePointer = static_cast<uint64_t>(Uc->uc_mcontext.gregs[REG_RBP]);
    R.Context = reinterpret_cast<uint64_t>(Uc);
    __builtin_memcpy(&R.SigInfo, Info, sizeof R.SigInfo);
    R.Source = esSignal;
    R.CanContinue = 0;
    if (Tid == MainTid.load())
        R.Flags |= rfMainThread;
    if ((Signal == SIGSEGV || Signal == SIGBUS) &&
        IsStackOverflow(Block, reinterpret_cast<uintptr_t>(Info->si_addr), R.StackPointer))
        R.Flags |= rfStackOverflow;
    TVerdict Verdict;
    if (SendRecord(R)) {
        Verdict = WaitForVerdict(Slot);
    } else {
        // No handler thread (it has not started, or the process is exiting):
        // the record is handled here, without windows.
        Verdict = HandleBracketed(R);
        Slot.State.store(slFree);
    }
    if (Verdict == vdRestart)
        ::_exit(2);
    if (WindowsLogo.load()) {
        DieBySignal(Signal);
        errno = SavedErrno;
        return;
    }
    ::_exit(1);
}

// --- The handler thread ------------------------------------------------------------------

// Handler thread. Reads whole records; the zero record (or the end of the
// pipe) ends it.
bool ReadRecord(int Fd, TExceptionRecord& Record)
{
    auto* Bytes = reinterpret_cast<char*>(&Record);
    std::size_t Have = 0;
    while (Have < sizeof Record) {
        const ssize_t N = ::read(Fd, Bytes + Have, sizeof Record - Have);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            return false;
        Have += static_cast<std::size_t>(N);
    }
    return true;
}

// Handler thread. Answers one record's slot.
void Answer(const TExceptionRecord& Record, TVerdict Verdict)
{
    if (Record.Slot == 0 || Record.Slot > static_cast<uint64_t>(SlotCount))
        return;
    TSlot& Slot = Slots[Record.Slot - 1];
    Slot.Verdict.store(Verdict);
    Slot.State.store(slDone);
    FutexWakeAll(Slot.State);
    if (Record.Flags & rfMainThread) {
        const uint64_t One = 1;
        [[maybe_unused]] const ssize_t N = ::write(MainWake.load(), &One, sizeof One);
    }
}

// Handler thread: its whole life.
void* HandlerThreadMain(void*)
{
    BlockFatalSignals();
    SetThreadName(OwnThreadId(), HandlerThreadName);
    HandlerTid.store(OwnThreadId());
    HandlerReady.store(1);
    FutexWakeAll(HandlerReady);
    const int Fd = PipeRead.load();
    TExceptionRecord Record;
    while (ReadRecord(Fd, Record) && Record.Slot != 0)
        Answer(Record, HandleBracketed(Record));
    HandlerTid.store(0);
    return nullptr;
}

// Handler thread. The default handling until the full one is installed: what
// happened, on stderr, and the verdict the record allows.
TVerdict DefaultHandleExceptionRecord(const TExceptionRecord& Record)
{
    RememberExceptionTime();
    const std::string Message = RecordMessage(Record);
    std::fprintf(stderr, "kelExcept: %s%s%s in %s\n", RecordClassName(Record).c_str(),
                 Message.empty() ? "" : ": ", Message.c_str(),
                 GetThreadName(static_cast<pid_t>(Record.ThreadId), true).c_str());
    return Record.CanContinue ? vdContinue : vdClose;
}

// --- Exception times and the reserve ---------------------------------------------------

std::mutex TimesLock;
std::array<int64_t, 10> Times{};

std::mutex ReserveLock;
void* Reserve = nullptr;
constexpr std::size_t ReserveSize = 8u << 20;

// Any thread. The object of an exception_ptr: libstdc++'s exception_ptr is
// that one pointer.
const void* PrimaryObject(const std::exception_ptr& P)
{
    static_assert(sizeof(std::exception_ptr) == sizeof(void*));
    const void* Object;
    std::memcpy(&Object, &P, sizeof Object);
    return Object;
}

// Any thread but a signal handler (it rethrows the exception to look at it).
bool IsSilentAbort(const std::exception_ptr& P)
{
    try {
        std::rethrow_exception(P);
    } catch (const ESilentAbort&) {
        return true;
    } catch (...) {
        return false;
    }
}

// Any thread but a signal handler (so are Hex and SignalDescription).
std::string Demangle(const char* Mangled)
{
    int Status = 0;
    std::unique_ptr<char, decltype(&std::free)> Out(
        abi::__cxa_demangle(Mangled, nullptr, nullptr, &Status), &std::free);
    return Status == 0 && Out ? std::string(Out.get()) : std::string(Mangled);
}

std::string Hex(uint64_t Value)
{
    return "$" + Int64ToHexA(static_cast<int64_t>(Value));
}

// Any thread but a signal handler. What a signal's code says, as the start
// of its message.
std::string SignalDescription(const siginfo_t& Info)
{
    switch (Info.si_signo) {
    case SIGSEGV:
        return Info.si_code == SEGV_ACCERR ? "Access violation (no permission)"
                                           : "Access violation";
    case SIGBUS:
        return Info.si_code == BUS_ADRALN   ? "Bus error (misaligned address)"
               : Info.si_code == BUS_ADRERR ? "Bus error (no such physical address)"
                                            : "Bus error";
    case SIGFPE:
        switch (Info.si_code) {
        case FPE_INTDIV:
            return "Integer division by zero";
        case FPE_INTOVF:
            return "Integer overflow";
        case FPE_FLTDIV:
            return "Floating-point division by zero";
        case FPE_FLTOVF:
            return "Floating-point overflow";
        case FPE_FLTUND:
            return "Floating-point underflow";
        case FPE_FLTRES:
            return "Floating-point inexact result";
        case FPE_FLTINV:
            return "Invalid floating-point operation";
        default:
            return "Arithmetic error";
        }
    case SIGILL:
        return Info.si_code == ILL_PRVOPC ? "Privileged instruction" : "Illegal instruction";
    case SIGABRT:
        return "Aborted";
    case SIGTRAP:
        return "Trace or breakpoint trap";
    case SIGSYS:
        return "Bad system call";
    default:
        return SignalName(Info.si_signo);
    }
}

} // namespace

// --- Settings of the capture ---------------------------------------------------------------

// Main thread, at start (so are the setters below; the getters any thread,
// also a signal handler).
void SetCaptureActive(bool On)
{
    Active.store(On);
}

bool CaptureActive()
{
    return Active.load();
}

void SetMainThreadId(pid_t ThreadId)
{
    MainTid.store(ThreadId);
}

pid_t MainThreadId()
{
    return MainTid.load();
}

void SetWindowsLogo(bool On)
{
    WindowsLogo.store(On);
}

// --- Per-thread state ----------------------------------------------------------------------

namespace {
constinit thread_local TThreadBlock Block{};
} // namespace

TThreadBlock& CurrentThreadBlock()
{
    return Block;
}

void ClearThreadException()
{
    TThreadBlock& B = Block;
    B.Raise.Object = nullptr;
    B.Raise.Type = nullptr;
    B.Raise.ThrowSite = 0;
    B.Raise.FrameCount = 0;
    for (TInnerException* Node = B.InnerChain; Node != nullptr;) {
        TInnerException* Next = Node->Next;
        delete Node;
        Node = Next;
    }
    B.InnerChain = nullptr;
}

void RecordStackBounds()
{
    pthread_attr_t Attr;
    if (::pthread_getattr_np(::pthread_self(), &Attr) != 0)
        return;
    void* Low = nullptr;
    std::size_t Size = 0;
    if (::pthread_attr_getstack(&Attr, &Low, &Size) == 0) {
        Block.StackLow = reinterpret_cast<uintptr_t>(Low);
        Block.StackHigh = Block.StackLow + Size;
    }
    ::pthread_attr_destroy(&Attr);
}

// --- The central entry -----------------------------------------------------------------------

TVerdict ReportException(const TReport& Report)
{
    if (!Active.load())
        return vdNone;
    const pid_t Tid = OwnThreadId();
    if (Tid == HandlerTid.load())
        return vdNone;
    const int Index = ClaimSlot();
    if (Index < 0)
        return vdNone;
    TSlot& Slot = Slots[Index];
    TExceptionRecord& R = Slot.Record;
    R = TExceptionRecord{};
    R.Slot = static_cast<uint64_t>(Index) + 1;
    R.ThreadId = static_cast<uint32_t>(Report.ThreadId != 0 ? Report.ThreadId : Tid);
    R.Kind = Report.Kind;
    R.Object = reinterpret_cast<uint64_t>(Report.Object);
    R.CanContinue = Report.CanContinue ? 1 : 0;
    R.Source = Report.Source;
    R.Context = reinterpret_cast<uint64_t>(Report.Context);
    R.StackPointer = Report.StackPointer != 0
                         ? Report.StackPointer
                         : reinterpret_cast<uint64_t>(__builtin_frame_address(0)) + 16;
    R.FramePointer = Report.FramePointer != 0
                         ? Report.FramePointer
                         : reinterpret_cast<uint64_t>(__builtin_frame_address(0));
    R.CallerValue1 = Report.CallerValue1;
    R.CallerValue2 = Report.CallerValue2;
    R.CallerValue3 = Report.CallerValue3;
    R.Text = reinterpret_cast<uint64_t>(Report.Text);
    R.TextLength = Report.TextLength;
    R.Address = Report.Address;
    const bool OnMain = Tid == MainTid.load();
    if (OnMain)
        R.Flags |= rfMainThread;
    TThreadBlock& B = Block;
    if (Report.Object != nullptr && *Report.Object &&
        PrimaryObject(*Report.Object) == B.Raise.Object) {
        R.RaiseInfo = reinterpret_cast<uint64_t>(&B.Raise);
        R.InnerChain = reinterpret_cast<uint64_t>(B.InnerChain);
        if (R.Address == 0)
            R.Address = B.Raise.ThrowSite;
    }
    if (R.Address == 0)
        R.Address = reinterpret_cast<uint64_t>(__builtin_return_address(0));
    TVerdict Verdict;
    if (SendRecord(R)) {
        Verdict = OnMain ? WaitForVerdictServingPort(Slot) : WaitForVerdict(Slot);
    } else {
        Verdict = HandleBracketed(R);
        Slot.State.store(slFree);
    }
    ClearThreadException();
    return Verdict;
}

TVerdict ReportCurrentException(uint32_t Source, bool CanContinue)
{
    const std::exception_ptr P = std::current_exception();
    if (P && IsSilentAbort(P)) {
        ClearThreadException();
        return CanContinue ? vdContinue : vdClose;
    }
    TReport R;
    R.Object = P ? &P : nullptr;
    R.Source = Source;
    R.CanContinue = CanContinue;
    return ReportException(R);
}

void ApplyVerdict(TVerdict Verdict, bool CanContinue)
{
    if (Verdict == vdRestart)
        ::_exit(2);
    if (Verdict == vdClose || (Verdict == vdContinue && !CanContinue))
        ::_exit(1);
}

void SetHandleExceptionRecord(THandleExceptionRecordProc Proc)
{
    HandlerProc.store(Proc);
}

THandleExceptionRecordProc InstalledHandleExceptionRecord()
{
    return HandlerProc.load();
}

TVerdict HandleExceptionRecord(const TExceptionRecord& Record)
{
    const THandleExceptionRecordProc Proc = HandlerProc.load();
    return Proc != nullptr ? Proc(Record) : DefaultHandleExceptionRecord(Record);
}

// --- The handler thread --------------------------------------------------------------------

bool StartHandlerThread()
{
    if (HandlerTid.load() != 0)
        return true;
    int Fds[2];
    if (::pipe2(Fds, O_CLOEXEC) != 0)
        return false;
    const int Wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (Wake < 0) {
        const int Saved = errno;
        ::close(Fds[0]);
        ::close(Fds[1]);
        errno = Saved;
        return false;
    }
    PipeRead.store(Fds[0]);
    PipeWrite.store(Fds[1]);
    MainWake.store(Wake);
    const int Rc = CreateLibraryThread(&HandlerHandle, HandlerThreadMain, nullptr);
    if (Rc != 0) {
        PipeRead.store(-1);
        PipeWrite.store(-1);
        MainWake.store(-1);
        ::close(Fds[0]);
        ::close(Fds[1]);
        ::close(Wake);
        errno = Rc;
        return false;
    }
    // Running once it has said its id: from then on reports go to it.
    while (HandlerReady.load() == 0)
        FutexWait(HandlerReady, 0);
    return true;
}

void StopHandlerThread()
{
    if (HandlerTid.load() == 0 || OwnThreadId() == HandlerTid.load())
        return;
    const TExceptionRecord Stop{};
    ssize_t N;
    do
        N = ::write(PipeWrite.load(), &Stop, sizeof Stop);
    while (N < 0 && errno == EINTR);
    if (!JoinLibraryThread(HandlerHandle, std::chrono::milliseconds(500))) {
        // Busy with a report that does not end: it is left to finish on its
        // own, and what it would read next is handled here.
        std::fprintf(stderr, "kelExcept: the handler thread did not end within 500 ms\n");
    }
    HandlerTid.store(0);
    HandlerReady.store(0);
    // Records sent while it was being stopped are handled here.
    const int Fd = PipeRead.load();
    for (;;) {
        pollfd P{Fd, POLLIN, 0};
        TExceptionRecord Record;
        if (::poll(&P, 1, 0) <= 0 || !ReadRecord(Fd, Record))
            break;
        if (Record.Slot != 0)
            Answer(Record, HandleBracketed(Record));
    }
}

// Preparing thread: its whole life. What walks need at crash time is taken
// off the program's start and off the handler thread (it can take a second or
// two): a report made meanwhile walks without it.
void* PrepareThreadMain(void*)
{
    BlockFatalSignals();
    if (!PrepareCrashTime())
        std::fprintf(stderr, "kelExcept: stack traces at crash time are not available (%s)\n",
                     std::strerror(errno));
    return nullptr;
}

bool StartCrashTimePreparation()
{
    if (PrepareStarted)
        return true;
    const int Rc = CreateLibraryThread(&PrepareHandle, PrepareThreadMain, nullptr);
    PrepareStarted = Rc == 0;
    errno = Rc;
    return PrepareStarted;
}

void WaitForCrashTimePreparation()
{
    if (!PrepareStarted)
        return;
    PrepareStarted = false;
    // Cut short by the program's end, it would read on while the program's
    // statics are destroyed: the end waits for it.
    if (!JoinLibraryThread(PrepareHandle, std::chrono::seconds(30)))
        std::fprintf(stderr, "kelExcept: the preparation of crash-time traces did not end\n");
}

pid_t HandlerThreadId()
{
    return HandlerTid.load();
}

// --- Fatal signals -----------------------------------------------------------------------

const std::array<int, 7>& FatalSignals()
{
    static const std::array<int, 7> Signals = {SIGSEGV, SIGBUS,  SIGFPE, SIGILL,
                                               SIGABRT, SIGTRAP, SIGSYS};
    return Signals;
}

bool InstallFatalSignalHandlers()
{
    PageSize = ::sysconf(_SC_PAGESIZE);
    struct sigaction Sa {};
    Sa.sa_sigaction = FatalSignalHandler;
    Sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&Sa.sa_mask);
    for (const int Signal : FatalSignals())
        if (::sigaction(Signal, &Sa, nullptr) != 0)
            return false;
    return true;
}

void BlockFatalSignals()
{
    sigset_t Set;
    sigemptyset(&Set);
    for (const int Signal : FatalSignals())
        sigaddset(&Set, Signal);
    ::pthread_sigmask(SIG_BLOCK, &Set, nullptr);
}

void MarkTerminateReported()
{
    TerminateReported.store(true);
}

std::string SignalName(int Signal)
{
    switch (Signal) {
    case SIGSEGV:
        return "SIGSEGV";
    case SIGBUS:
        return "SIGBUS";
    case SIGFPE:
        return "SIGFPE";
    case SIGILL:
        return "SIGILL";
    case SIGABRT:
        return "SIGABRT";
    case SIGTRAP:
        return "SIGTRAP";
    case SIGSYS:
        return "SIGSYS";
    default:
        return "signal " + std::to_string(Signal);
    }
}

// --- Last words ------------------------------------------------------------------------------

void SetLastWordsDescriptor(int Fd)
{
    if (const int Old = LastWordsFd.exchange(Fd); Old >= 0 && Old != Fd)
        ::close(Old);
}

std::size_t ComposeLastWords(char* Out, int Signal, const siginfo_t& Info, const ucontext_t& Uc)
{
    const auto& G = Uc.uc_mcontext.gregs;
    const int Order[18] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI,
                           REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                           REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
    char* At = Out + 4; // the length comes last
    At = PutLe(At, lfLastWords, 2);
    At = PutLe(At, static_cast<uint32_t>(::getpid()), 4);
    At = PutLe(At, static_cast<uint32_t>(OwnThreadId()), 4);
    At = PutLe(At, static_cast<uint32_t>(Signal), 4);
    At = PutLe(At, static_cast<uint32_t>(Info.si_code), 4);
    const bool Fault =
        Signal == SIGSEGV || Signal == SIGBUS || Signal == SIGILL || Signal == SIGFPE;
    At = PutLe(At, Fault ? reinterpret_cast<uint64_t>(Info.si_addr) : 0, 8);
    for (const int R : Order)
        At = PutLe(At, static_cast<uint64_t>(G[R]), 8);
    const auto Sp = static_cast<uint64_t>(G[REG_RSP]);
    At = PutLe(At, Sp, 8);
    // Copied through the kernel: a stack that ends in a guard page gives
    // what can be read and no fault.
    iovec Local{At + 4, LastWordsStack};
    iovec Remote{reinterpret_cast<void*>(Sp), LastWordsStack};
    ssize_t Got = Sp != 0 ? ::process_vm_readv(::getpid(), &Local, 1, &Remote, 1, 0) : -1;
    if (Got < 0) {
        // Page by page up to the first that cannot be read.
        Got = 0;
        while (Got < static_cast<ssize_t>(LastWordsStack)) {
            const uint64_t Page = (Sp + static_cast<uint64_t>(Got)) | 0xFFF;
            const std::size_t Chunk =
                std::min<std::size_t>(Page + 1 - (Sp + static_cast<uint64_t>(Got)),
                                      LastWordsStack - static_cast<std::size_t>(Got));
            iovec L{At + 4 + Got, Chunk};
            iovec R{reinterpret_cast<void*>(Sp + static_cast<uint64_t>(Got)), Chunk};
            const ssize_t Part = ::process_vm_readv(::getpid(), &L, 1, &R, 1, 0);
            if (Part <= 0)
                break;
            Got += Part;
        }
    }
    At = PutLe(At, static_cast<uint64_t>(Got), 4);
    At += Got;
    const auto Length = static_cast<std::size_t>(At - Out);
    PutLe(Out, Length - 4, 4);
    return Length;
}

// --- Reading a record ------------------------------------------------------------------------

std::string RecordClassName(const TExceptionRecord& Record)
{
    if (Record.Kind == ekFreeze)
        return "EFrozen";
    if (Record.SigInfo.si_signo != 0)
        return SignalName(Record.SigInfo.si_signo);
    const auto* Object = reinterpret_cast<const std::exception_ptr*>(Record.Object);
    if (Object == nullptr || !*Object)
        return "Unknown";
    const std::type_info* Type = Object->__cxa_exception_type();
    return Type != nullptr ? Demangle(Type->name()) : std::string("Unknown");
}

std::string RecordMessage(const TExceptionRecord& Record)
{
    if (Record.Kind == ekFreeze)
        return {};
    if (Record.SigInfo.si_signo != 0) {
        const siginfo_t& I = Record.SigInfo;
        std::string Text = SignalDescription(I) + " at address " + Hex(Record.Address);
        if (Record.Flags & rfStackOverflow)
            Text = "Stack overflow at address " + Hex(Record.Address);
        else if (I.si_signo == SIGSEGV || I.si_signo == SIGBUS)
            Text += ", accessing " + Hex(reinterpret_cast<uint64_t>(I.si_addr));
        if (I.si_code <= 0)
            Text += " (sent by process " + std::to_string(I.si_pid) + ")";
        return Text;
    }
    const auto* Object = reinterpret_cast<const std::exception_ptr*>(Record.Object);
    if (Object == nullptr || !*Object)
        return {};
    try {
        std::rethrow_exception(*Object);
    } catch (const std::exception& E) {
        return E.what();
    } catch (...) {
        return {};
    }
}

std::vector<TInnerException> RecordInnerExceptions(const TExceptionRecord& Record)
{
    std::vector<TInnerException> Inner;
    for (auto* Node = reinterpret_cast<const TInnerException*>(Record.InnerChain); Node != nullptr;
         Node = Node->Next)
        Inner.push_back(TInnerException{Node->ClassName, Node->Message, nullptr});
    return Inner;
}

// --- Exception times and the reserve ------------------------------------------------------------

void RememberExceptionTime()
{
    const int64_t Now = std::chrono::duration_cast<std::chrono::milliseconds>(
                            std::chrono::system_clock::now().time_since_epoch())
                            .count();
    std::lock_guard<std::mutex> Guard(TimesLock);
    for (std::size_t I = Times.size() - 1; I > 0; --I)
        Times[I] = Times[I - 1];
    Times[0] = Now;
}

std::array<int64_t, 10> LastExceptionTimes()
{
    std::lock_guard<std::mutex> Guard(TimesLock);
    return Times;
}

void SetLastExceptionTimes(const std::array<int64_t, 10>& NewTimes)
{
    std::lock_guard<std::mutex> Guard(TimesLock);
    Times = NewTimes;
}

bool RestoreReserve()
{
    std::lock_guard<std::mutex> Guard(ReserveLock);
    if (Reserve != nullptr)
        return true;
    void* Block =
        ::mmap(nullptr, ReserveSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (Block == MAP_FAILED)
        return false;
    Reserve = Block;
    return true;
}

void ReleaseReserve()
{
    std::lock_guard<std::mutex> Guard(ReserveLock);
    if (Reserve != nullptr)
        ::munmap(Reserve, ReserveSize);
    Reserve = nullptr;
}
