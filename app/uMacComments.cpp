#include "uMacComments.h"

#include "AtomicFile.h"
#include "Utf8.h"

#include <filesystem>

namespace {

std::string LowerAscii(std::string_view Text)
{
    std::string R(Text);
    for (char& C : R)
        if (C >= 'A' && C <= 'Z')
            C = static_cast<char>(C - 'A' + 'a');
    return R;
}

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
        return true;
    }
    std::string& Line = FLines[It->second];
    if (Value.empty()) {
        FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(It->second));
        Reindex();
        return true;
    }
    const std::string New = Line.substr(0, Line.find('=')) + "=" + Value;
    if (New == Line)
        return false;
    Line = New;
    return true;
}

void TMacComments::Clear()
{
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
        return;
    }
    LoadFromText(platform::ReadWholeFile(FileName));
}

void TMacComments::SaveToFile(const std::string& FileName) const
{
    platform::ReplaceFileAtomically(FileName, Text());
}
