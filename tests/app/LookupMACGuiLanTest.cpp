// The addresses the MAC lookup offers are this computer's adapters: each case
// runs inside a private network namespace with adapters of chosen addresses.
#include "app/uDlgLookupMACAddress.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"

#include <QLineEdit>
#include <QMenu>

#include "tests/forms/GuiTestApp.h"
#include "tests/lan/Lab.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace guitest;

// The menu's items and the address shown first, from the dialog the main
// window opens (no list of its own).
std::string OfferedMenu()
{
    App(); // in the namespace's own process, so no window outlives it
    SetMessageSink([](const TMessageBoxCall&) { return mrOk; });
    TDlgLookupMACAddress Dlg(nullptr, "", nullptr);
    std::string Items;
    for (QAction* A : Dlg.AddressMenu()->actions())
        Items += "[" + FromQ(A->text()) + "]";
    return Items + " " + FromQ(Dlg.findChild<QLineEdit*>("edMAcAddress")->text());
}

TEST(LookupMACGuiLan, TheMenuOffersTheAdaptersOfTheComputer)
{
    TVX_REQUIRE_LAN();
    lan::Lab Lab;
    lan::Host& One = Lab.AddHost("one");
    lan::Host& None = Lab.AddHost("none"); // loopback only
    lan::Host& Peer = Lab.AddHost("peer");
    Lab.Link(One, {"eth0", "02:aa:00:00:71:01", "10.71.0.7/24"}, Peer,
             {"p1", "02:00:00:00:71:02", "10.71.0.1/24"});
    Lab.Link(One, {"lan1", "0a:bc:de:f0:12:34", "10.72.0.7/24"}, Peer,
             {"p2", "02:00:00:00:72:02", "10.72.0.1/24"});

    lan::RunResult R = One.Run(OfferedMenu);
    ASSERT_TRUE(R.ok()) << R.Describe();
    // Upper case, "-" between the pairs; the loopback's zeros are no offer.
    EXPECT_EQ(R.value, "[02-AA-00-00-71-01][0A-BC-DE-F0-12-34] 02-AA-00-00-71-01");

    // Nothing to offer: the one item holds the (empty) start text.
    R = None.Run(OfferedMenu);
    ASSERT_TRUE(R.ok()) << R.Describe();
    EXPECT_EQ(R.value, "[] ");
}

} // namespace
