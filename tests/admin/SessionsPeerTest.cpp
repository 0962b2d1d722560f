#include "admin/uSendMessage.h"
#include "platform/TerminalSessions.h"
#include "settings/Language.h"

#include "tests/admin/SessionPeers.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/mount.h>
#include <utility>
#include <utmpx.h>
#include <vector>

using sessiontest::Pty;

namespace {

// Two private buses with logind and the notification server on them; the
// program reaches them through the two bus address variables.
class SessionPeers : public ::testing::Test {
protected:
    void Start(const std::string& SessionsJson)
    {
        LangChanger = std::make_unique<TLangChanger>();
        const std::string Json = Dir.Path("sessions.json");
        std::ofstream(Json) << SessionsJson;
        SystemBus = std::make_unique<sessiontest::PrivateBus>(Dir.Path(), "system");
        SessionBus = std::make_unique<sessiontest::PrivateBus>(Dir.Path(), "session");
        Logind = sessiontest::StartPeer("logind", *SystemBus, Json);
        Notifications = sessiontest::StartPeer("notifications", *SessionBus, Log());
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", SystemBus->Address.c_str(), 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", SessionBus->Address.c_str(), 1);
    }
    void TearDown() override
    {
        Logind.reset();
        Notifications.reset();
        // Never the real buses, also after a test.
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
        ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/tolvex-test", 1);
        LangChanger.reset();
    }
    std::string Log() const { return Dir.Path("notifications.log"); }
    static std::string Session(const std::string& Id, int Uid, const std::string& Tty,
                               const std::string& Type = "tty", const std::string& Class = "user",
                               const std::string& State = "active")
    {
        return "{\"id\":\"" + Id + "\",\"uid\":" + std::to_string(Uid) + ",\"user\":\"u" + Id +
               "\",\"seat\":\"\",\"tty\":\"" + Tty + "\",\"type\":\"" + Type + "\",\"class\":\"" +
               Class + "\",\"state\":\"" + State + "\"}";
    }

    TempFolder Dir;
    std::unique_ptr<sessiontest::PrivateBus> SystemBus, SessionBus;
    std::unique_ptr<sessiontest::Child> Logind, Notifications;
};

const std::string HostileTitle = "Admin <b>\x1b]0;x\x07";
const std::string HostileText =
    "clear\x1b[2J ask\x1b[6n <a href=\"http://x/\">link</a> & 'q'\r\nline two\xc2\x9b"
    "31m";

TEST_F(SessionPeers, AllSessionsTerminalsNeutralisedDesktopNotifiedOthersLeftAlone)
{
    Pty Reader, Closed(0600), Greeter, Closing;
    const int Me = static_cast<int>(::geteuid());
    Start("[" + Session("1", 1000, Reader.Line) + "," + Session("2", 1000, Closed.Line) + "," +
          Session("3", 0, Greeter.Line, "x11", "greeter") + "," +
          Session("4", 1000, Closing.Line, "tty", "user", "closing") + "," +
          Session("5", Me, "", "wayland") + "," + Session("6", Me + 1, "", "x11") + "," +
          Session("7", Me, "", "x11") + "," + Session("8", 1000, "../../etc/passwd") + "]");

    std::int32_t Response = -1;
    EXPECT_TRUE(WtsSendMessageToAllSessions("", HostileTitle, HostileText, MB_ICONWARNING, 120,
                                            Response, false));
    const std::string Seen = Reader.ReadAll();
    EXPECT_EQ(Seen.find('\x1b'), std::string::npos) << Seen;
    EXPECT_EQ(Seen.find('\x07'), std::string::npos);
    EXPECT_EQ(Seen.find("\xc2\x9b"), std::string::npos);
    EXPECT_NE(Seen.find("Admin <b>^[]0;x^G ("), std::string::npos) << Seen;
    EXPECT_NE(Seen.find("clear^[[2J ask^[[6n <a href=\"http://x/\">link</a> & 'q'\r\nline two"
                        "M-^[31m"),
              std::string::npos)
        << Seen;
    // Nothing for a closed terminal, a greeter or a closing session.
    EXPECT_EQ(Closed.ReadAll(100), "");
    EXPECT_EQ(Greeter.ReadAll(100), "");
    EXPECT_EQ(Closing.ReadAll(100), "");

    // One notification for our own desktop (two sessions of it), none for
    // another user's; the body escaped for markup, the time-out in ms.
    const std::string Calls = sessiontest::ReadText(Log());
    ASSERT_EQ(std::count(Calls.begin(), Calls.end(), '\n'), 1) << Calls;
    EXPECT_NE(Calls.find("\"icon\": \"dialog-warning\""), std::string::npos) << Calls;
    EXPECT_NE(Calls.find("\"timeout\": 120000"), std::string::npos) << Calls;
    EXPECT_NE(Calls.find("&lt;a href=&quot;http://x/&quot;&gt;link&lt;/a&gt; &amp; &apos;q&apos;"),
              std::string::npos)
        << Calls;
    EXPECT_EQ(Calls.find("<a href"), std::string::npos);
}

