#include "settings/LangChanger.h"

#include "platform/AtomicFile.h"
#include "platform/Utf8.h"
#include "settings/uXMLStorage.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char* const TranslationsSection = "Translations";
const char* const MissingValue = "<-- Error -->";

std::string ReplaceEnter(std::string Text)
{
    static const std::string Enter = "{ENTER}";
    std::size_t Pos = 0;
    while ((Pos = Text.find(Enter, Pos)) != std::string::npos) {
        Text.replace(Pos, Enter.size(), "\r\n");
        Pos += 2;
    }
    return Text;
}

std::string UpperAscii(std::string Text)
{
    for (char& C : Text) {
        if (C >= 'a' && C <= 'z') {
            C = static_cast<char>(C - 'a' + 'A');
        }
    }
    return Text;
}

// Far above any language file; a file beyond it is no language file.
constexpr std::size_t MaxLanguageFileSize = std::size_t{16} << 20;

// False when the file cannot be read, with the reason; a named pipe or a
// device in the language file's place is refused at once rather than waited
// on.
bool ReadFileBytes(const std::string& Path, std::string& Bytes, std::string* Reason = nullptr)
{
    try {
        Bytes = platform::ReadWholeFile(Path, MaxLanguageFileSize);
    } catch (const platform::EFileError& E) {
        if (Reason) {
            *Reason = E.Reason;
        }
        return false;
    }
    return true;
}

// The class library's integer conversion: optional sign, decimal digits or a
// hexadecimal number after "$" or "0x".
bool ParseInteger(const std::string& Text, std::int64_t& Value)
{
    std::string_view T = platform::TrimProfileBlanks(Text);
    bool Negative = false;
    if (!T.empty() && (T.front() == '-' || T.front() == '+')) {
        Negative = T.front() == '-';
        T.remove_prefix(1);
    }
    int Base = 10;
    if (!T.empty() && T.front() == '$') {
        Base = 16;
        T.remove_prefix(1);
    } else if (T.size() > 1 && T[0] == '0' && (T[1] == 'x' || T[1] == 'X')) {
        Base = 16;
        T.remove_prefix(2);
    }
    if (T.empty()) {
        return false;
    }
    std::uint64_t Magnitude = 0;
    auto [End, Err] = std::from_chars(T.data(), T.data() + T.size(), Magnitude, Base);
    if (Err != std::errc() || End != T.data() + T.size()) {
        return false;
    }
    constexpr std::uint64_t Limit = std::numeric_limits<std::int64_t>::max();
    if (Negative) {
        if (Magnitude > Limit + 1) {
            return false;
        }
        Value = Magnitude == Limit + 1 ? std::numeric_limits<std::int64_t>::min()
                                       : -static_cast<std::int64_t>(Magnitude);
    } else {
        if (Magnitude > Limit) {
            return false;
        }
        Value = static_cast<std::int64_t>(Magnitude);
    }
    return true;
}

// A number with "." or "," as the decimal separator, whatever the locale:
// language files are shared between users of every locale.
bool ParseFloat(const std::string& Text, double& Value)
{
    std::string T(platform::TrimProfileBlanks(Text));
    for (char& C : T) {
        if (C == ',') {
            C = '.';
        }
    }
    const char* Begin = T.data();
    if (!T.empty() && T.front() == '+') {
        ++Begin;
    }
    if (Begin == T.data() + T.size()) {
        return false;
    }
    auto [End, Err] = std::from_chars(Begin, T.data() + T.size(), Value);
    return Err == std::errc() && End == T.data() + T.size() && std::isfinite(Value);
}

std::vector<std::string> SplitList(std::string Value, const std::string& Separator)
{
    std::vector<std::string> Items;
    std::size_t Pos;
    while ((Pos = Value.find(Separator)) != std::string::npos) {
        Items.emplace_back(platform::TrimProfileBlanks(std::string_view(Value).substr(0, Pos)));
        Value.erase(0, Pos + Separator.size());
    }
    std::string_view Rest = platform::TrimProfileBlanks(Value);
    if (!Rest.empty()) {
        Items.emplace_back(Rest);
    }
    return Items;
}

} // namespace

