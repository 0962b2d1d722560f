#include "engine/uEngineOptions.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"
#include "tests/settings/SettingsTestSupport.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <limits>
#include <set>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

using namespace testsupport;

namespace {

// Every test starts and ends with the built-in defaults.
class ProgramOptions : public ::testing::Test {
protected:
    void SetUp() override
    {
        OldScreen = SetPrimaryScreenSizeFunc(nullptr);
        ResetProgramOptions();
    }
    void TearDown() override
    {
        SetPrimaryScreenSizeFunc(OldScreen);
        ResetProgramOptions();
    }

    // Loads Body (the inside of the root element) and reads the options.
    void ReadFrom(const std::string& Body)
    {
        const std::string Path = Dir.Path("options.xml");
        TempFolder::Write(Path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>" + Body +
                                    "</Options>\n");
        TXMLStorage S(Path);
        S.Load();
        ASSERT_FALSE(S.LoadFailed());
        ReadProgramOptions(S);
    }

    // Writes the options into a seeded file and returns its path.
    std::string WriteTo(const std::string& Seed = "<Options />\n")
    {
        const std::string Path = Dir.Path("options.xml");
        if (!FileExists(Path))
            TempFolder::Write(Path, Seed);
        TXMLStorage S(Path);
        S.Load();
        WriteProgramOptions(S);
        EXPECT_TRUE(S.Save());
        EXPECT_EQ(XmlLint(Path), 0);
        return Path;
    }

