// Records shared by the settings and the user interface.
#pragma once

#include <cstdint>
#include <string>

// The layout of one result-list column.
struct TListColumnStore {
    bool Visible = true;
    std::string Caption; // not stored: the translation of "MACColumns" + index
    int Width = 50;
    uint8_t Alignment = 0; // 0 left, 1 right, 2 centre
    int Position = 0;      // display order
    bool Sorted = false;   // this column is the sort column
    int SortDirection = 0; // 0 ascending, 1 descending
};
