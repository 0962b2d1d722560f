// The main window's view settings: grid lines and stripes of the result
// list, its column choice and order, the header's pop-up menu, and the
// language menu with the re-translation of every open window.
#include "app/uTolvex.h"

#include "admin/uCommandList.h"
#include "app/udlgTuneColumn.h"
#include "forms/Actions.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "forms/uVirtualTreesColumnsUtil.h"
#include "settings/CommonFunctions.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"

#include "ui_uTolvex.h"

#include <QActionGroup>
#include <QDir>
#include <QHeaderView>
#include <QMenu>

void TfrmTolvex::CreateViewCommands()
{
    auto Add = [this](const char* Name, const QString& Caption, std::function<void()> Execute,
                      std::function<void(TAction&)> Update) {
        return ActionList->Add(QString::fromLatin1(Name), Caption, std::move(Execute),
                               std::move(Update));
    };
    const auto Enabled = [this](TAction& A) { ViewActionUpdate(A); };
    actShowVerticalGrid = Add(
        "actShowVerticalGrid", tr("Show vertical grid"), [this] { actShowVerticalGridExecute(); },
        [this](TAction& A) { actShowVerticalGridUpdate(A); });
    actShowHorizontalGrid = Add(
        "actShowHorizontalGrid", tr("Show horizontal grid"),
        [this] { actShowHorizontalGridExecute(); },
        [this](TAction& A) { actShowHorizontalGridUpdate(A); });
    actShowStripedGrid = Add(
        "actShowStripedGrid", tr("Show striped grid"), [this] { actShowStripedGridExecute(); },
        [this](TAction& A) { actShowStripedGridUpdate(A); });
    for (TAction* A : {actShowVerticalGrid, actShowHorizontalGrid, actShowStripedGrid})
        A->setCheckable(true);
    actSelectColumns = Add(
        "actSelectColumns", tr("Select columns..."), [this] { actSelectColumnsExecute(); },
        Enabled);
    actShowRestoreOrder = Add(
        "actShowRestoreOrder", tr("Restore columns order"),
        [this] { actShowRestoreOrderExecute(); }, Enabled);

    QMenu* View = ui->mnView;
    View->addSeparator();
    View->addAction(actShowHorizontalGrid);
    View->addAction(actShowVerticalGrid);
    View->addAction(actShowStripedGrid);
    View->addSeparator();
    View->addAction(actShowRestoreOrder);
    View->addAction(actSelectColumns);

    // The header has a menu of its own; without it a right click on the
    // header would reach the list and open the row pop-up.
    QHeaderView* Header = ui->vstMacList->header();
    Header->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(Header, &QWidget::customContextMenuRequested, this, [this, Header](const QPoint& P) {
        pmHeaderMacListPopup();
        pmHeaderMacList->popup(Header->mapToGlobal(P));
    });

    // File > Language, before "Preferences...".
    mnChangeLang = new QMenu(tr("Language"), ui->mnFile);
    mnChangeLang->setObjectName("mnChangeLang");
    ui->mnFile->insertMenu(actPreferences ? static_cast<QAction*>(actPreferences) : actExit,
                           mnChangeLang);
    // Built again each time it opens: a language file copied into the
    // folder meanwhile is offered without a restart.
    connect(mnChangeLang, &QMenu::aboutToShow, this, [this] { BuildLanguageMenu(); });
}

// --- Grid, stripes and columns ----------------------------------------------------------

void TfrmTolvex::ViewActionUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstMacList != nullptr);
}

void TfrmTolvex::actShowVerticalGridUpdate(TAction& Action)
{
    ViewActionUpdate(Action);
    Action.setChecked(ui->vstMacList->HasPaintOption(poShowVertGridLines));
}

void TfrmTolvex::actShowVerticalGridExecute()
{
    // The two options go together: lines that end with the rows would look
    // like a table cut off in the middle of the list.
    const bool Checked = actShowVerticalGrid->isChecked();
    ui->vstMacList->SetPaintOption(poShowVertGridLines, Checked);
    ui->vstMacList->SetPaintOption(poFullVertGridLines, Checked);
}

void TfrmTolvex::actShowHorizontalGridUpdate(TAction& Action)
{
    ViewActionUpdate(Action);
    Action.setChecked(ui->vstMacList->HasPaintOption(poShowHorzGridLines));
}

void TfrmTolvex::actShowHorizontalGridExecute()
{
    ui->vstMacList->SetPaintOption(poShowHorzGridLines, actShowHorizontalGrid->isChecked());
}

void TfrmTolvex::actShowStripedGridUpdate(TAction& Action)
{
    ViewActionUpdate(Action);
    Action.setChecked(bStripped);
}

void TfrmTolvex::actShowStripedGridExecute()
{
    bStripped = actShowStripedGrid->isChecked();
    PaintStripe();
}

void TfrmTolvex::ApplyGridOptions()
{
    TVirtualStringTree& Tree = *ui->vstMacList;
    Tree.SetPaintOption(poShowVertGridLines, bVertGrid);
    Tree.SetPaintOption(poFullVertGridLines, bVertGrid);
    Tree.SetPaintOption(poShowHorzGridLines, bHorzGrid);
}

void TfrmTolvex::StoreGridOptions()
{
    bVertGrid = ui->vstMacList->HasPaintOption(poShowVertGridLines);
    bHorzGrid = ui->vstMacList->HasPaintOption(poShowHorzGridLines);
}

void TfrmTolvex::actSelectColumnsExecute()
{
    TuneColumns(*ui->vstMacList);
}

