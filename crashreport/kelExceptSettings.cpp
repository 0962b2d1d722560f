#include "crashreport/kelExceptSettings.h"

#include "crashlib/kelCrypt.h"
#include "crashlib/kelStrings.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <pwd.h>
#include <sys/utsname.h>
#include <unistd.h>

static_assert(SettingDefaults.size() == 136, "every key the settings were designed with");

namespace {

// --- Reading and writing the stream -------------------------------------------

TSettingKind KindOf(const TStreamValue& V)
{
    switch (V.Kind) {
    case TStreamValueKind::svInt:
        return skInt;
    case TStreamValueKind::svBool:
        return skBool;
    case TStreamValueKind::svText:
        break;
    }
    return skText;
}

TSettingEntry* FindIn(std::vector<TSettingEntry>& Table, std::string_view Name)
{
    for (auto& E : Table)
        if (SameSettingName(E.Name, Name))
            return &E;
    return nullptr;
}

// One line on stderr, once per process and kind of trouble: the settings are
// read where nobody may be watching, and a broken section must not flood.
void ReportOnce(std::atomic_flag& Said, const std::string& Line)
{
    if (!Said.test_and_set())
        std::fprintf(stderr, "kelExcept: %s\n", Line.c_str());
}
std::atomic_flag SaidUnknownTag, SaidTruncated, SaidPassword;

// --- Passwords -------------------------------------------------------------------

constexpr std::uint64_t ServerCounter = 0x6b656c4578636570;  // "kelExcep"
constexpr std::uint64_t AccountCounter = 0x5461636365737321; // "Taccess!"

std::string PasswordCipherKey(std::string_view Material)
{
    // Never empty, so that an empty server or account still keys the cipher.
    return "TKelExcept:" + std::string(Material);
}

void Pad(std::string& S)
{
    const std::size_t N = 8 - S.size() % 8;
    S.append(N, static_cast<char>(N));
}

// One deciphering pass; false unless it found the padding the enciphering
// pass put there.
bool Unpad(std::string& S, std::string_view Material, std::uint64_t Counter)
{
    const std::size_t Before = S.size();
    if (Before == 0 || Before % 8 != 0 || !CryptStrUnpad(S, PasswordCipherKey(Material), Counter))
        return false;
    return S.size() < Before;
}

// --- Places and names ----------------------------------------------------------

std::string WithoutTrailingSlash(std::string Path)
{
    while (Path.size() > 1 && Path.back() == '/')
        Path.pop_back();
    return Path;
}

// Folder + "/" + Rest, without doubling the "/" of the root.
std::string InFolder(const std::string& Folder, std::string_view Rest)
{
    return (Folder == "/" ? Folder : Folder + "/") + std::string(Rest);
}

std::string HomeFolder()
{
    if (const char* Home = std::getenv("HOME"); Home != nullptr && Home[0] == '/')
        return WithoutTrailingSlash(Home);
    struct passwd Pw, *Found = nullptr;
    char Buf[4096];
    if (getpwuid_r(getuid(), &Pw, Buf, sizeof Buf, &Found) == 0 && Found != nullptr &&
        Found->pw_dir != nullptr && Found->pw_dir[0] == '/')
        return WithoutTrailingSlash(Found->pw_dir);
    return "/";
}

// An XDG base folder: the variable when it holds an absolute path, else the
// fallback below the home folder.
std::string XdgFolder(const char* Variable, std::string_view Fallback)
{
    if (const char* V = std::getenv(Variable); V != nullptr && V[0] == '/')
        return WithoutTrailingSlash(V);
    return WithoutTrailingSlash(InFolder(HomeFolder(), Fallback));
}

// The desktop folder that xdg-user-dirs names in user-dirs.dirs
// (XDG_DESKTOP_DIR="$HOME/Desktop"); $HOME/Desktop without one.
std::string DesktopFolder()
{
    const std::string Home = HomeFolder();
    std::ifstream In(InFolder(XdgFolder("XDG_CONFIG_HOME", ".config"), "user-dirs.dirs"));
    std::string Found;
    for (std::string Line; std::getline(In, Line);) {
        std::string_view L = Line;
        while (!L.empty() && (L.front() == ' ' || L.front() == '\t'))
            L.remove_prefix(1);
        constexpr std::string_view Key = "XDG_DESKTOP_DIR=\"";
        if (L.substr(0, Key.size()) != Key)
            continue;
        L.remove_prefix(Key.size());
        const auto End = L.find('"');
        if (End == std::string_view::npos)
            continue;
        L = L.substr(0, End);
        if (L.substr(0, 5) == "$HOME" && (L.size() == 5 || L[5] == '/'))
            Found = L.size() == 5 ? Home : InFolder(Home, L.substr(6));
        else if (!L.empty() && L[0] == '/')
            Found = std::string(L);
    }
    return WithoutTrailingSlash(Found.empty() ? InFolder(Home, "Desktop") : Found);
}

std::string ModuleFileName(HModule Module)
{
    if (Module != 0)
        for (const auto& M : GetModuleList())
            if (M.Base == Module)
                return M.FileName;
    char Buf[4096];
    const ssize_t N = readlink("/proc/self/exe", Buf, sizeof Buf - 1);
    return N > 0 ? std::string(Buf, static_cast<std::size_t>(N)) : std::string();
}

std::string FileNamePart(std::string_view Path)
{
    const auto Slash = Path.rfind('/');
    return std::string(Slash == std::string_view::npos ? Path : Path.substr(Slash + 1));
}

std::atomic<TPlaceholderClock> PlaceholderClock{nullptr};

// Replaces Placeholder (any case) by what Value makes, asked only when the
// placeholder occurs.
template <class F> void ReplaceWhenFound(std::string& Text, std::string_view Placeholder, F Value)
{
    if (PosTextA(Placeholder, Text) != 0)
        ReplaceTextA(Text, Placeholder, Value());
}

std::string Pad2(int Value)
{
    return IntToStrPadA(Value, 2, '0');
}

bool IsPasswordKey(std::string_view Name)
{
    return FindPasswordKey(Name) != nullptr;
}

} // namespace

