#include "settings/uProgramOptions.h"

#include "engine/uEngineOptions.h"
#include "settings/CommonFunctions.h"
#include "settings/Language.h"
#include "settings/uXMLStorage.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <type_traits>
#include <variant>

#include <sys/stat.h>

// Defined without a value: their defaults are set from the tables below,
// once before main (see the end of this file) and by every reset.
bool bVertGrid;
bool bHorzGrid;
bool bStripped;
int pnlLeftWidth;
int PanelLogHeight;
bool ClearBeforeTolvex;
bool bInverseLog;
int LastTarget;
int LasTMethod;
std::vector<std::string> lstFind;
std::vector<std::string> lstBookmarks;
std::vector<std::string> lstAddressList;
int MaxBoomarks;
bool bShowLog;
std::string DefaultLang;

int MainWindowTop;
int MainWindowLeft;
int MainWindowWidth;
int MainWindowHeight;
int MainWindowState;

std::array<TListColumnStore, MACColumnCount> MACColumns;

std::string sSelectComp;
std::string sErrorInIP;
std::string sErrorInMask;
std::string sErrorDetectIPRange;
std::string sFormatSelectIpRange;
std::string sEmptyComputerName;
std::string sWrongIPRange;
std::string sWrongExpression;
std::string sAnotherFindProcessActive;
std::string sSetStatusStart;
std::string sSetStatusFinish;
std::string sSetStatusCanceled;
std::string sSetStatusScanComputer;
std::string sSetStatusScanComputerError;
std::string sNetAPIFailed;
std::string sComputerName;
std::string sComputerIP;
std::string sCannotDetectIP;
std::string sFindFinished;
std::string sFileNoRead;
std::string sError;
std::string sEnterValidCompName;
std::string sAddressAllSelectedDeleteWarning;
std::string sComputerFinded;
std::string sComputerSelected;
std::string sAddressAllSelectedDelete;
std::string sUnknownManufacturer;
std::string sMACAddressInvalid;

