// The function parser on 32-bit routines written in assembler the way the
// 32-bit compiler and its runtime library lay out code: case tables right
// behind their jump, guarded blocks whose handlers only the exception frame
// leads to, handler tables behind a jump to the runtime, a halt routine that
// never returns. The routines are assembled with `as --32` and linked at a
// fixed address with `ld -m elf_i386`; the parser reads the linked bytes.
#include "crashlib/kelElfImage.h"
#include "crashlib/kelFuncParser.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr const char* Routines = R"(
.intel_syntax noprefix
.text
.globl _start
_start:
HaltRoutine: ret
AnyExc: ret
OnExc: ret
FinallyExc: ret
Helper: ret

.balign 16
onejump:
    jmp 0x12345678

.balign 16
casejump:
    push ebp
    mov ebp, esp
    mov eax, [ebp+8]
    cmp eax, 4
    ja 1f
    jmp dword ptr [eax*4 + table1]
table1:
    .long c0, c1, c2, c1, c0
c0: mov eax, 10
    pop ebp
    ret
c1: mov eax, 11
    pop ebp
    ret
c2: call Helper
    pop ebp
    ret
1:  xor eax, eax
    pop ebp
    ret

.balign 16
guarded:
    push ebp
    mov ebp, esp
    xor eax, eax
    push ebp
    push OFFSET handler1
    push dword ptr fs:[eax]
    mov fs:[eax], esp
    call Helper
    xor eax, eax
    pop edx
    pop ecx
    pop ecx
    mov fs:[eax], edx
    jmp after1
handler1:
    jmp AnyExc
except1:
    call Helper
    jmp after1
after1:
    pop ebp
    ret

.balign 16
guarded2:
    push ebp
    mov ebp, esp
    xor eax, eax
    push ebp
    push OFFSET handler2
    push dword ptr fs:[eax]
    mov fs:[eax], esp
    call Helper
    xor eax, eax
    pop edx
    pop ecx
    pop ecx
    mov fs:[eax], edx
    jmp after2
handler2:
    jmp OnExc
table2:
    .long 2
    .long ClassVmt, on1
    .long 0, on2
on1: call Helper
    jmp after2
on2: call Helper
    jmp after2
after2:
    pop ebp
    ret

.balign 16
guarded3:
    push ebp
    mov ebp, esp
    xor eax, eax
    push ebp
    push OFFSET handler3
    push dword ptr fs:[0]
    mov fs:[0], esp
    call Helper
    pop ebp
    ret
handler3:
    jmp OnExc
    .long 300
    .long 0, on3
on3: ret

.balign 16
fin:
    push ebp
    mov ebp, esp
    xor eax, eax
    push ebp
    push OFFSET fhandler
    push dword ptr fs:[eax]
    mov fs:[eax], esp
    call Helper
    xor eax, eax
    pop edx
    pop ecx
    pop ecx
    mov fs:[eax], edx
    push OFFSET fafter
ffinally:
    call Helper
    ret
fhandler:
    jmp FinallyExc
    jmp ffinally
fafter:
    pop ebp
    ret

.balign 16
halt1:
    test eax, eax
    jz 2f
    call HaltRoutine
afterhalt1:
    mov eax, 5
    ret
    .fill 100, 1, 0x90
2:  xor eax, eax
    ret

.balign 16
halt2:
    test eax, eax
    jz 2f
    call HaltRoutine
afterhalt2:
    mov eax, 5
    ret
    .fill 1100, 1, 0x90
2:  xor eax, eax
    ret

.balign 16
caseout:
    cmp eax, 2
    ja 3f
    jmp dword ptr [eax*4 + table4]
table4:
    .long d0, 0x7ffff000, d1
d0: ret
d1: ret
3:  ret

.balign 16
shortloop:
    nop
    jecxz 5f
    mov eax, 1
5:  ret

.balign 16
shortjz:
    nop
    jz 5f
    mov eax, 1
5:  ret

.balign 16
regjump:
    mov eax, OFFSET rj1
    call Helper
    jmp eax
    int3
rj1:
    call ecx
    ret

.balign 16
cetroutine:
    endbr32
    push ebp
    mov ebp, esp
    pop ebp
    test eax, eax
    jz 7f
    ud2
7:  ret

.balign 16
ClassName: .byte 8
    .ascii "EMyError"
