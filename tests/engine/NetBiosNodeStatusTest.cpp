#include "engine/NetBiosNodeStatus.h"
#include "engine/NetUtil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct Entry {
    std::string Name; // up to 15 bytes, blank-padded here
    uint8_t Suffix;
    uint8_t Flags;
};

constexpr uint8_t GroupActive = 0x84;
constexpr uint8_t UniqueActive = 0x04;
const std::vector<uint8_t> SampleMac = {0x00, 0x1c, 0x42, 0xab, 0xcd, 0xef};

// A node-status answer as a NetBIOS node sends it: header, answer record for
// the "*" name, the name table, the MAC and the statistics block.
std::vector<uint8_t> BuildReply(const std::vector<Entry>& entries, int declared = -1)
{
    std::vector<uint8_t> r = {0x80, 0xBE, 0x84, 0x00, 0x00, 0x00,
                              0x00, 0x01, 0x00, 0x00, 0x00, 0x00};
    r.push_back(0x20);
    r.push_back('C');
    r.push_back('K');
    for (int i = 0; i < 30; ++i)
        r.push_back('A');
    r.push_back(0x00);
    r.insert(r.end(), {0x00, 0x21, 0x00, 0x01, 0, 0, 0, 0});
    const std::size_t rdlength = 1 + entries.size() * 18 + 6 + 40;
    r.push_back(static_cast<uint8_t>(rdlength >> 8));
    r.push_back(static_cast<uint8_t>(rdlength));
    r.push_back(static_cast<uint8_t>(declared < 0 ? entries.size() : declared));
    for (const Entry& e : entries) {
        std::string name = e.Name;
        name.resize(15, ' ');
        r.insert(r.end(), name.begin(), name.end());
        r.push_back(e.Suffix);
        r.push_back(e.Flags);
        r.push_back(0x00);
    }
    r.insert(r.end(), SampleMac.begin(), SampleMac.end());
    r.insert(r.end(), 40, 0x00);
    return r;
}

std::string NameOf(const std::vector<uint8_t>& reply)
{
    std::string name = "stale";
    ParseNetBiosNameReply(reply, name);
    return name;
}

const std::vector<Entry> GroupThenWorkstation = {
    {"WORKGROUP", 0x00, GroupActive},
    {"PC-ALPHA", 0x00, UniqueActive},
    {"PC-ALPHA", 0x20, UniqueActive},
    {"WORKGROUP", 0x1E, GroupActive},
};

} // namespace

TEST(NetBiosRequest, IsTheNodeStatusQueryForStar)
{
    // Built independently: header, then "*" padded with zeros to 16 bytes in
    // first-level encoding (each half byte becomes 'A' + its value).
    std::vector<uint8_t> expected = {0x80, 0xBE, 0x00, 0x00, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 0x20};
    uint8_t name[16] = {'*'};
    for (uint8_t b : name) {
        expected.push_back(static_cast<uint8_t>('A' + (b >> 4)));
        expected.push_back(static_cast<uint8_t>('A' + (b & 0x0F)));
    }
    expected.insert(expected.end(), {0x00, 0x00, 0x21, 0x00, 0x01});
    ASSERT_EQ(expected.size(), 50u);
    EXPECT_EQ(
        std::vector<uint8_t>(NetBiosNodeStatusRequest.begin(), NetBiosNodeStatusRequest.end()),
        expected);
    EXPECT_EQ(NetBiosNodeStatusRequest[13], 'C');
    EXPECT_EQ(NetBiosNodeStatusRequest[14], 'K');
}

TEST(NetBiosName, WorkstationNameAfterGroupName)
{
    EXPECT_EQ(NameOf(BuildReply(GroupThenWorkstation)), "PC-ALPHA");
}

TEST(NetBiosName, PassesOverWhatIsNotTheComputerName)
{
    // "~" names (such as the ones of an installer service), other suffixes,
    // group names, and names with conflict or permanent bits are skipped.
    EXPECT_EQ(NameOf(BuildReply({{"IS~PC-ALPHA", 0x00, UniqueActive},
                                 {"PC-ALPHA", 0x03, UniqueActive},
                                 {"PC-CONFLICT", 0x00, 0x0C},
                                 {"PC-PERMANENT", 0x00, 0x06},
                                 {"PC-INACTIVE", 0x00, 0x00},
                                 {"WORKGROUP", 0x00, 0xE4},
                                 {"PC-HNODE", 0x01, 0x64}})),
              "PC-HNODE");
    // Every node type counts: B, P, M and H.
    for (uint8_t flags : {0x04, 0x24, 0x44, 0x64})
        EXPECT_EQ(NameOf(BuildReply({{"NODE", 0x00, flags}})), "NODE") << int(flags);
    EXPECT_EQ(NameOf(BuildReply({{"WORKGROUP", 0x00, GroupActive}})), "");
    EXPECT_EQ(NameOf(BuildReply({})), "");
}

TEST(NetBiosName, TrimsAndDecodesTheOemName)
{
    // Up to the first zero byte, trimmed of blanks and control characters,
    // then CP850: 0x84 is a-umlaut, 0x9A U-umlaut.
    EXPECT_EQ(NameOf(BuildReply({{std::string("\x01 M\x84RZ\x9A\x02", 8), 0x00, UniqueActive}})),
              "M\xC3\xA4RZ\xC3\x9C");
    EXPECT_EQ(NameOf(BuildReply({{std::string("AB\0CD", 5), 0x00, UniqueActive}})), "AB");
}

