#include "platform/AtomicFile.h"
#include "settings/uXMLStorage.h"
#include "tests/settings/SettingsTestSupport.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <vector>

#include <pwd.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace testsupport;

namespace {

// A file the store accepts: a save only replaces an existing file.
std::string SeededFile(const TempFolder& Dir, const std::string& Name = "options.xml")
{
    const std::string Path = Dir.Path(Name);
    TempFolder::Write(Path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options />\n");
    return Path;
}

const std::vector<std::string>& AwkwardValues()
{
    static const std::vector<std::string> Values = {
        "",
        "plain",
        "a&b\"c<d>e'f",
        "&amp; &lt; &#65; &",
        "   ",
        " leading and trailing ",
        "\t",
        "\n",
        "line1\r\nline2\rline3\nline4",
        "\r",
        "\x01\x02\x08\x0B\x0C\x0E\x1F\x7F",
        "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80 \xE6\x97\xA5\xE6\x9C\xAC",
        "\xEF\xBF\xBE\xEF\xBF\xBF", // U+FFFE U+FFFF
        "]]> <![CDATA[ x ]]>",
        "<!-- not a comment -->",
    };
    return Values;
}

TEST(XMLStorageRoundTrip, StringsSurviveSaveAndLoad)
{
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    MessageRecorder Rec;
    {
        TXMLStorage S(Path);
        S.Load();
        for (size_t I = 0; I < AwkwardValues().size(); ++I)
            S.WriteString("Defaults", "k" + std::to_string(I), AwkwardValues()[I]);
        ASSERT_TRUE(S.Save());
    }
    EXPECT_EQ(XmlLint(Path), 0) << TempFolder::Read(Path);
    TXMLStorage R(Path);
    R.Load();
    for (size_t I = 0; I < AwkwardValues().size(); ++I)
        EXPECT_EQ(R.ReadString("Defaults", "k" + std::to_string(I), "<default>"),
                  AwkwardValues()[I])
            << "value " << I;
    EXPECT_TRUE(Rec.Messages.empty());
}

// Holds says whether a write would change nothing, for the awkward values
// too, after they have been through a file.
TEST(XMLStorageRoundTrip, HoldsWhatWasWrittenAndNothingElse)
{
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    const std::vector<std::string> List{"a", "", "b & <c>"};
    {
        TXMLStorage S(Path);
        S.Load();
        for (size_t I = 0; I < AwkwardValues().size(); ++I)
            S.WriteString("Defaults", "k" + std::to_string(I), AwkwardValues()[I]);
        S.WriteString("Defaults", "empty", "");
        S.WriteStrings("Defaults", "list", List);
        ASSERT_TRUE(S.Save());
    }
    TXMLStorage R(Path);
    R.Load();
    for (size_t I = 0; I < AwkwardValues().size(); ++I) {
        EXPECT_TRUE(R.Holds("Defaults", "k" + std::to_string(I), AwkwardValues()[I])) << I;
        EXPECT_FALSE(R.Holds("Defaults", "k" + std::to_string(I), AwkwardValues()[I] + "x")) << I;
    }
    EXPECT_TRUE(R.Holds("Defaults", "empty", ""));
    EXPECT_FALSE(R.Holds("Defaults", "empty", " "));
    EXPECT_FALSE(R.Holds("Defaults", "missing", ""));
    EXPECT_FALSE(R.Holds("Other", "k0", AwkwardValues()[0]));
    EXPECT_TRUE(R.Holds("Defaults", "list", List));
    EXPECT_FALSE(R.Holds("Defaults", "list", std::vector<std::string>{"a", ""}));
    EXPECT_FALSE(R.Holds("Defaults", "list", std::vector<std::string>{"a", "", "b & <c>", "d"}));
    EXPECT_FALSE(R.Holds("Defaults", "list", std::vector<std::string>{"a", "", "b"}));
    // The same lines under other names are not what a write would leave.
    TempFolder::Write(Path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options><Defaults><list>"
                            "<x>a</x></list><n>$40</n></Defaults></Options>\n");
    R.Load();
    EXPECT_FALSE(R.Holds("Defaults", "list", std::vector<std::string>{"a"}));
    EXPECT_FALSE(R.Holds("Defaults", "n", "64"));
    EXPECT_TRUE(R.Holds("Defaults", "n", "$40"));
}

TEST(XMLStorageRoundTrip, ListsIntegersAndBooleans)
{
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    const std::vector<int> Ints = {0, 1, -1, 64, INT_MAX, INT_MIN};
    {
        TXMLStorage S(Path);
        S.Load();
        S.WriteStrings("Defaults", "lstFind", AwkwardValues());
        S.WriteStrings("Defaults", "lstEmpty", {});
        for (size_t I = 0; I < Ints.size(); ++I)
            S.WriteInteger("Defaults", "i" + std::to_string(I), Ints[I]);
        S.WriteBool("Defaults", "bOn", true);
        S.WriteBool("Defaults", "bOff", false);
        ASSERT_TRUE(S.Save());
    }
    EXPECT_EQ(XmlLint(Path), 0);
    TXMLStorage R(Path);
    R.Load();
    std::vector<std::string> Lines = {"stale"};
    R.ReadStrings("Defaults", "lstFind", Lines);
    EXPECT_EQ(Lines, AwkwardValues());
    R.ReadStrings("Defaults", "lstEmpty", Lines);
    EXPECT_TRUE(Lines.empty());
    for (size_t I = 0; I < Ints.size(); ++I)
        EXPECT_EQ(R.ReadInteger("Defaults", "i" + std::to_string(I), 12345), Ints[I]);
    EXPECT_TRUE(R.ReadBool("Defaults", "bOn", false));
    EXPECT_FALSE(R.ReadBool("Defaults", "bOff", true));
}

TEST(XMLStorageRoundTrip, UnrepresentableBytesStillGiveAReadableFile)
{
    // A NUL cannot be held by XML at all, and stray bytes are no UTF-8:
    // the file must stay well-formed and the rest of the value intact.
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    {
        TXMLStorage S(Path);
        S.Load();
        S.WriteString("Defaults", "nul", std::string("a\0b", 3));
        S.WriteString("Defaults", "latin1", "caf\xE9!");
        S.WriteString("Defaults", "cut", "x\xE2\x82");
        ASSERT_TRUE(S.Save());
    }
    EXPECT_EQ(XmlLint(Path), 0);
    TXMLStorage R(Path);
    R.Load();
    EXPECT_EQ(R.ReadString("Defaults", "nul", "?"), "ab");
    EXPECT_EQ(R.ReadString("Defaults", "latin1", "?"), "caf\xEF\xBF\xBD!");
    EXPECT_EQ(R.ReadString("Defaults", "cut", "?"), "x\xEF\xBF\xBD\xEF\xBF\xBD");
}

TEST(XMLStorageFormat, ValuesAreEncodedTwice)
{
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    TXMLStorage S(Path);
    S.Load();
    S.WriteString("Defaults", "v", "a&b<c>\"d\re\x01");
    S.WriteBool("Defaults", "bVertGrid", false);
    S.WriteInteger("Defaults", "iMaxThreads", 64);
    S.WriteStrings("Defaults", "lstFind", {"x", "y"});
    ASSERT_TRUE(S.Save());
    EXPECT_EQ(TempFolder::Read(Path),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<Options>\n"
              "  <Defaults>\n"
              "    <v>a&amp;amp;b&amp;lt;c&amp;gt;&amp;quot;d&amp;#13;e&amp;#1;</v>\n"
              "    <bVertGrid>0</bVertGrid>\n"
              "    <iMaxThreads>64</iMaxThreads>\n"
              "    <lstFind>\n"
              "      <lstFind0>x</lstFind0>\n"
              "      <lstFind1>y</lstFind1>\n"
              "    </lstFind>\n"
              "  </Defaults>\n"
              "</Options>\n");
}

TEST(XMLStorageFormat, SavingWhatWasLoadedIsByteIdentical)
{
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    {
        TXMLStorage S(Path);
        S.Load();
        for (size_t I = 0; I < AwkwardValues().size(); ++I)
            S.WriteString("Defaults", "k" + std::to_string(I), AwkwardValues()[I]);
        S.WriteStrings("Defaults", "lst", AwkwardValues());
        S.WriteStrings("Defaults", "lstEmpty", {});
        S.WriteString("Window", "empty", "");
        ASSERT_TRUE(S.Save());
    }
    const std::string First = TempFolder::Read(Path);
    for (int Round = 0; Round < 2; ++Round) {
        TXMLStorage S(Path);
        S.Load();
        ASSERT_TRUE(S.Save());
        EXPECT_EQ(TempFolder::Read(Path), First) << "round " << Round;
    }
}

TEST(XMLStorageWrite, UnknownSectionsKeysAndCommentsSurvive)
{
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    TempFolder::Write(Path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<!-- kept by hand -->\n"
                            "<Options>\n"
                            "  <Defaults>\n"
                            "    <!-- why 32 -->\n"
                            "    <iMaxThreads>32</iMaxThreads>\n"
                            "    <FutureKey attr=\"1\">later</FutureKey>\n"
                            "  </Defaults>\n"
                            "  <Plugins><p1>on</p1></Plugins>\n"
                            "</Options>\n");
    {
        TXMLStorage S(Path);
        S.Load();
        S.WriteInteger("Defaults", "iMaxThreads", 10);
        S.WriteString("Defaults", "NewKey", "n");
        ASSERT_TRUE(S.Save());
    }
    const std::string Text = TempFolder::Read(Path);
    EXPECT_NE(Text.find("<!-- kept by hand -->"), std::string::npos) << Text;
    EXPECT_NE(Text.find("<!-- why 32 -->"), std::string::npos) << Text;
    EXPECT_NE(Text.find("<FutureKey attr=\"1\">later</FutureKey>"), std::string::npos) << Text;
    EXPECT_NE(Text.find("<p1>on</p1>"), std::string::npos) << Text;
    EXPECT_EQ(XmlLint(Path), 0);
    TXMLStorage R(Path);
    R.Load();
    EXPECT_EQ(R.ReadInteger("Defaults", "iMaxThreads", 0), 10);
    EXPECT_EQ(R.ReadString("Defaults", "FutureKey", ""), "later");
    EXPECT_EQ(R.ReadString("Defaults", "NewKey", ""), "n");
    EXPECT_EQ(R.ReadString("Plugins", "p1", ""), "on");
    // New keys go at the end of their section.
    EXPECT_LT(Text.find("FutureKey"), Text.find("NewKey"));
}

TEST(XMLStorageWrite, ShorterListLeavesExactlyItsChildren)
{
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    {
        TXMLStorage S(Path);
        S.Load();
        S.WriteStrings("Defaults", "lstFind", {"1", "2", "3", "4", "5"});
        ASSERT_TRUE(S.Save());
    }
    {
        TXMLStorage S(Path);
        S.Load();
        S.WriteStrings("Defaults", "lstFind", {"a", "b", "c"});
        ASSERT_TRUE(S.Save());
    }
    EXPECT_EQ(XmlLint(Path), 0);
    const std::string Text = TempFolder::Read(Path);
    for (const char* Gone : {"lstFind3", "lstFind4", ">4<", ">5<"})
        EXPECT_EQ(Text.find(Gone), std::string::npos) << Gone << "\n" << Text;
    TXMLStorage R(Path);
    R.Load();
    std::vector<std::string> Lines;
    R.ReadStrings("Defaults", "lstFind", Lines);
    EXPECT_EQ(Lines, (std::vector<std::string>{"a", "b", "c"}));
}

TEST(XMLStorageWrite, BadNamesAreRefusedAndTheFileStaysWellFormed)
{
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    TXMLStorage S(Path);
    S.Load();
    for (const char* Bad : {"", "two words", "1st", "a<b", "ns:key", "-x", "a&b"}) {
        S.WriteString("Defaults", Bad, "v");
        S.WriteString(Bad, "key", "v");
        S.WriteStrings("Defaults", Bad, {"v"});
        EXPECT_EQ(S.ReadString("Defaults", Bad, "dflt"), "dflt") << Bad;
    }
    S.WriteString("D\xC3\xA9"
                  "faut",
                  "cl\xC3\xA9_1.x-y", "ok");
    ASSERT_TRUE(S.Save());
    EXPECT_EQ(XmlLint(Path), 0) << TempFolder::Read(Path);
    EXPECT_EQ(TempFolder::Read(Path).find("two words"), std::string::npos);
    TXMLStorage R(Path);
    R.Load();
    EXPECT_EQ(R.ReadString("D\xC3\xA9"
                           "faut",
                           "cl\xC3\xA9_1.x-y", ""),
              "ok");
}

TEST(XMLStorageWrite, BlankOnlyEmptySectionTakesNewKeysCleanly)
{
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    TempFolder::Write(Path, "<Options>\n  <Defaults>\n  </Defaults>\n</Options>\n");
    TXMLStorage S(Path);
    S.Load();
    S.WriteString("Defaults", "a", "1");
    ASSERT_TRUE(S.Save());
    EXPECT_EQ(TempFolder::Read(Path),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
              "<Options>\n  <Defaults>\n    <a>1</a>\n  </Defaults>\n</Options>\n");
}

TEST(XMLStorageRead, NamesMatchExactlyAndTheFirstWins)
{
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    TempFolder::Write(Path, "<Options><Defaults><k>first</k><k>second</k><K>upper</K></Defaults>"
                            "<Defaults><other>x</other></Defaults></Options>");
    TXMLStorage S(Path);
    S.Load();
    EXPECT_EQ(S.ReadString("Defaults", "k", ""), "first");
    EXPECT_EQ(S.ReadString("Defaults", "K", ""), "upper");
    EXPECT_EQ(S.ReadString("defaults", "k", "none"), "none");
    EXPECT_EQ(S.ReadString("Defaults", "other", "none"), "none");
}

TEST(XMLStorageRead, TextsEncodedOnceAreTakenAsTheyStand)
{
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    TempFolder::Write(Path, "<Options><Defaults>"
                            "<nested><child>1</child></nested>"
                            "<nbsp>&amp;nbsp;</nbsp>"
                            "<bare>a &amp; b</bare>"
                            "<zero>&amp;#0;</zero>"
                            "<plainref>&#65;&amp;#66;</plainref>"
                            "<cdata><![CDATA[x&amp;y]]></cdata>"
                            "<empty></empty><selfclosed/>"
                            "</Defaults></Options>");
    TXMLStorage S(Path);
    S.Load();
    // Only an element that holds elements has no value.
    EXPECT_EQ(S.ReadString("Defaults", "nested", "dflt"), "dflt");
    // Written by hand as plain XML: the value is what the user typed.
    EXPECT_EQ(S.ReadString("Defaults", "nbsp", "dflt"), "&nbsp;");
    EXPECT_EQ(S.ReadString("Defaults", "bare", "dflt"), "a & b");
    EXPECT_EQ(S.ReadString("Defaults", "zero", "dflt"), "&#0;");
    EXPECT_EQ(S.ReadString("Defaults", "plainref", "dflt"), "AB");
    EXPECT_EQ(S.ReadString("Defaults", "cdata", "dflt"), "x&y");
    EXPECT_EQ(S.ReadString("Defaults", "empty", "dflt"), "");
    EXPECT_EQ(S.ReadString("Defaults", "selfclosed", "dflt"), "");
    EXPECT_EQ(S.ReadString("Defaults", "missing", "dflt"), "dflt");
    EXPECT_EQ(S.ReadString("Missing", "nested", "dflt"), "dflt");
}

TEST(XMLStorageRead, IntegersAndBooleans)
{
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    TempFolder::Write(Path,
                      "<Options><D>"
                      "<hex>0x1F</hex><HEX>0X1f</HEX><dollar>$1F</dollar><neg>-42</neg>"
                      "<plus>+7</plus><blank> 5</blank><trail>5 </trail><letters>abc</letters>"
                      "<empty/><ox>0x</ox><mixed>12ab</mixed><big>2147483648</big>"
                      "<min>-2147483648</min><wrap>0xFFFFFFFF</wrap><hexbig>0x100000000</hexbig>"
                      "<true>true</true><two>2</two><zero>0</zero><minus>-1</minus>"
                      "</D></Options>");
    TXMLStorage S(Path);
    S.Load();
    EXPECT_EQ(S.ReadInteger("D", "hex", 0), 31);
    EXPECT_EQ(S.ReadInteger("D", "HEX", 0), 31);
    EXPECT_EQ(S.ReadInteger("D", "dollar", 0), 31);
    EXPECT_EQ(S.ReadInteger("D", "neg", 0), -42);
    EXPECT_EQ(S.ReadInteger("D", "plus", 0), 7);
    EXPECT_EQ(S.ReadInteger("D", "blank", 0), 5);
    EXPECT_EQ(S.ReadInteger("D", "trail", 99), 99);
    EXPECT_EQ(S.ReadInteger("D", "letters", 99), 99);
    EXPECT_EQ(S.ReadInteger("D", "empty", 99), 99);
    EXPECT_EQ(S.ReadInteger("D", "ox", 99), 99);
    EXPECT_EQ(S.ReadInteger("D", "mixed", 99), 99);
    EXPECT_EQ(S.ReadInteger("D", "big", 99), 99);
    EXPECT_EQ(S.ReadInteger("D", "min", 99), INT_MIN);
    EXPECT_EQ(S.ReadInteger("D", "wrap", 99), -1);
    EXPECT_EQ(S.ReadInteger("D", "hexbig", 99), 99);
    EXPECT_TRUE(S.ReadBool("D", "true", true));
    EXPECT_FALSE(S.ReadBool("D", "true", false));
    EXPECT_TRUE(S.ReadBool("D", "two", false));
    EXPECT_FALSE(S.ReadBool("D", "zero", true));
    EXPECT_TRUE(S.ReadBool("D", "minus", false));
    EXPECT_TRUE(S.ReadBool("D", "missing", true));
}

TEST(XMLStorageRead, ListsTakeEveryChildElementAndSkipOnlyABadOne)
{
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    TempFolder::Write(Path, "<Options><D>"
                            "<lst><a>1</a><!-- note --><zz>2</zz>stray<lst7>3</lst7></lst>"
                            "<bad><x0>ok</x0><x1>&amp;bogus;</x1><x2><in>x</in></x2>"
                            "<x3>R&amp;D</x3><x4>last</x4></bad>"
                            "</D></Options>");
    TXMLStorage S(Path);
    S.Load();
    std::vector<std::string> Lines;
    S.ReadStrings("D", "lst", Lines);
    EXPECT_EQ(Lines, (std::vector<std::string>{"1", "2", "3"}));
    S.ReadStrings("D", "bad", Lines);
    EXPECT_EQ(Lines, (std::vector<std::string>{"ok", "&bogus;", "R&D", "last"}));
    S.ReadStrings("D", "missing", Lines);
    EXPECT_TRUE(Lines.empty());
}

TEST(XMLStorageRead, AHandWrittenAmpersandSurvivesASave)
{
    // "&amp;" is how XML writes "&": a user who edits the file writes it so.
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    TempFolder::Write(Path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                            "<Options><Defaults><SNMPCommunity>r&amp;d</SNMPCommunity>"
                            "<lstAddressList><a0>10.0.0.1</a0><a1>lab&amp;test</a1>"
                            "<a2>10.0.0.3</a2></lstAddressList></Defaults></Options>\n");
    {
        TXMLStorage S(Path);
        S.Load();
        std::vector<std::string> Lines;
        S.ReadStrings("Defaults", "lstAddressList", Lines);
        S.WriteStrings("Defaults", "lstAddressList", Lines);
        S.WriteString("Defaults", "SNMPCommunity",
                      S.ReadString("Defaults", "SNMPCommunity", "public"));
        ASSERT_TRUE(S.Save());
    }
    TXMLStorage R(Path);
    R.Load();
    EXPECT_EQ(R.ReadString("Defaults", "SNMPCommunity", "public"), "r&d");
    std::vector<std::string> Lines;
    R.ReadStrings("Defaults", "lstAddressList", Lines);
    EXPECT_EQ(Lines, (std::vector<std::string>{"10.0.0.1", "lab&test", "10.0.0.3"}));
}

TEST(XMLStorageFiles, MissingFileIsNotCreated)
{
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    MessageRecorder Rec;
    TXMLStorage S(Path);
    S.Load();
    EXPECT_TRUE(Rec.Messages.empty());
    EXPECT_EQ(S.ReadInteger("Defaults", "iMaxThreads", 64), 64);
    S.WriteInteger("Defaults", "iMaxThreads", 3);
    EXPECT_EQ(S.ReadInteger("Defaults", "iMaxThreads", 64), 3);
    EXPECT_FALSE(S.Save());
    ASSERT_EQ(Rec.Messages.size(), 1u);
    EXPECT_EQ(Rec.Messages[0].first, "Error!");
    EXPECT_EQ(Rec.Messages[0].second, "Can't write file " + Path + ": No such file or directory");
    EXPECT_TRUE(ListFolder(Dir.Path()).empty());
}

TEST(XMLStorageFiles, SaveWithoutLoadIsReported)
{
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    const std::string Before = TempFolder::Read(Path);
    MessageRecorder Rec;
    TXMLStorage S(Path);
    S.WriteString("Defaults", "k", "v");
    EXPECT_EQ(S.ReadString("Defaults", "k", "d"), "d");
    EXPECT_FALSE(S.Save());
    EXPECT_EQ(Rec.Messages.size(), 1u);
    EXPECT_EQ(TempFolder::Read(Path), Before);
}

TEST(XMLStorageFiles, UnreadableFileIsKeptAsBadBeforeItIsReplaced)
{
    // The contents, and why they cannot be read.
    const std::vector<std::pair<std::string, std::string>> Broken = {
        {"", "No document element found"},                                     // cut off by a crash
        {"<Options><Defaults><k>1</k></Defaults>", "Start-end tags mismatch"}, // truncated
        {"not xml at all", "No document element found"},
        {"<Options><a></b></Options>", "Start-end tags mismatch"},
    };
    for (const auto& [Content, Reason] : Broken) {
        TempFolder Dir;
        const std::string Path = Dir.Path("options.xml");
        TempFolder::Write(Path, Content);
        MessageRecorder Rec;
        TXMLStorage S(Path);
        S.Load();
        EXPECT_TRUE(S.LoadFailed());
        ASSERT_EQ(Rec.Messages.size(), 1u) << Content;
        EXPECT_EQ(Rec.Messages[0].first, "Error!");
        EXPECT_EQ(Rec.Messages[0].second, "Can't read file " + Path + ": " + Reason);
        EXPECT_EQ(S.ReadInteger("Defaults", "k", 7), 7);
        // A reader leaves the file alone.
        EXPECT_EQ(TempFolder::Read(Path), Content);
        S.WriteInteger("Defaults", "k", 2);
        ASSERT_TRUE(S.Save());
        EXPECT_EQ(TempFolder::Read(Path + ".bad"), Content);
        EXPECT_EQ(XmlLint(Path), 0);
        TXMLStorage R(Path);
        R.Load();
        EXPECT_FALSE(R.LoadFailed());
        EXPECT_EQ(R.ReadInteger("Defaults", "k", 7), 2);
        EXPECT_EQ(ListFolder(Dir.Path()),
                  (std::vector<std::string>{"options.xml", "options.xml.bad"}));
    }
}

TEST(XMLStorageFiles, EveryUnreadableFileIsKeptAsideUpToTen)
{
    // Each bad start keeps its own copy: a second failure must not overwrite
    // the settings the first one kept aside, and the copies stay bounded.
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    const auto Broken = [](int I) { return "<Options><k>" + std::to_string(I) + "</k>"; };
    const auto FailAndSave = [&](const std::string& Content) {
        TempFolder::Write(Path, Content);
        MessageRecorder Rec;
        TXMLStorage S(Path);
        S.Load();
        EXPECT_TRUE(S.LoadFailed());
        EXPECT_TRUE(S.Save());
    };
    for (int I = 1; I <= 3; ++I)
        FailAndSave(Broken(I));
    EXPECT_EQ(ListFolder(Dir.Path()),
              (std::vector<std::string>{"options.xml", "options.xml.bad", "options.xml.bad.1",
                                        "options.xml.bad.2"}));
    EXPECT_EQ(TempFolder::Read(Path + ".bad"), Broken(3));
    EXPECT_EQ(TempFolder::Read(Path + ".bad.1"), Broken(2));
    EXPECT_EQ(TempFolder::Read(Path + ".bad.2"), Broken(1));

    // The same bad bytes again make no second copy.
    FailAndSave(Broken(3));
    EXPECT_EQ(ListFolder(Dir.Path()).size(), 4u);

    for (int I = 4; I <= 14; ++I)
        FailAndSave(Broken(I));
    std::vector<std::string> Expected = {"options.xml", "options.xml.bad"};
    for (int I = 1; I <= 9; ++I)
        Expected.push_back("options.xml.bad." + std::to_string(I));
    EXPECT_EQ(ListFolder(Dir.Path()), Expected);
    for (int I = 0; I <= 9; ++I)
        EXPECT_EQ(TempFolder::Read(Path + ".bad" + (I ? "." + std::to_string(I) : "")),
                  Broken(14 - I));
}

TEST(XMLStorageFiles, BytesThatAreNoUtf8AreReportedKeptAsideAndNeverWrittenBack)
{
    // A Latin-1 "é" in a value and in the name of an element the program does
    // not know: written back raw, the file would no longer be well-formed.
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    const std::string Original = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                                 "<Options><Defaults><SNMPCommunity>caf\xE9</SNMPCommunity>"
                                 "<Futur\xE9>x</Futur\xE9></Defaults></Options>\n";
    TempFolder::Write(Path, Original);
    MessageRecorder Rec;
    {
        TXMLStorage S(Path);
        S.Load();
        EXPECT_FALSE(S.LoadFailed());
        ASSERT_EQ(Rec.Messages.size(), 1u);
        EXPECT_NE(Rec.Messages[0].second.find(Path), std::string::npos);
        EXPECT_NE(Rec.Messages[0].second.find("not UTF-8"), std::string::npos)
            << Rec.Messages[0].second;
        // What the program sees is what a save will write.
        EXPECT_EQ(S.ReadString("Defaults", "SNMPCommunity", ""), "caf\xEF\xBF\xBD");
        ASSERT_TRUE(S.Save());
    }
    EXPECT_EQ(XmlLint(Path), 0);
    EXPECT_EQ(TempFolder::Read(Path + ".bad"), Original);
    TXMLStorage R(Path);
    R.Load();
    EXPECT_EQ(Rec.Messages.size(), 1u);
    EXPECT_EQ(R.ReadString("Defaults", "SNMPCommunity", ""), "caf\xEF\xBF\xBD");
    EXPECT_EQ(R.ReadString("Defaults", "Futur\xEF\xBF\xBD", ""), "x");
}

TEST(XMLStorageFiles, ANamedPipeInTheFilesPlaceIsReportedAtOnceAndLeftAlone)
{
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    ASSERT_EQ(::mkfifo(Path.c_str(), 0600), 0);
    EXPECT_EQ(AnswerWithin(std::chrono::seconds(5),
                           [&] {
                               MessageRecorder Rec;
                               TXMLStorage S(Path);
                               S.Load();
                               const bool Saved = S.Save();
                               std::string Told = S.LoadFailed() ? "unread" : "read";
                               Told += Saved ? " saved" : " kept";
                               for (const auto& [Caption, Text] : Rec.Messages)
                                   Told += " | " + Text;
                               return Told;
                           }),
              "unread kept | Can't read file " + Path + ": not a regular file | Can't write file " +
                  Path + ": not a regular file");
    struct stat St {};
    ASSERT_EQ(::lstat(Path.c_str(), &St), 0);
    EXPECT_TRUE(S_ISFIFO(St.st_mode));
}

TEST(XMLStorageFiles, LinkAndPermissionsOfTheFileStay)
{
    TempFolder Dir;
    const std::string Real = SeededFile(Dir, "real.xml");
    ASSERT_EQ(::chmod(Real.c_str(), 0640), 0);
    const std::string Link = Dir.Path("options.xml");
    ASSERT_EQ(::symlink("real.xml", Link.c_str()), 0);
    TXMLStorage S(Link);
    S.Load();
    S.WriteString("Defaults", "k", "v");
    ASSERT_TRUE(S.Save());
    struct stat St {};
    ASSERT_EQ(::lstat(Link.c_str(), &St), 0);
    EXPECT_TRUE(S_ISLNK(St.st_mode));
    ASSERT_EQ(::stat(Real.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 07777, 0640u);
    EXPECT_NE(TempFolder::Read(Real).find("<k>v</k>"), std::string::npos);
    EXPECT_EQ(XmlLint(Real), 0);
    EXPECT_EQ(ListFolder(Dir.Path()), (std::vector<std::string>{"options.xml", "real.xml"}));
}

TEST(XMLStorageFiles, ReloadDiscardsUnsavedWrites)
{
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    TXMLStorage S(Path);
    S.Load();
    S.WriteString("Defaults", "k", "v");
    S.Load();
    EXPECT_EQ(S.ReadString("Defaults", "k", "d"), "d");
}

// Runs Body in a child process and returns its exit status (or -1).
template <class F> int InChild(F Body)
{
    const pid_t Pid = ::fork();
    if (Pid == 0)
        ::_exit(Body());
    int Status = 0;
    if (Pid < 0 || ::waitpid(Pid, &Status, 0) != Pid || !WIFEXITED(Status))
        return -1;
    return WEXITSTATUS(Status);
}

// Child exit codes of the failing-save tests.
enum { ChildSaveFailedAndReported = 10, ChildSetupFailed = 11, ChildSaveSucceeded = 12 };

int SaveBigValueExpectingFailure(const std::string& Path, const std::string& Reason)
{
    // Exactly one message, the write failure: a failed read would also end
    // in a failed save, for the wrong reason.
    int Messages = 0;
    bool Reported = false;
    SetXMLStorageMessageHandler([&](const std::string& Caption, const std::string& Text) {
        ++Messages;
        Reported = Caption == "Error!" && Text == "Can't write file " + Path + ": " + Reason;
    });
    TXMLStorage S(Path);
    S.Load();
    S.WriteString("Defaults", "big", std::string(256 * 1024, 'x'));
    if (S.Save())
        return ChildSaveSucceeded;
    return Reported && Messages == 1 ? ChildSaveFailedAndReported : ChildSetupFailed;
}

TEST(XMLStorageFiles, FolderWithoutWritePermissionKeepsTheOldFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    const passwd* Nobody = ::getpwnam("nobody");
    ASSERT_NE(Nobody, nullptr);
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    const std::string Before = TempFolder::Read(Path);
    // The file is writable by the user, its folder is not: only an in-place
    // truncate-and-write could succeed here, and that is what must not happen.
    ASSERT_EQ(::chmod(Path.c_str(), 0666), 0);
    ASSERT_EQ(::chmod(Dir.Path().c_str(), 0755), 0);
    const uid_t Uid = Nobody->pw_uid;
    const gid_t Gid = Nobody->pw_gid;
    const int Rc = InChild([&] {
        if (::setgid(Gid) != 0 || ::setuid(Uid) != 0)
            return int(ChildSetupFailed);
        return SaveBigValueExpectingFailure(Path, "Permission denied");
    });
    EXPECT_EQ(Rc, ChildSaveFailedAndReported);
    EXPECT_EQ(TempFolder::Read(Path), Before);
    EXPECT_EQ(ListFolder(Dir.Path()), std::vector<std::string>{"options.xml"});
}

TEST(XMLStorageFiles, ReadOnlyFileIsNotReplaced)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to switch to an unprivileged user";
    const passwd* Nobody = ::getpwnam("nobody");
    ASSERT_NE(Nobody, nullptr);
    TempFolder Dir;
    const std::string Path = SeededFile(Dir);
    const std::string Before = TempFolder::Read(Path);
    // The folder is the user's, the file is read-only to them.
    ASSERT_EQ(::chown(Dir.Path().c_str(), Nobody->pw_uid, Nobody->pw_gid), 0);
    ASSERT_EQ(::chown(Path.c_str(), Nobody->pw_uid, Nobody->pw_gid), 0);
    ASSERT_EQ(::chmod(Path.c_str(), 0444), 0);
    const uid_t Uid = Nobody->pw_uid;
    const gid_t Gid = Nobody->pw_gid;
    const int Rc = InChild([&] {
        if (::setgid(Gid) != 0 || ::setuid(Uid) != 0)
            return int(ChildSetupFailed);
        return SaveBigValueExpectingFailure(Path, "Permission denied");
    });
    EXPECT_EQ(Rc, ChildSaveFailedAndReported);
    EXPECT_EQ(TempFolder::Read(Path), Before);
    EXPECT_EQ(ListFolder(Dir.Path()), std::vector<std::string>{"options.xml"});
}

TEST(XMLStorageFiles, FullDiskKeepsTheOldFile)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a small file system";
    TempFolder Dir;
    const std::string Mnt = Dir.Path("mnt");
    ASSERT_EQ(::mkdir(Mnt.c_str(), 0755), 0);
    const std::string Path = Mnt + "/options.xml";
    // The child mounts a 64 KiB tmpfs in a mount namespace of its own, so
    // nothing outlives it, fills it and then tries to save into it.
    const int Rc = InChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", Mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
            return int(ChildSetupFailed);
        TempFolder::Write(Path, "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>\n"
                                "  <Defaults>\n    <k>old</k>\n  </Defaults>\n</Options>\n");
        const std::string Before = TempFolder::Read(Path);
        {
            std::ofstream Fill(Mnt + "/filler", std::ios::binary);
            const std::string Block(4096, 'f');
            while (Fill.write(Block.data(), Block.size()) && Fill.flush()) {
            }
        }
        const int Result = SaveBigValueExpectingFailure(Path, "No space left on device");
        if (TempFolder::Read(Path) != Before)
            return int(ChildSetupFailed) + 10; // the old file was damaged
        if (ListFolder(Mnt) != std::vector<std::string>{"filler", "options.xml"})
            return int(ChildSetupFailed) + 20; // a temporary file was left
        return Result;
    });
    EXPECT_EQ(Rc, ChildSaveFailedAndReported);
}

