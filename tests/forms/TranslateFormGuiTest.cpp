// The language file reaching the widgets of a form: every property name the
// files use, on every kind of control it applies to, and nothing else.
#include "forms/Actions.h"
#include "forms/FormTranslation.h"
#include "settings/Language.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// A form of each kind of control the language files name, as a dialog laid
// out by its .ui description would have them. The language file finds a form
// by its class name, so the forms are classes of their own.
class TdlgProbe : public QDialog {
    Q_OBJECT
public:
    TdlgProbe() : FActions(new TActionList(this))
    {
        setObjectName("dlgProbe");
        setWindowTitle("Probe");
        auto* What = new QLabel("Find what:", this);
        What->setObjectName("lblFindWhat");
        auto* Find = new QComboBox(this);
        Find->setObjectName("cmbFind");
        Find->setEditable(true);
        auto* FindButton = new QPushButton(this);
        FindButton->setObjectName("btnFind");
        auto* Cancel = new QPushButton("Cancel", this);
        Cancel->setObjectName("btnCancel");
        FactFind = FActions->Add("actFind", "Find", [] {});
        BindButton(FindButton, FactFind);
    }

    TAction* actFind() const { return FactFind; }

private:
    TActionList* FActions;
    TAction* FactFind;
};

class TDlgOther : public QDialog {
    Q_OBJECT
public:
    TDlgOther()
    {
        setObjectName("DlgOther");
        auto* Start = new QLabel("Start:", this);
        Start->setObjectName("lblStartIP");
        auto* Cancel = new QPushButton("Cancel", this);
        Cancel->setObjectName("btnCancel");
    }
};

namespace {

using namespace guitest;

// The probe form with the kinds of control it lacks added under names of
// their own, and a language file for it.
class TranslateFormGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        Dlg = std::make_unique<TdlgProbe>();
        Check = new QCheckBox("check", Dlg.get());
        Check->setObjectName("chkProbe");
        Group = new QGroupBox("group", Dlg.get());
        Group->setObjectName("grpProbe");
        Group->setGeometry(5, 6, 70, 80);
        Memo = new QPlainTextEdit("memo", Group); // nested: still the form's
        Memo->setObjectName("memProbe");
        Edit = new QLineEdit("edit", Dlg.get());
        Edit->setObjectName("edProbe");
        List = new QComboBox(Dlg.get());
        List->setObjectName("cmbProbe"); // a drop-down list: no text of its own
        List->addItems({"x", "y", "z"});
        List->setCurrentIndex(1);
    }
    void TearDown() override { LangChanger.reset(); }

    void Translate(const std::string& Lines)
    {
        TempFolder::Write(Dir.Path("test.lng"), "[Translations]\r\n" + Lines);
        LangChanger = std::make_unique<TLangChanger>();
        LangChanger->SetLangFile(Dir.Path("test.lng"));
        TranslateForm(Dlg.get());
    }

    QApplication& Application = App(); // before any widget
    TempFolder Dir;
    std::unique_ptr<TdlgProbe> Dlg;
    QCheckBox* Check = nullptr;
    QGroupBox* Group = nullptr;
    QPlainTextEdit* Memo = nullptr;
    QLineEdit* Edit = nullptr;
    QComboBox* List = nullptr;
};

