#include "tests/app/MainWindowTestSupport.h"

#include "engine/uFormat.h"
#include "engine/uThreadScanPool.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/VirtualTrees.h"
#include "settings/CommonFunctions.h"
#include "settings/uProgramOptions.h"

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QStackedWidget>
#include <QStyle>
#include <QTest>

#include <filesystem>
#include <fstream>
#include <iterator>

namespace {

class MainWindowGui : public MainWindowFixture {
protected:
    static void SetField(TfrmTolvex& F, const char* Name, const char* Value)
    {
        auto* E = F.findChild<QLineEdit*>(Name);
        ASSERT_NE(E, nullptr) << Name;
        E->setText(QString::fromUtf8(Value));
    }
    static void ChooseTarget(TfrmTolvex& F, int Index)
    {
        auto* C = F.findChild<QComboBox*>("cmbTarget");
        C->setCurrentIndex(Index);
        // As the user's choice does: the page follows.
        F.findChild<QStackedWidget*>("pcTarget")->setCurrentIndex(Index);
    }
    static bool Enabled(TAction* A)
    {
        A->Update();
        return A->isEnabled();
    }
};

TEST_F(MainWindowGui, FindIsEnabledExactlyWhenTheTargetIsComplete)
{
    TfrmTolvex F;
    struct Case {
        int Target;
        std::vector<std::pair<const char*, const char*>> Fields;
        bool Enabled;
    };
    const Case Cases[] = {
        {0, {}, true},
        {2, {}, true},
        {5, {}, true},
        {1, {{"edRemoteComputer", ""}}, false},
        {1, {{"edRemoteComputer", "h"}}, true},
        {3, {{"edStartIP", "10.0.0.1"}, {"edStopIP", "10.0.0.9"}}, true},
        {3, {{"edStartIP", "10.1"}, {"edStopIP", "10.2"}}, true}, // inet_addr's short forms
        {3, {{"edStartIP", ""}, {"edStopIP", "10.0.0.9"}}, false},
        {3, {{"edStartIP", "10.0.0.1"}, {"edStopIP", ""}}, false},
        {3, {{"edStartIP", "10.0.0.1"}, {"edStopIP", "255.255.255.255"}}, false},
        {3, {{"edStartIP", "10.0.0.x"}, {"edStopIP", "10.0.0.9"}}, false},
        {4, {}, false}, // the address list is empty
        {6, {{"edExpression", "10.0.0.1-20"}}, true},
        {6, {{"edExpression", ""}}, false},
        {6, {{"edExpression", "10.0.0.1-"}}, false},
        {6, {{"edExpression", "10.0.1"}}, false},
        // Valid, but naming no address: a scan would only clear the results.
        {6, {{"edExpression", "198.18.0.300"}}, false},
        {6, {{"edExpression", "10..0.1"}}, false},
        {6, {{"edExpression", "10.0.0.1,300"}}, true},
    };
    for (const Case& C : Cases) {
        ChooseTarget(F, C.Target);
        for (auto [Name, Value] : C.Fields)
            SetField(F, Name, Value);
        std::string Fields;
        for (auto [Name, Value] : C.Fields)
            Fields += std::string(Name) + "='" + Value + "' ";
        EXPECT_EQ(Enabled(F.actTolvex), C.Enabled) << "target " << C.Target << " " << Fields;
        EXPECT_FALSE(Enabled(F.actTolvexStop)) << "target " << C.Target;
    }
}

TEST_F(MainWindowGui, AddressListTargetNeedsRowsAndHandsThemToThePool)
{
    WriteOptions([](TXMLStorage& S) {
        S.WriteStrings("Defaults", "lstAddressList", {"alpha", "10.0.0.7"});
        S.WriteInteger("Defaults", "LastTarget", 4);
    });
    TfrmTolvex F;
    EXPECT_EQ(F.findChild<QComboBox*>("cmbTarget")->currentIndex(), 4);
    EXPECT_EQ(F.findChild<QStackedWidget*>("pcTarget")->currentWidget()->objectName(),
              "tsAddressList");
    EXPECT_TRUE(Enabled(F.actTolvex));
    ASSERT_TRUE(F.PrepareScan());
    EXPECT_EQ(F.Pool().Addresses, (std::vector<std::string>{"alpha", "10.0.0.7"}));
    EXPECT_EQ(F.Pool().GetTarget(), 4);
}

TEST_F(MainWindowGui, OutOfRangeTargetAndMethodFallBackToTheFirst)
{
    // A file written by hand or by another version.
    WriteOptions([](TXMLStorage& S) {
        S.WriteInteger("Defaults", "LastTarget", 9);
        S.WriteInteger("Defaults", "LasTMethod", 7);
    });
    {
        TfrmTolvex F;
        EXPECT_EQ(F.findChild<QComboBox*>("cmbTarget")->currentIndex(), 0);
        EXPECT_EQ(F.findChild<QStackedWidget*>("pcTarget")->currentIndex(), 0);
        EXPECT_TRUE(F.findChild<QRadioButton*>("rbArp")->isChecked());
        EXPECT_EQ(F.CheckedMethod(), 0);
        // The window is left as it is: the stored values become valid ones.
        F.findChild<QComboBox*>("cmbTarget")->setCurrentIndex(6);
        F.findChild<QRadioButton*>("rbSNMP")->setChecked(true);
    }
    EXPECT_EQ(LastTarget, 6);
    EXPECT_EQ(LasTMethod, 4);
    TfrmTolvex Again;
    EXPECT_EQ(Again.findChild<QComboBox*>("cmbTarget")->currentIndex(), 6);
    EXPECT_EQ(Again.findChild<QStackedWidget*>("pcTarget")->currentWidget()->objectName(),
              "tsExpression");
    EXPECT_TRUE(Again.findChild<QRadioButton*>("rbSNMP")->isChecked());
}

TEST_F(MainWindowGui, ReversedRangeIsScannedFromTheLowerAddress)
{
    TfrmTolvex F;
    TFakeNetwork Net;
    F.Pool().SetWorkerServices(Net.Services());
    ChooseTarget(F, 3);
    SetField(F, "edStartIP", "10.0.0.20");
    SetField(F, "edStopIP", "10.0.0.10");
    F.findChild<QRadioButton*>("rbArp")->setChecked(true);
    ASSERT_TRUE(F.actTolvex->Execute());
    ASSERT_TRUE(PumpUntil([&] { return !F.IsScanning(); }, 10000));
    EXPECT_EQ(F.Pool().GetTotal(), 11u);
    std::vector<std::string> Expected;
    for (int I = 10; I <= 20; ++I)
        Expected.push_back("10.0.0." + std::to_string(I));
    std::sort(Expected.begin(), Expected.end());
    EXPECT_EQ(Net.AskedSorted(), Expected);
    auto* List = F.findChild<TVirtualStringTree*>("vstMacList");
    EXPECT_EQ(List->RootNodeCount(), 11);
    EXPECT_EQ(F.StatusPanel(1)->text().toStdString(), FormatChecked(sComputerFinded, "", {11}));
    // The bar and its timer exist only while the scan runs.
    EXPECT_EQ(F.ProgressBar(), nullptr);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(MainWindowGui, IncompleteTargetIsReportedAndNoScanStarts)
{
    TfrmTolvex F;
    TFakeNetwork Net;
    F.Pool().SetWorkerServices(Net.Services());
    auto* Log = F.findChild<TVirtualStringTree*>("vstLog");
    struct Case {
        int Target;
        const char* Field;
        const char* Value;
        const std::string* Message;
    };
    const Case Cases[] = {
        {1, "edRemoteComputer", "", &sEmptyComputerName},
        {3, "edStartIP", "", &sWrongIPRange},
        {3, "edStartIP", "0.0.0.0", &sWrongIPRange},
        {3, "edStartIP", "not an address", &sWrongIPRange},
        {6, "edExpression", "10.0.0", &sWrongExpression},
        {6, "edExpression", "198.18.0.300", &sWrongExpression},
    };
    for (const Case& C : Cases) {
        Messages.clear();
        ChooseTarget(F, C.Target);
        SetField(F, "edStopIP", "10.0.0.5");
        SetField(F, C.Field, C.Value);
        // The command itself, past its enable rule.
        F.actTolvexExecute();
        ASSERT_EQ(Messages.size(), 1u) << C.Field << "='" << C.Value << "'";
        EXPECT_EQ(Messages[0].Text, *C.Message);
        EXPECT_EQ(Messages[0].Caption, sError);
        EXPECT_EQ(Messages[0].Icon, TMsgIcon::Error);
        PumpUntil([] { return false; }, 50);
        EXPECT_FALSE(F.IsScanning());
        EXPECT_EQ(Log->RootNodeCount(), 0) << "a scan was started";
    }
    EXPECT_TRUE(Net.AskedSorted().empty());
}

TEST_F(MainWindowGui, StopWhileScanningAndDestroyDuringAScan)
{
    TFakeNetwork Net;
    Net.DelayMs = 200;
    {
        TfrmTolvex F;
        F.Pool().SetWorkerServices(Net.Services());
        iMaxThreads = 4;
        ChooseTarget(F, 3);
        SetField(F, "edStartIP", "10.9.0.1");
        SetField(F, "edStopIP", "10.9.0.200");
        ASSERT_TRUE(F.actTolvex->Execute());
        ASSERT_TRUE(F.IsScanning());
        ASSERT_NE(F.ProgressBar(), nullptr);
        for (int Target : {0, 1, 2, 3, 4, 5, 6}) {
            ChooseTarget(F, Target);
            EXPECT_FALSE(Enabled(F.actTolvex)) << "target " << Target;
            EXPECT_TRUE(Enabled(F.actTolvexStop)) << "target " << Target;
        }
        ChooseTarget(F, 3);
        // A second start while the first runs.
        F.actTolvexExecute();
        ASSERT_EQ(Messages.size(), 1u);
        EXPECT_EQ(Messages[0].Text, sAnotherFindProcessActive);

        ASSERT_TRUE(F.actTolvexStop->Execute());
        EXPECT_FALSE(F.IsScanning());
        EXPECT_EQ(F.ProgressBar(), nullptr);
        EXPECT_FALSE(Enabled(F.actTolvexStop));
        EXPECT_TRUE(Enabled(F.actTolvex));
        EXPECT_LT(F.Pool().GetDone(), 200u);

        // Closing the window with workers busy: the pool goes first and
        // waits for them.
        ASSERT_TRUE(F.actTolvex->Execute());
        ASSERT_TRUE(PumpUntil([&] { return F.Pool().GetDone() >= 2; }, 5000));
    }
    EXPECT_EQ(ComputerList, nullptr);
    // Every worker ended before the window was gone.
    const size_t AskedAtEnd = Net.AskedSorted().size();
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_EQ(Net.AskedSorted().size(), AskedAtEnd);
    iMaxThreads = 64;
}

TEST_F(MainWindowGui, ElapsedTimeInTheStatusBar)
{
    TfrmTolvex F;
    const double Second = 1.0 / 86400;
    const std::pair<double, const char*> Cases[] = {
        {7 * Second, "00:07"},
        {(60 + 5) * Second, "01:05"},
        {(3600 + 2 * 60 + 3) * Second, "1:02:03"},
        {(25 * 3600) * Second, "1:00:00"}, // whole days are not shown
    };
    for (auto [Elapsed, Text] : Cases) {
        // A little past the second, so the clock's next tick changes nothing.
        F.SetStartTime(Now() - Elapsed - 0.2 * Second);
        F.UpdateProgress();
        EXPECT_EQ(F.StatusPanel(3)->text().toStdString(), Text);
    }
}

TEST_F(MainWindowGui, LogPanelFollowsTheOptionAndItsCloseButton)
{
    TfrmTolvex F;
    F.resize(1000, 600);
    F.show();
    auto* Log = F.findChild<QWidget*>("pnlLog");
    EXPECT_TRUE(Log->isVisible());
    ASSERT_TRUE(F.actHideLog->Execute());
    EXPECT_FALSE(Log->isVisible());
    EXPECT_FALSE(bShowLog);
    EXPECT_FALSE(F.actShowLog->isChecked());
    ASSERT_TRUE(F.actShowLog->Execute()); // toggles back on
    EXPECT_TRUE(Log->isVisible());
    EXPECT_TRUE(bShowLog);
}

TEST_F(MainWindowGui, ScreenshotOfEveryTargetPage)
{
    TfrmTolvex F;
    F.resize(1094, 630);
    F.show();
    auto* Combo = F.findChild<QComboBox*>("cmbTarget");
    ASSERT_EQ(Combo->count(), 7);
    auto* Pages = F.findChild<QStackedWidget*>("pcTarget");
    const char* Names[] = {"tsLocal", "tsRemoteComputer", "tsNetwork", "tsIPRange", "tsAddressList",
                           "tsAD",    "tsExpression"};
    for (int I = 0; I < 7; ++I) {
        ChooseTarget(F, I);
        QApplication::processEvents();
        EXPECT_EQ(Pages->currentWidget()->objectName(), Names[I]);
        const QImage Shot = F.grab().toImage();
        ASSERT_FALSE(Shot.isNull());
        EXPECT_TRUE(
            Shot.save(TestOutputDir() + QString("/main-window-%1-%2.png").arg(I).arg(Names[I])));
    }
}

} // namespace

namespace {

TEST_F(MainWindowGui, RangeButtonsWidenTheStartAddressToItsNetwork)
{
    TfrmTolvex F;
    ChooseTarget(F, 3);
    auto* Start = F.findChild<QLineEdit*>("edStartIP");
    auto* Stop = F.findChild<QLineEdit*>("edStopIP");
    Start->setText("192.168.5.77");
    Stop->setText("");
    ASSERT_TRUE(F.actRangeC->Execute());
    EXPECT_EQ(Start->text(), "192.168.5.1");
    EXPECT_EQ(Stop->text(), "192.168.5.254");
    ASSERT_TRUE(F.actRangeB->Execute());
    EXPECT_EQ(Start->text(), "192.168.0.1");
    EXPECT_EQ(Stop->text(), "192.168.255.254");
    for (const char* Bad : {"", "192.168.5.x", "255.255.255.255"}) {
        Start->setText(Bad);
        EXPECT_FALSE(Enabled(F.actRangeB)) << Bad;
        EXPECT_FALSE(Enabled(F.actRangeC)) << Bad;
    }
}

TEST_F(MainWindowGui, CommentsAreReadAtCreationAndWrittenBackWithCrLf)
{
    InitFolderGlobals();
    std::filesystem::create_directories(SettingsDir);
    TempFolder::Write(MacCommentsFile, "02-00-00-00-00-01=desk\n02-00-00-00-00-02=printer\r\n");
    {
        TfrmTolvex F;
        EXPECT_EQ(F.MacComments.Lines(), (std::vector<std::string>{"02-00-00-00-00-01=desk",
                                                                   "02-00-00-00-00-02=printer"}));
        F.MacComments.Set("02-00-00-00-00-03", "hub");
    }
    std::ifstream In(MacCommentsFile, std::ios::binary);
    const std::string Text((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    EXPECT_EQ(Text,
              "02-00-00-00-00-01=desk\r\n02-00-00-00-00-02=printer\r\n02-00-00-00-00-03=hub\r\n");
}

} // namespace

namespace {

TEST_F(MainWindowGui, AFailedCreationStepIsReportedAndTheOthersStillRun)
{
    WriteOptions([](TXMLStorage& S) {
        S.WriteStrings("Defaults", "lstAddressList", {"10.0.0.7"});
        S.WriteInteger("Defaults", "LastTarget", 4);
        S.WriteInteger("Defaults", "LasTMethod", 3);
    });
    // A comments "file" that cannot be read.
    std::filesystem::create_directories(MacCommentsFile);
    TfrmTolvex F;
    ASSERT_EQ(Messages.size(), 1u);
    EXPECT_EQ(Messages[0].Caption, sError);
    // The steps after it ran, and the core objects exist.
    EXPECT_TRUE(F.findChild<QRadioButton*>("rbWMI")->isChecked());
    EXPECT_EQ(F.findChild<QComboBox*>("cmbTarget")->currentIndex(), 4);
    ASSERT_NE(ComputerList, nullptr);
    ASSERT_TRUE(F.PrepareScan());
    EXPECT_EQ(F.Pool().Addresses, (std::vector<std::string>{"10.0.0.7"}));
    EXPECT_EQ(F.Pool().GetMethod(), 3);
}

} // namespace

namespace {

TEST_F(MainWindowGui, AddressListRowsHaveRoomForTheirText)
{
    const std::vector<std::string> Stored{"192.168.1.20", "printer", "10.0.0.7"};
    WriteOptions([&](TXMLStorage& S) {
        S.WriteStrings("Defaults", "lstAddressList", Stored);
        S.WriteInteger("Defaults", "LastTarget", 4);
    });
    TfrmTolvex F;
    F.resize(1094, 630);
    F.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&F));
    auto* List = F.findChild<TVirtualStringTree*>("vstAddressList");
    ASSERT_EQ(List->RootNodeCount(), 3);
    QApplication::processEvents();
    EXPECT_EQ(guitest::RowsCutShort(*List), std::vector<std::string>{});
    EXPECT_TRUE(F.grab().save(TestOutputDir() + "/main-window-address-list.png"));
}

TEST_F(MainWindowGui, PanelSizesComeBackUnchangedInAWideWindow)
{
    // Wider and taller than the window's design, as a user leaves it.
    WriteOptions([](TXMLStorage& S) {
        S.WriteInteger("Window", "MainWindowLeft", 10);
        S.WriteInteger("Window", "MainWindowTop", 10);
        S.WriteInteger("Window", "MainWindowWidth", 1580);
        S.WriteInteger("Window", "MainWindowHeight", 760);
        S.WriteInteger("Defaults", "pnlLeftWidth", 288);
        S.WriteInteger("Defaults", "PanelLogHeight", 140);
    });
    for (int Run = 1; Run <= 3; ++Run) {
        SCOPED_TRACE("start " + std::to_string(Run));
        {
            TfrmTolvex F;
            F.show();
            ASSERT_TRUE(QTest::qWaitForWindowExposed(&F));
            QApplication::processEvents();
            // The window is cut to a smaller screen, but stays wider than
            // its design.
            EXPECT_GT(F.width(), 1094 + 100);
            EXPECT_EQ(F.findChild<QWidget*>("pnlLeft")->width(), 288);
            EXPECT_EQ(F.findChild<QWidget*>("pnlLog")->height(), 140);
            if (Run == 3) {
                EXPECT_TRUE(F.grab().save(
                    TestOutputDir() + QString("/main-window-third-start-%1.png").arg(F.width())));
            }
        }
        EXPECT_EQ(pnlLeftWidth, 288);
        EXPECT_EQ(PanelLogHeight, 140);
    }
}

} // namespace