.balign 4
VmtName: .long ClassName
    .fill 40, 1, 0
ClassVmt: .long 0

.balign 16
e0: ret
e1: ret
casecut:
    cmp eax, 4
    ja e0
    jmp dword ptr [eax*4 + table5]
table5:
    .long e0, e1, e0, e1, e0
)";

// A linked 32-bit program: its loaded bytes and its symbols.
class TLinked32 {
public:
    bool Build(const TempFolder& Temp)
    {
        TempFolder::Write(Temp.Path("r.s"), Routines);
        std::string Dir = Temp.Path();
        if (std::system(("cd " + Dir + " && as --32 -o r.o r.s && ld -m elf_i386 -Ttext=0x401000 " +
                         "-e _start -o r r.o")
                            .c_str()) != 0)
            return false;
        Bytes = TempFolder::Read(Temp.Path("r"));
        auto File = TElfFile::Open(Temp.Path("r"));
        if (!File)
            return false;
        const TElfSection* Text = File->FindSection(".text");
        if (!Text)
            return false;
        TextStart = Text->Addr;
        TextBytes = *File->ReadSection(*Text);
        for (const TElfSymbol& S : File->Symbols(false))
            if (!S.Name.empty())
                Symbols[S.Name] = S.Value;
        return true;
    }
    uint64_t operator[](const std::string& Name) const
    {
        auto It = Symbols.find(Name);
        EXPECT_NE(It, Symbols.end()) << Name;
        return It == Symbols.end() ? 0 : It->second;
    }
    // The setup for a routine: the .text section as the module's code,
    // optionally cut short at End.
    TParseSetup Setup(uint64_t End = 0) const
    {
        TParseSetup S;
        S.Mode = TCpuMode::x86;
        size_t Size = TextBytes.size();
        if (End)
            Size = static_cast<size_t>(End - TextStart);
        S.Memory = std::make_shared<TBufferCodeReader>(
            TextStart, reinterpret_cast<const uint8_t*>(TextBytes.data()), Size);
        S.BoundsLow = TextStart;
        S.BoundsHigh = TextStart + Size - 1;
        S.Handlers.Halt = (*this)["HaltRoutine"];
        S.Handlers.AnyException = (*this)["AnyExc"];
        S.Handlers.OnException = (*this)["OnExc"];
        S.Handlers.Finally = (*this)["FinallyExc"];
        return S;
    }

    std::string Bytes, TextBytes;
    uint64_t TextStart = 0;
    std::map<std::string, uint64_t> Symbols;
};

class CrashlibFuncParser32 : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Temp = std::make_unique<TempFolder>();
        Image = std::make_unique<TLinked32>();
        Built = Image->Build(*Temp);
    }
    static void TearDownTestSuite()
    {
        Image.reset();
        Temp.reset();
    }
    void SetUp() override { ASSERT_TRUE(Built) << "as --32 / ld -m elf_i386 failed"; }

    static TFunctionInfo Parse(const std::string& Name, const TParseSetup& Setup)
    {
        TFunctionInfo Info;
        ParseFunctionIn((*Image)[Name], Setup, Info);
        return Info;
    }
    static TFunctionInfo Parse(const std::string& Name) { return Parse(Name, Image->Setup()); }

    static const TCodeArea* AreaAt(const TFunctionInfo& Info, uint64_t Start)
    {
        for (const TCodeArea& A : Info.CodeAreas)
            if (A.Start == Start)
                return &A;
        return nullptr;
    }
    static bool HasArea(const TFunctionInfo& Info, const std::string& Label)
    {
        return AreaAt(Info, (*Image)[Label]) != nullptr;
    }

    static inline std::unique_ptr<TempFolder> Temp;
    static inline std::unique_ptr<TLinked32> Image;
    static inline bool Built = false;
};

TEST_F(CrashlibFuncParser32, ARoutineThatOnlyJumpsHasOneAreaAndCannotBePatched)
{
    TFunctionInfo Info = Parse("onejump");
    ASSERT_TRUE(Info.Valid) << Info.Text;
    ASSERT_EQ(Info.CodeAreas.size(), 1u);
    EXPECT_EQ(Info.CodeAreas[0].Start, (*Image)["onejump"]);
    EXPECT_EQ(Info.CodeAreas[0].End, (*Image)["onejump"] + 4);
    EXPECT_EQ(Info.CodeLength, 5u);
    ASSERT_EQ(Info.Calls.size(), 1u);
    EXPECT_FALSE(Info.Calls[0].IsCall);
    EXPECT_EQ(Info.Calls[0].Target, 0x12345678u);
    EXPECT_EQ(Info.Calls[0].TargetLocation, (*Image)["onejump"] + 1);
    EXPECT_FALSE(Info.Patchable);
    EXPECT_EQ(Info.Copy.Started, 1u);
    EXPECT_EQ(Info.Copy.Size, 5u + 4u);
}

