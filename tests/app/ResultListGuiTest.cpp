// The result and log lists on the real list control: rows and children,
// sorting by header clicks and at insertion, the filter, shared comments,
// stripes as painted, copying, and the log's order.
#include "app/uLogList.h"
#include "app/uMacList.h"
#include "engine/uEngineOptions.h"
#include "forms/VirtualTrees.h"

#include <QHeaderView>
#include <QImage>
#include <QMouseEvent>
#include <QPixmap>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/ComputerBuilders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

std::unique_ptr<TComputer> Wmi(const std::string& Name, const std::string& IP,
                               const std::vector<std::string>& Names)
{
    auto C = MakeComputer(Name, IP);
    int I = 0;
    for (const auto& N : Names)
        C->AdapterList.push_back(MakeAdapter(N, "00-1B-21-00-00-0" + std::to_string(++I), "Intel"));
    return C;
}

class ResultListGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        ComputerCaptionStyle = ccsIPName;
        Tree.ResetColumns(5);
        for (int I = 0; I < 5; ++I)
            Tree.SetColumnWidth(I, 120);
        Tree.resize(640, 400);
    }
    void TearDown() override { ComputerCaptionStyle = 1; }

    TComputer* Keep(std::unique_ptr<TComputer> C)
    {
        Owned.push_back(std::move(C));
        return Owned.back().get();
    }
    TVirtualNode* Add(std::unique_ptr<TComputer> C) { return List.AddComputer(Keep(std::move(C))); }

    std::vector<std::string> Column(int Col) const
    {
        std::vector<std::string> R;
        for (int I = 0; I < Tree.RootNodeCount(); ++I)
            R.push_back(Tree.Text(Tree.Child(nullptr, I), Col));
        return R;
    }
    std::vector<std::string> VisibleIPs() const
    {
        std::vector<std::string> R;
        for (int I = 0; I < Tree.RootNodeCount(); ++I) {
            TVirtualNode* N = Tree.Child(nullptr, I);
            if (!Tree.isRowHidden(I, {}))
                R.push_back(Tree.Text(N, 1));
            EXPECT_EQ(Tree.isRowHidden(I, {}), Tree.IsFiltered(N));
        }
        return R;
    }
    // A press and release on the header section, as the mouse sends them.
    void ClickHeader(int Col, Qt::MouseButton Button = Qt::LeftButton)
    {
        QHeaderView* H = Tree.header();
        const QPointF P(H->sectionViewportPosition(Col) + H->sectionSize(Col) / 2, H->height() / 2);
        const QPointF G = H->viewport()->mapToGlobal(P);
        QMouseEvent Press(QEvent::MouseButtonPress, P, G, Button, Button, Qt::NoModifier);
        QApplication::sendEvent(H->viewport(), &Press);
        QMouseEvent Release(QEvent::MouseButtonRelease, P, G, Button, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(H->viewport(), &Release);
    }

    QApplication& Application = App(); // before the first widget
    std::vector<std::unique_ptr<TComputer>> Owned;
    TVirtualStringTree Tree;
    TMacComments Comments;
    TResultList List{Tree, Comments};
};

