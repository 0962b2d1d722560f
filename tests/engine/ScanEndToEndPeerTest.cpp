// Whole scans through the pool, its workers and every real method, run inside
// a private /24: a bridge with some forty hosts whose MACs come from known
// vendors' blocks, NetBIOS nodes that answer node status, an SNMP agent with
// two adapters, Samba as the workgroup's master browser and slapd as the
// directory. The scanner runs the pool in its own namespace with the English
// texts, and every log line and result row is compared with the network that
// was built: which computers, their addresses, MACs, vendors and names, and
// which lines of which kind.
//
// The network is built once per test program (the suite's fixture); the
// master browser and the directory start only when a test needs them.
#include "engine/NetBiosNodeStatus.h"
#include "engine/NetUtil.h"
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uThreadScanPool.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

const std::string kNet = "10.90.0.";
constexpr int kFirstHost = 10; // the plain hosts: .10 to .45
constexpr int kLastHost = 45;
constexpr int kNoEcho = 20; // answers ARP but ignores ICMP echo
const std::string kWorkgroup = "TVXGROUP";
const std::string kMasterName = "TVXMASTER";
const std::string kMemberName = "TVXMEMBER";
constexpr int kMember = 14; // a plain host that joins the workgroup

std::string Ip(int octet)
{
    return kNet + std::to_string(octet);
}

// Vendors of the blocks the hosts' MACs are taken from, as the IEEE
// registry (ieee-data's oui.txt) names them; the last block is locally
// administered and belongs to nobody.
struct Block {
    const char* prefix;
    const char* vendor;
};
const Block kBlocks[] = {
    {"00:1b:21", "Intel Corporate"},
    {"00:14:22", "Dell Inc."},
    {"3c:d9:2b", "Hewlett Packard"},
    {"b8:27:eb", "Raspberry Pi Foundation"},
    {"00:1c:42", "Parallels, Inc."},
    {"00:50:56", "VMware, Inc."},
    {"02:e2:00", ""},
};

std::string Hex2(int v)
{
    char b[3];
    std::snprintf(b, sizeof b, "%02x", v & 0xff);
    return b;
}

// One host of the network as the test built it.
struct Machine {
    int octet = 0;
    std::string mac;         // "00:1b:21:e2:00:0a"
    std::string netbiosName; // answers node status with this name and its MAC
    std::string hostsName;   // the scanner's /etc/hosts knows it by this name
};

std::string MacText(const std::string& mac, bool upper)
{
    std::string t = mac;
    std::replace(t.begin(), t.end(), ':', '-');
    std::transform(t.begin(), t.end(), t.begin(),
                   [upper](unsigned char c) { return upper ? std::toupper(c) : std::tolower(c); });
    return t;
}

std::string VendorOf(const std::string& mac)
{
    std::string lower = MacText(mac, false);
    std::replace(lower.begin(), lower.end(), '-', ':');
    for (const Block& b : kBlocks)
        if (lower.rfind(b.prefix, 0) == 0)
            return b.vendor;
    return "unknown block " + mac;
}

// The network: the scanner .1, the master browser .2, the SNMP agent .3, the
// directory .4 and the plain hosts .10-.45, their MACs cycling through the
// blocks; every other address of the /24 is silent.
std::vector<Machine> Machines()
{
    std::vector<Machine> m;
    m.push_back({1, "00:1b:21:e2:00:01", "", "scanpc"});
    m.push_back({2, "00:50:56:e2:00:02", "", ""});
    m.push_back({3, "3c:d9:2b:e2:00:03", "", "snmphost"});
    m.push_back({4, "b8:27:eb:e2:00:04", "", ""});
    const char* named[] = {"alpha", "bravo", "charlie", "delta"};
    for (int o = kFirstHost; o <= kLastHost; ++o) {
        Machine h;
        h.octet = o;
        h.mac = std::string(kBlocks[o % std::size(kBlocks)].prefix) + ":e2:00:" + Hex2(o);
        if (o - kFirstHost < 4) {
            h.hostsName = named[o - kFirstHost];
            std::string upper = h.hostsName;
            std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
            h.netbiosName = upper;
        }
        m.push_back(h);
    }
    return m;
}

const Machine* FindMachine(int octet)
{
    static const std::vector<Machine> all = Machines();
    for (const Machine& m : all)
        if (m.octet == octet)
            return &m;
    return nullptr;
}

// The SNMP agent's second adapter, a link to a host of its own.
const std::string kAgentSecondMac = "00:14:22:e2:00:33";
// A name the scanner's hosts file gives to a silent address.
const std::string kSilentName = "echo";
constexpr int kSilentNamed = 50;

std::string SourceDir()
{
    const char* d = std::getenv("TOLVEX_SOURCE_DIR");
    return d ? d : "";
}
std::string BinDir()
{
    const char* d = std::getenv("TOLVEX_BIN_DIR");
    return d ? d : "";
}

// ---------------------------------------------------------------------------
// What one scan reported, read back from the scanner's namespace.

