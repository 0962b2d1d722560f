// The local range from the computer's real adapters: each case runs inside a
// private network namespace that has just the adapters the test gave it.
#include "app/udlgDetectLocalIPRange.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "settings/uProgramOptions.h"

#include <QComboBox>

#include "tests/forms/GuiTestApp.h"
#include "tests/lan/Lab.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace guitest;

// Asks for the local range as the user's button does; the chooser, when it
// comes, takes item Pick. The answer: the result, the range, the items the
// chooser offered and the messages shown.
std::function<std::string()> AskForLocalRange(int Pick)
{
    return [Pick] {
        App(); // in the namespace's own process, so no window outlives it
        sFormatSelectIpRange = "%s (%s)";
        sErrorDetectIPRange = "no local range";
        std::string Offered, Messages;
        ModalDriver D([&](QDialog& Dlg) {
            auto* Combo = Child<QComboBox>(Dlg, "cmbIPAddressIndex");
            for (int I = 0; I < Combo->count(); ++I)
                Offered += "[" + FromQ(Combo->itemText(I)) + "]";
            Combo->setCurrentIndex(Pick);
            return mrOk;
        });
        SetMessageSink([&](const TMessageBoxCall& Call) {
            Messages += "<" + Call.Text + ">";
            return mrOk;
        });
        std::string Start, Stop;
        const bool Result = DetectLocalIPRange(Start, Stop, false);
        return std::string(Result ? "true " : "false ") + Start + "-" + Stop + " " + Offered +
               Messages;
    };
}

TEST(LocalRangeGuiLan, TheAdaptersOfTheComputerAreOffered)
{
    TVX_REQUIRE_LAN();
    lan::Lab Lab;
    lan::Host& One = Lab.AddHost("one");
    lan::Host& Two = Lab.AddHost("two");
    lan::Host& None = Lab.AddHost("none"); // loopback only
    lan::Host& Peer = Lab.AddHost("peer");
    Lab.Link(One, {"eth0", "02:00:00:00:61:01", "10.61.0.7/24"}, Peer,
             {"p1", "02:00:00:00:61:02", "10.61.0.1/24"});
    Lab.Link(Two, {"eth0", "02:00:00:00:62:01", "10.62.0.7/24"}, Peer,
             {"p2", "02:00:00:00:62:02", "10.62.0.1/24"});
    Lab.Link(Two, {"lan1", "02:00:00:00:63:01", "10.63.5.9/16"}, Peer,
             {"p3", "02:00:00:00:63:02", "10.63.0.1/16"});

    lan::RunResult R = One.Run(AskForLocalRange(0));
    ASSERT_TRUE(R.ok()) << R.Describe();
    EXPECT_EQ(R.value, "true 10.61.0.1-10.61.0.254 ");

    R = Two.Run(AskForLocalRange(1));
    ASSERT_TRUE(R.ok()) << R.Describe();
    EXPECT_EQ(R.value, "true 10.63.0.1-10.63.255.254 [10.62.0.7 (eth0)][10.63.5.9 (lan1)]");

    // An adapter taken down is no longer offered.
    Two.SetLinkUp("lan1", false);
    R = Two.Run(AskForLocalRange(0));
    ASSERT_TRUE(R.ok()) << R.Describe();
    EXPECT_EQ(R.value, "true 10.62.0.1-10.62.0.254 ");

    R = None.Run(AskForLocalRange(0));
    ASSERT_TRUE(R.ok()) << R.Describe();
    EXPECT_EQ(R.value, "false - <no local range>");
}

} // namespace
