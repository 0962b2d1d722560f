#include "crashlib/kelFuncParser.h"

#include "crashlib/kelElfImage.h"
#include "crashlib/kelStrings.h"
#include "crashlib/kelTools.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cxxabi.h>
#include <map>
#include <mutex>
#include <unistd.h>

namespace {

// --- Parsing ----------------------------------------------------------------

bool IsConditionalJump(uint16_t Op)
{
    return (Op >= 0x70 && Op <= 0x7F) || (Op >= 0x0F80 && Op <= 0x0F8F) ||
           (Op >= 0xE0 && Op <= 0xE3);
}

bool IsReturn(uint16_t Op)
{
    return Op == 0xC3 || Op == 0xC2 || Op == 0xCB || Op == 0xCA || Op == 0xCF;
}

// Execution does not go on after these: ud2 and hlt.
bool IsTrap(uint16_t Op)
{
    return Op == 0x0F0B || Op == 0xF4;
}

// Decodes one instruction. Two instructions that the 32-bit opcode map has
// no entry for are taken as what compilers use them for: endbr32 and endbr64
// (F3 0F 1E FB/FA), the hint nops that code built for control-flow
// protection starts its routines with, and ud2 (0F 0B), the trap placed
// where execution must not arrive.
void DecodeAt(TDecodeState& S, TCpuMode Mode, uint64_t Pos, TRegisterSources* Regs,
              bool UseRegisters, const TCodeReader& Memory)
{
    DecodeInstructionAt(S, Mode, Pos, Regs, UseRegisters, Memory);
    if (S.Info.Valid || S.Available < 2)
        return;
    const uint8_t* B = S.Bytes;
    uint8_t Length = 0;
    uint16_t Opcode = 0;
    if (S.Available >= 4 && B[0] == 0xF3 && B[1] == 0x0F && B[2] == 0x1E &&
        (B[3] == 0xFA || B[3] == 0xFB)) {
        Length = 4;
        Opcode = 0x0F1E;
    } else if (B[0] == 0x0F && B[1] == 0x0B) {
        Length = 2;
        Opcode = 0x0F0B;
    } else
        return;
    S.Info = TInstructionInfo{};
    S.Info.Valid = true;
    S.Info.Opcode = Opcode;
    S.Info.Start = Pos;
    S.Info.Next = Pos + Length;
    S.Length = Length;
    S.MnemonicIndex = 0xFFFF; // marks the stand-in
}

// The text of an instruction that DecodeAt took in place of the decoder;
// empty for any other.
std::string StandInText(const TDecodeState& S)
{
    if (S.MnemonicIndex != 0xFFFF)
        return {};
    return S.Info.Opcode == 0x0F0B ? "ud2" : S.Bytes[3] == 0xFB ? "endbr32" : "endbr64";
}

TInstructionInfo DecodeInfo(TCpuMode Mode, uint64_t Pos, TRegisterSources* Regs, bool UseRegisters,
                            const TCodeReader& Memory)
{
    TDecodeState S;
    DecodeAt(S, Mode, Pos, Regs, UseRegisters, Memory);
    return S.Info;
}

// The registers an instruction writes, as the register tracking sees them.
uint32_t WrittenRegisters(const TDecodeState& S)
{
    TRegisterSources Probe;
    for (unsigned R = 0; R < 16; R++)
        Probe.Address[R] = 0x1000 + R;
    TrackRegisters(S, Probe);
    uint32_t Mask = 0;
    for (unsigned R = 0; R < 16; R++)
        if (Probe.Address[R] != 0x1000 + R)
            Mask |= 1u << R;
    return Mask;
}

// A bound on an index register, from cmp reg, n and the jump that skips the
// dispatch for values above it.
struct TCaseBound {
    uint32_t Registers = 0; // the index and its copies
    uint32_t Count = 0;
};

// What the instructions of one area have told about a coming case jump.
struct TCaseTracker {
    bool CmpSeen = false; // the previous instruction was cmp reg, n
    uint8_t CmpReg = 0;
    uint32_t CmpN = 0;
    TCaseBound Bound;
    TCaseBound Carried;          // for the target of the jump just seen (jbe, jb)
    uint64_t TableAddr[16] = {}; // lea reg, table
    uint64_t Loaded[16] = {};    // reg := table[index] (32-bit offset)
    bool Added[16] = {};         // ... plus the table's address
};

class TParser {
public:
    TParser(const TParseSetup& ASetup, TFunctionInfo& AInfo)
        : Setup(ASetup), Info(AInfo), Memory(*ASetup.Memory), X64(ASetup.Mode == TCpuMode::x64)
    {
    }
    void Run(uint64_t Code);

private:
    const TParseSetup& Setup;
    TFunctionInfo& Info;
    const TCodeReader& Memory;
    bool X64;
    uint64_t Low = 0, High = 0;
    uint32_t Instructions = 0;
    bool Failed = false;
    std::map<uint64_t, TCaseBound> BoundsAtArea; // bounds carried by a jump to its target
    std::vector<bool> OpenTried;

    std::vector<TCodeArea>& Areas = Info.CodeAreas;

    bool InBounds(uint64_t A) const { return A >= Low && A <= High; }
    void Fail(uint64_t Address, uint32_t Code, const std::string& Text)
    {
        Failed = true;
        Info.Valid = false;
        Info.ErrorAddress = Address;
        Info.ErrorCode = Code;
        Info.Text = Text;
    }
    bool CheckAreaCount()
    {
        if (Areas.size() <= Setup.MaxAreas)
            return true;
        Fail(Info.EntryPoint, FuncErrorTooLarge, FuncTextTooLarge);
        return false;
    }

