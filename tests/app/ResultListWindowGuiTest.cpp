// The main window's result and log lists as the pool fills them: rows,
// filter and sort through the window's own controls, a comment edited with
// the input box and kept on disk at once, copying, and clearing.
#include "app/uListExport.h"
#include "app/uTolvex.h"
#include "app/uTolvexFiles.h"
#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uThreadScanPool.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "forms/VirtualTrees.h"
#include "settings/CommonFunctions.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QInputDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QToolButton>

#include "tests/app/MainWindowRows.h"
#include "tests/forms/GuiTestApp.h"
#include "tests/support/ComputerBuilders.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using namespace guitest;

std::unique_ptr<TComputer>
Computer(const std::string& Name, const std::string& IP, bool Single,
         const std::vector<std::pair<std::string, std::string>>& Adapters)
{
    auto C = MakeComputer(Name, IP, Single);
    for (const auto& [AdapterName, Mac] : Adapters)
        C->AdapterList.push_back(MakeAdapter(
            AdapterName, Mac, AdapterName.empty() ? "Acme Networks" : "Intel Corporate"));
    return C;
}

class ResultListWindowGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        AppDir_ = Dir.Path("app");
        MakePortableProgram(AppDir_, true);
        OldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call.Text);
            return mrOk;
        });
        // Portable: the settings folder is the program folder.
        TempFolder::Write(AppDir_ + "/mac_comments.txt", "00-1a-2b-00-00-01=front desk\r\n");
    }
    void TearDown() override
    {
        SetMessageSink(std::move(OldSink));
        ForgetPortableProgram();
    }

    // As the pool hands over a computer: into ComputerList, then the event.
    void Found(TfrmTolvex& Form, std::unique_ptr<TComputer> C)
    {
        guitest::HandOver(Form, std::move(C));
    }

    TempFolder Dir;
    std::string AppDir_;
    TMessageSink OldSink;
    std::vector<std::string> Messages;
};

