// Shutting down or restarting a computer (uThrdComputerShutdown runs one
// request in a thread of its own).
//
// Another computer is asked through Samba's "net rpc shutdown", which speaks
// the remote-shutdown RPC that Windows hosts answer for administrators. It
// runs with an argv built from validated texts only; a password goes to it
// through a pipe named by PASSWD_FD and never through its argv or
// environment. This computer (".", or a name or address IsLocalComputer
// recognises) is asked through logind's PowerOff and Reboot on the system bus.
// A computer without a valid address is refused: nothing ever falls back to
// shutting down the computer the user sits at.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

// A shutdown request that failed or was refused; the text is for the user.
class EShutdownError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The shutdown flags of an action: 0 power off (8), 1 reboot (2), 2 log off
// (0), anything else power off; Forced adds 4.
std::int32_t ShutdownFlags(std::int32_t ActionIndex, bool Forced);

inline constexpr std::int32_t EWX_LOGOFF = 0;
inline constexpr std::int32_t EWX_REBOOT = 2;
inline constexpr std::int32_t EWX_FORCE = 4;
inline constexpr std::int32_t EWX_POWEROFF = 8;

// True for an IPv4 address in canonical dotted form or an RFC 1123 host name
// (whose last label is not all digits, so that no odd spelling of an address
// passes as a name): the rule a command's host follows (IsValidCommandHost).
bool IsValidShutdownHost(const std::string& Host);

// True when Host is this computer: ".", "0.0.0.0", or what IsLocalComputer
// recognises, also with one final dot ("localhost.", this computer's name
// and a dot). An empty host is no computer at all.
bool IsShutdownHostThisComputer(const std::string& Host);

// What runs for another computer: net's arguments and the password for its
// PASSWD_FD pipe (none for the current user).
struct TNetShutdownCall {
    std::vector<std::string> Arguments;
    std::optional<std::string> Password;
};

// Raises EShutdownError for a host, user name or password that must not
// reach net: an invalid host, "%", CR or LF in the user name (net would take
// what follows "%" as the password), CR or LF in the password, a leading "-".
TNetShutdownCall BuildNetShutdownCall(const std::string& Host, const std::string& UserName,
                                      const std::string& Password, std::int32_t Flags);

// The reason net gave: its NT_STATUS_/WERR_ lines, each once, without its
// password prompts; its other lines when it named no status.
std::string NetShutdownReason(const std::string& Output, const std::string& ErrorOutput);

// The client program and the hard limit for one request. Settable so that
// the tests can point them elsewhere.
extern std::string NetProgram;
extern std::chrono::milliseconds ShutdownTimeLimit;
// Called in the requesting thread with the client's process id once it runs;
// lets a test look at what the client shows to other users.
extern std::function<void(int)> ShutdownClientStarted;

// Kills every running client, stops waiting for logind's answer, and makes
// every later request in this process fail at once; called when the program
// closes.
void CancelShutdownRequests();

// One request's own stop: set from any thread, it ends that request as
// CancelShutdownRequests ends all of them ("The request was cancelled.").
using TShutdownCancel = std::atomic<bool>;

// 0 when the computer accepted the request; -1 is never returned without an
// exception: every failure raises EShutdownError with its reason.
std::int32_t ShutdownComputerByWmi(const std::string& Host, const std::string& UserName,
                                   const std::string& Password, bool Forced,
                                   std::int32_t ActionIndex, TShutdownCancel* Cancel = nullptr);
