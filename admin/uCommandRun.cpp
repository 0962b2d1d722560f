#include "admin/uCommandRun.h"

#include "admin/uCommandList.h"
#include "engine/uFormat.h"
#include "forms/Dialogs.h"
#include "forms/QtStrings.h"
#include "platform/Utf8.h"
#include "settings/Language.h"

#include <QCoreApplication>
#include <QTimer>
#include <QUrl>

#include <mutex>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool IsAlnumAscii(char C)
{
    return (C >= '0' && C <= '9') || (C >= 'a' && C <= 'z') || (C >= 'A' && C <= 'Z');
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

std::string Message(const char* Key, std::string_view BuiltIn,
                    std::initializer_list<TFormatArg> Args)
{
    return TranslateFormat(Key, BuiltIn, Args);
}

// The desktop's opener on Url for the command Name: false when it cannot
// start; a failing end is reported when it comes.
bool OpenUrl(const std::string& Url, const std::string& Name)
{
    TOpenUrlFn Fn;
    {
        std::lock_guard Lock(SeamLock);
        Fn = OpenUrlSeam();
    }
    if (Fn)
        return Fn(Url);
    platform::TSpawnRequest Request;
    Request.Program = DesktopOpener;
    Request.Arguments = {Url};
    const platform::TSpawnResult Started = Spawn(Request);
    if (!Started.Started)
        return false;
    WatchOpener(Started, [Url, Name](const std::string& Reason) {
        ShowCommandError(Message("sCommandOpenerFailed",
                                 "The desktop cannot open \"%s\" for the command \"%s\": %s",
                                 {ShownText(Url), Name, Reason}));
    });
    return true;
}

std::string BaseName(const std::string& Path)
{
    const size_t Slash = Path.rfind('/');
    return Slash == std::string::npos ? Path : Path.substr(Slash + 1);
}

} // namespace

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
    const std::string Verb = platform::LowerAscii(Item.Operation);
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
        if (OpenUrl(Plan.Url, Name))
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
    if (Result.Started) {
        // A command that is the opener itself ("Shared folders") fails as
        // the opener does, once it has started.
        if (BaseName(Request.Program) == DesktopOpener) {
            std::string Target;
            for (const std::string& A : Request.Arguments)
                Target += (Target.empty() ? "" : " ") + A;
            WatchOpener(Result, [Target, Name](const std::string& Reason) {
                ShowCommandError(
                    Message("sCommandOpenerFailed",
                            "The desktop cannot open \"%s\" for the command \"%s\": %s",
                            {ShownText(Target), Name, Reason}));
            });
        }
        return true;
    }
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

std::string OpenerFailure(const platform::TChildExit& Exit)
{
    if (Exit.Signal != 0)
        return Message("sOpenerKilled", "%s was ended by signal %d.",
                       {std::string(DesktopOpener), Exit.Signal});
    if (Exit.ExitCode == 0)
        return std::string();
    // xdg-open's own exit codes.
    static const std::pair<const char*, const char*> Meanings[] = {
        {"sOpenerSyntax", "it did not understand what it was given"},
        {"sOpenerNoFile", "the file does not exist"},
        {"sOpenerNoTool", "the desktop has no program for it"},
        {"sOpenerActionFailed", "the program for it failed"},
    };
    if (Exit.ExitCode >= 1 && Exit.ExitCode <= 4) {
        const auto& [Key, BuiltIn] = Meanings[Exit.ExitCode - 1];
        return Message("sOpenerFailed", "%s ended with exit code %d: %s.",
                       {std::string(DesktopOpener), Exit.ExitCode, Message(Key, BuiltIn, {})});
    }
    return Message("sOpenerExitCode", "%s ended with exit code %d.",
                   {std::string(DesktopOpener), Exit.ExitCode});
}

void WatchOpener(const platform::TSpawnResult& Started,
                 std::function<void(const std::string& Reason)> OnFailed)
{
    if (!Started.Started || !Started.Exit || !QCoreApplication::instance())
        return;
    // The timer belongs to the application: a window closed meanwhile takes
    // nothing with it that the report needs, and the watch ends with the
    // program, whose exit never waits for an opener.
    auto* Poll = new QTimer(QCoreApplication::instance());
    Poll->setInterval(100);
    QObject::connect(Poll, &QTimer::timeout, Poll,
                     [Poll, Exit = Started.Exit, OnFailed = std::move(OnFailed)] {
                         if (!Exit->Ended.load(std::memory_order_acquire))
                             return;
                         Poll->stop();
                         Poll->deleteLater();
                         const std::string Reason = OpenerFailure(*Exit);
                         if (!Reason.empty() && OnFailed)
                             OnFailed(Reason);
                     });
    Poll->start();
}

bool OpenWithDesktop(const std::string& Target, const char* What, std::string_view WhatBuiltIn)
{
    platform::TSpawnRequest Request;
    Request.Program = DesktopOpener;
    Request.Arguments = {Target};
    const platform::TSpawnResult Started = Spawn(Request);
    const std::string Key = What;
    const std::string BuiltIn(WhatBuiltIn);
    const auto Report = [Target, Key, BuiltIn](const std::string& Reason) {
        ShowCommandError(Message(Key.c_str(), BuiltIn, {ShownText(Target), Reason}));
    };
    if (!Started.Started) {
        Report(FormatChecked("%s: %s", "%s: %s", {std::string(DesktopOpener), Started.Error}));
        return false;
    }
    WatchOpener(Started, Report);
    return true;
}

void ReportComputerWithoutAddress(const TCommandListItem& Item)
{
    ShowCommandError(Message("sCommandComputerNoAddress",
                             "The selected computer has no address; the command \"%s\" needs one.",
                             {ShownText(Item.Name)}));
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
