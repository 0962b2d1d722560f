#include "platform/ServerTransports.h"
#include "platform/LocalComputer.h"
#include "tests/platform/InterfaceFixtures.h"

#include <gtest/gtest.h>

using fixtures::Interface;
using platform::LocalInterface;
using platform::ServerTransportInfo0;

namespace {

// 10.1.0.1 and 10.2.0.1 are this fixture computer's addresses.
std::vector<LocalInterface> Computer()
{
    return {fixtures::Loopback(),
            Interface("eth0", 2, {0x00, 0xA0, 0xC9, 0x12, 0x34, 0x56}, true, {0x0A010001u}),
            Interface("eth1", 3, {0x02, 0x00, 0x00, 0x00, 0x00, 0x03}, false),
            Interface("wg0", 4, {}, true, {0x0A020001u}),
            Interface("ib0", 5, std::vector<uint8_t>(20, 0x11), true),
            Interface("br0", 6, {0x02, 0xAB, 0xCD, 0xEF, 0x00, 0x06}, true),
            Interface("nohw", 7, {0, 0, 0, 0, 0, 0}, true)};
}

std::vector<std::pair<std::string, std::string>> Flat(const std::vector<ServerTransportInfo0>& l)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& t : l)
        out.emplace_back(t.TransportName, t.NetworkAddress);
    return out;
}

const std::vector<std::pair<std::string, std::string>> kExpected = {
    {"\\Device\\NetBT_Tcpip_eth0", "00a0c9123456"}, {"\\Device\\NetBT_Tcpip_br0", "02abcdef0006"}};

TEST(ServerTransports, UpInterfacesWithAnEthernetAddressOnly)
{
    // Loopback, down, no address, a 20-byte address and all zeros are left out.
    EXPECT_EQ(Flat(platform::LocalServerTransports(Computer())), kExpected);
    EXPECT_TRUE(platform::LocalServerTransports({}).empty());
}

uint32_t Enum(const std::string& server, uint32_t pref, std::vector<ServerTransportInfo0>& buf,
              uint32_t& read, uint32_t& total, uint32_t& resume)
{
    return platform::NetServerTransportEnum(server, pref, buf, read, total, resume, Computer);
}

TEST(ServerTransports, LocalComputerByEveryNameItGoesBy)
{
    for (const char* server : {"", "\\\\.", "localhost", "\\\\LOCALHOST", "127.0.0.1",
                               "\\\\127.1.2.3", "10.1.0.1", "\\\\10.2.0.1"}) {
        std::vector<ServerTransportInfo0> buf;
        uint32_t read = 99, total = 99, resume = 0;
        EXPECT_EQ(Enum(server, platform::MaxPreferredLength, buf, read, total, resume),
                  platform::NerrSuccess)
            << server;
        EXPECT_EQ(Flat(buf), kExpected) << server;
        EXPECT_EQ(read, 2u);
        EXPECT_EQ(total, 2u);
        EXPECT_EQ(resume, 2u);
    }
}

TEST(ServerTransports, AnotherComputerIsNotSupported)
{
    for (const char* server :
         {"\\\\10.1.0.2", "10.1.0.2", "\\\\192.0.2.1", "\\\\fileserver", "127.1", "10.1.0.1.5"}) {
        std::vector<ServerTransportInfo0> buf = {{"stale", "stale"}};
        uint32_t read = 0, total = 0, resume = 0;
        EXPECT_EQ(Enum(server, platform::MaxPreferredLength, buf, read, total, resume),
                  platform::ErrorNotSupported)
            << server;
        EXPECT_TRUE(buf.empty()) << server;
    }
}

TEST(ServerTransports, ServerPrefixWithoutAHostIsNoName)
{
    std::vector<ServerTransportInfo0> buf;
    uint32_t read = 0, total = 0, resume = 0;
    EXPECT_EQ(Enum("\\\\", platform::MaxPreferredLength, buf, read, total, resume),
              platform::ErrorInvalidName);
    EXPECT_TRUE(buf.empty());
}

TEST(ServerTransports, PagesWithMoreDataUntilTheListEnds)
{
    std::vector<std::pair<std::string, std::string>> all;
    uint32_t resume = 0;
    std::vector<uint32_t> codes;
    for (int call = 0; call < 5; ++call) {
        std::vector<ServerTransportInfo0> buf;
        uint32_t read = 0, total = 0;
        const uint32_t code = Enum("", 1, buf, read, total, resume);
        codes.push_back(code);
        EXPECT_EQ(read, buf.size());
        EXPECT_EQ(total, 2u);
        auto flat = Flat(buf);
        all.insert(all.end(), flat.begin(), flat.end());
        if (code != platform::ErrorMoreData)
            break;
    }
    EXPECT_EQ(codes, (std::vector<uint32_t>{platform::ErrorMoreData, platform::NerrSuccess}));
    EXPECT_EQ(all, kExpected);

    // A handle past the end (the list shrank) gives an empty, complete answer.
    std::vector<ServerTransportInfo0> buf;
    uint32_t read = 9, total = 0;
    resume = 40;
    EXPECT_EQ(Enum("", 1, buf, read, total, resume), platform::NerrSuccess);
    EXPECT_TRUE(buf.empty());
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(resume, 2u);

    resume = 0;
    EXPECT_EQ(Enum("", 0, buf, read, total, resume), platform::ErrorInvalidParameter);
}

TEST(ServerTransports, UnreadableInventoryIsAFailureNotAnEmptyList)
{
    std::vector<ServerTransportInfo0> buf;
    uint32_t read = 0, total = 0, resume = 0;
    EXPECT_EQ(platform::NetServerTransportEnum(
                  "", platform::MaxPreferredLength, buf, read, total, resume,
                  []() -> std::vector<LocalInterface> {
                      throw platform::EInterfaceListError("Cannot list the network interfaces");
                  }),
              platform::ErrorGenFailure);
}

TEST(LocalComputer, NamesAndAddressesOfThisComputer)
{
    const auto inv = Computer();
    for (const char* host : {"", ".", "localhost", "LocalHost", "127.0.0.1", "127.255.255.254",
                             "10.1.0.1", "10.2.0.1"})
        EXPECT_TRUE(platform::IsLocalComputer(host, inv)) << host;
    for (const char* host : {"10.1.0.2", "128.0.0.1", "0.0.0.0", "255.255.255.255", "127.1",
                             "10.1.0.1 ", "localhost.", "..", "local", "10.1.0.1/24"})
        EXPECT_FALSE(platform::IsLocalComputer(host, inv)) << host;
    // Without the inventory's addresses they are remote.
    EXPECT_FALSE(platform::IsLocalComputer("10.1.0.1", {}));
}

} // namespace
