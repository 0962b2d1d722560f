// The crash library's own small string library. It must work inside a process
// that is failing, so it stands on nothing but the C++ standard library.
//
// Two forms of most routines: "A" on UTF-8 text (std::string, one byte per
// position), "W" on UTF-16 text (std::u16string, one code unit per position),
// which is the form of everything that reaches a report. Case mapping is
// deliberately tiny: the "A" forms map ASCII letters only (a multibyte UTF-8
// sequence is never touched), the "W" forms map a..z and the umlauts
// ä, ö, ü by code point; every other character maps to itself.
//
// Positions are 1-based unless a name says otherwise. A position outside the
// text is clamped into it; a count beyond the text is cut to what is there.
#pragma once

#include "crashlib/kelTypes.h"

#include <bitset>
#include <climits>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// A set of character codes 0..255; a wide character at or above 256 is never
// a member.
using TKelCharSet = std::bitset<256>;
// The set holding each byte of Members.
TKelCharSet MakeCharSet(std::string_view Members);

// --- Trimming, deleting, replacing ----------------------------------------
// Remove leading and trailing characters 0..32.
void TrimStrA(std::string& S);
void TrimStrW(std::u16string& S);
std::string RetTrimA(std::string_view S);
std::u16string RetTrimW(std::u16string_view S);

// Remove every occurrence of C; true when something was removed.
bool DeleteCharW(std::u16string& S, char16_t C);
// Remove every character that is in Set.
void DeleteCharSetW(std::u16string& S, const TKelCharSet& Set);
// Remove every occurrence of Sub, left to right in one pass (an empty Sub
// removes nothing).
void DeleteSubStrW(std::u16string& S, std::u16string_view Sub);

// Replace every occurrence of Search in S by Replacement. Without ReScan the
// search goes on after each inserted replacement. With ReScan it goes on at
// the first character of the inserted replacement (at its second when the
// replacement is longer than Search), so that what the replacement forms with
// the following text is found too: "  " -> " " with ReScan collapses any run
// of blanks. A match lying wholly inside an inserted replacement is never
// taken, as replacing it would go on for ever. An empty Search changes nothing.
void ReplaceStrExA(std::string& S, std::string_view Search, std::string_view Replacement,
                   bool IgnoreCase, bool ReScan);
void ReplaceStrExW(std::u16string& S, std::u16string_view Search, std::u16string_view Replacement,
                   bool IgnoreCase, bool ReScan);
// Case-sensitive forms.
void ReplaceStrA(std::string& S, std::string_view Search, std::string_view Replacement,
                 bool ReScan = false);
void ReplaceStrW(std::u16string& S, std::u16string_view Search, std::u16string_view Replacement,
                 bool ReScan = false);
// Case-insensitive forms.
void ReplaceTextA(std::string& S, std::string_view Search, std::string_view Replacement,
                  bool ReScan = false);
void ReplaceTextW(std::u16string& S, std::u16string_view Search, std::u16string_view Replacement,
                  bool ReScan = false);

// --- Pieces ----------------------------------------------------------------
// Copy of S without the Count characters from Index on.
std::string CopyDeleteA(std::string_view S, int Index, int Count);
std::u16string CopyDeleteW(std::u16string_view S, int Index, int Count);
// S becomes its substring of Count characters from Index on.
void CopyInPlaceA(std::string& S, int Index, int Count);
void CopyInPlaceW(std::u16string& S, int Index, int Count);
// The last N characters (all of S when it is shorter).
std::u16string RightStrW(std::u16string_view S, int N);

// --- Case ------------------------------------------------------------------
char UpCharA(char C);
std::string UpStrA(std::string_view S);
char16_t UpCharW(char16_t C);
std::u16string UpStrW(std::u16string_view S);
// The inverse mapping: A..Z and Ä, Ö, Ü only.
std::u16string LoStrW(std::u16string_view S);
// Equality ignoring case.
bool IsTextEqualA(std::string_view A, std::string_view B);
bool IsTextEqualW(std::u16string_view A, std::u16string_view B);
// Difference of the first unequal (upper-cased) characters, else the
// difference of the lengths.
int CompareTextW(std::u16string_view A, std::u16string_view B);

std::u16string BoolToPlusMinusW(bool Value);
// Length of a zero-terminated text; 0 for null.
size_t StrLenA(const char* S);
size_t StrLenW(const char16_t* S);

