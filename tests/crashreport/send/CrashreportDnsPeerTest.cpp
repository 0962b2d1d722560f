// The DNS client against a name server that misbehaves on purpose
// (tests/peers/dns_responder.py, built on dnspython) in a private network:
// what it must ignore (other ids, ports, questions, non-replies), what it must
// refuse cleanly (pointer loops, forward pointers, cut answers, more than 32
// jumps), and a truncated reply asked again over TCP.
#include "crashreport/send/kelExceptDns.h"

#include "tests/crashreport/send/SendPeers.h"
#include "tests/lan/Lab.h"

#include <gtest/gtest.h>

#include <map>
#include <sstream>

namespace {

std::string Describe(const TDnsAnswer& A)
{
    if (!A.Ok)
        return "error:" + A.Error;
    std::string Out = "ok:";
    for (const auto& R : A.Answers)
        Out += (Out.size() > 3 ? "," : "") + R.Name + "/" + std::to_string(R.Preference);
    return Out;
}

std::string Describe(const TMailExchangers& M)
{
    std::string Out = M.Hosts.empty() ? "error:" + M.Error : "hosts:";
    for (const auto& H : M.Hosts)
        Out += H + " ";
    return Out;
}

} // namespace

TEST(CrashreportDns, CraftedResponder)
{
    TVX_REQUIRE_LAN();
    lan::Lab Lab;
    lan::Host& Client = Lab.AddHost("client");
    lan::Host& Ns = Lab.AddHost("ns");
    Lab.Link(Client, {"eth0", "", "10.53.0.1/24"}, Ns, {"eth0", "", "10.53.0.2/24"});
    lan::PeerSpec Spec;
    Spec.name = "dns_responder";
    Spec.argv = {"/usr/bin/python3", PeersFolder() + "/dns_responder.py", "--listen", "10.53.0.2"};
    Spec.ready = [&Ns] {
        return lan::IsListening(Ns, "udp", 53) && lan::IsListening(Ns, "tcp", 53);
    };
    lan::Peer& Responder = Lab.StartPeer(Ns, Spec);

    const std::string Good =
        "ok:mx0.example.test/5,mx1.example.test/10,mx2.example.test/20,mx3.example.test/30";
    const std::string Right = "ok:right.test/10";
    const std::string Malformed = "error:malformed reply";
    const std::map<std::string, std::string> Expected = {
        {"good", Good},
        {"alias", "ok:mx.example.test/5"},
        {"wrongid", Right},
        {"wrongport", Right},
        {"notreply", Right},
        {"otherq", Right},
        {"tc", Good},
        {"nx", "error:no such domain"},
        {"servfail", "error:server failure (RCODE 2)"},
        {"nomx", "ok:"},
        {"nullmx", "ok:/0"},
        {"loop", Malformed},
        {"forward", Malformed},
        {"cut", Malformed},
        {"jumps32", "ok:x/10"},
        {"jumps33", Malformed},
        // Lookups of mail exchangers: the first server refuses (nothing
        // listens there), the second answers.
        {"mx:good", "hosts:mx0.example.test mx1.example.test mx2.example.test mx3.example.test "},
        {"mx:nomx", "hosts:nomx.example.test "},
        {"mx:nullmx", "error:nullmx.example.test takes no mail"},
        {"mx:nx", "error:no such domain: nx.example.test"},
    };
    lan::RunOptions Options;
    Options.timeout = std::chrono::seconds(60);
    const lan::RunResult R = Client.Run(
        [&Expected] {
            std::string Out;
            for (const auto& [Case, _] : Expected) {
                if (Case.rfind("mx:", 0) == 0)
                    Out +=
                        Case + "=" +
                        Describe(FindMailExchangers("Dev <dev@" + Case.substr(3) + ".Example.Test>",
                                                    {"10.53.0.1", "10.53.0.2"})) +
                        "\n";
                else
                    Out += Case + "=" +
                           Describe(DnsQuery("10.53.0.2", Case + ".example.test", DnsTypeMX)) +
                           "\n";
            }
            return Out;
        },
        Options);
    ASSERT_TRUE(R.ok()) << R.Describe();
    std::map<std::string, std::string> Got;
    std::istringstream Lines(R.value);
    for (std::string Line; std::getline(Lines, Line);)
        Got[Line.substr(0, Line.find('='))] = Line.substr(Line.find('=') + 1);
    for (const auto& [Case, Want] : Expected)
        EXPECT_EQ(Got[Case], Want) << Case;
    const std::string Log = Responder.Log();
    EXPECT_NE(Log.find("tcp tc.example.test."), std::string::npos) << Log;
    EXPECT_EQ(Log.find("bad query"), std::string::npos) << Log;
}
