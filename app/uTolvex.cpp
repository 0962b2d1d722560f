#include "app/uTolvex.h"

#include "admin/uCommandList.h"
#include "admin/uComputerShutdown.h"
#include "admin/udlgComputerShutdown.h"
#include "app/udlgDetectLocalIPRange.h"
#include "engine/DetectOS.h"
#include "engine/NetUtil.h"
#include "engine/uAddressExpressionOperations.h"
#include "engine/uComputerList.h"
#include "engine/uFormat.h"
#include "engine/uLocalComputerAddress.h"
#include "engine/uThreadScanPool.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "forms/uVirtualTreesColumnsUtil.h"
#include "platform/Thread.h"
#include "settings/CommonFunctions.h"
#include "settings/uProgramOptions.h"

#include "platform/AtomicFile.h"

#include "ui_uTolvex.h"

#include <QApplication>
#include <QEvent>
#include <QLabel>
#include <QMenu>
#include <QPainter>
#include <QProgressBar>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolButton>

#include <arpa/inet.h>

#include <algorithm>
#include <fstream>
#include <stdexcept>
#include <utility>

namespace {

// inet_addr's verdict: INADDR_NONE is its error, so the all-ones address
// counts as invalid too.
bool IsInetAddr(const QString& Text)
{
    const std::string S = FromQ(Text);
    return !S.empty() && ::inet_addr(S.c_str()) != INADDR_NONE;
}

// An expression the scan can start from: valid, and naming at least one
// address. A count beyond 64 bits names addresses too; starting the scan
// reports it.
bool ExpressionNamesAddresses(const std::string& Text)
{
    if (!IsValidExpression(Text))
        return false;
    try {
        return GetExpressionCount(Text) > 0;
    } catch (const EExpressionError&) {
        return true;
    }
}

void SetIcon(TAction* Action, QStyle::StandardPixmap Pixmap)
{
    Action->setIcon(QApplication::style()->standardIcon(Pixmap));
}

} // namespace

TfrmTolvex::TfrmTolvex(QWidget* Parent)
    : TFormStored(Parent), ui(std::make_unique<Ui::TfrmTolvex>())
{
    ui->setupUi(this);
    CreateActions();
    CreateMenus();
    CreateCommands();
    CreateViewCommands();
    CreateToolsCommands();
    CreateToolBar();

    for (int I = 0; I < 4; ++I) {
        auto* Panel = new QLabel(ui->StatusBar1);
        Panel->setObjectName(QStringLiteral("StatusBar1Panel%1").arg(I));
        // Panel 2 takes what the others leave (a fixed width computed from
        // the bar's own would widen the window it sits in).
        if (I == 2)
            Panel->setMinimumWidth(0);
        else
            Panel->setFixedWidth(StatusPanelWidths[I]);
        ui->StatusBar1->addWidget(Panel, I == 2 ? 1 : 0);
        FStatusPanels[I] = Panel;
    }

    sbHideLog = new QToolButton(ui->pnlCaptionLog);
    sbHideLog->setObjectName("sbHideLog");
    sbHideLog->setAutoRaise(true);
    sbHideLog->setFixedSize(16, 16);
    BindButton(sbHideLog, actHideLog);
    sbHideLog->setIcon(actHideLog->icon());
    ui->pnlCaptionLog->installEventFilter(this);
    ui->pnlLog->installEventFilter(this);
    ui->spltLeft->handle(1)->installEventFilter(this);
    ui->spltLog->handle(1)->installEventFilter(this);

    connect(ui->cmbTarget, &QComboBox::activated, this, [this] { cmbTargetSelect(); });
    connect(ui->SpeedButton2, &QPushButton::clicked, this, [this] { SpeedButton2Click(); });

    FormCreate();
}

TfrmTolvex::~TfrmTolvex()
{
    FormDestroy();
}

// --- Actions and menus -------------------------------------------------------------

