#include "app/udlgOptions.h"

#include "engine/uComputerCaption.h"
#include "engine/uEngineOptions.h"
#include "engine/uFormat.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"

#include "ui_udlgOptions.h"

#include <charconv>
#include <initializer_list>

namespace {

// A port as the TCP probe can use it: a whole number from 1 to 65535.
bool ParsePort(const std::string& Text, uint16_t& Port)
{
    int Value = 0;
    const char* End = Text.data() + Text.size();
    const auto [Ptr, Ec] = std::from_chars(Text.data(), End, Value);
    if (Text.empty() || Ec != std::errc() || Ptr != End || Value < 1 || Value > 65535)
        return false;
    Port = static_cast<uint16_t>(Value);
    return true;
}

// A spin box takes the values its option may take: the option's row is the
// one place that bounds it, for the dialog and for a value read from a file.
void SetRangeOf(QSpinBox* Box, const char* Key)
{
    const TOption& Option = EngineOption(Key);
    Box->setRange(static_cast<int>(Option.Min), static_cast<int>(Option.Max));
}

// Unchecks every one of Radios: an exclusive group refuses to lose its last
// checked button, and an option value may select none of them.
void ClearRadios(std::initializer_list<QRadioButton*> Radios)
{
    for (QRadioButton* R : Radios) {
        R->setAutoExclusive(false);
        R->setChecked(false);
        R->setAutoExclusive(true);
    }
}

} // namespace

TdlgOptions::TdlgOptions(QWidget* Owner) : QDialog(Owner), ui(std::make_unique<Ui::TdlgOptions>())
{
    ui->setupUi(this);
    ui->pcOptions->setCurrentIndex(0);
    SetEditNumeric(ui->edTcpPort);
    SetRangeOf(ui->edMaxThreads, "iMaxThreads");
    SetRangeOf(ui->edTimeout, "DefaultTimeout");
    // Each item shows its caption style by example.
    for (int Style = ccsNameIP; Style <= ccsIP; ++Style)
        ui->cmbComputerCaptionStyle->addItem(ToQ(GetComputerCaption(
            sComputerName, sComputerIP, static_cast<TComputerCaptionStyle>(Style))));
    for (QRadioButton* R : {ui->rbDontCheck, ui->rbPing, ui->rbTCPConnect, ui->rbNoName,
                            ui->rbGetNetbiosName, ui->rbGetDomainName})
        connect(R, &QRadioButton::toggled, this, &TdlgOptions::UpdateStates);
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    UpdateStates();
}

TdlgOptions::~TdlgOptions() = default;

// The port is asked for only with the TCP check; the DNS fallback only when
// a name is looked up at all.
void TdlgOptions::UpdateStates()
{
    ui->edTcpPort->setEnabled(ui->rbTCPConnect->isChecked());
    ui->edTcpPort->setBackgroundRole(ui->edTcpPort->isEnabled() ? QPalette::Base
                                                                : QPalette::Window);
    ui->cbGetDomainNameIfNetBiosFailed->setEnabled(!ui->rbNoName->isChecked());
}

void TdlgOptions::ReadOptions()
{
    ui->cmbComputerCaptionStyle->setCurrentIndex(
        ComputerCaptionStyle < ui->cmbComputerCaptionStyle->count() ? ComputerCaptionStyle : -1);
    ui->cbClearBeforeTolvex->setChecked(ClearBeforeTolvex);
    ui->edTimeout->setValue(DefaultTimeout);
    ui->edTcpPort->setText(QString::number(DefaultTCPPort));
    ClearRadios({ui->rbDontCheck, ui->rbPing, ui->rbTCPConnect, ui->rbGetNetbiosName,
                 ui->rbGetDomainName, ui->rbNoName});
    if (DefaultCheckState == -1)
        ui->rbDontCheck->setChecked(true);
    else if (DefaultCheckState == 0)
        ui->rbPing->setChecked(true);
    else if (DefaultCheckState == 1)
        ui->rbTCPConnect->setChecked(true);
    ui->edMaxThreads->setValue(iMaxThreads);
    ui->rbGetNetbiosName->setChecked(bGetNetbiosName);
    ui->rbNoName->setChecked(bNoName);
    ui->rbGetDomainName->setChecked(bGetDomainName);
    ui->cbGetDomainNameIfNetBiosFailed->setChecked(bGetDomainNameIfNetBiosFailed);
    ui->edSNMPCommunity->setText(ToQ(SNMPCommunity));
    ui->cbInverseLog->setChecked(bInverseLog);
    ui->cbIgnoreCheck->setChecked(IgnoreCheck);
    UpdateStates();
}

void TdlgOptions::WriteOptions()
{
    bGetNetbiosName = ui->rbGetNetbiosName->isChecked();
    bGetDomainName = ui->rbGetDomainName->isChecked();
    bNoName = ui->rbNoName->isChecked();
    bGetDomainNameIfNetBiosFailed = ui->cbGetDomainNameIfNetBiosFailed->isChecked();
    iMaxThreads = ui->edMaxThreads->value();
    if (ui->cmbComputerCaptionStyle->currentIndex() >= 0)
        ComputerCaptionStyle = static_cast<uint8_t>(ui->cmbComputerCaptionStyle->currentIndex());
    SNMPCommunity = FromQ(ui->edSNMPCommunity->text());
    bInverseLog = ui->cbInverseLog->isChecked();
    ClearBeforeTolvex = ui->cbClearBeforeTolvex->isChecked();
    DefaultTimeout = ui->edTimeout->value();
    const std::string PortText = FromQ(ui->edTcpPort->text().trimmed());
    if (!ParsePort(PortText, DefaultTCPPort))
        ShowMessageBox(FormatChecked(Translate("The TCP port \"%s\" is not a number from 1 to "
                                               "65535; the port %d is kept."),
                                     "The TCP port \"%s\" is not a number from 1 to 65535; the "
                                     "port %d is kept.",
                                     {PortText, static_cast<int>(DefaultTCPPort)}),
                       sError, TMsgIcon::Warning);
    IgnoreCheck = ui->cbIgnoreCheck->isChecked();
    if (ui->rbDontCheck->isChecked())
        DefaultCheckState = -1;
    else if (ui->rbPing->isChecked())
        DefaultCheckState = 0;
    else if (ui->rbTCPConnect->isChecked())
        DefaultCheckState = 1;
}

void ShowOptionsDialog()
{
    TdlgOptions Dlg(DialogOwner());
    TranslateForm(&Dlg);
    Dlg.ReadOptions();
    if (ShowModal(Dlg) == mrOk)
        Dlg.WriteOptions();
}
