#include "platform/Utf8.h"

namespace platform {

std::size_t DecodeUtf8(std::string_view Text, std::size_t Pos, char32_t& Code)
{
    if (Pos >= Text.size())
        return 0;
    const auto b0 = static_cast<unsigned char>(Text[Pos]);
    std::size_t length;
    char32_t min;
    if (b0 < 0x80) {
        Code = b0;
        return 1;
    } else if ((b0 & 0xE0) == 0xC0) {
        Code = b0 & 0x1F;
        length = 2;
        min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        Code = b0 & 0x0F;
        length = 3;
        min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        Code = b0 & 0x07;
        length = 4;
        min = 0x10000;
    } else {
        return 0;
    }
    if (Pos + length > Text.size())
        return 0;
    for (std::size_t k = 1; k < length; ++k) {
        const auto b = static_cast<unsigned char>(Text[Pos + k]);
        if ((b & 0xC0) != 0x80)
            return 0;
        Code = (Code << 6) | (b & 0x3F);
    }
    if (Code < min || Code > 0x10FFFF || (Code >= 0xD800 && Code <= 0xDFFF))
        return 0;
    return length;
}

void AppendUtf8(std::string& Out, char32_t Code)
{
    if (Code < 0x80) {
        Out += static_cast<char>(Code);
    } else if (Code < 0x800) {
        Out += static_cast<char>(0xC0 | (Code >> 6));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else if (Code < 0x10000) {
        Out += static_cast<char>(0xE0 | (Code >> 12));
        Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else {
        Out += static_cast<char>(0xF0 | (Code >> 18));
        Out += static_cast<char>(0x80 | ((Code >> 12) & 0x3F));
        Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
        Out += static_cast<char>(0x80 | (Code & 0x3F));
    }
}

bool IsXmlChar(char32_t Code)
{
    return Code == 0x9 || Code == 0xA || Code == 0xD || (Code >= 0x20 && Code <= 0xD7FF) ||
           (Code >= 0xE000 && Code <= 0xFFFD) || (Code >= 0x10000 && Code <= 0x10FFFF);
}

bool StripUtf8Bom(std::string_view& Text)
{
    if (!Text.starts_with(Utf8Bom))
        return false;
    Text.remove_prefix(Utf8Bom.size());
    return true;
}

bool TextLines::Next(std::string_view& Line)
{
    if (Rest.empty())
        return false;
    const size_t End = Rest.find_first_of("\r\n");
    if (End == std::string_view::npos) {
        Line = Rest;
        Rest = {};
        return true;
    }
    Line = Rest.substr(0, End);
    size_t Next = End + 1;
    if (Rest[End] == '\r' && Next < Rest.size() && Rest[Next] == '\n')
        ++Next;
    Rest.remove_prefix(Next);
    return true;
}

std::vector<std::string> SplitTextLines(std::string_view Text)
{
    std::vector<std::string> Lines;
    StripUtf8Bom(Text);
    TextLines Reader(Text);
    for (std::string_view Line; Reader.Next(Line);)
        Lines.emplace_back(Line);
    return Lines;
}

std::string LowerAscii(std::string_view Text)
{
    std::string R(Text);
    for (char& C : R)
        if (C >= 'A' && C <= 'Z')
            C = static_cast<char>(C - 'A' + 'a');
    return R;
}

} // namespace platform
