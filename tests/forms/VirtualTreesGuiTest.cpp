// The list control's node tree: row numbers after insertions in the middle,
// sorted insertion against a stable sort of everything, and the selection,
// focus, expansion and filter staying with their rows when they move.
#include "forms/VirtualTrees.h"

#include <QHeaderView>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

// A row's data: the key it sorts by and the order it was added in.
using TRow = std::pair<int, int>;

class VirtualTreesGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        Tree.ResetColumns(2);
        Tree.OnGetText = [this](TVirtualNode* N, int Column) {
            const TRow* R = Tree.NodeData<TRow>(N);
            return R ? std::to_string(Column == 0 ? R->first : R->second) : std::string();
        };
        Tree.OnCompareNodes = [this](TVirtualNode* A, TVirtualNode* B, int) {
            const int KA = Tree.NodeData<TRow>(A)->first;
            const int KB = Tree.NodeData<TRow>(B)->first;
            return KA < KB ? -1 : (KA > KB ? 1 : 0);
        };
    }

    // The rows of Parent's children as the model shows them, and a check
    // that every node knows its own row.
    std::vector<TRow> Rows(TVirtualNode* Parent = nullptr)
    {
        std::vector<TRow> R;
        for (int I = 0; I < Tree.ChildCount(Parent); ++I) {
            TVirtualNode* N = Tree.Child(Parent, I);
            EXPECT_EQ(N->Row(), I);
            EXPECT_EQ(Tree.IndexOf(N).row(), I);
            EXPECT_EQ(Tree.NodeAt(Tree.model()->index(I, 0, Tree.IndexOf(Parent))), N);
            R.push_back(*Tree.NodeData<TRow>(N));
        }
        return R;
    }

    QApplication& Application = App(); // before any widget
    TVirtualStringTree Tree;
};

TEST_F(VirtualTreesGui, RowsInsertedInTheMiddleAndDeletedKeepEveryRowNumberRight)
{
    for (int I = 0; I < 5; ++I)
        Tree.AddChild(nullptr, TRow{I, I});
    Tree.InsertChild(nullptr, 2, TRow{10, 5});
    Tree.InsertChild(nullptr, 0, TRow{11, 6});
    Tree.InsertChild(nullptr, 99, TRow{12, 7}); // past the end: appended
    Tree.InsertChild(nullptr, -1, TRow{13, 8}); // negative: appended
    EXPECT_EQ(Rows(),
              (std::vector<TRow>{
                  {11, 6}, {0, 0}, {1, 1}, {10, 5}, {2, 2}, {3, 3}, {4, 4}, {12, 7}, {13, 8}}));
    // Several insertions without a look at the rows in between.
    TVirtualNode* Last = Tree.Child(nullptr, 8);
    Tree.InsertChild(nullptr, 1, TRow{20, 9});
    Tree.InsertChild(nullptr, 1, TRow{21, 10});
    EXPECT_EQ(Last->Row(), 10);

    Tree.DeleteNode(Tree.Child(nullptr, 0));
    Tree.DeleteNode(Tree.Child(nullptr, 4));
    EXPECT_EQ(Rows(),
              (std::vector<TRow>{
                  {21, 10}, {20, 9}, {0, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 4}, {12, 7}, {13, 8}}));

    // Depth first, children of collapsed rows too.
    TVirtualNode* Parent = Tree.Child(nullptr, 2);
    Tree.AddChild(Parent, TRow{30, 11});
    Tree.InsertChild(Parent, 0, TRow{31, 12});
    std::vector<int> Walk;
    for (TVirtualNode* N = Tree.GetFirst(); N; N = Tree.GetNext(N))
        Walk.push_back(Tree.NodeData<TRow>(N)->first);
    EXPECT_EQ(Walk, (std::vector<int>{21, 20, 0, 31, 30, 1, 2, 3, 4, 12, 13}));
    EXPECT_FALSE(Tree.Expanded(Parent));

    Tree.Clear();
    EXPECT_EQ(Tree.RootNodeCount(), 0);
    EXPECT_EQ(Tree.GetFirst(), nullptr);
    Tree.InsertChild(nullptr, 0, TRow{1, 0});
    Tree.InsertChild(nullptr, 0, TRow{0, 1});
    EXPECT_EQ(Rows(), (std::vector<TRow>{{0, 1}, {1, 0}}));
}

