// The crash reporter's settings.
//
// Every setting comes from one place: the settings stream that the build
// writes into the program file as the non-loaded section ".rsrc.10.TKELEXCEPT"
// (tools/make_crash_resources makes it from a readable text). A program
// without that section, or with one that does not start with the exact
// 25-byte head, has no settings: every read answers the built-in default,
// every write fails, and the crash reporter stays dormant.
//
// The stream is read once into a table shared by every settings object of
// the process (one program, one table). Reads take the table's lock shared,
// writes exclusively; writes change that table only, never the file.
//
// Keys are checked when the program is compiled: TBoolKey, TIntKey and
// TTextKey accept a literal only when the defaults table below holds it with
// that kind ("Enabled" is a TBoolKey; "Enabeld" or an integer "Enabled" do not
// compile). Keys that have no default ("Assistant1", "MinDebugInfo") and names
// known only at run time go through ::Named. Texts are UTF-8.
#pragma once

#include "crashlib/kelTools.h"
#include "crashreport/kelExceptFields.h"
#include "crashreport/kelExceptStream.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

// --- Keys and their defaults -------------------------------------------------

enum TSettingKind : std::uint8_t { skText = 0, skInt = 1, skBool = 2 };

struct TSettingDefault {
    std::string_view Name;
    TSettingKind Kind;
    std::int32_t Int; // the integer, or 0 / 1 for a boolean
    std::string_view Text;
};

namespace settingdefaults {
constexpr TSettingDefault B(std::string_view Name, bool Value)
{
    return {Name, skBool, Value ? 1 : 0, {}};
}
constexpr TSettingDefault I(std::string_view Name, std::int32_t Value)
{
    return {Name, skInt, Value, {}};
}
constexpr TSettingDefault T(std::string_view Name, std::string_view Value = {})
{
    return {Name, skText, 0, Value};
}
} // namespace settingdefaults

