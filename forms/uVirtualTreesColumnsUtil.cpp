#include "forms/uVirtualTreesColumnsUtil.h"

#include "forms/VirtualTrees.h"

#include <algorithm>

namespace {

constexpr int MinColumnWidth = 50;

int LastOf(size_t Size, int LastIndex)
{
    return std::min(LastIndex, static_cast<int>(Size) - 1);
}

} // namespace

void ApplyColumnLayout(TVirtualStringTree& Tree, std::span<const TListColumnStore> Layout,
                       int LastIndex)
{
    const int Last = LastOf(Layout.size(), LastIndex);
    Tree.ResetColumns(Last + 1);
    int SortColumn = 0;
    for (int I = 0; I <= Last; ++I) {
        const TListColumnStore& L = Layout[static_cast<size_t>(I)];
        Tree.SetColumnAlignment(I, L.Alignment);
        Tree.SetColumnText(I, L.Caption);
        Tree.SetColumnWidth(I, L.Width);
        Tree.SetColumnMinWidth(I, MinColumnWidth);
        if (L.Sorted)
            SortColumn = I;
    }
    // Slot by slot, so a position that names no slot leaves its column
    // where the moves of the others put it.
    for (int P = 0; P <= Last; ++P)
        for (int J = 0; J <= Last; ++J)
            if (Layout[static_cast<size_t>(J)].Position == P)
                Tree.SetColumnPosition(J, P);
    if (Last >= 0) {
        Tree.SetSortColumn(SortColumn);
        Tree.SetSortDirection(Layout[static_cast<size_t>(SortColumn)].SortDirection);
    }
    for (int I = 0; I <= Last; ++I)
        Tree.SetColumnVisible(I, Layout[static_cast<size_t>(I)].Visible);
}

void ReadColumnLayout(const TVirtualStringTree& Tree, std::span<TListColumnStore> Layout,
                      int LastIndex)
{
    const int Last = std::min(LastOf(Layout.size(), LastIndex), Tree.ColumnCount() - 1);
    for (int I = 0; I <= Last; ++I) {
        const TVirtualTreeColumn& C = Tree.Column(I);
        TListColumnStore& L = Layout[static_cast<size_t>(I)];
        L.Alignment = C.Alignment;
        L.Width = C.Width;
        L.Caption = C.Text;
        L.Visible = C.Visible;
        L.Position = Tree.ColumnPosition(I);
        L.Sorted = I == Tree.SortColumn();
        if (L.Sorted)
            L.SortDirection = Tree.SortDirection();
    }
}
