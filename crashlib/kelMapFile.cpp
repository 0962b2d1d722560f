#include "crashlib/kelMapFile.h"

#include "crashlib/kelCrypt.h"
#include "crashlib/kelDwarf.h"
#include "crashlib/kelMapHooks.h"
#include "crashlib/kelStrings.h"
#include "crashlib/kelTools.h"
#include "crashlib/kelZip.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <elf.h>
#include <mutex>
#include <optional>
#include <sys/auxv.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unordered_map>

// ---------------------------------------------------------------------------
// TMiniStream

TMiniStream::TMiniStream(std::string_view Bytes)
{
    SetSize(Bytes.size());
    if (!Bytes.empty())
        std::memcpy(Buffer.data(), Bytes.data(), Bytes.size());
}

void TMiniStream::SetSize(std::size_t NewSize)
{
    if (NewSize == 0) {
        std::string().swap(Buffer);
        Pos = 0;
        return;
    }
    const std::size_t Step = 8192;
    Buffer.reserve((NewSize + Step - 1) / Step * Step);
    Buffer.resize(NewSize);
    Pos = std::min(Pos, NewSize);
}

std::size_t TMiniStream::Read(void* Out, std::size_t Count)
{
    const std::size_t N = std::min(Count, Left());
    if (N != 0)
        std::memcpy(Out, Buffer.data() + Pos, N);
    Pos += N;
    return N;
}

bool TMiniStream::ReadByte(uint8_t& Value)
{
    if (Left() < 1)
        return false;
    Read(&Value, 1);
    return true;
}

bool TMiniStream::ReadU32(uint32_t& Value)
{
    unsigned char B[4];
    if (Left() < 4)
        return false;
    Read(B, 4);
    Value = uint32_t(B[0]) | uint32_t(B[1]) << 8 | uint32_t(B[2]) << 16 | uint32_t(B[3]) << 24;
    return true;
}

bool TMiniStream::ReadCompact(int32_t& Value)
{
    uint8_t B;
    if (!ReadByte(B))
        return false;
    if (B != 0x80) {
        Value = static_cast<int8_t>(B);
        return true;
    }
    uint32_t V;
    if (!ReadU32(V))
        return false;
    Value = static_cast<int32_t>(V);
    return true;
}

bool TMiniStream::ReadName(std::u16string& Name)
{
    uint8_t Len;
    if (!ReadByte(Len) || Left() < Len)
        return false;
    Name = Utf8ToWide(std::string_view(Buffer.data() + Pos, Len));
    Pos += Len;
    return true;
}

void TMiniStream::Write(const void* Data, std::size_t Count)
{
    const std::size_t At = Pos;
    if (At + Count > Buffer.size())
        SetSize(At + Count);
    if (Count != 0)
        std::memcpy(Buffer.data() + At, Data, Count);
    Pos = At + Count;
}

void TMiniStream::WriteU32(uint32_t Value)
{
    const unsigned char B[4] = {
        static_cast<unsigned char>(Value), static_cast<unsigned char>(Value >> 8),
        static_cast<unsigned char>(Value >> 16), static_cast<unsigned char>(Value >> 24)};
    Write(B, 4);
}

void TMiniStream::WriteCompact(int32_t Value)
{
    if (Value >= -127 && Value <= 127) {
        WriteByte(static_cast<uint8_t>(static_cast<int8_t>(Value)));
    } else {
        WriteByte(0x80);
        WriteU32(static_cast<uint32_t>(Value));
    }
}

bool TMiniStream::ReadVarUInt(uint32_t& Value)
{
    Value = 0;
    for (unsigned Shift = 0; Shift < 35; Shift += 7) {
        uint8_t B;
        if (!ReadByte(B))
            return false;
        Value |= uint32_t(B & 0x7F) << Shift;
        if ((B & 0x80) == 0)
            return true;
    }
    return false;
}

void TMiniStream::WriteVarUInt(uint32_t Value)
{
    while (Value >= 0x80) {
        WriteByte(static_cast<uint8_t>(Value | 0x80));
        Value >>= 7;
    }
    WriteByte(static_cast<uint8_t>(Value));
}

void TMiniStream::WriteName(std::u16string_view Name)
{
    std::string U = WideToUtf8(Name);
    if (U.size() > 255) {
        std::size_t Cut = 255;
        while (Cut > 0 && (static_cast<unsigned char>(U[Cut]) & 0xC0) == 0x80)
            --Cut;
        U.resize(Cut);
    }
    WriteByte(static_cast<uint8_t>(U.size()));
    Write(U.data(), U.size());
}

// ---------------------------------------------------------------------------
// Adding entries

namespace {

bool EndsWithText(std::u16string_view S, std::u16string_view Tail)
{
    return S.size() >= Tail.size() && IsTextEqualW(S.substr(S.size() - Tail.size()), Tail);
}

bool SegmentLess(const TMfSegment& A, const TMfSegment& B)
{
    return A.Class != B.Class ? A.Class < B.Class : A.Start < B.Start;
}

} // namespace

void TMapFile::AddMapSegment(uint8_t Class, std::u16string Name, uintptr_t Length, uintptr_t Start,
                             bool Sorted, bool StripExtension)
{
    Class = Class == mcCode ? mcCode : mcData;
    if (StripExtension) {
        for (std::u16string_view Ext : {u".pas", u".cpp", u".c"})
            if (EndsWithText(Name, Ext)) {
                Name.resize(Name.size() - Ext.size());
                break;
            }
    }
    const int Last = LastSegment[Class];
    if (Last >= 0 && static_cast<std::size_t>(Last) < Segments.size()) {
        TMfSegment& L = Segments[static_cast<std::size_t>(Last)];
        const uintptr_t End = L.Start + L.Length;
        if (L.UnitName == Name && Start >= L.Start && Start <= End + 2) {
            L.Length = std::max(End, Start + Length) - L.Start;
            return;
        }
    }
    TMfSegment Seg{1, Class, Start, Length, std::move(Name), 0};
    std::size_t At = Segments.size();
    if (Sorted)
        At = static_cast<std::size_t>(
            std::upper_bound(Segments.begin(), Segments.end(), Seg, SegmentLess) -
            Segments.begin());
    Segments.insert(Segments.begin() + static_cast<std::ptrdiff_t>(At), std::move(Seg));
    for (int& L : LastSegment)
        if (L >= static_cast<int>(At))
            ++L;
    LastSegment[Class] = static_cast<int>(At);
}

void TMapFile::AddMapPublic(uint8_t Class, std::u16string Name, bool Sorted, uintptr_t Address)
{
    Class = Class == mcCode ? mcCode : mcData;
    // Names the compiler made up for its own tables ("@$xp$..." and the like).
    if (Name.size() > 5 && Name[0] == u'@' && Name[1] == u'$' && Name[2] == u'x' && Name[4] == u'$')
        return;
    // Only mangled names go through the unmangler: it would turn the "::"
    // of a name the linker already made readable into ".".
    if (BeginsWithStrW(Name, u"_Z") || BeginsWithStrW(Name, u"@")) {
        std::u16string Unit;
        UnmangleNameW(Name, Unit);
    }
    if (BeginsWithStrW(Name, u"@@"))
        Name.erase(0, 2);
    Address += Class == mcCode ? CodeBase : DataBase;

    auto Holder = std::upper_bound(Segments.begin(), Segments.end(), Address,
                                   [Class](uintptr_t A, const TMfSegment& S) {
                                       return Class != S.Class ? Class < S.Class : A < S.Start;
                                   });
    TMfSegment* Seg = nullptr;
    if (Holder != Segments.begin()) {
        TMfSegment& S = *(Holder - 1);
        if (S.Class == Class && Address >= S.Start && Address - S.Start < S.Length)
            Seg = &S;
    }
    // Unsorted tables are searched the slow way.
    if (Seg == nullptr && !std::is_sorted(Segments.begin(), Segments.end(), SegmentLess))
        for (auto& S : Segments)
            if (S.Class == Class && Address >= S.Start && Address - S.Start < S.Length) {
                Seg = &S;
                break;
            }
    if (Seg != nullptr && !Seg->UnitName.empty()) {
        if (Name == Seg->UnitName) {
            Name = u"initialization";
        } else if (Name.size() > Seg->UnitName.size() + 1 && BeginsWithStrW(Name, Seg->UnitName) &&
                   Name[Seg->UnitName.size()] == u'.') {
            Name.erase(0, Seg->UnitName.size() + 1);
            Seg->Qualified = 1;
        }
    }
    TMfPublic Pub{1, Class, std::move(Name), Address};
    if (!Sorted) {
        Publics.push_back(std::move(Pub));
        return;
    }
    auto At = std::upper_bound(Publics.begin(), Publics.end(), Address,
                               [](uintptr_t A, const TMfPublic& P) { return A < P.Address; });
    Publics.insert(At, std::move(Pub));
    const int Last = LastSegment[Class];
    if (Seg == nullptr && Last >= 0 && static_cast<std::size_t>(Last) < Segments.size()) {
        TMfSegment& L = Segments[static_cast<std::size_t>(Last)];
        if (Address >= L.Start && Address - L.Start >= L.Length)
            L.Length = Address - L.Start + 1;
    }
}

