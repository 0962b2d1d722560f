#include "app/uDlgFind.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/VirtualTrees.h"
#include "settings/uProgramOptions.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPushButton>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Row {
    std::string Name, Mac;
};

TEST(FindGui, MatchesChildRowsWrapsAroundAndKeepsHistory)
{
    App();
    lstFind = {"a", "b", "c", "d", "e", "f", "g", "00-11"};
    TVirtualStringTree Tree;
    Tree.ResetColumns(2);
    Tree.OnGetText = [&Tree](TVirtualNode* N, int C) {
        const Row* R = Tree.NodeData<Row>(N);
        return C == 0 ? R->Name : R->Mac;
    };
    TVirtualNode* Host = Tree.AddChild(nullptr, Row{"host1", ""});
    TVirtualNode* Ad1 = Tree.AddChild(Host, Row{"eth0", "00-11-22-33-44-55"});
    Tree.AddChild(nullptr, Row{"host2", ""});
    TVirtualNode* Ad2 = Tree.AddChild(Tree.GetNext(Ad1), Row{"eth1", "00-11-22-AA-BB-CC"});
    Tree.resize(400, 300);
    Tree.show();

    std::vector<TVirtualNode*> Found;
    TdlgFind Dlg(Tree, nullptr);
    Dlg.show();
    auto* Combo = Dlg.findChild<QComboBox*>("cmbFind");
    ASSERT_NE(Combo, nullptr);
    EXPECT_EQ(Combo->currentText(), "a");
    Combo->setEditText("22-aa");
    for (int I = 0; I < 3; ++I) {
        ASSERT_TRUE(Dlg.actFind()->Execute());
        Found.push_back(Tree.SelectedCount() == 1 ? Tree.FocusedNode() : nullptr);
        if (I == 0) {
            const char* Bin = std::getenv("TOLVEX_BIN_DIR");
            const QString Out = QString(Bin ? Bin : ".") + "/../test-output";
            QDir().mkpath(Out);
            Dlg.grab().save(Out + "/find-dialog.png");
        }
    }
    // Found, then nothing (selection cleared), then found again.
    EXPECT_EQ(Found, (std::vector<TVirtualNode*>{Ad2, nullptr, Ad2}));
    EXPECT_EQ(Combo->currentText(), "22-aa");
    ASSERT_EQ(lstFind.size(), MaxFindHistory);
    EXPECT_EQ(lstFind.front(), "22-aa");
    EXPECT_EQ(lstFind.back(), "g"); // the oldest dropped

    // The search goes on after the last match, also with a new text.
    Combo->setEditText("00-11");
    Dlg.actFind()->Execute();
    EXPECT_EQ(Tree.SelectedCount(), 0);
    Dlg.actFind()->Execute();
    EXPECT_EQ(Tree.FocusedNode(), Ad1);
    EXPECT_EQ(lstFind[0], "00-11");
    EXPECT_EQ(lstFind[1], "22-aa");
    EXPECT_EQ(std::count(lstFind.begin(), lstFind.end(), "00-11"), 1);

    Tree.Clear();
    Dlg.actFind()->Update();
    EXPECT_FALSE(Dlg.actFind()->isEnabled());
    EXPECT_FALSE(Dlg.findChild<QPushButton*>("btnFind")->isEnabled());
    lstFind.clear();
}

TEST(FindGui, RowsTheFilterHidesAreNeverTheMatch)
{
    App();
    lstFind.clear();
    TVirtualStringTree Tree;
    Tree.ResetColumns(2);
    Tree.OnGetText = [&Tree](TVirtualNode* N, int C) {
        const Row* R = Tree.NodeData<Row>(N);
        return C == 0 ? R->Name : R->Mac;
    };
    TVirtualNode* Host1 = Tree.AddChild(nullptr, Row{"host1", ""});
    TVirtualNode* Ad1 = Tree.AddChild(Host1, Row{"eth0", "00-11-22-33-44-55"});
    TVirtualNode* Host2 = Tree.AddChild(nullptr, Row{"host2", ""});
    Tree.AddChild(Host2, Row{"eth1", "00-11-22-AA-BB-CC"});
    TVirtualNode* Host3 = Tree.AddChild(nullptr, Row{"host3", "00-11-22-DD-EE-FF"});
    Tree.SetFiltered(Host2, true);
    Tree.show();

    TdlgFind Dlg(Tree, nullptr);
    Dlg.findChild<QComboBox*>("cmbFind")->setEditText("00-11-22");
    std::vector<TVirtualNode*> Found;
    for (int I = 0; I < 3; ++I) {
        Dlg.actFind()->Execute();
        Found.push_back(Tree.SelectedCount() == 1 ? Tree.FocusedNode() : nullptr);
    }
    // host2 and its adapter are hidden: the search passes over them.
    EXPECT_EQ(Found, (std::vector<TVirtualNode*>{Ad1, Host3, nullptr}));
    lstFind.clear();
}

} // namespace
