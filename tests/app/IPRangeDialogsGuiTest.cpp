#include "app/uDlgIPRangeEdit.h"
#include "app/udlgDetectLocalIPRange.h"
#include "engine/uLocalIPandMaskList.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "platform/LocalInterfaces.h"
#include "settings/uProgramOptions.h"

#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <string>
#include <vector>

namespace {

using namespace guitest;

platform::LocalInterface Adapter(const std::string& Name,
                                 const std::vector<std::pair<const char*, const char*>>& Addresses,
                                 bool Up = true, bool Loopback = false)
{
    platform::LocalInterface A;
    A.name = Name;
    A.up = Up;
    A.loopback = Loopback;
    for (const auto& [Address, Mask] : Addresses) {
        platform::Ipv4Address V;
        V.address = ntohl(inet_addr(Address));
        V.netmask = ntohl(inet_addr(Mask));
        V.label = Name;
        A.ipv4.push_back(V);
    }
    return A;
}

TIPAndMask Addresses(const std::vector<platform::LocalInterface>& Adapters)
{
    TIPAndMask L;
    L.LoadFromAdapters(Adapters);
    return L;
}

// Answers the chooser (recording what it offered) and records messages.
class LocalRangeGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        OldFormat = sFormatSelectIpRange;
        sFormatSelectIpRange = "%s on %s";
        OldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call.Caption + ": " + Call.Text);
            return mrOk;
        });
    }
    void TearDown() override
    {
        SetMessageSink(std::move(OldSink));
        sFormatSelectIpRange = OldFormat;
    }

    // The chooser picks item Pick and answers Result; -1: it is not expected.
    TModalDriver Chooser(int Pick, int Result)
    {
        return [this, Pick, Result](QDialog& Dlg) {
            ++Shown;
            Dlg.show();
            auto* Combo = Child<QComboBox>(Dlg, "cmbIPAddressIndex");
            Offered.clear();
            for (int I = 0; I < Combo->count(); ++I)
                Offered.push_back(FromQ(Combo->itemText(I)));
            Selected = Combo->currentIndex();
            if (Pick >= 0)
                Combo->setCurrentIndex(Pick);
            if (!Saved)
                Saved = SaveScreenshot(Dlg, "local-ip-range-dialog");
            return Result;
        };
    }

    std::string OldFormat;
    TMessageSink OldSink;
    std::vector<std::string> Messages;
    int Shown = 0;
    bool Saved = false;
    int Selected = -2;
    std::vector<std::string> Offered;
};

