// Any bytes as code, in both CPU modes: decoding stays inside the 15-byte
// window, never claims more than it read, and every decoded instruction
// (valid or not) composes a line of text.
#include "crashlib/kelDisAsm.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

class TNoSymbols : public TSymbolSource {
public:
    std::string AddressToName(uint64_t Address, std::string& Module,
                              bool& MainProgram) const override
    {
        // Name every eighth address, so that the comment paths run too.
        MainProgram = (Address & 16) != 0;
        Module = "/lib/libfuzz.so";
        return (Address & 7) == 0 ? "routine" : "";
    }
    uint64_t ImageEnd(uint64_t Address) const override { return Address + 200; }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    constexpr uint64_t Base = 0x10000;
    TBufferCodeReader Reader(Base, Data, Size);
    TNoSymbols Symbols;
    for (TCpuMode Mode : {TCpuMode::x86, TCpuMode::x64}) {
        TRegisterSources Registers;
        for (size_t P = 0; P < Size && P < 64; P++) {
            TDecodeState S;
            DecodeInstruction(S, Mode, Base + P, Data + P, Size - P, &Registers, true, &Reader);
            const TInstructionInfo& I = S.Info;
            if (I.Next < I.Start || I.Next - I.Start > MaxInstructionLength ||
                I.Next - I.Start > Size - P)
                __builtin_trap();
            if (I.Valid && I.Next == I.Start)
                __builtin_trap();
            TInstructionInfo Again = ParseCodeEx(Base + P, nullptr, false, Reader, Mode);
            if (Again.Next != I.Next || Again.Opcode != I.Opcode)
                __builtin_trap();
            std::string Text = ComposeDecodedText(S, &Reader, &Symbols);
            if (Text.empty())
                __builtin_trap();
            (void)OperandSize(S);
        }
    }
    return 0;
}
