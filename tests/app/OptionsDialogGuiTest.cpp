// "Preferences" on the option globals of a real (portable) program: what OK
// and Cancel do to them, and what reaches "options.xml".
#include "app/udlgOptions.h"
#include "engine/uEngineOptions.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "settings/uProgramOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QTabWidget>

#include "tests/forms/GuiTestApp.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace guitest;

// Every option the dialog edits, as one comparable value.
struct Snapshot {
    int Style, Threads, CheckState, Timeout, Port;
    bool Clear, Inverse, Netbios, Dns, NoName, DnsFallback, Ignore;
    std::string Community;
    bool operator==(const Snapshot&) const = default;
};

Snapshot Take()
{
    return {ComputerCaptionStyle,
            iMaxThreads,
            DefaultCheckState,
            DefaultTimeout,
            DefaultTCPPort,
            ClearBeforeTolvex,
            bInverseLog,
            bGetNetbiosName,
            bGetDomainName,
            bNoName,
            bGetDomainNameIfNetBiosFailed,
            IgnoreCheck,
            SNMPCommunity};
}

void PrintTo(const Snapshot& S, std::ostream* Os)
{
    *Os << "style " << S.Style << " threads " << S.Threads << " check " << S.CheckState
        << " timeout " << S.Timeout << " port " << S.Port << " clear " << S.Clear << " inverse "
        << S.Inverse << " netbios " << S.Netbios << " dns " << S.Dns << " noname " << S.NoName
        << " fallback " << S.DnsFallback << " ignore " << S.Ignore << " community '" << S.Community
        << "'";
}

// Changes every control of every page away from the defaults.
void ChangeEveryPage(QDialog& Dlg)
{
    Child<QComboBox>(Dlg, "cmbComputerCaptionStyle")->setCurrentIndex(3);
    Child<QCheckBox>(Dlg, "cbClearBeforeTolvex")->toggle();
    Child<QCheckBox>(Dlg, "cbInverseLog")->toggle();
    Child<QSpinBox>(Dlg, "edMaxThreads")->setValue(17);
    Child<QRadioButton>(Dlg, "rbGetDomainName")->setChecked(true);
    Child<QCheckBox>(Dlg, "cbGetDomainNameIfNetBiosFailed")->toggle();
    Child<QSpinBox>(Dlg, "edTimeout")->setValue(1234);
    Child<QRadioButton>(Dlg, "rbTCPConnect")->setChecked(true);
    Child<QLineEdit>(Dlg, "edTcpPort")->setText("8443");
    Child<QCheckBox>(Dlg, "cbIgnoreCheck")->toggle();
    Child<QLineEdit>(Dlg, "edSNMPCommunity")->setText("c0mmunity");
}

class OptionsDialogGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        AppDir = Dir.Path("app");
        MakePortableProgram(AppDir, true);
        // The default settings files the program comes with.
        for (const char* File : {"options.xml", "tools.xml", "presets.xml"})
            std::filesystem::copy_file(std::string(std::getenv("TOLVEX_SOURCE_DIR")) +
                                           "/resources/Default/" + File,
                                       AppDir + "/Default/" + File);
        OldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call.Text);
            return mrOk;
        });
        LoadProgramOptions();
    }
    void TearDown() override
    {
        SetMessageSink(std::move(OldSink));
        ResetProgramOptions();
        ForgetPortableProgram();
    }

    // Shows the dialog worked by Fn; Fn's answer is the modal result.
    void Show(const std::function<int(QDialog&)>& Fn)
    {
        int Shown = 0;
        ModalDriver D([&](QDialog& Dlg) {
            ++Shown;
            Dlg.show();
            return Fn(Dlg);
        });
        ShowOptionsDialog();
        EXPECT_EQ(Shown, 1);
    }

    TempFolder Dir;
    std::string AppDir;
    TMessageSink OldSink;
    std::vector<std::string> Messages;
};

TEST_F(OptionsDialogGui, EveryPageRoundTripsThroughTheOptionsFile)
{
    const Snapshot Before = Take();
    Show([](QDialog& Dlg) {
        EXPECT_EQ(Child<QTabWidget>(Dlg, "pcOptions")->currentIndex(), 0);
        ChangeEveryPage(Dlg);
        return mrOk;
    });
    const Snapshot After = Take();
    const Snapshot Expected{3,
                            17,
                            1,
                            1234,
                            8443,
                            !Before.Clear,
                            !Before.Inverse,
                            false,
                            true,
                            false,
                            !Before.DnsFallback,
                            !Before.Ignore,
                            "c0mmunity"};
    EXPECT_EQ(After, Expected);
    EXPECT_TRUE(Messages.empty());

    SaveProgramOptions();
    ResetProgramOptions();
    EXPECT_EQ(Take(), Before);
    LoadProgramOptions();
    EXPECT_EQ(Take(), Expected);

    // The dialog opens on what was stored.
    Show([&](QDialog& Dlg) {
        EXPECT_EQ(Child<QComboBox>(Dlg, "cmbComputerCaptionStyle")->currentIndex(), 3);
        EXPECT_EQ(Child<QSpinBox>(Dlg, "edMaxThreads")->value(), 17);
        EXPECT_TRUE(Child<QRadioButton>(Dlg, "rbGetDomainName")->isChecked());
        EXPECT_TRUE(Child<QRadioButton>(Dlg, "rbTCPConnect")->isChecked());
        EXPECT_EQ(FromQ(Child<QLineEdit>(Dlg, "edTcpPort")->text()), "8443");
        EXPECT_EQ(FromQ(Child<QLineEdit>(Dlg, "edSNMPCommunity")->text()), "c0mmunity");
        return mrOk;
    });
    EXPECT_EQ(Take(), Expected);
}

