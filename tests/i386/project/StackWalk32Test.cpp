// The stack walk built for 32-bit x86 and run natively: the 32-bit crash
// program (-O2, no frame pointers) and walks of this test's own thread, with
// 4-byte slots and the 32-bit call forms.
#include "crashlib/kelStackTrace.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ProgramLines()
{
    std::vector<std::string> Lines;
    FILE* F = popen(CRASH32_PROGRAM, "r");
    if (F == nullptr)
        return Lines;
    char Buffer[1024];
    while (fgets(Buffer, sizeof(Buffer), F) != nullptr) {
        std::string L = Buffer;
        while (!L.empty() && (L.back() == '\n' || L.back() == '\r'))
            L.pop_back();
        if (L == "end")
            break;
        Lines.push_back(L);
    }
    pclose(F);
    return Lines;
}

std::string LastWord(const std::string& L)
{
    const size_t Blank = L.rfind(' ');
    return Blank == std::string::npos ? L : L.substr(Blank + 1);
}

bool IsSubsequence(const std::vector<std::string>& Sub, const std::vector<std::string>& Full)
{
    size_t At = 0;
    for (const std::string& S : Full)
        if (At < Sub.size() && S == Sub[At])
            At++;
    return At == Sub.size();
}

} // namespace

TEST(CrashlibI386StackWalk, CrashProgramChainInnermostFirstInColumns)
{
    static_assert(sizeof(void*) == 4, "this test runs 32-bit code natively");
    const auto Lines = ProgramLines();
    ASSERT_GE(Lines.size(), 6u);
    std::vector<std::string> Names;
    const size_t Column = Lines[0].rfind(' ') + 1;
    for (const std::string& L : Lines) {
        // 8 hex digits, then the columns; every routine name in one column.
        ASSERT_GT(L.size(), 9u) << L;
        EXPECT_EQ(L.find_first_not_of("0123456789abcdef"), 8u) << L;
        EXPECT_EQ(L[8], ' ') << L;
        EXPECT_EQ(L.rfind(' ') + 1, Column) << L;
        Names.push_back(LastWord(L));
    }
    EXPECT_EQ(Names.front(), "c32_compare");
    EXPECT_TRUE(IsSubsequence(
        {"c32_compare", "c32_inner", "c32_via_pointer", "c32_recurse", "c32_level1", "main"},
        Names));
    // Twenty-one calls of one routine: the repeats are folded.
    EXPECT_LT(std::count(Names.begin(), Names.end(), "c32_recurse"), 5);
}

TEST(CrashlibI386StackWalk, CrashProgramChainFollowsGdbs)
{
    FILE* Probe = popen("command -v gdb", "r");
    char Found[256] = {};
    const bool HaveGdb = Probe != nullptr && fgets(Found, sizeof(Found), Probe) != nullptr;
    if (Probe != nullptr)
        pclose(Probe);
    if (!HaveGdb)
        GTEST_SKIP() << "gdb is not installed";
    // gdb's backtrace at the crash: "#N  0x... in name (" or "#N  name (".
    std::vector<std::string> Gdb;
    FILE* F =
        popen(("timeout 60 gdb -batch -nx -ex run -ex bt " + std::string(CRASH32_PROGRAM) + " 2>&1")
                  .c_str(),
              "r");
    ASSERT_NE(F, nullptr);
    char Buffer[1024];
    while (fgets(Buffer, sizeof(Buffer), F) != nullptr) {
        std::string L = Buffer;
        if (L.empty() || L[0] != '#')
            continue;
        std::string Rest = L.substr(L.find(' '));
        if (const size_t In = Rest.find(" in "); In != std::string::npos && Rest.find("0x") < In)
            Rest = Rest.substr(In + 4);
        const size_t First = Rest.find_first_not_of(' ');
        const size_t End = Rest.find(" (", First);
        if (First == std::string::npos || End == std::string::npos)
            continue;
        const std::string N = Rest.substr(First, End - First);
        if (N.rfind("c32_", 0) == 0 || N == "main")
            Gdb.push_back(N);
    }
    pclose(F);
    ASSERT_EQ(Gdb.size(), 26u); // compare, inner, via_pointer, 21 x recurse, level1, main
    std::vector<std::string> Ours;
    for (const std::string& L : ProgramLines()) {
        const std::string N = LastWord(L);
        if (N.rfind("c32_", 0) == 0 || N == "main")
            Ours.push_back(N);
    }
    // Scan-and-link keeps gdb's chain in order, with the recursion folded,
    // and leaves out none of its routines.
    EXPECT_TRUE(IsSubsequence(Ours, Gdb));
    std::vector<std::string> A = Ours, B = Gdb;
    A.erase(std::unique(A.begin(), A.end()), A.end());
    B.erase(std::unique(B.begin(), B.end()), B.end());
    EXPECT_EQ(A, B);
}

namespace {
volatile int Sink = 0;

extern "C" __attribute__((noinline)) void t32_inner(uint32_t Flags, TStackTrace* Trace)
{
    CalcStackTrace(nullptr, Flags, nullptr, nullptr, *Trace);
    Sink = Sink + 1;
}

extern "C" __attribute__((noinline)) void t32_outer(uint32_t Flags, TStackTrace* Trace)
{
    t32_inner(Flags, Trace);
    Sink = Sink + 1;
}
} // namespace

TEST(CrashlibI386StackWalk, OwnThreadByFrameChainAndByScan)
{
    for (uint32_t Flags : {swNoScan, swNoFramePointer}) {
        TStackTrace Trace;
        t32_outer(Flags, &Trace);
        std::vector<std::string> Names;
        for (const TStackItem& It : Trace) {
            std::string N(It.RoutineName.begin(), It.RoutineName.end());
            Names.push_back(N.substr(0, N.find('(')));
        }
        ASSERT_FALSE(Names.empty());
        EXPECT_EQ(Names[0], "t32_inner");
        EXPECT_TRUE(IsSubsequence({"t32_inner", "t32_outer"}, Names))
            << StackTraceToStr(Trace, false, false);
        for (size_t I = 1; I < Trace.size(); I++)
            EXPECT_EQ(Trace[I].Source,
                      Flags == swNoScan ? TFrameSource::FramePointer : TFrameSource::Scan);
    }
}

TEST(CrashlibI386StackWalk, ReturnAddressesOfThisProgram)
{
    const auto Ret = reinterpret_cast<uintptr_t>(__builtin_return_address(0));
    uintptr_t Call = 0;
    ASSERT_TRUE(IsReturnAddress(Ret, nullptr, &Call));
    EXPECT_GE(Ret - Call, 2u);
    EXPECT_LE(Ret - Call, 7u);
    // The address of a routine's first byte follows no call.
    EXPECT_FALSE(IsReturnAddress(reinterpret_cast<uintptr_t>(&t32_outer), nullptr));
}
