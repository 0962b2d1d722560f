// The crash reporter's bitmap (crashreport/kelNVBitmap.h) where Qt is at
// hand: drawn through a painter, made from a QImage, read from any picture
// file Qt reads (an editor the user opened a screenshot in may save any form
// of .bmp or .png).
#pragma once

#include "crashreport/kelNVBitmap.h"

#include <QImage>

#include <memory>
#include <string>

class QPainter;

// Paints the whole bitmap with its top left at (X, Y); false for an empty one.
bool DrawNVBitmap(const INVBitmap& Bitmap, QPainter& Painter, int X, int Y);
// A copy of the bitmap's pixels as a 32-bit RGB image.
QImage NVBitmapToImage(const INVBitmap& Bitmap);
// A bitmap of the image's colours; where the image is (partly) transparent,
// its colours are laid over white. Null for a null image.
std::shared_ptr<INVBitmap> NVBitmapFromImage(const QImage& Image);
// The picture in FileName as a bitmap; null when it cannot be read.
std::shared_ptr<INVBitmap> NewNVBitmapFromFile(const std::string& FileName);
