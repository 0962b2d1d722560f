// Zip archives written by ZipFiles, read back by unzip, zipinfo and Python's
// zipfile module.
#include "crashlib/kelZip.h"

#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// Runs a command; its standard output, and its exit status in *Status.
std::string RunCommand(const std::string& Command, int* Status)
{
    FILE* P = ::popen(Command.c_str(), "r");
    std::string Out;
    if (P == nullptr) {
        *Status = -1;
        return Out;
    }
    char Buf[4096];
    for (std::size_t N; (N = std::fread(Buf, 1, sizeof Buf, P)) > 0;) {
        Out.append(Buf, N);
    }
    const int Rc = ::pclose(P);
    *Status = WIFEXITED(Rc) ? WEXITSTATUS(Rc) : -1;
    return Out;
}

std::string Quote(const std::string& S)
{
    std::string Q = "'";
    for (char C : S) {
        Q += C == '\'' ? std::string("'\\''") : std::string(1, C);
    }
    return Q + "'";
}

// Python's view of the archive: testzip()'s verdict, then one line per entry
// of fields split by "|": name, size, compressed size, CRC, flags, system of
// origin, mode, local-header offset, date and time, length read back.
std::string PythonListing(const std::string& Archive)
{
    const std::string Script = R"(
import sys, zipfile
with zipfile.ZipFile(sys.argv[1]) as z:
    print("testzip", z.testzip())
    for i in z.infolist():
        print(i.filename, i.file_size, i.compress_size, "%08x" % i.CRC,
              "%04x" % i.flag_bits, i.create_system, "%o" % (i.external_attr >> 16),
              i.header_offset, "%04d-%02d-%02d %02d:%02d:%02d" % i.date_time, len(z.read(i)),
              sep="|")
)";
    int Status = 0;
    const std::string Out = RunCommand(
        "/usr/bin/python3 -c " + Quote(Script) + " " + Quote(Archive) + " 2>&1", &Status);
    EXPECT_EQ(Status, 0) << Out;
    return Out;
}

std::vector<std::string> Split(const std::string& Text, char Separator)
{
    std::vector<std::string> L;
    std::size_t I = 0;
    while (I < Text.size()) {
        const std::size_t E = std::min(Text.find(Separator, I), Text.size());
        L.push_back(Text.substr(I, E - I));
        I = E + 1;
    }
    return L;
}

// The listing's entries, each split into its fields.
std::vector<std::vector<std::string>> Entries(const std::string& Archive)
{
    const std::vector<std::string> L = Split(PythonListing(Archive), '\n');
    EXPECT_FALSE(L.empty());
    EXPECT_EQ(L.empty() ? "" : L[0], "testzip None");
    std::vector<std::vector<std::string>> E;
    for (std::size_t I = 1; I < L.size(); ++I) {
        E.push_back(Split(L[I], '|'));
        EXPECT_EQ(E.back().size(), 10u) << L[I];
        E.back().resize(10);
    }
    return E;
}

using Fields = std::vector<std::string>;

std::string CrcHex(const std::string& Data)
{
    char Buf[16];
    std::snprintf(Buf, sizeof Buf, "%08lx",
                  crc32(0, reinterpret_cast<const Bytef*>(Data.data()), Data.size()));
    return Buf;
}

void ExpectToolsAccept(const std::string& Archive)
{
    int Status = 0;
    const std::string Tested = RunCommand("unzip -tq " + Quote(Archive) + " 2>&1", &Status);
    EXPECT_EQ(Status, 0) << Tested;
    const std::string Info = RunCommand("zipinfo -v " + Quote(Archive) + " 2>&1", &Status);
    EXPECT_EQ(Status, 0) << Info;
    EXPECT_NE(Info.find("file system or operating system of origin:      Unix"), std::string::npos)
        << Info;
}

void SetTime(const std::string& Path, std::time_t When)
{
    const struct timespec Times[2] = {{When, 0}, {When, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, Path.c_str(), Times, 0), 0);
}

std::time_t LocalTime(int Year, int Month, int Day, int Hour, int Min, int Sec)
{
    std::tm T{};
    T.tm_year = Year - 1900;
    T.tm_mon = Month - 1;
    T.tm_mday = Day;
    T.tm_hour = Hour;
    T.tm_min = Min;
    T.tm_sec = Sec;
    T.tm_isdst = -1;
    return std::mktime(&T);
}

} // namespace

