// The SNMP method against real snmpd agents in private namespaces: one that
// serves its own interface table (checked against snmpwalk and ip -j link),
// one whose table a pass script makes up, and hosts where nobody answers.
#include "engine/uGetMac.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

using namespace std::chrono_literals;

namespace {

constexpr const char* kCommunity = "tvxcomm";
constexpr long long kSlackMs = 400;

void WriteFile(const std::string& path, const std::string& text)
{
    std::ofstream f(path, std::ios::trunc);
    f << text;
    f.close();
    if (!f)
        throw lan::LabError("cannot write " + path);
}

// The client tools' private settings: no snmp.conf of the machine, state in
// the test's folder, no MIB.
std::vector<std::string> ClientEnv(const std::string& dir)
{
    return {"env", "SNMPCONFPATH=" + dir + "/client-conf",
            "SNMP_PERSISTENT_DIR=" + dir + "/client"};
}

// snmpd of the shared starter, answering kCommunity; its folder in dirOut
// (the oracle's client files go there too).
lan::Peer& StartSnmpd(lan::Host& host, lan::SnmpdConfig config, std::string& dirOut)
{
    config.community = kCommunity;
    lan::Peer& peer = lan::StartSnmpd(host, config);
    dirOut = peer.dir();
    std::filesystem::create_directories(dirOut + "/client");
    std::filesystem::create_directories(dirOut + "/client-conf");
    return peer;
}

struct Outcome {
    bool ok = false; // the call ran to its end (returned or raised)
    bool result = false;
    std::string error;                                         // what it raised
    std::vector<std::pair<std::string, std::string>> adapters; // Number, Name
    long long ms = -1;
    std::string failure;
};

// GetMacsBySnmp run inside `client`; the adapters come back one per line.
Outcome Call(const lan::Host& client, const std::string& host, const std::string& community,
             int timeout)
{
    lan::RunResult r = client.Run([=] {
        TComputer computer;
        long long t0 = platform::MonotonicMs();
        std::string head;
        try {
            head = GetMacsBySnmp(host, computer, community, timeout) ? "1" : "0";
        } catch (const ESnmpError& e) {
            head = std::string("E") + e.what();
        }
        std::string text = std::to_string(platform::MonotonicMs() - t0) + "\n" + head + "\n";
        for (const auto& a : computer.AdapterList)
            text += a->Number + "\t" + a->Name + "\n";
        return text;
    });
    Outcome o;
    if (!r.ok()) {
        o.failure = r.Describe();
        return o;
    }
    std::istringstream in(r.value);
    std::string line;
    std::getline(in, line);
    o.ms = std::stoll(line);
    std::getline(in, line);
    o.ok = true;
    if (line[0] == 'E')
        o.error = line.substr(1);
    o.result = line == "1";
    while (std::getline(in, line)) {
        auto tab = line.find('\t');
        o.adapters.emplace_back(line.substr(0, tab), line.substr(tab + 1));
    }
    return o;
}

std::string Upper(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::toupper(c); });
    return s;
}

// name -> MAC text (upper case, "-") of every interface but loopback, as ip sees them.
std::map<std::string, std::string> IpLinkMacs(const lan::Host& host)
{
    std::string json = host.Ip({"-j", "link", "show"});
    std::map<std::string, std::string> macs;
    std::regex entry(
        "\"ifname\":\"([^\"]+)\"[^}]*?\"link_type\":\"([a-z]+)\",\"address\":\"([0-9a-f:]+)\"");
    for (std::sregex_iterator it(json.begin(), json.end(), entry), end; it != end; ++it) {
        if ((*it)[2] == "loopback")
            continue;
        std::string mac = Upper((*it)[3]);
        std::replace(mac.begin(), mac.end(), ':', '-');
        macs[(*it)[1]] = mac;
    }
    return macs;
}

// ifTable columns 1, 2, 3, 6 as snmpwalk reads them: index -> column -> value
// (strings and addresses as "-"-joined upper-case hex, integers as text).
std::map<int, std::map<int, std::string>>
SnmpWalkTable(const lan::Host& client, const std::string& dir, const std::string& agent)
{
    std::vector<std::string> argv = ClientEnv(dir);
    argv.insert(argv.end(), {"snmpwalk", "-v1", "-c", kCommunity, "-M", dir + "/no-mibs", "-m", "",
                             "-On", "-Ox", agent, "1.3.6.1.2.1.2.2.1"});
    lan::ExecResult e = client.Exec(argv);
    EXPECT_TRUE(e.ok()) << e.err;
    std::map<int, std::map<int, std::string>> table;
    std::regex line(
        R"(^\.1\.3\.6\.1\.2\.1\.2\.2\.1\.(\d+)\.(\d+) = (?:(INTEGER|Hex-STRING): ?(.*)|""))");
    std::istringstream in(e.out);
    std::string l;
    while (std::getline(in, l)) {
        std::smatch m;
        if (!std::regex_search(l, m, line))
            continue;
        int column = std::stoi(m[1]), index = std::stoi(m[2]);
        std::string value = m[4];
        if (m[3] == "Hex-STRING") {
            while (!value.empty() && value.back() == ' ')
                value.pop_back();
            std::replace(value.begin(), value.end(), ' ', '-');
        }
        table[index][column] = value;
    }
    return table;
}

