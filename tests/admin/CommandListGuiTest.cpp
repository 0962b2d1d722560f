#include "admin/uCommandList.h"
#include "admin/uCommandRun.h"
#include "admin/uDlgCommandListEdit.h"
#include "admin/uDlgCommandListManage.h"
#include "admin/uDlgSendMessage.h"
#include "admin/udlgComputerShutdown.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/VirtualTrees.h"
#include "settings/Language.h"

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using guitest::Child;
using guitest::ModalDriver;

namespace {

struct EnglishTexts {
    EnglishTexts() { LangChanger = std::make_unique<TLangChanger>(); }
    ~EnglishTexts() { LangChanger.reset(); }
};

std::vector<std::string> Names(const TCommandList& L)
{
    std::vector<std::string> R;
    for (int I = 0; I < L.Count(); ++I)
        R.push_back(L.Items(I)->Name);
    return R;
}

void FillSample(TCommandList& L)
{
    L.AddItem("Ping", "open", 1, "", "-e ping %computer_ip%", "x-terminal-emulator");
    L.AddItem("Tom & Jerry", "print", 7, "/srv", "%path%\\c$", "smbclient");
    L.AddItem("Secure shell", "open", 3, "", "-e ssh %computer_ip%", "x-terminal-emulator");
    L.Modified = false;
}

class Messages {
public:
    explicit Messages(int Answer = mrYes)
        : FOld(SetMessageSink([this, Answer](const TMessageBoxCall& C) {
              Calls.push_back(C);
              return Answer;
          }))
    {
    }
    ~Messages() { SetMessageSink(std::move(FOld)); }
    std::vector<TMessageBoxCall> Calls;

private:
    TMessageSink FOld;
};

} // namespace

// --- Editor ---------------------------------------------------------------------------------