TEST_F(TranslateFormGui, EachPropertyNameReachesItsWidgetKind)
{
    Translate("dlgProbe.Caption=Suchen\r\n"
              "dlgprobe.lblFindWhat.Caption=Was:\r\n" // the form name in any case
              "DLGPROBE.btnCancel.Caption=Abbrechen\r\n"
              "dlgProbe.btnCancel.Hint=Schliesst{ENTER}das Fenster\r\n"
              "dlgProbe.chkProbe.Caption=Haken\r\n"
              "dlgProbe.grpProbe.Caption=Gruppe\r\n"
              "dlgProbe.cmbFind.Items= eins ,zwei,  drei \r\n"
              "dlgProbe.cmbFind.Text=gesucht\r\n"
              "dlgProbe.cmbProbe.Items=a,b\r\n"
              "dlgProbe.memProbe.Lines=erste, zweite\r\n"
              "dlgProbe.edProbe.Text=bearbeitet\r\n"
              "dlgProbe.actFind.Caption=&Finden\r\n"
              "dlgProbe.actFind.Hint=Naechster Treffer\r\n"
              "dlgProbe.grpProbe.Left=11\r\n"
              "dlgProbe.grpProbe.Top=$0C\r\n"
              "dlgProbe.grpProbe.Width=130\r\n"
              "dlgProbe.grpProbe.Height=-5\r\n"
              "dlgProbe.Width=333\r\n");
    EXPECT_EQ(Dlg->windowTitle(), "Suchen");
    EXPECT_EQ(Child<QLabel>(*Dlg, "lblFindWhat")->text(), "Was:");
    auto* Cancel = Child<QPushButton>(*Dlg, "btnCancel");
    EXPECT_EQ(Cancel->text(), "Abbrechen");
    EXPECT_EQ(Cancel->toolTip(), "Schliesst\r\ndas Fenster");
    EXPECT_EQ(Check->text(), "Haken");
    EXPECT_EQ(Group->title(), "Gruppe");

    auto* Find = Child<QComboBox>(*Dlg, "cmbFind");
    ASSERT_EQ(Find->count(), 3);
    EXPECT_EQ(Find->itemText(0), "eins");
    EXPECT_EQ(Find->itemText(2), "drei");
    EXPECT_EQ(Find->currentText(), "gesucht");
    // New items, the chosen index kept; an index beyond them chooses none.
    EXPECT_EQ(List->count(), 2);
    EXPECT_EQ(List->currentIndex(), 1);
    EXPECT_EQ(Memo->toPlainText(), "erste\nzweite");
    EXPECT_EQ(Edit->text(), "bearbeitet");

    // The action, and the button bound to it, take its caption and hint.
    TAction* Act = Dlg->actFind();
    EXPECT_EQ(Act->text(), "&Finden");
    EXPECT_EQ(Act->toolTip(), "Naechster Treffer");
    EXPECT_EQ(Act->statusTip(), "Naechster Treffer");
    auto* FindButton = Child<QPushButton>(*Dlg, "btnFind");
    EXPECT_EQ(FindButton->text(), "&Finden");
    EXPECT_EQ(FindButton->toolTip(), "Naechster Treffer");

    EXPECT_EQ(Group->geometry(), QRect(11, 12, 130, 0));
    EXPECT_EQ(Dlg->width(), 333);

    List->setCurrentIndex(1);
    Translate("dlgProbe.cmbProbe.Items=nur eins\r\n");
    EXPECT_EQ(List->count(), 1);
    EXPECT_EQ(List->currentIndex(), -1);
}

TEST_F(TranslateFormGui, UnknownNamesAndWrongTypesChangeNothing)
{
    const QRect GroupWas = Group->geometry();
    const QString TitleWas = Dlg->windowTitle();
    Translate("dlgProbe.btnMissing.Caption=x\r\n"      // no such component
              "dlgProbe.lblFindWhat.Items=a,b\r\n"     // a label has no items
              "dlgProbe.lblFindWhat.Text=x\r\n"        // nor a text of its own
              "dlgProbe.cmbProbe.Text=x\r\n"           // a drop-down list has none
              "dlgProbe.cmbFind.Lines=a,b\r\n"         // lines are for memos
              "dlgProbe.edProbe.Caption=x\r\n"         // an edit has no caption
              "dlgProbe.chkProbe.Checked=1\r\n"        // not a translated property
              "dlgProbe.btnCancel.Font.Size=40\r\n"    // no nested objects
              "dlgProbe.btnCancel.Caption.Extra=x\r\n" // a string is no object
              "dlgProbe.grpProbe.Width=wide\r\n"       // not a number
              "dlgProbe.grpProbe.Height=12.5\r\n"      // not an integer
              "dlgProbe.grpProbe.Left=99999999999\r\n" // beyond an integer
              "dlgProbe.grpProbe.Top=\r\n"             // empty
              "dlgProbe..Caption=x\r\n"                // empty names
              "dlgProbe.=x\r\n"                        //
              "dlgProbe.Nonsense=x\r\n"                // no such form property
              "dlgProbeX.Caption=x\r\n"                // another form
              "DlgOther.btnCancel.Caption=x\r\n"       // another form's control
              "Caption=x\r\n"                          // a text key
              "dlgProbe.lblFindWhat\r\n");             // a bare word: empty value
    EXPECT_EQ(Dlg->windowTitle(), TitleWas);
    EXPECT_EQ(Child<QPushButton>(*Dlg, "btnCancel")->text(), "Cancel");
    EXPECT_EQ(Child<QPushButton>(*Dlg, "btnCancel")->font().pointSize(),
              QApplication::font().pointSize());
    EXPECT_EQ(List->count(), 3);
    EXPECT_EQ(List->currentText(), "y");
    EXPECT_EQ(Edit->text(), "edit");
    EXPECT_EQ(Memo->toPlainText(), "memo");
    EXPECT_FALSE(Check->isChecked());
    EXPECT_EQ(Check->text(), "check");
    EXPECT_EQ(Group->geometry(), GroupWas);
    // "dlgProbe.lblFindWhat" names the label's form but no property of it.
    EXPECT_EQ(Child<QLabel>(*Dlg, "lblFindWhat")->text(), "Find what:");
}

