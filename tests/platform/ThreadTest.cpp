#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

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
