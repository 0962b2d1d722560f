#include "engine/uResolveIpNetEntry2.h"

#include "engine/NeighbourPath.h"
#include "engine/NeighbourSweep.h"
#include "platform/Netlink.h"

void GetMacByResolveIpNetEntry2(const std::string& IP, std::string& MAC)
{
    GetMacByResolveIpNetEntry2(IP, MAC, NeighbourVerdictMs);
}

void GetMacByResolveIpNetEntry2(const std::string& IP, std::string& MAC, int TimeoutMs)
{
    MAC.clear();
    platform::IpAddress address;
    if (!platform::ParseIpAddress(IP, address))
        return;
    // In a scan whose sweep has asked this neighbour already, its answer is
    // the kernel's as well.
    if (SweepAnswer(address, MAC))
        return;
    TNeighbourPath path;
    if (!FindOnLinkNeighbour(address, path, MAC))
        return;
    platform::NeighbourEntry entry;
    if (platform::ResolveNeighbour(path.IfIndex, address, TimeoutMs, entry) ==
            platform::NeighbourResult::Resolved &&
        entry.lladdr.size() == 6)
        MAC = MacBytesToText(entry.lladdr.data());
}
