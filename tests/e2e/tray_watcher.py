#!/usr/bin/python3
# A tray host for tests: it takes the StatusNotifierWatcher name on the session bus, so
# that apps show their tray items there, prints {"ready": true} once it holds its names,
# and answers each command read on standard input with one JSON line:
#   items           the registered items still on the bus
#   item            the newest item's tooltip title, menu and icon centre
#   menu            the newest item's menu entries
#   click LABEL     the menu entry with that label is clicked, as a host does
#   contextmenu X Y the item is asked to show its own menu at X, Y

import json
import os
import sys

import gi
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib

WATCHER = """
<node><interface name="org.kde.StatusNotifierWatcher">
  <method name="RegisterStatusNotifierItem"><arg name="service" type="s" direction="in"/></method>
  <method name="RegisterStatusNotifierHost"><arg name="service" type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
  <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
  <signal name="StatusNotifierHostRegistered"/>
</interface></node>"""

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
items = []  # [bus name, object path], oldest first


def on_call(connection, sender, path, interface, method, parameters, invocation):
    if method == "RegisterStatusNotifierItem":
        service = parameters.unpack()[0]
        # An item names its bus name, or only its path on the caller's connection.
        name, item_path = (sender, service) if service.startswith("/") else (service, "/StatusNotifierItem")
        if [name, item_path] not in items:
            items.append([name, item_path])
        connection.emit_signal(None, "/StatusNotifierWatcher", "org.kde.StatusNotifierWatcher",
                               "StatusNotifierItemRegistered", GLib.Variant("(s)", (name + item_path,)))
    invocation.return_value(None)


def on_property(connection, sender, path, interface, name):
    if name == "RegisteredStatusNotifierItems":
        return GLib.Variant("as", [n + p for n, p in live_items()])
    if name == "IsStatusNotifierHostRegistered":
        return GLib.Variant("b", True)
    return GLib.Variant("i", 0)


def live_items():
    owned = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "ListNames",
                          None, None, Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
    return [item for item in items if item[0] in owned]


def newest():
    live = live_items()
    if not live:
        raise LookupError("no tray item")
    return live[-1]


def call(name, path, interface, method, args, reply_type=None):
    return bus.call_sync(name, path, interface, method, args,
                         GLib.VariantType(reply_type) if reply_type else None,
                         Gio.DBusCallFlags.NONE, 5000, None).unpack()


def item_state():
    name, path = newest()
    props = call(name, path, "org.freedesktop.DBus.Properties", "GetAll",
                 GLib.Variant("(s)", ("org.kde.StatusNotifierItem",)), "(a{sv})")[0]
    icon = None
    if props.get("IconPixmap"):
        width, height, data = max(props["IconPixmap"], key=lambda p: p[0] * p[1])
        at = ((height // 2) * width + width // 2) * 4
        icon = {"width": width, "height": height, "centreArgb": list(bytes(data[at:at + 4]))}
    tooltip = props.get("ToolTip")
    return {"menu": props.get("Menu"), "tooltip": tooltip[2] if tooltip else None, "icon": icon}


def menu_entries():
    name, path = newest()
    menu = item_state()["menu"]
    layout = call(name, menu, "com.canonical.dbusmenu", "GetLayout",
                  GLib.Variant("(iias)", (0, -1, [])), "(u(ia{sv}av))")[1]
    entries = []

    def walk(node):
        node_id, props, children = node
        if node_id != 0:
            entries.append({"id": node_id, "label": props.get("label", "").replace("_", ""),
                            "visible": props.get("visible", True), "type": props.get("type", "standard")})
        for child in children:
            walk(child)

    walk(layout)
    return name, menu, entries


def command(line):
    words = line.split(" ", 1)
    if words[0] == "items":
        return [n + p for n, p in live_items()]
    if words[0] == "item":
        return item_state()
    if words[0] == "menu":
        return menu_entries()[2]
    if words[0] == "click":
        name, menu, entries = menu_entries()
        entry = next((e for e in entries if e["label"] == words[1]), None)
        if entry is None:
            raise LookupError(f"no menu entry {words[1]!r} in {entries}")
        call(name, menu, "com.canonical.dbusmenu", "AboutToShow", GLib.Variant("(i)", (0,)))
        call(name, menu, "com.canonical.dbusmenu", "Event",
             GLib.Variant("(isvu)", (entry["id"], "clicked", GLib.Variant("s", ""), 0)))
        return {"clicked": entry["label"]}
    if words[0] == "contextmenu":
        x, y = (int(v) for v in words[1].split())
        name, path = newest()
        call(name, path, "org.kde.StatusNotifierItem", "ContextMenu", GLib.Variant("(ii)", (x, y)))
        return {"asked": True}
    raise LookupError(f"unknown command {line!r}")


def on_input(channel, condition):
    line = sys.stdin.readline()
    if not line:
        loop.quit()
        return False
    try:
        answer = {"ok": True, "value": command(line.strip())}
    except Exception as error:  # answered, never fatal: the test reads what went wrong
        answer = {"ok": False, "error": str(error)}
    print(json.dumps(answer), flush=True)
    return True


info = Gio.DBusNodeInfo.new_for_xml(WATCHER)
bus.register_object("/StatusNotifierWatcher", info.interfaces[0], on_call, on_property, None)
for wanted in ("org.kde.StatusNotifierWatcher", f"org.kde.StatusNotifierHost-{os.getpid()}"):
    owned = call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                 GLib.Variant("(su)", (wanted, 4)), "(u)")[0]
    if owned != 1:
        print(json.dumps({"ready": False, "error": f"could not own {wanted} ({owned})"}), flush=True)
        sys.exit(1)
print(json.dumps({"ready": True}), flush=True)
loop = GLib.MainLoop()
GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP,
                  on_input)
loop.run()