    void AddCodeArea(uint64_t Target, uint64_t Referrer, const TRegisterSources& Regs);
    void AddDataArea(uint64_t Start, uint64_t Length, bool Case, bool Handler);
    void ParseCodeArea(size_t Index);
    // Returns whether the area ends with this branch.
    bool HandleBranch(const TInstructionInfo& I, const TRegisterSources& Regs,
                      const TCaseBound* CarriedBound);
    void RecordCall(const TInstructionInfo& I);
    bool CaseJump(const TDecodeState& S, TCaseTracker& T, const TRegisterSources& Regs);
    void ReadCaseTable(uint64_t Jump, uint64_t Table, uint32_t Count, uint8_t EntrySize,
                       bool Relative, const TRegisterSources& Regs);
    bool ResolveOpenBranches();
    bool FillGap();
    void Finish();
    bool ReadPointer(uint64_t At, uint64_t& Value) const
    {
        Value = 0;
        return Memory.TryRead(At, &Value, X64 ? 8 : 4);
    }
};

void TParser::AddCodeArea(uint64_t Target, uint64_t Referrer, const TRegisterSources& Regs)
{
    for (size_t K = 0; K < Areas.size(); K++) {
        TCodeArea& A = Areas[K];
        if (A.Start == Target) {
            if (A.IsData())
                return;
            // Keep the nearer referrer below the target; what the two ways
            // in disagree on is not known at the target.
            if (Referrer != 0 && Referrer < Target &&
                (A.Referrer == 0 || A.Referrer > Target || Referrer > A.Referrer))
                A.Referrer = Referrer;
            for (unsigned R = 0; R < 16; R++)
                if (A.Registers.Address[R] != Regs.Address[R])
                    A.Registers.Forget(R);
            return;
        }
    }
    for (size_t K = 0; K < Areas.size(); K++) {
        TCodeArea& A = Areas[K];
        if (A.End != 0 && Target > A.Start && Target <= A.End) {
            if (A.IsData())
                return; // a branch into a table is not followed
            TCodeArea Tail;
            Tail.Start = Target;
            Tail.End = A.End;
            Tail.Referrer = Referrer;
            Tail.Registers = Regs;
            A.End = Target - 1;
            Areas.push_back(Tail);
            CheckAreaCount();
            return;
        }
    }
    TCodeArea New;
    New.Start = Target;
    New.Referrer = Referrer;
    New.Registers = Regs;
    if (Areas.size() == Areas.capacity())
        Areas.reserve(std::max<size_t>(8, Areas.capacity() * 2));
    Areas.push_back(New);
    CheckAreaCount();
}

void TParser::AddDataArea(uint64_t Start, uint64_t Length, bool Case, bool Handler)
{
    TCodeArea D;
    D.Start = Start;
    D.End = Start + Length - 1;
    D.CaseTable = Case;
    D.HandlerTable = Handler;
    Areas.push_back(D);
    CheckAreaCount();
}

void TParser::RecordCall(const TInstructionInfo& I)
{
    TFunctionCall C;
    C.IsCall = I.IsCall;
    C.Start = I.Start;
    C.Next = I.Next;
    C.Target = I.Target;
    C.Relative = I.Relative;
    C.TargetLocation = I.TargetLocation;
    C.TargetPointerLocation = I.TargetPointerLocation;
    Info.Calls.push_back(C);
    if (I.TargetPointerLocation != 0)
        Info.Copy.Size += 4;
}

bool TParser::HandleBranch(const TInstructionInfo& I, const TRegisterSources& Regs,
                           const TCaseBound* CarriedBound)
{
    const TRuntimeHandlers& H = Setup.Handlers;
    uint64_t T = I.Target;
    if (T != 0) {
        if (T == H.OnException) {
            RecordCall(I);
            // A table follows: a count and {class, handler} pairs.
            uint32_t Count = 0;
            if (Memory.TryRead(I.Next, &Count, 4) && Count < 256) {
                uint64_t Ptr = X64 ? 8 : 4;
                uint64_t Length = 4 + 2 * Ptr * Count;
                if (InBounds(I.Next) && InBounds(I.Next + Length - 1)) {
                    AddDataArea(I.Next, Length, false, true);
                    for (uint32_t K = 0; K < Count && !Failed; K++) {
                        uint64_t Handler = 0;
                        if (!ReadPointer(I.Next + 4 + K * 2 * Ptr + Ptr, Handler))
                            break;
                        if (InBounds(Handler))
                            AddCodeArea(Handler, I.Start, TRegisterSources{});
                    }
                }
            }
            return true;
        }
        if (T == H.AnyException) {
            RecordCall(I);
            if (InBounds(I.Next))
                AddCodeArea(I.Next, I.Start, TRegisterSources{});
            return true;
        }
        if (T == H.AutoException) {
            RecordCall(I);
            return true;
        }
        if (T == H.Finally) {
            RecordCall(I);
            if (!InBounds(I.Next))
                return true;
            AddCodeArea(I.Next, I.Start, TRegisterSources{});
            // The finally block ends with a jump back into the handler code,
            // which returns to the address pushed right before that target.
            TInstructionInfo J = ParseCode(I.Next, Memory, Setup.Mode);
            if (J.Valid && J.IsJump && J.Target >= 5) {
                uint8_t Push[5];
                if (Memory.TryRead(J.Target - 5, Push, 5) && Push[0] == 0x68) {
                    uint32_t After;
                    std::memcpy(&After, Push + 1, 4);
                    if (InBounds(After))
                        AddCodeArea(After, I.Start, TRegisterSources{});
                }
            }
            return true;
        }
        if (T == H.Halt || T == H.CxxThrow) {
            RecordCall(I);
            return true;
        }
    }
    bool NoReturn = I.IsCall && Setup.NoReturn && Setup.NoReturn(I);
    // A jump to a known place inside the bounds: relative, or through a
    // register loaded with its address.
    if (I.IsJump && InBounds(T) && (I.Relative || (I.TargetLocation && !I.TargetPointerLocation))) {
        TRegisterSources R = Regs;
        AddCodeArea(T, I.Start, R);
        if (CarriedBound && CarriedBound->Count && !BoundsAtArea.count(T))
            BoundsAtArea[T] = *CarriedBound;
    } else {
        // A call, or a jump that leaves the routine or goes through a pointer.
        RecordCall(I);
        if (T == 0 || !I.Valid) {
            TOpenBranch B;
            B.IsCall = I.IsCall;
            B.Start = I.Start;
            B.Next = I.Next;
            Info.OpenBranches.push_back(B);
        }
    }
    if (NoReturn)
        return true;
    return I.IsJump && !IsConditionalJump(I.Opcode);
}

void TParser::ReadCaseTable(uint64_t Jump, uint64_t Table, uint32_t Count, uint8_t EntrySize,
                            bool Relative, const TRegisterSources& Regs)
{
    if (Count == 0 || Count > Setup.MaxCaseEntries)
        return;
    TCaseTable C;
    C.Jump = Jump;
    C.Table = Table;
    C.EntrySize = EntrySize;
    C.Relative = Relative;
    // Entries are read through the memory reader one by one: a table that
    // runs into unreadable memory ends there, and an entry that leads out of
    // the routine's bounds is not code of this routine.
    for (uint32_t K = 0; K < Count; K++) {
        uint64_t Entry = 0;
        if (!Memory.TryRead(Table + uint64_t{K} * EntrySize, &Entry, EntrySize))
            break;
        if (Relative)
            Entry =
                Table + static_cast<uint64_t>(static_cast<int64_t>(static_cast<int32_t>(Entry)));
        if (!X64)
            Entry &= 0xFFFFFFFF;
        C.Targets.push_back(Entry);
    }
    if (C.Targets.empty())
        return;
    // A table right behind its jump is data inside the code.
    if (!Relative && InBounds(Table) && InBounds(Table + C.Targets.size() * EntrySize - 1)) {
        bool Behind = false;
        TInstructionInfo J = ParseCode(Jump, Memory, Setup.Mode);
        Behind = J.Next == Table;
        if (Behind)
            AddDataArea(Table, C.Targets.size() * EntrySize, true, false);
    }
    for (uint64_t T : C.Targets) {
        if (Failed)
            return;
        if (InBounds(T))
            AddCodeArea(T, Jump, Regs);
    }
    Info.CaseTables.push_back(std::move(C));
}

// Follows the facts of one instruction into the case tracker; true when the
// instruction is a case jump whose table was taken.
bool TParser::CaseJump(const TDecodeState& S, TCaseTracker& T, const TRegisterSources& Regs)
{
    const TInstructionInfo& I = S.Info;
    uint16_t Op = I.Opcode;
    bool Legacy = S.Encoding == enLegacy;
    bool RegForm = S.HasModRM && !S.Memory;
    auto Has = [](uint32_t Mask, unsigned R) { return R < 16 && (Mask >> R) & 1; };

    // cmp reg, n followed by the jump that skips the dispatch for larger values.
    TCaseBound NewBound;
    bool SetBound = false;
    T.Carried = {};
    if (T.CmpSeen && IsConditionalJump(Op)) {
        uint8_t Cc = Op & 0x0F;
        if (Cc == 0x7 || Cc == 0xF) { // ja, jg: 0..n
            NewBound = {1u << T.CmpReg, T.CmpN + 1};
            SetBound = true;
        } else if (Cc == 0x3 || Cc == 0xD) { // jae, jge: 0..n-1
            NewBound = {1u << T.CmpReg, T.CmpN};
            SetBound = true;
        } else if (Cc == 0x6 || Cc == 0xE) { // jbe, jle: the target sees 0..n
            T.Carried = {1u << T.CmpReg, T.CmpN + 1};
        } else if (Cc == 0x2 || Cc == 0xC) { // jb, jl: the target sees 0..n-1
            T.Carried = {1u << T.CmpReg, T.CmpN};
        }
    }
    bool Cmp = false;
    uint8_t CmpReg = 0;
    int64_t CmpN = -1;
    if (Legacy && S.Map == mapOneByte && RegForm && (Op == 0x83 || Op == 0x81) &&
        (S.Reg & 7) == 7) {
        Cmp = true;
        CmpReg = S.Rm & 15;
        CmpN = S.Imm;
    } else if (Legacy && Op == 0x3D && !S.Prefix66) {
        Cmp = true;
        CmpReg = 0;
        CmpN = S.Imm;
    }

    // Facts taken from the state before this instruction.
    int LeaReg = -1;
    uint64_t LeaAddr = 0;
    if (Legacy && S.Map == mapOneByte && Op == 0x8D && S.Memory) {
        if (S.RipRelative)
            LeaAddr = I.Next + static_cast<uint64_t>(S.Disp);
        else if (S.Base == 0xFF && S.Index == 0xFF && S.DispSize == 4)
            LeaAddr = S.DispUnsigned;
        if (LeaAddr)
            LeaReg = S.Reg & 15;
    }
    int CopyTo = -1; // mov reg, reg of a bounded index
    if (Legacy && S.Map == mapOneByte && RegForm && (Op == 0x89 || Op == 0x8B)) {
        unsigned From = Op == 0x89 ? S.Reg : S.Rm, To = Op == 0x89 ? S.Rm : S.Reg;
        if (Has(T.Bound.Registers, From & 15))
            CopyTo = To & 15;
    }
    int LoadReg = -1;
    uint64_t LoadTable = 0;
    if (Legacy && S.Map == mapOneByte && Op == 0x63 && S.Memory && S.Base != 0xFF &&
        S.Index != 0xFF && S.Scale == 4 && S.DispSize == 0 && T.TableAddr[S.Base & 15] &&
        Has(T.Bound.Registers, S.Index & 15)) {
        LoadReg = S.Reg & 15;
        LoadTable = T.TableAddr[S.Base & 15];
    }
    int AddReg = -1;
    if (Legacy && S.Map == mapOneByte && RegForm && (Op == 0x01 || Op == 0x03)) {
        unsigned Dst = Op == 0x01 ? S.Rm : S.Reg, Src = Op == 0x01 ? S.Reg : S.Rm;
        if (T.Loaded[Dst & 15] && T.TableAddr[Src & 15] == T.Loaded[Dst & 15])
            AddReg = static_cast<int>(Dst & 15);
    }
    uint64_t AddTable = AddReg >= 0 ? T.Loaded[AddReg] : 0;

    // The dispatch itself.
    if (Legacy && S.Map == mapOneByte && Op == 0xFF && (S.Reg & 7) == 4 && T.Bound.Count) {
        if (RegForm && T.Loaded[S.Rm & 15] && T.Added[S.Rm & 15]) {
            ReadCaseTable(I.Start, T.Loaded[S.Rm & 15], T.Bound.Count, 4, true, Regs);
            return true;
        }
        unsigned Width = X64 ? 8 : 4;
        if (S.Memory && S.Base == 0xFF && S.Index != 0xFF && S.Scale == Width && S.DispSize == 4 &&
            !S.RipRelative && Has(T.Bound.Registers, S.Index & 15)) {
            uint64_t Table = X64 ? static_cast<uint64_t>(S.Disp) : (S.DispUnsigned & 0xFFFFFFFF);
            ReadCaseTable(I.Start, Table, T.Bound.Count, static_cast<uint8_t>(Width), false, Regs);
            return true;
        }
    }

    // Forget what this instruction overwrites, then take what it tells.
    uint32_t Written = WrittenRegisters(S);
    if (Op == 0x63 && S.Memory)
        Written |= 1u << (S.Reg & 15);
    for (unsigned R = 0; R < 16; R++) {
        if (!Has(Written, R))
            continue;
        T.Bound.Registers &= ~(1u << R);
        T.TableAddr[R] = 0;
        T.Loaded[R] = 0;
        T.Added[R] = false;
    }
    if (SetBound)
        T.Bound = NewBound;
    if (T.Bound.Registers == 0)
        T.Bound.Count = 0;
    if (CopyTo >= 0 && T.Bound.Count)
        T.Bound.Registers |= 1u << CopyTo;
    if (LeaReg >= 0)
        T.TableAddr[LeaReg] = LeaAddr;
    if (LoadReg >= 0) {
        T.Loaded[LoadReg] = LoadTable;
        T.Added[LoadReg] = false;
    }
    if (AddReg >= 0) {
        T.Loaded[AddReg] = AddTable;
        T.Added[AddReg] = true;
    }
    T.CmpSeen = Cmp && CmpN >= 0 && CmpN < 0x100000;
    T.CmpReg = CmpReg;
    T.CmpN = static_cast<uint32_t>(CmpN < 0 ? 0 : CmpN);
    return false;
}

void TParser::ParseCodeArea(size_t Index)
{
    TRegisterSources Regs = Areas[Index].Registers;
    uint64_t Pos = Areas[Index].Start;
    TCaseTracker Case;
    if (auto B = BoundsAtArea.find(Pos); B != BoundsAtArea.end())
        Case.Bound = B->second;
    uint64_t PushedHandler = 0;
    bool First = true;
    uint64_t Limit = UINT64_MAX;
    size_t LimitFor = SIZE_MAX; // the area count Limit was found for
    for (;;) {
        if (++Instructions > Setup.MaxInstructions) {
            Fail(Info.EntryPoint, FuncErrorTooLarge, FuncTextTooLarge);
            return;
        }
        // The area ends where another begins.
        if (LimitFor != Areas.size()) {
            Limit = UINT64_MAX;
            for (const TCodeArea& A : Areas)
                if (A.Start > Areas[Index].Start && A.Start < Limit)
                    Limit = A.Start;
            LimitFor = Areas.size();
        }
        if (!First && (Pos >= Limit || Pos > High))
            return;
        TDecodeState S;
        DecodeAt(S, Setup.Mode, Pos, &Regs, false, Memory);
        const TInstructionInfo& I = S.Info;
        if (!I.Valid) {
            Fail(Pos, FuncErrorInvalidCode, FuncTextInvalidCode);
            return;
        }
        // An instruction that would run past the routine's bounds is not its code.
        if (!First && I.Next - 1 > High)
            return;
        First = false;
        Areas[Index].End = std::min(I.Next - 1, Limit - 1);
        Pos = I.Next;
        uint16_t Op = I.Opcode;

        // push handler; push fs:[...]: an exception frame is set up.
        if (PushedHandler) {
            bool FramePush = S.Segment == 5 && Op == 0xFF && (S.Reg & 7) == 6 && S.Memory &&
                             ((I.Next - I.Start == 3 && S.Base != 0xFF && S.Index == 0xFF &&
                               S.DispSize == 0 && Regs.Address[S.Base & 15] == 0) ||
                              (I.Next - I.Start == 7 && S.Base == 0xFF && S.Index == 0xFF &&
                               S.DispUnsigned == 0));
            if (FramePush && InBounds(PushedHandler))
                AddCodeArea(PushedHandler, I.Start, TRegisterSources{});
            PushedHandler = 0;
        }
        if (Op == 0x68 && I.Next - I.Start == 5 && !X64) {
            uint8_t Nextbyte = 0;
            if (Memory.TryRead(I.Next, &Nextbyte, 1) && Nextbyte == 0x64)
                PushedHandler = static_cast<uint32_t>(S.Imm);
        }
        if (Failed)
            return;

        bool CaseTaken = CaseJump(S, Case, Regs);
        if (Failed)
            return;
        if (CaseTaken)
            return;
        if (IsReturn(Op) || IsTrap(Op))
            return;
        if (I.IsCall || I.IsJump) {
            // cmp reg, n; jbe target: the dispatch is at the target.
            bool Ends = HandleBranch(I, Regs, Case.Carried.Count ? &Case.Carried : nullptr);
            if (Failed)
                return;
            // A jump back into this area split it: go on in the part that
            // holds the current position.
            for (size_t K = LimitFor; K < Areas.size(); K++) {
                const TCodeArea& A = Areas[K];
                if (K != Index && !A.IsData() && A.End != 0 && A.Start > Areas[Index].Start &&
                    A.Start < Pos && A.End >= Pos - 1) {
                    Index = K;
                    LimitFor = SIZE_MAX;
                    break;
                }
            }
            if (Ends)
                return;
        }
    }
}

bool TParser::ResolveOpenBranches()
{
    bool Added = false;
    OpenTried.resize(Info.OpenBranches.size(), false);
    for (size_t B = 0; B < Info.OpenBranches.size() && !Failed; B++) {
        if (OpenTried[B])
            continue;
        OpenTried[B] = true;
        TOpenBranch Open = Info.OpenBranches[B];
        const TCodeArea* Area = nullptr;
        for (const TCodeArea& A : Areas)
            if (!A.IsData() && A.End != 0 && Open.Start >= A.Start && Open.Start <= A.End)
                Area = &A;
        if (!Area)
            continue;
        // Walk the area up to the branch so that the registers are those of
        // the branch, then let it take its target from them.
        TRegisterSources Regs = Area->Registers;
        uint64_t Pos = Area->Start;
        TInstructionInfo I;
        while (Pos < Open.Start) {
            I = DecodeInfo(Setup.Mode, Pos, &Regs, false, Memory);
            if (!I.Valid || I.Next <= Pos)
                break;
            Pos = I.Next;
        }
        if (Pos != Open.Start)
            continue;
        I = DecodeInfo(Setup.Mode, Pos, &Regs, true, Memory);
        if (!I.Valid || I.Target == 0)
            continue;
        // The branch is known now: its record in the call list takes the target.
        Info.OpenBranches.erase(Info.OpenBranches.begin() + static_cast<ptrdiff_t>(B));
        OpenTried.erase(OpenTried.begin() + static_cast<ptrdiff_t>(B));
        B--;
        for (auto It = Info.Calls.begin(); It != Info.Calls.end(); ++It)
            if (It->Start == I.Start) {
                Info.Calls.erase(It);
                break;
            }
        size_t Before = Areas.size();
        HandleBranch(I, Regs, nullptr);
        bool Pending = false;
        for (const TCodeArea& A : Areas)
            Pending |= A.End == 0;
        Added |= Areas.size() != Before || Pending;
        OpenTried.resize(Info.OpenBranches.size(), true);
    }
    return Added;
}

// Code right after the parsed run that nothing led to (behind a call that did
// not return, say) is taken when it lies close below code already found.
bool TParser::FillGap()
{
    std::vector<std::pair<uint64_t, uint64_t>> Spans;
    for (const TCodeArea& A : Areas)
        Spans.emplace_back(A.Start, A.End);
    std::sort(Spans.begin(), Spans.end());
    uint64_t RunEnd = Spans.front().second;
    uint64_t Highest = RunEnd;
    for (const auto& [Start, End] : Spans)
        Highest = std::max(Highest, End);
    for (const auto& [Start, End] : Spans) {
        if (Start > RunEnd + 1)
            break;
        RunEnd = std::max(RunEnd, End);
    }
    if (RunEnd >= Highest)
        return false;
    uint64_t Gap = RunEnd + 1;
    if (Highest - Gap >= 1024 || !InBounds(Gap))
        return false;
    AddCodeArea(Gap, 0, TRegisterSources{});
    return !Failed;
}

void TParser::Finish()
{
    Areas.shrink_to_fit();
    uint64_t Begin = UINT64_MAX, End = 0;
    for (const TCodeArea& A : Areas) {
        Begin = std::min(Begin, A.Start);
        End = std::max(End, A.End);
    }
    Info.Valid = true;
    Info.CodeBegin = Begin;
    Info.CodeLength = static_cast<uint32_t>(End - Begin + 1);
    Info.Copy.Size += Info.CodeLength + 4;

    // The first bytes may be overwritten by a jump only when they are
    // straight-line code that nothing jumps into.
    uint64_t Run = 0, Pos = Info.EntryPoint;
    for (bool Found = true; Found;) {
        Found = false;
        for (const TCodeArea& A : Areas) {
            if (A.Start != Pos || A.End < A.Start)
                continue;
            if (A.IsData() || (Pos != Info.EntryPoint && A.Referrer != 0))
                break;
            Run += A.End - A.Start + 1;
            Pos = A.End + 1;
            Found = true;
            break;
        }
    }
    Info.Patchable = false;
    if (Run >= 6) {
        Info.Patchable = true;
        for (uint64_t P = Info.EntryPoint; P < Info.EntryPoint + 6;) {
            TInstructionInfo I = DecodeInfo(Setup.Mode, P, nullptr, false, Memory);
            if (!I.Valid || I.Next <= P) {
                Info.Patchable = false;
                break;
            }
            if ((I.IsCall || I.IsJump) && (I.TargetLocation || I.TargetPointerLocation) &&
                !I.Widenable && I.TargetSize < 4)
                Info.Patchable = false;
            P = I.Next;
        }
    }
}

void TParser::Run(uint64_t Code)
{
    Info = TFunctionInfo{};
    Info.Mode = Setup.Mode;
    Info.EntryPoint = Code;
    Info.Copy.Started = 1;
    uint8_t Probe;
    if (Code == 0 || !Setup.Committed || !Memory.TryRead(Code, &Probe, 1)) {
        Fail(Code, FuncErrorNotCommitted, ErrorCodeToStrA(static_cast<int>(FuncErrorNotCommitted)));
        return;
    }
    Low = Setup.BoundsLow;
    High = Setup.BoundsHigh;
    if (Code < Low || Code > High) {
        Low = Code;
        High = Setup.Mode == TCpuMode::x86 ? 0xFFFFFFFF : UINT64_MAX;
    }
    Areas.reserve(8);
    AddCodeArea(Code, 0, TRegisterSources{});
    for (uint64_t Pad : Setup.LandingPads)
        if (InBounds(Pad) && Pad != Code) {
            AddCodeArea(Pad, 0, TRegisterSources{});
            Info.LandingPads.push_back(Pad);
        }
    while (!Failed) {
        size_t Pending = Areas.size();
        for (size_t K = 0; K < Areas.size(); K++)
            if (Areas[K].End == 0) {
                Pending = K;
                break;
            }
        if (Pending < Areas.size()) {
            ParseCodeArea(Pending);
            continue;
        }
        if (ResolveOpenBranches())
            continue;
        if (Failed || !FillGap())
            break;
    }
    if (!Failed)
        Finish();
}

std::shared_ptr<const TCodeReader> ProcessReader(const TDATryRead* Ranges);

} // namespace

