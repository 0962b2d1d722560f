// Any bytes as a routine, in both CPU modes: the parser stops (at its limits
// at the latest), keeps every area inside the bounds it was given, and the
// listing of what it found composes. The first byte chooses the mode, the
// listing's form and its line limit; the rest is the code.
#include "crashlib/kelFuncParser.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace {

constexpr uint64_t Base = 0x10000;

bool OneLinePerSixteenBytes(uintptr_t Address, uint32_t& Line, uintptr_t& RangeStart,
                            uintptr_t& RangeEnd)
{
    if (Address < Base)
        return false;
    Line = static_cast<uint32_t>((Address - Base) / 16 + 1);
    RangeStart = Base + (Address - Base) / 16 * 16;
    RangeEnd = RangeStart + 16;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    if (Size < 2)
        return 0;
    uint8_t Flags = Data[0];
    auto Code = std::make_shared<TBufferCodeReader>(Base, Data + 1, Size - 1);
    TParseSetup Setup;
    Setup.Mode = (Flags & 1) ? TCpuMode::x64 : TCpuMode::x86;
    Setup.Memory = Code;
    Setup.BoundsLow = Base;
    Setup.BoundsHigh = Base + Size - 2;
    // The runtime's routines at the first bytes, so that branches to them occur.
    Setup.Handlers.AnyException = Base + 1;
    Setup.Handlers.OnException = Base + 2;
    Setup.Handlers.AutoException = Base + 3;
    Setup.Handlers.Finally = Base + 4;
    Setup.Handlers.Halt = Base + 5;
    Setup.LandingPads = {Base + (Flags >> 4), Base + 2 * (Flags >> 4)};
    Setup.MaxAreas = 512;
    Setup.MaxInstructions = 20000;
    Setup.MaxCaseEntries = 256;

    TFunctionInfo Info;
    ParseFunctionIn(Base + ((Flags >> 1) & 7), Setup, Info);
    if (!Info.Valid)
        return 0;
    if (Info.CodeAreas.empty() || Info.CodeAreas.size() > Setup.MaxAreas + 1)
        __builtin_trap();
    for (const TCodeArea& A : Info.CodeAreas)
        if (A.Start < Base || A.End < A.Start || A.Start < Info.CodeBegin ||
            A.End >= Info.CodeBegin + Info.CodeLength)
            __builtin_trap();
    TListingSources Sources;
    Sources.Lines = (Flags & 2) ? &OneLinePerSixteenBytes : nullptr;
    std::string Text = ComposeFunctionListing(Info, Setup, Base + Size / 2, (Flags & 4) != 0,
                                              (Flags & 8) ? 5 : 0, Sources);
    if (Text.empty())
        __builtin_trap();
    return 0;
}
