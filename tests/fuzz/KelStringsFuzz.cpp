// Any bytes as UTF-8 and as UTF-16 text, as a run of digits, and split into
// a text, a search text and a replacement.
#include "crashlib/kelStrings.h"

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void Check(bool Ok)
{
    if (!Ok)
        __builtin_trap();
}

// Well-formed UTF-16 with every unpaired surrogate replaced by U+FFFD.
std::u16string Repaired(std::u16string_view S)
{
    std::u16string R;
    for (size_t I = 0; I < S.size(); ++I) {
        const char16_t C = S[I];
        if (C >= 0xD800 && C <= 0xDBFF && I + 1 < S.size() && S[I + 1] >= 0xDC00 &&
            S[I + 1] <= 0xDFFF) {
            R.push_back(C);
            R.push_back(S[++I]);
        } else if (C >= 0xD800 && C <= 0xDFFF) {
            R.push_back(0xFFFD);
        } else {
            R.push_back(C);
        }
    }
    return R;
}

void Digits(std::string_view Text, bool Hex)
{
    const std::optional<int64_t> Got = DigitsToIntA(Hex, Text);
    // The oracle: the standard library's reader, which takes the same form
    // (an optional "-", digits up to the first other character).
    const char* B = Text.data();
    const char* E = B + Text.size();
    if (Hex && !(Text.size() > 0 && Text[0] == '-')) {
        uint64_t U = 0;
        const auto R = std::from_chars(B, E, U, 16);
        if (R.ec == std::errc())
            Check(Got && static_cast<uint64_t>(*Got) == U);
        else
            Check(!Got);
        return;
    }
    int64_t V = 0;
    const auto R = std::from_chars(B, E, V, Hex ? 16 : 10);
    if (R.ec == std::errc())
        Check(Got && *Got == V);
    else
        Check(!Got);
}

std::string SpliceReplace(std::string S, std::string_view Search, std::string_view Rep, bool ReScan)
{
    for (size_t P = S.find(Search); P != std::string::npos;) {
        S.replace(P, Search.size(), Rep);
        P = S.find(Search, ReScan ? P + (Rep.size() > Search.size() ? 1 : 0) : P + Rep.size());
    }
    return S;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);

    const std::u16string Wide = Utf8ToWide(Bytes);
    Check(Wide.size() <= Bytes.size());
    Check(Repaired(Wide) == Wide);
    Check(Utf8ToWide(WideToUtf8(Wide)) == Wide);

    std::u16string Units(Size / 2, u'\0');
    for (size_t I = 0; I < Units.size(); ++I)
        Units[I] = static_cast<char16_t>(Data[2 * I] | (Data[2 * I + 1] << 8));
    const std::string Utf8 = WideToUtf8(Units);
    Check(Utf8ToWide(Utf8) == Repaired(Units));

    Digits(Bytes, false);
    Digits(Bytes, true);

    // "text\0search\0replacement", with case and re-scan from the last byte.
    if (Size > 0) {
        const bool IgnoreCase = Data[Size - 1] & 1, ReScan = Data[Size - 1] & 2;
        const std::string_view Body = Bytes.substr(0, Size - 1);
        const size_t A = Body.find('\0');
        const size_t B = A == Body.npos ? Body.npos : Body.find('\0', A + 1);
        if (B != Body.npos && Body.size() < 4096) {
            std::string S(Body.substr(0, A));
            const std::string_view Search = Body.substr(A + 1, B - A - 1);
            const std::string_view Rep = Body.substr(B + 1);
            const std::string Before = S;
            ReplaceStrExA(S, Search, Rep, IgnoreCase, ReScan);
            if (Search.empty())
                Check(S == Before);
            // Where the splice loop ends, the fast form must agree with it.
            const bool Endless =
                ReScan && !Search.empty() &&
                Rep.find(Search, Rep.size() > Search.size() ? 1 : 0) != std::string_view::npos;
            if (!IgnoreCase && !Search.empty() && !Endless)
                Check(S == SpliceReplace(Before, Search, Rep, ReScan));
        }
    }
    return 0;
}
