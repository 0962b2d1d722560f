// The report viewer's text rules: sections laid out as the report lays them
// out (columns padded to the widest cell) must come back as the cells they
// were made of, under the headings of their kind.
#include "crashreport/kelExceptViewerText.h"

#include "crashlib/kelStrings.h"
#include "crashreport/kelExceptReport.h"
#include "tests/crashreport/Command.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

using TRow = std::vector<std::string>;

// Lays out rows as fixed-width text: each column padded to its widest cell
// plus Gap blanks (the last column not padded), lines joined by CR LF.
std::string Layout(const std::vector<TRow>& Rows, int Gap = 1)
{
    std::vector<std::size_t> Width;
    for (const TRow& R : Rows)
        for (std::size_t C = 0; C < R.size(); ++C) {
            Width.resize(std::max(Width.size(), R.size()));
            Width[C] = std::max(Width[C], R[C].size());
        }
    std::string Text;
    for (std::size_t I = 0; I < Rows.size(); ++I) {
        std::string Line;
        for (std::size_t C = 0; C < Rows[I].size(); ++C) {
            Line += Rows[I][C];
            if (C + 1 < Rows[I].size())
                Line += std::string(Width[C] - Rows[I][C].size() + Gap, ' ');
        }
        while (!Line.empty() && Line.back() == ' ')
            Line.pop_back();
        Text += (I ? "\r\n" : "") + Line;
    }
    return Text;
}

std::vector<std::string> Headings(const TViewerTable& T)
{
    std::vector<std::string> H;
    for (const TViewerColumn& C : T.Columns)
        H.push_back(C.Heading);
    return H;
}

std::string Upper(std::string S)
{
    for (char& C : S)
        C = static_cast<char>(std::toupper(static_cast<unsigned char>(C)));
    return S;
}

TEST(CrashreportViewerText, HeadingMarkers)
{
    const std::vector<TViewerColumn> C = ParseHeadings("^handle|file name| version|^ rel.|");
    ASSERT_EQ(C.size(), 5u);
    EXPECT_EQ(C[0], (TViewerColumn{"handle", false, true}));
    EXPECT_EQ(C[1], (TViewerColumn{"file name", false, false}));
    EXPECT_EQ(C[2], (TViewerColumn{"version", true, false}));
    EXPECT_EQ(C[3], (TViewerColumn{"rel.", true, true}));
    EXPECT_EQ(C[4], (TViewerColumn{"", false, false}));
}

TEST(CrashreportViewerText, LineEnds)
{
    struct TCase {
        std::u16string Text;
        std::vector<std::u16string> Lines;
        std::vector<bool> Comments;
    };
    const TCase Cases[] = {
        {u"a\r\nb", {u"a", u"b"}, {false, false}},
        {u"a\rb\nc", {u"a", u"b", u"c"}, {false, false, false}},
        {u">> x\r\n\r\n>y", {u">> x", u"", u">y"}, {true, false, false}},
        {u"a\r\n", {u"a", u""}, {false, false}},
        {u"", {u""}, {false}},
    };
    for (const TCase& C : Cases) {
        const std::vector<TViewerLine> L = SplitViewerLines(C.Text);
        ASSERT_EQ(L.size(), C.Lines.size()) << WideToUtf8(C.Text);
        for (std::size_t I = 0; I < L.size(); ++I) {
            EXPECT_EQ(C.Text.substr(L[I].Start, L[I].Length), C.Lines[I]);
            EXPECT_EQ(L[I].Comment, C.Comments[I]);
        }
    }
}

