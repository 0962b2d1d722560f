// make_crash_resources bitmap: PNG pictures of several forms become the
// 40-byte header and the 32-bit pixels (bottom-up, blue, green, red, alpha)
// that Pillow reads out of the same files; what is not a picture fails the
// build step and leaves no file.
#include "tests/crashreport/BitmapPictures.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <sstream>

namespace {

const std::string Tool = TOLVEX_MAKE_CRASH_RESOURCES;

std::uint32_t LE(const std::string& S, std::size_t At, int Bytes)
{
    std::uint32_t V = 0;
    for (int I = 0; I < Bytes; ++I)
        V |= std::uint32_t{static_cast<std::uint8_t>(S[At + static_cast<std::size_t>(I)])}
             << (8 * I);
    return V;
}

TEST(CrashreportBitmapTool, PicturesBecomeBitmapResources)
{
    TempFolder Temp;
    struct TCase {
        const char* Name;
        const char* Make; // Pillow: an image "im" to save as PNG
    };
    const TCase Cases[] = {
        {"RGBA with soft edges",
         "im = Image.radial_gradient('L').resize((32, 32)).convert('RGBA'); "
         "im.putalpha(Image.linear_gradient('L').resize((32, 32)))"},
        {"RGB 7x5", "im = Image.effect_noise((7, 5), 80).convert('RGB')"},
        {"palette 16x16",
         "im = Image.effect_mandelbrot((16, 16), (-2, -1, 1, 1), 40).convert('P')"},
        {"grey 3x9", "im = Image.linear_gradient('L').resize((3, 9))"},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(C.Name);
        const std::string Png = Temp.Path("picture.png"), Out = Temp.Path("picture.bitmap");
        const std::string Script = std::string("from PIL import Image; import sys; ") + C.Make +
                                   "; im.save(sys.argv[1]); "
                                   "r = im.convert('RGBA'); "
                                   "print(r.width, r.height, r.tobytes().hex())";
        const TCommandResult Made =
            RunCommand("/usr/bin/python3 -c " + Quote(Script) + " " + Quote(Png));
        ASSERT_EQ(Made.Status, 0) << Made.Output;
        std::istringstream In(Made.Output);
        int W = 0, H = 0;
        std::string Hex;
        In >> W >> H >> Hex;
        const std::string Rgba = Unhex(Hex);

        const TCommandResult R =
            RunCommand(Quote(Tool) + " bitmap " + Quote(Png) + " " + Quote(Out) + " 2>&1");
        ASSERT_EQ(R.Status, 0) << R.Output;
        const std::string Res = TempFolder::Read(Out);
        ASSERT_EQ(Res.size(), 40u + 4u * W * H);
        EXPECT_EQ(LE(Res, 0, 4), 40u);
        EXPECT_EQ(LE(Res, 4, 4), static_cast<std::uint32_t>(W));
        EXPECT_EQ(LE(Res, 8, 4), static_cast<std::uint32_t>(H));
        EXPECT_EQ(LE(Res, 12, 2), 1u);
        EXPECT_EQ(LE(Res, 14, 2), 32u);
        EXPECT_EQ(LE(Res, 16, 4), 0u);
        EXPECT_EQ(LE(Res, 20, 4), static_cast<std::uint32_t>(W * 4 * H));
        for (int Y = 0; Y < H; ++Y)
            for (int X = 0; X < W; ++X) {
                const std::size_t Mine = 40 + (static_cast<std::size_t>(H - 1 - Y) * W + X) * 4;
                const std::size_t Theirs = (static_cast<std::size_t>(Y) * W + X) * 4;
                ASSERT_EQ(Res[Mine], Rgba[Theirs + 2]) << X << "," << Y; // blue
                ASSERT_EQ(Res[Mine + 1], Rgba[Theirs + 1]) << X << "," << Y;
                ASSERT_EQ(Res[Mine + 2], Rgba[Theirs]) << X << "," << Y; // red
                ASSERT_EQ(Res[Mine + 3], Rgba[Theirs + 3]) << X << "," << Y;
            }
    }
    // Not a picture: the step fails and writes nothing.
    TempFolder::Write(Temp.Path("text.png"), "no picture here");
    const TCommandResult Bad = RunCommand(Quote(Tool) + " bitmap " + Quote(Temp.Path("text.png")) +
                                          " " + Quote(Temp.Path("bad.bitmap")) + " 2>&1");
    EXPECT_NE(Bad.Status, 0);
    EXPECT_NE(Bad.Output.find("text.png"), std::string::npos) << Bad.Output;
    EXPECT_FALSE(std::filesystem::exists(Temp.Path("bad.bitmap")));
}

} // namespace
