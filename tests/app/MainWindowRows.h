// Rows of the main window's result list as a test makes them: a computer
// handed over as the scan pool hands it over, and a row made the only
// selected and focused one, as a click on it makes it.
#pragma once

#include "app/uTolvex.h"
#include "engine/uComputerList.h"
#include "engine/uThreadScanPool.h"
#include "forms/VirtualTrees.h"

#include <memory>

namespace guitest {

// Into ComputerList, then the pool's event for it; the computer as listed.
inline TComputer* HandOver(TfrmTolvex& Form, std::unique_ptr<TComputer> C)
{
    TComputer* P = C.get();
    ComputerList->push_back(std::move(C));
    Form.Pool().OnComputer(P);
    return P;
}

inline void SelectOnly(TVirtualStringTree& Tree, TVirtualNode* Node)
{
    Tree.ClearSelection();
    Tree.SetFocusedNode(Node);
    Tree.SetSelected(Node, true);
}

} // namespace guitest
