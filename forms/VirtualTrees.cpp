#include "forms/VirtualTrees.h"

#include "forms/PlainText.h"

#include "platform/Utf8.h"

#include <QAbstractItemModel>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelectionModel>
#include <QPaintEvent>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionViewItem>

#include <algorithm>
#include <iterator>
#include <stdexcept>

namespace {

bool IsShownEscaped(char32_t Code)
{
    return Code < 0x20 || (Code >= 0x7F && Code <= 0x9F) || Code == 0x061C || Code == 0x200E ||
           Code == 0x200F || (Code >= 0x2028 && Code <= 0x202E) ||
           (Code >= 0x2066 && Code <= 0x2069);
}

void AppendHex(std::string& Out, const char* Prefix, unsigned Value, int Digits)
{
    static const char Hex[] = "0123456789ABCDEF";
    Out += Prefix;
    for (int Shift = (Digits - 1) * 4; Shift >= 0; Shift -= 4)
        Out += Hex[(Value >> Shift) & 15];
}

} // namespace

std::string VisibleText(const std::string& Text, bool LineBreaksAsBlanks)
{
    // Most texts are plain ASCII and are returned as they are.
    if (std::all_of(Text.begin(), Text.end(), [](char C) { return C >= 0x20 && C < 0x7F; }))
        return Text;
    std::string Out;
    Out.reserve(Text.size() + 8);
    for (size_t I = 0; I < Text.size();) {
        char32_t Code = 0;
        const size_t Len = platform::DecodeUtf8(Text, I, Code);
        if (Len == 0) {
            AppendHex(Out, "\\x", static_cast<unsigned char>(Text[I]), 2);
            ++I;
            continue;
        }
        if (LineBreaksAsBlanks && (Code == '\r' || Code == '\n')) {
            // CR LF is one line break.
            if (Code == '\r' && I + 1 < Text.size() && Text[I + 1] == '\n')
                ++I;
            Out += ' ';
        } else if (IsShownEscaped(Code))
            AppendHex(Out, "\\u", static_cast<unsigned>(Code), 4);
        else
            Out.append(Text, I, Len);
        I += Len;
    }
    return Out;
}

// --- TVirtualNodeList ----------------------------------------------------------

namespace {

// A block is split in two when it grows past this many nodes.
constexpr size_t MaxBlock = 512;

} // namespace

TVirtualNodeList::TVirtualNodeList() = default;
TVirtualNodeList::~TVirtualNodeList() = default;

size_t TVirtualNodeList::BlockOf(size_t Index) const
{
    // The last block that starts at or before Index.
    const auto It = std::upper_bound(FStarts.begin(), FStarts.end(), Index);
    return static_cast<size_t>(It - FStarts.begin()) - 1;
}

std::unique_ptr<TVirtualNode>& TVirtualNodeList::operator[](size_t Index)
{
    const size_t B = BlockOf(Index);
    return FBlocks[B][Index - FStarts[B]];
}

const std::unique_ptr<TVirtualNode>& TVirtualNodeList::operator[](size_t Index) const
{
    const size_t B = BlockOf(Index);
    return FBlocks[B][Index - FStarts[B]];
}

void TVirtualNodeList::insert(size_t Position, std::unique_ptr<TVirtualNode> Node)
{
    Position = std::min(Position, FCount);
    if (FBlocks.empty()) {
        FBlocks.emplace_back();
        FStarts.push_back(0);
    }
    // A position between two blocks goes to the end of the first one.
    const size_t B = Position == FCount ? FBlocks.size() - 1 : BlockOf(Position);
    auto& Block = FBlocks[B];
    Block.insert(Block.begin() + static_cast<ptrdiff_t>(Position - FStarts[B]), std::move(Node));
    ++FCount;
    for (size_t I = B + 1; I < FStarts.size(); ++I)
        ++FStarts[I];
    if (Block.size() > MaxBlock) {
        const size_t Half = Block.size() / 2;
        std::vector<std::unique_ptr<TVirtualNode>> Tail(
            std::make_move_iterator(Block.begin() + static_cast<ptrdiff_t>(Half)),
            std::make_move_iterator(Block.end()));
        Block.resize(Half);
        FStarts.insert(FStarts.begin() + static_cast<ptrdiff_t>(B) + 1, FStarts[B] + Half);
        FBlocks.insert(FBlocks.begin() + static_cast<ptrdiff_t>(B) + 1, std::move(Tail));
    }
}

