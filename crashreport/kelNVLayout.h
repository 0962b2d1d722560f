// The pixel rules of the assistant forms, as plain arithmetic: the helper
// measures texts with its fonts and places its widgets by these rules, so
// that the same numbers come out whatever toolkit draws them.
//
// A form is a client area W x H. Its heading stands at the top, the items from
// y 40 down at x 21, the navigation buttons in a row at the bottom; a panel
// frames the items and, with more than one form, a step indicator at the top
// right shows where the user is.
#pragma once

#include "crashreport/kelNVFormStream.h"

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

struct TNVSize {
    int Width = 0, Height = 0;
    friend bool operator==(const TNVSize&, const TNVSize&) = default;
};

// Right and bottom are outside the rectangle.
struct TNVRect {
    int Left = 0, Top = 0, Right = 0, Bottom = 0;
    int Width() const { return Right - Left; }
    int Height() const { return Bottom - Top; }
    friend bool operator==(const TNVRect&, const TNVRect&) = default;
};

inline constexpr int NVItemLeft = 21;     // every item's x
inline constexpr int NVFirstItemTop = 40; // the first item's y
inline constexpr int NVFormMinWidth = 315;
inline constexpr int NVStepPitch = 19;     // step indicator: distance of the numbers
inline constexpr int NVStepBoxSize = 21;   // step indicator: the current number's box
inline constexpr int NVMenuCheckSize = 13; // a check box's box at its smallest
inline constexpr int NVEditFrame = 2;      // the frame the form paints around an edit

// --- Navigation buttons and the form's size ------------------------------------

// A navigation button's size from its caption's width: painted buttons are
// 32 high and at least 85 wide, plain ones 23 high and at least 75 wide. A
// hidden button counts as 8 narrower than nothing, so that its gap falls away.
TNVSize NavButtonSize(bool Painted, int CaptionWidth, bool Hidden);

// W: the widest of the three buttons' widths + 32, 315, the form's "MinWidth"
// and the heading's width + 36 + 19 for each form of the assistant.
int FormClientWidth(const TNVSize (&NavButtons)[3], int MinWidth, int MessageWidth, int FormCount);

// H: below the last item, room for the button row.
int FormClientHeight(int ItemsBottom, int NextButtonHeight);

// Where the three buttons stand. Plain Next and Cancel buttons with the Skip
// button hidden stand at the right (Cancel at the edge, Next 8 to its left);
// otherwise Next stands at the left, Skip 8 right of it, Cancel at the right
// edge. Each stands 9 above the bottom.
struct TNVButtonRow {
    TNVRect Buttons[3];
};
TNVButtonRow PlaceNavButtons(int W, int H, const TNVSize (&Sizes)[3], bool NextPlain,
                             bool CancelPlain, bool SkipHidden);

// The panel behind the items: from (8, 25) to 9 inside the right edge and 10
// above the Next button.
TNVRect FormPanel(int W, int NextButtonTop);

// The box of number Index (1-based) of the step indicator, a 21 x 21 square
// around the number's 19 x 19 cell; the first cell starts 3 + 19 x Count left
// of the right edge, at y 4.
TNVRect StepBox(int W, int Count, int Index);

// --- Items ---------------------------------------------------------------------

// A push button inside a form: its caption + 32 wide, at least 70 and at least
// MinWidth; its caption + 10 high.
TNVSize ButtonItemSize(TNVSize Caption, int MinWidth);
// The width a label's text is wrapped in.
int LabelWrapWidth(int W);
// An edit's own size (its frame comes around it): W - 46 wide, its line height
// times its lines (one line for Lines below 2), + 2.
TNVSize EditItemSize(int W, int LineHeight, int Lines);
// A check box: its caption + the box + 8 wide, the caption's height and at
// least the box's.
TNVSize CheckBoxItemSize(TNVSize Caption);
// An image's frame: 6 with a border, 2 more when it can be clicked.
int ImageFrame(bool Border, bool Clickable);
// The room for an image's picture: the given size (0: the picture's, or 32
// without one), at most W - 42 - frame wide and a third of the screen high.
TNVSize ImagePictureRoom(int GivenWidth, int GivenHeight, const TNVSize* Picture, int W,
                         int ScreenHeight, int Frame);

// A label is a caption label when its text ends with ":" or "?" and it fits
// on one line.
bool IsCaptionLabel(std::string_view Text, int Height, int SingleLineHeight);

// What the gap rule needs to know of an item.
struct TNVGapItem {
    TNVItemKind Kind = ikButton;
    bool CaptionLabel = false;
    int Spacing = 0;
};
// The gap below item Index of a form's laid-out items (the navigation buttons
// not among them): its "Spacing" when set; none below the last item; 4 below
// a caption label; to an item of its own class 4 (buttons), 6 (edits) or 8;
// to another class 8 where caption labels and fields of one class take
// turns, else 12.
int GapBelow(const std::vector<TNVGapItem>& Items, std::size_t Index);

// --- Colours -------------------------------------------------------------------
// 0xRRGGBB.

using TNVColor = std::uint32_t;
struct TNVTriple {
    int R = 0, G = 0, B = 0;
};

// Lighter or darker by D in each byte, saturating; where two or more bytes
// would saturate, the other way is taken instead.
TNVColor NVLighter(TNVColor C, TNVTriple D);
TNVColor NVDarker(TNVColor C, TNVTriple D);
// Halfway between two colours.
TNVColor NVHalfway(TNVColor A, TNVColor B);

// A painted navigation button's colour and gradient step: Next green, Skip
// blue, Cancel and any other red.
struct TNVButtonScheme {
    TNVColor Color;
    TNVTriple Step;
};
TNVButtonScheme NavButtonScheme(int NavButton);
// The colour of line Line (0 at the top) of a button at rest: white, one step
// darker on every odd line.
TNVColor RestingButtonLine(const TNVButtonScheme& Scheme, int Line);
// The colour of line Line (0 at the bottom) of a focused button: black,
// growing by 3 x ((2, 2, 2) - step) a line.
TNVColor FocusedButtonLine(const TNVButtonScheme& Scheme, int Line);
// Line Line (0 at the top) of the current step's box: the window colour,
// darker by 2 a line.
TNVColor StepBoxLine(TNVColor Window, int Line);