TEST(CrashreportViewerText, BoundaryRules)
{
    struct TCase {
        const char* Why;
        std::u16string Text;
        bool Strict;
        std::vector<int> Starts;
        std::u16string After; // the text with the separators blanked
    };
    const TCase Cases[] = {
        {"runs of blanks give one start, after the last blank",
         u"ab   cd\r\nxy   zw\r\nqr   st",
         true,
         {6},
         u"ab   cd\r\nxy   zw\r\nqr   st"},
        {"\"=\" and \"|\" are separators and become blanks",
         u"rax=1|ab\r\nrbx=2|b\r\nrcx=3|c",
         true,
         {5, 7},
         u"rax 1 ab\r\nrbx 2 b\r\nrcx 3 c"},
        {"a colon counts only with a blank after it",
         u"a: b:c\r\nx: y:z\r\np: q:r",
         true,
         {4},
         u"a  b:c\r\nx  y:z\r\np  q:r"},
        {"strict: one other line agreeing is not enough",
         u"ab cd\r\nxy zw\r\nxyzzw",
         true,
         {},
         u"ab cd\r\nxy zw\r\nxyzzw"},
        {"not strict: no other line has to agree",
         u"ab cd\r\nxy zw",
         false,
         {4},
         u"ab cd\r\nxy zw"},
        {"a line that differs at the position breaks it",
         u"ab cd\r\nxy zw\r\nuv ts\r\nxyzzw",
         true,
         {},
         u"ab cd\r\nxy zw\r\nuv ts\r\nxyzzw"},
        {"comment lines take no part",
         u"ab cd\r\n>> created by\r\nxy zw\r\nuv ts",
         true,
         {4},
         u"ab cd\r\n>> created by\r\nxy zw\r\nuv ts"},
        {"shorter lines do not break a boundary",
         u"ab cd ef\r\nxy zw gh\r\nuv ts gh\r\nab",
         true,
         {4, 7},
         u"ab cd ef\r\nxy zw gh\r\nuv ts gh\r\nab"},
    };
    for (const TCase& C : Cases) {
        std::u16string Text = C.Text;
        EXPECT_EQ(FindColumnStarts(Text, SplitViewerLines(Text), C.Strict), C.Starts) << C.Why;
        EXPECT_EQ(Text, C.After) << C.Why;
    }
}

TEST(CrashreportViewerText, ModulesSplitIntoFourCells)
{
    const std::vector<TRow> Rows{
        {"00007fabed53b000", "libm.so.6", "6", "/usr/lib/x86_64-linux-gnu"},
        {"000055e145238000", "tolvex", "0.1.0.0", "/opt/tolvex bin"},
        {"00007fabedcb7000", "libbz2.so.1.0.4", "1.0", "/usr/lib/x86_64-linux-gnu"},
        {"00007fabede25000", "libdw-0.188.so", "1", "/usr/lib/x86_64-linux-gnu"},
    };
    const TViewerTable T = ViewSection(TSectionKind::skModules, Layout(Rows, 3));
    ASSERT_TRUE(T.IsList);
    EXPECT_EQ(Headings(T), (std::vector<std::string>{"handle", "file name", "version", "path"}));
    EXPECT_TRUE(T.Columns[0].Upper);
    EXPECT_TRUE(T.Columns[2].Right);
    ASSERT_EQ(T.Rows.size(), Rows.size());
    for (std::size_t I = 0; I < Rows.size(); ++I) {
        TRow Want = Rows[I];
        Want[0] = Upper(Want[0]);
        EXPECT_EQ(T.Rows[I], Want);
    }
}

TEST(CrashreportViewerText, ProcessHeadingsFollowTheColumnCount)
{
    // Rows of id, name, [session,] threads, open files, priority[, path].
    const std::vector<TRow> WithoutSession{
        {"0001", "systemd", "1", "347", "normal", "/usr/lib/systemd"},
        {"267d", "cmake", "1", "7", "normal", "/usr/bin"},
        {"0030", "migration/6", "1", "0", "realtime", "/"},
        {"3f5b", "cc1plus", "12", "22", "below normal", "/usr/lib/gcc/x86_64-linux-gnu/12"},
    };
    std::vector<TRow> WithSession = WithoutSession;
    const char* Sessions[] = {"0", "15438", "0", "15494"};
    for (std::size_t I = 0; I < WithSession.size(); ++I)
        WithSession[I].insert(WithSession[I].begin() + 2, Sessions[I]);
    struct TCase {
        const std::vector<TRow>* Rows;
        std::vector<std::string> Headings;
    };
    const TCase Cases[] = {
        {&WithoutSession, {"id", "file name", "threads", "open files", "priority", "path"}},
        {&WithSession, {"id", "file name", "session", "threads", "open files", "priority", "path"}},
    };
    for (const TCase& C : Cases) {
        const TViewerTable T = ViewSection(TSectionKind::skProcesses, Layout(*C.Rows));
        EXPECT_EQ(Headings(T), C.Headings);
        ASSERT_EQ(T.Rows.size(), C.Rows->size());
        for (std::size_t I = 0; I < T.Rows.size(); ++I) {
            TRow Want = (*C.Rows)[I];
            Want[0] = Upper(Want[0]);
            EXPECT_EQ(T.Rows[I], Want);
        }
    }
}

TEST(CrashreportViewerText, CommentLinesAreSingleCells)
{
    const std::string Text = Layout({{"rax", "=", "0000000000000001"},
                                     {"rbx", "=", "00007ffc00001000"},
                                     {"rcx", "=", "0000000000000000"}}) +
                             "\r\n>> registers of the signal frame";
    const TViewerTable T = ViewSection(TSectionKind::skCpuRegisters, Text);
    EXPECT_TRUE(T.FixedFont);
    EXPECT_EQ(Headings(T), (std::vector<std::string>{"reg.", "content"}));
    ASSERT_EQ(T.Rows.size(), 4u);
    EXPECT_EQ(T.Rows[0], (TRow{"rax", "0000000000000001"}));
    EXPECT_EQ(T.Rows[3], (TRow{"registers of the signal frame", ""}));
}