TEST(CrashlibZipFiles, ArchiveOfReportFilesReadsBackEverywhere)
{
    TempFolder Dir;
    std::mt19937 Rng(5);
    std::string Binary(70000, '\0');
    for (char& C : Binary) {
        C = static_cast<char>(Rng());
    }
    std::string Text;
    while (Text.size() < 100000) {
        Text += "Thread 3 stopped at 0x7f00" + std::to_string(Rng() % 1000) + " in kelZip\n";
    }
    const std::string Umlauts = "Bericht \xC3\xBC"
                                "ber Gr\xC3\xB6\xC3\x9F"
                                "e.txt"; // über Größe
    TempFolder::Write(Dir.Path("report.txt"), Text);
    TempFolder::Write(Dir.Path("screen.bin"), Binary);
    TempFolder::Write(Dir.Path("empty.log"), "");
    TempFolder::Write(Dir.Path("sub/" + Umlauts), "gr\xC3\xBC\xC3\x9F"
                                                  "e\n");
    ::chmod(Dir.Path("screen.bin").c_str(), 0640);
    SetTime(Dir.Path("report.txt"), LocalTime(2024, 2, 29, 13, 45, 31));

    const std::string Archive = Dir.Path("report.zip");
    ASSERT_TRUE(ZipFiles(Archive,
                         {Dir.Path("report.txt"), Dir.Path("screen.bin"), Dir.Path("empty.log"),
                          Dir.Path("sub/" + Umlauts)},
                         {"Report.txt"}));
    ExpectToolsAccept(Archive);

    const auto E = Entries(Archive);
    ASSERT_EQ(E.size(), 4u);
    // Named by the caller, the others by their file names; every entry is
    // deflated, flagged UTF-8, made on Unix with the file's mode, and dated
    // in local time to the even second. An empty file compresses to the 2
    // bytes of one empty final block.
    const std::string T = std::to_string(Text.size());
    EXPECT_EQ(E[0], (Fields{"Report.txt", T, E[0][2], CrcHex(Text), "0800", "3", "100644", "0",
                            "2024-02-29 13:45:30", T}));
    EXPECT_LT(std::stoul(E[0][2]), Text.size() / 4);
    EXPECT_EQ(E[1][0], "screen.bin");
    EXPECT_EQ(E[1][1], "70000");
    EXPECT_EQ(E[1][3], CrcHex(Binary));
    EXPECT_EQ(E[1][6], "100640");
    EXPECT_EQ(Fields(E[2].begin(), E[2].begin() + 7),
              (Fields{"empty.log", "0", "2", "00000000", "0800", "3", "100644"}));
    EXPECT_EQ(E[3][0], Umlauts);
    EXPECT_EQ(E[3][4], "0800");
    EXPECT_EQ(E[3][9], "8");
    // Each local header follows the previous entry: 30 bytes, name, data.
    EXPECT_EQ(std::stoul(E[1][7]), 30 + 10 + std::stoul(E[0][2]));

    // The archive is its owner's alone.
    struct stat St {};
    ASSERT_EQ(::stat(Archive.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0600u);
}

TEST(CrashlibZipFiles, SkipsWhatCannotBeReadAndFailsWithNothing)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("b.txt"), "second");
    const std::string Archive = Dir.Path("out.zip");
    // An earlier, world-readable file of that name is replaced by one of mode 0600.
    TempFolder::Write(Archive, "old");
    ::chmod(Archive.c_str(), 0644);

    ASSERT_TRUE(ZipFiles(Archive, {Dir.Path("missing.txt"), Dir.Path("b.txt"), Dir.Path("")}, {}));
    ExpectToolsAccept(Archive);
    const auto E = Entries(Archive);
    ASSERT_EQ(E.size(), 1u);
    // The one entry starts the archive: offset 0.
    EXPECT_EQ(E[0][0], "b.txt");
    EXPECT_EQ(E[0][7], "0");
    EXPECT_EQ(E[0][9], "6");
    struct stat St {};
    ASSERT_EQ(::stat(Archive.c_str(), &St), 0);
    EXPECT_EQ(St.st_mode & 0777, 0600u);

    // Nothing readable: failure, and no archive left behind.
    EXPECT_FALSE(ZipFiles(Archive, {Dir.Path("missing.txt"), Dir.Path("")}, {}));
    EXPECT_NE(::access(Archive.c_str(), F_OK), 0);
    EXPECT_FALSE(ZipFiles(Archive, {}, {}));
    EXPECT_NE(::access(Archive.c_str(), F_OK), 0);
    // An archive that cannot be created.
    EXPECT_FALSE(ZipFiles(Dir.Path("no/such/folder.zip"), {Dir.Path("b.txt")}, {}));

    // A named pipe or a device given as a file is skipped without waiting
    // for a writer or reading without end.
    ASSERT_EQ(::mkfifo(Dir.Path("pipe").c_str(), 0600), 0);
    const std::vector<std::string> Odd = {Dir.Path("pipe"), "/dev/zero", Dir.Path("b.txt")};
    EXPECT_EQ(AnswerWithin(std::chrono::seconds(10),
                           [&] { return std::string(ZipFiles(Archive, Odd, {}) ? "y" : "n"); }),
              "y");
    const auto Kept = Entries(Archive);
    ASSERT_EQ(Kept.size(), 1u);
    EXPECT_EQ(Kept[0][0], "b.txt");
}

