#include "crashlib/kelTools.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

// What the handlers saw, in order: "<tag>:<msg>:<wparam>:<lparam>".
thread_local std::vector<std::string> Seen;

template <char Tag>
void Note(HMsgPort, uint32_t Msg, uintptr_t WParam, intptr_t& Result, intptr_t LParam)
{
    Seen.push_back(std::string(1, Tag) + ":" + std::to_string(Msg) + ":" + std::to_string(WParam) +
                   ":" + std::to_string(LParam) + ":" + std::to_string(Result));
    Result += 1;
}

struct TCounter {
    std::atomic<int> Calls{0};
    std::atomic<bool> Freed{false};
};

void CountMethod(void* Instance, HMsgPort, uint32_t, uintptr_t, intptr_t&, intptr_t)
{
    auto* C = static_cast<TCounter*>(Instance);
    EXPECT_FALSE(C->Freed.load()) << "a removed routine was called";
    std::this_thread::sleep_for(std::chrono::microseconds(50));
    C->Calls.fetch_add(1);
}

bool FdReadable(int Fd)
{
    pollfd P{Fd, POLLIN, 0};
    return poll(&P, 1, 0) == 1 && (P.revents & POLLIN);
}

// A thread with a port of its own, draining it until told to stop. Work can
// be handed to it and is run there, between drains.
class TPortThread {
public:
    TPortThread()
        : Thread([this] {
              {
                  std::lock_guard<std::mutex> G(Lock);
                  Tid = gettid();
                  Fd = GetMsgPortFd();
              }
              Ready.notify_all();
              while (!Stop.load()) {
                  pollfd P{Fd, POLLIN, 0};
                  poll(&P, 1, 5);
                  DrainMsgPort();
                  RunWork();
              }
          })
    {
        std::unique_lock<std::mutex> G(Lock);
        Ready.wait(G, [this] { return Tid != 0; });
    }
    ~TPortThread()
    {
        Stop = true;
        Thread.join();
    }
    // Runs F on the port's thread and waits for it.
    void Do(std::function<void()> F)
    {
        std::unique_lock<std::mutex> G(Lock);
        Work = std::move(F);
        Ready.wait(G, [this] { return !Work; });
    }
    pid_t Tid = 0;

private:
    void RunWork()
    {
        std::unique_lock<std::mutex> G(Lock);
        if (Work) {
            Work();
            Work = nullptr;
            Ready.notify_all();
        }
    }
    std::mutex Lock;
    std::condition_variable Ready;
    std::function<void()> Work;
    std::atomic<bool> Stop{false};
    int Fd = -1;
    std::thread Thread;
};

bool WaitFor(const std::function<bool()>& Done)
{
    for (int I = 0; I < 2000 && !Done(); ++I)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return Done();
}

} // namespace

TEST(CrashlibMsgPort, NumbersFromTenTwentyFourAndDuplicatesRefused)
{
    std::thread([] {
        const HMsgPort Port = GetMsgHandlerWindow();
        ASSERT_NE(Port, 0u);
        EXPECT_EQ(GetMsgHandlerWindow(), Port);
        EXPECT_EQ(AddMsgHandler(&Note<'a'>, 1024), 1024u);
        EXPECT_EQ(AddMsgHandler(&Note<'b'>, 1025), 1025u);
        EXPECT_EQ(AddMsgHandler(&Note<'c'>, 0), 1026u);
        EXPECT_EQ(AddMsgHandler(&Note<'a'>, 1024), 0u) << "same routine, same message";
        EXPECT_EQ(AddMsgHandler(&Note<'a'>, 0), 1027u) << "same routine, new number";
        EXPECT_EQ(AddMsgHandler(nullptr, 2000), 0u);
        TCounter One, Two;
        EXPECT_EQ(AddMsgHandlerEx(nullptr, 2000, 0, &CountMethod, &One), 2000u);
        EXPECT_EQ(AddMsgHandlerEx(nullptr, 2000, 0, &CountMethod, &Two), 2000u);
        EXPECT_EQ(AddMsgHandlerEx(nullptr, 2000, 0, &CountMethod, &One), 0u);
        DelMsgHandler(&Note<'a'>);
        DelMsgHandler(&Note<'b'>);
        DelMsgHandler(&Note<'c'>);
        DelMsgHandlerEx(nullptr, 0, 0, &CountMethod, &One);
        DelMsgHandlerEx(nullptr, 0, 0, &CountMethod, &Two);
        EXPECT_FALSE(PostMsg(Port, 1024)) << "the port went with its last routine";
        EXPECT_NE(GetMsgHandlerWindow(), Port) << "a new port, never the old number";
    }).join();
}

