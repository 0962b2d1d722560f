// The tools menus of the main window: the command lists of "tools.xml" in the
// Tools menu and the row pop-up, run on the selected computer only, with its
// address checked first; and a tools file the program could not read whole
// is left as it was.
#include "tests/app/PortableProgramTest.h"
#include "tests/app/PortableWindowSupport.h"

#include "admin/uCommandList.h"
#include "app/CheckPrevious.h"
#include "app/uTolvexFiles.h"
#include "settings/Language.h"

#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLocalSocket>
#include <QMenuBar>
#include <QTest>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <functional>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace guitest;
namespace fs = std::filesystem;

// Text as the tools file and the computer list hold it (XML).
std::string XmlText(const std::string& Text)
{
    std::string Out;
    for (const char C : Text) {
        const auto U = static_cast<unsigned char>(C);
        if (C == '&')
            Out += "&amp;";
        else if (C == '<')
            Out += "&lt;";
        else if (C == '>')
            Out += "&gt;";
        else if (U < 0x20 && C != '\t')
            Out += "&#" + std::to_string(U) + ";";
        else
            Out += C;
    }
    return Out;
}

struct TCommand {
    std::string Name, FileName, Parameters, Directory;
};

std::string CommandItem(const TCommand& C)
{
    return "<CommandListItem><Name>" + XmlText(C.Name) + "</Name><Operation>open</Operation>" +
           "<FileName>" + XmlText(C.FileName) + "</FileName><Parameters>" + XmlText(C.Parameters) +
           "</Parameters><Directory>" + XmlText(C.Directory) +
           "</Directory><ShowCmd>1</ShowCmd></CommandListItem>\n";
}

// Five commands "Cmd1" to "Cmd5", each on a line after Indent; the second
// one's name holds an entity that does not decode.
std::string FiveCommandsTheSecondUndecodable(const std::string& Indent)
{
    std::string Items;
    for (int I = 1; I <= 5; ++I)
        Items += Indent +
                 (I == 2 ? "<CommandListItem><Name>Bad &amp;#xZZ; name</Name><Operation>"
                           "open</Operation><FileName>ping</FileName><Parameters/>"
                           "<Directory/><ShowCmd>1</ShowCmd></CommandListItem>\n"
                         : CommandItem({"Cmd" + std::to_string(I), "ping", "%computer_ip%", ""}));
    return Items;
}

std::string ToolsFileText(const std::string& NetItems, const std::string& AdminItems)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>\n<CommandList>\n<Nettools>\n" +
           NetItems + "</Nettools>\n<Admintools>\n" + AdminItems +
           "</Admintools>\n</CommandList>\n</Options>\n";
}

class ToolsMenu : public PortableWindow {
protected:
    void SetUp() override
    {
        PortableWindow::SetUp();
        Work = Dir.Path("work");
        fs::create_directories(Work);
        // The recorder: its arguments, each between < >, then its working
        // folder, into a file that appears whole.
        Recorder = Dir.Path("recorder");
        TempFolder::Write(Recorder, "#!/bin/sh\n{ for a in \"$@\"; do printf '<%s>\\n' \"$a\"; "
                                    "done; printf 'in %s\\n' \"$PWD\"; } >'" +
                                        Dir.Path("argv.part") + "'\nmv '" + Dir.Path("argv.part") +
                                        "' '" + Dir.Path("argv.txt") + "'\n");
        ::chmod(Recorder.c_str(), 0755);
    }
    // What the recorder wrote, once it has (empty after a generous wait).
    std::string Recorded(int WaitMs = 15000)
    {
        const std::string File = Dir.Path("argv.txt");
        for (int I = 0; I < WaitMs / 20 && !fs::exists(File); ++I)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        const std::string Text = fs::exists(File) ? TempFolder::Read(File) : std::string();
        fs::remove(File);
        return Text;
    }
    // The command items of a tools menu (without the separator and
    // "Managetools").
    static QAction* Command(QMenu* Menu, int Index) { return Menu->actions().value(Index); }
    // Clicks the item as the menu would: only when it is enabled.
    bool Click(QAction* Item)
    {
        Form->actTools->Update();
        if (!Item->isEnabled())
            return false;
        Item->trigger();
        QApplication::processEvents();
        return true;
    }
    std::string Work, Recorder;
};

