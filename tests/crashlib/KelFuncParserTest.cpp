// The function parser on x86-64 code of this process: a library built here by
// g++ -O2 with switches, exceptions and calls that never return, loaded with
// dlopen. What the parser finds is checked against the tool chain: objdump's
// disassembly for the calls of every routine, the compiler's own assembler
// output for the entries of each jump table and the landing pads of each
// exception table.
#include "crashlib/kelFuncParser.h"
#include "crashlib/kelElfImage.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dlfcn.h>
#include <link.h>
#include <map>
#include <memory>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

constexpr const char* LibrarySource = R"(#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

extern "C" int sink(int n) { return n * 3 + 1; }
static volatile int Counter;

int dense(int n)
{
    switch (n) {
    case 0: return sink(3);
    case 1: return sink(7) + 1;
    case 2: return sink(9) * 3;
    case 3: case 4: return sink(n) - 2;
    case 6: return sink(1);
    case 7: return 44;
    default: return -1;
    }
}

int twoSwitches(int a, int b)
{
    int r = 0;
    switch (a) {
    case 10: r = sink(1); break;
    case 11: r = sink(2); break;
    case 12: r = sink(3); break;
    case 13: r = sink(4); break;
    case 15: r = sink(5); break;
    case 17: r = sink(6); break;
    default: r = 9;
    }
    switch (b & 7) {
    case 0: return r + sink(r);
    case 1: return r * 5;
    case 2: return r - sink(7);
    case 3: return r ^ 0x55;
    case 4: return sink(r + 1);
    case 5: return r << 2;
    default: return r;
    }
}

int guardedCount(int n)
{
    std::string s(static_cast<size_t>(n), 'x');
    try {
        return sink(static_cast<int>(s.size()));
    } catch (const std::exception&) {
        return sink(-1);
    }
}

int cleanups(int n)
{
    std::vector<std::string> v;
    for (int i = 0; i < n; i++)
        v.push_back(std::to_string(i));
    std::map<int, std::string> m;
    m[n] = v.empty() ? "" : v.back();
    return sink(static_cast<int>(m.size() + v.size()));
}

[[noreturn]] void fail(int n)
{
    throw std::runtime_error(std::to_string(n));
}

int checked(int n)
{
    if (n < 0)
        fail(n);
    if (n > 1000)
        abort();
    if (n == 999)
        exit(3);
    return sink(n);
}

int copyName(const char* p)
{
    char buf[64];
    std::strncpy(buf, p, sizeof buf - 1);
    buf[63] = 0;
    if (buf[0] == 'q')
        throw std::logic_error(buf);
    return sink(static_cast<int>(std::strlen(buf)));
}

int loops(int n)
{
    int t = 0;
    for (int i = 0; i < n; i++) {
        if (i % 3 == 0)
            t += sink(i);
        else if (i % 5 == 0)
            Counter = t;
        else
            t ^= i;
    }
    return t;
}

int (*pick(int n))(int)
{
    return n ? &dense : &loops;
}

int throughPointer(int n)
{
    return pick(n)(n) + pick(n + 1)(n);
}
)";

