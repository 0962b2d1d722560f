// Ready-made starters for the real servers that network tests talk to. Each
// writes a private configuration into a folder of the Lab's temp folder, so
// that it reads no system file and meets neither the machine's own instance
// nor another test's, then starts the program through Lab::StartPeer and
// waits until it answers. A new starter (snmpd, smbd, slapd) takes the same
// shape: a config struct, files in Lab::MakePeerDir, a PeerSpec with a
// readiness check.
#pragma once

#include "tests/lan/Lab.h"

#include <string>
#include <vector>

namespace lan {

// One name and one IPv4 address.
struct DnsRecord {
    std::string name;
    std::string ip;
};

// A mail exchanger of a domain.
struct MxRecord {
    std::string domain;
    std::string host;
    int preference = 10;
};

struct DnsmasqConfig {
    std::string listen;             // the address it answers on (one of the host's)
    std::vector<DnsRecord> hosts;   // forward A record and the matching PTR record
    std::vector<DnsRecord> ptrOnly; // a PTR record without the forward name
    std::vector<MxRecord> mx = {};  // MX records (--mx-host)
    // Names it knows nothing of get NXDOMAIN at once: there is no upstream.
};

// dnsmasq as the name server of a namespace; point clients at it with
// Host::SetNameServers({config.listen}).
Peer& StartDnsmasq(Host& host, const DnsmasqConfig& config);

struct NmbdConfig {
    std::string netbiosName; // e.g. "ALPHA" (at most 15 characters)
    std::string workgroup = "TVXGROUP";
    std::string interfaceAddress; // the host's address with prefix, "10.1.0.2/24"
    // Stands in the browser election and wins it (os level 65): the local
    // master browser of the workgroup, ready once it holds WORKGROUP<1d>.
    // Its smb.conf then also serves smbd (StartSmbd), SMB1 allowed.
    bool localMaster = false;
};

// nmbd answering NetBIOS name queries and node status for its name on one
// interface. Its smb.conf is Peer::dir() + "/smb.conf".
Peer& StartNmbd(Host& host, const NmbdConfig& config);

// smbd beside a local master browser started by StartNmbd, on the same
// smb.conf and state folders, so that it answers browse requests (SMB1
// NetServerEnum on IPC$, anonymous) from the list nmbd keeps.
Peer& StartSmbd(Host& host, const Peer& nmbd);

// A Samba account of a standalone smbd. The name must be an account of the
// machine (tdbsam maps to it); the password goes to pdbedit on its stdin.
struct SambaAccount {
    std::string name;
    std::string password;
    bool remoteShutdown = false; // holds SeRemoteShutdownPrivilege
};

struct ShutdownSmbdConfig {
    std::string netbiosName = "SHUTSRV";
    std::string interfaceAddress; // with prefix length
    std::vector<SambaAccount> accounts;
};

// A standalone smbd with its own tdbsam accounts whose "shutdown script"
// appends its arguments and uid to Peer::dir() + "/shutdown.log" and fails
// unless it runs as root: smbd runs it as root only for a caller holding the
// shutdown privilege, as the caller otherwise.
Peer& StartShutdownSmbd(Host& host, const ShutdownSmbdConfig& config);

// A client smb.conf (no WINS, broadcast only, state in the Lab's temp
// folder) for nmblookup and other Samba clients run by a test: pass it with -s.
std::string SambaClientConf(Lab& lab);

} // namespace lan

namespace lan {

struct SlapdConfig {
    std::string listen; // the address it answers on (one of the host's)
    std::string suffix = "dc=tvx,dc=test";
    // Non-empty: the root entry names this as its "defaultNamingContext".
    std::string defaultNamingContext;
    // Entries loaded before the start (LDIF), below the suffix entry, which
    // the starter makes. The schema knows objectClass "computer" with "cn",
    // "name", "description" and "userAccountControl" (an integer).
    std::string ldif;
    // Non-empty: also listens on this local socket (ldapi), where SASL
    // EXTERNAL binds as the connecting process's uid and gid.
    std::string ldapiPath;
};

// slapd with one mdb database in the Lab's temp folder, anonymous read,
// statistics logged (one "SEARCH RESULT ... nentries=N" line per answer).
Peer& StartSlapd(Host& host, const SlapdConfig& config);

struct SnmpdConfig {
    std::vector<std::string> listen; // addresses it answers on, port 161
    std::string passTable;           // a table file: served by a pass script instead
    std::string community = "public";
};

// snmpd with a private configuration, log, pid file and persistent folder,
// reading no MIBs. With passTable, the interfaces group comes from that file
// (lines "OID<TAB>type<TAB>value") instead of the namespace's own interfaces.
Peer& StartSnmpd(Host& host, const SnmpdConfig& config);

} // namespace lan
