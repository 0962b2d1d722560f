// The result list's view settings: grid lines (painted by the list), stripes,
// the column order restored, and the header's pop-up menu.
#include "tests/app/PortableWindowSupport.h"

#include "settings/uXMLStorage.h"

#include <QDialog>
#include <QHeaderView>
#include <QImage>

namespace {

using namespace guitest;

class ViewSettings : public PortableWindow {
protected:
    void AddRows()
    {
        Found("10.0.0.1", "02-00-00-00-00-01");
        Found("10.0.0.2", "02-00-00-00-00-02");
        QApplication::processEvents();
    }
    QImage Shot()
    {
        Tree->viewport()->repaint();
        return Tree->viewport()->grab().toImage();
    }
    bool StoredBool(const std::string& Key)
    {
        TXMLStorage S(AppDir + "/options.xml");
        S.Load();
        return S.ReadBool("Defaults", Key, false);
    }
};

TEST_F(ViewSettings, VerticalGridSetsAndClearsBothOptionsAndTheListPaintsThem)
{
    OpenWindow();
    AddRows();
    // From no grid at all, whatever the default file says.
    if (Tree->HasPaintOption(poShowVertGridLines)) {
        ASSERT_TRUE(Form->actShowVerticalGrid->Execute());
    }
    if (Tree->HasPaintOption(poShowHorzGridLines)) {
        ASSERT_TRUE(Form->actShowHorizontalGrid->Execute());
    }
    ASSERT_EQ(Tree->PaintOptions(), 0u);
    const QImage Plain = Shot();

    // Checking sets both vertical options, unchecking clears both; the
    // horizontal one is not touched by either.
    ASSERT_TRUE(Form->actShowVerticalGrid->Execute());
    EXPECT_TRUE(Form->actShowVerticalGrid->isChecked());
    EXPECT_TRUE(Tree->HasPaintOption(poShowVertGridLines));
    EXPECT_TRUE(Tree->HasPaintOption(poFullVertGridLines));
    EXPECT_FALSE(Tree->HasPaintOption(poShowHorzGridLines));

    // A vertical line at the first column's right edge, below the rows too
    // (full vertical lines); none before.
    const QHeaderView* H = Tree->header();
    const int X = H->sectionViewportPosition(0) + H->sectionSize(0) - 1;
    const int BelowRows = Tree->viewport()->height() - 3;
    const QImage Vertical = Shot();
    EXPECT_NE(Vertical.pixel(X, BelowRows), Plain.pixel(X, BelowRows));
    EXPECT_NE(Vertical.pixel(X, 5), Plain.pixel(X, 5));
    // Nothing else changed: a point away from any column edge.
    EXPECT_EQ(Vertical.pixel(X - 7, BelowRows), Plain.pixel(X - 7, BelowRows));
    EXPECT_TRUE(SaveScreenshot(*Form, "ViewSettings-VerticalGrid"));

    ASSERT_TRUE(Form->actShowVerticalGrid->Execute());
    EXPECT_FALSE(Form->actShowVerticalGrid->isChecked());
    EXPECT_FALSE(Tree->HasPaintOption(poShowVertGridLines));
    EXPECT_FALSE(Tree->HasPaintOption(poFullVertGridLines));
    EXPECT_EQ(Shot().pixel(X, BelowRows), Plain.pixel(X, BelowRows));

    // Horizontal lines: under each row, across a column's middle.
    ASSERT_TRUE(Form->actShowHorizontalGrid->Execute());
    EXPECT_TRUE(Tree->HasPaintOption(poShowHorzGridLines));
    EXPECT_FALSE(Tree->HasPaintOption(poShowVertGridLines));
    const QRect Row = Tree->visualRect(Tree->IndexOf(Tree->Child(nullptr, 0), 1));
    ASSERT_TRUE(Row.isValid());
    const QImage Horizontal = Shot();
    EXPECT_NE(Horizontal.pixel(Row.center().x(), Row.bottom()),
              Plain.pixel(Row.center().x(), Row.bottom()));
    // Both kinds together, for the eye.
    ASSERT_TRUE(Form->actShowVerticalGrid->Execute());
    EXPECT_TRUE(SaveScreenshot(*Form, "ViewSettings-GridLines"));

    // Stripes follow the option and the list shows them.
    const bool Before = bStripped;
    ASSERT_TRUE(Form->actShowStripedGrid->Execute());
    EXPECT_EQ(bStripped, !Before);
    EXPECT_EQ(Tree->Stripes(), bStripped);
    EXPECT_EQ(Form->actShowStripedGrid->isChecked(), bStripped);
    ASSERT_TRUE(Form->actShowStripedGrid->Execute());
    EXPECT_EQ(bStripped, Before);
    EXPECT_EQ(Tree->Stripes(), Before);
}

TEST_F(ViewSettings, GridOptionsSurviveARestart)
{
    // Two rounds with opposite choices, so that neither default can pass.
    for (const bool Vert : {true, false}) {
        SCOPED_TRACE(Vert ? "vertical on, horizontal off" : "vertical off, horizontal on");
        OpenWindow();
        if (Tree->HasPaintOption(poShowVertGridLines) != Vert) {
            ASSERT_TRUE(Form->actShowVerticalGrid->Execute());
        }
        if (Tree->HasPaintOption(poShowHorzGridLines) == Vert) {
            ASSERT_TRUE(Form->actShowHorizontalGrid->Execute());
        }
        CloseWindow();
        EXPECT_EQ(StoredBool("bVertGrid"), Vert);
        EXPECT_EQ(StoredBool("bHorzGrid"), !Vert);

        bVertGrid = !Vert; // what the file says must win over what is left
        bHorzGrid = Vert;
        OpenWindow();
        EXPECT_EQ(Tree->HasPaintOption(poShowVertGridLines), Vert);
        EXPECT_EQ(Tree->HasPaintOption(poFullVertGridLines), Vert);
        EXPECT_EQ(Tree->HasPaintOption(poShowHorzGridLines), !Vert);
        Form->actShowVerticalGrid->Update();
        EXPECT_EQ(Form->actShowVerticalGrid->isChecked(), Vert);
        CloseWindow();
    }
}

TEST_F(ViewSettings, RestoreOrderGivesTheNaturalOrderAndKeepsWidthsAndVisibility)
{
    OpenWindow();
    ASSERT_EQ(Tree->ColumnCount(), MACColumnCount);
    Tree->SetColumnPosition(3, 0);
    Tree->SetColumnPosition(1, 4);
    Tree->SetColumnVisible(2, false);
    Tree->SetColumnWidth(4, 222);
    Tree->SetColumnWidth(0, 181);
    ASSERT_NE(Tree->ColumnPosition(0), 0);
    std::vector<int> Widths;
    std::vector<bool> Visible;
    for (int I = 0; I < MACColumnCount; ++I) {
        Widths.push_back(Tree->Column(I).Width);
        Visible.push_back(Tree->Column(I).Visible);
    }
    ASSERT_TRUE(Form->actShowRestoreOrder->Execute());
    for (int I = 0; I < MACColumnCount; ++I) {
        SCOPED_TRACE(I);
        EXPECT_EQ(Tree->ColumnPosition(I), I);
        EXPECT_EQ(Tree->Column(I).Width, Widths[static_cast<size_t>(I)]);
        EXPECT_EQ(Tree->Column(I).Visible, Visible[static_cast<size_t>(I)]);
        EXPECT_EQ(MACColumns[static_cast<size_t>(I)].Position, I);
    }
    EXPECT_EQ(Tree->Column(4).Width, 222);
    EXPECT_FALSE(Tree->Column(2).Visible);

    // "Select columns..." tunes this list.
    std::vector<std::string> Shown;
    ModalDriver D([&](QDialog& Dlg) {
        Shown.push_back(Dlg.metaObject()->className());
        return mrCancel;
    });
    ASSERT_TRUE(Form->actSelectColumns->Execute());
    EXPECT_EQ(Shown, std::vector<std::string>{"TdlgTuneColumn"});
}

TEST_F(ViewSettings, HeaderPopupListsTheColumnsAndTheViewCommands)
{
    OpenWindow();
    // The main column away from the front and one column hidden: the items
    // go in display order and the main column's is the disabled one.
    Tree->SetColumnPosition(0, 2);
    Tree->SetColumnVisible(3, false);
    QHeaderView* H = Tree->header();
    emit H->customContextMenuRequested(QPoint(10, 5));
    QApplication::processEvents();
    QMenu* Menu = Form->pmHeaderMacList;
    ASSERT_TRUE(Menu->isVisible());
    EXPECT_TRUE(SaveScreenshot(*Menu, "ViewSettings-HeaderPopup"));
    const QList<QAction*> Items = Menu->actions();
    ASSERT_EQ(Items.size(), MACColumnCount + 8);
    for (int P = 0; P < MACColumnCount; ++P) {
        QAction* Item = Items[P];
        int Column = -1;
        for (int I = 0; I < MACColumnCount; ++I)
            if (Tree->ColumnPosition(I) == P)
                Column = I;
        SCOPED_TRACE(Column);
        EXPECT_EQ(FromQ(Item->text()), Tree->Column(Column).Text);
        EXPECT_TRUE(Item->isCheckable());
        EXPECT_EQ(Item->isChecked(), Column != 3);
        EXPECT_EQ(Item->isEnabled(), Column != Tree->MainColumn());
    }
    EXPECT_EQ(Items[2]->objectName(), "pmHeaderMacListColumn0");
    std::vector<std::string> Rest;
    for (qsizetype I = MACColumnCount; I < Items.size(); ++I)
        Rest.push_back(Items[I]->isSeparator() ? "-" : Items[I]->objectName().toStdString());
    EXPECT_EQ(Rest, (std::vector<std::string>{"-", "actShowHorizontalGrid", "actShowVerticalGrid",
                                              "actShowStripedGrid", "-", "actShowRestoreOrder",
                                              "actSelectColumns", "-"}));
    // The check marks of the view commands are current when the menu opens.
    EXPECT_EQ(Items[MACColumnCount + 2]->isChecked(), Tree->HasPaintOption(poShowVertGridLines));

    // A column item shows and hides its column.
    Items[4]->trigger();
    int Fifth = -1;
    for (int I = 0; I < MACColumnCount; ++I)
        if (Tree->ColumnPosition(I) == 4)
            Fifth = I;
    EXPECT_FALSE(Tree->Column(Fifth).Visible);
    Menu->hide();
    emit H->customContextMenuRequested(QPoint(10, 5));
    QApplication::processEvents();
    EXPECT_FALSE(Menu->actions()[4]->isChecked());
    Menu->actions()[4]->trigger();
    EXPECT_TRUE(Tree->Column(Fifth).Visible);
    Menu->hide();
    // The header's menu is its own: the row pop-up stays closed.
    EXPECT_FALSE(Form->pmMAcList->isVisible());
}

} // namespace