void TMapFile::AddMapLine(uint32_t Line, uintptr_t Address)
{
    Lines.push_back({Line, Address});
}

void TMapFile::SortTables()
{
    // Tables read in order (packed map data, DWARF) are only checked: a sort
    // moves every name of a big program.
    if (!std::is_sorted(Segments.begin(), Segments.end(), SegmentLess))
        std::stable_sort(Segments.begin(), Segments.end(), SegmentLess);
    LastSegment[0] = LastSegment[1] = -1;

    // Of several entries at one address the one added last stays.
    auto ByAddress = [](const TMfPublic& A, const TMfPublic& B) { return A.Address < B.Address; };
    if (!std::is_sorted(Publics.begin(), Publics.end(), ByAddress))
        std::stable_sort(Publics.begin(), Publics.end(), ByAddress);
    std::size_t Out = 0;
    for (std::size_t I = 0; I < Publics.size(); ++I) {
        if (I + 1 < Publics.size() && Publics[I + 1].Address == Publics[I].Address)
            continue;
        if (Out != I)
            Publics[Out] = std::move(Publics[I]);
        ++Out;
    }
    Publics.resize(Out);

    auto LineLess = [](const TMapFileLine& A, const TMapFileLine& B) {
        return A.Address < B.Address;
    };
    if (!std::is_sorted(Lines.begin(), Lines.end(), LineLess))
        std::stable_sort(Lines.begin(), Lines.end(), LineLess);
    Out = 0;
    for (std::size_t I = 0; I < Lines.size(); ++I) {
        if (I + 1 < Lines.size() && Lines[I + 1].Address == Lines[I].Address)
            continue;
        Lines[Out++] = Lines[I];
    }
    Lines.resize(Out);
}

// ---------------------------------------------------------------------------
// Lookups

struct TMapFile::TCompactTables {
    std::vector<std::u16string> Names;
    std::vector<uintptr_t> SegStart, SegLength;
    std::vector<uint32_t> SegName;
    std::vector<uint8_t> SegClass, SegQualified;
    std::vector<uintptr_t> PubAddress;
    std::vector<uint32_t> PubBack, PubName;

    TMfSegment Segment(std::size_t I) const
    {
        return {1, SegClass[I], SegStart[I], SegLength[I], Names[SegName[I]], SegQualified[I]};
    }
    TMfPublic Public(std::size_t I) const
    {
        return {1, mcCode, Names[PubName[I]], PubAddress[I],
                PubBack[I] != 0 ? PubAddress[I] - PubBack[I] : 0};
    }
};

TMapFile::TReadGuard TMapFile::ReadLock(uintptr_t Address) const
{
    if (!Lazy)
        return {};
    TReadGuard G{Lazy->Read(const_cast<TMapFile&>(*this), Address), true};
    G.Ok = G.Lock.owns_lock();
    return G;
}

TMfSegment TMapFile::FindSegment(uint8_t Class, uintptr_t Address) const
{
    const auto Reading = ReadLock(Address);
    if (!Reading.Ok)
        return {};
    return SegmentAt(Class, Address);
}

TMfSegment TMapFile::SegmentAt(uint8_t Class, uintptr_t Address) const
{
    if (Compact) {
        const TCompactTables& C = *Compact;
        std::size_t Lo = 0, Hi = C.SegStart.size(); // the first above (Class, Address)
        while (Lo < Hi) {
            const std::size_t Mid = Lo + (Hi - Lo) / 2;
            const bool Above =
                Class != C.SegClass[Mid] ? Class < C.SegClass[Mid] : Address < C.SegStart[Mid];
            if (Above)
                Hi = Mid;
            else
                Lo = Mid + 1;
        }
        if (Lo == 0 || C.SegClass[Lo - 1] != Class || Address < C.SegStart[Lo - 1] ||
            Address - C.SegStart[Lo - 1] >= C.SegLength[Lo - 1])
            return {};
        return C.Segment(Lo - 1);
    }
    auto It = std::upper_bound(Segments.begin(), Segments.end(), Address,
                               [Class](uintptr_t A, const TMfSegment& S) {
                                   return Class != S.Class ? Class < S.Class : A < S.Start;
                               });
    if (It == Segments.begin())
        return {};
    const TMfSegment& S = *(It - 1);
    if (S.Class != Class || Address < S.Start || Address - S.Start >= S.Length)
        return {};
    return S;
}

TMfPublic TMapFile::FindPublic(uintptr_t Address) const
{
    const auto Reading = ReadLock(Address);
    if (!Reading.Ok)
        return {};
    if (Compact) {
        const TCompactTables& C = *Compact;
        const auto It = std::upper_bound(C.PubAddress.begin(), C.PubAddress.end(), Address);
        if (It == C.PubAddress.begin())
            return {};
        const auto I = static_cast<std::size_t>(It - C.PubAddress.begin()) - 1;
        if (C.Names[C.PubName[I]].empty() ||
            (It == C.PubAddress.end() && CodeEnd != 0 && Address >= CodeEnd))
            return {};
        return C.Public(I);
    }
    auto It = std::upper_bound(Publics.begin(), Publics.end(), Address,
                               [](uintptr_t A, const TMfPublic& P) { return A < P.Address; });
    if (It == Publics.begin())
        return {};
    const TMfPublic& P = *(It - 1);
    if (P.Name.empty())
        return {}; // the end of a routine, not the start of one
    if (It == Publics.end() && CodeEnd != 0 && Address >= CodeEnd)
        return {};
    return P;
}

uintptr_t TMapFile::FindPublicByName(uint8_t Class, std::u16string_view Unit, bool ExactCase,
                                     std::u16string_view Name) const
{
    auto Search = [&](std::u16string_view U) -> uintptr_t {
        if (Compact) {
            const TCompactTables& C = *Compact;
            for (std::size_t I = 0; I < C.SegStart.size(); ++I) {
                if (C.SegClass[I] != Class || !IsTextEqualW(C.Names[C.SegName[I]], U))
                    continue;
                auto It = std::lower_bound(C.PubAddress.begin(), C.PubAddress.end(), C.SegStart[I]);
                for (; It != C.PubAddress.end() && *It - C.SegStart[I] < C.SegLength[I]; ++It) {
                    const auto& N =
                        C.Names[C.PubName[static_cast<std::size_t>(It - C.PubAddress.begin())]];
                    if (Class == mcCode && (ExactCase ? N == Name : IsTextEqualW(N, Name)))
                        return *It;
                }
            }
            return 0;
        }
        for (const auto& S : Segments) {
            if (S.Class != Class || !IsTextEqualW(S.UnitName, U))
                continue;
            auto It =
                std::lower_bound(Publics.begin(), Publics.end(), S.Start,
                                 [](const TMfPublic& P, uintptr_t A) { return P.Address < A; });
            for (; It != Publics.end() && It->Address - S.Start < S.Length; ++It)
                if (It->Class == Class &&
                    (ExactCase ? It->Name == Name : IsTextEqualW(It->Name, Name)))
                    return It->Address;
        }
        return 0;
    };
    if (uintptr_t A = Search(Unit))
        return A;
    if (Unit.find(u'.') == std::u16string_view::npos)
        for (std::u16string_view Ext : {u".cpp", u".h", u".c"})
            if (uintptr_t A = Search(std::u16string(Unit) + std::u16string(Ext)))
                return A;
    return 0;
}

