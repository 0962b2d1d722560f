// Names that only NetBIOS knows, resolved against Samba's nmbd in a private
// network:
//   scanner 10.64.0.1/24   the code under test runs here; its name server
//                          (127.0.0.1) does not run, its hosts file knows one name
//   server  10.64.0.2/24   nmbd registered as TVXNAMED
#include "engine/NetUtil.h"
#include "engine/uThreadScanPool.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <sstream>

namespace {

const char* const ServerIp = "10.64.0.2";

class NetBiosNames : public TwoHostLab {
protected:
    NetBiosNames()
        : TwoHostLab({"scanner", {"eth0", "02:00:00:64:00:01", "10.64.0.1/24"}},
                     {"server", {"eth0", "02:00:00:64:00:02", std::string(ServerIp) + "/24"}})
    {
    }
    void SetUpLab() override
    {
        scanner->AddHostsEntry("10.64.0.50", {"dnsknown"});
        lan::NmbdConfig nmb;
        nmb.netbiosName = "TVXNAMED";
        nmb.interfaceAddress = std::string(ServerIp) + "/24";
        nmbd = &lan::StartNmbd(*server, nmb);
    }

    // The oracle: Samba's own client asks the same way, by broadcast. nmbd
    // answers broadcasts only once its name registration is over, a few
    // seconds after it answers to its address.
    void WaitUntilAnsweredByBroadcast()
    {
        const std::string conf = lan::SambaClientConf(*lab);
        const std::string expected = std::string(ServerIp) + " TVXNAMED<00>";
        lan::ExecResult oracle;
        const long long deadline = platform::MonotonicMs() + 20000;
        do
            oracle = scanner->Exec({"nmblookup", "-s", conf, "TVXNAMED"}, std::chrono::seconds(10));
        while (oracle.out.find(expected) == std::string::npos &&
               platform::MonotonicMs() < deadline);
        ASSERT_NE(oracle.out.find(expected), std::string::npos)
            << oracle.out << oracle.err << nmbd->Log();
    }

    lan::Host*& scanner = first;
    lan::Host*& server = second;
    lan::Peer* nmbd = nullptr;
};

} // namespace

TEST_F(NetBiosNames, NameDnsDoesNotKnowResolvesByBroadcast)
{
    WaitUntilAnsweredByBroadcast();
    if (HasFatalFailure())
        return;
    lan::RunResult r = scanner->Run([] {
        std::string dnsOnly = "stale", named, lower, dotted = "stale", hosts, missing = "stale";
        HostNameToIP("TVXNAMED", dnsOnly); // the resolver alone knows nothing of it
        HostNameToIP("TVXNAMED", named, 2000);
        HostNameToIP("tvxnamed", lower, 2000);
        HostNameToIP("tvxnamed.lan", dotted, 2000); // a DNS name is not asked by NetBIOS
        long long t0 = platform::MonotonicMs();
        HostNameToIP("dnsknown", hosts, 2000);
        const long long hostsMs = platform::MonotonicMs() - t0;
        t0 = platform::MonotonicMs();
        HostNameToIP("NOSUCHBOX", missing, 500);
        const long long missingMs = platform::MonotonicMs() - t0;
        std::ostringstream out;
        out << "[" << dnsOnly << "] " << named << " " << lower << " [" << dotted << "] " << hosts
            << " " << (hostsMs < 400 ? "fast" : "slow") << " [" << missing << "] "
            << (missingMs >= 450 && missingMs < 2000 ? "bounded" : std::to_string(missingMs));
        return out.str();
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "[] 10.64.0.2 10.64.0.2 [] 10.64.0.50 fast [] bounded") << nmbd->Log();
}

TEST_F(NetBiosNames, ScanOfANetBiosNameFindsTheHostsMac)
{
    WaitUntilAnsweredByBroadcast();
    if (HasFatalFailure())
        return;
    // The whole way a name from the network neighbourhood takes: the worker
    // resolves it by NetBIOS, pings the address and asks the kernel for its MAC.
    lan::RunResult r = scanner->Run([] {
        platform::MainThread().Install();
        ResetEngineOptions();
        DefaultTimeout = 1500;
        sSetStatusScanComputerComplete = "found %s";
        ComputerList = std::make_unique<TComputerList>();
        std::string log;
        bool finished = false;
        {
            TPoolOfThreads pool;
            pool.SetOnStatus(
                [&](int S, const std::string& T) { log += std::to_string(S) + " " + T + ";"; });
            pool.SetOnFinish([&](TPoolOfThreads*) { finished = true; });
            pool.SetTarget(stRemoteComputer);
            pool.SetMethod(smArp);
            pool.SetComputerName("TVXNAMED");
            pool.Start();
            platform::MainThread().PumpUntil([&] { return finished && pool.LiveWorkers() == 0; },
                                             std::chrono::seconds(20));
        }
        std::string found;
        for (const auto& c : *ComputerList)
            for (const auto& a : c->AdapterList)
                found += c->IP + " " + a->Number + ";";
        ComputerList.reset();
        return log + " | " + found + (finished ? " finished" : " unfinished");
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "0 found TVXNAMED; | 10.64.0.2 02-00-00-64-00-02; finished") << nmbd->Log();
}
