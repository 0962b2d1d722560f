// The bug-report file: duplicates, counts, trimming, the file's name, and
// saving from several processes at once or killed halfway; the file is read
// back by report_file_oracle.py, a reader of its own.
#include "crashreport/kelExceptSave.h"
#include "crashreport/kelExceptSettings.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <set>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

const std::string Oracle = std::string(TOLVEX_CRASHREPORT_TEST_DIR) + "/report_file_oracle.py";

struct TFakeReport {
    std::string Date;
    std::string Class = "std::runtime_error";
    std::string Crc = "$11111111, $22222222, $33333333";
    std::string Version = "1.0";
    int Payload = 0; // lines of a "payload" section the oracle checks
};

// A report laid out as the exception object lays it out.
std::string Text(const TFakeReport& R)
{
    std::vector<std::pair<std::string, std::string>> Header = {
        {"date/time", R.Date},
        {"executable", "/usr/bin/tolvex"},
        {"current module", "/usr/bin/tolvex"},
        {"version", R.Version},
        {"exec. date/time", "2024-01-01 10:00"},
        {"module date/time", "2024-01-01 10:00"},
        {"exception class", R.Class},
        {"exception message", R.Class.empty() ? "The application seems to be frozen." : "boom"},
        {"callstack crc", R.Crc}};
    if (R.Payload > 0)
        Header.emplace_back("payload lines", std::to_string(R.Payload));
    std::size_t Longest = 0;
    for (const auto& [Name, Value] : Header)
        Longest = std::max(Longest, Name.size());
    std::string T;
    for (const auto& [Name, Value] : Header)
        T += (T.empty() ? "" : "\r\n") + Name + std::string(Longest + 1 - Name.size(), ' ') + ": " +
             Value;
    T += "\r\n\r\nerror details:\r\nsomething went wrong\r\n.\r\nat line 3";
    if (R.Payload > 0) {
        T += "\r\n\r\npayload:";
        for (int K = 0; K < R.Payload; ++K)
            T += "\r\n" + R.Date + " " + std::to_string(K);
    }
    return T;
}

std::shared_ptr<TIKESettings> Settings(const std::string& File,
                                       std::vector<TSettingEntry> Entries = {})
{
    Entries.push_back({"BugRepFile", skText, false, 0, File});
    return NewSettingsFromStream(WriteSettingsStream(Entries));
}
TSettingEntry Bool(const char* Name, bool V)
{
    return {Name, skBool, V, 0, {}};
}
TSettingEntry Int(const char* Name, int V)
{
    return {Name, skInt, false, V, {}};
}

struct TRead {
    std::string Date, Crc, Count;
    bool Intact = false;
};

// The reports of a file as the oracle reads them; fails the test when it
// finds the layout broken.
std::vector<TRead> ReadBack(const std::string& File)
{
    const auto R = RunCommand("/usr/bin/python3 " + Quote(Oracle) + " " + Quote(File) + " 2>&1");
    EXPECT_EQ(R.Status, 0) << R.Output;
    std::vector<TRead> Out;
    std::size_t At = 0;
    while (At < R.Output.size()) {
        const std::size_t Lf = R.Output.find('\n', At);
        const std::string Line = R.Output.substr(At, Lf - At);
        At = Lf == std::string::npos ? R.Output.size() : Lf + 1;
        TRead Item;
        std::size_t A = Line.find('|'), B = Line.find('|', A + 1), C = Line.find('|', B + 1);
        Item.Date = Line.substr(0, A);
        Item.Crc = Line.substr(A + 1, B - A - 1);
        Item.Count = Line.substr(B + 1, C - B - 1);
        Item.Intact = Line.substr(C + 1) == "1";
        Out.push_back(Item);
    }
    return Out;
}

std::string Summary(const std::vector<TRead>& Reports)
{
    std::string S;
    for (const auto& R : Reports)
        S += (S.empty() ? "" : " ") + R.Date + "x" + R.Count;
    return S;
}

} // namespace