std::string NormaliseLanguageText(const std::string& Bytes)
{
    std::string_view Rest(Bytes);
    bool Bom = platform::StripUtf8Bom(Rest);
    std::string Out;
    Out.reserve(Bytes.size() + Bytes.size() / 8 + 5);
    platform::TextLines Lines(Rest);
    bool First = true;
    for (std::string_view Line; Lines.Next(Line); First = false) {
        if (Line.find('=') == std::string_view::npos) {
            Line = platform::TrimProfileBlanks(Line);
            // Byte-order marks that open the first line once its blanks are
            // gone (behind the file's own mark, or hidden by blanks) are the
            // text's one mark, kept in front where the profile reader takes
            // it as such; left in the line, the next reading would strip
            // them and trim the line again, so normalising twice would not
            // give the same text.
            while (First && Line.starts_with(platform::Utf8Bom)) {
                Bom = true;
                Line = platform::TrimProfileBlanks(Line.substr(platform::Utf8Bom.size()));
            }
            Out += Line;
            // A section header that lost its "]" is still a header to the
            // profile reader; an "=" would turn it into a key and hide every
            // translation below it.
            if (!Line.empty() && Line.back() != ']' && Line.front() != '[') {
                Out += '=';
            }
        } else {
            Out += Line;
        }
        Out += "\r\n";
    }
    return Bom ? std::string(platform::Utf8Bom) + Out : Out;
}

TLangChanger::TLangChanger() : FSeparator(",") {}

void TLangChanger::SetLangFile(const std::string& Value)
{
    if (Value == FLangFile) {
        return;
    }
    FLangFile = std::string(platform::TrimProfileBlanks(Value));
    // The file is the user's (or the program's) and is never rewritten:
    // lines without "=" are made keys in memory each time it is read.
    Cached = false;
}

void TLangChanger::SetSeparator(const std::string& Value)
{
    if (Value == FSeparator) {
        return;
    }
    FSeparator = platform::TrimProfileBlanks(Value).empty() ? std::string(",") : Value;
}

const platform::IniProfile& TLangChanger::Profile()
{
    struct stat St {};
    if (FLangFile.empty() || ::stat(FLangFile.c_str(), &St) != 0) {
        Cached = false;
        CachedProfile = {};
        return CachedProfile;
    }
    if (Cached && St.st_dev == CachedDev && St.st_ino == CachedIno && St.st_size == CachedSize &&
        St.st_mtim.tv_sec == CachedMtime.tv_sec && St.st_mtim.tv_nsec == CachedMtime.tv_nsec) {
        return CachedProfile;
    }
    std::string Bytes;
    std::string Reason;
    const bool Read = ReadFileBytes(FLangFile, Bytes, &Reason);
    CachedProfile =
        Read ? platform::IniProfile::Parse(NormaliseLanguageText(Bytes)) : platform::IniProfile();
    Cached = true;
    CachedDev = St.st_dev;
    CachedIno = St.st_ino;
    CachedSize = St.st_size;
    CachedMtime = St.st_mtim;
    // Said once for this file as it stands (a message's own event loop may
    // translate again: the cache answers); the built-in texts are shown.
    if (!Read) {
        ShowSettingsError("Can't read file " + FLangFile + ": " + Reason);
    }
    return CachedProfile;
}

std::string TLangChanger::TranslateString(const std::string& Text)
{
    // Raw keys ("MACColumns0", "sError") are no texts for a user: a key
    // that the language file does not have takes the built-in text.
    static const platform::IniProfile BuiltIn = platform::IniProfile::Parse(BuiltInLanguageText());
    std::string Result = BuiltIn.ReadString(TranslationsSection, Text, Text);
    if (!FLangFile.empty()) {
        Result = Profile().ReadString(TranslationsSection, Text, Result);
    }
    return ReplaceEnter(std::move(Result));
}

