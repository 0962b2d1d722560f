// The NetBIOS, NET API and WMI methods on fed data: node-status replies built
// here, transport pages and management answers given through the methods'
// seams.
#include "engine/uComputerList.h"
#include "engine/uGetMac.h"
#include "tests/support/ComputerBuilders.h"

#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

namespace {

// --- NetBIOS ---------------------------------------------------------------

// A node-status answer: header, answer record for "*", `names` entries of
// 18 bytes, then the unit id and a statistics block of `tail` bytes.
std::vector<uint8_t> NodeStatus(unsigned names, const std::vector<uint8_t>& mac, int declared = -1,
                                std::size_t tail = 40)
{
    std::vector<uint8_t> r = {0x80, 0xBE, 0x84, 0x00, 0x00, 0x00, 0x00, 0x01,
                              0x00, 0x00, 0x00, 0x00, 0x20, 'C',  'K'};
    r.insert(r.end(), 30, 'A');
    r.insert(r.end(), {0x00, 0x00, 0x21, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x00});
    r.push_back(static_cast<uint8_t>(declared < 0 ? names : unsigned(declared)));
    for (unsigned i = 0; i < names; ++i) {
        std::string name = "HOST" + std::to_string(i);
        name.resize(15, ' ');
        r.insert(r.end(), name.begin(), name.end());
        r.insert(r.end(), {0x00, 0x04, 0x00});
    }
    r.insert(r.end(), mac.begin(), mac.end());
    r.insert(r.end(), tail, 0x00);
    return r;
}

std::string MacOf(const std::vector<uint8_t>& reply)
{
    std::string mac = "stale";
    NetBiosReplyToMac(reply, mac);
    return mac;
}

const std::vector<uint8_t> kUnitId = {0x00, 0x1C, 0x42, 0xAB, 0xCD, 0xEF};

TEST(NetBiosMac, UnitIdAfterTheNameTableInLowerCase)
{
    EXPECT_EQ(MacOf(NodeStatus(3, kUnitId)), "00-1c-42-ab-cd-ef");
    // No names: bytes 57-62.
    const std::vector<uint8_t> none = NodeStatus(0, kUnitId);
    EXPECT_EQ(std::vector<uint8_t>(none.begin() + 57, none.begin() + 63), kUnitId);
    EXPECT_EQ(MacOf(none), "00-1c-42-ab-cd-ef");
}

TEST(NetBiosMac, OnlyWhenTheUnitIdLiesWithinTheReceivedBytes)
{
    // Ending exactly after the unit id is enough; one byte less is not.
    std::vector<uint8_t> exact = NodeStatus(2, kUnitId, -1, 0);
    EXPECT_EQ(MacOf(exact), "00-1c-42-ab-cd-ef");
    exact.pop_back();
    EXPECT_EQ(MacOf(exact), "");
    // A count larger than what came: the unit id would lie beyond the end.
    EXPECT_EQ(MacOf(NodeStatus(2, kUnitId, 3, 10)), "");
    EXPECT_EQ(MacOf(NodeStatus(2, kUnitId, 255, 40)), "");
    // A count smaller than the table reads the unit id from inside it: that
    // is what the reply says, and it stays within the bytes.
    EXPECT_EQ(MacOf(NodeStatus(2, kUnitId, 1)), "48-4f-53-54-31-20"); // "HOST1 "
}

TEST(NetBiosMac, ReplyOf56BytesOrLessGivesNothing)
{
    std::vector<uint8_t> r = NodeStatus(0, kUnitId);
    r.resize(56);
    EXPECT_EQ(MacOf(r), "");
    EXPECT_EQ(MacOf({}), "");
}

TEST(NetBiosMac, AnswerToAnotherRequestGivesNothing)
{
    std::vector<uint8_t> r = NodeStatus(1, kUnitId);
    r[1] = 0xBF; // transaction id
    EXPECT_EQ(MacOf(r), "");
    r = NodeStatus(1, kUnitId);
    r[2] = 0x00; // a query, not a response
    EXPECT_EQ(MacOf(r), "");
}

TEST(NetBiosMac, AllZeroUnitIdIsNoAdapter)
{
    EXPECT_EQ(MacOf(NodeStatus(4, {0, 0, 0, 0, 0, 0})), "");
    // One non-zero byte anywhere is an address.
    EXPECT_EQ(MacOf(NodeStatus(4, {0, 0, 0, 0, 0, 1})), "00-00-00-00-00-01");
    EXPECT_EQ(MacOf(NodeStatus(4, {0x80, 0, 0, 0, 0, 0})), "80-00-00-00-00-00");
}

TEST(NetBiosMac, NoAddressNoAnswer)
{
    std::string mac = "stale";
    GetMacByNetBios("not an address", 100, mac);
    EXPECT_EQ(mac, "");
    mac = "stale";
    GetMacByNetBios("", 100, mac);
    EXPECT_EQ(mac, "");
}

// --- NET API ---------------------------------------------------------------

using platform::ServerTransportInfo0;

// Pages handed out one per call; the answer of call i is codes[i].
struct ScriptedTransports {
    std::vector<std::vector<ServerTransportInfo0>> pages;
    std::vector<uint32_t> codes;
    std::vector<std::string> servers;
    std::vector<uint32_t> resumes;
    bool advance = true;

