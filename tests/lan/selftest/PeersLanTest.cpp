// The ready-made peers answer real clients in another namespace.
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <filesystem>
#include <fstream>
#include <netdb.h>

namespace {

class PeerNet : public TwoHostLab {
protected:
    PeerNet()
        : TwoHostLab({"server", {"eth0", "02:5e:00:00:00:01", "10.66.0.1/24"}},
                     {"client", {"eth0", "02:c1:00:00:00:02", "10.66.0.2/24"}})
    {
    }
    lan::Host*& server = first;
    lan::Host*& client = second;
};

std::function<std::string()> Forward(const std::string& name)
{
    return [name] {
        addrinfo hints{};
        hints.ai_family = AF_INET;
        hints.ai_socktype = SOCK_DGRAM;
        addrinfo* res = nullptr;
        int rc = getaddrinfo(name.c_str(), nullptr, &hints, &res);
        if (rc != 0)
            return std::string("error: ") + gai_strerror(rc);
        char text[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, text,
                  sizeof text);
        freeaddrinfo(res);
        return std::string(text);
    };
}

std::function<std::string()> Reverse(const std::string& ip)
{
    return [ip] {
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        inet_pton(AF_INET, ip.c_str(), &sa.sin_addr);
        char host[NI_MAXHOST];
        int rc = getnameinfo(reinterpret_cast<sockaddr*>(&sa), sizeof sa, host, sizeof host,
                             nullptr, 0, NI_NAMEREQD);
        if (rc != 0)
            return std::string("error: ") + gai_strerror(rc);
        return std::string(host);
    };
}

TEST_F(PeerNet, DnsmasqAnswersForwardAndReverseNames)
{
    lan::Peer& dns = lan::StartDnsmasq(
        *server,
        {"10.66.0.1", {{"alpha.tvx.test", "10.66.0.7"}}, {{"beta.tvx.test", "10.66.0.8"}}});
    client->SetNameServers({"10.66.0.1"});

    lan::RunResult fwd = client->Run(Forward("alpha.tvx.test"));
    ASSERT_TRUE(fwd.ok()) << fwd.Describe();
    EXPECT_EQ(fwd.value, "10.66.0.7") << dns.Log();
    lan::RunResult rev = client->Run(Reverse("10.66.0.7"));
    EXPECT_EQ(rev.value, "alpha.tvx.test") << dns.Log();
    lan::RunResult ptr = client->Run(Reverse("10.66.0.8"));
    EXPECT_EQ(ptr.value, "beta.tvx.test");
    lan::RunResult noFwd = client->Run(Forward("beta.tvx.test"));
    EXPECT_EQ(noFwd.value.rfind("error", 0), 0u) << noFwd.value;

    // An unknown name is refused at once rather than forwarded anywhere.
    auto t0 = std::chrono::steady_clock::now();
    lan::RunResult unknown = client->Run(Forward("nowhere.example"));
    EXPECT_EQ(unknown.value.rfind("error", 0), 0u) << unknown.value;
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(2));
    // The query reached this dnsmasq: its log has it.
    EXPECT_NE(dns.Log().find("nowhere.example"), std::string::npos) << dns.Log();
    // It listens only on the address it was given.
    EXPECT_EQ(server->Exec({"ss", "-Hlun", "sport", "=", "53"}).out.find("127.0.0.1"),
              std::string::npos);
}

TEST_F(PeerNet, NmbdAnswersNameQueriesAndNodeStatus)
{
    lan::Peer& nmbd = lan::StartNmbd(*server, {"TVXALPHA", "TVXWG", "10.66.0.1/24"});
    const std::string conf = lan::SambaClientConf(*lab);
    lan::ExecResult q =
        client->Exec({"nmblookup", "--configfile=" + conf, "-U", "10.66.0.1", "TVXALPHA"});
    EXPECT_EQ(q.code, 0) << q.out << q.err;
    EXPECT_NE(q.out.find("10.66.0.1 TVXALPHA<00>"), std::string::npos) << q.out << nmbd.Log();

    lan::ExecResult status = client->Exec({"nmblookup", "--configfile=" + conf, "-A", "10.66.0.1"});
    EXPECT_NE(status.out.find("TVXALPHA"), std::string::npos) << status.out;
    EXPECT_NE(status.out.find("TVXWG"), std::string::npos) << status.out;
    // Its state stays in its own folder, never the machine's Samba folders.
    std::ifstream pidFile(nmbd.dir() + "/pid-directory/nmbd.pid");
    pid_t written = 0;
    pidFile >> written;
    EXPECT_EQ(written, nmbd.pid());
    EXPECT_TRUE(nmbd.Running());
}

TEST_F(PeerNet, TwoNmbdInstancesKeepApart)
{
    lan::Peer& one = lan::StartNmbd(*server, {"TVXONE", "TVXWG", "10.66.0.1/24"});
    lan::Peer& two = lan::StartNmbd(*client, {"TVXTWO", "TVXWG", "10.66.0.2/24"});
    EXPECT_NE(one.dir(), two.dir());
    const std::string conf = lan::SambaClientConf(*lab);
    lan::ExecResult a =
        client->Exec({"nmblookup", "--configfile=" + conf, "-U", "10.66.0.1", "TVXONE"});
    EXPECT_NE(a.out.find("10.66.0.1 TVXONE<00>"), std::string::npos) << a.out << a.err;
    lan::ExecResult b =
        server->Exec({"nmblookup", "--configfile=" + conf, "-U", "10.66.0.2", "TVXTWO"});
    EXPECT_NE(b.out.find("10.66.0.2 TVXTWO<00>"), std::string::npos) << b.out << b.err;
    // Each answers only for its own name.
    lan::ExecResult c =
        client->Exec({"nmblookup", "--configfile=" + conf, "-U", "10.66.0.1", "TVXTWO"});
    EXPECT_EQ(c.out.find("10.66.0.1 TVXTWO<00>"), std::string::npos) << c.out;
    EXPECT_THROW(lan::StartNmbd(*server, {"BAD NAME", "TVXWG", "10.66.0.1/24"}), lan::LabError);
    EXPECT_THROW(lan::StartNmbd(*server, {"X", "TVXWG\ninterfaces = lo", "10.66.0.1/24"}),
                 lan::LabError);
}

TEST_F(PeerNet, PeerThatCannotStartIsReportedWithItsLog)
{
    lan::PeerSpec spec;
    spec.name = "failing";
    spec.argv = {"sh", "-c", "echo cannot bind >&2; exit 2"};
    spec.ready = [] { return false; };
    try {
        lab->StartPeer(*server, spec);
        FAIL() << "a peer that exits must not count as started";
    } catch (const lan::LabError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot bind"), std::string::npos) << e.what();
    }
    spec.argv = {"/nonexistent/daemon"};
    EXPECT_THROW(lab->StartPeer(*server, spec), lan::LabError);

    spec.argv = {"sleep", "60"};
    spec.readyTimeout = std::chrono::milliseconds(200);
    EXPECT_THROW(lab->StartPeer(*server, spec), lan::LabError);
}

} // namespace
