// Any bytes as an ELF file: the note reader must stay inside them.
#include "platform/ElfNote.h"

#include <cstddef>
#include <cstdint>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    std::string_view Image(reinterpret_cast<const char*>(Data), Size);
    auto Note = platform::FindElfNoteInImage(Image, "Tolvex", 1);
    if (Note && Note->size() > Size) {
        __builtin_trap();
    }
    return 0;
}
