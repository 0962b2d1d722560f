#include "app/udlgDetectLocalIPRange.h"

#include "engine/NetUtil.h"
#include "engine/uFormat.h"
#include "engine/uLocalIPandMaskList.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/uProgramOptions.h"

#include "ui_udlgDetectLocalIPRange.h"

TdlgDetectLocalIPRange::TdlgDetectLocalIPRange(QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TdlgDetectLocalIPRange>())
{
    ui->setupUi(this);
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
}

TdlgDetectLocalIPRange::~TdlgDetectLocalIPRange() = default;

void TdlgDetectLocalIPRange::Fill(const TIPAndMask& List)
{
    ui->cmbIPAddressIndex->clear();
    for (int I = 0; I < List.Items.Count(); ++I) {
        const TAddressItem& Item = List.Items.Items(I);
        ui->cmbIPAddressIndex->addItem(ToQ(FormatChecked(sFormatSelectIpRange, "%s (%s)",
                                                         {Item.IpAddress(), Item.AdapterName()})));
    }
    if (ui->cmbIPAddressIndex->count() > 0)
        ui->cmbIPAddressIndex->setCurrentIndex(0);
}

int TdlgDetectLocalIPRange::ItemIndex() const
{
    return ui->cmbIPAddressIndex->currentIndex();
}

bool DetectLocalIPRange(const TIPAndMask& List, std::string& StartIP, std::string& StopIP,
                        bool ForceFirst)
{
    StartIP.clear();
    StopIP.clear();
    const int Count = List.Items.Count();
    if (Count == 0) {
        // Asked for by the user, say why the range stays empty; at start-up
        // a computer without a network just leaves the fields empty.
        if (!ForceFirst)
            ShowMessageBox(sErrorDetectIPRange, sError, TMsgIcon::Error);
        return false;
    }
    int Chosen = 0;
    if (Count > 1 && !ForceFirst) {
        TdlgDetectLocalIPRange Dlg(DialogOwner());
        TranslateForm(&Dlg);
        Dlg.Fill(List);
        if (ShowModal(Dlg) != mrOk)
            return false;
        Chosen = Dlg.ItemIndex();
        if (Chosen < 0 || Chosen >= Count)
            return false;
    }
    const TAddressItem& Item = List.Items.Items(Chosen);
    CalcIPRange(Item.IpAddress(), Item.IpMAsk(), StartIP, StopIP);
    return !StartIP.empty() && !StopIP.empty();
}

bool DetectLocalIPRange(std::string& StartIP, std::string& StopIP, bool ForceFirst)
{
    TIPAndMask List;
    List.LoadFromAdapters();
    return DetectLocalIPRange(List, StartIP, StopIP, ForceFirst);
}