    TTransportEnumerator Enumerator()
    {
        return [this](const std::string& server, std::vector<ServerTransportInfo0>& page,
                      uint32_t& resume) -> uint32_t {
            servers.push_back(server);
            resumes.push_back(resume);
            const std::size_t call = servers.size() - 1;
            if (call >= codes.size())
                throw std::logic_error("called after the last answer");
            if (call < pages.size())
                page = pages[call];
            if (advance)
                resume += static_cast<uint32_t>(page.size());
            return codes[call];
        };
    }
};

std::vector<std::pair<std::string, std::string>> Adapters(const TComputer& c)
{
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& a : c.AdapterList)
        out.emplace_back(a->Number, a->Name);
    return out;
}

TEST(NetApiMac, RegroupsTheUpperCasedAddressInPairs)
{
    EXPECT_EQ(RegroupNetworkAddress("0019b9f1c2d3"), "00-19-B9-F1-C2-D3");
    EXPECT_EQ(RegroupNetworkAddress("00A0C9123456"), "00-A0-C9-12-34-56");
    EXPECT_EQ(RegroupNetworkAddress(""), "");
    EXPECT_EQ(RegroupNetworkAddress("a"), "A");
    EXPECT_EQ(RegroupNetworkAddress("ab"), "AB");
    EXPECT_EQ(RegroupNetworkAddress("abc"), "AB-C");
    EXPECT_EQ(RegroupNetworkAddress("abcde"), "AB-CD-E");
}

TEST(NetApiMac, SkipsTheSmbDirectTransport)
{
    ScriptedTransports s;
    s.pages = {{{"\\Device\\NetbiosSmb", "000000000000"},
                {"\\Device\\NetBT_Tcpip_{4D36E972}", "00a0c9123456"}}};
    s.codes = {platform::NerrSuccess};
    TComputer c;
    EXPECT_TRUE(GetMacsByNetApi("10.0.0.7", c, s.Enumerator()));
    EXPECT_EQ(Adapters(c), (std::vector<std::pair<std::string, std::string>>{
                               {"00-A0-C9-12-34-56", "\\Device\\NetBT_Tcpip_{4D36E972}"}}));
    EXPECT_EQ(s.servers, std::vector<std::string>{"\\\\10.0.0.7"});
    EXPECT_EQ(c.AdapterList[0]->Index, 0);
    EXPECT_EQ(c.AdapterList[0]->Vendor, "");
    // Only that exact name is skipped.
    ScriptedTransports t;
    t.pages = {{{"\\Device\\NetbiosSmb2", "0a0b0c0d0e0f"}, {"\\device\\netbiossmb", "01"}}};
    t.codes = {platform::NerrSuccess};
    TComputer d;
    EXPECT_TRUE(GetMacsByNetApi("", d, t.Enumerator()));
    EXPECT_EQ(d.AdapterList.size(), 2u);
    EXPECT_EQ(t.servers, std::vector<std::string>{""}); // the local computer: no server name
}

TEST(NetApiMac, FollowsMoreDataWithTheResumeHandle)
{
    ScriptedTransports s;
    s.pages = {{{"\\Device\\A", "000000000001"}, {"\\Device\\B", "000000000002"}},
               {{"\\Device\\NetbiosSmb", "000000000000"}},
               {{"\\Device\\C", "000000000003"}}};
    s.codes = {platform::ErrorMoreData, platform::ErrorMoreData, platform::NerrSuccess};
    TComputer c;
    c.AdapterList.push_back(MakeAdapter("", "00-11-22-33-44-55")); // found by ARP before
    EXPECT_TRUE(GetMacsByNetApi("pc", c, s.Enumerator()));
    EXPECT_EQ(Adapters(c), (std::vector<std::pair<std::string, std::string>>{
                               {"00-11-22-33-44-55", ""},
                               {"00-00-00-00-00-01", "\\Device\\A"},
                               {"00-00-00-00-00-02", "\\Device\\B"},
                               {"00-00-00-00-00-03", "\\Device\\C"}}));
    EXPECT_EQ(s.resumes, (std::vector<uint32_t>{0, 2, 3}));
}