// Each case saves its reports one after another into an empty file and names
// the reports the file then holds, oldest first, each with its count.
TEST(CrashreportReportFile, DuplicatesAndCounts)
{
    const std::string A = "$11111111, $22222222, $33333333";
    const std::string SameFirst = "$11111111, $aaaaaaaa, $bbbbbbbb";
    const std::string SameTwo = "$11111111, $22222222, $cccccccc";
    struct TCase {
        const char* Name;
        std::vector<TSettingEntry> Rules;
        std::vector<TFakeReport> Saves;
        const char* Expected;
    } Cases[] = {
        {"duplicates kept", {Bool("NoDupExcepts", false)}, {{"t1"}, {"t2"}}, "t1x1 t2x1"},
        {"counted", {}, {{"t1"}, {"t2"}, {"t3"}}, "t3x3"},
        {"first value, definition 0",
         {Int("DupExceptDef", 0)},
         {{"t1", "E", A}, {"t2", "E", SameFirst}},
         "t2x2"},
        {"all three values, definition 2",
         {Int("DupExceptDef", 2)},
         {{"t1", "E", A}, {"t2", "E", SameFirst}},
         "t1x1 t2x1"},
        {"first two values, definition 1 (the default)",
         {},
         {{"t1", "E", A}, {"t2", "E", SameTwo}, {"t3", "E", SameFirst}},
         "t2x2 t3x1"},
        {"another version is another fault",
         {},
         {{"t1", "E", A, "1.0"}, {"t2", "E", A, "1.1"}},
         "t1x1 t2x1"},
        {"freezes by their own switch",
         {Bool("NoDupFreezes", false)},
         {{"t1", ""}, {"t2", ""}, {"t3", "E"}, {"t4", "E"}},
         "t1x1 t2x1 t4x2"},
        {"freezes by their own definition",
         {Int("DupFreezeDef", 0), Int("DupExceptDef", 2)},
         {{"t1", "", A}, {"t2", "", SameFirst}, {"t3", "E", A}, {"t4", "E", SameFirst}},
         "t2x2 t3x1 t4x1"},
        {"reports of other faults are passed over",
         {},
         {{"t1", "E", A, "1.0"}, {"t2", "E", A, "1.1"}, {"t3", "E", A, "1.0"}},
         "t2x1 t3x2"},
        {"the same event saved twice counts once", {}, {{"t1"}, {"t1"}}, "t1x1"},
        {"without appending, the last report alone",
         {Bool("AppendBugReps", false)},
         {{"t1", "E", A}, {"t2", "F", SameFirst}},
         "t2x1"},
        {"no complete callstack crc, no key",
         {},
         {{"t1", "E", "$11111111"}, {"t2", "E", "$11111111"}},
         "t1x1 t2x1"},
    };
    for (const auto& C : Cases) {
        TempFolder Tmp;
        const std::string File = Tmp.Path("sub/dir/bugreport.kbr");
        const auto S = Settings(File, C.Rules);
        for (const auto& R : C.Saves)
            ASSERT_TRUE(SaveReportToFile(Text(R), *S)) << C.Name;
        const auto Reports = ReadBack(File);
        EXPECT_EQ(Summary(Reports), C.Expected) << C.Name;
        for (const auto& R : Reports)
            EXPECT_TRUE(R.Intact) << C.Name << ": " << R.Date;
    }
}

// A file above "BugRepFileSize" keeps its newest reports, as many as stay
// below three quarters of the limit, then gets the new one.
TEST(CrashreportReportFile, TrimmedToThreeQuarters)
{
    for (const int Limit : {3000, 8000, 14000}) {
        TempFolder Tmp;
        const std::string File = Tmp.Path("bugreport.kbr");
        std::vector<std::string> Old;
        std::string Content;
        for (int I = 0; I < 20; ++I) {
            TFakeReport R{"old" + std::to_string(I)};
            R.Crc = "$0000000" + std::to_string(I % 10) + ", $22222222, $3333333" +
                    std::to_string(I / 10);
            R.Payload = 10 + I * 3; // reports of different sizes
            Old.push_back(Text(R) + "\r\n\r\n");
            Content += Old.back();
        }
        TempFolder::Write(File, Content);
        ASSERT_GT(static_cast<int>(Content.size()), Limit);
        ASSERT_TRUE(
            SaveReportToFile(Text({"new"}), *Settings(File, {Int("BugRepFileSize", Limit)})));

        // The newest reports whose sizes add up to less than 3/4 of the limit.
        std::string Expected = "newx1";
        std::size_t Kept = 0;
        for (int I = 19; I >= 0 && Kept + Old[static_cast<std::size_t>(I)].size() <
                                       static_cast<std::size_t>(Limit) * 3 / 4;
             --I) {
            Kept += Old[static_cast<std::size_t>(I)].size();
            Expected = "old" + std::to_string(I) + "x1 " + Expected;
        }
        EXPECT_EQ(Summary(ReadBack(File)), Expected) << Limit;
    }
}