TEST(CrashreportViewerText, StackDumpIsCutAtFixedColumns)
{
    // Lines whose blanks are not where the columns are, and a line with no
    // blanks at all: the cut is at the same places.
    const std::string Lines[] = {
        "00007ffc12345670 00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff    ..\"3DUfw........",
        "00007ffc12345680xAAxBBxCCxDDxEExFFx00x11x22x33x44x55x66x77x88x99xxxxxabcdefghijklmnop",
        "0000 7ffc1234 5690 41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f    A B C D",
    };
    std::string Text;
    for (const std::string& L : Lines)
        Text += (Text.empty() ? "" : "\r\n") + L;
    const TViewerTable T = ViewSection(TSectionKind::skStackDump, Text);
    EXPECT_TRUE(T.FixedFont);
    ASSERT_EQ(T.Columns.size(), 3u);
    ASSERT_EQ(T.Rows.size(), 3u);
    for (std::size_t I = 0; I < 3; ++I) {
        const std::string& L = Lines[I];
        auto Trim = [](std::string S) {
            while (!S.empty() && S.back() == ' ')
                S.pop_back();
            while (!S.empty() && S.front() == ' ')
                S.erase(0, 1);
            return S;
        };
        EXPECT_EQ(T.Rows[I][0], Trim(L.substr(0, 16))) << I;
        EXPECT_EQ(T.Rows[I][1], Trim(L.substr(17, 50))) << I;
        EXPECT_EQ(T.Rows[I][2], Trim(L.substr(68))) << I;
    }
}

TEST(CrashreportViewerText, ThreadWithCreationStack)
{
    const std::vector<TRow> Own{
        {"00007f95067162ea", "+18", "libc.so.6", "../sysdeps/unix/read.c", "26", "+0",
         "__GI___libc_read"},
        {"00005623837c6550", "+20", "probe", "/src/Probe.cpp", "64", "+2", "probe_block"},
        {"00005623837c67c8", "+28", "probe", "/src/Probe.cpp", "118", "+2",
         "probe_start_worker::{lambda()#1}::operator()() const"},
    };
    const std::vector<TRow> Creation{
        {"00005623837c8098", "+38", "probe", "/src/Probe.cpp", "113", "+3", "probe_start_worker"},
        {"00005623837c47fb", "+12b", "probe", "/src/Probe.cpp", "262", "+13", "main"},
        {"00005623837c5b6b", "+1b", "probe", "_start"},
    };
    // The creation stack's last line has no source: the report pads its
    // empty columns.
    std::vector<TRow> Padded = Creation;
    Padded[2] = {Creation[2][0], Creation[2][1], Creation[2][2], "", "", "", Creation[2][3]};
    const std::string CreationText = Layout(Padded, 2);
    const std::string Text =
        Layout(Own) + "\r\n>> created by main thread ($4ba4) at:\r\n" + CreationText;
    const TViewerTable T = ViewSection(TSectionKind::skCallStack, Text);
    EXPECT_EQ(Headings(T), (std::vector<std::string>{"address", "rel.", "module", "unit", "line",
                                                     "rel.", "function"}));
    EXPECT_TRUE(T.Columns[0].Upper && T.Columns[1].Upper && T.Columns[1].Right);
    EXPECT_TRUE(T.Columns[4].Right && !T.Columns[4].Upper && T.Columns[5].Right);
    ASSERT_EQ(T.Rows.size(), Own.size() + 1 + Creation.size());
    for (std::size_t I = 0; I < Own.size(); ++I) {
        TRow Want = Own[I];
        Want[0] = Upper(Want[0]);
        Want[1] = Upper(Want[1]);
        EXPECT_EQ(T.Rows[I], Want);
    }
    EXPECT_EQ(T.Rows[Own.size()],
              (TRow{">>", ">>", ">>", ">>", ">>", ">>", "created by main thread ($4ba4) at:"}));
    for (std::size_t I = 0; I < Creation.size(); ++I) {
        const TRow& Got = T.Rows[Own.size() + 1 + I];
        TRow Want = Creation[I];
        if (Want.size() == 4)
            Want = {Want[0], Want[1], Want[2], "", "", "", Want[3]};
        Want[0] = Upper(Want[0]);
        Want[1] = Upper(Want[1]);
        EXPECT_EQ(Got, Want) << I;
    }
}

