#include "crashlib/kelStrings.h"

#include "tests/support/TempFolder.h"

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
#include <unistd.h>

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

TEST(CrashlibStrings, SizeTexts)
{
    SeparatorOverride Comma(u',');
    EXPECT_EQ(SizeToStrW(0), u"0 Bytes");
    EXPECT_EQ(SizeToStrW(1023), u"1023 Bytes");
    EXPECT_EQ(SizeToStrW(-1023), u"1023 Bytes");
    EXPECT_EQ(SizeToStrW(1024), u"1,00 KB");
    EXPECT_EQ(SizeToStrW(1536), u"1,50 KB");
    EXPECT_EQ(SizeToStrW(-1536), u"1,50 KB");
    EXPECT_EQ(SizeToStrW(1048575), u"1023,99 KB");
    EXPECT_EQ(SizeToStrW(1048576), u"1,00 MB");
    EXPECT_EQ(SizeToStrW(1073741823), u"1023,99 MB");
    EXPECT_EQ(SizeToStrW(1073741824), u"1,00 GB");
    EXPECT_EQ(SizeToStrW(5LL * 1073741824 + 1073741824 / 4), u"5,25 GB");
    // The largest counts of either sign: no overflow on the way.
    EXPECT_EQ(SizeToStrW(INT64_MAX), u"8589934591,99 GB");
    EXPECT_EQ(SizeToStrW(INT64_MIN), u"8589934592,00 GB");
    OverrideDecimalSeparatorW(u'.');
    EXPECT_EQ(SizeToStrW(1536), u"1.50 KB");
}

TEST(CrashlibStrings, DecimalSeparatorComesFromTheThreadLocale)
{
    OverrideDecimalSeparatorW(0);
    locale_t C = newlocale(LC_ALL_MASK, "C", nullptr);
    ASSERT_NE(C, nullptr);
    locale_t Previous = uselocale(C);
    EXPECT_EQ(GetDecimalSeparatorW(), u'.');
    uselocale(Previous);
    freelocale(C);

    // A locale with a comma, compiled for the test when the tools are there.
    TempFolder Dir;
    const std::string Cmd =
        "localedef -i de_DE -f UTF-8 '" + Dir.Path("de_DE.UTF-8") + "' >/dev/null 2>&1";
    if (std::system(Cmd.c_str()) != 0) {
        OverrideDecimalSeparatorW(0);
        GTEST_SKIP() << "localedef cannot build de_DE here";
    }
    // In a child process: glibc keeps (and leak checkers report) what it
    // allocates for a locale loaded from LOCPATH.
    std::fflush(nullptr);
    const pid_t Child = fork();
    ASSERT_GE(Child, 0);
    if (Child == 0) {
        setenv("LOCPATH", Dir.Path().c_str(), 1);
        locale_t De = newlocale(LC_ALL_MASK, "de_DE.UTF-8", nullptr);
        if (De == nullptr)
            _exit(2);
        uselocale(De);
        int Faults = 0;
        // Still cached from the first call...
        Faults += GetDecimalSeparatorW() != u'.';
        // ...and read again once forgotten.
        OverrideDecimalSeparatorW(0);
        Faults += GetDecimalSeparatorW() != u',';
        Faults += SizeToStrW(1024) != u"1,00 KB";
        _exit(Faults == 0 ? 0 : 1);
    }
    int Status = 0;
    ASSERT_EQ(waitpid(Child, &Status, 0), Child);
    ASSERT_TRUE(WIFEXITED(Status));
    EXPECT_EQ(WEXITSTATUS(Status), 0) << "2: the locale did not load, 1: wrong separator";
    OverrideDecimalSeparatorW(0);
}

