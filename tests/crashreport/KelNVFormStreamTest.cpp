// Assistant form streams: streams that Python's struct builds (every way of
// writing a boolean, an unknown tag halfway, the navigation buttons and item
// classes, hostile nesting and counts) read as the forms must take them; a
// stream cut at every byte; the form texts through the real
// make_crash_resources, read back by Python, and the shipped forms decoded to
// their own text.
#include "crashreport/kelNVFormStream.h"
#include "tools/CrashFormText.h"

#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <sstream>

namespace {

const std::string Oracle = std::string(TOLVEX_CRASHREPORT_TEST_DIR) + "/form_oracle.py";
const std::string Tool = TOLVEX_MAKE_CRASH_RESOURCES;
const std::string FormsDir =
    std::string(TOLVEX_CRASHREPORT_TEST_DIR) + "/../../resources/crashreport/forms/";
const char* const ShippedForms[] = {"ContactForm", "DetailsForm", "ScrShotForm"};

std::string FromOracle(const std::string& Case)
{
    TempFolder Temp;
    const auto R = RunCommand("/usr/bin/python3 " + Quote(Oracle) + " write " + Case + " " +
                              Quote(Temp.Path("s")));
    EXPECT_EQ(R.Status, 0) << R.Output;
    return TempFolder::Read(Temp.Path("s"));
}

std::string OracleReads(const std::string& Stream)
{
    TempFolder Temp;
    TempFolder::Write(Temp.Path("s"), Stream);
    const auto R =
        RunCommand("/usr/bin/python3 " + Quote(Oracle) + " read " + Quote(Temp.Path("s")));
    EXPECT_EQ(R.Status, 0) << R.Output;
    return R.Output;
}

// Objects in the oracle's line format.
std::string Lines(const std::vector<TFormStreamObject>& Objects, const std::string& Stop)
{
    std::string Out;
    for (const auto& O : Objects) {
        Out +=
            "object\t" + std::to_string(O.Depth) + "\t" + O.ClassName + "\t" + O.ObjectName + "\n";
        for (const auto& P : O.Properties)
            Out += "\t" + P.Name + "\t" + Hex(P.Value.AsText()) + "\n";
    }
    return Out + "stop\t" + Stop + "\n";
}

std::string StopWord(const TFormStreamObjects& R)
{
    switch (R.Stop) {
    case TFormStreamStop::fsEnd:
        return "end";
    case TFormStreamStop::fsUnknownTag:
        return "tag " + std::to_string(R.BadTag);
    default:
        return "truncated";
    }
}

const TNVItemDesc* Item(const TNVFormDesc& F, const std::string& Name)
{
    for (const auto& I : F.Items)
        if (I.Name == Name)
            return &I;
    return nullptr;
}

TEST(CrashreportFormStream, BooleanTextsAsTheFormsTakeThem)
{
    const struct {
        const char* Name;
        bool Checked;
    } Cases[] = {
        {"YesShort", true},  {"TrueUtf8", true}, {"OneShort", true},  {"TrueTag", true},
        {"OneInt", true},    {"YesWide", true},  {"TrueIdent", true}, {"TrueLong", true},
        {"On", false},       {"Two", false},     {"TwoInt", false},   {"FalseTag", false},
        {"OneBlank", false}, {"YesDot", false},  {"Empty", false},
    };
    const TNVFormRead R = ReadFormStream(FromOracle("bools"));
    EXPECT_EQ(R.Stop, TFormStreamStop::fsEnd);
    EXPECT_EQ(R.Problem, "");
    ASSERT_EQ(R.Form.Items.size(), FirstFormItem + std::size(Cases));
    for (std::size_t I = 0; I < std::size(Cases); ++I) {
        const TNVItemDesc& D = R.Form.Items[FirstFormItem + I];
        EXPECT_EQ(D.Name, Cases[I].Name);
        EXPECT_EQ(D.Kind, ikCheckBox);
        EXPECT_EQ(D.Checked, Cases[I].Checked) << Cases[I].Name;
    }
}

TEST(CrashreportFormStream, UnknownTagStopsWithTheMessageAndKeepsWhatCameBefore)
{
    const std::string Stream = FromOracle("unknown");
    const TFormStreamObjects Objects = ReadFormObjects(Stream);
    EXPECT_EQ(Lines(Objects.Objects, StopWord(Objects)), OracleReads(Stream));

    const TNVFormRead R = ReadFormStream(Stream);
    EXPECT_EQ(R.Stop, TFormStreamStop::fsUnknownTag);
    EXPECT_EQ(R.Problem, "Internal error: Invalid assistant resource (5).");
    ASSERT_EQ(R.Form.Items.size(), FirstFormItem + 3u);
    EXPECT_EQ(R.Form.Items[3].Caption, "one");
    EXPECT_EQ(R.Form.Items[4].Caption, "two");
    const TNVItemDesc& Edit = R.Form.Items[5];
    EXPECT_EQ(Edit.Name, "E3");
    EXPECT_EQ(Edit.Text, "kept");
    EXPECT_EQ(Edit.Lines, 3);
    EXPECT_FALSE(Edit.Optional); // written after the bad tag
    EXPECT_EQ(Item(R.Form, "L4"), nullptr);
}

TEST(CrashreportFormStream, NavigationButtonsAndItemClasses)
{
    const TNVFormRead R = ReadFormStream(FromOracle("buttons"));
    ASSERT_EQ(R.Stop, TFormStreamStop::fsEnd);
    const TNVFormDesc& F = R.Form;
    // AbortBtn configures Cancel; the other two keep their captions.
    EXPECT_EQ(F.Items[nbCancel].Name, "CancelBtn");
    EXPECT_EQ(F.Items[nbCancel].Caption, "Stop");
    EXPECT_FALSE(F.Items[nbCancel].Enabled);
    EXPECT_EQ(F.Items[nbNext].Caption, "Next >");
    EXPECT_TRUE(F.Items[nbSkip].Hidden);
    EXPECT_TRUE(F.Items[nbSkip].NoOwnerDraw);
    EXPECT_EQ(F.Items[nbSkip].Caption, "Skip");

    const std::vector<std::pair<std::string, TNVItemKind>> Expected = {
        {"OkBtn", ikButton}, {"ContinueBtn", ikLabel}, {"Edit", ikEdit},
        {"OneLine", ikEdit}, {"Outer", ikLabel},       {"Inner", ikCheckBox},
    };
    ASSERT_EQ(F.Items.size(), FirstFormItem + Expected.size());
    for (std::size_t I = 0; I < Expected.size(); ++I) {
        EXPECT_EQ(F.Items[FirstFormItem + I].Name, Expected[I].first);
        EXPECT_EQ(F.Items[FirstFormItem + I].Kind, Expected[I].second);
    }
    EXPECT_EQ(Item(F, "OkBtn")->Caption, "OK");
    EXPECT_EQ(Item(F, "OkBtn")->MinWidth, 90);
    EXPECT_EQ(F.Items[FirstFormItem + 1].Caption, "a label");
    // Only a multi-line edit keeps "ownSection".
    EXPECT_TRUE(Item(F, "Edit")->OutputType);
    EXPECT_FALSE(Item(F, "OneLine")->OutputType);
    EXPECT_EQ(Item(F, "OneLine")->OutputName, "x");
    EXPECT_EQ(Item(F, "Inner")->Caption, "inside");
    // An object of another class sets the form's properties.
    EXPECT_EQ(F.Message, "from another class");
    EXPECT_EQ(F.Timer, 250);
    EXPECT_EQ(F.OnAction, "unit.Routine");
    EXPECT_EQ(F.Name, "Form");
}

TEST(CrashreportFormStream, HostileNestingAndCountsAreBounded)
{
    const TNVFormRead Deep = ReadFormStream(FromOracle("deep"));
    EXPECT_EQ(Deep.Stop, TFormStreamStop::fsTooDeep);
    EXPECT_EQ(Deep.Form.Items.size(), FirstFormItem + static_cast<std::size_t>(MaxFormDepth));
    EXPECT_NE(Deep.Problem.find("deeper"), std::string::npos);

    const TNVFormRead Many = ReadFormStream(FromOracle("many"));
    EXPECT_EQ(Many.Stop, TFormStreamStop::fsTooManyItems);
    ASSERT_EQ(Many.Form.Items.size(), FirstFormItem + MaxFormObjects - 1u);
    EXPECT_EQ(Many.Form.Items.back().Caption, std::to_string(MaxFormObjects - 2));
}

TEST(CrashreportFormStream, CutAtEveryByteKeepsWhatCameBefore)
{
    const std::string Text = TempFolder::Read(FormsDir + "ContactForm.txt");
    const std::string Whole = WriteFormObjects(ParseFormText(Text, "ContactForm.txt"));
    const TFormStreamObjects All = ReadFormObjects(Whole);
    ASSERT_EQ(All.Stop, TFormStreamStop::fsEnd);
    for (std::size_t Length = 0; Length < Whole.size(); ++Length) {
        // An exact-size copy, so that a read past the end is AddressSanitizer's.
        std::unique_ptr<char[]> Cut(new char[Length + 1]);
        Whole.copy(Cut.get(), Length);
        const TFormStreamObjects C = ReadFormObjects({Cut.get(), Length});
        ASSERT_EQ(C.Stop,
                  Length < 4 ? TFormStreamStop::fsNoSignature : TFormStreamStop::fsTruncated)
            << Length;
        ASSERT_LE(C.Objects.size(), All.Objects.size());
        for (std::size_t I = 0; I < C.Objects.size(); ++I) {
            ASSERT_EQ(C.Objects[I].ObjectName, All.Objects[I].ObjectName) << Length;
            ASSERT_LE(C.Objects[I].Properties.size(), All.Objects[I].Properties.size());
        }
        // The form still has its buttons.
        ASSERT_GE(ReadFormStream({Cut.get(), Length}).Form.Items.size(), 3u);
    }
}

TEST(CrashreportFormStream, ShippedFormsThroughTheTool)
{
    TempFolder Temp;
    for (const char* Name : ShippedForms) {
        SCOPED_TRACE(Name);
        const std::string File = FormsDir + Name + ".txt";
        const std::string Stream = Temp.Path(std::string(Name) + ".bin");
        const auto Made =
            RunCommand(Quote(Tool) + " form " + Quote(File) + " " + Quote(Stream) + " 2>&1");
        ASSERT_EQ(Made.Status, 0) << Made.Output;
        // The decoded stream is the text without its comments.
        const auto Decoded = RunCommand(Quote(Tool) + " decode " + Quote(Stream));
        EXPECT_EQ(Decoded.Status, 0);
        std::istringstream In(TempFolder::Read(File));
        std::string Line, Expected;
        while (std::getline(In, Line))
            if (!Line.empty() && Line[0] != '#')
                Expected += Line + "\n";
        EXPECT_EQ(Decoded.Output, Expected);
        // Python reads what the text says.
        const std::string Bytes = TempFolder::Read(Stream);
        EXPECT_EQ(OracleReads(Bytes), Lines(ParseFormText(TempFolder::Read(File), File), "end"));
        // The form its handler and items need.
        const TNVFormRead R = ReadFormStream(Bytes);
        EXPECT_EQ(R.Problem, "");
        EXPECT_EQ(R.Form.Name, Name);
    }
}

TEST(CrashreportFormStream, MalformedFormTextsFailWithFileAndLine)
{
    const struct {
        const char* Text;
        int Line;
        const char* Says;
    } Cases[] = {
        {"Caption = x\n", 1, "outside any object"},
        {"object F: TNVForm\n  Lines = many\nend\n", 2, "no 32-bit decimal integer"},
        {"object F: TNVForm\n  Visible = perhaps\nend\n", 2, "no boolean"},
        {"object F: TNVForm\n  Colour = red\nend\n", 2, "Colour:text"},
        {"object F: TNVForm\n  Colour:float = 1\nend\n", 2, "unknown kind"},
        {"object F: TNVForm\n  object L: TNVLabel\n  end\n  Message = late\nend\n", 4,
         "before its child objects"},
        {"object F: TNVForm\n\n  object L: TNVLabel\nend\n", 1, "F is not ended"},
        {"object F: TNVForm\nend\nend\n", 3, "without an object"},
        {"object F: TNVForm\nend\nobject G: TNVForm\nend\n", 3, "a second form"},
        {"object F TNVForm\nend\n", 1, "object Name: Class"},
        {"object F: TNV Form\nend\n", 1, "no class name"},
        {"object F: TNVForm\n  fin\nend\n", 2, "expected"},
        {"# nothing\n", 1, "no form object"},
        {"object F: TNVForm\n  Caption = \xff\nend\n", 2, "not UTF-8"},
    };
    for (const auto& C : Cases) {
        SCOPED_TRACE(C.Text);
        try {
            ParseFormText(C.Text, "f.txt");
            ADD_FAILURE() << "accepted";
        } catch (const ECrashTextError& E) {
            EXPECT_EQ(E.Line, C.Line);
            const std::string What = E.what();
            EXPECT_EQ(What.rfind("f.txt:" + std::to_string(C.Line) + ": ", 0), 0u) << What;
            EXPECT_NE(What.find(C.Says), std::string::npos) << What;
        }
    }
    // Nesting and object counts as the reader bounds them.
    std::string Deep = "object F: TNVForm\n";
    for (int I = 0; I <= MaxFormDepth; ++I)
        Deep += "object L" + std::to_string(I) + ": TNVLabel\n";
    EXPECT_THROW(ParseFormText(Deep, "deep.txt"), ECrashTextError);
    std::string Many = "object F: TNVForm\n";
    for (int I = 0; I < MaxFormObjects; ++I)
        Many += "object L" + std::to_string(I) + ": TNVLabel\nend\n";
    EXPECT_THROW(ParseFormText(Many + "end\n", "many.txt"), ECrashTextError);
}

} // namespace
