#include "uCommandRun.h"

#include "Dialogs.h"
#include "Language.h"
#include "QtStrings.h"
#include "uCommandList.h"
#include "uFormat.h"

#include <QDesktopServices>
#include <QUrl>

#include <cstdio>
#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsBlank(char C)
{
    return C == ' ' || C == '\t';
}

char LowerAscii(char C)
{
    return C >= 'A' && C <= 'Z' ? static_cast<char>(C - 'A' + 'a') : C;
}

// Macro (lower case) at Pos of Text, in any case.
bool MacroAt(const std::string& Text, size_t Pos, const std::string_view Macro)
{
    if (Text.size() - Pos < Macro.size())
        return false;
    for (size_t J = 0; J < Macro.size(); ++J)
        if (LowerAscii(Text[Pos + J]) != Macro[J])
            return false;
    return true;
}

bool IsDigit(char C)
{
    return C >= '0' && C <= '9';
}

bool IsAlnumAscii(char C)
{
    return IsDigit(C) || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z');
}

bool IsCanonicalDottedIpv4(const std::string& Host)
{
    int Parts = 0;
    size_t I = 0;
    while (true) {
        const size_t Start = I;
        while (I < Host.size() && IsDigit(Host[I]) && I - Start < 4)
            ++I;
        const size_t Len = I - Start;
        if (Len == 0 || Len > 3 || (Len > 1 && Host[Start] == '0'))
            return false;
        if (std::stoi(Host.substr(Start, Len)) > 255)
            return false;
        ++Parts;
        if (I == Host.size())
            return Parts == 4;
        if (Host[I] != '.' || Parts == 4)
            return false;
        ++I;
    }
}

bool IsHostName(const std::string& Host)
{
    std::string Name = Host;
    if (!Name.empty() && Name.back() == '.')
        Name.pop_back();
    if (Name.empty() || Name.size() > 253)
        return false;
    size_t Start = 0;
    bool LastAllDigits = false;
    while (Start <= Name.size()) {
        size_t End = Name.find('.', Start);
        if (End == std::string::npos)
            End = Name.size();
        const size_t Len = End - Start;
        if (Len == 0 || Len > 63 || Name[Start] == '-' || Name[End - 1] == '-')
            return false;
        LastAllDigits = true;
        for (size_t J = Start; J < End; ++J) {
            if (!IsAlnumAscii(Name[J]) && Name[J] != '-')
                return false;
            LastAllDigits = LastAllDigits && IsDigit(Name[J]);
        }
        Start = End + 1;
    }
    // "10.1", "1.2.3.4.5", "0x0a.0.0.9": no odd spelling of an address
    // passes as a name.
    return !LastAllDigits;
}

bool IsUrl(const std::string& FileName)
{
    const size_t Colon = FileName.find(':');
    if (Colon == std::string::npos || Colon < 2)
        return false;
    if (!((FileName[0] >= 'a' && FileName[0] <= 'z') || (FileName[0] >= 'A' && FileName[0] <= 'Z')))
        return false;
    for (size_t I = 1; I < Colon; ++I) {
        const char C = FileName[I];
        if (!IsAlnumAscii(C) && C != '+' && C != '.' && C != '-')
            return false;
    }
    return true;
}

bool IsExecutableRegularFile(const std::string& Path)
{
    struct stat St {};
    return ::stat(Path.c_str(), &St) == 0 && S_ISREG(St.st_mode) &&
           ::access(Path.c_str(), X_OK) == 0;
}

