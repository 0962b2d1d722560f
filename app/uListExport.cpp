#include "app/uListExport.h"

#include "platform/AtomicFile.h"
#include "platform/Utf8.h"
#include "settings/HTMLUtil.h"

#include <algorithm>
#include <cstring>
#include <langinfo.h>
#include <locale.h>

namespace {

constexpr const char* CRLF = "\r\n";

// The code points of a text; a malformed byte counts as U+FFFD, so that an
// odd name from the network never makes an export unreadable.
template <typename Fn> void ForEachCodePoint(const std::string& Text, Fn&& Visit)
{
    size_t Pos = 0;
    while (Pos < Text.size()) {
        char32_t Code = 0;
        const size_t Len = platform::DecodeUtf8(Text, Pos, Code);
        if (Len == 0) {
            Visit(U'\uFFFD');
            ++Pos;
        } else {
            Visit(Code);
            Pos += Len;
        }
    }
}

// Well-formed UTF-8: malformed bytes replaced.
std::string CleanUtf8(const std::string& Text)
{
    std::string Out;
    Out.reserve(Text.size());
    ForEachCodePoint(Text, [&](char32_t Code) { platform::AppendUtf8(Out, Code); });
    return Out;
}

void AppendUtf16(std::string& Out, char16_t Unit)
{
    Out.push_back(static_cast<char>(Unit & 0xFF));
    Out.push_back(static_cast<char>(Unit >> 8));
}

template <typename Fn> void ForEachUtf16Unit(const std::string& Text, Fn&& Visit)
{
    ForEachCodePoint(Text, [&](char32_t Code) {
        if (Code >= 0x10000) {
            const char32_t V = Code - 0x10000;
            Visit(static_cast<char16_t>(0xD800 + (V >> 10)));
            Visit(static_cast<char16_t>(0xDC00 + (V & 0x3FF)));
        } else {
            Visit(static_cast<char16_t>(Code));
        }
    });
}

// A cell of tab separated text: tabs and line breaks would split it.
std::string PlainCell(const std::string& Text)
{
    std::string Out = Text;
    for (char& C : Out)
        if (C == '\t' || C == '\r' || C == '\n')
            C = ' ';
    return Out;
}

std::string CsvCell(const std::string& Text, char Separator)
{
    if (Text.find_first_of(std::string{Separator, '"', '\r', '\n'}) == std::string::npos)
        return Text;
    std::string Out = "\"";
    for (char C : Text) {
        if (C == '"')
            Out += '"';
        Out += C;
    }
    return Out + '"';
}

std::string RtfText(const std::string& Text)
{
    std::string Out;
    bool AfterCR = false;
    ForEachUtf16Unit(Text, [&](char16_t Unit) {
        const bool WasCR = AfterCR;
        AfterCR = Unit == u'\r';
        if (Unit == u'\\' || Unit == u'{' || Unit == u'}') {
            Out += '\\';
            Out += static_cast<char>(Unit);
        } else if (Unit == u'\t') {
            Out += "\\tab ";
        } else if (Unit == u'\r' || (Unit == u'\n' && !WasCR)) {
            Out += "\\line ";
        } else if (Unit == u'\n') {
            // the LF of a CR LF: one line break
        } else if (Unit < 0x20) {
            // other control characters have no place in a document
        } else if (Unit < 0x80) {
            Out += static_cast<char>(Unit);
        } else {
            // \u takes a signed 16-bit number; "?" is the fallback that a
            // reader skips after it (\uc1). The group keeps readers that
            // skip a whole word after the character from eating the text
            // that follows.
            Out += "{\\u" + std::to_string(static_cast<int16_t>(Unit)) + "?}";
        }
    });
    return Out;
}

// Name part of a path: after the last "/".
size_t NameStart(const std::string& FileName)
{
    const size_t Slash = FileName.rfind('/');
    return Slash == std::string::npos ? 0 : Slash + 1;
}

std::string ChangeExtension(const std::string& FileName, const std::string& Extension)
{
    const size_t Start = NameStart(FileName);
    const size_t Dot = FileName.rfind('.');
    // A leading dot names a hidden file; it is no extension.
    if (Dot == std::string::npos || Dot <= Start)
        return FileName + Extension;
    return FileName.substr(0, Dot) + Extension;
}

} // namespace

