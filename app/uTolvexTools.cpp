// The main window's tools menus: the user's command lists "Nettools" and
// "Admintools" from the tools file, shown in the Tools menu and in the
// result rows' pop-up, run on the selected computer.
#include "app/uTolvex.h"

#include "admin/uCommandList.h"
#include "engine/uComputerList.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "settings/CommonFunctions.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"

#include "ui_uTolvex.h"

#include <QMenu>
#include <QMenuBar>
#include <QTimer>

#include <algorithm>
#include <string>
#include <vector>

void TfrmTolvex::CreateToolsCommands()
{
    // Its items run the commands themselves; the action only decides
    // whether they may.
    actTools = ActionList->Add(
        "actTools", tr("Tools"), [] {}, [this](TAction& A) { actToolsUpdate(A); });

    mnTools = new QMenu(tr("Tools"), ui->MainMenu);
    mnTools->setObjectName("mnTools");
    ui->MainMenu->insertMenu(mnHelp ? mnHelp->menuAction() : nullptr, mnTools);
    auto Sub = [](QMenu* Parent, const char* Name) {
        auto* M = new QMenu(QString::fromLatin1(Name), Parent);
        M->setObjectName(QString::fromLatin1(Name));
        return M;
    };
    mnMainNetTools = Sub(mnTools, "mnMainNetTools");
    mnMainAdminTools = Sub(mnTools, "mnMainAdminTools");
    mnTools->addMenu(mnMainAdminTools);
    mnTools->addMenu(mnMainNetTools);

    // The row pop-up: the two lists right after "Open as...".
    mnPopupNetTools = Sub(pmMAcList, "mnPopupNetTools");
    mnPopupAdminTools = Sub(pmMAcList, "mnPopupAdminTools");
    const QList<QAction*> Items = pmMAcList->actions();
    const qsizetype OpenAsAt = mnOpenAs ? Items.indexOf(mnOpenAs->menuAction()) : -1;
    QAction* Before =
        OpenAsAt >= 0 && OpenAsAt + 1 < Items.size() ? Items[OpenAsAt + 1] : Items.value(0);
    pmMAcList->insertMenu(Before, mnPopupAdminTools);
    pmMAcList->insertMenu(Before, mnPopupNetTools);
}

void TfrmTolvex::CreateToolLists()
{
    FNetTools = std::make_unique<TCommandList>("Nettools");
    FAdminTools = std::make_unique<TCommandList>("Admintools");
    // What the store says about the file (it cannot be read at all) is
    // gathered with the lists' own reports: both lists read the same file,
    // and the user hears of it once, not once per list.
    std::vector<std::string> Said;
    struct TStoreMessages {
        TXMLStorageMessageHandler Old;
        ~TStoreMessages() { SetXMLStorageMessageHandler(std::move(Old)); }
    } Restore{SetXMLStorageMessageHandler([&Said](const std::string&, const std::string& Text) {
        if (std::find(Said.begin(), Said.end(), Text) == Said.end())
            Said.push_back(Text);
    })};
    for (TCommandList* L : {FNetTools.get(), FAdminTools.get()}) {
        L->OnGetComputer = [this](TCommandList&, std::string& Host, std::string& UserName,
                                  std::string& Password) {
            GetCurrentComputerForTool(Host, UserName, Password);
            return IsComputerSelected();
        };
        if (ToolsFile.empty())
            continue;
        // A list read only in part keeps what it read and is never saved
        // over the file: the commands it could not read stay there.
        if (!L->LoadFromFile(ToolsFile) && !L->LoadReport().empty())
            Said.push_back(L->LoadReport());
    }
    std::string Report;
    for (const std::string& Text : Said)
        Report += (Report.empty() ? "" : "\n") + Text;
    FNetTools->OnChange = [this](TCommandList&) { BuildNetToolsMenus(); };
    FAdminTools->OnChange = [this](TCommandList&) { BuildAdminToolsMenus(); };
    BuildNetToolsMenus();
    BuildAdminToolsMenus();
    // Said once, when the window is up: a box before it would stand alone
    // on the screen, and the window would wait for it to open.
    if (!Report.empty())
        QTimer::singleShot(0, this, [Report] {
            ShowMessageBox(Report, Translate("sWarning"), TMsgIcon::Warning);
        });
}

void TfrmTolvex::SaveToolLists()
{
    // Both lists live in one file: written by either, a file that the other
    // could read only in part would lose what that one skipped. Such a file
    // is left as it is, as the message at start said.
    const bool Whole =
        FNetTools && FAdminTools && FNetTools->ReadWhole() && FAdminTools->ReadWhole();
    for (std::unique_ptr<TCommandList>* L : {&FNetTools, &FAdminTools}) {
        if (Whole && !ToolsFile.empty())
            (*L)->SaveToFile(ToolsFile);
        L->reset();
    }
}

void TfrmTolvex::BuildNetToolsMenus()
{
    if (!FNetTools)
        return;
    FNetTools->BuildMenu(mnMainNetTools, actTools);
    FNetTools->BuildMenu(mnPopupNetTools, actTools);
}

void TfrmTolvex::BuildAdminToolsMenus()
{
    if (!FAdminTools)
        return;
    FAdminTools->BuildMenu(mnMainAdminTools, actTools);
    FAdminTools->BuildMenu(mnPopupAdminTools, actTools);
}

bool TfrmTolvex::IsComputerSelected() const
{
    return FResults && GetSelectedComputer() != nullptr;
}

void TfrmTolvex::actToolsUpdate(TAction& Action)
{
    Action.setEnabled(IsComputerSelected());
}

void TfrmTolvex::GetCurrentComputerForTool(std::string& Host, std::string& UserName,
                                           std::string& Password)
{
    const TComputer* C = IsComputerSelected() ? GetSelectedComputer() : nullptr;
    Host = C ? C->IP : std::string();
    UserName.clear();
    Password.clear();
}
