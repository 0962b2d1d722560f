#!/usr/bin/python3
"""A stand-in for logind's power calls on a private bus.

    shutdown_logind.py BUS-ADDRESS LOG

PowerOff and Reboot append "<method> <interactive>" to LOG and return; this
computer is never touched. Prints "ready" once the name is owned.
"""
import sys

import dbus
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib


class Manager(dbus.service.Object):
    def __init__(self, conn, log):
        super().__init__(conn, "/org/freedesktop/login1")
        self.log = log

    def record(self, method, interactive):
        with open(self.log, "a", encoding="utf-8") as f:
            f.write("%s %s\n" % (method, "true" if interactive else "false"))

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="b", out_signature="")
    def PowerOff(self, interactive):
        self.record("PowerOff", interactive)

    @dbus.service.method("org.freedesktop.login1.Manager", in_signature="b", out_signature="")
    def Reboot(self, interactive):
        self.record("Reboot", interactive)


def main():
    address, log = sys.argv[1:3]
    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    conn = dbus.bus.BusConnection(address)
    keep = [Manager(conn, log), dbus.service.BusName("org.freedesktop.login1", conn)]
    print("ready", flush=True)
    GLib.MainLoop().run()
    del keep


if __name__ == "__main__":
    main()
