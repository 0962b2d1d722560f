// The x86 instruction decoder of the crash library, and the text it composes
// for one instruction.
//
// The decoder looks at code of a process that may be failing, so it never
// touches the code it decodes: the bytes of an instruction are copied first
// (at most 15, the longest instruction the processor accepts) through a
// TCodeReader, and the pointer behind an indirect call or jump is read the
// same way. Decoding itself never executes or writes anything.
//
// Two CPU modes: 32-bit mode decodes IA-32 code with the one- and two-byte
// opcode maps (MMX, SSE, SSE2, SSE3, 3DNow!); x86-64 mode adds what 64-bit
// code needs (REX, 64-bit operand size, RIP-relative operands, the 0F38/0F3A
// maps, VEX and EVEX) and never changes an answer of 32-bit mode.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "crashlib/kelMemory.h"

enum class TCpuMode : uint8_t { x86, x64 };

// Where the decoder reads from.
class TCodeReader {
public:
    virtual ~TCodeReader() = default;
    // Copies Count bytes at Source to Dest only when all of them can be read.
    virtual bool TryRead(uint64_t Source, void* Dest, size_t Count) const = 0;
};

// Reads this process's memory through the fault-free reader, with a snapshot
// of the address space or (nullptr) asking the system on every read.
class TProcessCodeReader final : public TCodeReader {
public:
    explicit TProcessCodeReader(const TDATryRead* ARanges = nullptr) : Ranges(ARanges) {}
    bool TryRead(uint64_t Source, void* Dest, size_t Count) const override
    {
        return ::TryRead(static_cast<uintptr_t>(Source), Dest, Count, Ranges);
    }

private:
    const TDATryRead* Ranges;
};

// Reads from a copy of code: Size bytes that stand at address Base.
class TBufferCodeReader final : public TCodeReader {
public:
    TBufferCodeReader(uint64_t ABase, const uint8_t* AData, size_t ASize)
        : Base(ABase), Data(AData), Size(ASize)
    {
    }
    bool TryRead(uint64_t Source, void* Dest, size_t Count) const override;

private:
    uint64_t Base;
    const uint8_t* Data;
    size_t Size;
};

// The longest instruction the processor accepts; longer runs are invalid.
inline constexpr size_t MaxInstructionLength = 15;

// One decoded instruction. Addresses are 64-bit in both modes; in 32-bit mode
// branch targets wrap at 2^32.
struct TInstructionInfo {
    bool Valid = false;    // a valid instruction, and an indirect target could be read
    uint16_t Opcode = 0;   // 00h-FFh, or 0F00h + the byte behind 0Fh (0F38h/0F3Ah for those maps)
    uint8_t ModRM = 0;     // 0 when the instruction has none
    bool IsCall = false;   // E8, 9A, FF /2, FF /3
    bool IsJump = false;   // Jcc, JMP, LOOPcc, JECXZ, EA, FF /4, FF /5
    bool Relative = false; // the target is a displacement relative to Next
    uint64_t Target = 0;   // absolute target address
    uint64_t TargetLocation = 0;        // where in the code the target information lies
    uint64_t TargetPointerLocation = 0; // where the address lies from which the target is read
    int32_t TargetSize = 0;             // size of the stored target information: 1, 2, 4 (or 8)
    bool Widenable = false;             // a branch that a wider encoding could replace
    uint64_t Start = 0;                 // the decoded address
    uint64_t Next = 0;                  // the address after the whole instruction
    // Added for x86-64 code: the address of the pointer an indirect call or
    // jump reads its target from (for [disp32] the displacement's value, for
    // [rip+disp] the address it names); 0 when there is none.
    uint64_t TargetPointer = 0;
};

// Per general register (encoding order: eax/rax, ecx, edx, ebx, esp, ebp, esi,
// edi, then r8-r15 in x86-64 mode), the code address of the immediate that it
// was last loaded from by mov reg, imm; 0 when its value is unknown. Size
// tells how many bytes that immediate has (4, or 8 for mov r64, imm64).
struct TRegisterSources {
    std::array<uint64_t, 16> Address{};
    std::array<uint8_t, 16> Size{};
    uint64_t& operator[](size_t I) { return Address[I]; }
    uint64_t operator[](size_t I) const { return Address[I]; }
    void Forget(unsigned Reg)
    {
        Address[Reg & 15] = 0;
        Size[Reg & 15] = 0;
    }
    friend bool operator==(const TRegisterSources&, const TRegisterSources&) = default;
};

