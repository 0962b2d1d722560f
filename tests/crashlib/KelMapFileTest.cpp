// The map-file tables, their lookups and adding rules, the packed map data
// and the linker map texts, and the cache of module maps.
#include "crashlib/kelMapFile.h"
#include "crashlib/kelMapHooks.h"
#include "crashlib/kelStrings.h"
#include "crashlib/kelZip.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <new>
#include <sstream>
#include <string>
#include <unistd.h>

// The largest single allocation while WatchAllocations is set: readers of
// crafted data must refuse a lying count before they allocate for it.
namespace {
std::atomic<bool> WatchAllocations{false};
std::atomic<std::size_t> LargestAllocation{0};
} // namespace

// The replacements pair malloc with free; the compiler cannot see that.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t Size)
{
    if (WatchAllocations.load(std::memory_order_relaxed)) {
        std::size_t Seen = LargestAllocation.load(std::memory_order_relaxed);
        while (Size > Seen && !LargestAllocation.compare_exchange_weak(Seen, Size))
            ;
    }
    if (void* P = std::malloc(Size != 0 ? Size : 1))
        return P;
    throw std::bad_alloc();
}
void operator delete(void* P) noexcept
{
    std::free(P);
}
void operator delete(void* P, std::size_t) noexcept
{
    std::free(P);
}
// The nothrow forms are replaced too (std::stable_sort's buffer comes from
// them and goes back through operator delete): otherwise a sanitizer's own
// nothrow operator new would hand out what the replacement frees.
void* operator new(std::size_t Size, const std::nothrow_t&) noexcept
{
    try {
        return ::operator new(Size);
    } catch (...) {
        return nullptr;
    }
}
void operator delete(void* P, const std::nothrow_t&) noexcept
{
    std::free(P);
}
#pragma GCC diagnostic pop

