#include "crashreport/helper/kelNVWidgets.h"

#include <QApplication>
#include <QPainter>
#include <QPalette>

QFont NVFont(TNVFontKind Kind)
{
    QFont F(QStringLiteral("DejaVu Sans"));
    F.setStyleHint(QFont::SansSerif);
    F.setPixelSize(Kind == nfItem ? 11 : 15);
    F.setBold(Kind == nfHeading);
    return F;
}

QString NVText(std::string_view Utf8)
{
    return QString::fromUtf8(Utf8.data(), static_cast<qsizetype>(Utf8.size()));
}

QColor NVQColor(TNVColor Color)
{
    return QColor(static_cast<int>(Color >> 16 & 0xFF), static_cast<int>(Color >> 8 & 0xFF),
                  static_cast<int>(Color & 0xFF));
}

TNVColor NVColorOf(const QColor& Color)
{
    return static_cast<TNVColor>(Color.red()) << 16 | static_cast<TNVColor>(Color.green()) << 8 |
           static_cast<TNVColor>(Color.blue());
}

TSysColors NVSysColors()
{
    const QPalette P = QApplication::palette();
    return {NVColorOf(P.color(QPalette::Button)), NVColorOf(P.color(QPalette::Dark)),
            NVColorOf(P.color(QPalette::Base)), NVColorOf(P.color(QPalette::WindowText)),
            NVColorOf(P.color(QPalette::Shadow))};
}

void DrawHaloText(QPainter& P, const QRect& R, int Flags, const QString& Text, const QColor& Color)
{
    P.setPen(Qt::white);
    for (int Dx = -1; Dx <= 1; ++Dx)
        for (int Dy = -1; Dy <= 1; ++Dy)
            if (Dx != 0 || Dy != 0)
                P.drawText(R.translated(Dx, Dy), Flags, Text);
    P.setPen(Color);
    P.drawText(R, Flags, Text);
}

TNVPaintedButton::TNVPaintedButton(int ANavButton, QWidget* Parent)
    : QPushButton(Parent), NavButton(ANavButton)
{
}

void TNVPaintedButton::paintEvent(QPaintEvent*)
{
    QPainter P(this);
    const TSysColors S = NVSysColors();
    const TNVButtonScheme Scheme = NavButtonScheme(NavButton);
    const QRect R = rect();
    QColor CaptionColor;
    bool Halo = false;
    if (!isEnabled()) {
        P.fillRect(R, NVQColor(S.BtnFace));
        P.fillRect(R.adjusted(2, 2, -2, -2), NVQColor(NVLighter(S.BtnFace, {16, 16, 16})));
        CaptionColor = Qt::white;
    } else if (hasFocus()) {
        P.fillRect(R, NVQColor(S.WindowText));
        const QRect In = R.adjusted(1, 1, -1, -1);
        for (int Line = 0; Line < In.height(); ++Line) {
            P.setPen(NVQColor(FocusedButtonLine(Scheme, Line)));
            P.drawLine(In.left(), In.bottom() - Line, In.right(), In.bottom() - Line);
        }
        QPen Dots(NVQColor(Scheme.Color), 1, Qt::DotLine);
        P.setPen(Dots);
        P.drawRect(R.adjusted(3, 3, -4, -4));
        CaptionColor = NVQColor(S.Window);
    } else {
        P.fillRect(R, NVQColor(S.BtnShadow));
        P.fillRect(R.adjusted(1, 1, -1, -1), NVQColor(S.BtnFace));
        const QRect In = R.adjusted(2, 2, -2, -2);
        for (int Line = 0; Line < In.height(); ++Line) {
            P.setPen(NVQColor(RestingButtonLine(Scheme, Line)));
            P.drawLine(In.left(), In.top() + Line, In.right(), In.top() + Line);
        }
        CaptionColor = NVQColor(S.WindowText);
        Halo = true;
    }
    P.setFont(NVFont(nfCaption));
    if (Halo) {
        DrawHaloText(P, R, Qt::AlignCenter, text(), CaptionColor);
    } else {
        P.setPen(CaptionColor);
        P.drawText(R, Qt::AlignCenter, text());
    }
}

TNVCheckBoxWidget::TNVCheckBoxWidget(QWidget* Parent) : QAbstractButton(Parent)
{
    setCheckable(true);
}

void TNVCheckBoxWidget::paintEvent(QPaintEvent*)
{
    QPainter P(this);
    const TSysColors S = NVSysColors();
    P.fillRect(rect(), NVQColor(S.BtnFace));
    const int Box = height();
    const QRect B(0, 0, Box, Box);
    P.fillRect(B, NVQColor(NVHalfway(S.BtnFace, NVWhite)));
    P.fillRect(B.adjusted(1, 1, -1, -1), NVQColor(isDown() || !isEnabled() ? S.BtnFace : S.Window));
    if (isChecked()) {
        P.setRenderHint(QPainter::Antialiasing);
        P.setPen(QPen(NVQColor(S.WindowText), 2));
        const QPointF Mark[3] = {
            {Box * 0.24, Box * 0.50}, {Box * 0.43, Box * 0.70}, {Box * 0.77, Box * 0.28}};
        P.drawPolyline(Mark, 3);
        P.setRenderHint(QPainter::Antialiasing, false);
    }
    const QRect Caption(Box + 4, 0, width() - Box - 4, height());
    const int Flags = Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine;
    if (isEnabled()) {
        P.setPen(NVQColor(S.WindowText));
    } else {
        P.setPen(NVQColor(S.Window));
        P.drawText(Caption.translated(1, 1), Flags, text());
        P.setPen(NVQColor(S.BtnShadow));
    }
    P.drawText(Caption, Flags, text());
    if (hasFocus()) {
        QRect Around = P.boundingRect(Caption, Flags, text()).adjusted(-1, 0, 1, 0);
        P.setPen(QPen(NVQColor(S.WindowText), 1, Qt::DotLine));
        P.drawRect(Around.adjusted(0, 0, -1, -1).intersected(rect().adjusted(0, 0, -1, -1)));
    }
}

void TNVLabelWidget::SetText(const QString& AText)
{
    Text = AText;
    update();
}

void TNVLabelWidget::paintEvent(QPaintEvent*)
{
    QPainter P(this);
    P.setPen(
        palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::WindowText));
    P.drawText(rect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, Text);
}
