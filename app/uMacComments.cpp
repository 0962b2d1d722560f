#include "app/uMacComments.h"

#include "platform/AtomicFile.h"
#include "platform/Utf8.h"

#include <filesystem>

namespace {

using platform::LowerAscii;

// Comments are one line each in their file; a line break in one would split
// it into a second, nameless line.
std::string OneLine(const std::string& Text)
{
    std::string R = Text;
    for (char& C : R)
        if (C == '\r' || C == '\n')
            C = ' ';
    return R;
}

// The file's bytes as UTF-8, by its byte-order mark; Encoding says which.
std::string DecodeFileText(const std::string& Bytes, TMacComments::TEncoding& Encoding)
{
    using E = TMacComments::TEncoding;
    const auto StartsWith = [&](std::string_view Mark) {
        return Bytes.compare(0, Mark.size(), Mark) == 0;
    };
    if (StartsWith(platform::Utf8Bom)) {
        Encoding = E::Utf8Bom;
        return Bytes.substr(platform::Utf8Bom.size());
    }
    const bool LittleEndian = StartsWith("\xFF\xFE");
    if (!LittleEndian && !StartsWith("\xFE\xFF")) {
        Encoding = E::Utf8;
        return Bytes;
    }
    Encoding = LittleEndian ? E::Utf16LE : E::Utf16BE;
    const auto Unit = [&](size_t I) -> char32_t {
        const auto A = static_cast<unsigned char>(Bytes[I]);
        const auto B = static_cast<unsigned char>(Bytes[I + 1]);
        return LittleEndian ? (char32_t(B) << 8 | A) : (char32_t(A) << 8 | B);
    };
    std::string Out;
    Out.reserve(Bytes.size());
    for (size_t I = 2; I + 1 < Bytes.size(); I += 2) {
        char32_t Code = Unit(I);
        if (Code >= 0xD800 && Code <= 0xDBFF && I + 3 < Bytes.size()) {
            const char32_t Low = Unit(I + 2);
            if (Low >= 0xDC00 && Low <= 0xDFFF) {
                Code = 0x10000 + ((Code - 0xD800) << 10) + (Low - 0xDC00);
                I += 2;
            }
        }
        platform::AppendUtf8(Out, Code >= 0xD800 && Code <= 0xDFFF ? char32_t(0xFFFD) : Code);
    }
    if (Bytes.size() % 2 != 0)
        Out += "\xEF\xBF\xBD"; // a last odd byte
    return Out;
}

// UTF-8 text in Encoding, with its byte-order mark.
std::string EncodeFileText(const std::string& Text, TMacComments::TEncoding Encoding)
{
    using E = TMacComments::TEncoding;
    if (Encoding == E::Utf8)
        return Text;
    if (Encoding == E::Utf8Bom)
        return std::string(platform::Utf8Bom) + Text;
    const bool LittleEndian = Encoding == E::Utf16LE;
    std::string Out;
    Out.reserve(Text.size() * 2 + 2);
    const auto Put = [&](char32_t Unit) {
        const char Hi = static_cast<char>(Unit >> 8), Lo = static_cast<char>(Unit & 0xFF);
        Out += LittleEndian ? Lo : Hi;
        Out += LittleEndian ? Hi : Lo;
    };
    Put(0xFEFF);
    for (size_t I = 0; I < Text.size();) {
        char32_t Code = 0;
        const size_t Len = platform::DecodeUtf8(Text, I, Code);
        if (Len == 0) {
            Code = 0xFFFD;
            ++I;
        } else {
            I += Len;
        }
        if (Code >= 0x10000) {
            Put(0xD800 + ((Code - 0x10000) >> 10));
            Put(0xDC00 + ((Code - 0x10000) & 0x3FF));
        } else {
            Put(Code);
        }
    }
    return Out;
}

} // namespace

std::string TMacComments::Get(const std::string& Mac) const
{
    if (Mac.empty())
        return {};
    const auto It = FIndex.find(LowerAscii(Mac));
    if (It == FIndex.end())
        return {};
    const std::string& Line = FLines[It->second];
    return Line.substr(Line.find('=') + 1);
}

bool TMacComments::Set(const std::string& Mac, const std::string& Comment)
{
    if (Mac.empty())
        return false;
    const std::string Value = OneLine(Comment);
    const std::string Key = LowerAscii(Mac);
    const auto It = FIndex.find(Key);
    if (It == FIndex.end()) {
        if (Value.empty())
            return false;
        FLines.push_back(Mac + "=" + Value);
        FIndex.emplace(Key, FLines.size() - 1);
        FChanged = true;
        return true;
    }
    std::string& Line = FLines[It->second];
    if (Value.empty()) {
        FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(It->second));
        Reindex();
        FChanged = true;
        return true;
    }
    const std::string New = Line.substr(0, Line.find('=')) + "=" + Value;
    if (New == Line)
        return false;
    Line = New;
    FChanged = true;
    return true;
}

void TMacComments::Clear()
{
    FChanged = FChanged || !FLines.empty();
    FLines.clear();
    FIndex.clear();
}

void TMacComments::Reindex()
{
    FIndex.clear();
    for (size_t I = 0; I < FLines.size(); ++I) {
        const size_t Eq = FLines[I].find('=');
        if (Eq == std::string::npos || Eq == 0)
            continue;
        FIndex.emplace(LowerAscii(std::string_view(FLines[I]).substr(0, Eq)), I);
    }
}

void TMacComments::LoadFromText(std::string_view Text)
{
    FLines = platform::SplitTextLines(Text);
    Reindex();
    FChanged = true;
}

std::string TMacComments::Text() const
{
    std::string R;
    for (const auto& L : FLines) {
        R += L;
        R += "\r\n";
    }
    return R;
}

void TMacComments::LoadFromFile(const std::string& FileName)
{
    std::error_code Ec;
    if (!std::filesystem::exists(FileName, Ec)) {
        Clear();
        FEncoding = TEncoding::Utf8;
        FChanged = false;
        return;
    }
    TEncoding Read = TEncoding::Utf8;
    const std::string Decoded = DecodeFileText(platform::ReadWholeFile(FileName), Read);
    // The decoding took the byte-order mark off; a U+FEFF after it is the
    // first line's text, which must survive the next save.
    FLines.clear();
    platform::TextLines Reader(Decoded);
    for (std::string_view Line; Reader.Next(Line);)
        FLines.emplace_back(Line);
    Reindex();
    FEncoding = Read;
    FChanged = false;
}

void TMacComments::SaveToFile(const std::string& FileName)
{
    if (!FChanged)
        return;
    platform::ReplaceFileAtomically(FileName, EncodeFileText(Text(), FEncoding));
    FChanged = false;
}
