#include "engine/uEngineOptions.h"
#include "settings/CommonFunctions.h"
#include "settings/HTMLUtil.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"
#include "tests/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <sys/stat.h>

using namespace testsupport;

namespace {

const char* TestLanguage = "[Translations]\r\n"
                           "sAnotherFindProcessActive=A scan is running\r\n"
                           "sSetStatusScanComputerInactive=%s is asleep\r\n"
                           "sMACAddressInvalid=Bad MAC %s\r\n"
                           "MACColumns0=Computer\r\n"
                           "MACColumns4=Note\r\n"
                           "sInvalidHTMLEncodedChar=Bad entity %s at %d\r\n";

// A portable program folder of its own: the program file, "Default" and
// "languages" beside it, and the settings in the same folder.
class ProgramOptionsFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        App = Dir.Path("app");
        std::filesystem::create_directories(App + "/Default");
        std::filesystem::create_directories(App + "/languages");
        TempFolder::Write(App + "/languages/test.lng", TestLanguage);
        TempFolder::Write(App + "/Default/options.xml",
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>\n  <Defaults>\n"
                          "    <DefaultLang>test.lng</DefaultLang>\n  </Defaults>\n</Options>\n");
        SetProgramFileName(App + "/tolvex");
        SetCommandLineArguments(std::vector<std::string>{"-portable"});
        OldScreen = SetPrimaryScreenSizeFunc([] { return TScreenSize{1920, 1080}; });
        Messages = std::make_unique<MessageRecorder>();
    }
    void TearDown() override
    {
        Messages.reset();
        LangChanger.reset();
        LoadMessageStrings(); // every text back to its key
        SetPrimaryScreenSizeFunc(OldScreen);
        SetCommandLineArguments(std::nullopt);
        SetProgramFileName("");
    }

    TempFolder Dir;
    std::string App;
    TPrimaryScreenSizeFunc OldScreen;
    std::unique_ptr<MessageRecorder> Messages;
};

TEST_F(ProgramOptionsFiles, FirstStartSeedsTheFilesAndTranslates)
{
    LoadProgramOptions();
    EXPECT_EQ(OptionsFile, App + "/options.xml");
    EXPECT_EQ(TempFolder::Read(OptionsFile), TempFolder::Read(App + "/Default/options.xml"));
    EXPECT_EQ(ToolsFile, App + "/tools.xml");
    EXPECT_EQ(PresetsFile, App + "/presets.xml");
    EXPECT_EQ(DefaultLang, "test.lng");
    ASSERT_NE(LangChanger, nullptr);
    EXPECT_EQ(LangChanger->LangFile(), LanguagesDir + "test.lng");
    EXPECT_EQ(MainWindowWidth, 800);
    EXPECT_EQ(MainWindowHeight, 600);
    EXPECT_EQ(MainWindowTop, 240);
    EXPECT_EQ(MainWindowLeft, 560);
    // Both the program's own messages and the engine's are filled.
    EXPECT_EQ(sAnotherFindProcessActive, "A scan is running");
    EXPECT_EQ(sSetStatusScanComputerInactive, "%s is asleep");
    EXPECT_EQ(sMACAddressInvalid, "Bad MAC %s");
    // What the language file lacks, the built-in texts give.
    EXPECT_EQ(sError, "Error");
    EXPECT_EQ(MACColumns[0].Caption, "Computer");
    EXPECT_EQ(MACColumns[1].Caption, "IP Address");
    EXPECT_EQ(MACColumns[4].Caption, "Note");
    EXPECT_TRUE(Messages->Messages.empty());
}

TEST_F(ProgramOptionsFiles, WithoutALanguageFileTheBuiltInTextsAreShown)
{
    TempFolder::Write(
        App + "/Default/options.xml",
        "<Options><Defaults><DefaultLang>missing.lng</DefaultLang></Defaults></Options>");
    LoadProgramOptions();
    EXPECT_EQ(sAnotherFindProcessActive,
              "Another scan is running. Stop it or wait until it has finished.");
    EXPECT_EQ(sError, "Error");
    EXPECT_EQ(sSetStatusScanComputerInactive, "%s: no answer to the reachability check");
    EXPECT_EQ(MACColumns[0].Caption, "Computer / Adapter");
}

TEST_F(ProgramOptionsFiles, ChangingTheLanguageRefillsTheTexts)
{
    LoadProgramOptions();
    TempFolder::Write(LanguagesDir + "other.lng",
                      "[Translations]\r\nsAnotherFindProcessActive=Busy\r\n");
    LangChanger->SetLangFile(LanguagesDir + "other.lng");
    LoadMessageStrings();
    EXPECT_EQ(sAnotherFindProcessActive, "Busy");
    EXPECT_EQ(MACColumns[0].Caption, "Computer / Adapter");
    EXPECT_EQ(sSetStatusScanComputerInactive, "%s: no answer to the reachability check");
}