void ParseFunctionIn(uint64_t Code, const TParseSetup& Setup, TFunctionInfo& Info)
{
    if (!Setup.Memory) {
        TParseSetup Own = Setup;
        Own.Memory = ProcessReader(nullptr);
        TParser(Own, Info).Run(Code);
        return;
    }
    TParser(Setup, Info).Run(Code);
}

namespace {

// The mode of this process's own code.
constexpr TCpuMode ProcessMode = sizeof(void*) == 8 ? TCpuMode::x64 : TCpuMode::x86;

// This process's memory through a snapshot taken when the reader is made: a
// parse reads the same pages thousands of times, and the snapshot answers
// each read without asking the system about the address space again.
class TSnapshotCodeReader final : public TCodeReader {
public:
    TSnapshotCodeReader() : Ranges(GetReadableRanges()) {}
    bool TryRead(uint64_t Source, void* Dest, size_t Count) const override
    {
        return ::TryRead(static_cast<uintptr_t>(Source), Dest, Count, &Ranges);
    }

private:
    TDATryRead Ranges;
};

// The ELF reader's view of the same memory.
class TReaderElfSource final : public TElfSource {
public:
    explicit TReaderElfSource(std::shared_ptr<const TCodeReader> AMemory)
        : Memory(std::move(AMemory))
    {
    }
    bool Read(uint64_t Offset, void* Out, std::size_t Size) const override
    {
        return Memory->TryRead(Offset, Out, Size);
    }

private:
    std::shared_ptr<const TCodeReader> Memory;
};

std::shared_ptr<const TCodeReader> ProcessReader(const TDATryRead* Ranges)
{
    if (Ranges)
        return std::make_shared<TProcessCodeReader>(Ranges);
    return std::make_shared<TSnapshotCodeReader>();
}

} // namespace