// Every key with a default, in the order the settings were designed in.
// "AutoClip" is off: a report holds the user's name, the command line and raw
// stack bytes, and must not replace what the user copied unless asked to.
inline constexpr auto SettingDefaults = [] {
    using namespace settingdefaults;
    return std::array{
        // Booleans
        B("Enabled", false), B("NoSettings", true), B("CheckFreeze", false),
        B("WindowsLogo", false), B("ReportLeaks", false), B("CrashOnBuffer", false),
        B("CrashOnUnderrun", false), B("AutoSave", true), B("AutoSaveIfNotSent", true),
        B("AutoSend", false), B("AutoSendBox", false), B("AutoClip", false),
        B("PauseThreads", false), B("PlWaitBox", true), B("AutoContinue", false),
        B("SendBtnVis", true), B("SaveBtnVis", false), B("PrintBtnVis", false),
        B("ShowBtnVis", true), B("ContinueBtnVis", true), B("RestartBtnVis", true),
        B("CloseBtnVis", true), B("AutoShowBugRep", false), B("UglyBtns", false),
        B("SendInBackgr", true), B("UploadViaHttp", false), B("HttpSsl", false),
        B("FogBugz", false), B("BugZilla", false), B("Mantis", false), B("MailAsSmtpServer", false),
        B("MailAsSmtpClient", false), B("SmtpSsl", false), B("SmtpTls", false),
        B("MailViaMapi", true), B("MailViaMailto", true), B("AttachBugRep", true),
        B("AttachBugRepFile", true), B("DelBugRepFile", true), B("ScrShotAppOnly", true),
        B("AppendBugReps", true), B("NoDupExcepts", true), B("NoDupFreezes", true),
        B("ListThreads", true), B("CpuRegs", true), B("StackDump", true), B("ShowDisAsm", true),
        B("HideUglyItems", false), B("ShowRelAddrs", true), B("ShowRelLines", true),
        B("FormatDisAsm", false), B("F1NoBugRep", false), B("F1NoScrShot", false),
        B("F1NoHandlers", false), B("F1NoSuspend", false), B("F2NoBugRep", false),
        B("F2NoScrShot", false), B("F2NoHandlers", false), B("F2NoSuspend", false),
        B("GnNoBugRep", false), B("GnNoScrShot", false), B("GnNoHandlers", false),
        B("GnNoSuspend", false),
        // Integers ("FreezeTimeout" is the watchdog's base of milliseconds)
        I("FreezeTimeout", 60), I("AutoRestart", 0), I("AutoClose", 0), I("AutoDelay", 60),
        I("FocusedBtn", 0), I("HttpPort", 0), I("SmtpPort", 0), I("ScrShotDepth", 0),
        I("BugRepFileSize", 100000), I("DupExceptDef", 1), I("DupFreezeDef", 2),
        I("LimitDisAsm", 5), I("F1ShowCfg", 0), I("F2ShowCfg", 0), I("GnShowCfg", 0),
        I("VersionVar", 0),
        // Texts
        T("SendAssis"), T("SaveAssis"), T("PrintAssis"), T("HttpServer"), T("HttpAccount"),
        T("HttpPassword"), T("BugTrAccount"), T("BugTrPassword"), T("BugTrProject"), T("BugTrArea"),
        T("BugTrAssignTo"), T("SmtpServer"), T("SmtpAccount"), T("SmtpPassword"), T("MailAddr"),
        T("BugRepZip"), T("ScrShotZip"), T("AddAttachs"), T("MailFrom"), T("AddFields"),
        T("F1Classes"), T("F1Assis"), T("F2Classes"), T("F2Assis"), T("GnAssis"),
        T("BugRepSendAs", "bugreport.kbr"), T("ScrShotSendAs", "screenshot.png"),
        T("BugRepFile", "bugreport.kbr"), T("Plugins", "modules|processes|hardware"),
        T("TitleBar", "%appname%"), T("ExceptMsg", "An error occurred in the application."),
        T("FrozenMsg", "The application seems to be frozen."),
        T("BitFaultMsg", "The file \"%modname%\" seems to be corrupt!"),
        T("SendBtnTxt", "send bug report"), T("SaveBtnTxt", "save bug report"),
        T("PrintBtnTxt", "print bug report"), T("ShowBtnTxt", "show bug report"),
        T("ContinueBtnTxt", "continue application"), T("RestartBtnTxt", "restart application"),
        T("CloseBtnTxt", "close application"), T("OkBtnTxt", "&OK"), T("DetailsBtnTxt", "&Details"),
        T("PlWaitTitle", "Information"), T("PlWaitText", "Please wait a moment..."),
        T("BugTrTitle", "%appname%, %exceptMsg%"),
        T("BugTrDescr", "error details: \r\n%errorDetails%"), T("MailSubj", "bug report"),
        T("MailBody", "please find the bug report attached"),
        T("SendBoxTitle", "Sending bug report..."), T("PrepAttMsg", "Prepare attachments..."),
        T("MxLookMsg", "Searching for mail server..."), T("ConnMsg", "Connecting to server..."),
        T("SendMailMsg", "Sending mail..."), T("FieldMsg", "Setting fields..."),
        T("SendAttMsg", "Sending attachments..."), T("SendFinalMsg", "Finalizing..."),
        T("SendFailMsg", "Sorry, sending the bug report didn't work.")};
}();

// Key names are compared without regard to the case of ASCII letters.
constexpr bool SameSettingName(std::string_view A, std::string_view B)
{
    return SameAsciiText(A, B);
}

// The index of a key in SettingDefaults; -1 for a key without a default.
constexpr int SettingDefaultIndex(std::string_view Name)
{
    for (std::size_t I = 0; I < SettingDefaults.size(); ++I)
        if (SameSettingName(SettingDefaults[I].Name, Name))
            return static_cast<int>(I);
    return -1;
}

// The default of a key; null for a key without one.
constexpr const TSettingDefault* FindSettingDefault(std::string_view Name)
{
    const int I = SettingDefaultIndex(Name);
    return I < 0 ? nullptr : &SettingDefaults[static_cast<std::size_t>(I)];
}

