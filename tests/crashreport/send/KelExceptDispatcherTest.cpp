// The send dispatcher with ways of the test's own: which ways run in which
// order, what they are given (attachments checked by zipfile and unzip -t),
// the progress areas, the messages, the report file after a delivery and
// after a hand-over, and sends in the background.
#include "crashreport/kelExceptSave.h"
#include "crashreport/send/kelExceptMailClient.h"
#include "crashreport/send/kelExceptSend.h"
#include "tests/crashreport/send/SendTestSupport.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <filesystem>
#include <map>
#include <thread>

namespace {

const auto* Environment = ::testing::AddGlobalTestEnvironment(new TSendTestEnvironment);

// What the test ways saw. The ways are plain functions, so they reach it
// through one pointer.
struct TWayLog {
    std::map<std::string, TSendResult> Answers; // missing: failed
    std::vector<std::string> Calls;
    std::vector<TPreparedAttachment> Attachments; // of the first call
    std::map<std::string, std::string> Bytes;     // send-as name -> bytes, first call
    std::map<std::string, std::string> Fields;
    std::string Subject, Body, From, To;
    TempFolder Kept; // copies of the attachments
};
TWayLog* Log = nullptr;

template <std::size_t N> struct TName {
    char Text[N];
    constexpr TName(const char (&S)[N]) { std::copy_n(S, N, Text); }
};

template <TName Name> TSendResult Record(TSendJob& Job)
{
    if (Log->Calls.empty()) {
        Log->Attachments = Job.Attachments;
        for (const auto& A : Job.Attachments) {
            Log->Bytes[A.SendAs] = TempFolder::Read(A.File);
            TempFolder::Write(Log->Kept.Path(A.SendAs), Log->Bytes[A.SendAs]);
        }
        Job.Fields->Lock();
        for (int I = 0; I < Job.Fields->ItemCount(); ++I)
            Log->Fields[Job.Fields->GetName(I)] = Job.Fields->GetValue(Job.Fields->GetName(I));
        Job.Fields->Unlock();
        Log->Subject = Job.Subject;
        Log->Body = Job.Body;
        Log->From = Job.From;
        Log->To = Job.To;
    }
    Log->Calls.emplace_back(Name.Text);
    const auto It = Log->Answers.find(Name.Text);
    return It == Log->Answers.end() ? TSendResult::srFailed : It->second;
}

bool HasServer(const TSendJob& Job)
{
    return !Job.Settings.GetTextSetting("HttpServer").empty();
}

// Two bug trackers (the first needs a server), the upload, SMTP both ways,
// and the two mail-program ways.
constexpr TSendWay TestWays[] = {
    {"tracker", "FogBugz", sgWeb, swNetwork, HasServer, Record<"tracker">},
    {"tracker2", "Mantis", sgWeb, swNetwork, nullptr, Record<"tracker2">},
    {"upload", "UploadViaHttp", sgWeb, swNetwork, nullptr, Record<"upload">},
    {"smtp server", "MailAsSmtpServer", sgSmtp, swNetwork | swSmtp | swMxLookup, nullptr,
     Record<"smtp server">},
    {"smtp client", "MailAsSmtpClient", sgSmtp, swNetwork | swSmtp, nullptr, Record<"smtp client">},
    {"mail program", "MailViaMapi", sgMailClient, swAttachments | swUserPresent, nullptr,
     Record<"mail program">},
    {"mailto", "MailViaMailto", sgMailClient, swUserPresent, nullptr, Record<"mailto">},
};

const char* const WayKeys[] = {"FogBugz",          "Mantis",           "UploadViaHttp",
                               "MailAsSmtpServer", "MailAsSmtpClient", "MailViaMapi",
                               "MailViaMailto"};

const std::string Report = "date/time         : 2024-03-09, 14:05:09, 7ms\r\n"
                           "exception class   : EAccessViolation\r\n"
                           "exception message : Access violation at 0x10\r\n"
                           "callstack crc     : $11111111, $22222222, $33333333\r\n\r\n"
                           "error details:\r\nit broke\r\n";

class CrashreportDispatcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        Log = &Ways;
        ReportFile = Files.Path("reports/bugreport.kbr");
    }
    void TearDown() override { Log = nullptr; }

    // Settings with every way off but the ones named, a recipient, the
    // report file in the test's folder, and the entries given.
    std::shared_ptr<TIKESettings> Make(const std::vector<std::string>& On,
                                       std::vector<TSettingEntry> Entries = {})
    {
        for (const char* Key : WayKeys)
            Entries.push_back(BoolEntry(Key, std::find(On.begin(), On.end(), Key) != On.end()));
        Entries.push_back(TextEntry("BugRepFile", ReportFile));
        bool HasAddress = false;
        for (const auto& E : Entries)
            HasAddress |= E.Name == "MailAddr";
        if (!HasAddress)
            Entries.push_back(TextEntry("MailAddr", "Bug Team <bugs@y.org>; other@y.org"));
        return SettingsOf(Entries);
    }
    TSendResult Send(const std::shared_ptr<TIKESettings>& S, bool Automatic = false)
    {
        TSendOptions O;
        O.Automatic = Automatic;
        O.Ways = TestWays;
        return SendReport(Report, nullptr, S, Ui, O);
    }

    TempFolder Files;
    std::string ReportFile;
    TWayLog Ways;
    std::shared_ptr<TRecordingUi> Ui = std::make_shared<TRecordingUi>();
};

} // namespace

