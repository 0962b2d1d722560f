// The list control of the result list, the log and several dialogs: a tree
// of nodes that carry their own data and get their texts from a callback,
// under a header of columns with captions, widths, alignments, a display
// order, visibility and a sort column. A QTreeView over a model of its own.
#pragma once

#include <QIcon>
#include <QTreeView>

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TVirtualTreeModel;

// Text as a list shows it: control characters, the characters that steer
// the direction of text (a right-to-left override turns "RED\u202Egnp.exe"
// into what reads as "REDexe.png") and line or paragraph separators appear as
// "\uXXXX", bytes that are no UTF-8 as "\xXX". The data itself, and what is
// copied or exported from it, is left as it is. With LineBreaksAsBlanks, a
// line break (CR LF, LF or CR) shows as one blank instead, for lists whose
// texts may be written on several lines (the log's messages).
std::string VisibleText(const std::string& Text, bool LineBreaksAsBlanks = false);

// A check box's state (the engine's TCheckState is the reachability check).
enum class TNodeCheckState { Unchecked, Checked };

struct TVirtualNode;

// The children of a node, in order. They are kept in blocks of a few hundred,
// so that a row inserted into a long list moves the rows of its block, not
// every row after it: a scan's results inserted one by one at their sorted
// places cost no walk over the list's tail each.
class TVirtualNodeList {
public:
    TVirtualNodeList();
    ~TVirtualNodeList();
    TVirtualNodeList(const TVirtualNodeList&) = delete;
    TVirtualNodeList& operator=(const TVirtualNodeList&) = delete;

    size_t size() const { return FCount; }
    bool empty() const { return FCount == 0; }
    std::unique_ptr<TVirtualNode>& operator[](size_t Index);
    const std::unique_ptr<TVirtualNode>& operator[](size_t Index) const;
    const std::unique_ptr<TVirtualNode>& front() const { return (*this)[0]; }
    void insert(size_t Position, std::unique_ptr<TVirtualNode> Node);
    void push_back(std::unique_ptr<TVirtualNode> Node) { insert(FCount, std::move(Node)); }
    void erase(size_t Position);
    void clear();
    // Every node out, in order (the list is empty then), and back in.
    std::vector<std::unique_ptr<TVirtualNode>> TakeAll();
    void Assign(std::vector<std::unique_ptr<TVirtualNode>> Nodes);

private:
    size_t BlockOf(size_t Index) const;

    std::vector<std::vector<std::unique_ptr<TVirtualNode>>> FBlocks;
    std::vector<size_t> FStarts; // index of each block's first node
    size_t FCount = 0;
};

struct TVirtualNode {
    TVirtualNode* Parent = nullptr;
    TVirtualNodeList Children;
    // Position among its siblings; read it through Row(), which brings it up
    // to date after rows were inserted before it.
    int Index = 0;
    std::any Data;
    bool CheckBox = false;
    TNodeCheckState CheckState = TNodeCheckState::Unchecked;
    bool Filtered = false; // hidden by a row filter, with its children

    int Row() const;

    // Children from this position on may carry stale indexes: inserting a row
    // in the middle does not renumber the rows after it until one is asked
    // for, so filling a long sorted list costs no walk over its tail per row.
    mutable size_t StaleFrom = SIZE_MAX;
};

// Lines the list paints between its cells. Full vertical grid lines run on
// below the last row down to the bottom of the list; without them the
// vertical lines end with the rows.
enum TPaintOption : unsigned {
    poShowHorzGridLines = 1u << 0,
    poShowVertGridLines = 1u << 1,
    poFullVertGridLines = 1u << 2,
};

struct TVirtualTreeColumn {
    std::string Text;
    int Width = 50; // also kept while the column is hidden
    int MinWidth = 10;
    uint8_t Alignment = 0; // 0 left, 1 right, 2 centre
    bool Visible = true;
};

class TVirtualStringTree : public QTreeView {
    Q_OBJECT
public:
    explicit TVirtualStringTree(QWidget* Parent = nullptr);
    ~TVirtualStringTree() override;

