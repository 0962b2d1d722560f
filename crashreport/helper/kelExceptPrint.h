// Printing a bug report: the printer dialog (no printing to a file, no
// selection, no page range), then the report in DejaVu Sans Mono 8 pt inside
// margins of 20 mm at the left and 10 mm elsewhere, line by line: each line
// of the report wrapped at word boundaries to the width (a word longer than
// the width is broken where it must), an empty line printed as a blank one,
// and a new page when the next line would cross the bottom margin (no page
// begins with an empty line). The
// print job is named after "PrintBtnTxt".
#pragma once

#include <QFont>
#include <QStringList>

#include <string_view>
#include <vector>

class IKESettings;
class QPaintDevice;
class QPrinter;
class QWidget;

// The font reports are printed in.
QFont ReportPrintFont();

// The report's lines as they are printed: cut at line ends (CR LF or LF),
// each wrapped so that no piece is wider than Width pixels of Device in
// Font. The blank that a line was broken at is dropped.
QStringList WrapReportLines(std::string_view Text, const QFont& Font, QPaintDevice* Device,
                            int Width);

// The report's pages as Printer prints them (its margins are set here):
// the wrapped lines, as many on a page as fit above the bottom margin.
std::vector<QStringList> LayOutReport(std::string_view Text, QPrinter& Printer);

// Prints on a printer that is set up (the dialog's, or a PDF file's):
// margins, font, the job's name. The number of pages printed; 0 when the
// printer could not be started.
int PrintReportOn(QPrinter& Printer, std::string_view Text, std::string_view DocumentName);

// Asks with the printer dialog (owned by Owner) and prints; false when the
// user cancelled or the printer failed.
bool PrintReport(std::string_view Text, const IKESettings& Settings, QWidget* Owner);
