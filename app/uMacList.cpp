#include "uMacList.h"

#include "AtomicFile.h"
#include "NetUtil.h"
#include "Utf8.h"
#include "VirtualTrees.h"
#include "uEngineOptions.h"

#include <QLocale>
#include <QString>

#include <cerrno>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <iterator>

namespace {

std::string LowerAscii(std::string_view Text)
{
    std::string R(Text);
    for (char& C : R)
        if (C >= 'A' && C <= 'Z')
            C = static_cast<char>(C - 'A' + 'a');
    return R;
}

bool IsAscii(std::string_view Text)
{
    for (const char C : Text)
        if (static_cast<unsigned char>(C) >= 0x80)
            return false;
    return true;
}

int Sign(int Value)
{
    return Value < 0 ? -1 : (Value > 0 ? 1 : 0);
}

// The first address of an adapter's list ("a, b"), so that an adapter with
// two addresses sorts by its first one instead of as no address at all.
std::string FirstAddress(const std::string& List)
{
    const size_t Comma = List.find(',');
    std::string R = List.substr(0, Comma);
    while (!R.empty() && R.back() == ' ')
        R.pop_back();
    return R;
}

// Comments are one line each in their file; a line break in one would split
// it into a second, nameless line.
std::string OneLine(const std::string& Text)
{
    std::string R = Text;
    for (char& C : R)
        if (C == '\r' || C == '\n')
            C = ' ';
    return R;
}

} // namespace

// --- TMacComments ---------------------------------------------------------------

std::string TMacComments::Get(const std::string& Mac) const
{
    if (Mac.empty())
        return {};
    const auto It = FIndex.find(LowerAscii(Mac));
    if (It == FIndex.end())
        return {};
    const std::string& Line = FLines[It->second];
    return Line.substr(Line.find('=') + 1);
}

bool TMacComments::Set(const std::string& Mac, const std::string& Comment)
{
    if (Mac.empty())
        return false;
    const std::string Value = OneLine(Comment);
    const std::string Key = LowerAscii(Mac);
    const auto It = FIndex.find(Key);
    if (It == FIndex.end()) {
        if (Value.empty())
            return false;
        FLines.push_back(Mac + "=" + Value);
        FIndex.emplace(Key, FLines.size() - 1);
        return true;
    }
    std::string& Line = FLines[It->second];
    if (Value.empty()) {
        FLines.erase(FLines.begin() + static_cast<std::ptrdiff_t>(It->second));
        Reindex();
        return true;
    }
    const std::string New = Line.substr(0, Line.find('=')) + "=" + Value;
    if (New == Line)
        return false;
    Line = New;
    return true;
}

void TMacComments::Clear()
{
    FLines.clear();
    FIndex.clear();
}

void TMacComments::Reindex()
{
    FIndex.clear();
    for (size_t I = 0; I < FLines.size(); ++I) {
        const size_t Eq = FLines[I].find('=');
        if (Eq == std::string::npos || Eq == 0)
            continue;
        FIndex.emplace(LowerAscii(std::string_view(FLines[I]).substr(0, Eq)), I);
    }
}

void TMacComments::LoadFromText(std::string_view Text)
{
    FLines = platform::SplitTextLines(Text);
    Reindex();
}

std::string TMacComments::Text() const
{
    std::string R;
    for (const auto& L : FLines) {
        R += L;
        R += "\r\n";
    }
    return R;
}

void TMacComments::LoadFromFile(const std::string& FileName)
{
    std::error_code Ec;
    if (!std::filesystem::exists(FileName, Ec)) {
        Clear();
        return;
    }
    LoadFromText(platform::ReadWholeFile(FileName));
}

void TMacComments::SaveToFile(const std::string& FileName) const
{
    platform::ReplaceFileAtomically(FileName, Text());
}

// --- Result rows ------------------------------------------------------------------

const TMacAddress* ShownAdapter(const TComputer& Computer)
{
    return (Computer.Single && !Computer.AdapterList.empty()) ? Computer.AdapterList.front().get()
                                                              : nullptr;
}

