// The report's actions in the real helper program, over the link: a save
// into the configured file, a send through the desktop's mail handler, a
// send in the background, and a restart refused for a process that did not
// start the helper.
#include "crashreport/kelExceptActions.h"
#include "crashreport/kelExceptRestart.h"
#include "crashreport/kelExceptSave.h"
#include "crashreport/send/kelExceptMailClient.h"
#include "tests/crashreport/helper/HelperTestApp.h"
#include "tests/crashreport/send/SendTestSupport.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace {

using namespace std::chrono_literals;

class CrashreportHelperActions : public ::testing::Test {
protected:
    void SetUp() override
    {
        ::setenv("XDG_RUNTIME_DIR", Runtime.Path().c_str(), 1);
        ::setenv("XDG_STATE_HOME", Runtime.Path("state").c_str(), 1);
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
        ::chmod(Runtime.Path().c_str(), 0700);
    }
    void TearDown() override
    {
        if (H.Pid > 0 && ::kill(H.Pid, 0) == 0) {
            ::kill(H.Pid, SIGKILL);
            ::waitpid(H.Pid, nullptr, 0);
        }
    }
    // Starts the helper and greets it as the program of process Pid (0: this
    // one), with these settings.
    void Start(const std::vector<TSettingEntry>& Entries, pid_t Pid = 0)
    {
        H = StartHelper();
        ASSERT_GT(H.Pid, 0);
        TLinkFrame F;
        ASSERT_EQ(H.Link->Receive(F, 10s), TLinkRead::lrFrame);
        ASSERT_TRUE(H.Link->Send(
            THelloFrame{LinkVersion, static_cast<std::uint32_t>(Pid ? Pid : ::getpid()), "tests"}));
        ASSERT_TRUE(H.Link->Send(TSettingsFrame{WriteSettingsStream(Entries)}));
    }
    TempFolder Runtime;
    THelperProcess H;
    const std::string Report = "date/time         : 2024-03-09, 14:05:09, 7ms\r\n"
                               "exception class   : EAccessViolation\r\n"
                               "exception message : Access violation\r\n"
                               "callstack crc     : $11111111, $22222222, $33333333\r\n";
};

} // namespace

TEST_F(CrashreportHelperActions, SaveIntoTheConfiguredFile)
{
    const std::string File = Runtime.Path("reports/bug report.kbr");
    Start({TextEntry("BugRepFile", File)});
    const auto Done = SaveViaHelper(*H.Link, Report, false);
    ASSERT_TRUE(Done.has_value());
    EXPECT_TRUE(Done->Saved);
    EXPECT_EQ(Done->File, File);
    // The report and the empty line that ends it.
    EXPECT_EQ(TempFolder::Read(File), Report + "\r\n\r\n");
}

TEST_F(CrashreportHelperActions, SendThroughTheMailHandler)
{
    TFakeMailHandler Handler; // the helper inherits the desktop
    ASSERT_TRUE(Handler.Ready);
    Start({});
    const std::string Settings = WriteSettingsStream(
        {TextEntry("MailAddr", "bugs@y.org"), TextEntry("MailSubj", "%exceptClass% report"),
         BoolEntry("MailViaMapi", false), BoolEntry("MailViaMailto", true)});
    EXPECT_EQ(SendViaHelper(*H.Link, Report, 0, false, false, Settings), soSent);
    EXPECT_EQ(Handler.Url(), MailtoUrl("bugs@y.org", "EAccessViolation report",
                                       "please find the bug report attached"));

    // In the background the answer comes at once; an automatic send with
    // nowhere to go says nothing.
    const std::string Nowhere = WriteSettingsStream({TextEntry("MailAddr", "")});
    EXPECT_EQ(SendViaHelper(*H.Link, Report, 0, true, true, Nowhere), soInBackground);
    H.Link->Close();
    EXPECT_EQ(WaitForExit(H.Pid, 20s), 0);
    H.Pid = -1;
}

TEST_F(CrashreportHelperActions, RestartOnlyForItsOwnProgram)
{
    Start({}, 1);
    // Refused: the program goes on.
    EXPECT_FALSE(RestartProgram(*H.Link, {1, 2}, true));
}
