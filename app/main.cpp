// The program: one instance per user session, one main window, the event
// loop until it closes.
#include "CheckPrevious.h"
#include "Dialogs.h"
#include "MainThreadLoop.h"
#include "Thread.h"
#include "uTolvex.h"

#include <QApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <exception>
#include <fcntl.h>
#include <memory>
#include <unistd.h>

namespace {

int SignalPipe[2] = {-1, -1};

void OnTerminationSignal(int)
{
    const char Byte = 1;
    [[maybe_unused]] const ssize_t N = ::write(SignalPipe[1], &Byte, 1);
}

// SIGTERM (the session ends) and SIGINT close the main window the ordinary
// way, so the options and comments are written as after "Exit".
void CloseOnTerminationSignals(QWidget* Window)
{
    if (::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return;
    auto* Notifier = new QSocketNotifier(SignalPipe[0], QSocketNotifier::Read, Window);
    QObject::connect(Notifier, &QSocketNotifier::activated, Window, [Window] {
        char Buffer[16];
        while (::read(SignalPipe[0], Buffer, sizeof Buffer) > 0) {
        }
        Window->close();
    });
    struct sigaction Action {};
    Action.sa_handler = OnTerminationSignal;
    sigemptyset(&Action.sa_mask);
    Action.sa_flags = SA_RESTART;
    ::sigaction(SIGTERM, &Action, nullptr);
    ::sigaction(SIGINT, &Action, nullptr);
}

} // namespace

int main(int argc, char** argv)
{
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
        QApplication App(argc, argv);
        InstallMainThreadIntoEventLoop();
        RouteStoreMessagesToMessageBoxes();
        try {
            auto Main = std::make_unique<TfrmTolvex>();
            CloseOnTerminationSignals(Main.get());
            ListenForActivation(Main.get());
            Main->show();
            Code = App.exec();
            // Destroying the window writes the options; only then may
            // another instance start and read them.
            Main.reset();
        } catch (const std::exception& E) {
            ShowMessageBox(E.what(), "Error!", TMsgIcon::Error);
            Code = 1;
        }
        platform::MainThread().SetWakeUp(nullptr);
    }
    FinalizeCheckPrevious();
    return Code;
}
