// "Find in List...": finds a text in any column of a list, one match per
// press, and keeps the last searches in lstFind.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

class TAction;
class TActionList;
class TVirtualStringTree;
struct TVirtualNode;
namespace Ui {
class TdlgFind;
}

class TdlgFind : public QDialog {
    Q_OBJECT
public:
    TdlgFind(TVirtualStringTree& Tree, QWidget* Owner);
    ~TdlgFind() override;

    TAction* actFind() const { return FactFind; }
    // One press of Find.
    void Find();

private:
    void FillHistory();

    std::unique_ptr<Ui::TdlgFind> ui;
    TVirtualStringTree& FTree;
    TVirtualNode* FMatch = nullptr;
    TActionList* FActions;
    TAction* FactFind;
};

// At most this many searches are remembered.
inline constexpr size_t MaxFindHistory = 8;

// Puts Text at the top of lstFind (dropping the same text in any case and
// the oldest beyond MaxFindHistory).
void AddFindHistory(const std::string& Text);

void ShowFindDialog(TVirtualStringTree& Tree);