// --- Searching ---------------------------------------------------------------
// 0-based index of the first match of Sub in Text starting between From and To
// (0-based, inclusive), or -1. When To lies before From the text is scanned
// backwards and the last match in that range is found. An empty Sub matches
// nowhere.
int PosExCoreA(std::string_view Sub, std::string_view Text, int From, int To, bool IgnoreCase);
int PosExCoreW(std::u16string_view Sub, std::u16string_view Text, int From, int To,
               bool IgnoreCase);
// 1-based position of Sub starting between From and To (To before From scans
// backwards: PosStrW(Sub, Text, INT_MAX, 1) finds the last one), 0 when absent.
int PosStrA(std::string_view Sub, std::string_view Text, int From = 1, int To = INT_MAX);
int PosStrW(std::u16string_view Sub, std::u16string_view Text, int From = 1, int To = INT_MAX);
int PosTextA(std::string_view Sub, std::string_view Text, int From = 1, int To = INT_MAX);
int PosTextW(std::u16string_view Sub, std::u16string_view Text, int From = 1, int To = INT_MAX);
// True when Text begins with Prefix (always for an empty Prefix).
bool BeginsWithStrA(std::string_view Text, std::string_view Prefix);
bool BeginsWithStrW(std::u16string_view Text, std::u16string_view Prefix);
bool BeginsWithTextW(std::u16string_view Text, std::u16string_view Prefix);
// First position from From up to To of a character in Set; 0 when none.
int PosCharSetA(const TKelCharSet& Set, std::string_view Text, int From = 1, int To = INT_MAX);
int PosCharSetW(const TKelCharSet& Set, std::u16string_view Text, int From = 1, int To = INT_MAX);
// First position between From and To (backwards when To lies before From) of
// a character that is not in Set; 0 when none.
int PosNotInCharSetW(const TKelCharSet& Set, std::u16string_view Text, int From = 1,
                     int To = INT_MAX);

// --- Separator-delimited lists ----------------------------------------------
// Number of items: 0 for an empty text, else the number of separators + 1.
int SubStrCountA(std::string_view Text, char Sep);
int SubStrCountW(std::u16string_view Text, char16_t Sep);
// The item with the 1-based Index; empty when there are fewer items.
std::string SubStrA(std::string_view Text, int Index, char Sep);
std::u16string SubStrW(std::u16string_view Text, int Index, char16_t Sep);
// True when an item equals Item (case-sensitive / ignoring case).
bool ListContainsStrW(std::u16string_view List, std::u16string_view Item, char16_t Sep);
bool ListContainsTextW(std::u16string_view List, std::u16string_view Item, char16_t Sep);
// Tidies a list: characters 0..32 around every item and empty items are
// removed, so " a ; ;b ;" becomes "a;b" (and a list of blanks becomes empty).
void TrimListW(std::u16string& List, char16_t Sep);

// True when Text is an identifier: a letter, "_" or a character at or above
// 256 first, then also digits, and "." when AllowDots is set.
bool IsValidIdentW(std::u16string_view Text, bool AllowDots = false);

// --- File names --------------------------------------------------------------
// Paths are divided at "/", the path delimiter of this system.
// The part after the last "/" (all of Path when there is none).
std::u16string ExtractFileNameW(std::u16string_view Path);
// The part up to and including the last "/" (empty when there is none).
std::u16string ExtractFilePathW(std::u16string_view Path);
// "X:" + "/" for a path whose second character is ":"; for a path that begins
// with "//" the host and share ("//host/share") followed by "/"; any other
// text is returned unchanged.
std::u16string ExtractFileDriveW(std::u16string_view Path);
// The part from the last "." on (empty when there is none).
std::u16string ExtractFileExtW(std::u16string_view Path);

// The low byte of each character of a zero-terminated wide text.
std::string WideLowBytesToAnsi(const char16_t* S);

// --- Numbers ------------------------------------------------------------------
std::string IntToDecA(int32_t Value);
std::u16string IntToDecW(int32_t Value);
std::string Int64ToDecA(int64_t Value);
std::u16string Int64ToDecW(int64_t Value);
// Lower-case hex without prefix or leading zeros ("0" for zero).
std::string CardToHexA(uint32_t Value);
std::u16string CardToHexW(uint32_t Value);
// The 64-bit pattern of Value in lower-case hex, no leading zeros.
std::string Int64ToHexA(int64_t Value);

