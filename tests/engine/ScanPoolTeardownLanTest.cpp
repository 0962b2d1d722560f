// A pool that runs the real methods is stopped or destroyed in the middle of
// a scan of a private network, and leaves nothing behind: no worker, no event
// afterwards, and no open file (sockets, vendor database connections).
//   me   10.65.0.1/24   the pool runs here
//   peer 10.65.0.2/24   answers ping and ARP; the rest of the /24 is silent
#include "engine/NetUtil.h"
#include "engine/uThreadScanPool.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <dirent.h>
#include <sstream>

namespace {

int OpenFiles()
{
    DIR* d = ::opendir("/proc/self/fd");
    if (d == nullptr)
        return -1;
    int n = 0;
    while (::readdir(d) != nullptr)
        ++n;
    ::closedir(d);
    return n;
}

// Scans 10.65.0.1-254 with every method until 40 hosts are done, then stops
// the pool or destroys it; reports what followed.
std::string ScanAndEnd(bool Destroy)
{
    platform::MainThread().Install();
    ResetEngineOptions();
    DefaultTimeout = 300;
    iMaxThreads = 32;
    ComputerList = std::make_unique<TComputerList>();
    uint32_t start = 0, stop = 0;
    IPToHostOrder("10.65.0.1", start);
    IPToHostOrder("10.65.0.254", stop);
    auto scan = [&](TPoolOfThreads& Pool, uint32_t Last) {
        Pool.SetTarget(stIPRange);
        Pool.SetMethod(smAll);
        Pool.SetStartIP(start);
        Pool.SetStopIP(Last);
        Pool.Start();
    };
    std::ostringstream out;
    {
        // One whole scan first, so that what the methods open once per
        // process is open before the count.
        TPoolOfThreads warm;
        bool done = false;
        warm.SetOnFinish([&](TPoolOfThreads*) { done = true; });
        scan(warm, start + 1);
        if (!platform::MainThread().PumpUntil([&] { return done && warm.LiveWorkers() == 0; },
                                              std::chrono::seconds(30)))
            return "warm-up scan did not end";
    }
    const int filesBefore = OpenFiles();
    int statuses = 0, finishes = 0, afterEnd = 0;
    bool ended = false;
    long long endMs = 0;
    {
        TPoolOfThreads pool;
        pool.SetOnStatus([&](int, const std::string&) {
            ++statuses;
            afterEnd += ended;
        });
        pool.SetOnComputer([&](TComputer*) { afterEnd += ended; });
        pool.SetOnFinish([&](TPoolOfThreads*) {
            ++finishes;
            afterEnd += ended && finishes > 1;
        });
        scan(pool, stop);
        platform::MainThread().PumpUntil([&] { return statuses >= 40; }, std::chrono::seconds(30));
        out << (statuses >= 40 ? "scanning " : "stalled ");
        if (!Destroy) {
            pool.Stop();
            ended = true;
            out << (pool.IsBusy() ? "busy " : "idle ");
            platform::MainThread().PumpUntil([&] { return pool.LiveWorkers() == 0; },
                                             std::chrono::seconds(30));
            out << "workers " << pool.LiveWorkers() << " ";
        }
        ended = true;
        endMs = platform::MonotonicMs();
    }
    const long long teardownMs = platform::MonotonicMs() - endMs;
    out << "finishes " << finishes << " after " << afterEnd << " files "
        << (OpenFiles() == filesBefore ? "same" : "leaked") << " "
        << (teardownMs < 5000 ? "prompt" : std::to_string(teardownMs) + "ms");
    ComputerList.reset();
    return out.str();
}

class PoolTeardown : public TwoHostLab {
protected:
    PoolTeardown()
        : TwoHostLab({"me", {"eth0", "02:00:00:65:00:01", "10.65.0.1/24"}},
                     {"peer", {"eth0", "02:00:00:65:00:02", "10.65.0.2/24"}})
    {
    }
    lan::Host*& me = first;
};

} // namespace

TEST_F(PoolTeardown, StopMidScanOfRealMethods)
{
    lan::RunOptions o;
    o.timeout = std::chrono::seconds(90);
    lan::RunResult r = me->Run([] { return ScanAndEnd(false); }, o);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "scanning idle workers 0 finishes 1 after 0 files same prompt");
}

TEST_F(PoolTeardown, DestructionMidScanOfRealMethods)
{
    lan::RunOptions o;
    o.timeout = std::chrono::seconds(90);
    lan::RunResult r = me->Run([] { return ScanAndEnd(true); }, o);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "scanning finishes 0 after 0 files same prompt");
}
