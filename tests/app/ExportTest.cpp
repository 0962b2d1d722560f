// The export formats, read back by readers of their own (Python's html.parser
// and csv, UTF-16 decoding, unrtf), so that a fault in our writer cannot hide
// behind the same fault in a reader of ours.
#include "app/uListExport.h"
#include "platform/AtomicFile.h"

#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace {

using Rows = std::vector<std::vector<std::string>>;

std::string Unhex(const std::string& Hex)
{
    std::string Out;
    for (size_t I = 0; I + 1 < Hex.size(); I += 2)
        Out += static_cast<char>(std::stoi(Hex.substr(I, 2), nullptr, 16));
    return Out;
}

// The rows the independent reader finds in File.
Rows ReadBack(const std::string& Kind, const std::string& File, const std::string& Extra = "")
{
    const char* Source = std::getenv("TOLVEX_SOURCE_DIR");
    if (!Source)
        throw std::runtime_error("TOLVEX_SOURCE_DIR is not set");
    const std::string Command = "/usr/bin/python3 '" + std::string(Source) +
                                "/tests/app/export_reader.py' " + Kind + " '" + File + "' " + Extra;
    FILE* P = ::popen(Command.c_str(), "r");
    if (!P)
        throw std::runtime_error("popen failed");
    std::string Out;
    char Buf[4096];
    size_t N;
    while ((N = std::fread(Buf, 1, sizeof Buf, P)) > 0)
        Out.append(Buf, N);
    if (::pclose(P) != 0)
        throw std::runtime_error("reader failed for " + File + ": " + Out);
    Rows Result;
    std::istringstream Lines(Out);
    std::string Line;
    while (std::getline(Lines, Line)) {
        std::vector<std::string> Cells;
        std::istringstream Words(Line);
        std::string Word;
        while (Words >> Word)
            Cells.push_back(Unhex(Word.substr(1)));
        Result.push_back(Cells);
    }
    return Result;
}

// Captions in display order (MAC before IP), a single-address computer, a
// computer of several adapters with its child rows, and the texts that each
// format has to escape. Characters beyond U+FFFF are checked byte by byte
// further down: unrtf turns a surrogate pair into two unknown characters, and
// a cell that begins with a non-ASCII character ahead of its cell.
TExportTable SampleTable()
{
    TExportTable T;
    T.Captions = {"Computer", "MAC Address", "IP Address", "Vendor", "Comment"};
    T.Rows.push_back(
        {0, {"PC1 (10.0.0.5)", "00-1a-2b-3c-4d-5e", "10.0.0.5", "AT&T <b>", "say \"hi\"; ok"}});
    T.Rows.push_back({0, {"Büro-Rechner", "", "10.0.0.6", "", ""}});
    T.Rows.push_back({1,
                      {"Intel® PRO/1000 {x} \\ y", "00-AA-BB-CC-DD-EE", "10.0.0.6, 10.1.0.6",
                       "Foo, Inc.", "Notiz: 日本 € ✓"}});
    T.Rows.push_back({1, {"eth1", "00-AA-BB-CC-DD-EF", "", "&amp; stays", "a'b"}});
    return T;
}

Rows Expected(const TExportTable& T)
{
    Rows R{T.Captions};
    for (const TExportRow& Row : T.Rows)
        R.push_back(Row.Cells);
    return R;
}

struct FormatCase {
    int FilterIndex;
    const char* Kind;
    const char* Extension;
};

class ExportReadBack : public ::testing::TestWithParam<FormatCase> {};

TEST_P(ExportReadBack, HeaderRowsAndCellTextsComeBackExactly)
{
    TempFolder Dir;
    const TExportTable Table = SampleTable();
    const std::string Written =
        ExportTableToFile(Table, Dir.Path("report"), GetParam().FilterIndex, "Tolvex", ',');
    EXPECT_EQ(Written, Dir.Path(std::string("report") + GetParam().Extension));
    const std::string Extra = GetParam().FilterIndex == 4 ? std::string("','") : "";
    EXPECT_EQ(ReadBack(GetParam().Kind, Written, Extra), Expected(Table));
}

