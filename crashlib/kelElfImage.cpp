#include "crashlib/kelElfImage.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Upper bounds on counts taken from an image, so that a crafted header cannot
// make a reader loop or allocate for ever.
constexpr uint32_t MaxSegments = 4096;
constexpr uint32_t MaxSections = 1u << 20;
constexpr uint32_t MaxDynamicEntries = 4096;
constexpr uint32_t MaxChainSteps = 1u << 22;
constexpr std::size_t MaxNameLength = 64 * 1024;

bool Fits(uint64_t Offset, uint64_t Size, uint64_t Limit)
{
    return Offset <= Limit && Size <= Limit - Offset;
}

template <class T> bool ReadAt(const TElfSource& S, uint64_t Offset, T& Out)
{
    return S.Read(Offset, &Out, sizeof(T));
}

bool AddOverflows(uint64_t A, uint64_t B)
{
    return A > UINT64_MAX - B;
}

} // namespace

TElfSource::~TElfSource() = default;

bool TElfBytes::Read(uint64_t Offset, void* Out, std::size_t Size) const
{
    if (!Fits(Offset, Size, Data.size()))
        return false;
    if (Size > 0)
        std::memcpy(Out, Data.data() + Offset, Size);
    return true;
}

TElfFileSource::TElfFileSource(const std::string& Path)
{
    Fd = OpenRegularFile(Path.c_str());
    struct stat St {};
    if (Fd >= 0 && fstat(Fd, &St) != 0) {
        close(Fd);
        Fd = -1;
    }
    if (Fd >= 0)
        Size_ = static_cast<uint64_t>(St.st_size);
}

TElfFileSource::~TElfFileSource()
{
    if (Fd >= 0)
        close(Fd);
}

bool TElfFileSource::Read(uint64_t Offset, void* Out, std::size_t Size) const
{
    if (Fd < 0 || !Fits(Offset, Size, Size_))
        return false;
    return ReadFileAt(Fd, Offset, Out, Size);
}

bool TElfMemorySource::Read(uint64_t Offset, void* Out, std::size_t Size) const
{
    if (Offset > UINTPTR_MAX)
        return false;
    return TryRead(static_cast<uintptr_t>(Offset), Out, Size, &Ranges);
}

