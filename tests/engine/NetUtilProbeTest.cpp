// Probes and lookups against this machine's loopback only.
#include "engine/DetectOS.h"
#include "engine/NetBiosNodeStatus.h"
#include "engine/NetUtil.h"
#include "platform/Sockets.h"
#include "tests/support/LoopbackUdpPeer.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace {

// A name that fails inside the resolver library: a label longer than 63
// bytes cannot be put into a DNS query, so no query leaves the machine.
const std::string UnresolvableName = std::string(64, 'x') + ".invalid";

sockaddr_in Loopback(const char* ip, uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    ::inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A TCP socket bound to a loopback port; listening or not.
struct TcpPort {
    platform::Socket Sock;
    uint16_t Port = 0;
    explicit TcpPort(bool listening)
    {
        Sock.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        sockaddr_in a = Loopback("127.0.0.1", 0);
        EXPECT_EQ(::bind(Sock.get(), reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        if (listening) {
            EXPECT_EQ(::listen(Sock.get(), 8), 0);
        }
        socklen_t len = sizeof a;
        ::getsockname(Sock.get(), reinterpret_cast<sockaddr*>(&a), &len);
        Port = ntohs(a.sin_port);
    }
};

std::string CommandOutput(const char* command)
{
    std::string out;
    FILE* p = ::popen(command, "r");
    if (p == nullptr)
        return out;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p))
        out += buf;
    ::pclose(p);
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return out;
}

class CountingOpener : public ::testing::Test {
protected:
    std::atomic<int> Opens{0};
    void SetUp() override
    {
        platform::SetIcmpSocketOpener([this](platform::IcmpSocketKind) {
            ++Opens;
            errno = EACCES;
            return -1;
        });
    }
    void TearDown() override { platform::SetIcmpSocketOpener({}); }
};

} // namespace

TEST(TcpProbe, OpenPortGivesATimeBelowTheTimeout)
{
    TcpPort open(true);
    const int t = TcpConnectTime("127.0.0.1", 2000, open.Port);
    EXPECT_GE(t, 0);
    EXPECT_LT(t, 2000);
    // The library's short forms are addresses too: 127.1 is 127.0.0.1.
    EXPECT_LT(CheckTcpPort("127.1", 2000, open.Port), 2000);
}

TEST(TcpProbe, RefusedPortIsNoAnswerAtOnce)
{
    // Bound but not listening: the kernel answers with a reset, which poll
    // reports as "ready" - it must not count as a connection.
    TcpPort closed(false);
    const long long start = platform::MonotonicMs();
    EXPECT_EQ(TcpConnectTime("127.0.0.1", 3000, closed.Port), NoAnswer);
    EXPECT_LT(platform::MonotonicMs() - start, 1500);
    EXPECT_EQ(CheckTcpPort("127.0.0.1", 3000, closed.Port), NoAnswer);
}

TEST(TcpProbe, TextThatIsNoAddressIsNoAnswer)
{
    TcpPort open(true);
    EXPECT_EQ(TcpConnectTime("localhost", 1000, open.Port), NoAnswer);
    EXPECT_EQ(TcpConnectTime("255.255.255.255", 1000, open.Port), NoAnswer);
    EXPECT_EQ(TcpConnectTime("", 1000, open.Port), NoAnswer);
}

TEST(TcpProbe, NonBlockingSocketOpenAndClose)
{
    const int fd = OpenNonBlockingTcpSocket();
    ASSERT_GE(fd, 0);
    EXPECT_NE(::fcntl(fd, F_GETFL) & O_NONBLOCK, 0);
    int type = 0;
    socklen_t len = sizeof type;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len), 0);
    EXPECT_EQ(type, SOCK_STREAM);
    CloseNonBlockingSocket(fd);
    errno = 0;
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    CloseNonBlockingSocket(-1); // passed over
}

TEST_F(CountingOpener, PingOfANameThatDoesNotResolveSendsNothing)
{
    EXPECT_EQ(PingHost(UnresolvableName, 500), NoAnswer);
    EXPECT_EQ(PingHost("", 500), NoAnswer);
    EXPECT_EQ(PingHost("255.255.255.255", 500), NoAnswer);
    EXPECT_EQ(Opens.load(), 0);
}

TEST_F(CountingOpener, PingWithoutAnyIcmpSocketRaisesAClearError)
{
    try {
        PingHost("127.0.0.1", 500);
        FAIL() << "no exception";
    } catch (const platform::EIcmpUnavailable& e) {
        const std::string text = e.what();
        EXPECT_NE(text.find("ICMP echo is not available"), std::string::npos) << text;
        EXPECT_NE(text.find("ping_group_range"), std::string::npos) << text;
        EXPECT_NE(text.find("CAP_NET_RAW"), std::string::npos) << text;
    }
    EXPECT_EQ(Opens.load(), 2); // datagram, then raw
    // The failure is not a name failure: a name that resolves raises too.
    EXPECT_THROW(PingHost("localhost", 500), platform::EIcmpUnavailable);
}

