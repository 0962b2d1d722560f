// The probes and lookups against hosts of a private network:
//   me   10.77.0.1/24   the code under test runs here
//   peer 10.77.0.2-.5   answers ping, TCP, DNS (dnsmasq) and NetBIOS (nmbd)
// 10.77.0.99 is on the link but no host has it.
#include "engine/NetBiosNodeStatus.h"
#include "engine/NetUtil.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <mutex>
#include <sstream>
#include <thread>

namespace {

const char* const MeIp = "10.77.0.1";
const char* const PeerIp = "10.77.0.2";
const char* const DeadIp = "10.77.0.99";
const char* const PeerExtra[] = {"10.77.0.3", "10.77.0.4", "10.77.0.5"};

lan::PeerSpec Program(const std::string& name, std::vector<std::string> argv,
                      std::function<bool()> ready = nullptr)
{
    lan::PeerSpec spec;
    spec.name = name;
    spec.argv = std::move(argv);
    spec.ready = std::move(ready);
    return spec;
}

lan::RunOptions Unprivileged(std::chrono::milliseconds timeout = std::chrono::milliseconds(15000))
{
    lan::RunOptions options;
    options.unprivileged = true;
    options.timeout = timeout;
    return options;
}

std::string Ms(int t)
{
    return t == NoAnswer ? "none" : std::to_string(t) + "ms";
}

in_addr_t Ip(const char* text)
{
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

class ProbeLan : public TwoHostLab {
protected:
    ProbeLan()
        : TwoHostLab({"me", {"eth0", "02:00:00:77:00:01", std::string(MeIp) + "/24"}},
                     {"peer", {"eth0", "02:00:00:77:00:02", std::string(PeerIp) + "/24"}})
    {
    }
    void SetUpLab() override
    {
        for (const char* extra : PeerExtra)
            peer_->AddAddress("eth0", std::string(extra) + "/24");
    }

    lan::RunResult RunInMe(const std::function<std::string()>& fn, lan::RunOptions options = {})
    {
        return me_->Run(fn, options);
    }

    // A TCP listener inside the peer that never accepts: the kernel completes
    // connections into its backlog.
    void StartListener(int port)
    {
        const std::string code = "import socket, time\n"
                                 "s = socket.socket()\n"
                                 "s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)\n"
                                 "s.bind(('" +
                                 std::string(PeerIp) + "', " + std::to_string(port) +
                                 "))\n"
                                 "s.listen(64)\n"
                                 "time.sleep(3600)\n";
        lan::Host* peer = peer_;
        lab->StartPeer(*peer_, Program("listener", {"/usr/bin/python3", "-c", code}, [peer, port] {
            return lan::IsListening(*peer, "tcp", port);
        }));
    }

    lan::Host*& me_ = first;
    lan::Host*& peer_ = second;
};

// Pings each address from its own thread, `rounds` times; "ok" when every
// live one always answered and every dead one never did.
std::string PingInParallel(const std::vector<std::string>& live,
                           const std::vector<std::string>& dead, int rounds, int timeoutMs)
{
    std::mutex lock;
    std::ostringstream wrong;
    std::vector<std::thread> threads;
    auto pinger = [&](const std::string ip, bool alive) {
        for (int i = 0; i < rounds; ++i) {
            const int t = PingHost(ip, timeoutMs);
            if ((t != NoAnswer) != alive) {
                std::lock_guard<std::mutex> hold(lock);
                wrong << ip << " round " << i << ": " << Ms(t) << "; ";
            }
        }
    };
    for (const std::string& ip : live)
        threads.emplace_back(pinger, ip, true);
    for (const std::string& ip : dead)
        threads.emplace_back(pinger, ip, false);
    for (auto& t : threads)
        t.join();
    const std::string w = wrong.str();
    return w.empty() ? "ok" : w;
}

} // namespace

TEST_F(ProbeLan, PingLiveAndDeadAddress)
{
    lan::RunResult r = RunInMe([] {
        const long long start = platform::MonotonicMs();
        const int dead = PingHost(DeadIp, 700);
        const long long deadTook = platform::MonotonicMs() - start;
        return Ms(PingHost(PeerIp, 2000)) + " " + Ms(dead) + " " +
               (deadTook >= 650 ? "waited" : "short:" + std::to_string(deadTook));
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    std::istringstream words(r.value);
    std::string live, dead, waited;
    words >> live >> dead >> waited;
    EXPECT_NE(live, "none") << r.value;
    EXPECT_LT(std::stoi(live), 2000) << r.value;
    EXPECT_EQ(dead, "none") << r.value;
    EXPECT_EQ(waited, "waited") << r.value;
}

TEST_F(ProbeLan, UnprivilegedPingUsesTheDatagramSocketWhenTheGroupMayPing)
{
    me_->SetSysctl("net.ipv4.ping_group_range", "0 2147483647");
    const lan::RunOptions nobody = Unprivileged();
    lan::RunResult r = RunInMe(
        [] {
            const platform::EchoOutcome o = platform::IcmpEcho(Ip(PeerIp), 2000);
            const std::string kind = o.Kind == platform::IcmpSocketKind::Datagram ? "dgram" : "raw";
            return kind + " " + (o.Answered ? "answered" : "none") + " " +
                   Ms(PingHost(DeadIp, 500));
        },
        nobody);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "dgram answered none");
}

TEST_F(ProbeLan, UnprivilegedPingWithoutAnySocketRaises)
{
    me_->SetSysctl("net.ipv4.ping_group_range", "1 0");
    const lan::RunOptions nobody = Unprivileged();
    lan::RunResult r = RunInMe([] { return Ms(PingHost(PeerIp, 500)); }, nobody);
    ASSERT_EQ(r.outcome, lan::RunOutcome::Threw) << r.Describe();
    EXPECT_NE(r.error.find("ICMP echo is not available"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("ping_group_range"), std::string::npos) << r.error;
    EXPECT_NE(r.error.find("CAP_NET_RAW"), std::string::npos) << r.error;
    // A name that does not resolve still is no answer, not an error: nothing
    // is sent.
    r = RunInMe([] { return Ms(PingHost("nosuchhost", 500)); }, nobody);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "none");
}

TEST_F(ProbeLan, ParallelRawPingsEachGetTheirOwnAnswer)
{
    // Root: raw sockets, which see every ICMP reply that reaches the host;
    // a system ping to the live peer runs beside them all the while.
    lab->StartPeer(*me_, Program("ping", {"ping", "-i", "0.05", "-c", "200", PeerIp}));
    lan::RunResult r = RunInMe(
        [] {
            return PingInParallel({PeerIp, PeerExtra[0], PeerExtra[1], PeerExtra[2]},
                                  {DeadIp, "10.77.0.98", "10.77.0.97", "10.77.0.96"}, 4, 600);
        },
        [] {
            lan::RunOptions root;
            root.timeout = std::chrono::milliseconds(30000);
            return root;
        }());
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "ok");
}

TEST_F(ProbeLan, ParallelDatagramPingsEachGetTheirOwnAnswer)
{
    me_->SetSysctl("net.ipv4.ping_group_range", "0 2147483647");
    const lan::RunOptions nobody = Unprivileged(std::chrono::milliseconds(30000));
    lan::RunResult r = RunInMe(
        [] {
            return PingInParallel({PeerIp, PeerExtra[0], PeerExtra[1], PeerExtra[2]},
                                  {DeadIp, "10.77.0.98"}, 4, 600);
        },
        nobody);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "ok");
}