// A key of one kind. From a literal it compiles only when the defaults table
// holds the key with that kind; Named takes any name, checked at run time.
template <TSettingKind Kind> class TSettingKey {
public:
    consteval TSettingKey(const char* AName) : Name(AName)
    {
        // By index: the sanitizers' g++ cannot compare pointers at compile time.
        const int I = SettingDefaultIndex(Name);
        if (I < 0 || SettingDefaults[static_cast<std::size_t>(I)].Kind != Kind)
            throw "no such key of this kind in the settings defaults";
    }
    static constexpr TSettingKey Named(std::string_view AName) { return TSettingKey(AName, 0); }

    std::string_view Name;

private:
    constexpr TSettingKey(std::string_view AName, int) : Name(AName) {}
};
using TBoolKey = TSettingKey<skBool>;
using TIntKey = TSettingKey<skInt>;
using TTextKey = TSettingKey<skText>;

// --- The table ---------------------------------------------------------------

struct TSettingEntry {
    std::string Name;
    TSettingKind Kind = skText;
    bool Bool = false;
    std::int32_t Int = 0;
    std::string Text; // UTF-8
};

// The head every settings stream begins with: the signature, the class name
// "TKelExcept" and the object name "kelExcept", each with its length byte.
inline constexpr std::string_view SettingsStreamHead{"TPF0\x0aTKelExcept\x09kelExcept", 25};

// A settings stream read as it is (passwords still enciphered).
struct TSettingsStreamContents {
    bool HeadFound = false; // the stream starts with SettingsStreamHead
    // The entries in the order of their first appearance; a key met again
    // takes the later value.
    std::vector<TSettingEntry> Entries;
    // Why the reading stopped: ssEnd is the normal end. ssUnknownTag (with the
    // tag in BadTag) and ssTruncated keep the entries read before.
    TStreamStatus Stop = TStreamStatus::ssEnd;
    std::uint8_t BadTag = 0;
};
TSettingsStreamContents ReadSettingsStream(std::string_view Stream);
// The stream of these entries, in their order (passwords as they are given).
std::string WriteSettingsStream(const std::vector<TSettingEntry>& Entries);

// The settings table of a module: what its section holds, passwords in plain
// text, and what has been written since.
class TModuleSettings {
public:
    // The table of a stream (kept for Reload); null when the stream lacks the
    // head.
    static std::shared_ptr<TModuleSettings> FromStream(std::string_view Stream);

    // The entry of that name and kind; none when the table has no such entry
    // or holds it with another kind.
    std::optional<TSettingEntry> Find(std::string_view Name, TSettingKind Kind) const;
    // Writes an entry, adding it when the table has none. False (and nothing
    // written) when the table holds the key with another kind, or the
    // defaults table knows it as another kind.
    bool Write(std::string_view Name, TSettingKind Kind, bool Bool, std::int32_t Int,
               std::string_view Text);
    // Replaces a text by what Change makes of it (the default when the table
    // has no entry), in one step that no other write can come between.
    bool ChangeText(std::string_view Name, std::string_view Default,
                    const std::function<std::string(const std::string&)>& Change);
    // A copy of every entry, in table order.
    std::vector<TSettingEntry> Entries() const;
    // Drops what was written and reads the stream again.
    void Reload();

private:
    friend std::shared_ptr<TModuleSettings> AcquireModuleSettings(HModule Module);
    explicit TModuleSettings(std::function<std::string()> ASource) : Source(std::move(ASource)) {}
    // Reads Source into the table; false when its stream lacks the head.
    bool Load();

    std::function<std::string()> Source;
    mutable std::shared_mutex Lock;
    std::vector<TSettingEntry> Table;
};

// The table of the program's settings section, shared by the whole process
// while anyone holds it; null when the program has no settings. Every module
// answers the program's table: it is the one module that carries settings.
std::shared_ptr<TModuleSettings> AcquireModuleSettings(HModule Module);

// --- Stored passwords ----------------------------------------------------------
// "SmtpPassword", "HttpPassword" and "BugTrPassword" are stored enciphered:
// two Blowfish passes in counter mode, the first keyed from the account text
// (left out when there is none), the second from the server text, each
// padded, the result written as Base64. This is obfuscation, not protection:
// the key material is in the same file. The table holds them deciphered.