TEST(CrashlibZipFiles, NamesStayInsideTheArchive)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("f"), "x");
    const std::string F = Dir.Path("f");
    const std::string Archive = Dir.Path("names.zip");
    ASSERT_TRUE(
        ZipFiles(Archive, {F, F, F, F, F, F},
                 {"/etc/passwd", "../../escape.txt", "a/./b/../c.txt", "..", "ok\xFF.txt", ""}));
    ExpectToolsAccept(Archive);
    const auto E = Entries(Archive);
    ASSERT_EQ(E.size(), 6u);
    const char* const Expected[] = {"etc/passwd", "escape.txt",         "a/b/c.txt",
                                    "f",          "ok\xEF\xBF\xBD.txt", "f"};
    for (int I = 0; I < 6; ++I) {
        EXPECT_EQ(E[I][0], Expected[I]) << I;
    }
}

TEST(CrashlibZipFiles, DosTimesClampToTheirRange)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("old"), "1");
    TempFolder::Write(Dir.Path("new"), "2");
    SetTime(Dir.Path("old"), LocalTime(1975, 6, 1, 12, 0, 0));
    SetTime(Dir.Path("new"), LocalTime(2150, 6, 1, 12, 0, 0));
    const std::string Archive = Dir.Path("t.zip");
    ASSERT_TRUE(ZipFiles(Archive, {Dir.Path("old"), Dir.Path("new")}, {}));
    ExpectToolsAccept(Archive);
    const auto E = Entries(Archive);
    ASSERT_EQ(E.size(), 2u);
    EXPECT_EQ(E[0][8], "1980-01-01 00:00:00");
    EXPECT_EQ(E[1][8], "2107-12-31 23:59:58");
}

TEST(CrashlibZipFiles, LeavesOutFilesOf4GiBAndEntriesPast65535)
{
    TempFolder Dir;
    // A sparse file of exactly 4 GiB costs no disk and is never read.
    const std::string Huge = Dir.Path("huge");
    {
        const int Fd = ::open(Huge.c_str(), O_WRONLY | O_CREAT, 0600);
        ASSERT_GE(Fd, 0);
        ASSERT_EQ(::ftruncate(Fd, std::int64_t{1} << 32), 0);
        ::close(Fd);
    }
    TempFolder::Write(Dir.Path("small"), "s");
    std::vector<std::string> Paths = {Huge};
    Paths.insert(Paths.end(), 65540, Dir.Path("small"));
    const std::string Archive = Dir.Path("many.zip");
    ASSERT_TRUE(ZipFiles(Archive, Paths, {}));

    int Status = 0;
    const std::string Count =
        RunCommand("/usr/bin/python3 -c 'import sys, zipfile; z = zipfile.ZipFile(sys.argv[1]); "
                   "print(len(z.infolist()), z.testzip(), {i.filename for i in z.infolist()})' " +
                       Quote(Archive),
                   &Status);
    EXPECT_EQ(Status, 0);
    EXPECT_EQ(Count, "65535 None {'small'}\n");
    const std::string Tested = RunCommand("unzip -tq " + Quote(Archive) + " 2>&1", &Status);
    EXPECT_EQ(Status, 0) << Tested;
}
