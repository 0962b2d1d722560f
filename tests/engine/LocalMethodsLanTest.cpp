// The transport-list and management-query methods for the local computer,
// run inside a private namespace whose interfaces the test chooses (MACs,
// several addresses, an interface that is down, one without carrier,
// loopback) and compared with what `ip -j addr` says there; a remote host
// gives False and the clear error.
#include "engine/uComputerList.h"
#include "engine/uGetMac.h"
#include "tests/lan/Lab.h"
#include "tests/support/ComputerBuilders.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <numeric>
#include <sstream>

namespace {

std::string Oracle(const lan::Host& host, const std::string& mode)
{
    const char* dir = std::getenv("TOLVEX_SOURCE_DIR");
    if (!dir)
        return "TOLVEX_SOURCE_DIR is not set";
    lan::ExecResult e = host.Exec(
        {"/usr/bin/python3", std::string(dir) + "/tests/engine/local_methods_oracle.py", mode});
    return e.ok() ? e.out : "oracle failed: " + e.err;
}

std::string NetApiRows(const std::string& host)
{
    TComputer c;
    const bool ok = GetMacsByNetApi(host, c);
    std::string rows = ok ? "" : "False\n";
    for (const auto& a : c.AdapterList)
        rows += a->Number + "|" + a->Name + "\n";
    return rows;
}

std::string WmiRows(const std::string& host)
{
    TComputer c;
    std::string rows;
    try {
        if (!GetMacsByWmi(host, c))
            rows = "False\n";
    } catch (const std::exception& e) {
        return std::string("error: ") + e.what();
    }
    for (const auto& a : c.AdapterList)
        rows +=
            a->Number + "|" + a->Name + "|" + a->IPAddress + "|" + std::to_string(a->Index) + "\n";
    return rows;
}

class LocalMethods : public TwoHostLab {
protected:
    LocalMethods()
        : TwoHostLab({"pc", {"eth0", "02:4e:00:00:00:01", "10.63.0.1/24"}},
                     {"other", {"eth0", "02:4e:00:00:00:02", "10.63.0.2/24"}})
    {
    }
    void SetUpLab() override
    {
        pc->AddAddress("eth0", "10.63.1.1/24");
        // v1 up with an address; its peer end v1p up without one.
        pc->Ip({"link", "add", "v1", "address", "02:4e:00:00:00:11", "type", "veth", "peer", "name",
                "v1p", "address", "02:4e:00:00:00:12"});
        pc->AddAddress("v1", "10.64.0.1/24");
        pc->SetLinkUp("v1", true);
        pc->SetLinkUp("v1p", true);
        // v2 down with an address; its peer v2p up, so without carrier.
        pc->Ip({"link", "add", "v2", "address", "02:4e:00:00:00:21", "type", "veth", "peer", "name",
                "v2p", "address", "02:4e:00:00:00:22"});
        pc->AddAddress("v2", "10.65.0.1/24");
        pc->AddAddress("v2p", "10.65.0.2/24");
        pc->SetLinkUp("v2p", true);
    }

    std::string In(const lan::Host& h, std::function<std::string()> fn,
                   const lan::RunOptions& o = {})
    {
        lan::RunResult r = h.Run(fn, o);
        return r.ok() ? r.value : "run failed: " + r.Describe();
    }

    lan::Host*& pc = first;
    lan::Host*& other = second;
};

TEST_F(LocalMethods, TransportsAreTheInterfacesIpShows)
{
    const std::string expected = Oracle(*pc, "netapi");
    // Written out once, so that an oracle gone wrong does not go unnoticed
    // (in any order: a veth pair's two ends take their indexes as the kernel
    // hands them out).
    std::vector<std::string> lines;
    std::istringstream in(expected);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line + "\n");
    std::sort(lines.begin(), lines.end());
    ASSERT_EQ(std::accumulate(lines.begin(), lines.end(), std::string()),
              "02-4E-00-00-00-01|\\Device\\NetBT_Tcpip_eth0\n"
              "02-4E-00-00-00-11|\\Device\\NetBT_Tcpip_v1\n"
              "02-4E-00-00-00-12|\\Device\\NetBT_Tcpip_v1p\n"
              "02-4E-00-00-00-22|\\Device\\NetBT_Tcpip_v2p\n");
    EXPECT_EQ(In(*pc, [] { return NetApiRows(""); }), expected);
    // The computer's own addresses name it too.
    EXPECT_EQ(In(*pc, [] { return NetApiRows("10.63.1.1"); }), expected);
    EXPECT_EQ(In(*pc, [] { return NetApiRows("127.0.0.1"); }), expected);
    // The other namespace has only its own interface.
    EXPECT_EQ(In(*other, [] { return NetApiRows(""); }),
              "02-4E-00-00-00-02|\\Device\\NetBT_Tcpip_eth0\n");
}

TEST_F(LocalMethods, ManagementQueriesAreTheAdaptersIpShows)
{
    const std::string expected = Oracle(*pc, "wmi");
    ASSERT_EQ(expected.substr(0, expected.find('|', 18)), "02-4E-00-00-00-01|eth0") << expected;
    ASSERT_NE(expected.find("|eth0|10.63.0.1, 10.63.1.1|"), std::string::npos) << expected;
    ASSERT_NE(expected.find("02-4E-00-00-00-22|v2p|10.65.0.2|"), std::string::npos) << expected;
    ASSERT_EQ(expected.find("v2|"), std::string::npos) << "v2 is down";
    EXPECT_EQ(In(*pc, [] { return WmiRows("."); }), expected);
    EXPECT_EQ(In(*pc, [] { return WmiRows("10.64.0.1"); }), expected);
}

TEST_F(LocalMethods, AdaptersFoundBeforeStayAsTheyWere)
{
    const std::string found = In(*pc, [] {
        TComputer c;
        for (const char* mac : {"02-4e-00-00-00-02", "02-4e-00-00-00-03"})
            c.AdapterList.push_back(MakeAdapter("", mac));
        GetMacsByWmi(".", c);
        std::string rows;
        for (const auto& a : c.AdapterList)
            rows += a->Number + "|" + a->Name + "|" + a->IPAddress + "|" +
                    std::to_string(a->Index) + "\n";
        return rows;
    });
    EXPECT_EQ(found, "02-4e-00-00-00-02|||0\n02-4e-00-00-00-03|||0\n" + Oracle(*pc, "wmi"));
}

TEST_F(LocalMethods, RemoteHostFailsClearly)
{
    EXPECT_EQ(In(*pc, [] { return NetApiRows("10.63.0.2"); }), "False\n");
    EXPECT_EQ(In(*pc, [] { return WmiRows("10.63.0.2"); }),
              "error: WMI is not available on this system");
    // An address of this computer in another namespace is not this one's.
    EXPECT_EQ(In(*other, [] { return NetApiRows("10.63.1.1"); }), "False\n");
}

TEST_F(LocalMethods, NoPrivilegesNeeded)
{
    lan::RunOptions o;
    o.unprivileged = true;
    EXPECT_EQ(In(
                  *pc, [] { return NetApiRows(""); }, o),
              Oracle(*pc, "netapi"));
    EXPECT_EQ(In(
                  *pc, [] { return WmiRows("."); }, o),
              Oracle(*pc, "wmi"));
}

} // namespace
