// The crash reporter's pictures as its windows read them: a PNG file (any
// form Qt reads) turned into the 40-byte bitmap info header of a 32-bit
// picture and its pixels, rows from the bottom up, each pixel blue, green,
// red and alpha (not premultiplied).
#pragma once

#include <string>

// The resource bytes of the picture in PngFile; empty (and Error set) when
// the file cannot be read as a picture.
std::string BitmapResourceFromPng(const std::string& PngFile, std::string& Error);
