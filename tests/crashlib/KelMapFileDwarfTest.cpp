// Names and lines of real programs, checked against the tool chain's own
// readers: eu-addr2line for file and line, addr2line -f -C for the routine,
// nm for symbols, readelf for the program's map data section. The programs
// are built here with g++; the program itself is read from TOLVEX_BIN_DIR.
#include "crashlib/kelDwarf.h"
#include "crashlib/kelMapFile.h"
#include "crashlib/kelStrings.h"
#include "crashlib/kelZip.h"

#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

std::string RunCommand(const std::string& Command)
{
    std::string Out;
    FILE* P = popen(Command.c_str(), "r");
    if (P == nullptr)
        return Out;
    char Buf[65536];
    std::size_t N;
    while ((N = fread(Buf, 1, sizeof Buf, P)) > 0)
        Out.append(Buf, N);
    pclose(P);
    return Out;
}

std::vector<std::string> SplitLines(const std::string& Text)
{
    std::vector<std::string> Out;
    std::istringstream In(Text);
    for (std::string L; std::getline(In, L);)
        Out.push_back(L);
    return Out;
}

std::string U8(const std::u16string& S)
{
    return WideToUtf8(S);
}

bool AllDigits(std::string_view S)
{
    return !S.empty() && S.find_first_not_of("0123456789") == std::string_view::npos;
}

// "file:line" or "file:line:column" as eu-addr2line prints it.
std::pair<std::string, std::string> FileAndLine(const std::string& S)
{
    auto Last = S.rfind(':');
    if (Last == std::string::npos)
        return {S, ""};
    auto Before = S.rfind(':', Last - 1);
    if (Before != std::string::npos && AllDigits(S.substr(Before + 1, Last - Before - 1)) &&
        AllDigits(S.substr(Last + 1)))
        return {S.substr(0, Before), S.substr(Before + 1, Last - Before - 1)};
    return {S.substr(0, Last), S.substr(Last + 1)};
}

std::string HexAddress(uintptr_t A)
{
    char Buf[32];
    std::snprintf(Buf, sizeof Buf, "0x%lx", static_cast<unsigned long>(A));
    return Buf;
}

// Whether our name of a routine is eu-addr2line's: the same, or (for a
// routine of internal linkage, which DWARF names without class and
// parameters) its symbol's readable name around it.
bool SameRoutineName(const std::string& Ours, const std::string& Eu)
{
    return Ours == Eu || Ours.starts_with(Eu + "(") ||
           Ours.find("::" + Eu + "(") != std::string::npos;
}

// Compares file:line with eu-addr2line (or addr2line) and the routine with
// eu-addr2line -f -C for the given line rows of a file read at its own
// addresses. File and line must agree everywhere, with eu-addr2line or with
// addr2line: now and then libdw's lookup answers an address that starts a
// row with another row (in the sanitizer build of the program, say), where
// addr2line and objdump's decoded line table give the row that starts there,
// as we do. The routine is the innermost one, inlined or not, named by its
// own entry (its linkage name made readable, else its name, else its own
// symbol), as eu-addr2line names it first; names may differ for a few rows
// only, where eu-addr2line falls back on a symbol at the byte just past a
// routine.
void ExpectAgreesWithAddr2line(const TMapFile& Map, const std::string& File,
                               const std::vector<TMapFileLine>& Rows, const TempFolder& Temp)
{
    std::string Addresses;
    for (const auto& R : Rows)
        Addresses += HexAddress(R.Address) + "\n";
    TempFolder::Write(Temp.Path("addresses"), Addresses);
    const auto EuBoth =
        SplitLines(RunCommand("eu-addr2line -f -C -e " + File + " < " + Temp.Path("addresses")));
    const auto Gnu =
        SplitLines(RunCommand("addr2line -f -C -e " + File + " < " + Temp.Path("addresses")));
    ASSERT_EQ(EuBoth.size(), 2 * Rows.size());
    ASSERT_EQ(Gnu.size(), 2 * Rows.size());
    std::vector<std::string> Eu, EuNames;
    for (std::size_t I = 0; I < Rows.size(); ++I) {
        EuNames.push_back(EuBoth[2 * I].substr(0, EuBoth[2 * I].find(" inlined at ")));
        Eu.push_back(EuBoth[2 * I + 1]);
    }
    int WrongLines = 0, WrongNames = 0;
    for (std::size_t I = 0; I < Rows.size(); ++I) {
        const uintptr_t A = Rows[I].Address;
        const auto [EuFile, EuLine] = FileAndLine(Eu[I]);
        // addr2line may add " (discriminator N)".
        const std::string GnuPlace = Gnu[2 * I + 1].substr(0, Gnu[2 * I + 1].find(" ("));
        const auto [GnuFile, GnuLine] = FileAndLine(GnuPlace);
        const std::string OurFile = U8(Map.FindSegment(mcCode, A).UnitName);
        const std::string OurLine = std::to_string(Map.FindLine(A));
        if ((EuFile != OurFile || EuLine != OurLine) &&
            (GnuFile != OurFile || GnuLine != OurLine) && ++WrongLines <= 10)
            ADD_FAILURE() << HexAddress(A) << ": " << OurFile << ":" << OurLine
                          << " | eu-addr2line " << Eu[I] << " | addr2line " << Gnu[2 * I + 1];
        const TMfPublic P = Map.FindPublic(A);
        const std::string OurName = P.Valid ? U8(P.Name) : "??";
        if (!SameRoutineName(OurName, EuNames[I]) && ++WrongNames <= 5)
            std::cout << "  routine at " << HexAddress(A) << ": " << OurName.substr(0, 120)
                      << " | eu-addr2line " << EuNames[I].substr(0, 120) << "\n";
    }
    std::cout << "  routine names differing from eu-addr2line: " << WrongNames << " of "
              << Rows.size() << "\n";
    EXPECT_EQ(WrongLines, 0) << "of " << Rows.size() << " rows";
    EXPECT_LE(WrongNames * 100, static_cast<int>(Rows.size()) * 2)
        << WrongNames << " of " << Rows.size() << " routine names differ";
}

