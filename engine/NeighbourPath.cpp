#include "engine/NeighbourPath.h"

#include "platform/Netlink.h"

#include <cstdio>
#include <cstring>
#include <net/if.h>
#include <net/if_arp.h>
#include <sys/socket.h>

std::string MacBytesToText(const uint8_t* Bytes)
{
    char text[18];
    std::snprintf(text, sizeof text, "%2.2x-%2.2x-%2.2x-%2.2x-%2.2x-%2.2x", Bytes[0], Bytes[1],
                  Bytes[2], Bytes[3], Bytes[4], Bytes[5]);
    return text;
}

namespace {

// A link on which neighbours have 6-byte hardware addresses found by ARP or
// neighbour discovery.
bool IsResolvingLink(const platform::LinkInfo& link)
{
    if (link.flags & (IFF_LOOPBACK | IFF_NOARP) || link.type == ARPHRD_LOOPBACK)
        return false;
    if (link.hwaddr.size() != 6)
        return false;
    for (uint8_t b : link.hwaddr)
        if (b != 0)
            return true;
    return false;
}

} // namespace

TNeighbourPath FindNeighbourPath(const platform::IpAddress& Address)
{
    TNeighbourPath path;
    platform::RouteInfo route;
    if (!platform::LookupRoute(Address, route))
        return path;
    switch (route.kind) {
    case platform::RouteKind::Gateway:
        path.kind = TNeighbourPath::OffLink;
        return path;
    case platform::RouteKind::Local: {
        // The route of an own address points at lo; the MAC is that of the
        // interface that carries the address. Loopback addresses have none.
        platform::LinkInfo link;
        int owner = platform::FindAddressOwner(Address);
        if (owner > 0 && platform::GetLinkInfo(owner, link) && IsResolvingLink(link)) {
            path.kind = TNeighbourPath::Own;
            path.IfIndex = owner;
            path.OwnMac = MacBytesToText(link.hwaddr.data());
        }
        return path;
    }
    case platform::RouteKind::OnLink: {
        platform::LinkInfo link;
        if (!platform::GetLinkInfo(route.ifindex, link) || !IsResolvingLink(link))
            return path;
        path.kind = TNeighbourPath::OnLink;
        path.IfIndex = route.ifindex;
        std::memcpy(path.SourceMac, link.hwaddr.data(), 6);
        if (route.hasPrefSrc && route.prefSrc.family == AF_INET) {
            path.HasSource = true;
            std::memcpy(path.SourceIp, route.prefSrc.bytes.data(), 4);
        }
        return path;
    }
    case platform::RouteKind::Other:
        return path;
    }
    return path;
}

bool FindOnLinkNeighbour(const platform::IpAddress& Address, TNeighbourPath& Path, std::string& MAC)
{
    Path = FindNeighbourPath(Address);
    if (Path.kind == TNeighbourPath::Own)
        MAC = Path.OwnMac;
    return Path.kind == TNeighbourPath::OnLink;
}