// One way of each network group at most, the mail program after them, the
// first success ending the send, a cancel ending it quietly, and nothing that
// needs a user in an automatic send.
TEST_F(CrashreportDispatcher, OrderOfWays)
{
    const auto S = TSendResult::srSent, C = TSendResult::srCancelled, F = TSendResult::srFailed;
    struct TCase {
        const char* Name;
        std::vector<std::string> On;
        std::map<std::string, TSendResult> Answers;
        bool Automatic, HasServer;
        std::vector<std::string> Calls;
        TSendResult Result;
        bool FailMessage;
    } Cases[] = {
        {"all fail",
         {"FogBugz", "Mantis", "UploadViaHttp", "MailAsSmtpServer", "MailAsSmtpClient",
          "MailViaMapi", "MailViaMailto"},
         {},
         false,
         true,
         {"tracker", "smtp server", "mail program", "mailto"},
         F,
         true},
        {"tracker without server",
         {"FogBugz", "Mantis", "UploadViaHttp"},
         {},
         false,
         false,
         {"tracker2"},
         F,
         true},
        {"upload alone",
         {"UploadViaHttp", "MailAsSmtpClient"},
         {{"upload", S}},
         false,
         true,
         {"upload"},
         S,
         false},
        {"smtp after web",
         {"UploadViaHttp", "MailAsSmtpClient", "MailViaMailto"},
         {{"smtp client", S}},
         false,
         true,
         {"upload", "smtp client"},
         S,
         false},
        {"cancelled",
         {"MailViaMapi", "MailViaMailto"},
         {{"mail program", C}},
         false,
         true,
         {"mail program"},
         C,
         false},
        {"mailto after mail program",
         {"MailViaMapi", "MailViaMailto"},
         {{"mailto", S}},
         false,
         true,
         {"mail program", "mailto"},
         S,
         false},
        {"automatic",
         {"MailAsSmtpServer", "MailViaMapi", "MailViaMailto"},
         {},
         true,
         true,
         {"smtp server"},
         F,
         false},
        {"nothing on", {}, {}, false, true, {}, F, true},
    };
    for (const auto& K : Cases) {
        Ways.Calls.clear();
        Ways.Answers = K.Answers;
        Ui->Messages.clear();
        std::vector<TSettingEntry> Extra;
        if (K.HasServer)
            Extra.push_back(TextEntry("HttpServer", "http://127.0.0.1:9/"));
        EXPECT_EQ(Send(Make(K.On, Extra), K.Automatic), K.Result) << K.Name;
        EXPECT_EQ(Ways.Calls, K.Calls) << K.Name;
        EXPECT_EQ(Ui->Messages,
                  K.FailMessage
                      ? std::vector<std::string>{"Sorry, sending the bug report didn't work."}
                      : std::vector<std::string>{})
            << K.Name;
        EXPECT_EQ(Ui->LeftTopmost > 0,
                  std::find(K.Calls.begin(), K.Calls.end(), "mail program") != K.Calls.end() ||
                      std::find(K.Calls.begin(), K.Calls.end(), "mailto") != K.Calls.end())
            << K.Name;
        Ui->LeftTopmost = 0;
    }
}

