#include "NetUtil.h"

#include <arpa/inet.h>
#include <netinet/in.h>

bool IPToHostOrder(const std::string& Text, uint32_t& Value)
{
    // inet_addr itself, not inet_pton: users type the short forms ("10.1")
    // and stored lists hold them.
    in_addr_t a = ::inet_addr(Text.c_str());
    if (a == INADDR_NONE)
        return false;
    Value = ntohl(a);
    return true;
}

bool IsIPAddress(const std::string& Text)
{
    uint32_t v;
    return IPToHostOrder(Text, v);
}

std::string HostOrderToIP(uint32_t Value)
{
    in_addr a{};
    a.s_addr = htonl(Value);
    char buf[INET_ADDRSTRLEN];
    return ::inet_ntop(AF_INET, &a, buf, sizeof buf) ? buf : "";
}

int CompareIP(const std::string& IP1, const std::string& IP2)
{
    // An unreadable text counts as INADDR_NONE, as the library reads it.
    uint32_t a = 0xFFFFFFFFu, b = 0xFFFFFFFFu;
    IPToHostOrder(IP1, a);
    IPToHostOrder(IP2, b);
    return a < b ? -1 : (a > b ? 1 : 0);
}

bool CalcIPRange(const std::string& IP, const std::string& Mask, std::string& StartIP,
                 std::string& StopIP)
{
    StartIP.clear();
    StopIP.clear();
    // inet_aton reads the same forms as inet_addr but can tell the all-ones
    // mask of a single host from an error.
    in_addr ipA{}, maskA{};
    if (IP.empty() || Mask.empty() || !::inet_aton(IP.c_str(), &ipA) ||
        !::inet_aton(Mask.c_str(), &maskA))
        return false;
    const uint32_t ip = ntohl(ipA.s_addr), mask = ntohl(maskA.s_addr);
    StartIP = HostOrderToIP((ip & mask) + 1);
    StopIP = HostOrderToIP((ip | ~mask) - 1);
    return !StartIP.empty() && !StopIP.empty();
}
