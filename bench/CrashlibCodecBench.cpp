// The crash library's codecs beside their anchors, measured in the same run
// on four corpora: the project's sources concatenated, the program's
// executable, the raw rows of a desktop screenshot (what the PNG writer
// compresses), and incompressible bytes (a screenshot or attachment already
// compressed), which Deflate stores.
//
//   deflate  CompressBuf          vs zlib level 2, raw, memLevel 8 (the same
//                                    parameter set): speed and output size
//   inflate  UncompressBuf        vs zlib's inflate, on zlib's default-level stream
//   crc32    UpdateCrc32 folding  vs zlib's crc32
// and the Blowfish and Base64 rows of CrashlibCryptBench.cpp.
#include "bench/CrashlibCodecBench.h"

#include "crashlib/kelZip.h"

#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using codecbench::BestSeconds;
using codecbench::Corpus;
using codecbench::MBps;
using codecbench::Row;

std::string ReadFile(const std::string& Path)
{
    std::ifstream In(Path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(In)), std::istreambuf_iterator<char>());
}

std::string SourcesCorpus()
{
    const std::string Root = TOLVEX_SOURCE_DIR;
    FILE* List = ::popen(("git -C '" + Root + "' ls-files -z").c_str(), "r");
    if (List == nullptr) {
        throw std::runtime_error("git ls-files failed");
    }
    std::string Names;
    for (int C; (C = std::fgetc(List)) != EOF;) {
        Names += static_cast<char>(C);
    }
    ::pclose(List);
    std::string All;
    for (std::size_t I = 0; I < Names.size();) {
        const std::size_t End = Names.find('\0', I);
        All += ReadFile(Root + "/" + Names.substr(I, End - I));
        I = End + 1;
    }
    return All;
}

// The built program (from this build folder, else from the checkout's
// default one); any large ELF file when neither has built it.
Corpus ExecutableCorpus()
{
    const std::string Programs[] = {std::string(TOLVEX_BIN_DIR) + "/tolvex",
                                    std::string(TOLVEX_SOURCE_DIR) + "/build/bin/tolvex"};
    for (const std::string& Path : Programs) {
        std::string Data = ReadFile(Path);
        if (Data.size() > 100000) {
            return {"tolvex", std::move(Data)};
        }
    }
    for (const std::string Path :
         {"/usr/lib/x86_64-linux-gnu/libQt6Widgets.so.6", "/proc/self/exe"}) {
        std::string Data = ReadFile(Path);
        if (Data.size() > 100000) {
            return {"ELF " + Path.substr(Path.rfind('/') + 1), std::move(Data)};
        }
    }
    throw std::runtime_error("no executable to read");
}

// Raw rows (filter byte 0, then RGB) of a 1920x1080 desktop: a gradient
// wallpaper with noise, a task bar, and windows with title bars, flat panels
// and lines of text-like glyphs.
std::string ScreenshotCorpus()
{
    constexpr int W = 1920;
    constexpr int H = 1080;
    std::vector<std::uint8_t> Px(static_cast<std::size_t>(W) * H * 3);
    std::mt19937 Rng(42);
    auto Set = [&](int X, int Y, std::uint8_t R, std::uint8_t G, std::uint8_t B) {
        std::uint8_t* P = &Px[(static_cast<std::size_t>(Y) * W + X) * 3];
        P[0] = R;
        P[1] = G;
        P[2] = B;
    };
    for (int Y = 0; Y < H; ++Y) {
        for (int X = 0; X < W; ++X) {
            const int N = static_cast<int>(Rng() % 5);
            Set(X, Y, static_cast<std::uint8_t>(30 + Y / 12 + N),
                static_cast<std::uint8_t>(60 + X / 20),
                static_cast<std::uint8_t>(120 + (X + Y) / 40 + N));
        }
    }
    auto Fill = [&](int X0, int Y0, int X1, int Y1, std::uint8_t R, std::uint8_t G,
                    std::uint8_t B) {
        for (int Y = std::max(Y0, 0); Y < std::min(Y1, H); ++Y) {
            for (int X = std::max(X0, 0); X < std::min(X1, W); ++X) {
                Set(X, Y, R, G, B);
            }
        }
    };
    Fill(0, H - 40, W, H, 40, 40, 48);
    const int Windows[][4] = {{80, 60, 1100, 760}, {700, 200, 1800, 980}, {300, 500, 900, 1000}};
    for (const auto& Win : Windows) {
        Fill(Win[0], Win[1], Win[2], Win[3], 246, 245, 244);
        Fill(Win[0], Win[1], Win[2], Win[1] + 32, 53, 132, 228);
        Fill(Win[0] + 8, Win[1] + 40, Win[0] + 200, Win[3] - 8, 235, 235, 235);
        // Lines of text: runs of dark glyph columns of varying width.
        for (int Y = Win[1] + 48; Y + 14 < Win[3] - 8; Y += 18) {
            int X = Win[0] + 216;
            while (X < Win[2] - 16) {
                const int Word = 3 + static_cast<int>(Rng() % 9);
                for (int C = 0; C < Word && X < Win[2] - 16; ++C, X += 8) {
                    const unsigned Glyph = Rng();
                    for (int GY = 0; GY < 11; ++GY) {
                        for (int GX = 0; GX < 6; ++GX) {
                            if ((Glyph >> ((GY * 3 + GX) % 32)) & 1) {
                                Set(X + GX, Y + GY, 30, 30, 30);
                            }
                        }
                    }
                }
                X += 8;
            }
        }
    }
    std::string Rows;
    Rows.reserve(Px.size() + H);
    for (int Y = 0; Y < H; ++Y) {
        Rows += '\0';
        Rows.append(reinterpret_cast<const char*>(&Px[static_cast<std::size_t>(Y) * W * 3]),
                    static_cast<std::size_t>(W) * 3);
    }
    return Rows;
}