// Every address that starts a row of the line programs (not an end of
// sequence) inside the code, as objdump decodes them, against our table.
void ExpectSameRowAddresses(const TMapFile& Map, const std::string& File)
{
    std::set<uintptr_t> Theirs, Ours;
    std::map<uintptr_t, int> Rows;
    uintptr_t Previous = 0;
    bool PreviousIsRow = false;
    for (const auto& L : SplitLines(RunCommand("objdump --dwarf=decodedline " + File))) {
        std::istringstream In(L);
        std::string Name, Line, Address;
        if (!(In >> Name >> Line >> Address) || !Address.starts_with("0x"))
            continue;
        const uintptr_t A = std::stoul(Address, nullptr, 16);
        // A row that its sequence ends at once covers no code; libdw may
        // answer it or not, so it is left out of the comparison.
        if (Line == "-" && PreviousIsRow && A == Previous)
            Rows[A] = -1000000;
        PreviousIsRow = AllDigits(Line);
        Previous = A;
        if (PreviousIsRow)
            ++Rows[A];
    }
    for (const auto& [A, N] : Rows)
        if (N > 0 && A >= Map.CodeBase && A < Map.CodeEnd)
            Theirs.insert(A);
    for (const auto& L : Map.Lines)
        if (Rows[L.Address] >= 0)
            Ours.insert(L.Address);
    std::set<uintptr_t> All;
    for (const auto& L : Map.Lines)
        All.insert(L.Address);
    EXPECT_EQ(All.size(), Map.Lines.size()); // one row per address
    std::vector<uintptr_t> OnlyOurs, OnlyTheirs;
    std::set_difference(Ours.begin(), Ours.end(), Theirs.begin(), Theirs.end(),
                        std::back_inserter(OnlyOurs));
    std::set_difference(Theirs.begin(), Theirs.end(), Ours.begin(), Ours.end(),
                        std::back_inserter(OnlyTheirs));
    EXPECT_TRUE(OnlyOurs.empty()) << OnlyOurs.size() << " rows objdump does not have, first "
                                  << HexAddress(OnlyOurs.empty() ? 0 : OnlyOurs.front());
    EXPECT_TRUE(OnlyTheirs.empty()) << OnlyTheirs.size() << " rows missing, first "
                                    << HexAddress(OnlyTheirs.empty() ? 0 : OnlyTheirs.front());
}

std::string Cut255(std::string S)
{
    if (S.size() > 255) {
        std::size_t Cut = 255;
        while ((static_cast<unsigned char>(S[Cut]) & 0xC0) == 0x80)
            --Cut;
        S.resize(Cut);
    }
    return S;
}

std::vector<TMapFileLine> RowsWithLines(const TMapFile& Map, std::size_t Most)
{
    std::vector<TMapFileLine> All;
    for (const auto& L : Map.Lines)
        if (L.Line != 0)
            All.push_back(L);
    if (All.size() <= Most)
        return All;
    std::vector<TMapFileLine> Some;
    const double Step = double(All.size()) / double(Most);
    for (std::size_t I = 0; I < Most; ++I)
        Some.push_back(All[static_cast<std::size_t>(double(I) * Step)]);
    return Some;
}

constexpr const char* HelperH = R"(#pragma once
inline int Scale(int x) { return x * 3 + 1; }
int other(int n);
)";

constexpr const char* MainCpp = R"(#include "helper.h"
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>
namespace ns {
struct Widget {
    int Value;
    explicit Widget(int v) : Value(v) {}
    int Twice() const;
};
} // namespace ns
int ns::Widget::Twice() const { return Value * 2; }
static int __attribute__((noinline)) LocalSum(const std::vector<int>& v)
{
    int s = 0;
    for (int x : v)
        s += Scale(x);
    return s;
}
template <class T> T __attribute__((noinline)) Biggest(T a, T b) { return a > b ? a : b; }
int main(int argc, char** argv)
{
    std::vector<int> v(static_cast<unsigned>(argc), 3);
    ns::Widget w(argc);
    std::string s(argv[0]);
    auto Lambda = [&](int k) { return static_cast<int>(s.size()) * k; };
    return LocalSum(v) + Biggest(argc, 2) + static_cast<int>(Biggest<long>(argc, 5)) + w.Twice() +
           other(argc) + Lambda(argc);
}
)";

constexpr const char* OtherCpp = R"(#include "helper.h"
int other(int n)
{
    switch (n) {
    case 1: return Scale(n) + 7;
    case 2: return n * 11;
    case 3: return n - 4;
    case 4: return Scale(n * 5);
    default: return 0;
    }
}
)";

