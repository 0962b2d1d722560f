// The bug report: a header of named fields (one per line) followed by sections
// (a title and a block of text each).
//
// This unit knows which header fields exist and how each value is found on
// this system, the fixed-format sections (processor registers, stack dump,
// disassembly), the plugins through which other units add sections or
// fields, and how header and sections are laid out into the finished text.
// The exception object (kelExceptObject) owns a report and runs its
// calculation; the stack texts come from crashlib's stack walk.
//
// Texts are UTF-8; lines of report texts are separated by CR LF, with no line
// break after the last one.
#pragma once

#include "crashlib/kelMemory.h"
#include "crashlib/kelStackTrace.h"
#include "crashreport/kelExceptSettings.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <exception>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <ucontext.h>
#include <utility>
#include <vector>

// --- Plugins -------------------------------------------------------------------
// A plugin adds one section (or one header field) to every report whose
// "Plugins" setting names it. Its routine fills the text; a routine that
// throws contributes nothing.

using TBugReportPluginProc = void (*)(std::string& Text);
using TBugReportPluginMethod = void (*)(void* Instance, std::string& Text);

struct TBugReportPlugin {
    std::string Name;
    std::string Description;
    TBugReportPluginProc Proc = nullptr;     // a plain routine, or
    TBugReportPluginMethod Method = nullptr; // a method: code and instance
    void* Instance = nullptr;
    bool OwnSection = true; // true: a section of its own; false: one header field
};

// Appends a plugin to the process's list (registration order is kept).
void RegisterBugReportPlugin(std::string_view Name, std::string_view Description,
                             TBugReportPluginProc Proc, bool OwnSection = true);
void RegisterBugReportPlugin(std::string_view Name, std::string_view Description,
                             TBugReportPluginMethod Method, void* Instance, bool OwnSection = true);
// Removes the first plugin of exactly that name; the others keep their order.
void UnregisterBugReportPlugin(std::string_view Name);
// A copy of the list, in registration order.
std::vector<TBugReportPlugin> RegisteredBugReportPlugins();
// What a report shows: for every item of "Plugins", in its order, every
// registered plugin of that name (any letter case) whose OwnSection flag is
// the one asked for.
std::vector<TBugReportPlugin> SelectBugReportPlugins(const IKESettings& Settings, bool OwnSection);
// The plugin's text; none when its routine throws.
std::optional<std::string> RunBugReportPlugin(const TBugReportPlugin& Plugin);

// --- The event ----------------------------------------------------------------------

// The integer registers of a thread, as the "cpu registers" section lists them.
struct TCpuRegisters {
    std::uint64_t Rax = 0, Rbx = 0, Rcx = 0, Rdx = 0, Rsi = 0, Rdi = 0, Rbp = 0, Rsp = 0;
    std::uint64_t R8 = 0, R9 = 0, R10 = 0, R11 = 0, R12 = 0, R13 = 0, R14 = 0, R15 = 0;
    std::uint64_t Rip = 0;
    std::optional<std::uint64_t> Eflags; // unknown for a context read without it
};

// What an event is.
enum class TExceptKind : std::uint8_t {
    Exception = 0,    // an exception or a fatal signal
    Freeze = 1,       // the main thread stopped answering
    Notification = 2, // handlers are told, nothing else
};

// An exception that was being handled on a thread when another one was thrown.
struct TReportInnerException {
    std::string ClassName;
    std::string Message;
};

// The facts of an event, as the capture hands them over.
struct TExceptionFacts {
    TExceptKind Kind = TExceptKind::Exception;
    // The thrown C++ object, when there is one.
    std::exception_ptr Object;
    // For an event without a C++ object: its class and the classes it
    // derives from, nearest first (a signal: "SIGSEGV", "EExternal",
    // "KelException", "std::exception"), and its message.
    std::vector<std::string> ClassChain;
    std::string Message;
    std::uintptr_t Address = 0; // where it happened
    pid_t ThreadId = 0;         // the thread it happened on; 0: the calling thread
    std::uintptr_t StackLow = 0, StackHigh = 0;
    // The thread's registers at the event (a signal, a freeze); none for a
    // C++ exception, whose stack is unwound by the time it is reported.
    std::optional<TCpuRegisters> Registers;
    // The return addresses recorded when the C++ exception was thrown,
    // innermost first; its thread's section starts with them.
    std::vector<std::uintptr_t> ThrowChain;
    std::vector<TReportInnerException> InnerExceptions; // newest first
    bool CanContinue = true;
    std::uint8_t Source = 0;
    std::uintptr_t CallerValue2 = 0, CallerValue3 = 0;
    // The event has no thread of its own (a trace): no exception thread
    // section, every thread listed, the library's own threads too.
    bool NoExceptionThread = false;
    bool Trace = false;
    // Header and placeholders are made at once, and the calculation waits for
    // the first GetBugReport that waits.
    bool Deferred = false;
};

