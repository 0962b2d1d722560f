// Time of one call of the NetBIOS, NET API and WMI methods for a live and a
// dead host, beside the bound each should keep, measured in a private
// network of two namespaces (needs root): a scripted NetBIOS node that
// answers at once, and an address where nobody is. NET API and WMI answer
// only for this computer; for another host they fail without waiting.
//
//   mac_methods_bench [runs]
//
// One run on the build machine (5 runs, default time-out 300 ms; ms min /
// median / max): NetBIOS live 0 / 1 / 1, dead 301 / 301 / 301 (bound 600);
// NET API and WMI for this computer 0 / 0-1 / 1, for another host 0 / 0 / 1.
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uGetMac.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/support/TwoHostLab.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

namespace {

// Milliseconds of each of `runs` calls, each made in a fresh child inside
// the namespace.
std::vector<long long> Measure(const lan::Host& host, int runs, std::function<void()> call)
{
    std::vector<long long> ms;
    for (int i = 0; i < runs; ++i) {
        lan::RunResult r = host.Run([call] {
            const long long t0 = platform::MonotonicMs();
            std::string outcome;
            try {
                call();
            } catch (const std::exception& e) {
                outcome = e.what();
            }
            return std::to_string(platform::MonotonicMs() - t0) + " " + outcome;
        });
        if (!r.ok())
            continue;
        const std::string outcome = r.value.substr(r.value.find(' ') + 1);
        // WMI's refusal of another host is the outcome being timed; anything
        // else that raised is a run that went wrong.
        if (!outcome.empty() && outcome != platform::WmiUnavailableMessage) {
            std::printf("  run failed: %s\n", outcome.c_str());
            continue;
        }
        ms.push_back(std::stoll(r.value));
    }
    std::sort(ms.begin(), ms.end());
    return ms;
}

void Print(const char* method, const char* host, const std::vector<long long>& ms,
           const std::string& bound)
{
    if (ms.empty()) {
        std::printf("%-8s %-22s   no run completed\n", method, host);
        return;
    }
    std::printf("%-8s %-22s %6lld %6lld %6lld   %s\n", method, host, ms.front(), ms[ms.size() / 2],
                ms.back(), bound.c_str());
}

} // namespace

int main(int argc, char** argv)
{
    // Unbuffered: the namespace children are forks and would print again
    // whatever sat in the buffer.
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::string why = lan::LanUnavailableReason();
    if (!why.empty()) {
        std::printf("mac_methods_bench: private networks unavailable: %s\n", why.c_str());
        return 0;
    }
    lan::Lab lab;
    auto [scanner, node] =
        AddLinkedHosts(lab, {"scanner", {"eth0", "02:00:00:be:00:01", "10.69.0.1/24"}},
                       {"node", {"eth0", "02:00:00:be:00:02", "10.69.0.2/24"}});
    lan::PeerSpec spec;
    spec.name = "netbios";
    spec.argv = {"/usr/bin/python3",
                 TOLVEX_SOURCE_DIR "/tests/engine/netbios_responder.py",
                 "10.69.0.2",
                 "02:00:00:be:00:02",
                 "good",
                 "BENCHNODE"};
    spec.ready = [&node] { return lan::IsListening(node, "udp", 137); };
    lab.StartPeer(node, spec);

    const int timeout = TEngineSettings{}.DefaultTimeout;
    const std::string bounded = "bound: 2 x time-out = " + std::to_string(2 * timeout) + " ms";
    std::printf("%d runs each; ms: min median max\n", runs);
    Print("NetBIOS", "live 10.69.0.2",
          Measure(scanner, runs,
                  [timeout] {
                      std::string mac;
                      GetMacByNetBios("10.69.0.2", timeout, mac);
                      if (mac != "02-00-00-be-00-02")
                          throw std::runtime_error("wrong MAC " + mac);
                  }),
          bounded);
    Print("NetBIOS", "dead 10.69.0.99",
          Measure(scanner, runs,
                  [timeout] {
                      std::string mac;
                      GetMacByNetBios("10.69.0.99", timeout, mac);
                  }),
          bounded);
    Print("NET API", "live (this computer)",
          Measure(scanner, runs,
                  [] {
                      TComputer c;
                      GetMacsByNetApi("", c);
                  }),
          "no time-out: local inventory");
    Print("NET API", "remote 10.69.0.2",
          Measure(scanner, runs,
                  [] {
                      TComputer c;
                      GetMacsByNetApi("10.69.0.2", c);
                  }),
          "no time-out: fails without asking");
    Print("WMI", "live (this computer)",
          Measure(scanner, runs,
                  [] {
                      TComputer c;
                      GetMacsByWmi(".", c);
                  }),
          "no time-out: local inventory and sysfs");
    Print("WMI", "remote 10.69.0.2",
          Measure(scanner, runs,
                  [] {
                      TComputer c;
                      GetMacsByWmi("10.69.0.2", c);
                  }),
          "no time-out: fails without asking");
    return 0;
}
