// A real scan from the main window inside a private network: the window
// runs in a namespace of its own, beside five hosts on one switch, and the
// ARP method finds them.
#include "tests/app/MainWindowTestSupport.h"
#include "tests/lan/Lab.h"
#include "tests/support/TwoHostLab.h"

#include "engine/uComputerList.h"
#include "engine/uEngineOptions.h"
#include "engine/uThreadScanPool.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/MainThreadLoop.h"
#include "forms/VirtualTrees.h"
#include "settings/uProgramOptions.h"

#include <QApplication>
#include <QComboBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProgressBar>
#include <QRadioButton>
#include <QStackedWidget>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <set>
#include <sstream>

namespace {

constexpr int PeerCount = 5;

// The first two peers carry addresses of a registered vendor block
// (DEUTA-WERKE's 36-bit block), the others locally administered ones.
std::string PeerMac(int I)
{
    if (I < 4)
        return "00:50:c2:7d:51:0" + std::to_string(I);
    return lan::LocalMac(0x7700 + I); // 02:00:00:00:77:0i
}

void ClickHeader(QHeaderView* H, int Col)
{
    const QPointF P(H->sectionViewportPosition(Col) + H->sectionSize(Col) / 2, H->height() / 2);
    const QPointF G = H->viewport()->mapToGlobal(P);
    QMouseEvent Press(QEvent::MouseButtonPress, P, G, Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(H->viewport(), &Press);
    QMouseEvent Release(QEvent::MouseButtonRelease, P, G, Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QApplication::sendEvent(H->viewport(), &Release);
}

// Runs inside the namespace: the whole window, driven as a user would.
std::string ScanFromTheWindow(const std::string& ConfigHome)
{
    ::setenv("XDG_CONFIG_HOME", ConfigHome.c_str(), 1);
    App();
    InstallMainThreadIntoEventLoop();
    std::vector<std::string> Messages;
    SetMessageSink([&](const TMessageBoxCall& C) {
        Messages.push_back(C.Text);
        return mrOk;
    });
    std::ostringstream Out;
    {
        TfrmTolvex F;
        F.resize(1094, 630);
        F.show();
        // The namespace's host name resolves to no address of its own.
        Out << "localip=" << F.findChild<QLineEdit*>("edLocalIP")->text().toStdString() << ";";
        // The last peer ignores pings: its ping waits the whole second, which
        // keeps the scan running past the first progress tick (every 500 ms),
        // so the bar is seen to move.
        DefaultTimeout = 1000;
        DefaultCheckState = 0; // ping first: absent hosts are reported inactive
        F.findChild<QComboBox*>("cmbTarget")->setCurrentIndex(3);
        F.findChild<QStackedWidget*>("pcTarget")->setCurrentIndex(3);
        // Reversed on purpose, and wider than the hosts present.
        F.findChild<QLineEdit*>("edStartIP")->setText("10.77.0.12");
        F.findChild<QLineEdit*>("edStopIP")->setText("10.77.0.2");
        F.findChild<QRadioButton*>("rbArp")->setChecked(true);
        F.ActionList->UpdateActions();

        auto* Bar = F.findChild<QToolBar*>("ToolBar1");
        auto* Find = qobject_cast<QToolButton*>(Bar->widgetForAction(F.actTolvex));
        if (!Find || !Find->isEnabled())
            return "the find button is missing or disabled";
        QTest::mouseClick(Find, Qt::LeftButton);
        Out << "scanning=" << F.IsScanning() << ";";
        F.ActionList->UpdateActions();
        Out << "stop=" << F.actTolvexStop->isEnabled() << ";find=" << F.actTolvex->isEnabled()
            << ";bar=" << (F.ProgressBar() != nullptr) << ";";
        F.actTolvexExecute(); // a second start meanwhile
        Out << "second=" << (Messages.size() == 1 && Messages[0] == sAnotherFindProcessActive)
            << ";";
        int MaxProgress = -1;
        bool Shot = false;
        PumpUntil(
            [&] {
                if (F.ProgressBar())
                    MaxProgress = std::max(MaxProgress, F.ProgressBar()->value());
                if (!Shot && F.findChild<TVirtualStringTree*>("vstMacList")->RootNodeCount() > 0) {
                    Shot = F.grab().save(TestOutputDir() + "/main-window-scanning.png");
                }
                return !F.IsScanning();
            },
            30000);
        F.ActionList->UpdateActions();
        Out << "finished=" << !F.IsScanning() << ";stopAfter=" << F.actTolvexStop->isEnabled()
            << ";barAfter=" << (F.ProgressBar() != nullptr)
            << ";moved=" << (MaxProgress > 0 && MaxProgress <= 100)
            << ";done=" << F.Pool().GetDone() << "/" << F.Pool().GetTotal()
            << ";panel1=" << F.StatusPanel(1)->text().toStdString() << ";";
        std::set<std::string> Found;
        for (const auto& C : *ComputerList)
            Found.insert(C->IP + "=" + (C->AdapterList.empty() ? "" : C->AdapterList[0]->Number));
        Out << "found=";
        for (const std::string& S : Found)
            Out << S << ",";
        auto* Log = F.findChild<TVirtualStringTree*>("vstLog");
        bool Started = false, Finished = false;
        int Inactive = 0;
        for (TVirtualNode* N = Log->GetFirst(); N; N = Log->GetNext(N)) {
            const auto* D = Log->NodeData<TTreeLogTaskData>(N);
            Started |= D->Text == sSetStatusStart;
            Finished |= D->Text == sSetStatusFinish;
            Inactive += D->Kind == 1;
        }
        Out << ";log=" << Started << Finished << ";inactive=" << Inactive
            << ";rows=" << F.findChild<TVirtualStringTree*>("vstMacList")->RootNodeCount() << ";";
        F.grab().save(TestOutputDir() + "/main-window-scanned.png");

        // The user narrows the list to one vendor and sorts it by address,
        // highest first: two header clicks.
        auto* List = F.findChild<TVirtualStringTree*>("vstMacList");
        F.findChild<QComboBox*>("cmbFilterBy")->setCurrentIndex(3);
        QTest::keyClicks(F.findChild<QLineEdit*>("edFilter"), "deuta");
        ClickHeader(List->header(), 1);
        ClickHeader(List->header(), 1);
        Out << "shown=";
        for (TVirtualNode* N = List->GetFirst(); N; N = List->GetNext(N))
            if (!N->Parent->Parent && !List->IsFiltered(N))
                Out << List->Text(N, 1) << "/" << List->Text(N, 3) << ",";
        Out << ";";
        F.grab().save(TestOutputDir() + "/main-window-scanned-filtered-sorted.png");
    }
    SetMessageSink({});
    return Out.str();
}

TEST(MainWindowGuiLan, ScanOfARangeFromTheWindowFindsTheHosts)
{
    TVX_REQUIRE_LAN();
    lan::Lab Lab;
    lan::Switch& Sw = Lab.AddSwitch();
    lan::Host& Gui = Lab.AddHost("gui");
    Lab.Attach(Sw, Gui, {"eth0", lan::LocalMac(0x7701), "10.77.0.1/24"});
    std::vector<lan::Nic> Nics;
    for (int I = 2; I < 2 + PeerCount; ++I)
        Nics.push_back({"eth0", PeerMac(I), "10.77.0." + std::to_string(I) + "/24"});
    Lab.AddHostsOnSwitch(Sw, Nics, "peer").back()->SetSysctl("net.ipv4.icmp_echo_ignore_all", "1");

    lan::RunOptions O;
    O.timeout = std::chrono::seconds(60);
    O.hostname = "tolvexgui";
    const std::string Config = Lab.TempDir() + "/config";
    const lan::RunResult R = Gui.Run([&] { return ScanFromTheWindow(Config); }, O);
    ASSERT_TRUE(R.ok()) << R.Describe();
    const std::string& V = R.value;
    EXPECT_NE(V.find("localip=10.77.0.1;"), std::string::npos) << V;
    EXPECT_NE(V.find("scanning=1;stop=1;find=0;bar=1;second=1;"), std::string::npos) << V;
    // The window loaded english.lng, the default language.
    EXPECT_NE(V.find("finished=1;stopAfter=0;barAfter=0;moved=1;done=11/11;"
                     "panel1=Computers found: 5;"),
              std::string::npos)
        << V;
    std::string Expected = "found=";
    for (int I = 2; I < 2 + PeerCount; ++I) {
        std::string Mac = PeerMac(I);
        std::replace(Mac.begin(), Mac.end(), ':', '-');
        Expected += "10.77.0." + std::to_string(I) + "=" + Mac + ",";
    }
    EXPECT_NE(V.find(Expected + ";"), std::string::npos) << V;
    // Six addresses of the range have no host, and one host ignores pings:
    // found by ARP all the same, logged inactive.
    EXPECT_NE(V.find(";log=11;inactive=7;rows=5;"), std::string::npos) << V;
    EXPECT_NE(V.find(";shown=10.77.0.3/DEUTA-WERKE GmbH,10.77.0.2/DEUTA-WERKE GmbH,;"),
              std::string::npos)
        << V;
}

} // namespace

namespace {

// Runs inside the namespace: the local computer scanned by ARP, then by the
// transport list, each time listing the rows found and the log.
std::string ScanTheLocalComputer(const std::string& ConfigHome)
{
    ::setenv("XDG_CONFIG_HOME", ConfigHome.c_str(), 1);
    App();
    InstallMainThreadIntoEventLoop();
    SetMessageSink([](const TMessageBoxCall&) { return mrOk; });
    std::ostringstream Out;
    {
        TfrmTolvex F;
        F.show();
        Out << "localip=" << F.findChild<QLineEdit*>("edLocalIP")->text().toStdString() << ";";
        F.findChild<QComboBox*>("cmbTarget")->setCurrentIndex(0);
        F.findChild<QStackedWidget*>("pcTarget")->setCurrentIndex(0);
        for (const char* Method : {"rbArp", "rbNetApi"}) {
            F.findChild<QRadioButton*>(Method)->setChecked(true);
            F.ActionList->UpdateActions();
            if (!F.actTolvex->Execute())
                return Out.str() + "the find action is disabled";
            PumpUntil([&] { return !F.IsScanning(); }, 20000);
            Out << Method << ":";
            for (const auto& C : *ComputerList) {
                Out << C->Name << "|" << C->IP;
                for (const auto& A : C->AdapterList)
                    Out << "|" << A->Number;
                Out << ",";
            }
            auto* Log = F.findChild<TVirtualStringTree*>("vstLog");
            Out << "log:";
            for (TVirtualNode* N = Log->GetFirst(); N; N = Log->GetNext(N))
                Out << Log->NodeData<TTreeLogTaskData>(N)->Text << "/";
            Out << ";";
        }
    }
    SetMessageSink({});
    return Out.str();
}

TEST(MainWindowGuiLan, LocalComputerIsScannedAtTheAddressTheNetworkSees)
{
    TVX_REQUIRE_LAN();
    lan::Lab Lab;
    lan::Host& Gui = AddLinkedHosts(Lab, {"gui", {"eth0", lan::LocalMac(0x7801), "10.78.0.1/24"}},
                                    {"other", {"eth0", lan::LocalMac(0x7802), "10.78.0.2/24"}})
                         .first;
    // As Debian's installer writes it: the host name on a loopback address.
    Gui.AddHostsEntry("127.0.1.1", {"tolvexlocal"});

    lan::RunOptions O;
    O.timeout = std::chrono::seconds(60);
    O.hostname = "tolvexlocal";
    const std::string Config = Lab.TempDir() + "/config";
    const lan::RunResult R = Gui.Run([&] { return ScanTheLocalComputer(Config); }, O);
    ASSERT_TRUE(R.ok()) << R.Describe();
    const std::string& V = R.value;
    EXPECT_NE(V.find("localip=10.78.0.1;"), std::string::npos) << V;
    // The computer keeps its name and is scanned at its network address.
    EXPECT_NE(V.find("rbArp:tolvexlocal|10.78.0.1|02-00-00-00-78-01,"), std::string::npos) << V;
    EXPECT_NE(V.find("rbNetApi:tolvexlocal|10.78.0.1|02-00-00-00-78-01,log:"), std::string::npos)
        << V;
    EXPECT_EQ(V.find("no MAC address found"), std::string::npos) << V;
}

} // namespace
