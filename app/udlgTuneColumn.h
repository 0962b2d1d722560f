// The "Column Settings" dialog: shows and hides the columns of a list, sets
// their widths and text alignment; every change shows in the list at once.
#pragma once

#include "settings/CommonTypes.h"

#include <QDialog>

#include <memory>
#include <vector>

class TVirtualStringTree;
struct TVirtualNode;
namespace Ui {
class TdlgTuneColumn;
}

class TdlgTuneColumn : public QDialog {
    Q_OBJECT
public:
    TdlgTuneColumn(TVirtualStringTree& Tree, QWidget* Owner);
    ~TdlgTuneColumn() override;

    // One entry per column of the tree, as the dialog has set them.
    const std::vector<TListColumnStore>& Layout() const { return FLayout; }

    void done(int Result) override;

private:
    // The column of the focused row; -1 when none.
    int FocusedColumn() const;
    void ApplyToTree();
    void TakeWidth();

    std::unique_ptr<Ui::TdlgTuneColumn> ui;
    TVirtualStringTree& FTree;
    std::vector<TListColumnStore> FLayout;
};

// Shows the dialog for Tree. On OK the tree keeps the chosen layout, else
// the one it had before.
void TuneColumns(TVirtualStringTree& Tree);
