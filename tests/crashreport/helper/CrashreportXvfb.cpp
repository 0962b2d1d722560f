// Screenshots and the progress alert's screen places on a real X server
// (run under xvfb-run, no window manager). The outside programs judge: xdotool
// moves and raises windows of another process, xwininfo tells where windows
// are and whether they show, ImageMagick's import takes the X server's own
// picture of the screen.
//
// The program also serves as the other processes the cases need:
//   --cover-window   shows a blue window, prints its X window id, and stays
//                    until its standard input closes
//   --alerts N       shows N progress alerts at the bottom right, prints
//                    "slot x y width height" for each and "ready", and stays
//                    until its standard input closes
#include "crashreport/helper/kelNVBitmapQt.h"
#include "crashreport/helper/kelNVPrgrAlert.h"
#include "crashreport/helper/kelScreenShot.h"
#include "tests/crashreport/Command.h"
#include "tests/support/TempFolder.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QScreen>
#include <QSocketNotifier>
#include <QWidget>

#include <xcb/xcb.h>

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <functional>
#include <iostream>
#include <spawn.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace std::chrono_literals;

int Argc = 1;
char ProgramName[] = "crashreport_helper_xvfb_tests";
char* Argv[] = {ProgramName, nullptr};
std::string SelfPath;

QApplication& App()
{
    static QApplication* A = new QApplication(Argc, Argv);
    return *A;
}