namespace {

std::string CommentOf(const TMacListContext& Context, const std::string& Mac)
{
    return Context.Comments ? Context.Comments->Get(Mac) : std::string();
}

std::string AdapterText(const TMacAddress& A, int Column, const TMacListContext& Context)
{
    switch (Column) {
    case 0:
        return A.Name;
    case 1:
        return A.IPAddress;
    case 2:
        return A.Number;
    case 3:
        return A.Vendor;
    case 4:
        return CommentOf(Context, A.Number);
    default:
        return {};
    }
}

} // namespace

std::string GetMacListText(const TMacListData* Row, int Column, const TMacListContext& Context)
{
    if (!Row)
        return {};
    if (Row->Adapter)
        return AdapterText(*Row->Adapter, Column, Context);
    if (!Row->Computer)
        return {};
    const TComputer& C = *Row->Computer;
    switch (Column) {
    case 0:
        return GetComputerCaption(C.Name, C.IP, Context.Column1Visible ? ccsName : Context.Style);
    case 1:
        return C.IP;
    case 2:
    case 3:
    case 4:
        if (const TMacAddress* A = ShownAdapter(C))
            return AdapterText(*A, Column, Context);
        return {};
    default:
        return {};
    }
}

std::string GetNodeMac(const TMacListData* Row)
{
    if (!Row)
        return {};
    if (Row->Adapter)
        return Row->Adapter->Number;
    if (Row->Computer)
        if (const TMacAddress* A = ShownAdapter(*Row->Computer))
            return A->Number;
    return {};
}

int GetMacListImageIndex(const TMacListData* Row, int Column)
{
    if (!Row || Column != 0)
        return -1;
    if (Row->Adapter)
        return 1;
    return Row->Computer ? 0 : -1;
}

int CompareTextNoCase(std::string_view A, std::string_view B)
{
    if (IsAscii(A) && IsAscii(B))
        return Sign(LowerAscii(A).compare(LowerAscii(B)));
    return Sign(QString::fromUtf8(A.data(), static_cast<qsizetype>(A.size()))
                    .compare(QString::fromUtf8(B.data(), static_cast<qsizetype>(B.size())),
                             Qt::CaseInsensitive));
}

bool TextMatchesFilter(std::string_view Text, std::string_view Filter)
{
    if (Filter.empty())
        return true;
    if (IsAscii(Text) && IsAscii(Filter))
        return LowerAscii(Text).find(LowerAscii(Filter)) != std::string::npos;
    return QString::fromUtf8(Text.data(), static_cast<qsizetype>(Text.size()))
        .contains(QString::fromUtf8(Filter.data(), static_cast<qsizetype>(Filter.size())),
                  Qt::CaseInsensitive);
}

int CompareAdapterRows(const TMacAddress& A1, const TMacAddress& A2, int Column,
                       const TMacListContext& Context)
{
    switch (Column) {
    case 0:
        return CompareTextNoCase(A1.Name, A2.Name);
    case 1:
        return CompareIP(FirstAddress(A1.IPAddress), FirstAddress(A2.IPAddress));
    case 2:
        return CompareTextNoCase(A1.Number, A2.Number);
    case 3:
        return CompareTextNoCase(A1.Vendor, A2.Vendor);
    case 4:
        return CompareTextNoCase(CommentOf(Context, A1.Number), CommentOf(Context, A2.Number));
    default:
        return 0;
    }
}

