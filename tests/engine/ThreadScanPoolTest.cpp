#include "uThreadScanPool.h"

#include "NetUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

using namespace std::chrono_literals;

namespace {

// Services that never touch the network: every host answers ARP at once
// with a MAC made of its last octet, unless listed as without one.
struct FakeNet {
    std::mutex Lock;
    std::vector<std::string> ArpCalls;
    std::atomic<int> Calls{0};
    int ArpDelayMs = 0;

    std::shared_ptr<const TWorkerServices> Services()
    {
        TWorkerServices s = DefaultWorkerServices();
        s.PingHost = [](const std::string&, int) { return 1; };
        s.CheckTcpPort = [](const std::string&, int, uint16_t) { return 1; };
        s.HostNameToIP = [](const std::string&, int, std::string& IP) { IP.clear(); };
        s.GetMacByArp = [this](const std::string& IP, std::string& MAC) {
            ++Calls;
            if (ArpDelayMs)
                std::this_thread::sleep_for(std::chrono::milliseconds(ArpDelayMs));
            {
                std::lock_guard<std::mutex> l(Lock);
                ArpCalls.push_back(IP);
            }
            MAC = "00-00-0c-00-00-01";
        };
        s.GetNetBiosName = [](const std::string&, int, std::string& N) { N = "PC"; };
        return std::make_shared<const TWorkerServices>(std::move(s));
    }
};

class ScanPool : public ::testing::Test {
protected:
    void SetUp() override
    {
        platform::MainThread().Install();
        ResetEngineOptions();
        ComputerList = std::make_unique<TComputerList>();
    }
    void TearDown() override
    {
        ComputerList.reset();
        ResetEngineOptions();
    }
    bool RunToFinish(TPoolOfThreads& Pool)
    {
        Pool.SetOnFinish([this](TPoolOfThreads*) { ++Finished; });
        Pool.SetOnStatus([this](int S, const std::string& T) {
            ++Statuses;
            LastStatus = S;
            LastText = T;
        });
        Pool.Start();
        return platform::MainThread().PumpUntil(
            [&] { return Finished > 0 && Pool.LiveWorkers() == 0; }, 30s);
    }
    int Finished = 0;
    int Statuses = 0;
    int LastStatus = -1;
    std::string LastText;
};

uint32_t Ip(const char* Text)
{
    uint32_t v = 0;
    IPToHostOrder(Text, v);
    return v;
}

} // namespace

TEST_F(ScanPool, SwappedRangeGives246JobsInAscendingOrder)
{
    FakeNet net;
    iMaxThreads = 1; // one worker: the calls come in hand-out order
    TPoolOfThreads pool(net.Services());
    pool.SetTarget(stIPRange);
    pool.SetStartIP(Ip("192.168.1.5"));
    pool.SetStopIP(Ip("192.168.1.250"));
    ASSERT_TRUE(RunToFinish(pool));
    EXPECT_EQ(Finished, 1);
    EXPECT_EQ(pool.GetTotal(), 246u);
    EXPECT_EQ(pool.GetDone(), 246u);
    EXPECT_EQ(pool.GetProgress(), 100);
    ASSERT_EQ(net.ArpCalls.size(), 246u);
    for (size_t i = 0; i < 246; ++i)
        EXPECT_EQ(net.ArpCalls[i], "192.168.1." + std::to_string(5 + i));
    EXPECT_EQ(ComputerList->size(), 246u);
    EXPECT_EQ((*ComputerList)[0]->AdapterList[0]->Vendor, "Cisco Systems, Inc");
    EXPECT_FALSE(pool.IsBusy());
}

