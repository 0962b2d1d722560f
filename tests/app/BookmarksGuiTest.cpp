// IP ranges kept as bookmarks: how a range is stored and split, and the
// manager that edits the list.
#include "app/udlgBookmarksManage.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace guitest;
using Strings = std::vector<std::string>;

TEST(BookmarkText, RangesRoundTripAndSplitByTheDelimitedRules)
{
    EXPECT_EQ(MakeBookmark("10.0.0.1", "10.0.0.50"), "10.0.0.1-10.0.0.50");
    std::string Start = "x", Stop = "y";
    SplitBookmark(MakeBookmark("10.0.0.1", "10.0.0.50"), Start, Stop);
    EXPECT_EQ(Start, "10.0.0.1");
    EXPECT_EQ(Stop, "10.0.0.50");

    // Blanks and control characters split as well; blanks around items go.
    EXPECT_EQ(SplitBookmarkItems("  10.0.0.1 - 10.0.0.9 "), (Strings{"10.0.0.1", "10.0.0.9"}));
    EXPECT_EQ(SplitBookmarkItems("10.0. 0.1-10.0.0.9"), (Strings{"10.0.", "0.1", "10.0.0.9"}));
    EXPECT_EQ(SplitBookmarkItems("a\tb"), (Strings{"a", "b"}));
    // Quotes make one item, "" inside stands for a quote; no closing quote
    // takes the rest.
    EXPECT_EQ(SplitBookmarkItems("\"a - b\"-c"), (Strings{"a - b", "c"}));
    EXPECT_EQ(SplitBookmarkItems("\"say \"\"hi\"\"\"-x"), (Strings{"say \"hi\"", "x"}));
    EXPECT_EQ(SplitBookmarkItems("\"open-ended"), (Strings{"open-ended"}));
    // Empty items between and after delimiters are kept.
    EXPECT_EQ(SplitBookmarkItems("a--b"), (Strings{"a", "", "b"}));
    EXPECT_EQ(SplitBookmarkItems("a-"), (Strings{"a", ""}));
    EXPECT_EQ(SplitBookmarkItems(""), Strings{});
    EXPECT_EQ(SplitBookmarkItems("   "), Strings{});

    // A single address cannot be split: both stay as they were.
    Start = "keep1";
    Stop = "keep2";
    SplitBookmark("10.0.0.1", Start, Stop);
    EXPECT_EQ(Start, "keep1");
    EXPECT_EQ(Stop, "keep2");
    // Only the first two items count.
    SplitBookmark("10.0.0.1-10.0.0.2-10.0.0.3", Start, Stop);
    EXPECT_EQ(Start + "|" + Stop, "10.0.0.1|10.0.0.2");

    EXPECT_EQ(GetBookmarkCaption("1.2.3.4-1.2.3.5"), "1.2.3.4-1.2.3.5");
}

class BookmarksManagerGui : public ::testing::Test {
protected:
    void SetUp() override { App(); }

    static TVirtualStringTree* Tree(QDialog& Dlg)
    {
        return Child<TVirtualStringTree>(Dlg, "vtBookmarks");
    }
    static void Focus(QDialog& Dlg, int Row)
    {
        TVirtualStringTree* T = Tree(Dlg);
        T->ClearSelection();
        T->SetFocusedNode(T->Child(nullptr, Row));
        T->SetSelected(T->Child(nullptr, Row), true);
    }
    // The range dialog: records what it was given and answers with Start/Stop.
    TModalDriver RangeDialog(std::string Start, std::string Stop, int Result)
    {
        return [this, Start, Stop, Result](QDialog& Dlg) {
            Given.push_back(FromQ(Child<QLineEdit>(Dlg, "edStartIP")->text()) + "|" +
                            FromQ(Child<QLineEdit>(Dlg, "edStopIP")->text()));
            Child<QLineEdit>(Dlg, "edStartIP")->setText(ToQ(Start));
            Child<QLineEdit>(Dlg, "edStopIP")->setText(ToQ(Stop));
            return Result;
        };
    }
    Strings Given;
};

TEST_F(BookmarksManagerGui, RowsShowTheStoredRanges)
{
    TdlgBookmarksManage Dlg(nullptr, {"192.168.100.100-192.168.100.254", "10.1.0.1"});
    Dlg.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&Dlg));
    QApplication::processEvents();
    EXPECT_EQ(RowsCutShort(*Tree(Dlg)), Strings{});
    EXPECT_TRUE(SaveScreenshot(Dlg, "bookmarks-manager"));
}

