// What the main window's commands hand to the desktop: "Open as" addresses
// and the help pages, seen through a recording xdg-open first in PATH.
#include "app/uTolvex.h"
#include "app/uWebSite.h"
#include "engine/uComputerList.h"
#include "engine/uThreadScanPool.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "settings/uProgramOptions.h"

#include <QApplication>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include "tests/support/ComputerBuilders.h"

#include "tests/app/MainWindowRows.h"
#include "tests/forms/GuiTestApp.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/stat.h>

namespace {

using namespace guitest;

std::string MakeRange(int I)
{
    const std::string Net = "10." + std::to_string(I) + ".0.";
    return Net + "1-" + Net + "254";
}

TEST(MainWindowCommands, OpenAsTakesOnlyCanonicalDottedAddresses)
{
    EXPECT_EQ(OpenAsAddress(0, "192.168.0.7"), "http://192.168.0.7");
    EXPECT_EQ(OpenAsAddress(1, "192.168.0.7"), "https://192.168.0.7");
    EXPECT_EQ(OpenAsAddress(2, "10.0.0.255"), "ftp://10.0.0.255");
    EXPECT_EQ(OpenAsAddress(3, "0.0.0.0"), "smb://0.0.0.0");
    for (const char* Hostile :
         {"evil.example/x", "192.168.0.7/x", "192.168.0.7 --help", "192.168.0.256", "192.168.00.7",
          "192.168.0", "192.168.0.7.", "1.2.3.4.5", "0x7f.0.0.1", "", " 1.2.3.4", "1.2.3.4\n",
          "-1.2.3.4", "1.2.3.4;rm", "1234.1.1.1"})
        EXPECT_EQ(OpenAsAddress(0, Hostile), "") << Hostile;
    EXPECT_EQ(OpenAsAddress(4, "1.2.3.4"), "");
    EXPECT_EQ(OpenAsAddress(-1, "1.2.3.4"), "");
}

// A folder with an xdg-open that writes each call's arguments, one per line
// and each between < >, to a file; first in PATH while the test runs.
class RecordingOpener : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        const std::string Script = Dir.Path("xdg-open");
        // It ends with the code the test put in "exit", as xdg-open does
        // where the desktop has no program for an address.
        TempFolder::Write(Script,
                          "#!/bin/sh\nfor a in \"$@\"; do printf '<%s>\\n' \"$a\"; done >>'" +
                              Dir.Path("calls.part") + "'\nmv '" + Dir.Path("calls.part") + "' '" +
                              Dir.Path("calls.txt") + "'\nexit $(cat '" + Dir.Path("exit") +
                              "' 2>/dev/null || echo 0)\n");
        ::chmod(Script.c_str(), 0755);
        const char* Path = std::getenv("PATH");
        OldPath = Path ? Path : "";
        ::setenv("PATH", (Dir.Path() + ":" + OldPath).c_str(), 1);
        OldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call.Text);
            return mrOk;
        });
    }
    void TearDown() override
    {
        ::setenv("PATH", OldPath.c_str(), 1);
        SetMessageSink(std::move(OldSink));
    }

    // The arguments of the one call made (the opener runs detached: waits
    // for its record).
    std::string Calls()
    {
        const std::string File = Dir.Path("calls.txt");
        for (int I = 0; I < 600 && !std::ifstream(File).good(); ++I)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream In(File);
        std::stringstream S;
        S << In.rdbuf();
        return S.str();
    }

    TempFolder Dir;
    std::string OldPath;
    TMessageSink OldSink;
    std::vector<std::string> Messages;
};

TEST_F(RecordingOpener, AnAddressIsOneArgument)
{
    ASSERT_TRUE(OpenAddress(OpenAsAddress(3, "192.168.0.7")));
    EXPECT_EQ(Calls(), "<smb://192.168.0.7>\n");
}

TEST_F(RecordingOpener, AddressWithBlanksAndQuotesStaysOneArgument)
{
    ASSERT_TRUE(OpenAddress("a b'\"; c"));
    EXPECT_EQ(Calls(), "<a b'\"; c>\n");
}

