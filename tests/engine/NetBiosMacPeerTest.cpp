// The NetBIOS method against Samba's nmbd in a private namespace: nmbd answers
// node status with its names and an all-zero unit id, which is no adapter.
#include "engine/NetUtil.h"
#include "engine/uGetMac.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

TEST(NetBiosNmbd, NamesButAZeroUnitIdGiveNoMac)
{
    TVX_REQUIRE_LAN();
    lan::Lab lab;
    auto [scanner, server] =
        AddLinkedHosts(lab, {"scanner", {"eth0", "02:00:00:5d:00:01", "10.62.0.1/24"}},
                       {"server", {"eth0", "02:00:00:5d:00:02", "10.62.0.2/24"}});
    lan::Peer& nmbd = lan::StartNmbd(server, {"TVXSAMBA", "TVXWG", "10.62.0.2/24"});

    // nmblookup sees the same answer: the names, and zeros for the MAC.
    lan::ExecResult status =
        scanner.Exec({"nmblookup", "--configfile=" + lan::SambaClientConf(lab), "-A", "10.62.0.2"});
    EXPECT_NE(status.out.find("TVXSAMBA"), std::string::npos) << status.out << nmbd.Log();
    EXPECT_NE(status.out.find("MAC Address = 00-00-00-00-00-00"), std::string::npos) << status.out;

    lan::RunResult r = scanner.Run([] {
        std::string name, mac = "untouched";
        GetNetBiosName("10.62.0.2", 2000, name);
        const long long t0 = platform::MonotonicMs();
        GetMacByNetBios("10.62.0.2", 2000, mac);
        return name + "|" + mac + "|" + std::to_string(platform::MonotonicMs() - t0);
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    std::smatch m;
    ASSERT_TRUE(std::regex_match(r.value, m, std::regex("([^|]*)\\|([^|]*)\\|(\\d+)"))) << r.value;
    EXPECT_EQ(m[1], "TVXSAMBA") << "the node answered";
    EXPECT_EQ(m[2], "") << "zeros are no adapter";
    EXPECT_LT(std::stoll(m[3]), 1000) << "the answer came at once";
}

} // namespace
