#include "settings/HTMLUtil.h"

#include "platform/Utf8.h"
#include "settings/Language.h"

#include <cstdint>
#include <string_view>

namespace {

using platform::AppendUtf8;

std::string InvalidHTMLEncodedCharMessage(const std::string& Chars, size_t Position)
{
    // The key is also the built-in text, as for every message without a
    // translation.
    static const std::string Key = "sInvalidHTMLEncodedChar";
    return FormatChecked(Translate(Key), Key, {Chars, static_cast<int64_t>(Position)});
}

[[noreturn]] void RaiseInvalidEntity(std::string_view Text, size_t Amp)
{
    // The message names the "&" and the character after it, as the user
    // would look for them in the file.
    std::string Chars(Text.substr(Amp, 2));
    throw EConvertError(InvalidHTMLEncodedCharMessage(Chars, Amp));
}

// Decodes "&#digits;" starting at Amp; returns the position after ";".
size_t DecodeNumeric(std::string_view Text, size_t Amp, std::string& Out)
{
    size_t I = Amp + 2;
    uint32_t Cp = 0;
    size_t Digits = 0;
    while (I < Text.size() && Text[I] >= '0' && Text[I] <= '9') {
        Cp = Cp * 10 + static_cast<uint32_t>(Text[I] - '0');
        if (Cp > 0x10FFFF)
            RaiseInvalidEntity(Text, Amp);
        ++I;
        ++Digits;
    }
    if (Digits == 0 || I >= Text.size() || Text[I] != ';')
        RaiseInvalidEntity(Text, Amp);
    if (Cp == 0 || (Cp >= 0xD800 && Cp <= 0xDFFF))
        RaiseInvalidEntity(Text, Amp);
    AppendUtf8(Out, Cp);
    return I + 1;
}

} // namespace

std::string HTMLEncode(const std::string& Text)
{
    std::string Out;
    Out.reserve(Text.size());
    for (char C : Text) {
        switch (C) {
        case '&':
            Out += "&amp;";
            break;
        case '"':
            Out += "&quot;";
            break;
        case '<':
            Out += "&lt;";
            break;
        case '>':
            Out += "&gt;";
            break;
        default:
            Out += C;
        }
    }
    return Out;
}

std::string HTMLDecode(const std::string& Text)
{
    static constexpr std::pair<std::string_view, char> Named[] = {
        {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&amp;", '&'}};

    const std::string_view View(Text);
    std::string Out;
    Out.reserve(Text.size());
    size_t I = 0;
    while (I < View.size()) {
        const size_t Amp = View.find('&', I);
        if (Amp == std::string_view::npos) {
            Out.append(View.substr(I));
            break;
        }
        Out.append(View.substr(I, Amp - I));
        if (Amp + 1 < View.size() && View[Amp + 1] == '#') {
            I = DecodeNumeric(View, Amp, Out);
            continue;
        }
        bool Found = false;
        for (const auto& [Entity, Char] : Named) {
            if (View.substr(Amp, Entity.size()) == Entity) {
                Out += Char;
                I = Amp + Entity.size();
                Found = true;
                break;
            }
        }
        if (!Found)
            RaiseInvalidEntity(View, Amp);
    }
    return Out;
}