TEST_F(ToolsMenu, CommandsNeedASelectedComputerAndManagetoolsNeverDoes)
{
    OpenWindow();
    // Tools sits between View and Help; the lists under their names.
    std::vector<std::string> Bar;
    for (QAction* A : Form->menuBar()->actions())
        Bar.push_back(FromQ(A->text()));
    const auto ToolsAt = std::find(Bar.begin(), Bar.end(), "Tools");
    ASSERT_NE(ToolsAt, Bar.end());
    EXPECT_EQ(*(ToolsAt - 1), "View");
    EXPECT_EQ(*(ToolsAt + 1), "Help");
    // Administrative tools first, in the Tools menu and the row pop-up alike.
    EXPECT_EQ(Captions(Form->mnTools),
              (std::vector<std::string>{Translate("Admintools"), Translate("Nettools")}));
    // The default file's commands, in its order.
    TCommandList Defaults("Nettools");
    ASSERT_TRUE(Defaults.LoadFromFile(AppDir + "/Default/tools.xml"));
    ASSERT_GT(Defaults.Count(), 0);
    std::vector<std::string> Expected;
    for (int I = 0; I < Defaults.Count(); ++I)
        Expected.push_back(Translate(Defaults.Items(I)->Name));
    Expected.insert(Expected.end(), {"-", Translate("Managetools")});
    EXPECT_EQ(Captions(Form->mnMainNetTools), Expected);
    EXPECT_EQ(Captions(Form->mnPopupNetTools), Captions(Form->mnMainNetTools));
    EXPECT_EQ(Captions(Form->mnPopupAdminTools), Captions(Form->mnMainAdminTools));
    ASSERT_GE(Form->mnMainAdminTools->actions().size(), 3);
    // The row pop-up: the two lists right after "Open as...".
    const QList<QAction*> Popup = Form->pmMAcList->actions();
    ASSERT_GE(Popup.size(), 3);
    EXPECT_EQ(Popup[1]->menu(), Form->mnPopupAdminTools);
    EXPECT_EQ(Popup[2]->menu(), Form->mnPopupNetTools);

    auto Check = [&](bool Selected) {
        Form->actTools->Update();
        for (QMenu* M : {Form->mnMainNetTools, Form->mnMainAdminTools, Form->mnPopupNetTools,
                         Form->mnPopupAdminTools}) {
            const QList<QAction*> Items = M->actions();
            for (qsizetype I = 0; I + 2 < Items.size(); ++I)
                EXPECT_EQ(Items[I]->isEnabled(), Selected) << FromQ(Items[I]->text());
            EXPECT_TRUE(Items.back()->isEnabled()) << "Managetools";
            EXPECT_EQ(FromQ(Items.back()->text()), Translate("Managetools"));
        }
    };
    // Nothing selected.
    EXPECT_FALSE(Enabled(Form->actTools));
    Check(false);
    Screenshot(Form->mnMainNetTools, "ToolsMenu-NoSelection");

    Found("10.0.0.9", "02-00-00-00-00-09");
    auto C = MakeComputer("PC2", "10.0.0.10", false);
    C->AdapterList.push_back(MakeAdapter("eth0", "02-00-00-00-00-0A", "Acme"));
    guitest::HandOver(*Form, std::move(C));
    TVirtualNode* Single = nullptr;
    TVirtualNode* WithAdapters = nullptr;
    for (int I = 0; I < Tree->RootNodeCount(); ++I) {
        TVirtualNode* N = Tree->Child(nullptr, I);
        (Tree->ChildCount(N) > 0 ? WithAdapters : Single) = N;
    }
    ASSERT_TRUE(Single && WithAdapters);

    // An adapter row is no computer row.
    FocusRow(Tree->Child(WithAdapters, 0));
    EXPECT_FALSE(Enabled(Form->actTools));
    Check(false);
    // Focused but not selected.
    FocusRow(Single);
    Tree->ClearSelection();
    Tree->SetFocusedNode(Single);
    EXPECT_FALSE(Enabled(Form->actTools));
    FocusRow(Single);
    EXPECT_TRUE(Enabled(Form->actTools));
    Check(true);
    Screenshot(Form->mnMainNetTools, "ToolsMenu-Selection");
    Screenshot(Form->mnTools, "ToolsMenu-ToolsMenu");
    Form->pmMAcList->popup(Form->mapToGlobal(QPoint(60, 60)));
    QApplication::processEvents();
    Form->mnPopupAdminTools->popup(Form->mapToGlobal(QPoint(260, 80)));
    QApplication::processEvents();
    EXPECT_TRUE(SaveScreenshot(*Form->mnPopupAdminTools, "ToolsMenu-RowPopupTools"));
    Form->mnPopupAdminTools->hide();
    EXPECT_TRUE(SaveScreenshot(*Form->pmMAcList, "ToolsMenu-RowPopup"));
    Form->pmMAcList->hide();
}