    TempFolder Dir;
    TPrimaryScreenSizeFunc OldScreen;
};

// (section, key, text) of every key element, in document order.
std::vector<std::vector<std::string>> KeysOf(const std::string& Path)
{
    pugi::xml_document Doc;
    EXPECT_TRUE(Doc.load_file(Path.c_str()));
    std::vector<std::vector<std::string>> Keys;
    for (pugi::xml_node Sec : Doc.document_element().children())
        for (pugi::xml_node Key : Sec.children()) {
            std::string Text = Key.text().get();
            for (pugi::xml_node Line : Key.children())
                if (Line.type() == pugi::node_element)
                    Text += std::string("[") + Line.name() + "]";
            Keys.push_back({Sec.name(), Key.name(), Text});
        }
    return Keys;
}

TEST_F(ProgramOptions, EmptySeedGetsTheWholeSkeletonInOrder)
{
    std::vector<std::vector<std::string>> Expected = {{"Defaults", "DefaultLang", "english.lng"}};
    for (int I = 0; I < 5; ++I) {
        const std::string N = std::to_string(I);
        for (const auto& [Key, Text] :
             std::vector<std::pair<std::string, std::string>>{{"Visible", "1"},
                                                              {"Width", "50"},
                                                              {"Alignment", "0"},
                                                              {"Position", N},
                                                              {"SortDirection", "0"},
                                                              {"Sorted", "0"}})
            Expected.push_back({"MACColumns", Key + N, Text});
    }
    for (const auto& [Key, Text] :
         std::vector<std::pair<std::string, std::string>>{{"bVertGrid", "0"},
                                                          {"bHorzGrid", "0"},
                                                          {"bStripped", "0"},
                                                          {"pnlLeftWidth", "200"},
                                                          {"DefaultTCPPort", "39"},
                                                          {"DefaultTimeout", "300"},
                                                          {"ComputerCaptionStyle", "1"},
                                                          {"DefaultCheckState", "0"},
                                                          {"LastTarget", "0"},
                                                          {"LasTMethod", "0"},
                                                          {"bNoName", "0"},
                                                          {"bGetNetbiosName", "1"},
                                                          {"bGetDomainName", "0"},
                                                          {"bGetDomainNameIfNetBiosFailed", "0"},
                                                          {"iMaxThreads", "64"},
                                                          {"PanelLogHeight", "100"},
                                                          {"ClearBeforeTolvex", "1"},
                                                          {"bInverseLog", "1"},
                                                          {"IgnoreCheck", "1"},
                                                          {"bShowLog", "1"},
                                                          {"SNMPCommunity", "public"},
                                                          {"MaxBoomarks", "32"},
                                                          {"lstFind", ""},
                                                          {"lstBookmarks", ""},
                                                          {"lstAddressList", ""}})
        Expected.push_back({"Defaults", Key, Text});
    for (const auto& [Key, Text] :
         std::vector<std::pair<std::string, std::string>>{{"MainWindowTop", "0"},
                                                          {"MainWindowLeft", "0"},
                                                          {"MainWindowWidth", "800"},
                                                          {"MainWindowHeight", "600"},
                                                          {"MainWindowState", "0"}})
        Expected.push_back({"Window", Key, Text});

    // In the file the "MACColumns" section follows "Defaults" as a whole.
    std::vector<std::vector<std::string>> InFileOrder;
    for (const char* Sec : {"Defaults", "MACColumns", "Window"})
        for (const auto& K : Expected)
            if (K[0] == Sec)
                InFileOrder.push_back(K);
    EXPECT_EQ(KeysOf(WriteTo()), InFileOrder);
}

// A value other than the default for every option, the awkward texts among
// them.
void SetChangedValues()
{
    bVertGrid = bHorzGrid = bStripped = true;
    pnlLeftWidth = 321;
    DefaultTCPPort = 65535;
    DefaultTimeout = 1500;
    DefaultCheckState = -1;
    bNoName = true;
    bGetNetbiosName = false;
    bGetDomainName = bGetDomainNameIfNetBiosFailed = true;
    iMaxThreads = 250;
    ComputerCaptionStyle = 3;
    PanelLogHeight = 77;
    ClearBeforeTolvex = bInverseLog = IgnoreCheck = bShowLog = false;
    LastTarget = 6;
    LasTMethod = 4;
    lstFind = {"a&b", "  ", "<x>"};
    lstBookmarks = {"10.0.0.1-10.0.0.9"};
    lstAddressList = {"host\"1\"", "caf\xC3\xA9"};
    MaxBoomarks = 5;
    SNMPCommunity = "c&\"<>\r\x01";
    DefaultLang = "deutsch.lng";
    MainWindowTop = -20;
    MainWindowLeft = 1930;
    MainWindowWidth = 1024;
    MainWindowHeight = 700;
    MACColumns[3] = {false, "", 333, 2, 0, true, 1};
    MACColumns[0].Position = 3;
}

TEST_F(ProgramOptions, EveryValueRoundTrips)
{
    SetChangedValues();
    const auto Columns = MACColumns;
    WriteTo();

    SetUp(); // back to the defaults
    ASSERT_EQ(iMaxThreads, 64);
    TXMLStorage S(Dir.Path("options.xml"));
    S.Load();
    ReadProgramOptions(S);
    EXPECT_TRUE(bVertGrid && bHorzGrid && bStripped);
    EXPECT_EQ(pnlLeftWidth, 321);
    EXPECT_EQ(DefaultTCPPort, 65535);
    EXPECT_EQ(DefaultTimeout, 1500);
    EXPECT_EQ(DefaultCheckState, -1);
    EXPECT_TRUE(bNoName);
    EXPECT_FALSE(bGetNetbiosName);
    EXPECT_TRUE(bGetDomainName && bGetDomainNameIfNetBiosFailed);
    EXPECT_EQ(iMaxThreads, 250);
    EXPECT_EQ(ComputerCaptionStyle, 3);
    EXPECT_EQ(PanelLogHeight, 77);
    EXPECT_FALSE(ClearBeforeTolvex || bInverseLog || IgnoreCheck || bShowLog);
    EXPECT_EQ(LastTarget, 6);
    EXPECT_EQ(LasTMethod, 4);
    EXPECT_EQ(lstFind, (std::vector<std::string>{"a&b", "  ", "<x>"}));
    EXPECT_EQ(lstBookmarks, (std::vector<std::string>{"10.0.0.1-10.0.0.9"}));
    EXPECT_EQ(lstAddressList, (std::vector<std::string>{"host\"1\"", "caf\xC3\xA9"}));
    EXPECT_EQ(MaxBoomarks, 5);
    EXPECT_EQ(SNMPCommunity, "c&\"<>\r\x01");
    EXPECT_EQ(DefaultLang, "deutsch.lng");
    EXPECT_EQ(MainWindowTop, -20);
    EXPECT_EQ(MainWindowLeft, 1930);
    EXPECT_EQ(MainWindowWidth, 1024);
    EXPECT_EQ(MainWindowHeight, 700);
    for (size_t I = 0; I < MACColumns.size(); ++I) {
        EXPECT_EQ(MACColumns[I].Visible, Columns[I].Visible) << I;
        EXPECT_EQ(MACColumns[I].Width, Columns[I].Width) << I;
        EXPECT_EQ(MACColumns[I].Alignment, Columns[I].Alignment) << I;
        EXPECT_EQ(MACColumns[I].Position, Columns[I].Position) << I;
        EXPECT_EQ(MACColumns[I].Sorted, Columns[I].Sorted) << I;
        EXPECT_EQ(MACColumns[I].SortDirection, Columns[I].SortDirection) << I;
    }
}

TEST_F(ProgramOptions, HexadecimalNumbersAreRead)
{
    ReadFrom("<Defaults><iMaxThreads>0x40</iMaxThreads><DefaultTimeout>$1F4</DefaultTimeout>"
             "<DefaultTCPPort>0X50</DefaultTCPPort></Defaults>");
    EXPECT_EQ(iMaxThreads, 64);
    EXPECT_EQ(DefaultTimeout, 500);
    EXPECT_EQ(DefaultTCPPort, 80);
    ReadFrom("<Defaults><iMaxThreads>0x20</iMaxThreads></Defaults>");
    EXPECT_EQ(iMaxThreads, 32);
}

TEST_F(ProgramOptions, OutOfRangeAndNonNumericValuesKeepTheirDefaults)
{
    struct Case {
        const char* Section;
        const char* Key;
        const char* Text;
    };
    const std::vector<Case> Bad = {
        {"Defaults", "iMaxThreads", "0"},
        {"Defaults", "iMaxThreads", "251"},
        {"Defaults", "iMaxThreads", "-3"},
        {"Defaults", "iMaxThreads", "many"},
        {"Defaults", "DefaultTCPPort", "0"},
        {"Defaults", "DefaultTCPPort", "65536"},
        {"Defaults", "DefaultTCPPort", "-1"},
        {"Defaults", "DefaultTCPPort", "0x10027"},
        {"Defaults", "DefaultTimeout", "0"},
        {"Defaults", "DefaultTimeout", "-300"},
        {"Defaults", "DefaultCheckState", "2"},
        {"Defaults", "DefaultCheckState", "-2"},
        {"Defaults", "ComputerCaptionStyle", "4"},
        {"Defaults", "ComputerCaptionStyle", "256"},
        {"Defaults", "ComputerCaptionStyle", "-1"},
        {"Defaults", "LastTarget", "7"},
        {"Defaults", "LastTarget", "-1"},
        {"Defaults", "LasTMethod", "5"},
        {"Defaults", "LasTMethod", "-2"},
        {"Defaults", "MaxBoomarks", "-1"},
        {"Defaults", "pnlLeftWidth", "wide"},
        // Sizes no window can have; subtracted from the window's size they
        // would overflow.
        {"Defaults", "pnlLeftWidth", "-2147483648"},
        {"Defaults", "pnlLeftWidth", "2147483647"},
        {"Defaults", "PanelLogHeight", "-2147483648"},
        {"Defaults", "PanelLogHeight", "40000"},
        {"Window", "MainWindowWidth", "2147483647"},
        {"Window", "MainWindowHeight", "32768"},
        {"Window", "MainWindowState", "3"},
        {"Window", "MainWindowWidth", "0"},
        {"Window", "MainWindowHeight", "-600"},
        {"MACColumns", "Alignment2", "3"},
        {"MACColumns", "Position2", "5"},
        {"MACColumns", "Position2", "-1"},
        {"MACColumns", "SortDirection2", "2"},
        {"MACColumns", "Width2", "-10"},
        {"MACColumns", "Visible2", "yes"},
    };
    for (const auto& C : Bad) {
        SetUp();
        ReadFrom(std::string("<") + C.Section + "><" + C.Key + ">" + C.Text + "</" + C.Key + "></" +
                 C.Section + ">");
        const std::string Where = std::string(C.Key) + "=" + C.Text;
        EXPECT_EQ(iMaxThreads, 64) << Where;
        EXPECT_EQ(DefaultTCPPort, 39) << Where;
        EXPECT_EQ(DefaultTimeout, 300) << Where;
        EXPECT_EQ(DefaultCheckState, 0) << Where;
        EXPECT_EQ(ComputerCaptionStyle, 1) << Where;
        EXPECT_EQ(LastTarget, 0) << Where;
        EXPECT_EQ(LasTMethod, 0) << Where;
        EXPECT_EQ(MaxBoomarks, 32) << Where;
        EXPECT_EQ(pnlLeftWidth, 200) << Where;
        EXPECT_EQ(PanelLogHeight, 100) << Where;
        EXPECT_EQ(MainWindowState, 0) << Where;
        EXPECT_EQ(MainWindowWidth, 800) << Where;
        EXPECT_EQ(MainWindowHeight, 600) << Where;
        EXPECT_EQ(MACColumns[2].Alignment, 0) << Where;
        EXPECT_EQ(MACColumns[2].Position, 2) << Where;
        EXPECT_EQ(MACColumns[2].SortDirection, 0) << Where;
        EXPECT_EQ(MACColumns[2].Width, 50) << Where;
        EXPECT_TRUE(MACColumns[2].Visible) << Where;
    }
}

TEST_F(ProgramOptions, RangeLimitsThemselvesAreAccepted)
{
    ReadFrom(
        "<Defaults><iMaxThreads>1</iMaxThreads><DefaultTCPPort>1</DefaultTCPPort>"
        "<DefaultCheckState>1</DefaultCheckState><ComputerCaptionStyle>0</ComputerCaptionStyle>"
        "<LastTarget>6</LastTarget></Defaults>"
        "<Window><MainWindowState>2</MainWindowState></Window>"
        "<MACColumns><Alignment4>2</Alignment4><Position4>0</Position4></MACColumns>");
    EXPECT_EQ(iMaxThreads, 1);
    EXPECT_EQ(DefaultTCPPort, 1);
    EXPECT_EQ(DefaultCheckState, 1);
    EXPECT_EQ(ComputerCaptionStyle, 0);
    EXPECT_EQ(LastTarget, 6);
    EXPECT_EQ(MainWindowState, 2);
    EXPECT_EQ(MACColumns[4].Alignment, 2);
    EXPECT_EQ(MACColumns[4].Position, 0);
}

TEST_F(ProgramOptions, FirstStartCentresOnThePrimaryScreen)
{
    SetPrimaryScreenSizeFunc([] { return TScreenSize{1920, 1080}; });
    ReadFrom("<Defaults />");
    EXPECT_EQ(MainWindowWidth, 800);
    EXPECT_EQ(MainWindowHeight, 600);
    EXPECT_EQ(MainWindowTop, 240);
    EXPECT_EQ(MainWindowLeft, 560);

    // Odd sizes divide towards zero on both sides; a stored edge is kept.
    SetPrimaryScreenSizeFunc([] { return TScreenSize{1367, 769}; });
    ReadFrom("<Window><MainWindowTop>15</MainWindowTop><MainWindowWidth>801</MainWindowWidth>"
             "<MainWindowHeight>601</MainWindowHeight></Window>");
    EXPECT_EQ(MainWindowTop, 15);
    EXPECT_EQ(MainWindowLeft, 683 - 400);

    // A window wider than the screen gets a negative left edge.
    SetPrimaryScreenSizeFunc([] { return TScreenSize{640, 480}; });
    ReadFrom("<Window><MainWindowWidth>1001</MainWindowWidth></Window>");
    EXPECT_EQ(MainWindowLeft, 320 - 500);
    EXPECT_EQ(MainWindowTop, 240 - 300);
}

TEST_F(ProgramOptions, WithoutAScreenThePositionStaysUnset)
{
    ReadFrom("<Defaults />");
    EXPECT_EQ(MainWindowTop, 0);
    EXPECT_EQ(MainWindowLeft, 0);
    SetPrimaryScreenSizeFunc([] { return TScreenSize{0, 0}; });
    ReadFrom("<Defaults />");
    EXPECT_EQ(MainWindowTop, 0);
    EXPECT_EQ(MainWindowLeft, 0);
}

TEST_F(ProgramOptions, ClosingMaximizedKeepsTheNormalBounds)
{
    ReadFrom("<Window><MainWindowTop>10</MainWindowTop><MainWindowLeft>20</MainWindowLeft>"
             "<MainWindowWidth>900</MainWindowWidth><MainWindowHeight>700</MainWindowHeight>"
             "<MainWindowState>0</MainWindowState></Window>");
    for (int State : {2, 1}) {
        MainWindowState = State;
        MainWindowTop = MainWindowLeft = 0;
        MainWindowWidth = 1920;
        MainWindowHeight = 1080;
        WriteTo();
        SetUp();
        TXMLStorage S(Dir.Path("options.xml"));
        S.Load();
        ReadProgramOptions(S);
        EXPECT_EQ(MainWindowState, State);
        EXPECT_EQ(MainWindowTop, 10);
        EXPECT_EQ(MainWindowLeft, 20);
        EXPECT_EQ(MainWindowWidth, 900);
        EXPECT_EQ(MainWindowHeight, 700);
    }
}

TEST_F(ProgramOptions, UnknownKeysSurviveLoadAndSave)
{
    ReadFrom("<Defaults><FutureOption>keep &amp;amp; me</FutureOption>"
             "<iMaxThreads>12</iMaxThreads></Defaults><Extra><x>1</x></Extra>");
    EXPECT_EQ(iMaxThreads, 12);
    const std::string Path = WriteTo();
    TXMLStorage S(Path);
    S.Load();
    EXPECT_EQ(S.ReadString("Defaults", "FutureOption", ""), "keep & me");
    EXPECT_EQ(S.ReadString("Extra", "x", ""), "1");
    EXPECT_EQ(S.ReadInteger("Defaults", "iMaxThreads", 0), 12);
}

TEST_F(ProgramOptions, ShippedDefaultFileIsInTheStoresOwnFormat)
{
    const char* Source = std::getenv("TOLVEX_SOURCE_DIR");
    ASSERT_NE(Source, nullptr);
    const std::string Shipped = std::string(Source) + "/resources/Default/options.xml";
    ASSERT_EQ(XmlLint(Shipped), 0);
    const std::string Copy = Dir.Path("options.xml");
    TempFolder::Write(Copy, TempFolder::Read(Shipped));
    SetPrimaryScreenSizeFunc([] { return TScreenSize{1920, 1080}; });
    TXMLStorage S(Copy);
    S.Load();
    ASSERT_FALSE(S.LoadFailed());
    ReadProgramOptions(S);
    // No "Window" keys: a first start opens 800 x 600, centred.
    EXPECT_EQ(MainWindowWidth, 800);
    EXPECT_EQ(MainWindowHeight, 600);
    EXPECT_EQ(MainWindowTop, 240);
    EXPECT_EQ(MainWindowLeft, 560);
    EXPECT_EQ(DefaultLang, "english.lng");
    EXPECT_TRUE(S.Save());
    EXPECT_EQ(TempFolder::Read(Copy), TempFolder::Read(Shipped));
}

TEST_F(ProgramOptions, ColumnSettingsStayInsideTheirArray)
{
    // A LastIndex beyond the array neither reads nor writes past it.
    std::array<TListColumnStore, 2> Cols{};
    Cols[1].Width = 99;
    const std::string Path = Dir.Path("cols.xml");
    TempFolder::Write(Path, "<Options />");
    TXMLStorage S(Path);
    S.Load();
    WriteColumnSettings(S, Cols, 7, "MACColumns");
    EXPECT_EQ(S.ReadInteger("MACColumns", "Width1", 0), 99);
    EXPECT_EQ(S.ReadInteger("MACColumns", "Width2", -1), -1);
    Cols[1].Width = 1;
    ReadColumnSettings(S, Cols, 7, "MACColumns");
    EXPECT_EQ(Cols[1].Width, 99);
}

// --- The option tables, option by option ------------------------------------------

// The value of any option, whatever its global's type, to compare and print.
using TValue = std::variant<bool, long long, std::string, std::vector<std::string>>;

TValue ValueOf(const TOption& O)
{
    return std::visit(
        [](auto* Global) -> TValue {
            using T = std::remove_pointer_t<decltype(Global)>;
            if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>)
                return static_cast<long long>(*Global);
            else
                return *Global;
        },
        O.Variable);
}

