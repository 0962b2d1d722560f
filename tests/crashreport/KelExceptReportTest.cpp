// The bug report's header and its fixed-format sections: header values from
// given facts (the edge cases of their rules), the layout of the finished
// text, the stack dump against the memory it shows, the disassembly against
// objdump, the registers of a context.
#include "crashreport/kelExceptReport.h"

#include "crashlib/kelStrings.h"
#include "tests/crashreport/Command.h"

#include <gtest/gtest.h>

#include <cstring>
#include <link.h>
#include <map>
#include <regex>
#include <ucontext.h>

namespace {

std::vector<std::string> Lines(const std::string& Text)
{
    std::vector<std::string> Out;
    for (std::size_t Pos = 0;;) {
        const auto End = Text.find("\r\n", Pos);
        Out.push_back(Text.substr(Pos, End == std::string::npos ? std::string::npos : End - Pos));
        if (End == std::string::npos)
            return Out;
        Pos = End + 2;
    }
}

std::map<std::string, std::string> FieldMap(const TReportItems& Items)
{
    return {Items.begin(), Items.end()};
}

std::shared_ptr<TIKESettings> Settings(std::vector<TSettingEntry> Entries = {})
{
    return NewSettingsFromStream(WriteSettingsStream(Entries));
}

TSystemFacts SomeFacts()
{
    TSystemFacts F;
    F.ComputerName = "lab-pc";
    F.UserName = "ann";
    F.ProcessorName = "Test CPU @ 2.0GHz";
    F.ProcessorCount = 1;
    F.ProcessId = 0x4d2;
    return F;
}

void HeaderPlugin(std::string& Text)
{
    Text = "from the plugin";
}

} // namespace

TEST(CrashreportHeader, TimeSpansNameOnlyTheTwoLargestUnitsThatAreThere)
{
    const std::pair<std::int64_t, const char*> Cases[] = {
        {0, ""},
        {-5, ""},
        {1, "1 second "},
        {59, "59 seconds "},
        {60, "1 minute "},
        {61, "1 minute 1 second "},
        {3600, "1 hour "},
        {3661, "1 hour 1 minute "},
        {86400, "1 day "}, // hours 0 are not written
        {86400 + 7200 + 59, "1 day 2 hours "},
        {2 * 86400 + 3599, "2 days "},
        {400 * 86400 + 23 * 3600, "400 days 23 hours "},
    };
    for (const auto& [Seconds, Text] : Cases)
        EXPECT_EQ(TimeSpanText(Seconds), Text) << Seconds;
}

TEST(CrashreportHeader, UpTimesProcessorsAndMemoryFollowTheirRules)
{
    const auto S = Settings();
    TExceptionHeader E;
    struct TCase {
        std::int64_t ProgramUpMs, SystemUpSeconds;
        int Processors;
        const char *Program, *System, *ProcessorField, *ProcessorValue;
    };
    const TCase Cases[] = {
        {350, 86400, 1, "350 milliseconds", "1 day ", "processor", "Test CPU @ 2.0GHz"},
        {0, 59, 1, "0 milliseconds", "59 seconds ", "processor", "Test CPU @ 2.0GHz"},
        {1999, 3600, 8, "1 second ", "1 hour ", "processors", "8x Test CPU @ 2.0GHz"},
        {90061000, 90061, 2, "1 day 1 hour ", "1 day 1 hour ", "processors",
         "2x Test CPU @ 2.0GHz"},
    };
    for (const auto& C : Cases) {
        TSystemFacts F = SomeFacts();
        F.ProgramUpMs = C.ProgramUpMs;
        F.SystemUpSeconds = C.SystemUpSeconds;
        F.ProcessorCount = C.Processors;
        auto Fields = FieldMap(MakeHeaderFields(F, E, *S));
        EXPECT_EQ(Fields["program up time"], C.Program);
        EXPECT_EQ(Fields["system up time"], C.System);
        EXPECT_EQ(Fields[C.ProcessorField], C.ProcessorValue);
        EXPECT_EQ(Fields.count(C.Processors == 1 ? "processors" : "processor"), 0u);
    }
    TSystemFacts F = SomeFacts();
    F.MemoryAvailable = 0x7FFFF;            // rounds down to 0 MB
    F.MemoryTotal = 0x80000 + 3 * 0x100000; // rounds up to 4 MB
    F.Admin = true;
    auto Fields = FieldMap(MakeHeaderFields(F, E, *S));
    EXPECT_EQ(Fields["physical memory"], "0/4 MB (free/total)");
    EXPECT_EQ(Fields["user name"], "ann  <admin>");
    EXPECT_EQ(Fields["process id"], "$4d2");
}