// Pumps events until Done holds or the time is up.
bool WaitUntil(const std::function<bool()>& Done, std::chrono::milliseconds Limit = 10s)
{
    const auto End = std::chrono::steady_clock::now() + Limit;
    while (!Done()) {
        if (std::chrono::steady_clock::now() > End)
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

// Stays until standard input closes, handling events meanwhile.
int StayUntilStdinCloses()
{
    QSocketNotifier Stdin(0, QSocketNotifier::Read);
    QObject::connect(&Stdin, &QSocketNotifier::activated, [&] {
        char Buf[64];
        if (::read(0, Buf, sizeof Buf) <= 0)
            QCoreApplication::exit(0); // quit() would ask the alerts, which refuse
    });
    return QApplication::exec();
}

QWidget* SolidWindow(const QRect& Where, QColor Colour)
{
    auto* W = new QWidget(nullptr, Qt::FramelessWindowHint);
    QPalette P = W->palette();
    P.setColor(QPalette::Window, Colour);
    W->setPalette(P);
    W->setAutoFillBackground(true);
    W->setGeometry(Where);
    W->show();
    return W;
}

int CoverWindow()
{
    App();
    QWidget* W = SolidWindow(QRect(900, 600, 150, 120), Qt::blue);
    WaitUntil([W] { return W->isVisible(); });
    std::printf("%llu\n", static_cast<unsigned long long>(W->winId()));
    std::fflush(stdout);
    return StayUntilStdinCloses();
}

int ShowAlerts(int Count)
{
    App();
    std::vector<std::shared_ptr<TIProgressAlert>> Alerts;
    for (int I = 0; I < Count; ++I) {
        Alerts.push_back(NewProgressAlert("Information", "KEIPLWAIT"));
        Alerts.back()->AddArea("Please wait a moment...", 1);
        Alerts.back()->Show(false);
    }
    QCoreApplication::processEvents();
    for (const auto& A : Alerts) {
        const QRect F = A->Window()->frameGeometry();
        std::printf("%d %d %d %d %d %llu\n", A->Slot(), F.x(), F.y(), F.width(), F.height(),
                    static_cast<unsigned long long>(A->Window()->winId()));
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return StayUntilStdinCloses();
}

// Another process of this program, with pipes to its standard input and
// output.
class TChild {
public:
    explicit TChild(const std::vector<std::string>& Args)
    {
        int In[2], Out[2];
        if (::pipe(In) != 0 || ::pipe(Out) != 0)
            return;
        posix_spawn_file_actions_t A;
        posix_spawn_file_actions_init(&A);
        posix_spawn_file_actions_adddup2(&A, In[0], 0);
        posix_spawn_file_actions_adddup2(&A, Out[1], 1);
        posix_spawn_file_actions_addclosefrom_np(&A, 3);
        std::vector<char*> V{SelfPath.data()};
        std::vector<std::string> Copy = Args;
        for (auto& S : Copy)
            V.push_back(S.data());
        V.push_back(nullptr);
        if (posix_spawn(&Pid, SelfPath.c_str(), &A, nullptr, V.data(), environ) != 0)
            Pid = -1;
        posix_spawn_file_actions_destroy(&A);
        ::close(In[0]);
        ::close(Out[1]);
        ToChild = In[1];
        FromChild = ::fdopen(Out[0], "r");
    }
    ~TChild() { End(); }
    std::string Line()
    {
        char Buf[512];
        if (FromChild == nullptr || std::fgets(Buf, sizeof Buf, FromChild) == nullptr)
            return {};
        std::string S = Buf;
        if (!S.empty() && S.back() == '\n')
            S.pop_back();
        return S;
    }
    // Closes its standard input and waits for it to end.
    void End()
    {
        if (ToChild >= 0)
            ::close(ToChild);
        ToChild = -1;
        if (FromChild != nullptr)
            std::fclose(FromChild);
        FromChild = nullptr;
        if (Pid > 0)
            ::waitpid(Pid, nullptr, 0);
        Pid = -1;
    }
    pid_t Pid = -1;

private:
    int ToChild = -1;
    FILE* FromChild = nullptr;
};

// A value of xwininfo's report on a window ("Absolute upper-left X", "Map
// State" ...).
std::string WinInfo(unsigned long long Id, const std::string& Key)
{
    const TCommandResult R = RunCommand("xwininfo -id " + std::to_string(Id));
    std::istringstream Lines(R.Output);
    for (std::string Line; std::getline(Lines, Line);) {
        const auto At = Line.find(Key + ":");
        if (At != std::string::npos) {
            std::string Value = Line.substr(At + Key.size() + 1);
            Value.erase(0, Value.find_first_not_of(' '));
            return Value;
        }
    }
    return {};
}

QRect WinRect(unsigned long long Id)
{
    return QRect(std::atoi(WinInfo(Id, "Absolute upper-left X").c_str()),
                 std::atoi(WinInfo(Id, "Absolute upper-left Y").c_str()),
                 std::atoi(WinInfo(Id, "Width").c_str()), std::atoi(WinInfo(Id, "Height").c_str()));
}

// Saves a screenshot for a person as build/test-output/<Name>.png.
void SaveShot(const INVBitmap& B, const QString& Name)
{
    const char* Bin = std::getenv("TOLVEX_BIN_DIR");
    const QString Out = QString(Bin ? Bin : ".") + "/../test-output";
    QDir().mkpath(Out);
    NVBitmapToImage(B).save(Out + "/" + Name + ".png");
}

// The colour of a bitmap's pixel, (0, 0) at the top left.
QColor PixelAt(const INVBitmap& B, int X, int Y)
{
    const std::uint8_t* P =
        B.Pixels() + (static_cast<std::size_t>(B.GetHeight() - 1 - Y) * B.GetWidth() + X) * 4;
    return QColor(P[2], P[1], P[0]);
}

class CrashreportScreenShotX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        ASSERT_EQ(QGuiApplication::platformName(), "xcb");
        // The pointer far from every window of the cases.
        RunCommand("xdotool mousemove 1200 1000");
    }
};

TEST_F(CrashreportScreenShotX11, CoveredPartsOfTheProgramsWindowsAreWhite)
{
    std::unique_ptr<QWidget> Red(SolidWindow(QRect(100, 100, 300, 200), Qt::red));
    std::unique_ptr<QWidget> Green(SolidWindow(QRect(500, 150, 200, 200), Qt::green));
    TChild Cover({"--cover-window"});
    const unsigned long long CoverId = std::stoull("0" + Cover.Line());
    ASSERT_NE(CoverId, 0u);
    ASSERT_EQ(RunCommand("xdotool windowmove " + std::to_string(CoverId) + " 320 250").Status, 0);
    ASSERT_TRUE(WaitUntil([&] { return WinRect(CoverId) == QRect(320, 250, 150, 120); }))
        << "xwininfo: the cover window stands at " << WinInfo(CoverId, "Absolute upper-left X");
    EXPECT_EQ(WinRect(Red->winId()), QRect(100, 100, 300, 200));
    EXPECT_EQ(WinRect(Green->winId()), QRect(500, 150, 200, 200));

    // The box around the program's two windows; what the cover hides, and
    // what lies between them, white.
    std::shared_ptr<INVBitmap> Shot;
    ASSERT_TRUE(WaitUntil([&] {
        Shot = CaptureScreenShot(true, ::getpid());
        return Shot && PixelAt(*Shot, 10, 10) == QColor(Qt::red) &&
               PixelAt(*Shot, 450, 100) == QColor(Qt::green);
    })) << "the windows never showed";
    ASSERT_EQ(Shot->GetWidth(), 600);
    ASSERT_EQ(Shot->GetHeight(), 250);
    struct TProbe {
        const char* Where;
        QPoint Root;
        QColor Want;
    };
    const TProbe Probes[] = {
        {"red, uncovered", {150, 120}, Qt::red},
        {"red, under the cover", {350, 270}, Qt::white},
        {"red, beside the cover", {310, 290}, Qt::red},
        {"between the windows", {450, 120}, Qt::white},
        {"the cover beyond red", {420, 280}, Qt::white},
        {"green", {550, 200}, Qt::green},
        {"green's bottom right", {699, 349}, Qt::green},
    };
    for (const TProbe& P : Probes)
        EXPECT_EQ(PixelAt(*Shot, P.Root.x() - 100, P.Root.y() - 100), P.Want) << P.Where;
    SaveShot(*Shot, "CrashreportScreenShot-ApplicationOnly");

    // Raised above the cover, red shows whole: the stacking counts.
    ASSERT_EQ(RunCommand("xdotool windowraise " + std::to_string(Red->winId())).Status, 0);
    ASSERT_TRUE(WaitUntil([&] {
        Shot = CaptureScreenShot(true, ::getpid());
        return Shot && PixelAt(*Shot, 250, 170) == QColor(Qt::red);
    })) << "red did not come above the cover";
}

TEST_F(CrashreportScreenShotX11, NoVisibleWindowNoScreenshot)
{
    std::unique_ptr<QWidget> Red(SolidWindow(QRect(100, 100, 300, 200), Qt::red));
    ASSERT_TRUE(WaitUntil([&] { return CaptureScreenShot(true, ::getpid()) != nullptr; }));
    Red->hide();
    std::string Why;
    ASSERT_TRUE(WaitUntil([&] { return CaptureScreenShot(true, ::getpid(), &Why) == nullptr; }));
    EXPECT_EQ(WinInfo(Red->winId(), "Map State"), "IsUnMapped");
    EXPECT_NE(Why.find("no window of the program shows"), std::string::npos) << Why;
    // Another process's windows are not the program's.
    TChild Cover({"--cover-window"});
    ASSERT_NE(Cover.Line(), "");
    EXPECT_EQ(CaptureScreenShot(true, ::getpid()), nullptr);
}

TEST_F(CrashreportScreenShotX11, WholeScreenIsWhatTheServerShowsAndThePointer)
{
    std::unique_ptr<QWidget> Red(SolidWindow(QRect(300, 300, 200, 100), Qt::red));
    ASSERT_TRUE(WaitUntil([&] { return CaptureScreenShot(true, ::getpid()) != nullptr; }));
    ASSERT_EQ(RunCommand("xdotool mousemove 20 20").Status, 0);
    auto Shot = CaptureScreenShot(false, 0);
    ASSERT_TRUE(Shot);
    ASSERT_EQ(Shot->GetWidth(), 1280);
    ASSERT_EQ(Shot->GetHeight(), 1024);
    TempFolder Temp;
    const std::string Raw = Temp.Path("root.rgb");
    ASSERT_EQ(RunCommand("import -window root -depth 8 rgb:" + Quote(Raw)).Status, 0);
    const std::string Server = TempFolder::Read(Raw);
    ASSERT_EQ(Server.size(), 1280u * 1024u * 3u);
    // Everything but the pointer's corner is the server's picture.
    const QRect Pointer(0, 0, 90, 90);
    long Differ = 0, DifferAtPointer = 0;
    for (int Y = 0; Y < 1024; ++Y)
        for (int X = 0; X < 1280; ++X) {
            const QColor Mine = PixelAt(*Shot, X, Y);
            const std::size_t I = (static_cast<std::size_t>(Y) * 1280 + X) * 3;
            const bool Same = Mine.red() == static_cast<std::uint8_t>(Server[I]) &&
                              Mine.green() == static_cast<std::uint8_t>(Server[I + 1]) &&
                              Mine.blue() == static_cast<std::uint8_t>(Server[I + 2]);
            if (!Same)
                ++(Pointer.contains(X, Y) ? DifferAtPointer : Differ);
        }
    EXPECT_EQ(Differ, 0);
    // The pointer is drawn in (import leaves it out).
    EXPECT_GT(DifferAtPointer, 0);
}

class CrashreportProgressAlertX11 : public ::testing::Test {
protected:
    void SetUp() override
    {
        App();
        ::setenv("XDG_RUNTIME_DIR", Runtime.Path().c_str(), 1);
        ::chmod(Runtime.Path().c_str(), 0700);
    }
    TempFolder Runtime;
};

struct TPlace {
    int Slot = -2;
    QRect Frame;
    unsigned long long Id = 0;
};

std::vector<TPlace> Places(TChild& C)
{
    std::vector<TPlace> List;
    for (std::string Line = C.Line(); !Line.empty() && Line != "ready"; Line = C.Line()) {
        std::istringstream In(Line);
        TPlace P;
        int X, Y, W, H;
        In >> P.Slot >> X >> Y >> W >> H >> P.Id;
        P.Frame = QRect(X, Y, W, H);
        List.push_back(P);
    }
    return List;
}

TEST_F(CrashreportProgressAlertX11, NineAlertsOfThreeProcesses)
{
    std::vector<std::unique_ptr<TChild>> Children;
    std::vector<TPlace> All;
    for (int I = 0; I < 3; ++I) {
        Children.push_back(std::make_unique<TChild>(std::vector<std::string>{"--alerts", "3"}));
        const auto Got = Places(*Children.back());
        ASSERT_EQ(Got.size(), 3u) << "process " << I;
        All.insert(All.end(), Got.begin(), Got.end());
    }
    const QRect Work = QGuiApplication::primaryScreen()->availableGeometry();
    for (int I = 0; I < 9; ++I) {
        const TPlace& P = All[static_cast<std::size_t>(I)];
        SCOPED_TRACE(I);
        // Eight places in turn; the ninth alert on place 0's spot.
        EXPECT_EQ(P.Slot, I < 8 ? I : -1);
        const int Slot = std::max(P.Slot, 0);
        EXPECT_EQ(P.Frame.right(), Work.right() - 2);
        EXPECT_EQ(P.Frame.bottom(), Work.bottom() - 2 - Slot * P.Frame.height());
        // The X server agrees.
        EXPECT_EQ(WinRect(P.Id), P.Frame);
        EXPECT_EQ(WinInfo(P.Id, "Map State"), "IsViewable");
    }
    EXPECT_EQ(All[8].Frame, All[0].Frame);
    // The second process ends: its three places are free for the next.
    Children[1]->End();
    TChild Next({"--alerts", "2"});
    const auto Got = Places(Next);
    ASSERT_EQ(Got.size(), 2u);
    EXPECT_EQ(Got[0].Slot, 3);
    EXPECT_EQ(Got[1].Slot, 4);
    EXPECT_EQ(Got[0].Frame, All[3].Frame);
}

TEST_F(CrashreportProgressAlertX11, CloseRequestsLeaveItOpen)
{
    auto A = NewProgressAlert("Information", "KEIPLWAIT");
    ASSERT_TRUE(A->Show(true));
    ASSERT_TRUE(WaitUntil([&] { return A->Window()->isVisible(); }));
    const auto Id = static_cast<xcb_window_t>(A->Window()->winId());
    // Alt+F4, and the request a window manager sends for it (and for its
    // close button and menu): WM_DELETE_WINDOW.
    RunCommand("xdotool key --window " + std::to_string(Id) + " alt+F4");
    auto* X11 = qGuiApp->nativeInterface<QNativeInterface::QX11Application>();
    ASSERT_NE(X11, nullptr);
    xcb_connection_t* C = X11->connection();
    auto Atom = [C](const char* Name) {
        xcb_intern_atom_reply_t* R = xcb_intern_atom_reply(
            C, xcb_intern_atom(C, 0, static_cast<std::uint16_t>(std::strlen(Name)), Name), nullptr);
        const xcb_atom_t Value = R ? R->atom : 0;
        std::free(R);
        return Value;
    };
    xcb_client_message_event_t Event{};
    Event.response_type = XCB_CLIENT_MESSAGE;
    Event.format = 32;
    Event.window = Id;
    Event.type = Atom("WM_PROTOCOLS");
    Event.data.data32[0] = Atom("WM_DELETE_WINDOW");
    Event.data.data32[1] = XCB_CURRENT_TIME;
    xcb_send_event(C, 0, Id, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&Event));
    xcb_flush(C);
    WaitUntil([] { return false; }, 500ms);
    ASSERT_NE(A->Window(), nullptr);
    EXPECT_TRUE(A->Window()->isVisible());
    EXPECT_EQ(WinInfo(Id, "Map State"), "IsViewable");
    A->Close();
    EXPECT_TRUE(WaitUntil([&] { return WinInfo(Id, "Map State") != "IsViewable"; }));
}

} // namespace

int main(int argc, char** argv)
{
    char Self[4096];
    const ssize_t N = ::readlink("/proc/self/exe", Self, sizeof Self - 1);
    SelfPath.assign(Self, N > 0 ? static_cast<std::size_t>(N) : 0);
    if (argc >= 2 && std::string(argv[1]) == "--cover-window")
        return CoverWindow();
    if (argc >= 3 && std::string(argv[1]) == "--alerts")
        return ShowAlerts(std::atoi(argv[2]));
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
