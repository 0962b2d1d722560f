// The main window's file commands and the address list: saving and opening
// computer lists, exporting the visible result rows, and the address list
// with its text-file import and export.
#include "app/uTolvexFiles.h"

#include "app/uAddressListFile.h"
#include "app/uListExport.h"
#include "app/uMacList.h"
#include "app/uTolvex.h"
#include "app/udlgAddressComputerEdit.h"
#include "app/udlgAddressComputerFind.h"
#include "engine/uComputerList.h"
#include "engine/uFormat.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "settings/CommonFunctions.h"
#include "settings/FileInfo.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"

#include "ui_uTolvex.h"

#include <QApplication>
#include <QFileDialog>
#include <QHeaderView>
#include <QStyle>

#include <algorithm>
#include <filesystem>
#include <stdexcept>

namespace {

const char* const XmlFilter = "XML file (*.xml)|*.xml";
const char* const ExportFilter =
    "HTML file in UTF-8 (*.htm; *.html)|*.htm;*.html|Unicode UTF-16 text file (*.uni)|*.uni|Rich "
    "text UTF-16 file (*.rtf)|*.rtf|Comma separated values ANSI text file (*.csv)|*.csv|Plain "
    "ANSI text file (*.txt)|*.txt";
const char* const AddressFilter = "Plain ANSI text file (*.txt)|*.txt";

bool ToolkitFileDialog(const TFileDialogOptions& Options, std::string& FileName, int& FilterIndex)
{
    QFileDialog Dlg(DialogOwner());
    Dlg.setAcceptMode(Options.Save ? QFileDialog::AcceptSave : QFileDialog::AcceptOpen);
    Dlg.setFileMode(Options.Save || !Options.FileMustExist ? QFileDialog::AnyFile
                                                           : QFileDialog::ExistingFile);
    const QStringList Filters = ToQtNameFilters(Options.Filter);
    Dlg.setNameFilters(Filters);
    if (Options.FilterIndex >= 1 && Options.FilterIndex <= Filters.size())
        Dlg.selectNameFilter(Filters[Options.FilterIndex - 1]);
    if (!Options.DefaultExt.empty())
        Dlg.setDefaultSuffix(ToQ(Options.DefaultExt));
    if (!Options.InitialDir.empty())
        Dlg.setDirectory(ToQ(Options.InitialDir));
    Dlg.setOption(QFileDialog::DontConfirmOverwrite, !Options.OverwritePrompt);
    if (Dlg.exec() != QDialog::Accepted || Dlg.selectedFiles().isEmpty())
        return false;
    FileName = FromQ(Dlg.selectedFiles().front());
    FilterIndex = static_cast<int>(Filters.indexOf(Dlg.selectedNameFilter())) + 1;
    return true;
}

TFileDialogFn& FileDialog()
{
    static TFileDialogFn Fn;
    return Fn;
}

TAddressComputerFinder& Finder()
{
    static TAddressComputerFinder Fn = [](std::vector<std::string>& Names) {
        return ShowAddressComputerFind(Names);
    };
    return Fn;
}

bool IsTopLevel(const TVirtualNode* Node)
{
    return Node && Node->Parent && !Node->Parent->Parent;
}

int LevelOf(const TVirtualNode* Node)
{
    int Level = 0;
    for (; Node && Node->Parent && Node->Parent->Parent; Node = Node->Parent)
        ++Level;
    return Level;
}

// Hidden by the row filter, itself or through a parent.
bool IsFilteredOut(const TVirtualStringTree& Tree, TVirtualNode* Node)
{
    for (; Node && Node->Parent; Node = Node->Parent)
        if (Tree.IsFiltered(Node))
            return true;
    return false;
}

// The visible columns in display order and the rows the filter shows.
TExportTable VisibleTable(TVirtualStringTree& Tree)
{
    std::vector<int> Columns;
    for (int I = 0; I < Tree.ColumnCount(); ++I)
        if (Tree.Column(I).Visible)
            Columns.push_back(I);
    std::stable_sort(Columns.begin(), Columns.end(), [&Tree](int A, int B) {
        return Tree.ColumnPosition(A) < Tree.ColumnPosition(B);
    });
    TExportTable Table;
    for (int C : Columns)
        Table.Captions.push_back(Tree.Column(C).Text);
    for (TVirtualNode* N = Tree.GetFirst(); N; N = Tree.GetNext(N)) {
        if (IsFilteredOut(Tree, N))
            continue;
        TExportRow Row;
        Row.Level = LevelOf(N);
        for (int C : Columns)
            Row.Cells.push_back(Tree.Text(N, C));
        Table.Rows.push_back(std::move(Row));
    }
    return Table;
}

} // namespace

