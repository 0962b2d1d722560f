// The main window's file commands driven through their actions: file
// dialogs answered by the test, message boxes recorded, files read back by
// the engine and by Python's csv and html.parser.
#include "app/uListExport.h"
#include "app/uMacList.h"
#include "app/uTolvex.h"
#include "app/uTolvexFiles.h"
#include "engine/NetUtil.h"
#include "engine/uComputerList.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/VirtualTrees.h"
#include "settings/CommonFunctions.h"
#include "settings/FileInfo.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"

#include <QAbstractItemModel>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/ComputerBuilders.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <sys/stat.h>

namespace {

using namespace guitest;
using Rows = std::vector<std::vector<std::string>>;

// An ARP computer (one adapter without a name) and a WMI computer with two.
TComputerList SampleComputers()
{
    TComputerList L;
    L.push_back(MakeArpComputer("pc1", "10.0.0.5", "00-1a-2b-3c-4d-5e", "AT&T <b>"));
    auto Wmi = MakeComputer("Büro", "10.0.0.6");
    Wmi->AdapterList.push_back(MakeAdapter("Intel® PRO/1000", "00-AA-BB-CC-DD-EE", "Foo, Inc."));
    Wmi->AdapterList.push_back(MakeAdapter("eth1 \"x\"", "00-AA-BB-CC-DD-EF", ""));
    L.push_back(std::move(Wmi));
    return L;
}

// Every row of a list control with its level and all its columns' texts.
Rows AllRows(TVirtualStringTree& Tree)
{
    Rows R;
    for (TVirtualNode* N = Tree.GetFirst(); N; N = Tree.GetNext(N)) {
        std::vector<std::string> Row{N->Parent && N->Parent->Parent ? "child" : "top"};
        for (int C = 0; C < Tree.ColumnCount(); ++C)
            Row.push_back(Tree.Text(N, C));
        R.push_back(Row);
    }
    return R;
}

std::vector<std::string> AddressRows(TVirtualStringTree& Tree)
{
    std::vector<std::string> R;
    for (TVirtualNode* N = Tree.GetFirst(); N; N = Tree.GetNext(N))
        R.push_back(Tree.Text(N, 0));
    return R;
}

Rows ReadBack(const std::string& Kind, const std::string& File, const std::string& Extra = "")
{
    const std::string Command = "/usr/bin/python3 '" +
                                std::string(std::getenv("TOLVEX_SOURCE_DIR")) +
                                "/tests/app/export_reader.py' " + Kind + " '" + File + "' " + Extra;
    FILE* P = ::popen(Command.c_str(), "r");
    std::string Out;
    char Buf[4096];
    size_t N;
    while (P && (N = std::fread(Buf, 1, sizeof Buf, P)) > 0)
        Out.append(Buf, N);
    if (!P || ::pclose(P) != 0)
        throw std::runtime_error("reader failed: " + Out);
    Rows Result;
    std::istringstream Lines(Out);
    std::string Line, Word;
    while (std::getline(Lines, Line)) {
        std::vector<std::string> Cells;
        std::istringstream Words(Line);
        while (Words >> Word) {
            std::string Cell;
            for (size_t I = 1; I + 1 < Word.size(); I += 2)
                Cell += static_cast<char>(std::stoi(Word.substr(I, 2), nullptr, 16));
            Cells.push_back(Cell);
        }
        Result.push_back(Cells);
    }
    return Result;
}

// A portable program folder of its own and a window made in it; file
// dialogs answer with the next name of Answers, message boxes are recorded
// and answered with Reply.
class FilesWindow : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        AppDir = Dir.Path("app");
        MakePortableProgram(AppDir, true);
        TempFolder::Write(AppDir + "/Default/options.xml",
                          "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Options/>\n");
        OldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call);
            return Reply;
        });
        OldDialog =
            SetFileDialog([this](const TFileDialogOptions& O, std::string& Name, int& Index) {
                Dialogs.push_back(O);
                if (Answers.empty())
                    return false;
                Name = Answers.front().first;
                Index = Answers.front().second;
                Answers.erase(Answers.begin());
                return true;
            });
        Form = std::make_unique<TfrmTolvex>();
        MacList = Child<TVirtualStringTree>(*Form, "vstMacList");
        AddressList = Child<TVirtualStringTree>(*Form, "vstAddressList");
        Messages.clear();
    }
    void TearDown() override
    {
        Form.reset();
        SetFileDialog(std::move(OldDialog));
        SetMessageSink(std::move(OldSink));
        ForgetPortableProgram();
    }

    // Runs a command as the user would: its update handler decides.
    bool Run(TAction* A, const std::string& File = "", int Index = 1)
    {
        if (!File.empty())
            Answers.emplace_back(File, Index);
        return A->Execute();
    }
    bool Enabled(TAction* A)
    {
        A->Update();
        return A->isEnabled();
    }
    std::string Sample()
    {
        const std::string F = Dir.Path("sample.xml");
        SaveComputerListToFile(F, SampleComputers());
        return F;
    }

    TempFolder Dir;
    std::string AppDir;
    TMessageSink OldSink;
    TFileDialogFn OldDialog;
    std::vector<TMessageBoxCall> Messages;
    int Reply = mrOk;
    std::vector<TFileDialogOptions> Dialogs;
    std::vector<std::pair<std::string, int>> Answers;
    std::unique_ptr<TfrmTolvex> Form;
    TVirtualStringTree* MacList = nullptr;
    TVirtualStringTree* AddressList = nullptr;
};

