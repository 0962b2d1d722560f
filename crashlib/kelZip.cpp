#include "crashlib/kelZip.h"
#include "crashlib/kelMemory.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define KEL_HAVE_CLMUL 1
#endif

namespace {

// ---- little helpers ------------------------------------------------------------

inline std::uint64_t Load64(const std::uint8_t* P)
{
    std::uint64_t V;
    std::memcpy(&V, P, 8);
    return V; // the crash library only runs on little-endian x86
}

inline std::uint16_t Load16(const std::uint8_t* P)
{
    std::uint16_t V;
    std::memcpy(&V, P, 2);
    return V;
}

inline void Store64(std::uint8_t* P, std::uint64_t V)
{
    std::memcpy(P, &V, 8);
}

inline void Put16(std::uint8_t* P, unsigned V)
{
    P[0] = static_cast<std::uint8_t>(V);
    P[1] = static_cast<std::uint8_t>(V >> 8);
}

inline void Put32(std::uint8_t* P, std::uint32_t V)
{
    Put16(P, V & 0xFFFF);
    Put16(P + 2, V >> 16);
}

inline std::uint32_t Get32(const std::uint8_t* P)
{
    return P[0] | (P[1] << 8) | (P[2] << 16) | (static_cast<std::uint32_t>(P[3]) << 24);
}

// ---- CRC-32 table --------------------------------------------------------------

constexpr std::array<std::uint32_t, 256> MakeCrcTable()
{
    std::array<std::uint32_t, 256> T{};
    for (std::uint32_t I = 0; I < 256; ++I) {
        std::uint32_t C = I;
        for (int K = 0; K < 8; ++K) {
            C = (C & 1) ? (C >> 1) ^ 0xEDB88320u : C >> 1;
        }
        T[I] = C;
    }
    return T;
}

constexpr std::array<std::uint32_t, 256> CrcTableData = MakeCrcTable();

// ---- Deflate alphabet ------------------------------------------------------------

constexpr unsigned MinMatch = 3;
constexpr unsigned MaxMatch = 258;

constexpr std::uint16_t LengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                          15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                          67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t LengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                          2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t DistBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t DistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                        6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

// The order in which the code-length code's lengths are sent.
constexpr std::uint8_t CodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                              11, 4,  12, 3, 13, 2, 14, 1, 15};

// Length code (0..28, add 257) of a match length minus 3.
constexpr std::array<std::uint8_t, 256> MakeLengthCodes()
{
    std::array<std::uint8_t, 256> T{};
    for (unsigned Code = 0; Code < 29; ++Code) {
        for (unsigned L = LengthBase[Code];
             L < LengthBase[Code] + (1u << LengthExtra[Code]) && L <= MaxMatch; ++L) {
            T[L - MinMatch] = static_cast<std::uint8_t>(Code);
        }
    }
    return T;
}
constexpr std::array<std::uint8_t, 256> LengthCodes = MakeLengthCodes();

inline unsigned DistCode(unsigned Dist)
{
    const unsigned D = Dist - 1;
    if (D < 4) {
        return D;
    }
    const unsigned Bits = 31 - static_cast<unsigned>(__builtin_clz(D));
    return 2 * Bits + ((D >> (Bits - 1)) & 1);
}

// ---- Huffman code construction ---------------------------------------------------

constexpr unsigned LitLenSymbols = 286;
constexpr unsigned DistSymbols = 30;
constexpr unsigned CodeLengthSymbols = 19;

// Code lengths for the frequencies, none longer than MaxBits. At least two
// symbols get a code, as decoders expect of a distance code with one symbol.
void BuildLengths(const std::uint32_t* Freq, unsigned Count, unsigned MaxBits,
                  std::uint8_t* Lengths)
{
    struct Node {
        std::uint64_t Weight;
        int Parent;
    };
    std::uint16_t Symbols[LitLenSymbols];
    unsigned Used = 0;
    for (unsigned I = 0; I < Count; ++I) {
        Lengths[I] = 0;
        if (Freq[I] != 0) {
            Symbols[Used++] = static_cast<std::uint16_t>(I);
        }
    }
    // Pad up to two symbols with the lowest unused ones (frequency zero).
    for (unsigned I = 0; Used < 2 && I < Count; ++I) {
        if (Freq[I] == 0) {
            Symbols[Used++] = static_cast<std::uint16_t>(I);
        }
    }
    // Ties go by symbol, so the codes do not depend on the sort; std::sort
    // also needs no buffer of its own.
    std::sort(Symbols, Symbols + Used, [&](std::uint16_t A, std::uint16_t B) {
        return Freq[A] != Freq[B] ? Freq[A] < Freq[B] : A < B;
    });

    // Two-queue Huffman: leaves sorted by weight, internal nodes made in
    // non-decreasing weight order.
    Node Nodes[2 * LitLenSymbols];
    for (unsigned I = 0; I < Used; ++I) {
        Nodes[I] = {Freq[Symbols[I]], -1};
    }
    unsigned NextLeaf = 0;
    unsigned NextInner = Used;
    unsigned End = Used;
    auto TakeSmallest = [&]() {
        if (NextLeaf < Used &&
            (NextInner >= End || Nodes[NextLeaf].Weight <= Nodes[NextInner].Weight)) {
            return NextLeaf++;
        }
        return NextInner++;
    };
    for (unsigned K = 1; K < Used; ++K) {
        const unsigned A = TakeSmallest();
        const unsigned B = TakeSmallest();
        Nodes[End] = {Nodes[A].Weight + Nodes[B].Weight, -1};
        Nodes[A].Parent = static_cast<int>(End);
        Nodes[B].Parent = static_cast<int>(End);
        ++End;
    }
    // Depths, root last: each node's depth is its parent's plus one.
    unsigned Depth[2 * LitLenSymbols];
    Depth[End - 1] = 0;
    unsigned LengthCount[64] = {};
    for (int I = static_cast<int>(End) - 2; I >= 0; --I) {
        Depth[I] = Depth[Nodes[I].Parent] + 1;
    }
    for (unsigned I = 0; I < Used; ++I) {
        LengthCount[std::min(Depth[I], MaxBits)]++;
    }
    // Codes cut to MaxBits over-fill the code space; lengthen shorter codes
    // until the Kraft sum is exactly one again.
    std::uint64_t Kraft = 0;
    for (unsigned L = 1; L <= MaxBits; ++L) {
        Kraft += static_cast<std::uint64_t>(LengthCount[L]) << (MaxBits - L);
    }
    while (Kraft > (std::uint64_t{1} << MaxBits)) {
        LengthCount[MaxBits]--;
        for (unsigned L = MaxBits - 1; L > 0; --L) {
            if (LengthCount[L] != 0) {
                LengthCount[L]--;
                LengthCount[L + 1] += 2;
                break;
            }
        }
        --Kraft;
    }
    // The shortest codes go to the most frequent symbols.
    unsigned I = Used;
    for (unsigned L = 1; L <= MaxBits; ++L) {
        for (unsigned N = LengthCount[L]; N > 0; --N) {
            Lengths[Symbols[--I]] = static_cast<std::uint8_t>(L);
        }
    }
}

unsigned ReverseBits(unsigned Code, unsigned Length)
{
    unsigned R = 0;
    for (unsigned I = 0; I < Length; ++I) {
        R = (R << 1) | (Code & 1);
        Code >>= 1;
    }
    return R;
}

