#include "uGetMac.h"

#include "DetectOS.h"
#include "Netlink.h"

#include <cstring>
#include <sys/socket.h>

void GetMacByArp(const std::string& IP, std::string& MAC)
{
    MAC.clear();
    if (IsWindowsVistaOrLater()) {
        // When the raw way can follow, it is the better retry: the kernel's
        // next probe would come only after a second.
        const int wait = platform::RawArpAvailable() ? ArpNeighbourWaitMs : NeighbourVerdictMs;
        GetMacByResolveIpNetEntry2(IP, MAC, wait);
    }
    if (MAC.empty())
        GetMacBySendArp(IP, MAC);
}

void GetMacBySendArp(const std::string& IP, std::string& MAC)
{
    GetMacBySendArp(IP, MAC, SendArpPacing);
}

void GetMacBySendArp(const std::string& IP, std::string& MAC, const platform::ArpPacing& Pacing)
{
    MAC.clear();
    platform::IpAddress address;
    if (!platform::ParseIPv4Loose(IP, address))
        return;
    TNeighbourPath path = FindNeighbourPath(address);
    if (path.kind == TNeighbourPath::Own) {
        MAC = path.OwnMac;
        return;
    }
    if (path.kind != TNeighbourPath::OnLink)
        return;
    platform::MacBytes source, reply;
    std::memcpy(source.data(), path.SourceMac, 6);
    platform::IpAddress sourceIp;
    sourceIp.family = AF_INET;
    if (path.HasSource)
        std::memcpy(sourceIp.bytes.data(), path.SourceIp, 4);
    if (platform::ArpRequest(path.IfIndex, source, sourceIp, address, Pacing, reply) ==
        platform::ArpResult::Answered)
        MAC = MacBytesToText(reply.data());
}
