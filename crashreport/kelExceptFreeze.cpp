#include "crashreport/kelExceptFreeze.h"
#include "crashlib/kelStackTrace.h"
#include "crashlib/kelTools.h"
#include "crashreport/kelExceptHandler.h"
#include "crashreport/kelExceptInit.h"
#include "crashreport/kelExceptThreads.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <linux/futex.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

namespace {

// Any thread, also a signal handler.
pid_t OwnThreadId()
{
    return CallingThreadId();
}

// Any thread. One count into an eventfd.
void WriteOne(int Fd)
{
    const uint64_t One = 1;
    [[maybe_unused]] const ssize_t N = ::write(Fd, &One, sizeof One);
}

// Any thread. True when something was waiting in the eventfd (and takes it).
bool TakeAll(int Fd)
{
    uint64_t Count = 0;
    return ::read(Fd, &Count, sizeof Count) == static_cast<ssize_t>(sizeof Count) && Count > 0;
}

// --- The watchdog ---------------------------------------------------------------------------

// Rounds without an answer that make a freeze.
constexpr int MissesForFreeze = 10;

struct TWatchdog {
    std::mutex Lock;
    std::condition_variable Changed;
    bool Running = false;
    bool Stopping = false;
    int Handling = 0;       // reports being handled now
    bool CountAnew = false; // a report ended: misses start again from 0
    int AnswerFd = -1;      // the probe's answers
    int StopFd = -1;
    HMsgPort MainPort = 0;
    uint32_t ProbeMsg = 0;
    int TimeoutSeconds = 60;
    pthread_t Handle{};
};

// Any thread.
TWatchdog& Watchdog()
{
    static auto* W = new TWatchdog;
    return *W;
}

std::atomic<pid_t> WatchdogTid{0};
std::atomic<uint32_t> FreezeReports{0};
// The answer descriptor as the probe's handler reads it (-1: none).
std::atomic<int> ProbeAnswerFd{-1};

// Main thread, for every probe message its event loop takes from its port.
void ProbeHandler(HMsgPort, uint32_t, uintptr_t, intptr_t& Result, intptr_t)
{
    const int Fd = ProbeAnswerFd.load();
    if (Fd >= 0)
        WriteOne(Fd);
    Result = 777;
}

// Watchdog thread. The freeze report, with the main thread's registers as
// they are now.
void ReportFreeze()
{
    ucontext_t Uc{};
    TReport R;
    R.Kind = ekFreeze;
    R.Source = esFreeze;
    R.CanContinue = true;
    R.ThreadId = MainThreadId();
    {
        TPausedThread Main;
        if (Main.Pause(MainThreadId(), 1000)) {
            const TThreadContext& C = Main.Context();
            auto& G = Uc.uc_mcontext.gregs;
            G[REG_RAX] = static_cast<greg_t>(C.Regs[0]);
            G[REG_RDX] = static_cast<greg_t>(C.Regs[1]);
            G[REG_RCX] = static_cast<greg_t>(C.Regs[2]);
            G[REG_RBX] = static_cast<greg_t>(C.Regs[3]);
            G[REG_RSI] = static_cast<greg_t>(C.Regs[4]);
            G[REG_RDI] = static_cast<greg_t>(C.Regs[5]);
            G[REG_RBP] = static_cast<greg_t>(C.Regs[6]);
            G[REG_RSP] = static_cast<greg_t>(C.Regs[7]);
            for (int I = 0; I < 8; ++I)
                G[REG_R8 + I] = static_cast<greg_t>(C.Regs[8 + I]);
            G[REG_RIP] = static_cast<greg_t>(C.Regs[16]);
            R.Context = &Uc;
            R.Address = C.Ip();
            R.StackPointer = C.Sp();
            R.FramePointer = C.Fp();
        }
    }
    FreezeReports.fetch_add(1);
    ReportException(R);
}

// Watchdog thread: its whole life.
void* WatchdogMain(void*)
{
    BlockFatalSignals();
    SetThreadName(OwnThreadId(), FreezeThreadName);
    WatchdogTid.store(OwnThreadId());
    TWatchdog& W = Watchdog();
    const long Base = 100L * W.TimeoutSeconds;
    long Round = Base;
    int Misses = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> Guard(W.Lock);
            W.Changed.wait(Guard, [&W] { return W.Stopping || W.Handling == 0; });
            if (W.Stopping)
                break;
            if (W.CountAnew) {
                W.CountAnew = false;
                Misses = 0;
            }
        }
        PostMsg(W.MainPort, W.ProbeMsg);
        // The round lasts its full time; only a stop ends it early.
        pollfd Stop{W.StopFd, POLLIN, 0};
        int Rc;
        do
            Rc = ::poll(&Stop, 1, static_cast<int>(Round));
        while (Rc < 0 && errno == EINTR);
        if (Rc > 0)
            break;
        const bool Answered = TakeAll(W.AnswerFd);
        {
            std::lock_guard<std::mutex> Guard(W.Lock);
            // A report began during the round: the round does not count.
            if (W.Handling > 0 || W.CountAnew)
                continue;
        }
        if (Answered) {
            Misses = 0;
            Round = Base;
        } else if (++Misses >= MissesForFreeze) {
            ReportFreeze();
            Misses = 0;
            Round += Round / 2;
        }
    }
    WatchdogTid.store(0);
    return nullptr;
}

} // namespace

