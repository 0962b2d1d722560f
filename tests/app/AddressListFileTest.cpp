// The address-list text file: what editors on either system write is read,
// and what we write is CR LF text.
#include "app/uAddressListFile.h"
#include "platform/AtomicFile.h"

#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using Lines = std::vector<std::string>;

TEST(AddressListFile, LineEndsOfEitherSystemAndAMissingLastBreakAreRead)
{
    EXPECT_EQ(ParseAddressListText("pc1\r\n10.0.0.5\r\n"), (Lines{"pc1", "10.0.0.5"}));
    EXPECT_EQ(ParseAddressListText("pc1\n10.0.0.5\n"), (Lines{"pc1", "10.0.0.5"}));
    EXPECT_EQ(ParseAddressListText("pc1\r\n10.0.0.5"), (Lines{"pc1", "10.0.0.5"}));
    EXPECT_EQ(ParseAddressListText("pc1\r10.0.0.5\r"), (Lines{"pc1", "10.0.0.5"}));
    EXPECT_EQ(ParseAddressListText("\xEF\xBB\xBFpc1\n"), (Lines{"pc1"}));
    EXPECT_EQ(ParseAddressListText(""), Lines{});
}

TEST(AddressListFile, EmptyLinesAreEmptyEntriesAndTextStaysUnchanged)
{
    EXPECT_EQ(ParseAddressListText("a\r\n\r\nb\r\n"), (Lines{"a", "", "b"}));
    EXPECT_EQ(ParseAddressListText("a\n\nb"), (Lines{"a", "", "b"}));
    EXPECT_EQ(ParseAddressListText("\r\n"), (Lines{""}));
    EXPECT_EQ(ParseAddressListText("  spaced \t\r\nBüro\n"), (Lines{"  spaced \t", "Büro"}));
}

TEST(AddressListFile, AnImportedLineLosesTheBlanksAroundIt)
{
    const std::pair<const char*, const char*> Cases[] = {
        {"  198.18.0.25  ", "198.18.0.25"},
        {"\tprinter\t", "printer"},
        {"Büro 2 ", "Büro 2"},
        {" \t ", ""},
        {"", ""},
        {"pc\x01", "pc"},
    };
    for (const auto& [Line, Want] : Cases)
        EXPECT_EQ(TrimAddressLine(Line), Want) << Line;
}

TEST(AddressListFile, RoundTripThroughFilesWritesCrLf)
{
    TempFolder Dir;
    const Lines Entries{"pc1", "", "10.0.0.5", "Büro"};
    WriteAddressListFile(Dir.Path("list.txt"), Entries);
    EXPECT_EQ(TempFolder::Read(Dir.Path("list.txt")), "pc1\r\n\r\n10.0.0.5\r\nBüro\r\n");
    EXPECT_EQ(ReadAddressListFile(Dir.Path("list.txt")), Entries);

    TempFolder::Write(Dir.Path("unix.txt"), "pc1\n\n10.0.0.5\nBüro");
    EXPECT_EQ(ReadAddressListFile(Dir.Path("unix.txt")), Entries);

    WriteAddressListFile(Dir.Path("empty.txt"), {});
    EXPECT_EQ(TempFolder::Read(Dir.Path("empty.txt")), "");
}

TEST(AddressListFile, FilesThatCannotBeReadOrWrittenRaise)
{
    TempFolder Dir;
    try {
        ReadAddressListFile(Dir.Path("none.txt"));
        FAIL() << "no error";
    } catch (const EAddressListFileError& E) {
        EXPECT_NE(std::string(E.what()).find(Dir.Path("none.txt")), std::string::npos) << E.what();
    }
    EXPECT_THROW(ReadAddressListFile(Dir.Path()), EAddressListFileError);
    EXPECT_THROW(WriteAddressListFile(Dir.Path("no/such/list.txt"), {"a"}), platform::EFileError);
}

TEST(AddressListFile, ANamedPipeOrADeviceGivenForImportRaisesAtOnce)
{
    TempFolder Dir;
    const std::string Fifo = Dir.Path("list.txt");
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    for (const std::string& File : {Fifo, std::string("/dev/zero")}) {
        EXPECT_EQ(AnswerWithin(std::chrono::seconds(5),
                               [&] {
                                   try {
                                       ReadAddressListFile(File);
                                   } catch (const EAddressListFileError& E) {
                                       return std::string(E.what());
                                   }
                                   return std::string("read");
                               }),
                  "Can't read file " + File + ": not a regular file");
    }
}

} // namespace