// --- The runtime's routines -------------------------------------------------------

uint64_t GetAnyExceptionHandler()
{
    return 0;
}
uint64_t GetOnExceptionHandler()
{
    return 0;
}
uint64_t GetAutoExceptionHandler()
{
    return 0;
}
uint64_t GetFinallyHandler()
{
    return 0;
}
uint64_t GetHaltRoutine()
{
    return reinterpret_cast<uint64_t>(&::exit);
}

// --- Unwind entries and exception tables ------------------------------------------

namespace {

// Reads the encodings of unwind and exception tables through a code reader.
struct TTableCursor {
    const TCodeReader& Memory;
    uint64_t Pos;
    bool Ok = true;

    template <typename T> T Get()
    {
        T V{};
        if (Ok && !Memory.TryRead(Pos, &V, sizeof V))
            Ok = false;
        Pos += sizeof V;
        return V;
    }
    uint64_t Uleb()
    {
        uint64_t V = 0;
        for (unsigned Shift = 0; Ok; Shift += 7) {
            uint8_t B = Get<uint8_t>();
            if (Shift < 64)
                V |= uint64_t{B & 0x7Fu} << Shift;
            if (!(B & 0x80))
                break;
            if (Shift > 70)
                Ok = false;
        }
        return V;
    }
    int64_t Sleb()
    {
        int64_t V = 0;
        unsigned Shift = 0;
        uint8_t B = 0;
        do {
            B = Get<uint8_t>();
            if (Shift < 64)
                V |= static_cast<int64_t>(uint64_t{B & 0x7Fu} << Shift);
            Shift += 7;
            if (Shift > 70)
                Ok = false;
        } while (Ok && (B & 0x80));
        if (Shift < 64 && (B & 0x40))
            V |= -(int64_t{1} << Shift);
        return V;
    }
    // A pointer in one of the DW_EH_PE encodings.
    uint64_t Encoded(uint8_t Enc, uint64_t DataRel = 0)
    {
        if (Enc == 0xFF)
            return 0;
        uint64_t Field = Pos;
        uint64_t V = 0;
        switch (Enc & 0x0F) {
        case 0x00:
            V = sizeof(void*) == 8 ? Get<uint64_t>() : Get<uint32_t>();
            break;
        case 0x01:
            V = Uleb();
            break;
        case 0x02:
            V = Get<uint16_t>();
            break;
        case 0x03:
            V = Get<uint32_t>();
            break;
        case 0x04:
            V = Get<uint64_t>();
            break;
        case 0x09:
            V = static_cast<uint64_t>(Sleb());
            break;
        case 0x0A:
            V = static_cast<uint64_t>(static_cast<int64_t>(Get<int16_t>()));
            break;
        case 0x0B:
            V = static_cast<uint64_t>(static_cast<int64_t>(Get<int32_t>()));
            break;
        case 0x0C:
            V = Get<uint64_t>();
            break;
        default:
            Ok = false;
            return 0;
        }
        switch (Enc & 0x70) {
        case 0x00:
            break;
        case 0x10:
            V += Field;
            break;
        case 0x30:
            V += DataRel;
            break;
        default:
            Ok = false;
            return 0;
        }
        if (Enc & 0x80) {
            uint64_t Indirect = 0;
            if (!Memory.TryRead(V, &Indirect, sizeof(void*)))
                Ok = false;
            V = Indirect;
        }
        return V;
    }
};

constexpr uint32_t PtGnuEhFrame = 0x6474e550;
constexpr uint32_t PtDynamic = 2;
constexpr uint32_t PtLoad = 1;

// The module of this process holding Address, opened in memory.
std::unique_ptr<TElfLoadedImage> ImageOf(uint64_t Address)
{
    uintptr_t Module = 0;
    std::string File;
    if (!FindModuleOfAddr(static_cast<uintptr_t>(Address), Module, File))
        return nullptr;
    return TElfLoadedImage::Open(Module);
}

// The unwind entry (FDE) at FdeAddr, when it covers Address.
bool ReadFde(uint64_t FdeAddr, uint64_t Address, TUnwindEntry& Entry, const TCodeReader& Memory)
{
    TTableCursor F{Memory, FdeAddr};
    uint64_t Length = F.Get<uint32_t>();
    if (Length == 0xFFFFFFFF)
        Length = F.Get<uint64_t>();
    uint64_t CiePtrAt = F.Pos;
    uint32_t CiePtr = F.Get<uint32_t>();
    if (!F.Ok || Length == 0 || CiePtr == 0)
        return false;
    TTableCursor C{Memory, CiePtrAt - CiePtr};
    uint64_t CieLength = C.Get<uint32_t>();
    if (CieLength == 0xFFFFFFFF)
        C.Get<uint64_t>();
    if (C.Get<uint32_t>() != 0)
        return false;
    uint8_t Version = C.Get<uint8_t>();
    // At most 15 characters: kept in the string itself, never on the heap
    // (a crash-time walk reads these).
    std::string Aug;
    for (char Ch; C.Ok && (Ch = static_cast<char>(C.Get<uint8_t>())) != 0 && Aug.size() < 15;)
        Aug += Ch;
    if (Aug.find("eh") != std::string::npos)
        C.Get<uint64_t>();
    C.Uleb();
    C.Sleb();
    if (Version == 1)
        C.Get<uint8_t>();
    else
        C.Uleb();
    uint8_t FdeEnc = 0, LsdaEnc = 0xFF;
    if (!Aug.empty() && Aug[0] == 'z') {
        C.Uleb();
        for (size_t K = 1; K < Aug.size() && C.Ok; K++) {
            if (Aug[K] == 'L')
                LsdaEnc = C.Get<uint8_t>();
            else if (Aug[K] == 'R')
                FdeEnc = C.Get<uint8_t>();
            else if (Aug[K] == 'P')
                C.Encoded(C.Get<uint8_t>() & 0x7F);
            else if (Aug[K] != 'S' && Aug[K] != 'B')
                break;
        }
    }
    if (!C.Ok)
        return false;
    uint64_t Begin = F.Encoded(FdeEnc);
    uint64_t Range = F.Encoded(FdeEnc & 0x0F);
    uint64_t Lsda = 0;
    if (!Aug.empty() && Aug[0] == 'z') {
        F.Uleb();
        if (LsdaEnc != 0xFF)
            Lsda = F.Encoded(LsdaEnc);
    }
    if (!F.Ok || Address < Begin || Address - Begin >= Range)
        return false;
    Entry.Begin = Begin;
    Entry.End = Begin + Range;
    Entry.Lsda = Lsda;
    return true;
}

} // namespace

