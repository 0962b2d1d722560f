#include "uEngineOptions.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

namespace {
// Every test here changes globals; each starts and ends with the defaults.
class EngineOptions : public ::testing::Test {
protected:
    void SetUp() override { ResetEngineOptions(); }
    void TearDown() override { ResetEngineOptions(); }
};
} // namespace

TEST_F(EngineOptions, Defaults)
{
    EXPECT_EQ(iMaxThreads, 64);
    EXPECT_EQ(DefaultCheckState, 0);
    EXPECT_EQ(DefaultTimeout, 300);
    EXPECT_EQ(DefaultTCPPort, 39);
    EXPECT_TRUE(IgnoreCheck);
    EXPECT_FALSE(bNoName);
    EXPECT_TRUE(bGetNetbiosName);
    EXPECT_FALSE(bGetDomainName);
    EXPECT_FALSE(bGetDomainNameIfNetBiosFailed);
    EXPECT_EQ(SNMPCommunity, "public"); // the community agents answer out of the box
    EXPECT_EQ(ComputerCaptionStyle, 1);
}

TEST_F(EngineOptions, MessagesHoldTheirKeysUntilTranslated)
{
    const auto& m = EngineMessages();
    ASSERT_EQ(m.size(), 12u);
    std::set<std::string> keys;
    std::set<const std::string*> globals;
    for (const TEngineMessage& e : m) {
        EXPECT_EQ(*e.Text, e.Key);
        keys.insert(e.Key);
        globals.insert(e.Text);
    }
    EXPECT_EQ(keys.size(), m.size());
    EXPECT_EQ(globals.size(), m.size()); // no two keys share a global
    EXPECT_EQ(sSetStatusScanComputerInactive, "sSetStatusScanComputerInactive");
    EXPECT_EQ(sComputerCaptionStyle, "sComputerCaptionStyle");
    EXPECT_TRUE(keys.count("sSetStatusScanNetworkComputerNotFound"));
    EXPECT_TRUE(keys.count("sSetStatusScanADComputerNotFound"));
    EXPECT_TRUE(keys.count("sSetStatusScanComputerNotResolved"));
}

TEST_F(EngineOptions, DefaultSnapshotEqualsTheDefaultGlobals)
{
    const TEngineSettings d{};
    const TEngineSettings s = TakeEngineSettings();
    EXPECT_EQ(s.iMaxThreads, d.iMaxThreads);
    EXPECT_EQ(s.DefaultTCPPort, d.DefaultTCPPort);
    EXPECT_EQ(s.SNMPCommunity, d.SNMPCommunity);
    EXPECT_EQ(s.sSetStatusScanComputerErrorMSg, d.sSetStatusScanComputerErrorMSg);
    EXPECT_EQ(s.sComputerCaptionStyle, d.sComputerCaptionStyle);
}

TEST_F(EngineOptions, SnapshotCopiesEveryValueAndStaysPutAfterwards)
{
    iMaxThreads = 5;
    DefaultCheckState = -1;
    DefaultTimeout = 1200;
    DefaultTCPPort = 65535;
    IgnoreCheck = false;
    bNoName = true;
    bGetNetbiosName = false;
    bGetDomainName = true;
    bGetDomainNameIfNetBiosFailed = true;
    SNMPCommunity = "secret";
    ComputerCaptionStyle = 3;
    int n = 0;
    for (const TEngineMessage& e : EngineMessages())
        *e.Text = "text " + std::to_string(n++) + " %s";

    const TEngineSettings s = TakeEngineSettings();

    // A change in the options dialog after the copy must not reach it.
    iMaxThreads = 1;
    SNMPCommunity = "changed";
    sSetStatusScanComputerComplete = "changed";

    EXPECT_EQ(s.iMaxThreads, 5);
    EXPECT_EQ(s.DefaultCheckState, -1);
    EXPECT_EQ(s.DefaultTimeout, 1200);
    EXPECT_EQ(s.DefaultTCPPort, 65535);
    EXPECT_FALSE(s.IgnoreCheck);
    EXPECT_TRUE(s.bNoName);
    EXPECT_FALSE(s.bGetNetbiosName);
    EXPECT_TRUE(s.bGetDomainName);
    EXPECT_TRUE(s.bGetDomainNameIfNetBiosFailed);
    EXPECT_EQ(s.SNMPCommunity, "secret");
    EXPECT_EQ(s.ComputerCaptionStyle, 3);
    // In table order: each message lands in its own field of the copy.
    EXPECT_EQ(s.sSetStatusScanComputerComplete, "text 0 %s");
    EXPECT_EQ(s.sSetStatusScanComputerInactive, "text 1 %s");
    EXPECT_EQ(s.sSetStatusScanComputerNotDetect, "text 2 %s");
    EXPECT_EQ(s.sSetStatusScanComputerErrorMSg, "text 3 %s");
    EXPECT_EQ(s.sSetStatusScanNetworkStart, "text 4 %s");
    EXPECT_EQ(s.sSetStatusScanNetworkComplete, "text 5 %s");
    EXPECT_EQ(s.sSetStatusScanNetworkComputerNotFound, "text 6 %s");
    EXPECT_EQ(s.sSetStatusScanADStart, "text 7 %s");
    EXPECT_EQ(s.sSetStatusScanADComplete, "text 8 %s");
    EXPECT_EQ(s.sSetStatusScanADComputerNotFound, "text 9 %s");
    EXPECT_EQ(s.sComputerCaptionStyle, "text 10 %s");
    EXPECT_EQ(s.sSetStatusScanComputerNotResolved, "text 11 %s");
}

TEST_F(EngineOptions, ResetRestoresDefaultsAndKeys)
{
    DefaultTimeout = 1;
    SNMPCommunity = "x";
    sSetStatusScanADStart = "Suche im Verzeichnis";
    ResetEngineOptions();
    EXPECT_EQ(DefaultTimeout, 300);
    EXPECT_EQ(SNMPCommunity, "public");
    EXPECT_EQ(sSetStatusScanADStart, "sSetStatusScanADStart");
}