TEST_F(FilesWindow, SavedListReopensAsTheSameRows)
{
    EXPECT_FALSE(Enabled(Form->actSaveFile));
    EXPECT_FALSE(Enabled(Form->actExport));
    ASSERT_TRUE(Run(Form->actOpenFile, Sample()));
    ASSERT_EQ(MacList->RootNodeCount(), 2);
    const Rows Before = AllRows(*MacList);
    ASSERT_EQ(Before.size(), 4u); // ARP computer alone, WMI computer with two adapters
    EXPECT_EQ(std::count(Before.begin(), Before.end(),
                         std::vector<std::string>{"child", "Intel® PRO/1000", "",
                                                  "00-AA-BB-CC-DD-EE", "Foo, Inc.", ""}),
              1);

    ASSERT_TRUE(Run(Form->actSaveFile, Dir.Path("saved.xml")));
    EXPECT_TRUE(Dialogs.back().Save);
    EXPECT_EQ(Dialogs.back().DefaultExt, "xml");
    EXPECT_EQ(Dialogs.back().InitialDir, SettingsDir);
    EXPECT_TRUE(Dialogs.back().OverwritePrompt);
    EXPECT_EQ(TempFolder::Read(Dir.Path("saved.xml")), TempFolder::Read(Sample()));

    ASSERT_TRUE(Run(Form->actOpenFile, Dir.Path("saved.xml")));
    EXPECT_EQ(AllRows(*MacList), Before);
    EXPECT_TRUE(Messages.empty());
    Form->show();
    Form->ActionList->UpdateActions();
    EXPECT_TRUE(SaveScreenshot(*Form, "ResultsOpenedFromFile"));
}

TEST_F(FilesWindow, ANamedPipePickedInOpenIsReportedAndTheResultsStay)
{
    ASSERT_TRUE(Run(Form->actOpenFile, Sample()));
    const Rows Before = AllRows(*MacList);
    const std::string Fifo = Dir.Path("pipe.xml");
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    Run(Form->actOpenFile, Fifo);
    EXPECT_EQ(AllRows(*MacList), Before);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Icon, TMsgIcon::Error);
    EXPECT_NE(Messages[0].Text.find(Fifo), std::string::npos) << Messages[0].Text;
    EXPECT_NE(Messages[0].Text.find("not a regular file"), std::string::npos) << Messages[0].Text;
}

TEST_F(FilesWindow, ABrokenOrMissingFileKeepsTheResultsAndABrokenOneIsReported)
{
    ASSERT_TRUE(Run(Form->actOpenFile, Sample()));
    const Rows Before = AllRows(*MacList);
    TempFolder::Write(Dir.Path("broken.xml"),
                      "<?xml version=\"1.0\"?>\n<ComputerList><Computer><Name>x</Name>\n");
    Run(Form->actOpenFile, Dir.Path("broken.xml"));
    EXPECT_EQ(AllRows(*MacList), Before);
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Icon, TMsgIcon::Error);
    EXPECT_NE(Messages[0].Text.find("broken.xml"), std::string::npos) << Messages[0].Text;

    Run(Form->actOpenFile, Dir.Path("gone.xml"));
    EXPECT_EQ(AllRows(*MacList), Before);
    EXPECT_EQ(Messages.size(), 1u);

    // A save that cannot be written says so and writes nothing.
    Run(Form->actSaveFile, Dir.Path("no/such/folder/x.xml"));
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(Messages[1].Icon, TMsgIcon::Error);
}

