// Any text as a linker map file: the segment/publics/line-number layout, or
// the GNU linker's when the first byte is odd. Whatever is taken must sort
// into tables whose lookups answer.
#include "crashlib/kelMapFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    if (Size == 0)
        return 0;
    std::string Text(reinterpret_cast<const char*>(Data) + 1, Size - 1);
    if ((Data[0] & 1) != 0)
        Text = "Linker script and memory map\n" + Text;
    TMapFile M;
    M.CodeBase = 0x1000;
    M.DataBase = 0x8000;
    M.CodeEnd = 0x100000;
    if (!M.ParseMapText(Text))
        return 0;
    M.SortTables();
    for (const auto& P : M.Publics)
        (void)M.FindPublic(P.Address);
    for (const auto& L : M.Lines)
        (void)M.FindLine(L.Address);
    for (const auto& S : M.Segments)
        (void)M.FindPublicByName(S.Class, S.UnitName, false, u"x");
    return 0;
}
