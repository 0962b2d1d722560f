#include "crashreport/kelNVLayout.h"

#include <algorithm>

// ---------------------------------------------------------------------------
// Navigation buttons and the form

TNVSize NavButtonSize(bool Painted, int CaptionWidth, bool Hidden)
{
    TNVSize S;
    S.Width = std::max(CaptionWidth + 20, Painted ? 85 : 75);
    S.Height = Painted ? 32 : 23;
    if (Hidden)
        S.Width = -8;
    return S;
}

int FormClientWidth(const TNVSize (&NavButtons)[3], int MinWidth, int MessageWidth, int FormCount)
{
    const int Buttons = NavButtons[0].Width + NavButtons[1].Width + NavButtons[2].Width + 32;
    return std::max(
        {Buttons, NVFormMinWidth, MinWidth, MessageWidth + 36 + NVStepPitch * FormCount});
}

int FormClientHeight(int ItemsBottom, int NextButtonHeight)
{
    return ItemsBottom + NextButtonHeight + 33;
}

TNVButtonRow PlaceNavButtons(int W, int H, const TNVSize (&Sizes)[3], bool NextPlain,
                             bool CancelPlain, bool SkipHidden)
{
    int Left[3];
    Left[nbCancel] = W - 8 - Sizes[nbCancel].Width;
    if (NextPlain && CancelPlain && SkipHidden) {
        Left[nbNext] = Left[nbCancel] - 8 - Sizes[nbNext].Width;
        Left[nbSkip] = 8;
    } else {
        Left[nbNext] = 8;
        Left[nbSkip] = Left[nbNext] + Sizes[nbNext].Width + 8;
    }
    TNVButtonRow Row;
    for (int B = nbNext; B <= nbCancel; ++B) {
        const int Width = std::max(Sizes[B].Width, 0);
        const int Top = H - Sizes[B].Height - 9;
        Row.Buttons[B] = {Left[B], Top, Left[B] + Width, Top + Sizes[B].Height};
    }
    return Row;
}

TNVRect FormPanel(int W, int NextButtonTop)
{
    return {8, 25, W - 9, NextButtonTop - 10};
}

TNVRect StepBox(int W, int Count, int Index)
{
    const int Cell = W - 3 - NVStepPitch * Count + NVStepPitch * (Index - 1);
    return {Cell - 1, 3, Cell - 1 + NVStepBoxSize, 3 + NVStepBoxSize};
}

// ---------------------------------------------------------------------------
// Items

TNVSize ButtonItemSize(TNVSize Caption, int MinWidth)
{
    return {std::max({Caption.Width + 32, 70, MinWidth}), Caption.Height + 10};
}

int LabelWrapWidth(int W)
{
    return W - 46;
}

TNVSize EditItemSize(int W, int LineHeight, int Lines)
{
    return {W - 46, (Lines > 1 ? LineHeight * Lines : LineHeight) + 2};
}

TNVSize CheckBoxItemSize(TNVSize Caption)
{
    return {Caption.Width + NVMenuCheckSize + 8, std::max(Caption.Height, NVMenuCheckSize)};
}

int ImageFrame(bool Border, bool Clickable)
{
    return (Border ? 6 : 0) + (Clickable ? 2 : 0);
}

TNVSize ImagePictureRoom(int GivenWidth, int GivenHeight, const TNVSize* Picture, int W,
                         int ScreenHeight, int Frame)
{
    TNVSize S;
    S.Width = GivenWidth != 0 ? GivenWidth : Picture != nullptr ? Picture->Width : 32;
    S.Height = GivenHeight != 0 ? GivenHeight : Picture != nullptr ? Picture->Height : 32;
    S.Width = std::min(S.Width, W - 42 - Frame);
    S.Height = std::min(S.Height, ScreenHeight / 3);
    return S;
}

bool IsCaptionLabel(std::string_view Text, int Height, int SingleLineHeight)
{
    return !Text.empty() && (Text.back() == ':' || Text.back() == '?') &&
           Height == SingleLineHeight;
}

int GapBelow(const std::vector<TNVGapItem>& Items, std::size_t Index)
{
    const TNVGapItem& Item = Items[Index];
    if (Item.Spacing != 0)
        return Item.Spacing;
    if (Index + 1 >= Items.size())
        return 0;
    if (Item.Kind == ikLabel && Item.CaptionLabel)
        return 4;
    const TNVGapItem& Next = Items[Index + 1];
    if (Next.Kind == Item.Kind)
        return Item.Kind == ikButton ? 4 : Item.Kind == ikEdit ? 6 : 8;
    const bool Pattern = Next.Kind == ikLabel && Next.CaptionLabel && Index > 0 &&
                         Items[Index - 1].Kind == ikLabel && Items[Index - 1].CaptionLabel &&
                         Index + 2 < Items.size() && Items[Index + 2].Kind == Item.Kind;
    return Pattern ? 8 : 12;
}

// ---------------------------------------------------------------------------
// Colours

namespace {

int Byte(TNVColor C, int Shift)
{
    return static_cast<int>(C >> Shift & 0xFF);
}

TNVColor Make(int R, int G, int B)
{
    auto Clamp = [](int V) { return static_cast<TNVColor>(std::clamp(V, 0, 255)); };
    return Clamp(R) << 16 | Clamp(G) << 8 | Clamp(B);
}

// Adds Sign x D; where two or more bytes would leave 0..255, subtracts instead.
TNVColor Shift(TNVColor C, TNVTriple D, int Sign)
{
    const int R = Byte(C, 16), G = Byte(C, 8), B = Byte(C, 0);
    auto Out = [](int V) { return V < 0 || V > 255 ? 1 : 0; };
    if (Out(R + Sign * D.R) + Out(G + Sign * D.G) + Out(B + Sign * D.B) >= 2)
        Sign = -Sign;
    return Make(R + Sign * D.R, G + Sign * D.G, B + Sign * D.B);
}

} // namespace

TNVColor NVLighter(TNVColor C, TNVTriple D)
{
    return Shift(C, D, +1);
}

TNVColor NVDarker(TNVColor C, TNVTriple D)
{
    return Shift(C, D, -1);
}

TNVColor NVHalfway(TNVColor A, TNVColor B)
{
    return Make((Byte(A, 16) + Byte(B, 16)) / 2, (Byte(A, 8) + Byte(B, 8)) / 2,
                (Byte(A, 0) + Byte(B, 0)) / 2);
}

TNVButtonScheme NavButtonScheme(int NavButton)
{
    switch (NavButton) {
    case nbNext:
        return {0x80A080, {2, 1, 2}};
    case nbSkip:
        return {0x8080A0, {1, 2, 2}};
    default:
        return {0xA08080, {2, 2, 1}};
    }
}

TNVColor RestingButtonLine(const TNVButtonScheme& Scheme, int Line)
{
    const int N = (Line + 1) / 2;
    return Make(255 - N * Scheme.Step.R, 255 - N * Scheme.Step.G, 255 - N * Scheme.Step.B);
}

TNVColor FocusedButtonLine(const TNVButtonScheme& Scheme, int Line)
{
    return Make(Line * 3 * (2 - Scheme.Step.R), Line * 3 * (2 - Scheme.Step.G),
                Line * 3 * (2 - Scheme.Step.B));
}

TNVColor StepBoxLine(TNVColor Window, int Line)
{
    return Make(Byte(Window, 16) - 2 * Line, Byte(Window, 8) - 2 * Line,
                Byte(Window, 0) - 2 * Line);
}
