#include "app/uProgramIcon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

QPixmap ProgramIconPixmap(int Size)
{
    QPixmap Pix(Size, Size);
    Pix.fill(Qt::transparent);
    QPainter P(&Pix);
    P.setRenderHint(QPainter::Antialiasing);
    const qreal S = Size;
    // A blue tile with three computers joined to one point: a network.
    QLinearGradient Fill(0, 0, 0, S);
    Fill.setColorAt(0, QColor(0x3b, 0x82, 0xd6));
    Fill.setColorAt(1, QColor(0x1d, 0x4e, 0x8f));
    P.setPen(Qt::NoPen);
    P.setBrush(Fill);
    P.drawRoundedRect(QRectF(0.5, 0.5, S - 1, S - 1), S / 6, S / 6);
    const QPointF Hub(S / 2, S * 0.42);
    const QPointF Nodes[] = {{S * 0.22, S * 0.74}, {S * 0.5, S * 0.8}, {S * 0.78, S * 0.74}};
    P.setPen(QPen(Qt::white, qMax<qreal>(1, S / 24)));
    for (const QPointF& N : Nodes)
        P.drawLine(Hub, N);
    P.setPen(Qt::NoPen);
    P.setBrush(Qt::white);
    P.drawEllipse(Hub, S * 0.14, S * 0.14);
    for (const QPointF& N : Nodes)
        P.drawRect(QRectF(N.x() - S * 0.09, N.y() - S * 0.07, S * 0.18, S * 0.14));
    P.setBrush(QColor(0x1d, 0x4e, 0x8f));
    P.drawEllipse(Hub, S * 0.06, S * 0.06);
    return Pix;
}

QIcon ProgramIcon()
{
    QIcon Icon;
    for (int Size : {16, 24, 32, 48, 64, 128, 256})
        Icon.addPixmap(ProgramIconPixmap(Size));
    return Icon;
}