void TVirtualNodeList::erase(size_t Position)
{
    if (Position >= FCount)
        return;
    const size_t B = BlockOf(Position);
    auto& Block = FBlocks[B];
    Block.erase(Block.begin() + static_cast<ptrdiff_t>(Position - FStarts[B]));
    --FCount;
    for (size_t I = B + 1; I < FStarts.size(); ++I)
        --FStarts[I];
    if (Block.empty()) {
        FBlocks.erase(FBlocks.begin() + static_cast<ptrdiff_t>(B));
        FStarts.erase(FStarts.begin() + static_cast<ptrdiff_t>(B));
    }
}

void TVirtualNodeList::clear()
{
    FBlocks.clear();
    FStarts.clear();
    FCount = 0;
}

std::vector<std::unique_ptr<TVirtualNode>> TVirtualNodeList::TakeAll()
{
    std::vector<std::unique_ptr<TVirtualNode>> All;
    All.reserve(FCount);
    for (auto& Block : FBlocks)
        for (auto& N : Block)
            All.push_back(std::move(N));
    clear();
    return All;
}

void TVirtualNodeList::Assign(std::vector<std::unique_ptr<TVirtualNode>> Nodes)
{
    clear();
    for (size_t Start = 0; Start < Nodes.size(); Start += MaxBlock / 2) {
        const size_t End = std::min(Nodes.size(), Start + MaxBlock / 2);
        FStarts.push_back(Start);
        FBlocks.emplace_back(std::make_move_iterator(Nodes.begin() + static_cast<ptrdiff_t>(Start)),
                             std::make_move_iterator(Nodes.begin() + static_cast<ptrdiff_t>(End)));
    }
    FCount = Nodes.size();
}

// --- TVirtualNode ------------------------------------------------------------------

int TVirtualNode::Row() const
{
    if (Parent && Parent->StaleFrom < Parent->Children.size()) {
        auto& C = Parent->Children;
        for (size_t I = Parent->StaleFrom; I < C.size(); ++I)
            C[I]->Index = static_cast<int>(I);
        Parent->StaleFrom = SIZE_MAX;
    }
    return Index;
}

class TVirtualTreeModel : public QAbstractItemModel {
public:
    explicit TVirtualTreeModel(TVirtualStringTree& Tree) : QAbstractItemModel(&Tree), FTree(Tree) {}

    TVirtualNode* Node(const QModelIndex& Index) const
    {
        return Index.isValid() ? static_cast<TVirtualNode*>(Index.internalPointer()) : &FTree.FRoot;
    }

    QModelIndex IndexOf(TVirtualNode* N, int Column) const
    {
        if (!N || N == &FTree.FRoot)
            return {};
        return createIndex(N->Row(), Column, N);
    }

    QModelIndex index(int Row, int Column, const QModelIndex& Parent) const override
    {
        TVirtualNode* P = Node(Parent);
        if (Row < 0 || Row >= static_cast<int>(P->Children.size()) || Column < 0 ||
            Column >= columnCount(Parent))
            return {};
        return createIndex(Row, Column, P->Children[static_cast<size_t>(Row)].get());
    }

    QModelIndex parent(const QModelIndex& Child) const override
    {
        if (!Child.isValid())
            return {};
        return IndexOf(Node(Child)->Parent, 0);
    }

    int rowCount(const QModelIndex& Parent) const override
    {
        if (Parent.isValid() && Parent.column() != 0)
            return 0;
        return static_cast<int>(Node(Parent)->Children.size());
    }

    int columnCount(const QModelIndex&) const override { return FTree.ColumnCount(); }

