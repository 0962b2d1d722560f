// The x86 decoder and its instruction text on hand-picked byte sequences.
#include "crashlib/kelDisAsm.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr uint64_t Base32 = 0x00401000;
constexpr uint64_t Base64 = 0x00007f0012340000;

// Code placed at an address, plus other readable blocks (data the code points to).
class TFakeMemory : public TCodeReader {
public:
    void Put(uint64_t Address, std::vector<uint8_t> Bytes) { Blocks[Address] = std::move(Bytes); }
    bool TryRead(uint64_t Source, void* Dest, size_t Count) const override
    {
        for (auto& [Start, Bytes] : Blocks)
            if (Source >= Start && Source - Start <= Bytes.size() &&
                Count <= Bytes.size() - (Source - Start)) {
                std::memcpy(Dest, Bytes.data() + (Source - Start), Count);
                return true;
            }
        return false;
    }

private:
    std::map<uint64_t, std::vector<uint8_t>> Blocks;
};

TInstructionInfo Decode(TCpuMode Mode, std::vector<uint8_t> Bytes, uint64_t At = 0,
                        TRegisterSources* Registers = nullptr, bool UseRegisters = false)
{
    if (!At)
        At = Mode == TCpuMode::x86 ? Base32 : Base64;
    TFakeMemory M;
    M.Put(At, std::move(Bytes));
    return ParseCodeEx(At, Registers, UseRegisters, M, Mode);
}

size_t Length(const TInstructionInfo& I)
{
    return static_cast<size_t>(I.Next - I.Start);
}

std::string Text(TCpuMode Mode, std::vector<uint8_t> Bytes, const TSymbolSource* Symbols = nullptr,
                 TFakeMemory* Extra = nullptr)
{
    uint64_t At = Mode == TCpuMode::x86 ? Base32 : Base64;
    TFakeMemory Own;
    TFakeMemory& M = Extra ? *Extra : Own;
    M.Put(At, std::move(Bytes));
    std::string T;
    TInstructionInfo I;
    ComposeInstructionText(At, T, I, M, Mode, Symbols);
    // The address column is checked on its own; the rest is what matters here.
    size_t Column = (Mode == TCpuMode::x86 ? 8 : 16) + 3;
    return T.size() >= Column ? T.substr(Column) : T;
}

TEST(CrashlibDecoderTables, FlagWordsOfTheTellingRows)
{
    EXPECT_EQ(OneByteOpcodeTable[0x00], 0x4211);
    EXPECT_EQ(OneByteOpcodeTable[0x01], 0x42E4);
    EXPECT_EQ(OneByteOpcodeTable[0x8B], 0x20E4);
    for (int Op = 0xB8; Op <= 0xBF; Op++)
        EXPECT_EQ(OneByteOpcodeTable[Op], 0x6C45) << Op;
    EXPECT_EQ(OneByteOpcodeTable[0xE8], 0x1C00);
    EXPECT_EQ(OneByteOpcodeTable[0xE9], 0x1C00);
    EXPECT_EQ(OneByteOpcodeTable[0xEB], 0x1400);
    for (int Op = 0x70; Op <= 0x7F; Op++)
        EXPECT_EQ(OneByteOpcodeTable[Op], 0x1400) << Op;
    for (int Op = 0x80; Op <= 0x8F; Op++)
        EXPECT_EQ(TwoByteOpcodeTable[Op], 0x1C00) << Op;
    for (int Op : {0xF6, 0xF7, 0xD8, 0xD9, 0xDA, 0xDB, 0xDC, 0xDD, 0xDE, 0xDF})
        EXPECT_EQ(OneByteOpcodeTable[Op], 0x0008) << Op;
    EXPECT_EQ(OneByteOpcodeTable[0xFF], 0x01A0);
    for (int Op :
         {0x04, 0x0A, 0x0B, 0x0C, 0x19, 0x1A, 0x1B, 0x1C, 0x1D, 0x1E, 0x24, 0x25, 0x26, 0x27, 0x36,
          0x37, 0x38, 0x39, 0x3A, 0x3B, 0x3C, 0x3D, 0x3E, 0x3F, 0x78, 0x79, 0x7A, 0x7B, 0xB8, 0xB9})
        EXPECT_EQ(TwoByteOpcodeTable[Op], 0xFFFF) << Op;
    for (int Op : {0x0F, 0x26, 0x2E, 0x36, 0x3E, 0x64, 0x65, 0x66, 0x67, 0xF0, 0xF2, 0xF3}) {
        EXPECT_EQ(OneByteOpcodeTable[Op], 0) << Op;
        EXPECT_EQ(OneByteMnemonicIndex[Op], 0) << Op;
    }
}

