// The local adapter inventory and the address list read inside namespaces
// of the test's own, against what `ip -j` reports in the same namespace.
#include "engine/uLocalIPandMaskList.h"
#include "platform/LocalInterfaces.h"
#include "tests/lan/Lab.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>

namespace {

std::string Oracle(const lan::Host& host, const char* mode)
{
    const std::string script =
        std::string(std::getenv("TOLVEX_SOURCE_DIR")) + "/tests/engine/local_adapters_oracle.py";
    const lan::ExecResult r = host.Exec({"/usr/bin/python3", script, mode});
    EXPECT_TRUE(r.ok()) << r.err;
    return r.out;
}

// TIPAndMask's items as the oracle's "items" rows.
std::string ItemRows()
{
    TIPAndMask m;
    m.LoadFromAdapters();
    std::string out;
    for (int i = 0; i < m.Items.Count(); ++i) {
        const TAddressItem& it = m.Items.Items(i);
        out += it.AdapterName() + " " + std::to_string(it.IpContext()) + " " + it.IpAddress() +
               " " + it.IpMAsk() + "\n";
    }
    return out;
}

// The inventory as the oracle's "links" rows.
std::string LinkRows()
{
    std::string out;
    for (const auto& i : platform::ListLocalInterfaces()) {
        std::string mac = i.HardwareAddressText(':');
        std::transform(mac.begin(), mac.end(), mac.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        out += i.name + " " + std::to_string(i.index) + " " + (i.up ? "up" : "down") + " " +
               (i.loopback ? "loopback" : "other") + " " + mac + "\n";
    }
    return out;
}

} // namespace

TEST(LocalAdaptersLan, TwoAddressesADownInterfaceAndLoopback)
{
    TVX_REQUIRE_LAN();
    ASSERT_NE(std::getenv("TOLVEX_SOURCE_DIR"), nullptr);
    lan::Lab lab;
    auto [a, b] = AddLinkedHosts(lab, {"a", {"eth0", "02:00:00:0a:00:01", "10.50.0.1/24"}},
                                 {"b", {"eth0", "02:00:00:0b:00:01", "10.50.0.2/24"}});
    // A second address with an alias label: still an address of eth0.
    a.Ip({"addr", "add", "10.60.1.1/16", "dev", "eth0", "label", "eth0:7"});
    lab.Link(a, {"eth1", "02:00:00:0a:00:02", "10.70.0.1/24"}, b,
             {"eth1", "02:00:00:0b:00:02", "10.70.0.2/24"});
    a.SetLinkUp("eth1", false);

    const std::string expectedItems = Oracle(a, "items");
    // Guards the oracle as much as the code: exactly eth0's two addresses.
    ASSERT_EQ(std::count(expectedItems.begin(), expectedItems.end(), '\n'), 2) << expectedItems;
    ASSERT_NE(expectedItems.find("eth0"), std::string::npos);

    const lan::RunResult items = a.Run(ItemRows);
    ASSERT_TRUE(items.ok()) << items.Describe();
    EXPECT_EQ(items.value, expectedItems);

    const std::string expectedLinks = Oracle(a, "links");
    ASSERT_NE(expectedLinks.find("02:00:00:0a:00:02"), std::string::npos) << expectedLinks;
    const lan::RunResult links = a.Run(LinkRows);
    ASSERT_TRUE(links.ok()) << links.Describe();
    EXPECT_EQ(links.value, expectedLinks);

    // The inventory itself keeps the down interface's address and the alias
    // label, which the address list leaves out or folds in.
    const lan::RunResult detail = a.Run([] {
        std::string out;
        for (const auto& i : platform::ListLocalInterfaces())
            for (const auto& addr : i.ipv4)
                out += i.name + "=" + addr.label + ":" + addr.AddressText() + "/" +
                       addr.NetmaskText() + " ";
        return out;
    });
    ASSERT_TRUE(detail.ok()) << detail.Describe();
    EXPECT_EQ(detail.value, "lo=lo:127.0.0.1/255.0.0.0 eth0=eth0:10.50.0.1/255.255.255.0 "
                            "eth0=eth0:7:10.60.1.1/255.255.0.0 eth1=eth1:10.70.0.1/255.255.255.0 ");
}

TEST(LocalAdaptersLan, OnlyLoopbackGivesAnEmptyList)
{
    TVX_REQUIRE_LAN();
    lan::Lab lab;
    lan::Host& a = lab.AddHost("alone");

    const lan::RunResult items = a.Run(ItemRows);
    ASSERT_TRUE(items.ok()) << items.Describe();
    EXPECT_EQ(items.value, "");
    EXPECT_EQ(Oracle(a, "items"), "");

    const lan::RunResult links = a.Run(LinkRows);
    ASSERT_TRUE(links.ok()) << links.Describe();
    EXPECT_EQ(links.value, Oracle(a, "links"));
    EXPECT_EQ(links.value.rfind("lo ", 0), 0u) << links.value;
}