TEST_F(BookmarksManagerGui, AddEditDeleteAndReorder)
{
    TdlgBookmarksManage Dlg(nullptr, {"10.0.0.1-10.0.0.9", "10.1.0.1", "10.2.0.1-10.2.0.9"});
    Dlg.show();
    EXPECT_EQ(Dlg.Rows(), (Strings{"10.0.0.1-10.0.0.9", "10.1.0.1", "10.2.0.1-10.2.0.9"}));
    {
        ModalDriver D(RangeDialog("10.9.0.1", "10.9.0.2", mrOk));
        Dlg.Action("actAdd")->Execute();
    }
    EXPECT_EQ(Given, Strings{"|"});
    EXPECT_EQ(Dlg.Rows().back(), "10.9.0.1-10.9.0.2");

    // A single address opens the range dialog with empty fields.
    Given.clear();
    Focus(Dlg, 1);
    {
        ModalDriver D(RangeDialog("10.1.0.1", "10.1.0.5", mrOk));
        Dlg.Action("actEdit")->Execute();
    }
    EXPECT_EQ(Given, Strings{"|"});
    Focus(Dlg, 0);
    {
        ModalDriver D(RangeDialog("1.1.1.1", "1.1.1.2", mrCancel));
        Dlg.Action("actEdit")->Execute();
    }
    EXPECT_EQ(Given.back(), "10.0.0.1|10.0.0.9");
    EXPECT_EQ(Dlg.Rows(), (Strings{"10.0.0.1-10.0.0.9", "10.1.0.1-10.1.0.5", "10.2.0.1-10.2.0.9",
                                   "10.9.0.1-10.9.0.2"}));

    // Up is disabled on the first row, down on the last.
    Focus(Dlg, 0);
    EXPECT_FALSE(Dlg.Action("actUp")->Update() && Dlg.Action("actUp")->isEnabled());
    Dlg.Action("actDown")->Execute();
    Dlg.Action("actDown")->Execute();
    Dlg.Action("actDown")->Execute();
    EXPECT_EQ(Dlg.Rows().back(), "10.0.0.1-10.0.0.9");
    Dlg.Action("actDown")->Update();
    EXPECT_FALSE(Dlg.Action("actDown")->isEnabled());
    Dlg.Action("actUp")->Execute();
    EXPECT_EQ(Dlg.Rows(), (Strings{"10.1.0.1-10.1.0.5", "10.2.0.1-10.2.0.9", "10.0.0.1-10.0.0.9",
                                   "10.9.0.1-10.9.0.2"}));
    SaveScreenshot(Dlg, "BookmarksManager");

    // Delete removes every selected row.
    TVirtualStringTree* T = Tree(Dlg);
    T->ClearSelection();
    T->SetSelected(T->Child(nullptr, 0), true);
    T->SetSelected(T->Child(nullptr, 3), true);
    Dlg.Action("actDelete")->Execute();
    EXPECT_EQ(Dlg.Rows(), (Strings{"10.2.0.1-10.2.0.9", "10.0.0.1-10.0.0.9"}));
    T->selectAll();
    Dlg.Action("actDelete")->Execute();
    EXPECT_TRUE(Dlg.Rows().empty());
    Dlg.Action("actEdit")->Update();
    EXPECT_FALSE(Dlg.Action("actEdit")->isEnabled());
}

TEST_F(BookmarksManagerGui, OkReplacesTheListAndCancelKeepsIt)
{
    Strings List{"1.0.0.1-1.0.0.2", "2.0.0.1-2.0.0.2"};
    const auto Reorder = [](QDialog& Dlg, int Result) {
        TVirtualStringTree* T = Child<TVirtualStringTree>(Dlg, "vtBookmarks");
        T->SetFocusedNode(T->Child(nullptr, 0));
        static_cast<TdlgBookmarksManage&>(Dlg).Action("actDown")->Execute();
        return Result;
    };
    {
        ModalDriver D([&](QDialog& Dlg) { return Reorder(Dlg, mrCancel); });
        EXPECT_FALSE(ManageBookmarks(List));
    }
    EXPECT_EQ(List, (Strings{"1.0.0.1-1.0.0.2", "2.0.0.1-2.0.0.2"}));
    {
        ModalDriver D([&](QDialog& Dlg) { return Reorder(Dlg, mrOk); });
        EXPECT_TRUE(ManageBookmarks(List));
    }
    EXPECT_EQ(List, (Strings{"2.0.0.1-2.0.0.2", "1.0.0.1-1.0.0.2"}));
}

} // namespace
