// The SNMP client and method against a scripted agent on loopback: a UDP
// socket that decodes each request itself and answers what the test says,
// down to replies no honest agent sends.
#include "engine/uGetMac.h"
#include "platform/Sockets.h"
#include "platform/Thread.h"
#include "tests/support/ComputerBuilders.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace std::string_literals;

namespace {

// --- BER, as much as a version 1 agent needs ---------------------------------

struct Tlv {
    uint8_t tag = 0;
    std::string value;
};

bool ReadTlv(const std::string& in, size_t& pos, Tlv& out)
{
    if (pos + 2 > in.size())
        return false;
    out.tag = static_cast<uint8_t>(in[pos++]);
    size_t len = static_cast<uint8_t>(in[pos++]);
    if (len & 0x80) {
        int n = len & 0x7f;
        len = 0;
        while (n--) {
            if (pos >= in.size())
                return false;
            len = len << 8 | static_cast<uint8_t>(in[pos++]);
        }
    }
    if (pos + len > in.size())
        return false;
    out.value = in.substr(pos, len);
    pos += len;
    return true;
}

std::string Encode(uint8_t tag, const std::string& value)
{
    std::string out(1, static_cast<char>(tag));
    if (value.size() < 128) {
        out += static_cast<char>(value.size());
    } else {
        out += static_cast<char>(0x82);
        out += static_cast<char>(value.size() >> 8);
        out += static_cast<char>(value.size() & 0xff);
    }
    return out + value;
}

std::string EncodeInt(long long v)
{
    std::string bytes;
    for (int i = 7; i >= 0; --i)
        bytes += static_cast<char>((v >> (i * 8)) & 0xff);
    while (bytes.size() > 1 &&
           ((bytes[0] == 0 && !(bytes[1] & 0x80)) || (bytes[0] == '\xff' && (bytes[1] & 0x80))))
        bytes.erase(0, 1);
    return Encode(0x02, bytes);
}

std::string EncodeOid(const std::string& dotted)
{
    std::vector<unsigned long> n;
    size_t pos = 0;
    while (pos <= dotted.size()) {
        size_t dot = dotted.find('.', pos);
        n.push_back(std::stoul(dotted.substr(pos, dot - pos)));
        if (dot == std::string::npos)
            break;
        pos = dot + 1;
    }
    std::string body(1, static_cast<char>(n[0] * 40 + n[1]));
    for (size_t i = 2; i < n.size(); ++i) {
        std::string sub(1, static_cast<char>(n[i] & 0x7f));
        for (unsigned long v = n[i] >> 7; v; v >>= 7)
            sub.insert(0, 1, static_cast<char>(0x80 | (v & 0x7f)));
        body += sub;
    }
    return Encode(0x06, body);
}

std::string DecodeOid(const std::string& body)
{
    if (body.empty())
        return {};
    auto first = static_cast<uint8_t>(body[0]);
    std::string text = std::to_string(first / 40) + "." + std::to_string(first % 40);
    unsigned long v = 0;
    for (size_t i = 1; i < body.size(); ++i) {
        v = v << 7 | (body[i] & 0x7f);
        if (!(body[i] & 0x80)) {
            text += "." + std::to_string(v);
            v = 0;
        }
    }
    return text;
}

// --- The agent ----------------------------------------------------------------

struct Request {
    std::string community;
    uint8_t pduType = 0;
    std::string oid;
    uint8_t valueTag = 0;
    std::string value;
};

struct Answer {
    int errorStatus = 0;
    std::string oid; // empty: the request's
    std::string valueTlv;
    bool noVarBind = false;
};

std::string Int(long long v)
{
    return EncodeInt(v);
}
std::string Str(const std::string& s)
{
    return Encode(0x04, s);
}

// Answers requests on 127.0.0.1 in a thread of its own until destroyed.
class FakeAgent {
public:
    using Handler = std::function<std::optional<Answer>(const Request&)>;
    explicit FakeAgent(Handler handler) : handler_(std::move(handler))
    {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeAgent()
    {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    uint16_t port() const { return port_; }
    // Runs Change while no request is being answered.
    void Locked(const std::function<void()>& Change)
    {
        std::lock_guard<std::mutex> l(lock_);
        Change();
    }
    std::vector<Request> requests()
    {
        std::lock_guard<std::mutex> l(lock_);
        return requests_;
    }

private:
    void Serve()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buf[65536];
            sockaddr_in from{};
            socklen_t fl = sizeof from;
            ssize_t n =
                ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
            if (n <= 0)
                continue;
            std::string in(buf, static_cast<size_t>(n)), reply;
            if (Handle(in, reply))
                ::sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from),
                         fl);
        }
    }
    bool Handle(const std::string& in, std::string& reply)
    {
        size_t pos = 0;
        Tlv msg, version, community, pdu, reqid, es, ei, list, bind, name, value;
        if (!ReadTlv(in, pos, msg))
            return false;
        pos = 0;
        if (!ReadTlv(msg.value, pos, version) || !ReadTlv(msg.value, pos, community) ||
            !ReadTlv(msg.value, pos, pdu))
            return false;
        size_t p = 0;
        if (!ReadTlv(pdu.value, p, reqid) || !ReadTlv(pdu.value, p, es) ||
            !ReadTlv(pdu.value, p, ei) || !ReadTlv(pdu.value, p, list))
            return false;
        p = 0;
        if (!ReadTlv(list.value, p, bind))
            return false;
        p = 0;
        if (!ReadTlv(bind.value, p, name) || !ReadTlv(bind.value, p, value))
            return false;
        Request r{community.value, pdu.tag, DecodeOid(name.value), value.tag, value.value};
        std::optional<Answer> a;
        {
            // Under the lock, so a test that changes what the handler
            // answers (through Locked) never races with a request.
            std::lock_guard<std::mutex> l(lock_);
            requests_.push_back(r);
            a = handler_(r);
        }
        if (!a)
            return false;
        std::string binds;
        if (!a->noVarBind)
            binds = Encode(0x30, EncodeOid(a->oid.empty() ? r.oid : a->oid) +
                                     (a->valueTlv.empty() ? Encode(0x04, "") : a->valueTlv));
        std::string body = Encode(0x02, reqid.value) + EncodeInt(a->errorStatus) +
                           EncodeInt(a->errorStatus ? 1 : 0) + Encode(0x30, binds);
        reply = Encode(0x30, EncodeInt(0) + Str(community.value) + Encode(0xA2, body));
        return true;
    }

    Handler handler_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<Request> requests_;
};

