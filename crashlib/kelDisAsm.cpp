#include "crashlib/kelDisAsm.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "crashlib/kelStrings.h"

#include "crashlib/kelDisAsmTables.h"
#include "crashlib/kelDisAsmVex.h"

using namespace keldisasm;

const std::array<uint16_t, 256> OneByteOpcodeTable = DeriveTable(OneByteSpec);
const std::array<uint16_t, 256> TwoByteOpcodeTable = DeriveTable(TwoByteSpec);
const std::array<uint8_t, 256> OneByteMnemonicIndex = DeriveIndex(OneByteSpec);
const std::array<uint8_t, 256> TwoByteMnemonicIndex = DeriveIndex(TwoByteSpec);

namespace {

constexpr std::array<TOpcodeGroupRow, 10> DeriveGroups()
{
    std::array<TOpcodeGroupRow, 10> Rows{};
    for (size_t R = 0; R < GroupSpec.size(); R++) {
        Rows[R].Opcode = GroupSpec[R].Opcode;
        for (size_t I = 0; I < 8; I++) {
            Rows[R].Memory[I] = DeriveFlagWord(GroupSpec[R].Memory[I]);
            Rows[R].Register[I] = DeriveFlagWord(GroupSpec[R].Register[I]);
        }
    }
    return Rows;
}

constexpr auto MnemonicChars = BuildMnemonicList();

// Flag words are read through these in the hot loop; the exported arrays
// above are the same values for callers outside this unit.
constexpr auto OneWords = DeriveTable(OneByteSpec);
constexpr auto TwoWords = DeriveTable(TwoByteSpec);
constexpr auto GroupWords = DeriveGroups();
constexpr auto OneIndex = DeriveIndex(OneByteSpec);
constexpr auto TwoIndex = DeriveIndex(TwoByteSpec);

static_assert(OneWords[0x00] == 0x4211 && OneWords[0x01] == 0x42E4 && OneWords[0x8B] == 0x20E4);
static_assert(OneWords[0xB8] == 0x6C45 && OneWords[0xE8] == 0x1C00 && OneWords[0xE9] == 0x1C00);
static_assert(OneWords[0xEB] == 0x1400 && OneWords[0x70] == 0x1400 && TwoWords[0x80] == 0x1C00);
static_assert(OneWords[0xF6] == 0x0008 && OneWords[0xDF] == 0x0008 && OneWords[0xFF] == 0x01A0);

} // namespace

const std::array<TOpcodeGroupRow, 10> OpcodeGroupTable = DeriveGroups();
const std::string_view MnemonicList(MnemonicChars.data(), MnemonicChars.size());

std::string_view MnemonicEntry(unsigned Index)
{
    if (Index == 0 || Index > Mnemonics.Count)
        return {};
    return Mnemonics.Items[Index - 1];
}

const std::array<TAmd3DNowSuffix, 24> Amd3DNowSuffixes = {{
    {0x0C, "pi2fw"},    {0x0D, "pi2fd"},   {0x1C, "pf2iw"},   {0x1D, "pf2id"},   {0x8A, "pfnacc"},
    {0x8E, "pfpnacc"},  {0x90, "pfcmpge"}, {0x94, "pfmin"},   {0x96, "pfrcp"},   {0x97, "pfrsqrt"},
    {0x9A, "pfsub"},    {0x9E, "pfadd"},   {0xA0, "pfcmpgt"}, {0xA4, "pfmax"},   {0xA6, "pfrcpit1"},
    {0xA7, "pfrsqit1"}, {0xAA, "pfsubr"},  {0xAE, "pfacc"},   {0xB0, "pfcmpeq"}, {0xB4, "pfmul"},
    {0xB6, "pfrcpit2"}, {0xB7, "pmulhrw"}, {0xBB, "pswapd"},  {0xBF, "pavgusb"},
}};

const char* Amd3DNowName(uint8_t Suffix)
{
    for (auto& S : Amd3DNowSuffixes)
        if (S.Suffix == Suffix)
            return S.Name;
    return nullptr;
}

bool TBufferCodeReader::TryRead(uint64_t Source, void* Dest, size_t Count) const
{
    if (Source < Base || Source - Base > Size || Count > Size - (Source - Base))
        return false;
    std::memcpy(Dest, Data + (Source - Base), Count);
    return true;
}

