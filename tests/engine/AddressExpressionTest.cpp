#include "engine/NetUtil.h"
#include "engine/uAddressExpressionOperations.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> Walk(const std::string& Expression)
{
    std::vector<std::string> out;
    const uint64_t n = GetExpressionCount(Expression);
    for (uint64_t i = 0; i < n; ++i)
        out.push_back(HostOrderToIP(GetExpressionItem(Expression, i)));
    return out;
}

using Addrs = std::vector<std::string>;

struct WalkCase {
    const char* expression;
    Addrs addresses;
};

void ExpectWalks(const std::vector<WalkCase>& cases)
{
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string("expression \"") + c.expression + "\"");
        EXPECT_EQ(GetExpressionCount(c.expression), c.addresses.size());
        EXPECT_EQ(Walk(c.expression), c.addresses);
    }
}

} // namespace

TEST(AddressExpression, ItemsAndRangesInTheOrderWritten)
{
    ExpectWalks({
        {"10.0.0.1-3", {"10.0.0.1", "10.0.0.2", "10.0.0.3"}},
        {"10.0-1.5.1,9", {"10.0.5.1", "10.0.5.9", "10.1.5.1", "10.1.5.9"}},
        {"192.168.1,3.1-2", {"192.168.1.1", "192.168.1.2", "192.168.3.1", "192.168.3.2"}},
        // Repeats are kept, in the order written.
        {"10.0.0.1-3,2", {"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.2"}},
        {"10.0.0.5,5", {"10.0.0.5", "10.0.0.5"}},
        // First part varies slowest.
        {"1-2.3-4.5.6", {"1.3.5.6", "1.4.5.6", "2.3.5.6", "2.4.5.6"}},
    });
}

TEST(AddressExpression, ValuesAtTheLimits)
{
    ExpectWalks({
        {"10.0.0.9-3", {"10.0.0.9"}}, // a stop below the start is the start alone
        {"10.0.0.3-1", {"10.0.0.3"}},
        {"10.0.0.0-0", {"10.0.0.0"}},
        {"255.255.255.255", {"255.255.255.255"}},
        {"0.0.0.0", {"0.0.0.0"}},
        {"10.0.0.254-255", {"10.0.0.254", "10.0.0.255"}},
        {"10.0.0.007", {"10.0.0.7"}},
        // Out of 0..255 anywhere in an item drops the whole item.
        {"10.0.0.300", {}},
        {"10.0.0.250-256", {}},
        {"10.0.0.256-300", {}},
        {"10.0.0.5-99999999999999999999", {}},
        {"10.0.0.1,300,2", {"10.0.0.1", "10.0.0.2"}},
    });
}

TEST(AddressExpression, BlanksAreIgnoredEverywhere)
{
    ExpectWalks({
        {"10. 0 .0. 1 - 2", {"10.0.0.1", "10.0.0.2"}},
        {" 10.0.0.1 ", {"10.0.0.1"}},
        {"10.0.0.1 0", {"10.0.0.10"}}, // removing blanks joins the digits
        {"10.0.0.1\t,\t2", {"10.0.0.1", "10.0.0.2"}},
        {"10.0.0.1, 2 , ", {"10.0.0.1"}}, // the final comma, blanks aside, still ends the part
    });
}

TEST(AddressExpression, MalformedPiecesAreDroppedNotGuessed)
{
    ExpectWalks({
        {"10..0.1", {}},              // an empty part
        {"10.0.0", {}},               // a missing part
        {"10.0.0.", {}},              // an empty last part
        {"10.0.0.1.5", {"10.0.0.1"}}, // parts after the fourth are ignored
        {"10.0.0.a", {}},
        {"10.0.0.1,a,3", {"10.0.0.1", "10.0.0.3"}},
        {"10.0.0.1,,2", {"10.0.0.1", "10.0.0.2"}},
        {"10.0.0.-5", {}},              // no start
        {"10.0.0.1-", {"10.0.0.1"}},    // no stop: the start alone
        {"10.0.0.1-2-3", {"10.0.0.1"}}, // the stop "2-3" is no number
        // A final comma stays in the last piece: "2," is no number, and in
        // "1-5," the stop "5," is none, so the item shrinks to its start.
        {"10.0.0.1,2,", {"10.0.0.1"}},
        {"10.0.0.1-5,", {"10.0.0.1"}},
        {"10.0,.0.1", {}},
        {"", {}},
    });
}