// A C program built -O2: static inline routines inlined (two deep) and
// partly cloned, and cold parts split off into routines of their own.
constexpr const char* InlinedC = R"(#include <stdio.h>
#include <stdlib.h>
volatile int sink;
__attribute__((cold, noinline)) void fail(const char* what, int v)
{
    fprintf(stderr, "%s %d\n", what, v);
    abort();
}
static inline int sq(int x)
{
    sink++;
    if (x == 77777)
        fail("sq", x);
    return x * x;
}
static inline int twice(int x) { return sq(x) + sq(x + 1); }
__attribute__((noinline)) int work(int n)
{
    int s = 0;
    for (int i = 0; i < n; i++) {
        if (i == 12345) {
            fprintf(stderr, "rare %d\n", i);
            fail("work", i);
        }
        s += twice(i);
    }
    return s;
}
__attribute__((noinline)) int other(int n)
{
    if (n < 0) {
        puts("negative");
        fail("other", n);
    }
    return twice(n) + work(n);
}
int main(int argc, char** argv)
{
    (void)argv;
    return other(argc) & 1;
}
)";

// One small program, built once for all tests here.
class CrashlibMapFileDwarf : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Temp = std::make_unique<TempFolder>();
        TempFolder::Write(Temp->Path("helper.h"), HelperH);
        TempFolder::Write(Temp->Path("main.cpp"), MainCpp);
        TempFolder::Write(Temp->Path("other.cpp"), OtherCpp);
        TempFolder::Write(Temp->Path("inlined.c"), InlinedC);
        const std::string Dir = Temp->Path();
        Built = std::system(("cd " + Dir + " && g++ -O2 -g -o prog main.cpp other.cpp" +
                             " && g++ -O1 -c main.cpp other.cpp" +
                             " && g++ -o plain -Wl,-Map=plain.map main.o other.o" +
                             " && g++ -O2 -g -o pie -pie -fPIE main.cpp other.cpp" +
                             " && gcc -O2 -g -o inlined inlined.c")
                                .c_str()) == 0;
    }
    static void TearDownTestSuite() { Temp.reset(); }
    void SetUp() override { ASSERT_TRUE(Built) << "g++ failed"; }

    static std::string Path(const std::string& Name) { return Temp->Path(Name); }

    static inline std::unique_ptr<TempFolder> Temp;
    static inline bool Built = false;
};

TEST_F(CrashlibMapFileDwarf, EveryLineRowOfATestProgramAgreesWithAddr2line)
{
    const TMapFile Map(0, Path("prog"), mdsDwarf);
    ASSERT_TRUE(Map.Valid);
    EXPECT_EQ(Map.Source, mdsDwarf);
    const auto Rows = RowsWithLines(Map, 100000);
    ASSERT_GT(Rows.size(), 20u);
    ExpectSameRowAddresses(Map, Path("prog"));
    ExpectAgreesWithAddr2line(Map, Path("prog"), Rows, *Temp);
    // Lines of the inlined helper are named after the header.
    bool SawHeader = false;
    for (const auto& S : Map.Segments)
        SawHeader |= U8(S.UnitName).ends_with("/helper.h");
    EXPECT_TRUE(SawHeader);
}

// Two units whose line sequences meet: a linker script lays the code of the
// unit read second just before the code of the unit read first, so the
// second one's end of sequence falls on the address where the first one's
// code starts. The end marker covers no code there; the row that starts the
// other sequence names that address.
constexpr const char* LaterC = R"(__attribute__((section(".text.second"))) int Later(int X)
{
    return X * 3 + 1;
}
)";

constexpr const char* EarlierC = R"(__attribute__((section(".text.first"))) int Earlier(int X)
{
    int Y = X - 7;
    return Y * Y;
}
)";

constexpr const char* OrderLd =
    "SECTIONS { . = 0x400000 + SIZEOF_HEADERS; .text : { *(.text.first) *(.text.second) } }\n";

TEST_F(CrashlibMapFileDwarf, SequenceEndingWhereAnotherUnitsCodeStartsKeepsThatUnitsRow)
{
    const std::string Dir = Path("meeting");
    std::filesystem::create_directories(Dir);
    TempFolder::Write(Dir + "/later.c", LaterC);
    TempFolder::Write(Dir + "/earlier.c", EarlierC);
    TempFolder::Write(Dir + "/order.ld", OrderLd);
    // Without alignment padding the code of one function ends where the
    // next one starts; the program is never run.
    ASSERT_EQ(
        std::system(("cd " + Dir + " && gcc -O0 -g -falign-functions=1 -nostdlib -no-pie -static" +
                     " -Wl,-T,order.ld -Wl,-e,Later -o prog later.c earlier.c")
                        .c_str()),
        0);
    const std::string Prog = Dir + "/prog";
    const uintptr_t Later =
        std::stoul(RunCommand("nm " + Prog + " | awk '$3==\"Later\"{print $1}'"), nullptr, 16);

    // The layout is as intended: earlier.c's sequence ends at Later, where a
    // row of later.c (linked, and so read, first) starts.
    std::string LaterLine;
    bool EndAtLater = false;
    for (const auto& L : SplitLines(RunCommand("objdump --dwarf=decodedline " + Prog))) {
        std::istringstream In(L);
        std::string Name, Line, Address;
        if (!(In >> Name >> Line >> Address) || !Address.starts_with("0x") ||
            std::stoul(Address, nullptr, 16) != Later)
            continue;
        if (Name == "later.c" && AllDigits(Line))
            LaterLine = Line;
        EndAtLater |= Name == "earlier.c" && Line == "-";
    }
    ASSERT_TRUE(EndAtLater);
    ASSERT_FALSE(LaterLine.empty());

    const TMapFile Map(0, Prog, mdsDwarf);
    ASSERT_TRUE(Map.Valid);
    EXPECT_EQ(std::to_string(Map.FindLine(Later)), LaterLine);
    EXPECT_TRUE(U8(Map.FindSegment(mcCode, Later).UnitName).ends_with("/later.c"))
        << U8(Map.FindSegment(mcCode, Later).UnitName);
    EXPECT_TRUE(U8(Map.FindSegment(mcCode, Later - 1).UnitName).ends_with("/earlier.c"))
        << U8(Map.FindSegment(mcCode, Later - 1).UnitName);
    EXPECT_EQ(U8(Map.FindPublic(Later).Name), "Later");
    ExpectSameRowAddresses(Map, Prog);
    ExpectAgreesWithAddr2line(Map, Prog, RowsWithLines(Map, 1000), *Temp);
}

