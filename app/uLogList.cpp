#include "app/uLogList.h"

#include "app/uListExport.h"
#include "forms/VirtualTrees.h"
#include "settings/CommonFunctions.h"

int GetLogImageIndex(const TTreeLogTaskData* Entry)
{
    return (Entry && Entry->Kind >= 0 && Entry->Kind <= 3) ? Entry->Kind : -1;
}

TLogList::TLogList(TVirtualStringTree& Tree) : FTree(Tree)
{
    FTree.OnGetText = [this](TVirtualNode* N, int) {
        const TTreeLogTaskData* E = Entry(N);
        return E ? E->Text : std::string();
    };
    FTree.OnGetHint = FTree.OnGetText;
    FTree.OnGetImageIndex = [this](TVirtualNode* N, int) { return GetLogImageIndex(Entry(N)); };
}

TLogList::~TLogList()
{
    FTree.OnGetText = nullptr;
    FTree.OnGetHint = nullptr;
    FTree.OnGetImageIndex = nullptr;
}

const TTreeLogTaskData* TLogList::Entry(TVirtualNode* Node) const
{
    return FTree.NodeData<TTreeLogTaskData>(Node);
}

TVirtualNode* TLogList::Add(int32_t Kind, const std::string& Text, bool Inverse)
{
    if (Text.empty())
        return nullptr;
    FTree.BeginUpdate();
    TTreeLogTaskData E{Now(), Text, Kind};
    TVirtualNode* Node = Inverse ? FTree.InsertChild(nullptr, 0, std::move(E))
                                 : FTree.AddChild(nullptr, std::move(E));
    FTree.EndUpdate();
    if (!Inverse)
        FTree.ScrollIntoView(Node, true);
    return Node;
}

std::string TLogList::SelectionText() const
{
    std::vector<std::string> Lines;
    for (TVirtualNode* N : FTree.SelectedNodes())
        if (const TTreeLogTaskData* E = Entry(N))
            Lines.push_back(E->Text);
    return JoinCopyLines(Lines);
}

void TLogList::Clear()
{
    FTree.Clear();
}
