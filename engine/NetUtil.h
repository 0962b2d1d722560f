// Small network routines shared by the engine and the user interface:
// IPv4 text tests and arithmetic, name resolution (DNS and NetBIOS), the
// reachability probes, and the local computer and user names.
//
// None of these routines raises: failures give an empty text, false, or
// NoAnswer.
#pragma once

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
void HostNameToIP(const std::string& Host, std::string& IP);
void IPToHostName(const std::string& IP, std::string& Name);
void QueryNetBiosName(const std::string& IP, int TimeoutMs, std::string& Name);
void ParseNetBiosNameReply(const std::vector<uint8_t>& Reply, std::string& Name);
void GetNetBiosName(const std::string& IP, int TimeoutMs, std::string& Name);
void GetLocalComputerName(std::string& Name);
void GetLocalUserName(std::string& Name);

// --- Probes ----------------------------------------------------------------
int PingHost(const std::string& Host, int TimeoutMs);
int TcpConnectTime(const std::string& Host, int TimeoutMs, uint16_t Port);
int CheckTcpPort(const std::string& Host, int TimeoutMs, uint16_t Port);
int OpenNonBlockingTcpSocket();
void CloseNonBlockingSocket(int Socket);

// Elements joined with ", " (the adapter address lists of the WMI method).
std::string VarArrayToStr(const std::vector<std::string>& Values);
