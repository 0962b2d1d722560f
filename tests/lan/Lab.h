// Private test networks: network namespaces as hosts, veth pairs and bridges
// between them, the code under test run inside them, and real peers.
//
// Usage (as root; without root or namespaces the test is skipped):
//
//     TEST(Ping, ReachesNeighbour) {
//         TVX_REQUIRE_LAN();
//         lan::Lab lab;
//         lan::Host& a = lab.AddHost("a");
//         lan::Host& b = lab.AddHost("b");
//         lab.Link(a, {"eth0", "02:00:00:00:00:01", "10.1.0.1/24"},
//                  b, {"eth0", "02:00:00:00:00:02", "10.1.0.2/24"});
//         b.AddHostsEntry("10.1.0.1", {"alpha"});        // b's own /etc/hosts
//         lan::ExecResult e = a.Exec({"ping", "-c1", "-W2", "10.1.0.2"});
//         EXPECT_EQ(e.code, 0) << e.err;
//         lan::RunResult r = b.Run([] { return std::string("computed in b"); });
//         ASSERT_TRUE(r.ok()) << r.Describe();
//     }
//
// A switch is a namespace holding bridge "br0": `lab.AddSwitch()`, then
// `lab.Attach(sw, host, nic)`, or `lab.AddHostsOnSwitch(sw, nics)` for dozens
// of hosts at once. Peers (dnsmasq, nmbd, ...) start through Peers.h.
//
// Every name carries the prefix "tvx", the test process's pid and a counter,
// so test programs run in parallel without meeting. The Lab's destructor stops
// peers, kills whatever still runs in its namespaces and removes namespaces,
// /etc/netns folders and its temp folder; the first Lab of a process removes
// what test processes that died left behind.
//
// Peers die with the thread that started them (PR_SET_PDEATHSIG), so make
// the Lab in the test's own thread. Run() and Exec() fork. Run's function executes in the child,
// inside the namespace, so it sees only that namespace's interfaces and its /etc files; only its
// returned string comes back to the parent.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace lan {

// Empty when this process can build private networks; otherwise the reason
// why it cannot (not root, no network namespaces). Probed once per process.
std::string LanUnavailableReason();

// Skips the current test when no private network can be built. With
// TOLVEX_LAN_REQUIRED=1 in the environment a missing capability fails the
// test instead, so that a runner that must run these tests notices.
#define TVX_REQUIRE_LAN()                                                                          \
    do {                                                                                           \
        const std::string tvxReason_ = ::lan::LanUnavailableReason();                              \
        if (!tvxReason_.empty()) {                                                                 \
            if (::lan::LanRequired())                                                              \
                FAIL() << "private networks required but unavailable: " << tvxReason_;             \
            GTEST_SKIP() << "private networks unavailable: " << tvxReason_;                        \
        }                                                                                          \
    } while (0)

bool LanRequired();

// A failure of the harness itself (a command that did not work, a peer that
// never became ready); the message carries the command's own error text.
class LabError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One end of a link inside a host.
struct Nic {
    std::string name = "eth0"; // at most 15 characters
    std::string mac;           // "02:00:00:00:00:01"; empty: the kernel picks one
    std::string address;       // "10.1.0.1/24"; empty: no address
};

// A locally administered unicast MAC "02:xx:xx:xx:xx:xx" made from a number,
// for building many hosts: LocalMac(0x0105) == "02:00:00:00:01:05".
std::string LocalMac(unsigned long long n);

// Outcome of a command: exit code (128 + signal when killed), its stdout and
// stderr. timedOut: it was killed because it ran past its time.
struct ExecResult {
    int code = -1;
    std::string out;
    std::string err;
    bool timedOut = false;
    bool ok() const { return code == 0 && !timedOut; }
};

enum class RunOutcome {
    Ok,       // the function returned a value
    Threw,    // the function threw; error has what()
    Crashed,  // the child died of a signal (signal has it)
    TimedOut, // the child ran past its time and was killed
    Failed,   // the child could not enter the namespace or exited on its own
};