TFileDialogFn SetFileDialog(TFileDialogFn Fn)
{
    TFileDialogFn Old = std::move(FileDialog());
    FileDialog() = std::move(Fn);
    return Old;
}

void TfrmTolvex::RunFileCommand(
    const TFileDialogOptions& Options,
    const std::function<void(const std::string& FileName, int FilterIndex)>& Command)
{
    std::string FileName;
    int Index = 1;
    if (!ExecuteFileDialog(Options, FileName, Index))
        return;
    try {
        Command(FileName, Index);
    } catch (const std::exception& E) {
        ShowErrorBox(E);
    }
}

bool ExecuteFileDialog(const TFileDialogOptions& Options, std::string& FileName, int& FilterIndex)
{
    FilterIndex = Options.FilterIndex;
    if (FileDialog())
        return FileDialog()(Options, FileName, FilterIndex);
    return ToolkitFileDialog(Options, FileName, FilterIndex);
}

QStringList ToQtNameFilters(const std::string& Filter)
{
    QStringList Out;
    for (const std::string& One : ToolkitNameFilters(Filter))
        Out.push_back(ToQ(One));
    return Out;
}

TAddressComputerFinder SetAddressComputerFinder(TAddressComputerFinder Fn)
{
    TAddressComputerFinder Old = std::move(Finder());
    Finder() = std::move(Fn);
    return Old;
}

// --- The window ----------------------------------------------------------------------

void TfrmTolvex::InitFileCommands()
{
    ui->vstAddressList->ResetColumns(1);
    ui->vstAddressList->header()->hide();
    // The one column is as wide as the list: at the column's default width
    // the icon leaves no room for the address. A flat list needs no room
    // for the branches of a tree either.
    ui->vstAddressList->header()->setStretchLastSection(true);
    ui->vstAddressList->setRootIsDecorated(false);
    ui->vstAddressList->OnGetText = [this](TVirtualNode* N, int C) {
        return vstAddressListGetText(N, C);
    };
    // ilAddressList: image 0 on every row.
    ui->vstAddressList->SetImages({QApplication::style()->standardIcon(QStyle::SP_ComputerIcon)});
    ui->vstAddressList->OnGetImageIndex = [this](TVirtualNode* N, int C) {
        return vstAddressListGetImageIndex(N, C);
    };

    auto Bind = [](TAction* A, std::function<void()> Execute,
                   std::function<void(TAction&)> Update = {}) {
        if (!A)
            return;
        A->OnExecute = std::move(Execute);
        A->OnUpdate = Update ? std::move(Update) : [](TAction& Self) { Self.setEnabled(true); };
    };
    Bind(
        actSaveFile, [this] { actSaveFileExecute(); },
        [this](TAction& A) { actSaveFileUpdate(A); });
    Bind(actOpenFile, [this] { actOpenFileExecute(); });
    Bind(
        actExport, [this] { actExportExecute(); }, [this](TAction& A) { actExportUpdate(A); });

    // The button column's actions share the handlers of the pop-up's.
    for (TAction* A : {actAddressListComputerAdd, actAddressListComputerAddSB})
        Bind(A, [this] { actAddressListComputerAddExecute(); });
    for (TAction* A : {actAddressListComputerEdit, actAddressListComputerEditSB})
        Bind(
            A, [this] { actAddressListComputerEditExecute(); },
            [this](TAction& Self) { actAddressListComputerEditUpdate(Self); });
    for (TAction* A : {actAddressListComputerDelete, actAddressListComputerDeleteSB})
        Bind(
            A, [this] { actAddressListComputerDeleteExecute(); },
            [this](TAction& Self) { actAddressListComputerDeleteUpdate(Self); });
    Bind(
        ActAddressListDeleteAll, [this] { ActAddressListDeleteAllExecute(); },
        [this](TAction& A) { ActAddressListDeleteAllUpdate(A); });
    for (TAction* A : {actAddressListFind, actAddressListFindSB})
        Bind(
            A, [this] { actAddressListFindExecute(); },
            // Without a computer search there is nothing to run.
            [](TAction& Self) { Self.setEnabled(static_cast<bool>(Finder())); });
    for (TAction* A : {actAddressListImport, actAddressListImportSB})
        Bind(A, [this] { actAddressListImportExecute(); });
    for (TAction* A : {actAddressListExport, actAddressListExportSB})
        Bind(
            A, [this] { actAddressListExportExecute(); },
            [this](TAction& Self) { actAddressListExportUpdate(Self); });
}