// Files that were not written by us: another program's line ends, a report
// cut off, text before the first report. Nothing of them is lost, and the new
// report still starts a report of its own.
TEST(CrashreportReportFile, MergesIntoForeignFiles)
{
    const std::string Report = Text({"new"});
    TReportFileRules Rules;
    Rules.NoDupExcepts = false;
    struct TCase {
        const char* Name;
        std::string Old;
    } Cases[] = {
        {"cut off", Text({"t1"}).substr(0, 100)},
        {"ended by one line break", Text({"t1"}) + "\r\n"},
        {"lines ending with LF", "date/time : t1\nexecutable : x\n\n"},
        {"text before the first report", "notes\r\n\r\n" + Text({"t1"}) + "\r\n\r\n"},
    };
    for (const auto& C : Cases) {
        const std::string New = MergeReportIntoFile(C.Old, Report, Rules);
        EXPECT_TRUE(New.starts_with(C.Old)) << C.Name;
        EXPECT_TRUE(New.ends_with("\n\r\n" + Report + "\r\n\r\n") ||
                    New.ends_with("\n\n" + Report + "\r\n\r\n"))
            << C.Name;
    }
    // A duplicate in a file with LF line ends is found as well.
    Rules.NoDupExcepts = true;
    std::string Lf = Text({"t1"});
    for (std::size_t At; (At = Lf.find("\r\n")) != std::string::npos;)
        Lf.replace(At, 2, "\n");
    std::string Saved;
    const std::string New = MergeReportIntoFile(Lf + "\n\n", Report, Rules, &Saved);
    EXPECT_EQ(GetReportField(Saved, "count"), "2");
    EXPECT_EQ(New, Saved + "\r\n\r\n");
}

TEST(CrashreportReportFile, FieldsAndSections)
{
    const std::string R = Text({"t1"});
    EXPECT_EQ(GetReportField(R, "Exception Class"), "std::runtime_error");
    EXPECT_EQ(GetReportField(R, "exec. date/time"), "2024-01-01 10:00");
    EXPECT_EQ(GetReportField(R, "exception"), "");     // a prefix of a name is no name
    EXPECT_EQ(GetReportField(R, "error details"), ""); // a section is no field
    EXPECT_EQ(GetReportSection(R, "error details"), "something went wrong\r\n.\r\nat line 3");
    EXPECT_EQ(GetReportSection(R, "callstack crc"), "");
    EXPECT_TRUE(SameReportField(R, Text({"t2"}), "version"));
    EXPECT_FALSE(SameReportField(R, Text({"t2"}), "date/time"));

    // A new field lines up with the others after the one named; an existing
    // one is replaced; a missing anchor appends to the header.
    const std::string Counted = SetReportField(R, "count", "2", "callstack crc");
    EXPECT_NE(Counted.find("callstack crc     : $11111111, $22222222, $33333333\r\n"
                           "count             : 2\r\n\r\nerror details:"),
              std::string::npos)
        << Counted;
    EXPECT_EQ(GetReportField(SetReportField(Counted, "count", "3", "x"), "count"), "3");
    const std::string Appended = SetReportField(R, "extra", "v", "no such field");
    EXPECT_NE(Appended.find("$33333333\r\nextra             : v\r\n\r\n"), std::string::npos);
    // A header whose last line ends unfinished (a CR alone, or nothing): the
    // new field is a line of its own that reads back.
    for (const char* Header : {"date/time : t1\r", "date/time : t1", "date/time : t1\n"}) {
        const std::string Set = SetReportField(Header, "count", "2", "date/time");
        EXPECT_EQ(GetReportField(Set, "count"), "2") << Set;
        EXPECT_EQ(GetReportField(Set, "date/time"), "t1") << Set;
        EXPECT_TRUE(Set.starts_with(Header)) << Set; // nothing of the header lost
    }
}

