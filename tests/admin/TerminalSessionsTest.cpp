#include "platform/TerminalSessions.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <climits>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

using namespace platform;

namespace {

TEST(TerminalSessions, ControlCharactersAreShownNotObeyed)
{
    EXPECT_EQ(NeutraliseTerminalText("a\x1b[2Jb"), "a^[[2Jb");
    EXPECT_EQ(NeutraliseTerminalText("\x1b]0;x\x07"), "^[]0;x^G");
    EXPECT_EQ(NeutraliseTerminalText("\x1b[6n\x7f"), "^[[6n^?");
    EXPECT_EQ(NeutraliseTerminalText("one\ntwo\r\nthree\rfour\tfive"),
              "one\r\ntwo\r\nthree^Mfour\tfive");
    // UTF-8 passes; C1 controls (here CSI) and bytes that are no UTF-8 do not.
    EXPECT_EQ(NeutraliseTerminalText("\xc3\xa9\xe2\x82\xac"), "\xc3\xa9\xe2\x82\xac");
    EXPECT_EQ(NeutraliseTerminalText("\xc2\x9b"
                                     "2J"),
              "M-^[2J");
    EXPECT_EQ(NeutraliseTerminalText("\xff\x9b\xc3"), "M-^?M-^[M-C");
}

// What reaches a terminal, by the mode it is in: in UTF-8 mode characters
// pass and C1 controls do not; in 8-bit mode the bytes of a character
// (0x9B of "ě" is CSI there) would act as controls, so only ASCII goes.
TEST(TerminalSessions, WhatReachesTheTerminalFollowsItsMode)
{
    const std::string Text = "\xc3\xa9 \xc4\x9b[2J \xc2\x9b"
                             "2J\xc2\x90x";
    const struct {
        bool Utf8;
        std::string Shown;
    } Cases[] = {
        {true, "\xc3\xa9 \xc4\x9b[2J M-^[2JM-^Px"},
        {false, "M-CM-) M-DM-^[[2J M-BM-^[2JM-BM-^Px"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Utf8 ? "UTF-8" : "8-bit");
        EXPECT_EQ(NeutraliseTerminalText(Text, C.Utf8), C.Shown);
        int Master = -1, Slave = -1;
        ASSERT_EQ(::openpty(&Master, &Slave, nullptr, nullptr, nullptr), 0);
        ::fchmod(Slave, 0620);
        termios T{};
        ::tcgetattr(Slave, &T);
        ::cfmakeraw(&T);
        T.c_iflag = C.Utf8 ? (T.c_iflag | IUTF8) : (T.c_iflag & ~IUTF8);
        ::tcsetattr(Slave, TCSANOW, &T);
        const std::string Line = std::string(::ttyname(Slave)).substr(5);
        EXPECT_EQ(WriteTerminalMessage(Line, "T", "me", "now", Text), "");
        std::string Got;
        char Buf[512];
        pollfd P{Master, POLLIN, 0};
        while (::poll(&P, 1, 500) == 1) {
            const ssize_t N = ::read(Master, Buf, sizeof Buf);
            if (N <= 0)
                break;
            Got.append(Buf, static_cast<size_t>(N));
        }
        EXPECT_EQ(Got, "\r\nT (me, now)\r\n" + C.Shown + "\r\n");
        if (!C.Utf8) {
            for (const char B : Got)
                EXPECT_LT(static_cast<unsigned char>(B), 0x80);
        }
        ::close(Master);
        ::close(Slave);
    }
}

TEST(TerminalSessions, OnlyTerminalLinesAreTaken)
{
    for (const char* Good : {"pts/0", "pts/17", "tty1", "tty63"})
        EXPECT_TRUE(IsValidTerminalLine(Good)) << Good;
    for (const char* Bad : {"", "pts/", "../../etc/passwd", "pts/1/../../x", "ttyS0", "tty",
                            "console", "pts/1\n", "/dev/pts/1", "null", "pts/a"})
        EXPECT_FALSE(IsValidTerminalLine(Bad)) << Bad;
}

TEST(TerminalSessions, TargetsAndNotificationValues)
{
    TerminalSession S;
    S.Class = "user";
    S.State = "online";
    EXPECT_TRUE(IsMessageTarget(S));
    S.Class = "greeter";
    EXPECT_FALSE(IsMessageTarget(S));
    S.Class = "lock-screen";
    EXPECT_FALSE(IsMessageTarget(S));
    S.Class = "user";
    S.State = "closing";
    EXPECT_FALSE(IsMessageTarget(S));

    EXPECT_EQ(EscapeNotificationMarkup("<b>a</b> & \"q\" 'x'\r\n"),
              "&lt;b&gt;a&lt;/b&gt; &amp; &quot;q&quot; &apos;x&apos;\n");
    EXPECT_EQ(NotificationTimeoutMs(0), 0);
    EXPECT_EQ(NotificationTimeoutMs(120), 120000);
    EXPECT_EQ(NotificationTimeoutMs(-5), -1);
    EXPECT_EQ(NotificationTimeoutMs(3600000), INT32_MAX); // would overflow
}

// Terminal lines are looked up in a folder of our own: a link to a real
// terminal and a plain file where a terminal should be are refused.
TEST(TerminalSessions, LinksAndPlainFilesAreNoTerminals)
{
    TempFolder Dir;
    int Master = -1, Slave = -1;
    ASSERT_EQ(::openpty(&Master, &Slave, nullptr, nullptr, nullptr), 0);
    ::fchmod(Slave, 0620);
    termios T{};
    ::tcgetattr(Slave, &T);
    ::cfmakeraw(&T);
    ::tcsetattr(Slave, TCSANOW, &T);
    const std::string Real = ::ttyname(Slave);
    std::filesystem::create_directories(Dir.Path("pts"));
    std::filesystem::create_symlink(Real, Dir.Path("pts/7"));
    TempFolder::Write(Dir.Path("tty9"), "not a terminal");
    SetTerminalDeviceDir(Dir.Path());
    EXPECT_EQ(WriteTerminalMessage("pts/7", "T", "me", "now", "x"), "not a terminal");
    EXPECT_EQ(WriteTerminalMessage("tty9", "T", "me", "now", "x"), "not a terminal");
    EXPECT_EQ(WriteTerminalMessage("pts/8", "T", "me", "now", "x"), "No such file or directory");
    EXPECT_EQ(TempFolder::Read(Dir.Path("tty9")), "not a terminal");

    // The terminal itself, under its own name in the real device folder.
    SetTerminalDeviceDir("");
    const std::string Line = Real.substr(5);
    EXPECT_EQ(WriteTerminalMessage(Line, "Title", "me@pc", "10:00", "hello"), "");
    char Buf[256];
    pollfd P{Master, POLLIN, 0};
    ASSERT_EQ(::poll(&P, 1, 2000), 1);
    const ssize_t N = ::read(Master, Buf, sizeof Buf);
    EXPECT_EQ(std::string(Buf, N > 0 ? size_t(N) : 0), "\r\nTitle (me@pc, 10:00)\r\nhello\r\n");
    // "mesg n": no group write permission.
    ::fchmod(Slave, 0600);
    EXPECT_EQ(WriteTerminalMessage(Line, "T", "me", "now", "x"), "mesg n");
    ::close(Master);
    ::close(Slave);
}

} // namespace
