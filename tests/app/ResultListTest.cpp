// Row texts, comparisons, the header cycle, comments, copy texts and log
// rows of the result list, without a window.
#include "app/uListExport.h"
#include "app/uLogList.h"
#include "app/uMacComments.h"
#include "app/uMacList.h"
#include "engine/uEngineOptions.h"
#include "platform/AtomicFile.h"
#include "settings/CommonFunctions.h"

#include "tests/support/ComputerBuilders.h"
#include "tests/support/TempFolder.h"
#include "tests/support/Watchdog.h"

#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

std::unique_ptr<TComputer> WmiComputer(const std::string& Name, const std::string& IP)
{
    auto C = MakeComputer(Name, IP);
    C->AdapterList.push_back(
        MakeAdapter("Intel Ethernet", "00-1B-21-00-00-01", "Intel", "10.0.0.5"));
    C->AdapterList.push_back(MakeAdapter("Wi-Fi", "00-1B-21-00-00-02", "Intel", ""));
    C->AdapterList.push_back(MakeAdapter("VPN", "02-00-4C-4F-4F-50", "", "10.8.0.2, 10.8.0.3"));
    return C;
}

class ResultRows : public ::testing::Test {
protected:
    void SetUp() override
    {
        sComputerCaptionStyle = "%s (%s)";
        Comments.Set("00-1a-2b-3c-4d-5e", "printer room");
        Ctx.Comments = &Comments;
    }
    void TearDown() override { sComputerCaptionStyle = "sComputerCaptionStyle"; }

    std::string T(const TComputer& C, int Column) const
    {
        TMacListData D{const_cast<TComputer*>(&C), nullptr};
        return GetMacListText(&D, Column, Ctx);
    }
    std::string T(const TComputer& C, const TMacAddress& A, int Column) const
    {
        TMacListData D{const_cast<TComputer*>(&C), const_cast<TMacAddress*>(&A)};
        return GetMacListText(&D, Column, Ctx);
    }

    TMacComments Comments;
    TMacListContext Ctx;
};

TEST_F(ResultRows, ArpComputerShowsItsAdapterInItsOwnRow)
{
    auto C = MakeArpComputer("PC1", "10.0.0.5", "00-1A-2B-3C-4D-5E", "Acme");
    EXPECT_EQ(T(*C, 0), "PC1");
    EXPECT_EQ(T(*C, 1), "10.0.0.5");
    EXPECT_EQ(T(*C, 2), "00-1A-2B-3C-4D-5E");
    EXPECT_EQ(T(*C, 3), "Acme");
    // Found through the lower-case line of another method.
    EXPECT_EQ(T(*C, 4), "printer room");
    EXPECT_EQ(T(*C, 5), "");
    EXPECT_EQ(T(*C, -1), "");
    TMacListData D{C.get(), nullptr};
    EXPECT_EQ(GetNodeMac(&D), "00-1A-2B-3C-4D-5E");
    EXPECT_EQ(GetMacListImageIndex(&D, 0), 0);
    EXPECT_EQ(GetMacListImageIndex(&D, 2), -1);
}

TEST_F(ResultRows, ListMethodComputerLeavesAdapterColumnsToItsChildren)
{
    auto C = WmiComputer("SRV", "10.0.0.5");
    for (int Col = 2; Col <= 4; ++Col)
        EXPECT_EQ(T(*C, Col), "") << Col;
    TMacListData D{C.get(), nullptr};
    EXPECT_EQ(GetNodeMac(&D), "");

    const TMacAddress& A = *C->AdapterList[2];
    EXPECT_EQ(T(*C, A, 0), "VPN");
    EXPECT_EQ(T(*C, A, 1), "10.8.0.2, 10.8.0.3");
    EXPECT_EQ(T(*C, A, 2), "02-00-4C-4F-4F-50");
    EXPECT_EQ(T(*C, A, 3), "");
    TMacListData AD{C.get(), C->AdapterList[2].get()};
    EXPECT_EQ(GetNodeMac(&AD), "02-00-4C-4F-4F-50");
    EXPECT_EQ(GetMacListImageIndex(&AD, 0), 1);

    // Single set but no adapter at all: nothing to show, no MAC to comment.
    C->AdapterList.clear();
    C->Single = true;
    EXPECT_EQ(T(*C, 2), "");
    EXPECT_EQ(GetNodeMac(&D), "");
    EXPECT_EQ(GetMacListText(nullptr, 0, Ctx), "");
    EXPECT_EQ(GetMacListImageIndex(nullptr, 0), -1);
}

