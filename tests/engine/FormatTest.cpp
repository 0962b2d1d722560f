#include "engine/uFormat.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

TEST(Format, TextsAndIntegers)
{
    EXPECT_EQ(Format("Computer %s found", {"10.0.0.5"}), "Computer 10.0.0.5 found");
    EXPECT_EQ(Format("%s: %s", {"pc1", "timed out"}), "pc1: timed out");
    EXPECT_EQ(Format("%d names", {3}), "3 names");
    EXPECT_EQ(Format("%d", {-42}), "-42");
    EXPECT_EQ(Format("%d", {INT64_MIN}), "-9223372036854775808");
    EXPECT_EQ(Format("%u", {std::size_t{18446744073709551615u}}), "18446744073709551615");
    EXPECT_EQ(Format("%x", {255}), "FF");
    EXPECT_EQ(Format("%X|%S|%D", {171, "a", 7}), "AB|a|7");
    EXPECT_EQ(Format("100%%", {}), "100%");
    EXPECT_EQ(Format("%%s", {"unused"}), "%s");
}

TEST(Format, NegativeValuesAsUnsignedKeepTheirWidth)
{
    // A negative 32-bit value shows as its 32-bit pattern, a 64-bit one as 64 bits.
    EXPECT_EQ(Format("%u", {-1}), "4294967295");
    EXPECT_EQ(Format("%x", {-1}), "FFFFFFFF");
    EXPECT_EQ(Format("%x", {int64_t{-1}}), "FFFFFFFFFFFFFFFF");
    EXPECT_EQ(Format("%u", {uint32_t{4000000000u}}), "4000000000");
    EXPECT_EQ(Format("%d", {uint32_t{4000000000u}}), "4000000000");
}

TEST(Format, WidthPrecisionAndAlignment)
{
    EXPECT_EQ(Format("[%5s]", {"ab"}), "[   ab]");
    EXPECT_EQ(Format("[%-5s]", {"ab"}), "[ab   ]");
    EXPECT_EQ(Format("[%2s]", {"abcdef"}), "[abcdef]"); // width never cuts
    EXPECT_EQ(Format("[%.3s]", {"abcdef"}), "[abc]");
    EXPECT_EQ(Format("[%-6.2s]", {"abcdef"}), "[ab    ]");
    EXPECT_EQ(Format("%2.2x", {5}), "05");
    EXPECT_EQ(Format("%2.2x-%2.2x", {0xAB, 0x0C}), "AB-0C");
    EXPECT_EQ(Format("[%.4d]", {-5}), "[-0005]");
    EXPECT_EQ(Format("[%6.3d]", {7}), "[   007]");
    EXPECT_EQ(Format("[%-4d]", {7}), "[7   ]");
    EXPECT_EQ(Format("[%.0d]", {0}), "[0]");
}

TEST(Format, WidthAndPrecisionCountCharactersNotBytes)
{
    // "Zürich" is 7 bytes but 6 characters.
    EXPECT_EQ(Format("[%8s]", {"Zürich"}), "[  Zürich]");
    EXPECT_EQ(Format("[%.2s]", {"üöä"}), "[üö]");
    EXPECT_EQ(Format("[%.1s]", {"€x"}), "[€]"); // a 3-byte character is kept whole
}

TEST(Format, ArgumentIndexes)
{
    EXPECT_EQ(Format("%1:s %0:s", {"a", "b"}), "b a");
    // Placeholders after an indexed one continue after that argument.
    EXPECT_EQ(Format("%1:s %s", {"a", "b", "c"}), "b c");
    EXPECT_EQ(Format("%0:s%0:s", {"x"}), "xx");
    EXPECT_EQ(Format("%1:-4s|", {"a", "b"}), "b   |");
    EXPECT_EQ(Format("%1:5d|", {"a", 42}), "   42|");
}

TEST(Format, TextWithoutPlaceholdersIsUnchangedWhateverTheArguments)
{
    EXPECT_EQ(Format("sSetStatusScanComputerInactive", {"10.0.0.1"}),
              "sSetStatusScanComputerInactive");
    EXPECT_EQ(Format("plain", {1, "two", 3}), "plain");
    EXPECT_EQ(Format("", {"x"}), "");
    EXPECT_EQ(Format("only %s", {"one", "two", "three"}), "only one"); // extras ignored
}

