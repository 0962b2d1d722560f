// The ARP method's two ways against real neighbours in private namespaces:
// what they find is checked against the kernel's own view (ip -j link), and
// what they cannot find must come back empty within the stated bounds.
#include "engine/uGetMac.h"
#include "engine/uResolveIpNetEntry2.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <atomic>
#include <dirent.h>
#include <thread>

using namespace std::chrono_literals;

namespace {

// Slack on every time bound: the tests run beside others under ctest -j.
constexpr long long kSlackMs = 400;

using Way = void (*)(const std::string&, std::string&);

void NeighbourWay(const std::string& ip, std::string& mac)
{
    GetMacByResolveIpNetEntry2(ip, mac);
}

void ArpWay(const std::string& ip, std::string& mac)
{
    GetMacByArp(ip, mac);
}

void SendArpWay(const std::string& ip, std::string& mac)
{
    GetMacBySendArp(ip, mac);
}

// "mac|ms" of one call made inside a namespace.
std::function<std::string()> Timed(Way way, std::string ip)
{
    return [way, ip] {
        std::string mac = "untouched";
        long long t0 = platform::MonotonicMs();
        way(ip, mac);
        return mac + "|" + std::to_string(platform::MonotonicMs() - t0);
    };
}

struct Timing {
    std::string mac;
    long long ms = -1;
};

Timing Parse(const lan::RunResult& r)
{
    Timing t;
    if (!r.ok()) {
        t.mac = "run failed: " + r.Describe();
        return t;
    }
    auto bar = r.value.rfind('|');
    t.mac = r.value.substr(0, bar);
    t.ms = std::stoll(r.value.substr(bar + 1));
    return t;
}

int OpenDescriptors()
{
    int n = 0;
    if (DIR* d = opendir("/proc/self/fd")) {
        while (readdir(d))
            ++n;
        closedir(d);
    }
    return n;
}

const lan::RunOptions kUnprivileged = [] {
    lan::RunOptions o;
    o.unprivileged = true;
    return o;
}();

// Scanner s and peer p on one veth link; p has a MAC of our choosing, and s
// reaches 10.88.0.0/16 through p as its gateway.
class ArpWays : public TwoHostLab {
protected:
    ArpWays()
        : TwoHostLab({"s", {"eth0", "02:00:00:4d:00:01", "10.77.0.1/24"}},
                     {"p", {"eth0", "02:5e:a1:0b:c3:d4", "10.77.0.2/24"}})
    {
    }
    void SetUpLab() override { s->AddRoute({"10.88.0.0/16", "via", "10.77.0.2"}); }

    Timing In(const lan::Host& h, Way way, const std::string& ip, const lan::RunOptions& o = {})
    {
        return Parse(h.Run(Timed(way, ip), o));
    }