std::string HexToText(const std::string& dashed)
{
    std::string text;
    for (size_t i = 0; i < dashed.size(); i += 3)
        text += static_cast<char>(std::stoi(dashed.substr(i, 2), nullptr, 16));
    return text;
}

class SnmpAgentTest : public TwoHostLab {
protected:
    SnmpAgentTest()
        : TwoHostLab({"client", {"eth0", "02:00:00:00:07:01", "10.7.0.1/24"}},
                     {"agent", {"eth0", "02:00:00:00:07:02", "10.7.0.2/24"}})
    {
    }
    lan::Host*& client = first;
    lan::Host*& agent = second;
};

TEST_F(SnmpAgentTest, RealTableWithGapsMatchesSnmpwalkAndIpLink)
{
    // Indexes with a hole: a pair made and removed again before the next.
    agent->Ip({"link", "add", "gap0", "type", "veth", "peer", "name", "gap1"});
    agent->Ip({"link", "del", "gap0"});
    agent->Ip({"link", "add", "v0", "address", "02:00:00:00:07:10", "type", "veth", "peer", "name",
               "v1", "address", "02:00:00:00:07:11"});
    agent->SetLinkUp("v0", true);
    agent->SetLinkUp("v1", true);
    std::string dir;
    StartSnmpd(*agent, {{"10.7.0.2"}, ""}, dir);

    auto table = SnmpWalkTable(*client, dir, "10.7.0.2");
    ASSERT_GE(table.size(), 3u);
    std::vector<int> indexes;
    for (const auto& [index, row] : table)
        indexes.push_back(index);
    bool gap = false;
    for (size_t i = 1; i < indexes.size(); ++i)
        gap = gap || indexes[i] != indexes[i - 1] + 1;
    ASSERT_TRUE(gap) << "the agent's indexes have no hole";
    ASSERT_EQ(table.begin()->second[3], "24") << "loopback first, of type 24";

    std::vector<std::pair<std::string, std::string>> expected;
    for (auto& [index, row] : table) {
        std::string mac = row[6];
        if (row[3] == "24" || mac.empty() || mac.find_first_not_of("0-") == std::string::npos)
            continue;
        expected.emplace_back(mac, HexToText(row[2]));
    }

    Outcome o = Call(*client, "10.7.0.2", kCommunity, 1000);
    ASSERT_TRUE(o.ok) << o.failure;
    EXPECT_TRUE(o.error.empty()) << o.error;
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.adapters, expected);

    // Byte for byte what the kernel says of the agent's interfaces.
    auto macs = IpLinkMacs(*agent);
    ASSERT_EQ(macs.size(), 3u);
    std::map<std::string, std::string> byName;
    for (const auto& [mac, name] : o.adapters)
        byName[name] = mac;
    EXPECT_EQ(byName, macs);
}

TEST_F(SnmpAgentTest, LocalhostIsTheAgentOnLoopback)
{
    std::string dir;
    StartSnmpd(*agent, {{"127.0.0.1"}, ""}, dir);
    Outcome o = Call(*agent, "localhost", kCommunity, 1000);
    ASSERT_TRUE(o.ok) << o.failure;
    ASSERT_TRUE(o.result) << o.error;
    ASSERT_EQ(o.adapters.size(), 1u);
    EXPECT_EQ(o.adapters[0].first, "02-00-00-00-07-02");
    EXPECT_EQ(o.adapters[0].second, "eth0");
}

TEST_F(SnmpAgentTest, NoAgentAndWrongCommunityEndAfterOneTimeOut)
{
    for (int timeout : {300, 700}) {
        Outcome o = Call(*client, "10.7.0.2", kCommunity, timeout);
        ASSERT_TRUE(o.ok) << o.failure;
        EXPECT_TRUE(o.error.empty()) << o.error;
        EXPECT_FALSE(o.result);
        EXPECT_GE(o.ms, timeout - 20);
        EXPECT_LE(o.ms, timeout + kSlackMs);
    }
    std::string dir;
    StartSnmpd(*agent, {{"10.7.0.2"}, ""}, dir);
    Outcome o = Call(*client, "10.7.0.2", "not-the-community", 500);
    ASSERT_TRUE(o.ok) << o.failure;
    EXPECT_FALSE(o.result);
    EXPECT_TRUE(o.adapters.empty());
    EXPECT_GE(o.ms, 480);
    EXPECT_LE(o.ms, 500 + kSlackMs);
    // The right one, on the same agent, works.
    EXPECT_TRUE(Call(*client, "10.7.0.2", kCommunity, 1000).result);
}