namespace {

// The opcodes of the three-byte maps (x86-64 mode), one bit each.
struct TOpcodeSet {
    uint64_t Bits[4] = {};
    constexpr TOpcodeSet(std::initializer_list<std::pair<int, int>> Ranges)
    {
        for (auto [From, To] : Ranges)
            for (int I = From; I <= To; I++)
                Bits[I >> 6] |= uint64_t(1) << (I & 63);
    }
    constexpr bool Has(uint8_t Op) const { return Bits[Op >> 6] >> (Op & 63) & 1; }
};

// SSSE3, SSE4.1/4.2, AES, SHA, CLMUL, GFNI, MOVBE, CRC32, ADX, VMX and the
// like in the 0F38 map; the 0F3A map's opcodes all take an imm8.
constexpr TOpcodeSet Map0F38{{0x00, 0x0B}, {0x10, 0x10}, {0x14, 0x15}, {0x17, 0x17}, {0x1C, 0x1E},
                             {0x20, 0x25}, {0x28, 0x2B}, {0x30, 0x35}, {0x37, 0x41}, {0x80, 0x82},
                             {0x88, 0x8A}, {0xC8, 0xCD}, {0xCF, 0xCF}, {0xDB, 0xDF}, {0xF0, 0xF6},
                             {0xF8, 0xF9}, {0xFC, 0xFC}};
constexpr TOpcodeSet Map0F3A{{0x08, 0x0F}, {0x14, 0x17}, {0x20, 0x22}, {0x40, 0x42}, {0x44, 0x44},
                             {0x60, 0x63}, {0xCC, 0xCC}, {0xCE, 0xCF}, {0xDF, 0xDF}};

// One-byte opcodes that x86-64 mode does not have.
constexpr TOpcodeSet Invalid64{{0x06, 0x07}, {0x0E, 0x0E}, {0x16, 0x17}, {0x1E, 0x1F}, {0x27, 0x27},
                               {0x2F, 0x2F}, {0x37, 0x37}, {0x3F, 0x3F}, {0x60, 0x61}, {0x82, 0x82},
                               {0x9A, 0x9A}, {0xCE, 0xCE}, {0xD4, 0xD6}, {0xEA, 0xEA}};

// One-byte opcodes whose operand size is 64 bits in x86-64 mode without REX.W
// (stack operations and near branches).
constexpr TOpcodeSet Default64{{0x50, 0x5F}, {0x68, 0x68}, {0x6A, 0x6A}, {0x70, 0x7F},
                               {0x8F, 0x8F}, {0x9C, 0x9D}, {0xC2, 0xC3}, {0xC9, 0xC9},
                               {0xE0, 0xE3}, {0xE8, 0xE9}, {0xEB, 0xEB}};

// Word for instructions the 32-bit tables do not know (x86-64 mode): an XMM
// register and an XMM or memory operand, as most of them have.
constexpr uint16_t ExtendedWord(int Imm)
{
    return static_cast<uint16_t>(7 | (6 << 3) | (2 << 6) | (Imm << 10));
}

// The decoder's cursor over the copied window.
struct TCursor {
    TDecodeState& S;
    bool Truncated = false;
    uint8_t Byte()
    {
        if (S.Length >= S.Available) {
            Truncated = true;
            return 0;
        }
        return S.Bytes[S.Length++];
    }
    uint8_t Peek() const { return S.Length < S.Available ? S.Bytes[S.Length] : 0; }
    bool HasMore() const { return S.Length < S.Available; }
    // A little-endian value of N bytes (1, 2, 4 or 8), sign-extended.
    int64_t Signed(unsigned N)
    {
        uint64_t V = 0;
        for (unsigned I = 0; I < N; I++)
            V |= uint64_t(Byte()) << (8 * I);
        if (N < 8 && N > 0 && (V >> (8 * N - 1) & 1))
            V |= ~uint64_t(0) << (8 * N);
        return static_cast<int64_t>(V);
    }
    uint64_t Address() const { return S.Info.Start + S.Length; }
};

uint64_t Wrap(const TDecodeState& S, uint64_t A)
{
    return S.Mode == TCpuMode::x86 ? (A & 0xFFFFFFFFu) : A;
}

void DecodeModRM(TCursor& C)
{
    TDecodeState& S = C.S;
    uint8_t B = C.Byte();
    S.HasModRM = true;
    S.Info.ModRM = B;
    S.Mod = B >> 6;
    S.Memory = S.Mod != 3;
    S.Reg = (B >> 3) & 7;
    S.Rm = B & 7;
    S.Base = S.Index = 0xFF;
    S.Scale = 0;
    bool X64 = S.Mode == TCpuMode::x64;
    uint8_t RexB = S.Rex & 1 ? 8 : 0, RexX = S.Rex & 2 ? 8 : 0;
    if (X64) {
        S.Reg |= S.Rex & 4 ? 8 : 0;
        if (!S.Memory)
            S.Rm |= RexB;
    }
    if (!S.Memory)
        return;
    unsigned DispSize = S.Mod == 1 ? 1 : S.Mod == 2 ? (S.AddressSize == 2 ? 2 : 4) : 0;
    if (S.AddressSize == 2) {
        // 16-bit forms: [bx+si], [bx+di], [bp+si], [bp+di], [si], [di], [bp], [bx].
        static constexpr uint8_t Base16[8] = {3, 3, 5, 5, 6, 7, 5, 3};
        if (S.Rm < 4) {
            S.Index = (S.Rm & 1) ? 7 : 6;
            S.Scale = 1;
        }
        if (S.Mod == 0 && S.Rm == 6)
            DispSize = 2;
        else
            S.Base = Base16[S.Rm];
    } else {
        uint8_t Base = S.Rm;
        if (S.Rm == 4) {
            S.Sib = C.Byte();
            S.HasSib = true;
            Base = S.Sib & 7;
            uint8_t Index = ((S.Sib >> 3) & 7) | RexX;
            if (Index != 4) {
                S.Index = Index;
                S.Scale = static_cast<uint8_t>(1 << (S.Sib >> 6));
            }
        }
        if (S.Mod == 0 && Base == 5) {
            DispSize = 4;
            if (X64 && S.Rm == 5)
                S.RipRelative = true;
        } else {
            S.Base = Base | (X64 ? RexB : 0);
        }
    }
    S.DispLocation = C.Address();
    S.DispSize = static_cast<uint8_t>(DispSize);
    S.Disp = C.Signed(DispSize);
    S.DispUnsigned = DispSize == 4 ? static_cast<uint32_t>(S.Disp) : static_cast<uint64_t>(S.Disp);
    if (DispSize == 1)
        S.DispUnsigned = static_cast<uint8_t>(S.Disp);
    else if (DispSize == 2)
        S.DispUnsigned = static_cast<uint16_t>(S.Disp);
}

bool InList(uint8_t ModRM, std::initializer_list<uint8_t> L)
{
    for (uint8_t V : L)
        if (V == ModRM)
            return true;
    return false;
}

// Whether the decoded form of the opcode is one the processor accepts.
bool CheckOpcodeForm(const TDecodeState& S, uint16_t Opcode)
{
    bool Mem = S.Memory, X64 = S.Mode == TCpuMode::x64;
    uint8_t Reg = S.Reg & 7, M = S.Info.ModRM;
    switch (Opcode) {
    case 0x62:
    case 0x8D:
    case 0xC4:
    case 0xC5:
        return Mem;
    case 0x8C:
    case 0x8E:
        return Reg < 6;
    case 0xD9:
        return Mem ||
               !InList(M, {0xD1, 0xD2, 0xD3, 0xD4, 0xD5, 0xD6, 0xD7, 0xE2, 0xE3, 0xE6, 0xE7, 0xEF});
    case 0xDA:
        return Mem || !(M == 0xE8 || (M >= 0xEA && M <= 0xEF));
    case 0xDB:
        return Mem || !(M >= 0xE5 && M <= 0xE7);
    case 0xDF:
        return Mem || !(M >= 0xE1 && M <= 0xE7);
    case 0xFE:
        return Reg < 2;
    case 0xFF:
        return Reg < 7 && (Mem || (Reg != 3 && Reg != 5));
    case 0x0F00:
        return Reg < 6;
    case 0x0F01:
        return X64 || (Reg != 5 && (Mem || Reg == 4 || Reg == 6 || Reg == 7));
    case 0x0F0D:
        return X64 || (Mem && Reg < 2);
    case 0x0F0F:
        return Amd3DNowName(static_cast<uint8_t>(S.Imm)) != nullptr;
    case 0x0F18:
        return X64 || (Mem && Reg < 4);
    case 0x0F20:
    case 0x0F21:
    case 0x0F22:
    case 0x0F23:
        return !Mem;
    case 0x0F6C:
    case 0x0F6D:
        return S.Prefix66;
    case 0x0F71:
    case 0x0F72:
        return !Mem && (Reg == 2 || Reg == 4 || Reg == 6);
    case 0x0F73:
        return !Mem && (Reg == 2 || Reg == 3 || Reg == 6 || Reg == 7);
    case 0x0F7C:
    case 0x0F7D:
    case 0x0FD0:
        return S.Prefix66 || S.Repne;
    case 0x0FAE:
        return X64 || Reg == 7 || (Reg < 4 && Mem) || ((Reg == 5 || Reg == 6) && !Mem);
    case 0x0FB2:
    case 0x0FB4:
    case 0x0FB5:
    case 0x0FC3:
        return Mem;
    case 0x0FC7:
        return X64 ? (Reg != 0 && Reg != 2) && (Mem || Reg >= 6) : Mem;
    case 0x0FBA:
        return Reg >= 4;
    case 0x0FD6:
    case 0x0FE6:
        return S.Prefix66 || S.Repne || S.Rep;
    case 0x0FF0:
        return S.Repne;
    case 0x0FA6: // only in x86-64 mode here: the 32-bit map leaves it undefined
        return S.Rep && (M == 0xC0 || M == 0xC8 || M == 0xD0);
    case 0x0FA7:
        return M == 0xC0 ||
               (S.Rep && (M == 0xC8 || M == 0xD0 || M == 0xD8 || M == 0xE0 || M == 0xE8));
    default:
        return true;
    }
}

// Whether a lock prefix may stand before the decoded instruction (x86-64
// mode): only read-modify-write instructions with a memory destination take
// it; before anything else the processor raises an invalid-opcode fault.
bool LockAllowed(const TDecodeState& S, uint16_t Opcode)
{
    if (!S.Memory || S.Encoding != enLegacy)
        return false;
    const uint8_t Reg = S.Reg & 7;
    switch (Opcode) {
    case 0x00:
    case 0x01:
    case 0x08:
    case 0x09:
    case 0x10:
    case 0x11:
    case 0x18:
    case 0x19:
    case 0x20:
    case 0x21:
    case 0x28:
    case 0x29:
    case 0x30:
    case 0x31: // alu Eb/Ev, Gb/Gv
    case 0x86:
    case 0x87: // xchg
    case 0x0FAB:
    case 0x0FB3:
    case 0x0FBB: // bts, btr, btc
    case 0x0FB0:
    case 0x0FB1:
    case 0x0FC0:
    case 0x0FC1: // cmpxchg, xadd
        return true;
    case 0x80:
    case 0x81:
    case 0x83:
        return Reg != 7; // not cmp
    case 0xF6:
    case 0xF7:
        return Reg == 2 || Reg == 3; // not, neg
    case 0xFE:
    case 0xFF:
        return Reg <= 1; // inc, dec
    case 0x0FBA:
        return Reg >= 5; // bts, btr, btc
    case 0x0FC7:
        return Reg == 1; // cmpxchg8b, cmpxchg16b
    default:
        return false;
    }
}

// The 0F page in x86-64 mode: what 64-bit code uses beyond the 32-bit map.
uint16_t TwoByteWord64(const TDecodeState& S, uint8_t Op)
{
    switch (Op) {
    case 0x0B: // ud2
        return 0;
    case 0x19:
    case 0x1A:
    case 0x1B:
    case 0x1C:
    case 0x1D:
    case 0x1E: // hint nops, endbr64
        return TwoWords[0x1F];
    case 0x37: // getsec
        return 0;
    case 0x78:
    case 0x79: // vmread, vmwrite
        return 0x0224;
    case 0xA6:         // VIA PadLock: montmul, xsha1, xsha256
    case 0xA7:         // VIA PadLock: xstore, xcrypt...
        return 0x0030; // a ModR/M byte (register forms only, checked below)
    case 0xB8:         // popcnt
        return S.Rep ? TwoWords[0xBC] : 0xFFFF;
    case 0xB9:
    case 0xFF: // ud1, ud0
        return TwoWords[0xBC];
    default:
        return TwoWords[Op];
    }
}

void DecodeTarget(TDecodeState& S, TRegisterSources* Registers, bool UseRegisters,
                  const TCodeReader* Memory)
{
    TInstructionInfo& I = S.Info;
    bool X64 = S.Mode == TCpuMode::x64;
    uint16_t Op = I.Opcode;
    if (S.Flags & 0x1000) {
        I.Relative = true;
        I.TargetLocation = S.ImmLocation;
        I.Target = Wrap(S, S.ImmLocation + S.ImmSize + static_cast<uint64_t>(S.Imm));
        I.TargetSize = S.ImmSize;
        I.Widenable = !(Op >= 0xE0 && Op <= 0xE3);
        if (Op == 0xE8)
            I.IsCall = true;
        else
            I.IsJump = true;
        return;
    }
    if (Op == 0x9A) {
        I.IsCall = true;
        return;
    }
    if (Op == 0xEA) {
        I.IsJump = true;
        return;
    }
    if (Op != 0xFF || S.Encoding != enLegacy)
        return;
    uint8_t Reg = S.Reg & 7;
    if (Reg < 2 || Reg > 5)
        return;
    if (Reg <= 3)
        I.IsCall = true;
    else
        I.IsJump = true;
    // Far forms read a pointer of operand size; near ones one of the stack width.
    unsigned Size = 4;
    if (X64)
        Size = (Reg == 3 || Reg == 5) ? (S.OperandSize == 8 ? 8 : 4) : 8;
    auto ReadPointer = [&](uint64_t Where) {
        uint64_t V = 0;
        if (S.Segment != 0) {
            I.Valid = true;
            return;
        }
        I.Valid = Memory != nullptr && Memory->TryRead(Where, &V, Size);
        if (I.Valid)
            I.Target = Size == 4 ? static_cast<uint32_t>(V) : V;
    };
    if (S.Memory && S.Base == 0xFF && S.Index == 0xFF && S.DispSize == 4) {
        I.TargetPointerLocation = S.DispLocation;
        I.TargetPointer = Wrap(S, static_cast<uint64_t>(S.Disp));
        I.TargetSize = 4;
        I.Widenable = true;
        if (S.RipRelative)
            I.TargetPointer = S.DispLocation + 4 + S.ImmSize + static_cast<uint64_t>(S.Disp);
        ReadPointer(I.TargetPointer);
        return;
    }
    if (!UseRegisters || !Registers || S.AddressSize == 2)
        return;
    uint8_t R = S.Memory ? S.Base : S.Rm;
    if (R == 0xFF || S.Index != 0xFF || S.DispSize != 0)
        return;
    uint64_t Source = Registers->Address[R & 15];
    if (!Source)
        return;
    unsigned SourceSize = Registers->Size[R & 15] == 8 ? 8 : 4;
    uint64_t Value = 0;
    if (!Memory || !Memory->TryRead(Source, &Value, SourceSize))
        return;
    if (S.Memory) {
        I.TargetPointerLocation = Source;
        I.TargetPointer = Value;
        ReadPointer(Value);
    } else {
        I.TargetLocation = Source;
        I.Target = Value;
    }
    I.TargetSize = static_cast<int32_t>(SourceSize);
}

} // namespace

