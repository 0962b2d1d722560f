// The mail text, every message read back by Python's email package
// (mime_oracle.py): addresses, subjects, bodies and attachments as a mail
// program would see them.
#include "crashreport/send/kelExceptMime.h"
#include "tests/crashreport/send/SendTestSupport.h"

#include <gtest/gtest.h>

#include <random>

namespace {

const auto* Environment = ::testing::AddGlobalTestEnvironment(new TSendTestEnvironment);

std::string Addresses(const std::vector<std::pair<std::string, std::string>>& List)
{
    std::string J = "[";
    for (const auto& [Name, Address] : List)
        J += (J.size() > 1 ? "," : "") + std::string("[") + Json(Name) + "," + Json(Address) + "]";
    return J + "]";
}

struct TCheck {
    int Status = -1;
    std::string Output;
};

// The message composed and written to a file, then read by the oracle with
// the spec (a JSON object's members, without braces).
TCheck Compose(const TMailMessage& M, const std::string& Spec)
{
    TempFolder Tmp;
    std::string Mail;
    const bool Ok = ComposeMail(M, [&](std::string_view B) {
        Mail += B;
        return true;
    });
    TempFolder::Write(Tmp.Path("mail.eml"), Mail);
    TempFolder::Write(Tmp.Path("spec.json"), "{" + Spec + "}");
    const auto R =
        RunCommand("/usr/bin/python3 " + Quote(SendTestDir + "/mime_oracle.py") + " " +
                   Quote(Tmp.Path("mail.eml")) + " " + Quote(Tmp.Path("spec.json")) + " 2>&1");
    return {Ok ? R.Status : -2, R.Output + (Ok ? "" : "ComposeMail failed")};
}

} // namespace

// Senders and recipients as a mail program reads them: display names that
// hold commas, "<", quotes, non-ASCII letters and line breaks stay one
// mailbox each, and no line break reaches the header.
TEST(CrashreportMime, Addresses)
{
    struct TCase {
        std::string Text;
        std::string Name, Address;
    } Cases[] = {
        {"bugs@example.org", "", "bugs@example.org"},
        {"kelExcept <bugs@example.org>", "kelExcept", "bugs@example.org"},
        {"a@b.c, x <me@y.org>", "a@b.c, x", "me@y.org"},
        {"a <b>, c <me@y.org>", "a <b>, c", "me@y.org"},
        {"Say \"hi\" \\ bye <me@y.org>", "Say \"hi\" \\ bye", "me@y.org"},
        {"J\xc3\xb6rg M\xc3\xbcller <jm@y.org>", "J\xc3\xb6rg M\xc3\xbcller", "jm@y.org"},
        {"\xce\xa9mega \xe2\x98\x83 <o@y.org>", "\xce\xa9mega \xe2\x98\x83", "o@y.org"},
        {"Eve\r\nBcc: all@y.org <e@y.org>", "Eve  Bcc: all@y.org", "e@y.org"},
    };
    for (const auto& C : Cases) {
        TMailMessage M;
        M.To = "Bug Team <bugs@y.org>; other@y.org";
        M.From = C.Text;
        M.ReplyTo = "Help, Desk <help@y.org>";
        M.Subject = "s";
        // The header names the first recipient of the list.
        const auto R = Compose(M, "\"to\":" + Addresses({{"Bug Team", "bugs@y.org"}}) +
                                      ",\"from\":" + Addresses({{C.Name, C.Address}}) +
                                      ",\"reply_to\":" + Addresses({{"Help, Desk", "help@y.org"}}));
        EXPECT_EQ(R.Status, 0) << C.Text << "\n" << R.Output;
    }
    // Without its name, an address is always in angle brackets.
    EXPECT_EQ(FormatMailAddress("Desk <d@y.org>", false), "<d@y.org>");
    EXPECT_EQ(FormatMailAddress("d@y.org", false), "<d@y.org>");
}

TEST(CrashreportMime, Subjects)
{
    const std::string Long(150, 'x');
    const std::string LongWide = "\xe2\x98\x83" + std::string(100, 'y') + "\xe2\x98\x83";
    struct TCase {
        std::string Subject, Raw;
    } Cases[] = {
        {"a b", "=?ISO-8859-1?Q?a=20b?="},
        {"bug report", "=?ISO-8859-1?Q?bug=20report?="},
        {"Stra\xc3\x9f"
         "e: 100%",
         "=?ISO-8859-1?Q?Stra=DFe=3A=20100=25?="},
        {"\xe2\x98\x83 snow", "=?UTF-8?B?4piDIHNub3c=?="},
        {Long, ""},
        {LongWide, ""},
        {"", ""},
    };
    for (const auto& C : Cases) {
        TMailMessage M;
        M.To = "a@y.org";
        M.From = "b@y.org";
        M.Subject = C.Subject;
        std::string Spec = "\"subject\":" + Json(C.Subject);
        if (!C.Raw.empty())
            Spec += ",\"raw_subject\":" + Json(C.Raw);
        const auto R = Compose(M, Spec);
        EXPECT_EQ(R.Status, 0) << C.Subject << "\n" << R.Output;
    }
}