namespace {

bool FindUnwindEntryIn(const TElfLoadedImage* Image, uint64_t Address, TUnwindEntry& Entry,
                       const TCodeReader& Memory)
{
    if (!Image)
        return false;
    for (const TElfSegment& Seg : Image->Segments())
        if (Seg.Type == PtGnuEhFrame)
            return FindUnwindEntryByHeader(Image->Bias() + Seg.VAddr, Address, Entry, Memory);
    return false;
}

} // namespace

bool FindUnwindEntryByHeader(uint64_t Hdr, uint64_t Address, TUnwindEntry& Entry,
                             const TCodeReader& Memory)
{
    // The search table of .eh_frame_hdr: sorted {start, FDE} pairs.
    TTableCursor H{Memory, Hdr};
    uint8_t Version = H.Get<uint8_t>();
    uint8_t FramePtrEnc = H.Get<uint8_t>();
    uint8_t CountEnc = H.Get<uint8_t>();
    uint8_t TableEnc = H.Get<uint8_t>();
    H.Encoded(FramePtrEnc, Hdr);
    uint64_t Count = H.Encoded(CountEnc, Hdr);
    if (!H.Ok || Version != 1 || TableEnc != 0x3B || Count == 0 || Count > (1u << 26))
        return false;
    uint64_t Table = H.Pos;
    auto Start = [&](uint64_t K, bool& Ok) {
        int32_t V[2] = {};
        Ok = Memory.TryRead(Table + K * 8, V, sizeof V);
        return Hdr + static_cast<uint64_t>(static_cast<int64_t>(V[0]));
    };
    uint64_t Lo = 0, Hi = Count; // the last entry starting at or below Address
    while (Hi - Lo > 1) {
        uint64_t Mid = Lo + (Hi - Lo) / 2;
        bool Ok = false;
        uint64_t S = Start(Mid, Ok);
        if (!Ok)
            return false;
        if (S <= Address)
            Lo = Mid;
        else
            Hi = Mid;
    }
    int32_t Pair[2] = {};
    if (!Memory.TryRead(Table + Lo * 8, Pair, sizeof Pair))
        return false;
    return ReadFde(Hdr + static_cast<uint64_t>(static_cast<int64_t>(Pair[1])), Address, Entry,
                   Memory);
}

bool FindUnwindEntry(uint64_t Address, TUnwindEntry& Entry, const TCodeReader& Memory)
{
    auto Image = ImageOf(Address);
    return FindUnwindEntryIn(Image.get(), Address, Entry, Memory);
}

std::vector<uint64_t> ReadLandingPads(uint64_t Lsda, uint64_t FunctionStart,
                                      const TCodeReader& Memory)
{
    std::vector<uint64_t> Pads;
    if (Lsda == 0)
        return Pads;
    TTableCursor L{Memory, Lsda};
    uint8_t LpStartEnc = L.Get<uint8_t>();
    uint64_t LpStart = LpStartEnc == 0xFF ? FunctionStart : L.Encoded(LpStartEnc);
    uint8_t TTypeEnc = L.Get<uint8_t>();
    if (TTypeEnc != 0xFF)
        L.Uleb();
    uint8_t CallSiteEnc = L.Get<uint8_t>();
    uint64_t Length = L.Uleb();
    if (!L.Ok || Length > (1u << 24))
        return Pads;
    uint64_t End = L.Pos + Length;
    // Call-site entries hold offsets: only the format of the encoding counts.
    uint8_t Format = CallSiteEnc & 0x0F;
    while (L.Ok && L.Pos < End) {
        L.Encoded(Format);
        L.Encoded(Format);
        uint64_t Pad = L.Encoded(Format);
        L.Uleb();
        if (!L.Ok)
            break;
        if (Pad != 0 && std::find(Pads.begin(), Pads.end(), LpStart + Pad) == Pads.end())
            Pads.push_back(LpStart + Pad);
    }
    return Pads;
}

// --- Names ------------------------------------------------------------------------

bool IsNoReturnName(std::string_view Name)
{
    if (auto At = Name.find('@'); At != std::string_view::npos && At > 0)
        Name = Name.substr(0, At);
    static constexpr std::string_view Plain[] = {"abort",
                                                 "exit",
                                                 "_exit",
                                                 "_Exit",
                                                 "quick_exit",
                                                 "__cxa_throw",
                                                 "__cxa_rethrow",
                                                 "__cxa_bad_cast",
                                                 "__cxa_bad_typeid",
                                                 "__cxa_throw_bad_array_new_length",
                                                 "__cxa_pure_virtual",
                                                 "__cxa_deleted_virtual",
                                                 "__cxa_call_unexpected",
                                                 "__cxa_call_terminate",
                                                 "_Unwind_Resume",
                                                 "__stack_chk_fail",
                                                 "__assert_fail",
                                                 "__assert_perror_fail",
                                                 "__fortify_fail",
                                                 "__chk_fail",
                                                 "longjmp",
                                                 "siglongjmp",
                                                 "_longjmp",
                                                 "__longjmp_chk",
                                                 "pthread_exit",
                                                 "__libc_fatal",
                                                 "err",
                                                 "errx",
                                                 "verr",
                                                 "verrx",
                                                 "_ZSt9terminatev",
                                                 "_ZSt10unexpectedv",
                                                 "std::terminate()",
                                                 "std::unexpected()",
                                                 "std::terminate",
                                                 "std::unexpected"};
    for (std::string_view P : Plain)
        if (Name == P)
            return true;
    // std::__throw_length_error and its kind, std::rethrow_exception.
    if (Name.starts_with("_ZSt")) {
        size_t K = 4;
        while (K < Name.size() && Name[K] >= '0' && Name[K] <= '9')
            K++;
        // The identifier is as long as the number in front of it says.
        size_t Length = 0;
        for (size_t D = 4; D < K && Length < 1000; D++)
            Length = Length * 10 + static_cast<size_t>(Name[D] - '0');
        std::string_view Id = Name.substr(K, std::min(Length, Name.size() - K));
        return K > 4 && Id.size() == Length &&
               ((Id.starts_with("__throw_") && Length > 8) || Id == "rethrow_exception");
    }
    return Name.starts_with("std::__throw_") || Name.starts_with("std::rethrow_exception");
}