namespace {

// The line row that answers for Address, with the range it answers for.
const TMapFileLine* LineRowAt(const TMapFile& Map, uintptr_t Address, uintptr_t& Start,
                              uintptr_t& Next)
{
    Start = Address;
    Next = Address + 1;
    auto It = std::upper_bound(Map.Lines.begin(), Map.Lines.end(), Address,
                               [](uintptr_t A, const TMapFileLine& L) { return A < L.Address; });
    if (It == Map.Lines.begin())
        return nullptr;
    const TMapFileLine& Row = *(It - 1);
    const TMfSegment Seg = Map.SegmentAt(mcCode, Address); // the caller holds the read lock
    if (!Seg.Valid || Row.Address < Seg.Start)
        return nullptr;
    if (It == Map.Lines.end() && Map.CodeEnd != 0 && Address >= Map.CodeEnd)
        return nullptr;
    // Lengths come from the map data as they stand: one that would run past
    // the top of the address space ends there.
    const uintptr_t Highest = ~uintptr_t(0);
    const uintptr_t SegEnd = Seg.Length > Highest - Seg.Start ? Highest : Seg.Start + Seg.Length;
    Start = Row.Address;
    Next = It != Map.Lines.end() && It->Address < SegEnd ? It->Address : SegEnd;
    return &Row;
}

} // namespace

uint32_t TMapFile::FindLineEx(uintptr_t Address, uintptr_t& Next) const
{
    const auto Reading = ReadLock(Address);
    Next = Address + 1;
    if (!Reading.Ok)
        return 0;
    uintptr_t Start;
    const TMapFileLine* Row = LineRowAt(*this, Address, Start, Next);
    return Row != nullptr ? Row->Line : 0;
}

uint32_t TMapFile::FindLine(uintptr_t Address) const
{
    uintptr_t Next;
    return FindLineEx(Address, Next);
}

// ---------------------------------------------------------------------------
// Packed map data

std::string MakeMapDataKey(uint32_t TotalLength)
{
    std::string Key =
        "Kelmap" + UpStrA(CardToHexPadA(TotalLength, 7, '0')) + CardToStrPadA(TotalLength, 8, '0');
    Key += Key;
    const std::string Self = Key;
    EncipherStr(Key, Self);
    return Key;
}

namespace {

struct TMapDataHeader {
    uint32_t PackedSize = 0;
    uint32_t Version = 0;
    uint32_t Check1 = 0;
    uint32_t Check2 = 0;
    uint32_t Flags = 0;
    std::size_t HeaderSize = 0; // marker and header fields
    std::size_t TotalSize() const { return HeaderSize + PackedSize; }
};

uint32_t GetU32(std::string_view B, std::size_t At)
{
    return uint32_t(static_cast<unsigned char>(B[At])) |
           uint32_t(static_cast<unsigned char>(B[At + 1])) << 8 |
           uint32_t(static_cast<unsigned char>(B[At + 2])) << 16 |
           uint32_t(static_cast<unsigned char>(B[At + 3])) << 24;
}

void PutU32(std::string& B, uint32_t V)
{
    for (int I = 0; I < 4; ++I)
        B.push_back(static_cast<char>(V >> (8 * I)));
}

std::optional<TMapDataHeader> ReadMapDataHeader(std::string_view Block)
{
    const std::size_t M = MapDataMarker.size();
    if (Block.size() < M + 8 || Block.substr(0, M) != MapDataMarker)
        return std::nullopt;
    TMapDataHeader H;
    H.PackedSize = GetU32(Block, M);
    H.Version = GetU32(Block, M + 4);
    if (H.Version == 2) {
        H.HeaderSize = M + 8;
    } else if (H.Version == 3 || H.Version == 4) {
        H.HeaderSize = M + 20;
        if (Block.size() < H.HeaderSize)
            return std::nullopt;
        H.Check1 = GetU32(Block, M + 8);
        H.Check2 = GetU32(Block, M + 12);
        H.Flags = GetU32(Block, M + 16);
    } else {
        return std::nullopt;
    }
    if (H.PackedSize > Block.size() - H.HeaderSize)
        return std::nullopt;
    return H;
}

uint32_t Crc32Of(std::string_view Bytes)
{
    return ~UpdateCrc32(0xFFFFFFFFu, Bytes.data(), Bytes.size());
}

} // namespace

std::u16string MapDataCheckText(std::string_view Block)
{
    auto H = ReadMapDataHeader(Block);
    if (!H || H->Version < 3)
        return {};
    return CardToHexPadW(static_cast<uint32_t>(H->TotalSize()), 8, u'0') + u", " +
           CardToHexPadW(H->Check1, 8, u'0') + u", " + CardToHexPadW(H->Check2, 8, u'0');
}

std::string PackMapDataBlock(std::string_view Stream, uint32_t Version, uint32_t Flags,
                             uint32_t CodeLength)
{
    std::string Container;
    if ((Flags & MapDataNoMapData) == 0 || Version < 3) {
        std::string Deflated(CompressBufCapacity(Stream.size()), '\0');
        Deflated.resize(
            CompressBuf(Stream.data(), Deflated.data(), Stream.size(), Deflated.size()));
        PutU32(Container, static_cast<uint32_t>(Stream.size()));
        PutU32(Container, static_cast<uint32_t>(Deflated.size()));
        PutU32(Container, Crc32Of(Stream));
        Container += Deflated;
    }
    const std::size_t HeaderSize = MapDataMarker.size() + (Version >= 3 ? 20 : 8);
    const auto Total = static_cast<uint32_t>(HeaderSize + Container.size());
    EncipherStr(Container, MakeMapDataKey(Total));
    std::string Block(MapDataMarker);
    PutU32(Block, static_cast<uint32_t>(Container.size()));
    PutU32(Block, Version);
    if (Version >= 3) {
        PutU32(Block, Crc32Of(Container));
        PutU32(Block, CodeLength);
        PutU32(Block, Flags);
    }
    return Block + Container;
}