TEST_F(ResultRows, CaptionFollowsStyleOnlyWhileTheIPColumnIsHidden)
{
    auto C = MakeArpComputer("PC1", "10.0.0.5", "00-00-00-00-00-01");
    auto NoName = MakeArpComputer("", "10.0.0.6", "00-00-00-00-00-02");
    const std::vector<std::pair<TComputerCaptionStyle, std::string>> Styles = {
        {ccsNameIP, "PC1 (10.0.0.5)"},
        {ccsIPName, "10.0.0.5 (PC1)"},
        {ccsName, "PC1"},
        {ccsIP, "10.0.0.5"},
        {static_cast<TComputerCaptionStyle>(7), "PC1"},
    };
    for (const auto& [Style, Expected] : Styles) {
        Ctx.Style = Style;
        Ctx.IPColumnVisible = true;
        EXPECT_EQ(T(*C, 0), "PC1") << int(Style);
        EXPECT_EQ(T(*NoName, 0), "10.0.0.6") << int(Style);
        Ctx.IPColumnVisible = false;
        EXPECT_EQ(T(*C, 0), Expected) << int(Style);
        EXPECT_EQ(T(*NoName, 0), "10.0.0.6") << int(Style);
    }
}

TEST_F(ResultRows, ComputerComparisonsPerColumn)
{
    Ctx.Style = ccsIPName;
    auto A = MakeArpComputer("pc2", "10.0.0.9", "aa-00-00-00-00-01", "acme");
    auto B = MakeArpComputer("PC2", "10.0.0.10", "AA-00-00-00-00-01", "ACME");
    // Column 0 with the IP first: numeric, so .9 before .10.
    EXPECT_LT(CompareComputerRows(*A, *B, 0, Ctx), 0);
    Ctx.Style = ccsName;
    EXPECT_EQ(CompareComputerRows(*A, *B, 0, Ctx), 0);
    EXPECT_LT(CompareComputerRows(*A, *B, 1, Ctx), 0);
    EXPECT_GT(CompareComputerRows(*B, *A, 1, Ctx), 0);
    EXPECT_EQ(CompareComputerRows(*A, *B, 2, Ctx), 0);
    EXPECT_EQ(CompareComputerRows(*A, *B, 3, Ctx), 0);

    Comments.Set("aa-00-00-00-00-01", "b");
    auto C = MakeArpComputer("x", "10.0.0.1", "AA-00-00-00-00-02", "Zeta");
    Comments.Set("AA-00-00-00-00-02", "a");
    EXPECT_LT(CompareComputerRows(*A, *C, 2, Ctx), 0);
    EXPECT_LT(CompareComputerRows(*A, *C, 3, Ctx), 0);
    EXPECT_GT(CompareComputerRows(*A, *C, 4, Ctx), 0);

    // A computer without a shown adapter sorts as its empty cells: before
    // every non-empty text, equal to another such computer, so the order
    // stays consistent.
    auto W = WmiComputer("SRV", "10.0.0.2");
    auto W2 = WmiComputer("SRV2", "10.0.0.3");
    for (int Col = 2; Col <= 4; ++Col) {
        EXPECT_GT(CompareComputerRows(*A, *W, Col, Ctx), 0) << Col;
        EXPECT_LT(CompareComputerRows(*W, *A, Col, Ctx), 0) << Col;
        EXPECT_EQ(CompareComputerRows(*W, *W2, Col, Ctx), 0) << Col;
    }
    auto NoVendor = MakeArpComputer("y", "10.0.0.4", "AA-00-00-00-00-03", "");
    EXPECT_EQ(CompareComputerRows(*W, *NoVendor, 3, Ctx), 0);
    EXPECT_EQ(CompareComputerRows(*A, *C, 9, Ctx), 0);
}

TEST_F(ResultRows, AdapterComparisonsAndMixedKinds)
{
    auto W = WmiComputer("SRV", "10.0.0.5");
    const TMacAddress& Eth = *W->AdapterList[0];
    const TMacAddress& Vpn = *W->AdapterList[2];
    auto Lower = MakeAdapter("intel ethernet", "00-1b-21-00-00-01", "intel", "10.0.0.40");
    EXPECT_EQ(CompareAdapterRows(Eth, *Lower, 0, Ctx), 0);
    EXPECT_EQ(CompareAdapterRows(Eth, *Lower, 2, Ctx), 0);
    EXPECT_EQ(CompareAdapterRows(Eth, *Lower, 3, Ctx), 0);
    EXPECT_LT(CompareAdapterRows(Eth, Vpn, 0, Ctx), 0);
    // Addresses numerically: 10.0.0.5 before 10.0.0.40; a list by its first.
    EXPECT_LT(CompareAdapterRows(Eth, *Lower, 1, Ctx), 0);
    EXPECT_LT(CompareAdapterRows(Eth, Vpn, 1, Ctx), 0);

    TMacListData Row{W.get(), nullptr}, Child{W.get(), W->AdapterList[0].get()};
    for (int Col = 0; Col <= 4; ++Col) {
        EXPECT_EQ(CompareMacListRows(&Row, &Child, Col, Ctx), 0);
        EXPECT_EQ(CompareMacListRows(&Child, &Row, Col, Ctx), 0);
    }
    EXPECT_EQ(CompareMacListRows(nullptr, &Row, 0, Ctx), 0);
}

