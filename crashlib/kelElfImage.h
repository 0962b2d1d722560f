// Reading ELF images: module files on disk and the modules loaded into this
// process.
//
// Everything read is untrusted: a file may be truncated or crafted, a loaded
// image may be half unmapped by the time a crash is looked at. Every offset,
// count and size is checked before use, memory is read only through the
// copying memory reader, and nothing here takes the dynamic linker's lock, so
// it is safe on a thread that handles another thread's crash. Little-endian
// files of both classes (32- and 64-bit) are read.
#pragma once

#include "crashlib/kelMemory.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Where bytes come from: a file, bytes in memory, or the process's memory.
class TElfSource {
public:
    virtual ~TElfSource();
    // Reads Size bytes at Offset (an address, for memory); false when they are
    // not all there.
    virtual bool Read(uint64_t Offset, void* Out, std::size_t Size) const = 0;
    // The number of bytes there are, when it is known (files); 0 otherwise.
    virtual uint64_t Limit() const { return 0; }
};

// Bytes held in memory (a copy of a file, a fuzzer's input).
class TElfBytes : public TElfSource {
public:
    explicit TElfBytes(std::string_view Bytes) : Data(Bytes) {}
    bool Read(uint64_t Offset, void* Out, std::size_t Size) const override;
    uint64_t Limit() const override { return Data.size(); }

private:
    std::string_view Data;
};

// A file on disk, read with pread (never mapped: a file cut short meanwhile
// gives a failed read rather than a bus error).
class TElfFileSource : public TElfSource {
public:
    explicit TElfFileSource(const std::string& Path);
    ~TElfFileSource() override;
    TElfFileSource(const TElfFileSource&) = delete;
    TElfFileSource& operator=(const TElfFileSource&) = delete;
    bool IsOpen() const { return Fd >= 0; }
    bool Read(uint64_t Offset, void* Out, std::size_t Size) const override;
    uint64_t Limit() const override { return Size_; }

private:
    int Fd = -1;
    uint64_t Size_ = 0;
};

// This process's memory, through a snapshot of the address space.
class TElfMemorySource : public TElfSource {
public:
    TElfMemorySource() : Ranges(GetReadableRanges()) {}
    explicit TElfMemorySource(TDATryRead Snapshot) : Ranges(std::move(Snapshot)) {}
    bool Read(uint64_t Offset, void* Out, std::size_t Size) const override;

private:
    TDATryRead Ranges;
};

struct TElfHeader {
    bool Is64 = false;
    uint16_t Type = 0;
    uint16_t Machine = 0;
    uint64_t Entry = 0;
    uint64_t PhOff = 0;
    uint64_t ShOff = 0;
    uint32_t PhNum = 0;
    uint32_t ShNum = 0;
    uint32_t ShStrNdx = 0;
};

struct TElfSegment {
    uint32_t Type = 0;
    uint32_t Flags = 0;
    uint64_t Offset = 0;
    uint64_t VAddr = 0;
    uint64_t FileSize = 0;
    uint64_t MemSize = 0;
    uint64_t Align = 0;
};

struct TElfSection {
    std::string Name;
    uint32_t Type = 0;
    uint64_t Flags = 0;
    uint64_t Addr = 0;
    uint64_t Offset = 0;
    uint64_t Size = 0;
    uint32_t Link = 0;
    uint32_t Info = 0;
    uint64_t EntSize = 0;
    uint64_t Align = 0;
};

struct TElfSymbol {
    std::string Name;
    uint64_t Value = 0;
    uint64_t Size = 0;
    uint8_t Type = 0;
    uint8_t Bind = 0;
    uint16_t Shndx = 0;
};

// The header at Offset of a source: magic, class, little-endian data, version
// and the sizes of the header tables are checked. Nothing when any is wrong.
std::optional<TElfHeader> ReadElfHeader(const TElfSource& Source, uint64_t Offset = 0);

// The program headers of an image whose header starts at Base of a source.
std::vector<TElfSegment> ReadElfSegments(const TElfSource& Source, uint64_t Base,
                                         const TElfHeader& Header);

// The span of the load segments, from the page of the lowest start to the end
// of the highest; 0 when there is none.
uint64_t ElfImageSize(const std::vector<TElfSegment>& Segments);

// The descriptor of the first note with this owner and type in a block of
// note records aligned to Align (4, or 8 for a block aligned so); nothing when
// there is none or the block is malformed.
std::optional<std::string> FindNoteInBlock(std::string_view Block, std::string_view Owner,
                                           uint32_t Type, uint64_t Align = 4);

// A module file.
class TElfFile {
public:
    // Nothing when the file cannot be read or is not an ELF file.
    static std::unique_ptr<TElfFile> Open(const std::string& Path);
    static std::unique_ptr<TElfFile> Open(std::unique_ptr<TElfSource> Source);

    const TElfHeader& Header() const { return Header_; }
    const std::vector<TElfSegment>& Segments() const { return Segments_; }
    const std::vector<TElfSection>& Sections() const { return Sections_; }
    uint64_t ImageSize() const { return ElfImageSize(Segments_); }