TExportFormat ExportFormatOfFilterIndex(int FilterIndex)
{
    switch (FilterIndex) {
    case 1:
        return TExportFormat::Html;
    case 2:
        return TExportFormat::Unicode;
    case 3:
        return TExportFormat::Rtf;
    case 4:
        return TExportFormat::Csv;
    default:
        return TExportFormat::Text;
    }
}

std::string ExportFileName(const std::string& FileName, TExportFormat Format)
{
    switch (Format) {
    case TExportFormat::Html:
        if (FileName.find('.', NameStart(FileName)) == std::string::npos)
            return FileName + ".html";
        return FileName;
    case TExportFormat::Unicode:
        return ChangeExtension(FileName, ".uni");
    case TExportFormat::Rtf:
        return ChangeExtension(FileName, ".rtf");
    case TExportFormat::Csv:
        return ChangeExtension(FileName, ".csv");
    case TExportFormat::Text:
        break;
    }
    return ChangeExtension(FileName, ".txt");
}

std::string TableToHTML(const TExportTable& Table)
{
    auto Cell = [](const std::string& Text) { return HTMLEncode(CleanUtf8(Text)); };
    std::string Out = "<table border=\"1\" cellspacing=\"0\" cellpadding=\"2\">";
    Out += CRLF;
    Out += "<tr>";
    for (const std::string& Caption : Table.Captions)
        Out += "<th>" + Cell(Caption) + "</th>";
    Out += "</tr>";
    Out += CRLF;
    for (const TExportRow& Row : Table.Rows) {
        Out += "<tr>";
        for (size_t I = 0; I < Row.Cells.size(); ++I) {
            if (I == 0 && Row.Level > 0)
                Out += "<td style=\"padding-left:" + std::to_string(16 * Row.Level) + "px\">";
            else
                Out += "<td>";
            Out += Cell(Row.Cells[I]) + "</td>";
        }
        Out += "</tr>";
        Out += CRLF;
    }
    return Out + "</table>";
}

std::string ExportToHTML(const TExportTable& Table, const std::string& ProductName)
{
    std::string Out;
    Out += "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0//EN\">";
    Out += CRLF;
    Out += "<html>";
    Out += CRLF;
    Out += "  <head>";
    Out += CRLF;
    Out += "    <meta http-equiv=\"Content-Type\" content=\"text/html; charset=utf-8\">";
    Out += CRLF;
    Out += "    <title>" + HTMLEncode(CleanUtf8(ProductName)) + "</title>";
    Out += CRLF;
    Out += "  </head>";
    Out += CRLF;
    Out += "<body>";
    Out += CRLF;
    Out += TableToHTML(Table);
    Out += "</body></html>";
    return Out;
}

std::string ExportToUnicode(const TExportTable& Table)
{
    const std::string Text = ExportToText(Table, '\t', false);
    std::string Out;
    Out.reserve(Text.size() * 2);
    ForEachUtf16Unit(Text, [&](char16_t Unit) { AppendUtf16(Out, Unit); });
    return Out;
}