struct Adapter {
    std::string number, vendor, name, ipAddress;
    int index = 0;
};
struct Computer {
    std::string name, ip;
    bool single = false;
    std::vector<Adapter> adapters;
};
struct Outcome {
    std::string error;               // the scan could not be run or did not end
    std::vector<std::string> events; // "start", "status", "computer", "finish" in order
    std::vector<std::pair<int, std::string>> lines;
    std::vector<Computer> computers;
    unsigned long long done = 0, total = 0;
    int progress = -1;
    size_t listSize = 0; // ComputerList's size after the scan
    long long ms = 0;
};

// What the pool is given, as the main window gives it.
struct Request {
    TScanTarget target = stIPRange;
    TScanMethod method = smArp;
    std::string computerName;
    std::string startIP, stopIP;
    std::vector<std::string> addresses;
    std::string expression;
    bool adIncludeDisabled = false;
    // Options changed from their defaults before the scan.
    int checkState = csPing;
    bool ignoreCheck = true;
    bool noName = false;
    int timeoutMs = 0; // 0: the default
};

// The English texts, as the language file gives them to the message globals.
void LoadEnglishTexts()
{
    std::ifstream f(BinDir() + "/languages/english.lng");
    std::map<std::string, std::string> texts;
    for (std::string line; std::getline(f, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        auto eq = line.find('=');
        if (eq != std::string::npos)
            texts[line.substr(0, eq)] = line.substr(eq + 1);
    }
    for (const TEngineMessage& m : EngineMessages())
        if (auto it = texts.find(m.Key); it != texts.end())
            *m.Text = it->second;
}

std::string Clean(std::string s)
{
    std::replace(s.begin(), s.end(), '\t', ' ');
    std::replace(s.begin(), s.end(), '\n', ' ');
    return s;
}

// Runs in the scanner's namespace: one scan through a real pool, every event
// written down as a line.
std::string ScanInNamespace(const Request& r)
{
    platform::MainThread().Install();
    ResetEngineOptions();
    LoadEnglishTexts();
    DefaultCheckState = r.checkState;
    IgnoreCheck = r.ignoreCheck;
    bNoName = r.noName;
    if (r.timeoutMs)
        DefaultTimeout = r.timeoutMs;
    ComputerList = std::make_unique<TComputerList>();
    std::ostringstream out;
    int finishes = 0;
    {
        TPoolOfThreads pool;
        pool.SetTarget(r.target);
        pool.SetMethod(r.method);
        std::string name = r.computerName;
        if (r.target == stLocalComputer)
            GetLocalComputerName(name); // as the main window does
        pool.SetComputerName(name);
        uint32_t a = 0, b = 0;
        IPToHostOrder(r.startIP, a);
        IPToHostOrder(r.stopIP, b);
        pool.SetStartIP(std::min(a, b));
        pool.SetStopIP(std::max(a, b));
        pool.Addresses = r.addresses;
        pool.Expression = r.expression;
        pool.SetADIncludeDisabled(r.adIncludeDisabled);
        pool.SetOnStart([&](TPoolOfThreads*) { out << "start\n"; });
        pool.SetOnStatus([&](int status, const std::string& text) {
            out << "status\t" << status << "\t" << Clean(text) << "\n";
        });
        pool.SetOnComputer([&](TComputer* c) {
            out << "computer\t" << Clean(c->Name) << "\t" << c->IP << "\t" << c->Single << "\t"
                << c->AdapterList.size() << "\n";
            for (const auto& ad : c->AdapterList)
                out << "adapter\t" << Clean(ad->Number) << "\t" << Clean(ad->Vendor) << "\t"
                    << Clean(ad->Name) << "\t" << Clean(ad->IPAddress) << "\t" << ad->Index << "\n";
        });
        pool.SetOnFinish([&](TPoolOfThreads* p) {
            ++finishes;
            out << "finish\t" << p->GetDone() << "\t" << p->GetTotal() << "\t" << p->GetProgress()
                << "\n";
        });
        const long long t0 = platform::MonotonicMs();
        pool.Start();
        const bool ended = platform::MainThread().PumpUntil(
            [&] { return finishes > 0 && pool.LiveWorkers() == 0; }, 100s);
        // Anything the pool still reports after its finish shows up here.
        platform::MainThread().PumpUntil([] { return false; }, 100ms);
        out << "elapsed\t" << platform::MonotonicMs() - t0 << "\n";
        if (!ended)
            out << "timeout\n";
    }
    out << "list\t" << ComputerList->size() << "\n";
    ComputerList.reset();
    return out.str();
}

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> f;
    size_t b = 0;
    for (size_t t; (t = line.find('\t', b)) != std::string::npos; b = t + 1)
        f.push_back(line.substr(b, t - b));
    f.push_back(line.substr(b));
    return f;
}

