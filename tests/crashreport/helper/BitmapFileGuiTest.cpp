// Bitmaps from picture files of the forms an editor may save (written here by
// Pillow and ImageMagick, judged by Pillow's own reading of them), the
// bitmap's own files read back, and drawing.
#include "crashreport/helper/kelNVBitmapQt.h"
#include "tests/crashreport/BitmapPictures.h"
#include "tests/crashreport/helper/HelperTestApp.h"

#include <QPainter>

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

namespace {

// The picture's colours as Pillow reads them, laid over white where it is
// transparent; "w h hex".
std::string PillowRgbOverWhite(const std::string& File)
{
    const std::string Script =
        "from PIL import Image; import sys; im = Image.open(sys.argv[1]).convert('RGBA'); "
        "bg = Image.new('RGBA', im.size, (255, 255, 255, 255)); "
        "r = Image.alpha_composite(bg, im).convert('RGB'); "
        "print(r.width, r.height, r.tobytes().hex())";
    return RunCommand("/usr/bin/python3 -c " + Quote(Script) + " " + Quote(File) + " 2>&1").Output;
}

TEST(CrashreportBitmapFile, ReadsWhatEditorsSave)
{
    App();
    TempFolder Temp;
    const std::string Source = Temp.Path("source.png");
    ASSERT_EQ(RunCommand("convert -size 37x23 -seed 4 plasma:fractal " + Quote(Source)).Status, 0);
    struct TCase {
        const char* Name;
        std::string Make; // a shell command writing "out" from "source.png"
        // Levels apart: blending over white may round one apart; five and six
        // bits per channel widen to eight by rules that differ by one step.
        int Tolerance = 1;
    };
    auto Pil = [&](const std::string& Code, const std::string& Ext) {
        return "/usr/bin/python3 -c " +
               Quote("from PIL import Image; import sys; im = Image.open(sys.argv[1]); " + Code +
                     ".save(sys.argv[2])") +
               " " + Quote(Source) + " " + Quote(Temp.Path("out." + Ext));
    };
    auto Magick = [&](const std::string& Options, const std::string& Format) {
        return "convert " + Quote(Source) + " " + Options + " " + Format + ":" +
               Quote(Temp.Path("out.bmp"));
    };
    const TCase Cases[] = {
        {"24-bit bmp", Pil("im.convert('RGB')", "bmp")},
        {"8-bit palette bmp", Pil("im.convert('RGB').quantize(100)", "bmp")},
        {"grey bmp", Pil("im.convert('L')", "bmp")},
        {"1-bit bmp", Pil("im.convert('1')", "bmp")},
        {"RLE8 bmp", Magick("-colors 60 -compress RLE", "bmp3")},
        {"32-bit bmp with alpha", Magick("-alpha set -channel A -fx 0.5", "bmp")},
        {"16-bit bmp", Magick("-define bmp:subtype=RGB565", "bmp"), 7},
        {"RGB png", Pil("im.convert('RGB')", "png")},
        {"RGBA png", Pil("im.convert('RGBA').rotate(30)", "png")},
        {"grey png", Pil("im.convert('L')", "png")},
        {"palette png", Pil("im.convert('RGB').quantize(16)", "png")},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const bool Png = C.Make.find("out.png") != std::string::npos;
        const std::string Out = Temp.Path(Png ? "out.png" : "out.bmp");
        std::filesystem::remove(Out);
        const TCommandResult Made = RunCommand(C.Make + " 2>&1");
        ASSERT_EQ(Made.Status, 0) << Made.Output;
        std::istringstream In(PillowRgbOverWhite(Out));
        int W = 0, H = 0;
        std::string Hex;
        In >> W >> H >> Hex;
        ASSERT_GT(W, 0) << Hex;
        auto B = NewNVBitmapFromFile(Out);
        ASSERT_TRUE(B);
        ASSERT_EQ(B->GetWidth(), W);
        ASSERT_EQ(B->GetHeight(), H);
        const std::string Want = Unhex(Hex), Got = RgbBytes(*B);
        ASSERT_EQ(Got.size(), Want.size());
        int Worst = 0;
        for (std::size_t I = 0; I < Got.size(); ++I)
            Worst = std::max(Worst, std::abs(static_cast<std::uint8_t>(Got[I]) -
                                             static_cast<std::uint8_t>(Want[I])));
        EXPECT_LE(Worst, C.Tolerance);
    }
}

TEST(CrashreportBitmapFile, OwnFilesReadBackAndNonsenseDoesNot)
{
    App();
    TempFolder Temp;
    auto B = FewColoursBitmap(29, 17, 40, 8);
    ASSERT_TRUE(B->SaveBmp(Temp.Path("own.bmp")));
    ASSERT_TRUE(B->SavePng(Temp.Path("own.png"), pdColours));
    for (const char* Name : {"own.bmp", "own.png"}) {
        auto Back = NewNVBitmapFromFile(Temp.Path(Name));
        ASSERT_TRUE(Back) << Name;
        EXPECT_EQ(RgbBytes(*Back), RgbBytes(*B)) << Name;
    }
    TempFolder::Write(Temp.Path("nonsense.bmp"), "BM this is no picture at all");
    EXPECT_EQ(NewNVBitmapFromFile(Temp.Path("nonsense.bmp")), nullptr);
    EXPECT_EQ(NewNVBitmapFromFile(Temp.Path("missing.bmp")), nullptr);
    // A .bmp that claims more pixels than any bitmap may have.
    std::string Huge = B->AsBmpStr();
    Huge[18] = Huge[19] = Huge[20] = '\xff';
    Huge[21] = '\x7f';
    TempFolder::Write(Temp.Path("huge.bmp"), Huge);
    EXPECT_EQ(NewNVBitmapFromFile(Temp.Path("huge.bmp")), nullptr);
}

TEST(CrashreportBitmapFile, DrawPaintsEveryPixel)
{
    App();
    auto B = NoiseBitmap(13, 9, 6);
    QImage Canvas(30, 20, QImage::Format_RGB32);
    Canvas.fill(Qt::black);
    {
        QPainter P(&Canvas);
        ASSERT_TRUE(DrawNVBitmap(*B, P, 5, 7));
        EXPECT_FALSE(DrawNVBitmap(*NewNVBitmap(0, 3), P, 0, 0));
    }
    const std::string Rgb = RgbBytes(*B);
    for (int Y = 0; Y < 20; ++Y)
        for (int X = 0; X < 30; ++X) {
            const QRgb Px = Canvas.pixel(X, Y);
            const bool Inside = X >= 5 && X < 18 && Y >= 7 && Y < 16;
            if (!Inside) {
                ASSERT_EQ(Px & 0xFFFFFF, 0u) << X << "," << Y;
                continue;
            }
            const std::size_t I = (static_cast<std::size_t>(Y - 7) * 13 + (X - 5)) * 3;
            ASSERT_EQ(qRed(Px), static_cast<std::uint8_t>(Rgb[I])) << X << "," << Y;
            ASSERT_EQ(qGreen(Px), static_cast<std::uint8_t>(Rgb[I + 1])) << X << "," << Y;
            ASSERT_EQ(qBlue(Px), static_cast<std::uint8_t>(Rgb[I + 2])) << X << "," << Y;
        }
}

} // namespace