TEST(CrashlibStrings, DigitsToIntStopsAtNonDigitsAndRefusesOverflow)
{
    EXPECT_EQ(DigitsToIntA(false, "12345"), 12345);
    EXPECT_EQ(DigitsToIntA(false, "-12345"), -12345);
    EXPECT_EQ(DigitsToIntA(true, "1F"), 31);
    EXPECT_EQ(DigitsToIntW(true, u"-aB"), -171);
    EXPECT_EQ(DigitsToIntA(false, "0042"), 42);
    // Stops at the first character that is no digit of the base.
    EXPECT_EQ(DigitsToIntA(false, "12a4"), 12);
    EXPECT_EQ(DigitsToIntA(true, "12g4"), 0x12);
    EXPECT_EQ(DigitsToIntW(false, u"7\u0661"), 7);
    EXPECT_EQ(DigitsToIntA(false, "1-2"), 1);
    // No digit at all.
    EXPECT_EQ(DigitsToIntA(false, ""), std::nullopt);
    EXPECT_EQ(DigitsToIntA(false, "-"), std::nullopt);
    EXPECT_EQ(DigitsToIntA(false, "x1"), std::nullopt);
    EXPECT_EQ(DigitsToIntA(false, "--1"), std::nullopt);
    // Limits of int64_t exactly.
    EXPECT_EQ(DigitsToIntA(false, "9223372036854775807"), INT64_MAX);
    EXPECT_EQ(DigitsToIntA(false, "9223372036854775808"), std::nullopt);
    EXPECT_EQ(DigitsToIntA(false, "-9223372036854775808"), INT64_MIN);
    EXPECT_EQ(DigitsToIntA(false, "-9223372036854775809"), std::nullopt);
    EXPECT_EQ(DigitsToIntA(false, "99999999999999999999999"), std::nullopt);
    EXPECT_EQ(DigitsToIntA(true, "ffffffffffffffff"), -1);
    EXPECT_EQ(DigitsToIntA(true, "10000000000000000"), std::nullopt);
    EXPECT_EQ(DigitsToIntA(true, "-8000000000000000"), INT64_MIN);
    EXPECT_EQ(DigitsToIntA(true, "-8000000000000001"), std::nullopt);
    // What the formatters write reads back.
    for (int64_t V : Samples64()) {
        ASSERT_EQ(DigitsToIntA(false, Int64ToDecA(V)), V);
        ASSERT_EQ(DigitsToIntW(false, Int64ToDecW(V) + u" rest"), V);
        ASSERT_EQ(DigitsToIntA(true, Int64ToHexA(V)), V);
    }
}

TEST(CrashlibStrings, CaseMappingKeepsUtf8Intact)
{
    // "A" forms: ASCII letters only; the bytes of ä, ö, ü, é stay as they are.
    const std::string Mixed = "ab\xc3\xa4\xc3\xb6\xc3\xbc z\xc3\xa9\xe2\x82\xac";
    EXPECT_EQ(UpStrA(Mixed), "AB\xc3\xa4\xc3\xb6\xc3\xbc Z\xc3\xa9\xe2\x82\xac");
    for (int C = 0; C < 256; ++C) {
        const char Ch = static_cast<char>(C);
        ASSERT_EQ(UpCharA(Ch), (C >= 'a' && C <= 'z') ? static_cast<char>(C - 32) : Ch);
    }
    // "W" forms: a..z and ä, ö, ü by code point, nothing else.
    EXPECT_EQ(UpStrW(u"abz\u00e4\u00f6\u00fc\u00e9\u00df\u0430\u00ff"),
              u"ABZ\u00c4\u00d6\u00dc\u00e9\u00df\u0430\u00ff");
    EXPECT_EQ(LoStrW(u"ABZ\u00c4\u00d6\u00dc\u00c9\u0410"), u"abz\u00e4\u00f6\u00fc\u00c9\u0410");
    EXPECT_EQ(UpCharW(char16_t(0x161)), char16_t(0x161)); // low byte 'a'
    EXPECT_EQ(UpCharW(char16_t(0x1e4)), char16_t(0x1e4)); // low byte of ä
    int Mapped = 0;
    for (unsigned C = 0; C < 0x10000; ++C)
        Mapped += UpCharW(static_cast<char16_t>(C)) != C;
    EXPECT_EQ(Mapped, 26 + 3);

    EXPECT_TRUE(IsTextEqualA("Hello World", "hELLO wORLD"));
    EXPECT_FALSE(IsTextEqualA("\xc3\xa4", "\xc3\x84")); // no Latin-1 mapping in UTF-8
    EXPECT_FALSE(IsTextEqualA("abc", "abcd"));
    EXPECT_TRUE(IsTextEqualW(u"Gr\u00fc\u00dfe", u"GR\u00dc\u00dfE"));
    EXPECT_FALSE(IsTextEqualW(u"\u00e9", u"\u00c9"));
    EXPECT_EQ(CompareTextW(u"abc", u"ABC"), 0);
    EXPECT_EQ(CompareTextW(u"abd", u"ABC"), 1);
    EXPECT_EQ(CompareTextW(u"a", u"b"), -1);
    EXPECT_EQ(CompareTextW(u"ab", u"ABCD"), -2);
    EXPECT_EQ(CompareTextW(u"abcd", u"AB"), 2);
    EXPECT_EQ(CompareTextW(u"\u00e4x", u"\u00c4"), 1);
}

