#include "uProgramOptions.h"

#include "CommonFunctions.h"
#include "Language.h"
#include "uEngineOptions.h"
#include "uXMLStorage.h"

#include <algorithm>
#include <climits>
#include <cstdint>

bool bVertGrid = false;
bool bHorzGrid = false;
bool bStripped = false;
int pnlLeftWidth = 200;
int PanelLogHeight = 100;
bool ClearBeforeTolvex = true;
bool bInverseLog = true;
int LastTarget = 0;
int LasTMethod = 0;
std::vector<std::string> lstFind;
std::vector<std::string> lstBookmarks;
std::vector<std::string> lstAddressList;
int MaxBoomarks = 32;
bool bShowLog = true;
std::string DefaultLang = "english.lng";

int MainWindowTop = 0;
int MainWindowLeft = 0;
int MainWindowWidth = 800;
int MainWindowHeight = 600;
int MainWindowState = 0;

std::array<TListColumnStore, MACColumnCount> MACColumns = [] {
    std::array<TListColumnStore, MACColumnCount> Columns{};
    for (int I = 0; I < MACColumnCount; ++I)
        Columns[static_cast<size_t>(I)].Position = I;
    return Columns;
}();

std::string sSelectComp = "sSelectComp";
std::string sErrorInIP = "sErrorInIP";
std::string sErrorInMask = "sErrorInMask";
std::string sErrorDetectIPRange = "sErrorDetectIPRange";
std::string sFormatSelectIpRange = "sFormatSelectIpRange";
std::string sEmptyComputerName = "sEmptyComputerName";
std::string sWrongIPRange = "sWrongIPRange";
std::string sWrongExpression = "sWrongExpression";
std::string sAnotherFindProcessActive = "sAnotherFindProcessActive";
std::string sSetStatusStart = "sSetStatusStart";
std::string sSetStatusFinish = "sSetStatusFinish";
std::string sSetStatusCanceled = "sSetStatusCanceled";
std::string sSetStatusScanComputer = "sSetStatusScanComputer";
std::string sSetStatusScanComputerError = "sSetStatusScanComputerError";
std::string sNetAPIFailed = "sNetAPIFailed";
std::string sComputerName = "sComputerName";
std::string sComputerIP = "sComputerIP";
std::string sCannotDetectIP = "sCannotDetectIP";
std::string sFindFinished = "sFindFinished";
std::string sFileNoRead = "sFileNoRead";
std::string sError = "sError";
std::string sEnterValidCompName = "sEnterValidCompName";
std::string sAddressAllSelectedDeleteWarning = "sAddressAllSelectedDeleteWarning";
std::string sComputerFinded = "sComputerFinded";
std::string sComputerSelected = "sComputerSelected";
std::string sAddressAllSelectedDelete = "sAddressAllSelectedDelete";
std::string sUnknownManufacturer = "sUnknownManufacturer";
std::string sMACAddressInvalid = "sMACAddressInvalid";

namespace {

constexpr const char* Defaults = "Defaults";
constexpr const char* Window = "Window";
constexpr const char* Columns = "MACColumns";

TPrimaryScreenSizeFunc& PrimaryScreenSize()
{
    static TPrimaryScreenSizeFunc Func;
    return Func;
}

// An integer key that keeps Value unless the stored number lies in Min..Max.
int ReadRange(TXMLStorage& S, const char* Section, const std::string& Key, int Value, int Min,
              int Max)
{
    const int Read = S.ReadInteger(Section, Key, Value);
    return Read >= Min && Read <= Max ? Read : Value;
}

bool IsPlainFileName(const std::string& Name)
{
    return !Name.empty() && Name != "." && Name != ".." &&
           Name.find_first_of(std::string("/\\\0", 3)) == std::string::npos;
}

// Integer division towards zero, as the centring has always been computed.
int Centre(int Screen, int Size)
{
    return Screen / 2 - Size / 2;
}

} // namespace

TPrimaryScreenSizeFunc SetPrimaryScreenSizeFunc(TPrimaryScreenSizeFunc Func)
{
    TPrimaryScreenSizeFunc Old = std::move(PrimaryScreenSize());
    PrimaryScreenSize() = std::move(Func);
    return Old;
}

