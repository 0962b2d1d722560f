#include "engine/uComputerCaption.h"
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "tests/support/ComputerBuilders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace {
class Captions : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetEngineOptions();
        sComputerCaptionStyle = "%s (%s)";
    }
    void TearDown() override { ResetEngineOptions(); }
};

TComputerCaptionStyle StyleByte(int Value)
{
    return static_cast<TComputerCaptionStyle>(Value);
}

} // namespace

TEST_F(Captions, EveryStyleWithNameAndIP)
{
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsNameIP), "PC1 (10.0.0.5)");
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsIPName), "10.0.0.5 (PC1)");
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsName), "PC1");
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsIP), "10.0.0.5");
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", StyleByte(7)), "PC1");
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", StyleByte(255)), "PC1");
}

TEST_F(Captions, EmptyNameGivesTheIPInEveryStyle)
{
    for (int style : {0, 1, 2, 3, 7}) {
        SCOPED_TRACE(style);
        EXPECT_EQ(GetComputerCaption("", "10.0.0.5", StyleByte(style)), "10.0.0.5");
    }
}

TEST_F(Captions, NameEqualToIPAppearsOnce)
{
    for (int style : {0, 1, 2, 3, 7}) {
        SCOPED_TRACE(style);
        EXPECT_EQ(GetComputerCaption("10.0.0.5", "10.0.0.5", StyleByte(style)), "10.0.0.5");
    }
}

TEST_F(Captions, EmptyIPGivesTheName)
{
    EXPECT_EQ(GetComputerCaption("PC1", "", ccsIP), "PC1");
    EXPECT_EQ(GetComputerCaption("PC1", "", ccsIPName), "PC1");
    EXPECT_EQ(GetComputerCaption("", "", ccsNameIP), "");
}

TEST_F(Captions, TheLanguageTextLaysOutBothStyles)
{
    sComputerCaptionStyle = "%s - %s";
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsNameIP), "PC1 - 10.0.0.5");
    // A translation may put the values in its own order.
    sComputerCaptionStyle = "%1:s [%0:s]";
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsNameIP), "10.0.0.5 [PC1]");
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsIPName), "PC1 [10.0.0.5]");
}

TEST_F(Captions, UntranslatedOrBrokenLanguageTextShowsTheKey)
{
    sComputerCaptionStyle = "sComputerCaptionStyle";
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsNameIP), "sComputerCaptionStyle");
    sComputerCaptionStyle = "%d (%s)";
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsIPName), "sComputerCaptionStyle");
    sComputerCaptionStyle = "%s (%s) %s";
    EXPECT_EQ(GetComputerCaption("PC1", "10.0.0.5", ccsIPName), "sComputerCaptionStyle");
}

TEST_F(Captions, FirstWord)
{
    EXPECT_EQ(GetCaptionFirstWord("10.0.0.5 (PC1)"), "10.0.0.5");
    EXPECT_EQ(GetCaptionFirstWord("PC1"), "PC1");
    EXPECT_EQ(GetCaptionFirstWord(""), "");
    EXPECT_EQ(GetCaptionFirstWord(" lead"), "");
    EXPECT_EQ(GetCaptionFirstWord("a\t b"), "a");   // trimmed up to the blank
    EXPECT_EQ(GetCaptionFirstWord("x\ty"), "x\ty"); // no blank: all of it, as it is
    auto c = MakeComputer("PC1", "10.0.0.5");
    EXPECT_EQ(c->GetCaption(ccsIPName), "10.0.0.5 (PC1)");
    EXPECT_EQ(c->GetCaptionFirstWord(ccsIPName), "10.0.0.5");
    EXPECT_EQ(c->GetCaptionFirstWord(ccsNameIP), "PC1");
}

TEST_F(Captions, SortsAddressesNumerically)
{
    auto a = MakeComputer("", "10.0.0.9");
    auto b = MakeComputer("", "10.0.0.10");
    EXPECT_LT(CompareComputers(*a, *b, ccsIP), 0);
    EXPECT_GT(CompareComputers(*b, *a, ccsIP), 0);
    EXPECT_EQ(CompareComputers(*a, *a, ccsIP), 0);
    // The IP comes first in the caption: still compared as addresses.
    auto c = MakeComputer("zeta", "10.0.0.9");
    auto d = MakeComputer("alpha", "10.0.0.10");
    EXPECT_LT(CompareComputers(*c, *d, ccsIPName), 0);
    // Above 2^31: unsigned order.
    auto e = MakeComputer("", "200.0.0.1");
    EXPECT_GT(CompareComputers(*e, *b, ccsIP), 0);
}

TEST_F(Captions, SortsNamesAsTextWithoutCase)
{
    auto a = MakeComputer("pc2", "10.0.0.1");
    auto b = MakeComputer("PC2", "10.0.0.2");
    EXPECT_EQ(CompareComputers(*a, *b, ccsName), 0);
    auto c = MakeComputer("pc10", "10.0.0.3");
    EXPECT_LT(CompareComputers(*c, *a, ccsName), 0); // text: "PC1" < "PC2"
    auto d = MakeComputer("abc", "10.0.0.4");
    auto e = MakeComputer("ABCD", "10.0.0.5");
    EXPECT_LT(CompareComputers(*d, *e, ccsName), 0);
    // Letters are compared as upper case: "_" sorts after every letter.
    auto f = MakeComputer("pc_", "10.0.0.6");
    auto g = MakeComputer("PCa", "10.0.0.7");
    EXPECT_GT(CompareComputers(*f, *g, ccsName), 0);
}

TEST_F(Captions, NameAgainstAddressComparesAsText)
{
    auto named = MakeComputer("pc1", "10.0.0.200");
    auto bare = MakeComputer("", "9.0.0.1");
    // "9.0.0.1" against "pc1": text order puts the digit first.
    EXPECT_LT(CompareComputers(*bare, *named, ccsName), 0);
    auto digitName = MakeComputer("9pc", "10.0.0.3");
    auto addr = MakeComputer("", "10.0.0.10");
    // "10.0.0.10" against "9pc": "1" < "9" as text.
    EXPECT_LT(CompareComputers(*addr, *digitName, ccsName), 0);
}

TEST_F(Captions, SortingAListGivesTheExpectedOrder)
{
    std::vector<std::unique_ptr<TComputer>> list;
    for (const char* ip : {"10.0.0.10", "10.0.0.9", "10.0.0.100", "10.0.0.1"})
        list.push_back(MakeComputer("", ip));
    std::stable_sort(list.begin(), list.end(), [](const auto& x, const auto& y) {
        return CompareComputers(*x, *y, ccsIPName) < 0;
    });
    std::vector<std::string> ips;
    for (const auto& c : list)
        ips.push_back(c->IP);
    EXPECT_EQ(ips, (std::vector<std::string>{"10.0.0.1", "10.0.0.9", "10.0.0.10", "10.0.0.100"}));
}