    QVariant data(const QModelIndex& Index, int Role) const override
    {
        if (!Index.isValid())
            return {};
        TVirtualNode* N = Node(Index);
        switch (Role) {
        case Qt::DisplayRole:
            return QString::fromStdString(
                VisibleText(FTree.Text(N, Index.column()), FTree.FLineBreaksAsBlanks));
        case Qt::TextAlignmentRole:
            return QVariant::fromValue(Alignment(Index.column()));
        case Qt::DecorationRole: {
            if (!FTree.OnGetImageIndex)
                return {};
            const int I = FTree.OnGetImageIndex(N, Index.column());
            if (I < 0 || I >= static_cast<int>(FTree.FImages.size()))
                return {};
            return FTree.FImages[static_cast<size_t>(I)];
        }
        case Qt::ToolTipRole: {
            if (!FTree.OnGetHint)
                return {};
            const std::string Hint = FTree.OnGetHint(N, Index.column());
            return Hint.empty() ? QVariant()
                                : QVariant(QString::fromStdString(
                                      VisibleText(Hint, FTree.FLineBreaksAsBlanks)));
        }
        case Qt::CheckStateRole:
            if (N->CheckBox && Index.column() == FTree.MainColumn())
                return N->CheckState == TNodeCheckState::Checked ? Qt::Checked : Qt::Unchecked;
            return {};
        default:
            return {};
        }
    }

    bool setData(const QModelIndex& Index, const QVariant& Value, int Role) override
    {
        if (!Index.isValid() || Role != Qt::CheckStateRole)
            return false;
        TVirtualNode* N = Node(Index);
        if (!N->CheckBox)
            return false;
        const TNodeCheckState New = static_cast<Qt::CheckState>(Value.toInt()) == Qt::Checked
                                        ? TNodeCheckState::Checked
                                        : TNodeCheckState::Unchecked;
        bool Allowed = true;
        if (FTree.OnChecking)
            FTree.OnChecking(N, New, Allowed);
        if (Allowed)
            N->CheckState = New;
        // Repainted either way, so that a refused change shows the old state.
        emit dataChanged(Index, Index, {Qt::CheckStateRole});
        if (Allowed && FTree.OnChecked)
            FTree.OnChecked(N);
        return Allowed;
    }

    Qt::ItemFlags flags(const QModelIndex& Index) const override
    {
        if (!Index.isValid())
            return Qt::NoItemFlags;
        Qt::ItemFlags F = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
        if (Node(Index)->CheckBox && Index.column() == FTree.MainColumn())
            F |= Qt::ItemIsUserCheckable;
        return F;
    }

    QVariant headerData(int Section, Qt::Orientation Orientation, int Role) const override
    {
        if (Orientation != Qt::Horizontal || Section < 0 || Section >= FTree.ColumnCount())
            return {};
        if (Role == Qt::DisplayRole)
            return QString::fromStdString(FTree.FColumns[static_cast<size_t>(Section)].Text);
        if (Role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Alignment(Section));
        return {};
    }

    Qt::Alignment Alignment(int Column) const
    {
        if (Column < 0 || Column >= FTree.ColumnCount())
            return Qt::AlignLeft | Qt::AlignVCenter;
        switch (FTree.FColumns[static_cast<size_t>(Column)].Alignment) {
        case 1:
            return Qt::AlignRight | Qt::AlignVCenter;
        case 2:
            return Qt::AlignHCenter | Qt::AlignVCenter;
        default:
            return Qt::AlignLeft | Qt::AlignVCenter;
        }
    }

    // Structure changes go through the model so the view keeps up.
    using QAbstractItemModel::beginInsertColumns;
    using QAbstractItemModel::beginInsertRows;
    using QAbstractItemModel::beginRemoveColumns;
    using QAbstractItemModel::beginRemoveRows;
    using QAbstractItemModel::beginResetModel;
    using QAbstractItemModel::changePersistentIndexList;
    using QAbstractItemModel::endInsertColumns;
    using QAbstractItemModel::endInsertRows;
    using QAbstractItemModel::endRemoveColumns;
    using QAbstractItemModel::endRemoveRows;
    using QAbstractItemModel::endResetModel;
    using QAbstractItemModel::persistentIndexList;

private:
    TVirtualStringTree& FTree;
};

