// A stored column layout copied into a list's header and read back: what the
// options file keeps of the result list's columns between two starts.
#include "forms/VirtualTrees.h"
#include "forms/uVirtualTreesColumnsUtil.h"

#include <QHeaderView>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<TListColumnStore> FiveColumns()
{
    std::vector<TListColumnStore> L(5);
    for (int I = 0; I < 5; ++I) {
        L[I].Caption = "Col" + std::to_string(I);
        L[I].Width = 60 + 10 * I;
        L[I].Position = 4 - I;
    }
    L[2].Sorted = true;
    L[2].SortDirection = 1;
    return L;
}

bool SameLayout(const std::vector<TListColumnStore>& A, const std::vector<TListColumnStore>& B)
{
    for (size_t I = 0; I < A.size(); ++I)
        if (A[I].Visible != B[I].Visible || A[I].Width != B[I].Width ||
            A[I].Position != B[I].Position || A[I].Caption != B[I].Caption ||
            A[I].Alignment != B[I].Alignment || A[I].Sorted != B[I].Sorted)
            return false;
    return A.size() == B.size();
}

TEST(ColumnLayoutGui, SurvivesApplyAndReadWithHiddenColumnsKeepingTheirWidth)
{
    App();
    TVirtualStringTree Tree;
    auto Layout = FiveColumns();
    Layout[1].Visible = false;
    Layout[3].Alignment = 1;
    Layout[4].Alignment = 2;
    ApplyColumnLayout(Tree, Layout, 4);
    ASSERT_EQ(Tree.ColumnCount(), 5);
    EXPECT_TRUE(Tree.header()->isSectionHidden(1));
    EXPECT_EQ(Tree.header()->visualIndex(0), 4);
    EXPECT_EQ(Tree.header()->visualIndex(4), 0);
    EXPECT_EQ(Tree.SortColumn(), 2);
    EXPECT_EQ(Tree.SortDirection(), 1);

    std::vector<TListColumnStore> Read(5);
    ReadColumnLayout(Tree, Read, 4);
    EXPECT_TRUE(SameLayout(Layout, Read));
    EXPECT_EQ(Read[1].Width, 70); // hidden, yet its width is kept
    EXPECT_EQ(Read[2].SortDirection, 1);

    // Shown again, the column comes back at its width.
    Tree.SetColumnVisible(1, true);
    EXPECT_EQ(Tree.header()->sectionSize(1), 70);
}

TEST(ColumnLayoutGui, LaterSortedColumnWinsAndNarrowWidthsAreRaised)
{
    App();
    TVirtualStringTree Tree;
    auto Layout = FiveColumns();
    Layout[3].Sorted = true;
    Layout[0].Width = 20;
    ApplyColumnLayout(Tree, Layout, 4);
    EXPECT_EQ(Tree.SortColumn(), 3);
    EXPECT_EQ(Tree.Column(0).Width, 50);
    // Read back, only the sort column's entry claims to be sorted.
    std::vector<TListColumnStore> Read(5);
    ReadColumnLayout(Tree, Read, 4);
    EXPECT_FALSE(Read[2].Sorted);
    EXPECT_TRUE(Read[3].Sorted);
}

TEST(ColumnLayoutGui, PositionsThatNameNoSlotAndIndexesBeyondTheLayout)
{
    App();
    TVirtualStringTree Tree;
    std::vector<TListColumnStore> Layout(3);
    Layout[0].Position = 0;
    Layout[1].Position = 7; // a stored file from a list with more columns
    Layout[2].Position = 1;
    // More columns asked for than the layout holds: only the layout's.
    ApplyColumnLayout(Tree, Layout, 9);
    ASSERT_EQ(Tree.ColumnCount(), 3);
    EXPECT_EQ(Tree.ColumnPosition(0), 0);
    EXPECT_EQ(Tree.ColumnPosition(2), 1);
    EXPECT_EQ(Tree.ColumnPosition(1), 2);

    // A shorter layout takes only as many columns as it has room for, and
    // never reads past the header.
    std::vector<TListColumnStore> Two(2);
    ReadColumnLayout(Tree, Two, 4);
    EXPECT_EQ(Two[1].Position, 2);
    std::vector<TListColumnStore> Five(5);
    Five[4].Caption = "untouched";
    ReadColumnLayout(Tree, Five, 4);
    EXPECT_EQ(Five[4].Caption, "untouched");
}

} // namespace