TEST_F(ToolsMenu, ACommandRunsOnTheSelectedComputersAddress)
{
    TempFolder::Write(
        AppDir + "/tools.xml",
        ToolsFileText(CommandItem({"Record", Recorder, "/c ping %COMPUTER_IP%", Work}) +
                          CommandItem({"Share", Recorder, "%path%\\share", Work}),
                      ""));
    OpenWindow();
    ASSERT_EQ(Captions(Form->mnMainNetTools),
              (std::vector<std::string>{"Record", "Share", "-", Translate("Managetools")}));
    Found("10.0.0.9", "02-00-00-00-00-09");
    FocusRow(Tree->Child(nullptr, 0));

    ASSERT_TRUE(Click(Command(Form->mnMainNetTools, 0)));
    EXPECT_EQ(Recorded(), "</c>\n<ping>\n<10.0.0.9>\nin " + Work + "\n");
    ASSERT_TRUE(Click(Command(Form->mnPopupNetTools, 1)));
    EXPECT_EQ(Recorded(), "<\\\\10.0.0.9\\share>\nin " + Work + "\n");
    EXPECT_TRUE(Messages.empty());

    // No selection: the item is disabled and even a forced click starts
    // nothing for no computer.
    Tree->ClearSelection();
    EXPECT_FALSE(Click(Command(Form->mnMainNetTools, 0)));
}

TEST_F(ToolsMenu, HostileAddressesFromAnOpenedFileAreRefused)
{
    const std::string X = Work + "/X";
    const std::vector<std::string> Hostile = {
        "-oProxyCommand=touch " + X,
        "--help",
        "10.0.0.9 -x",
        "$(touch " + X + ")",
        ";touch " + X,
        "%path%",
        "%computer_ip%",
        "0x0a.0.0.9",
        // Read as 127.0.0.1 by the resolver.
        "0x7f000001",
        "0x7f.0x1",
        "0177.0.0.0x1",
        "2130706433.",
        "10.1",
        "",
        std::string(64 * 1024, '9'),
        "10.0.0.9\x1b]0;owned\x07",
        "\x1b[2J10.0.0.9",
        "10.0.0.9\n-x",
        "10.0.0.9\t-x",
    };
    // An ssh-like command whose host word is where an option would go, and
    // a share path.
    TempFolder::Write(
        AppDir + "/tools.xml",
        ToolsFileText(CommandItem({"Shell", Recorder, "%computer_ip% -l root", Work}) +
                          CommandItem({"Share", Recorder, "%path%\\c$ %computer_name%", Work}),
                      ""));
    std::string List = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<ComputerList>\n";
    int N = 0;
    for (const std::string& H : Hostile) {
        char Mac[32];
        std::snprintf(Mac, sizeof Mac, "02-00-00-00-01-%02x", ++N);
        List += "<Computer><Name>PC" + std::to_string(N) + "</Name><IP>" + XmlText(H) +
                "</IP><Single>True</Single><AdapterList><Adapter><Name/><Number>" + Mac +
                "</Number><Vendor/></Adapter></AdapterList></Computer>\n";
    }
    List += "</ComputerList>\n";
    TempFolder::Write(Dir.Path("hostile.xml"), List);

    OpenWindow();
    OpenComputerList(Dir.Path("hostile.xml"));
    ASSERT_EQ(Tree->RootNodeCount(), static_cast<int>(Hostile.size())) << "the file was not read";
    std::vector<std::string> Seen;
    for (int I = 0; I < Tree->RootNodeCount(); ++I) {
        FocusRow(Tree->Child(nullptr, I));
        const TComputer* C = Form->GetSelectedComputer();
        ASSERT_NE(C, nullptr);
        Seen.push_back(C->IP);
        SCOPED_TRACE("host \"" + C->IP.substr(0, 40) + "\"");
        for (int Item = 0; Item < 2; ++Item) {
            Messages.clear();
            ASSERT_TRUE(Click(Command(Form->mnMainNetTools, Item)));
            EXPECT_EQ(Messages.size(), 1u) << "refused without a word";
        }
    }
    // Every hostile address reached the menu as the file had it.
    std::sort(Seen.begin(), Seen.end());
    std::vector<std::string> Expected = Hostile;
    std::sort(Expected.begin(), Expected.end());
    EXPECT_EQ(Seen, Expected);
    // Nothing was started: the recorder never wrote, and nothing made X.
    EXPECT_EQ(Recorded(1500), "");
    EXPECT_FALSE(fs::exists(X));
    EXPECT_FALSE(fs::exists(AppDir + "/X"));

    // The same command on a good address does start (the check above could
    // not have missed a run).
    Found("10.0.0.9", "02-00-00-00-00-09");
    for (int I = 0; I < Tree->RootNodeCount(); ++I) {
        FocusRow(Tree->Child(nullptr, I));
        if (Form->GetSelectedComputer()->IP == "10.0.0.9")
            break;
    }
    Messages.clear();
    ASSERT_TRUE(Click(Command(Form->mnMainNetTools, 0)));
    EXPECT_EQ(Recorded(), "<10.0.0.9>\n<-l>\n<root>\nin " + Work + "\n");
    EXPECT_TRUE(Messages.empty());
}

