// The address list's edit dialog: OK only with a name, a value only when the
// text changed, and the browse button only with something to browse.
#include "app/udlgAddressComputerEdit.h"
#include "forms/Actions.h"
#include "forms/Dialogs.h"
#include "settings/uProgramOptions.h"

#include <QLineEdit>
#include <QPushButton>
#include <QToolButton>

#include "tests/forms/GuiTestApp.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

using namespace guitest;

class BrowserScope {
public:
    explicit BrowserScope(TComputerBrowser B) { FOld = SetComputerBrowser(std::move(B)); }
    ~BrowserScope() { SetComputerBrowser(FOld); }

private:
    TComputerBrowser FOld;
};

TdlgAddressComputerEdit& Edit(QDialog& Dlg)
{
    return static_cast<TdlgAddressComputerEdit&>(Dlg);
}

// Types Text, presses OK through its action and reports the modal result.
TModalDriver TypeAndOk(const std::string& Text, std::string* Title = nullptr)
{
    return [=](QDialog& Dlg) {
        if (Title) {
            *Title = Dlg.windowTitle().toStdString();
            Dlg.show();
            EXPECT_TRUE(SaveScreenshot(Dlg, "AddressComputerEdit"));
        }
        Child<QLineEdit>(Dlg, "edName")->setText(QString::fromStdString(Text));
        Edit(Dlg).actAdd()->Execute();
        return Dlg.result() == QDialog::Accepted ? mrOk : mrCancel;
    };
}

TEST(AddressComputerEditGui, AddGivesTheTrimmedNameAndRefusesAnEmptyOne)
{
    App();
    std::string Address, Title;
    {
        ModalDriver D(TypeAndOk("  pc7 ", &Title));
        EXPECT_TRUE(EditAddressComputer(Address));
    }
    EXPECT_EQ(Address, "pc7");
    EXPECT_EQ(Title, "sAddressComputerAddTitle"); // no language loaded: the key

    std::vector<bool> Enabled;
    Address.clear();
    {
        ModalDriver D([&](QDialog& Dlg) {
            auto* Ok = Child<QPushButton>(Dlg, "btnOK");
            Edit(Dlg).actAdd()->Update();
            Enabled.push_back(Ok->isEnabled());
            Child<QLineEdit>(Dlg, "edName")->setText("   ");
            Edit(Dlg).actAdd()->Update();
            Enabled.push_back(Ok->isEnabled());
            Edit(Dlg).actAdd()->Execute();
            return Dlg.result() == QDialog::Accepted ? mrOk : mrCancel;
        });
        EXPECT_FALSE(EditAddressComputer(Address));
    }
    EXPECT_EQ(Enabled, (std::vector<bool>{false, false}));
    EXPECT_EQ(Address, "");
}

TEST(AddressComputerEditGui, EditReturnsTrueOnlyForAChangedText)
{
    App();
    std::string Address = "10.0.0.5", Title, Offered;
    {
        ModalDriver D([&](QDialog& Dlg) {
            Title = Dlg.windowTitle().toStdString();
            Offered = Child<QLineEdit>(Dlg, "edName")->text().toStdString();
            Edit(Dlg).actAdd()->Execute();
            return Dlg.result() == QDialog::Accepted ? mrOk : mrCancel;
        });
        EXPECT_FALSE(EditAddressComputer(Address));
    }
    EXPECT_EQ(Offered, "10.0.0.5");
    EXPECT_EQ(Title, "sAddressComputerEditTitle");
    EXPECT_EQ(Address, "10.0.0.5");
    {
        ModalDriver D(TypeAndOk("10.0.0.6"));
        EXPECT_TRUE(EditAddressComputer(Address));
    }
    EXPECT_EQ(Address, "10.0.0.6");
    {
        ModalDriver D([](QDialog& Dlg) {
            Child<QLineEdit>(Dlg, "edName")->setText("other");
            return mrCancel;
        });
        EXPECT_FALSE(EditAddressComputer(Address));
    }
    EXPECT_EQ(Address, "10.0.0.6");
}

TEST(AddressComputerEditGui, AnEmptyNameThatReachesOkShowsTheErrorAndStaysOpen)
{
    App();
    std::vector<TMessageBoxCall> Calls;
    TMessageSink Old = SetMessageSink([&](const TMessageBoxCall& C) {
        Calls.push_back(C);
        return mrOk;
    });
    TdlgAddressComputerEdit Dlg(nullptr);
    Dlg.actAdd()->OnExecute();
    SetMessageSink(Old);
    ASSERT_EQ(Calls.size(), 1u);
    EXPECT_EQ(Calls[0].Text, sEnterValidCompName);
    EXPECT_EQ(Calls[0].Caption, sError);
    EXPECT_EQ(Calls[0].Icon, TMsgIcon::Error);
    EXPECT_NE(Dlg.result(), QDialog::Accepted);
}

TEST(AddressComputerEditGui, BrowseButtonOnlyWithABrowserAndNoChoiceKeepsTheName)
{
    App();
    {
        // The computer picker by default (not clicked here: it would browse
        // the real network).
        TdlgAddressComputerEdit Dlg(nullptr);
        EXPECT_FALSE(Child<QToolButton>(Dlg, "btnBrowse")->isHidden());
    }
    {
        BrowserScope None({});
        TdlgAddressComputerEdit Dlg(nullptr);
        EXPECT_TRUE(Child<QToolButton>(Dlg, "btnBrowse")->isHidden());
    }
    bool Choose = false;
    QWidget* SeenOwner = nullptr;
    BrowserScope B([&](QWidget* Owner, std::string& Name) {
        SeenOwner = Owner;
        if (Choose)
            Name = "FILESERVER";
        return Choose;
    });
    TdlgAddressComputerEdit Dlg(nullptr);
    auto* Button = Child<QToolButton>(Dlg, "btnBrowse");
    EXPECT_FALSE(Button->isHidden());
    Dlg.SetName("pc1");
    Button->click();
    EXPECT_EQ(Dlg.Name(), "pc1");
    EXPECT_EQ(SeenOwner, &Dlg);
    Choose = true;
    Button->click();
    EXPECT_EQ(Dlg.Name(), "FILESERVER");
}

} // namespace
