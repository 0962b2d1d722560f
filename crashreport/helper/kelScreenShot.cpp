#include "crashreport/helper/kelScreenShot.h"

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

struct TFree {
    void operator()(void* P) const { std::free(P); }
};
template <class T> using TReply = std::unique_ptr<T, TFree>;

// The display connection of the running application, when it is an X11 one.
xcb_connection_t* XcbConnection()
{
    if (qGuiApp == nullptr || QGuiApplication::platformName() != QLatin1String("xcb"))
        return nullptr;
    auto* X11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    return X11 != nullptr ? X11->connection() : nullptr;
}

// The root window of the screen the display name picks ("host:0.1" is
// screen 1; without a number, screen 0).
xcb_window_t RootWindow(xcb_connection_t* C)
{
    int Screen = 0;
    if (const char* Name = std::getenv("DISPLAY")) {
        const char* Colon = std::strrchr(Name, ':');
        const char* Dot = Colon != nullptr ? std::strchr(Colon, '.') : nullptr;
        if (Dot != nullptr)
            Screen = std::atoi(Dot + 1);
    }
    xcb_screen_iterator_t It = xcb_setup_roots_iterator(xcb_get_setup(C));
    for (int I = 0; I < Screen && It.rem > 1; ++I)
        xcb_screen_next(&It);
    return It.rem > 0 ? It.data->root : xcb_window_t{XCB_WINDOW_NONE};
}

xcb_atom_t Atom(xcb_connection_t* C, const char* Name)
{
    TReply<xcb_intern_atom_reply_t> R(xcb_intern_atom_reply(
        C, xcb_intern_atom(C, 1, static_cast<std::uint16_t>(std::strlen(Name)), Name), nullptr));
    return R ? R->atom : xcb_atom_t{XCB_ATOM_NONE};
}

pid_t WindowPid(xcb_connection_t* C, xcb_window_t W, xcb_atom_t PidAtom)
{
    TReply<xcb_get_property_reply_t> R(xcb_get_property_reply(
        C, xcb_get_property(C, 0, W, PidAtom, XCB_ATOM_CARDINAL, 0, 1), nullptr));
    if (!R || R->format != 32 || xcb_get_property_value_length(R.get()) < 4)
        return 0;
    std::uint32_t Pid = 0;
    std::memcpy(&Pid, xcb_get_property_value(R.get()), 4);
    return static_cast<pid_t>(Pid);
}

// The process of a top-level window: its own _NET_WM_PID, or that of the
// client window a window manager's frame holds (two levels down at most).
pid_t FramedPid(xcb_connection_t* C, xcb_window_t W, xcb_atom_t PidAtom, int Depth)
{
    if (const pid_t Pid = WindowPid(C, W, PidAtom))
        return Pid;
    if (Depth == 0)
        return 0;
    TReply<xcb_query_tree_reply_t> Tree(xcb_query_tree_reply(C, xcb_query_tree(C, W), nullptr));
    if (!Tree)
        return 0;
    const xcb_window_t* Children = xcb_query_tree_children(Tree.get());
    for (int I = 0; I < xcb_query_tree_children_length(Tree.get()); ++I)
        if (const pid_t Pid = FramedPid(C, Children[I], PidAtom, Depth - 1))
            return Pid;
    return 0;
}

