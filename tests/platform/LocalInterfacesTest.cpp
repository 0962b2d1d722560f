#include "platform/LocalInterfaces.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstddef>
#include <cstring>
#include <deque>
#include <ifaddrs.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <netinet/in.h>
#include <netpacket/packet.h>

using platform::BuildInterfaceList;
using platform::LocalInterface;

namespace {

// A getifaddrs chain made by hand, laid out as glibc lays out its own: link
// entries whose sockaddr_ll has room for long hardware addresses.
class Chain {
public:
    Chain& Link(const char* name, unsigned flags, unsigned short hatype, std::vector<uint8_t> hw,
                size_t claimedLength = SIZE_MAX)
    {
        auto& buf = NewBuffer();
        sockaddr_ll ll{};
        ll.sll_family = AF_PACKET;
        ll.sll_hatype = hatype;
        ll.sll_halen =
            static_cast<unsigned char>(claimedLength == SIZE_MAX ? hw.size() : claimedLength);
        std::memcpy(buf.data(), &ll, sizeof ll);
        if (!hw.empty()) // an empty vector's data() may be null, which memcpy must not get
            std::memcpy(buf.data() + offsetof(sockaddr_ll, sll_addr), hw.data(), hw.size());
        return Add(name, flags, buf.data(), nullptr);
    }

    Chain& Inet(const char* name, unsigned flags, const char* address, const char* mask)
    {
        return Add(name, flags, Inet4(address), mask ? Inet4(mask) : nullptr);
    }

    Chain& Inet6(const char* name, unsigned flags)
    {
        auto& buf = NewBuffer();
        sockaddr_in6 in6{};
        in6.sin6_family = AF_INET6;
        in6.sin6_addr = in6addr_loopback;
        std::memcpy(buf.data(), &in6, sizeof in6);
        return Add(name, flags, buf.data(), nullptr);
    }

    Chain& NoAddress(const char* name, unsigned flags)
    {
        return Add(name, flags, nullptr, nullptr);
    }

    const ifaddrs* Head()
    {
        for (size_t i = 0; i + 1 < entries_.size(); ++i)
            entries_[i].ifa_next = &entries_[i + 1];
        return entries_.empty() ? nullptr : &entries_.front();
    }

private:
    using Buffer = std::array<uint8_t, 64>;

    Buffer& NewBuffer()
    {
        buffers_.emplace_back();
        buffers_.back().fill(0xEE); // bytes past the claimed length must not leak in
        return buffers_.back();
    }

    uint8_t* Inet4(const char* text)
    {
        auto& buf = NewBuffer();
        sockaddr_in in{};
        in.sin_family = AF_INET;
        EXPECT_EQ(::inet_pton(AF_INET, text, &in.sin_addr), 1) << text;
        std::memcpy(buf.data(), &in, sizeof in);
        return buf.data();
    }

    Chain& Add(const char* name, unsigned flags, uint8_t* addr, uint8_t* mask)
    {
        names_.emplace_back(name);
        ifaddrs e{};
        e.ifa_name = names_.back().data();
        e.ifa_flags = flags;
        e.ifa_addr = reinterpret_cast<sockaddr*>(addr);
        e.ifa_netmask = reinterpret_cast<sockaddr*>(mask);
        entries_.push_back(e);
        return *this;
    }

    std::deque<ifaddrs> entries_;
    std::deque<Buffer> buffers_;
    std::deque<std::string> names_;
};

const unsigned Up = IFF_UP | IFF_RUNNING | IFF_BROADCAST;
const unsigned Loop = IFF_UP | IFF_RUNNING | IFF_LOOPBACK;

std::vector<std::string> Addresses(const LocalInterface& i)
{
    std::vector<std::string> out;
    for (const auto& a : i.ipv4)
        out.push_back(a.label + " " + a.AddressText() + "/" + a.NetmaskText());
    return out;
}

} // namespace

