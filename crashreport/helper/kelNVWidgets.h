// The widgets the assistant forms draw themselves, and what their drawing
// shares: the navigation buttons in their colour schemes, check boxes with a
// drawn check mark, labels wrapped as they were measured, the fonts, and the
// system colours taken from the application's palette.
#pragma once

#include "crashreport/kelNVLayout.h"

#include <QAbstractButton>
#include <QFont>
#include <QPushButton>
#include <QString>
#include <QWidget>

#include <string_view>

class QPainter;

// The fonts of the forms: items 11 pixels, painted captions 15 pixels, the
// heading and the step numbers 15 pixels bold; all DejaVu Sans.
enum TNVFontKind : std::uint8_t { nfItem, nfCaption, nfHeading };
QFont NVFont(TNVFontKind Kind);

QString NVText(std::string_view Utf8);
QColor NVQColor(TNVColor Color);
TNVColor NVColorOf(const QColor& Color);
inline constexpr TNVColor NVWhite = 0xFFFFFF;

// The system colours the forms are drawn in: the face and shadow of buttons,
// a window's background and text, the darkest shadow.
struct TSysColors {
    TNVColor BtnFace, BtnShadow, Window, WindowText, DkShadow;
};
TSysColors NVSysColors();

// Text in Color, first in white at the eight neighbouring pixels.
void DrawHaloText(QPainter& P, const QRect& R, int Flags, const QString& Text, const QColor& Color);

// A navigation button (0 Next, 1 Skip, 2 Cancel) drawn in its colour scheme:
// at rest a gradient from white with a haloed caption, focused a gradient
// from black with a dotted frame, disabled flat.
class TNVPaintedButton final : public QPushButton {
public:
    TNVPaintedButton(int ANavButton, QWidget* Parent);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    const int NavButton;
};

// A check box: a box as high as the item with a drawn check mark, the caption
// beside it, a dotted focus frame around the caption.
class TNVCheckBoxWidget final : public QAbstractButton {
public:
    explicit TNVCheckBoxWidget(QWidget* Parent);

protected:
    void paintEvent(QPaintEvent*) override;
};

// A label: its text wrapped at the widget's width, as the form measured it.
class TNVLabelWidget final : public QWidget {
public:
    explicit TNVLabelWidget(QWidget* Parent) : QWidget(Parent) {}
    void SetText(const QString& AText);

protected:
    void paintEvent(QPaintEvent*) override;

private:
    QString Text;
};