TEST(CommandListEditGui, CaptionsFieldsOkRuleAndTheTwoBrowseButtons)
{
    App();
    EnglishTexts English;
    std::vector<std::string> Prompted;
    auto OldPrompt =
        SetPromptForFileName([&](std::string& FileName, const std::string& Filter,
                                 const std::string& Title, const std::string& InitialDir) {
            Prompted = {FileName, Filter, Title, InitialDir};
            FileName = "/usr/bin/ssh";
            return true;
        });
    std::vector<std::string> Chosen;
    auto OldSelect = SetSelectDirectory([&](const std::string& Caption, std::string& Directory) {
        Chosen = {Caption, Directory};
        Directory = "/srv/share";
        return true;
    });
    int Shown = 0;
    ModalDriver Driver([&](QDialog& D) -> int {
        ++Shown;
        auto& Dlg = dynamic_cast<TDlgCommandListEdit&>(D);
        Dlg.resize(420, 330);
        Dlg.show();
        if (Shown == 1) {
            EXPECT_EQ(Dlg.windowTitle(), "Add command");
            EXPECT_EQ(Child<QLabel>(Dlg, "lblName")->text(), "Tool name:");
            EXPECT_EQ(Child<QLabel>(Dlg, "lblFileName")->text(), "Program name:");
            EXPECT_EQ(Child<QLabel>(Dlg, "lblParameters")->text(), "Parameters (optional):");
            EXPECT_EQ(Child<QLabel>(Dlg, "lblVariables")->text(),
                      "Use variables %computer_name%, %computer_ip%, %path%  ");
            EXPECT_NE(Child<QLabel>(Dlg, "lblParameterRules")->text().indexOf("double quotes"), -1);
            EXPECT_EQ(Child<QLabel>(Dlg, "lblDirectory")->text(), "Working directory (optional):");
            EXPECT_EQ(Child<QPushButton>(Dlg, "btnFileName")->text(), "...");
            EXPECT_EQ(Child<QPushButton>(Dlg, "btnDirectory")->text(), "...");
            Dlg.actOK()->Update();
            EXPECT_FALSE(Child<QPushButton>(Dlg, "btnOK")->isEnabled());
            Child<QLineEdit>(Dlg, "edName")->setText("R&D shell");
            Dlg.actOK()->Update();
            EXPECT_FALSE(Dlg.actOK()->isEnabled()); // no program yet
            Child<QLineEdit>(Dlg, "edFileName")->setText("/usr/local/bin/tool");
            Child<QPushButton>(Dlg, "btnFileName")->click();
            EXPECT_EQ(Prompted, (std::vector<std::string>{"/usr/local/bin/tool", "All files|*",
                                                          "Select a program", "/usr/local/bin"}));
            auto* File = Child<QLineEdit>(Dlg, "edFileName");
            EXPECT_EQ(File->text(), "/usr/bin/ssh");
            EXPECT_EQ(File->selectedText(), "/usr/bin/ssh");
            Child<QLineEdit>(Dlg, "edParameters")->setText("-e ssh %computer_ip%");
            Child<QPushButton>(Dlg, "btnDirectory")->click();
            EXPECT_EQ(Chosen, (std::vector<std::string>{"Select the working folder", ""}));
            auto* Folder = Child<QLineEdit>(Dlg, "edDirectory");
            EXPECT_EQ(Folder->text(), "/srv/share");
            EXPECT_EQ(Folder->selectedText(), "/srv/share");
            guitest::SaveScreenshot(Dlg, "commandlist-editor");
            EXPECT_TRUE(Dlg.actOK()->Execute());
            return Dlg.result();
        }
        EXPECT_EQ(Dlg.windowTitle(), "Edit command");
        EXPECT_EQ(Dlg.Name(), "R&D shell");
        EXPECT_EQ(Dlg.Directory(), "/srv/share");
        // A cancelled folder chooser keeps the field.
        SetSelectDirectory([](const std::string&, std::string&) { return false; });
        Child<QPushButton>(Dlg, "btnDirectory")->click();
        EXPECT_EQ(Dlg.Directory(), "/srv/share");
        Child<QLineEdit>(Dlg, "edName")->setText("changed");
        return int(mrCancel);
    });
    std::string Name, FileName, Directory, Parameters;
    std::string Operation = "open";
    std::int32_t ShowCmd = 1;
    ASSERT_TRUE(EditCommandListItem(Name, Operation, FileName, ShowCmd, Directory, Parameters));
    EXPECT_EQ(Name, "R&D shell");
    EXPECT_EQ(FileName, "/usr/bin/ssh");
    EXPECT_EQ(Parameters, "-e ssh %computer_ip%");
    EXPECT_EQ(Directory, "/srv/share");
    EXPECT_EQ(Operation, "open");
    EXPECT_EQ(ShowCmd, 1);
    EXPECT_FALSE(EditCommandListItem(Name, Operation, FileName, ShowCmd, Directory, Parameters));
    EXPECT_EQ(Name, "R&D shell");
    EXPECT_EQ(Shown, 2);
    SetPromptForFileName(std::move(OldPrompt));
    SetSelectDirectory(std::move(OldSelect));
}

// --- Manager --------------------------------------------------------------------------------

