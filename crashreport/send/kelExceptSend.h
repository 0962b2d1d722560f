// The send dispatcher: one routine, SendReport, sends a finished bug report
// by every way the settings switch on, in a fixed order of preference, and
// stops at the first that succeeds.
//
// Before the ways run it gathers the attachments: the report as a file (a
// copy of the report file with every report gathered so far, or the report
// alone), the screenshot as PNG, and the files of "AddAttachs"; those that
// share a zip name go into one zip archive. It shows a progress alert while
// the network ways work, and it can hand the whole send to a thread of its
// own ("SendInBackgr") that may outlive the program (the helper program
// waits for it). When nothing worked and the user is there, "SendFailMsg"
// says so; when the settings name no address at all ("MailAddr" and
// "HttpServer" empty), a message says that this build has no address for bug
// reports and names the file the report was saved in.
//
// The table of ways
// -----------------
// Every way is one entry of SendWays() (kelExceptSendWays.cpp), in order of
// preference. An entry names the boolean setting that switches it on, its
// group and flags, an optional test of what else it needs, and the routine
// that sends. A way whose setting has no entry is off; a new way is a new
// entry (and its routine in a unit of its own).
//
// The groups run in the order sgWeb, sgSmtp, sgMailClient:
//   - sgWeb and sgSmtp: the first entry whose setting is on and whose
//     Applies holds is the one tried, and its result ends the group (a bug
//     tracker is tried in place of the plain upload, SMTP as its own server
//     in place of a configured server);
//   - after them the progress alert closes;
//   - sgMailClient: each entry whose setting is on and whose Applies holds,
//     in turn, until one sends or the user cancels.
// Flags: swNetwork marks a network way (its being on makes the dispatcher
// prepare attachments and the progress areas; a success by it deletes the
// report file when "DelBugRepFile" says so); swSmtp adds the area
// "SendMailMsg" and swMxLookup "MxLookMsg"; swAttachments makes the
// dispatcher prepare attachments for a way that is not a network way;
// swUserPresent keeps a way out of automatic sends and takes the owner
// window out of the topmost band before it runs. A way that only hands the
// mail over (no swNetwork) never deletes the report file: the user may still
// not send it.
//
// What a way gets is the TSendJob: the settings, the sender, recipients,
// subject and body (placeholders expanded), the prepared attachments, the
// form fields of the web ways, and the progress alert (never null; shown
// or not). It answers sent, failed or cancelled, and may leave a reason in
// LastError.
#pragma once

#include "crashreport/kelExceptFields.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelNVBitmap.h"
#include "crashreport/kelPrgrAlertLink.h"
#include "crashreport/send/kelExceptMime.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

enum class TSendResult : std::uint8_t { srFailed = 0, srSent = 1, srCancelled = 2 };

enum TSendGroup : std::uint8_t { sgWeb, sgSmtp, sgMailClient };

enum TSendWayFlags : std::uint8_t {
    swNetwork = 1,
    swSmtp = 2,
    swMxLookup = 4,
    swAttachments = 8,
    swUserPresent = 16,
};

struct TSendJob {
    TSendJob(const IKESettings& ASettings, bool AAutomatic)
        : Settings(ASettings), Automatic(AAutomatic)
    {
    }
    const IKESettings& Settings;
    bool Automatic = false;
    std::string From;    // "Name <address>" or an address
    std::string ReplyTo; // empty: the sender
    std::string To;      // "MailAddr", tidied: addresses separated by ","
    std::string Subject, Body;
    std::string Report;      // the report's text (its header fields for the trackers)
    TPlaceholderTexts Texts; // what the placeholders of the report's texts expand to
    std::vector<TPreparedAttachment> Attachments;
    std::shared_ptr<IKEFields> Fields; // "AddFields" + MailFrom, MailSubject, MailBody, MailAddr
    std::shared_ptr<IProgressAlert> Progress;
    std::string LastError;
};

