// The program's side of the exception box: the box lives in the helper
// program; the program begins a report there, keeps its fields and sections
// up to date while they are calculated, runs the handler rounds the helper
// asks for, takes what the user entered in an assistant, and waits for the
// user's verdict.
#pragma once

#include "crashreport/kelExceptHandlers.h"
#include "crashreport/kelExceptLink.h"

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// What changed in the report since the last look: header fields and
// sections (each whole), and the finished text once it is complete.
struct TReportChanges {
    std::vector<TReportFieldFrame> Fields;
    std::vector<TReportSectionFrame> Sections;
    std::optional<std::string> Complete;
};

// What the helper told while the box was up.
struct TBoxOutcome {
    std::optional<TBoxVerdict> Verdict; // none: the link ended first, or the box was closed
    std::vector<TAssistantOutputFrame> Outputs;
    std::vector<TSettingChangedFrame> Settings;
    std::optional<bool> AttachScreenShot;
    std::optional<TDisplayModeFrame> DisplayMode;
};

struct TBoxRequest {
    TReportBeginFrame Begin;
    // The program's main window, which the box stands over (an X11 window
    // id; 0: none), and whether the box sounds the warning beep.
    std::uint64_t OwnerWindow = 0;
    bool Beep = false;
    // Asked every RefreshEvery while the box is up (and once at the start):
    // what changed, to be sent to the helper.
    std::function<TReportChanges()> Refresh;
    std::chrono::milliseconds RefreshEvery{100};
    // The handlers' view of the exception, for the rounds the helper asks.
    const TFireTarget* Target = nullptr;
    // Called with each assistant output as it comes (the report takes it).
    std::function<void(const TAssistantOutputFrame&)> OnOutput;
};

// Shows the box of Request over Link and waits until the user decides or the
// link ends. Frames the box does not expect from the helper (answers it never
// asked for, report frames of another report) close the link.
TBoxOutcome ShowBoxOverLink(TExceptLink& Link, const TBoxRequest& Request);