TEST(CrashreportHeader, FieldsComeInTheirOrderAndUnknownValuesLeaveTheirFieldOut)
{
    const auto S = Settings({{"Plugins", skText, false, 0, "modules|h-field"}});
    RegisterBugReportPlugin("h-field", "a header field", &HeaderPlugin, false);
    RegisterBugReportPlugin("h-other", "not named in Plugins", &HeaderPlugin, false);
    TExceptionHeader E;
    E.Time = std::chrono::system_clock::time_point(std::chrono::milliseconds(1709993109007));
    E.ExceptionNumber = 3;
    E.ExceptionClass = "std::runtime_error";
    E.ExceptionMessage = "two\r\nlines";
    TSystemFacts F = SomeFacts();
    F.CommandLine = "tolvex --portable";
    const auto Items = MakeHeaderFields(F, E, *S);
    UnregisterBugReportPlugin("h-field");
    UnregisterBugReportPlugin("h-other");
    std::vector<std::string> Names;
    for (const auto& [Name, Value] : Items)
        Names.push_back(Name);
    EXPECT_EQ(Names, (std::vector<std::string>{"date/time", "computer name", "user name",
                                               "processor", "process id", "command line",
                                               "callstack crc", "exception number",
                                               "exception class", "exception message", "h-field"}));
    auto Fields = FieldMap(Items);
    EXPECT_EQ(Fields["callstack crc"], "will be calculated soon");
    EXPECT_EQ(Fields["exception message"], "two lines");
    EXPECT_EQ(Fields["h-field"], "from the plugin");
    // date/time is local time: the test process's zone.
    const std::time_t T = 1709993109;
    std::tm Local{};
    localtime_r(&T, &Local);
    char Expected[64];
    std::strftime(Expected, sizeof Expected, "%Y-%m-%d, %H:%M:%S, 7ms", &Local);
    EXPECT_EQ(Fields["date/time"], Expected);
    std::strftime(Expected, sizeof Expected, "%Y-%m-%d %H:%M:%S", &Local);
    EXPECT_EQ(FileDateTimeText(T), Expected);
}

TEST(CrashreportHeader, ExceptionMessagesAreCleanedAsTheReportKeepsThem)
{
    const std::pair<const char*, const char*> Cases[] = {
        {"Access denied!", "Access denied."},
        {"  padded...  ", "padded."},
        {"", "Unknown."},
        {"\x01\x02\t", "Unknown."},
        {"!.!", "."},
        {"keeps\r\nline breaks", "keeps\r\nline breaks."},
        {"tab\there", "tabhere."},
    };
    for (const auto& [In, Out] : Cases)
        EXPECT_EQ(CleanExceptionMessage(In), Out) << In;
}

TEST(CrashreportReport, TheLayoutPadsNamesJoinsValuesAndMarksEmptyLines)
{
    const TReportItems Header = {{"a", "1"}, {"longer name", "x\r\ny  z\rw\n"}};
    const TReportItems Sections = {{"threads", "line 1   \r\n\r\n  indented\nlf\rcr"},
                                   {"main thread ($1):", "frame"},
                                   {"empty", ""}};
    EXPECT_EQ(ComposeBugReport(Header, Sections),
              "a           : 1\r\n"
              "longer name : x y z w \r\n"
              "\r\n"
              "threads:\r\nline 1\r\n.\r\n  indented\r\nlf\r\ncr\r\n"
              "\r\n"
              "main thread ($1):\r\nframe\r\n"
              "\r\n"
              "empty:\r\n.");
    EXPECT_EQ(ComposeBugReport(Header, {}), "a           : 1\r\nlonger name : x y z w ");
    EXPECT_EQ(ComposeBugReport({}, {}), "");
}

namespace {

// A routine with a known instruction to list: objdump is asked what stands
// where the listing puts its mark.
extern "C" __attribute__((noinline)) int ReportListedRoutine(int* P, int N)
{
    int Sum = 0;
    for (int I = 0; I < N; ++I)
        Sum += P[I] * (I + 3);
    return Sum ^ N;
}

// The load bias of this program (runtime address - file address).
std::uintptr_t ProgramBias()
{
    std::uintptr_t Bias = 0;
    dl_iterate_phdr(
        [](dl_phdr_info* Info, std::size_t, void* Out) {
            *static_cast<std::uintptr_t*>(Out) = Info->dlpi_addr;
            return 1; // the program comes first
        },
        &Bias);
    return Bias;
}

} // namespace

