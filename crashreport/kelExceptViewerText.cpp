#include "crashreport/kelExceptViewerText.h"

#include "crashlib/kelStrings.h"
#include "crashreport/kelExceptReport.h"

#include <algorithm>
#include <array>
#include <cctype>

namespace {

bool IsBlank(char16_t C)
{
    return C == u' ';
}

std::u16string_view TrimBlanks(std::u16string_view S)
{
    while (!S.empty() && IsBlank(S.front()))
        S.remove_prefix(1);
    while (!S.empty() && IsBlank(S.back()))
        S.remove_suffix(1);
    return S;
}

bool StartsWith(std::u16string_view S, std::u16string_view Prefix)
{
    return S.substr(0, Prefix.size()) == Prefix;
}

std::u16string_view LineText(std::u16string_view Text, const TViewerLine& L)
{
    return Text.substr(L.Start, L.Length);
}

} // namespace

std::vector<TViewerColumn> ParseHeadings(std::string_view Headings)
{
    std::vector<TViewerColumn> Columns;
    std::size_t At = 0;
    while (true) {
        const std::size_t Bar = Headings.find('|', At);
        std::string_view H = Headings.substr(At, Bar == std::string_view::npos ? Bar : Bar - At);
        TViewerColumn C;
        if (!H.empty() && H.front() == '^') {
            C.Upper = true;
            H.remove_prefix(1);
        }
        if (!H.empty() && H.front() == ' ') {
            C.Right = true;
            H.remove_prefix(1);
        }
        C.Heading = std::string(H);
        Columns.push_back(std::move(C));
        if (Bar == std::string_view::npos)
            break;
        At = Bar + 1;
    }
    return Columns;
}

std::vector<TViewerLine> SplitViewerLines(std::u16string_view Text)
{
    std::vector<TViewerLine> Lines;
    std::size_t Start = 0;
    auto Add = [&](std::size_t End) {
        TViewerLine L{Start, End - Start, false};
        L.Comment = StartsWith(LineText(Text, L), u">>");
        Lines.push_back(L);
    };
    for (std::size_t I = 0; I < Text.size(); ++I) {
        if (Text[I] == u'\r' || Text[I] == u'\n') {
            Add(I);
            if (Text[I] == u'\r' && I + 1 < Text.size() && Text[I + 1] == u'\n')
                ++I;
            Start = I + 1;
        }
    }
    Add(Text.size());
    return Lines;
}

std::vector<int> FindColumnStarts(std::u16string& Text, const std::vector<TViewerLine>& Lines,
                                  bool Strict)
{
    std::vector<int> Starts;
    const TViewerLine* Pattern = nullptr;
    std::size_t ContentLines = 0;
    for (const TViewerLine& L : Lines) {
        if (L.Comment)
            continue;
        if (L.Length > 0)
            ++ContentLines;
        if (!Pattern || L.Length > Pattern->Length)
            Pattern = &L;
    }
    if (!Pattern || Pattern->Length < 3)
        return Starts;
    // P is 1-based, as the starts are; the character at P is Line[P - 1].
    for (std::size_t P = 1; P + 2 <= Pattern->Length; ++P) {
        const char16_t C = Text[Pattern->Start + P - 1];
        const bool Candidate = IsBlank(C) || C == u'=' || C == u'|' ||
                               (C == u':' && IsBlank(Text[Pattern->Start + P]));
        if (!Candidate)
            continue;
        bool Boundary = true;
        int Agree = 0;
        for (const TViewerLine& L : Lines) {
            if (&L == Pattern || L.Comment || L.Length <= P)
                continue;
            if (Text[L.Start + P - 1] != C) {
                Boundary = false;
                break;
            }
            if (!IsBlank(C) || !IsBlank(Text[L.Start + P]))
                ++Agree;
        }
        if (!Boundary || (Strict && ContentLines > 1 && Agree < 2))
            continue;
        for (const TViewerLine& L : Lines)
            if (!L.Comment && L.Length >= P)
                Text[L.Start + P - 1] = u' ';
        const int Start = static_cast<int>(P) + 1;
        if (!Starts.empty() && Starts.back() == Start - 1)
            Starts.back() = Start;
        else
            Starts.push_back(Start);
    }
    return Starts;
}

