// The network ways through the send dispatcher, against the fake servers of
// tests/peers/trackers.py: the settings reach the way (the server text, its
// trailing "/", the port, TLS), the tracker gets the report's own header
// fields and the expanded title, the progress window is laid out for the way,
// and the report file goes only after a confirmed delivery.
#include "crashreport/send/kelExceptNetWays.h"

#include "tests/crashreport/send/SendPeers.h"
#include "tests/crashreport/send/SendTestSupport.h"

#include <fstream>

namespace {

const auto* Environment = ::testing::AddGlobalTestEnvironment(new TSendTestEnvironment);

// The member of a zip archive, as Python's zipfile reads it.
std::string Unzipped(const std::string& Zip, const std::string& Member)
{
    return RunCommand("/usr/bin/python3 -c 'import sys, zipfile; "
                      "sys.stdout.buffer.write(zipfile.ZipFile(sys.argv[1]).read(sys.argv[2]))' " +
                      Quote(Zip) + " " + Quote(Member))
        .Output;
}

bool Has(const std::string& Line, const std::string& Text)
{
    return Line.find(Text) != std::string::npos;
}

const std::string Report = "date/time          : 2026-12-09 10:00\r\n"
                           "version            : 2.4.1\r\n"
                           "computer name      : LAB-PC\r\n"
                           "operating system   : Debian 12 build 7\r\n"
                           "exception class    : std::runtime_error\r\n"
                           "exception message  : disk full\r\n"
                           "callstack crc      : 1A2B3C4D\r\n"
                           "\r\n"
                           "error details:\r\n"
                           "disk full while saving\r\n";

std::vector<TSettingEntry> Common(const std::string& ReportFile)
{
    return {BoolEntry("MailViaMapi", false),     BoolEntry("MailViaMailto", false),
            BoolEntry("SendInBackgr", false),    BoolEntry("AttachBugRep", true),
            BoolEntry("AttachBugRepFile", true), BoolEntry("DelBugRepFile", true),
            TextEntry("BugRepFile", ReportFile)};
}

} // namespace

TEST(CrashreportHttpWay, ReportFileGoesOnlyAfterADelivery)
{
    TempFolder Dir;
    for (const int Status : {200, 500}) {
        SCOPED_TRACE(Status);
        const std::string ReportFile = Dir.Path("bugreport.kbr");
        std::ofstream(ReportFile, std::ios::binary) << "earlier reports\r\n";
        TPythonPeer Peer({PeersFolder() + "/trackers.py", "--kind", "upload", "--folder",
                          Dir.Path(), "--status", std::to_string(Status)});
        const int Port = Peer.WaitReady();
        ASSERT_NE(Port, 0);
        auto Entries = Common(ReportFile);
        Entries.insert(Entries.end(), {BoolEntry("UploadViaHttp", true),
                                       TextEntry("HttpServer", "localhost/upload.php"),
                                       IntEntry("HttpPort", Port)});
        auto Ui = std::make_shared<TRecordingUi>();
        TSendOptions Options;
        Options.Automatic = true;
        const TSendResult R = SendReport(Report, nullptr, SettingsOf(Entries), Ui, Options);
        EXPECT_EQ(R, Status == 200 ? TSendResult::srSent : TSendResult::srFailed);
        EXPECT_EQ(::access(ReportFile.c_str(), F_OK) == 0, Status != 200);
        const auto Lines = Peer.Lines();
        const std::string Upload = CallLine(Lines, "POST /upload.php");
        ASSERT_FALSE(Upload.empty());
        EXPECT_TRUE(Has(Upload, "\"field\": \"BugReport\", \"filename\": \"bugreport.zip\""))
            << Upload;
        const auto Files = FilesOf(Upload);
        ASSERT_EQ(Files.size(), 1u);
        // An automatic send sends the report alone, not the earlier ones.
        EXPECT_EQ(Unzipped(Files[0], "bugreport.kbr").rfind(Report, 0), 0u);
        // The window laid out for a web way with one attachment.
        ASSERT_EQ(Ui->Alerts.size(), 1u);
        const auto& S = *SettingsOf({});
        EXPECT_EQ(Ui->Alerts[0]->Areas,
                  (std::vector<std::string>{
                      S.GetTextSetting("PrepAttMsg"), S.GetTextSetting("ConnMsg"),
                      S.GetTextSetting("SendAttMsg"), S.GetTextSetting("SendFinalMsg")}));
    }
}

TEST(CrashreportTrackerWay, MantisGetsTheReportsFields)
{
    TempFolder Dir;
    ASSERT_TRUE(MakeCertificate(Dir.Path(), "ca", "good", "DNS:localhost,IP:127.0.0.1"));
    const std::string ReportFile = Dir.Path("bugreport.kbr");
    TPythonPeer Peer({PeersFolder() + "/trackers.py", "--kind", "c", "--folder", Dir.Path(),
                      "--tls-cert", Dir.Path("good.pem"), "--tls-key", Dir.Path("good.key")});
    const int Port = Peer.WaitReady();
    ASSERT_NE(Port, 0);
    ::setenv("SSL_CERT_FILE", Dir.Path("ca.pem").c_str(), 1);
    auto Entries = Common(ReportFile);
    // Mantis comes before the plain upload, which is on too.
    Entries.insert(Entries.end(),
                   {BoolEntry("Mantis", true), BoolEntry("UploadViaHttp", true),
                    TextEntry("HttpServer", "https://localhost/"), BoolEntry("HttpSsl", true),
                    IntEntry("HttpPort", Port), TextEntry("BugTrAccount", "reporter@example.test"),
                    TextEntry("BugTrPassword", EncipherPassword("secret", "https://localhost/",
                                                                "reporter@example.test")),
                    TextEntry("BugTrProject", "Tolvex"),
                    TextEntry("BugTrTitle", "crash: %exceptMsg% (%exceptClass%)")});
    auto Ui = std::make_shared<TRecordingUi>();
    TSendOptions Options;
    Options.Automatic = true;
    EXPECT_EQ(SendReport(Report, nullptr, SettingsOf(Entries), Ui, Options), TSendResult::srSent);
    ::unsetenv("SSL_CERT_FILE");
    const auto Lines = Peer.Lines();
    const std::string Add = CallLine(Lines, "mc_issue_add");
    for (const char* V : {"\"summary\": \"crash: disk full (std::runtime_error)\"",
                          "\"version\": \"2.4.1\"", "\"os\": \"Debian 12\"", "\"project\": \"1\""})
        EXPECT_TRUE(Has(Add, V)) << V << "\n" << Add;
    const auto Files = FilesOf(CallLine(Lines, "mc_issue_attachment_add"));
    ASSERT_EQ(Files.size(), 1u);
    // The report as the report file keeps it (followed by its separator).
    EXPECT_EQ(Unzipped(Files[0], "bugreport.kbr").rfind(Report, 0), 0u);
    // Delivered: the report file is gone.
    EXPECT_NE(::access(ReportFile.c_str(), F_OK), 0);
}
