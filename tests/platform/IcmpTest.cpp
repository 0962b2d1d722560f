#include "platform/Icmp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <vector>

using platform::ClassifyEchoMessage;
using platform::EchoIdentity;
using platform::EchoMatch;

namespace {

in_addr_t Ip(const char* text)
{
    in_addr a{};
    ::inet_pton(AF_INET, text, &a);
    return a.s_addr;
}

const in_addr_t Target = Ip("10.9.8.7");
const in_addr_t Other = Ip("10.9.8.6");
const EchoIdentity Me{0x1234, 0xBEEF};

std::vector<uint8_t> Icmp(uint8_t type, uint8_t code, EchoIdentity id, std::size_t data = 32)
{
    std::vector<uint8_t> m = {type,
                              code,
                              0,
                              0,
                              uint8_t(id.Id >> 8),
                              uint8_t(id.Id),
                              uint8_t(id.Sequence >> 8),
                              uint8_t(id.Sequence)};
    m.resize(8 + data, 0);
    return m;
}

std::vector<uint8_t> Ipv4(in_addr_t src, in_addr_t dst, const std::vector<uint8_t>& payload,
                          std::size_t optionWords = 0, uint8_t protocol = 1)
{
    std::vector<uint8_t> h(20 + 4 * optionWords, 0);
    h[0] = static_cast<uint8_t>(0x40 | (5 + optionWords));
    h[8] = 64;
    h[9] = protocol;
    std::memcpy(&h[12], &src, 4);
    std::memcpy(&h[16], &dst, 4);
    h.insert(h.end(), payload.begin(), payload.end());
    return h;
}

EchoMatch Raw(const std::vector<uint8_t>& m, in_addr_t from = Target, EchoIdentity id = Me)
{
    return ClassifyEchoMessage(m.data(), m.size(), true, from, Target, id);
}

EchoMatch Dgram(const std::vector<uint8_t>& m, in_addr_t from = Target, EchoIdentity id = Me)
{
    return ClassifyEchoMessage(m.data(), m.size(), false, from, Target, id);
}

// An error message about a request with identity `about` to `dst`.
std::vector<uint8_t> ErrorAbout(uint8_t type, in_addr_t dst, EchoIdentity about,
                                std::size_t quoted = 8)
{
    std::vector<uint8_t> request = Icmp(8, 0, about, 0);
    request.resize(quoted);
    std::vector<uint8_t> m = Icmp(type, 1, {0, 0}, 0);
    const std::vector<uint8_t> q = Ipv4(Ip("10.9.8.1"), dst, request);
    m.insert(m.end(), q.begin(), q.end());
    return m;
}

class IcmpSockets : public ::testing::Test {
protected:
    void TearDown() override { platform::SetIcmpSocketOpener({}); }
    // The raw path only: this host's ping_group_range decides the datagram one.
    static void RawOnly()
    {
        platform::SetIcmpSocketOpener([](platform::IcmpSocketKind kind) {
            if (kind == platform::IcmpSocketKind::Datagram) {
                errno = EACCES;
                return -1;
            }
            return ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        });
    }
    static bool RawAvailable()
    {
        const int fd = ::socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (fd < 0)
            return false;
        ::close(fd);
        return true;
    }
};

} // namespace

TEST(EchoReplyMatching, OnlyOurReplyFromTheTarget)
{
    EXPECT_EQ(Dgram(Icmp(0, 0, Me)), EchoMatch::Ours);
    EXPECT_EQ(Raw(Ipv4(Target, Ip("10.0.0.1"), Icmp(0, 0, Me))), EchoMatch::Ours);

    EXPECT_EQ(Dgram(Icmp(0, 0, Me), Other), EchoMatch::NotOurs);             // other host
    EXPECT_EQ(Dgram(Icmp(0, 0, {0x1235, Me.Sequence})), EchoMatch::NotOurs); // other id
    EXPECT_EQ(Dgram(Icmp(0, 0, {Me.Id, 0xBEEE})), EchoMatch::NotOurs);       // other sequence
    EXPECT_EQ(Dgram(Icmp(8, 0, Me)), EchoMatch::NotOurs);                    // our own request
    EXPECT_EQ(Dgram(Icmp(0, 1, Me)), EchoMatch::NotOurs);                    // bad code
    EXPECT_EQ(Raw(Ipv4(Other, Target, Icmp(0, 0, Me)), Other), EchoMatch::NotOurs);
    EXPECT_EQ(ClassifyEchoMessage(nullptr, 40, true, Target, Target, Me), EchoMatch::NotOurs);
}