TEST(XMLStorageFiles, ReadOnlyFileSystemIsNamedAndAnUnchangedFileIsNotWritten)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root to mount a file system";
    TempFolder Dir;
    const std::string Mnt = Dir.Path("mnt");
    ASSERT_EQ(::mkdir(Mnt.c_str(), 0755), 0);
    const std::string Path = Mnt + "/options.xml";
    // Exit codes of the child: 0 when all went as it should, else the step
    // that did not.
    const int Rc = InChild([&] {
        if (::unshare(CLONE_NEWNS) != 0 ||
            ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            ::mount("tmpfs", Mnt.c_str(), "tmpfs", 0, "size=64k") != 0)
            return int(ChildSetupFailed);
        {
            // Saved once, so that the file is exactly as the store writes it.
            TempFolder::Write(Path, "<Options><Defaults><k>old</k></Defaults></Options>");
            TXMLStorage S(Path);
            S.Load();
            if (!S.Save())
                return int(ChildSetupFailed);
        }
        if (::mount(nullptr, Mnt.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
            return int(ChildSetupFailed);
        const std::string Before = TempFolder::Read(Path);
        std::vector<std::string> Messages;
        SetXMLStorageMessageHandler(
            [&](const std::string&, const std::string& Text) { Messages.push_back(Text); });
        TXMLStorage S(Path);
        S.Load();
        S.WriteString("Defaults", "k", "old");
        if (!S.Save() || !Messages.empty())
            return 1; // nothing changed, yet it was written
        S.WriteString("Defaults", "k", "new");
        if (S.Save() || Messages != std::vector<std::string>{"Can't write file " + Path +
                                                             ": Read-only file system"})
            return 2;
        try {
            platform::ReplaceFileAtomically(Path, "x");
            return 3;
        } catch (const platform::EFileError& E) {
            if (E.Errno != EROFS)
                return 4;
        }
        return TempFolder::Read(Path) == Before ? 0 : 5;
    });
    EXPECT_EQ(Rc, 0);
}

TEST(XMLStorageFiles, DeepUnknownElementsAreCutAndTheFileKeptAside)
{
    // Unknown elements nested 100000 deep: indented at every level, a save
    // would write gigabytes.
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    std::string Deep = "<Options><Defaults><k>1</k></Defaults><x>";
    for (int I = 0; I < 100000; ++I)
        Deep += "<a>";
    for (int I = 0; I < 100000; ++I)
        Deep += "</a>";
    Deep += "</x><y><z>kept</z></y></Options>";
    TempFolder::Write(Path, Deep);
    MessageRecorder Rec;
    TXMLStorage S(Path);
    S.Load();
    EXPECT_FALSE(S.LoadFailed());
    EXPECT_EQ(S.ReadInteger("Defaults", "k", 0), 1);
    S.WriteInteger("Defaults", "k", 2);
    ASSERT_TRUE(S.Save());
    EXPECT_TRUE(Rec.Messages.empty());
    const std::string Saved = TempFolder::Read(Path);
    EXPECT_LT(Saved.size(), 8192u);
    EXPECT_EQ(XmlLint(Path), 0);
    EXPECT_NE(Saved.find("<z>kept</z>"), std::string::npos);
    // Unknown elements within the kept depth stay; the file as it was is
    // kept aside.
    EXPECT_NE(Saved.find("<x>\n    <a>\n      <a>"), std::string::npos);
    const auto KeptAside = [&] {
        std::vector<std::string> Copies;
        for (const std::string& Name : ListFolder(Dir.Path()))
            if (Name.rfind("options.xml.bad", 0) == 0)
                Copies.push_back(TempFolder::Read(Dir.Path(Name)));
        return Copies;
    };
    EXPECT_EQ(KeptAside(), std::vector<std::string>{Deep});
    // A second save has nothing more to cut: no further copy.
    TXMLStorage Again(Path);
    Again.Load();
    Again.WriteInteger("Defaults", "k", 3);
    ASSERT_TRUE(Again.Save());
    EXPECT_EQ(KeptAside(), std::vector<std::string>{Deep});
    EXPECT_LT(TempFolder::Read(Path).size(), 8192u);
}

TEST(XMLStorageFiles, AFileLargerThanASettingsFileIsRefused)
{
    TempFolder Dir;
    const std::string Path = Dir.Path("options.xml");
    // Sparse: it takes no room on the disk.
    ASSERT_EQ(::close(::open(Path.c_str(), O_WRONLY | O_CREAT, 0600)), 0);
    ASSERT_EQ(::truncate(Path.c_str(), off_t{65} << 20), 0);
    MessageRecorder Rec;
    TXMLStorage S(Path);
    S.Load();
    EXPECT_TRUE(S.LoadFailed());
    ASSERT_EQ(Rec.Messages.size(), 1u);
    EXPECT_EQ(Rec.Messages[0].second, "Can't read file " + Path + ": File too large");
}

} // namespace

namespace {

TEST(XMLStorageFiles, EveryShippedDefaultFileLoads)
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    ASSERT_NE(Bin, nullptr);
    const std::string Folder = std::string(Bin) + "/Default";
    int Seen = 0;
    for (const std::string& Name : ListFolder(Folder)) {
        if (Name.size() < 4 || Name.substr(Name.size() - 4) != ".xml")
            continue;
        ++Seen;
        MessageRecorder Rec;
        TXMLStorage S(Folder + "/" + Name);
        S.Load();
        EXPECT_FALSE(S.LoadFailed()) << Name;
        EXPECT_TRUE(Rec.Messages.empty()) << Name;
        EXPECT_EQ(XmlLint(Folder + "/" + Name), 0) << Name;
    }
    EXPECT_GE(Seen, 1);
}

} // namespace
