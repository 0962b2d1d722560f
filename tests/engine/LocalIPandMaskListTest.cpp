#include "engine/uLocalIPandMaskList.h"

#include <gtest/gtest.h>

#include <net/if.h>

using platform::LocalInterface;

namespace {

uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return uint32_t(a) << 24 | uint32_t(b) << 16 | uint32_t(c) << 8 | d;
}

LocalInterface Adapter(const char* name, unsigned index, bool up, bool loopback,
                       std::vector<platform::Ipv4Address> addresses)
{
    LocalInterface i;
    i.name = name;
    i.index = index;
    i.up = up;
    i.running = up;
    i.loopback = loopback;
    i.flags = (up ? IFF_UP : 0) | (loopback ? IFF_LOOPBACK : 0);
    i.hardwareAddress = {0x02, 0, 0, 0, 0, static_cast<uint8_t>(index)};
    i.ipv4 = std::move(addresses);
    return i;
}

std::vector<std::string> Rows(const TIPAndMask& m)
{
    std::vector<std::string> out;
    for (int i = 0; i < m.Items.Count(); ++i) {
        const auto& it = m.Items.Items(i);
        out.push_back(it.AdapterName() + " " + std::to_string(it.IpContext()) + " " +
                      it.IpAddress() + " " + it.IpMAsk());
    }
    return out;
}

const uint32_t Mask24 = Ip(255, 255, 255, 0);

} // namespace

TEST(LocalIPandMaskList, OneItemPerAddressOfEveryAdapterThatIsUp)
{
    TIPAndMask m;
    m.LoadFromAdapters({
        Adapter("lo", 1, true, true, {{Ip(127, 0, 0, 1), Ip(255, 0, 0, 0), "lo"}}),
        Adapter("eth0", 2, true, false,
                {{Ip(192, 168, 1, 7), Mask24, "eth0"},
                 {Ip(10, 1, 0, 1), Ip(255, 255, 0, 0), "eth0:1"}}),
        Adapter("eth1", 3, false, false, {{Ip(172, 16, 0, 1), Mask24, "eth1"}}),
        Adapter("eth2", 4, true, false, {}),
        Adapter("eth3", 9, true, false, {{Ip(192, 168, 9, 1), Ip(255, 255, 255, 252), "eth3"}}),
    });
    EXPECT_EQ(Rows(m), (std::vector<std::string>{"eth0 2 192.168.1.7 255.255.255.0",
                                                 "eth0 2 10.1.0.1 255.255.0.0",
                                                 "eth3 9 192.168.9.1 255.255.255.252"}));
}

TEST(LocalIPandMaskList, UpWithoutCarrierIsStillListed)
{
    auto a = Adapter("veth0", 5, true, false, {{Ip(10, 0, 0, 1), Mask24, "veth0"}});
    a.running = false;
    TIPAndMask m;
    m.LoadFromAdapters({a});
    EXPECT_EQ(m.Items.Count(), 1);
}

TEST(LocalIPandMaskList, UnsetAddressEndsThatAdaptersList)
{
    TIPAndMask m;
    m.LoadFromAdapters({
        Adapter(
            "eth0", 2, true, false,
            {{Ip(10, 0, 0, 1), Mask24, "eth0"}, {0, 0, "eth0"}, {Ip(10, 0, 0, 2), Mask24, "eth0"}}),
        Adapter("eth1", 3, true, false, {{0, 0, "eth1"}}),
        Adapter("eth2", 4, true, false, {{Ip(10, 2, 0, 1), Mask24, "eth2"}}),
    });
    EXPECT_EQ(Rows(m), (std::vector<std::string>{"eth0 2 10.0.0.1 255.255.255.0",
                                                 "eth2 4 10.2.0.1 255.255.255.0"}));
}

TEST(LocalIPandMaskList, NothingToListIsAnEmptyListAndReloadingReplaces)
{
    TIPAndMask m;
    m.LoadFromAdapters({Adapter("eth0", 2, true, false, {{Ip(10, 0, 0, 1), Mask24, "eth0"}})});
    ASSERT_EQ(m.Items.Count(), 1);
    m.LoadFromAdapters({});
    EXPECT_EQ(m.Items.Count(), 0);
    m.LoadFromAdapters(
        {Adapter("lo", 1, true, true, {{Ip(127, 0, 0, 1), Ip(255, 0, 0, 0), "lo"}})});
    EXPECT_EQ(m.Items.Count(), 0);
}

TEST(LocalIPandMaskList, ThisComputerNeverListsLoopback)
{
    TIPAndMask m;
    m.LoadFromAdapters();
    for (int i = 0; i < m.Items.Count(); ++i) {
        EXPECT_NE(m.Items.Items(i).AdapterName(), "lo");
        EXPECT_NE(m.Items.Items(i).IpAddress().rfind("127.", 0), 0u)
            << m.Items.Items(i).IpAddress();
        EXPECT_NE(m.Items.Items(i).IpContext(), 0u);
    }
}

TEST(AddressCollection, ItemsStayPutAndBadIndexesAreRefused)
{
    TAddressCollection c;
    TAddressItem& first = c.Add();
    first.SetIpAddress("10.0.0.1");
    first.SetIpMAsk("255.0.0.0");
    first.SetIpContext(4000000000u);
    first.SetAdapterName("eth0");
    for (int i = 0; i < 100; ++i)
        c.Add();
    EXPECT_EQ(&c.Items(0), &first);
    EXPECT_EQ(first.IpAddress(), "10.0.0.1");
    EXPECT_EQ(first.IpMAsk(), "255.0.0.0");
    EXPECT_EQ(first.IpContext(), 4000000000u);
    EXPECT_EQ(first.AdapterName(), "eth0");
    EXPECT_EQ(c.Count(), 101);
    EXPECT_THROW(c.Items(101), EAddressListError);
    EXPECT_THROW(c.Items(-1), EAddressListError);
    c.Clear();
    EXPECT_EQ(c.Count(), 0);
    EXPECT_THROW(c.Items(0), EAddressListError);
}
