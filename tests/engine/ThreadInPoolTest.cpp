// The scan worker's host and enumeration jobs, driven in the test's own
// thread (the worker is never resumed) against scripted services.
#include "engine/uThreadInPool.h"
#include "tests/engine/ScriptedWorkerServices.h"

#include <gtest/gtest.h>

namespace {

const std::string Ip = "10.0.0.7";
const std::string CiscoArp = "00-00-0c-11-22-33";
const std::string CiscoNetBios = "00-00-0c-44-55-66";

TEngineSettings Formats()
{
    TEngineSettings s;
    s.sSetStatusScanComputerComplete = "found %s";
    s.sSetStatusScanComputerInactive = "inactive %s";
    s.sSetStatusScanComputerNotDetect = "nothing %s";
    s.sSetStatusScanComputerErrorMSg = "error %s: %s";
    s.sSetStatusScanComputerNotResolved = "unresolved %s";
    return s;
}

// One job through a worker that is never started.
struct Worker {
    ScriptedNet Net;
    TEngineSettings Settings = Formats();

    TScanJob Run(const std::string& Address, TScanMethod Method,
                 TScanTarget Target = stRemoteComputer)
    {
        TThreadInPool w(nullptr, Net.Services());
        w.Job.Reset();
        w.Job.Target = Target;
        w.Job.Method = Method;
        w.Job.Address = Address;
        w.Job.Settings = Settings;
        w.ProcessJob();
        return std::move(w.Job);
    }
};

std::vector<std::string> Numbers(const TComputer& C)
{
    std::vector<std::string> n;
    for (const auto& a : C.AdapterList)
        n.push_back(a->Number);
    return n;
}

} // namespace

TEST(ScanWorker, AllMethodsProbeBeforeEachAndCollectEveryAdapter)
{
    Worker w;
    w.Settings.DefaultTimeout = 250;
    w.Net.Arp[Ip] = CiscoArp;
    w.Net.NetBios[Ip] = CiscoNetBios;
    w.Net.Lists["netapi"][Ip] = {"00-00-0C-AA-BB-CC"};
    w.Net.Lists["snmp"][Ip] = {"02-00-00-00-00-09"};
    TScanJob job = w.Run(Ip, smAll);

    const std::vector<std::string> expected = {
        "ping 10.0.0.7 250", "arp 10.0.0.7",     "ping 10.0.0.7 250", "netbios 10.0.0.7 250",
        "ping 10.0.0.7 250", "netapi 10.0.0.7",  "ping 10.0.0.7 250", "wmi 10.0.0.7",
        "ping 10.0.0.7 250", "community public", "snmp 10.0.0.7",     "nbname 10.0.0.7"};
    EXPECT_EQ(w.Net.CallLog(), expected);
    ASSERT_TRUE(job.Computer);
    EXPECT_EQ(Numbers(*job.Computer),
              (std::vector<std::string>{CiscoArp, CiscoNetBios, "00-00-0C-AA-BB-CC",
                                        "02-00-00-00-00-09"}));
    const TAdapterList& a = job.Computer->AdapterList;
    EXPECT_EQ(a[0]->Vendor, "Cisco Systems, Inc");
    EXPECT_EQ(a[1]->Vendor, "Cisco Systems, Inc");
    EXPECT_EQ(a[2]->Vendor, "Cisco Systems, Inc") << "list adapters get their vendor too";
    EXPECT_EQ(a[3]->Vendor, "");
    EXPECT_FALSE(job.Computer->Single) << "a list method answered";
    EXPECT_EQ(job.Computer->IP, Ip);
    EXPECT_EQ(job.Status, jsComplete);
    EXPECT_EQ(job.Message, "found 10.0.0.7");

    // When no list method answers, the two single adapters stay Single.
    Worker single;
    single.Net.Arp[Ip] = CiscoArp;
    single.Net.NetBios[Ip] = CiscoNetBios;
    job = single.Run(Ip, smAll);
    ASSERT_TRUE(job.Computer);
    EXPECT_EQ(job.Computer->AdapterList.size(), 2u);
    EXPECT_TRUE(job.Computer->Single);
}

