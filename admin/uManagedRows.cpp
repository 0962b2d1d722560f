#include "admin/uManagedRows.h"

#include "forms/Actions.h"
#include "forms/VirtualTrees.h"

#include <QDialog>
#include <QHeaderView>

TManagedRows::TManagedRows(QDialog& Owner, TVirtualStringTree& Tree, const TButtons& Buttons,
                           const TActionNames& Names, TCallbacks Callbacks)
    : FTree(Tree), F(std::move(Callbacks)), FActions(new TActionList(&Owner))
{
    Tree.ResetColumns(1);
    Tree.header()->hide();
    Tree.header()->setStretchLastSection(true);
    Tree.setRootIsDecorated(false);
    Tree.setSelectionBehavior(QAbstractItemView::SelectRows);
    // A row stands for the item at its index; the text is asked for each
    // time, so moves and edits show without pointers into the collection.
    Tree.OnGetText = [this](TVirtualNode* Node, int) -> std::string {
        const int Row = static_cast<int>(FTree.IndexOf(Node).row());
        return Row >= 0 && Row < F.Count() ? F.Text(Row) : std::string();
    };

    const auto Focused = [this](TAction& A) { A.setEnabled(FocusedIndex() >= 0); };
    actMoveUP = FActions->Add(
        "actMoveUP", QDialog::tr("Up"), [this] { MoveFocused(-1); },
        [this](TAction& A) { A.setEnabled(FocusedIndex() > 0); });
    actMoveDown = FActions->Add(
        "actMoveDown", QDialog::tr("Down"), [this] { MoveFocused(1); },
        [this](TAction& A) {
            const int I = FocusedIndex();
            A.setEnabled(I >= 0 && I < F.Count() - 1);
        });
    actAdd = FActions->Add(Names.Add, QDialog::tr("Add"), [this] { AddItem(); });
    actEdit = FActions->Add(
        Names.Edit, QDialog::tr("Edit"), [this] { EditItem(); }, Focused);
    actRemove = FActions->Add(
        Names.Remove, QDialog::tr("Remove"), [this] { RemoveItem(); }, Focused);
    BindButton(Buttons.Up, actMoveUP);
    BindButton(Buttons.Down, actMoveDown);
    BindButton(Buttons.Add, actAdd);
    BindButton(Buttons.Edit, actEdit);
    BindButton(Buttons.Remove, actRemove);
    QObject::connect(&Tree, &QAbstractItemView::doubleClicked, &Owner,
                     [this] { actEdit->Execute(); });
}

void TManagedRows::Fill()
{
    FTree.Clear();
    for (int I = 0; I < F.Count(); ++I)
        FTree.AddChild(nullptr);
    FocusRow(0);
}

int TManagedRows::FocusedIndex() const
{
    TVirtualNode* Node = FTree.FocusedNode();
    if (!Node)
        return -1;
    const int Row = FTree.IndexOf(Node).row();
    return Row < F.Count() ? Row : -1;
}

void TManagedRows::FocusRow(int Index)
{
    FTree.ClearSelection();
    TVirtualNode* Node = Index >= 0 ? FTree.Child(nullptr, Index) : nullptr;
    if (Node) {
        FTree.SetSelected(Node, true);
        FTree.SetFocusedNode(Node);
        FTree.ScrollIntoView(Node, false);
    }
    FActions->UpdateActions();
}

void TManagedRows::MoveFocused(int Delta)
{
    const int I = FocusedIndex();
    if (I < 0 || I + Delta < 0 || I + Delta >= F.Count())
        return;
    F.Exchange(I, I + Delta);
    FTree.viewport()->update();
    FocusRow(I + Delta);
}

void TManagedRows::AddItem()
{
    if (!F.Add())
        return;
    FTree.AddChild(nullptr);
    FocusRow(F.Count() - 1);
    FTree.setFocus();
}

void TManagedRows::EditItem()
{
    const int I = FocusedIndex();
    if (I < 0)
        return;
    F.Edit(I);
    FTree.InvalidateNode(FTree.FocusedNode());
}

void TManagedRows::RemoveItem()
{
    const int I = FocusedIndex();
    if (I < 0 || !F.Remove(I))
        return;
    FTree.DeleteNode(FTree.Child(nullptr, I));
    FocusRow(I < F.Count() ? I : I - 1);
}