TEST_F(ScanPool, RangeThatEndsAtTheLastAddressTerminates)
{
    FakeNet net;
    TPoolOfThreads pool(net.Services());
    pool.SetTarget(stIPRange);
    pool.SetStartIP(Ip("255.255.255.250"));
    pool.SetStopIP(0xFFFFFFFFu);
    ASSERT_TRUE(RunToFinish(pool));
    EXPECT_EQ(pool.GetDone(), 6u);
    std::set<std::string> seen(net.ArpCalls.begin(), net.ArpCalls.end());
    // 255.255.255.255 is handed out but is no host address (inet_addr's
    // error value): it gets its log line and no probe.
    EXPECT_EQ(seen.size(), 5u);
    EXPECT_TRUE(seen.count("255.255.255.254"));
    EXPECT_FALSE(seen.count("255.255.255.255"));
}

TEST_F(ScanPool, EmptyListEndsAtOnceWithOneFinish)
{
    FakeNet net;
    TPoolOfThreads pool(net.Services());
    pool.SetTarget(stAddressList);
    ASSERT_TRUE(RunToFinish(pool));
    EXPECT_EQ(Finished, 1);
    EXPECT_EQ(Statuses, 0);
    EXPECT_EQ(pool.GetProgress(), 0);
}

TEST_F(ScanPool, UnresolvedNameIsLogged)
{
    FakeNet net;
    TPoolOfThreads pool(net.Services());
    pool.SetTarget(stRemoteComputer);
    pool.SetComputerName("nowhere");
    ASSERT_TRUE(RunToFinish(pool));
    EXPECT_EQ(Statuses, 1);
    EXPECT_EQ(LastStatus, jsNotFound);
    EXPECT_EQ(LastText, "sSetStatusScanComputerNotResolved");
    EXPECT_EQ(net.Calls.load(), 0);
}

TEST_F(ScanPool, StopFiresOneFinishAndNothingAfter)
{
    FakeNet net;
    net.ArpDelayMs = 5;
    TPoolOfThreads pool(net.Services());
    pool.SetTarget(stIPRange);
    pool.SetStartIP(Ip("10.0.0.1"));
    pool.SetStopIP(Ip("10.0.3.255"));
    pool.SetOnFinish([this](TPoolOfThreads*) { ++Finished; });
    pool.SetOnStatus([this](int, const std::string&) { ++Statuses; });
    pool.Start();
    ASSERT_TRUE(platform::MainThread().PumpUntil([&] { return Statuses >= 5; }, 10s));
    pool.Stop();
    const int atStop = Statuses;
    EXPECT_EQ(Finished, 1);
    EXPECT_FALSE(pool.IsBusy());
    ASSERT_TRUE(platform::MainThread().PumpUntil([&] { return pool.LiveWorkers() == 0; }, 10s));
    EXPECT_EQ(Statuses, atStop);
    EXPECT_EQ(Finished, 1);
}

TEST_F(ScanPool, DestructionMidScanLeavesNoWorkerBehind)
{
    FakeNet net;
    net.ArpDelayMs = 5;
    auto services = net.Services();
    {
        TPoolOfThreads pool(services);
        pool.SetTarget(stIPRange);
        pool.SetStartIP(Ip("10.0.0.1"));
        pool.SetStopIP(Ip("10.0.3.255"));
        pool.Start();
        platform::MainThread().PumpUntil([&] { return pool.GetDone() >= 5; }, 10s);
    }
    // Every worker held the services; all of them are gone with the pool.
    EXPECT_EQ(services.use_count(), 1);
    const int calls = net.Calls.load();
    std::this_thread::sleep_for(50ms);
    EXPECT_EQ(net.Calls.load(), calls);
}

TEST_F(ScanPool, FailedWorkerCreationLeavesThePoolIdleAndRaises)
{
    TWorkerServices s = DefaultWorkerServices();
    s.VendorsDbFileName = "/nonexistent/vendors.db";
    TPoolOfThreads pool(std::make_shared<const TWorkerServices>(s));
    pool.SetTarget(stAddressList);
    pool.Addresses = {"10.0.0.1"};
    bool started = false;
    pool.SetOnStart([&](TPoolOfThreads*) { started = true; });
    EXPECT_THROW(pool.Start(), std::runtime_error);
    EXPECT_FALSE(started);
    EXPECT_FALSE(pool.IsBusy());
    EXPECT_EQ(pool.LiveWorkers(), 0);
}