Outcome Parse(const std::string& text)
{
    Outcome o;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f = Split(line);
        const std::string& kind = f[0];
        if (kind == "start") {
            o.events.push_back(kind);
        } else if (kind == "status" && f.size() == 3) {
            o.events.push_back(kind);
            o.lines.emplace_back(std::stoi(f[1]), f[2]);
        } else if (kind == "computer" && f.size() == 5) {
            o.events.push_back(kind);
            o.computers.push_back({f[1], f[2], f[3] == "1", {}});
        } else if (kind == "adapter" && f.size() == 6 && !o.computers.empty()) {
            o.computers.back().adapters.push_back({f[1], f[2], f[3], f[4], std::stoi(f[5])});
        } else if (kind == "finish" && f.size() == 4) {
            o.events.push_back(kind);
            o.done = std::stoull(f[1]);
            o.total = std::stoull(f[2]);
            o.progress = std::stoi(f[3]);
        } else if (kind == "elapsed") {
            o.ms = std::stoll(f[1]);
        } else if (kind == "timeout") {
            o.error = "the scan did not finish in time";
        } else if (kind == "list") {
            o.listSize = std::stoul(f[1]);
        } else {
            o.error = "unreadable line: " + line;
        }
    }
    return o;
}

// ---------------------------------------------------------------------------
// What a scan should report, from the network above.

std::string Row(const std::string& ip, const std::string& name, bool single,
                const std::vector<Adapter>& adapters)
{
    std::string s = ip + " | " + name + " | " + (single ? "single" : "list");
    for (const Adapter& a : adapters)
        s += " | " + a.number + "," + a.vendor + "," + a.name + "," + a.ipAddress + "," +
             std::to_string(a.index);
    return s;
}

std::vector<std::string> Rows(const Outcome& o)
{
    std::vector<std::string> rows;
    for (const Computer& c : o.computers)
        rows.push_back(Row(c.ip, c.name, c.single, c.adapters));
    std::sort(rows.begin(), rows.end());
    return rows;
}