void ReadColumnSettings(TXMLStorage& Storage, std::span<TListColumnStore> Cols, int LastIndex,
                        const std::string& Section)
{
    const int Last = std::min(LastIndex, static_cast<int>(Cols.size()) - 1);
    for (int I = 0; I <= Last; ++I) {
        TListColumnStore& C = Cols[static_cast<size_t>(I)];
        const std::string N = std::to_string(I);
        const char* Sec = Section.c_str();
        C.Visible = Storage.ReadBool(Sec, "Visible" + N, true);
        C.Width = ReadRange(Storage, Sec, "Width" + N, 50, 0, INT_MAX);
        C.Alignment = static_cast<uint8_t>(ReadRange(Storage, Sec, "Alignment" + N, 0, 0, 2));
        C.Position = ReadRange(Storage, Sec, "Position" + N, I, 0, Last);
        C.SortDirection = ReadRange(Storage, Sec, "SortDirection" + N, 0, 0, 1);
        C.Sorted = Storage.ReadBool(Sec, "Sorted" + N, false);
    }
}

void WriteColumnSettings(TXMLStorage& Storage, std::span<const TListColumnStore> Cols,
                         int LastIndex, const std::string& Section)
{
    const int Last = std::min(LastIndex, static_cast<int>(Cols.size()) - 1);
    for (int I = 0; I <= Last; ++I) {
        const TListColumnStore& C = Cols[static_cast<size_t>(I)];
        const std::string N = std::to_string(I);
        Storage.WriteBool(Section, "Visible" + N, C.Visible);
        Storage.WriteInteger(Section, "Width" + N, C.Width);
        Storage.WriteInteger(Section, "Alignment" + N, C.Alignment);
        Storage.WriteInteger(Section, "Position" + N, C.Position);
        Storage.WriteInteger(Section, "SortDirection" + N, C.SortDirection);
        Storage.WriteBool(Section, "Sorted" + N, C.Sorted);
    }
}

void ReadProgramOptions(TXMLStorage& S)
{
    const TEngineSettings Engine; // the engine's built-in defaults
    bVertGrid = S.ReadBool(Defaults, "bVertGrid", false);
    bHorzGrid = S.ReadBool(Defaults, "bHorzGrid", false);
    bStripped = S.ReadBool(Defaults, "bStripped", false);
    pnlLeftWidth = S.ReadInteger(Defaults, "pnlLeftWidth", 200);
    DefaultTCPPort = static_cast<uint16_t>(
        ReadRange(S, Defaults, "DefaultTCPPort", Engine.DefaultTCPPort, 1, 65535));
    // A time-out below 1 ms would make every wait either return at once or
    // never.
    DefaultTimeout = ReadRange(S, Defaults, "DefaultTimeout", Engine.DefaultTimeout, 1, INT_MAX);
    DefaultCheckState =
        ReadRange(S, Defaults, "DefaultCheckState", Engine.DefaultCheckState, -1, 1);
    bNoName = S.ReadBool(Defaults, "bNoName", Engine.bNoName);
    bGetNetbiosName = S.ReadBool(Defaults, "bGetNetbiosName", Engine.bGetNetbiosName);
    bGetDomainName = S.ReadBool(Defaults, "bGetDomainName", Engine.bGetDomainName);
    bGetDomainNameIfNetBiosFailed =
        S.ReadBool(Defaults, "bGetDomainNameIfNetBiosFailed", Engine.bGetDomainNameIfNetBiosFailed);
    iMaxThreads = ReadRange(S, Defaults, "iMaxThreads", Engine.iMaxThreads, 1, 250);
    ComputerCaptionStyle = static_cast<uint8_t>(
        ReadRange(S, Defaults, "ComputerCaptionStyle", Engine.ComputerCaptionStyle, 0, 3));
    PanelLogHeight = S.ReadInteger(Defaults, "PanelLogHeight", 100);
    ClearBeforeTolvex = S.ReadBool(Defaults, "ClearBeforeTolvex", true);
    bInverseLog = S.ReadBool(Defaults, "bInverseLog", true);
    IgnoreCheck = S.ReadBool(Defaults, "IgnoreCheck", Engine.IgnoreCheck);
    LastTarget = ReadRange(S, Defaults, "LastTarget", 0, 0, 6);
    LasTMethod = ReadRange(S, Defaults, "LasTMethod", 0, 0, 4);
    S.ReadStrings(Defaults, "lstFind", lstFind);
    S.ReadStrings(Defaults, "lstBookmarks", lstBookmarks);
    S.ReadStrings(Defaults, "lstAddressList", lstAddressList);
    MaxBoomarks = ReadRange(S, Defaults, "MaxBoomarks", 32, 0, INT_MAX);
    SNMPCommunity = S.ReadString(Defaults, "SNMPCommunity", Engine.SNMPCommunity);
    bShowLog = S.ReadBool(Defaults, "bShowLog", true);

    MainWindowTop = S.ReadInteger(Window, "MainWindowTop", 0);
    MainWindowLeft = S.ReadInteger(Window, "MainWindowLeft", 0);
    MainWindowWidth = ReadRange(S, Window, "MainWindowWidth", 800, 1, INT_MAX);
    MainWindowHeight = ReadRange(S, Window, "MainWindowHeight", 600, 1, INT_MAX);
    MainWindowState = ReadRange(S, Window, "MainWindowState", 0, 0, 2);

    TScreenSize Screen;
    if (PrimaryScreenSize())
        Screen = PrimaryScreenSize()();
    if (Screen.Width > 0 && Screen.Height > 0) {
        if (MainWindowTop == 0)
            MainWindowTop = Centre(Screen.Height, MainWindowHeight);
        if (MainWindowLeft == 0)
            MainWindowLeft = Centre(Screen.Width, MainWindowWidth);
    }

    // The language file is rewritten in place when it is chosen: only a
    // plain file name inside the languages folder is taken from the file.
    DefaultLang = S.ReadString(Defaults, "DefaultLang", "english.lng");
    if (!IsPlainFileName(DefaultLang))
        DefaultLang = "english.lng";
    ReadColumnSettings(S, MACColumns, MACColumnCount - 1, Columns);
}

