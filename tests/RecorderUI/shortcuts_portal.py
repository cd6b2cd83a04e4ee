#!/usr/bin/python3
# The desktop's GlobalShortcuts portal as xdg-desktop-portal presents it (Debian 12's has
# none): it owns org.freedesktop.portal.Desktop on the session bus, answers CreateSession
# and BindShortcuts through Response signals on request objects, binds what it is asked
# for with keys of its own choosing, and sends Activated for each "activate ID" line read
# on standard input. It prints {"ready": true} once it holds its name.

import json
import os
import sys

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
  <signal name="Activated"><arg type="o" name="session_handle"/><arg type="s" name="shortcut_id"/>
    <arg type="t" name="timestamp"/><arg type="a{sv}" name="options"/></signal>
  <property name="version" type="u" access="read"/>
</interface></node>"""

bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
session = None


def request_path(sender, token):
    return f"/org/freedesktop/portal/desktop/request/{sender[1:].replace('.', '_')}/{token}"


def respond(path, results):
    # After the call has been answered, as the real portal does.
    def send():
        bus.emit_signal(None, path, "org.freedesktop.portal.Request", "Response",
                        GLib.Variant("(ua{sv})", (0, results)))
        return False
    GLib.timeout_add(20, send)


def on_call(connection, sender, path, interface, method, parameters, invocation):
    global session
    if method == "CreateSession":
        options = parameters.unpack()[0]
        handle = request_path(sender, options["handle_token"])
        session = f"/org/freedesktop/portal/desktop/session/{sender[1:].replace('.', '_')}/" + \
            options["session_handle_token"]
        invocation.return_value(GLib.Variant("(o)", (handle,)))
        respond(handle, {"session_handle": GLib.Variant("s", session)})
    elif method == "BindShortcuts":
        handle_session, shortcuts, _, options = parameters.unpack()
        handle = request_path(sender, options["handle_token"])
        invocation.return_value(GLib.Variant("(o)", (handle,)))
        if handle_session != session:
            bus.emit_signal(None, handle, "org.freedesktop.portal.Request", "Response",
                            GLib.Variant("(ua{sv})", (2, {})))
            return
        # The person's desktop picks the keys: Super instead of Ctrl+Alt here.
        bound = [(id_, {"description": GLib.Variant("s", props.get("description", "")),
                        "trigger_description": GLib.Variant("s", "Super+" + props["preferred_trigger"][-1].upper())})
                 for id_, props in shortcuts]
        respond(handle, {"shortcuts": GLib.Variant("a(sa{sv})", bound)})
        print(json.dumps({"bound": [id_ for id_, _ in shortcuts]}), flush=True)
    else:
        invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)


def on_property(connection, sender, path, interface, name):
    return GLib.Variant("u", 1)


pending = b""


def on_input(channel, condition):
    global pending
    chunk = os.read(sys.stdin.fileno(), 4096)
    if not chunk:
        loop.quit()
        return False
    pending += chunk
    while b"\n" in pending:
        line, pending = pending.split(b"\n", 1)
        words = line.decode().split()
        if words and words[0] == "activate" and session:
            bus.emit_signal(None, "/org/freedesktop/portal/desktop", "org.freedesktop.portal.GlobalShortcuts",
                            "Activated", GLib.Variant("(osta{sv})", (session, words[1], 0, {})))
            print(json.dumps({"activated": words[1], "session": session}), flush=True)
    return True


info = Gio.DBusNodeInfo.new_for_xml(PORTAL)
bus.register_object("/org/freedesktop/portal/desktop", info.interfaces[0], on_call, on_property, None)
owned = bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", "RequestName",
                      GLib.Variant("(su)", ("org.freedesktop.portal.Desktop", 4)), GLib.VariantType("(u)"),
                      Gio.DBusCallFlags.NONE, 5000, None).unpack()[0]
print(json.dumps({"ready": owned == 1}), flush=True)
loop = GLib.MainLoop()
GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP,
                  on_input)
loop.run()