// --- Header ------------------------------------------------------------------------

// A (name, value) pair of the header, or a (title, text) pair of the sections.
using TReportItem = std::pair<std::string, std::string>;
using TReportItems = std::vector<TReportItem>;

// The value of a field, and the text of a section, that is still being worked out.
inline constexpr std::string_view CalculatedSoonText = "will be calculated soon";
inline constexpr std::string_view SectionPlaceholderText = ">> will be calculated soon";

// What the header says about the system and the process. A value that could
// not be found stays empty (or unset) and leaves its field out.
struct TSystemFacts {
    std::string ComputerName;
    std::string UserName;
    bool Admin = false;          // the effective user is root
    std::string OperatingSystem; // description + " build " + kernel release
    std::string Language;
    std::optional<std::int64_t> SystemUpSeconds;
    std::optional<std::int64_t> ProgramUpMs;
    std::string ProcessorName;
    int ProcessorCount = 0;
    std::optional<std::uint64_t> MemoryAvailable, MemoryTotal; // bytes
    std::optional<std::int64_t> FreeDiskSpace;                 // bytes
    std::string DisplayMode;                                   // from the helper
    pid_t ProcessId = 0;
    std::optional<std::uint64_t> AllocatedMemory; // private anonymous bytes
    std::string CommandLine;
    std::string Executable;
    std::optional<std::time_t> ExecutableTime;
    std::string Version;
    std::string Compiler;
    std::string LibraryVersion;
};

// The facts as this system tells them now.
TSystemFacts GatherSystemFacts(const IKESettings& Settings);

// Where the display mode comes from: the helper program answers it, when it
// runs. Null (the default): the field is left out.
using TDisplayModeQuery = std::string (*)();
void SetDisplayModeQuery(TDisplayModeQuery Query);

// The values of the header that belong to one exception.
struct TExceptionHeader {
    std::chrono::system_clock::time_point Time;
    std::string CallstackCrc{CalculatedSoonText};
    int ExceptionNumber = 0;
    std::string ExceptionClass;
    std::string ExceptionMessage;
};

// The header fields, in their order, each only when its value is known; then
// one field per header plugin that "Plugins" names.
TReportItems MakeHeaderFields(const TSystemFacts& Facts, const TExceptionHeader& Exception,
                              const IKESettings& Settings);

// A time span: days and hours, or hours and minutes, or minutes and seconds,
// each "1 unit " or "n units " (so the text ends in a blank); empty for 0.
std::string TimeSpanText(std::int64_t Seconds);
// "2024-03-09, 14:05:09, 7ms" in local time.
std::string ReportDateTimeText(std::chrono::system_clock::time_point Time);
// "2024-03-09 14:05:09" in local time.
std::string FileDateTimeText(std::time_t Time);
// An exception's message as the report keeps it: control characters other
// than CR and LF removed, trimmed, "Unknown" when empty, trailing "!" and "."
// cut and one "." appended.
std::string CleanExceptionMessage(std::string_view Message);
// A value as a header line shows it: CR LF, CR and LF each become one blank,
// runs of two blanks become one.
std::string SingleLineValue(std::string_view Value);

// The width of a text in characters, and the text padded with blanks to
// abs(MinLen) characters (in front for a positive MinLen, behind for a
// negative one): the columns of the sections line up by characters.
std::size_t TextWidth(std::string_view Text);
std::string FillText(std::string_view Text, int MinLen);

// The whole of a small file (as /proc files are read); empty when it cannot
// be read. The target of a symbolic link; empty when there is none.
std::string ReadSmallFile(const std::string& Path);
std::string ReadLinkTarget(const std::string& Path);
// The fields of a /proc/<pid>/stat text, numbered as proc(5) numbers them:
// [1] the id, [2] the name without its parentheses, [3] the state...; [0] is
// empty. Empty when the text is malformed.
std::vector<std::string_view> ProcStatFields(std::string_view Stat);

// --- Sections ---------------------------------------------------------------------

TCpuRegisters RegistersFromUcontext(const ucontext_t& Uc);
TCpuRegisters RegistersFromContext(const TThreadContext& Context);
// One line per register, "rax    = " and 16 lower-case hex digits.
std::string CpuRegistersText(const TCpuRegisters& Registers);