// Canonical codes, bit-reversed because the stream is written from the low bit.
void BuildCodes(const std::uint8_t* Lengths, unsigned Count, std::uint16_t* Codes)
{
    unsigned LengthCount[16] = {};
    for (unsigned I = 0; I < Count; ++I) {
        LengthCount[Lengths[I]]++;
    }
    LengthCount[0] = 0;
    unsigned Next[16] = {};
    unsigned Code = 0;
    for (unsigned L = 1; L < 16; ++L) {
        Code = (Code + LengthCount[L - 1]) << 1;
        Next[L] = Code;
    }
    for (unsigned I = 0; I < Count; ++I) {
        Codes[I] = Lengths[I]
                       ? static_cast<std::uint16_t>(ReverseBits(Next[Lengths[I]]++, Lengths[I]))
                       : 0;
    }
}

struct FixedCodes {
    std::uint8_t LitLen[288];
    std::uint16_t LitCode[288];
    std::uint8_t DistLen[30];
    std::uint16_t DistCode[30];
    FixedCodes()
    {
        for (unsigned I = 0; I < 288; ++I) {
            LitLen[I] = I < 144 ? 8 : I < 256 ? 9 : I < 280 ? 7 : 8;
        }
        std::fill(std::begin(DistLen), std::end(DistLen), 5);
        BuildCodes(LitLen, 288, LitCode);
        BuildCodes(DistLen, 30, DistCode);
    }
};

const FixedCodes& Fixed()
{
    static const FixedCodes F;
    return F;
}

// ---- Deflate encoder --------------------------------------------------------------

class Deflater {
public:
    Deflater(const std::uint8_t* Src, std::size_t SrcLen, std::uint8_t* Dst, std::size_t DstCap)
        : In(Src), InLen(SrcLen), Out(Dst), OutPos(Dst), OutEnd(Dst + DstCap)
    {
    }

    std::size_t Run();

private:
    static constexpr unsigned WindowSize = 1u << 15;
    static constexpr unsigned WindowMask = WindowSize - 1;
    static constexpr unsigned HashBits = 15;
    static constexpr unsigned HashMask = (1u << HashBits) - 1;
    static constexpr unsigned HashShift = 5;
    // Matches reach no further back than the window less the lookahead.
    static constexpr unsigned MaxDistance = WindowSize - (MaxMatch + MinMatch + 1);
    static constexpr unsigned MaxChain = 8;
    static constexpr unsigned NiceMatch = 16;
    static constexpr unsigned MaxInsert = 5;
    static constexpr unsigned SymbolBufferSize = 16384;
    // Positions in the hash chains are kept relative to Base, plus one (0:
    // none); they are moved down before they could overflow 32 bits.
    static constexpr std::size_t RebaseAt = std::size_t{1} << 31;

    struct Symbol {
        std::uint16_t LitLen; // literal byte, or match length - 3
        std::uint16_t Dist;   // 0 for a literal
    };

    unsigned Hash(std::size_t Pos) const
    {
        return ((In[Pos] << (2 * HashShift)) ^ (In[Pos + 1] << HashShift) ^ In[Pos + 2]) & HashMask;
    }

    // Links Pos into its hash chain; gives the chain's previous head.
    std::uint32_t Insert(std::size_t Pos)
    {
        const unsigned H = Hash(Pos);
        const std::uint32_t Prev = Head[H];
        const std::uint32_t Rel = static_cast<std::uint32_t>(Pos - Base + 1);
        Chain[Rel & WindowMask] = Prev;
        Head[H] = Rel;
        return Prev;
    }

    void Rebase(std::size_t Pos);
    unsigned LongestMatch(std::size_t Pos, std::uint32_t Candidate, unsigned& Distance) const;
    void FlushBlock(std::size_t BlockEnd, bool Last);
    void SendStored(std::size_t From, std::size_t To, bool Last);
    void SendSymbols(const std::uint16_t* LitCode, const std::uint8_t* LitLen,
                     const std::uint16_t* DistCodes, const std::uint8_t* DistLen);

    void PutBits(std::uint64_t Bits, unsigned Count)
    {
        BitBuf |= Bits << BitCount;
        BitCount += Count;
    }
    // Moves whole bytes of the bit buffer out; at most 7 bits stay.
    void FlushBits()
    {
        if (OutEnd - OutPos >= 8) {
            Store64(OutPos, BitBuf);
            const unsigned Bytes = BitCount >> 3;
            OutPos += Bytes;
            BitBuf = Bytes == 8 ? 0 : BitBuf >> (Bytes * 8);
            BitCount &= 7;
            return;
        }
        while (BitCount >= 8) {
            PutByte(static_cast<std::uint8_t>(BitBuf));
            BitBuf >>= 8;
            BitCount -= 8;
        }
    }
    void PutByte(std::uint8_t B)
    {
        if (OutPos < OutEnd) {
            *OutPos++ = B;
        } else {
            Overflow = true;
        }
    }
    void AlignToByte()
    {
        FlushBits();
        if (BitCount > 0) {
            PutByte(static_cast<std::uint8_t>(BitBuf));
        }
        BitBuf = 0;
        BitCount = 0;
    }

    const std::uint8_t* In;
    std::size_t InLen;
    std::uint8_t* Out;
    std::uint8_t* OutPos;
    std::uint8_t* OutEnd;
    bool Overflow = false;
    std::uint64_t BitBuf = 0;
    unsigned BitCount = 0;

    std::size_t Base = 0;
    std::unique_ptr<std::uint32_t[]> Head;
    std::unique_ptr<std::uint32_t[]> Chain;
    std::unique_ptr<Symbol[]> Symbols;
    unsigned SymbolCount = 0;
    std::size_t BlockStart = 0;
    std::uint32_t LitFreq[LitLenSymbols] = {};
    std::uint32_t DistFreq[DistSymbols] = {};
};

void Deflater::Rebase(std::size_t Pos)
{
    // A multiple of the window, so that every chain entry keeps its slot.
    const std::size_t Delta = (Pos - Base - 2 * WindowSize) & ~std::size_t{WindowMask};
    auto Move = [Delta](std::uint32_t& V) {
        V = V > Delta ? static_cast<std::uint32_t>(V - Delta) : 0;
    };
    std::for_each(Head.get(), Head.get() + HashMask + 1, Move);
    std::for_each(Chain.get(), Chain.get() + WindowSize, Move);
    Base += Delta;
}

unsigned Deflater::LongestMatch(std::size_t Pos, std::uint32_t Candidate, unsigned& Distance) const
{
    const std::size_t Available = InLen - Pos;
    const unsigned MaxLen = Available < MaxMatch ? static_cast<unsigned>(Available) : MaxMatch;
    const unsigned Nice = std::min(NiceMatch, MaxLen);
    const std::uint8_t* Scan = In + Pos;
    const std::uint32_t CurRel = static_cast<std::uint32_t>(Pos - Base + 1);
    const std::uint32_t Limit = CurRel > MaxDistance ? CurRel - MaxDistance : 0;
    unsigned Best = MinMatch - 1;
    unsigned Chains = MaxChain;
    std::uint32_t Cur = Candidate;
    while (Cur > Limit) {
        const std::uint8_t* M = In + (Cur - 1 + Base);
        // The two bytes that would make this match longer than the best,
        // then its first two, each pair at once.
        if (Load16(M + Best - 1) == Load16(Scan + Best - 1) && Load16(M) == Load16(Scan)) {
            unsigned Len = 0;
            while (Len + 8 <= MaxLen) {
                const std::uint64_t X = Load64(M + Len) ^ Load64(Scan + Len);
                if (X != 0) {
                    Len += static_cast<unsigned>(__builtin_ctzll(X)) >> 3;
                    goto Done;
                }
                Len += 8;
            }
            while (Len < MaxLen && M[Len] == Scan[Len]) {
                ++Len;
            }
        Done:
            if (Len > Best) {
                Best = Len;
                Distance = CurRel - Cur;
                if (Len >= Nice) {
                    break;
                }
            }
        }
        if (--Chains == 0) {
            break;
        }
        Cur = Chain[Cur & WindowMask];
    }
    return Best;
}

