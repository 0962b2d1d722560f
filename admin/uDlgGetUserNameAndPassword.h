// Asks whether to act as the current user or as another user with a
// password.
#pragma once

#include <QDialog>

#include <memory>
#include <string>

class TAction;
class TActionList;
namespace Ui {
class TDlgGetUserNameAndPassword;
}

class TDlgGetUserNameAndPassword : public QDialog {
    Q_OBJECT
public:
    explicit TDlgGetUserNameAndPassword(QWidget* Owner);
    ~TDlgGetUserNameAndPassword() override;

    // Fills the edits; "The following user:" is checked when UserName is set.
    void SetValues(const std::string& UserName, const std::string& Password);
    // Empty for the current user.
    std::string UserName() const;
    std::string Password() const;

    TAction* actCurrentUser() const { return FactCurrentUser; }
    TAction* actFolllowingUser() const { return FactFolllowingUser; }
    TAction* actShowPassword() const { return FactShowPassword; }
    TAction* actOK() const { return FactOK; }

protected:
    void showEvent(QShowEvent* Event) override;

private:
    void UpdateControls();
    void Confirm();

    std::unique_ptr<Ui::TDlgGetUserNameAndPassword> ui;
    TActionList* FActions;
    TAction* FactCurrentUser;
    TAction* FactFolllowingUser;
    TAction* FactShowPassword;
    TAction* FactOK;
};

// Shows the dialog on the two values; True on OK, which sets them (both empty
// for the current user).
bool GetUserNameAndPassword(std::string& UserName, std::string& Password);
