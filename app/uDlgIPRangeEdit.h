// "Edit IP Range": a start and a stop address.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

class TAction;
class TActionList;
namespace Ui {
class TDlgIPRangeEdit;
}

class TDlgIPRangeEdit : public QDialog {
    Q_OBJECT
public:
    explicit TDlgIPRangeEdit(QWidget* Owner);
    ~TDlgIPRangeEdit() override;

    TAction* actOK() const { return FactOK; }
    void SetRange(const std::string& StartIP, const std::string& StopIP);
    std::string StartIP() const;
    std::string StopIP() const;

private:
    std::unique_ptr<Ui::TDlgIPRangeEdit> ui;
    TActionList* FActions;
    TAction* FactOK;
};

// True on OK; StartIP and StopIP then hold the two edits' texts.
bool EditIPRange(std::string& StartIP, std::string& StopIP);
