// Any bytes as a packed container: the result is empty, or exactly as long
// as the container's stream decodes to, no longer than the declared size, and
// with the CRC-32 the container names.
#include "crashlib/kelZip.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string_view Packed(reinterpret_cast<const char*>(Data), Size);
    const std::string Result = UnpackStr(Packed);
    if (Result.empty()) {
        return 0;
    }
    auto Get32 = [Data](std::size_t At) {
        return Data[At] | (Data[At + 1] << 8) | (Data[At + 2] << 16) |
               (static_cast<std::uint32_t>(Data[At + 3]) << 24);
    };
    if (Size < 13 || Result.size() > Get32(0) ||
        ~UpdateCrc32(0xFFFFFFFF, Result.data(), Result.size()) != Get32(8)) {
        __builtin_trap();
    }
    return 0;
}
