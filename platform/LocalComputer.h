// Which host texts name this computer. The stand-ins that can answer only for
// the local computer (the transport list, the management queries) accept a
// host when it is this computer under any of the names a caller may use for
// it: nothing, ".", "localhost", the host name, a loopback address or one of
// the interfaces' own IPv4 addresses.
#pragma once

#include "platform/LocalInterfaces.h"

#include <string>
#include <vector>

namespace platform {

// True when Host names this computer; Interfaces is the inventory whose
// addresses count as own. Name comparisons ignore ASCII letter case.
bool IsLocalComputer(const std::string& Host, const std::vector<LocalInterface>& Interfaces);

} // namespace platform
