// The NetBIOS method against a scripted node in a private namespace: the MAC
// it decodes equals what nmblookup decodes from the same answer and what
// `ip link` shows for the node's interface; replies that lie or are cut give
// nothing, and no answer gives nothing within the time-out.
#include "engine/NetBiosNodeStatus.h"
#include "engine/uGetMac.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"
#include "tests/support/TwoHostLab.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>

namespace {

constexpr long long kSlackMs = 400;
constexpr int kTimeoutMs = 1000;

std::string SourceDir()
{
    const char* dir = std::getenv("TOLVEX_SOURCE_DIR");
    return dir ? dir : "";
}

struct Timed {
    std::string mac;
    long long ms = -1;
};

class NetBiosNode : public TwoHostLab {
protected:
    NetBiosNode()
        : TwoHostLab({"scanner", {"eth0", "02:00:00:5c:00:01", "10.61.0.1/24"}},
                     {"node", {"eth0", "02:3a:7f:c4:91:e2", "10.61.0.2/24"}})
    {
    }
    void SetUpLab() override
    {
        ASSERT_FALSE(SourceDir().empty()) << "TOLVEX_SOURCE_DIR is not set";
    }

    lan::Peer& StartNode(const std::string& mode)
    {
        lan::PeerSpec spec;
        spec.name = "netbios-" + mode;
        spec.argv = {"/usr/bin/python3",
                     SourceDir() + "/tests/engine/netbios_responder.py",
                     "10.61.0.2",
                     "02:3a:7f:c4:91:e2",
                     mode,
                     "TVXNODE",
                     "TVXGROUP",
                     "TVXNODE"};
        const lan::Host* h = node;
        spec.ready = [h] { return lan::IsListening(*h, "udp", 137); };
        return lab->StartPeer(*node, spec);
    }

    Timed Ask(const std::string& ip, int timeout = kTimeoutMs)
    {
        lan::RunResult r = scanner->Run([ip, timeout] {
            std::string mac = "untouched";
            const long long t0 = platform::MonotonicMs();
            GetMacByNetBios(ip, timeout, mac);
            return mac + "|" + std::to_string(platform::MonotonicMs() - t0);
        });
        Timed t;
        if (!r.ok()) {
            t.mac = "run failed: " + r.Describe();
            return t;
        }
        const auto bar = r.value.rfind('|');
        t.mac = r.value.substr(0, bar);
        t.ms = std::stoll(r.value.substr(bar + 1));
        return t;
    }

    // The MAC line of `nmblookup -A`, lower-cased; empty when it printed none.
    std::string NmblookupMac(const std::string& ip)
    {
        lan::ExecResult e =
            scanner->Exec({"nmblookup", "--configfile=" + lan::SambaClientConf(*lab), "-A", ip},
                          std::chrono::seconds(20));
        std::smatch m;
        if (!std::regex_search(e.out, m, std::regex("MAC Address = ([0-9A-Fa-f-]{17})")))
            return "";
        std::string mac = m[1];
        std::transform(mac.begin(), mac.end(), mac.begin(), ::tolower);
        return mac;
    }

    lan::Host*& scanner = first;
    lan::Host*& node = second;
};

TEST_F(NetBiosNode, MacEqualsNmblookupsAndTheInterfaces)
{
    lan::Peer& peer = StartNode("good");
    const std::string link = lan::LinkMac(*node, "eth0");
    ASSERT_EQ(link, "02-3a-7f-c4-91-e2");
    Timed t = Ask("10.61.0.2");
    EXPECT_EQ(t.mac, link) << peer.Log();
    EXPECT_LT(t.ms, 500) << "a node that answers needs no waiting";
    EXPECT_EQ(NmblookupMac("10.61.0.2"), t.mac) << peer.Log();
    // The request on the wire was the fixed 50 bytes.
    static const char digits[] = "0123456789abcdef";
    std::string hex;
    for (uint8_t b : NetBiosNodeStatusRequest) {
        hex += digits[b >> 4];
        hex += digits[b & 0x0F];
    }
    const std::string log = peer.Log();
    EXPECT_NE(log.find("request 50 from 10.61.0.1 " + hex + "\n"), std::string::npos) << log;
}

TEST_F(NetBiosNode, CutOrLyingAnswersGiveNothing)
{
    for (const char* mode : {"short", "toomany", "cutmac", "otherid"}) {
        SCOPED_TRACE(mode);
        lan::Peer& peer = StartNode(mode);
        Timed t = Ask("10.61.0.2");
        EXPECT_EQ(t.mac, "") << peer.Log();
        // An answer to another request is passed over until the wait runs
        // out; one whose table runs past its end is read at once. Neither
        // waits beyond the time-out.
        EXPECT_LE(t.ms, kTimeoutMs + kSlackMs);
        EXPECT_NE(peer.Log().find("request 50"), std::string::npos) << "never asked";
        peer.Stop();
    }
}

TEST_F(NetBiosNode, NoAnswerEndsWithinTheTimeout)
{
    lan::Peer& peer = StartNode("silent");
    Timed silent = Ask("10.61.0.2");
    EXPECT_EQ(silent.mac, "");
    EXPECT_GE(silent.ms, kTimeoutMs - 50) << "gave up early";
    EXPECT_LE(silent.ms, kTimeoutMs + kSlackMs);
    EXPECT_NE(peer.Log().find("request 50"), std::string::npos);
    peer.Stop();

    // Nothing on port 137: the refusal ends the wait at once.
    Timed closed = Ask("10.61.0.2");
    EXPECT_EQ(closed.mac, "");
    EXPECT_LT(closed.ms, 300);

    // No host at the address: the time-out bounds it.
    Timed dead = Ask("10.61.0.77", 700);
    EXPECT_EQ(dead.mac, "");
    EXPECT_LE(dead.ms, 700 + kSlackMs);
}

TEST_F(NetBiosNode, WorksWithoutPrivileges)
{
    StartNode("good");
    lan::RunOptions o;
    o.unprivileged = true;
    lan::RunResult r = scanner->Run(
        [] {
            std::string mac;
            GetMacByNetBios("10.61.0.2", kTimeoutMs, mac);
            return mac;
        },
        o);
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(r.value, "02-3a-7f-c4-91-e2");
}

} // namespace