void WriteProgramOptions(TXMLStorage& S)
{
    S.WriteString(Defaults, "DefaultLang", DefaultLang);
    WriteColumnSettings(S, MACColumns, MACColumnCount - 1, Columns);
    S.WriteBool(Defaults, "bVertGrid", bVertGrid);
    S.WriteBool(Defaults, "bHorzGrid", bHorzGrid);
    S.WriteBool(Defaults, "bStripped", bStripped);
    S.WriteInteger(Defaults, "pnlLeftWidth", pnlLeftWidth);
    S.WriteInteger(Defaults, "DefaultTCPPort", DefaultTCPPort);
    S.WriteInteger(Defaults, "DefaultTimeout", DefaultTimeout);
    S.WriteInteger(Defaults, "ComputerCaptionStyle", ComputerCaptionStyle);
    S.WriteInteger(Defaults, "DefaultCheckState", DefaultCheckState);
    S.WriteInteger(Defaults, "LastTarget", LastTarget);
    S.WriteInteger(Defaults, "LasTMethod", LasTMethod);
    S.WriteBool(Defaults, "bNoName", bNoName);
    S.WriteBool(Defaults, "bGetNetbiosName", bGetNetbiosName);
    S.WriteBool(Defaults, "bGetDomainName", bGetDomainName);
    S.WriteBool(Defaults, "bGetDomainNameIfNetBiosFailed", bGetDomainNameIfNetBiosFailed);
    S.WriteInteger(Defaults, "iMaxThreads", iMaxThreads);
    S.WriteInteger(Defaults, "PanelLogHeight", PanelLogHeight);
    S.WriteBool(Defaults, "ClearBeforeTolvex", ClearBeforeTolvex);
    S.WriteBool(Defaults, "bInverseLog", bInverseLog);
    S.WriteBool(Defaults, "IgnoreCheck", IgnoreCheck);
    S.WriteBool(Defaults, "bShowLog", bShowLog);
    S.WriteString(Defaults, "SNMPCommunity", SNMPCommunity);
    S.WriteInteger(Defaults, "MaxBoomarks", MaxBoomarks);
    S.WriteStrings(Defaults, "lstFind", lstFind);
    S.WriteStrings(Defaults, "lstBookmarks", lstBookmarks);
    S.WriteStrings(Defaults, "lstAddressList", lstAddressList);

    // A maximized or minimized window keeps the bounds it last had as a
    // normal one.
    if (MainWindowState == 0) {
        S.WriteInteger(Window, "MainWindowTop", MainWindowTop);
        S.WriteInteger(Window, "MainWindowLeft", MainWindowLeft);
        S.WriteInteger(Window, "MainWindowWidth", MainWindowWidth);
        S.WriteInteger(Window, "MainWindowHeight", MainWindowHeight);
    }
    S.WriteInteger(Window, "MainWindowState", MainWindowState);
}