TEST_F(FilesWindow, AnXmlFileThatIsNoComputerListIsRefusedAndTheResultsStay)
{
    ASSERT_TRUE(Run(Form->actOpenFile, Sample()));
    const Rows Before = AllRows(*MacList);
    ASSERT_EQ(ComputerList->size(), 2u);
    // The settings folder's tools file, which the Open dialog shows first,
    // and the smallest well-formed file.
    const std::string Tools = Dir.Path("tools.xml");
    std::filesystem::copy_file(
        std::string(std::getenv("TOLVEX_SOURCE_DIR")) + "/resources/Default/tools.xml", Tools);
    const std::string Foo = Dir.Path("foo.xml");
    TempFolder::Write(Foo, "<Foo/>");
    for (const std::string& File : {Tools, Foo}) {
        Messages.clear();
        Run(Form->actOpenFile, File);
        EXPECT_EQ(AllRows(*MacList), Before) << File;
        EXPECT_EQ(ComputerList->size(), 2u) << File;
        ASSERT_EQ(Messages.size(), 1u) << File;
        EXPECT_EQ(Messages[0].Icon, TMsgIcon::Error);
        EXPECT_EQ(Messages[0].Text, "The file \"" + File + "\" is not a computer list.");
    }
}

TEST_F(FilesWindow, ALongFileIsShownInOneInsertionSortedAndFiltered)
{
    // Computers in no order, some with adapters of their own.
    TComputerList L;
    for (int I = 0; I < 600; ++I) {
        const std::string IP = "10.1." + std::to_string((I * 7) % 600 / 256) + "." +
                               std::to_string((I * 7) % 600 % 256);
        if (I % 50 == 0) {
            auto C = MakeComputer("pc" + std::to_string(I), IP);
            C->AdapterList.push_back(MakeAdapter("eth1", "00-AA-00-00-00-02"));
            C->AdapterList.push_back(MakeAdapter("eth0", "00-AA-00-00-00-01"));
            L.push_back(std::move(C));
        } else {
            L.push_back(MakeArpComputer("", IP, "00-1a-00-00-00-01"));
        }
    }
    const std::string File = Dir.Path("long.xml");
    SaveComputerListToFile(File, L);
    ASSERT_TRUE(Run(Form->actOpenFile, Sample()));
    // Sorted by address, highest first, and filtered, before the file comes.
    MacList->SetSortColumn(1);
    MacList->SetSortDirection(1);
    Child<QComboBox>(*Form, "cmbFilterBy")->setCurrentIndex(1);
    Child<QLineEdit>(*Form, "edFilter")->setText("10.1.1.");
    int Insertions = 0;
    QObject::connect(MacList->model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex& Parent, int, int) { Insertions += !Parent.isValid(); });
    ASSERT_TRUE(Run(Form->actOpenFile, File));
    EXPECT_EQ(Insertions, 1);
    ASSERT_EQ(MacList->RootNodeCount(), 600);
    uint32_t Last = UINT32_MAX;
    int Shown = 0;
    for (int I = 0; I < 600; ++I) {
        TVirtualNode* N = MacList->Child(nullptr, I);
        const std::string IP = MacList->Text(N, 1);
        uint32_t Value = 0;
        ASSERT_TRUE(IPToHostOrder(IP, Value)) << IP;
        EXPECT_LT(Value, Last) << IP;
        Last = Value;
        EXPECT_EQ(MacList->IsFiltered(N), IP.rfind("10.1.1.", 0) != 0) << IP;
        Shown += !MacList->IsFiltered(N);
        if (MacList->ChildCount(N) > 0) {
            EXPECT_EQ(MacList->Text(MacList->Child(N, 0), 2), "00-AA-00-00-00-02") << IP;
            EXPECT_TRUE(MacList->Expanded(N)) << IP;
        }
    }
    EXPECT_EQ(Shown, 256);
    EXPECT_EQ(Form->StatusPanel(1)->text(), "Computers found: 600");
}

