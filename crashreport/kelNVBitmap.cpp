#include "crashreport/kelNVBitmap.h"

#include "crashlib/kelZip.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

INVBitmap::~INVBitmap() = default;

namespace {

// --- Little bits of byte writing -------------------------------------------------

void PutLE16(std::string& Out, std::uint16_t V)
{
    Out += static_cast<char>(V & 0xFF);
    Out += static_cast<char>(V >> 8);
}

void PutLE32(std::string& Out, std::uint32_t V)
{
    for (int Shift = 0; Shift < 32; Shift += 8)
        Out += static_cast<char>((V >> Shift) & 0xFF);
}

void PutBE32(std::string& Out, std::uint32_t V)
{
    for (int Shift = 24; Shift >= 0; Shift -= 8)
        Out += static_cast<char>((V >> Shift) & 0xFF);
}

// Creates the file anew and writes Bytes whole; a file that could not be
// written whole is deleted again (a device or a pipe given as the name is
// never deleted).
bool WriteWholeFile(const std::string& FileName, const std::string& Bytes)
{
    if (FileName.empty())
        return false;
    const int Fd = ::open(FileName.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (Fd < 0)
        return false;
    struct stat Info {};
    const bool Regular = ::fstat(Fd, &Info) == 0 && S_ISREG(Info.st_mode);
    std::size_t Done = 0;
    while (Done < Bytes.size()) {
        const ssize_t N = ::write(Fd, Bytes.data() + Done, Bytes.size() - Done);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            break;
        Done += static_cast<std::size_t>(N);
    }
    const bool Ok = ::close(Fd) == 0 && Done == Bytes.size();
    if (!Ok && Regular)
        ::unlink(FileName.c_str());
    return Ok;
}

// --- The bitmap ------------------------------------------------------------------

class TINVBitmap final : public INVBitmap {
public:
    TINVBitmap(int Width, int Height, std::vector<std::uint8_t> APixels) : Bits(std::move(APixels))
    {
        Info.Width = Width;
        Info.Height = Height;
        Info.SizeImage = static_cast<std::uint32_t>(Bits.size());
    }

    int GetWidth() const override { return Info.Width; }
    int GetHeight() const override { return Info.Height; }
    const TBitmapInfoHeader& Header() const override { return Info; }
    std::uint8_t* Pixels() override { return Bits.data(); }
    const std::uint8_t* Pixels() const override { return Bits.data(); }

    std::string AsBmpStr() const override;
    std::string AsPngStr(std::uint8_t Depth) override;
    bool SaveBmp(const std::string& FileName) const override
    {
        return WriteWholeFile(FileName, AsBmpStr());
    }
    bool SavePng(const std::string& FileName, std::uint8_t Depth) override
    {
        const std::string Png = AsPngStr(Depth);
        return !Png.empty() && WriteWholeFile(FileName, Png);
    }
    std::shared_ptr<INVBitmap> Zoom(int MaxWidth, int MaxHeight) const override;
    std::shared_ptr<INVBitmap> Resample(int Width, int Height) const override;

private:
    TBitmapInfoHeader Info;
    std::vector<std::uint8_t> Bits;
};

std::string TINVBitmap::AsBmpStr() const
{
    std::string Out;
    Out.reserve(54 + Bits.size());
    Out += "BM";
    PutLE32(Out, Info.SizeImage + 54);
    PutLE16(Out, 0);
    PutLE16(Out, 0);
    PutLE32(Out, 54);
    PutLE32(Out, Info.Size);
    PutLE32(Out, static_cast<std::uint32_t>(Info.Width));
    PutLE32(Out, static_cast<std::uint32_t>(Info.Height));
    PutLE16(Out, Info.Planes);
    PutLE16(Out, Info.BitCount);
    PutLE32(Out, Info.Compression);
    PutLE32(Out, Info.SizeImage);
    PutLE32(Out, static_cast<std::uint32_t>(Info.XPelsPerMeter));
    PutLE32(Out, static_cast<std::uint32_t>(Info.YPelsPerMeter));
    PutLE32(Out, Info.ClrUsed);
    PutLE32(Out, Info.ClrImportant);
    Out.append(reinterpret_cast<const char*>(Bits.data()), Bits.size());
    return Out;
}

// The largest 256-colour file of each size-limited depth option; beyond it the
// 16-grey file is written instead.
std::size_t ColourLimit(std::uint8_t Depth)
{
    switch (Depth) {
    case pdColours50K:
        return 51200;
    case pdColours100K:
        return 102400;
    case pdColours200K:
        return 204800;
    case pdColours300K:
        return 307200;
    default:
        return SIZE_MAX;
    }
}

std::string TINVBitmap::AsPngStr(std::uint8_t Depth)
{
    if (Depth != pdGrey) {
        std::string Colour = EncodePalettePng(QuantizeWu(*this));
        if (!Colour.empty() && Colour.size() <= ColourLimit(Depth))
            return Colour;
    }
    return EncodePalettePng(QuantizeGrey(*this));
}

// --- Zoom and the resampler --------------------------------------------------------

std::shared_ptr<INVBitmap> TINVBitmap::Zoom(int MaxWidth, int MaxHeight) const
{
    // The aspect arithmetic divides by both sizes: an empty bitmap (a picture
    // saved 0 pixels wide by an editor) or an empty box has nothing to scale.
    if (Info.Width <= 0 || Info.Height <= 0 || MaxWidth <= 0 || MaxHeight <= 0)
        return nullptr;
    const std::int64_t Width = Info.Width, Height = Info.Height;
    const std::int64_t W = MaxWidth, H = MaxHeight;
    const std::int64_t FitW = Width * H / Height; // width at the full height
    const std::int64_t FitH = Height * W / Width; // height at the full width
    std::int64_t NewW = W, NewH = H;
    if (H < FitH || W < FitW) {
        if (Width * 65536 / W <= Height * 65536 / H)
            NewW = FitW;
        else
            NewH = FitH;
    }
    // A picture of one pixel's width (or height) would round to nothing.
    return Resample(static_cast<int>(std::max<std::int64_t>(NewW, 1)),
                    static_cast<int>(std::max<std::int64_t>(NewH, 1)));
}

// The Mitchell-Netravali cubic with B = C = 1/3.
double Mitchell(double X)
{
    X = std::fabs(X);
    if (X < 1)
        return 7.0 / 6.0 * X * X * X - 2 * X * X + 8.0 / 9.0;
    if (X < 2)
        return -7.0 / 18.0 * X * X * X + 2 * X * X - 10.0 / 3.0 * X + 16.0 / 9.0;
    return 0;
}

struct TContribution {
    int Pixel;
    int Weight; // 16.16
};

// The weights are rounded half to even, as the fixed-point tables were
// always made.
int FixedWeight(double Value)
{
    return static_cast<int>(std::nearbyint(Value * 65536));
}

// Per destination coordinate, the source coordinates and their weights.
std::vector<std::vector<TContribution>> ContributionTable(int Source, int Dest)
{
    std::vector<std::vector<TContribution>> Table(static_cast<std::size_t>(Dest));
    const std::int64_t S = Source, D = Dest;
    // Beyond the border the picture is mirrored; a source of one or two
    // pixels has less to mirror than the filter reaches, so the result is
    // kept inside.
    auto Mirror = [Source](std::int64_t J) {
        if (J < 0)
            J = -J;
        if (J >= Source)
            J = 2 * static_cast<std::int64_t>(Source) - J - 1;
        return static_cast<int>(std::clamp<std::int64_t>(J, 0, Source - 1));
    };
    if (Dest >= Source) {
        const float Scale = static_cast<float>(Source) / static_cast<float>(Dest);
        for (std::int64_t I = 0; I < D; ++I) {
            const float Centre = static_cast<float>(I) * Scale;
            auto& List = Table[static_cast<std::size_t>(I)];
            for (std::int64_t J = (I * S - 3 * D + 1) / D; J <= (I * S + 3 * D - 1) / D; ++J) {
                const float X = std::fabs(Centre - static_cast<float>(J));
                if (X >= 2)
                    continue;
                List.push_back({Mirror(J), FixedWeight(Mitchell(X))});
            }
        }
    } else {
        const double Scale = static_cast<double>(Dest) / static_cast<double>(Source);
        for (std::int64_t I = 0; I < D; ++I) {
            auto& List = Table[static_cast<std::size_t>(I)];
            for (std::int64_t J = ((I - 2) * S - D + 1) / D; J <= ((I + 2) * S + D - 1) / D; ++J) {
                const double X = std::fabs(static_cast<double>(I) - static_cast<double>(J) * Scale);
                if (X >= 2)
                    continue;
                List.push_back({Mirror(J), FixedWeight(Mitchell(X) * Scale)});
            }
        }
    }
    return Table;
}

std::uint8_t ClampChannel(std::int64_t Sum)
{
    if (Sum < 0)
        return 0;
    if (Sum > 0xFF0000)
        return 255;
    return static_cast<std::uint8_t>(Sum >> 16);
}

// One output pixel: the weighted sum of the listed pixels, pixel N standing
// N * Stride bytes after Base.
void FilterPixel(const std::vector<TContribution>& List, const std::uint8_t* Base,
                 std::size_t Stride, std::uint8_t* Out)
{
    std::int64_t B = 0, G = 0, R = 0;
    for (const TContribution& C : List) {
        const std::uint8_t* P = Base + static_cast<std::size_t>(C.Pixel) * Stride;
        B += std::int64_t{P[0]} * C.Weight;
        G += std::int64_t{P[1]} * C.Weight;
        R += std::int64_t{P[2]} * C.Weight;
    }
    Out[0] = ClampChannel(B);
    Out[1] = ClampChannel(G);
    Out[2] = ClampChannel(R);
    Out[3] = 0;
}

std::shared_ptr<INVBitmap> TINVBitmap::Resample(int Width, int Height) const
{
    if (Info.Width <= 0 || Info.Height <= 0 || Width <= 0 || Height <= 0)
        return nullptr;
    auto Result = NewNVBitmap(Width, Height);
    if (!Result)
        return nullptr;
    const auto Across = ContributionTable(Info.Width, Width);
    const auto Down = ContributionTable(Info.Height, Height);
    const std::size_t SourceRow = static_cast<std::size_t>(Info.Width) * 4;
    const std::size_t DestRow = static_cast<std::size_t>(Width) * 4;
    // Rows are numbered as stored; mirroring and the filter do not care that
    // they run bottom-up.
    std::vector<std::uint8_t> Column(static_cast<std::size_t>(Info.Height) * 4);
    std::uint8_t* Dest = Result->Pixels();
    for (int X = 0; X < Width; ++X) {
        const auto& Horizontal = Across[static_cast<std::size_t>(X)];
        for (int Y = 0; Y < Info.Height; ++Y)
            FilterPixel(Horizontal, Bits.data() + static_cast<std::size_t>(Y) * SourceRow, 4,
                        Column.data() + static_cast<std::size_t>(Y) * 4);
        for (int Y = 0; Y < Height; ++Y)
            FilterPixel(Down[static_cast<std::size_t>(Y)], Column.data(), 4,
                        Dest + static_cast<std::size_t>(Y) * DestRow +
                            static_cast<std::size_t>(X) * 4);
    }
    return Result;
}

// --- Wu's colour quantizer -----------------------------------------------------------
//
// The colour space is cut into boxes on a 32 x 32 x 32 grid of the top five
// bits of each channel. Every box keeps its pixel count and channel sums
// through cumulative moments (index 0 of each axis stays 0, so a box's moments
// are eight lookups); boxes are split one at a time, always the one whose best
// cut lowers the summed squared error the most, until 256 boxes or none can be
// split. The squared error of a box is its sum of squares less |sum|^2 / count;
// the sums of squares of the two halves add up to the whole box's, so the gain
// of a cut is |sum1|^2 / count1 + |sum2|^2 / count2 - |sum|^2 / count, and the
// sums of squares themselves are never needed.

constexpr int Side = 33;
constexpr std::size_t Cells = Side * Side * Side;

constexpr std::size_t Cell(int R, int G, int B)
{
    return (static_cast<std::size_t>(R) * Side + static_cast<std::size_t>(G)) * Side +
           static_cast<std::size_t>(B);
}

struct TMoments {
    std::vector<std::int64_t> Count, SumR, SumG, SumB;
    TMoments() : Count(Cells), SumR(Cells), SumG(Cells), SumB(Cells) {}
};

// A box: R0 < r <= R1 and so on, in grid coordinates 0..32.
struct TBox {
    int R0 = 0, R1 = 0, G0 = 0, G1 = 0, B0 = 0, B1 = 0;
};

struct TBoxSums {
    std::int64_t Count = 0, R = 0, G = 0, B = 0;
};

std::int64_t Volume(const TBox& C, const std::vector<std::int64_t>& M)
{
    return M[Cell(C.R1, C.G1, C.B1)] - M[Cell(C.R1, C.G1, C.B0)] - M[Cell(C.R1, C.G0, C.B1)] +
           M[Cell(C.R1, C.G0, C.B0)] - M[Cell(C.R0, C.G1, C.B1)] + M[Cell(C.R0, C.G1, C.B0)] +
           M[Cell(C.R0, C.G0, C.B1)] - M[Cell(C.R0, C.G0, C.B0)];
}

TBoxSums Sums(const TBox& C, const TMoments& M)
{
    return {Volume(C, M.Count), Volume(C, M.SumR), Volume(C, M.SumG), Volume(C, M.SumB)};
}

double Spread(const TBoxSums& S)
{
    if (S.Count == 0)
        return 0;
    const double R = static_cast<double>(S.R), G = static_cast<double>(S.G),
                 B = static_cast<double>(S.B);
    return (R * R + G * G + B * B) / static_cast<double>(S.Count);
}

// The best cut of a box: the axis (0 red, 1 green, 2 blue), the last grid
// index of the lower half, and the gain; no cut when both halves are never
// filled.
struct TCut {
    int Axis = -1;
    int At = 0;
    double Gain = 0;
};

TCut BestCut(const TBox& Box, const TMoments& M)
{
    const TBoxSums Whole = Sums(Box, M);
    const double WholeSpread = Spread(Whole);
    double Best[3] = {0, 0, 0};
    int At[3] = {-1, -1, -1};
    for (int Axis = 0; Axis < 3; ++Axis) {
        const int Lo = Axis == 0 ? Box.R0 : Axis == 1 ? Box.G0 : Box.B0;
        const int Hi = Axis == 0 ? Box.R1 : Axis == 1 ? Box.G1 : Box.B1;
        for (int I = Lo + 1; I < Hi; ++I) {
            TBox Lower = Box;
            (Axis == 0 ? Lower.R1 : Axis == 1 ? Lower.G1 : Lower.B1) = I;
            const TBoxSums Half = Sums(Lower, M);
            if (Half.Count == 0 || Half.Count == Whole.Count)
                continue;
            const TBoxSums Rest{Whole.Count - Half.Count, Whole.R - Half.R, Whole.G - Half.G,
                                Whole.B - Half.B};
            const double Gain = Spread(Half) + Spread(Rest) - WholeSpread;
            if (Gain > Best[Axis]) {
                Best[Axis] = Gain;
                At[Axis] = I;
            }
        }
    }
    TCut Cut;
    // Ties between the axes go to red, then green.
    if (Best[0] >= Best[1] && Best[0] >= Best[2])
        Cut.Axis = 0;
    else if (Best[1] >= Best[2])
        Cut.Axis = 1;
    else
        Cut.Axis = 2;
    Cut.At = At[Cut.Axis];
    Cut.Gain = Best[Cut.Axis];
    if (Cut.At < 0)
        Cut.Axis = -1;
    return Cut;
}

std::vector<TBox> SplitBoxes(const TMoments& M, int MaxColours)
{
    std::vector<TBox> Boxes{TBox{0, 32, 0, 32, 0, 32}};
    std::vector<TCut> Cuts{BestCut(Boxes[0], M)};
    while (static_cast<int>(Boxes.size()) < MaxColours) {
        int Next = -1;
        for (std::size_t K = 0; K < Cuts.size(); ++K)
            if (Cuts[K].Axis >= 0 &&
                (Next < 0 || Cuts[K].Gain > Cuts[static_cast<std::size_t>(Next)].Gain))
                Next = static_cast<int>(K);
        if (Next < 0)
            break;
        TBox& Lower = Boxes[static_cast<std::size_t>(Next)];
        TBox Upper = Lower;
        const TCut& Cut = Cuts[static_cast<std::size_t>(Next)];
        switch (Cut.Axis) {
        case 0:
            Lower.R1 = Upper.R0 = Cut.At;
            break;
        case 1:
            Lower.G1 = Upper.G0 = Cut.At;
            break;
        default:
            Lower.B1 = Upper.B0 = Cut.At;
            break;
        }
        Cuts[static_cast<std::size_t>(Next)] = BestCut(Lower, M);
        Boxes.push_back(Upper);
        Cuts.push_back(BestCut(Upper, M));
    }
    return Boxes;
}

// The row of stored bitmap rows from the top of the picture down.
const std::uint8_t* TopRow(const INVBitmap& Bitmap, int Y)
{
    return Bitmap.Pixels() + static_cast<std::size_t>(Bitmap.GetHeight() - 1 - Y) *
                                 static_cast<std::size_t>(Bitmap.GetWidth()) * 4;
}

} // namespace

TPalettePicture QuantizeWu(const INVBitmap& Bitmap)
{
    TPalettePicture P;
    P.Width = Bitmap.GetWidth();
    P.Height = Bitmap.GetHeight();
    P.BitDepth = 8;
    P.Palette.assign(256 * 3, 0);
    if (P.Width <= 0 || P.Height <= 0)
        return P;
    TMoments M;
    const std::size_t PixelCount = static_cast<std::size_t>(P.Width) * P.Height;
    const std::uint8_t* Px = Bitmap.Pixels();
    for (std::size_t I = 0; I < PixelCount; ++I, Px += 4) {
        const std::size_t C = Cell((Px[2] >> 3) + 1, (Px[1] >> 3) + 1, (Px[0] >> 3) + 1);
        ++M.Count[C];
        M.SumR[C] += Px[2];
        M.SumG[C] += Px[1];
        M.SumB[C] += Px[0];
    }
    // Cumulative moments: each cell holds the sums of every cell at or below
    // it on all three axes.
    for (auto* V : {&M.Count, &M.SumR, &M.SumG, &M.SumB}) {
        std::vector<std::int64_t>& A = *V;
        for (int R = 1; R < Side; ++R)
            for (int G = 1; G < Side; ++G)
                for (int B = 1; B < Side; ++B)
                    A[Cell(R, G, B)] += A[Cell(R - 1, G, B)] + A[Cell(R, G - 1, B)] +
                                        A[Cell(R, G, B - 1)] - A[Cell(R - 1, G - 1, B)] -
                                        A[Cell(R - 1, G, B - 1)] - A[Cell(R, G - 1, B - 1)] +
                                        A[Cell(R - 1, G - 1, B - 1)];
    }
    const std::vector<TBox> Boxes = SplitBoxes(M, 256);
    for (std::size_t K = 0; K < Boxes.size(); ++K) {
        const TBoxSums S = Sums(Boxes[K], M);
        if (S.Count == 0)
            continue;
        P.Palette[K * 3] = static_cast<std::uint8_t>(S.R / S.Count);
        P.Palette[K * 3 + 1] = static_cast<std::uint8_t>(S.G / S.Count);
        P.Palette[K * 3 + 2] = static_cast<std::uint8_t>(S.B / S.Count);
    }
    // Each pixel takes the entry nearest by the sum of the channel
    // differences (the first on ties); the answer for the first pixel of a
    // grid cell serves every later pixel of that cell.
    std::array<std::int16_t, 32768> Cache;
    Cache.fill(-1);
    P.Indexes.resize(PixelCount);
    std::uint8_t* Out = P.Indexes.data();
    for (int Y = 0; Y < P.Height; ++Y) {
        const std::uint8_t* Row = TopRow(Bitmap, Y);
        for (int X = 0; X < P.Width; ++X, Row += 4) {
            const std::size_t Key = (std::size_t{Row[2]} >> 3) << 10 |
                                    (std::size_t{Row[1]} >> 3) << 5 | (std::size_t{Row[0]} >> 3);
            if (Cache[Key] < 0) {
                int Best = 0, BestDistance = 1 << 30;
                for (int K = 0; K < 256; ++K) {
                    const std::uint8_t* E = &P.Palette[static_cast<std::size_t>(K) * 3];
                    const int D =
                        std::abs(E[0] - Row[2]) + std::abs(E[1] - Row[1]) + std::abs(E[2] - Row[0]);
                    if (D < BestDistance) {
                        BestDistance = D;
                        Best = K;
                    }
                }
                Cache[Key] = static_cast<std::int16_t>(Best);
            }
            *Out++ = static_cast<std::uint8_t>(Cache[Key]);
        }
    }
    return P;
}

TPalettePicture QuantizeGrey(INVBitmap& Bitmap)
{
    TPalettePicture P;
    P.Width = Bitmap.GetWidth();
    P.Height = Bitmap.GetHeight();
    P.BitDepth = 4;
    for (std::uint8_t Level : GreyLevels)
        P.Palette.insert(P.Palette.end(), {Level, Level, Level});
    if (P.Width <= 0 || P.Height <= 0)
        return P;
    std::array<std::uint8_t, 256> Nearest{};
    for (int Grey = 0; Grey < 256; ++Grey) {
        int Best = 0;
        for (int K = 1; K < 16; ++K)
            if (std::abs(GreyLevels[K] - Grey) < std::abs(GreyLevels[Best] - Grey))
                Best = K;
        Nearest[static_cast<std::size_t>(Grey)] = static_cast<std::uint8_t>(Best);
    }
    const std::size_t PixelCount = static_cast<std::size_t>(P.Width) * P.Height;
    std::uint8_t* Px = Bitmap.Pixels();
    for (std::size_t I = 0; I < PixelCount; ++I, Px += 4) {
        const auto Grey = static_cast<std::uint8_t>((77 * Px[2] + 151 * Px[1] + 28 * Px[0]) >> 8);
        Px[0] = Px[1] = Px[2] = Grey;
    }
    P.Indexes.resize(PixelCount);
    std::uint8_t* Out = P.Indexes.data();
    for (int Y = 0; Y < P.Height; ++Y) {
        const std::uint8_t* Row = TopRow(Bitmap, Y);
        for (int X = 0; X < P.Width; ++X, Row += 4)
            *Out++ = Nearest[Row[0]];
    }
    return P;
}

std::uint32_t Adler32(std::uint32_t Adler, const void* Data, std::size_t Length)
{
    // From their largest remainders the two sums stay within a signed 32-bit
    // number for 3854 bytes at most; they are reduced after every such block.
    constexpr std::uint32_t Base = 65521;
    constexpr std::size_t Block = 3854;
    std::uint32_t A = Adler & 0xFFFF, B = Adler >> 16;
    const auto* P = static_cast<const std::uint8_t*>(Data);
    while (Length > 0) {
        std::size_t N = std::min(Length, Block);
        Length -= N;
        for (; N >= 8; N -= 8, P += 8) {
            A += P[0];
            B += A;
            A += P[1];
            B += A;
            A += P[2];
            B += A;
            A += P[3];
            B += A;
            A += P[4];
            B += A;
            A += P[5];
            B += A;
            A += P[6];
            B += A;
            A += P[7];
            B += A;
        }
        for (; N > 0; --N, ++P) {
            A += *P;
            B += A;
        }
        A %= Base;
        B %= Base;
    }
    return B << 16 | A;
}

namespace {

void PutChunk(std::string& Out, const char* Type, const std::string& Data)
{
    PutBE32(Out, static_cast<std::uint32_t>(Data.size()));
    Out.append(Type, 4);
    Out += Data;
    std::uint32_t Crc = UpdateCrc32(0xFFFFFFFF, Type, 4);
    Crc = UpdateCrc32(Crc, Data.data(), Data.size());
    PutBE32(Out, Crc ^ 0xFFFFFFFF);
}

} // namespace

std::string EncodePalettePng(const TPalettePicture& Picture)
{
    const int W = Picture.Width, H = Picture.Height;
    const bool Four = Picture.BitDepth == 4;
    const std::size_t Entries = Four ? 16 : 256;
    if (W <= 0 || H <= 0 || (Picture.BitDepth != 8 && !Four) ||
        Picture.Palette.size() != Entries * 3 ||
        Picture.Indexes.size() != static_cast<std::size_t>(W) * static_cast<std::size_t>(H))
        return {};
    // The image data: per row from the top, the filter byte 0 and the
    // indexes, two to a byte at 4 bits (the left one high, an odd last one
    // followed by a zero half).
    const std::size_t RowBytes = Four ? (static_cast<std::size_t>(W) + 1) / 2 : W;
    std::string Raw;
    try {
        Raw.resize((RowBytes + 1) * static_cast<std::size_t>(H));
    } catch (const std::bad_alloc&) {
        return {};
    }
    const std::uint8_t* In = Picture.Indexes.data();
    char* Out = Raw.data();
    for (int Y = 0; Y < H; ++Y) {
        *Out++ = 0;
        if (Four) {
            for (int X = 0; X < W; X += 2, In += 2) {
                const int Low = X + 1 < W ? In[1] & 0x0F : 0;
                *Out++ = static_cast<char>((In[0] & 0x0F) << 4 | Low);
            }
            if (W % 2 != 0)
                --In; // the zero half took no index
        } else {
            std::memcpy(Out, In, RowBytes);
            Out += RowBytes;
            In += RowBytes;
        }
    }
    std::string Idat;
    try {
        Idat.resize(2 + CompressBufCapacity(Raw.size()) + 4);
    } catch (const std::bad_alloc&) {
        return {};
    }
    Idat[0] = 0x78;
    Idat[1] = 0x01;
    const std::size_t Deflated =
        CompressBuf(Raw.data(), Idat.data() + 2, Raw.size(), CompressBufCapacity(Raw.size()));
    if (Deflated == 0)
        return {};
    Idat.resize(2 + Deflated);
    PutBE32(Idat, Adler32(1, Raw.data(), Raw.size()));

    std::string Png = "\x89PNG\r\n\x1a\n";
    std::string Head;
    PutBE32(Head, static_cast<std::uint32_t>(W));
    PutBE32(Head, static_cast<std::uint32_t>(H));
    Head += static_cast<char>(Picture.BitDepth);
    Head += '\x03';       // colour type: palette
    Head.append(3, '\0'); // compression, filter, interlace
    PutChunk(Png, "IHDR", Head);
    PutChunk(
        Png, "PLTE",
        std::string(reinterpret_cast<const char*>(Picture.Palette.data()), Picture.Palette.size()));
    PutChunk(Png, "IDAT", Idat);
    PutChunk(Png, "IEND", {});
    return Png;
}

std::shared_ptr<INVBitmap> NewNVBitmap(int Width, int Height)
{
    if (Width < 0 || Height < 0)
        return nullptr;
    const std::uint64_t Bytes = std::uint64_t(Width) * std::uint64_t(Height) * 4;
    if (Bytes > MaxBitmapBytes)
        return nullptr;
    try {
        return std::make_shared<TINVBitmap>(
            Width, Height, std::vector<std::uint8_t>(static_cast<std::size_t>(Bytes)));
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