TEST_F(CrashlibMapFileDwarf, SampledRowsOfTheProgramAgreeWithAddr2line)
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    ASSERT_NE(Bin, nullptr);
    const std::string Program = std::string(Bin) + "/tolvex";
    if (!std::filesystem::exists(Program))
        GTEST_SKIP() << Program << " is not built";
    const TMapFile Map(0, Program, mdsDwarf);
    ASSERT_TRUE(Map.Valid);
    ASSERT_GT(Map.Lines.size(), 10000u);
    ExpectSameRowAddresses(Map, Program);
    ExpectAgreesWithAddr2line(Map, Program, RowsWithLines(Map, 3000), *Temp);
}

TEST_F(CrashlibMapFileDwarf, PackedMapDataOfTheProgramAnswersAsItsDwarf)
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    ASSERT_NE(Bin, nullptr);
    const std::string Program = std::string(Bin) + "/tolvex";
    if (!std::filesystem::exists(Program))
        GTEST_SKIP() << Program << " is not built";
    EXPECT_NE(RunCommand("readelf -SW " + Program).find(" .rsrc.KEL.EXCEPT "), std::string::npos);

    const TMapFile Packed(0, Program, mdsPackedResource);
    ASSERT_TRUE(Packed.Valid);
    EXPECT_EQ(Packed.Source, mdsPackedResource);
    const TMapFile Dwarf(0, Program, mdsDwarf);
    ASSERT_TRUE(Dwarf.Valid);
    EXPECT_EQ(Packed.Lines.size(), Dwarf.Lines.size());
    EXPECT_EQ(Packed.Publics.size(), Dwarf.Publics.size());
    EXPECT_EQ(Packed.Segments.size(), Dwarf.Segments.size());
    int Wrong = 0;
    for (uintptr_t A = Dwarf.CodeBase; A < Dwarf.CodeEnd; A += 97) {
        // The format keeps at most 255 bytes of a name.
        const bool Same =
            Packed.FindLine(A) == Dwarf.FindLine(A) &&
            Packed.FindSegment(mcCode, A).UnitName == Dwarf.FindSegment(mcCode, A).UnitName &&
            U8(Packed.FindPublic(A).Name) == Cut255(U8(Dwarf.FindPublic(A).Name)) &&
            Packed.FindPublic(A).Address == Dwarf.FindPublic(A).Address;
        if (!Same && ++Wrong <= 5)
            ADD_FAILURE() << HexAddress(A) << ": " << U8(Packed.FindPublic(A).Name) << " / "
                          << U8(Dwarf.FindPublic(A).Name);
    }
    EXPECT_EQ(Wrong, 0);
}

TEST_F(CrashlibMapFileDwarf, LoadedPieIsNamedAtItsLoadAddress)
{
    // Read as if the file were mapped at 0x555555554000: every answer moves.
    const TMapFile AtZero(0, Path("pie"), mdsDwarf);
    const TMapFile Loaded(0x555555554000, Path("pie"), mdsDwarf);
    ASSERT_TRUE(AtZero.Valid && Loaded.Valid);
    EXPECT_EQ(Loaded.Bias, 0x555555554000u);
    EXPECT_EQ(Loaded.CodeBase, AtZero.CodeBase + 0x555555554000);
    const uintptr_t Main = std::stoul(
        RunCommand("nm " + Path("pie") + " | awk '$3==\"main\"{print $1}'"), nullptr, 16);
    EXPECT_EQ(U8(Loaded.FindPublic(Main + 0x555555554000).Name), "main");
    EXPECT_EQ(Loaded.FindLine(Main + 0x555555554000), AtZero.FindLine(Main));
    EXPECT_NE(AtZero.FindLine(Main), 0u);
}

TEST_F(CrashlibMapFileDwarf, SeparateDebugFilesAreFoundByDebuglinkAndBuildIdWithoutTheNetwork)
{
    const std::string Dir = Path("split");
    std::filesystem::create_directories(Dir + "/.debug");
    std::filesystem::create_directories(Dir + "/root/.build-id");
    ASSERT_EQ(
        std::system(("cd " + Dir +
                     " && cp ../prog linked && objcopy --only-keep-debug linked .debug/linked.dbg" +
                     " && objcopy --strip-debug --add-gnu-debuglink=.debug/linked.dbg linked")
                        .c_str()),
        0);
    // A debuginfod server that would never answer must not be asked.
    setenv("DEBUGINFOD_URLS", "http://192.0.2.1:8002/", 1);
    const auto Start = std::chrono::steady_clock::now();
    const TMapFile Linked(0, Dir + "/linked", mdsDwarf);
    EXPECT_TRUE(Linked.Valid);
    const TMapFile Full(0, Path("prog"), mdsDwarf);
    EXPECT_EQ(Linked.Lines.size(), Full.Lines.size());
    EXPECT_EQ(Linked.Publics.size(), Full.Publics.size());

    // By build-id under the debug root, the file beside the module gone.
    const std::string Id = RunCommand("readelf -n " + Dir + "/linked | awk '/Build ID/{print $3}'");
    ASSERT_GT(Id.size(), 4u);
    const std::string IdDir = Dir + "/root/.build-id/" + Id.substr(0, 2);
    std::filesystem::create_directories(IdDir);
    std::filesystem::rename(Dir + "/.debug/linked.dbg",
                            IdDir + "/" + Id.substr(2, Id.size() - 3) + ".debug");
    EXPECT_FALSE(TMapFile(0, Dir + "/linked", mdsDwarf).Valid);
    const std::string OldRoot = GetDebugFileRoot();
    SetDebugFileRoot(Dir + "/root");
    const TMapFile ById(0, Dir + "/linked", mdsDwarf);
    SetDebugFileRoot(OldRoot);
    EXPECT_TRUE(ById.Valid);
    EXPECT_EQ(ById.Lines.size(), Full.Lines.size());
    unsetenv("DEBUGINFOD_URLS");
    EXPECT_LT(std::chrono::steady_clock::now() - Start, std::chrono::seconds(5));
}