// A file that is meant to run, executable or not: a script or an ELF image.
bool LooksLikeProgram(const std::string& Path)
{
    const int Fd = ::open(Path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (Fd < 0)
        return false;
    char Head[4] = {};
    const ssize_t N = ::read(Fd, Head, sizeof Head);
    ::close(Fd);
    return (N >= 2 && Head[0] == '#' && Head[1] == '!') ||
           (N == 4 && Head[0] == 0x7f && Head[1] == 'E' && Head[2] == 'L' && Head[3] == 'F');
}

std::string FindInPath(const std::string& Name)
{
    const char* Path = ::getenv("PATH");
    const std::string Dirs = Path ? Path : "/usr/local/bin:/usr/bin:/bin";
    size_t Start = 0;
    while (Start <= Dirs.size()) {
        size_t End = Dirs.find(':', Start);
        if (End == std::string::npos)
            End = Dirs.size();
        std::string Candidate = End > Start ? Dirs.substr(Start, End - Start) : std::string(".");
        Candidate.append(1, '/').append(Name);
        if (IsExecutableRegularFile(Candidate))
            return Candidate;
        Start = End + 1;
    }
    return std::string();
}

std::string AbsolutePath(const std::string& Path)
{
    if (!Path.empty() && Path.front() == '/')
        return Path;
    char Buffer[4096];
    if (!::getcwd(Buffer, sizeof Buffer))
        return Path;
    return std::string(Buffer) + "/" + Path;
}

std::mutex SeamLock;

TOpenUrlFn& OpenUrlSeam()
{
    static TOpenUrlFn Fn;
    return Fn;
}

TCommandSpawnFn& SpawnSeam()
{
    static TCommandSpawnFn Fn;
    return Fn;
}

bool OpenUrl(const std::string& Url)
{
    TOpenUrlFn Fn;
    {
        std::lock_guard Lock(SeamLock);
        Fn = OpenUrlSeam();
    }
    if (Fn)
        return Fn(Url);
    return QDesktopServices::openUrl(QUrl(ToQ(Url), QUrl::TolerantMode));
}

platform::TSpawnResult Spawn(const platform::TSpawnRequest& Request)
{
    TCommandSpawnFn Fn;
    {
        std::lock_guard Lock(SeamLock);
        Fn = SpawnSeam();
    }
    if (Fn)
        return Fn(Request);
    return platform::SpawnDetached(Request);
}

void ShowCommandError(const std::string& Text)
{
    ShowMessageBox(Text, Translate("sError"), TMsgIcon::Error);
}

// The message Key formatted with Args: its translation, or BuiltIn where no
// language has it (the bare key would fit any arguments and be shown as it
// stands) or the translation does not fit.
std::string Message(const char* Key, std::string_view BuiltIn,
                    std::initializer_list<TFormatArg> Args)
{
    std::string T = Translate(Key);
    if (T == Key)
        T = BuiltIn;
    return FormatChecked(T, BuiltIn, Args);
}

} // namespace

std::vector<std::string> SplitCommandParameters(const std::string& Parameters)
{
    std::vector<std::string> Words;
    std::string Word;
    bool InWord = false;
    bool Quoted = false;
    for (const char C : Parameters) {
        if (C == '"') {
            Quoted = !Quoted;
            InWord = true; // "" alone is an empty word
        } else if (!Quoted && IsBlank(C)) {
            if (InWord)
                Words.push_back(std::move(Word));
            Word.clear();
            InWord = false;
        } else {
            Word += C;
            InWord = true;
        }
    }
    if (InWord)
        Words.push_back(std::move(Word));
    return Words;
}

std::string ExpandCommandMacros(const std::string& Word, const std::string& Host)
{
    static constexpr std::string_view ComputerName = "%computer_name%";
    static constexpr std::string_view ComputerIp = "%computer_ip%";
    static constexpr std::string_view Path = "%path%";
    std::string Result;
    Result.reserve(Word.size() + Host.size());
    size_t I = 0;
    while (I < Word.size()) {
        if (Word[I] == '%') {
            if (MacroAt(Word, I, ComputerName)) {
                Result += Host;
                I += ComputerName.size();
                continue;
            }
            if (MacroAt(Word, I, ComputerIp)) {
                Result += Host;
                I += ComputerIp.size();
                continue;
            }
            if (MacroAt(Word, I, Path)) {
                Result += "\\\\";
                Result += Host;
                I += Path.size();
                continue;
            }
        }
        Result += Word[I++];
    }
    return Result;
}

std::vector<std::string> CommandArguments(const std::string& Parameters, const std::string& Host)
{
    std::vector<std::string> Words = SplitCommandParameters(Parameters);
    for (std::string& W : Words)
        W = ExpandCommandMacros(W, Host);
    return Words;
}

bool IsValidCommandHost(const std::string& Host)
{
    if (Host.empty() || Host.size() > 254 || Host.front() == '-')
        return false;
    return IsCanonicalDottedIpv4(Host) || IsHostName(Host);
}

std::string ShownText(const std::string& Text)
{
    static constexpr size_t Most = 80;
    std::string Shown;
    for (size_t I = 0; I < Text.size() && I < Most; ++I) {
        const unsigned char C = static_cast<unsigned char>(Text[I]);
        if (C < 0x20 || C == 0x7f) {
            char Buf[8];
            std::snprintf(Buf, sizeof Buf, "\\x%02X", C);
            Shown += Buf;
        } else {
            Shown += static_cast<char>(C);
        }
    }
    if (Text.size() > Most)
        Shown += "...";
    return Shown;
}

