#include "settings/LangChanger.h"
#include "settings/Language.h"
#include "settings/uXMLStorage.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A form or component with a fixed set of properties, recording every set.
class FakeObject : public TPropertyObject {
public:
    explicit FakeObject(std::string ClassOf = "") : Class(std::move(ClassOf)) {}

    std::string ClassName() const override { return Class; }
    std::unique_ptr<TPropertyObject> FindComponent(const std::string& Name) override
    {
        auto It = Components.find(Name);
        return It == Components.end() ? nullptr : std::make_unique<Ref>(*It->second);
    }
    std::unique_ptr<TPropertyObject> ObjectProperty(const std::string& Name) override
    {
        auto It = Objects.find(Name);
        return It == Objects.end() ? nullptr : std::make_unique<Ref>(*It->second);
    }
    TPropertyKind PropertyKind(const std::string& Name) override
    {
        auto It = Kinds.find(Name);
        return It == Kinds.end() ? TPropertyKind::None : It->second;
    }
    void SetInteger(const std::string& Name, std::int64_t Value) override { Ints[Name] = Value; }
    void SetFloat(const std::string& Name, double Value) override { Floats[Name] = Value; }
    void SetString(const std::string& Name, const std::string& Value) override
    {
        Strings[Name] = Value;
    }
    void SetStringList(const std::string& Name, const std::vector<std::string>& Value) override
    {
        Lists[Name] = Value;
    }

    FakeObject& Add(const std::string& Name, std::string ClassOf = "")
    {
        Components[Name] = std::make_unique<FakeObject>(std::move(ClassOf));
        return *Components[Name];
    }
    FakeObject& Nested(const std::string& Name)
    {
        Objects[Name] = std::make_unique<FakeObject>();
        Kinds[Name] = TPropertyKind::Other;
        return *Objects[Name];
    }

    std::string Class;
    std::map<std::string, TPropertyKind> Kinds;
    std::map<std::string, std::int64_t> Ints;
    std::map<std::string, double> Floats;
    std::map<std::string, std::string> Strings;
    std::map<std::string, std::vector<std::string>> Lists;

    // A non-owning view handed out by FindComponent and ObjectProperty.
    class Ref : public TPropertyObject {
    public:
        explicit Ref(FakeObject& Target) : T(Target) {}
        FakeObject& Target() { return T; }
        std::string ClassName() const override { return T.ClassName(); }
        std::unique_ptr<TPropertyObject> FindComponent(const std::string& N) override
        {
            return T.FindComponent(N);
        }
        std::unique_ptr<TPropertyObject> ObjectProperty(const std::string& N) override
        {
            return T.ObjectProperty(N);
        }
        TPropertyKind PropertyKind(const std::string& N) override { return T.PropertyKind(N); }
        void SetInteger(const std::string& N, std::int64_t V) override { T.SetInteger(N, V); }
        void SetFloat(const std::string& N, double V) override { T.SetFloat(N, V); }
        void SetString(const std::string& N, const std::string& V) override { T.SetString(N, V); }
        void SetStringList(const std::string& N, const std::vector<std::string>& V) override
        {
            T.SetStringList(N, V);
        }

    private:
        FakeObject& T;
    };

    static std::unique_ptr<TPropertyObject> View(FakeObject& F) { return std::make_unique<Ref>(F); }

private:
    std::map<std::string, std::unique_ptr<FakeObject>> Components;
    std::map<std::string, std::unique_ptr<FakeObject>> Objects;
};

class LangChangerTest : public ::testing::Test {
protected:
    std::string File(const std::string& Bytes, const std::string& Name = "test.lng")
    {
        std::string Path = Dir.Path(Name);
        TempFolder::Write(Path, Bytes);
        return Path;
    }
    TempFolder Dir;
    TLangChanger Lang;
};

} // namespace