TEST_F(ResultListGui, ArpComputerIsOneRowAndListMethodComputerHasChildren)
{
    TVirtualNode* A = Add(MakeArpComputer("PC1", "10.0.0.5", "00-1a-2b-3c-4d-5e", "Acme"));
    TVirtualNode* W = Add(Wmi("SRV", "10.0.0.6", {"eth0", "eth1", "eth2"}));
    // One adapter with a name is still shown as a child row.
    TVirtualNode* N = Add(Wmi("NAS", "10.0.0.7", {"bond0"}));
    EXPECT_EQ(Tree.ChildCount(A), 0);
    EXPECT_EQ(Tree.ChildCount(W), 3);
    EXPECT_EQ(Tree.ChildCount(N), 1);
    EXPECT_FALSE(Tree.Expanded(A));
    EXPECT_TRUE(Tree.Expanded(W));

    // What the view shows comes from the rows, through the model.
    const QAbstractItemModel* M = Tree.model();
    const QModelIndex AI = Tree.IndexOf(A, 2);
    EXPECT_EQ(M->data(AI).toString(), "00-1a-2b-3c-4d-5e");
    EXPECT_EQ(M->data(AI, Qt::ToolTipRole).toString(), "00-1a-2b-3c-4d-5e");
    EXPECT_EQ(M->data(Tree.IndexOf(W, 2)).toString(), "");
    EXPECT_EQ(M->data(Tree.IndexOf(Tree.Child(W, 1), 0)).toString(), "eth1");
    EXPECT_EQ(M->data(Tree.IndexOf(Tree.Child(W, 1), 2)).toString(), "00-1B-21-00-00-02");

    Tree.SetImages({QIcon(QPixmap(16, 16)), QIcon(QPixmap(16, 16))});
    EXPECT_FALSE(M->data(Tree.IndexOf(A, 0), Qt::DecorationRole).isNull());
    EXPECT_FALSE(M->data(Tree.IndexOf(Tree.Child(W, 0), 0), Qt::DecorationRole).isNull());
    EXPECT_TRUE(M->data(Tree.IndexOf(A, 1), Qt::DecorationRole).isNull());

    // The caption carries the IP only while the IP column is hidden.
    EXPECT_EQ(Tree.Text(A, 0), "PC1");
    Tree.SetColumnVisible(1, false);
    sComputerCaptionStyle = "%s (%s)";
    EXPECT_EQ(Tree.Text(A, 0), "10.0.0.5 (PC1)");
    sComputerCaptionStyle = "sComputerCaptionStyle";
}

TEST_F(ResultListGui, ThreeHeaderClicksSortAscendingDescendingThenNotAtAll)
{
    Add(MakeArpComputer("b", "10.0.0.10", "00-00-00-00-00-02"));
    Add(MakeArpComputer("a", "10.0.0.9", "00-00-00-00-00-01"));
    Add(MakeArpComputer("c", "10.0.0.100", "00-00-00-00-00-03"));
    Tree.show();
    QApplication::processEvents();
    EXPECT_EQ(Tree.SortColumn(), -1);
    EXPECT_EQ(Column(1), (std::vector<std::string>{"10.0.0.10", "10.0.0.9", "10.0.0.100"}));

    ClickHeader(1);
    EXPECT_EQ(Tree.SortColumn(), 1);
    EXPECT_EQ(Tree.SortDirection(), 0);
    EXPECT_EQ(Column(1), (std::vector<std::string>{"10.0.0.9", "10.0.0.10", "10.0.0.100"}));
    EXPECT_TRUE(Tree.header()->isSortIndicatorShown());

    ClickHeader(1);
    EXPECT_EQ(Tree.SortDirection(), 1);
    EXPECT_EQ(Tree.header()->sortIndicatorOrder(), Qt::DescendingOrder);
    EXPECT_EQ(Column(1), (std::vector<std::string>{"10.0.0.100", "10.0.0.10", "10.0.0.9"}));

    ClickHeader(1);
    EXPECT_EQ(Tree.SortColumn(), -1);
    EXPECT_EQ(Tree.SortDirection(), 0);
    EXPECT_FALSE(Tree.header()->isSortIndicatorShown());
    // No sort column: the rows stay where they are, new ones go last.
    Add(MakeArpComputer("d", "10.0.0.1", "00-00-00-00-00-04"));
    EXPECT_EQ(Column(1),
              (std::vector<std::string>{"10.0.0.100", "10.0.0.10", "10.0.0.9", "10.0.0.1"}));

    // A right click changes nothing.
    ClickHeader(0, Qt::RightButton);
    EXPECT_EQ(Tree.SortColumn(), -1);

    // Names without regard to case, children sorted too.
    Tree.SetSortColumn(0);
    Tree.SetSortDirection(0);
    ComputerCaptionStyle = ccsName;
    TVirtualNode* W = Add(Wmi("B", "10.0.0.50", {"wlan0", "Eth1", "eth0"}));
    EXPECT_EQ(Column(0), (std::vector<std::string>{"a", "b", "B", "c", "d"}));
    EXPECT_EQ(Tree.Text(Tree.Child(W, 0), 0), "eth0");
    EXPECT_EQ(Tree.Text(Tree.Child(W, 1), 0), "Eth1");
    EXPECT_EQ(Tree.Text(Tree.Child(W, 2), 0), "wlan0");
}