TEST_F(CrashlibFuncParser32, ACaseTableIsDataAndEachDistinctEntryOneArea)
{
    TFunctionInfo Info = Parse("casejump");
    ASSERT_TRUE(Info.Valid) << Info.Text;
    const TCodeArea* Table = AreaAt(Info, (*Image)["table1"]);
    ASSERT_NE(Table, nullptr);
    EXPECT_TRUE(Table->CaseTable);
    EXPECT_FALSE(Table->HandlerTable);
    EXPECT_EQ(Table->End, (*Image)["table1"] + 5 * 4 - 1);
    // Five entries, three distinct targets; each is an area entered from the jump.
    int CaseAreas = 0;
    for (const TCodeArea& A : Info.CodeAreas)
        CaseAreas += !A.IsData() && A.Referrer == (*Image)["table1"] - 7;
    EXPECT_EQ(CaseAreas, 3);
    for (const char* L : {"c0", "c1", "c2"})
        EXPECT_TRUE(HasArea(Info, L)) << L;
    ASSERT_EQ(Info.CaseTables.size(), 1u);
    EXPECT_EQ(Info.CaseTables[0].Targets.size(), 5u);
    // The whole routine is covered, up to the default's ret.
    EXPECT_EQ(Info.CodeBegin, (*Image)["casejump"]);
    EXPECT_EQ(Info.CodeBegin + Info.CodeLength, (*Image)["c2"] + 7 + 4);
    EXPECT_EQ(Info.Calls.size(), 1u); // call Helper in c2
    EXPECT_TRUE(Info.Patchable);      // push ebp; mov ebp, esp; mov eax, [ebp+8]
}

TEST_F(CrashlibFuncParser32, AGuardedBlockGivesItsHandlerAndExceptBlockAsAreas)
{
    TFunctionInfo Info = Parse("guarded");
    ASSERT_TRUE(Info.Valid) << Info.Text;
    const TCodeArea* Handler = AreaAt(Info, (*Image)["handler1"]);
    ASSERT_NE(Handler, nullptr);
    EXPECT_FALSE(Handler->IsData());
    const TCodeArea* Except = AreaAt(Info, (*Image)["except1"]);
    ASSERT_NE(Except, nullptr);
    EXPECT_EQ(Except->Referrer, (*Image)["handler1"]); // the jump to the runtime
    EXPECT_TRUE(HasArea(Info, "after1"));

    // Without the runtime's handler address the except block is only found
    // as code close below other code. (Bounds of the routine alone: else the
    // jump to the handler routine, inside the module, would draw it and all
    // code between into the routine.)
    TParseSetup Plain = Image->Setup();
    Plain.Handlers.AnyException = 0;
    Plain.BoundsLow = (*Image)["guarded"];
    Plain.BoundsHigh = (*Image)["after1"] + 1;
    TFunctionInfo Without = Parse("guarded", Plain);
    ASSERT_TRUE(Without.Valid) << Without.Text;
    EXPECT_TRUE(HasArea(Without, "handler1"));
    Except = AreaAt(Without, (*Image)["except1"]);
    ASSERT_NE(Except, nullptr);
    EXPECT_EQ(Except->Referrer, 0u);
    uint64_t AnyExc = (*Image)["AnyExc"];
    EXPECT_TRUE(
        std::any_of(Without.Calls.begin(), Without.Calls.end(), [&](const TFunctionCall& C) {
            return !C.IsCall && C.Target == AnyExc && C.Start == (*Image)["handler1"];
        }));
}