    // --- Header ---------------------------------------------------------------
    int ColumnCount() const { return static_cast<int>(FColumns.size()); }
    // Count new columns with default attributes, in their natural order
    // (the rows stay, and so do their selection and expansion).
    void ResetColumns(int Count);
    const TVirtualTreeColumn& Column(int Index) const;
    void SetColumnText(int Index, const std::string& Text);
    // The width is at least the column's minimum width.
    void SetColumnWidth(int Index, int Width);
    void SetColumnMinWidth(int Index, int MinWidth);
    void SetColumnAlignment(int Index, uint8_t Alignment);
    void SetColumnVisible(int Index, bool Visible);
    // Display position (0 first); the columns in between move by one.
    int ColumnPosition(int Index) const;
    void SetColumnPosition(int Index, int Position);
    // -1: no sort column.
    int SortColumn() const { return FSortColumn; }
    void SetSortColumn(int Index);
    int SortDirection() const { return FSortDirection; } // 0 ascending, 1 descending
    void SetSortDirection(int Direction);
    int MainColumn() const { return 0; }

    // --- Nodes -----------------------------------------------------------------
    void Clear();
    TVirtualNode* AddChild(TVirtualNode* Parent, std::any Data = {});
    // Appends one child per item of Data in one insertion: the view takes in
    // thousands of rows at once instead of one by one.
    void AddChildren(TVirtualNode* Parent, std::vector<std::any> Data);
    // Inserts before the child at Position (appends when Position is past
    // the last child or negative).
    TVirtualNode* InsertChild(TVirtualNode* Parent, int Position, std::any Data = {});
    // Inserts where a stable sort of the children by Column and Direction
    // would put a row appended last: after every sibling that compares
    // equal. Asks OnCompareNodes O(log n) times, so filling a sorted list row
    // by row costs no more than one sort at the end. Appends without a sort
    // column or compare handler.
    TVirtualNode* AddChildSorted(TVirtualNode* Parent, std::any Data, int Column, int Direction);
    void DeleteNode(TVirtualNode* Node);
    int RootNodeCount() const;
    // Depth first over every node, children of collapsed nodes too.
    TVirtualNode* GetFirst() const;
    TVirtualNode* GetNext(TVirtualNode* Node) const;
    template <typename T> T* NodeData(TVirtualNode* Node) const
    {
        return Node ? std::any_cast<T>(&Node->Data) : nullptr;
    }
    int ChildCount(TVirtualNode* Node) const;
    TVirtualNode* Child(TVirtualNode* Parent, int Index) const;

    // Sorts the children of every node by OnCompareNodes in Column (negated
    // for Direction 1), keeping the order of rows that compare equal; the
    // selection, focus, expansion and filter stay with their rows. Nothing
    // for Column -1 or without a compare handler.
    void SortTree(int Column, int Direction);
    // The same for the children of one node (the top level for null) only.
    void Sort(TVirtualNode* Parent, int Column, int Direction);

    // A filtered row is hidden with its children; the data stays.
    void SetFiltered(TVirtualNode* Node, bool Value);
    bool IsFiltered(TVirtualNode* Node) const { return Node && Node->Filtered; }
    void SetExpanded(TVirtualNode* Node, bool Value);
    bool Expanded(TVirtualNode* Node) const;

    // Bulk changes: repainting waits until the outermost EndUpdate.
    void BeginUpdate();
    void EndUpdate();
    bool Updating() const { return FUpdateCount > 0; }

    // The text OnGetText gives for Node in Column; empty without a handler.
    std::string Text(TVirtualNode* Node, int Column) const;
    // Repaints the node (its texts are asked for again).
    void InvalidateNode(TVirtualNode* Node);

    void ClearSelection();
    bool Selected(TVirtualNode* Node) const;
    void SetSelected(TVirtualNode* Node, bool Value);
    int SelectedCount() const;
    // The selected rows in tree order.
    std::vector<TVirtualNode*> SelectedNodes() const;
    TVirtualNode* FocusedNode() const;
    void SetFocusedNode(TVirtualNode* Node);
    // Expands the node's parents and scrolls it into view (centred).
    void ScrollIntoView(TVirtualNode* Node, bool Center);

