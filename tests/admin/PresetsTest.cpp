#include "admin/uPresets.h"
#include "settings/Language.h"
#include "settings/uXMLStorage.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string ReadFile(const std::string& Name)
{
    std::ifstream In(Name, std::ios::binary);
    std::stringstream S;
    S << In.rdbuf();
    return S.str();
}

const char* EmptyPresetsFile = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options/>\n";

std::string PresetXml(const std::string& Name, const std::string& Text, const std::string& Type)
{
    return "<Preset><Name>" + Name + "</Name><Title>T</Title><Text>" + Text +
           "</Text><MessageType>" + Type + "</MessageType></Preset>";
}

std::string FileWithItems(const std::vector<std::string>& Items)
{
    std::string S = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options><Presets><Preset>";
    for (const auto& I : Items)
        S += I;
    return S + "</Preset></Presets></Options>\n";
}

// Collects what the store reports instead of showing it.
struct ReportedErrors {
    std::vector<std::string> Texts;
    TXMLStorageMessageHandler Old;
    ReportedErrors()
    {
        Old = SetXMLStorageMessageHandler(
            [this](const std::string&, const std::string& Text) { Texts.push_back(Text); });
    }
    ~ReportedErrors() { SetXMLStorageMessageHandler(Old); }
};

TEST(PresetsStore, FileLayoutEnterMarksAndEncodingRoundTrip)
{
    TempFolder Dir;
    const std::string File = Dir.Path("presets.xml");
    TempFolder::Write(File, EmptyPresetsFile);

    TPresets Presets;
    Presets.AddPreset("Tom & <Jerry>", "Admin \"says\"", MessageTypeWarning,
                      "line one\r\nline two");
    // A text typed in a memo has LF only: it is kept as CR LF.
    Presets.AddPreset("typed", "", MessageTypeError, "a\nb\r\nc");
    ASSERT_TRUE(Presets.SaveToFile(File));

    const std::string Xml = ReadFile(File);
    // Children in the fixed order, the two lines as one with "{ENTER}", the
    // double HTML encoding of the store.
    EXPECT_NE(Xml.find("<Presets>"), std::string::npos);
    const size_t Name = Xml.find("<Name>Tom &amp;amp; &amp;lt;Jerry&amp;gt;</Name>");
    const size_t Title = Xml.find("<Title>Admin &amp;quot;says&amp;quot;</Title>");
    const size_t Text = Xml.find("<Text>line one{ENTER}line two</Text>");
    const size_t Type = Xml.find("<MessageType>2</MessageType>");
    ASSERT_NE(Name, std::string::npos) << Xml;
    ASSERT_NE(Title, std::string::npos) << Xml;
    ASSERT_NE(Text, std::string::npos) << Xml;
    ASSERT_NE(Type, std::string::npos) << Xml;
    EXPECT_LT(Name, Title);
    EXPECT_LT(Title, Text);
    EXPECT_LT(Text, Type);
    EXPECT_NE(Xml.find("<Text>a{ENTER}b{ENTER}c</Text>"), std::string::npos) << Xml;
    EXPECT_EQ(Xml.find("&#13;"), std::string::npos);

    TPresets Back;
    ASSERT_TRUE(Back.LoadFromFile(File));
    ASSERT_EQ(Back.Count(), 2);
    EXPECT_EQ(Back.Items(0)->Name, "Tom & <Jerry>");
    EXPECT_EQ(Back.Items(0)->Title, "Admin \"says\"");
    EXPECT_EQ(Back.Items(0)->Text, "line one\r\nline two");
    EXPECT_EQ(Back.Items(0)->MessageType, MessageTypeWarning);
    EXPECT_EQ(Back.Items(1)->Text, "a\r\nb\r\nc");
    EXPECT_FALSE(Back.Modified);

    // Loading adds to what is there.
    ASSERT_TRUE(Back.LoadFromFile(File));
    EXPECT_EQ(Back.Count(), 4);
}

TEST(PresetsStore, ReadingIsForgivingPerItemAndNeverSavesOverAPartlyReadFile)
{
    TempFolder Dir;
    const std::string File = Dir.Path("presets.xml");
    const std::string Original = FileWithItems({
        PresetXml("one", "x{enter}y", "1"),
        PresetXml("two", "t", "x"),             // not a number
        PresetXml("three<b>bad</b>", "t", "2"), // a name holding elements
        PresetXml("four", "t", "99"),           // no such type
        PresetXml("", "no name", "1"),
        PresetXml("five", "t", ""),
    });
    TempFolder::Write(File, Original);

    LangChanger = std::make_unique<TLangChanger>(); // the built-in English texts
    ReportedErrors Errors;
    TPresets Presets;
    EXPECT_FALSE(Presets.LoadFromFile(File));
    LangChanger.reset();
    ASSERT_EQ(Presets.Count(), 3);
    EXPECT_EQ(Presets.Items(0)->Name, "one");
    EXPECT_EQ(Presets.Items(0)->Text, "x\r\ny"); // "{ENTER}" in any case
    EXPECT_EQ(Presets.Items(1)->Name, "two");
    EXPECT_EQ(Presets.Items(1)->MessageType, MessageTypeNone);
    EXPECT_EQ(Presets.Items(2)->Name, "five");
    // Said once for the file, naming it.
    ASSERT_EQ(Errors.Texts.size(), 1u);
    EXPECT_NE(Errors.Texts[0].find(File), std::string::npos);
    EXPECT_NE(Errors.Texts[0].find("3 preset"), std::string::npos);

    // A change would otherwise write the shortened list over the file.
    Presets.Delete(0);
    EXPECT_FALSE(Presets.SaveToFile(File));
    EXPECT_EQ(ReadFile(File), Original);
}

