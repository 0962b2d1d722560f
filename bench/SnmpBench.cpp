// Time of the SNMP method for one live host (snmpd serving its interface
// table) and one dead host (no agent), each in a private namespace, printed
// beside the time-out that bounds one request. Needs root; run by hand.
#include "engine/uEngineOptions.h"
#include "engine/uGetMac.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"

#include <cstdio>
#include <filesystem>
#include <fstream>

namespace {

long long TimeOnce(const lan::Host& client, const std::string& host, int timeout, int& adapters)
{
    lan::RunResult r = client.Run([=] {
        TComputer computer;
        long long t0 = platform::MonotonicMs();
        GetMacsBySnmp(host, computer, "tvxbench", timeout);
        return std::to_string(platform::MonotonicMs() - t0) + " " +
               std::to_string(computer.AdapterList.size());
    });
    if (!r.ok()) {
        std::fprintf(stderr, "run failed: %s\n", r.Describe().c_str());
        return -1;
    }
    adapters = std::stoi(r.value.substr(r.value.find(' ') + 1));
    return std::stoll(r.value);
}

} // namespace

int main()
{
    // The namespace runs fork; buffered output would be written by each child too.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    if (!lan::LanUnavailableReason().empty()) {
        std::printf("snmp_bench: private networks unavailable: %s\n",
                    lan::LanUnavailableReason().c_str());
        return 0;
    }
    lan::Lab lab;
    lan::Host& client = lab.AddHost("client");
    lan::Host& agent = lab.AddHost("agent");
    lan::Host& dead = lab.AddHost("dead");
    lan::Switch& sw = lab.AddSwitch();
    lab.Attach(sw, client, {"eth0", "02:00:00:00:08:01", "10.8.0.1/24"});
    lab.Attach(sw, agent, {"eth0", "02:00:00:00:08:02", "10.8.0.2/24"});
    lab.Attach(sw, dead, {"eth0", "02:00:00:00:08:03", "10.8.0.3/24"});

    lan::StartSnmpd(agent, {{"10.8.0.2"}, "", "tvxbench"});

    const int timeout = TEngineSettings().DefaultTimeout;
    std::printf("SNMP method, time-out %d ms per request, no retry\n", timeout);
    for (int round = 0; round < 3; ++round) {
        int liveAdapters = 0, deadAdapters = 0;
        long long live = TimeOnce(client, "10.8.0.2", timeout, liveAdapters);
        long long none = TimeOnce(client, "10.8.0.3", timeout, deadAdapters);
        std::printf("  live host: %5lld ms (%d adapters; bound: 4 requests per interface, each "
                    "< %d ms)\n"
                    "  dead host: %5lld ms (bound: one time-out, %d ms)\n",
                    live, liveAdapters, timeout, none, timeout);
    }
    return 0;
}