TEST(CrashlibStrings, Trimming)
{
    std::string S = std::string("\x01\t\n\r ", 5) + std::string(1, '\0') + "a b\xc3\xa4 \x20\x1f";
    TrimStrA(S);
    EXPECT_EQ(S, "a b\xc3\xa4");
    S = " \t ";
    TrimStrA(S);
    EXPECT_EQ(S, "");
    std::u16string T = u"\u00a0 x \u3000";
    TrimStrW(T);
    EXPECT_EQ(T, u"\u00a0 x \u3000"); // only 0..32 count as blanks
    T = u"\u0020\u0009y\u0021";
    TrimStrW(T);
    EXPECT_EQ(T, u"y!");
    EXPECT_EQ(RetTrimA("  q  "), "q");
    EXPECT_EQ(RetTrimW(u"  q\n"), u"q");
    EXPECT_EQ(RetTrimW(u""), u"");
}

namespace {

// The replacement as a plain splice loop: the meaning the fast routine must
// keep, for inputs where this loop ends.
template <class C>
std::basic_string<C> SpliceReplace(std::basic_string<C> S, std::basic_string_view<C> Search,
                                   std::basic_string_view<C> Rep, bool IgnoreCase, bool ReScan)
{
    const size_t M = Search.size();
    auto Find = [&](size_t From) -> size_t {
        for (size_t I = From; I + M <= S.size(); ++I) {
            bool Hit = true;
            for (size_t K = 0; K < M && Hit; ++K) {
                C A = S[I + K], B = Search[K];
                Hit = A == B || (IgnoreCase && std::tolower(A) == std::tolower(B));
            }
            if (Hit)
                return I;
        }
        return std::basic_string<C>::npos;
    };
    for (size_t P = Find(0); P != std::basic_string<C>::npos;) {
        S.replace(P, M, Rep);
        P = Find(ReScan ? P + (Rep.size() > M ? 1 : 0) : P + Rep.size());
    }
    return S;
}

} // namespace

TEST(CrashlibStrings, ReplaceMatchesTheSpliceLoop)
{
    std::mt19937 Rng(7);
    auto Text = [&](size_t MaxLen, const char* Alphabet) {
        std::string S(Rng() % (MaxLen + 1), ' ');
        for (char& C : S)
            C = Alphabet[Rng() % std::strlen(Alphabet)];
        return S;
    };
    int Checked = 0;
    for (int I = 0; I < 20000; ++I) {
        const std::string S = Text(30, "abAB"), Search = Text(3, "abAB"), Rep = Text(4, "abAB");
        if (Search.empty())
            continue;
        const bool IgnoreCase = Rng() & 1, ReScan = Rng() & 1;
        // Skip pairs whose replacement holds the search text where it is
        // searched again: the splice loop would not end on them.
        if (ReScan) {
            std::string R = Rep, Q = Search;
            if (IgnoreCase) {
                R = UpStrA(R);
                Q = UpStrA(Q);
            }
            if (R.find(Q, Rep.size() > Search.size() ? 1 : 0) != std::string::npos)
                continue;
        }
        std::string Got = S;
        ReplaceStrExA(Got, Search, Rep, IgnoreCase, ReScan);
        ASSERT_EQ(Got, SpliceReplace<char>(S, Search, Rep, IgnoreCase, ReScan))
            << "'" << S << "' '" << Search << "' -> '" << Rep << "' case " << !IgnoreCase
            << " rescan " << ReScan;
        std::u16string GotW = W(S);
        ReplaceStrExW(GotW, W(Search), W(Rep), IgnoreCase, ReScan);
        ASSERT_EQ(GotW, W(Got));
        ++Checked;
    }
    EXPECT_GT(Checked, 10000);
}