// Adding row by row at the sorted place gives the order that sorting the
// whole list after each addition (what the list promises) gives.
TEST_F(ResultListGui, InsertionAtSortedPlaceMatchesAStableSortOfEverything)
{
    std::mt19937 Rng(7);
    std::vector<TComputer*> Added;
    const std::vector<std::string> Vendors = {"Acme", "acme", "Zeta", "", "Beta"};
    for (int Col : {0, 1, 3}) {
        for (int Dir : {0, 1}) {
            List.Clear();
            Added.clear();
            Tree.SetSortColumn(Col);
            Tree.SetSortDirection(Dir);
            for (int I = 0; I < 300; ++I) {
                const std::string IP =
                    "10.0." + std::to_string(Rng() % 4) + "." + std::to_string(Rng() % 256);
                auto C = Rng() % 5 == 0
                             ? Wmi("", IP, {"x", "y"})
                             : MakeArpComputer(Rng() % 2 ? "" : "host" + std::to_string(Rng() % 50),
                                               IP, "00-00-00-00-00-01", Vendors[Rng() % 5]);
                Added.push_back(C.get());
                Add(std::move(C));
            }
            const TMacListContext Ctx = List.Context();
            std::vector<TComputer*> Expected = Added;
            std::stable_sort(Expected.begin(), Expected.end(), [&](TComputer* A, TComputer* B) {
                const int R = CompareComputerRows(*A, *B, Col, Ctx);
                return (Dir == 1 ? -R : R) < 0;
            });
            std::vector<TComputer*> Got;
            for (int I = 0; I < Tree.RootNodeCount(); ++I)
                Got.push_back(List.Data(Tree.Child(nullptr, I))->Computer);
            EXPECT_EQ(Got, Expected) << "column " << Col << " direction " << Dir;
        }
    }
}

// A header click sorts rows added unsorted into the order of a stable sort
// by the row comparisons, children included.
TEST_F(ResultListGui, HeaderSortMatchesTheRowComparisons)
{
    std::mt19937 Rng(11);
    const std::vector<std::string> Texts = {"Acme", "acme", "Zeta", "", "Beta", "Ärger", "ärger"};
    std::vector<TComputer*> Added;
    for (int I = 0; I < 400; ++I) {
        const std::string IP = Rng() % 9 == 0 ? ""
                                              : "10.0." + std::to_string(Rng() % 4) + "." +
                                                    std::to_string(Rng() % 256);
        std::unique_ptr<TComputer> C;
        if (Rng() % 4 == 0) {
            C = Wmi("", IP, {Texts[Rng() % 7], Texts[Rng() % 7], "z"});
            C->AdapterList[0]->IPAddress = "10.1.0." + std::to_string(Rng() % 9) + ", 10.2.0.1";
            C->AdapterList[1]->Vendor = Texts[Rng() % 7];
        } else {
            const std::string Mac = "00-00-00-00-00-0" + std::to_string(Rng() % 8);
            C = MakeArpComputer("h" + std::to_string(Rng() % 30), IP,
                                Rng() % 2 ? Mac : "AA" + Mac.substr(2), Texts[Rng() % 7]);
        }
        Added.push_back(C.get());
        Add(std::move(C));
    }
    for (int M = 0; M < 8; ++M)
        Comments.Set("00-00-00-00-00-0" + std::to_string(M), Texts[static_cast<size_t>(M) % 7]);
    for (int Col = 1; Col <= 4; ++Col) {
        for (int Dir : {0, 1}) {
            // Back to the order of addition, then one click (two for descending).
            Tree.SetSortColumn(-1);
            List.Clear();
            for (TComputer* C : Added)
                List.AddComputer(C);
            List.HeaderClick(Col);
            if (Dir == 1)
                List.HeaderClick(Col);
            ASSERT_EQ(Tree.SortDirection(), Dir);
            const TMacListContext Ctx = List.Context();
            std::vector<TComputer*> Expected = Added;
            std::stable_sort(Expected.begin(), Expected.end(), [&](TComputer* A, TComputer* B) {
                const int R = CompareComputerRows(*A, *B, Col, Ctx);
                return (Dir == 1 ? -R : R) < 0;
            });
            for (int I = 0; I < Tree.RootNodeCount(); ++I) {
                TVirtualNode* N = Tree.Child(nullptr, I);
                ASSERT_EQ(List.Data(N)->Computer, Expected[static_cast<size_t>(I)])
                    << "column " << Col << " direction " << Dir << " row " << I;
                std::vector<TMacAddress*> Kids, Want;
                for (int K = 0; K < Tree.ChildCount(N); ++K)
                    Kids.push_back(List.Data(Tree.Child(N, K))->Adapter);
                if (!Kids.empty()) {
                    for (const auto& A : Expected[static_cast<size_t>(I)]->AdapterList)
                        Want.push_back(A.get());
                    std::stable_sort(Want.begin(), Want.end(), [&](TMacAddress* A, TMacAddress* B) {
                        const int R = CompareAdapterRows(*A, *B, Col, Ctx);
                        return (Dir == 1 ? -R : R) < 0;
                    });
                }
                ASSERT_EQ(Kids, Want) << "column " << Col << " row " << I;
            }
        }
    }
}