void SetValue(const TOption& O, const TValue& Value)
{
    std::visit(
        [&](auto* Global) {
            using T = std::remove_pointer_t<decltype(Global)>;
            if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>)
                *Global = static_cast<T>(std::get<long long>(Value));
            else
                *Global = std::get<T>(Value);
        },
        O.Variable);
}

std::string Show(const TValue& Value)
{
    return std::visit(
        [](const auto& V) -> std::string {
            using T = std::decay_t<decltype(V)>;
            if constexpr (std::is_same_v<T, std::string>)
                return "\"" + V + "\"";
            else if constexpr (std::is_same_v<T, std::vector<std::string>>)
                return "list of " + std::to_string(V.size());
            else
                return std::to_string(V);
        },
        Value);
}

const void* AddressOf(const TOptionVariable& Variable)
{
    return std::visit([](auto* Global) { return static_cast<const void*>(Global); }, Variable);
}

bool IsInteger(const TOption& O)
{
    return std::holds_alternative<long long>(ValueOf(O));
}

// A value other than Current that the option may hold: at the top of an
// integer's range (or the bottom, when the top is the current value).
TValue OtherValue(const TOption& O, const TValue& Current, bool Top)
{
    return std::visit(
        [&](const auto& V) -> TValue {
            using T = std::decay_t<decltype(V)>;
            if constexpr (std::is_same_v<T, bool>) {
                return !V;
            } else if constexpr (std::is_same_v<T, long long>) {
                const long long Wanted = Top ? O.Max : O.Min;
                return Wanted != V ? Wanted : (Top ? O.Min : O.Max);
            } else if constexpr (std::is_same_v<T, std::string>) {
                return V + (Top ? "&<\"x\">" : " caf\xC3\xA9");
            } else {
                return std::vector<std::string>{"x&y", "  ", "caf\xC3\xA9"};
            }
        },
        Current);
}