// Padding step: nothing when Count <= 0; otherwise Count Fill characters are
// appended, or put in front when Left is set (behind a leading "-" when Fill
// is a digit, so that "-42" becomes "-0042").
void PadStrA(std::string& S, int Count, bool Left, char Fill);
void PadStrW(std::u16string& S, int Count, bool Left, char16_t Fill);
// S padded to abs(MinLen): on the left when MinLen > 0, on the right when
// MinLen < 0. A longer text is never cut.
std::string FillStrA(std::string_view S, int MinLen, char Fill);
std::u16string FillStrW(std::u16string_view S, int MinLen, char16_t Fill);

// Padded decimal: FillStr of the plain decimal text.
std::string IntToStrPadA(int32_t Value, int MinLen, char Fill);
std::u16string IntToStrPadW(int32_t Value, int MinLen, char16_t Fill);
std::string CardToStrPadA(uint32_t Value, int MinLen, char Fill);
std::u16string CardToStrPadW(uint32_t Value, int MinLen, char16_t Fill);
std::string Int64ToStrPadA(int64_t Value, int MinLen, char Fill);
std::u16string Int64ToStrPadW(int64_t Value, int MinLen, char16_t Fill);

// Padded hex with a "$" in front that MinLen does not count: "$0001f" for
// (0x1f, 5, '0'), "   $1f" for (0x1f, 5, ' '), "$1f   " for (0x1f, -5, ' ').
// A fill that is no hex digit goes in front of the "$" when MinLen >= 0.
std::string IntToHexPadA(int32_t Value, int MinLen, char Fill);
std::u16string IntToHexPadW(int32_t Value, int MinLen, char16_t Fill);
std::string CardToHexPadA(uint32_t Value, int MinLen, char Fill);
std::u16string CardToHexPadW(uint32_t Value, int MinLen, char16_t Fill);
std::string Int64ToHexPadA(int64_t Value, int MinLen, char Fill);

inline std::string IntToStrPad(int32_t Value, int MinLen, char Fill)
{
    return IntToStrPadA(Value, MinLen, Fill);
}
inline std::string CardToStrPad(uint32_t Value, int MinLen, char Fill)
{
    return CardToStrPadA(Value, MinLen, Fill);
}
inline std::string Int64ToStrPad(int64_t Value, int MinLen, char Fill)
{
    return Int64ToStrPadA(Value, MinLen, Fill);
}
inline std::string IntToHexPad(int32_t Value, int MinLen, char Fill)
{
    return IntToHexPadA(Value, MinLen, Fill);
}
inline std::string CardToHexPad(uint32_t Value, int MinLen, char Fill)
{
    return CardToHexPadA(Value, MinLen, Fill);
}
inline std::string Int64ToHexPad(int64_t Value, int MinLen, char Fill)
{
    return Int64ToHexPadA(Value, MinLen, Fill);
}

// Integer from a run of digits: an optional leading "-", then decimal (or,
// with Hex, hexadecimal) digits, read up to the first character that is no
// digit. Empty when there is no digit or the value does not fit: decimal
// texts must fit int64_t; hex texts may use all 64 bits and give that bit
// pattern ("ffffffffffffffff" is -1, as Int64ToHexA writes it).
std::optional<int64_t> DigitsToIntA(bool Hex, std::string_view Digits);
std::optional<int64_t> DigitsToIntW(bool Hex, std::u16string_view Digits);

// Byte count as "1023 Bytes", "1,50 KB", "12,34 MB", "2,00 GB" (the
// separator is GetDecimalSeparatorW's; two decimals, truncated; the sign of a
// negative count is not shown).
std::u16string SizeToStrW(int64_t Bytes);

// The decimal separator of the thread's C library locale, read once and
// cached for the life of the process ("," when the locale names none).
char16_t GetDecimalSeparatorW();
// Replaces the cached separator; 0 forgets it, so the next call reads the
// locale again.
void OverrideDecimalSeparatorW(char16_t Separator);

// --- Conversion and system texts ---------------------------------------------
// Strict UTF-8 <-> UTF-16. Every ill-formed part of the input (a stray or
// overlong byte, an encoded surrogate, a value above U+10FFFF, a truncated
// sequence, an unpaired surrogate) becomes one U+FFFD, following the
// Unicode "maximal subpart" practice.
std::u16string Utf8ToWide(std::string_view Utf8);
std::string WideToUtf8(std::u16string_view Wide);

// Text of an errno value, with CR turned into blanks and LF removed; for a
// number the C library does not know, "Error $" and the number in hex.
std::u16string ErrorCodeToStrW(int Code);
std::string ErrorCodeToStrA(int Code);

// Copy of a stored text with every byte combined by exclusive-or with the
// library's fixed byte (the same call scrambles and unscrambles).
std::string UnscrambleStrA(std::string_view Stored);