TEST_F(CrashlibFuncParser32, AHandlerTableIsDataAndItsHandlersAreas)
{
    TFunctionInfo Info = Parse("guarded2");
    ASSERT_TRUE(Info.Valid) << Info.Text;
    const TCodeArea* Table = AreaAt(Info, (*Image)["table2"]);
    ASSERT_NE(Table, nullptr);
    EXPECT_TRUE(Table->HandlerTable);
    EXPECT_EQ(Table->End - Table->Start + 1, 4u + 8u * 2);
    EXPECT_TRUE(HasArea(Info, "on1"));
    EXPECT_TRUE(HasArea(Info, "on2"));

    // A count of 256 or more is not a table: nothing behind the jump is taken.
    TFunctionInfo Big = Parse("guarded3");
    ASSERT_TRUE(Big.Valid) << Big.Text;
    EXPECT_TRUE(HasArea(Big, "handler3")); // through push fs:[0] (7 bytes)
    for (const TCodeArea& A : Big.CodeAreas)
        EXPECT_FALSE(A.IsData());
    EXPECT_EQ(AreaAt(Big, (*Image)["on3"]), nullptr);
    EXPECT_EQ(Big.CodeBegin + Big.CodeLength, (*Image)["handler3"] + 5);
}

TEST_F(CrashlibFuncParser32, AFinallyBlockAndTheCodeAfterItAreAreas)
{
    TFunctionInfo Info = Parse("fin");
    ASSERT_TRUE(Info.Valid) << Info.Text;
    EXPECT_TRUE(HasArea(Info, "fhandler"));
    EXPECT_TRUE(HasArea(Info, "fafter")); // only the pushed return address leads there
    EXPECT_EQ(Info.CodeBegin + Info.CodeLength, (*Image)["fafter"] + 2);
}

TEST_F(CrashlibFuncParser32, CodeAfterTheHaltRoutineIsTakenOnlyCloseBelowFoundCode)
{
    TFunctionInfo Near = Parse("halt1");
    ASSERT_TRUE(Near.Valid) << Near.Text;
    const TCodeArea* After = AreaAt(Near, (*Image)["afterhalt1"]);
    ASSERT_NE(After, nullptr);
    EXPECT_EQ(After->Referrer, 0u);
    // Everything up to the final ret is covered (the filler too).
    EXPECT_EQ(Near.CodeBegin + Near.CodeLength, (*Image)["afterhalt1"] + 6 + 100 + 3);

    TFunctionInfo Far = Parse("halt2");
    ASSERT_TRUE(Far.Valid) << Far.Text;
    EXPECT_EQ(AreaAt(Far, (*Image)["afterhalt2"]), nullptr);
    EXPECT_EQ(Far.CodeAreas.size(), 2u);

    // Without knowing the halt routine, the code after the call is plain
    // fall-through.
    TParseSetup Plain = Image->Setup();
    Plain.Handlers.Halt = 0;
    TFunctionInfo Unknown = Parse("halt2", Plain);
    ASSERT_TRUE(Unknown.Valid) << Unknown.Text;
    ASSERT_FALSE(Unknown.CodeAreas.empty());
    EXPECT_EQ(Unknown.CodeAreas[0].End, (*Image)["afterhalt2"] + 5);
}

TEST_F(CrashlibFuncParser32, CaseEntriesOutsideTheBoundsOrBeyondReadableMemoryAreNotCode)
{
    TFunctionInfo Out = Parse("caseout");
    ASSERT_TRUE(Out.Valid) << Out.Text;
    ASSERT_EQ(Out.CaseTables.size(), 1u);
    EXPECT_EQ(Out.CaseTables[0].Targets.size(), 3u);
    EXPECT_EQ(AreaAt(Out, 0x7ffff000), nullptr);
    EXPECT_TRUE(HasArea(Out, "d0"));
    EXPECT_TRUE(HasArea(Out, "d1"));
    EXPECT_EQ(Out.CodeBegin + Out.CodeLength, (*Image)["d1"] + 2);

    // The table runs off the end of the readable code after two entries.
    TParseSetup Cut = Image->Setup((*Image)["table5"] + 8);
    TFunctionInfo Short = Parse("casecut", Cut);
    ASSERT_TRUE(Short.Valid) << Short.Text;
    ASSERT_EQ(Short.CaseTables.size(), 1u);
    EXPECT_EQ(Short.CaseTables[0].Targets.size(), 2u);
    const TCodeArea* Table = AreaAt(Short, (*Image)["table5"]);
    ASSERT_NE(Table, nullptr);
    EXPECT_EQ(Table->End, (*Image)["table5"] + 7);
    EXPECT_TRUE(HasArea(Short, "e0"));
    EXPECT_TRUE(HasArea(Short, "e1"));
}

