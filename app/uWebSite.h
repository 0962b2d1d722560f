// The maker's web site and the desktop's opener of addresses.
//
// The site's address is a build setting (TOLVEX_WEB_SITE) and empty unless a
// build names one: then every link to it says so instead of leading nowhere.
#pragma once

#include <string>

// The site's address without a trailing "/"; empty when the build has none.
std::string MakerWebSite();

// Hands Address to the desktop (xdg-open, the address as one argument);
// false when the opener cannot be started. Either that or an opener that
// fails later (no program for the address) is shown in a message box.
bool OpenAddress(const std::string& Address);

// Opens the site's Path (with its query): or, when the build has no site,
// says so in a message box. False when nothing was opened.
bool OpenMakerPage(const std::string& Path);

// What "Open as" opens for a computer of address IP: Kind 0 "http://",
// 1 "https://", 2 "ftp://", 3 "smb://" (file server) followed by IP. Empty
// when IP is not an IPv4 address in canonical dotted form, since a row read
// from a file may hold anything, such as a host and path.
std::string OpenAsAddress(int Kind, const std::string& IP);

// "?product=<internal name>&version=<short version>" of the program.
std::string ProductQuery();

// The help page of the site; without a site, the README that comes with the
// program (beside it, or in the source tree it was built from). False when
// there is nothing to open, which is said in a message box.
bool OpenOnlineHelp();
