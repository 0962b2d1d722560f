// Where the program keeps its settings files and how that place is chosen:
//  - per user (default): $XDG_CONFIG_HOME/<company>/<product>/ (~/.config);
//  - machine-wide with the switch "systemwideconfig": the first entry of
//    $XDG_CONFIG_DIRS (/etc/xdg) + <company>/<product>/;
//  - beside the program with the switch "portable" (which wins).
// Company and product are the program's own version record (FileInfo).
// Missing settings files are seeded from the "Default" folder beside the
// program; the program's language files are copied into the settings folder
// at every start. Every folder text ends with "/".
#pragma once

#include <optional>
#include <string>
#include <vector>

// Folder and file globals, set once at start-up (InitFolderGlobals, then
// CopyLanguageFiles and PrepareSettingsFile), unchanged afterwards.
extern std::string AppDir;          // folder of the program file
extern std::string DefaultDir;      // AppDir + "Default/"
extern std::string SettingsDir;     // GetSettingsFolder
extern std::string MacCommentsFile; // SettingsDir + "mac_comments.txt"
extern std::string LanguagesDir;    // SettingsDir + "languages/"
extern std::string OptionsFile;     // PrepareSettingsFile("options.xml")
extern std::string ToolsFile;       // PrepareSettingsFile("tools.xml")
extern std::string PresetsFile;     // PrepareSettingsFile("presets.xml")

// A build-time choice of the program folder for the settings, as "portable".
inline constexpr bool PortableBuild = false;

// True when a parameter is "-" or "/" followed by Switch, in any case.
bool FindCmdLineSwitch(const std::string& Switch);
bool IsSystemWideConfig();
// The machine-wide configuration folder with "systemwideconfig", else the
// user's; empty when it cannot be found. No trailing "/".
std::string GetAppDataFolder();
// The settings folder, with trailing "/". Raises when there is none to be
// had (no home folder, or a program file without its version record).
std::string GetSettingsFolder();
// AppDir, DefaultDir, SettingsDir and MacCommentsFile. Raises as
// GetSettingsFolder does, and when the program file is not known.
void InitFolderGlobals();
// SettingsDir + Name, seeded from DefaultDir + Name when missing; an existing
// file is never replaced. Returned also when nothing could be copied.
std::string PrepareSettingsFile(const std::string& Name);
// Sets LanguagesDir and copies every "*.lng" of AppDir + "languages/" into
// it, replacing files of the same name. A failed copy is skipped; a file is
// never copied onto itself (portable mode).
void CopyLanguageFiles();
// The local time as the class library counts it: days since 1899-12-30,
// with the time of day as the fraction. The one clock of the windows (log
// times, elapsed scan time).
double Now();
// Elapsed (in days, as "now minus start") as "h:mm:ss", or "mm:ss" below an
// hour; whole days are dropped.
std::string FormatDuration(double Elapsed);

// Seams for tests and for a start-up that knows better: the program file the
// folders are derived from, and the parameters the switches are looked for
// in. Unset (empty, nothing), the running program's own are used.
void SetProgramFileName(const std::string& FileName);
void SetCommandLineArguments(std::optional<std::vector<std::string>> Arguments);
