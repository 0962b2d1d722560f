// The NetBIOS node-status exchange (RFC 1002) on UDP port 137, shared by the
// name lookup and the NetBIOS MAC method: the fixed request for the name
// "*", one request per exchange, and a bounds-checked reading of the reply.
//
// Replies come from the network and are untrusted: a reply is read only when
// its header and answer fields are those of an answer to our request, and
// only the bytes that were received are ever read.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

constexpr uint16_t NetBiosNamePort = 137;

// The node-status request, byte for byte as it goes on the wire.
extern const std::array<uint8_t, 50> NetBiosNodeStatusRequest;

// Offsets of the reply as read: the name count, then 18-byte entries, then
// the adapter's MAC address.
constexpr std::size_t NetBiosNameCountOffset = 56;
constexpr std::size_t NetBiosNameTableOffset = 57;
constexpr std::size_t NetBiosNameEntrySize = 18;
constexpr std::size_t NetBiosReceiveSize = 1025;

// One entry of a reply's name table.
struct TNetBiosNameEntry {
    std::string RawName; // the 15 name bytes as received (OEM code page, blank-padded)
    uint8_t Suffix = 0;  // the 16th byte: the kind of service
    uint8_t Flags = 0;   // first flag byte: group bit, node type, active...
};

struct TNetBiosNodeStatus {
    unsigned DeclaredNames = 0;           // the count the reply claims
    std::vector<TNetBiosNameEntry> Names; // the entries that lie within the reply
    bool HasMac = false;                  // the 6 bytes after the full table were received
    std::array<uint8_t, 6> Mac{};
};

// True when the bytes are an answer to our request: our transaction id, the
// response bit, no error code, an answer, and an answer record for a
// first-level encoded name of type NBSTAT and class IN where the fixed
// offsets expect it, with the name count present.
bool IsNetBiosNodeStatusReply(const uint8_t* data, std::size_t len);

// Reads a reply; false when IsNetBiosNodeStatusReply rejects it.
bool ParseNetBiosNodeStatus(const std::vector<uint8_t>& Reply, TNetBiosNodeStatus& Status);

// The name of an entry: the bytes up to the first zero byte, trimmed of
// blanks and control characters, decoded from the OEM code page to UTF-8.
std::string NetBiosEntryName(const TNetBiosNameEntry& Entry);

// Decodes text of the usual OEM code page (850) to UTF-8.
std::string OemToUtf8(std::string_view Text);

// Sends the request to IP:137 and waits for the answer: up to TimeoutMs for
// the socket to take the request and up to TimeoutMs for the reply.
// Datagrams that are not an answer to it do not end the wait. True with the
// reply's bytes (at most NetBiosReceiveSize) when an answer came.
bool ExchangeNetBiosNodeStatus(const std::string& IP, int TimeoutMs, std::vector<uint8_t>& Reply);

// --- Name query (RFC 1002 4.2.12) --------------------------------------------
// The address of a NetBIOS name, asked by broadcast on the local subnets or of
// one name server: Linux resolvers know nothing of NetBIOS names, which the
// network neighbourhood and the directory hand out.

// Longest NetBIOS name: 15 bytes, the 16th is the service suffix.
constexpr std::size_t NetBiosMaxNameLength = 15;

// True when Name can be asked for: 1 to 15 bytes, none of them a control
// character, a blank, "." (a DNS name) or "*".
bool IsNetBiosQueryName(std::string_view Name);

// The query for Name (upper-cased, blank-padded, suffix 0x00: the workstation
// service) with the given transaction id; Broadcast sets the B flag. Empty
// when IsNetBiosQueryName refuses the name.
std::vector<uint8_t> BuildNetBiosNameQuery(std::string_view Name, uint16_t TransactionId,
                                           bool Broadcast);

// The first address of a positive answer to Query; false when the bytes are
// no such answer (another id, an error code, no answer record, a record for
// another name or type, an address list cut short). Only the received bytes
// are read; addresses 0.0.0.0 and 255.255.255.255 are passed over.
bool ParseNetBiosNameQueryReply(const std::vector<uint8_t>& Query, const uint8_t* Data,
                                std::size_t Length, std::string& IP);

// Where a name query goes: a subnet's broadcast address or a name server.
struct TNetBiosQueryTarget {
    std::string IP;
    uint16_t Port = NetBiosNamePort;
    bool Broadcast = true;
};

// The broadcast addresses of the local interfaces that are up, not loopback,
// and have an IPv4 address with a mask shorter than /31.
std::vector<TNetBiosQueryTarget> LocalNetBiosBroadcastTargets();

// Sends the query for Name to every target and waits up to TimeoutMs for the
// first positive answer; IP is its address, or empty.
void QueryNetBiosNameAddress(const std::string& Name,
                             const std::vector<TNetBiosQueryTarget>& Targets, int TimeoutMs,
                             std::string& IP);
