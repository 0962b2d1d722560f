// Messages to the sessions of a computer, and the worker thread that sends
// them. Only this computer's sessions can be reached (a terminal gets the
// text, our own desktop a notification); another computer gives a clear
// error. Every failure raises ETerminalServerError with a text for the user.
#pragma once

#include "platform/Thread.h"

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>

class QWidget;

class ETerminalServerError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Message-box styles of the message types.
inline constexpr std::int32_t MB_ICONERROR = 16;
inline constexpr std::int32_t MB_ICONWARNING = 48;
inline constexpr std::int32_t MB_ICONINFORMATION = 64;
// 0 None, 1 Information, 2 Warning, 3 Error; anything else: no icon.
std::int32_t MessageTypeToStyle(std::int32_t MessageType);
std::int32_t StyleToMessageType(std::int32_t Style);

// The session id that addresses every session.
inline constexpr std::int32_t AllSessions = -1;

// Raises ETerminalServerError: for a non-zero Code its system text and the
// code, else Reason; never returns, so a failed step can never be taken for
// a success.
[[noreturn]] void RaiseLastWtsError(int Code, const std::string& Reason = "");

// True when Host names this computer: empty, ".", "localhost", its name or
// one of its own addresses.
bool IsThisComputer(const std::string& Host);

// The message in the program itself, with the style's icon, closed after
// Timeout seconds (0: stays until closed). Does not wait. Needs the Qt
// application; true when shown. With an Owner (a modal dialog that asks for
// the preview) the box is that window's own and modal to it: a box the
// dialog blocked could not be closed, and keys would reach the dialog.
bool WtsPreviewMessage(const std::string& Title, const std::string& Text, std::int32_t Style,
                       std::int32_t Timeout, QWidget* Owner = nullptr);

// Response and Wait are kept for the callers' sake: a message is never
// waited for, so Response is always 0 afterwards.
bool WtsSendMessageToSession(const std::string& Host, const std::string& Title,
                             const std::string& Text, std::int32_t SessionId, std::int32_t Style,
                             std::int32_t Timeout, std::int32_t& Response, bool Wait);
// True when at least one session took the message; otherwise raises "No
// active sessions." followed by the first reasons the sessions failed.
bool WtsSendMessageToAllSessions(const std::string& Host, const std::string& Title,
                                 const std::string& Text, std::int32_t Style, std::int32_t Timeout,
                                 std::int32_t& Response, bool Wait);

// How many failure reasons "No active sessions." shows.
inline constexpr size_t MaxReasonsShown = 3;

// Sends one message in its own thread; created suspended, frees itself.
// ErrorText is empty after a success.
class TThrdSendMessage : public platform::TThread {
public:
    TThrdSendMessage(const std::string& AHost, const std::string& ATitle, const std::string& AText,
                     std::int32_t AStyle, std::int32_t ATimeout, std::int32_t ASessionId,
                     std::shared_ptr<platform::TThreadGroup> Group = nullptr);

    std::string Host;
    std::string Title;
    std::string Text;
    std::int32_t SessionId;
    std::int32_t Style;
    std::int32_t Timeout; // seconds
    std::string ErrorText;

protected:
    void Execute() override;
};
