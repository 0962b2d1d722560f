// Whether a program started by a test has come up: counted in the instance
// block, and listening on its activation socket.
#pragma once

#include "app/CheckPrevious.h"

#include <QLocalSocket>
#include <QString>

#include <sys/types.h>

// Counted in the instance block as the only instance: from here on SIGTERM
// is the program's.
inline bool InstanceRegistered(pid_t Pid)
{
    TInstanceInfo Info;
    return ReadInstanceInfo(Info) && Info.PreviousHandle == static_cast<uint32_t>(Pid) &&
           Info.RunCounter == 1;
}

// Registered and listening on its socket: its window exists and the event
// loop answers. A socket file that a killed instance left behind takes no
// connection.
inline bool InstanceRunning(pid_t Pid)
{
    if (!InstanceRegistered(Pid))
        return false;
    QLocalSocket Probe;
    Probe.connectToServer(QString::fromStdString(ActivationSocketPath()));
    return Probe.waitForConnected(200);
}
