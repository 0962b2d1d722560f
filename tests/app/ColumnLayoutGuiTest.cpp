#include "app/udlgTuneColumn.h"
#include "forms/Dialogs.h"
#include "forms/VirtualTrees.h"
#include "forms/uVirtualTreesColumnsUtil.h"
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"

#include <QComboBox>
#include <QHeaderView>
#include <QSpinBox>
#include <QTest>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace guitest;

using TLayout = std::vector<TListColumnStore>;

// Everything of the columns that is stored, and what the header shows of
// them, as one line per column, so that a difference reads plainly.
std::string Shown(const TVirtualStringTree& Tree)
{
    TLayout L(static_cast<size_t>(Tree.ColumnCount()));
    ReadColumnLayout(Tree, L, Tree.ColumnCount() - 1);
    const QHeaderView& H = *Tree.header();
    std::string S = "sorted by " + std::to_string(H.sortIndicatorSection()) +
                    (H.sortIndicatorOrder() == Qt::DescendingOrder ? " down\n" : " up\n");
    for (int I = 0; I < Tree.ColumnCount(); ++I) {
        const TListColumnStore& C = L[static_cast<size_t>(I)];
        S += std::to_string(I) + ": '" + C.Caption + "' width " + std::to_string(C.Width) +
             " align " + std::to_string(C.Alignment) + " position " + std::to_string(C.Position) +
             (C.Visible ? " visible" : " hidden") +
             (C.Sorted ? " sorted " + std::to_string(C.SortDirection) : "") + " | shown " +
             std::to_string(H.sectionSize(I)) + " at " + std::to_string(H.visualIndex(I)) +
             (H.isSectionHidden(I) ? " hidden" : "") + "\n";
    }
    return S;
}

// A layout such as a user leaves behind: the order mixed up, one column
// hidden (its width kept), one wider than the width control goes, centred
// and right-aligned texts, sorted by a middle column downwards.
TLayout UsersLayout()
{
    TLayout L(5);
    const int Widths[] = {1200, 90, 130, 180, 75};
    const int Positions[] = {0, 3, 1, 4, 2};
    for (size_t I = 0; I < L.size(); ++I) {
        L[I].Caption = "Column " + std::to_string(I);
        L[I].Width = Widths[I];
        L[I].Position = Positions[I];
    }
    L[3].Visible = false;
    L[1].Alignment = 2;
    L[4].Alignment = 1;
    L[2].Sorted = true;
    L[2].SortDirection = 1;
    return L;
}

struct TRows {
    TVirtualStringTree* List;
    std::vector<TVirtualNode*> Nodes; // in display order
    void SetChecked(size_t Row, bool Checked)
    {
        List->model()->setData(List->IndexOf(Nodes[Row]), Checked ? Qt::Checked : Qt::Unchecked,
                               Qt::CheckStateRole);
    }
    void Focus(size_t Row) { List->SetFocusedNode(Nodes[Row]); }
};

TRows Rows(QDialog& Dlg)
{
    TRows R{Child<TVirtualStringTree>(Dlg, "TreeColumns"), {}};
    for (TVirtualNode* N = R.List->GetFirst(); N; N = R.List->GetNext(N))
        R.Nodes.push_back(N);
    return R;
}

// Hides two columns, widens a third and right-aligns a fourth, as a user
// would in the dialog; every change shows in the list at once.
void ChangeEverything(QDialog& Dlg, TVirtualStringTree& Tree)
{
    TRows R = Rows(Dlg);
    ASSERT_EQ(R.Nodes.size(), 5u);
    // Display order: columns 0, 2, 4, 1, 3.
    EXPECT_EQ(*R.List->NodeData<int>(R.Nodes[1]), 2);
    R.SetChecked(1, false);
    R.SetChecked(3, false);
    R.SetChecked(4, true); // the hidden column 3 shown again
    R.Focus(2);
    Child<QSpinBox>(Dlg, "udColumnWidth")->setValue(333);
    auto* Align = Child<QComboBox>(Dlg, "cmbAlignText");
    R.Focus(4);
    Align->setCurrentIndex(2);
    emit Align->activated(2);
    EXPECT_FALSE(Tree.Column(2).Visible);
    EXPECT_TRUE(Tree.header()->isSectionHidden(1));
    EXPECT_EQ(Tree.header()->sectionSize(4), 333);
    EXPECT_EQ(Tree.Column(3).Alignment, 2);
}

