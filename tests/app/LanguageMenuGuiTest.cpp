// File > Language: every language file of the languages folder is offered;
// choosing one translates every open window again, keeps the chosen target
// and is remembered for the next start.
#include "tests/app/PortableWindowSupport.h"

#include "app/uDlgFind.h"
#include "settings/Language.h"

#include <QActionGroup>
#include <QComboBox>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QStackedWidget>
#include <QTabWidget>

namespace {

using namespace guitest;

// A few captions of the main window and the find dialog, a column caption
// and the command lists' names, in German.
const char* const German =
    "[Translations]\r\n"
    "frmTolvex.mnFile.Caption=Datei\r\n"
    "frmTolvex.mnView.Caption=Ansicht\r\n"
    "frmTolvex.actShowVerticalGrid.Caption=Senkrechte Linien\r\n"
    "frmTolvex.cmbTarget.Items=Dieser Rechner, Entfernter Rechner, Ganzes Netz, Adressbereich, "
    "Adressliste, Active Directory, Ausdruck\r\n"
    "dlgFind.btnFind.Caption=Suchen\r\n"
    "MACColumns1=IP-Adresse\r\n"
    "Nettools=Netzwerk\r\n"
    "Admintools=Verwaltung\r\n"
    "Managetools=Verwalten...\r\n";

class LanguageMenu : public PortableWindow {
protected:
    QAction* Item(const std::string& File)
    {
        for (QAction* A : Form->mnChangeLang->actions())
            if (FromQ(A->data().toString()) == File)
                return A;
        return nullptr;
    }
    QString MenuTitle(const char* Name) { return Child<QMenu>(*Form, Name)->title(); }
};

TEST_F(LanguageMenu, ASecondLanguageTranslatesEveryOpenWindowAndKeepsTheTarget)
{
    TempFolder::Write(AppDir + "/languages/deutsch.lng", German);
    OpenWindow();

    // Both files, as radio items; the current one checked.
    ASSERT_NE(Item("english.lng"), nullptr);
    ASSERT_NE(Item("deutsch.lng"), nullptr);
    EXPECT_EQ(Form->mnChangeLang->actions().size(), 2);
    // Only language files.
    TempFolder::Write(AppDir + "/languages/readme.txt", "not a language");
    std::filesystem::create_directories(AppDir + "/languages/folder.lng");
    EXPECT_TRUE(Item("english.lng")->isChecked());
    EXPECT_FALSE(Item("deutsch.lng")->isChecked());
    EXPECT_EQ(FromQ(Item("deutsch.lng")->text()), "deutsch.lng");
    for (QAction* A : Form->mnChangeLang->actions())
        EXPECT_TRUE(A->isCheckable() && A->actionGroup() && A->actionGroup()->isExclusive());
    // A file added while the program runs is there the next time the menu
    // opens.
    TempFolder::Write(AppDir + "/languages/zulu.lng", "[Translations]\r\n");
    emit Form->mnChangeLang->aboutToShow();
    ASSERT_NE(Item("zulu.lng"), nullptr);
    EXPECT_EQ(Form->mnChangeLang->actions().size(), 3);
    EXPECT_TRUE(Item("english.lng")->isChecked());
    Screenshot(Form->mnChangeLang, "LanguageMenu-Menu");

    // The address range chosen, and a second window open beside the main one.
    auto* Target = Child<QComboBox>(*Form, "cmbTarget");
    Target->setCurrentIndex(3);
    emit Target->activated(3);
    auto* Pages = Child<QWidget>(*Form, "pcTarget");
    auto Find = std::make_unique<TdlgFind>(*Tree, Form.get());
    Find->show();
    QApplication::processEvents();
    ASSERT_EQ(MenuTitle("mnFile"), "File");
    ASSERT_EQ(Tree->Column(1).Text, "IP Address");

    Item("deutsch.lng")->trigger();
    QApplication::processEvents();
    EXPECT_EQ(DefaultLang, "deutsch.lng");
    EXPECT_TRUE(Item("deutsch.lng")->isChecked());
    EXPECT_FALSE(Item("english.lng")->isChecked());
    // The main window, its actions and menus.
    EXPECT_EQ(MenuTitle("mnFile"), "Datei");
    EXPECT_EQ(MenuTitle("mnView"), "Ansicht");
    EXPECT_EQ(Form->actShowVerticalGrid->text(), "Senkrechte Linien");
    // The other open window.
    EXPECT_EQ(Child<QPushButton>(*Find, "btnFind")->text(), "Suchen");
    // The target stays, under its new name.
    EXPECT_EQ(Target->currentIndex(), 3);
    EXPECT_EQ(Target->itemText(3), "Adressbereich");
    int Page = -1;
    if (auto* Stack = qobject_cast<QStackedWidget*>(Pages))
        Page = Stack->currentIndex();
    else if (auto* Tabs = qobject_cast<QTabWidget*>(Pages))
        Page = Tabs->currentIndex();
    EXPECT_EQ(Page, 3);
    // Column captions and the messages, the tools menus.
    EXPECT_EQ(Tree->Column(1).Text, "IP-Adresse");
    EXPECT_EQ(MACColumns[1].Caption, "IP-Adresse");
    EXPECT_EQ(Form->mnMainNetTools->title(), "Netzwerk");
    EXPECT_EQ(Form->mnPopupAdminTools->title(), "Verwaltung");
    ASSERT_FALSE(Form->mnMainNetTools->actions().isEmpty());
    EXPECT_EQ(Form->mnMainNetTools->actions().back()->text(), "Verwalten...");
    EXPECT_TRUE(SaveScreenshot(*Form, "LanguageMenu-SecondLanguage"));
    Find.reset();

    // Back to English, which has no keys for the window's captions: they
    // are the program's own again, not the last language's.
    Item("english.lng")->trigger();
    QApplication::processEvents();
    EXPECT_EQ(DefaultLang, "english.lng");
    EXPECT_EQ(MenuTitle("mnFile"), "File");
    EXPECT_EQ(MenuTitle("mnView"), "View");
    EXPECT_EQ(Form->actShowVerticalGrid->text(), "Show vertical grid");
    EXPECT_EQ(Target->currentIndex(), 3);
    EXPECT_NE(Target->itemText(3), "Adressbereich");
    EXPECT_EQ(Target->count(), 7);
    EXPECT_EQ(Tree->Column(1).Text, "IP Address");
    EXPECT_EQ(Form->mnMainNetTools->title(), ToQ(Translate("Nettools")));
    // And German once more, for the start after this one.
    Item("deutsch.lng")->trigger();
    QApplication::processEvents();
    ASSERT_EQ(MenuTitle("mnFile"), "Datei");

    // Remembered: the next start is in German.
    CloseWindow();
    EXPECT_EQ(DefaultLang, "deutsch.lng");
    DefaultLang = "english.lng";
    OpenWindow();
    EXPECT_EQ(DefaultLang, "deutsch.lng");
    ASSERT_NE(Item("deutsch.lng"), nullptr);
    EXPECT_TRUE(Item("deutsch.lng")->isChecked());
    EXPECT_EQ(MenuTitle("mnFile"), "Datei");
    EXPECT_EQ(Form->mnMainAdminTools->title(), "Verwaltung");
}

TEST_F(LanguageMenu, TheStatusBarTakesTheNewLanguageAtOnce)
{
    TempFolder::Write(AppDir + "/languages/deutsch.lng",
                      "[Translations]\r\nsComputerFinded=Gefunden: %d\r\n"
                      "sComputerSelected=Markiert: %d\r\n");
    OpenWindow();
    Found("10.0.0.1", "02-00-00-00-00-01");
    Found("10.0.0.2", "02-00-00-00-00-02");
    FocusRow(Tree->Child(nullptr, 0));
    EXPECT_EQ(Form->StatusPanel(1)->text(), "Computers found: 2");
    EXPECT_EQ(Form->StatusPanel(2)->text(), "Selected: 1");
    Item("deutsch.lng")->trigger();
    QApplication::processEvents();
    EXPECT_EQ(Form->StatusPanel(1)->text(), "Gefunden: 2");
    EXPECT_EQ(Form->StatusPanel(2)->text(), "Markiert: 1");
    Item("english.lng")->trigger();
    QApplication::processEvents();
    EXPECT_EQ(Form->StatusPanel(1)->text(), "Computers found: 2");
}

TEST_F(LanguageMenu, AFileNameWithAnAmpersandIsTakenFromTheItemNotItsCaption)
{
    TempFolder::Write(AppDir + "/languages/R&D.lng",
                      "[Translations]\r\nfrmTolvex.mnView.Caption=Sicht\r\nNettools=Netz & Co\r\n");
    // A file whose name the caption with its first "&" removed would give.
    TempFolder::Write(AppDir + "/languages/RD.lng",
                      "[Translations]\r\nfrmTolvex.mnView.Caption=Falsch\r\n");
    OpenWindow();
    QAction* A = Item("R&D.lng");
    ASSERT_NE(A, nullptr);
    // Shown as it is: the "&" doubled, so Qt draws it instead of
    // underlining the next letter.
    EXPECT_EQ(FromQ(A->text()), "R&&D.lng");
    A->trigger();
    QApplication::processEvents();
    EXPECT_EQ(DefaultLang, "R&D.lng");
    ASSERT_TRUE(LangChanger);
    EXPECT_EQ(LangChanger->LangFile(), LanguagesDir + "R&D.lng");
    EXPECT_EQ(MenuTitle("mnView"), "Sicht");
    EXPECT_TRUE(A->isChecked());
    // A translated list name is a caption made at run time too.
    EXPECT_EQ(FromQ(Form->mnMainNetTools->title()), "Netz && Co");
}

} // namespace
