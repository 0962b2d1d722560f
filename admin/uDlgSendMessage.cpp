#include "admin/uDlgSendMessage.h"

#include "admin/uDlgPresetEdit.h"
#include "admin/uDlgPresetsManage.h"
#include "admin/uSendMessage.h"
#include "engine/uFormat.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/CommonFunctions.h"
#include "settings/Language.h"

#include "ui_uDlgSendMessage.h"

#include <QApplication>
#include <QMenu>
#include <QPalette>

#include <climits>

namespace {

// Kept for the next opening within the run.
std::string LastTitle, LastText;
std::int32_t LastTimeout = 0, LastMessageType = 0;

constexpr int UnitSeconds[] = {1, 60, 3600};

} // namespace

std::shared_ptr<platform::TThreadGroup> SendMessageThreads()
{
    static const auto Group = std::make_shared<platform::TThreadGroup>();
    return Group;
}

TDlgSendMessage::TDlgSendMessage(const std::string& APresetsFile, QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgSendMessage>()), FPresetsFile(APresetsFile),
      FpmPresets(new QMenu(this)), FActions(new TActionList(this))
{
    ui->setupUi(this);
    FpmPresets->setObjectName("pmPresets");
    if (!FPresetsFile.empty())
        FPresets.LoadFromFile(FPresetsFile);

    FactTimeoutEnable = FActions->Add("actTimeoutEnable", tr("Close message after"),
                                      [this] { UpdateTimeoutControls(); });
    FactTimeoutEnable->setCheckable(true);
    ui->chkTimeout->setText(FactTimeoutEnable->text());
    connect(ui->chkTimeout, &QCheckBox::toggled, FactTimeoutEnable, &QAction::setChecked);
    connect(FactTimeoutEnable, &QAction::toggled, this, [this](bool On) {
        ui->chkTimeout->setChecked(On);
        UpdateTimeoutControls();
    });
    FactPreview = FActions->Add(
        "actPreview", tr("Preview"), [this] { Preview(); },
        [this](TAction& A) { A.setEnabled(!ui->mMessage->toPlainText().isEmpty()); });
    FactSend = FActions->Add(
        "actSend", tr("Send"), [this] { Send(); },
        [this](TAction& A) { A.setEnabled(!ui->mMessage->toPlainText().isEmpty() && !FThread); });
    FactPresetsManage = FActions->Add("actPresetsManage", tr("Manage presets"),
                                      [this] { ManagePresets(FPresets); });
    BindButton(ui->btnPreview, FactPreview);
    BindButton(ui->btnSend, FactSend);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->btnPresets, &QPushButton::clicked, this, [this] {
        BuildPresetsMenu();
        FpmPresets->popup(ui->btnPresets->mapToGlobal(ui->btnPresets->rect().bottomRight()));
    });
    // Send and Preview follow the message at once, not only when idle.
    connect(ui->mMessage, &QPlainTextEdit::textChanged, FActions, &TActionList::UpdateActions);
    UpdateTimeoutControls();
    FActions->UpdateActions();
}

TDlgSendMessage::~TDlgSendMessage()
{
    if (FThread) {
        // The thread frees itself; it must not call back into a dialog
        // that is gone.
        FThread->OnTerminate = nullptr;
        FThread->Terminate();
        FThread = nullptr;
        QApplication::restoreOverrideCursor();
    }
    if (FPresets.Modified && !FPresetsFile.empty())
        FPresets.SaveToFile(FPresetsFile);
}

void TDlgSendMessage::SetTarget(const std::string& Host, std::int32_t SessionId)
{
    FHost = Host;
    FSessionId = SessionId;
    const std::string HostText = Host.empty() ? Translate("sLocalHost") : Host;
    ui->gbMessage->setTitle(
        ToQ(SessionId == AllSessions
                ? FormatChecked(Translate("sSendMessageAllSessions"),
                                "Send message to all sessions on \"%s\"", {HostText})
                : FormatChecked(Translate("sSendMessageSession"),
                                "Send message to selected process session (ID: %d) on \"%s\"",
                                {SessionId, HostText})));
}

void TDlgSendMessage::SetTimeoutSeconds(std::int32_t Seconds)
{
    FactTimeoutEnable->setChecked(Seconds > 0);
    int Number, Unit;
    if (Seconds < 1) {
        Number = 10;
        Unit = 1;
    } else if (Seconds % 3600 == 0) {
        Number = Seconds / 3600;
        Unit = 2;
    } else if (Seconds % 60 == 0) {
        Number = Seconds / 60;
        Unit = 1;
    } else {
        Number = Seconds;
        Unit = 0;
    }
    ui->edTimeout->setValue(Number); // the up-down keeps it within 1 to 1000
    ui->cmbTimeoutType->setCurrentIndex(Unit);
    UpdateTimeoutControls();
}

