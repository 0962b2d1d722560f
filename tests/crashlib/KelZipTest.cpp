// Deflate, CRC-32 and the packed container, checked against zlib.
#include "crashlib/kelZip.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

// zlib's raw inflate of a whole stream; nothing when it does not end cleanly.
std::optional<Bytes> ZlibInflate(const Bytes& Stream, std::size_t Capacity)
{
    z_stream Z{};
    if (inflateInit2(&Z, -15) != Z_OK) {
        return std::nullopt;
    }
    Bytes Out(Capacity);
    Z.next_in = const_cast<Bytes::value_type*>(Stream.data());
    Z.avail_in = static_cast<uInt>(Stream.size());
    Z.next_out = Out.data();
    Z.avail_out = static_cast<uInt>(Out.size());
    const int Rc = inflate(&Z, Z_FINISH);
    Out.resize(Z.total_out);
    inflateEnd(&Z);
    if (Rc != Z_STREAM_END) {
        return std::nullopt;
    }
    return Out;
}

Bytes ZlibDeflate(const Bytes& Data, int Level, int Strategy, int MemLevel = 8)
{
    z_stream Z{};
    EXPECT_EQ(deflateInit2(&Z, Level, Z_DEFLATED, -15, MemLevel, Strategy), Z_OK);
    Bytes Out(deflateBound(&Z, Data.size()) + 16);
    Z.next_in = const_cast<Bytes::value_type*>(Data.data());
    Z.avail_in = static_cast<uInt>(Data.size());
    Z.next_out = Out.data();
    Z.avail_out = static_cast<uInt>(Out.size());
    EXPECT_EQ(deflate(&Z, Z_FINISH), Z_STREAM_END);
    Out.resize(Z.total_out);
    deflateEnd(&Z);
    return Out;
}

Bytes Compress(const Bytes& Data)
{
    Bytes Out(CompressBufCapacity(Data.size()));
    const std::size_t N = CompressBuf(Data.data(), Out.data(), Data.size(), Out.size());
    EXPECT_GT(N, 0u);
    Out.resize(N);
    return Out;
}

std::optional<Bytes> Uncompress(const Bytes& Stream, std::size_t Capacity)
{
    Bytes Out(Capacity);
    const auto N = UncompressBuf(Stream.data(), Out.data(), Stream.size(), Out.size());
    if (!N) {
        return std::nullopt;
    }
    Out.resize(*N);
    return Out;
}

// The four kinds of data the encoder meets: incompressible, constant, text
// and long repeats with small changes.
enum class Kind { Random, Zero, Text, Repetitive };

Bytes MakeData(Kind K, std::size_t Size, std::uint32_t Seed)
{
    std::mt19937 Rng(Seed);
    Bytes Out;
    Out.reserve(Size);
    static const char* const Words[] = {
        "the ", "crash ",  "report ", "thread ", "stack ", "address ", "module ", "0x7f3a ",
        "\n",   "error: ", "frame ",  "in ",     "at ",    "{",        "}\n"};
    switch (K) {
    case Kind::Random:
        while (Out.size() < Size) {
            Out.push_back(static_cast<std::uint8_t>(Rng()));
        }
        break;
    case Kind::Zero:
        Out.assign(Size, 0);
        break;
    case Kind::Text:
        while (Out.size() < Size) {
            const char* W = Words[Rng() % std::size(Words)];
            for (; *W && Out.size() < Size; ++W) {
                Out.push_back(static_cast<std::uint8_t>(*W));
            }
        }
        break;
    case Kind::Repetitive: {
        Bytes Pattern(1 + Rng() % 300);
        for (auto& B : Pattern) {
            B = static_cast<std::uint8_t>(Rng() % 4);
        }
        while (Out.size() < Size) {
            Out.push_back(Pattern[Out.size() % Pattern.size()] ^ (Rng() % 97 == 0 ? 1 : 0));
        }
        break;
    }
    }
    return Out;
}