std::vector<std::string> Lines(const Outcome& o)
{
    std::vector<std::string> lines;
    for (const auto& [status, text] : o.lines)
        lines.push_back(std::to_string(status) + " " + text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

// The English log texts.
std::string Found(const std::string& a)
{
    return "0 " + a + ": MAC address found";
}
std::string FoundByNeighbour(const std::string& a)
{
    return "0 " + a +
           ": MAC address found; NetBIOS answered without one, so it comes from the neighbour "
           "table";
}
std::string Inactive(const std::string& a)
{
    return "1 " + a + ": no answer to the reachability check";
}
std::string NotFound(const std::string& a)
{
    return "3 " + a + ": no MAC address found";
}
std::string NotResolved(const std::string& a)
{
    return "3 " + a + ": the name does not resolve to an address";
}
std::string Error(const std::string& a, const std::string& e)
{
    return "3 " + a + ": error: " + e;
}
const std::string kNoWmi = "WMI is not available on this system";

// The adapter that ARP or NetBIOS gives for a MAC.
Adapter SingleAdapter(const std::string& mac)
{
    return {MacText(mac, false), VendorOf(mac), "", "", 0};
}

struct Expected {
    std::vector<std::string> lines, rows;
    void Sort()
    {
        std::sort(lines.begin(), lines.end());
        std::sort(rows.begin(), rows.end());
    }
};

// ---------------------------------------------------------------------------

class ScanEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        if (!lan::LanUnavailableReason().empty() || SourceDir().empty() || BinDir().empty())
            return;
        try {
            Build();
        } catch (const std::exception& e) {
            buildError = e.what();
        }
    }

    static void TearDownTestSuite()
    {
        lab.reset();
        hosts.clear();
        browser = directory = false;
        browserPeers.clear();
    }

    void SetUp() override
    {
        TVX_REQUIRE_LAN();
        ASSERT_FALSE(SourceDir().empty()) << "TOLVEX_SOURCE_DIR is not set";
        ASSERT_FALSE(BinDir().empty()) << "TOLVEX_BIN_DIR is not set";
        ASSERT_TRUE(buildError.empty()) << buildError;
        ASSERT_TRUE(lab) << "the network was not built";
    }

    static void Build()
    {
        const long long t0 = platform::MonotonicMs();
        lab = std::make_unique<lan::Lab>();
        lan::Switch& sw = lab->AddSwitch();
        std::vector<lan::Nic> nics;
        for (const Machine& m : Machines())
            nics.push_back({"eth0", m.mac, Ip(m.octet) + "/24"});
        std::vector<lan::Host*> made = lab->AddHostsOnSwitch(sw, nics, "e2e");
        for (size_t i = 0; i < made.size(); ++i)
            hosts[Machines()[i].octet] = made[i];
        lan::Host& scanner = Host(1);

        for (const Machine& m : Machines())
            if (!m.hostsName.empty())
                scanner.AddHostsEntry(Ip(m.octet), {m.hostsName});
        scanner.AddHostsEntry(Ip(kSilentNamed), {kSilentName});
        // The scanner finds the browsers and the directory through its own files.
        std::filesystem::create_directories(scanner.EtcDir() + "/samba");
        std::filesystem::copy_file(lan::SambaClientConf(*lab),
                                   scanner.EtcDir() + "/samba/smb.conf");
        std::filesystem::create_directories(scanner.EtcDir() + "/ldap");
        std::ofstream(scanner.EtcDir() + "/ldap/ldap.conf")
            << "URI ldap://" << Ip(4) << "/\nNETWORK_TIMEOUT 5\n";
        // The local computer's own agent, asked as "localhost".
        lan::StartSnmpd(scanner, {{"127.0.0.1"}, "", "public"});

        lan::Host& agent = Host(3);
        lab->Link(agent, {"eth1", kAgentSecondMac, ""}, lab->AddHost("agentpeer"),
                  {"eth0", "", ""});
        lan::StartSnmpd(agent, {{Ip(3)}, "", "public"});

        Host(kNoEcho).SetSysctl("net.ipv4.icmp_echo_ignore_all", "1");

        for (const Machine& m : Machines()) {
            if (m.netbiosName.empty())
                continue;
            lan::PeerSpec spec;
            spec.name = "netbios-" + m.hostsName;
            spec.argv = {"/usr/bin/python3",
                         SourceDir() + "/tests/engine/netbios_responder.py",
                         Ip(m.octet),
                         m.mac,
                         "good",
                         m.netbiosName};
            const lan::Host* h = &Host(m.octet);
            spec.ready = [h] { return lan::IsListening(*h, "udp", 137); };
            lab->StartPeer(*h, spec);
        }
        buildMs = platform::MonotonicMs() - t0;
    }

    static lan::Host& Host(int octet) { return *hosts.at(octet); }

    // Samba as the master browser of the workgroup on .2 and a member of it
    // on .14, once per program; ready when the list the master keeps names
    // both and both answer a broadcast query for their names.
    static void StartBrowser()
    {
        if (browser)
            return;
        lan::Peer& nmbd = lan::StartNmbd(Host(2), {kMasterName, kWorkgroup, Ip(2) + "/24", true});
        lan::StartSmbd(Host(2), nmbd);
        lan::Peer& member =
            lan::StartNmbd(Host(kMember), {kMemberName, kWorkgroup, Ip(kMember) + "/24"});
        browserPeers = {&nmbd, &member};
        browser = true;
        const auto deadline = std::chrono::steady_clock::now() + 120s;
        std::string last;
        while (std::chrono::steady_clock::now() < deadline) {
            last = BrowseList(nmbd.dir());
            if (last.find("\"" + kMasterName + "\"") != std::string::npos &&
                last.find("\"" + kMemberName + "\"") != std::string::npos &&
                AnswersBroadcast(kMasterName) && AnswersBroadcast(kMemberName))
                return;
            std::this_thread::sleep_for(1s);
        }
        throw lan::LabError("the master browser's list never named both computers: " + last +
                            nmbd.Log() + member.Log());
    }

    // Whether Samba's own client finds the name by a broadcast query from
    // the scanner, as the scan will look for it.
    static bool AnswersBroadcast(const std::string& name)
    {
        const std::string conf = Host(1).EtcDir() + "/samba/smb.conf";
        lan::ExecResult e =
            Host(1).Exec({"nmblookup", "-s", conf, "-B", Ip(255), name}, std::chrono::seconds(10));
        return e.ok() && e.out.find(" " + name + "<00>") != std::string::npos;
    }

    // The list the master browser writes for smbd to serve (browse.dat).
    static std::string BrowseList(const std::string& dir)
    {
        std::error_code ec;
        for (const auto& f : std::filesystem::recursive_directory_iterator(dir, ec))
            if (f.path().filename() == "browse.dat") {
                std::ifstream in(f.path());
                return std::string(std::istreambuf_iterator<char>(in), {});
            }
        return "";
    }

    // slapd on .4 with a few computer accounts, once per program.
    static void StartDirectory()
    {
        if (directory)
            return;
        std::ostringstream ldif;
        struct Account {
            const char* name;
            bool disabled;
        } accounts[] = {{"alpha", false}, {"bravo", false}, {"charlie", false},
                        {"delta", true},  {"ghost", false}, {"echo", false}};
        for (const Account& a : accounts)
            ldif << "dn: cn=" << a.name << ",dc=tvx,dc=test\nobjectClass: computer\ncn: " << a.name
                 << "\nname: " << a.name << "\nuserAccountControl: " << (a.disabled ? 4098 : 4096)
                 << "\n\n";
        lan::SlapdConfig c;
        c.listen = Ip(4);
        c.defaultNamingContext = "dc=tvx,dc=test";
        c.ldif = ldif.str();
        lan::StartSlapd(Host(4), c);
        directory = true;
    }

    Outcome Scan(const Request& r)
    {
        lan::RunOptions o;
        o.timeout = 120s;
        o.hostname = "scanpc";
        lan::RunResult run = Host(1).Run([r] { return ScanInNamespace(r); }, o);
        if (!run.ok()) {
            Outcome failed;
            failed.error = run.Describe();
            return failed;
        }
        Outcome out = Parse(run.value);
        RecordProperty("scan_ms_" + std::to_string(++scans), std::to_string(out.ms));
        return out;
    }

    // The events in the order a scan must give them: one start, an
    // information line first for the enumerations, a status per job, a
    // computer only after its job's status, one finish last; and the
    // computers reported are the ones the list owns.
    static void CheckShape(const Outcome& o, bool enumeration)
    {
        ASSERT_TRUE(o.error.empty()) << o.error;
        ASSERT_FALSE(o.events.empty());
        EXPECT_EQ(o.events.front(), "start");
        EXPECT_EQ(o.events.back(), "finish");
        EXPECT_EQ(std::count(o.events.begin(), o.events.end(), "start"), 1);
        EXPECT_EQ(std::count(o.events.begin(), o.events.end(), "finish"), 1);
        for (size_t i = 1; i < o.events.size(); ++i) {
            if (o.events[i] == "computer") {
                EXPECT_EQ(o.events[i - 1], "status") << "a result row before its log line";
            }
        }
        if (enumeration) {
            ASSERT_GE(o.events.size(), 2u);
            EXPECT_EQ(o.events[1], "status");
            ASSERT_FALSE(o.lines.empty());
            EXPECT_EQ(o.lines.front().first, jsInformation);
        }
        EXPECT_EQ(o.listSize, o.computers.size());
        EXPECT_EQ(o.done, o.total);
        EXPECT_EQ(o.progress, o.total ? 100 : 0);
    }

    static void Compare(const Outcome& o, Expected e)
    {
        e.Sort();
        EXPECT_EQ(Lines(o), e.lines);
        EXPECT_EQ(Rows(o), e.rows);
    }

    // The log line and row that an ARP scan gives for one address of the network.
    static void ExpectArp(Expected& e, int octet, const std::string& address = "")
    {
        const std::string a = address.empty() ? Ip(octet) : address;
        const Machine* m = FindMachine(octet);
        if (!m) {
            e.lines.push_back(Inactive(a));
            return;
        }
        e.lines.push_back(octet == kNoEcho ? Inactive(a) : Found(a));
        e.rows.push_back(Row(Ip(octet), NameOf(octet), true, {SingleAdapter(m->mac)}));
    }

    // The name the scan gives a found host: its NetBIOS node's, the master
    // browser's once it runs, or none.
    static std::string NameOf(int octet)
    {
        if (octet == 2 && browser)
            return kMasterName;
        if (octet == kMember && browser)
            return kMemberName;
        const Machine* m = FindMachine(octet);
        return m ? m->netbiosName : "";
    }

    // The scanner's own adapter as the list methods report it.
    static Adapter NetApiAdapter()
    {
        const std::string mac = FindMachine(1)->mac;
        return {MacText(mac, true), VendorOf(mac), "\\Device\\NetBT_Tcpip_eth0", "", 0};
    }
    static Adapter WmiAdapter()
    {
        const std::string mac = FindMachine(1)->mac;
        return {MacText(mac, true), VendorOf(mac), "eth0", Ip(1), lan::LinkIndex(Host(1), "eth0")};
    }
    static Adapter SnmpAdapter(const std::string& mac, const std::string& descr)
    {
        return {MacText(mac, true), VendorOf(mac), descr, "", 0};
    }

    static std::unique_ptr<lan::Lab> lab;
    static std::map<int, lan::Host*> hosts;
    static std::string buildError;
    static long long buildMs;
    static bool browser;
    static bool directory;
    static std::vector<lan::Peer*> browserPeers;
    int scans = 0;
};

