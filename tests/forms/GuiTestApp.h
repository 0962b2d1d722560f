// The one QApplication of a gui test program, made on first use, and what the
// gui tests share: working a dialog while it is "modal", finding controls by
// name and saving screenshots.
#pragma once

#include "forms/Dialogs.h"
#include "forms/VirtualTrees.h"
#include "settings/CommonFunctions.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"
#include "settings/uXMLStorage.h"

#include <QApplication>
#include <QDialog>
#include <QDir>
#include <QStyle>
#include <QWidget>

#include <ostream>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

// Readable geometry in test failures (found by argument lookup, so global).
inline void PrintTo(const QPoint& P, std::ostream* Os)
{
    *Os << "(" << P.x() << ", " << P.y() << ")";
}
inline void PrintTo(const QSize& S, std::ostream* Os)
{
    *Os << S.width() << "x" << S.height();
}
inline void PrintTo(const QRect& R, std::ostream* Os)
{
    PrintTo(R.topLeft(), Os);
    *Os << " ";
    PrintTo(R.size(), Os);
}

namespace guitest {

// The screens the offscreen platform shows, side by side: a primary one at
// the origin and a second one to its right. Windows get a frame of a few
// pixels, so that what is stored is tested with frame and client apart.
inline constexpr int PrimaryWidth = 1280, PrimaryHeight = 800;
inline constexpr int SecondLeft = 1280, SecondWidth = 1024, SecondHeight = 768;

// Under the offscreen platform, gives it the two screens above.
inline void ConfigureOffscreenScreens()
{
    const char* Platform = std::getenv("QT_QPA_PLATFORM");
    if (!Platform || std::strcmp(Platform, "offscreen") != 0)
        return;
    static const std::string Config =
        "/tmp/tolvex-gui-screens-" + std::to_string(::getpid()) + ".json";
    std::ofstream Out(Config, std::ios::trunc);
    Out << "{\"synchronousWindowSystemEvents\": false, \"windowFrameMargins\": true,\n"
           " \"screens\": [\n"
           "  {\"name\": \"Primary\", \"x\": 0, \"y\": 0, \"width\": "
        << PrimaryWidth << ", \"height\": " << PrimaryHeight
        << ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1},\n"
           "  {\"name\": \"Second\", \"x\": "
        << SecondLeft << ", \"y\": 0, \"width\": " << SecondWidth
        << ", \"height\": " << SecondHeight
        << ", \"logicalDpi\": 96, \"logicalBaseDpi\": 96, \"dpr\": 1}]}\n";
    Out.close();
    ::setenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + Config).c_str(), 1);
}

} // namespace guitest

inline QApplication& App()
{
    static int Argc = 1;
    static char Name[] = "app_gui_tests";
    static char* Argv[] = {Name, nullptr};
    // Never destroyed: at exit Qt's own statics (the input device list) may
    // already be gone, and an application torn down after them crashes.
    static QApplication* A = [] {
        guitest::ConfigureOffscreenScreens();
        auto* Made = new QApplication(Argc, Argv);
        // The platform has read its screens by now.
        const char* Platform = std::getenv("QT_QPA_PLATFORM");
        if (Platform && std::strncmp(Platform, "offscreen:configfile=", 21) == 0)
            std::remove(Platform + 21);
        return Made;
    }();
    return *A;
}

namespace guitest {

// Works a dialog while it is "modal" through Fn, which returns the modal
// result; the previous driver comes back at the end of the scope.
class ModalDriver {
public:
    explicit ModalDriver(TModalDriver Fn) : FOld(SetModalDriver(std::move(Fn))) {}
    ~ModalDriver() { SetModalDriver(std::move(FOld)); }
    ModalDriver(const ModalDriver&) = delete;
    ModalDriver& operator=(const ModalDriver&) = delete;

private:
    TModalDriver FOld;
};

// The child of W named Name; throws when there is none, so that a renamed
// control fails the test instead of crashing it.
template <typename T> T* Child(const QObject& W, const char* Name)
{
    T* C = W.findChild<T*>(Name);
    if (!C)
        throw std::runtime_error(std::string("no control named ") + Name);
    return C;
}

// The room a row's text has in its first cell: the cell less the icon and
// the margins the style draws around both.
inline int TextRoom(TVirtualStringTree& List, TVirtualNode* Node)
{
    const int Icon = List.style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, &List);
    const int Margin = List.style()->pixelMetric(QStyle::PM_FocusFrameHMargin, nullptr, &List);
    return List.visualRect(List.IndexOf(Node)).width() - Icon - 4 * (Margin + 1);
}

// The rows of List whose first cell has no room for their whole text, one
// text each: empty when every row shows what it holds.
inline std::vector<std::string> RowsCutShort(TVirtualStringTree& List)
{
    std::vector<std::string> Cut;
    for (TVirtualNode* N = List.GetFirst(); N; N = List.GetNext(N)) {
        const std::string Text = List.Text(N, 0);
        if (TextRoom(List, N) < List.fontMetrics().horizontalAdvance(QString::fromStdString(Text)))
            Cut.push_back(Text);
    }
    return Cut;
}

// Saves what W shows as build/test-output/<Name>.png; true when written.
inline bool SaveScreenshot(QWidget& W, const QString& Name)
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    const QString Out = QString(Bin ? Bin : ".") + "/../test-output";
    QDir().mkpath(Out);
    return W.grab().save(Out + "/" + Name + ".png");
}

// Makes AppDir a portable program folder, so the settings a test's window
// reads and writes stay there; with English the program's English texts are
// installed as a real program has them.
inline void MakePortableProgram(const std::string& AppDir, bool English)
{
    std::filesystem::create_directories(AppDir + "/Default");
    std::filesystem::create_directories(AppDir + "/languages");
    if (English) {
        const char* Src = std::getenv("TOLVEX_SOURCE_DIR");
        if (!Src)
            throw std::runtime_error("TOLVEX_SOURCE_DIR is not set");
        std::filesystem::copy_file(std::string(Src) + "/resources/languages/english.lng",
                                   AppDir + "/languages/english.lng");
    }
    SetProgramFileName(AppDir + "/tolvex");
    SetCommandLineArguments(std::vector<std::string>{"-portable"});
}

// Undoes MakePortableProgram and whatever the window loaded from there: the
// language, the message texts, the store's message handler.
inline void ForgetPortableProgram()
{
    SetXMLStorageMessageHandler({});
    LangChanger.reset();
    LoadMessageStrings();
    SetCommandLineArguments(std::nullopt);
    SetProgramFileName("");
}

} // namespace guitest