struct TPasswordKey {
    std::string_view Password, Server, Account;
};
inline constexpr TPasswordKey PasswordKeys[3] = {
    {"SmtpPassword", "SmtpServer", "SmtpAccount"},
    {"HttpPassword", "HttpServer", "HttpAccount"},
    {"BugTrPassword", "HttpServer", "BugTrAccount"},
};
// The password key of that name; null for any other key.
const TPasswordKey* FindPasswordKey(std::string_view Name);

std::string EncipherPassword(std::string_view Plain, std::string_view Server,
                             std::string_view Account);
// The plain text; none when the stored text is not what EncipherPassword
// makes with these keys (not Base64, wrong length or padding, not UTF-8).
std::optional<std::string> DecipherPassword(std::string_view Stored, std::string_view Server,
                                            std::string_view Account);

// --- Texts ---------------------------------------------------------------------

// The texts an exception gives the placeholders; a placeholder whose text is
// not given stays as it is.
struct TPlaceholderTexts {
    std::optional<std::string> ExceptClass, ExceptMsg, BugReport, ErrorDetails;
};

// Replaces, letters compared without regard to case, in this order:
// "%appname%" (the program's file name), "%modname%" (the module's);
// "%appversion%", "%modversion%" (the file version of the program or the
// module from its version note, "?" when it has none); "%exceptClass%",
// "%exceptMsg%" ("Unknown" for an empty message), "%bugReport%" when given;
// "%LF%" by CR LF; "%date%" (2024-03-09), "%time%" (14:05:09, 7ms),
// "%datetime%" (date, ", ", time) in local time; "%computerName%" (the node
// name), "%os%" (the system's description), "%errorDetails%" when given;
// "%desktop%" (the XDG desktop folder), "%userappdata%" ($XDG_DATA_HOME),
// "%localappdata%" ($XDG_STATE_HOME), "%commonappdata%" (/var/lib), folders
// without a trailing "/".
std::string ExpandPlaceholders(std::string_view Text, HModule Module,
                               const TPlaceholderTexts& Texts = {});

// The clock of "%date%" and "%time%": null (the default) is the system's.
using TPlaceholderClock = std::chrono::system_clock::time_point (*)();
void SetPlaceholderClock(TPlaceholderClock Clock);

// The folder that relative report and attachment file names live in:
// "$XDG_STATE_HOME/tolvex" ($HOME/.local/state/tolvex when the variable is
// unset or not absolute), without a trailing "/". Saving and sending share it:
// the program's own folder is not writable.
std::string CrashReportFolder();
// A file name made absolute and tidied: a relative name goes below
// CrashReportFolder(); then "." steps and repeated "/" go, and ".." steps are
// resolved by the letters alone, never climbing above "/".
std::string MakeFullPath(std::string_view FileName);

// A recipient list tidied in place: ";" becomes ",", blanks and empty items
// around the separators go. Answers the number of recipients.
int TidyAddressList(std::string& List);

// --- The settings object ---------------------------------------------------------

class IKESettings {
public:
    virtual ~IKESettings();

    virtual HModule Module() const = 0;

    // The key's value: the table's when the table holds it, else the default
    // (false, 0 or empty for a key without one). Texts come with their
    // placeholders expanded, except "FrozenMsg" and the three passwords.
    virtual bool GetBoolSetting(TBoolKey Key) const = 0;
    virtual std::int32_t GetIntSetting(TIntKey Key) const = 0;
    virtual std::string GetTextSetting(TTextKey Key) const = 0;
    // Writes the key into the process's table. False when there are no
    // settings, or the key is held (or known) with another kind.
    virtual bool SetBoolSetting(TBoolKey Key, bool Value) = 0;
    virtual bool SetIntSetting(TIntKey Key, std::int32_t Value) = 0;
    virtual bool SetTextSetting(TTextKey Key, std::string_view Value) = 0;

    // The fields of "AddFields" and the files of "AddAttachs", built on first
    // use; their changes are written back into those keys.
    virtual std::shared_ptr<IKEFields> AddFields() = 0;
    virtual std::shared_ptr<IKEAttachments> AddAttachs() = 0;

    // Whether Name is an item of the "|"-separated "Plugins" (any case).
    virtual bool PluginEnabled(std::string_view Name) const = 0;
    // Adds Name to "Plugins" or removes every item equal to it.
    virtual void SetPluginEnabled(std::string_view Name, bool Enabled) = 0;

