// The default scan (ARP after the ping check) as an ordinary user meets it on
// a Debian computer: no CAP_NET_RAW and the kernel's default
// net.ipv4.ping_group_range "1 0", so no echo can be sent at all. The hosts
// the kernel's neighbour table reaches must still be found, and the log must
// say once why the check failed, not once per host.
//   scanner 10.65.0.1/24   the pool runs here, unprivileged
//   live    10.65.0.2/24
//   quiet   10.65.0.3/24   ignores pings as well
//   every other address of the /24 is silent
#include "engine/NetUtil.h"
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uThreadScanPool.h"
#include "platform/Thread.h"
#include "tests/lan/Lab.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <string>

namespace {

const std::string kNet = "10.65.0.";

TEST(UnprivilegedScanLan, HostsTheNeighbourTableReachesAreFoundAndTheReasonIsSaidOnce)
{
    TVX_REQUIRE_LAN();
    lan::Lab lab;
    lan::Switch& sw = lab.AddSwitch();
    const std::vector<lan::Host*> hosts =
        lab.AddHostsOnSwitch(sw, {{"eth0", "02:00:00:65:00:01", kNet + "1/24"},
                                  {"eth0", "02:00:00:65:00:02", kNet + "2/24"},
                                  {"eth0", "02:00:00:65:00:03", kNet + "3/24"}});
    hosts[2]->SetSysctl("net.ipv4.icmp_echo_ignore_all", "1");
    // What a namespace starts with, as the kernel's own default.
    hosts[0]->SetSysctl("net.ipv4.ping_group_range", "1 0");

    lan::RunOptions o;
    o.unprivileged = true; // uid nobody, every capability dropped, as setpriv would
    o.timeout = std::chrono::seconds(90);
    const lan::RunResult r = hosts[0]->Run(
        [] {
            platform::MainThread().Install();
            ResetEngineOptions();
            sSetStatusScanComputerComplete = "%s complete";
            sSetStatusScanComputerInactive = "%s inactive";
            sSetStatusScanComputerNotDetect = "%s not detected";
            sSetStatusScanComputerErrorMSg = "%s error %s";
            sSetStatusScanCheckUnavailable = "no check: %s";
            ComputerList = std::make_unique<TComputerList>();
            TPoolOfThreads pool;
            std::map<int, int> byStatus;
            std::string reasons, rows;
            bool finished = false;
            pool.SetOnStatus([&](int Status, const std::string& Text) {
                ++byStatus[Status];
                if (Text.rfind("no check: ", 0) == 0)
                    reasons += "[" + Text + "]";
            });
            pool.SetOnFinish([&](TPoolOfThreads*) { finished = true; });
            uint32_t a = 0, b = 0;
            IPToHostOrder(kNet + "2", a);
            IPToHostOrder(kNet + "12", b);
            pool.SetTarget(stIPRange);
            pool.SetMethod(smArp);
            pool.SetStartIP(a);
            pool.SetStopIP(b);
            pool.Start();
            platform::MainThread().PumpUntil([&] { return finished && pool.LiveWorkers() == 0; },
                                             std::chrono::seconds(80));
            std::map<std::string, std::string> found; // in address order
            for (const auto& c : *ComputerList)
                found[c->IP] = c->AdapterList.at(0)->Number;
            for (const auto& [ip, mac] : found)
                rows += " " + ip + "=" + mac;
            const bool saysWhy = reasons.find("ping_group_range") != std::string::npos;
            return "rows" + rows + " | inactive " + std::to_string(byStatus[1]) + ", errors " +
                   std::to_string(byStatus[3]) + ", reason named " + (saysWhy ? "yes" : "no");
        },
        o);
    ASSERT_TRUE(r.ok()) << r.Describe();
    // Eleven host lines, each "inactive", and the one line that says why.
    EXPECT_EQ(r.value, "rows 10.65.0.2=02-00-00-65-00-02 10.65.0.3=02-00-00-65-00-03 | "
                       "inactive 11, errors 1, reason named yes");
}

} // namespace
