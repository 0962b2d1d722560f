#include "platform/AtomicFile.h"

#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

using platform::EFileError;
using platform::ReadWholeFile;

namespace {

// How a read of FileName ended: "bytes <count>" or "<operation> <errno
// name>: <what>"; "hung" when it had not ended within five seconds.
std::string Outcome(const std::string& FileName, std::size_t MaxSize = platform::DefaultReadLimit)
{
    return AnswerWithin(std::chrono::seconds(5), [&] {
        try {
            return "bytes " + std::to_string(ReadWholeFile(FileName, MaxSize).size());
        } catch (const EFileError& E) {
            return E.Operation + " " + strerrorname_np(E.Errno) + ": " + E.what();
        }
    });
}

std::string Start(const std::string& Text, std::size_t Length)
{
    return Text.substr(0, Length);
}

} // namespace

TEST(ReadWholeFile, ReadsARegularFileWholeAndThroughALink)
{
    TempFolder Dir;
    // Larger than one read, and not a multiple of it.
    std::string Data(3 * 65536 + 1234, '\0');
    for (std::size_t I = 0; I < Data.size(); ++I)
        Data[I] = static_cast<char>(I * 7 + I / 251);
    TempFolder::Write(Dir.Path("data.bin"), Data);
    EXPECT_EQ(ReadWholeFile(Dir.Path("data.bin")), Data);
    ASSERT_EQ(::symlink(Dir.Path("data.bin").c_str(), Dir.Path("link").c_str()), 0);
    EXPECT_EQ(ReadWholeFile(Dir.Path("link")), Data);
    TempFolder::Write(Dir.Path("empty"), "");
    EXPECT_EQ(ReadWholeFile(Dir.Path("empty")), "");
}

TEST(ReadWholeFile, ANamedPipeIsRefusedAtOnceWithoutAWriter)
{
    TempFolder Dir;
    const std::string Fifo = Dir.Path("mac_comments.txt");
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    const std::string Told = Outcome(Fifo);
    EXPECT_EQ(Start(Told, 12), "open EINVAL:") << Told;
    EXPECT_NE(Told.find("\"" + Fifo + "\": not a regular file"), std::string::npos) << Told;
    // Also when it is reached through a link.
    ASSERT_EQ(::symlink(Fifo.c_str(), Dir.Path("link").c_str()), 0);
    EXPECT_EQ(Start(Outcome(Dir.Path("link")), 12), "open EINVAL:");
}

TEST(ReadWholeFile, ADeviceIsRefusedInsteadOfReadForEver)
{
    // /dev/zero never ends; /dev/null would read as an empty file.
    for (const char* Device : {"/dev/zero", "/dev/null", "/dev/urandom"}) {
        const std::string Told = Outcome(Device);
        EXPECT_EQ(Start(Told, 12), "open EINVAL:") << Device << ": " << Told;
        EXPECT_NE(Told.find("not a regular file"), std::string::npos) << Told;
    }
}

TEST(ReadWholeFile, AFolderAndAMissingFileRaiseTheirOwnErrors)
{
    TempFolder Dir;
    EXPECT_EQ(Start(Outcome(Dir.Path()), 12), "read EISDIR:");
    const std::string Missing = Outcome(Dir.Path("missing.txt"));
    EXPECT_EQ(Start(Missing, 12), "open ENOENT:") << Missing;
    EXPECT_NE(Missing.find("No such file or directory"), std::string::npos) << Missing;
    EXPECT_EQ(Start(Outcome(Dir.Path("missing/below.txt")), 12), "open ENOENT:");
}

TEST(ReadWholeFile, AFileOverTheLimitIsRefusedBeforeItIsRead)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("ten"), "0123456789");
    EXPECT_EQ(Outcome(Dir.Path("ten"), 10), "bytes 10");
    EXPECT_EQ(Start(Outcome(Dir.Path("ten"), 9), 11), "read EFBIG:");
    // A sparse file just over the default limit: refused by its size, at
    // once, not after reading a quarter of a gigabyte.
    const std::string Huge = Dir.Path("huge");
    const int Fd = ::open(Huge.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(Fd, 0);
    ASSERT_EQ(::ftruncate(Fd, static_cast<off_t>(platform::DefaultReadLimit) + 1), 0);
    ::close(Fd);
    const auto Began = std::chrono::steady_clock::now();
    const std::string Told = Outcome(Huge);
    EXPECT_EQ(Start(Told, 11), "read EFBIG:") << Told;
    EXPECT_LT(std::chrono::steady_clock::now() - Began, std::chrono::seconds(1));
}

TEST(ReadWholeFile, AKernelFileThatTellsNoSizeIsReadToItsEndWithinTheLimit)
{
    // Files under /proc are regular and say they are empty.
    struct stat St {};
    ASSERT_EQ(::stat("/proc/self/status", &St), 0);
    ASSERT_EQ(St.st_size, 0);
    const std::string Status = ReadWholeFile("/proc/self/status");
    EXPECT_EQ(Status.rfind("Name:", 0), 0u) << Status;
    // The limit holds for what is read, not only for the size told.
    EXPECT_EQ(Start(Outcome("/proc/self/status", 16), 11), "read EFBIG:");
}

TEST(EFileError, CarriesTheSystemsTextOrTheGivenReason)
{
    const EFileError System("open", "/x", ENOENT);
    EXPECT_EQ(System.Reason, std::strerror(ENOENT));
    EXPECT_STREQ(System.what(), (std::string("open \"/x\": ") + std::strerror(ENOENT)).c_str());
    const EFileError Own("open", "/x", EINVAL, "not a regular file");
    EXPECT_EQ(Own.Errno, EINVAL);
    EXPECT_STREQ(Own.what(), "open \"/x\": not a regular file");
}
