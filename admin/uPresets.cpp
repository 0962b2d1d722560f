#include "admin/uPresets.h"

#include "engine/NetUtil.h"
#include "engine/uFormat.h"
#include "settings/Language.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <ctime>
#include <mutex>
#include <optional>

void TPreset::Assign(const TPreset& Source)
{
    Text = Source.Text;
    Name = Source.Name;
    Title = Source.Title;
    MessageType = Source.MessageType;
}

TPreset* TPresets::Items(int Index) const
{
    if (Index < 0 || Index >= Count())
        return nullptr;
    return FItems[static_cast<size_t>(Index)].get();
}

TPreset* TPresets::Add()
{
    FItems.push_back(std::make_unique<TPreset>());
    Modified = true;
    return FItems.back().get();
}

TPreset* TPresets::AddPreset(const std::string& Name, const std::string& Title,
                             std::int32_t MessageType, const std::string& Text)
{
    if (Name.empty())
        return nullptr;
    TPreset* P = Add();
    P->Name = Name;
    P->Title = Title;
    P->MessageType = MessageType;
    // A text typed in a memo has bare LFs; the file keeps CR LF.
    P->Text = NormaliseLineBreaks(Text);
    return P;
}

void TPresets::Delete(int Index)
{
    if (Index < 0 || Index >= Count())
        return;
    FItems.erase(FItems.begin() + Index);
    Modified = true;
}

void TPresets::Move(int FromIndex, int ToIndex)
{
    if (FromIndex < 0 || FromIndex >= Count() || ToIndex < 0 || ToIndex >= Count() ||
        FromIndex == ToIndex)
        return;
    auto Item = std::move(FItems[static_cast<size_t>(FromIndex)]);
    FItems.erase(FItems.begin() + FromIndex);
    FItems.insert(FItems.begin() + ToIndex, std::move(Item));
    Modified = true;
}

void TPresets::Clear()
{
    if (!FItems.empty())
        Modified = true;
    FItems.clear();
}

bool TPresets::SameAs(const TPresets& Other) const
{
    if (Count() != Other.Count())
        return false;
    for (int I = 0; I < Count(); ++I) {
        const TPreset& A = *Items(I);
        const TPreset& B = *Other.Items(I);
        if (A.Name != B.Name || A.Title != B.Title || A.Text != B.Text ||
            A.MessageType != B.MessageType)
            return false;
    }
    return true;
}

void TPresets::Assign(const TPresets& Source)
{
    if (&Source == this)
        return;
    const bool Changed = !SameAs(Source);
    FItems.clear();
    for (int I = 0; I < Source.Count(); ++I) {
        FItems.push_back(std::make_unique<TPreset>());
        FItems.back()->Assign(*Source.Items(I));
    }
    if (Changed)
        Modified = true;
}

bool TPresets::LoadFromFile(const std::string& FileName)
{
    TPresetsXMLStorage Storage(FileName);
    Storage.Load();
    Storage.LoadPresets("Presets", "Preset", *this);
    Modified = false;
    const bool Whole = !Storage.LoadFailed() && Storage.SkippedItems == 0;
    FPartlyRead.erase(std::remove(FPartlyRead.begin(), FPartlyRead.end(), FileName),
                      FPartlyRead.end());
    if (!Whole)
        FPartlyRead.push_back(FileName);
    // An unreadable file is reported by the store itself; skipped items are
    // said here, once for the whole file.
    if (Storage.SkippedItems > 0)
        ShowSettingsError(FormatChecked(
            Translate("sPresetsPartlyRead"),
            "%d preset(s) in the file %s could not be read. The file is left as it is.",
            {Storage.SkippedItems, FileName}));
    return Whole;
}

bool TPresets::SaveToFile(const std::string& FileName)
{
    if (std::find(FPartlyRead.begin(), FPartlyRead.end(), FileName) != FPartlyRead.end())
        return false;
    TPresetsXMLStorage Storage(FileName);
    Storage.Load();
    if (Storage.LoadFailed())
        return false;
    Storage.SavePresets("Presets", "Preset", *this);
    if (!Storage.Save())
        return false;
    Modified = false;
    return true;
}

namespace {

std::string ReplaceEnterMarks(const std::string& Text)
{
    static const std::string Mark = "{ENTER}";
    std::string Result;
    size_t I = 0;
    while (I < Text.size()) {
        if (Text[I] == '{' && Text.size() - I >= Mark.size()) {
            bool Match = true;
            for (size_t J = 0; J < Mark.size() && Match; ++J) {
                unsigned char C = static_cast<unsigned char>(Text[I + J]);
                Match = static_cast<char>(std::toupper(C)) == Mark[J];
            }
            if (Match) {
                Result += "\r\n";
                I += Mark.size();
                continue;
            }
        }
        Result += Text[I++];
    }
    return Result;
}

std::string CrLfToEnterMarks(const std::string& Text)
{
    std::string Result;
    for (size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n') {
            Result += "{ENTER}";
            ++I;
        } else {
            Result += Text[I];
        }
    }
    return Result;
}