TEST_F(VirtualTreesGui, ThousandsOfRowsInsertedDeletedAndSortedAnywhereStayInOrder)
{
    // A long list, changed at random places, against a plain vector.
    std::mt19937 Random(11);
    std::vector<TRow> Model;
    int Next = 0;
    std::vector<std::any> Batch;
    for (int I = 0; I < 1500; ++I) {
        Batch.emplace_back(TRow{I % 7, Next});
        Model.emplace_back(I % 7, Next++);
    }
    Tree.AddChildren(nullptr, std::move(Batch));
    for (int Step = 0; Step < 4000; ++Step) {
        const int Size = static_cast<int>(Model.size());
        const int At = std::uniform_int_distribution<int>(0, Size)(Random);
        switch (Step % 4) {
        case 0:
        case 1:
            Tree.InsertChild(nullptr, At, TRow{Step % 5, Next});
            Model.insert(Model.begin() + At, TRow{Step % 5, Next++});
            break;
        case 2:
            if (At < Size) {
                Tree.DeleteNode(Tree.Child(nullptr, At));
                Model.erase(Model.begin() + At);
            }
            break;
        default:
            Tree.AddChildSorted(nullptr, TRow{Step % 3, Next}, 0, 0);
            Model.insert(
                std::upper_bound(Model.begin(), Model.end(), TRow{Step % 3, Next},
                                 [](const TRow& A, const TRow& B) { return A.first < B.first; }),
                TRow{Step % 3, Next});
            ++Next;
            std::stable_sort(Model.begin(), Model.end(),
                             [](const TRow& A, const TRow& B) { return A.first < B.first; });
            Tree.SortTree(0, 0);
            break;
        }
        if (Step % 500 == 0) {
            ASSERT_EQ(Rows(), Model) << "step " << Step;
        }
    }
    EXPECT_EQ(Rows(), Model);
    EXPECT_EQ(Tree.model()->rowCount({}), static_cast<int>(Model.size()));
    // Deleting every row from the front empties it completely.
    while (Tree.RootNodeCount() > 0)
        Tree.DeleteNode(Tree.GetFirst());
    EXPECT_EQ(Tree.GetFirst(), nullptr);
    Tree.AddChild(nullptr, TRow{1, 1});
    EXPECT_EQ(Rows(), (std::vector<TRow>{{1, 1}}));
}

TEST_F(VirtualTreesGui, SortedInsertionGivesWhatAStableSortOfEverythingGives)
{
    std::mt19937 Random(7);
    std::uniform_int_distribution<int> Key(0, 9); // many equal keys
    std::vector<TRow> Data;
    for (int I = 0; I < 200; ++I)
        Data.emplace_back(Key(Random), I);
    for (int Direction : {0, 1}) {
        TVirtualStringTree Sorted, Appended;
        for (TVirtualStringTree* T : {&Sorted, &Appended}) {
            T->ResetColumns(2);
            T->OnCompareNodes = [T](TVirtualNode* A, TVirtualNode* B, int) {
                const int KA = T->NodeData<TRow>(A)->first;
                const int KB = T->NodeData<TRow>(B)->first;
                return KA < KB ? -1 : (KA > KB ? 1 : 0);
            };
        }
        for (const TRow& R : Data) {
            Sorted.AddChildSorted(nullptr, R, 0, Direction);
            Appended.AddChild(nullptr, R);
        }
        Appended.SortTree(0, Direction);
        std::vector<TRow> A, B;
        for (TVirtualNode* N = Sorted.GetFirst(); N; N = Sorted.GetNext(N))
            A.push_back(*Sorted.NodeData<TRow>(N));
        for (TVirtualNode* N = Appended.GetFirst(); N; N = Appended.GetNext(N))
            B.push_back(*Appended.NodeData<TRow>(N));
        EXPECT_EQ(A, B) << "direction " << Direction;
        // Equal keys keep the order they came in.
        for (size_t I = 1; I < A.size(); ++I) {
            if (A[I].first == A[I - 1].first) {
                EXPECT_LT(A[I - 1].second, A[I].second);
            }
        }
    }
    // No sort column: appended.
    TVirtualNode* N = Tree.AddChildSorted(nullptr, TRow{5, 0}, -1, 0);
    Tree.AddChildSorted(nullptr, TRow{1, 1}, -1, 0);
    EXPECT_EQ(Tree.GetFirst(), N);
}