std::string PackMapData(const TMapFile& Map, uint32_t Version, uint32_t Flags, bool Reduced)
{
    const uintptr_t Base = Map.CodeBase;
    auto Offset = [Base](uintptr_t A) { return static_cast<uint32_t>(A - Base); };
    TMiniStream S;
    // Version 4: each distinct name once, in a table that the segments and
    // publics name by index (a program names a hundred thousand places with a
    // few thousand names), and each public's routine start.
    const bool Table = Version >= 4 && !Reduced;
    std::unordered_map<std::u16string_view, uint32_t> Ids;
    std::vector<std::u16string_view> Names;
    auto Id = [&](std::u16string_view Name) {
        auto [It, New] = Ids.try_emplace(Name, static_cast<uint32_t>(Names.size()));
        if (New)
            Names.push_back(Name);
        return It->second;
    };
    if (Table) {
        for (const auto& Seg : Map.Segments)
            Id(Seg.UnitName);
        for (const auto& P : Map.Publics)
            Id(P.Name);
        S.WriteU32(static_cast<uint32_t>(Names.size()));
        for (auto Name : Names)
            S.WriteName(Name);
    }
    S.WriteU32(static_cast<uint32_t>(Map.Segments.size()));
    for (const auto& Seg : Map.Segments) {
        S.WriteU32(Offset(Seg.Start));
        S.WriteU32(static_cast<uint32_t>(Seg.Length));
        if (Reduced)
            S.WriteByte(Seg.Qualified);
        else if (Table)
            S.WriteVarUInt(Id(Seg.UnitName));
        else
            S.WriteName(Seg.UnitName);
        S.WriteByte(Seg.Class);
    }
    S.WriteU32(static_cast<uint32_t>(Map.Publics.size()));
    uintptr_t Prev = 0;
    for (std::size_t I = 0; I < Map.Publics.size(); ++I) {
        const TMfPublic& P = Map.Publics[I];
        if (Reduced)
            S.WriteByte(0);
        else if (Table)
            S.WriteVarUInt(Id(P.Name));
        else
            S.WriteName(P.Name);
        if (I == 0)
            S.WriteU32(Offset(P.Address));
        else
            S.WriteCompact(static_cast<int32_t>(P.Address - Prev));
        if (Version >= 4)
            S.WriteVarUInt(P.Start != 0 && P.Start <= P.Address
                               ? static_cast<uint32_t>(P.Address - P.Start)
                               : 0);
        Prev = P.Address;
    }
    S.WriteU32(static_cast<uint32_t>(Map.Lines.size()));
    uint32_t PrevLine = 0;
    for (std::size_t I = 0; I < Map.Lines.size(); ++I) {
        const TMapFileLine& L = Map.Lines[I];
        if (I == 0) {
            S.WriteU32(L.Line);
            S.WriteU32(Offset(L.Address));
        } else {
            S.WriteCompact(static_cast<int32_t>(L.Line - PrevLine));
            S.WriteCompact(static_cast<int32_t>(L.Address - Prev));
        }
        PrevLine = L.Line;
        Prev = L.Address;
    }
    if (Map.EntryPoint != 0)
        S.WriteU32(Offset(Map.EntryPoint));
    return PackMapDataBlock(S.Bytes(), Version, Flags,
                            static_cast<uint32_t>(Map.CodeEnd - Map.CodeBase));
}

std::string ReadSettingsText(std::string_view Stream, std::string_view Property)
{
    static constexpr std::string_view Signature{"TPF0\x0aTKelExcept\x09kelExcept", 25};
    if (Stream.substr(0, Signature.size()) != Signature)
        return {};
    std::size_t At = Signature.size();
    auto Take = [&](std::size_t N, std::string_view& Out) {
        if (Stream.size() - At < N)
            return false;
        Out = Stream.substr(At, N);
        At += N;
        return true;
    };
    auto TakeU32 = [&](uint32_t& V) {
        std::string_view B;
        if (!Take(4, B))
            return false;
        V = GetU32(B, 0);
        return true;
    };
    for (;;) {
        std::string_view B, Name, Value;
        if (!Take(1, B) || B[0] == 0)
            return {};
        if (!Take(static_cast<unsigned char>(B[0]), Name) || !Take(1, B))
            return {};
        const auto Tag = static_cast<unsigned char>(B[0]);
        bool IsText = true, Wide = false;
        uint32_t N = 0;
        switch (Tag) {
        case 2:
        case 3:
        case 4:
            IsText = false;
            N = Tag == 2 ? 1 : Tag == 3 ? 2 : 4;
            break;
        case 6:
        case 7:
            if (!Take(1, B))
                return {};
            N = static_cast<unsigned char>(B[0]);
            break;
        case 8:
        case 9:
            IsText = false;
            break;
        case 12:
        case 20:
            if (!TakeU32(N))
                return {};
            break;
        case 18:
            if (!TakeU32(N) || N > Stream.size())
                return {};
            N *= 2;
            Wide = true;
            break;
        default:
            return {}; // a value this reader does not know ends the list
        }
        if (!Take(N, Value))
            return {};
        if (IsText && Name == Property) {
            if (!Wide)
                return std::string(Value);
            std::u16string W(Value.size() / 2, u'\0');
            for (std::size_t I = 0; I < W.size(); ++I)
                W[I] = static_cast<char16_t>(static_cast<unsigned char>(Value[2 * I]) |
                                             static_cast<unsigned char>(Value[2 * I + 1]) << 8);
            return WideToUtf8(W);
        }
    }
}

namespace {

// The line table of packed map data: a count, the first line and its
// address, then compact deltas of both. Appends to Lines; Address ends at the
// last line's.
template <class TAt>
bool ReadLineTable(TMiniStream& S, const TAt& At, uintptr_t& Address,
                   std::vector<TMapFileLine>& Lines)
{
    uint32_t Count;
    if (!S.ReadU32(Count) || Count > S.Left() / 2)
        return false;
    Lines.reserve(Lines.size() + Count);
    uint32_t Line = 0;
    for (uint32_t I = 0; I < Count; ++I) {
        if (I == 0) {
            uint32_t Offset;
            if (!S.ReadU32(Line) || !S.ReadU32(Offset))
                return false;
            Address = At(Offset);
        } else {
            int32_t DLine, DAddress;
            if (!S.ReadCompact(DLine) || !S.ReadCompact(DAddress))
                return false;
            Line += static_cast<uint32_t>(DLine);
            Address += static_cast<uintptr_t>(static_cast<intptr_t>(DAddress));
        }
        Lines.push_back({Line, Address});
    }
    return true;
}

} // namespace

bool TMapFile::LoadMapData(std::string_view Block)
{
    auto H = ReadMapDataHeader(Block);
    if (!H)
        return false;
    Block = Block.substr(0, H->TotalSize());
    if (!ReducedNames.empty() && MapDataCheckText(Block) != ReducedNames)
        return false;
    std::string Packed(Block.substr(H->HeaderSize));
    if (H->Version >= 3) {
        if (H->Check1 != Crc32Of(Packed))
            return false;
        // Map data of another build of the module names the wrong code.
        if (H->Check2 != 0 && CodeEnd > CodeBase && H->Check2 != CodeEnd - CodeBase)
            return false;
        if ((H->Flags & MapDataNoMapData) != 0)
            return false;
    }
    DecipherStr(Packed, MakeMapDataKey(static_cast<uint32_t>(H->TotalSize())));
    const std::string Raw = UnpackStr(Packed);
    if (Raw.empty())
        return false;
    TMiniStream S(Raw);
    return LoadMapDataStream(S, H->Version);
}