// Random bytes: every Deflate encoder stores them.
std::string IncompressibleCorpus()
{
    std::mt19937_64 Rng(7);
    std::string Data(8u << 20, '\0');
    for (std::size_t I = 0; I + 8 <= Data.size(); I += 8) {
        const std::uint64_t V = Rng();
        std::memcpy(&Data[I], &V, 8);
    }
    return Data;
}

std::string ZlibDeflate(const std::string& Data, int Level, int MemLevel = 8)
{
    z_stream Z{};
    deflateInit2(&Z, Level, Z_DEFLATED, -15, MemLevel, Z_DEFAULT_STRATEGY);
    std::string Out(deflateBound(&Z, Data.size()), '\0');
    Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Data.data()));
    Z.avail_in = static_cast<uInt>(Data.size());
    Z.next_out = reinterpret_cast<Bytef*>(Out.data());
    Z.avail_out = static_cast<uInt>(Out.size());
    if (deflate(&Z, Z_FINISH) != Z_STREAM_END) {
        throw std::runtime_error("zlib deflate failed");
    }
    Out.resize(Z.total_out);
    deflateEnd(&Z);
    return Out;
}

std::size_t ZlibInflate(const std::string& Stream, std::string& Out)
{
    z_stream Z{};
    inflateInit2(&Z, -15);
    Z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(Stream.data()));
    Z.avail_in = static_cast<uInt>(Stream.size());
    Z.next_out = reinterpret_cast<Bytef*>(Out.data());
    Z.avail_out = static_cast<uInt>(Out.size());
    const int Rc = inflate(&Z, Z_FINISH);
    inflateEnd(&Z);
    if (Rc != Z_STREAM_END) {
        throw std::runtime_error("zlib inflate failed");
    }
    return Z.total_out;
}

