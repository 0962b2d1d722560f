#include "kelStrings.h"

#include "TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cinttypes>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <locale.h>
#include <random>
#include <sys/wait.h>

namespace {

std::u16string W(std::string_view Ascii)
{
    return std::u16string(Ascii.begin(), Ascii.end());
}

std::string Printf(const char* Format, auto... Args)
{
    char Buf[128];
    std::snprintf(Buf, sizeof(Buf), Format, Args...);
    return Buf;
}

// Values around every boundary a formatter can get wrong, then random ones
// of every magnitude.
std::vector<int64_t> Samples64()
{
    std::vector<int64_t> V = {
        0,         1,         -1,        9,         10,           -10,          INT32_MAX,
        INT32_MIN, INT64_MAX, INT64_MIN, 1LL << 32, 0xffffffffLL, -(1LL << 32), 999999999,
        1000000000};
    std::mt19937_64 Rng(12345);
    for (int I = 0; I < 3000; ++I)
        V.push_back(static_cast<int64_t>(Rng() >> (Rng() % 64)) * ((I & 1) ? -1 : 1));
    return V;
}

// A separator chosen for the test and forgotten afterwards.
struct SeparatorOverride {
    explicit SeparatorOverride(char16_t Sep) { OverrideDecimalSeparatorW(Sep); }
    ~SeparatorOverride() { OverrideDecimalSeparatorW(0); }
};

} // namespace

TEST(CrashlibStrings, DecimalMatchesPrintfIncludingTheMostNegativeValues)
{
    for (int64_t V : Samples64()) {
        const std::string Want64 = Printf("%" PRId64, V);
        ASSERT_EQ(Int64ToDecA(V), Want64);
        ASSERT_EQ(Int64ToDecW(V), W(Want64));
        const auto V32 = static_cast<int32_t>(V);
        const std::string Want32 = Printf("%d", V32);
        ASSERT_EQ(IntToDecA(V32), Want32);
        ASSERT_EQ(IntToDecW(V32), W(Want32));
        // Padding in both directions against printf's own field widths.
        for (int MinLen : {0, 1, 5, 12, 25, -7, -25}) {
            const int Width = MinLen < 0 ? -MinLen : MinLen;
            const char* Left = MinLen < 0 ? "-" : "";
            ASSERT_EQ(Int64ToStrPadA(V, MinLen, ' '),
                      Printf((std::string("%") + Left + "*" PRId64).c_str(), Width, V));
            ASSERT_EQ(IntToStrPadW(V32, MinLen, u' '),
                      W(Printf((std::string("%") + Left + "*d").c_str(), Width, V32)));
            if (MinLen >= 0) {
                // Zeros go behind the sign, as printf's "0" flag puts them.
                ASSERT_EQ(IntToStrPadA(V32, MinLen, '0'), Printf("%0*d", Width, V32));
                ASSERT_EQ(Int64ToStrPadW(V, MinLen, u'0'), W(Printf("%0*" PRId64, Width, V)));
            }
            const auto U32 = static_cast<uint32_t>(V);
            ASSERT_EQ(CardToStrPadA(U32, MinLen, ' '),
                      Printf((std::string("%") + Left + "*u").c_str(), Width, U32));
        }
    }
    EXPECT_EQ(IntToStrPad(-42, 6, '0'), "-00042");
    EXPECT_EQ(IntToStrPad(-42, 5, ' '), "  -42");
    EXPECT_EQ(IntToStrPad(-42, -5, ' '), "-42  ");
    EXPECT_EQ(IntToStrPad(-42, 0, '0'), "-42");
    // Never cut, and a fill other than a digit does not look for the sign.
    EXPECT_EQ(IntToStrPad(123456, 3, '0'), "123456");
    EXPECT_EQ(IntToStrPadA(-42, 5, '*'), "**-42");
    EXPECT_EQ(CardToStrPadW(4294967295u, 12, u'0'), u"004294967295");
    EXPECT_EQ(Int64ToStrPad(INT64_MIN, 21, '0'), "-09223372036854775808");
}

TEST(CrashlibStrings, HexMatchesPrintf)
{
    for (int64_t V : Samples64()) {
        const auto U32 = static_cast<uint32_t>(V);
        ASSERT_EQ(CardToHexA(U32), Printf("%x", U32));
        ASSERT_EQ(CardToHexW(U32), W(Printf("%x", U32)));
        ASSERT_EQ(Int64ToHexA(V), Printf("%" PRIx64, static_cast<uint64_t>(V)));
        ASSERT_EQ(Int64ToHexPadA(V, 16, '0'),
                  "$" + Printf("%016" PRIx64, static_cast<uint64_t>(V)));
        ASSERT_EQ(IntToHexPadW(static_cast<int32_t>(U32), -10, u' '),
                  W("$" + Printf("%-10x", U32)));
        // A blank fill goes in front of the "$", which the width does not count.
        const std::string Hex = Printf("%x", U32);
        ASSERT_EQ(CardToHexPadA(U32, 10, ' '), std::string(10 - Hex.size(), ' ') + "$" + Hex);
    }
}

TEST(CrashlibStrings, HexPaddingPlacesTheDollarSign)
{
    EXPECT_EQ(IntToHexPad(0x1f, 5, '0'), "$0001f");
    EXPECT_EQ(IntToHexPad(0x1f, 5, ' '), "   $1f");
    EXPECT_EQ(IntToHexPad(0x1f, -5, ' '), "$1f   ");
    EXPECT_EQ(IntToHexPad(0x1f, 0, ' '), "$1f");
    EXPECT_EQ(IntToHexPad(0x1f, 0, '0'), "$1f");
    // A hex letter as fill counts as a digit: it goes behind the "$".
    EXPECT_EQ(CardToHexPad(0x1f, 4, 'F'), "$FF1f");
    EXPECT_EQ(CardToHexPadW(0x1f, 4, u'a'), u"$aa1f");
    // A wide fill above 255 is no hex digit even when its low byte is one.
    EXPECT_EQ(CardToHexPadW(0x1f, 4, char16_t(0x130)), std::u16string(2, char16_t(0x130)) + u"$1f");
    EXPECT_EQ(IntToHexPad(-1, 1, '0'), "$ffffffff");
    EXPECT_EQ(Int64ToHexPad(INT64_MIN, 1, '0'), "$8000000000000000");
    EXPECT_EQ(Int64ToHexA(0x100000000LL), "100000000");
    EXPECT_EQ(Int64ToHexA(0), "0");
    EXPECT_EQ(CardToHexA(0), "0");
}

TEST(CrashlibStrings, PaddingStep)
{
    std::string S = "-7";
    PadStrA(S, 3, true, '0');
    EXPECT_EQ(S, "-0007");
    S = "-7";
    PadStrA(S, 3, true, '#');
    EXPECT_EQ(S, "###-7");
    S = "-7";
    PadStrA(S, 2, false, '0');
    EXPECT_EQ(S, "-700");
    S = "x";
    PadStrA(S, 0, true, '0');
    PadStrA(S, -5, true, '0');
    EXPECT_EQ(S, "x");
    std::u16string T = u"-";
    PadStrW(T, 1, true, u'9');
    EXPECT_EQ(T, u"-9");
    EXPECT_EQ(FillStrA("ab", 4, '.'), "..ab");
    EXPECT_EQ(FillStrW(u"ab", -4, u'.'), u"ab..");
    EXPECT_EQ(FillStrA("abcdef", -4, '.'), "abcdef");
}