TEST_F(ToolsMenu, ReservedNamesOpenTheirDialogs)
{
    TempFolder::Write(AppDir + "/tools.xml",
                      ToolsFileText("", CommandItem({"Off", CommandShutdown, "", ""}) +
                                            CommandItem({"Say", CommandSendMessage, "", ""})));
    OpenWindow();
    Found("10.0.0.9", "02-00-00-00-00-09");
    FocusRow(Tree->Child(nullptr, 0));
    std::vector<std::string> Shown;
    std::vector<bool> NamesHost;
    ModalDriver D([&](QDialog& Dlg) {
        Shown.push_back(Dlg.metaObject()->className());
        // The selected computer's address is what the dialog works on.
        bool Named = Dlg.windowTitle().contains("10.0.0.9");
        for (const QLabel* L : Dlg.findChildren<QLabel*>())
            Named = Named || L->text().contains("10.0.0.9");
        for (const QGroupBox* G : Dlg.findChildren<QGroupBox*>())
            Named = Named || G->title().contains("10.0.0.9");
        NamesHost.push_back(Named);
        return mrCancel;
    });
    ASSERT_TRUE(Click(Command(Form->mnMainAdminTools, 0)));
    ASSERT_TRUE(Click(Command(Form->mnPopupAdminTools, 1)));
    EXPECT_EQ(Shown, (std::vector<std::string>{"TdlgComputerShutdown", "TDlgSendMessage"}));
    EXPECT_EQ(NamesHost, (std::vector<bool>{true, true}));

    // "Managetools" opens the manager, whatever is selected.
    Tree->ClearSelection();
    Shown.clear();
    QAction* Manage = Form->mnMainAdminTools->actions().back();
    ASSERT_TRUE(Click(Manage));
    ASSERT_EQ(Shown.size(), 1u);
    EXPECT_NE(Shown[0].find("CommandList"), std::string::npos) << Shown[0];
}

// A computer from an opened list may have no address: it is selected, so the
// commands are offered, and each says what is missing; none turns to this
// computer instead, as an empty host would make the reserved ones do.
TEST_F(ToolsMenu, ASelectedComputerWithoutAddressIsSaidToHaveNone)
{
    TempFolder::Write(AppDir + "/tools.xml",
                      ToolsFileText(CommandItem({"Record", Recorder, "%computer_ip%", Work}),
                                    CommandItem({"Off", CommandShutdown, "", ""}) +
                                        CommandItem({"Say", CommandSendMessage, "", ""})));
    OpenWindow();
    Found("", "02-00-00-00-00-09");
    FocusRow(Tree->Child(nullptr, 0));
    std::vector<std::string> Shown;
    ModalDriver D([&](QDialog& Dlg) {
        Shown.push_back(Dlg.metaObject()->className());
        return mrCancel;
    });
    for (auto [Menu, Item, Name] : {std::tuple{Form->mnMainNetTools, 0, "Record"},
                                    std::tuple{Form->mnMainAdminTools, 0, "Off"},
                                    std::tuple{Form->mnPopupAdminTools, 1, "Say"}}) {
        Messages.clear();
        ASSERT_TRUE(Click(Command(Menu, Item))) << Name;
        EXPECT_EQ(Messages, std::vector<std::string>{"The selected computer has no address; the "
                                                     "command \"" +
                                                     std::string(Name) + "\" needs one."});
    }
    EXPECT_EQ(Shown, std::vector<std::string>{});
    EXPECT_EQ(Recorded(500), "");
}

