#include "engine/uThreadScanPool.h"

#include "engine/NetUtil.h"
#include "tests/engine/ScriptedWorkerServices.h"

#include <gtest/gtest.h>

#include <algorithm>
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

// Every event of a pool as one line each, with the counts each status saw.
struct Recorder {
    std::vector<std::string> Events;
    int Finished = 0;
    void Attach(TPoolOfThreads& Pool)
    {
        Pool.SetOnStart([this](TPoolOfThreads*) { Events.push_back("start"); });
        Pool.SetOnFinish([this](TPoolOfThreads*) {
            ++Finished;
            Events.push_back("finish");
        });
        Pool.SetOnStatus([this, &Pool](int S, const std::string& T) {
            Events.push_back(std::to_string(S) + " " + T + " [" + std::to_string(Pool.GetDone()) +
                             "/" + std::to_string(Pool.GetTotal()) + "]");
        });
        Pool.SetOnComputer([this](TComputer* C) { Events.push_back("computer " + C->IP); });
    }
    // Starts and serves the workers until the scan has ended and every
    // worker is gone.
    bool Run(TPoolOfThreads& Pool)
    {
        const int before = Finished;
        Pool.Start();
        return platform::MainThread().PumpUntil(
            [&] { return Finished > before && Pool.LiveWorkers() == 0; }, std::chrono::seconds(30));
    }
    int Count(const std::string& Prefix) const
    {
        int n = 0;
        for (const std::string& e : Events)
            n += e.compare(0, Prefix.size(), Prefix) == 0;
        return n;
    }
};