struct RunResult {
    RunOutcome outcome = RunOutcome::Failed;
    std::string value; // what the function returned
    std::string error; // exception text or harness failure text
    int signal = 0;
    int exitCode = 0;
    bool ok() const { return outcome == RunOutcome::Ok; }
    std::string Describe() const;
};

struct RunOptions {
    std::chrono::milliseconds timeout{15000};
    // Run as `uid`/`gid` with no supplementary groups, every capability
    // dropped (effective, permitted, inheritable, ambient and bounding set)
    // and no_new_privs set, so not even a setuid program regains any.
    bool unprivileged = false;
    uid_t uid = 65534;
    gid_t gid = 65534;
    // Non-empty: the function runs in a UTS namespace of its own with this
    // host name, so gethostname() names the namespace's computer.
    std::string hostname;
};

class Lab;

// A network namespace. Owned by its Lab; references stay valid while it lives.
class Host {
public:
    const std::string& name() const { return name_; }   // the namespace's name
    const std::string& label() const { return label_; } // the test's name for it
    std::string EtcDir() const;                         // /etc/netns/<name>
    Lab& lab() const { return *lab_; }

    // Replaces the namespace's hosts file with "127.0.0.1 localhost" plus the
    // entries added so far and this one.
    void AddHostsEntry(const std::string& ip, const std::vector<std::string>& names);
    // Name servers of the namespace's resolv.conf (one try, one second each).
    // Empty: 127.0.0.1, where nothing listens unless the test starts a server.
    void SetNameServers(const std::vector<std::string>& servers);

    // Runs argv (no shell) in the namespace, as `ip netns exec` would, with
    // `input` on its stdin.
    ExecResult Exec(const std::vector<std::string>& argv,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30),
                    const std::string& input = "") const;
    RunResult Run(const std::function<std::string()>& fn, const RunOptions& options = {}) const;
    // `ip -n <name> args...`; throws LabError with ip's message on failure.
    std::string Ip(const std::vector<std::string>& args) const;
    // Writes the sysctl inside the namespace: "net.ipv4.ping_group_range" or
    // the slash form "net/ipv4/conf/eth0.5/arp_ignore".
    void SetSysctl(const std::string& key, const std::string& value) const;
    void AddAddress(const std::string& dev, const std::string& cidr) const;
    // e.g. AddRoute({"10.2.0.0/24", "via", "10.1.0.254"}) or {"default", "dev", "eth0"}.
    void AddRoute(const std::vector<std::string>& route) const;
    void SetLinkUp(const std::string& dev, bool up) const;

private:
    friend class Lab;
    Host(Lab* lab, std::string name, std::string label);
    void WriteHosts() const;

    Lab* lab_;
    std::string name_;
    std::string label_;
    std::vector<std::pair<std::string, std::vector<std::string>>> hosts_;
};

// A namespace with the bridge "br0"; attached hosts reach each other through it.
class Switch {
public:
    Host& host() const { return *host_; }
    const std::string& name() const { return host_->name(); }
    // Drops one ARP frame in ten that crosses the bridge (nftables in the
    // bridge's namespace), or none again; false when nft refused a rule.
    bool SetArpLoss(bool On);

private:
    friend class Lab;
    explicit Switch(Host* host) : host_(host) {}
    Host* host_;
    int ports_ = 0;
};

// A program started inside a namespace in its own process group, its stdout
// and stderr in a log file in the Lab's temp folder.
class Peer {
public:
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    const std::string& name() const { return name_; }
    pid_t pid() const { return pid_; }
    const std::string& logPath() const { return logPath_; }
    const std::string& dir() const { return dir_; } // its files (PeerSpec::dir)
    std::string Log() const;                        // everything it wrote so far
    bool Running();
    // SIGTERM to the whole group, SIGKILL after a grace time; idempotent.
    void Stop();

private:
    friend class Lab;
    Peer(std::string name, pid_t pid, std::string logPath, std::string dir)
        : name_(std::move(name)), pid_(pid), logPath_(std::move(logPath)), dir_(std::move(dir))
    {
    }
    std::string name_;
    pid_t pid_;
    std::string logPath_;
    std::string dir_;
    bool reaped_ = false;
    int status_ = 0;
};

