// "Add Computer" / "Edit computer": one computer name or IP address of the
// address list.
#pragma once

#include <QDialog>

#include <functional>
#include <memory>
#include <string>

class TAction;
class TActionList;
namespace Ui {
class TdlgAddressComputerEdit;
}

// Lets the user pick a computer of the network neighbourhood: true with its
// name in Name, false when none was chosen.
using TComputerBrowser = std::function<bool(QWidget* Owner, std::string& Name)>;

// Installs the browser behind the "..." button (by default the computer
// picker; empty: the button is hidden, as there is nothing to browse);
// returns the one it replaces.
TComputerBrowser SetComputerBrowser(TComputerBrowser Browser);

class TdlgAddressComputerEdit : public QDialog {
    Q_OBJECT
public:
    explicit TdlgAddressComputerEdit(QWidget* Owner);
    ~TdlgAddressComputerEdit() override;

    TAction* actAdd() const { return FactAdd; }
    void SetName(const std::string& Name);
    // The edit's text without blanks around it.
    std::string Name() const;
    // The "..." button.
    void Browse();

private:
    std::unique_ptr<Ui::TdlgAddressComputerEdit> ui;
    TActionList* FActions;
    TAction* FactAdd;
};

// Address empty means "add". True when OK was pressed and the text changed
// to a non-empty one; Address then holds the new text.
bool EditAddressComputer(std::string& Address);