TEST(Format, MisfitsRaise)
{
    const std::vector<const char*> Bad = {
        "%s %s",                  // too few arguments (one given below)
        "%d",                     // an integer placeholder given a text
        "%",                      // a lone percent sign at the end
        "abc %",                  //
        "%5:s",                   // index beyond the arguments
        "%*d",                    // star widths are not supported
        "%f",                     // floating point
        "%p",                     // pointer
        "% d",                    // blank is no type
        "%-5-s",                  // second "-"
        "%5-s",                   // "-" after the width
        "%.s",                    // dot without a precision
        "%-",                     // cut off
        "%1:",                    // cut off after the index
        "%99999999999999999999s", // width far beyond anything sensible
        "%5000s",                 // above the width limit
        "%.5000s",                // above the precision limit
        "%5000:s",                // index above the limit
    };
    for (const char* f : Bad) {
        SCOPED_TRACE(f);
        EXPECT_THROW(Format(f, {"text"}), EConvertError);
    }
    EXPECT_THROW(Format("%s", {5}), EConvertError); // a text placeholder given an integer
    EXPECT_THROW(Format("%x", {"ff"}), EConvertError);
    EXPECT_THROW(Format("%u", {}), EConvertError);
    try {
        Format("%d", {"x"});
        FAIL() << "no exception";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "Format '%d' invalid or incompatible with argument");
    }
}

TEST(Format, WidthAtTheLimitWorks)
{
    const std::string s = Format("%4096s", {"x"});
    EXPECT_EQ(s.size(), 4096u);
    EXPECT_EQ(s.back(), 'x');
}

TEST(Format, TryFormatReportsInsteadOfRaising)
{
    std::string r = "stale";
    EXPECT_FALSE(TryFormat("%d", std::vector<TFormatArg>{"x"}, r));
    EXPECT_EQ(r, "");
    EXPECT_TRUE(TryFormat("%d", std::vector<TFormatArg>{9}, r));
    EXPECT_EQ(r, "9");
}

TEST(FormatChecked, BadTranslationFallsBackToTheBuiltInText)
{
    const char* BuiltIn = "Host %s is not reachable";
    EXPECT_EQ(FormatChecked("Rechner %s antwortet nicht", BuiltIn, {"pc1"}),
              "Rechner pc1 antwortet nicht");
    EXPECT_EQ(FormatChecked("Rechner %d antwortet nicht", BuiltIn, {"pc1"}),
              "Host pc1 is not reachable");
    EXPECT_EQ(FormatChecked("%s %s %s", BuiltIn, {"pc1"}), "Host pc1 is not reachable");
    EXPECT_EQ(FormatChecked("50% fertig %s", BuiltIn, {"pc1"}), "Host pc1 is not reachable");
    EXPECT_EQ(FormatChecked("%5:s", BuiltIn, {"pc1"}), "Host pc1 is not reachable");
    EXPECT_EQ(FormatChecked("%999999999999s", BuiltIn, {"pc1"}), "Host pc1 is not reachable");
}

TEST(FormatChecked, WhenBothFailTheTranslatedTextStands)
{
    EXPECT_EQ(FormatChecked("Fehler %d", "Error %d", {"x"}), "Fehler %d");
    EXPECT_EQ(FormatChecked("%", "%", {}), "%");
}

TEST(FormatChecked, KeysWithoutPlaceholdersAndEmptyTranslations)
{
    // An untranslated message is its key, which has no placeholders.
    EXPECT_EQ(FormatChecked("sSetStatusScanNetworkComplete", "sSetStatusScanNetworkComplete", {12}),
              "sSetStatusScanNetworkComplete");
    // A key translated to nothing stays nothing (the log then shows no line).
    EXPECT_EQ(FormatChecked("", "sSetStatusScanNetworkStart", {}), "");
}

TEST(Format, ResultLengthIsBounded)
{
    // A translation repeating a wide placeholder: thousands of 4096-wide
    // copies of one short argument.
    std::string Repeated;
    for (int I = 0; I < 2000; ++I)
        Repeated += "%0:4096s";
    EXPECT_THROW(Format(Repeated, {"pc1"}), EConvertError);
    EXPECT_EQ(FormatChecked(Repeated, "Host %s is not reachable", {"pc1"}),
              "Host pc1 is not reachable");

    // Within the bound: a long argument shown once, or a short one shown a
    // few times with its full width.
    const std::string Long(300000, 'a');
    EXPECT_EQ(Format("[%s]", {Long}).size(), Long.size() + 2);
    EXPECT_EQ(Format("%0:4096s%0:4096s%0:4096s", {"x"}).size(), 3u * 4096u);
    // A long argument repeated is not.
    EXPECT_THROW(Format("%0:s%0:s", {Long}), EConvertError);

    // The bound holds for the whole result: placeholders that take all the
    // room the format's length gives, then as much text of the format's own
    // after them. Cases: how much text follows, whether the result may be
    // made.
    const struct {
        size_t Tail;
        bool Fits;
    } Tails[] = {{1, true}, {64, true}, {1000, false}, {4000, false}};
    const TFormatArg Seven[] = {7};
    for (const auto& T : Tails) {
        SCOPED_TRACE(T.Tail);
        std::string Fmt;
        for (int I = 0; I < 16; ++I)
            Fmt += "%0:4096d";
        Fmt += "%0:" + std::to_string(T.Tail) + "d" + std::string(T.Tail, 'x');
        std::string Result;
        EXPECT_EQ(TryFormat(Fmt, Seven, Result), T.Fits);
        EXPECT_LE(Result.size(), Fmt.size() + MaxFormatGrowth);
    }
}