TEST(CommandListManageGui, UpDisabledOnFirstRowDownOnLastAndCancelAfterRemoveChangesNothing)
{
    App();
    EnglishTexts English;
    TCommandList List("Nettools");
    FillSample(List);
    Messages Asked(mrYes);
    bool ScreenshotTaken = false;
    ModalDriver Driver([&](QDialog& D) -> int {
        auto& Dlg = dynamic_cast<TDlgCommandListManage&>(D);
        auto* Tree = Child<TVirtualStringTree>(Dlg, "vstCommandList");
        Dlg.show();
        EXPECT_EQ(Dlg.windowTitle(), "Manage tools");
        EXPECT_EQ(Child<QLabel>(Dlg, "lblInfo")->text(),
                  "Use 'Add', 'Edit' or 'Remove' buttons to manage the tools. Use 'Up' and "
                  "'Down' buttons to reorder the tools.");
        const auto Row = [&] { return Tree->IndexOf(Tree->FocusedNode()).row(); };
        EXPECT_EQ(Tree->RootNodeCount(), 3);
        EXPECT_EQ(Row(), 0);
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "Ping");
        Dlg.actMoveUP()->Update();
        Dlg.actMoveDown()->Update();
        EXPECT_FALSE(Dlg.actMoveUP()->isEnabled());
        EXPECT_TRUE(Dlg.actMoveDown()->isEnabled());
        EXPECT_FALSE(Child<QPushButton>(Dlg, "btnMoveUp")->isEnabled());
        if (!ScreenshotTaken)
            ScreenshotTaken = guitest::SaveScreenshot(Dlg, "commandlist-manager");

        EXPECT_TRUE(Dlg.actMoveDown()->Execute()); // Tom, Ping, Secure
        EXPECT_EQ(Row(), 1);
        EXPECT_TRUE(Dlg.actMoveDown()->Execute()); // Tom, Secure, Ping
        Dlg.actMoveDown()->Update();
        Dlg.actMoveUP()->Update();
        EXPECT_FALSE(Dlg.actMoveDown()->isEnabled());
        EXPECT_TRUE(Dlg.actMoveUP()->isEnabled());
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "Ping");
        EXPECT_TRUE(Dlg.actRemoveTool()->Execute()); // Tom, Secure; Secure focused
        EXPECT_EQ(Tree->RootNodeCount(), 2);
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "Secure shell");
        return int(mrCancel);
    });
    ManageCommandList(List);
    EXPECT_EQ(Names(List), (std::vector<std::string>{"Ping", "Tom & Jerry", "Secure shell"}));
    EXPECT_FALSE(List.Modified);
    EXPECT_TRUE(ScreenshotTaken);
    ASSERT_EQ(Asked.Calls.size(), 1u);
    EXPECT_EQ(Asked.Calls[0].Text, "Remove the command Ping?");
    EXPECT_EQ(Asked.Calls[0].Caption, "Remove command");
    EXPECT_EQ(Asked.Calls[0].Icon, TMsgIcon::Warning);
    EXPECT_EQ(Asked.Calls[0].Buttons, TMsgButtons::YesNo);
}

TEST(CommandListManageGui, EditKeepsOperationAndShowCmdAddGivesOpenAndOne)
{
    App();
    EnglishTexts English;
    TCommandList List("Nettools");
    FillSample(List);
    Messages Asked(mrNo);
    ModalDriver Driver([&](QDialog& D) -> int {
        if (auto* Edit = dynamic_cast<TDlgCommandListEdit*>(&D)) {
            if (Edit->Name().empty()) {
                EXPECT_EQ(Edit->windowTitle(), "Add command");
                Child<QLineEdit>(*Edit, "edName")->setText("Trace route");
                Child<QLineEdit>(*Edit, "edFileName")->setText("x-terminal-emulator");
                Child<QLineEdit>(*Edit, "edParameters")->setText("-e tracepath %computer_ip%");
            } else {
                EXPECT_EQ(Edit->windowTitle(), "Edit command");
                EXPECT_EQ(Edit->Name(), "Tom & Jerry");
                EXPECT_EQ(Edit->FileName(), "smbclient");
                EXPECT_EQ(Edit->Parameters(), "%path%\\c$");
                EXPECT_EQ(Edit->Directory(), "/srv");
                Child<QLineEdit>(*Edit, "edParameters")->setText("-L %computer_ip%");
            }
            return int(mrOk);
        }
        auto& Dlg = dynamic_cast<TDlgCommandListManage&>(D);
        auto* Tree = Child<TVirtualStringTree>(Dlg, "vstCommandList");
        Dlg.show();
        EXPECT_TRUE(Dlg.actMoveDown()->Execute()); // Tom, Ping, Secure; Ping focused
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "Ping");
        Tree->SetFocusedNode(Tree->Child(nullptr, 0));
        EXPECT_TRUE(Dlg.actEditTool()->Execute());
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "Tom & Jerry");
        // Remove answered No: nothing goes.
        EXPECT_TRUE(Dlg.actRemoveTool()->Execute());
        EXPECT_EQ(Tree->RootNodeCount(), 3);
        EXPECT_TRUE(Dlg.actAddTool()->Execute());
        EXPECT_EQ(Tree->RootNodeCount(), 4);
        EXPECT_EQ(Tree->IndexOf(Tree->FocusedNode()).row(), 3);
        EXPECT_EQ(Tree->Text(Tree->FocusedNode(), 0), "Trace route");
        return int(mrOk);
    });
    ManageCommandList(List);
    EXPECT_TRUE(List.Modified);
    ASSERT_EQ(Names(List),
              (std::vector<std::string>{"Tom & Jerry", "Ping", "Secure shell", "Trace route"}));
    const TCommandListItem& Edited = *List.Items(0);
    EXPECT_EQ(Edited.Operation, "print");
    EXPECT_EQ(Edited.ShowCmd, 7);
    EXPECT_EQ(Edited.Parameters, "-L %computer_ip%");
    EXPECT_EQ(Edited.Directory, "/srv");
    const TCommandListItem& Added = *List.Items(3);
    EXPECT_EQ(Added.Operation, "open");
    EXPECT_EQ(Added.ShowCmd, 1);
    EXPECT_EQ(Added.FileName, "x-terminal-emulator");
    EXPECT_EQ(Added.Parameters, "-e tracepath %computer_ip%");
    EXPECT_EQ(Added.Directory, "");
}