bool TMapFile::LoadMapDataStream(TMiniStream& S, uint32_t Version)
{
    const bool Reduced = !ReducedNames.empty();
    const bool Table = Version >= 4 && !Reduced;
    std::vector<TMfSegment> NewSegments;
    std::vector<TMfPublic> NewPublics;
    std::vector<TMapFileLine> NewLines;
    auto At = [this](uint32_t Offset) {
        return CodeBase +
               static_cast<uintptr_t>(static_cast<intptr_t>(static_cast<int32_t>(Offset)));
    };

    // Every count is checked against the least number of bytes its entries
    // take before anything is allocated for them.
    uint32_t Count;
    std::vector<std::u16string> Names;
    if (Table) {
        if (!S.ReadU32(Count) || Count > S.Left())
            return false;
        Names.resize(Count);
        for (auto& Name : Names)
            if (!S.ReadName(Name))
                return false;
    }
    auto ReadNameOrIndex = [&](std::u16string& Name) {
        if (!Table)
            return S.ReadName(Name);
        uint32_t Index;
        if (!S.ReadVarUInt(Index) || Index >= Names.size())
            return false;
        Name = Names[Index];
        return true;
    };
    if (Table && KeepCompact && Segments.empty() && Publics.empty())
        return LoadCompactStream(S, std::move(Names), At);
    if (!S.ReadU32(Count) || Count > S.Left() / 10)
        return false;
    NewSegments.reserve(Count);
    for (uint32_t I = 0; I < Count; ++I) {
        TMfSegment Seg;
        uint32_t Start, Length;
        uint8_t Class;
        if (!S.ReadU32(Start) || !S.ReadU32(Length))
            return false;
        if (Reduced) {
            if (!S.ReadByte(Seg.Qualified))
                return false;
            Seg.UnitName = u"segment%" + IntToDecW(static_cast<int32_t>(I));
        } else if (!ReadNameOrIndex(Seg.UnitName)) {
            return false;
        }
        if (!S.ReadByte(Class))
            return false;
        Seg.Valid = 1;
        Seg.Class = Class == mcCode ? mcCode : mcData;
        Seg.Start = At(Start);
        Seg.Length = Length;
        NewSegments.push_back(std::move(Seg));
    }

    if (!S.ReadU32(Count) || Count > S.Left() / 2)
        return false;
    NewPublics.reserve(Count);
    uintptr_t Address = 0;
    for (uint32_t I = 0; I < Count; ++I) {
        TMfPublic P;
        if (Reduced) {
            uint8_t Ignored;
            if (!S.ReadByte(Ignored))
                return false;
            P.Name = u"public%" + IntToDecW(static_cast<int32_t>(I));
        } else if (!ReadNameOrIndex(P.Name)) {
            return false;
        }
        if (I == 0) {
            uint32_t Offset;
            if (!S.ReadU32(Offset))
                return false;
            Address = At(Offset);
        } else {
            int32_t Delta;
            if (!S.ReadCompact(Delta))
                return false;
            Address += static_cast<uintptr_t>(static_cast<intptr_t>(Delta));
        }
        P.Valid = 1;
        P.Class = mcCode;
        P.Address = Address;
        if (Version >= 4) {
            uint32_t Back;
            if (!S.ReadVarUInt(Back))
                return false;
            P.Start = Back != 0 ? Address - Back : 0;
        }
        NewPublics.push_back(std::move(P));
    }

    if (!ReadLineTable(S, At, Address, NewLines))
        return false;

    uint32_t Entry;
    if (S.Left() == 4 && S.ReadU32(Entry))
        EntryPoint = At(Entry);

    // Into empty tables (the usual case) the new ones are moved whole.
    auto Append = [](auto& To, auto& From) {
        if (To.empty()) {
            To.swap(From);
            return;
        }
        To.reserve(To.size() + From.size());
        for (auto& X : From)
            To.push_back(std::move(X));
    };
    Append(Segments, NewSegments);
    Append(Publics, NewPublics);
    Append(Lines, NewLines);
    return true;
}

bool TMapFile::LoadCompactStream(TMiniStream& S, std::vector<std::u16string> Names,
                                 const std::function<uintptr_t(uint32_t)>& At)
{
    auto C = std::make_shared<TCompactTables>();
    C->Names = std::move(Names);
    uint32_t Count;
    if (!S.ReadU32(Count) || Count > S.Left() / 10)
        return false;
    C->SegStart.reserve(Count);
    for (uint32_t I = 0; I < Count; ++I) {
        uint32_t Start, Length, Name;
        uint8_t Class;
        if (!S.ReadU32(Start) || !S.ReadU32(Length) || !S.ReadVarUInt(Name) ||
            Name >= C->Names.size() || !S.ReadByte(Class))
            return false;
        C->SegStart.push_back(At(Start));
        C->SegLength.push_back(Length);
        C->SegName.push_back(Name);
        C->SegClass.push_back(Class == mcCode ? mcCode : mcData);
        C->SegQualified.push_back(0);
    }
    if (!S.ReadU32(Count) || Count > S.Left() / 2)
        return false;
    C->PubAddress.reserve(Count);
    uintptr_t Address = 0;
    for (uint32_t I = 0; I < Count; ++I) {
        uint32_t Name, Back;
        if (!S.ReadVarUInt(Name) || Name >= C->Names.size())
            return false;
        if (I == 0) {
            uint32_t Offset;
            if (!S.ReadU32(Offset))
                return false;
            Address = At(Offset);
        } else {
            int32_t Delta;
            if (!S.ReadCompact(Delta))
                return false;
            Address += static_cast<uintptr_t>(static_cast<intptr_t>(Delta));
        }
        if (!S.ReadVarUInt(Back))
            return false;
        C->PubAddress.push_back(Address);
        C->PubName.push_back(Name);
        C->PubBack.push_back(Back);
    }
    // Lookups search the tables as they are: refuse them unless in order.
    for (std::size_t I = 1; I < C->PubAddress.size(); ++I)
        if (C->PubAddress[I] < C->PubAddress[I - 1])
            return false;
    for (std::size_t I = 1; I < C->SegStart.size(); ++I)
        if (C->SegClass[I] < C->SegClass[I - 1] ||
            (C->SegClass[I] == C->SegClass[I - 1] && C->SegStart[I] < C->SegStart[I - 1]))
            return false;
    if (!ReadLineTable(S, At, Address, Lines))
        return false;
    uint32_t Entry;
    if (S.Left() == 4 && S.ReadU32(Entry))
        EntryPoint = At(Entry);
    Compact = std::move(C);
    return true;
}

// ---------------------------------------------------------------------------
// Linker map text

namespace {

// The lines of a text, without their CR LF (or LF).
class TLineReader {
public:
    explicit TLineReader(std::string_view AText) : Text(AText) {}
    bool Next(std::string_view& Line)
    {
        if (At >= Text.size())
            return false;
        std::size_t End = Text.find('\n', At);
        if (End == std::string_view::npos)
            End = Text.size();
        Line = Text.substr(At, End - At);
        if (!Line.empty() && Line.back() == '\r')
            Line.remove_suffix(1);
        At = End + 1;
        return true;
    }

private:
    std::string_view Text;
    std::size_t At = 0;
};

std::string_view TrimLeft(std::string_view S)
{
    while (!S.empty() && static_cast<unsigned char>(S.front()) <= 32)
        S.remove_prefix(1);
    return S;
}

std::string_view Trim(std::string_view S)
{
    S = TrimLeft(S);
    while (!S.empty() && static_cast<unsigned char>(S.back()) <= 32)
        S.remove_suffix(1);
    return S;
}

bool IsHexRun(std::string_view S, std::size_t At, std::size_t N)
{
    if (S.size() < At + N)
        return false;
    for (std::size_t I = At; I < At + N; ++I)
        if (!std::isxdigit(static_cast<unsigned char>(S[I])))
            return false;
    return true;
}

uint64_t Hex(std::string_view S, std::size_t At, std::size_t N)
{
    return static_cast<uint64_t>(DigitsToIntA(true, S.substr(At, N)).value_or(0));
}

// "ssss:oooooooo" at the start of a text.
bool ParseSegOffset(std::string_view S, uint32_t& Seg, uint64_t& Offset)
{
    if (S.size() < 13 || S[4] != ':' || !IsHexRun(S, 0, 4) || !IsHexRun(S, 5, 8))
        return false;
    Seg = static_cast<uint32_t>(Hex(S, 0, 4));
    Offset = Hex(S, 5, 8);
    return true;
}

bool ContainsTextA(std::string_view S, std::string_view Sub)
{
    return PosTextA(Sub, S) > 0;
}

} // namespace

bool TMapFile::ParseMapText(std::string_view Text)
{
    if (Text.find("Linker script and memory map") != std::string_view::npos)
        return ParseGnuMapText(Text);
    return ParseBorlandMapText(Text);
}

