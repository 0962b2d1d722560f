// The settings object over streams of the tests' own, the texts it expands
// against date, uname and the XDG variables, full paths against Python's
// os.path.normpath, eight threads at once, and a test program whose section
// the build added.
#include "crashreport/kelExceptSettings.h"

#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <iterator>
#include <sstream>
#include <thread>

namespace {

TSettingEntry Text(std::string Name, std::string Value)
{
    return {std::move(Name), skText, false, 0, std::move(Value)};
}
TSettingEntry Int(std::string Name, std::int32_t Value)
{
    return {std::move(Name), skInt, false, Value, {}};
}
TSettingEntry Bool(std::string Name, bool Value)
{
    return {std::move(Name), skBool, Value, 0, {}};
}

std::shared_ptr<TIKESettings> SettingsOf(const std::vector<TSettingEntry>& Entries)
{
    return NewSettingsFromStream(WriteSettingsStream(Entries));
}

std::string ProgramName()
{
    return std::filesystem::read_symlink("/proc/self/exe").filename().string();
}

// Sets (or, with null, unsets) an environment variable for one test.
class TScopedEnv {
public:
    TScopedEnv(const char* AName, const char* Value) : Name(AName)
    {
        if (const char* Old = std::getenv(Name))
            Saved = Old;
        Value ? ::setenv(Name, Value, 1) : ::unsetenv(Name);
        ::tzset();
    }
    ~TScopedEnv()
    {
        Saved ? ::setenv(Name, Saved->c_str(), 1) : ::unsetenv(Name);
        ::tzset();
    }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
    const char* Name;
    std::optional<std::string> Saved;
};

std::string Trimmed(std::string S)
{
    while (!S.empty() && (S.back() == '\n' || S.back() == ' '))
        S.pop_back();
    return S;
}

TEST(CrashreportSettings, HeadOnlyIsFoundAndAnswersTheDefaults)
{
    const auto Found = NewSettingsFromStream(std::string(SettingsStreamHead) + '\0');
    const auto Dormant = NewSettings(0, false);
    ASSERT_TRUE(Found->Found());
    EXPECT_FALSE(Dormant->Found());
    for (const auto& S : {Found, Dormant}) {
        EXPECT_EQ(S->GetIntSetting("FreezeTimeout"), 60);
        EXPECT_EQ(S->GetIntSetting("BugRepFileSize"), 100000);
        EXPECT_TRUE(S->GetBoolSetting("MailViaMapi"));
        EXPECT_FALSE(S->GetBoolSetting("AutoClip"));
        EXPECT_EQ(S->GetRawTextSetting("Plugins"), "modules|processes|hardware");
        EXPECT_EQ(S->GetTextSetting("BugTrDescr"), "error details: \r\n%errorDetails%");
        EXPECT_EQ(S->GetTextSetting(TTextKey::Named("Assistant1")), "");
    }
    EXPECT_TRUE(Found->SetIntSetting("FreezeTimeout", 5));
    EXPECT_EQ(Found->GetIntSetting("FreezeTimeout"), 5);
    EXPECT_FALSE(Dormant->SetIntSetting("FreezeTimeout", 5));
    EXPECT_EQ(Dormant->GetIntSetting("FreezeTimeout"), 60);

    // Anything but the exact head is no settings stream.
    std::string OtherObject(SettingsStreamHead);
    OtherObject[24] = 'T';
    for (const std::string& Bad : {std::string(), std::string("TPF0"), OtherObject,
                                   std::string(SettingsStreamHead.substr(0, 24))})
        EXPECT_FALSE(NewSettingsFromStream(Bad)->Found()) << Bad;
}

TEST(CrashreportSettings, TextsReadBackAsStored)
{
    // A wide string (tag 18) with characters above U+00FF.
    const std::u16string Wide = u"\u03a9mega \U0001F600";
    std::string Stream(SettingsStreamHead);
    Stream += std::string("\x08"
                          "MailBody"
                          "\x12",
                          10);
    Stream += static_cast<char>(Wide.size());
    Stream += std::string(3, '\0');
    for (char16_t C : Wide) {
        Stream += static_cast<char>(C & 0xFF);
        Stream += static_cast<char>(C >> 8);
    }
    Stream += '\0';
    const auto S = NewSettingsFromStream(Stream);
    EXPECT_EQ(S->GetTextSetting("MailBody"), "\xce\xa9mega \xf0\x9f\x98\x80");

    const auto T =
        SettingsOf({Text("FrozenMsg", "%appname% hangs%LF%"),
                    Text("ExceptMsg", "%APPNAME% failed%lf%"), Text("HttpPassword", "")});
    EXPECT_EQ(T->GetTextSetting("FrozenMsg"), "%appname% hangs%LF%");
    EXPECT_EQ(T->GetTextSetting("ExceptMsg"), ProgramName() + " failed\r\n");
    EXPECT_EQ(T->GetTextSetting("TitleBar"), ProgramName());
}

TEST(CrashreportSettings, WritesOfTheWrongKindFail)
{
    const auto S = SettingsOf({Int("Enabled", 1), Text("Custom", "x")});
    // Stored with a kind the defaults do not have: the default answers.
    EXPECT_FALSE(S->GetBoolSetting("Enabled"));
    EXPECT_FALSE(S->SetBoolSetting("Enabled", true));
    EXPECT_FALSE(S->SetIntSetting(TIntKey::Named("AutoSave"), 1));
    EXPECT_FALSE(S->SetBoolSetting(TBoolKey::Named("FreezeTimeout"), true));
    EXPECT_FALSE(S->SetIntSetting(TIntKey::Named("Custom"), 1));
    EXPECT_TRUE(S->GetBoolSetting("AutoSave"));
    EXPECT_EQ(S->GetTextSetting(TTextKey::Named("Custom")), "x");
    EXPECT_TRUE(S->SetTextSetting(TTextKey::Named("custom"), "y"));
    EXPECT_EQ(S->GetTextSetting(TTextKey::Named("CUSTOM")), "y");
    EXPECT_TRUE(S->SetBoolSetting("AutoSave", false));
    EXPECT_FALSE(S->GetBoolSetting("AutoSave"));
    EXPECT_TRUE(S->SetIntSetting(TIntKey::Named("NewNumber"), -7));
    EXPECT_EQ(S->GetIntSetting(TIntKey::Named("NewNumber")), -7);
}

TEST(CrashreportSettings, PluginSwitches)
{
    const struct {
        const char* Plugins;
        const char* Name;
        bool Enable;
        const char* After;
    } Cases[] = {
        {"hardware", "hardware", false, ""},
        {"modules|processes|hardware", "Processes", false, "modules|hardware"},
        {"a|b|a|a", "a", false, "b"},
        {"", "modules", true, "modules"},
        {"modules", "hardware", true, "modules|hardware"},
        {"modules", "MODULES", true, "modules"},
        {"modules", "hardware", false, "modules"},
    };
    for (const auto& C : Cases) {
        const auto S = SettingsOf({Text("Plugins", C.Plugins)});
        S->SetPluginEnabled(C.Name, C.Enable);
        EXPECT_EQ(S->GetRawTextSetting("Plugins"), C.After) << C.Plugins << " " << C.Name;
        EXPECT_EQ(S->PluginEnabled(C.Name), C.Enable) << C.Plugins << " " << C.Name;
    }
}

TEST(CrashreportSettings, AssistantsAndTheirScreenshotForm)
{
    const std::vector<TSettingEntry> Entries = {
        Text("Assistant1", "ContactOnly|ContactForm"),
        Text("Assistant2", "SendAssistant|ContactForm|DetailsForm|ScrShotForm"),
        Text("Assistant4", "Unreached|Form")};
    auto With = Entries;
    With.push_back(Int("ScrShotDepth", 102400));
    using TForms = std::vector<std::string>;
    EXPECT_EQ(SettingsOf(With)->FindAssistant("SendAssistant"),
              TForms({"ContactForm", "DetailsForm", "ScrShotForm"}));
    EXPECT_EQ(SettingsOf(Entries)->FindAssistant("SendAssistant"),
              TForms({"ContactForm", "DetailsForm"}));
    EXPECT_EQ(SettingsOf(Entries)->FindAssistant("ContactOnly"), TForms({"ContactForm"}));
    EXPECT_FALSE(SettingsOf(Entries)->FindAssistant("Unreached"));
    EXPECT_FALSE(SettingsOf(Entries)->FindAssistant("sendassistant"));
}

TEST(CrashreportSettings, SwitchesMadeOfSeveralKeys)
{
    const struct {
        std::vector<TSettingEntry> Entries;
        bool MinDebugInfo, Overrun, Underrun;
    } Cases[] = {
        {{}, true, false, false},
        {{Text("MinDebugInfo", "$1, $2, $3"), Bool("CrashOnBuffer", true)}, false, true, false},
        {{Bool("CrashOnBuffer", true), Bool("CrashOnUnderrun", true)}, true, false, true},
        {{Bool("CrashOnUnderrun", true)}, true, false, false},
    };
    for (const auto& C : Cases) {
        const auto S = SettingsOf(C.Entries);
        EXPECT_EQ(S->MinDebugInfo(), C.MinDebugInfo);
        EXPECT_EQ(S->CrashOnOverrun(), C.Overrun);
        EXPECT_EQ(S->CrashOnUnderrun(), C.Underrun);
    }
}

TEST(CrashreportSettings, PasswordsAreReadDeciphered)
{
    const auto S = SettingsOf({
        Text("HttpServer", "https://reports.example.org"),
        Text("HttpAccount", "uploader"),
        Text("HttpPassword",
             EncipherPassword("p\xc3\xa4ss %LF%", "https://reports.example.org", "uploader")),
        Text("BugTrPassword", EncipherPassword("tracker", "https://reports.example.org", "")),
        Text("SmtpPassword", "bm90IGVuY2lwaGVyZWQ="),
    });
    EXPECT_EQ(S->GetTextSetting("HttpPassword"), "p\xc3\xa4ss %LF%");
    EXPECT_EQ(S->GetTextSetting("BugTrPassword"), "tracker");
    EXPECT_EQ(S->GetTextSetting("SmtpPassword"), "");

    const std::string Stored = EncipherPassword("secret", "server", "account");
    EXPECT_EQ(Stored.find("secret"), std::string::npos);
    EXPECT_EQ(DecipherPassword(Stored, "server", "account"), "secret");
    const std::pair<const char*, const char*> WrongKeys[] = {
        {"server", "other"}, {"other", "account"}, {"server", ""}};
    for (const auto& [Server, Account] : WrongKeys)
        EXPECT_FALSE(DecipherPassword(Stored, Server, Account)) << Server << Account;
    EXPECT_FALSE(DecipherPassword(Stored.substr(0, Stored.size() - 4), "server", "account"));
}

TEST(CrashreportSettings, ReloadDropsWhatWasWritten)
{
    const auto S = SettingsOf({Int("AutoDelay", 9)});
    ASSERT_TRUE(S->SetIntSetting("AutoDelay", 1));
    ASSERT_TRUE(S->SetTextSetting("MailAddr", "a@b"));
    S->ReloadModuleSettings();
    EXPECT_EQ(S->GetIntSetting("AutoDelay"), 9);
    EXPECT_EQ(S->GetTextSetting("MailAddr"), "");
}

TEST(CrashreportSettings, AddressListsAreTidied)
{
    const struct {
        const char* List;
        const char* Tidy;
        int Count;
    } Cases[] = {
        {" a@x ; b@y,, c@z ;", "a@x,b@y,c@z", 3},
        {"", "", 0},
        {" ; , ", "", 0},
        {"one@x", "one@x", 1},
    };
    for (const auto& C : Cases) {
        std::string L = C.List;
        EXPECT_EQ(TidyAddressList(L), C.Count) << C.List;
        EXPECT_EQ(L, C.Tidy);
    }
}

// ---------------------------------------------------------------------------

std::chrono::system_clock::time_point FixedClock()
{
    return std::chrono::system_clock::time_point(std::chrono::milliseconds(1709993109007));
}

TEST(CrashreportSettingsTexts, PlaceholdersAgainstTheSystem)
{
    TempFolder Home;
    TempFolder::Write(
        Home.Path("config/user-dirs.dirs"),
        "# written by xdg-user-dirs-update\nXDG_DESKTOP_DIR=\"$HOME/Schreibtisch\"\n");
    TScopedEnv H("HOME", Home.Path().c_str()), C("XDG_CONFIG_HOME", Home.Path("config").c_str()),
        D("XDG_DATA_HOME", "/srv/data/"), St("XDG_STATE_HOME", nullptr),
        Tz("TZ", "America/St_Johns");
    SetPlaceholderClock(FixedClock);
    const std::string Got = ExpandPlaceholders(
        "%Date%|%TIME%|%dateTime%|%COMPUTERNAME%|%Os%|%Desktop%|%UserAppData%|"
        "%LocalAppData%|%commonAppData%|%AppName%|%ModName%|%appVersion%|%exceptClass%|%lf%",
        0);
    SetPlaceholderClock(nullptr);

    const auto Date = RunCommand("TZ=America/St_Johns date -d @1709993109 '+%Y-%m-%d|%H:%M:%S'");
    const auto Node = RunCommand("uname -n");
    const auto Os = RunCommand(". /etc/os-release && printf %s \"$PRETTY_NAME\"");
    ASSERT_EQ(Date.Status, 0);
    const std::string Day = Date.Output.substr(0, 10), Time = Trimmed(Date.Output.substr(11));
    const std::string Expected =
        Day + "|" + Time + ", 7ms|" + Day + ", " + Time + ", 7ms|" + Trimmed(Node.Output) + "|";
    ASSERT_EQ(Got.substr(0, Expected.size()), Expected);
    EXPECT_EQ(Got.substr(Expected.size(), Os.Output.size()), Os.Output);
    const std::string Rest = Got.substr(Got.find('|', Expected.size()) + 1);
    EXPECT_EQ(Rest, Home.Path("Schreibtisch") + "|/srv/data|" + Home.Path(".local/state") +
                        "|/var/lib|" + ProgramName() + "|" + ProgramName() +
                        "|?|%exceptClass%|\r\n");

    TPlaceholderTexts Texts;
    Texts.ExceptClass = "EAccessViolation";
    Texts.ExceptMsg = "";
    Texts.ErrorDetails = "details";
    EXPECT_EQ(
        ExpandPlaceholders("%exceptclass%: %EXCEPTMSG% (%errorDetails%) %bugReport%", 0, Texts),
        "EAccessViolation: Unknown (details) %bugReport%");
}

TEST(CrashreportSettingsTexts, FullPathsAgainstNormpath)
{
    TScopedEnv St("XDG_STATE_HOME", "/home/u/.state");
    const std::vector<std::string> Names = {"bugreport.kbr",
                                            "./a/../b.kbr",
                                            "../../../../up.kbr",
                                            "sub//dir/./x",
                                            "/abs/./b/../c",
                                            "//two/lead",
                                            "///three",
                                            "/..",
                                            "/a/b/../../..",
                                            "/a/.../b",
                                            "",
                                            "/",
                                            "a/",
                                            "/x//y/"};
    std::string Args;
    for (const auto& N : Names)
        Args += " " + Quote(N);
    // A relative name lives in the state folder; POSIX leaves "//" at the
    // start to the system, which here takes it as "/".
    const auto R = RunCommand("/usr/bin/python3 -c " + Quote(R"(
import os, sys
for n in sys.argv[1:]:
    p = os.path.normpath(n if n.startswith("/") else "/home/u/.state/tolvex/" + n)
    print(p[1:] if p.startswith("//") else p)
)") + Args);
    ASSERT_EQ(R.Status, 0);
    std::string Ours;
    for (const auto& N : Names)
        Ours += MakeFullPath(N) + "\n";
    EXPECT_EQ(Ours, R.Output);
}

TEST(CrashreportSettingsTexts, ReportFolderFallsBackToHome)
{
    TScopedEnv H("HOME", "/home/someone");
    for (const char* State : {static_cast<const char*>(nullptr), "relative/state", ""}) {
        TScopedEnv St("XDG_STATE_HOME", State);
        EXPECT_EQ(CrashReportFolder(), "/home/someone/.local/state/tolvex");
        EXPECT_EQ(MakeFullPath("bugreport.kbr"), "/home/someone/.local/state/tolvex/bugreport.kbr");
    }
}

// ---------------------------------------------------------------------------

TEST(CrashreportSettingsThreads, EightThreadsReadAndWrite)
{
    const auto S = SettingsOf({Int("AutoDelay", 0), Text("Plugins", "modules")});
    constexpr int Rounds = 2000;
    std::atomic<int> Bad{0};
    std::vector<std::thread> Threads;
    for (int T = 0; T < 4; ++T)
        Threads.emplace_back([&, T] {
            const std::string Key = "Counter" + std::to_string(T);
            for (int I = 1; I <= Rounds; ++I) {
                S->SetIntSetting(TIntKey::Named(Key), I);
                S->SetPluginEnabled("p" + std::to_string(T), I % 2 == 1);
                S->AddFields()->SetValue(Key, std::to_string(I));
            }
        });
    for (int T = 0; T < 4; ++T)
        Threads.emplace_back([&] {
            for (int I = 0; I < Rounds; ++I) {
                const std::string Plugins = S->GetTextSetting("Plugins");
                if (Plugins.substr(0, 7) != "modules")
                    ++Bad;
                if (S->GetIntSetting("AutoDelay") != 0)
                    ++Bad;
                S->AddAttachs()->ItemCount();
            }
        });
    for (auto& T : Threads)
        T.join();
    EXPECT_EQ(Bad, 0);
    for (int T = 0; T < 4; ++T) {
        EXPECT_EQ(S->GetIntSetting(TIntKey::Named("Counter" + std::to_string(T))), Rounds);
        EXPECT_FALSE(S->PluginEnabled("p" + std::to_string(T)));
    }
    EXPECT_EQ(S->GetTextSetting("Plugins"), "modules");
    EXPECT_EQ(S->AddFields()->ItemCount(), 4);
}

// ---------------------------------------------------------------------------

TEST(CrashreportSettingsSection, TheProgramReadsItsOwnSection)
{
    const std::string Probe = TOLVEX_SETTINGS_PROBE;
    const std::string Keys = " bool:Enabled int:FreezeTimeout text:ExceptMsg text:SmtpPassword"
                             " text:Assistant1 bool:AutoSave";
    const auto R = RunCommand(Quote(Probe) + Keys);
    ASSERT_EQ(R.Status, 0);
    EXPECT_EQ(R.Output, "found 1\nEnabled = true\nFreezeTimeout = 90\n"
                        "ExceptMsg = Oops in crashreport_settings_probe\n"
                        "SmtpPassword = s3cret #1\nAssistant1 = SendAssistant|ContactForm\n"
                        "AutoSave = true\n");

    // The section is in the file, not in memory.
    const auto Sections = RunCommand("readelf -S -W " + Quote(Probe));
    const auto Line = Sections.Output.find(".rsrc.10.TKELEXCEPT");
    ASSERT_NE(Line, std::string::npos) << Sections.Output;
    // name, type, address, offset, size, entry size, [flags,] link, info, alignment
    std::istringstream Row(Sections.Output.substr(Line, Sections.Output.find('\n', Line) - Line));
    std::vector<std::string> Columns{std::istream_iterator<std::string>(Row), {}};
    ASSERT_GE(Columns.size(), 9u);
    EXPECT_TRUE(Columns.size() == 9 || Columns[6].find('A') == std::string::npos) << Columns[6];

    TempFolder Temp;
    const std::string Copy = Temp.Path("probe");
    ASSERT_EQ(RunCommand("objcopy --remove-section .rsrc.10.TKELEXCEPT " + Quote(Probe) + " " +
                         Quote(Copy))
                  .Status,
              0);
    EXPECT_EQ(RunCommand(Quote(Copy) + Keys).Output,
              "found 0\nEnabled = false\nFreezeTimeout = 60\n"
              "ExceptMsg = An error occurred in the application.\nSmtpPassword = \n"
              "Assistant1 = \nAutoSave = true\n");

    // A section with an unknown tag halfway: what came before counts, and
    // stderr says so once.
    TempFolder::Write(Temp.Path("odd"), std::string(SettingsStreamHead) + "\x07"
                                                                          "Enabled\x09"
                                                                          "\x0d"
                                                                          "FreezeTimeout\x02\x5a"
                                                                          "\x03"
                                                                          "Odd\x15"
                                                                          "\x08"
                                                                          "AutoSave\x08");
    ASSERT_EQ(RunCommand("objcopy --add-section .rsrc.10.TKELEXCEPT=" + Quote(Temp.Path("odd")) +
                         " " + Quote(Copy))
                  .Status,
              0);
    EXPECT_EQ(RunCommand(Quote(Copy) + Keys + " 2>&1").Output,
              "kelExcept: Internal error: Invalid settings resource ($15).\n"
              "found 1\nEnabled = true\nFreezeTimeout = 90\n"
              "ExceptMsg = An error occurred in the application.\nSmtpPassword = \n"
              "Assistant1 = \nAutoSave = true\n");
}

} // namespace