TEST(AddressExpression, FullSpaceNeedsSixtyFourBitCounts)
{
    const std::string all = "0-255.0-255.0-255.0-255";
    ASSERT_EQ(GetExpressionCount(all), 4294967296ull);
    EXPECT_EQ(GetExpressionItem(all, 0), 0u);
    EXPECT_EQ(HostOrderToIP(GetExpressionItem(all, 4294967295ull)), "255.255.255.255");
    EXPECT_EQ(HostOrderToIP(GetExpressionItem(all, 2147483648ull)), "128.0.0.0");
    EXPECT_EQ(HostOrderToIP(GetExpressionItem(all, 4294967295ull - 256)), "255.255.254.255");
    EXPECT_THROW(GetExpressionItem(all, 4294967296ull), EExpressionError);

    // More than 2^32 through repeats: 2 * 2^32 addresses, the second copy
    // starting again at 0.0.0.0.
    const std::string twice = "0-255,0-255.0-255.0-255.0-255";
    ASSERT_EQ(GetExpressionCount(twice), 8589934592ull);
    EXPECT_EQ(GetExpressionItem(twice, 4294967296ull), 0u);
    EXPECT_EQ(HostOrderToIP(GetExpressionItem(twice, 8589934591ull)), "255.255.255.255");
}

TEST(AddressExpression, CountBeyondSixtyFourBitsIsAnError)
{
    // 256 copies of 0-255 in a part give 65536 values; four such parts give
    // 2^64 addresses, one more than a 64-bit count holds.
    std::string part = "0-255";
    for (int i = 1; i < 256; ++i)
        part += ",0-255";
    const std::string huge = part + "." + part + "." + part + "." + part;
    EXPECT_THROW(GetExpressionCount(huge), EExpressionError);
    EXPECT_THROW(GetExpressionItem(huge, 0), EExpressionError);

    const std::string big = part + "." + part + "." + part + ".0-255";
    EXPECT_EQ(GetExpressionCount(big), 1ull << 56);
    // An empty part makes the product 0 however large the others are.
    EXPECT_EQ(GetExpressionCount(part + "." + part + "." + part + ".300"), 0u);
}

TEST(AddressExpression, NoAddressToGiveIsAnError)
{
    EXPECT_THROW(GetExpressionItem("10.0.0.300", 0), EExpressionError);
    EXPECT_THROW(GetExpressionItem("", 0), EExpressionError);
    EXPECT_THROW(GetExpressionItem("10.0.0.1-3", 3), EExpressionError);
    try {
        GetExpressionItem("10.0.0.1-3", 7);
        FAIL() << "no error raised";
    } catch (const EExpressionError& e) {
        EXPECT_NE(std::string(e.what()).find("10.0.0.1-3"), std::string::npos) << e.what();
    }
}