TEST(NetApiMac, FailureIsFalseOnlyWhenNoCallSucceeded)
{
    ScriptedTransports refused;
    refused.codes = {platform::ErrorNotSupported};
    TComputer c;
    EXPECT_FALSE(GetMacsByNetApi("10.9.9.9", c, refused.Enumerator()));
    EXPECT_TRUE(c.AdapterList.empty());
    EXPECT_EQ(refused.servers.size(), 1u);

    // A later page that fails keeps what came before and the result True.
    ScriptedTransports partly;
    partly.pages = {{{"\\Device\\A", "0000000000aa"}}};
    partly.codes = {platform::ErrorMoreData, 5 /* access denied */};
    TComputer d;
    EXPECT_TRUE(GetMacsByNetApi("10.9.9.9", d, partly.Enumerator()));
    EXPECT_EQ(Adapters(d), (std::vector<std::pair<std::string, std::string>>{
                               {"00-00-00-00-00-AA", "\\Device\\A"}}));
    EXPECT_EQ(partly.servers.size(), 2u);

    // Success with no transports at all is still success.
    ScriptedTransports empty;
    empty.codes = {platform::NerrSuccess};
    TComputer e;
    EXPECT_TRUE(GetMacsByNetApi("", e, empty.Enumerator()));
    EXPECT_TRUE(e.AdapterList.empty());
}

TEST(NetApiMac, MoreDataThatDoesNotMoveEndsTheWalk)
{
    ScriptedTransports stuck;
    stuck.advance = false;
    stuck.pages = {{{"\\Device\\A", "000000000001"}}, {}};
    stuck.codes = {platform::ErrorMoreData, platform::ErrorMoreData}; // a third call would throw
    TComputer c;
    EXPECT_TRUE(GetMacsByNetApi("pc", c, stuck.Enumerator()));
    EXPECT_EQ(stuck.servers.size(), 2u);
    EXPECT_EQ(c.AdapterList.size(), 1u);
}

TEST(NetApiMac, OverlongHostIsNotCutToAnotherName)
{
    ScriptedTransports s;
    s.codes = {platform::NerrSuccess};
    TComputer c;
    const std::string longest(NetApiMaxServerName - 2, 'h');
    EXPECT_TRUE(GetMacsByNetApi(longest, c, s.Enumerator()));
    ASSERT_EQ(s.servers.size(), 1u);
    EXPECT_EQ(s.servers[0], "\\\\" + longest);
    EXPECT_FALSE(GetMacsByNetApi(longest + "h", c, s.Enumerator()));
    EXPECT_EQ(s.servers.size(), 1u); // not called
}

// --- WMI -------------------------------------------------------------------

using platform::WmiObject;
using platform::WmiValue;

struct FakeAdapter {
    int64_t index;
    bool ipEnabled;
    std::vector<std::string> ips;
    WmiValue mac;
    std::string product;
};

// Answers the two queries as a management service would; a query that is
// not one of them, or a failure planned for a query, raises.
class FakeServices : public platform::WmiServices {
public:
    std::vector<FakeAdapter> adapters;
    std::vector<std::string>* queries = nullptr;
    int failAt = -1; // the query number (0, 1) that raises

    std::vector<WmiObject> ExecQuery(const std::string& query,
                                     const std::string& language) const override
    {
        if (language != "WQL")
            throw platform::EWmiError("language " + language);
        queries->push_back(query);
        const int n = static_cast<int>(queries->size()) - 1;
        std::vector<WmiObject> out;
        if (n == failAt)
            throw platform::EWmiError("The RPC server is unavailable.");
        for (const FakeAdapter& a : adapters) {
            WmiObject o;
            if (query == WmiConfigurationQuery) {
                if (!a.ipEnabled)
                    continue;
                o.Set("MACAddress", a.mac);
                o.Set("Index", WmiValue::Of(a.index));
                o.Set("IPAddress", a.ips.empty() ? WmiValue::Null() : WmiValue::Of(a.ips));
            } else if (query == WmiAdapterQuery) {
                o.Set("ProductName", WmiValue::Of(a.product));
                o.Set("Index", WmiValue::Of(a.index));
                o.Set("MACAddress", a.mac);
            } else {
                throw platform::EWmiError("unexpected query " + query);
            }
            out.push_back(std::move(o));
        }
        return out;
    }
};