TEST_F(ResultListGui, OrderIsRestoredWhenTheCommentsOrStyleChangedUnderIt)
{
    Tree.SetSortColumn(4);
    Add(MakeArpComputer("a", "10.0.0.1", "00-00-00-00-00-01"));
    Add(MakeArpComputer("b", "10.0.0.2", "00-00-00-00-00-02"));
    List.SetComment("00-00-00-00-00-01", "zz");
    List.SetComment("00-00-00-00-00-02", "aa");
    Add(MakeArpComputer("c", "10.0.0.3", "00-00-00-00-00-03"));
    Comments.Set("00-00-00-00-00-03", "mm");
    // c had no comment when added; a later add sorts everything anew.
    List.SetComment("00-00-00-00-00-03", "mm2");
    Add(MakeArpComputer("d", "10.0.0.4", "00-00-00-00-00-04"));
    EXPECT_EQ(Column(0), (std::vector<std::string>{"d", "b", "c", "a"}));

    List.Clear();
    Tree.SetSortColumn(0);
    ComputerCaptionStyle = ccsName;
    Add(MakeArpComputer("zeta", "10.0.0.1", "00-00-00-00-00-01"));
    Add(MakeArpComputer("alpha", "10.0.0.2", "00-00-00-00-00-02"));
    ComputerCaptionStyle = ccsIP;
    Add(MakeArpComputer("mid", "10.0.0.3", "00-00-00-00-00-03"));
    EXPECT_EQ(Column(1), (std::vector<std::string>{"10.0.0.1", "10.0.0.2", "10.0.0.3"}));
}