TVirtualStringTree::TVirtualStringTree(QWidget* Parent)
    : QTreeView(Parent), FModel(new TVirtualTreeModel(*this))
{
    FColumns.resize(1);
    setModel(FModel);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setUniformRowHeights(true);
    header()->setStretchLastSection(false);
    header()->setSectionsMovable(true);
    header()->setMinimumSectionSize(1);
    // Clicks are reported to OnHeaderClick; the list sorts itself only when
    // its owner says so (QHeaderView reacts to the left button only).
    header()->setSectionsClickable(true);
    connect(header(), &QHeaderView::sectionClicked, this, [this](int Logical) {
        if (OnHeaderClick)
            OnHeaderClick(Logical);
        else
            ApplySortIndicator();
    });
    ApplyColumn(0);
    connect(header(), &QHeaderView::sectionResized, this, [this](int Logical, int, int NewSize) {
        // A width dragged by the user is the column's width from now on; a
        // hidden column (size 0) keeps its width.
        if (FSyncing || Logical < 0 || Logical >= ColumnCount() || NewSize <= 0 ||
            header()->isSectionHidden(Logical))
            return;
        FColumns[static_cast<size_t>(Logical)].Width = NewSize;
    });
    connect(selectionModel(), &QItemSelectionModel::currentChanged, this,
            [this](const QModelIndex& Current, const QModelIndex&) {
                if (OnFocusChanged)
                    OnFocusChanged(Current.isValid() ? NodeAt(Current) : nullptr, Current.column());
            });
    connect(selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this](const QItemSelection&, const QItemSelection&) {
                if (OnChange)
                    OnChange();
            });
}

TVirtualStringTree::~TVirtualStringTree() = default;

void TVirtualStringTree::ResetColumns(int Count)
{
    Count = std::max(Count, 0);
    const int Old = ColumnCount();
    if (Count < Old) {
        FModel->beginRemoveColumns({}, Count, Old - 1);
        FColumns.resize(static_cast<size_t>(Count));
        FModel->endRemoveColumns();
    } else if (Count > Old) {
        FModel->beginInsertColumns({}, Old, Count - 1);
        FColumns.resize(static_cast<size_t>(Count));
        FModel->endInsertColumns();
    }
    for (auto& C : FColumns)
        C = TVirtualTreeColumn{};
    FSyncing = true;
    for (int I = 0; I < Count; ++I)
        header()->moveSection(header()->visualIndex(I), I);
    FSyncing = false;
    for (int I = 0; I < Count; ++I)
        ApplyColumn(I);
    FSortColumn = -1;
    ApplySortIndicator();
    if (Count > 0)
        emit FModel->headerDataChanged(Qt::Horizontal, 0, Count - 1);
}

const TVirtualTreeColumn& TVirtualStringTree::Column(int Index) const
{
    if (Index < 0 || Index >= ColumnCount())
        throw std::out_of_range("column index " + std::to_string(Index) + " out of range");
    return FColumns[static_cast<size_t>(Index)];
}

void TVirtualStringTree::ApplyColumn(int Index)
{
    const TVirtualTreeColumn& C = Column(Index);
    FSyncing = true;
    header()->setSectionHidden(Index, !C.Visible);
    if (C.Visible)
        header()->resizeSection(Index, C.Width);
    FSyncing = false;
}

void TVirtualStringTree::SetColumnText(int Index, const std::string& Text)
{
    Column(Index);
    FColumns[static_cast<size_t>(Index)].Text = Text;
    emit FModel->headerDataChanged(Qt::Horizontal, Index, Index);
}

void TVirtualStringTree::SetColumnWidth(int Index, int Width)
{
    Column(Index);
    auto& C = FColumns[static_cast<size_t>(Index)];
    C.Width = std::max(Width, C.MinWidth);
    ApplyColumn(Index);
}

void TVirtualStringTree::SetColumnMinWidth(int Index, int MinWidth)
{
    Column(Index);
    auto& C = FColumns[static_cast<size_t>(Index)];
    C.MinWidth = std::max(MinWidth, 0);
    if (C.Width < C.MinWidth)
        C.Width = C.MinWidth;
    ApplyColumn(Index);
}

