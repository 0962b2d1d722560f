// The helper's side of the exception box: it mirrors each report the program
// begins (settings, header fields, sections, the finished text), shows its
// box, runs the handler rounds in the program when the user asks for the
// report, for help or for an action, runs the action's assistant between the
// rounds, saves, prints or sends the finished report when no handler took
// the action (and tells the program's handlers of a report sent or saved),
// and answers the user's verdict.
//
// A report frame for a report the helper does not mirror, or an answer to a
// round it did not ask for, is malformed: the link closes (and with it the
// boxes).
#pragma once

#include "crashreport/helper/kelExceptBox.h"
#include "crashreport/helper/kelExceptMirror.h"
#include "crashreport/kelExceptLink.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

class QWindow;
class THelperSession;

class TExceptBoxSession {
public:
    // Registers the report frames' handlers on the session.
    explicit TExceptBoxSession(THelperSession& Session);
    ~TExceptBoxSession();
    TExceptBoxSession(const TExceptBoxSession&) = delete;
    TExceptBoxSession& operator=(const TExceptBoxSession&) = delete;

    // The box of a report; null when there is none (any more).
    TExceptBox* Box(std::uint32_t Report) const;

    // Told when a report begins (Complete false) and when its text is
    // complete (true).
    std::function<void(std::uint32_t Report, bool Complete)> OnProgress;

private:
    struct TReport {
        TReportBeginFrame Begin;
        std::shared_ptr<TExceptMirror> Mirror;
        std::unique_ptr<TExceptBox> Box;
        std::vector<TViewerField> Header;
        std::vector<TBoxSection> Sections;
        std::optional<std::string> Full; // the finished text, once complete
        std::unique_ptr<QWindow> Owner;  // the program's window the box stands over
    };
    void Register();
    bool Begin(const TReportBeginFrame& F);
    // A handler round in the program; true when its handlers claimed it.
    bool Fire(std::uint32_t Report, std::uint8_t Kind, std::uint8_t Code);
    void Act(std::uint32_t Report, TBoxButton Button);
    // Saves, prints or sends the finished report in the helper itself.
    void Carry(std::uint32_t Report, TBoxButton Button);
    // Waits for the report's finished text; false when the link or the
    // report went first.
    bool WaitForFullText(std::uint32_t Report);
    // Runs the event loop until Done holds or the link is closed.
    void WaitUntil(const std::function<bool()>& Done);
    void Finished(std::uint32_t Report);

    THelperSession& Session;
    std::map<std::uint32_t, std::unique_ptr<TReport>> Reports;
    // Owners told for reports not begun yet.
    std::map<std::uint32_t, TBoxOwnerFrame> Owners;
    // The round waited for: its number, and its answer once it came.
    std::uint32_t NextRequest = 1;
    std::uint32_t Waiting = 0;
    std::optional<bool> Answer;
};