TEST_F(ResultListWindowGui, ScanResultsFilterSortCommentCopyAndClear)
{
    auto Form = std::make_unique<TfrmTolvex>();
    Form->resize(1100, 640);
    Form->show();
    QApplication::processEvents();
    auto* Mac = Child<TVirtualStringTree>(*Form, "vstMacList");
    auto* Log = Child<TVirtualStringTree>(*Form, "vstLog");
    auto* Filter = Child<QLineEdit>(*Form, "edFilter");
    auto* FilterBy = Child<QComboBox>(*Form, "cmbFilterBy");
    ASSERT_EQ(FilterBy->count(), 5);
    EXPECT_EQ(Form->MacComments.Get("00-1A-2B-00-00-01"), "front desk");

    bInverseLog = true;
    Form->Pool().OnStatus(2, "Scan started");
    Found(*Form, Computer("PC-ALPHA", "192.168.1.20", true, {{"", "00-1a-2b-00-00-01"}}));
    Found(*Form, Computer("pc-beta", "192.168.10.3", true, {{"", "00-1a-2b-00-00-02"}}));
    Found(*Form, Computer("SRV", "192.168.1.3", false,
                          {{"eth0", "00-1A-2B-00-00-01"},
                           {"eth1", "00-1B-00-00-00-02"},
                           {"bond0", "00-1B-00-00-00-03"}}));
    Form->Pool().OnStatus(0, "SRV: 3 adapters");
    ASSERT_EQ(Mac->RootNodeCount(), 3);
    ASSERT_EQ(Log->RootNodeCount(), 2);
    EXPECT_EQ(Log->Text(Log->Child(nullptr, 0), 0), "SRV: 3 adapters");
    EXPECT_FALSE(
        Log->model()->data(Log->IndexOf(Log->Child(nullptr, 0)), Qt::DecorationRole).isNull());
    EXPECT_FALSE(Form->StatusPanel(1)->text().isEmpty());

    // Two header clicks on the IP column: descending, numeric.
    Mac->OnHeaderClick(1);
    Mac->OnHeaderClick(1);
    auto Ips = [Mac] {
        std::vector<std::string> R;
        for (int I = 0; I < Mac->RootNodeCount(); ++I)
            if (!Mac->IsFiltered(Mac->Child(nullptr, I)))
                R.push_back(Mac->Text(Mac->Child(nullptr, I), 1));
        return R;
    };
    EXPECT_EQ(Ips(), (std::vector<std::string>{"192.168.10.3", "192.168.1.20", "192.168.1.3"}));

    // The filter bar: column 1, "192.168.1.".
    FilterBy->setCurrentIndex(1);
    Filter->setText("192.168.1.");
    EXPECT_EQ(Ips(), (std::vector<std::string>{"192.168.1.20", "192.168.1.3"}));
    // A computer found later is filtered and sorted as it comes.
    Found(*Form, Computer("pc-gamma", "192.168.1.100", true, {{"", "00-1a-2b-00-00-04"}}));
    Found(*Form, Computer("pc-delta", "10.0.0.1", true, {{"", "00-1a-2b-00-00-05"}}));
    EXPECT_EQ(Ips(), (std::vector<std::string>{"192.168.1.100", "192.168.1.20", "192.168.1.3"}));
    for (int I = 0; I < Mac->ColumnCount(); ++I)
        Mac->SetColumnWidth(I, I == 0 ? 170 : 130);
    QApplication::processEvents();
    EXPECT_TRUE(SaveScreenshot(*Form, "main-window-results"));

    // The comment of the ARP row's MAC, edited with F2's input box, is the
    // one the WMI adapter with the same MAC in upper case shows, and it is
    // on disk at once.
    TVirtualNode* Alpha = nullptr;
    TVirtualNode* Srv = nullptr;
    for (int I = 0; I < Mac->RootNodeCount(); ++I) {
        TVirtualNode* N = Mac->Child(nullptr, I);
        if (Mac->Text(N, 1) == "192.168.1.20")
            Alpha = N;
        if (Mac->Text(N, 1) == "192.168.1.3")
            Srv = N;
    }
    ASSERT_TRUE(Alpha && Srv);
    // The list starts sorted by column 0, so the adapters are in name order.
    ASSERT_EQ(Mac->ChildCount(Srv), 3);
    EXPECT_EQ(Mac->Text(Mac->Child(Srv, 0), 0), "bond0");
    TVirtualNode* Eth0 = Mac->Child(Srv, 1);
    TVirtualNode* Eth1 = Mac->Child(Srv, 2);
    EXPECT_EQ(Mac->Text(Eth1, 0), "eth1");
    EXPECT_EQ(Mac->Text(Alpha, 4), "front desk");
    Mac->SetFocusedNode(Alpha);
    std::string Prompt, Default;
    {
        ModalDriver D([&](QDialog& Dlg) {
            auto& Box = static_cast<QInputDialog&>(Dlg);
            Prompt = FromQ(Box.labelText());
            Default = FromQ(Box.textValue());
            Box.setTextValue("moved to room 4");
            return mrOk;
        });
        ASSERT_TRUE(Form->actEditComment->Execute());
    }
    EXPECT_EQ(Prompt, "Comment for 00-1a-2b-00-00-01:");
    EXPECT_EQ(Default, "front desk");
    EXPECT_EQ(Mac->Text(Eth0, 4), "moved to room 4");
    EXPECT_EQ(TempFolder::Read(AppDir_ + "/mac_comments.txt"),
              "00-1a-2b-00-00-01=moved to room 4\r\n");
    // Cancel keeps it; a computer row without a MAC of its own asks nothing.
    {
        int Asked = 0;
        ModalDriver D([&](QDialog&) {
            ++Asked;
            return mrCancel;
        });
        Form->actEditComment->Execute();
        Mac->SetFocusedNode(Srv);
        Form->actEditComment->Execute();
        EXPECT_EQ(Asked, 1);
    }
    EXPECT_EQ(Form->MacComments.Get("00-1a-2b-00-00-01"), "moved to room 4");

    // Copy: the selected rows, empty cells left out, the column menu.
    Mac->ClearSelection();
    Mac->SetSelected(Alpha, true);
    Mac->SetSelected(Eth1, true);
    ASSERT_TRUE(Form->actCopyLine->Execute());
    const std::string Sep(1, ListSeparatorOfLocale());
    EXPECT_EQ(FromQ(QApplication::clipboard()->text()),
              "PC-ALPHA" + Sep + "192.168.1.20" + Sep + "00-1a-2b-00-00-01" + Sep +
                  "Acme Networks" + Sep + "moved to room 4\r\neth1" + Sep + "00-1B-00-00-00-02" +
                  Sep + "Intel Corporate");
    emit Form->mnCopyPopUp->aboutToShow();
    const QList<QAction*> Items = Form->mnCopyPopUp->actions();
    ASSERT_EQ(Items.size(), 7); // copy line, separator, five columns
    EXPECT_EQ(Items[0], Form->actCopyLine);
    EXPECT_TRUE(Items[1]->isSeparator());
    Items[2 + 2]->trigger();
    EXPECT_EQ(FromQ(QApplication::clipboard()->text()), "00-1a-2b-00-00-01\r\n00-1B-00-00-00-02");

    // Clearing the filter shows everything again; clearing the list empties
    // the computers too, so a later save writes nothing of them.
    Child<QToolButton>(*Form, "sbClearFilters")->click();
    EXPECT_EQ(Ips().size(), 5u);
    ASSERT_TRUE(Form->actClearList->Execute());
    EXPECT_EQ(Mac->RootNodeCount(), 0);
    EXPECT_EQ(Log->RootNodeCount(), 0);
    EXPECT_TRUE(ComputerList->empty());
    Form->actClearList->Update();
    EXPECT_FALSE(Form->actClearList->isEnabled());
    Form.reset();
    EXPECT_EQ(TempFolder::Read(AppDir_ + "/mac_comments.txt"),
              "00-1a-2b-00-00-01=moved to room 4\r\n");
    EXPECT_TRUE(Messages.empty()) << Messages.front();
}

