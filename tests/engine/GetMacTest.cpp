// MAC texts and the inputs that the ARP method refuses before any traffic.
#include "engine/uGetMac.h"
#include "engine/uResolveIpNetEntry2.h"

#include <gtest/gtest.h>

TEST(MacText, LowerCaseTwoDigitGroupsJoinedByDashes)
{
    const uint8_t a[6] = {0x00, 0x0a, 0xBC, 0xff, 0x01, 0x10};
    EXPECT_EQ(MacBytesToText(a), "00-0a-bc-ff-01-10");
    const uint8_t z[6] = {};
    EXPECT_EQ(MacBytesToText(z), "00-00-00-00-00-00");
}

TEST(ArpInputs, RefusedTextsAndLoopbackGiveAnEmptyMac)
{
    for (const char* ip : {"", "not an address", "10.0.0.1/24", "255.255.255.255", "127.0.0.1",
                           "127.9.9.9", "::1"}) {
        std::string mac = "left from before";
        GetMacByArp(ip, mac);
        EXPECT_EQ(mac, "") << '"' << ip << '"';
        mac = "left from before";
        GetMacByResolveIpNetEntry2(ip, mac);
        EXPECT_EQ(mac, "") << '"' << ip << '"';
        mac = "left from before";
        GetMacBySendArp(ip, mac);
        EXPECT_EQ(mac, "") << '"' << ip << '"';
    }
}
