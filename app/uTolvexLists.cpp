// The main window's result list and log list: the rows, their sorting and
// filter, comments, copying and clearing (the row logic is in uMacList and
// uLogList).
#include "app/uTolvex.h"

#include "app/uDlgFind.h"
#include "app/uListExport.h"
#include "app/udlgAddressComputerFind.h"
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uFormat.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/PlainText.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"

#include "ui_uTolvex.h"

#include <QApplication>
#include <QClipboard>
#include <QHeaderView>
#include <QInputDialog>
#include <QMenu>
#include <QStyle>

namespace {

// The filter's column names when the language gives the combo no items.
static_assert(ResultColumnCount == MACColumnCount, "one stored layout entry per result column");
const char* const BuiltInColumnNames[ResultColumnCount] = {
    "Computer / Adapter", // rcCaption
    "IP Address",         // rcIP
    "MAC Address",        // rcMAC
    "Vendor",             // rcVendor
    "Comment",            // rcComment
};

// The input box: one line of text, OK or Cancel. Shown through ShowModal so
// that tests can answer it. True on OK, with Value the text entered.
bool InputQuery(QWidget* Owner, const std::string& Caption, const std::string& Prompt,
                std::string& Value)
{
    QInputDialog Dlg(Owner);
    Dlg.setObjectName("InputQuery");
    Dlg.setInputMode(QInputDialog::TextInput);
    Dlg.setWindowTitle(ToQ(Caption));
    SetPlainLabelText(Dlg, Prompt);
    Dlg.setTextValue(ToQ(Value));
    if (ShowModal(Dlg) != mrOk)
        return false;
    Value = FromQ(Dlg.textValue());
    return true;
}

void SetClipboardText(const std::string& Text)
{
    QApplication::clipboard()->setText(ToQ(Text));
}

} // namespace

void TfrmTolvex::InitResultLists()
{
    TVirtualStringTree& Mac = *ui->vstMacList;
    FResults = std::make_unique<TResultList>(Mac, MacComments);
    QStyle* S = QApplication::style();
    // ilMacList: 0 computer, 1 adapter.
    Mac.SetImages(
        {S->standardIcon(QStyle::SP_ComputerIcon), S->standardIcon(QStyle::SP_DriveNetIcon)});
    Mac.OnChange = [this] { UpdateStatusCounts(); };
    PaintStripe();

    TVirtualStringTree& Log = *ui->vstLog;
    Log.ResetColumns(1);
    Log.header()->hide();
    // One column, as wide as the list, so that long entries are readable.
    Log.header()->setStretchLastSection(true);
    // A message may hold a line break ("{ENTER}" in a language file): it
    // reads as a blank, as the rest of its line does.
    Log.SetLineBreaksAsBlanks(true);
    FLog = std::make_unique<TLogList>(Log);
    // ilTreeLog by job status: 0 complete, 1 inactive, 2 information,
    // 3 nothing found.
    Log.SetImages({S->standardIcon(QStyle::SP_DialogApplyButton),
                   S->standardIcon(QStyle::SP_MessageBoxWarning),
                   S->standardIcon(QStyle::SP_MessageBoxInformation),
                   S->standardIcon(QStyle::SP_MessageBoxQuestion)});

    // The combo's items come from the language file; without them the item
    // index would be -1 and every row would vanish at the first key typed.
    if (ui->cmbFilterBy->count() == 0)
        for (int I = 0; I < ResultColumnCount; ++I) {
            const std::string& C = MACColumns[static_cast<size_t>(I)].Caption;
            ui->cmbFilterBy->addItem(ToQ(C.empty() ? BuiltInColumnNames[I] : C));
        }
    connect(ui->edFilter, &QLineEdit::textChanged, this, [this] { edFilterChange(); });
    connect(ui->cmbFilterBy, &QComboBox::currentIndexChanged, this, [this] { ApplyFilter(); });
    connect(ui->sbClearFilters, &QToolButton::clicked, this, [this] { sbClearFiltersClick(); });

    auto Bind = [](TAction* A, std::function<void()> Execute,
                   std::function<void(TAction&)> Update) {
        A->OnExecute = std::move(Execute);
        A->OnUpdate = std::move(Update);
    };
    Bind(
        actClearList, [this] { actClearListExecute(); },
        [this](TAction& A) { actClearListUpdate(A); });
    Bind(
        actCopyLine, [this] { actCopyLineExecute(); },
        [this](TAction& A) { actCopyLineUpdate(A); });
    Bind(
        actCopy, [this] { actCopyExecute(); }, [this](TAction& A) { actCopyUpdate(A); });
    Bind(
        actCopyLog, [this] { actCopyLogExecute(); }, [this](TAction& A) { actCopyLogUpdate(A); });
    Bind(
        actShowLog, [this] { actShowLogExecute(); }, [this](TAction& A) { actShowLogUpdate(A); });
    Bind(
        actHideLog, [this] { actHideLogExecute(); }, [](TAction& A) { A.setEnabled(true); });
    Bind(
        actShowFilters, [this] { actShowFiltersExecute(); },
        [](TAction& A) { A.setEnabled(true); });
    Bind(
        actHideFilters, [this] { actHideFiltersExecute(); },
        [](TAction& A) { A.setEnabled(true); });
    Bind(
        actEditComment, [this] { actEditCommentExecute(); },
        [this](TAction& A) { actEditCommentUpdate(A); });
    Bind(
        actFindInList, [this] { actFindInListExecute(); },
        [this](TAction& A) { actFindInListUpdate(A); });
    Bind(
        actSelectComputer, [this] { actSelectComputerExecute(); },
        [](TAction& A) { A.setEnabled(true); });

    // The copy submenus list the columns under their current captions, and
    // their items follow actCopy: a submenu offers nothing to copy when no
    // row is selected.
    for (QMenu* M : {mnCopyMain, mnCopyPopUp})
        if (M) {
            connect(M, &QMenu::aboutToShow, this, [this, M] { BuildCopyMenu(M); });
            M->menuAction()->setEnabled(actCopy->isEnabled());
            connect(actCopy, &QAction::changed, M,
                    [this, M] { M->menuAction()->setEnabled(actCopy->isEnabled()); });
        }
}