namespace {

std::string Describe(const TMapFile& Map)
{
    return Map.Valid ? "valid " + std::to_string(Map.Source) : "invalid";
}

} // namespace

TEST_F(CrashlibMapFileDwarf, NamedPipesWhereFilesAreLookedForNeverBlock)
{
    // A stripped module whose debuglink, build-id file, map file and packed
    // data file are named pipes: each place is looked at, none waits.
    const std::string Dir = Path("pipes");
    std::filesystem::create_directories(Dir);
    ASSERT_EQ(std::system(("cd " + Dir +
                           " && cp ../prog linked && objcopy --only-keep-debug linked linked.dbg" +
                           " && objcopy --strip-debug --add-gnu-debuglink=linked.dbg linked" +
                           " && rm linked.dbg && mkfifo linked.dbg linked.map linked.kel module")
                              .c_str()),
              0);
    const std::string Id = RunCommand("readelf -n " + Dir + "/linked | awk '/Build ID/{print $3}'");
    ASSERT_GT(Id.size(), 4u);
    const std::string IdDir = Dir + "/root/.build-id/" + Id.substr(0, 2);
    std::filesystem::create_directories(IdDir);
    ASSERT_EQ(mkfifo((IdDir + "/" + Id.substr(2, Id.size() - 3) + ".debug").c_str(), 0600), 0);
    const std::string OldRoot = GetDebugFileRoot();
    SetDebugFileRoot(Dir + "/root");
    const auto Limit = std::chrono::seconds(10);
    // Its symbols still name it; the pipes give nothing.
    EXPECT_EQ(AnswerWithin(Limit, [&] { return Describe(TMapFile(0, Dir + "/linked")); }),
              "valid " + std::to_string(mdsElfSymbols));
    // A named pipe given as the module itself.
    EXPECT_EQ(AnswerWithin(Limit, [&] { return Describe(TMapFile(0, Dir + "/module")); }),
              "invalid");
    EXPECT_EQ(AnswerWithin(
                  Limit, [&] { return std::string(TElfFile::Open(Dir + "/module") ? "y" : "n"); }),
              "n");
    SetDebugFileRoot(OldRoot);
}

TEST_F(CrashlibMapFileDwarf, AlternateDebugFileIsTakenOnlyWithItsBuildId)
{
    // A debug file's ".gnu_debugaltlink" names the shared file by an absolute
    // path and its build-id: a file there with another build-id, a named
    // pipe or nothing at all is refused, and reading the module never waits.
    const std::string Dir = Path("alt");
    std::filesystem::create_directories(Dir);
    ASSERT_EQ(
        std::system(("cd " + Dir + " && cp ../prog alt && cp ../pie other && mkfifo pipe").c_str()),
        0);
    const auto AltFile = TElfFile::Open(Dir + "/alt");
    ASSERT_TRUE(AltFile);
    const auto Id = AltFile->FindNote("GNU", 3);
    ASSERT_TRUE(Id && !Id->empty());
    auto Named = [&](const std::string& Name, const std::string& AltPath) {
        TempFolder::Write(Dir + "/" + Name + ".link", AltPath + std::string(1, '\0') + *Id);
        EXPECT_EQ(
            std::system(("cd " + Dir + " && cp ../prog " + Name +
                         " && objcopy --add-section .gnu_debugaltlink=" + Name + ".link " + Name)
                            .c_str()),
            0);
        return Dir + "/" + Name;
    };
    const std::string Right = Named("right", Dir + "/alt");
    const std::string Wrong = Named("wrong", Dir + "/other");
    const std::string Piped = Named("piped", Dir + "/pipe");
    const int Fd = OpenDebugAltFile(Right, Dir + "/alt");
    EXPECT_GE(Fd, 0);
    if (Fd >= 0)
        close(Fd);
    EXPECT_EQ(OpenDebugAltFile(Wrong, Dir + "/other"), -1);
    EXPECT_EQ(OpenDebugAltFile(Path("prog"), Dir + "/alt"), -1); // no such section
    EXPECT_EQ(AnswerWithin(std::chrono::seconds(10),
                           [&] { return std::to_string(OpenDebugAltFile(Piped, Dir + "/pipe")); }),
              "-1");
    // libdw asks for the shared file while it reads the module's DWARF.
    EXPECT_EQ(AnswerWithin(std::chrono::seconds(10),
                           [&] { return Describe(TMapFile(0, Piped, mdsDwarf)); }),
              "valid " + std::to_string(mdsDwarf));
}