TEST(CrashlibMsgPort, MessagesReachTheirRoutinesInOrderAndTheFilterHoldsBackSystemNoise)
{
    std::thread([] {
        Seen.clear();
        const int Fd = GetMsgPortFd();
        ASSERT_GE(Fd, 0);
        ASSERT_EQ(AddMsgHandler(&Note<'s'>, 0x11), 0x11u); // passed on
        ASSERT_EQ(AddMsgHandler(&Note<'x'>, 0x13), 0x13u); // held back
        ASSERT_EQ(AddMsgHandler(&Note<'a'>, 1024), 1024u);
        ASSERT_EQ(AddMsgHandler(&Note<'b'>, 1024), 1024u);
        ASSERT_EQ(AddMsgHandler(&Note<'c'>, 1024), 1024u);
        const HMsgPort Port = GetMsgHandlerWindow();
        EXPECT_FALSE(FdReadable(Fd));
        EXPECT_TRUE(PostMsg(Port, 1024, 7, -3));
        EXPECT_TRUE(PostMsg(Port, 0x13, 1, 1));
        EXPECT_TRUE(PostMsg(Port, 0x11, 2, 2));
        EXPECT_TRUE(PostMsg(Port, 999999)); // nobody's
        EXPECT_TRUE(FdReadable(Fd));
        EXPECT_EQ(DrainMsgPort(), 4);
        EXPECT_FALSE(FdReadable(Fd));
        // Handlers share the result, each adding one.
        EXPECT_EQ(Seen, (std::vector<std::string>{"a:1024:7:-3:0", "b:1024:7:-3:1", "c:1024:7:-3:2",
                                                  "s:17:2:2:0"}));
        // Removing "a" moves the last entry ("c") into its place.
        Seen.clear();
        DelMsgHandler(&Note<'a'>, 1024);
        PostMsg(Port, 1024);
        DrainMsgPort();
        EXPECT_EQ(Seen, (std::vector<std::string>{"c:1024:0:0:0", "b:1024:0:0:1"}));
        for (auto* H : {&Note<'b'>, &Note<'c'>, &Note<'s'>, &Note<'x'>})
            DelMsgHandler(H);
        EXPECT_EQ(DrainMsgPort(), 0);
    }).join();
}

TEST(CrashlibMsgPort, AnotherThreadsPortIsNeverCreatedAndItsLastRemovalPostsClose)
{
    TPortThread Owner;
    EXPECT_EQ(GetMsgHandlerWindow(Owner.Tid), 0u);
    EXPECT_EQ(AddMsgHandler(&Note<'a'>, 0, Owner.Tid), 0u);

    TCounter Counter;
    HMsgPort Port = 0;
    Owner.Do([&] { Port = GetMsgHandlerWindow(); });
    ASSERT_NE(Port, 0u);
    EXPECT_EQ(GetMsgHandlerWindow(Owner.Tid), Port);
    EXPECT_EQ(AddMsgHandlerEx(nullptr, 0, Owner.Tid, &CountMethod, &Counter), 1024u);
    EXPECT_TRUE(PostMsg(Port, 1024));
    EXPECT_TRUE(WaitFor([&] { return Counter.Calls.load() == 1; }));

    // Removed from here: the record goes at once, the port itself only when
    // its own thread handles the close message.
    std::atomic<bool> Closed{false};
    Owner.Do([&] {
        DelMsgHandlerEx(nullptr, 0, Owner.Tid, &CountMethod, &Counter); // own thread: at once
    });
    EXPECT_FALSE(PostMsg(Port, 1024));

    Owner.Do([&] { Port = GetMsgHandlerWindow(); });
    EXPECT_EQ(AddMsgHandlerEx(nullptr, 0, Owner.Tid, &CountMethod, &Counter), 1024u);
    // Hold the owner in a piece of work, so the close waits in its queue.
    std::mutex Hold;
    std::unique_lock<std::mutex> Held(Hold);
    std::thread Blocker([&] { Owner.Do([&] { std::lock_guard<std::mutex> G(Hold); }); });
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    DelMsgHandlerEx(nullptr, 0, Owner.Tid, &CountMethod, &Counter);
    EXPECT_EQ(GetMsgHandlerWindow(Owner.Tid), 0u) << "record removed at once";
    EXPECT_TRUE(PostMsg(Port, 1024)) << "the port lives until it handles the close";
    Held.unlock();
    Blocker.join();
    Closed = WaitFor([&] { return !PostMsg(Port, 5000); });
    EXPECT_TRUE(Closed.load());
    EXPECT_EQ(Counter.Calls.load(), 1) << "no routine runs for a closing port";
}

TEST(CrashlibMsgPort, ARoutineRemovedWhileItsThreadDispatchesIsNeverCalledAfterRemoval)
{
    TPortThread Owner;
    HMsgPort Port = 0;
    Owner.Do([&] {
        Port = GetMsgHandlerWindow();
        AddMsgHandler(&Note<'k'>, 3000); // keeps the port alive between rounds
    });
    for (int Round = 0; Round < 40; ++Round) {
        auto* C = new TCounter;
        ASSERT_EQ(AddMsgHandlerEx(nullptr, 2000, Owner.Tid, &CountMethod, C), 2000u);
        for (int I = 0; I < 20; ++I)
            PostMsg(Port, 2000);
        // Let some of the calls start, then take the routine away mid-stream.
        WaitFor([&] { return C->Calls.load() >= Round % 5; });
        DelMsgHandlerEx(nullptr, 2000, Owner.Tid, &CountMethod, C);
        const int AtRemoval = C->Calls.load();
        C->Freed = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_EQ(C->Calls.load(), AtRemoval);
        delete C; // a call after this point would be caught by the sanitizers
    }
    Owner.Do([&] { DelMsgHandler(&Note<'k'>); });
}

TEST(CrashlibMsgPort, PortsOfAThreadThatEndedAreGone)
{
    HMsgPort Port = 0;
    pid_t Tid = 0;
    std::thread([&] {
        Tid = gettid();
        Port = GetMsgHandlerWindow();
        AddMsgHandler(&Note<'z'>, 0);
    }).join();
    ASSERT_NE(Port, 0u);
    EXPECT_FALSE(PostMsg(Port, 1024));
    EXPECT_EQ(GetMsgHandlerWindow(Tid), 0u);
}
