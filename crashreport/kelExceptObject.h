// The exception object: one per exception, freeze or manual report that the
// crash reporter handles.
//
// It holds the facts of the event (what was thrown or which signal, where,
// on which thread, the registers, the inner exceptions), its own view of the
// settings (a handler that changes a setting through it changes it for this
// event only), the bug report (header fields, sections, the finished text)
// and the callbacks that want to hear when the report changes.
//
// The report is calculated in the background: the first GetSections enters
// every section that takes time with the placeholder ">> will be calculated
// soon", and a calculation thread of the object's own fills them in while the
// exception box already shows the report. Whoever needs the finished text
// asks GetBugReport and waits, behind a please-wait box when the settings
// want one.
//
// Destroying the object asks a running calculation to stop (it looks between
// sections) and waits for it 5 seconds at most; a calculation that has not
// ended by then is left to end on its own (it owns everything it reads) and
// says so on stderr.
#pragma once

#include "crashlib/kelStackTrace.h"
#include "crashreport/kelExceptFields.h"
#include "crashreport/kelExceptLink.h"
#include "crashreport/kelExceptReport.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelPrgrAlertLink.h"

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <typeinfo>
#include <vector>

class IKEException;

// The class of a thrown C++ object and the classes it derives from, nearest
// first, demangled ("std::runtime_error", "std::exception").
std::vector<std::string> ClassChainOf(const std::type_info* Type);
std::vector<std::string> ClassChainOf(const std::exception_ptr& Object);
// The message of a thrown object: what() of a std::exception, else its class.
std::string MessageOf(const std::exception_ptr& Object);
// Whether a comma-separated list of class names (items trimmed) names the
// class or one of its ancestors.
bool ClassListMatches(std::string_view List, const std::vector<std::string>& ClassChain);

// --- Callbacks ---------------------------------------------------------------------
// Told whenever the report changes, with the text as it stands (Complete:
// every section is calculated).
using TBugReportCallback = void (*)(bool Complete, const std::string& BugReport,
                                    IKEException& Exception);
using TBugReportCallbackMethod = void (*)(void* Instance, bool Complete,
                                          const std::string& BugReport, IKEException& Exception);

// --- The helper's part --------------------------------------------------------------
// The please-wait box is the helper program's progress alert, and the
// screenshot is taken and kept by the helper; both are reached over the
// helper's link, which the program's start-up installs here. Without them no
// box is shown and no screenshot is taken.
using TPleaseWaitFactory = std::shared_ptr<IProgressAlert> (*)(std::string_view Title);
void SetPleaseWaitFactory(TPleaseWaitFactory Factory);
// Asks the helper for a screenshot of the desktop or of the program's own
// windows only; the answer says whether it was taken (the helper keeps it).
using TScreenShotRequester = TScreenShotTakenFrame (*)(bool ApplicationOnly);
void SetScreenShotRequester(TScreenShotRequester Requester);

// --- The interface -------------------------------------------------------------------

class IKEException : public virtual IKEModuleSettings {
public:
    ~IKEException() override;

    // The phase of the handling, 0..4; setting 3 once the report is complete
    // stores 4.
    virtual std::uint8_t GetPhase() const = 0;
    virtual void SetPhase(std::uint8_t Phase) = 0;
    // Setting true takes effect only while continuing is allowed (as the
    // event began); false always does.
    virtual bool GetCanContinue() const = 0;
    virtual void SetCanContinue(bool CanContinue) = 0;
    virtual TExceptKind GetExceptKind() const = 0;
    virtual std::exception_ptr GetExceptObject() const = 0;
    // "EFrozen" for a freeze, "Unknown" without an object.
    virtual std::string GetExceptClass() = 0;
    // The "FrozenMsg" text for a freeze; see CleanExceptionMessage.
    virtual std::string GetExceptMessage() = 0;
    virtual void SetExceptMessage(std::string_view Message) = 0;
    virtual std::uintptr_t GetExceptAddr() const = 0;
    virtual pid_t GetCrashedThreadId() const = 0;
    // The threads of the report's thread sections: 0 / an empty trace
    // outside 0 .. count - 1, and a trace empty until it is calculated.
    virtual int GetListedThreadCount() = 0;
    virtual pid_t GetListedThreadId(int Index) = 0;
    virtual TStackTrace GetListedThreadStack(int Index) = 0;
    // The three "callstack crc" values (0 outside 0..2, and until calculated).
    virtual std::uint32_t GetCallstackCrc(int Index) = 0;
    // The registers at the event; null when there are none.
    virtual const TCpuRegisters* GetContext() const = 0;
    virtual std::uint8_t GetSource() const = 0;
    virtual std::uintptr_t GetCallerValue2() const = 0;
    virtual std::uintptr_t GetCallerValue3() const = 0;