// Draws the pointer as XFixes shows it (premultiplied ARGB) into the bitmap,
// whose top left is Origin on the root window.
void DrawCursor(xcb_connection_t* C, INVBitmap& Bitmap, QPoint Origin)
{
    const xcb_query_extension_reply_t* Ext = xcb_get_extension_data(C, &xcb_xfixes_id);
    if (Ext == nullptr || !Ext->present)
        return;
    TReply<xcb_xfixes_query_version_reply_t> Version(xcb_xfixes_query_version_reply(
        C, xcb_xfixes_query_version(C, XCB_XFIXES_MAJOR_VERSION, XCB_XFIXES_MINOR_VERSION),
        nullptr));
    if (!Version)
        return;
    TReply<xcb_xfixes_get_cursor_image_reply_t> Cursor(
        xcb_xfixes_get_cursor_image_reply(C, xcb_xfixes_get_cursor_image(C), nullptr));
    if (!Cursor || xcb_xfixes_get_cursor_image_cursor_image_length(Cursor.get()) <
                       Cursor->width * Cursor->height)
        return;
    const std::uint32_t* Pixels = xcb_xfixes_get_cursor_image_cursor_image(Cursor.get());
    const int Left = Cursor->x - Cursor->xhot - Origin.x();
    const int Top = Cursor->y - Cursor->yhot - Origin.y();
    const int W = Bitmap.GetWidth(), H = Bitmap.GetHeight();
    for (int Y = 0; Y < Cursor->height; ++Y)
        for (int X = 0; X < Cursor->width; ++X) {
            const int Tx = Left + X, Ty = Top + Y;
            if (Tx < 0 || Ty < 0 || Tx >= W || Ty >= H)
                continue;
            const std::uint32_t P = Pixels[Y * Cursor->width + X];
            const std::uint32_t A = P >> 24;
            if (A == 0)
                continue;
            std::uint8_t* D = Bitmap.Pixels() + (static_cast<std::size_t>(H - 1 - Ty) * W + Tx) * 4;
            for (int Ch = 0; Ch < 3; ++Ch) {
                const std::uint32_t Src = (P >> (8 * Ch)) & 0xFF;
                D[Ch] = static_cast<std::uint8_t>(std::min<std::uint32_t>(
                    255, Src + (std::uint32_t{D[Ch]} * (255 - A) + 127) / 255));
            }
        }
}

} // namespace

std::vector<TStackedWindow> StackedWindows()
{
    std::vector<TStackedWindow> Stack;
    xcb_connection_t* C = XcbConnection();
    if (C == nullptr)
        return Stack;
    const xcb_window_t Root = RootWindow(C);
    TReply<xcb_query_tree_reply_t> Tree(xcb_query_tree_reply(C, xcb_query_tree(C, Root), nullptr));
    if (!Tree)
        return Stack;
    const xcb_atom_t PidAtom = Atom(C, "_NET_WM_PID");
    const xcb_window_t* Children = xcb_query_tree_children(Tree.get());
    const int Count = xcb_query_tree_children_length(Tree.get());
    // All questions first, then the answers: one round trip for the lot.
    std::vector<xcb_get_window_attributes_cookie_t> Attributes;
    std::vector<xcb_get_geometry_cookie_t> Geometries;
    for (int I = 0; I < Count; ++I) {
        Attributes.push_back(xcb_get_window_attributes(C, Children[I]));
        Geometries.push_back(xcb_get_geometry(C, Children[I]));
    }
    for (int I = 0; I < Count; ++I) {
        TReply<xcb_get_window_attributes_reply_t> A(
            xcb_get_window_attributes_reply(C, Attributes[static_cast<std::size_t>(I)], nullptr));
        TReply<xcb_get_geometry_reply_t> G(
            xcb_get_geometry_reply(C, Geometries[static_cast<std::size_t>(I)], nullptr));
        if (!A || !G)
            continue; // gone meanwhile
        TStackedWindow W;
        W.Viewable =
            A->map_state == XCB_MAP_STATE_VIEWABLE && A->_class != XCB_WINDOW_CLASS_INPUT_ONLY;
        W.Bounds =
            QRect(G->x, G->y, G->width + 2 * G->border_width, G->height + 2 * G->border_width);
        if (W.Viewable && PidAtom != XCB_ATOM_NONE)
            W.Pid = FramedPid(C, Children[I], PidAtom, 2);
        Stack.push_back(W);
    }
    return Stack;
}

