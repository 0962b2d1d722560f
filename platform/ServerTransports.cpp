#include "platform/ServerTransports.h"

#include "platform/LocalComputer.h"

#include <algorithm>
#include <net/if_arp.h>

namespace platform {

namespace {

bool AllZero(const std::vector<uint8_t>& Bytes)
{
    return std::all_of(Bytes.begin(), Bytes.end(), [](uint8_t b) { return b == 0; });
}

std::string LowerHex(const std::vector<uint8_t>& Bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (uint8_t b : Bytes) {
        text += digits[b >> 4];
        text += digits[b & 0x0F];
    }
    return text;
}

} // namespace

std::vector<ServerTransportInfo0>
LocalServerTransports(const std::vector<LocalInterface>& Interfaces)
{
    std::vector<ServerTransportInfo0> list;
    for (const LocalInterface& i : Interfaces) {
        if (!i.up || i.loopback || i.hardwareType == ARPHRD_LOOPBACK ||
            i.hardwareAddress.size() != 6 || AllZero(i.hardwareAddress))
            continue;
        list.push_back({TransportNamePrefix + i.name, LowerHex(i.hardwareAddress)});
    }
    return list;
}

uint32_t NetServerTransportEnum(const std::string& ServerName, uint32_t PrefMaxEntries,
                                std::vector<ServerTransportInfo0>& Buffer, uint32_t& EntriesRead,
                                uint32_t& TotalEntries, uint32_t& ResumeHandle,
                                const std::function<std::vector<LocalInterface>()>& Inventory)
{
    Buffer.clear();
    if (PrefMaxEntries == 0)
        return ErrorInvalidParameter;
    std::vector<LocalInterface> interfaces;
    try {
        interfaces = Inventory();
    } catch (const EInterfaceListError&) {
        return ErrorGenFailure;
    }
    std::string host = ServerName;
    if (host.rfind("\\\\", 0) == 0) {
        host.erase(0, 2);
        if (host.empty())
            return ErrorInvalidName;
    }
    if (!IsLocalComputer(host, interfaces))
        return ErrorNotSupported;

    // Each call lists afresh; the handle is the position in that list, so an
    // interface that went away meanwhile shortens the rest and none is listed
    // twice from one list.
    const std::vector<ServerTransportInfo0> all = LocalServerTransports(interfaces);
    TotalEntries = static_cast<uint32_t>(all.size());
    const std::size_t from = std::min<std::size_t>(ResumeHandle, all.size());
    const std::size_t count = std::min<std::size_t>(PrefMaxEntries, all.size() - from);
    Buffer.assign(all.begin() + static_cast<std::ptrdiff_t>(from),
                  all.begin() + static_cast<std::ptrdiff_t>(from + count));
    EntriesRead = static_cast<uint32_t>(count);
    ResumeHandle = static_cast<uint32_t>(from + count);
    return from + count < all.size() ? ErrorMoreData : NerrSuccess;
}

uint32_t NetServerTransportEnum(const std::string& ServerName, uint32_t PrefMaxEntries,
                                std::vector<ServerTransportInfo0>& Buffer, uint32_t& EntriesRead,
                                uint32_t& TotalEntries, uint32_t& ResumeHandle)
{
    return NetServerTransportEnum(ServerName, PrefMaxEntries, Buffer, EntriesRead, TotalEntries,
                                  ResumeHandle, ListLocalInterfaces);
}

} // namespace platform
