// Figures of the ARP method on a private bridge (needs root):
//  - for one live and one dead host, the time of each way beside its bound,
//    with and without CAP_NET_RAW;
//  - a /24 with 50 live hosts resolved by 250 and by 64 threads, without and
//    with 10% of ARP frames dropped on the bridge, beside arp-scan and
//    nmap -sn on the same network.
// Usage: arp_bench [rounds [loss]]   (rounds of each /24 figure, default 3;
//        "loss": only the figures with dropped frames, without the tools)
#include "engine/uGetMac.h"
#include "engine/uResolveIpNetEntry2.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <set>
#include <thread>

namespace {

constexpr int kLive = 50;
const std::string kNet = "10.66.0.";

using Way = void (*)(const std::string&, std::string&);

void NeighbourWay(const std::string& ip, std::string& mac)
{
    GetMacByResolveIpNetEntry2(ip, mac);
}
void SendArpWay(const std::string& ip, std::string& mac)
{
    GetMacBySendArp(ip, mac);
}
void ArpWay(const std::string& ip, std::string& mac)
{
    GetMacByArp(ip, mac);
}

// Live hosts spread over the range (every fifth address from .3), so that
// each worker meets silent ones as a real scan does.
std::string LiveAddress(int i)
{
    return kNet + std::to_string(3 + 5 * i);
}

lan::RunOptions Options(bool unprivileged, int seconds)
{
    lan::RunOptions o;
    o.unprivileged = unprivileged;
    o.timeout = std::chrono::seconds(seconds);
    return o;
}

void OneHost(lan::Host& scanner, const char* label, const std::string& ip, long long boundPriv,
             long long boundUnpriv)
{
    struct W {
        const char* name;
        Way way;
    } ways[] = {{"neighbour", NeighbourWay}, {"sendarp", SendArpWay}, {"arp", ArpWay}};
    for (bool unpriv : {false, true}) {
        for (const W& w : ways) {
            scanner.Ip({"neigh", "flush", "dev", "eth0"});
            Way way = w.way;
            lan::RunResult r = scanner.Run(
                [way, ip] {
                    std::string mac;
                    long long t0 = platform::MonotonicMs();
                    way(ip, mac);
                    return (mac.empty() ? std::string("-") : mac) + " " +
                           std::to_string(platform::MonotonicMs() - t0);
                },
                Options(unpriv, 20));
            long long bound = w.way == NeighbourWay ? NeighbourVerdictMs
                              : w.way == SendArpWay ? (unpriv ? 0 : SendArpPacing.BoundMs())
                                                    : (unpriv ? boundUnpriv : boundPriv);
            std::printf("  %-5s host %-12s %-10s %-12s mac/ms: %-24s bound %lld ms\n", label,
                        ip.c_str(), w.name, unpriv ? "unprivileged" : "CAP_NET_RAW",
                        r.ok() ? r.value.c_str() : r.Describe().c_str(), bound);
        }
    }
}

struct Scan {
    long long ms = 0;
    int found = 0;
    int wrong = 0;
    std::string missed;
};

Scan ScanRange(lan::Host& scanner, int threads, bool unprivileged)
{
    scanner.Ip({"neigh", "flush", "dev", "eth0"});
    lan::RunResult r = scanner.Run(
        [threads] {
            std::vector<std::string> macs(255);
            std::atomic<int> next{1};
            long long t0 = platform::MonotonicMs();
            std::vector<std::thread> pool;
            for (int t = 0; t < threads; ++t)
                pool.emplace_back([&] {
                    for (int i; (i = next++) <= 254;)
                        GetMacByArp(kNet + std::to_string(i), macs[i]);
                });
            for (auto& t : pool)
                t.join();
            long long ms = platform::MonotonicMs() - t0;
            int found = 0, wrong = 0;
            std::string missed;
            for (int i = 0; i < kLive; ++i) {
                int host = 3 + 5 * i;
                std::string want = lan::LocalMac(0x5c00 + host);
                std::replace(want.begin(), want.end(), ':', '-');
                if (macs[host] == want)
                    ++found;
                else if (!macs[host].empty())
                    ++wrong;
                else
                    missed += " ." + std::to_string(host);
                macs[host].clear();
            }
            macs[1].clear(); // the scanner itself
            for (auto& m : macs)
                wrong += !m.empty();
            return std::to_string(ms) + " " + std::to_string(found) + " " + std::to_string(wrong) +
                   (missed.empty() ? "" : " missed" + missed);
        },
        Options(unprivileged, 60));
    Scan s;
    if (!r.ok() || std::sscanf(r.value.c_str(), "%lld %d %d", &s.ms, &s.found, &s.wrong) != 3)
        std::printf("  scan failed: %s\n", r.Describe().c_str());
    else if (auto at = r.value.find(" missed"); at != std::string::npos)
        s.missed = r.value.substr(at);
    return s;
}

// Seconds of a tool's own scan, from its wall time.
long long ToolMs(lan::Host& scanner, const std::vector<std::string>& argv, int& found)
{
    scanner.Ip({"neigh", "flush", "dev", "eth0"});
    long long t0 = platform::MonotonicMs();
    lan::ExecResult e = scanner.Exec(argv, std::chrono::seconds(60));
    long long ms = platform::MonotonicMs() - t0;
    // Distinct MACs of the live hosts (arp-scan also lists duplicate replies).
    std::set<std::string> macs;
    std::string out = e.out;
    std::transform(out.begin(), out.end(), out.begin(), ::tolower);
    const std::string prefix = "02:00:00:00:5c:";
    for (auto at = out.find(prefix); at != std::string::npos; at = out.find(prefix, at + 1)) {
        std::string m = out.substr(at, prefix.size() + 2);
        if (m.size() == 17 && m != "02:00:00:00:5c:01")
            macs.insert(m);
    }
    found = static_cast<int>(macs.size());
    return e.code == 0 ? ms : -1;
}

} // namespace

