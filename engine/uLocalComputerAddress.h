// The address the network knows this computer by. Debian's installer maps
// the host name to 127.0.1.1 in /etc/hosts: an address no neighbour sees and
// ARP cannot be asked about. The address of the first interface that is up
// and no loopback is then the computer's address.
#pragma once

#include <string>

// True for a dotted address of the loopback network 127.0.0.0/8.
bool IsLoopbackAddress(const std::string& IP);

// The first IPv4 address of an interface that is up and no loopback, in the
// order the system lists them; empty when there is none.
std::string FirstNetworkAddress();
