// Operating-system version tests.
//
// The callers ask whether the system is at least Windows Vista (6.0) to pick
// the neighbour-table way of resolving MAC addresses and the hot-tracking
// look of lists. On Linux both exist on every supported system: the netlink
// neighbour and route requests the ARP method needs are as old as netlink
// itself, and the list look is the toolkit's. So this system answers as a
// system of exactly that level, 6.0 without service pack: every test up to
// it is true, and a test for anything later is false, because no caller has
// a later facility to stand for.
#pragma once

// True when the system is at least Major.Minor with service pack
// ServicePackMajor, compared in that order as the version test does.
bool IsWindowsVersionOrGreater(unsigned Major, unsigned Minor, unsigned ServicePackMajor);
bool IsWindowsVistaOrGreater();
bool IsWindowsVistaOrLater();