std::vector<std::string> Ips(const TComputerList& List)
{
    std::vector<std::string> ips;
    for (const auto& c : List)
        ips.push_back(c->IP);
    std::sort(ips.begin(), ips.end());
    return ips;
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

TEST_F(ScanPool, OneAddressGivesOneJob)
{
    ScriptedNet net;
    net.Arp["10.0.0.5"] = "00-00-0c-00-00-05";
    TPoolOfThreads pool(net.Services());
    Recorder r;
    r.Attach(pool);
    pool.SetTarget(stIPRange);
    pool.SetStartIP(Ip("10.0.0.5"));
    pool.SetStopIP(Ip("10.0.0.5"));
    ASSERT_TRUE(r.Run(pool));
    const std::vector<std::string> expected = {"start", "0 sSetStatusScanComputerComplete [1/1]",
                                               "computer 10.0.0.5", "finish"};
    EXPECT_EQ(r.Events, expected);
    EXPECT_EQ(net.CallCount("arp "), 1);

    r.Events.clear();
    pool.SetTarget(stAddressList);
    pool.Addresses = {"10.0.0.5"};
    ASSERT_TRUE(r.Run(pool));
    EXPECT_EQ(r.Events, expected);
}

TEST_F(ScanPool, ExpressionWithoutAddressesEndsAtOnce)
{
    ScriptedNet net;
    TPoolOfThreads pool(net.Services());
    Recorder r;
    r.Attach(pool);
    pool.SetTarget(stExpression);
    pool.Expression = "10.0.0.300"; // the last part names no value
    ASSERT_TRUE(r.Run(pool));
    EXPECT_EQ(r.Events, (std::vector<std::string>{"start", "finish"}));
    EXPECT_EQ(pool.GetTotal(), 0u);
    EXPECT_EQ(pool.GetProgress(), 0);
    EXPECT_TRUE(net.CallLog().empty());

    // A real expression is walked in its own order.
    iMaxThreads = 1;
    pool.Expression = "10.0.3,1.7";
    ASSERT_TRUE(r.Run(pool));
    EXPECT_EQ(net.CallLog(), (std::vector<std::string>{"ping 10.0.3.7 300", "arp 10.0.3.7",
                                                       "ping 10.0.1.7 300", "arp 10.0.1.7"}));
    EXPECT_EQ(pool.GetTotal(), 2u);
}

TEST_F(ScanPool, SingleComputerIsHandedOutOnce)
{
    for (const TScanTarget target : {stLocalComputer, stRemoteComputer}) {
        ScriptedNet net;
        net.Resolves["alpha"] = "10.0.0.1";
        net.Arp["10.0.0.1"] = "00-00-0c-00-00-01";
        TPoolOfThreads pool(net.Services());
        Recorder r;
        r.Attach(pool);
        pool.SetTarget(target);
        pool.SetComputerName("alpha");
        ASSERT_TRUE(r.Run(pool));
        EXPECT_EQ(r.Events,
                  (std::vector<std::string>{"start", "0 sSetStatusScanComputerComplete [1/1]",
                                            "computer 10.0.0.1", "finish"}))
            << target;
        EXPECT_EQ(net.CallCount("resolve alpha"), 1) << target;
        EXPECT_EQ(net.CallCount("arp "), 1) << target;
        EXPECT_EQ(net.CallCount("ping "), target == stLocalComputer ? 0 : 1) << target;
    }
}

TEST_F(ScanPool, FoundNamesAreScannedAsAnAddressListWithTheSameMethod)
{
    sSetStatusScanComputerComplete = "found %s";
    iMaxThreads = 3;
    for (const TScanTarget target : {stEntireNetwork, stActiveDirectory}) {
        ScriptedNet net;
        const std::vector<std::string> names = {"ALPHA", "BETA", "GAMMA"};
        (target == stEntireNetwork ? net.Neighbourhood : net.Directory) = names;
        for (int i = 0; i < 3; ++i) {
            const std::string ip = "10.0.0." + std::to_string(i + 1);
            net.Resolves[names[i]] = ip;
            net.NetBios[ip] = "00-00-0c-00-00-0" + std::to_string(i + 1);
        }
        TPoolOfThreads pool(net.Services());
        Recorder r;
        r.Attach(pool);
        pool.SetMethod(smNetBios);
        pool.SetADIncludeDisabled(true);
        // The same pool scans twice: the switch to the list does not stick.
        for (int round = 0; round < 2; ++round) {
            r.Events.clear();
            pool.SetTarget(target);
            ASSERT_TRUE(r.Run(pool)) << target;
            const bool ad = target == stActiveDirectory;
            ASSERT_EQ(r.Events.size(), 10u) << target;
            EXPECT_EQ(r.Events[0], "start");
            EXPECT_EQ(r.Events[1],
                      ad ? "2 sSetStatusScanADStart [0/1]" : "2 sSetStatusScanNetworkStart [0/1]");
            EXPECT_EQ(r.Events[2], ad ? "0 ad found 3 [1/1]" : "0 net found 3 [1/1]");
            // Progress restarts from 0 of 3 for the names.
            std::vector<std::string> lines(r.Events.begin() + 3, r.Events.end() - 1);
            int seen = 0;
            for (const std::string& e : lines) {
                if (e.rfind("0 found ", 0) == 0) {
                    EXPECT_NE(e.find("[" + std::to_string(++seen) + "/3]"), std::string::npos) << e;
                }
            }
            EXPECT_EQ(seen, 3);
            for (const std::string& name : names)
                EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                                        [&](const std::string& e) {
                                            return e.rfind("0 found " + name + " ", 0) == 0;
                                        }),
                          1)
                    << name;
            EXPECT_EQ(r.Events.back(), "finish");
            EXPECT_EQ(pool.GetProgress(), 100);
            EXPECT_EQ(pool.Addresses, names);
        }
        EXPECT_EQ(net.CallCount("netbios "), 6) << target;
        EXPECT_EQ(net.CallCount("arp "), 0) << target;
        EXPECT_EQ(ComputerList->size(), 6u);
        if (target == stActiveDirectory) {
            EXPECT_TRUE(net.LastADIncludeDisabled.load());
        }
        ComputerList->clear();
    }
}

TEST_F(ScanPool, EnumerationThatFindsNothingEndsTheScan)
{
    ScriptedNet net;
    TPoolOfThreads pool(net.Services());
    Recorder r;
    r.Attach(pool);
    pool.SetTarget(stEntireNetwork);
    ASSERT_TRUE(r.Run(pool));
    EXPECT_EQ(r.Events, (std::vector<std::string>{"start", "2 sSetStatusScanNetworkStart [0/1]",
                                                  "3 net found 0 [1/1]", "finish"}));
    EXPECT_EQ(net.Enumerations.load(), 1);
    EXPECT_EQ(pool.GetProgress(), 0);
}