// The stack dump: 16 bytes a line, from the 16-byte line that holds Sp less
// two lines, for StackDumpBytes at most, within [Low, High) and as far as the
// memory can be read. Each line: the address in 16 hex digits, a blank, the
// bytes in hex separated by blanks, four blanks, the bytes as characters
// (printable ASCII, else "."). The viewer cuts the lines at these columns.
inline constexpr int StackDumpDataColumn = 18;  // 1-based: where the hex bytes start
inline constexpr int StackDumpCharsColumn = 69; // 1-based: where the characters start
inline constexpr std::size_t StackDumpBytes = 1024;
std::string StackDumpText(std::uintptr_t Sp, std::uintptr_t Low, std::uintptr_t High,
                          const TDATryRead* Ranges = nullptr);

// The listing of the routine that holds Address, through crashlib's listing
// hook (empty when no disassembler is linked in). RoutineStart 0: the start
// of the routine part its unwind entry covers.
std::string DisassemblyText(std::uintptr_t Address, std::uintptr_t RoutineStart, bool Format,
                            int LineLimit);
// Whether a disassembler is linked in.
bool DisassemblerLinked();

// --- Thread sections ---------------------------------------------------------------

// What the crash capture's thread table knows of a thread.
struct TReportThreadInfo {
    // "<name> ($<hex id>)"; empty: the thread is shown as "thread $<hex id>"
    // ("main thread ($<hex id>)" for the main thread).
    std::string DisplayName;
    bool Library = false; // one of the crash reporter's own threads
    pid_t CreatingThreadId = 0;
    // The creating thread's return addresses when it started the thread,
    // innermost first.
    std::vector<std::uintptr_t> CreationStack;
};
// Where the report asks about threads: the thread table answers, once crash
// capture keeps one. False (or no query, the default): nothing is known.
using TThreadInfoQuery = bool (*)(pid_t ThreadId, TReportThreadInfo& Info);
void SetThreadInfoQuery(TThreadInfoQuery Query);

// One thread section of a report.
struct TReportThread {
    pid_t ThreadId = 0;
    std::string Title;
    // When it was started by another thread: that thread's display name, and
    // where it was.
    std::string CreatorName;
    std::vector<std::uintptr_t> CreationStack;
    // The event's own thread: its registers or throw site come with the event.
    bool ExceptionThread = false;
    // Above 0: the section of the event thread's inner exception of that
    // level, whose text is InnerText (">> class, message").
    int InnerLevel = 0;
    std::string InnerText;
};

// The threads a report lists, in order: the event's thread (titled with
// ", exception location: " and where it happened), one section per inner
// exception, the main thread, then with ListThreads every other thread of the
// process except Excluded (the calculating thread) and, unless the event is a
// trace, the crash reporter's own threads. Titles are display names; they end
// in ":" and carry
// " <suspended>" for a stopped thread and " <priority:n>" for a nonzero nice
// value.
std::vector<TReportThread> CollectReportThreads(const TExceptionFacts& Facts, bool ListThreads,
                                                bool RelAddresses, bool RelLines, pid_t Excluded);

// The text of a thread's section, and its trace: the event thread's is the
// chain recorded where its C++ exception was thrown, else it is walked from
// its registers; every other thread is paused for the moment of its walk.
// With HideUglyItems, frames that name no routine are left out. ">> stack not
// accessible" when no stack can be read. A thread that another one started
// ends with ">> created by <its display name> at:" and the creation stack.
std::string ThreadSectionText(const TReportThread& Thread, const TExceptionFacts& Facts,
                              bool RelAddresses, bool RelLines, bool HideUglyItems,
                              TStackTrace& Trace);

// The walk's context of a thread from its registers.
TThreadContext ContextFromRegisters(const TCpuRegisters& Registers, pid_t ThreadId,
                                    std::uintptr_t StackLow, std::uintptr_t StackHigh);

// The three values of "callstack crc", the same in every run of the program
// for the same chains: the checksum of the first frame of the event thread
// that lies in the program itself, that of its whole chain, and a CRC-32 over
// the chain checksums of every listed thread. 0 where there is nothing to sum.
std::array<std::uint32_t, 3> CallstackCrcs(const TStackTrace* EventThread,
                                           const std::vector<TStackTrace>& Listed);
// "$0123abcd, $..., $..."
std::string CallstackCrcText(const std::array<std::uint32_t, 3>& Crcs);

// --- The finished text ---------------------------------------------------------------

// The report text: the header, one line per field ("name" padded with blanks
// to the longest name + 1, ": ", the value on one line), then each section:
// an empty line, its title with ":" appended unless it holds one, its lines
// with trailing blanks cut and an empty line written as ".".
std::string ComposeBugReport(const TReportItems& Header, const TReportItems& Sections);