struct TRow {
    std::string Section;
    const TOption* Option;
};

std::vector<TRow> AllRows()
{
    std::vector<TRow> Rows;
    for (const TOptionSection& Section : ProgramOptionSections())
        for (const TOption& O : Section.Options)
            Rows.push_back({Section.Name, &O});
    return Rows;
}

TEST_F(ProgramOptions, TablesHoldEveryKeyOnceWithADefaultInsideItsRange)
{
    std::set<std::string> Keys;
    std::set<const void*> Variables;
    for (const TRow& R : AllRows()) {
        const TOption& O = *R.Option;
        const std::string Where = R.Section + "/" + O.Key;
        EXPECT_TRUE(Keys.insert(R.Section + "/" + O.Key).second) << Where;
        EXPECT_TRUE(Variables.insert(AddressOf(O.Variable)).second) << Where << ": a second key";
        if (IsInteger(O)) {
            EXPECT_LE(O.Min, O.Default) << Where;
            EXPECT_LE(O.Default, O.Max) << Where;
            // The store reads and writes int; the global must hold the range.
            EXPECT_GE(O.Min, INT_MIN) << Where;
            EXPECT_LE(O.Max, INT_MAX) << Where;
            std::visit(
                [&](auto* Global) {
                    using T = std::remove_pointer_t<decltype(Global)>;
                    if constexpr (std::is_integral_v<T> && !std::is_same_v<T, bool>) {
                        EXPECT_GE(O.Min, std::numeric_limits<T>::min()) << Where;
                        EXPECT_LE(O.Max, std::numeric_limits<T>::max()) << Where;
                    }
                },
                O.Variable);
        }
        if (O.Accepts) {
            EXPECT_TRUE(O.Accepts(O.DefaultText)) << Where;
        }
    }
    // Every engine option has its one place in the file.
    for (const TEngineOption& E : EngineOptions())
        EXPECT_EQ(Variables.count(AddressOf(E.Option.Variable)), 1u) << E.Option.Key;
    // The keys users' files hold, spelling included.
    for (const char* Key :
         {"Defaults/iMaxThreads", "Defaults/LasTMethod", "Defaults/MaxBoomarks",
          "Defaults/SNMPCommunity", "Defaults/lstAddressList", "Defaults/DefaultLang",
          "Window/MainWindowState", "Window/MainWindowTop"})
        EXPECT_TRUE(Keys.count(Key)) << Key;
    EXPECT_EQ(Keys.size(), 31u);
}