Bytes ReadFileBytes(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return Bytes((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
}

// Sizes around every edge of the encoder (match lengths, symbol buffer,
// window, stored-block limit) and some in between, up to 70,000.
std::vector<std::size_t> SampleSizes()
{
    std::vector<std::size_t> Sizes = {
        0,     1,     2,     3,     4,     5,     6,     7,     8,     15,    16,    17,    63,
        64,    65,    257,   258,   259,   260,   261,   262,   263,   1000,  4095,  4096,  16383,
        16384, 16385, 32505, 32506, 32507, 32767, 32768, 32769, 65535, 65536, 65537, 69999, 70000};
    std::mt19937 Rng(7);
    for (int I = 0; I < 40; ++I) {
        Sizes.push_back(Rng() % 70001);
    }
    return Sizes;
}

} // namespace

// ---- CRC-32 ----

TEST(CrashlibCrc32, KnownValues)
{
    for (auto Crc : {&UpdateCrc32, &UpdateCrc32Table, &UpdateCrc32Folding}) {
        EXPECT_EQ(~Crc(0xFFFFFFFF, "", 0), 0u);
        EXPECT_EQ(~Crc(0xFFFFFFFF, "abc", 3), 0x352441C2u);
        EXPECT_EQ(~Crc(0xFFFFFFFF, "123456789", 9), 0xCBF43926u);
    }
    // The table is the one zlib computes from the same polynomial.
    const z_crc_t* ZTable = get_crc_table();
    for (int I = 0; I < 256; ++I) {
        ASSERT_EQ(Crc32Table[I], ZTable[I]) << I;
    }
}

TEST(CrashlibCrc32, BothFormsEqualZlibAtEveryLengthAndMisalignment)
{
    if (!Crc32FoldingAvailable()) {
        std::fprintf(stderr, "no PCLMULQDQ here: the folding form runs as the table form\n");
    }
    const Bytes Data = MakeData(Kind::Random, 4096 + 64, 1);
    for (std::size_t Offset = 0; Offset < 64; ++Offset) {
        for (std::size_t Len = 0; Len <= 4096; Len += (Offset < 16 ? 1 : 61)) {
            const std::uint8_t* P = Data.data() + Offset;
            const auto Expected = static_cast<std::uint32_t>(crc32(0, P, static_cast<uInt>(Len)));
            ASSERT_EQ(~UpdateCrc32Table(0xFFFFFFFF, P, Len), Expected) << Offset << " " << Len;
            ASSERT_EQ(~UpdateCrc32Folding(0xFFFFFFFF, P, Len), Expected) << Offset << " " << Len;
        }
    }
}

TEST(CrashlibCrc32, ContinuesAcrossPieces)
{
    const Bytes Data = MakeData(Kind::Text, 10000, 2);
    const auto Whole = static_cast<std::uint32_t>(crc32(0, Data.data(), Data.size()));
    for (std::size_t Cut : {0, 1, 15, 64, 100, 4097, 9999, 10000}) {
        std::uint32_t C = UpdateCrc32(0xFFFFFFFF, Data.data(), Cut);
        C = UpdateCrc32(C, Data.data() + Cut, Data.size() - Cut);
        EXPECT_EQ(~C, Whole) << Cut;
    }
}

// ---- Deflate encoder ----

TEST(CrashlibDeflate, ZlibInflatesEverySampledSizeAndKind)
{
    std::uint32_t Seed = 100;
    for (Kind K : {Kind::Random, Kind::Zero, Kind::Text, Kind::Repetitive}) {
        for (std::size_t Size : SampleSizes()) {
            const Bytes Data = MakeData(K, Size, Seed++);
            const Bytes Stream = Compress(Data);
            ASSERT_LE(Stream.size(), CompressBufCapacity(Size));
            const auto Back = ZlibInflate(Stream, Size + 1);
            ASSERT_TRUE(Back.has_value()) << static_cast<int>(K) << " size " << Size;
            ASSERT_EQ(*Back, Data) << static_cast<int>(K) << " size " << Size;
            const auto Ours = Uncompress(Stream, Size);
            ASSERT_TRUE(Ours.has_value());
            ASSERT_EQ(*Ours, Data);
        }
    }
}

TEST(CrashlibDeflate, EmptyInputIsOneEmptyFinalBlock)
{
    std::uint8_t Out[16];
    ASSERT_EQ(CompressBuf("", Out, 0, sizeof Out), 2u);
    EXPECT_EQ(Out[0], 0x03); // final, fixed codes, end of block
    EXPECT_EQ(Out[1], 0x00);
}

TEST(CrashlibDeflate, ZlibInflatesEveryFileOfTheCheckout)
{
    const char* Root = std::getenv("TOLVEX_SOURCE_DIR");
    if (Root == nullptr) {
        GTEST_SKIP() << "TOLVEX_SOURCE_DIR is not set (ctest sets it)";
    }
    const std::string Command = std::string("git -C '") + Root + "' ls-files -z";
    FILE* List = ::popen(Command.c_str(), "r");
    ASSERT_NE(List, nullptr);
    std::string Names;
    for (int C; (C = std::fgetc(List)) != EOF;) {
        Names += static_cast<char>(C);
    }
    ASSERT_EQ(::pclose(List), 0);
    int Files = 0;
    std::size_t OurTotal = 0;
    std::size_t ZlibTotal = 0;
    for (std::size_t I = 0; I < Names.size();) {
        const std::size_t End = Names.find('\0', I);
        const std::string Name = Names.substr(I, End - I);
        I = End + 1;
        const Bytes Data = ReadFileBytes(std::string(Root) + "/" + Name);
        const Bytes Stream = Compress(Data);
        const auto Back = ZlibInflate(Stream, Data.size() + 1);
        ASSERT_TRUE(Back.has_value()) << Name;
        ASSERT_EQ(*Back, Data) << Name;
        OurTotal += Stream.size();
        ZlibTotal += ZlibDeflate(Data, 2, Z_DEFAULT_STRATEGY).size();
        ++Files;
    }
    EXPECT_GT(Files, 100);
    // The same parameters as zlib's level 2: the output stays about as small.
    EXPECT_LE(OurTotal, ZlibTotal + ZlibTotal / 100) << OurTotal << " vs zlib " << ZlibTotal;
}

TEST(CrashlibDeflate, SkewedCodesStayWithinTheirLengthLimits)
{
    // Matches whose distances follow the Fibonacci numbers, one literal
    // between them: the code-length code of such blocks would want codes
    // longer than its 7 bits.
    std::mt19937 Rng(1);
    Bytes Data;
    for (int I = 0; I < 1000; ++I) {
        Data.push_back(static_cast<std::uint8_t>(Rng()));
    }
    static const unsigned Distance[] = {1,  2,  3,  4,  5,   7,   9,   13,  17, 25,
                                        33, 49, 65, 97, 129, 193, 257, 385, 513};
    std::vector<unsigned> Schedule;
    for (unsigned K = 0, A = 1, B = 1; K < std::size(Distance); ++K) {
        Schedule.insert(Schedule.end(), A, Distance[K]);
        B = A + B;
        A = B - A;
    }
    std::shuffle(Schedule.begin(), Schedule.end(), Rng);
    for (unsigned D : Schedule) {
        for (int I = 0; I < 16; ++I) {
            Data.push_back(Data[Data.size() - D]);
        }
        Data.push_back(static_cast<std::uint8_t>(Rng()));
    }
    const Bytes Stream = Compress(Data);
    const auto Back = ZlibInflate(Stream, Data.size());
    ASSERT_TRUE(Back.has_value());
    EXPECT_EQ(*Back, Data);
}

TEST(CrashlibDeflate, NeverWritesPastItsCapacity)
{
    for (Kind K : {Kind::Random, Kind::Text, Kind::Zero}) {
        const Bytes Data = MakeData(K, 50000, 9);
        const std::size_t Needed = Compress(Data).size();
        for (std::size_t Capacity :
             {std::size_t{0}, std::size_t{1}, std::size_t{7}, Needed / 2, Needed - 8, Needed - 1}) {
            Bytes Out(Capacity + 64, 0xA5);
            EXPECT_EQ(CompressBuf(Data.data(), Out.data(), Data.size(), Capacity), 0u) << Capacity;
            EXPECT_TRUE(std::all_of(Out.begin() + static_cast<std::ptrdiff_t>(Capacity), Out.end(),
                                    [](std::uint8_t B) { return B == 0xA5; }))
                << "written past " << Capacity;
        }
        Bytes Exact(Needed);
        EXPECT_EQ(CompressBuf(Data.data(), Exact.data(), Data.size(), Needed), Needed);
    }
}

// ---- Deflate decoder ----

TEST(CrashlibInflate, ReadsZlibAtEveryLevelAndStrategy)
{
    const Bytes Mixed = [] {
        Bytes M = MakeData(Kind::Text, 60000, 3);
        const Bytes R = MakeData(Kind::Random, 20000, 4);
        const Bytes P = MakeData(Kind::Repetitive, 60000, 5);
        M.insert(M.end(), R.begin(), R.end());
        M.insert(M.end(), P.begin(), P.end());
        return M;
    }();
    // Runs of short patterns (a pixel repeated, say): matches that overlap
    // their own output at distances below a word.
    const Bytes Periods = [] {
        Bytes P;
        std::mt19937 Rng(8);
        while (P.size() < 100000) {
            const std::size_t Period = 1 + Rng() % 9;
            const std::size_t Run = Period + Rng() % 600;
            const std::size_t Start = P.size();
            for (std::size_t I = 0; I < Run; ++I) {
                P.push_back(I < Period ? static_cast<std::uint8_t>(Rng()) : P[Start + I - Period]);
            }
        }
        return P;
    }();
    const std::vector<Bytes> Inputs = {Bytes{}, Bytes{'x'}, MakeData(Kind::Zero, 100000, 6), Mixed,
                                       Periods};
    for (int Strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED}) {
        for (int Level = 0; Level <= 9; ++Level) {
            for (int MemLevel : {1, 8, 9}) {
                for (const Bytes& Data : Inputs) {
                    const Bytes Stream = ZlibDeflate(Data, Level, Strategy, MemLevel);
                    const auto Back = Uncompress(Stream, Data.size());
                    ASSERT_TRUE(Back.has_value())
                        << "level " << Level << " strategy " << Strategy << " size " << Data.size();
                    ASSERT_EQ(*Back, Data);
                }
            }
        }
    }
}

