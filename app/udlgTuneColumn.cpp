#include "app/udlgTuneColumn.h"

#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "forms/uVirtualTreesColumnsUtil.h"
#include "settings/Language.h"

#include "ui_udlgTuneColumn.h"

#include <QHeaderView>
#include <QLineEdit>

TdlgTuneColumn::TdlgTuneColumn(TVirtualStringTree& Tree, QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TdlgTuneColumn>()), FTree(Tree)
{
    ui->setupUi(this);
    // The up-down and its edit are one control here; the edit keeps its
    // own name for the language file and for whoever looks for it.
    if (auto* Edit = ui->udColumnWidth->findChild<QLineEdit*>())
        Edit->setObjectName("edColumnWidth");
    ui->TreeColumns->SetHotTrack(true);
    // Its one column is as wide as the list, so the captions are readable.
    ui->TreeColumns->header()->setStretchLastSection(true);
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);

    FLayout.resize(static_cast<size_t>(FTree.ColumnCount()));
    ReadColumnLayout(FTree, FLayout, FTree.ColumnCount() - 1);

    ui->cmbAlignText->addItem(ToQ(Translate("sAllignLeft")));
    ui->cmbAlignText->addItem(ToQ(Translate("sAllignRight")));
    ui->cmbAlignText->addItem(ToQ(Translate("sAllignCenter")));

    TVirtualStringTree& List = *ui->TreeColumns;
    List.OnGetText = [this](TVirtualNode* Node, int) -> std::string {
        const int* Column = ui->TreeColumns->NodeData<int>(Node);
        if (!Column || *Column < 0 || *Column >= static_cast<int>(FLayout.size()))
            return {};
        return FLayout[static_cast<size_t>(*Column)].Caption;
    };
    List.OnChecking = [this](TVirtualNode* Node, TNodeCheckState NewState, bool& Allowed) {
        const int* Column = ui->TreeColumns->NodeData<int>(Node);
        // The main column always stays visible.
        if (Column && *Column == FTree.MainColumn() && NewState == TNodeCheckState::Unchecked)
            Allowed = false;
    };
    List.OnChecked = [this](TVirtualNode* Node) {
        const int* Column = ui->TreeColumns->NodeData<int>(Node);
        if (!Column || *Column < 0 || *Column >= static_cast<int>(FLayout.size()))
            return;
        FLayout[static_cast<size_t>(*Column)].Visible =
            Node->CheckState == TNodeCheckState::Checked;
        ApplyToTree();
    };
    List.OnFocusChanged = [this](TVirtualNode*, int) {
        const int C = FocusedColumn();
        if (C < 0)
            return;
        const TListColumnStore& L = FLayout[static_cast<size_t>(C)];
        ui->udColumnWidth->setValue(L.Width);
        ui->cmbAlignText->setCurrentIndex(L.Alignment <= 2 ? L.Alignment : 0);
        ApplyToTree();
    };
    connect(ui->udColumnWidth, &QSpinBox::valueChanged, this, [this] { TakeWidth(); });
    connect(ui->udColumnWidth, &QSpinBox::editingFinished, this, [this] { TakeWidth(); });
    connect(ui->cmbAlignText, &QComboBox::activated, this, [this](int Index) {
        const int C = FocusedColumn();
        if (C < 0 || Index < 0)
            return;
        FLayout[static_cast<size_t>(C)].Alignment = static_cast<uint8_t>(Index);
        ApplyToTree();
    });

    // One row per display slot, in display order.
    const int Count = static_cast<int>(FLayout.size());
    for (int K = 0; K < Count; ++K) {
        int Column = -1;
        for (int J = 0; J < Count; ++J)
            if (FLayout[static_cast<size_t>(J)].Position == K) {
                Column = J;
                break;
            }
        TVirtualNode* Node = List.AddChild(nullptr, Column);
        List.SetCheckBox(Node, true);
        List.SetCheckState(Node, Column >= 0 && FLayout[static_cast<size_t>(Column)].Visible
                                     ? TNodeCheckState::Checked
                                     : TNodeCheckState::Unchecked);
    }
    if (TVirtualNode* First = List.GetFirst()) {
        List.SetFocusedNode(First);
        List.SetSelected(First, true);
    }
}

TdlgTuneColumn::~TdlgTuneColumn() = default;

int TdlgTuneColumn::FocusedColumn() const
{
    const int* Column = ui->TreeColumns->NodeData<int>(ui->TreeColumns->FocusedNode());
    if (!Column || *Column < 0 || *Column >= static_cast<int>(FLayout.size()))
        return -1;
    return *Column;
}

void TdlgTuneColumn::ApplyToTree()
{
    ApplyColumnLayout(FTree, FLayout, static_cast<int>(FLayout.size()) - 1);
}

void TdlgTuneColumn::TakeWidth()
{
    const int C = FocusedColumn();
    if (C < 0)
        return;
    // The up-down's position, never the raw text: it stays in its range.
    FLayout[static_cast<size_t>(C)].Width = ui->udColumnWidth->value();
    ApplyToTree();
}

void TdlgTuneColumn::done(int Result)
{
    TakeWidth();
    QDialog::done(Result);
}

void TuneColumns(TVirtualStringTree& Tree)
{
    // Kept before the dialog exists: filling its width control already
    // applies the up-down's range to the first column, and Cancel must
    // bring back what the user had, a column wider than that range too.
    std::vector<TListColumnStore> Kept(static_cast<size_t>(Tree.ColumnCount()));
    ReadColumnLayout(Tree, Kept, Tree.ColumnCount() - 1);
    const int Last = Tree.ColumnCount() - 1;
    TdlgTuneColumn Dlg(Tree, DialogOwner());
    TranslateForm(&Dlg);
    if (ShowModal(Dlg) == mrOk)
        ApplyColumnLayout(Tree, Dlg.Layout(), Last);
    else
        ApplyColumnLayout(Tree, Kept, Last);
}