QRegion ApplicationRegion(const std::vector<TStackedWindow>& Stack, pid_t Pid, QRect& Bounds)
{
    QRegion Shown;
    Bounds = QRect();
    for (std::size_t I = 0; I < Stack.size(); ++I) {
        const TStackedWindow& W = Stack[I];
        if (!W.Viewable || W.Bounds.isEmpty() || W.Pid != Pid)
            continue;
        Bounds |= W.Bounds;
        QRegion Own(W.Bounds);
        for (std::size_t J = I + 1; J < Stack.size(); ++J)
            if (Stack[J].Viewable && !Stack[J].Bounds.isEmpty())
                Own -= Stack[J].Bounds;
        Shown |= Own;
    }
    return Shown;
}

std::shared_ptr<INVBitmap> CaptureScreenShot(bool ApplicationOnly, pid_t Pid, std::string* Why)
{
    auto Fail = [Why](const std::string& Reason) -> std::shared_ptr<INVBitmap> {
        if (Why != nullptr)
            *Why = "screenshot: not available (" + Reason + ")";
        return nullptr;
    };
    if (qGuiApp == nullptr)
        return Fail("no display");
    xcb_connection_t* C = XcbConnection();
    if (C == nullptr)
        return Fail("no X11 display: " + QGuiApplication::platformName().toStdString());
    QScreen* Screen = QGuiApplication::primaryScreen();
    if (Screen == nullptr)
        return Fail("no screen");
    // Qt measures screens in device-independent pixels, the X server in its
    // own; the capture works in the server's.
    const qreal Ratio = Screen->devicePixelRatio();
    const QRect Desktop = Screen->virtualGeometry();
    QRect Area(QPoint(qRound(Desktop.x() * Ratio), qRound(Desktop.y() * Ratio)),
               QSize(qRound(Desktop.width() * Ratio), qRound(Desktop.height() * Ratio)));
    QRegion Shown;
    if (ApplicationOnly) {
        QRect Box;
        Shown = ApplicationRegion(StackedWindows(), Pid, Box);
        Box &= Area;
        Shown &= Box;
        if (Box.isEmpty() || Shown.isEmpty())
            return Fail("no window of the program shows");
        Area = Box;
    }
    const QImage Grab =
        Screen
            ->grabWindow(0, qRound(Area.x() / Ratio), qRound(Area.y() / Ratio),
                         qRound(Area.width() / Ratio), qRound(Area.height() / Ratio))
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    if (Grab.isNull())
        return Fail("the display gave no picture");
    auto Bitmap = NewNVBitmap(Area.width(), Area.height());
    if (!Bitmap)
        return Fail("too large");
    const int W = Area.width(), H = Area.height();
    auto Copy = [&](const QRect& R) {
        const QRect Part =
            R.intersected(QRect(0, 0, std::min(W, Grab.width()), std::min(H, Grab.height())));
        for (int Y = Part.top(); Y <= Part.bottom(); ++Y)
            std::memcpy(Bitmap->Pixels() +
                            (static_cast<std::size_t>(H - 1 - Y) * W + Part.left()) * 4,
                        Grab.constScanLine(Y) + static_cast<std::size_t>(Part.left()) * 4,
                        static_cast<std::size_t>(Part.width()) * 4);
    };
    if (ApplicationOnly) {
        // What other windows cover stays white.
        std::memset(Bitmap->Pixels(), 0xFF, static_cast<std::size_t>(W) * H * 4);
        for (const QRect& R : Shown.translated(-Area.topLeft()))
            Copy(R);
    } else {
        Copy(QRect(0, 0, W, H));
    }
    // The fourth byte of every pixel stays 0.
    for (std::size_t I = 3; I < static_cast<std::size_t>(W) * H * 4; I += 4)
        Bitmap->Pixels()[I] = 0;
    DrawCursor(C, *Bitmap, Area.topLeft());
    return Bitmap;
}