// What a way is given: the recipients, the sender made of the first, subject
// and body with the exception's texts, and the form fields.
TEST_F(CrashreportDispatcher, WhatAWayIsGiven)
{
    auto S = Make({"UploadViaHttp"}, {TextEntry("MailSubj", "%exceptClass%: %exceptMsg%"),
                                      TextEntry("MailBody", "details:%LF%%errorDetails%"),
                                      TextEntry("AddFields", "Product=Tolvex"),
                                      TextEntry("HttpServer", "http://127.0.0.1:9/")});
    Ways.Answers = {{"upload", TSendResult::srSent}};
    ASSERT_EQ(Send(S), TSendResult::srSent);
    EXPECT_EQ(Ways.To, "Bug Team <bugs@y.org>,other@y.org");
    EXPECT_EQ(Ways.From, "kelExcept <bugs@y.org>");
    EXPECT_EQ(Ways.Subject, "EAccessViolation: Access violation at 0x10");
    EXPECT_EQ(Ways.Body, "details:\r\nit broke");
    const std::map<std::string, std::string> Fields = {{"Product", "Tolvex"},
                                                       {"MailFrom", Ways.From},
                                                       {"MailSubject", Ways.Subject},
                                                       {"MailBody", Ways.Body},
                                                       {"MailAddr", Ways.To}};
    EXPECT_EQ(Ways.Fields, Fields);
}

// The report as a file (with the reports saved before it), the extra files
// of the settings zipped by zip name (two in one archive, one in another), a
// missing file left out; zips read by zipfile and unzip -t.
TEST_F(CrashreportDispatcher, Attachments)
{
    const std::string Earlier = "date/time : 2020-01-01\r\nexception class : Old\r\n";
    ASSERT_TRUE(SaveReportToFile(Earlier, *Make({}), ReportFile));
    for (const char* Name : {"a.log", "b.ini", "c.dat", "d.txt"})
        TempFolder::Write(Files.Path(Name), std::string("content of ") + Name);
    auto S = Make({"MailAsSmtpClient"}, {TextEntry("BugRepZip", "")});
    auto Extra = S->AddAttachs();
    Extra->Add(Files.Path("a.log"), "a.log", "logs", "");
    Extra->Add(Files.Path("c.dat"), "c.dat", "data", "");
    Extra->Add(Files.Path("missing"), "m.txt", "logs", "");
    Extra->Add(Files.Path("b.ini"), "settings.ini", "LOGS", "");
    Extra->Add(Files.Path("d.txt"), "d.txt", "", "Extra");
    ASSERT_EQ(Send(S), TSendResult::srFailed);

    std::vector<std::string> Names;
    for (const auto& A : Ways.Attachments)
        Names.push_back(A.SendAs);
    // Every file goes in a zip: one without a zip name of its own in one
    // named after it.
    EXPECT_EQ(Names, (std::vector<std::string>{"bugreport.zip", "logs.zip", "data.zip", "d.zip"}));
    EXPECT_EQ(Ways.Attachments.at(0).Field, "BugReport");
    EXPECT_EQ(Ways.Attachments.at(3).Field, "Extra");
    const auto Zip = [&](const std::string& Archive, const std::string& Members) {
        return RunCommand("/usr/bin/python3 " + Quote(SendTestDir + "/zip_oracle.py") + " " +
                          Quote(Ways.Kept.Path(Archive)) + " " + Members + " 2>&1");
    };
    // The report file with the reports gathered so far.
    auto R = Zip("bugreport.zip", Quote("bugreport.kbr=" + ReportFile));
    EXPECT_EQ(R.Status, 0) << R.Output;
    R = Zip("logs.zip", Quote("a.log=" + Files.Path("a.log")) + " " +
                            Quote("settings.ini=" + Files.Path("b.ini")));
    EXPECT_EQ(R.Status, 0) << R.Output;
    R = Zip("data.zip", Quote("c.dat=" + Files.Path("c.dat")));
    EXPECT_EQ(R.Status, 0) << R.Output;
    R = Zip("d.zip", Quote("d.txt=" + Files.Path("d.txt")));
    EXPECT_EQ(R.Status, 0) << R.Output;
    // The temporary copies are gone after the send.
    for (const auto& A : Ways.Attachments)
        EXPECT_FALSE(std::filesystem::exists(A.File)) << A.File;
}