TEST_F(SessionPeers, NoSessionTookItReasonsAreShown)
{
    Pty Closed(0600);
    const int Me = static_cast<int>(::geteuid());
    Start("[" + Session("1", 1000, Closed.Line) + "," + Session("2", 1000, "../../etc/passwd") +
          "," + Session("3", Me + 1, "", "x11") + "," + Session("4", 1000, "ttyS0") + "]");
    std::int32_t Response = 0;
    try {
        WtsSendMessageToAllSessions(".", "t", "x", 0, 0, Response, false);
        FAIL() << "no session took the message";
    } catch (const ETerminalServerError& E) {
        const std::string Text = E.what();
        EXPECT_EQ(Text.rfind("No active sessions. ", 0), 0u) << Text;
        EXPECT_NE(Text.find("1 (u1): the terminal does not accept messages (mesg n)"),
                  std::string::npos)
            << Text;
        EXPECT_NE(Text.find("2 (u2): invalid terminal line"), std::string::npos) << Text;
        EXPECT_NE(Text.find("3 (u3): no terminal and no desktop"), std::string::npos) << Text;
        EXPECT_NE(Text.find("; ..."), std::string::npos) << Text; // a fourth not shown
    }
    EXPECT_EQ(sessiontest::ReadText(Log()), "");
}

TEST_F(SessionPeers, OneSessionByIdAndFailuresThatRaise)
{
    Pty A, B;
    Start("[" + Session("3", 1000, A.Line) + "," + Session("4", 1000, B.Line) + "]");
    std::int32_t Response = 0;
    EXPECT_TRUE(WtsSendMessageToSession("", "T", "to four", 4, 0, 0, Response, false));
    EXPECT_EQ(A.ReadAll(100), "");
    EXPECT_NE(B.ReadAll().find("to four"), std::string::npos);

    EXPECT_THROW(WtsSendMessageToSession("", "T", "x", 9, 0, 0, Response, false),
                 ETerminalServerError);
    // Another computer: a clear error, never the local sessions.
    try {
        WtsSendMessageToAllSessions("192.0.2.7", "T", "x", 0, 0, Response, false);
        FAIL() << "another computer cannot be reached";
    } catch (const ETerminalServerError& E) {
        EXPECT_STREQ(E.what(),
                     "Messages to the sessions of another computer are not available on this "
                     "system.");
    }
    EXPECT_EQ(A.ReadAll(100), "");
    EXPECT_EQ(B.ReadAll(100), "");
}

TEST_F(SessionPeers, LargeTextIsCutAndTheWriterNeverHangs)
{
    Pty A;
    Start("[" + Session("1", 1000, A.Line) + "]");
    std::string Big(1 << 20, 'x');
    Big.replace(100, 4, "\xe2\x82\xac\x1b"); // a character and an ESC among them
    std::string Seen;
    std::thread Reader([&] { Seen = A.ReadAll(1500); });
    std::int32_t Response = 0;
    const auto T0 = std::chrono::steady_clock::now();
    EXPECT_TRUE(WtsSendMessageToAllSessions("", "T", Big, 0, 0, Response, false));
    EXPECT_LT(std::chrono::steady_clock::now() - T0, std::chrono::seconds(5));
    Reader.join();
    EXPECT_LT(Seen.size(), platform::MaxTerminalText + 512);
    EXPECT_NE(Seen.find("\xe2\x82\xac^["), std::string::npos);
    EXPECT_NE(Seen.find("x [...]\r\n"), std::string::npos);
}

TEST_F(SessionPeers, WithoutLogindTheSessionsComeFromUtmp)
{
    // No logind on the private system bus: utmp is read, in a mount
    // namespace of a child whose /run is its own, so the real one is never
    // touched.
    Pty A, B;
    Start("[]");
    Logind.reset();
    int Result[2];
    ASSERT_EQ(::pipe(Result), 0);
    const pid_t Pid = ::fork();
    ASSERT_GE(Pid, 0);
    if (Pid == 0) {
        char Code = 'n';
        if (::unshare(CLONE_NEWNS) == 0 &&
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0 &&
            ::mount("tmpfs", "/run", "tmpfs", 0, "mode=0755") == 0) {
            std::ofstream(_PATH_UTMPX).close();
            setutxent();
            const std::vector<std::pair<std::string, std::string>> Entries = {
                {A.Line, "alice"}, {"../../etc/passwd", "mallory"}, {B.Line, "bob"}};
            for (const auto& [Line, Name] : Entries) {
                utmpx U{};
                U.ut_type = USER_PROCESS;
                U.ut_pid = ::getpid();
                std::memcpy(U.ut_line, Line.data(), std::min(Line.size(), sizeof U.ut_line));
                std::memcpy(U.ut_user, Name.data(), std::min(Name.size(), sizeof U.ut_user));
                std::memcpy(U.ut_id, Line.data() + Line.size() - 2, 2);
                pututxline(&U);
            }
            endutxent();
            std::vector<platform::TerminalSession> S;
            bool FromLogind = true;
            std::string Error;
            std::int32_t Response = 0;
            if (platform::ListTerminalSessions(S, FromLogind, Error) && !FromLogind &&
                S.size() == 3)
                Code = WtsSendMessageToAllSessions("", "T", "from utmp", 0, 0, Response, false)
                           ? 'y'
                           : 'f';
        }
        [[maybe_unused]] ssize_t W = ::write(Result[1], &Code, 1);
        ::_exit(0);
    }
    ::close(Result[1]);
    char Code = 0;
    ASSERT_EQ(::read(Result[0], &Code, 1), 1);
    ::waitpid(Pid, nullptr, 0);
    ::close(Result[0]);
    EXPECT_EQ(Code, 'y');
    EXPECT_NE(A.ReadAll().find("from utmp"), std::string::npos);
    EXPECT_NE(B.ReadAll().find("from utmp"), std::string::npos);
}

} // namespace