std::string RunCommand(const std::string& Command)
{
    std::string Out;
    FILE* P = popen(Command.c_str(), "r");
    if (P == nullptr)
        return Out;
    char Buf[65536];
    size_t N;
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

// One call instruction as objdump shows it: its address and, for a direct
// call, its target (0 for a call through a register or memory).
using TCallMap = std::map<uint64_t, uint64_t>;

TCallMap ObjdumpCalls(const std::string& File, std::map<uint64_t, std::string>& Names)
{
    TCallMap Calls;
    static const std::regex Line(R"(^\s*([0-9a-f]+):\s+call\s+(\S+)(\s+<([^>]+)>)?)");
    for (const std::string& L : SplitLines(RunCommand("objdump -d --no-show-raw-insn " + File))) {
        std::smatch M;
        if (!std::regex_search(L, M, Line))
            continue;
        uint64_t Target = 0;
        std::string T = M[2];
        if (T[0] != '*')
            Target = std::stoull(T, nullptr, 16);
        uint64_t At = std::stoull(M[1], nullptr, 16);
        Calls[At] = Target;
        Names[At] = M[4];
    }
    return Calls;
}

// What the compiler's assembler output says per routine: the distinct
// entries of each jump table, and the distinct landing pads.
struct TAsmFacts {
    std::map<std::string, std::vector<std::set<std::string>>> Tables;
    std::map<std::string, std::set<std::string>> Pads;
};

TAsmFacts ReadAsm(const std::string& Text)
{
    TAsmFacts F;
    std::set<std::string> Functions;
    std::map<std::string, std::string> ByNumber; // .LFB<n> -> routine
    std::map<std::string, std::map<std::string, std::set<std::string>>> Tables;
    std::string Current, Lsda;
    bool InCallSites = false;
    std::vector<std::string> Values;
    static const std::regex Type(R"(^\s*\.type\s+([^,]+),\s*@function)");
    static const std::regex Label(R"(^([^\s:]+):\s*$)");
    static const std::regex Long(R"(^\s*\.long\s+(\.L\w+)-(\.L\w+)\s*$)");
    static const std::regex Uleb(R"(^\s*\.uleb128\s+(\S+))");
    for (const std::string& L : SplitLines(Text)) {
        std::smatch M;
        if (std::regex_search(L, M, Type)) {
            Functions.insert(M[1]);
            continue;
        }
        if (std::regex_match(L, M, Label)) {
            std::string Name = M[1];
            if (Functions.count(Name))
                Current = Name;
            else if (Name.starts_with(".LFB"))
                ByNumber[Name.substr(4)] = Current;
            else if (Name.starts_with(".LLSDACSB") || Name.starts_with(".LLSDACSBC"))
                InCallSites = true, Values.clear();
            else if (Name.starts_with(".LLSDACSE"))
                InCallSites = false;
            else if (Name.starts_with(".LLSDAC") && !Name.starts_with(".LLSDACS"))
                Lsda = ByNumber[Name.substr(7)] + ".cold";
            else if (Name.starts_with(".LLSDA") && !Name.starts_with(".LLSDAT") &&
                     !Name.starts_with(".LLSDACS"))
                Lsda = ByNumber[Name.substr(6)];
            continue;
        }
        if (std::regex_match(L, M, Long)) {
            Tables[Current][M[2]].insert(M[1]);
            continue;
        }
        if (InCallSites && std::regex_search(L, M, Uleb)) {
            Values.push_back(M[1]);
            // start, length, landing pad, action
            if (Values.size() % 4 == 3 && Values.back() != "0")
                F.Pads[Lsda].insert(Values.back().substr(0, Values.back().find('-')));
        }
    }
    for (auto& [Name, ByTable] : Tables)
        for (auto& [Table, Entries] : ByTable)
            F.Tables[Name].push_back(Entries);
    return F;
}

class CrashlibFuncParser : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Temp = std::make_unique<TempFolder>();
        TempFolder::Write(Temp->Path("lib.cpp"), LibrarySource);
        const std::string Flags = " -O2 -fPIC -fstack-protector-strong -fno-omit-frame-pointer ";
        std::string Dir = Temp->Path();
        Built = std::system(("cd " + Dir + " && g++" + Flags + "-shared -o lib.so lib.cpp && g++" +
                             Flags + "-S -o lib.s lib.cpp")
                                .c_str()) == 0;
        if (!Built)
            return;
        Handle = dlopen(Temp->Path("lib.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        link_map* Map = nullptr;
        if (Handle == nullptr || dlinfo(Handle, RTLD_DI_LINKMAP, &Map) != 0) {
            Built = false;
            return;
        }
        Bias = Map->l_addr;
        auto File = TElfFile::Open(Temp->Path("lib.so"));
        const TElfSection* Text = File ? File->FindSection(".text") : nullptr;
        if (!Text) {
            Built = false;
            return;
        }
        for (const TElfSymbol& S : File->Symbols(false))
            if (S.Type == 2 && S.Size > 0 && S.Value >= Text->Addr &&
                S.Value < Text->Addr + Text->Size)
                Routines[S.Name] = S;
        Calls = ObjdumpCalls(Temp->Path("lib.so"), CallNames);
        Asm = ReadAsm(TempFolder::Read(Temp->Path("lib.s")));
    }
    static void TearDownTestSuite()
    {
        // The library stays loaded: code of it may still be named somewhere.
        Temp.reset();
    }
    void SetUp() override { ASSERT_TRUE(Built) << "g++ or dlopen failed"; }

    static TFunctionInfo Parse(const std::string& Name)
    {
        TFunctionInfo Info;
        auto It = Routines.find(Name);
        EXPECT_NE(It, Routines.end()) << Name;
        if (It != Routines.end())
            ParseFunction(Bias + It->second.Value, Info);
        return Info;
    }

    static inline std::unique_ptr<TempFolder> Temp;
    static inline bool Built = false;
    static inline void* Handle = nullptr;
    static inline uint64_t Bias = 0;
    static inline std::map<std::string, TElfSymbol> Routines;
    static inline TCallMap Calls;
    static inline std::map<uint64_t, std::string> CallNames; // objdump's "<abort@plt>"
    static inline TAsmFacts Asm;
};

TEST_F(CrashlibFuncParser, EveryRoutineLiesInsideItsSymbolAndCallsWhatObjdumpShows)
{
    ASSERT_GE(Routines.size(), 10u);
    for (const auto& [Name, Sym] : Routines) {
        SCOPED_TRACE(Name);
        TFunctionInfo Info = Parse(Name);
        ASSERT_TRUE(Info.Valid) << Info.Text;
        EXPECT_GE(Info.CodeBegin, Bias + Sym.Value);
        EXPECT_LE(Info.CodeBegin + Info.CodeLength, Bias + Sym.Value + Sym.Size);
        TCallMap Ours, Theirs;
        for (const TFunctionCall& C : Info.Calls)
            if (C.IsCall)
                Ours[C.Start - Bias] = C.Relative ? C.Target - Bias : 0;
        for (auto It = Calls.lower_bound(Sym.Value);
             It != Calls.end() && It->first < Sym.Value + Sym.Size; ++It)
            Theirs.insert(*It);
        EXPECT_EQ(Ours, Theirs);
        // Between the areas lies at most the padding that aligns a block.
        std::vector<std::pair<uint64_t, uint64_t>> Spans;
        for (const TCodeArea& A : Info.CodeAreas)
            Spans.emplace_back(A.Start, A.End);
        std::sort(Spans.begin(), Spans.end());
        for (size_t K = 1; K < Spans.size(); K++) {
            EXPECT_GT(Spans[K].first, Spans[K - 1].second) << std::hex << Spans[K].first;
            EXPECT_LT(Spans[K].first - Spans[K - 1].second - 1, 16u) << std::hex << Spans[K].first;
        }
    }
}

TEST_F(CrashlibFuncParser, EachJumpTableGivesOneAreaPerDistinctEntry)
{
    size_t Tables = 0;
    for (const auto& [Name, Sym] : Routines) {
        SCOPED_TRACE(Name);
        TFunctionInfo Info = Parse(Name);
        ASSERT_TRUE(Info.Valid) << Info.Text;
        std::multiset<size_t> Ours, Theirs;
        for (const TCaseTable& C : Info.CaseTables) {
            std::set<uint64_t> Distinct(C.Targets.begin(), C.Targets.end());
            Ours.insert(Distinct.size());
            for (uint64_t T : Distinct)
                EXPECT_TRUE(std::any_of(Info.CodeAreas.begin(), Info.CodeAreas.end(),
                                        [&](const TCodeArea& A) { return A.Start == T; }))
                    << std::hex << T;
        }
        for (const auto& Entries : Asm.Tables[Name])
            Theirs.insert(Entries.size());
        EXPECT_EQ(Ours, Theirs);
        Tables += Theirs.size();
    }
    EXPECT_GE(Tables, 3u); // dense and both of twoSwitches
}

TEST_F(CrashlibFuncParser, EveryLandingPadIsAnArea)
{
    size_t Pads = 0;
    for (const auto& [Name, Sym] : Routines) {
        SCOPED_TRACE(Name);
        TFunctionInfo Info = Parse(Name);
        ASSERT_TRUE(Info.Valid) << Info.Text;
        EXPECT_EQ(Info.LandingPads.size(), Asm.Pads[Name].size());
        for (uint64_t P : Info.LandingPads) {
            EXPECT_TRUE(std::any_of(Info.CodeAreas.begin(), Info.CodeAreas.end(),
                                    [&](const TCodeArea& A) { return A.Start == P; }))
                << std::hex << P;
            EXPECT_GE(P, Info.CodeBegin);
            EXPECT_LT(P, Info.CodeBegin + Info.CodeLength);
        }
        Pads += Info.LandingPads.size();
    }
    EXPECT_GE(Pads, 3u);
}

TEST_F(CrashlibFuncParser, CallsThatNeverReturnEndTheirArea)
{
    // By objdump's names of the linkage-table entries: a call of a routine
    // that never returns is the last instruction of its area; after any
    // other call the area goes on.
    auto NeverReturns = [](const std::string& Name) {
        for (const char* N : {"abort@plt", "exit@plt", "__cxa_throw@plt", "_Unwind_Resume@plt",
                              "__stack_chk_fail@plt", "__cxa_rethrow@plt"})
            if (Name == N)
                return true;
        return Name.starts_with("_ZSt") && Name.find("__throw_") != std::string::npos;
    };
    size_t Ending = 0, Going = 0;
    for (const auto& [Name, Sym] : Routines) {
        SCOPED_TRACE(Name);
        TFunctionInfo Info = Parse(Name);
        ASSERT_TRUE(Info.Valid) << Info.Text;
        for (const TFunctionCall& C : Info.Calls) {
            if (!C.IsCall)
                continue;
            const std::string& Callee = CallNames[C.Start - Bias];
            bool Ends = std::any_of(Info.CodeAreas.begin(), Info.CodeAreas.end(),
                                    [&](const TCodeArea& A) { return A.End + 1 == C.Next; });
            bool Inside =
                std::any_of(Info.CodeAreas.begin(), Info.CodeAreas.end(), [&](const TCodeArea& A) {
                    return C.Next > A.Start && C.Next <= A.End;
                });
            if (NeverReturns(Callee)) {
                EXPECT_TRUE(Ends && !Inside) << Callee << std::hex << " at " << C.Start - Bias;
                Ending++;
            } else if (!Callee.empty() && Callee != "_Z4faili") {
                EXPECT_TRUE(Inside || Ends) << Callee << std::hex << " at " << C.Start - Bias;
                Going++;
            }
        }
    }
    EXPECT_GE(Ending, 6u);
    EXPECT_GE(Going, 10u);

    EXPECT_TRUE(IsNoReturnName("__cxa_throw"));
    EXPECT_TRUE(IsNoReturnName("_ZSt20__throw_length_errorPKc"));
    EXPECT_TRUE(IsNoReturnName("std::__throw_bad_alloc()"));
    EXPECT_TRUE(IsNoReturnName("exit@GLIBC_2.2.5"));
    EXPECT_FALSE(IsNoReturnName("_ZSt4cout"));
    EXPECT_FALSE(IsNoReturnName("exit_group_helper"));
    EXPECT_FALSE(IsNoReturnName("_ZSt3__throw_x")); // the number says "__t"
}

TEST_F(CrashlibFuncParser, UnwindEntriesCoverTheirRoutines)
{
    TProcessCodeReader Memory;
    for (const auto& [Name, Sym] : Routines) {
        SCOPED_TRACE(Name);
        TUnwindEntry E;
        ASSERT_TRUE(FindUnwindEntry(Bias + Sym.Value + Sym.Size / 2, E, Memory));
        EXPECT_EQ(E.Begin, Bias + Sym.Value);
        EXPECT_EQ(E.End, Bias + Sym.Value + Sym.Size);
    }
    TUnwindEntry None;
    EXPECT_FALSE(FindUnwindEntry(reinterpret_cast<uint64_t>(&Bias), None, Memory));
}

TEST_F(CrashlibFuncParser, ASnapshotOfTheAddressSpaceGivesTheSameParse)
{
    TDATryRead Snapshot = GetReadableRanges();
    for (const char* Name : {"_Z5densei", "_Z12guardedCounti", "_Z8cleanupsi"}) {
        SCOPED_TRACE(Name);
        uint64_t Entry = Bias + Routines.at(Name).Value;
        TFunctionInfo Fresh, Through;
        ParseFunction(Entry, Fresh);
        ParseFunctionEx(Entry, &Snapshot, 0, 0, 0, 0, 0, Through);
        ASSERT_TRUE(Fresh.Valid && Through.Valid);
        ASSERT_EQ(Fresh.CodeAreas.size(), Through.CodeAreas.size());
        for (size_t K = 0; K < Fresh.CodeAreas.size(); K++) {
            EXPECT_EQ(Fresh.CodeAreas[K].Start, Through.CodeAreas[K].Start);
            EXPECT_EQ(Fresh.CodeAreas[K].End, Through.CodeAreas[K].End);
        }
        EXPECT_EQ(Fresh.Calls.size(), Through.Calls.size());
        EXPECT_EQ(Fresh.LandingPads, Through.LandingPads);
        EXPECT_EQ(Fresh.Patchable, Through.Patchable);
        EXPECT_EQ(Fresh.Copy.Size, Through.Copy.Size);
    }
    FreeReadableRanges(Snapshot);
    // A snapshot without the routine's pages: the entry is not committed memory.
    TDATryRead Empty;
    TFunctionInfo None;
    ParseFunctionEx(Bias + Routines.at("_Z5densei").Value, &Empty, 0, 0, 0, 0, 0, None);
    EXPECT_FALSE(None.Valid);
    EXPECT_EQ(None.ErrorCode, FuncErrorNotCommitted);
}

TEST_F(CrashlibFuncParser, AnAddressThatIsNotMappedFails)
{
    TFunctionInfo Info;
    ParseFunction(0x10, Info);
    EXPECT_FALSE(Info.Valid);
    EXPECT_EQ(Info.ErrorCode, FuncErrorNotCommitted);
    EXPECT_EQ(Info.ErrorAddress, 0x10u);
    EXPECT_EQ(Info.Text, "Invalid argument");
    std::string Text;
    ParseFunctionText(0x10, Text, 0, Info, true, 0);
    EXPECT_EQ(Text, "Invalid argument");
}

TEST_F(CrashlibFuncParser, TheListingOfALibraryRoutineMarksTheCrashLine)
{
    const TElfSymbol& Sym = Routines.at("_Z5densei");
    uint64_t Entry = Bias + Sym.Value;
    TFunctionInfo Info;
    ParseFunction(Entry, Info);
    ASSERT_TRUE(Info.Valid);
    ASSERT_GE(Info.CodeAreas.size(), 3u);
    uint64_t Crash = Info.CodeAreas[2].Start;
    std::string Text;
    // The crash library alone links no disassembler into the report.
    EXPECT_EQ(DisAsmListingHook.load(), nullptr);
    ParseFunctionText(Entry, Text, Crash, Info, true, 0);
    ASSERT_TRUE(Info.Valid);
    EXPECT_EQ(Info.Text, Text);
    std::vector<std::string> Lines;
    for (size_t P = 0, Q; P <= Text.size(); P = Q + 2) {
        Q = Text.find("\r\n", P);
        if (Q == std::string::npos)
            Q = Text.size();
        Lines.push_back(Text.substr(P, Q - P));
    }
    char Hex[32];
    std::snprintf(Hex, sizeof Hex, "%016llx", static_cast<unsigned long long>(Entry));
    EXPECT_EQ(Lines[0], std::string(Hex) + " public dense(int):  ; function entry point");
    std::snprintf(Hex, sizeof Hex, "%016llx", static_cast<unsigned long long>(Crash));
    int Marked = 0;
    for (const std::string& L : Lines)
        if (L.size() > 17 && L[17] == '>') {
            Marked++;
            EXPECT_EQ(L.substr(0, 16), Hex);
        }
    EXPECT_EQ(Marked, 1);
    // Every area but the entry has its label, and the jumps inside use them.
    for (const TCodeArea& A : Info.CodeAreas) {
        if (A.Start == Entry)
            continue;
        std::snprintf(Hex, sizeof Hex, "%016llx", static_cast<unsigned long long>(A.Start));
        EXPECT_NE(Text.find(std::string(Hex) + " loc_" + Hex + ":"), std::string::npos) << Hex;
    }
    EXPECT_NE(Text.find("  dd loc_"), std::string::npos);
    EXPECT_NE(Text.find("; case jump table"), std::string::npos);
    EXPECT_NE(Text.find("sink"), std::string::npos); // the call's comment
    // Branch targets inside the routine are labels; those outside stay numbers.
    EXPECT_NE(Text.find("ja loc_"), std::string::npos);
    for (const std::string& L : Lines) {
        size_t At = L.find("($");
        if (At == std::string::npos)
            continue;
        uint64_t Target = std::stoull(L.substr(At + 2), nullptr, 16);
        EXPECT_FALSE(Target >= Info.CodeBegin && Target < Info.CodeBegin + Info.CodeLength) << L;
    }
    EXPECT_NE(Text.substr(Text.size() - 2), "\r\n");
}

} // namespace