TEST_F(ResultListGui, FilterOnEveryColumnHidesWholeComputersAndFollowsSorting)
{
    Add(MakeArpComputer("Alpha", "192.168.1.10", "00-1a-00-00-00-01", "Acme Corp"));
    Add(MakeArpComputer("beta", "192.168.10.2", "00-1A-00-00-00-02", "Zeta Inc"));
    TVirtualNode* W = Add(Wmi("Gamma", "192.168.1.30", {"eth0", "eth1", "eth2"}));
    Comments.Set("00-1A-00-00-00-01", "Front desk");

    List.SetFilter(1, "192.168.1.");
    EXPECT_EQ(VisibleIPs(), (std::vector<std::string>{"192.168.1.10", "192.168.1.30"}));
    List.SetFilter(0, "ALPHA");
    EXPECT_EQ(VisibleIPs(), (std::vector<std::string>{"192.168.1.10"}));
    List.SetFilter(2, "1a-00-00-00-02");
    EXPECT_EQ(VisibleIPs(), (std::vector<std::string>{"192.168.10.2"}));
    List.SetFilter(3, "corp");
    EXPECT_EQ(VisibleIPs(), (std::vector<std::string>{"192.168.1.10"}));
    List.SetFilter(4, "DESK");
    EXPECT_EQ(VisibleIPs(), (std::vector<std::string>{"192.168.1.10"}));
    // A filter on an adapter column never matches a computer whose adapters
    // are child rows; the children go with their parent.
    List.SetFilter(3, "intel");
    EXPECT_TRUE(VisibleIPs().empty());
    EXPECT_TRUE(Tree.IsFiltered(W));
    // An index past the columns has empty texts: everything hidden.
    List.SetFilter(7, "a");
    EXPECT_TRUE(VisibleIPs().empty());

    // Rows added later are filtered as they come; the hidden rows stay
    // hidden when the list is sorted.
    List.SetFilter(1, "192.168.1.");
    Add(MakeArpComputer("delta", "192.168.2.1", "00-1a-00-00-00-04"));
    Add(MakeArpComputer("eps", "192.168.1.5", "00-1a-00-00-00-05"));
    EXPECT_EQ(VisibleIPs(),
              (std::vector<std::string>{"192.168.1.10", "192.168.1.30", "192.168.1.5"}));
    List.HeaderClick(1);
    EXPECT_EQ(VisibleIPs(),
              (std::vector<std::string>{"192.168.1.5", "192.168.1.10", "192.168.1.30"}));

    List.SetFilter(1, "");
    EXPECT_EQ(VisibleIPs().size(), 5u);
}

TEST_F(ResultListGui, CommentEditedOnOneRowShowsOnEveryRowWithThatMac)
{
    TVirtualNode* A = Add(MakeArpComputer("PC1", "10.0.0.5", "00-1b-21-00-00-02"));
    TVirtualNode* W = Add(Wmi("SRV", "10.0.0.6", {"eth0", "eth1"}));
    TVirtualNode* Eth1 = Tree.Child(W, 1);
    ASSERT_EQ(List.NodeMac(A), "00-1b-21-00-00-02");
    ASSERT_EQ(List.NodeMac(Eth1), "00-1B-21-00-00-02");
    EXPECT_EQ(List.NodeMac(W), "");
    List.SetComment(List.NodeMac(A), "moved to room 4");
    EXPECT_EQ(Tree.Text(A, 4), "moved to room 4");
    EXPECT_EQ(Tree.Text(Eth1, 4), "moved to room 4");
    EXPECT_EQ(Tree.model()->data(Tree.IndexOf(Eth1, 4)).toString(), "moved to room 4");
    EXPECT_EQ(Tree.Text(Tree.Child(W, 0), 4), "");
    List.SetComment(List.NodeMac(Eth1), "");
    EXPECT_EQ(Tree.Text(A, 4), "");
    EXPECT_EQ(Comments.Count(), 0u);
}

TEST_F(ResultListGui, CopiedRowsSkipEmptyCellsAndHiddenRows)
{
    TVirtualNode* A = Add(MakeArpComputer("PC1", "10.0.0.5", "00-00-00-00-00-01"));
    TVirtualNode* B = Add(MakeArpComputer("", "10.0.0.6", "00-00-00-00-00-02"));
    TVirtualNode* C = Add(MakeArpComputer("PC3", "10.0.0.7", "00-00-00-00-00-03", "Acme"));
    Comments.Set("00-00-00-00-00-01", "note");
    Tree.SetSelected(A, true);
    Tree.SetSelected(B, true);
    EXPECT_EQ(List.SelectionText(0, 4, ','), "PC1,10.0.0.5,00-00-00-00-00-01,note\r\n"
                                             "10.0.0.6,10.0.0.6,00-00-00-00-00-02");
    EXPECT_EQ(List.SelectionText(3, 3, ','), "");
    Tree.SetSelected(C, true);
    EXPECT_EQ(List.SelectionText(3, 3, ';'), "Acme");
    EXPECT_EQ(List.SelectionText(2, 2, ';'),
              "00-00-00-00-00-01\r\n00-00-00-00-00-02\r\n00-00-00-00-00-03");
    List.SetFilter(0, "pc");
    EXPECT_EQ(List.SelectionText(1, 1, ';'), "10.0.0.5\r\n10.0.0.7");
}

