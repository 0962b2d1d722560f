// The MAC address manufacturer lookup against the vendors.db beside the test
// program, as the program has it beside itself.
#include "app/uDlgLookupMACAddress.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "settings/uProgramOptions.h"

#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTest>
#include <QToolButton>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

using namespace guitest;

class LookupMACGui : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        OldUnknown = sUnknownManufacturer;
        OldInvalid = sMACAddressInvalid;
        sUnknownManufacturer = "Unknown manufacturer";
        sMACAddressInvalid = "The MAC address %s is invalid.";
        OldSink = SetMessageSink([this](const TMessageBoxCall& Call) {
            Messages.push_back(Call.Text);
            return mrOk;
        });
    }
    void TearDown() override
    {
        SetMessageSink(std::move(OldSink));
        sUnknownManufacturer = OldUnknown;
        sMACAddressInvalid = OldInvalid;
    }

    static std::string Text(QDialog& Dlg, const char* Name)
    {
        return FromQ(Child<QLineEdit>(Dlg, Name)->text());
    }
    static void LookUp(QDialog& Dlg, const std::string& Typed)
    {
        Child<QLineEdit>(Dlg, "edMAcAddress")->setText(ToQ(Typed));
        Child<QPushButton>(Dlg, "btnLookup")->click();
    }

    std::vector<std::string> Messages;
    TMessageSink OldSink;
    std::string OldUnknown, OldInvalid;
};

TEST_F(LookupMACGui, OnlySixTwoDigitGroupsAreLookedUp)
{
    const std::vector<std::string> None;
    TDlgLookupMACAddress Dlg(nullptr, "", &None);
    // Upper case with colons: lower-cased, dashed and found (a 36-bit block
    // inside the registration authority's own 24-bit one names its holder).
    LookUp(Dlg, "00:50:C2:7D:51:23");
    EXPECT_EQ(Text(Dlg, "edMAnufacturer"), "DEUTA-WERKE GmbH");
    LookUp(Dlg, "08:00:30:00:00:01");
    EXPECT_FALSE(Text(Dlg, "edMAnufacturer").empty());
    EXPECT_NE(Text(Dlg, "edMAnufacturer"), "Unknown manufacturer");
    EXPECT_TRUE(Messages.empty());

    for (const char* Bad : {"AABBCCDDEEFF", "aa-bb-cc-dd-ee", "aa-bb-cc-dd-ee-ff-00",
                            "aa-bb-cc-dd-ee-fg", "aa.bb.cc.dd.ee.ff", "aabb-ccdd-eeff-"}) {
        Messages.clear();
        Child<QLineEdit>(Dlg, "edMAnufacturer")->setText("stale");
        LookUp(Dlg, Bad);
        std::string Lower = Bad;
        for (char& C : Lower)
            C = static_cast<char>(std::tolower(static_cast<unsigned char>(C)));
        ASSERT_EQ(Messages.size(), 1u) << Bad;
        EXPECT_EQ(Messages[0], "The MAC address " + Lower + " is invalid.");
        EXPECT_EQ(Text(Dlg, "edMAnufacturer"), "stale") << Bad;
    }
    // Nothing typed: nothing happens.
    Messages.clear();
    LookUp(Dlg, "");
    EXPECT_TRUE(Messages.empty());
}

TEST_F(LookupMACGui, UnknownVendorSaysSoOnLookupButNotFromTheMenu)
{
    // No block holds the locally administered range 02-...
    const std::vector<std::string> List{"02-00-00-00-00-01"};
    TDlgLookupMACAddress Dlg(nullptr, "", &List);
    EXPECT_EQ(Text(Dlg, "edMAcAddress"), "02-00-00-00-00-01");
    EXPECT_EQ(Text(Dlg, "edMAnufacturer"), "");
    Child<QPushButton>(Dlg, "btnLookup")->click();
    EXPECT_EQ(Text(Dlg, "edMAnufacturer"), "Unknown manufacturer");
    Dlg.AddressMenu()->actions().at(0)->trigger();
    EXPECT_EQ(Text(Dlg, "edMAnufacturer"), "");
    // Typing clears the manufacturer.
    Child<QPushButton>(Dlg, "btnLookup")->click();
    Dlg.show();
    Child<QLineEdit>(Dlg, "edMAcAddress")->setFocus();
    QTest::keyClick(Child<QLineEdit>(Dlg, "edMAcAddress"), Qt::Key_Backspace);
    EXPECT_EQ(Text(Dlg, "edMAnufacturer"), "");
    SaveScreenshot(Dlg, "LookupMAC-unknown");
}

