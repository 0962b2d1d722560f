"""D-Bus peers for the session message tests, on a private bus.

  session_peers.py logind <bus address> <sessions.json> [delay]
      org.freedesktop.login1 with the sessions of the file: a list of
      {"id", "uid", "user", "seat", "tty", "type", "class", "state", "name"};
      with a delay (seconds), ListSessions answers that late.
  session_peers.py notifications <bus address> <log file>
      org.freedesktop.Notifications; every Notify call is appended to the
      log file as one JSON line.

Each prints "ready" once its name is owned.
"""
import json
import sys
import time

import dbus
import dbus.bus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

LOGIN = "org.freedesktop.login1"
SESSION_IFACE = "org.freedesktop.login1.Session"
PROPS_IFACE = "org.freedesktop.DBus.Properties"


class Session(dbus.service.Object):
    def __init__(self, conn, path, data):
        super().__init__(conn, path)
        self.data = data

    def props(self):
        d = self.data
        return {
            "Id": dbus.String(d["id"]),
            "Name": dbus.String(d.get("name", d.get("user", ""))),
            "TTY": dbus.String(d.get("tty", "")),
            "Type": dbus.String(d.get("type", "tty")),
            "Class": dbus.String(d.get("class", "user")),
            "State": dbus.String(d.get("state", "active")),
        }

    @dbus.service.method(PROPS_IFACE, in_signature="ss", out_signature="v")
    def Get(self, iface, name):
        if iface != SESSION_IFACE or name not in self.props():
            raise dbus.exceptions.DBusException(
                "org.freedesktop.DBus.Error.UnknownProperty", name)
        return self.props()[name]

    @dbus.service.method(PROPS_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, iface):
        return self.props() if iface == SESSION_IFACE else {}


class Manager(dbus.service.Object):
    def __init__(self, conn, sessions, delay):
        super().__init__(conn, "/org/freedesktop/login1")
        self.sessions = sessions
        self.delay = delay

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="",
                         out_signature="a(susso)")
    def ListSessions(self):
        time.sleep(self.delay)
        return [(s["id"], dbus.UInt32(s["uid"]), s["user"], s.get("seat", ""),
                 dbus.ObjectPath(path)) for path, s in self.sessions]


class Notifications(dbus.service.Object):
    def __init__(self, conn, log):
        super().__init__(conn, "/org/freedesktop/Notifications")
        self.log = log
        self.next_id = 1

    @dbus.service.method("org.freedesktop.Notifications", in_signature="susssasa{sv}i",
                         out_signature="u")
    def Notify(self, app, replaces, icon, summary, body, actions, hints, timeout):
        with open(self.log, "a", encoding="utf-8") as f:
            f.write(json.dumps({"app": str(app), "replaces": int(replaces),
                                "icon": str(icon), "summary": str(summary),
                                "body": str(body), "timeout": int(timeout)}) + "\n")
        self.next_id += 1
        return dbus.UInt32(self.next_id - 1)

    @dbus.service.method("org.freedesktop.Notifications", in_signature="",
                         out_signature="ssss")
    def GetServerInformation(self):
        return ("recorder", "tolvex-tests", "1", "1.2")


def main():
    mode, address, arg = sys.argv[1:4]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    conn = dbus.bus.BusConnection(address)
    keep = []
    if mode == "logind":
        with open(arg, encoding="utf-8") as f:
            data = json.load(f)
        sessions = []
        for i, s in enumerate(data):
            path = "/org/freedesktop/login1/session/_%d" % i
            keep.append(Session(conn, path, s))
            sessions.append((path, s))
        keep.append(Manager(conn, sessions, float(sys.argv[4]) if len(sys.argv) > 4 else 0))
        name = dbus.service.BusName(LOGIN, conn)
    else:
        keep.append(Notifications(conn, arg))
        name = dbus.service.BusName("org.freedesktop.Notifications", conn)
    keep.append(name)
    print("ready", flush=True)
    GLib.MainLoop().run()


if __name__ == "__main__":
    main()