// Instruction encodings beyond the legacy opcode maps (x86-64 mode only).
enum : uint8_t { enLegacy = 0, enVex = 1, enEvex = 2, enXop = 3 };

// Opcode maps.
enum : uint8_t { mapOneByte = 0, map0F = 1, map0F38 = 2, map0F3A = 3 };

// The whole working state of one decoding, as the text composer needs it.
struct TDecodeState {
    TCpuMode Mode = TCpuMode::x86;
    TInstructionInfo Info;
    uint8_t Bytes[MaxInstructionLength] = {}; // the copied window
    uint8_t Available = 0;                    // bytes in the window
    uint8_t Length = 0;                       // bytes decoded so far

    // Prefixes.
    uint8_t Segment = 0; // 0 none, 1 es, 2 cs, 3 ss, 4 ds, 5 fs, 6 gs
    bool Prefix66 = false, Prefix67 = false, Lock = false, Repne = false, Rep = false;
    uint8_t LastRepPrefix = 0; // F2h or F3h, whichever came last
    uint8_t Rex = 0;           // the REX byte in effect (x86-64), 0 when none
    uint8_t OperandSize = 4;   // 2, 4 or 8
    uint8_t AddressSize = 4;   // 2, 4 or 8

    // Opcode.
    uint8_t Map = mapOneByte;
    uint8_t Encoding = enLegacy;
    uint8_t OpcodeByte = 0;
    uint16_t Flags = 0;         // the flag word (see the opcode tables)
    uint16_t MnemonicIndex = 0; // 1-based index into MnemonicList, 0 when none
    uint8_t VexL = 0, VexW = 0, VexPP = 0;
    // Vector encodings: the opcode map as encoded (1 0F, 2 0F38, 3 0F3A, XOP
    // 8-10), the register of vvvv (0-31), the EVEX mask register (0: none),
    // zeroing, EVEX.b (broadcast, or rounding on a register form), and the
    // opcode table entry (keldisasm::TVecOp; null for undefined encodings).
    uint8_t VecMap = 0;
    uint8_t Vvvv = 0;
    uint8_t MaskReg = 0;
    bool Zeroing = false;
    bool EvexB = false;
    const void* VecOp = nullptr;

    // ModR/M, SIB and displacement.
    bool HasModRM = false;
    bool Memory = false; // mod <> 3
    uint8_t Mod = 0, Reg = 0, Rm = 0;
    uint8_t Base = 0xFF;  // base register, 0xFF none (16-bit: bx, bp, si, di as 3, 5, 6, 7)
    uint8_t Index = 0xFF; // index register, 0xFF none
    uint8_t Scale = 0;
    uint8_t Sib = 0;
    bool HasSib = false;
    bool RipRelative = false;
    uint64_t DispLocation = 0;
    uint8_t DispSize = 0;
    int64_t Disp = 0;
    uint64_t DispUnsigned = 0;

    // Immediate.
    uint8_t ImmSize = 0; // total bytes of immediates
    uint64_t ImmLocation = 0;
    int64_t Imm = 0; // sign-extended (1 and 2 bytes), the offset of a far pointer
    uint16_t FarSelector = 0;
    uint8_t Imm2 = 0; // the second immediate of enter
};

// Decodes the instruction whose bytes are Window[0..Count) (at most 15 are
// looked at) and that stands at address Code. Registers (may be nullptr) are
// the tracked register sources; UseRegisters lets an indirect branch through a
// register take its target from them; Memory reads the pointers of indirect
// branches (nullptr: such a target is never read, and the instruction is
// invalid as for an unreadable pointer).
void DecodeInstruction(TDecodeState& State, TCpuMode Mode, uint64_t Code, const uint8_t* Window,
                       size_t Count, TRegisterSources* Registers, bool UseRegisters,
                       const TCodeReader* Memory);

// The same, copying the window from Memory first.
void DecodeInstructionAt(TDecodeState& State, TCpuMode Mode, uint64_t Code,
                         TRegisterSources* Registers, bool UseRegisters, const TCodeReader& Memory);

// The instruction at Code, read through Memory.
TInstructionInfo ParseCodeEx(uint64_t Code, TRegisterSources* Registers, bool UseRegisters,
                             const TCodeReader& Memory, TCpuMode Mode = TCpuMode::x64);