void TVirtualStringTree::SetColumnAlignment(int Index, uint8_t Alignment)
{
    Column(Index);
    FColumns[static_cast<size_t>(Index)].Alignment = Alignment <= 2 ? Alignment : 0;
    emit FModel->headerDataChanged(Qt::Horizontal, Index, Index);
    if (FModel->rowCount({}) > 0)
        viewport()->update();
}

void TVirtualStringTree::SetColumnVisible(int Index, bool Visible)
{
    Column(Index);
    FColumns[static_cast<size_t>(Index)].Visible = Visible;
    ApplyColumn(Index);
}

int TVirtualStringTree::ColumnPosition(int Index) const
{
    Column(Index);
    return header()->visualIndex(Index);
}

void TVirtualStringTree::SetColumnPosition(int Index, int Position)
{
    Column(Index);
    if (Position < 0 || Position >= ColumnCount())
        return;
    FSyncing = true;
    header()->moveSection(header()->visualIndex(Index), Position);
    FSyncing = false;
}

void TVirtualStringTree::SetSortColumn(int Index)
{
    FSortColumn = (Index >= 0 && Index < ColumnCount()) ? Index : -1;
    ApplySortIndicator();
}

void TVirtualStringTree::SetSortDirection(int Direction)
{
    FSortDirection = Direction == 1 ? 1 : 0;
    ApplySortIndicator();
}

void TVirtualStringTree::ApplySortIndicator()
{
    header()->setSortIndicatorShown(FSortColumn >= 0);
    header()->setSortIndicator(FSortColumn,
                               FSortDirection == 1 ? Qt::DescendingOrder : Qt::AscendingOrder);
}

void TVirtualStringTree::Clear()
{
    FModel->beginResetModel();
    FRoot.Children.clear();
    FModel->endResetModel();
}

TVirtualNode* TVirtualStringTree::AddChild(TVirtualNode* Parent, std::any Data)
{
    TVirtualNode* P = Parent ? Parent : &FRoot;
    const int Row = static_cast<int>(P->Children.size());
    FModel->beginInsertRows(FModel->IndexOf(P, 0), Row, Row);
    auto N = std::make_unique<TVirtualNode>();
    N->Parent = P;
    N->Index = Row;
    N->Data = std::move(Data);
    TVirtualNode* Result = N.get();
    P->Children.push_back(std::move(N));
    FModel->endInsertRows();
    return Result;
}

void TVirtualStringTree::AddChildren(TVirtualNode* Parent, std::vector<std::any> Data)
{
    if (Data.empty())
        return;
    TVirtualNode* P = Parent ? Parent : &FRoot;
    const size_t First = P->Children.size();
    FModel->beginInsertRows(FModel->IndexOf(P, 0), static_cast<int>(First),
                            static_cast<int>(First + Data.size() - 1));
    for (size_t I = 0; I < Data.size(); ++I) {
        auto N = std::make_unique<TVirtualNode>();
        N->Parent = P;
        N->Index = static_cast<int>(First + I);
        N->Data = std::move(Data[I]);
        P->Children.push_back(std::move(N));
    }
    FModel->endInsertRows();
}

void TVirtualStringTree::DeleteNode(TVirtualNode* Node)
{
    if (!Node || Node == &FRoot || !Node->Parent)
        return;
    TVirtualNode* P = Node->Parent;
    const int Row = Node->Row();
    FModel->beginRemoveRows(FModel->IndexOf(P, 0), Row, Row);
    P->Children.erase(static_cast<size_t>(Row));
    for (size_t I = static_cast<size_t>(Row); I < P->Children.size(); ++I)
        P->Children[I]->Index = static_cast<int>(I);
    FModel->endRemoveRows();
}