TEST(EchoReplyMatching, RawHeaderIsReadByItsLength)
{
    // IP options move the ICMP header; its stated length is honoured.
    EXPECT_EQ(Raw(Ipv4(Target, 0, Icmp(0, 0, Me), 3)), EchoMatch::Ours);
    std::vector<uint8_t> m = Ipv4(Target, 0, Icmp(0, 0, Me));
    m[0] = 0x4F; // claims 60 bytes of header: the reply is not where it says
    EXPECT_EQ(Raw(m), EchoMatch::NotOurs);
    m[0] = 0x44; // shorter than the minimum
    EXPECT_EQ(Raw(m), EchoMatch::NotOurs);
    m[0] = 0x65; // not IPv4
    EXPECT_EQ(Raw(m), EchoMatch::NotOurs);
    EXPECT_EQ(Raw(Ipv4(Target, 0, Icmp(0, 0, Me), 0, 17)), EchoMatch::NotOurs); // UDP
}

TEST(EchoReplyMatching, EveryTruncation)
{
    const std::vector<uint8_t> raw = Ipv4(Target, 0, Icmp(0, 0, Me));
    for (std::size_t len = 0; len <= raw.size(); ++len)
        EXPECT_EQ(ClassifyEchoMessage(raw.data(), len, true, Target, Target, Me),
                  len >= 28 ? EchoMatch::Ours : EchoMatch::NotOurs)
            << len;
    const std::vector<uint8_t> err = ErrorAbout(3, Target, Me);
    for (std::size_t len = 0; len <= err.size(); ++len)
        EXPECT_EQ(ClassifyEchoMessage(err.data(), len, false, Other, Target, Me),
                  len == err.size() ? EchoMatch::Unreachable : EchoMatch::NotOurs)
            << len;
}

TEST(EchoReplyMatching, ErrorsCountOnlyWhenTheyQuoteOurRequest)
{
    // Errors come from routers or from this host, never from the target.
    EXPECT_EQ(Dgram(ErrorAbout(3, Target, Me), Other), EchoMatch::Unreachable);
    EXPECT_EQ(Dgram(ErrorAbout(11, Target, Me), Other), EchoMatch::Unreachable);
    EXPECT_EQ(Raw(Ipv4(Other, 0, ErrorAbout(3, Target, Me)), Other), EchoMatch::Unreachable);

    EXPECT_EQ(Dgram(ErrorAbout(3, Other, Me)), EchoMatch::NotOurs); // another host's request
    EXPECT_EQ(Dgram(ErrorAbout(3, Target, {Me.Id, 1})), EchoMatch::NotOurs);
    EXPECT_EQ(Dgram(ErrorAbout(3, Target, {7, Me.Sequence})), EchoMatch::NotOurs);
    EXPECT_EQ(Dgram(ErrorAbout(3, Target, Me, 4)), EchoMatch::NotOurs); // quote too short
    EXPECT_EQ(Dgram(ErrorAbout(5, Target, Me)), EchoMatch::NotOurs);    // a redirect
}

TEST(EchoChecksum, Rfc1071Example)
{
    const uint8_t words[] = {0x00, 0x01, 0xf2, 0x03, 0xf4, 0xf5, 0xf6, 0xf7};
    const uint16_t sum = platform::InternetChecksum(words, sizeof words);
    uint8_t wire[2];
    std::memcpy(wire, &sum, 2);
    EXPECT_EQ(wire[0], 0x22);
    EXPECT_EQ(wire[1], 0x0d);
    // An odd length pads with a zero byte: 0x01 0x02 0x03 sums as 0x0102 + 0x0300.
    const uint8_t odd[] = {0x01, 0x02, 0x03};
    const uint16_t oddSum = platform::InternetChecksum(odd, sizeof odd);
    std::memcpy(wire, &oddSum, 2);
    EXPECT_EQ((wire[0] << 8) | wire[1], 0xFFFF - 0x0402);
}

