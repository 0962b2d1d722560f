#include "SettingsTestSupport.h"
#include "uEngineOptions.h"
#include "uProgramOptions.h"
#include "uXMLStorage.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

using namespace testsupport;

namespace {

// Every test starts from the built-in defaults: reading a store that holds
// nothing gives each option its default.
class ProgramOptions : public ::testing::Test {
protected:
    void SetUp() override
    {
        OldScreen = SetPrimaryScreenSizeFunc(nullptr);
        TXMLStorage Empty(Dir.Path("none.xml"));
        Empty.Load();
        ReadProgramOptions(Empty);
    }
    void TearDown() override { SetPrimaryScreenSizeFunc(OldScreen); }

    // Loads Body (the inside of the root element) and reads the options.
    void ReadFrom(const std::string& Body)
    {
        const std::string Path = Dir.Path("options.xml");
        TempFolder::Write(Path,
                  "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>" + Body + "</Options>\n");
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

TEST_F(ProgramOptions, EveryValueRoundTrips)
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

} // namespace
