#include "engine/uFormat.h"
#include "platform/IniProfile.h"
#include "settings/LangChanger.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

namespace {

std::string EnglishFile()
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    return Bin ? std::string(Bin) + "/languages/english.lng" : std::string();
}

// Every message id the program names, with the arguments its users format
// it with (none: the text is shown as it is).
struct Message {
    const char* Id;
    std::vector<TFormatArg> Args;
    // The key is its own English text (a built-in text rather than an id).
    bool OwnText = false;
};

const std::vector<Message>& Messages()
{
    static const std::vector<Message> All = {
        // Engine log lines.
        {"sSetStatusScanComputerComplete", {"10.0.0.9"}},
        {"sSetStatusScanComputerInactive", {"10.0.0.9"}},
        {"sSetStatusScanComputerNotDetect", {"10.0.0.9"}},
        {"sSetStatusScanComputerErrorMSg", {"10.0.0.9", "Connection refused"}},
        {"sSetStatusScanNetworkStart", {}},
        {"sSetStatusScanNetworkComplete", {17}},
        {"sSetStatusScanNetworkComputerNotFound", {}},
        {"sSetStatusScanADStart", {}},
        {"sSetStatusScanADComplete", {23}},
        {"sSetStatusScanADComputerNotFound", {}},
        {"sComputerCaptionStyle", {"pc1", "10.0.0.9"}},
        {"sSetStatusScanComputerNotResolved", {"pc9"}},
        {"sSetStatusScanNeighbourTableBound", {256}},
        {"sSetStatusScanCheckUnavailable", {"no ICMP socket"}},
        {"sSetStatusScanNetBiosNoMac", {"10.0.0.9"}},
        {"sSetStatusScanNetBiosNeighbourMac", {"10.0.0.9"}},
        {"sSetStatusScanNetworkFailed", {"no master browser"}},
        {"sSetStatusScanADFailed", {"no directory"}},
        {"sComputerSearchFailed", {"no master browser"}},
        // The main window's and dialogs' messages.
        {"sSelectComp", {}},
        {"sErrorInIP", {}},
        {"sErrorInMask", {}},
        {"sErrorDetectIPRange", {}},
        {"sFormatSelectIpRange", {"10.0.0.9", "eth0"}},
        {"sEmptyComputerName", {}},
        {"sWrongIPRange", {}},
        {"sWrongExpression", {}},
        {"sAnotherFindProcessActive", {}},
        {"sSetStatusStart", {}},
        {"sSetStatusFinish", {}},
        {"sSetStatusCanceled", {}},
        {"sSetStatusScanComputer", {}},
        {"sSetStatusScanComputerError", {}},
        {"sNetAPIFailed", {}},
        {"sComputerName", {}},
        {"sComputerIP", {}},
        {"sCannotDetectIP", {}},
        {"sFindFinished", {}},
        {"sFileNoRead", {}},
        {"sError", {}},
        {"sEnterValidCompName", {}},
        {"sAddressAllSelectedDeleteWarning", {}},
        {"sComputerFinded", {5}},
        {"sComputerSelected", {3}},
        {"sAddressAllSelectedDelete", {}},
        {"sUnknownManufacturer", {}},
        {"sMACAddressInvalid", {"00-11-22"}},
        {"sNotComputerList", {"/home/u/tools.xml"}},
        {"sInvalidHTMLEncodedChar", {"&x", 4}},
        {"sAllignLeft", {}},
        {"sAllignRight", {}},
        {"sAllignCenter", {}},
        {"sAddressComputerAddTitle", {}},
        {"sAddressComputerEditTitle", {}},
        {"sAddTool", {}},
        {"sEditTool", {}},
        {"sRemoveCommandListItemInfo", {"Ping"}},
        {"sRemoveCommandListItemCaption", {}},
        {"sPromptForFileNameTitle", {}},
        {"sPromptForFileNameFilter", {}},
        {"Nettools", {}},
        {"Admintools", {}},
        {"Managetools", {}},
        {"sSelectWorkingFolder", {}},
        {"sCommandListPartlyRead", {1, "Nettools", "/home/u/tools.xml"}},
        {"sCommandListTooLong", {"Nettools", "/home/u/tools.xml", 1000, 199000}},
        {"sCommandNoComputer", {"Ping"}},
        {"sCommandComputerNoAddress", {"Ping"}},
        {"sCommandOpenerFailed", {"smb://10.0.0.9/", "Shared folders", "it failed"}},
        {"sOpenAddressFailed", {"smb://10.0.0.9", "it failed"}},
        {"sOpenerFailed", {"xdg-open", 3, "no program"}},
        {"sOpenerExitCode", {"xdg-open", 9}},
        {"sOpenerKilled", {"xdg-open", 15}},
        {"sOpenerSyntax", {}},
        {"sOpenerNoFile", {}},
        {"sOpenerNoTool", {}},
        {"sOpenerActionFailed", {}},
        {"sCommandInvalidHost", {"-oProxyCommand=x", "Secure shell"}},
        {"sCommandOperationNotAvailable", {"Ping", "print"}},
        {"sCommandProgramNotStarted", {"traceroute", "Trace route", "No such file or directory"}},
        {"sCommandNoWorkingFolder", {"/srv/none", "Ping", "No such file or directory"}},
        {"sCommandNotOpened", {"smb://10.0.0.9/", "Shared folders"}},
        // Message presets and messages to sessions.
        {"sPresetsPartlyRead", {2, "/home/u/presets.xml"}},
        {"sRemovePresetInfo", {"Greeting"}},
        {"sRemovePresetCaption", {}},
        {"sEditPreset", {}},
        {"sCreatePreset", {}},
        {"sLocalHost", {}},
        {"sSendMessageAllSessions", {"pc1"}},
        {"sSendMessageSession", {3, "pc1"}},
        {"sWtsErrorCode", {"Access denied", 5}},
        {"sNoActiveSessions", {}},
        {"sRemoteSessionsNotAvailable", {}},
        {"sSessionTtyMesgN", {"pts/3"}},
        {"sSessionNotATerminal", {"pts/3"}},
        {"sSessionNoTarget", {"pts/3"}},
        {"sSessionInvalidLine", {"pts/3"}},
        {"sSessionTtyBlocked", {"pts/3"}},
        {"sSessionNotRead", {"pts/3"}},
        {"sSessionFailed", {"pts/3", "Permission denied"}},
        {"sSessionsUnknown", {}},
        // Remote shutdown and its credentials.
        {"sShutdownInvalidHost", {"-S x"}},
        {"sShutdownInvalidUser", {}},
        {"sShutdownInvalidPassword", {}},
        {"sShutdownLogOffNotAvailable", {}},
        {"sShutdownLocalCredentials", {}},
        {"sShutdownNoSystemBus", {"No such file or directory"}},
        {"sShutdownNoClient", {"net", "No such file or directory"}},
        {"sShutdownTimedOut", {60}},
        {"sShutdownCancelled", {}},
        {"sShutdownClientFailed", {2}},
        {"sShutdownHostQuestion", {"pc1"}},
        {"sShutdownLocalQuestion", {}},
        {"sShutdownNoAddress", {}},
        {"sShutdownUnableTo", {"Restart", "pc1"}},
        {"sShutdownReason", {"WERR_ACCESS_DENIED"}},
        {"sShutdownUnknownReason", {}},
        {"sCredentialsNoUserName", {}},
        {"sCredentialsNoPassword", {}},
        {"sWarning", {}},
        // Preferences, the about box and the help pages (built-in texts as
        // their own keys).
        {"Information", {}, true},
        {"local host", {}, true},
        {"This build of the program has no web site.", {}, true},
        {"The TCP port \"%s\" is not a number from 1 to 65535; the port %d is kept.",
         {"70000", 161},
         true},
        {"About %s", {"Tolvex"}, true},
        {"Version %s", {"0.1.0.0"}, true},
        {"Built on: %s", {"09.12.2026"}, true},
        {"Visit %s for updates", {"Tolvex Project"}, true},
        // Column captions.
        {"MACColumns0", {}},
        {"MACColumns1", {}},
        {"MACColumns2", {}},
        {"MACColumns3", {}},
        {"MACColumns4", {}},
    };
    return All;
}

} // namespace

