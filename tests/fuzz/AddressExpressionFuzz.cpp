// Any text as an address expression: the count agrees with the parts it is
// made of, each item is the address its indexes make, the item past the
// last is refused, and a range turned into an expression covers both ends.
#include "engine/uAddressExpressionOperations.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace {

void Check(bool Ok)
{
    if (!Ok) {
        __builtin_trap();
    }
}

std::string Dotted(uint32_t A)
{
    return std::to_string(A >> 24) + "." + std::to_string((A >> 16) & 255) + "." +
           std::to_string((A >> 8) & 255) + "." + std::to_string(A & 255);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string Text(reinterpret_cast<const char*>(Data), Size);
    (void)IsValidExpression(Text);

    TExpressionParts Parts;
    ParseExpression(Text, Parts);
    uint64_t Product = 1;
    bool Overflow = false;
    for (const TOctetRangeList& Part : Parts) {
        for (const TOctetRange& R : Part) {
            Check(0 <= R.Low && R.Low <= R.High && R.High <= 255);
        }
        const uint64_t N = GetRangeListCount(Part);
        if (N != 0 && Product > UINT64_MAX / N) {
            Overflow = true;
        }
        Product *= N;
    }

    uint64_t Count = 0;
    try {
        Count = GetExpressionCount(Text);
    } catch (const EExpressionError&) {
        Check(Overflow);
        return 0;
    }
    Check(!Overflow && Count == Product);

    // Every item of a small expression, and a spread of a large one's.
    const uint64_t Step = Count <= 512 ? 1 : Count / 256 + 1;
    for (uint64_t I = 0; I < Count; I += Step) {
        uint64_t Index[4];
        uint64_t Rest = I;
        for (int P = 3; P >= 0; --P) {
            const uint64_t N = GetRangeListCount(Parts[P]);
            Index[P] = Rest % N;
            Rest /= N;
        }
        const uint32_t Item = GetExpressionItem(Text, I);
        Check(Item == MakeExpressionAddress(Parts, Index[0], Index[1], Index[2], Index[3]));
    }
    if (Count > 0) {
        (void)GetExpressionItem(Text, Count - 1);
    }
    bool Refused = false;
    try {
        (void)GetExpressionItem(Text, Count);
    } catch (const EExpressionError&) {
        Refused = true;
    }
    Check(Refused);

    // The first and the last item as a range: its expression holds both.
    if (Count > 0) {
        const std::string First = Dotted(GetExpressionItem(Text, 0));
        const std::string Last = Dotted(GetExpressionItem(Text, Count - 1));
        const std::string Range = RangeToExpression(First, Last);
        Check(IsValidExpression(Range));
        const uint64_t RangeCount = GetExpressionCount(Range);
        Check(RangeCount > 0);
        Check(Dotted(GetExpressionItem(Range, 0)) == First);
    }
    return 0;
}