TEST_F(OptionsDialogGui, CancelAfterChangingEveryPageChangesNothing)
{
    const Snapshot Before = Take();
    Show([](QDialog& Dlg) {
        ChangeEveryPage(Dlg);
        Child<QLineEdit>(Dlg, "edTcpPort")->setText("70000");
        return mrCancel;
    });
    EXPECT_EQ(Take(), Before);
    EXPECT_TRUE(Messages.empty());
}

TEST_F(OptionsDialogGui, CaptionStylesShowByExample)
{
    ComputerCaptionStyle = 2;
    Show([](QDialog& Dlg) {
        auto* Combo = Child<QComboBox>(Dlg, "cmbComputerCaptionStyle");
        std::vector<std::string> Items;
        for (int I = 0; I < Combo->count(); ++I)
            Items.push_back(FromQ(Combo->itemText(I)));
        EXPECT_EQ(Items, (std::vector<std::string>{"Computer name (IP address)",
                                                   "IP address (Computer name)", "Computer name",
                                                   "IP address"}));
        EXPECT_EQ(Combo->currentIndex(), 2);
        auto* Tabs = Child<QTabWidget>(Dlg, "pcOptions");
        const char* Names[] = {"Options-General", "Options-Scanning", "Options-CheckState",
                               "Options-SNMP"};
        for (int I = 0; I < Tabs->count(); ++I) {
            Tabs->setCurrentIndex(I);
            SaveScreenshot(Dlg, Names[I]);
        }
        return mrCancel;
    });
}

TEST_F(OptionsDialogGui, APortOutsideOneTo65535IsKeptAndSaid)
{
    DefaultTCPPort = 139;
    for (const char* Bad : {"70000", "0", "-1", "", "65536", "12a"}) {
        Messages.clear();
        Show([Bad](QDialog& Dlg) {
            Child<QLineEdit>(Dlg, "edTcpPort")->setText(Bad);
            return mrOk;
        });
        EXPECT_EQ(DefaultTCPPort, 139) << Bad;
        ASSERT_EQ(Messages.size(), 1u) << Bad;
        EXPECT_NE(Messages[0].find(std::string("\"") + Bad + "\""), std::string::npos)
            << Messages[0];
        EXPECT_NE(Messages[0].find("139"), std::string::npos) << Messages[0];
    }
    for (const char* Good : {"1", "65535"}) {
        Show([Good](QDialog& Dlg) {
            Child<QLineEdit>(Dlg, "edTcpPort")->setText(Good);
            return mrOk;
        });
        EXPECT_EQ(std::to_string(DefaultTCPPort), Good);
    }
}

TEST_F(OptionsDialogGui, LimitsAndDependentControls)
{
    Show([](QDialog& Dlg) {
        auto* Timeout = Child<QSpinBox>(Dlg, "edTimeout");
        auto* Threads = Child<QSpinBox>(Dlg, "edMaxThreads");
        // A time-out of 0 would make every probe fail.
        Timeout->setValue(0);
        EXPECT_EQ(Timeout->value(), 1);
        Timeout->setValue(5000);
        EXPECT_EQ(Timeout->value(), 3000);
        Threads->setValue(0);
        EXPECT_EQ(Threads->value(), 1);
        Threads->setValue(999);
        EXPECT_EQ(Threads->value(), 250);

        auto* Port = Child<QLineEdit>(Dlg, "edTcpPort");
        Child<QRadioButton>(Dlg, "rbTCPConnect")->setChecked(true);
        EXPECT_TRUE(Port->isEnabled());
        Child<QRadioButton>(Dlg, "rbPing")->setChecked(true);
        EXPECT_FALSE(Port->isEnabled());
        Child<QRadioButton>(Dlg, "rbDontCheck")->setChecked(true);
        EXPECT_FALSE(Port->isEnabled());

        auto* Fallback = Child<QCheckBox>(Dlg, "cbGetDomainNameIfNetBiosFailed");
        Child<QRadioButton>(Dlg, "rbNoName")->setChecked(true);
        EXPECT_FALSE(Fallback->isEnabled());
        Child<QRadioButton>(Dlg, "rbGetNetbiosName")->setChecked(true);
        EXPECT_TRUE(Fallback->isEnabled());
        return mrOk;
    });
    EXPECT_EQ(DefaultTimeout, 3000);
    EXPECT_EQ(iMaxThreads, 250);
    EXPECT_EQ(DefaultCheckState, -1);
    EXPECT_TRUE(bGetNetbiosName);
    EXPECT_FALSE(bNoName);
}

} // namespace
