// The real tolvex-crashreport on a socket pair: its greeting, what it skips,
// what it refuses, its answer to a screenshot request without X11, and that
// it ends when the program's end of the link closes (also with a window
// shown). Without a display the helper runs on the offscreen platform.
#include "crashreport/kelExceptSettings.h"
#include "tests/crashreport/Command.h"
#include "tests/crashreport/helper/HelperTestApp.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sys/stat.h>

namespace {

using namespace std::chrono_literals;

class CrashreportLinkHelper : public ::testing::Test {
protected:
    void SetUp() override
    {
        // The helper's alerts take their screen places in a folder of this
        // test, and it never looks for a display.
        ::setenv("XDG_RUNTIME_DIR", Runtime.Path().c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::chmod(Runtime.Path().c_str(), 0700);
        // What a process that no longer runs left behind.
        std::filesystem::create_directories(Stale);
        ::chmod(Runtime.Path("tolvex").c_str(), 0700);
        H = StartHelper();
        ASSERT_GT(H.Pid, 0);
    }
    void TearDown() override
    {
        if (H.Pid > 0 && ::kill(H.Pid, 0) == 0) {
            ::kill(H.Pid, SIGKILL);
            ::waitpid(H.Pid, nullptr, 0);
        }
    }
    // The helper's greeting, and ours.
    void Greet()
    {
        TLinkFrame F;
        ASSERT_EQ(H.Link->Receive(F, 10s), TLinkRead::lrFrame);
        THelloFrame Hello;
        ASSERT_TRUE(DecodeFrame(F, Hello));
        EXPECT_EQ(Hello.Version, LinkVersion);
        EXPECT_EQ(Hello.Pid, static_cast<std::uint32_t>(H.Pid));
        ASSERT_TRUE(H.Link->Send(THelloFrame{LinkVersion, static_cast<std::uint32_t>(::getpid()),
                                             "crashreport_helper_unit_tests"}));
    }

    TempFolder Runtime;
    const std::string Stale = Runtime.Path("tolvex/kelExcept.2147483646.1.abcdef");
    THelperProcess H;
};

TEST_F(CrashreportLinkHelper, EndsWhenTheProgramClosesTheLink)
{
    Greet();
    // Having greeted, it has cleared up after ended processes.
    EXPECT_FALSE(std::filesystem::exists(Stale));
    // What it knows, and what a newer program might send.
    const std::vector<TSettingEntry> Entries = {{"Enabled", skBool, true, 0, ""},
                                                {"SendBoxTitle", skText, false, 0, "Sending..."}};
    ASSERT_TRUE(H.Link->Send(TSettingsFrame{WriteSettingsStream(Entries)}));
    ASSERT_TRUE(H.Link->Send(TLinkFrame{0x7777, "a frame of a later version"}));
    ASSERT_TRUE(H.Link->Send(TAlertNewFrame{1, "Information", "KEIPLWAIT"}));
    ASSERT_TRUE(H.Link->Send(TAlertAddAreaFrame{1, "Please wait a moment...", 10}));
    ASSERT_TRUE(H.Link->Send(TAlertSetPositionFrame{2, 500})); // no such alert
    std::this_thread::sleep_for(200ms);
    EXPECT_EQ(::waitpid(H.Pid, nullptr, WNOHANG), 0) << "the helper ended early";
    H.Link->Close();
    EXPECT_EQ(WaitForExit(H.Pid, 10s), 0);
    H.Pid = -1;
}

TEST_F(CrashreportLinkHelper, EndsWithItsWindowWhenTheLinkCloses)
{
    Greet();
    ASSERT_TRUE(H.Link->Send(TAlertNewFrame{4, "Sending bug report...", "KEISEND32"}));
    ASSERT_TRUE(H.Link->Send(TAlertShowFrame{4, false}));
    ASSERT_TRUE(H.Link->Send(TAlertSetPositionFrame{4, 300}));
    // A screenshot request makes sure the window frames were handled.
    ASSERT_TRUE(H.Link->Send(TScreenShotRequestFrame{1, true, 1}));
    TLinkFrame F;
    ASSERT_EQ(H.Link->Receive(F, 20s), TLinkRead::lrFrame);
    H.Link->Close();
    EXPECT_EQ(WaitForExit(H.Pid, 10s), 0);
    H.Pid = -1;
}

TEST_F(CrashreportLinkHelper, ScreenshotWithoutX11IsNotAvailable)
{
    Greet();
    ASSERT_TRUE(
        H.Link->Send(TScreenShotRequestFrame{42, false, static_cast<std::uint32_t>(::getpid())}));
    TLinkFrame F;
    ASSERT_EQ(H.Link->Receive(F, 20s), TLinkRead::lrFrame);
    TScreenShotTakenFrame Taken;
    ASSERT_TRUE(DecodeFrame(F, Taken));
    EXPECT_EQ(Taken.Request, 42u);
    EXPECT_FALSE(Taken.Taken);
    EXPECT_EQ(Taken.Reason.rfind("screenshot: not available", 0), 0u) << Taken.Reason;
}

TEST_F(CrashreportLinkHelper, ClipboardTakesTheReport)
{
    // The request is answered by number, and a request the helper cannot
    // decode closes the link.
    Greet();
    const std::string Text = "date/time : 2026-12-09\r\nexception class : SIGSEGV ü";
    ASSERT_TRUE(H.Link->Send(TClipRequestFrame{17, Text}));
    TLinkFrame F;
    TClipDoneFrame Done;
    do
        ASSERT_EQ(H.Link->Receive(F, 20s), TLinkRead::lrFrame);
    while (F.Type != lfClipDone);
    ASSERT_TRUE(DecodeFrame(F, Done));
    EXPECT_EQ(Done.Request, 17u);
    EXPECT_TRUE(Done.Copied);
    ASSERT_TRUE(H.Link->Send(TLinkFrame{lfClipRequest, "\x01"}));
    EXPECT_EQ(H.Link->Receive(F, 10s), TLinkRead::lrClosed);
}

TEST_F(CrashreportLinkHelper, MalformedFramesCloseTheLink)
{
    struct TCase {
        const char* Name;
        std::string Bytes;
    };
    const TCase Cases[] = {
        {"a length below the type", std::string("\1\0\0\0\1", 5)},
        {"a length beyond 16 MiB", std::string("\1\0\0\1\x10\0", 6)},
        {"a known frame with a byte too few",
         [] {
             std::string Wire = FrameBytes(EncodeFrame(TAlertShowFrame{1, true}));
             Wire.pop_back();
             Wire[0] = static_cast<char>(Wire[0] - 1);
             return Wire;
         }()},
        {"a Hello of another version",
         FrameBytes(EncodeFrame(THelloFrame{LinkVersion + 1, 1, "future"}))},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        if (H.Pid < 0)
            SetUp();
        Greet();
        ASSERT_EQ(::write(H.Link->Fd(), C.Bytes.data(), C.Bytes.size()),
                  static_cast<ssize_t>(C.Bytes.size()));
        TLinkFrame F;
        EXPECT_EQ(H.Link->Receive(F, 10s), TLinkRead::lrClosed);
        EXPECT_EQ(WaitForExit(H.Pid, 10s), 1);
        H.Pid = -1;
    }
}

TEST(CrashreportLinkHelperStart, WithoutItsLinkItSaysSo)
{
    const TCommandResult R = RunCommand(Quote(TOLVEX_CRASH_HELPER) + " 3>&- 2>&1");
    EXPECT_EQ(R.Status, 2);
    EXPECT_NE(R.Output.find("descriptor 3"), std::string::npos) << R.Output;
    // A descriptor 3 that is no socket is no link either.
    const TCommandResult File = RunCommand(Quote(TOLVEX_CRASH_HELPER) + " 3</dev/null 2>&1");
    EXPECT_EQ(File.Status, 2);
}

} // namespace
