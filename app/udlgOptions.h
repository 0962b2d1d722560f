// "Preferences": the options of scanning, names, reachability checks, SNMP
// and the lists. OK puts the changed values into the option globals at once;
// they reach "options.xml" when the program ends.
#pragma once

#include <QDialog>

#include <memory>

namespace Ui {
class TdlgOptions;
}

class TdlgOptions : public QDialog {
    Q_OBJECT
public:
    explicit TdlgOptions(QWidget* Owner);
    ~TdlgOptions() override;

    // The option globals into the controls, and back.
    void ReadOptions();
    void WriteOptions();

private:
    void UpdateStates();

    std::unique_ptr<Ui::TdlgOptions> ui;
};

// Modal; the options change on OK only.
void ShowOptionsDialog();
