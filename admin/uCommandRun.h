// How a user command runs on a computer: its parameter text becomes an argv,
// the computer's address goes into it, and the program starts (or the desktop
// opens a document or URL). No shell ever sees any of it.
//
// The rules of the parameters and the host are in uCommandArgs.h.
#pragma once

#include "admin/uCommandArgs.h"
#include "platform/Process.h"

#include <functional>
#include <string>
#include <vector>

class TCommandListItem;

// What a command comes to, decided without starting anything.
struct TCommandPlan {
    enum TKind {
        Refused,      // Message says why; nothing starts
        RunProgram,   // argv: Program, Arguments; working folder Directory
        OpenDocument, // the desktop opens Url (the parameters are not used)
    };
    TKind Kind = Refused;
    std::string Message;
    std::string Program;
    std::vector<std::string> Arguments;
    std::string Directory;
    std::string Url;
};

// Operation "open" (any case) or empty runs or opens; any other verb is
// refused. FileName: a URL ("scheme:...", the scheme two characters or
// more) is opened by the desktop; a name without "/" is looked up in PATH,
// then in the working folder; a path (relative: to the working folder when
// one is given) that is an executable file, or a script ("#!") or ELF
// program whatever its permissions, is run; any other existing file or
// folder is a document opened by the desktop. A missing file is left to
// the start, which reports it. The reserved names ("%shutdown%",
// "%send_message%") are not handled here.
TCommandPlan PlanCommand(const TCommandListItem& Item, const std::string& Host);

// Plans and runs the command: a refusal or a failure to start or open is
// shown in a message box (ShowMessageBox) with the reason; true when the
// program started or the desktop took the document.
bool RunCommand(const TCommandListItem& Item, const std::string& Host);

// Shows that Item needs an address the chosen computer does not have.
void ReportComputerWithoutAddress(const TCommandListItem& Item);

// Seams for tests. The desktop's opening of a URL (unset:
// QDesktopServices::openUrl), and the start of a program (unset:
// platform::SpawnDetached). Each returns the one it replaces.
using TOpenUrlFn = std::function<bool(const std::string& Url)>;
TOpenUrlFn SetCommandOpenUrl(TOpenUrlFn Fn);
using TCommandSpawnFn = std::function<platform::TSpawnResult(const platform::TSpawnRequest&)>;
TCommandSpawnFn SetCommandSpawn(TCommandSpawnFn Fn);