TEST_F(LangChangerTest, NormalisesLinesWithoutEqualsSign)
{
    const std::string Original = "[Translations]\n  Hello  \nsError=Fehler\n\n;note\n[Other]\n";
    std::string Path = File(Original);
    Lang.SetLangFile(Path);
    // Normalised as it is read; the file is the user's and stays as it is.
    EXPECT_EQ(TempFolder::Read(Path), Original);
    // The bare word has become a key with an empty value.
    EXPECT_EQ(Lang.TranslateString("Hello"), "");
    EXPECT_EQ(Lang.TranslateString("hello"), "");
    EXPECT_EQ(Lang.TranslateString("sError"), "Fehler");
}

TEST(LanguageText, NormaliserWorksOnBytes)
{
    // Invalid UTF-8 and a byte-order mark pass through untouched; CR, LF and
    // CR LF all end lines; lines with "=" are not trimmed.
    EXPECT_EQ(NormaliseLanguageText("\xEF\xBB\xBF[T]\r\xFF\xFEword\n  k = v  \r\nlast"),
              "\xEF\xBB\xBF[T]\r\n\xFF\xFEword=\r\n  k = v  \r\nlast=\r\n");
    EXPECT_EQ(NormaliseLanguageText(""), "");
    EXPECT_EQ(NormaliseLanguageText("a\r\n\r\n"), "a=\r\n\r\n");
    // A header that lost its "]" stays a header.
    EXPECT_EQ(NormaliseLanguageText("  [Translations \nk=v\n"), "[Translations\r\nk=v\r\n");
}

TEST(LanguageText, MarksTheFirstLinesBlanksHidAreTheOneMarkInFront)
{
    // Blanks and control characters before a byte-order mark, or a mark
    // behind the file's own one: the line is trimmed down to its text and
    // the text gets one mark in front.
    EXPECT_EQ(NormaliseLanguageText(" \x01\xEF\xBB\xBF  [Other]\nk=v"),
              "\xEF\xBB\xBF[Other]\r\nk=v\r\n");
    EXPECT_EQ(NormaliseLanguageText("\xEF\xBB\xBF \xEF\xBB\xBF\t\xEF\xBB\xBF word\r\n"),
              "\xEF\xBB\xBFword=\r\n");
    EXPECT_EQ(NormaliseLanguageText("\t\xEF\xBB\xBF \r\nk=v"), "\xEF\xBB\xBF\r\nk=v\r\n");
    // Only the first line's: a mark further down is text, and so is a mark
    // in a first line with "=".
    EXPECT_EQ(NormaliseLanguageText("[T]\n \xEF\xBB\xBF x]"), "[T]\r\n\xEF\xBB\xBF x]\r\n");
    EXPECT_EQ(NormaliseLanguageText(" \xEF\xBB\xBF k=v"), " \xEF\xBB\xBF k=v\r\n");

    // Normalising the result again changes nothing.
    for (const std::string Text :
         {" \x01\xEF\xBB\xBF  [Other]\nk=v", "\xEF\xBB\xBF\xEF\xBB\xBF  x]",
          "  \xEF\xBB\xBF\x02 a]\r", "\x7F\xEF\xBB\xBF[T",
          "\xEF\xBB\xBF \xEF\xBB\xBF\t\xEF\xBB\xBF word\r\n", "\xEF\xBB\xBF\xEF\xBB\xBF",
          " \xEF\xBB\xBF k=v", "[T]\n \xEF\xBB\xBF x]"}) {
        const std::string Once = NormaliseLanguageText(Text);
        EXPECT_EQ(NormaliseLanguageText(Once), Once) << Once;
    }
}

TEST_F(LangChangerTest, HeaderBehindBlanksAndAByteOrderMarkIsASection)
{
    Lang.SetLangFile(File(" \t\xEF\xBB\xBF [Translations]\r\nsError=Fehler\r\n"));
    EXPECT_EQ(Lang.TranslateString("sError"), "Fehler");
}