namespace {

// The dynamic relocations of a module that fill pointer slots (the linkage
// table's and those of calls through the global offset table): slot address
// to symbol, the names read when asked for.
struct TSlotNames {
    bool Read = false;
    uint64_t SymTab = 0, StrTab = 0, StrSize = 0;
    std::map<uint64_t, uint32_t> Symbols;
};

std::string ReadCString(const TCodeReader& Memory, uint64_t At, size_t Max = 1024)
{
    std::string S;
    char Ch = 0;
    while (S.size() < Max && Memory.TryRead(At + S.size(), &Ch, 1)) {
        if (Ch == 0)
            return S;
        S += Ch;
    }
    return {};
}

// Entry sizes of the dynamic section, relocations and symbols of this
// process's class: x86-64 uses RELA, i386 REL.
constexpr bool Elf64 = sizeof(void*) == 8;
constexpr uint64_t DynSize = Elf64 ? 16 : 8;
constexpr uint64_t RelSize = Elf64 ? 24 : 8;
constexpr uint64_t SymSize = Elf64 ? 24 : 16;

void ReadSlotNames(const TElfLoadedImage& Image, const TCodeReader& Memory, TSlotNames& Out)
{
    Out.Read = true;
    uint64_t Dyn = 0, DynBytes = 0;
    for (const TElfSegment& Seg : Image.Segments())
        if (Seg.Type == PtDynamic) {
            Dyn = Image.Bias() + Seg.VAddr;
            DynBytes = Seg.MemSize;
        }
    if (!Dyn)
        return;
    // The dynamic linker has relocated these entries in place, unless not.
    auto Ptr = [&](uint64_t V) { return V < Image.HeaderAddress() ? V + Image.Bias() : V; };
    uint64_t JmpRel = 0, JmpRelSize = 0, Rel = 0, RelBytes = 0;
    for (uint64_t K = 0; K < DynBytes / DynSize && K < 4096; K++) {
        int64_t Tag = 0;
        uint64_t V = 0;
        if (Elf64) {
            int64_t Entry[2];
            if (!Memory.TryRead(Dyn + K * DynSize, Entry, sizeof Entry))
                break;
            Tag = Entry[0];
            V = static_cast<uint64_t>(Entry[1]);
        } else {
            int32_t Entry[2];
            if (!Memory.TryRead(Dyn + K * DynSize, Entry, sizeof Entry))
                break;
            Tag = Entry[0];
            V = static_cast<uint32_t>(Entry[1]);
        }
        if (Tag == 0)
            break;
        switch (Tag) {
        case 23: // DT_JMPREL
            JmpRel = Ptr(V);
            break;
        case 2: // DT_PLTRELSZ
            JmpRelSize = V;
            break;
        case 7:  // DT_RELA
        case 17: // DT_REL
            Rel = Ptr(V);
            break;
        case 8:  // DT_RELASZ
        case 18: // DT_RELSZ
            RelBytes = V;
            break;
        case 6: // DT_SYMTAB
            Out.SymTab = Ptr(V);
            break;
        case 5: // DT_STRTAB
            Out.StrTab = Ptr(V);
            break;
        case 10: // DT_STRSZ
            Out.StrSize = V;
            break;
        default:
            break;
        }
    }
    if (!Out.SymTab || !Out.StrTab)
        return;
    auto Take = [&](uint64_t Table, uint64_t Size) {
        uint8_t Buf[64 * 24];
        for (uint64_t K = 0; Table && K < Size / RelSize && K < (1u << 20);) {
            uint64_t N = std::min<uint64_t>(64, Size / RelSize - K);
            if (!Memory.TryRead(Table + K * RelSize, Buf, N * RelSize))
                return;
            for (uint64_t J = 0; J < N; J++) {
                uint64_t Offset = 0;
                uint32_t Sym = 0, Type = 0;
                if (Elf64) {
                    uint64_t Info = 0;
                    std::memcpy(&Offset, Buf + J * RelSize, 8);
                    std::memcpy(&Info, Buf + J * RelSize + 8, 8);
                    Sym = static_cast<uint32_t>(Info >> 32);
                    Type = static_cast<uint32_t>(Info);
                } else {
                    uint32_t O32 = 0, I32 = 0;
                    std::memcpy(&O32, Buf + J * RelSize, 4);
                    std::memcpy(&I32, Buf + J * RelSize + 4, 4);
                    Offset = O32;
                    Sym = I32 >> 8;
                    Type = I32 & 0xFF;
                }
                // GLOB_DAT (6) and JUMP_SLOT (7) fill pointer slots, in both classes.
                if (Sym != 0 && (Type == 6 || Type == 7))
                    Out.Symbols[Image.Bias() + Offset] = Sym;
            }
            K += N;
        }
    };
    Take(JmpRel, JmpRelSize);
    Take(Rel, RelBytes);
}

std::string ExeFileName()
{
    char Buf[4096];
    ssize_t N = ::readlink("/proc/self/exe", Buf, sizeof Buf - 1);
    return N > 0 ? std::string(Buf, static_cast<size_t>(N)) : std::string();
}

} // namespace

struct TProcessSymbols::TImpl {
    std::shared_ptr<const TCodeReader> Memory;
    std::vector<TModuleInfo> Modules;
    std::string Exe;
    mutable std::mutex Lock;
    mutable std::map<uintptr_t, std::unique_ptr<TElfLoadedImage>> Images;
    mutable std::map<uintptr_t, TSlotNames> Slots;

    const TModuleInfo* ModuleOf(uint64_t A) const
    {
        for (const TModuleInfo& M : Modules)
            if (A >= M.Base && A < M.End)
                return &M;
        return nullptr;
    }
    std::shared_ptr<const TElfSource> ElfSource;
    const TElfLoadedImage* Image(const TModuleInfo& M) const
    {
        auto It = Images.find(M.Base);
        if (It == Images.end())
            It = Images.emplace(M.Base, TElfLoadedImage::Open(M.Base, ElfSource)).first;
        return It->second.get();
    }
    std::string SlotName(uint64_t Slot) const
    {
        const TModuleInfo* M = ModuleOf(Slot);
        if (!M)
            return {};
        TSlotNames& S = Slots[M->Base];
        if (!S.Read) {
            if (const TElfLoadedImage* I = Image(*M))
                ReadSlotNames(*I, *Memory, S);
            S.Read = true;
        }
        auto It = S.Symbols.find(Slot);
        if (It == S.Symbols.end())
            return {};
        uint32_t NameOff = 0;
        if (!Memory->TryRead(S.SymTab + uint64_t{It->second} * SymSize, &NameOff, 4) ||
            NameOff >= S.StrSize)
            return {};
        return ReadCString(*Memory, S.StrTab + NameOff);
    }
    std::string RawName(uint64_t A, bool ExportsOnly = false) const
    {
        const TModuleInfo* M = ModuleOf(A);
        std::string Name;
        if (M)
            if (const TElfLoadedImage* I = Image(*M))
                Name = I->SymbolNameAt(static_cast<uintptr_t>(A));
        if (Name.empty() && !ExportsOnly)
            if (TMapNameHook Hook = MapDataNameHook.load()) {
                std::u16string W;
                if (Hook(static_cast<uintptr_t>(A), W))
                    Name = WideToUtf8(W);
            }
        return Name;
    }
};

TProcessSymbols::TProcessSymbols(std::shared_ptr<const TCodeReader> Memory)
    : Impl(std::make_unique<TImpl>())
{
    Impl->Memory = Memory ? std::move(Memory) : ProcessReader(nullptr);
    Impl->ElfSource = std::make_shared<TReaderElfSource>(Impl->Memory);
    Impl->Modules = GetModuleList();
    Impl->Exe = ExeFileName();
}

TProcessSymbols::~TProcessSymbols() = default;

std::string TProcessSymbols::AddressToName(uint64_t Address, std::string& Module,
                                           bool& MainProgram) const
{
    const TModuleInfo* M = Impl->ModuleOf(Address);
    Module.clear();
    MainProgram = false;
    if (!M)
        return {};
    std::string Name;
    if (!::AddressToName(M->Base, static_cast<uintptr_t>(Address), Name))
        return {};
    Module = M->FileName;
    MainProgram = M->FileName == Impl->Exe;
    return Name;
}

uint64_t TProcessSymbols::ImageEnd(uint64_t Address) const
{
    const TModuleInfo* M = Impl->ModuleOf(Address);
    return M ? M->End : 0;
}

const TElfLoadedImage* TProcessSymbols::ImageOf(uint64_t Address) const
{
    std::lock_guard<std::mutex> G(Impl->Lock);
    const TModuleInfo* M = Impl->ModuleOf(Address);
    return M ? Impl->Image(*M) : nullptr;
}

std::string TProcessSymbols::TargetName(const TInstructionInfo& Branch) const
{
    return Name(Branch, false);
}

std::string TProcessSymbols::ExportedTargetName(const TInstructionInfo& Branch) const
{
    return Name(Branch, true);
}

std::string TProcessSymbols::Name(const TInstructionInfo& Branch, bool ExportsOnly) const
{
    std::lock_guard<std::mutex> G(Impl->Lock);
    if (Branch.TargetPointer != 0) {
        std::string Name = Impl->SlotName(Branch.TargetPointer);
        if (!Name.empty() || Branch.Target == 0)
            return Name;
        return Impl->RawName(Branch.Target, ExportsOnly);
    }
    if (Branch.Target == 0)
        return {};
    // A linkage-table entry: (endbr,) jmp through its pointer slot.
    uint64_t At = Branch.Target;
    uint8_t Endbr[4];
    if (Impl->Memory->TryRead(At, Endbr, 4) && Endbr[0] == 0xF3 && Endbr[1] == 0x0F &&
        Endbr[2] == 0x1E && (Endbr[3] == 0xFA || Endbr[3] == 0xFB))
        At += 4;
    TInstructionInfo J = ParseCode(At, *Impl->Memory, ProcessMode);
    if (J.Valid && J.IsJump && J.TargetPointer != 0) {
        std::string Name = Impl->SlotName(J.TargetPointer);
        if (!Name.empty())
            return Name;
    }
    return Impl->RawName(Branch.Target, ExportsOnly);
}

