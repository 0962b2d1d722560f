// What the kernel's route to one address says about finding its hardware
// address, the text of a hardware address and the ARP method's pacing: what
// the ARP ways and the neighbour sweep share, so that neither unit needs the
// other's header.
#pragma once

#include "platform/RawArp.h"

#include <cstdint>
#include <string>

namespace platform {
struct IpAddress;
}

// "%2.2x-%2.2x-%2.2x-%2.2x-%2.2x-%2.2x" of six bytes.
std::string MacBytesToText(const uint8_t* Bytes);

// What the route to one destination says about finding its MAC.
struct TNeighbourPath {
    enum Kind {
        None,    // no route, or not a single neighbour (broadcast, loopback...)
        OffLink, // behind a gateway: its MAC never reaches us
        Own,     // one of this computer's addresses: the MAC is OwnMac
        OnLink,  // a neighbour on interface IfIndex
    } kind = None;
    int IfIndex = 0;
    std::string OwnMac;     // Own: the owning interface's MAC text
    uint8_t SourceMac[6]{}; // OnLink: the outgoing interface's MAC
    bool HasSource = false; // OnLink: SourceIp is set
    uint8_t SourceIp[4]{};  // OnLink, IPv4: the source the kernel would use
};

// Classifies the destination by the kernel's route lookup. Interfaces that
// do not use ARP/NDP (no 6-byte hardware address, noarp, loopback) give None.
TNeighbourPath FindNeighbourPath(const platform::IpAddress& Address);

// The path both ARP ways start from: true with Path filled when Address is an
// on-link neighbour worth asking; false otherwise, with MAC set to the own
// interface's address when Address is this computer's.
bool FindOnLinkNeighbour(const platform::IpAddress& Address, TNeighbourPath& Path,
                         std::string& MAC);

// Bounds of the ARP method. With a packet socket at hand the kernel's
// neighbour table gets a short look only (a live neighbour answers its first
// probe within tens of ms), and our own requests follow at a faster pace than
// the kernel's 1 s retransmission, so that a lost frame costs 50 ms rather
// than a second and a silent host is given up on after 0.45 s. Six requests
// keep a host found when one frame in ten is lost; a LAN answers within a
// millisecond, and a reply to any of them counts until the last wait ends.
// Without one, the neighbour way waits for the kernel's own verdict.
constexpr int ArpNeighbourWaitMs = 100;
constexpr platform::ArpPacing SendArpPacing{6, 50, 100};
