#include "app/uDlgLookupMACAddress.h"

#include "engine/MacVendorFunctions.h"
#include "engine/uFormat.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "platform/LocalInterfaces.h"
#include "settings/uProgramOptions.h"

#include "ui_uDlgLookupMACAddress.h"

#include <QMenu>

#include <algorithm>
#include <cctype>
#include <exception>

namespace {

// The vendor of MAC; empty when unknown. A database that cannot be opened or
// read (no "vendors.db" beside the program) is said in a message box: the
// dialog stays usable, and false leaves the manufacturer empty rather than
// calling a vendor unknown that was never looked up.
bool VendorOf(const std::string& MAC, std::string& Vendor)
{
    Vendor.clear();
    try {
        GetVendorByMac(MAC, Vendor);
        return true;
    } catch (const std::exception& E) {
        ShowMessageBox(E.what(), sError, TMsgIcon::Error);
        Vendor.clear();
        return false;
    }
}

std::string VendorOrEmpty(const std::string& MAC)
{
    std::string Vendor;
    if (MAC.empty())
        return Vendor;
    VendorOf(MAC, Vendor);
    return Vendor;
}

// A MAC worth offering: it has digits and not only zeros.
bool IsOfferable(const std::string& MAC)
{
    return std::any_of(MAC.begin(), MAC.end(), [](char C) {
        return std::isxdigit(static_cast<unsigned char>(C)) && C != '0';
    });
}

void AddOffer(std::vector<std::string>& List, const std::string& MAC)
{
    if (IsOfferable(MAC) && std::find(List.begin(), List.end(), MAC) == List.end())
        List.push_back(MAC);
}

} // namespace

std::vector<std::string> LocalAdapterMACs()
{
    std::vector<std::string> List;
    std::vector<platform::LocalInterface> Adapters;
    try {
        Adapters = platform::ListLocalInterfaces();
    } catch (const platform::EInterfaceListError&) {
        return List; // nothing to offer
    }
    for (const platform::LocalInterface& A : Adapters)
        AddOffer(List, A.HardwareAddressText('-'));
    return List;
}

bool IsMACAddressText(const std::string& Text)
{
    if (Text.size() != 17)
        return false;
    for (size_t I = 0; I < Text.size(); ++I) {
        const char C = static_cast<char>(std::tolower(static_cast<unsigned char>(Text[I])));
        if (I % 3 == 2) {
            if (C != '-' && C != ':')
                return false;
        } else if (!((C >= '0' && C <= '9') || (C >= 'a' && C <= 'f'))) {
            return false;
        }
    }
    return true;
}

TDlgLookupMACAddress::TDlgLookupMACAddress(QWidget* Owner, const std::string& MAC,
                                           const std::vector<std::string>* MACList)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgLookupMACAddress>()), FMenu(new QMenu(this)),
      FInitialMAC(MAC)
{
    ui->setupUi(this);
    FMenu->setObjectName("pmMACAddress");
    ui->edMAnufacturer->setBackgroundRole(QPalette::Window);

    if (MACList) {
        for (const std::string& M : *MACList)
            AddOffer(FOffered, M);
    } else {
        FOffered = LocalAdapterMACs();
    }
    for (size_t I = 0; I < FOffered.size(); ++I) {
        const int Tag = static_cast<int>(I);
        connect(FMenu->addAction(ToQ(FOffered[I])), &QAction::triggered, this,
                [this, Tag] { Choose(Tag); });
    }
    std::string Shown = MAC;
    if (Shown.empty() && !FOffered.empty())
        Shown = FOffered.front();
    if (FOffered.empty())
        connect(FMenu->addAction(ToQ(MAC)), &QAction::triggered, this, [this] { Choose(-1); });

    ui->edMAcAddress->setText(ToQ(Shown));
    ui->edMAnufacturer->setText(ToQ(VendorOrEmpty(Shown)));

    // Typing makes the shown manufacturer stale; setting the text from a
    // menu choice does not count as typing.
    connect(ui->edMAcAddress, &QLineEdit::textEdited, ui->edMAnufacturer, &QLineEdit::clear);
    connect(ui->sbSelectMAC, &QToolButton::clicked, this, [this] {
        FMenu->popup(ui->sbSelectMAC->mapToGlobal(QPoint(0, ui->sbSelectMAC->height())));
    });
    connect(ui->btnLookup, &QPushButton::clicked, this, &TDlgLookupMACAddress::Lookup);
    connect(ui->btnClose, &QPushButton::clicked, this, &QDialog::accept);
}

TDlgLookupMACAddress::~TDlgLookupMACAddress() = default;

void TDlgLookupMACAddress::Choose(int Tag)
{
    const std::string MAC =
        Tag >= 0 && Tag < static_cast<int>(FOffered.size()) ? FOffered[Tag] : FInitialMAC;
    ui->edMAcAddress->setText(ToQ(MAC));
    ui->edMAnufacturer->setText(ToQ(VendorOrEmpty(MAC)));
}

void TDlgLookupMACAddress::Lookup()
{
    std::string T = FromQ(ui->edMAcAddress->text());
    for (char& C : T)
        C = C == ':' ? '-' : static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
    if (T.empty())
        return;
    if (!IsMACAddressText(T)) {
        ShowMessageBox(FormatChecked(sMACAddressInvalid, "The MAC address %s is invalid.", {T}),
                       sError, TMsgIcon::Error);
        return;
    }
    std::string Vendor;
    if (!VendorOf(T, Vendor)) {
        ui->edMAnufacturer->clear();
        return;
    }
    ui->edMAnufacturer->setText(ToQ(Vendor.empty() ? sUnknownManufacturer : Vendor));
}

bool ShowLookupMACAddress(const std::string& MAC, const std::vector<std::string>* MACList)
{
    TDlgLookupMACAddress Dlg(DialogOwner(), MAC, MACList);
    TranslateForm(&Dlg);
    return ShowModal(Dlg) == mrOk;
}