TEST_F(CrashlibFuncParser32, AJumpThroughARegisterLoadedWithAnAddressIsResolved)
{
    TFunctionInfo Info = Parse("regjump");
    ASSERT_TRUE(Info.Valid) << Info.Text;
    uint64_t Jump = (*Image)["rj1"] - 3;
    const TCodeArea* Target = AreaAt(Info, (*Image)["rj1"]);
    ASSERT_NE(Target, nullptr);
    EXPECT_EQ(Target->Referrer, Jump);
    // The call through ecx stays open; the jump is open no more.
    ASSERT_EQ(Info.OpenBranches.size(), 1u);
    EXPECT_TRUE(Info.OpenBranches[0].IsCall);
    EXPECT_EQ(Info.OpenBranches[0].Start, (*Image)["rj1"]);
    for (const TFunctionCall& C : Info.Calls)
        EXPECT_NE(C.Start, Jump);
    EXPECT_EQ(Info.Calls.size(), 2u); // call Helper, call ecx
}

TEST_F(CrashlibFuncParser32, EndBranchAndTrapInstructionsOfNewerCompilers)
{
    TParseSetup Setup = Image->Setup();
    TFunctionInfo Info = Parse("cetroutine", Setup);
    ASSERT_TRUE(Info.Valid) << Info.Text;
    // ud2 ends the flow: the ret is reached by the jump alone.
    ASSERT_EQ(Info.CodeAreas.size(), 2u);
    EXPECT_EQ(Info.CodeAreas[0].End, (*Image)["cetroutine"] + 13);
    EXPECT_EQ(Info.CodeAreas[1].Referrer, (*Image)["cetroutine"] + 10);
    EXPECT_EQ(Info.CodeLength, 4u + 1 + 2 + 1 + 2 + 2 + 2 + 1);
    EXPECT_TRUE(Info.Patchable);
    std::string Text = ComposeFunctionListing(Info, Setup, 0, true, 0, {});
    char Line[32];
    std::snprintf(Line, sizeof Line, "\r\n%08llx   endbr32\r\n",
                  static_cast<unsigned long long>((*Image)["cetroutine"]));
    EXPECT_NE(Text.find(Line), std::string::npos) << Text;
    std::snprintf(Line, sizeof Line, "\r\n%08llx   ud2\r\n",
                  static_cast<unsigned long long>((*Image)["cetroutine"] + 12));
    EXPECT_NE(Text.find(Line), std::string::npos) << Text;
}

TEST_F(CrashlibFuncParser32, AShortBranchThatCannotBeWidenedForbidsPatching)
{
    TFunctionInfo Loop = Parse("shortloop");
    ASSERT_TRUE(Loop.Valid) << Loop.Text;
    EXPECT_FALSE(Loop.Patchable);
    TFunctionInfo Jz = Parse("shortjz");
    ASSERT_TRUE(Jz.Valid) << Jz.Text;
    EXPECT_TRUE(Jz.Patchable);
}

TEST_F(CrashlibFuncParser32, FailuresAreReported)
{
    // Too many areas for the limit.
    TParseSetup Small = Image->Setup();
    Small.MaxAreas = 3;
    TFunctionInfo Big = Parse("casejump", Small);
    EXPECT_FALSE(Big.Valid);
    EXPECT_EQ(Big.ErrorCode, FuncErrorTooLarge);
    EXPECT_EQ(Big.Text, FuncTextTooLarge);
    Small = Image->Setup();
    Small.MaxInstructions = 4;
    Big = Parse("casejump", Small);
    EXPECT_FALSE(Big.Valid);
    EXPECT_EQ(Big.ErrorCode, FuncErrorTooLarge);

    // Invalid code: 0F 04 is no instruction.
    const uint8_t Bad[] = {0x90, 0x0F, 0x04, 0xC3};
    TParseSetup B;
    B.Mode = TCpuMode::x86;
    B.Memory = std::make_shared<TBufferCodeReader>(0x1000, Bad, sizeof Bad);
    B.BoundsLow = 0x1000;
    B.BoundsHigh = 0x1003;
    TFunctionInfo Invalid;
    ParseFunctionIn(0x1000, B, Invalid);
    EXPECT_FALSE(Invalid.Valid);
    EXPECT_EQ(Invalid.ErrorCode, FuncErrorInvalidCode);
    EXPECT_EQ(Invalid.ErrorAddress, 0x1001u);
    EXPECT_EQ(Invalid.Text, "Invalid code!");

    // An entry that cannot be read.
    TFunctionInfo Missing;
    ParseFunctionIn(0x5000, B, Missing);
    EXPECT_FALSE(Missing.Valid);
    EXPECT_EQ(Missing.ErrorCode, FuncErrorNotCommitted);
    EXPECT_EQ(Missing.ErrorAddress, 0x5000u);
    EXPECT_EQ(Missing.Text, "Invalid argument");
}

} // namespace