void TLangChanger::ReadSectionKeys(const std::string& Section, std::vector<std::string>& Strings)
{
    Strings = Profile().SectionKeys(Section);
}

void TLangChanger::TranslateForm(TPropertyObject* Form)
{
    if (FLangFile.empty()) {
        return;
    }
    std::vector<std::string> Keys;
    ReadSectionKeys(TranslationsSection, Keys);
    if (Keys.empty()) {
        return;
    }
    std::vector<std::unique_ptr<TPropertyObject>> Listed;
    std::vector<TPropertyObject*> Forms;
    if (Form != nullptr) {
        Forms.push_back(Form);
    } else if (ScreenForms) {
        Listed = ScreenForms();
        for (auto& F : Listed) {
            if (F) {
                Forms.push_back(F.get());
            }
        }
    }
    std::vector<std::string> ClassNames;
    for (TPropertyObject* F : Forms) {
        ClassNames.push_back(UpperAscii(F->ClassName()));
    }
    for (const std::string& Key : Keys) {
        std::size_t Dot = Key.find('.');
        if (Dot == std::string::npos) {
            continue; // a text key, not a form key
        }
        std::string ClassName = UpperAscii("T" + Key.substr(0, Dot));
        for (std::size_t I = 0; I < Forms.size(); ++I) {
            if (ClassNames[I] != ClassName) {
                continue;
            }
            // The profile may be reread by a property setter's side effects;
            // take the value afresh for each form.
            std::string Value =
                ReplaceEnter(Profile().ReadString(TranslationsSection, Key, MissingValue));
            SetPropertyByPath(*Forms[I], Key.substr(Dot + 1), Value);
        }
    }
}

void TLangChanger::SetPropertyByPath(TPropertyObject& Root, const std::string& Path,
                                     const std::string& Value)
{
    std::string Rest = Path;
    std::unique_ptr<TPropertyObject> Held; // keeps the current object alive
    TPropertyObject* Obj = &Root;

    std::size_t Dot = Rest.find('.');
    if (Dot != std::string::npos) {
        if (auto Component = Root.FindComponent(Rest.substr(0, Dot))) {
            Held = std::move(Component);
            Obj = Held.get();
            Rest.erase(0, Dot + 1);
        }
    }
    while ((Dot = Rest.find('.')) != std::string::npos) {
        std::unique_ptr<TPropertyObject> Next = Obj->ObjectProperty(Rest.substr(0, Dot));
        if (!Next) {
            return;
        }
        Held = std::move(Next);
        Obj = Held.get();
        Rest.erase(0, Dot + 1);
    }

    switch (Obj->PropertyKind(Rest)) {
    case TPropertyKind::None:
    case TPropertyKind::Other: // enumerations, sets, events: not for language files
        return;
    case TPropertyKind::Integer: {
        std::int64_t N = 0;
        if (ParseInteger(Value, N) && N >= std::numeric_limits<std::int32_t>::min() &&
            N <= std::numeric_limits<std::int32_t>::max()) {
            Obj->SetInteger(Rest, N);
        }
        return;
    }
    case TPropertyKind::Int64: {
        std::int64_t N = 0;
        if (ParseInteger(Value, N)) {
            Obj->SetInteger(Rest, N);
        }
        return;
    }
    case TPropertyKind::Float: {
        double D = 0;
        if (ParseFloat(Value, D)) {
            Obj->SetFloat(Rest, D);
        }
        return;
    }
    case TPropertyKind::String:
        Obj->SetString(Rest, Value);
        return;
    case TPropertyKind::StringList:
        Obj->SetStringList(Rest, SplitList(Value, FSeparator));
        return;
    }
}