// The progress areas of the ways that are on; none of the network ones when
// only the mail program is.
TEST_F(CrashreportDispatcher, ProgressAreas)
{
    struct TCase {
        std::vector<std::string> On;
        std::vector<std::string> Areas;
    } Cases[] = {
        {{"MailAsSmtpServer"},
         {"Prepare attachments...", "Searching for mail server...", "Connecting to server...",
          "Sending mail...", "Sending attachments...", "Finalizing..."}},
        {{"UploadViaHttp"},
         {"Prepare attachments...", "Connecting to server...", "Sending attachments...",
          "Finalizing..."}},
        {{"MailViaMapi"}, {"Prepare attachments..."}},
    };
    for (const auto& K : Cases) {
        Ui->Alerts.clear();
        Ways.Calls.clear();
        Send(Make(K.On, {TextEntry("HttpServer", "http://127.0.0.1:9/")}));
        ASSERT_EQ(Ui->Alerts.size(), 1u);
        EXPECT_EQ(Ui->Alerts[0]->Title, "Sending bug report...");
        EXPECT_EQ(Ui->Alerts[0]->Areas, K.Areas) << K.On[0];
        EXPECT_TRUE(Ui->Alerts[0]->Shown);
        EXPECT_TRUE(Ui->Alerts[0]->Closed);
    }
    // An automatic send shows it only with "AutoSendBox".
    for (const bool Box : {false, true}) {
        Ui->Alerts.clear();
        Send(Make({"UploadViaHttp"}, {BoolEntry("AutoSendBox", Box)}), true);
        ASSERT_EQ(Ui->Alerts.size(), 1u);
        EXPECT_EQ(Ui->Alerts[0]->Shown, Box);
    }
}

