#include "admin/uDlgCommandListEdit.h"

#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/Language.h"

#include "ui_uDlgCommandListEdit.h"

#include <filesystem>

TDlgCommandListEdit::TDlgCommandListEdit(QWidget* Owner)
    : QDialog(Owner), ui(std::make_unique<Ui::TDlgCommandListEdit>()),
      FActions(new TActionList(this))
{
    ui->setupUi(this);
    FactOK = FActions->Add(
        "actOK", tr("OK"), [this] { accept(); },
        [this](TAction& A) {
            A.setEnabled(!ui->edName->text().isEmpty() && !ui->edFileName->text().isEmpty());
        });
    BindButton(ui->btnOK, FactOK);
    connect(ui->btnCancel, &QPushButton::clicked, this, &QDialog::reject);
    connect(ui->btnFileName, &QPushButton::clicked, this, [this] { BrowseFileName(); });
    connect(ui->btnDirectory, &QPushButton::clicked, this, [this] { BrowseDirectory(); });
    // OK follows the fields at once, not only when idle.
    connect(ui->edName, &QLineEdit::textChanged, FActions, &TActionList::UpdateActions);
    connect(ui->edFileName, &QLineEdit::textChanged, FActions, &TActionList::UpdateActions);
    FActions->UpdateActions();
}

TDlgCommandListEdit::~TDlgCommandListEdit() = default;

void TDlgCommandListEdit::SetValues(const std::string& Name, const std::string& FileName,
                                    const std::string& Parameters, const std::string& Directory)
{
    setWindowTitle(ToQ(Translate(Name.empty() ? "sAddTool" : "sEditTool")));
    ui->edName->setText(ToQ(Name));
    ui->edFileName->setText(ToQ(FileName));
    ui->edParameters->setText(ToQ(Parameters));
    ui->edDirectory->setText(ToQ(Directory));
    FActions->UpdateActions();
}

std::string TDlgCommandListEdit::Name() const
{
    return FromQ(ui->edName->text());
}

std::string TDlgCommandListEdit::FileName() const
{
    return FromQ(ui->edFileName->text());
}

std::string TDlgCommandListEdit::Parameters() const
{
    return FromQ(ui->edParameters->text());
}

std::string TDlgCommandListEdit::Directory() const
{
    return FromQ(ui->edDirectory->text());
}

void TDlgCommandListEdit::BrowseFileName()
{
    std::string File = FileName();
    // The folder part of the current file name (none for a bare name).
    const std::string Folder = std::filesystem::path(File).parent_path().string();
    if (!PromptForFileName(File, Translate("sPromptForFileNameFilter"),
                           Translate("sPromptForFileNameTitle"), Folder))
        return;
    ui->edFileName->setText(ToQ(File));
    ui->edFileName->selectAll();
    ui->edFileName->setFocus();
}

void TDlgCommandListEdit::BrowseDirectory()
{
    std::string Folder = Directory();
    if (!SelectDirectory(Translate("sSelectWorkingFolder"), Folder))
        return;
    ui->edDirectory->setText(ToQ(Folder));
    ui->edDirectory->selectAll();
    ui->edDirectory->setFocus();
}

bool EditCommandListItem(std::string& Name, std::string& Operation, std::string& FileName,
                         std::int32_t& ShowCmd, std::string& Directory, std::string& Parameters)
{
    // Operation and ShowCmd are not shown; they pass through as they are.
    (void)Operation;
    (void)ShowCmd;
    TDlgCommandListEdit Dlg(DialogOwner());
    TranslateForm(&Dlg);
    Dlg.SetValues(Name, FileName, Parameters, Directory);
    if (ShowModal(Dlg) != mrOk)
        return false;
    Name = Dlg.Name();
    FileName = Dlg.FileName();
    Parameters = Dlg.Parameters();
    Directory = Dlg.Directory();
    return true;
}
