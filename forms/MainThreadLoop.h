// The Qt event loop as the program's main thread: the calls that threads
// make into the main thread (platform::MainThread().Synchronize) are served
// by the loop, between the window events.
#pragma once

// Installs the dispatcher in the calling thread and wakes the loop whenever
// a call is queued. Needs the QCoreApplication to exist.
void InstallMainThreadIntoEventLoop();
