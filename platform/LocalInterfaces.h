// Inventory of the local computer's network interfaces, read with getifaddrs:
// the stand-in for the adapter lists that the address dialog, the transport
// list and the management queries of the local computer are answered from.
//
// Everything the system lists is kept, loopback and interfaces that are down
// included; each caller filters what it does not show.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

struct ifaddrs;

namespace platform {

class EInterfaceListError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// One IPv4 address of an interface, numbers in host byte order.
struct Ipv4Address {
    uint32_t address = 0;
    uint32_t netmask = 0;
    // The address's label: the interface name, or an alias such as "eth0:1".
    std::string label;

    std::string AddressText() const;
    std::string NetmaskText() const;
};

struct LocalInterface {
    std::string name;
    unsigned index = 0;   // if_nametoindex; 0 when the name is gone meanwhile
    unsigned flags = 0;   // IFF_* of the link
    bool up = false;      // IFF_UP: administratively up
    bool running = false; // IFF_RUNNING: up and with a carrier
    bool loopback = false;
    unsigned short hardwareType = 0;      // ARPHRD_*; 0 when the link has no entry
    std::vector<uint8_t> hardwareAddress; // as long as the link's address (6 for Ethernet)
    std::vector<Ipv4Address> ipv4;        // in the system's order, primary first

    // Hardware address as upper-case hexadecimal pairs joined by Separator;
    // empty when the interface has none.
    std::string HardwareAddressText(char Separator = '-') const;
};

// Longest link-layer address kept; glibc reserves this much for one.
constexpr size_t kMaxHardwareAddressLength = 24;

// Every interface in the system's order (that of the links, then any
// interface that only has addresses). Raises EInterfaceListError when the
// system's list cannot be read.
std::vector<LocalInterface> ListLocalInterfaces();

// The inventory made of a getifaddrs chain: the seam the tests feed with a
// chain of their own. Entries without a name or address are skipped; an
// address whose label carries an alias (":") belongs to the interface named
// before the colon.
std::vector<LocalInterface> BuildInterfaceList(const ifaddrs* Head);

} // namespace platform