namespace {

// Writes a Deflate stream bit by bit, for streams no encoder would make.
class BitWriter {
public:
    void Bits(unsigned Value, unsigned Count)
    {
        for (unsigned I = 0; I < Count; ++I) {
            Bit((Value >> I) & 1);
        }
    }
    // A Huffman code, first bit first.
    void Code(unsigned Value, unsigned Length)
    {
        for (unsigned I = Length; I-- > 0;) {
            Bit((Value >> I) & 1);
        }
    }
    void Byte(std::uint8_t B) { Bits(B, 8); }
    void Align()
    {
        while (Used != 0) {
            Bit(0);
        }
    }
    Bytes Done()
    {
        Align();
        return Out;
    }

private:
    void Bit(unsigned B)
    {
        if (Used == 0) {
            Out.push_back(0);
        }
        Out.back() |= static_cast<std::uint8_t>(B << Used);
        Used = (Used + 1) & 7;
    }
    Bytes Out;
    unsigned Used = 0;
};

// A dynamic block header whose code lengths go out as plain code-length
// symbols 0..15, each coded in 4 bits (16 codes of 4 bits fill the code
// space exactly).
void DynamicHeader(BitWriter& W, bool Final, const std::vector<unsigned>& LitLens,
                   const std::vector<unsigned>& DistLens)
{
    W.Bits(Final ? 1 : 0, 1);
    W.Bits(2, 2);
    W.Bits(static_cast<unsigned>(LitLens.size() - 257), 5);
    W.Bits(static_cast<unsigned>(DistLens.size() - 1), 5);
    W.Bits(19 - 4, 4);
    static const unsigned Order[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                       11, 4,  12, 3, 13, 2, 14, 1, 15};
    for (unsigned Sym : Order) {
        W.Bits(Sym < 16 ? 4 : 0, 3);
    }
    // Canonical code for symbols 0..15, all of length 4: the symbol itself.
    for (unsigned L : LitLens) {
        W.Code(L, 4);
    }
    for (unsigned L : DistLens) {
        W.Code(L, 4);
    }
}

struct Verdict {
    bool Ours;
    bool Zlib;
};

Verdict Judge(const Bytes& Stream, std::size_t Capacity = 1 << 16)
{
    return {Uncompress(Stream, Capacity).has_value(), ZlibInflate(Stream, Capacity).has_value()};
}

} // namespace