TEST_F(CrashlibMapFileDwarf, ModuleNamedByARelativePathHasNoPlaceUnderTheDebugRoot)
{
    // "<root>" + "." + "/x.dbg" is no mirror of any folder: a file there is
    // not taken for the debug file of the module "x".
    const std::string Dir = Path("relative");
    std::filesystem::create_directories(Dir + "/root.");
    const std::string Bytes = "not the debug file of x";
    TempFolder::Write(Dir + "/root./x.dbg", Bytes);
    const uint32_t Crc = ~UpdateCrc32(0xFFFFFFFFu, Bytes.data(), Bytes.size());
    const std::string OldRoot = GetDebugFileRoot();
    SetDebugFileRoot(Dir + "/root");
    EXPECT_EQ(FindSeparateDebugFile("x", "", "x.dbg", Crc), "");
    // The same module by its absolute folder is looked for under the root.
    std::filesystem::create_directories(Dir + "/root" + Dir);
    TempFolder::Write(Dir + "/root" + Dir + "/x.dbg", Bytes);
    EXPECT_EQ(FindSeparateDebugFile(Dir + "/x", "", "x.dbg", Crc), Dir + "/root" + Dir + "/x.dbg");
    SetDebugFileRoot(OldRoot);
}

TEST_F(CrashlibMapFileDwarf, InlinedAndColdCodeIsNamedAsEuAddr2lineNamesIt)
{
    // Every instruction of the C program's own routines: the name is the
    // innermost routine's, inlined or not, as eu-addr2line names it first,
    // and agrees with the file and line; each routine that is not inlined
    // starts where nm says its symbol does. The packed map data answers the
    // same.
    const std::string Prog = Path("inlined");
    const TMapFile Map(0, Prog, mdsDwarf);
    ASSERT_TRUE(Map.Valid);
    std::vector<uintptr_t> Addresses;
    std::stringstream Dump(RunCommand("objdump -d --no-show-raw-insn " + Prog));
    bool Own = false;
    for (std::string L; std::getline(Dump, L);) {
        if (L.find(">:") != std::string::npos) {
            // "0000000000001190 <work>:"
            const std::string Name = L.substr(L.find('<') + 1, L.find('>') - L.find('<') - 1);
            Own = Name.starts_with("work") || Name.starts_with("other") || Name.starts_with("sq") ||
                  Name.starts_with("twice") || Name == "main";
        } else if (Own && L.find(':') != std::string::npos && L.starts_with("  ")) {
            Addresses.push_back(std::stoull(L.substr(0, L.find(':')), nullptr, 16));
        }
    }
    ASSERT_GT(Addresses.size(), 60u);
    std::map<uint64_t, std::string> Symbols; // nm's routines
    std::stringstream Nm(RunCommand("nm " + Prog));
    for (std::string L; std::getline(Nm, L);) {
        std::stringstream W(L);
        std::string Value, Type, Name;
        if (W >> Value >> Type >> Name && (Type == "t" || Type == "T"))
            Symbols[std::stoull(Value, nullptr, 16)] = Name;
    }
    std::string List;
    for (uintptr_t A : Addresses)
        List += HexAddress(A) + "\n";
    TempFolder::Write(Path("inlined.addresses"), List);
    const auto Eu =
        SplitLines(RunCommand("eu-addr2line -f -C -e " + Prog + " < " + Path("inlined.addresses")));
    ASSERT_EQ(Eu.size(), 2 * Addresses.size());

    TMapFile Packed;
    Packed.CodeBase = Map.CodeBase;
    Packed.CodeEnd = Map.CodeEnd;
    ASSERT_TRUE(Packed.LoadMapData(PackMapData(Map)));
    Packed.SortTables();
    int Inlined = 0, Started = 0;
    for (std::size_t I = 0; I < Addresses.size(); ++I) {
        const uintptr_t A = Addresses[I];
        SCOPED_TRACE(HexAddress(A) + " " + Eu[2 * I] + " " + Eu[2 * I + 1]);
        const std::string EuName = Eu[2 * I].substr(0, Eu[2 * I].find(" inlined at "));
        const auto [EuFile, EuLine] = FileAndLine(Eu[2 * I + 1]);
        const TMfPublic P = Map.FindPublic(A);
        if (EuName == "??") // code of no routine (the tail of a cold part)
            continue;
        EXPECT_TRUE(SameRoutineName(U8(P.Name), EuName)) << U8(P.Name);
        EXPECT_EQ(U8(Map.FindSegment(mcCode, A).UnitName), EuFile);
        EXPECT_EQ(std::to_string(Map.FindLine(A)), EuLine);
        const uintptr_t Start = P.Start != 0 ? P.Start : P.Address;
        EXPECT_LE(Start, A);
        if (Eu[2 * I].find(" inlined at ") != std::string::npos) {
            ++Inlined;
        } else {
            const auto Symbol = std::prev(Symbols.upper_bound(A));
            EXPECT_EQ(Start, Symbol->first) << Symbol->second;
            ++Started;
        }
        const TMfPublic Q = Packed.FindPublic(A);
        EXPECT_EQ(U8(Q.Name), U8(P.Name));
        EXPECT_EQ(Q.Start != 0 ? Q.Start : Q.Address, Start);
        EXPECT_EQ(Packed.FindLine(A), Map.FindLine(A));
    }
    EXPECT_GT(Inlined, 20);
    EXPECT_GT(Started, 20);
}

