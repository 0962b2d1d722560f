// The helper program's side of the link (crashreport/kelExceptLink.h): it
// reads the program's frames and hands each to the handler registered for
// its type. Frames of types without a handler are skipped; a frame that its
// handler cannot decode closes the link.
//
// The session starts its QApplication only when a frame needs a window (a
// screenshot, an alert shown), so a helper that never shows anything never
// connects to a display. Before that it waits on the link itself; after, the
// application's event loop watches it. It ends when the link is closed and no
// work is left: windows of the program's alerts close with the link, and
// whatever must outlive the program (a report being sent) holds the session
// open with BeginWork / EndWork.
//
// Handlers of this issue: Hello (answered by the helper's own at start; a
// version the helper does not speak closes the link), Settings (kept as the
// session's settings), the progress alert frames, and the screenshot request
// (the screenshot is kept for the report, by its request number); and the
// report's actions: save (with the save dialog when asked), print (with the
// printer dialog), send (the dispatcher of crashreport/send, on a thread of
// its own) and restart (crashreport/kelExceptRestart.h).
#pragma once

#include "crashreport/kelExceptLink.h"
#include "crashreport/kelExceptSettings.h"
#include "crashreport/kelNVBitmap.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <sys/types.h>

class QApplication;
class QSocketNotifier;
class TIProgressAlert;
class ISendUi;

class THelperSession {
public:
    // A frame's handler; false when the frame does not decode (the link is
    // then closed).
    using THandler = std::function<bool(const TLinkFrame& Frame)>;

    // Argc and Argv are given to the QApplication when one is made; they
    // must outlive the session.
    THelperSession(std::shared_ptr<TExceptLink> ALink, int& AArgc, char** AArgv);
    ~THelperSession();
    THelperSession(const THelperSession&) = delete;
    THelperSession& operator=(const THelperSession&) = delete;

    // Registers (or replaces) the handler of a frame type.
    void Handle(std::uint16_t Type, bool NeedsWindow, THandler Handler);

    // Greets the program and serves the link until it is closed and no work
    // is left. 0 when the program closed it, 1 after a malformed frame or a
    // version the helper does not speak.
    int Run();

    // Work that keeps the helper running after the link closes.
    void BeginWork();
    void EndWork();

    bool Send(const TLinkFrame& Frame) { return Link->Send(Frame); }
    bool LinkOpen() const { return Link->IsOpen(); }
    template <class T> bool Send(const T& Message) { return Link->Send(Message); }

    // The program's process id and file, from its Hello (0 / empty before).
    pid_t ProgramPid() const { return FProgramPid; }
    const std::string& ProgramFile() const { return FProgramFile; }
    // The program's settings from its last Settings frame; null before.
    std::shared_ptr<TIKESettings> Settings() const { return FSettings; }
    // The screenshot taken for a request; null when none was taken.
    std::shared_ptr<INVBitmap> ScreenShot(std::uint32_t Request) const;
    // The alert of that number; null when the program has none.
    std::shared_ptr<TIProgressAlert> Alert(std::uint32_t Number) const;
    // Whether the QApplication has been made.
    bool HasApplication() const { return App != nullptr; }
    // Makes the QApplication now (the event loop takes over the link).
    void EnsureApplication();
    // Called about every 25 ms while no QApplication is made (the helper
    // then waits on the link alone).
    std::function<void()> Idle;

private:
    struct TEntry {
        bool NeedsWindow = false;
        THandler Handler;
    };
    void RegisterStandardHandlers();
    // Saving, printing, sending and restarting.
    void RegisterReportHandlers();
    // Handles one frame; false when it closed the link.
    bool Dispatch(const TLinkFrame& Frame);
    void MakeApplication();
    // Reads and handles what has arrived, for the event loop.
    void Pump();
    void LinkEnded(bool Malformed);
    void QuitWhenIdle();

    int& Argc;
    char** Argv;
    std::unique_ptr<QApplication> App; // made first, destroyed last
    std::unique_ptr<QSocketNotifier> Notifier;
    const std::shared_ptr<TExceptLink> Link;
    std::map<std::uint16_t, TEntry> Handlers;
    std::map<std::uint32_t, std::shared_ptr<TIProgressAlert>> Alerts;
    std::map<std::uint32_t, std::shared_ptr<INVBitmap>> ScreenShots;
    std::shared_ptr<TIKESettings> FSettings;
    pid_t FProgramPid = 0;
    std::string FProgramFile;
    int Work = 0;
    bool Ended = false;
    int ExitCode = 0;
};

// The desktop of a send in the helper: its progress alerts, its messages as
// message boxes (captioned Title), and the exception boxes leaving the
// topmost band for a mail program's window. Usable from any thread.
std::shared_ptr<ISendUi> NewHelperSendUi(std::string_view Title);

// Picks the display platform before the QApplication is made: the one the
// environment names, else X11 or Wayland when one answers, else the
// offscreen platform, so that a helper without a display runs on (without
// screenshots) instead of being stopped by Qt.
void ChooseHelperPlatform();
