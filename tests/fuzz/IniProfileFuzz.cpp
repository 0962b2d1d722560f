// Any bytes as a language file: every listed key must be found again.
#include "platform/IniProfile.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    auto P =
        platform::IniProfile::Parse(std::string_view(reinterpret_cast<const char*>(Data), Size));
    for (const std::string& Section : P.SectionNames()) {
        for (const std::string& Key : P.SectionKeys(Section)) {
            if (!P.Value(Section, Key)) {
                __builtin_trap();
            }
        }
    }
    return 0;
}