TEST_F(LangChangerTest, UnchangedFileIsNotRewritten)
{
    std::string Path = File("[Translations]\r\nk=v\r\n");
    struct stat Before {};
    ASSERT_EQ(::stat(Path.c_str(), &Before), 0);
    Lang.SetLangFile(Path);
    struct stat After {};
    ASSERT_EQ(::stat(Path.c_str(), &After), 0);
    EXPECT_EQ(Before.st_ino, After.st_ino);
    EXPECT_EQ(TempFolder::Read(Path), "[Translations]\r\nk=v\r\n");
}

TEST_F(LangChangerTest, ReadOnlyLanguagesFolderIsTolerated)
{
    const std::string Original = "[Translations]\nWord\nk=v\n";
    std::string Path = File(Original, "ro/test.lng");
    int Result = InReadOnlyFolder(Dir.Path("ro"), [&] {
        TLangChanger InChild;
        InChild.SetLangFile(Path); // must neither raise nor crash
        bool Ok = TempFolder::Read(Path) == Original;
        // Translation works as if the file had been normalised.
        Ok = Ok && InChild.TranslateString("Word").empty();
        Ok = Ok && InChild.TranslateString("k") == "v";
        return Ok;
    });
    if (Result < 0) {
        GTEST_SKIP() << "cannot make a read-only folder here";
    }
    EXPECT_EQ(Result, 1);
    EXPECT_EQ(TempFolder::Read(Path), Original);
}

TEST_F(LangChangerTest, TheLanguageFileIsNeverRewritten)
{
    // A header without its "]" and bare words: read as a normalised file
    // would be, and the bytes on disk, the link and the file's time stay.
    const std::string Original = "[Translations\nWord\nsError=Fehler\n";
    std::string Real = File(Original, "real.lng");
    ASSERT_EQ(::chmod(Real.c_str(), 0640), 0);
    std::string Link = Dir.Path("link.lng");
    ASSERT_EQ(::symlink(Real.c_str(), Link.c_str()), 0);
    struct stat Before {};
    ASSERT_EQ(::stat(Real.c_str(), &Before), 0);
    for (int Start = 0; Start < 2; ++Start) {
        TLangChanger L;
        L.SetLangFile(Link);
        EXPECT_EQ(L.TranslateString("sError"), "Fehler");
        EXPECT_EQ(L.TranslateString("Word"), "");
    }
    struct stat St {};
    ASSERT_EQ(::lstat(Link.c_str(), &St), 0);
    EXPECT_TRUE(S_ISLNK(St.st_mode));
    ASSERT_EQ(::stat(Real.c_str(), &St), 0);
    EXPECT_EQ(St.st_ino, Before.st_ino);
    EXPECT_EQ(St.st_mtim.tv_sec, Before.st_mtim.tv_sec);
    EXPECT_EQ(St.st_mtim.tv_nsec, Before.st_mtim.tv_nsec);
    EXPECT_EQ(TempFolder::Read(Real), Original);
}

TEST_F(LangChangerTest, TranslateStringReplacesEnterAndFallsBack)
{
    Lang.SetLangFile(File("[Translations]\nsTwo=first{ENTER}second\n\"About %s\"=About %s!\n"));
    EXPECT_EQ(Lang.TranslateString("sTwo"), "first\r\nsecond");
    EXPECT_EQ(Lang.TranslateString("sMissing"), "sMissing");
    EXPECT_EQ(Lang.TranslateString("a{ENTER}b"), "a\r\nb"); // also for the fallback
    // A key of the program's that the file lacks takes the built-in text.
    EXPECT_EQ(Lang.TranslateString("MACColumns2"), "MAC Address");

    TLangChanger None;
    EXPECT_EQ(None.TranslateString("x{ENTER}{ENTER}y"), "x\r\n\r\ny");
    EXPECT_EQ(None.TranslateString("sError"), "Error");
    // A missing file (never copied, or removed) shows the built-in texts,
    // never the raw keys.
    None.SetLangFile(Dir.Path("missing.lng"));
    EXPECT_EQ(None.TranslateString("sError"), "Error");
    EXPECT_EQ(None.TranslateString("MACColumns0"), "Computer / Adapter");
    EXPECT_EQ(None.TranslateString("About %s"), "About %s");
}