    const TElfSection* FindSection(std::string_view Name) const;
    // The first section whose name equals Name, ignoring the case of ASCII letters.
    const TElfSection* FindSectionNoCase(std::string_view Name) const;
    // The bytes of a section (empty for one that occupies no file space);
    // nothing when they lie outside the file or exceed MaxSize.
    std::optional<std::string> ReadSection(const TElfSection& Section,
                                           uint64_t MaxSize = uint64_t{1} << 30) const;
    // The symbols of .symtab (Dynamic = false) or .dynsym (Dynamic = true),
    // in table order, without the null symbol at index 0.
    std::vector<TElfSymbol> Symbols(bool Dynamic) const;
    // The note with this owner and type, from the note sections or, without
    // sections, the note segments.
    std::optional<std::string> FindNote(std::string_view Owner, uint32_t Type) const;

private:
    TElfFile() = default;
    static std::optional<std::string> ReadSectionFrom(const TElfSource& S, const TElfSection& X,
                                                      uint64_t MaxSize);
    std::unique_ptr<TElfSource> Source;
    TElfHeader Header_;
    std::vector<TElfSegment> Segments_;
    std::vector<TElfSection> Sections_;
};

// Symbols of a file sorted for lookups by address.
class TElfSymbolMap {
public:
    // Takes the defined code and data symbols (functions, objects, untyped and
    // indirect functions, not section, file or thread-local symbols).
    explicit TElfSymbolMap(std::vector<TElfSymbol> Symbols);
    // The symbol with the highest value at or below Address; among symbols of
    // the same value a global before a weak before a local, then a function.
    // Null when no symbol lies at or below it.
    const TElfSymbol* Find(uint64_t Address) const;
    std::size_t size() const { return Sorted.size(); }

private:
    std::vector<TElfSymbol> Sorted;
};

// A module loaded in this process, read in memory through its dynamic section.
class TElfLoadedImage {
public:
    // Header is the address where the image's ELF header is mapped (the start
    // of its first mapping). Nothing when no sound ELF image is there.
    static std::unique_ptr<TElfLoadedImage> Open(uintptr_t Header);
    static std::unique_ptr<TElfLoadedImage> Open(uintptr_t Header,
                                                 std::shared_ptr<const TElfSource> Memory);

    uintptr_t HeaderAddress() const { return Header_; }
    // Load bias: what is added to the file's addresses.
    uintptr_t Bias() const { return Bias_; }
    uint64_t ImageSize() const { return ElfImageSize(Segments_); }
    const std::vector<TElfSegment>& Segments() const { return Segments_; }
    bool HasSymbolHash() const { return GnuHash != 0; }

    // The address of the dynamic symbol Name, found through the GNU hash table
    // by the dynamic linker's rule for an unversioned lookup: an unversioned
    // definition, else the only non-hidden versioned one. A thread-local
    // symbol has no address (0); an indirect function gives its resolver,
    // which is never run. 0 when the name is not defined here.
    uintptr_t FindSymbol(std::string_view Name) const;
    // The name of a dynamic symbol defined at exactly Address; empty when none.
    std::string SymbolNameAt(uintptr_t Address) const;
    // The note with this owner and type from the image's note segments.
    std::optional<std::string> FindNote(std::string_view Owner, uint32_t Type) const;

    // The number of entries of the dynamic symbol table that the hash covers.
    uint32_t SymbolCount() const;

private:
    TElfLoadedImage() = default;
    uintptr_t Pointer(uint64_t Value) const;
    bool ReadSymbol(uint32_t Index, TElfSymbol& Sym, uint32_t& NameOffset) const;
    bool NameEquals(uint32_t NameOffset, std::string_view Name) const;
    std::string ReadName(uint32_t NameOffset) const;
    uintptr_t SymbolAddress(const TElfSymbol& Sym) const;

    std::shared_ptr<const TElfSource> Memory;
    TElfHeader Hdr;
    std::vector<TElfSegment> Segments_;
    uintptr_t Header_ = 0;
    uintptr_t Bias_ = 0;
    uintptr_t Low = 0, High = 0; // the image's span in memory
    uintptr_t GnuHash = 0, SymTab = 0, StrTab = 0, VerSym = 0;
    uint64_t StrSize = 0;
};

// One module of this process: an ELF file mapped into memory.
struct TModuleInfo {
    uintptr_t Base = 0; // where its ELF header is mapped (the module handle)
    uintptr_t End = 0;  // the end of its last mapping
    std::string FileName;
    uint64_t Inode = 0;
};

// The modules as /proc/self/maps shows them now, in address order: every run
// of mappings of one file that starts with the file's first page and holds an
// ELF header. Memory-only images (the vDSO) have no file and are not listed.
std::vector<TModuleInfo> GetModuleList();

// The module whose mappings contain Address; false when none does.
bool FindModuleOfAddr(uintptr_t Address, uintptr_t& Module, std::string& FileName);
