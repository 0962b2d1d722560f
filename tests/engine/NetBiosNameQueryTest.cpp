// The NetBIOS name query that finds the address of a name DNS does not know:
// the query's bytes, the bounds-checked reading of answers, and the exchange
// with stand-in name servers on loopback addresses.
#include "engine/NetBiosNodeStatus.h"
#include "platform/Sockets.h"
#include "tests/support/LoopbackUdpPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>

namespace {

// The 16 name bytes a query carries, decoded from the first-level encoding.
std::string DecodedName(const std::vector<uint8_t>& Query)
{
    std::string raw;
    for (std::size_t i = 13; i + 1 < 45; i += 2)
        raw += static_cast<char>(((Query[i] - 'A') << 4) | (Query[i + 1] - 'A'));
    return raw;
}

// A positive answer to Query carrying the given 6-byte address entries
// (NB_FLAGS, then the address); RdLength < 0: the entries' true length.
std::vector<uint8_t> Answer(const std::vector<uint8_t>& Query,
                            const std::vector<std::string>& Addresses, int RdLength = -1)
{
    // Header: the query's id, response + authoritative answer, one answer.
    const uint8_t head[] = {Query[0], Query[1], 0x85, 0x00, 0, 0, 0, 1, 0, 0, 0, 0};
    // Type NB, class IN, a TTL of 300000 s.
    const uint8_t record[] = {0x00, 0x20, 0x00, 0x01, 0x00, 0x04, 0x93, 0xE0};
    std::vector<uint8_t> r(std::begin(head), std::end(head));
    for (std::size_t i = 12; i < 46; ++i) // the name as asked
        r.push_back(Query[i]);
    for (const uint8_t b : record)
        r.push_back(b);
    const std::size_t len = RdLength < 0 ? Addresses.size() * 6 : std::size_t(RdLength);
    r.push_back(static_cast<uint8_t>(len >> 8));
    r.push_back(static_cast<uint8_t>(len));
    for (const std::string& a : Addresses) {
        in_addr in{};
        ::inet_pton(AF_INET, a.c_str(), &in);
        r.push_back(0x00); // NB_FLAGS: unique, B node
        r.push_back(0x00);
        const auto* b = reinterpret_cast<const uint8_t*>(&in.s_addr);
        for (int i = 0; i < 4; ++i)
            r.push_back(b[i]);
    }
    return r;
}

std::string Parse(const std::vector<uint8_t>& Query, const std::vector<uint8_t>& Reply)
{
    std::string ip = "stale";
    const bool ok = ParseNetBiosNameQueryReply(Query, Reply.data(), Reply.size(), ip);
    EXPECT_EQ(ok, !ip.empty());
    return ip;
}

} // namespace

TEST(NetBiosNameQuery, QueryAsksForTheWorkstationName)
{
    const std::vector<uint8_t> q = BuildNetBiosNameQuery("alpha-1", 0x1234, true);
    ASSERT_EQ(q.size(), 50u);
    const std::vector<uint8_t> header = {0x12, 0x34, 0x01, 0x10, 0, 1, 0, 0, 0, 0, 0, 0, 0x20};
    EXPECT_EQ(std::vector<uint8_t>(q.begin(), q.begin() + 13), header);
    EXPECT_EQ(DecodedName(q), std::string("ALPHA-1        \0", 16));
    for (std::size_t i = 13; i < 45; ++i)
        EXPECT_TRUE(q[i] >= 'A' && q[i] <= 'P') << i;
    EXPECT_EQ(std::vector<uint8_t>(q.begin() + 45, q.end()),
              (std::vector<uint8_t>{0x00, 0x00, 0x20, 0x00, 0x01})); // type NB, class IN

    // Sent to one name server the B flag is clear; nothing else differs.
    std::vector<uint8_t> unicast = BuildNetBiosNameQuery("alpha-1", 0x1234, false);
    EXPECT_EQ(unicast[3], 0x00);
    unicast[3] = 0x10;
    EXPECT_EQ(unicast, q);
    EXPECT_EQ(DecodedName(BuildNetBiosNameQuery("FIFTEEN-LETTERS", 1, true)),
              std::string("FIFTEEN-LETTERS\0", 16));
}