// Each odd item alone beside a good one: whether the file still counts as
// read whole, and so whether a change may be saved over it.
TEST(PresetsStore, APresetThatCannotBeKeptAsStoredLeavesTheFileAlone)
{
    const struct {
        const char* What;
        std::string Item;
        bool Whole;
    } Cases[] = {
        {"no name", PresetXml("", "t", "1"), false},
        {"type 7", PresetXml("seven", "t", "7"), false},
        {"type -1", PresetXml("minus", "t", "-1"), false},
        {"type beyond 32 bits", PresetXml("huge", "t", "99999999999"), false},
        {"type not a number", PresetXml("x", "t", "x"), true},
        {"no type", "<Preset><Name>bare</Name></Preset>", true},
        {"type 3", PresetXml("three", "t", "3"), true},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.What);
        TempFolder Dir;
        const std::string File = Dir.Path("presets.xml");
        const std::string Original = FileWithItems({PresetXml("good", "g", "1"), C.Item});
        TempFolder::Write(File, Original);
        ReportedErrors Errors;
        TPresets Presets;
        EXPECT_EQ(Presets.LoadFromFile(File), C.Whole);
        EXPECT_EQ(Presets.Count(), C.Whole ? 2 : 1);
        EXPECT_EQ(Errors.Texts.size(), C.Whole ? 0u : 1u);
        ASSERT_NE(Presets.AddPreset("added", "", MessageTypeNone, "a"), nullptr);
        EXPECT_EQ(Presets.SaveToFile(File), C.Whole);
        EXPECT_EQ(ReadFile(File) == Original, !C.Whole);
    }
}

TEST(PresetsStore, UnreadableFileIsKeptAndOtherSectionsSurvive)
{
    TempFolder Dir;
    const std::string File = Dir.Path("presets.xml");
    TempFolder::Write(File, "<Options><Presets><Preset>");
    ReportedErrors Errors;
    TPresets Presets;
    EXPECT_FALSE(Presets.LoadFromFile(File));
    EXPECT_EQ(Presets.Count(), 0);
    Presets.AddPreset("n", "", 0, "t");
    EXPECT_FALSE(Presets.SaveToFile(File));
    EXPECT_EQ(ReadFile(File), "<Options><Presets><Preset>");

    // A sound file: keys the presets do not know stay.
    const std::string Other = Dir.Path("other.xml");
    TempFolder::Write(Other, "<Options><Mine><Key>v</Key></Mine></Options>");
    TPresets Fresh;
    Fresh.AddPreset("n", "", 0, "t");
    ASSERT_TRUE(Fresh.SaveToFile(Other));
    EXPECT_NE(ReadFile(Other).find("<Key>v</Key>"), std::string::npos);
}

TEST(PresetsCollection, AddAssignMoveAndModified)
{
    TPresets A;
    EXPECT_EQ(A.AddPreset("", "t", 1, "x"), nullptr);
    EXPECT_EQ(A.Count(), 0);
    EXPECT_FALSE(A.Modified);
    A.AddPreset("a", "", 1, "x");
    A.AddPreset("b", "", 2, "y");
    A.AddPreset("c", "", 3, "z");
    EXPECT_TRUE(A.Modified);
    A.Move(0, 2);
    EXPECT_EQ(A.Items(0)->Name, "b");
    EXPECT_EQ(A.Items(2)->Name, "a");
    A.Move(0, 5); // out of range: nothing
    EXPECT_EQ(A.Items(0)->Name, "b");
    EXPECT_EQ(A.Items(3), nullptr);

    TPresets B;
    B.Assign(A);
    ASSERT_EQ(B.Count(), 3);
    EXPECT_TRUE(B.SameAs(A));
    B.Items(1)->Title = "changed";
    EXPECT_EQ(A.Items(1)->Title, ""); // a copy, not shared
    TPresets C;
    C.Assign(B);
    C.Modified = false;
    C.Assign(B); // the same contents: nothing to save
    EXPECT_FALSE(C.Modified);
}

TEST(PresetMacros, AnyCaseEveryOccurrenceOnePass)
{
    SetPresetMacroValues("PC1", "%time_now%", "09.12.2026 10:11:12");
    EXPECT_EQ(ExpandPresetMacros("%TIME_NOW% on %Computer_Name%, %computer_name%"),
              "09.12.2026 10:11:12 on PC1, PC1");
    // A value holding a macro name is not expanded again.
    EXPECT_EQ(ExpandPresetMacros("by %user_name%"), "by %time_now%");
    EXPECT_EQ(ExpandPresetMacros("100% %user% %"), "100% %user% %");
    ResetPresetMacroValues();
    // The real values: the time has digits, the macro is gone.
    const std::string Now = ExpandPresetMacros("%time_now%");
    EXPECT_EQ(Now.find("%"), std::string::npos);
    EXPECT_NE(Now.find_first_of("0123456789"), std::string::npos);
}

TEST(PresetsStore, LineBreakNormalisation)
{
    EXPECT_EQ(NormaliseLineBreaks("a\nb\r\nc\n"), "a\r\nb\r\nc\r\n");
    EXPECT_EQ(NormaliseLineBreaks("\n\n"), "\r\n\r\n");
    EXPECT_EQ(NormaliseLineBreaks("a\rb"), "a\rb");
}

} // namespace
