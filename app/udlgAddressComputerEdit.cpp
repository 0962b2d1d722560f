#include "app/udlgAddressComputerEdit.h"

#include "app/udlgAddressComputerFind.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"

#include "ui_udlgAddressComputerEdit.h"

namespace {

// The computer picker fed by the network enumeration, in place of the shell's
// browse-for-computer dialog.
TComputerBrowser& Browser()
{
    static TComputerBrowser B = [](QWidget*, std::string& Name) { return SelectComputer(Name); };
    return B;
}

} // namespace

TComputerBrowser SetComputerBrowser(TComputerBrowser Value)
{
    TComputerBrowser Old = std::move(Browser());
    Browser() = std::move(Value);
    return Old;
}

TdlgAddressComputerEdit::TdlgAddressComputerEdit(QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TdlgAddressComputerEdit>()),
      FActions(new TActionList(this))
{
    ui->setupUi(this);
    FactAdd = FActions->Add(
        "actAdd", tr("OK"),
        [this] {
            // Only reachable when the update handler was bypassed; a name
            // of blanks alone would be an entry that no scan can use.
            if (Name().empty()) {
                ShowMessageBox(sEnterValidCompName, sError, TMsgIcon::Error);
                return;
            }
            accept();
        },
        [this](TAction& A) { A.setEnabled(!Name().empty()); });
    BindButton(ui->btnOK, FactAdd);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->btnBrowse, &QToolButton::clicked, this, [this] { Browse(); });
    ui->btnBrowse->setVisible(static_cast<bool>(Browser()));
    FActions->UpdateActions();
}

TdlgAddressComputerEdit::~TdlgAddressComputerEdit() = default;

void TdlgAddressComputerEdit::SetName(const std::string& Value)
{
    ui->edName->setText(ToQ(Value));
    FActions->UpdateActions();
}

std::string TdlgAddressComputerEdit::Name() const
{
    return FromQ(ui->edName->text().trimmed());
}

void TdlgAddressComputerEdit::Browse()
{
    if (!Browser())
        return;
    std::string Chosen;
    if (Browser()(this, Chosen) && !Chosen.empty())
        SetName(Chosen);
}

bool EditAddressComputer(std::string& Address)
{
    TdlgAddressComputerEdit Dlg(DialogOwner());
    TranslateForm(&Dlg);
    if (!Address.empty()) {
        Dlg.SetName(Address);
        Dlg.setWindowTitle(ToQ(Translate("sAddressComputerEditTitle")));
    } else {
        Dlg.setWindowTitle(ToQ(Translate("sAddressComputerAddTitle")));
    }
    if (ShowModal(Dlg) != mrOk)
        return false;
    const std::string Name = Dlg.Name();
    if (Name == Address)
        return false;
    Address = Name;
    return !Name.empty();
}
