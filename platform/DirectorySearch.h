// Directory search on Linux through OpenLDAP's libldap, in the shape the
// computer-account enumeration needs.
//
// Where to look comes from the user's LDAP configuration as libldap reads it
// (ldap.conf, ~/.ldaprc, LDAPURI, LDAPBASE, LDAPCONF...): the URI, and the
// search base; without a configured base, the base is the RootDSE's
// "defaultNamingContext", and a directory that names none is an error. The
// bind is SASL when the configuration names a mechanism (SASL_MECH, e.g.
// GSSAPI or EXTERNAL, which need no prompt), anonymous otherwise. Referrals
// are never chased, results come in pages.
#pragma once

#include <chrono>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace platform {

// The directory could not be reached, bound or searched; the message is the
// library's or the server's text.
class EDirectoryError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct TDirectoryQuery {
    std::string Filter;
    std::vector<std::string> Attributes; // requested
    std::string ValueAttribute;          // the one whose first value is reported
    int PageSize = 100;
    // Connecting, and each request's answer.
    std::chrono::milliseconds Timeout{15000};
};

// What a search did, beside the values it reported.
struct TDirectorySearchInfo {
    std::string Uri;      // the server asked
    std::string Base;     // the base searched
    int Pages = 0;        // result pages received
    bool Stopped = false; // Terminated asked to stop between pages
};

// A directory is a peer: no search reports more values than this, and none
// asks for more pages.
constexpr size_t MaxDirectoryValues = 1000000;
constexpr int MaxDirectoryPages = 100000;

// Runs the paged search and calls OnValue with the first value of
// ValueAttribute of every entry that has one, as the pages arrive (so a
// failure on a later page keeps what came before). Terminated is asked before
// every page after the first. Raises EDirectoryError when the directory
// cannot be reached, bound or searched.
TDirectorySearchInfo SearchDirectory(const TDirectoryQuery& Query,
                                     const std::function<void(const std::string&)>& OnValue,
                                     const std::function<bool()>& Terminated);

} // namespace platform