TEST_F(FilesWindow, ExportWritesTheVisibleColumnsAndRowsInDisplayOrder)
{
    ASSERT_TRUE(Run(Form->actOpenFile, Sample()));
    ASSERT_GE(MacList->ColumnCount(), 5);
    TVirtualNode* Arp = MacList->GetFirst();
    while (Arp && MacList->Text(Arp, 1) != "10.0.0.5")
        Arp = MacList->GetNext(Arp);
    ASSERT_NE(Arp, nullptr);
    // Vendor first, the IP column hidden, and the ARP computer filtered out.
    MacList->SetColumnPosition(3, 0);
    MacList->SetColumnVisible(1, false);
    Child<QComboBox>(*Form, "cmbFilterBy")->setCurrentIndex(1);
    Child<QLineEdit>(*Form, "edFilter")->setText("10.0.0.6");
    ASSERT_TRUE(MacList->IsFiltered(Arp));

    std::vector<int> Order;
    for (int P = 0; P < MacList->ColumnCount(); ++P)
        for (int C = 0; C < MacList->ColumnCount(); ++C)
            if (MacList->ColumnPosition(C) == P && MacList->Column(C).Visible)
                Order.push_back(C);
    ASSERT_EQ(Order.front(), 3);
    Rows Want{{}};
    for (int C : Order)
        Want[0].push_back(MacList->Column(C).Text);
    for (TVirtualNode* N = MacList->GetFirst(); N; N = MacList->GetNext(N)) {
        if (N == Arp) // it has no child rows
            continue;
        Want.emplace_back();
        for (int C : Order)
            Want.back().push_back(MacList->Text(N, C));
    }
    ASSERT_EQ(Want.size(), 4u);
    EXPECT_EQ(std::count_if(Want.begin(), Want.end(),
                            [](const auto& Row) { return Row[0] == "Foo, Inc."; }),
              1);

    ASSERT_TRUE(Run(Form->actExport, Dir.Path("report.txt"), 4));
    EXPECT_FALSE(std::filesystem::exists(Dir.Path("report.txt")));
    EXPECT_EQ(
        ReadBack("csv", Dir.Path("report.csv"), std::string("'") + ListSeparatorOfLocale() + "'"),
        Want);
    ASSERT_TRUE(Run(Form->actExport, Dir.Path("report"), 1));
    EXPECT_EQ(ReadBack("html", Dir.Path("report.html")), Want);
    EXPECT_NE(
        TempFolder::Read(Dir.Path("report.html")).find("<title>" + GetProductName() + "</title>"),
        std::string::npos);
    ASSERT_TRUE(Run(Form->actExport, Dir.Path("report.v2"), 2));
    EXPECT_EQ(ReadBack("uni", Dir.Path("report.uni")), Want);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(FilesWindow, AddressListImportExportAndItsCommands)
{
    EXPECT_FALSE(Enabled(Form->actAddressListExport));
    EXPECT_FALSE(Enabled(Form->ActAddressListDeleteAll));
    EXPECT_FALSE(Enabled(Form->actAddressListComputerEditSB));
    // Blanks around an address would keep it from resolving: they go, an
    // empty line (or one of blanks) stays an empty row.
    TempFolder::Write(Dir.Path("crlf.txt"), " pc1\t\r\n  \r\n  10.0.0.5  \r\n");
    TempFolder::Write(Dir.Path("lf.txt"), "Büro\nlast");
    ASSERT_TRUE(Run(Form->actAddressListImport, Dir.Path("crlf.txt")));
    EXPECT_TRUE(Dialogs.back().FileMustExist);
    EXPECT_EQ(Dialogs.back().DefaultExt, "txt");
    ASSERT_TRUE(Run(Form->actAddressListImportSB, Dir.Path("lf.txt")));
    const std::vector<std::string> Want{"pc1", "", "10.0.0.5", "Büro", "last"};
    EXPECT_EQ(AddressRows(*AddressList), Want);
    EXPECT_FALSE(AddressList->model()
                     ->data(AddressList->IndexOf(AddressList->GetFirst()), Qt::DecorationRole)
                     .isNull());

    ASSERT_TRUE(Run(Form->actAddressListExportSB, Dir.Path("out.txt")));
    EXPECT_EQ(TempFolder::Read(Dir.Path("out.txt")), "pc1\r\n\r\n10.0.0.5\r\nBüro\r\nlast\r\n");

    // A file that cannot be read is reported and the rows stay.
    Run(Form->actAddressListImport, Dir.Path("missing.txt"));
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Icon, TMsgIcon::Error);
    EXPECT_EQ(AddressRows(*AddressList), Want);

    // Delete asks first; No keeps the rows, Yes removes the selected ones.
    TVirtualNode* Second = AddressList->GetNext(AddressList->GetFirst());
    AddressList->SetSelected(Second, true);
    AddressList->SetSelected(AddressList->GetNext(Second), true);
    Reply = mrNo;
    ASSERT_TRUE(Run(Form->actAddressListComputerDelete));
    ASSERT_EQ(Messages.size(), 2u);
    EXPECT_EQ(Messages[1].Text, sAddressAllSelectedDeleteWarning);
    EXPECT_EQ(Messages[1].Caption, sAddressAllSelectedDelete);
    EXPECT_EQ(Messages[1].Icon, TMsgIcon::Warning);
    EXPECT_EQ(Messages[1].Buttons, TMsgButtons::YesNo);
    EXPECT_EQ(AddressRows(*AddressList), Want);
    Reply = mrYes;
    ASSERT_TRUE(Run(Form->actAddressListComputerDeleteSB));
    EXPECT_EQ(AddressRows(*AddressList), (std::vector<std::string>{"pc1", "Büro", "last"}));

    // Edit offers the first selected row and takes the changed text.
    AddressList->ClearSelection();
    AddressList->SetSelected(AddressList->GetNext(AddressList->GetFirst()), true);
    std::string Offered;
    {
        ModalDriver D([&](QDialog& Dlg) {
            auto* Ed = Child<QLineEdit>(Dlg, "edName");
            Offered = Ed->text().toStdString();
            Ed->setText("Buero");
            return mrOk;
        });
        ASSERT_TRUE(Run(Form->actAddressListComputerEdit));
    }
    EXPECT_EQ(Offered, "Büro");
    {
        ModalDriver D([&](QDialog& Dlg) {
            Child<QLineEdit>(Dlg, "edName")->setText("new-pc");
            return mrOk;
        });
        ASSERT_TRUE(Run(Form->actAddressListComputerAddSB));
    }
    EXPECT_EQ(AddressRows(*AddressList),
              (std::vector<std::string>{"pc1", "Buero", "last", "new-pc"}));

    // The rows go to the option at the end and come back at the next start.
    Form.reset();
    EXPECT_EQ(lstAddressList, (std::vector<std::string>{"pc1", "Buero", "last", "new-pc"}));
    Form = std::make_unique<TfrmTolvex>();
    AddressList = Child<TVirtualStringTree>(*Form, "vstAddressList");
    EXPECT_EQ(AddressRows(*AddressList),
              (std::vector<std::string>{"pc1", "Buero", "last", "new-pc"}));
    ASSERT_TRUE(Run(Form->ActAddressListDeleteAll));
    EXPECT_EQ(AddressList->RootNodeCount(), 0);
}