std::size_t Deflater::Run()
{
    // A chain slot is only read for a position that was inserted, so the
    // chains need clearing only for moving them down (inputs of 2 GiB and
    // more); small inputs need neither a whole window of them nor a whole
    // symbol buffer.
    Head.reset(new std::uint32_t[HashMask + 1]());
    const std::size_t ChainSize = std::min<std::size_t>(WindowSize, InLen + 1);
    Chain.reset(InLen >= RebaseAt ? new std::uint32_t[ChainSize]() : new std::uint32_t[ChainSize]);
    Symbols.reset(new Symbol[std::clamp<std::size_t>(InLen, 1, SymbolBufferSize)]);

    std::size_t Pos = 0;
    while (Pos < InLen) {
        if (Pos - Base >= RebaseAt) {
            Rebase(Pos);
        }
        unsigned Len = 0;
        unsigned Dist = 0;
        if (InLen - Pos >= MinMatch) {
            const std::uint32_t Candidate = Insert(Pos);
            if (Candidate != 0) {
                Len = LongestMatch(Pos, Candidate, Dist);
            }
        }
        if (Len >= MinMatch) {
            Symbols[SymbolCount++] = {static_cast<std::uint16_t>(Len - MinMatch),
                                      static_cast<std::uint16_t>(Dist)};
            LitFreq[257 + LengthCodes[Len - MinMatch]]++;
            DistFreq[DistCode(Dist)]++;
            if (Len <= MaxInsert) {
                for (std::size_t P = Pos + 1; P < Pos + Len && InLen - P >= MinMatch; ++P) {
                    Insert(P);
                }
            }
            Pos += Len;
        } else {
            Symbols[SymbolCount++] = {In[Pos], 0};
            LitFreq[In[Pos]]++;
            ++Pos;
        }
        if (SymbolCount == SymbolBufferSize) {
            FlushBlock(Pos, Pos == InLen);
            if (Overflow) {
                return 0;
            }
        }
    }
    if (SymbolCount != 0 || InLen == 0) {
        FlushBlock(InLen, true);
    }
    AlignToByte();
    return Overflow ? 0 : static_cast<std::size_t>(OutPos - Out);
}

void Deflater::SendStored(std::size_t From, std::size_t To, bool Last)
{
    do {
        const std::size_t Len = std::min<std::size_t>(To - From, 65535);
        const bool Final = Last && From + Len == To;
        PutBits(Final ? 1 : 0, 3);
        AlignToByte();
        PutByte(static_cast<std::uint8_t>(Len));
        PutByte(static_cast<std::uint8_t>(Len >> 8));
        PutByte(static_cast<std::uint8_t>(~Len));
        PutByte(static_cast<std::uint8_t>(~Len >> 8));
        if (static_cast<std::size_t>(OutEnd - OutPos) < Len) {
            Overflow = true;
            return;
        }
        std::memcpy(OutPos, In + From, Len);
        OutPos += Len;
        From += Len;
    } while (From < To);
}

void Deflater::SendSymbols(const std::uint16_t* LitCode, const std::uint8_t* LitLen,
                           const std::uint16_t* DistCodes, const std::uint8_t* DistLen)
{
    for (unsigned I = 0; I < SymbolCount; ++I) {
        const Symbol S = Symbols[I];
        if (S.Dist == 0) {
            PutBits(LitCode[S.LitLen], LitLen[S.LitLen]);
        } else {
            const unsigned LCode = LengthCodes[S.LitLen];
            PutBits(LitCode[257 + LCode], LitLen[257 + LCode]);
            PutBits(S.LitLen + MinMatch - LengthBase[LCode], LengthExtra[LCode]);
            const unsigned DCode = DistCode(S.Dist);
            PutBits(DistCodes[DCode], DistLen[DCode]);
            PutBits(S.Dist - DistBase[DCode], DistExtra[DCode]);
        }
        FlushBits();
        if (Overflow) {
            return;
        }
    }
    PutBits(LitCode[256], LitLen[256]);
    FlushBits();
}