TEST(CrashlibStrings, ReplaceEdgeCases)
{
    std::string S = "abc";
    ReplaceStrA(S, "", "x");
    ReplaceStrA(S, "", "x", true);
    EXPECT_EQ(S, "abc");
    S = "aaaa";
    ReplaceStrA(S, "aa", "a");
    EXPECT_EQ(S, "aa");
    S = "a    b      c";
    ReplaceStrA(S, "  ", " ", true);
    EXPECT_EQ(S, "a b c");
    S = "Hello HELLO hello";
    ReplaceTextA(S, "hello", "bye");
    EXPECT_EQ(S, "bye bye bye");
    S = "x";
    ReplaceStrA(S, "xyz", "q");
    EXPECT_EQ(S, "x");
    // Replacements that hold the search text end, with or without re-scan.
    S = "aXa";
    ReplaceStrA(S, "a", "ba", true);
    EXPECT_EQ(S, "baXba");
    S = "aa";
    ReplaceStrA(S, "a", "a", true);
    EXPECT_EQ(S, "aa");
    S = "ab";
    ReplaceTextA(S, "A", "aa", true);
    EXPECT_EQ(S, "aab");
    std::u16string T = u"\u00e4-\u00c4-a";
    ReplaceTextW(T, u"\u00c4", u"ae");
    EXPECT_EQ(T, u"ae-ae-a");
    T = u"one, two,, three";
    DeleteSubStrW(T, u", ");
    EXPECT_EQ(T, u"onetwo,three");
    T = u"abab";
    DeleteSubStrW(T, u"");
    EXPECT_EQ(T, u"abab");
    T = u"aabb";
    DeleteSubStrW(T, u"ab"); // one pass: what the removal joins stays
    EXPECT_EQ(T, u"ab");
    T = u"a.b.c";
    EXPECT_TRUE(DeleteCharW(T, u'.'));
    EXPECT_EQ(T, u"abc");
    EXPECT_FALSE(DeleteCharW(T, u'.'));
    T = u"a1b2\u0131c3";
    DeleteCharSetW(T, MakeCharSet("0123456789"));
    EXPECT_EQ(T, u"ab\u0131c");
    T = u"\u0141x"; // low byte 'A' is in the set, the character is not
    DeleteCharSetW(T, MakeCharSet("A"));
    EXPECT_EQ(T, u"\u0141x");
}

TEST(CrashlibStrings, PiecesClampTheirPositions)
{
    EXPECT_EQ(CopyDeleteA("abcdef", 2, 3), "aef");
    EXPECT_EQ(CopyDeleteA("abcdef", 5, 100), "abcd");
    EXPECT_EQ(CopyDeleteA("abcdef", 7, 1), "abcdef");
    EXPECT_EQ(CopyDeleteA("abcdef", 0, 2), "cdef");
    EXPECT_EQ(CopyDeleteA("abcdef", INT_MIN, INT_MAX), "");
    EXPECT_EQ(CopyDeleteW(u"abcdef", 3, -1), u"abcdef");
    EXPECT_EQ(CopyDeleteW(u"abcdef", INT_MAX, INT_MAX), u"abcdef");
    std::string S = "abcdef";
    CopyInPlaceA(S, 2, 3);
    EXPECT_EQ(S, "bcd");
    S = "abcdef";
    CopyInPlaceA(S, 4, INT_MAX);
    EXPECT_EQ(S, "def");
    S = "abcdef";
    CopyInPlaceA(S, 10, 2);
    EXPECT_EQ(S, "");
    std::u16string T = u"abcdef";
    CopyInPlaceW(T, -3, 2);
    EXPECT_EQ(T, u"ab");
    EXPECT_EQ(RightStrW(u"abcdef", 2), u"ef");
    EXPECT_EQ(RightStrW(u"abc", 10), u"abc");
    EXPECT_EQ(RightStrW(u"abc", 0), u"");
    EXPECT_EQ(RightStrW(u"abc", -2), u"");
}

