// ICMP echo on Linux: an ICMP datagram socket where net.ipv4.ping_group_range
// lets this process's group open one, else a raw ICMP socket (CAP_NET_RAW).
//
// Workers ping in parallel and other programs on the host ping too, so every
// echo carries its own identifier and sequence number, and only a reply from
// the pinged address with both of them counts as the answer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <netinet/in.h>
#include <stdexcept>

namespace platform {

// Neither kind of ICMP socket can be opened: pinging cannot work at all, which
// is not the same as "the host did not answer".
class EIcmpUnavailable : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class IcmpSocketKind { Datagram, Raw };

// Identifier and sequence number of one echo request.
struct EchoIdentity {
    uint16_t Id = 0;
    uint16_t Sequence = 0;
};

// A fresh identity per call: identifiers repeat only after 65536 calls in
// this process; the sequence number is random, so that another process that
// happens to use the same identifier still does not match.
EchoIdentity NextEchoIdentity();

struct EchoOutcome {
    bool Answered = false;
    int RoundTripMs = 0;                            // valid when Answered
    IcmpSocketKind Kind = IcmpSocketKind::Datagram; // the socket that was used
    EchoIdentity Identity;                          // what went on the wire
};

// Sends one echo request with `dataSize` zero bytes to `target` (network byte
// order) and waits up to timeoutMs for its reply. A reported error for our
// request (host unreachable...) ends the wait without an answer.
// Raises EIcmpUnavailable when neither socket can be opened.
EchoOutcome IcmpEcho(in_addr_t target, int timeoutMs, std::size_t dataSize = 32);

// How one received ICMP message relates to our request.
enum class EchoMatch {
    Ours,        // the echo reply to our request
    Unreachable, // an ICMP error about our request
    NotOurs      // anything else: another request's reply, our own request...
};

// Classifies a received message. `withIpHeader` is true for raw sockets,
// whose messages start with the IP header; `from` is the sender (network
// order). Bounds-checked: a short or malformed message is NotOurs.
EchoMatch ClassifyEchoMessage(const uint8_t* data, std::size_t len, bool withIpHeader,
                              in_addr_t from, in_addr_t target, EchoIdentity identity);

// The Internet checksum (RFC 1071) of a buffer.
uint16_t InternetChecksum(const uint8_t* data, std::size_t len);

// Test seam: how a socket of each kind is opened. The opener returns a
// descriptor, or -1 with errno set. An empty function restores the system's.
using IcmpSocketOpener = std::function<int(IcmpSocketKind)>;
void SetIcmpSocketOpener(IcmpSocketOpener opener);

} // namespace platform
