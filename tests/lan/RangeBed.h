// A test bed for scans of large ranges: one bridge, the scanner at the
// range's first host address, and live hosts, one namespace each, at evenly
// spaced host numbers among silent addresses. A /22 with 200 live hosts is
// what a lan test can afford; a /16 with 200 is the benchmark's.
//
// Every broadcast the scanner sends reaches every live host's namespace. All
// namespaces of the machine share the kernel's one ARP neighbour table
// (1,024 entries by default); the bed asks the kernel to raise its
// thresholds from inside the scanner's namespace, which kernels that keep
// them for the initial namespace alone refuse (TableRaised() then says so).
// The bed never touches the initial namespace's settings.
#pragma once

#include "tests/lan/Lab.h"

#include <cstdint>
#include <string>
#include <vector>

namespace lan {

struct RangeBedSpec {
    uint32_t Network = 0x0a430000; // 10.67.0.0, host order
    int Prefix = 22;
    int Live = 200;
    int First = 3;   // host number of the first live host (the scanner is 1)
    int Spacing = 5; // between two live hosts' numbers
    unsigned long long MacBase = 0x5d00;
};

class RangeBed {
public:
    RangeBed(Lab& Owner, const RangeBedSpec& Spec);

    Host& Scanner() const { return *FHosts[0]; }
    Switch& Bridge() const { return *FSwitch; }
    const RangeBedSpec& Spec() const { return FSpec; }
    // Host numbers 1 .. HostCount() are the range's addresses less its
    // network and broadcast addresses.
    int HostCount() const { return (1 << (32 - FSpec.Prefix)) - 2; }
    int LiveNumber(int I) const { return FSpec.First + FSpec.Spacing * I; }
    bool IsLive(int Number) const;
    // The live host LiveNumber(I).
    Host& LiveHost(int I) const { return *FHosts[static_cast<size_t>(I) + 1]; }
    uint32_t HostOrder(int Number) const { return FSpec.Network + static_cast<uint32_t>(Number); }
    std::string Ip(int Number) const;
    // The host number of an address at the start of Text, or -1.
    int NumberOf(const char* Text) const;
    // "02:00:00:00:5d:03", and as the MAC methods write it ("02-00-...").
    std::string Mac(int Number) const;
    std::string MacText(int Number) const;
    // The range as nmap takes it: "10.67.0.0/22".
    std::string Cidr() const;
    bool TableRaised() const { return FTableRaised; }

private:
    RangeBedSpec FSpec;
    Switch* FSwitch = nullptr;
    std::vector<Host*> FHosts;
    bool FTableRaised = false;
};

} // namespace lan
