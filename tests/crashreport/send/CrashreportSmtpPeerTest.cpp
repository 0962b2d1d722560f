// The SMTP client against aiosmtpd on loopback (tests/peers/smtp_peer.py):
// plain, STARTTLS and implicit TLS with certificates made for each run, AUTH
// LOGIN and PLAIN, and the failures that must stop a mail before anything of
// it (or the password) is sent. The message is one Python's email package
// composed; what the server received must be that, byte for byte.
#include "crashreport/send/kelExceptSmtp.h"

#include "tests/crashreport/Command.h"
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

struct TSmtpCase {
    const char* Name;
    const char* Certificate; // the peer's: "" none, "good" (localhost), "wrong" (other.test)
    std::vector<std::string> PeerArgs;
    TSmtpOptions Client;          // its port is the peer's
    const char* TrustedCa = "ca"; // SSL_CERT_FILE: "ca" or "otherca"
    bool Sent = true;
    const char* ErrorStart = "";
    const char* AuthMechanism = ""; // the AUTH the peer saw; "" none at all
    const char* Greeting = "ehlo";  // "" none: TLS failed first
};

TSmtpOptions Client(bool Ssl, bool Tls, const char* Account = "", const char* Password = "",
                    const char* Server = "localhost")
{
    TSmtpOptions O;
    O.Server = Server;
    O.Ssl = Ssl;
    O.Tls = Tls;
    O.Account = Account;
    O.Password = Password;
    return O;
}

const std::vector<std::string> Auth = {"--auth"};
const std::vector<std::string> RequireStartTls = {"--require-starttls"};

} // namespace

TEST(CrashreportSmtp, AgainstAiosmtpd)
{
    TempFolder Dir;
    ASSERT_TRUE(MakeCertificate(Dir.Path(), "ca", "good", "DNS:localhost,IP:127.0.0.1"));
    ASSERT_TRUE(MakeCertificate(Dir.Path(), "ca", "wrong", "DNS:other.test"));
    ASSERT_TRUE(MakeCertificate(Dir.Path(), "otherca", "unused", "DNS:localhost"));
    std::ofstream(Dir.Path("report.zip"), std::ios::binary) << std::string(70000, '\x5a') << "PK";
    const std::string Oracle =
        std::string(std::getenv("TOLVEX_SOURCE_DIR")) + "/tests/crashreport/send/mail_oracle.py";
    ASSERT_EQ(RunCommand("/usr/bin/python3 " + Oracle + " compose " + Dir.Path("composed.eml") +
                         " " + Dir.Path("report.zip"))
                  .Status,
              0);
    const std::string Composed = ReadFile(Dir.Path("composed.eml"));
    ASSERT_NE(Composed.find("\r\n.hidden line\r\n"), std::string::npos)
        << "the oracle's message has no line starting with a dot";

    const TSmtpCase Cases[] = {
        {"plain", "", {}, Client(false, false)},
        {"starttls required", "good", RequireStartTls, Client(false, true)},
        {"implicit TLS", "good", {"--implicit-tls"}, Client(true, false, "", "", "127.0.0.1")},
        {"AUTH LOGIN over STARTTLS", "good", Auth, Client(false, true, "user", "secret"), "ca",
         true, "", "LOGIN"},
        {"AUTH PLAIN when only it is offered",
         "good",
         {"--auth", "--auth-mechanisms", "PLAIN"},
         Client(false, true, "user", "secret"),
         "ca",
         true,
         "",
         "PLAIN"},
        {"wrong password", "good", Auth, Client(false, true, "user", "guess"), "ca", false,
         "Authentication failed (535", "LOGIN"},
        {"AUTH offered in clear is refused", "", Auth, Client(false, false, "user", "secret"), "ca",
         false, "Authentication failed ("},
        {"certificate for another host", "wrong", Auth, Client(false, true, "user", "secret"), "ca",
         false, "TLS failed ("},
        {"implicit TLS, unknown CA",
         "good",
         {"--implicit-tls", "--auth"},
         Client(true, false, "user", "secret"),
         "otherca",
         false,
         "SSL failed (",
         "",
         ""},
        {"STARTTLS asked, not offered", "", Auth, Client(false, true, "user", "secret"), "ca",
         false, "TLS failed ("},
        {"EHLO refused", "", {"--refuse-ehlo"}, Client(false, false), "ca", true, "", "", "helo"},
        {"70 KB reply line",
         "",
         {"--long-reply", "70000"},
         Client(false, false),
         "ca",
         false,
         "HELO failed (reply line longer than 512 bytes"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Name);
        std::vector<std::string> Args = {PeersFolder() + "/smtp_peer.py", "--folder", Dir.Path()};
        if (*C.Certificate)
            Args.insert(Args.end(), {"--tls-cert", Dir.Path(std::string(C.Certificate) + ".pem"),
                                     "--tls-key", Dir.Path(std::string(C.Certificate) + ".key")});
        Args.insert(Args.end(), C.PeerArgs.begin(), C.PeerArgs.end());
        TPythonPeer Peer(Args);
        TSmtpOptions Options = C.Client;
        Options.Port = static_cast<std::uint16_t>(Peer.WaitReady());
        ASSERT_NE(Options.Port, 0);
        ::setenv("SSL_CERT_FILE", Dir.Path(std::string(C.TrustedCa) + ".pem").c_str(), 1);

        std::string Error;
        const bool Sent = SendSmtpMessage(
            Options, "kelExcept <sender@example.test>", "Dev <dev@example.test>, ",
            {[&](const TMessageWrite& Write) { return Write(Composed); }}, nullptr, Error);
        EXPECT_EQ(Sent, C.Sent) << Error;
        EXPECT_EQ(Error.rfind(C.ErrorStart, 0), 0u) << Error;

        std::string Events, Received;
        for (const auto& Line : Peer.Lines()) {
            Events += Line + "\n";
            const std::size_t File = Line.find("\"file\": \"");
            if (Line.find("\"event\": \"data\"") != std::string::npos && File != std::string::npos)
                Received = Line.substr(File + 9, Line.find('"', File + 9) - File - 9);
        }
        EXPECT_EQ(Events.find("\"event\": \"auth\"") != std::string::npos, *C.AuthMechanism != 0)
            << Events;
        if (*C.AuthMechanism) {
            EXPECT_NE(Events.find("\"mechanism\": \"" + std::string(C.AuthMechanism) + "\""),
                      std::string::npos)
                << Events;
        }
        if (*C.Greeting) {
            EXPECT_NE(Events.find(std::string("\"event\": \"") + C.Greeting), std::string::npos)
                << Events;
        }
        // A failed session gave the server no mail at all.
        EXPECT_EQ(Events.find("\"event\": \"mail\"") != std::string::npos, C.Sent) << Events;
        if (!C.Sent)
            continue;
        const bool Encrypted = Options.Ssl || Options.Tls;
        EXPECT_NE(Events.find(std::string("\"tls\": ") + (Encrypted ? "true" : "false") + "}"),
                  std::string::npos)
            << Events;
        ASSERT_FALSE(Received.empty()) << Events;
        EXPECT_EQ(ReadFile(Received), Composed);
        EXPECT_EQ(RunCommand("/usr/bin/python3 " + Oracle + " check " + Received + " " +
                             Dir.Path("report.zip"))
                      .Output,
                  "ok\n");
        std::remove(Received.c_str());
    }
    ::unsetenv("SSL_CERT_FILE");
}
