// Mail sent as its own server in a private network: dnsmasq names two mail
// exchangers of "mail.test" (preferences 10 and 20) and a domain with an
// address but no MX record; aiosmtpd listens on port 25 of each. The first
// exchanger offers STARTTLS with a certificate for another name, which must
// not stop the mail.
#include "crashreport/send/kelExceptSmtp.h"

#include "tests/crashreport/send/SendPeers.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"

#include <gtest/gtest.h>

namespace {

lan::Peer& StartSmtpPeer(lan::Lab& Lab, lan::Host& Host, const std::string& Address,
                         const std::vector<std::string>& Extra = {})
{
    lan::PeerSpec Spec;
    Spec.name = "smtp-" + Address;
    Spec.argv = {
        "/usr/bin/python3", PeersFolder() + "/smtp_peer.py", "--listen", Address, "--port", "25"};
    Spec.argv.insert(Spec.argv.end(), Extra.begin(), Extra.end());
    Spec.ready = [&Host] { return lan::IsListening(Host, "tcp", 25); };
    return Lab.StartPeer(Host, Spec);
}

} // namespace

TEST(CrashreportMx, ExchangersByPreference)
{
    TVX_REQUIRE_LAN();
    lan::Lab Lab;
    lan::Switch& Sw = Lab.AddSwitch();
    const auto Hosts = Lab.AddHostsOnSwitch(Sw, {{"eth0", "", "10.25.0.1/24"},
                                                 {"eth0", "", "10.25.0.2/24"},
                                                 {"eth0", "", "10.25.0.10/24"},
                                                 {"eth0", "", "10.25.0.20/24"},
                                                 {"eth0", "", "10.25.0.30/24"}});
    lan::Host& Client = *Hosts[0];
    lan::DnsmasqConfig Dns;
    Dns.listen = "10.25.0.2";
    Dns.hosts = {{"mx10.mail.test", "10.25.0.10"},
                 {"mx20.mail.test", "10.25.0.20"},
                 {"plain.test", "10.25.0.30"}};
    Dns.mx = {{"mail.test", "mx20.mail.test", 20}, {"mail.test", "mx10.mail.test", 10}};
    lan::StartDnsmasq(*Hosts[1], Dns);
    Client.SetNameServers({"10.25.0.2"});
    const std::string Certs = Lab.MakePeerDir("certs");
    ASSERT_TRUE(MakeCertificate(Certs, "ca", "mx", "DNS:elsewhere.test"));
    lan::Peer& Mx10 =
        StartSmtpPeer(Lab, *Hosts[2], "10.25.0.10",
                      {"--tls-cert", Certs + "/mx.pem", "--tls-key", Certs + "/mx.key"});
    lan::Peer& Mx20 = StartSmtpPeer(Lab, *Hosts[3], "10.25.0.20");
    lan::Peer& Plain = StartSmtpPeer(Lab, *Hosts[4], "10.25.0.30");

    auto Send = [&Client](const std::string& To) {
        const lan::RunResult R = Client.Run([To] {
            std::string Error;
            const bool Sent = SendSmtpMessage(
                {}, "kelExcept <crash@tolvex.test>", To, {[](const TMessageWrite& Write) {
                    return Write("Subject: crash\r\n\r\n.a line with a dot\r\n");
                }},
                nullptr, Error);
            return Sent ? std::string("sent") : Error;
        });
        return R.ok() ? R.value : R.Describe();
    };
    const std::string Data = "\"event\": \"data\"";
    EXPECT_EQ(Send("Dev <dev@mail.test>"), "sent");
    EXPECT_NE(Mx10.Log().find("\"tls\": true}"), std::string::npos) << Mx10.Log();
    EXPECT_EQ(Mx20.Log().find(Data), std::string::npos) << Mx20.Log();

    Mx10.Stop();
    EXPECT_EQ(Send("dev@mail.test"), "sent");
    EXPECT_NE(Mx20.Log().find(Data), std::string::npos) << Mx20.Log();

    // No MX record: the domain's own address takes the mail.
    EXPECT_EQ(Send("dev@plain.test"), "sent");
    EXPECT_NE(Plain.Log().find(Data), std::string::npos) << Plain.Log();
    // No such domain at all: a clean failure.
    EXPECT_EQ(Send("dev@nowhere.test").rfind("Server not found (no such domain", 0), 0u);
}