TEST(ResultText, CaseInsensitiveCompareAndFilter)
{
    EXPECT_EQ(CompareTextNoCase("Vendor", "vENDOR"), 0);
    EXPECT_LT(CompareTextNoCase("apple", "Banana"), 0);
    EXPECT_GT(CompareTextNoCase("b", "A"), 0);
    EXPECT_EQ(CompareTextNoCase("ÄRGER", "ärger"), 0);

    EXPECT_TRUE(TextMatchesFilter("anything", ""));
    EXPECT_TRUE(TextMatchesFilter("", ""));
    EXPECT_FALSE(TextMatchesFilter("", "x"));
    EXPECT_TRUE(TextMatchesFilter("192.168.1.20", "192.168.1."));
    EXPECT_FALSE(TextMatchesFilter("192.168.10.2", "192.168.1."));
    EXPECT_TRUE(TextMatchesFilter("00-1A-2B", "1a-2b"));
    EXPECT_TRUE(TextMatchesFilter("Büro Straße", "BÜRO"));
    EXPECT_FALSE(TextMatchesFilter("abc", "abcd"));
}

TEST(ResultHeader, ClickCycleOnOneColumnAndSwitchToAnother)
{
    int Col = -1, Dir = 0;
    NextHeaderSort(2, Col, Dir);
    EXPECT_EQ(Col, 2);
    EXPECT_EQ(Dir, 0);
    NextHeaderSort(2, Col, Dir);
    EXPECT_EQ(Col, 2);
    EXPECT_EQ(Dir, 1);
    NextHeaderSort(2, Col, Dir);
    EXPECT_EQ(Col, -1);
    EXPECT_EQ(Dir, 0);
    // From descending on one column, another column starts ascending.
    NextHeaderSort(1, Col, Dir);
    NextHeaderSort(1, Col, Dir);
    NextHeaderSort(4, Col, Dir);
    EXPECT_EQ(Col, 4);
    EXPECT_EQ(Dir, 0);
}

TEST(ResultStripes, SecondFourthVisibleRows)
{
    EXPECT_FALSE(IsStripedRow(0));
    EXPECT_TRUE(IsStripedRow(1));
    EXPECT_FALSE(IsStripedRow(2));
    EXPECT_TRUE(IsStripedRow(3));
}

TEST(ResultCopy, EmptyCellsAndLinesLeaveNoSeparators)
{
    EXPECT_EQ(JoinCopyCells({"PC1", "10.0.0.1", "00-11", "", "x"}, ','), "PC1,10.0.0.1,00-11,x");
    EXPECT_EQ(JoinCopyCells({"", "", "a"}, ';'), "a");
    EXPECT_EQ(JoinCopyCells({"", ""}, ','), "");
    EXPECT_EQ(JoinCopyLines({"a", "", "b"}), "a\r\nb");
    EXPECT_EQ(JoinCopyLines({}), "");
    const char Sep = ListSeparatorOfLocale();
    EXPECT_TRUE(Sep == ',' || Sep == ';');
}

TEST(ResultLog, ImageIsTheKindAndTimeIsToday)
{
    TTreeLogTaskData E;
    for (int K = -1; K <= 3; ++K) {
        E.Kind = K;
        EXPECT_EQ(GetLogImageIndex(&E), K);
    }
    E.Kind = 4;
    EXPECT_EQ(GetLogImageIndex(&E), -1);
    E.Kind = -7;
    EXPECT_EQ(GetLogImageIndex(&E), -1);
    EXPECT_EQ(GetLogImageIndex(nullptr), -1);

    const std::time_t T = std::time(nullptr);
    std::tm L{};
    localtime_r(&T, &L);
    const double Expected = static_cast<double>(T + L.tm_gmtoff) / 86400.0 + 25569.0;
    EXPECT_NEAR(Now(), Expected, 2.0 / 86400.0);
}