TEST(ScanWorker, LocalComputerIsNeverProbedAndListMethodsAskItsOwnNames)
{
    Worker w;
    w.Settings.DefaultCheckState = 5; // would make any remote host inactive
    w.Net.Resolves["mybox"] = "10.0.0.1";
    w.Net.Arp["10.0.0.1"] = CiscoArp;
    TScanJob job = w.Run("mybox", smAll, stLocalComputer);
    // The computer's own name is kept, not looked up again.
    const std::vector<std::string> expected = {
        "resolve mybox 300", "arp 10.0.0.1",  "netbios 10.0.0.1 300", "netapi ", "wmi .",
        "community public",  "snmp localhost"};
    EXPECT_EQ(w.Net.CallLog(), expected);
    EXPECT_TRUE(job.Alive);
    EXPECT_EQ(job.Status, jsComplete);
    EXPECT_EQ(job.Message, "found mybox");
    EXPECT_EQ(job.Computer->Name, "mybox");
}

TEST(ScanWorker, LocalComputerNamedOnLoopbackIsScannedAtItsNetworkAddress)
{
    struct Case {
        std::string Resolved; // what the host name stands for
        std::string Network;  // the first network interface's address
        std::string Scanned;
    };
    const Case cases[] = {
        {"127.0.1.1", "10.0.0.1", "10.0.0.1"}, // Debian's hosts file
        {"127.0.0.1", "10.0.0.1", "10.0.0.1"},
        {"", "10.0.0.1", "10.0.0.1"},   // no entry at all
        {"127.0.1.1", "", "127.0.1.1"}, // no network: loopback it is
        {"192.168.7.7", "10.0.0.1", "192.168.7.7"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("resolved '" + c.Resolved + "', network '" + c.Network + "'");
        Worker w;
        if (!c.Resolved.empty())
            w.Net.Resolves["mybox"] = c.Resolved;
        w.Net.NetworkAddress = c.Network;
        w.Net.Arp[c.Scanned] = CiscoArp;
        TScanJob job = w.Run("mybox", smArp, stLocalComputer);
        EXPECT_EQ(w.Net.CallCount("arp " + c.Scanned), 1);
        EXPECT_EQ(job.IP, c.Scanned);
        ASSERT_TRUE(job.Computer);
        EXPECT_EQ(job.Computer->IP, c.Scanned);
        EXPECT_EQ(job.Computer->Name, "mybox");
        EXPECT_EQ(Numbers(*job.Computer), std::vector<std::string>{CiscoArp});
    }
    // A remote computer named on loopback is asked there.
    Worker remote;
    remote.Net.Resolves["other"] = "127.0.1.1";
    remote.Net.NetworkAddress = "10.0.0.1";
    remote.Run("other", smArp, stRemoteComputer);
    EXPECT_EQ(remote.Net.CallCount("arp 127.0.1.1"), 1);
    EXPECT_EQ(remote.Net.CallCount("network address"), 0);
}

TEST(ScanWorker, LocalComputerWithoutNamesKeepsNone)
{
    Worker w;
    w.Settings.bNoName = true;
    w.Net.Resolves["mybox"] = "10.0.0.1";
    w.Net.Arp["10.0.0.1"] = CiscoArp;
    TScanJob job = w.Run("mybox", smArp, stLocalComputer);
    ASSERT_TRUE(job.Computer);
    EXPECT_EQ(job.Computer->Name, "");
    EXPECT_EQ(job.Computer->GetCaption(ccsNameIP), "10.0.0.1");
}

TEST(ScanWorker, EachCheckStateProbesItsOwnWay)
{
    struct Case {
        int CheckState;
        bool Dead;
        std::string Probe; // first call, empty: the ARP call comes first
        TJobStatus Status;
    };
    const Case cases[] = {
        {csDontCheck, true, "", jsComplete},
        {csPing, false, "ping 10.0.0.7 400", jsComplete},
        {csPing, true, "ping 10.0.0.7 400", jsInactive},
        {csTcpConnect, false, "tcp 10.0.0.7 400 8080", jsComplete},
        {csTcpConnect, true, "tcp 10.0.0.7 400 8080", jsInactive},
        {5, false, "", jsInactive},
        {-2, false, "", jsInactive},
    };
    for (const Case& c : cases) {
        Worker w;
        w.Settings.DefaultCheckState = c.CheckState;
        w.Settings.DefaultTimeout = 400;
        w.Settings.DefaultTCPPort = 8080;
        w.Net.Arp[Ip] = CiscoArp;
        if (c.Dead)
            w.Net.Dead.insert(Ip);
        const TScanJob job = w.Run(Ip, smArp);
        const std::vector<std::string> log = w.Net.CallLog();
        ASSERT_FALSE(log.empty()) << c.CheckState;
        EXPECT_EQ(log[0], c.Probe.empty() ? "arp 10.0.0.7" : c.Probe) << c.CheckState;
        EXPECT_EQ(job.Status, c.Status) << c.CheckState;
        EXPECT_EQ(job.Message, (c.Status == jsComplete ? "found " : "inactive ") + Ip)
            << c.CheckState;
        // ARP runs on an inactive host too, and its MAC is kept.
        ASSERT_TRUE(job.Computer) << c.CheckState;
        EXPECT_EQ(Numbers(*job.Computer), std::vector<std::string>{CiscoArp}) << c.CheckState;
        // An inactive host gets no name lookup.
        EXPECT_EQ(log.back() == "nbname 10.0.0.7", c.Status == jsComplete) << c.CheckState;
    }
}

TEST(ScanWorker, InactiveHostSkipsNetApiAndWmiUnlessIgnoreCheck)
{
    for (const bool ignore : {false, true}) {
        Worker w;
        w.Settings.DefaultCheckState = 5;
        w.Settings.IgnoreCheck = ignore;
        w.Net.Arp[Ip] = CiscoArp;
        w.Net.Lists["netapi"][Ip] = {"00-00-0C-AA-BB-CC"};
        const TScanJob job = w.Run(Ip, smAll);
        EXPECT_EQ(w.Net.CallCount("arp "), 1) << ignore;
        EXPECT_EQ(w.Net.CallCount("netbios "), 1) << ignore;
        EXPECT_EQ(w.Net.CallCount("snmp "), 1) << ignore;
        EXPECT_EQ(w.Net.CallCount("netapi "), ignore ? 1 : 0) << ignore;
        EXPECT_EQ(w.Net.CallCount("wmi "), ignore ? 1 : 0) << ignore;
        EXPECT_EQ(job.Status, jsInactive) << ignore;
        EXPECT_EQ(job.Message, "inactive 10.0.0.7") << ignore;
        ASSERT_TRUE(job.Computer);
        EXPECT_EQ(job.Computer->AdapterList.size(), ignore ? 2u : 1u) << ignore;
    }
}

TEST(ScanWorker, ReachableHostWithoutMacIsNotDetected)
{
    Worker w;
    const TScanJob job = w.Run(Ip, smAll);
    EXPECT_EQ(job.Status, jsNotFound);
    EXPECT_EQ(job.Message, "nothing 10.0.0.7");
    ASSERT_TRUE(job.Computer) << "the pool frees it";
    EXPECT_TRUE(job.Computer->AdapterList.empty());
    EXPECT_EQ(w.Net.CallCount("nbname"), 0);
}

TEST(ScanWorker, ErrorEndsTheJobAndKeepsTheAdaptersFoundSoFar)
{
    Worker w;
    w.Net.Arp[Ip] = CiscoArp;
    w.Net.NetBios[Ip] = CiscoNetBios;
    w.Net.Raises.insert("netbios 10.0.0.7");
    const TScanJob job = w.Run(Ip, smAll);
    EXPECT_EQ(job.Status, jsNotFound);
    EXPECT_EQ(job.Message, "error 10.0.0.7: boom");
    ASSERT_TRUE(job.Computer);
    EXPECT_EQ(Numbers(*job.Computer), std::vector<std::string>{CiscoArp});
    EXPECT_EQ(w.Net.CallCount("netapi"), 0) << "the job ends at the error";
    EXPECT_EQ(w.Net.CallCount("nbname"), 0);

    // A raising probe is an error of the job as well.
    Worker probe;
    probe.Net.Raises.insert("ping 10.0.0.7");
    const TScanJob probed = probe.Run(Ip, smArp);
    EXPECT_EQ(probed.Status, jsNotFound);
    EXPECT_EQ(probed.Message, "error 10.0.0.7: boom");
    EXPECT_EQ(probe.Net.CallCount("arp"), 0);
}

TEST(ScanWorker, NameLookupFollowsTheOptions)
{
    struct Case {
        bool NoName, NetBios, Domain, DomainIfFailed;
        bool HasNetBiosName, HasDnsName;
        std::string Name;
        int NetBiosCalls, DnsCalls;
    };
    const Case cases[] = {
        {true, true, true, true, true, true, "", 0, 0},           // no name at all
        {false, true, false, false, true, true, "NBNAME", 1, 0},  // NetBIOS only
        {false, true, false, true, true, true, "NBNAME", 1, 0},   // NetBIOS answered
        {false, true, false, true, false, true, "dns.tvx", 1, 1}, // NetBIOS failed: DNS
        {false, true, true, false, true, true, "dns.tvx", 1, 1},  // DNS replaces NetBIOS
        {false, true, true, false, true, false, "NBNAME", 1, 1},  // unless DNS knows none
        {false, false, true, false, true, true, "dns.tvx", 0, 1}, // DNS only
        {false, false, false, false, true, true, "", 0, 0},       // no method chosen
        {false, false, false, true, true, true, "dns.tvx", 0, 1}, // nothing before DNS
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        Worker w;
        w.Settings.bNoName = c.NoName;
        w.Settings.bGetNetbiosName = c.NetBios;
        w.Settings.bGetDomainName = c.Domain;
        w.Settings.bGetDomainNameIfNetBiosFailed = c.DomainIfFailed;
        w.Net.Arp[Ip] = CiscoArp;
        if (c.HasNetBiosName)
            w.Net.NetBiosNames[Ip] = "NBNAME";
        if (c.HasDnsName)
            w.Net.DnsNames[Ip] = "dns.tvx";
        const TScanJob job = w.Run(Ip, smArp);
        ASSERT_TRUE(job.Computer) << i;
        EXPECT_EQ(job.Computer->Name, c.Name) << i;
        EXPECT_EQ(w.Net.CallCount("nbname"), c.NetBiosCalls) << i;
        EXPECT_EQ(w.Net.CallCount("dns"), c.DnsCalls) << i;
        EXPECT_EQ(job.Status, jsComplete) << i;
    }
    // Without a name the caption is the address.
    Worker unnamed;
    unnamed.Settings.bNoName = true;
    unnamed.Net.Arp[Ip] = CiscoArp;
    const TScanJob job = unnamed.Run(Ip, smArp);
    ASSERT_TRUE(job.Computer);
    EXPECT_EQ(job.Computer->GetCaption(ccsIPName), Ip);
}

TEST(ScanWorker, NamesResolveFirstAndUnresolvedOnesAreLoggedUnprobed)
{
    Worker w;
    w.Net.Resolves["alpha"] = Ip;
    w.Net.Arp[Ip] = CiscoArp;
    TScanJob job = w.Run("alpha", smArp);
    EXPECT_EQ(w.Net.CallLog().front(), "resolve alpha 300");
    EXPECT_EQ(job.IP, Ip);
    EXPECT_EQ(job.Message, "found alpha") << "the log names what was asked for";

    Worker ghost;
    job = ghost.Run("ghost", smAll);
    EXPECT_EQ(ghost.Net.CallLog(), std::vector<std::string>{"resolve ghost 300"});
    EXPECT_EQ(job.Status, jsNotFound);
    EXPECT_EQ(job.Message, "unresolved ghost");
    EXPECT_FALSE(job.Computer);

    // A dotted address is used as it is.
    Worker dotted;
    dotted.Run(Ip, smArp);
    EXPECT_EQ(dotted.Net.CallCount("resolve"), 0);
}

TEST(ScanWorker, EnumerationJobsFillTheirNames)
{
    Worker w;
    w.Net.Neighbourhood = {"ALPHA", "BETA"};
    TScanJob job = w.Run("*", smArp, stEntireNetwork);
    ASSERT_TRUE(job.Names);
    EXPECT_EQ(*job.Names, (std::vector<std::string>{"ALPHA", "BETA"}));
    EXPECT_EQ(job.Status, jsComplete);
    EXPECT_EQ(job.Message, "net found 2");
    EXPECT_FALSE(job.Computer);
    EXPECT_EQ(w.Net.CallLog(), std::vector<std::string>{"enum net"});

    // Nothing found is an empty list, not a missing one.
    Worker ad;
    job = ad.Run("*", smArp, stActiveDirectory);
    ASSERT_TRUE(job.Names);
    EXPECT_TRUE(job.Names->empty());
    EXPECT_EQ(job.Status, jsNotFound);
    EXPECT_EQ(ad.Net.CallLog(), std::vector<std::string>{"enum ad"});

    // An enumeration that raises ends as an error with no names.
    Worker failing;
    failing.Net.Neighbourhood = {"ALPHA"};
    failing.Net.Raises.insert("enum net");
    job = failing.Run("*", smArp, stEntireNetwork);
    ASSERT_TRUE(job.Names);
    EXPECT_TRUE(job.Names->empty());
    EXPECT_EQ(job.Status, jsNotFound);
    EXPECT_EQ(job.Message, "error *: boom");
}