TEST(CrashreportReport, TheListingMarksTheInstructionObjdumpShowsThere)
{
    const auto Entry = reinterpret_cast<std::uintptr_t>(&ReportListedRoutine);
    // The first full listing tells the instruction boundaries; mark the fourth.
    const std::string Whole = DisassemblyText(Entry, Entry, false, 0);
    std::vector<std::uintptr_t> Starts;
    const std::regex Instruction("^([0-9a-f]{16}) ");
    for (const auto& L : Lines(Whole)) {
        std::smatch M;
        if (std::regex_search(L, M, Instruction))
            Starts.push_back(std::stoull(M[1], nullptr, 16));
    }
    ASSERT_GE(Starts.size(), 6u) << Whole;
    const std::uintptr_t Crash = Starts[3];
    const std::string Listing = DisassemblyText(Crash, 0, false, 5);
    std::string Marked;
    for (const auto& L : Lines(Listing))
        if (L.size() > 18 && L[17] == '>')
            Marked = L;
    ASSERT_FALSE(Marked.empty()) << Listing;
    EXPECT_EQ(std::stoull(Marked.substr(0, 16), nullptr, 16), Crash);

    const std::uintptr_t File = Crash - ProgramBias();
    char Range[128];
    std::snprintf(Range, sizeof Range, "--start-address=0x%lx --stop-address=0x%lx",
                  static_cast<unsigned long>(File), static_cast<unsigned long>(File + 16));
    const auto Dump = RunCommand("objdump -d -M intel --no-show-raw-insn " + std::string(Range) +
                                 " /proc/" + std::to_string(getpid()) + "/exe");
    std::string Mnemonic;
    std::istringstream Out(Dump.Output);
    const std::regex ObjdumpLine("^\\s*[0-9a-f]+:\\s+(\\S+)");
    for (std::string L; Mnemonic.empty() && std::getline(Out, L);) {
        std::smatch M;
        if (std::regex_search(L, M, ObjdumpLine))
            Mnemonic = M[1];
    }
    ASSERT_FALSE(Mnemonic.empty()) << Dump.Output;
    EXPECT_NE(Marked.find(" " + Mnemonic + " "), std::string::npos)
        << Marked << "\nobjdump: " << Mnemonic;
}

TEST(CrashreportReport, TheStackDumpShowsTheBytesAtTheirColumns)
{
    alignas(16) unsigned char Bytes[96];
    for (std::size_t I = 0; I < sizeof Bytes; ++I)
        Bytes[I] = static_cast<unsigned char>(I * 7 + 30);
    const auto Low = reinterpret_cast<std::uintptr_t>(Bytes);
    // Sp in the middle of the third line: the dump starts two lines before
    // its line and ends at High.
    const std::string Dump = StackDumpText(Low + 32 + 5, Low, Low + sizeof Bytes);
    const auto L = Lines(Dump);
    ASSERT_EQ(L.size(), 6u) << Dump;
    for (std::size_t Row = 0; Row < L.size(); ++Row) {
        const std::string& Line = L[Row];
        ASSERT_EQ(Line.size(), static_cast<std::size_t>(StackDumpCharsColumn - 1 + 16)) << Line;
        EXPECT_EQ(std::stoull(Line.substr(0, 16), nullptr, 16), Low + Row * 16);
        for (std::size_t I = 0; I < 16; ++I) {
            const unsigned char B = Bytes[Row * 16 + I];
            char Hex[3];
            std::snprintf(Hex, sizeof Hex, "%02x", B);
            EXPECT_EQ(Line.substr(StackDumpDataColumn - 1 + I * 3, 2), Hex);
            const char Shown = Line[StackDumpCharsColumn - 1 + I];
            EXPECT_EQ(Shown, B >= 32 && B < 127 ? static_cast<char>(B) : '.');
        }
        // The viewer cuts before each column: a blank stands there.
        EXPECT_EQ(Line[StackDumpDataColumn - 2], ' ');
        EXPECT_EQ(Line[StackDumpCharsColumn - 2], ' ');
    }
    // Memory that cannot be read ends the dump instead of faulting.
    EXPECT_EQ(StackDumpText(0x10, 0, 0x1000), "");
}

TEST(CrashreportReport, RegistersAreListedInTheirOrderWithSixteenDigits)
{
    ucontext_t Uc{};
    for (int I = 0; I < NGREG; ++I)
        Uc.uc_mcontext.gregs[I] = static_cast<greg_t>(0x1111111111111111ull * (I % 15 + 1));
    const auto R = RegistersFromUcontext(Uc);
    const auto L = Lines(CpuRegistersText(R));
    const char* Names[] = {"rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp", "r8",
                           "r9",  "r10", "r11", "r12", "r13", "r14", "r15", "rip", "eflags"};
    const int Index[] = {REG_RAX, REG_RBX, REG_RCX, REG_RDX, REG_RSI, REG_RDI,
                         REG_RBP, REG_RSP, REG_R8,  REG_R9,  REG_R10, REG_R11,
                         REG_R12, REG_R13, REG_R14, REG_R15, REG_RIP, REG_EFL};
    ASSERT_EQ(L.size(), 18u);
    for (std::size_t I = 0; I < L.size(); ++I) {
        char Value[17];
        std::snprintf(Value, sizeof Value, "%016llx",
                      static_cast<unsigned long long>(Uc.uc_mcontext.gregs[Index[I]]));
        EXPECT_EQ(L[I], FillStrA(Names[I], -6, ' ') + " = " + Value);
    }
    // Through the walk's context and back, only eflags is lost.
    const auto Back = RegistersFromContext(ContextFromRegisters(R, 1, 0, 0));
    EXPECT_EQ(Lines(CpuRegistersText(Back)), std::vector<std::string>(L.begin(), L.end() - 1));
}