    lan::Host*& s = first;
    lan::Host*& p = second;
    const std::string live = "10.77.0.2";
    const std::string dead = "10.77.0.99";
};

TEST_F(ArpWays, LivePeerFoundByEveryWayAsIpLinkShowsIt)
{
    const std::string expected = lan::LinkMac(*p, "eth0");
    ASSERT_EQ(expected, "02-5e-a1-0b-c3-d4");
    // Each way on a fresh namespace child; the neighbour way first, while the
    // kernel has no entry yet, so that it really has to resolve.
    Timing neighbour = In(*s, NeighbourWay, live);
    EXPECT_EQ(neighbour.mac, expected);
    EXPECT_LT(neighbour.ms, 1000) << "a live neighbour answers the kernel's first probe";
    s->Ip({"neigh", "flush", "dev", "eth0"});
    Timing raw = In(*s, SendArpWay, live);
    EXPECT_EQ(raw.mac, expected);
    EXPECT_LT(raw.ms, 1000);
    Timing arp = In(*s, ArpWay, live);
    EXPECT_EQ(arp.mac, expected);
}

TEST_F(ArpWays, DeadOnLinkAddressEmptyWithinBounds)
{
    Timing neighbour = In(*s, NeighbourWay, dead);
    EXPECT_EQ(neighbour.mac, "");
    // The kernel's verdict (about 3 s), never more than the stated wait.
    EXPECT_GE(neighbour.ms, 2500) << "gave up before the kernel did";
    EXPECT_LE(neighbour.ms, NeighbourVerdictMs + kSlackMs);

    Timing raw = In(*s, SendArpWay, "10.77.0.98");
    EXPECT_EQ(raw.mac, "");
    EXPECT_GE(raw.ms, SendArpPacing.BoundMs() - 20);
    EXPECT_LE(raw.ms, SendArpPacing.BoundMs() + kSlackMs);

    Timing arp = In(*s, ArpWay, "10.77.0.97");
    EXPECT_EQ(arp.mac, "");
    EXPECT_LE(arp.ms, ArpNeighbourWaitMs + SendArpPacing.BoundMs() + kSlackMs);
}

// "At once": well below the shortest wait of any way that asks the wire (the
// raw way's paced tries), yet with room for a loaded machine's scheduling.
long long AtOnceMs()
{
    return SendArpPacing.BoundMs() / 2;
}

TEST_F(ArpWays, OffLinkAddressBehindGatewayEmptyAtOnce)
{
    for (Way way : {NeighbourWay, SendArpWay, ArpWay}) {
        Timing t = In(*s, way, "10.88.3.4");
        EXPECT_EQ(t.mac, "");
        EXPECT_LT(t.ms, AtOnceMs()) << "an off-link address needs no waiting";
    }
    // Nor is the gateway's MAC passed off as the host's: nothing was asked.
    EXPECT_EQ(s->Ip({"neigh", "show", "10.77.0.2"}), "");
}

TEST_F(ArpWays, NoRouteEmptyAtOnce)
{
    // s has no default route: the kernel refuses the lookup.
    for (Way way : {NeighbourWay, SendArpWay, ArpWay}) {
        Timing t = In(*s, way, "192.0.2.1");
        EXPECT_EQ(t.mac, "");
        EXPECT_LT(t.ms, AtOnceMs());
    }
}

TEST_F(ArpWays, OwnAddressGivesOwnInterfaceMac)
{
    const std::string own = lan::LinkMac(*s, "eth0");
    ASSERT_EQ(own, "02-00-00-4d-00-01");
    for (Way way : {NeighbourWay, SendArpWay, ArpWay})
        EXPECT_EQ(In(*s, way, "10.77.0.1").mac, own);
    // A second address on another interface gives that interface's MAC.
    s->Ip({"link", "add", "v7a", "address", "02:00:00:00:07:07", "type", "veth", "peer", "name",
           "v7b"});
    s->AddAddress("v7a", "10.99.7.7/24");
    s->SetLinkUp("v7a", true);
    EXPECT_EQ(In(*s, NeighbourWay, "10.99.7.7").mac, "02-00-00-00-07-07");
}

TEST_F(ArpWays, LoopbackGivesNothing)
{
    for (const char* ip : {"127.0.0.1", "127.4.5.6"})
        for (Way way : {NeighbourWay, SendArpWay, ArpWay}) {
            Timing t = In(*s, way, ip);
            EXPECT_EQ(t.mac, "") << ip;
            EXPECT_LT(t.ms, 100) << ip;
        }
}

TEST_F(ArpWays, BroadcastAndBadTextsGiveNothing)
{
    for (const char* ip :
         {"10.77.0.255", "", "nonsense", "10.77.0.2.", "255.255.255.255", "10.77.0.256", "::1"})
        for (Way way : {NeighbourWay, SendArpWay, ArpWay}) {
            Timing t = In(*s, way, ip);
            EXPECT_EQ(t.mac, "") << '"' << ip << '"';
            EXPECT_LT(t.ms, 100) << '"' << ip << '"';
        }
}

TEST_F(ArpWays, ShortFormsReadAsInetAddrDoesOnlyInTheSendArpWay)
{
    // "10.77.2" is 10.77.0.2 to inet_addr; the neighbour way reads strictly.
    EXPECT_EQ(In(*s, SendArpWay, "10.77.2").mac, "02-5e-a1-0b-c3-d4");
    EXPECT_EQ(In(*s, NeighbourWay, "10.77.2").mac, "");
    EXPECT_EQ(In(*s, ArpWay, "10.77.2").mac, "02-5e-a1-0b-c3-d4");
}

TEST_F(ArpWays, UnprivilegedNeighbourWayWorksAndRawWayGivesNothing)
{
    Timing neighbour = In(*s, NeighbourWay, live, kUnprivileged);
    EXPECT_EQ(neighbour.mac, "02-5e-a1-0b-c3-d4");
    EXPECT_LT(neighbour.ms, 1000);

    s->Ip({"neigh", "flush", "dev", "eth0"});
    Timing raw = In(*s, SendArpWay, live, kUnprivileged);
    EXPECT_EQ(raw.mac, "");
    EXPECT_LT(raw.ms, 100) << "without CAP_NET_RAW nothing is sent and nothing awaited";
    // ...and it really sent nothing: the kernel still has no entry for p.
    EXPECT_EQ(s->Ip({"neigh", "show", live}), "");

    Timing arp = In(*s, ArpWay, live, kUnprivileged);
    EXPECT_EQ(arp.mac, "02-5e-a1-0b-c3-d4");
}

TEST_F(ArpWays, UnprivilegedDeadHostWaitsForTheKernelsVerdictOnly)
{
    Timing arp = In(*s, ArpWay, dead, kUnprivileged);
    EXPECT_EQ(arp.mac, "");
    EXPECT_LE(arp.ms, NeighbourVerdictMs + kSlackMs);
}

TEST_F(ArpWays, ShorterNeighbourWaitIsHonoured)
{
    lan::RunResult r = s->Run([this] {
        std::string mac = "untouched";
        long long t0 = platform::MonotonicMs();
        GetMacByResolveIpNetEntry2(dead, mac, 300);
        return mac + "|" + std::to_string(platform::MonotonicMs() - t0);
    });
    Timing t = Parse(r);
    EXPECT_EQ(t.mac, "");
    EXPECT_GE(t.ms, 290);
    EXPECT_LE(t.ms, 300 + kSlackMs);
}

TEST_F(ArpWays, FailedEntryIsResolvedAgainWhenTheHostAppears)
{
    EXPECT_EQ(In(*s, NeighbourWay, "10.77.0.3").mac, "");
    EXPECT_NE(s->Ip({"neigh", "show", "10.77.0.3"}).find("FAILED"), std::string::npos);
    p->AddAddress("eth0", "10.77.0.3/24");
    Timing again = In(*s, NeighbourWay, "10.77.0.3");
    EXPECT_EQ(again.mac, "02-5e-a1-0b-c3-d4");
    EXPECT_LT(again.ms, 1000);
}

TEST_F(ArpWays, StaticEntriesAreTakenAsTheyStand)
{
    // A permanent entry is the administrator's word: used without traffic.
    s->Ip({"neigh", "add", "10.77.0.50", "lladdr", "02:0a:0b:0c:0d:0e", "nud", "permanent", "dev",
           "eth0"});
    Timing t = In(*s, NeighbourWay, "10.77.0.50");
    EXPECT_EQ(t.mac, "02-0a-0b-0c-0d-0e");
    EXPECT_LT(t.ms, 100);
    // A stale entry is still the last address the kernel knew.
    s->Ip({"neigh", "add", "10.77.0.51", "lladdr", "02:0a:0b:0c:0d:0f", "nud", "stale", "dev",
           "eth0"});
    EXPECT_EQ(In(*s, NeighbourWay, "10.77.0.51").mac, "02-0a-0b-0c-0d-0f");
    // The raw way asks the wire, where nobody has 10.77.0.50.
    EXPECT_EQ(In(*s, SendArpWay, "10.77.0.50").mac, "");
}

TEST_F(ArpWays, InterfaceWithoutArpGivesNothing)
{
    s->Ip({"link", "set", "dev", "eth0", "arp", "off"});
    for (Way way : {NeighbourWay, SendArpWay, ArpWay}) {
        Timing t = In(*s, way, live);
        EXPECT_EQ(t.mac, "");
        EXPECT_LT(t.ms, 100);
    }
}

TEST_F(ArpWays, InterfaceDownGivesNothingAtOnce)
{
    s->SetLinkUp("eth0", false);
    for (Way way : {NeighbourWay, SendArpWay, ArpWay}) {
        Timing t = In(*s, way, live);
        EXPECT_EQ(t.mac, "");
        EXPECT_LT(t.ms, 100);
    }
}

TEST_F(ArpWays, LostRepliesAreRetriedFasterThanTheKernelDoes)
{
    // p drops its first two ARP replies. The kernel retries once a second, so
    // the neighbour way alone waits for its third probe; the ARP method's own
    // requests come every 100 ms after a short look at the table.
    auto dropFirstReplies = [this] {
        p->Exec({"nft", "flush", "ruleset"});
        for (const std::string& cmd :
             {std::string("add table arp lossy"),
              std::string("add chain arp lossy out { type filter hook output priority 0; }"),
              std::string("add rule arp lossy out arp operation reply numgen inc mod 1000 < 2 "
                          "drop")}) {
            lan::ExecResult e = p->Exec({"nft", cmd});
            ASSERT_TRUE(e.ok()) << cmd << ": " << e.err;
        }
    };
    dropFirstReplies();
    Timing neighbour = In(*s, NeighbourWay, live);
    EXPECT_EQ(neighbour.mac, "02-5e-a1-0b-c3-d4");
    EXPECT_GE(neighbour.ms, 1800) << "the rule did not drop the first replies";

    s->Ip({"neigh", "flush", "dev", "eth0"});
    dropFirstReplies();
    Timing arp = In(*s, ArpWay, live);
    EXPECT_EQ(arp.mac, "02-5e-a1-0b-c3-d4");
    EXPECT_LT(arp.ms, ArpNeighbourWaitMs + 2 * SendArpPacing.IntervalMs + kSlackMs);
}

TEST_F(ArpWays, NoDescriptorOutlivesACall)
{
    auto count = [this](const lan::RunOptions& o) {
        return s->Run(
            [this] {
                int before = OpenDescriptors();
                std::string mac;
                for (const std::string& ip :
                     {live, std::string("10.77.0.60"), std::string("10.88.1.1"),
                      std::string("10.77.0.1"), std::string("127.0.0.1"), std::string("bad")}) {
                    GetMacByResolveIpNetEntry2(ip, mac, 200);
                    GetMacBySendArp(ip, mac, {2, 50, 50});
                }
                return std::to_string(OpenDescriptors() - before);
            },
            o);
    };
    lan::RunResult privileged = count({});
    ASSERT_TRUE(privileged.ok()) << privileged.Describe();
    EXPECT_EQ(privileged.value, "0");
    lan::RunResult unprivileged = count(kUnprivileged);
    ASSERT_TRUE(unprivileged.ok()) << unprivileged.Describe();
    EXPECT_EQ(unprivileged.value, "0");
}

TEST_F(ArpWays, Ipv6NeighbourFoundByTheNeighbourWay)
{
    for (lan::Host* h : {s, p}) {
        h->SetSysctl("net.ipv6.conf.all.disable_ipv6", "0");
        h->SetSysctl("net.ipv6.conf.eth0.disable_ipv6", "0");
    }
    s->Ip({"addr", "add", "fd77::1/64", "dev", "eth0", "nodad"});
    p->Ip({"addr", "add", "fd77::2/64", "dev", "eth0", "nodad"});
    Timing t = In(*s, NeighbourWay, "fd77::2");
    EXPECT_EQ(t.mac, "02-5e-a1-0b-c3-d4");
    EXPECT_EQ(In(*s, NeighbourWay, "fd77::1").mac, "02-00-00-4d-00-01");
    // ARP itself is IPv4 only.
    EXPECT_EQ(In(*s, SendArpWay, "fd77::2").mac, "");
}

// Many workers resolving different hosts of one bridge at the same time each
// get their own host's MAC, not one that another worker's exchange brought.
TEST(ArpBridge, ManyThreadsEachGetTheirOwnHostsMac)
{
    TVX_REQUIRE_LAN();
    lan::Lab lab;
    lan::Switch& sw = lab.AddSwitch();
    constexpr int kLive = 40;
    constexpr int kDead = 8;
    std::vector<lan::Nic> nics;
    nics.push_back({"eth0", lan::LocalMac(0x5c00), "10.66.0.1/24"});
    for (int i = 0; i < kLive; ++i)
        nics.push_back(
            {"eth0", lan::LocalMac(0x5c10 + i), "10.66.0." + std::to_string(10 + i) + "/24"});
    std::vector<lan::Host*> hosts = lab.AddHostsOnSwitch(sw, nics);
    lan::Host& scanner = *hosts[0];

    for (Way way : {ArpWay, SendArpWay, NeighbourWay}) {
        scanner.Ip({"neigh", "flush", "dev", "eth0"});
        lan::RunResult r = scanner.Run(
            [way] {
                std::vector<std::string> found(kLive + kDead);
                std::vector<std::thread> threads;
                for (int i = 0; i < kLive + kDead; ++i)
                    threads.emplace_back([&found, i, way] {
                        // Dead ones from .200 up, mixed in among the live ones.
                        std::string ip = i < kLive ? "10.66.0." + std::to_string(10 + i)
                                                   : "10.66.0." + std::to_string(200 + i);
                        way(ip, found[i]);
                    });
                for (auto& t : threads)
                    t.join();
                std::string all;
                for (auto& f : found)
                    all += f + ",";
                return all;
            },
            [] {
                lan::RunOptions o;
                o.timeout = 20s;
                return o;
            }());
        ASSERT_TRUE(r.ok()) << r.Describe();
        std::string expected;
        for (int i = 0; i < kLive; ++i) {
            std::string mac = lan::LocalMac(0x5c10 + i);
            for (char& c : mac)
                if (c == ':')
                    c = '-';
            expected += mac + ",";
        }
        for (int i = 0; i < kDead; ++i)
            expected += ",";
        EXPECT_EQ(r.value, expected);
    }
}

} // namespace