// ---------------------------------------------------------------------------
// Stream

TSettingsStreamContents ReadSettingsStream(std::string_view Stream)
{
    TSettingsStreamContents C;
    if (Stream.substr(0, SettingsStreamHead.size()) != SettingsStreamHead)
        return C;
    C.HeadFound = true;
    TStreamReader R(Stream.substr(SettingsStreamHead.size()));
    for (;;) {
        TStreamProperty P;
        C.Stop = R.ReadProperty(P);
        if (C.Stop == TStreamStatus::ssUnknownTag)
            C.BadTag = R.LastTag();
        if (C.Stop != TStreamStatus::ssOk)
            return C;
        TSettingEntry* E = FindIn(C.Entries, P.Name);
        if (E == nullptr) {
            C.Entries.emplace_back();
            E = &C.Entries.back();
            E->Name = P.Name;
        }
        E->Kind = KindOf(P.Value);
        E->Bool = P.Value.Bool;
        E->Int = P.Value.Int;
        E->Text = std::move(P.Value.Text);
    }
}

std::string WriteSettingsStream(const std::vector<TSettingEntry>& Entries)
{
    TStreamWriter W;
    W.WriteSignature();
    W.WriteObjectHead("TKelExcept", "kelExcept");
    for (const auto& E : Entries) {
        switch (E.Kind) {
        case skBool:
            W.WriteBool(E.Name, E.Bool);
            break;
        case skInt:
            W.WriteInt(E.Name, E.Int);
            break;
        case skText:
            W.WriteText(E.Name, E.Text);
            break;
        }
    }
    W.WriteEnd();
    return W.Bytes();
}

// ---------------------------------------------------------------------------
// Table

std::shared_ptr<TModuleSettings> TModuleSettings::FromStream(std::string_view Stream)
{
    std::shared_ptr<TModuleSettings> T(
        new TModuleSettings([Copy = std::string(Stream)] { return Copy; }));
    return T->Load() ? T : nullptr;
}