INSTANTIATE_TEST_SUITE_P(Formats, ExportReadBack,
                         ::testing::Values(FormatCase{1, "html", ".html"},
                                           FormatCase{2, "uni", ".uni"},
                                           FormatCase{3, "rtf", ".rtf"},
                                           FormatCase{4, "csv", ".csv"},
                                           FormatCase{5, "txt", ".txt"}),
                         [](const auto& Info) { return std::string(Info.param.Kind); });

TEST(ExportHtml, FrameLinesAreExactAndTheTitleIsEscaped)
{
    TExportTable T;
    T.Captions = {"A"};
    T.Rows.push_back({0, {"x"}});
    const std::string Html = ExportToHTML(T, "Tolvex <&>");
    const std::string Frame = "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\">\r\n"
                              "<html>\r\n"
                              "  <head>\r\n"
                              "    <meta http-equiv=\"Content-Type\" content=\"text/html; "
                              "charset=utf-8\">\r\n"
                              "    <title>Tolvex &lt;&amp;&gt;</title>\r\n"
                              "  </head>\r\n"
                              "<body>\r\n";
    ASSERT_EQ(Html.substr(0, Frame.size()), Frame);
    EXPECT_EQ(Html.substr(Frame.size()), TableToHTML(T) + "</body></html>");
    // Every line break is CR LF, and none follows the last line.
    for (size_t I = 0; I < Html.size(); ++I) {
        if (Html[I] == '\n') {
            EXPECT_EQ(Html[I - 1], '\r') << "at " << I;
        }
    }
    EXPECT_NE(Html.back(), '\n');
}

TEST(ExportHtml, ChildRowsAreIndentedAndMalformedBytesDoNotBreakTheFile)
{
    TExportTable T;
    T.Captions = {"Computer"};
    T.Rows.push_back({0, {"top"}});
    T.Rows.push_back({1, {std::string("bad \xC3 byte")}});
    const std::string Html = TableToHTML(T);
    EXPECT_NE(Html.find("<td style=\"padding-left:16px\">bad \xEF\xBF\xBD byte</td>"),
              std::string::npos)
        << Html;
    EXPECT_NE(Html.find("<tr><td>top</td></tr>"), std::string::npos) << Html;
}

TEST(ExportUnicode, TwoBytesPerCharacterWithoutByteOrderMark)
{
    TExportTable T;
    T.Captions = {"A", "€"};
    T.Rows.push_back({0, {"😀", ""}});
    const std::string Bytes = ExportToUnicode(T);
    const std::string Want = std::string("A\0\t\0\xAC\x20\r\0\n\0", 10) +
                             std::string("\x3D\xD8\x00\xDE\t\0\r\0\n\0", 10);
    EXPECT_EQ(Bytes, Want);
}

TEST(ExportText, CsvQuotesWhatNeedsItAndTabTextKeepsItsColumns)
{
    TExportTable T;
    T.Captions = {"Name", "Comment"};
    T.Rows.push_back({0, {"a;b", "two\r\nlines, \"quoted\""}});
    T.Rows.push_back({0, {"tab\there", "plain"}});
    EXPECT_EQ(ExportToText(T, ';', true), "Name;Comment\r\n"
                                          "\"a;b\";\"two\r\nlines, \"\"quoted\"\"\"\r\n"
                                          "tab\there;plain\r\n");
    EXPECT_EQ(ExportToText(T, ',', true), "Name,Comment\r\n"
                                          "a;b,\"two\r\nlines, \"\"quoted\"\"\"\r\n"
                                          "tab\there,plain\r\n");
    EXPECT_EQ(ExportToText(T, '\t', false), "Name\tComment\r\n"
                                            "a;b\ttwo  lines, \"quoted\"\r\n"
                                            "tab here\tplain\r\n");

    TempFolder Dir;
    TempFolder::Write(Dir.Path("x.csv"), ExportToText(T, ';', true));
    EXPECT_EQ(
        ReadBack("csv", Dir.Path("x.csv"), "';'"),
        (Rows{{"Name", "Comment"}, {"a;b", "two\r\nlines, \"quoted\""}, {"tab\there", "plain"}}));
}