TEST_F(VirtualTreesGui, SortingKeepsSelectionFocusExpansionAndFilterWithTheirRows)
{
    Tree.resize(400, 600);
    Tree.show();
    std::vector<TVirtualNode*> N;
    for (int I = 0; I < 6; ++I)
        N.push_back(Tree.AddChild(nullptr, TRow{I, I}));
    TVirtualNode* Child1 = Tree.AddChild(N[1], TRow{2, 10});
    TVirtualNode* Child0 = Tree.AddChild(N[1], TRow{1, 11});
    Tree.SetExpanded(N[1], true);
    Tree.SetSelected(N[4], true);
    Tree.SetSelected(Child1, true);
    Tree.SetFocusedNode(N[2]);
    Tree.SetFiltered(N[3], true);

    Tree.SortTree(0, 1);
    EXPECT_EQ(Rows(), (std::vector<TRow>{{5, 5}, {4, 4}, {3, 3}, {2, 2}, {1, 1}, {0, 0}}));
    // Children are sorted too.
    EXPECT_EQ(Rows(N[1]), (std::vector<TRow>{{2, 10}, {1, 11}}));
    EXPECT_EQ(Tree.SelectedNodes(), (std::vector<TVirtualNode*>{N[4], Child1}));
    EXPECT_EQ(Tree.FocusedNode(), N[2]);
    EXPECT_TRUE(Tree.Expanded(N[1]));
    EXPECT_FALSE(Tree.Expanded(N[0]));
    EXPECT_TRUE(Tree.isRowHidden(N[3]->Row(), {}));
    EXPECT_FALSE(Tree.isRowHidden(N[2]->Row(), {}));

    // Only one node's children.
    Tree.Sort(N[1], 0, 0);
    EXPECT_EQ(Rows(N[1]), (std::vector<TRow>{{1, 11}, {2, 10}}));
    EXPECT_EQ(Tree.GetFirst(), N[5]);
    EXPECT_TRUE(Tree.Selected(Child1));
    EXPECT_FALSE(Tree.Selected(Child0));

    // A filtered row keeps its data and is seen by the walk; shown again it
    // is a row like any other.
    EXPECT_TRUE(Tree.IsFiltered(N[3]));
    Tree.SetFiltered(N[3], false);
    EXPECT_FALSE(Tree.isRowHidden(N[3]->Row(), {}));
    EXPECT_EQ(Tree.Text(N[3], 1), "3");
}

