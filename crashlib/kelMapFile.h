// Names and source lines of code addresses: the debug information of one
// module, read from the first source that exists, kept in three sorted tables
// (segments, publics, lines) and looked up by address.
//
// Sources, in the order they are tried:
//  - packed map data in the module's own section ".rsrc.KEL.EXCEPT", written
//    into the executable after linking by a build tool, so that names are at
//    hand at crash time without reading other files;
//  - DWARF, in the module file or its separate debug file (kelDwarf);
//  - the linker's map file beside the module ("<module>.map"): the GNU
//    linker's layout and the segment/publics/line-number layout;
//  - a packed map data file beside the module ("<module>.kel");
//  - the module's ELF symbol table.
//
// Everything read is untrusted: a map file or packed block may be truncated
// or crafted, so every count is checked against the bytes that are left
// before anything is allocated for it.
#pragma once

#include "crashlib/kelElfImage.h"
#include "crashlib/kelTypes.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <vector>

// Segment and public classes.
enum : uint8_t {
    mcData = 0,
    mcCode = 1,
};

// A stretch of one class that one unit (a source file) occupies.
struct TMfSegment {
    uint8_t Valid = 0;
    uint8_t Class = mcData;
    uintptr_t Start = 0;
    uintptr_t Length = 0;
    std::u16string UnitName;
    // The publics of this unit carry the unit name as a prefix.
    uint8_t Qualified = 0;
};

// A named routine or variable. A public with an empty name marks where the
// routine before it ends.
struct TMfPublic {
    uint8_t Valid = 0;
    uint8_t Class = mcData;
    std::u16string Name;
    uintptr_t Address = 0;
    // Where the routine named begins, when that lies before Address (the
    // code after an inlined routine is named again after its routine; a
    // routine's cold part begins where its symbol says); 0: at Address.
    uintptr_t Start = 0;
};

struct TMapFileLine {
    uint32_t Line = 0;
    uintptr_t Address = 0;
};

// A read position, a size and a buffer over a block of bytes. Reads copy at
// most what is left and advance; the typed reads fail when too few bytes are
// left.
class TMiniStream {
public:
    TMiniStream() = default;
    explicit TMiniStream(std::string_view Bytes);

    std::size_t Position() const { return Pos; }
    std::size_t Size() const { return Buffer.size(); }
    std::size_t Left() const { return Buffer.size() - Pos; }
    // The capacity is kept in steps of 8192 bytes.
    std::size_t Capacity() const { return Buffer.capacity(); }
    const std::string& Bytes() const { return Buffer; }

    // Sets the size (new bytes are 0); the capacity follows in 8192-byte
    // steps and is freed at size 0.
    void SetSize(std::size_t NewSize);
    // Copies up to Count bytes; returns how many.
    std::size_t Read(void* Out, std::size_t Count);
    bool ReadByte(uint8_t& Value);
    bool ReadU32(uint32_t& Value);
    // One signed byte, or the byte 80h and a 32-bit value.
    bool ReadCompact(int32_t& Value);
    // A length byte and that many bytes of UTF-8.
    bool ReadName(std::u16string& Name);
    // 7 bits a byte, low group first, a set high bit meaning more follow.
    bool ReadVarUInt(uint32_t& Value);

    void Write(const void* Data, std::size_t Count);
    void WriteByte(uint8_t Value) { Write(&Value, 1); }
    void WriteU32(uint32_t Value);
    void WriteCompact(int32_t Value);
    // At most 255 bytes of the UTF-8 form (cut at a character boundary).
    void WriteName(std::u16string_view Name);
    void WriteVarUInt(uint32_t Value);

private:
    std::string Buffer;
    std::size_t Pos = 0;
};

// Which sources a TMapFile may read (all by default).
enum : uint32_t {
    mdsPackedResource = 0x01,
    mdsDwarf = 0x02,
    mdsMapText = 0x04,
    mdsPackedFile = 0x08,
    mdsElfSymbols = 0x10,
    mdsAll = 0x1f,
    // DWARF read unit by unit as its addresses are looked up (the map of a
    // big module is there at once); the other sources read whole.
    mdsLazy = 0x20,
};

class TLazyDebugInfo;

// The debug information of one module.
class TMapFile {
public:
    // An empty, invalid map with no module (filled by hand or by a reader).
    TMapFile() = default;
    // Reads the module file FileName. Module is the address its ELF header is
    // mapped at in this process, or 0 for a file that is not loaded: its
    // addresses are then the file's own. Sources limits what is tried.
    TMapFile(uintptr_t Module, const std::string& FileName, uint32_t Sources = mdsAll);

