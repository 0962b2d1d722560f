#include "platform/RawArp.h"

#include "platform/Sockets.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <linux/capability.h>
#include <linux/filter.h>
#include <linux/if_arp.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

namespace platform {

int ArpPacing::BoundMs() const
{
    int attempts = Attempts > 0 ? Attempts : 1;
    return (attempts - 1) * (IntervalMs > 0 ? IntervalMs : 0) + (LastWaitMs > 0 ? LastWaitMs : 0);
}

namespace {

// The ARP packet for IPv4 over Ethernet as it follows the link header.
#pragma pack(push, 1)
struct ArpPacket {
    uint16_t htype;
    uint16_t ptype;
    uint8_t hlen;
    uint8_t plen;
    uint16_t op;
    uint8_t sha[6];
    uint8_t spa[4];
    uint8_t tha[6];
    uint8_t tpa[4];
};
#pragma pack(pop)
static_assert(sizeof(ArpPacket) == 28);
static_assert(ETH_HLEN == EthernetHeaderBytes && sizeof(ArpPacket) == ArpPacketBytes &&
              ETH_ZLEN == EthernetLeastFrameBytes && ETH_FCS_LEN == EthernetCheckBytes);

// Opens the packet socket for ARP on one interface. With protocol 0 at
// creation nothing is queued until bind, and the filter is in place before
// that, so only ARP packets for IPv4 over Ethernet reach this socket, and
// with a target only that target's own (250 threads each asking another host
// would otherwise all wake up for every frame on the segment).
Socket OpenArpSocket(int ifindex, const uint32_t* targetHostOrder)
{
    Socket s(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return s;
    std::vector<sock_filter> code = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 0), // hardware type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_ETHER, 0, 0),
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 2), // protocol type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 0),
    };
    if (targetHostOrder) {
        code.push_back(BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 14)); // sender IPv4
        code.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, *targetHostOrder, 0, 0));
    }
    code.push_back(BPF_STMT(BPF_RET | BPF_K, sizeof(ArpPacket)));
    code.push_back(BPF_STMT(BPF_RET | BPF_K, 0));
    // Every test jumps to the final "drop" when it fails.
    const size_t drop = code.size() - 1;
    for (size_t i = 0; i < code.size(); ++i)
        if (BPF_CLASS(code[i].code) == BPF_JMP)
            code[i].jf = static_cast<uint8_t>(drop - i - 1);
    sock_fprog prog{static_cast<unsigned short>(code.size()), code.data()};
    if (::setsockopt(s.get(), SOL_SOCKET, SO_ATTACH_FILTER, &prog, sizeof prog) != 0) {
        s.reset();
        return s;
    }
    sockaddr_ll local{};
    local.sll_family = AF_PACKET;
    local.sll_protocol = htons(ETH_P_ARP);
    local.sll_ifindex = ifindex;
    if (::bind(s.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        s.reset();
    return s;
}

bool SendRequest(int fd, int ifindex, const MacBytes& sourceMac, const IpAddress& sourceIp,
                 const IpAddress& target)
{
    ArpPacket p{};
    p.htype = htons(ARPHRD_ETHER);
    p.ptype = htons(ETH_P_IP);
    p.hlen = 6;
    p.plen = 4;
    p.op = htons(ARPOP_REQUEST);
    std::memcpy(p.sha, sourceMac.data(), 6);
    if (sourceIp.family == AF_INET)
        std::memcpy(p.spa, sourceIp.bytes.data(), 4);
    std::memcpy(p.tpa, target.bytes.data(), 4);

    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_ARP);
    to.sll_ifindex = ifindex;
    to.sll_halen = 6;
    std::memset(to.sll_addr, 0xff, 6);
    ssize_t n;
    do
        n = ::sendto(fd, &p, sizeof p, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(sizeof p);
}

// The sender of an ARP packet that speaks for itself (a reply, or a request
// it sends with its own address) from a unicast station address: its IPv4
// address (network order, as on the wire) and MAC. False for anything else.
bool SenderOf(const ArpPacket& p, ssize_t n, const sockaddr_ll& from, uint8_t (&spa)[4],
              MacBytes& mac)
{
    if (n < static_cast<ssize_t>(sizeof p) || from.sll_pkttype == PACKET_OUTGOING)
        return false;
    if (ntohs(p.htype) != ARPHRD_ETHER || ntohs(p.ptype) != ETH_P_IP || p.hlen != 6 || p.plen != 4)
        return false;
    uint16_t op = ntohs(p.op);
    if (op != ARPOP_REPLY && op != ARPOP_REQUEST)
        return false;
    bool zero = true, broadcast = true;
    for (uint8_t b : p.sha) {
        zero = zero && b == 0;
        broadcast = broadcast && b == 0xff;
    }
    if (zero || broadcast || (p.sha[0] & 1))
        return false; // no unicast station address
    std::memcpy(spa, p.spa, 4);
    std::memcpy(mac.data(), p.sha, 6);
    return true;
}

// Reads what is queued; true with the MAC when one packet is the target
// speaking for itself.
bool ReadAnswer(int fd, const IpAddress& target, MacBytes& mac)
{
    for (;;) {
        ArpPacket p{};
        sockaddr_ll from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = ::recvfrom(fd, &p, sizeof p, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&from),
                               &fromLen);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        uint8_t spa[4];
        MacBytes sender;
        if (!SenderOf(p, n, from, spa, sender) || std::memcmp(spa, target.bytes.data(), 4) != 0)
            continue;
        mac = sender;
        return true;
    }
}

} // namespace

