// The bug-report file, and reading fields and sections out of a report text.
//
// A report text (laid out by the exception object) begins with its header:
// one line per field, the name padded with blanks, ": ", the value. Then come
// its sections, each after an empty line: the section's name with a colon,
// then its lines. Lines end with CR LF; the last has no line break.
//
// The report file is UTF-8 without a byte-order mark. Reports follow each
// other, each ended by an empty line, and each begins with its "date/time"
// header line, which is how a reader finds where one ends and the next
// begins. Saving appends the new report ("AppendBugReps"), merges it with an
// earlier report of the same fault ("NoDupExcepts" / "NoDupFreezes": the old
// one is removed and the new one counts the occurrences in "count") and keeps
// the file below "BugRepFileSize" by dropping the oldest reports until three
// quarters of it are left.
//
// The program saves when there is no helper, so this lives beside the
// exception object. The new content is made in memory and replaces the file
// in one step (a temporary file beside it, fsync, rename) while the lock file
// "<file>.lock" is held with flock: two processes saving at once lose no
// report, and a process killed while saving leaves the old file or the new
// one, never a mix. (That atomic write repeats the program's own in
// platform/, which the crash reporter does not link.)
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TIKESettings;

// --- Fields and sections of a report text -----------------------------------------

// The value of a header field: the rest of its line after the name, the
// padding and ": "; empty when the header has no such field. Names are
// compared without regard to the case of ASCII letters.
std::string GetReportField(std::string_view Report, std::string_view Name);
// The report with the field set to Value: an existing field's value is
// replaced; a new field is inserted as a header line of its own, padded like
// the others, after the field named After (at the end of the header when
// there is none).
std::string SetReportField(std::string_view Report, std::string_view Name, std::string_view Value,
                           std::string_view After);
// Whether two reports hold the same value in a field (both empty counts).
bool SameReportField(std::string_view A, std::string_view B, std::string_view Name);
// The text of a section (its lines after the name's line, up to the next
// empty line, joined by CR LF); empty when the report has no such section.
std::string GetReportSection(std::string_view Report, std::string_view Name);
// The report without the sections of that name (title, lines and the empty
// line after each).
std::string RemoveReportSection(std::string_view Report, std::string_view Name);

// --- Merging into the file's content ----------------------------------------------

// What the settings say about the report file.
struct TReportFileRules {
    bool Append = true;         // "AppendBugReps"
    std::int64_t SizeLimit = 0; // "BugRepFileSize"; 0 or less: none
    bool NoDupExcepts = true, NoDupFreezes = true;
    int DupExceptDef = 1, DupFreezeDef = 2;
};
TReportFileRules ReportFileRules(const TIKESettings& Settings);

// The key that finds earlier reports of the same fault: the start of the
// report's "callstack crc" (3 values "$" + 8 hex digits: 31 characters) that
// the rules compare: its first value (9 characters), the first two (20) or
// all three (31). Empty when duplicates are kept for this kind of report (an
// exception, or a freeze: "exception class" empty) or the report has no
// complete "callstack crc".
std::string DuplicateKey(std::string_view Report, const TReportFileRules& Rules);

// The file's new content when Report is saved into a file holding Old:
//   - without "AppendBugReps": the report alone;
//   - the latest earlier report whose "callstack crc" starts with the key and
//     that agrees in "executable", "current module", "exception class",
//     "version", "exec. date/time" and "module date/time" is cut out, and the
//     new report gets "count" = its count (1 when it has none) + 1, after its
//     "callstack crc" line;
//   - the same event saved again (equal "date/time" and header facts above)
//     replaces its earlier copy instead of counting twice;
//   - a file larger than the size limit loses whole reports from its start
//     until less than three quarters of the limit is left;
//   - the report follows, ended by an empty line.
// *Saved (when given) gets the report as it was written (with its count).
std::string MergeReportIntoFile(std::string_view Old, std::string_view Report,
                                const TReportFileRules& Rules, std::string* Saved = nullptr);

// --- The file ---------------------------------------------------------------------

// The report file of the settings: "BugRepFile" with its placeholders
// expanded (but "%exceptMsg%", "%bugReport%", "%errorDetails%" and
// "%exceptClass%", which stay), where a ":" that a placeholder brought in
// (the time has some) becomes "."; made absolute by MakeFullPath, so that a
// bare name lies in the crash reporter's folder. Saving and sending both take
// the file from here.
std::string ReportFileName(const TIKESettings& Settings);

// Makes a folder and its missing parents (mode 0700 for new ones); true when
// the folder exists afterwards. A trailing "/" is ignored.
bool ForceDirectories(std::string_view Folder);

// Saves a report: into FileName (empty: ReportFileName of the settings) under
// the settings' rules. False, and the file as it was, when the folder cannot
// be made, the file cannot be read (it is never replaced then) or written,
// or another process holds the lock for more than 10 seconds. *SavedAs (when
// given) gets the full file name.
bool SaveReportToFile(std::string_view Report, const TIKESettings& Settings,
                      std::string_view FileName = {}, std::string* SavedAs = nullptr);

// Replaces a file's content in one step: a temporary file in its folder
// (mode 0600, or the file's own mode when it exists), flushed, renamed over
// it, and the folder flushed. False (nothing left behind) on any failure.
bool WriteFileAtomically(const std::string& FileName, std::string_view Data);
