// The harness's hosts, links, Exec and Run, checked against the kernel's own
// view (ip -j) and real traffic between namespaces.
#include "tests/lan/Lab.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <set>
#include <sstream>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;

namespace {

// The interface names a process sees, as getifaddrs reports them.
std::string InterfaceNames()
{
    std::set<std::string> names;
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        throw std::runtime_error("getifaddrs failed");
    for (ifaddrs* i = list; i; i = i->ifa_next)
        names.insert(i->ifa_name);
    freeifaddrs(list);
    std::string s;
    for (const auto& n : names)
        s += n + " ";
    return s;
}

// tx_packets of one interface from /sys, which Run remounts for its namespace.
long long TxPackets(const lan::Host& h, const std::string& dev)
{
    lan::RunResult r = h.Run([dev] {
        std::ifstream f("/sys/class/net/" + dev + "/statistics/tx_packets");
        long long n = -1;
        f >> n;
        return std::to_string(n);
    });
    if (!r.ok())
        throw std::runtime_error(r.Describe());
    return std::stoll(r.value);
}

class TwoHosts : public TwoHostLab {
protected:
    TwoHosts()
        : TwoHostLab({"a", {"eth0", "02:aa:00:00:00:01", "10.77.0.1/24"}},
                     {"b", {"veth-b", "02:bb:00:00:00:02", "10.77.0.2/24"}})
    {
    }
    lan::Host*& a = first;
    lan::Host*& b = second;
};

TEST_F(TwoHosts, ReachEachOtherAndCarryTheChosenMacs)
{
    lan::ExecResult ping = a->Exec({"ping", "-c", "1", "-W", "2", "10.77.0.2"});
    EXPECT_EQ(ping.code, 0) << ping.out << ping.err;
    lan::ExecResult back = b->Exec({"ping", "-c", "1", "-W", "2", "10.77.0.1"});
    EXPECT_EQ(back.code, 0) << back.out << back.err;

    EXPECT_NE(a->Ip({"-j", "link", "show", "eth0"}).find("\"address\":\"02:aa:00:00:00:01\""),
              std::string::npos);
    EXPECT_NE(b->Ip({"-j", "link", "show", "veth-b"}).find("\"address\":\"02:bb:00:00:00:02\""),
              std::string::npos);
    // After the ping each side has learnt the other's MAC as a neighbour.
    EXPECT_NE(a->Ip({"neigh", "show", "10.77.0.2"}).find("02:bb:00:00:00:02"), std::string::npos);
}

TEST_F(TwoHosts, NothingAppearsInTheRootNamespace)
{
    lan::ExecResult root = lan::RunCommand({"ip", "-o", "link"});
    ASSERT_EQ(root.code, 0) << root.err;
    EXPECT_EQ(root.out.find("02:aa:00:00:00:01"), std::string::npos);
    EXPECT_EQ(root.out.find("veth-b"), std::string::npos);
}

TEST_F(TwoHosts, RunSeesOnlyItsOwnNamespace)
{
    lan::RunResult ra = a->Run(InterfaceNames);
    ASSERT_TRUE(ra.ok()) << ra.Describe();
    EXPECT_EQ(ra.value, "eth0 lo ");
    lan::RunResult rb = b->Run(InterfaceNames);
    ASSERT_TRUE(rb.ok()) << rb.Describe();
    EXPECT_EQ(rb.value, "lo veth-b ");
    // /sys belongs to the namespace too: code that reads adapters from sysfs.
    lan::RunResult sys = a->Run([] {
        std::ifstream f("/sys/class/net/eth0/address");
        std::string mac;
        f >> mac;
        return mac;
    });
    ASSERT_TRUE(sys.ok()) << sys.Describe();
    EXPECT_EQ(sys.value, "02:aa:00:00:00:01");
}

TEST_F(TwoHosts, ExecReportsExitCodeAndBothStreams)
{
    lan::ExecResult r = a->Exec({"sh", "-c", "echo out; echo err >&2; exit 3"});
    EXPECT_EQ(r.code, 3);
    EXPECT_EQ(r.out, "out\n");
    EXPECT_EQ(r.err, "err\n");
    EXPECT_FALSE(r.ok());

    lan::ExecResult missing = a->Exec({"/nonexistent/tool"});
    EXPECT_EQ(missing.code, 127);
    EXPECT_NE(missing.err.find("/nonexistent/tool"), std::string::npos);

    lan::ExecResult fed = a->Exec({"tr", "a-z", "A-Z"}, 5s, "fed through stdin\n");
    EXPECT_EQ(fed.out, "FED THROUGH STDIN\n");

    auto t0 = std::chrono::steady_clock::now();
    lan::ExecResult slow = a->Exec({"sleep", "30"}, 300ms);
    EXPECT_TRUE(slow.timedOut);
    EXPECT_FALSE(slow.ok());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
}

TEST_F(TwoHosts, ExtraAddressesRoutesAndLinkDown)
{
    a->AddAddress("eth0", "10.78.0.1/24");
    b->AddRoute({"10.78.0.0/24", "via", "10.77.0.1"});
    EXPECT_EQ(b->Exec({"ping", "-c", "1", "-W", "2", "10.78.0.1"}).code, 0);
    EXPECT_NE(b->Ip({"route", "show"}).find("10.78.0.0/24 via 10.77.0.1"), std::string::npos);

    a->SetLinkUp("eth0", false);
    EXPECT_NE(a->Ip({"-j", "link", "show", "eth0"}).find("\"operstate\":\"DOWN\""),
              std::string::npos);
    EXPECT_NE(b->Exec({"ping", "-c", "1", "-W", "1", "10.77.0.1"}).code, 0);
    a->SetLinkUp("eth0", true);
}

TEST_F(TwoHosts, SysctlsArePerNamespace)
{
    a->SetSysctl("net.ipv4.ping_group_range", "0 2147483647");
    lan::ExecResult inA = a->Exec({"cat", "/proc/sys/net/ipv4/ping_group_range"});
    lan::ExecResult inB = b->Exec({"cat", "/proc/sys/net/ipv4/ping_group_range"});
    EXPECT_EQ(inA.out, "0\t2147483647\n");
    EXPECT_NE(inB.out, inA.out);
    a->SetSysctl("net/ipv4/conf/eth0/arp_ignore", "2");
    EXPECT_EQ(a->Exec({"sysctl", "-n", "net.ipv4.conf.eth0.arp_ignore"}).out, "2\n");
    EXPECT_THROW(a->SetSysctl("net/../../kernel/x", "1"), lan::LabError);
    EXPECT_THROW(a->SetSysctl("net.ipv4.no_such_key", "1"), lan::LabError);
}

TEST_F(TwoHosts, NamesResolveFromTheNamespaceHostsFileOnly)
{
    b->AddHostsEntry("10.77.0.1", {"alpha.test", "alpha"});
    auto lookup = [](const char* name) {
        return [name] {
            addrinfo hints{};
            hints.ai_family = AF_INET;
            addrinfo* res = nullptr;
            int rc = getaddrinfo(name, nullptr, &hints, &res);
            if (rc != 0)
                return std::string("error ") + std::to_string(rc);
            char text[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(res->ai_addr)->sin_addr, text,
                      sizeof text);
            freeaddrinfo(res);
            return std::string(text);
        };
    };
    lan::RunResult r = b->Run(lookup("alpha"));
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "10.77.0.1");
    // a's hosts file does not have it.
    lan::RunResult inA = a->Run(lookup("alpha"));
    ASSERT_TRUE(inA.ok()) << inA.Describe();
    EXPECT_EQ(inA.value.rfind("error", 0), 0u) << inA.value;