struct WmiCall {
    std::vector<std::string> queries;
    std::vector<std::pair<std::string, std::string>> connects;

    TWmiConnector Connector(const std::vector<FakeAdapter>& adapters, int failAt = -1)
    {
        return [=, this](const std::string& server, const std::string& ns) {
            connects.emplace_back(server, ns);
            auto s = std::make_unique<FakeServices>();
            s->adapters = adapters;
            s->queries = &queries;
            s->failAt = failAt;
            return std::unique_ptr<platform::WmiServices>(std::move(s));
        };
    }
};

struct Row {
    std::string number, name, ip;
    int32_t index;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Row& r)
{
    return os << "{" << r.number << " | " << r.name << " | " << r.ip << " | " << r.index << "}";
}

std::vector<Row> Rows(const TComputer& c)
{
    std::vector<Row> out;
    for (const auto& a : c.AdapterList)
        out.push_back({a->Number, a->Name, a->IPAddress, a->Index});
    return out;
}

TEST(WmiMac, AdapterWithoutMacIsDroppedOtherNamedByProduct)
{
    WmiCall call;
    TComputer c;
    EXPECT_TRUE(GetMacsByWmi(
        "10.0.0.4", c,
        call.Connector({{7,
                         true,
                         {"10.0.0.4"},
                         WmiValue::Of(std::string("00:1A:2B:3C:4D:5E")),
                         "Intel(R) PRO/1000 MT Network Connection"},
                        {9, true, {"192.168.56.1"}, WmiValue::Null(), "VPN Adapter"}})));
    EXPECT_EQ(Rows(c),
              (std::vector<Row>{{"00-1A-2B-3C-4D-5E", "Intel(R) PRO/1000 MT Network Connection",
                                 "10.0.0.4", 7}}));
    EXPECT_EQ(call.connects,
              (std::vector<std::pair<std::string, std::string>>{{"10.0.0.4", "root\\cimv2"}}));
    EXPECT_EQ(call.queries, (std::vector<std::string>{WmiConfigurationQuery, WmiAdapterQuery}));
}

TEST(WmiMac, TwoAddressesReadAsACommaList)
{
    WmiCall call;
    TComputer c;
    ASSERT_TRUE(GetMacsByWmi(".", c,
                             call.Connector({{3,
                                              true,
                                              {"10.0.0.4", "10.0.1.4", "fe80::1"},
                                              WmiValue::Of(std::string("02:00:00:00:00:03")),
                                              "eth0"}})));
    ASSERT_EQ(c.AdapterList.size(), 1u);
    EXPECT_EQ(c.AdapterList[0]->IPAddress, "10.0.0.4, 10.0.1.4, fe80::1");
    EXPECT_EQ(call.connects[0].first, ".");
}

TEST(WmiMac, AdaptersOfOtherMethodsAreLeftAlone)
{
    // ARP and NetBIOS found one each (index 0); the adapter class lists an
    // index-0 object too, without MAC, and one with a MAC.
    TComputer c;
    for (const char* mac : {"00-11-22-33-44-55", "00-11-22-33-44-66"})
        c.AdapterList.push_back(MakeAdapter("", mac, "Vendor"));
    WmiCall call;
    EXPECT_TRUE(GetMacsByWmi(
        "10.0.0.4", c,
        call.Connector(
            {{0, false, {}, WmiValue::Null(), "WAN Miniport"},
             {0, false, {}, WmiValue::Of(std::string("AA:AA:AA:AA:AA:AA")), "Other"},
             {2, true, {"10.0.0.4"}, WmiValue::Of(std::string("00:11:22:33:44:55")), "Realtek"}})));
    EXPECT_EQ(Rows(c), (std::vector<Row>{{"00-11-22-33-44-55", "", "", 0},
                                         {"00-11-22-33-44-66", "", "", 0},
                                         {"00-11-22-33-44-55", "Realtek", "10.0.0.4", 2}}));
    EXPECT_EQ(c.AdapterList[0]->Vendor, "Vendor");
}