bool AddressToName(uintptr_t Module, uintptr_t Address, std::string& Name)
{
    Name = GetExportName(Module, Address, true);
    if (Name.empty())
        if (TMapNameHook Hook = MapDataNameHook.load()) {
            std::u16string W;
            if (Hook(Address, W))
                Name = WideToUtf8(W);
        }
    return !Name.empty();
}

// --- Parsing routines of this process -------------------------------------------------

TParseSetup MakeProcessParseSetup(uint64_t Code, const TDATryRead* Ranges,
                                  const TRuntimeHandlers& Handlers,
                                  std::shared_ptr<TProcessSymbols> GivenSymbols)
{
    TParseSetup S;
    S.Mode = ProcessMode;
    S.Memory = ProcessReader(Ranges);
    S.Handlers = Handlers;
    if (!S.Handlers.AnyException)
        S.Handlers.AnyException = GetAnyExceptionHandler();
    if (!S.Handlers.OnException)
        S.Handlers.OnException = GetOnExceptionHandler();
    if (!S.Handlers.AutoException)
        S.Handlers.AutoException = GetAutoExceptionHandler();
    if (!S.Handlers.Finally)
        S.Handlers.Finally = GetFinallyHandler();
    if (!S.Handlers.Halt)
        S.Handlers.Halt = GetHaltRoutine();
    // The C++ runtime's throw, for code that calls it directly rather than
    // through a linkage table (those calls are known by name).
    if (!S.Handlers.CxxThrow)
        S.Handlers.CxxThrow = reinterpret_cast<uint64_t>(&__cxxabiv1::__cxa_throw);
    uint8_t Kind = Ranges ? FindReadableRange(*Ranges, static_cast<uintptr_t>(Code), 1)
                          : QueryMemoryAccess(static_cast<uintptr_t>(Code), 1);
    S.Committed = Code != 0 && Kind != kaNone;
    if (!S.Committed)
        return S;

    // Bounds: the routine's unwind entry; else the code segment of its
    // module; else the memory region.
    auto Symbols =
        GivenSymbols ? std::move(GivenSymbols) : std::make_shared<TProcessSymbols>(S.Memory);
    const TElfLoadedImage* Image = Symbols->ImageOf(Code);
    TUnwindEntry Unwind;
    if (FindUnwindEntryIn(Image, Code, Unwind, *S.Memory)) {
        S.BoundsLow = Unwind.Begin;
        S.BoundsHigh = Unwind.End - 1;
        S.LandingPads = ReadLandingPads(Unwind.Lsda, Unwind.Begin, *S.Memory);
    } else if (Image) {
        for (const TElfSegment& Seg : Image->Segments()) {
            uint64_t Start = Image->Bias() + Seg.VAddr;
            if (Seg.Type == PtLoad && (Seg.Flags & 1) && Code >= Start &&
                Code - Start < Seg.MemSize) {
                S.BoundsLow = Start;
                S.BoundsHigh = Start + Seg.MemSize - 1;
            }
        }
    }
    if (S.BoundsHigh == 0)
        EnumMemoryMaps([&](const TMapsEntry& E) {
            if (Code >= E.Start && Code < E.End) {
                S.BoundsLow = E.Start;
                S.BoundsHigh = E.End - 1;
                return false;
            }
            return true;
        });
    S.NoReturn = [Symbols](const TInstructionInfo& I) {
        return IsNoReturnName(Symbols->TargetName(I));
    };
    return S;
}

void ParseFunctionEx(uintptr_t Code, const TDATryRead* Ranges, uintptr_t AnyException,
                     uintptr_t OnException, uintptr_t AutoException, uintptr_t Finally,
                     uintptr_t Halt, TFunctionInfo& Info)
{
    TRuntimeHandlers H;
    H.AnyException = AnyException;
    H.OnException = OnException;
    H.AutoException = AutoException;
    H.Finally = Finally;
    H.Halt = Halt;
    ParseFunctionIn(Code, MakeProcessParseSetup(Code, Ranges, H), Info);
}

void ParseFunction(uintptr_t Code, TFunctionInfo& Info)
{
    ParseFunctionEx(Code, nullptr, 0, 0, 0, 0, 0, Info);
}

// --- Listing ------------------------------------------------------------------

namespace {

enum class TLineKind : uint8_t { Code, Parser, Empty, Cut };

struct TListingLine {
    uint64_t Address = 0;
    std::string Text;
    TLineKind Kind = TLineKind::Code;
};

class TListing {
public:
    TListing(const TFunctionInfo& AInfo, const TParseSetup& ASetup, uint64_t ACrash, bool AFormat,
             const TListingSources& ASources, const TCodeReader& AMemory)
        : Info(AInfo), Setup(ASetup), Crash(ACrash), Format(AFormat), Sources(ASources),
          Memory(AMemory), Width(Info.Mode == TCpuMode::x64 ? 16 : 8)
    {
    }
    bool Compose(); // false when an area could not be placed
    std::vector<TListingLine> Lines;
    int CrashLine = -1;

private:
    const TFunctionInfo& Info;
    const TParseSetup& Setup;
    uint64_t Crash;
    bool Format;
    const TListingSources& Sources;
    const TCodeReader& Memory;
    size_t Width;