TEST_F(TranslateFormGui, WithoutAFormEveryOpenFormIsTranslated)
{
    TDlgOther Range;
    Dlg->show();
    Range.show();
    TempFolder::Write(Dir.Path("test.lng"), "[Translations]\r\n"
                                            "dlgProbe.btnCancel.Caption=Abbrechen\r\n"
                                            "DlgOther.lblStartIP.Caption=Von:\r\n"
                                            "DlgOther.btnCancel.Caption=Nein\r\n");
    LangChanger = std::make_unique<TLangChanger>();
    LangChanger->SetLangFile(Dir.Path("test.lng"));
    InstallScreenForms(*LangChanger);
    LangChanger->TranslateForm(nullptr);
    EXPECT_EQ(Child<QPushButton>(*Dlg, "btnCancel")->text(), "Abbrechen");
    EXPECT_EQ(Child<QLabel>(Range, "lblStartIP")->text(), "Von:");
    EXPECT_EQ(Child<QPushButton>(Range, "btnCancel")->text(), "Nein");
    // Without a language file nothing is touched.
    LangChanger->SetLangFile("");
    Child<QPushButton>(Range, "btnCancel")->setText("Cancel");
    LangChanger->TranslateForm(nullptr);
    EXPECT_EQ(Child<QPushButton>(Range, "btnCancel")->text(), "Cancel");
}

} // namespace

namespace {

// A second language applied after a first: what the first set and the
// second has no key for is the form's own text again; what neither named,
// or what the program changed itself, stays.
TEST_F(TranslateFormGui, TheFormsOwnTextsComeBackWhereTheLastLanguageSetThem)
{
    TFormTexts Own;
    Own.Take(Dlg.get());
    Translate("dlgProbe.Caption=Suchen\r\n"
              "dlgProbe.btnCancel.Caption=Abbrechen\r\n"
              "dlgProbe.btnCancel.Hint=Schliesst\r\n"
              "dlgProbe.cmbProbe.Items=a,b\r\n"
              "dlgProbe.actFind.Caption=Finden\r\n"
              "DlgOther.lblStartIP.Caption=Anfang\r\n");
    const std::string First = Dir.Path("test.lng");
    ASSERT_EQ(Child<QPushButton>(*Dlg, "btnCancel")->text(), "Abbrechen");
    ASSERT_EQ(List->count(), 2);
    // Changed by the program after the texts were taken: not the
    // language's, so never put back.
    Child<QLabel>(*Dlg, "lblFindWhat")->setText("Found 3");

    TempFolder::Write(Dir.Path("second.lng"),
                      "[Translations]\r\ndlgProbe.btnCancel.Caption=Annuler\r\n");
    LangChanger->SetLangFile(Dir.Path("second.lng"));
    Own.Restore(First);
    TranslateForm(Dlg.get());

    EXPECT_EQ(Dlg->windowTitle(), "Probe");
    EXPECT_EQ(Child<QPushButton>(*Dlg, "btnCancel")->text(), "Annuler");
    EXPECT_EQ(Child<QPushButton>(*Dlg, "btnCancel")->toolTip(), "");
    ASSERT_EQ(List->count(), 3);
    EXPECT_EQ(List->itemText(2), "z");
    EXPECT_EQ(List->currentIndex(), 1);
    EXPECT_EQ(Dlg->actFind()->text(), "Find");
    EXPECT_EQ(Child<QLabel>(*Dlg, "lblFindWhat")->text(), "Found 3");

    // Nothing to put back without a last language, or for another form.
    Check->setText("mine");
    Own.Restore("");
    Own.Restore(Dir.Path("missing.lng"));
    EXPECT_EQ(Check->text(), "mine");
    EXPECT_EQ(Child<QPushButton>(*Dlg, "btnCancel")->text(), "Annuler");
}

} // namespace

#include "TranslateFormGuiTest.moc"
