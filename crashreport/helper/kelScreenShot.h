// Screenshots for bug reports, taken by the helper program from the X11
// display: the whole desktop (every screen), or only the program's own
// windows, the parts of them that other windows cover painted white. The
// mouse pointer is drawn in where the XFixes extension shows it.
//
// The program's windows are the top-level windows whose _NET_WM_PID is the
// program's process id (a window manager's frame counts with the window it
// holds), in the stacking order the X server gives (also without a window
// manager). On Wayland, or without a display, there is no screenshot.
#pragma once

#include "crashreport/kelNVBitmap.h"

#include <QRect>
#include <QRegion>

#include <memory>
#include <string>
#include <sys/types.h>
#include <vector>

// A top-level window as the X server stacks it.
struct TStackedWindow {
    QRect Bounds;  // in the root window's pixels, frame and border included
    pid_t Pid = 0; // the _NET_WM_PID of the window or of the client it frames
    bool Viewable = false;
};

// The top-level windows from the bottom of the stack to its top; empty
// without an X11 display.
std::vector<TStackedWindow> StackedWindows();

// What the program's windows show of themselves: each viewable, non-empty
// window of Pid less every viewable window above it; Bounds receives the box
// around those windows. Empty when none shows.
QRegion ApplicationRegion(const std::vector<TStackedWindow>& Stack, pid_t Pid, QRect& Bounds);

// Takes a screenshot: of the whole desktop, or of Pid's windows only. Null
// when there is none; Why then says why ("screenshot: not available ...").
std::shared_ptr<INVBitmap> CaptureScreenShot(bool ApplicationOnly, pid_t Pid,
                                             std::string* Why = nullptr);
