#include "engine/NetUtil.h"

#include <gtest/gtest.h>

TEST(IPv4Text, FollowsTheSocketLibrarysRules)
{
    EXPECT_TRUE(IsIPAddress("192.168.1.1"));
    EXPECT_TRUE(IsIPAddress("10.1"));   // shorthand: 10.0.0.1
    EXPECT_TRUE(IsIPAddress("0x0a.1")); // hexadecimal parts
    EXPECT_FALSE(IsIPAddress("255.255.255.255"));
    EXPECT_FALSE(IsIPAddress(""));
    EXPECT_FALSE(IsIPAddress("10.0.0.256"));
    EXPECT_FALSE(IsIPAddress("pc1"));
    uint32_t v = 0;
    ASSERT_TRUE(IPToHostOrder("10.1", v));
    EXPECT_EQ(v, 0x0A000001u);
    EXPECT_EQ(HostOrderToIP(0xC0A80105u), "192.168.1.5");
}

TEST(IPv4Text, ComparesAsUnsignedHostOrderNumbers)
{
    EXPECT_EQ(CompareIP("10.0.0.2", "9.255.255.255"), 1);
    EXPECT_EQ(CompareIP("10.0.0.9", "10.0.0.10"), -1);
    EXPECT_EQ(CompareIP("200.0.0.1", "100.0.0.1"), 1); // above 2^31
    EXPECT_EQ(CompareIP("10.1", "10.0.0.1"), 0);
}

TEST(IPv4Text, SubnetRange)
{
    std::string a, b;
    ASSERT_TRUE(CalcIPRange("192.168.1.77", "255.255.255.0", a, b));
    EXPECT_EQ(a, "192.168.1.1");
    EXPECT_EQ(b, "192.168.1.254");

    ASSERT_TRUE(CalcIPRange("10.20.30.40", "255.255.255.255", a, b));
    EXPECT_EQ(a, "10.20.30.41");
    EXPECT_EQ(b, "10.20.30.39");

    a = b = "stale";
    EXPECT_FALSE(CalcIPRange("192.168.1.77", "", a, b));
    EXPECT_EQ(a, "");
    EXPECT_EQ(b, "");
    EXPECT_FALSE(CalcIPRange("", "255.0.0.0", a, b));
    EXPECT_FALSE(CalcIPRange("nonsense", "255.0.0.0", a, b));
}