// --- Comments ------------------------------------------------------------------

TEST(MacComments, LookupIgnoresCaseAndEditsKeepTheStoredName)
{
    TMacComments M;
    EXPECT_FALSE(M.Set("", "x"));
    EXPECT_FALSE(M.Set("00-aa-bb-cc-dd-ee", ""));
    EXPECT_EQ(M.Count(), 0u);
    EXPECT_TRUE(M.Set("00-aa-bb-cc-dd-ee", "first"));
    EXPECT_EQ(M.Get("00-AA-BB-CC-DD-EE"), "first");
    EXPECT_TRUE(M.Set("00-AA-BB-CC-DD-EE", "second"));
    ASSERT_EQ(M.Count(), 1u);
    EXPECT_EQ(M.Lines()[0], "00-aa-bb-cc-dd-ee=second");
    EXPECT_FALSE(M.Set("00-aa-bb-cc-dd-ee", "second"));
    // A comment with '=' in it stays whole; a line break would split the line.
    EXPECT_TRUE(M.Set("00-aa-bb-cc-dd-ee", "a=b\r\nc"));
    EXPECT_EQ(M.Get("00-aa-bb-cc-dd-ee"), "a=b  c");
    EXPECT_EQ(M.Count(), 1u);
    EXPECT_TRUE(M.Set("11-11-11-11-11-11", "other"));
    EXPECT_TRUE(M.Set("00-AA-bb-CC-dd-EE", ""));
    ASSERT_EQ(M.Count(), 1u);
    EXPECT_EQ(M.Get("00-aa-bb-cc-dd-ee"), "");
    // The index follows the lines that moved up.
    EXPECT_EQ(M.Get("11-11-11-11-11-11"), "other");
    EXPECT_EQ(M.Get(""), "");
}

TEST(MacComments, FileRoundTripKeepsEveryLineWithCrLf)
{
    TempFolder Dir;
    const std::string File = Dir.Path("mac_comments.txt");
    TMacComments M;
    M.LoadFromFile(File); // none there: empty
    EXPECT_EQ(M.Count(), 0u);

    // LF, CR LF and CR line ends, a byte-order mark, a line without '=',
    // the same MAC twice in different case (the first wins), a last line
    // without a line break.
    TempFolder::Write(File, "\xEF\xBB\xBF"
                            "00-1A-2B-3C-4D-5E=Printer\r\n"
                            "no separator here\n"
                            "aa-bb-cc-dd-ee-ff=Büro 1\r"
                            "00-1a-2b-3c-4d-5e=later duplicate\r\n"
                            "=nameless\r\n"
                            "AA-00-00-00-00-01=last");
    M.LoadFromFile(File);
    ASSERT_EQ(M.Count(), 6u);
    EXPECT_EQ(M.Get("00-1a-2b-3c-4d-5e"), "Printer");
    EXPECT_EQ(M.Get("AA-BB-CC-DD-EE-FF"), "Büro 1");
    EXPECT_EQ(M.Get("aa-00-00-00-00-01"), "last");
    EXPECT_EQ(M.Get("no separator here"), "");

    M.Set("aa-bb-cc-dd-ee-ff", "Büro 2");
    M.SaveToFile(File);
    // The byte-order mark the file had stays.
    EXPECT_EQ(TempFolder::Read(File), "\xEF\xBB\xBF"
                                      "00-1A-2B-3C-4D-5E=Printer\r\n"
                                      "no separator here\r\n"
                                      "aa-bb-cc-dd-ee-ff=Büro 2\r\n"
                                      "00-1a-2b-3c-4d-5e=later duplicate\r\n"
                                      "=nameless\r\n"
                                      "AA-00-00-00-00-01=last\r\n");
    TMacComments Again;
    Again.LoadFromFile(File);
    EXPECT_EQ(Again.Lines(), M.Lines());

    // Removing the last comment writes an empty file, not a stale one.
    TMacComments One;
    One.Set("00-00-00-00-00-01", "x");
    One.SaveToFile(File);
    One.Set("00-00-00-00-00-01", "");
    One.SaveToFile(File);
    EXPECT_EQ(TempFolder::Read(File), "");
}