// A table agent: values by OID, get-next by the order of the map's keys as
// numbers (good enough for these few rows of equal depth).
struct Row {
    std::string oid;
    std::string valueTlv;
};

FakeAgent::Handler Table(std::vector<Row> rows)
{
    return [rows](const Request& r) -> std::optional<Answer> {
        auto key = [](const std::string& o) {
            std::vector<unsigned long> k;
            size_t pos = 0;
            while (true) {
                size_t dot = o.find('.', pos);
                k.push_back(std::stoul(o.substr(pos, dot - pos)));
                if (dot == std::string::npos)
                    return k;
                pos = dot + 1;
            }
        };
        const Row* best = nullptr;
        for (const Row& row : rows) {
            if (r.pduType == 0xA0 && row.oid == r.oid)
                return Answer{0, row.oid, row.valueTlv, false};
            if (r.pduType == 0xA1 && key(row.oid) > key(r.oid) &&
                (!best || key(row.oid) < key(best->oid)))
                best = &row;
        }
        if (best)
            return Answer{0, best->oid, best->valueTlv, false};
        return Answer{2, "", "", false}; // noSuchName
    };
}

const std::string kCol = "1.3.6.1.2.1.2.2.1.";

std::vector<Row> Interface(int index, const std::string& descr, int type, const std::string& mac)
{
    std::string i = std::to_string(index);
    return {{kCol + "1." + i, Int(index)},
            {kCol + "2." + i, Str(descr)},
            {kCol + "3." + i, Int(type)},
            {kCol + "6." + i, Str(mac)}};
}

