// ARP request and reply on one interface through an AF_PACKET socket: the
// way to ask a neighbour for its hardware address at a pace of our own,
// independent of the kernel's neighbour table.
//
// Opening the socket needs CAP_NET_RAW; without it every call reports
// Unavailable at once and sends nothing.
#pragma once

#include "platform/Netlink.h"
#include "platform/Sockets.h"

#include <array>
#include <cstdint>
#include <functional>

namespace platform {

using MacBytes = std::array<uint8_t, 6>;

// An ARP request for IPv4 over Ethernet as it takes the wire: the 14-byte
// link header and the 28-byte packet, padded to Ethernet's least frame of
// 60 bytes, then the 4-byte frame check sequence. What pacing by bandwidth
// counts per frame, as arp-scan does (its default 256,000 bit/s puts its
// requests 2 ms apart).
constexpr int EthernetHeaderBytes = 14;
constexpr int ArpPacketBytes = 28;
constexpr int EthernetLeastFrameBytes = 60;
constexpr int EthernetCheckBytes = 4;
constexpr int ArpRequestFrameBytes = (EthernetHeaderBytes + ArpPacketBytes > EthernetLeastFrameBytes
                                          ? EthernetHeaderBytes + ArpPacketBytes
                                          : EthernetLeastFrameBytes) +
                                     EthernetCheckBytes;

// How long one exchange may take: Attempts requests, IntervalMs apart, and
// after the last one LastWaitMs for a late reply. A reply to any of the
// requests counts, so the bound is (Attempts - 1) * IntervalMs + LastWaitMs.
struct ArpPacing {
    int Attempts = 1;
    int IntervalMs = 100;
    int LastWaitMs = 100;

    int BoundMs() const;
};

enum class ArpResult {
    Answered,    // Mac holds the target's hardware address
    NoReply,     // requests sent, nothing came back within the bound
    Unavailable, // no packet socket (no CAP_NET_RAW), or the interface refused it
};

// Broadcasts "who has Target, tell SourceIp" from SourceMac on interface
// IfIndex and waits for the answer. Both addresses must be IPv4; SourceIp may
// be 0.0.0.0 (a probe, which hosts answer too).
ArpResult ArpRequest(int IfIndex, const MacBytes& SourceMac, const IpAddress& SourceIp,
                     const IpAddress& Target, const ArpPacing& Pacing, MacBytes& Mac);

// Whether this thread holds CAP_NET_RAW, which a packet socket needs.
bool RawArpAvailable();

// One packet socket for asking many neighbours of one interface in turn:
// requests go out one at a time, and every ARP packet in which a station
// speaks for itself (a reply, or a request with its own address) comes back
// through Drain, whoever it was meant for.
class ArpSweepSocket {
public:
    // False without CAP_NET_RAW or when the interface refuses the socket.
    bool Open(int IfIndex);
    void Close();
    bool IsOpen() const { return sock_.valid(); }
    int fd() const { return sock_.get(); }
    // Broadcasts "who has Target, tell SourceIp" from SourceMac.
    bool Send(const MacBytes& SourceMac, const IpAddress& SourceIp, const IpAddress& Target);
    // Hands every queued packet's sender (IPv4) and MAC to Each; never waits.
    void Drain(const std::function<void(const IpAddress&, const MacBytes&)>& Each);

private:
    Socket sock_;
    int ifindex_ = 0;
};

} // namespace platform
