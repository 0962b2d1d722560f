// The sessions of this computer and how a message reaches them: a session
// with a terminal gets the message written to that terminal, as write(1)
// would; our own graphical session gets a desktop notification. The sessions
// come from logind over the system bus, or from utmp when logind cannot be
// reached. Other computers' sessions cannot be reached from here.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct TerminalSession {
    std::string Id; // logind's session id, or the utmp entry's position
    std::uint32_t Uid = 0;
    std::string User;
    std::string Tty;   // "pts/3", "tty2"; empty for a graphical session
    std::string Type;  // "tty", "x11", "wayland", "unspecified"
    std::string Class; // "user", "greeter", "lock-screen", "background"
    std::string State; // "active", "online", "closing"
};

// Lists this computer's sessions. False with Error set when neither logind
// nor utmp could be read. FromLogind tells where the list came from.
bool ListTerminalSessions(std::vector<TerminalSession>& Sessions, bool& FromLogind,
                          std::string& Error);

// False for greeters, lock screens and sessions that are closing: nobody
// reads a message there.
bool IsMessageTarget(const TerminalSession& Session);

// The terminal line of a session as the device it names: only "pts/N" and
// "ttyN" are taken; anything else (a path, "..", another device) gives false.
bool IsValidTerminalLine(const std::string& Line);

// Text as a terminal shows it safely: line breaks become CR LF, tabs stay,
// every other control character (ESC, C1 controls, DEL) is shown as "^X" or
// "M-^X", and bytes that are no UTF-8 as "M-" and their low seven bits. For
// a terminal not in UTF-8 (Utf8Terminal false) every byte above ASCII is
// shown that way: only ASCII is sent.
std::string NeutraliseTerminalText(const std::string& Text, bool Utf8Terminal = true);

// The most text a terminal gets; the rest is cut off with a mark.
inline constexpr size_t MaxTerminalText = 8192;

// The reasons WriteTerminalMessage gives for the failures it finds itself;
// other failures give the system's text.
inline constexpr const char* ReasonInvalidLine = "invalid terminal line";
inline constexpr const char* ReasonNotATerminal = "not a terminal";
inline constexpr const char* ReasonMesgN = "mesg n";
inline constexpr const char* ReasonBlocked = "the terminal does not take the message";

// Writes a header line (Title, Sender, Time) and Text to the terminal Line,
// in UTF-8 when the terminal says it reads UTF-8 (IUTF8), else in ASCII.
// Returns an empty text on success, else why it failed: an invalid line, no
// terminal there (a link, a plain file), a terminal closed with "mesg n", or
// one that does not take the text within a few seconds.
std::string WriteTerminalMessage(const std::string& Line, const std::string& Title,
                                 const std::string& Sender, const std::string& Time,
                                 const std::string& Text);

// Sends a desktop notification on the session bus. Icon: 0 none,
// 1 information, 2 warning, 3 error. TimeoutSeconds 0 means it stays.
// Returns an empty text on success, else the reason.
std::string NotifyDesktop(const std::string& Title, const std::string& Text, int Icon,
                          std::int64_t TimeoutSeconds);

// Escapes "&", "<", ">", "'" and '"' for a notification body, which servers
// read as markup.
std::string EscapeNotificationMarkup(const std::string& Text);

// The notification time-out in ms for a time-out in seconds: 0 stays 0 (no
// time-out), negative gives -1 (the server's default), too large is clamped.
std::int32_t NotificationTimeoutMs(std::int64_t TimeoutSeconds);

// Seam for tests: the folder the terminal lines are looked up in (default
// "/dev/").
void SetTerminalDeviceDir(const std::string& Dir);

} // namespace platform
