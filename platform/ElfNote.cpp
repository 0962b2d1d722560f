#include "platform/ElfNote.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace platform {
namespace {

constexpr std::uint32_t SectionTypeNote = 7; // SHT_NOTE
constexpr std::uint32_t SegmentTypeNote = 4; // PT_NOTE
// A version record is small; a larger note area is read only up to this.
constexpr std::uint64_t MaxNoteArea = 1u << 20;
constexpr std::uint64_t MaxHeaders = 65536;

class Image {
public:
    Image(const ElfByteReader& Read, std::uint64_t Size, bool Big, bool Wide)
        : R(Read), FileSize(Size), BigEndian(Big), Is64(Wide)
    {
    }

    bool Fits(std::uint64_t Offset, std::uint64_t Size) const
    {
        return Offset <= FileSize && Size <= FileSize - Offset;
    }

    bool Bytes(std::uint64_t Offset, std::size_t Size, void* Out) const
    {
        return Fits(Offset, Size) && R(Offset, Size, Out);
    }

    std::uint64_t Decode(const unsigned char* P, int Size) const
    {
        std::uint64_t V = 0;
        for (int I = 0; I < Size; ++I) {
            int Index = BigEndian ? I : Size - 1 - I;
            V = (V << 8) | P[Index];
        }
        return V;
    }

    bool Word(std::uint64_t Offset, int Size, std::uint64_t& Value) const
    {
        unsigned char Buf[8];
        if (!Bytes(Offset, static_cast<std::size_t>(Size), Buf)) {
            return false;
        }
        Value = Decode(Buf, Size);
        return true;
    }

    int Addr() const { return Is64 ? 8 : 4; }
    bool Wide() const { return Is64; }
    std::uint64_t Size() const { return FileSize; }

private:
    const ElfByteReader& R;
    std::uint64_t FileSize;
    bool BigEndian;
    bool Is64;
};

std::uint64_t AlignUp(std::uint64_t V, std::uint64_t A)
{
    return (V + A - 1) / A * A;
}

// Walks the notes of one note area.
std::optional<std::string> SearchArea(const Image& Img, std::uint64_t Offset, std::uint64_t Size,
                                      std::uint64_t Alignment, std::string_view Owner,
                                      std::uint32_t Type)
{
    if (Size == 0 || !Img.Fits(Offset, Size)) {
        return std::nullopt;
    }
    if (Size > MaxNoteArea) {
        Size = MaxNoteArea;
    }
    std::vector<unsigned char> Area(static_cast<std::size_t>(Size));
    if (!Img.Bytes(Offset, Area.size(), Area.data())) {
        return std::nullopt;
    }
    // Notes are aligned to 4 bytes, except those in an 8-aligned area.
    const std::uint64_t Align = Alignment == 8 ? 8 : 4;
    std::uint64_t Pos = 0;
    while (Pos <= Size && Size - Pos >= 12) {
        std::uint64_t NameSize = Img.Decode(&Area[Pos], 4);
        std::uint64_t DescSize = Img.Decode(&Area[Pos + 4], 4);
        std::uint64_t NoteType = Img.Decode(&Area[Pos + 8], 4);
        std::uint64_t NamePos = Pos + 12;
        if (NameSize > Size - NamePos) {
            return std::nullopt;
        }
        std::uint64_t DescPos = AlignUp(NamePos + NameSize, Align);
        if (DescPos > Size || DescSize > Size - DescPos) {
            return std::nullopt;
        }
        // The owner name is stored with its terminating NUL.
        const char* Name = reinterpret_cast<const char*>(&Area[NamePos]);
        if (NoteType == Type && NameSize == Owner.size() + 1 && Name[Owner.size()] == '\0' &&
            std::memcmp(Name, Owner.data(), Owner.size()) == 0) {
            return std::string(reinterpret_cast<const char*>(&Area[DescPos]),
                               static_cast<std::size_t>(DescSize));
        }
        std::uint64_t Next = AlignUp(DescPos + DescSize, Align);
        if (Next <= Pos) {
            return std::nullopt;
        }
        Pos = Next;
    }
    return std::nullopt;
}

std::optional<std::string> SearchSections(const Image& Img, std::uint64_t TableOffset,
                                          std::uint64_t EntrySize, std::uint64_t Count,
                                          std::string_view Owner, std::uint32_t Type)
{
    const bool W = Img.Wide();
    if (TableOffset == 0 || EntrySize < (W ? 64u : 40u)) {
        return std::nullopt;
    }
    if (Count == 0) {
        // Many sections: the real count is the first entry's size field.
        if (!Img.Word(TableOffset + (W ? 32 : 20), Img.Addr(), Count)) {
            return std::nullopt;
        }
    }
    if (Count > MaxHeaders || !Img.Fits(TableOffset, Count * EntrySize)) {
        return std::nullopt;
    }
    for (std::uint64_t I = 0; I < Count; ++I) {
        std::uint64_t Entry = TableOffset + I * EntrySize;
        std::uint64_t SecType = 0, Offset = 0, Size = 0, Align = 0;
        if (!Img.Word(Entry + 4, 4, SecType) || SecType != SectionTypeNote ||
            !Img.Word(Entry + (W ? 24 : 16), Img.Addr(), Offset) ||
            !Img.Word(Entry + (W ? 32 : 20), Img.Addr(), Size) ||
            !Img.Word(Entry + (W ? 48 : 32), Img.Addr(), Align)) {
            continue;
        }
        if (auto Found = SearchArea(Img, Offset, Size, Align, Owner, Type)) {
            return Found;
        }
    }
    return std::nullopt;
}

std::optional<std::string> SearchSegments(const Image& Img, std::uint64_t TableOffset,
                                          std::uint64_t EntrySize, std::uint64_t Count,
                                          std::string_view Owner, std::uint32_t Type)
{
    const bool W = Img.Wide();
    if (TableOffset == 0 || Count == 0 || EntrySize < (W ? 56u : 32u) || Count > MaxHeaders ||
        !Img.Fits(TableOffset, Count * EntrySize)) {
        return std::nullopt;
    }
    for (std::uint64_t I = 0; I < Count; ++I) {
        std::uint64_t Entry = TableOffset + I * EntrySize;
        std::uint64_t SegType = 0, Offset = 0, Size = 0, Align = 0;
        if (!Img.Word(Entry, 4, SegType) || SegType != SegmentTypeNote ||
            !Img.Word(Entry + (W ? 8 : 4), Img.Addr(), Offset) ||
            !Img.Word(Entry + (W ? 32 : 16), Img.Addr(), Size) ||
            !Img.Word(Entry + (W ? 48 : 28), Img.Addr(), Align)) {
            continue;
        }
        if (auto Found = SearchArea(Img, Offset, Size, Align, Owner, Type)) {
            return Found;
        }
    }
    return std::nullopt;
}

} // namespace

