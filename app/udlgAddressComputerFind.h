// "Find Computers": lists the computers of the network neighbourhood while a
// search thread finds them. For the address list it takes every name found;
// as the computer picker (Linux has no shell dialog that browses for a
// computer) the user chooses one name from the list.
#pragma once

#include <QDialog>

#include <memory>
#include <string>
#include <vector>

class TAction;
class TActionList;
class TThrdSearchComputers;
struct TNeighbourhoodSource;
namespace platform {
class TThread;
class TThreadGroup;
} // namespace platform
namespace Ui {
class TdlgAddressComputerFind;
}

class TdlgAddressComputerFind : public QDialog {
    Q_OBJECT
public:
    // Names receives the names found (it is cleared when a search starts).
    // With PickOne the names are listed and OK needs one of them chosen.
    // The search starts at once.
    TdlgAddressComputerFind(QWidget* Owner, std::vector<std::string>& Names, bool PickOne,
                            const TNeighbourhoodSource& Source);
    // A search still running is told to stop and no longer reports here; the
    // thread ends and frees itself.
    ~TdlgAddressComputerFind() override;

    TAction* actAdd() const { return FactAdd; }
    TAction* actFind() const { return FactFind; }
    bool Searching() const { return FThread != nullptr; }
    // The chosen name (PickOne); empty when none is chosen.
    std::string SelectedName() const;

    void done(int Result) override;

private:
    void Find();
    void ComputerFound(const std::string& Name);
    // The search thread has ended; Error: why its browse failed, if it did.
    void SearchEnded(const std::string& Error);
    void Detach();

    std::unique_ptr<Ui::TdlgAddressComputerFind> ui;
    std::vector<std::string>& FNames;
    bool FPickOne;
    std::unique_ptr<TNeighbourhoodSource> FSource;
    TThrdSearchComputers* FThread = nullptr;
    TActionList* FActions;
    TAction* FactAdd;
    TAction* FactFind;
};

// Every search thread of these dialogs belongs to this group, so that the
// program (and a test) can wait until none is left.
std::shared_ptr<platform::TThreadGroup> ComputerSearchThreads();

// Fills Names with every computer found; True on OK (a cancelled search
// leaves the caller nothing to add).
bool ShowAddressComputerFind(std::vector<std::string>& Names);
bool ShowAddressComputerFind(std::vector<std::string>& Names, const TNeighbourhoodSource& Source);
// The computer picker: True on OK with one chosen name in Name; Name is
// unchanged otherwise.
bool SelectComputer(std::string& Name);
bool SelectComputer(std::string& Name, const TNeighbourhoodSource& Source);
// The neighbourhood is the platform's browser unless these are given one.
