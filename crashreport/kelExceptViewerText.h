// The text rules of the report viewer: how a section of the bug report (plain
// fixed-width text) becomes a table of named columns and rows for the
// exception box's list views.
//
// The report's sections are laid out for the eye: columns padded with blanks,
// comment lines beginning with ">>". The viewer finds the column boundaries
// in that text itself, so that it keeps working whatever width a column takes
// in a given report, and only the stack dump, whose lines have a fixed form,
// is cut at fixed places.
//
// Positions and lengths count UTF-16 code units of the text, as the list
// views do; the texts going in and out are UTF-8.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

// One column of a list view.
struct TViewerColumn {
    std::string Heading;
    bool Right = false; // right-aligned
    bool Upper = false; // cells shown in upper case (hexadecimal numbers)
    bool operator==(const TViewerColumn&) const = default;
};

// Headings joined by "|": a heading beginning with "^" is upper-cased, one
// beginning with a blank is right-aligned; the markers are not part of it.
std::vector<TViewerColumn> ParseHeadings(std::string_view Headings);

// One line of a section text.
struct TViewerLine {
    std::size_t Start = 0, Length = 0;
    bool Comment = false; // begins with ">>"
    bool operator==(const TViewerLine&) const = default;
};

// The lines of Text, split at CR (a CR LF pair ends one line) and at a lone
// LF; the last line runs to the end of the text.
std::vector<TViewerLine> SplitViewerLines(std::u16string_view Text);

// The column boundaries of fixed-width text: 1-based positions where the
// second and later columns begin. A boundary is a position where the longest
// line holds a blank, "=", "|" or ": ", and every other line reaching past it
// holds the same character; with Strict and more than one line of content at
// least two other lines must agree (a blank agrees when a non-blank follows
// it). The separator at each boundary is replaced by a blank in Text; a run of
// separators gives one start, after its last one. Comment lines take no part.
std::vector<int> FindColumnStarts(std::u16string& Text, const std::vector<TViewerLine>& Lines,
                                  bool Strict);

// The rows of Text: each line with a TAB in place of the character before
// each of the first ColumnCount - 1 starts that lies within it, trimmed of
// blanks at both ends; comment lines stay whole.
std::vector<std::u16string> MakeViewerRows(std::u16string_view Text,
                                           const std::vector<TViewerLine>& Lines,
                                           const std::vector<int>& Starts, std::size_t ColumnCount);

// The cells of a row for Columns: the text up to each TAB (the last column
// takes the rest); a cell beginning with ">>" loses its first three
// characters; cells are trimmed, control characters left in them become
// blanks, and upper-case columns are upper-cased. Missing cells are empty.
std::vector<std::string> ViewerCells(std::u16string_view Row,
                                     const std::vector<TViewerColumn>& Columns);

// The kinds of sections the viewer knows.
enum class TSectionKind : unsigned char {
    skGeneral,       // the report's header: cells from TABs in the text only
    skCallStack,     // a thread's stack (the "call stack" tab and thread sections)
    skCpuRegisters,  // "cpu registers"
    skStackDump,     // "stack dump"
    skModules,       // "modules"
    skProcesses,     // "processes"
    skDisassembling, // "disassembling"
    skText,          // anything else: shown as text, not as a list
};

// The kind of a section by its name; thread sections are not known by name
// (their names are the threads'), their caller says so.
TSectionKind SectionKindOf(std::string_view Name);

// The label of a section's tab.
std::string ViewerTabLabel(std::string_view Name);

// A cell whose text is this is drawn as a grey separator.
inline constexpr std::string_view ViewerSeparatorCell = ">>";

// A section as a list view shows it.
struct TViewerTable {
    bool IsList = false; // false: the section is shown as text
    bool FixedFont = false;
    std::vector<TViewerColumn> Columns;
    std::vector<std::vector<std::string>> Rows;
};

// The table of a section. A section still being calculated (">> will be ...")
// or an internal error (">> internal ...") is a list of its lines as single
// cells. In a thread's stack, a line beginning ">> created" (the creating
// thread's stack follows) becomes a separator row, and the creation stack's
// lines are cut at columns of their own and sorted into the same headings.
TViewerTable ViewSection(TSectionKind Kind, std::string_view Text);

// The report's header fields as the "general" view's text: one line per
// field, name and value separated by a TAB.
struct TViewerField {
    std::string Name, Value;
};
std::string GeneralViewText(const std::vector<TViewerField>& Fields);