    uintptr_t Module = 0;
    std::u16string ModuleName;     // the file name without its folder
    std::u16string ModuleFileName; // the full path
    bool Valid = false;            // some source was read
    uint32_t Source = 0;           // the mds... value of the source that was read
    uintptr_t Bias = 0;            // added to the file's addresses
    // A source was left out because a lock was not got in crash-time mode:
    // the map is not kept in the cache.
    bool Partial = false;
    // With mdsLazy and DWARF: the units not read yet. The lookups read the
    // unit of their address first; the tables hold what was read so far.
    std::shared_ptr<TLazyDebugInfo> Lazy;
    // With mdsLazy and packed map data (version 4): the segments and publics
    // kept compactly, each name once, instead of in Segments and Publics
    // (which stay empty): a program's hundred thousand names are then not a
    // hundred thousand strings. The lookups answer from them.
    struct TCompactTables;
    std::shared_ptr<const TCompactTables> Compact;
    // Set before reading packed map data (version 4) into an empty map: keep
    // it in Compact (mdsLazy sets it).
    bool KeepCompact = false;

    uintptr_t CodeBase = 0; // the first executable load segment
    uintptr_t DataBase = 0; // the first writable load segment
    uintptr_t CodeEnd = 0;  // the address after the last executable load segment
    uintptr_t EntryPoint = 0;

    std::vector<TMfSegment> Segments; // sorted by class, then start
    std::vector<TMfPublic> Publics;   // sorted by address
    std::vector<TMapFileLine> Lines;  // sorted by address, one row per address

    // Set when the packed map data stores no names (see LoadMapData).
    std::u16string ReducedNames;
    // The index of the last segment added, per class (-1: none).
    int LastSegment[2] = {-1, -1};

    // --- Adding entries ------------------------------------------------------
    // A unit name ending in ".pas", ".cpp" or ".c" (any case) loses it when
    // StripExtension is set. When the last segment of the same class has the
    // same name and Start lies between its start and its end + 2, it grows to
    // cover the new one. Otherwise a segment is added: in its sorted place
    // when Sorted, else at the end (SortTables puts it in place later).
    void AddMapSegment(uint8_t Class, std::u16string Name, uintptr_t Length, uintptr_t Start,
                       bool Sorted, bool StripExtension = true);
    // Address is an offset from the class's base (CodeBase or DataBase).
    // Compiler-generated names ("@$x?$...") are skipped; mangled names are
    // made readable; a unit-name prefix of the segment holding the address is
    // cut (and the segment marked qualified); a public named like its unit is
    // "initialization". When Sorted, the public goes into its sorted place and
    // the unit's segment is stretched to reach it.
    void AddMapPublic(uint8_t Class, std::u16string Name, bool Sorted, uintptr_t Address);
    // An absolute address. Rows are added as they come and put in order once
    // by SortTables: line programs are not ordered across sequences.
    void AddMapLine(uint32_t Line, uintptr_t Address);
    // Sorts all three tables. Of several line rows at one address the one
    // added last stays; of several publics at one address likewise.
    void SortTables();

    // --- Lookups ---------------------------------------------------------------
    // The segment of that class holding Address; an empty record when none.
    TMfSegment FindSegment(uint8_t Class, uintptr_t Address) const;
    // The last public at or below Address, when Address lies below the next
    // public (below CodeEnd for the last one); an empty record otherwise.
    TMfPublic FindPublic(uintptr_t Address) const;
    // The address of the public Name inside the segments of unit Unit (when
    // Unit holds no ".", also tried as Unit + ".cpp", ".h", ".c"); 0 when
    // there is none.
    uintptr_t FindPublicByName(uint8_t Class, std::u16string_view Unit, bool ExactCase,
                               std::u16string_view Name) const;
    // The line of Address: the row with the greatest address not above it,
    // when that row lies in the code segment holding Address. Next is where
    // the following row begins (the end of that segment for the last row of
    // a segment, Address + 1 when no line is found). 0 when none.
    uint32_t FindLineEx(uintptr_t Address, uintptr_t& Next) const;
    uint32_t FindLine(uintptr_t Address) const;

    // --- Readers (each adds to the tables; SortTables runs afterwards) --------
    // A packed map data block (see PackMapData). False when it is refused.
    bool LoadMapData(std::string_view Block);
    // Linker map text, with Bias added to its addresses. False when nothing
    // was found in it.
    bool ParseMapText(std::string_view Text);
    // The function symbols of the file (.symtab, else .dynsym).
    bool LoadElfSymbols(const TElfFile& File);
    // Code base, data base, end of code and entry point from the file's load
    // segments, with Bias added.
    void SetBasesFromFile(const TElfFile& File);