void TfrmTolvex::CreateActions()
{
    ActionList = new TActionList(this);
    TActionList& L = *ActionList;
    auto Add = [&L](const char* Name, const QString& Caption, const QString& Hint = {}) {
        TAction* A = L.Add(QString::fromLatin1(Name), Caption, {});
        if (!Hint.isEmpty())
            A->setToolTip(Hint);
        return A;
    };

    actTolvex = Add("actTolvex", tr("Scan"), tr("Find the MAC addresses of the target"));
    actTolvex->OnExecute = [this] { actTolvexExecute(); };
    actTolvex->OnUpdate = [this](TAction& A) { actTolvexUpdate(A); };
    SetIcon(actTolvex, QStyle::SP_MediaPlay);
    actTolvexStop = Add("actTolvexStop", tr("Stop process"), tr("Stop scanning"));
    actTolvexStop->OnExecute = [this] { actTolvexStopExecute(); };
    actTolvexStop->OnUpdate = [this](TAction& A) { actTolvexStopUpdate(A); };
    SetIcon(actTolvexStop, QStyle::SP_MediaStop);
    // Linux has no shell dialog that browses the network for a computer;
    // the picker fed by the network enumeration binds this action.
    actSelectComputer = Add("actSelectComputer", tr("..."), tr("Select a computer"));
    actRangeB = Add("actRangeB", tr("B"), tr("Class B network of the start address"));
    actRangeB->OnExecute = [this] { actRangeBExecute(); };
    actRangeB->OnUpdate = [this](TAction& A) { actRangeBUpdate(A); };
    actRangeC = Add("actRangeC", tr("C"), tr("Class C network of the start address"));
    actRangeC->OnExecute = [this] { actRangeCExecute(); };
    actRangeC->OnUpdate = [this](TAction& A) { actRangeBUpdate(A); };
    actExit = Add("actExit", tr("Exit"));
    actExit->OnExecute = [this] { actExitExecute(); };
    actExit->OnUpdate = [](TAction& A) { A.setEnabled(true); };

    actClearList = Add("actClearList", tr("Clear"), tr("Clear list"));
    SetIcon(actClearList, QStyle::SP_DialogResetButton);
    actCopyLine = Add("actCopyLine", tr("Copy line"));
    actCopyLine->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_C));
    actCopyLine->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    SetIcon(actCopyLine, QStyle::SP_FileDialogDetailedView);
    actCopy = Add("actCopy", tr("Copy"));
    actCopyLog = Add("actCopyLog", tr("Copy to clipboard"));
    actShowLog = Add("actShowLog", tr("Show log"));
    actShowLog->setCheckable(true);
    actShowLog->setChecked(true);
    actHideLog = Add("actHideLog", QString(), tr("Close the log"));
    SetIcon(actHideLog, QStyle::SP_TitleBarCloseButton);
    actShowFilters = Add("actShowFilters", tr("Show filter"));
    actShowFilters->setCheckable(true);
    actShowFilters->setChecked(true);
    actHideFilters = Add("actHideFilters", QString(), tr("Close the filter bar"));
    SetIcon(actHideFilters, QStyle::SP_TitleBarCloseButton);
    actEditComment = Add("actEditComment", tr("Edit comment"));
    actEditComment->setShortcut(QKeySequence(Qt::Key_F2));
    actFindInList = Add("actFindInList", tr("Find in list..."));
    actFindInList->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_F));
    SetIcon(actFindInList, QStyle::SP_FileDialogContentsView);

    actSaveFile = Add("actSaveFile", tr("Save"), tr("Save list to file"));
    actSaveFile->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    SetIcon(actSaveFile, QStyle::SP_DialogSaveButton);
    actOpenFile = Add("actOpenFile", tr("Open"), tr("Load list from file"));
    actOpenFile->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
    SetIcon(actOpenFile, QStyle::SP_DialogOpenButton);
    actExport = Add("actExport", tr("Export"));
    actExport->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_E));
    SetIcon(actExport, QStyle::SP_FileLinkIcon);

    struct TPair {
        TAction** Main;
        TAction** Button;
        const char* Name;
        QString Caption, Hint;
    };
    const TPair Pairs[] = {
        {&actAddressListComputerAdd, &actAddressListComputerAddSB, "actAddressListComputerAdd",
         tr("Add"), tr("Add computer")},
        {&actAddressListComputerEdit, &actAddressListComputerEditSB, "actAddressListComputerEdit",
         tr("Edit"), tr("Edit computer")},
        {&actAddressListComputerDelete, &actAddressListComputerDeleteSB,
         "actAddressListComputerDelete", tr("Delete"), tr("Delete computer")},
        {&ActAddressListDeleteAll, nullptr, "ActAddressListDeleteAll", tr("Delete All"),
         tr("Delete all")},
        {&actAddressListFind, &actAddressListFindSB, "actAddressListFind", tr("Find"),
         tr("Find computers")},
        {&actAddressListImport, &actAddressListImportSB, "actAddressListImport", tr("Import"),
         tr("Import list")},
        {&actAddressListExport, &actAddressListExportSB, "actAddressListExport", tr("Export"),
         tr("Export list")},
    };
    for (const TPair& P : Pairs) {
        *P.Main = Add(P.Name, P.Caption, P.Hint);
        if (P.Button)
            *P.Button = Add((std::string(P.Name) + "SB").c_str(), P.Caption, P.Hint);
    }
}