namespace {

// Every lookup of Lazy at Address answers as Whole's does.
void ExpectSameAnswer(const TMapFile& Lazy, const TMapFile& Whole, uintptr_t A)
{
    const TMfPublic P = Lazy.FindPublic(A), Q = Whole.FindPublic(A);
    EXPECT_EQ(U8(P.Name), U8(Q.Name)) << HexAddress(A);
    EXPECT_EQ(P.Address, Q.Address) << HexAddress(A);
    EXPECT_EQ(P.Start, Q.Start) << HexAddress(A);
    EXPECT_EQ(Lazy.FindLine(A), Whole.FindLine(A)) << HexAddress(A);
    EXPECT_EQ(U8(Lazy.FindSegment(mcCode, A).UnitName), U8(Whole.FindSegment(mcCode, A).UnitName))
        << HexAddress(A);
}

} // namespace

TEST_F(CrashlibMapFileDwarf, MapsReadByUnitOrKeptCompactAnswerAsWholeOnes)
{
    // The cache's maps read DWARF unit by unit as addresses are asked, and
    // keep packed map data's names compactly: every answer as the map read
    // whole gives it, at every line row and between them, in any order.
    const std::string Prog = Path("prog");
    const TMapFile Whole(0, Prog, mdsDwarf);
    ASSERT_TRUE(Whole.Valid);
    std::vector<uintptr_t> Addresses;
    for (const auto& L : Whole.Lines)
        Addresses.insert(Addresses.end(), {L.Address, L.Address + 1});
    for (const auto& P : Whole.Publics)
        Addresses.push_back(P.Address);
    std::reverse(Addresses.begin(), Addresses.end());
    const TMapFile Lazy(0, Prog, mdsDwarf | mdsLazy);
    ASSERT_TRUE(Lazy.Valid);
    EXPECT_TRUE(Lazy.Lazy);
    for (uintptr_t A : Addresses)
        ExpectSameAnswer(Lazy, Whole, A);

    // Packed map data in the module's own section.
    const std::string Packed = Path("packed");
    TempFolder::Write(Path("packed.block"), PackMapData(Whole));
    ASSERT_EQ(std::system(("cd " + Temp->Path() + " && cp prog packed && objcopy --add-section " +
                           ".rsrc.KEL.EXCEPT=packed.block packed")
                              .c_str()),
              0);
    const TMapFile Read(0, Packed, mdsPackedResource);
    const TMapFile Compact(0, Packed, mdsPackedResource | mdsLazy);
    ASSERT_EQ(Read.Source, mdsPackedResource);
    ASSERT_EQ(Compact.Source, mdsPackedResource);
    EXPECT_TRUE(Compact.Publics.empty()); // kept compactly
    for (uintptr_t A : Addresses)
        ExpectSameAnswer(Compact, Read, A);
    // By name too: the routine that starts a unit's first segment.
    const std::u16string Unit = Read.Segments.front().UnitName;
    const std::u16string Name = Read.FindPublic(Read.Segments.front().Start).Name;
    ASSERT_FALSE(Name.empty());
    EXPECT_NE(Read.FindPublicByName(mcCode, Unit, true, Name), 0u);
    EXPECT_EQ(Compact.FindPublicByName(mcCode, Unit, true, Name),
              Read.FindPublicByName(mcCode, Unit, true, Name));
}

TEST_F(CrashlibMapFileDwarf, GnuLinkerMapFileBesideTheModuleNamesItsRoutines)
{
    const TMapFile Map(0, Path("plain"), mdsMapText);
    ASSERT_TRUE(Map.Valid);
    EXPECT_EQ(Map.Source, mdsMapText);
    // Every global function symbol of the program is a public at nm's address.
    int Checked = 0;
    for (const auto& L : SplitLines(RunCommand("nm --defined-only " + Path("plain")))) {
        std::istringstream In(L);
        std::string Address, Type, Name;
        if (!(In >> Address >> Type >> Name) || Type != "T" ||
            (Name.starts_with("_") && !Name.starts_with("_Z")))
            continue;
        const uintptr_t A = std::stoul(Address, nullptr, 16);
        const TMfPublic P = Map.FindPublic(A);
        EXPECT_EQ(P.Address, A) << Name;
        EXPECT_EQ(U8(P.Name), RunCommand("echo " + Name + " | c++filt | tr -d '\\n'")) << Name;
        ++Checked;
    }
    EXPECT_GE(Checked, 3); // main, other(int), ns::Widget::Twice() const
    // The object files are the units.
    const uintptr_t Main = std::stoul(
        RunCommand("nm " + Path("plain") + " | awk '$3==\"main\"{print $1}'"), nullptr, 16);
    EXPECT_EQ(U8(Map.FindSegment(mcCode, Main).UnitName), "main.o");
}

TEST_F(CrashlibMapFileDwarf, ElfSymbolsNameAModuleWithoutDebugInformation)
{
    std::filesystem::copy_file(Path("plain"), Path("bare"));
    const TMapFile Map(0, Path("bare"));
    ASSERT_TRUE(Map.Valid);
    EXPECT_EQ(Map.Source, mdsElfSymbols);
    int Checked = 0;
    for (const auto& L : SplitLines(RunCommand("nm -S --defined-only " + Path("bare")))) {
        std::istringstream In(L);
        std::string Address, Size, Type, Name;
        if (!(In >> Address >> Size >> Type >> Name) || (Type != "T" && Type != "t"))
            continue;
        const uintptr_t A = std::stoul(Address, nullptr, 16);
        const uintptr_t End = A + std::stoul(Size, nullptr, 16);
        const std::string Readable = RunCommand("echo " + Name + " | c++filt | tr -d '\\n'");
        EXPECT_EQ(U8(Map.FindPublic(A).Name), Readable);
        EXPECT_EQ(U8(Map.FindPublic(End - 1).Name), Readable);
        ++Checked;
    }
    EXPECT_GE(Checked, 3);
}