TEST(CommandListManageGui, EmptyListOnlyAddsAndAnEditorWithoutProgramAddsNothing)
{
    App();
    TCommandList List("Admintools");
    TDlgCommandListManage Dlg(List, nullptr);
    for (TAction* A :
         {Dlg.actMoveUP(), Dlg.actMoveDown(), Dlg.actEditTool(), Dlg.actRemoveTool()}) {
        A->Update();
        EXPECT_FALSE(A->isEnabled()) << A->objectName().toStdString();
    }
    Dlg.actAddTool()->Update();
    EXPECT_TRUE(Dlg.actAddTool()->isEnabled());
    ModalDriver Driver([](QDialog& D) {
        Child<QLineEdit>(D, "edName")->setText("x");
        return int(mrOk);
    });
    Dlg.actAddTool()->Execute();
    EXPECT_EQ(List.Count(), 0);
}

// --- Menus and clicks -------------------------------------------------------------------------

TEST(CommandListMenuGui, BuildMenuCaptionsTagsSeparatorManageItemAndActionState)
{
    App();
    EnglishTexts English;
    TCommandList List("Nettools");
    FillSample(List);
    QWidget Owner;
    TActionList Actions(&Owner);
    TAction* actTools = Actions.Add("actTools", "Tools", [] {});
    actTools->setEnabled(false);
    QMenu Menu;
    Menu.addAction("stale item");
    List.BuildMenu(&Menu, actTools);
    List.BuildMenu(nullptr, actTools); // nothing
    EXPECT_EQ(Menu.title(), "Network tools");
    const QList<QAction*> Items = Menu.actions();
    ASSERT_EQ(Items.size(), 5);
    EXPECT_EQ(Items[0]->text(), "Ping");
    EXPECT_EQ(Items[1]->text(), "Tom && Jerry"); // shows as "Tom & Jerry"
    EXPECT_EQ(Items[2]->text(), "Secure shell");
    for (int I = 0; I < 3; ++I) {
        EXPECT_EQ(Items[I]->data().toInt(), I);
        EXPECT_FALSE(Items[I]->isEnabled());
    }
    EXPECT_TRUE(Items[3]->isSeparator());
    EXPECT_EQ(Items[4]->text(), "Manage tools...");
    EXPECT_EQ(Items[4]->data().toInt(), -1);
    EXPECT_TRUE(Items[4]->isEnabled());
    actTools->setEnabled(true);
    EXPECT_TRUE(Items[0]->isEnabled());
    EXPECT_TRUE(Items[4]->isEnabled());
    actTools->setEnabled(false);
    EXPECT_FALSE(Items[2]->isEnabled());

    // A list named with "&" keeps it in the title.
    TCommandList Odd("R&D");
    Odd.BuildMenu(&Menu, nullptr);
    EXPECT_EQ(Menu.title(), "R&&D");
    EXPECT_EQ(Menu.actions().size(), 2);
}

