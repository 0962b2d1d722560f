#include "uDlgCommandListManage.h"

#include "Actions.h"
#include "Dialogs.h"
#include "FormTranslation.h"
#include "Language.h"
#include "QtStrings.h"
#include "VirtualTrees.h"
#include "uCommandList.h"
#include "uDlgCommandListEdit.h"
#include "uFormat.h"

#include "ui_uDlgCommandListManage.h"

#include <QHeaderView>

TDlgCommandListManage::TDlgCommandListManage(TCommandList& List, QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgCommandListManage>()), FList(List),
      FActions(new TActionList(this))
{
    ui->setupUi(this);
    TVirtualStringTree* Tree = ui->vstCommandList;
    Tree->ResetColumns(1);
    Tree->header()->hide();
    Tree->header()->setStretchLastSection(true);
    Tree->setRootIsDecorated(false);
    Tree->setSelectionBehavior(QAbstractItemView::SelectRows);
    // A row stands for the command at its index; the text is asked for each
    // time, so moves and edits show without pointers into the collection.
    Tree->OnGetText = [this, Tree](TVirtualNode* Node, int) -> std::string {
        const int Row = static_cast<int>(Tree->IndexOf(Node).row());
        const TCommandListItem* C = FList.Items(Row);
        return C ? Translate(C->Name) : std::string();
    };

    const auto Focused = [this](TAction& A) { A.setEnabled(FocusedIndex() >= 0); };
    FactMoveUP = FActions->Add(
        "actMoveUP", tr("Up"), [this] { MoveFocused(-1); },
        [this](TAction& A) { A.setEnabled(FocusedIndex() > 0); });
    FactMoveDown = FActions->Add(
        "actMoveDown", tr("Down"), [this] { MoveFocused(1); },
        [this](TAction& A) {
            const int I = FocusedIndex();
            A.setEnabled(I >= 0 && I < FList.Count() - 1);
        });
    FactAddTool = FActions->Add("actAddTool", tr("Add"), [this] { AddTool(); });
    FactEditTool = FActions->Add(
        "actEditTool", tr("Edit"), [this] { EditTool(); }, Focused);
    FactRemoveTool = FActions->Add(
        "actRemoveTool", tr("Remove"), [this] { RemoveTool(); }, Focused);
    BindButton(ui->btnMoveUp, FactMoveUP);
    BindButton(ui->btnMoveDown, FactMoveDown);
    BindButton(ui->btnAdd, FactAddTool);
    BindButton(ui->btnEdit, FactEditTool);
    BindButton(ui->btnRemove, FactRemoveTool);
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(Tree, &QAbstractItemView::doubleClicked, this, [this] { FactEditTool->Execute(); });
    Fill();
}

TDlgCommandListManage::~TDlgCommandListManage() = default;

void TDlgCommandListManage::Fill()
{
    TVirtualStringTree* Tree = ui->vstCommandList;
    Tree->Clear();
    for (int I = 0; I < FList.Count(); ++I)
        Tree->AddChild(nullptr);
    FocusRow(0);
}

int TDlgCommandListManage::FocusedIndex() const
{
    TVirtualNode* Node = ui->vstCommandList->FocusedNode();
    if (!Node)
        return -1;
    const int Row = ui->vstCommandList->IndexOf(Node).row();
    return Row < FList.Count() ? Row : -1;
}

void TDlgCommandListManage::FocusRow(int Index)
{
    TVirtualStringTree* Tree = ui->vstCommandList;
    Tree->ClearSelection();
    TVirtualNode* Node = Index >= 0 ? Tree->Child(nullptr, Index) : nullptr;
    if (Node) {
        Tree->SetSelected(Node, true);
        Tree->SetFocusedNode(Node);
        Tree->ScrollIntoView(Node, false);
    }
    FActions->UpdateActions();
}

void TDlgCommandListManage::MoveFocused(int Delta)
{
    const int I = FocusedIndex();
    if (I < 0 || I + Delta < 0 || I + Delta >= FList.Count())
        return;
    FList.Exchange(I, I + Delta);
    ui->vstCommandList->viewport()->update();
    FocusRow(I + Delta);
}

void TDlgCommandListManage::AddTool()
{
    std::string Name, FileName, Directory, Parameters;
    std::string Operation = "open";
    std::int32_t ShowCmd = 1;
    if (!EditCommandListItem(Name, Operation, FileName, ShowCmd, Directory, Parameters) ||
        Name.empty() || FileName.empty())
        return;
    if (!FList.AddItem(Name, Operation, ShowCmd, Directory, Parameters, FileName))
        return;
    ui->vstCommandList->AddChild(nullptr);
    FocusRow(FList.Count() - 1);
    ui->vstCommandList->setFocus();
}

void TDlgCommandListManage::EditTool()
{
    TCommandListItem* C = FList.Items(FocusedIndex());
    if (!C)
        return;
    std::string Name = C->Name, Operation = C->Operation, FileName = C->FileName;
    std::string Directory = C->Directory, Parameters = C->Parameters;
    std::int32_t ShowCmd = C->ShowCmd;
    if (!EditCommandListItem(Name, Operation, FileName, ShowCmd, Directory, Parameters) ||
        Name.empty() || FileName.empty())
        return;
    if (Name != C->Name || Operation != C->Operation || FileName != C->FileName ||
        ShowCmd != C->ShowCmd || Directory != C->Directory || Parameters != C->Parameters) {
        C->Name = Name;
        C->Operation = Operation;
        C->FileName = FileName;
        C->ShowCmd = ShowCmd;
        C->Directory = Directory;
        C->Parameters = Parameters;
        FList.Modified = true;
    }
    ui->vstCommandList->InvalidateNode(ui->vstCommandList->FocusedNode());
}

void TDlgCommandListManage::RemoveTool()
{
    const int I = FocusedIndex();
    const TCommandListItem* C = FList.Items(I);
    if (!C)
        return;
    const std::string Text =
        FormatChecked(Translate("sRemoveCommandListItemInfo"), "Remove the command %s?", {C->Name});
    if (ShowMessageBox(Text, Translate("sRemoveCommandListItemCaption"), TMsgIcon::Warning,
                       TMsgButtons::YesNo) != mrYes)
        return;
    FList.Delete(I);
    ui->vstCommandList->DeleteNode(ui->vstCommandList->Child(nullptr, I));
    FocusRow(I < FList.Count() ? I : I - 1);
}

void ManageCommandList(TCommandList& List)
{
    TCommandList Copy(List.Name);
    Copy.Assign(List);
    TDlgCommandListManage Dlg(Copy, DialogOwner());
    TranslateForm(&Dlg);
    if (ShowModal(Dlg) == mrOk)
        List.Assign(Copy); // marks List modified only when it changed
}