void Deflater::FlushBlock(std::size_t BlockEnd, bool Last)
{
    LitFreq[256] = 1;
    std::uint8_t LitLen[LitLenSymbols];
    std::uint8_t DistLen[DistSymbols];
    BuildLengths(LitFreq, LitLenSymbols, 15, LitLen);
    BuildLengths(DistFreq, DistSymbols, 15, DistLen);

    // The code lengths of both codes as one sequence, run-length coded.
    unsigned NumLit = LitLenSymbols;
    while (NumLit > 257 && LitLen[NumLit - 1] == 0) {
        --NumLit;
    }
    unsigned NumDist = DistSymbols;
    while (NumDist > 1 && DistLen[NumDist - 1] == 0) {
        --NumDist;
    }
    std::uint8_t All[LitLenSymbols + DistSymbols];
    std::memcpy(All, LitLen, NumLit);
    std::memcpy(All + NumLit, DistLen, NumDist);
    const unsigned Total = NumLit + NumDist;
    struct Rle {
        std::uint8_t Sym;
        std::uint8_t Extra;
    };
    Rle Runs[LitLenSymbols + DistSymbols];
    unsigned RunCount = 0;
    std::uint32_t ClFreq[CodeLengthSymbols] = {};
    auto Emit = [&](unsigned Sym, unsigned Extra) {
        Runs[RunCount++] = {static_cast<std::uint8_t>(Sym), static_cast<std::uint8_t>(Extra)};
        ClFreq[Sym]++;
    };
    for (unsigned I = 0; I < Total;) {
        const unsigned L = All[I];
        unsigned Run = 1;
        while (I + Run < Total && All[I + Run] == L) {
            ++Run;
        }
        I += Run;
        if (L == 0) {
            while (Run >= 11) {
                const unsigned R = std::min(Run, 138u);
                Emit(18, R - 11);
                Run -= R;
            }
            if (Run >= 3) {
                Emit(17, Run - 3);
                Run = 0;
            }
        } else {
            Emit(L, 0);
            --Run;
            while (Run >= 3) {
                const unsigned R = std::min(Run, 6u);
                Emit(16, R - 3);
                Run -= R;
            }
        }
        for (; Run > 0; --Run) {
            Emit(L, 0);
        }
    }
    std::uint8_t ClLen[CodeLengthSymbols];
    BuildLengths(ClFreq, CodeLengthSymbols, 7, ClLen);
    unsigned NumCl = CodeLengthSymbols;
    while (NumCl > 4 && ClLen[CodeLengthOrder[NumCl - 1]] == 0) {
        --NumCl;
    }

    // Sizes in bits, without the 3 header bits.
    std::uint64_t DataBits = 0;
    std::uint64_t FixedBits = 0;
    const FixedCodes& F = Fixed();
    for (unsigned S = 0; S < LitLenSymbols; ++S) {
        if (LitFreq[S] != 0) {
            const unsigned Extra = S > 256 ? LengthExtra[S - 257] : 0;
            DataBits += static_cast<std::uint64_t>(LitFreq[S]) * (LitLen[S] + Extra);
            FixedBits += static_cast<std::uint64_t>(LitFreq[S]) * (F.LitLen[S] + Extra);
        }
    }
    for (unsigned S = 0; S < DistSymbols; ++S) {
        if (DistFreq[S] != 0) {
            DataBits += static_cast<std::uint64_t>(DistFreq[S]) * (DistLen[S] + DistExtra[S]);
            FixedBits += static_cast<std::uint64_t>(DistFreq[S]) * (5 + DistExtra[S]);
        }
    }
    std::uint64_t HeaderBits = 5 + 5 + 4 + 3 * NumCl;
    for (unsigned I = 0; I < RunCount; ++I) {
        const unsigned S = Runs[I].Sym;
        HeaderBits += ClLen[S] + (S == 16 ? 2 : S == 17 ? 3 : S == 18 ? 7 : 0);
    }
    const std::uint64_t DynamicBytes = (HeaderBits + DataBits + 10) >> 3;
    const std::uint64_t FixedBytes = (FixedBits + 10) >> 3;
    const std::size_t StoredLen = BlockEnd - BlockStart;

    if (StoredLen + 4 <= std::min(DynamicBytes, FixedBytes)) {
        SendStored(BlockStart, BlockEnd, Last);
    } else if (FixedBytes <= DynamicBytes) {
        PutBits(Last ? 3 : 2, 3);
        SendSymbols(F.LitCode, F.LitLen, F.DistCode, F.DistLen);
    } else {
        PutBits(Last ? 5 : 4, 3);
        PutBits(NumLit - 257, 5);
        PutBits(NumDist - 1, 5);
        PutBits(NumCl - 4, 4);
        FlushBits();
        for (unsigned I = 0; I < NumCl; ++I) {
            PutBits(ClLen[CodeLengthOrder[I]], 3);
            FlushBits();
        }
        std::uint16_t ClCode[CodeLengthSymbols];
        BuildCodes(ClLen, CodeLengthSymbols, ClCode);
        for (unsigned I = 0; I < RunCount; ++I) {
            const unsigned S = Runs[I].Sym;
            PutBits(ClCode[S], ClLen[S]);
            PutBits(Runs[I].Extra, S == 16 ? 2 : S == 17 ? 3 : S == 18 ? 7 : 0);
            FlushBits();
        }
        std::uint16_t LitCode[LitLenSymbols];
        std::uint16_t DistCodes[DistSymbols];
        BuildCodes(LitLen, LitLenSymbols, LitCode);
        BuildCodes(DistLen, DistSymbols, DistCodes);
        SendSymbols(LitCode, LitLen, DistCodes, DistLen);
    }

    SymbolCount = 0;
    BlockStart = BlockEnd;
    std::fill(std::begin(LitFreq), std::end(LitFreq), 0);
    std::fill(std::begin(DistFreq), std::end(DistFreq), 0);
}

// ---- Deflate decoder --------------------------------------------------------------
//
// Table entries (32 bits): bits 0-4 the code length to drop, bits 8-11 the
// extra bits of a length or distance (or a subtable's index bits), bits 12-15
// the kind, bits 16-31 the value (literal, base, or subtable offset).

constexpr std::uint32_t KindLiteral = 0;
constexpr std::uint32_t KindBase = 0x1000; // length or distance with extra bits
constexpr std::uint32_t KindEnd = 0x2000;  // end of block
constexpr std::uint32_t KindSub = 0x4000;  // pointer to a subtable
constexpr std::uint32_t KindBad = 0x8000;  // no code has this bit pattern
constexpr std::uint32_t KindMask = 0xF000;

constexpr unsigned LitTableBits = 11;
constexpr unsigned DistTableBits = 8;
constexpr unsigned ClTableBits = 7;

constexpr std::uint32_t Entry(unsigned Length, unsigned Extra, std::uint32_t Kind, unsigned Value)
{
    return (static_cast<std::uint32_t>(Value) << 16) | Kind | (Extra << 8) | Length;
}

// Room for every table the builder can make: the primary part plus at most
// one subtable of up to 2^(15 - bits) entries per symbol.
constexpr std::size_t LitTableSize = (1u << LitTableBits) + 288 * (1u << (15 - LitTableBits));
constexpr std::size_t DistTableSize = (1u << DistTableBits) + 32 * (1u << (15 - DistTableBits));

enum class CodeSet { CodeLengths, LitLen, Dist };

// Builds the decoding table of a canonical code. Over-subscribed codes are
// refused; so are incomplete ones, except a distance or literal/length code
// with a single one-bit code (and a distance code with none at all), which
// RFC 1951 streams may carry.
bool BuildTable(const std::uint8_t* Lengths, unsigned Count, CodeSet Set, unsigned TableBits,
                std::uint32_t* Table)
{
    unsigned LengthCount[16] = {};
    for (unsigned I = 0; I < Count; ++I) {
        LengthCount[Lengths[I]]++;
    }
    unsigned MaxLen = 0;
    int Left = 1;
    for (unsigned L = 1; L < 16; ++L) {
        Left = 2 * Left - static_cast<int>(LengthCount[L]);
        if (Left < 0) {
            return false;
        }
        if (LengthCount[L] != 0) {
            MaxLen = L;
        }
    }
    const std::uint32_t Bad = Entry(1, 0, KindBad, 0);
    if (MaxLen == 0) {
        if (Set != CodeSet::Dist) {
            return false;
        }
        std::fill(Table, Table + (1u << TableBits), Bad);
        return true;
    }
    if (Left > 0) {
        if (Set == CodeSet::CodeLengths || MaxLen != 1) {
            return false;
        }
        std::fill(Table, Table + (1u << TableBits), Bad);
    }

    // Symbols in canonical order.
    unsigned Offset[16] = {};
    for (unsigned L = 1; L < 15; ++L) {
        Offset[L + 1] = Offset[L] + LengthCount[L];
    }
    std::uint16_t Sorted[288];
    for (unsigned I = 0; I < Count; ++I) {
        if (Lengths[I] != 0) {
            Sorted[Offset[Lengths[I]]++] = static_cast<std::uint16_t>(I);
        }
    }
    const unsigned Used = Offset[15];

    auto Describe = [Set](unsigned Sym, unsigned Length) -> std::uint32_t {
        switch (Set) {
        case CodeSet::CodeLengths:
            return Entry(Length, 0, KindLiteral, Sym);
        case CodeSet::LitLen:
            if (Sym < 256) {
                return Entry(Length, 0, KindLiteral, Sym);
            }
            if (Sym == 256) {
                return Entry(Length, 0, KindEnd, 0);
            }
            if (Sym - 257 < 29) {
                return Entry(Length, LengthExtra[Sym - 257], KindBase, LengthBase[Sym - 257]);
            }
            return Entry(Length, 0, KindBad, 0);
        case CodeSet::Dist:
            if (Sym < 30) {
                return Entry(Length, DistExtra[Sym], KindBase, DistBase[Sym]);
            }
            return Entry(Length, 0, KindBad, 0);
        }
        return Entry(Length, 0, KindBad, 0);
    };

    // Canonical codes (first bit in the high position), in the same order.
    unsigned Codes[288];
    unsigned Code = 0;
    unsigned PrevLen = Lengths[Sorted[0]];
    for (unsigned K = 0; K < Used; ++K) {
        const unsigned Len = Lengths[Sorted[K]];
        Code <<= (Len - PrevLen);
        PrevLen = Len;
        Codes[K] = Code++;
    }

    const unsigned PrimarySize = 1u << TableBits;
    unsigned NextSub = PrimarySize;
    unsigned SubStart = 0;
    unsigned SubBits = 0;
    unsigned SubPrefix = ~0u;
    for (unsigned K = 0; K < Used; ++K) {
        const unsigned Sym = Sorted[K];
        const unsigned Len = Lengths[Sym];
        const unsigned Rev = ReverseBits(Codes[K], Len);
        if (Len <= TableBits) {
            const std::uint32_t E = Describe(Sym, Len);
            for (unsigned I = Rev; I < PrimarySize; I += 1u << Len) {
                Table[I] = E;
            }
            continue;
        }
        // Longer codes sharing their first TableBits bits are consecutive;
        // the last of them is the longest and sets their subtable's size.
        const unsigned Prefix = Codes[K] >> (Len - TableBits);
        if (Prefix != SubPrefix) {
            unsigned J = K;
            while (J + 1 < Used && Codes[J + 1] >> (Lengths[Sorted[J + 1]] - TableBits) == Prefix) {
                ++J;
            }
            SubPrefix = Prefix;
            SubStart = NextSub;
            SubBits = Lengths[Sorted[J]] - TableBits;
            NextSub += 1u << SubBits;
            Table[Rev & (PrimarySize - 1)] = Entry(TableBits, SubBits, KindSub, SubStart);
        }
        const std::uint32_t E = Describe(Sym, Len - TableBits);
        for (unsigned I = Rev >> TableBits; I < (1u << SubBits); I += 1u << (Len - TableBits)) {
            Table[SubStart + I] = E;
        }
    }
    return true;
}

