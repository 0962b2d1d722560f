// The row list of a manager dialog (message presets, command lists): one row
// per item of an ordered collection, and the five commands that reorder,
// add, edit and remove items with the rules both managers share. The dialog
// says what an item is through the callbacks; the rows follow.
#pragma once

#include <QString>

#include <functional>
#include <string>

class QAbstractButton;
class QDialog;
class TAction;
class TActionList;
class TVirtualStringTree;

class TManagedRows {
public:
    struct TCallbacks {
        std::function<int()> Count;
        // The text of the row of the item at Index.
        std::function<std::string(int Index)> Text;
        // The two items change places.
        std::function<void(int Index1, int Index2)> Exchange;
        // Asks for a new item; true when one was appended.
        std::function<bool()> Add;
        // Asks for changes to the item; its row is repainted either way.
        std::function<void(int Index)> Edit;
        // Asks and removes the item; true when it is gone.
        std::function<bool(int Index)> Remove;
    };
    struct TButtons {
        QAbstractButton* Up;
        QAbstractButton* Down;
        QAbstractButton* Add;
        QAbstractButton* Edit;
        QAbstractButton* Remove;
    };
    // The names of the add, edit and remove actions differ between the
    // managers; "actMoveUP" and "actMoveDown" do not.
    struct TActionNames {
        QString Add, Edit, Remove;
    };

    TManagedRows(QDialog& Owner, TVirtualStringTree& Tree, const TButtons& Buttons,
                 const TActionNames& Names, TCallbacks Callbacks);

    // One row per item, the first focused.
    void Fill();
    // The item of the focused row, or -1.
    int FocusedIndex() const;

    TAction* actMoveUP = nullptr;
    TAction* actMoveDown = nullptr;
    TAction* actAdd = nullptr;
    TAction* actEdit = nullptr;
    TAction* actRemove = nullptr;

private:
    void FocusRow(int Index);
    void MoveFocused(int Delta);
    void AddItem();
    void EditItem();
    void RemoveItem();

    TVirtualStringTree& FTree;
    TCallbacks F;
    TActionList* FActions;
};