// --- Saving and opening -------------------------------------------------------------

void TfrmTolvex::actSaveFileUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstMacList->RootNodeCount() > 0);
}

void TfrmTolvex::actSaveFileExecute()
{
    TFileDialogOptions Options;
    Options.Save = true;
    Options.InitialDir = SettingsDir;
    Options.DefaultExt = "xml";
    Options.Filter = XmlFilter;
    Options.OverwritePrompt = true;
    RunFileCommand(Options,
                   [this](const std::string& FileName, int) { SaveComputerList(FileName); });
}

void TfrmTolvex::SaveComputerList(const std::string& FileName)
{
    static const TComputerList None;
    SaveComputerListToFile(FileName, ComputerList ? *ComputerList : None);
}

void TfrmTolvex::actOpenFileExecute()
{
    TFileDialogOptions Options;
    Options.InitialDir = SettingsDir;
    Options.DefaultExt = "xml";
    Options.Filter = XmlFilter;
    Options.FileMustExist = true;
    RunFileCommand(Options,
                   [this](const std::string& FileName, int) { LoadComputerList(FileName); });
}

void TfrmTolvex::LoadComputerList(const std::string& FileName)
{
    // A file that is gone by now is no error; anything else in its place (a
    // named pipe, a device, a folder) is refused by the reader with a message.
    std::error_code Ec;
    if (!std::filesystem::exists(FileName, Ec))
        return;
    // Read completely before anything is cleared: a broken file raises here
    // and the results on screen stay.
    TComputerList Loaded;
    try {
        LoadComputerListFromFile(FileName, Loaded);
    } catch (const ENotAComputerListError&) {
        // Another XML file (the settings folder holds several): refused in
        // the user's language, before anything on screen is cleared.
        throw std::runtime_error(FormatChecked(
            Translate("sNotComputerList"), "The file \"%s\" is not a computer list.", {FileName}));
    }
    actClearList->Execute();
    if (!ComputerList)
        ComputerList = std::make_unique<TComputerList>();
    // One batch: the rows of a long file are sorted and filtered once, not
    // once per row.
    std::vector<TComputer*> Added;
    Added.reserve(Loaded.size());
    for (auto& Computer : Loaded) {
        Added.push_back(Computer.get());
        ComputerList->push_back(std::move(Computer));
    }
    FResults->AddComputers(Added);
    UpdateStatusCounts();
    ClearElapsedTime();
}

// --- Export -------------------------------------------------------------------------

void TfrmTolvex::actExportUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstMacList->RootNodeCount() > 0);
}

void TfrmTolvex::actExportExecute()
{
    TFileDialogOptions Options;
    Options.Save = true;
    Options.Filter = ExportFilter;
    Options.OverwritePrompt = true;
    RunFileCommand(Options, [this](const std::string& FileName, int Index) {
        // CSV fields are separated as copied rows are.
        ExportTableToFile(VisibleTable(*ui->vstMacList), FileName, Index, GetProductName(),
                          ListSeparatorOfLocale());
    });
}

// --- The address list ---------------------------------------------------------------

std::string TfrmTolvex::vstAddressListGetText(TVirtualNode* Node, int)
{
    const std::string* Text = ui->vstAddressList->NodeData<std::string>(Node);
    return Text ? *Text : std::string();
}

int TfrmTolvex::vstAddressListGetImageIndex(TVirtualNode* Node, int Column)
{
    return Node && Column <= 0 ? 0 : -1;
}

void TfrmTolvex::AddAddressItem(const std::string& Text)
{
    ui->vstAddressList->AddChild(nullptr, Text);
}

void TfrmTolvex::FillAddressList(const std::vector<std::string>& Strings)
{
    ui->vstAddressList->Clear();
    for (const std::string& S : Strings)
        AddAddressItem(S);
}