TEST(EnglishLanguage, EveryMessageHasATextThatFitsItsArguments)
{
    const std::string File = EnglishFile();
    ASSERT_FALSE(File.empty());
    // Work on a copy: choosing a file may normalise it.
    TempFolder Dir;
    TempFolder::Write(Dir.Path("english.lng"), TempFolder::Read(File));
    TLangChanger Lang;
    Lang.SetLangFile(Dir.Path("english.lng"));

    for (const Message& M : Messages()) {
        std::string Text = Lang.TranslateString(M.Id);
        if (M.OwnText)
            EXPECT_EQ(Text, M.Id) << M.Id << " is not shown as it is written";
        else
            EXPECT_NE(Text, M.Id) << M.Id << " has no English text";
        EXPECT_FALSE(Text.empty()) << M.Id;
        std::string Shown;
        ASSERT_NO_THROW(Shown = Format(Text, std::span<const TFormatArg>(M.Args)))
            << M.Id << ": \"" << Text << "\" does not fit its arguments";
        for (const TFormatArg& A : M.Args) {
            std::string Expected = A.IsText() ? A.Text() : std::to_string(A.Magnitude());
            EXPECT_NE(Shown.find(Expected), std::string::npos)
                << M.Id << ": \"" << Shown << "\" does not show " << Expected;
        }
    }
}

TEST(EnglishLanguage, FileIsAlreadyNormalisedAndHasOnlyKnownKeys)
{
    const std::string Bytes = TempFolder::Read(EnglishFile());
    // Choosing it at every start must not rewrite it.
    EXPECT_EQ(NormaliseLanguageText(Bytes), Bytes);

    platform::IniProfile P = platform::IniProfile::Parse(Bytes);
    std::vector<std::string> Keys = P.SectionKeys("Translations");
    EXPECT_EQ(Keys.size(), Messages().size());
    for (const std::string& Key : Keys) {
        bool Known = false;
        for (const Message& M : Messages()) {
            Known = Known || Key == M.Id;
        }
        EXPECT_TRUE(Known) << Key << " is no message id of the program";
    }
}
