#include "platform/IniProfile.h"

#include "platform/AtomicFile.h"
#include "platform/Utf8.h"

namespace platform {
namespace {

std::string Fold(std::string_view Text)
{
    std::string Result(Text);
    for (char& C : Result) {
        if (C >= 'A' && C <= 'Z') {
            C = static_cast<char>(C - 'A' + 'a');
        }
    }
    return Result;
}

std::string Unquote(std::string_view Value)
{
    if (Value.size() >= 2 && (Value.front() == '"' || Value.front() == '\'') &&
        Value.back() == Value.front()) {
        Value = Value.substr(1, Value.size() - 2);
    }
    return std::string(Value);
}

} // namespace

bool IsProfileBlank(char C)
{
    return static_cast<unsigned char>(C) <= 0x20 && C != '\0';
}

std::string_view TrimProfileBlanks(std::string_view Text)
{
    while (!Text.empty() && IsProfileBlank(Text.front())) {
        Text.remove_prefix(1);
    }
    while (!Text.empty() && IsProfileBlank(Text.back())) {
        Text.remove_suffix(1);
    }
    return Text;
}

IniProfile IniProfile::Parse(std::string_view Bytes)
{
    IniProfile Result;
    StripUtf8Bom(Bytes);
    TSection* Current = nullptr; // keys before the first section belong to none
    TextLines Lines(Bytes);
    for (std::string_view Line; Lines.Next(Line);) {
        Line = TrimProfileBlanks(Line);
        if (Line.empty() || Line.front() == ';') {
            continue;
        }
        if (Line.front() == '[') {
            std::string_view Name = Line.substr(1);
            Name = TrimProfileBlanks(Name.substr(0, Name.find(']')));
            std::string Folded = Fold(Name);
            auto Found = Result.SectionIndex.find(Folded);
            if (Found == Result.SectionIndex.end()) {
                Found = Result.SectionIndex.emplace(Folded, Result.Sections.size()).first;
                Result.Sections.push_back(TSection{std::string(Name), {}, {}});
            }
            Current = &Result.Sections[Found->second];
            continue;
        }
        std::size_t Eq = Line.find('=');
        if (Eq == std::string_view::npos || Current == nullptr) {
            continue;
        }
        std::string_view Key = TrimProfileBlanks(Line.substr(0, Eq));
        if (Key.empty()) {
            // A nameless key cannot be asked for, and in a key list it would
            // read as the list's end.
            continue;
        }
        std::string Folded = Fold(Key);
        if (Current->Index.count(Folded) != 0) {
            continue;
        }
        Current->Index.emplace(std::move(Folded), Current->Keys.size());
        Current->Keys.emplace_back(std::string(Key),
                                   Unquote(TrimProfileBlanks(Line.substr(Eq + 1))));
    }
    return Result;
}

IniProfile IniProfile::Load(const std::string& Path)
{
    try {
        return Parse(ReadWholeFile(Path));
    } catch (const EFileError&) {
        return {};
    }
}

const IniProfile::TSection* IniProfile::FindSection(std::string_view Name) const
{
    auto Found = SectionIndex.find(Fold(TrimProfileBlanks(Name)));
    return Found == SectionIndex.end() ? nullptr : &Sections[Found->second];
}

std::optional<std::string> IniProfile::Value(std::string_view Section, std::string_view Key) const
{
    const TSection* S = FindSection(Section);
    if (S == nullptr) {
        return std::nullopt;
    }
    auto Found = S->Index.find(Fold(TrimProfileBlanks(Key)));
    if (Found == S->Index.end()) {
        return std::nullopt;
    }
    return S->Keys[Found->second].second;
}

std::string IniProfile::ReadString(std::string_view Section, std::string_view Key,
                                   const std::string& Default) const
{
    std::optional<std::string> V = Value(Section, Key);
    return V ? *V : Default;
}

std::vector<std::string> IniProfile::SectionKeys(std::string_view Section) const
{
    std::vector<std::string> Result;
    if (const TSection* S = FindSection(Section)) {
        Result.reserve(S->Keys.size());
        for (const auto& [Key, Value] : S->Keys) {
            Result.push_back(Key);
        }
    }
    return Result;
}

std::vector<std::string> IniProfile::SectionNames() const
{
    std::vector<std::string> Result;
    for (const TSection& S : Sections) {
        Result.push_back(S.Name);
    }
    return Result;
}

} // namespace platform