TVirtualNode* TVirtualStringTree::InsertChild(TVirtualNode* Parent, int Position, std::any Data)
{
    TVirtualNode* P = Parent ? Parent : &FRoot;
    const int Count = static_cast<int>(P->Children.size());
    const int Row = (Position < 0 || Position > Count) ? Count : Position;
    FModel->beginInsertRows(FModel->IndexOf(P, 0), Row, Row);
    auto N = std::make_unique<TVirtualNode>();
    N->Parent = P;
    N->Data = std::move(Data);
    TVirtualNode* Result = N.get();
    P->Children.insert(static_cast<size_t>(Row), std::move(N));
    Result->Index = Row;
    P->StaleFrom = std::min(P->StaleFrom, static_cast<size_t>(Row) + 1);
    FModel->endInsertRows();
    return Result;
}

int TVirtualStringTree::Compare(TVirtualNode* A, TVirtualNode* B, int Column, int Direction) const
{
    const int R = OnCompareNodes(A, B, Column);
    return Direction == 1 ? -R : R;
}

TVirtualNode* TVirtualStringTree::AddChildSorted(TVirtualNode* Parent, std::any Data, int Column,
                                                 int Direction)
{
    TVirtualNode* P = Parent ? Parent : &FRoot;
    if (Column < 0 || !OnCompareNodes)
        return AddChild(P, std::move(Data));
    // The compare handler sees the new row's data before the row exists.
    TVirtualNode Probe;
    Probe.Parent = P;
    Probe.Data = std::move(Data);
    size_t Lo = 0, Hi = P->Children.size();
    while (Lo < Hi) {
        const size_t Mid = Lo + (Hi - Lo) / 2;
        if (Compare(&Probe, P->Children[Mid].get(), Column, Direction) < 0)
            Hi = Mid;
        else
            Lo = Mid + 1;
    }
    return InsertChild(P, static_cast<int>(Lo), std::move(Probe.Data));
}

int TVirtualStringTree::ChildCount(TVirtualNode* Node) const
{
    const TVirtualNode* P = Node ? Node : &FRoot;
    return static_cast<int>(P->Children.size());
}

TVirtualNode* TVirtualStringTree::Child(TVirtualNode* Parent, int Index) const
{
    const TVirtualNode* P = Parent ? Parent : &FRoot;
    if (Index < 0 || Index >= static_cast<int>(P->Children.size()))
        return nullptr;
    return P->Children[static_cast<size_t>(Index)].get();
}

void TVirtualStringTree::SortChildren(TVirtualNode* Parent, int Column, int Direction,
                                      bool Recursive)
{
    auto C = Parent->Children.TakeAll();
    std::stable_sort(C.begin(), C.end(), [&](const auto& A, const auto& B) {
        return Compare(A.get(), B.get(), Column, Direction) < 0;
    });
    Parent->StaleFrom = SIZE_MAX;
    for (size_t I = 0; I < C.size(); ++I) {
        C[I]->Index = static_cast<int>(I);
        if (Recursive && !C[I]->Children.empty())
            SortChildren(C[I].get(), Column, Direction, true);
    }
    Parent->Children.Assign(std::move(C));
}

void TVirtualStringTree::Sort(TVirtualNode* Parent, int Column, int Direction)
{
    if (Column < 0 || !OnCompareNodes)
        return;
    TVirtualNode* P = Parent ? Parent : &FRoot;
    emit FModel->layoutAboutToBeChanged();
    // Selection, focus, expansion and hidden rows are persistent indexes:
    // each follows its node to the node's new row.
    const QModelIndexList Old = FModel->persistentIndexList();
    SortChildren(P, Column, Direction, Parent == nullptr);
    QModelIndexList New;
    New.reserve(Old.size());
    for (const QModelIndex& I : Old)
        New.push_back(FModel->IndexOf(FModel->Node(I), I.column()));
    FModel->changePersistentIndexList(Old, New);
    emit FModel->layoutChanged();
}

void TVirtualStringTree::SortTree(int Column, int Direction)
{
    Sort(nullptr, Column, Direction);
}

void TVirtualStringTree::SetFiltered(TVirtualNode* Node, bool Value)
{
    if (!Node || Node == &FRoot || !Node->Parent || Node->Filtered == Value)
        return;
    Node->Filtered = Value;
    setRowHidden(Node->Row(), FModel->IndexOf(Node->Parent, 0), Value);
}