    // The lock under which the tables answer for Address: with Lazy, taken
    // after the unit holding Address has been read (Ok false when it was not
    // got in crash-time mode: then the tables are not read); none otherwise.
    struct TReadGuard {
        std::shared_lock<std::shared_timed_mutex> Lock;
        bool Ok = true;
    };
    TReadGuard ReadLock(uintptr_t Address) const;
    // FindSegment for a caller that holds the read lock.
    TMfSegment SegmentAt(uint8_t Class, uintptr_t Address) const;

private:
    bool ParseBorlandMapText(std::string_view Text);
    bool ParseGnuMapText(std::string_view Text);
    bool LoadMapDataStream(TMiniStream& S, uint32_t Version);
    bool LoadCompactStream(TMiniStream& S, std::vector<std::u16string> Names,
                           const std::function<uintptr_t(uint32_t)>& At);
    bool LoadFromFile(const std::string& FileName, uint32_t Sources);
};

// ---- Packed map data -------------------------------------------------------
// Block layout (little-endian): MapDataMarker; packed size (4); version (4,
// 2, 3 or 4); versions 3 and 4: check value 1 (CRC-32 of the packed bytes),
// check value 2 (the length of the module's code, 0 when unknown) and a
// flags word; then the packed bytes: the packed container of kelZip,
// enciphered with Blowfish (little-endian blocks) under MakeMapDataKey(block
// length). Version 4's stream begins with the table of distinct names, which
// segments and publics name by index (a 7-bit variable-length number), and
// gives each public its routine's start (Address - Start, the same kind of
// number).

inline constexpr std::string_view MapDataMarker{"KelMapData\x1a", 11};
inline constexpr uint32_t MapDataNoMapData = 1; // flags: the data lies in a ".kel" file

// The key for a block of TotalLength bytes.
std::string MakeMapDataKey(uint32_t TotalLength);

// The packed block of a map's tables (addresses relative to CodeBase).
// Reduced stores no names; Flags goes into the header (versions 3 and 4).
std::string PackMapData(const TMapFile& Map, uint32_t Version = 4, uint32_t Flags = 0,
                        bool Reduced = false);

// The block around an unpacked stream (the container, enciphered, behind the
// header). With MapDataNoMapData in Flags (versions 3 and 4) it holds no bytes.
std::string PackMapDataBlock(std::string_view Stream, uint32_t Version, uint32_t Flags,
                             uint32_t CodeLength);

// "$<length>, $<check 1>, $<check 2>" (each 8 hex digits) of a version 3
// block: the text a module whose block says "no map data" keeps in its
// settings as "MinDebugInfo" to name its ".kel" file's block.
std::u16string MapDataCheckText(std::string_view Block);

// The text value of a property of a settings resource stream (signature
// "TPF0", class "TKelExcept", object "kelExcept", then records); empty when
// there is none.
std::string ReadSettingsText(std::string_view Stream, std::string_view Property);

// ---- Cache and lookups ------------------------------------------------------

// The map of the module whose image holds Address (0: the program itself),
// from the cache when the module's file is unchanged (same path, module,
// size, inode and modification time to the nanosecond); read again when it
// changed. Null when no module holds the address.
std::shared_ptr<TMapFile> FindMapFile(uintptr_t Address);
// The same for a module given by its handle and file name.
std::shared_ptr<TMapFile> FindModuleMapFile(uintptr_t Module, const std::string& FileName);
// Frees every cached map.
void ClearMapFileCache();

// For a code address: the module's name, the unit of the code segment that
// holds it, its line (0 when none), and the public at or below it with its
// address. False when the module has no debug information.
bool GetMapFileInfosEx(uintptr_t Address, std::u16string& ModuleName, std::u16string& UnitName,
                       uint32_t& Line, uintptr_t& PublicAddress, std::u16string& PublicName);
// The same; for Address 0 the caller's own return address - 1.
bool GetMapFileInfos(uintptr_t Address, std::u16string& ModuleName, std::u16string& UnitName,
                     uint32_t& Line, uintptr_t& PublicAddress, std::u16string& PublicName);

// The routines installed into the function parser's hooks (kelMapHooks) when
// this unit is initialised. The name hook answers only for an address where a
// public starts: unit + "." + name, and " (" + module file + ")" after a
// reduced name.
bool MapNameHook(uintptr_t Address, std::u16string& Name);
bool MapLineHook(uintptr_t Address, uint32_t& Line, uintptr_t& RangeStart, uintptr_t& RangeEnd);