TEST(LocalInterfaceInventory, LinksThenAddressesInTheSystemsOrder)
{
    Chain c;
    c.Link("lo", Loop, ARPHRD_LOOPBACK, {0, 0, 0, 0, 0, 0})
        .Link("eth0", Up, ARPHRD_ETHER, {0x00, 0x1b, 0x21, 0xAA, 0xbb, 0x0c})
        .Link("eth1", IFF_BROADCAST, ARPHRD_ETHER, {0x02, 0, 0, 0, 0, 1})
        .Inet("lo", Loop, "127.0.0.1", "255.0.0.0")
        .Inet("eth0", Up, "10.0.0.5", "255.255.255.0")
        .Inet("eth0", Up, "10.0.0.6", "255.255.255.0")
        .Inet("eth0:1", Up, "10.9.0.1", "255.255.0.0")
        .Inet6("eth0", Up)
        .NoAddress("eth1", IFF_BROADCAST);
    const auto list = BuildInterfaceList(c.Head());

    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].name, "lo");
    EXPECT_TRUE(list[0].loopback);
    EXPECT_TRUE(list[0].up);
    EXPECT_EQ(Addresses(list[0]), std::vector<std::string>{"lo 127.0.0.1/255.0.0.0"});

    EXPECT_EQ(list[1].name, "eth0");
    EXPECT_FALSE(list[1].loopback);
    EXPECT_TRUE(list[1].up);
    EXPECT_TRUE(list[1].running);
    EXPECT_EQ(list[1].hardwareType, ARPHRD_ETHER);
    EXPECT_EQ(list[1].HardwareAddressText(), "00-1B-21-AA-BB-0C");
    EXPECT_EQ(list[1].HardwareAddressText(':'), "00:1B:21:AA:BB:0C");
    // The alias belongs to its interface and keeps its own label.
    EXPECT_EQ(Addresses(list[1]), (std::vector<std::string>{"eth0 10.0.0.5/255.255.255.0",
                                                            "eth0 10.0.0.6/255.255.255.0",
                                                            "eth0:1 10.9.0.1/255.255.0.0"}));

    EXPECT_EQ(list[2].name, "eth1");
    EXPECT_FALSE(list[2].up);
    EXPECT_TRUE(list[2].ipv4.empty());
}

TEST(LocalInterfaceInventory, HardwareAddressesOfEveryLength)
{
    std::vector<uint8_t> ib(20);
    for (size_t i = 0; i < ib.size(); ++i)
        ib[i] = static_cast<uint8_t>(0xA0 + i);
    Chain c;
    c.Link("ib0", Up, ARPHRD_INFINIBAND, ib)
        .Link("tun0", Up, ARPHRD_NONE, {})
        .Link("odd0", Up, ARPHRD_ETHER, {0x01, 0x02, 0x03})
        // A claimed length beyond the room glibc gives is cut to that room.
        .Link("big0", Up, ARPHRD_ETHER, std::vector<uint8_t>(24, 0x42), 40);
    const auto list = BuildInterfaceList(c.Head());
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[0].hardwareAddress, ib);
    EXPECT_EQ(list[0].HardwareAddressText().size(), 20u * 3 - 1);
    EXPECT_TRUE(list[1].hardwareAddress.empty());
    EXPECT_EQ(list[1].HardwareAddressText(), "");
    EXPECT_EQ(list[2].HardwareAddressText(), "01-02-03");
    EXPECT_EQ(list[3].hardwareAddress,
              std::vector<uint8_t>(platform::kMaxHardwareAddressLength, 0x42));
}

TEST(LocalInterfaceInventory, OddEntries)
{
    Chain c;
    // An interface seen only through an address takes that entry's flags;
    // a missing mask reads as 0.0.0.0; an entry without an address is skipped.
    c.NoAddress("ghost0", Up)
        .Inet("wg0", IFF_UP | IFF_POINTOPOINT, "10.8.0.1", nullptr)
        .Inet("wg0", IFF_UP | IFF_POINTOPOINT, "10.8.0.2", "255.255.255.255");
    const auto list = BuildInterfaceList(c.Head());
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].name, "wg0");
    EXPECT_TRUE(list[0].up);
    EXPECT_EQ(list[0].flags, unsigned(IFF_UP | IFF_POINTOPOINT));
    EXPECT_TRUE(list[0].hardwareAddress.empty());
    EXPECT_EQ(Addresses(list[0]),
              (std::vector<std::string>{"wg0 10.8.0.1/0.0.0.0", "wg0 10.8.0.2/255.255.255.255"}));
    EXPECT_TRUE(BuildInterfaceList(nullptr).empty());
}

TEST(LocalInterfaceInventory, ThisComputersLoopback)
{
    const auto list = platform::ListLocalInterfaces();
    const LocalInterface* lo = nullptr;
    for (const auto& i : list)
        if (i.name == "lo")
            lo = &i;
    ASSERT_NE(lo, nullptr);
    EXPECT_TRUE(lo->loopback);
    EXPECT_EQ(lo->index, ::if_nametoindex("lo"));
    EXPECT_NE(lo->index, 0u);
    EXPECT_EQ(lo->hardwareType, ARPHRD_LOOPBACK);
    EXPECT_EQ(lo->HardwareAddressText(), "00-00-00-00-00-00");
    ASSERT_FALSE(lo->ipv4.empty());
    EXPECT_EQ(lo->ipv4[0].AddressText(), "127.0.0.1");
    EXPECT_EQ(lo->ipv4[0].NetmaskText(), "255.0.0.0");
}
