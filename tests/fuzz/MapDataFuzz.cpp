// Any bytes as packed map data: once as a whole block (marker, header,
// enciphered container) and once as the unpacked stream inside a well-formed
// block, so that the table reader sees every shape of counts, names and
// compact integers. A block that is taken must give tables whose lookups
// answer, and packing them again must read back the same.
#include "crashlib/kelMapFile.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace {

void Check(const TMapFile& M)
{
    for (const auto& P : M.Publics)
        (void)M.FindPublic(P.Address);
    for (const auto& L : M.Lines) {
        uintptr_t Next = 0;
        const uint32_t Line = M.FindLineEx(L.Address, Next);
        if (Line != 0 && Next <= L.Address)
            __builtin_trap();
    }
    for (const auto& S : M.Segments)
        (void)M.FindSegment(S.Class, S.Start);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* Data, std::size_t Size)
{
    const std::string_view Bytes(reinterpret_cast<const char*>(Data), Size);
    TMapFile Whole;
    Whole.CodeBase = 0x400000;
    if (Whole.LoadMapData(Bytes)) {
        Whole.SortTables();
        Check(Whole);
    }
    if (Size == 0)
        return 0;
    // The first byte picks the version, whether names are reduced and
    // whether version 4's tables are kept compactly.
    const uint32_t Version = (Data[0] & 4) != 0 ? 4 : (Data[0] & 1) != 0 ? 3 : 2;
    const bool Reduced = Version >= 3 && (Data[0] & 2) != 0;
    const std::string Block = PackMapDataBlock(Bytes.substr(1), Version, 0, 0);
    TMapFile M;
    M.CodeBase = 0x400000;
    M.CodeEnd = 0x500000;
    if (Version == 4 && (Data[0] & 8) != 0) {
        TMapFile C;
        C.CodeBase = M.CodeBase;
        C.CodeEnd = M.CodeEnd;
        C.KeepCompact = true;
        if (C.LoadMapData(Block))
            for (uintptr_t A = 0x400000; A < 0x400400; A += 7) {
                (void)C.FindPublic(A);
                (void)C.FindSegment(mcCode, A);
                (void)C.FindLine(A);
            }
    }
    if (Reduced)
        M.ReducedNames = MapDataCheckText(Block);
    if (!M.LoadMapData(Block))
        return 0;
    M.SortTables();
    Check(M);
    // What was read packs and reads back to the same tables.
    const std::string Again = PackMapData(M, Version, 0, Reduced);
    TMapFile R;
    R.CodeBase = M.CodeBase;
    R.CodeEnd = M.CodeEnd;
    if (Reduced)
        R.ReducedNames = MapDataCheckText(Again);
    if (!R.LoadMapData(Again))
        __builtin_trap();
    R.SortTables();
    if (R.Lines.size() != M.Lines.size() || R.Publics.size() != M.Publics.size() ||
        R.Segments.size() != M.Segments.size())
        __builtin_trap();
    return 0;
}
