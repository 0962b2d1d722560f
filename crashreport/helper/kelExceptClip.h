// The report on the clipboard ("AutoClip"), in the helper: the program asks
// with ClipRequest and gets ClipDone. On X11 a clipboard's text lives in the
// process that set it, so the helper stays (at most ClipHoldLimit) until
// another program takes the clipboard over.
#pragma once

#include <chrono>

class THelperSession;

inline constexpr std::chrono::minutes ClipHoldLimit{5};

// Registers the ClipRequest handler on the session.
void RegisterClipHandler(THelperSession& Session);