// A message of a language file may hold "{ENTER}": the log shows the break as
// a blank, not as escaped control characters. The elapsed time of a scan goes
// with its results, when they are cleared or a list is opened in their place.
TEST_F(ResultListWindowGui, LogLineBreaksReadAsBlanksAndTheElapsedTimeGoesWithTheResults)
{
    auto Form = std::make_unique<TfrmTolvex>();
    Form->show();
    auto* Log = Child<TVirtualStringTree>(*Form, "vstLog");
    Form->Pool().OnStart(&Form->Pool());
    Form->Pool().OnStatus(0, "10.0.0.1: found\r\nby ARP");
    Found(*Form, Computer("PC", "10.0.0.1", true, {{"", "00-1a-2b-00-00-01"}}));
    Form->Pool().OnFinish(&Form->Pool());
    std::vector<QString> Shown;
    for (TVirtualNode* N = Log->GetFirst(); N; N = Log->GetNext(N))
        Shown.push_back(Log->model()->data(Log->IndexOf(N), Qt::DisplayRole).toString());
    EXPECT_NE(std::find(Shown.begin(), Shown.end(), "10.0.0.1: found by ARP"), Shown.end());
    EXPECT_FALSE(Form->StatusPanel(3)->text().isEmpty()) << "the scan's elapsed time";

    ASSERT_TRUE(Form->actClearList->Execute());
    EXPECT_EQ(Form->StatusPanel(3)->text(), "");

    // Opening a list after a scan.
    const std::string File = Dir.Path("list.xml");
    TComputerList One;
    One.push_back(Computer("PC2", "10.0.0.2", true, {{"", "00-1a-2b-00-00-02"}}));
    SaveComputerListToFile(File, One);
    Form->Pool().OnStart(&Form->Pool());
    Form->Pool().OnFinish(&Form->Pool());
    ASSERT_FALSE(Form->StatusPanel(3)->text().isEmpty());
    const TFileDialogFn Old =
        SetFileDialog([&](const TFileDialogOptions&, std::string& Name, int&) {
            Name = File;
            return true;
        });
    ASSERT_TRUE(Form->actOpenFile->Execute());
    SetFileDialog(Old);
    EXPECT_EQ(Child<TVirtualStringTree>(*Form, "vstMacList")->RootNodeCount(), 1);
    EXPECT_EQ(Form->StatusPanel(3)->text(), "");
}