void TfrmTolvex::CreateMenus()
{
    ui->mnFile->addAction(actOpenFile);
    ui->mnFile->addAction(actSaveFile);
    ui->mnFile->addAction(actExport);
    ui->mnFile->addSeparator();
    ui->mnFile->addAction(actTolvex);
    ui->mnFile->addAction(actTolvexStop);
    ui->mnFile->addSeparator();
    ui->mnFile->addAction(actExit);

    ui->mnEdit->addAction(actEditComment);
    ui->mnEdit->addAction(actFindInList);
    mnCopyMain = ui->mnCopyMain;
    ui->mnEdit->addMenu(mnCopyMain);
    ui->mnEdit->addAction(actClearList);
    mnCopyMain->addAction(actCopyLine);

    ui->mnView->addAction(actShowLog);
    ui->mnView->addAction(actShowFilters);

    pmMAcList = new QMenu(this);
    pmMAcList->setObjectName("pmMAcList");
    pmMAcList->addAction(actEditComment);
    mnCopyPopUp = pmMAcList->addMenu(tr("Copy"));
    mnCopyPopUp->setObjectName("mnCopyPopUp");
    mnCopyPopUp->addAction(actCopyLine);
    pmMAcList->addAction(actFindInList);
    pmMAcList->addSeparator();
    pmMAcList->addAction(actClearList);

    pmHeaderMacList = new QMenu(this);
    pmHeaderMacList->setObjectName("pmHeaderMacList");

    pmAddressList = new QMenu(this);
    pmAddressList->setObjectName("pmAddressList");
    pmAddressList->addAction(actAddressListComputerAdd);
    pmAddressList->addAction(actAddressListComputerEdit);
    pmAddressList->addAction(actAddressListFind);
    pmAddressList->addAction(actAddressListComputerDelete);
    pmAddressList->addAction(ActAddressListDeleteAll);
    pmAddressList->addSeparator();
    pmAddressList->addAction(actAddressListImport);
    pmAddressList->addAction(actAddressListExport);

    pmLog = new QMenu(this);
    pmLog->setObjectName("pmLog");
    pmLog->addAction(actCopyLog);

    const std::pair<TVirtualStringTree*, QMenu*> Popups[] = {
        {ui->vstMacList, pmMAcList}, {ui->vstAddressList, pmAddressList}, {ui->vstLog, pmLog}};
    for (auto [Tree, Menu] : Popups) {
        Tree->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(Tree, &QWidget::customContextMenuRequested, this,
                [Tree, Menu](const QPoint& P) { Menu->popup(Tree->viewport()->mapToGlobal(P)); });
    }

    BindButton(ui->sbSelectComputer, actSelectComputer);
    BindButton(ui->sbRangeB, actRangeB);
    BindButton(ui->sbRangeC, actRangeC);
    BindButton(ui->sbHideFilters, actHideFilters);
    ui->sbHideFilters->setIcon(actHideFilters->icon());
    BindButton(ui->sbAddressListComputerAdd, actAddressListComputerAddSB);
    BindButton(ui->sbAddressListComputerEdit, actAddressListComputerEditSB);
    BindButton(ui->sbAddressListComputerDelete, actAddressListComputerDeleteSB);
    BindButton(ui->sbAddressListFind, actAddressListFindSB);
    BindButton(ui->sbAddressListImport, actAddressListImportSB);
    BindButton(ui->sbAddressListExport, actAddressListExportSB);
}

