// A stored column layout (MACColumns) copied into a list's header and back.
#pragma once

#include "settings/CommonTypes.h"

#include <span>

class TVirtualStringTree;

// Rebuilds the header's columns 0..LastIndex (no further than Layout reaches)
// from Layout: captions, widths (at least 50), alignments, display order,
// sort column and direction, and visibility.
void ApplyColumnLayout(TVirtualStringTree& Tree, std::span<const TListColumnStore> Layout,
                       int LastIndex);
// Copies the header's columns 0..LastIndex into Layout. Only the sort
// column's entry takes the header's sort direction.
void ReadColumnLayout(const TVirtualStringTree& Tree, std::span<TListColumnStore> Layout,
                      int LastIndex);
