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
#include <string_view>
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

// --- The desktop's opener -----------------------------------------------------------
// xdg-open hands a document or an address to the program the desktop has for
// it. It starts at once even where no such program exists (no handler for
// "smb:", say): that it failed shows only in how it ends, often after it
// has started a program that runs on. So its end is watched, never waited for.

// The opener's name, looked up in PATH.
inline constexpr const char* DesktopOpener = "xdg-open";

// Why an opener that has ended failed, for the user; empty when it did not.
std::string OpenerFailure(const platform::TChildExit& Exit);

// Calls OnFailed with OpenerFailure in the main thread once the program that
// Started is has ended, when it failed; nothing when it has no Exit to watch.
// Needs the event loop; the watch ends with the application.
void WatchOpener(const platform::TSpawnResult& Started,
                 std::function<void(const std::string& Reason)> OnFailed);

// Starts the opener on Target (one argument, never read as an option) and
// watches it: a failure to start and a failing end are both shown in a
// message box, What (formatted with Target and the reason) saying what was
// being opened. False when it could not start.
bool OpenWithDesktop(const std::string& Target, const char* What, std::string_view WhatBuiltIn);

// Seams for tests. The desktop's opening of a URL (unset:
// QDesktopServices::openUrl), and the start of a program (unset:
// platform::SpawnDetached). Each returns the one it replaces.
using TOpenUrlFn = std::function<bool(const std::string& Url)>;
TOpenUrlFn SetCommandOpenUrl(TOpenUrlFn Fn);
using TCommandSpawnFn = std::function<platform::TSpawnResult(const platform::TSpawnRequest&)>;
TCommandSpawnFn SetCommandSpawn(TCommandSpawnFn Fn);
