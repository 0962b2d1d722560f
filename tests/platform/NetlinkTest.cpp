// Address texts, entry states and pacing arithmetic of the neighbour layer,
// and the queries that every Linux answers the same way for loopback.
#include "platform/Netlink.h"
#include "platform/RawArp.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <linux/neighbour.h>
#include <net/if.h>
#include <string>
#include <sys/socket.h>
#include <utility>

using namespace platform;

TEST(IpAddressText, StrictFormsOnlyForTheNeighbourWay)
{
    IpAddress a;
    ASSERT_TRUE(ParseIpAddress("10.1.2.3", a));
    EXPECT_EQ(a.family, AF_INET);
    EXPECT_EQ(a.size(), 4u);
    EXPECT_EQ(a.bytes[0], 10);
    EXPECT_EQ(a.bytes[3], 3);
    EXPECT_EQ(IpAddressText(a), "10.1.2.3");

    ASSERT_TRUE(ParseIpAddress("fd00::1:2", a));
    EXPECT_EQ(a.family, AF_INET6);
    EXPECT_EQ(a.size(), 16u);
    EXPECT_EQ(IpAddressText(a), "fd00::1:2");

    IpAddress untouched;
    for (const char* bad :
         {"", "10.1", "10.1.2.3.", "10.1.2.256", "0x0a.1.2.3", "host", "fe80::1%eth0", " 10.1.2.3"})
        EXPECT_FALSE(ParseIpAddress(bad, untouched)) << '"' << bad << '"';
    EXPECT_EQ(untouched.family, 0) << "a rejected text leaves the address as it was";
}

TEST(IpAddressText, LooseIPv4FormsAsInetAddrReadsThem)
{
    IpAddress a;
    ASSERT_TRUE(ParseIPv4Loose("10.1", a));
    EXPECT_EQ(IpAddressText(a), "10.0.0.1");
    ASSERT_TRUE(ParseIPv4Loose("0x0a.0.0.077", a));
    EXPECT_EQ(IpAddressText(a), "10.0.0.63");
    ASSERT_TRUE(ParseIPv4Loose("192.168.1.20", a));
    EXPECT_EQ(IpAddressText(a), "192.168.1.20");
    for (const char* bad : {"", "255.255.255.255", "0xffffffff", "fd00::1", "a.b.c.d", "1.2.3.4.5"})
        EXPECT_FALSE(ParseIPv4Loose(bad, a)) << '"' << bad << '"';
}

TEST(IpAddressText, EqualityLooksAtTheFamilysBytesOnly)
{
    IpAddress a, b;
    ASSERT_TRUE(ParseIpAddress("10.0.0.1", a));
    ASSERT_TRUE(ParseIpAddress("10.0.0.1", b));
    b.bytes[8] = 0x55; // beyond the four bytes of IPv4
    EXPECT_TRUE(a == b);
    ASSERT_TRUE(ParseIpAddress("10.0.0.2", b));
    EXPECT_FALSE(a == b);
    ASSERT_TRUE(ParseIpAddress("::a00:1", b)); // same leading bytes, other family
    EXPECT_FALSE(a == b);
}

TEST(NeighbourState, OnlyCompleteEntriesWithAnAddressAreUsable)
{
    const std::vector<uint8_t> mac = {0x02, 0, 0, 0, 0, 1};
    for (uint16_t s : {NUD_REACHABLE, NUD_STALE, NUD_DELAY, NUD_PROBE, NUD_PERMANENT})
        EXPECT_TRUE(IsUsableNeighbour({s, 0, mac})) << s;
    for (uint16_t s : {0, NUD_INCOMPLETE, NUD_FAILED, NUD_NOARP, NUD_NONE})
        EXPECT_FALSE(IsUsableNeighbour({s, 0, mac})) << s;
    EXPECT_FALSE(IsUsableNeighbour({NUD_REACHABLE, 0, {}}));
    EXPECT_FALSE(IsUsableNeighbour({NUD_PERMANENT, 0, {0, 0, 0, 0, 0, 0}}));
}