TEST(CrashlibInflate, RejectsMalformedStreamsLikeZlib)
{
    struct Case {
        const char* What;
        Bytes Stream;
        bool Valid;
    };
    std::vector<Case> Cases;
    {
        BitWriter W; // stored block whose NLEN is not the complement of LEN
        W.Bits(1, 1);
        W.Bits(0, 2);
        W.Align();
        for (int B : {3, 0, 0xFC, 0xFE, 0x61, 0x62, 0x63}) {
            W.Byte(static_cast<std::uint8_t>(B));
        }
        Cases.push_back({"bad stored length", W.Done(), false});
    }
    {
        BitWriter W; // stored block cut short
        W.Bits(1, 1);
        W.Bits(0, 2);
        W.Align();
        for (int B : {3, 0, 0xFC, 0xFF, 0x61, 0x62}) {
            W.Byte(static_cast<std::uint8_t>(B));
        }
        Cases.push_back({"stored block past the input", W.Done(), false});
    }
    {
        BitWriter W;
        W.Bits(1, 1);
        W.Bits(3, 2);
        Cases.push_back({"block type 3", W.Done(), false});
    }
    {
        BitWriter W; // fixed codes: 'a', then a match reaching before the start
        W.Bits(1, 1);
        W.Bits(1, 2);
        W.Code(0x30 + 'a', 8);
        W.Code(1, 7); // length 3
        W.Code(1, 5); // distance 2
        W.Code(0, 7);
        Cases.push_back({"distance before the start", W.Done(), false});
    }
    {
        BitWriter W; // fixed codes: literal/length symbol 286
        W.Bits(1, 1);
        W.Bits(1, 2);
        W.Code(0xC0 + 6, 8);
        W.Code(0, 7);
        Cases.push_back({"fixed symbol 286", W.Done(), false});
    }
    {
        BitWriter W; // fixed codes: 'a', 'a' then distance symbol 30
        W.Bits(1, 1);
        W.Bits(1, 2);
        W.Code(0x30 + 'a', 8);
        W.Code(0x30 + 'a', 8);
        W.Code(1, 7);
        W.Code(30, 5);
        W.Code(0, 7);
        Cases.push_back({"fixed distance 30", W.Done(), false});
    }
    {
        BitWriter W; // a complete fixed block: 'a', then 3 more by distance 1
        W.Bits(1, 1);
        W.Bits(1, 2);
        W.Code(0x30 + 'a', 8);
        W.Code(0x30 + 'a', 8);
        W.Code(1, 7);
        W.Code(0, 5);
        W.Code(0, 7);
        Cases.push_back({"valid fixed block", W.Done(), true});
    }
    // Dynamic blocks: literal/length lengths for 257 symbols plus distances.
    auto LitOnly = [](unsigned EobLen, unsigned ALen) {
        std::vector<unsigned> L(257, 0);
        L['a'] = ALen;
        L[256] = EobLen;
        return L;
    };
    {
        BitWriter W; // literal code of two 1-bit codes; no distance code at all
        DynamicHeader(W, true, LitOnly(1, 1), {0});
        W.Code(0, 1); // 'a'
        W.Code(1, 1); // end
        Cases.push_back({"no distance codes", W.Done(), true});
    }
    {
        BitWriter W; // end of block as the only, one-bit code
        DynamicHeader(W, true, LitOnly(1, 0), {1});
        W.Code(0, 1);
        Cases.push_back({"single one-bit codes", W.Done(), true});
    }
    {
        BitWriter W; // three one-bit codes
        std::vector<unsigned> L = LitOnly(1, 1);
        L['b'] = 1;
        DynamicHeader(W, true, L, {1});
        W.Code(0, 1);
        Cases.push_back({"over-subscribed literal code", W.Done(), false});
    }
    {
        BitWriter W; // a two-bit and a one-bit code leave a quarter unused
        DynamicHeader(W, true, LitOnly(2, 1), {1});
        W.Code(0, 1);
        W.Code(2, 2);
        Cases.push_back({"incomplete literal code", W.Done(), false});
    }
    {
        BitWriter W; // incomplete distance code with codes of two bits
        DynamicHeader(W, true, LitOnly(1, 1), {2, 2, 2});
        W.Code(1, 1);
        Cases.push_back({"incomplete distance code", W.Done(), false});
    }
    {
        BitWriter W; // no code for end of block
        DynamicHeader(W, true, LitOnly(0, 1), {1});
        Cases.push_back({"no end-of-block code", W.Done(), false});
    }
    {
        BitWriter W; // the unused half of a one-code literal code
        DynamicHeader(W, true, LitOnly(1, 0), {1});
        W.Code(1, 1);
        Cases.push_back({"unused code", W.Done(), false});
    }
    {
        BitWriter W; // HLIT of 287 (30 + 257)
        W.Bits(1, 1);
        W.Bits(2, 2);
        W.Bits(30, 5);
        W.Bits(0, 5);
        W.Bits(15, 4);
        Cases.push_back({"too many length symbols", W.Done(), false});
    }
    {
        BitWriter W; // code-length code with a single code: incomplete
        W.Bits(1, 1);
        W.Bits(2, 2);
        W.Bits(0, 5);
        W.Bits(0, 5);
        W.Bits(0, 4);
        W.Bits(0, 3);
        W.Bits(0, 3);
        W.Bits(0, 3);
        W.Bits(1, 3); // symbol 0: one bit
        for (int I = 0; I < 300; ++I) {
            W.Code(0, 1);
        }
        Cases.push_back({"incomplete code-length code", W.Done(), false});
    }
    {
        BitWriter W; // code-length code: 16 (repeat) first, nothing to repeat
        W.Bits(1, 1);
        W.Bits(2, 2);
        W.Bits(0, 5);
        W.Bits(0, 5);
        W.Bits(0, 4);
        W.Bits(1, 3); // 16: one bit
        W.Bits(0, 3);
        W.Bits(0, 3);
        W.Bits(1, 3); // 0: one bit
        W.Code(1, 1); // symbol 16
        W.Bits(0, 2);
        for (int I = 0; I < 300; ++I) {
            W.Code(0, 1);
        }
        Cases.push_back({"repeat with nothing before", W.Done(), false});
    }
    {
        BitWriter W; // zeros repeated past the last length
        W.Bits(1, 1);
        W.Bits(2, 2);
        W.Bits(0, 5);
        W.Bits(0, 5);
        W.Bits(0, 4);
        W.Bits(0, 3);
        W.Bits(0, 3);
        W.Bits(1, 3); // 18: one bit
        W.Bits(1, 3); // 0: one bit
        W.Code(1, 1);
        W.Bits(127, 7); // 138 zeros
        W.Code(1, 1);
        W.Bits(127, 7); // 138 more: past the 258 lengths
        Cases.push_back({"repeat past the end", W.Done(), false});
    }
    for (const Case& C : Cases) {
        const Verdict V = Judge(C.Stream);
        EXPECT_EQ(V.Zlib, C.Valid) << C.What << " (zlib)";
        EXPECT_EQ(V.Ours, C.Valid) << C.What;
    }
}