bool TModuleSettings::Load()
{
    TSettingsStreamContents C = ReadSettingsStream(Source());
    if (!C.HeadFound)
        return false;
    if (C.Stop == TStreamStatus::ssUnknownTag)
        ReportOnce(SaidUnknownTag,
                   "Internal error: Invalid settings resource ($" + CardToHexA(C.BadTag) + ").");
    else if (C.Stop == TStreamStatus::ssTruncated)
        ReportOnce(SaidTruncated, "the settings section ends inside a setting; the settings "
                                  "before it are kept.");
    for (const auto& K : PasswordKeys) {
        TSettingEntry* P = FindIn(C.Entries, K.Password);
        if (P == nullptr || P->Kind != skText || P->Text.empty())
            continue;
        auto Material = [&](std::string_view Name) {
            const TSettingEntry* E = FindIn(C.Entries, Name);
            return E != nullptr && E->Kind == skText ? E->Text : std::string();
        };
        auto Plain = DecipherPassword(P->Text, Material(K.Server), Material(K.Account));
        if (!Plain)
            ReportOnce(SaidPassword, "\"" + std::string(K.Password) +
                                         "\" cannot be deciphered and is left empty.");
        P->Text = Plain.value_or(std::string());
    }
    std::unique_lock Guard(Lock);
    Table = std::move(C.Entries);
    return true;
}

void TModuleSettings::Reload()
{
    if (!Load()) {
        std::unique_lock Guard(Lock);
        Table.clear();
    }
}

std::optional<TSettingEntry> TModuleSettings::Find(std::string_view Name, TSettingKind Kind) const
{
    std::shared_lock Guard(Lock);
    for (const auto& E : Table)
        if (SameSettingName(E.Name, Name))
            return E.Kind == Kind ? std::optional<TSettingEntry>(E) : std::nullopt;
    return std::nullopt;
}

bool TModuleSettings::Write(std::string_view Name, TSettingKind Kind, bool Bool, std::int32_t Int,
                            std::string_view Text)
{
    if (Name.empty() || Name.size() > 255)
        return false;
    if (const TSettingDefault* D = FindSettingDefault(Name); D != nullptr && D->Kind != Kind)
        return false;
    std::unique_lock Guard(Lock);
    TSettingEntry* E = FindIn(Table, Name);
    if (E == nullptr) {
        Table.emplace_back();
        E = &Table.back();
        E->Name = Name;
        E->Kind = Kind;
    } else if (E->Kind != Kind) {
        return false;
    }
    E->Bool = Bool;
    E->Int = Int;
    E->Text = Text;
    return true;
}

bool TModuleSettings::ChangeText(std::string_view Name, std::string_view Default,
                                 const std::function<std::string(const std::string&)>& Change)
{
    std::unique_lock Guard(Lock);
    TSettingEntry* E = FindIn(Table, Name);
    if (E != nullptr && E->Kind != skText)
        return false;
    std::string Text = Change(E != nullptr ? E->Text : std::string(Default));
    if (E == nullptr) {
        Table.emplace_back();
        E = &Table.back();
        E->Name = Name;
        E->Kind = skText;
    }
    E->Text = std::move(Text);
    return true;
}

std::vector<TSettingEntry> TModuleSettings::Entries() const
{
    std::shared_lock Guard(Lock);
    return Table;
}

std::shared_ptr<TModuleSettings> AcquireModuleSettings(HModule)
{
    static std::mutex Guard;
    static std::weak_ptr<TModuleSettings> Shared;
    std::lock_guard Lock(Guard);
    if (auto T = Shared.lock())
        return T;
    std::shared_ptr<TModuleSettings> T(
        new TModuleSettings([] { return LoadResourceStr(0, 10, "TKELEXCEPT"); }));
    if (!T->Load())
        return nullptr;
    Shared = T;
    return T;
}

// ---------------------------------------------------------------------------
// Passwords