void TfrmTolvex::CreateToolBar()
{
    SetIcon(actLookupMACaddress, QStyle::SP_DriveNetIcon);
    SetIcon(actPreferences, QStyle::SP_ComputerIcon);
    SetIcon(actHelpOnline, QStyle::SP_DialogHelpButton);
    SetIcon(actHome, QStyle::SP_DirHomeIcon);
    SetIcon(actAbout, QStyle::SP_MessageBoxInformation);
    QToolBar* T = ui->ToolBar1;
    for (TAction* A :
         {actTolvex, actTolvexStop, actLookupMACaddress, static_cast<TAction*>(nullptr),
          actOpenFile, actSaveFile, static_cast<TAction*>(nullptr), actFindInList, actCopyLine,
          actExport, actClearList, static_cast<TAction*>(nullptr), actPreferences, actHelpOnline,
          actHome, actAbout}) {
        if (A)
            T->addAction(A);
        else
            T->addSeparator();
    }
}

// --- Creation and destruction --------------------------------------------------------

void TfrmTolvex::FormCreate()
{
    // The tools menus first: the lists are read before anything else can
    // fail, and the window opens with them whatever follows.
    try {
        CreateToolLists();
    } catch (const std::exception& E) {
        ShowErrorBox(E);
    }
    // What every handler relies on exists whatever else fails below.
    ComputerList = std::make_unique<TComputerList>();
    MacComments.Clear();
    FPool = std::make_unique<TPoolOfThreads>();
    FPool->OnStart = [this](TPoolOfThreads*) { PoolStart(); };
    FPool->OnFinish = [this](TPoolOfThreads*) { PoolFinish(); };
    FPool->OnComputer = [this](TComputer* Computer) { AddComputerToList(Computer); };
    FPool->OnStatus = [this](int Status, const std::string& Text) { AddLogEntry(Status, Text); };

    // Each further step on its own: one that fails is reported and the
    // others still run, so the window opens as complete as it can.
    auto Step = [this](auto&& Do) {
        try {
            Do();
        } catch (const std::exception& E) {
            ShowErrorBox(E);
        }
    };
    Step([this] { InitResultLists(); });
    Step([this] { InitFileCommands(); });
    Step([this] { BuildLanguageMenu(); });
    // Commands that no unit has bound stay disabled rather than doing nothing.
    for (TAction* A : ActionList->Actions())
        if (!A->OnExecute && !A->OnUpdate)
            A->OnUpdate = [](TAction& Self) { Self.setEnabled(false); };

    Step([this] { ApplyColumnLayout(*ui->vstMacList, MACColumns, MACColumnCount - 1); });
    Step([this] {
        FOwnTexts.Take(this);
        TranslateForm(this);
        ui->cmbTarget->setCurrentIndex(ui->pcTarget->currentIndex());
    });
    Step([this] { LoadMacComments(); });

    // Values from a hand-edited file or an older version may lie outside the
    // selectors; such a value falls back to the first entry.
    if (LasTMethod < 0 || LasTMethod > 4)
        LasTMethod = 0;
    QRadioButton* Methods[] = {ui->rbArp, ui->rbNetbios, ui->rbNetApi, ui->rbWMI, ui->rbSNMP};
    Methods[LasTMethod]->setChecked(true);
    if (LastTarget < 0 || LastTarget >= ui->cmbTarget->count())
        LastTarget = 0;
    ui->cmbTarget->setCurrentIndex(LastTarget);
    ui->pcTarget->setCurrentIndex(std::max(0, ui->cmbTarget->currentIndex()));

    Step([this] {
        std::string Name, IP;
        GetLocalComputerName(Name);
        ui->edLocalComputer->setText(ToQ(Name));
        HostNameToIP(Name, IP);
        // Debian maps the host name to 127.0.1.1; the address the network
        // sees is that of the first interface that is not loopback.
        if (IP.empty() || IsLoopbackAddress(IP)) {
            const std::string Other = FirstNetworkAddress();
            if (!Other.empty())
                IP = Other;
        }
        ui->edLocalIP->setText(ToQ(IP));
    });
    Step([this] {
        DetectMyRange(true);
        ui->edExpression->setText(
            ToQ(RangeToExpression(FromQ(ui->edStartIP->text()), FromQ(ui->edStopIP->text()))));
    });

    // The left panel and the log keep their sizes when the window is
    // resized; the result list takes what is gained or lost. Shared out
    // instead, a window wider than its design would widen the stored panel
    // at every start.
    ui->spltLeft->setStretchFactor(0, 0);
    ui->spltLeft->setStretchFactor(1, 1);
    ui->spltLog->setStretchFactor(0, 1);
    ui->spltLog->setStretchFactor(1, 0);
    ui->spltLeft->setSizes({std::max(pnlLeftWidth, 50), std::max(width() - pnlLeftWidth, 100)});
    ui->spltLog->setSizes({std::max(height() - PanelLogHeight, 100), std::max(PanelLogHeight, 30)});
    ApplyLogVisibility();

    Step([this] { FillAddressList(lstAddressList); });
    const bool Hot = IsWindowsVistaOrLater();
    ui->vstAddressList->SetHotTrack(Hot);
    ui->vstMacList->SetHotTrack(Hot);
    ui->vstLog->SetHotTrack(Hot);
    Step([this] { ApplyGridOptions(); });
    if (ui->cmbFilterBy->count() > 0)
        ui->cmbFilterBy->setCurrentIndex(0);
    ActionList->UpdateActions();
}

