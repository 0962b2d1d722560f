#include "platform/Thread.h"

#include "platform/Sockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

using namespace std::chrono_literals;
using platform::MainThread;

namespace {

class MainThreadTest : public ::testing::Test {
protected:
    void SetUp() override { MainThread().Install(); }
    void TearDown() override { MainThread().ProcessPending(); }
};

// Runs a function as its Execute.
class FnThread : public platform::TThread {
public:
    explicit FnThread(std::function<void(FnThread&)> Fn,
                      std::shared_ptr<platform::TThreadGroup> Group = nullptr,
                      std::atomic<int>* Destroyed = nullptr)
        : TThread(std::move(Group)), FFn(std::move(Fn)), FDestroyed(Destroyed)
    {
    }
    ~FnThread() override
    {
        if (!FreeOnTerminate && Started()) {
            Terminate();
            WaitFor();
        }
        if (FDestroyed)
            ++*FDestroyed;
    }
    using TThread::Synchronize;

protected:
    void Execute() override { FFn(*this); }

private:
    std::function<void(FnThread&)> FFn;
    std::atomic<int>* FDestroyed;
};

} // namespace

TEST_F(MainThreadTest, SynchronizeRunsInTheMainThreadAndWaits)
{
    const auto mainId = std::this_thread::get_id();
    std::thread::id ranIn;
    std::atomic<bool> returned{false};
    std::atomic<bool> sawResultBeforeReturn{false};
    int value = 0;
    std::thread worker([&] {
        MainThread().Synchronize([&] {
            ranIn = std::this_thread::get_id();
            value = 42;
        });
        // The call has completed by the time Synchronize returns.
        sawResultBeforeReturn = value == 42;
        returned = true;
    });
    std::this_thread::sleep_for(30ms);
    EXPECT_FALSE(returned.load()); // it waits for the main thread
    ASSERT_TRUE(MainThread().PumpUntil([&] { return returned.load(); }, 5s));
    worker.join();
    EXPECT_EQ(ranIn, mainId);
    EXPECT_TRUE(sawResultBeforeReturn.load());
}

TEST_F(MainThreadTest, AnExceptionOfTheCallReachesTheCallingThread)
{
    std::string caught;
    std::atomic<bool> done{false};
    std::thread worker([&] {
        try {
            MainThread().Synchronize([] { throw std::runtime_error("bad call"); });
        } catch (const std::runtime_error& e) {
            caught = e.what();
        }
        done = true;
    });
    ASSERT_TRUE(MainThread().PumpUntil([&] { return done.load(); }, 5s));
    worker.join();
    EXPECT_EQ(caught, "bad call");
}

TEST_F(MainThreadTest, InTheMainThreadTheCallRunsAtOnce)
{
    int n = 0;
    MainThread().Synchronize([&] { ++n; });
    EXPECT_EQ(n, 1);
    EXPECT_EQ(MainThread().ProcessPending(), 0);
}

TEST_F(MainThreadTest, WakeUpHookIsCalledForEveryQueuedCall)
{
    std::atomic<int> wakes{0};
    MainThread().SetWakeUp([&] { ++wakes; });
    std::atomic<int> done{0};
    std::vector<std::thread> workers;
    for (int i = 0; i < 4; ++i)
        workers.emplace_back([&] {
            MainThread().Synchronize([] {});
            ++done;
        });
    ASSERT_TRUE(MainThread().PumpUntil([&] { return done.load() == 4; }, 5s));
    for (auto& w : workers)
        w.join();
    MainThread().SetWakeUp(nullptr);
    EXPECT_EQ(wakes.load(), 4);
}

TEST(MainThreadMissing, SynchronizeRaisesWithoutAMainThread)
{
    MainThread().Uninstall();
    std::string caught;
    std::thread worker([&] {
        try {
            MainThread().Synchronize([] {});
        } catch (const platform::EThreadError& e) {
            caught = e.what();
        }
    });
    worker.join();
    EXPECT_NE(caught.find("main thread"), std::string::npos) << caught;
    EXPECT_THROW(MainThread().ProcessPending(), platform::EThreadError);
    MainThread().Install();
}

TEST_F(MainThreadTest, CreatedSuspendedAndRunsOnResume)
{
    std::atomic<bool> ran{false};
    FnThread t([&](FnThread&) { ran = true; });
    std::this_thread::sleep_for(20ms);
    EXPECT_FALSE(ran.load());
    EXPECT_FALSE(t.Started());
    t.Resume();
    t.Resume(); // a second call changes nothing
    t.WaitFor();
    EXPECT_TRUE(ran.load());
    EXPECT_TRUE(t.Finished());
}

TEST_F(MainThreadTest, TerminateEndsALoopingExecute)
{
    std::atomic<int> rounds{0};
    FnThread t([&](FnThread& self) {
        while (!self.Terminated()) {
            ++rounds;
            std::this_thread::sleep_for(1ms);
        }
    });
    t.Resume();
    while (rounds.load() < 3)
        std::this_thread::sleep_for(1ms);
    EXPECT_FALSE(t.Terminated());
    t.Terminate();
    t.WaitFor();
    EXPECT_TRUE(t.Terminated());
}

// A loopback UDP socket nobody sends to unless the test does.
struct QuietSocket {
    QuietSocket()
    {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (Fd.get() >= 0 && ::bind(Fd.get(), reinterpret_cast<sockaddr*>(&a), len) == 0 &&
            ::getsockname(Fd.get(), reinterpret_cast<sockaddr*>(&a), &len) == 0)
            Address = a;
    }
    bool Send() const
    {
        const platform::Socket out(::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        return ::sendto(out.get(), "x", 1, 0, reinterpret_cast<const sockaddr*>(&Address),
                        sizeof Address) == 1;
    }
    platform::Socket Fd{::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)};
    sockaddr_in Address{};
};