TEST(MacComments, AnUnchangedFileIsNeverWritten)
{
    // LF line ends, bytes that are no UTF-8, no last line break: what
    // another editor left must stay byte for byte when nobody edits it.
    TempFolder Dir;
    const std::string File = Dir.Path("mac_comments.txt");
    const std::string Original = "00-00-00-00-00-01=caf\xE9\n00-00-00-00-00-02=two";
    TempFolder::Write(File, Original);
    struct stat Before {};
    ASSERT_EQ(::stat(File.c_str(), &Before), 0);
    TMacComments M;
    M.LoadFromFile(File);
    EXPECT_FALSE(M.Changed());
    EXPECT_FALSE(M.Set("00-00-00-00-00-02", "two")); // the same comment again
    M.SaveToFile(File);
    struct stat After {};
    ASSERT_EQ(::stat(File.c_str(), &After), 0);
    EXPECT_EQ(After.st_ino, Before.st_ino);
    EXPECT_EQ(TempFolder::Read(File), Original);
    // A missing file is not created for an empty list either.
    const std::string None = Dir.Path("none.txt");
    TMacComments Empty;
    Empty.LoadFromFile(None);
    Empty.SaveToFile(None);
    EXPECT_FALSE(std::filesystem::exists(None));
}

TEST(MacComments, AUtf16FileIsReadAndWrittenAsUtf16)
{
    // "Büro" and an emoji (a surrogate pair) in UTF-16 with a byte-order
    // mark, as Windows editors save text.
    const auto Utf16 = [](bool Little, const std::u16string& Text) {
        std::string Bytes;
        for (char16_t U : u"\uFEFF" + Text) {
            const char Hi = static_cast<char>(U >> 8), Lo = static_cast<char>(U & 0xFF);
            Bytes += Little ? Lo : Hi;
            Bytes += Little ? Hi : Lo;
        }
        return Bytes;
    };
    for (const bool Little : {true, false}) {
        TempFolder Dir;
        const std::string File = Dir.Path("mac_comments.txt");
        TempFolder::Write(File, Utf16(Little, u"00-00-00-00-00-01=B\u00FCro \U0001F600\r\n"
                                              u"00-00-00-00-00-02=two\r\n"));
        TMacComments M;
        M.LoadFromFile(File);
        EXPECT_EQ(M.Encoding(),
                  Little ? TMacComments::TEncoding::Utf16LE : TMacComments::TEncoding::Utf16BE);
        EXPECT_EQ(M.Get("00-00-00-00-00-01"), "B\xC3\xBCro \xF0\x9F\x98\x80");
        EXPECT_EQ(M.Get("00-00-00-00-00-02"), "two");
        ASSERT_TRUE(M.Set("00-00-00-00-00-02", "zwei"));
        M.SaveToFile(File);
        EXPECT_EQ(TempFolder::Read(File),
                  Utf16(Little, u"00-00-00-00-00-01=B\u00FCro \U0001F600\r\n"
                                u"00-00-00-00-00-02=zwei\r\n"));
    }
}

TEST(MacComments, UnwritableFileRaisesAndKeepsTheOldOne)
{
    TempFolder Dir;
    const std::string File = Dir.Path("mac_comments.txt");
    TempFolder::Write(File, "00-00-00-00-00-01=old\r\n");
    ::chmod(File.c_str(), 0444);
    TMacComments M;
    M.Set("00-00-00-00-00-01", "new");
    EXPECT_THROW(M.SaveToFile(File), platform::EFileError);
    EXPECT_EQ(TempFolder::Read(File), "00-00-00-00-00-01=old\r\n");
    // A folder in the file's place is neither read nor replaced.
    const std::string Folder = Dir.Path("folder");
    std::filesystem::create_directories(Folder);
    EXPECT_THROW(M.SaveToFile(Folder), platform::EFileError);
    EXPECT_THROW(M.LoadFromFile(Folder), platform::EFileError);
    EXPECT_TRUE(std::filesystem::is_directory(Folder));
}

TEST(MacComments, ANamedPipeOrADeviceAsTheFileRaisesAtOnce)
{
    TempFolder Dir;
    const std::string Fifo = Dir.Path("mac_comments.txt");
    ASSERT_EQ(::mkfifo(Fifo.c_str(), 0600), 0);
    for (const std::string& File : {Fifo, std::string("/dev/zero")}) {
        const std::string Told = AnswerWithin(std::chrono::seconds(5), [&] {
            TMacComments M;
            M.Set("00-00-00-00-00-01", "kept until the load");
            try {
                M.LoadFromFile(File);
            } catch (const platform::EFileError& E) {
                return std::string(E.what()) + " | " + std::to_string(M.Count());
            }
            return std::string("read ") + std::to_string(M.Count()) + " lines";
        });
        EXPECT_EQ(Told, "open \"" + File + "\": not a regular file | 1");
    }
}

} // namespace
