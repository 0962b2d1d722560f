// A 5 MB zipped report mailed to one aiosmtpd on loopback, by our SMTP client
// (composing as it sends) and by Python's smtplib (sending the same message,
// composed before its clock starts), in clear and with STARTTLS. Prints the
// best of five runs of each and the ratio.
#include "crashreport/send/kelExceptMime.h"
#include "crashreport/send/kelExceptSmtp.h"

#include "tests/crashreport/Command.h"
#include "tests/crashreport/send/SendPeers.h"
#include "tests/support/TempFolder.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>

namespace {

const char* const SmtplibScript = R"(
import smtplib, ssl, sys, time
port, starttls, ca, path = int(sys.argv[1]), sys.argv[2] == '1', sys.argv[3], sys.argv[4]
data = open(path, 'rb').read()
start = time.perf_counter()
s = smtplib.SMTP('localhost', port)
if starttls:
    s.starttls(context=ssl.create_default_context(cafile=ca))
s.sendmail('sender@example.test', ['dev@example.test'], data)
s.quit()
print(time.perf_counter() - start)
)";

double Seconds(std::chrono::steady_clock::duration D)
{
    return std::chrono::duration<double>(D).count();
}

} // namespace

int main()
{
    ::setenv("TOLVEX_SOURCE_DIR", TOLVEX_SOURCE_DIR, 0);
    TempFolder Dir;
    if (!MakeCertificate(Dir.Path(), "ca", "good", "DNS:localhost,IP:127.0.0.1")) {
        std::fprintf(stderr, "openssl failed\n");
        return 1;
    }
    ::setenv("SSL_CERT_FILE", Dir.Path("ca.pem").c_str(), 1);
    std::string Zip(5 * 1024 * 1024, '\0');
    std::mt19937 Random(7);
    for (auto& C : Zip)
        C = static_cast<char>(Random());
    std::ofstream(Dir.Path("report.zip"), std::ios::binary) << Zip;
    std::ofstream(Dir.Path("smtplib_send.py")) << SmtplibScript;

    TMailMessage Message;
    Message.To = "Dev <dev@example.test>";
    Message.From = "kelExcept <sender@example.test>";
    Message.Subject = "bug report";
    Message.Body = "A report is attached.\r\n";
    Message.Attachments = {{Dir.Path("report.zip"), "report.zip", "Attachment"}};
    // The same message for smtplib, composed once.
    {
        std::ofstream Out(Dir.Path("message.eml"), std::ios::binary);
        ComposeMail(Message, [&Out](std::string_view B) {
            Out.write(B.data(), static_cast<std::streamsize>(B.size()));
            return true;
        });
    }

    std::printf("%-10s %12s %12s %8s\n", "mode", "ours (s)", "smtplib (s)", "ratio");
    for (const bool StartTls : {false, true}) {
        std::vector<std::string> Args = {PeersFolder() + "/smtp_peer.py", "--quiet", "--folder",
                                         Dir.Path()};
        if (StartTls)
            Args.insert(Args.end(),
                        {"--tls-cert", Dir.Path("good.pem"), "--tls-key", Dir.Path("good.key")});
        TPythonPeer Peer(Args);
        const int Port = Peer.WaitReady();
        if (Port == 0) {
            std::fprintf(stderr, "aiosmtpd did not start\n");
            return 1;
        }
        double Ours = 1e9, Theirs = 1e9;
        for (int Run = 0; Run < 5; ++Run) {
            TSmtpOptions O;
            O.Server = "localhost";
            O.Port = static_cast<std::uint16_t>(Port);
            O.Tls = StartTls;
            const std::string Head = ComposeMailHead(Message);
            const std::vector<TMessagePart> Parts = {
                [&](const TMessageWrite& W) { return W(Head); },
                [&](const TMessageWrite& W) {
                    return ComposeMailAttachment(Message.Attachments[0], W);
                },
                [&](const TMessageWrite& W) { return W(ComposeMailEnd()); }};
            std::string Error;
            const auto Start = std::chrono::steady_clock::now();
            const bool Sent = SendSmtpMessage(O, Message.From, Message.To, Parts, nullptr, Error);
            const double T = Seconds(std::chrono::steady_clock::now() - Start);
            if (!Sent) {
                std::fprintf(stderr, "our send failed: %s\n", Error.c_str());
                return 1;
            }
            Ours = std::min(Ours, T);
            const TCommandResult R =
                RunCommand("/usr/bin/python3 " + Quote(Dir.Path("smtplib_send.py")) + " " +
                           std::to_string(Port) + (StartTls ? " 1 " : " 0 ") +
                           Quote(Dir.Path("ca.pem")) + " " + Quote(Dir.Path("message.eml")));
            if (R.Status != 0) {
                std::fprintf(stderr, "smtplib failed: %s\n", R.Output.c_str());
                return 1;
            }
            Theirs = std::min(Theirs, std::atof(R.Output.c_str()));
        }
        std::printf("%-10s %12.3f %12.3f %8.2f\n", StartTls ? "STARTTLS" : "plain", Ours, Theirs,
                    Ours / Theirs);
    }
    return 0;
}
