// Pictures for the bitmap tests, and the outside programs that judge them:
// Pillow and zlib through tests/crashreport/bitmap_oracle.py, ImageMagick's
// convert.
#pragma once

#include "crashreport/kelNVBitmap.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <sstream>
#include <string>

struct TRgb {
    std::uint8_t R = 0, G = 0, B = 0;
};

// A bitmap painted pixel by pixel; (0, 0) is the top left.
inline std::shared_ptr<INVBitmap> PaintBitmap(int W, int H,
                                              const std::function<TRgb(int X, int Y)>& Paint)
{
    auto B = NewNVBitmap(W, H);
    for (int Y = 0; Y < H; ++Y)
        for (int X = 0; X < W; ++X) {
            const TRgb C = Paint(X, Y);
            std::uint8_t* P = B->Pixels() + (static_cast<std::size_t>(H - 1 - Y) * W + X) * 4;
            P[0] = C.B;
            P[1] = C.G;
            P[2] = C.R;
        }
    return B;
}

// The colours as raw RGB bytes, the top row first.
inline std::string RgbBytes(const INVBitmap& B)
{
    std::string Out;
    const int W = B.GetWidth(), H = B.GetHeight();
    for (int Y = 0; Y < H; ++Y)
        for (int X = 0; X < W; ++X) {
            const std::uint8_t* P = B.Pixels() + (static_cast<std::size_t>(H - 1 - Y) * W + X) * 4;
            Out += static_cast<char>(P[2]);
            Out += static_cast<char>(P[1]);
            Out += static_cast<char>(P[0]);
        }
    return Out;
}

inline std::shared_ptr<INVBitmap> BitmapFromRgb(const std::string& Rgb, int W, int H)
{
    return PaintBitmap(W, H, [&](int X, int Y) {
        const std::size_t I = (static_cast<std::size_t>(Y) * W + X) * 3;
        return TRgb{static_cast<std::uint8_t>(Rgb[I]), static_cast<std::uint8_t>(Rgb[I + 1]),
                    static_cast<std::uint8_t>(Rgb[I + 2])};
    });
}

// Every pixel any colour.
inline std::shared_ptr<INVBitmap> NoiseBitmap(int W, int H, unsigned Seed)
{
    std::mt19937 Random(Seed);
    return PaintBitmap(W, H, [&](int, int) {
        return TRgb{static_cast<std::uint8_t>(Random()), static_cast<std::uint8_t>(Random()),
                    static_cast<std::uint8_t>(Random())};
    });
}

// Every pixel one of Count colours chosen at random.
inline std::shared_ptr<INVBitmap> FewColoursBitmap(int W, int H, int Count, unsigned Seed)
{
    std::mt19937 Random(Seed);
    std::vector<TRgb> Colours;
    for (int I = 0; I < Count; ++I)
        Colours.push_back(TRgb{static_cast<std::uint8_t>(Random()),
                               static_cast<std::uint8_t>(Random()),
                               static_cast<std::uint8_t>(Random())});
    return PaintBitmap(W, H, [&](int, int) { return Colours[Random() % Colours.size()]; });
}

inline std::string Unhex(const std::string& Hex)
{
    std::string Out;
    for (std::size_t I = 0; I + 1 < Hex.size(); I += 2)
        Out += static_cast<char>(std::stoi(Hex.substr(I, 2), nullptr, 16));
    return Out;
}

// The facts bitmap_oracle.py prints, by name.
inline std::map<std::string, std::string> BitmapOracle(const std::string& Arguments)
{
    const TCommandResult R = RunCommand(
        "/usr/bin/python3 " TOLVEX_CRASHREPORT_TEST_DIR "/bitmap_oracle.py " + Arguments + " 2>&1");
    std::map<std::string, std::string> Facts;
    std::istringstream Lines(R.Output);
    for (std::string Line; std::getline(Lines, Line);) {
        const auto Blank = Line.find(' ');
        if (Blank != std::string::npos)
            Facts[Line.substr(0, Blank)] = Line.substr(Blank + 1);
    }
    if (R.Status != 0)
        Facts["failure"] = R.Output;
    return Facts;
}

// A picture as ImageMagick makes it from Source (arguments of convert that
// give a picture), read back as raw RGB; empty when convert fails.
inline std::string ConvertToRgb(const TempFolder& Temp, const std::string& Source)
{
    const std::string Out = Temp.Path("convert.rgb");
    if (RunCommand("convert " + Source + " -depth 8 rgb:" + Quote(Out) + " 2>&1").Status != 0)
        return {};
    return TempFolder::Read(Out);
}