void TfrmTolvex::FormDestroy()
{
    // The command lists go first: what the user changed in them is kept
    // even when something later in the shutdown fails.
    try {
        SaveToolLists();
    } catch (const std::exception& E) {
        ShowErrorBox(E);
    }
    LastTarget = ui->cmbTarget->currentIndex();
    const QRadioButton* Methods[] = {ui->rbArp, ui->rbNetbios, ui->rbNetApi, ui->rbWMI, ui->rbSNMP};
    for (int I = 0; I < 5; ++I)
        if (Methods[I]->isChecked()) {
            LasTMethod = I;
            break;
        }
    ReadColumnLayout(*ui->vstMacList, MACColumns, MACColumnCount - 1);
    StoreGridOptions();
    try {
        StoreAddressList(lstAddressList);
    } catch (const std::exception& E) {
        ShowErrorBox(E);
    }
    // Sizes of a window that was never shown are those of no layout.
    if (FShown)
        pnlLeftWidth = ui->pnlLeft->width();

    // A running shutdown request ends with the window: its client is killed
    // and its thread has reported before the dialog it reports to is gone.
    // Requests start in this thread only, so none can start once the group
    // is empty, and a window closed with none running leaves later ones be.
    if (!ComputerShutdownThreads()->Empty()) {
        CancelShutdownRequests();
        platform::MainThread().PumpUntil([] { return ComputerShutdownThreads()->Empty(); },
                                         ShutdownTimeLimit + std::chrono::seconds(5));
    }

    // The workers go first: none may hand a computer to a list that is gone.
    if (FPool) {
        FPool->OnStart = nullptr;
        FPool->OnFinish = nullptr;
        FPool->OnComputer = nullptr;
        FPool->OnStatus = nullptr;
        FPool.reset();
    }
    if (FProgressTimer)
        delete FProgressTimer.data();
    // The rows point at the computers: they go before them.
    ui->vstMacList->Clear();
    ComputerList.reset();
    try {
        SaveMacComments();
    } catch (const std::exception& E) {
        ShowErrorBox(E);
    }
}

void TfrmTolvex::showEvent(QShowEvent* Event)
{
    TFormStored::showEvent(Event);
    if (!FShown) {
        FShown = true;
        FormShow();
    }
}

void TfrmTolvex::FormShow()
{
    pnlCaptionLogResize();
}