void LoadMessageStrings()
{
    // In the order the language keys have always been loaded.
    const std::pair<const char*, std::string*> Messages[] = {
        {"sSelectComp", &sSelectComp},
        {"sErrorInIP", &sErrorInIP},
        {"sErrorInMask", &sErrorInMask},
        {"sErrorDetectIPRange", &sErrorDetectIPRange},
        {"sFormatSelectIpRange", &sFormatSelectIpRange},
        {"sEmptyComputerName", &sEmptyComputerName},
        {"sWrongIPRange", &sWrongIPRange},
        {"sWrongExpression", &sWrongExpression},
        {"sAnotherFindProcessActive", &sAnotherFindProcessActive},
        {"sSetStatusScanADStart", &sSetStatusScanADStart},
        {"sSetStatusScanADComplete", &sSetStatusScanADComplete},
        {"sSetStatusScanADComputerNotFound", &sSetStatusScanADComputerNotFound},
        {"sSetStatusStart", &sSetStatusStart},
        {"sSetStatusFinish", &sSetStatusFinish},
        {"sSetStatusCanceled", &sSetStatusCanceled},
        {"sSetStatusScanComputer", &sSetStatusScanComputer},
        {"sSetStatusScanComputerInactive", &sSetStatusScanComputerInactive},
        {"sSetStatusScanComputerComplete", &sSetStatusScanComputerComplete},
        {"sSetStatusScanComputerError", &sSetStatusScanComputerError},
        {"sSetStatusScanComputerErrorMSg", &sSetStatusScanComputerErrorMSg},
        {"sSetStatusScanNetworkStart", &sSetStatusScanNetworkStart},
        {"sSetStatusScanNetworkComplete", &sSetStatusScanNetworkComplete},
        {"sSetStatusScanComputerNotDetect", &sSetStatusScanComputerNotDetect},
        {"sNetAPIFailed", &sNetAPIFailed},
        {"sComputerCaptionStyle", &sComputerCaptionStyle},
        {"sComputerName", &sComputerName},
        {"sComputerIP", &sComputerIP},
        {"sCannotDetectIP", &sCannotDetectIP},
        {"sFindFinished", &sFindFinished},
        {"sFileNoRead", &sFileNoRead},
        {"sError", &sError},
        {"sSetStatusScanNetworkComputerNotFound", &sSetStatusScanNetworkComputerNotFound},
        {"sEnterValidCompName", &sEnterValidCompName},
        {"sAddressAllSelectedDeleteWarning", &sAddressAllSelectedDeleteWarning},
        {"sComputerFinded", &sComputerFinded},
        {"sComputerSelected", &sComputerSelected},
        {"sAddressAllSelectedDelete", &sAddressAllSelectedDelete},
        {"sUnknownManufacturer", &sUnknownManufacturer},
        {"sMACAddressInvalid", &sMACAddressInvalid},
        {"sSetStatusScanComputerNotResolved", &sSetStatusScanComputerNotResolved},
    };
    for (const auto& [Key, Text] : Messages)
        *Text = Translate(Key);
    for (int I = 0; I < MACColumnCount; ++I)
        MACColumns[static_cast<size_t>(I)].Caption = Translate("MACColumns" + std::to_string(I));
}

void LoadProgramOptions()
{
    InitFolderGlobals();
    CopyLanguageFiles();
    OptionsFile = PrepareSettingsFile("options.xml");
    ToolsFile = PrepareSettingsFile("tools.xml");
    PresetsFile = PrepareSettingsFile("presets.xml");
    lstFind.clear();
    lstBookmarks.clear();
    lstAddressList.clear();
    {
        TXMLStorage Storage(OptionsFile);
        Storage.Load();
        ReadProgramOptions(Storage);
    }
    LangChanger = std::make_unique<TLangChanger>();
    LangChanger->SetLangFile(LanguagesDir + DefaultLang);
    LoadMessageStrings();
}

void SaveProgramOptions()
{
    {
        TXMLStorage Storage(OptionsFile);
        Storage.Load();
        WriteProgramOptions(Storage);
        Storage.Save();
    }
    LangChanger.reset();
}
