// The manager of a command list: add, edit, remove and reorder the commands.
#pragma once

#include <QDialog>

#include <memory>

class TAction;
class TActionList;
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

    TAction* actMoveUP() const { return FactMoveUP; }
    TAction* actMoveDown() const { return FactMoveDown; }
    TAction* actAddTool() const { return FactAddTool; }
    TAction* actEditTool() const { return FactEditTool; }
    TAction* actRemoveTool() const { return FactRemoveTool; }

private:
    int FocusedIndex() const;
    void FocusRow(int Index);
    void Fill();
    void MoveFocused(int Delta);
    void AddTool();
    void EditTool();
    void RemoveTool();

    std::unique_ptr<Ui::TDlgCommandListManage> ui;
    TCommandList& FList;
    TActionList* FActions;
    TAction* FactMoveUP;
    TAction* FactMoveDown;
    TAction* FactAddTool;
    TAction* FactEditTool;
    TAction* FactRemoveTool;
};

// Runs the manager on a working copy of List (same name); on OK List takes
// the copy's commands (and is marked Modified when they differ); Cancel
// leaves it as it was.
void ManageCommandList(TCommandList& List);