    std::string Hex(uint64_t A) const
    {
        std::string S;
        AddressToHex(A, true, S, Info.Mode);
        return S;
    }
    std::string Label(uint64_t A) const { return "loc_" + Hex(A); }
    bool InRoutine(uint64_t A) const
    {
        return A >= Info.CodeBegin && A - Info.CodeBegin < Info.CodeLength;
    }
    void AddParserLine(uint64_t Address, const std::string& Text)
    {
        Lines.push_back({Address, Hex(Address) + " " + Text, TLineKind::Parser});
    }
    void AddEmpty()
    {
        if (!Lines.empty() && Lines.back().Kind != TLineKind::Empty)
            Lines.push_back({0, std::string(), TLineKind::Empty});
    }
    void AddSeparator(uint64_t Address)
    {
        AddParserLine(Address, "; ---------------------------------------------------------");
        AddEmpty();
    }
    bool ListCodeArea(const TCodeArea& A); // true when the flow of code ends there
    void ListCaseEntries(uint64_t Table, uint8_t EntrySize, const std::vector<uint64_t>& Targets);
    void ListHandlerTable(const TCodeArea& A);
    std::string ClassName(uint64_t Class) const;
};

bool TListing::ListCodeArea(const TCodeArea& A)
{
    if (A.Start == Info.EntryPoint) {
        std::string Name =
            Sources.Name.empty() ? "sub_" + Hex(Info.EntryPoint) : "public " + Sources.Name;
        AddParserLine(A.Start, Name + ":  ; function entry point");
    } else
        AddParserLine(A.Start, Label(A.Start) + ":");
    bool FlowEnds = false;
    for (uint64_t Pos = A.Start; Pos <= A.End;) {
        TDecodeState S;
        DecodeAt(S, Info.Mode, Pos, nullptr, false, Memory);
        const TInstructionInfo& I = S.Info;
        std::string StandIn = StandInText(S);
        std::string Text = StandIn.empty() ? ComposeDecodedText(S, &Memory, Sources.Symbols)
                                           : Hex(Pos) + "   " + StandIn;
        if (Format && I.Valid && I.Relative && I.Target && InRoutine(I.Target)) {
            // "jmp +12 ($00401020)" becomes "jmp loc_00401020".
            std::string Shown = " ($" + Hex(I.Target) + ")";
            size_t At = Text.find(Shown);
            size_t Blank = At == std::string::npos ? At : Text.rfind(' ', At - 1);
            if (Blank != std::string::npos && Blank > Width)
                Text.replace(Blank + 1, At + Shown.size() - Blank - 1, Label(I.Target));
        }
        if (Crash >= I.Start && Crash < std::max(I.Next, I.Start + 1) && Text.size() > Width + 1) {
            Text[Width + 1] = '>';
            CrashLine = static_cast<int>(Lines.size());
        }
        Lines.push_back({I.Start, Text, TLineKind::Code});
        uint16_t Op = I.Opcode;
        FlowEnds = !I.Valid || IsReturn(Op) || IsTrap(Op) || (I.IsJump && !IsConditionalJump(Op)) ||
                   (I.IsCall && Setup.NoReturn && Setup.NoReturn(I)) ||
                   (I.IsCall && I.Target &&
                    (I.Target == Setup.Handlers.Halt || I.Target == Setup.Handlers.CxxThrow));
        if (!I.Valid || I.Next <= Pos)
            break;
        Pos = I.Next;
    }
    return FlowEnds;
}

void TListing::ListCaseEntries(uint64_t Table, uint8_t EntrySize,
                               const std::vector<uint64_t>& Targets)
{
    for (size_t K = 0; K < Targets.size(); K++) {
        std::string Text =
            "  dd " + (InRoutine(Targets[K]) ? Label(Targets[K]) : "$" + Hex(Targets[K]));
        if (K == 0)
            Text += "  ; case jump table";
        AddParserLine(Table + K * EntrySize, Text);
    }
}

std::string TListing::ClassName(uint64_t Class) const
{
    // The 32-bit runtime keeps a pointer to the class name (a length byte and
    // the characters) 44 bytes before the class's method table.
    uint32_t NamePtr = 0;
    uint8_t Length = 0;
    if (Info.Mode != TCpuMode::x86 || Class < 44 || !Memory.TryRead(Class - 44, &NamePtr, 4) ||
        !Memory.TryRead(NamePtr, &Length, 1) || Length == 0)
        return "?";
    std::string Name(Length, '\0');
    if (!Memory.TryRead(uint64_t{NamePtr} + 1, Name.data(), Length))
        return "?";
    return Name;
}

void TListing::ListHandlerTable(const TCodeArea& A)
{
    uint64_t Ptr = Info.Mode == TCpuMode::x64 ? 8 : 4;
    uint32_t Count = 0;
    if (!Memory.TryRead(A.Start, &Count, 4))
        return;
    for (uint32_t K = 0; K < Count && A.Start + 4 + (K + 1) * 2 * Ptr - 1 <= A.End; K++) {
        uint64_t At = A.Start + 4 + K * 2 * Ptr;
        uint64_t Class = 0, Handler = 0;
        if (!Memory.TryRead(At, &Class, Ptr) || !Memory.TryRead(At + Ptr, &Handler, Ptr))
            break;
        std::string Text = Class == 0 ? "  catch all " + Label(Handler)
                                      : "  catch " + ClassName(Class) + " " + Label(Handler);
        AddParserLine(At, Text);
    }
}

bool TListing::Compose()
{
    // The areas by address: each time the lowest start above the previous.
    std::vector<const TCodeArea*> Order;
    uint64_t Previous = 0;
    for (size_t N = 0; N < Info.CodeAreas.size(); N++) {
        const TCodeArea* Next = nullptr;
        for (const TCodeArea& A : Info.CodeAreas)
            if ((N == 0 || A.Start > Previous) && (!Next || A.Start < Next->Start))
                Next = &A;
        if (!Next)
            return false;
        Order.push_back(Next);
        Previous = Next->Start;
    }
    for (size_t N = 0; N < Order.size(); N++) {
        const TCodeArea& A = *Order[N];
        bool Last = N + 1 == Order.size();
        if (A.IsData()) {
            AddEmpty();
            if (A.CaseTable) {
                for (const TCaseTable& C : Info.CaseTables)
                    if (C.Table == A.Start)
                        ListCaseEntries(C.Table, C.EntrySize, C.Targets);
            } else
                ListHandlerTable(A);
            if (Format && !Last)
                AddSeparator(A.End + 1);
            continue;
        }
        bool FlowEnds = ListCodeArea(A);
        // Tables kept outside the code follow the area of their jump.
        for (const TCaseTable& C : Info.CaseTables)
            if (C.Jump >= A.Start && C.Jump <= A.End &&
                !(C.Table >= Info.CodeBegin && C.Table - Info.CodeBegin < Info.CodeLength)) {
                AddEmpty();
                ListCaseEntries(C.Table, C.EntrySize, C.Targets);
                FlowEnds = true;
            }
        bool Adjacent = !Last && Order[N + 1]->Start == A.End + 1;
        if (Format && !Last && (FlowEnds || !Adjacent))
            AddSeparator(A.End + 1);
    }
    while (!Lines.empty() && Lines.back().Kind == TLineKind::Empty)
        Lines.pop_back();
    return true;
}

// Cuts a listing to about Limit lines before and after the crash line.
void CutListing(std::vector<TListingLine>& Lines, int CrashLine, int Limit)
{
    if (Limit <= 0)
        return;
    size_t N = static_cast<size_t>(Limit);
    size_t Most = N * 12 / 10;
    TListingLine Cut{0, "[...]", TLineKind::Cut};
    if (CrashLine < 0) {
        if (Lines.size() > Most) {
            Lines.resize(N);
            Lines.push_back(Cut);
        }
        return;
    }
    size_t C = static_cast<size_t>(CrashLine);
    if (Lines.size() - C - 1 > Most) {
        Lines.resize(C + 1 + N);
        Lines.push_back(Cut);
    }
    if (C > Most) {
        Lines.erase(Lines.begin(), Lines.begin() + static_cast<ptrdiff_t>(C - N));
        Lines.insert(Lines.begin(), Cut);
    }
}

size_t DecimalDigits(uint64_t V)
{
    size_t D = 1;
    while (V >= 10) {
        V /= 10;
        D++;
    }
    return D;
}

} // namespace

std::string ComposeFunctionListing(const TFunctionInfo& Info, const TParseSetup& Setup,
                                   uint64_t CrashAddress, bool Format, int LineLimit,
                                   const TListingSources& Sources)
{
    if (!Info.Valid)
        return Info.Text;
    std::shared_ptr<const TCodeReader> Own = Setup.Memory;
    if (!Own)
        Own = ProcessReader(nullptr);
    size_t Width = Info.Mode == TCpuMode::x64 ? 16 : 8;
    std::vector<TListingLine> Lines;
    int CrashLine = -1;
    try {
        TListing L(Info, Setup, CrashAddress, Format, Sources, *Own);
        if (!L.Compose())
            return FuncTextInternalError;
        Lines = std::move(L.Lines);
        CrashLine = L.CrashLine;
    } catch (const std::exception&) {
        return FuncTextInternalError;
    }
    CutListing(Lines, CrashLine, LineLimit);

    // Source lines: a column as wide as the highest line number needs.
    size_t Digits = 0;
    uint32_t Line = 0;
    uintptr_t RangeStart = 0, RangeEnd = 0;
    if (Sources.Lines) {
        uint64_t Last = Info.EntryPoint + Info.CodeLength - 1;
        uint32_t Highest = 0;
        if (!Sources.Lines(static_cast<uintptr_t>(Last), Highest, RangeStart, RangeEnd) ||
            Highest == 0) {
            Highest = 0;
            if (CrashAddress &&
                Sources.Lines(static_cast<uintptr_t>(CrashAddress), Highest, RangeStart, RangeEnd))
                Highest *= 10;
        }
        if (Highest)
            Digits = DecimalDigits(Highest);
        RangeStart = RangeEnd = 0;
    }
    std::string Text;
    Text.reserve(200);
    uint32_t Previous = 0;
    bool HavePrevious = false;
    for (TListingLine& L : Lines) {
        if (Digits && L.Kind == TLineKind::Code && L.Text.size() > Width + 1) {
            uint32_t This = Line;
            if (!(L.Address >= RangeStart && L.Address < RangeEnd)) {
                This = 0;
                if (!Sources.Lines(static_cast<uintptr_t>(L.Address), This, RangeStart, RangeEnd)) {
                    This = 0;
                    RangeStart = RangeEnd = 0;
                }
            }
            Line = This;
            std::string Column(Digits + 1, ' ');
            if (This != 0 && (!HavePrevious || This != Previous)) {
                std::string Number = std::to_string(This);
                Column.replace(Digits - Number.size(), Number.size(), Number);
            }
            if (This != 0) {
                Previous = This;
                HavePrevious = true;
            }
            L.Text.insert(Width + 2, Column);
        } else if (Digits && L.Kind == TLineKind::Parser && L.Text.size() > Width) {
            L.Text.insert(Width + 1, std::string(Digits + 1, ' '));
        }
        Text += L.Text;
        Text += "\r\n";
    }
    if (Text.size() >= 2)
        Text.resize(Text.size() - 2);
    return Text;
}

void ParseFunctionText(uintptr_t Code, std::string& Text, uintptr_t CrashAddress,
                       TFunctionInfo& Info, bool Format, int LineLimit)
{
    TParseSetup Setup = MakeProcessParseSetup(Code, nullptr);
    ParseFunctionIn(Code, Setup, Info);
    if (!Info.Valid) {
        Text = Info.Text;
        return;
    }
    TProcessSymbols Symbols(Setup.Memory);
    TListingSources Sources;
    Sources.Symbols = &Symbols;
    Sources.Lines = MapDataLineHook.load();
    uintptr_t Module = 0;
    std::string File;
    if (FindModuleOfAddr(Code, Module, File))
        AddressToName(Module, Code, Sources.Name);
    Text = ComposeFunctionListing(Info, Setup, CrashAddress, Format, LineLimit, Sources);
    Info.Text = Text;
}

std::atomic<TDisAsmListingHook> DisAsmListingHook{nullptr};