struct FixedTables {
    std::uint32_t Lit[LitTableSize];
    std::uint32_t Dist[DistTableSize];
    FixedTables()
    {
        const FixedCodes& F = Fixed();
        std::uint8_t DistLen[32];
        std::fill(std::begin(DistLen), std::end(DistLen), 5);
        BuildTable(F.LitLen, 288, CodeSet::LitLen, LitTableBits, Lit);
        BuildTable(DistLen, 32, CodeSet::Dist, DistTableBits, Dist);
    }
};

const FixedTables& FixedDecode()
{
    static const FixedTables T;
    return T;
}

class Inflater {
public:
    Inflater(const std::uint8_t* Src, std::size_t SrcLen, std::uint8_t* Dst, std::size_t DstCap)
        : In(Src), InEnd(Src + SrcLen), OutBegin(Dst), Out(Dst), OutEnd(Dst + DstCap)
    {
    }
    std::optional<std::size_t> Run();

private:
    // Refills to at least 56 bits. Near the end of the input zero bytes are
    // made up and counted; using any of them means the stream was cut short.
    void Refill()
    {
        if (InEnd - In >= 8) {
            BitBuf |= Load64(In) << BitCount;
            In += (63 - BitCount) >> 3;
            BitCount |= 56;
            return;
        }
        while (BitCount <= 56) {
            std::uint64_t B = 0;
            if (In < InEnd) {
                B = *In++;
            } else {
                ++MadeUp;
            }
            BitBuf |= B << BitCount;
            BitCount += 8;
        }
    }
    // True when bits that were never in the input have been used.
    bool Overrun() const { return MadeUp != 0 && BitCount < MadeUp * 8; }
    unsigned Bits(unsigned N) const { return static_cast<unsigned>(BitBuf & ((1u << N) - 1)); }
    void Drop(unsigned N)
    {
        BitBuf >>= N;
        BitCount -= N;
    }
    bool Stored(bool& Last);
    bool Dynamic();
    bool Codes(const std::uint32_t* Lit, const std::uint32_t* Dist);

    const std::uint8_t* In;
    const std::uint8_t* InEnd;
    std::uint8_t* OutBegin;
    std::uint8_t* Out;
    std::uint8_t* OutEnd;
    std::uint64_t BitBuf = 0;
    unsigned BitCount = 0;
    std::size_t MadeUp = 0;
    std::uint32_t LitTable[LitTableSize];
    std::uint32_t DistTable[DistTableSize];
};

std::optional<std::size_t> Inflater::Run()
{
    bool Last = false;
    do {
        Refill();
        Last = Bits(1) != 0;
        const unsigned Type = (BitBuf >> 1) & 3;
        Drop(3);
        bool Ok = false;
        switch (Type) {
        case 0:
            Ok = Stored(Last);
            break;
        case 1:
            Ok = Codes(FixedDecode().Lit, FixedDecode().Dist);
            break;
        case 2:
            Ok = Dynamic() && Codes(LitTable, DistTable);
            break;
        default:
            break;
        }
        if (!Ok || Overrun()) {
            return std::nullopt;
        }
    } while (!Last);
    return static_cast<std::size_t>(Out - OutBegin);
}

bool Inflater::Stored(bool& Last)
{
    if (Overrun()) {
        return false;
    }
    // Back to the byte after the block header: whole bytes still in the bit
    // buffer are given back to the input.
    Drop(BitCount & 7);
    const std::size_t Unused = BitCount / 8;
    if (Unused < MadeUp) {
        return false;
    }
    In -= Unused - MadeUp;
    MadeUp = 0;
    BitBuf = 0;
    BitCount = 0;
    // Incompressible data comes as a run of stored blocks, one right after
    // the other: each next header sits at a byte boundary, so the run is
    // copied here block by block without going back through the bit reader.
    for (;;) {
        if (InEnd - In < 4) {
            return false;
        }
        const unsigned Len = In[0] | (In[1] << 8);
        const unsigned NLen = In[2] | (In[3] << 8);
        In += 4;
        if (Len != (~NLen & 0xFFFF) || static_cast<std::size_t>(InEnd - In) < Len ||
            static_cast<std::size_t>(OutEnd - Out) < Len) {
            return false;
        }
        // An empty block may come with no output buffer at all (Out null), and
        // memcpy must not be handed a null pointer even for no bytes.
        if (Len != 0) {
            std::memcpy(Out, In, Len);
        }
        Out += Len;
        In += Len;
        // The next header: its final bit, then type 0 (stored) in the next
        // two bits; the rest of that byte is padding.
        if (Last || In == InEnd || (In[0] & 6) != 0) {
            return true;
        }
        Last = (In[0] & 1) != 0;
        ++In;
    }
}