TEST_F(ResultListWindowGui, ACommentsFileNobodyEditedStaysByteForByte)
{
    // UTF-16 with its byte-order mark, as a Windows editor saves it: shown
    // as text, and left exactly as it was by a window that changed nothing.
    std::string Utf16 = "\xFF\xFE";
    for (const char C : std::string("00-1a-2b-00-00-01=front desk\r\n")) {
        Utf16 += C;
        Utf16 += '\0';
    }
    const std::string File = AppDir_ + "/mac_comments.txt";
    TempFolder::Write(File, Utf16);
    struct stat Before {};
    ASSERT_EQ(::stat(File.c_str(), &Before), 0);
    auto Form = std::make_unique<TfrmTolvex>();
    Found(*Form, Computer("PC", "10.0.0.1", true, {{"", "00-1a-2b-00-00-01"}}));
    auto* Mac = Child<TVirtualStringTree>(*Form, "vstMacList");
    EXPECT_EQ(Mac->Text(Mac->Child(nullptr, 0), 4), "front desk");
    Form.reset();
    struct stat After {};
    ASSERT_EQ(::stat(File.c_str(), &After), 0);
    EXPECT_EQ(After.st_ino, Before.st_ino);
    EXPECT_EQ(TempFolder::Read(File), Utf16);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(ResultListWindowGui, UnreadableCommentsFileIsNeverReplaced)
{
    std::filesystem::remove(AppDir_ + "/mac_comments.txt");
    std::filesystem::create_directories(AppDir_ + "/mac_comments.txt");
    auto Form = std::make_unique<TfrmTolvex>();
    EXPECT_EQ(Messages.size(), 1u); // the failed read is reported
    Found(*Form, Computer("PC", "10.0.0.1", true, {{"", "00-00-00-00-00-01"}}));
    auto* Mac = Child<TVirtualStringTree>(*Form, "vstMacList");
    Mac->SetFocusedNode(Mac->Child(nullptr, 0));
    {
        ModalDriver D([](QDialog& Dlg) {
            static_cast<QInputDialog&>(Dlg).setTextValue("x");
            return mrOk;
        });
        Form->actEditComment->Execute();
    }
    Form.reset();
    EXPECT_TRUE(std::filesystem::is_directory(AppDir_ + "/mac_comments.txt"));
}

TEST_F(ResultListWindowGui, ANamedPipeAsTheCommentsFileIsReportedAndNotWaitedOn)
{
    const std::string File = AppDir_ + "/mac_comments.txt";
    std::filesystem::remove(File);
    ASSERT_EQ(::mkfifo(File.c_str(), 0600), 0);
    const auto Began = std::chrono::steady_clock::now();
    std::unique_ptr<TfrmTolvex> Form;
    {
        // Should the window wait on the pipe after all, this ends the wait.
        FifoReleaser Release(File, std::chrono::seconds(10));
        Form = std::make_unique<TfrmTolvex>();
    }
    EXPECT_LT(std::chrono::steady_clock::now() - Began, std::chrono::seconds(5));
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_NE(Messages[0].find(File), std::string::npos) << Messages[0];
    EXPECT_NE(Messages[0].find("not a regular file"), std::string::npos) << Messages[0];
    Form->show();
    QApplication::processEvents();
    EXPECT_TRUE(Form->isVisible());
    Form.reset();
    // Nothing was written in the pipe's place.
    struct stat St {};
    ASSERT_EQ(::lstat(File.c_str(), &St), 0);
    EXPECT_TRUE(S_ISFIFO(St.st_mode));
}

} // namespace