    void SetCheckBox(TVirtualNode* Node, bool Value);
    void SetCheckState(TVirtualNode* Node, TNodeCheckState Value);

    bool HotTrack() const { return FHotTrack; }
    void SetHotTrack(bool Value);

    // Rows show a line break of their text as a blank (VisibleText).
    bool LineBreaksAsBlanks() const { return FLineBreaksAsBlanks; }
    void SetLineBreaksAsBlanks(bool Value);

    // Every second visible row (the second, fourth...) gets StripeColor as its
    // background; hidden rows and rows under collapsed parents do not count.
    bool Stripes() const { return FStripes; }
    void SetStripes(bool Value);
    void SetStripeColor(const QColor& Color);

    // A set of TPaintOption values.
    unsigned PaintOptions() const { return FPaintOptions; }
    void SetPaintOptions(unsigned Value);
    bool HasPaintOption(TPaintOption Option) const { return (FPaintOptions & Option) != 0; }
    void SetPaintOption(TPaintOption Option, bool Value);

    // Images that OnGetImageIndex refers to by index.
    void SetImages(std::vector<QIcon> Images);
    const std::vector<QIcon>& Images() const { return FImages; }

    QModelIndex IndexOf(TVirtualNode* Node, int Column = 0) const;
    TVirtualNode* NodeAt(const QModelIndex& Index) const;

    // --- Events ----------------------------------------------------------------
    std::function<std::string(TVirtualNode* Node, int Column)> OnGetText;
    // The user changes a check box; clearing Allowed refuses the change.
    std::function<void(TVirtualNode* Node, TNodeCheckState NewState, bool& Allowed)> OnChecking;
    std::function<void(TVirtualNode* Node)> OnChecked;
    std::function<void(TVirtualNode* Node, int Column)> OnFocusChanged;
    // Negative, 0 or positive: Node1 before, beside or after Node2 in Column.
    std::function<int(TVirtualNode* Node1, TVirtualNode* Node2, int Column)> OnCompareNodes;
    // An index into Images(), or -1 for none.
    std::function<int(TVirtualNode* Node, int Column)> OnGetImageIndex;
    // The tool tip of a cell; none without a handler or for an empty text.
    std::function<std::string(TVirtualNode* Node, int Column)> OnGetHint;
    // A left click on a header column.
    std::function<void(int Column)> OnHeaderClick;
    // The selection changed (rows added to or taken from it).
    std::function<void()> OnChange;

protected:
    void drawRow(QPainter* Painter, const QStyleOptionViewItem& Option,
                 const QModelIndex& Index) const override;
    void paintEvent(QPaintEvent* Event) override;
    // A cell's hint is shown as plain text: it is the cell's text, which
    // may come from a file.
    bool viewportEvent(QEvent* Event) override;

private:
    friend class TVirtualTreeModel;
    // The grid lines' colour, as the style draws a table's.
    QColor GridColor() const;
    // Vertical lines at the right edge of every visible column, Top to Bottom.
    void PaintVertGridLines(QPainter& Painter, int Top, int Bottom) const;
    void ApplyColumn(int Index);
    void ApplySortIndicator();
    void SortChildren(TVirtualNode* Parent, int Column, int Direction, bool Recursive);
    int Compare(TVirtualNode* A, TVirtualNode* B, int Column, int Direction) const;
    void ApplyFiltered(TVirtualNode* Node);

    TVirtualNode FRoot;
    TVirtualTreeModel* FModel;
    std::vector<TVirtualTreeColumn> FColumns;
    int FSortColumn = -1;
    int FSortDirection = 0;
    bool FHotTrack = false;
    bool FLineBreaksAsBlanks = false;
    bool FSyncing = false;
    bool FStripes = false;
    unsigned FPaintOptions = 0;
    int FUpdateCount = 0;
    std::vector<QIcon> FImages;
};