std::vector<std::u16string> MakeViewerRows(std::u16string_view Text,
                                           const std::vector<TViewerLine>& Lines,
                                           const std::vector<int>& Starts, std::size_t ColumnCount)
{
    std::vector<std::u16string> Rows;
    Rows.reserve(Lines.size());
    for (const TViewerLine& L : Lines) {
        std::u16string Row(LineText(Text, L));
        if (!L.Comment) {
            // Cut where the columns are in the line as laid out; trimming
            // first would move a line that begins with blanks off its columns.
            for (std::size_t I = 0; I < Starts.size() && I + 1 < ColumnCount; ++I) {
                const std::size_t Before = static_cast<std::size_t>(Starts[I]) - 2;
                if (Starts[I] >= 2 && Before < Row.size())
                    Row[Before] = u'\t';
            }
        }
        Rows.emplace_back(TrimBlanks(Row));
    }
    return Rows;
}

std::vector<std::string> ViewerCells(std::u16string_view Row,
                                     const std::vector<TViewerColumn>& Columns)
{
    std::vector<std::string> Cells;
    Cells.reserve(Columns.size());
    for (std::size_t I = 0; I < Columns.size(); ++I) {
        std::u16string_view Cell;
        const std::size_t Tab = Row.find(u'\t');
        if (I + 1 == Columns.size() || Tab == std::u16string_view::npos) {
            Cell = Row;
            Row = {};
        } else {
            Cell = Row.substr(0, Tab);
            Row.remove_prefix(Tab + 1);
        }
        if (StartsWith(Cell, u">>"))
            Cell.remove_prefix(std::min<std::size_t>(3, Cell.size()));
        std::u16string Text(TrimBlanks(Cell));
        for (char16_t& Ch : Text)
            if (Ch < 0x20)
                Ch = u' ';
        if (Columns[I].Upper)
            for (char16_t& Ch : Text)
                if (Ch >= u'a' && Ch <= u'z')
                    Ch = static_cast<char16_t>(Ch - u'a' + u'A');
        Cells.push_back(WideToUtf8(Text));
    }
    return Cells;
}

TSectionKind SectionKindOf(std::string_view Name)
{
    static constexpr std::array<std::pair<std::string_view, TSectionKind>, 7> Known{{
        {"general", TSectionKind::skGeneral},
        {"call stack", TSectionKind::skCallStack},
        {"cpu registers", TSectionKind::skCpuRegisters},
        {"stack dump", TSectionKind::skStackDump},
        {"modules", TSectionKind::skModules},
        {"processes", TSectionKind::skProcesses},
        {"disassembling", TSectionKind::skDisassembling},
    }};
    for (const auto& [N, K] : Known)
        if (N == Name)
            return K;
    return TSectionKind::skText;
}

std::string ViewerTabLabel(std::string_view Name)
{
    if (Name == "cpu registers")
        return "cpu regs";
    if (Name == "disassembling")
        return "disasm";
    return std::string(Name);
}

std::string GeneralViewText(const std::vector<TViewerField>& Fields)
{
    std::string Text;
    for (const TViewerField& F : Fields) {
        if (!Text.empty())
            Text += "\r\n";
        Text += F.Name + "\t" + F.Value;
    }
    return Text;
}