bool Inflater::Dynamic()
{
    Refill();
    const unsigned NumLit = Bits(5) + 257;
    const unsigned NumDist = ((BitBuf >> 5) & 31) + 1;
    const unsigned NumCl = ((BitBuf >> 10) & 15) + 4;
    Drop(14);
    if (NumLit > 286 || NumDist > 30) {
        return false;
    }
    std::uint8_t ClLen[CodeLengthSymbols] = {};
    for (unsigned I = 0; I < NumCl; ++I) {
        if (BitCount < 3) {
            Refill();
        }
        ClLen[CodeLengthOrder[I]] = static_cast<std::uint8_t>(Bits(3));
        Drop(3);
    }
    std::uint32_t ClTable[1u << ClTableBits];
    if (!BuildTable(ClLen, CodeLengthSymbols, CodeSet::CodeLengths, ClTableBits, ClTable)) {
        return false;
    }
    std::uint8_t Lengths[286 + 30];
    const unsigned Total = NumLit + NumDist;
    for (unsigned I = 0; I < Total;) {
        if (BitCount < 16) {
            Refill();
            if (Overrun()) {
                return false;
            }
        }
        const std::uint32_t E = ClTable[Bits(ClTableBits)];
        Drop(E & 31);
        const unsigned Sym = E >> 16;
        if (Sym < 16) {
            Lengths[I++] = static_cast<std::uint8_t>(Sym);
            continue;
        }
        unsigned Value = 0;
        unsigned Repeat = 0;
        if (Sym == 16) {
            if (I == 0) {
                return false;
            }
            Value = Lengths[I - 1];
            Repeat = 3 + Bits(2);
            Drop(2);
        } else if (Sym == 17) {
            Repeat = 3 + Bits(3);
            Drop(3);
        } else {
            Repeat = 11 + Bits(7);
            Drop(7);
        }
        if (Total - I < Repeat) {
            return false;
        }
        std::memset(Lengths + I, static_cast<int>(Value), Repeat);
        I += Repeat;
    }
    if (Overrun() || Lengths[256] == 0) {
        return false;
    }
    return BuildTable(Lengths, NumLit, CodeSet::LitLen, LitTableBits, LitTable) &&
           BuildTable(Lengths + NumLit, NumDist, CodeSet::Dist, DistTableBits, DistTable);
}

bool Inflater::Codes(const std::uint32_t* Lit, const std::uint32_t* Dist)
{
    constexpr std::uint64_t LitMask = (1u << LitTableBits) - 1;
    constexpr std::uint64_t DistMask = (1u << DistTableBits) - 1;
    // The decoder's state lives in locals here: stores through the output
    // pointer could alias members, which would keep them out of registers.
    const std::uint8_t* Src = In;
    std::uint8_t* Dst = Out;
    std::uint64_t Buf = BitBuf;
    unsigned Count = BitCount;
    std::size_t Fake = MadeUp;
    const std::uint8_t* const SrcEnd = InEnd;
    std::uint8_t* const DstBegin = OutBegin;
    std::uint8_t* const DstEnd = OutEnd;
    auto Finish = [&](bool Ok) {
        In = Src;
        Out = Dst;
        BitBuf = Buf;
        BitCount = Count;
        MadeUp = Fake;
        return Ok;
    };
    auto Skip = [&](unsigned N) {
        Buf >>= N;
        Count -= N;
    };
    // The extra bits of a length or distance entry, dropped with its code.
    auto ExtraBits = [&](std::uint32_t Ent) {
        const unsigned Code = Ent & 31;
        const unsigned Extra = (Ent >> 8) & 15;
        const auto V = static_cast<unsigned>((Buf >> Code) & ((std::uint64_t{1} << Extra) - 1));
        Skip(Code + Extra);
        return V;
    };
    for (;;) {
        // 56 bits hold a length code with its extra bits (20) and a distance
        // code with its extra bits (28), or three literals.
        std::uint32_t E;
        if (SrcEnd - Src >= 8 && DstEnd - Dst >= MaxMatch + 32 && Fake == 0) {
            // Far from both ends: no checks for literals, and runs of up to
            // three literals per refill.
            Buf |= Load64(Src) << Count;
            Src += (63 - Count) >> 3;
            Count |= 56;
            E = Lit[Buf & LitMask];
            if ((E & KindMask) == KindLiteral) {
                Skip(E & 31);
                *Dst++ = static_cast<std::uint8_t>(E >> 16);
                E = Lit[Buf & LitMask];
                if ((E & KindMask) == KindLiteral) {
                    Skip(E & 31);
                    *Dst++ = static_cast<std::uint8_t>(E >> 16);
                    E = Lit[Buf & LitMask];
                    if ((E & KindMask) == KindLiteral) {
                        Skip(E & 31);
                        *Dst++ = static_cast<std::uint8_t>(E >> 16);
                    }
                }
                continue;
            }
        } else {
            // Near the end of the input, zero bytes are made up and counted;
            // a code that used any of them was cut short.
            if (Fake != 0 && Count < Fake * 8) {
                return Finish(false);
            }
            while (Count <= 56) {
                std::uint64_t B = 0;
                if (Src < SrcEnd) {
                    B = *Src++;
                } else {
                    ++Fake;
                }
                Buf |= B << Count;
                Count += 8;
            }
            E = Lit[Buf & LitMask];
        }
        if (E & KindSub) {
            Skip(LitTableBits);
            E = Lit[(E >> 16) + (Buf & ((1u << ((E >> 8) & 15)) - 1))];
        }
        const std::uint32_t Kind = E & KindMask;
        if (Kind != KindBase) {
            Skip(E & 31);
            if (Kind != KindLiteral) {
                return Finish(Kind == KindEnd);
            }
            if (Dst == DstEnd) {
                return Finish(false);
            }
            *Dst++ = static_cast<std::uint8_t>(E >> 16);
            continue;
        }
        // The extra bits follow the code: both go with one shift.
        const unsigned Len = (E >> 16) + ExtraBits(E);
        std::uint32_t D = Dist[Buf & DistMask];
        if (D & KindSub) {
            Skip(DistTableBits);
            D = Dist[(D >> 16) + (Buf & ((1u << ((D >> 8) & 15)) - 1))];
        }
        if ((D & KindMask) != KindBase) {
            return Finish(false);
        }
        const std::size_t Distance = (D >> 16) + ExtraBits(D);
        if (Distance > static_cast<std::size_t>(Dst - DstBegin)) {
            return Finish(false);
        }
        const std::size_t Room = static_cast<std::size_t>(DstEnd - Dst);
        if (Room < Len) {
            return Finish(false);
        }
        const std::uint8_t* From = Dst - Distance;
        std::uint8_t* const End = Dst + Len;
        if (Room >= Len + 16) {
            // Whole words; the last may reach up to 15 bytes past the match,
            // which the next symbols overwrite.
            if (Distance >= 16) {
                do {
                    std::memcpy(Dst, From, 16);
                    Dst += 16;
                    From += 16;
                } while (Dst < End);
            } else if (Distance >= 8) {
                do {
                    std::memcpy(Dst, From, 8);
                    Dst += 8;
                    From += 8;
                } while (Dst < End);
            } else if (Distance == 1) {
                const std::uint64_t Run = *From * 0x0101010101010101ull;
                do {
                    Store64(Dst, Run);
                    Dst += 8;
                } while (Dst < End);
            } else {
                // A pattern shorter than a word repeats every Step bytes too
                // (a multiple of it of at least 8): once Step bytes lie behind
                // the pattern's start, whole words can be taken from there.
                const std::size_t Step = Distance * ((7 + Distance) / Distance);
                std::uint8_t* const Words = Dst + (Step - Distance);
                while (Dst < End && Dst < Words) {
                    *Dst = Dst[-static_cast<std::ptrdiff_t>(Distance)];
                    ++Dst;
                }
                while (Dst < End) {
                    std::memcpy(Dst, Dst - Step, 8);
                    Dst += 8;
                }
            }
        } else {
            while (Dst < End) {
                *Dst++ = *From++;
            }
        }
        Dst = End;
    }
}

// ---- zip writer ---------------------------------------------------------------------

struct CentralEntry {
    std::uint8_t Header[46];
    std::string Name;
};

