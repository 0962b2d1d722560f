// The list control of the result list, the log and several dialogs: a tree
// of nodes that carry their own data and get their texts from a callback,
// under a header of columns with captions, widths, alignments, a display
// order, visibility and a sort column. A QTreeView over a model of its own.
#pragma once

#include <QTreeView>

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TVirtualTreeModel;

// A check box's state (the engine's TCheckState is the reachability check).
enum class TNodeCheckState { Unchecked, Checked };

struct TVirtualNode {
    TVirtualNode* Parent = nullptr;
    std::vector<std::unique_ptr<TVirtualNode>> Children;
    int Index = 0; // among its siblings
    std::any Data;
    bool CheckBox = false;
    TNodeCheckState CheckState = TNodeCheckState::Unchecked;
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
    void DeleteNode(TVirtualNode* Node);
    int RootNodeCount() const;
    // Depth first over every node, children of collapsed nodes too.
    TVirtualNode* GetFirst() const;
    TVirtualNode* GetNext(TVirtualNode* Node) const;
    template <typename T> T* NodeData(TVirtualNode* Node) const
    {
        return Node ? std::any_cast<T>(&Node->Data) : nullptr;
    }
    // The text OnGetText gives for Node in Column; empty without a handler.
    std::string Text(TVirtualNode* Node, int Column) const;
    // Repaints the node (its texts are asked for again).
    void InvalidateNode(TVirtualNode* Node);

    void ClearSelection();
    bool Selected(TVirtualNode* Node) const;
    void SetSelected(TVirtualNode* Node, bool Value);
    int SelectedCount() const;
    TVirtualNode* FocusedNode() const;
    void SetFocusedNode(TVirtualNode* Node);
    // Expands the node's parents and scrolls it into view (centred).
    void ScrollIntoView(TVirtualNode* Node, bool Center);

    void SetCheckBox(TVirtualNode* Node, bool Value);
    void SetCheckState(TVirtualNode* Node, TNodeCheckState Value);

    bool HotTrack() const { return FHotTrack; }
    void SetHotTrack(bool Value);

    QModelIndex IndexOf(TVirtualNode* Node, int Column = 0) const;
    TVirtualNode* NodeAt(const QModelIndex& Index) const;

    // --- Events ----------------------------------------------------------------
    std::function<std::string(TVirtualNode* Node, int Column)> OnGetText;
    // The user changes a check box; clearing Allowed refuses the change.
    std::function<void(TVirtualNode* Node, TNodeCheckState NewState, bool& Allowed)> OnChecking;
    std::function<void(TVirtualNode* Node)> OnChecked;
    std::function<void(TVirtualNode* Node, int Column)> OnFocusChanged;

private:
    friend class TVirtualTreeModel;
    void ApplyColumn(int Index);
    void ApplySortIndicator();

    TVirtualNode FRoot;
    TVirtualTreeModel* FModel;
    std::vector<TVirtualTreeColumn> FColumns;
    int FSortColumn = -1;
    int FSortDirection = 0;
    bool FHotTrack = false;
    bool FSyncing = false;
};
