#include "platform/Icmp.h"

#include "platform/Sockets.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <linux/icmp.h>
#include <mutex>
#include <poll.h>
#include <random>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace platform {

namespace {

constexpr std::size_t IcmpHeaderSize = 8;
constexpr std::size_t MinIpHeaderSize = 20;
constexpr uint8_t IpProtoIcmp = 1;

std::mutex openerLock;
IcmpSocketOpener customOpener;

int SystemOpen(IcmpSocketKind kind)
{
    const int type = kind == IcmpSocketKind::Datagram ? SOCK_DGRAM : SOCK_RAW;
    return ::socket(AF_INET, type | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_ICMP);
}

int OpenKind(IcmpSocketKind kind)
{
    IcmpSocketOpener opener;
    {
        std::lock_guard<std::mutex> hold(openerLock);
        opener = customOpener;
    }
    return opener ? opener(kind) : SystemOpen(kind);
}

struct IdentitySource {
    std::atomic<uint32_t> next;
    uint64_t seed;
    IdentitySource()
    {
        std::random_device rd;
        seed = (uint64_t(rd()) << 32) ^ rd();
        next = static_cast<uint32_t>(seed);
    }
};

IdentitySource& Identities()
{
    static IdentitySource source;
    return source;
}

// splitmix64: spreads consecutive counter values over the sequence space.
uint64_t Mix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

uint16_t Be16(const uint8_t* p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

in_addr_t AddressAt(const uint8_t* p)
{
    in_addr_t a;
    std::memcpy(&a, p, sizeof a);
    return a;
}

// Length of the IPv4 header at p, or 0 when it is no sound ICMP-carrying
// IPv4 header within len bytes.
std::size_t IcmpIpHeaderLength(const uint8_t* p, std::size_t len)
{
    if (len < MinIpHeaderSize || (p[0] >> 4) != 4)
        return 0;
    const std::size_t ihl = std::size_t(p[0] & 0x0F) * 4;
    if (ihl < MinIpHeaderSize || ihl > len || p[9] != IpProtoIcmp)
        return 0;
    return ihl;
}

std::string OpenFailure(int datagramErr, int rawErr)
{
    std::string text = "ICMP echo is not available: no ICMP datagram socket (";
    text += std::strerror(datagramErr);
    if (datagramErr == EACCES || datagramErr == EPERM)
        text += "; net.ipv4.ping_group_range does not include group " + std::to_string(::getegid());
    text += ") and no raw ICMP socket (";
    text += std::strerror(rawErr);
    if (rawErr == EACCES || rawErr == EPERM)
        text += "; it needs CAP_NET_RAW";
    text += ")";
    return text;
}

// Binds a datagram socket to our identifier (the kernel uses the bound
// "port" as the echo identifier and delivers only replies carrying it). When
// another socket holds that identifier the kernel picks a free one.
bool BindIdentifier(int fd, EchoIdentity& identity)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(identity.Id);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0)
        return true;
    local.sin_port = 0;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
        return false;
    socklen_t len = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0)
        return false;
    identity.Id = ntohs(local.sin_port);
    return true;
}

std::vector<uint8_t> EchoRequest(EchoIdentity identity, std::size_t dataSize)
{
    std::vector<uint8_t> packet(IcmpHeaderSize + dataSize, 0);
    packet[0] = ICMP_ECHO;
    packet[4] = static_cast<uint8_t>(identity.Id >> 8);
    packet[5] = static_cast<uint8_t>(identity.Id);
    packet[6] = static_cast<uint8_t>(identity.Sequence >> 8);
    packet[7] = static_cast<uint8_t>(identity.Sequence);
    const uint16_t sum = InternetChecksum(packet.data(), packet.size());
    // The checksum goes on the wire in the byte order it was summed in.
    std::memcpy(&packet[2], &sum, sizeof sum);
    return packet;
}

} // namespace

EchoIdentity NextEchoIdentity()
{
    IdentitySource& source = Identities();
    const uint32_t n = source.next.fetch_add(1, std::memory_order_relaxed);
    EchoIdentity identity;
    identity.Id = static_cast<uint16_t>(n);
    identity.Sequence = static_cast<uint16_t>(Mix(source.seed ^ n) >> 48);
    return identity;
}