int CompareComputerRows(const TComputer& C1, const TComputer& C2, int Column,
                        const TMacListContext& Context)
{
    switch (Column) {
    case 0:
        return Sign(CompareComputers(C1, C2, Context.Style));
    case 1:
        return CompareIP(C1.IP, C2.IP);
    case 2:
    case 3:
    case 4: {
        // A computer that shows no adapter in its row sorts as the empty
        // cell it shows. Counting it equal to every row instead would make
        // the order inconsistent (a < b, yet both equal to it), and then no
        // sort can give a defined result.
        const TMacAddress* A1 = ShownAdapter(C1);
        const TMacAddress* A2 = ShownAdapter(C2);
        if (A1 && A2)
            return CompareAdapterRows(*A1, *A2, Column, Context);
        if (!A1 && !A2)
            return 0;
        const TMacAddress Empty;
        return CompareAdapterRows(A1 ? *A1 : Empty, A2 ? *A2 : Empty, Column, Context);
    }
    default:
        return 0;
    }
}

int CompareMacListRows(const TMacListData* Row1, const TMacListData* Row2, int Column,
                       const TMacListContext& Context)
{
    if (!Row1 || !Row2)
        return 0;
    if (Row1->Adapter && Row2->Adapter)
        return CompareAdapterRows(*Row1->Adapter, *Row2->Adapter, Column, Context);
    if (!Row1->Adapter && !Row2->Adapter && Row1->Computer && Row2->Computer)
        return CompareComputerRows(*Row1->Computer, *Row2->Computer, Column, Context);
    return 0;
}

void NextHeaderSort(int Clicked, int& SortColumn, int& SortDirection)
{
    if (Clicked == SortColumn) {
        if (SortDirection == 0) {
            SortDirection = 1;
        } else {
            SortColumn = -1;
            SortDirection = 0;
        }
    } else {
        SortColumn = Clicked;
        SortDirection = 0;
    }
}

// --- Copying ------------------------------------------------------------------------

char ListSeparatorFor(char DecimalPoint)
{
    return DecimalPoint == ',' ? ';' : ',';
}

char LocaleListSeparator()
{
    const QString Point = QLocale::system().decimalPoint();
    return ListSeparatorFor(Point.size() == 1 ? Point.at(0).toLatin1() : '.');
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
            R += "\r\n";
        R += L;
    }
    return R;
}

// --- Log rows --------------------------------------------------------------------------

double NowAsDateTime()
{
    const std::time_t T = std::time(nullptr);
    std::tm Local{};
    localtime_r(&T, &Local);
    const auto Since =
        std::chrono::system_clock::now().time_since_epoch() + std::chrono::seconds(Local.tm_gmtoff);
    const double Days = std::chrono::duration<double>(Since).count() / 86400.0;
    return Days + 25569.0; // 1970-01-01 as a day count since 1899-12-30
}

int GetLogImageIndex(const TTreeLogTaskData* Entry)
{
    return (Entry && Entry->Kind >= 0 && Entry->Kind <= 3) ? Entry->Kind : -1;
}

// --- TResultList ----------------------------------------------------------------------

TResultList::TResultList(TVirtualStringTree& Tree, TMacComments& Comments)
    : FTree(Tree), FComments(Comments)
{
    FTree.OnGetText = [this](TVirtualNode* N, int C) { return Text(N, C); };
    FTree.OnGetHint = [this](TVirtualNode* N, int C) { return Text(N, C); };
    FTree.OnGetImageIndex = [this](TVirtualNode* N, int C) {
        return GetMacListImageIndex(Data(N), C);
    };
    FTree.OnCompareNodes = [this](TVirtualNode* A, TVirtualNode* B, int C) {
        return CompareMacListRows(Data(A), Data(B), C, Context());
    };
    FTree.OnHeaderClick = [this](int C) { HeaderClick(C); };
    FTree.SetStripeColor(QColor(QRgb(StripeColor)));
}

TResultList::~TResultList()
{
    FTree.OnGetText = nullptr;
    FTree.OnGetHint = nullptr;
    FTree.OnGetImageIndex = nullptr;
    FTree.OnCompareNodes = nullptr;
    FTree.OnHeaderClick = nullptr;
}

TMacListContext TResultList::Context() const
{
    TMacListContext C;
    C.Style = static_cast<TComputerCaptionStyle>(ComputerCaptionStyle);
    C.Column1Visible = FTree.ColumnCount() > 1 && FTree.Column(1).Visible;
    C.Comments = &FComments;
    return C;
}

