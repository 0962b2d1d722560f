#include "platform/LocalComputer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <unistd.h>

#include <climits>
#include <strings.h>

namespace platform {

namespace {

bool SameName(const std::string& A, const std::string& B)
{
    return !A.empty() && A.size() == B.size() && ::strcasecmp(A.c_str(), B.c_str()) == 0;
}

std::string OwnHostName()
{
    char buf[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buf, sizeof buf - 1) != 0)
        return {};
    return buf;
}

} // namespace

bool IsLocalComputer(const std::string& Host, const std::vector<LocalInterface>& Interfaces)
{
    if (Host.empty() || Host == "." || SameName(Host, "localhost") || SameName(Host, OwnHostName()))
        return true;
    // Strict dotted form only: a loose form such as "127.1" is no name that
    // the callers pass, and taking it would widen what counts as local.
    in_addr a{};
    if (::inet_pton(AF_INET, Host.c_str(), &a) != 1)
        return false;
    const uint32_t address = ntohl(a.s_addr);
    if ((address >> 24) == 127)
        return true;
    for (const LocalInterface& i : Interfaces)
        for (const Ipv4Address& own : i.ipv4)
            if (own.address == address)
                return true;
    return false;
}

} // namespace platform
