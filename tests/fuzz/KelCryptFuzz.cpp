// Any bytes as Base64 text, and as a key and enciphered text whose padding
// is removed after deciphering.
#include "crashlib/kelCrypt.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const auto* Text = reinterpret_cast<const char*>(Data);
    bool Valid = false;
    const std::string Bytes = Base64DecodeBuf(Text, Size, &Valid);
    if (Bytes.size() > Size / 4 * 3) {
        __builtin_trap();
    }
    if (Valid) {
        // A valid text is exactly as long as the encoding of what it held.
        const std::string Again = Base64Encode(Bytes);
        if (Again.size() != Size || Base64Decode(Again) != Bytes) {
            __builtin_trap();
        }
    } else if (!Bytes.empty()) {
        // A stop keeps what the text before it held.
        const std::size_t Whole = Bytes.size() / 3 * 4;
        if (Base64DecodeBuf(Text, Whole) != Bytes.substr(0, Bytes.size() / 3 * 3)) {
            __builtin_trap();
        }
    }

    // First byte: key length (up to 80, so that most inputs are spent on
    // Base64 and not on key schedules); next 8: counter; then key and data.
    if (Size < 9 || Data[0] > 80) {
        return 0;
    }
    const std::size_t KeyLength = std::min<std::size_t>(Data[0], Size - 9);
    std::uint64_t Counter;
    std::memcpy(&Counter, Data + 1, 8);
    const std::string_view Key(Text + 9, KeyLength);
    const std::string Plain(Text + 9 + KeyLength, Size - 9 - KeyLength);
    std::string Work = Plain;
    const bool Keyed = CryptStrUnpad(Work, Key, Counter);
    if (Keyed != !Key.empty() || Work.size() > Plain.size() || Work.size() + 8 < Plain.size()) {
        __builtin_trap();
    }
    Work = Plain;
    if (Keyed && (!EncipherStr(Work, Key) || !DecipherStr(Work, Key) || Work != Plain)) {
        __builtin_trap();
    }
    return 0;
}