std::unique_ptr<lan::Lab> ScanEndToEnd::lab;
std::map<int, lan::Host*> ScanEndToEnd::hosts;
std::string ScanEndToEnd::buildError;
long long ScanEndToEnd::buildMs = 0;
bool ScanEndToEnd::browser = false;
bool ScanEndToEnd::directory = false;
std::vector<lan::Peer*> ScanEndToEnd::browserPeers;

Request Range(TScanMethod method, int first, int last)
{
    Request r;
    r.target = stIPRange;
    r.method = method;
    r.startIP = Ip(first);
    r.stopIP = Ip(last);
    return r;
}

// ---------------------------------------------------------------------------

TEST_F(ScanEndToEnd, LocalComputerByEveryMethod)
{
    RecordProperty("network_ms", std::to_string(buildMs));
    const std::string me = "scanpc";
    const std::string mac = FindMachine(1)->mac;
    Request r;
    r.target = stLocalComputer;
    // No reachability check for the local computer, not even an impossible one;
    // the computer keeps its own name.
    r.checkState = 5;

    r.method = smArp;
    Outcome arp = Scan(r);
    CheckShape(arp, false);
    Compare(arp, {{Found(me)}, {Row(Ip(1), me, true, {SingleAdapter(mac)})}});

    r.method = smNetBios; // no NetBIOS node runs here
    Outcome nb = Scan(r);
    CheckShape(nb, false);
    Compare(nb, {{NotFound(me)}, {}});

    r.method = smNetApi;
    Outcome netApi = Scan(r);
    CheckShape(netApi, false);
    Compare(netApi, {{Found(me)}, {Row(Ip(1), me, false, {NetApiAdapter()})}});

    r.method = smWmi;
    Outcome wmi = Scan(r);
    CheckShape(wmi, false);
    Compare(wmi, {{Found(me)}, {Row(Ip(1), me, false, {WmiAdapter()})}});

    r.method = smSnmp; // the agent on loopback: the loopback interface is left out
    Outcome snmp = Scan(r);
    CheckShape(snmp, false);
    Compare(snmp, {{Found(me)}, {Row(Ip(1), me, false, {SnmpAdapter(mac, "eth0")})}});

    r.method = smAll;
    Outcome all = Scan(r);
    CheckShape(all, false);
    Compare(all,
            {{Found(me)},
             {Row(Ip(1), me, false,
                  {SingleAdapter(mac), NetApiAdapter(), WmiAdapter(), SnmpAdapter(mac, "eth0")})}});
}

