#include "Forms.h"
#include "MessageSink.h"
#include "VirtualTrees.h"
#include "uDlgIPRangeEdit.h"
#include "uVirtualTreesColumnsUtil.h"
#include "udlgTuneColumn.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTest>

#include "GuiTestApp.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

namespace {

// Works a dialog while "modal" through Fn, which returns the modal result.
class ModalDriver {
public:
    explicit ModalDriver(TModalDriver Fn) { FOld = SetModalDriver(std::move(Fn)); }
    ~ModalDriver() { SetModalDriver(FOld); }

private:
    TModalDriver FOld;
};

template <typename T> T* Child(QWidget& W, const char* Name)
{
    T* C = W.findChild<T*>(Name);
    if (!C)
        throw std::runtime_error(std::string("no ") + Name);
    return C;
}

TEST(IPRangeEditGui, OkFollowsTheAddressRulesAndValuesComeBackOnOkOnly)
{
    App();
    std::string Start = "192.168.0.1", Stop = "255.255.255.255";
    std::vector<bool> Enabled;
    {
        ModalDriver D([&](QDialog& Dlg) {
            Dlg.show();
            auto* Ok = Child<QPushButton>(Dlg, "btnOK");
            auto* A = Child<QLineEdit>(Dlg, "edStartIP");
            auto* B = Child<QLineEdit>(Dlg, "edStopIP");
            auto* Act = static_cast<TDlgIPRangeEdit&>(Dlg).actOK();
            Act->Update();
            Enabled.push_back(Ok->isEnabled()); // broadcast refused
            B->setText("");
            Act->Update();
            Enabled.push_back(Ok->isEnabled()); // empty refused
            A->setText("10.1");
            B->setText("10.2");
            Act->Update();
            Enabled.push_back(Ok->isEnabled()); // short forms pass
            B->setText("10.x");
            Act->Update();
            Enabled.push_back(Ok->isEnabled());
            B->setText("10.0.0.5");
            return mrCancel;
        });
        EXPECT_FALSE(EditIPRange(Start, Stop));
    }
    EXPECT_EQ(Enabled, (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(Start, "192.168.0.1");
    EXPECT_EQ(Stop, "255.255.255.255");
    {
        ModalDriver D([&](QDialog& Dlg) {
            Dlg.show();
            Child<QLineEdit>(Dlg, "edStopIP")->setText("192.168.0.9");
            // The button follows its action once the event loop goes idle.
            QTest::qWait(2 * TActionList::UpdateIntervalMs);
            Child<QPushButton>(Dlg, "btnOK")->click();
            return Dlg.result() == QDialog::Accepted ? mrOk : mrCancel;
        });
        EXPECT_TRUE(EditIPRange(Start, Stop));
    }
    EXPECT_EQ(Start, "192.168.0.1");
    EXPECT_EQ(Stop, "192.168.0.9");
}

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

TEST(ColumnLayoutGui, SurvivesApplyAndReadAndCancelRestoresExactly)
{
    App();
    TVirtualStringTree Tree;
    const auto Layout = FiveColumns();
    ApplyColumnLayout(Tree, Layout, 4);
    std::vector<TListColumnStore> Read(5);
    ReadColumnLayout(Tree, Read, 4);
    EXPECT_TRUE(SameLayout(Layout, Read));
    EXPECT_EQ(Tree.SortColumn(), 2);
    EXPECT_EQ(Read[2].SortDirection, 1);

    bool MainRefused = false;
    ModalDriver D([&](QDialog& Dlg) {
        Dlg.show();
        auto* List = Child<TVirtualStringTree>(Dlg, "TreeColumns");
        // Rows are in display order: row 0 is column 4, the last row column 0.
        TVirtualNode* N = List->GetFirst();
        std::vector<TVirtualNode*> Rows;
        for (; N; N = List->GetNext(N))
            Rows.push_back(N);
        auto Uncheck = [&](TVirtualNode* Row) {
            List->model()->setData(List->IndexOf(Row), Qt::Unchecked, Qt::CheckStateRole);
        };
        Uncheck(Rows[0]);
        Uncheck(Rows[1]);
        Uncheck(Rows[4]); // the main column
        MainRefused = Rows[4]->CheckState == TNodeCheckState::Checked;
        List->SetFocusedNode(Rows[2]);
        Child<QSpinBox>(Dlg, "udColumnWidth")->setValue(400);
        EXPECT_FALSE(Tree.Column(4).Visible);
        EXPECT_EQ(Tree.Column(2).Width, 400);
        return mrCancel;
    });
    TuneColumns(Tree);
    EXPECT_TRUE(MainRefused);
    ReadColumnLayout(Tree, Read, 4);
    EXPECT_TRUE(SameLayout(Layout, Read));
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
}

} // namespace
