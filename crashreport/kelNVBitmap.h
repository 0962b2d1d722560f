// The crash reporter's one bitmap: 32 bits per pixel, rows stored bottom-up,
// each pixel four bytes in the order blue, green, red, unused, behind the
// 40-byte header that .bmp files carry. A screenshot is kept in it, written as
// a .bmp or as a PNG with a reduced palette, and scaled to fit a window.
//
// No image library is used: the PNG file is written here on top of the crash
// library's Deflate encoder and CRC-32, so that writing a screenshot needs
// nothing that may be what failed. Drawing and reading pictures of any format
// need Qt and live in the helper program (crashreport/helper/kelNVBitmapQt).
//
// No operation throws: failures give null, an empty string or false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The 40-byte header of a .bmp file's picture, little-endian as stored.
struct TBitmapInfoHeader {
    std::uint32_t Size = 40;
    std::int32_t Width = 0;
    std::int32_t Height = 0; // positive: rows stored bottom-up
    std::uint16_t Planes = 1;
    std::uint16_t BitCount = 32;
    std::uint32_t Compression = 0;
    std::uint32_t SizeImage = 0; // Width * 4 * Height
    std::int32_t XPelsPerMeter = 0;
    std::int32_t YPelsPerMeter = 0;
    std::uint32_t ClrUsed = 0;
    std::uint32_t ClrImportant = 0;
};
static_assert(sizeof(TBitmapInfoHeader) == 40);

// The colour-depth option of AsPngStr and SavePng.
enum TPngDepth : std::uint8_t {
    pdColours = 0,     // 256 colours (any value outside 1..5 means this)
    pdGrey = 1,        // always 16 grey levels
    pdColours50K = 2,  // 256 colours, 16 greys when that file exceeds 51,200 bytes
    pdColours100K = 3, // ... 102,400 bytes
    pdColours200K = 4, // ... 204,800 bytes
    pdColours300K = 5, // ... 307,200 bytes
};

class INVBitmap {
public:
    virtual ~INVBitmap();

    virtual int GetWidth() const = 0;
    virtual int GetHeight() const = 0;
    virtual const TBitmapInfoHeader& Header() const = 0;
    // The pixels: GetHeight() rows of GetWidth() * 4 bytes, the bottom row
    // first, each pixel blue, green, red, unused.
    virtual std::uint8_t* Pixels() = 0;
    virtual const std::uint8_t* Pixels() const = 0;

    // A .bmp file: the 14-byte file header, the info header, the pixels.
    virtual std::string AsBmpStr() const = 0;
    // A PNG file with a 256-colour or a 16-grey palette as Depth says; empty
    // when none can be made (an empty bitmap). Making the grey file turns the
    // bitmap's own pixels grey.
    virtual std::string AsPngStr(std::uint8_t Depth) = 0;
    // Writes the file anew (mode 0600); false, and no file left, when it
    // cannot be written whole.
    virtual bool SaveBmp(const std::string& FileName) const = 0;
    virtual bool SavePng(const std::string& FileName, std::uint8_t Depth) = 0;
    // A copy that fits into MaxWidth x MaxHeight keeping the aspect ratio,
    // scaled by the Mitchell-Netravali filter; null for an empty bitmap or a
    // box without room.
    virtual std::shared_ptr<INVBitmap> Zoom(int MaxWidth, int MaxHeight) const = 0;
    // A copy scaled to exactly Width x Height by the same filter; null when
    // either the bitmap or the size is empty.
    virtual std::shared_ptr<INVBitmap> Resample(int Width, int Height) const = 0;
};

// The largest pixel memory of one bitmap (1 GiB): a picture read from a file
// that claims more gives no bitmap.
inline constexpr std::uint64_t MaxBitmapBytes = std::uint64_t{1} << 30;

// A new bitmap of Width x Height, every pixel 0; null when a side is negative
// or the pixels would exceed MaxBitmapBytes.
std::shared_ptr<INVBitmap> NewNVBitmap(int Width, int Height);

// --- The PNG writer's parts, for the tests and the benchmark -------------------

// A picture of palette indexes: Width * Height indexes, the top row first.
struct TPalettePicture {
    int Width = 0;
    int Height = 0;
    int BitDepth = 8;                  // 8 (256 entries) or 4 (16 entries)
    std::vector<std::uint8_t> Palette; // red, green, blue per entry
    std::vector<std::uint8_t> Indexes;
};

// Wu's colour quantizer: a palette of up to 256 colours for the bitmap (the
// entries it does not need stay black) and each pixel's nearest entry.
TPalettePicture QuantizeWu(const INVBitmap& Bitmap);
// The 16-grey picture of the bitmap; the bitmap's pixels are turned grey.
TPalettePicture QuantizeGrey(INVBitmap& Bitmap);
// The PNG file of a palette picture (filter "none" on every row, the image
// data in one zlib stream); empty when it cannot be made.
std::string EncodePalettePng(const TPalettePicture& Picture);

// The zlib stream's checksum: continue from Adler (1 at the start).
std::uint32_t Adler32(std::uint32_t Adler, const void* Data, std::size_t Length);

// The 16 grey levels of the grey palette.
inline constexpr std::uint8_t GreyLevels[16] = {0,   28,  52,  73,  92,  109, 125, 140,
                                                155, 170, 185, 199, 213, 227, 241, 255};
