#include "settings/FileInfo.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <unistd.h>

namespace {

std::string TestProgram()
{
    char Buf[4096];
    ssize_t N = ::readlink("/proc/self/exe", Buf, sizeof Buf - 1);
    return N > 0 ? std::string(Buf, static_cast<std::size_t>(N)) : std::string();
}

int RunCommand(const std::string& Command)
{
    return std::system((Command + " >/dev/null 2>&1").c_str());
}

std::string Quote(const std::string& S)
{
    return "'" + S + "'";
}

// Copies of the test program whose version record objcopy has replaced.
class VersionRecordCopies : public ::testing::Test {
protected:
    void SetUp() override
    {
        Self = TestProgram();
        ASSERT_FALSE(Self.empty());
        if (RunCommand("objcopy --version") != 0) {
            GTEST_SKIP() << "objcopy (binutils) is not installed";
        }
        // The descriptor size the build gave: a replacement keeps the
        // section's size, so the loaded program image stays as linked.
        std::string Dump = Dir.Path("section.bin");
        ASSERT_EQ(RunCommand("objcopy --dump-section .note.tolvex.version=" + Quote(Dump) + " " +
                             Quote(Self) + " " + Quote(Dir.Path("scratch"))),
                  0);
        SectionSize = TempFolder::Read(Dump).size();
        ASSERT_GT(SectionSize, 12u + 8u);
    }

    // A copy of the program with Record as its version record's text.
    std::string WithRecord(const std::string& Record)
    {
        const std::size_t DescSize = SectionSize - 12 - 8;
        EXPECT_LE(Record.size(), DescSize) << "record too long for the test program's section";
        std::string Desc = Record;
        Desc.resize(DescSize, '\n'); // blank lines are no entries
        std::string Section(12, '\0');
        auto Put = [&](std::size_t At, std::uint32_t V) {
            for (int I = 0; I < 4; ++I) {
                Section[At + I] = static_cast<char>(V >> (8 * I));
            }
        };
        Put(0, 7);
        Put(4, static_cast<std::uint32_t>(DescSize));
        Put(8, VersionNoteType);
        Section += std::string("Tolvex\0\0", 8);
        Section += Desc;
        std::string SectionFile = Dir.Path("new" + std::to_string(++Count) + ".bin");
        TempFolder::Write(SectionFile, Section);
        std::string Copy = Dir.Path("program" + std::to_string(Count));
        EXPECT_EQ(RunCommand("objcopy --update-section .note.tolvex.version=" + Quote(SectionFile) +
                             " " + Quote(Self) + " " + Quote(Copy)),
                  0);
        return Copy;
    }

    TempFolder Dir;
    std::string Self;
    std::size_t SectionSize = 0;
    int Count = 0;
};

const char* const Table = "StringFileInfo\\040904E4\\";

} // namespace

TEST(FileInfoOwnProgram, RecordWrittenByTheBuild)
{
    EXPECT_EQ(GetProductName(), TOLVEX_TEST_PRODUCT);
    EXPECT_EQ(GetCompanyName(), TOLVEX_TEST_COMPANY);
    EXPECT_EQ(GetFileCompanyName(TestProgram()), TOLVEX_TEST_COMPANY);
    EXPECT_EQ(GetInternalNameLower(), "tolvex");
    EXPECT_NE(GetLegalCopyright().find(TOLVEX_TEST_COMPANY), std::string::npos);

    // The project version, as the four-part file version.
    std::string Project = TOLVEX_TEST_VERSION;
    std::string Full = GetFileVersionFull();
    ASSERT_FALSE(Full.empty());
    int Major = 0, Minor = 0, Release = 0, Build = 0;
    ASSERT_EQ(std::sscanf(Full.c_str(), "%d.%d.%d.%d", &Major, &Minor, &Release, &Build), 4);
    int PMajor = 0, PMinor = 0, PRelease = 0;
    ASSERT_GE(std::sscanf(Project.c_str(), "%d.%d.%d", &PMajor, &PMinor, &PRelease), 2);
    EXPECT_EQ(Major, PMajor);
    EXPECT_EQ(Minor, PMinor);
    EXPECT_EQ(Release, PRelease);

    TFixedFileInfo Info{};
    GetFixedFileInfo("", Info);
    EXPECT_EQ(Info.Signature, FixedFileInfoSignature);
    EXPECT_EQ(Info.FileVersionMS, static_cast<std::uint32_t>(PMajor << 16 | PMinor));
    EXPECT_EQ(Info.FileType, 1u);

    // Built today or before, in the form the about box shows.
    std::string Date = GetBuildDate();
    ASSERT_EQ(Date.size(), 10u) << Date;
    for (std::size_t I = 0; I < Date.size(); ++I) {
        EXPECT_TRUE(I == 4 || I == 7 ? Date[I] == '-'
                                     : std::isdigit(static_cast<unsigned char>(Date[I])))
            << Date;
    }
    char Today[16];
    std::time_t Now = std::time(nullptr);
    std::strftime(Today, sizeof Today, "%Y-%m-%d", std::gmtime(&Now));
    EXPECT_LE(Date, std::string(Today));
}