TEST_F(ProgramOptionsFiles, SaveWritesBackAndEndsTranslation)
{
    LoadProgramOptions();
    iMaxThreads = 10;
    lstAddressList = {"pc1", "10.0.0.7"};
    MainWindowState = 2;
    MainWindowWidth = 1920;
    SaveProgramOptions();
    EXPECT_EQ(LangChanger, nullptr);
    EXPECT_EQ(Translate("sAnotherFindProcessActive"), "sAnotherFindProcessActive");
    EXPECT_EQ(XmlLint(OptionsFile), 0);
    TXMLStorage S(OptionsFile);
    S.Load();
    EXPECT_EQ(S.ReadInteger("Defaults", "iMaxThreads", 0), 10);
    EXPECT_EQ(S.ReadInteger("Window", "MainWindowState", 0), 2);
    // Closed maximized on a first start: no normal bounds were ever stored.
    EXPECT_EQ(S.ReadInteger("Window", "MainWindowWidth", -1), -1);
    std::vector<std::string> Lines;
    S.ReadStrings("Defaults", "lstAddressList", Lines);
    EXPECT_EQ(Lines, (std::vector<std::string>{"pc1", "10.0.0.7"}));
    EXPECT_TRUE(Messages->Messages.empty());

    // The next start reads what was saved and keeps an existing file.
    LoadProgramOptions();
    EXPECT_EQ(iMaxThreads, 10);
    EXPECT_EQ(MainWindowState, 2);
    EXPECT_EQ(MainWindowWidth, 800);
}

TEST_F(ProgramOptionsFiles, WithoutADefaultFileTheOptionsAreNotKept)
{
    std::filesystem::remove(App + "/Default/options.xml");
    LoadProgramOptions();
    EXPECT_EQ(iMaxThreads, 64);
    EXPECT_TRUE(Messages->Messages.empty());
    SaveProgramOptions();
    ASSERT_EQ(Messages->Messages.size(), 1u);
    EXPECT_EQ(Messages->Messages[0].second,
              "Can't write file " + App + "/options.xml: No such file or directory");
    EXPECT_FALSE(FileExists(App + "/options.xml"));
}

TEST_F(ProgramOptionsFiles, LanguageNameCannotLeaveTheLanguagesFolder)
{
    // Choosing a language file rewrites it in place; a hand-edited name must
    // not make that happen to some other file.
    for (const std::string Name : {"../options.xml", "/etc/hostname", "..", ".", ""}) {
        const std::string Options = "<Options><Defaults><DefaultLang>" + HTMLEncode(Name) +
                                    "</DefaultLang></Defaults>\n<!--x-->\n</Options>";
        TempFolder::Write(App + "/options.xml", Options);
        LoadProgramOptions();
        EXPECT_EQ(DefaultLang, "english.lng") << Name;
        EXPECT_EQ(LangChanger->LangFile(), LanguagesDir + "english.lng") << Name;
        EXPECT_EQ(TempFolder::Read(App + "/options.xml"), Options) << Name;
    }
}

TEST_F(ProgramOptionsFiles, DecodingErrorsCarryTheTranslatedMessage)
{
    LoadProgramOptions();
    try {
        HTMLDecode("ab&xy");
        FAIL() << "no error";
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Bad entity &x at 2");
    }
    try {
        HTMLDecode("&");
        FAIL() << "no error";
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "Bad entity & at 0");
    }
    // A translation that does not fit its arguments falls back to the key.
    TempFolder::Write(LanguagesDir + "bad.lng",
                      "[Translations]\r\nsInvalidHTMLEncodedChar=%d %d %d\r\n");
    LangChanger->SetLangFile(LanguagesDir + "bad.lng");
    try {
        HTMLDecode("&#0;");
        FAIL() << "no error";
    } catch (const EConvertError& E) {
        EXPECT_STREQ(E.what(), "sInvalidHTMLEncodedChar");
    }
}