void TfrmTolvex::LoadMacComments()
{
    MacComments.Clear();
    FCommentsUnread = false;
    if (MacCommentsFile.empty())
        return;
    FCommentsUnread = true;
    MacComments.LoadFromFile(MacCommentsFile);
    FCommentsUnread = false;
}

void TfrmTolvex::SaveMacComments()
{
    if (!MacCommentsFile.empty() && !FCommentsUnread)
        MacComments.SaveToFile(MacCommentsFile);
}

// --- Targets -------------------------------------------------------------------------

void TfrmTolvex::cmbTargetSelect()
{
    const int Index = ui->cmbTarget->currentIndex();
    ui->pcTarget->setCurrentIndex(std::max(0, Index));
    switch (Index) {
    case 1:
        ui->edRemoteComputer->setFocus();
        break;
    case 3:
        ui->edStartIP->setFocus();
        break;
    case 4:
        ui->vstAddressList->setFocus();
        break;
    case 6:
        ui->edExpression->setFocus();
        break;
    default:
        break;
    }
}

void TfrmTolvex::DetectMyRange(bool Silent)
{
    std::string StartIP, StopIP;
    if (DetectLocalIPRange(StartIP, StopIP, Silent)) {
        ui->edStartIP->setText(ToQ(StartIP));
        ui->edStopIP->setText(ToQ(StopIP));
    }
}

void TfrmTolvex::SpeedButton2Click()
{
    try {
        DetectMyRange(false);
    } catch (const std::exception& E) {
        ShowErrorBox(E);
    }
}

void TfrmTolvex::actRangeCExecute()
{
    std::string StartIP, StopIP;
    if (CalcIPRange(FromQ(ui->edStartIP->text()), "255.255.255.0", StartIP, StopIP)) {
        ui->edStartIP->setText(ToQ(StartIP));
        ui->edStopIP->setText(ToQ(StopIP));
    }
}

void TfrmTolvex::actRangeBExecute()
{
    std::string StartIP, StopIP;
    if (CalcIPRange(FromQ(ui->edStartIP->text()), "255.255.0.0", StartIP, StopIP)) {
        ui->edStartIP->setText(ToQ(StartIP));
        ui->edStopIP->setText(ToQ(StopIP));
    }
}

void TfrmTolvex::actRangeBUpdate(TAction& Action)
{
    Action.setEnabled(IsInetAddr(ui->edStartIP->text()));
}

void TfrmTolvex::actExitExecute()
{
    close();
}

// --- Scan control ----------------------------------------------------------------------

bool TfrmTolvex::IsScanning() const
{
    return FPool && FPool->IsBusy();
}

void TfrmTolvex::actTolvexUpdate(TAction& Action)
{
    bool Enabled = false;
    if (!IsScanning()) {
        switch (ui->cmbTarget->currentIndex()) {
        case 0:
        case 2:
        case 5:
            Enabled = true;
            break;
        case 1:
            Enabled = !ui->edRemoteComputer->text().isEmpty();
            break;
        case 3:
            Enabled = IsInetAddr(ui->edStartIP->text()) && IsInetAddr(ui->edStopIP->text());
            break;
        case 4:
            Enabled = ui->vstAddressList->RootNodeCount() > 0;
            break;
        case 6:
            // A scan of no address would only clear the results.
            Enabled = ExpressionNamesAddresses(FromQ(ui->edExpression->text()));
            break;
        default:
            break;
        }
    }
    Action.setEnabled(Enabled);
}

void TfrmTolvex::actTolvexStopUpdate(TAction& Action)
{
    Action.setEnabled(IsScanning());
}

void TfrmTolvex::actTolvexStopExecute()
{
    if (IsScanning())
        FPool->Stop();
}

void TfrmTolvex::actTolvexExecute()
{
    try {
        // A press that was queued before the action was disabled.
        if (IsScanning())
            throw std::runtime_error(sAnotherFindProcessActive);
        // Incomplete target data was reported; a scan with the data of an
        // earlier one would not be what the user asked for.
        if (!PrepareScan())
            return;
        FPool->Start();
    } catch (const std::exception& E) {
        ShowErrorBox(E);
    }
}

