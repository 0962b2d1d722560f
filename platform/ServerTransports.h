// The server's transport list (the LAN Manager server's bindings, level 0:
// transport name and network address), answered for the local computer from
// the interface inventory. Linux has no such list for another computer, so a
// remote server is reported as not supported rather than as having none.
//
// The local computer's transports are its interfaces that are up, are not
// loopback and carry a 6-byte hardware address other than all zeros; each is
// named "\Device\NetBT_Tcpip_" + the interface name, and its network address
// is the hardware address as 12 lower-case hexadecimal digits, which is how
// the NetBIOS-over-TCP transports of that system show an adapter.
#pragma once

#include "platform/LocalInterfaces.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

// One entry of the list.
struct ServerTransportInfo0 {
    std::string TransportName;
    std::string NetworkAddress;
};

// Status codes, with the values callers of the original interface test for.
constexpr uint32_t NerrSuccess = 0;
constexpr uint32_t ErrorGenFailure = 31;
constexpr uint32_t ErrorNotSupported = 50;
constexpr uint32_t ErrorInvalidParameter = 87;
constexpr uint32_t ErrorInvalidName = 123;
constexpr uint32_t ErrorMoreData = 234;

// No limit on the entries of one answer.
constexpr uint32_t MaxPreferredLength = 0xFFFFFFFFu;

constexpr const char* TransportNamePrefix = "\\Device\\NetBT_Tcpip_";

// The transports of an inventory, in its order.
std::vector<ServerTransportInfo0>
LocalServerTransports(const std::vector<LocalInterface>& Interfaces);

// Lists the transports of ServerName: empty for the local computer, or a host
// with or without a leading "\\". PrefMaxEntries bounds the entries of one
// answer (at least one is returned while any is left); ResumeHandle starts at
// 0 and is advanced past what was returned. The answer is NerrSuccess when
// the list is complete, ErrorMoreData when more entries follow,
// ErrorNotSupported for another computer, ErrorInvalidName for a "\\" with
// no host after it, ErrorInvalidParameter for PrefMaxEntries 0, and
// ErrorGenFailure when the inventory cannot be read.
// EntriesRead and TotalEntries are set on success and on ErrorMoreData.
uint32_t NetServerTransportEnum(const std::string& ServerName, uint32_t PrefMaxEntries,
                                std::vector<ServerTransportInfo0>& Buffer, uint32_t& EntriesRead,
                                uint32_t& TotalEntries, uint32_t& ResumeHandle);

// The same with the inventory given by the caller: the seam of the tests.
uint32_t NetServerTransportEnum(const std::string& ServerName, uint32_t PrefMaxEntries,
                                std::vector<ServerTransportInfo0>& Buffer, uint32_t& EntriesRead,
                                uint32_t& TotalEntries, uint32_t& ResumeHandle,
                                const std::function<std::vector<LocalInterface>()>& Inventory);

} // namespace platform