std::optional<TElfHeader> ReadElfHeader(const TElfSource& S, uint64_t Offset)
{
    unsigned char Ident[EI_NIDENT];
    if (!S.Read(Offset, Ident, sizeof Ident))
        return std::nullopt;
    if (std::memcmp(Ident, ELFMAG, SELFMAG) != 0 || Ident[EI_DATA] != ELFDATA2LSB ||
        Ident[EI_VERSION] != EV_CURRENT)
        return std::nullopt;
    TElfHeader H;
    uint32_t PhEntSize, ShEntSize, EhSize;
    if (Ident[EI_CLASS] == ELFCLASS64) {
        Elf64_Ehdr E;
        if (!ReadAt(S, Offset, E))
            return std::nullopt;
        H.Is64 = true;
        H.Type = E.e_type;
        H.Machine = E.e_machine;
        H.Entry = E.e_entry;
        H.PhOff = E.e_phoff;
        H.ShOff = E.e_shoff;
        H.PhNum = E.e_phnum;
        H.ShNum = E.e_shnum;
        H.ShStrNdx = E.e_shstrndx;
        PhEntSize = E.e_phentsize;
        ShEntSize = E.e_shentsize;
        EhSize = E.e_ehsize;
        if (E.e_version != EV_CURRENT)
            return std::nullopt;
    } else if (Ident[EI_CLASS] == ELFCLASS32) {
        Elf32_Ehdr E;
        if (!ReadAt(S, Offset, E))
            return std::nullopt;
        H.Type = E.e_type;
        H.Machine = E.e_machine;
        H.Entry = E.e_entry;
        H.PhOff = E.e_phoff;
        H.ShOff = E.e_shoff;
        H.PhNum = E.e_phnum;
        H.ShNum = E.e_shnum;
        H.ShStrNdx = E.e_shstrndx;
        PhEntSize = E.e_phentsize;
        ShEntSize = E.e_shentsize;
        EhSize = E.e_ehsize;
        if (E.e_version != EV_CURRENT)
            return std::nullopt;
    } else {
        return std::nullopt;
    }
    const uint32_t WantEh = H.Is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr);
    const uint32_t WantPh = H.Is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    const uint32_t WantSh = H.Is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    if (EhSize < WantEh)
        return std::nullopt;
    if (H.ShOff == 0) {
        H.ShNum = 0;
        H.ShStrNdx = 0;
    } else if (ShEntSize != WantSh) {
        return std::nullopt;
    }
    // Counts that do not fit the header live in the first section header.
    if (H.ShOff != 0 && (H.ShNum == 0 || H.ShStrNdx == SHN_XINDEX || H.PhNum == PN_XNUM)) {
        uint64_t Size, Link, Info;
        if (AddOverflows(Offset, H.ShOff))
            return std::nullopt;
        if (H.Is64) {
            Elf64_Shdr Z;
            if (!ReadAt(S, Offset + H.ShOff, Z))
                return std::nullopt;
            Size = Z.sh_size, Link = Z.sh_link, Info = Z.sh_info;
        } else {
            Elf32_Shdr Z;
            if (!ReadAt(S, Offset + H.ShOff, Z))
                return std::nullopt;
            Size = Z.sh_size, Link = Z.sh_link, Info = Z.sh_info;
        }
        if (H.ShNum == 0)
            H.ShNum = static_cast<uint32_t>(std::min<uint64_t>(Size, UINT32_MAX));
        if (H.ShStrNdx == SHN_XINDEX)
            H.ShStrNdx = static_cast<uint32_t>(Link);
        if (H.PhNum == PN_XNUM)
            H.PhNum = static_cast<uint32_t>(Info);
    }
    if (H.PhOff == 0)
        H.PhNum = 0;
    if (H.PhNum > 0 && PhEntSize != WantPh)
        return std::nullopt;
    if (H.PhNum > MaxSegments || H.ShNum > MaxSections)
        return std::nullopt;
    if (const uint64_t L = S.Limit()) {
        if (!Fits(H.PhOff, uint64_t{H.PhNum} * WantPh, L) ||
            !Fits(H.ShOff, uint64_t{H.ShNum} * WantSh, L))
            return std::nullopt;
    }
    if (H.ShNum > 0 && H.ShStrNdx >= H.ShNum)
        H.ShStrNdx = 0; // no section names
    return H;
}

std::vector<TElfSegment> ReadElfSegments(const TElfSource& S, uint64_t Base, const TElfHeader& H)
{
    std::vector<TElfSegment> Out;
    if (H.PhNum == 0 || AddOverflows(Base, H.PhOff))
        return Out;
    const uint64_t Ent = H.Is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    std::string Raw(H.PhNum * Ent, '\0');
    if (!S.Read(Base + H.PhOff, Raw.data(), Raw.size()))
        return Out;
    Out.reserve(H.PhNum);
    for (uint32_t I = 0; I < H.PhNum; ++I) {
        TElfSegment G;
        if (H.Is64) {
            Elf64_Phdr P;
            std::memcpy(&P, Raw.data() + I * Ent, sizeof P);
            G = {P.p_type, P.p_flags, P.p_offset, P.p_vaddr, P.p_filesz, P.p_memsz, P.p_align};
        } else {
            Elf32_Phdr P;
            std::memcpy(&P, Raw.data() + I * Ent, sizeof P);
            G = {P.p_type, P.p_flags, P.p_offset, P.p_vaddr, P.p_filesz, P.p_memsz, P.p_align};
        }
        Out.push_back(G);
    }
    return Out;
}

uint64_t ElfImageSize(const std::vector<TElfSegment>& Segments)
{
    uint64_t Low = UINT64_MAX, High = 0;
    for (const auto& G : Segments) {
        if (G.Type != PT_LOAD || AddOverflows(G.VAddr, G.MemSize))
            continue;
        Low = std::min(Low, G.VAddr & ~uint64_t{0xfff});
        High = std::max(High, G.VAddr + G.MemSize);
    }
    return High > Low ? High - Low : 0;
}