TEST_F(LangChangerTest, FileChangedOnDiskIsReread)
{
    std::string Path = File("[Translations]\nk=old\n");
    Lang.SetLangFile(Path);
    EXPECT_EQ(Lang.TranslateString("k"), "old");
    TempFolder::Write(Path + ".new", "[Translations]\r\nk=new value\r\n");
    ASSERT_EQ(::rename((Path + ".new").c_str(), Path.c_str()), 0);
    EXPECT_EQ(Lang.TranslateString("k"), "new value");
    ASSERT_EQ(::unlink(Path.c_str()), 0);
    EXPECT_EQ(Lang.TranslateString("k"), "k");
}

TEST_F(LangChangerTest, ANamedPipeOrADeviceAsTheFileGivesTheBuiltInTextsAndNeverWaits)
{
    const std::string Fifo = Dir.Path("pipe.lng");
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    for (const std::string& Path : {Fifo, std::string("/dev/zero")}) {
        EXPECT_EQ(AnswerWithin(std::chrono::seconds(5),
                               [&] {
                                   TLangChanger L;
                                   L.SetLangFile(Path);
                                   return L.TranslateString("sError");
                               }),
                  "Error")
            << Path;
    }
}

TEST_F(LangChangerTest, ALanguageFileThatCannotBeReadIsSaidOnce)
{
    const std::string Fifo = Dir.Path("pipe.lng");
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    TLangChanger L;
    std::vector<std::string> Said;
    // A message box runs an event loop, in which the window may well
    // translate again.
    SetXMLStorageMessageHandler([&](const std::string&, const std::string& Text) {
        Said.push_back(Text);
        if (Said.size() < 3) {
            EXPECT_EQ(L.TranslateString("MACColumns1"), "IP Address");
        }
    });
    L.SetLangFile(Fifo);
    EXPECT_EQ(L.TranslateString("sError"), "Error");
    EXPECT_EQ(L.TranslateString("MACColumns0"), "Computer / Adapter");
    SetXMLStorageMessageHandler({});
    EXPECT_EQ(Said, std::vector<std::string>{"Can't read file " + Fifo + ": not a regular file"});
    // A missing file is no fault: the built-in texts, without a word.
    Said.clear();
    TLangChanger Missing;
    Missing.SetLangFile(Dir.Path("missing.lng"));
    EXPECT_EQ(Missing.TranslateString("sError"), "Error");
    EXPECT_TRUE(Said.empty());
}

TEST_F(LangChangerTest, LangFileIsTrimmedAndEmptyMeansNone)
{
    std::string Path = File("[Translations]\nk=v\n");
    Lang.SetLangFile("  " + Path + " ");
    EXPECT_EQ(Lang.LangFile(), Path);
    EXPECT_EQ(Lang.TranslateString("k"), "v");
    Lang.SetLangFile("");
    EXPECT_EQ(Lang.TranslateString("k"), "k");
}

TEST_F(LangChangerTest, SeparatorNeverEmpty)
{
    EXPECT_EQ(Lang.Separator(), ",");
    Lang.SetSeparator("");
    EXPECT_EQ(Lang.Separator(), ",");
    Lang.SetSeparator("   ");
    EXPECT_EQ(Lang.Separator(), ",");
    Lang.SetSeparator(";");
    EXPECT_EQ(Lang.Separator(), ";");
    Lang.SetSeparator(" | ");
    EXPECT_EQ(Lang.Separator(), " | "); // taken as it is
}

