// "About": the program's name, version, build date, copyright and icon, with
// a link to the maker's page for updates.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

namespace Ui {
class TAboutBox;
}

class TAboutBox : public QDialog {
    Q_OBJECT
public:
    explicit TAboutBox(QWidget* Owner);
    ~TAboutBox() override;

    // The maker's page that the link and the icon open (path and query).
    static std::string HomePath();

protected:
    bool eventFilter(QObject* Watched, QEvent* Event) override;

private:
    std::unique_ptr<Ui::TAboutBox> ui;
};

// The text under the name: "Version 1.02", the build flags, "Built on: ...".
std::string AboutVersionText();

// Modal.
void ShowAboutBox();
