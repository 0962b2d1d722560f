// The IP range list: ranges kept to be scanned again, each stored as one
// string "start-stop", and "IP Range List Manager" that edits the list.
#pragma once

#include <QDialog>

#include <memory>
#include <string>
#include <vector>

class TAction;
class TActionList;
class TVirtualNode;
namespace Ui {
class TdlgBookmarksManage;
}

// StartIP + "-" + StopIP.
std::string MakeBookmark(const std::string& StartIP, const std::string& StopIP);
// The items of Text split at "-" and at blanks and control characters
// outside double quotes; blanks around items are dropped, a double-quoted
// part is one item ("" inside it stands for one quote).
std::vector<std::string> SplitBookmarkItems(const std::string& Text);
// With at least two items, StartIP and StopIP take the first two; otherwise
// both stay as they are.
void SplitBookmark(const std::string& Text, std::string& StartIP, std::string& StopIP);
// The caption of its menu item: the stored text.
std::string GetBookmarkCaption(const std::string& Text);

class TdlgBookmarksManage : public QDialog {
    Q_OBJECT
public:
    TdlgBookmarksManage(QWidget* Owner, const std::vector<std::string>& Bookmarks);
    ~TdlgBookmarksManage() override;

    // The rows in display order.
    std::vector<std::string> Rows() const;
    TAction* Action(const char* Name) const;

private:
    void Move(int Delta);

    std::unique_ptr<Ui::TdlgBookmarksManage> ui;
    TActionList* FActions;
};

// Shows the manager on Bookmarks; true on OK, when Bookmarks has been
// replaced by the dialog's rows.
bool ManageBookmarks(std::vector<std::string>& Bookmarks);