TEST_F(LocalRangeGui, OneAddressIsTakenWithoutAsking)
{
    // Loopback and adapters that are down are never offered.
    const TIPAndMask L = Addresses({Adapter("lo", {{"127.0.0.1", "255.0.0.0"}}, true, true),
                                    Adapter("eth9", {{"10.9.0.1", "255.255.0.0"}}, false),
                                    Adapter("eth0", {{"192.168.7.20", "255.255.255.0"}})});
    ModalDriver D(Chooser(-1, mrOk));
    std::string Start = "old", Stop = "old";
    EXPECT_TRUE(DetectLocalIPRange(L, Start, Stop, false));
    EXPECT_EQ(Start, "192.168.7.1");
    EXPECT_EQ(Stop, "192.168.7.254");
    EXPECT_EQ(Shown, 0);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(LocalRangeGui, SeveralAddressesAreOfferedAndTheChosenOneCounts)
{
    // Two adapters, the second with an alias address of its own.
    const TIPAndMask L = Addresses(
        {Adapter("eth0", {{"192.168.7.20", "255.255.255.0"}}),
         Adapter("wlan0", {{"10.20.30.40", "255.255.240.0"}, {"172.16.5.5", "255.255.255.252"}})});
    std::string Start, Stop;
    {
        ModalDriver D(Chooser(1, mrOk));
        EXPECT_TRUE(DetectLocalIPRange(L, Start, Stop, false));
    }
    EXPECT_EQ(Shown, 1);
    EXPECT_EQ(Selected, 0);
    EXPECT_EQ(Offered, (std::vector<std::string>{"192.168.7.20 on eth0", "10.20.30.40 on wlan0",
                                                 "172.16.5.5 on wlan0"}));
    EXPECT_EQ(Start, "10.20.16.1");
    EXPECT_EQ(Stop, "10.20.31.254");
    {
        ModalDriver D(Chooser(2, mrOk));
        EXPECT_TRUE(DetectLocalIPRange(L, Start, Stop, false));
    }
    EXPECT_EQ(Start, "172.16.5.5");
    EXPECT_EQ(Stop, "172.16.5.6");

    // Cancelled: no range, and the old texts are gone.
    {
        ModalDriver D(Chooser(1, mrCancel));
        EXPECT_FALSE(DetectLocalIPRange(L, Start, Stop, false));
    }
    EXPECT_EQ(Start, "");
    EXPECT_EQ(Stop, "");
    // At start-up the first address is taken without asking.
    Shown = 0;
    {
        ModalDriver D(Chooser(-1, mrOk));
        EXPECT_TRUE(DetectLocalIPRange(L, Start, Stop, true));
    }
    EXPECT_EQ(Shown, 0);
    EXPECT_EQ(Start, "192.168.7.1");
    EXPECT_EQ(Stop, "192.168.7.254");
    EXPECT_TRUE(Messages.empty());

    // A translated format that does not fit its arguments falls back to the
    // built-in one instead of breaking the list.
    sFormatSelectIpRange = "%d%d%s%s";
    {
        ModalDriver D(Chooser(0, mrOk));
        EXPECT_TRUE(DetectLocalIPRange(L, Start, Stop, false));
    }
    EXPECT_EQ(Offered.at(0), "192.168.7.20 (eth0)");
}

TEST_F(LocalRangeGui, NoAddressIsReportedOnlyWhenTheUserAsked)
{
    const TIPAndMask L = Addresses(
        {Adapter("lo", {{"127.0.0.1", "255.0.0.0"}}, true, true), Adapter("eth0", {}, true)});
    ModalDriver D(Chooser(-1, mrOk));
    std::string Start = "x", Stop = "y";
    EXPECT_FALSE(DetectLocalIPRange(L, Start, Stop, true));
    EXPECT_TRUE(Messages.empty());
    EXPECT_FALSE(DetectLocalIPRange(L, Start, Stop, false));
    EXPECT_EQ(Shown, 0);
    EXPECT_EQ(Start, "");
    EXPECT_EQ(Stop, "");
    EXPECT_EQ(Messages, (std::vector<std::string>{sError + ": " + sErrorDetectIPRange}));
}

TEST(IPRangeEditGui, ShowsBothAddressesAndTakesThemOnOk)
{
    App();
    std::string Start = "10.0.0.1", Stop = "10.0.0.200";
    ModalDriver D([](QDialog& Dlg) {
        Dlg.show();
        EXPECT_EQ(Child<QLineEdit>(Dlg, "edStartIP")->text(), "10.0.0.1");
        EXPECT_EQ(Child<QLineEdit>(Dlg, "edStopIP")->text(), "10.0.0.200");
        SaveScreenshot(Dlg, "ip-range-edit-dialog");
        // Stop before start is no reason to refuse.
        Child<QLineEdit>(Dlg, "edStartIP")->setText("10.0.0.250");
        auto* Act = static_cast<TDlgIPRangeEdit&>(Dlg).actOK();
        Act->Update();
        EXPECT_TRUE(Act->isEnabled());
        return mrOk;
    });
    EXPECT_TRUE(EditIPRange(Start, Stop));
    EXPECT_EQ(Start, "10.0.0.250");
    EXPECT_EQ(Stop, "10.0.0.200");
}

TEST(IPRangeEditGui, OkFollowsTheAddressRulesAndValuesComeBackOnOkOnly)
{
    App();
    std::string Start = "192.168.0.1", Stop = "255.255.255.255";
    std::vector<bool> Enabled;
    {
        ModalDriver D([&](QDialog& Dlg) {
            Dlg.show();
            auto* Ok = Child<QPushButton>(Dlg, "btnOK");
            auto* A = Child<QLineEdit>(Dlg, "edStartIP");
            auto* B = Child<QLineEdit>(Dlg, "edStopIP");
            auto* Act = static_cast<TDlgIPRangeEdit&>(Dlg).actOK();
            Act->Update();
            Enabled.push_back(Ok->isEnabled()); // broadcast refused
            B->setText("");
            Act->Update();
            Enabled.push_back(Ok->isEnabled()); // empty refused
            A->setText("10.1");
            B->setText("10.2");
            Act->Update();
            Enabled.push_back(Ok->isEnabled()); // short forms pass
            B->setText("10.x");
            Act->Update();
            Enabled.push_back(Ok->isEnabled());
            B->setText("10.0.0.5");
            return mrCancel;
        });
        EXPECT_FALSE(EditIPRange(Start, Stop));
    }
    EXPECT_EQ(Enabled, (std::vector<bool>{false, false, true, false}));
    EXPECT_EQ(Start, "192.168.0.1");
    EXPECT_EQ(Stop, "255.255.255.255");
    {
        ModalDriver D([&](QDialog& Dlg) {
            Dlg.show();
            Child<QLineEdit>(Dlg, "edStopIP")->setText("192.168.0.9");
            // The button follows its action once the event loop goes idle.
            QTest::qWait(2 * TActionList::UpdateIntervalMs);
            Child<QPushButton>(Dlg, "btnOK")->click();
            return Dlg.result() == QDialog::Accepted ? mrOk : mrCancel;
        });
        EXPECT_TRUE(EditIPRange(Start, Stop));
    }
    EXPECT_EQ(Start, "192.168.0.1");
    EXPECT_EQ(Stop, "192.168.0.9");
}

} // namespace