TEST(CrashlibInflate, RejectsEveryTruncationAndOutputPastCapacity)
{
    for (Kind K : {Kind::Text, Kind::Random, Kind::Repetitive}) {
        const Bytes Data = MakeData(K, 3000, 11);
        for (const Bytes& Stream : {Compress(Data), ZlibDeflate(Data, 6, Z_DEFAULT_STRATEGY)}) {
            for (std::size_t Len = 0; Len < Stream.size(); ++Len) {
                const Bytes Cut(Stream.begin(), Stream.begin() + static_cast<std::ptrdiff_t>(Len));
                ASSERT_FALSE(Uncompress(Cut, Data.size() * 2).has_value()) << Len;
            }
            EXPECT_FALSE(Uncompress(Stream, Data.size() - 1).has_value());
            EXPECT_FALSE(Uncompress(Stream, 0).has_value());
            const auto Exact = Uncompress(Stream, Data.size());
            ASSERT_TRUE(Exact.has_value());
            EXPECT_EQ(*Exact, Data);
        }
    }
}

namespace {

// zlib's raw stream of Data, flushed (an empty stored block at a byte
// boundary) after every Chunk bytes.
Bytes ZlibDeflateFlushed(const Bytes& Data, int MemLevel, std::size_t Chunk)
{
    z_stream Z{};
    EXPECT_EQ(deflateInit2(&Z, 6, Z_DEFLATED, -15, MemLevel, Z_DEFAULT_STRATEGY), Z_OK);
    Bytes Out(deflateBound(&Z, Data.size()) * 2 + Data.size() / Chunk * 8 + 64);
    Z.next_out = Out.data();
    Z.avail_out = static_cast<uInt>(Out.size());
    std::size_t At = 0;
    do {
        const std::size_t N = std::min(Chunk, Data.size() - At);
        Z.next_in = const_cast<Bytes::value_type*>(Data.data()) + At;
        Z.avail_in = static_cast<uInt>(N);
        At += N;
        EXPECT_NE(deflate(&Z, At == Data.size() ? Z_FINISH : Z_SYNC_FLUSH), Z_STREAM_ERROR);
    } while (At < Data.size());
    Out.resize(Z.total_out);
    deflateEnd(&Z);
    return Out;
}

} // namespace