std::vector<Row> CodecRows(const Corpus& C)
{
    std::vector<Row> Rows;
    const std::string& Data = C.Data;
    char Note[160];

    std::string Ours(CompressBufCapacity(Data.size()), '\0');
    std::size_t OurSize = 0;
    const double OurDeflate = BestSeconds(
        [&] { OurSize = CompressBuf(Data.data(), Ours.data(), Data.size(), Ours.size()); });
    Ours.resize(OurSize);
    std::string Theirs;
    const double ZlibDeflate2 = BestSeconds([&] { Theirs = ZlibDeflate(Data, 2); });
    std::snprintf(Note, sizeof Note, "size %zu vs %zu (%+.2f%%)", OurSize, Theirs.size(),
                  100.0 * (static_cast<double>(OurSize) / static_cast<double>(Theirs.size()) - 1));
    Rows.push_back({"deflate", C.Name, "zlib level 2", MBps(Data.size(), OurDeflate),
                    MBps(Data.size(), ZlibDeflate2), Note});

    // Both decoders read the same stream, and each must give the data back.
    const std::string Stream = ZlibDeflate(Data, Z_DEFAULT_COMPRESSION);
    std::string Out(Data.size(), '\0');
    std::size_t Produced = 0;
    const double OurInflate = BestSeconds([&] {
        Produced = UncompressBuf(Stream.data(), Out.data(), Stream.size(), Out.size()).value_or(0);
    });
    if (Produced != Data.size() || Out != Data) {
        throw std::runtime_error("our inflate failed on " + C.Name);
    }
    const double ZlibInflateTime = BestSeconds([&] { Produced = ZlibInflate(Stream, Out); });
    std::snprintf(Note, sizeof Note, "zlib level-6 stream, %zu bytes", Stream.size());
    Rows.push_back({"inflate", C.Name, "zlib inflate", MBps(Data.size(), OurInflate),
                    MBps(Data.size(), ZlibInflateTime), Note});
    // Our own stream as well: what the crash reporter reads back.
    const double OurInflateOwn = BestSeconds([&] {
        Produced = UncompressBuf(Ours.data(), Out.data(), Ours.size(), Out.size()).value_or(0);
    });
    const double ZlibInflateOwn = BestSeconds([&] { Produced = ZlibInflate(Ours, Out); });
    Rows.push_back({"inflate", C.Name, "zlib inflate", MBps(Data.size(), OurInflateOwn),
                    MBps(Data.size(), ZlibInflateOwn), "our own stream"});
    // A small symbol buffer makes short blocks: stored ones of 1 KB here.
    const std::string Short = ZlibDeflate(Data, Z_DEFAULT_COMPRESSION, 4);
    const double OurInflateShort = BestSeconds([&] {
        Produced = UncompressBuf(Short.data(), Out.data(), Short.size(), Out.size()).value_or(0);
    });
    if (Produced != Data.size() || Out != Data) {
        throw std::runtime_error("our inflate failed on short blocks of " + C.Name);
    }
    const double ZlibInflateShort = BestSeconds([&] { Produced = ZlibInflate(Short, Out); });
    Rows.push_back({"inflate", C.Name, "zlib inflate", MBps(Data.size(), OurInflateShort),
                    MBps(Data.size(), ZlibInflateShort), "zlib memLevel-4 stream (short blocks)"});

    std::uint32_t OurCrc = 0;
    unsigned long TheirCrc = 0;
    const double Fold =
        BestSeconds([&] { OurCrc = ~UpdateCrc32Folding(0xFFFFFFFF, Data.data(), Data.size()); });
    const double Table =
        BestSeconds([&] { OurCrc = ~UpdateCrc32Table(0xFFFFFFFF, Data.data(), Data.size()); });
    const double Zlib = BestSeconds([&] {
        TheirCrc =
            crc32(0, reinterpret_cast<const Bytef*>(Data.data()), static_cast<uInt>(Data.size()));
    });
    if (OurCrc != TheirCrc) {
        throw std::runtime_error("CRC-32 differs on " + C.Name);
    }
    std::snprintf(Note, sizeof Note, "%s; table form %.0f MB/s",
                  Crc32FoldingAvailable() ? "carry-less multiply" : "no PCLMULQDQ: table form",
                  MBps(Data.size(), Table));
    Rows.push_back(
        {"crc32", C.Name, "zlib crc32", MBps(Data.size(), Fold), MBps(Data.size(), Zlib), Note});
    return Rows;
}

} // namespace

int main()
{
    try {
        const std::vector<Corpus> Corpora = {{"sources", SourcesCorpus()},
                                             ExecutableCorpus(),
                                             {"screenshot rows", ScreenshotCorpus()},
                                             {"incompressible", IncompressibleCorpus()}};
        for (const Corpus& C : Corpora) {
            std::printf("corpus %-28s %10zu bytes\n", C.Name.c_str(), C.Data.size());
        }
        std::vector<Row> Rows;
        for (const Corpus& C : Corpora) {
            const std::vector<Row> R = CodecRows(C);
            Rows.insert(Rows.end(), R.begin(), R.end());
        }
        const std::vector<Row> Crypt = codecbench::CryptRows(Corpora);
        Rows.insert(Rows.end(), Crypt.begin(), Crypt.end());

        std::printf("\n%-14s %-28s %-24s %10s %10s %7s  %s\n", "routine", "corpus", "anchor",
                    "ours MB/s", "anchor", "ratio", "note");
        for (const Row& R : Rows) {
            std::printf("%-14s %-28s %-24s %10.0f %10.0f %6.2fx  %s\n", R.What.c_str(),
                        R.CorpusName.c_str(), R.Anchor.c_str(), R.OursMBps, R.AnchorMBps,
                        R.AnchorMBps > 0 ? R.OursMBps / R.AnchorMBps : 0.0, R.Note.c_str());
        }
    } catch (const std::exception& E) {
        std::fprintf(stderr, "crashlib_codec_bench: %s\n", E.what());
        return 1;
    }
    return 0;
}