TEST(ArpPacingBound, CountsTheIntervalsBetweenRequestsAndTheLastWait)
{
    EXPECT_EQ((ArpPacing{6, 100, 100}.BoundMs()), 600);
    EXPECT_EQ((ArpPacing{1, 100, 250}.BoundMs()), 250);
    EXPECT_EQ((ArpPacing{3, 50, 0}.BoundMs()), 100);
    // Nonsense values never give a negative or a longer bound.
    EXPECT_EQ((ArpPacing{0, 100, 100}.BoundMs()), 100);
    EXPECT_EQ((ArpPacing{4, -5, -5}.BoundMs()), 0);
}

TEST(LoopbackQueries, OwnLoopbackAddressIsLocalAndOnLo)
{
    IpAddress lo;
    ASSERT_TRUE(ParseIpAddress("127.0.0.1", lo));
    RouteInfo route;
    ASSERT_TRUE(LookupRoute(lo, route));
    EXPECT_EQ(route.kind, RouteKind::Local);
    EXPECT_FALSE(route.hasGateway);

    int owner = FindAddressOwner(lo);
    ASSERT_GT(owner, 0);
    LinkInfo link;
    ASSERT_TRUE(GetLinkInfo(owner, link));
    EXPECT_EQ(link.name, "lo");
    EXPECT_TRUE(link.flags & IFF_LOOPBACK);
    EXPECT_EQ(static_cast<int>(if_nametoindex("lo")), owner);
}

TEST(LoopbackQueries, UnknownInterfacesAndAddressesAreRefused)
{
    LinkInfo link;
    EXPECT_FALSE(GetLinkInfo(0, link));
    EXPECT_FALSE(GetLinkInfo(-3, link));
    EXPECT_FALSE(GetLinkInfo(987654, link));
    IpAddress none;
    RouteInfo route;
    EXPECT_FALSE(LookupRoute(none, route));
    EXPECT_EQ(FindAddressOwner(none), 0);
    NeighbourEntry entry;
    EXPECT_EQ(LookupNeighbour(0, none, entry), NeighbourLookup::Error);
    EXPECT_EQ(ResolveNeighbour(0, none, 100, entry), NeighbourResult::Error);
    MacBytes mac{};
    EXPECT_EQ(ArpRequest(0, mac, none, none, {}, mac), ArpResult::Unavailable);
}

// The neighbour table's thresholds as iproute2 reads them, for both families;
// its count of entries is the whole machine's and moves, so only its bounds.
TEST(NeighbourTableSize, ThresholdsAreIproute2s)
{
    for (const auto& [family, table] :
         {std::pair{AF_INET, "arp_cache"}, std::pair{AF_INET6, "ndisc_cache"}}) {
        const std::string command = std::string("ip ntable show name ") + table + " 2>/dev/null";
        FILE* p = ::popen(command.c_str(), "r");
        ASSERT_NE(p, nullptr);
        int thresh1 = -1, thresh2 = -1, thresh3 = -1;
        char line[512];
        while (std::fgets(line, sizeof line, p))
            if (const char* at = std::strstr(line, "thresh1"))
                std::sscanf(at, "thresh1 %d thresh2 %d thresh3 %d", &thresh1, &thresh2, &thresh3);
        ::pclose(p);
        if (thresh3 < 0)
            GTEST_SKIP() << "ip printed no thresholds for " << table;
        NeighbourTableSize size;
        ASSERT_TRUE(ReadNeighbourTableSize(family, size)) << table;
        EXPECT_EQ(size.Thresh1, thresh1) << table;
        EXPECT_EQ(size.Thresh2, thresh2) << table;
        EXPECT_EQ(size.Thresh3, thresh3) << table;
        EXPECT_GE(size.Entries, 0) << table;
    }
    NeighbourTableSize untouched{1, 2, 3, 4};
    EXPECT_FALSE(ReadNeighbourTableSize(AF_UNIX, untouched));
    EXPECT_EQ(untouched.Thresh3, 3) << "a refused read leaves the figures as they were";
}
