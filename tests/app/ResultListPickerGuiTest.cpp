// The computer search dialog on a search thread: names arrive while it runs,
// OK waits for the search (address list) or for a chosen name (picker), and
// closing it during a search leaves a thread that reports to nobody.
#include "app/udlgAddressComputerFind.h"
#include "engine/uNetworkEnum.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "platform/LanManBrowse.h"
#include "platform/Thread.h"
#include "settings/uProgramOptions.h"

#include <QApplication>
#include <QLabel>
#include <QListWidget>
#include <QProgressBar>
#include <QPushButton>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using platform::MainThread;

namespace {

using guitest::ModalDriver;

// Serves the search thread's calls and the window's events until Done.
bool PumpUntil(const std::function<bool()>& Done)
{
    const auto End = std::chrono::steady_clock::now() + 10s;
    while (!Done()) {
        if (std::chrono::steady_clock::now() > End)
            return false;
        MainThread().ProcessPending();
        QApplication::processEvents();
        std::this_thread::sleep_for(1ms);
    }
    return true;
}

// Two workgroups; BETA's browser answers only once Release is set.
struct GatedNeighbourhood {
    std::promise<void> Release;
    std::shared_future<void> Gate = Release.get_future().share();
    TNeighbourhoodSource Source()
    {
        TNeighbourhoodSource S;
        S.Workgroups = [] { return std::vector<std::string>{"ALPHA", "BETA"}; };
        auto G = Gate;
        S.Servers = [G](const std::string& Domain) {
            if (Domain == "ALPHA")
                return std::vector<std::string>{"A1", "A2"};
            G.wait();
            return std::vector<std::string>{"B1"};
        };
        return S;
    }
};

class ComputerFindGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        MainThread().Install();
        sComputerFinded = "Computers found: %d";
    }
    void TearDown() override
    {
        EXPECT_TRUE(PumpUntil([] { return ComputerSearchThreads()->Empty(); }));
        sComputerFinded = "sComputerFinded";
    }
};

TEST_F(ComputerFindGui, TakesEveryNameOnceTheSearchHasEnded)
{
    GatedNeighbourhood Net;
    std::vector<std::string> Names{"stale"};
    std::vector<bool> OkEnabled;
    std::string CountText;
    ModalDriver D([&](QDialog& Base) {
        auto& Dlg = static_cast<TdlgAddressComputerFind&>(Base);
        Dlg.show();
        EXPECT_TRUE(Dlg.Searching());
        EXPECT_FALSE(Dlg.findChild<QListWidget*>("lbComputers")->isVisible());
        EXPECT_TRUE(PumpUntil([&] { return Names.size() == 2; }));
        Dlg.actAdd()->Update();
        OkEnabled.push_back(Dlg.actAdd()->isEnabled()); // names, but still searching
        EXPECT_EQ(Dlg.findChild<QProgressBar*>("pbSearch")->maximum(), 0);
        Net.Release.set_value();
        EXPECT_TRUE(PumpUntil([&] { return !Dlg.Searching(); }));
        Dlg.actAdd()->Update();
        OkEnabled.push_back(Dlg.actAdd()->isEnabled());
        EXPECT_FALSE(Dlg.findChild<QProgressBar*>("pbSearch")->isVisible());
        auto* Count = Dlg.findChild<QLabel*>("lblComputerCount");
        EXPECT_TRUE(Count->isVisible());
        CountText = FromQ(Count->text());
        Dlg.findChild<QPushButton*>("btnOK")->click();
        return Dlg.result() == QDialog::Accepted ? mrOk : mrCancel;
    });
    EXPECT_TRUE(ShowAddressComputerFind(Names, Net.Source()));
    EXPECT_EQ(Names, (std::vector<std::string>{"A1", "A2", "B1"}));
    EXPECT_EQ(OkEnabled, (std::vector<bool>{false, true}));
    EXPECT_EQ(CountText, "Computers found: 3");
}