TEST(WmiMac, AdapterThatNoObjectMatchesIsRemoved)
{
    // Index 5 is IP-enabled but missing from the adapter class.
    WmiCall call;
    TComputer c;
    auto connect =
        call.Connector({{5, true, {"10.0.0.5"}, WmiValue::Null(), "x"},
                        {6, true, {"10.0.0.6"}, WmiValue::Of(std::string("02:06")), "y"}});
    // Wrap: drop index 5 from the second answer.
    TWmiConnector filtered = [&](const std::string& s, const std::string& n) {
        class Filter : public platform::WmiServices {
        public:
            explicit Filter(std::unique_ptr<platform::WmiServices> inner) : inner_(std::move(inner))
            {
            }
            std::vector<WmiObject> ExecQuery(const std::string& q,
                                             const std::string& l) const override
            {
                auto all = inner_->ExecQuery(q, l);
                if (q == WmiAdapterQuery)
                    std::erase_if(
                        all, [](const WmiObject& o) { return o.Get("Index").AsInteger() == 5; });
                return all;
            }

        private:
            std::unique_ptr<platform::WmiServices> inner_;
        };
        return std::unique_ptr<platform::WmiServices>(new Filter(connect(s, n)));
    };
    EXPECT_TRUE(GetMacsByWmi("h", c, filtered));
    EXPECT_EQ(Rows(c), (std::vector<Row>{{"02-06", "y", "10.0.0.6", 6}}));
}

TEST(WmiMac, TrueWhenListedEvenIfNoAdapterRemains)
{
    WmiCall call;
    TComputer c;
    EXPECT_TRUE(
        GetMacsByWmi("h", c, call.Connector({{1, true, {"10.0.0.1"}, WmiValue::Null(), "x"}})));
    EXPECT_TRUE(c.AdapterList.empty());

    WmiCall none;
    TComputer d;
    EXPECT_FALSE(GetMacsByWmi(
        "h", d,
        none.Connector({{1, false, {}, WmiValue::Of(std::string("02:00:00:00:00:01")), "x"}})));
    EXPECT_TRUE(d.AdapterList.empty());
    EXPECT_EQ(none.queries.size(), 2u);
}

TEST(WmiMac, ErrorsRiseWithTheirTextAndLeaveNoHalfAdapters)
{
    TComputer c;
    c.AdapterList.push_back(MakeAdapter("", "00-11-22-33-44-55"));
    const std::vector<FakeAdapter> two = {
        {1, true, {"10.0.0.1"}, WmiValue::Of(std::string("02:00:00:00:00:01")), "a"},
        {2, true, {"10.0.0.2"}, WmiValue::Of(std::string("02:00:00:00:00:02")), "b"}};

    // The second query fails: the adapters of the first, still without MAC,
    // are taken away again; the one found before stays.
    WmiCall second;
    try {
        GetMacsByWmi("h", c, second.Connector(two, 1));
        ADD_FAILURE() << "no exception";
    } catch (const platform::EWmiError& e) {
        EXPECT_STREQ(e.what(), "The RPC server is unavailable.");
    }
    EXPECT_EQ(second.queries.size(), 2u);
    EXPECT_EQ(Rows(c), (std::vector<Row>{{"00-11-22-33-44-55", "", "", 0}}));

    // The first query fails: the second is not run.
    WmiCall first;
    EXPECT_THROW(GetMacsByWmi("h", c, first.Connector(two, 0)), platform::EWmiError);
    EXPECT_EQ(c.AdapterList.size(), 1u);
    EXPECT_EQ(first.queries.size(), 1u);

    // A connection that cannot be made raises before anything is added.
    TWmiConnector refuse = [](const std::string&,
                              const std::string&) -> std::unique_ptr<platform::WmiServices> {
        throw platform::EWmiError(platform::WmiUnavailableMessage);
    };
    try {
        GetMacsByWmi("10.1.2.3", c, refuse);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "WMI is not available on this system");
    }
    EXPECT_EQ(c.AdapterList.size(), 1u);
}

TEST(WmiMac, RemoteHostOfTheRealStandInRaisesTheClearError)
{
    TComputer c;
    // 192.0.2.x (documentation range) is no address of this computer; the
    // stand-in decides without sending anything.
    try {
        GetMacsByWmi("192.0.2.55", c);
        ADD_FAILURE() << "no exception";
    } catch (const platform::EWmiError& e) {
        EXPECT_STREQ(e.what(), "WMI is not available on this system");
    }
    EXPECT_TRUE(c.AdapterList.empty());
    EXPECT_FALSE(GetMacsByNetApi("192.0.2.55", c));
    EXPECT_TRUE(c.AdapterList.empty());
}

} // namespace