TEST(CrashreportViewerText, CreationColumnsTheOwnStackLacksJoinTheCellBeforeThem)
{
    // The own stack without sources (no unit, line or second offset
    // column); the creation stack with them: its extra cells join the module
    // cell before them, in order, and the routine stays the routine.
    const std::vector<TRow> Own{
        {"00007f95067162ea", "+18", "libc.so.6", "__GI___libc_read"},
        {"00007f9506716400", "+2a0", "libc.so.6", "__libc_start_main"},
        {"00007f9506716500", "+30", "libc.so.6", "_start"},
        {"00007f9506716600", "+4", "libc.so.6", "clone3"},
    };
    const std::vector<TRow> Creation{
        {"00005623837c8098", "+38", "probe", "/src/Probe.cpp", "113", "+3", "probe_start_worker"},
        {"00005623837c47fb", "+12b", "probe", "/src/Probe.cpp", "262", "+13", "main"},
        {"00005623837c5b6b", "+1b", "probe", "/src/Start.cpp", "7", "+0", "_start"},
        {"00005623837c5c00", "+2", "probe", "/src/Start.cpp", "9", "+1", "start_main"},
    };
    const TViewerTable T = ViewSection(
        TSectionKind::skCallStack,
        Layout(Own) + "\r\n>> created by main thread ($4ba4) at:\r\n" + Layout(Creation));
    ASSERT_EQ(Headings(T), (std::vector<std::string>{"address", "rel.", "module", "function"}));
    ASSERT_EQ(T.Rows.size(), Own.size() + 1 + Creation.size());
    for (std::size_t I = 0; I < Creation.size(); ++I) {
        const TRow& C = Creation[I];
        EXPECT_EQ(
            T.Rows[Own.size() + 1 + I],
            (TRow{Upper(C[0]), Upper(C[1]), C[2] + " " + C[3] + " " + C[4] + " " + C[5], C[6]}))
            << I;
    }
}

TEST(CrashreportViewerText, SectionsBeingCalculatedAreTextRows)
{
    for (const TSectionKind K :
         {TSectionKind::skModules, TSectionKind::skCallStack, TSectionKind::skStackDump}) {
        const TViewerTable T =
            ViewSection(K, ">> will be calculated soon\r\n>> internal error: no stack");
        ASSERT_EQ(T.Columns.size(), 1u);
        EXPECT_EQ(T.Rows,
                  (std::vector<TRow>{{"will be calculated soon"}, {"internal error: no stack"}}));
    }
}

TEST(CrashreportViewerText, GeneralCellsComeOnlyFromTabs)
{
    const std::string Text = GeneralViewText(
        {{"exception message", "a: b   = c | d"}, {"process id", "$4ab7"}, {"empty", ""}});
    const TViewerTable T = ViewSection(TSectionKind::skGeneral, Text);
    EXPECT_EQ(T.Rows, (std::vector<TRow>{{"exception message", "a: b   = c | d"},
                                         {"process id", "$4ab7"},
                                         {"empty", ""}}));
}

TEST(CrashreportViewerText, NamesAndLabels)
{
    EXPECT_EQ(ViewerTabLabel("cpu registers"), "cpu regs");
    EXPECT_EQ(ViewerTabLabel("disassembling"), "disasm");
    EXPECT_EQ(ViewerTabLabel("hardware"), "hardware");
    EXPECT_EQ(SectionKindOf("stack dump"), TSectionKind::skStackDump);
    EXPECT_EQ(SectionKindOf("hardware"), TSectionKind::skText);
    EXPECT_FALSE(ViewSection(TSectionKind::skText, "  - device:08").IsList);
}

// The sections of a report text: name (without its colon) and body.
std::vector<std::pair<std::string, std::string>> ReportSections(const std::string& Report)
{
    std::vector<std::pair<std::string, std::string>> Sections;
    std::size_t At = Report.find("\r\n\r\n");
    while (At != std::string::npos) {
        At += 4;
        const std::size_t End = Report.find("\r\n\r\n", At);
        const std::string Block = Report.substr(At, End == std::string::npos ? End : End - At);
        const std::size_t NameEnd = Block.find(":\r\n");
        if (NameEnd != std::string::npos)
            Sections.emplace_back(Block.substr(0, NameEnd), Block.substr(NameEnd + 3));
        At = End;
    }
    return Sections;
}

// The characters of a line, without blanks and without the "=" and "|" that
// the viewer turns into blanks where they separate columns.
std::string WithoutBlanks(std::string S)
{
    std::erase_if(S, [](char C) { return C == ' ' || C == '=' || C == '|'; });
    return S;
}