void TrackRegisters(const TDecodeState& S, TRegisterSources& R)
{
    bool X64 = S.Mode == TCpuMode::x64;
    uint8_t Op = S.OpcodeByte;
    uint8_t OpReg = (Op & 7) | (X64 && (S.Rex & 1) ? 8 : 0);
    bool RegForm = S.HasModRM && !S.Memory;
    if (S.Encoding != enLegacy || S.Map >= map0F38) {
        // Few of these write general registers (BMI, pextr, movd, crc32...);
        // forgetting both ModR/M registers is safe for all of them.
        R.Forget(S.Reg);
        if (RegForm)
            R.Forget(S.Rm);
        return;
    }
    unsigned Class = S.Flags == 0xFFFF ? 0 : S.Flags >> 13;
    if (Class == 4 || Class == 6 || Class == 7)
        R.Forget(0);
    if ((Class == 2 || Class == 5 || Class == 6) && RegForm)
        R.Forget(S.Rm);
    if (Class == 1 || Class == 5)
        R.Forget(S.Reg);
    if (Class == 3 || Class == 7)
        R.Forget(OpReg);
    uint8_t Reg = S.Reg & 7;
    if (S.Map == mapOneByte) {
        switch (Op) {
        case 0x61:
            R = TRegisterSources{};
            break;
        case 0x6C:
        case 0x6D:
        case 0xAA:
        case 0xAB:
        case 0xAE:
        case 0xAF:
            R.Forget(7);
            break;
        case 0xAC:
        case 0xAD: // lods loads the accumulator as well
            R.Forget(0);
            [[fallthrough]];
        case 0x6E:
        case 0x6F:
            R.Forget(6);
            break;
        case 0xA4:
        case 0xA5:
        case 0xA6:
        case 0xA7:
            R.Forget(6);
            R.Forget(7);
            break;
        case 0x80:
        case 0x81:
        case 0x82:
        case 0x83:
            if (RegForm && Reg != 7)
                R.Forget(S.Rm);
            break;
        case 0x8B:
            if (RegForm) {
                R.Address[S.Reg & 15] = R.Address[S.Rm & 15];
                R.Size[S.Reg & 15] = R.Size[S.Rm & 15];
            }
            break;
        case 0x99:
            R.Forget(2);
            break;
        // These change the accumulator without naming it as an operand.
        case 0x27:
        case 0x2F:
        case 0x37:
        case 0x3F:
        case 0x98:
        case 0x9F:
        case 0xD4:
        case 0xD5:
        case 0xD7:
            R.Forget(0);
            break;
        case 0xB8:
        case 0xB9:
        case 0xBA:
        case 0xBB:
        case 0xBC:
        case 0xBD:
        case 0xBE:
        case 0xBF:
            if (!S.Prefix66 || S.OperandSize == 8) {
                R.Address[OpReg] = S.ImmLocation;
                R.Size[OpReg] = S.ImmSize == 8 ? 8 : 4;
            }
            break;
        case 0xC7:
            if (RegForm && !S.Prefix66) {
                // mov r64, imm32 sign-extends: the stored 4 bytes are not its value.
                if (S.OperandSize == 8)
                    R.Forget(S.Rm);
                else {
                    R.Address[S.Rm & 15] = S.ImmLocation;
                    R.Size[S.Rm & 15] = 4;
                }
            }
            break;
        case 0xC8:
        case 0xC9:
            R.Forget(5);
            break;
        case 0xDF:
            if (S.Info.ModRM == 0xE0)
                R.Forget(0);
            break;
        case 0xE0:
        case 0xE1:
        case 0xE2:
            R.Forget(1);
            break;
        case 0xF7:
            if (Reg >= 4)
                R.Forget(2);
            break;
        case 0xFF:
            if (RegForm && Reg <= 1)
                R.Forget(S.Rm);
            break;
        default:
            break;
        }
        return;
    }
    switch (Op) {
    case 0x00:
        if (RegForm && Reg <= 1)
            R.Forget(S.Rm);
        break;
    case 0x01:
        if (RegForm) {
            if (Reg == 4)
                R.Forget(S.Rm);
            else { // rdtscp, xgetbv and their kind write edx:eax (and ecx)
                R.Forget(0);
                R.Forget(1);
                R.Forget(2);
            }
        }
        break;
    case 0x05: // syscall: the result in rax, the return address in rcx, flags in r11
        R.Forget(0);
        R.Forget(1);
        R.Forget(11);
        break;
    case 0x2C:
    case 0x2D:
        if (S.Repne || S.Rep)
            R.Forget(S.Reg);
        break;
    case 0x31:
    case 0x32:
    case 0x33: // results in edx:eax
        R.Forget(0);
        R.Forget(2);
        break;
    case 0x7E:
    case 0x7F:
        if (!S.Rep && RegForm)
            R.Forget(S.Rm);
        break;
    case 0xA2:
        R.Forget(0);
        R.Forget(1);
        R.Forget(2);
        R.Forget(3);
        break;
    case 0xBA:
        if (Reg >= 5 && RegForm)
            R.Forget(S.Rm);
        break;
    case 0xC7: // cmpxchg8b loads edx:eax; rdrand, rdseed write their register
        R.Forget(0);
        R.Forget(2);
        if (RegForm)
            R.Forget(S.Rm);
        break;
    default:
        break;
    }
}