void TfrmTolvex::actShowRestoreOrderExecute()
{
    RestoreColumnOrder();
}

void TfrmTolvex::RestoreColumnOrder()
{
    ReadColumnLayout(*ui->vstMacList, MACColumns, MACColumnCount - 1);
    for (int I = 0; I < MACColumnCount; ++I)
        MACColumns[static_cast<size_t>(I)].Position = I;
    ApplyColumnLayout(*ui->vstMacList, MACColumns, MACColumnCount - 1);
}

// --- Header pop-up -------------------------------------------------------------------------

void TfrmTolvex::pmHeaderMacListPopup()
{
    TVirtualStringTree& Tree = *ui->vstMacList;
    pmHeaderMacList->clear();
    // One check item per column, in display order: checked while it shows.
    std::vector<int> Order(static_cast<size_t>(Tree.ColumnCount()));
    for (int I = 0; I < Tree.ColumnCount(); ++I) {
        const int P = Tree.ColumnPosition(I);
        if (P >= 0 && P < Tree.ColumnCount())
            Order[static_cast<size_t>(P)] = I;
    }
    for (int Column : Order) {
        const TVirtualTreeColumn& C = Tree.Column(Column);
        QAction* Item = pmHeaderMacList->addAction(ToQ(EscapeMenuCaption(C.Text)));
        Item->setObjectName(QStringLiteral("pmHeaderMacListColumn%1").arg(Column));
        Item->setCheckable(true);
        Item->setChecked(C.Visible);
        connect(Item, &QAction::triggered, this, [this, Column](bool Checked) {
            // The main column stays, whatever reaches here.
            if (Column != ui->vstMacList->MainColumn() || Checked)
                ui->vstMacList->SetColumnVisible(Column, Checked);
        });
        pmHeaderMacListAddHeaderPopupItem(Column, Item);
    }
    BuildHeaderMenu();
}

void TfrmTolvex::pmHeaderMacListAddHeaderPopupItem(int Column, QAction* Item)
{
    // Without the main column the rows would have nothing to hang on.
    if (Column == ui->vstMacList->MainColumn())
        Item->setEnabled(false);
}

void TfrmTolvex::BuildHeaderMenu()
{
    pmHeaderMacList->addSeparator();
    pmHeaderMacList->addAction(actShowHorizontalGrid);
    pmHeaderMacList->addAction(actShowVerticalGrid);
    pmHeaderMacList->addAction(actShowStripedGrid);
    pmHeaderMacList->addSeparator();
    pmHeaderMacList->addAction(actShowRestoreOrder);
    pmHeaderMacList->addAction(actSelectColumns);
    pmHeaderMacList->addSeparator();
    // The check marks as they are now, not as the last idle round left them.
    for (TAction* A : {actShowHorizontalGrid, actShowVerticalGrid, actShowStripedGrid,
                       actShowRestoreOrder, actSelectColumns})
        A->Update();
}

// --- Language menu ----------------------------------------------------------------------------

void TfrmTolvex::BuildLanguageMenu()
{
    mnChangeLang->clear();
    for (QActionGroup* G : mnChangeLang->findChildren<QActionGroup*>())
        delete G;
    auto* Group = new QActionGroup(mnChangeLang);
    Group->setExclusive(true);
    if (LanguagesDir.empty())
        return;
    const QStringList Files = QDir(ToQ(LanguagesDir))
                                  .entryList({QStringLiteral("*.lng")},
                                             QDir::Files | QDir::Hidden | QDir::System, QDir::Name);
    for (const QString& File : Files) {
        const std::string Name = FromQ(File);
        // The file name travels in the item's data: the caption is for the
        // eye, with "&" doubled so it is not taken for a hot-key mark.
        QAction* Item = mnChangeLang->addAction(ToQ(EscapeMenuCaption(Name)));
        Item->setData(File);
        Item->setCheckable(true);
        Item->setChecked(Name == DefaultLang);
        Group->addAction(Item);
        connect(Item, &QAction::triggered, this, [this, Item] { LanguageClick(Item); });
    }
}

void TfrmTolvex::LanguageClick(QAction* Sender)
{
    if (!Sender)
        return;
    const std::string Name = FromQ(Sender->data().toString());
    if (Name.empty())
        return;
    DefaultLang = Name;
    Sender->setChecked(true);
    if (LangChanger) {
        const std::string Last = LangChanger->LangFile();
        LangChanger->SetLangFile(LanguagesDir + DefaultLang);
        // What the last language set goes back to the window's own text:
        // a language without a key for it shows the program's text then.
        FOwnTexts.Restore(Last);
    }
    ApplyLanguage();
}

void TfrmTolvex::ApplyLanguage()
{
    TVirtualStringTree& Tree = *ui->vstMacList;
    ReadColumnLayout(Tree, MACColumns, MACColumnCount - 1);
    LoadMessageStrings();
    if (LangChanger) {
        LangChanger->SetSeparator(",");
        LangChanger->TranslateForm(nullptr);
    }
    // The translation may have replaced the combo's items.
    ui->cmbTarget->setCurrentIndex(ui->pcTarget->currentIndex());
    ApplyColumnLayout(Tree, MACColumns, MACColumnCount - 1);
    BuildNetToolsMenus();
    BuildAdminToolsMenus();
    BuildCopyMenu(mnCopyMain);
    BuildCopyMenu(mnCopyPopUp);
    // The status bar's counts in the new language too.
    UpdateStatusCounts();
    UpdateCaption();
}
