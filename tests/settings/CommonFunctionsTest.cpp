#include "settings/CommonFunctions.h"
#include "platform/XdgFolders.h"
#include "settings/FileInfo.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sys/stat.h>

namespace fs = std::filesystem;

namespace {

// Keeps the environment and the seams as they were before each test.
class SettingsFolderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (const char* Name : {"XDG_CONFIG_HOME", "XDG_CONFIG_DIRS", "HOME"}) {
            const char* V = std::getenv(Name);
            Saved.emplace_back(Name, V ? std::optional<std::string>(V) : std::nullopt);
        }
        ::setenv("XDG_CONFIG_HOME", Dir.Path("config").c_str(), 1);
        ::setenv("XDG_CONFIG_DIRS", Dir.Path("system").c_str(), 1);
        SetCommandLineArguments(std::vector<std::string>{});
        SetProgramFileName(Dir.Path("app/tolvex"));
    }
    void TearDown() override
    {
        for (const auto& [Name, Value] : Saved) {
            if (Value) {
                ::setenv(Name.c_str(), Value->c_str(), 1);
            } else {
                ::unsetenv(Name.c_str());
            }
        }
        SetCommandLineArguments(std::nullopt);
        SetProgramFileName("");
    }
    std::string Named(const std::string& Base) const
    {
        return Base + "/" + GetCompanyName() + "/" + GetProductName() + "/";
    }
    // What a start does before "options.xml" is read.
    void Start(std::vector<std::string> Args = {})
    {
        SetCommandLineArguments(std::move(Args));
        InitFolderGlobals();
        CopyLanguageFiles();
        OptionsFile = PrepareSettingsFile("options.xml");
        ToolsFile = PrepareSettingsFile("tools.xml");
        PresetsFile = PrepareSettingsFile("presets.xml");
    }
    void ProgramFolder()
    {
        TempFolder::Write(Dir.Path("app/Default/options.xml"), "<Options>default</Options>\n");
        TempFolder::Write(Dir.Path("app/Default/tools.xml"), "<Options>tools</Options>\n");
        TempFolder::Write(Dir.Path("app/Default/presets.xml"), "<Options>presets</Options>\n");
        TempFolder::Write(Dir.Path("app/languages/english.lng"), "[Translations]\r\nk=en\r\n");
        TempFolder::Write(Dir.Path("app/languages/Deutsch.LNG"), "[Translations]\r\nk=de\r\n");
        TempFolder::Write(Dir.Path("app/languages/readme.txt"), "not a language\n");
        fs::create_directories(Dir.Path("app/languages/folder.lng"));
    }

    TempFolder Dir;
    std::vector<std::pair<std::string, std::optional<std::string>>> Saved;
};

} // namespace

TEST_F(SettingsFolderTest, SwitchesTakeDashOrSlashInAnyCase)
{
    struct Case {
        std::vector<std::string> Args;
        bool Portable;
    };
    for (const Case& C : std::vector<Case>{{{"/portable"}, true},
                                           {{"-Portable"}, true},
                                           {{"x", "/PORTABLE", "y"}, true},
                                           {{"--portable"}, false},
                                           {{"portable"}, false},
                                           {{"/portablex"}, false},
                                           {{"/port"}, false},
                                           {{"-"}, false},
                                           {{"/"}, false},
                                           {{}, false}}) {
        SetCommandLineArguments(C.Args);
        EXPECT_EQ(FindCmdLineSwitch("portable"), C.Portable)
            << (C.Args.empty() ? "(none)" : C.Args[0]);
    }
    SetCommandLineArguments(std::vector<std::string>{"-SystemWideConfig"});
    EXPECT_TRUE(IsSystemWideConfig());
    EXPECT_FALSE(FindCmdLineSwitch("portable"));
}

TEST_F(SettingsFolderTest, RealCommandLineIsTheProcesssOwn)
{
    SetCommandLineArguments(std::nullopt);
    std::vector<std::string> Args = ::testing::internal::GetArgvs();
    ASSERT_FALSE(Args.empty());
    Args.erase(Args.begin());
    EXPECT_EQ(platform::ProgramArguments(), Args);
    EXPECT_FALSE(FindCmdLineSwitch("portable"));
}

