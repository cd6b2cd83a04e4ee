#!/usr/bin/python3
# The desktop's GlobalShortcuts portal as xdg-desktop-portal presents it (Debian 12's has
# none): it owns org.freedesktop.portal.Desktop on the session bus, answers CreateSession
# and BindShortcuts through Response signals on request objects, binds what it is asked
# for with keys of its own choosing, and sends Activated for each "activate ID" line read
# on standard input. It prints {"ready": true} once it holds its name.

import json
import sys
import threading

import gi
gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib

PORTAL = """
<node><interface name="org.freedesktop.portal.GlobalShortcuts">
  <method name="CreateSession"><arg type="a{sv}" name="options" direction="in"/>
    <arg type="o" name="handle" direction="out"/></method>
  <method name="BindShortcuts"><arg type="o" name="session_handle" direction="in"/>
    <arg type="a(sa{sv})" name="shortcuts" direction="in"/><arg type="s" name="parent_window" direction="in"/>
    <arg type="a{sv}" name="options" direction="in"/><arg type="o" name="handle" direction="out"/></method>
  <property name="version" type="u" access="read"/>
</interface></node>"""

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
session = None


def on_call(connection, sender, path, interface, method, parameters, invocation):
    global session
    caller, options = sender[1:].replace(".", "_"), parameters.unpack()[-1]
    handle = f"/org/freedesktop/portal/desktop/request/{caller}/{options['handle_token']}"
    invocation.return_value(GLib.Variant("(o)", (handle,)))
    if method == "CreateSession":
        session = f"/org/freedesktop/portal/desktop/session/{caller}/{options['session_handle_token']}"
        code, results = 0, {"session_handle": GLib.Variant("s", session)}
    else:
        bound_to, shortcuts = parameters.unpack()[:2]
        # The person's desktop picks the keys: Super instead of Ctrl+Alt here.
        code, results = 0 if bound_to == session else 2, {"shortcuts": GLib.Variant("a(sa{sv})", [
            (id_, {"description": GLib.Variant("s", props.get("description", "")),
                   "trigger_description": GLib.Variant("s", "Super+" + props["preferred_trigger"][-1].upper())})
            for id_, props in shortcuts])}
    # After the call has been answered, as the real portal does.
    GLib.timeout_add(20, lambda: bus.emit_signal(None, handle, "org.freedesktop.portal.Request", "Response",
                                                 GLib.Variant("(ua{sv})", (code, results))) and False)


def activate(shortcut):
    bus.emit_signal(None, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.GlobalShortcuts",
                    "Activated", GLib.Variant("(osta{sv})", (session, shortcut, 0, {})))


def read_commands():
    for line in sys.stdin:
        if line.startswith("activate "):
            GLib.idle_add(activate, line.split()[1])
    GLib.idle_add(loop.quit)


bus.register_object("/org/freedesktop/portal/desktop", Gio.DBusNodeInfo.new_for_xml(PORTAL).interfaces[0], on_call,
                    lambda *_: GLib.Variant("u", 1), None)
owned = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                      GLib.Variant("(su)", ("org.freedesktop.portal.Desktop", 4)), GLib.VariantType("(u)"),
                      Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
print(json.dumps({"ready": owned == 1}), flush=True)
loop = GLib.MainLoop()
threading.Thread(target=read_commands, daemon=True).start()
loop.run()
