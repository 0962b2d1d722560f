#include "tools/CrashBitmapResource.h"

#include <QImage>
#include <QImageReader>

#include <cstdint>

namespace {

void Put(std::string& Out, std::uint32_t V, int Bytes)
{
    for (int I = 0; I < Bytes; ++I)
        Out += static_cast<char>((V >> (8 * I)) & 0xFF);
}

} // namespace

std::string BitmapResourceFromPng(const std::string& PngFile, std::string& Error)
{
    QImageReader Reader(QString::fromStdString(PngFile));
    QImage Image = Reader.read();
    if (Image.isNull()) {
        Error = PngFile + ": " + Reader.errorString().toStdString();
        return {};
    }
    // ARGB32 keeps colour and alpha apart; in memory each pixel is blue,
    // green, red, alpha on this (little-endian) machine.
    Image = Image.convertToFormat(QImage::Format_ARGB32);
    const auto W = static_cast<std::uint32_t>(Image.width());
    const auto H = static_cast<std::uint32_t>(Image.height());
    std::string Out;
    Put(Out, 40, 4);        // header size
    Put(Out, W, 4);         // width
    Put(Out, H, 4);         // height: positive, rows bottom-up
    Put(Out, 1, 2);         // planes
    Put(Out, 32, 2);        // bits per pixel
    Put(Out, 0, 4);         // no compression
    Put(Out, W * 4 * H, 4); // image size
    Out.append(16, '\0');   // resolution, colours used and important
    for (int Y = static_cast<int>(H) - 1; Y >= 0; --Y)
        Out.append(reinterpret_cast<const char*>(Image.constScanLine(Y)), W * 4);
    return Out;
}