TEST_F(ScanPool, EveryJobLogsItsOwnOutcomeAndOnlyFoundMacsAreListed)
{
    sSetStatusScanComputerComplete = "found %s";
    sSetStatusScanComputerInactive = "inactive %s";
    sSetStatusScanComputerNotDetect = "nothing %s";
    sSetStatusScanComputerErrorMSg = "error %s: %s";
    sSetStatusScanComputerNotResolved = "unresolved %s";
    iMaxThreads = 1; // one worker takes every job in turn
    ScriptedNet net;
    net.Arp["10.0.0.1"] = "00-00-0c-00-00-01";
    net.Dead.insert("10.0.0.2");
    net.Raises.insert("arp 10.0.0.4");
    TPoolOfThreads pool(net.Services());
    Recorder r;
    r.Attach(pool);
    pool.SetTarget(stAddressList);
    pool.Addresses = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "ghost"};
    ASSERT_TRUE(r.Run(pool));
    const std::vector<std::string> expected = {"start",
                                               "0 found 10.0.0.1 [1/5]",
                                               "computer 10.0.0.1",
                                               "1 inactive 10.0.0.2 [2/5]",
                                               "3 nothing 10.0.0.3 [3/5]",
                                               "3 error 10.0.0.4: boom [4/5]",
                                               "3 unresolved ghost [5/5]",
                                               "finish"};
    EXPECT_EQ(r.Events, expected);
    EXPECT_EQ(Ips(*ComputerList), std::vector<std::string>{"10.0.0.1"});

    // An inactive host whose ARP answered is listed, with its status 1 line.
    DefaultCheckState = 5;
    IgnoreCheck = false;
    pool.SetMethod(smAll);
    pool.Addresses = {"10.0.0.1"};
    r.Events.clear();
    ASSERT_TRUE(r.Run(pool));
    EXPECT_EQ(r.Events, (std::vector<std::string>{"start", "1 inactive 10.0.0.1 [1/1]",
                                                  "computer 10.0.0.1", "finish"}));
    EXPECT_EQ(ComputerList->size(), 2u);
}

// A user whom the system lets send no echo still gets every host the methods
// reach: each fails the check, ARP, NetBIOS and SNMP ask it all the same, and
// the reason is said once per scan instead of once per host.
TEST_F(ScanPool, AnEchoThatCannotBeSentFailsTheCheckOnceSaidAndTheScanGoesOn)
{
    sSetStatusScanComputerComplete = "found %s";
    sSetStatusScanComputerInactive = "inactive %s";
    sSetStatusScanComputerErrorMSg = "error %s: %s";
    sSetStatusScanCheckUnavailable = "no echo: %s";
    iMaxThreads = 1;
    IgnoreCheck = false;
    ScriptedNet net;
    net.PingUnavailable = "no ICMP socket";
    net.Arp["10.0.0.1"] = "00-00-0c-00-00-01";
    net.NetBios["10.0.0.2"] = "00-00-0c-00-00-02";
    net.Lists["snmp"]["10.0.0.3"] = {"00-00-0c-00-00-03"};
    net.Lists["wmi"]["10.0.0.3"] = {"00-00-0c-00-00-33"};
    TPoolOfThreads pool(net.Services());
    Recorder r;
    r.Attach(pool);
    pool.SetTarget(stAddressList);
    pool.SetMethod(smAll);
    pool.Addresses = {"10.0.0.1", "10.0.0.2", "10.0.0.3"};
    const std::vector<std::string> expected = {"start",
                                               "3 no echo: no ICMP socket [1/3]",
                                               "1 inactive 10.0.0.1 [1/3]",
                                               "computer 10.0.0.1",
                                               "1 inactive 10.0.0.2 [2/3]",
                                               "computer 10.0.0.2",
                                               "1 inactive 10.0.0.3 [3/3]",
                                               "computer 10.0.0.3",
                                               "finish"};
    for (int scan = 0; scan < 2; ++scan) {
        r.Events.clear();
        ASSERT_TRUE(r.Run(pool));
        EXPECT_EQ(r.Events, expected) << "scan " << scan;
    }
    // NET API and WMI are left out on hosts that failed the check.
    EXPECT_EQ(net.CallCount("wmi"), 0);
    EXPECT_EQ(net.CallCount("netapi"), 0);
    EXPECT_EQ(net.CallCount("snmp"), 6);
    ASSERT_EQ(ComputerList->size(), 6u);
    EXPECT_EQ(ComputerList->at(2)->AdapterList.size(), 1u);
}