TEST(EchoIdentities, DistinctAcrossCallsAndThreads)
{
    constexpr int threads = 8, perThread = 2000;
    std::mutex lock;
    std::set<uint16_t> ids;
    std::set<uint16_t> sequences;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&] {
            std::vector<EchoIdentity> mine;
            for (int i = 0; i < perThread; ++i)
                mine.push_back(platform::NextEchoIdentity());
            std::lock_guard<std::mutex> hold(lock);
            for (const EchoIdentity& e : mine) {
                ids.insert(e.Id);
                sequences.insert(e.Sequence);
            }
        });
    for (auto& th : pool)
        th.join();
    EXPECT_EQ(ids.size(), std::size_t(threads * perThread));
    // Sequences are spread, not a constant.
    EXPECT_GT(sequences.size(), std::size_t(threads * perThread / 2));
}

TEST_F(IcmpSockets, LoopbackEchoOverTheRawSocket)
{
    if (!RawAvailable())
        GTEST_SKIP() << "no CAP_NET_RAW";
    RawOnly();
    const platform::EchoOutcome o = platform::IcmpEcho(Ip("127.0.0.1"), 2000);
    EXPECT_TRUE(o.Answered);
    EXPECT_EQ(o.Kind, platform::IcmpSocketKind::Raw);
    EXPECT_GE(o.RoundTripMs, 0);
    EXPECT_LT(o.RoundTripMs, 2000);
}

TEST_F(IcmpSockets, ParallelRawEchoesEachGetTheirOwnReply)
{
    if (!RawAvailable())
        GTEST_SKIP() << "no CAP_NET_RAW";
    RawOnly();
    // Every raw ICMP socket sees every reply on the host; each call must take
    // its own and still find it. The wait is generous: a loopback reply comes
    // at once, but a thread of a fully loaded test machine can sit unscheduled
    // for more than a second, and a late reply is not the fault looked for.
    constexpr int threads = 8, perThread = 25;
    std::mutex lock;
    std::set<uint16_t> ids;
    int answered = 0;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            const std::string ip = "127.0.0." + std::to_string(t + 1);
            for (int i = 0; i < perThread; ++i) {
                const platform::EchoOutcome o = platform::IcmpEcho(Ip(ip.c_str()), 8000);
                std::lock_guard<std::mutex> hold(lock);
                ids.insert(o.Identity.Id);
                answered += o.Answered ? 1 : 0;
            }
        });
    for (auto& th : pool)
        th.join();
    EXPECT_EQ(answered, threads * perThread);
    EXPECT_EQ(ids.size(), std::size_t(threads * perThread));
}

TEST_F(IcmpSockets, NeitherSocketIsAnError)
{
    int opened = 0;
    platform::SetIcmpSocketOpener([&](platform::IcmpSocketKind kind) {
        ++opened;
        errno = kind == platform::IcmpSocketKind::Datagram ? EACCES : EPERM;
        return -1;
    });
    try {
        platform::IcmpEcho(Ip("127.0.0.1"), 100);
        FAIL() << "no exception";
    } catch (const platform::EIcmpUnavailable& e) {
        EXPECT_NE(std::string(e.what()).find("ping_group_range"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("CAP_NET_RAW"), std::string::npos) << e.what();
    }
    EXPECT_EQ(opened, 2);
    // An exhausted descriptor table says so, without a misleading hint.
    platform::SetIcmpSocketOpener([](platform::IcmpSocketKind) {
        errno = EMFILE;
        return -1;
    });
    try {
        platform::IcmpEcho(Ip("127.0.0.1"), 100);
        FAIL() << "no exception";
    } catch (const platform::EIcmpUnavailable& e) {
        EXPECT_NE(std::string(e.what()).find(std::strerror(EMFILE)), std::string::npos);
        EXPECT_EQ(std::string(e.what()).find("CAP_NET_RAW"), std::string::npos);
    }
}
