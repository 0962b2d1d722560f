#include "admin/uComputerShutdown.h"
#include "tests/lan/Lab.h"
#include "tests/lan/Peers.h"
#include "tests/support/ProcFiles.h"

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>

using namespace std::chrono_literals;

namespace {

// Two computers: a standalone smbd that answers remote-shutdown requests,
// and the one the request comes from.
class ShutdownPeer : public ::testing::Test {
protected:
    void SetUp() override
    {
        const std::string Why = lan::LanUnavailableReason();
        if (!Why.empty())
            GTEST_SKIP() << Why;
        Server = &L.AddHost("server");
        Client = &L.AddHost("client");
        L.Link(*Server, {"eth0", "02:00:00:00:31:01", "10.31.0.1/24"}, *Client,
               {"eth0", "02:00:00:00:31:02", "10.31.0.2/24"});
        lan::ShutdownSmbdConfig Config;
        Config.interfaceAddress = "10.31.0.1/24";
        Config.accounts = {{"daemon", Privileged, true}, {"bin", "plain pass", false}};
        Smbd = &lan::StartShutdownSmbd(*Server, Config);
    }
    // The request as the client computer makes it: the text of the error,
    // or "done".
    std::string Request(const std::string& Host, const std::string& User,
                        const std::string& Password, std::int32_t ActionIndex, bool Forced)
    {
        lan::RunOptions Options;
        Options.timeout = 120s;
        const lan::RunResult R = Client->Run(
            [&] {
                try {
                    return ShutdownComputerByWmi(Host, User, Password, Forced, ActionIndex) == 0
                               ? std::string("done")
                               : std::string("failed");
                } catch (const std::exception& E) {
                    return std::string(E.what());
                }
            },
            Options);
        EXPECT_TRUE(R.ok());
        return R.value;
    }
    std::string ScriptLog() const
    {
        std::ifstream In(Smbd->dir() + "/shutdown.log");
        return {std::istreambuf_iterator<char>(In), std::istreambuf_iterator<char>()};
    }

    const std::string Privileged = "a%b c'd\"e";
    lan::Lab L;
    lan::Host* Server = nullptr;
    lan::Host* Client = nullptr;
    const lan::Peer* Smbd = nullptr;
};

} // namespace

TEST_F(ShutdownPeer, ThePrivilegedUserRestartsTheComputerAsRoot)
{
    EXPECT_EQ(Request("10.31.0.1", "daemon", Privileged, 1, true), "done");
    const std::string Log = ScriptLog();
    EXPECT_NE(Log.find("-r"), std::string::npos) << Log;
    EXPECT_NE(Log.find("-f"), std::string::npos) << Log;
    EXPECT_NE(Log.find("uid=0"), std::string::npos) << Log;
}

TEST_F(ShutdownPeer, WithoutThePrivilegeOrWithAWrongPasswordTheReasonIsNets)
{
    const std::string Denied = Request("10.31.0.1", "bin", "plain pass", 1, false);
    EXPECT_NE(Denied.find("ACCESS_DENIED"), std::string::npos) << Denied;
    EXPECT_EQ(ScriptLog().find("uid=0"), std::string::npos);

    const std::string Wrong = Request("10.31.0.1", "daemon", "wrong", 1, false);
    EXPECT_NE(Wrong.find("NT_STATUS_LOGON_FAILURE"), std::string::npos) << Wrong;
    EXPECT_EQ(Wrong.find("password:"), std::string::npos) << Wrong;
}

TEST_F(ShutdownPeer, ASilentAddressGivesAReasonWithinTheLimit)
{
    ShutdownTimeLimit = 10s;
    // While net waits, other users can read its argv and environment.
    ShutdownClientStarted = [this](int Pid) {
        for (const char* File : {"cmdline", "environ"}) {
            const std::string Text = ReadPublishedProcFile(Pid, File);
            if (Text.empty() || Text.find("a%b") != std::string::npos)
                throw std::runtime_error(std::string("password visible or nothing to read in ") +
                                         File);
        }
    };
    const std::string Silent = Request("10.31.0.99", "daemon", Privileged, 0, false);
    ShutdownClientStarted = nullptr;
    ShutdownTimeLimit = 60s;
    EXPECT_NE(Silent.find("NT_STATUS_"), std::string::npos) << Silent;
    EXPECT_EQ(Silent.find("password visible"), std::string::npos) << Silent;
}