TEST(CrashlibInflate, RunsOfStoredBlocksEqualZlibAndFailWhole)
{
    // Incompressible data is stored in blocks as long as the encoder's symbol
    // buffer (memory level) or its flushes make them, then compressible data
    // follows in coded blocks.
    Bytes Data = MakeData(Kind::Random, 40000, 21);
    const Bytes Text = MakeData(Kind::Text, 5000, 22);
    Data.insert(Data.end(), Text.begin(), Text.end());
    std::vector<Bytes> Streams;
    for (int MemLevel : {1, 2, 4, 9}) {
        for (std::size_t Chunk : {std::size_t{1}, std::size_t{7}, std::size_t{300}, Data.size()})
            Streams.push_back(ZlibDeflateFlushed(Data, MemLevel, Chunk));
    }
    for (const Bytes& S : Streams) {
        ASSERT_EQ(ZlibInflate(S, Data.size()), Data);
        EXPECT_EQ(Uncompress(S, Data.size()), Data);
    }
    // Every cut inside a run and every changed length of a block in it is
    // refused as a whole, as zlib refuses it.
    const Bytes Small = MakeData(Kind::Random, 700, 23);
    const Bytes Run = ZlibDeflateFlushed(Small, 1, 100);
    for (std::size_t Len = 0; Len < Run.size(); ++Len) {
        const Bytes Cut(Run.begin(), Run.begin() + static_cast<std::ptrdiff_t>(Len));
        ASSERT_FALSE(Uncompress(Cut, Small.size()).has_value()) << Len;
    }
    for (std::size_t At = 0; At < Run.size(); ++At) {
        Bytes Changed = Run;
        Changed[At] ^= 0x04;
        const auto Theirs = ZlibInflate(Changed, Small.size() * 2);
        const auto Ours = Uncompress(Changed, Small.size() * 2);
        ASSERT_EQ(Ours.has_value(), Theirs.has_value()) << At;
        if (Ours) {
            EXPECT_EQ(*Ours, *Theirs) << At;
        }
    }
    EXPECT_FALSE(Uncompress(Run, Small.size() - 1).has_value());
}