void TVirtualStringTree::SetExpanded(TVirtualNode* Node, bool Value)
{
    if (!Node)
        return;
    if (Value)
        expand(IndexOf(Node));
    else
        collapse(IndexOf(Node));
}

bool TVirtualStringTree::Expanded(TVirtualNode* Node) const
{
    return Node && isExpanded(IndexOf(Node));
}

void TVirtualStringTree::BeginUpdate()
{
    if (FUpdateCount++ == 0)
        viewport()->setUpdatesEnabled(false);
}

void TVirtualStringTree::EndUpdate()
{
    if (FUpdateCount == 0)
        return;
    if (--FUpdateCount == 0) {
        viewport()->setUpdatesEnabled(true);
        viewport()->update();
    }
}

int TVirtualStringTree::RootNodeCount() const
{
    return static_cast<int>(FRoot.Children.size());
}

TVirtualNode* TVirtualStringTree::GetFirst() const
{
    return FRoot.Children.empty() ? nullptr : FRoot.Children.front().get();
}

TVirtualNode* TVirtualStringTree::GetNext(TVirtualNode* Node) const
{
    if (!Node)
        return nullptr;
    if (!Node->Children.empty())
        return Node->Children.front().get();
    while (Node && Node != &FRoot) {
        TVirtualNode* P = Node->Parent;
        const size_t Next = static_cast<size_t>(Node->Row()) + 1;
        if (P && Next < P->Children.size())
            return P->Children[Next].get();
        Node = P;
    }
    return nullptr;
}

std::string TVirtualStringTree::Text(TVirtualNode* Node, int Column) const
{
    return (Node && OnGetText) ? OnGetText(Node, Column) : std::string();
}

void TVirtualStringTree::InvalidateNode(TVirtualNode* Node)
{
    if (!Node || ColumnCount() == 0)
        return;
    emit FModel->dataChanged(IndexOf(Node, 0), IndexOf(Node, ColumnCount() - 1));
}

void TVirtualStringTree::ClearSelection()
{
    selectionModel()->clearSelection();
}

bool TVirtualStringTree::Selected(TVirtualNode* Node) const
{
    return Node && selectionModel()->isRowSelected(Node->Row(), FModel->IndexOf(Node->Parent, 0));
}

void TVirtualStringTree::SetSelected(TVirtualNode* Node, bool Value)
{
    if (!Node)
        return;
    selectionModel()->select(IndexOf(Node),
                             (Value ? QItemSelectionModel::Select : QItemSelectionModel::Deselect) |
                                 QItemSelectionModel::Rows);
}

int TVirtualStringTree::SelectedCount() const
{
    return static_cast<int>(selectionModel()->selectedRows().size());
}

std::vector<TVirtualNode*> TVirtualStringTree::SelectedNodes() const
{
    std::vector<TVirtualNode*> Result;
    if (!selectionModel()->hasSelection())
        return Result;
    for (TVirtualNode* N = GetFirst(); N; N = GetNext(N))
        if (Selected(N))
            Result.push_back(N);
    return Result;
}

TVirtualNode* TVirtualStringTree::FocusedNode() const
{
    const QModelIndex I = currentIndex();
    return I.isValid() ? NodeAt(I) : nullptr;
}

void TVirtualStringTree::SetFocusedNode(TVirtualNode* Node)
{
    selectionModel()->setCurrentIndex(IndexOf(Node), QItemSelectionModel::NoUpdate);
}

void TVirtualStringTree::ScrollIntoView(TVirtualNode* Node, bool Center)
{
    if (Node)
        scrollTo(IndexOf(Node), Center ? PositionAtCenter : EnsureVisible);
}

void TVirtualStringTree::SetCheckBox(TVirtualNode* Node, bool Value)
{
    if (!Node)
        return;
    Node->CheckBox = Value;
    InvalidateNode(Node);
}

void TVirtualStringTree::SetCheckState(TVirtualNode* Node, TNodeCheckState Value)
{
    if (!Node)
        return;
    Node->CheckState = Value;
    InvalidateNode(Node);
}

