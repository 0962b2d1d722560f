// The result list as text: its visible rows exported as HTML, UTF-16 text,
// RTF, comma separated values or tab separated text, and the rows copied to
// the clipboard. No widgets here: the window hands over the texts, so the
// formats can be checked alone.
#pragma once

#include <string>
#include <vector>

// What an export writes: the captions of the visible columns in display
// order, then the visible rows in list order with their cells in the same
// order. Level is 0 for a top-level row and 1 for a child row.
struct TExportRow {
    int Level = 0;
    std::vector<std::string> Cells;
};

struct TExportTable {
    std::vector<std::string> Captions;
    std::vector<TExportRow> Rows;
};

// The formats in the order of the export dialog's filter (its 1-based index).
enum class TExportFormat { Html = 1, Unicode = 2, Rtf = 3, Csv = 4, Text = 5 };

// The export dialog's filter index as a format; anything unknown is text.
TExportFormat ExportFormatOfFilterIndex(int FilterIndex);

// The file an export writes to: HTML keeps the name and appends ".html" only
// when the file's own name (not its folders) has no "."; the others get the
// extension ".uni", ".rtf", ".csv" or ".txt" in place of the one it had.
std::string ExportFileName(const std::string& FileName, TExportFormat Format);

// The list as an HTML table ("<table>" ... "</table>"), every text escaped.
std::string TableToHTML(const TExportTable& Table);

// The whole HTML file: the document frame with ProductName as its title
// around TableToHTML, lines ended by CR LF except the last.
std::string ExportToHTML(const TExportTable& Table, const std::string& ProductName);

// Tab separated lines (CR LF) as UTF-16LE bytes without byte-order mark.
std::string ExportToUnicode(const TExportTable& Table);

// An RTF document holding the list as a table. Braces and backslashes are
// escaped; every character beyond ASCII is written as "\uN?".
std::string ExportToRTF(const TExportTable& Table);

// Separated UTF-8 lines (CR LF). With Quote (CSV) a field that holds the
// separator, a double quote or a line break is put in double quotes with its
// quotes doubled; without it (tab text) tabs and line breaks in a cell become
// blanks, since nothing could tell them from the separators.
std::string ExportToText(const TExportTable& Table, char Separator, bool Quote);

// The list separator of the user's locale, between the fields of an export
// and the cells of copied rows. Linux locales carry no list separator, so it
// is derived the way the regional settings pair them on the system the
// program was first written for: ";" where the decimal separator is "," (so
// that "1,5" stays one cell), else ",". LocaleName "" is the locale of the
// environment; a locale that cannot be loaded gives ",".
char ListSeparatorOfLocale(const char* LocaleName = "");

// One copied row: the non-empty texts joined by Separator.
std::string JoinCopyCells(const std::vector<std::string>& Cells, char Separator);
// Copied rows: the non-empty lines joined by CR LF, no line break at the end.
std::string JoinCopyLines(const std::vector<std::string>& Lines);

// The file's content for Format; CSV fields are separated by ListSeparator.
std::string ExportContent(const TExportTable& Table, TExportFormat Format,
                          const std::string& ProductName,
                          char ListSeparator = ListSeparatorOfLocale());

// Writes the export for FilterIndex whole, in one step, replacing any file of that
// name, and returns the name written (ExportFileName). Raises
// platform::EFileError; an old file then stays as it was.
std::string ExportTableToFile(const TExportTable& Table, const std::string& FileName,
                              int FilterIndex, const std::string& ProductName,
                              char ListSeparator = ListSeparatorOfLocale());
