#include "app/udlgAddressComputerFind.h"

#include "engine/uFormat.h"
#include "engine/uNetworkEnum.h"
#include "engine/uThrdSearchComputers.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "platform/Thread.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"

#include "ui_udlgAddressComputerFind.h"

#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

std::shared_ptr<platform::TThreadGroup> ComputerSearchThreads()
{
    static const auto Group = std::make_shared<platform::TThreadGroup>();
    return Group;
}

TdlgAddressComputerFind::TdlgAddressComputerFind(QWidget* Owner, std::vector<std::string>& Names,
                                                 bool PickOne, const TNeighbourhoodSource& Source)
    : QDialog(Owner), ui(std::make_unique<Ui::TdlgAddressComputerFind>()), FNames(Names),
      FPickOne(PickOne), FSource(std::make_unique<TNeighbourhoodSource>(Source)),
      FActions(new TActionList(this))
{
    ui->setupUi(this);
    FactAdd = FActions->Add(
        "actAdd", tr("OK"), [this] { accept(); },
        [this](TAction& A) {
            A.setEnabled(FPickOne ? !SelectedName().empty() : (!FNames.empty() && !Searching()));
        });
    FactFind = FActions->Add(
        "actFind", tr("Find"), [this] { Find(); },
        [this](TAction& A) { A.setEnabled(!Searching()); });
    BindButton(ui->btnOK, FactAdd);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    ui->lbComputers->setVisible(FPickOne);
    if (FPickOne) {
        connect(ui->lbComputers, &QListWidget::itemDoubleClicked, this,
                [this](QListWidgetItem*) { FactAdd->Execute(); });
        connect(ui->lbComputers, &QListWidget::currentRowChanged, this,
                [this](int) { FactAdd->Update(); });
        resize(width(), 320);
    }
    ui->pbSearch->setRange(0, 100);
    ui->lblComputerCount->setVisible(false);
    FactFind->Execute();
    FActions->UpdateActions();
}

TdlgAddressComputerFind::~TdlgAddressComputerFind()
{
    Detach();
}

void TdlgAddressComputerFind::Detach()
{
    if (!FThread)
        return;
    // From here on the thread reports to nobody; it frees itself when done.
    FThread->SetOnComputerFound({});
    FThread->OnTerminate = nullptr;
    FThread->Terminate();
    FThread = nullptr;
}

void TdlgAddressComputerFind::done(int Result)
{
    Detach();
    QDialog::done(Result);
}

std::string TdlgAddressComputerFind::SelectedName() const
{
    const QListWidgetItem* Item = ui->lbComputers->currentItem();
    return (FPickOne && Item && Item->isSelected()) ? FromQ(Item->text()) : std::string();
}

void TdlgAddressComputerFind::Find()
{
    if (Searching())
        return;
    auto* Thread = new TThrdSearchComputers(*FSource, ComputerSearchThreads());
    Thread->SetOnComputerFound([this](const std::string& Name) { ComputerFound(Name); });
    Thread->OnTerminate = [this](platform::TThread* Ended) {
        SearchEnded(static_cast<TThrdSearchComputers*>(Ended)->ErrorText);
    };
    FThread = Thread;
    FNames.clear();
    ui->lbComputers->clear();
    ui->lblComputerCount->setVisible(false);
    ui->pbSearch->setVisible(true);
    ui->pbSearch->setRange(0, 0); // a busy bar for as long as the search runs
    Thread->Resume();
}

void TdlgAddressComputerFind::ComputerFound(const std::string& Name)
{
    FNames.push_back(Name);
    if (FPickOne)
        ui->lbComputers->addItem(ToQ(Name));
    ui->lblComputerCount->setText(ToQ(
        FormatChecked(sComputerFinded, "Computers found: %d", {static_cast<int>(FNames.size())})));
}

void TdlgAddressComputerFind::SearchEnded(const std::string& Error)
{
    FThread = nullptr;
    ui->pbSearch->setRange(0, 100);
    ui->pbSearch->setValue(0);
    // No computer because the browse failed is said as such, with its reason.
    ui->lblComputerCount->setText(
        ToQ(FNames.empty() && !Error.empty()
                ? TranslateFormat("sComputerSearchFailed",
                                  "No computer found: the browse failed: %s", {Error})
                : FormatChecked(sComputerFinded, "Computers found: %d",
                                {static_cast<int>(FNames.size())})));
    ui->lblComputerCount->setVisible(true);
    ui->pbSearch->setVisible(false);
    FActions->UpdateActions();
}

bool ShowAddressComputerFind(std::vector<std::string>& Names, const TNeighbourhoodSource& Source)
{
    TdlgAddressComputerFind Dlg(DialogOwner(), Names, false, Source);
    TranslateForm(&Dlg);
    return ShowModal(Dlg) == mrOk;
}

bool ShowAddressComputerFind(std::vector<std::string>& Names)
{
    return ShowAddressComputerFind(Names, PlatformNeighbourhood());
}

bool SelectComputer(std::string& Name)
{
    return SelectComputer(Name, PlatformNeighbourhood());
}

bool SelectComputer(std::string& Name, const TNeighbourhoodSource& Source)
{
    std::vector<std::string> Names;
    TdlgAddressComputerFind Dlg(DialogOwner(), Names, true, Source);
    TranslateForm(&Dlg);
    Dlg.setWindowTitle(ToQ(sSelectComp));
    if (ShowModal(Dlg) != mrOk)
        return false;
    const std::string Chosen = Dlg.SelectedName();
    if (Chosen.empty())
        return false;
    Name = Chosen;
    return true;
}