TEST_F(RecordingOpener, AnOpenerThatFailsAfterItStartedIsReported)
{
    const std::vector<std::pair<std::string, std::string>> Cases = {
        {"3", "xdg-open ended with exit code 3: the desktop has no program for it."},
        {"4", "xdg-open ended with exit code 4: the program for it failed."},
        {"9", "xdg-open ended with exit code 9."},
    };
    for (const auto& [Code, Reason] : Cases) {
        TempFolder::Write(Dir.Path("exit"), Code + "\n");
        Messages.clear();
        ASSERT_TRUE(OpenAddress("smb://192.168.0.7"));
        EXPECT_EQ(Calls(), "<smb://192.168.0.7>\n");
        std::filesystem::remove(Dir.Path("calls.txt"));
        // Reported from the event loop once the opener has ended.
        EXPECT_TRUE(QTest::qWaitFor([&] { return !Messages.empty(); }, 10000));
        EXPECT_EQ(Messages, std::vector<std::string>{
                                "The desktop cannot open \"smb://192.168.0.7\": " + Reason});
    }
    // One that succeeds says nothing.
    TempFolder::Write(Dir.Path("exit"), "0\n");
    Messages.clear();
    ASSERT_TRUE(OpenAddress("http://192.168.0.7"));
    EXPECT_EQ(Calls(), "<http://192.168.0.7>\n");
    QTest::qWait(500);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(RecordingOpener, OnlineHelpWithoutWebSiteOpensTheReadme)
{
    ASSERT_EQ(MakerWebSite(), "") << "this build names a web site";
    const char* Src = std::getenv("TOLVEX_SOURCE_DIR");
    ASSERT_NE(Src, nullptr);
    ASSERT_TRUE(OpenOnlineHelp());
    EXPECT_EQ(Calls(), "<" + std::string(Src) + "/README.md>\n");
    EXPECT_TRUE(Messages.empty());
}

TEST_F(RecordingOpener, SitePagesWithoutWebSiteSaySoAndOpenNothing)
{
    ASSERT_EQ(MakerWebSite(), "");
    for (const char* Page :
         {"/action/home/", "/action/support/", "/action/feedback/", "/action/update/"})
        EXPECT_FALSE(OpenMakerPage(Page + ProductQuery()));
    EXPECT_EQ(Messages, std::vector<std::string>(4, "This build of the program has no web site."));
    // Nothing was started: an opener started now is the first to record.
    ASSERT_TRUE(OpenAddress("marker"));
    EXPECT_EQ(Calls(), "<marker>\n");
}

// The main window's commands on rows the pool hands over.
class MainWindowCommandsGui : public RecordingOpener {
protected:
    void SetUp() override
    {
        RecordingOpener::SetUp();
        AppDir = Dir.Path("app");
        MakePortableProgram(AppDir, true);
        for (const char* File : {"options.xml", "tools.xml", "presets.xml"})
            std::filesystem::copy_file(std::string(std::getenv("TOLVEX_SOURCE_DIR")) +
                                           "/resources/Default/" + File,
                                       AppDir + "/Default/" + File);
        Form = std::make_unique<TfrmTolvex>();
        Form->resize(1000, 600);
        Form->show();
        QApplication::processEvents();
        Tree = Child<TVirtualStringTree>(*Form, "vstMacList");
    }
    void TearDown() override
    {
        Form.reset();
        ForgetPortableProgram();
        RecordingOpener::TearDown();
    }

    void Found(const std::string& IP, const std::string& Mac, bool Single)
    {
        auto C = MakeComputer("PC", IP, Single);
        C->AdapterList.push_back(MakeAdapter(Single ? "" : "eth0", Mac, "Acme"));
        guitest::HandOver(*Form, std::move(C));
    }
    void FocusRow(TVirtualNode* Node) { guitest::SelectOnly(*Tree, Node); }
    bool Enabled(TAction* A)
    {
        A->Update();
        return A->isEnabled();
    }
    static std::vector<std::string> Captions(QMenu* Menu)
    {
        std::vector<std::string> List;
        for (QAction* A : Menu->actions())
            List.push_back(A->isSeparator() ? "-" : FromQ(A->text()));
        return List;
    }

    std::string AppDir;
    std::unique_ptr<TfrmTolvex> Form;
    TVirtualStringTree* Tree = nullptr;
};

TEST_F(MainWindowCommandsGui, OpenAsFromAComputerRowOnly)
{
    Found("192.168.0.7", "00-50-C2-7D-51-23", false);
    Found("evil.example/x", "00-50-C2-7D-51-24", true);
    TVirtualNode* Good = Tree->Child(nullptr, 0);
    if (FromQ(ToQ(Tree->Text(Good, 1))) != "192.168.0.7")
        Good = Tree->Child(nullptr, 1);
    TVirtualNode* Hostile = Tree->Child(nullptr, Good == Tree->Child(nullptr, 0) ? 1 : 0);

    for (TAction* A : {Form->actOpenAsWebServer, Form->actOpenAsSecureWebServer,
                       Form->actOpenAsFTPServer, Form->actOpenAsFileServer})
        EXPECT_FALSE(Enabled(A)) << "nothing selected";
    FocusRow(Tree->Child(Good, 0)); // its adapter row
    EXPECT_FALSE(Enabled(Form->actOpenAsFileServer));
    FocusRow(Hostile);
    for (TAction* A : {Form->actOpenAsWebServer, Form->actOpenAsSecureWebServer,
                       Form->actOpenAsFTPServer, Form->actOpenAsFileServer})
        EXPECT_FALSE(Enabled(A)) << FromQ(A->text());
    FocusRow(Good);
    ASSERT_TRUE(Enabled(Form->actOpenAsFileServer));
    EXPECT_TRUE(Form->actOpenAsFileServer->Execute());
    EXPECT_EQ(Calls(), "<smb://192.168.0.7>\n");

    // The row pop-up begins with "Open as...".
    ASSERT_FALSE(Form->pmMAcList->actions().isEmpty());
    EXPECT_EQ(Form->pmMAcList->actions().front()->menu(), Form->mnOpenAs);
    EXPECT_EQ(Captions(Form->mnOpenAs), (std::vector<std::string>{"Web server", "Secure Web Server",
                                                                  "FTP server", "File server"}));
    Form->pmMAcList->popup(Form->mapToGlobal(QPoint(50, 50)));
    QApplication::processEvents();
    SaveScreenshot(*Form->pmMAcList, "MainWindow-RowPopup");
    Form->pmMAcList->hide();
}

TEST_F(MainWindowCommandsGui, LookupTakesTheFocusedRowsMac)
{
    Found("10.0.0.1", "00-50-C2-7D-51-23", true);
    std::vector<std::string> Shown;
    ModalDriver D([&](QDialog& Dlg) {
        Shown.push_back(FromQ(Child<QLineEdit>(Dlg, "edMAcAddress")->text()));
        return mrOk;
    });
    FocusRow(Tree->Child(nullptr, 0));
    Form->actLookupMACaddress->Execute();
    Tree->ClearSelection();
    Form->actLookupMACaddress->Execute();
    ASSERT_EQ(Shown.size(), 2u);
    EXPECT_EQ(Shown[0], "00-50-C2-7D-51-23");
    // No row selected: the dialog starts on the first offered address or
    // nothing, never on the stale row.
    EXPECT_NE(Shown[1], "00-50-C2-7D-51-23");
}

TEST_F(MainWindowCommandsGui, BookmarkMenuAndUse)
{
    lstBookmarks.clear();
    for (int I = 0; I < 40; ++I)
        lstBookmarks.push_back(MakeRange(I));
    lstBookmarks[0] = "10.0.0.1-10.0.0.50";
    Form->pmBookmarkPopup();
    const std::vector<std::string> Items = Captions(Form->pmBookmark);
    ASSERT_EQ(Items.size(), static_cast<size_t>(MaxBoomarks) + 1 + 2);
    EXPECT_EQ(Items[0], "10.0.0.1-10.0.0.50");
    EXPECT_EQ(Items[MaxBoomarks], lstBookmarks[MaxBoomarks]);
    EXPECT_EQ(Items[Items.size() - 2], "-");
    EXPECT_EQ(Items.back(), "Manage");
    EXPECT_FALSE(Child<QToolButton>(*Form, "sbBookmarks")->isHidden());

    Form->pmBookmark->actions().at(0)->trigger();
    EXPECT_EQ(FromQ(Child<QLineEdit>(*Form, "edStartIP")->text()), "10.0.0.1");
    EXPECT_EQ(FromQ(Child<QLineEdit>(*Form, "edStopIP")->text()), "10.0.0.50");
    Form->pmBookmark->popup(Form->mapToGlobal(QPoint(50, 50)));
    QApplication::processEvents();
    SaveScreenshot(*Form->pmBookmark, "MainWindow-BookmarkMenu");
    Form->pmBookmark->hide();
    lstBookmarks.clear();
}

TEST_F(MainWindowCommandsGui, ToolBarHoldsItsCommandsInTheirOrder)
{
    auto* Bar = Child<QToolBar>(*Form, "ToolBar1");
    std::vector<std::string> Names;
    for (QAction* A : Bar->actions()) {
        Names.push_back(A->isSeparator() ? "-" : FromQ(A->objectName()));
        if (!A->isSeparator()) {
            // A button with a picture and a tip, as on the rest of the bar.
            EXPECT_FALSE(A->icon().isNull()) << Names.back();
            EXPECT_FALSE(A->toolTip().isEmpty()) << Names.back();
        }
    }
    EXPECT_EQ(Names,
              (std::vector<std::string>{"actTolvex", "actTolvexStop", "actLookupMACaddress", "-",
                                        "actOpenFile", "actSaveFile", "-", "actFindInList",
                                        "actCopyLine", "actExport", "actClearList", "-",
                                        "actPreferences", "actHelpOnline", "actHome", "actAbout"}));
    SaveScreenshot(*Bar, "MainWindow-ToolBar");
}

TEST_F(MainWindowCommandsGui, CopySubmenusNeedASelectedRow)
{
    QMenu* Edit = Form->findChild<QMenu*>("mnEdit");
    ASSERT_NE(Edit, nullptr);
    const auto CopyItems = [&] {
        Form->ActionList->UpdateActions();
        std::vector<bool> On;
        for (QMenu* M : {Form->mnCopyMain, Form->mnCopyPopUp})
            On.push_back(M->menuAction()->isEnabled());
        return On;
    };
    EXPECT_EQ(CopyItems(), (std::vector<bool>{false, false}));
    Found("192.168.0.7", "00-50-C2-7D-51-23", true);
    EXPECT_EQ(CopyItems(), (std::vector<bool>{false, false})) << "a row, but none selected";
    FocusRow(Tree->Child(nullptr, 0));
    EXPECT_EQ(CopyItems(), (std::vector<bool>{true, true}));
    Tree->ClearSelection();
    EXPECT_EQ(CopyItems(), (std::vector<bool>{false, false}));
    EXPECT_TRUE(Edit->actions().contains(Form->mnCopyMain->menuAction()));
}

TEST_F(MainWindowCommandsGui, FileAndHelpMenus)
{
    QMenu* File = Form->findChild<QMenu*>("mnFile");
    ASSERT_NE(File, nullptr);
    const std::vector<std::string> F = Captions(File);
    const auto At = [&F](const std::string& Caption) {
        return std::find(F.begin(), F.end(), Caption) - F.begin();
    };
    ASSERT_LT(At("Lookup MAC address"), static_cast<long>(F.size()));
    EXPECT_EQ(At("Lookup MAC address"), At("Stop process") + 1);
    EXPECT_EQ(At("Exit"), static_cast<long>(F.size()) - 1);
    EXPECT_EQ(F[F.size() - 2], "-");
    EXPECT_EQ(At("Preferences..."), static_cast<long>(F.size()) - 3);
    EXPECT_EQ(Captions(Form->mnHelp),
              (std::vector<std::string>{"Online help", "-", "Homepage", "Technical support",
                                        "Feedback", "Check for updates...", "-", "About..."}));
    for (QMenu* M : {File, Form->mnHelp}) {
        M->popup(Form->mapToGlobal(QPoint(10, 10)));
        QApplication::processEvents();
        SaveScreenshot(*M, M == File ? "MainWindow-FileMenu" : "MainWindow-HelpMenu");
        M->hide();
    }
    // Help without a web site: the README, and the pages say so.
    ASSERT_EQ(MakerWebSite(), "");
    Form->actSupport->Execute();
    EXPECT_EQ(Messages, std::vector<std::string>{"This build of the program has no web site."});
    Form->actHelpOnline->Execute();
    EXPECT_EQ(Calls(), "<" + std::string(std::getenv("TOLVEX_SOURCE_DIR")) + "/README.md>\n");
}

} // namespace
