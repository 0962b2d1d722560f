// The PNG writer, judged by Pillow, zlib and pngcheck: the chunks, the
// palette, every pixel's index, the packing of 4-bit rows, the depth options'
// fall-backs, Adler-32, and how close Wu's palette comes to the picture.
#include "crashreport/kelNVBitmap.h"
#include "tests/crashreport/BitmapPictures.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <set>

namespace {

std::shared_ptr<INVBitmap> Copy(const INVBitmap& B)
{
    return BitmapFromRgb(RgbBytes(B), B.GetWidth(), B.GetHeight());
}

struct TPicture {
    const char* Name;
    std::function<std::shared_ptr<INVBitmap>()> Make;
};

const TPicture Pictures[] = {
    {"noise 37x23", [] { return NoiseBitmap(37, 23, 5); }},
    {"200 colours 50x40", [] { return FewColoursBitmap(50, 40, 200, 9); }},
    {"gradient 64x48",
     [] {
         return PaintBitmap(64, 48, [](int X, int Y) {
             return TRgb{static_cast<std::uint8_t>(X * 4), static_cast<std::uint8_t>(Y * 5),
                         static_cast<std::uint8_t>(X + Y)};
         });
     }},
    {"one pixel", [] { return NoiseBitmap(1, 1, 2); }},
    {"3x2", [] { return NoiseBitmap(3, 2, 3); }},
    {"7x1", [] { return NoiseBitmap(7, 1, 4); }},
    {"black 9x9", [] { return PaintBitmap(9, 9, [](int, int) { return TRgb{}; }); }},
};

TEST(CrashreportPng, PillowAndPngcheckReadEveryFile)
{
    TempFolder Temp;
    for (const TPicture& P : Pictures)
        for (std::uint8_t Depth : {std::uint8_t{pdColours}, std::uint8_t{pdGrey}}) {
            SCOPED_TRACE(std::string(P.Name) + (Depth == pdGrey ? ", grey" : ", colours"));
            auto B = P.Make();
            auto Mine = Copy(*B);
            const TPalettePicture Want = Depth == pdGrey ? QuantizeGrey(*Mine) : QuantizeWu(*Mine);
            const std::string File = Temp.Path("picture.png");
            ASSERT_TRUE(B->SavePng(File, Depth));
            auto Facts = BitmapOracle("png " + Quote(File));
            ASSERT_EQ(Facts.count("failure"), 0u) << Facts["failure"];
            EXPECT_EQ(Facts["mode"], "P");
            EXPECT_EQ(Facts["width"], std::to_string(B->GetWidth()));
            EXPECT_EQ(Facts["height"], std::to_string(B->GetHeight()));
            EXPECT_EQ(Facts["colourtype"], "3");
            EXPECT_EQ(Facts["bitdepth"], Depth == pdGrey ? "4" : "8");
            EXPECT_EQ(Facts["plte"], Depth == pdGrey ? "48" : "768");
            EXPECT_EQ(Facts["adler"], "1");
            const std::string Indexes = Unhex(Facts["indexes"]);
            EXPECT_TRUE(std::equal(
                Indexes.begin(), Indexes.end(), Want.Indexes.begin(), Want.Indexes.end(),
                [](char A, std::uint8_t I) { return static_cast<std::uint8_t>(A) == I; }));
            const TCommandResult Check = RunCommand("pngcheck -v " + Quote(File) + " 2>&1");
            EXPECT_EQ(Check.Status, 0) << Check.Output;
            EXPECT_NE(Check.Output.find("No errors detected"), std::string::npos) << Check.Output;
        }
}

TEST(CrashreportPng, GreyFileTurnsTheBitmapGrey)
{
    TempFolder Temp;
    auto B = NoiseBitmap(41, 13, 21);
    const std::string Rgb = RgbBytes(*B);
    const std::string RawFile = Temp.Path("picture.rgb");
    TempFolder::Write(RawFile, Rgb);
    const std::string PillowGrey = Unhex(BitmapOracle("grey " + Quote(RawFile) + " 41 13")["grey"]);
    ASSERT_EQ(PillowGrey.size(), 41u * 13u);

    const std::string Png = B->AsPngStr(pdGrey);
    TempFolder::Write(Temp.Path("grey.png"), Png);
    auto Facts = BitmapOracle("png " + Quote(Temp.Path("grey.png")));
    EXPECT_EQ(Facts["bitdepth"], "4");
    EXPECT_EQ(Facts["plte"], "48");
    const std::string After = RgbBytes(*B);
    const std::string Decoded = Unhex(Facts["rgb"]);
    ASSERT_EQ(Decoded.size(), After.size());
    const std::set<int> Levels(std::begin(GreyLevels), std::end(GreyLevels));
    for (std::size_t I = 0; I < PillowGrey.size(); ++I) {
        const int R = static_cast<std::uint8_t>(After[I * 3]);
        // The bitmap holds one grey in all three channels, within two levels
        // of the ITU-R 601 grey Pillow makes (rounded, with weights a little
        // apart from ours).
        ASSERT_EQ(R, static_cast<std::uint8_t>(After[I * 3 + 1])) << I;
        ASSERT_EQ(R, static_cast<std::uint8_t>(After[I * 3 + 2])) << I;
        ASSERT_LE(std::abs(R - static_cast<std::uint8_t>(PillowGrey[I])), 2) << I;
        // The file shows the nearest of the sixteen levels.
        const int Shown = static_cast<std::uint8_t>(Decoded[I * 3]);
        ASSERT_EQ(Levels.count(Shown), 1u) << Shown;
        for (int Level : Levels)
            ASSERT_LE(std::abs(Shown - R), std::abs(Level - R)) << I;
    }
}

TEST(CrashreportPng, FourBitRowsPackTwoPixelsToAByte)
{
    TempFolder Temp;
    auto B = NoiseBitmap(3, 4, 8);
    TempFolder::Write(Temp.Path("p.png"), B->AsPngStr(pdGrey));
    auto Facts = BitmapOracle("png " + Quote(Temp.Path("p.png")));
    const std::string Rows = Unhex(Facts["rows"]);
    const std::string Indexes = Unhex(Facts["indexes"]);
    // Per row the filter byte and two data bytes, the last low half zero.
    ASSERT_EQ(Rows.size(), 4u * 3u);
    ASSERT_EQ(Indexes.size(), 4u * 3u);
    for (std::size_t Y = 0; Y < 4; ++Y) {
        SCOPED_TRACE(Y);
        EXPECT_EQ(Rows[Y * 3], 0);
        const auto At = [&](std::size_t X) { return static_cast<int>(Indexes[Y * 3 + X]); };
        EXPECT_EQ(static_cast<std::uint8_t>(Rows[Y * 3 + 1]), At(0) << 4 | At(1));
        EXPECT_EQ(static_cast<std::uint8_t>(Rows[Y * 3 + 2]), At(2) << 4);
    }
}

TEST(CrashreportPng, DepthOptionsFallBackToGreyAboveTheirLimits)
{
    struct TCase {
        std::uint8_t Depth;
        std::size_t Limit;
    };
    const TCase Cases[] = {{pdColours50K, 51200},
                           {pdColours100K, 102400},
                           {pdColours200K, 204800},
                           {pdColours300K, 307200}};
    for (const TCase& C : Cases) {
        // Noise does not compress: a picture of about Limit pixels gives a
        // 256-colour file near the limit, one a little smaller and one a
        // little larger.
        const int Width = 256;
        for (int Side : {-1, 1}) {
            const int Height = static_cast<int>((C.Limit + Side * 3000) / (Width + 1));
            SCOPED_TRACE("option " + std::to_string(C.Depth) + ", height " +
                         std::to_string(Height));
            auto B = NoiseBitmap(Width, Height, C.Depth);
            const std::size_t ColourSize = Copy(*B)->AsPngStr(pdColours).size();
            if (Side < 0)
                ASSERT_LE(ColourSize, C.Limit);
            else
                ASSERT_GT(ColourSize, C.Limit);
            const std::string Png = B->AsPngStr(C.Depth);
            ASSERT_GT(Png.size(), 25u);
            EXPECT_EQ(static_cast<int>(Png[24]), Side < 0 ? 8 : 4); // IHDR bit depth
            EXPECT_EQ(Png.size() == ColourSize, Side < 0);
        }
    }
    // Without a limit the 256-colour file is kept however large.
    auto Big = NoiseBitmap(256, 1300, 77);
    EXPECT_EQ(static_cast<int>(Big->AsPngStr(pdColours)[24]), 8);
    EXPECT_EQ(static_cast<int>(Big->AsPngStr(9)[24]), 8);
}

TEST(CrashreportPng, Adler32EqualsZlib)
{
    TempFolder Temp;
    std::mt19937 Random(4);
    for (std::size_t Length : {std::size_t{0}, std::size_t{1}, std::size_t{3853}, std::size_t{3854},
                               std::size_t{3855}, std::size_t{5551}, std::size_t{5552},
                               std::size_t{5553}, std::size_t{7708}, std::size_t{200000}})
        for (bool AllOnes : {true, false}) {
            SCOPED_TRACE(std::to_string(Length) + (AllOnes ? " bytes 0xff" : " random bytes"));
            std::string Data(Length, '\xff');
            if (!AllOnes)
                for (char& C : Data)
                    C = static_cast<char>(Random());
            const std::string File = Temp.Path("data");
            TempFolder::Write(File, Data);
            const std::uint32_t Want = static_cast<std::uint32_t>(
                std::stoul(BitmapOracle("adler " + Quote(File))["adler"]));
            EXPECT_EQ(Adler32(1, Data.data(), Data.size()), Want);
            // Continued from any split point.
            const std::size_t Split = Length / 3;
            EXPECT_EQ(Adler32(Adler32(1, Data.data(), Split), Data.data() + Split, Length - Split),
                      Want);
        }
}

TEST(CrashreportPng, FewColoursComeBackExactly)
{
    // 256 colours in cells of their own: each box of Wu's cut ends up with
    // one of them, and each pixel finds its own colour in the palette.
    for (int Count : {1, 2, 17, 256}) {
        SCOPED_TRACE(Count);
        std::mt19937 Random(static_cast<unsigned>(Count));
        std::vector<TRgb> Colours;
        std::set<int> Cells;
        while (static_cast<int>(Colours.size()) < Count) {
            const TRgb C{static_cast<std::uint8_t>(Random()), static_cast<std::uint8_t>(Random()),
                         static_cast<std::uint8_t>(Random())};
            if (Cells.insert((C.R >> 3) << 10 | (C.G >> 3) << 5 | C.B >> 3).second)
                Colours.push_back(C);
        }
        auto B = PaintBitmap(40, 30, [&](int X, int Y) { return Colours[(X * 31 + Y) % Count]; });
        const std::string Before = RgbBytes(*B);
        TempFolder Temp;
        TempFolder::Write(Temp.Path("p.png"), B->AsPngStr(pdColours));
        auto Facts = BitmapOracle("png " + Quote(Temp.Path("p.png")));
        EXPECT_EQ(Unhex(Facts["rgb"]) == Before, true);
    }
}

TEST(CrashreportPng, PaletteIsCloserThanPillowsMedianCut)
{
    TempFolder Temp;
    const std::string Photo =
        ConvertToRgb(Temp, "-size 160x120 -seed 12 plasma:fractal -blur 0x1 -size 160x120");
    ASSERT_EQ(Photo.size(), 160u * 120u * 3u);
    TempFolder::Write(Temp.Path("photo.rgb"), Photo);
    const double PillowError =
        std::stod(BitmapOracle("quantize " + Quote(Temp.Path("photo.rgb")) + " 160 120")["error"]);

    auto B = BitmapFromRgb(Photo, 160, 120);
    TempFolder::Write(Temp.Path("p.png"), B->AsPngStr(pdColours));
    const std::string Decoded = Unhex(BitmapOracle("png " + Quote(Temp.Path("p.png")))["rgb"]);
    ASSERT_EQ(Decoded.size(), Photo.size());
    double Sum = 0;
    for (std::size_t I = 0; I < Photo.size(); ++I)
        Sum +=
            std::abs(static_cast<std::uint8_t>(Photo[I]) - static_cast<std::uint8_t>(Decoded[I]));
    const double Error = Sum / static_cast<double>(Photo.size());
    std::printf("mean channel difference %.3f, Pillow's quantize(256) %.3f\n", Error, PillowError);
    EXPECT_LT(Error, PillowError);
}

} // namespace