std::vector<Row> Join(std::initializer_list<std::vector<Row>> parts)
{
    std::vector<Row> all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

// --- Tests --------------------------------------------------------------------

TEST(BytesToMacText, UpperCaseHexPairsJoinedByDashes)
{
    EXPECT_EQ(BytesToMacText("\x00\x1a\x2b\xff\x80\x09"s), "00-1A-2B-FF-80-09");
    EXPECT_EQ(BytesToMacText(""), "");
    EXPECT_EQ(BytesToMacText(std::string(1, '\0')), "00");
    EXPECT_EQ(BytesToMacText(std::string(20, '\xab')).size(), 59u);
}

TEST(SnmpQuery, RequestsAsTheAgentSeesThem)
{
    FakeAgent agent([](const Request&) { return Answer{0, "1.3.6.1.2.1.2.2.1.1.5", Int(5)}; });
    TSnmpClient client("127.0.0.1", "my-community", 500, agent.port());
    std::string oid = "1.3.6.1.2.1.2.1.0", value = "old";
    ASSERT_TRUE(SnmpQuery(client, oid, false, value));
    // A plain get keeps its OID even when the reply names another.
    EXPECT_EQ(oid, "1.3.6.1.2.1.2.1.0");
    EXPECT_EQ(value, "5");
    oid = "1.3.6.1.2.1.2.2.1.1";
    ASSERT_TRUE(SnmpQuery(client, oid, true, value));
    EXPECT_EQ(oid, "1.3.6.1.2.1.2.2.1.1.5");

    auto requests = agent.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].community, "my-community");
    EXPECT_EQ(requests[0].pduType, 0xA0);
    EXPECT_EQ(requests[0].oid, "1.3.6.1.2.1.2.1.0");
    EXPECT_EQ(requests[1].pduType, 0xA1);
    EXPECT_EQ(requests[1].oid, "1.3.6.1.2.1.2.2.1.1");
    for (const auto& r : requests) {
        EXPECT_EQ(r.valueTag, 0x04) << "bound to an OCTET STRING";
        EXPECT_EQ(r.value, "");
    }
}

TEST(SnmpQuery, ValueTextsByType)
{
    std::string next;
    FakeAgent agent([&](const Request&) { return Answer{0, "", next}; });
    TSnmpClient client("127.0.0.1", "public", 500, agent.port());
    const std::pair<std::string, std::string> cases[] = {
        {Int(-17), "-17"},
        {Encode(0x41, "\xff\xff\xff\xff"s), "4294967295"}, // Counter32
        {Encode(0x43, "\x01\x00"s), "256"},                // TimeTicks
        {EncodeOid("1.3.6.1.4.1.9"), "1.3.6.1.4.1.9"},
        {Str(std::string("a\0b", 3)), std::string("a\0b", 3)},
        {Encode(0x40, "\x0a\x00\x00\x01"s), "\x0a\x00\x00\x01"s},
        {Encode(0x05, ""), ""},
    };
    for (const auto& [tlv, text] : cases) {
        agent.Locked([&] { next = tlv; });
        std::string oid = "1.3.6.1.2.1.1.1.0", value = "unchanged";
        ASSERT_TRUE(SnmpQuery(client, oid, false, value));
        EXPECT_EQ(value, text);
    }
}

TEST(SnmpQuery, ErrorsExceptionsAndSilenceAreNoAnswer)
{
    std::optional<Answer> next;
    FakeAgent agent([&](const Request&) { return next; });
    TSnmpClient client("127.0.0.1", "public", 200, agent.port());
    std::string oid = "1.3.6.1.2.1.2.2.1.1", value = "kept";

    agent.Locked([&] { next = Answer{2, "", "", false}; }); // noSuchName, binding echoed
    EXPECT_FALSE(SnmpQuery(client, oid, true, value));
    agent.Locked([&] {
        next = Answer{0, "1.3.6.1.2.1.2.2.1.1.1", Encode(0x82, ""), false};
    }); // endOfMibView
    EXPECT_FALSE(SnmpQuery(client, oid, true, value));
    EXPECT_EQ(oid, "1.3.6.1.2.1.2.2.1.1");
    EXPECT_EQ(value, "kept");

    // A reply without a binding is an answer that changes nothing.
    agent.Locked([&] { next = Answer{0, "", "", true}; });
    EXPECT_TRUE(SnmpQuery(client, oid, true, value));
    EXPECT_EQ(oid, "1.3.6.1.2.1.2.2.1.1");
    EXPECT_EQ(value, "kept");

    agent.Locked([&] { next.reset(); });
    long long t0 = platform::MonotonicMs();
    EXPECT_FALSE(SnmpQuery(client, oid, false, value));
    long long ms = platform::MonotonicMs() - t0;
    EXPECT_GE(ms, 190);
    EXPECT_LE(ms, 600) << "one time-out, no retry";
    EXPECT_EQ(agent.requests().size(), 4u);
}

