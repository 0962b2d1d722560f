#include "engine/uFormat.h"

namespace {

[[noreturn]] void Invalid(std::string_view Fmt)
{
    throw EConvertError("Format '" + std::string(Fmt) + "' invalid or incompatible with argument");
}

bool IsDigit(char C)
{
    return C >= '0' && C <= '9';
}

// Reads a decimal number at Pos; false when there is none. A number above
// MaxFormatWidth makes the whole format invalid, so that a slip in a
// translation ("%99999999s") cannot ask for gigabytes of padding.
bool ReadNumber(std::string_view Fmt, size_t& Pos, int& Value)
{
    if (Pos >= Fmt.size() || !IsDigit(Fmt[Pos]))
        return false;
    long long v = 0;
    while (Pos < Fmt.size() && IsDigit(Fmt[Pos])) {
        v = v * 10 + (Fmt[Pos] - '0');
        if (v > MaxFormatWidth)
            Invalid(Fmt);
        ++Pos;
    }
    Value = static_cast<int>(v);
    return true;
}

bool IsContinuationByte(char C)
{
    return (static_cast<unsigned char>(C) & 0xC0) == 0x80;
}

size_t CharCount(std::string_view Text)
{
    size_t n = 0;
    for (char c : Text)
        if (!IsContinuationByte(c))
            ++n;
    return n;
}

// The first Count characters of Text, never ending inside a character.
std::string_view FirstChars(std::string_view Text, size_t Count)
{
    size_t seen = 0;
    for (size_t i = 0; i < Text.size(); ++i) {
        if (!IsContinuationByte(Text[i])) {
            if (seen == Count)
                return Text.substr(0, i);
            ++seen;
        }
    }
    return Text;
}

std::string Digits(uint64_t Value, unsigned Base)
{
    static const char Hex[] = "0123456789ABCDEF";
    char buf[24];
    size_t n = sizeof buf;
    do {
        buf[--n] = Hex[Value % Base];
        Value /= Base;
    } while (Value != 0);
    return std::string(buf + n, sizeof buf - n);
}

std::string PadDigits(std::string DigitText, int Precision)
{
    if (Precision > 0 && DigitText.size() < static_cast<size_t>(Precision))
        DigitText.insert(0, static_cast<size_t>(Precision) - DigitText.size(), '0');
    return DigitText;
}

} // namespace

std::string Format(std::string_view Fmt, std::span<const TFormatArg> Args)
{
    // Every text argument shown once, the format's own text and some room
    // for padding and numbers always fit.
    size_t limit = Fmt.size() + MaxFormatGrowth;
    for (const TFormatArg& arg : Args)
        if (arg.IsText())
            limit += arg.Text().size();
    std::string result;
    result.reserve(Fmt.size());
    size_t next = 0; // argument of the next placeholder without an index
    size_t i = 0;
    while (i < Fmt.size()) {
        const char c = Fmt[i++];
        if (c != '%') {
            // The cap holds for the whole result, the format's own text
            // after the last placeholder too.
            if (result.size() >= limit)
                Invalid(Fmt);
            result += c;
            continue;
        }
        if (i >= Fmt.size())
            Invalid(Fmt);
        if (Fmt[i] == '%') {
            if (result.size() >= limit)
                Invalid(Fmt);
            result += '%';
            ++i;
            continue;
        }

        // A leading number is the argument index when a ":" follows it,
        // else the width.
        size_t argIndex = next;
        int number = 0;
        bool haveWidth = ReadNumber(Fmt, i, number);
        if (haveWidth && i < Fmt.size() && Fmt[i] == ':') {
            argIndex = static_cast<size_t>(number);
            haveWidth = false;
            ++i;
        }
        bool left = false;
        int width = haveWidth ? number : 0;
        if (!haveWidth) {
            if (i < Fmt.size() && Fmt[i] == '-') {
                left = true;
                ++i;
            }
            ReadNumber(Fmt, i, width);
        }
        int precision = -1;
        if (i < Fmt.size() && Fmt[i] == '.') {
            ++i;
            if (!ReadNumber(Fmt, i, precision))
                Invalid(Fmt);
        }
        if (i >= Fmt.size() || argIndex >= Args.size())
            Invalid(Fmt);
        const char type = Fmt[i++];
        const TFormatArg& arg = Args[argIndex];
        next = argIndex + 1;

        std::string text;
        switch (type) {
        case 's':
        case 'S':
            if (!arg.IsText())
                Invalid(Fmt);
            text = precision >= 0 ? std::string(FirstChars(arg.Text(), precision)) : arg.Text();
            break;
        case 'd':
        case 'D':
            if (arg.IsText())
                Invalid(Fmt);
            text = PadDigits(Digits(arg.Magnitude(), 10), precision);
            if (arg.IsNegative())
                text.insert(0, 1, '-');
            break;
        case 'u':
        case 'U':
            if (arg.IsText())
                Invalid(Fmt);
            text = PadDigits(Digits(arg.AsUnsigned(), 10), precision);
            break;
        case 'x':
        case 'X':
            if (arg.IsText())
                Invalid(Fmt);
            text = PadDigits(Digits(arg.AsUnsigned(), 16), precision);
            break;
        default:
            Invalid(Fmt);
        }

        const size_t chars = CharCount(text);
        const size_t pad =
            chars < static_cast<size_t>(width) ? static_cast<size_t>(width) - chars : 0;
        if (result.size() + text.size() + pad > limit)
            Invalid(Fmt);
        if (pad > 0) {
            if (left)
                text.append(pad, ' ');
            else
                text.insert(0, pad, ' ');
        }
        result += text;
    }
    return result;
}

bool TryFormat(std::string_view Fmt, std::span<const TFormatArg> Args, std::string& Result)
{
    try {
        Result = Format(Fmt, Args);
        return true;
    } catch (const EConvertError&) {
        Result.clear();
        return false;
    }
}

std::string FormatChecked(std::string_view Translated, std::string_view BuiltIn,
                          std::span<const TFormatArg> Args)
{
    std::string result;
    if (TryFormat(Translated, Args, result) || TryFormat(BuiltIn, Args, result))
        return result;
    return std::string(Translated);
}