TEST(CommandListMenuGui, ClickingAnItemRunsItsCommandOnTheOwnersComputer)
{
    App();
    EnglishTexts English;
    TCommandList List("Nettools");
    FillSample(List);
    int Asked = 0;
    std::string Host = "10.0.0.9";
    List.OnGetComputer = [&](TCommandList& Sender, std::string& H, std::string& U, std::string& P) {
        EXPECT_EQ(&Sender, &List);
        EXPECT_TRUE(H.empty() && U.empty() && P.empty());
        ++Asked;
        H = Host;
        return true;
    };
    std::vector<platform::TSpawnRequest> Spawns;
    auto OldSpawn = SetCommandSpawn([&](const platform::TSpawnRequest& R) {
        Spawns.push_back(R);
        platform::TSpawnResult Ok;
        Ok.Started = true;
        return Ok;
    });
    Messages Shown;
    QMenu Menu;
    List.BuildMenu(&Menu, nullptr);
    Menu.actions()[2]->trigger();
    ASSERT_EQ(Spawns.size(), 1u);
    EXPECT_EQ(Spawns[0].Program, "x-terminal-emulator");
    EXPECT_EQ(Spawns[0].Arguments, (std::vector<std::string>{"-e", "ssh", "10.0.0.9"}));
    // A hostile host from an opened computer list starts nothing.
    Host = "-oProxyCommand=touch X";
    Menu.actions()[2]->trigger();
    EXPECT_EQ(Spawns.size(), 1u);
    ASSERT_EQ(Shown.Calls.size(), 1u);
    EXPECT_EQ(Asked, 2);
    // Tags that are no index do nothing.
    QAction Stray;
    Stray.setData(17);
    List.ItemClick(&Stray);
    List.ItemClick(nullptr);
    EXPECT_EQ(Asked, 2);
    SetCommandSpawn(std::move(OldSpawn));
}

TEST(CommandListMenuGui, ReservedNamesOpenTheShutdownAndSendMessageDialogs)
{
    App();
    EnglishTexts English;
    TCommandList List("Admintools");
    List.AddItem("Shutdown or restart...", "open", 1, "", "", "%shutdown%");
    List.AddItem("Send message...", "open", 1, "", "", "%send_message%");
    List.OnGetComputer = [](TCommandList&, std::string& H, std::string& U, std::string&) {
        H = "10.0.0.9";
        U = "admin";
        return true;
    };
    std::vector<std::string> Opened;
    ModalDriver Driver([&](QDialog& D) -> int {
        if (auto* S = dynamic_cast<TdlgComputerShutdown*>(&D)) {
            Opened.push_back("shutdown");
            EXPECT_EQ(S->UserName(), "admin");
        } else if (dynamic_cast<TDlgSendMessage*>(&D)) {
            Opened.push_back("send");
        } else {
            Opened.push_back("other");
        }
        return int(mrCancel);
    });
    auto OldSpawn = SetCommandSpawn([](const platform::TSpawnRequest&) {
        ADD_FAILURE() << "a reserved name started a program";
        return platform::TSpawnResult{};
    });
    List.RunItem(0);
    List.RunItem(1);
    SetCommandSpawn(std::move(OldSpawn));
    EXPECT_EQ(Opened, (std::vector<std::string>{"shutdown", "send"}));
}

TEST(CommandListMenuGui, ManageItemOpensTheManagerThenTellsTheOwner)
{
    App();
    EnglishTexts English;
    TCommandList List("Nettools");
    FillSample(List);
    int Changed = 0;
    List.SetOnChange([&](TCommandList& Sender) {
        EXPECT_EQ(&Sender, &List);
        ++Changed;
    });
    int Managed = 0;
    ModalDriver Driver([&](QDialog& D) -> int {
        EXPECT_NE(dynamic_cast<TDlgCommandListManage*>(&D), nullptr);
        ++Managed;
        return int(mrCancel);
    });
    QMenu Menu;
    List.BuildMenu(&Menu, nullptr);
    Menu.actions().back()->trigger();
    EXPECT_EQ(Managed, 1);
    EXPECT_EQ(Changed, 1);
    EXPECT_EQ(List.Count(), 3);
}

TEST(CommandListMenuGui, ItemsOfAListThatIsGoneDoNothing)
{
    App();
    QMenu Menu;
    {
        TCommandList List("Nettools");
        FillSample(List);
        List.BuildMenu(&Menu, nullptr);
    }
    auto OldSpawn = SetCommandSpawn([](const platform::TSpawnRequest&) {
        ADD_FAILURE() << "a command of a freed list ran";
        return platform::TSpawnResult{};
    });
    Menu.actions()[0]->trigger();
    Menu.actions().back()->trigger();
    SetCommandSpawn(std::move(OldSpawn));
}
