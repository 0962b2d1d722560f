// The MAC resolution methods: ARP and NetBIOS give one MAC address for one
// host, NET API and WMI add a host's adapters to its computer.
//
// Only WMI raises; every other failure gives an empty MAC or False.
#pragma once

#include "engine/NeighbourPath.h"
#include "engine/uResolveIpNetEntry2.h"
#include "platform/RawArp.h"

#include <string>

// --- NetBIOS, NET API and WMI -------------------------------------------
#include "platform/ServerTransports.h"
#include "platform/Wmi.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

class TComputer;

// The MAC of a node-status reply: the six bytes after its name table, as
// GetMacByArp writes them. Empty when the reply is no answer to our request,
// when the name table would put the MAC beyond the received bytes, and when
// the unit id is all zeros: nodes without one (Samba's among them) send
// zeros, which are no adapter's address.
void NetBiosReplyToMac(const std::vector<uint8_t>& Reply, std::string& MAC);

// Where the NetBIOS method's MAC came from.
enum TNetBiosMacSource {
    nmsNone,              // no answer to our request: MAC is empty
    nmsReply,             // the answer's unit id
    nmsNeighbourTable,    // the answer's unit id was all zeros (Samba's is); the host is
                          // on the local link, and MAC is the kernel's neighbour entry
                          // that the exchange itself filled
    nmsNoHardwareAddress, // the answer's unit id was all zeros and the neighbour table
                          // has no entry for the host (it is off-link): MAC is empty
};

// Node-status request to IP:137; one wait of up to Timeout ms for the socket
// to take it and one for the answer, no retry. Empty on any failure. An
// answer without a hardware address takes the neighbour table's, which asks
// nothing more of the network.
TNetBiosMacSource GetMacByNetBios(const std::string& IP, int Timeout, std::string& MAC);
// The MAC of an all-zero answer from IP: the neighbour table's entry (this
// computer's own interface for one of its addresses), or nmsNoHardwareAddress.
TNetBiosMacSource NetBiosNeighbourMac(const std::string& IP, std::string& MAC);

// One call of the transport enumeration: Server is "" or "\\" + host; the
// answer's entries go to Page, ResumeHandle is carried from call to call.
using TTransportEnumerator = std::function<uint32_t(
    const std::string& Server, std::vector<platform::ServerTransportInfo0>& Page,
    uint32_t& ResumeHandle)>;

// The longest server name ("\\" + Host) that the enumeration is given; a
// longer host is not cut to another host's name, the method fails instead.
constexpr std::size_t NetApiMaxServerName = 128;

// The transport list of Host (empty: this computer) as adapters of Computer:
// one per transport except "\Device\NetbiosSmb", named after the transport,
// the network address upper-cased and regrouped into pairs joined by "-".
// True when an enumeration call succeeded at least once.
bool GetMacsByNetApi(const std::string& Host, TComputer& Computer);
bool GetMacsByNetApi(const std::string& Host, TComputer& Computer,
                     const TTransportEnumerator& Enumerate);

// Upper case, then characters 1-2 as the first group and a new group after
// "-" at every further odd-numbered character: "0019b9f1c2d3" gives
// "00-19-B9-F1-C2-D3".
std::string RegroupNetworkAddress(const std::string& Address);

// Opens the connection to a server's namespace (platform::ConnectWmiServer).
using TWmiConnector = std::function<std::unique_ptr<platform::WmiServices>(
    const std::string& Server, const std::string& Namespace)>;

constexpr const char* WmiConfigurationQuery =
    "Select MACAddress,Index,IPAddress from Win32_NetworkAdapterConfiguration where IPEnabled=TRUE";
constexpr const char* WmiAdapterQuery =
    "Select ProductName,Index,MACAddress from Win32_NetworkAdapter";

// The IP-enabled adapters of Host ("." for this computer) with index and
// address list, then their MAC ("-" for ":") and product name from the
// adapter class. Only the adapters that this call added are matched, so those
// of other methods (index 0) stay as they are; an adapter that gets no MAC
// is removed, on an error too. True when the first query listed an adapter.
// Raises platform::EWmiError (for another computer: "WMI is not available on
// this system").
bool GetMacsByWmi(const std::string& Host, TComputer& Computer);
bool GetMacsByWmi(const std::string& Host, TComputer& Computer, const TWmiConnector& Connect);

// --- ARP -------------------------------------------------------------------

// Neighbour way, then the SendARP way when the MAC is still empty.
void GetMacByArp(const std::string& IP, std::string& MAC);

// The ARP request/reply exchange on the route's interface (needs
// CAP_NET_RAW; without it the MAC stays empty). IPv4 in inet_addr's forms.
void GetMacBySendArp(const std::string& IP, std::string& MAC);
void GetMacBySendArp(const std::string& IP, std::string& MAC, const platform::ArpPacing& Pacing);

// --- SNMP --------------------------------------------------------------------
// The interface table of MIB-II, asked for by SNMP version 1: one adapter per
// interface that has a hardware address and is no software loopback.

#include "engine/SnmpClient.h"
#include "engine/uComputerList.h"

#include <string_view>
#include <vector>

// Object identifiers of the interfaces group; an index is appended in decimal.
constexpr const char* SnmpOidIfNumber = "1.3.6.1.2.1.2.1.0";
constexpr const char* SnmpOidIfIndex = "1.3.6.1.2.1.2.2.1.1";
constexpr const char* SnmpOidIfDescr = "1.3.6.1.2.1.2.2.1.2.";
constexpr const char* SnmpOidIfType = "1.3.6.1.2.1.2.2.1.3.";
constexpr const char* SnmpOidIfPhysAddress = "1.3.6.1.2.1.2.2.1.6.";
constexpr int SnmpIfTypeSoftwareLoopback = 24;

// An agent's ifNumber is believed up to this many interfaces: the number
// comes from the network, and every interface costs four round trips.
constexpr int SnmpMaxInterfaces = 4096;

// One row of the interface table, in walk order; zero or empty until filled.
struct TSnmpInterface {
    int Index = 0;
    int Type = 0;
    std::string Mac;         // BytesToMacText of a hardware address; empty
                             // for any length no hardware address has
    std::string Descr;       // ifDescr up to its first NUL byte, 255 bytes at most
    std::string PhysAddress; // the address's raw bytes
};

// One request through the client: a GetNextRequest when GetNext, else a
// GetRequest, for OID. True when the agent answered without an error status;
// Value then holds the reply's first value (when it has one) and, for
// GetNext, OID the name the reply gave it. False on a time-out, an error
// status or a version-2 exception value. Raises ESnmpError on socket errors.
bool SnmpQuery(TSnmpClient& Client, std::string& OID, bool GetNext, std::string& Value);

// Each byte as two upper-case hexadecimal digits, joined with "-".
std::string BytesToMacText(std::string_view Bytes);

// The interface table of Host (an IPv4 address or "localhost") with the
// caller's community and time-out (ms per request; the worker passes its
// job's copy of SNMPCommunity and DefaultTimeout). Adds one TMacAddress
// (Number: the MAC text, Name: ifDescr) per interface to Computer and
// returns True when it added at least one. An agent that does not answer
// gives False after one time-out; a session that cannot be opened raises
// ESnmpError.
bool GetMacsBySnmp(const std::string& Host, TComputer& Computer, const std::string& Community,
                   int Timeout, uint16_t Port = SnmpPort);

// The walk and the three passes over the table, on an open client; what
// GetMacsBySnmp adds its adapters from.
std::vector<TSnmpInterface> ReadSnmpInterfaces(TSnmpClient& Client);