void TfrmTolvex::StoreAddressList(std::vector<std::string>& Strings)
{
    // The rows are all top-level: a long list is taken in one pass, and not
    // copied at all when Strings holds them already (the list as read at the
    // start of the run, unchanged).
    TVirtualStringTree& Tree = *ui->vstAddressList;
    const int Count = Tree.RootNodeCount();
    const auto Row = [&Tree](int I) { return Tree.NodeData<std::string>(Tree.Child(nullptr, I)); };
    bool Same = Strings.size() == static_cast<size_t>(Count);
    for (int I = 0; Same && I < Count; ++I) {
        const std::string* Text = Row(I);
        Same = Text ? *Text == Strings[static_cast<size_t>(I)]
                    : Strings[static_cast<size_t>(I)].empty();
    }
    if (Same)
        return;
    Strings.clear();
    Strings.reserve(static_cast<size_t>(Count));
    for (int I = 0; I < Count; ++I) {
        const std::string* Text = Row(I);
        Strings.push_back(Text ? *Text : std::string());
    }
}

void TfrmTolvex::actAddressListComputerAddExecute()
{
    std::string Address;
    if (EditAddressComputer(Address))
        AddAddressItem(Address);
}

void TfrmTolvex::actAddressListComputerEditUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstAddressList->SelectedCount() > 0);
}

void TfrmTolvex::actAddressListComputerEditExecute()
{
    TVirtualStringTree& Tree = *ui->vstAddressList;
    TVirtualNode* N = Tree.GetFirst();
    while (N && !Tree.Selected(N))
        N = Tree.GetNext(N);
    std::string* Text = Tree.NodeData<std::string>(N);
    if (!Text)
        return;
    std::string Address = *Text;
    if (EditAddressComputer(Address) && Address != *Text) {
        *Text = Address;
        Tree.InvalidateNode(N);
    }
}

void TfrmTolvex::actAddressListComputerDeleteUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstAddressList->SelectedCount() > 0);
}

void TfrmTolvex::actAddressListComputerDeleteExecute()
{
    if (ShowMessageBox(sAddressAllSelectedDeleteWarning, sAddressAllSelectedDelete,
                       TMsgIcon::Warning, TMsgButtons::YesNo) != mrYes)
        return;
    TVirtualStringTree& Tree = *ui->vstAddressList;
    std::vector<TVirtualNode*> Doomed;
    for (TVirtualNode* N = Tree.GetFirst(); N; N = Tree.GetNext(N))
        if (IsTopLevel(N) && Tree.Selected(N))
            Doomed.push_back(N);
    for (TVirtualNode* N : Doomed)
        Tree.DeleteNode(N);
}

void TfrmTolvex::ActAddressListDeleteAllUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstAddressList->RootNodeCount() > 0);
}

void TfrmTolvex::ActAddressListDeleteAllExecute()
{
    ui->vstAddressList->Clear();
}

void TfrmTolvex::actAddressListFindExecute()
{
    if (!Finder())
        return;
    std::vector<std::string> Names;
    if (Finder()(Names))
        FillAddressList(Names);
}

void TfrmTolvex::actAddressListImportExecute()
{
    TFileDialogOptions Options;
    Options.DefaultExt = "txt";
    Options.Filter = AddressFilter;
    Options.FileMustExist = true;
    RunFileCommand(Options,
                   [this](const std::string& FileName, int) { ImportAddressList(FileName); });
}

void TfrmTolvex::ImportAddressList(const std::string& FileName)
{
    // Blanks around an address or name (a list written by hand, or copied
    // from a table) would make it resolve to nothing; an empty line stays
    // an empty row.
    for (const std::string& Line : ReadAddressListFile(FileName))
        AddAddressItem(TrimAddressLine(Line));
}

void TfrmTolvex::actAddressListExportUpdate(TAction& Action)
{
    Action.setEnabled(ui->vstAddressList->RootNodeCount() > 0);
}

void TfrmTolvex::actAddressListExportExecute()
{
    TFileDialogOptions Options;
    Options.Save = true;
    Options.DefaultExt = "txt";
    Options.Filter = AddressFilter;
    // An existing list is only replaced when the user agrees.
    Options.OverwritePrompt = true;
    RunFileCommand(Options,
                   [this](const std::string& FileName, int) { ExportAddressList(FileName); });
}

void TfrmTolvex::ExportAddressList(const std::string& FileName)
{
    std::vector<std::string> Lines;
    StoreAddressList(Lines);
    WriteAddressListFile(FileName, Lines);
}