std::optional<std::string> FindNoteInBlock(std::string_view Block, std::string_view Owner,
                                           uint32_t Type, uint64_t Align)
{
    if (Align != 8)
        Align = 4;
    auto Up = [Align](uint64_t V) { return (V + Align - 1) & ~(Align - 1); };
    uint64_t At = 0;
    while (At <= Block.size() && Block.size() - At >= 12) {
        uint32_t NameSize, DescSize, NoteType;
        std::memcpy(&NameSize, Block.data() + At, 4);
        std::memcpy(&DescSize, Block.data() + At + 4, 4);
        std::memcpy(&NoteType, Block.data() + At + 8, 4);
        uint64_t NameAt = At + 12;
        uint64_t DescAt = Up(NameAt + NameSize);
        uint64_t Next = Up(DescAt + DescSize);
        if (DescAt > Block.size() || DescSize > Block.size() - DescAt)
            return std::nullopt;
        std::string_view Name = Block.substr(NameAt, NameSize);
        if (!Name.empty() && Name.back() == '\0')
            Name.remove_suffix(1);
        if (NoteType == Type && Name == Owner)
            return std::string(Block.substr(DescAt, DescSize));
        if (Next <= At || Next > Block.size())
            return std::nullopt;
        At = Next;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Files

std::unique_ptr<TElfFile> TElfFile::Open(const std::string& Path)
{
    auto Source = std::make_unique<TElfFileSource>(Path);
    if (!Source->IsOpen())
        return nullptr;
    return Open(std::move(Source));
}

std::unique_ptr<TElfFile> TElfFile::Open(std::unique_ptr<TElfSource> Source)
{
    if (!Source)
        return nullptr;
    auto H = ReadElfHeader(*Source, 0);
    if (!H)
        return nullptr;
    std::unique_ptr<TElfFile> F(new TElfFile);
    F->Header_ = *H;
    F->Segments_ = ReadElfSegments(*Source, 0, *H);
    if (H->ShNum > 0) {
        const uint64_t Ent = H->Is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
        std::string Raw(H->ShNum * Ent, '\0');
        if (Source->Read(H->ShOff, Raw.data(), Raw.size())) {
            F->Sections_.reserve(H->ShNum);
            std::vector<uint32_t> NameOffsets;
            NameOffsets.reserve(H->ShNum);
            for (uint32_t I = 0; I < H->ShNum; ++I) {
                TElfSection X;
                uint32_t NameOffset;
                if (H->Is64) {
                    Elf64_Shdr S;
                    std::memcpy(&S, Raw.data() + I * Ent, sizeof S);
                    NameOffset = S.sh_name;
                    X.Type = S.sh_type, X.Flags = S.sh_flags, X.Addr = S.sh_addr;
                    X.Offset = S.sh_offset, X.Size = S.sh_size, X.Link = S.sh_link;
                    X.Info = S.sh_info, X.EntSize = S.sh_entsize, X.Align = S.sh_addralign;
                } else {
                    Elf32_Shdr S;
                    std::memcpy(&S, Raw.data() + I * Ent, sizeof S);
                    NameOffset = S.sh_name;
                    X.Type = S.sh_type, X.Flags = S.sh_flags, X.Addr = S.sh_addr;
                    X.Offset = S.sh_offset, X.Size = S.sh_size, X.Link = S.sh_link;
                    X.Info = S.sh_info, X.EntSize = S.sh_entsize, X.Align = S.sh_addralign;
                }
                NameOffsets.push_back(NameOffset);
                F->Sections_.push_back(std::move(X));
            }
            std::optional<std::string> Names;
            if (H->ShStrNdx != 0 && H->ShStrNdx < F->Sections_.size())
                Names = F->ReadSectionFrom(*Source, F->Sections_[H->ShStrNdx], 64u << 20);
            if (Names) {
                for (std::size_t I = 0; I < F->Sections_.size(); ++I) {
                    uint32_t At = NameOffsets[I];
                    if (At < Names->size())
                        F->Sections_[I].Name = std::string(Names->c_str() + At);
                }
            }
        }
    }
    F->Source = std::move(Source);
    return F;
}

std::optional<std::string> TElfFile::ReadSectionFrom(const TElfSource& S, const TElfSection& X,
                                                     uint64_t MaxSize)
{
    if (X.Type == SHT_NOBITS)
        return std::string();
    if (X.Size > MaxSize)
        return std::nullopt;
    if (const uint64_t L = S.Limit(); L != 0 && !Fits(X.Offset, X.Size, L))
        return std::nullopt;
    std::string Out(static_cast<std::size_t>(X.Size), '\0');
    if (!S.Read(X.Offset, Out.data(), Out.size()))
        return std::nullopt;
    return Out;
}

std::optional<std::string> TElfFile::ReadSection(const TElfSection& X, uint64_t MaxSize) const
{
    return ReadSectionFrom(*Source, X, MaxSize);
}

const TElfSection* TElfFile::FindSection(std::string_view Name) const
{
    for (const auto& X : Sections_)
        if (X.Name == Name)
            return &X;
    return nullptr;
}

const TElfSection* TElfFile::FindSectionNoCase(std::string_view Name) const
{
    auto Lower = [](char C) { return (C >= 'A' && C <= 'Z') ? static_cast<char>(C + 32) : C; };
    for (const auto& X : Sections_) {
        if (X.Name.size() != Name.size())
            continue;
        bool Same = true;
        for (std::size_t I = 0; I < Name.size() && Same; ++I)
            Same = Lower(X.Name[I]) == Lower(Name[I]);
        if (Same)
            return &X;
    }
    return nullptr;
}

std::vector<TElfSymbol> TElfFile::Symbols(bool Dynamic) const
{
    std::vector<TElfSymbol> Out;
    const uint32_t Want = Dynamic ? SHT_DYNSYM : SHT_SYMTAB;
    const TElfSection* Table = nullptr;
    for (const auto& X : Sections_)
        if (X.Type == Want) {
            Table = &X;
            break;
        }
    if (Table == nullptr || Table->Link >= Sections_.size())
        return Out;
    const uint64_t Ent = Header_.Is64 ? sizeof(Elf64_Sym) : sizeof(Elf32_Sym);
    if (Table->EntSize != 0 && Table->EntSize != Ent)
        return Out;
    auto Raw = ReadSection(*Table);
    auto Names = ReadSection(Sections_[Table->Link]);
    if (!Raw || !Names)
        return Out;
    const std::size_t N = Raw->size() / Ent;
    Out.reserve(N > 0 ? N - 1 : 0);
    for (std::size_t I = 1; I < N; ++I) {
        TElfSymbol Y;
        uint32_t NameAt;
        unsigned char Info;
        if (Header_.Is64) {
            Elf64_Sym S;
            std::memcpy(&S, Raw->data() + I * Ent, sizeof S);
            NameAt = S.st_name, Info = S.st_info;
            Y.Value = S.st_value, Y.Size = S.st_size, Y.Shndx = S.st_shndx;
        } else {
            Elf32_Sym S;
            std::memcpy(&S, Raw->data() + I * Ent, sizeof S);
            NameAt = S.st_name, Info = S.st_info;
            Y.Value = S.st_value, Y.Size = S.st_size, Y.Shndx = S.st_shndx;
        }
        Y.Type = static_cast<uint8_t>(Info & 0xf);
        Y.Bind = static_cast<uint8_t>(Info >> 4);
        if (NameAt < Names->size())
            Y.Name = std::string(Names->c_str() + NameAt);
        Out.push_back(std::move(Y));
    }
    return Out;
}

std::optional<std::string> TElfFile::FindNote(std::string_view Owner, uint32_t Type) const
{
    bool AnyNoteSection = false;
    for (const auto& X : Sections_) {
        if (X.Type != SHT_NOTE)
            continue;
        AnyNoteSection = true;
        auto Block = ReadSection(X, 16u << 20);
        if (!Block)
            continue;
        if (auto D = FindNoteInBlock(*Block, Owner, Type, X.Align))
            return D;
    }
    if (AnyNoteSection)
        return std::nullopt;
    for (const auto& G : Segments_) {
        if (G.Type != PT_NOTE || G.FileSize > (16u << 20))
            continue;
        TElfSection AsSection;
        AsSection.Offset = G.Offset;
        AsSection.Size = G.FileSize;
        auto Block = ReadSection(AsSection);
        if (!Block)
            continue;
        if (auto D = FindNoteInBlock(*Block, Owner, Type, G.Align))
            return D;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Symbols by address

namespace {

int BindRank(uint8_t Bind)
{
    switch (Bind) {
    case STB_GLOBAL:
    case STB_GNU_UNIQUE:
        return 0;
    case STB_WEAK:
        return 1;
    default:
        return 2;
    }
}

bool IsAddressSymbol(const TElfSymbol& Y)
{
    if (Y.Shndx == SHN_UNDEF || Y.Shndx == SHN_ABS || Y.Name.empty())
        return false;
    switch (Y.Type) {
    case STT_NOTYPE:
    case STT_OBJECT:
    case STT_FUNC:
    case STT_GNU_IFUNC:
        return true;
    default:
        return false;
    }
}

} // namespace

TElfSymbolMap::TElfSymbolMap(std::vector<TElfSymbol> Symbols)
{
    for (auto& Y : Symbols)
        if (IsAddressSymbol(Y))
            Sorted.push_back(std::move(Y));
    std::sort(Sorted.begin(), Sorted.end(), [](const TElfSymbol& A, const TElfSymbol& B) {
        if (A.Value != B.Value)
            return A.Value < B.Value;
        if (BindRank(A.Bind) != BindRank(B.Bind))
            return BindRank(A.Bind) < BindRank(B.Bind);
        if ((A.Type == STT_FUNC) != (B.Type == STT_FUNC))
            return A.Type == STT_FUNC;
        return A.Name < B.Name;
    });
}

const TElfSymbol* TElfSymbolMap::Find(uint64_t Address) const
{
    auto It = std::upper_bound(Sorted.begin(), Sorted.end(), Address,
                               [](uint64_t A, const TElfSymbol& Y) { return A < Y.Value; });
    if (It == Sorted.begin())
        return nullptr;
    --It;
    // The best-ranked of the symbols sharing that value comes first.
    while (It != Sorted.begin() && std::prev(It)->Value == It->Value)
        --It;
    return &*It;
}

// ---------------------------------------------------------------------------
// Loaded images

std::unique_ptr<TElfLoadedImage> TElfLoadedImage::Open(uintptr_t Header)
{
    return Open(Header, std::make_shared<TElfMemorySource>());
}

std::unique_ptr<TElfLoadedImage> TElfLoadedImage::Open(uintptr_t Header,
                                                       std::shared_ptr<const TElfSource> Memory)
{
    if (!Memory)
        return nullptr;
    auto H = ReadElfHeader(*Memory, Header);
    if (!H || H->PhNum == 0)
        return nullptr;
    std::unique_ptr<TElfLoadedImage> I(new TElfLoadedImage);
    I->Memory = std::move(Memory);
    I->Hdr = *H;
    I->Header_ = Header;
    I->Segments_ = ReadElfSegments(*I->Memory, Header, *H);
    // The header is file offset 0; the load segment that maps it says where.
    const TElfSegment* First = nullptr;
    uint64_t High = 0;
    for (const auto& G : I->Segments_) {
        if (G.Type != PT_LOAD)
            continue;
        if (First == nullptr || G.VAddr < First->VAddr)
            First = &G;
        if (!AddOverflows(G.VAddr, G.MemSize))
            High = std::max(High, G.VAddr + G.MemSize);
    }
    if (First == nullptr || First->Offset > First->VAddr)
        return nullptr;
    const uint64_t FileStartVAddr = First->VAddr - First->Offset;
    I->Bias_ = Header - static_cast<uintptr_t>(FileStartVAddr);
    I->Low = I->Bias_ + static_cast<uintptr_t>(FileStartVAddr & ~uint64_t{0xfff});
    I->High = I->Bias_ + static_cast<uintptr_t>(High);
    if (I->High <= I->Low)
        return nullptr;

    for (const auto& G : I->Segments_) {
        if (G.Type != PT_DYNAMIC)
            continue;
        const uint64_t Ent = H->Is64 ? sizeof(Elf64_Dyn) : sizeof(Elf32_Dyn);
        const uint64_t N = std::min<uint64_t>(G.MemSize / Ent, MaxDynamicEntries);
        const uintptr_t At = I->Bias_ + static_cast<uintptr_t>(G.VAddr);
        std::string Raw(static_cast<std::size_t>(N * Ent), '\0');
        if (N == 0 || !I->Memory->Read(At, Raw.data(), Raw.size()))
            break;
        for (uint64_t K = 0; K < N; ++K) {
            int64_t Tag;
            uint64_t Val;
            if (H->Is64) {
                Elf64_Dyn D;
                std::memcpy(&D, Raw.data() + K * Ent, sizeof D);
                Tag = D.d_tag, Val = D.d_un.d_val;
            } else {
                Elf32_Dyn D;
                std::memcpy(&D, Raw.data() + K * Ent, sizeof D);
                Tag = D.d_tag, Val = D.d_un.d_val;
            }
            if (Tag == DT_NULL)
                break;
            switch (Tag) {
            case DT_GNU_HASH:
                I->GnuHash = I->Pointer(Val);
                break;
            case DT_SYMTAB:
                I->SymTab = I->Pointer(Val);
                break;
            case DT_STRTAB:
                I->StrTab = I->Pointer(Val);
                break;
            case DT_STRSZ:
                I->StrSize = Val;
                break;
            case DT_VERSYM:
                I->VerSym = I->Pointer(Val);
                break;
            default:
                break;
            }
        }
        break;
    }
    if (I->SymTab == 0 || I->StrTab == 0)
        I->GnuHash = 0;
    return I;
}

// The dynamic linker rewrites most address entries of a writable dynamic
// section to run-time addresses, but not those of a read-only one (the vDSO's).
// A value inside the image's span is taken as already moved.
uintptr_t TElfLoadedImage::Pointer(uint64_t Value) const
{
    if (Value > UINTPTR_MAX)
        return 0;
    const auto V = static_cast<uintptr_t>(Value);
    if (V >= Low && V < High)
        return V;
    const uintptr_t Moved = Bias_ + V;
    if (Moved >= Low && Moved < High)
        return Moved;
    return 0;
}

bool TElfLoadedImage::ReadSymbol(uint32_t Index, TElfSymbol& Y, uint32_t& NameOffset) const
{
    const uint64_t Ent = Hdr.Is64 ? sizeof(Elf64_Sym) : sizeof(Elf32_Sym);
    const uint64_t At = SymTab + uint64_t{Index} * Ent;
    unsigned char Info;
    if (Hdr.Is64) {
        Elf64_Sym S;
        if (!ReadAt(*Memory, At, S))
            return false;
        NameOffset = S.st_name, Info = S.st_info;
        Y.Value = S.st_value, Y.Size = S.st_size, Y.Shndx = S.st_shndx;
    } else {
        Elf32_Sym S;
        if (!ReadAt(*Memory, At, S))
            return false;
        NameOffset = S.st_name, Info = S.st_info;
        Y.Value = S.st_value, Y.Size = S.st_size, Y.Shndx = S.st_shndx;
    }
    Y.Type = static_cast<uint8_t>(Info & 0xf);
    Y.Bind = static_cast<uint8_t>(Info >> 4);
    return true;
}

bool TElfLoadedImage::NameEquals(uint32_t NameOffset, std::string_view Name) const
{
    if (StrSize != 0 && (NameOffset >= StrSize || Name.size() >= StrSize - NameOffset))
        return false;
    char Buf[256];
    uint64_t At = StrTab + uint64_t{NameOffset};
    std::size_t Done = 0;
    // Compare piecewise, then make sure the stored name ends where Name does.
    while (Done < Name.size()) {
        std::size_t Part = std::min(sizeof Buf, Name.size() - Done);
        if (!Memory->Read(At + Done, Buf, Part) || std::memcmp(Buf, Name.data() + Done, Part) != 0)
            return false;
        Done += Part;
    }
    char End;
    return Memory->Read(At + Done, &End, 1) && End == '\0';
}

std::string TElfLoadedImage::ReadName(uint32_t NameOffset) const
{
    std::string Out;
    if (StrSize != 0 && NameOffset >= StrSize)
        return Out;
    uint64_t At = StrTab + uint64_t{NameOffset};
    char Buf[64];
    while (Out.size() < MaxNameLength) {
        // Never cross a page in one read: the name may end just before an
        // unreadable one.
        std::size_t Part = 64 - static_cast<std::size_t>((At + Out.size()) % 64);
        if (!Memory->Read(At + Out.size(), Buf, Part))
            return std::string();
        const void* Nul = std::memchr(Buf, '\0', Part);
        if (Nul != nullptr) {
            Out.append(Buf, static_cast<const char*>(Nul) - Buf);
            return Out;
        }
        Out.append(Buf, Part);
    }
    return std::string();
}

uintptr_t TElfLoadedImage::SymbolAddress(const TElfSymbol& Y) const
{
    if (Y.Type == STT_TLS)
        return 0;
    if (Y.Shndx == SHN_ABS)
        return static_cast<uintptr_t>(Y.Value);
    return Bias_ + static_cast<uintptr_t>(Y.Value);
}

namespace {

uint32_t GnuHashOf(std::string_view Name)
{
    uint32_t H = 5381;
    for (unsigned char C : Name)
        H = H * 33 + C;
    return H;
}

bool Matchable(const TElfSymbol& Y)
{
    if (Y.Shndx == SHN_UNDEF)
        return false;
    if (Y.Value == 0 && Y.Shndx != SHN_ABS && Y.Type != STT_TLS)
        return false;
    switch (Y.Type) {
    case STT_NOTYPE:
    case STT_OBJECT:
    case STT_FUNC:
    case STT_COMMON:
    case STT_TLS:
    case STT_GNU_IFUNC:
        return true;
    default:
        return false;
    }
}

struct TGnuHashHeader {
    uint32_t Buckets, SymOffset, BloomSize, BloomShift;
};

} // namespace

uintptr_t TElfLoadedImage::FindSymbol(std::string_view Name) const
{
    if (GnuHash == 0 || Name.empty())
        return 0;
    TGnuHashHeader G;
    if (!ReadAt(*Memory, GnuHash, G) || G.Buckets == 0 || G.BloomSize == 0)
        return 0;
    const uint32_t WordBits = Hdr.Is64 ? 64 : 32;
    const uint64_t WordBytes = WordBits / 8;
    const uint64_t Bloom = GnuHash + sizeof G;
    const uint64_t BucketsAt = Bloom + uint64_t{G.BloomSize} * WordBytes;
    const uint64_t ChainAt = BucketsAt + uint64_t{G.Buckets} * 4;

    const uint32_t H = GnuHashOf(Name);
    uint64_t Word = 0;
    if (!Memory->Read(Bloom + ((H / WordBits) & (G.BloomSize - 1)) * WordBytes, &Word, WordBytes))
        return 0;
    const uint64_t Mask =
        (uint64_t{1} << (H % WordBits)) | (uint64_t{1} << ((H >> (G.BloomShift % 32)) % WordBits));
    if ((Word & Mask) != Mask)
        return 0;
    uint32_t Index;
    if (!ReadAt(*Memory, BucketsAt + uint64_t{H % G.Buckets} * 4, Index) || Index < G.SymOffset)
        return 0;

    bool HaveVersioned = false;
    int Versions = 0;
    TElfSymbol Versioned;
    for (uint32_t Step = 0; Step < MaxChainSteps; ++Step, ++Index) {
        uint32_t ChainHash;
        if (!ReadAt(*Memory, ChainAt + uint64_t{Index - G.SymOffset} * 4, ChainHash))
            break;
        if ((ChainHash | 1) == (H | 1)) {
            TElfSymbol Y;
            uint32_t NameAt;
            if (ReadSymbol(Index, Y, NameAt) && Matchable(Y) && NameEquals(NameAt, Name)) {
                uint16_t Ver = 1;
                if (VerSym != 0 && !ReadAt(*Memory, VerSym + uint64_t{Index} * 2, Ver))
                    Ver = 1;
                if ((Ver & 0x7fff) < 2)
                    return SymbolAddress(Y);
                // A versioned definition counts when it is not hidden, and
                // only when it is the only such one.
                if ((Ver & 0x8000) == 0 && Versions++ == 0) {
                    Versioned = Y;
                    HaveVersioned = true;
                }
            }
        }
        if (ChainHash & 1)
            break;
    }
    return (HaveVersioned && Versions == 1) ? SymbolAddress(Versioned) : 0;
}

uint32_t TElfLoadedImage::SymbolCount() const
{
    if (GnuHash == 0)
        return 0;
    TGnuHashHeader G;
    if (!ReadAt(*Memory, GnuHash, G) || G.Buckets == 0 || G.Buckets > MaxChainSteps)
        return 0;
    const uint64_t WordBytes = Hdr.Is64 ? 8 : 4;
    const uint64_t BucketsAt = GnuHash + sizeof G + uint64_t{G.BloomSize} * WordBytes;
    const uint64_t ChainAt = BucketsAt + uint64_t{G.Buckets} * 4;
    std::vector<uint32_t> Buckets(G.Buckets);
    if (!Memory->Read(BucketsAt, Buckets.data(), Buckets.size() * 4))
        return 0;
    uint32_t Last = *std::max_element(Buckets.begin(), Buckets.end());
    if (Last < G.SymOffset)
        return G.SymOffset;
    for (uint32_t Step = 0; Step < MaxChainSteps; ++Step, ++Last) {
        uint32_t ChainHash;
        if (!ReadAt(*Memory, ChainAt + uint64_t{Last - G.SymOffset} * 4, ChainHash))
            return 0;
        if (ChainHash & 1)
            return Last + 1;
    }
    return 0;
}

std::string TElfLoadedImage::SymbolNameAt(uintptr_t Address) const
{
    const uint32_t N = SymbolCount();
    std::string Fallback;
    for (uint32_t I = 1; I < N; ++I) {
        TElfSymbol Y;
        uint32_t NameAt;
        if (!ReadSymbol(I, Y, NameAt))
            break;
        if (!Matchable(Y) || Y.Type == STT_TLS || SymbolAddress(Y) != Address)
            continue;
        uint16_t Ver = 1;
        if (VerSym != 0 && !ReadAt(*Memory, VerSym + uint64_t{I} * 2, Ver))
            Ver = 1;
        if ((Ver & 0x8000) == 0)
            return ReadName(NameAt);
        if (Fallback.empty())
            Fallback = ReadName(NameAt);
    }
    return Fallback;
}

std::optional<std::string> TElfLoadedImage::FindNote(std::string_view Owner, uint32_t Type) const
{
    for (const auto& G : Segments_) {
        if (G.Type != PT_NOTE || G.MemSize > (1u << 20))
            continue;
        std::string Block(static_cast<std::size_t>(G.MemSize), '\0');
        if (!Memory->Read(Bias_ + G.VAddr, Block.data(), Block.size()))
            continue;
        if (auto D = FindNoteInBlock(Block, Owner, Type, G.Align))
            return D;
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// Modules

std::vector<TModuleInfo> GetModuleList()
{
    std::vector<TModuleInfo> Candidates;
    bool Open = false; // whether the last candidate may still grow
    EnumMemoryMaps([&](const TMapsEntry& E) {
        if (E.Path.empty() || E.Path.front() != '/') {
            Open = false;
            return true;
        }
        if (Open && !Candidates.empty() && Candidates.back().FileName == E.Path &&
            Candidates.back().Inode == E.Inode && E.Offset != 0) {
            Candidates.back().End = E.End;
            return true;
        }
        Open = E.Offset == 0;
        if (Open)
            Candidates.push_back({E.Start, E.End, std::string(E.Path), E.Inode});
        return true;
    });
    // Only ELF images are modules (not fonts, locale archives, data files).
    TDATryRead Snap = GetReadableRanges();
    std::vector<TModuleInfo> Out;
    for (auto& M : Candidates) {
        char Magic[SELFMAG];
        if (TryRead(M.Base, Magic, SELFMAG, &Snap) && std::memcmp(Magic, ELFMAG, SELFMAG) == 0)
            Out.push_back(std::move(M));
    }
    return Out;
}

bool FindModuleOfAddr(uintptr_t Address, uintptr_t& Module, std::string& FileName)
{
    for (const auto& M : GetModuleList()) {
        if (Address >= M.Base && Address < M.End) {
            Module = M.Base;
            FileName = M.FileName;
            return true;
        }
    }
    Module = 0;
    FileName.clear();
    return false;
}