namespace {

constexpr const char* Columns = "MACColumns";

// No window is larger (the window system's limit): panel sizes beyond it
// are no sizes the program stored.
constexpr int MaxWindowSize = 32767;

TPrimaryScreenSizeFunc& PrimaryScreenSize()
{
    static TPrimaryScreenSizeFunc Func;
    return Func;
}

// The language file is rewritten in place when it is chosen: only a plain
// file name inside the languages folder is taken from the file.
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

// Column I as it is before anything is stored: in its own place.
TListColumnStore DefaultColumn(int I)
{
    TListColumnStore C;
    C.Position = I;
    return C;
}

bool WindowIsNormal()
{
    return MainWindowState == 0;
}

void ReadOption(TXMLStorage& S, const char* Section, const TOption& O)
{
    std::visit(
        [&](auto* Global) {
            using T = std::remove_pointer_t<decltype(Global)>;
            if constexpr (std::is_same_v<T, bool>) {
                *Global = S.ReadBool(Section, O.Key, O.Default != 0);
            } else if constexpr (std::is_same_v<T, std::string>) {
                *Global = S.ReadString(Section, O.Key, O.DefaultText);
                if (O.Accepts && !O.Accepts(*Global))
                    *Global = O.DefaultText;
            } else if constexpr (std::is_same_v<T, std::vector<std::string>>) {
                S.ReadStrings(Section, O.Key, *Global);
            } else {
                const long long Read = S.ReadInteger(Section, O.Key, static_cast<int>(O.Default));
                *Global = static_cast<T>(Read >= O.Min && Read <= O.Max ? Read : O.Default);
            }
        },
        O.Variable);
}

void WriteOption(TXMLStorage& S, const char* Section, const TOption& O)
{
    std::visit(
        [&](auto* Global) {
            using T = std::remove_pointer_t<decltype(Global)>;
            if constexpr (std::is_same_v<T, bool>)
                S.WriteBool(Section, O.Key, *Global);
            else if constexpr (std::is_same_v<T, std::string>)
                S.WriteString(Section, O.Key, *Global);
            else if constexpr (std::is_same_v<T, std::vector<std::string>>)
                S.WriteStrings(Section, O.Key, *Global);
            else
                S.WriteInteger(Section, O.Key, static_cast<int>(*Global));
        },
        O.Variable);
}

// The keys of one column: a name and its index.
using TColumnKeys = std::array<std::string, 6>;

// The stored fields of column I (Column) as option rows, in the order they
// are written; Keys receives the key texts the rows point to. Last is the
// index of the last column, the highest position a column can have.
std::array<TOption, 6> ColumnOptions(TListColumnStore& Column, int I, int Last, TColumnKeys& Keys)
{
    const TListColumnStore D = DefaultColumn(I);
    const std::string N = std::to_string(I);
    Keys = {"Visible" + N,  "Width" + N,         "Alignment" + N,
            "Position" + N, "SortDirection" + N, "Sorted" + N};
    return {{
        {.Key = Keys[0].c_str(), .Variable = &Column.Visible, .Default = D.Visible},
        {.Key = Keys[1].c_str(),
         .Variable = &Column.Width,
         .Default = D.Width,
         .Min = 0,
         .Max = INT_MAX},
        {.Key = Keys[2].c_str(),
         .Variable = &Column.Alignment,
         .Default = D.Alignment,
         .Min = 0, // left, right, centre
         .Max = 2},
        {.Key = Keys[3].c_str(),
         .Variable = &Column.Position,
         .Default = D.Position,
         .Min = 0,
         .Max = Last},
        {.Key = Keys[4].c_str(),
         .Variable = &Column.SortDirection,
         .Default = D.SortDirection,
         .Min = 0, // ascending, descending
         .Max = 1},
        {.Key = Keys[5].c_str(), .Variable = &Column.Sorted, .Default = D.Sorted},
    }};
}

void WriteSection(TXMLStorage& S, const TOptionSection& Section)
{
    if (!Section.Written || Section.Written())
        for (const TOption& O : Section.Options)
            WriteOption(S, Section.Name, O);
}

// The options of this unit only, without the engine's.
void ResetOwnOptions();

} // namespace

const std::vector<TOptionSection>& ProgramOptionSections()
{
    // "Defaults" in the order its keys have always been written: a key
    // missing from the file is added at the end of its section, so this
    // order is what users' files look like. The engine's options stand in
    // their old places.
    static const std::vector<TOptionSection> Sections = {
        {"Defaults",
         {
             {.Key = "DefaultLang",
              .Variable = &DefaultLang,
              .DefaultText = "english.lng",
              .Accepts = IsPlainFileName},
             {.Key = "bVertGrid", .Variable = &bVertGrid, .Default = 0},
             {.Key = "bHorzGrid", .Variable = &bHorzGrid, .Default = 0},
             {.Key = "bStripped", .Variable = &bStripped, .Default = 0},
             {.Key = "pnlLeftWidth",
              .Variable = &pnlLeftWidth,
              .Default = 200,
              .Min = 0,
              .Max = MaxWindowSize},
             EngineOption("DefaultTCPPort"),
             EngineOption("DefaultTimeout"),
             EngineOption("ComputerCaptionStyle"),
             EngineOption("DefaultCheckState"),
             {.Key = "LastTarget",
              .Variable = &LastTarget,
              .Default = 0,
              .Min = 0, // TScanTarget
              .Max = 6},
             {.Key = "LasTMethod",
              .Variable = &LasTMethod,
              .Default = 0,
              .Min = 0, // TScanMethod, as the method selector sets it
              .Max = 4},
             EngineOption("bNoName"),
             EngineOption("bGetNetbiosName"),
             EngineOption("bGetDomainName"),
             EngineOption("bGetDomainNameIfNetBiosFailed"),
             EngineOption("iMaxThreads"),
             {.Key = "PanelLogHeight",
              .Variable = &PanelLogHeight,
              .Default = 100,
              .Min = 0,
              .Max = MaxWindowSize},
             {.Key = "ClearBeforeTolvex", .Variable = &ClearBeforeTolvex, .Default = 1},
             {.Key = "bInverseLog", .Variable = &bInverseLog, .Default = 1},
             EngineOption("IgnoreCheck"),
             {.Key = "bShowLog", .Variable = &bShowLog, .Default = 1},
             EngineOption("SNMPCommunity"),
             {.Key = "MaxBoomarks",
              .Variable = &MaxBoomarks,
              .Default = 32,
              .Min = 0,
              .Max = INT_MAX},
             {.Key = "lstFind", .Variable = &lstFind},
             {.Key = "lstBookmarks", .Variable = &lstBookmarks},
             {.Key = "lstAddressList", .Variable = &lstAddressList},
         }},
        // A maximized or minimized window keeps the bounds it last had as a
        // normal one: they are written only while it is normal.
        {"Window",
         {
             // 0 means: centred on the primary screen.
             {.Key = "MainWindowTop",
              .Variable = &MainWindowTop,
              .Default = 0,
              .Min = INT_MIN,
              .Max = INT_MAX},
             {.Key = "MainWindowLeft",
              .Variable = &MainWindowLeft,
              .Default = 0,
              .Min = INT_MIN,
              .Max = INT_MAX},
             {.Key = "MainWindowWidth",
              .Variable = &MainWindowWidth,
              .Default = 800,
              .Min = 1,
              .Max = MaxWindowSize},
             {.Key = "MainWindowHeight",
              .Variable = &MainWindowHeight,
              .Default = 600,
              .Min = 1,
              .Max = MaxWindowSize},
         },
         WindowIsNormal},
        {"Window",
         {
             // 0 normal, 1 minimized, 2 maximized
             {.Key = "MainWindowState",
              .Variable = &MainWindowState,
              .Default = 0,
              .Min = 0,
              .Max = 2},
         }},
    };
    return Sections;
}