TEST(NetBiosName, EveryTruncationGivesTheNameOnlyWhenItsEntryArrived)
{
    const std::vector<uint8_t> full = BuildReply(GroupThenWorkstation);
    const std::size_t workstationEnd = NetBiosNameTableOffset + 2 * NetBiosNameEntrySize;
    const std::size_t macEnd = NetBiosNameTableOffset + 4 * NetBiosNameEntrySize + 6;
    for (std::size_t len = 0; len <= full.size(); ++len) {
        const std::vector<uint8_t> cut(full.begin(), full.begin() + len);
        EXPECT_EQ(NameOf(cut), len >= workstationEnd ? "PC-ALPHA" : "") << "length " << len;
        TNetBiosNodeStatus status;
        const bool ok = ParseNetBiosNodeStatus(cut, status);
        EXPECT_EQ(ok, len > NetBiosNameCountOffset) << "length " << len;
        EXPECT_EQ(status.HasMac, len >= macEnd) << "length " << len;
        EXPECT_LE(NetBiosNameTableOffset + status.Names.size() * NetBiosNameEntrySize,
                  std::max(len, NetBiosNameTableOffset));
    }
}

TEST(NetBiosName, CountLargerThanTheBytes)
{
    // The reply claims 200 names but carries two: the two are read, nothing
    // beyond the received bytes, and there is no MAC.
    std::vector<uint8_t> reply =
        BuildReply({{"WORKGROUP", 0x00, GroupActive}, {"PC-BETA", 0x00, UniqueActive}}, 200);
    EXPECT_EQ(NameOf(reply), "PC-BETA");
    TNetBiosNodeStatus status;
    ASSERT_TRUE(ParseNetBiosNodeStatus(reply, status));
    EXPECT_EQ(status.DeclaredNames, 200u);
    EXPECT_EQ(status.Names.size(), (reply.size() - NetBiosNameTableOffset) / NetBiosNameEntrySize);
    EXPECT_FALSE(status.HasMac);

    // A full receive buffer with the largest count still stays in bounds.
    std::vector<uint8_t> big = BuildReply({}, 255);
    big.resize(NetBiosReceiveSize, 'Z');
    ASSERT_TRUE(ParseNetBiosNodeStatus(big, status));
    EXPECT_EQ(status.Names.size(),
              (NetBiosReceiveSize - NetBiosNameTableOffset) / NetBiosNameEntrySize);
    EXPECT_FALSE(status.HasMac);
}

TEST(NetBiosName, ReplyWhoseFieldsLieIsNotRead)
{
    const std::vector<uint8_t> good = BuildReply(GroupThenWorkstation);
    ASSERT_EQ(NameOf(good), "PC-ALPHA");
    struct Lie {
        const char* What;
        std::size_t At;
        uint8_t Value;
    };
    const Lie lies[] = {
        {"other transaction id", 1, 0xBF},
        {"other transaction id", 0, 0x00},
        {"response bit clear", 2, 0x04},
        {"opcode not query", 2, 0x84 | (5 << 3)},
        {"error code", 3, 0x03},
        {"no answer", 7, 0x00},
        {"name length", 12, 0x21},
        {"compressed name", 12, 0xC0},
        {"name byte out of encoding", 20, 'Q'},
        {"name not ended", 45, 'A'},
        {"type NB", 47, 0x20},
        {"type high byte", 46, 0x01},
        {"class", 49, 0x02},
    };
    for (const Lie& lie : lies) {
        std::vector<uint8_t> bad = good;
        bad[lie.At] = lie.Value;
        EXPECT_EQ(NameOf(bad), "") << lie.What;
        EXPECT_FALSE(IsNetBiosNodeStatusReply(bad.data(), bad.size())) << lie.What;
    }
    // Our own request coming back is no answer.
    std::vector<uint8_t> echo(NetBiosNodeStatusRequest.begin(), NetBiosNodeStatusRequest.end());
    echo.resize(120, 0);
    EXPECT_EQ(NameOf(echo), "");
}

TEST(NetBiosNodeStatus, MacFollowsTheNameTable)
{
    TNetBiosNodeStatus status;
    ASSERT_TRUE(ParseNetBiosNodeStatus(BuildReply(GroupThenWorkstation), status));
    ASSERT_EQ(status.Names.size(), 4u);
    EXPECT_EQ(status.Names[1].Suffix, 0x00);
    EXPECT_EQ(status.Names[1].Flags, UniqueActive);
    EXPECT_EQ(NetBiosEntryName(status.Names[3]), "WORKGROUP");
    ASSERT_TRUE(status.HasMac);
    EXPECT_EQ(std::vector<uint8_t>(status.Mac.begin(), status.Mac.end()), SampleMac);

    // With no names the MAC is bytes 57-62.
    std::vector<uint8_t> empty = BuildReply({});
    ASSERT_TRUE(ParseNetBiosNodeStatus(empty, status));
    ASSERT_TRUE(status.HasMac);
    EXPECT_EQ(std::vector<uint8_t>(empty.begin() + 57, empty.begin() + 63), SampleMac);
    EXPECT_EQ(std::vector<uint8_t>(status.Mac.begin(), status.Mac.end()), SampleMac);
}

TEST(OemText, MatchesPythonsCodePage850)
{
    FILE* p = ::popen("/usr/bin/python3 -c \"import sys; sys.stdout.buffer.write("
                      "bytes(range(32, 256)).decode('cp850').encode('utf-8'))\"",
                      "r");
    ASSERT_NE(p, nullptr);
    std::string oracle;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0)
        oracle.append(buf, n);
    ASSERT_EQ(::pclose(p), 0);
    std::string all;
    for (int b = 32; b < 256; ++b)
        all += static_cast<char>(b);
    EXPECT_EQ(OemToUtf8(all), oracle);
}
