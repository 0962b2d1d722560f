#include "admin/uComputerShutdown.h"

#include "admin/uCommandArgs.h"
#include "engine/uFormat.h"
#include "platform/LocalComputer.h"
#include "platform/LocalInterfaces.h"
#include "platform/Process.h"
#include "settings/Language.h"

#include <QDBusConnection>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusPendingCall>

#include <algorithm>
#include <cctype>
#include <mutex>
#include <set>
#include <sstream>
#include <thread>

std::string NetProgram = "net";
std::chrono::milliseconds ShutdownTimeLimit = std::chrono::seconds(60);
std::function<void(int)> ShutdownClientStarted;

namespace {

std::atomic<bool> CancelAll{false};

// The stops of the requests that run now, so that CancelShutdownRequests
// reaches each of them.
std::mutex RunningLock;
std::set<TShutdownCancel*> Running;

// Keeps a request's stop in Running while it runs; set at once when the
// program is already ending.
class TRunningRequest {
public:
    explicit TRunningRequest(TShutdownCancel* Cancel) : FCancel(Cancel ? Cancel : &FOwn)
    {
        std::lock_guard Lock(RunningLock);
        Running.insert(FCancel);
        if (CancelAll)
            *FCancel = true;
    }
    ~TRunningRequest()
    {
        std::lock_guard Lock(RunningLock);
        Running.erase(FCancel);
    }
    TRunningRequest(const TRunningRequest&) = delete;
    TRunningRequest& operator=(const TRunningRequest&) = delete;
    TShutdownCancel* Stop() const { return FCancel; }

private:
    TShutdownCancel FOwn{false};
    TShutdownCancel* FCancel;
};

std::string TimedOutText()
{
    return FormatChecked(Translate("sShutdownTimedOut"),
                         "The computer did not answer within %d seconds (timed out).",
                         {static_cast<std::int64_t>(ShutdownTimeLimit.count() / 1000)});
}

bool HasAny(const std::string& Text, const char* Chars)
{
    return Text.find_first_of(Chars, 0, std::char_traits<char>::length(Chars) + 1) !=
           std::string::npos;
}

std::string TrimmedLine(std::string Line)
{
    while (!Line.empty() && std::isspace(static_cast<unsigned char>(Line.back())))
        Line.pop_back();
    const auto Start = Line.find_first_not_of(" \t");
    return Start == std::string::npos ? std::string() : Line.substr(Start);
}

std::int32_t PowerOffThisComputer(std::int32_t Flags, const std::string& UserName,
                                  const TShutdownCancel& Stop)
{
    if (!UserName.empty())
        throw EShutdownError(Translate("sShutdownLocalCredentials"));
    if (Stop)
        throw EShutdownError(Translate("sShutdownCancelled"));
    const bool Reboot = (Flags & ~EWX_FORCE) == EWX_REBOOT;
    QDBusMessage Call = QDBusMessage::createMethodCall(
        "org.freedesktop.login1", "/org/freedesktop/login1", "org.freedesktop.login1.Manager",
        Reboot ? "Reboot" : "PowerOff");
    // Interactive: polkit may ask the user for a password of its own.
    Call << true;
    Call.setInteractiveAuthorizationAllowed(true);
    // A connection of its own for each request: the shared system-bus
    // connection would keep the bus of its first use for the whole process.
    static std::atomic<int> Serial{0};
    const QString Name = QString("tolvex-shutdown-%1").arg(++Serial);
    QDBusConnection Bus = QDBusConnection::connectToBus(QDBusConnection::SystemBus, Name);
    struct TDisconnect {
        QString Name;
        ~TDisconnect() { QDBusConnection::disconnectFromBus(Name); }
    } Disconnect{Name};
    if (!Bus.isConnected())
        throw EShutdownError(FormatChecked(Translate("sShutdownNoSystemBus"),
                                           "The system bus cannot be reached: %s",
                                           {Bus.lastError().message().toStdString()}));
    // Waited for in slices, so that the program's end or the user's Cancel
    // need not wait for a polkit prompt nobody will answer any more.
    const QDBusPendingCall Pending =
        Bus.asyncCall(Call, static_cast<int>(ShutdownTimeLimit.count()));
    const auto Deadline =
        std::chrono::steady_clock::now() + ShutdownTimeLimit + std::chrono::seconds(1);
    while (!Pending.isFinished()) {
        if (Stop)
            throw EShutdownError(Translate("sShutdownCancelled"));
        if (std::chrono::steady_clock::now() >= Deadline)
            throw EShutdownError(TimedOutText());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const QDBusMessage Reply = Pending.reply();
    if (Reply.type() == QDBusMessage::ErrorMessage) {
        // The bus gave up waiting for logind at the time limit: that is the
        // time-out the user was promised, not a bus error to show raw.
        const QString Error = Reply.errorName();
        if (Error == "org.freedesktop.DBus.Error.NoReply" ||
            Error == "org.freedesktop.DBus.Error.Timeout")
            throw EShutdownError(TimedOutText());
        throw EShutdownError(Error.toStdString() + ": " + Reply.errorMessage().toStdString());
    }
    return 0;
}

} // namespace

std::int32_t ShutdownFlags(std::int32_t ActionIndex, bool Forced)
{
    std::int32_t Flags;
    switch (ActionIndex) {
    case 1:
        Flags = EWX_REBOOT;
        break;
    case 2:
        Flags = EWX_LOGOFF;
        break;
    default:
        Flags = EWX_POWEROFF;
    }
    return Forced ? Flags | EWX_FORCE : Flags;
}

bool IsValidShutdownHost(const std::string& Host)
{
    return IsValidCommandHost(Host);
}

bool IsShutdownHostThisComputer(const std::string& Host)
{
    if (Host == ".")
        return true;
    // "localhost." and this computer's name with a final dot are looked up
    // as the names without it; "0.0.0.0" reaches this computer as well.
    std::string Name = Host;
    if (Name.size() > 1 && Name.back() == '.')
        Name.pop_back();
    if (Name.empty() || Name.back() == '.')
        return false;
    return Name == "0.0.0.0" || platform::IsLocalComputer(Name, platform::ListLocalInterfaces());
}

TNetShutdownCall BuildNetShutdownCall(const std::string& Host, const std::string& UserName,
                                      const std::string& Password, std::int32_t Flags)
{
    if (!IsValidShutdownHost(Host))
        throw EShutdownError(FormatChecked(Translate("sShutdownInvalidHost"),
                                           "\"%s\" is not a valid computer address; a computer "
                                           "without a valid address cannot be shut down.",
                                           {Host}));
    // net reads "name%password" as both; CR and LF would end the name or
    // password early where net reads them.
    if (!UserName.empty() && (UserName.front() == '-' || HasAny(UserName, "%\r\n")))
        throw EShutdownError(Translate("sShutdownInvalidUser"));
    if (HasAny(Password, "\r\n"))
        throw EShutdownError(Translate("sShutdownInvalidPassword"));
    if ((Flags & ~EWX_FORCE) == EWX_LOGOFF)
        throw EShutdownError(Translate("sShutdownLogOffNotAvailable"));

    TNetShutdownCall Call;
    Call.Arguments = {"rpc", "shutdown"};
    Call.Arguments.push_back((IsCanonicalIpv4(Host) ? "--ipaddress=" : "--server=") + Host);
    if ((Flags & ~EWX_FORCE) == EWX_REBOOT)
        Call.Arguments.push_back("-r");
    if (Flags & EWX_FORCE)
        Call.Arguments.push_back("-f");
    Call.Arguments.insert(Call.Arguments.end(), {"-t", "0"});
    if (UserName.empty()) {
        // The logged-on user: no password, a Kerberos ticket if there is one.
        Call.Arguments.push_back("-N");
    } else {
        Call.Arguments.push_back("--user=" + UserName);
        Call.Password = Password;
    }
    return Call;
}

std::string NetShutdownReason(const std::string& Output, const std::string& ErrorOutput)
{
    std::vector<std::string> Lines;
    std::istringstream In(Output + "\n" + ErrorOutput);
    for (std::string Line; std::getline(In, Line);) {
        Line = TrimmedLine(Line);
        // net asks for a password on the terminal each time it falls back.
        const auto Prompt = Line.find("password:");
        if (Prompt != std::string::npos)
            Line = TrimmedLine(Line.substr(Prompt + 9));
        if (!Line.empty() && std::find(Lines.begin(), Lines.end(), Line) == Lines.end())
            Lines.push_back(Line);
    }
    std::vector<std::string> Named;
    for (const auto& Line : Lines)
        if (Line.find("NT_STATUS_") != std::string::npos || Line.find("WERR_") != std::string::npos)
            Named.push_back(Line);
    const auto& Chosen = Named.empty() ? Lines : Named;
    std::string Reason;
    for (const auto& Line : Chosen)
        Reason += (Reason.empty() ? "" : " ") + Line;
    return Reason;
}

void CancelShutdownRequests()
{
    CancelAll = true;
    std::lock_guard Lock(RunningLock);
    for (TShutdownCancel* Stop : Running)
        *Stop = true;
}

std::int32_t ShutdownComputerByWmi(const std::string& Host, const std::string& UserName,
                                   const std::string& Password, bool Forced,
                                   std::int32_t ActionIndex, TShutdownCancel* Cancel)
{
    const TRunningRequest Running(Cancel);
    const std::int32_t Flags = ShutdownFlags(ActionIndex, Forced);
    if (IsShutdownHostThisComputer(Host)) {
        // Neither PowerOff nor Reboot is a log off: asked for one, this
        // computer must not be switched off instead.
        if ((Flags & ~EWX_FORCE) == EWX_LOGOFF)
            throw EShutdownError(Translate("sShutdownLogOffNotAvailable"));
        return PowerOffThisComputer(Flags, UserName, *Running.Stop());
    }

    TNetShutdownCall Call = BuildNetShutdownCall(Host, UserName, Password, Flags);
    platform::TProcessRequest Request;
    // The copies of the password made here, and what the calls below left of
    // it on the stack, are wiped on every way out.
    struct TWipe {
        TNetShutdownCall& Call;
        platform::TProcessRequest& Request;
        ~TWipe()
        {
            if (Call.Password)
                platform::WipeSecret(*Call.Password);
            if (Request.ExtraInput)
                platform::WipeSecret(*Request.ExtraInput);
            platform::WipeStack();
        }
    } Wipe{Call, Request};
    if (*Running.Stop())
        throw EShutdownError(Translate("sShutdownCancelled"));
    Request.Program = NetProgram;
    Request.Arguments = Call.Arguments;
    Request.RemoveEnvironment = {"PASSWD", "PASSWD_FILE", "PASSWD_FD", "USER", "LOGNAME"};
    // net's messages in English, whatever the user's locale, so that the
    // status names read the same everywhere.
    Request.SetEnvironment = {{"LC_ALL", "C"}};
    if (Call.Password) {
        Request.ExtraInput = *Call.Password;
        Request.ExtraInputVariable = "PASSWD_FD";
    }
    Request.TimeLimit = ShutdownTimeLimit;
    Request.Cancel = Running.Stop();
    if (ShutdownClientStarted)
        Request.OnStarted = [](pid_t Pid) { ShutdownClientStarted(static_cast<int>(Pid)); };
    const platform::TProcessResult Result = platform::RunProcess(Request);
    if (!Result.Started)
        throw EShutdownError(FormatChecked(
            Translate("sShutdownNoClient"),
            "The remote-shutdown client \"%s\" cannot be started: %s", {NetProgram, Result.Error}));
    if (Result.TimedOut)
        throw EShutdownError(TimedOutText());
    if (Result.Cancelled)
        throw EShutdownError(Translate("sShutdownCancelled"));
    if (Result.ExitCode != 0) {
        std::string Reason = NetShutdownReason(Result.Output, Result.ErrorOutput);
        if (Reason.empty())
            Reason = FormatChecked(Translate("sShutdownClientFailed"),
                                   "The remote-shutdown client failed (exit code %d).",
                                   {static_cast<std::int64_t>(Result.ExitCode)});
        throw EShutdownError(Reason);
    }
    return 0;
}
