// ARP request and reply on one interface through an AF_PACKET socket: the
// way to ask a neighbour for its hardware address at a pace of our own,
// independent of the kernel's neighbour table.
//
// Opening the socket needs CAP_NET_RAW; without it every call reports
// Unavailable at once and sends nothing.
#pragma once

#include "Netlink.h"

#include <array>
#include <cstdint>

namespace platform {

using MacBytes = std::array<uint8_t, 6>;

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

} // namespace platform