// A node that answers NetBIOS with zeros for its unit id (as Samba does) is
// no silent host: on the local link its MAC is the neighbour table's, and
// off it the log says that it answered without one.
TEST_F(ScanPool, ANetBiosAnswerWithoutHardwareAddressIsSaidAndTakenFromTheNeighbourTable)
{
    sSetStatusScanComputerComplete = "found %s";
    sSetStatusScanComputerNotDetect = "nothing %s";
    sSetStatusScanNetBiosNoMac = "zeros %s";
    sSetStatusScanNetBiosNeighbourMac = "neighbour %s";
    iMaxThreads = 1;
    ScriptedNet net;
    net.NetBios["10.0.0.1"] = "02-00-00-00-00-01";
    net.NetBiosZeros["10.0.0.1"] = nmsNeighbourTable;
    net.NetBiosZeros["10.0.0.2"] = nmsNoHardwareAddress;
    net.NetBios["10.0.0.3"] = "02-00-00-00-00-03";
    TPoolOfThreads pool(net.Services());
    Recorder r;
    r.Attach(pool);
    pool.SetTarget(stAddressList);
    pool.SetMethod(smNetBios);
    pool.Addresses = {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4"};
    ASSERT_TRUE(r.Run(pool));
    EXPECT_EQ(r.Events, (std::vector<std::string>{"start", "0 neighbour 10.0.0.1 [1/4]",
                                                  "computer 10.0.0.1", "3 zeros 10.0.0.2 [2/4]",
                                                  "0 found 10.0.0.3 [3/4]", "computer 10.0.0.3",
                                                  "3 nothing 10.0.0.4 [4/4]", "finish"}));
    ASSERT_EQ(ComputerList->size(), 2u);
    EXPECT_EQ(ComputerList->at(0)->AdapterList.at(0)->Number, "02-00-00-00-00-01");
}

TEST_F(ScanPool, NothingOfAStoppedScanReachesTheNextOne)
{
    ScriptedNet net;
    net.ArpDelayMs = 20;
    for (int i = 1; i <= 255; ++i)
        net.Arp["10.0.0." + std::to_string(i)] = "00-00-0c-00-00-01";
    net.Arp["10.0.9.1"] = "00-00-0c-00-09-01";
    net.Arp["10.0.9.2"] = "00-00-0c-00-09-02";
    iMaxThreads = 8;
    TPoolOfThreads pool(net.Services());
    Recorder r;
    r.Attach(pool);
    pool.SetTarget(stIPRange);
    pool.SetStartIP(Ip("10.0.0.1"));
    pool.SetStopIP(Ip("10.0.0.255"));
    pool.Start();
    ASSERT_TRUE(platform::MainThread().PumpUntil([&] { return r.Count("computer") >= 3; }, 10s));
    // Unserved meanwhile, the workers queue their next calls to the pool.
    std::this_thread::sleep_for(100ms);
    pool.Stop();
    ASSERT_GT(pool.LiveWorkers(), 0) << "the stopped workers are still in their steps";
    const size_t listed = ComputerList->size();

    // Started again at once, while the stopped workers still run.
    r.Events.clear();
    pool.SetTarget(stAddressList);
    pool.Addresses = {"10.0.9.1", "10.0.9.2"};
    ASSERT_TRUE(r.Run(pool));
    ASSERT_EQ(r.Events.size(), 6u);
    EXPECT_EQ(r.Events.front(), "start");
    EXPECT_EQ(r.Events.back(), "finish");
    EXPECT_EQ(r.Count("0 sSetStatusScanComputerComplete [1/2]"), 1);
    EXPECT_EQ(r.Count("0 sSetStatusScanComputerComplete [2/2]"), 1);
    EXPECT_EQ(r.Count("computer 10.0.9."), 2);
    ASSERT_EQ(ComputerList->size(), listed + 2);
    EXPECT_EQ(pool.GetDone(), 2u);
    EXPECT_EQ(pool.GetTotal(), 2u);
    EXPECT_FALSE(pool.IsBusy());
}

TEST_F(ScanPool, StopOrDestructionDuringAnEnumerationEndsIt)
{
    ScriptedNet net;
    net.EnumerationBlocks = true;
    net.Neighbourhood = {"ALPHA"};
    auto services = net.Services();
    Recorder r;
    {
        TPoolOfThreads pool(services);
        r.Attach(pool);
        pool.SetTarget(stEntireNetwork);
        pool.Start();
        ASSERT_TRUE(platform::MainThread().PumpUntil([&] { return net.Enumerations > 0; }, 10s));
        pool.Stop();
        ASSERT_TRUE(platform::MainThread().PumpUntil([&] { return pool.LiveWorkers() == 0; }, 10s))
            << "the enumeration sees that its worker is to end";
        EXPECT_EQ(r.Events, (std::vector<std::string>{"start", "2 sSetStatusScanNetworkStart [0/1]",
                                                      "finish"}));

        r.Events.clear();
        pool.Start();
        ASSERT_TRUE(platform::MainThread().PumpUntil([&] { return net.Enumerations > 1; }, 10s));
    }
    EXPECT_EQ(services.use_count(), 1);
    EXPECT_EQ(r.Events, (std::vector<std::string>{"start", "2 sSetStatusScanNetworkStart [0/1]"}))
        << "a destroyed pool fires nothing";
    EXPECT_EQ(net.CallCount("resolve"), 0);
}

TEST_F(ScanPool, NamesThatFindNoWorkerEndTheScanWithTheReason)
{
    ScriptedNet net;
    net.Neighbourhood = {"ALPHA", "BETA"};
    // Long enough for the workers without work to have ended.
    net.EnumerationDelayMs = 200;
    iMaxThreads = 3;
    TPoolOfThreads pool(net.Services());
    Recorder r;
    r.Attach(pool);
    // The workers for the names cannot open their vendor database.
    pool.SetOnStatus([&](int S, const std::string& T) {
        r.Events.push_back(std::to_string(S) + " " + T);
        if (T == "net found 2") {
            TWorkerServices broken = DefaultWorkerServices();
            broken.VendorsDbFileName = "/nonexistent/vendors.db";
            pool.SetWorkerServices(std::make_shared<const TWorkerServices>(broken));
        }
    });
    pool.SetTarget(stEntireNetwork);
    ASSERT_TRUE(r.Run(pool));
    ASSERT_EQ(r.Events.size(), 5u);
    EXPECT_EQ(r.Events[2], "0 net found 2");
    EXPECT_EQ(r.Events[3].rfind("3 ", 0), 0u) << r.Events[3];
    EXPECT_NE(r.Events[3].find("/nonexistent/vendors.db"), std::string::npos) << r.Events[3];
    EXPECT_EQ(r.Events[4], "finish");
    EXPECT_EQ(r.Finished, 1);
    EXPECT_EQ(net.CallCount("resolve"), 0);
    EXPECT_FALSE(pool.IsBusy());
}

TEST_F(ScanPool, WorkerCountIsTheOptionBroughtInsideItsBounds)
{
    // Values the options dialog never sets, but code or a test may.
    for (const auto& [wanted, made] : {std::pair{0, 1}, {-5, 1}, {7, 7}, {250, 250}, {1000, 250}}) {
        ScriptedNet net;
        TPoolOfThreads pool(net.Services());
        Recorder r;
        r.Attach(pool);
        pool.SetTarget(stAddressList);
        pool.Addresses = {"10.0.0.1"};
        iMaxThreads = wanted;
        pool.Start();
        // Every worker first waits for the main thread to hand it a job.
        EXPECT_EQ(pool.LiveWorkers(), made) << wanted;
        pool.Stop();
        ASSERT_TRUE(platform::MainThread().PumpUntil([&] { return pool.LiveWorkers() == 0; }, 30s));
    }
}