// A delivery by a network way lets the report file go when the settings say
// so; a hand-over to the mail program never does.
TEST_F(CrashreportDispatcher, ReportFileAfterSending)
{
    struct TCase {
        std::string Way, Key;
        bool Delete, Kept;
    } Cases[] = {
        {"upload", "UploadViaHttp", true, false},
        {"upload", "UploadViaHttp", false, true},
        {"mail program", "MailViaMapi", true, true},
    };
    for (const auto& K : Cases) {
        auto S = Make({K.Key}, {BoolEntry("DelBugRepFile", K.Delete),
                                TextEntry("HttpServer", "http://127.0.0.1:9/")});
        ASSERT_TRUE(SaveReportToFile(Report, *S, ReportFile));
        Ways.Calls.clear();
        Ways.Answers = {{K.Way, TSendResult::srSent}};
        EXPECT_EQ(Send(S), TSendResult::srSent);
        EXPECT_EQ(std::filesystem::exists(ReportFile), K.Kept) << K.Way << K.Delete;
    }

    // The real mail program way, through xdg-email to a recording handler.
    TFakeMailHandler Handler;
    ASSERT_TRUE(Handler.Ready);
    auto S = Make({"MailViaMapi"});
    ASSERT_TRUE(SaveReportToFile(Report, *S, ReportFile));
    TSendOptions O;
    EXPECT_EQ(SendReport(Report, nullptr, S, Ui, O), TSendResult::srSent);
    EXPECT_TRUE(std::filesystem::exists(ReportFile));
    EXPECT_NE(Handler.Url().find("attach="), std::string::npos) << Handler.Url();
    // The copy the mail program gets holds the report file.
    std::string Copy;
    for (const auto& E : std::filesystem::recursive_directory_iterator(CrashReportFolder()))
        if (E.path().filename() == "bugreport.zip")
            Copy = E.path();
    ASSERT_NE(Copy, "");
    EXPECT_NE(Handler.Url().find("attach=" + Copy), std::string::npos) << Handler.Url();
    const auto R = RunCommand("/usr/bin/python3 " + Quote(SendTestDir + "/zip_oracle.py") + " " +
                              Quote(Copy) + " " + Quote("bugreport.kbr=" + ReportFile) + " 2>&1");
    EXPECT_EQ(R.Status, 0) << R.Output;
}

// With no recipient and no server the report is saved, and the user told
// where; an automatic send says nothing; an empty report sends nothing.
TEST_F(CrashreportDispatcher, NoAddress)
{
    auto S = Make({"UploadViaHttp", "MailViaMailto"}, {TextEntry("MailAddr", "")});
    EXPECT_EQ(Send(S), TSendResult::srFailed);
    EXPECT_TRUE(Ways.Calls.empty());
    ASSERT_EQ(Ui->Messages.size(), 1u);
    EXPECT_NE(Ui->Messages[0].find("no address"), std::string::npos) << Ui->Messages[0];
    EXPECT_NE(Ui->Messages[0].find("\"" + ReportFile + "\""), std::string::npos) << Ui->Messages[0];
    EXPECT_NE(TempFolder::Read(ReportFile).find("EAccessViolation"), std::string::npos);

    Ui->Messages.clear();
    EXPECT_EQ(Send(S, true), TSendResult::srFailed);
    EXPECT_TRUE(Ui->Messages.empty());

    TSendOptions O;
    O.Ways = TestWays;
    EXPECT_EQ(SendReport("", nullptr, Make({"UploadViaHttp"}), Ui, O), TSendResult::srFailed);
    EXPECT_TRUE(Ways.Calls.empty());
}

// In the background the caller goes on at once; the outcome comes later from
// the send's own thread.
TEST_F(CrashreportDispatcher, Background)
{
    std::mutex M;
    std::condition_variable Done;
    std::optional<TSendResult> Outcome;
    std::thread::id Thread;
    TSendOptions O;
    O.Background = true;
    O.Ways = TestWays;
    O.Finished = [&](TSendResult R) {
        std::lock_guard G(M);
        Outcome = R;
        Thread = std::this_thread::get_id();
        Done.notify_all();
    };
    EXPECT_EQ(SendReport(Report, nullptr, Make({"UploadViaHttp"}), Ui, O), TSendResult::srSent);
    std::unique_lock L(M);
    ASSERT_TRUE(Done.wait_for(L, std::chrono::seconds(30), [&] { return Outcome.has_value(); }));
    EXPECT_EQ(*Outcome, TSendResult::srFailed);
    EXPECT_NE(Thread, std::this_thread::get_id());
    EXPECT_EQ(Ways.Calls, std::vector<std::string>{"upload"});
    std::lock_guard G(Ui->Lock);
    EXPECT_EQ(Ui->Messages, std::vector<std::string>{"Sorry, sending the bug report didn't work."});
}

