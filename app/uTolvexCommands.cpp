// The main window's remaining commands: the bookmark menu of the range page,
// "Open as", the vendor lookup, the help pages and the dialogs.
#include "app/uTolvex.h"

#include "app/uDlgAbout.h"
#include "app/uDlgLookupMACAddress.h"
#include "app/uWebSite.h"
#include "app/udlgBookmarksManage.h"
#include "app/udlgOptions.h"
#include "engine/uComputerList.h"
#include "forms/Actions.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"

#include "ui_uTolvex.h"

#include <QMenu>
#include <QMenuBar>
#include <QToolButton>

void TfrmTolvex::CreateCommands()
{
    auto Add = [this](const char* Name, const QString& Caption, std::function<void()> Execute,
                      std::function<void(TAction&)> Update = {}) {
        TAction* A = ActionList->Add(QString::fromLatin1(Name), Caption, std::move(Execute),
                                     std::move(Update));
        return A;
    };

    // Bookmarks of the range page.
    pmBookmark = new QMenu(this);
    pmBookmark->setObjectName("pmBookmark");
    connect(pmBookmark, &QMenu::aboutToShow, this, [this] { pmBookmarkPopup(); });
    actBookmarkShowMenu = Add("actBookmarkShowMenu", QString(), [this] {
        QToolButton* B = ui->sbBookmarks;
        pmBookmark->popup(B->mapToGlobal(QPoint(B->width(), 0)));
    });
    actBookmarkShowMenu->setToolTip(tr("Show bookmarks"));
    actBookmarkShowMenu->setIcon(style()->standardIcon(QStyle::SP_DirIcon));
    ui->sbBookmarks->setDefaultAction(actBookmarkShowMenu);
    ui->sbBookmarks->setVisible(true);
    actBookmarkManage =
        Add("actBookmarkManage", tr("Manage"), [] { ManageBookmarks(lstBookmarks); });
    actBookmarkManage->setToolTip(tr("Manage bookmarks"));

    // Open as: only a focused computer row with a canonical address.
    const auto OpenAs = [this](int Kind) { return [this, Kind] { OpenSelectedAs(Kind); }; };
    const auto CanOpen = [this](TAction& A) { A.setEnabled(CanOpenSelectedAs()); };
    actOpenAsWebServer = Add("actOpenAsWebServer", tr("Web server"), OpenAs(0), CanOpen);
    actOpenAsSecureWebServer =
        Add("actOpenAsSecureWebServer", tr("Secure Web Server"), OpenAs(1), CanOpen);
    actOpenAsFTPServer = Add("actOpenAsFTPServer", tr("FTP server"), OpenAs(2), CanOpen);
    actOpenAsFileServer = Add("actOpenAsFileServer", tr("File server"), OpenAs(3), CanOpen);

    actLookupMACaddress = Add("actLookupMACaddress", tr("Lookup MAC address"), [this] {
        std::string MAC;
        TVirtualStringTree* Tree = ui->vstMacList;
        if (Tree->FocusedNode() && Tree->SelectedCount() > 0)
            if (const TMacListData* Row = FResults->Data(Tree->FocusedNode())) {
                if (Row->Adapter)
                    MAC = Row->Adapter->Number;
                else if (Row->Computer && !Row->Computer->AdapterList.empty())
                    MAC = Row->Computer->AdapterList.front()->Number;
            }
        ShowLookupMACAddress(MAC);
    });
    actPreferences = Add("actPreferences", tr("Preferences..."), [this] {
        ShowOptionsDialog();
        // The caption style and the like may have changed: every row again.
        ui->vstMacList->viewport()->update();
        UpdateCaption();
    });

    actHelpOnline = Add("actHelpOnline", tr("Online help"), [] { OpenOnlineHelp(); });
    actHome =
        Add("actHome", tr("Homepage"), [] { OpenMakerPage("/action/home/" + ProductQuery()); });
    actSupport = Add("actSupport", tr("Technical support"),
                     [] { OpenMakerPage("/action/support/" + ProductQuery()); });
    actFeedback = Add("actFeedback", tr("Feedback"),
                      [] { OpenMakerPage("/action/feedback/" + ProductQuery()); });
    actCheckForUpdates = Add("actCheckForUpdates", tr("Check for updates..."),
                             [] { OpenMakerPage("/action/update/" + ProductQuery()); });
    actAbout = Add("actAbout", tr("About..."), [this] {
        ShowAboutBox();
        UpdateCaption();
    });

    // File: "Lookup MAC address" after "Stop process"; "Preferences..."
    // in its own group before "Exit".
    QMenu* File = ui->mnFile;
    const QList<QAction*> Items = File->actions();
    const qsizetype ExitAt = Items.indexOf(actExit);
    QAction* BeforeExit = ExitAt > 0 ? Items[ExitAt - 1] : actExit;
    File->insertAction(BeforeExit, actLookupMACaddress);
    File->insertAction(actExit, actPreferences);
    File->insertSeparator(actExit);

    mnHelp = ui->MainMenu->addMenu(tr("Help"));
    mnHelp->setObjectName("mnHelp");
    mnHelp->addAction(actHelpOnline);
    mnHelp->addSeparator();
    mnHelp->addAction(actHome);
    mnHelp->addAction(actSupport);
    mnHelp->addAction(actFeedback);
    mnHelp->addAction(actCheckForUpdates);
    mnHelp->addSeparator();
    mnHelp->addAction(actAbout);

    // The row pop-up begins with "Open as...".
    QAction* First = pmMAcList->actions().value(0);
    mnOpenAs = new QMenu(tr("Open as..."), pmMAcList);
    mnOpenAs->setObjectName("mnOpenAs");
    for (TAction* A :
         {actOpenAsWebServer, actOpenAsSecureWebServer, actOpenAsFTPServer, actOpenAsFileServer})
        mnOpenAs->addAction(A);
    pmMAcList->insertMenu(First, mnOpenAs);
    pmMAcList->insertSeparator(First);
}

