// Writes the program's icon as PNG files for the desktop's icon theme, from
// the same drawing the windows use, so that the menu entry and the windows
// show one icon:  make_program_icons <folder> <size>...
// Each size lands as <folder>/<size>x<size>/apps/tolvex.png.
#include "app/uProgramIcon.h"

#include <QDir>
#include <QGuiApplication>
#include <QImage>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s <folder> <size>...\n", argv[0]);
        return 2;
    }
    // A build machine has no display; the drawing needs none.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication App(argc, argv);
    const QString Folder = QString::fromLocal8Bit(argv[1]);
    for (int I = 2; I < argc; ++I) {
        char* End = nullptr;
        const long Size = std::strtol(argv[I], &End, 10);
        if (*argv[I] == '\0' || *End != '\0' || Size < 16 || Size > 1024) {
            std::fprintf(stderr, "%s: not an icon size: %s\n", argv[0], argv[I]);
            return 2;
        }
        const QString Dir = QStringLiteral("%1/%2x%2/apps").arg(Folder).arg(Size);
        const QString File = Dir + QStringLiteral("/tolvex.png");
        const QImage Image = ProgramIconPixmap(static_cast<int>(Size)).toImage();
        if (!QDir().mkpath(Dir) || Image.size() != QSize(Size, Size) || !Image.save(File, "PNG")) {
            std::fprintf(stderr, "%s: cannot write %s\n", argv[0], qPrintable(File));
            return 1;
        }
    }
    return 0;
}