TEST(CrashlibInflate, MutatedStreamsAgreeWithZlib)
{
    std::mt19937 Rng(12345);
    std::vector<Bytes> Seeds;
    for (Kind K : {Kind::Text, Kind::Random, Kind::Repetitive, Kind::Zero}) {
        for (std::size_t Size : {20, 300, 2000}) {
            const Bytes Data = MakeData(K, Size, static_cast<std::uint32_t>(Size));
            Seeds.push_back(Compress(Data));
            Seeds.push_back(ZlibDeflate(Data, 1, Z_DEFAULT_STRATEGY));
            Seeds.push_back(ZlibDeflate(Data, 9, Z_FIXED));
            Seeds.push_back(ZlibDeflate(Data, 0, Z_DEFAULT_STRATEGY));
        }
    }
    constexpr std::size_t Capacity = 1 << 15;
    Bytes OurOut(Capacity);
    int Valid = 0;
    for (int Round = 0; Round < 100000; ++Round) {
        Bytes S = Seeds[Rng() % Seeds.size()];
        const int Changes = 1 + static_cast<int>(Rng() % 4);
        for (int C = 0; C < Changes && !S.empty(); ++C) {
            const std::size_t At = Rng() % S.size();
            switch (Rng() % 5) {
            case 0:
            case 1:
                S[At] ^= static_cast<std::uint8_t>(1u << (Rng() % 8));
                break;
            case 2:
                S[At] = static_cast<std::uint8_t>(Rng());
                break;
            case 3:
                S.resize(At);
                break;
            default:
                S.insert(S.begin() + static_cast<std::ptrdiff_t>(At),
                         static_cast<std::uint8_t>(Rng()));
                break;
            }
        }
        const auto Ours = UncompressBuf(S.data(), OurOut.data(), S.size(), Capacity);
        const auto Theirs = ZlibInflate(S, Capacity);
        ASSERT_EQ(Ours.has_value(), Theirs.has_value()) << "round " << Round;
        if (Ours) {
            ++Valid;
            ASSERT_EQ(*Ours, Theirs->size());
            ASSERT_TRUE(std::equal(Theirs->begin(), Theirs->end(), OurOut.begin()));
        }
    }
    // Both outcomes must have been seen in numbers, or the mutations prove little.
    EXPECT_GT(Valid, 1000);
    EXPECT_LT(Valid, 99000);
}