TEST_F(ProgramOptions, EveryOptionOfTheTablesRoundTripsAtBothEndsOfItsRange)
{
    for (const bool Top : {true, false}) {
        SCOPED_TRACE(Top ? "top of the ranges" : "bottom of the ranges");
        ResetProgramOptions();
        std::vector<TValue> Written;
        for (const TRow& R : AllRows()) {
            const TValue Other = OtherValue(*R.Option, ValueOf(*R.Option), Top);
            if (R.Option->Accepts) {
                ASSERT_TRUE(R.Option->Accepts(std::get<std::string>(Other))) << R.Option->Key;
            }
            SetValue(*R.Option, Other);
        }
        // The bounds are written only for a normal window (see
        // ClosingMaximizedKeepsTheNormalBounds for the other states).
        MainWindowState = 0;
        for (const TRow& R : AllRows())
            Written.push_back(ValueOf(*R.Option));
        std::filesystem::remove(Dir.Path("options.xml"));
        const std::string Path = WriteTo();

        ResetProgramOptions();
        TXMLStorage S(Path);
        S.Load();
        ReadProgramOptions(S);
        const std::vector<TRow> Rows = AllRows();
        for (size_t I = 0; I < Rows.size(); ++I)
            EXPECT_EQ(ValueOf(*Rows[I].Option), Written[I])
                << Rows[I].Section << "/" << Rows[I].Option->Key << ": "
                << Show(ValueOf(*Rows[I].Option)) << " read, " << Show(Written[I]) << " written";

        // A few keys as the file holds them, so that a table that names a
        // key wrongly on both sides is caught too.
        TXMLStorage Raw(Path);
        Raw.Load();
        EXPECT_EQ(Raw.ReadInteger("Defaults", "iMaxThreads", 0), Top ? 250 : 1);
        EXPECT_EQ(iMaxThreads, Top ? 250 : 1);
        // Its default is the bottom of its range: both passes take the top.
        EXPECT_EQ(Raw.ReadInteger("Defaults", "LasTMethod", -1), 4);
        EXPECT_EQ(Raw.ReadInteger("Defaults", "DefaultCheckState", 9), Top ? 1 : -1);
        EXPECT_EQ(Raw.ReadInteger("Defaults", "DefaultTCPPort", 0), Top ? 65535 : 1);
        EXPECT_FALSE(Raw.ReadBool("Defaults", "bGetNetbiosName", true));
        EXPECT_EQ(Raw.ReadString("Defaults", "SNMPCommunity", ""),
                  Top ? "public&<\"x\">" : "public caf\xC3\xA9");
        EXPECT_EQ(Raw.ReadInteger("Window", "MainWindowWidth", 0), Top ? 32767 : 1);
    }
}

