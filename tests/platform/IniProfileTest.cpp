#include "platform/IniProfile.h"

#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

using platform::IniProfile;

namespace {

struct Lookup {
    const char* Section;
    const char* Key;
    std::optional<std::string> Expected; // nothing: the key is missing
};

struct Vector {
    const char* Name;
    std::string File;
    std::vector<Lookup> Lookups;
};

void RunVectors(const std::vector<Vector>& Vectors)
{
    for (const Vector& V : Vectors) {
        IniProfile P = IniProfile::Parse(V.File);
        for (const Lookup& L : V.Lookups) {
            EXPECT_EQ(P.Value(L.Section, L.Key), L.Expected)
                << V.Name << ": [" << L.Section << "] " << L.Key;
        }
    }
}

} // namespace

TEST(IniProfileRules, NamesIgnoreCaseAndBlanks)
{
    RunVectors({
        {"key case",
         "[Translations]\nsError=Error\n",
         {{"Translations", "SERROR", "Error"}, {"translations", "serror", "Error"}}},
        {"section case and blanks inside brackets",
         "[  TRANSLATIONS ]\nk=v\n",
         {{"Translations", "k", "v"}}},
        {"blanks around key and value",
         "[S]\n   key   =   some value \t\n",
         {{"S", "key", "some value"}, {"S", " key ", "some value"}}},
        {"indented section line", "  [S]  \nk=v\n", {{"S", "k", "v"}}},
        {"text after the closing bracket", "[S] trailing\nk=v\n", {{"S", "k", "v"}}},
        {"non-ASCII bytes compare exactly",
         "[S]\n\xC3\x84rger=x\n",
         {{"S", "\xC3\x84rger", "x"}, {"S", "\xC3\xA4rger", std::nullopt}}},
    });
}

TEST(IniProfileRules, QuotesAndValues)
{
    RunVectors({
        {"double quotes removed", "[S]\nk=\"  padded  \"\n", {{"S", "k", "  padded  "}}},
        {"single quotes removed", "[S]\nk='x'\n", {{"S", "k", "x"}}},
        {"only one pair", "[S]\nk=\"\"x\"\"\n", {{"S", "k", "\"x\""}}},
        {"mismatched quotes stay", "[S]\nk=\"x'\n", {{"S", "k", "\"x'"}}},
        {"a lone quote stays", "[S]\nk=\"\n", {{"S", "k", "\""}}},
        {"inner quotes stay", "[S]\nk=say \"hi\" now\n", {{"S", "k", "say \"hi\" now"}}},
        {"empty value is a value", "[S]\nk=\n", {{"S", "k", ""}}},
        {"second = belongs to the value", "[S]\nk=a=b\n", {{"S", "k", "a=b"}}},
        {"semicolon inside a value is no comment", "[S]\nk=a ; b\n", {{"S", "k", "a ; b"}}},
        {"placeholders pass",
         "[S]\nk=%s (Error code: %x).\n",
         {{"S", "k", "%s (Error code: %x)."}}},
    });
}

TEST(IniProfileRules, WhatIsNoKey)
{
    RunVectors({
        {"comment line",
         "[S]\n;k=v\n  ; j=w\n",
         {{"S", ";k", std::nullopt}, {"S", "j", std::nullopt}}},
        {"line without =", "[S]\nword\n", {{"S", "word", std::nullopt}}},
        {"key before any section", "k=v\n[S]\n", {{"S", "k", std::nullopt}}},
        {"nameless key", "[S]\n=v\nk=w\n", {{"S", "", std::nullopt}, {"S", "k", "w"}}},
        {"other section",
         "[A]\nk=1\n[B]\nj=2\n",
         {{"A", "j", std::nullopt}, {"B", "k", std::nullopt}, {"B", "j", "2"}}},
        {"missing section", "[A]\nk=1\n", {{"Translations", "k", std::nullopt}}},
    });
}

TEST(IniProfileRules, FirstOfDuplicatesWins)
{
    RunVectors({
        {"duplicate key", "[S]\nk=first\nK=second\n", {{"S", "k", "first"}}},
        {"section given twice is one section",
         "[S]\nk=first\n[T]\n[s]\nk=second\nj=later\n",
         {{"S", "k", "first"}, {"S", "j", "later"}}},
    });
}

TEST(IniProfileRules, LineEndingsAndByteOrderMark)
{
    RunVectors({
        {"CR LF", "[S]\r\nk=v\r\nj=w\r\n", {{"S", "k", "v"}, {"S", "j", "w"}}},
        {"lone CR", "[S]\rk=v\rj=w", {{"S", "k", "v"}, {"S", "j", "w"}}},
        {"no final line break", "[S]\nk=v", {{"S", "k", "v"}}},
        {"UTF-8 mark before the first section", "\xEF\xBB\xBF[S]\nk=v\n", {{"S", "k", "v"}}},
    });
}

TEST(IniProfile, LongValuesAndManyKeysHaveNoLimit)
{
    std::string Long(100000, 'x');
    std::string File = "[S]\nlong=" + Long + "\n";
    for (int I = 0; I < 5000; ++I) {
        File += "key_with_a_fairly_long_name_" + std::to_string(I) + "=" + std::to_string(I) + "\n";
    }
    IniProfile P = IniProfile::Parse(File);
    EXPECT_EQ(P.Value("S", "long"), Long);
    std::vector<std::string> Keys = P.SectionKeys("S");
    ASSERT_EQ(Keys.size(), 5001u); // far beyond a 32 KB key list
    EXPECT_EQ(Keys.back(), "key_with_a_fairly_long_name_4999");
    EXPECT_EQ(P.Value("S", "KEY_WITH_A_FAIRLY_LONG_NAME_4999"), "4999");
}

TEST(IniProfile, SectionKeysInFileOrderOnceWithFirstSpelling)
{
    IniProfile P = IniProfile::Parse("[S]\nb=1\na=2\n;c=3\nnot a key\nB=4\n[s]\nd=5\n");
    EXPECT_EQ(P.SectionKeys("S"), (std::vector<std::string>{"b", "a", "d"}));
    EXPECT_TRUE(P.SectionKeys("missing").empty());
    EXPECT_EQ(P.SectionNames(), (std::vector<std::string>{"S"}));
    EXPECT_EQ(P.ReadString("S", "zz", "fallback"), "fallback");
    EXPECT_EQ(P.ReadString("S", "a", "fallback"), "2");
}

TEST(IniProfile, MissingFileIsEmpty)
{
    IniProfile P = IniProfile::Load("/nonexistent/folder/file.lng");
    EXPECT_TRUE(P.SectionNames().empty());
    EXPECT_EQ(P.Value("S", "k"), std::nullopt);
}

TEST(IniProfile, ANamedPipeOrDeviceReadsAsAnEmptyProfileWithoutWaiting)
{
    TempFolder Dir;
    const std::string Fifo = Dir.Path("english.lng");
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    for (const std::string& File : {Fifo, std::string("/dev/zero")}) {
        EXPECT_EQ(AnswerWithin(
                      std::chrono::seconds(5),
                      [&] { return std::to_string(IniProfile::Load(File).SectionNames().size()); }),
                  "0")
            << File;
    }
    TempFolder::Write(Dir.Path("real.lng"), "\xEF\xBB\xBF[S]\r\nk=v\r\n");
    EXPECT_EQ(IniProfile::Load(Dir.Path("real.lng")).ReadString("S", "k", ""), "v");
}
