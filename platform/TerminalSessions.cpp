#include "platform/TerminalSessions.h"

#include <systemd/sd-bus.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <poll.h>
#include <regex>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>
#include <utmpx.h>

namespace platform {

namespace {

std::mutex DeviceDirLock;
std::string DeviceDir = "/dev/";

std::string DevicePath(const std::string& Line)
{
    std::lock_guard Lock(DeviceDirLock);
    return DeviceDir + Line;
}

struct BusDeleter {
    void operator()(sd_bus* Bus) const { sd_bus_flush_close_unref(Bus); }
};
using BusPtr = std::unique_ptr<sd_bus, BusDeleter>;

struct MessageDeleter {
    void operator()(sd_bus_message* M) const { sd_bus_message_unref(M); }
};
using MessagePtr = std::unique_ptr<sd_bus_message, MessageDeleter>;

// A D-Bus error as one line: its message, else its name, else errno's text.
std::string BusErrorText(const sd_bus_error& Error, int Code)
{
    if (Error.message && *Error.message)
        return Error.message;
    if (Error.name && *Error.name)
        return Error.name;
    return std::strerror(Code < 0 ? -Code : Code);
}

std::string SessionProperty(sd_bus* Bus, const char* Path, const char* Name)
{
    sd_bus_error Error = SD_BUS_ERROR_NULL;
    char* Value = nullptr;
    std::string Result;
    if (sd_bus_get_property_string(Bus, "org.freedesktop.login1", Path,
                                   "org.freedesktop.login1.Session", Name, &Error, &Value) >= 0 &&
        Value)
        Result = Value;
    free(Value);
    sd_bus_error_free(&Error);
    return Result;
}

bool ListFromLogind(std::vector<TerminalSession>& Sessions, std::string& Error)
{
    sd_bus* Raw = nullptr;
    int R = sd_bus_open_system(&Raw);
    if (R < 0) {
        Error = std::strerror(-R);
        return false;
    }
    BusPtr Bus(Raw);
    sd_bus_error BusError = SD_BUS_ERROR_NULL;
    sd_bus_message* Reply = nullptr;
    R = sd_bus_call_method(Bus.get(), "org.freedesktop.login1", "/org/freedesktop/login1",
                           "org.freedesktop.login1.Manager", "ListSessions", &BusError, &Reply, "");
    MessagePtr ReplyPtr(Reply);
    if (R < 0) {
        Error = BusErrorText(BusError, R);
        sd_bus_error_free(&BusError);
        return false;
    }
    if (sd_bus_message_enter_container(Reply, 'a', "(susso)") < 0) {
        Error = "unexpected answer from logind";
        return false;
    }
    // A peer's list is capped: nobody runs this many sessions.
    constexpr size_t MaxSessions = 4096;
    const char *Id, *User, *Seat, *Path;
    std::uint32_t Uid;
    while ((R = sd_bus_message_read(Reply, "(susso)", &Id, &Uid, &User, &Seat, &Path)) > 0 &&
           Sessions.size() < MaxSessions) {
        TerminalSession S;
        S.Id = Id;
        S.Uid = Uid;
        S.User = User;
        S.Tty = SessionProperty(Bus.get(), Path, "TTY");
        S.Type = SessionProperty(Bus.get(), Path, "Type");
        S.Class = SessionProperty(Bus.get(), Path, "Class");
        S.State = SessionProperty(Bus.get(), Path, "State");
        const std::string Name = SessionProperty(Bus.get(), Path, "Name");
        if (!Name.empty())
            S.User = Name;
        Sessions.push_back(std::move(S));
    }
    if (R < 0 && Sessions.size() < MaxSessions) {
        Error = "unexpected answer from logind";
        return false;
    }
    return true;
}

bool ListFromUtmp(std::vector<TerminalSession>& Sessions, std::string& Error)
{
    // utmp is a plain file of records; getutxent reads it from _PATH_UTMPX.
    if (::access(_PATH_UTMPX, R_OK) != 0) {
        Error = std::string(_PATH_UTMPX) + ": " + std::strerror(errno);
        return false;
    }
    setutxent();
    int Position = 0;
    while (const utmpx* U = getutxent()) {
        ++Position;
        if (U->ut_type != USER_PROCESS)
            continue;
        TerminalSession S;
        S.Id = std::to_string(Position);
        S.User.assign(U->ut_user, strnlen(U->ut_user, sizeof U->ut_user));
        S.Tty.assign(U->ut_line, strnlen(U->ut_line, sizeof U->ut_line));
        S.Type = "tty";
        S.Class = "user";
        S.State = "active";
        Sessions.push_back(std::move(S));
    }
    endutxent();
    return true;
}

void AppendCaret(std::string& Out, unsigned char C)
{
    Out += '^';
    Out += static_cast<char>(C ^ 0x40);
}

// Length of the valid UTF-8 sequence at P (1 to 4), or 0.
size_t Utf8Length(const unsigned char* P, size_t Left, std::uint32_t& Code)
{
    const unsigned char C = P[0];
    size_t N;
    if (C >= 0xC2 && C <= 0xDF) {
        N = 2;
        Code = C & 0x1F;
    } else if (C >= 0xE0 && C <= 0xEF) {
        N = 3;
        Code = C & 0x0F;
    } else if (C >= 0xF0 && C <= 0xF4) {
        N = 4;
        Code = C & 0x07;
    } else {
        return 0;
    }
    if (Left < N)
        return 0;
    for (size_t I = 1; I < N; ++I) {
        if ((P[I] & 0xC0) != 0x80)
            return 0;
        Code = (Code << 6) | (P[I] & 0x3F);
    }
    if ((N == 3 && Code < 0x800) || (N == 4 && (Code < 0x10000 || Code > 0x10FFFF)) ||
        (Code >= 0xD800 && Code <= 0xDFFF))
        return 0;
    return N;
}

} // namespace

void SetTerminalDeviceDir(const std::string& Dir)
{
    std::lock_guard Lock(DeviceDirLock);
    DeviceDir = Dir.empty() ? "/dev/" : (Dir.back() == '/' ? Dir : Dir + "/");
}

bool ListTerminalSessions(std::vector<TerminalSession>& Sessions, bool& FromLogind,
                          std::string& Error)
{
    Sessions.clear();
    std::string LogindError;
    if (ListFromLogind(Sessions, LogindError)) {
        FromLogind = true;
        return true;
    }
    Sessions.clear();
    FromLogind = false;
    std::string UtmpError;
    if (ListFromUtmp(Sessions, UtmpError))
        return true;
    Error = "logind: " + LogindError + "; utmp: " + UtmpError;
    return false;
}

bool IsMessageTarget(const TerminalSession& Session)
{
    return Session.Class != "greeter" && Session.Class != "lock-screen" &&
           Session.State != "closing";
}

bool IsValidTerminalLine(const std::string& Line)
{
    static const std::regex Pattern("(pts/[0-9]{1,6}|tty[0-9]{1,4})");
    return std::regex_match(Line, Pattern);
}

std::string NeutraliseTerminalText(const std::string& Text, bool Utf8Terminal)
{
    std::string Out;
    Out.reserve(Text.size() + Text.size() / 8);
    const auto* P = reinterpret_cast<const unsigned char*>(Text.data());
    const size_t Size = Text.size();
    for (size_t I = 0; I < Size;) {
        const unsigned char C = P[I];
        if (C == '\r' && I + 1 < Size && P[I + 1] == '\n') {
            Out += "\r\n";
            I += 2;
        } else if (C == '\n') {
            Out += "\r\n";
            ++I;
        } else if (C == '\t' || (C >= 0x20 && C < 0x7F)) {
            Out += static_cast<char>(C);
            ++I;
        } else if (C < 0x20 || C == 0x7F) {
            AppendCaret(Out, C);
            ++I;
        } else {
            std::uint32_t Code = 0;
            // A terminal in 8-bit mode takes the bytes 0x80 to 0x9F inside
            // a character (the 0x9B of "ě") for C1 controls: there every
            // byte above ASCII is shown, none is sent.
            const size_t N = Utf8Terminal ? Utf8Length(P + I, Size - I, Code) : 0;
            if (N == 0) {
                // Not UTF-8: shown as write(1) shows 8-bit bytes.
                Out += "M-";
                const unsigned char Low = C & 0x7F;
                if (Low < 0x20 || Low == 0x7F)
                    AppendCaret(Out, Low);
                else
                    Out += static_cast<char>(Low);
                ++I;
            } else if (Code >= 0x80 && Code <= 0x9F) {
                // C1 controls (CSI, OSC...) act like ESC sequences.
                Out += "M-";
                AppendCaret(Out, static_cast<unsigned char>(Code & 0x7F));
                I += N;
            } else {
                Out.append(Text, I, N);
                I += N;
            }
        }
    }
    return Out;
}

std::string WriteTerminalMessage(const std::string& Line, const std::string& Title,
                                 const std::string& Sender, const std::string& Time,
                                 const std::string& Text)
{
    if (!IsValidTerminalLine(Line))
        return ReasonInvalidLine;
    const std::string Path = DevicePath(Line);
    const int Fd = ::open(Path.c_str(), O_WRONLY | O_NOCTTY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (Fd < 0)
        return errno == ELOOP ? std::string(ReasonNotATerminal) : std::strerror(errno);
    struct stat St {};
    if (::fstat(Fd, &St) != 0 || !S_ISCHR(St.st_mode) || !::isatty(Fd)) {
        ::close(Fd);
        return ReasonNotATerminal;
    }
    // "mesg n" takes the group's write permission away.
    if ((St.st_mode & S_IWGRP) == 0) {
        ::close(Fd);
        return ReasonMesgN;
    }
    // A terminal says it reads UTF-8 with the line discipline's IUTF8
    // flag, which terminal emulators, ssh and the console set for a UTF-8
    // locale; any other is taken for one that shows ASCII only.
    termios Mode{};
    const bool Utf8 = ::tcgetattr(Fd, &Mode) == 0 && (Mode.c_iflag & IUTF8) != 0;
    std::string Body = Text;
    bool Cut = false;
    if (Body.size() > MaxTerminalText) {
        size_t N = MaxTerminalText;
        while (N > 0 && (static_cast<unsigned char>(Body[N]) & 0xC0) == 0x80)
            --N; // never half a character
        Body.resize(N);
        Cut = true;
    }
    std::string Out =
        "\r\n" + NeutraliseTerminalText(Title, Utf8) + " (" + NeutraliseTerminalText(Sender, Utf8) +
        ", " + NeutraliseTerminalText(Time, Utf8) + ")\r\n" + NeutraliseTerminalText(Body, Utf8);
    if (Cut)
        Out += " [...]";
    Out += "\r\n";

    using Clock = std::chrono::steady_clock;
    const auto Deadline = Clock::now() + std::chrono::seconds(5);
    size_t Done = 0;
    std::string Result;
    while (Done < Out.size()) {
        const ssize_t W = ::write(Fd, Out.data() + Done, Out.size() - Done);
        if (W > 0) {
            Done += static_cast<size_t>(W);
            continue;
        }
        if (W < 0 && errno == EINTR)
            continue;
        if (W < 0 && errno != EAGAIN) {
            Result = std::strerror(errno);
            break;
        }
        const auto Left =
            std::chrono::duration_cast<std::chrono::milliseconds>(Deadline - Clock::now());
        if (Left.count() <= 0) {
            Result = ReasonBlocked;
            break;
        }
        pollfd Pfd{Fd, POLLOUT, 0};
        ::poll(&Pfd, 1, static_cast<int>(Left.count()));
    }
    ::close(Fd);
    return Result;
}

std::string EscapeNotificationMarkup(const std::string& Text)
{
    std::string Out;
    for (char C : Text) {
        switch (C) {
        case '&':
            Out += "&amp;";
            break;
        case '<':
            Out += "&lt;";
            break;
        case '>':
            Out += "&gt;";
            break;
        case '"':
            Out += "&quot;";
            break;
        case '\'':
            Out += "&apos;";
            break;
        case '\r':
            break;
        default:
            Out += C;
        }
    }
    return Out;
}

std::int32_t NotificationTimeoutMs(std::int64_t TimeoutSeconds)
{
    if (TimeoutSeconds < 0)
        return -1;
    if (TimeoutSeconds > INT32_MAX / 1000)
        return INT32_MAX;
    return static_cast<std::int32_t>(TimeoutSeconds * 1000);
}

std::string NotifyDesktop(const std::string& Title, const std::string& Text, int Icon,
                          std::int64_t TimeoutSeconds)
{
    sd_bus* Raw = nullptr;
    int R = sd_bus_open_user(&Raw);
    if (R < 0)
        return std::string("session bus: ") + std::strerror(-R);
    BusPtr Bus(Raw);
    static const char* const Icons[] = {"", "dialog-information", "dialog-warning", "dialog-error"};
    const char* IconName = Icon >= 0 && Icon <= 3 ? Icons[Icon] : "";
    sd_bus_error Error = SD_BUS_ERROR_NULL;
    sd_bus_message* Reply = nullptr;
    R = sd_bus_call_method(Bus.get(), "org.freedesktop.Notifications",
                           "/org/freedesktop/Notifications", "org.freedesktop.Notifications",
                           "Notify", &Error, &Reply, "susssasa{sv}i", "Tolvex", 0u, IconName,
                           Title.c_str(), EscapeNotificationMarkup(Text).c_str(), 0, 0,
                           NotificationTimeoutMs(TimeoutSeconds));
    MessagePtr ReplyPtr(Reply);
    std::string Result;
    if (R < 0)
        Result = "desktop notification: " + BusErrorText(Error, R);
    sd_bus_error_free(&Error);
    return Result;
}

} // namespace platform