bool WriteAll(int Fd, const void* Data, std::size_t Length)
{
    const auto* P = static_cast<const std::uint8_t*>(Data);
    while (Length > 0) {
        const ssize_t N = ::write(Fd, P, Length);
        if (N < 0 && errno == EINTR) {
            continue;
        }
        if (N <= 0) {
            return false;
        }
        P += N;
        Length -= static_cast<std::size_t>(N);
    }
    return true;
}

bool ReadFile(const std::string& Path, std::string& Data, struct stat& Info)
{
    // A named pipe or a device among the files would block the report.
    const int Fd = OpenRegularFile(Path.c_str());
    if (Fd < 0) {
        return false;
    }
    bool Ok = ::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode) && Info.st_size >= 0 &&
              static_cast<std::uint64_t>(Info.st_size) < 0xFFFFFFFFull;
    if (Ok) {
        try {
            Data.resize(static_cast<std::size_t>(Info.st_size));
        } catch (const std::bad_alloc&) {
            Ok = false;
        }
    }
    std::size_t Have = 0;
    while (Ok && Have < Data.size()) {
        const ssize_t N = ::read(Fd, Data.data() + Have, Data.size() - Have);
        if (N < 0 && errno == EINTR) {
            continue;
        }
        if (N <= 0) {
            Ok = false; // the file shrank or failed: not read whole
            break;
        }
        Have += static_cast<std::size_t>(N);
    }
    ::close(Fd);
    return Ok;
}

// A name a zip reader may unpack anywhere: no leading "/", no "." or ".."
// components, no empty ones. Invalid UTF-8 becomes U+FFFD, since the entry
// is flagged as UTF-8.
std::string SafeEntryName(std::string_view Name)
{
    std::string Out;
    std::size_t I = 0;
    while (I <= Name.size()) {
        const std::size_t Slash = std::min(Name.find('/', I), Name.size());
        const std::string_view Part = Name.substr(I, Slash - I);
        if (!Part.empty() && Part != "." && Part != "..") {
            if (!Out.empty()) {
                Out += '/';
            }
            Out += Part;
        }
        I = Slash + 1;
    }
    std::string Valid;
    Valid.reserve(Out.size());
    for (std::size_t P = 0; P < Out.size();) {
        const auto C = static_cast<std::uint8_t>(Out[P]);
        unsigned Need = 0;
        std::uint32_t Cp = 0;
        if (C < 0x80) {
            Valid += static_cast<char>(C);
            ++P;
            continue;
        }
        if (C >= 0xC2 && C <= 0xDF) {
            Need = 1;
            Cp = C & 0x1F;
        } else if (C >= 0xE0 && C <= 0xEF) {
            Need = 2;
            Cp = C & 0x0F;
        } else if (C >= 0xF0 && C <= 0xF4) {
            Need = 3;
            Cp = C & 0x07;
        }
        unsigned Got = 0;
        while (Need != 0 && Got < Need && P + 1 + Got < Out.size() &&
               (static_cast<std::uint8_t>(Out[P + 1 + Got]) & 0xC0) == 0x80) {
            Cp = (Cp << 6) | (static_cast<std::uint8_t>(Out[P + 1 + Got]) & 0x3F);
            ++Got;
        }
        const bool Ok = Need != 0 && Got == Need && !(Need == 2 && Cp < 0x800) &&
                        !(Need == 3 && (Cp < 0x10000 || Cp > 0x10FFFF)) &&
                        !(Cp >= 0xD800 && Cp <= 0xDFFF);
        if (Ok) {
            Valid.append(Out, P, Need + 1);
            P += Need + 1;
        } else {
            Valid += "\xEF\xBF\xBD";
            P += 1 + Got;
        }
    }
    return Valid;
}

// DOS date (high half) and time (low half) of a file time, in local time,
// clamped to what the format holds (1980 to 2107).
std::uint32_t DosDateTime(std::time_t When)
{
    std::tm T{};
    if (::localtime_r(&When, &T) == nullptr || T.tm_year < 80) {
        return (1u << 5 | 1u) << 16; // 1980-01-01 00:00:00
    }
    if (T.tm_year > 207) {
        return ((127u << 9 | 12u << 5 | 31u) << 16) | (23u << 11 | 59u << 5 | 29u);
    }
    const auto Date =
        static_cast<std::uint32_t>((T.tm_year - 80) << 9 | (T.tm_mon + 1) << 5 | T.tm_mday);
    const auto Time =
        static_cast<std::uint32_t>(T.tm_hour << 11 | T.tm_min << 5 | std::min(T.tm_sec, 59) / 2);
    return Date << 16 | Time;
}

} // namespace

// ---- public entry points ---------------------------------------------------------------

const std::array<std::uint32_t, 256> Crc32Table = CrcTableData;

std::uint32_t UpdateCrc32Table(std::uint32_t Crc, const void* Buffer, std::size_t Length)
{
    const auto* P = static_cast<const std::uint8_t*>(Buffer);
    for (std::size_t I = 0; I < Length; ++I) {
        Crc = CrcTableData[(Crc ^ P[I]) & 0xFF] ^ (Crc >> 8);
    }
    return Crc;
}

#ifdef KEL_HAVE_CLMUL
namespace {

__attribute__((target("sse2"))) inline __m128i Load128(const std::uint8_t* P)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(P));
}

// Folds 128 bits forward over the distance whose constants K holds (x^(d+32)
// and x^(d-32) modulo the polynomial, bit-reflected) and adds the data there.
__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i X, __m128i K, __m128i Data)
{
    const __m128i Lo = _mm_clmulepi64_si128(X, K, 0x00);
    const __m128i Hi = _mm_clmulepi64_si128(X, K, 0x11);
    return _mm_xor_si128(_mm_xor_si128(Lo, Hi), Data);
}

// The CRC of the data as a 128-bit remainder folded forward 64 bytes at a
// time with carry-less multiplies; the last 16 bytes of remainder and the
// tail go through the table form. The CRC register enters by exclusive-or
// into the first four bytes, as in the table form.
__attribute__((target("pclmul,sse2"))) std::uint32_t
CrcFold(std::uint32_t Crc, const std::uint8_t* P, std::size_t Length)
{
    if (Length < 64) {
        return UpdateCrc32Table(Crc, P, Length);
    }
    __m128i X0 = _mm_xor_si128(Load128(P), _mm_cvtsi32_si128(static_cast<int>(Crc)));
    __m128i X1 = Load128(P + 16);
    __m128i X2 = Load128(P + 32);
    __m128i X3 = Load128(P + 48);
    P += 64;
    Length -= 64;
    const __m128i K512 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    while (Length >= 64) {
        X0 = Fold(X0, K512, Load128(P));
        X1 = Fold(X1, K512, Load128(P + 16));
        X2 = Fold(X2, K512, Load128(P + 32));
        X3 = Fold(X3, K512, Load128(P + 48));
        P += 64;
        Length -= 64;
    }
    const __m128i K128 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    X0 = Fold(X0, K128, X1);
    X0 = Fold(X0, K128, X2);
    X0 = Fold(X0, K128, X3);
    while (Length >= 16) {
        X0 = Fold(X0, K128, Load128(P));
        P += 16;
        Length -= 16;
    }
    alignas(16) std::uint8_t Rest[16];
    _mm_store_si128(reinterpret_cast<__m128i*>(Rest), X0);
    return UpdateCrc32Table(UpdateCrc32Table(0, Rest, 16), P, Length);
}

} // namespace
#endif