TEST_F(LangChangerTest, TranslateFormSetsPropertiesOfTheNamedClass)
{
    FakeObject Find("TdlgFind");
    FakeObject& Button = Find.Add("btnFind");
    Button.Kinds["Caption"] = TPropertyKind::String;
    Find.Kinds["Caption"] = TPropertyKind::String;
    FakeObject Other("TdlgOptions");
    Other.Add("btnFind").Kinds["Caption"] = TPropertyKind::String;

    Lang.SetLangFile(File("[Translations]\n"
                          "DLGFIND.btnFind.Caption=&Suchen\n"
                          "dlgFind.Caption=Two{ENTER}lines\n"
                          "dlgFind=no dot: text key only\n"
                          "Find.btnFind.Caption=wrong class\n"));
    Lang.TranslateForm(&Find);
    EXPECT_EQ(Button.Strings["Caption"], "&Suchen");
    EXPECT_EQ(Find.Strings["Caption"], "Two\r\nlines");
    Lang.TranslateForm(&Other);
    EXPECT_TRUE(Other.Strings.empty());
    EXPECT_EQ(Lang.TranslateString("dlgFind"), "no dot: text key only");
}

TEST_F(LangChangerTest, TranslateFormWithoutFormUsesScreenForms)
{
    FakeObject A("TfrmTolvex"), B("TdlgAbout"), C("TFRMTOLVEX");
    for (FakeObject* F : {&A, &B, &C}) {
        F->Kinds["Caption"] = TPropertyKind::String;
    }
    int Asked = 0;
    Lang.ScreenForms = [&] {
        ++Asked;
        std::vector<std::unique_ptr<TPropertyObject>> Forms;
        for (FakeObject* F : {&A, &B, &C}) {
            Forms.push_back(FakeObject::View(*F));
        }
        return Forms;
    };
    Lang.TranslateForm(nullptr); // no language file: nothing at all
    EXPECT_EQ(Asked, 0);

    Lang.SetLangFile(File("[Translations]\nfrmTolvex.Caption=Main\ndlgAbout.Caption=About\n"));
    Lang.TranslateForm(nullptr);
    EXPECT_EQ(A.Strings["Caption"], "Main");
    EXPECT_EQ(C.Strings["Caption"], "Main");
    EXPECT_EQ(B.Strings["Caption"], "About");
}

TEST_F(LangChangerTest, TranslateFormAppliesKeysInFileOrder)
{
    FakeObject Form("TdlgX");
    Form.Kinds["Caption"] = TPropertyKind::String;
    Lang.SetLangFile(File("[Translations]\ndlgX.Caption=first\nDLGX.CAPTION=ignored\n"
                          "dlgX.Missing=x\nnobody.Caption=y\n"));
    std::vector<std::string> Keys;
    Lang.ReadSectionKeys("Translations", Keys);
    EXPECT_EQ(Keys, (std::vector<std::string>{"dlgX.Caption", "dlgX.Missing", "nobody.Caption"}));
    Lang.TranslateForm(&Form);
    EXPECT_EQ(Form.Strings.size(), 1u); // the missing property is skipped
    EXPECT_EQ(Form.Strings["Caption"], "first");
}

TEST_F(LangChangerTest, PropertyPathsResolveComponentsAndNestedObjects)
{
    FakeObject Form("TdlgOptions");
    FakeObject& Edit = Form.Add("edTimeout");
    FakeObject& Font = Edit.Nested("Font");
    Font.Kinds["Name"] = TPropertyKind::String;
    FakeObject& FormFont = Form.Nested("Font");
    FormFont.Kinds["Size"] = TPropertyKind::Integer;

    Lang.SetPropertyByPath(Form, "edTimeout.Font.Name", "Sans");
    EXPECT_EQ(Font.Strings["Name"], "Sans");
    // No component of that name: the whole path is resolved from the form.
    Lang.SetPropertyByPath(Form, "Font.Size", "12");
    EXPECT_EQ(FormFont.Ints["Size"], 12);
    // A missing nested object or property sets nothing.
    Lang.SetPropertyByPath(Form, "edTimeout.Brush.Color", "1");
    Lang.SetPropertyByPath(Form, "edTimeout.Font.Missing", "1");
    EXPECT_EQ(Font.Strings.size(), 1u);
    EXPECT_TRUE(Font.Ints.empty());
}

