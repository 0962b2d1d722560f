#include "app/uMacList.h"

#include "app/uListExport.h"
#include "engine/NetUtil.h"
#include "engine/uEngineOptions.h"
#include "forms/VirtualTrees.h"
#include "platform/Utf8.h"

#include <QString>

namespace {

using platform::LowerAscii;

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

} // namespace

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
    case rcCaption:
        return A.Name;
    case rcIP:
        return A.IPAddress;
    case rcMAC:
        return A.Number;
    case rcVendor:
        return A.Vendor;
    case rcComment:
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
    case rcCaption:
        return GetComputerCaption(C.Name, C.IP, Context.IPColumnVisible ? ccsName : Context.Style);
    case rcIP:
        return C.IP;
    case rcMAC:
    case rcVendor:
    case rcComment:
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
    if (!Row || Column != rcCaption)
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
    case rcCaption:
        return CompareTextNoCase(A1.Name, A2.Name);
    case rcIP:
        return CompareIP(FirstAddress(A1.IPAddress), FirstAddress(A2.IPAddress));
    case rcMAC:
        return CompareTextNoCase(A1.Number, A2.Number);
    case rcVendor:
        return CompareTextNoCase(A1.Vendor, A2.Vendor);
    case rcComment:
        return CompareTextNoCase(CommentOf(Context, A1.Number), CommentOf(Context, A2.Number));
    default:
        return 0;
    }
}

int CompareComputerRows(const TComputer& C1, const TComputer& C2, int Column,
                        const TMacListContext& Context)
{
    switch (Column) {
    case rcCaption:
        return Sign(CompareComputers(C1, C2, Context.Style));
    case rcIP:
        return CompareIP(C1.IP, C2.IP);
    case rcMAC:
    case rcVendor:
    case rcComment: {
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
    C.IPColumnVisible = FTree.ColumnCount() > rcIP && FTree.Column(rcIP).Visible;
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
    TVirtualNode* Node = nullptr;
    FTree.BeginUpdate();
    CompareByKeys(Column, [&] {
        const TMacListData Row{Computer, nullptr};
        MakeSortKey(Row, Column, Context());
        Node = FTree.AddChildSorted(nullptr, Row, Column, Direction);
        AddAdapterRows(Node, true);
    });
    FTree.EndUpdate();
    FilterRow(Node);
    return Node;
}

void TResultList::AddComputers(const std::vector<TComputer*>& Computers)
{
    std::vector<std::any> Rows;
    Rows.reserve(Computers.size());
    for (TComputer* C : Computers)
        if (C)
            Rows.emplace_back(TMacListData{C, nullptr});
    if (Rows.empty())
        return;
    FTree.BeginUpdate();
    const int First = FTree.RootNodeCount();
    FTree.AddChildren(nullptr, std::move(Rows));
    for (int I = First, N = FTree.RootNodeCount(); I < N; ++I)
        AddAdapterRows(FTree.Child(nullptr, I), false);
    // A stable sort of everything puts each new row where inserting it at
    // its sorted place would have.
    Sort();
    ApplyFilter();
    FTree.EndUpdate();
}

void TResultList::AddAdapterRows(TVirtualNode* Node, bool Sorted)
{
    const TMacListData* D = Data(Node);
    if (!D || !D->Computer)
        return;
    const auto& Adapters = D->Computer->AdapterList;
    if (Adapters.empty() || (Adapters.size() == 1 && Adapters.front()->Name.empty()))
        return;
    if (Sorted) {
        const int Column = FTree.SortColumn();
        const TMacListContext Ctx = Context();
        for (const auto& A : Adapters) {
            const TMacListData Row{D->Computer, A.get()};
            MakeSortKey(Row, Column, Ctx);
            FTree.AddChildSorted(Node, Row, Column, FTree.SortDirection());
        }
    } else {
        std::vector<std::any> Rows;
        for (const auto& A : Adapters)
            Rows.emplace_back(TMacListData{D->Computer, A.get()});
        FTree.AddChildren(Node, std::move(Rows));
    }
    FTree.SetExpanded(Node, true);
}

void TResultList::MakeSortKey(const TMacListData& Row, int Column,
                              const TMacListContext& Context) const
{
    if (Column < rcCaption || Column > rcComment)
        return;
    TMacListData::TSortKey& K = Row.Key;
    if (Column == rcIP) {
        // As CompareIP reads them: an unreadable text is INADDR_NONE.
        K.Number = 0xFFFFFFFFu;
        IPToHostOrder(Row.Adapter ? FirstAddress(Row.Adapter->IPAddress)
                                  : (Row.Computer ? Row.Computer->IP : std::string()),
                      K.Number);
        return;
    }
    if (Column == rcCaption && !Row.Adapter && Row.Computer) {
        // What CompareComputers compares: the caption's first word, as an
        // address when both are addresses, else as ASCII upper-case text.
        const std::string Word = Row.Computer->GetCaptionFirstWord(Context.Style);
        K.IsIP = IsIPAddress(Word);
        K.Number = 0xFFFFFFFFu;
        if (K.IsIP)
            IPToHostOrder(Word, K.Number);
        K.Folded = Word;
        for (char& C : K.Folded)
            if (C >= 'a' && C <= 'z')
                C = static_cast<char>(C - 'a' + 'A');
        return;
    }
    // A computer without a shown adapter has empty cells, which is what its
    // comparison uses too.
    K.Text = GetMacListText(&Row, Column, Context);
    K.Ascii = IsAscii(K.Text);
    K.Folded = K.Ascii ? LowerAscii(K.Text) : std::string();
}

void TResultList::MakeSortKeys(int Column)
{
    if (Column < rcCaption || Column > rcComment)
        return;
    const TMacListContext Ctx = Context();
    for (TVirtualNode* N = FTree.GetFirst(); N; N = FTree.GetNext(N))
        if (const TMacListData* D = Data(N))
            MakeSortKey(*D, Column, Ctx);
}

void TResultList::CompareByKeys(int Column, const std::function<void()>& Do)
{
    if (Column < rcCaption || Column > rcComment) {
        Do();
        return;
    }
    auto Compare = std::move(FTree.OnCompareNodes);
    FTree.OnCompareNodes = [this, Column](TVirtualNode* A, TVirtualNode* B, int) {
        const TMacListData* DA = Data(A);
        const TMacListData* DB = Data(B);
        if (!DA || !DB || (DA->Adapter == nullptr) != (DB->Adapter == nullptr))
            return 0;
        const TMacListData::TSortKey& KA = DA->Key;
        const TMacListData::TSortKey& KB = DB->Key;
        if (Column == rcIP || (Column == rcCaption && !DA->Adapter && KA.IsIP && KB.IsIP))
            return KA.Number < KB.Number ? -1 : (KA.Number > KB.Number ? 1 : 0);
        if (Column == rcCaption && !DA->Adapter)
            return Sign(KA.Folded.compare(KB.Folded));
        if (KA.Ascii && KB.Ascii)
            return Sign(KA.Folded.compare(KB.Folded));
        return CompareTextNoCase(KA.Text, KB.Text);
    };
    try {
        Do();
    } catch (...) {
        FTree.OnCompareNodes = std::move(Compare);
        throw;
    }
    FTree.OnCompareNodes = std::move(Compare);
}

void TResultList::Sort()
{
    const int Column = FTree.SortColumn();
    // The same order as CompareMacListRows gives, from keys made once.
    MakeSortKeys(Column);
    CompareByKeys(Column, [&] { FTree.SortTree(Column, FTree.SortDirection()); });
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
    if (FTree.SortColumn() == rcComment)
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
