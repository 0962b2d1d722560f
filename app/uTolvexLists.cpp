// The main window's result list and log list.
#include "uTolvex.h"

#include "Forms.h"
#include "VirtualTrees.h"
#include "uComputerList.h"
#include "uEngineOptions.h"
#include "uProgramOptions.h"

#include "ui_uTolvex.h"

#include <QHeaderView>

void TfrmTolvex::InitResultLists()
{
    ui->vstMacList->OnGetText = [this](TVirtualNode* N, int C) { return vstMacListGetText(N, C); };
    ui->vstLog->ResetColumns(1);
    ui->vstLog->header()->hide();
    ui->vstLog->OnGetText = [this](TVirtualNode* N, int C) { return vstLogGetText(N, C); };
    connect(ui->vstMacList->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { UpdateStatusCounts(); });

    actClearList->OnExecute = [this] { actClearListExecute(); };
    actClearList->OnUpdate = [this](TAction& A) { actClearListUpdate(A); };
    actShowLog->OnExecute = [this] { actShowLogExecute(); };
    actShowLog->OnUpdate = [this](TAction& A) { actShowLogUpdate(A); };
    actHideLog->OnExecute = [this] { actHideLogExecute(); };
    actHideLog->OnUpdate = [](TAction& A) { A.setEnabled(true); };
}

void TfrmTolvex::AddComputerToList(TComputer* Computer)
{
    if (!Computer)
        return;
    TVirtualNode* Row = ui->vstMacList->AddChild(nullptr, Computer);
    const auto& Adapters = Computer->AdapterList;
    if (!(Adapters.size() == 1 && Adapters.front()->Name.empty())) {
        for (const auto& Adapter : Adapters)
            ui->vstMacList->AddChild(Row, Adapter.get());
        if (!Adapters.empty())
            ui->vstMacList->expand(ui->vstMacList->IndexOf(Row));
    }
    UpdateStatusCounts();
}

void TfrmTolvex::AddLogEntry(int Kind, const std::string& Text)
{
    if (Text.empty())
        return;
    TVirtualNode* Row = ui->vstLog->AddChild(nullptr, TTreeLogTaskData{Now(), Text, Kind});
    ui->vstLog->ScrollIntoView(Row, true);
}

void TfrmTolvex::actClearListExecute()
{
    ui->vstMacList->Clear();
    ui->vstLog->Clear();
    UpdateStatusCounts();
}

void TfrmTolvex::actClearListUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstMacList->RootNodeCount() > 0 || ui->vstLog->RootNodeCount() > 0);
}

void TfrmTolvex::actShowLogExecute()
{
    bShowLog = actShowLog->isChecked();
    ApplyLogVisibility();
}

void TfrmTolvex::actShowLogUpdate(TAction& Action)
{
    Action.setEnabled(true);
    Action.setChecked(bShowLog);
}

void TfrmTolvex::actHideLogExecute()
{
    bShowLog = false;
    actShowLog->setChecked(false);
    ApplyLogVisibility();
}

std::string TfrmTolvex::GetMacComment(const std::string& MAC) const
{
    const std::string Prefix = MAC + "=";
    for (const std::string& Line : MacComments)
        if (Line.compare(0, Prefix.size(), Prefix) == 0)
            return Line.substr(Prefix.size());
    return {};
}

std::string TfrmTolvex::vstMacListGetText(TVirtualNode* Node, int Column)
{
    if (TComputer* const* C = ui->vstMacList->NodeData<TComputer*>(Node)) {
        const TComputer& Computer = **C;
        const TMacAddress* First = Computer.Single && !Computer.AdapterList.empty()
                                       ? Computer.AdapterList[0].get()
                                       : nullptr;
        switch (Column) {
        case 0:
            return GetComputerCaption(Computer.Name, Computer.IP,
                                      static_cast<TComputerCaptionStyle>(ComputerCaptionStyle));
        case 1:
            return Computer.IP;
        case 2:
            return First ? First->Number : std::string();
        case 3:
            return First ? First->Vendor : std::string();
        case 4:
            return First ? GetMacComment(First->Number) : std::string();
        default:
            return {};
        }
    }
    if (TMacAddress* const* A = ui->vstMacList->NodeData<TMacAddress*>(Node)) {
        const TMacAddress& Adapter = **A;
        switch (Column) {
        case 0:
            return Adapter.Name;
        case 1:
            return Adapter.IPAddress;
        case 2:
            return Adapter.Number;
        case 3:
            return Adapter.Vendor;
        case 4:
            return GetMacComment(Adapter.Number);
        default:
            return {};
        }
    }
    return {};
}

std::string TfrmTolvex::vstLogGetText(TVirtualNode* Node, int)
{
    const TTreeLogTaskData* D = ui->vstLog->NodeData<TTreeLogTaskData>(Node);
    return D ? D->Text : std::string();
}