// The stored type: "None" when missing or no number; nothing for a number
// outside the four types, which has no icon and no place in the type lists
// (taken as "None", it would be saved back as that).
std::optional<std::int32_t> ParseMessageType(const std::string& Text)
{
    std::int32_t Value = 0;
    const char* B = Text.data();
    const char* E = B + Text.size();
    auto [P, Ec] = std::from_chars(B, E, Value);
    if (Ec == std::errc::result_out_of_range)
        return std::nullopt;
    if (Ec != std::errc() || P != E)
        return MessageTypeNone;
    if (Value < MessageTypeNone || Value > MessageTypeError)
        return std::nullopt;
    return Value;
}

} // namespace

void TPresetsXMLStorage::LoadPresets(const std::string& Section, const std::string& Key,
                                     TPresets& Presets)
{
    // One item that cannot be read must not cost the ones after it.
    int Rejected = 0;
    const int Unreadable = ReadListElements(Section, Key, [&Presets, &Rejected](pugi::xml_node N) {
        const std::string Name = ElementValue(FindElement(N, "Name"));
        const std::string Title = ElementValue(FindElement(N, "Title"));
        const std::string Text = ReplaceEnterMarks(ElementValue(FindElement(N, "Text")));
        const std::optional<std::int32_t> Type =
            ParseMessageType(ElementValue(FindElement(N, "MessageType")));
        // One without a name, or of a type no list knows, is not taken
        // either; it is still in the file, which is then not written over.
        if (!Type || !Presets.AddPreset(Name, Title, *Type, Text))
            ++Rejected;
    });
    SkippedItems = Unreadable + Rejected;
}

void TPresetsXMLStorage::SavePresets(const std::string& Section, const std::string& Key,
                                     const TPresets& Presets)
{
    pugi::xml_node K = ClearedListElement(Section, Key);
    if (!K)
        return;
    for (int I = 0; I < Presets.Count(); ++I) {
        const TPreset& P = *Presets.Items(I);
        pugi::xml_node Item = K.append_child("Preset");
        SetElementValue(Item.append_child("Name"), P.Name);
        SetElementValue(Item.append_child("Title"), P.Title);
        SetElementValue(Item.append_child("Text"), CrLfToEnterMarks(NormaliseLineBreaks(P.Text)));
        SetElementValue(Item.append_child("MessageType"), std::to_string(P.MessageType));
    }
}

std::string NormaliseLineBreaks(const std::string& Text)
{
    std::string Result;
    Result.reserve(Text.size());
    for (size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] == '\n' && (I == 0 || Text[I - 1] != '\r'))
            Result += '\r';
        Result += Text[I];
    }
    return Result;
}

namespace {

std::mutex MacroLock;
std::optional<std::string> FComputerName, FUserName, FTimeNow;
bool FNamesLookedUp = false;
std::string FRealComputerName, FRealUserName;

std::string LocalTimeText()
{
    std::time_t T = std::time(nullptr);
    std::tm Tm{};
    localtime_r(&T, &Tm);
    char Buf[128];
    // The locale's date and time, as the desktop shows them.
    size_t N = std::strftime(Buf, sizeof Buf, "%x %X", &Tm);
    return std::string(Buf, N);
}

bool MatchAt(const std::string& Text, size_t Pos, const std::string& Macro)
{
    if (Text.size() - Pos < Macro.size())
        return false;
    for (size_t J = 0; J < Macro.size(); ++J)
        if (std::tolower(static_cast<unsigned char>(Text[Pos + J])) != Macro[J])
            return false;
    return true;
}

} // namespace

void SetPresetMacroValues(const std::string& ComputerName, const std::string& UserName,
                          const std::string& TimeNow)
{
    std::lock_guard Lock(MacroLock);
    FComputerName = ComputerName;
    FUserName = UserName;
    FTimeNow = TimeNow;
}

void ResetPresetMacroValues()
{
    std::lock_guard Lock(MacroLock);
    FComputerName.reset();
    FUserName.reset();
    FTimeNow.reset();
}

std::string ExpandPresetMacros(const std::string& Text)
{
    std::string Computer, User, Time;
    {
        std::lock_guard Lock(MacroLock);
        if (!FNamesLookedUp && (!FComputerName || !FUserName)) {
            // Looked up once: the names do not change during a run.
            GetLocalComputerName(FRealComputerName);
            GetLocalUserName(FRealUserName);
            FNamesLookedUp = true;
        }
        Computer = FComputerName ? *FComputerName : FRealComputerName;
        User = FUserName ? *FUserName : FRealUserName;
        Time = FTimeNow ? *FTimeNow : LocalTimeText();
    }
    const std::pair<std::string, const std::string*> Macros[] = {
        {"%computer_name%", &Computer}, {"%user_name%", &User}, {"%time_now%", &Time}};
    std::string Result;
    size_t I = 0;
    while (I < Text.size()) {
        bool Replaced = false;
        if (Text[I] == '%')
            for (const auto& [Macro, Value] : Macros)
                if (MatchAt(Text, I, Macro)) {
                    Result += *Value;
                    I += Macro.size();
                    Replaced = true;
                    break;
                }
        if (!Replaced)
            Result += Text[I++];
    }
    return Result;
}