TEST_F(ScanEndToEnd, RemoteComputerByNameAndAddress)
{
    const Machine& bravo = *FindMachine(11);
    Request r;
    r.target = stRemoteComputer;
    r.computerName = "bravo";

    r.method = smArp;
    Outcome arp = Scan(r);
    CheckShape(arp, false);
    Compare(arp, {{Found("bravo")}, {Row(Ip(11), "BRAVO", true, {SingleAdapter(bravo.mac)})}});

    r.method = smNetBios;
    Outcome nb = Scan(r);
    CheckShape(nb, false);
    Compare(nb, {{Found("bravo")}, {Row(Ip(11), "BRAVO", true, {SingleAdapter(bravo.mac)})}});

    // The transport list and the management queries answer for this
    // computer only: another one is a clear "nothing" and a clear error.
    r.method = smNetApi;
    Outcome netApi = Scan(r);
    CheckShape(netApi, false);
    Compare(netApi, {{NotFound("bravo")}, {}});

    r.method = smWmi;
    Outcome wmi = Scan(r);
    CheckShape(wmi, false);
    Compare(wmi, {{Error("bravo", kNoWmi)}, {}});

    // Every method: ARP and NetBIOS find the adapter twice, the transport
    // list finds nothing, and the management queries' error ends the job
    // with what was found so far.
    r.method = smAll;
    Outcome all = Scan(r);
    CheckShape(all, false);
    // The error comes before the name lookup: the row has no name.
    Compare(all, {{Error("bravo", kNoWmi)},
                  {Row(Ip(11), "", true, {SingleAdapter(bravo.mac), SingleAdapter(bravo.mac)})}});

    r.method = smSnmp;
    r.computerName = "snmphost";
    Outcome snmp = Scan(r);
    CheckShape(snmp, false);
    Compare(
        snmp,
        {{Found("snmphost")},
         {Row(Ip(3), "", false,
              {SnmpAdapter(FindMachine(3)->mac, "eth0"), SnmpAdapter(kAgentSecondMac, "eth1")})}});

    r.method = smArp;
    r.computerName = "ghost";
    Outcome ghost = Scan(r);
    CheckShape(ghost, false);
    Compare(ghost, {{NotResolved("ghost")}, {}});

    r.computerName = kSilentName;
    Outcome silent = Scan(r);
    CheckShape(silent, false);
    Compare(silent, {{Inactive(kSilentName)}, {}});

    // A host that ignores the ping but answers ARP is found, logged inactive.
    r.computerName = Ip(kNoEcho);
    Outcome noEcho = Scan(r);
    CheckShape(noEcho, false);
    Expected e;
    ExpectArp(e, kNoEcho);
    Compare(noEcho, e);
}

TEST_F(ScanEndToEnd, WholeSubnetByArp)
{
    Outcome o = Scan(Range(smArp, 1, 254));
    CheckShape(o, false);
    EXPECT_EQ(o.total, 254u);
    Expected e;
    for (int octet = 1; octet <= 254; ++octet)
        ExpectArp(e, octet);
    Compare(o, e);
    // 40 live hosts: every one of them with its vendor's name but the
    // locally administered ones.
    EXPECT_EQ(o.computers.size(), Machines().size());
    int withVendor = 0;
    for (const Computer& c : o.computers)
        withVendor += !c.adapters.empty() && !c.adapters[0].vendor.empty();
    EXPECT_GE(withVendor, 30);
}

