#include "admin/uDlgPresetEdit.h"

#include "admin/uPresets.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/Language.h"

#include "ui_uDlgPresetEdit.h"

std::string MemoText(const std::string& Text)
{
    std::string Result;
    Result.reserve(Text.size());
    for (size_t I = 0; I < Text.size(); ++I)
        if (!(Text[I] == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n'))
            Result += Text[I];
    return Result;
}

TDlgPresetEdit::TDlgPresetEdit(QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgPresetEdit>()), FActions(new TActionList(this))
{
    ui->setupUi(this);
    FactOK = FActions->Add(
        "actOK", tr("OK"), [this] { accept(); },
        [this](TAction& A) {
            A.setEnabled(!ui->edName->text().isEmpty() && !ui->mMessage->toPlainText().isEmpty());
        });
    BindButton(ui->btnOK, FactOK);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    // OK follows the fields at once, not only when idle.
    connect(ui->edName, &QLineEdit::textChanged, FActions, &TActionList::UpdateActions);
    connect(ui->mMessage, &QPlainTextEdit::textChanged, FActions, &TActionList::UpdateActions);
    FActions->UpdateActions();
}

TDlgPresetEdit::~TDlgPresetEdit() = default;

void TDlgPresetEdit::SetValues(const std::string& Name, const std::string& Title,
                               const std::string& Text, std::int32_t MessageType)
{
    setWindowTitle(ToQ(Translate(Name.empty() ? "sCreatePreset" : "sEditPreset")));
    ui->edName->setText(ToQ(Name));
    ui->edTitle->setText(ToQ(Title));
    ui->mMessage->setPlainText(ToQ(MemoText(Text)));
    ui->cmbMessageType->setCurrentIndex(
        MessageType >= 0 && MessageType < ui->cmbMessageType->count() ? MessageType : 0);
    FActions->UpdateActions();
}

std::string TDlgPresetEdit::Name() const
{
    return FromQ(ui->edName->text());
}

std::string TDlgPresetEdit::Title() const
{
    return FromQ(ui->edTitle->text());
}

std::string TDlgPresetEdit::Text() const
{
    return NormaliseLineBreaks(FromQ(ui->mMessage->toPlainText()));
}

std::int32_t TDlgPresetEdit::MessageType() const
{
    return std::max(0, ui->cmbMessageType->currentIndex());
}

bool EditPreset(std::string& Name, std::string& Title, std::string& Text, std::int32_t& MessageType)
{
    TDlgPresetEdit Dlg(DialogOwner());
    TranslateForm(&Dlg);
    Dlg.SetValues(Name, Title, Text, MessageType);
    if (ShowModal(Dlg) != mrOk)
        return false;
    Name = Dlg.Name();
    Title = Dlg.Title();
    Text = Dlg.Text();
    MessageType = Dlg.MessageType();
    return true;
}