bool StartFreezeWatchdog(int FreezeTimeoutSeconds)
{
    TWatchdog& W = Watchdog();
    std::lock_guard<std::mutex> Guard(W.Lock);
    if (W.Running)
        return true;
    W.TimeoutSeconds = FreezeTimeoutSeconds < 1 ? 1 : FreezeTimeoutSeconds;
    W.AnswerFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    W.StopFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    W.MainPort = GetMsgHandlerWindow();
    W.ProbeMsg = W.MainPort != 0 ? AddMsgHandler(ProbeHandler) : 0;
    // Handling counts reports (and the handler thread's preparation) that
    // may have begun before the watchdog: it is not reset here.
    W.Stopping = false;
    ProbeAnswerFd.store(W.AnswerFd);
    if (W.AnswerFd < 0 || W.StopFd < 0 || W.ProbeMsg == 0 ||
        CreateLibraryThread(&W.Handle, WatchdogMain, nullptr) != 0) {
        if (W.ProbeMsg != 0)
            DelMsgHandler(ProbeHandler);
        ProbeAnswerFd.store(-1);
        if (W.AnswerFd >= 0)
            ::close(W.AnswerFd);
        if (W.StopFd >= 0)
            ::close(W.StopFd);
        W.AnswerFd = W.StopFd = -1;
        return false;
    }
    W.Running = true;
    return true;
}

void StopFreezeWatchdog()
{
    TWatchdog& W = Watchdog();
    {
        std::lock_guard<std::mutex> Guard(W.Lock);
        if (!W.Running || OwnThreadId() == WatchdogTid.load())
            return;
        W.Stopping = true;
    }
    W.Changed.notify_all();
    WriteOne(W.StopFd);
    // A watchdog inside a report that does not end is left to itself.
    const bool Ended = JoinLibraryThread(W.Handle, std::chrono::milliseconds(500));
    DelMsgHandler(ProbeHandler);
    ProbeAnswerFd.store(-1);
    std::lock_guard<std::mutex> Guard(W.Lock);
    if (Ended) {
        ::close(W.AnswerFd);
        ::close(W.StopFd);
    }
    W.AnswerFd = W.StopFd = -1;
    W.Running = false;
}

pid_t FreezeWatchdogThreadId()
{
    return WatchdogTid.load();
}

void SetHandlingException(bool Handling)
{
    if (OwnThreadId() == WatchdogTid.load())
        return;
    TWatchdog& W = Watchdog();
    {
        std::lock_guard<std::mutex> Guard(W.Lock);
        if (Handling) {
            ++W.Handling;
        } else if (W.Handling > 0) {
            --W.Handling;
            W.CountAnew = true;
        }
    }
    W.Changed.notify_all();
}

uint32_t FreezeReportCount()
{
    return FreezeReports.load();
}

// --- Pausing --------------------------------------------------------------------------------