uint16_t InternetChecksum(const uint8_t* data, std::size_t len)
{
    // Summed over the bytes as they lie in memory, so the result can be
    // stored back unchanged.
    uint32_t sum = 0;
    std::size_t i = 0;
    for (; i + 1 < len; i += 2) {
        uint16_t word;
        std::memcpy(&word, data + i, sizeof word);
        sum += word;
    }
    if (i < len) {
        uint16_t word = 0;
        std::memcpy(&word, data + i, 1);
        sum += word;
    }
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

EchoMatch ClassifyEchoMessage(const uint8_t* data, std::size_t len, bool withIpHeader,
                              in_addr_t from, in_addr_t target, EchoIdentity identity)
{
    if (data == nullptr)
        return EchoMatch::NotOurs;
    const uint8_t* icmp = data;
    std::size_t n = len;
    if (withIpHeader) {
        const std::size_t ihl = IcmpIpHeaderLength(data, len);
        if (ihl == 0)
            return EchoMatch::NotOurs;
        icmp = data + ihl;
        n = len - ihl;
    }
    if (n < IcmpHeaderSize)
        return EchoMatch::NotOurs;

    const uint8_t type = icmp[0];
    if (type == ICMP_ECHOREPLY) {
        if (icmp[1] == 0 && from == target && Be16(icmp + 4) == identity.Id &&
            Be16(icmp + 6) == identity.Sequence)
            return EchoMatch::Ours;
        return EchoMatch::NotOurs;
    }
    if (type != ICMP_DEST_UNREACH && type != ICMP_TIME_EXCEEDED)
        return EchoMatch::NotOurs;

    // An error quotes the IP header and the first 8 bytes of the datagram
    // that caused it: it is about us only when that was our request.
    const uint8_t* quoted = icmp + IcmpHeaderSize;
    const std::size_t m = n - IcmpHeaderSize;
    const std::size_t ihl = IcmpIpHeaderLength(quoted, m);
    if (ihl == 0 || m < ihl + IcmpHeaderSize)
        return EchoMatch::NotOurs;
    const uint8_t* request = quoted + ihl;
    if (AddressAt(quoted + 16) == target && request[0] == ICMP_ECHO &&
        Be16(request + 4) == identity.Id && Be16(request + 6) == identity.Sequence)
        return EchoMatch::Unreachable;
    return EchoMatch::NotOurs;
}

void SetIcmpSocketOpener(IcmpSocketOpener opener)
{
    std::lock_guard<std::mutex> hold(openerLock);
    customOpener = std::move(opener);
}

EchoOutcome IcmpEcho(in_addr_t target, int timeoutMs, std::size_t dataSize)
{
    if (timeoutMs < 0)
        timeoutMs = 0;
    EchoOutcome outcome;
    outcome.Identity = NextEchoIdentity();

    Socket sock(OpenKind(IcmpSocketKind::Datagram));
    outcome.Kind = IcmpSocketKind::Datagram;
    if (!sock.valid()) {
        const int datagramErr = errno;
        sock.reset(OpenKind(IcmpSocketKind::Raw));
        if (!sock.valid())
            throw EIcmpUnavailable(OpenFailure(datagramErr, errno));
        outcome.Kind = IcmpSocketKind::Raw;
    }
    const bool raw = outcome.Kind == IcmpSocketKind::Raw;
    if (!SetNonBlocking(sock.get(), true))
        return outcome;

    if (raw) {
        // Only replies and errors reach the socket, not every ICMP message
        // that passes the host (our own requests to local addresses among them).
        icmp_filter filter{};
        filter.data =
            ~((1u << ICMP_ECHOREPLY) | (1u << ICMP_DEST_UNREACH) | (1u << ICMP_TIME_EXCEEDED));
        ::setsockopt(sock.get(), SOL_RAW, ICMP_FILTER, &filter, sizeof filter);
    } else if (!BindIdentifier(sock.get(), outcome.Identity)) {
        return outcome;
    }

    // Connected, the kernel hands the socket only what comes from the target,
    // and reports errors about our requests to it through recv.
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = target;
    if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0)
        return outcome;

    const std::vector<uint8_t> request = EchoRequest(outcome.Identity, dataSize);
    const auto start = std::chrono::steady_clock::now();
    ssize_t sent;
    do
        sent = ::send(sock.get(), request.data(), request.size(), MSG_NOSIGNAL);
    while (sent < 0 && errno == EINTR);
    if (sent != static_cast<ssize_t>(request.size()))
        return outcome;

    const long long deadline = MonotonicMs() + timeoutMs;
    std::vector<uint8_t> buffer(65536);
    for (;;) {
        const long long left = deadline - MonotonicMs();
        if (left < 0)
            return outcome;
        if (WaitFor(sock.get(), POLLIN, static_cast<int>(left)) != WaitResult::Ready)
            return outcome;
        sockaddr_in from{};
        socklen_t fromLen = sizeof from;
        const ssize_t got = ::recvfrom(sock.get(), buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromLen);
        if (got < 0) {
            if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)
                continue;
            return outcome; // host or network unreachable, reported by the kernel
        }
        switch (ClassifyEchoMessage(buffer.data(), static_cast<std::size_t>(got), raw,
                                    from.sin_addr.s_addr, target, outcome.Identity)) {
        case EchoMatch::Ours: {
            const auto elapsed = std::chrono::steady_clock::now() - start;
            outcome.Answered = true;
            outcome.RoundTripMs = static_cast<int>(
                std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
            return outcome;
        }
        case EchoMatch::Unreachable:
            return outcome;
        case EchoMatch::NotOurs:
            break;
        }
    }
}

} // namespace platform