int main(int argc, char** argv)
{
    if (!lan::LanUnavailableReason().empty()) {
        std::printf("arp_bench: private networks unavailable: %s\n",
                    lan::LanUnavailableReason().c_str());
        return 0;
    }
    const int rounds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const bool lossOnly = argc > 2 && std::string(argv[2]) == "loss";
    lan::Lab lab;
    lan::Switch& sw = lab.AddSwitch();
    std::vector<lan::Nic> nics;
    nics.push_back({"eth0", lan::LocalMac(0x5c01), kNet + "1/24"});
    for (int i = 0; i < kLive; ++i) {
        int host = 3 + 5 * i;
        nics.push_back({"eth0", lan::LocalMac(0x5c00 + host), kNet + std::to_string(host) + "/24"});
    }
    long long t0 = platform::MonotonicMs();
    std::vector<lan::Host*> hosts = lab.AddHostsOnSwitch(sw, nics);
    std::printf("arp_bench: bridge with %d hosts built in %lld ms\n", kLive + 1,
                platform::MonotonicMs() - t0);
    lan::Host& scanner = *hosts[0];

    const long long boundPriv = ArpNeighbourWaitMs + SendArpPacing.BoundMs();
    std::printf("bounds: neighbour wait %d ms (%d ms before raw requests), raw %d x %d ms + %d ms "
                "= %d ms\n",
                NeighbourVerdictMs, ArpNeighbourWaitMs, SendArpPacing.Attempts,
                SendArpPacing.IntervalMs, SendArpPacing.LastWaitMs, SendArpPacing.BoundMs());
    OneHost(scanner, "live", LiveAddress(0), boundPriv, NeighbourVerdictMs);
    OneHost(scanner, "dead", kNet + "200", boundPriv, NeighbourVerdictMs);

    for (bool loss : {false, true}) {
        if (lossOnly && !loss)
            continue;
        if (!sw.SetArpLoss(loss))
            std::printf("  nft refused the loss rule\n");
        std::printf("/24, %d live, %s:\n", kLive, loss ? "10% of ARP frames dropped" : "no loss");
        for (int i = 0; i < rounds; ++i) {
            int found = 0;
            if (lossOnly)
                goto ours;
            {
                long long a =
                    ToolMs(scanner, {"arp-scan", "--localnet", "-I", "eth0", "-q"}, found);
                std::printf("  arp-scan (defaults)      %5lld ms  found %2d\n", a, found);
                long long n = ToolMs(scanner, {"nmap", "-sn", "-n", kNet + "0/24"}, found);
                std::printf("  nmap -sn                 %5lld ms  found %2d\n", n, found);
            }
        ours:
            for (int threads : {250, 64}) {
                Scan s = ScanRange(scanner, threads, false);
                std::printf("  GetMacByArp %3d threads  %5lld ms  found %2d wrong %d%s\n", threads,
                            s.ms, s.found, s.wrong, s.missed.c_str());
            }
        }
        Scan u = ScanRange(scanner, 250, true);
        std::printf("  unprivileged, 250 threads %5lld ms  found %2d wrong %d%s\n", u.ms, u.found,
                    u.wrong, u.missed.c_str());
    }
    if (!sw.SetArpLoss(false))
        std::printf("  nft refused the loss rule\n");
    return 0;
}