TEST(AddressExpressionValidator, DotsLastCharacterAndAlphabet)
{
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {
        {"10.0.0.1", true},
        {"192.168.1,3.1-20,100", true},
        {"0-255.0-255.0-255.0-255", true},
        {"10.0.0.300", true}, // valid, yet no address
        {"10..0.1", true},    // valid, yet no address
        {"10. 0 .0. 1 - 2", true},
        {"10.0.0.1 ", true}, // trailing blanks do not count as the last character
        {"", false},
        {"   ", false},
        {"10.0.0.1,", false},
        {"10.0.0.1-", false},
        {"10.0.0.", false},
        {"10.0.0.1, ", false},
        {"10.0.0", false},     // two dots
        {"10.0.0.1.5", false}, // four dots
        {"a.b.c.d", false},
        {"10.0.0.x", false},
        {"10.0.0.1;2", false},
        {"+10.0.0.1", false},
        {"10.0.0.1\n", false},
        {"10.0.0.0x1", false},
        {"10.0.0.1/24", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsValidExpression(c.text), c.valid) << "\"" << c.text << "\"";
}

TEST(AddressExpressionParts, OctetRange)
{
    struct Case {
        const char* text;
        bool ok;
        int low, high;
    };
    const Case cases[] = {
        {"5", true, 5, 5},       {"3-1", true, 3, 3},      {"0-0", true, 0, 0},
        {"255", true, 255, 255}, {"0-255", true, 0, 255},  {"1-", true, 1, 1},
        {"1-x", true, 1, 1},     {"1-2-3", true, 1, 1},    {"256", false, 256, 256},
        {"", false, -1, -1},     {"-", false, -1, -1},     {"-5", false, -1, 5},
        {"x", false, -1, -1},    {"5-256", false, 5, 256},
    };
    for (const auto& c : cases) {
        int low = 99, high = 99;
        EXPECT_EQ(ParseOctetRange(c.text, low, high), c.ok) << "\"" << c.text << "\"";
        if (c.ok) {
            EXPECT_EQ(low, c.low) << "\"" << c.text << "\"";
            EXPECT_EQ(high, c.high) << "\"" << c.text << "\"";
        }
    }
}

TEST(AddressExpressionParts, OctetPartAndRangeLists)
{
    TOctetRangeList r{{7, 7}};
    ParseOctetPart("", r);
    EXPECT_TRUE(r.empty());
    ParseOctetPart("1-3,2", r);
    EXPECT_EQ(r, (TOctetRangeList{{1, 3}, {2, 2}}));
    ParseOctetPart("1,2,", r);
    EXPECT_EQ(r, (TOctetRangeList{{1, 1}}));
    ParseOctetPart(",", r);
    EXPECT_TRUE(r.empty());
    ParseOctetPart("9-3,x,0-255", r);
    EXPECT_EQ(r, (TOctetRangeList{{9, 9}, {0, 255}}));

    EXPECT_EQ(GetRangeListCount(r), 257u);
    EXPECT_EQ(GetRangeListValue(r, 0), 9);
    EXPECT_EQ(GetRangeListValue(r, 1), 0);
    EXPECT_EQ(GetRangeListValue(r, 256), 255);
    EXPECT_EQ(GetRangeListValue(r, 257), 0); // past the end
    EXPECT_EQ(GetRangeListCount({}), 0u);

    TExpressionParts parts;
    parts[3] = {{5, 5}};
    ParseExpression("10.0-1.5", parts);
    EXPECT_EQ(parts[0], (TOctetRangeList{{10, 10}}));
    EXPECT_EQ(parts[1], (TOctetRangeList{{0, 1}}));
    EXPECT_EQ(parts[2], (TOctetRangeList{{5, 5}}));
    EXPECT_TRUE(parts[3].empty()); // a missing part is emptied, not left over

    ParseExpression("192.168.1,3.1-20,100", parts);
    EXPECT_EQ(HostOrderToIP(MakeExpressionAddress(parts, 0, 0, 1, 20)), "192.168.3.100");
    EXPECT_EQ(HostOrderToIP(MakeExpressionAddress(parts, 0, 0, 0, 19)), "192.168.1.20");
}

TEST(AddressExpressionFromRange, OctetByOctet)
{
    EXPECT_EQ(RangeToExpression("192.168.1.10", "192.168.2.20"), "192.168.1-2.10-20");
    EXPECT_EQ(RangeToExpression("10.0.0.1", "10.0.0.254"), "10.0.0.1-254");
    EXPECT_EQ(RangeToExpression("10.0.0.1", "10.0.0.1"), "10.0.0.1");
    EXPECT_EQ(RangeToExpression("anything", "anything"), "anything");
    // Kept as the pieces are: a start above the stop gives an item that
    // names only its start.
    EXPECT_EQ(RangeToExpression("10.0.0.9", "10.0.0.3"), "10.0.0.9-3");
    EXPECT_EQ(GetExpressionCount(RangeToExpression("10.0.0.9", "10.0.0.3")), 1u);
    EXPECT_EQ(RangeToExpression("10.1", "10.2"), "");
    EXPECT_EQ(RangeToExpression("10.0.0.1", ""), "");
    EXPECT_EQ(RangeToExpression("1.2.3.4.5", "1.2.3.4"), "");
    // Pieces are compared as text, not as numbers.
    EXPECT_EQ(RangeToExpression("10.0.0.1", "10.00.0.2"), "10.0-00.0.1-2");
}