TEST(CrashlibDecoderTables, GroupRowsMarkTheUndefinedForms)
{
    auto Row = [](uint8_t Op) {
        return *std::find_if(OpcodeGroupTable.begin(), OpcodeGroupTable.end(),
                             [&](const TOpcodeGroupRow& R) { return R.Opcode == Op; });
    };
    EXPECT_EQ(Row(0xF6).Memory[1], 0xFFFF);
    EXPECT_EQ(Row(0xF7).Register[1], 0xFFFF);
    EXPECT_EQ(Row(0xD9).Memory[1], 0xFFFF);
    EXPECT_EQ(Row(0xDB).Memory[4], 0xFFFF);
    EXPECT_EQ(Row(0xDB).Memory[6], 0xFFFF);
    EXPECT_EQ(Row(0xDD).Memory[5], 0xFFFF);
    EXPECT_NE(Row(0xD9).Register[1], 0xFFFF); // fxch
    EXPECT_NE(Row(0xF7).Memory[0], 0xFFFF);   // test
}

TEST(CrashlibDecoderTables, MnemonicListHasItsEntriesInOrder)
{
    EXPECT_EQ(std::count(MnemonicList.begin(), MnemonicList.end(), '\x01'), MnemonicCount);
    const char* First[] = {"aaa", "aad", "aam", "aas", "adc", "add", "addPS", "and"};
    for (unsigned I = 0; I < 8; I++)
        EXPECT_EQ(MnemonicEntry(I + 1), First[I]);
    EXPECT_EQ(MnemonicEntry(OneByteMnemonicIndex[0x80]), "add|or|adc|sbb|and|sub|xor|cmp");
    EXPECT_EQ(MnemonicEntry(OneByteMnemonicIndex[0x98]), "cwde/cbw");
    EXPECT_EQ(MnemonicEntry(TwoByteMnemonicIndex[0x58]), "addPS");
    EXPECT_EQ(MnemonicEntry(0), "");
    EXPECT_EQ(MnemonicEntry(MnemonicCount + 1), "");
    EXPECT_STREQ(Amd3DNowName(0x0D), "pi2fd");
    EXPECT_STREQ(Amd3DNowName(0xBF), "pavgusb");
    EXPECT_EQ(Amd3DNowName(0x00), nullptr);
}

TEST(CrashlibDecoder32, CallToTheNextInstructionIsNoBranch)
{
    auto I = Decode(TCpuMode::x86, {0xE8, 0, 0, 0, 0});
    EXPECT_TRUE(I.Valid);
    EXPECT_FALSE(I.IsCall);
    EXPECT_FALSE(I.Relative);
    EXPECT_EQ(I.Target, 0u);
    EXPECT_EQ(I.TargetSize, 0);
    EXPECT_EQ(Length(I), 5u);

    auto J = Decode(TCpuMode::x86, {0xE8, 0x10, 0, 0, 0});
    EXPECT_TRUE(J.IsCall);
    EXPECT_TRUE(J.Relative);
    EXPECT_TRUE(J.Widenable);
    EXPECT_EQ(J.Target, Base32 + 5 + 0x10);
    EXPECT_EQ(J.TargetLocation, Base32 + 1);
    EXPECT_EQ(J.TargetSize, 4);
}

TEST(CrashlibDecoder32, IndirectCallThroughAnAbsoluteAddress)
{
    TFakeMemory M;
    M.Put(Base32, {0xFF, 0x15, 0x00, 0x20, 0x40, 0x00});
    auto Unreadable = ParseCode(Base32, M, TCpuMode::x86);
    EXPECT_FALSE(Unreadable.Valid);
    EXPECT_TRUE(Unreadable.IsCall);

    M.Put(0x402000, {0x78, 0x56, 0x34, 0x12});
    auto Readable = ParseCode(Base32, M, TCpuMode::x86);
    EXPECT_TRUE(Readable.Valid);
    EXPECT_EQ(Readable.Target, 0x12345678u);
    EXPECT_EQ(Readable.TargetPointerLocation, Base32 + 2);
    EXPECT_EQ(Readable.TargetSize, 4);
    EXPECT_TRUE(Readable.Widenable);

    // Through a segment the pointer cannot be read, and is not tried.
    auto Fs = Decode(TCpuMode::x86, {0x64, 0xFF, 0x15, 0x00, 0x00, 0x00, 0x00});
    EXPECT_TRUE(Fs.Valid);
    EXPECT_EQ(Fs.Target, 0u);
    EXPECT_EQ(Length(Fs), 7u);
}