TEST_F(LangChangerTest, PropertyValuesByKind)
{
    FakeObject Form("TdlgX");
    Form.Kinds = {{"Tag", TPropertyKind::Integer},
                  {"Big", TPropertyKind::Int64},
                  {"Ratio", TPropertyKind::Float},
                  {"Items", TPropertyKind::StringList},
                  {"Align", TPropertyKind::Other}};

    struct IntCase {
        const char* Text;
        std::optional<std::int64_t> Expected;
    };
    for (const IntCase& C : std::vector<IntCase>{{"42", 42},
                                                 {"-7", -7},
                                                 {"$1F", 31},
                                                 {"0x40", 64},
                                                 {"2147483647", 2147483647},
                                                 {"2147483648", std::nullopt},
                                                 {"12abc", std::nullopt},
                                                 {"", std::nullopt},
                                                 {"1.5", std::nullopt}}) {
        Form.Ints.clear();
        Lang.SetPropertyByPath(Form, "Tag", C.Text);
        if (C.Expected) {
            EXPECT_EQ(Form.Ints["Tag"], *C.Expected) << C.Text;
        } else {
            EXPECT_TRUE(Form.Ints.empty()) << C.Text << " must leave the property unchanged";
        }
    }
    Lang.SetPropertyByPath(Form, "Big", "-9223372036854775808");
    EXPECT_EQ(Form.Ints["Big"], INT64_MIN);

    // Either decimal separator reads, whatever the locale.
    Lang.SetPropertyByPath(Form, "Ratio", "1.5");
    EXPECT_DOUBLE_EQ(Form.Floats["Ratio"], 1.5);
    Lang.SetPropertyByPath(Form, "Ratio", "2,25");
    EXPECT_DOUBLE_EQ(Form.Floats["Ratio"], 2.25);
    Lang.SetPropertyByPath(Form, "Ratio", "wide");
    EXPECT_DOUBLE_EQ(Form.Floats["Ratio"], 2.25);

    Lang.SetPropertyByPath(Form, "Items", " ARP , Netbios,SNMP ");
    EXPECT_EQ(Form.Lists["Items"], (std::vector<std::string>{"ARP", "Netbios", "SNMP"}));
    Lang.SetPropertyByPath(Form, "Items", "a,,b,");
    EXPECT_EQ(Form.Lists["Items"], (std::vector<std::string>{"a", "", "b"}));
    Lang.SetSeparator("|");
    Lang.SetPropertyByPath(Form, "Items", "x, y|z");
    EXPECT_EQ(Form.Lists["Items"], (std::vector<std::string>{"x, y", "z"}));

    Lang.SetPropertyByPath(Form, "Align", "alClient"); // kinds a language file may not set
    EXPECT_TRUE(Form.Strings.empty());
}

TEST_F(LangChangerTest, ComboItemsFromAFormKey)
{
    FakeObject Form("TdlgOptions");
    Form.Add("cmbStyle").Kinds["Items"] = TPropertyKind::StringList;
    Lang.SetLangFile(File("[Translations]\ndlgOptions.cmbStyle.Items=one,  two ,three\n"));
    Lang.TranslateForm(&Form);
    auto Combo = Form.FindComponent("cmbStyle");
    ASSERT_TRUE(Combo);
    EXPECT_EQ(static_cast<FakeObject::Ref&>(*Combo).Target().Lists["Items"],
              (std::vector<std::string>{"one", "two", "three"}));
}

TEST(Language, TranslateUsesTheGlobalLangChanger)
{
    TempFolder Dir;
    std::string Path = Dir.Path("english.lng");
    TempFolder::Write(Path, "[Translations]\nsError=Error!\n");
    LangChanger.reset();
    EXPECT_EQ(Translate("sError"), "sError");
    EXPECT_EQ(Translate("a{ENTER}b"), "a{ENTER}b"); // no object, no change at all
    LangChanger = std::make_unique<TLangChanger>();
    LangChanger->SetLangFile(Path);
    EXPECT_EQ(Translate("sError"), "Error!");
    LangChanger.reset();
    EXPECT_EQ(Translate("sError"), "sError");
}
