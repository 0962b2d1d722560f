// The program's string formatting for texts that come from language files.
//
// Format follows the class library's rules for the placeholders that the
// program uses:
//
//   "%" [index ":"] ["-"] [width] ["." precision] type
//
//   type  s  a text; the precision is the largest number of characters shown
//         d  a signed integer; the precision is the least number of digits
//            (padded with zeros)
//         u  an unsigned integer (a negative 32-bit argument counts as its
//            32-bit two's complement, a wider one as its 64-bit one)
//         x  an unsigned integer in upper-case hexadecimal, precision as d
//   "%%"  one "%"
//   index the zero-based argument to use; the placeholders after it go on
//         with the arguments after that one
//   "-"   left alignment within the width (right alignment otherwise)
//   width the least number of characters, padded with blanks
//
// Type letters may be upper or lower case. Widths and precisions count
// characters (code points), not bytes, and a precision never cuts a
// character in two. Widths, precisions and indexes above MaxFormatWidth are
// treated as mistakes. Arguments after the last one used are ignored. A
// result longer than the format, its text arguments and MaxFormatGrowth
// together is a mistake too: a translation that repeats a wide placeholder
// thousands of times must not make a caption of hundreds of megabytes.
//
// Everything else ("*" widths, the floating-point and pointer types, a
// placeholder whose type does not fit its argument, an index beyond the
// arguments, a lone "%") makes Format raise EConvertError. Texts from
// language files go through FormatChecked instead, which never raises.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>

// A format that does not fit its arguments.
class EConvertError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

constexpr int MaxFormatWidth = 4096;
constexpr size_t MaxFormatGrowth = 65536;

// One format argument: a text or an integer of any width.
class TFormatArg {
public:
    TFormatArg(std::string_view Text) : FIsText(true), FText(Text) {}
    TFormatArg(const std::string& Text) : FIsText(true), FText(Text) {}
    TFormatArg(const char* Text) : FIsText(true), FText(Text ? Text : "") {}

    template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, char>)
        TFormatArg(T Value)
        : FIsText(false), FSigned(std::is_signed_v<T>), FWide(sizeof(T) > 4),
          FBits(static_cast<uint64_t>(Value))
    {
        // FBits keeps the value's two's complement in 64 bits; the sign
        // extension above makes a negative int come out as a negative int64.
    }

    bool IsText() const { return FIsText; }
    const std::string& Text() const { return FText; }
    bool IsNegative() const { return FSigned && static_cast<int64_t>(FBits) < 0; }
    // The absolute value.
    uint64_t Magnitude() const { return IsNegative() ? 0 - FBits : FBits; }
    // The value seen as unsigned ("%u", "%x").
    uint64_t AsUnsigned() const
    {
        return (IsNegative() && !FWide) ? static_cast<uint32_t>(FBits) : FBits;
    }

private:
    bool FIsText;
    bool FSigned = false;
    bool FWide = false;
    uint64_t FBits = 0;
    std::string FText;
};

// Formats Fmt with Args; raises EConvertError when they do not fit.
std::string Format(std::string_view Fmt, std::span<const TFormatArg> Args);
inline std::string Format(std::string_view Fmt, std::initializer_list<TFormatArg> Args)
{
    return Format(Fmt, std::span<const TFormatArg>(Args.begin(), Args.size()));
}

// The same without raising: false (and Result empty) when they do not fit.
bool TryFormat(std::string_view Fmt, std::span<const TFormatArg> Args, std::string& Result);

// Formats a translated format. When it does not fit the arguments (a bad
// translation), the built-in format is used instead; when even that fails,
// the translated text is returned as it stands. Never raises EConvertError.
std::string FormatChecked(std::string_view Translated, std::string_view BuiltIn,
                          std::span<const TFormatArg> Args);
inline std::string FormatChecked(std::string_view Translated, std::string_view BuiltIn,
                                 std::initializer_list<TFormatArg> Args)
{
    return FormatChecked(Translated, BuiltIn,
                         std::span<const TFormatArg>(Args.begin(), Args.size()));
}
