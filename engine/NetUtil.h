// Small network routines shared by the engine and the user interface:
// IPv4 text tests and arithmetic, name resolution (DNS and NetBIOS), the
// reachability probes, and the local computer and user names.
//
// None of these routines raises, with one exception: PingHost raises
// platform::EIcmpUnavailable when this process cannot open any ICMP socket, so
// that a scan reports "cannot ping" instead of "every host inactive".
// Other failures give an empty text, false, or NoAnswer.
#pragma once

#include "platform/Icmp.h"

#include <cstdint>
#include <string>
#include <vector>

// Probe result that means "no answer"; every other value is a time in ms.
constexpr int NoAnswer = 2147483647;

// --- IPv4 text -------------------------------------------------------------
// Address texts follow inet_addr: "10.1" and "0x0a.1" are addresses, and
// "255.255.255.255" is not (it is the library's error value).
bool IsIPAddress(const std::string& Text);
// Host-order number of an address text; false when IsIPAddress rejects it.
bool IPToHostOrder(const std::string& Text, uint32_t& Value);
// Dotted text of a host-order number.
std::string HostOrderToIP(uint32_t Value);
// -1, 0, 1 comparing the two addresses as unsigned host-order numbers.
int CompareIP(const std::string& IP1, const std::string& IP2);
// First and last host of the subnet of IP and Mask; false for an empty or
// rejected text. A /32 mask gives a start above the stop.
bool CalcIPRange(const std::string& IP, const std::string& Mask, std::string& StartIP,
                 std::string& StopIP);

// --- Names -----------------------------------------------------------------
// First IPv4 address of a name (DNS, hosts file...), or empty.
void HostNameToIP(const std::string& Host, std::string& IP);
// The same, then, for a name that DNS does not know and that can be a
// NetBIOS name, a NetBIOS name query broadcast on the local subnets, waiting
// up to NetBiosTimeoutMs for the answer (the scan's way: the network
// neighbourhood and the directory hand out NetBIOS names).
void HostNameToIP(const std::string& Host, std::string& IP, int NetBiosTimeoutMs);
// The name registered for an address (reverse lookup), or empty; empty
// without any lookup when IP is no address.
void IPToHostName(const std::string& IP, std::string& Name);
// NetBIOS node-status query to IP:137; the computer name, or empty.
void QueryNetBiosName(const std::string& IP, int TimeoutMs, std::string& Name);
// Picks the computer name from a node-status reply: the first unique, active
// name with suffix 00 or 01 that has no "~"; empty when the reply is no
// sound answer to our request or lists no such name.
void ParseNetBiosNameReply(const std::vector<uint8_t>& Reply, std::string& Name);
// QueryNetBiosName; any failure gives an empty name.
void GetNetBiosName(const std::string& IP, int TimeoutMs, std::string& Name);
// This computer's host name.
void GetLocalComputerName(std::string& Name);
// Login name of the effective user; empty when the user has no account entry.
void GetLocalUserName(std::string& Name);

// --- Probes ----------------------------------------------------------------
// ICMP echo round trip in ms, or NoAnswer (also for a name that does not
// resolve, without sending anything). Raises platform::EIcmpUnavailable.
int PingHost(const std::string& Host, int TimeoutMs);
// Time in ms until a TCP connection to Host:Port is made, or NoAnswer. Only
// a completed connection counts: a refusal is NoAnswer, at once.
int TcpConnectTime(const std::string& Host, int TimeoutMs, uint16_t Port);
int CheckTcpPort(const std::string& Host, int TimeoutMs, uint16_t Port);
// IPv4 TCP socket in non-blocking mode, or -1.
int OpenNonBlockingTcpSocket();
// Switches the socket back to blocking and closes it; -1 is passed over.
void CloseNonBlockingSocket(int Socket);

// Elements joined with ", " (the adapter address lists of the WMI method).
std::string VarArrayToStr(const std::vector<std::string>& Values);