TEST_F(ResultListGui, StripesShadeEverySecondVisibleRow)
{
    for (int I = 1; I <= 6; ++I)
        Add(MakeArpComputer("pc" + std::to_string(I), "10.0.0." + std::to_string(I),
                            "00-00-00-00-00-01"));
    Tree.SetStripes(true);
    Tree.show();
    QApplication::processEvents();
    auto RowColour = [this](int Row) {
        const QRect R = Tree.visualRect(Tree.IndexOf(Tree.Child(nullptr, Row), 1));
        const QImage Img = Tree.viewport()->grab().toImage();
        return Img.pixelColor(R.right() - 3, R.center().y()).rgb() & 0xFFFFFF;
    };
    EXPECT_NE(RowColour(0), StripeColor);
    EXPECT_EQ(RowColour(1), StripeColor);
    EXPECT_NE(RowColour(2), StripeColor);
    EXPECT_EQ(RowColour(3), StripeColor);
    // Hiding the second row makes the third the second visible one.
    Tree.SetFiltered(Tree.Child(nullptr, 1), true);
    QApplication::processEvents();
    EXPECT_EQ(RowColour(2), StripeColor);
    EXPECT_NE(RowColour(3), StripeColor);
    Tree.SetStripes(false);
    QApplication::processEvents();
    EXPECT_NE(RowColour(2), StripeColor);
}

TEST_F(ResultListGui, ClearRemovesRowsButNotTheComputers)
{
    Add(MakeArpComputer("PC1", "10.0.0.5", "00-00-00-00-00-01"));
    Add(Wmi("SRV", "10.0.0.6", {"a", "b"}));
    List.Clear();
    EXPECT_EQ(Tree.RootNodeCount(), 0);
    EXPECT_EQ(Owned.size(), 2u);
    EXPECT_EQ(Owned[1]->AdapterList.size(), 2u);
}

TEST(LogListGui, InverseLogPutsTheNewestFirstOtherwiseLast)
{
    App();
    TVirtualStringTree Tree;
    TLogList Log(Tree);
    EXPECT_EQ(Log.Add(2, "", true), nullptr);
    Log.Add(2, "Scan started", true);
    Log.Add(0, "PC1 done", true);
    Log.Add(3, "PC2 nothing found", true);
    ASSERT_EQ(Tree.RootNodeCount(), 3);
    EXPECT_EQ(Tree.Text(Tree.Child(nullptr, 0), 0), "PC2 nothing found");
    EXPECT_EQ(Tree.Text(Tree.Child(nullptr, 2), 0), "Scan started");
    EXPECT_EQ(Log.Entry(Tree.Child(nullptr, 0))->Kind, 3);
    EXPECT_GT(Log.Entry(Tree.Child(nullptr, 0))->Time, 40000.0);

    Log.Add(-1, "appended", false);
    EXPECT_EQ(Tree.Text(Tree.Child(nullptr, 3), 0), "appended");

    std::vector<QIcon> Icons;
    for (int I = 0; I < 4; ++I)
        Icons.emplace_back(QPixmap(16, 16));
    Tree.SetImages(Icons);
    const QAbstractItemModel* M = Tree.model();
    EXPECT_FALSE(M->data(Tree.IndexOf(Tree.Child(nullptr, 0)), Qt::DecorationRole).isNull());
    EXPECT_TRUE(M->data(Tree.IndexOf(Tree.Child(nullptr, 3)), Qt::DecorationRole).isNull());
    EXPECT_EQ(M->data(Tree.IndexOf(Tree.Child(nullptr, 1)), Qt::ToolTipRole).toString(),
              "PC1 done");

    Tree.SetSelected(Tree.Child(nullptr, 3), true);
    Tree.SetSelected(Tree.Child(nullptr, 0), true);
    EXPECT_EQ(Log.SelectionText(), "PC2 nothing found\r\nappended");
    Log.Clear();
    EXPECT_EQ(Tree.RootNodeCount(), 0);
}

} // namespace