bool TMapFile::ParseBorlandMapText(std::string_view Text)
{
    struct TMapSeg {
        uint32_t Number;
        uint64_t Start;
        uint64_t Length;
        uint8_t Class;
    };
    std::vector<TMapSeg> Table;
    auto FindSeg = [&Table](uint32_t Number) -> const TMapSeg* {
        for (const auto& S : Table)
            if (S.Number == Number)
                return &S;
        return nullptr;
    };
    auto ClassBase = [this](uint8_t Class) { return Class == mcCode ? CodeBase : DataBase; };

    TLineReader R(Text);
    std::string_view Line;
    bool Found = false;
    // 1. The segment table.
    while (R.Next(Line))
        if (TrimLeft(Line).starts_with("Start         Length     Name                   Class")) {
            Found = true;
            break;
        }
    if (!Found)
        return false;
    while (R.Next(Line)) {
        Line = TrimLeft(Line);
        if (Line.empty())
            break;
        if (Line.size() < 47 || Line[4] != ':' || Line[13] != ' ' || Line[22] != 'H' ||
            !IsHexRun(Line, 0, 4) || !IsHexRun(Line, 5, 8) || !IsHexRun(Line, 14, 8))
            continue;
        const uint8_t Class = ContainsTextA(Line.substr(23), "data") ? mcData : mcCode;
        Table.push_back(
            {static_cast<uint32_t>(Hex(Line, 0, 4)), Hex(Line, 5, 8), Hex(Line, 14, 8), Class});
    }

    // 2. The units in each segment.
    Found = false;
    while (R.Next(Line))
        if (TrimLeft(Line).starts_with("Detailed map of segments")) {
            Found = true;
            break;
        }
    bool Added = false;
    std::string_view Pending;
    bool HavePending = false;
    while (Found && R.Next(Line)) {
        std::string_view T = Trim(Line);
        if (T.starts_with("Address") && T.find("Publics by") != std::string_view::npos) {
            Pending = T;
            HavePending = true;
            break;
        }
        if (T.size() < 73 || T[4] != ':' || T[13] != ' ' || T[22] != ' ' || T.substr(23, 2) != "C=")
            continue;
        uint32_t Number;
        uint64_t Offset;
        if (!ParseSegOffset(T, Number, Offset) || !IsHexRun(T, 14, 8))
            continue;
        const TMapSeg* Seg = FindSeg(Number);
        if (Seg == nullptr)
            continue;
        // The unit is the module name ("M=") before the attribute field.
        std::string_view Unit = T;
        if (auto M = Unit.find("M="); M != std::string_view::npos)
            Unit = Unit.substr(M + 2);
        if (auto A = Unit.find("ACBP="); A != std::string_view::npos)
            Unit = Unit.substr(0, A);
        Unit = Trim(Unit);
        if (auto Sep = Unit.find_last_of("=\\|/"); Sep != std::string_view::npos)
            Unit = Unit.substr(Sep + 1);
        const uint64_t Start = Seg->Start + Offset;
        AddMapSegment(Seg->Class, Utf8ToWide(Unit), static_cast<uintptr_t>(Hex(T, 14, 8)),
                      static_cast<uintptr_t>(Start) + Bias, true);
        Added = true;
    }

    // 3. The publics.
    Found = HavePending && Pending.find("Value") != std::string_view::npos;
    while (!Found && R.Next(Line)) {
        std::string_view T = Trim(Line);
        if (T.starts_with("Address") && T.find("Publics by Value") != std::string_view::npos)
            Found = true;
    }
    // Publics are collected in address order from the "by Value" list; the
    // list ends at the line-number blocks or the entry point.
    std::string_view Rest;
    while (Found && R.Next(Line)) {
        std::string_view T = Trim(Line);
        if (T.starts_with("Line numbers for ") || T.starts_with("Program entry point at ") ||
            T.starts_with("Address") || T.starts_with("Bound resource files")) {
            Rest = T;
            break;
        }
        if (T.size() < 14 || T[4] != ':')
            continue;
        uint32_t Number;
        uint64_t Offset;
        if (!ParseSegOffset(T, Number, Offset))
            continue;
        const TMapSeg* Seg = FindSeg(Number);
        if (Seg == nullptr)
            continue;
        std::string_view Name = T;
        if (Name.back() == ')')
            if (auto P = Name.rfind('('); P != std::string_view::npos && P > 13)
                Name = Trim(Name.substr(0, P));
        if (auto B = Name.find_last_of(' '); B != std::string_view::npos && B >= 13)
            Name = Name.substr(B + 1);
        else
            continue;
        if (Name.empty())
            continue;
        const uintptr_t Address = static_cast<uintptr_t>(Seg->Start + Offset) + Bias;
        AddMapPublic(Seg->Class, Utf8ToWide(Name), false, Address - ClassBase(Seg->Class));
        Added = true;
    }

    // 4. and 5. Line-number blocks and the entry point, in any order.
    auto Handle = [&](std::string_view T, bool& InLines) {
        if (T.starts_with("Line numbers for ")) {
            InLines = true;
            return;
        }
        if (T.starts_with("Program entry point at ")) {
            InLines = false;
            uint32_t Number;
            uint64_t Offset;
            std::string_view A = T.substr(23);
            if (T.size() >= 35 && ParseSegOffset(A, Number, Offset))
                if (const TMapSeg* Seg = FindSeg(Number))
                    EntryPoint = static_cast<uintptr_t>(Seg->Start + Offset) + Bias;
            return;
        }
        if (!InLines || T.empty())
            return;
        // Pairs of a decimal line number and a segment:offset address.
        std::size_t At = 0;
        while (At < T.size()) {
            while (At < T.size() && T[At] == ' ')
                ++At;
            std::size_t NumEnd = At;
            while (NumEnd < T.size() && std::isdigit(static_cast<unsigned char>(T[NumEnd])))
                ++NumEnd;
            if (NumEnd == At || NumEnd >= T.size() || T[NumEnd] != ' ') {
                InLines = std::isdigit(static_cast<unsigned char>(T.front())) != 0;
                return;
            }
            std::size_t AddrAt = NumEnd;
            while (AddrAt < T.size() && T[AddrAt] == ' ')
                ++AddrAt;
            uint32_t Number;
            uint64_t Offset;
            if (!ParseSegOffset(T.substr(AddrAt), Number, Offset))
                return;
            const auto LineNo = DigitsToIntA(false, T.substr(At, NumEnd - At));
            if (const TMapSeg* Seg = FindSeg(Number);
                Seg != nullptr && LineNo && *LineNo >= 0 && *LineNo <= 0xFFFFFFFF) {
                AddMapLine(static_cast<uint32_t>(*LineNo),
                           static_cast<uintptr_t>(Seg->Start + Offset) + Bias);
                Added = true;
            }
            At = AddrAt + 13;
        }
    };
    bool InLines = false;
    if (!Rest.empty())
        Handle(Rest, InLines);
    while (R.Next(Line))
        Handle(Trim(Line), InLines);
    return Added;
}

namespace {

bool IsCodeSectionName(std::string_view Name)
{
    return Name == ".text" || Name.starts_with(".text.") || Name == ".init" || Name == ".fini" ||
           Name.starts_with(".plt");
}

std::vector<std::string_view> Words(std::string_view S)
{
    std::vector<std::string_view> Out;
    std::size_t At = 0;
    while (At < S.size()) {
        while (At < S.size() && (S[At] == ' ' || S[At] == '\t'))
            ++At;
        std::size_t End = At;
        while (End < S.size() && S[End] != ' ' && S[End] != '\t')
            ++End;
        if (End > At)
            Out.push_back(S.substr(At, End - At));
        At = End;
    }
    return Out;
}

std::optional<uint64_t> HexWord(std::string_view W)
{
    if (W.size() < 3 || W.size() > 18 || W[0] != '0' || W[1] != 'x')
        return std::nullopt;
    for (char C : W.substr(2))
        if (!std::isxdigit(static_cast<unsigned char>(C)))
            return std::nullopt;
    return static_cast<uint64_t>(DigitsToIntA(true, W.substr(2)).value_or(0));
}

} // namespace

