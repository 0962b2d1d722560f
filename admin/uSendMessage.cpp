#include "admin/uSendMessage.h"

#include "engine/NetUtil.h"
#include "engine/uFormat.h"
#include "forms/PlainText.h"
#include "platform/LocalComputer.h"
#include "platform/LocalInterfaces.h"
#include "platform/TerminalSessions.h"
#include "settings/Language.h"

#include <QMessageBox>
#include <QTimer>

#include <charconv>
#include <cstring>
#include <ctime>
#include <unistd.h>
#include <vector>

std::int32_t MessageTypeToStyle(std::int32_t MessageType)
{
    switch (MessageType) {
    case 1:
        return MB_ICONINFORMATION;
    case 2:
        return MB_ICONWARNING;
    case 3:
        return MB_ICONERROR;
    default:
        return 0;
    }
}

std::int32_t StyleToMessageType(std::int32_t Style)
{
    switch (Style) {
    case MB_ICONINFORMATION:
        return 1;
    case MB_ICONWARNING:
        return 2;
    case MB_ICONERROR:
        return 3;
    default:
        return 0;
    }
}

void RaiseLastWtsError(int Code, const std::string& Reason)
{
    if (Code != 0)
        throw ETerminalServerError(FormatChecked(Translate("sWtsErrorCode"), "%s (Error code: %x).",
                                                 {std::string(std::strerror(Code)), Code}));
    throw ETerminalServerError(Reason.empty() ? Translate("sSessionsUnknown") : Reason);
}

bool IsThisComputer(const std::string& Host)
{
    if (Host.empty() || Host == ".")
        return true;
    return platform::IsLocalComputer(Host, platform::ListLocalInterfaces());
}

namespace {

std::string LocalTimeText()
{
    std::time_t T = std::time(nullptr);
    std::tm Tm{};
    localtime_r(&T, &Tm);
    char Buf[64];
    return std::string(Buf, std::strftime(Buf, sizeof Buf, "%x %X", &Tm));
}

std::string SenderText()
{
    std::string User, Computer;
    GetLocalUserName(User);
    GetLocalComputerName(Computer);
    return User + "@" + Computer;
}

bool IsGraphical(const platform::TerminalSession& S)
{
    return S.Type == "x11" || S.Type == "wayland" || S.Type == "mir";
}

// What was sent to this computer's sessions in one call.
struct TDelivery {
    int Delivered = 0;
    bool Notified = false; // our desktop has been told already
    std::vector<std::string> Reasons;
};

// Why a session did not take the message, for the user: Who and the
// reason in the user's language.
std::string ReasonText(const std::string& Who, const std::string& Reason)
{
    static const struct {
        const char* Reason;
        const char* Key;
        const char* BuiltIn;
    } Known[] = {
        {platform::ReasonInvalidLine, "sSessionInvalidLine", "%s: invalid terminal line"},
        {platform::ReasonNotATerminal, "sSessionNotATerminal", "%s: not a terminal"},
        {platform::ReasonMesgN, "sSessionTtyMesgN",
         "%s: the terminal does not accept messages (mesg n)"},
        {platform::ReasonBlocked, "sSessionTtyBlocked",
         "%s: the terminal does not take the message"},
    };
    for (const auto& K : Known)
        if (Reason == K.Reason)
            return FormatChecked(Translate(K.Key), K.BuiltIn, {Who});
    return FormatChecked(Translate("sSessionFailed"), "%s: %s", {Who, Reason});
}

void Deliver(const platform::TerminalSession& S, const std::string& Title, const std::string& Text,
             std::int32_t Style, std::int32_t Timeout, const std::string& Sender,
             const std::string& Time, TDelivery& D)
{
    const std::string Who = S.Id + " (" + S.User + ")";
    if (!platform::IsMessageTarget(S)) {
        D.Reasons.push_back(FormatChecked(Translate("sSessionNotRead"),
                                          "%s: nobody reads messages in this session", {Who}));
        return;
    }
    std::string Reason;
    if (!S.Tty.empty()) {
        Reason = platform::WriteTerminalMessage(S.Tty, Title, Sender, Time, Text);
    } else if (IsGraphical(S) && S.Uid == ::geteuid()) {
        // Every graphical session of ours shares the one desktop bus.
        if (!D.Notified)
            Reason = platform::NotifyDesktop(Title, Text, StyleToMessageType(Style), Timeout);
        D.Notified = D.Notified || Reason.empty();
    } else {
        D.Reasons.push_back(FormatChecked(Translate("sSessionNoTarget"),
                                          "%s: no terminal and no desktop to show the message",
                                          {Who}));
        return;
    }
    if (Reason.empty())
        ++D.Delivered;
    else
        D.Reasons.push_back(ReasonText(Who, Reason));
}

std::vector<platform::TerminalSession> LocalSessions(const std::string& Host)
{
    if (!IsThisComputer(Host))
        RaiseLastWtsError(0, Translate("sRemoteSessionsNotAvailable"));
    std::vector<platform::TerminalSession> Sessions;
    bool FromLogind = false;
    std::string Error;
    if (!platform::ListTerminalSessions(Sessions, FromLogind, Error))
        RaiseLastWtsError(0, Translate("sSessionsUnknown") + " " + Error);
    return Sessions;
}

std::string FirstReasons(const std::vector<std::string>& Reasons)
{
    std::string Out;
    for (size_t I = 0; I < Reasons.size() && I < MaxReasonsShown; ++I)
        Out += (I ? "; " : "") + Reasons[I];
    if (Reasons.size() > MaxReasonsShown)
        Out += "; ...";
    return Out;
}

} // namespace