// An automatic send leaves out the raw stack and the process list, also of
// the reports saved before it; a send by the user takes the whole file.
TEST_F(CrashreportDispatcher, AutomaticSendLeavesOutPrivateSections)
{
    const std::string Full = Report + "\r\ncall stack:\r\nmain +12\r\n\r\nstack dump:\r\n0012ff00  "
                                      "41 41 41 41\r\n\r\nprocesses:\r\nsecret-program\r\n\r\n"
                                      "modules:\r\nlibc.so.6\r\n";
    for (const bool Automatic : {true, false}) {
        SCOPED_TRACE(Automatic);
        auto S = Make({"UploadViaHttp"}, {TextEntry("HttpServer", "http://127.0.0.1:9/")});
        std::filesystem::remove(ReportFile);
        ASSERT_TRUE(SaveReportToFile(Full, *S, ReportFile));
        Ways.Calls.clear();
        TSendOptions O;
        O.Automatic = Automatic;
        O.Ways = TestWays;
        SendReport(Full, nullptr, S, Ui, O);
        const auto R =
            RunCommand("unzip -p " + Quote(Ways.Kept.Path("bugreport.zip")) + " bugreport.kbr");
        ASSERT_EQ(R.Status, 0);
        EXPECT_NE(R.Output.find("main +12"), std::string::npos) << R.Output;
        EXPECT_NE(R.Output.find("libc.so.6"), std::string::npos) << R.Output;
        EXPECT_EQ(R.Output.find("41 41 41 41") == std::string::npos, Automatic) << R.Output;
        EXPECT_EQ(R.Output.find("secret-program") == std::string::npos, Automatic) << R.Output;
        EXPECT_EQ(R.Output.find("stack dump:") == std::string::npos, Automatic) << R.Output;
    }
}

// The screenshot goes as a PNG whose colours give way to 16 greys above the
// size limit "ScrShotDepth" names: a picture whose colour file lies between
// 200 KiB and 300 KiB is grey under the first limit and in colour under the
// second; Pillow reads which.
TEST_F(CrashreportDispatcher, ScreenShotDepth)
{
    const auto Picture = [] {
        auto B = NewNVBitmap(520, 500);
        std::uint32_t X = 12345;
        for (std::size_t I = 0; I < std::size_t{520} * 500 * 4; ++I) {
            X = X * 1103515245u + 12345u;
            B->Pixels()[I] = static_cast<std::uint8_t>(X >> 16);
        }
        return B;
    };
    const std::size_t ColourSize = Picture()->AsPngStr(pdColours).size();
    ASSERT_GT(ColourSize, 204800u);
    ASSERT_LT(ColourSize, 307200u);
    struct TCase {
        int Depth;
        bool Grey;
    } Cases[] = {{204800, true}, {307200, false}, {102400, true}, {0, false}, {4, true}};
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Depth);
        auto S = Make({"UploadViaHttp"},
                      {TextEntry("HttpServer", "http://127.0.0.1:9/"),
                       IntEntry("ScrShotDepth", C.Depth), BoolEntry("AttachBugRep", false)});
        Ways.Calls.clear();
        TSendOptions O;
        O.Ways = TestWays;
        SendReport(Report, Picture(), S, Ui, O);
        const auto R = RunCommand(
            "unzip -p " + Quote(Ways.Kept.Path("screenshot.zip")) +
            " screenshot.png | /usr/bin/python3 -c 'import sys, io; from PIL import Image; "
            "i = Image.open(io.BytesIO(sys.stdin.buffer.read())).convert(\"RGB\"); "
            "print(all(r == g == b for r, g, b in i.getdata()), len(i.getcolors(1 << 20)))'");
        ASSERT_EQ(R.Status, 0) << R.Output;
        EXPECT_EQ(R.Output.substr(0, R.Output.find(' ')), C.Grey ? "True" : "False") << R.Output;
    }
}