int TfrmTolvex::CheckedMethod() const
{
    int Method = 0;
    if (ui->rbNetbios->isChecked())
        Method = 1;
    if (ui->rbNetApi->isChecked())
        Method = 2;
    if (ui->rbWMI->isChecked())
        Method = 3;
    if (ui->rbSNMP->isChecked())
        Method = 4;
    return Method;
}

bool TfrmTolvex::PrepareScan()
{
    try {
        switch (ui->cmbTarget->currentIndex()) {
        case 0:
            SetLocalTarget();
            break;
        case 1:
            SetRemoteTarget();
            break;
        case 3:
            SetRangeTarget();
            break;
        case 4:
            SetAddressListTarget();
            break;
        case 5:
            SetADTarget();
            break;
        case 6:
            SetExpressionTarget();
            break;
        default:
            break;
        }
    } catch (const std::exception& E) {
        ShowErrorBox(E);
        return false;
    }
    FPool->SetMethod(CheckedMethod());
    FPool->SetTarget(std::max(0, ui->cmbTarget->currentIndex()));
    return true;
}

void TfrmTolvex::SetLocalTarget()
{
    std::string Name;
    GetLocalComputerName(Name);
    if (Name.empty())
        throw std::runtime_error(sEmptyComputerName);
    FPool->SetComputerName(Name);
}

void TfrmTolvex::SetRemoteTarget()
{
    const std::string Name = FromQ(ui->edRemoteComputer->text());
    if (Name.empty())
        throw std::runtime_error(sEmptyComputerName);
    FPool->SetComputerName(Name);
}

void TfrmTolvex::SetRangeTarget()
{
    const std::string StartText = FromQ(ui->edStartIP->text());
    const std::string StopText = FromQ(ui->edStopIP->text());
    if (StartText.empty() || StopText.empty())
        throw std::runtime_error(sWrongIPRange);
    const in_addr_t StartNet = ::inet_addr(StartText.c_str());
    const in_addr_t StopNet = ::inet_addr(StopText.c_str());
    // A text inet_addr refuses would otherwise stand for 255.255.255.255.
    if (StartNet == INADDR_NONE || StopNet == INADDR_NONE)
        throw std::runtime_error(sWrongIPRange);
    uint32_t Start = ntohl(StartNet);
    uint32_t Stop = ntohl(StopNet);
    if (Stop < Start)
        std::swap(Start, Stop);
    if (Start == 0 || Stop == 0)
        throw std::runtime_error(sWrongIPRange);
    FPool->SetStartIP(Start);
    FPool->SetStopIP(Stop);
}

void TfrmTolvex::SetAddressListTarget()
{
    StoreAddressList(FPool->Addresses);
}

void TfrmTolvex::SetADTarget()
{
    FPool->SetADIncludeDisabled(ui->cbADIncludeDisabled->isChecked());
}

void TfrmTolvex::SetExpressionTarget()
{
    const std::string Text = FromQ(ui->edExpression->text());
    if (Text.empty() || !ExpressionNamesAddresses(Text))
        throw std::runtime_error(sWrongExpression);
    FPool->Expression = Text;
}

void TfrmTolvex::ShowErrorBox(const std::exception& E)
{
    ShowMessageBox(E.what(), sError, TMsgIcon::Error);
}

// --- Pool events and progress -------------------------------------------------------------

void TfrmTolvex::PoolStart()
{
    ClearBeforeScan();
    StartProgress();
    UpdateProgress();
    AddLogEntry(2, sSetStatusStart);
}

void TfrmTolvex::PoolFinish()
{
    UpdateProgress();
    StopProgress();
    AddLogEntry(2, sSetStatusFinish);
}

void TfrmTolvex::ClearBeforeScan()
{
    if (ClearBeforeTolvex)
        actClearList->Execute();
}