// Bodies: lines "." and ". " as they were (the SMTP layer stuffs dots), what
// ISO-8859-1 cannot hold or a line over 998 bytes as base64.
TEST(CrashreportMime, Bodies)
{
    const std::string LongLine(1500, 'z');
    struct TCase {
        std::string Body, Decoded, Charset, Encoding;
    } Cases[] = {
        {"please\r\n.\r\n. \r\n..\r\nend", "please\n.\n. \n..\nend", "iso-8859-1", "8bit"},
        {"f\xc3\xbcr\nM\xc3\xbcller", "f\xc3\xbcr\nM\xc3\xbcller", "iso-8859-1", "8bit"},
        {"\xe2\x98\x83\r\n.", "\xe2\x98\x83\n.", "utf-8", "base64"},
        {"a\r\n" + LongLine, "a\n" + LongLine, "iso-8859-1", "base64"},
    };
    for (const auto& C : Cases) {
        TMailMessage M;
        M.To = "a@y.org";
        M.From = "b@y.org";
        M.Body = C.Body;
        const auto R =
            Compose(M, "\"body\":" + Json(C.Decoded) + ",\"charset\":" + Json(C.Charset) +
                           ",\"encoding\":" + Json(C.Encoding));
        EXPECT_EQ(R.Status, 0) << C.Encoding << "\n" << R.Output;
    }
}

// Attachments come out byte for byte, under their names, with the type of
// their extension; an empty file and one of odd length too.
TEST(CrashreportMime, Attachments)
{
    TempFolder Tmp;
    std::mt19937 Random(7);
    std::string Binary(100000 + 17, '\0');
    for (auto& B : Binary)
        B = static_cast<char>(Random());
    TempFolder::Write(Tmp.Path("a.bin"), Binary);
    TempFolder::Write(Tmp.Path("empty"), "");
    TempFolder::Write(Tmp.Path("report"), "date/time : x\r\n.\r\n");
    TMailMessage M;
    M.To = "a@y.org";
    M.From = "b@y.org";
    M.Attachments = {{Tmp.Path("report"), "bugreport.kbr", "BugReport"},
                     {Tmp.Path("a.bin"), "Bild \xc3\xbc.PNG", "ScreenShot"},
                     {Tmp.Path("empty"), "nothing.zip", ""},
                     {Tmp.Path("a.bin"), "\xe2\x98\x83.dat", ""}};
    std::string Spec = "\"attachments\":[";
    const char* Types[] = {"text/plain", "image/png", "application/zip",
                           "application/octet-stream"};
    for (std::size_t I = 0; I < M.Attachments.size(); ++I)
        Spec += std::string(I ? "," : "") + "{\"name\":" + Json(M.Attachments[I].SendAs) +
                ",\"type\":" + Json(Types[I]) + ",\"file\":" + Json(M.Attachments[I].File) + "}";
    const auto R = Compose(M, Spec + "]");
    EXPECT_EQ(R.Status, 0) << R.Output;

    // A file that cannot be read fails the message and says which.
    M.Attachments = {{Tmp.Path("missing"), "x.txt", ""}};
    std::string Error;
    EXPECT_FALSE(ComposeMail(
        M, [](std::string_view) { return true; }, nullptr, &Error));
    EXPECT_NE(Error.find(Tmp.Path("missing")), std::string::npos);
}

TEST(CrashreportMime, DateIdAndBoundary)
{
    using namespace std::chrono;
    const auto T = sys_days{year{2024} / 3 / 9} + hours{14} + minutes{5} + seconds{9};
    EXPECT_EQ(MailDateTime(T), "9 Mar 2024 14:05:09 UT");
    // 2024-03-09 14:05:09 UTC as 100-ns ticks since 1601 (by Python's datetime).
    EXPECT_EQ(NewMessageId(T), "<01da722acb8c1880@kelExcept>");
    EXPECT_EQ(&MimeBoundary(), &MimeBoundary());
    EXPECT_TRUE(std::all_of(MimeBoundary().begin(), MimeBoundary().end(),
                            [](char C) { return C >= '0' && C <= '9'; }));
    EXPECT_GE(MimeBoundary().size(), 3u);
}