std::string ExportToRTF(const TExportTable& Table)
{
    size_t Columns = Table.Captions.size();
    for (const TExportRow& Row : Table.Rows)
        Columns = std::max(Columns, Row.Cells.size());
    // Every row states its cells' right edges (in twips, 4 cm each).
    std::string RowStart = "\\trowd\\trgaph70";
    for (size_t I = 1; I <= Columns; ++I)
        RowStart += "\\cellx" + std::to_string(2268 * I);

    std::string Out = "{\\rtf1\\ansi\\ansicpg1252\\deff0\\uc1{\\fonttbl{\\f0\\fswiss Arial;}}";
    Out += CRLF;
    Out += "\\pard\\plain\\f0\\fs20";
    Out += CRLF;
    Out += RowStart;
    for (size_t I = 0; I < Columns; ++I) {
        const std::string Caption = I < Table.Captions.size() ? Table.Captions[I] : "";
        Out += "\\pard\\intbl{\\b " + RtfText(Caption) + "}\\cell";
    }
    Out += "\\row";
    Out += CRLF;
    for (const TExportRow& Row : Table.Rows) {
        Out += RowStart;
        for (size_t I = 0; I < Columns; ++I) {
            Out += "\\pard\\intbl";
            if (I == 0 && Row.Level > 0)
                Out += "\\li" + std::to_string(240 * Row.Level);
            Out += " ";
            if (I < Row.Cells.size())
                Out += RtfText(Row.Cells[I]);
            Out += "\\cell";
        }
        Out += "\\row";
        Out += CRLF;
    }
    Out += "\\pard\\par}";
    Out += CRLF;
    return Out;
}

std::string ExportToText(const TExportTable& Table, char Separator, bool Quote)
{
    auto Line = [&](const std::vector<std::string>& Cells) {
        std::string Out;
        for (size_t I = 0; I < Cells.size(); ++I) {
            if (I > 0)
                Out += Separator;
            const std::string Text = CleanUtf8(Cells[I]);
            Out += Quote ? CsvCell(Text, Separator) : PlainCell(Text);
        }
        return Out + CRLF;
    };
    std::string Out = Line(Table.Captions);
    for (const TExportRow& Row : Table.Rows)
        Out += Line(Row.Cells);
    return Out;
}

char ListSeparatorOfLocale(const char* LocaleName)
{
    // glibc keeps no list separator; where numbers are written with a
    // decimal comma, spreadsheets expect ";" between fields.
    locale_t Locale = ::newlocale(LC_NUMERIC_MASK, LocaleName, static_cast<locale_t>(0));
    if (Locale == static_cast<locale_t>(0))
        return ',';
    const char* Point = ::nl_langinfo_l(RADIXCHAR, Locale);
    const bool DecimalComma = Point && std::strcmp(Point, ",") == 0;
    ::freelocale(Locale);
    return DecimalComma ? ';' : ',';
}

std::string JoinCopyCells(const std::vector<std::string>& Cells, char Separator)
{
    std::string R;
    for (const auto& C : Cells) {
        if (C.empty())
            continue;
        if (!R.empty())
            R += Separator;
        R += C;
    }
    return R;
}

std::string JoinCopyLines(const std::vector<std::string>& Lines)
{
    std::string R;
    for (const auto& L : Lines) {
        if (L.empty())
            continue;
        if (!R.empty())
            R += CRLF;
        R += L;
    }
    return R;
}

std::string ExportContent(const TExportTable& Table, TExportFormat Format,
                          const std::string& ProductName, char ListSeparator)
{
    switch (Format) {
    case TExportFormat::Html:
        return ExportToHTML(Table, ProductName);
    case TExportFormat::Unicode:
        return ExportToUnicode(Table);
    case TExportFormat::Rtf:
        return ExportToRTF(Table);
    case TExportFormat::Csv:
        return ExportToText(Table, ListSeparator, true);
    case TExportFormat::Text:
        break;
    }
    return ExportToText(Table, '\t', false);
}

std::string ExportTableToFile(const TExportTable& Table, const std::string& FileName,
                              int FilterIndex, const std::string& ProductName, char ListSeparator)
{
    const TExportFormat Format = ExportFormatOfFilterIndex(FilterIndex);
    const std::string Target = ExportFileName(FileName, Format);
    platform::ReplaceFileAtomically(Target,
                                    ExportContent(Table, Format, ProductName, ListSeparator));
    return Target;
}