// The end of a run leaves a file that holds every option as the program
// writes it alone when the options are unchanged (nothing is read, built or
// written then); in every other case it writes as ever: a changed option, a
// file without some keys or with values in a hand-written form, and a file
// changed by someone else meanwhile, whose other keys stay.
TEST_F(ProgramOptionsFiles, TheEndWritesTheOptionsExactlyWhenTheFileWouldChange)
{
    LoadProgramOptions(); // the first start: the seed lacks most keys
    SaveProgramOptions();
    const std::string File = OptionsFile;
    const std::string Written = TempFolder::Read(File);
    ASSERT_NE(Written.find("<iMaxThreads>64</iMaxThreads>"), std::string::npos) << "completed";
    struct stat Before {};
    ASSERT_EQ(::stat(File.c_str(), &Before), 0);

    LoadProgramOptions();
    SaveProgramOptions();
    struct stat After {};
    ASSERT_EQ(::stat(File.c_str(), &After), 0);
    EXPECT_EQ(After.st_ino, Before.st_ino);
    EXPECT_EQ(After.st_mtim.tv_nsec, Before.st_mtim.tv_nsec);
    EXPECT_EQ(TempFolder::Read(File), Written);

    // A change is written.
    LoadProgramOptions();
    lstAddressList = {"10.0.0.1", "pc7"};
    SaveProgramOptions();
    LoadProgramOptions();
    EXPECT_EQ(lstAddressList, (std::vector<std::string>{"10.0.0.1", "pc7"}));
    const std::string WithList = TempFolder::Read(File);

    // The same values in another hand are brought into the store's form.
    std::string Hand = WithList;
    Hand.replace(Hand.find("<iMaxThreads>64</iMaxThreads>"), 29, "<iMaxThreads>$40</iMaxThreads>");
    TempFolder::Write(File, Hand);
    LoadProgramOptions();
    ASSERT_EQ(iMaxThreads, 64);
    SaveProgramOptions();
    EXPECT_EQ(TempFolder::Read(File), WithList);

    // The file changed by another hand while the options are unchanged: the
    // options are written into it, and its new key stays.
    LoadProgramOptions();
    std::string Other = WithList;
    Other.insert(Other.find("</Options>"), "  <Added>\n    <k>v</k>\n  </Added>\n");
    Other.replace(Other.find("<iMaxThreads>64</iMaxThreads>"), 29, "<iMaxThreads>8</iMaxThreads>");
    TempFolder::Write(File, Other);
    SaveProgramOptions();
    TXMLStorage S(File);
    S.Load();
    EXPECT_EQ(S.ReadInteger("Defaults", "iMaxThreads", 0), 64);
    EXPECT_EQ(S.ReadString("Added", "k", ""), "v");
}

// Python's own XML reader on the address list in File: the count of lines,
// then the first and the last.
std::string AddressListByPython(const std::string& File)
{
    const std::string Command =
        "/usr/bin/python3 -c \"import sys, xml.etree.ElementTree as E; "
        "l = E.parse(sys.argv[1]).getroot().find('Defaults/lstAddressList'); "
        "v = [c.text or '' for c in l]; print(len(v), v[0], v[-1])\" '" +
        File + "'";
    std::string Out;
    if (FILE* P = ::popen(Command.c_str(), "r")) {
        char Buffer[256];
        while (std::fgets(Buffer, sizeof Buffer, P))
            Out += Buffer;
        ::pclose(P);
    }
    return Out;
}

// A long address list at the end of a run: left alone when unchanged, and
// written when one line changes in place (the file keeps its length, so the
// text must still be compared) or the list grows shorter.
TEST_F(ProgramOptionsFiles, ALongAddressListIsWrittenOnlyWhenItChanged)
{
    LoadProgramOptions();
    lstAddressList.clear();
    for (int I = 0; I < 65536; ++I)
        lstAddressList.push_back("10.20." + std::to_string(I >> 8) + "." + std::to_string(I & 255));
    SaveProgramOptions();
    const std::string File = OptionsFile;
    ASSERT_EQ(AddressListByPython(File), "65536 10.20.0.0 10.20.255.255\n");
    struct stat Before {};
    ASSERT_EQ(::stat(File.c_str(), &Before), 0);

    LoadProgramOptions();
    ASSERT_EQ(lstAddressList.size(), 65536u);
    SaveProgramOptions();
    struct stat After {};
    ASSERT_EQ(::stat(File.c_str(), &After), 0);
    EXPECT_EQ(After.st_mtim.tv_nsec, Before.st_mtim.tv_nsec) << "rewritten unchanged";
    EXPECT_EQ(After.st_ino, Before.st_ino);

    LoadProgramOptions();
    lstAddressList.back() = "10.20.255.254";
    SaveProgramOptions();
    EXPECT_EQ(std::filesystem::file_size(File), static_cast<uintmax_t>(Before.st_size));
    EXPECT_EQ(AddressListByPython(File), "65536 10.20.0.0 10.20.255.254\n");

    LoadProgramOptions();
    lstAddressList.pop_back();
    SaveProgramOptions();
    EXPECT_EQ(AddressListByPython(File), "65535 10.20.0.0 10.20.255.254\n");
}

} // namespace