TEST_F(ProgramOptions, AFileWithoutTheKeysGivesEveryDefault)
{
    std::vector<TValue> Defaults;
    for (const TRow& R : AllRows())
        Defaults.push_back(ValueOf(*R.Option));
    for (const TRow& R : AllRows())
        SetValue(*R.Option, OtherValue(*R.Option, ValueOf(*R.Option), true));
    ReadFrom("<Defaults /><Window />");
    const std::vector<TRow> Rows = AllRows();
    for (size_t I = 0; I < Rows.size(); ++I)
        EXPECT_EQ(ValueOf(*Rows[I].Option), Defaults[I]) << Rows[I].Option->Key;
}

TEST_F(ProgramOptions, EveryValueOutsideAnOptionsRangeFallsBackToTheDefault)
{
    int Checked = 0;
    for (const TRow& R : AllRows()) {
        const TOption& O = *R.Option;
        std::vector<std::string> Bad;
        if (IsInteger(O)) {
            Bad.push_back("many");
            if (O.Min > INT_MIN)
                Bad.push_back(std::to_string(O.Min - 1));
            if (O.Max < INT_MAX)
                Bad.push_back(std::to_string(O.Max + 1));
        } else if (std::holds_alternative<bool>(ValueOf(O))) {
            Bad.push_back("yes");
        } else if (O.Accepts) {
            Bad = {"", "../../.bashrc", "sub/english.lng", "..", "a\\b"};
        }
        for (const std::string& Text : Bad) {
            ResetProgramOptions();
            const TValue Default = ValueOf(O);
            // Set to something else first: only reading the key can bring
            // the default back.
            SetValue(O, OtherValue(O, Default, true));
            ReadFrom("<" + R.Section + "><" + O.Key + ">" + Text + "</" + O.Key + "></" +
                     R.Section + ">");
            EXPECT_EQ(ValueOf(O), Default) << R.Section << "/" << O.Key << " = " << Text;
            ++Checked;
        }
    }
    EXPECT_GT(Checked, 40);
}

