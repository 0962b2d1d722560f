#include "platform/Thread.h"

#include <cstdint>
#include <typeinfo>

#include <sys/eventfd.h>
#include <unistd.h>

namespace platform {

struct TMainThreadDispatcher::TCall {
    const std::function<void()>* Fn = nullptr;
    bool Done = false;
    std::exception_ptr Error;
    std::condition_variable Finished;
};

void TMainThreadDispatcher::Install()
{
    std::lock_guard<std::mutex> lock(FLock);
    FMainThread = std::this_thread::get_id();
    FInstalled = true;
}

void TMainThreadDispatcher::Uninstall()
{
    std::lock_guard<std::mutex> lock(FLock);
    FInstalled = false;
    FMainThread = std::thread::id();
}

bool TMainThreadDispatcher::IsInstalled() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FInstalled;
}

bool TMainThreadDispatcher::IsMainThread() const
{
    std::lock_guard<std::mutex> lock(FLock);
    return FInstalled && FMainThread == std::this_thread::get_id();
}

void TMainThreadDispatcher::SetWakeUp(std::function<void()> WakeUp)
{
    std::lock_guard<std::mutex> lock(FLock);
    FWakeUp = std::move(WakeUp);
}

void TMainThreadDispatcher::Synchronize(const std::function<void()>& Call)
{
    auto call = std::make_shared<TCall>();
    call->Fn = &Call;
    std::function<void()> wakeUp;
    {
        std::lock_guard<std::mutex> lock(FLock);
        if (!FInstalled)
            throw EThreadError("No main thread is installed for synchronized calls");
        if (FMainThread == std::this_thread::get_id()) {
            call.reset();
        } else {
            FQueue.push_back(call);
            wakeUp = FWakeUp;
        }
    }
    if (!call) {
        Call();
        return;
    }
    FChanged.notify_all();
    if (wakeUp)
        wakeUp();
    std::unique_lock<std::mutex> lock(FLock);
    call->Finished.wait(lock, [&] { return call->Done; });
    if (call->Error)
        std::rethrow_exception(call->Error);
}

int TMainThreadDispatcher::ProcessPending()
{
    if (!IsMainThread())
        throw EThreadError("Synchronized calls are served in the main thread only");
    int count = 0;
    for (;;) {
        std::shared_ptr<TCall> call;
        {
            std::lock_guard<std::mutex> lock(FLock);
            if (FQueue.empty())
                return count;
            call = std::move(FQueue.front());
            FQueue.pop_front();
        }
        std::exception_ptr error;
        try {
            (*call->Fn)();
        } catch (...) {
            error = std::current_exception();
        }
        ++count;
        {
            std::lock_guard<std::mutex> lock(FLock);
            call->Error = error;
            call->Done = true;
        }
        call->Finished.notify_one();
    }
}

bool TMainThreadDispatcher::PumpUntil(const std::function<bool()>& Done,
                                      std::chrono::milliseconds Timeout)
{
    const auto deadline = std::chrono::steady_clock::now() + Timeout;
    for (;;) {
        ProcessPending();
        if (Done())
            return true;
        std::unique_lock<std::mutex> lock(FLock);
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        const unsigned long wakes = FWakeCount;
        FChanged.wait_until(lock, deadline, [&] { return !FQueue.empty() || FWakeCount != wakes; });
    }
    ProcessPending();
    return Done();
}

void TMainThreadDispatcher::Wake()
{
    {
        std::lock_guard<std::mutex> lock(FLock);
        ++FWakeCount;
    }
    FChanged.notify_all();
}

TMainThreadDispatcher& MainThread()
{
    // Never destroyed: a thread that ends during program exit may still
    // queue its last call.
    static auto* dispatcher = new TMainThreadDispatcher;
    return *dispatcher;
}

namespace {

thread_local int ThreadStopFd = -1;
std::atomic<void (*)(const char*)> StartedHook{nullptr};
std::atomic<void (*)()> EscapedHook{nullptr};

} // namespace

void SetThreadHooks(const TThreadHooks& Hooks)
{
    StartedHook.store(Hooks.Started);
    EscapedHook.store(Hooks.Escaped);
}

int CurrentThreadStopFd()
{
    return ThreadStopFd;
}

TThread::TThread(std::shared_ptr<TThreadGroup> Group)
    : FGroup(std::move(Group)), FStopFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    if (FGroup)
        ++FGroup->FCount;
}

void TThread::Terminate()
{
    FTerminated.store(true);
    if (FStopFd >= 0) {
        const std::uint64_t One = 1;
        [[maybe_unused]] const ssize_t N = ::write(FStopFd, &One, sizeof One);
    }
}

TThread::~TThread()
{
    if (FStarted && !FreeOnTerminate && FHandle.joinable()) {
        Terminate();
        WaitFor();
    }
    if (!FStarted && FGroup) {
        --FGroup->FCount;
        MainThread().Wake();
    }
    if (FStopFd >= 0)
        ::close(FStopFd);
}

void TThread::Resume()
{
    if (FStarted)
        return;
    FStarted = true;
    // A thread that frees itself is detached here, before it can run: no
    // other thread touches its handle again.
    std::thread handle(Run, this);
    if (FreeOnTerminate)
        handle.detach();
    else
        FHandle = std::move(handle);
}

void TThread::WaitFor()
{
    if (FreeOnTerminate)
        throw EThreadError("A thread that frees itself cannot be waited for");
    if (!FStarted)
        return;
    if (MainThread().IsMainThread())
        MainThread().PumpUntil([this] { return Finished(); }, std::chrono::hours(24 * 365));
    if (FHandle.joinable())
        FHandle.join();
}

void TThread::Synchronize(const std::function<void()>& Call)
{
    MainThread().Synchronize(Call);
}

void TThread::Run(TThread* Self)
{
    // Everything Run needs after the object may be gone is held locally.
    std::shared_ptr<TThreadGroup> group = Self->FGroup;
    ThreadStopFd = Self->FStopFd;
    if (auto started = StartedHook.load())
        started(typeid(*Self).name());
    try {
        Self->Execute();
    } catch (...) {
        if (auto escaped = EscapedHook.load())
            escaped();
        Self->FatalException = std::current_exception();
    }
    // The descriptor goes with the object, which may be gone soon.
    ThreadStopFd = -1;
    try {
        // OnTerminate is read in the main thread, where the owner changes it.
        MainThread().Synchronize([Self] {
            if (Self->OnTerminate) {
                auto handler = Self->OnTerminate;
                handler(Self);
            }
        });
    } catch (...) {
        // No main thread or a failing handler: the thread still ends.
    }
    const bool freeSelf = Self->FreeOnTerminate;
    if (freeSelf)
        delete Self;
    else
        Self->FFinished.store(true);
    // A main thread waiting in WaitFor or for the group looks again.
    MainThread().Wake();
    if (group) {
        --group->FCount;
        MainThread().Wake();
    }
}

} // namespace platform
