// Nothing outlives a Lab, also when a test fails half-way, and what a dead
// test process left behind is removed without touching a live one's.
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool NamespaceListed(const std::string& name)
{
    lan::ExecResult r = lan::RunCommand({"ip", "netns", "list"});
    return r.out.find(name) != std::string::npos;
}

// Gone, or a zombie that nobody has reaped yet: either way it runs no more.
bool ProcessGone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    if (!stat)
        return true;
    std::string pidText, comm, state;
    stat >> pidText >> comm >> state;
    return state == "Z" || state == "X";
}

bool GoneWithin(pid_t pid, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!ProcessGone(pid)) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// A process in the namespace, in a session of its own, that no harness call
// started: what a peer's forked helper or a daemonizing tool leaves behind.
pid_t StartStray(const std::string& ns)
{
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        execlp("ip", "ip", "netns", "exec", ns.c_str(), "sleep", "300", (char*)nullptr);
        _exit(127);
    }
    // Ready once ip has entered the namespace and become sleep.
    for (int i = 0; i < 200; ++i) {
        std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
        std::string c;
        comm >> c;
        if (c == "sleep")
            break;
        std::this_thread::sleep_for(10ms);
    }
    return pid;
}

TEST(Cleanup, NothingRemainsAfterTheLab)
{
    TVX_REQUIRE_LAN();
    std::vector<std::string> names;
    std::string temp;
    pid_t peerPid = 0, strayPid = 0;
    {
        lan::Lab lab;
        lan::Switch& sw = lab.AddSwitch();
        lan::Host& a = lab.AddHost("a");
        lan::Host& b = lab.AddHost("b");
        lab.Attach(sw, a, {"eth0", "", "10.99.0.1/24"});
        lab.Attach(sw, b, {"eth0", "", "10.99.0.2/24"});
        for (const auto& h : lab.hosts())
            names.push_back(h->name());
        temp = lab.TempDir();
        lan::Peer& dns = lan::StartDnsmasq(a, {"10.99.0.1", {{"x.test", "10.99.0.5"}}, {}});
        peerPid = dns.pid();
        // A process that left its own group and was never registered as a peer.
        strayPid = StartStray(b.name());
        ASSERT_FALSE(ProcessGone(strayPid));
        for (const auto& n : names) {
            EXPECT_TRUE(NamespaceListed(n)) << n;
            EXPECT_TRUE(fs::exists("/etc/netns/" + n)) << n;
        }
        EXPECT_TRUE(fs::exists(temp));
    }
    for (const auto& n : names) {
        EXPECT_FALSE(NamespaceListed(n)) << n;
        EXPECT_FALSE(fs::exists("/etc/netns/" + n)) << n;
        EXPECT_FALSE(fs::exists("/run/netns/" + n)) << n;
    }
    EXPECT_FALSE(fs::exists(temp));
    EXPECT_TRUE(GoneWithin(peerPid, 2s)) << "peer " << peerPid;
    EXPECT_TRUE(GoneWithin(strayPid, 2s)) << "stray " << strayPid;
}

TEST(Cleanup, AFailureHalfWayStillRemovesEverything)
{
    TVX_REQUIRE_LAN();
    std::string name;
    // What an ASSERT does to a test body: leave the scope early.
    auto body = [&name] {
        lan::Lab lab;
        name = lab.AddHost("a").name();
        lab.AddHost("b");
        throw std::runtime_error("assertion failed");
    };
    EXPECT_THROW(body(), std::runtime_error);
    ASSERT_FALSE(name.empty());
    EXPECT_FALSE(NamespaceListed(name));
    EXPECT_FALSE(fs::exists("/etc/netns/" + name));

    // A link that fails half-way (the second end's name is taken) leaves the
    // namespaces to the Lab, which removes them.
    std::vector<std::string> names;
    {
        lan::Lab lab;
        lan::Host& a = lab.AddHost("a");
        lan::Host& b = lab.AddHost("b");
        lab.Link(a, {"eth0", "", ""}, b, {"eth0", "", ""});
        EXPECT_THROW(lab.Link(a, {"eth0", "", ""}, b, {"eth1", "", ""}), lan::LabError);
        names = {a.name(), b.name()};
    }
    for (const auto& n : names)
        EXPECT_FALSE(NamespaceListed(n)) << n;
}

// Makes what a test process that was killed leaves behind: a namespace with a
// process in it, its /etc/netns folder and its temp folder, under `owner`.
struct Leftover {
    std::string name, etc, temp;
    pid_t inside = 0;
};

Leftover MakeLeftover(pid_t owner)
{
    Leftover l;
    l.name = "tvx" + std::to_string(owner) + "-1";
    l.etc = "/etc/netns/" + l.name;
    l.temp = (fs::temp_directory_path() / l.name).string();
    EXPECT_EQ(lan::RunCommand({"ip", "netns", "add", l.name}).code, 0);
    fs::create_directories(l.etc);
    fs::create_directories(l.temp);
    l.inside = StartStray(l.name);
    return l;
}

TEST(Cleanup, LeftoversOfDeadProcessesGoThoseOfLiveOnesStay)
{
    TVX_REQUIRE_LAN();
    // Two owners that live until we end them. Both leftovers are made while
    // their owners live: test programs starting beside this one sweep too,
    // and a leftover of a dead owner could be swept while its process is
    // still being started in it, which would leave that process behind.
    auto sleeper = [] {
        pid_t p = fork();
        if (p == 0) {
            pause();
            _exit(0);
        }
        return p;
    };
    const pid_t dead = sleeper();
    const pid_t live = sleeper();
    Leftover gone = MakeLeftover(dead);
    Leftover kept = MakeLeftover(live);
    // The first owner ends and is reaped: its leftover is now stale.
    kill(dead, SIGKILL);
    waitpid(dead, nullptr, 0);

    // Test programs running beside this one sweep too, so the count says
    // little; what remains afterwards is the check.
    lan::RemoveLeftovers();
    EXPECT_FALSE(NamespaceListed(gone.name));
    EXPECT_FALSE(fs::exists(gone.etc));
    EXPECT_FALSE(fs::exists(gone.temp));
    EXPECT_TRUE(GoneWithin(gone.inside, 2s));

    EXPECT_TRUE(NamespaceListed(kept.name));
    EXPECT_TRUE(fs::exists(kept.etc));
    EXPECT_TRUE(fs::exists(kept.temp));
    EXPECT_FALSE(ProcessGone(kept.inside));

    // Once its owner has ended, the next sweep takes it as well.
    kill(live, SIGKILL);
    waitpid(live, nullptr, 0);
    lan::RemoveLeftovers();
    EXPECT_FALSE(NamespaceListed(kept.name));
    EXPECT_FALSE(fs::exists(kept.etc));
    EXPECT_FALSE(fs::exists(kept.temp));
    EXPECT_TRUE(GoneWithin(kept.inside, 2s));
}

} // namespace
