// Route, link, address and neighbour queries over rtnetlink, without any
// library: what the MAC methods need to know about one destination (is it
// ours, behind a gateway or on a link, and which link), and the kernel's
// neighbour table for one address on one interface.
//
// Everything here works without privileges. No routine raises: a failed
// socket, a refused request or a malformed reply gives false.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// An IPv4 or IPv6 address in network byte order.
struct IpAddress {
    int family = 0; // AF_INET or AF_INET6; 0 while unset
    std::array<uint8_t, 16> bytes{};

    size_t size() const;
    bool operator==(const IpAddress& other) const;
};

// Strict text forms only (inet_pton): dotted quad for IPv4, else IPv6.
bool ParseIpAddress(const std::string& Text, IpAddress& Address);
// The IPv4 form that inet_addr accepts ("10.1", "0x0a.0.0.1"); the all-ones
// address is rejected because inet_addr cannot tell it from its error.
bool ParseIPv4Loose(const std::string& Text, IpAddress& Address);
std::string IpAddressText(const IpAddress& Address);

// How the kernel would send a datagram to one destination.
enum class RouteKind {
    OnLink,  // unicast, no gateway: the destination is a neighbour
    Gateway, // unicast through a gateway: off-link, its MAC is not ours to see
    Local,   // one of this computer's own addresses (or loopback)
    Other,   // broadcast, multicast, anycast, NAT...: no single neighbour
};

struct RouteInfo {
    RouteKind kind = RouteKind::Other;
    unsigned char type = 0; // RTN_* as the kernel gave it
    int ifindex = 0;        // outgoing interface (lo for local addresses)
    bool hasGateway = false;
    IpAddress gateway;
    bool hasPrefSrc = false;
    IpAddress prefSrc; // the source address the kernel would choose
};

// RTM_GETROUTE for one destination. False when there is no route
// (unreachable, prohibited, no default) or the query fails.
bool LookupRoute(const IpAddress& Destination, RouteInfo& Route);

struct LinkInfo {
    int ifindex = 0;
    std::string name;
    unsigned short type = 0; // ARPHRD_*
    unsigned flags = 0;      // IFF_*
    std::vector<uint8_t> hwaddr;
};

// RTM_GETLINK for one interface index.
bool GetLinkInfo(int IfIndex, LinkInfo& Link);

// The interface that carries Address as one of its own addresses, or 0.
int FindAddressOwner(const IpAddress& Address);

// One entry of the neighbour table.
struct NeighbourEntry {
    uint16_t state = 0; // NUD_*
    uint8_t flags = 0;  // NTF_*
    std::vector<uint8_t> lladdr;
};

// A complete entry: reachable, stale, delay, probe, or permanent, each with a
// link-layer address. None, incomplete, failed and noarp entries are not.
bool IsUsableNeighbour(const NeighbourEntry& Entry);

enum class NeighbourLookup { Found, Missing, Error };

// RTM_GETNEIGH for one address on one interface.
NeighbourLookup LookupNeighbour(int IfIndex, const IpAddress& Address, NeighbourEntry& Entry);

// Outcome of waiting for the kernel to resolve one neighbour.
enum class NeighbourResult {
    Resolved, // a usable entry; its link-layer address is in Entry
    Failed,   // the kernel gave up (entry failed or removed after our trigger)
    TimedOut, // still unresolved when the wait ended
    Error,    // no netlink socket, or the trigger could not be sent
};

// Looks the neighbour up and, when there is no usable entry, makes the kernel
// resolve it by sending one UDP datagram to the discard port (9) and waits for
// a usable or failed entry, at most TimeoutMs. The wait is woken by the
// kernel's neighbour notifications; the table is asked again every
// RequeryMs in case a notification was lost to a full socket buffer.
NeighbourResult ResolveNeighbour(int IfIndex, const IpAddress& Address, int TimeoutMs,
                                 NeighbourEntry& Entry, int RequeryMs = 200);

// Every entry of one family on one interface (RTM_GETNEIGH dump), handed to
// Each with its address. False when the dump could not be made.
bool DumpNeighbours(int IfIndex, int Family,
                    const std::function<void(const IpAddress&, const NeighbourEntry&)>& Each);

// Makes the kernel resolve Address without waiting for it: one UDP datagram
// to the discard port (9), which needs the neighbour's link-layer address
// before it can leave. The entry is incomplete when this returns true.
bool TriggerNeighbourResolution(const IpAddress& Address);

// The kernel's neighbour table of one family (RTM_GETNEIGHTBL): the entries
// it holds now and its thresholds, past which it evicts old and failed
// entries (Thresh2, at most every 5 s) and refuses new ones it cannot make
// room for (Thresh3). One table serves every network namespace of the
// machine; its thresholds can be changed only from the initial one.
struct NeighbourTableSize {
    int Thresh1 = 0;
    int Thresh2 = 0;
    int Thresh3 = 0;
    int Entries = 0;
};
bool ReadNeighbourTableSize(int Family, NeighbourTableSize& Size);

// How the kernel resolves an address on interface IfIndex: the broadcast
// requests it sends while the entry is incomplete and the time between them
// (net.ipv4.neigh.<interface>.mcast_solicit and .retrans_time_ms of the
// calling thread's network namespace). The kernel's defaults, 3 requests
// 1000 ms apart, when they cannot be read.
struct NeighbourProbing {
    int Requests = 3;
    int IntervalMs = 1000;
};
NeighbourProbing KernelNeighbourProbing(int IfIndex);

} // namespace platform