// Where the desktop has no program for an address, xdg-open starts and then
// fails: a command that runs it, or opens a URL through it, says so.
TEST_F(ToolsMenu, ACommandWhoseOpenerFailsSaysWhy)
{
    const std::string Bin = Dir.Path("bin");
    fs::create_directories(Bin);
    TempFolder::Write(Bin + "/xdg-open", "#!/bin/sh\nexit 3\n");
    ::chmod((Bin + "/xdg-open").c_str(), 0755);
    const std::string OldPath = std::getenv("PATH") ? std::getenv("PATH") : "";
    ::setenv("PATH", (Bin + ":" + OldPath).c_str(), 1);
    TempFolder::Write(
        AppDir + "/tools.xml",
        ToolsFileText(CommandItem({"Shared folders", "xdg-open", "smb://%computer_ip%/", ""}) +
                          CommandItem({"Files", "smb://files/", "", ""}),
                      ""));
    OpenWindow();
    Found("10.0.0.9", "02-00-00-00-00-09");
    FocusRow(Tree->Child(nullptr, 0));
    const std::string Reason =
        "xdg-open ended with exit code 3: the desktop has no program for it.";
    for (auto [Item, Text] :
         {std::pair{0, "The desktop cannot open \"smb://10.0.0.9/\" for the command \"Shared "
                       "folders\": " +
                           Reason},
          std::pair{1, "The desktop cannot open \"smb://files/\" for the command \"Files\": " +
                           Reason}}) {
        Messages.clear();
        ASSERT_TRUE(Click(Command(Form->mnMainNetTools, Item)));
        EXPECT_TRUE(QTest::qWaitFor([&] { return !Messages.empty(); }, 10000)) << Text;
        EXPECT_EQ(Messages, std::vector<std::string>{Text});
    }
    ::setenv("PATH", OldPath.c_str(), 1);
}

TEST_F(ToolsMenu, AnUnreadableCommandIsReportedOnceAndTheFileIsNotSavedOver)
{
    const std::string Items = FiveCommandsTheSecondUndecodable("");
    const std::string Tools = ToolsFileText(Items, CommandItem({"Adm", "ping", "", ""}));
    TempFolder::Write(AppDir + "/tools.xml", Tools);
    OpenWindow();
    // The later commands are there; the bad one alone is skipped.
    EXPECT_EQ(
        Captions(Form->mnMainNetTools),
        (std::vector<std::string>{"Cmd1", "Cmd3", "Cmd4", "Cmd5", "-", Translate("Managetools")}));
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_NE(Messages[0].find(AppDir + "/tools.xml"), std::string::npos) << Messages[0];
    ASSERT_NE(Form->NetTools(), nullptr);
    EXPECT_FALSE(Form->NetTools()->ReadWhole());
    EXPECT_TRUE(Form->AdminTools()->ReadWhole());
    // Changed lists, the one read whole too: the file still stays, or the
    // other list's skipped command would be lost with it.
    ASSERT_NE(Form->NetTools()->AddItem("Added", "open", 1, "", "", "ping"), nullptr);
    ASSERT_NE(Form->AdminTools()->AddItem("Added too", "open", 1, "", "", "ping"), nullptr);
    CloseWindow();
    EXPECT_EQ(TempFolder::Read(AppDir + "/tools.xml"), Tools);

    // A file that is no XML at all: said once for both lists, and left.
    const std::string Broken =
        ToolsFileText(CommandItem({"One", "ping", "", ""}), "").substr(0, 120);
    TempFolder::Write(AppDir + "/tools.xml", Broken);
    Messages.clear();
    OpenWindow();
    EXPECT_EQ(Messages.size(), 1u);
    EXPECT_FALSE(Form->NetTools()->ReadWhole());
    EXPECT_FALSE(Form->AdminTools()->ReadWhole());
    ASSERT_NE(Form->AdminTools()->AddItem("Added", "open", 1, "", "", "ping"), nullptr);
    CloseWindow();
    EXPECT_EQ(TempFolder::Read(AppDir + "/tools.xml"), Broken);

    // A file read whole takes the changes: the check above could see a
    // rewrite.
    TempFolder::Write(AppDir + "/tools.xml", ToolsFileText(CommandItem({"One", "ping", "", ""}),
                                                           CommandItem({"Adm", "ping", "", ""})));
    Messages.clear();
    OpenWindow();
    EXPECT_TRUE(Messages.empty());
    ASSERT_NE(Form->AdminTools()->AddItem("R&D", "open", 1, "", "", "ping"), nullptr);
    CloseWindow();
    TCommandList Saved("Admintools");
    ASSERT_TRUE(Saved.LoadFromFile(AppDir + "/tools.xml"));
    ASSERT_EQ(Saved.Count(), 2);
    EXPECT_EQ(Saved.Items(1)->Name, "R&D");
    // And it shows as it is named.
    OpenWindow();
    EXPECT_EQ(FromQ(Form->mnMainAdminTools->actions().value(1)->text()), "R&&D");
}