TEST_F(ScanEndToEnd, RangeByTheOtherMethods)
{
    const int first = 1, last = 60;
    // NetBIOS: the four nodes answer with their MACs; every other live host
    // has none, the silent ones fail the check.
    Outcome nb = Scan(Range(smNetBios, first, last));
    CheckShape(nb, false);
    Expected enb;
    for (int octet = first; octet <= last; ++octet) {
        const Machine* m = FindMachine(octet);
        if (!m || octet == kNoEcho)
            enb.lines.push_back(Inactive(Ip(octet)));
        else if (!m->netbiosName.empty()) {
            enb.lines.push_back(Found(Ip(octet)));
            enb.rows.push_back(Row(Ip(octet), m->netbiosName, true, {SingleAdapter(m->mac)}));
        } else
            enb.lines.push_back(NotFound(Ip(octet)));
    }
    Compare(nb, enb);

    // SNMP: only the agent, with both adapters.
    Outcome snmp = Scan(Range(smSnmp, first, last));
    CheckShape(snmp, false);
    Expected esnmp;
    for (int octet = first; octet <= last; ++octet) {
        const Machine* m = FindMachine(octet);
        if (!m || octet == kNoEcho)
            esnmp.lines.push_back(Inactive(Ip(octet)));
        else if (octet == 3) {
            esnmp.lines.push_back(Found(Ip(octet)));
            esnmp.rows.push_back(
                Row(Ip(3), NameOf(3), false,
                    {SnmpAdapter(m->mac, "eth0"), SnmpAdapter(kAgentSecondMac, "eth1")}));
        } else
            esnmp.lines.push_back(NotFound(Ip(octet)));
    }
    Compare(snmp, esnmp);

    // NET API: this computer's own address names it; the others have no
    // transport list to give.
    Outcome netApi = Scan(Range(smNetApi, first, last));
    CheckShape(netApi, false);
    Expected enet;
    for (int octet = first; octet <= last; ++octet) {
        const Machine* m = FindMachine(octet);
        if (!m || octet == kNoEcho)
            enet.lines.push_back(Inactive(Ip(octet)));
        else if (octet == 1) {
            enet.lines.push_back(Found(Ip(1)));
            enet.rows.push_back(Row(Ip(1), "", false, {NetApiAdapter()}));
        } else
            enet.lines.push_back(NotFound(Ip(octet)));
    }
    Compare(netApi, enet);

    // WMI: the same for this computer; every other address, answering or
    // not (the check does not hold the queries back by default), gets the
    // error line.
    Outcome wmi = Scan(Range(smWmi, first, last));
    CheckShape(wmi, false);
    Expected ewmi;
    for (int octet = first; octet <= last; ++octet) {
        if (octet == 1) {
            ewmi.lines.push_back(Found(Ip(1)));
            ewmi.rows.push_back(Row(Ip(1), "", false, {WmiAdapter()}));
        } else
            ewmi.lines.push_back(Error(Ip(octet), kNoWmi));
    }
    Compare(wmi, ewmi);
}

TEST_F(ScanEndToEnd, AddressListOfNamesAndAddresses)
{
    Request r;
    r.target = stAddressList;
    r.method = smArp;
    r.addresses = {"alpha", Ip(12), "ghost", kSilentName, Ip(kNoEcho), "snmphost", Ip(1), Ip(30)};
    Outcome o = Scan(r);
    CheckShape(o, false);
    EXPECT_EQ(o.total, r.addresses.size());
    Expected e;
    ExpectArp(e, 10, "alpha");
    ExpectArp(e, 12);
    e.lines.push_back(NotResolved("ghost"));
    ExpectArp(e, kSilentNamed, kSilentName);
    ExpectArp(e, kNoEcho);
    ExpectArp(e, 3, "snmphost");
    ExpectArp(e, 1);
    ExpectArp(e, 30);
    Compare(o, e);

    // An empty list starts and finishes with nothing in between.
    r.addresses.clear();
    Outcome empty = Scan(r);
    CheckShape(empty, false);
    EXPECT_EQ(empty.events, (std::vector<std::string>{"start", "finish"}));
    EXPECT_EQ(empty.total, 0u);
}

TEST_F(ScanEndToEnd, ExpressionWithRepeatedAddress)
{
    Request r;
    r.target = stExpression;
    r.method = smArp;
    // .3, .10, .11, .12, .55 (silent) and .10 once more: scanned twice, listed twice.
    r.expression = "10.90.0.3,10-12,55,10";
    Outcome o = Scan(r);
    CheckShape(o, false);
    EXPECT_EQ(o.total, 6u);
    Expected e;
    for (int octet : {3, 10, 11, 12, 55, 10})
        ExpectArp(e, octet);
    Compare(o, e);

    r.method = smNetBios;
    r.expression = "10.90.0.10-13";
    Outcome nb = Scan(r);
    CheckShape(nb, false);
    Expected enb;
    for (int octet = 10; octet <= 13; ++octet) {
        const Machine* m = FindMachine(octet);
        enb.lines.push_back(Found(Ip(octet)));
        enb.rows.push_back(Row(Ip(octet), m->netbiosName, true, {SingleAdapter(m->mac)}));
    }
    Compare(nb, enb);
}

