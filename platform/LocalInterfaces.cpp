#include "platform/LocalInterfaces.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>

#include <algorithm>
#include <cstddef>
#include <memory>

namespace platform {

namespace {

std::string DottedText(uint32_t HostOrder)
{
    in_addr a{};
    a.s_addr = htonl(HostOrder);
    char buf[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

uint32_t HostOrderOf(const sockaddr* Address)
{
    if (!Address || Address->sa_family != AF_INET)
        return 0;
    sockaddr_in in;
    std::memcpy(&in, Address, sizeof in);
    return ntohl(in.sin_addr.s_addr);
}

// The list being built, with a mark per interface of whether its link entry
// has been seen.
struct Inventory {
    std::vector<LocalInterface> list;
    std::vector<bool> linked;

    size_t Named(const std::string& Name)
    {
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i].name == Name)
                return i;
        LocalInterface added;
        added.name = Name;
        added.index = ::if_nametoindex(Name.c_str());
        list.push_back(std::move(added));
        linked.push_back(false);
        return list.size() - 1;
    }
};

void TakeFlags(LocalInterface& Interface, unsigned Flags)
{
    Interface.flags = Flags;
    Interface.up = (Flags & IFF_UP) != 0;
    Interface.running = (Flags & IFF_RUNNING) != 0;
    Interface.loopback = (Flags & IFF_LOOPBACK) != 0;
}

void TakeLink(LocalInterface& Interface, const ifaddrs& Entry)
{
    TakeFlags(Interface, Entry.ifa_flags);
    // The system hands out the link as a sockaddr_ll with room for longer
    // addresses than its 8-byte array shows; read it by offset, never more
    // than that room.
    const auto* ll = reinterpret_cast<const sockaddr_ll*>(Entry.ifa_addr);
    Interface.hardwareType = ll->sll_hatype;
    const size_t length = std::min<size_t>(ll->sll_halen, kMaxHardwareAddressLength);
    const auto* bytes = reinterpret_cast<const uint8_t*>(ll) + offsetof(sockaddr_ll, sll_addr);
    Interface.hardwareAddress.assign(bytes, bytes + length);
}

} // namespace

std::string Ipv4Address::AddressText() const
{
    return DottedText(address);
}

std::string Ipv4Address::NetmaskText() const
{
    return DottedText(netmask);
}

std::string LocalInterface::HardwareAddressText(char Separator) const
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < hardwareAddress.size(); ++i) {
        if (i > 0)
            text += Separator;
        text += digits[hardwareAddress[i] >> 4];
        text += digits[hardwareAddress[i] & 0x0F];
    }
    return text;
}

std::vector<LocalInterface> BuildInterfaceList(const ifaddrs* Head)
{
    Inventory inv;
    for (const ifaddrs* e = Head; e; e = e->ifa_next) {
        if (!e->ifa_name || !e->ifa_addr)
            continue;
        const std::string label = e->ifa_name;
        switch (e->ifa_addr->sa_family) {
        case AF_PACKET: {
            const size_t at = inv.Named(label);
            TakeLink(inv.list[at], *e);
            inv.linked[at] = true;
            break;
        }
        case AF_INET: {
            // Interface names never hold ":", so one in the label marks an
            // alias of the interface named before it.
            const size_t at = inv.Named(label.substr(0, label.find(':')));
            LocalInterface& owner = inv.list[at];
            // Without a link entry the address entries' flags, which are the
            // link's, are all there is.
            if (!inv.linked[at])
                TakeFlags(owner, e->ifa_flags);
            owner.ipv4.push_back({HostOrderOf(e->ifa_addr), HostOrderOf(e->ifa_netmask), label});
            break;
        }
        default:
            break;
        }
    }
    return std::move(inv.list);
}

std::vector<LocalInterface> ListLocalInterfaces()
{
    ifaddrs* head = nullptr;
    if (::getifaddrs(&head) != 0)
        throw EInterfaceListError(std::string("Cannot list the network interfaces: ") +
                                  std::strerror(errno));
    std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> owner(head, ::freeifaddrs);
    return BuildInterfaceList(head);
}

} // namespace platform
