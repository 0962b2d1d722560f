#include "crashreport/helper/kelExceptViewer.h"

#include <QHeaderView>
#include <QPainter>

namespace {

// Where a row keeps a colour of its own.
constexpr int RowColourRole = Qt::UserRole + 1;

} // namespace

QColor ViewerCellColour(int Column, int ColumnCount, bool Selected, const QColor& RowColour)
{
    QColor C;
    if (RowColour.isValid())
        C = RowColour;
    else if (Column % 2 == 1 || ColumnCount == 1)
        C = QColor(255, 255, 255);
    else if (Column % 4 == 0)
        C = QColor(240, 248, 255);
    else
        C = QColor(255, 244, 244);
    if (Selected)
        C = QColor(std::max(0, C.red() - 16), std::max(0, C.green() - 16),
                   std::max(0, C.blue() - 16));
    return C;
}

TExceptViewer::TExceptViewer(const TViewerTable& Table, const QFont& Normal, const QFont& Fixed,
                             QWidget* Parent)
    : QTreeWidget(Parent)
{
    setRootIsDecorated(false);
    setUniformRowHeights(true);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSortingEnabled(false);
    setWordWrap(false);
    setTextElideMode(Qt::ElideRight);
    setFont(Table.FixedFont ? Fixed : Normal);
    header()->setSectionsClickable(false);
    const int Columns = static_cast<int>(Table.Columns.size());
    setColumnCount(Columns);
    QStringList Headings;
    for (const TViewerColumn& C : Table.Columns)
        Headings << QString::fromStdString(C.Heading);
    setHeaderLabels(Headings);
    for (int C = 0; C < Columns; ++C)
        headerItem()->setTextAlignment(
            C, (Table.Columns[C].Right ? Qt::AlignRight : Qt::AlignLeft) | Qt::AlignVCenter);
    QList<QTreeWidgetItem*> Items;
    for (const std::vector<std::string>& Row : Table.Rows) {
        auto* Item = new QTreeWidgetItem;
        for (int C = 0; C < Columns && C < static_cast<int>(Row.size()); ++C) {
            Item->setText(C, QString::fromStdString(Row[C]));
            Item->setTextAlignment(C, (Table.Columns[C].Right ? Qt::AlignRight : Qt::AlignLeft) |
                                          Qt::AlignVCenter);
            if (Row[C] == ViewerSeparatorCell)
                Item->setForeground(C, QColor(128, 128, 128));
        }
        Items << Item;
    }
    addTopLevelItems(Items);
    for (int C = 0; C < Columns; ++C)
        resizeColumnToContents(C);
}

QStringList TExceptViewer::RowTexts(int Row) const
{
    QStringList Texts;
    if (const QTreeWidgetItem* Item = topLevelItem(Row))
        for (int C = 0; C < columnCount(); ++C)
            Texts << Item->text(C);
    return Texts;
}

void TExceptViewer::SetRowColour(int Row, const QColor& Colour)
{
    if (QTreeWidgetItem* Item = topLevelItem(Row))
        Item->setData(0, RowColourRole, Colour);
}

void TExceptViewer::drawRow(QPainter* Painter, const QStyleOptionViewItem& Option,
                            const QModelIndex& Index) const
{
    const bool Selected = selectionModel()->isRowSelected(Index.row(), Index.parent());
    const QColor RowColour = Index.sibling(Index.row(), 0).data(RowColourRole).value<QColor>();
    const int Columns = columnCount();
    for (int C = 0; C < Columns; ++C) {
        const QRect Cell(header()->sectionViewportPosition(C), Option.rect.top(),
                         header()->sectionSize(C), Option.rect.height());
        Painter->fillRect(Cell, ViewerCellColour(C, Columns, Selected, RowColour));
        const QModelIndex I = Index.sibling(Index.row(), C);
        const QString Text = I.data(Qt::DisplayRole).toString();
        const bool Separator =
            Text == QString::fromUtf8(ViewerSeparatorCell.data(), ViewerSeparatorCell.size());
        Painter->setPen(Separator ? QColor(128, 128, 128) : QColor(0, 0, 0));
        const QRect TextRect = Cell.adjusted(3, 0, -3, 0);
        const QString Shown = Option.fontMetrics.elidedText(Text, Qt::ElideRight, TextRect.width());
        Painter->drawText(
            TextRect, static_cast<int>(I.data(Qt::TextAlignmentRole).toInt()) | Qt::TextSingleLine,
            Shown);
    }
    if (Selected) {
        Painter->setPen(ViewerSelectionFrame);
        Painter->drawRect(Option.rect.adjusted(0, 0, -1, -1));
    }
}