namespace {

// Source lines of the listing test: one line per 8 bytes from the routine's
// start, and none before it.
uint64_t LinesBase = 0;
bool EightBytesPerLine(uintptr_t Address, uint32_t& Line, uintptr_t& RangeStart,
                       uintptr_t& RangeEnd)
{
    if (Address < LinesBase) {
        Line = 0;
        return false;
    }
    Line = static_cast<uint32_t>(40 + (Address - LinesBase) / 8);
    RangeStart = LinesBase + (Address - LinesBase) / 8 * 8;
    RangeEnd = RangeStart + 8;
    return true;
}

// The listing as reviewed: labels for the entry and every area, branch
// targets inside the routine as labels, the table's entries, separators
// where the flow of code ends, the crash marker and source line numbers.
constexpr const char* ExpectedListing = R"(00401020    public CaseJump:  ; function entry point
00401020  40  push ebp
00401021      mov ebp, esp
00401023      mov eax, [ebp+8]
00401026      cmp eax, 4
00401029  41  ja loc_0040105b
0040102b      jmp dword ptr [eax*4+$401032]
00401032    ; ---------------------------------------------------------

00401032      dd loc_00401046  ; case jump table
00401036      dd loc_0040104d
0040103a      dd loc_00401054
0040103e      dd loc_0040104d
00401042      dd loc_00401046
00401046    ; ---------------------------------------------------------

00401046    loc_00401046:
00401046  44  mov eax, $a
0040104b  45  pop ebp
0040104c      ret
0040104d    ; ---------------------------------------------------------

0040104d    loc_0040104d:
0040104d      mov eax, $b
00401052 >46  pop ebp
00401053      ret
00401054    ; ---------------------------------------------------------

00401054    loc_00401054:
00401054      call -$55 ($00401004)
00401059  47  pop ebp
0040105a      ret
0040105b    ; ---------------------------------------------------------

0040105b    loc_0040105b:
0040105b      xor eax, eax
0040105d      pop ebp
0040105e      ret)";

// Cut to about 5 lines before and after the crash line.
constexpr const char* ExpectedCutListing = R"([...]
0040104c  45  ret
0040104d    ; ---------------------------------------------------------

0040104d    loc_0040104d:
0040104d      mov eax, $b
00401052 >46  pop ebp
00401053      ret
00401054    ; ---------------------------------------------------------

00401054    loc_00401054:
00401054      call -$55 ($00401004)
[...])";

std::string WithCrLf(std::string_view Text)
{
    std::string Out;
    for (char C : Text) {
        if (C == '\n')
            Out += '\r';
        Out += C;
    }
    return Out;
}

TEST_F(CrashlibFuncParser32, ListingOfACaseRoutine)
{
    ASSERT_EQ(Image->TextStart, 0x401000u);
    TParseSetup Setup = Image->Setup();
    TFunctionInfo Info = Parse("casejump", Setup);
    ASSERT_TRUE(Info.Valid) << Info.Text;
    LinesBase = (*Image)["casejump"];
    TListingSources Sources;
    Sources.Lines = &EightBytesPerLine;
    Sources.Name = "CaseJump";
    uint64_t Crash = (*Image)["c1"] + 5;
    EXPECT_EQ(ComposeFunctionListing(Info, Setup, Crash, true, 0, Sources),
              WithCrLf(ExpectedListing));
    EXPECT_EQ(ComposeFunctionListing(Info, Setup, Crash, true, 5, Sources),
              WithCrLf(ExpectedCutListing));

    // Without names and lines: "sub_" and the plain columns; unformatted, the
    // branch shows its displacement and no separators are set.
    Sources = {};
    std::string Plain = ComposeFunctionListing(Info, Setup, Crash, false, 0, Sources);
    EXPECT_EQ(Plain.substr(0, Plain.find('\r')), "00401020 sub_00401020:  ; function entry point");
    EXPECT_NE(Plain.find("\r\n00401029   ja +$30 ($0040105b)\r\n"), std::string::npos);
    EXPECT_NE(Plain.find("\r\n00401052 > pop ebp\r\n"), std::string::npos);
    EXPECT_EQ(Plain.find("; ---"), std::string::npos);
    // A listing of a failed parse is its error text.
    TFunctionInfo Failed;
    ParseFunctionIn(0x12345678, Setup, Failed);
    EXPECT_EQ(ComposeFunctionListing(Failed, Setup, 0, true, 0, Sources), "Invalid argument");
}