TMacListData* TResultList::Data(TVirtualNode* Node) const
{
    return FTree.NodeData<TMacListData>(Node);
}

std::string TResultList::Text(TVirtualNode* Node, int Column) const
{
    return GetMacListText(Data(Node), Column, Context());
}

std::string TResultList::NodeMac(TVirtualNode* Node) const
{
    return GetNodeMac(Data(Node));
}

TVirtualNode* TResultList::AddComputer(TComputer* Computer)
{
    if (!Computer)
        return nullptr;
    const int Column = FTree.SortColumn();
    const int Direction = FTree.SortDirection();
    const auto Style = static_cast<TComputerCaptionStyle>(ComputerCaptionStyle);
    // Inserting at the sorted place gives what sorting the whole list after
    // appending would, as long as the list is in order for this column,
    // direction and caption style; when any of them changed since, sort first.
    if (FTree.RootNodeCount() == 0 || !FOrderValid || Column != FOrderColumn ||
        Direction != FOrderDirection || Style != FOrderStyle)
        Sort();
    FTree.BeginUpdate();
    TVirtualNode* Node =
        FTree.AddChildSorted(nullptr, TMacListData{Computer, nullptr}, Column, Direction);
    const auto& Adapters = Computer->AdapterList;
    if (!Adapters.empty() && !(Adapters.size() == 1 && Adapters.front()->Name.empty())) {
        for (const auto& A : Adapters)
            FTree.AddChildSorted(Node, TMacListData{Computer, A.get()}, Column, Direction);
        FTree.SetExpanded(Node, true);
    }
    FTree.EndUpdate();
    FilterRow(Node);
    return Node;
}

void TResultList::MakeSortKeys(int Column)
{
    const TMacListContext Ctx = Context();
    for (TVirtualNode* N = FTree.GetFirst(); N; N = FTree.GetNext(N)) {
        const TMacListData* D = Data(N);
        if (!D)
            continue;
        TMacListData::TSortKey& K = D->Key;
        if (Column == 1) {
            // As CompareIP reads them: an unreadable text is INADDR_NONE.
            K.Number = 0xFFFFFFFFu;
            IPToHostOrder(D->Adapter ? FirstAddress(D->Adapter->IPAddress)
                                     : (D->Computer ? D->Computer->IP : std::string()),
                          K.Number);
            continue;
        }
        // A computer without a shown adapter has empty cells, which is what
        // its comparison uses too.
        K.Text = GetMacListText(D, Column, Ctx);
        K.Ascii = IsAscii(K.Text);
        K.Folded = K.Ascii ? LowerAscii(K.Text) : std::string();
    }
}

void TResultList::Sort()
{
    const int Column = FTree.SortColumn();
    if (Column >= 1 && Column <= 4) {
        // The same order as CompareMacListRows gives, from keys made once.
        MakeSortKeys(Column);
        auto Compare = std::move(FTree.OnCompareNodes);
        FTree.OnCompareNodes = [this, Column](TVirtualNode* A, TVirtualNode* B, int) {
            const TMacListData* DA = Data(A);
            const TMacListData* DB = Data(B);
            if (!DA || !DB || (DA->Adapter == nullptr) != (DB->Adapter == nullptr))
                return 0;
            const TMacListData::TSortKey& KA = DA->Key;
            const TMacListData::TSortKey& KB = DB->Key;
            if (Column == 1)
                return KA.Number < KB.Number ? -1 : (KA.Number > KB.Number ? 1 : 0);
            if (KA.Ascii && KB.Ascii)
                return Sign(KA.Folded.compare(KB.Folded));
            return CompareTextNoCase(KA.Text, KB.Text);
        };
        FTree.SortTree(Column, FTree.SortDirection());
        FTree.OnCompareNodes = std::move(Compare);
    } else {
        FTree.SortTree(Column, FTree.SortDirection());
    }
    FOrderValid = true;
    FOrderColumn = FTree.SortColumn();
    FOrderDirection = FTree.SortDirection();
    FOrderStyle = static_cast<TComputerCaptionStyle>(ComputerCaptionStyle);
}

