// The crash reporter's own DNS client: enough of it to find the mail
// exchangers of a recipient's domain when a report is mailed straight to
// them, without a configured SMTP server.
//
// A query goes to the name servers of /etc/resolv.conf over UDP, with a
// random identifier; a reply counts only when it comes from the address and
// port asked, carries that identifier and the same question, and is marked as
// a reply. Anything else that arrives is ignored while the wait lasts. A
// truncated reply is asked once more over TCP. Replies are untrusted bytes:
// names may only point backwards in the packet, through at most 32 jumps, and
// every length is checked against what is there.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

inline constexpr std::uint16_t DnsTypeNS = 2;
inline constexpr std::uint16_t DnsTypeCNAME = 5;
inline constexpr std::uint16_t DnsTypeMX = 15;

// How long a query waits for its reply, over UDP and again over TCP.
inline constexpr std::chrono::milliseconds DnsWait{5000};

// A name a record points to, lower case, without a trailing ".". An MX
// record's name is empty for "." (the domain takes no mail).
struct TDnsRecord {
    std::string Name;
    std::uint16_t Preference = 0; // MX records only
};

enum class TDnsReplyStatus {
    drOk,
    drNotOurs,       // too short, another identifier, not a reply, another question
    drMalformed,     // ours, but its records cannot be read
    drTruncated,     // ours, cut short by the server (TC): ask over TCP
    drNoSuchDomain,  // ours, RCODE 3
    drServerFailure, // ours, any other RCODE
};

struct TDnsReply {
    TDnsReplyStatus Status = TDnsReplyStatus::drNotOurs;
    int Rcode = 0;
    // The records of the asked type that belong to the asked name (or to the
    // end of the CNAME chain the answer section leads to), in packet order.
    std::vector<TDnsRecord> Answers;
    // NS records of the authority section, for an NS question.
    std::vector<TDnsRecord> Authority;
};

// The query packet: Id, recursion desired, one question of Type, class IN.
// Empty when Name is no domain name this client asks for (labels of letters,
// digits, "-" and "_", 1 to 63 bytes each, 253 bytes at most in all; one
// trailing "." is allowed).
std::string MakeDnsQuery(std::uint16_t Id, std::string_view Name, std::uint16_t Type);

// Reads a reply to the query MakeDnsQuery(Id, Name, Type) made.
TDnsReply ParseDnsReply(std::string_view Packet, std::uint16_t Id, std::string_view Name,
                        std::uint16_t Type);

// The "nameserver" addresses of a resolv.conf text, in order, each once.
std::vector<std::string> ParseResolvConf(std::string_view Text);
// The name servers of /etc/resolv.conf.
std::vector<std::string> GetDnsServers();

struct TDnsAnswer {
    bool Ok = false; // a reply came that counts, with RCODE 0
    TDnsReplyStatus Status = TDnsReplyStatus::drNotOurs;
    std::vector<TDnsRecord> Answers;
    std::vector<TDnsRecord> Authority;
    std::string Error; // why not Ok
};

// One question to one server (a numeric IPv4 or IPv6 address; the port is a
// seam for tests). MX answers come sorted by preference, equal ones in packet
// order.
TDnsAnswer DnsQuery(std::string_view Server, std::string_view Name, std::uint16_t Type,
                    std::uint16_t Port = 53);

// The domain of a mail address: the text after its last "@", without a
// trailing ">" or ".", trimmed.
std::string MailDomain(std::string_view Address);

struct TMailExchangers {
    std::vector<std::string> Hosts; // in order of preference
    std::string Error;              // why there are none
};

// The hosts that take mail for the address's domain, asking Servers in turn
// until one answers: its MX hosts by preference; the domain itself when it
// has none; nobody for a domain that does not exist or takes no mail ("."
// as its only MX). Only the domain itself is asked, never a parent of it.
TMailExchangers FindMailExchangers(std::string_view Address,
                                   const std::vector<std::string>& Servers);
// The same with the servers of GetDnsServers().
TMailExchangers FindMailExchangers(std::string_view Address);
// The most preferred host; empty when there is none.
std::string FindMailExchanger(std::string_view Address);