TEST(Names, ResolveThroughTheHostsFile)
{
    std::string ip = "stale";
    HostNameToIP("localhost", ip);
    EXPECT_EQ(ip, "127.0.0.1");
    HostNameToIP(UnresolvableName, ip);
    EXPECT_EQ(ip, "");
    HostNameToIP("", ip);
    EXPECT_EQ(ip, "");

    std::string name = "stale";
    IPToHostName("127.0.0.1", name);
    EXPECT_EQ(name, "localhost");
    name = "stale";
    IPToHostName("no address", name);
    EXPECT_EQ(name, "");
}

TEST(Names, LocalComputerAndUser)
{
    std::string name;
    GetLocalComputerName(name);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name, CommandOutput("cat /proc/sys/kernel/hostname"));
    GetLocalUserName(name);
    EXPECT_FALSE(name.empty());
    EXPECT_EQ(name, CommandOutput("id -un"));
}

TEST(Names, AddressListsJoinWithComma)
{
    EXPECT_EQ(VarArrayToStr({}), "");
    EXPECT_EQ(VarArrayToStr({"10.0.0.1"}), "10.0.0.1");
    EXPECT_EQ(VarArrayToStr({"10.0.0.1", "fe80::1", ""}), "10.0.0.1, fe80::1, ");
}

TEST(DetectOS, AnswersAsTheVistaLevel)
{
    EXPECT_TRUE(IsWindowsVistaOrGreater());
    EXPECT_TRUE(IsWindowsVistaOrLater());
    EXPECT_TRUE(IsWindowsVersionOrGreater(6, 0, 0));
    EXPECT_TRUE(IsWindowsVersionOrGreater(0, 0, 0));
    EXPECT_TRUE(IsWindowsVersionOrGreater(5, 1, 3));
    // The major version decides first: 5.99 SP 99 is still below 6.0.
    EXPECT_TRUE(IsWindowsVersionOrGreater(5, 99, 99));
    EXPECT_FALSE(IsWindowsVersionOrGreater(6, 0, 1));
    EXPECT_FALSE(IsWindowsVersionOrGreater(6, 1, 0));
    EXPECT_FALSE(IsWindowsVersionOrGreater(10, 0, 0));
}

// --- NetBIOS exchange with a stand-in node on a loopback address -----------

namespace {

// Answers node-status requests on Address:137 the way the test asks.
class FakeNode : public LoopbackUdpPeer {
public:
    explicit FakeNode(const char* At) : LoopbackUdpPeer(At, NetBiosNamePort) {}
};

std::vector<uint8_t> NodeReply(const std::string& name, uint8_t idLow = 0xBE)
{
    std::vector<uint8_t> r = {0x80, idLow, 0x84, 0x00, 0x00, 0x00, 0x00, 0x01,
                              0,    0,     0,    0,    0x20, 'C',  'K'};
    r.insert(r.end(), 30, 'A');
    r.insert(r.end(), {0x00, 0x00, 0x21, 0x00, 0x01, 0, 0, 0, 0, 0x00, 0x41, 0x02});
    std::string padded = "WORKGROUP";
    padded.resize(15, ' ');
    r.insert(r.end(), padded.begin(), padded.end());
    r.insert(r.end(), {0x00, 0x84, 0x00});
    padded = name;
    padded.resize(15, ' ');
    r.insert(r.end(), padded.begin(), padded.end());
    r.insert(r.end(), {0x00, 0x04, 0x00});
    r.insert(r.end(), {0x02, 0x11, 0x22, 0x33, 0x44, 0x55});
    return r;
}

} // namespace

TEST(NetBiosExchange, SendsTheRequestAndSkipsDatagramsThatAreNoAnswer)
{
    FakeNode node("127.0.0.77");
    ASSERT_TRUE(node.Bound) << "cannot bind 127.0.0.77:137: " << std::strerror(errno);
    // A stray datagram with another transaction id comes first.
    node.ServeAnswers(
        {NodeReply("IMPOSTOR", 0xBF), std::vector<uint8_t>{1, 2, 3}, NodeReply("PC-LOOP")});
    std::string name;
    QueryNetBiosName(node.Address, 3000, name);
    node.Worker.join();
    EXPECT_EQ(name, "PC-LOOP");
    EXPECT_EQ(node.Request, std::vector<uint8_t>(NetBiosNodeStatusRequest.begin(),
                                                 NetBiosNodeStatusRequest.end()));
}

TEST(NetBiosExchange, SilentNodeGivesAnEmptyNameAfterTheTimeout)
{
    FakeNode node("127.0.0.78");
    ASSERT_TRUE(node.Bound);
    node.ServeAnswers({});
    const long long start = platform::MonotonicMs();
    std::string name = "stale";
    GetNetBiosName(node.Address, 300, name);
    const long long took = platform::MonotonicMs() - start;
    EXPECT_EQ(name, "");
    EXPECT_GE(took, 290);
    EXPECT_LT(took, 2000);
}

TEST(NetBiosExchange, ClosedPortEndsTheWaitAtOnce)
{
    // Nothing listens on 127.0.0.79:137: the port-unreachable answer ends it.
    const long long start = platform::MonotonicMs();
    std::string name = "stale";
    GetNetBiosName("127.0.0.79", 3000, name);
    EXPECT_EQ(name, "");
    EXPECT_LT(platform::MonotonicMs() - start, 1500);
    GetNetBiosName("not an address", 3000, name);
    EXPECT_EQ(name, "");
}