TEST(CrashlibDecoder32, FormRules)
{
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x8D, 0xC0}).Valid); // lea eax, eax
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x8D, 0x00}).Valid);
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x0F, 0x0F, 0xC0, 0x0C}).Valid); // pi2fd
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0x0F, 0xC0, 0x00}).Valid);
    EXPECT_FALSE(Decode(TCpuMode::x86, {0xFF, 0xD8}).Valid); // call far through a register
    EXPECT_FALSE(Decode(TCpuMode::x86, {0xFF, 0xF8}).Valid); // FF /7
    EXPECT_FALSE(Decode(TCpuMode::x86, {0xFE, 0xD0}).Valid); // FE /2
    EXPECT_FALSE(Decode(TCpuMode::x86, {0xD9, 0xD1}).Valid);
    EXPECT_TRUE(Decode(TCpuMode::x86, {0xD9, 0xD0}).Valid); // fnop
    EXPECT_FALSE(Decode(TCpuMode::x86, {0xDF, 0xE1}).Valid);
    EXPECT_TRUE(Decode(TCpuMode::x86, {0xDF, 0xE0}).Valid); // fnstsw ax
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0x6C, 0xC1}).Valid);
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x66, 0x0F, 0x6C, 0xC1}).Valid);
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0xF0, 0x00}).Valid);
    EXPECT_TRUE(Decode(TCpuMode::x86, {0xF2, 0x0F, 0xF0, 0x00}).Valid); // lddqu
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0x20, 0x00}).Valid);
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x0F, 0x20, 0xC0}).Valid);
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0xBA, 0xE0 - 0x20, 1}).Valid); // 0FBA /2
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x0F, 0xBA, 0xE0, 1}).Valid);         // bt eax, 1
    EXPECT_FALSE(Decode(TCpuMode::x86, {0xF6, 0xC8, 1}).Valid);              // F6 /1
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0x0B}).Valid);                 // undefined in the map
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0x38, 0x00, 0xC1}).Valid);
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x0F, 0x01, 0xE0}).Valid);     // smsw eax
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0x01, 0xC8}).Valid);    // 0F01 /1, register form
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0x01, 0x28}).Valid);    // 0F01 /5
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x0F, 0xAE, 0xF8}).Valid);     // sfence
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x0F, 0xAE, 0x38}).Valid);     // clflush [eax]
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x0F, 0xAE, 0x00}).Valid);     // fxsave [eax]
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0xAE, 0x20}).Valid);    // 0FAE /4 memory
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0xAE, 0xC0}).Valid);    // 0FAE /0 register
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x0F, 0x18, 0x08}).Valid);     // prefetcht0
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0x18, 0x20}).Valid);    // 0F18 /4
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0xC7, 0xC8}).Valid);    // cmpxchg8b eax
    EXPECT_TRUE(Decode(TCpuMode::x86, {0x0F, 0x73, 0xD0, 4}).Valid);  // psrlq mm0, 4
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x0F, 0x73, 0x10, 4}).Valid); // memory form
    EXPECT_FALSE(Decode(TCpuMode::x86, {0x8C, 0xF0}).Valid);          // segment register 6
    // Prefixes may repeat; the last segment override counts.
    EXPECT_EQ(Text(TCpuMode::x86, {0x2E, 0x64, 0x8B, 0x00}), "mov eax, fs:[eax]");
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x66, 0x66, 0xF3, 0xF3, 0x90})), 5u);
}

TEST(CrashlibDecoder32, LengthsOfOperandAndAddressForms)
{
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x66, 0xB8, 0x34, 0x12})), 4u);
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x66, 0xE8, 0x00, 0x01})), 4u);
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x9A, 1, 2, 3, 4, 5, 6})), 7u);
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x66, 0x9A, 1, 2, 3, 4})), 6u);
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0xA1, 1, 2, 3, 4})), 5u);
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x67, 0xA1, 1, 2})), 4u);
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0xC8, 0x10, 0x00, 0x01})), 4u);
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x8B, 0x84, 0x88, 1, 2, 3, 4})), 7u); // SIB + disp32
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x8B, 0x04, 0x25, 1, 2, 3, 4})), 7u); // SIB, no base
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x67, 0x8B, 0x06, 1, 2})), 5u);       // [disp16]
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x67, 0x8B, 0x80, 1, 2})), 5u);       // [bx+si+disp16]
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0xF7, 0x05, 1, 2, 3, 4, 5, 6, 7, 8})), 10u);
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x66, 0xF7, 0x05, 1, 2, 3, 4, 5, 6})), 9u);
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0xF7, 0x15, 1, 2, 3, 4})), 6u); // not: no immediate
    // x86-64 mode never changes a 32-bit answer: 48h is dec eax here.
    EXPECT_EQ(Length(Decode(TCpuMode::x86, {0x48, 0x8B, 0xC0})), 1u);
    EXPECT_EQ(Decode(TCpuMode::x86, {0x63, 0xC0}).Opcode, 0x63); // arpl
}

TEST(CrashlibDecoder32, BranchTargetsWrapAt4GiB)
{
    auto I = Decode(TCpuMode::x86, {0xE9, 0x20, 0, 0, 0}, 0xFFFFFFF0);
    EXPECT_EQ(I.Target, 0x15u);
    auto Back = Decode(TCpuMode::x86, {0xEB, 0x80}, 0x10);
    EXPECT_EQ(Back.Target, 0xFFFFFF92u);
    EXPECT_TRUE(Back.IsJump);
    EXPECT_EQ(Back.TargetSize, 1);
    auto Loop = Decode(TCpuMode::x86, {0xE2, 0x10});
    EXPECT_TRUE(Loop.IsJump);
    EXPECT_FALSE(Loop.Widenable);
}