bool Crc32FoldingAvailable()
{
#ifdef KEL_HAVE_CLMUL
    static const bool Have = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    return Have;
#else
    return false;
#endif
}

std::uint32_t UpdateCrc32Folding(std::uint32_t Crc, const void* Buffer, std::size_t Length)
{
#ifdef KEL_HAVE_CLMUL
    if (Crc32FoldingAvailable()) {
        return CrcFold(Crc, static_cast<const std::uint8_t*>(Buffer), Length);
    }
#endif
    return UpdateCrc32Table(Crc, Buffer, Length);
}

std::uint32_t UpdateCrc32(std::uint32_t Crc, const void* Buffer, std::size_t Length)
{
    return UpdateCrc32Folding(Crc, Buffer, Length);
}

std::size_t CompressBuf(const void* Source, void* Dest, std::size_t SourceLength,
                        std::size_t DestCapacity)
{
    if (Dest == nullptr || (Source == nullptr && SourceLength != 0)) {
        return 0;
    }
    try {
        Deflater D(static_cast<const std::uint8_t*>(Source), SourceLength,
                   static_cast<std::uint8_t*>(Dest), DestCapacity);
        return D.Run();
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

std::optional<std::size_t> UncompressBuf(const void* Source, void* Dest, std::size_t SourceLength,
                                         std::size_t DestCapacity)
{
    if (Source == nullptr && SourceLength != 0) {
        return std::nullopt;
    }
    if (Dest == nullptr) {
        DestCapacity = 0;
    }
    try {
        auto I = std::make_unique<Inflater>(static_cast<const std::uint8_t*>(Source), SourceLength,
                                            static_cast<std::uint8_t*>(Dest), DestCapacity);
        return I->Run();
    } catch (const std::bad_alloc&) {
        return std::nullopt;
    }
}

std::string UnpackStr(std::string_view Packed)
{
    if (Packed.size() < 13) {
        return {};
    }
    const auto* P = reinterpret_cast<const std::uint8_t*>(Packed.data());
    const std::size_t Size = Get32(P);
    const std::uint32_t Crc = Get32(P + 8);
    const std::size_t StreamLen = Packed.size() - 12;
    // No Deflate stream yields more than 258 bytes for every 2 bits (a length
    // code and a distance code of one bit each): 1032 bytes per byte of it.
    // Larger sizes are refused before anything is allocated for them.
    if (Size > MaxUnpackedSize || (Size > 258 && (Size - 259) / 1032 >= StreamLen)) {
        return {};
    }
    std::string Result;
    try {
        Result.resize(Size);
    } catch (const std::bad_alloc&) {
        return {};
    }
    const auto Produced = UncompressBuf(P + 12, Result.data(), StreamLen, Size);
    if (!Produced) {
        return {};
    }
    Result.resize(*Produced);
    if (!Result.empty() && ~UpdateCrc32(0xFFFFFFFF, Result.data(), Result.size()) != Crc) {
        Result.clear();
    }
    return Result;
}

bool ZipFiles(const std::string& ArchiveName, const std::vector<std::string>& Paths,
              const std::vector<std::string>& Names)
{
    // Reports hold personal data: the archive is the owner's alone.
    const int Fd =
        ::open(ArchiveName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (Fd < 0) {
        return false;
    }
    bool Ok = ::fchmod(Fd, 0600) == 0;
    std::vector<CentralEntry> Central;
    std::uint64_t Offset = 0;
    std::uint64_t CentralSize = 0;
    constexpr std::uint64_t Limit = 0xFFFFFFFFull;

    for (std::size_t I = 0; Ok && I < Paths.size() && Central.size() < 65535; ++I) {
        const std::string& Path = Paths[I];
        std::string Name;
        if (I < Names.size()) {
            Name = SafeEntryName(Names[I]);
        }
        if (Name.empty()) {
            Name = SafeEntryName(Path.substr(Path.rfind('/') + 1));
        }
        if (Name.empty() || Name.size() > 0xFFFF) {
            continue;
        }
        std::string Data;
        struct stat Info {};
        if (!ReadFile(Path, Data, Info)) {
            continue;
        }
        std::string Packed;
        std::size_t PackedLen = 0;
        try {
            Packed.resize(CompressBufCapacity(Data.size()));
            PackedLen = CompressBuf(Data.data(), Packed.data(), Data.size(), Packed.size());
        } catch (const std::bad_alloc&) {
            continue;
        }
        // Entry, the central directory so far with this entry's record, and
        // the end record must all stay below 4 GiB.
        const std::uint64_t EntryEnd = Offset + 30 + Name.size() + PackedLen;
        if (PackedLen == 0 || EntryEnd + CentralSize + 46 + Name.size() + 22 > Limit) {
            continue;
        }
        const std::uint32_t Crc = ~UpdateCrc32(0xFFFFFFFF, Data.data(), Data.size());
        const std::uint32_t When = DosDateTime(Info.st_mtime);

        std::uint8_t Local[30];
        Put32(Local, 0x04034b50);
        Put16(Local + 4, 20);
        Put16(Local + 6, 0x0800);
        Put16(Local + 8, 8);
        Put16(Local + 10, When & 0xFFFF);
        Put16(Local + 12, When >> 16);
        Put32(Local + 14, Crc);
        Put32(Local + 18, static_cast<std::uint32_t>(PackedLen));
        Put32(Local + 22, static_cast<std::uint32_t>(Data.size()));
        Put16(Local + 26, static_cast<unsigned>(Name.size()));
        Put16(Local + 28, 0);

        CentralEntry C;
        Put32(C.Header, 0x02014b50);
        Put16(C.Header + 4, 3 << 8 | 20); // made by Unix, so the mode below counts
        std::memcpy(C.Header + 6, Local + 4, 24);
        Put16(C.Header + 30, 0);
        Put16(C.Header + 32, 0);
        Put16(C.Header + 34, 0);
        Put16(C.Header + 36, 0);
        Put32(C.Header + 38, static_cast<std::uint32_t>(Info.st_mode & 0xFFFF) << 16);
        Put32(C.Header + 42, static_cast<std::uint32_t>(Offset));
        C.Name = Name;

        Ok = WriteAll(Fd, Local, sizeof Local) && WriteAll(Fd, Name.data(), Name.size()) &&
             WriteAll(Fd, Packed.data(), PackedLen);
        Offset = EntryEnd;
        CentralSize += 46 + Name.size();
        Central.push_back(std::move(C));
    }

    Ok = Ok && !Central.empty();
    for (std::size_t I = 0; Ok && I < Central.size(); ++I) {
        Ok = WriteAll(Fd, Central[I].Header, sizeof Central[I].Header) &&
             WriteAll(Fd, Central[I].Name.data(), Central[I].Name.size());
    }
    if (Ok) {
        std::uint8_t End[22];
        Put32(End, 0x06054b50);
        Put16(End + 4, 0);
        Put16(End + 6, 0);
        Put16(End + 8, static_cast<unsigned>(Central.size()));
        Put16(End + 10, static_cast<unsigned>(Central.size()));
        Put32(End + 12, static_cast<std::uint32_t>(CentralSize));
        Put32(End + 16, static_cast<std::uint32_t>(Offset));
        Put16(End + 20, 0);
        Ok = WriteAll(Fd, End, sizeof End);
    }
    Ok = (::close(Fd) == 0) && Ok;
    if (!Ok) {
        ::unlink(ArchiveName.c_str());
    }
    return Ok;
}