namespace {

// A block of fixed-width lines cut into columns.
struct TCutBlock {
    std::vector<std::u16string> Rows;
    std::vector<bool> Comment;
    std::size_t Columns = 0;
};

TCutBlock CutBlock(std::u16string Text, const std::vector<int>* FixedStarts, std::size_t MaxColumns,
                   bool Strict = true)
{
    TCutBlock B;
    const std::vector<TViewerLine> Lines = SplitViewerLines(Text);
    const std::vector<int> Starts =
        FixedStarts ? *FixedStarts : FindColumnStarts(Text, Lines, Strict);
    B.Columns = std::min(Starts.size() + 1, MaxColumns);
    B.Rows = MakeViewerRows(Text, Lines, Starts, B.Columns);
    for (const TViewerLine& L : Lines)
        B.Comment.push_back(L.Comment);
    return B;
}

bool AllCells(const TCutBlock& B, std::size_t Column, bool (*Test)(std::string_view))
{
    bool Any = false;
    const std::vector<TViewerColumn> Plain(B.Columns);
    for (std::size_t R = 0; R < B.Rows.size(); ++R) {
        if (B.Comment[R] || B.Rows[R].empty())
            continue;
        const std::string Cell = ViewerCells(B.Rows[R], Plain)[Column];
        if (Cell.empty())
            continue;
        if (!Test(Cell))
            return false;
        Any = true;
    }
    return Any;
}

bool IsRelative(std::string_view S)
{
    return S.size() > 1 && S[0] == '+' &&
           std::all_of(S.begin() + 1, S.end(), [](char C) { return std::isxdigit(C) != 0; });
}

bool IsDecimal(std::string_view S)
{
    return std::all_of(S.begin(), S.end(), [](char C) { return C >= '0' && C <= '9'; });
}

// The headings of a stack's columns, from what each column holds: the
// address, then the offset in its module ("+hex"), the module, the source
// unit, the line number and the offset from the line's start, and the
// routine; any of the middle ones may be missing.
std::vector<std::string> StackHeadings(const TCutBlock& B)
{
    std::vector<std::string> H(B.Columns);
    if (B.Columns == 0)
        return H;
    H[0] = "^address";
    std::size_t Line = B.Columns;
    for (std::size_t C = 1; C < B.Columns; ++C)
        if (AllCells(B, C, IsDecimal)) {
            Line = C;
            break;
        }
    std::vector<std::size_t> Texts;
    for (std::size_t C = 1; C < B.Columns; ++C) {
        if (C == Line)
            H[C] = " line";
        else if (AllCells(B, C, IsRelative))
            H[C] = C < Line && C == 1 ? "^ rel." : " rel.";
        else
            Texts.push_back(C);
    }
    // The text columns: module and unit before the line number, the routine
    // last.
    static constexpr std::array<const char*, 3> Names{"module", "unit", "function"};
    if (!Texts.empty()) {
        H[Texts.back()] = "function";
        std::size_t N = 0;
        for (std::size_t I = 0; I + 1 < Texts.size(); ++I)
            H[Texts[I]] = N < 2 ? Names[N++] : "function";
    }
    return H;
}

std::string JoinHeadings(const std::vector<std::string>& H)
{
    std::string S;
    for (std::size_t I = 0; I < H.size(); ++I)
        S += (I ? "|" : "") + H[I];
    return S;
}

void AddRows(TViewerTable& T, const TCutBlock& B)
{
    for (const std::u16string& Row : B.Rows)
        T.Rows.push_back(ViewerCells(Row, T.Columns));
}

TViewerTable StackTable(std::string_view Text)
{
    // The thread's own stack, and after a ">> created" line the stack of the
    // thread that created it, each laid out with widths of its own.
    std::u16string Wide = Utf8ToWide(Text);
    std::u16string Created;
    std::u16string Rest;
    const std::vector<TViewerLine> Lines = SplitViewerLines(Wide);
    std::size_t Split = Lines.size();
    for (std::size_t I = 0; I < Lines.size(); ++I)
        if (StartsWith(LineText(Wide, Lines[I]), u">> created")) {
            Split = I;
            break;
        }
    std::u16string Own = Split < Lines.size() ? Wide.substr(0, Lines[Split].Start) : Wide;
    while (!Own.empty() && (Own.back() == u'\n' || Own.back() == u'\r'))
        Own.pop_back();
    if (Split < Lines.size()) {
        Created = std::u16string(LineText(Wide, Lines[Split]));
        const std::size_t After = Lines[Split].Start + Lines[Split].Length;
        Rest = Wide.substr(std::min(Wide.size(), After));
        while (!Rest.empty() && (Rest.front() == u'\n' || Rest.front() == u'\r'))
            Rest.erase(0, 1);
    }
    // A short stack whose last frame has no source line (its unit and line
    // columns blank) would have too few lines agreeing on those columns for
    // the strict rule; a stack of a few lines is cut without it.
    constexpr std::size_t MaxColumns = 7;
    auto StrictFor = [](const std::u16string& Block) {
        std::size_t N = 0;
        for (const TViewerLine& L : SplitViewerLines(Block))
            N += !L.Comment && L.Length > 0;
        return N >= 4;
    };
    const TCutBlock OwnBlock = CutBlock(Own, nullptr, MaxColumns, StrictFor(Own));
    TViewerTable T;
    T.IsList = true;
    std::vector<std::string> Headings = StackHeadings(OwnBlock);
    if (Headings.empty())
        Headings = {"^address"};
    T.Columns = ParseHeadings(JoinHeadings(Headings));
    AddRows(T, OwnBlock);
    if (Created.empty())
        return T;

    // The separator row: grey ">>" cells, the line itself in the last one.
    std::vector<std::string> Separator(T.Columns.size(), std::string(ViewerSeparatorCell));
    Separator.back() = WideToUtf8(TrimBlanks(std::u16string_view(Created).substr(3)));
    T.Rows.push_back(std::move(Separator));

    const TCutBlock CreatedBlock = CutBlock(Rest, nullptr, MaxColumns, StrictFor(Rest));
    const std::vector<std::string> CreatedHeadings = StackHeadings(CreatedBlock);
    const std::vector<TViewerColumn> CreatedColumns = ParseHeadings(JoinHeadings(
        CreatedHeadings.empty() ? std::vector<std::string>{"^address"} : CreatedHeadings));
    for (const std::u16string& Row : CreatedBlock.Rows) {
        const std::vector<std::string> Cells = ViewerCells(Row, CreatedColumns);
        std::vector<std::string> Placed(T.Columns.size());
        // Each cell goes under the heading of the same name (the first such
        // heading still free); a column the own stack lacks joins the cell
        // placed before it, as the own stack's cutting joined it there (a
        // line number beside a unit too wide to leave it a column).
        std::vector<bool> Used(T.Columns.size(), false);
        std::size_t Last = 0;
        for (std::size_t C = 0; C < Cells.size(); ++C) {
            std::size_t To = T.Columns.size();
            for (std::size_t K = 0; K < T.Columns.size(); ++K)
                if (!Used[K] && T.Columns[K] == CreatedColumns[C]) {
                    To = K;
                    break;
                }
            if (To == T.Columns.size()) {
                if (!Placed[Last].empty() && !Cells[C].empty())
                    Placed[Last] += ' ';
                Placed[Last] += Cells[C];
                continue;
            }
            Used[To] = true;
            Placed[To] = Cells[C];
            Last = To;
        }
        T.Rows.push_back(std::move(Placed));
    }
    return T;
}

TViewerTable CutTable(std::string_view Text, const std::vector<int>* FixedStarts,
                      std::string_view Headings, bool FixedFont)
{
    TViewerTable T;
    T.IsList = true;
    T.FixedFont = FixedFont;
    T.Columns = ParseHeadings(Headings);
    const TCutBlock B = CutBlock(Utf8ToWide(Text), FixedStarts, T.Columns.size());
    AddRows(T, B);
    return T;
}

} // namespace

