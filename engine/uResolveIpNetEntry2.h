// The neighbour way of the ARP method: ask the kernel's neighbour table for
// the hardware address of one IPv4 or IPv6 address, making the kernel resolve
// it when it has no usable entry. Works without privileges.
#pragma once

#include <string>

// How long the neighbour way waits by default: long enough for the kernel's
// own verdict on a silent host (3 probes, 1 s apart, then failed), which no
// unprivileged program can shorten.
constexpr int NeighbourVerdictMs = 3500;

// The neighbour way with the default wait (NeighbourVerdictMs).
void GetMacByResolveIpNetEntry2(const std::string& IP, std::string& MAC);
// The same with an explicit bound on the wait for the kernel's resolution.
void GetMacByResolveIpNetEntry2(const std::string& IP, std::string& MAC, int TimeoutMs);
