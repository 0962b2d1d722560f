#include "admin/uDlgGetUserNameAndPassword.h"

#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "platform/Process.h"
#include "settings/Language.h"

#include "ui_uDlgGetUserNameAndPassword.h"

#include <QActionGroup>

TDlgGetUserNameAndPassword::TDlgGetUserNameAndPassword(QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgGetUserNameAndPassword>()),
      FActions(new TActionList(this))
{
    ui->setupUi(this);
    FactCurrentUser =
        FActions->Add("actCurrentUser", ui->rbCurrentUser->text(), [this] { UpdateControls(); });
    FactFolllowingUser = FActions->Add("actFolllowingUser", ui->rbFollowingUser->text(), [this] {
        UpdateControls();
        ui->edUserName->setFocus();
    });
    FactShowPassword = FActions->Add("actShowPassword", ui->chkShowPassword->text(), [this] {
        ui->edUserPassword->setEchoMode(FactShowPassword->isChecked() ? QLineEdit::Normal
                                                                      : QLineEdit::Password);
    });
    FactOK = FActions->Add("actOK", ui->btnOK->text(), [this] { Confirm(); });
    for (TAction* A : {FactCurrentUser, FactFolllowingUser, FactShowPassword})
        A->setCheckable(true);
    auto* Group = new QActionGroup(this);
    Group->addAction(FactCurrentUser);
    Group->addAction(FactFolllowingUser);
    FactCurrentUser->setChecked(true);

    // The radio buttons and the check box show their actions' state and
    // trigger them.
    const auto Bind = [](QAbstractButton* Button, TAction* Action) {
        // Triggering a checkable action toggles it; the button then shows
        // what the action holds (an exclusive group may have refused).
        QObject::connect(Button, &QAbstractButton::clicked, Action, [Action, Button](bool On) {
            if (Action->isChecked() != On)
                Action->Execute();
            Button->setChecked(Action->isChecked());
        });
        QObject::connect(Action, &QAction::toggled, Button, &QAbstractButton::setChecked);
        Button->setChecked(Action->isChecked());
    };
    Bind(ui->rbCurrentUser, FactCurrentUser);
    Bind(ui->rbFollowingUser, FactFolllowingUser);
    Bind(ui->chkShowPassword, FactShowPassword);
    BindButton(ui->btnOK, FactOK);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    UpdateControls();
}

TDlgGetUserNameAndPassword::~TDlgGetUserNameAndPassword() = default;

void TDlgGetUserNameAndPassword::SetValues(const std::string& UserName, const std::string& Password)
{
    ui->edUserName->setText(ToQ(UserName));
    ui->edUserPassword->setText(ToQ(Password));
    (UserName.empty() ? FactCurrentUser : FactFolllowingUser)->setChecked(true);
    UpdateControls();
}

std::string TDlgGetUserNameAndPassword::UserName() const
{
    return FactCurrentUser->isChecked() ? std::string() : FromQ(ui->edUserName->text());
}

std::string TDlgGetUserNameAndPassword::Password() const
{
    if (FactCurrentUser->isChecked())
        return std::string();
    // The UTF-8 copy made on the way is wiped too.
    QByteArray Utf8 = ui->edUserPassword->text().toUtf8();
    std::string Text(Utf8.constData(), static_cast<size_t>(Utf8.size()));
    Utf8.fill('\0');
    return Text;
}

void TDlgGetUserNameAndPassword::showEvent(QShowEvent* Event)
{
    QDialog::showEvent(Event);
    if (!ui->edUserName->text().isEmpty() && ui->edUserPassword->text().isEmpty())
        ui->edUserPassword->setFocus();
}

void TDlgGetUserNameAndPassword::UpdateControls()
{
    const bool On = FactFolllowingUser->isChecked();
    for (QWidget* W :
         std::initializer_list<QWidget*>{ui->edUserName, ui->lblUserName, ui->edUserPassword,
                                         ui->lblUserPassword, ui->chkShowPassword})
        W->setEnabled(On);
    FactShowPassword->setEnabled(On);
}

void TDlgGetUserNameAndPassword::Confirm()
{
    if (FactFolllowingUser->isChecked()) {
        if (ui->edUserName->text().isEmpty()) {
            ShowMessageBox(Translate("sCredentialsNoUserName"), Translate("sError"),
                           TMsgIcon::Error);
            ui->edUserName->setFocus();
            return;
        }
        if (ui->edUserPassword->text().isEmpty() &&
            ShowMessageBox(Translate("sCredentialsNoPassword"), Translate("sWarning"),
                           TMsgIcon::Warning, TMsgButtons::YesNo) != mrYes)
            return;
    }
    accept();
}

bool GetUserNameAndPassword(std::string& UserName, std::string& Password)
{
    TDlgGetUserNameAndPassword Dlg(DialogOwner());
    TranslateForm(&Dlg);
    Dlg.SetValues(UserName, Password);
    if (ShowModal(Dlg) != mrOk)
        return false;
    UserName = Dlg.UserName();
    // The buffer of the old password is wiped before it is let go.
    std::string Entered = Dlg.Password();
    platform::WipeSecret(Password);
    Password.swap(Entered);
    platform::WipeSecret(Entered);
    return true;
}
