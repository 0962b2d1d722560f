#include "engine/uEngineOptions.h"

#include <gtest/gtest.h>

#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <variant>

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
    ASSERT_EQ(m.size(), 18u);
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
    EXPECT_EQ(s.sSetStatusScanNeighbourTableBound, "text 12 %s");
    EXPECT_EQ(s.sSetStatusScanCheckUnavailable, "text 13 %s");
    EXPECT_EQ(s.sSetStatusScanNetBiosNoMac, "text 14 %s");
    EXPECT_EQ(s.sSetStatusScanNetBiosNeighbourMac, "text 15 %s");
    EXPECT_EQ(s.sSetStatusScanNetworkFailed, "text 16 %s");
    EXPECT_EQ(s.sSetStatusScanADFailed, "text 17 %s");
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

namespace {

// An option's value as a number or a text, whatever the global's type.
using TValue = std::variant<long long, std::string>;

template <class T> TValue AsValue(const T& V)
{
    if constexpr (std::is_same_v<T, std::string>)
        return V;
    else if constexpr (std::is_integral_v<T>)
        return static_cast<long long>(V);
    else
        return std::string("(a list: no engine option is one)");
}

TValue GlobalValue(const TOption& O)
{
    return std::visit([](auto* Global) { return AsValue(*Global); }, O.Variable);
}

TValue FieldValue(const TEngineSettings& S, const TEngineField& Field)
{
    return std::visit([&](auto F) { return AsValue(S.*F); }, Field);
}

// Sets the global to a value other than its current one, inside its range.
void ChangeGlobal(const TOption& O)
{
    std::visit(
        [&](auto* Global) {
            using T = std::remove_pointer_t<decltype(Global)>;
            if constexpr (std::is_same_v<T, std::string>)
                *Global += " changed";
            else if constexpr (std::is_same_v<T, bool>)
                *Global = !*Global;
            else if constexpr (std::is_integral_v<T>)
                *Global = static_cast<T>(*Global == O.Max ? O.Min : O.Max);
        },
        O.Variable);
}

} // namespace

TEST_F(EngineOptions, EachRowCarriesItsOwnGlobalIntoItsOwnFieldOfTheSnapshot)
{
    const auto Rows = ::EngineOptions();
    ASSERT_EQ(Rows.size(), 11u);
    for (const TEngineOption& Changed : Rows) {
        ResetEngineOptions();
        const TValue Before = GlobalValue(Changed.Option);
        ChangeGlobal(Changed.Option);
        ASSERT_NE(GlobalValue(Changed.Option), Before) << Changed.Option.Key;
        const TEngineSettings S = TakeEngineSettings();
        const TEngineSettings BuiltIn{};
        for (const TEngineOption& R : Rows) {
            EXPECT_EQ(FieldValue(S, R.Field), GlobalValue(R.Option))
                << R.Option.Key << " after changing " << Changed.Option.Key;
            // Only the changed option differs from the built-in default.
            EXPECT_EQ(FieldValue(S, R.Field) != FieldValue(BuiltIn, R.Field), &R == &Changed)
                << R.Option.Key << " after changing " << Changed.Option.Key;
        }
    }
}

TEST_F(EngineOptions, RowsDeclareTheDefaultsAndBoundsTheEngineHasAlwaysHad)
{
    const TEngineSettings BuiltIn{};
    for (const TEngineOption& R : ::EngineOptions()) {
        // The globals after a reset, the built-in snapshot and the row agree.
        EXPECT_EQ(GlobalValue(R.Option), FieldValue(BuiltIn, R.Field)) << R.Option.Key;
        if (std::holds_alternative<long long>(GlobalValue(R.Option))) {
            EXPECT_EQ(std::get<long long>(GlobalValue(R.Option)), R.Option.Default) << R.Option.Key;
        }
    }
    const TOption& Threads = EngineOption("iMaxThreads");
    EXPECT_EQ(Threads.Variable, TOptionVariable(&iMaxThreads));
    EXPECT_EQ(Threads.Min, 1);
    EXPECT_EQ(Threads.Max, 250);
    EXPECT_EQ(EngineOption("DefaultCheckState").Min, -1);
    EXPECT_EQ(EngineOption("DefaultCheckState").Max, 1);
    EXPECT_EQ(EngineOption("DefaultTCPPort").Min, 1);
    EXPECT_EQ(EngineOption("DefaultTCPPort").Max, 65535);
    EXPECT_EQ(EngineOption("ComputerCaptionStyle").Max, 3);
    EXPECT_STREQ(EngineOption("SNMPCommunity").DefaultText, "public");
    EXPECT_THROW(EngineOption("iMaxThread"), std::out_of_range);
}

TEST_F(EngineOptions, EachMessageRowCarriesItsOwnText)
{
    for (const TEngineMessage& M : EngineMessages())
        *M.Text = std::string("text of ") + M.Key;
    const TEngineSettings S = TakeEngineSettings();
    const TEngineSettings BuiltIn{};
    for (const TEngineMessage& M : EngineMessages()) {
        EXPECT_EQ(S.*M.Field, std::string("text of ") + M.Key);
        EXPECT_EQ(BuiltIn.*M.Field, M.Key);
    }
}