bool TMapFile::ParseGnuMapText(std::string_view Text)
{
    TLineReader R(Text);
    std::string_view Line;
    while (R.Next(Line))
        if (Line.starts_with("Linker script and memory map"))
            break;
    bool Added = false;
    bool InOutput = false;
    uint8_t Class = mcData;
    bool PendingInput = false; // an input section name wrapped onto its own line
    auto AddInput = [&](uint64_t Address, uint64_t Size, std::string_view File) {
        if (Size == 0 || Address == 0 || File.empty())
            return;
        // The object file is the unit ("main.o": its routine "main" is no
        // unit initialization).
        if (auto Slash = File.rfind('/'); Slash != std::string_view::npos)
            File = File.substr(Slash + 1);
        AddMapSegment(Class, Utf8ToWide(File), static_cast<uintptr_t>(Size),
                      static_cast<uintptr_t>(Address) + Bias, false);
        Added = true;
    };
    while (R.Next(Line)) {
        if (Line.empty())
            continue;
        const auto W = Words(Line);
        if (W.empty())
            continue;
        if (Line[0] != ' ') {
            // An output section (".text  0x... 0x...") or a command.
            InOutput = W[0].starts_with(".");
            Class = InOutput && IsCodeSectionName(W[0]) ? mcCode : mcData;
            PendingInput = false;
            continue;
        }
        if (!InOutput)
            continue;
        const bool WasPending = PendingInput;
        PendingInput = false;
        if (W[0].starts_with(".") || W[0] == "COMMON") {
            if (W.size() == 1) {
                PendingInput = true;
            } else if (W.size() >= 4) {
                auto A = HexWord(W[1]), S = HexWord(W[2]);
                if (A && S)
                    AddInput(*A, *S, W[3]);
            }
            continue;
        }
        auto A = HexWord(W[0]);
        if (!A)
            continue;
        if (WasPending) {
            if (W.size() >= 3)
                if (auto S = HexWord(W[1]))
                    AddInput(*A, *S, W[2]);
            continue;
        }
        // "0x... name" (the name demangled, so it may hold blanks); not an
        // assignment ("0x... sym = .", "0x... PROVIDE (sym = .)").
        const std::string_view Name = Trim(Line.substr(Line.find(W[0]) + W[0].size()));
        if (*A == 0 || Name.empty() || Name.find(" = ") != std::string_view::npos ||
            Name.starts_with("PROVIDE") || Name.starts_with("[!provide]") ||
            Name.starts_with("ASSERT") || Name.starts_with(". "))
            continue;
        const uintptr_t Address = static_cast<uintptr_t>(*A) + Bias;
        AddMapPublic(Class, Utf8ToWide(Name), false,
                     Address - (Class == mcCode ? CodeBase : DataBase));
        Added = true;
    }
    return Added;
}

// ---------------------------------------------------------------------------
// ELF symbols and module bases

void TMapFile::SetBasesFromFile(const TElfFile& File)
{
    bool HaveCode = false, HaveData = false;
    for (const auto& G : File.Segments()) {
        if (G.Type != PT_LOAD)
            continue;
        if ((G.Flags & PF_X) != 0) {
            if (!HaveCode)
                CodeBase = static_cast<uintptr_t>(G.VAddr) + Bias;
            CodeEnd =
                std::max<uintptr_t>(CodeEnd, static_cast<uintptr_t>(G.VAddr + G.MemSize) + Bias);
            HaveCode = true;
        } else if ((G.Flags & PF_W) != 0 && !HaveData) {
            DataBase = static_cast<uintptr_t>(G.VAddr) + Bias;
            HaveData = true;
        }
    }
    if (File.Header().Entry != 0)
        EntryPoint = static_cast<uintptr_t>(File.Header().Entry) + Bias;
}

bool TMapFile::LoadElfSymbols(const TElfFile& File)
{
    auto Symbols = File.Symbols(false);
    if (Symbols.empty())
        Symbols = File.Symbols(true);
    std::vector<TElfSymbol> Code;
    for (auto& S : Symbols) {
        const uint8_t Type = S.Type;
        if ((Type == STT_FUNC || Type == STT_GNU_IFUNC) && S.Shndx != SHN_UNDEF && S.Value != 0 &&
            !S.Name.empty())
            Code.push_back(std::move(S));
    }
    if (Code.empty())
        return false;
    // At one address a global name before a weak one before a local one.
    auto Rank = [](uint8_t Bind) { return Bind == STB_GLOBAL ? 0 : Bind == STB_WEAK ? 1 : 2; };
    std::stable_sort(Code.begin(), Code.end(), [&](const TElfSymbol& A, const TElfSymbol& B) {
        return A.Value != B.Value ? A.Value < B.Value : Rank(A.Bind) < Rank(B.Bind);
    });
    AddMapSegment(mcCode, ModuleName, CodeEnd - CodeBase, CodeBase, false, false);
    for (std::size_t I = 0; I < Code.size(); ++I) {
        if (I > 0 && Code[I].Value == Code[I - 1].Value)
            continue;
        std::size_t Before = Publics.size();
        AddMapPublic(mcCode, Utf8ToWide(Code[I].Name), false,
                     static_cast<uintptr_t>(Code[I].Value) + Bias - CodeBase);
        if (Publics.size() == Before)
            continue;
        // Where a sized routine ends before the next one starts, no routine is there.
        const uint64_t End = Code[I].Value + Code[I].Size;
        std::size_t Next = I + 1;
        while (Next < Code.size() && Code[Next].Value == Code[I].Value)
            ++Next;
        if (Code[I].Size != 0 && (Next == Code.size() || Code[Next].Value > End))
            Publics.push_back({1, mcCode, {}, static_cast<uintptr_t>(End) + Bias});
    }
    return true;
}

// ---------------------------------------------------------------------------
// Loading a module

namespace {

// A regular file beside the module, read whole; never a named pipe or a device.
std::optional<std::string> ReadWholeFile(const std::string& Path, std::size_t Limit = 256u << 20)
{
    const int Fd = OpenRegularFile(Path.c_str());
    if (Fd < 0)
        return std::nullopt;
    struct stat St {};
    std::optional<std::string> Out;
    if (fstat(Fd, &St) == 0 && St.st_size >= 0 && static_cast<uint64_t>(St.st_size) <= Limit) {
        std::string Bytes(static_cast<std::size_t>(St.st_size), '\0');
        if (ReadFileAt(Fd, 0, Bytes.data(), Bytes.size()))
            Out = std::move(Bytes);
    }
    close(Fd);
    return Out;
}

// "<file>.<ext>" and, when the file name has an extension of its own, the
// same with that extension replaced.
std::vector<std::string> DebugFileNames(const std::string& FileName, std::string_view Ext)
{
    std::vector<std::string> Out{FileName + std::string(Ext)};
    const auto Slash = FileName.rfind('/');
    const auto Dot = FileName.rfind('.');
    if (Dot != std::string::npos && (Slash == std::string::npos || Dot > Slash + 1))
        Out.push_back(FileName.substr(0, Dot) + std::string(Ext));
    return Out;
}

std::optional<std::string> ReadSectionOf(const TElfFile& File, std::string_view Name)
{
    const TElfSection* S = File.FindSectionNoCase(Name);
    if (S == nullptr)
        return std::nullopt;
    return File.ReadSection(*S, 256u << 20);
}

} // namespace

TMapFile::TMapFile(uintptr_t AModule, const std::string& FileName, uint32_t Sources)
    : Module(AModule)
{
    ModuleFileName = Utf8ToWide(FileName);
    ModuleName = ExtractFileNameW(ModuleFileName);
    Valid = LoadFromFile(FileName, Sources);
    SortTables();
}

