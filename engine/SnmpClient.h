// An SNMP version 1 client for one agent, on Net-SNMP's single-session API.
//
// The library is set up once per process, whichever thread comes first: it
// reads no configuration file of the user or the machine (neither snmp.conf
// nor per-host files), loads no MIB, keeps no persistent state and writes no
// log line anywhere, so a scan neither prints warnings nor depends on what is
// installed in /etc/snmp or ~/.snmp. Each client has its own session and
// socket, so workers query their hosts in parallel without sharing one.
#pragma once

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

// A failure of the client itself (a session that cannot be opened, a
// request that cannot be sent), as opposed to an agent that does not answer.
class ESnmpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr uint16_t SnmpPort = 161;

// BER types of the values a reply can carry.
constexpr uint8_t SnmpTypeInteger = 0x02;
constexpr uint8_t SnmpTypeOctetString = 0x04;
constexpr uint8_t SnmpTypeNull = 0x05;
constexpr uint8_t SnmpTypeObjectId = 0x06;
constexpr uint8_t SnmpTypeIpAddress = 0x40;

// The first variable binding of a reply.
struct TSnmpReply {
    int ErrorStatus = 0;     // the PDU's error-status; 0 is noError
    bool HasVarBind = false; // whether the reply carried a variable binding
    std::string Oid;         // its name, dotted decimal
    uint8_t Type = 0;        // its value's BER type
    // Its value: integers, counters, gauges and time ticks as decimal text,
    // object identifiers dotted, strings, addresses and opaque values as
    // their raw bytes; empty for NULL and for the version-2 exceptions.
    std::string Value;
};

class TSnmpClient {
public:
    // Opens a session to Host (an IPv4 address or a host name) on Port; one
    // request waits Timeout ms for its reply and is not repeated. Raises
    // ESnmpError when the host text is unusable or the session cannot be
    // opened (a name that does not resolve, no socket).
    TSnmpClient(const std::string& Host, const std::string& Community, int Timeout,
                uint16_t Port = SnmpPort);
    ~TSnmpClient();
    TSnmpClient(const TSnmpClient&) = delete;
    TSnmpClient& operator=(const TSnmpClient&) = delete;

    const std::string& Host() const { return host_; }

    // One GetRequest or GetNextRequest for Oid (dotted decimal), which goes
    // out bound to an empty OCTET STRING. True when a reply came within the
    // time-out; Reply then holds it. Raises ESnmpError when Oid is no object
    // identifier or the request cannot be sent. In a platform::TThread that is
    // terminated the wait ends at once, as without a reply.
    bool Request(bool GetNext, const std::string& Oid, TSnmpReply& Reply);

private:
    struct TPending; // the request that waits for its reply
    void* session_ = nullptr;
    std::string host_;
    std::unique_ptr<TPending> pending_;
};
