// The bitmap's .bmp files as Pillow reads them, its files on the disk, and
// the sizes Zoom picks.
#include "crashreport/kelNVBitmap.h"
#include "tests/crashreport/BitmapPictures.h"

#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

TEST(CrashreportBitmap, BmpOfTwoByTwoIsSeventyBytes)
{
    auto B = NewNVBitmap(2, 2);
    ASSERT_TRUE(B);
    const std::string Bmp = B->AsBmpStr();
    EXPECT_EQ(Bmp.size(), 70u);
    EXPECT_EQ(Bmp.substr(0, 2), "BM");
    EXPECT_EQ(B->Header().SizeImage, 16u);
}

TEST(CrashreportBitmap, PillowReadsEveryPixelOfTheBmp)
{
    TempFolder Temp;
    struct TCase {
        int W, H;
    };
    for (TCase C : {TCase{1, 1}, TCase{5, 3}, TCase{64, 17}, TCase{3, 40}}) {
        SCOPED_TRACE(std::to_string(C.W) + "x" + std::to_string(C.H));
        auto B = NoiseBitmap(C.W, C.H, 11u + static_cast<unsigned>(C.W));
        const std::string File = Temp.Path("picture.bmp");
        ASSERT_TRUE(B->SaveBmp(File));
        auto Facts = BitmapOracle("bmp " + Quote(File));
        ASSERT_EQ(Facts.count("failure"), 0u) << Facts["failure"];
        EXPECT_EQ(Facts["width"], std::to_string(C.W));
        EXPECT_EQ(Facts["height"], std::to_string(C.H));
        EXPECT_EQ(Unhex(Facts["rgb"]), RgbBytes(*B));
    }
}

TEST(CrashreportBitmap, FailedSavesLeaveNoFile)
{
    TempFolder Temp;
    auto B = NoiseBitmap(40, 30, 3);
    // No such folder.
    EXPECT_FALSE(B->SaveBmp(Temp.Path("missing/picture.bmp")));
    EXPECT_FALSE(B->SavePng(Temp.Path("missing/picture.png"), pdColours));
    // A picture without pixels has no PNG form: no file at all.
    auto Empty = NewNVBitmap(0, 5);
    ASSERT_TRUE(Empty);
    EXPECT_EQ(Empty->AsPngStr(pdColours), "");
    EXPECT_FALSE(Empty->SavePng(Temp.Path("empty.png"), pdColours));
    EXPECT_FALSE(std::filesystem::exists(Temp.Path("empty.png")));
    // A write cut short (the file size limit of a child process) deletes the
    // part written.
    for (const char* Name : {"short.bmp", "short.png"}) {
        const std::string File = Temp.Path(Name);
        const pid_t Child = ::fork();
        ASSERT_GE(Child, 0);
        if (Child == 0) {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit Limit{1000, 1000};
            ::setrlimit(RLIMIT_FSIZE, &Limit);
            const bool Saved = std::string(Name).ends_with(".bmp") ? B->SaveBmp(File)
                                                                   : B->SavePng(File, pdColours);
            ::_exit(Saved ? 1 : 0);
        }
        int Status = 0;
        ::waitpid(Child, &Status, 0);
        EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0) << Name << " saved";
        EXPECT_FALSE(std::filesystem::exists(File)) << Name;
    }
}

TEST(CrashreportBitmap, ZoomKeepsTheAspectRatio)
{
    struct TCase {
        int W, H, MaxW, MaxH, WantW, WantH;
    };
    const TCase Cases[] = {
        {200, 100, 100, 100, 100, 50},  // wider than the box
        {100, 200, 100, 100, 50, 100},  // taller
        {200, 100, 400, 200, 400, 200}, // the same shape, enlarged
        {300, 200, 90, 90, 90, 60},
        {30, 20, 300, 300, 300, 200}, // enlarged up to the tighter side
        {1, 100, 50, 50, 1, 50},      // one pixel wide stays one pixel wide
        {100, 1, 50, 50, 50, 1},
    };
    for (const TCase& C : Cases) {
        SCOPED_TRACE(std::to_string(C.W) + "x" + std::to_string(C.H) + " into " +
                     std::to_string(C.MaxW) + "x" + std::to_string(C.MaxH));
        auto Z = NoiseBitmap(C.W, C.H, 1)->Zoom(C.MaxW, C.MaxH);
        ASSERT_TRUE(Z);
        EXPECT_EQ(Z->GetWidth(), C.WantW);
        EXPECT_EQ(Z->GetHeight(), C.WantH);
    }
}

TEST(CrashreportBitmap, ZoomOfNothingIsNull)
{
    // A picture an editor saved 0 pixels wide, or a box without room, used to
    // divide by zero.
    EXPECT_EQ(NewNVBitmap(0, 40)->Zoom(100, 100), nullptr);
    EXPECT_EQ(NewNVBitmap(40, 0)->Zoom(100, 100), nullptr);
    EXPECT_EQ(NewNVBitmap(40, 40)->Zoom(0, 100), nullptr);
    EXPECT_EQ(NewNVBitmap(40, 40)->Zoom(100, -1), nullptr);
    EXPECT_EQ(NewNVBitmap(40, 40)->Resample(0, 10), nullptr);
    EXPECT_EQ(NewNVBitmap(-1, 4), nullptr);
    EXPECT_EQ(NewNVBitmap(1 << 16, 1 << 15), nullptr); // 8 GiB of pixels
}

} // namespace
