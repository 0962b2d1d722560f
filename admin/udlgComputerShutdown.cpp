#include "admin/udlgComputerShutdown.h"

#include "admin/uComputerShutdown.h"
#include "admin/uDlgGetUserNameAndPassword.h"
#include "admin/uThrdComputerShutdown.h"
#include "engine/uFormat.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/PlainText.h"
#include "forms/QtStrings.h"
#include "platform/Process.h"
#include "settings/Language.h"

#include "ui_udlgComputerShutdown.h"

#include <QCloseEvent>

std::shared_ptr<platform::TThreadGroup> ComputerShutdownThreads()
{
    static const auto Group = std::make_shared<platform::TThreadGroup>();
    return Group;
}

TdlgComputerShutdown::TdlgComputerShutdown(QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TdlgComputerShutdown>())
{
    ui->setupUi(this);
    connect(ui->btnOK, &QPushButton::clicked, this, &TdlgComputerShutdown::Start);
    connect(ui->btnCancel, &QPushButton::clicked, this, &TdlgComputerShutdown::reject);
    connect(ui->btnCredentials, &QPushButton::clicked, this,
            &TdlgComputerShutdown::EditCredentials);
    ShowWorking(false);
}

TdlgComputerShutdown::~TdlgComputerShutdown()
{
    platform::WipeSecret(FPassword);
    if (FThread) {
        // The thread frees itself and must not report to a dialog that is gone.
        FThread->OnTerminate = nullptr;
        FThread = nullptr;
    }
}

void TdlgComputerShutdown::SetTarget(const std::string& Host, const std::string& UserName,
                                     const std::string& Password, std::int32_t ActionIndex)
{
    FHost = Host;
    FUserName = UserName;
    platform::WipeSecret(FPassword);
    FPassword = Password;
    std::string Info;
    bool Valid = true;
    if (IsShutdownHostThisComputer(Host))
        Info = Translate("sShutdownLocalQuestion");
    else if (Host.empty()) {
        // Without an address there is no computer to ask, and certainly not
        // this one.
        Info = Translate("sShutdownNoAddress");
        Valid = false;
    } else
        Info = FormatChecked(Translate("sShutdownHostQuestion"),
                             "What do you want host \"%s\" to do?", {Host});
    SetPlainText(*ui->lblAdminToolShutdownInfo, Info);
    ui->btnOK->setEnabled(Valid);
    ui->cmbShutdown->setCurrentIndex(
        ActionIndex >= 0 && ActionIndex < ui->cmbShutdown->count() ? ActionIndex : 0);
    ShowWorking(false);
}

void TdlgComputerShutdown::ShowWorking(bool On)
{
    ui->pbProgress->setVisible(On);
    ui->cmbShutdown->setVisible(!On);
    ui->cbForced->setVisible(!On);
    ui->cmbShutdown->setEnabled(!On);
    ui->cbForced->setEnabled(!On);
    ui->btnCredentials->setEnabled(!On);
    if (On)
        ui->btnOK->setEnabled(false);
}

void TdlgComputerShutdown::Start()
{
    if (FThread || !ui->btnOK->isEnabled())
        return;
    FBusy = true;
    FCancelled = false;
    ShowWorking(true);
    FThread =
        new TThrdComputerShutdown(FHost, FUserName, FPassword, ui->cmbShutdown->currentIndex(),
                                  ui->cbForced->isChecked(), ComputerShutdownThreads());
    FThread->OnTerminate = [this](platform::TThread* T) { Finished(T); };
    FThread->Resume();
}

void TdlgComputerShutdown::Finished(platform::TThread* Thread)
{
    auto* T = static_cast<TThrdComputerShutdown*>(Thread);
    FThread = nullptr;
    FBusy = false;
    ShowWorking(false);
    ui->btnOK->setEnabled(true);
    ui->btnCancel->setEnabled(true);
    if (T->ReturnValue == 0) {
        accept();
        return;
    }
    // The user stopped it: there is nothing to report.
    if (FCancelled) {
        QDialog::reject();
        return;
    }
    const std::string Action = FromQ(ui->cmbShutdown->itemText(T->ActionIndex));
    // The computer the question named, named the same way.
    const std::string Target = IsShutdownHostThisComputer(FHost) ? Translate("local host") : FHost;
    const std::string Reason =
        T->ErrorText.empty() ? Translate("sShutdownUnknownReason") : T->ErrorText;
    const std::string Text =
        FormatChecked(Translate("sShutdownUnableTo"), "Unable to %s %s.", {Action, Target}) +
        "\r\n" + FormatChecked(Translate("sShutdownReason"), "Reason: %s", {Reason});
    ShowMessageBox(Text, Translate("sError"), TMsgIcon::Error);
    // The program is ending: nobody is left to try again.
    if (DialogsDismissed())
        QDialog::reject();
}

void TdlgComputerShutdown::EditCredentials()
{
    if (!FThread)
        GetUserNameAndPassword(FUserName, FPassword);
}

void TdlgComputerShutdown::reject()
{
    if (!FThread) {
        QDialog::reject();
        return;
    }
    if (DialogsDismissed()) {
        // The program is ending and would otherwise wait for the request's
        // time limit: every client is killed, and the dialog closes as soon
        // as the thread has reported (what it reports is written out).
        CancelShutdownRequests();
        return;
    }
    // Cancel stops the running request: its client is killed (or logind's
    // answer no longer waited for), and the dialog closes as soon as the
    // thread has reported.
    FCancelled = true;
    ui->btnCancel->setEnabled(false);
    FThread->CancelRequest();
}

void TdlgComputerShutdown::closeEvent(QCloseEvent* Event)
{
    if (FThread) {
        // Closing while a request runs is Cancel: the window goes once the
        // request has stopped.
        Event->ignore();
        reject();
    } else {
        QDialog::closeEvent(Event);
    }
}

bool ShowComputerShutdownDialog(const std::string& Host, const std::string& UserName,
                                const std::string& Password, std::int32_t ActionIndex)
{
    TdlgComputerShutdown Dlg(DialogOwner());
    TranslateForm(&Dlg);
    Dlg.SetTarget(Host, UserName, Password, ActionIndex);
    return ShowModal(Dlg) == mrOk;
}
