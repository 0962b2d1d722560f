// Where a program's per-user and machine-wide configuration belongs (the XDG
// base directories), and what the running program is: its file and its
// command line, as the kernel reports them.
#pragma once

#include <string>
#include <vector>

namespace platform {

// $XDG_CONFIG_HOME when it is an absolute path, else $HOME/.config (HOME from
// the environment or the user database); empty when neither is known.
std::string UserConfigFolder();
// The first absolute entry of $XDG_CONFIG_DIRS, else "/etc/xdg".
std::string SystemConfigFolder();

// Absolute path of the running program's file; empty when unknown.
std::string ProgramFileName();
// The running program's parameters, without the program name.
std::vector<std::string> ProgramArguments();

} // namespace platform