    // The program's version (from its version note); empty when it has none.
    virtual std::string VersionText() const = 0;

    // The form names of the assistant called Name: the texts "Assistant1",
    // "Assistant2" ... (up to the first empty one) each hold an assistant's
    // name and its forms, separated by "|". "ScrShotForm" is left out when
    // screenshots are off ("ScrShotDepth" 0, or an exception that takes
    // none). None when no assistant has that name.
    virtual std::optional<std::vector<std::string>> FindAssistant(std::string_view Name) const = 0;
};

class IKEModuleSettings : public IKESettings {
public:
    ~IKEModuleSettings() override;

    // Whether the program has its settings section.
    virtual bool Found() const = 0;
    // True when "MinDebugInfo" is empty: the map data is the program's own.
    virtual bool MinDebugInfo() const = 0;
    // Buffer checks: crash on overrun is "CrashOnBuffer" without
    // "CrashOnUnderrun"; crash on underrun is both.
    virtual bool CrashOnOverrun() const = 0;
    virtual bool CrashOnUnderrun() const = 0;
    // Drops every write and reads the section again.
    virtual void ReloadModuleSettings() = 0;
};

// The settings object. The exception object of a report derives from it, so
// that each report can read and write every key; it overrides the two hooks
// at the end. Make it with std::make_shared (its lists refer back to it).
// (The interface is a virtual base: the exception object's interface extends
// it too, and the object implements both through this class.)
class TIKESettings : public virtual IKEModuleSettings,
                     public std::enable_shared_from_this<TIKESettings> {
public:
    // Settings over a module's table; a null table means "not found".
    TIKESettings(HModule AModule, std::shared_ptr<TModuleSettings> ATable);
    ~TIKESettings() override;
    TIKESettings(const TIKESettings&) = delete;
    TIKESettings& operator=(const TIKESettings&) = delete;

    HModule Module() const override { return FModule; }
    bool GetBoolSetting(TBoolKey Key) const override;
    std::int32_t GetIntSetting(TIntKey Key) const override;
    std::string GetTextSetting(TTextKey Key) const override;
    bool SetBoolSetting(TBoolKey Key, bool Value) override;
    bool SetIntSetting(TIntKey Key, std::int32_t Value) override;
    bool SetTextSetting(TTextKey Key, std::string_view Value) override;
    std::shared_ptr<IKEFields> AddFields() override;
    std::shared_ptr<IKEAttachments> AddAttachs() override;
    bool PluginEnabled(std::string_view Name) const override;
    void SetPluginEnabled(std::string_view Name, bool Enabled) override;
    std::string VersionText() const override;
    std::optional<std::vector<std::string>> FindAssistant(std::string_view Name) const override;

    bool Found() const override { return Table != nullptr; }
    bool MinDebugInfo() const override;
    bool CrashOnOverrun() const override;
    bool CrashOnUnderrun() const override;
    void ReloadModuleSettings() override;

    // A text as stored, without placeholder expansion.
    std::string GetRawTextSetting(TTextKey Key) const;

protected:
    // The exception's texts for the placeholders; a plain settings object
    // gives none, so they stay.
    virtual TPlaceholderTexts PlaceholderTexts() const { return {}; }
    // True when the report takes no screenshot.
    virtual bool ScreenshotSwitchOff() const { return false; }

private:
    std::optional<TSettingEntry> Read(std::string_view Name, TSettingKind Kind) const;

    const HModule FModule;
    const std::shared_ptr<TModuleSettings> Table;
    std::mutex ListsLock;
    std::shared_ptr<IKEFieldsEx> Fields;
    std::shared_ptr<IKEAttachments> Attachments;
};

// The settings of a module (0: the program): with Load its table from the
// program's section (none: not found), without it a settings object that
// answers the defaults.
std::shared_ptr<TIKESettings> NewSettings(HModule Module = 0, bool Load = true);
// Settings over a stream of their own, not shared with the process (tools and
// tests); not found when the stream lacks the head.
std::shared_ptr<TIKESettings> NewSettingsFromStream(std::string_view Stream);
