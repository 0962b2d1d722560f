#include "app/uDlgIPRangeEdit.h"

#include "engine/NetUtil.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"

#include "ui_uDlgIPRangeEdit.h"

TDlgIPRangeEdit::TDlgIPRangeEdit(QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgIPRangeEdit>()), FActions(new TActionList(this))
{
    ui->setupUi(this);
    FactOK = FActions->Add(
        "actOK", tr("OK"), [this] { accept(); },
        [this](TAction& A) {
            // The address reading of inet_addr, which takes the short forms
            // ("10.1") and cannot tell 255.255.255.255 from an error, so
            // that address is refused. Start and stop may come in any order.
            const std::string Start = StartIP(), Stop = StopIP();
            A.setEnabled(!Start.empty() && !Stop.empty() && IsIPAddress(Start) &&
                         IsIPAddress(Stop));
        });
    BindButton(ui->btnOK, FactOK);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    FActions->UpdateActions();
}

TDlgIPRangeEdit::~TDlgIPRangeEdit() = default;

void TDlgIPRangeEdit::SetRange(const std::string& Start, const std::string& Stop)
{
    ui->edStartIP->setText(ToQ(Start));
    ui->edStopIP->setText(ToQ(Stop));
    FActions->UpdateActions();
}

std::string TDlgIPRangeEdit::StartIP() const
{
    return FromQ(ui->edStartIP->text());
}

std::string TDlgIPRangeEdit::StopIP() const
{
    return FromQ(ui->edStopIP->text());
}

bool EditIPRange(std::string& StartIP, std::string& StopIP)
{
    TDlgIPRangeEdit Dlg(DialogOwner());
    TranslateForm(&Dlg);
    Dlg.SetRange(StartIP, StopIP);
    if (ShowModal(Dlg) != mrOk)
        return false;
    StartIP = Dlg.StartIP();
    StopIP = Dlg.StopIP();
    return true;
}
