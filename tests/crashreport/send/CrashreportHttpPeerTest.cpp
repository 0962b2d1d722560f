// The plain upload against a fake web server on loopback
// (tests/peers/trackers.py --kind upload): the multipart body as Python's
// email package reads it, the files byte for byte, only a 2xx status counting
// as delivered, TLS verified, and an HTTP account's password never sent over
// plain HTTP to a scheme that would carry it in clear.
#include "crashreport/send/kelExceptHttp.h"

#include "tests/crashreport/send/SendPeers.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadFile(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

bool Has(const std::string& Line, const std::string& Text)
{
    return Line.find(Text) != std::string::npos;
}

} // namespace

TEST(CrashreportHttp, Upload)
{
    TempFolder Dir;
    ASSERT_TRUE(MakeCertificate(Dir.Path(), "ca", "good", "DNS:localhost,IP:127.0.0.1"));
    ASSERT_TRUE(MakeCertificate(Dir.Path(), "otherca", "unused", "DNS:localhost"));
    std::string Zip;
    for (int I = 0; I < 300000; ++I)
        Zip += static_cast<char>(I * 31 + (I >> 9));
    std::ofstream(Dir.Path("report.zip"), std::ios::binary) << Zip;
    std::ofstream(Dir.Path("bugreport.txt"), std::ios::binary) << "line one\r\nline two\r\n";

    struct TCase {
        const char* Name;
        std::vector<std::string> PeerArgs;
        bool Secure;
        const char* Account; // the HTTP account ("" none; its password is "secret")
        const char* TrustedCa;
        bool Sent;
        const char* Error; // in the last error
        const char* Call;  // what the peer saw last; "" nothing
    };
    const TCase Cases[] = {
        {"plain", {}, false, "", "ca", true, "", "POST /upload.php"},
        {"TLS", {}, true, "", "ca", true, "", "POST /upload.php"},
        {"404", {"--status", "404"}, false, "", "ca", false, "404", "POST /upload.php"},
        {"500", {"--status", "500"}, true, "", "ca", false, "500", "POST /upload.php"},
        {"redirect not followed",
         {"--status", "302"},
         false,
         "",
         "ca",
         false,
         "302",
         "POST /upload.php"},
        {"Basic over plain HTTP: not offered",
         {"--basic", "user:secret"},
         false,
         "user",
         "ca",
         false,
         "401",
         "unauthorized"},
        {"Basic over HTTPS",
         {"--basic", "user:secret"},
         true,
         "user",
         "ca",
         true,
         "",
         "POST /upload.php"},
        {"unknown CA", {}, true, "", "otherca", false, "SSL", ""},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::vector<std::string> Args = {PeersFolder() + "/trackers.py",
                                         "--kind",
                                         "upload",
                                         "--folder",
                                         Dir.Path(),
                                         "--secret",
                                         "secret"};
        if (C.Secure)
            Args.insert(Args.end(),
                        {"--tls-cert", Dir.Path("good.pem"), "--tls-key", Dir.Path("good.key")});
        Args.insert(Args.end(), C.PeerArgs.begin(), C.PeerArgs.end());
        TPythonPeer Peer(Args);
        const int Port = Peer.WaitReady();
        ASSERT_NE(Port, 0);
        ::setenv("SSL_CERT_FILE", Dir.Path(std::string(C.TrustedCa) + ".pem").c_str(), 1);
        THttpServer Server;
        Server.Server = "http://localhost/upload.php";
        Server.Secure = C.Secure;
        Server.Port = static_cast<std::uint16_t>(Port);
        Server.HttpAccount = C.Account;
        Server.HttpPassword = *C.Account ? "secret" : "";
        TWinHttp Http(Server);
        const bool Sent = HttpUpload(Http,
                                     {{"MailFrom", "Ann User <ann@example.test>"},
                                      {"MailSubject", "Crash – ö"},
                                      {"Comment", "Grüße\r\n"}},
                                     {{Dir.Path("bugreport.txt"), "bugreport.txt", "Report"},
                                      {Dir.Path("report.zip"), "report.zip", "Attachment"}});
        ::unsetenv("SSL_CERT_FILE");
        EXPECT_EQ(Sent, C.Sent) << Http.LastError();
        EXPECT_TRUE(Has(Http.LastError(), C.Error)) << Http.LastError();
        const auto Lines = Peer.Lines();
        std::string All;
        for (const auto& L : Lines)
            All += L + "\n";
        const auto Calls = CallsOf(Lines);
        EXPECT_EQ(Calls.empty() ? "" : Calls.back(), C.Call) << All;
        EXPECT_FALSE(Has(All, "\"event\": \"secret\"")) << All;
        if (std::string(C.Call) == "unauthorized") {
            // The client never volunteered the account to a clear-text scheme.
            EXPECT_TRUE(Has(All, "\"authorization\": null")) << All;
        }
        if (std::string(C.Call) != "POST /upload.php")
            continue;
        const std::string Line = CallLine(Lines, C.Call);
        // The sender reduced to its address; Latin-1 as 8 bits, the rest as
        // UTF-8 without a transfer encoding.
        EXPECT_TRUE(Has(Line, "\"fields\": [[\"MailFrom\", \"ann@example.test\", \"iso-8859-1\", "
                              "\"8bit\"], [\"MailSubject\", \"Crash – ö\", \"utf-8\", \"\"], "
                              "[\"Comment\", \"Grüße\\r\\n\", \"iso-8859-1\", \"8bit\"]]"))
            << Line;
        EXPECT_TRUE(Has(Line, "\"sender\": \"ann@example.test\"")) << Line;
        EXPECT_TRUE(Has(Line, "\"field\": \"Report\", \"filename\": \"bugreport.txt\"")) << Line;
        const auto Files = FilesOf(Line);
        ASSERT_EQ(Files.size(), 2u) << Line;
        EXPECT_EQ(ReadFile(Files[0]), ReadFile(Dir.Path("bugreport.txt")));
        EXPECT_EQ(ReadFile(Files[1]), Zip);
        std::remove(Files[0].c_str());
        std::remove(Files[1].c_str());
    }
}
