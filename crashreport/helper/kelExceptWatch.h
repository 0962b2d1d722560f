// The helper's watch over a program whose report does not come.
//
// A fatal signal makes the program's signal handler write its last words (the
// signal, the registers, up to 4 KiB of raw stack) to the helper's descriptor
// 4 before anything else happens. From then on, and from every report's
// begin, the program has Patience (15 s) to complete the report. When it
// does not (its handler thread is stuck, or never read the record), the
// helper shows what it has: the last words beside the box and the sections
// the box already holds, and offers to close the program (SIGKILL) or to
// restart it (the program is killed and started again once it has gone).
#pragma once

#include "crashreport/kelExceptLink.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>

class QMessageBox;
class QSocketNotifier;
class QTimer;
class THelperSession;
class TExceptBoxSession;

// The last words as a person reads them: the signal, where, the registers and
// the stack's first bytes as a hex dump.
std::string LastWordsText(const TLastWordsFrame& Words);

class TExceptWatch {
public:
    // Watches Fd (the last words' socket; -1: none) and the reports of Boxes.
    TExceptWatch(THelperSession& Session, TExceptBoxSession& Boxes, int Fd,
                 std::chrono::milliseconds Patience = std::chrono::seconds(15));
    ~TExceptWatch();
    TExceptWatch(const TExceptWatch&) = delete;
    TExceptWatch& operator=(const TExceptWatch&) = delete;

    const std::optional<TLastWordsFrame>& LastWords() const { return Words; }

private:
    // Reads what has arrived on the last words' socket.
    void Read();
    void Begun(std::uint32_t Report, bool Complete);
    // Starts the countdown (in the event loop, made now if need be).
    void Arm();
    void TimeUp();
    void Kill(bool Restart);

    THelperSession& Session;
    const int FFd;
    const std::chrono::milliseconds Patience;
    TFrameParser Parser;
    std::optional<TLastWordsFrame> Words;
    std::set<std::uint32_t> Open; // reports begun and not complete
    bool Waiting = false;         // the countdown runs
    bool Shown = false;
    bool Ended = false; // the program's end of the last words is closed
    std::unique_ptr<QSocketNotifier> Notifier;
    std::unique_ptr<QTimer> Timer;
    std::unique_ptr<QMessageBox> Stuck;
};
