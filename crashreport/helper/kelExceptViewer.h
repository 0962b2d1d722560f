// The list view of one report section in the exception box: the section's
// table (crashreport/kelExceptViewerText.h) in a QTreeWidget without a tree,
// its rows painted in the report's colours.
#pragma once

#include "crashreport/kelExceptViewerText.h"

#include <QColor>
#include <QTreeWidget>

// The background of a cell: the row's own colour when it has one, else white
// for odd columns and a view of one column, a light blue for columns 0, 4,
// 8 ... and a light red for columns 2, 6, 10 ...; a selected row is darker by
// 16 in each channel.
QColor ViewerCellColour(int Column, int ColumnCount, bool Selected,
                        const QColor& RowColour = QColor());
// The frame of a selected row.
inline const QColor ViewerSelectionFrame{176, 176, 176};

class TExceptViewer final : public QTreeWidget {
    Q_OBJECT
public:
    TExceptViewer(const TViewerTable& Table, const QFont& Normal, const QFont& Fixed,
                  QWidget* Parent = nullptr);

    // The cell texts of a row, as shown.
    QStringList RowTexts(int Row) const;
    // Gives a row a colour of its own.
    void SetRowColour(int Row, const QColor& Colour);

protected:
    void drawRow(QPainter* Painter, const QStyleOptionViewItem& Option,
                 const QModelIndex& Index) const override;
};
