// The resampler beside ImageMagick's "-filter Mitchell -resize WxH!", the same
// Mitchell-Netravali cubic (B = C = 1/3).
//
// The two place the picture a little differently: the resampler puts
// destination pixel i at source coordinate i * source / destination,
// ImageMagick pixel centres at (i + 1/2) * source / destination - 1/2. For odd
// whole factors the two grids meet: enlarged f times, our pixel i is
// ImageMagick's pixel i + (f - 1) / 2; shrunk f times, ours is ImageMagick's
// when its source starts (f - 1) / 2 pixels earlier. The cases line the
// pictures up so, and compare them away from the borders, where the two
// handle the missing outside differently.
#include "crashreport/kelNVBitmap.h"
#include "tests/crashreport/BitmapPictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

struct TImage {
    int W = 0, H = 0;
    std::string Rgb;
    int At(int X, int Y, int C) const
    {
        return static_cast<std::uint8_t>(Rgb[(static_cast<std::size_t>(Y) * W + X) * 3 + C]);
    }
};

TImage Picture(const TempFolder& Temp, const std::string& Source, int W, int H)
{
    TImage I{W, H, ConvertToRgb(Temp, Source)};
    EXPECT_EQ(I.Rgb.size(), static_cast<std::size_t>(W) * H * 3) << Source;
    return I;
}

// A photograph-like picture: ImageMagick's plasma, softened a little, cut
// from a square one (a strip of a picture is smoother than a plasma one
// pixel wide).
std::string Photo(int W, int H, int Seed)
{
    const std::string Square = std::to_string(std::max(W, H));
    return "-size " + Square + "x" + Square + " -seed " + std::to_string(Seed) +
           " plasma:fractal -blur 0x2 -crop " + std::to_string(W) + "x" + std::to_string(H) +
           "+0+0 +repage";
}

// A hard-edged picture: solid boxes, lines and text on white, as a window
// shows them.
std::string HardEdged(int W, int H)
{
    const std::string Size = std::to_string(W) + "x" + std::to_string(H);
    return "-size " + Size +
           " xc:white -fill '#3060c0' -draw 'rectangle 3,4 20,30'"
           " -fill '#c04020' -draw 'rectangle 25,10 50,22' -stroke black"
           " -draw 'line 2,38 58,33' -stroke none -fill black -pointsize 11"
           " -draw \"text 6,44 'Tolvex'\"";
}

struct TCase {
    const char* Name;
    int SourceW, SourceH;
    bool Photograph;
    int DestW, DestH;
};