TEST_F(FilesWindow, FindReplacesTheRowsWithTheComputersFound)
{
    // The neighbourhood search is there by default; without one Find is off.
    EXPECT_TRUE(Enabled(Form->actAddressListFind));
    TAddressComputerFinder Old = SetAddressComputerFinder({});
    EXPECT_FALSE(Enabled(Form->actAddressListFind));
    AddressList->AddChild(nullptr, std::string("old"));
    bool Answer = false;
    SetAddressComputerFinder([&](std::vector<std::string>& Names) {
        Names = {"FILESERVER", "PRINTER"};
        return Answer;
    });
    EXPECT_TRUE(Run(Form->actAddressListFindSB));
    EXPECT_EQ(AddressRows(*AddressList), (std::vector<std::string>{"old"}));
    Answer = true;
    EXPECT_TRUE(Run(Form->actAddressListFind));
    SetAddressComputerFinder(std::move(Old));
    EXPECT_EQ(AddressRows(*AddressList), (std::vector<std::string>{"FILESERVER", "PRINTER"}));
}

TEST_F(FilesWindow, AddressListPopUpHoldsItsCommandsInOrder)
{
    std::vector<std::string> Items;
    for (QAction* A : Form->pmAddressList->actions())
        Items.push_back(A->isSeparator() ? "-" : A->text().toStdString());
    EXPECT_EQ(Items, (std::vector<std::string>{"Add", "Edit", "Find", "Delete", "Delete All", "-",
                                               "Import", "Export"}));
}

} // namespace

namespace {

TEST(FileDialogFilters, PatternsGoInBracketsTheToolkitReads)
{
    const QStringList Export = ToQtNameFilters(
        "HTML file in UTF-8 (*.htm; *.html)|*.htm;*.html|Unicode UTF-16 text file (*.uni)|*.uni");
    EXPECT_EQ(Export, (QStringList{"HTML file in UTF-8 (*.htm *.html)",
                                   "Unicode UTF-16 text file (*.uni)"}));
    EXPECT_EQ(ToQtNameFilters("XML file|*.xml"), QStringList{"XML file (*.xml)"});
    // A description without patterns is no filter.
    EXPECT_EQ(ToQtNameFilters("Broken"), QStringList{});
}

} // namespace