    // The header fields, made on the first call.
    virtual std::shared_ptr<IKEFields> GetBugReportHeader() = 0;
    // The sections, with placeholders for what is still calculated; the
    // first call starts the calculation (unless it is deferred).
    virtual std::shared_ptr<IKEFields> GetSections() = 0;
    // The finished text: GetBugReport waiting without limit.
    virtual std::string GetFullBugReport() = 0;
    // Replaces the text (and tells the callbacks).
    virtual void SetBugReport(std::string_view Text) = 0;
    // The text; with Wait, once the calculation has ended or TimeoutMs (-1:
    // no limit) has passed, whichever comes first.
    virtual std::string GetBugReport(bool Wait, int TimeoutMs = -1) = 0;
    // The screenshot, asked for once, on the first call, when this event
    // wants one ("ScrShotAppOnly": the program's windows only); a failed
    // capture switches the wish off, so it is not tried again. None when
    // there is none.
    virtual std::optional<TScreenShotTakenFrame> GetScreenShot() = 0;
    virtual void SetScreenShot(std::optional<TScreenShotTakenFrame> ScreenShot) = 0;
    // While updates are begun, changes are only noted; the last EndUpdate
    // tells the callbacks of a change that was noted.
    virtual void BeginUpdate() = 0;
    virtual void EndUpdate() = 0;
    // Registering a routine again only changes its flag.
    virtual void RegisterCallback(TBugReportCallback Callback, bool Flag) = 0;
    virtual void RegisterCallback(TBugReportCallbackMethod Method, void* Instance, bool Flag) = 0;
    virtual void UnregisterCallback(TBugReportCallback Callback) = 0;
    virtual void UnregisterCallback(TBugReportCallbackMethod Method, void* Instance) = 0;

    // The switches of this event (from its class group).
    virtual bool GetCreateBugReport() const = 0;
    virtual void SetCreateBugReport(bool Value) = 0;
    virtual bool GetCreateScreenShot() const = 0;
    virtual void SetCreateScreenShot(bool Value) = 0;
    virtual bool GetCallHandlers() const = 0;
    virtual void SetCallHandlers(bool Value) = 0;
    virtual bool GetAttachScreenShot() const = 0;
    virtual void SetAttachScreenShot(bool Value) = 0;
    virtual std::uint8_t GetShowCfg() const = 0;
    virtual void SetShowCfg(std::uint8_t Value) = 0;
    virtual std::string GetAssistant() const = 0;
    virtual void SetAssistant(std::string_view Value) = 0;
};

class IKEExceptionEx : public IKEException {
public:
    ~IKEExceptionEx() override;
    // Whether a registered callback has its flag set.
    virtual bool HasCallbacks() = 0;
    // The calculation thread's id; 0 when none runs.
    virtual pid_t GetCalcThreadId() const = 0;
    // Two flags for the box and the handlers to keep per event.
    virtual bool GetExFlag(int Index) const = 0;
    virtual void SetExFlag(int Index, bool Value) = 0;
    // True only for the first caller of each of two tests (0 and 1).
    virtual bool FirstTime(int Index) = 0;
    virtual void SetInnerExceptions(std::vector<TReportInnerException> Inner) = 0;
    // Whether every section of the report has been calculated.
    virtual bool IsReportComplete() const = 0;
    // The settings of this event as they stand: the module's, with what
    // handlers and the user changed for this event written over them.
    virtual std::vector<TSettingEntry> EventSettingEntries() const = 0;
};

// Makes the exception object of an event, over the program's settings table
// or a given one (null: no settings, every key at its default).
std::shared_ptr<IKEExceptionEx> NewExceptionObject(TExceptionFacts Facts);
std::shared_ptr<IKEExceptionEx> NewExceptionObject(TExceptionFacts Facts,
                                                   std::shared_ptr<TModuleSettings> Table);

// How long a destroyed object waits for its calculation (5000 ms); for tests.
void SetCalcThreadWaitLimit(int Milliseconds);