TEST_F(CrashlibMapFileDwarf, StubInTheModuleLeadsToItsReducedDataFile)
{
    // The module carries a block without map data, and its settings name the
    // check values of the ".kel" file beside it.
    const std::string Module = Path("reduced");
    std::filesystem::copy_file(Path("prog"), Module);
    ASSERT_EQ(std::system(("strip --strip-debug " + Module).c_str()), 0);
    const TMapFile Dwarf(0, Path("prog"), mdsDwarf);
    const std::string Kel = PackMapData(Dwarf, 3, 0, true);
    TempFolder::Write(Module + ".kel", Kel);
    const std::string Check = U8(MapDataCheckText(Kel));
    std::string Settings("TPF0\x0aTKelExcept\x09kelExcept", 25);
    Settings += std::string("\x0cMinDebugInfo\x06", 14) + static_cast<char>(Check.size()) + Check;
    Settings.push_back(0);
    TempFolder::Write(Path("stub"), PackMapData(Dwarf, 3, MapDataNoMapData));
    TempFolder::Write(Path("settings"), Settings);
    ASSERT_EQ(std::system(("objcopy --add-section .rsrc.KEL.EXCEPT=" + Path("stub") +
                           " --add-section .rsrc.10.TKELEXCEPT=" + Path("settings") + " " + Module)
                              .c_str()),
              0);
    const TMapFile Map(0, Module);
    ASSERT_TRUE(Map.Valid);
    EXPECT_EQ(Map.Source, mdsPackedFile);
    EXPECT_EQ(U8(Map.ReducedNames), Check);
    EXPECT_EQ(Map.Lines.size(), Dwarf.Lines.size());
    const uintptr_t A = Dwarf.Lines[Dwarf.Lines.size() / 2].Address;
    EXPECT_EQ(Map.FindLine(A), Dwarf.FindLine(A));
    EXPECT_TRUE(U8(Map.FindPublic(A).Name).starts_with("public%"));

    // Another module's check values: the data file is refused.
    TempFolder::Write(Module + ".kel", PackMapData(Dwarf, 3, 0, false));
    const TMapFile Refused(0, Module, mdsPackedResource);
    EXPECT_FALSE(Refused.Valid);
}

TEST_F(CrashlibMapFileDwarf, ModuleRewrittenOnDiskIsReadAgain)
{
    const std::string Module = Path("module");
    std::filesystem::copy_file(Path("prog"), Module);
    auto First = FindModuleMapFile(0, Module);
    ASSERT_TRUE(First && First->Valid);
    EXPECT_EQ(FindModuleMapFile(0, Module), First); // unchanged: from the cache

    // Rewritten in place with bytes of the same size, within the same second:
    // only the nanoseconds of its time tell.
    std::string Bytes = TempFolder::Read(Module);
    const std::string Twice = "ns::Widget::Twice() const";
    int Replaced = 0;
    for (auto At = Bytes.find("_ZNK2ns6Widget5TwiceEv"); At != std::string::npos;
         At = Bytes.find("_ZNK2ns6Widget5TwiceEv", At), ++Replaced)
        Bytes.replace(At, 22, "_ZNK2ns6Widget5ThirdEv");
    ASSERT_GT(Replaced, 0);
    {
        std::ofstream Out(Module, std::ios::binary | std::ios::in | std::ios::out);
        Out.write(Bytes.data(), static_cast<std::streamsize>(Bytes.size()));
    }
    auto Second = FindModuleMapFile(0, Module);
    ASSERT_TRUE(Second && Second->Valid);
    EXPECT_NE(Second, First);
    bool SawThird = false, SawTwice = false;
    for (const auto& P : Second->Publics) {
        SawThird |= U8(P.Name) == "ns::Widget::Third() const";
        SawTwice |= U8(P.Name) == Twice;
    }
    EXPECT_TRUE(SawThird);
    EXPECT_FALSE(SawTwice);
    // The first map stays usable by whoever still holds it.
    EXPECT_FALSE(First->Publics.empty());
    ClearMapFileCache();
}

TEST(CrashlibMapFileOwnCode, CallerIsNamedWithItsUnitAndLine)
{
    std::u16string Module, Unit, Name;
    uint32_t Line = 0;
    uintptr_t Public = 0;
    const int Here = __LINE__ + 1; // the line of the call
    ASSERT_TRUE(GetMapFileInfos(0, Module, Unit, Line, Public, Name));
    EXPECT_EQ(U8(Module), "crashlib_unit_tests");
    EXPECT_TRUE(U8(Unit).ends_with("/KelMapFileDwarfTest.cpp")) << U8(Unit);
    EXPECT_EQ(Line, static_cast<uint32_t>(Here));
    EXPECT_NE(U8(Name).find("CallerIsNamedWithItsUnitAndLine"), std::string::npos) << U8(Name);
    // The name hook answers at the routine's first byte only.
    std::u16string Hooked;
    EXPECT_TRUE(MapNameHook(Public, Hooked));
    EXPECT_EQ(U8(Hooked), "KelMapFileDwarfTest." + U8(Name));
    EXPECT_FALSE(MapNameHook(Public + 1, Hooked));
    uint32_t HookLine = 0;
    uintptr_t From = 0, To = 0;
    EXPECT_TRUE(MapLineHook(Public, HookLine, From, To));
    EXPECT_LE(From, Public);
    EXPECT_GT(To, Public);
}

} // namespace