const std::vector<TProgramMessage>& ProgramMessages()
{
    static const std::vector<TProgramMessage> Messages = {
        {"sSelectComp", &sSelectComp},
        {"sErrorInIP", &sErrorInIP},
        {"sErrorInMask", &sErrorInMask},
        {"sErrorDetectIPRange", &sErrorDetectIPRange},
        {"sFormatSelectIpRange", &sFormatSelectIpRange},
        {"sEmptyComputerName", &sEmptyComputerName},
        {"sWrongIPRange", &sWrongIPRange},
        {"sWrongExpression", &sWrongExpression},
        {"sAnotherFindProcessActive", &sAnotherFindProcessActive},
        {"sSetStatusStart", &sSetStatusStart},
        {"sSetStatusFinish", &sSetStatusFinish},
        {"sSetStatusCanceled", &sSetStatusCanceled},
        {"sSetStatusScanComputer", &sSetStatusScanComputer},
        {"sSetStatusScanComputerError", &sSetStatusScanComputerError},
        {"sNetAPIFailed", &sNetAPIFailed},
        {"sComputerName", &sComputerName},
        {"sComputerIP", &sComputerIP},
        {"sCannotDetectIP", &sCannotDetectIP},
        {"sFindFinished", &sFindFinished},
        {"sFileNoRead", &sFileNoRead},
        {"sError", &sError},
        {"sEnterValidCompName", &sEnterValidCompName},
        {"sAddressAllSelectedDeleteWarning", &sAddressAllSelectedDeleteWarning},
        {"sComputerFinded", &sComputerFinded},
        {"sComputerSelected", &sComputerSelected},
        {"sAddressAllSelectedDelete", &sAddressAllSelectedDelete},
        {"sUnknownManufacturer", &sUnknownManufacturer},
        {"sMACAddressInvalid", &sMACAddressInvalid},
    };
    return Messages;
}

