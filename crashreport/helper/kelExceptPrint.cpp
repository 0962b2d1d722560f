#include "crashreport/helper/kelExceptPrint.h"

#include "crashreport/kelExceptSettings.h"

#include <QFontMetrics>
#include <QMarginsF>
#include <QPageLayout>
#include <QPainter>
#include <QPrintDialog>
#include <QPrinter>

QFont ReportPrintFont()
{
    QFont Font("DejaVu Sans Mono");
    Font.setStyleHint(QFont::Monospace);
    Font.setPointSize(8);
    Font.setWeight(QFont::Normal);
    return Font;
}

namespace {

// One line wrapped into pieces of at most Width pixels.
void WrapLine(const QString& Line, const QFontMetrics& Metrics, int Width, QStringList& Out)
{
    QString Rest = Line;
    while (Metrics.horizontalAdvance(Rest) > Width && Rest.size() > 1) {
        // The longest start that fits (at least one character).
        qsizetype Low = 1, High = Rest.size();
        while (Low < High) {
            const qsizetype Mid = (Low + High + 1) / 2;
            if (Metrics.horizontalAdvance(Rest.left(Mid)) <= Width)
                Low = Mid;
            else
                High = Mid - 1;
        }
        // Break at the last blank of it, when there is one after the line's
        // indentation; else in the word.
        qsizetype Break = Low;
        qsizetype Blank = Rest.lastIndexOf(' ', Low);
        qsizetype Indent = 0;
        while (Indent < Rest.size() && Rest[Indent] == ' ')
            ++Indent;
        if (Blank > Indent) {
            Break = Blank;
            Out.append(Rest.left(Break));
            Rest = Rest.mid(Break + 1);
        } else {
            Out.append(Rest.left(Break));
            Rest = Rest.mid(Break);
        }
    }
    Out.append(Rest);
}

} // namespace

QStringList WrapReportLines(std::string_view Text, const QFont& Font, QPaintDevice* Device,
                            int Width)
{
    const QFontMetrics Metrics(Font, Device);
    QStringList Out;
    const QString All = QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()));
    for (QString Line : All.split('\n')) {
        if (Line.endsWith('\r'))
            Line.chop(1);
        Line.replace('\t', "        ");
        WrapLine(Line, Metrics, Width, Out);
    }
    // A report ends with its line end: no empty line after it.
    if (Out.size() > 1 && Out.back().isEmpty())
        Out.removeLast();
    return Out;
}

namespace {

void SetUpPrinter(QPrinter& Printer)
{
    Printer.setFullPage(false);
    Printer.setPageMargins(QMarginsF(20, 10, 10, 10), QPageLayout::Millimeter);
}

QRect PrintArea(QPrinter& Printer)
{
    return {QPoint(0, 0), Printer.pageLayout().paintRectPixels(Printer.resolution()).size()};
}

} // namespace

std::vector<QStringList> LayOutReport(std::string_view Text, QPrinter& Printer)
{
    SetUpPrinter(Printer);
    const QFont Font = ReportPrintFont();
    const QRect Area = PrintArea(Printer);
    const int LineHeight = QFontMetrics(Font, &Printer).lineSpacing();
    std::vector<QStringList> Pages(1);
    int Y = 0;
    for (const QString& Line : WrapReportLines(Text, Font, &Printer, Area.width())) {
        if (Y > 0 && Y + LineHeight > Area.height()) {
            // An empty line that would begin a page ends the last one.
            if (Line.isEmpty()) {
                Y = Area.height();
                continue;
            }
            Pages.emplace_back();
            Y = 0;
        }
        Pages.back().append(Line);
        Y += LineHeight;
    }
    return Pages;
}

int PrintReportOn(QPrinter& Printer, std::string_view Text, std::string_view DocumentName)
{
    const std::vector<QStringList> Pages = LayOutReport(Text, Printer);
    Printer.setDocName(
        QString::fromUtf8(DocumentName.data(), static_cast<qsizetype>(DocumentName.size())));
    QPainter Painter;
    if (!Painter.begin(&Printer))
        return 0;
    const QFont Font = ReportPrintFont();
    Painter.setFont(Font);
    const QFontMetrics Metrics(Font, &Printer);
    int Printed = 0;
    for (const QStringList& Page : Pages) {
        if (Printed > 0 && !Printer.newPage())
            break;
        ++Printed;
        int Y = 0;
        for (const QString& Line : Page) {
            if (!Line.isEmpty())
                Painter.drawText(0, Y + Metrics.ascent(), Line);
            Y += Metrics.lineSpacing();
        }
    }
    return Painter.end() ? Printed : 0;
}

bool PrintReport(std::string_view Text, const IKESettings& Settings, QWidget* Owner)
{
    QPrinter Printer(QPrinter::HighResolution);
    QPrintDialog Dialog(&Printer, Owner);
    Dialog.setOption(QAbstractPrintDialog::PrintToFile, false);
    Dialog.setOption(QAbstractPrintDialog::PrintSelection, false);
    Dialog.setOption(QAbstractPrintDialog::PrintPageRange, false);
    Dialog.setOption(QAbstractPrintDialog::PrintCurrentPage, false);
    Dialog.setWindowTitle(QString::fromStdString(Settings.GetTextSetting("PrintBtnTxt")));
    if (Dialog.exec() != QDialog::Accepted)
        return false;
    return PrintReportOn(Printer, Text, Settings.GetTextSetting("PrintBtnTxt")) > 0;
}
