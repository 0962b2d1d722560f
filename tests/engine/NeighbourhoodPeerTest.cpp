// The network neighbourhood against real Samba browsers in a private
// network: nmbd as the workgroup's local master browser with smbd serving
// its list over SMB1, a second computer announcing itself to it, and a client
// that reads the list through its own /etc/samba. Without any browser the
// enumeration must give up within a bound and say nothing was found.
#include "engine/uNetworkEnum.h"
#include "platform/Sockets.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <thread>

using namespace std::chrono_literals;

namespace {

class Neighbourhood : public ::testing::Test {
protected:
    void SetUp() override
    {
        TVX_REQUIRE_LAN();
        lab = std::make_unique<lan::Lab>();
        lan::Switch& sw = lab->AddSwitch();
        master = &lab->AddHost("master");
        member = &lab->AddHost("member");
        client = &lab->AddHost("client");
        lab->Attach(sw, *master, {"eth0", "02:b0:00:00:00:01", "10.78.0.1/24"});
        lab->Attach(sw, *member, {"eth0", "02:b0:00:00:00:02", "10.78.0.2/24"});
        lab->Attach(sw, *client, {"eth0", "02:b0:00:00:00:03", "10.78.0.3/24"});
        // The client's libsmbclient reads this in place of the machine's smb.conf.
        std::filesystem::create_directories(client->EtcDir() + "/samba");
        std::filesystem::copy_file(lan::SambaClientConf(*lab),
                                   client->EtcDir() + "/samba/smb.conf");
    }

    // "status|message|ms|name,name,..." of EnumNetworkNeighbourhood in the client.
    lan::RunResult Enumerate(int stopAfterDomains = 0)
    {
        return client->Run(
            [=] {
                TScanJob job;
                job.Settings.sSetStatusScanNetworkFailed = "failed: %s";
                std::vector<std::string> names;
                int domains = 0;
                TNeighbourhoodSource source = PlatformNeighbourhood();
                auto servers = source.Servers;
                source.Servers = [&](const std::string& d) {
                    ++domains;
                    return servers(d);
                };
                long long t0 = platform::MonotonicMs();
                EnumNetworkNeighbourhood(
                    job, names, [&] { return stopAfterDomains > 0 && domains >= stopAfterDomains; },
                    source);
                std::string list;
                for (const auto& n : names)
                    list += (list.empty() ? "" : ",") + n;
                return std::to_string(job.Status) + "|" + job.Message + "|" +
                       std::to_string(platform::MonotonicMs() - t0) + "|" + list;
            },
            Options());
    }

    static lan::RunOptions Options()
    {
        lan::RunOptions o;
        o.timeout = 90s;
        return o;
    }

    static std::string Field(const std::string& v, int i)
    {
        size_t b = 0;
        for (int k = 0; k < i; ++k)
            b = v.find('|', b) + 1;
        return v.substr(b, v.find('|', b) - b);
    }

    std::unique_ptr<lan::Lab> lab;
    lan::Host* master = nullptr;
    lan::Host* member = nullptr;
    lan::Host* client = nullptr;
};

TEST_F(Neighbourhood, ListsTheWorkgroupsComputers)
{
    lan::Peer& nmbd = lan::StartNmbd(*master, {"MASTERPC", "TVXGROUP", "10.78.0.1/24", true});
    lan::Peer& smbd = lan::StartSmbd(*master, nmbd);
    lan::Peer& other = lan::StartNmbd(*member, {"MEMBERPC", "TVXGROUP", "10.78.0.2/24"});
    // The member's announcement reaches the master's list, and nmbd writes
    // the list out for smbd, within about a minute.
    std::string last;
    auto deadline = std::chrono::steady_clock::now() + 150s;
    while (std::chrono::steady_clock::now() < deadline) {
        lan::RunResult r = Enumerate();
        ASSERT_TRUE(r.ok()) << r.Describe();
        last = r.value;
        if (Field(last, 3).find("MEMBERPC") != std::string::npos)
            break;
        std::this_thread::sleep_for(3s);
    }
    EXPECT_EQ(Field(last, 0), "0") << last << "\n" << nmbd.Log() << smbd.Log() << other.Log();
    EXPECT_EQ(Field(last, 1), "sSetStatusScanNetworkComplete");
    RecordProperty("names", Field(last, 3));
    RecordProperty("enumeration_ms", Field(last, 2));
    std::string list = "," + Field(last, 3) + ",";
    EXPECT_NE(list.find(",MASTERPC,"), std::string::npos) << last;
    EXPECT_NE(list.find(",MEMBERPC,"), std::string::npos) << last;

    // A stop after the first domain's list: names so far, but no status.
    lan::RunResult stopped = Enumerate(1);
    ASSERT_TRUE(stopped.ok()) << stopped.Describe();
    EXPECT_EQ(Field(stopped.value, 0), "-1") << stopped.value;
    EXPECT_EQ(Field(stopped.value, 1), "");
}

TEST_F(Neighbourhood, NoBrowserIsNotFoundWithinBound)
{
    // A computer on the wire, but no browser anywhere.
    lan::StartNmbd(*member, {"MEMBERPC", "TVXGROUP", "10.78.0.2/24"});
    lan::RunResult r = Enumerate();
    ASSERT_TRUE(r.ok()) << r.Describe();
    EXPECT_EQ(Field(r.value, 0), "3") << r.value;
    // A failure with the browse's reason, not an empty network.
    EXPECT_EQ(Field(r.value, 1).rfind("failed: ", 0), 0u) << r.value;
    EXPECT_GT(Field(r.value, 1).size(), std::string("failed: ").size()) << r.value;
    EXPECT_EQ(Field(r.value, 3), "");
    EXPECT_LT(std::stoll(Field(r.value, 2)), 20000) << r.value;
    RecordProperty("enumeration_ms", Field(r.value, 2));
}

} // namespace