// A request of a thread that is terminated stops waiting at once, as
// unanswered, and the client goes on: the late reply to the request given up
// on is not taken for the reply to the next one.
TEST(SnmpQuery, ATerminatedThreadStopsWaitingAndTheLateReplyIsDropped)
{
    std::atomic<int> seen{0};
    std::atomic<bool> release{false};
    FakeAgent agent([&](const Request&) -> std::optional<Answer> {
        if (seen++ == 0) {
            while (!release)
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return Answer{0, "", Encode(0x04, "late")};
        }
        return Answer{0, "", Encode(0x04, "fresh")};
    });
    TSnmpClient client("127.0.0.1", "public", 20000, agent.port());

    struct TAsker : platform::TThread {
        explicit TAsker(TSnmpClient& C) : Client(C) {}
        void Execute() override
        {
            std::string oid = "1.3.6.1.2.1.1.5.0";
            Answered = SnmpQuery(Client, oid, false, Value);
        }
        TSnmpClient& Client;
        std::atomic<bool> Answered{true};
        std::string Value = "kept";
    } asker(client);
    asker.Resume();
    while (seen.load() == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const long long t0 = platform::MonotonicMs();
    asker.Terminate();
    asker.WaitFor();
    EXPECT_FALSE(asker.Answered);
    EXPECT_EQ(asker.Value, "kept");
    EXPECT_LT(platform::MonotonicMs() - t0, 10000) << "the 20 s time-out was sat out";

    release = true; // the late reply is on its way before the next request
    std::string oid = "1.3.6.1.2.1.1.5.0", value;
    ASSERT_TRUE(SnmpQuery(client, oid, false, value));
    EXPECT_EQ(value, "fresh");
    EXPECT_EQ(seen.load(), 2);
}

// Waiting for a reply that does not come sleeps in the kernel: the thread's
// processor time stays a small part of the time-out (a wait that polled
// without a time-out of its own would spend all of it).
TEST(SnmpQuery, WaitingForSilenceTakesNoProcessorTime)
{
    FakeAgent agent([](const Request&) { return std::optional<Answer>(); });
    TSnmpClient client("127.0.0.1", "public", 600, agent.port());
    const auto cpuMs = [] {
        rusage u{};
        ::getrusage(RUSAGE_THREAD, &u);
        return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000LL +
               (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1000;
    };
    std::string oid = "1.3.6.1.2.1.1.5.0", value;
    const long long before = cpuMs();
    EXPECT_FALSE(SnmpQuery(client, oid, false, value));
    EXPECT_LT(cpuMs() - before, 150);
}

TEST(SnmpQuery, BadInputRaises)
{
    FakeAgent agent([](const Request&) { return Answer{}; });
    TSnmpClient client("127.0.0.1", "public", 200, agent.port());
    for (const char* bad : {"", "1", "1.3.", ".1.3", "1..3", "1.3.x", "1.3.4294967296"}) {
        std::string oid = bad, value;
        EXPECT_THROW(SnmpQuery(client, oid, false, value), ESnmpError) << bad;
    }
    EXPECT_TRUE(agent.requests().empty());
    for (const char* host : {"", "udp6:[::1]", "127.0.0.1:161", "a b", "/tmp/sock"})
        EXPECT_THROW(TSnmpClient(host, "public", 200), ESnmpError) << host;
}

TEST(GetMacsBySnmp, TableFilteredAndAddedInWalkOrder)
{
    FakeAgent agent(
        Table(Join({{{"1.3.6.1.2.1.2.1.0", Int(5)}},
                    Interface(1, "lo", 24, std::string(6, '\0')),
                    Interface(2, "eth0", 6, "\x02\x00\x00\x00\x00\x02"s),
                    Interface(5, "empty", 6, ""),
                    Interface(6, "zeros", 6, std::string(6, '\0')),
                    Interface(8, std::string("wan\0\0", 5), 6, "\x00\x1a\x2b\x3c\x4d\x5e"s)})));
    TComputer computer;
    computer.AdapterList.push_back(MakeAdapter("", "aa-bb-cc-dd-ee-ff"));
    ASSERT_TRUE(GetMacsBySnmp("127.0.0.1", computer, "public", 500, agent.port()));
    ASSERT_EQ(computer.AdapterList.size(), 3u);
    EXPECT_EQ(computer.AdapterList[0]->Number, "aa-bb-cc-dd-ee-ff") << "earlier adapters stay";
    EXPECT_EQ(computer.AdapterList[1]->Number, "02-00-00-00-00-02");
    EXPECT_EQ(computer.AdapterList[1]->Name, "eth0");
    EXPECT_EQ(computer.AdapterList[2]->Number, "00-1A-2B-3C-4D-5E");
    EXPECT_EQ(computer.AdapterList[2]->Name, "wan");

    // 1 ifNumber, 5 walk steps, then three passes over five rows.
    auto requests = agent.requests();
    ASSERT_EQ(requests.size(), 1u + 5 + 15);
    EXPECT_EQ(requests[6].oid, kCol + "2.1");
    EXPECT_EQ(requests[11].oid, kCol + "3.1");
    EXPECT_EQ(requests[16].oid, kCol + "6.1");
    EXPECT_EQ(requests[20].oid, kCol + "6.8");
}

TEST(GetMacsBySnmp, OnlyHardwareAddressLengthsAreMacsAndNamesAreCapped)
{
    const std::string eui64 = "\x00\x11\x22\x33\x44\x55\x66\x77"s;
    const std::string ib(20, '\x5a');
    // 254 ASCII bytes and a two-byte character that would straddle the limit.
    const std::string longName = std::string(254, 'n') + "\xC3\xA9" + std::string(2000, 'x');
    FakeAgent agent(Table(Join({{{"1.3.6.1.2.1.2.1.0", Int(9)}},
                                Interface(1, "one byte", 6, "\x1a"s),
                                Interface(2, "seven", 6, "\x02\x00\x00\x00\x00\x00\x07"s),
                                Interface(3, "huge", 6, std::string(3000, '\x11')),
                                Interface(4, "eui64 on ethernet", 6, eui64),
                                Interface(5, "firewire", 144, eui64),
                                Interface(6, "infiniband", 199, ib),
                                Interface(7, "ib length on ethernet", 6, ib),
                                Interface(8, longName, 6, "\x02\x00\x00\x00\x00\x08"s),
                                Interface(9, "eth0", 6, "\x02\x00\x00\x00\x00\x09"s)})));
    TComputer computer;
    ASSERT_TRUE(GetMacsBySnmp("127.0.0.1", computer, "public", 500, agent.port()));
    ASSERT_EQ(computer.AdapterList.size(), 4u);
    EXPECT_EQ(computer.AdapterList[0]->Number, "00-11-22-33-44-55-66-77");
    EXPECT_EQ(computer.AdapterList[0]->Name, "firewire");
    EXPECT_EQ(computer.AdapterList[1]->Number, BytesToMacText(ib));
    EXPECT_EQ(computer.AdapterList[1]->Name, "infiniband");
    EXPECT_EQ(computer.AdapterList[2]->Number, "02-00-00-00-00-08");
    EXPECT_EQ(computer.AdapterList[2]->Name, std::string(254, 'n'));
    EXPECT_EQ(computer.AdapterList[3]->Number, "02-00-00-00-00-09");
    EXPECT_EQ(computer.AdapterList[3]->Name, "eth0");
}

TEST(GetMacsBySnmp, WalkThatFailsMidwayQueriesOnlyWhatItFound)
{
    std::vector<Row> rows = Join({{{"1.3.6.1.2.1.2.1.0", Int(3)}},
                                  Interface(1, "a", 6, "\x02\x00\x00\x00\x00\x01"s),
                                  Interface(2, "b", 6, "\x02\x00\x00\x00\x00\x02"s),
                                  Interface(3, "c", 6, "\x02\x00\x00\x00\x00\x03"s)});
    auto table = Table(rows);
    FakeAgent agent([&](const Request& r) -> std::optional<Answer> {
        if (r.pduType == 0xA1 && r.oid == kCol + "1.2")
            return std::nullopt; // the third step is lost
        return table(r);
    });
    TComputer computer;
    ASSERT_TRUE(GetMacsBySnmp("127.0.0.1", computer, "public", 200, agent.port()));
    ASSERT_EQ(computer.AdapterList.size(), 2u);
    EXPECT_EQ(computer.AdapterList[1]->Name, "b");
    for (const auto& r : agent.requests())
        EXPECT_EQ(r.oid.find(kCol + "2.3"), std::string::npos) << "row 3 was never found";
}

TEST(GetMacsBySnmp, LyingAgentsCannotKeepTheWalkGoing)
{
    // Answers every get-next with the same row: a walk must not circle.
    FakeAgent circling([](const Request& r) -> std::optional<Answer> {
        if (r.oid == "1.3.6.1.2.1.2.1.0")
            return Answer{0, "", Int(2147483647)};
        if (r.pduType == 0xA1)
            return Answer{0, kCol + "1.1", Int(1)};
        if (r.oid == kCol + "6.1")
            return Answer{0, "", Str("\x02\x00\x00\x00\x00\x07"s)};
        return Answer{0, "", Int(6)};
    });
    TComputer computer;
    ASSERT_TRUE(GetMacsBySnmp("127.0.0.1", computer, "public", 300, circling.port()));
    EXPECT_EQ(computer.AdapterList.size(), 1u);
    EXPECT_LE(circling.requests().size(), 6u);

    // One that never leaves the column: the count is capped.
    FakeAgent endless([](const Request& r) -> std::optional<Answer> {
        if (r.oid == "1.3.6.1.2.1.2.1.0")
            return Answer{0, "", Int(2147483647)};
        if (r.pduType == 0xA1) {
            unsigned long next =
                r.oid == kCol + "1" ? 1 : std::stoul(r.oid.substr(kCol.size() + 2)) + 1;
            return Answer{0, kCol + "1." + std::to_string(next), Int(-1)};
        }
        return Answer{2, "", "", false};
    });
    TComputer none;
    EXPECT_FALSE(GetMacsBySnmp("127.0.0.1", none, "public", 300, endless.port()));
    EXPECT_EQ(endless.requests().size(), 1u + SnmpMaxInterfaces);
}

TEST(GetMacsBySnmp, IfNumberThatIsNoNumberStopsAtOnce)
{
    for (const std::string& tlv : {Str("many"), Str(""), Int(0), Int(-1), Int(4294967296LL)}) {
        FakeAgent agent([&](const Request&) { return Answer{0, "", tlv}; });
        TComputer computer;
        EXPECT_FALSE(GetMacsBySnmp("127.0.0.1", computer, "public", 300, agent.port()));
        EXPECT_EQ(agent.requests().size(), 1u);
    }
}

TEST(GetMacsBySnmp, ManyThreadsAtOnce)
{
    FakeAgent agent(Table(Join({{{"1.3.6.1.2.1.2.1.0", Int(2)}},
                                Interface(1, "lo", 24, ""),
                                Interface(2, "eth0", 6, "\x02\x00\x00\x00\x00\x02"s)})));
    std::atomic<int> good{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 32; ++i)
        threads.emplace_back([&] {
            TComputer computer;
            if (GetMacsBySnmp("127.0.0.1", computer, "public", 2000, agent.port()) &&
                computer.AdapterList.size() == 1 &&
                computer.AdapterList[0]->Number == "02-00-00-00-00-02")
                ++good;
        });
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(good, 32);
}

} // namespace