void TfrmTolvex::StartProgress()
{
    if (!FProgressTimer) {
        FProgressTimer = new QTimer(ui->StatusBar1);
        FProgressTimer->setObjectName("ProgressTimer");
        FProgressTimer->setInterval(500);
        connect(FProgressTimer, &QTimer::timeout, this, [this] { UpdateProgress(); });
    }
    if (!FProgressBar) {
        FProgressBar = new QProgressBar(FStatusPanels[0]);
        FProgressBar->setObjectName("ProgressBar");
        FProgressBar->setGeometry(3, 3, FStatusPanels[0]->width() - 6, 18);
        FProgressBar->setTextVisible(false);
        FProgressBar->show();
    }
    FProgressBar->setRange(0, 100);
    FProgressBar->setValue(0);
    FProgressTimer->start();
    FStartTime = Now();
}

void TfrmTolvex::UpdateProgress()
{
    if (FProgressBar && FPool)
        FProgressBar->setValue(FPool->GetProgress());
    FStatusPanels[3]->setText(ToQ(FormatDuration(Now() - FStartTime)));
    UpdateStatusCounts();
}

void TfrmTolvex::UpdateStatusCounts()
{
    const int Rows = ui->vstMacList->RootNodeCount();
    FStatusPanels[1]->setText(
        Rows > 0 ? ToQ(FormatChecked(sComputerFinded, "Computers found: %d", {Rows})) : QString());
    const int Selected = ui->vstMacList->SelectedCount();
    FStatusPanels[2]->setText(
        Selected > 0 ? ToQ(FormatChecked(sComputerSelected, "Selected: %d", {Selected}))
                     : QString());
}

void TfrmTolvex::StopProgress()
{
    if (FProgressTimer) {
        FProgressTimer->stop();
        delete FProgressTimer.data();
    }
    if (FProgressBar)
        delete FProgressBar.data();
    FStatusPanels[0]->update();
}

void TfrmTolvex::ClearElapsedTime()
{
    // The time of a running scan stays; that of a finished one goes with
    // the results it belonged to.
    if (!IsScanning())
        FStatusPanels[3]->clear();
}

QLabel* TfrmTolvex::StatusPanel(int Index) const
{
    return Index >= 0 && Index < 4 ? FStatusPanels[Index] : nullptr;
}

// --- Layout ---------------------------------------------------------------------------------

void TfrmTolvex::ApplyLogVisibility()
{
    ui->pnlLog->setVisible(bShowLog);
    ui->spltLog->handle(1)->setVisible(bShowLog);
}

void TfrmTolvex::pnlLogResize()
{
    // Only a size the user can see is worth keeping.
    if (FShown && ui->pnlLog->isVisible())
        PanelLogHeight = ui->pnlLog->height();
}

void TfrmTolvex::pnlCaptionLogResize()
{
    const QWidget* P = ui->pnlCaptionLog;
    sbHideLog->move(P->width() - sbHideLog->width() - 2, 2);
}

void TfrmTolvex::spltTargetPaint(QWidget* Splitter)
{
    QPainter Painter(Splitter);
    const QPalette& Pal = Splitter->palette();
    const int W = Splitter->width(), H = Splitter->height();
    QPen Light(Pal.color(QPalette::Light), 1, Qt::DotLine);
    QPen Dark(Pal.color(QPalette::Dark), 1, Qt::DotLine);
    // A groove across the middle, along the splitter's long side.
    if (W > H) {
        Painter.setPen(Light);
        Painter.drawLine(0, H / 2 + 1, W, H / 2 + 1);
        Painter.setPen(Dark);
        Painter.drawLine(0, H / 2, W, H / 2);
    } else {
        Painter.setPen(Light);
        Painter.drawLine(W / 2 + 1, 0, W / 2 + 1, H);
        Painter.setPen(Dark);
        Painter.drawLine(W / 2, 0, W / 2, H);
    }
}

bool TfrmTolvex::eventFilter(QObject* Watched, QEvent* Event)
{
    const QEvent::Type T = Event->type();
    if (T == QEvent::Resize) {
        if (Watched == ui->pnlLog)
            pnlLogResize();
        else if (Watched == ui->pnlCaptionLog)
            pnlCaptionLogResize();
    } else if (T == QEvent::Paint &&
               (Watched == ui->spltLeft->handle(1) || Watched == ui->spltLog->handle(1))) {
        spltTargetPaint(static_cast<QWidget*>(Watched));
        return true;
    }
    return TFormStored::eventFilter(Watched, Event);
}