void TfrmTolvex::pmBookmarkPopup()
{
    pmBookmark->clear();
    // Up to MaxBoomarks + 1 items, the menu's long-standing count.
    for (size_t I = 0; I < lstBookmarks.size() && I <= static_cast<size_t>(MaxBoomarks); ++I) {
        const int Index = static_cast<int>(I);
        connect(pmBookmark->addAction(ToQ(GetBookmarkCaption(lstBookmarks[I]))),
                &QAction::triggered, this, [this, Index] { actBookmarkUseExecute(Index); });
    }
    pmBookmark->addSeparator();
    pmBookmark->addAction(actBookmarkManage);
}

void TfrmTolvex::actBookmarkUseExecute(int Index)
{
    if (Index < 0 || Index >= static_cast<int>(lstBookmarks.size()))
        return;
    std::string Start, Stop;
    SplitBookmark(lstBookmarks[Index], Start, Stop);
    ui->edStartIP->setText(ToQ(Start));
    ui->edStopIP->setText(ToQ(Stop));
}

TComputer* TfrmTolvex::GetSelectedComputer() const
{
    TVirtualStringTree* Tree = ui->vstMacList;
    if (Tree->SelectedCount() == 0 || !Tree->FocusedNode())
        return nullptr;
    const TMacListData* Row = FResults->Data(Tree->FocusedNode());
    return Row && !Row->Adapter ? Row->Computer : nullptr;
}

bool TfrmTolvex::CanOpenSelectedAs() const
{
    const TComputer* C = GetSelectedComputer();
    return C && !OpenAsAddress(0, C->IP).empty();
}

void TfrmTolvex::OpenSelectedAs(int Kind)
{
    const TComputer* C = GetSelectedComputer();
    if (!C)
        return;
    const std::string Address = OpenAsAddress(Kind, C->IP);
    if (!Address.empty())
        OpenAddress(Address);
}
