// The editor of one user command: name, program, parameters, working folder.
#pragma once

#include <QDialog>

#include <cstdint>
#include <memory>
#include <string>

class TAction;
class TActionList;
namespace Ui {
class TDlgCommandListEdit;
}

class TDlgCommandListEdit : public QDialog {
    Q_OBJECT
public:
    explicit TDlgCommandListEdit(QWidget* Owner);
    ~TDlgCommandListEdit() override;

    TAction* actOK() const { return FactOK; }
    // Caption "sEditTool" when Name is non-empty, else "sAddTool".
    void SetValues(const std::string& Name, const std::string& FileName,
                   const std::string& Parameters, const std::string& Directory);
    std::string Name() const;
    std::string FileName() const;
    std::string Parameters() const;
    std::string Directory() const;

    // The two "..." buttons: the file prompt (PromptForFileName) and the
    // folder chooser (SelectDirectory) of Dialogs.h.
    void BrowseFileName();
    void BrowseDirectory();

private:
    std::unique_ptr<Ui::TDlgCommandListEdit> ui;
    TActionList* FActions;
    TAction* FactOK;
};

// Shows the editor on the values; True on OK, which copies Name, FileName,
// Parameters and Directory back. Operation and ShowCmd pass through
// unchanged.
bool EditCommandListItem(std::string& Name, std::string& Operation, std::string& FileName,
                         std::int32_t& ShowCmd, std::string& Directory, std::string& Parameters);