const TPasswordKey* FindPasswordKey(std::string_view Name)
{
    for (const auto& K : PasswordKeys)
        if (SameSettingName(K.Password, Name))
            return &K;
    return nullptr;
}

std::string EncipherPassword(std::string_view Plain, std::string_view Server,
                             std::string_view Account)
{
    std::string S(Plain);
    if (!Account.empty()) {
        Pad(S);
        BlowfishBuf(S.data(), S.size(), true, false, AccountCounter, PasswordCipherKey(Account));
    }
    Pad(S);
    BlowfishBuf(S.data(), S.size(), true, false, ServerCounter, PasswordCipherKey(Server));
    return Base64Encode(S);
}

std::optional<std::string> DecipherPassword(std::string_view Stored, std::string_view Server,
                                            std::string_view Account)
{
    bool Valid = false;
    std::string S = Base64Decode(Stored, &Valid);
    if (!Valid || !Unpad(S, Server, ServerCounter))
        return std::nullopt;
    if (!Account.empty() && !Unpad(S, Account, AccountCounter))
        return std::nullopt;
    if (SanitizeUtf8(S) != S)
        return std::nullopt;
    return S;
}

// ---------------------------------------------------------------------------
// Texts

void SetPlaceholderClock(TPlaceholderClock Clock)
{
    PlaceholderClock = Clock;
}

std::string ExpandPlaceholders(std::string_view Text, HModule Module,
                               const TPlaceholderTexts& Texts)
{
    std::string S(Text);
    if (S.find('%') == std::string::npos)
        return S;
    const std::string AppFile = ModuleFileName(0);
    const std::string ModFile = Module == 0 ? AppFile : ModuleFileName(Module);
    ReplaceWhenFound(S, "%appname%", [&] { return FileNamePart(AppFile); });
    ReplaceWhenFound(S, "%modname%", [&] { return FileNamePart(ModFile); });
    auto Version = [](const std::string& File) {
        std::string V = GetFileVersionA(File);
        return V.empty() ? std::string("?") : V;
    };
    ReplaceWhenFound(S, "%appversion%", [&] { return Version(AppFile); });
    ReplaceWhenFound(S, "%modversion%", [&] { return Version(ModFile); });

    if (Texts.ExceptClass)
        ReplaceTextA(S, "%exceptClass%", *Texts.ExceptClass);
    if (Texts.ExceptMsg)
        ReplaceTextA(S, "%exceptMsg%", Texts.ExceptMsg->empty() ? "Unknown" : *Texts.ExceptMsg);
    if (Texts.BugReport)
        ReplaceTextA(S, "%bugReport%", *Texts.BugReport);
    ReplaceTextA(S, "%LF%", "\r\n");

    if (PosTextA("%date", S) != 0 || PosTextA("%time%", S) != 0) {
        const TPlaceholderClock Clock = PlaceholderClock;
        const auto Now = Clock != nullptr ? Clock() : std::chrono::system_clock::now();
        const auto Ms =
            std::chrono::duration_cast<std::chrono::milliseconds>(Now.time_since_epoch());
        const std::time_t Seconds = static_cast<std::time_t>(Ms.count() / 1000);
        std::tm Local{};
        localtime_r(&Seconds, &Local);
        const std::string Date = IntToStrPadA(Local.tm_year + 1900, 4, '0') + "-" +
                                 Pad2(Local.tm_mon + 1) + "-" + Pad2(Local.tm_mday);
        const std::string Time = Pad2(Local.tm_hour) + ":" + Pad2(Local.tm_min) + ":" +
                                 Pad2(Local.tm_sec) + ", " +
                                 std::to_string((Ms.count() % 1000 + 1000) % 1000) + "ms";
        ReplaceTextA(S, "%date%", Date);
        ReplaceTextA(S, "%time%", Time);
        ReplaceTextA(S, "%datetime%", Date + ", " + Time);
    }

    ReplaceWhenFound(S, "%computerName%", [] {
        struct utsname U {};
        return uname(&U) == 0 ? std::string(U.nodename) : std::string();
    });
    ReplaceWhenFound(S, "%os%", [] { return WideToUtf8(GetOsInfo().Description); });
    if (Texts.ErrorDetails)
        ReplaceTextA(S, "%errorDetails%", *Texts.ErrorDetails);

    ReplaceWhenFound(S, "%desktop%", [] { return DesktopFolder(); });
    ReplaceWhenFound(S, "%userappdata%", [] { return XdgFolder("XDG_DATA_HOME", ".local/share"); });
    ReplaceWhenFound(S, "%commonappdata%", [] { return std::string("/var/lib"); });
    ReplaceWhenFound(S, "%localappdata%",
                     [] { return XdgFolder("XDG_STATE_HOME", ".local/state"); });
    return S;
}