TEST_F(SettingsFolderTest, PerUserFolderFromXdgConfigHome)
{
    ASSERT_FALSE(GetProductName().empty());
    EXPECT_EQ(GetAppDataFolder(), Dir.Path("config"));
    EXPECT_EQ(GetSettingsFolder(), Named(Dir.Path("config")));

    // A trailing "/" is not doubled.
    ::setenv("XDG_CONFIG_HOME", (Dir.Path("config") + "/").c_str(), 1);
    EXPECT_EQ(GetSettingsFolder(), Named(Dir.Path("config")));

    // Unset, empty or relative: the home folder's ".config".
    ::setenv("HOME", Dir.Path("home").c_str(), 1);
    for (const char* Value : {"", "relative/config"}) {
        ::setenv("XDG_CONFIG_HOME", Value, 1);
        EXPECT_EQ(GetSettingsFolder(), Named(Dir.Path("home") + "/.config")) << Value;
    }
    ::unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(GetSettingsFolder(), Named(Dir.Path("home") + "/.config"));
}

TEST_F(SettingsFolderTest, MachineWideFolderFromXdgConfigDirs)
{
    SetCommandLineArguments(std::vector<std::string>{"/systemwideconfig"});
    ::setenv("XDG_CONFIG_DIRS", ("relative:" + Dir.Path("sys1") + ":" + Dir.Path("sys2")).c_str(),
             1);
    EXPECT_EQ(GetAppDataFolder(), Dir.Path("sys1"));
    EXPECT_EQ(GetSettingsFolder(), Named(Dir.Path("sys1")));
    ::unsetenv("XDG_CONFIG_DIRS");
    EXPECT_EQ(GetSettingsFolder(), Named("/etc/xdg"));
}

TEST_F(SettingsFolderTest, PortableWinsAndUsesTheProgramFolder)
{
    SetCommandLineArguments(std::vector<std::string>{"-systemwideconfig", "/Portable"});
    EXPECT_EQ(GetSettingsFolder(), Dir.Path("app") + "/");
}

TEST_F(SettingsFolderTest, FirstStartSeedsFromDefaultAndCopiesLanguages)
{
    ProgramFolder();
    Start();
    const std::string Settings = Named(Dir.Path("config"));
    EXPECT_EQ(AppDir, Dir.Path("app") + "/");
    EXPECT_EQ(DefaultDir, Dir.Path("app") + "/Default/");
    EXPECT_EQ(SettingsDir, Settings);
    EXPECT_EQ(MacCommentsFile, Settings + "mac_comments.txt");
    EXPECT_EQ(LanguagesDir, Settings + "languages/");
    EXPECT_EQ(OptionsFile, Settings + "options.xml");
    EXPECT_EQ(ToolsFile, Settings + "tools.xml");
    EXPECT_EQ(PresetsFile, Settings + "presets.xml");

    EXPECT_EQ(TempFolder::Read(OptionsFile), "<Options>default</Options>\n");
    EXPECT_EQ(TempFolder::Read(ToolsFile), "<Options>tools</Options>\n");
    EXPECT_EQ(TempFolder::Read(PresetsFile), "<Options>presets</Options>\n");
    EXPECT_EQ(TempFolder::Read(LanguagesDir + "english.lng"), "[Translations]\r\nk=en\r\n");
    EXPECT_EQ(TempFolder::Read(LanguagesDir + "Deutsch.LNG"), "[Translations]\r\nk=de\r\n");
    EXPECT_FALSE(fs::exists(LanguagesDir + "readme.txt"));
    EXPECT_FALSE(fs::exists(LanguagesDir + "folder.lng"));
    EXPECT_FALSE(fs::exists(MacCommentsFile)); // written by the main window, not seeded
    // No temporary file is left behind.
    for (const auto& E : fs::directory_iterator(Settings)) {
        EXPECT_NE(E.path().filename().string().front(), '.') << E.path();
    }
}

