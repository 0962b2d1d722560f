#include "engine/uLocalComputerAddress.h"

#include "platform/LocalInterfaces.h"

#include <arpa/inet.h>

bool IsLoopbackAddress(const std::string& IP)
{
    in_addr A{};
    return ::inet_pton(AF_INET, IP.c_str(), &A) == 1 && (ntohl(A.s_addr) >> 24) == 127;
}

std::string FirstNetworkAddress()
{
    for (const platform::LocalInterface& I : platform::ListLocalInterfaces()) {
        if (I.loopback || !I.up)
            continue;
        for (const platform::Ipv4Address& A : I.ipv4)
            if ((A.address >> 24) != 127)
                return A.AddressText();
    }
    return {};
}
