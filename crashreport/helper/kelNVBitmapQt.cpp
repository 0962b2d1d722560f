#include "crashreport/helper/kelNVBitmapQt.h"

#include <QImageReader>
#include <QPainter>

#include <cstring>

QImage NVBitmapToImage(const INVBitmap& Bitmap)
{
    const int W = Bitmap.GetWidth(), H = Bitmap.GetHeight();
    if (W <= 0 || H <= 0)
        return {};
    QImage Image(W, H, QImage::Format_RGB32);
    if (Image.isNull())
        return {};
    // Both hold blue, green, red and one more byte per pixel; the bitmap's
    // rows run from the bottom, the image's from the top. RGB32 wants that
    // byte 0xFF.
    const std::size_t Row = static_cast<std::size_t>(W) * 4;
    for (int Y = 0; Y < H; ++Y) {
        auto* Out = reinterpret_cast<std::uint32_t*>(Image.scanLine(Y));
        std::memcpy(Out, Bitmap.Pixels() + static_cast<std::size_t>(H - 1 - Y) * Row, Row);
        for (int X = 0; X < W; ++X)
            Out[X] |= 0xFF000000u;
    }
    return Image;
}

bool DrawNVBitmap(const INVBitmap& Bitmap, QPainter& Painter, int X, int Y)
{
    const QImage Image = NVBitmapToImage(Bitmap);
    if (Image.isNull())
        return false;
    Painter.drawImage(X, Y, Image);
    return true;
}

std::shared_ptr<INVBitmap> NVBitmapFromImage(const QImage& Image)
{
    if (Image.isNull())
        return nullptr;
    QImage Flat = Image;
    if (Image.hasAlphaChannel()) {
        Flat = QImage(Image.size(), QImage::Format_RGB32);
        Flat.fill(Qt::white);
        QPainter P(&Flat);
        P.drawImage(0, 0, Image);
    }
    Flat = Flat.convertToFormat(QImage::Format_RGB32);
    auto Bitmap = NewNVBitmap(Flat.width(), Flat.height());
    if (!Bitmap)
        return nullptr;
    const std::size_t Row = static_cast<std::size_t>(Flat.width()) * 4;
    for (int Y = 0; Y < Flat.height(); ++Y) {
        std::uint8_t* Out =
            Bitmap->Pixels() + static_cast<std::size_t>(Flat.height() - 1 - Y) * Row;
        std::memcpy(Out, Flat.constScanLine(Y), Row);
        for (std::size_t X = 3; X < Row; X += 4)
            Out[X] = 0;
    }
    return Bitmap;
}

std::shared_ptr<INVBitmap> NewNVBitmapFromFile(const std::string& FileName)
{
    QImageReader Reader(QString::fromStdString(FileName));
    return NVBitmapFromImage(Reader.read());
}
