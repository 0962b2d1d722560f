#include "uDlgPresetsManage.h"

#include "Actions.h"
#include "Dialogs.h"
#include "FormTranslation.h"
#include "Language.h"
#include "QtStrings.h"
#include "VirtualTrees.h"
#include "uDlgPresetEdit.h"
#include "uFormat.h"
#include "uPresets.h"

#include "ui_uDlgPresetsManage.h"

#include <QHeaderView>

TDlgPresetsManage::TDlgPresetsManage(TPresets& Presets, QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgPresetsManage>()), FPresets(Presets),
      FActions(new TActionList(this))
{
    ui->setupUi(this);
    TVirtualStringTree* Tree = ui->vstPresets;
    Tree->ResetColumns(1);
    Tree->header()->hide();
    Tree->header()->setStretchLastSection(true);
    Tree->setRootIsDecorated(false);
    Tree->setSelectionBehavior(QAbstractItemView::SelectRows);
    // A row's data is its index; the text is asked for each time, so moves
    // and edits show without keeping pointers into the collection.
    Tree->OnGetText = [this, Tree](TVirtualNode* Node, int) -> std::string {
        const int Row = static_cast<int>(Tree->IndexOf(Node).row());
        const TPreset* P = FPresets.Items(Row);
        return P ? P->Name : std::string();
    };

    const auto Focused = [this](TAction& A) { A.setEnabled(FocusedIndex() >= 0); };
    FactMoveUP = FActions->Add(
        "actMoveUP", tr("Up"), [this] { MoveFocused(-1); },
        [this](TAction& A) { A.setEnabled(FocusedIndex() > 0); });
    FactMoveDown = FActions->Add(
        "actMoveDown", tr("Down"), [this] { MoveFocused(1); },
        [this](TAction& A) {
            const int I = FocusedIndex();
            A.setEnabled(I >= 0 && I < FPresets.Count() - 1);
        });
    FactAdd = FActions->Add("actAdd", tr("Add"), [this] { Add(); });
    FactEdit = FActions->Add(
        "actEdit", tr("Edit"), [this] { Edit(); }, Focused);
    FactRemove = FActions->Add(
        "actRemove", tr("Remove"), [this] { Remove(); }, Focused);
    BindButton(ui->btnMoveUp, FactMoveUP);
    BindButton(ui->btnMoveDown, FactMoveDown);
    BindButton(ui->btnAdd, FactAdd);
    BindButton(ui->btnEdit, FactEdit);
    BindButton(ui->btnRemove, FactRemove);
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(Tree, &QAbstractItemView::doubleClicked, this, [this] { FactEdit->Execute(); });
    Fill();
}

TDlgPresetsManage::~TDlgPresetsManage() = default;

void TDlgPresetsManage::Fill()
{
    TVirtualStringTree* Tree = ui->vstPresets;
    Tree->Clear();
    for (int I = 0; I < FPresets.Count(); ++I)
        Tree->AddChild(nullptr);
    FocusRow(0);
}

int TDlgPresetsManage::FocusedIndex() const
{
    TVirtualNode* Node = ui->vstPresets->FocusedNode();
    if (!Node)
        return -1;
    const int Row = ui->vstPresets->IndexOf(Node).row();
    return Row < FPresets.Count() ? Row : -1;
}

void TDlgPresetsManage::FocusRow(int Index)
{
    TVirtualStringTree* Tree = ui->vstPresets;
    Tree->ClearSelection();
    TVirtualNode* Node = Index >= 0 ? Tree->Child(nullptr, Index) : nullptr;
    if (Node) {
        Tree->SetSelected(Node, true);
        Tree->SetFocusedNode(Node);
        Tree->ScrollIntoView(Node, false);
    }
    FActions->UpdateActions();
}

void TDlgPresetsManage::MoveFocused(int Delta)
{
    const int I = FocusedIndex();
    if (I < 0 || I + Delta < 0 || I + Delta >= FPresets.Count())
        return;
    FPresets.Move(I, I + Delta);
    ui->vstPresets->viewport()->update();
    FocusRow(I + Delta);
}

void TDlgPresetsManage::Add()
{
    std::string Name, Title, Text;
    std::int32_t Type = MessageTypeNone;
    if (!EditPreset(Name, Title, Text, Type) || Name.empty() || Text.empty())
        return;
    FPresets.AddPreset(Name, Title, Type, Text);
    ui->vstPresets->AddChild(nullptr);
    FocusRow(FPresets.Count() - 1);
    ui->vstPresets->setFocus();
}

void TDlgPresetsManage::Edit()
{
    const int I = FocusedIndex();
    TPreset* P = FPresets.Items(I);
    if (!P)
        return;
    std::string Name = P->Name, Title = P->Title, Text = P->Text;
    std::int32_t Type = P->MessageType;
    if (!EditPreset(Name, Title, Text, Type) || Name.empty() || Text.empty())
        return;
    if (Name != P->Name || Title != P->Title || Text != P->Text || Type != P->MessageType) {
        P->Name = Name;
        P->Title = Title;
        P->Text = NormaliseLineBreaks(Text);
        P->MessageType = Type;
        FPresets.Modified = true;
    }
    ui->vstPresets->InvalidateNode(ui->vstPresets->FocusedNode());
}

void TDlgPresetsManage::Remove()
{
    const int I = FocusedIndex();
    const TPreset* P = FPresets.Items(I);
    if (!P)
        return;
    const std::string Text = FormatChecked(
        Translate("sRemovePresetInfo"), "Do you really want to remove preset \"%s\"?", {P->Name});
    if (ShowMessageBox(Text, Translate("sRemovePresetCaption"), TMsgIcon::Warning,
                       TMsgButtons::YesNo) != mrYes)
        return;
    FPresets.Delete(I);
    ui->vstPresets->DeleteNode(ui->vstPresets->Child(nullptr, I));
    FocusRow(I < FPresets.Count() ? I : I - 1);
}

void ManagePresets(TPresets& Presets)
{
    TPresets Copy;
    Copy.Assign(Presets);
    TDlgPresetsManage Dlg(Copy, DialogOwner());
    TranslateForm(&Dlg);
    if (ShowModal(Dlg) == mrOk)
        Presets.Assign(Copy); // marks Presets modified only when it changed
}