std::int32_t TDlgSendMessage::TimeoutSeconds() const
{
    if (!FactTimeoutEnable->isChecked())
        return 0;
    const int Unit = ui->cmbTimeoutType->currentIndex();
    const std::int64_t Factor = Unit >= 0 && Unit < 3 ? UnitSeconds[Unit] : 1;
    const std::int64_t S = std::int64_t(ui->edTimeout->value()) * Factor;
    return static_cast<std::int32_t>(std::min<std::int64_t>(S, INT32_MAX));
}

std::int32_t TDlgSendMessage::MessageType() const
{
    return std::max(0, ui->cmbMessageType->currentIndex());
}

void TDlgSendMessage::SetMessageType(std::int32_t Type)
{
    ui->cmbMessageType->setCurrentIndex(Type >= 0 && Type <= 3 ? Type : 0);
}

std::string TDlgSendMessage::Title() const
{
    return FromQ(ui->edTitle->text());
}

std::string TDlgSendMessage::Text() const
{
    return NormaliseLineBreaks(FromQ(ui->mMessage->toPlainText()));
}

void TDlgSendMessage::SetMessage(const std::string& Title, const std::string& Text)
{
    ui->edTitle->setText(ToQ(Title));
    ui->mMessage->setPlainText(ToQ(MemoText(Text)));
    FActions->UpdateActions();
}

void TDlgSendMessage::UpdateTimeoutControls()
{
    const bool On = FactTimeoutEnable->isChecked() && !FThread;
    ui->edTimeout->setEnabled(On);
    ui->cmbTimeoutType->setEnabled(On);
    QPalette P = ui->edTimeout->palette();
    P.setColor(QPalette::Base, palette().color(On ? QPalette::Base : QPalette::Button));
    ui->edTimeout->setPalette(P);
}

void TDlgSendMessage::SetControlsEnabled(bool Value)
{
    for (QWidget* W : std::initializer_list<QWidget*>{ui->edTitle, ui->mMessage, ui->cmbMessageType,
                                                      ui->chkTimeout, ui->btnPresets})
        W->setEnabled(Value);
    UpdateTimeoutControls();
    FActions->UpdateActions();
}

void TDlgSendMessage::BuildPresetsMenu()
{
    FpmPresets->clear();
    for (int I = 0; I < FPresets.Count() && I < MaxPresetsInMenu; ++I) {
        // "&" in a preset's name is shown, not taken as an accelerator.
        QAction* A = FpmPresets->addAction(ToQ(FPresets.Items(I)->Name).replace("&", "&&"));
        A->setData(I);
        connect(A, &QAction::triggered, this, [this, I] { ChoosePreset(I); });
    }
    FpmPresets->addSeparator();
    FpmPresets->addAction(FactPresetsManage);
}

void TDlgSendMessage::ChoosePreset(int Index)
{
    if (const TPreset* P = FPresets.Items(Index))
        SetMessage(P->Title, P->Text);
}

void TDlgSendMessage::Preview()
{
    WtsPreviewMessage(ExpandPresetMacros(Title()), ExpandPresetMacros(Text()),
                      MessageTypeToStyle(MessageType()), TimeoutSeconds(), this);
}

void TDlgSendMessage::Send()
{
    if (FThread)
        return;
    auto* Thread = new TThrdSendMessage(
        FHost, ExpandPresetMacros(Title()), ExpandPresetMacros(Text()),
        MessageTypeToStyle(MessageType()), TimeoutSeconds(), FSessionId, SendMessageThreads());
    Thread->OnTerminate = [this](platform::TThread* Sender) { SendDone(Sender); };
    FThread = Thread;
    SetControlsEnabled(false);
    QApplication::setOverrideCursor(Qt::BusyCursor);
    Thread->Resume();
}

void TDlgSendMessage::SendDone(platform::TThread* Sender)
{
    auto* Thread = static_cast<TThrdSendMessage*>(Sender);
    QApplication::restoreOverrideCursor();
    FThread = nullptr;
    if (Thread->Terminated()) {
        done(mrCancel);
        return;
    }
    if (!Thread->ErrorText.empty()) {
        SetControlsEnabled(true);
        if (ShowMessageBox(Thread->ErrorText, Translate("sError"), TMsgIcon::Error,
                           TMsgButtons::RetryCancel) != mrRetry)
            reject();
        return;
    }
    FSent = true;
    accept();
}

bool ShowSendMessageDialog(const std::string& Host, std::int32_t SessionId)
{
    TDlgSendMessage Dlg(PresetsFile, DialogOwner());
    TranslateForm(&Dlg);
    Dlg.SetTarget(Host, SessionId);
    Dlg.SetMessage(LastTitle, LastText);
    Dlg.SetTimeoutSeconds(LastTimeout);
    Dlg.SetMessageType(LastMessageType);
    ShowModal(Dlg);
    if (!Dlg.Sent())
        return false;
    LastTitle = Dlg.Title();
    LastText = Dlg.Text();
    LastTimeout = Dlg.TimeoutSeconds();
    LastMessageType = Dlg.MessageType();
    return true;
}