namespace {

void ResetOwnOptions()
{
    // The engine's rows are reset by the engine, which owns their globals.
    for (const TOptionSection& Section : ProgramOptionSections())
        for (const TOption& O : Section.Options)
            if (std::none_of(
                    EngineOptions().begin(), EngineOptions().end(),
                    [&](const TEngineOption& E) { return E.Option.Variable == O.Variable; }))
                SetToDefault(O);
    for (int I = 0; I < MACColumnCount; ++I) {
        TListColumnStore& C = MACColumns[static_cast<size_t>(I)];
        std::string Caption = std::move(C.Caption); // a translation, not an option
        C = DefaultColumn(I);
        C.Caption = std::move(Caption);
    }
    for (const TProgramMessage& M : ProgramMessages())
        *M.Text = M.Key;
}

} // namespace

void ResetProgramOptions()
{
    ResetEngineOptions();
    ResetOwnOptions();
}

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
        TColumnKeys Keys;
        for (const TOption& O : ColumnOptions(Cols[static_cast<size_t>(I)], I, Last, Keys))
            ReadOption(Storage, Section.c_str(), O);
    }
}

void WriteColumnSettings(TXMLStorage& Storage, std::span<const TListColumnStore> Cols,
                         int LastIndex, const std::string& Section)
{
    const int Last = std::min(LastIndex, static_cast<int>(Cols.size()) - 1);
    for (int I = 0; I <= Last; ++I) {
        TListColumnStore Column = Cols[static_cast<size_t>(I)];
        TColumnKeys Keys;
        for (const TOption& O : ColumnOptions(Column, I, Last, Keys))
            WriteOption(Storage, Section.c_str(), O);
    }
}

void ReadProgramOptions(TXMLStorage& S)
{
    for (const TOptionSection& Section : ProgramOptionSections())
        for (const TOption& O : Section.Options)
            ReadOption(S, Section.Name, O);

    TScreenSize Screen;
    if (PrimaryScreenSize())
        Screen = PrimaryScreenSize()();
    if (Screen.Width > 0 && Screen.Height > 0) {
        if (MainWindowTop == 0)
            MainWindowTop = Centre(Screen.Height, MainWindowHeight);
        if (MainWindowLeft == 0)
            MainWindowLeft = Centre(Screen.Width, MainWindowWidth);
    }
    ReadColumnSettings(S, MACColumns, MACColumnCount - 1, Columns);
}

void WriteProgramOptions(TXMLStorage& S)
{
    // A file without them gets its sections in the order "Defaults",
    // "MACColumns", "Window".
    const std::vector<TOptionSection>& Sections = ProgramOptionSections();
    WriteSection(S, Sections.front());
    WriteColumnSettings(S, MACColumns, MACColumnCount - 1, Columns);
    for (auto It = std::next(Sections.begin()); It != Sections.end(); ++It)
        WriteSection(S, *It);
}

void LoadMessageStrings()
{
    for (const TProgramMessage& M : ProgramMessages())
        *M.Text = Translate(M.Key);
    for (const TEngineMessage& M : EngineMessages())
        *M.Text = Translate(M.Key);
    for (int I = 0; I < MACColumnCount; ++I)
        MACColumns[static_cast<size_t>(I)].Caption = Translate("MACColumns" + std::to_string(I));
}

