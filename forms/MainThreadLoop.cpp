#include "forms/MainThreadLoop.h"

#include "platform/Thread.h"

#include <QCoreApplication>
#include <QMetaObject>

void InstallMainThreadIntoEventLoop()
{
    platform::MainThread().Install();
    QCoreApplication* App = QCoreApplication::instance();
    platform::MainThread().SetWakeUp([App] {
        QMetaObject::invokeMethod(
            App, [] { platform::MainThread().ProcessPending(); }, Qt::QueuedConnection);
    });
}
