// Assistant forms as their sections hold them.
//
// An assistant is a row of small dialogs (forms) that ask the user something
// before a report is sent. Each form is a component stream (see
// kelExceptStream.h) in the helper program's section ".rsrc.10.TKE<FORM>": the
// first object is the form, its properties belong to the form, and its child
// objects become the form's items, in order. This unit reads such a stream
// into plain descriptions; the helper builds the windows from them.
//
// Every form has three navigation buttons first, "ContinueBtn" ("Next >"),
// "SkipBtn" ("Skip") and "CancelBtn" ("Cancel"); an object of class TNVButton
// with one of these names (or "AbortBtn", which means "CancelBtn") configures
// that button instead of adding one. The class of an item object is compared
// from its second letter on ("XNVEdit" is an edit); an object of any other
// class adds nothing and its properties go to the form. Every property value
// is taken as text (an integer in decimal, a boolean as "0" or "1").
//
// The section is a file anyone may have edited, so reading trusts nothing:
// every length is checked against the bytes left, objects may nest at most
// MaxFormDepth deep and a form holds at most MaxFormObjects objects. Whatever
// stops the reading, the form keeps what was read before.
#pragma once

#include "crashreport/kelExceptStream.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int MaxFormDepth = 16;
inline constexpr int MaxFormObjects = 128;

// --- The objects of a form stream --------------------------------------------

struct TFormStreamObject {
    int Depth = 0;                     // 0 for the form, 1 for its items, ...
    std::string ClassName, ObjectName; // the bytes as stored

    std::vector<TStreamProperty> Properties;
};

enum class TFormStreamStop : std::uint8_t {
    fsEnd,          // the form object ended normally
    fsNoSignature,  // the bytes do not begin with "TPF0": no objects
    fsUnknownTag,   // a property with a tag outside the table (see BadTag)
    fsTruncated,    // the bytes ended inside the stream
    fsTooDeep,      // an object nested deeper than MaxFormDepth
    fsTooManyItems, // more than MaxFormObjects objects
};

struct TFormStreamObjects {
    // Front to back: each object after its parent and its elder siblings.
    std::vector<TFormStreamObject> Objects;
    TFormStreamStop Stop = TFormStreamStop::fsEnd;
    std::uint8_t BadTag = 0;
};

// The objects of a form stream, read without recursion.
TFormStreamObjects ReadFormObjects(std::string_view Bytes);
// The stream of these objects. Depths must start at 0 and grow by at most one
// from an object to the next; a second object of depth 0 is not written.
std::string WriteFormObjects(const std::vector<TFormStreamObject>& Objects);

// What kept a stream from being read to its end: for an unknown tag the
// message the user sees, "Internal error: Invalid assistant resource (5).",
// else a line for the helper's error output. Empty when the form was read to
// its end.
std::string FormStreamProblem(const TFormStreamObjects& Read);

// --- Forms and their items -----------------------------------------------------

enum TNVItemKind : std::uint8_t { ikButton, ikLabel, ikEdit, ikCheckBox, ikImage };

// The item classes, by kind.
inline constexpr std::string_view NVItemClassNames[5] = {"TNVButton", "TNVLabel", "TNVEdit",
                                                         "TNVCheckBox", "TNVImage"};

// The item kind of an object's class; none for any other class.
std::optional<TNVItemKind> NVItemKindOfClass(std::string_view ClassName);

// The navigation buttons, the first three items of every form.
enum TNVNavButton : int { nbNext = 0, nbSkip = 1, nbCancel = 2 };
inline constexpr std::string_view NavButtonNames[3] = {"ContinueBtn", "SkipBtn", "CancelBtn"};
inline constexpr std::string_view NavButtonCaptions[3] = {"Next >", "Skip", "Cancel"};
inline constexpr int FirstFormItem = 3;

// Value rules of every property: a boolean is true for "yes" or "true" (any
// case) or exactly "1"; an integer is read from its leading decimal digits (0
// when there are none or it does not fit 32 bits).
bool NVBoolValue(std::string_view Text);
std::int32_t NVIntValue(std::string_view Text);

// One item's fields as its object sets them. Which fields mean something
// depends on the kind.
struct TNVItemDesc {
    TNVItemKind Kind = ikButton;
    std::string Name;
    bool Enabled = true;       // "Enabled"
    std::int32_t Spacing = 0;  // "Spacing": gap below the item, 0 = the automatic gap
    bool OutputType = false;   // "OutputType" holds "ownSection": the text is a report section
    std::string OutputName;    // "OutputName": the report field or section it goes to
    std::string Caption;       // buttons, labels, check boxes ("Caption"; "Text" for a check box)
    std::int32_t MinWidth = 0; // buttons
    bool NoOwnerDraw = false;  // buttons: a plain push button instead of a painted one
    bool Hidden = false;       // buttons: "Visible" false
    std::int32_t Lines = 0;    // edits: more than one gives a multi-line edit
    bool Optional = false;     // edits: may stay empty
    std::string Text;          // edits: the first text ("%lf%" is a line break, CR LF)
    bool Plain = false;        // edits: "Colored" false, black text whatever its state
    bool Invalid = false;      // edits: "Valid" false
    bool Checked = false;      // check boxes
    std::string File;          // images: a .bmp file to show
    std::int32_t Width = 0, Height = 0;     // images: 0 = the picture's size
    bool Clickable = false, Border = false; // images

    // Applies a property of the item's object; unknown names are ignored.
    void SetProperty(std::string_view Property, std::string_view Value);
    // The caption shown: Caption, or the item's name when it is empty.
    const std::string& ShownCaption() const { return Caption.empty() ? Name : Caption; }
};

struct TNVFormDesc {
    std::string Name;          // the form object's name
    std::string Message;       // "Message": the heading
    std::string ActiveControl; // "ActiveControl": the item that gets the focus first
    std::string OnAction;      // "OnAction": the name of the form's handler routine
    std::int32_t MinWidth = 0; // "MinWidth"
    std::int32_t Timer = 0;    // "Timer": milliseconds between timer events, 0 = none
    // The navigation buttons, then the items of the stream.
    std::vector<TNVItemDesc> Items;

    void SetProperty(std::string_view Property, std::string_view Value);
};

// A form with only its three navigation buttons.
TNVFormDesc NewFormDesc();

struct TNVFormRead {
    TNVFormDesc Form;
    TFormStreamStop Stop = TFormStreamStop::fsEnd;
    // FormStreamProblem of the reading; empty when all was read.
    std::string Problem;
};

// The form of a stream: everything that was read before whatever stopped
// the reading. Bytes without the signature give the empty form.
TNVFormRead ReadFormStream(std::string_view Bytes);
