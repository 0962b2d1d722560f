// The rows of the result list: what each row shows in each column, how rows
// are sorted and filtered, and the texts copied to the clipboard.
//
// The result list is virtual: a row holds a pointer to a computer or to one
// of its adapters, and every text is made when the list asks for it. The
// computers are owned by ComputerList; rows never outlive them (clearing the
// list removes the rows before the computers go).
#pragma once

#include "app/uMacComments.h"
#include "engine/uComputerList.h"

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class TVirtualStringTree;
struct TVirtualNode;

// The columns of the result list by their index in the header; the stored
// layout MACColumns has one entry per column in this order. Any other index
// is a column with no text.
enum TResultColumn : int { rcCaption, rcIP, rcMAC, rcVendor, rcComment };
inline constexpr int ResultColumnCount = rcComment + 1;

// --- Result rows --------------------------------------------------------------
// A result row: a computer row has Computer set and Adapter null; an adapter
// row has Adapter set (Computer is the computer it belongs to).
struct TMacListData {
    TMacListData(TComputer* C = nullptr, TMacAddress* A = nullptr) : Computer(C), Adapter(A) {}

    TComputer* Computer = nullptr;
    TMacAddress* Adapter = nullptr;

    // The row's sort key in the column being sorted, made once per sort so
    // that the comparisons of a long list do not make texts again and again.
    struct TSortKey {
        uint32_t Number = 0; // the address (IP column, a computer's caption)
        bool IsIP = false;   // a computer's caption starts with an address
        std::string Text;    // the cell's text (other columns)
        std::string Folded;  // Text in lower case, when Text is ASCII (a
                             // computer's caption: its first word in upper case)
        bool Ascii = true;
    };
    mutable TSortKey Key;
};

// What a text depends on besides the row.
struct TMacListContext {
    TComputerCaptionStyle Style = ccsIPName;
    bool IPColumnVisible = true; // when hidden, captions carry the IP
    const TMacComments* Comments = nullptr;
};

// The computer's first adapter when the computer row shows it (the Single
// flag is set and there is an adapter); else null.
const TMacAddress* ShownAdapter(const TComputer& Computer);

// The text of a row in a column (rcCaption: the computer's caption or the
// adapter's name). A row without data is empty.
std::string GetMacListText(const TMacListData* Row, int Column, const TMacListContext& Context);
// The MAC address a row stands for: an adapter row's own, a computer row's
// shown adapter's; else empty.
std::string GetNodeMac(const TMacListData* Row);
// 0 for a computer row and 1 for an adapter row, in rcCaption only; else -1.
int GetMacListImageIndex(const TMacListData* Row, int Column);

// Sort comparisons: negative, 0 or positive.
int CompareComputerRows(const TComputer& C1, const TComputer& C2, int Column,
                        const TMacListContext& Context);
int CompareAdapterRows(const TMacAddress& A1, const TMacAddress& A2, int Column,
                       const TMacListContext& Context);
// Rows of different kinds (or without data) compare equal.
int CompareMacListRows(const TMacListData* Row1, const TMacListData* Row2, int Column,
                       const TMacListContext& Context);

// Texts compared without regard to letter case (Unicode case folding).
int CompareTextNoCase(std::string_view A, std::string_view B);
// True when Filter is empty or Text contains it, without regard to case.
bool TextMatchesFilter(std::string_view Text, std::string_view Filter);

// A left click on header column Clicked: the current sort column goes from
// ascending to descending and from descending to no sort column (-1,
// ascending); another column becomes the sort column, ascending.
void NextHeaderSort(int Clicked, int& SortColumn, int& SortDirection);

// The background of every second visible row when stripes are on.
inline constexpr uint32_t StripeColor = 0xF1F1F1;
// True for a row with an odd number of visible rows above it.
inline constexpr bool IsStripedRow(int VisibleRowsAbove)
{
    return VisibleRowsAbove % 2 == 1;
}

// --- The lists on their controls ---------------------------------------------
// Binds the result list's rows to a list control: texts, images, hints and
// comparisons come from the rows; adding, sorting, filtering, copying and
// clearing keep the control's rows and the computers apart from each other.
class TResultList {
public:
    // The caption style is read from the option ComputerCaptionStyle each
    // time a text is made, so a change in the options shows at once.
    TResultList(TVirtualStringTree& Tree, TMacComments& Comments);
    // Unhooks the control, which may outlive this binding.
    ~TResultList();
    TResultList(const TResultList&) = delete;
    TResultList& operator=(const TResultList&) = delete;

    TVirtualStringTree& Tree() const { return FTree; }
    TMacComments& Comments() const { return FComments; }
    TMacListContext Context() const;

    TMacListData* Data(TVirtualNode* Node) const;
    std::string Text(TVirtualNode* Node, int Column) const;
    std::string NodeMac(TVirtualNode* Node) const;

    // Adds the computer's row (at its sorted place), its adapter rows (none
    // for one adapter without a name; otherwise one per adapter, expanded),
    // and applies the current filter to it.
    TVirtualNode* AddComputer(TComputer* Computer);
    // The same for many computers at once (a file opened): appended in one
    // step, then sorted and filtered once.
    void AddComputers(const std::vector<TComputer*>& Computers);
    // Sorts every row by the header's sort column and direction.
    void Sort();
    // The header click cycle, then Sort.
    void HeaderClick(int Column);

    // The filter: rows whose text in Column does not contain Text (without
    // regard to case) are hidden with their children; an empty text shows
    // every row.
    void SetFilter(int Column, const std::string& Text);
    void ApplyFilter();
    int FilterColumn() const { return FFilterColumn; }
    const std::string& FilterText() const { return FFilterText; }

    // Stores a comment and repaints every row showing that MAC (rows of other
    // computers may show it too). A changed comment may break the order when
    // the list is sorted by comment, so the next added row sorts the list.
    void SetComment(const std::string& Mac, const std::string& Comment);

    // The selected rows' texts of columns First..Last (see JoinCopyCells and
    // JoinCopyLines), with Separator between the cells.
    std::string SelectionText(int First, int Last, char Separator) const;

    // Removes every row; the computers they pointed at are not touched.
    void Clear();

private:
    void FilterRow(TVirtualNode* Node);
    // The adapter rows of a computer row (none for one adapter without a
    // name), expanded; at their sorted places when Sorted.
    void AddAdapterRows(TVirtualNode* Node, bool Sorted);
    void MakeSortKey(const TMacListData& Row, int Column, const TMacListContext& Context) const;
    void MakeSortKeys(int Column);
    // Runs Do with the list comparing rows by their sort keys in Column,
    // which give the order CompareMacListRows gives.
    void CompareByKeys(int Column, const std::function<void()>& Do);

    TVirtualStringTree& FTree;
    TMacComments& FComments;
    int FFilterColumn = 0;
    std::string FFilterText;
    // The order the rows are in: sorted by FOrderColumn, FOrderDirection and
    // FOrderStyle, unless a changed comment may have broken it.
    bool FOrderValid = true;
    int FOrderColumn = -1;
    int FOrderDirection = 0;
    TComputerCaptionStyle FOrderStyle = ccsIPName;
};