TEST(ExportRtf, SpecialCharactersAreEscaped)
{
    TExportTable T;
    T.Captions = {"{A}"};
    T.Rows.push_back({0, {"\\ é 😀 Я"}});
    const std::string Rtf = ExportToRTF(T);
    EXPECT_NE(Rtf.find("{\\b \\{A\\}}\\cell"), std::string::npos) << Rtf;
    EXPECT_NE(Rtf.find(" \\\\ {\\u233?} {\\u-10179?}{\\u-8704?} {\\u1071?}\\cell"),
              std::string::npos)
        << Rtf;
    for (unsigned char C : Rtf) {
        EXPECT_LT(C, 0x80);
    }
}

TEST(ExportFileNames, HtmlAppendsOnlyWithoutDotInTheNameOthersChangeTheExtension)
{
    EXPECT_EQ(ExportFileName("report", TExportFormat::Html), "report.html");
    EXPECT_EQ(ExportFileName("report.v2", TExportFormat::Html), "report.v2");
    EXPECT_EQ(ExportFileName("/home/a.b/report", TExportFormat::Html), "/home/a.b/report.html");
    EXPECT_EQ(ExportFileName("/home/a.b/report.htm", TExportFormat::Html), "/home/a.b/report.htm");
    EXPECT_EQ(ExportFileName("report.txt", TExportFormat::Csv), "report.csv");
    EXPECT_EQ(ExportFileName("/home/a.b/report", TExportFormat::Csv), "/home/a.b/report.csv");
    EXPECT_EQ(ExportFileName("list.tar.gz", TExportFormat::Unicode), "list.tar.uni");
    EXPECT_EQ(ExportFileName("/tmp/.hidden", TExportFormat::Rtf), "/tmp/.hidden.rtf");
    EXPECT_EQ(ExportFileName("report.html", TExportFormat::Text), "report.txt");
    EXPECT_EQ(ExportFormatOfFilterIndex(0), TExportFormat::Text);
    EXPECT_EQ(ExportFormatOfFilterIndex(6), TExportFormat::Text);
    EXPECT_EQ(ExportFormatOfFilterIndex(3), TExportFormat::Rtf);
}

TEST(ExportFiles, AnOldFileIsReplacedAndAFailedWriteRaises)
{
    TempFolder Dir;
    TempFolder::Write(Dir.Path("r.csv"), std::string(10000, 'o'));
    TExportTable T;
    T.Captions = {"A"};
    ExportTableToFile(T, Dir.Path("r.txt"), 4, "Tolvex");
    EXPECT_EQ(TempFolder::Read(Dir.Path("r.csv")), "A\r\n");
    EXPECT_THROW(ExportTableToFile(T, Dir.Path("missing/r"), 1, "Tolvex"), platform::EFileError);
}

TEST(ExportCsv, ListSeparatorFollowsTheLocalesDecimalSeparator)
{
    EXPECT_EQ(ListSeparatorOfLocale("C"), ',');
    EXPECT_EQ(ListSeparatorOfLocale("no_SUCH.locale"), ',');
    // A German locale, compiled into a folder of our own.
    TempFolder Dir;
    const std::string Make =
        "localedef -i de_DE -f UTF-8 '" + Dir.Path("de_DE.UTF-8") + "' >/dev/null 2>&1";
    if (std::system(Make.c_str()) != 0)
        GTEST_SKIP() << "localedef cannot build de_DE (package locales)";
    const char* Old = std::getenv("LOCPATH");
    const std::string Saved = Old ? Old : "";
    ::setenv("LOCPATH", Dir.Path().c_str(), 1);
    const char German = ListSeparatorOfLocale("de_DE.UTF-8");
    Old ? ::setenv("LOCPATH", Saved.c_str(), 1) : ::unsetenv("LOCPATH");
    EXPECT_EQ(German, ';');
}

} // namespace
