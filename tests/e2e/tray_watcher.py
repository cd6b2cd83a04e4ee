#!/usr/bin/python3
# A tray host for tests: it owns the StatusNotifierWatcher name on the session bus, so that
# apps show their tray items there, prints {"value": "ready"} once it holds its names, and
# answers each line read on standard input with {"value": ...} or {"error": ...}:
#   item            the newest item's tooltip title, icon centre (ARGB) and visible menu labels
#   click LABEL     the menu entry with that label is clicked, as a host does
#   contextmenu X Y the item is asked to show its own menu at X, Y

import json
import os
import sys

import gi
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib

WATCHER = """<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
</interface></node>"""

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
items = []  # (bus name, object path), oldest first


def call(name, path, interface, method, args, reply_type=None):
    return bus.call_sync(name, path, interface, method, args, reply_type and GLib.VariantType(reply_type),
                         Gio.DBusCallFlags.NONE, 5000, None).unpack()


def on_call(connection, sender, path, interface, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        service = parameters.unpack()[0]
        # An item names its bus name, or only its path on the caller's connection.
        item = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        if item not in items:
            items.append(item)
    invocation.return_value(None)


def live_items():
    owned = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames", None)[0]
    return [item for item in items if item[0] in owned]


def newest():
    name, path = live_items()[-1]
    props = call(name, path, "org.freedesktop.DBus.Properties", "GetAll",
                 GLib.Variant("(s)", ("org.kde.StatusNotifierItem",)), "(a{sv})")[0]
    layout = call(name, props["Menu"], "com.canonical.dbusmenu", "GetLayout",
                  GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")[1]
    menu = {p.get("label", "").replace("_", ""): i for i, p, _ in layout[2]
            if p.get("visible", True) and p.get("type") != "separator"}
    return name, path, props, menu


def command(line):
    word, _, rest = line.partition(" ")
    name, path, props, menu = newest()
    if word == "item":
        icon = None
        if props.get("IconPixmap"):
            width, height, data = max(props["IconPixmap"], key=lambda p: p[0] * p[1])
            at = ((height // 2) * width + width // 2) * 4
            icon = list(bytes(data[at:at + 4]))
        return {"tooltip": props["ToolTip"][2] if props.get("ToolTip") else None, "icon": icon, "menu": list(menu)}
    if word == "click":
        call(name, props["Menu"], "com.canonical.dbusmenu", "AboutToShow", GLib.Variant("(i)", (0,)))
        call(name, props["Menu"], "com.canonical.dbusmenu", "Event",
             GLib.Variant("(isvu)", (menu[rest], "clicked", GLib.Variant("s", ""), 0)))
        return rest
    if word == "contextmenu":
        x, y = map(int, rest.split())
        call(name, path, "org.kde.StatusNotifierItem", "ContextMenu", GLib.Variant("(ii)", (x, y)))
        return rest
    raise LookupError(f"unknown command {line!r}")


def on_input(channel, condition):
    line = sys.stdin.readline()
    if not line:
        loop.quit()
        return False
    try:
        answer = {"value": command(line.strip())}
    except Exception as error:  # answered, never fatal: the test reads what went wrong
        answer = {"error": repr(error)}
    print(json.dumps(answer), flush=True)
    return True


bus.register_object("/StatusNotifierWatcher", Gio.DBusNodeInfo.new_for_xml(WATCHER).interfaces[0], on_call,
                    lambda *_: GLib.Variant("b", True), None)
for wanted in ("org.kde.StatusNotifierWatcher", f"org.kde.StatusNotifierHost-{os.getpid()}"):
    if call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
            GLib.Variant("(su)", (wanted, 4)), "(u)")[0] != 1:
        sys.exit(f"could not own {wanted}")
print(json.dumps({"value": "ready"}), flush=True)
loop = GLib.MainLoop()
GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP,
                  on_input)
loop.run()