TEST(CrashlibDecoder32, FifteenBytesAtMost)
{
    std::vector<uint8_t> Fourteen(14, 0x66);
    Fourteen.push_back(0x90);
    auto I = Decode(TCpuMode::x86, Fourteen);
    EXPECT_TRUE(I.Valid);
    EXPECT_EQ(Length(I), 15u);

    std::vector<uint8_t> Fifteen(15, 0x66);
    Fifteen.push_back(0x90);
    EXPECT_FALSE(Decode(TCpuMode::x86, Fifteen).Valid);
    std::vector<uint8_t> Long = {0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E, 0x3E,
                                 0x81, 0x84, 0x88, 1,    2,    3,    4,    5,    6,    7,    8};
    EXPECT_FALSE(Decode(TCpuMode::x86, Long).Valid); // 22 bytes
    EXPECT_FALSE(Decode(TCpuMode::x64, Fifteen).Valid);
}

TEST(CrashlibDecoder32, UnreadableBytesGiveAnInvalidRecord)
{
    EXPECT_FALSE(ParseCode(0, TFakeMemory(), TCpuMode::x86).Valid);
    EXPECT_EQ(ParseCode(0, TFakeMemory(), TCpuMode::x86).Next, 0u);

    // The instruction runs into an unreadable page.
    constexpr uint64_t End = 0x00402000;
    TFakeMemory M;
    M.Put(End - 3, {0xB8, 0x01, 0x02});
    auto I = ParseCode(End - 3, M, TCpuMode::x86);
    EXPECT_FALSE(I.Valid);
    EXPECT_EQ(I.Opcode, 0xB8);
    EXPECT_EQ(I.Start, End - 3);
    EXPECT_EQ(I.Next, End);

    // Code that ends right before the unreadable page still decodes.
    M.Put(End - 2, {0x33, 0xC0});
    auto Last = ParseCode(End - 2, M, TCpuMode::x86);
    EXPECT_TRUE(Last.Valid);
    EXPECT_EQ(Last.Next, End);
}

TEST(CrashlibDecoder32, RegisterTracking)
{
    TRegisterSources R;
    auto Mov = Decode(TCpuMode::x86, {0x66, 0xB8, 0x34, 0x12}, 0, &R);
    EXPECT_TRUE(Mov.Valid);
    EXPECT_EQ(R[0], 0u);

    // mov eax, 12345678h; jmp eax
    TFakeMemory M;
    M.Put(Base32, {0xB8, 0x78, 0x56, 0x34, 0x12, 0xFF, 0xE0});
    TRegisterSources T;
    auto First = ParseCodeEx(Base32, &T, true, M, TCpuMode::x86);
    EXPECT_EQ(T[0], Base32 + 1);
    auto Jump = ParseCodeEx(First.Next, &T, true, M, TCpuMode::x86);
    EXPECT_TRUE(Jump.Valid);
    EXPECT_TRUE(Jump.IsJump);
    EXPECT_EQ(Jump.TargetLocation, Base32 + 1);
    EXPECT_EQ(Jump.Target, 0x12345678u);
    EXPECT_EQ(Jump.TargetSize, 4);
    // Without the use-registers flag the jump has no target.
    auto Plain = ParseCodeEx(First.Next, &T, false, M, TCpuMode::x86);
    EXPECT_EQ(Plain.Target, 0u);

    // mov esi, 402000h; call [esi] reads the pointer stored there.
    M.Put(0x500000, {0xBE, 0x00, 0x20, 0x40, 0x00, 0xFF, 0x16});
    M.Put(0x402000, {0x44, 0x33, 0x22, 0x11});
    TRegisterSources C;
    ParseCodeEx(0x500000, &C, true, M, TCpuMode::x86);
    auto Call = ParseCodeEx(0x500005, &C, true, M, TCpuMode::x86);
    EXPECT_TRUE(Call.IsCall);
    EXPECT_EQ(Call.TargetPointerLocation, 0x500001u);
    EXPECT_EQ(Call.Target, 0x11223344u);

    TRegisterSources Rep;
    Rep[1] = Rep[6] = Rep[7] = 0x1000;
    Rep[3] = 0x2000;
    Decode(TCpuMode::x86, {0xF3, 0xA4}, 0, &Rep); // rep movsb
    EXPECT_EQ(Rep[1], 0u);
    EXPECT_EQ(Rep[6], 0u);
    EXPECT_EQ(Rep[7], 0u);
    EXPECT_EQ(Rep[3], 0x2000u);

    // F3h before a two-byte opcode is no repeat: ecx keeps its source.
    TRegisterSources Sse;
    Sse[1] = 0x1000;
    Decode(TCpuMode::x86, {0xF3, 0x0F, 0x58, 0xC1}, 0, &Sse); // addss
    EXPECT_EQ(Sse[1], 0x1000u);

    TRegisterSources Copy;
    Copy[1] = 0x3000;
    Decode(TCpuMode::x86, {0x8B, 0xD1}, 0, &Copy); // mov edx, ecx
    EXPECT_EQ(Copy[2], 0x3000u);
    Decode(TCpuMode::x86, {0x83, 0xC1, 0x04}, 0, &Copy); // add ecx, 4
    EXPECT_EQ(Copy[1], 0u);
    Copy[1] = 0x3000;
    Decode(TCpuMode::x86, {0x83, 0xF9, 0x04}, 0, &Copy); // cmp ecx, 4
    EXPECT_EQ(Copy[1], 0x3000u);

    TRegisterSources C7;
    Decode(TCpuMode::x86, {0xC7, 0xC3, 1, 2, 3, 4}, 0, &C7); // mov ebx, imm32
    EXPECT_EQ(C7[3], Base32 + 2);
    Decode(TCpuMode::x86, {0x0F, 0xA2}, 0, &C7); // cpuid
    EXPECT_EQ(C7[3], 0u);
}