TCommandPlan PlanCommand(const TCommandListItem& Item, const std::string& Host)
{
    TCommandPlan Plan;
    const std::string Name = ShownText(Item.Name);
    if (Host.empty()) {
        Plan.Message = Message("sCommandNoComputer",
                               "No computer is selected; the command \"%s\" needs one.", {Name});
        return Plan;
    }
    if (!IsValidCommandHost(Host)) {
        Plan.Message =
            Message("sCommandInvalidHost",
                    "\"%s\" is not a valid computer address; the command \"%s\" is not run.",
                    {ShownText(Host), Name});
        return Plan;
    }
    std::string Verb;
    for (const char C : Item.Operation)
        Verb += LowerAscii(C);
    if (!Verb.empty() && Verb != "open") {
        Plan.Message = Message("sCommandOperationNotAvailable",
                               "The command \"%s\" asks for the operation \"%s\", which is "
                               "not available on this system. Only \"open\" is.",
                               {Name, ShownText(Item.Operation)});
        return Plan;
    }
    Plan.Directory = Item.Directory;
    if (IsUrl(Item.FileName)) {
        Plan.Kind = TCommandPlan::OpenDocument;
        Plan.Url = Item.FileName;
        return Plan;
    }
    // Program is argv[0] as the command names it; the start settles the
    // path the same way (a relative one from the working folder).
    Plan.Kind = TCommandPlan::RunProgram;
    Plan.Program = Item.FileName;
    Plan.Arguments = CommandArguments(Item.Parameters, Host);
    std::string Path; // the file, when there is one to look at
    if (Item.FileName.find('/') != std::string::npos) {
        Path = Item.FileName;
        if (Path.front() != '/' && !Item.Directory.empty())
            Path = Item.Directory + "/" + Path;
    } else if (!Item.FileName.empty() && FindInPath(Item.FileName).empty() &&
               !Item.Directory.empty()) {
        const std::string InFolder = Item.Directory + "/" + Item.FileName;
        struct stat St {};
        if (::stat(InFolder.c_str(), &St) == 0) {
            Path = InFolder;
            Plan.Program = "./" + Item.FileName;
        }
    }
    struct stat St {};
    if (!Path.empty() && ::stat(Path.c_str(), &St) == 0 && !IsExecutableRegularFile(Path) &&
        !(S_ISREG(St.st_mode) && LooksLikeProgram(Path))) {
        // An existing file that is no program, or a folder: a document.
        Plan.Kind = TCommandPlan::OpenDocument;
        Plan.Program.clear();
        Plan.Arguments.clear();
        Plan.Url = FromQ(QUrl::fromLocalFile(ToQ(AbsolutePath(Path))).toString(QUrl::FullyEncoded));
    }
    return Plan;
}

bool RunCommand(const TCommandListItem& Item, const std::string& Host)
{
    const TCommandPlan Plan = PlanCommand(Item, Host);
    const std::string Name = ShownText(Item.Name);
    switch (Plan.Kind) {
    case TCommandPlan::Refused:
        ShowCommandError(Plan.Message);
        return false;
    case TCommandPlan::OpenDocument:
        if (OpenUrl(Plan.Url))
            return true;
        ShowCommandError(Message("sCommandNotOpened",
                                 "The desktop cannot open \"%s\" for the command \"%s\".",
                                 {ShownText(Plan.Url), Name}));
        return false;
    case TCommandPlan::RunProgram:
        break;
    }
    platform::TSpawnRequest Request;
    Request.Program = Plan.Program;
    Request.Arguments = Plan.Arguments;
    Request.Directory = Plan.Directory;
    const platform::TSpawnResult Result = Spawn(Request);
    if (Result.Started)
        return true;
    if (Result.Failure == platform::TSpawnFailure::Directory)
        ShowCommandError(
            Message("sCommandNoWorkingFolder",
                    "The working folder \"%s\" of the command \"%s\" cannot be used: %s",
                    {ShownText(Plan.Directory), Name, Result.Error}));
    else
        ShowCommandError(Message("sCommandProgramNotStarted",
                                 "The program \"%s\" of the command \"%s\" cannot be started: %s",
                                 {ShownText(Item.FileName), Name, Result.Error}));
    return false;
}

TOpenUrlFn SetCommandOpenUrl(TOpenUrlFn Fn)
{
    std::lock_guard Lock(SeamLock);
    TOpenUrlFn Old = std::move(OpenUrlSeam());
    OpenUrlSeam() = std::move(Fn);
    return Old;
}

TCommandSpawnFn SetCommandSpawn(TCommandSpawnFn Fn)
{
    std::lock_guard Lock(SeamLock);
    TCommandSpawnFn Old = std::move(SpawnSeam());
    SpawnSeam() = std::move(Fn);
    return Old;
}