TEST(CrashlibStrings, SearchMatchesBruteForceInBothDirections)
{
    std::mt19937 Rng(99);
    for (int I = 0; I < 20000; ++I) {
        std::string Text(Rng() % 12, 'a'), Sub(Rng() % 4, 'a');
        for (char& C : Text)
            C = "abAB"[Rng() % 4];
        for (char& C : Sub)
            C = "abAB"[Rng() % 4];
        const int Len = static_cast<int>(Text.size());
        const int From = static_cast<int>(Rng() % (Len + 5)) - 2;
        const int To = static_cast<int>(Rng() % (Len + 5)) - 2;
        for (bool IgnoreCase : {false, true}) {
            // Every start between From and To (clamped), in scan order.
            int Want = -1;
            const int Step = To >= From ? 1 : -1;
            for (int P = From;; P += Step) {
                if (P >= 0 && !Sub.empty() && P + Sub.size() <= Text.size()) {
                    std::string Piece = Text.substr(P, Sub.size());
                    if (IgnoreCase ? UpStrA(Piece) == UpStrA(Sub) : Piece == Sub) {
                        Want = P;
                        break;
                    }
                }
                if (P == To)
                    break;
            }
            ASSERT_EQ(PosExCoreA(Sub, Text, From, To, IgnoreCase), Want)
                << Sub << " in " << Text << " " << From << ".." << To;
            ASSERT_EQ(PosExCoreW(W(Sub), W(Text), From, To, IgnoreCase), Want);
            const int Pos = IgnoreCase ? PosTextW(W(Sub), W(Text), From + 1, To + 1)
                                       : PosStrA(Sub, Text, From + 1, To + 1);
            ASSERT_EQ(Pos, Want + 1);
        }
    }
    EXPECT_EQ(PosStrW(u"ab", u"xabyab"), 2);
    EXPECT_EQ(PosStrW(u"ab", u"xabyab", INT_MAX, 1), 5);
    EXPECT_EQ(PosStrW(u"ab", u"xabyab", 4, 1), 2);
    EXPECT_EQ(PosStrW(u"ab", u"xabyab", 3), 5);
    EXPECT_EQ(PosStrW(u"", u"abc"), 0);
    EXPECT_EQ(PosStrA("abcd", "abc"), 0);
    EXPECT_EQ(PosTextA("ABC", "xxabc"), 3);
    EXPECT_EQ(PosStrA("b", "abc", INT_MIN, INT_MIN), 0);
    EXPECT_EQ(PosStrA("c", "abc", INT_MIN, INT_MAX), 3);
    EXPECT_EQ(PosStrA("a", "abc", INT_MAX, INT_MIN), 1);
    EXPECT_EQ(PosExCoreA("a", "abc", 1, 2, false), -1);
}

TEST(CrashlibStrings, PrefixesAndCharacterSets)
{
    EXPECT_TRUE(BeginsWithStrA("abc", ""));
    EXPECT_TRUE(BeginsWithStrA("abc", "ab"));
    EXPECT_FALSE(BeginsWithStrA("ab", "abc"));
    EXPECT_FALSE(BeginsWithStrW(u"abc", u"AB"));
    EXPECT_TRUE(BeginsWithTextW(u"\u00c4bc", u"\u00e4B"));
    EXPECT_TRUE(BeginsWithTextW(u"", u""));
    EXPECT_FALSE(BeginsWithTextW(u"", u"a"));

    const TKelCharSet Digits = MakeCharSet("0123456789");
    EXPECT_EQ(PosCharSetA(Digits, "ab3d5"), 3);
    EXPECT_EQ(PosCharSetA(Digits, "ab3d5", 4), 5);
    EXPECT_EQ(PosCharSetA(Digits, "ab3d5", 1, 2), 0);
    EXPECT_EQ(PosCharSetA(Digits, "ab3d5", 5, 1), 0);     // searches forwards only
    EXPECT_EQ(PosCharSetW(Digits, u"\u0131\u0132x7"), 4); // low bytes '1', '2'
    EXPECT_EQ(PosCharSetW(Digits, u"7", -5, 100), 1);
    EXPECT_EQ(PosNotInCharSetW(Digits, u"12a45b"), 3);
    EXPECT_EQ(PosNotInCharSetW(Digits, u"12a45b", 5, 1), 3);
    EXPECT_EQ(PosNotInCharSetW(Digits, u"12a45b", INT_MAX, 1), 6);
    EXPECT_EQ(PosNotInCharSetW(Digits, u"123", 1, 3), 0);
    EXPECT_EQ(PosNotInCharSetW(Digits, u"1\u0131", 1, 3), 2);
}