TEST_F(ProbeLan, RepliesToOtherPingsOfTheSameHostAreNotOurs)
{
    // The peer drops echo requests of our size (32 data bytes: 60 bytes of
    // IP) and answers the system ping's (56 data bytes). Its replies keep
    // coming from the very address we ping, yet none of them is our answer.
    for (const std::vector<std::string>& cmd :
         {std::vector<std::string>{"nft", "add", "table", "inet", "tvx"},
          std::vector<std::string>{"nft", "add", "chain", "inet", "tvx", "input",
                                   "{ type filter hook input priority 0 ; policy accept ; }"},
          std::vector<std::string>{"nft", "add", "rule", "inet", "tvx", "input", "ip", "length",
                                   "60", "icmp", "type", "echo-request", "drop"}}) {
        lan::ExecResult e = peer_->Exec(cmd);
        ASSERT_TRUE(e.ok()) << e.err;
    }
    lan::Peer& ping =
        lab->StartPeer(*me_, Program("ping", {"ping", "-i", "0.02", "-c", "150", PeerIp}));
    auto ourPings = [] { return PingInParallel({}, {PeerIp, PeerIp, PeerIp, PeerIp}, 3, 500); };
    lan::RunResult raw = RunInMe(ourPings);
    ASSERT_TRUE(raw.ok()) << raw.Describe();
    EXPECT_EQ(raw.value, "ok");

    me_->SetSysctl("net.ipv4.ping_group_range", "0 2147483647");
    const lan::RunOptions nobody = Unprivileged();
    lan::RunResult dgram = RunInMe(ourPings, nobody);
    ASSERT_TRUE(dgram.ok()) << dgram.Describe();
    EXPECT_EQ(dgram.value, "ok");
    // The other pinger did get its answers all the while.
    EXPECT_NE(ping.Log().find("bytes from " + std::string(PeerIp)), std::string::npos)
        << ping.Log();
}