struct PeerSpec {
    std::string name; // for messages and the log file's name
    std::vector<std::string> argv;
    std::string dir; // the folder of its files, from Lab::MakePeerDir; may be empty
    // Polled until true; the start fails when the program ends first or the
    // time passes. Null: ready as soon as it runs.
    std::function<bool()> ready;
    std::chrono::milliseconds readyTimeout{15000};
};

class Lab {
public:
    Lab();
    ~Lab();
    Lab(const Lab&) = delete;
    Lab& operator=(const Lab&) = delete;

    // A new namespace with loopback up and IPv6 off (no stray router or
    // neighbour solicitations), its own hosts, resolv.conf and nsswitch.conf.
    Host& AddHost(const std::string& label = "");
    std::vector<Host*> AddHosts(int count, const std::string& labelPrefix = "h");

    // A veth pair: end `na` in `a`, end `nb` in `b`, both up.
    void Link(Host& a, const Nic& na, Host& b, const Nic& nb);

    Switch& AddSwitch(const std::string& label = "switch");
    // A port of the switch's bridge joined to `nic` in `host`, both up.
    void Attach(Switch& sw, Host& host, const Nic& nic);
    // Many hosts with one nic each on the switch, made in a few batched steps.
    std::vector<Host*> AddHostsOnSwitch(Switch& sw, const std::vector<Nic>& nics,
                                        const std::string& labelPrefix = "h");

    ExecResult Exec(const Host& host, const std::vector<std::string>& argv,
                    std::chrono::milliseconds timeout = std::chrono::seconds(30),
                    const std::string& input = "");
    RunResult Run(const Host& host, const std::function<std::string()>& fn,
                  const RunOptions& options = {});

    Peer& StartPeer(const Host& host, const PeerSpec& spec);

    // This Lab's temp folder (removed with it); peers keep their files here.
    const std::string& TempDir() const { return tempDir_; }
    // A fresh folder inside TempDir() for one peer's files.
    std::string MakePeerDir(const std::string& name);

    const std::vector<std::unique_ptr<Host>>& hosts() const { return hosts_; }

    // Runs `ip` with the lines on stdin (`ip [-n ns] -batch -`); throws on failure.
    void IpBatch(const std::string& ns, const std::vector<std::string>& lines);

private:
    std::vector<Host*> CreateNamespaces(const std::vector<std::string>& labels);
    std::string NextName();

    std::string tempDir_;
    std::vector<std::unique_ptr<Host>> hosts_;
    std::vector<std::unique_ptr<Switch>> switches_;
    std::vector<std::unique_ptr<Peer>> peers_;
    int peerDirs_ = 0;
};

// Runs argv in the root namespace (no shell), stdin fed from `input`.
ExecResult RunCommand(const std::vector<std::string>& argv, const std::string& input = "",
                      std::chrono::milliseconds timeout = std::chrono::seconds(30));

// Removes namespaces, /etc/netns folders and temp folders that test processes
// left behind when they died (prefix "tvx" and a pid that no longer runs),
// killing what still runs in those namespaces. Never touches a live process's.
// Returns how many namespaces it removed.
int RemoveLeftovers();

// Whether a socket is bound to `port` (udp) or listening on it (tcp) inside
// the host's namespace; what peers' readiness checks use.
bool IsListening(const Host& host, const std::string& proto, int port);

// What `ip -j link show dev <dev>` inside the host says of an interface, the
// oracle that tests hold MAC methods and link queries against: its MAC in the
// methods' text form ("02-00-00-00-00-01", lower case), or "no address in: "
// and what ip printed; its index, or -1. Throw LabError when ip fails.
std::string LinkMac(const Host& host, const std::string& dev);
int LinkIndex(const Host& host, const std::string& dev);

} // namespace lan