    // An unknown name fails quickly, and not one packet leaves through eth0.
    const long long before = TxPackets(*b, "veth-b");
    auto t0 = std::chrono::steady_clock::now();
    lan::RunResult unknown = b->Run(lookup("no-such-host.example"));
    auto took = std::chrono::steady_clock::now() - t0;
    ASSERT_TRUE(unknown.ok()) << unknown.Describe();
    EXPECT_EQ(unknown.value.rfind("error", 0), 0u) << unknown.value;
    EXPECT_LT(took, 3s);
    EXPECT_EQ(TxPackets(*b, "veth-b"), before);
}

TEST_F(TwoHosts, RunReportsThrowCrashHangAndEarlyExit)
{
    lan::RunResult threw = a->Run([]() -> std::string { throw std::runtime_error("boom"); });
    EXPECT_EQ(threw.outcome, lan::RunOutcome::Threw);
    EXPECT_EQ(threw.error, "boom");

    lan::RunResult crashed = a->Run([]() -> std::string {
        // abort rather than a segfault: a sanitizer build would catch that
        // and exit normally.
        std::abort();
    });
    EXPECT_EQ(crashed.outcome, lan::RunOutcome::Crashed);
    EXPECT_EQ(crashed.signal, SIGABRT);
    EXPECT_NE(crashed.Describe().find("signal"), std::string::npos);

    lan::RunOptions quick;
    quick.timeout = 300ms;
    auto t0 = std::chrono::steady_clock::now();
    lan::RunResult hung = a->Run(
        []() -> std::string {
            for (;;)
                pause();
        },
        quick);
    EXPECT_EQ(hung.outcome, lan::RunOutcome::TimedOut);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);

    lan::RunResult exited = a->Run([]() -> std::string { _exit(4); });
    EXPECT_EQ(exited.outcome, lan::RunOutcome::Failed);
    EXPECT_EQ(exited.exitCode, 4);

    // A large result crosses the pipe whole.
    lan::RunResult big = a->Run([] { return std::string(1 << 20, 'x'); });
    ASSERT_TRUE(big.ok()) << big.Describe();
    EXPECT_EQ(big.value.size(), size_t(1) << 20);
}