TEST_F(VirtualTreesGui, ACheckBoxChangeCanBeRefused)
{
    TVirtualNode* Main = Tree.AddChild(nullptr, TRow{0, 0});
    TVirtualNode* Other = Tree.AddChild(nullptr, TRow{1, 1});
    Tree.SetCheckBox(Main, true);
    Tree.SetCheckBox(Other, true);
    Tree.SetCheckState(Main, TNodeCheckState::Checked);
    Tree.SetCheckState(Other, TNodeCheckState::Checked);
    std::vector<TVirtualNode*> Checked;
    Tree.OnChecking = [&](TVirtualNode* N, TNodeCheckState, bool& Allowed) { Allowed = N != Main; };
    Tree.OnChecked = [&](TVirtualNode* N) { Checked.push_back(N); };
    QAbstractItemModel& M = *Tree.model();
    EXPECT_FALSE(M.setData(Tree.IndexOf(Main), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_TRUE(M.setData(Tree.IndexOf(Other), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(Main->CheckState, TNodeCheckState::Checked);
    EXPECT_EQ(Other->CheckState, TNodeCheckState::Unchecked);
    EXPECT_EQ(Checked, (std::vector<TVirtualNode*>{Other}));
    EXPECT_EQ(M.data(Tree.IndexOf(Main), Qt::CheckStateRole).toInt(), Qt::Checked);
    // Only the main column carries the box.
    EXPECT_FALSE(M.data(Tree.IndexOf(Main, 1), Qt::CheckStateRole).isValid());
}

TEST_F(VirtualTreesGui, ColumnsMoveHideAndStartAfreshOnReset)
{
    Tree.ResetColumns(4);
    Tree.SetColumnText(2, "Two");
    Tree.SetColumnWidth(2, 5); // below the minimum width
    EXPECT_EQ(Tree.Column(2).Width, Tree.Column(2).MinWidth);
    Tree.SetColumnWidth(2, 120);
    Tree.SetColumnPosition(3, 0);
    EXPECT_EQ(Tree.ColumnPosition(3), 0);
    EXPECT_EQ(Tree.ColumnPosition(0), 1);
    EXPECT_EQ(Tree.ColumnPosition(2), 3);
    Tree.SetColumnPosition(3, 9); // no such position: nothing moves
    EXPECT_EQ(Tree.ColumnPosition(3), 0);
    Tree.SetColumnVisible(2, false);
    EXPECT_TRUE(Tree.header()->isSectionHidden(2));
    EXPECT_EQ(Tree.Column(2).Width, 120);
    Tree.SetSortColumn(7); // no such column: none
    EXPECT_EQ(Tree.SortColumn(), -1);
    Tree.SetSortColumn(2);
    Tree.SetColumnAlignment(1, 9); // no such alignment: left
    EXPECT_EQ(Tree.Column(1).Alignment, 0);
    EXPECT_THROW(Tree.Column(4), std::out_of_range);

    Tree.ResetColumns(3);
    ASSERT_EQ(Tree.ColumnCount(), 3);
    for (int I = 0; I < 3; ++I) {
        EXPECT_EQ(Tree.ColumnPosition(I), I);
        EXPECT_EQ(Tree.Column(I).Text, "");
        EXPECT_TRUE(Tree.Column(I).Visible);
        EXPECT_FALSE(Tree.header()->isSectionHidden(I));
    }
    EXPECT_EQ(Tree.SortColumn(), -1);
}

} // namespace

TEST_F(VirtualTreesGui, ALineBreakReadsAsABlankWhereTheListAsksForIt)
{
    const std::vector<std::pair<std::string, std::string>> Cases = {
        {"first\r\nsecond", "first second"},
        {"a\nb\rc\r\n\r\nd", "a b c  d"},
        {"tab\tand\u202Eoverride\r\n", "tab\\u0009and\\u202Eoverride "},
    };
    for (const auto& [Raw, Shown] : Cases) {
        EXPECT_EQ(VisibleText(Raw, true), Shown);
        EXPECT_NE(VisibleText(Raw), Shown) << "only where asked for";
    }
    Tree.OnGetText = [&](TVirtualNode*, int) { return Cases[0].first; };
    Tree.AddChild(nullptr, TRow{0, 0});
    const QModelIndex I = Tree.IndexOf(Tree.GetFirst());
    EXPECT_EQ(Tree.model()->data(I, Qt::DisplayRole).toString(), "first\\u000D\\u000Asecond");
    Tree.SetLineBreaksAsBlanks(true);
    EXPECT_EQ(Tree.model()->data(I, Qt::DisplayRole).toString(), "first second");
}

TEST_F(VirtualTreesGui, ControlAndDirectionCharactersAreShownEscapedAndTheDataStays)
{
    // Names come from files and the network: a right-to-left override would
    // make "RED<RLO>gnp.exe" read as "REDexe.png".
    const std::vector<std::pair<std::string, std::string>> Cases = {
        {"RED\u202Egnp.exe", "RED\\u202Egnp.exe"},
        {"a\tb\r\nc\x7F", "a\\u0009b\\u000D\\u000Ac\\u007F"},
        {"\u2066x\u2069\u200F\u061C\u2028", "\\u2066x\\u2069\\u200F\\u061C\\u2028"},
        {"\xC2\x85 \xFF\xC3", "\\u0085 \\xFF\\xC3"},
        {"caf\xC3\xA9 \\u202E \xE6\x97\xA5", "caf\xC3\xA9 \\u202E \xE6\x97\xA5"},
        {"plain 10.0.0.1", "plain 10.0.0.1"},
    };
    std::vector<std::string> Texts;
    for (const auto& [Raw, Shown] : Cases) {
        EXPECT_EQ(VisibleText(Raw), Shown);
        Texts.push_back(Raw);
    }
    Tree.OnGetText = [&](TVirtualNode* N, int) { return Texts[static_cast<size_t>(N->Row())]; };
    Tree.OnGetHint = Tree.OnGetText;
    for (size_t I = 0; I < Texts.size(); ++I)
        Tree.AddChild(nullptr, TRow{static_cast<int>(I), 0});
    for (size_t I = 0; I < Texts.size(); ++I) {
        TVirtualNode* N = Tree.Child(nullptr, static_cast<int>(I));
        const QModelIndex Index = Tree.IndexOf(N);
        EXPECT_EQ(Tree.model()->data(Index, Qt::DisplayRole).toString().toStdString(),
                  Cases[I].second);
        EXPECT_EQ(Tree.model()->data(Index, Qt::ToolTipRole).toString().toStdString(),
                  Cases[I].second);
        // What the program works with (copy, export, filter) is the data.
        EXPECT_EQ(Tree.Text(N, 0), Cases[I].first);
    }
}