void TVirtualStringTree::SetHotTrack(bool Value)
{
    FHotTrack = Value;
    setMouseTracking(Value);
    viewport()->setAttribute(Qt::WA_Hover, Value);
}

void TVirtualStringTree::SetLineBreaksAsBlanks(bool Value)
{
    FLineBreaksAsBlanks = Value;
    viewport()->update();
}

void TVirtualStringTree::SetStripes(bool Value)
{
    FStripes = Value;
    setAlternatingRowColors(Value);
    viewport()->update();
}

void TVirtualStringTree::SetPaintOptions(unsigned Value)
{
    if (Value == FPaintOptions)
        return;
    FPaintOptions = Value;
    viewport()->update();
}

void TVirtualStringTree::SetPaintOption(TPaintOption Option, bool Value)
{
    SetPaintOptions(Value ? FPaintOptions | Option : FPaintOptions & ~unsigned(Option));
}

QColor TVirtualStringTree::GridColor() const
{
    QStyleOptionViewItem Option;
    Option.initFrom(this);
    const int Rgb = style()->styleHint(QStyle::SH_Table_GridLineColor, &Option, this);
    return Rgb != -1 ? QColor(QRgb(static_cast<unsigned>(Rgb))) : palette().color(QPalette::Mid);
}

void TVirtualStringTree::PaintVertGridLines(QPainter& Painter, int Top, int Bottom) const
{
    const QHeaderView* H = header();
    for (int Logical = 0; Logical < H->count(); ++Logical) {
        if (H->isSectionHidden(Logical))
            continue;
        const int X = H->sectionViewportPosition(Logical) + H->sectionSize(Logical) - 1;
        Painter.drawLine(X, Top, X, Bottom);
    }
}

void TVirtualStringTree::drawRow(QPainter* Painter, const QStyleOptionViewItem& Option,
                                 const QModelIndex& Index) const
{
    QTreeView::drawRow(Painter, Option, Index);
    const bool Horz = HasPaintOption(poShowHorzGridLines);
    // Full vertical lines are painted once over the whole list instead.
    const bool Vert = HasPaintOption(poShowVertGridLines) && !HasPaintOption(poFullVertGridLines);
    if (!Horz && !Vert)
        return;
    Painter->save();
    Painter->setPen(GridColor());
    const QRect& R = Option.rect;
    if (Horz)
        Painter->drawLine(R.left(), R.bottom(), R.right(), R.bottom());
    if (Vert)
        PaintVertGridLines(*Painter, R.top(), R.bottom());
    Painter->restore();
}

bool TVirtualStringTree::viewportEvent(QEvent* Event)
{
    if (Event->type() != QEvent::ToolTip)
        return QTreeView::viewportEvent(Event);
    const auto* Help = static_cast<QHelpEvent*>(Event);
    const QModelIndex Index = indexAt(Help->pos());
    ShowPlainToolTip(Help->globalPos(),
                     Index.isValid() ? model()->data(Index, Qt::ToolTipRole).toString() : QString(),
                     viewport(), visualRect(Index));
    return true;
}

void TVirtualStringTree::paintEvent(QPaintEvent* Event)
{
    QTreeView::paintEvent(Event);
    if (!HasPaintOption(poShowVertGridLines) || !HasPaintOption(poFullVertGridLines))
        return;
    QPainter Painter(viewport());
    Painter.setPen(GridColor());
    PaintVertGridLines(Painter, 0, viewport()->height());
}

void TVirtualStringTree::SetStripeColor(const QColor& Color)
{
    QPalette P = palette();
    P.setColor(QPalette::AlternateBase, Color);
    setPalette(P);
}

void TVirtualStringTree::SetImages(std::vector<QIcon> Images)
{
    FImages = std::move(Images);
    viewport()->update();
}

QModelIndex TVirtualStringTree::IndexOf(TVirtualNode* Node, int Column) const
{
    return FModel->IndexOf(Node, Column);
}

TVirtualNode* TVirtualStringTree::NodeAt(const QModelIndex& Index) const
{
    return Index.isValid() && Index.model() == FModel ? FModel->Node(Index) : nullptr;
}
