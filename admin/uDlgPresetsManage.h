// The manager of the message presets: add, edit, remove and reorder.
#pragma once

#include "admin/uManagedRows.h"

#include <QDialog>

#include <memory>

class TAction;
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

    TAction* actMoveUP() const { return FRows->actMoveUP; }
    TAction* actMoveDown() const { return FRows->actMoveDown; }
    TAction* actAdd() const { return FRows->actAdd; }
    TAction* actEdit() const { return FRows->actEdit; }
    TAction* actRemove() const { return FRows->actRemove; }

private:
    bool Add();
    void Edit(int Index);
    bool Remove(int Index);

    std::unique_ptr<Ui::TDlgPresetsManage> ui;
    TPresets& FPresets;
    std::unique_ptr<TManagedRows> FRows;
};

// Runs the manager on a copy of Presets; on OK Presets takes the copy.
void ManagePresets(TPresets& Presets);
