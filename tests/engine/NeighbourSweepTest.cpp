// When a scan gets a neighbour sweep: only a scan of addresses whose workers
// ping or ask ARP through the network routines themselves. Stand-ins that a
// test puts in their place must never be joined by real frames. The
// addresses are loopback ones, which the sweep leaves to the methods, so
// nothing leaves this computer.
#include "engine/NetUtil.h"
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uThreadInPool.h"
#include "engine/uThreadScanPool.h"

#include <gtest/gtest.h>

namespace {

struct Case {
    const char* what;
    TScanTarget target;
    TScanMethod method;
    int check;
    bool realPing;
    bool realArp;
    bool swept;
};

// Whether the pool had a sweep when its scan started, and whether it still
// had one once the scan had ended.
std::pair<bool, bool> ScanOnce(const Case& c)
{
    TWorkerServices s = DefaultWorkerServices();
    if (!c.realPing)
        s.PingHost = [](const std::string&, int) { return 1; };
    if (!c.realArp)
        s.GetMacByArp = [](const std::string&, std::string& MAC) { MAC.clear(); };
    s.CheckTcpPort = [](const std::string&, int, uint16_t) { return 1; };
    s.GetMacByNetBios = [](const std::string&, int, std::string& MAC) {
        MAC.clear();
        return nmsNone;
    };
    s.HostNameToIP = [](const std::string& Host, int, std::string& IP) { IP = Host; };
    s.GetNetBiosName = [](const std::string&, int, std::string& Name) { Name.clear(); };
    s.IPToHostName = [](const std::string&, std::string& Name) { Name.clear(); };
    TPoolOfThreads pool(std::make_shared<const TWorkerServices>(std::move(s)));
    DefaultCheckState = c.check;
    bool atStart = false, finished = false;
    pool.SetOnStart([&](TPoolOfThreads* P) { atStart = P->Sweep() != nullptr; });
    pool.SetOnFinish([&](TPoolOfThreads*) { finished = true; });
    uint32_t a = 0, b = 0;
    IPToHostOrder("127.1.0.1", a);
    IPToHostOrder("127.1.0.3", b);
    pool.SetTarget(c.target);
    pool.SetMethod(c.method);
    pool.SetStartIP(a);
    pool.SetStopIP(b);
    pool.Addresses = {"127.1.0.1", "127.1.0.2"};
    pool.Expression = "127.1.0.1-2";
    pool.SetComputerName("127.1.0.1");
    pool.Start();
    platform::MainThread().PumpUntil([&] { return finished && pool.LiveWorkers() == 0; },
                                     std::chrono::seconds(30));
    return {atStart, pool.Sweep() != nullptr};
}

TEST(ScanSweep, OnlyScansOfAddressesThroughTheNetworkRoutinesAreSwept)
{
    platform::MainThread().Install();
    ResetEngineOptions();
    ComputerList = std::make_unique<TComputerList>();
    const Case cases[] = {
        {"range, real ARP", stIPRange, smArp, csDontCheck, false, true, true},
        {"list, real ARP", stAddressList, smArp, csDontCheck, false, true, true},
        {"expression, every method", stExpression, smAll, csDontCheck, false, true, true},
        {"range, real ping before NetBIOS", stIPRange, smNetBios, csPing, true, false, true},
        {"range, ARP and ping stood in for", stIPRange, smArp, csPing, false, false, false},
        {"range, NetBIOS after a TCP check", stIPRange, smNetBios, csTcpConnect, true, true, false},
        {"one computer, real ARP", stRemoteComputer, smArp, csPing, true, true, false},
    };
    for (const Case& c : cases) {
        const auto [atStart, atEnd] = ScanOnce(c);
        EXPECT_EQ(atStart, c.swept) << c.what;
        EXPECT_FALSE(atEnd) << c.what << ": the sweep outlived its scan";
    }
    ComputerList.reset();
    ResetEngineOptions();
}

} // namespace

// How often a silent address is asked follows what the answers showed: a
// link that answered many neighbours at the first try gets arp-scan's two
// tries, one with few answers or with late ones up to the ARP method's six,
// never outside the pacing's bounds, and never fewer for more losses.
TEST(ScanSweep, TriesFollowTheLossTheAnswersShowed)
{
    const TSweepPacing pacing;
    EXPECT_EQ(SweepTriesNeeded(0, 0, pacing), 6);   // nothing heard yet
    EXPECT_EQ(SweepTriesNeeded(2, 0, pacing), 6);   // two answers prove little
    EXPECT_EQ(SweepTriesNeeded(10, 0, pacing), 3);  // q = 1/22
    EXPECT_EQ(SweepTriesNeeded(50, 0, pacing), 2);  // q = 1/102
    EXPECT_EQ(SweepTriesNeeded(50, 4, pacing), 4);  // q = 4.5/51
    EXPECT_EQ(SweepTriesNeeded(50, 9, pacing), 6);  // a tenth of the frames lost each way
    EXPECT_EQ(SweepTriesNeeded(50, 50, pacing), 6); // everything late
    int previous = 0;
    for (uint64_t late = 0; late <= 60; ++late) {
        const int tries = SweepTriesNeeded(60, late, pacing);
        EXPECT_GE(tries, previous) << late;
        EXPECT_GE(tries, pacing.MinAttempts);
        EXPECT_LE(tries, pacing.Tries.Attempts);
        previous = tries;
    }
    TSweepPacing odd;
    odd.MinAttempts = 9; // more than the most: the most holds
    EXPECT_EQ(SweepTriesNeeded(1000, 0, odd), 6);
    odd.MinAttempts = 0;
    odd.Tries.Attempts = 1;
    EXPECT_EQ(SweepTriesNeeded(0, 0, odd), 1);
}

// The kernel way's addresses at a time follow the neighbour table's
// thresholds, not what it happens to hold.
TEST(ScanSweep, TheKernelWayAsksAsManyAddressesAtATimeAsTheTableHasRoomFor)
{
    const struct {
        bool read;
        platform::NeighbourTableSize size;
        int room;
    } cases[] = {
        {true, {128, 512, 1024, 41}, 256},   // the kernel's defaults
        {true, {128, 512, 1024, 1000}, 256}, // full of entries it may evict
        {false, {0, 0, 0, 0}, 256},          // unreadable: the defaults
        {true, {1024, 4096, 8192, 0}, 2048}, // raised by the administrator
        {true, {1024, 4096, 5000, 0}, 452},  // little room above the soft limit
        {true, {128, 1024, 1024, 0}, 16},    // none: the least
        {true, {4, 8, 16, 0}, 16},           // tiny: the least
    };
    for (const auto& c : cases)
        EXPECT_EQ(KernelTableRoom(c.read, c.size), c.room)
            << c.size.Thresh2 << "/" << c.size.Thresh3 << ", " << c.size.Entries << " entries";
}