// Code of the 32-bit C compiler: clang -m32 -O2 objects linked at a fixed
// address, the library routines that never return given addresses of their
// own. The jump tables lie in read-only data, outside the code.
constexpr const char* ClangSource = R"(extern int sink(int);
extern void abort(void) __attribute__((noreturn));
extern void exit(int) __attribute__((noreturn));
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
int checked(int n)
{
    if (n < 0)
        abort();
    if (n > 100)
        exit(2);
    return sink(n) + sink(n + 1);
}
int loops(int n)
{
    int t = 0;
    for (int i = 0; i < n; i++) {
        if (i % 3 == 0)
            t += sink(i);
        else
            t ^= i;
    }
    return t;
}
int twice(int a, int b)
{
    int r = 0;
    switch (a) {
    case 10: r = sink(1); break;
    case 11: r = sink(2); break;
    case 12: r = sink(3); break;
    case 13: r = sink(4); break;
    case 15: r = sink(5); break;
    default: r = 9;
    }
    switch (b) {
    case 0: return r + sink(r);
    case 1: return r * 5;
    case 2: return r - sink(7);
    case 3: return sink(r ^ 0x55);
    case 4: return sink(r + 1);
    default: return r;
    }
}
)";

// Reads the loaded segments of a linked file.
class TSegmentReader final : public TCodeReader {
public:
    TSegmentReader(std::string ABytes, std::vector<TElfSegment> ASegments)
        : Bytes(std::move(ABytes)), Segments(std::move(ASegments))
    {
    }
    bool TryRead(uint64_t Source, void* Dest, size_t Count) const override
    {
        for (const TElfSegment& S : Segments)
            if (S.Type == 1 && Source >= S.VAddr && Source + Count <= S.VAddr + S.FileSize) {
                std::memcpy(Dest, Bytes.data() + S.Offset + (Source - S.VAddr), Count);
                return true;
            }
        return false;
    }

private:
    std::string Bytes;
    std::vector<TElfSegment> Segments;
};