void TfrmTolvex::PaintStripe()
{
    ui->vstMacList->SetStripes(bStripped);
}

// --- Rows ------------------------------------------------------------------------------

void TfrmTolvex::AddComputerToList(TComputer* Computer)
{
    // Placed at its sorted position and filtered as it comes: the same as
    // filtering and sorting every row again, without touching the others.
    FResults->AddComputer(Computer);
    UpdateStatusCounts();
}

void TfrmTolvex::AddLogEntry(int Kind, const std::string& Text)
{
    FLog->Add(Kind, Text, bInverseLog);
}

std::string TfrmTolvex::vstMacListGetText(TVirtualNode* Node, int Column)
{
    return FResults->Text(Node, Column);
}

std::string TfrmTolvex::vstLogGetText(TVirtualNode* Node, int)
{
    const TTreeLogTaskData* E = FLog->Entry(Node);
    return E ? E->Text : std::string();
}

void TfrmTolvex::SortResultList()
{
    FResults->Sort();
}

void TfrmTolvex::ApplyFilter()
{
    FResults->SetFilter(ui->cmbFilterBy->currentIndex(), FromQ(ui->edFilter->text()));
}

void TfrmTolvex::edFilterChange()
{
    ApplyFilter();
}

void TfrmTolvex::sbClearFiltersClick()
{
    ui->edFilter->clear();
    ApplyFilter();
}

void TfrmTolvex::actShowFiltersExecute()
{
    ui->pnlFilters->setVisible(actShowFilters->isChecked());
}

void TfrmTolvex::actHideFiltersExecute()
{
    actShowFilters->setChecked(!actShowFilters->isChecked());
    actShowFiltersExecute();
}

// --- Clear -------------------------------------------------------------------------------

void TfrmTolvex::actClearListExecute()
{
    // The rows go first, then the computers they pointed at: a file saved
    // after clearing holds nothing that the list no longer shows.
    FResults->Clear();
    FLog->Clear();
    if (ComputerList)
        ComputerList->clear();
    UpdateStatusCounts();
    ClearElapsedTime();
}