// Instructions that change the accumulator without naming it must not leave
// a stale source behind: a later jmp eax would take a wrong target.
TEST(CrashlibDecoder32, ImplicitAccumulatorWritesForgetItsSource)
{
    for (std::vector<uint8_t> Code : std::vector<std::vector<uint8_t>>{
             {0xAD}, {0xAC}, {0x98}, {0x9F}, {0xD7}, {0x0F, 0x31}, {0x0F, 0xC7, 0x0E}}) {
        TRegisterSources R;
        R[0] = 0x1234;
        auto I = Decode(TCpuMode::x86, Code, 0, &R);
        EXPECT_TRUE(I.Valid) << int(Code[0]);
        EXPECT_EQ(R[0], 0u) << int(Code[0]);
    }
}

TEST(CrashlibDecoder64, LengthsAndOperandSizes)
{
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8})), 10u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0xB8, 1, 2, 3, 4})), 5u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x48, 0xC7, 0xC0, 1, 2, 3, 4})), 7u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x48, 0x8B, 0xC0})), 3u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x66, 0x48, 0x81, 0xC0, 1, 2, 3, 4})), 8u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x48, 0x66, 0x81, 0xC0, 1, 2})), 6u); // REX not last
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x66, 0xE8, 1, 2, 3, 4})), 6u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x66, 0x68, 1, 2})), 4u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0xA1, 1, 2, 3, 4, 5, 6, 7, 8})), 9u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x67, 0xA1, 1, 2, 3, 4})), 6u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x48, 0x63, 0xC8})), 3u); // movsxd
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x66, 0x0F, 0x38, 0x00, 0xC1})), 5u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x66, 0x0F, 0x3A, 0x0F, 0xC1, 8})), 6u);
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0xF3, 0x0F, 0x1E, 0xFA})), 4u);       // endbr64
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0xF3, 0x48, 0x0F, 0xB8, 0xC1})), 5u); // popcnt
    for (uint8_t Op : {0x06, 0x07, 0x0E, 0x16, 0x17, 0x1E, 0x1F, 0x27, 0x2F, 0x37,
                       0x3F, 0x60, 0x61, 0x82, 0x9A, 0xCE, 0xD4, 0xD5, 0xD6, 0xEA})
        EXPECT_FALSE(Decode(TCpuMode::x64, {Op, 0xC0, 0, 0, 0, 0, 0, 0}).Valid) << int(Op);
}

TEST(CrashlibDecoder64, VexAndEvex)
{
    auto Vzero = Decode(TCpuMode::x64, {0xC5, 0xF8, 0x77});
    EXPECT_TRUE(Vzero.Valid);
    EXPECT_EQ(Length(Vzero), 3u);
    // vmovdqu ymm0, [rsi+20h]
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0xC5, 0xFE, 0x6F, 0x46, 0x20})), 5u);
    // vpshufb ymm0, ymm1, [rip+x] (three-byte VEX)
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0xC4, 0xE2, 0x75, 0x00, 0x05, 1, 2, 3, 4})), 9u);
    // vpalignr: map 0F3A takes an imm8
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0xC4, 0xE3, 0x75, 0x0F, 0xC2, 8})), 6u);
    // vmovdqu64 zmm16, [rsi+40h] (EVEX, compressed disp8)
    EXPECT_EQ(Length(Decode(TCpuMode::x64, {0x62, 0xE1, 0xFE, 0x48, 0x6F, 0x46, 0x01})), 7u);
    // A legacy prefix in front of VEX is refused.
    EXPECT_FALSE(Decode(TCpuMode::x64, {0x66, 0xC5, 0xF8, 0x77}).Valid);
    // In 32-bit mode C5 with a register operand is lds: invalid, never VEX.
    EXPECT_FALSE(Decode(TCpuMode::x86, {0xC5, 0xF8, 0x77}).Valid);
}