TEST(CrashlibFuncParserClang32, CRoutinesOfTheCCompilerAgainstObjdumpAndItsAssembler)
{
    TempFolder Temp;
    TempFolder::Write(Temp.Path("c.c"), ClangSource);
    TempFolder::Write(Temp.Path("s.c"), "int sink(int n) { return n * 7 + 1; }\n");
    std::string Dir = Temp.Path();
    ASSERT_EQ(std::system(("cd " + Dir +
                           " && clang -m32 -O2 -fno-pic -c c.c && clang -m32 -O2 -fno-pic -c s.c" +
                           " && clang -m32 -O2 -fno-pic -S -o c.s c.c" +
                           " && ld -m elf_i386 -Ttext=0x401000 -e dense" +
                           " --defsym=abort=0x400800 --defsym=exit=0x400810 -o c c.o s.o")
                              .c_str()),
              0);
    auto File = TElfFile::Open(Temp.Path("c"));
    ASSERT_TRUE(File);
    std::map<uint64_t, std::string> Names;
    std::map<std::string, TElfSymbol> CRoutines;
    for (const TElfSymbol& S : File->Symbols(false)) {
        Names[S.Value] = S.Name;
        if (S.Type == 2 && S.Size > 0)
            CRoutines[S.Name] = S;
    }
    ASSERT_EQ(CRoutines.size(), 5u);

    // objdump's calls and the compiler's jump tables.
    std::map<uint64_t, uint64_t> Calls;
    {
        std::string Out;
        FILE* P = popen(("objdump -d --no-show-raw-insn " + Temp.Path("c")).c_str(), "r");
        ASSERT_NE(P, nullptr);
        char Line[512];
        while (fgets(Line, sizeof Line, P)) {
            unsigned long long At = 0, Target = 0;
            char Mnemonic[16] = {};
            if (std::sscanf(Line, " %llx: %15s %llx", &At, Mnemonic, &Target) == 3 &&
                std::string(Mnemonic) == "call")
                Calls[At] = Target;
        }
        pclose(P);
    }
    std::map<std::string, std::vector<size_t>> Tables; // per routine, distinct entries per table
    {
        std::string Asm = TempFolder::Read(Temp.Path("c.s"));
        std::string Routine;
        std::set<std::string> Entries;
        bool InTable = false;
        size_t P = 0;
        while (P < Asm.size()) {
            size_t E = Asm.find('\n', P);
            std::string L = Asm.substr(P, E == std::string::npos ? std::string::npos : E - P);
            P = E == std::string::npos ? Asm.size() : E + 1;
            // "dense:                # @dense"
            if (!L.empty() && (std::isalpha(static_cast<unsigned char>(L[0])) || L[0] == '_') &&
                L.find(':') != std::string::npos)
                Routine = L.substr(0, L.find(':'));
            if (L.starts_with(".LJTI")) {
                InTable = true;
                Entries.clear();
            } else if (InTable && L.find(".long") != std::string::npos) {
                Entries.insert(L.substr(L.find(".long") + 5));
            } else if (InTable) {
                Tables[Routine].push_back(Entries.size());
                InTable = false;
            }
        }
    }

    TParseSetup Setup;
    Setup.Mode = TCpuMode::x86;
    Setup.Memory =
        std::make_shared<TSegmentReader>(TempFolder::Read(Temp.Path("c")), File->Segments());
    Setup.NoReturn = [&](const TInstructionInfo& I) {
        auto It = Names.find(I.Target);
        return It != Names.end() && IsNoReturnName(It->second);
    };
    size_t TableCount = 0;
    for (const auto& [Name, Sym] : CRoutines) {
        SCOPED_TRACE(Name);
        Setup.BoundsLow = Sym.Value;
        Setup.BoundsHigh = Sym.Value + Sym.Size - 1;
        TFunctionInfo Info;
        ParseFunctionIn(Sym.Value, Setup, Info);
        ASSERT_TRUE(Info.Valid) << Info.Text;
        EXPECT_GE(Info.CodeBegin, Sym.Value);
        EXPECT_LE(Info.CodeBegin + Info.CodeLength, Sym.Value + Sym.Size);
        std::map<uint64_t, uint64_t> Ours, Theirs;
        for (const TFunctionCall& C : Info.Calls)
            if (C.IsCall)
                Ours[C.Start] = C.Target;
        for (auto It = Calls.lower_bound(Sym.Value);
             It != Calls.end() && It->first < Sym.Value + Sym.Size; ++It)
            Theirs.insert(*It);
        EXPECT_EQ(Ours, Theirs);
        std::vector<size_t> Distinct;
        for (const TCaseTable& C : Info.CaseTables) {
            EXPECT_FALSE(C.Relative);
            Distinct.push_back(std::set<uint64_t>(C.Targets.begin(), C.Targets.end()).size());
            for (uint64_t T : C.Targets)
                EXPECT_TRUE(std::any_of(Info.CodeAreas.begin(), Info.CodeAreas.end(),
                                        [&](const TCodeArea& A) { return A.Start == T; }));
        }
        std::vector<size_t> Expected = Tables[Name];
        std::sort(Distinct.begin(), Distinct.end());
        std::sort(Expected.begin(), Expected.end());
        EXPECT_EQ(Distinct, Expected);
        TableCount += Distinct.size();
        for (const TCodeArea& A : Info.CodeAreas)
            EXPECT_FALSE(A.IsData()); // the tables are not inside the code
        if (Name == "checked") {
            // abort and exit end their areas: no area runs on past them.
            for (const TFunctionCall& C : Info.Calls)
                if (C.Target == 0x400800 || C.Target == 0x400810) {
                    EXPECT_TRUE(
                        std::any_of(Info.CodeAreas.begin(), Info.CodeAreas.end(),
                                    [&](const TCodeArea& A) { return A.End + 1 == C.Next; }));
                }
        }
    }
    EXPECT_GE(TableCount, 2u);
}

} // namespace