inline TInstructionInfo ParseCode(uint64_t Code, const TCodeReader& Memory,
                                  TCpuMode Mode = TCpuMode::x64)
{
    return ParseCodeEx(Code, nullptr, false, Memory, Mode);
}
// The instruction at Code in this process, read with a fresh look at the
// address space (ParseCode) or through a snapshot (ParseCodeOpt).
inline TInstructionInfo ParseCode(uint64_t Code, TCpuMode Mode = TCpuMode::x64)
{
    return ParseCodeEx(Code, nullptr, false, TProcessCodeReader(nullptr), Mode);
}
inline TInstructionInfo ParseCodeOpt(uint64_t Code, const TDATryRead* Ranges,
                                     TCpuMode Mode = TCpuMode::x64)
{
    return ParseCodeEx(Code, nullptr, false, TProcessCodeReader(Ranges), Mode);
}

// Updates the register sources after a valid instruction.
void TrackRegisters(const TDecodeState& State, TRegisterSources& Registers);

// --- Opcode tables ------------------------------------------------------------
// 256 flag words per map; FFFFh marks an undefined opcode. Bits 0-2 register
// operand kind, 3-5 ModR/M operand kind (0 none, 1 group), 6-7 operand size
// class, 8 memory operand shows its size, 9 ModR/M operand first, 10-11
// immediate size (1 byte, 2 bytes, operand size), 12 relative branch, 13-15
// registers overwritten (see TrackRegisters).
extern const std::array<uint16_t, 256> OneByteOpcodeTable;
extern const std::array<uint16_t, 256> TwoByteOpcodeTable;
// 1-based indexes into MnemonicList, 0 for prefixes and escapes.
extern const std::array<uint8_t, 256> OneByteMnemonicIndex;
extern const std::array<uint8_t, 256> TwoByteMnemonicIndex;

struct TOpcodeGroupRow {
    uint8_t Opcode;
    std::array<uint16_t, 8> Memory;   // by reg field
    std::array<uint16_t, 8> Register; // by reg field
};
extern const std::array<TOpcodeGroupRow, 10> OpcodeGroupTable;

// The mnemonic entries, separated by the byte 01h.
extern const std::string_view MnemonicList;
inline constexpr int MnemonicCount = 241;
// Entry Index (1-based) of MnemonicList.
std::string_view MnemonicEntry(unsigned Index);

// 3DNow! suffix bytes and their names.
struct TAmd3DNowSuffix {
    uint8_t Suffix;
    const char* Name;
};
extern const std::array<TAmd3DNowSuffix, 24> Amd3DNowSuffixes;
const char* Amd3DNowName(uint8_t Suffix); // nullptr for an undefined suffix

// --- Instruction text -------------------------------------------------------------
// Names the composer puts into comments: the routine or variable at an
// address, and the image that holds an address.
class TSymbolSource {
public:
    virtual ~TSymbolSource() = default;
    // Name of the routine or variable at Address; empty when unknown. Module
    // is the file name of the image that gave the name, MainProgram whether
    // that image is the program itself.
    virtual std::string AddressToName(uint64_t Address, std::string& Module,
                                      bool& MainProgram) const = 0;
    // End of the loaded image that holds Address; 0 when none does.
    virtual uint64_t ImageEnd(uint64_t Address) const = 0;
};

// Decodes the instruction at Code and composes its line of text.
void ComposeInstructionText(uint64_t Code, std::string& Text, TInstructionInfo& Info,
                            const TCodeReader& Memory, TCpuMode Mode = TCpuMode::x64,
                            const TSymbolSource* Symbols = nullptr);
// The line for an instruction already decoded.
std::string ComposeDecodedText(const TDecodeState& State, const TCodeReader* Memory,
                               const TSymbolSource* Symbols);

// Hex without "$": 8 digits (16 in x86-64 mode) when Full, else as few as needed.
void AddressToHex(uint64_t Address, bool Full, std::string& Text, TCpuMode Mode = TCpuMode::x86);
// "st" for 0, else "st(n)".
std::string FpuRegisterName(unsigned N);
// Size in bytes of the memory operand of a decoded instruction (1, 2, 4, 8, 10
// or 16; 6 for a far pointer, 32 and 64 for wide vectors in x86-64 mode).
int OperandSize(const TDecodeState& State);