void TfrmTolvex::actClearListUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstMacList->RootNodeCount() > 0 || ui->vstLog->RootNodeCount() > 0);
}

// --- Log -----------------------------------------------------------------------------------

void TfrmTolvex::actShowLogExecute()
{
    bShowLog = actShowLog->isChecked();
    ApplyLogVisibility();
}

void TfrmTolvex::actShowLogUpdate(TAction& Action)
{
    Action.setEnabled(true);
    Action.setChecked(bShowLog);
}

void TfrmTolvex::actHideLogExecute()
{
    bShowLog = false;
    actShowLog->setChecked(false);
    ApplyLogVisibility();
}

void TfrmTolvex::actCopyLogExecute()
{
    SetClipboardText(FLog->SelectionText());
}

void TfrmTolvex::actCopyLogUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstLog->SelectedCount() > 0);
}

// --- Comments ------------------------------------------------------------------------------

std::string TfrmTolvex::GetMacComment(const std::string& MAC) const
{
    return MacComments.Get(MAC);
}

std::string TfrmTolvex::GetNodeMac(TVirtualNode* Node)
{
    return FResults->NodeMac(Node);
}

void TfrmTolvex::actEditCommentUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstMacList->FocusedNode() != nullptr);
}

void TfrmTolvex::actEditCommentExecute()
{
    TVirtualNode* Node = ui->vstMacList->FocusedNode();
    const std::string MAC = GetNodeMac(Node);
    if (MAC.empty())
        return;
    std::string Comment = GetMacComment(MAC);
    if (!InputQuery(this, Translate("Edit comment"),
                    FormatChecked(Translate("Comment for %s:"), "Comment for %s:", {MAC}), Comment))
        return;
    FResults->SetComment(MAC, Comment);
    ui->vstMacList->InvalidateNode(Node);
    // Kept at once, not only at exit: a crash or a killed session loses no
    // comment.
    try {
        SaveMacComments();
    } catch (const std::exception& E) {
        ShowErrorBox(E);
    }
}

// --- Copy ------------------------------------------------------------------------------------

void TfrmTolvex::CopySelection(int FirstColumn, int LastColumn)
{
    SetClipboardText(FResults->SelectionText(FirstColumn, LastColumn, ListSeparatorOfLocale()));
}

void TfrmTolvex::actCopyLineExecute()
{
    CopySelection(rcCaption, ui->vstMacList->ColumnCount() - 1);
}

void TfrmTolvex::actCopyLineUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstMacList->SelectedCount() > 0);
}

void TfrmTolvex::actCopyExecute()
{
    // Only opens its submenu.
}

void TfrmTolvex::actCopyUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstMacList->SelectedCount() > 0);
}

void TfrmTolvex::CopyColumnClick(int Column)
{
    CopySelection(Column, Column);
}

void TfrmTolvex::BuildCopyMenu(QMenu* ParentItem)
{
    if (!ParentItem)
        return;
    ParentItem->clear();
    ParentItem->addAction(actCopyLine);
    ParentItem->addSeparator();
    TVirtualStringTree& Mac = *ui->vstMacList;
    for (int I = 0; I < Mac.ColumnCount(); ++I) {
        QAction* Item = ParentItem->addAction(ToQ(Mac.Column(I).Text));
        Item->setData(I); // the column index, as the item's tag
        Item->setEnabled(Mac.SelectedCount() > 0);
        connect(Item, &QAction::triggered, this, [this, I] { CopyColumnClick(I); });
    }
}

// --- Find and the computer picker ---------------------------------------------------------

void TfrmTolvex::actFindInListExecute()
{
    ShowFindDialog(*ui->vstMacList);
}

void TfrmTolvex::actFindInListUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstMacList->RootNodeCount() > 0);
}

void TfrmTolvex::actSelectComputerExecute()
{
    // Linux has no shell dialog that browses the network for a computer: the
    // picker lists what the network neighbourhood's browsers know.
    std::string Name;
    if (SelectComputer(Name) && !Name.empty())
        ui->edRemoteComputer->setText(ToQ(Name));
}