TEST(CrashlibDecoder64, RipRelativeIndirectCall)
{
    // call [rip+10h]: the pointer lies 16 bytes after the instruction.
    TFakeMemory M;
    M.Put(Base64, {0xFF, 0x15, 0x10, 0x00, 0x00, 0x00});
    M.Put(Base64 + 6 + 0x10, {0x88, 0x77, 0x66, 0x55, 0x44, 0x33, 0x22, 0x11});
    auto I = ParseCode(Base64, M, TCpuMode::x64);
    EXPECT_TRUE(I.Valid);
    EXPECT_TRUE(I.IsCall);
    EXPECT_FALSE(I.Relative);
    EXPECT_EQ(I.TargetPointer, Base64 + 6 + 0x10);
    EXPECT_EQ(I.Target, 0x1122334455667788u);
    EXPECT_EQ(I.TargetPointerLocation, Base64 + 2);

    auto Rel = Decode(TCpuMode::x64, {0xE8, 0xFB, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(Rel.Target, Base64); // rel32 sign-extended to 64 bits

    // movabs rax, imm64; jmp rax
    M.Put(0x1000, {0x48, 0xB8, 1, 2, 3, 4, 5, 6, 7, 8, 0xFF, 0xE0});
    TRegisterSources R;
    ParseCodeEx(0x1000, &R, true, M, TCpuMode::x64);
    auto Jump = ParseCodeEx(0x100A, &R, true, M, TCpuMode::x64);
    EXPECT_EQ(Jump.Target, 0x0807060504030201u);
    EXPECT_EQ(Jump.TargetSize, 8);

    // A REX.B register is a register of its own: mov r8d, imm32 leaves eax alone.
    TRegisterSources Rex;
    Decode(TCpuMode::x64, {0x41, 0xB8, 1, 2, 3, 4}, 0, &Rex);
    EXPECT_EQ(Rex[0], 0u);
    EXPECT_EQ(Rex[8], Base64 + 2);
}

// A routine of this process, decoded where it lies: the window is copied by
// the fault-free memory reader, with a fresh look at the address space and
// through a snapshot.
[[gnu::noinline]] int LiveRoutine(int A, int B)
{
    return A * 3 + B;
}

TEST(CrashlibDecoder64, DecodesThisProcessThroughTheMemoryReader)
{
    auto Code = reinterpret_cast<uint64_t>(&LiveRoutine);
    std::vector<uint8_t> Copy(MaxInstructionLength);
    std::memcpy(Copy.data(), reinterpret_cast<const void*>(Code), Copy.size());
    TDecodeState Expected;
    DecodeInstruction(Expected, TCpuMode::x64, Code, Copy.data(), Copy.size(), nullptr, false,
                      nullptr);
    ASSERT_TRUE(Expected.Info.Valid);

    auto Fresh = ParseCode(Code);
    EXPECT_TRUE(Fresh.Valid);
    EXPECT_EQ(Fresh.Next, Expected.Info.Next);
    TDATryRead Ranges = GetReadableRanges();
    auto Snap = ParseCodeOpt(Code, &Ranges);
    EXPECT_EQ(Snap.Next, Expected.Info.Next);
    EXPECT_EQ(Snap.Opcode, Expected.Info.Opcode);
    FreeReadableRanges(Ranges);

    // Address 16 (never mapped) reads nothing and is no instruction.
    auto Nothing = ParseCode(16);
    EXPECT_FALSE(Nothing.Valid);
    EXPECT_EQ(Nothing.Next, 16u);
}

class TFakeSymbols : public TSymbolSource {
public:
    std::string AddressToName(uint64_t Address, std::string& Module,
                              bool& MainProgram) const override
    {
        if (Address == 0x00402000) {
            Module = "/usr/lib/libfoo.so.1";
            MainProgram = false;
            return "foo_init";
        }
        if (Address == 0x00401100) {
            Module = "/opt/tolvex/tolvex";
            MainProgram = true;
            return "TMain::Run";
        }
        return {};
    }
    uint64_t ImageEnd(uint64_t Address) const override
    {
        return Address >= 0x00400000 && Address < 0x00410000 ? 0x00410000 : 0;
    }
};

TEST(CrashlibComposer, MnemonicsAndOperands)
{
    EXPECT_EQ(Text(TCpuMode::x86, {0x90}), "nop");
    EXPECT_EQ(Text(TCpuMode::x86, {0x66, 0x98}), "cbw");
    EXPECT_EQ(Text(TCpuMode::x86, {0x98}), "cwde");
    EXPECT_EQ(Text(TCpuMode::x86, {0xF3, 0x0F, 0x58, 0xC1}), "addss xmm0, xmm1");
    EXPECT_EQ(Text(TCpuMode::x86, {0x66, 0x0F, 0x58, 0xC1}), "addpd xmm0, xmm1");
    EXPECT_EQ(Text(TCpuMode::x86, {0xF2, 0x0F, 0x58, 0xC1}), "addsd xmm0, xmm1");
    EXPECT_EQ(Text(TCpuMode::x86, {0x0F, 0x12, 0xC1}), "movhlps xmm0, xmm1");
    EXPECT_EQ(Text(TCpuMode::x86, {0x0F, 0x12, 0x01}), "movlps xmm0, [ecx]");
    EXPECT_EQ(Text(TCpuMode::x86, {0x01, 0xC8}), "add eax, ecx");
    EXPECT_EQ(Text(TCpuMode::x86, {0x80, 0x4D, 0xF0, 0x20}), "or byte ptr [ebp-$10], $20");
    EXPECT_EQ(Text(TCpuMode::x86, {0x8B, 0x44, 0x8E, 0x08}), "mov eax, [esi+ecx*4+8]");
    EXPECT_EQ(Text(TCpuMode::x86, {0x64, 0xA1, 0, 0, 0, 0}), "mov eax, fs:[$0]");
    EXPECT_EQ(Text(TCpuMode::x86, {0x83, 0xC4, 0xF0}), "add esp, $fffffff0");
    EXPECT_EQ(Text(TCpuMode::x86, {0x6A, 0xFF}), "push $ffffffff");
    EXPECT_EQ(Text(TCpuMode::x86, {0x66, 0x6A, 0xFF}), "push $ffff");
    EXPECT_EQ(Text(TCpuMode::x86, {0xD1, 0xE0}), "shl eax, 1");
    EXPECT_EQ(Text(TCpuMode::x86, {0xD3, 0xF8}), "sar eax, cl");
    EXPECT_EQ(Text(TCpuMode::x86, {0x0F, 0xA5, 0xC2}), "shld edx, eax, cl");
    EXPECT_EQ(Text(TCpuMode::x86, {0x74, 0x05}), "jz +5 ($00401007)");
    EXPECT_EQ(Text(TCpuMode::x86, {0x0F, 0x85, 0xF0, 0xFF, 0xFF, 0xFF}), "jnz -$10 ($00400ff6)");
    EXPECT_EQ(Text(TCpuMode::x86, {0xD5, 0x0A}), "aad");
    EXPECT_EQ(Text(TCpuMode::x86, {0xD4, 0x10}), "aam $10");
    EXPECT_EQ(Text(TCpuMode::x86, {0xC8, 0x10, 0x00, 0x01}), "enter $10, 1");
    EXPECT_EQ(Text(TCpuMode::x86, {0xEA, 0x78, 0x56, 0x34, 0x12, 0x08, 0x00}), "jmp $8:$12345678");
    EXPECT_EQ(Text(TCpuMode::x86, {0xF3, 0xA5}), "rep movsd");
    EXPECT_EQ(Text(TCpuMode::x86, {0xF0, 0x0F, 0xB1, 0x0A}), "lock cmpxchg [edx], ecx");
    EXPECT_EQ(Text(TCpuMode::x86, {0xDE, 0xE9}), "fsubp st(1), st");
    EXPECT_EQ(Text(TCpuMode::x86, {0xD9, 0xE8}), "fld1");
    EXPECT_EQ(Text(TCpuMode::x86, {0xDD, 0x45, 0x08}), "fld qword ptr [ebp+8]");
    EXPECT_EQ(Text(TCpuMode::x86, {0x0E}), "push cs");
    EXPECT_EQ(Text(TCpuMode::x86, {0x0F, 0xA9}), "pop gs");
    EXPECT_EQ(Text(TCpuMode::x86, {0x0F, 0x0F, 0xC1, 0xB4}), "pfmul mm0, mm1");
    EXPECT_EQ(Text(TCpuMode::x86, {0x66, 0x0F, 0xEF, 0xC0}), "pxor xmm0, xmm0");
    EXPECT_EQ(Text(TCpuMode::x86, {0x0F, 0xEF, 0xC0}), "pxor mm0, mm0");
    EXPECT_EQ(Text(TCpuMode::x86, {0xF3, 0x0F, 0x2D, 0xC1}), "cvtss2si eax, xmm1");
}

TEST(CrashlibComposer, InvalidBytesBecomeData)
{
    EXPECT_EQ(Text(TCpuMode::x86, {0x0F, 0x0B}), "db $0f, $0b");
    std::vector<uint8_t> Prefixes(15, 0x66);
    Prefixes.push_back(0x90);
    std::string T = Text(TCpuMode::x86, Prefixes);
    EXPECT_EQ(T.substr(0, 3), "db ");
    EXPECT_NE(T.find("\r\n"), std::string::npos); // 15 bytes take two lines
}

TEST(CrashlibComposer, AddressColumnAndX64Texts)
{
    TFakeMemory M;
    M.Put(Base64, {0x48, 0x8B, 0x05, 0x10, 0x00, 0x00, 0x00});
    std::string T;
    TInstructionInfo I;
    ComposeInstructionText(Base64, T, I, M, TCpuMode::x64);
    EXPECT_EQ(T, "00007f0012340000   mov rax, [rip+$10]");
    EXPECT_EQ(Text(TCpuMode::x64, {0x41, 0x50}), "push r8");
    EXPECT_EQ(Text(TCpuMode::x64, {0x40, 0x88, 0xF0}), "mov al, sil");
    EXPECT_EQ(Text(TCpuMode::x64, {0x88, 0xF0}), "mov al, dh");
    EXPECT_EQ(Text(TCpuMode::x64, {0x48, 0x98}), "cdqe");
    EXPECT_EQ(Text(TCpuMode::x64, {0x48, 0x63, 0xC8}), "movsxd rcx, eax");
    EXPECT_EQ(Text(TCpuMode::x64, {0x45, 0x31, 0xC9}), "xor r9d, r9d");
    EXPECT_EQ(Text(TCpuMode::x64, {0x66, 0x48, 0x0F, 0x3A, 0x16, 0xC0, 1}), "pextrq rax, xmm0, 1");
    EXPECT_EQ(Text(TCpuMode::x64, {0x66, 0x0F, 0x38, 0x10, 0xCA}), "pblendvb xmm1, xmm2, xmm0");
    EXPECT_EQ(Text(TCpuMode::x64, {0x0F, 0x38, 0x00, 0xCA}), "pshufb mm1, mm2");
    EXPECT_EQ(Text(TCpuMode::x64, {0xF2, 0x48, 0x0F, 0x38, 0xF1, 0xC1}), "crc32 rax, rcx");
    EXPECT_EQ(Text(TCpuMode::x64, {0xF3, 0x0F, 0x1E, 0xFA}), "endbr64");
    // VEX and EVEX texts name the encoding, map and opcode.
    EXPECT_EQ(Text(TCpuMode::x64, {0xC5, 0xFE, 0x6F, 0x46, 0x20}),
              "vmovdqu ymm0, yword ptr [rsi+$20]");
    EXPECT_EQ(Text(TCpuMode::x64, {0xE8, 0x00, 0x01, 0x00, 0x00}),
              "call +$100 ($00007f0012340105)");

    std::string H;
    AddressToHex(0x1f, false, H);
    EXPECT_EQ(H, "1f");
    AddressToHex(0x1f, true, H);
    EXPECT_EQ(H, "0000001f");
    AddressToHex(0x1f, true, H, TCpuMode::x64);
    EXPECT_EQ(H, "000000000000001f");
    EXPECT_EQ(FpuRegisterName(0), "st");
    EXPECT_EQ(FpuRegisterName(3), "st(3)");
}

TEST(CrashlibComposer, OperandSizes)
{
    auto SizeOf = [](TCpuMode Mode, std::vector<uint8_t> Bytes) {
        TDecodeState S;
        DecodeInstruction(S, Mode, Base32, Bytes.data(), Bytes.size(), nullptr, false, nullptr);
        return OperandSize(S);
    };
    EXPECT_EQ(SizeOf(TCpuMode::x86, {0x80, 0x00, 1}), 1);
    EXPECT_EQ(SizeOf(TCpuMode::x86, {0x66, 0x81, 0x00, 1, 2}), 2);
    EXPECT_EQ(SizeOf(TCpuMode::x86, {0x81, 0x00, 1, 2, 3, 4}), 4);
    EXPECT_EQ(SizeOf(TCpuMode::x86, {0xDD, 0x00}), 8);
    EXPECT_EQ(SizeOf(TCpuMode::x86, {0xDB, 0x28}), 10);
    EXPECT_EQ(SizeOf(TCpuMode::x86, {0x0F, 0x28, 0x00}), 16);
    EXPECT_EQ(SizeOf(TCpuMode::x64, {0x48, 0x81, 0x00, 1, 2, 3, 4}), 8);
}

// A line with a comment: the instruction padded to column 40 of the whole line
// (which the address and three blanks begin), then the comment.
std::string Commented(const std::string& Instruction, const std::string& Comment)
{
    return Instruction + std::string(40 - 11 - Instruction.size(), ' ') + "  " + Comment;
}

TEST(CrashlibComposer, Comments)
{
    TFakeSymbols Symbols;
    TFakeMemory M;
    // call foo_init, a routine of another module
    EXPECT_EQ(Text(TCpuMode::x86, {0xE8, 0xFB, 0x0F, 0x00, 0x00}, &Symbols, &M),
              Commented("call +$ffb ($00402000)", "; foo_init (libfoo.so.1)"));
    // a routine of the program itself carries no module name
    EXPECT_EQ(Text(TCpuMode::x86, {0x68, 0x00, 0x11, 0x40, 0x00}, &Symbols, &M),
              Commented("push $401100", "; TMain::Run"));
    // a text of the program
    M.Put(0x00403000, [] {
        std::string S = "Cannot open the settings file";
        std::vector<uint8_t> V(S.begin(), S.end());
        V.resize(120, 0);
        return V;
    }());
    EXPECT_EQ(Text(TCpuMode::x86, {0xB8, 0x00, 0x30, 0x40, 0x00}, &Symbols, &M),
              Commented("mov eax, $403000", "; 'Cannot open the settings file'"));
    // binary bytes are no text
    M.Put(0x00404000, std::vector<uint8_t>(120, 0x01));
    EXPECT_EQ(Text(TCpuMode::x86, {0xB8, 0x00, 0x40, 0x40, 0x00}, &Symbols, &M),
              "mov eax, $404000");
    // an import thunk: jmp [pointer] names the routine the pointer holds
    M.Put(0x00405000, {0xFF, 0x25, 0x00, 0x60, 0x40, 0x00});
    M.Put(0x00406000, {0x00, 0x20, 0x40, 0x00});
    EXPECT_EQ(Text(TCpuMode::x86, {0xE8, 0xFB, 0x3F, 0x00, 0x00}, &Symbols, &M),
              Commented("call +$3ffb ($00405000)", "; foo_init (libfoo.so.1)"));
}

} // namespace