TEST_F(ProbeLan, TcpOpenRefusedAndSilentPorts)
{
    StartListener(8080);
    // Silent: the peer drops what comes to 8082, so no answer ever comes.
    for (const std::vector<std::string>& cmd :
         {std::vector<std::string>{"nft", "add", "table", "inet", "tvx"},
          std::vector<std::string>{"nft", "add", "chain", "inet", "tvx", "input",
                                   "{ type filter hook input priority 0 ; policy accept ; }"},
          std::vector<std::string>{"nft", "add", "rule", "inet", "tvx", "input", "tcp", "dport",
                                   "8082", "drop"}}) {
        lan::ExecResult e = peer_->Exec(cmd);
        ASSERT_TRUE(e.ok()) << e.err;
    }
    lan::RunResult r = RunInMe([] {
        std::ostringstream out;
        long long start = platform::MonotonicMs();
        out << Ms(TcpConnectTime(PeerIp, 2000, 8080)) << " ";
        start = platform::MonotonicMs();
        out << Ms(TcpConnectTime(PeerIp, 2000, 8081)) << " "
            << (platform::MonotonicMs() - start < 1000 ? "fast" : "slow") << " ";
        start = platform::MonotonicMs();
        out << Ms(CheckTcpPort(PeerIp, 600, 8082)) << " "
            << (platform::MonotonicMs() - start >= 580 ? "waited" : "short") << " ";
        out << Ms(TcpConnectTime(DeadIp, 600, 8080));
        return out.str();
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    std::istringstream words(r.value);
    std::string open, refused, fast, silent, waited, dead;
    words >> open >> refused >> fast >> silent >> waited >> dead;
    ASSERT_NE(open, "none") << r.value;
    EXPECT_LT(std::stoi(open), 2000) << r.value;
    EXPECT_EQ(refused, "none") << r.value;
    EXPECT_EQ(fast, "fast") << r.value;
    EXPECT_EQ(silent, "none") << r.value;
    EXPECT_EQ(waited, "waited") << r.value;
    EXPECT_EQ(dead, "none") << r.value;
}

TEST_F(ProbeLan, NamesFromTheHostsFile)
{
    me_->AddHostsEntry(PeerIp, {"peerbox", "peerbox.tvx"});
    lan::RunResult r = RunInMe([] {
        std::string ip, name, missing = "stale";
        HostNameToIP("peerbox", ip);
        IPToHostName(PeerIp, name);
        HostNameToIP("nosuchhost", missing);
        return ip + " " + name + " [" + missing + "] " + Ms(PingHost("peerbox", 2000));
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value.substr(0, r.value.find(" [")), std::string(PeerIp) + " peerbox");
    EXPECT_NE(r.value.find("[] "), std::string::npos) << r.value;
    EXPECT_EQ(r.value.find("none"), std::string::npos) << r.value;
}

TEST_F(ProbeLan, NamesFromADnsServer)
{
    lan::DnsmasqConfig dns;
    dns.listen = PeerIp;
    dns.hosts = {{"alpha.tvx", "10.77.0.5"}};
    lan::StartDnsmasq(*peer_, dns);
    me_->SetNameServers({PeerIp});
    lan::RunResult r = RunInMe([] {
        std::string ip, name, missing = "stale", none = "stale";
        HostNameToIP("alpha.tvx", ip);
        IPToHostName("10.77.0.5", name);
        HostNameToIP("beta.tvx", missing);
        IPToHostName(PeerExtra[1], none);
        return ip + " " + name + " [" + missing + "] [" + none + "]";
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "10.77.0.5 alpha.tvx [] []");
}

TEST_F(ProbeLan, NetBiosNameOfAnNmbdPeer)
{
    lan::NmbdConfig nmb;
    nmb.netbiosName = "PEERBOX";
    nmb.interfaceAddress = std::string(PeerIp) + "/24";
    lan::StartNmbd(*peer_, nmb);
    const std::string conf = lan::SambaClientConf(*lab);

    // The oracle: Samba's own client, until the workstation name is active.
    std::string oracle;
    const long long deadline = platform::MonotonicMs() + 20000;
    while (oracle.empty() && platform::MonotonicMs() < deadline) {
        lan::ExecResult e =
            me_->Exec({"nmblookup", "-s", conf, "-A", PeerIp}, std::chrono::seconds(10));
        std::istringstream lines(e.out);
        std::string line;
        while (std::getline(lines, line)) {
            if (line.find("<00>") != std::string::npos &&
                line.find("<GROUP>") == std::string::npos &&
                line.find("<ACTIVE>") != std::string::npos) {
                std::istringstream w(line);
                w >> oracle;
                break;
            }
        }
        if (oracle.empty())
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    ASSERT_EQ(oracle, "PEERBOX");

    lan::RunResult r = RunInMe([] {
        std::string name, dead = "stale";
        GetNetBiosName(PeerIp, 2000, name);
        std::vector<uint8_t> reply;
        TNetBiosNodeStatus status;
        const bool exchanged = ExchangeNetBiosNodeStatus(PeerIp, 2000, reply);
        const bool parsed = ParseNetBiosNodeStatus(reply, status);
        const long long start = platform::MonotonicMs();
        GetNetBiosName(DeadIp, 500, dead);
        const long long took = platform::MonotonicMs() - start;
        return name + " " + (exchanged && parsed ? "parsed" : "unparsed") + " " +
               std::to_string(status.Names.size()) + " " + (status.HasMac ? "mac" : "nomac") +
               " [" + dead + "] " + (took < 1500 ? "bounded" : "slow");
    });
    ASSERT_TRUE(r.ok()) << r.Describe();
    std::istringstream words(r.value);
    std::string name, parsed, count, mac, dead, bounded;
    words >> name >> parsed >> count >> mac >> dead >> bounded;
    EXPECT_EQ(name, oracle) << r.value;
    EXPECT_EQ(parsed, "parsed") << r.value;
    EXPECT_GE(std::stoi(count), 2) << r.value; // workstation and group names at least
    EXPECT_EQ(mac, "mac") << r.value;
    EXPECT_EQ(dead, "[]") << r.value;
    EXPECT_EQ(bounded, "bounded") << r.value;
}

TEST_F(ProbeLan, LocalComputerNameIsTheHostName)
{
    lan::RunOptions named;
    named.hostname = "tvx-probe-box";
    lan::RunResult r = RunInMe(
        [] {
            std::string name;
            GetLocalComputerName(name);
            return name;
        },
        named);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "tvx-probe-box");
    // The login name of whoever runs it, here the unprivileged "nobody".
    r = RunInMe(
        [] {
            std::string user;
            GetLocalUserName(user);
            return user;
        },
        Unprivileged());
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "nobody");
}