namespace {

// The vector length of a decoded vector instruction in bytes (16, 32, 64).
unsigned VectorBytes(const TDecodeState& S)
{
    return 16u << std::min<unsigned>(S.VexL, 2);
}

// How much the 8-bit displacement of an EVEX memory operand is scaled.
unsigned Disp8Scale(const TDecodeState& S, const TVecOp& E)
{
    const unsigned Vl = VectorBytes(S);
    const unsigned Elem = S.VexW ? 8 : 4;
    switch (E.Tuple) {
    case tuFV:
        return S.EvexB ? Elem : Vl;
    case tuFV32:
        return S.EvexB ? 4 : Vl;
    case tuHV:
        return S.EvexB ? 4 : Vl / 2;
    case tuFVM:
        return Vl;
    case tuHVM:
        return Vl / 2;
    case tuQVM:
        return Vl / 4;
    case tuOVM:
        return Vl / 8;
    case tuT1S:
        return Elem;
    case tuT1S8:
        return 1;
    case tuT1S16:
        return 2;
    case tuT1S32:
        return 4;
    case tuT1S64:
        return 8;
    case tuT2:
        return Elem * 2;
    case tuT4:
        return Elem * 4;
    case tuT8:
        return Elem * 8;
    case tuM128:
        return 16;
    default:
        return 1;
    }
}

// The operand template of a vector entry for the decoded form (register
// or memory); empty for a form the entry does not have.
std::string_view VecTemplate(const TDecodeState& S, const TVecOp& E)
{
    std::string_view Ops = E.Ops;
    // "W0 form/W1 form"
    if (const auto Slash = Ops.find('/'); Slash != std::string_view::npos)
        Ops = S.VexW ? Ops.substr(Slash + 1) : Ops.substr(0, Slash);
    const auto Colon = Ops.find(':');
    if (Colon == std::string_view::npos)
        return Ops;
    return S.Memory ? Ops.substr(Colon + 1) : Ops.substr(0, Colon);
}

bool DecodeVector(TCursor& C, uint8_t Escape)
{
    TDecodeState& S = C.S;
    const bool Evex = Escape == 0x62;
    uint8_t P0 = C.Byte();
    uint8_t Map = 1, VvvvHigh = 0, RegHigh = 0, RmHigh = 0;
    if (Escape == 0xC5) {
        S.VexL = (P0 >> 2) & 1;
        S.VexPP = P0 & 3;
        S.Vvvv = static_cast<uint8_t>((~P0 >> 3) & 15);
        S.Rex = static_cast<uint8_t>(0x40 | (P0 & 0x80 ? 0 : 4));
    } else {
        const uint8_t P1 = C.Byte();
        Map = P0 & (Evex ? 7 : 0x1F);
        S.VexW = P1 >> 7;
        S.VexPP = P1 & 3;
        S.Vvvv = static_cast<uint8_t>((~P1 >> 3) & 15);
        S.Rex = static_cast<uint8_t>(0x40 | (S.VexW ? 8 : 0) | (P0 & 0x80 ? 0 : 4) |
                                     (P0 & 0x40 ? 0 : 2) | (P0 & 0x20 ? 0 : 1));
        if (Evex) {
            const uint8_t P2 = C.Byte();
            // Reserved bits: P0 bit 3 zero, P1 bit 2 one.
            if ((P0 & 8) != 0 || (P1 & 4) == 0)
                return false;
            RegHigh = P0 & 0x10 ? 0 : 16; // R'
            RmHigh = P0 & 0x40 ? 0 : 16;  // X, for a register operand
            VvvvHigh = P2 & 8 ? 0 : 16;   // V'
            S.VexL = (P2 >> 5) & 3;
            S.EvexB = (P2 & 0x10) != 0;
            S.Zeroing = (P2 & 0x80) != 0;
            S.MaskReg = P2 & 7;
            S.Encoding = enEvex;
        } else {
            S.VexL = (P1 >> 2) & 1;
            S.Encoding = Escape == 0x8F ? enXop : enVex;
        }
    }
    if (Escape == 0xC5 || Escape == 0xC4)
        S.Encoding = enVex;
    if (S.VexW)
        S.OperandSize = 8;
    S.VecMap = Map;
    const bool Xop = S.Encoding == enXop;
    if (Xop ? (Map < 8 || Map > 10) : (Map < 1 || Map > 3))
        return false;
    S.Map = Xop ? static_cast<uint8_t>(mapOneByte) : Map;
    S.OpcodeByte = C.Byte();
    // Only vzeroupper and vzeroall come without a ModR/M byte.
    const bool NoModRM = !Evex && !Xop && Map == 1 && S.OpcodeByte == 0x77;
    if (!NoModRM) {
        DecodeModRM(C);
        S.Reg = static_cast<uint8_t>(S.Reg | RegHigh);
        if (!S.Memory)
            S.Rm = static_cast<uint8_t>(S.Rm | RmHigh);
    }
    S.Vvvv = static_cast<uint8_t>(S.Vvvv | VvvvHigh);
    const TVecOp* E = FindVecOp(Map, S.OpcodeByte, S.VexPP, NoModRM ? 0 : S.Reg & 7, Evex, S.VexW);
    if (E == nullptr)
        return false;
    S.VecOp = E;
    // Immediate: a byte (or the register byte of a four-operand form); a
    // dword for XOP's third map.
    const std::string_view Ops = VecTemplate(S, *E);
    unsigned ImmSize = 0;
    if (Ops.find("Ib") != std::string_view::npos || Ops.ends_with(",L"))
        ImmSize = 1;
    else if (Ops.find("Id") != std::string_view::npos)
        ImmSize = 4;
    S.ImmLocation = C.Address();
    S.ImmSize = static_cast<uint8_t>(ImmSize);
    S.Imm = ImmSize == 4 ? static_cast<int64_t>(static_cast<uint32_t>(C.Signed(4)))
                         : static_cast<int64_t>(static_cast<uint8_t>(C.Signed(ImmSize)));
    // The form rules.
    if (Ops.empty() && !NoModRM)
        return false; // a register form of a memory-only entry, or the reverse
    // Register-only operands in a memory form, memory-only ones in a
    // register form.
    for (size_t At = 0; At < Ops.size();) {
        size_t End = Ops.find(',', At);
        if (End == std::string_view::npos)
            End = Ops.size();
        const std::string_view Tk = Ops.substr(At, End - At);
        At = End + 1;
        const bool RegOnly = Tk[0] == 'U' || Tk == "KR" || Tk[0] == 'R';
        const bool MemOnly = Tk[0] == 'M' || Tk == "Xv";
        if ((RegOnly && S.Memory) || (MemOnly && !S.Memory))
            return false;
    }
    const bool UsesVvvv =
        Ops.find('H') != std::string_view::npos || Ops.find("By") != std::string_view::npos;
    if (!UsesVvvv && S.Vvvv != 0)
        return false;
    if (E->L == lZero && S.VexL != 0)
        return false;
    if (E->L == lWide && S.VexL == 0)
        return false;
    if (E->L == l512 && S.VexL != 2)
        return false;
    if (Evex) {
        const bool Rounding = S.EvexB && !S.Memory;
        if (Rounding ? (E->Rc & 3) == rcNone : S.VexL == 3)
            return false;
        if (S.EvexB && S.Memory && E->Tuple != tuFV && E->Tuple != tuFV32 && E->Tuple != tuHV)
            return false;
        // Zeroing needs a mask, and is no form of a store or of a compare
        // into a mask register.
        const bool MaskDest = Ops.starts_with("KV");
        const bool Store = Ops.find('T') != std::string_view::npos && S.Memory;
        if (S.Zeroing && (S.MaskReg == 0 || MaskDest || Store))
            return false;
        if (S.MaskReg != 0 && (E->Rc & rcNoMask) != 0)
            return false;
        if (S.Memory && S.DispSize == 1) {
            S.Disp *= static_cast<int64_t>(Disp8Scale(S, *E));
            S.DispUnsigned = static_cast<uint64_t>(S.Disp);
        }
    }
    // Gathers take a vector index (any of them: 4 names a register here, not
    // "no index"), which must name neither the destination nor the mask.
    if (Ops.find("Xv") != std::string_view::npos && S.HasSib) {
        S.Index = static_cast<uint8_t>(((S.Sib >> 3) & 7) | (S.Rex & 2 ? 8 : 0));
        S.Scale = static_cast<uint8_t>(1 << (S.Sib >> 6));
    }
    if (Ops.find("Xv") != std::string_view::npos &&
        (!S.HasSib || S.Index == 0xFF || (S.Index & 15) == (S.Reg & 15) ||
         (S.Reg & 15) == (S.Vvvv & 15) || (S.Index & 15) == (S.Vvvv & 15)))
        return false;
    return true;
}

} // namespace

void DecodeInstruction(TDecodeState& S, TCpuMode Mode, uint64_t Code, const uint8_t* Window,
                       size_t Count, TRegisterSources* Registers, bool UseRegisters,
                       const TCodeReader* Memory)
{
    S = TDecodeState{};
    S.Mode = Mode;
    TInstructionInfo& I = S.Info;
    I.Start = Code;
    if (Code == 0)
        return;
    bool X64 = Mode == TCpuMode::x64;
    S.Available = static_cast<uint8_t>(Count < MaxInstructionLength ? Count : MaxInstructionLength);
    if (!Window)
        S.Available = 0;
    if (S.Available)
        std::memcpy(S.Bytes, Window, S.Available);
    S.AddressSize = X64 ? 8 : 4;
    TCursor C{S};

    // Prefixes.
    uint8_t B;
    for (;;) {
        B = C.Byte();
        if (C.Truncated)
            break;
        switch (B) {
        case 0xF2:
        case 0xF3:
            if (B == 0xF2)
                S.Repne = true;
            else
                S.Rep = true;
            S.LastRepPrefix = B;
            if (C.Peek() != 0x0F && Registers)
                Registers->Forget(1);
            S.Rex = 0;
            continue;
        case 0xF0:
            S.Lock = true;
            S.Rex = 0;
            continue;
        case 0x66:
            S.Prefix66 = true;
            S.OperandSize = 2;
            S.Rex = 0;
            continue;
        case 0x67:
            S.Prefix67 = true;
            S.AddressSize = X64 ? 4 : 2;
            S.Rex = 0;
            continue;
        case 0x26:
        case 0x2E:
        case 0x36:
        case 0x3E:
            S.Segment = static_cast<uint8_t>(((B >> 3) & 3) + 1);
            S.Rex = 0;
            continue;
        case 0x64:
        case 0x65:
            S.Segment = static_cast<uint8_t>(B - 0x60 + 1);
            S.Rex = 0;
            continue;
        default:
            break;
        }
        if (X64 && (B & 0xF0) == 0x40) {
            S.Rex = B; // only the REX byte right before the opcode counts
            continue;
        }
        break;
    }
    if (X64 && (S.Rex & 8))
        S.OperandSize = 8;

    // Opcode.
    uint16_t Word = 0xFFFF;
    uint16_t Opcode = B;
    bool Valid = true;
    if (!C.Truncated) {
        S.OpcodeByte = B;
        if (B == 0x0F) {
            uint8_t B2 = C.Byte();
            S.Map = map0F;
            S.OpcodeByte = B2;
            Opcode = static_cast<uint16_t>(0x0F00 + B2);
            if (X64 && (B2 == 0x38 || B2 == 0x3A)) {
                S.Map = B2 == 0x38 ? map0F38 : map0F3A;
                S.OpcodeByte = C.Byte();
                bool Known =
                    S.Map == map0F38 ? Map0F38.Has(S.OpcodeByte) : Map0F3A.Has(S.OpcodeByte);
                Word = Known ? ExtendedWord(S.Map == map0F3A ? 1 : 0) : 0xFFFF;
            } else {
                Word = X64 ? TwoByteWord64(S, B2) : TwoWords[B2];
                S.MnemonicIndex = TwoIndex[B2];
            }
        } else if (X64 &&
                   (B == 0xC4 || B == 0xC5 || B == 0x62 || (B == 0x8F && (C.Peek() & 0x1F) >= 8))) {
            // VEX, EVEX and XOP: no legacy 66h/F2h/F3h/F0h or REX may come
            // before them. Decoded whole here: ModR/M, displacement and
            // immediate by the opcode table's entry.
            Valid = !(S.Prefix66 || S.Rep || S.Repne || S.Lock || S.Rex) && DecodeVector(C, B);
            Opcode = static_cast<uint16_t>(S.Map == map0F     ? 0x0F00 + S.OpcodeByte
                                           : S.Map == map0F3A ? 0x0F3A
                                                              : 0x0F38);
            Word = Valid ? 0 : 0xFFFF;
        } else {
            Word = OneWords[B];
            S.MnemonicIndex = OneIndex[B];
            if (X64) {
                if (Invalid64.Has(B))
                    Word = 0xFFFF;
                else if (B == 0x63)
                    Word = 0x20E4; // movsxd Gv, Ed
                if (Default64.Has(B) && !S.Prefix66)
                    S.OperandSize = 8;
            }
        }
    }
    I.Opcode = Opcode;
    S.Flags = Word;

    // ModR/M and the group forms.
    if (!C.Truncated && Word != 0xFFFF && (Word & 0x38)) {
        DecodeModRM(C);
        if ((Word & 0x38) == 0x08 && S.Map == mapOneByte) {
            for (auto& Row : GroupWords)
                if (Row.Opcode == static_cast<uint8_t>(Opcode)) {
                    Word = S.Memory ? Row.Memory[S.Reg & 7] : Row.Register[S.Reg & 7];
                    break;
                }
            S.Flags = Word;
        }
        if (X64 && Opcode == 0xFF && !S.Prefix66 &&
            ((S.Reg & 7) == 2 || (S.Reg & 7) == 4 || (S.Reg & 7) == 6))
            S.OperandSize = 8;
        if (X64 && Opcode == 0x8F && (S.Reg & 7) != 0)
            Word = S.Flags = 0xFFFF; // XOP encodings are not decoded
    }

    // Immediate size (a vector encoding has read its own).
    if (S.VecOp == nullptr) {
        unsigned ImmSize = 0;
        if (Word != 0xFFFF) {
            switch ((Word >> 10) & 3) {
            case 1:
                ImmSize = 1;
                break;
            case 2:
                ImmSize = 2;
                break;
            case 3:
                ImmSize = S.OperandSize == 8 ? 4 : S.OperandSize;
                if (X64 && (Word & 0x1000))
                    ImmSize = 4; // near branches keep rel32 under 66h
                else if (X64 && S.OperandSize == 8 && S.Map == mapOneByte &&
                         (Opcode & 0xF8) == 0xB8)
                    ImmSize = 8;
                break;
            default:
                if (S.Map == mapOneByte && S.Encoding == enLegacy) {
                    if (Opcode == 0x9A || Opcode == 0xEA)
                        ImmSize = S.OperandSize + 2u;
                    else if (Opcode >= 0xA0 && Opcode <= 0xA3)
                        ImmSize = S.AddressSize;
                    else if (Opcode == 0xC8)
                        ImmSize = 3;
                }
                break;
            }
        }
        S.ImmLocation = C.Address();
        S.ImmSize = static_cast<uint8_t>(ImmSize);
        bool Legacy1 = S.Map == mapOneByte && S.Encoding == enLegacy;
        if (Legacy1 && Opcode == 0xC8 && ImmSize == 3) { // enter: a word and a byte
            S.Imm = static_cast<uint16_t>(C.Signed(2));
            S.Imm2 = C.Byte();
        } else if (Legacy1 && (Opcode == 0x9A || Opcode == 0xEA) && ImmSize) {
            int64_t Offset = C.Signed(ImmSize - 2);
            S.Imm = ImmSize == 6 ? static_cast<uint32_t>(Offset) : static_cast<uint16_t>(Offset);
            S.FarSelector = static_cast<uint16_t>(C.Signed(2));
        } else if (Legacy1 && Opcode >= 0xA0 && Opcode <= 0xA3) {
            int64_t Offset = C.Signed(ImmSize);
            S.Imm = ImmSize == 8   ? Offset
                    : ImmSize == 4 ? static_cast<int64_t>(static_cast<uint32_t>(Offset))
                                   : static_cast<int64_t>(static_cast<uint16_t>(Offset));
        } else if (ImmSize == 4 && !(Word & 0x1000) && S.OperandSize != 8) {
            // A 4-byte immediate is kept as stored; a 64-bit operation sign-extends it.
            S.Imm = static_cast<uint32_t>(C.Signed(4));
        } else {
            S.Imm = C.Signed(ImmSize);
        }
    }
    if (C.Truncated) {
        // The bytes ran out (unreadable memory, or more than 15 bytes).
        I.Valid = false;
        I.Next = Code + S.Length;
        I.Opcode = Opcode;
        return;
    }

    if (X64 && S.Lock && !LockAllowed(S, Opcode))
        Valid = false;
    if (Word != 0xFFFF && Valid && (S.Encoding != enLegacy || CheckOpcodeForm(S, Opcode))) {
        I.Valid = true;
        DecodeTarget(S, Registers, UseRegisters, Memory);
        if (I.Valid && Registers)
            TrackRegisters(S, *Registers);
    }
    I.Next = Code + S.Length;
    if ((I.IsJump || I.IsCall) && I.Target == I.Next) {
        I.IsCall = I.IsJump = I.Relative = I.Widenable = false;
        I.Target = I.TargetLocation = I.TargetPointerLocation = I.TargetPointer = 0;
        I.TargetSize = 0;
    }
}

