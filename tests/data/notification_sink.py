#!/usr/bin/python3
"""A desktop notification service for the tests: takes the name
org.freedesktop.Notifications on the session bus and appends every Notify
call to a file, one JSON object a line, before it answers. (Notify is all
Quenwick calls; the service's other methods are left out.)

    notification_sink.py RECORD [--silent]

Each line holds app_name, replaces_id, app_icon, summary, body, actions,
hints (name -> value) and expire_timeout as the caller sent them. With
--silent the service records a call but never answers it, as a hung
notification daemon would. Runs until SIGTERM.
"""

import argparse
import json
import signal

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"


class Notifications(dbus.service.Object):
    def __init__(self, bus, record, silent):
        super().__init__(bus, PATH)
        self.record = record
        self.silent = silent
        self.last_id = 0

    @dbus.service.method(NAME, in_signature="susssasa{sv}i", out_signature="u",
                         async_callbacks=("reply", "error"))
    def Notify(self, app_name, replaces_id, app_icon, summary, body, actions, hints,
               expire_timeout, reply, error):
        call = {
            "app_name": str(app_name),
            "replaces_id": int(replaces_id),
            "app_icon": str(app_icon),
            "summary": str(summary),
            "body": str(body),
            "actions": [str(a) for a in actions],
            # The D-Bus type of each hint too: the freedesktop hints are
            # typed, and a desktop-entry that is not a string is ignored.
            "hints": {str(k): [type(v).__name__, str(v)] for k, v in hints.items()},
            "expire_timeout": int(expire_timeout),
        }
        with open(self.record, "a", encoding="utf-8") as f:
            f.write(json.dumps(call, ensure_ascii=False) + "\n")
        if not self.silent:
            self.last_id += 1
            reply(dbus.UInt32(self.last_id))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("record")
    parser.add_argument("--silent", action="store_true")
    args = parser.parse_args()
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    service = Notifications(bus, args.record, args.silent)
    loop = GLib.MainLoop()
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    # Taken last: once the name is on the bus, calls are answered.
    name = dbus.service.BusName(NAME, bus, do_not_queue=True)
    loop.run()
    del name, service


if __name__ == "__main__":
    main()
