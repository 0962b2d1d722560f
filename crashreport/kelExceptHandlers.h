// The program's exception, action and notification handlers, and their
// firing at the fixed points of a report.
//
// A handler may claim an event ("handled"), which stops the crash reporter's
// own behaviour for it. Handlers flagged as synchronised run on the main
// thread, reached through its message port; a main thread that does not answer
// within HandlersProbeMs is not waited for, and for a frozen main thread it is
// never asked. The program registers no handler of its own; the lists are for
// whoever links the crash reporter in.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

class IKEException;

enum THandlerKind : std::uint8_t {
    hkException = 0,    // before the box, while the report is prepared
    hkAction = 1,       // around send, save, print, continue, restart, close
    hkNotification = 2, // notifications: every handler runs
};

// Action codes, and the exception handlers' codes for the box.
enum TActionCode : std::uint8_t {
    acSend = 0,
    acSave = 1,
    acPrint = 2,
    acSendAssisted = 3, // send after its assistant
    acSaveAssisted = 4,
    acPrintAssisted = 5,
    acSent = 6,
    acSaved = 7,
    acShowBugReport = 9, // the box's details are being shown
    acHelp = 10,         // F1 in the box
    acContinue = 11,
    acRestart = 12,
    acClose = 13,
};

// Where a handler runs: sync 0 on the thread that fires, 1 on the main thread
// only, 2 on the main thread or, when that does not run it, on the firing
// thread.
enum THandlerSync : std::uint8_t { hsFiringThread = 0, hsMainThread = 1, hsMainOrFiring = 2 };

using TExceptHandler = void (*)(IKEException* Exception, bool& Handled);
using TExceptHandlerOO = void (*)(void* Object, IKEException* Exception, bool& Handled);
using TActionHandler = void (*)(std::uint8_t Action, IKEException* Exception, bool& Handled);
using TActionHandlerOO = void (*)(void* Object, std::uint8_t Action, IKEException* Exception,
                                  bool& Handled);

// Registering. Kind hkException and hkNotification take exception handlers;
// Phase is compared only for hkException. A handler registered twice runs
// twice; removing takes the first entry of that routine (and object).
void AddExceptHandler(THandlerKind Kind, TExceptHandler Handler, THandlerSync Sync,
                      std::uint8_t Phase = 0);
void AddExceptHandler(THandlerKind Kind, TExceptHandlerOO Method, void* Object, THandlerSync Sync,
                      std::uint8_t Phase = 0);
void AddActionHandler(TActionHandler Handler, THandlerSync Sync);
void AddActionHandler(TActionHandlerOO Method, void* Object, THandlerSync Sync);
bool RemoveExceptHandler(THandlerKind Kind, TExceptHandler Handler);
bool RemoveExceptHandler(THandlerKind Kind, TExceptHandlerOO Method, void* Object);
bool RemoveActionHandler(TActionHandler Handler);
bool RemoveActionHandler(TActionHandlerOO Method, void* Object);
// Every list emptied.
void ClearHandlers();

// What a firing needs of the exception.
struct TFireTarget {
    IKEException* Exception = nullptr;
    // The exception's phase now (handlers may move it on).
    std::function<std::uint8_t()> Phase;
    bool CallHandlers = true; // the exception's switch
    bool Frozen = false;      // the exception stands for a frozen main thread
    // Before restart and close: completes the bug report text when asked.
    std::function<void()> CompleteReport;
    bool CompleteReportFirst = false; // the exception asks for it
};

// The target of an exception object: its phase as it moves, its switch, its
// kind, and its report completed by waiting for it.
TFireTarget FireTargetOf(IKEException& Exception);

struct TFireHandlersParams {
    THandlerKind Kind = hkException;
    std::uint8_t Action = 0;
    const TFireTarget* Target = nullptr;
    bool Handled = false;
    bool SyncPass = false;   // runs the entries of nonzero sync, else those of 0
    bool Value2Only = false; // only entries of sync 2
};

// One pass over the two lists of the kind (methods first, then plain
// routines), on copies taken at its start. Handlers run inside a guard that
// swallows what they throw. True when at least one handler was called.
bool RunHandlers(TFireHandlersParams& Params);

// Fires the handlers of Kind for Action (kind 1) or for the exception's phase
// (kinds 0 and 2). Handled goes in and comes out.
void FireHandlers(THandlerKind Kind, std::uint8_t Action, bool& Handled, const TFireTarget& Target);

// Whether a list of the kind holds a synchronised entry (kind 0: of Phase).
bool HasSyncHandlers(THandlerKind Kind, std::uint8_t Phase);
// Whether an exception handler of phase 4 ("after the report") exists.
bool HasAfterHandlers();
// Whether a pass of handlers is running on the main thread now: reports
// raised on the main thread meanwhile are ignored.
bool HandlersRunningOnMainThread();

// --- The main thread ---------------------------------------------------------------

// How long the main thread may take to show that it runs handlers at all.
inline constexpr int HandlersProbeMs = 1500;
// The answer of the main thread's handler message.
inline constexpr std::intptr_t HandlersAnswer = 777;

// Makes the calling thread the main thread for synchronised handlers: a
// routine on its message port runs them when its event loop drains the port.
// False when the port could not be had.
bool InstallMainThreadHandlers();
// Takes the routine off the main thread's port again (on any thread).
void RemoveMainThreadHandlers();
// For a main thread paused while a report is made: opens its gate for the
// handlers (true when it was closed and is now open), and closes it again.
using TMainThreadGate = bool (*)(bool Open);
void SetMainThreadGate(TMainThreadGate Gate);

// --- Actions with an assistant -----------------------------------------------------

enum class TAssistantResult : std::uint8_t {
    arNone,      // the settings name no assistant for the action
    arConfirmed, // gone through: its outputs are the report's
    arCancelled, // the user cancelled: the action counts as handled
};

// Send, save or print as the user asks for it in the box: the action
// handlers of Action, and when they do not claim it, the assistant named for
// the action, and when it is gone through (or there is none), the handlers of
// the action after its assistant (3, 4, 5). Fire answers whether handlers
// claimed the code; the result is true when the action is handled, that is,
// the reporter must not do it itself.
bool FireAssistedAction(std::uint8_t Action, const std::function<bool(std::uint8_t Code)>& Fire,
                        const std::function<TAssistantResult()>& RunAssistant);
// The setting that names the assistant of send, save or print; empty for
// other actions.
std::string AssistantSettingOf(std::uint8_t Action);
