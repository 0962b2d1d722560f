// The user's mail program: mailto URLs read back by urllib (mailto_oracle.py),
// and xdg-open and xdg-email reaching a recording mail handler as they would
// reach a real one.
#include "crashreport/send/kelExceptMailClient.h"
#include "tests/crashreport/send/SendTestSupport.h"

#include <gtest/gtest.h>

namespace {

const auto* Environment = ::testing::AddGlobalTestEnvironment(new TSendTestEnvironment);

std::string JsonList(const std::vector<std::string>& Items)
{
    std::string J = "[";
    for (const auto& I : Items)
        J += (J.size() > 1 ? "," : "") + Json(I);
    return J + "]";
}

} // namespace

// Recipients, subject and body come back as they went in, whatever they hold.
TEST(CrashreportMailClient, MailtoUrlReadBack)
{
    struct TCase {
        std::string To, Subject, Body;
        std::vector<std::string> Addresses;
    } Cases[] = {
        {"bugs@y.org", "bug report", "please find\r\nthe report", {"bugs@y.org"}},
        {"Bug Team <bugs@y.org>; other@y.org", "a&b=c?d#e%f+g", "x", {"bugs@y.org", "other@y.org"}},
        {"Help Desk <h@y.org>", "", "\r\n.\r\n. \r\n", {"h@y.org"}},
        {"j\xc3\xb6rg@y.org",
         "\xe2\x98\x83 Stra\xc3\x9f"
         "e",
         "tab\there-_~!*'()",
         {"j\xc3\xb6rg@y.org"}},
        {"", "s", "b", {}},
    };
    for (const auto& C : Cases) {
        const std::string Url = MailtoUrl(C.To, C.Subject, C.Body);
        EXPECT_EQ(CheckMailto(Url, "\"strict\":true,\"to\":" + JsonList(C.Addresses) +
                                       ",\"subject\":" + Json(C.Subject) +
                                       ",\"body\":" + Json(C.Body)),
                  "")
            << Url;
    }
    // Blanks and line breaks as mail programs expect them.
    EXPECT_EQ(MailtoUrl("a@b.c", "a b", "x\r\ny"), "mailto:a@b.c?subject=a%20b&body=x%0D%0Ay");
}

// A long body is cut to the longest URL, never inside an escape or inside
// the bytes of one character, wherever the cut falls.
TEST(CrashreportMailClient, LongBodyCut)
{
    const std::string Plain(40000, 'x');
    std::string Url = MailtoUrl("bugs@y.org", "s", Plain);
    EXPECT_EQ(CheckMailto(Url, "\"strict\":true,\"length\":" + std::to_string(MaxMailtoLength) +
                                   ",\"body_prefix\":" + Json(Plain)),
              "");
    for (int Shift = 0; Shift < 12; ++Shift)
        for (const std::string Unit : {"\xe2\x82\xac", "\xc3\xa9", "%", "\xf0\x9f\x90\x9b"}) {
            std::string Body(Shift, 'x');
            while (Body.size() < 40000)
                Body += Unit;
            Url = MailtoUrl("bugs@y.org", "s", Body);
            EXPECT_LE(Url.size(), MaxMailtoLength);
            // At most one character (four bytes, twelve characters) is lost.
            EXPECT_GT(Url.size(), MaxMailtoLength - 12);
            EXPECT_EQ(CheckMailto(Url, "\"strict\":true,\"body_prefix\":" + Json(Body)), "")
                << Shift << " " << Url.substr(Url.size() - 20);
        }
}

// xdg-open hands the handler exactly our URL; a handler that fails is a
// failed hand-over.
TEST(CrashreportMailClient, MailtoThroughXdgOpen)
{
    {
        TFakeMailHandler Handler;
        ASSERT_TRUE(Handler.Ready);
        EXPECT_TRUE(SendViaMailto("Bug Team <bugs@y.org>", "a b", "line 1\r\nline 2"));
        EXPECT_EQ(Handler.Url(), MailtoUrl("bugs@y.org", "a b", "line 1\r\nline 2"));
        EXPECT_EQ(CheckMailto(Handler.Url(), "\"to\":[\"bugs@y.org\"],\"subject\":\"a b\","
                                             "\"body\":\"line 1\\r\\nline 2\""),
                  "");
    }
    {
        TFakeMailHandler Failing(1);
        ASSERT_TRUE(Failing.Ready);
        EXPECT_FALSE(SendViaMailto("bugs@y.org", "s", "b"));
        EXPECT_NE(Failing.Url(), "");
    }
    EXPECT_EQ(RunAndWait({"/nonexistent/program"}), -1);
    EXPECT_EQ(RunAndWait({"sh", "-c", "exit 3"}), 3);
}

// xdg-email gets the recipients, subject, body and the attachments under
// the names they are sent as, copies that outlive the sender's own files.
TEST(CrashreportMailClient, MailProgramThroughXdgEmail)
{
    const std::string Contents[] = {"date/time : now\r\n\r\n",
                                    std::string("\x89PNG\r\n\x1a\n\0\0", 10),
                                    "another file of the same send-as name"};
    TempFolder Originals;
    for (int I = 0; I < 3; ++I)
        TempFolder::Write(Originals.Path(std::to_string(I)), Contents[I]);
    std::optional<TempFolder> Files(std::in_place);
    TempFolder::Write(Files->Path("report.tmp"), Contents[0]);
    TempFolder::Write(Files->Path("shot.tmp"), Contents[1]);
    TempFolder::Write(Files->Path("b/report.tmp"), Contents[2]);
    const std::vector<TPreparedAttachment> Attachments = {
        {Files->Path("report.tmp"), "bugreport.kbr", "BugReport"},
        {Files->Path("shot.tmp"), "dir/screen shot.png", "ScreenShot"},
        {Files->Path("b/report.tmp"), "bugreport.kbr", ""}};
    TFakeMailHandler Handler;
    ASSERT_TRUE(Handler.Ready);
    ASSERT_TRUE(SendViaMailProgram("Bug Team <bugs@y.org>; -oops@y.org, other@y.org",
                                   "bug \xe2\x98\x83 report", "please\r\n.\r\nfind it",
                                   Attachments));
    const std::string Url = Handler.Url();
    // The copies stay when our files go.
    Files.reset();
    EXPECT_EQ(CheckMailto(
                  Url, "\"to\":[\"bugs@y.org\",\"other@y.org\"],"
                       "\"subject\":\"bug \xe2\x98\x83 report\","
                       "\"body\":\"please\\r\\n.\\r\\nfind it\","
                       "\"attach\":[{\"name\":\"bugreport.kbr\",\"file\":" +
                           Json(Originals.Path("0")) +
                           "},{\"name\":\"screen shot.png\",\"file\":" + Json(Originals.Path("1")) +
                           "},{\"name\":\"2-bugreport.kbr\",\"file\":" + Json(Originals.Path("2")) +
                           "}]"),
              "")
        << Url;

    TFakeMailHandler Failing(4);
    ASSERT_TRUE(Failing.Ready);
    EXPECT_FALSE(SendViaMailProgram("bugs@y.org", "s", "b", {}));
}
