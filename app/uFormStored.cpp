#include "app/uFormStored.h"

#include "forms/Dialogs.h"
#include "forms/FormTranslation.h"
#include "forms/QtStrings.h"
#include "settings/FileInfo.h"
#include "settings/Language.h"
#include "settings/uProgramOptions.h"

#include <QApplication>
#include <QEvent>
#include <QScreen>

#include <algorithm>
#include <exception>

namespace {

// The primary screen's size for centring a window on a first start, unless
// start-up or a test has already installed a source of its own.
void InstallScreenSize()
{
    TPrimaryScreenSizeFunc Old = SetPrimaryScreenSizeFunc([] {
        const QScreen* Screen = QGuiApplication::primaryScreen();
        if (!Screen)
            return TScreenSize{};
        const QSize S = Screen->size();
        return TScreenSize{S.width(), S.height()};
    });
    if (Old)
        SetPrimaryScreenSizeFunc(std::move(Old));
}

} // namespace

int WindowStateValue(const QWidget& Window)
{
    if (Window.isMinimized())
        return 1;
    if (Window.isMaximized())
        return 2;
    return 0;
}

TFormStored::TFormStored(QWidget* Parent) : QMainWindow(Parent)
{
    InstallScreenSize();
    LoadProgramOptions();
    if (LangChanger)
        InstallScreenForms(*LangChanger);
    FFirstActivation = true;
    // The class library's hand-point cursor is Qt::PointingHandCursor,
    // which already is the system's hand: nothing to register.
}

TFormStored::~TFormStored()
{
    // A window that was never shown has no place of the user's: storing its
    // unplaced bounds would lose the ones from the last run.
    if (FCreated) {
        MainWindowState = WindowStateValue(*this);
        MainWindowTop = y();
        MainWindowLeft = x();
        MainWindowWidth = width();
        MainWindowHeight = height();
    }
    try {
        SaveProgramOptions();
    } catch (const std::exception& E) {
        ShowMessageBox(E.what(), "Error!", TMsgIcon::Error);
    }
}

void TFormStored::CreateParams()
{
    // A stored place outside every screen (a monitor since removed) is not
    // taken: the window opens where its design puts it, in its stored state.
    // A stored size is cut to the screen's work area: a hand-edited file (or
    // a screen since made smaller) must not ask for a window that cannot be
    // painted, at every start.
    if (const QScreen* Screen = QGuiApplication::screenAt(QPoint(MainWindowLeft, MainWindowTop))) {
        const QSize Room = Screen->availableGeometry().size();
        move(MainWindowLeft, MainWindowTop);
        resize(std::clamp(MainWindowWidth, 1, std::max(Room.width(), 1)),
               std::clamp(MainWindowHeight, 1, std::max(Room.height(), 1)));
    }
    switch (MainWindowState) {
    case 1:
        setWindowState(Qt::WindowMinimized);
        break;
    case 2:
        setWindowState(Qt::WindowMaximized);
        break;
    default:
        setWindowState(Qt::WindowNoState);
        break;
    }
}

void TFormStored::setVisible(bool Visible)
{
    if (Visible && !FCreated) {
        FCreated = true;
        CreateParams();
    }
    QMainWindow::setVisible(Visible);
    // Some window systems never activate a window that is shown without
    // focus (and offscreen ones none at all); the caption is due anyway.
    if (Visible && FFirstActivation)
        Activate();
}

bool TFormStored::event(QEvent* Event)
{
    if (Event->type() == QEvent::WindowActivate && FFirstActivation)
        Activate();
    return QMainWindow::event(Event);
}

void TFormStored::Activate()
{
    if (!FFirstActivation)
        return;
    FFirstActivation = false;
    UpdateCaption();
}

void TFormStored::UpdateCaption()
{
    std::string Caption = GetProductName() + " " + GetFileVersionShort();
    const std::string Flags = GetBuildFlagsText();
    if (!Flags.empty())
        Caption += " " + Flags;
    setWindowTitle(ToQ(Caption));
    QGuiApplication::setApplicationDisplayName(ToQ(Caption));
}
