#include "admin/uDlgPresetsManage.h"

#include "admin/uDlgPresetEdit.h"
#include "admin/uManagedRows.h"
#include "admin/uPresets.h"
#include "engine/uFormat.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/Language.h"

#include "ui_uDlgPresetsManage.h"

#include <QPushButton>

TDlgPresetsManage::TDlgPresetsManage(TPresets& Presets, QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgPresetsManage>()), FPresets(Presets)
{
    ui->setupUi(this);
    FRows = std::make_unique<TManagedRows>(
        *this, *ui->vstPresets,
        TManagedRows::TButtons{ui->btnMoveUp, ui->btnMoveDown, ui->btnAdd, ui->btnEdit,
                               ui->btnRemove},
        TManagedRows::TActionNames{"actAdd", "actEdit", "actRemove"},
        TManagedRows::TCallbacks{[this] { return FPresets.Count(); },
                                 [this](int Index) { return FPresets.Items(Index)->Name; },
                                 [this](int Index1, int Index2) { FPresets.Move(Index1, Index2); },
                                 [this] { return Add(); }, [this](int Index) { Edit(Index); },
                                 [this](int Index) { return Remove(Index); }});
    connect(ui->btnOK, &QPushButton::clicked, this, &QDialog::accept);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    FRows->Fill();
}

TDlgPresetsManage::~TDlgPresetsManage() = default;

bool TDlgPresetsManage::Add()
{
    std::string Name, Title, Text;
    std::int32_t Type = MessageTypeNone;
    if (!EditPreset(Name, Title, Text, Type) || Name.empty() || Text.empty())
        return false;
    FPresets.AddPreset(Name, Title, Type, Text);
    return true;
}

void TDlgPresetsManage::Edit(int Index)
{
    TPreset* P = FPresets.Items(Index);
    if (!P)
        return;
    std::string Name = P->Name, Title = P->Title, Text = P->Text;
    std::int32_t Type = P->MessageType;
    if (!EditPreset(Name, Title, Text, Type) || Name.empty() || Text.empty())
        return;
    if (Name != P->Name || Title != P->Title || Text != P->Text || Type != P->MessageType) {
        P->Name = Name;
        P->Title = Title;
        P->Text = NormaliseLineBreaks(Text);
        P->MessageType = Type;
        FPresets.Modified = true;
    }
}

bool TDlgPresetsManage::Remove(int Index)
{
    const TPreset* P = FPresets.Items(Index);
    if (!P)
        return false;
    const std::string Text = FormatChecked(
        Translate("sRemovePresetInfo"), "Do you really want to remove preset \"%s\"?", {P->Name});
    if (ShowMessageBox(Text, Translate("sRemovePresetCaption"), TMsgIcon::Warning,
                       TMsgButtons::YesNo) != mrYes)
        return false;
    FPresets.Delete(Index);
    return true;
}

void ManagePresets(TPresets& Presets)
{
    TPresets Copy;
    Copy.Assign(Presets);
    TDlgPresetsManage Dlg(Copy, DialogOwner());
    TranslateForm(&Dlg);
    if (ShowModal(Dlg) == mrOk)
        Presets.Assign(Copy); // marks Presets modified only when it changed
}