void DecodeInstructionAt(TDecodeState& S, TCpuMode Mode, uint64_t Code, TRegisterSources* Registers,
                         bool UseRegisters, const TCodeReader& Memory)
{
    // Copy the window in two parts, split at the page boundary, so that code
    // that ends right before an unreadable page still decodes. A reader that
    // refuses a part is asked byte by byte for what it does have.
    uint8_t Window[MaxInstructionLength];
    size_t Count = 0;
    auto Copy = [&](size_t Want) {
        if (Memory.TryRead(Code + Count, Window + Count, Want)) {
            Count += Want;
            return true;
        }
        for (size_t K = 0; K < Want && Memory.TryRead(Code + Count, Window + Count, 1); K++)
            Count++;
        return false;
    };
    if (Code != 0) {
        constexpr uint64_t PageSize = 4096;
        size_t First = static_cast<size_t>(PageSize - (Code & (PageSize - 1)));
        if (First > MaxInstructionLength)
            First = MaxInstructionLength;
        if (Copy(First) && First < MaxInstructionLength)
            Copy(MaxInstructionLength - First);
    }
    DecodeInstruction(S, Mode, Code, Window, Count, Registers, UseRegisters, &Memory);
}

TInstructionInfo ParseCodeEx(uint64_t Code, TRegisterSources* Registers, bool UseRegisters,
                             const TCodeReader& Memory, TCpuMode Mode)
{
    TDecodeState S;
    DecodeInstructionAt(S, Mode, Code, Registers, UseRegisters, Memory);
    return S.Info;
}

// --- Instruction text ---------------------------------------------------------------

