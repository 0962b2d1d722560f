// Route, link, address and neighbour queries and the raw ARP exchange,
// checked against the kernel's own view (ip -j) in private namespaces.
#include "platform/Netlink.h"
#include "platform/RawArp.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <linux/neighbour.h>
#include <net/if.h>
#include <sstream>
#include <sys/socket.h>
#include <thread>

using namespace platform;

namespace {

// The decimal number right after `key` in `text`, or -1.
int NumberAfter(const std::string& text, const std::string& key)
{
    auto at = text.find(key);
    if (at == std::string::npos)
        return -1;
    at += key.size();
    auto end = text.find_first_not_of("0123456789", at);
    if (end == at)
        return -1;
    return std::stoi(text.substr(at, end - at));
}

constexpr long long kSlackMs = 400;

IpAddress Addr(const std::string& text)
{
    IpAddress a;
    if (!ParseIpAddress(text, a))
        throw std::runtime_error("bad test address " + text);
    return a;
}

std::string Hex(const uint8_t* b, size_t n)
{
    std::string s;
    char part[4];
    for (size_t i = 0; i < n; ++i) {
        std::snprintf(part, sizeof part, i ? ":%02x" : "%02x", b[i]);
        s += part;
    }
    return s;
}

const char* ResultName(NeighbourResult r)
{
    switch (r) {
    case NeighbourResult::Resolved:
        return "resolved";
    case NeighbourResult::Failed:
        return "failed";
    case NeighbourResult::TimedOut:
        return "timed-out";
    case NeighbourResult::Error:
        return "error";
    }
    return "?";
}

// "result mac ms" of one ResolveNeighbour inside the namespace.
std::function<std::string()> Resolve(std::string dev, std::string ip, int timeoutMs,
                                     int requeryMs = 200)
{
    return [=] {
        NeighbourEntry e;
        long long t0 = MonotonicMs();
        NeighbourResult r = ResolveNeighbour(static_cast<int>(if_nametoindex(dev.c_str())),
                                             Addr(ip), timeoutMs, e, requeryMs);
        long long ms = MonotonicMs() - t0;
        return std::string(ResultName(r)) + " " +
               (e.lladdr.empty() ? "-" : Hex(e.lladdr.data(), e.lladdr.size())) + " " +
               std::to_string(ms);
    };
}

struct Outcome {
    std::string result, mac;
    long long ms = -1;
};

Outcome Split(const lan::RunResult& r)
{
    Outcome o;
    if (!r.ok()) {
        o.result = r.Describe();
        return o;
    }
    std::istringstream in(r.value);
    in >> o.result >> o.mac >> o.ms;
    return o;
}

class NeighbourLayer : public TwoHostLab {
protected:
    NeighbourLayer()
        : TwoHostLab({"s", {"eth0", "02:00:00:4e:00:01", "10.78.0.1/24"}},
                     {"p", {"eth0", "02:4e:4e:4e:4e:02", "10.78.0.2/24"}})
    {
    }
    void SetUpLab() override
    {
        s->AddRoute({"10.90.0.0/16", "via", "10.78.0.2"});
        s->AddRoute({"unreachable", "10.91.0.0/16"});
        s->AddRoute({"blackhole", "10.92.0.0/16"});
    }
    lan::Host*& s = first;
    lan::Host*& p = second;
};

TEST_F(NeighbourLayer, RouteLookupTellsOnLinkGatewayLocalAndRefusedApart)
{
    const int eth0 = lan::LinkIndex(*s, "eth0");
    ASSERT_GT(eth0, 0);
    lan::RunResult r = s->Run([] {
        std::string out;
        for (const char* ip : {"10.78.0.2", "10.90.1.1", "10.78.0.1", "10.78.0.255", "10.91.0.1",
                               "10.92.0.1", "192.0.2.1"}) {
            RouteInfo route;
            if (!LookupRoute(Addr(ip), route)) {
                out += "none;";
                continue;
            }
            out += std::to_string(static_cast<int>(route.kind)) + " " +
                   std::to_string(route.ifindex) + " " +
                   (route.hasGateway ? IpAddressText(route.gateway) : "-") + " " +
                   (route.hasPrefSrc ? IpAddressText(route.prefSrc) : "-") + ";";
        }
        return out;
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    const std::string i = std::to_string(eth0);
    const int lo = 1;
    EXPECT_EQ(r.value, "0 " + i +
                           " - 10.78.0.1;" // on-link neighbour
                           "1 " +
                           i +
                           " 10.78.0.2 10.78.0.1;" // behind the gateway
                           "2 " +
                           std::to_string(lo) +
                           " - 10.78.0.1;" // own address, on lo
                           "3 " +
                           i +
                           " - 10.78.0.1;"     // broadcast
                           "none;none;none;"); // unreachable, blackhole, no route
}

TEST_F(NeighbourLayer, LinkAndAddressOwnerAsIpShowsThem)
{
    const int eth0 = lan::LinkIndex(*s, "eth0");
    lan::RunResult r = s->Run([eth0] {
        LinkInfo link;
        if (!GetLinkInfo(eth0, link))
            return std::string("no link");
        return link.name + " " + Hex(link.hwaddr.data(), link.hwaddr.size()) + " " +
               ((link.flags & IFF_UP) ? "up" : "down") + " " +
               std::to_string(FindAddressOwner(Addr("10.78.0.1"))) + " " +
               std::to_string(FindAddressOwner(Addr("10.78.0.2"))) + " " +
               std::to_string(FindAddressOwner(Addr("127.0.0.1")));
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "eth0 02:00:00:4e:00:01 up " + std::to_string(eth0) + " 0 1");
}

TEST_F(NeighbourLayer, LiveNeighbourResolvedAndThenInTheTable)
{
    lan::RunResult before = s->Run([] {
        NeighbourEntry e;
        return std::to_string(static_cast<int>(
            LookupNeighbour(static_cast<int>(if_nametoindex("eth0")), Addr("10.78.0.2"), e)));
    });
    ASSERT_TRUE(before.ok()) << before.Describe();
    EXPECT_EQ(before.value, std::to_string(static_cast<int>(NeighbourLookup::Missing)));

    Outcome o = Split(s->Run(Resolve("eth0", "10.78.0.2", 3000)));
    EXPECT_EQ(o.result, "resolved");
    EXPECT_EQ(o.mac, "02:4e:4e:4e:4e:02");

    lan::RunResult after = s->Run([] {
        NeighbourEntry e;
        auto r = LookupNeighbour(static_cast<int>(if_nametoindex("eth0")), Addr("10.78.0.2"), e);
        return std::to_string(r == NeighbourLookup::Found) + " " +
               std::to_string(IsUsableNeighbour(e)) + " " + Hex(e.lladdr.data(), e.lladdr.size());
    });
    ASSERT_TRUE(after.ok()) << after.Describe();
    EXPECT_EQ(after.value, "1 1 02:4e:4e:4e:4e:02");
    EXPECT_NE(s->Ip({"neigh", "show", "10.78.0.2"}).find("02:4e:4e:4e:4e:02"), std::string::npos);
}

TEST_F(NeighbourLayer, NotificationsWakeTheWaitNotTheRequeryTick)
{
    // With the table asked only every 5 s, a prompt answer can only have come
    // from the kernel's notification.
    Outcome o = Split(s->Run(Resolve("eth0", "10.78.0.2", 4000, 5000)));
    EXPECT_EQ(o.result, "resolved");
    EXPECT_LT(o.ms, 500);
}

TEST_F(NeighbourLayer, SilentAddressFailsWithTheKernelOrTimesOutAtTheBound)
{
    Outcome failed = Split(s->Run(Resolve("eth0", "10.78.0.66", 5000)));
    EXPECT_EQ(failed.result, "failed");
    EXPECT_GE(failed.ms, 2500);
    EXPECT_LE(failed.ms, 3500 + kSlackMs);

    Outcome cut = Split(s->Run(Resolve("eth0", "10.78.0.67", 250)));
    EXPECT_EQ(cut.result, "timed-out");
    EXPECT_GE(cut.ms, 245);
    EXPECT_LE(cut.ms, 250 + kSlackMs);
}

TEST_F(NeighbourLayer, ConcurrentWaitersOnOneEntryAllHearTheVerdict)
{
    lan::RunResult r = s->Run(
        [] {
            std::vector<std::string> out(6);
            std::vector<std::thread> threads;
            for (int i = 0; i < 6; ++i)
                threads.emplace_back([&out, i] {
                    if (i % 2)
                        std::this_thread::sleep_for(std::chrono::milliseconds(300 * i));
                    out[i] = Resolve("eth0", i < 3 ? "10.78.0.2" : "10.78.0.68", 5000)();
                });
            for (auto& t : threads)
                t.join();
            std::string all;
            for (auto& o : out)
                all += o.substr(0, o.rfind(' ')) + ";";
            return all;
        },
        [] {
            lan::RunOptions o;
            o.timeout = std::chrono::seconds(20);
            return o;
        }());
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "resolved 02:4e:4e:4e:4e:02;resolved 02:4e:4e:4e:4e:02;resolved "
                       "02:4e:4e:4e:4e:02;failed -;failed -;failed -;");
}

TEST_F(NeighbourLayer, RawExchangeAnswersProbesAndRequestsAlike)
{
    auto exchange = [](std::string src, std::string target, ArpPacing pacing) {
        return [=] {
            MacBytes own = {0x02, 0, 0, 0x4e, 0, 0x01}, mac{};
            IpAddress source;
            source.family = AF_INET;
            if (!src.empty())
                source = Addr(src);
            long long t0 = MonotonicMs();
            ArpResult r = ArpRequest(static_cast<int>(if_nametoindex("eth0")), own, source,
                                     Addr(target), pacing, mac);
            return std::to_string(static_cast<int>(r)) + " " +
                   (r == ArpResult::Answered ? Hex(mac.data(), 6) : "-") + " " +
                   std::to_string(MonotonicMs() - t0);
        };
    };
    const std::string answered = std::to_string(static_cast<int>(ArpResult::Answered));
    Outcome request = Split(s->Run(exchange("10.78.0.1", "10.78.0.2", {3, 100, 100})));
    EXPECT_EQ(request.result, answered);
    EXPECT_EQ(request.mac, "02:4e:4e:4e:4e:02");
    EXPECT_LT(request.ms, 150);
    // A probe without a source address (0.0.0.0) is answered as well.
    Outcome probe = Split(s->Run(exchange("", "10.78.0.2", {3, 100, 100})));
    EXPECT_EQ(probe.result, answered);
    EXPECT_EQ(probe.mac, "02:4e:4e:4e:4e:02");

    Outcome silent = Split(s->Run(exchange("10.78.0.1", "10.78.0.69", {4, 80, 120})));
    EXPECT_EQ(silent.result, std::to_string(static_cast<int>(ArpResult::NoReply)));
    EXPECT_GE(silent.ms, 355);
    EXPECT_LE(silent.ms, 360 + kSlackMs);

    lan::RunOptions unprivileged;
    unprivileged.unprivileged = true;
    lan::RunResult refused = s->Run(
        [exchange] {
            return std::to_string(RawArpAvailable()) + " " +
                   exchange("10.78.0.1", "10.78.0.2", {3, 100, 100})();
        },
        unprivileged);
    ASSERT_TRUE(refused.ok()) << refused.Describe();
    std::istringstream in(refused.value);
    std::string available, result, mac;
    long long ms = -1;
    in >> available >> result >> mac >> ms;
    EXPECT_EQ(available, "0");
    EXPECT_EQ(result, std::to_string(static_cast<int>(ArpResult::Unavailable)));
    EXPECT_LT(ms, 50);
    lan::RunResult privileged = s->Run([] { return std::to_string(RawArpAvailable()); });
    EXPECT_EQ(privileged.value, "1");
}

TEST_F(NeighbourLayer, RawRequestsLeaveAtTheirOwnPace)
{
    // Counted on p's side: its eth0 receives each broadcast request.
    auto rxArp = [this] {
        lan::ExecResult e = p->Exec({"nft", "list", "counter", "arp", "count", "requests"});
        return NumberAfter(e.out, "packets ");
    };
    for (const std::string& cmd :
         {std::string("add table arp count"), std::string("add counter arp count requests"),
          std::string("add chain arp count in { type filter hook input priority 0; }"),
          std::string("add rule arp count in arp operation request arp daddr ip 10.78.0.70 "
                      "counter name requests")}) {
        lan::ExecResult e = p->Exec({"nft", cmd});
        ASSERT_TRUE(e.ok()) << cmd << ": " << e.err;
    }
    lan::RunResult r = s->Run([] {
        MacBytes own = {0x02, 0, 0, 0x4e, 0, 0x01}, mac{};
        return std::to_string(
            static_cast<int>(ArpRequest(static_cast<int>(if_nametoindex("eth0")), own,
                                        Addr("10.78.0.1"), Addr("10.78.0.70"), {5, 60, 60}, mac)));
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, std::to_string(static_cast<int>(ArpResult::NoReply)));
    EXPECT_EQ(rxArp(), 5);
}

} // namespace