// The file's name: placeholders expanded, colons that an expansion brought in
// turned into dots, the exception's own placeholders kept, a bare name in the
// crash reporter's folder.
TEST(CrashreportReportFile, FileName)
{
    TempFolder Tmp;
    ::setenv("XDG_STATE_HOME", Tmp.Path("state").c_str(), 1);
    ::setenv("XDG_DATA_HOME", Tmp.Path("da:ta").c_str(), 1);
    SetPlaceholderClock([] {
        std::tm T{};
        T.tm_year = 124, T.tm_mon = 2, T.tm_mday = 9, T.tm_hour = 14, T.tm_min = 5, T.tm_sec = 9;
        T.tm_isdst = -1;
        return std::chrono::system_clock::from_time_t(std::mktime(&T)) +
               std::chrono::milliseconds(7);
    });
    char Exe[4096] = {};
    ASSERT_GT(::readlink("/proc/self/exe", Exe, sizeof Exe - 1), 0);
    const std::string App = std::string(Exe).substr(std::string(Exe).rfind('/') + 1);
    const struct {
        const char* Setting;
        std::string Expected;
    } Cases[] = {
        {"bugreport.kbr", Tmp.Path("state/tolvex/bugreport.kbr")},
        {"%appname% %datetime%.kbr",
         Tmp.Path("state/tolvex/" + App + " 2024-03-09, 14.05.09, 7ms.kbr")},
        {"/var/tmp/a:b/%exceptClass% %EXCEPTMSG%.kbr",
         "/var/tmp/a:b/%exceptClass% %EXCEPTMSG%.kbr"},
        {"%userappdata%/x/../r%%%time%.kbr", Tmp.Path("da:ta/r%%14.05.09, 7ms.kbr")},
    };
    for (const auto& C : Cases)
        EXPECT_EQ(ReportFileName(*Settings(C.Setting)), C.Expected) << C.Setting;
    SetPlaceholderClock(nullptr);
    ::unsetenv("XDG_DATA_HOME");
    ::unsetenv("XDG_STATE_HOME");
}

// Two processes save 200 reports each into one file at the same time: none is
// lost, none is damaged.
TEST(CrashreportReportFile, TwoProcessesLoseNothing)
{
    TempFolder Tmp;
    const std::string File = Tmp.Path("bugreport.kbr");
    pid_t Children[2];
    for (int C = 0; C < 2; ++C) {
        Children[C] = ::fork();
        ASSERT_GE(Children[C], 0);
        if (Children[C] == 0) {
            const auto S = Settings(File, {Int("BugRepFileSize", 0)});
            for (int I = 0; I < 200; ++I) {
                TFakeReport R{"p" + std::to_string(C) + "-" + std::to_string(I)};
                R.Crc = "$" + std::to_string(10000000 + C * 1000 + I) + ", $22222222, $33333333";
                R.Payload = 5;
                if (!SaveReportToFile(Text(R), *S))
                    ::_exit(1);
            }
            ::_exit(0);
        }
    }
    for (pid_t P : Children) {
        int Status = 0;
        ::waitpid(P, &Status, 0);
        EXPECT_TRUE(WIFEXITED(Status) && WEXITSTATUS(Status) == 0);
    }
    const auto Reports = ReadBack(File);
    ASSERT_EQ(Reports.size(), 400u);
    std::set<std::string> Dates;
    for (const auto& R : Reports) {
        EXPECT_TRUE(R.Intact) << R.Date;
        Dates.insert(R.Date);
    }
    EXPECT_EQ(Dates.size(), 400u);
}

// A process killed at any point of a save leaves the file as it was before
// that save or as it is after it: every report whole, in order, none missing.
TEST(CrashreportReportFile, KilledWhileSavingLeavesOldOrNew)
{
    TempFolder Tmp;
    const std::string File = Tmp.Path("bugreport.kbr");
    std::mt19937 Random(12345);
    int Next = 0;
    for (int Round = 0; Round < 25; ++Round) {
        const pid_t Child = ::fork();
        ASSERT_GE(Child, 0);
        if (Child == 0) {
            const auto S = Settings(File, {Int("BugRepFileSize", 0)});
            for (int I = Next;; ++I) {
                TFakeReport R{"r" + std::to_string(100000 + I)};
                R.Crc = "$" + std::to_string(10000000 + I) + ", $22222222, $33333333";
                R.Payload = 400;
                SaveReportToFile(Text(R), *S);
            }
        }
        std::this_thread::sleep_for(std::chrono::microseconds(Random() % 150000));
        ::kill(Child, SIGKILL);
        ::waitpid(Child, nullptr, 0);
        const auto Reports = ReadBack(File);
        for (std::size_t I = 0; I < Reports.size(); ++I) {
            EXPECT_EQ(Reports[I].Date, "r" + std::to_string(100000 + I));
            EXPECT_TRUE(Reports[I].Intact) << Reports[I].Date;
        }
        Next = static_cast<int>(Reports.size());
    }
    EXPECT_GT(Next, 10); // the children got some saving done
}