class ColumnLayoutRestart : public ::testing::Test {
protected:
    QApplication& Application = App(); // before any widget
    TempFolder Dir;
};

TEST_F(ColumnLayoutRestart, CancelLeavesTheListExactlyAsItWas)
{
    TVirtualStringTree Tree;
    ApplyColumnLayout(Tree, UsersLayout(), 4);
    Tree.resize(900, 300);
    Tree.show();
    const std::string Before = Shown(Tree);
    ASSERT_EQ(Tree.Column(0).Width, 1200);
    ASSERT_TRUE(Tree.header()->isSectionHidden(3));
    {
        ModalDriver D([&](QDialog& Dlg) {
            Dlg.show();
            ChangeEverything(Dlg, Tree);
            SaveScreenshot(Dlg, "tune-column-dialog");
            return mrCancel;
        });
        TuneColumns(Tree);
    }
    EXPECT_EQ(Shown(Tree), Before);
    // Opened and cancelled without a touch: nothing moves either, not even
    // the column wider than the width control can show.
    {
        ModalDriver D([](QDialog&) { return mrCancel; });
        TuneColumns(Tree);
    }
    EXPECT_EQ(Shown(Tree), Before);
}

TEST_F(ColumnLayoutRestart, ChosenLayoutSurvivesStoringAndLoading)
{
    std::string Chosen;
    {
        TVirtualStringTree Tree;
        ApplyColumnLayout(Tree, UsersLayout(), 4);
        ModalDriver D([&](QDialog& Dlg) {
            ChangeEverything(Dlg, Tree);
            return mrOk;
        });
        TuneColumns(Tree);
        Chosen = Shown(Tree);
        EXPECT_FALSE(Tree.Column(2).Visible);
        EXPECT_EQ(Tree.Column(4).Width, 333);
        TLayout Layout(5);
        ReadColumnLayout(Tree, Layout, 4);
        // The program's end: the layout into the options file.
        TempFolder::Write(Dir.Path("options.xml"), "<?xml version=\"1.0\"?>\n<Options/>\n");
        TXMLStorage Store(Dir.Path("options.xml"));
        Store.Load();
        WriteColumnSettings(Store, Layout, 4, "MACColumns");
        ASSERT_TRUE(Store.Save());
    }
    // The next start: a new list from what the file holds. Captions are not
    // stored; they come from the language file.
    TXMLStorage Store(Dir.Path("options.xml"));
    Store.Load();
    TLayout Loaded(5);
    ReadColumnSettings(Store, Loaded, 4, "MACColumns");
    for (size_t I = 0; I < Loaded.size(); ++I)
        Loaded[I].Caption = "Column " + std::to_string(I);
    TVirtualStringTree Tree;
    ApplyColumnLayout(Tree, Loaded, 4);
    EXPECT_EQ(Shown(Tree), Chosen);
    // A column hidden before the restart comes back at its old width.
    Tree.SetColumnVisible(2, true);
    EXPECT_EQ(Tree.header()->sectionSize(2), 130);
}

TEST_F(ColumnLayoutRestart, TheMainColumnCannotBeHidden)
{
    TVirtualStringTree Tree;
    ApplyColumnLayout(Tree, UsersLayout(), 4);
    bool MainRefused = false;
    ModalDriver D([&](QDialog& Dlg) {
        TRows R = Rows(Dlg);
        // The main column is first in display order here.
        EXPECT_EQ(*R.List->NodeData<int>(R.Nodes[0]), Tree.MainColumn());
        R.SetChecked(0, false);
        MainRefused = R.Nodes[0]->CheckState == TNodeCheckState::Checked;
        return mrOk;
    });
    TuneColumns(Tree);
    EXPECT_TRUE(MainRefused);
    EXPECT_TRUE(Tree.Column(0).Visible);
}

} // namespace