TEST(CrashlibStrings, DelimitedLists)
{
    EXPECT_EQ(SubStrCountW(u"", u';'), 0);
    EXPECT_EQ(SubStrCountW(u"a", u';'), 1);
    EXPECT_EQ(SubStrCountW(u"a;;b", u';'), 3);
    EXPECT_EQ(SubStrCountA(";", ';'), 2);
    EXPECT_EQ(SubStrW(u"a;;b", 1, u';'), u"a");
    EXPECT_EQ(SubStrW(u"a;;b", 2, u';'), u"");
    EXPECT_EQ(SubStrW(u"a;;b", 3, u';'), u"b");
    EXPECT_EQ(SubStrW(u"a;;b", 4, u';'), u"");
    EXPECT_EQ(SubStrA("a,b", 0, ','), "");
    EXPECT_EQ(SubStrA("a,b", -1, ','), "");
    EXPECT_EQ(SubStrA("x,yz,", 2, ','), "yz");
    EXPECT_TRUE(ListContainsStrW(u"ab;cd;ef", u"cd", u';'));
    EXPECT_FALSE(ListContainsStrW(u"ab;cd;ef", u"CD", u';'));
    EXPECT_FALSE(ListContainsStrW(u"ab;cd;ef", u"c", u';'));
    EXPECT_TRUE(ListContainsTextW(u"ab;cd;ef", u"CD", u';'));
    EXPECT_TRUE(ListContainsTextW(u"ab;cd;ef", u"EF", u';'));
    EXPECT_TRUE(ListContainsStrW(u"a;;b", u"", u';'));
    EXPECT_FALSE(ListContainsStrW(u"", u"", u';'));

    std::u16string L = u" a ; ;b ;";
    TrimListW(L, u';');
    EXPECT_EQ(L, u"a;b");
    L = u";;, ,\t;";
    TrimListW(L, u',');
    EXPECT_EQ(L, u";;,;"); // ";;" and "\t;" are items; only the blanks around them go
    L = u" ; ;; ";
    TrimListW(L, u';');
    EXPECT_EQ(L, u"");
    L = u"x y , z";
    TrimListW(L, u',');
    EXPECT_EQ(L, u"x y,z");
    L = u"a\t\tb\t";
    TrimListW(L, u'\t');
    EXPECT_EQ(L, u"a\tb");
}

TEST(CrashlibStrings, IdentifiersAndFileNames)
{
    EXPECT_TRUE(IsValidIdentW(u"_a1"));
    EXPECT_TRUE(IsValidIdentW(u"\u0416x"));
    EXPECT_FALSE(IsValidIdentW(u""));
    EXPECT_FALSE(IsValidIdentW(u"1a"));
    EXPECT_FALSE(IsValidIdentW(u"\u00e4")); // below 256 and no ASCII letter
    EXPECT_FALSE(IsValidIdentW(u"a.b"));
    EXPECT_TRUE(IsValidIdentW(u"a.b", true));
    EXPECT_FALSE(IsValidIdentW(u".a", true));
    EXPECT_FALSE(IsValidIdentW(u"a-b", true));

    EXPECT_EQ(ExtractFileNameW(u"/usr/lib/libc.so.6"), u"libc.so.6");
    EXPECT_EQ(ExtractFileNameW(u"plain"), u"plain");
    EXPECT_EQ(ExtractFileNameW(u"/dir/"), u"");
    EXPECT_EQ(ExtractFilePathW(u"/usr/lib/libc.so.6"), u"/usr/lib/");
    EXPECT_EQ(ExtractFilePathW(u"plain"), u"");
    EXPECT_EQ(ExtractFileExtW(u"/a/b.tar.gz"), u".gz");
    EXPECT_EQ(ExtractFileExtW(u"noext"), u"");
    EXPECT_EQ(ExtractFileDriveW(u"c:/x/y"), u"c:/");
    EXPECT_EQ(ExtractFileDriveW(u"c:"), u"c:/");
    EXPECT_EQ(ExtractFileDriveW(u"//host/share/dir/f"), u"//host/share/");
    EXPECT_EQ(ExtractFileDriveW(u"//host/share"), u"//host/share/");
    EXPECT_EQ(ExtractFileDriveW(u"//host"), u"//host/");
    EXPECT_EQ(ExtractFileDriveW(u"/usr/lib"), u"/usr/lib");
    EXPECT_EQ(ExtractFileDriveW(u"c"), u"c");
    EXPECT_EQ(ExtractFileDriveW(u""), u"");
}