TEST_F(LookupMACGui, TheMenuOffersEachRealAddressOnce)
{
    const std::vector<std::string> List{"00-50-C2-7D-51-23", "", "00-00-00-00-00-00",
                                        "00-50-C2-7D-51-23", "08-00-30-00-00-01"};
    TDlgLookupMACAddress Dlg(nullptr, "", &List);
    EXPECT_EQ(Dlg.Offered(), (std::vector<std::string>{"00-50-C2-7D-51-23", "08-00-30-00-00-01"}));
    ASSERT_EQ(Dlg.AddressMenu()->actions().size(), 2);
    EXPECT_EQ(FromQ(Dlg.AddressMenu()->actions().at(1)->text()), "08-00-30-00-00-01");
    // The first offer stands in for an empty start, with its vendor.
    EXPECT_EQ(Text(Dlg, "edMAcAddress"), "00-50-C2-7D-51-23");
    EXPECT_EQ(Text(Dlg, "edMAnufacturer"), "DEUTA-WERKE GmbH");
    Dlg.AddressMenu()->actions().at(1)->trigger();
    EXPECT_EQ(Text(Dlg, "edMAcAddress"), "08-00-30-00-00-01");
    EXPECT_FALSE(Text(Dlg, "edMAnufacturer").empty());
    Dlg.AddressMenu()->actions().at(0)->trigger();
    Dlg.show();
    SaveScreenshot(Dlg, "LookupMAC-found");
}

TEST_F(LookupMACGui, NothingOfferedLeavesTheStartText)
{
    const std::vector<std::string> List{"00-00-00-00-00-00"};
    TDlgLookupMACAddress Dlg(nullptr, "0a-0b", &List);
    ASSERT_EQ(Dlg.AddressMenu()->actions().size(), 1);
    Child<QLineEdit>(Dlg, "edMAcAddress")->setText("something else");
    Dlg.AddressMenu()->actions().at(0)->trigger();
    EXPECT_EQ(Text(Dlg, "edMAcAddress"), "0a-0b");
}

TEST_F(LookupMACGui, CloseAcceptsTheModalDialog)
{
    const std::vector<std::string> None;
    int Shown = 0;
    {
        ModalDriver D([&](QDialog& Dlg) {
            ++Shown;
            EXPECT_EQ(FromQ(Child<QLineEdit>(Dlg, "edMAcAddress")->text()), "00-50-C2-7D-51-23");
            Child<QPushButton>(Dlg, "btnClose")->click();
            return Dlg.result() == QDialog::Accepted ? mrOk : 0;
        });
        EXPECT_TRUE(ShowLookupMACAddress("00-50-C2-7D-51-23", &None));
    }
    EXPECT_EQ(Shown, 1);
}

// Run by the next case in a copy of this program in a folder without
// vendors.db: every lookup says why in a message and the dialog goes on.
TEST_F(LookupMACGui, WithoutDatabaseChild)
{
    if (!std::getenv("TOLVEX_LOOKUP_WITHOUT_DB"))
        GTEST_SKIP() << "run by WithoutDatabaseEveryLookupIsAMessage";
    ASSERT_FALSE(std::filesystem::exists(
        std::filesystem::read_symlink("/proc/self/exe").parent_path() / "vendors.db"));
    const std::vector<std::string> List{"00-50-C2-7D-51-23"};
    TDlgLookupMACAddress Dlg(nullptr, "", &List);
    EXPECT_EQ(Messages.size(), 1u);
    Dlg.AddressMenu()->actions().at(0)->trigger();
    EXPECT_EQ(Messages.size(), 2u);
    Child<QPushButton>(Dlg, "btnLookup")->click();
    EXPECT_EQ(Messages.size(), 3u);
    for (const std::string& M : Messages)
        EXPECT_NE(M.find("vendors.db"), std::string::npos) << M;
    EXPECT_EQ(Text(Dlg, "edMAnufacturer"), "");
}

TEST(LookupMACGuiProcess, WithoutDatabaseEveryLookupIsAMessage)
{
    namespace fs = std::filesystem;
    const fs::path Dir = fs::temp_directory_path() / ("tolvex-nodb-" + std::to_string(::getpid()));
    fs::create_directories(Dir);
    fs::copy_file("/proc/self/exe", Dir / "app_gui_tests", fs::copy_options::overwrite_existing);
    const std::string Cmd = "TOLVEX_LOOKUP_WITHOUT_DB=1 QT_QPA_PLATFORM=offscreen '" +
                            (Dir / "app_gui_tests").string() +
                            "' --gtest_filter=LookupMACGui.WithoutDatabaseChild >'" +
                            (Dir / "out.txt").string() + "' 2>&1";
    const int Rc = std::system(Cmd.c_str());
    std::ifstream In(Dir / "out.txt");
    const std::string Out((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
    fs::remove_all(Dir);
    EXPECT_EQ(Rc, 0) << Out;
    EXPECT_NE(Out.find("[  PASSED  ] 1 test"), std::string::npos) << Out;
}

} // namespace
