// Any bytes as a translated format and the built-in one it falls back on,
// with text and integer arguments. FormatChecked must give what its rule
// says (the translation formatted when it fits, else the built-in format,
// else the translation as it stands), never raise, and stay bounded.
#include "engine/uFormat.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    // "translated\0built-in\0text argument", the kinds of the arguments from
    // the first byte.
    if (Size == 0) {
        return 0;
    }
    const unsigned Kinds = Data[0];
    const std::string_view Body(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    const size_t A = Body.find('\0');
    const size_t B = A == Body.npos ? Body.npos : Body.find('\0', A + 1);
    const std::string_view Translated = Body.substr(0, A);
    const std::string_view BuiltIn =
        A == Body.npos ? std::string_view() : Body.substr(A + 1, B == Body.npos ? B : B - A - 1);
    const std::string_view Text = B == Body.npos ? std::string_view() : Body.substr(B + 1);

    std::vector<TFormatArg> Args;
    for (unsigned I = 0; I < 4; ++I) {
        switch ((Kinds >> (2 * I)) & 3) {
        case 0:
            Args.emplace_back(Text);
            break;
        case 1:
            Args.emplace_back(static_cast<int>(Size) - 100);
            break;
        case 2:
            Args.emplace_back(-static_cast<std::int64_t>(Size) << 40);
            break;
        default:
            Args.emplace_back(static_cast<std::uint64_t>(Size) * 0x9E3779B97F4A7C15ull);
            break;
        }
    }

    std::string Result;
    try {
        Result = FormatChecked(Translated, BuiltIn, Args);
    } catch (...) {
        __builtin_trap();
    }
    std::string Expected;
    if (!TryFormat(Translated, Args, Expected) && !TryFormat(BuiltIn, Args, Expected)) {
        Expected = Translated;
    }
    Check(Result == Expected);

    // However the translation repeats its placeholders, the caption stays of
    // a size a window can show.
    size_t Inputs = Translated.size() + BuiltIn.size();
    for (size_t I = 0; I < Args.size(); ++I) {
        Inputs += Text.size();
    }
    Check(Result.size() <= Inputs + MaxFormatGrowth);

    std::string Tried;
    bool Raised = false;
    try {
        (void)Format(Translated, Args);
    } catch (const EConvertError&) {
        Raised = true;
    }
    Check(Raised == !TryFormat(Translated, Args, Tried));
    return 0;
}
