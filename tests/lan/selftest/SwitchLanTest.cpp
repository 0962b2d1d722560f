// Hosts on a bridge in a namespace of its own: every host reaches every
// other, and a subnet with dozens of hosts is built in a few batched steps.
#include "tests/lan/Lab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>

using namespace std::chrono_literals;

namespace {

std::string Addr(int i)
{
    return "10.88.0." + std::to_string(i);
}

TEST(Switch, EveryHostReachesEveryOther)
{
    TVX_REQUIRE_LAN();
    lan::Lab lab;
    lan::Switch& sw = lab.AddSwitch();
    std::vector<lan::Host*> hosts;
    for (int i = 1; i <= 4; ++i) {
        hosts.push_back(&lab.AddHost("h" + std::to_string(i)));
        lab.Attach(sw, *hosts.back(), {"eth0", lan::LocalMac(0x8800 + i), Addr(i) + "/24"});
    }
    for (size_t i = 0; i < hosts.size(); ++i)
        for (size_t j = 0; j < hosts.size(); ++j) {
            if (i == j)
                continue;
            lan::ExecResult p = hosts[i]->Exec({"ping", "-c", "1", "-W", "2", Addr(int(j) + 1)});
            EXPECT_EQ(p.code, 0) << hosts[i]->label() << " -> " << Addr(int(j) + 1) << "\n"
                                 << p.out << p.err;
        }
    // Each host learnt the others' chosen MACs; the switch itself has no address.
    const std::string neigh = hosts[0]->Ip({"neigh", "show", "dev", "eth0"});
    for (int i = 2; i <= 4; ++i)
        EXPECT_NE(neigh.find(lan::LocalMac(0x8800 + i)), std::string::npos) << neigh;
    EXPECT_EQ(sw.host().Ip({"-4", "-o", "address", "show", "dev", "br0"}), "");
    // The bridge has one port per host, all enslaved to br0.
    const std::string ports = sw.host().Ip({"-o", "link", "show", "master", "br0"});
    EXPECT_EQ(std::count(ports.begin(), ports.end(), '\n'), 4) << ports;
}

TEST(Switch, FiftyHostsOnOneSubnet)
{
    TVX_REQUIRE_LAN();
    auto owned = std::make_unique<lan::Lab>();
    lan::Lab& lab = *owned;
    const auto t0 = std::chrono::steady_clock::now();
    lan::Switch& sw = lab.AddSwitch();
    std::vector<lan::Nic> nics;
    for (int i = 1; i <= 50; ++i)
        nics.push_back({"eth0", lan::LocalMac(0x880000 + i), Addr(i) + "/24"});
    std::vector<lan::Host*> hosts = lab.AddHostsOnSwitch(sw, nics);
    const auto built = std::chrono::steady_clock::now() - t0;
    const long ms = long(std::chrono::duration_cast<std::chrono::milliseconds>(built).count());
    std::printf("50 hosts on a bridge built in %ld ms\n", ms);
    RecordProperty("build_ms", int(ms));
    ASSERT_EQ(hosts.size(), 50u);
    EXPECT_LT(built, 30s);

    // The first and the last host both reach the middle one.
    for (lan::Host* h : {hosts.front(), hosts.back()}) {
        lan::ExecResult p = h->Exec({"ping", "-c", "1", "-W", "2", Addr(25)});
        EXPECT_EQ(p.code, 0) << h->label() << "\n" << p.out << p.err;
    }
    // Every host carries exactly its own address and MAC.
    for (int i : {1, 17, 50}) {
        const std::string j = hosts[size_t(i - 1)]->Ip({"-j", "address", "show", "eth0"});
        EXPECT_NE(j.find("\"local\":\"" + Addr(i) + "\""), std::string::npos) << j;
        EXPECT_NE(j.find(lan::LocalMac(0x880000 + i)), std::string::npos) << j;
    }
    const std::string last = hosts.back()->name();
    const auto t1 = std::chrono::steady_clock::now();
    owned.reset();
    const long gone = long(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t1)
            .count());
    std::printf("and removed in %ld ms\n", gone);
    RecordProperty("teardown_ms", int(gone));
    EXPECT_EQ(lan::RunCommand({"ip", "netns", "list"}).out.find(last), std::string::npos);
}

} // namespace
