// The manager of the message presets: add, edit, remove and reorder.
#pragma once

#include <QDialog>

#include <memory>

class TAction;
class TActionList;
class TPresets;
namespace Ui {
class TDlgPresetsManage;
}

class TDlgPresetsManage : public QDialog {
    Q_OBJECT
public:
    // Works on Presets directly: the caller hands it a working copy.
    TDlgPresetsManage(TPresets& Presets, QWidget* Owner);
    ~TDlgPresetsManage() override;

    TAction* actMoveUP() const { return FactMoveUP; }
    TAction* actMoveDown() const { return FactMoveDown; }
    TAction* actAdd() const { return FactAdd; }
    TAction* actEdit() const { return FactEdit; }
    TAction* actRemove() const { return FactRemove; }

private:
    int FocusedIndex() const;
    void FocusRow(int Index);
    void Fill();
    void MoveFocused(int Delta);
    void Add();
    void Edit();
    void Remove();

    std::unique_ptr<Ui::TDlgPresetsManage> ui;
    TPresets& FPresets;
    TActionList* FActions;
    TAction* FactMoveUP;
    TAction* FactMoveDown;
    TAction* FactAdd;
    TAction* FactEdit;
    TAction* FactRemove;
};

// Runs the manager on a copy of Presets; on OK Presets takes the copy.
void ManagePresets(TPresets& Presets);
