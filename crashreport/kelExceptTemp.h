// The crash reporter's folders at run time, shared by the program and its
// helper program.
//
// Everything lives in one folder of the user's own, "$XDG_RUNTIME_DIR/tolvex"
// (or "/tmp/tolvex-<uid>" when the session has no runtime folder): made with
// mode 0700 and used only when it is a real folder (no symbolic link), owned
// by this user and closed to everyone else. Each process gets a private
// temporary folder inside it, made by mkdtemp under a name that holds its
// process id and start time; it is removed when the process exits, and the
// folders of processes that no longer run are removed when the next one makes
// its own. So no other user can plant or read files there, and two running
// instances never empty each other's folder.
//
// Paths are returned without a trailing "/"; empty means the folder cannot be
// used (the callers then do without the files they would have kept there).
#pragma once

#include <string>
#include <sys/types.h>

// The crash reporter's runtime folder, made when missing; empty when it is not
// safe to use.
std::string CrashRuntimeFolder();

// This process's private temporary folder, made on first use (after the
// folders of ended processes are removed); empty when it cannot be made.
std::string ExceptTempFolder();
// Deletes everything inside the temporary folder; the folder stays.
void ClearExceptTempFolder();
// Removes the temporary folder with its contents; the next ExceptTempFolder
// makes a new one. Runs by itself when the process exits normally.
void RemoveExceptTempFolder();

// Removes the temporary folders in the runtime folder whose process has ended
// (none runs with that id, or one started at another time); answers how many.
int RemoveEndedTempFolders();

// The start time of a process in clock ticks since boot, from /proc; 0 when
// the process does not exist.
unsigned long long ProcessStartTime(pid_t Pid);
