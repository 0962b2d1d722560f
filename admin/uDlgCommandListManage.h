// The manager of a command list: add, edit, remove and reorder the commands.
#pragma once

#include "admin/uManagedRows.h"

#include <QDialog>

#include <memory>

class TAction;
class TCommandList;
namespace Ui {
class TDlgCommandListManage;
}

class TDlgCommandListManage : public QDialog {
    Q_OBJECT
public:
    // Works on List directly: ManageCommandList hands it a working copy.
    TDlgCommandListManage(TCommandList& List, QWidget* Owner);
    ~TDlgCommandListManage() override;

    TAction* actMoveUP() const { return FRows->actMoveUP; }
    TAction* actMoveDown() const { return FRows->actMoveDown; }
    TAction* actAddTool() const { return FRows->actAdd; }
    TAction* actEditTool() const { return FRows->actEdit; }
    TAction* actRemoveTool() const { return FRows->actRemove; }

private:
    bool AddTool();
    void EditTool(int Index);
    bool RemoveTool(int Index);

    std::unique_ptr<Ui::TDlgCommandListManage> ui;
    TCommandList& FList;
    std::unique_ptr<TManagedRows> FRows;
};

// Runs the manager on a working copy of List (same name); on OK List takes
// the copy's commands (and is marked Modified when they differ); Cancel
// leaves it as it was.
void ManageCommandList(TCommandList& List);
