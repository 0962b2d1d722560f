// The whole handling of a report, from the record to the verdict.
//
// Once the capture is enabled, HandleExceptionRecord runs this sequence on the
// handler thread for every record (InstallExceptionHandling):
//   1. the private temporary folder is emptied; an address that lies 4 bytes
//      before an instruction boundary of its routine (and is none itself)
//      is moved onto it;
//   2. the exception object is made from the record and the program's
//      settings, with the inner exceptions;
//   3. a notification only tells its handlers (and ends there when the
//      program may go on); an exception or a freeze is remembered among the
//      last ten exception times and goes through the exception handlers of
//      phases 0, 2 and 3;
//   4. unless a handler took it: the program's other threads are paused
//      (not for a freeze, and only with "PauseThreads"), the screenshot is
//      taken and the report's calculation started as the object's switches
//      ask, and the box is shown in the helper program;
//   5. the outcome: the box's verdict, or else the rule of "AutoClose" and
//      "AutoRestart" (0 never, 1 always, n >= 2 when the last ten exception
//      times all lie within the last n seconds), with the action handlers of
//      continue (11), restart (12) or close (13);
//   6. the automatic actions once the report text is complete: "AutoSend"
//      (handlers 0 before, 6 after) and "AutoClip" through the helper, then
//      "AutoSave" (handlers 1 before, 7 after; with "AutoSaveIfNotSent" only
//      when nothing was sent) in the program;
//   7. the paused threads are resumed.
// An ESilentAbort is never reported. Without a helper (none started, its file
// missing, dead, or the report came before the event loop ran) the report is
// saved, one line on stderr names the file, and the verdict is the default
// one: continue for a C++ exception that allows it, else close.
//
// Everything the sequence asks of the world (the clock, the helper, saving,
// pausing) goes through THandlingServices, so that tests replace it.
#pragma once

#include "crashlib/kelDisAsm.h"
#include "crashlib/kelFuncParser.h"
#include "crashreport/kelExceptBoxLink.h"
#include "crashreport/kelExceptHandler.h"
#include "crashreport/kelExceptLink.h"
#include "crashreport/kelExceptReport.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <sys/types.h>
#include <vector>

class TIKESettings;
class TModuleSettings;

// --- Pieces of the sequence ---------------------------------------------------------

// Whether Address starts an instruction of a parsed routine: the address
// after one of its calls or open branches, or where decoding from the start
// of the code area holding it (start <= Address <= end + 1) lands exactly.
bool IsInstructionBoundary(const TFunctionInfo& Routine, std::uint64_t Address,
                           const TCodeReader& Memory);
// Moves Address 4 bytes on when it is no instruction boundary of the routine
// around it (found through the module's map data) but the address 4 bytes on
// is. Nothing happens for address 0 or a silent abort; a failure anywhere
// leaves the address as it was.
void AdjustExceptAddress(const std::exception_ptr* Object, std::uintptr_t& Address);

// The rule of "AutoClose" and "AutoRestart": 0 is never met, 1 always, n >= 2
// when ten exception times are remembered and all lie within the last n
// seconds before NowMs (times in milliseconds since 1970, 0 for none).
bool RepeatRuleMet(std::int32_t Value, const std::array<std::int64_t, 10>& Times,
                   std::int64_t NowMs);

// The facts of a record, for the exception object: class chain and message
// of a signal, registers of a signal or a freeze, the throw's return
// addresses, the inner exceptions.
TExceptionFacts RecordFacts(const TExceptionRecord& Record);

// Whether a record's C++ object is, or derives from, ESilentAbort.
bool IsSilentAbortRecord(const TExceptionRecord& Record);

// --- What the sequence asks of the world ----------------------------------------------

struct THandlingServices {
    // Now, in milliseconds since 1970.
    std::function<std::int64_t()> NowMs;
    // The settings the exception object starts from; null: the program's.
    std::shared_ptr<TModuleSettings> Table;
    // Whether a helper program runs and can show the box.
    std::function<bool()> HelperRunning;
    // Shows the box in the helper and waits for the verdict (none: the link
    // ended or the box was closed without one).
    std::function<TBoxOutcome(const TBoxRequest&)> ShowBox;
    // Sends the report through the helper (Settings: the event's settings
    // stream; ScreenShot: the screenshot's request, 0 for none); none when
    // the helper did not answer.
    std::function<std::optional<TSendOutcome>(const std::string& Report,
                                              const std::string& Settings, std::uint32_t ScreenShot,
                                              bool Background)>
        Send;
    // Puts the report text on the clipboard through the helper.
    std::function<bool(const std::string& Report)> Clip;
    // Saves the report in the program; the file's name in *File.
    std::function<bool(const std::string& Report, const TIKESettings& Settings, std::string* File)>
        Save;
    // Has the helper start the program again once this process has ended;
    // false when it does not agree.
    std::function<bool(const std::vector<std::int64_t>& Times)> Restart;
    // Pauses (true) or resumes (false) the program's other threads.
    std::function<void(bool Pause, pid_t Excluded)> Pause;
    // How long the automatic actions wait for the report text to complete.
    std::chrono::milliseconds ReportWait{60000};
};

// The services of a running program: the system clock, the helper link of
// SetHelperLink, SaveReportToFile, PauseThreads.
THandlingServices DefaultHandlingServices();
// Replaces the services (tests); DefaultHandlingServices() restores them.
void SetHandlingServices(THandlingServices Services);

// A test hook: with this variable set to a number of milliseconds, the
// handling of every record waits that long before it begins (the tests of
// the helper's watch over a program whose report does not come).
inline constexpr const char* HandlingStallVariable = "TOLVEX_CRASH_TEST_STALL_MS";

// The sequence above for one record (handler thread).
TVerdict HandleExceptionFully(const TExceptionRecord& Record);
// Makes HandleExceptionFully the handling of every record.
void InstallExceptionHandling();

// --- The helper program ------------------------------------------------------------------

// The link to the helper program and its process id; null / 0 when none runs.
// Setting a link also installs the screenshot requester and the please-wait
// box over it.
void SetHelperLink(std::shared_ptr<TExceptLink> Link, pid_t Pid);
std::shared_ptr<TExceptLink> HelperLink();
// Whether the helper still runs: its link open and the process not ended.
bool HelperAlive();

// Main thread, at start (the capture enabled). The helper program starts when
// the event loop first drains the main thread's port: a start that hands over
// to a running instance and ends before its loop runs starts none. It starts
// only with the full handling installed (not under a test's own handling)
// and never while a report is being handled.
void ArmHelperStart();
// Main thread. Starts tolvex-crashreport from beside the program's file with
// the link as its descriptor 3, greets it and hands it the settings; false
// (and no helper) when it cannot be started.
bool StartHelperProgram();
// Any thread. The window the box stands over (an X11 window id; 0: none).
void SetBoxOwnerWindow(std::uint64_t Window);
// Any thread, at the end. Lets the helper go (it ends once its work is done).
void StopHelperProgram();