// ---- packed container ----

namespace {

std::string Pack(const Bytes& Data, std::uint32_t DeclaredSize, std::uint32_t Crc)
{
    std::string Out(12, '\0');
    for (int I = 0; I < 4; ++I) {
        Out[I] = static_cast<char>(DeclaredSize >> (8 * I));
        Out[8 + I] = static_cast<char>(Crc >> (8 * I));
    }
    const Bytes Stream = ZlibDeflate(Data, 9, Z_DEFAULT_STRATEGY);
    Out.append(Stream.begin(), Stream.end());
    return Out;
}

std::string AsString(const Bytes& B)
{
    return std::string(B.begin(), B.end());
}

} // namespace

TEST(CrashlibUnpackStr, UnpacksAndChecks)
{
    const Bytes Data = MakeData(Kind::Text, 20000, 21);
    const auto Size = static_cast<std::uint32_t>(Data.size());
    const auto Crc = static_cast<std::uint32_t>(crc32(0, Data.data(), Size));

    EXPECT_EQ(UnpackStr(Pack(Data, Size, Crc)), AsString(Data));
    // A declared size above what the stream holds: cut to what it produced.
    EXPECT_EQ(UnpackStr(Pack(Data, Size + 100, Crc)), AsString(Data));
    // Below it: the data does not fit, which is no partial result.
    EXPECT_EQ(UnpackStr(Pack(Data, Size - 1, Crc)), "");
    EXPECT_EQ(UnpackStr(Pack(Data, Size, Crc ^ 1)), "");
    // Sizes no stream of this length can reach are refused before anything
    // is allocated.
    EXPECT_EQ(UnpackStr(Pack(Data, 0xFFFFFFFF, Crc)), "");
    std::string Short = Pack(Bytes{'a'}, 1, static_cast<std::uint32_t>(crc32(0, nullptr, 0)));
    EXPECT_EQ(UnpackStr(Short.substr(0, 12)), "");
    EXPECT_EQ(UnpackStr(""), "");
    // Undecodable stream.
    std::string Bad = Pack(Data, Size, Crc);
    Bad[12] = static_cast<char>(0xFF);
    EXPECT_EQ(UnpackStr(Bad), "");
    // A stream cut short.
    std::string Cut = Pack(Data, Size, Crc);
    Cut.resize(Cut.size() - 3);
    EXPECT_EQ(UnpackStr(Cut), "");
}

TEST(CrashlibUnpackStr, HighestRatioStreamStillUnpacks)
{
    // 1 MB of one byte: zlib's densest stream stays within the ratio limit.
    const Bytes Data(1 << 20, 'z');
    const auto Crc = static_cast<std::uint32_t>(crc32(0, Data.data(), Data.size()));
    const std::string Packed = Pack(Data, static_cast<std::uint32_t>(Data.size()), Crc);
    EXPECT_LT(Packed.size(), 2000u);
    EXPECT_EQ(UnpackStr(Packed).size(), Data.size());
}