TEST_F(SnmpAgentTest, SessionThatCannotOpenRaises)
{
    // A name nobody resolves (the namespace has no name server).
    Outcome o = Call(*client, "no-such-host.invalid", kCommunity, 300);
    ASSERT_TRUE(o.ok) << o.failure;
    EXPECT_NE(o.error.find("no-such-host.invalid"), std::string::npos) << o.error;
    // A host text that would pick another transport is refused outright.
    o = Call(*client, "tcp:10.7.0.2", kCommunity, 300);
    ASSERT_TRUE(o.ok) << o.failure;
    EXPECT_NE(o.error.find("tcp:10.7.0.2"), std::string::npos) << o.error;
}

// A made-up table; `count` is what ifNumber says.
std::string CraftedTable(const std::string& count)
{
    const std::string t = "1.3.6.1.2.1.2.2.1.";
    std::string s = "1.3.6.1.2.1.2.1.0\tinteger\t" + count + "\n";
    auto row = [&](int index, const std::string& descrType, const std::string& descr, int type,
                   const std::string& mac) {
        std::string i = std::to_string(index);
        s += t + "1." + i + "\tinteger\t" + i + "\n";
        s += t + "2." + i + "\t" + descrType + "\t" + descr + "\n";
        s += t + "3." + i + "\tinteger\t" + std::to_string(type) + "\n";
        s += t + "6." + i + "\toctet\t" + mac + "\n";
    };
    row(1, "string", "lo", 24, "00 00 00 00 00 00");
    // Its description reads like an index: a walk that runs on into this
    // column takes it for interface 7 a second time.
    row(3, "string", "7", 6, "");
    row(4, "string", "zeros", 6, "00 00 00 00 00 00");
    // With the terminating NUL some agents count into the text.
    row(7, "octet", "45 74 68 65 72 6E 65 74 00", 6, "00 1a 2b 3c 4d 5e");
    // InfiniBand (IANA type 199): a hardware address of 20 bytes.
    row(9, "string", "ib0", 199, "80 00 00 48 fe 80 00 00 00 00 00 00 00 02 c9 03 00 0a 0b 0c");
    return s;
}

TEST_F(SnmpAgentTest, CraftedTableKeepsOnlyRealHardwareAddresses)
{
    const std::string table = lab->TempDir() + "/table.txt";
    WriteFile(table, CraftedTable("5"));
    std::string dir;
    StartSnmpd(*agent, {{"10.7.0.2"}, table}, dir);
    // The pass script is a process started per request; on a loaded machine
    // one can take longer than a second, and a reply lost to the wait would
    // read as an empty description. The test is about the table's rows, so
    // the wait is generous; a walk that waits for a time-out still shows in
    // the bound below.
    const int kTableWaitMs = 3000;

    const std::vector<std::pair<std::string, std::string>> all = {
        {"00-1A-2B-3C-4D-5E", "Ethernet"},
        {"80-00-00-48-FE-80-00-00-00-00-00-00-00-02-C9-03-00-0A-0B-0C", "ib0"}};

    Outcome o = Call(*client, "10.7.0.2", kCommunity, kTableWaitMs);
    ASSERT_TRUE(o.ok) << o.failure;
    EXPECT_TRUE(o.result) << o.error;
    EXPECT_EQ(o.adapters, all);
    // The agent's pass script starts a process per request, which a loaded
    // machine slows down for every walk alike: the bound below is measured
    // against this walk of the same table.
    const long long tableMs = o.ms;

    // ifNumber larger than the table, up to the largest integer: the walk
    // ends where the ifIndex column does, never waiting for a time-out or
    // asking on for rows that are not there.
    for (const char* count : {"6", "40", "2147483647"}) {
        WriteFile(table, CraftedTable(count));
        o = Call(*client, "10.7.0.2", kCommunity, kTableWaitMs);
        ASSERT_TRUE(o.ok) << o.failure;
        EXPECT_EQ(o.adapters, all) << "ifNumber " << count;
        EXPECT_LT(o.ms, std::max(3000LL, 3 * tableMs)) << "ifNumber " << count;
    }

    // Smaller: only that many rows are read.
    WriteFile(table, CraftedTable("4"));
    o = Call(*client, "10.7.0.2", kCommunity, kTableWaitMs);
    ASSERT_TRUE(o.ok) << o.failure;
    EXPECT_TRUE(o.result);
    EXPECT_EQ(o.adapters, decltype(all){all[0]});
    WriteFile(table, CraftedTable("3"));
    o = Call(*client, "10.7.0.2", kCommunity, kTableWaitMs);
    ASSERT_TRUE(o.ok) << o.failure;
    EXPECT_FALSE(o.result);
    EXPECT_TRUE(o.adapters.empty());

    // No count at all: nothing is walked.
    for (const char* count : {"0", "-3"}) {
        WriteFile(table, CraftedTable(count));
        o = Call(*client, "10.7.0.2", kCommunity, kTableWaitMs);
        ASSERT_TRUE(o.ok) << o.failure;
        EXPECT_FALSE(o.result) << "ifNumber " << count;
        EXPECT_TRUE(o.adapters.empty());
    }
}

} // namespace
