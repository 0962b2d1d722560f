#include "engine/uThrdSearchComputers.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

using namespace std::chrono_literals;
using platform::MainThread;
using platform::TThreadGroup;

namespace {

class SearchComputers : public ::testing::Test {
protected:
    void SetUp() override { MainThread().Install(); }
    void TearDown() override
    {
        // Every thread must be gone before the test's state is.
        EXPECT_TRUE(MainThread().PumpUntil([&] { return Group->Empty(); }, 10s));
    }

    // Starts a search on Source and records what reaches the main thread.
    TThrdSearchComputers* Start(const TNeighbourhoodSource& Source)
    {
        auto* t = new TThrdSearchComputers(Source, Group);
        t->SetOnComputerFound([this](const std::string& Name) {
            EXPECT_TRUE(MainThread().IsMainThread());
            Found.push_back(Name);
            if (OnName)
                OnName(Name);
        });
        t->OnTerminate = [this](platform::TThread*) { Ended = true; };
        t->Resume();
        return t;
    }

    std::shared_ptr<TThreadGroup> Group = std::make_shared<TThreadGroup>();
    std::vector<std::string> Found;
    std::function<void(const std::string&)> OnName;
    bool Ended = false;
};

TNeighbourhoodSource TwoWorkgroups(std::atomic<int>* ServerCalls = nullptr)
{
    TNeighbourhoodSource s;
    s.Workgroups = [] { return std::vector<std::string>{"ALPHA", "BETA"}; };
    s.Servers = [ServerCalls](const std::string& Domain) {
        if (ServerCalls)
            ++*ServerCalls;
        if (Domain == "ALPHA")
            return std::vector<std::string>{"A1", "A2", "A3"};
        if (Domain == "BETA")
            throw std::runtime_error("browser of BETA is down");
        return std::vector<std::string>{};
    };
    return s;
}

} // namespace

TEST_F(SearchComputers, ReportsEveryNameInOrderAndSurvivesAFailingWorkgroup)
{
    Start(TwoWorkgroups());
    ASSERT_TRUE(MainThread().PumpUntil([&] { return Ended; }, 10s));
    EXPECT_EQ(Found, (std::vector<std::string>{"A1", "A2", "A3"}));
}

TEST_F(SearchComputers, ClearedEventReceivesNothingMore)
{
    TThrdSearchComputers* t = nullptr;
    OnName = [&](const std::string&) { t->SetOnComputerFound(nullptr); };
    t = Start(TwoWorkgroups());
    ASSERT_TRUE(MainThread().PumpUntil([&] { return Ended; }, 10s));
    EXPECT_EQ(Found, std::vector<std::string>{"A1"});
}

TEST_F(SearchComputers, TerminateStopsBeforeTheNextWorkgroup)
{
    std::atomic<int> serverCalls{0};
    TThrdSearchComputers* t = nullptr;
    OnName = [&](const std::string&) { t->Terminate(); };
    t = Start(TwoWorkgroups(&serverCalls));
    ASSERT_TRUE(MainThread().PumpUntil([&] { return Ended; }, 10s));
    EXPECT_EQ(Found, std::vector<std::string>{"A1"});
    EXPECT_EQ(serverCalls.load(), 1);
}

TEST_F(SearchComputers, NoBrowserEndsWithoutNames)
{
    TNeighbourhoodSource s;
    s.Workgroups = []() -> std::vector<std::string> { throw std::runtime_error("no browser"); };
    s.Servers = [](const std::string&) { return std::vector<std::string>{"X"}; };
    Start(s);
    ASSERT_TRUE(MainThread().PumpUntil([&] { return Ended; }, 10s));
    EXPECT_TRUE(Found.empty());
}
