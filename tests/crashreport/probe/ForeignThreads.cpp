#include "tests/crashreport/probe/ForeignThreads.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <pthread.h>
#include <stdexcept>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct TQueue {
    std::atomic<pid_t> DispatcherId{0};
    std::mutex Lock;
    std::condition_variable Changed;
    std::deque<std::function<void()>> Work;
};
std::atomic<bool> SpinnerStop{false};
pthread_t Spinner{};

// The library's own thread, started while the library is loaded (before the
// probe's main runs); it starts the library's other threads.
void* Dispatcher(void* Arg)
{
    TQueue& Queue = *static_cast<TQueue*>(Arg);
    Queue.DispatcherId.store(static_cast<pid_t>(syscall(SYS_gettid)));
    for (;;) {
        std::function<void()> Next;
        {
            std::unique_lock<std::mutex> Guard(Queue.Lock);
            Queue.Changed.wait(Guard, [&Queue] { return !Queue.Work.empty(); });
            Next = std::move(Queue.Work.front());
            Queue.Work.pop_front();
        }
        Next();
    }
}

// Started as the library is loaded; the queue is never destroyed, since the
// dispatcher still waits on it while the process exits.
struct TDispatcherStart {
    TDispatcherStart()
    {
        pthread_t Thread;
        if (pthread_create(&Thread, nullptr, Dispatcher, Queue) == 0)
            pthread_detach(Thread);
    }
    TQueue* const Queue = new TQueue;
};
TDispatcherStart DispatcherStart;

void RunOnDispatcher(std::function<void()> Call)
{
    TQueue& Queue = *DispatcherStart.Queue;
    std::promise<void> Done;
    {
        std::lock_guard<std::mutex> Guard(Queue.Lock);
        Queue.Work.push_back([&] {
            Call();
            Done.set_value();
        });
    }
    Queue.Changed.notify_one();
    Done.get_future().wait();
}

__attribute__((noinline)) void* ForeignThrower(void*)
{
    throw std::runtime_error("thrown in a foreign thread");
}

__attribute__((noinline)) void* ForeignSpin(void* Out)
{
    static_cast<std::promise<pid_t>*>(Out)->set_value(static_cast<pid_t>(syscall(SYS_gettid)));
    while (!SpinnerStop.load())
        usleep(10000);
    return nullptr;
}

} // namespace

extern "C" void ForeignThrowInThread()
{
    RunOnDispatcher([] {
        pthread_t Thread;
        if (pthread_create(&Thread, nullptr, ForeignThrower, nullptr) == 0)
            pthread_join(Thread, nullptr);
    });
}

extern "C" pid_t ForeignStartSpinner()
{
    std::promise<pid_t> Tid;
    auto Answer = Tid.get_future();
    RunOnDispatcher([&] { pthread_create(&Spinner, nullptr, ForeignSpin, &Tid); });
    return Answer.get();
}

extern "C" void ForeignStopSpinner()
{
    SpinnerStop.store(true);
    pthread_join(Spinner, nullptr);
}

extern "C" pid_t ForeignDispatcherThreadId()
{
    while (DispatcherStart.Queue->DispatcherId.load() == 0)
        usleep(1000);
    return DispatcherStart.Queue->DispatcherId.load();
}