// Every line of a section comes back as its heading's number of cells that
// together hold exactly the line's characters (blanks aside): nothing lost,
// nothing doubled, whatever the columns' widths.
void CheckSplitsAndRejoins(const std::string& Name, TSectionKind Kind, const std::string& Text)
{
    SCOPED_TRACE(Name);
    const TViewerTable T = ViewSection(Kind, Text);
    ASSERT_TRUE(T.IsList);
    const std::u16string Wide = Utf8ToWide(Text);
    std::vector<std::string> Lines;
    for (const TViewerLine& L : SplitViewerLines(Wide))
        Lines.push_back(WideToUtf8(Wide.substr(L.Start, L.Length)));
    // A thread's creation line turns into a separator row.
    ASSERT_EQ(T.Rows.size(), Lines.size());
    std::size_t Separated = 0;
    for (std::size_t I = 0; I < Lines.size(); ++I) {
        const std::vector<std::string>& Row = T.Rows[I];
        ASSERT_EQ(Row.size(), T.Columns.size()) << Lines[I];
        if (Lines[I].starts_with(">> created")) {
            EXPECT_EQ(Row.front(), ">>");
            ++Separated;
            continue;
        }
        if (Lines[I].starts_with(">>")) {
            EXPECT_EQ(Row.front(), Lines[I].substr(3)) << Lines[I];
            continue;
        }
        std::string Joined;
        for (std::size_t C = 0; C < Row.size(); ++C) {
            std::string Cell = Row[C];
            // Upper-cased columns hold hexadecimal numbers the line writes in
            // lower case.
            if (T.Columns[C].Upper)
                for (char& Ch : Cell)
                    Ch = static_cast<char>(std::tolower(static_cast<unsigned char>(Ch)));
            Joined += Cell;
        }
        EXPECT_EQ(WithoutBlanks(Joined), WithoutBlanks(Lines[I])) << Lines[I];
    }
    EXPECT_LE(Separated, 1u);
}

TEST(CrashreportViewerText, RealReportSections)
{
    // A report of a caught exception, and the trace report of a process
    // with threads made at known places.
    const std::string Probe = TOLVEX_REPORT_PROBE;
    std::vector<std::string> Reports{RunCommand(Probe + " report-now").Output};
    const std::string Traced = RunCommand("printf 'report\\n' | " + Probe + " threads 3").Output;
    Reports.push_back(Traced.substr(0, Traced.find("--end--")));
    std::set<std::string> Seen;
    bool SawCreation = false;
    for (const std::string& Report : Reports)
        for (const auto& [Name, Text] : ReportSections(Report)) {
            TSectionKind Kind = SectionKindOf(Name);
            if (Name.find("thread") != std::string::npos)
                Kind = TSectionKind::skCallStack;
            if (Kind == TSectionKind::skText)
                continue;
            Seen.insert(Kind == TSectionKind::skCallStack ? "thread" : Name);
            SawCreation = SawCreation || Text.find("\r\n>> created") != std::string::npos;
            CheckSplitsAndRejoins(Name, Kind, Text);
        }
    EXPECT_EQ(Seen, (std::set<std::string>{"modules", "processes", "thread"}));
    EXPECT_TRUE(SawCreation);

    // The sections of a fault, from the report's own routines: this
    // thread's stack and the listing of a routine.
    int Local = 0;
    const auto Sp = reinterpret_cast<std::uintptr_t>(&Local);
    const std::string Dump = StackDumpText(Sp, Sp - 4096, Sp + 4096);
    ASSERT_FALSE(Dump.empty());
    CheckSplitsAndRejoins("stack dump", TSectionKind::skStackDump, Dump);
    TCpuRegisters Regs;
    Regs.Rax = 0x123456789abcdef0;
    Regs.Rsp = Sp;
    Regs.Eflags = 0x246;
    CheckSplitsAndRejoins("cpu registers", TSectionKind::skCpuRegisters, CpuRegistersText(Regs));
    const TViewerTable Registers =
        ViewSection(TSectionKind::skCpuRegisters, CpuRegistersText(Regs));
    ASSERT_FALSE(Registers.Rows.empty());
    EXPECT_EQ(Registers.Rows[0], (std::vector<std::string>{"rax", "123456789abcdef0"}));
    if (DisassemblerLinked()) {
        const std::string Listing =
            DisassemblyText(reinterpret_cast<std::uintptr_t>(&StackDumpText), 0, false, 40);
        if (!Listing.empty())
            CheckSplitsAndRejoins("disassembling", TSectionKind::skDisassembling, Listing);
    }
}

} // namespace