TViewerTable ViewSection(TSectionKind Kind, std::string_view Text)
{
    if (Kind == TSectionKind::skText) {
        TViewerTable T;
        T.FixedFont = true;
        return T;
    }
    // A section still being calculated, or one whose calculation failed:
    // its lines as text rows.
    if (Text.substr(0, 10) == ">> will be" || Text.substr(0, 11) == ">> internal") {
        TViewerTable T;
        T.IsList = true;
        T.Columns = {TViewerColumn{}};
        const std::u16string Wide = Utf8ToWide(Text);
        for (const TViewerLine& L : SplitViewerLines(Wide))
            T.Rows.push_back(ViewerCells(LineText(Wide, L), T.Columns));
        return T;
    }
    switch (Kind) {
    case TSectionKind::skGeneral: {
        TViewerTable T;
        T.IsList = true;
        T.Columns = ParseHeadings("description|value");
        const std::u16string Wide = Utf8ToWide(Text);
        for (const TViewerLine& L : SplitViewerLines(Wide))
            T.Rows.push_back(ViewerCells(TrimBlanks(LineText(Wide, L)), T.Columns));
        return T;
    }
    case TSectionKind::skCallStack:
        return StackTable(Text);
    case TSectionKind::skCpuRegisters:
        return CutTable(Text, nullptr, "reg.|content", true);
    case TSectionKind::skStackDump: {
        static const std::vector<int> Fixed{StackDumpDataColumn, StackDumpCharsColumn};
        return CutTable(Text, &Fixed, "address|data - hexadecimal|data - chars", true);
    }
    case TSectionKind::skModules:
        return CutTable(Text, nullptr, "^handle|file name| version|path", false);
    case TSectionKind::skProcesses: {
        // The headings follow the number of columns the text has: the session
        // column is there only when a process runs in one, and the two counts
        // are the threads and the open files of each process.
        std::u16string Wide = Utf8ToWide(Text);
        const std::size_t Boundaries = FindColumnStarts(Wide, SplitViewerLines(Wide), true).size();
        std::string_view Headings = "^id|file name|priority|path";
        if (Boundaries == 4)
            Headings = "^id|file name|session|priority|path";
        else if (Boundaries == 5)
            Headings = "^id|file name|threads|open files|priority|path";
        else if (Boundaries >= 6)
            Headings = "^id|file name|session|threads|open files|priority|path";
        return CutTable(Text, nullptr, Headings, false);
    }
    case TSectionKind::skDisassembling: {
        std::u16string Wide = Utf8ToWide(Text);
        const std::vector<TViewerLine> Lines = SplitViewerLines(Wide);
        const std::vector<int> Starts = FindColumnStarts(Wide, Lines, true);
        TCutBlock B;
        B.Columns = Starts.size() + 1;
        B.Rows = MakeViewerRows(Wide, Lines, Starts, B.Columns);
        for (const TViewerLine& L : Lines)
            B.Comment.push_back(L.Comment);
        const bool Numbered = B.Columns > 3 && AllCells(B, 0, IsDecimal);
        return CutTable(Text, nullptr,
                        Numbered ? "line|address|asm code|comments" : "address|asm code|comments",
                        false);
    }
    default:
        return {};
    }
}