void TResultList::HeaderClick(int Column)
{
    int SortColumn = FTree.SortColumn();
    int Direction = FTree.SortDirection();
    NextHeaderSort(Column, SortColumn, Direction);
    FTree.SetSortColumn(SortColumn);
    FTree.SetSortDirection(Direction);
    Sort();
}

void TResultList::SetFilter(int Column, const std::string& Text)
{
    FFilterColumn = Column;
    FFilterText = Text;
    ApplyFilter();
}

void TResultList::FilterRow(TVirtualNode* Node)
{
    const bool Hide =
        !FFilterText.empty() && !TextMatchesFilter(Text(Node, FFilterColumn), FFilterText);
    FTree.SetFiltered(Node, Hide);
}

void TResultList::ApplyFilter()
{
    FTree.BeginUpdate();
    for (int I = 0, N = FTree.ChildCount(nullptr); I < N; ++I)
        FilterRow(FTree.Child(nullptr, I));
    FTree.EndUpdate();
}

void TResultList::SetComment(const std::string& Mac, const std::string& Comment)
{
    if (!FComments.Set(Mac, Comment))
        return;
    if (FTree.SortColumn() == 4)
        FOrderValid = false;
    FTree.viewport()->update();
}

std::string TResultList::SelectionText(int First, int Last, char Separator) const
{
    std::vector<std::string> Lines;
    for (TVirtualNode* N : FTree.SelectedNodes()) {
        // Rows the filter hides are not seen, so they are not copied either.
        if (N->Filtered || (N->Parent && N->Parent->Filtered))
            continue;
        std::vector<std::string> Cells;
        for (int C = First; C <= Last; ++C)
            Cells.push_back(Text(N, C));
        Lines.push_back(JoinCopyCells(Cells, Separator));
    }
    return JoinCopyLines(Lines);
}

void TResultList::Clear()
{
    FTree.Clear();
    FOrderValid = true;
}

// --- TLogList ---------------------------------------------------------------------------

TLogList::TLogList(TVirtualStringTree& Tree) : FTree(Tree)
{
    FTree.OnGetText = [this](TVirtualNode* N, int) {
        const TTreeLogTaskData* E = Entry(N);
        return E ? E->Text : std::string();
    };
    FTree.OnGetHint = FTree.OnGetText;
    FTree.OnGetImageIndex = [this](TVirtualNode* N, int) { return GetLogImageIndex(Entry(N)); };
}

TLogList::~TLogList()
{
    FTree.OnGetText = nullptr;
    FTree.OnGetHint = nullptr;
    FTree.OnGetImageIndex = nullptr;
}

const TTreeLogTaskData* TLogList::Entry(TVirtualNode* Node) const
{
    return FTree.NodeData<TTreeLogTaskData>(Node);
}

TVirtualNode* TLogList::Add(int32_t Kind, const std::string& Text, bool Inverse)
{
    if (Text.empty())
        return nullptr;
    FTree.BeginUpdate();
    TTreeLogTaskData E{NowAsDateTime(), Text, Kind};
    TVirtualNode* Node = Inverse ? FTree.InsertChild(nullptr, 0, std::move(E))
                                 : FTree.AddChild(nullptr, std::move(E));
    FTree.EndUpdate();
    if (!Inverse)
        FTree.ScrollIntoView(Node, true);
    return Node;
}

std::string TLogList::SelectionText() const
{
    std::vector<std::string> Lines;
    for (TVirtualNode* N : FTree.SelectedNodes())
        if (const TTreeLogTaskData* E = Entry(N))
            Lines.push_back(E->Text);
    return JoinCopyLines(Lines);
}

void TLogList::Clear()
{
    FTree.Clear();
}
