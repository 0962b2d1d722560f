// The MAC resolution methods that give one MAC address for one host.
//
// None of them raises: every failure gives an empty MAC.
#pragma once

#include "RawArp.h"
#include "uResolveIpNetEntry2.h"

#include <string>

// Bounds of the ARP method. With a packet socket at hand the kernel's
// neighbour table gets a short look only (a live neighbour answers its first
// probe within tens of ms), and our own requests follow at a faster pace than
// the kernel's 1 s retransmission, so that a lost frame costs 100 ms rather
// than a second and a silent host is given up on after 0.75 s.
// Without one, the neighbour way waits for the kernel's own verdict.
constexpr int ArpNeighbourWaitMs = 150;
constexpr platform::ArpPacing SendArpPacing{6, 100, 100};

// Neighbour way, then the SendARP way when the MAC is still empty.
void GetMacByArp(const std::string& IP, std::string& MAC);

// The ARP request/reply exchange on the route's interface (needs
// CAP_NET_RAW; without it the MAC stays empty). IPv4 in inet_addr's forms.
void GetMacBySendArp(const std::string& IP, std::string& MAC);
void GetMacBySendArp(const std::string& IP, std::string& MAC, const platform::ArpPacing& Pacing);