// The file the options have always been written as, byte for byte: kept
// from before the options were declared in tables.
TEST_F(ProgramOptions, WrittenFileIsByteForByteTheFormerOne)
{
    const char* Source = std::getenv("TOLVEX_SOURCE_DIR");
    ASSERT_NE(Source, nullptr);
    const std::string Fixtures = std::string(Source) + "/tests/settings/fixtures/";
    EXPECT_EQ(TempFolder::Read(WriteTo()), TempFolder::Read(Fixtures + "options-defaults.xml"));

    std::filesystem::remove(Dir.Path("options.xml"));
    SetChangedValues();
    EXPECT_EQ(TempFolder::Read(WriteTo()), TempFolder::Read(Fixtures + "options-changed.xml"));
}

TEST_F(ProgramOptions, EveryMessageOfTheEngineAndTheProgramIsTranslated)
{
    std::string Lines = "[Translations]\r\n";
    for (const TEngineMessage& M : EngineMessages())
        Lines += std::string(M.Key) + "=T " + M.Key + "\r\n";
    for (const TProgramMessage& M : ProgramMessages())
        Lines += std::string(M.Key) + "=T " + M.Key + "\r\n";
    TempFolder::Write(Dir.Path("all.lng"), Lines);
    LangChanger = std::make_unique<TLangChanger>();
    LangChanger->SetLangFile(Dir.Path("all.lng"));
    LoadMessageStrings();
    for (const TEngineMessage& M : EngineMessages())
        EXPECT_EQ(*M.Text, std::string("T ") + M.Key);
    for (const TProgramMessage& M : ProgramMessages())
        EXPECT_EQ(*M.Text, std::string("T ") + M.Key);
    EXPECT_EQ(sSetStatusScanComputerNotResolved, "T sSetStatusScanComputerNotResolved");
    EXPECT_EQ(sMACAddressInvalid, "T sMACAddressInvalid");
    EXPECT_EQ(ProgramMessages().size(), 28u);

    // Without a language every text is its key again.
    LangChanger.reset();
    LoadMessageStrings();
    for (const TEngineMessage& M : EngineMessages())
        EXPECT_EQ(*M.Text, M.Key);
    for (const TProgramMessage& M : ProgramMessages())
        EXPECT_EQ(*M.Text, M.Key);
}

} // namespace