// Our picture beside ImageMagick's, lined up; the mean channel difference
// inside the margin.
double MeanDifference(const TempFolder& Temp, const TCase& C)
{
    const std::string Source =
        C.Photograph ? Photo(C.SourceW, C.SourceH, 3) : HardEdged(C.SourceW, C.SourceH);
    const TImage Original = Picture(Temp, Source, C.SourceW, C.SourceH);
    auto Ours = BitmapFromRgb(Original.Rgb, C.SourceW, C.SourceH)->Resample(C.DestW, C.DestH);
    EXPECT_TRUE(Ours);
    if (!Ours)
        return 1e9;
    const TImage Mine{C.DestW, C.DestH, RgbBytes(*Ours)};

    // Per axis: the odd factor f, enlarging or shrinking. The resampler
    // counts rows as they are stored, from the bottom, so across the rows
    // the two grids meet the other way round.
    struct TAxis {
        int Shift = 0;  // ImageMagick's pixel i + Shift is our pixel i
        int Lead = 0;   // source pixels ImageMagick's picture has in front
        int Margin = 0; // destination pixels left out at each border
    };
    auto Axis = [](int Src, int Dst, bool Reversed) {
        TAxis A;
        const int Sign = Reversed ? -1 : 1;
        if (Dst >= Src) {
            const int F = Dst / Src;
            A.Shift = Sign * (F - 1) / 2;
            A.Margin = 3 * F;
        } else {
            const int F = Src / Dst;
            A.Lead = Sign * (F - 1) / 2;
            A.Margin = 3;
        }
        return A;
    };
    const TAxis X = Axis(C.SourceW, C.DestW, false), Y = Axis(C.SourceH, C.DestH, true);
    // ImageMagick's source gets Lead pixels in front (at the top, or for
    // rows at the bottom), as many cut off at the other end, so the factor
    // stays whole.
    std::string Lined = Source;
    auto Move = [&](int Lead, bool Rows) {
        if (Lead == 0)
            return;
        const std::string Cut =
            Rows ? "0x" + std::to_string(std::abs(Lead)) : std::to_string(std::abs(Lead)) + "x0";
        const bool Front = Lead > 0;
        Lined += std::string(" -background gray -gravity ") + (Front ? "northwest" : "southeast") +
                 " -splice " + Cut + " -gravity " + (Front ? "southeast" : "northwest") +
                 " -chop " + Cut + " +gravity";
    };
    Move(X.Lead, false);
    Move(Y.Lead, true);
    const std::string Size = std::to_string(C.DestW) + "x" + std::to_string(C.DestH) + "!";
    const TImage Theirs =
        Picture(Temp, Lined + " -filter Mitchell -resize " + Size, C.DestW, C.DestH);

    double Sum = 0;
    long Count = 0;
    // A source of one pixel's width is the same in every column: no border.
    const int MarginX = C.SourceW == 1 ? 0 : X.Margin, MarginY = C.SourceH == 1 ? 0 : Y.Margin;
    for (int J = MarginY + std::abs(Y.Shift); J + std::abs(Y.Shift) < C.DestH - MarginY; ++J)
        for (int I = MarginX + std::abs(X.Shift); I + std::abs(X.Shift) < C.DestW - MarginX; ++I)
            for (int Ch = 0; Ch < 3; ++Ch) {
                Sum += std::abs(Mine.At(I, J, Ch) - Theirs.At(I + X.Shift, J + Y.Shift, Ch));
                ++Count;
            }
    EXPECT_GT(Count, 0);
    return Count ? Sum / static_cast<double>(Count) : 1e9;
}

TEST(CrashreportZoom, ResamplerMatchesImageMagicksMitchell)
{
    const TCase Cases[] = {
        {"photograph enlarged 3x", 60, 45, true, 180, 135},
        {"photograph enlarged 5x", 30, 20, true, 150, 100},
        {"photograph shrunk 3x", 180, 135, true, 60, 45},
        {"photograph shrunk 5x", 300, 200, true, 60, 40},
        {"photograph 3x wide, 3x low", 60, 150, true, 180, 50},
        {"hard edges enlarged 3x", 60, 45, false, 180, 135},
        {"hard edges shrunk 3x", 180, 135, false, 60, 45},
        {"1 x N enlarged 3x", 1, 40, true, 3, 120},
        {"N x 1 enlarged 3x", 40, 1, true, 120, 3},
        {"1 x N shrunk 3x", 1, 120, true, 1, 40},
        {"N x 1 shrunk 5x", 200, 1, true, 40, 1},
    };
    TempFolder Temp;
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const double Difference = MeanDifference(Temp, C);
        std::printf("%-28s mean difference %.3f levels\n", C.Name, Difference);
        EXPECT_LE(Difference, 1.5);
    }
}

TEST(CrashreportZoom, ZoomFillsTheWholeBox)
{
    // Zoom picks the size and the resampler fills it: a picture of one
    // colour stays that colour everywhere, borders included.
    auto Plain = PaintBitmap(200, 100, [](int, int) { return TRgb{200, 100, 50}; });
    auto Z = Plain->Zoom(100, 100);
    ASSERT_TRUE(Z);
    ASSERT_EQ(Z->GetWidth(), 100);
    ASSERT_EQ(Z->GetHeight(), 50);
    const std::string Rgb = RgbBytes(*Z);
    for (std::size_t I = 0; I < Rgb.size(); I += 3) {
        ASSERT_NEAR(static_cast<std::uint8_t>(Rgb[I]), 200, 2) << I / 3;
        ASSERT_NEAR(static_cast<std::uint8_t>(Rgb[I + 1]), 100, 2) << I / 3;
        ASSERT_NEAR(static_cast<std::uint8_t>(Rgb[I + 2]), 50, 2) << I / 3;
    }
}

} // namespace
