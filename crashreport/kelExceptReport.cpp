#include "crashreport/kelExceptReport.h"

#include "crashlib/kelFuncParser.h"
#include "crashlib/kelStrings.h"
#include "crashlib/kelTools.h"
#include "crashlib/kelZip.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <mutex>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#ifndef TOLVEX_CRASHREPORT_VERSION
#define TOLVEX_CRASHREPORT_VERSION ""
#endif

namespace {

// The value of "Key: value" in a /proc text (the first line that starts so).
std::string ProcValue(std::string_view Text, std::string_view Key)
{
    std::size_t Pos = 0;
    while (Pos < Text.size()) {
        std::size_t End = Text.find('\n', Pos);
        if (End == std::string_view::npos)
            End = Text.size();
        std::string_view Line = Text.substr(Pos, End - Pos);
        Pos = End + 1;
        if (Line.substr(0, Key.size()) != Key)
            continue;
        Line.remove_prefix(Key.size());
        const std::size_t Colon = Line.find_first_not_of(" \t");
        if (Colon == std::string_view::npos || Line[Colon] != ':')
            continue;
        return RetTrimA(Line.substr(Colon + 1));
    }
    return {};
}

// "123 kB" of /proc/meminfo and smaps_rollup, in bytes.
std::optional<std::uint64_t> KiloBytes(std::string_view Value)
{
    const auto Digits = Value.substr(0, Value.find(' '));
    if (Digits.empty() || Digits.find_first_not_of("0123456789") != std::string_view::npos)
        return std::nullopt;
    return std::stoull(std::string(Digits)) * 1024;
}

std::string Pad2(int Value)
{
    return IntToStrPadA(Value, 2, '0');
}

std::string DateText(const std::tm& T)
{
    return IntToStrPadA(T.tm_year + 1900, 4, '0') + "-" + Pad2(T.tm_mon + 1) + "-" +
           Pad2(T.tm_mday);
}

std::string TimeText(const std::tm& T)
{
    return Pad2(T.tm_hour) + ":" + Pad2(T.tm_min) + ":" + Pad2(T.tm_sec);
}

std::string Hex16(std::uint64_t Value)
{
    char Buf[17];
    std::snprintf(Buf, sizeof Buf, "%016llx", static_cast<unsigned long long>(Value));
    return Buf;
}

// --- Plugins -------------------------------------------------------------------------

std::mutex PluginsLock;
std::vector<TBugReportPlugin>& Plugins()
{
    static std::vector<TBugReportPlugin> List;
    return List;
}

void AddPlugin(TBugReportPlugin Plugin)
{
    std::lock_guard Guard(PluginsLock);
    Plugins().push_back(std::move(Plugin));
}

std::atomic<TDisplayModeQuery> DisplayModeQuery{nullptr};

// The command line as one text: the arguments joined by blanks, an argument
// that holds a blank (or is empty) in double quotes.
std::string CommandLineText(std::string_view Raw)
{
    std::string Line;
    std::size_t Pos = 0;
    while (Pos < Raw.size()) {
        std::size_t End = Raw.find('\0', Pos);
        if (End == std::string_view::npos)
            End = Raw.size();
        const std::string_view Arg = Raw.substr(Pos, End - Pos);
        Pos = End + 1;
        if (!Line.empty())
            Line += ' ';
        const bool Quote = Arg.empty() || Arg.find_first_of(" \t") != std::string_view::npos;
        Line += Quote ? "\"" + std::string(Arg) + "\"" : std::string(Arg);
    }
    return Line;
}

// Seconds since boot, from the clock that counts suspended time too.
std::optional<double> BootSeconds()
{
    timespec Ts{};
    if (clock_gettime(CLOCK_BOOTTIME, &Ts) != 0)
        return std::nullopt;
    return static_cast<double>(Ts.tv_sec) + static_cast<double>(Ts.tv_nsec) / 1e9;
}

// Milliseconds since this process started (its start time in /proc/self/stat
// counts clock ticks since boot).
std::optional<std::int64_t> ProcessUpMs()
{
    const std::string Stat = ReadSmallFile("/proc/self/stat");
    const auto Fields = ProcStatFields(Stat);
    const auto Now = BootSeconds();
    const long Hz = sysconf(_SC_CLK_TCK);
    if (Fields.size() <= 22 || !Now || Hz <= 0)
        return std::nullopt;
    const double Ticks = std::strtod(std::string(Fields[22]).c_str(), nullptr);
    const double Ms = (*Now - Ticks / static_cast<double>(Hz)) * 1000.0;
    return Ms < 0 ? 0 : static_cast<std::int64_t>(Ms);
}

std::string ProcessorName()
{
    const std::string Info = ReadSmallFile("/proc/cpuinfo");
    std::string Name = ProcValue(Info, "model name");
    // Some machines name their processors in other keys.
    if (Name.empty())
        Name = ProcValue(Info, "Processor");
    if (Name.empty())
        Name = ProcValue(Info, "cpu model");
    return Name;
}

std::string LanguageText()
{
    for (const char* Name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        if (const char* Value = std::getenv(Name); Value != nullptr && *Value != '\0')
            return Value;
    return {};
}

} // namespace

// --- Plugins -------------------------------------------------------------------------

void RegisterBugReportPlugin(std::string_view Name, std::string_view Description,
                             TBugReportPluginProc Proc, bool OwnSection)
{
    TBugReportPlugin P;
    P.Name = Name;
    P.Description = Description;
    P.Proc = Proc;
    P.OwnSection = OwnSection;
    AddPlugin(std::move(P));
}

void RegisterBugReportPlugin(std::string_view Name, std::string_view Description,
                             TBugReportPluginMethod Method, void* Instance, bool OwnSection)
{
    TBugReportPlugin P;
    P.Name = Name;
    P.Description = Description;
    P.Method = Method;
    P.Instance = Instance;
    P.OwnSection = OwnSection;
    AddPlugin(std::move(P));
}

void UnregisterBugReportPlugin(std::string_view Name)
{
    std::lock_guard Guard(PluginsLock);
    auto& List = Plugins();
    const auto It = std::find_if(List.begin(), List.end(),
                                 [&](const TBugReportPlugin& P) { return P.Name == Name; });
    if (It != List.end())
        List.erase(It);
}

std::vector<TBugReportPlugin> RegisteredBugReportPlugins()
{
    std::lock_guard Guard(PluginsLock);
    return Plugins();
}

std::vector<TBugReportPlugin> SelectBugReportPlugins(const IKESettings& Settings, bool OwnSection)
{
    const std::string List = Settings.GetTextSetting("Plugins");
    const auto Registered = RegisteredBugReportPlugins();
    std::vector<TBugReportPlugin> Selected;
    for (int I = 1, N = SubStrCountA(List, '|'); I <= N; ++I) {
        const std::string Item = RetTrimA(SubStrA(List, I, '|'));
        for (const auto& P : Registered)
            if (P.OwnSection == OwnSection && IsTextEqualA(P.Name, Item))
                Selected.push_back(P);
    }
    return Selected;
}

std::optional<std::string> RunBugReportPlugin(const TBugReportPlugin& Plugin)
{
    std::string Text;
    try {
        if (Plugin.Method != nullptr)
            Plugin.Method(Plugin.Instance, Text);
        else if (Plugin.Proc != nullptr)
            Plugin.Proc(Text);
        else
            return std::nullopt;
    } catch (...) {
        return std::nullopt;
    }
    return Text;
}

// --- Header ------------------------------------------------------------------------

void SetDisplayModeQuery(TDisplayModeQuery Query)
{
    DisplayModeQuery.store(Query);
}

TSystemFacts GatherSystemFacts(const IKESettings& Settings)
{
    TSystemFacts F;
    struct utsname U {};
    const bool HaveUname = uname(&U) == 0;
    if (HaveUname)
        F.ComputerName = U.nodename;

    const uid_t Uid = geteuid();
    long BufSize = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> Buf(static_cast<std::size_t>(BufSize > 0 ? BufSize : 16384));
    passwd Pw{};
    passwd* Found = nullptr;
    if (getpwuid_r(Uid, &Pw, Buf.data(), Buf.size(), &Found) == 0 && Found != nullptr)
        F.UserName = Found->pw_name;
    F.Admin = Uid == 0;

    const std::string Description = WideToUtf8(GetOsInfo().Description);
    if (!Description.empty() && HaveUname)
        F.OperatingSystem = Description + " build " + U.release;
    F.Language = LanguageText();

    if (const auto Boot = BootSeconds())
        F.SystemUpSeconds = static_cast<std::int64_t>(*Boot);
    F.ProgramUpMs = ProcessUpMs();

    F.ProcessorName = ProcessorName();
    F.ProcessorCount = static_cast<int>(sysconf(_SC_NPROCESSORS_ONLN));

    const std::string MemInfo = ReadSmallFile("/proc/meminfo");
    F.MemoryAvailable = KiloBytes(ProcValue(MemInfo, "MemAvailable"));
    F.MemoryTotal = KiloBytes(ProcValue(MemInfo, "MemTotal"));

    F.Executable = ReadLinkTarget("/proc/self/exe");
    if (!F.Executable.empty()) {
        struct statvfs Vfs {};
        if (statvfs(F.Executable.c_str(), &Vfs) == 0)
            F.FreeDiskSpace =
                static_cast<std::int64_t>(Vfs.f_bavail) * static_cast<std::int64_t>(Vfs.f_frsize);
        struct stat St {};
        if (stat(F.Executable.c_str(), &St) == 0)
            F.ExecutableTime = St.st_mtime;
    }
    if (const TDisplayModeQuery Query = DisplayModeQuery.load())
        F.DisplayMode = Query();
    F.ProcessId = getpid();
    F.AllocatedMemory = KiloBytes(ProcValue(ReadSmallFile("/proc/self/smaps_rollup"), "Anonymous"));
    F.CommandLine = CommandLineText(ReadSmallFile("/proc/self/cmdline"));
    F.Version = Settings.VersionText();
    F.Compiler = "gcc " __VERSION__;
    F.LibraryVersion = TOLVEX_CRASHREPORT_VERSION;
    return F;
}

TReportItems MakeHeaderFields(const TSystemFacts& F, const TExceptionHeader& E,
                              const IKESettings& Settings)
{
    TReportItems Fields;
    auto Add = [&](std::string Name, std::string Value) {
        if (!Value.empty())
            Fields.emplace_back(std::move(Name), std::move(Value));
    };
    Add("date/time", ReportDateTimeText(E.Time));
    Add("computer name", F.ComputerName);
    Add("user name", F.UserName.empty() ? "" : F.UserName + (F.Admin ? "  <admin>" : ""));
    Add("operating system", F.OperatingSystem);
    Add("system language", F.Language);
    if (F.SystemUpSeconds)
        Add("system up time", TimeSpanText(*F.SystemUpSeconds));
    if (F.ProgramUpMs) {
        std::string Up = TimeSpanText(*F.ProgramUpMs / 1000);
        Add("program up time",
            Up.empty() ? std::to_string(std::max<std::int64_t>(*F.ProgramUpMs, 0)) + " milliseconds"
                       : Up);
    }
    if (!F.ProcessorName.empty() && F.ProcessorCount == 1)
        Add("processor", F.ProcessorName);
    else if (!F.ProcessorName.empty() && F.ProcessorCount > 1)
        Add("processors", std::to_string(F.ProcessorCount) + "x " + F.ProcessorName);
    if (F.MemoryAvailable && F.MemoryTotal) {
        auto Mb = [](std::uint64_t Bytes) { return std::to_string((Bytes + 0x80000) / 0x100000); };
        Add("physical memory",
            Mb(*F.MemoryAvailable) + "/" + Mb(*F.MemoryTotal) + " MB (free/total)");
    }
    if (F.FreeDiskSpace)
        Add("free disk space", WideToUtf8(SizeToStrW(*F.FreeDiskSpace)));
    Add("display mode", F.DisplayMode);
    if (F.ProcessId != 0)
        Add("process id", "$" + CardToHexA(static_cast<std::uint32_t>(F.ProcessId)));
    if (F.AllocatedMemory)
        Add("allocated memory",
            WideToUtf8(SizeToStrW(static_cast<std::int64_t>(*F.AllocatedMemory))));
    Add("command line", F.CommandLine);
    Add("executable", F.Executable.substr(F.Executable.rfind('/') + 1));
    if (F.ExecutableTime)
        Add("exec. date/time", FileDateTimeText(*F.ExecutableTime));
    Add("version", F.Version);
    Add("compiled with", F.Compiler);
    Add("kelExcept version", F.LibraryVersion);
    Add("callstack crc", E.CallstackCrc);
    if (E.ExceptionNumber > 0)
        Add("exception number", std::to_string(E.ExceptionNumber));
    Add("exception class", E.ExceptionClass.empty() ? "Unknown" : E.ExceptionClass);
    Add("exception message", SingleLineValue(E.ExceptionMessage));
    for (const auto& P : SelectBugReportPlugins(Settings, false))
        if (auto Text = RunBugReportPlugin(P))
            Add(P.Name, *Text);
    return Fields;
}

std::string TimeSpanText(std::int64_t Seconds)
{
    const std::int64_t S = std::max<std::int64_t>(Seconds, 0);
    std::int64_t First = S / 86400, Second = (S / 3600) % 24;
    const char *FirstUnit = "day", *SecondUnit = "hour";
    if (First == 0) {
        First = Second;
        Second = (S / 60) % 60;
        FirstUnit = "hour";
        SecondUnit = "minute";
        if (First == 0) {
            First = Second;
            Second = S % 60;
            FirstUnit = "minute";
            SecondUnit = "second";
        }
    }
    auto Part = [](std::int64_t N, const char* Unit) {
        if (N == 0)
            return std::string();
        return std::to_string(N) + " " + Unit + (N == 1 ? " " : "s ");
    };
    return Part(First, FirstUnit) + Part(Second, SecondUnit);
}

std::string ReportDateTimeText(std::chrono::system_clock::time_point Time)
{
    const auto Ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(Time.time_since_epoch()).count();
    const std::time_t Seconds = static_cast<std::time_t>(Ms >= 0 ? Ms / 1000 : (Ms - 999) / 1000);
    std::tm T{};
    localtime_r(&Seconds, &T);
    return DateText(T) + ", " + TimeText(T) + ", " + std::to_string((Ms % 1000 + 1000) % 1000) +
           "ms";
}

std::string FileDateTimeText(std::time_t Time)
{
    std::tm T{};
    localtime_r(&Time, &T);
    return DateText(T) + " " + TimeText(T);
}

std::string CleanExceptionMessage(std::string_view Message)
{
    std::string S;
    for (char C : Message)
        if (static_cast<unsigned char>(C) >= 32 || C == '\r' || C == '\n')
            S += C;
    TrimStrA(S);
    if (S.empty())
        S = "Unknown";
    while (!S.empty() && (S.back() == '!' || S.back() == '.'))
        S.pop_back();
    return S + ".";
}

std::string SingleLineValue(std::string_view Value)
{
    std::string S(Value);
    ReplaceStrA(S, "\r\n", " ");
    ReplaceStrA(S, "\r", " ");
    ReplaceStrA(S, "\n", " ");
    while (S.find("  ") != std::string::npos)
        ReplaceStrA(S, "  ", " ");
    return S;
}

std::string ReadSmallFile(const std::string& Path)
{
    std::string Text;
    // Never waits: a named pipe put in a file's place is read as empty.
    const int Fd = open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (Fd < 0)
        return Text;
    char Buf[4096];
    for (;;) {
        const ssize_t N = read(Fd, Buf, sizeof Buf);
        if (N < 0 && errno == EINTR)
            continue;
        if (N <= 0)
            break;
        Text.append(Buf, static_cast<std::size_t>(N));
    }
    close(Fd);
    return Text;
}

std::string ReadLinkTarget(const std::string& Path)
{
    char Buf[PATH_MAX];
    const ssize_t N = readlink(Path.c_str(), Buf, sizeof Buf - 1);
    return N > 0 ? std::string(Buf, static_cast<std::size_t>(N)) : std::string();
}

std::vector<std::string_view> ProcStatFields(std::string_view Stat)
{
    // The name may hold blanks and parentheses: it ends at the last ")".
    const auto Open = Stat.find(" (");
    const auto Close = Stat.rfind(')');
    if (Open == std::string_view::npos || Close == std::string_view::npos || Close < Open)
        return {};
    std::vector<std::string_view> Fields{
        {}, Stat.substr(0, Open), Stat.substr(Open + 2, Close - Open - 2)};
    std::size_t Pos = Close + 1;
    while (Pos < Stat.size()) {
        Pos = Stat.find_first_not_of(" \n", Pos);
        if (Pos == std::string_view::npos)
            break;
        const auto End = std::min(Stat.find_first_of(" \n", Pos), Stat.size());
        Fields.push_back(Stat.substr(Pos, End - Pos));
        Pos = End;
    }
    return Fields;
}

std::size_t TextWidth(std::string_view Text)
{
    return Utf8ToWide(Text).size();
}

std::string FillText(std::string_view Text, int MinLen)
{
    return WideToUtf8(FillStrW(Utf8ToWide(Text), MinLen, u' '));
}

// --- Sections ---------------------------------------------------------------------

TCpuRegisters RegistersFromUcontext(const ucontext_t& Uc)
{
    const greg_t* G = Uc.uc_mcontext.gregs;
    auto R = [&](int I) { return static_cast<std::uint64_t>(G[I]); };
    TCpuRegisters Regs;
    Regs.Rax = R(REG_RAX);
    Regs.Rbx = R(REG_RBX);
    Regs.Rcx = R(REG_RCX);
    Regs.Rdx = R(REG_RDX);
    Regs.Rsi = R(REG_RSI);
    Regs.Rdi = R(REG_RDI);
    Regs.Rbp = R(REG_RBP);
    Regs.Rsp = R(REG_RSP);
    Regs.R8 = R(REG_R8);
    Regs.R9 = R(REG_R9);
    Regs.R10 = R(REG_R10);
    Regs.R11 = R(REG_R11);
    Regs.R12 = R(REG_R12);
    Regs.R13 = R(REG_R13);
    Regs.R14 = R(REG_R14);
    Regs.R15 = R(REG_R15);
    Regs.Rip = R(REG_RIP);
    Regs.Eflags = R(REG_EFL);
    return Regs;
}

TCpuRegisters RegistersFromContext(const TThreadContext& C)
{
    // DWARF's numbering: rax, rdx, rcx, rbx, rsi, rdi, rbp, rsp, r8-r15, rip.
    TCpuRegisters Regs;
    Regs.Rax = C.Regs[0];
    Regs.Rdx = C.Regs[1];
    Regs.Rcx = C.Regs[2];
    Regs.Rbx = C.Regs[3];
    Regs.Rsi = C.Regs[4];
    Regs.Rdi = C.Regs[5];
    Regs.Rbp = C.Regs[6];
    Regs.Rsp = C.Regs[7];
    std::uint64_t* High[] = {&Regs.R8,  &Regs.R9,  &Regs.R10, &Regs.R11,
                             &Regs.R12, &Regs.R13, &Regs.R14, &Regs.R15};
    for (int I = 0; I < 8; ++I)
        *High[I] = C.Regs[8 + I];
    Regs.Rip = C.Regs[16];
    return Regs;
}

std::string CpuRegistersText(const TCpuRegisters& R)
{
    const std::pair<const char*, std::uint64_t> Lines[] = {
        {"rax", R.Rax}, {"rbx", R.Rbx}, {"rcx", R.Rcx}, {"rdx", R.Rdx}, {"rsi", R.Rsi},
        {"rdi", R.Rdi}, {"rbp", R.Rbp}, {"rsp", R.Rsp}, {"r8", R.R8},   {"r9", R.R9},
        {"r10", R.R10}, {"r11", R.R11}, {"r12", R.R12}, {"r13", R.R13}, {"r14", R.R14},
        {"r15", R.R15}, {"rip", R.Rip}};
    std::string Text;
    // The names are padded to one width, so that the values form a column.
    for (const auto& [Name, Value] : Lines)
        Text += FillStrA(Name, -6, ' ') + " = " + Hex16(Value) + "\r\n";
    if (R.Eflags)
        Text += "eflags = " + Hex16(*R.Eflags) + "\r\n";
    Text.resize(Text.size() - 2);
    return Text;
}

std::string StackDumpText(std::uintptr_t Sp, std::uintptr_t Low, std::uintptr_t High,
                          const TDATryRead* Ranges)
{
    std::uintptr_t Start = (Sp & ~std::uintptr_t{15});
    Start = Start >= 32 ? Start - 32 : 0;
    if (Low != 0 && Start < (Low & ~std::uintptr_t{15}))
        Start = Low & ~std::uintptr_t{15};
    std::uintptr_t End = Start + StackDumpBytes;
    if (End < Start)
        End = UINTPTR_MAX & ~std::uintptr_t{15};
    if (High != 0 && End > High)
        End = High;
    std::string Text;
    for (std::uintptr_t Line = Start; Line < End; Line += 16) {
        unsigned char Bytes[16];
        if (!TryRead(Line, Bytes, sizeof Bytes, Ranges))
            break;
        std::string Hex, Chars;
        for (unsigned char B : Bytes) {
            char Two[4];
            std::snprintf(Two, sizeof Two, "%02x ", B);
            Hex += Two;
            Chars += B >= 32 && B < 127 ? static_cast<char>(B) : '.';
        }
        Hex.pop_back();
        if (!Text.empty())
            Text += "\r\n";
        Text += Hex16(Line) + " " + Hex + "    " + Chars;
    }
    return Text;
}

bool DisassemblerLinked()
{
    return DisAsmListingHook.load() != nullptr;
}

std::string DisassemblyText(std::uintptr_t Address, std::uintptr_t RoutineStart, bool Format,
                            int LineLimit)
{
    const TDisAsmListingHook Hook = DisAsmListingHook.load();
    if (Hook == nullptr || Address == 0)
        return {};
    if (RoutineStart == 0) {
        TUnwindEntry Entry;
        if (FindUnwindEntry(Address, Entry, TProcessCodeReader(nullptr)))
            RoutineStart = static_cast<std::uintptr_t>(Entry.Begin);
    }
    if (RoutineStart == 0)
        return {};
    std::string Text;
    TFunctionInfo Info;
    try {
        Hook(RoutineStart, Text, Address, Info, Format, LineLimit);
    } catch (...) {
        return {};
    }
    return Text;
}

// --- The finished text ---------------------------------------------------------------

std::string ComposeBugReport(const TReportItems& Header, const TReportItems& Sections)
{
    std::size_t Longest = 0;
    for (const auto& [Name, Value] : Header)
        Longest = std::max(Longest, TextWidth(Name));
    std::string Text;
    for (const auto& [Name, Value] : Header) {
        if (!Text.empty())
            Text += "\r\n";
        Text += FillText(Name, -static_cast<int>(Longest + 1)) + ": " + SingleLineValue(Value);
    }
    for (const auto& [Title, Body] : Sections) {
        Text += "\r\n\r\n" + Title;
        if (Title.find(':') == std::string::npos)
            Text += ':';
        std::size_t Pos = 0;
        for (;;) {
            const std::size_t End = Body.find_first_of("\r\n", Pos);
            std::string Line =
                Body.substr(Pos, End == std::string::npos ? std::string::npos : End - Pos);
            while (!Line.empty() && Line.back() == ' ')
                Line.pop_back();
            Text += "\r\n" + (Line.empty() ? std::string(".") : Line);
            if (End == std::string::npos)
                break;
            Pos = End + (Body.compare(End, 2, "\r\n") == 0 ? 2 : 1);
        }
    }
    return Text;
}

// --- Thread sections ---------------------------------------------------------------

namespace {

std::atomic<TThreadInfoQuery> ThreadInfoQuery{nullptr};

TReportThreadInfo ThreadInfo(pid_t Tid)
{
    TReportThreadInfo Info;
    if (const TThreadInfoQuery Query = ThreadInfoQuery.load(); Query != nullptr) {
        try {
            if (!Query(Tid, Info))
                Info = {};
        } catch (...) {
            Info = {};
        }
    }
    return Info;
}

// The display name of a thread.
std::string ThreadDisplayName(pid_t Tid, const TReportThreadInfo& Info)
{
    if (!Info.DisplayName.empty())
        return Info.DisplayName;
    const std::string Hex = "$" + CardToHexA(static_cast<std::uint32_t>(Tid));
    return Tid == getpid() ? "main thread (" + Hex + ")" : "thread " + Hex;
}

std::string ThreadDisplayName(pid_t Tid)
{
    return ThreadDisplayName(Tid, ThreadInfo(Tid));
}

// " <suspended>" and " <priority:n>" as the thread's stat file tells them.
std::string ThreadStateText(pid_t Tid)
{
    const auto Stat = ReadSmallFile("/proc/self/task/" + std::to_string(Tid) + "/stat");
    const auto F = ProcStatFields(Stat);
    std::string Text;
    if (F.size() > 3 && (F[3] == "T" || F[3] == "t"))
        Text += " <suspended>";
    if (F.size() > 19 && F[19] != "0")
        Text += " <priority:" + std::string(F[19]) + ">";
    return Text;
}

std::vector<pid_t> TaskIds()
{
    std::vector<pid_t> Ids;
    if (DIR* D = opendir("/proc/self/task")) {
        while (const dirent* E = readdir(D))
            if (const long Id = std::strtol(E->d_name, nullptr, 10); Id > 0)
                Ids.push_back(static_cast<pid_t>(Id));
        closedir(D);
    }
    std::sort(Ids.begin(), Ids.end());
    return Ids;
}

// Leaves out the frames that name no routine.
void DropUnnamedItems(TStackTrace& Trace)
{
    Trace.erase(std::remove_if(Trace.begin(), Trace.end(),
                               [](const TStackItem& I) { return !I.HasDebugInfo; }),
                Trace.end());
}

pid_t CurrentThreadId()
{
    return static_cast<pid_t>(gettid());
}

} // namespace

void SetThreadInfoQuery(TThreadInfoQuery Query)
{
    ThreadInfoQuery.store(Query);
}

TThreadContext ContextFromRegisters(const TCpuRegisters& R, pid_t ThreadId, std::uintptr_t StackLow,
                                    std::uintptr_t StackHigh)
{
    TThreadContext C;
    const std::uint64_t Regs[17] = {R.Rax, R.Rdx, R.Rcx, R.Rbx, R.Rsi, R.Rdi, R.Rbp, R.Rsp, R.R8,
                                    R.R9,  R.R10, R.R11, R.R12, R.R13, R.R14, R.R15, R.Rip};
    for (unsigned I = 0; I < TThreadContext::RegisterCount; ++I)
        C.Regs[I] = static_cast<std::uintptr_t>(Regs[I]);
    C.ThreadId = ThreadId;
    C.StackLow = StackLow;
    C.StackHigh = StackHigh;
    return C;
}

std::vector<TReportThread> CollectReportThreads(const TExceptionFacts& Facts, bool ListThreads,
                                                bool RelAddresses, bool RelLines, pid_t Excluded)
{
    std::vector<TReportThread> Threads;
    const pid_t EventThread = Facts.ThreadId != 0 ? Facts.ThreadId : CurrentThreadId();
    const pid_t Main = getpid();
    // A thread and where it came from; false for one of the crash reporter's
    // own threads outside a trace.
    auto Describe = [&](pid_t Tid, TReportThread& T) {
        const TReportThreadInfo Info = ThreadInfo(Tid);
        T.ThreadId = Tid;
        T.Title = ThreadDisplayName(Tid, Info) + ThreadStateText(Tid);
        if (Info.CreatingThreadId != 0 && !Info.CreationStack.empty()) {
            T.CreatorName = ThreadDisplayName(Info.CreatingThreadId);
            T.CreationStack = Info.CreationStack;
        }
        return !Info.Library || Facts.Trace;
    };
    auto Add = [&](pid_t Tid) {
        TReportThread T;
        if (!Describe(Tid, T))
            return;
        T.Title += ":";
        Threads.push_back(std::move(T));
    };
    if (!Facts.NoExceptionThread) {
        TReportThread T;
        Describe(EventThread, T); // the event's thread is listed whoever it is
        T.ExceptionThread = true;
        if (Facts.Address != 0) {
            std::string Location;
            TStackTrace Site;
            // A throw site is recorded as the return address of its call:
            // the location is the call, as the section's first line names it.
            if (!Facts.ThrowChain.empty() && Facts.ThrowChain.front() == Facts.Address)
                NameReturnAddresses({Facts.Address}, Site);
            if (!Site.empty())
                Location = StackItemToStr(Site.front(), RelAddresses, RelLines);
            else
                StackAddrToStr(Facts.Address, RelAddresses, RelLines, Location);
            T.Title += ", exception location: " + Location;
        } else {
            T.Title += ":";
        }
        Threads.push_back(std::move(T));
        int Level = 0;
        for (const auto& Inner : Facts.InnerExceptions) {
            TReportThread I;
            I.ThreadId = EventThread;
            I.InnerLevel = ++Level;
            I.Title = ThreadDisplayName(EventThread) + ", inner exception level " +
                      std::to_string(Level) + ":";
            I.InnerText = ">> " + Inner.ClassName + ", " + Inner.Message;
            Threads.push_back(std::move(I));
        }
    }
    if (Facts.NoExceptionThread || EventThread != Main)
        Add(Main);
    if (!ListThreads)
        return Threads;
    for (pid_t Tid : TaskIds())
        if (Tid != Main && Tid != Excluded && (Facts.NoExceptionThread || Tid != EventThread))
            Add(Tid);
    return Threads;
}

std::string ThreadSectionText(const TReportThread& Thread, const TExceptionFacts& Facts,
                              bool RelAddresses, bool RelLines, bool HideUglyItems,
                              TStackTrace& Trace)
{
    Trace.clear();
    if (Thread.InnerLevel > 0)
        return Thread.InnerText;
    bool Walked = false;
    if (Thread.ExceptionThread && !Facts.ThrowChain.empty()) {
        // The stack of a C++ exception is unwound by the time it is reported:
        // its section is the chain recorded where it was thrown.
        NameReturnAddresses(Facts.ThrowChain, Trace);
        Walked = true;
    } else if (Thread.ExceptionThread && Facts.Registers) {
        const TThreadContext Ctx = ContextFromRegisters(*Facts.Registers, Thread.ThreadId,
                                                        Facts.StackLow, Facts.StackHigh);
        Walked = CalcStackTrace(&Ctx, 0, nullptr, nullptr, Trace);
    } else if (Thread.ThreadId == CurrentThreadId()) {
        Walked = CalcStackTrace(nullptr, 0, nullptr, nullptr, Trace);
    } else {
        TPausedThread Paused;
        if (Paused.Pause(Thread.ThreadId, 1000)) {
            const TThreadContext Ctx = Paused.Context();
            Walked = CalcStackTrace(&Ctx, 0, nullptr, nullptr, Trace);
            Paused.Resume();
        }
    }
    if (HideUglyItems)
        DropUnnamedItems(Trace);
    if (!Walked || Trace.empty())
        return ">> stack not accessible";
    std::string Text = StackTraceToStr(Trace, RelAddresses, RelLines);
    if (!Thread.CreationStack.empty()) {
        TStackTrace Creation;
        NameReturnAddresses(Thread.CreationStack, Creation);
        if (HideUglyItems)
            DropUnnamedItems(Creation);
        Text += "\r\n>> created by " + Thread.CreatorName + " at:";
        if (!Creation.empty())
            Text += "\r\n" + StackTraceToStr(Creation, RelAddresses, RelLines);
    }
    return Text;
}

std::array<std::uint32_t, 3> CallstackCrcs(const TStackTrace* EventThread,
                                           const std::vector<TStackTrace>& Listed)
{
    std::array<std::uint32_t, 3> Crcs{};
    if (EventThread != nullptr && !EventThread->empty()) {
        const std::string Program = ReadLinkTarget("/proc/self/exe");
        for (const TStackItem& Item : *EventThread) {
            std::uintptr_t Module = 0;
            std::string File;
            if (FindModuleOfAddr(Item.Address, Module, File) && File == Program) {
                Crcs[0] = Item.Checksum;
                break;
            }
        }
        Crcs[1] = StackTraceChecksum(*EventThread);
    }
    for (const TStackTrace& Trace : Listed) {
        const std::uint32_t Sum = StackTraceChecksum(Trace);
        Crcs[2] = UpdateCrc32(Crcs[2], &Sum, sizeof Sum);
    }
    return Crcs;
}

std::string CallstackCrcText(const std::array<std::uint32_t, 3>& Crcs)
{
    std::string Text;
    for (const std::uint32_t Crc : Crcs)
        Text += (Text.empty() ? "$" : ", $") + FillStrA(CardToHexA(Crc), 8, '0');
    return Text;
}