std::string CrashReportFolder()
{
    return InFolder(XdgFolder("XDG_STATE_HOME", ".local/state"), "tolvex");
}

std::string MakeFullPath(std::string_view FileName)
{
    std::string Path(FileName);
    if (Path.empty() || Path[0] != '/')
        Path = CrashReportFolder() + "/" + Path;
    std::vector<std::string_view> Steps;
    std::string_view Rest = Path;
    while (!Rest.empty()) {
        const auto Slash = Rest.find('/');
        const std::string_view Step = Rest.substr(0, Slash);
        Rest = Slash == std::string_view::npos ? std::string_view() : Rest.substr(Slash + 1);
        if (Step.empty() || Step == ".")
            continue;
        if (Step == "..") {
            if (!Steps.empty())
                Steps.pop_back();
            continue;
        }
        Steps.push_back(Step);
    }
    std::string Full;
    for (auto Step : Steps)
        Full += "/" + std::string(Step);
    return Full.empty() ? "/" : Full;
}

int TidyAddressList(std::string& List)
{
    ReplaceStrA(List, ";", ",");
    std::u16string Wide = Utf8ToWide(List);
    TrimListW(Wide, u',');
    List = WideToUtf8(Wide);
    return SubStrCountW(Wide, u',');
}

// ---------------------------------------------------------------------------
// The settings object

IKESettings::~IKESettings() = default;
IKEModuleSettings::~IKEModuleSettings() = default;

TIKESettings::TIKESettings(HModule AModule, std::shared_ptr<TModuleSettings> ATable)
    : FModule(AModule), Table(std::move(ATable))
{
}

// The lists hold this object only weakly, so there is nothing to detach here.
TIKESettings::~TIKESettings() = default;

std::optional<TSettingEntry> TIKESettings::Read(std::string_view Name, TSettingKind Kind) const
{
    return Table ? Table->Find(Name, Kind) : std::nullopt;
}

bool TIKESettings::GetBoolSetting(TBoolKey Key) const
{
    if (auto E = Read(Key.Name, skBool))
        return E->Bool;
    const TSettingDefault* D = FindSettingDefault(Key.Name);
    return D != nullptr && D->Kind == skBool && D->Int != 0;
}

std::int32_t TIKESettings::GetIntSetting(TIntKey Key) const
{
    if (auto E = Read(Key.Name, skInt))
        return E->Int;
    const TSettingDefault* D = FindSettingDefault(Key.Name);
    return D != nullptr && D->Kind == skInt ? D->Int : 0;
}

std::string TIKESettings::GetRawTextSetting(TTextKey Key) const
{
    if (auto E = Read(Key.Name, skText))
        return std::move(E->Text);
    const TSettingDefault* D = FindSettingDefault(Key.Name);
    return D != nullptr && D->Kind == skText ? std::string(D->Text) : std::string();
}

std::string TIKESettings::GetTextSetting(TTextKey Key) const
{
    std::string Text = GetRawTextSetting(Key);
    // The freeze message is shown while the program hangs: nothing is looked
    // up for it. A password is a password, whatever "%" it holds.
    if (SameSettingName(Key.Name, "FrozenMsg") || IsPasswordKey(Key.Name))
        return Text;
    return ExpandPlaceholders(Text, FModule, PlaceholderTexts());
}