TEST(NetBiosNameQuery, NamesThatCannotBeAskedForGiveNoQuery)
{
    for (const std::string& name :
         {std::string(), std::string("SIXTEEN-LETTERS!"), std::string("host.example"),
          std::string("*"), std::string("TWO WORDS"), std::string("TAB\tNAME"),
          std::string("NUL\0NAME", 8), std::string("DEL\x7F")}) {
        EXPECT_FALSE(IsNetBiosQueryName(name)) << name;
        EXPECT_TRUE(BuildNetBiosNameQuery(name, 7, true).empty()) << name;
    }
    EXPECT_TRUE(IsNetBiosQueryName("PC_7$"));
}

TEST(NetBiosNameQuery, PositiveAnswerGivesItsFirstUsableAddress)
{
    const std::vector<uint8_t> q = BuildNetBiosNameQuery("ALPHA", 0xBEEF, false);
    EXPECT_EQ(Parse(q, Answer(q, {"10.1.2.3"})), "10.1.2.3");
    // A multi-homed node lists several; 0.0.0.0 and 255.255.255.255 are no host.
    EXPECT_EQ(Parse(q, Answer(q, {"0.0.0.0", "255.255.255.255", "10.9.8.7", "10.1.1.1"})),
              "10.9.8.7");
    EXPECT_EQ(Parse(q, Answer(q, {"0.0.0.0"})), "");
    // Bytes after the record (an additional section) do not matter.
    std::vector<uint8_t> longer = Answer(q, {"10.1.2.3"});
    longer.insert(longer.end(), 20, 0xFF);
    EXPECT_EQ(Parse(q, longer), "10.1.2.3");
}

TEST(NetBiosNameQuery, EveryCutOfAnAnswerIsRefused)
{
    const std::vector<uint8_t> q = BuildNetBiosNameQuery("ALPHA", 0xBEEF, false);
    const std::vector<uint8_t> full = Answer(q, {"10.1.2.3", "10.1.2.4"});
    for (std::size_t len = 0; len < full.size(); ++len) {
        const std::vector<uint8_t> cut(full.begin(), full.begin() + len);
        EXPECT_EQ(Parse(q, cut), "") << "length " << len;
    }
    // A record that claims more address bytes than came is refused whole.
    std::vector<uint8_t> claims = Answer(q, {"10.1.2.3"}, 12);
    EXPECT_EQ(Parse(q, claims), "");
    EXPECT_EQ(Parse(q, Answer(q, {"10.1.2.3"}, 5)), "") << "no whole entry";
    std::string ip = "stale";
    EXPECT_FALSE(ParseNetBiosNameQueryReply(q, nullptr, 100, ip));
    EXPECT_FALSE(ParseNetBiosNameQueryReply({}, full.data(), full.size(), ip));
    EXPECT_EQ(ip, "");
}

TEST(NetBiosNameQuery, AnswersToAnythingElseAreRefused)
{
    const std::vector<uint8_t> q = BuildNetBiosNameQuery("ALPHA", 0xBEEF, false);
    const std::vector<uint8_t> good = Answer(q, {"10.1.2.3"});
    ASSERT_EQ(Parse(q, good), "10.1.2.3");
    struct Lie {
        const char* What;
        std::size_t At;
        uint8_t Value;
    };
    const Lie lies[] = {
        {"other transaction id", 1, 0xEE},
        {"other transaction id", 0, 0x00},
        {"a query, not a response", 2, 0x05},
        {"opcode registration", 2, 0x85 | (5 << 3)},
        {"negative answer: no such name", 3, 0x03},
        {"negative answer: server failure", 3, 0x02},
        {"no answer record", 7, 0x00},
        {"another name", 14, 'C'},
        {"another suffix", 44, 'B'},
        {"type NBSTAT", 47, 0x21},
        {"type high byte", 46, 0x01},
        {"class", 49, 0x02},
    };
    for (const Lie& lie : lies) {
        std::vector<uint8_t> bad = good;
        bad[lie.At] = lie.Value;
        EXPECT_EQ(Parse(q, bad), "") << lie.What;
    }
    // The query itself, looped back by a broadcast, is no answer.
    EXPECT_EQ(Parse(q, q), "");
    EXPECT_EQ(Parse(BuildNetBiosNameQuery("BETA", 0xBEEF, false), good), "");
}