TEST_F(TwoHosts, UnprivilegedRunHasNoCapabilities)
{
    lan::RunOptions opt;
    opt.unprivileged = true;
    lan::RunResult r = a->Run(
        [] {
            std::ifstream f("/proc/self/status");
            std::string line, caps;
            while (std::getline(f, line))
                if (line.rfind("Cap", 0) == 0 || line.rfind("Uid", 0) == 0 ||
                    line.rfind("NoNewPrivs", 0) == 0)
                    caps += line + "\n";
            return caps;
        },
        opt);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_NE(r.value.find("Uid:\t65534\t65534\t65534\t65534"), std::string::npos) << r.value;
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapBnd", "CapAmb"})
        EXPECT_NE(r.value.find(std::string(set) + ":\t0000000000000000"), std::string::npos)
            << set << " in\n"
            << r.value;
    EXPECT_NE(r.value.find("NoNewPrivs:\t1"), std::string::npos);

    // What needs a capability really fails: a raw socket and changing a link.
    lan::RunResult raw = a->Run(
        [] {
            int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
            if (fd >= 0) {
                close(fd);
                return std::string("opened");
            }
            return std::string(errno == EPERM ? "EPERM" : "other");
        },
        opt);
    ASSERT_TRUE(raw.ok()) << raw.Describe();
    EXPECT_EQ(raw.value, "EPERM");
    // The same function as root opens it, so the check above can tell.
    lan::RunResult rootRaw = a->Run([] {
        int fd = socket(AF_INET, SOCK_RAW, IPPROTO_ICMP);
        if (fd < 0)
            return std::string("failed");
        close(fd);
        return std::string("opened");
    });
    EXPECT_EQ(rootRaw.value, "opened");
}

TEST_F(TwoHosts, RunCanNameItsComputer)
{
    lan::RunOptions named;
    named.hostname = "tvx-alpha";
    auto hostname = [] {
        char buf[256] = {};
        gethostname(buf, sizeof buf - 1);
        return std::string(buf);
    };
    lan::RunResult r = a->Run(hostname, named);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "tvx-alpha");
    // Only that child had the name; the machine's own stays.
    EXPECT_EQ(a->Run(hostname).value, hostname());
    EXPECT_NE(hostname(), "tvx-alpha");
}

TEST(LabNames, BadInterfaceNamesAreRefusedBeforeAnythingRuns)
{
    TVX_REQUIRE_LAN();
    lan::Lab lab;
    lan::Host& a = lab.AddHost("a");
    lan::Host& b = lab.AddHost("b");
    EXPECT_THROW(lab.Link(a, {"a-name-of-16-chr", "", ""}, b, {"eth0", "", ""}), lan::LabError);
    EXPECT_THROW(lab.Link(a, {"eth0 up", "", ""}, b, {"eth0", "", ""}), lan::LabError);
    EXPECT_THROW(lab.Link(a, {"eth0", "", "10.0.0.1/24\nlink del lo"}, b, {"eth0", "", ""}),
                 lan::LabError);
    EXPECT_THROW(a.AddHostsEntry("10.0.0.1", {"two words"}), lan::LabError);
    EXPECT_EQ(lan::LocalMac(0x0105), "02:00:00:00:01:05");
    EXPECT_EQ(lan::LocalMac(0xfedcba9876ULL), "02:fe:dc:ba:98:76");
}

} // namespace
