// The LAN Manager browse service on Linux: the workgroups (domains) that the
// master browsers of the LAN know, and the servers of one workgroup, read
// through libsmbclient from the SMB1 browsers (browse lists exist only there,
// so the client speaks NT1 for these calls).
//
// No credentials are ever asked for: the connection is anonymous, or whatever
// the user's own Samba configuration and Kerberos ticket cache provide. The
// library reads the machine's smb.conf and the user's ~/.smb/smb.conf as it
// always does; tests give a namespace its own /etc/samba.
#pragma once

#include <chrono>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// A browse request that failed: no master browser, a refused or timed-out
// connection. The message says which.
class EBrowseError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A browse list is a peer's answer: no list of more names than this is taken.
constexpr size_t MaxBrowseEntries = 65535;
// Workgroup names handed to the browser are cut to this many characters.
constexpr size_t MaxWorkgroupChars = 128;

// Time-out of one connection to a browser; name queries keep Samba's own.
constexpr std::chrono::milliseconds BrowseTimeout{5000};

// Names of the workgroups and domains, in the browser's order, each once.
std::vector<std::string> BrowseWorkgroups();
// Names of the servers the browsers list for one workgroup, each once.
std::vector<std::string> BrowseServers(const std::string& Workgroup);

// The "smb://" address of a workgroup: the name cut to MaxWorkgroupChars
// characters, every byte but letters, digits and "-._~" percent-encoded.
std::string WorkgroupUrl(const std::string& Workgroup);

} // namespace platform