TEST_F(VersionRecordCopies, VersionTexts)
{
    struct Case {
        const char* Version;
        const char* Short;
        const char* Full;
    };
    for (const Case& C :
         {Case{"21.10.0.0", "21.10", "21.10.0.0"}, Case{"1.2.3.4", "01.02.3", "01.02.3.4"},
          Case{"0.0.0.7", "00.00", "00.00.0.7"}, Case{"0.0.0.0", "00.00", ""},
          Case{"65535.1.2.3", "65535.01.2", "65535.01.2.3"},
          Case{"65536.1.0.0", "00.00", ""}, // not a 16-bit part
          Case{"1.2", "01.02", "01.02.0.0"}, Case{"1.2.3.4.5", "00.00", ""}}) {
        std::string Program = WithRecord(std::string("FileVersion=") + C.Version + "\n");
        EXPECT_EQ(GetFileVersionShort(Program), C.Short) << C.Version;
        EXPECT_EQ(GetFileVersionFull(Program), C.Full) << C.Version;
    }
}

TEST_F(VersionRecordCopies, BuildFlagsLaterOneWins)
{
    struct Case {
        const char* Flags;
        const char* Text;
    };
    for (const Case& C : {Case{"0x0", ""}, Case{"0x1", "Beta"}, Case{"0x2", "Pre-Release"},
                          Case{"0x3", "Pre-Release"}, Case{"0x20", "Special build"},
                          Case{"0x23", "Special build"}, Case{"0x4", ""}, Case{"junk", ""}}) {
        std::string Program = WithRecord(std::string("FileFlags=") + C.Flags + "\n");
        EXPECT_EQ(GetBuildFlagsText(Program), C.Text) << C.Flags;
    }
}

TEST_F(VersionRecordCopies, StringValuesOnlyFromTheUsEnglishTable)
{
    std::string Program =
        WithRecord(std::string("StringFileInfo\\040704B0\\CompanyName=German\n") + Table +
                   "ProductName=Other Product\n" + Table + "companyname=Case Insensitive\n" +
                   Table + "LegalCopyright=(c) x = y\n");
    EXPECT_EQ(GetVersionInfoString("ProductName", Program), "Other Product");
    EXPECT_EQ(GetFileCompanyName(Program), "Case Insensitive");
    EXPECT_EQ(GetLegalCopyright(Program), "(c) x = y");
    EXPECT_EQ(GetVersionInfoString("InternalName", Program), "");
    // The running program is not the copy.
    EXPECT_EQ(GetProductName(), TOLVEX_TEST_PRODUCT);
}

TEST_F(VersionRecordCopies, FixedBlockAndBuildDate)
{
    std::string Program = WithRecord("FileVersion=1.2.3.4\nProductVersion=5.6.7.8\n"
                                     "FileFlagsMask=0x3f\nFileFlags=0x2\nFileOS=0x4\n"
                                     "FileType=0x1\nFileSubtype=7\nBuildDate=1970-01-01\n");
    TFixedFileInfo Info{};
    GetFixedFileInfo(Program, Info);
    EXPECT_EQ(Info.Signature, 0xFEEF04BDu);
    EXPECT_EQ(Info.StrucVersion, 0x00010000u);
    EXPECT_EQ(Info.FileVersionMS, 0x00010002u);
    EXPECT_EQ(Info.FileVersionLS, 0x00030004u);
    EXPECT_EQ(Info.ProductVersionMS, 0x00050006u);
    EXPECT_EQ(Info.ProductVersionLS, 0x00070008u);
    EXPECT_EQ(Info.FileFlagsMask, 0x3Fu);
    EXPECT_EQ(Info.FileFlags, 2u);
    EXPECT_EQ(Info.FileOS, 4u);
    EXPECT_EQ(Info.FileSubtype, 7u);
    // 1970-01-01 in 100 ns units since 1601-01-01.
    EXPECT_EQ(Info.FileDateMS, 0x019DB1DEu);
    EXPECT_EQ(Info.FileDateLS, 0xD53E8000u);
    EXPECT_EQ(GetBuildDate(Program), "1970-01-01");

    for (const char* Bad : {"2001-02-29", "2026-13-01", "26-12-08", "2026-12-8x"}) {
        std::string P = WithRecord(std::string("BuildDate=") + Bad + "\n");
        EXPECT_EQ(GetBuildDate(P), "") << Bad;
        GetFixedFileInfo(P, Info);
        EXPECT_EQ(Info.FileDateMS | Info.FileDateLS, 0u) << Bad;
    }
    EXPECT_EQ(GetBuildDate(WithRecord("BuildDate=2000-02-29\n")), "2000-02-29");
}

TEST_F(VersionRecordCopies, FilesWithoutTheRecordGiveEmptyResults)
{
    std::string Removed = Dir.Path("removed");
    ASSERT_EQ(RunCommand("objcopy --remove-section .note.tolvex.version " + Quote(Self) + " " +
                         Quote(Removed)),
              0);
    std::string Text = Dir.Path("text.txt");
    TempFolder::Write(Text, "just some text, no ELF\n");
    std::string Truncated = Dir.Path("truncated");
    TempFolder::Write(Truncated, TempFolder::Read(Self).substr(0, 200));

    for (const std::string& File : {Removed, Text, Truncated, Dir.Path("missing"), Dir.Path("")}) {
        TFixedFileInfo Info;
        std::memset(&Info, 0xAB, sizeof Info);
        GetFixedFileInfo(File, Info);
        TFixedFileInfo Zero{};
        EXPECT_EQ(std::memcmp(&Info, &Zero, sizeof Info), 0) << File;
        EXPECT_EQ(GetFileVersionShort(File), "00.00") << File;
        EXPECT_EQ(GetFileVersionFull(File), "") << File;
        EXPECT_EQ(GetBuildFlagsText(File), "") << File;
        EXPECT_EQ(GetBuildDate(File), "") << File;
        EXPECT_EQ(GetFileCompanyName(File), "") << File;
        EXPECT_EQ(GetLegalCopyright(File), "") << File;
    }
}