// --- The exchange with stand-in name servers on loopback -------------------

namespace {

// A name server on a loopback address and a port of its own choosing.
class FakeNameServer : public LoopbackUdpPeer {
public:
    explicit FakeNameServer(const char* At) : LoopbackUdpPeer(At) {}
    TNetBiosQueryTarget Target() const { return {Address, Port, false}; }
};

} // namespace

TEST(NetBiosNameExchange, SkipsWhatIsNoAnswerAndTakesThePositiveOne)
{
    FakeNameServer server("127.0.0.81");
    ASSERT_TRUE(server.Bound) << std::strerror(errno);
    server.Serve([](const std::vector<uint8_t>& q) {
        std::vector<uint8_t> otherId = Answer(q, {"10.6.6.6"});
        otherId[1] ^= 0xFF;
        std::vector<uint8_t> negative = Answer(q, {});
        negative[3] = 0x03;
        return std::vector<std::vector<uint8_t>>{
            otherId, {1, 2, 3}, negative, Answer(q, {"10.5.0.9"})};
    });
    std::string ip = "stale";
    QueryNetBiosNameAddress("alpha", {server.Target()}, 3000, ip);
    server.Worker.join();
    EXPECT_EQ(ip, "10.5.0.9");
    // What went out is the unicast query for the upper-cased name.
    ASSERT_EQ(server.Request.size(), 50u);
    const uint16_t id = static_cast<uint16_t>((server.Request[0] << 8) | server.Request[1]);
    EXPECT_EQ(server.Request, BuildNetBiosNameQuery("ALPHA", id, false));
}

TEST(NetBiosNameExchange, EveryTargetIsAskedAndSilenceEndsWithTheTimeout)
{
    FakeNameServer silent("127.0.0.82");
    FakeNameServer answering("127.0.0.83");
    ASSERT_TRUE(silent.Bound && answering.Bound);
    silent.Serve([](const std::vector<uint8_t>&) { return std::vector<std::vector<uint8_t>>{}; });
    answering.Serve([](const std::vector<uint8_t>& q) {
        return std::vector<std::vector<uint8_t>>{Answer(q, {"10.5.0.10"})};
    });
    std::string ip;
    QueryNetBiosNameAddress("BETA", {silent.Target(), answering.Target()}, 3000, ip);
    EXPECT_EQ(ip, "10.5.0.10");
    silent.Worker.join();
    EXPECT_EQ(silent.Request.size(), 50u) << "the silent server was asked too";

    // Nobody answers: an empty address once the time-out has passed.
    FakeNameServer mute("127.0.0.84");
    ASSERT_TRUE(mute.Bound);
    mute.Serve([](const std::vector<uint8_t>&) { return std::vector<std::vector<uint8_t>>{}; });
    const long long start = platform::MonotonicMs();
    ip = "stale";
    QueryNetBiosNameAddress("GAMMA", {mute.Target()}, 300, ip);
    const long long took = platform::MonotonicMs() - start;
    EXPECT_EQ(ip, "");
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 2000);
}

TEST(NetBiosNameExchange, NamesThatCannotBeAskedForSendNothing)
{
    FakeNameServer server("127.0.0.85");
    ASSERT_TRUE(server.Bound);
    const long long start = platform::MonotonicMs();
    std::string ip = "stale";
    QueryNetBiosNameAddress("host.example", {server.Target()}, 3000, ip);
    EXPECT_EQ(ip, "");
    ip = "stale";
    QueryNetBiosNameAddress("ALPHA", {}, 3000, ip);
    EXPECT_EQ(ip, "");
    EXPECT_LT(platform::MonotonicMs() - start, 500);
    EXPECT_NE(platform::WaitFor(server.Sock.get(), POLLIN, 0), platform::WaitResult::Ready);
}
