// Printing a report to a PDF printer (the seam past the printer dialog), read
// back by poppler (print_oracle.py): the lines as we wrapped them, page
// breaks, margins, the font and the job's name.
#include "crashreport/helper/kelExceptPrint.h"
#include "tests/crashreport/Command.h"
#include "tests/crashreport/helper/HelperTestApp.h"
#include "tests/support/TempFolder.h"

#include <QPrinter>

#include <gtest/gtest.h>

namespace {

const std::string Oracle = std::string(TOLVEX_CRASHREPORT_TEST_DIR) + "/helper/print_oracle.py";

std::string Json(const QString& S)
{
    std::string J = "\"";
    for (const char C : S.toStdString()) {
        if (C == '"' || C == '\\')
            J += '\\';
        J += C;
    }
    return J + "\"";
}

struct TPrinted {
    int Pages = 0;
    QStringList Lines;
    TCommandResult Check;
};

// Prints Text into a PDF of the given page size and checks it.
TPrinted Print(const std::string& Text, QPageSize::PageSizeId Size = QPageSize::A4)
{
    App();
    TempFolder Tmp;
    TPrinted P;
    QPrinter Printer(QPrinter::HighResolution);
    Printer.setOutputFormat(QPrinter::PdfFormat);
    Printer.setOutputFileName(QString::fromStdString(Tmp.Path("report.pdf")));
    Printer.setPageSize(QPageSize(Size));
    P.Pages = PrintReportOn(Printer, Text, "print bug report");
    std::string Pages;
    for (const QStringList& Page : LayOutReport(Text, Printer)) {
        std::string Lines;
        for (const auto& L : Page) {
            Lines += (Lines.empty() ? "" : ",") + Json(L);
            P.Lines.append(L);
        }
        Pages += (Pages.empty() ? "[" : ",[") + Lines + "]";
    }
    TempFolder::Write(Tmp.Path("spec.json"),
                      "{\"pages\":[" + Pages +
                          "],\"title\":\"print bug report\",\"font\":\"DejaVuSansMono\","
                          "\"left\":20,\"top\":10,\"right\":10,\"bottom\":10}");
    P.Check = RunCommand("/usr/bin/python3 " + Quote(Oracle) + " " + Quote(Tmp.Path("report.pdf")) +
                         " " + Quote(Tmp.Path("spec.json")) + " 2>&1");
    return P;
}

} // namespace

// A report with an empty line, indented lines, a line of words wider than
// the page and a word wider than it: as wrapped, inside the margins.
TEST(CrashreportPrint, LinesAndMargins)
{
    std::string Long;
    for (int I = 0; I < 60; ++I)
        Long += "word" + std::to_string(I) + " ";
    const std::string Text = "date/time          : 2024-03-09, 14:05:09, 7ms\r\n"
                             "exception message  : Access violation\r\n\r\n"
                             "main thread ($1f2e):\r\n"
                             "  00401234 +012 tolvex  engine/uGetMac.cpp  120 +3 TGetMac::Run\r\n" +
                             Long + "\r\n" + std::string(300, 'x') + "\r\n\r\nend\r\n";
    const auto P = Print(Text);
    EXPECT_EQ(P.Check.Status, 0) << P.Check.Output;
    EXPECT_EQ(P.Pages, 1);
    // The long lines were wrapped, the report's own lines kept.
    EXPECT_GT(P.Lines.size(), 11);
    EXPECT_EQ(P.Lines[2], "");
    EXPECT_TRUE(P.Lines.contains("end"));
}

// Many lines: new pages at the bottom margin, on two page sizes.
TEST(CrashreportPrint, PageBreaks)
{
    std::string Text;
    for (int I = 0; I < 250; ++I)
        Text += "line " + std::to_string(I) + (I % 7 == 0 ? "\r\n\r\n" : "\r\n");
    for (const auto Size : {QPageSize::A4, QPageSize::A5}) {
        const auto P = Print(Text, Size);
        EXPECT_EQ(P.Check.Status, 0) << P.Check.Output;
        EXPECT_GT(P.Pages, 1);
        for (int I = 0; I < 250; ++I)
            EXPECT_TRUE(P.Lines.contains(QString("line %1").arg(I))) << I;
    }
}