TEST(CrashlibStrings, ErrorTexts)
{
    locale_t C = newlocale(LC_ALL_MASK, "C", nullptr);
    locale_t Previous = uselocale(C);
    EXPECT_EQ(ErrorCodeToStrA(ENOENT), "No such file or directory");
    EXPECT_EQ(ErrorCodeToStrW(EACCES), u"Permission denied");
    EXPECT_EQ(ErrorCodeToStrA(123456), "Error $1e240");
    EXPECT_EQ(ErrorCodeToStrW(-1), u"Error $ffffffff");
    EXPECT_EQ(ErrorCodeToStrA(0), "Success");
    uselocale(Previous);
    freelocale(C);
}

namespace {

// Runs Python's own codecs over a batch of inputs: Mode "u8" decodes UTF-8
// into UTF-16LE, "u16" decodes UTF-16LE into UTF-8; both replace every
// ill-formed part by U+FFFD. Records are a 4-byte little-endian length and
// the bytes.
std::vector<std::string> PythonCodec(const char* Mode, const std::vector<std::string>& Inputs)
{
    TempFolder Dir;
    std::string Batch;
    for (const std::string& In : Inputs) {
        const uint32_t N = static_cast<uint32_t>(In.size());
        Batch.append(reinterpret_cast<const char*>(&N), 4);
        Batch += In;
    }
    TempFolder::Write(Dir.Path("in"), Batch);
    TempFolder::Write(Dir.Path("codec.py"), R"(import struct, sys
mode, src, dst = sys.argv[1:4]
data = open(src, 'rb').read()
out = bytearray()
i = 0
while i < len(data):
    (n,) = struct.unpack_from('<I', data, i)
    b = data[i + 4:i + 4 + n]
    i += 4 + n
    if mode == 'u8':
        r = b.decode('utf-8', 'replace').encode('utf-16-le', 'surrogatepass')
    else:
        r = b.decode('utf-16-le', 'replace').encode('utf-8')
    out += struct.pack('<I', len(r)) + r
open(dst, 'wb').write(out)
)");
    const std::string Cmd = "/usr/bin/python3 '" + Dir.Path("codec.py") + "' " + Mode + " '" +
                            Dir.Path("in") + "' '" + Dir.Path("out") + "'";
    if (std::system(Cmd.c_str()) != 0)
        throw std::runtime_error("python3 failed");
    const std::string Out = TempFolder::Read(Dir.Path("out"));
    std::vector<std::string> Results;
    for (size_t I = 0; I + 4 <= Out.size();) {
        uint32_t N;
        std::memcpy(&N, Out.data() + I, 4);
        Results.push_back(Out.substr(I + 4, N));
        I += 4 + N;
    }
    return Results;
}

std::string Utf16Bytes(const std::u16string& S)
{
    std::string B;
    for (char16_t C : S) {
        B.push_back(static_cast<char>(C & 0xFF));
        B.push_back(static_cast<char>(C >> 8));
    }
    return B;
}

// Pieces of UTF-8 input: well-formed characters of every length and every
// kind of ill-formed sequence.
const std::vector<std::string> Utf8Pieces = {
    "a", "\x7f", "\xc2\x80", "\xdf\xbf", "\xe0\xa0\x80", "\xef\xbf\xbf", "\xed\x9f\xbf",
    "\xee\x80\x80", "\xf0\x90\x80\x80", "\xf4\x8f\xbf\xbf", "\xf3\xbf\xbf\xbf",
    // overlong forms
    "\xc0\x80", "\xc1\xbf", "\xe0\x80\x80", "\xe0\x9f\xbf", "\xf0\x80\x80\x80", "\xf0\x8f\xbf\xbf",
    // encoded surrogates
    "\xed\xa0\x80", "\xed\xbf\xbf", "\xed\xa0\x80\xed\xb0\x80",
    // above U+10FFFF and bytes that never start a sequence
    "\xf4\x90\x80\x80", "\xf5\x80\x80\x80", "\xf7\xbf\xbf\xbf", "\xf8\x88\x80\x80\x80",
    "\xfc\x84\x80\x80\x80\x80", "\xfe", "\xff",
    // stray continuation bytes and truncated sequences
    "\x80", "\xbf", "\xc3", "\xe2\x82", "\xf0\x9f\x98", "\xf4\x8f\xbf", std::string(1, '\0')};

} // namespace

