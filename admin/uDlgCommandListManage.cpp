#include "admin/uDlgCommandListManage.h"

#include "admin/uCommandList.h"
#include "admin/uDlgCommandListEdit.h"
#include "admin/uManagedRows.h"
#include "engine/uFormat.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/Language.h"

#include "ui_uDlgCommandListManage.h"

#include <QPushButton>

TDlgCommandListManage::TDlgCommandListManage(TCommandList& List, QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgCommandListManage>()), FList(List)
{
    ui->setupUi(this);
    FRows = std::make_unique<TManagedRows>(
        *this, *ui->vstCommandList,
        TManagedRows::TButtons{ui->btnMoveUp, ui->btnMoveDown, ui->btnAdd, ui->btnEdit,
                               ui->btnRemove},
        TManagedRows::TActionNames{"actAddTool", "actEditTool", "actRemoveTool"},
        TManagedRows::TCallbacks{[this] { return FList.Count(); },
                                 [this](int Index) { return Translate(FList.Items(Index)->Name); },
                                 [this](int Index1, int Index2) { FList.Exchange(Index1, Index2); },
                                 [this] { return AddTool(); },
                                 [this](int Index) { EditTool(Index); },
                                 [this](int Index) { return RemoveTool(Index); }});
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    FRows->Fill();
}

TDlgCommandListManage::~TDlgCommandListManage() = default;

bool TDlgCommandListManage::AddTool()
{
    std::string Name, FileName, Directory, Parameters;
    std::string Operation = "open";
    std::int32_t ShowCmd = 1;
    if (!EditCommandListItem(Name, Operation, FileName, ShowCmd, Directory, Parameters) ||
        Name.empty() || FileName.empty())
        return false;
    return FList.AddItem(Name, Operation, ShowCmd, Directory, Parameters, FileName) != nullptr;
}

void TDlgCommandListManage::EditTool(int Index)
{
    TCommandListItem* C = FList.Items(Index);
    if (!C)
        return;
    std::string Name = C->Name, Operation = C->Operation, FileName = C->FileName;
    std::string Directory = C->Directory, Parameters = C->Parameters;
    std::int32_t ShowCmd = C->ShowCmd;
    if (!EditCommandListItem(Name, Operation, FileName, ShowCmd, Directory, Parameters) ||
        Name.empty() || FileName.empty())
        return;
    if (Name != C->Name || Operation != C->Operation || FileName != C->FileName ||
        ShowCmd != C->ShowCmd || Directory != C->Directory || Parameters != C->Parameters) {
        C->Name = Name;
        C->Operation = Operation;
        C->FileName = FileName;
        C->ShowCmd = ShowCmd;
        C->Directory = Directory;
        C->Parameters = Parameters;
        FList.Modified = true;
    }
}

bool TDlgCommandListManage::RemoveTool(int Index)
{
    const TCommandListItem* C = FList.Items(Index);
    if (!C)
        return false;
    const std::string Text =
        FormatChecked(Translate("sRemoveCommandListItemInfo"), "Remove the command %s?", {C->Name});
    if (ShowMessageBox(Text, Translate("sRemoveCommandListItemCaption"), TMsgIcon::Warning,
                       TMsgButtons::YesNo) != mrYes)
        return false;
    FList.Delete(Index);
    return true;
}

void ManageCommandList(TCommandList& List)
{
    TCommandList Copy(List.Name);
    Copy.Assign(List);
    TDlgCommandListManage Dlg(Copy, DialogOwner());
    TranslateForm(&Dlg);
    if (ShowModal(Dlg) == mrOk)
        List.Assign(Copy); // marks List modified only when it changed
}
