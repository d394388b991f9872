#!/usr/bin/python3
# A StatusNotifierItem panel's watcher and host on the session bus: writes
# the bus name of each item that registers, a line each, to the file argv[1].
import os
import sys

from gi.repository import Gio, GLib

WATCHER = "org.kde.StatusNotifierWatcher"
XML = f"""<node><interface name="{WATCHER}">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
</interface></node>"""


def register(_conn, sender, _path, _iface, _method, args, invocation):
    service = args.unpack()[0]
    with open(sys.argv[1], "a") as out:  # a path alone names the sender
        print(sender if service.startswith("/") else service, file=out)
    invocation.return_value(None)


def connected(conn, _name):
    conn.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0],
                         register, lambda *_: GLib.Variant("b", True), None)


Gio.bus_own_name(Gio.BusType.SESSION, f"org.kde.StatusNotifierHost-{os.getpid()}", 0, None, None, None)
# A later panel takes the watcher's name over, as a restarting desktop does.
Gio.bus_own_name(Gio.BusType.SESSION, WATCHER,
                 Gio.BusNameOwnerFlags.ALLOW_REPLACEMENT | Gio.BusNameOwnerFlags.REPLACE, connected,
                 None, None)
GLib.MainLoop().run()