bool WtsPreviewMessage(const std::string& Title, const std::string& Text, std::int32_t Style,
                       std::int32_t Timeout, QWidget* Owner)
{
    QMessageBox::Icon Icon = QMessageBox::NoIcon;
    switch (StyleToMessageType(Style)) {
    case 1:
        Icon = QMessageBox::Information;
        break;
    case 2:
        Icon = QMessageBox::Warning;
        break;
    case 3:
        Icon = QMessageBox::Critical;
        break;
    default:
        break;
    }
    auto* Box = new QMessageBox(Owner);
    Box->setIcon(Icon);
    Box->setWindowTitle(QString::fromStdString(Title));
    SetPlainText(*Box, Text);
    Box->setStandardButtons(QMessageBox::Ok);
    Box->setObjectName("PreviewMessage");
    Box->setAttribute(Qt::WA_DeleteOnClose);
    Box->setWindowModality(Owner ? Qt::WindowModal : Qt::NonModal);
    if (Timeout > 0) {
        // QTimer counts in int ms: a longer time-out stays until closed.
        const std::int64_t Ms = std::int64_t(Timeout) * 1000;
        if (Ms <= INT32_MAX)
            QTimer::singleShot(static_cast<int>(Ms), Box, &QWidget::close);
    }
    Box->show();
    return true;
}

bool WtsSendMessageToSession(const std::string& Host, const std::string& Title,
                             const std::string& Text, std::int32_t SessionId, std::int32_t Style,
                             std::int32_t Timeout, std::int32_t& Response, bool)
{
    Response = 0;
    const auto Sessions = LocalSessions(Host);
    const std::string Id = std::to_string(SessionId);
    for (const auto& S : Sessions) {
        if (S.Id != Id)
            continue;
        TDelivery D;
        Deliver(S, Title, Text, Style, Timeout, SenderText(), LocalTimeText(), D);
        if (D.Delivered > 0)
            return true;
        RaiseLastWtsError(0, D.Reasons.front());
    }
    RaiseLastWtsError(ESRCH);
}

bool WtsSendMessageToAllSessions(const std::string& Host, const std::string& Title,
                                 const std::string& Text, std::int32_t Style, std::int32_t Timeout,
                                 std::int32_t& Response, bool)
{
    Response = 0;
    const auto Sessions = LocalSessions(Host);
    const std::string Sender = SenderText(), Time = LocalTimeText();
    TDelivery D;
    for (const auto& S : Sessions)
        if (platform::IsMessageTarget(S))
            Deliver(S, Title, Text, Style, Timeout, Sender, Time, D);
    if (D.Delivered > 0)
        return true;
    std::string Message = Translate("sNoActiveSessions");
    if (!D.Reasons.empty())
        Message += " " + FirstReasons(D.Reasons);
    RaiseLastWtsError(0, Message);
}

TThrdSendMessage::TThrdSendMessage(const std::string& AHost, const std::string& ATitle,
                                   const std::string& AText, std::int32_t AStyle,
                                   std::int32_t ATimeout, std::int32_t ASessionId,
                                   std::shared_ptr<platform::TThreadGroup> Group)
    : platform::TThread(std::move(Group)), Host(AHost), Title(ATitle), Text(AText),
      SessionId(ASessionId), Style(AStyle), Timeout(ATimeout)
{
    FreeOnTerminate = true;
}

void TThrdSendMessage::Execute()
{
    try {
        std::int32_t Response = 0;
        if (SessionId == AllSessions)
            WtsSendMessageToAllSessions(Host, Title, Text, Style, Timeout, Response, false);
        else
            WtsSendMessageToSession(Host, Title, Text, SessionId, Style, Timeout, Response, false);
    } catch (const std::exception& E) {
        ErrorText = E.what();
        if (ErrorText.empty())
            ErrorText = Translate("sSessionsUnknown");
    }
}