TEST(CrashlibStrings, Utf8DecodingMatchesPythonOnEveryInvalidClass)
{
    std::mt19937 Rng(2024);
    std::vector<std::string> Inputs = {""};
    for (const std::string& P : Utf8Pieces) {
        Inputs.push_back(P);
        Inputs.push_back("x" + P + "y");
        Inputs.push_back(P + P);
    }
    for (int I = 0; I < 3000; ++I) {
        std::string S;
        const int N = static_cast<int>(Rng() % 12);
        for (int K = 0; K < N; ++K)
            S += Utf8Pieces[Rng() % Utf8Pieces.size()];
        Inputs.push_back(S);
    }
    for (int I = 0; I < 2000; ++I) {
        std::string S(Rng() % 16, '\0');
        for (char& C : S)
            C = static_cast<char>(Rng() % 3 == 0 ? 0x80 + Rng() % 0x40 : Rng() % 256);
        Inputs.push_back(S);
    }
    // Every code point, well-formed, in a few long texts.
    std::string All;
    for (char32_t C = 0; C <= 0x10FFFF; C += (C < 0x3000 ? 1 : 7)) {
        if (C >= 0xD800 && C <= 0xDFFF)
            continue;
        std::u16string U;
        if (C >= 0x10000)
            U = {static_cast<char16_t>(0xD800 + ((C - 0x10000) >> 10)),
                 static_cast<char16_t>(0xDC00 + ((C - 0x10000) & 0x3FF))};
        else
            U = {static_cast<char16_t>(C)};
        All += WideToUtf8(U);
    }
    Inputs.push_back(All);

    const std::vector<std::string> Want = PythonCodec("u8", Inputs);
    ASSERT_EQ(Want.size(), Inputs.size());
    for (size_t I = 0; I < Inputs.size(); ++I) {
        const std::u16string Got = Utf8ToWide(Inputs[I]);
        ASSERT_EQ(Utf16Bytes(Got), Want[I]) << "input #" << I;
        // Whatever came out encodes back to well-formed UTF-8 that decodes
        // to the same text.
        ASSERT_EQ(Utf8ToWide(WideToUtf8(Got)), Got);
    }
    // Well-formed text goes through both ways unchanged.
    EXPECT_EQ(WideToUtf8(Utf8ToWide(All)), All);
    EXPECT_EQ(Utf8ToWide(""), u"");
    EXPECT_EQ(WideToUtf8(u""), "");
}

TEST(CrashlibStrings, Utf16EncodingMatchesPythonIncludingUnpairedSurrogates)
{
    std::mt19937 Rng(77);
    const std::vector<char16_t> Units = {u'a',   0x7f,   0x80,   0x7ff,  0x800,  0xfffd, 0xffff,
                                         0xd7ff, 0xe000, 0xd800, 0xdbff, 0xdc00, 0xdfff, 0};
    std::vector<std::string> Inputs;
    std::vector<std::u16string> Texts = {u"",
                                         u"\xd800",
                                         u"\xdc00",
                                         u"\xdc00\xd800",
                                         u"\xd800\xdc00",
                                         u"\xdbff\xdfff",
                                         u"a\xd800",
                                         u"\xd800\xd800\xdc00"};
    for (int I = 0; I < 4000; ++I) {
        std::u16string S(Rng() % 10, u'\0');
        for (char16_t& C : S)
            C = Rng() % 2 ? Units[Rng() % Units.size()] : static_cast<char16_t>(Rng());
        Texts.push_back(S);
    }
    for (const std::u16string& T : Texts)
        Inputs.push_back(Utf16Bytes(T));
    const std::vector<std::string> Want = PythonCodec("u16", Inputs);
    ASSERT_EQ(Want.size(), Inputs.size());
    for (size_t I = 0; I < Texts.size(); ++I) {
        ASSERT_EQ(WideToUtf8(Texts[I]), Want[I]) << "input #" << I;
    }
}