namespace {

// One value that WriteProgramOptions writes.
struct TWrittenOption {
    std::string Section, Key, Value;
    std::vector<std::string> List; // a list option's lines
    bool operator==(const TWrittenOption&) const = default;
};

// What WriteProgramOptions writes, taken without any document: the options
// as they were read, to be compared with the options at the end of the run.
class TOptionsImage : public TXMLStorage {
public:
    TOptionsImage() : TXMLStorage(std::string()) { WriteProgramOptions(*this); }
    void WriteString(const std::string& Section, const std::string& Key,
                     const std::string& Value) override
    {
        Written.push_back({Section, Key, Value, {}});
    }
    void WriteStrings(const std::string& Section, const std::string& Key,
                      const std::vector<std::string>& Strings) override
    {
        Written.push_back({Section, Key, {}, Strings});
    }
    std::vector<TWrittenOption> Written;
};

// Whether WriteProgramOptions would write what Image holds; nothing is
// copied, so a long list costs one pass of comparisons.
class TOptionsComparison : public TXMLStorage {
public:
    explicit TOptionsComparison(const std::vector<TWrittenOption>& Image)
        : TXMLStorage(std::string()), FImage(Image)
    {
        WriteProgramOptions(*this);
        Same = Same && FNext == FImage.size();
    }
    void WriteString(const std::string& Section, const std::string& Key,
                     const std::string& Value) override
    {
        const TWrittenOption* O = Next(Section, Key);
        Same = Same && O && O->Value == Value && O->List.empty();
    }
    void WriteStrings(const std::string& Section, const std::string& Key,
                      const std::vector<std::string>& Strings) override
    {
        const TWrittenOption* O = Next(Section, Key);
        Same = Same && O && O->List == Strings && O->Value.empty();
    }
    bool Same = true;

private:
    const TWrittenOption* Next(const std::string& Section, const std::string& Key)
    {
        if (FNext >= FImage.size())
            return nullptr;
        const TWrittenOption& O = FImage[FNext++];
        return O.Section == Section && O.Key == Key ? &O : nullptr;
    }
    const std::vector<TWrittenOption>& FImage;
    size_t FNext = 0;
};

// Whether a loaded file holds every option exactly as WriteProgramOptions
// would write it, so that writing the same values would change nothing.
class TFileHoldsOptions : public TXMLStorage {
public:
    explicit TFileHoldsOptions(const TXMLStorage& File) : TXMLStorage(std::string()), FFile(File)
    {
        WriteProgramOptions(*this);
    }
    void WriteString(const std::string& Section, const std::string& Key,
                     const std::string& Value) override
    {
        Holds = Holds && FFile.Holds(Section, Key, Value);
    }
    void WriteStrings(const std::string& Section, const std::string& Key,
                      const std::vector<std::string>& Strings) override
    {
        Holds = Holds && FFile.Holds(Section, Key, Strings);
    }
    bool Holds = true;

private:
    const TXMLStorage& FFile;
};

// The options file as the options were read from it: what it held (as the
// options write it) and which file, in which state, it was.
struct TReadOptions {
    bool Whole = false; // read as it stands and holding every option as written
    struct stat File {};
    std::vector<TWrittenOption> Image;
};
TReadOptions ReadOptions;

bool SameFileState(const struct stat& A, const struct stat& B)
{
    return A.st_dev == B.st_dev && A.st_ino == B.st_ino && A.st_size == B.st_size &&
           A.st_mtim.tv_sec == B.st_mtim.tv_sec && A.st_mtim.tv_nsec == B.st_mtim.tv_nsec;
}

} // namespace

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
        ReadOptions = {};
        // Only a file that holds every option as it would be written again
        // may be left as it is at the end: one without some keys, or with
        // values in a hand-written form, is completed and brought into the
        // store's own form then.
        ReadOptions.Whole = !Storage.LoadFailed() && !Storage.KeepsOriginal() &&
                            ::stat(OptionsFile.c_str(), &ReadOptions.File) == 0 &&
                            TFileHoldsOptions(Storage).Holds;
        if (ReadOptions.Whole)
            ReadOptions.Image = std::move(TOptionsImage().Written);
    }
    LangChanger = std::make_unique<TLangChanger>();
    LangChanger->SetLangFile(LanguagesDir + DefaultLang);
    LoadMessageStrings();
}

void SaveProgramOptions()
{
    // Options that are what the file still holds leave it as it is: nothing
    // to read again, to build or to compare. A long address list makes
    // that work the bulk of the program's end.
    struct stat Now {};
    const bool Unchanged = ReadOptions.Whole && ::stat(OptionsFile.c_str(), &Now) == 0 &&
                           SameFileState(Now, ReadOptions.File) &&
                           TOptionsComparison(ReadOptions.Image).Same;
    if (!Unchanged) {
        TXMLStorage Storage(OptionsFile);
        Storage.Load();
        WriteProgramOptions(Storage);
        Storage.Save();
    }
    ReadOptions = {};
    LangChanger.reset();
}

namespace {
// After the globals above are constructed, before main. The engine sets its
// own globals' defaults the same way.
[[maybe_unused]] const bool DefaultsSet = (ResetOwnOptions(), true);
} // namespace