namespace {

constexpr const char* Reg8Legacy[8] = {"al", "cl", "dl", "bl", "ah", "ch", "dh", "bh"};
constexpr const char* Reg8[16] = {"al",  "cl",  "dl",   "bl",   "spl",  "bpl",  "sil",  "dil",
                                  "r8b", "r9b", "r10b", "r11b", "r12b", "r13b", "r14b", "r15b"};
constexpr const char* Reg16[16] = {"ax",  "cx",  "dx",   "bx",   "sp",   "bp",   "si",   "di",
                                   "r8w", "r9w", "r10w", "r11w", "r12w", "r13w", "r14w", "r15w"};
constexpr const char* Reg32[16] = {"eax", "ecx", "edx",  "ebx",  "esp",  "ebp",  "esi",  "edi",
                                   "r8d", "r9d", "r10d", "r11d", "r12d", "r13d", "r14d", "r15d"};
constexpr const char* Reg64[16] = {"rax", "rcx", "rdx", "rbx", "rsp", "rbp", "rsi", "rdi",
                                   "r8",  "r9",  "r10", "r11", "r12", "r13", "r14", "r15"};
constexpr const char* SegNames[6] = {"es", "cs", "ss", "ds", "fs", "gs"};
constexpr std::string_view ConditionCodes = "o|no|b|nb|z|nz|be|a|s|ns|p|np|l|ge|le|g";

std::string_view Item(std::string_view S, char Sep, size_t N)
{
    for (size_t I = 0; I < N; I++) {
        auto P = S.find(Sep);
        if (P == std::string_view::npos)
            return {};
        S = S.substr(P + 1);
    }
    return S.substr(0, S.find(Sep));
}

size_t ItemCount(std::string_view S, char Sep)
{
    return static_cast<size_t>(std::count(S.begin(), S.end(), Sep)) + 1;
}

// Lower-case hex digits of V, at least MinDigits of them, appended to Out.
void AppendHex(std::string& Out, uint64_t V, int MinDigits = 1)
{
    char Buf[16];
    int N = 16;
    do {
        Buf[--N] = "0123456789abcdef"[V & 15];
        V >>= 4;
    } while (V);
    while (16 - N < MinDigits && N > 0)
        Buf[--N] = '0';
    Out.append(Buf + N, 16 - N);
}

std::string Hex(uint64_t V)
{
    std::string T = "$";
    AppendHex(T, V);
    return T;
}

// Decimal below 10, else hex with "$".
std::string Number(uint64_t V)
{
    return V < 10 ? std::string(1, static_cast<char>('0' + V)) : Hex(V);
}

// "+" or "-", then the magnitude as above.
std::string SignedNumber(int64_t V)
{
    uint64_t M = V < 0 ? 0 - static_cast<uint64_t>(V) : static_cast<uint64_t>(V);
    return (V < 0 ? "-" : "+") + Number(M);
}

std::string GeneralRegister(const TDecodeState& S, unsigned N, unsigned Size)
{
    N &= 15;
    switch (Size) {
    case 1:
        return S.Rex ? Reg8[N] : Reg8Legacy[N & 7];
    case 2:
        return Reg16[N];
    case 8:
        return Reg64[N];
    default:
        return Reg32[N];
    }
}

bool X64(const TDecodeState& S)
{
    return S.Mode == TCpuMode::x64;
}

// Which "/" variant the prefixes choose: none, 66h, F3h, F2h.
size_t PrefixVariant(const TDecodeState& S)
{
    if (S.LastRepPrefix == 0xF3)
        return 2;
    if (S.LastRepPrefix == 0xF2)
        return 3;
    return S.Prefix66 ? 1 : 0;
}

const TOpSpec* GroupOps(const TDecodeState& S)
{
    if (S.Map != mapOneByte || S.Encoding != enLegacy)
        return nullptr;
    for (auto& Row : GroupSpec)
        if (Row.Opcode == S.OpcodeByte)
            return S.Memory ? &Row.Memory[S.Reg & 7] : &Row.Register[S.Reg & 7];
    return nullptr;
}

// The operand template of the decoded instruction (the variant its prefixes choose).
// The "/" variant of a template (or mnemonic) that the prefixes choose; the
// first variant when that one is empty.
std::string_view ChooseVariant(const TDecodeState& S, std::string_view V)
{
    if (V.find('/') == std::string_view::npos)
        return V;
    std::string_view C = Item(V, '/', PrefixVariant(S));
    return C.empty() ? FirstVariant(V) : C;
}

std::string_view OperandTemplate(const TDecodeState& S)
{
    if (S.Encoding != enLegacy)
        return {};
    if (S.Map >= map0F38) {
        const TThreeByteSpec* E = FindThreeByte(S.Map, S.OpcodeByte);
        return E ? ChooseVariant(S, E->Ops) : std::string_view();
    }
    if (const TOpSpec* G = GroupOps(S))
        return G->Ops;
    std::string_view Ops =
        S.Map == mapOneByte ? OneByteSpec[S.OpcodeByte].Ops : TwoByteSpec[S.OpcodeByte].Ops;
    if (X64(S) && S.Map == mapOneByte && S.OpcodeByte == 0x63)
        return "Gv,Ed";
    if (X64(S) && S.Map == map0F) {
        switch (S.OpcodeByte) {
        case 0x19:
        case 0x1A:
        case 0x1B:
        case 0x1C:
        case 0x1D:
        case 0x1E:
            return "Ev";
        case 0xB8:
        case 0xB9:
        case 0xFF:
            return "Gv,Ev";
        case 0x78:
            return "Ey,Gy";
        case 0x79:
            return "Gy,Ey";
        default:
            break;
        }
    }
    if (Ops.find('/') == std::string_view::npos)
        return Ops;
    std::string_view V = Item(Ops, '/', PrefixVariant(S));
    return V.empty() ? FirstVariant(Ops) : V;
}

// A token of up to four characters as one number, so that comparing tokens
// is comparing integers.
constexpr uint32_t PackToken(std::string_view T)
{
    uint32_t V = 0;
    for (size_t I = 0; I < T.size() && I < 4; I++)
        V |= uint32_t(static_cast<uint8_t>(T[I])) << (8 * I);
    return V;
}
consteval uint32_t Pack(std::string_view T)
{
    return PackToken(T);
}

int TokenSize(const TDecodeState& S, std::string_view T)
{
    const uint32_t K = PackToken(T);
    if (K == Pack("Eb") || K == Pack("Mb") || K == Pack("Gb"))
        return 1;
    if (K == Pack("Ew") || K == Pack("Mw") || K == Pack("Gw"))
        return 2;
    if (K == Pack("Ed") || K == Pack("Md") || K == Pack("Gd"))
        return 4;
    if (K == Pack("Ey") || K == Pack("Gy") || K == Pack("Rd"))
        return X64(S) && (S.Rex & 8 || K == Pack("Rd")) ? 8 : 4;
    if (K == Pack("Mq") || K == Pack("Q") || K == Pack("N"))
        return 8;
    if (K == Pack("Mt"))
        return 10;
    if (K == Pack("Mo") || K == Pack("W") || K == Pack("U"))
        return 16;
    if (K == Pack("Qx") || K == Pack("Nx"))
        return S.Prefix66 ? 16 : 8;
    if (K == Pack("Mp"))
        return S.OperandSize + 2;
    if (K == Pack("Ev"))
        return S.OperandSize;
    return 0;
}

std::string_view SizeWord(int Size)
{
    switch (Size) {
    case 1:
        return "byte";
    case 2:
        return "word";
    case 4:
        return "dword";
    case 6:
        return "fword";
    case 8:
        return "qword";
    case 10:
        return "tbyte";
    case 16:
        return "oword";
    case 32:
        return "yword";
    case 64:
        return "zword";
    default:
        return {};
    }
}

std::string AddressRegister(const TDecodeState& S, unsigned N)
{
    if (S.AddressSize == 2)
        return Reg16[N & 7];
    return S.AddressSize == 8 ? Reg64[N & 15] : Reg32[N & 15];
}

// The memory operand with a size word for Size bytes (none for 0). A
// vector index (gathers) is named as the vector register it is.
void ComposeSizedMemoryOperand(std::string& T, const TDecodeState& S, int Size,
                               const char* VectorIndex = nullptr)
{
    std::string_view W = SizeWord(Size);
    if (!W.empty()) {
        T += W;
        T += " ptr ";
    }
    if (S.Segment) {
        T += SegNames[S.Segment - 1];
        T += ':';
    }
    T += '[';
    bool Any = false;
    if (S.RipRelative) {
        T += "rip";
        Any = true;
    } else if (S.Base != 0xFF) {
        T += AddressRegister(S, S.Base);
        Any = true;
    }
    if (S.Index != 0xFF) {
        if (Any)
            T += '+';
        T += VectorIndex != nullptr ? std::string(VectorIndex) + std::to_string(S.Index & 31)
                                    : AddressRegister(S, S.Index);
        if (S.Scale > 1) {
            T += '*';
            T += static_cast<char>('0' + S.Scale);
        }
        Any = true;
    }
    if (!Any) {
        T += '$';
        AppendHex(T, S.AddressSize == 8 ? static_cast<uint64_t>(S.Disp) : S.DispUnsigned);
    } else if (S.DispSize) {
        T += SignedNumber(S.Disp);
    }
    T += ']';
}

void ComposeMemoryOperand(std::string& T, const TDecodeState& S, std::string_view Token,
                          bool ShowSize)
{
    ComposeSizedMemoryOperand(T, S, ShowSize ? TokenSize(S, Token) : 0);
}

// The immediate as the instruction uses it.
uint64_t ImmediateValue(const TDecodeState& S)
{
    uint8_t Op = S.OpcodeByte;
    bool OneByte = S.Map == mapOneByte && S.Encoding == enLegacy;
    uint64_t V = static_cast<uint64_t>(S.Imm);
    unsigned Size = S.ImmSize;
    if (OneByte && (Op == 0x83 || Op == 0x6B || Op == 0x6A))
        Size = S.OperandSize; // sign-extended to the operand size
    if (S.OperandSize == 8 && Size == 4)
        Size = 8; // 64-bit operations sign-extend their imm32
    return Size >= 8 ? V : V & ((uint64_t(1) << (8 * Size)) - 1);
}

std::string ComposeImmediate(const TDecodeState& S)
{
    return Number(ImmediateValue(S));
}

void ComposeBranchTarget(std::string& T, const TDecodeState& S)
{
    T += SignedNumber(S.Imm);
    T += " ($";
    uint64_t Target = S.Info.Target ? S.Info.Target : Wrap(S, S.ImmLocation + S.ImmSize + S.Imm);
    AppendHex(T, Target, X64(S) ? 16 : 8);
    T += ')';
}

// The name of a vector instruction: by W where the entry gives two, by
// register or memory form, vzeroupper and vzeroall by L.
std::string VecMnemonic(const TDecodeState& S, const TVecOp& E)
{
    std::string_view M = E.Mn;
    if (const auto Colon = M.find(':'); Colon != std::string_view::npos)
        M = S.Memory ? M.substr(Colon + 1) : M.substr(0, Colon);
    if (const auto Slash = M.find('/'); Slash != std::string_view::npos) {
        const bool Second = E.Ops.empty() ? S.VexL != 0 : S.VexW != 0;
        M = Second ? M.substr(Slash + 1) : M.substr(0, Slash);
    }
    return std::string(M);
}

std::string ComposeMnemonic(const TDecodeState& S)
{
    if (S.VecOp != nullptr)
        return VecMnemonic(S, *static_cast<const TVecOp*>(S.VecOp));
    if (X64(S) && S.Map == map0F && S.Encoding == enLegacy &&
        (S.OpcodeByte == 0xA6 || S.OpcodeByte == 0xA7)) {
        // VIA PadLock, named as the binutils name them.
        static constexpr const char* Names[2][6] = {
            {"montmul", "xsha1", "xsha256", "", "", ""},
            {"xstore-rng", "xcrypt-ecb", "xcrypt-cbc", "xcrypt-ctr", "xcrypt-cfb", "xcrypt-ofb"}};
        return Names[S.OpcodeByte - 0xA6][std::min<unsigned>((S.Info.ModRM - 0xC0) >> 3, 5)];
    }
    if (S.Map == map0F && S.OpcodeByte == 0x0F && S.Encoding == enLegacy) {
        const char* N = Amd3DNowName(static_cast<uint8_t>(S.Imm));
        return N ? N : "";
    }
    if (X64(S) && S.Map == mapOneByte && S.OpcodeByte == 0x63 && S.Encoding == enLegacy)
        return "movsxd";
    if (X64(S) && S.Map == map0F && S.Encoding == enLegacy) {
        // What x86-64 mode decodes beyond the 32-bit two-byte map.
        switch (S.OpcodeByte) {
        case 0x0B:
            return "ud2";
        case 0x19:
        case 0x1A:
        case 0x1B:
        case 0x1C:
        case 0x1D:
            return "nop";
        case 0x1E:
            if (S.Rep && S.Info.ModRM == 0xFA)
                return "endbr64";
            if (S.Rep && S.Info.ModRM == 0xFB)
                return "endbr32";
            return "nop";
        case 0x37:
            return "getsec";
        case 0x78:
            return "vmread";
        case 0x79:
            return "vmwrite";
        case 0xB8:
            return "popcnt";
        case 0xB9:
            return "ud1";
        case 0xFF:
            return "ud0";
        case 0x6E:
        case 0x7E:
            if (S.Rex & 8)
                return "movq";
            break;
        default:
            break;
        }
    }
    std::string_view E = MnemonicEntry(S.MnemonicIndex);
    if (S.Encoding == enLegacy && S.Map >= map0F38) {
        if (const TThreeByteSpec* T = FindThreeByte(S.Map, S.OpcodeByte)) {
            std::string M(ChooseVariant(S, T->Mn));
            if (S.Rex & 8 && (M == "pextrd" || M == "pinsrd"))
                M.back() = 'q';
            return M;
        }
    }
    if (S.Encoding != enLegacy || S.Map >= map0F38 || E.empty()) {
        // Beyond the 32-bit maps the text names the encoding and the opcode.
        static constexpr const char* Maps[] = {"", "0f", "0f38", "0f3a"};
        std::string T = S.Encoding == enEvex ? "evex." : S.Encoding == enVex ? "vex." : "";
        T += Maps[S.Map];
        T += ".";
        T += Int64ToHexA(S.OpcodeByte);
        return T;
    }
    if (E.find('|') != std::string_view::npos)
        E = Item(E, '|', S.Reg & 7);
    if (E.find(':') != std::string_view::npos)
        E = S.Memory ? Item(E, ':', 1) : Item(E, ':', 0);
    size_t Variants = ItemCount(E, '/');
    if (Variants == 2) {
        bool Second = (S.Map == mapOneByte && S.OpcodeByte == 0xE3) ? S.Prefix67 : S.Prefix66;
        E = Item(E, '/', Second ? 1 : 0);
    } else if (Variants == 4) {
        std::string_view V = Item(E, '/', PrefixVariant(S));
        E = V.empty() ? Item(E, '/', 0) : V;
    }
    if (E.find('-') != std::string_view::npos)
        E = Item(E, '-', S.Rm & 7);
    std::string M;
    bool Fpu = S.Map == mapOneByte && S.OpcodeByte >= 0xD8 && S.OpcodeByte <= 0xDF;
    if (Fpu)
        M = "f";
    for (size_t I = 0; I < E.size(); I++) {
        char C = E[I];
        if (C == '%' && E.substr(I).starts_with("%cc")) {
            M += Item(ConditionCodes, '|', S.OpcodeByte & 15);
            I += 2;
        } else if (C == '%' && E.substr(I).starts_with("%seg")) {
            unsigned Seg =
                S.Map == map0F ? (S.OpcodeByte >= 0xA8 ? 5 : 4) : (S.OpcodeByte >> 3) & 3;
            M += SegNames[Seg];
            I += 3;
        } else if (C == 'P') {
            M += (S.Rep || S.Repne) ? 's' : 'p';
        } else if (C == 'S') {
            M += (S.Prefix66 || S.Repne) ? 'd' : 's';
        } else {
            M += C;
        }
    }
    if (X64(S) && S.OperandSize == 8 && Variants == 2) {
        static constexpr std::pair<std::string_view, std::string_view> Wide[] = {
            {"cwde", "cdqe"},   {"cdq", "cqo"},     {"movsd", "movsq"}, {"cmpsd", "cmpsq"},
            {"stosd", "stosq"}, {"lodsd", "lodsq"}, {"scasd", "scasq"}, {"pushfd", "pushfq"},
            {"popfd", "popfq"}, {"iretd", "iretq"}, {"insd", "insd"},   {"outsd", "outsd"}};
        for (auto& [From, To] : Wide)
            if (M == From)
                M = To;
    }
    if (X64(S) && M == "jecxz" && !S.Prefix67)
        M = "jrcxz";
    return M;
}

std::string VectorRegister(const TDecodeState& S, std::string_view T, unsigned N)
{
    bool Xmm =
        T[0] == 'V' || T[0] == 'W' || T[0] == 'U' || (T.size() == 2 && T[1] == 'x' && S.Prefix66);
    return (Xmm ? "xmm" : "mm") + std::to_string(Xmm ? N & 15 : N & 7);
}

std::string ComposeOperand(const TDecodeState& S, std::string_view T)
{
    const uint32_t K = PackToken(T);
    uint8_t Op = S.OpcodeByte;
    unsigned OpReg = (Op & 7) | (S.Rex & 1 ? 8 : 0);
    if (K == Pack("Eb") || K == Pack("Ew") || K == Pack("Ed") || K == Pack("Ev") ||
        K == Pack("Ey") || K == Pack("Rd") || T.starts_with("M")) {
        int Size = TokenSize(S, T);
        return GeneralRegister(S, S.Rm, Size ? Size : S.OperandSize);
    }
    if (K == Pack("Q") || K == Pack("N") || K == Pack("W") || K == Pack("U") || K == Pack("Qx") ||
        K == Pack("Nx")) {
        return VectorRegister(S, T, S.Rm);
    }
    if (K == Pack("P") || K == Pack("V") || K == Pack("Px"))
        return VectorRegister(S, T, S.Reg);
    if (K == Pack("Gb") || K == Pack("Gw") || K == Pack("Gd") || K == Pack("Gv") ||
        K == Pack("Gy")) {
        int Size = TokenSize(S, T);
        return GeneralRegister(S, S.Reg, Size ? Size : S.OperandSize);
    }
    if (K == Pack("Zb"))
        return GeneralRegister(S, OpReg, 1);
    if (K == Pack("Zv"))
        return GeneralRegister(S, OpReg, S.OperandSize);
    if (K == Pack("AL"))
        return "al";
    if (K == Pack("AX"))
        return "ax";
    if (K == Pack("eAX"))
        return GeneralRegister(S, 0, S.OperandSize);
    if (K == Pack("CL"))
        return "cl";
    if (K == Pack("X0"))
        return "xmm0";
    if (K == Pack("DX"))
        return "dx";
    if (K == Pack("1"))
        return "1";
    if (K == Pack("ST"))
        return FpuRegisterName(0);
    if (K == Pack("STi"))
        return FpuRegisterName(S.Rm & 7);
    if (K == Pack("Sw"))
        return (S.Reg & 7) < 6 ? SegNames[S.Reg & 7] : "?";
    if (K == Pack("Cd"))
        return "cr" + std::to_string(S.Reg);
    if (K == Pack("Dd"))
        return "dr" + std::to_string(S.Reg);
    if (K == Pack("Ap"))
        return Hex(S.FarSelector) + ":" + Hex(static_cast<uint64_t>(S.Imm));
    if (K == Pack("Ob") || K == Pack("Ov"))
        return (S.Segment ? std::string(SegNames[S.Segment - 1]) + ":" : std::string()) + "[" +
               Hex(static_cast<uint64_t>(S.Imm)) + "]";
    if (T[0] == 'I')
        return ComposeImmediate(S);
    return std::string(T);
}

// Appends the operands, separated by ", ".
// The operands of a vector instruction: registers of the vector length
// (xmm, ymm, zmm), the EVEX mask and zeroing after the destination, a
// broadcast as "{1toN}" after its element, embedded rounding or "{sae}"
// after the register operand from ModR/M.
void ComposeVecOperands(std::string& T, const TDecodeState& S, const TVecOp& E)
{
    const bool Evex = S.Encoding == enEvex;
    const bool Rounding = Evex && S.EvexB && !S.Memory;
    // With embedded rounding the length bits name the rounding mode: the
    // operation is a 512-bit one.
    const int Vl = Rounding ? 64 : static_cast<int>(VectorBytes(S));
    const int Elem = S.VexW ? 8 : 4;
    auto Vec = [](int Size, unsigned N) {
        return std::string(Size >= 64   ? "zmm"
                           : Size >= 32 ? "ymm"
                                        : "xmm") +
               std::to_string(N & 31);
    };
    auto Gpr = [&](unsigned N, int Size) {
        return GeneralRegister(S, N, static_cast<unsigned>(Size));
    };
    std::string_view Ops = VecTemplate(S, E);
    bool First = true;
    size_t Start = 0;
    while (Start <= Ops.size() && !Ops.empty()) {
        size_t End = Ops.find(',', Start);
        if (End == std::string_view::npos)
            End = Ops.size();
        std::string_view Tk = Ops.substr(Start, End - Start);
        Start = End + 1;
        if (Tk.ends_with('T') && Tk.size() > 1)
            Tk.remove_suffix(1); // a store: no different text
        if (!First)
            T += ", ";
        const char K = Tk[0];
        const std::string_view Rest = Tk.substr(1);
        // Register size and memory size of the token.
        int Reg = Vl, Mem = Vl;
        if (Rest == "o")
            Reg = Mem = 16;
        else if (Rest == "y")
            Reg = Mem = 32;
        else if (Rest == "h")
            Mem = Vl / 2, Reg = std::max(16, Vl / 2);
        else if (Rest == "q4")
            Mem = Vl / 4, Reg = std::max(16, Vl / 4);
        else if (Rest == "q8")
            Mem = Vl / 8, Reg = 16;
        else if (Rest == "q" || Rest == "d" || Rest == "w" || Rest == "b" || Rest == "sd")
            Reg = 16, Mem = Rest == "q"   ? 8
                            : Rest == "d" ? 4
                            : Rest == "w" ? 2
                            : Rest == "b" ? 1
                                          : Elem;
        else if (Rest == "dup")
            Mem = S.VexL == 0 ? 8 : Vl;
        const bool Gp = Rest == "y" && (K == 'G' || K == 'E' || K == 'B' || K == 'R');
        const int GpSize = S.VexW ? 8 : 4;
        std::string Op;
        if (Tk == "Ib")
            Op = Number(static_cast<uint8_t>(S.Imm));
        else if (Tk == "Id")
            Op = Number(static_cast<uint32_t>(S.Imm));
        else if (Tk == "L")
            Op = Vec(Vl, static_cast<unsigned>(S.Imm >> 4) & 15);
        else if (Tk == "KV" || Tk == "KH" || Tk == "KR")
            Op = "k" + std::to_string((Tk == "KV" ? S.Reg : Tk == "KH" ? S.Vvvv : S.Rm) & 7);
        else if (Tk == "KW") {
            if (S.Memory) {
                const int Size = S.VexPP == 0 ? (S.VexW ? 8 : 2) : (S.VexW ? 4 : 1);
                ComposeSizedMemoryOperand(Op, S, Size);
            } else
                Op = "k" + std::to_string(S.Rm & 7);
        } else if (Tk == "Xv") {
            ComposeSizedMemoryOperand(Op, S, Elem, Vl >= 64 ? "zmm" : Vl >= 32 ? "ymm" : "xmm");
        } else if (K == 'V')
            Op = Vec(Reg, S.Reg);
        else if (K == 'H')
            Op = Vec(Reg, S.Vvvv);
        else if (Gp || Tk == "Gd" || Tk == "Rd" || Tk == "Ed" || Tk == "Ew" || Tk == "Eb" ||
                 (K == 'M' && (Rest == "b" || Rest == "w") && S.Memory)) {
            const int Size = Gp ? GpSize : 4;
            const unsigned N = K == 'G' ? S.Reg : K == 'B' ? S.Vvvv : S.Rm;
            if (S.Memory && (K == 'E' || K == 'M'))
                ComposeSizedMemoryOperand(Op, S,
                                          Tk == "Ew" || Rest == "w"   ? 2
                                          : Tk == "Eb" || Rest == "b" ? 1
                                          : Gp                        ? GpSize
                                                                      : 4);
            else
                Op = Gpr(N, Size);
        } else if (S.Memory && (K == 'W' || K == 'M')) {
            if (S.EvexB && (E.Tuple == tuFV || E.Tuple == tuFV32 || E.Tuple == tuHV)) {
                const int One = E.Tuple == tuFV ? Elem : 4;
                ComposeSizedMemoryOperand(Op, S, One);
                Op += "{1to" + std::to_string(Vl / One) + "}";
            } else
                ComposeSizedMemoryOperand(Op, S, Mem);
        } else { // W, U: the register from ModR/M
            Op = Vec(Reg, S.Rm);
            if (Rounding)
                Op += (E.Rc & 3) == rcSae
                          ? "{sae}"
                          : std::array<const char*, 4>{"{rn-sae}", "{rd-sae}", "{ru-sae}",
                                                       "{rz-sae}"}[S.VexL];
        }
        T += Op;
        if (First && Evex && S.MaskReg != 0) {
            T += "{k" + std::to_string(S.MaskReg) + "}";
            if (S.Zeroing)
                T += "{z}";
        }
        First = false;
        if (End == Ops.size())
            break;
    }
}

void ComposeOperands(std::string& T, const TDecodeState& S)
{
    if (S.VecOp != nullptr) {
        ComposeVecOperands(T, S, *static_cast<const TVecOp*>(S.VecOp));
        return;
    }
    std::string_view Ops = OperandTemplate(S);
    uint8_t Op = S.OpcodeByte;
    bool OneByte = S.Map == mapOneByte && S.Encoding == enLegacy;
    if (OneByte && (Op == 0xD4 || Op == 0xD5) && S.Imm == 10)
        return;
    if (OneByte && Op == 0xC8) {
        T += Number(static_cast<uint16_t>(S.Imm));
        T += ", ";
        T += Number(S.Imm2);
        return;
    }
    if (S.Map == map0F && Op == 0x0F)
        Ops = "P,Q";
    if (S.Map == map0F && Op == 0xAE && !S.Memory)
        return; // lfence, mfence, sfence
    if (S.Map == map0F && Op == 0x1E && S.Rep && (S.Info.ModRM == 0xFA || S.Info.ModRM == 0xFB))
        return; // endbr64, endbr32
    bool ShowSize = S.Flags != 0xFFFF && (S.Flags & 0x100);
    bool First = true;
    ForEachToken(Ops, [&](std::string_view Token) {
        if (Token.empty())
            return;
        if (!First)
            T += ", ";
        First = false;
        char C = Token[0];
        bool ModRMOperand =
            C == 'E' || C == 'M' || C == 'R' || C == 'Q' || C == 'N' || C == 'W' || C == 'U';
        if (ModRMOperand && S.Memory)
            ComposeMemoryOperand(T, S, Token, ShowSize);
        else if (C == 'J')
            ComposeBranchTarget(T, S);
        else
            T += ComposeOperand(S, Token);
    });
}

std::string_view FileNameOf(std::string_view Path)
{
    auto P = Path.find_last_of('/');
    return P == std::string_view::npos ? Path : Path.substr(P + 1);
}

std::string ComposeSymbolComment(const TDecodeState& S, uint64_t Address, const TCodeReader* Memory,
                                 const TSymbolSource& Symbols)
{
    std::string Module;
    bool Main = false;
    std::string Name = Symbols.AddressToName(Address, Module, Main);
    if (Name.empty() && Memory) {
        // An import thunk: name the routine its pointer leads to.
        TDecodeState Thunk;
        DecodeInstructionAt(Thunk, S.Mode, Address, nullptr, false, *Memory);
        if (Thunk.Info.Valid && Thunk.Info.IsJump && Thunk.Info.TargetPointer && Thunk.Info.Target)
            Name = Symbols.AddressToName(Thunk.Info.Target, Module, Main);
    }
    if (Name.empty())
        return {};
    if (!Main && !Module.empty() && Name.find('(') == std::string::npos)
        Name += " (" + std::string(FileNameOf(Module)) + ")";
    return "  ; " + Name;
}

std::string ComposeStringComment(uint64_t Address, const TCodeReader& Memory,
                                 const TSymbolSource& Symbols)
{
    uint64_t End = Symbols.ImageEnd(Address);
    if (!End || Address + 100 > End || Address + 100 < Address)
        return {};
    char Buf[100];
    if (!Memory.TryRead(Address, Buf, sizeof Buf))
        return {};
    std::string Text;
    int A = 0, B = 0, C = 0, D = 0;
    for (char Ch : Buf) {
        auto U = static_cast<unsigned char>(Ch);
        if (U == 0 || U == 10 || U == 13)
            break;
        if (U < 32)
            return {};
        if (std::isalnum(U) || U == ' ')
            A++;
        else if (U == ',' || U == '.' || U == ':' || U == '\\')
            B++;
        else if (U >= 33 && U <= 93)
            C++;
        else
            D++;
        Text += Ch;
    }
    if (Text.size() > 4 && 2 * A > 5 * B && A + B / 2 > 8 * C && A + B / 2 + C / 4 > 10 * D)
        return "  ; '" + Text + "'";
    return {};
}

std::string ComposeComment(const TDecodeState& S, const TCodeReader* Memory,
                           const TSymbolSource* Symbols)
{
    if (!Symbols)
        return {};
    const TInstructionInfo& I = S.Info;
    uint64_t Address = 0;
    if ((I.IsCall || I.IsJump) && I.Target)
        Address = I.Target;
    else if (S.RipRelative)
        Address = I.Next + static_cast<uint64_t>(S.Disp);
    else if (S.DispSize == 4 && S.Base == 0xFF && S.Index == 0xFF)
        Address = S.DispUnsigned;
    else if (S.ImmSize >= 4 && !(S.Flags & 0x1000))
        Address = ImmediateValue(S);
    if (!Address)
        return {};
    std::string C = ComposeSymbolComment(S, Address, Memory, *Symbols);
    uint8_t Op = S.OpcodeByte;
    bool Imm32 = S.Map == mapOneByte && S.Encoding == enLegacy && S.ImmSize >= 4 &&
                 (Op == 0x68 || (Op >= 0xB8 && Op <= 0xBF) || Op == 0xC7);
    if (C.empty() && Imm32 && Memory)
        C = ComposeStringComment(Address, *Memory, *Symbols);
    return C;
}

} // namespace

