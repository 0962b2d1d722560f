// Sweeps and scans of a /22 on one bridge: 200 live hosts (every fifth
// address from .3) among 822 silent addresses. Every live host must be
// found with its MAC, on a clean link and where a tenth of the ARP frames is
// lost; each silent address is asked as often as the loss calls for, no
// less and no more; the frames never go faster than the cap. Without
// CAP_NET_RAW the kernel's neighbour table bounds the scan, and the log
// says so once.
#include "engine/NeighbourSweep.h"
#include "engine/NetUtil.h"
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uThreadScanPool.h"
#include "tests/engine/SweepOnTheWire.h"
#include "tests/lan/Lab.h"
#include "tests/lan/RangeBed.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <sstream>

namespace {

class SweepRange : public ::testing::Test {
protected:
    void SetUp() override
    {
        TVX_REQUIRE_LAN();
        lab = std::make_unique<lan::Lab>();
        bed = std::make_unique<lan::RangeBed>(*lab, lan::RangeBedSpec{});
        // The ordinary user may ping, as Debian allows every group to.
        bed->Scanner().SetSysctl("net.ipv4.ping_group_range", "0 2147483647");
    }

    // Runs Fn in the scanner's namespace, whose neighbour table is emptied
    // first: each sweep or scan asks the wire anew.
    std::string Run(const std::function<std::string()>& Fn, bool Unprivileged = false)
    {
        bed->Scanner().Ip({"neigh", "flush", "dev", "eth0"});
        lan::RunOptions o;
        o.timeout = std::chrono::seconds(120);
        o.unprivileged = Unprivileged;
        lan::RunResult r = bed->Scanner().Run(Fn, o);
        return r.ok() ? r.value : r.Describe();
    }