bool TMapFile::LoadFromFile(const std::string& FileName, uint32_t Sources)
{
    KeepCompact = (Sources & mdsLazy) != 0;
    auto File = TElfFile::Open(FileName);
    if (!File)
        return false;
    if (Module != 0) {
        // The module handle is where the file's first page is mapped.
        for (const auto& G : File->Segments())
            if (G.Type == PT_LOAD) {
                Bias = Module - static_cast<uintptr_t>((G.VAddr - G.Offset) & ~uint64_t{0xfff});
                break;
            }
    }
    SetBasesFromFile(*File);

    auto TryPackedFiles = [&]() {
        for (const auto& Name : DebugFileNames(FileName, ".kel"))
            if (auto Block = ReadWholeFile(Name))
                if (LoadMapData(*Block))
                    return true;
        return false;
    };

    if ((Sources & mdsPackedResource) != 0) {
        if (auto Block = ReadSectionOf(*File, ".rsrc.KEL.EXCEPT")) {
            if (LoadMapData(*Block)) {
                Source = mdsPackedResource;
                return true;
            }
            // A block that stores no names of its own points at the ".kel"
            // file whose check values the settings name.
            auto H = ReadMapDataHeader(*Block);
            if (H && H->Version >= 3 && (H->Flags & MapDataNoMapData) != 0) {
                if (auto Settings = ReadSectionOf(*File, ".rsrc.10.TKELEXCEPT")) {
                    ReducedNames = Utf8ToWide(ReadSettingsText(*Settings, "MinDebugInfo"));
                    if (ReducedNames.size() > 31)
                        ReducedNames.resize(31);
                    if (!ReducedNames.empty() && TryPackedFiles()) {
                        Source = mdsPackedFile;
                        return true;
                    }
                    ReducedNames.clear();
                }
            }
        }
    }
    if ((Sources & (mdsDwarf | mdsLazy)) == (mdsDwarf | mdsLazy)) {
        if ((Lazy = TLazyDebugInfo::Open(FileName, *File))) {
            // The symbols name what no unit read yet describes.
            LoadElfSymbols(*File);
            Source = mdsDwarf;
            return true;
        }
    } else if ((Sources & mdsDwarf) != 0 && LoadDwarfInfo(*this, FileName, *File)) {
        Source = mdsDwarf;
        return true;
    }
    if ((Sources & mdsMapText) != 0) {
        for (const auto& Name : DebugFileNames(FileName, ".map"))
            if (auto Text = ReadWholeFile(Name))
                if (ParseMapText(*Text)) {
                    Source = mdsMapText;
                    return true;
                }
    }
    if ((Sources & mdsPackedFile) != 0 && TryPackedFiles()) {
        Source = mdsPackedFile;
        return true;
    }
    if ((Sources & mdsElfSymbols) != 0 && LoadElfSymbols(*File)) {
        Source = mdsElfSymbols;
        return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// Cache

namespace {

struct TFileKey {
    dev_t Device = 0;
    ino_t Inode = 0;
    off_t Size = 0;
    int64_t MTimeSec = 0;
    long MTimeNsec = 0;
    bool operator==(const TFileKey&) const = default;
};

TFileKey KeyOf(const std::string& FileName)
{
    struct stat St {};
    if (stat(FileName.c_str(), &St) != 0)
        return {};
    return {St.st_dev, St.st_ino, St.st_size, St.st_mtim.tv_sec, St.st_mtim.tv_nsec};
}

struct TCacheEntry {
    std::string FileName;
    uintptr_t Module = 0;
    TFileKey Key;
    std::shared_ptr<TMapFile> Map;
};

struct TMapFileCache {
    std::vector<TCacheEntry> Entries;
};

TMapFileCache& Cache()
{
    static TMapFileCache* const C = new TMapFileCache; // outlives every caller at exit
    return *C;
}

// The cache's lock: in crash-time mode not waited for without end; a caller
// that does not get it reads the module without the cache.
struct TCacheLock {
    TLibraryLockGuard Guard{TLibraryLock::MapCache};
};

} // namespace

std::shared_ptr<TMapFile> FindModuleMapFile(uintptr_t Module, const std::string& FileName)
{
    TMapFileCache& C = Cache();
    TCacheLock Lock;
    if (!Lock.Guard.Locked())
        return std::make_shared<TMapFile>(Module, FileName, mdsAll | mdsLazy);
    const TFileKey Key = KeyOf(FileName);
    for (auto It = C.Entries.begin(); It != C.Entries.end(); ++It) {
        if (It->FileName != FileName || It->Module != Module)
            continue;
        if (It->Key == Key)
            return It->Map;
        C.Entries.erase(It); // the file changed since it was read
        break;
    }
    auto Map = std::make_shared<TMapFile>(Module, FileName, mdsAll | mdsLazy);
    if (Map->Valid && !Map->Partial)
        C.Entries.push_back({FileName, Module, Key, Map});
    return Map;
}

std::shared_ptr<TMapFile> FindMapFile(uintptr_t Address)
{
    if (Address == 0)
        Address = static_cast<uintptr_t>(getauxval(AT_PHDR));
    uintptr_t Module;
    std::string FileName;
    if (!FindModuleOfAddr(Address, Module, FileName))
        return nullptr;
    return FindModuleMapFile(Module, FileName);
}

void ClearMapFileCache()
{
    TMapFileCache& C = Cache();
    TCacheLock Lock;
    if (!Lock.Guard.Locked())
        return;
    C.Entries.clear();
}

bool GetMapFileInfosEx(uintptr_t Address, std::u16string& ModuleName, std::u16string& UnitName,
                       uint32_t& Line, uintptr_t& PublicAddress, std::u16string& PublicName)
{
    auto Map = FindMapFile(Address);
    if (!Map || !Map->Valid)
        return false;
    ModuleName = Map->ModuleName;
    UnitName = Map->FindSegment(mcCode, Address).UnitName;
    Line = Map->FindLine(Address);
    const TMfPublic P = Map->FindPublic(Address);
    PublicAddress = P.Address;
    PublicName = P.Name;
    return true;
}

__attribute__((noinline)) bool GetMapFileInfos(uintptr_t Address, std::u16string& ModuleName,
                                               std::u16string& UnitName, uint32_t& Line,
                                               uintptr_t& PublicAddress, std::u16string& PublicName)
{
    if (Address == 0)
        Address = reinterpret_cast<uintptr_t>(__builtin_return_address(0)) - 1;
    return GetMapFileInfosEx(Address, ModuleName, UnitName, Line, PublicAddress, PublicName);
}

// ---------------------------------------------------------------------------
// Hooks

namespace {

// A source file's name without folder and extension, as the unit part of a
// routine's name.
std::u16string UnitOf(const std::u16string& Name)
{
    std::u16string U = Name;
    if (U.find(u'/') != std::u16string::npos) {
        U = ExtractFileNameW(U);
        if (auto Dot = U.rfind(u'.'); Dot != std::u16string::npos && Dot > 0)
            U.resize(Dot);
    }
    return U;
}

} // namespace

bool MapNameHook(uintptr_t Address, std::u16string& Name)
{
    auto Map = FindMapFile(Address);
    if (!Map || !Map->Valid)
        return false;
    const TMfPublic P = Map->FindPublic(Address);
    if (!P.Valid || P.Address != Address)
        return false;
    const std::u16string Unit = UnitOf(Map->FindSegment(mcCode, Address).UnitName);
    Name = Unit.empty() ? P.Name : Unit + u"." + P.Name;
    if (Name.find(u'%') != std::u16string::npos)
        Name += u" (" + Map->ModuleFileName + u")";
    return true;
}

bool MapLineHook(uintptr_t Address, uint32_t& Line, uintptr_t& RangeStart, uintptr_t& RangeEnd)
{
    if (Address >= RangeStart && Address < RangeEnd)
        return Line != 0;
    Line = 0;
    RangeStart = RangeEnd = 0;
    auto Map = FindMapFile(Address);
    if (!Map || !Map->Valid)
        return false;
    uintptr_t Start, Next;
    const auto Reading = Map->ReadLock(Address);
    if (!Reading.Ok)
        return false;
    if (const TMapFileLine* Row = LineRowAt(*Map, Address, Start, Next)) {
        Line = Row->Line;
        RangeStart = Start;
        RangeEnd = Next;
    }
    return Line != 0;
}

namespace {

// The unit's initialization: the parser learns names and lines from here.
const struct TInstallMapHooks {
    TInstallMapHooks()
    {
        MapDataNameHook.store(&MapNameHook);
        MapDataLineHook.store(&MapLineHook);
    }
} InstallMapHooks;

} // namespace