TEST_F(SettingsFolderTest, ExistingSettingsStayLanguagesAreReplaced)
{
    ProgramFolder();
    Start();
    TempFolder::Write(OptionsFile, "<Options>mine</Options>\n");
    TempFolder::Write(LanguagesDir + "english.lng", "[Translations]\r\nk=edited\r\n");
    TempFolder::Write(LanguagesDir + "own.lng", "[Translations]\r\nk=own\r\n");
    Start();
    EXPECT_EQ(TempFolder::Read(OptionsFile), "<Options>mine</Options>\n");
    EXPECT_EQ(TempFolder::Read(LanguagesDir + "english.lng"), "[Translations]\r\nk=en\r\n");
    EXPECT_EQ(TempFolder::Read(LanguagesDir + "own.lng"), "[Translations]\r\nk=own\r\n");
}

TEST_F(SettingsFolderTest, SeededFileIsWritableEvenFromAReadOnlyDefault)
{
    ProgramFolder();
    ASSERT_EQ(::chmod(Dir.Path("app/Default/options.xml").c_str(), 0444), 0);
    mode_t Old = ::umask(022);
    Start();
    ::umask(Old);
    struct stat St {};
    ASSERT_EQ(::stat(OptionsFile.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0644u);
}

TEST_F(SettingsFolderTest, PortableSelfCopyKeepsTheLanguageFiles)
{
    ProgramFolder();
    Start({"/portable"});
    EXPECT_EQ(SettingsDir, AppDir);
    EXPECT_EQ(LanguagesDir, AppDir + "languages/");
    EXPECT_EQ(TempFolder::Read(LanguagesDir + "english.lng"), "[Translations]\r\nk=en\r\n");
    EXPECT_EQ(TempFolder::Read(LanguagesDir + "Deutsch.LNG"), "[Translations]\r\nk=de\r\n");
    // The settings files beside the program are missing: seeded from Default.
    EXPECT_EQ(TempFolder::Read(AppDir + "options.xml"), "<Options>default</Options>\n");
}

TEST_F(SettingsFolderTest, LanguagesFolderLinkedToTheSourceKeepsItsFiles)
{
    ProgramFolder();
    const std::string Settings = Named(Dir.Path("config"));
    fs::create_directories(Settings);
    fs::create_directory_symlink(Dir.Path("app/languages"), Settings + "languages");
    Start();
    EXPECT_EQ(TempFolder::Read(Dir.Path("app/languages/english.lng")),
              "[Translations]\r\nk=en\r\n");
}

TEST_F(SettingsFolderTest, MissingDefaultLeavesTheFileMissing)
{
    Start(); // no Default and no languages folder beside the program
    EXPECT_TRUE(fs::is_directory(SettingsDir));
    EXPECT_TRUE(fs::is_directory(LanguagesDir));
    EXPECT_EQ(OptionsFile, SettingsDir + "options.xml");
    EXPECT_FALSE(fs::exists(OptionsFile));
}

TEST_F(SettingsFolderTest, TheBuildPutsDefaultAndLanguageFilesBesideThePrograms)
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    ASSERT_NE(Bin, nullptr);
    for (const char* File : {"Default/tools.xml", "Default/presets.xml", "languages/english.lng"}) {
        EXPECT_TRUE(fs::is_regular_file(std::string(Bin) + "/" + File)) << File;
    }
}

TEST(FormatDuration, HoursOnlyWhenThereAreAny)
{
    const double Second = 1.0 / 86400;
    EXPECT_EQ(FormatDuration(75 * Second), "01:15");
    EXPECT_EQ(FormatDuration((3600 + 2 * 60 + 3) * Second), "1:02:03");
    EXPECT_EQ(FormatDuration(25 * 3600 * Second), "1:00:00"); // whole days dropped
    EXPECT_EQ(FormatDuration(0), "00:00");
    EXPECT_EQ(FormatDuration(59.9996 * Second), "01:00"); // rounded to milliseconds
    EXPECT_EQ(FormatDuration(-75 * Second), "01:15");
    EXPECT_EQ(FormatDuration(std::nan("")), "00:00");
    EXPECT_EQ(FormatDuration((23 * 3600 + 59 * 60 + 59) * Second), "23:59:59");
}
