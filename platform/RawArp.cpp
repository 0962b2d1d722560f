#include "RawArp.h"

#include "Sockets.h"

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

// Opens the packet socket for ARP on one interface. With protocol 0 at
// creation nothing is queued until bind, and the filter is in place before
// that, so only the target's own ARP packets ever reach this socket (250
// threads each scanning another host would otherwise all wake up for every
// frame on the segment).
Socket OpenArpSocket(int ifindex, uint32_t targetHostOrder)
{
    Socket s(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!s.valid())
        return s;
    sock_filter code[] = {
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 0),                   // hardware type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ARPHRD_ETHER, 0, 5), //
        BPF_STMT(BPF_LD | BPF_H | BPF_ABS, 2),                   // protocol type
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, ETH_P_IP, 0, 3),     //
        BPF_STMT(BPF_LD | BPF_W | BPF_ABS, 14),                  // sender IPv4
        BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, targetHostOrder, 0, 1),
        BPF_STMT(BPF_RET | BPF_K, sizeof(ArpPacket)),
        BPF_STMT(BPF_RET | BPF_K, 0),
    };
    sock_fprog prog{static_cast<unsigned short>(sizeof code / sizeof code[0]), code};
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

// Reads what is queued; true with the MAC when one packet is the target
// speaking for itself (a reply, or a request it sends with its own address).
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
        if (n < static_cast<ssize_t>(sizeof p) || from.sll_pkttype == PACKET_OUTGOING)
            continue;
        if (ntohs(p.htype) != ARPHRD_ETHER || ntohs(p.ptype) != ETH_P_IP || p.hlen != 6 ||
            p.plen != 4)
            continue;
        uint16_t op = ntohs(p.op);
        if ((op != ARPOP_REPLY && op != ARPOP_REQUEST) ||
            std::memcmp(p.spa, target.bytes.data(), 4) != 0)
            continue;
        bool zero = true, broadcast = true;
        for (uint8_t b : p.sha) {
            zero = zero && b == 0;
            broadcast = broadcast && b == 0xff;
        }
        if (zero || broadcast || (p.sha[0] & 1))
            continue; // no unicast station address
        std::memcpy(mac.data(), p.sha, 6);
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
    Socket s = OpenArpSocket(IfIndex, ntohl(targetNet));
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
        if (w == WaitResult::Error)
            break;
        if (w == WaitResult::Ready && ReadAnswer(s.get(), Target, Mac))
            return ArpResult::Answered;
    }
    return anySent ? ArpResult::NoReply : ArpResult::Unavailable;
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