// The real program, in a portable folder of its own, with that tools file:
// started and ended, it leaves the file byte for byte as it was.
class ToolsMenuProgram : public PortableProgramTest {};

TEST_F(ToolsMenuProgram, AToolsFileWithAnUndecodableCommandIsLeftAsItWas)
{
    const std::string Items = FiveCommandsTheSecondUndecodable("\t");
    // Written by hand (tabs, an order of lists the program would not
    // choose): any rewrite shows.
    const std::string Tools =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options>\n  <CommandList>\n"
        "<Admintools>\n\t" +
        CommandItem({"Admin", "ping", "", ""}) + "</Admintools>\n<Nettools>\n" + Items +
        "</Nettools>\n  </CommandList>\n</Options>\n";
    const std::string File = ProgramDir + "/tools.xml";
    TempFolder::Write(File, Tools);
    // The program's other settings are seeded on the first start; the
    // second start is the one that matters.
    for (int Round = 0; Round < 2; ++Round) {
        SCOPED_TRACE(Round);
        const pid_t Pid = Start();
        ASSERT_GT(Pid, 0);
        ASSERT_TRUE(WaitFor([&] { return Running(Pid); }, std::chrono::seconds(30))) << ErrorText();
        EXPECT_EQ(Terminate(Pid), 0) << ErrorText();
        EXPECT_EQ(TempFolder::Read(File), Tools);
    }
    EXPECT_TRUE(fs::exists(ProgramDir + "/options.xml")) << "the program did not end as usual";
}

// Two hundred thousand commands (tens of megabytes) once took the program
// most of a minute and gigabytes before its window showed. The file is
// refused as too large, said so, and left as it was.
TEST_F(ToolsMenuProgram, AHugeToolsFileIsRefusedAndTheWindowStillShows)
{
    std::string Items;
    for (int I = 0; I < 200000; ++I)
        Items +=
            CommandItem({"Command " + std::to_string(I), "ping", "-c 4 %computer_ip%", "/tmp"});
    const std::string Tools = ToolsFileText(Items, "");
    ASSERT_GT(Tools.size(), MaxToolsFileSize);
    const std::string File = ProgramDir + "/tools.xml";
    TempFolder::Write(File, Tools);
    const pid_t Pid = Start();
    ASSERT_GT(Pid, 0);
    // A watchdog, not a measure: the old program was still building menus.
    EXPECT_TRUE(WaitFor([&] { return Running(Pid); }, std::chrono::seconds(20))) << ErrorText();
    EXPECT_EQ(Terminate(Pid), 0) << ErrorText();
    EXPECT_NE(ErrorText().find("Can't read file " + File + ": File too large"), std::string::npos)
        << ErrorText();
    EXPECT_TRUE(TempFolder::Read(File) == Tools) << "the tools file was written over";
}

} // namespace
