// The crash reporter's PNG writer beside libpng and Pillow, and Wu's
// quantizer beside Pillow's quantize(256), on two pictures drawn here with
// Qt's widgets (offscreen): a 1920 x 1080 desktop (a photograph-like
// wallpaper, windows full of text, a task bar) and an 800 x 600 window.
//
//   png       EncodePalettePng of the 256-colour palette picture, against
//             libpng and Pillow writing that same picture (zlib level 2, no
//             filter): file size and time
//   quantize  QuantizeWu (the palette and every pixel's index) against
//             Pillow's quantize(256) (median cut and its pixel mapping)
//   AsPngStr  the whole 256-colour file, for the record
//
// Pillow is timed inside its own process; each figure is the best of five
// rounds (bench/CrashlibCodecBench.h). With a folder as its argument, the
// benchmark also leaves our PNG files of the two pictures there.
#include "bench/CrashlibCodecBench.h"
#include "crashreport/helper/kelNVBitmapQt.h"
#include "crashreport/kelNVBitmap.h"

#include <QApplication>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLinearGradient>
#include <QPainter>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <png.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <unistd.h>

namespace {

using codecbench::BestSeconds;

std::string Run(const std::string& Command)
{
    std::string Out;
    FILE* P = ::popen(Command.c_str(), "r");
    if (P == nullptr)
        return Out;
    char Buf[65536];
    for (std::size_t N; (N = std::fread(Buf, 1, sizeof Buf, P)) > 0;)
        Out.append(Buf, N);
    ::pclose(P);
    return Out;
}

// A photograph-like wallpaper: ImageMagick's plasma, softened; a gradient
// when convert is missing.
QImage Wallpaper(int W, int H)
{
    const std::string Raw = Run("convert -size " + std::to_string(W) + "x" + std::to_string(H) +
                                " -seed 7 plasma:fractal -blur 0x4 -depth 8 rgb:- 2>/dev/null");
    if (Raw.size() == static_cast<std::size_t>(W) * H * 3)
        return QImage(reinterpret_cast<const uchar*>(Raw.data()), W, H, W * 3,
                      QImage::Format_RGB888)
            .convertToFormat(QImage::Format_RGB32);
    QImage I(W, H, QImage::Format_RGB32);
    QPainter P(&I);
    QLinearGradient G(0, 0, W, H);
    G.setColorAt(0, QColor(30, 60, 110));
    G.setColorAt(1, QColor(140, 90, 60));
    P.fillRect(I.rect(), G);
    return I;
}

// A window as a desktop shows it: a title bar over the widget's picture.
void PaintWindow(QPainter& P, QWidget& W, QPoint At, const QString& Title)
{
    const QSize S = W.size();
    QLinearGradient G(At, At + QPoint(S.width(), 0));
    G.setColorAt(0, QColor(40, 80, 160));
    G.setColorAt(1, QColor(90, 140, 210));
    P.fillRect(QRect(At, QSize(S.width(), 24)), G);
    P.setPen(Qt::white);
    P.drawText(QRect(At + QPoint(8, 0), QSize(S.width() - 16, 24)), Qt::AlignVCenter, Title);
    W.render(&P, At + QPoint(0, 24));
}

// A window of the kind the program shows: a result list and buttons.
std::unique_ptr<QWidget> ResultWindow(QSize Size)
{
    auto W = std::make_unique<QWidget>();
    auto* L = new QVBoxLayout(W.get());
    auto* Tree = new QTreeWidget;
    Tree->setHeaderLabels({"Computer", "MAC address", "Adapter", "Vendor", "Comment"});
    std::mt19937 Random(3);
    auto R = [&Random] { return static_cast<unsigned>(Random()); };
    const char* Vendors[] = {"Intel Corporate", "Dell Inc.",          "Hewlett Packard",
                             "Realtek",         "Cisco Systems, Inc", "Apple, Inc."};
    for (int I = 0; I < 60; ++I) {
        char Mac[32];
        std::snprintf(Mac, sizeof Mac, "%02x-%02x-%02x-%02x-%02x-%02x", R() & 255, R() & 255,
                      R() & 255, R() & 255, R() & 255, R() & 255);
        auto* Item = new QTreeWidgetItem({QString("host-%1 (192.168.1.%2)").arg(I).arg(10 + I), Mac,
                                          QString("eth%1").arg(I % 3), Vendors[R() % 6],
                                          I % 7 == 0 ? "printer room" : ""});
        Tree->addTopLevelItem(Item);
    }
    Tree->header()->resizeSections(QHeaderView::ResizeToContents);
    L->addWidget(Tree);
    auto* Buttons = new QHBoxLayout;
    Buttons->addWidget(new QCheckBox("Resolve names"));
    auto* Bar = new QProgressBar;
    Bar->setValue(62);
    Buttons->addWidget(Bar);
    Buttons->addWidget(new QPushButton("Find"));
    Buttons->addWidget(new QPushButton("Stop"));
    L->addLayout(Buttons);
    W->resize(Size);
    W->ensurePolished();
    W->layout()->activate();
    return W;
}

std::unique_ptr<QWidget> TextWindow(QSize Size)
{
    auto Edit = std::make_unique<QPlainTextEdit>();
    std::ifstream In(std::string(TOLVEX_SOURCE_DIR) + "/crashreport/kelNVBitmap.cpp");
    std::stringstream S;
    S << In.rdbuf();
    Edit->setPlainText(QString::fromStdString(S.str()));
    Edit->resize(Size);
    return Edit;
}

QImage Desktop()
{
    QImage I = Wallpaper(1920, 1080);
    QPainter P(&I);
    auto Results = ResultWindow(QSize(980, 640));
    PaintWindow(P, *Results, QPoint(80, 60), "Tolvex - 192.168.1.0/24");
    auto Text = TextWindow(QSize(760, 560));
    PaintWindow(P, *Text, QPoint(1040, 240), "kelNVBitmap.cpp - Editor");
    P.fillRect(QRect(0, 1040, 1920, 40), QColor(32, 34, 38));
    P.setPen(QColor(230, 230, 230));
    P.drawText(QRect(12, 1040, 600, 40), Qt::AlignVCenter, "Applications   Tolvex   Editor");
    P.drawText(QRect(1700, 1040, 200, 40), Qt::AlignVCenter | Qt::AlignRight, "14:05");
    return I;
}

QImage WindowPicture()
{
    QImage I(800, 600, QImage::Format_RGB32);
    I.fill(Qt::white);
    QPainter P(&I);
    auto Results = ResultWindow(QSize(800, 576));
    PaintWindow(P, *Results, QPoint(0, 0), "Tolvex");
    return I;
}

// The palette picture written by libpng at zlib level 2 without filters.
std::string LibPng(const TPalettePicture& Pic)
{
    std::string Out;
    png_structp Png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop Info = png_create_info_struct(Png);
    if (setjmp(png_jmpbuf(Png))) {
        png_destroy_write_struct(&Png, &Info);
        return {};
    }
    png_set_write_fn(
        Png, &Out,
        [](png_structp P, png_bytep Data, png_size_t Length) {
            static_cast<std::string*>(png_get_io_ptr(P))
                ->append(reinterpret_cast<const char*>(Data), Length);
        },
        nullptr);
    png_set_compression_level(Png, 2);
    png_set_filter(Png, PNG_FILTER_TYPE_BASE, PNG_FILTER_NONE);
    png_set_IHDR(Png, Info, static_cast<png_uint_32>(Pic.Width),
                 static_cast<png_uint_32>(Pic.Height), 8, PNG_COLOR_TYPE_PALETTE,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_BASE, PNG_FILTER_TYPE_BASE);
    png_color Palette[256];
    for (int K = 0; K < 256; ++K)
        Palette[K] = {Pic.Palette[static_cast<std::size_t>(K) * 3],
                      Pic.Palette[static_cast<std::size_t>(K) * 3 + 1],
                      Pic.Palette[static_cast<std::size_t>(K) * 3 + 2]};
    png_set_PLTE(Png, Info, Palette, 256);
    png_write_info(Png, Info);
    for (int Y = 0; Y < Pic.Height; ++Y)
        png_write_row(Png, Pic.Indexes.data() + static_cast<std::size_t>(Y) * Pic.Width);
    png_write_end(Png, nullptr);
    png_destroy_write_struct(&Png, &Info);
    return Out;
}

struct TPillow {
    double PngSeconds = 0, QuantizeSeconds = 0;
    std::size_t PngBytes = 0;
};

// Pillow's figures for the same palette picture and the same colours.
TPillow Pillow(const TPalettePicture& Pic, const QImage& Rgb)
{
    char Folder[] = "/tmp/tolvex-png-bench-XXXXXX";
    if (::mkdtemp(Folder) == nullptr)
        return {};
    const std::string Dir = Folder;
    std::ofstream(Dir + "/indexes", std::ios::binary)
        .write(reinterpret_cast<const char*>(Pic.Indexes.data()),
               static_cast<std::streamsize>(Pic.Indexes.size()));
    std::ofstream(Dir + "/palette", std::ios::binary)
        .write(reinterpret_cast<const char*>(Pic.Palette.data()),
               static_cast<std::streamsize>(Pic.Palette.size()));
    const QImage Rgb888 = Rgb.convertToFormat(QImage::Format_RGB888);
    {
        std::ofstream Raw(Dir + "/rgb", std::ios::binary);
        for (int Y = 0; Y < Rgb888.height(); ++Y)
            Raw.write(reinterpret_cast<const char*>(Rgb888.constScanLine(Y)), Rgb888.width() * 3);
    }
    const std::string Script =
        "import io, sys, time\n"
        "from PIL import Image\n"
        "d, w, h = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])\n"
        "im = Image.frombytes('P', (w, h), open(d + '/indexes', 'rb').read())\n"
        "im.putpalette(open(d + '/palette', 'rb').read())\n"
        "rgb = Image.frombytes('RGB', (w, h), open(d + '/rgb', 'rb').read())\n"
        "def best(f):\n"
        "    f(); b = 1e9\n"
        "    for _ in range(5):\n"
        "        t = time.perf_counter(); f(); b = min(b, time.perf_counter() - t)\n"
        "    return b\n"
        "out = io.BytesIO()\n"
        "def save():\n"
        "    out.seek(0); out.truncate(); im.save(out, 'PNG', compress_level=2)\n"
        "print(best(save), len(out.getvalue()), best(lambda: rgb.quantize(256)))\n";
    std::ofstream(Dir + "/bench.py") << Script;
    std::istringstream In(Run("/usr/bin/python3 " + Dir + "/bench.py " + Dir + " " +
                              std::to_string(Pic.Width) + " " + std::to_string(Pic.Height)));
    TPillow P;
    In >> P.PngSeconds >> P.PngBytes >> P.QuantizeSeconds;
    Run("rm -rf " + Dir);
    return P;
}

void Measure(const char* Name, const QImage& Picture, const char* Keep)
{
    auto Bitmap = NVBitmapFromImage(Picture);
    TPalettePicture Pic;
    const double Quantize = BestSeconds([&] { Pic = QuantizeWu(*Bitmap); });
    std::string Ours, Theirs;
    const double Encode = BestSeconds([&] { Ours = EncodePalettePng(Pic); });
    const double Lib = BestSeconds([&] { Theirs = LibPng(Pic); });
    std::string Whole;
    const double All = BestSeconds([&] { Whole = Bitmap->AsPngStr(pdColours); });
    const TPillow Pil = Pillow(Pic, Picture);

    std::printf("%s %dx%d\n", Name, Picture.width(), Picture.height());
    std::printf("  %-34s %10s %10s %10s %8s %8s\n", "", "ours", "libpng", "Pillow", "/libpng",
                "/Pillow");
    std::printf("  %-34s %10zu %10zu %10zu %8.3f %8.3f\n", "png bytes (level 2, no filter)",
                Ours.size(), Theirs.size(), Pil.PngBytes,
                static_cast<double>(Ours.size()) / static_cast<double>(Theirs.size()),
                static_cast<double>(Ours.size()) / static_cast<double>(Pil.PngBytes));
    std::printf("  %-34s %10.2f %10.2f %10.2f %8.3f %8.3f\n", "png time ms", Encode * 1e3,
                Lib * 1e3, Pil.PngSeconds * 1e3, Encode / Lib, Encode / Pil.PngSeconds);
    std::printf("  %-34s %10.2f %10s %10.2f %8s %8.3f\n", "quantize ms (Wu / quantize(256))",
                Quantize * 1e3, "-", Pil.QuantizeSeconds * 1e3, "-",
                Quantize / Pil.QuantizeSeconds);
    std::printf("  %-34s %10.2f   (%zu bytes)\n", "AsPngStr(256 colours) ms", All * 1e3,
                Whole.size());
    if (Keep != nullptr)
        std::ofstream(std::string(Keep) + "/" + Name + ".png", std::ios::binary) << Whole;
}

} // namespace

int main(int argc, char** argv)
{
    if (std::getenv("QT_QPA_PLATFORM") == nullptr)
        ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication App(argc, argv);
    const char* Keep = argc > 1 ? argv[1] : nullptr;
    Measure("desktop", Desktop(), Keep);
    Measure("window", WindowPicture(), Keep);
    return 0;
}