bool TIKESettings::SetBoolSetting(TBoolKey Key, bool Value)
{
    return Table && Table->Write(Key.Name, skBool, Value, 0, {});
}

bool TIKESettings::SetIntSetting(TIntKey Key, std::int32_t Value)
{
    return Table && Table->Write(Key.Name, skInt, false, Value, {});
}

bool TIKESettings::SetTextSetting(TTextKey Key, std::string_view Value)
{
    return Table && Table->Write(Key.Name, skText, false, 0, Value);
}

std::shared_ptr<IKEFields> TIKESettings::AddFields()
{
    std::lock_guard Guard(ListsLock);
    if (!Fields)
        Fields = NewFields({}, weak_from_this(), GetTextSetting("AddFields"));
    return Fields;
}

std::shared_ptr<IKEAttachments> TIKESettings::AddAttachs()
{
    std::lock_guard Guard(ListsLock);
    if (!Attachments)
        Attachments = NewAttachments(weak_from_this(), GetTextSetting("AddAttachs"));
    return Attachments;
}

bool TIKESettings::PluginEnabled(std::string_view Name) const
{
    return ListContainsTextW(Utf8ToWide(GetTextSetting("Plugins")), Utf8ToWide(Name), u'|');
}

void TIKESettings::SetPluginEnabled(std::string_view Name, bool Enabled)
{
    if (Name.empty() || !Table)
        return;
    const std::u16string Wide = Utf8ToWide(Name);
    Table->ChangeText("Plugins", FindSettingDefault("Plugins")->Text, [&](const std::string& Old) {
        if (ListContainsTextW(Utf8ToWide(Old), Wide, u'|') == Enabled)
            return Old;
        if (Enabled)
            return Old.empty() ? std::string(Name) : Old + "|" + std::string(Name);
        std::string List = "|" + Old + "|";
        ReplaceTextA(List, "|" + std::string(Name) + "|", "|", true);
        return List.size() <= 2 ? std::string() : List.substr(1, List.size() - 2);
    });
}

std::string TIKESettings::VersionText() const
{
    return GetFileVersionA(ModuleFileName(0));
}

std::optional<std::vector<std::string>> TIKESettings::FindAssistant(std::string_view Name) const
{
    for (int N = 1;; ++N) {
        const std::string Key = "Assistant" + std::to_string(N);
        const std::string Text = GetTextSetting(TTextKey::Named(Key));
        if (Text.empty())
            return std::nullopt;
        if (SubStrA(Text, 1, '|') != Name)
            continue;
        const bool NoScreenshot = ScreenshotSwitchOff() || GetIntSetting("ScrShotDepth") == 0;
        std::vector<std::string> Forms;
        for (int I = 2, Count = SubStrCountA(Text, '|'); I <= Count; ++I) {
            std::string Form = SubStrA(Text, I, '|');
            if (!(NoScreenshot && Form == "ScrShotForm"))
                Forms.push_back(std::move(Form));
        }
        return Forms;
    }
}

bool TIKESettings::MinDebugInfo() const
{
    return GetRawTextSetting(TTextKey::Named("MinDebugInfo")).empty();
}

bool TIKESettings::CrashOnOverrun() const
{
    return GetBoolSetting("CrashOnBuffer") && !GetBoolSetting("CrashOnUnderrun");
}

bool TIKESettings::CrashOnUnderrun() const
{
    return GetBoolSetting("CrashOnBuffer") && GetBoolSetting("CrashOnUnderrun");
}

void TIKESettings::ReloadModuleSettings()
{
    if (Table)
        Table->Reload();
}

std::shared_ptr<TIKESettings> NewSettings(HModule Module, bool Load)
{
    return std::make_shared<TIKESettings>(Module, Load ? AcquireModuleSettings(Module) : nullptr);
}

std::shared_ptr<TIKESettings> NewSettingsFromStream(std::string_view Stream)
{
    return std::make_shared<TIKESettings>(0, TModuleSettings::FromStream(Stream));
}