std::optional<std::string> FindElfNote(const ElfByteReader& Read, std::uint64_t FileSize,
                                       std::string_view Owner, std::uint32_t Type)
{
    unsigned char Ident[16];
    if (FileSize < sizeof Ident || !Read(0, sizeof Ident, Ident)) {
        return std::nullopt;
    }
    if (std::memcmp(Ident,
                    "\x7f"
                    "ELF",
                    4) != 0 ||
        (Ident[4] != 1 && Ident[4] != 2) || (Ident[5] != 1 && Ident[5] != 2) || Ident[6] != 1) {
        return std::nullopt;
    }
    const bool Wide = Ident[4] == 2;
    Image Img(Read, FileSize, Ident[5] == 2, Wide);

    std::uint64_t PhOff = 0, ShOff = 0, PhEntSize = 0, PhNum = 0, ShEntSize = 0, ShNum = 0;
    const int A = Img.Addr();
    const std::uint64_t After = Wide ? 0x34 : 0x28; // e_ehsize
    if (!Img.Word(Wide ? 0x20 : 0x1C, A, PhOff) || !Img.Word(Wide ? 0x28 : 0x20, A, ShOff) ||
        !Img.Word(After + 2, 2, PhEntSize) || !Img.Word(After + 4, 2, PhNum) ||
        !Img.Word(After + 6, 2, ShEntSize) || !Img.Word(After + 8, 2, ShNum)) {
        return std::nullopt;
    }
    if (auto Found = SearchSections(Img, ShOff, ShEntSize, ShNum, Owner, Type)) {
        return Found;
    }
    return SearchSegments(Img, PhOff, PhEntSize, PhNum, Owner, Type);
}

std::optional<std::string> FindElfNoteInImage(std::string_view Image, std::string_view Owner,
                                              std::uint32_t Type)
{
    ElfByteReader Read = [Image](std::uint64_t Offset, std::size_t Size, void* Out) {
        if (Offset > Image.size() || Size > Image.size() - Offset) {
            return false;
        }
        std::memcpy(Out, Image.data() + Offset, Size);
        return true;
    };
    return FindElfNote(Read, Image.size(), Owner, Type);
}

std::optional<std::string> ReadElfNote(const std::string& Path, std::string_view Owner,
                                       std::uint32_t Type)
{
    int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC);
    if (Fd < 0) {
        return std::nullopt;
    }
    struct stat St {};
    std::optional<std::string> Result;
    if (::fstat(Fd, &St) == 0 && S_ISREG(St.st_mode)) {
        ElfByteReader Read = [Fd](std::uint64_t Offset, std::size_t Size, void* Out) {
            auto* P = static_cast<char*>(Out);
            while (Size > 0) {
                ssize_t N = ::pread(Fd, P, Size, static_cast<off_t>(Offset));
                if (N < 0 && errno == EINTR) {
                    continue;
                }
                if (N <= 0) {
                    return false;
                }
                P += N;
                Offset += static_cast<std::uint64_t>(N);
                Size -= static_cast<std::size_t>(N);
            }
            return true;
        };
        Result = FindElfNote(Read, static_cast<std::uint64_t>(St.st_size), Owner, Type);
    }
    ::close(Fd);
    return Result;
}

} // namespace platform
