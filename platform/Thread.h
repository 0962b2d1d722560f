// Threads in the class library's manner, and the main thread they call into.
//
// A TThread is created suspended and starts running Execute on Resume. It is
// asked to end with Terminate; Execute looks at Terminated and returns. When
// Execute has returned, the OnTerminate event runs in the main thread, and a
// thread with FreeOnTerminate set then deletes itself.
//
// The main thread is the one that installs the dispatcher (MainThread()
// .Install()). Synchronize(fn) from any other thread queues fn for the main
// thread and waits until it has run there; from the main thread it runs fn at
// once. Whoever drives the main thread serves the queue: the GUI posts a
// wake-up into its event loop (SetWakeUp) and calls ProcessPending there;
// tests and owners that wait for their threads call PumpUntil.
//
// An owner that goes away must not leave a thread behind that still points
// into it: it terminates its threads, clears their links to itself, and keeps
// serving their synchronized calls until a TThreadGroup they all belong to
// reports that the last one has finished.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace platform {

// A thread call that cannot be made (no main thread, a second Resume...).
class EThreadError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The queue of calls waiting for the main thread.
class TMainThreadDispatcher {
public:
    // Makes the calling thread the main thread.
    void Install();
    // Forgets the main thread; Synchronize raises until the next Install.
    void Uninstall();
    bool IsInstalled() const;
    // True in the thread that called Install.
    bool IsMainThread() const;

    // Called (in the posting thread) whenever a call is queued, so that an
    // event loop can schedule ProcessPending; empty: nobody is woken.
    void SetWakeUp(std::function<void()> WakeUp);

    // Queues Call and waits until the main thread has run it; an exception
    // that Call raises is raised again here. In the main thread Call runs at
    // once. Raises EThreadError when no main thread is installed.
    void Synchronize(const std::function<void()>& Call);

    // Main thread: runs every queued call, also those queued meanwhile;
    // returns how many ran.
    int ProcessPending();
    // Main thread: serves queued calls until Done() is true or Timeout has
    // passed; returns Done() at the end. Done is checked in the main thread
    // after every call and whenever Wake() is called.
    bool PumpUntil(const std::function<bool()>& Done, std::chrono::milliseconds Timeout);
    // Makes a waiting PumpUntil look at its condition again.
    void Wake();

private:
    struct TCall;
    mutable std::mutex FLock;
    std::condition_variable FChanged;
    std::deque<std::shared_ptr<TCall>> FQueue;
    std::thread::id FMainThread;
    bool FInstalled = false;
    unsigned long FWakeCount = 0;
    std::function<void()> FWakeUp;
};

// The program's one dispatcher.
TMainThreadDispatcher& MainThread();

// Routines through which the crash reporter learns of every TThread, set once
// at start-up (plain routines, so that this layer needs nothing of it): Started
// runs first in each new thread with the mangled name of the thread object's
// class; Escaped runs inside the catch that takes what escaped Execute, before
// FatalException and OnTerminate see it as always. Null: nothing is called.
struct TThreadHooks {
    void (*Started)(const char* TypeName) = nullptr;
    void (*Escaped)() = nullptr;
};
void SetThreadHooks(const TThreadHooks& Hooks);

// Counts the threads that belong to an owner until each has completely
// finished (Execute, OnTerminate, and its own deletion when it frees itself).
class TThreadGroup {
public:
    int Count() const { return FCount.load(); }
    bool Empty() const { return FCount.load() == 0; }

private:
    friend class TThread;
    std::atomic<int> FCount{0};
};

class TThread {
public:
    // Created suspended; with a group the thread counts in it until it has
    // finished.
    explicit TThread(std::shared_ptr<TThreadGroup> Group = nullptr);
    TThread(const TThread&) = delete;
    TThread& operator=(const TThread&) = delete;
    // A thread that was resumed and does not free itself is terminated and
    // waited for; one that frees itself must not be deleted once resumed.
    virtual ~TThread();

    // Starts the thread; a second call does nothing.
    void Resume();
    bool Started() const { return FStarted; }
    // Asks Execute to end; never waits. A wait of the thread's own in
    // WaitFor (platform/Sockets.h) ends at once, as stopped.
    void Terminate();
    bool Terminated() const { return FTerminated.load(); }
    // Waits until Execute and OnTerminate are over. Calls from the main
    // thread serve synchronized calls meanwhile, so the thread cannot block on
    // the caller. Not for threads that free themselves.
    void WaitFor();
    bool Finished() const { return FFinished.load(); }

    // Set before Resume.
    bool FreeOnTerminate = false;
    // Runs in the main thread after Execute; changed in the main thread only.
    std::function<void(TThread*)> OnTerminate;

    // What escaped Execute, if anything.
    std::exception_ptr FatalException;

protected:
    virtual void Execute() = 0;
    // Runs Call in the main thread and waits for it.
    void Synchronize(const std::function<void()>& Call);

private:
    static void Run(TThread* Self);

    std::shared_ptr<TThreadGroup> FGroup;
    std::thread FHandle;
    bool FStarted = false;
    std::atomic<bool> FTerminated{false};
    std::atomic<bool> FFinished{false};
    // Readable once Terminate was called (an eventfd; -1 when none could be made).
    int FStopFd = -1;
};

// The descriptor that becomes readable when the TThread that runs the caller
// is terminated; -1 outside a TThread.
int CurrentThreadStopFd();

} // namespace platform