TEST_F(ScanEndToEnd, EntireNetworkThroughTheMasterBrowser)
{
    StartBrowser();
    Request r;
    r.target = stEntireNetwork;
    r.method = smArp;
    // The names are found by one broadcast name query each, answered by
    // nmbd; its wait is the time-out, which must outlast a busy nmbd when
    // many tests run beside this one.
    r.timeoutMs = 2000;
    Outcome o = Scan(r);
    CheckShape(o, true);
    // The workgroup's two computers, found by their NetBIOS names and then
    // scanned like an address list.
    Compare(o, {{"2 Searching the network neighbourhood for computers...",
                 "0 Network neighbourhood: 2 computer(s) found", Found(kMasterName),
                 Found(kMemberName)},
                {Row(Ip(2), kMasterName, true, {SingleAdapter(FindMachine(2)->mac)}),
                 Row(Ip(kMember), kMemberName, true, {SingleAdapter(FindMachine(kMember)->mac)})}});
    EXPECT_EQ(o.total, 2u);
    if (HasFailure()) {
        // What Samba's own client makes of the names, and what nmbd said.
        const std::string conf = Host(1).EtcDir() + "/samba/smb.conf";
        for (const std::string& name : {kMasterName, kMemberName}) {
            lan::ExecResult e = Host(1).Exec({"nmblookup", "-s", conf, name}, 15s);
            ADD_FAILURE() << "nmblookup " << name << ": " << e.out << e.err;
        }
        lan::RunResult again = Host(1).Run([] {
            std::string out;
            for (int i = 0; i < 3; ++i) {
                std::string ip;
                long long t0 = platform::MonotonicMs();
                QueryNetBiosNameAddress(kMemberName, LocalNetBiosBroadcastTargets(), 2000, ip);
                out += ip + " in " + std::to_string(platform::MonotonicMs() - t0) + " ms; ";
            }
            return out;
        });
        ADD_FAILURE() << "our query again: " << again.value << again.Describe();
        for (lan::Peer* p : browserPeers)
            ADD_FAILURE() << p->name() << " running " << p->Running() << ": " << p->Log();
    }

    // Samba's node status carries no adapter address; the exchange filled
    // the neighbour table, which gives the MAC of these on-link hosts.
    r.method = smNetBios;
    Outcome nb = Scan(r);
    CheckShape(nb, true);
    Compare(nb,
            {{"2 Searching the network neighbourhood for computers...",
              "0 Network neighbourhood: 2 computer(s) found", FoundByNeighbour(kMasterName),
              FoundByNeighbour(kMemberName)},
             {Row(Ip(2), kMasterName, true, {SingleAdapter(FindMachine(2)->mac)}),
              Row(Ip(kMember), kMemberName, true, {SingleAdapter(FindMachine(kMember)->mac)})}});
}

TEST_F(ScanEndToEnd, DirectoryAccounts)
{
    StartDirectory();
    Request r;
    r.target = stActiveDirectory;
    r.method = smArp;
    Outcome o = Scan(r);
    CheckShape(o, true);
    Expected e;
    e.lines = {"2 Searching the Active Directory for computers...",
               "0 Active Directory: 5 computer(s) found", NotResolved("ghost")};
    ExpectArp(e, 10, "alpha");
    ExpectArp(e, 11, "bravo");
    ExpectArp(e, 12, "charlie");
    ExpectArp(e, kSilentNamed, kSilentName);
    Compare(o, e);
    EXPECT_EQ(o.total, 5u);

    r.adIncludeDisabled = true;
    Outcome all = Scan(r);
    CheckShape(all, true);
    e.lines[1] = "0 Active Directory: 6 computer(s) found";
    ExpectArp(e, 13, "delta");
    Compare(all, e);
    EXPECT_EQ(all.total, 6u);
}

TEST_F(ScanEndToEnd, ReachabilityOptions)
{
    const Machine& bravo = *FindMachine(11);
    Request r;
    r.target = stAddressList;
    r.method = smAll;
    r.addresses = {"bravo", Ip(kNoEcho), Ip(kSilentNamed)};
    // A check no host passes, and the queries held back for such hosts:
    // ARP, NetBIOS and SNMP still run; whatever they find is listed, and
    // every line says inactive.
    r.checkState = 5;
    r.ignoreCheck = false;
    Outcome o = Scan(r);
    CheckShape(o, false);
    Compare(o, {{Inactive("bravo"), Inactive(Ip(kNoEcho)), Inactive(Ip(kSilentNamed))},
                {Row(Ip(11), "", true, {SingleAdapter(bravo.mac), SingleAdapter(bravo.mac)}),
                 Row(Ip(kNoEcho), "", true, {SingleAdapter(FindMachine(kNoEcho)->mac)})}});

    // No check and no names: the host that ignores the ping is found, the
    // silent one is reported as having no MAC, and nobody gets a name.
    r.method = smArp;
    r.checkState = csDontCheck;
    r.ignoreCheck = true;
    r.noName = true;
    Outcome noCheck = Scan(r);
    CheckShape(noCheck, false);
    Compare(noCheck, {{Found("bravo"), Found(Ip(kNoEcho)), NotFound(Ip(kSilentNamed))},
                      {Row(Ip(11), "", true, {SingleAdapter(bravo.mac)}),
                       Row(Ip(kNoEcho), "", true, {SingleAdapter(FindMachine(kNoEcho)->mac)})}});
}

} // namespace