namespace {

// A map with a code base of 0x1000 and code up to 0x2000.
TMapFile CodeMap()
{
    TMapFile M;
    M.CodeBase = 0x1000;
    M.DataBase = 0x8000;
    M.CodeEnd = 0x2000;
    return M;
}

std::string U8(const std::u16string& S)
{
    return WideToUtf8(S);
}

// ---------------------------------------------------------------------------

TEST(CrashlibMapFileTables, SegmentsLoseSourceExtensionsAndMergeWithTheirNeighbour)
{
    TMapFile M = CodeMap();
    M.AddMapSegment(mcCode, u"Unit1.PAS", 0x100, 0x1000, true);
    M.AddMapSegment(mcCode, u"Unit1.pas", 0x80, 0x1102, true); // starts within end + 2
    M.AddMapSegment(mcCode, u"Main.cpp", 0x40, 0x1200, true);
    M.AddMapSegment(mcCode, u"Main.cpp", 0x40, 0x1250, true); // a gap: a segment of its own
    M.AddMapSegment(mcData, u"Data.c", 0x10, 0x8000, true);
    M.AddMapSegment(mcCode, u"Keep.h", 0x10, 0x1300, true);
    ASSERT_EQ(M.Segments.size(), 5u);
    EXPECT_EQ(U8(M.FindSegment(mcCode, 0x1181).UnitName), "Unit1");
    EXPECT_EQ(M.FindSegment(mcCode, 0x1000).Length, 0x182u);
    EXPECT_FALSE(M.FindSegment(mcCode, 0x1182).Valid);
    EXPECT_EQ(U8(M.FindSegment(mcCode, 0x1260).UnitName), "Main");
    EXPECT_FALSE(M.FindSegment(mcCode, 0x1245).Valid);
    EXPECT_EQ(U8(M.FindSegment(mcData, 0x8001).UnitName), "Data");
    EXPECT_FALSE(M.FindSegment(mcCode, 0x8001).Valid); // the wrong class
    EXPECT_EQ(U8(M.FindSegment(mcCode, 0x1305).UnitName), "Keep.h");
    // Data first, then code, each by start.
    EXPECT_EQ(M.Segments.front().Class, mcData);
    for (std::size_t I = 2; I < M.Segments.size(); ++I)
        EXPECT_LT(M.Segments[I - 1].Start, M.Segments[I].Start);
}

TEST(CrashlibMapFileTables, PublicsFollowTheAddingRules)
{
    TMapFile M = CodeMap();
    M.AddMapSegment(mcCode, u"Unit1", 0x200, 0x1000, true);
    M.AddMapPublic(mcCode, u"@$xp$5TFoo", true, 0x10);            // compiler-made: skipped
    M.AddMapPublic(mcCode, u"Unit1.TFoo.Bar", true, 0x40);        // unit prefix cut
    M.AddMapPublic(mcCode, u"Unit1", true, 0x20);                 // the unit's own code
    M.AddMapPublic(mcCode, u"@Unit1@TFoo@Create$qv", true, 0x60); // unmangled
    M.AddMapPublic(mcCode, u"_ZN2ns6Widget5TwiceEv", true, 0x80); // C++ ABI name
    M.AddMapPublic(mcCode, u"@@Tail", true, 0x300);               // outside: segment stretched
    M.SortTables();
    ASSERT_EQ(M.Publics.size(), 5u);
    EXPECT_EQ(U8(M.FindPublic(0x1020).Name), "initialization");
    EXPECT_EQ(U8(M.FindPublic(0x1045).Name), "TFoo.Bar");
    EXPECT_EQ(M.FindPublic(0x1045).Address, 0x1040u);
    EXPECT_EQ(U8(M.FindPublic(0x1060).Name), "TFoo.Create");
    EXPECT_EQ(U8(M.FindPublic(0x1080).Name), "ns::Widget::Twice()");
    EXPECT_EQ(U8(M.FindPublic(0x1300).Name), "Tail");
    EXPECT_TRUE(M.Segments[0].Qualified);
    EXPECT_EQ(M.Segments[0].Length, 0x301u);
    // Below the first public and at or after the end of code: nothing.
    EXPECT_FALSE(M.FindPublic(0x101f).Valid);
    EXPECT_FALSE(M.FindPublic(0x2000).Valid);
    EXPECT_TRUE(M.FindPublic(0x1fff).Valid);

    EXPECT_EQ(M.FindPublicByName(mcCode, u"unit1", true, u"TFoo.Bar"), 0x1040u);
    EXPECT_EQ(M.FindPublicByName(mcCode, u"Unit1", false, u"tfoo.bar"), 0x1040u);
    EXPECT_EQ(M.FindPublicByName(mcCode, u"Unit1", true, u"tfoo.bar"), 0u);
    EXPECT_EQ(M.FindPublicByName(mcData, u"Unit1", true, u"TFoo.Bar"), 0u);
}

TEST(CrashlibMapFileTables, FindPublicByNameTriesSourceExtensions)
{
    TMapFile M = CodeMap();
    M.AddMapSegment(mcCode, u"widget.h", 0x100, 0x1000, true);
    M.AddMapPublic(mcCode, u"Draw", true, 0x10);
    EXPECT_EQ(M.FindPublicByName(mcCode, u"widget", true, u"Draw"), 0x1010u);
    EXPECT_EQ(M.FindPublicByName(mcCode, u"widget.x", true, u"Draw"), 0u);
}

TEST(CrashlibMapFileTables, NamelessPublicEndsARoutine)
{
    TMapFile M = CodeMap();
    M.Publics = {
        {1, mcCode, u"first", 0x1000}, {1, mcCode, u"", 0x1010}, {1, mcCode, u"second", 0x1020}};
    EXPECT_EQ(U8(M.FindPublic(0x100f).Name), "first");
    EXPECT_FALSE(M.FindPublic(0x1010).Valid);
    EXPECT_FALSE(M.FindPublic(0x101f).Valid);
    EXPECT_EQ(U8(M.FindPublic(0x1020).Name), "second");
}

TEST(CrashlibMapFileTables, LineRowsAreSortedOnceWithOneRowPerAddress)
{
    TMapFile M = CodeMap();
    M.AddMapSegment(mcCode, u"a.cpp", 0x100, 0x1000, true, false);
    // Two sequences given out of order, and two rows at 0x1010: the later wins.
    for (auto [Line, Address] : {std::pair<uint32_t, uintptr_t>{30, 0x1080},
                                 {31, 0x1090},
                                 {10, 0x1000},
                                 {11, 0x1010},
                                 {12, 0x1010},
                                 {5, 0x1020}})
        M.AddMapLine(Line, Address);
    M.SortTables();
    ASSERT_EQ(M.Lines.size(), 5u);
    EXPECT_EQ(M.FindLine(0x1000), 10u);
    EXPECT_EQ(M.FindLine(0x1015), 12u);
    EXPECT_EQ(M.FindLine(0x1020), 5u); // not above the row before it, still kept
    EXPECT_EQ(M.FindLine(0x1085), 30u);
    uintptr_t Next = 0;
    EXPECT_EQ(M.FindLineEx(0x1001, Next), 10u);
    EXPECT_EQ(Next, 0x1010u);
    // The last row answers up to the end of its segment.
    EXPECT_EQ(M.FindLineEx(0x10ff, Next), 31u);
    EXPECT_EQ(Next, 0x1100u);
    EXPECT_EQ(M.FindLineEx(0x1100, Next), 0u);
    EXPECT_EQ(Next, 0x1101u);
    EXPECT_EQ(M.FindLine(0x0fff), 0u);
}

TEST(CrashlibMapFileTables, OneLineModuleAnswersUpToTheEndOfItsSegment)
{
    TMapFile M = CodeMap();
    M.AddMapSegment(mcCode, u"one.cpp", 0x20, 0x1000, true, false);
    M.AddMapSegment(mcCode, u"two.cpp", 0x20, 0x1040, true, false);
    M.AddMapLine(7, 0x1004);
    M.SortTables();
    uintptr_t Next = 0;
    EXPECT_EQ(M.FindLineEx(0x1004, Next), 7u);
    EXPECT_EQ(Next, 0x1020u);
    EXPECT_EQ(M.FindLine(0x101f), 7u);
    EXPECT_EQ(M.FindLine(0x1003), 0u); // before the row
    EXPECT_EQ(M.FindLine(0x1020), 0u); // past its segment
    EXPECT_EQ(M.FindLine(0x1044), 0u); // another unit's code

    // A segment said to run past the top of the address space: its last
    // row answers up to the top, never up to an end that wrapped to below it.
    TMapFile Top;
    const uintptr_t Highest = ~uintptr_t(0);
    Top.AddMapSegment(mcCode, u"top.cpp", 0x1000, Highest - 0xff, true, false);
    Top.AddMapLine(9, Highest - 0xf0);
    Top.SortTables();
    EXPECT_EQ(Top.FindLineEx(Highest - 0xf0, Next), 9u);
    EXPECT_EQ(Next, Highest);
}

TEST(CrashlibMapFileTables, MiniStreamReadsWhatIsLeftAndKeepsItsCapacityInSteps)
{
    TMiniStream S;
    S.WriteU32(0x04030201);
    for (int32_t V : {0, 1, -1, 127, -127, 128, -128, 0x7fffffff, int32_t(0x80000000)})
        S.WriteCompact(V);
    S.WriteName(u"h\u00e9llo");
    EXPECT_EQ(S.Capacity() % 8192, 0u);
    EXPECT_GE(S.Capacity(), S.Size());
    // Single-byte forms for -127..127, the escape and 4 bytes otherwise.
    EXPECT_EQ(S.Size(), 4u + 5 + 4 * 5 + 1 + 6);

    TMiniStream R(S.Bytes());
    uint32_t U = 0;
    ASSERT_TRUE(R.ReadU32(U));
    EXPECT_EQ(U, 0x04030201u);
    for (int32_t V : {0, 1, -1, 127, -127, 128, -128, 0x7fffffff, int32_t(0x80000000)}) {
        int32_t Got = 0;
        ASSERT_TRUE(R.ReadCompact(Got));
        EXPECT_EQ(Got, V);
    }
    std::u16string Name;
    ASSERT_TRUE(R.ReadName(Name));
    EXPECT_EQ(Name, u"h\u00e9llo");
    EXPECT_FALSE(R.ReadByte(*reinterpret_cast<uint8_t*>(&U)));

    TMiniStream Short(std::string_view("\x03"
                                       "ab",
                                       3));
    EXPECT_FALSE(Short.ReadName(Name)); // a name longer than what is left
    char Buf[8];
    TMiniStream Three("xyz");
    EXPECT_EQ(Three.Read(Buf, sizeof Buf), 3u);
    EXPECT_EQ(Three.Left(), 0u);
    Three.SetSize(0);
    EXPECT_LT(Three.Capacity(), 8192u); // the buffer is given back
}

// ---------------------------------------------------------------------------
// Packed map data

TMapFile SampleMap()
{
    TMapFile M = CodeMap();
    M.AddMapSegment(mcCode, u"/src/a.cpp", 0x200, 0x1000, true, false);
    M.AddMapSegment(mcCode, u"/src/b\u00e4.cpp", 0x300, 0x1200, true, false);
    M.AddMapSegment(mcData, u"data", 0x40, 0x8000, true, false);
    M.Publics = {{1, mcCode, u"alpha(int)", 0x1000},
                 {1, mcCode, u"", 0x1090},
                 {1, mcCode, u"std::vector<int>::size() const", 0x1100},
                 {1, mcCode, u"far", 0x1480}};
    for (uint32_t I = 0; I < 300; ++I)
        M.AddMapLine(I % 7 == 0 ? 1000 - I : 10 + I, 0x1000 + I * 3);
    M.AddMapLine(5, 0x1480); // a step of 128 and more
    M.EntryPoint = 0x1100;
    M.SortTables();
    return M;
}

void ExpectSameTables(const TMapFile& A, const TMapFile& B)
{
    ASSERT_EQ(A.Segments.size(), B.Segments.size());
    for (std::size_t I = 0; I < A.Segments.size(); ++I) {
        EXPECT_EQ(A.Segments[I].Start, B.Segments[I].Start);
        EXPECT_EQ(A.Segments[I].Length, B.Segments[I].Length);
        EXPECT_EQ(A.Segments[I].Class, B.Segments[I].Class);
        EXPECT_EQ(A.Segments[I].UnitName, B.Segments[I].UnitName);
    }
    ASSERT_EQ(A.Publics.size(), B.Publics.size());
    for (std::size_t I = 0; I < A.Publics.size(); ++I) {
        EXPECT_EQ(A.Publics[I].Address, B.Publics[I].Address);
        EXPECT_EQ(A.Publics[I].Name, B.Publics[I].Name);
    }
    ASSERT_EQ(A.Lines.size(), B.Lines.size());
    for (std::size_t I = 0; I < A.Lines.size(); ++I) {
        EXPECT_EQ(A.Lines[I].Address, B.Lines[I].Address);
        EXPECT_EQ(A.Lines[I].Line, B.Lines[I].Line);
    }
}

TEST(CrashlibMapFilePacked, BothVersionsReadBackWhatWasPacked)
{
    const TMapFile M = SampleMap();
    for (uint32_t Version : {2u, 3u}) {
        const std::string Block = PackMapData(M, Version);
        EXPECT_TRUE(Block.starts_with(MapDataMarker));
        TMapFile R = CodeMap();
        ASSERT_TRUE(R.LoadMapData(Block)) << Version;
        R.SortTables();
        ExpectSameTables(M, R);
        EXPECT_EQ(R.EntryPoint, 0x1100u);
        // Read at another base, every address moves with it.
        TMapFile Moved;
        Moved.CodeBase = 0x7f0000001000;
        ASSERT_TRUE(Moved.LoadMapData(Block));
        EXPECT_EQ(Moved.Publics.back().Address, 0x7f0000001480u);
        EXPECT_EQ(Moved.Lines.back().Address, 0x7f0000001480u);
    }
}

TEST(CrashlibMapFilePacked, DamagedOrForeignBlocksAreRefused)
{
    const TMapFile M = SampleMap();
    const std::string Block = PackMapData(M, 3);
    auto Refused = [](std::string B) {
        TMapFile R = CodeMap();
        return !R.LoadMapData(B) && R.Publics.empty() && R.Lines.empty() && R.Segments.empty();
    };
    std::string B = Block;
    B[0] = 'k';
    EXPECT_TRUE(Refused(B)); // marker
    B = Block;
    B[MapDataMarker.size() + 4] = 4;
    EXPECT_TRUE(Refused(B)); // version
    B = Block;
    B[B.size() - 3] ^= 0x20;
    EXPECT_TRUE(Refused(B)); // check value 1
    EXPECT_TRUE(Refused(Block.substr(0, Block.size() - 1)));
    // Version 2 has no check value: the container's CRC catches the damage.
    B = PackMapData(M, 2);
    B[B.size() - 3] ^= 0x20;
    EXPECT_TRUE(Refused(B));
    // Bytes after the block (section padding) do not count; a packed size
    // beyond the block's end is refused.
    B = Block + "trailing";
    TMapFile Padded = CodeMap();
    EXPECT_TRUE(Padded.LoadMapData(B));
    B.replace(MapDataMarker.size(), 4, std::string("\xff\xff\xff\x00", 4));
    EXPECT_TRUE(Refused(B));
    // Map data of another build of the module (another code length).
    TMapFile Other = CodeMap();
    Other.CodeEnd = 0x3000;
    EXPECT_FALSE(Other.LoadMapData(Block));
    // Not deciphered: the container's CRC does not match.
    std::string Container = UnpackStr(Block.substr(MapDataMarker.size() + 20));
    EXPECT_TRUE(Container.empty());
}

TEST(CrashlibMapFilePacked, LyingCountsAreRefusedBeforeAllocating)
{
    // Each table's count claims far more entries than the bytes left hold.
    auto Stream = [](uint32_t Segments, uint32_t Publics, uint32_t Lines) {
        TMiniStream S;
        S.WriteU32(Segments);
        if (Segments != 0xffffffffu && Segments != 0x10000000u) {
            S.WriteU32(Publics);
            if (Publics < 0x1000) {
                for (uint32_t I = 0; I < Publics; ++I) {
                    S.WriteName(u"p");
                    if (I == 0)
                        S.WriteU32(0);
                    else
                        S.WriteCompact(4);
                }
                S.WriteU32(Lines);
            }
        }
        S.Write("\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0", 16);
        return S.Bytes();
    };
    for (auto [Seg, Pub, Lin] : {std::tuple<uint32_t, uint32_t, uint32_t>{0xffffffffu, 0, 0},
                                 {0x10000000u, 0, 0},
                                 {0, 0xffffffffu, 0},
                                 {0, 9, 0x7fffffffu},
                                 {0, 1, 9}}) {
        const std::string Block = PackMapDataBlock(Stream(Seg, Pub, Lin), 3, 0, 0x1000);
        TMapFile R = CodeMap();
        LargestAllocation = 0;
        WatchAllocations = true;
        const bool Loaded = R.LoadMapData(Block);
        WatchAllocations = false;
        EXPECT_FALSE(Loaded) << Seg << " " << Pub << " " << Lin;
        EXPECT_LT(LargestAllocation.load(), 64u * 1024) << Seg << " " << Pub << " " << Lin;
    }
}

TEST(CrashlibMapFilePacked, ReducedNamesNeedTheMatchingCheckText)
{
    const TMapFile M = SampleMap();
    const std::string Block = PackMapData(M, 3, 0, true);
    const std::u16string Check = MapDataCheckText(Block);
    ASSERT_EQ(Check.size(), 31u);
    EXPECT_EQ(U8(Check.substr(0, 10)),
              U8(CardToHexPadW(static_cast<uint32_t>(Block.size()), 8, u'0')) + ",");

    TMapFile R = CodeMap();
    R.ReducedNames = Check;
    ASSERT_TRUE(R.LoadMapData(Block));
    R.SortTables();
    EXPECT_EQ(U8(R.Segments[0].UnitName), "segment%0");
    EXPECT_EQ(U8(R.FindPublic(0x1100).Name), "public%2");
    EXPECT_EQ(R.FindLine(0x1003), M.FindLine(0x1003));

    TMapFile Wrong = CodeMap();
    Wrong.ReducedNames = Check;
    Wrong.ReducedNames[2] = Wrong.ReducedNames[2] == u'0' ? u'1' : u'0';
    EXPECT_FALSE(Wrong.LoadMapData(Block));
    // A version 2 block has no check values to match.
    TMapFile V2 = CodeMap();
    V2.ReducedNames = Check;
    EXPECT_FALSE(V2.LoadMapData(PackMapData(M, 2, 0, true)));
    EXPECT_TRUE(MapDataCheckText(PackMapData(M, 2)).empty());
}

TEST(CrashlibMapFilePacked, KeyDependsOnTheBlockLength)
{
    EXPECT_EQ(MakeMapDataKey(1234), MakeMapDataKey(1234));
    EXPECT_NE(MakeMapDataKey(1234), MakeMapDataKey(1235));
    EXPECT_EQ(MakeMapDataKey(1234).size(), 44u); // a 6-letter word, 8 + 8 characters, doubled
}

TEST(CrashlibMapFilePacked, SettingsTextIsFoundAmongTheProperties)
{
    std::string S("TPF0\x0aTKelExcept\x09kelExcept", 25);
    auto Prop = [&S](std::string_view Name, char Tag, std::string_view Value) {
        S.push_back(static_cast<char>(Name.size()));
        S += Name;
        S.push_back(Tag);
        S += Value;
    };
    Prop("Enabled", 9, "");
    Prop("FreezeTimeout", 4, std::string("\x3c\0\0\0", 4));
    Prop("HttpServer", 6, "\x04host");
    Prop("MailBody", 18, std::string("\x02\0\0\0h\0i\0", 8));
    Prop("MinDebugInfo", 12, std::string("\x05\0\0\0$0001", 9));
    S.push_back(0);
    EXPECT_EQ(ReadSettingsText(S, "MinDebugInfo"), "$0001");
    EXPECT_EQ(ReadSettingsText(S, "HttpServer"), "host");
    EXPECT_EQ(ReadSettingsText(S, "MailBody"), "hi");
    EXPECT_EQ(ReadSettingsText(S, "Enabled"), "");
    EXPECT_EQ(ReadSettingsText(S, "Other"), "");
    EXPECT_EQ(ReadSettingsText(S.substr(0, S.size() - 4), "MinDebugInfo"), ""); // cut short
    std::string Bad = S;
    Bad[3] = '1';
    EXPECT_EQ(ReadSettingsText(Bad, "HttpServer"), "");
}

// ---------------------------------------------------------------------------
// Linker map texts

constexpr std::string_view BorlandMap =
    "\r\n"
    " Start         Length     Name                   Class\r\n"
    " 0001:00401000 000A2B5CH .text                   CODE\r\n"
    " 0002:004A4000 00002A10H .data                   DATA\r\n"
    "\r\n"
    "\r\n"
    "Detailed map of segments\r\n"
    "\r\n"
    " 0001:00000000 0000CE14 C=CODE     S=.text    G=(none)   M=System   ACBP=A9\r\n"
    " 0001:0000CE14 00000100 C=CODE     S=.text    G=(none)   M=C:\\src\\Unit1.pas ACBP=A9\r\n"
    " 0001:0000CF15 00000020 C=CODE     S=.text    G=(none)   M=Unit1    ACBP=A9\r\n"
    " 0001:0000D000 00000040 C=CODE     S=.text    G=(none)   M=main.cpp ACBP=A9\r\n"
    " 0002:00000000 00000100 C=DATA     S=.data    G=DGROUP   M=System   ACBP=A9\r\n"
    " 0009:00000000 00000100 C=DATA     S=.data    G=DGROUP   M=Nowhere  ACBP=A9\r\n"
    "\r\n"
    "  Address         Publics by Name\r\n"
    "\r\n"
    " 0001:0000CE20       Unit1.TForm1.Button1Click\r\n"
    "\r\n"
    "  Address         Publics by Value\r\n"
    "\r\n"
    " 0001:00000010       System.@Halt0\r\n"
    " 0001:0000CE20       Unit1.TForm1.Button1Click\r\n"
    " 0001:0000CF20       @Unit1@TForm1@$bdtr$qv (from vtable)\r\n"
    " 0002:00000004       System.HInstance\r\n"
    " zz01:00000010       Broken\r\n"
    "\r\n"
    "\r\n"
    "Line numbers for Unit1(C:\\src\\Unit1.pas) segment .text\r\n"
    "\r\n"
    "    28 0001:0000CE20    29 0001:0000CE2A    30 0001:0000CE30\r\n"
    "    27 0001:0000CE14\r\n"
    "\r\n"
    "Program entry point at 0001:0000D010\r\n";

TEST(CrashlibMapFileMapText, SegmentPublicAndLineTablesAreRead)
{
    TMapFile M;
    M.CodeBase = 0x401000;
    M.DataBase = 0x4A4000;
    M.CodeEnd = 0x401000 + 0xA2B5C;
    ASSERT_TRUE(M.ParseMapText(BorlandMap));
    M.SortTables();
    EXPECT_EQ(U8(M.FindSegment(mcCode, 0x401000).UnitName), "System");
    // The two Unit1 lines (with and without a path and extension) are one segment.
    const TMfSegment U = M.FindSegment(mcCode, 0x401000 + 0xCE14);
    EXPECT_EQ(U8(U.UnitName), "Unit1");
    EXPECT_EQ(U.Length, 0x121u);
    EXPECT_TRUE(U.Qualified);
    EXPECT_EQ(U8(M.FindSegment(mcCode, 0x40E000).UnitName), "main");
    EXPECT_EQ(U8(M.FindSegment(mcData, 0x4A4010).UnitName), "System");
    EXPECT_EQ(M.Segments.size(), 4u);

    EXPECT_EQ(U8(M.FindPublic(0x401010).Name), "@Halt0");
    EXPECT_EQ(U8(M.FindPublic(0x40DE25).Name), "TForm1.Button1Click");
    EXPECT_EQ(U8(M.FindPublic(0x40DF20).Name), "TForm1.Destroy");
    EXPECT_EQ(M.FindPublic(0x40DF20).Address, 0x40DF20u);
    EXPECT_EQ(M.FindPublicByName(mcData, u"System", true, u"HInstance"), 0x4A4004u);

    EXPECT_EQ(M.Lines.size(), 4u);
    EXPECT_EQ(M.FindLine(0x40DE14), 27u);
    EXPECT_EQ(M.FindLine(0x40DE2B), 29u);
    EXPECT_EQ(M.FindLine(0x40DE30), 30u);
    EXPECT_EQ(M.EntryPoint, 0x40E010u);
}

TEST(CrashlibMapFileMapText, MissingHeadingsEndTheParse)
{
    TMapFile M;
    EXPECT_FALSE(M.ParseMapText(""));
    EXPECT_FALSE(M.ParseMapText("Detailed map of segments\r\n 0001:00000000 00000010 C=CODE\r\n"));
    const std::string OnlyTable(BorlandMap.substr(0, BorlandMap.find("Detailed")));
    EXPECT_FALSE(M.ParseMapText(OnlyTable));
    EXPECT_TRUE(M.Segments.empty());
}

// ---------------------------------------------------------------------------
// Hooks

TEST(CrashlibMapFileHooks, UnitInitializationInstallsBothHooks)
{
    EXPECT_EQ(MapDataNameHook.load(), &MapNameHook);
    EXPECT_EQ(MapDataLineHook.load(), &MapLineHook);
    // An address inside the previous answer's range is not looked up again.
    uint32_t Line = 42;
    uintptr_t Start = 0x1000, End = 0x1010;
    EXPECT_TRUE(MapLineHook(0x1008, Line, Start, End));
    EXPECT_EQ(Line, 42u);
    EXPECT_EQ(Start, 0x1000u);
    // No module holds address 1.
    EXPECT_FALSE(MapLineHook(1, Line, Start, End));
    EXPECT_EQ(Line, 0u);
    std::u16string Name = u"unchanged";
    EXPECT_FALSE(MapNameHook(1, Name));
    EXPECT_EQ(U8(Name), "unchanged");
}

} // namespace
