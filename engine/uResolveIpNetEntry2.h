// The neighbour way of the ARP method: ask the kernel's neighbour table for
// the hardware address of one IPv4 or IPv6 address, making the kernel resolve
// it when it has no usable entry. Works without privileges.
#pragma once

#include <cstdint>
#include <string>

namespace platform {
struct IpAddress;
}

// How long the neighbour way waits by default: long enough for the kernel's
// own verdict on a silent host (3 probes, 1 s apart, then failed), which no
// unprivileged program can shorten.
constexpr int NeighbourVerdictMs = 3500;

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

// The neighbour way with the default wait (NeighbourVerdictMs).
void GetMacByResolveIpNetEntry2(const std::string& IP, std::string& MAC);
// The same with an explicit bound on the wait for the kernel's resolution.
void GetMacByResolveIpNetEntry2(const std::string& IP, std::string& MAC, int TimeoutMs);