struct TSendWay {
    std::string_view Name;
    TBoolKey Key;
    TSendGroup Group;
    std::uint8_t Flags;                   // TSendWayFlags
    bool (*Applies)(const TSendJob& Job); // besides the key; null: nothing else
    TSendResult (*Send)(TSendJob& Job);
};

// The ways of this build, in order of preference.
std::span<const TSendWay> SendWays();

// What a send needs of the desktop. The helper gives its windows (any thread
// may call); tests record the calls.
class ISendUi {
public:
    virtual ~ISendUi();
    // A progress alert, not shown yet.
    virtual std::shared_ptr<IProgressAlert> NewProgressAlert(std::string_view Title,
                                                             std::string_view Picture) = 0;
    // A message box owned by the exception box, waited for.
    virtual void ShowMessage(std::string_view Text) = 0;
    // Takes the exception box out of the topmost band, so that a mail
    // program's window can come in front.
    virtual void LeaveTopmost() = 0;
};

struct TSendOptions {
    bool Automatic = false;  // no user there
    bool Background = false; // "SendInBackgr": on a thread of its own
    // Told the outcome once the send has ended, on the thread that sent (in
    // the background: the send's own thread).
    std::function<void(TSendResult)> Finished;
    // The ways to use (tests give their own).
    std::span<const TSendWay> Ways = SendWays();
};

// Sends the report. An empty text sends nothing. In the background: srSent
// as soon as the thread runs (when no thread can start, the send runs here). The settings are
// the report's own (an exception's changes included).
TSendResult SendReport(const std::string& Text, std::shared_ptr<INVBitmap> ScreenShot,
                       std::shared_ptr<TIKESettings> Settings, std::shared_ptr<ISendUi> Ui,
                       const TSendOptions& Options = {});

// What the send action needs of the exception object.
class ISendSource {
public:
    virtual ~ISendSource();
    // The finished report (waiting for its calculation without limit).
    virtual std::string FinishedBugReport() = 0;
    // The screenshot to send along; null when none was taken or the user
    // does not want it attached.
    virtual std::shared_ptr<INVBitmap> ScreenShotToAttach() = 0;
    // The report's settings.
    virtual std::shared_ptr<TIKESettings> ReportSettings() = 0;
};

// The exception object's send action: the finished report and its
// screenshot sent as its settings say ("SendInBackgr" among them).
TSendResult SendBugReport(ISendSource& Source, std::shared_ptr<ISendUi> Ui, bool Automatic,
                          std::function<void(TSendResult)> Finished = {});

// --- The parts of a send -----------------------------------------------------------

// The message that says this build has nowhere to send reports to, and where
// the report was saved (or could not be saved).
std::string NoAddressMessage(std::string_view ReportFile, bool Saved);

// The PNG option for a "ScrShotDepth": 4 (grey) 1; each size limit 51200,
// 102400, 204800, 307200 its own option 2 .. 5; any other value 0.
std::uint8_t ScreenShotPngDepth(std::int32_t ScrShotDepth);

// The attachments ready to go: each file that exists (names expanded and
// made absolute), those with a zip name zipped into "<zip name>.zip" in
// Folder, each under its send-as name, in order of first appearance.
std::vector<TPreparedAttachment> PrepareAttachments(IKEAttachments& Attachments,
                                                    const std::string& Folder,
                                                    IProgressAlert* Progress = nullptr);

// The progress alert of a send with its areas: "PrepAttMsg", and with a
// network way on, "MxLookMsg" (SMTP as its own server), "ConnMsg",
// "SendMailMsg" (an SMTP way), "SendAttMsg" (when there are attachments),
// "SendFinalMsg"; weight 100 each.
std::shared_ptr<IProgressAlert> NewSendProgress(const IKESettings& Settings, ISendUi& Ui,
                                                std::span<const TSendWay> Ways,
                                                bool HasAttachments);

// Whether a way is on: its setting, its place in an automatic send, and its
// own test.
bool SendWayOn(const TSendWay& Way, const TSendJob& Job);