void AddressToHex(uint64_t Address, bool Full, std::string& Text, TCpuMode Mode)
{
    Text.clear();
    AppendHex(Text, Address, Full ? (Mode == TCpuMode::x64 ? 16 : 8) : 1);
}

std::string FpuRegisterName(unsigned N)
{
    return N == 0 ? "st" : "st(" + std::to_string(N) + ")";
}

int OperandSize(const TDecodeState& S)
{
    std::string_view Ops = OperandTemplate(S);
    int Size = 0;
    ForEachToken(Ops, [&](std::string_view T) {
        if (!Size && (IsModRMToken(T)))
            Size = TokenSize(S, T);
    });
    return Size;
}

std::string ComposeDecodedText(const TDecodeState& S, const TCodeReader* Memory,
                               const TSymbolSource* Symbols)
{
    std::string Address;
    AddressToHex(S.Info.Start, true, Address, S.Mode);
    const TInstructionInfo& I = S.Info;
    if (!I.Valid) {
        // The bytes, eight per line.
        size_t Count = I.Next > I.Start ? static_cast<size_t>(I.Next - I.Start) : 1;
        Count = std::min<size_t>(Count, std::max<size_t>(S.Available, 1));
        std::string T = Address + "   db ";
        for (size_t K = 0; K < Count; K++) {
            if (K && K % 8 == 0)
                T += "\r\n" + std::string(Address.size(), ' ') + "   db ";
            else if (K)
                T += ", ";
            T += "$" + std::string(K < S.Available && S.Bytes[K] < 16 ? "0" : "") +
                 Int64ToHexA(K < S.Available ? S.Bytes[K] : 0);
        }
        return T;
    }
    std::string T;
    T.reserve(64);
    T += Address;
    T += "   ";
    if (S.Lock)
        T += "lock ";
    const bool PadLock = X64(S) && S.Map == map0F && S.Encoding == enLegacy &&
                         (S.OpcodeByte == 0xA6 || S.OpcodeByte == 0xA7);
    if ((S.Map == mapOneByte && S.Encoding == enLegacy) || PadLock) {
        if (S.Repne)
            T += "repne ";
        else if (S.Rep)
            T += "rep ";
    }
    T += ComposeMnemonic(S);
    size_t Mark = T.size();
    T += ' ';
    ComposeOperands(T, S);
    if (T.size() == Mark + 1)
        T.resize(Mark);
    std::string Comment = ComposeComment(S, Memory, Symbols);
    if (!Comment.empty()) {
        if (T.size() < 40)
            T.append(40 - T.size(), ' ');
        T += Comment;
    }
    return T;
}

void ComposeInstructionText(uint64_t Code, std::string& Text, TInstructionInfo& Info,
                            const TCodeReader& Memory, TCpuMode Mode, const TSymbolSource* Symbols)
{
    TDecodeState S;
    DecodeInstructionAt(S, Mode, Code, nullptr, false, Memory);
    Info = S.Info;
    Text = ComposeDecodedText(S, &Memory, Symbols);
}