    std::unique_ptr<lan::Lab> lab;
    std::unique_ptr<lan::RangeBed> bed;
};

// The sweep of the whole /22 on its own, judged against the bed: live hosts
// found with their MACs, silent ones given up, and how often each was asked.
std::string SweepOfTheRange(const lan::RangeBed& Bed, bool Lossy)
{
    const sweeptest::TWire w = sweeptest::SweepAndTap(Bed.HostOrder(1), Bed.HostCount());
    if (!w.Failed.empty())
        return w.Failed;
    int found = 0, wrong = 0, givenUp = 0, silent = 0, outOfBounds = 0, few = 0, many = 0;
    int liveFrames = 0;
    for (int n = 2; n <= Bed.HostCount(); ++n) {
        const int asked = w.Asked.count(n) ? w.Asked.at(n) : 0;
        if (Bed.IsLive(n)) {
            found += w.Verdict.at(n) == Bed.MacText(n);
            liveFrames += asked;
            continue;
        }
        ++silent;
        wrong += w.Verdict.at(n) != "none" && w.Verdict.at(n) != "other";
        givenUp += w.Verdict.at(n) == "none";
        outOfBounds += asked < 2 || asked > 6;
        few += asked <= 3;
        many += asked >= 4;
    }
    std::ostringstream out;
    out << "live found x" << found << ", wrong x" << wrong << "; silent given up x" << givenUp
        << " of " << silent;
    if (outOfBounds > 0)
        out << ", " << outOfBounds << " asked fewer than twice or more than six times";
    // A clean link: the answers soon show it, and a silent address is asked
    // twice, as arp-scan asks (three times or more early in the sweep, or
    // where the pace outran what the bed's 200 namespaces take in). A lossy
    // one: up to as often as the ARP method asks.
    if (!Lossy && few * 10 < silent * 9)
        out << ", only " << few << " asked two or three times";
    if (Lossy && many * 10 < silent * 9)
        out << ", only " << many << " asked four to six times";
    // A live host takes a frame, a few more where answers were lost, and
    // the checks of the link, at most one per 50 ms of the sweep.
    const long long sweepUs = w.Stamps.empty() ? 0 : w.Stamps.back() - w.Stamps.front();
    const int checks = static_cast<int>(sweepUs / 50000) + 1;
    if (liveFrames > (Lossy ? 6 : 2) * 200 + checks)
        out << ", " << liveFrames << " frames to live hosts";
    out << (sweeptest::NeverAboveTheCap(w) ? "; never above the cap" : "; faster than the cap");
    if (!Lossy)
        out << (w.PeakBits > SweepBandwidthBitsPerSecond ? ", faster than arp-scan"
                                                         : ", never faster than arp-scan");
    if (Lossy)
        out << (w.FallBacks > 0 ? ", fell back" : ", never fell back");
    std::printf("  %s sweep: %zu frames in %lld ms, pace up to %lld bit/s (%lld bit/s used), "
                "%d falls back\n",
                Lossy ? "lossy" : "clean", w.Requests, sweepUs / 1000, w.PeakBits, w.PeakUsedBits,
                w.FallBacks);
    return out.str();
}

// A scan of the /22 by the pool at its default options (64 workers, a ping
// before the ARP method): what its log and result list say of each host.
std::string ScanOfTheRange(const lan::RangeBed& Bed)
{
    platform::MainThread().Install();
    ResetEngineOptions();
    sSetStatusScanComputerComplete = "complete %s";
    sSetStatusScanComputerInactive = "inactive %s";
    sSetStatusScanNeighbourTableBound = "table %d";
    ComputerList = std::make_unique<TComputerList>();
    std::map<int, int> status;
    int tableNotes = 0, atATime = 0;
    bool finished = false;
    {
        TPoolOfThreads pool;
        pool.SetTarget(stIPRange);
        pool.SetMethod(smArp);
        pool.SetStartIP(Bed.HostOrder(1));
        pool.SetStopIP(Bed.HostOrder(Bed.HostCount()));
        pool.SetOnStatus([&](int Status, const std::string& Text) {
            const auto space = Text.find(' ');
            if (Text.rfind("table ", 0) == 0) {
                ++tableNotes;
                atATime = std::atoi(Text.c_str() + 6);
            } else if (space != std::string::npos) {
                status[Bed.NumberOf(Text.c_str() + space + 1)] = Status;
            }
        });
        pool.SetOnFinish([&](TPoolOfThreads*) { finished = true; });
        pool.Start();
        platform::MainThread().PumpUntil([&] { return finished && pool.LiveWorkers() == 0; },
                                         std::chrono::seconds(100));
    }
    int complete = 0, inactive = 0, other = 0, rows = 0, wrongRows = 0;
    for (int n = 2; n <= Bed.HostCount(); ++n) {
        const auto s = status.find(n);
        const int expected = Bed.IsLive(n) ? jsComplete : jsInactive;
        if (s == status.end() || s->second != expected)
            ++other;
        else
            (expected == jsComplete ? complete : inactive) += 1;
    }
    for (const auto& c : *ComputerList)
        for (const auto& adapter : c->AdapterList) {
            const int n = Bed.NumberOf(c->IP.c_str());
            if (n == 1)
                continue; // the scanner itself, with its own MAC
            ++rows;
            wrongRows += !Bed.IsLive(n) || adapter->Number != Bed.MacText(n);
        }
    ComputerList.reset();
    std::ostringstream out;
    out << "complete x" << complete << ", inactive x" << inactive << ", other x" << other
        << "; rows x" << rows << ", wrong x" << wrongRows << "; table noted x" << tableNotes;
    if (tableNotes > 0 && (atATime < 16 || atATime > 512))
        out << " with " << atATime << " at a time";
    return out.str();
}

// The sweep alone, then scans by the pool at its default options: with
// CAP_NET_RAW the sweep asks by itself; without it the kernel asks, no more
// addresses at a time than its table has room for (256 with the kernel's
// defaults), which bounds a /22 and is logged once. Then the sweep alone
// again with a tenth of the ARP frames lost. One bed for all: making 201
// namespaces takes seconds.
TEST_F(SweepRange, EveryLiveHostOfASlash22IsFoundCleanAndLossyWithTheWireCountsInBounds)
{
    const lan::RangeBed& b = *bed;
    EXPECT_EQ(Run([&b] { return SweepOfTheRange(b, false); }),
              "live found x200, wrong x0; silent given up x821 of 821; never above the cap, "
              "faster than arp-scan");
    EXPECT_EQ(Run([&b] { return ScanOfTheRange(b); }),
              "complete x200, inactive x821, other x0; rows x200, wrong x0; table noted x0");
    EXPECT_EQ(Run([&b] { return ScanOfTheRange(b); }, true),
              "complete x200, inactive x821, other x0; rows x200, wrong x0; table noted x1");
    ASSERT_TRUE(bed->Bridge().SetArpLoss(true));
    EXPECT_EQ(Run([&b] { return SweepOfTheRange(b, true); }),
              "live found x200, wrong x0; silent given up x821 of 821; never above the cap, "
              "fell back");
}

} // namespace