// No browser on the network: the dialog says why nothing was found instead of
// a count of 0 as if the network were empty.
TEST_F(ComputerFindGui, ABrowseThatFailsSaysWhy)
{
    TNeighbourhoodSource NoBrowser;
    NoBrowser.Workgroups = []() -> std::vector<std::string> {
        throw platform::EBrowseError("no master browser answered");
    };
    NoBrowser.Servers = [](const std::string&) { return std::vector<std::string>{}; };
    std::string CountText;
    ModalDriver D([&](QDialog& Base) {
        auto& Dlg = static_cast<TdlgAddressComputerFind&>(Base);
        EXPECT_TRUE(PumpUntil([&] { return !Dlg.Searching(); }));
        CountText = FromQ(Dlg.findChild<QLabel*>("lblComputerCount")->text());
        Dlg.actAdd()->Update();
        EXPECT_FALSE(Dlg.actAdd()->isEnabled());
        return mrCancel;
    });
    std::vector<std::string> Names;
    EXPECT_FALSE(ShowAddressComputerFind(Names, NoBrowser));
    EXPECT_EQ(CountText, "No computer found: the browse failed: no master browser answered");
}

TEST_F(ComputerFindGui, CancelDuringTheSearchReturnsFalseAndDetachesTheThread)
{
    GatedNeighbourhood Net;
    std::vector<std::string> Names;
    ModalDriver D([&](QDialog& Base) {
        auto& Dlg = static_cast<TdlgAddressComputerFind&>(Base);
        EXPECT_TRUE(PumpUntil([&] { return Names.size() == 2; }));
        Dlg.findChild<QPushButton*>("btnCancel")->click();
        EXPECT_FALSE(Dlg.Searching());
        return Dlg.result() == QDialog::Accepted ? mrOk : mrCancel;
    });
    EXPECT_FALSE(ShowAddressComputerFind(Names, Net.Source()));
    // The dialog is gone; the thread still waits for BETA, then ends
    // without reporting its last name anywhere.
    EXPECT_FALSE(ComputerSearchThreads()->Empty());
    Net.Release.set_value();
    EXPECT_TRUE(PumpUntil([] { return ComputerSearchThreads()->Empty(); }));
    EXPECT_EQ(Names, (std::vector<std::string>{"A1", "A2"}));
}

TEST_F(ComputerFindGui, PickerReturnsTheChosenNameOnly)
{
    GatedNeighbourhood Net;
    Net.Release.set_value();
    std::string Name = "old";
    std::vector<bool> OkEnabled;
    std::string Title;
    auto Drive = [&](bool Choose) {
        return [&, Choose](QDialog& Base) {
            auto& Dlg = static_cast<TdlgAddressComputerFind&>(Base);
            Dlg.show();
            Title = FromQ(Dlg.windowTitle());
            auto* List = Dlg.findChild<QListWidget*>("lbComputers");
            EXPECT_TRUE(List->isVisible());
            EXPECT_TRUE(PumpUntil([&] { return !Dlg.Searching(); }));
            EXPECT_EQ(List->count(), 3);
            Dlg.actAdd()->Update();
            OkEnabled.push_back(Dlg.actAdd()->isEnabled());
            if (!Choose)
                return mrCancel;
            List->setCurrentRow(2);
            Dlg.actAdd()->Update();
            OkEnabled.push_back(Dlg.actAdd()->isEnabled());
            Dlg.actAdd()->Execute();
            return Dlg.result() == QDialog::Accepted ? mrOk : mrCancel;
        };
    };
    {
        ModalDriver D(Drive(false));
        EXPECT_FALSE(SelectComputer(Name, Net.Source()));
    }
    EXPECT_EQ(Name, "old");
    {
        ModalDriver D(Drive(true));
        EXPECT_TRUE(SelectComputer(Name, Net.Source()));
    }
    EXPECT_EQ(Name, "B1");
    EXPECT_EQ(OkEnabled, (std::vector<bool>{false, false, true}));
    EXPECT_EQ(Title, sSelectComp);
}

} // namespace
