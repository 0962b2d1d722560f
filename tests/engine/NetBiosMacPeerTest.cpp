// The NetBIOS method against Samba's nmbd in private namespaces: nmbd answers
// node status with its names and an all-zero unit id, which is no adapter's
// address. On the local link the neighbour table that the exchange filled
// gives the MAC; behind a router there is none to give.
#include "engine/NetUtil.h"
#include "engine/uGetMac.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <regex>

namespace {

// "name|mac|source|ms" of the NetBIOS method asked in Host about IP.
std::string AskNetBios(lan::Host& Host, const std::string& IP)
{
    lan::RunResult r = Host.Run([IP] {
        std::string name, mac = "untouched";
        GetNetBiosName(IP, 2000, name);
        const long long t0 = platform::MonotonicMs();
        const TNetBiosMacSource source = GetMacByNetBios(IP, 2000, mac);
        return name + "|" + mac + "|" + std::to_string(source) + "|" +
               std::to_string(platform::MonotonicMs() - t0);
    });
    return r.ok() ? r.value : r.Describe();
}

TEST(NetBiosNmbd, AZeroUnitIdOnTheLinkTakesTheNeighbourTablesMac)
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

    const std::string answer = AskNetBios(scanner, "10.62.0.2");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(answer, m, std::regex("([^|]*)\\|([^|]*)\\|(\\d)\\|(\\d+)")))
        << answer;
    EXPECT_EQ(m[1], "TVXSAMBA") << "the node answered";
    // The server's own interface, as `ip link` shows it.
    EXPECT_EQ(m[2], "02-00-00-5d-00-02");
    EXPECT_EQ(std::stoi(m[3]), nmsNeighbourTable);
    EXPECT_LT(std::stoll(m[4]), 1000) << "the answer came at once";
}

TEST(NetBiosNmbd, AZeroUnitIdBehindARouterIsAnAnswerWithoutHardwareAddress)
{
    TVX_REQUIRE_LAN();
    lan::Lab lab;
    lan::Host& scanner = lab.AddHost("scanner");
    lan::Host& router = lab.AddHost("router");
    lan::Host& server = lab.AddHost("server");
    lab.Link(scanner, {"eth0", "02:00:00:5e:00:01", "10.63.1.1/24"}, router,
             {"eth0", "02:00:00:5e:00:fe", "10.63.1.254/24"});
    lab.Link(router, {"eth1", "02:00:00:5e:01:fe", "10.63.0.254/24"}, server,
             {"eth0", "02:00:00:5e:00:02", "10.63.0.2/24"});
    router.SetSysctl("net.ipv4.ip_forward", "1");
    scanner.AddRoute({"10.63.0.0/24", "via", "10.63.1.254"});
    server.AddRoute({"10.63.1.0/24", "via", "10.63.0.254"});
    lan::Peer& nmbd = lan::StartNmbd(server, {"TVXFAR", "TVXWG", "10.63.0.2/24"});

    const std::string answer = AskNetBios(scanner, "10.63.0.2");
    // The router's MAC is what the neighbour table holds on that side: it
    // must not pass for the server's.
    EXPECT_EQ(answer.substr(0, answer.rfind('|')),
              "TVXFAR||" + std::to_string(nmsNoHardwareAddress))
        << nmbd.Log();
}

} // namespace