ArpResult ArpRequest(int IfIndex, const MacBytes& SourceMac, const IpAddress& SourceIp,
                     const IpAddress& Target, const ArpPacing& Pacing, MacBytes& Mac)
{
    if (IfIndex <= 0 || Target.family != AF_INET)
        return ArpResult::Unavailable;
    uint32_t targetNet;
    std::memcpy(&targetNet, Target.bytes.data(), 4);
    const uint32_t targetHostOrder = ntohl(targetNet);
    Socket s = OpenArpSocket(IfIndex, &targetHostOrder);
    if (!s.valid())
        return ArpResult::Unavailable;

    const int attempts = Pacing.Attempts > 0 ? Pacing.Attempts : 1;
    const int interval = Pacing.IntervalMs > 0 ? Pacing.IntervalMs : 0;
    const long long start = MonotonicMs();
    const long long deadline = start + Pacing.BoundMs();
    int sent = 0;
    bool anySent = false;
    for (;;) {
        long long now = MonotonicMs();
        if (sent < attempts && now >= start + static_cast<long long>(sent) * interval) {
            anySent = SendRequest(s.get(), IfIndex, SourceMac, SourceIp, Target) || anySent;
            ++sent;
            continue;
        }
        long long until =
            sent < attempts ? start + static_cast<long long>(sent) * interval : deadline;
        if (until > deadline)
            until = deadline;
        if (now >= deadline)
            break;
        WaitResult w = WaitFor(s.get(), POLLIN, static_cast<int>(until - now));
        if (w == WaitResult::Error || w == WaitResult::Stopped)
            break;
        if (w == WaitResult::Ready && ReadAnswer(s.get(), Target, Mac))
            return ArpResult::Answered;
    }
    return anySent ? ArpResult::NoReply : ArpResult::Unavailable;
}

bool ArpSweepSocket::Open(int IfIndex)
{
    ifindex_ = IfIndex;
    sock_ = IfIndex > 0 ? OpenArpSocket(IfIndex, nullptr) : Socket();
    return sock_.valid();
}

void ArpSweepSocket::Close()
{
    sock_.reset();
}

bool ArpSweepSocket::Send(const MacBytes& SourceMac, const IpAddress& SourceIp,
                          const IpAddress& Target)
{
    if (!sock_.valid() || Target.family != AF_INET)
        return false;
    return SendRequest(sock_.get(), ifindex_, SourceMac, SourceIp, Target);
}

void ArpSweepSocket::Drain(const std::function<void(const IpAddress&, const MacBytes&)>& Each)
{
    while (sock_.valid()) {
        ArpPacket p{};
        sockaddr_ll from{};
        socklen_t fromLen = sizeof from;
        ssize_t n = ::recvfrom(sock_.get(), &p, sizeof p, MSG_DONTWAIT,
                               reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        uint8_t spa[4];
        MacBytes mac;
        if (!SenderOf(p, n, from, spa, mac))
            continue;
        IpAddress sender;
        sender.family = AF_INET;
        std::memcpy(sender.bytes.data(), spa, 4);
        Each(sender, mac);
    }
}

bool RawArpAvailable()
{
    // Asked of the thread's capabilities rather than by opening a packet
    // socket: closing one waits for an RCU grace period (some 20 ms).
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capget, &header, data) != 0)
        return false;
    return (data[CAP_NET_RAW / 32].effective & (1u << (CAP_NET_RAW % 32))) != 0;
}

} // namespace platform
