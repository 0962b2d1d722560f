// Inventories made by hand for the stand-ins that answer from the local
// interfaces.
#pragma once

#include "platform/LocalInterfaces.h"

#include <net/if.h>
#include <net/if_arp.h>

#include <string>
#include <vector>

namespace fixtures {

inline platform::LocalInterface Interface(const std::string& name, unsigned index,
                                          std::vector<uint8_t> hw, bool up = true,
                                          std::vector<uint32_t> addresses = {})
{
    platform::LocalInterface i;
    i.name = name;
    i.index = index;
    i.up = up;
    i.running = up;
    i.flags = up ? IFF_UP | IFF_RUNNING : 0;
    i.hardwareType = hw.size() == 6 ? ARPHRD_ETHER : ARPHRD_NONE;
    i.hardwareAddress = std::move(hw);
    for (uint32_t a : addresses)
        i.ipv4.push_back({a, 0xFFFFFF00u, name});
    return i;
}

inline platform::LocalInterface Loopback(unsigned index = 1)
{
    platform::LocalInterface i = Interface("lo", index, {0, 0, 0, 0, 0, 0}, true, {0x7F000001u});
    i.loopback = true;
    i.flags |= IFF_LOOPBACK;
    i.hardwareType = ARPHRD_LOOPBACK;
    i.ipv4[0].netmask = 0xFF000000u;
    return i;
}

} // namespace fixtures
