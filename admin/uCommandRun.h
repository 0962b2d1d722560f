// How a user command runs on a computer: its parameter text becomes an argv,
// the computer's address goes into it, and the program starts (or the desktop
// opens a document or URL). No shell ever sees any of it.
//
// The parameter text is split into words FIRST, and the macros are replaced
// in each word AFTERWARDS, so whatever a macro inserts stays inside the word
// it stood in. The rules of the split (the editor's note says the same):
//   - Blanks and tabs separate words; runs of them count as one separator,
//     and those at the start or the end give no word.
//   - A double quote starts a quoted part that ends at the next double quote
//     (or at the end of the text); blanks and tabs inside it belong to the
//     word. The quotes themselves are removed and never part of a word, so
//     a"b c"d is the one word  ab cd , and "" alone is an empty word.
//   - Every other character, the backslash too, stands for itself (so
//     %path%\share stays one word).
// Then, in each word, in ONE pass from left to right: "%computer_name%" and
// "%computer_ip%" become the host, "%path%" becomes two backslashes and the
// host; the names match in any case. What was inserted is never scanned
// again.
//
// The host is checked before anything else: it must be an IPv4 address in
// canonical dotted form (four decimal numbers 0-255 without leading zeros:
// not "10.1", "010.0.0.9" or "0x0a.0.0.9") or an RFC 1123 host name (labels
// of ASCII letters, digits and "-", not starting or ending with "-", 1-63
// characters each, at most 253 in all, an optional final "."; the last label
// not all digits). So a host is never empty, never starts with "-", and holds
// no blank, quote, "%", "$", ";" or control character: it can never make a
// second word or an option of its own.
#pragma once

#include "Process.h"

#include <functional>
#include <string>
#include <vector>

class TCommandListItem;

// The split described above.
std::vector<std::string> SplitCommandParameters(const std::string& Parameters);

// The one-pass replacement described above, on one word.
std::string ExpandCommandMacros(const std::string& Word, const std::string& Host);

// Split, then expand every word. Host must have passed IsValidCommandHost.
std::vector<std::string> CommandArguments(const std::string& Parameters, const std::string& Host);

// The host rule described above.
bool IsValidCommandHost(const std::string& Host);

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

// Seams for tests. The desktop's opening of a URL (unset:
// QDesktopServices::openUrl), and the start of a program (unset:
// platform::SpawnDetached). Each returns the one it replaces.
using TOpenUrlFn = std::function<bool(const std::string& Url)>;
TOpenUrlFn SetCommandOpenUrl(TOpenUrlFn Fn);
using TCommandSpawnFn = std::function<platform::TSpawnResult(const platform::TSpawnRequest&)>;
TCommandSpawnFn SetCommandSpawn(TCommandSpawnFn Fn);

// A text the user may not have typed (a host from an opened file) as a
// message can show it: control characters as \xNN, at most 80 bytes, then
// "...".
std::string ShownText(const std::string& Text);
