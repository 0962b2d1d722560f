// The program: one instance per user session, one main window, the event
// loop until it closes.
#include "app/CheckPrevious.h"
#include "app/uTolvex.h"
#include "crashlib/kelTools.h"
#include "crashreport/kelExceptInit.h"
#include "forms/Dialogs.h"
#include "forms/MainThreadLoop.h"
#include "platform/Thread.h"

#include <QApplication>
#include <QGuiApplication>
#include <QSocketNotifier>
#include <QWidget>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <functional>
#include <memory>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};

void OnTerminationSignal(int)
{
    const char Byte = 1;
    [[maybe_unused]] const ssize_t N = ::write(SignalPipe[1], &Byte, 1);
}

// SIGTERM (the session ends), SIGHUP (its terminal or session went away)
// and SIGINT end the program the ordinary way, so the options, comments and
// tool lists are written as after "Exit" and a running client is ended.
// Caught from the first moment on: a signal that comes while the program
// starts waits in the pipe until the event loop (or a start-up message's)
// takes it.
void CatchTerminationSignals()
{
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    struct sigaction Action {};
    Action.sa_handler = OnTerminationSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    for (const int Signal : {SIGTERM, SIGHUP, SIGINT})
        ::sigaction(Signal, &Action, nullptr);
}

// Runs End in the event loop for every signal caught.
void EndOnTerminationSignals(QObject* Owner, std::function<void()> End)
{
    if (SignalPipe[0] < 0)
        return;
    auto* Notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, Owner);
    QObject::connect(Notifier, &QSocketNotifier::activated, Owner, [End = std::move(End)] {
        char Buffer[16];
        while (::read(SignalPipe[0], Buffer, sizeof Buffer) > 0) {
        }
        End();
    });
}

// The crash library's messages for the main thread (its stand-in for hidden
// windows) are handled by the event loop, between the window's own events.
void ServeCrashLibraryMessages(QObject* Owner)
{
    const int Fd = GetMsgPortFd();
    if (Fd < 0)
        return;
    auto* Notifier = new QSocketNotifier(Fd, QSocketNotifier::Read, Owner);
    QObject::connect(Notifier, &QSocketNotifier::activated, Owner, [] { DrainMsgPort(); });
}

// The application object: with crash reporting on, an exception that escapes
// an event handler is reported and the program goes on, the event counting
// as not handled (a mouse grab is let go first, so the report's windows get
// the pointer).
class TTolvexApplication : public QApplication {
public:
    TTolvexApplication(int& argc, char** argv, void (*AEventException)())
        : QApplication(argc, argv), EventException(AEventException)
    {
    }

    bool notify(QObject* Receiver, QEvent* Event) override
    {
        if (EventException == nullptr)
            return QApplication::notify(Receiver, Event);
        try {
            return QApplication::notify(Receiver, Event);
        } catch (...) {
            if (QWidget* Grabber = QWidget::mouseGrabber())
                Grabber->releaseMouse();
            EventException();
            return false;
        }
    }

private:
    void (*const EventException)();
};

// Ends the crash capture when main() returns, before static objects are
// destroyed: its start-up work on another thread uses some of them.
class TCaptureEnd {
public:
    TCaptureEnd() = default;
    ~TCaptureEnd() { FinalizeLibrary(); }
    TCaptureEnd(const TCaptureEnd&) = delete;
    TCaptureEnd& operator=(const TCaptureEnd&) = delete;
};

} // namespace

int main(int argc, char** argv)
{
    // The crash reporter first: dormant without its settings section, else it
    // sees every thread and exception from here on.
    const TCaptureHooks Crash = InitializeLibrary();
    const TCaptureEnd CaptureEnd;
    platform::SetThreadHooks({Crash.ThreadStarted, Crash.ThreadException});
    CatchTerminationSignals();
    // Before anything else, and before any settings file is looked at: a
    // second start hands over to the running instance and ends.
    MappingName = TolvexInstanceGuid;
    try {
        if (RestoreIfRunning(static_cast<uint32_t>(::getpid()), 1))
            return 0;
    } catch (const std::exception& E) {
        std::fprintf(stderr, "tolvex: %s\n", E.what());
        return 1;
    }

    int Code = 0;
    {
        TTolvexApplication App(argc, argv, Crash.EventException);
        InstallMainThreadIntoEventLoop();
        RouteStoreMessagesToMessageBoxes();
        ServeCrashLibraryMessages(&App);
        TfrmTolvex* Window = nullptr;
        bool Ending = false;
        // Nobody is left to answer a message box: the open ones are
        // dismissed, later ones only written out, and the window closes.
        EndOnTerminationSignals(&App, [&] {
            Ending = true;
            DismissDialogsForEnd();
            if (Window)
                Window->close();
        });
        try {
            auto Main = std::make_unique<TfrmTolvex>();
            Window = Main.get();
            ListenForActivation(Main.get());
            // Ended while the window was being made (a start-up message
            // was open): it is not shown, only closed the ordinary way.
            if (!Ending) {
                Main->show();
                // The crash reporter's box stands over it (on X11, where a
                // window of another process can be named).
                if (Crash.MainWindow != nullptr && QGuiApplication::platformName() == "xcb")
                    Crash.MainWindow(static_cast<std::uint64_t>(Main->winId()));
                Code = App.exec();
                if (Crash.MainWindow != nullptr)
                    Crash.MainWindow(0);
            }
            Window = nullptr;
            // Destroying the window writes the options; only then may
            // another instance start and read them.
            Main.reset();
        } catch (const std::exception& E) {
            // With crash reporting on, the report takes the message box's place.
            if (Crash.MainException != nullptr)
                Crash.MainException();
            else
                ShowMessageBox(E.what(), "Error!", TMsgIcon::Error);
            Code = 1;
        }
        platform::MainThread().SetWakeUp(nullptr);
    }
    FinalizeCheckPrevious();
    return Code;
}
