#!/usr/bin/python3
"""A stand-in for logind's power calls on a private bus.

    shutdown_logind.py BUS-ADDRESS LOG [hold]

PowerOff and Reboot append "<method> <interactive>" to LOG and return; this
computer is never touched. With "hold" they record and never answer, as
logind does while polkit waits for the user. Prints "ready" once the name is
owned.
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib


class Manager(dbus.service.Object):
    def __init__(self, conn, log, hold):
        super().__init__(conn, "/org/freedesktop/login1")
        self.log = log
        self.hold = hold
        self.held = []

    def record(self, method, interactive, reply, error):
        with open(self.log, "a", encoding="utf-8") as f:
            f.write("%s %s\n" % (method, "true" if interactive else "false"))
        if self.hold:
            self.held.append((reply, error))
        else:
            reply()

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="b", out_signature="",
                         async_callbacks=("reply", "error"))
    def PowerOff(self, interactive, reply, error):
        self.record("PowerOff", interactive, reply, error)

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="b", out_signature="",
                         async_callbacks=("reply", "error"))
    def Reboot(self, interactive, reply, error):
        self.record("Reboot", interactive, reply, error)


def main():
    address, log = sys.argv[1:3]
    hold = sys.argv[3:4] == ["hold"]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    conn = dbus.bus.BusConnection(address)
    keep = [Manager(conn, log, hold), dbus.service.BusName("org.freedesktop.login1", conn)]
    print("ready", flush=True)
    GLib.MainLoop().run()
    del keep


if __name__ == "__main__":
    main()