// A thread's own socket wait ends as stopped when the thread is terminated,
// during the wait or before it; an answer still ends it as ready, and a wait
// outside a thread, or of a thread nobody terminates, keeps its time-out.
TEST_F(MainThreadTest, TerminateEndsTheThreadsSocketWait)
{
    enum class When { During, Before, Answered, Never };
    const std::pair<When, platform::WaitResult> Cases[] = {
        {When::During, platform::WaitResult::Stopped},
        {When::Before, platform::WaitResult::Stopped},
        {When::Answered, platform::WaitResult::Ready},
        {When::Never, platform::WaitResult::Timeout},
    };
    for (const auto& [Case, Expected] : Cases) {
        QuietSocket sock;
        ASSERT_NE(sock.Address.sin_port, 0);
        // Long enough that a wait the stop did not end shows as a time-out.
        const int timeoutMs = Case == When::Never ? 50 : 20000;
        std::atomic<bool> go{Case != When::Before}, waiting{false};
        std::atomic<platform::WaitResult> result{platform::WaitResult::Error};
        FnThread t([&](FnThread&) {
            while (!go.load())
                std::this_thread::sleep_for(1ms);
            waiting = true;
            result = platform::WaitFor(sock.Fd.get(), POLLIN, timeoutMs);
        });
        t.Resume();
        if (Case == When::Before) {
            t.Terminate();
            go = true;
        }
        while (!waiting.load())
            std::this_thread::sleep_for(1ms);
        if (Case == When::During) {
            std::this_thread::sleep_for(50ms); // in poll by now, as a rule
            t.Terminate();
        }
        if (Case == When::Answered) {
            ASSERT_TRUE(sock.Send());
        }
        t.WaitFor();
        EXPECT_EQ(result.load(), Expected) << static_cast<int>(Case);
    }
    // No thread of ours: the main thread's wait is untouched by any stop.
    QuietSocket sock;
    EXPECT_EQ(platform::WaitFor(sock.Fd.get(), POLLIN, 20), platform::WaitResult::Timeout);
    EXPECT_EQ(platform::CurrentThreadStopFd(), -1);
}

TEST_F(MainThreadTest, WaitForInTheMainThreadServesTheThreadsCalls)
{
    // The thread needs the main thread twice before it can end; a plain join
    // would deadlock.
    int calls = 0;
    FnThread t([&](FnThread& self) {
        self.Synchronize([&] { ++calls; });
        self.Synchronize([&] { ++calls; });
    });
    t.Resume();
    t.WaitFor();
    EXPECT_EQ(calls, 2);
}

TEST_F(MainThreadTest, OnTerminateRunsInTheMainThreadAndTheThreadFreesItself)
{
    const auto mainId = std::this_thread::get_id();
    auto group = std::make_shared<platform::TThreadGroup>();
    std::atomic<int> destroyed{0};
    std::thread::id handlerIn;
    platform::TThread* sender = nullptr;
    auto* t = new FnThread([](FnThread&) {}, group, &destroyed);
    t->FreeOnTerminate = true;
    t->OnTerminate = [&](platform::TThread* Sender) {
        handlerIn = std::this_thread::get_id();
        sender = Sender;
        // The handler runs before the thread frees itself.
        EXPECT_EQ(destroyed.load(), 0);
    };
    EXPECT_EQ(group->Count(), 1);
    t->Resume();
    ASSERT_TRUE(MainThread().PumpUntil([&] { return group->Empty(); }, 5s));
    EXPECT_EQ(handlerIn, mainId);
    EXPECT_EQ(sender, t);
    EXPECT_EQ(destroyed.load(), 1);
}

TEST_F(MainThreadTest, AnExceptionInExecuteIsKeptAndTheThreadStillEnds)
{
    bool handlerRan = false;
    FnThread t([](FnThread&) { throw std::runtime_error("execute failed"); });
    t.OnTerminate = [&](platform::TThread*) { handlerRan = true; };
    t.Resume();
    t.WaitFor();
    EXPECT_TRUE(handlerRan);
    ASSERT_TRUE(t.FatalException);
    try {
        std::rethrow_exception(t.FatalException);
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "execute failed");
    }
}

TEST_F(MainThreadTest, GroupCountsUntilEveryThreadHasEnded)
{
    auto group = std::make_shared<platform::TThreadGroup>();
    std::atomic<bool> release{false};
    std::atomic<int> destroyed{0};
    for (int i = 0; i < 8; ++i) {
        auto* t = new FnThread(
            [&](FnThread&) {
                while (!release.load())
                    std::this_thread::sleep_for(1ms);
            },
            group, &destroyed);
        t->FreeOnTerminate = true;
        t->Resume();
    }
    // A thread that was never started leaves the group when it is deleted.
    auto* idle = new FnThread([](FnThread&) {}, group);
    EXPECT_EQ(group->Count(), 9);
    delete idle;
    EXPECT_EQ(group->Count(), 8);
    EXPECT_FALSE(MainThread().PumpUntil([&] { return group->Empty(); }, 30ms));
    release = true;
    ASSERT_TRUE(MainThread().PumpUntil([&] { return group->Empty(); }, 5s));
    EXPECT_EQ(destroyed.load(), 8);
}

TEST_F(MainThreadTest, WaitingForAThreadThatFreesItselfIsRefused)
{
    FnThread t([](FnThread&) {});
    t.FreeOnTerminate = true;
    EXPECT_THROW(t.WaitFor(), platform::EThreadError);
    t.FreeOnTerminate = false; // never started: deleted normally
}