namespace {

enum : uint32_t { pkIdle = 0, pkRequested = 1, pkParked = 2, pkAbandoned = 3 };

struct TParkEntry {
    std::atomic<pid_t> ThreadId{0};
    std::atomic<uint32_t> State{pkIdle};
    gregset_t Registers{};
};

constexpr int MaxParked = 1024;
TParkEntry Park[MaxParked];
std::atomic<int> ParkCount{0};
// Odd while closed; every change counts up, so that a thread parked at one
// closing never mistakes a later one for its own.
std::atomic<uint32_t> Gate{0};
std::atomic<uint32_t> Acknowledged{0};

std::mutex PauseLock;
bool Paused = false;

// Signal handler, on the thread's alternate stack. Stores the registers,
// acknowledges and waits until the gate opens.
void ParkHandler(int, siginfo_t*, void* Raw)
{
    const int SavedErrno = errno;
    const uint32_t Closed = Gate.load();
    if (Closed & 1) {
        const pid_t Tid = OwnThreadId();
        const int Count = ParkCount.load();
        for (int I = 0; I < Count; ++I) {
            TParkEntry& E = Park[I];
            if (E.ThreadId.load() != Tid)
                continue;
            const auto* Uc = static_cast<const ucontext_t*>(Raw);
            __builtin_memcpy(&E.Registers, &Uc->uc_mcontext.gregs, sizeof E.Registers);
            uint32_t Expected = pkRequested;
            if (E.State.compare_exchange_strong(Expected, pkParked)) {
                Acknowledged.fetch_add(1);
                FutexWakeAll(Acknowledged);
                while (Gate.load() == Closed)
                    FutexWait(Gate, Closed);
            }
            break;
        }
    }
    errno = SavedErrno;
}

// Handler thread (whoever pauses), once.
void InstallParkHandler()
{
    static std::once_flag Once;
    std::call_once(Once, [] {
        struct sigaction Sa {};
        Sa.sa_sigaction = ParkHandler;
        Sa.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
        sigemptyset(&Sa.sa_mask);
        ::sigaction(ParkSignal(), &Sa, nullptr);
    });
}

// Any thread.
long MillisecondsSince(const timespec& Start)
{
    timespec Now{};
    ::clock_gettime(CLOCK_MONOTONIC, &Now);
    return (Now.tv_sec - Start.tv_sec) * 1000 + (Now.tv_nsec - Start.tv_nsec) / 1000000;
}

} // namespace

int ParkSignal()
{
    return SIGRTMIN + 8;
}

void PauseThreads(bool Pause, pid_t ExcludedThread)
{
    std::lock_guard<std::mutex> Guard(PauseLock);
    if (!Pause) {
        if (!Paused)
            return;
        Paused = false;
        Gate.fetch_add(1);
        FutexWakeAll(Gate);
        return;
    }
    if (Paused)
        return;
    InstallParkHandler();
    const pid_t Self = OwnThreadId();
    int Count = 0;
    for (const TThreadEntry& E : ListThreadEntries()) {
        if (!E.Own || E.ThreadId == Self || E.ThreadId == MainThreadId() ||
            E.ThreadId == ExcludedThread || E.ThreadId == HandlerThreadId() ||
            E.ThreadId == FreezeWatchdogThreadId() || IsLibraryThreadName(E.Name))
            continue;
        if (Count == MaxParked)
            break;
        Park[Count].ThreadId.store(E.ThreadId);
        Park[Count].State.store(pkRequested);
        ++Count;
    }
    ParkCount.store(Count);
    Acknowledged.store(0);
    Gate.fetch_add(1);
    Paused = true;
    uint32_t Signalled = 0;
    for (int I = 0; I < Count; ++I) {
        if (::syscall(SYS_tgkill, ::getpid(), Park[I].ThreadId.load(), ParkSignal()) == 0)
            ++Signalled;
        else
            Park[I].State.store(pkAbandoned);
    }
    // Every thread has 200 ms to acknowledge; one that did not is "<not paused>".
    timespec Start{};
    ::clock_gettime(CLOCK_MONOTONIC, &Start);
    for (uint32_t Seen = Acknowledged.load(); Seen < Signalled; Seen = Acknowledged.load()) {
        const long Left = 200 - MillisecondsSince(Start);
        if (Left <= 0)
            break;
        FutexWait(Acknowledged, Seen, Left);
    }
    for (int I = 0; I < Count; ++I) {
        uint32_t Expected = pkRequested;
        Park[I].State.compare_exchange_strong(Expected, pkAbandoned);
    }
}

std::vector<TParkedThread> ParkedThreads()
{
    std::lock_guard<std::mutex> Guard(PauseLock);
    std::vector<TParkedThread> List;
    if (!Paused)
        return List;
    const int Count = ParkCount.load();
    for (int I = 0; I < Count; ++I) {
        TParkedThread P;
        P.ThreadId = Park[I].ThreadId.load();
        P.Parked = Park[I].State.load() == pkParked;
        if (P.Parked)
            std::memcpy(&P.Registers, &Park[I].Registers, sizeof P.Registers);
        List.push_back(P);
    }
    return List;
}

bool GetParkedContext(pid_t ThreadId, gregset_t& Registers)
{
    std::lock_guard<std::mutex> Guard(PauseLock);
    if (!Paused)
        return false;
    const int Count = ParkCount.load();
    for (int I = 0; I < Count; ++I)
        if (Park[I].ThreadId.load() == ThreadId && Park[I].State.load() == pkParked) {
            std::memcpy(&Registers, &Park[I].Registers, sizeof Registers);
            return true;
        }
    return false;
}
