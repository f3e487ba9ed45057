#!/usr/bin/python3
"""A stand-in for xdg-desktop-portal's ScreenCast interface on a private
session bus, for the tests. It answers with the PipeWire node given on the
command line and hands out a connection to the PipeWire server of the test.

  fake_portal.py --node ID --log FILE [--refuse] [--stale-token TOKEN]
                 [--hold-bind] [--refuse-bind]

--refuse answers Start as a user who cancelled the dialog; a Start whose
restore_token is --stale-token fails as a portal that no longer knows it.
--hold-bind keeps BindShortcuts' answer back, as a desktop whose dialog is
still open, until org.vidorel.Test.ReleaseBind is called; --refuse-bind
answers it as a user who cancelled that dialog. --bind-at-session binds the
shortcuts CreateSession's "shortcuts" option names and answers
BindShortcuts with those whatever it asks for, as KDE Plasma 5.27 does;
--bind-nothing answers BindShortcuts with success and no shortcut, as that
desktop does when the session started without them.
org.vidorel.Test.ChangeShortcut(id, trigger) sends ShortcutsChanged as a
desktop whose user gave the shortcut another trigger.
Every call is written to the log as one JSON line, after a first line
{"method": "ready"} once the portal's name is taken."""

import argparse
import json
import os
import socket

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_NAME = "org.freedesktop.portal.Desktop"
PATH = "/org/freedesktop/portal/desktop"
SCREEN_CAST = "org.freedesktop.portal.ScreenCast"
REQUEST = "org.freedesktop.portal.Request"
SESSION = "org.freedesktop.portal.Session"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
TEST = "org.vidorel.Test"


def plain(value):
    """D-Bus values as JSON values."""
    if isinstance(value, (dbus.Dictionary, dict)):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (dbus.Array, dbus.Struct, list, tuple)):
        return [plain(v) for v in value]
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, (dbus.String, dbus.ObjectPath)):
        return str(value)
    if isinstance(value, (int, float)):
        return value
    return str(value)


class Request(dbus.service.Object):
    def __init__(self, bus, path):
        super().__init__(bus, path)

    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, response, results):
        pass

    @dbus.service.method(REQUEST)
    def Close(self):
        pass


class Session(dbus.service.Object):
    def __init__(self, bus, path, portal):
        super().__init__(bus, path)
        self.portal = portal

    @dbus.service.method(SESSION)
    def Close(self):
        self.portal.log("Close", {})
        self.remove_from_connection()


class ShortcutsSessions(dbus.service.Object):
    """GlobalShortcuts.CreateSession: a base class of its own, since the
    method shares its name with ScreenCast's and dbus-python looks members
    up by name along the class hierarchy."""

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self.log("GlobalShortcuts.CreateSession", options)
        path = self.request_path(sender, options)
        name = sender[1:].replace(".", "_")
        self.shortcuts_session = "%s/session/%s/%s" % (PATH, name,
                                                        options.get("session_handle_token", "k"))
        Session(self.bus, self.shortcuts_session, self)
        results = {"session_handle": dbus.String(self.shortcuts_session)}
        if self.args.bind_at_session:
            self.session_shortcuts = self.assign(options.get("shortcuts", []))
            results["shortcuts"] = dbus.Array(self.session_shortcuts, signature="(sa{sv})")
        self.respond(path, 0, results)
        return dbus.ObjectPath(path)


class Portal(ShortcutsSessions):
    def __init__(self, bus, args):
        super().__init__(bus, PATH)
        self.bus = bus
        self.args = args
        self.serial = 0
        self.shortcuts_session = "/"
        self.held = []
        self.descriptions = {}
        self.session_shortcuts = []

    def log(self, method, options):
        with open(self.args.log, "a") as out:
            out.write(json.dumps({"method": method, "options": plain(options)}) + "\n")

    def request_path(self, sender, options):
        token = str(options.get("handle_token", "t%d" % self.serial))
        self.serial += 1
        name = sender[1:].replace(".", "_")
        return "%s/request/%s/%s" % (PATH, name, token)

    def respond(self, path, response, results, held=False):
        # After the method's reply: the caller subscribed before calling.
        request = Request(self.bus, path)

        def send():
            request.Response(dbus.UInt32(response), dbus.Dictionary(results, signature="sv"))
            request.remove_from_connection()
            return False

        if held:
            self.held.append(send)
        else:
            GLib.timeout_add(20, send)

    @dbus.service.method(SCREEN_CAST, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self.log("CreateSession", options)
        path = self.request_path(sender, options)
        name = sender[1:].replace(".", "_")
        session = "%s/session/%s/%s" % (PATH, name, options.get("session_handle_token", "s"))
        Session(self.bus, session, self)
        self.respond(path, 0, {"session_handle": dbus.String(session)})
        return dbus.ObjectPath(path)

    @dbus.service.method(SCREEN_CAST, in_signature="oa{sv}", out_signature="o",
                         sender_keyword="sender")
    def SelectSources(self, session, options, sender=None):
        self.log("SelectSources", options)
        path = self.request_path(sender, options)
        self.token = str(options.get("restore_token", ""))
        self.respond(path, 0, {})
        return dbus.ObjectPath(path)

    @dbus.service.method(SCREEN_CAST, in_signature="osa{sv}", out_signature="o",
                         sender_keyword="sender")
    def Start(self, session, parent, options, sender=None):
        self.log("Start", options)
        path = self.request_path(sender, options)
        if self.args.refuse:
            self.respond(path, 1, {})
        elif self.args.stale_token and self.token == self.args.stale_token:
            self.respond(path, 2, {})
        else:
            stream = dbus.Struct((dbus.UInt32(self.args.node),
                                  dbus.Dictionary({"size": dbus.Struct((dbus.Int32(self.args.width),
                                                                        dbus.Int32(self.args.height)))},
                                                  signature="sv")), signature="ua{sv}")
            self.respond(path, 0, {
                "streams": dbus.Array([stream], signature="(ua{sv})"),
                "restore_token": dbus.String("token-%d" % self.serial),
            })
        return dbus.ObjectPath(path)

    @dbus.service.method(SCREEN_CAST, in_signature="oa{sv}", out_signature="h")
    def OpenPipeWireRemote(self, session, options):
        self.log("OpenPipeWireRemote", options)
        remote = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        remote.connect(os.path.join(os.environ["XDG_RUNTIME_DIR"], "pipewire-0"))
        fd = dbus.types.UnixFd(remote.fileno())
        remote.close()
        return fd

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None):
        self.log("BindShortcuts", {"session": session, "shortcuts": shortcuts})
        path = self.request_path(sender, options)
        bound = self.assign(shortcuts)
        if self.args.bind_at_session:
            bound = self.session_shortcuts
        if self.args.bind_nothing:
            bound = []
        if self.args.refuse_bind:
            self.respond(path, 1, {}, held=self.args.hold_bind)
        else:
            self.respond(path, 0, {"shortcuts": dbus.Array(bound, signature="(sa{sv})")},
                         held=self.args.hold_bind)
        return dbus.ObjectPath(path)

    def assign(self, shortcuts):
        bound = []
        for shortcut_id, properties in shortcuts:
            trigger = str(properties.get("preferred_trigger", ""))
            self.descriptions[str(shortcut_id)] = str(properties.get("description", ""))
            bound.append(self.shortcut(shortcut_id, "assigned " + trigger))
        return bound

    def shortcut(self, shortcut_id, trigger):
        return dbus.Struct((shortcut_id, dbus.Dictionary({
            "description": dbus.String(self.descriptions.get(str(shortcut_id), "")),
            "trigger_description": dbus.String(trigger),
        }, signature="sv")), signature="sa{sv}")

    @dbus.service.signal(SHORTCUTS, signature="oa(sa{sv})")
    def ShortcutsChanged(self, session, shortcuts):
        pass

    # The user closes the desktop's dialog.
    @dbus.service.method(TEST)
    def ReleaseBind(self):
        self.log("ReleaseBind", {})
        held, self.held = self.held, []
        for send in held:
            send()

    # The user gives a shortcut another trigger in the desktop's settings.
    @dbus.service.method(TEST, in_signature="ss")
    def ChangeShortcut(self, shortcut_id, trigger):
        self.ShortcutsChanged(dbus.ObjectPath(self.shortcuts_session),
                              dbus.Array([self.shortcut(shortcut_id, trigger)],
                                         signature="(sa{sv})"))

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    # The test presses a shortcut on the "desktop".
    @dbus.service.method(TEST, in_signature="s")
    def Activate(self, shortcut_id):
        self.Activated(dbus.ObjectPath(self.shortcuts_session), shortcut_id, dbus.UInt64(1),
                       dbus.Dictionary({}, signature="sv"))

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        if interface == SHORTCUTS:
            return dbus.Dictionary({"version": dbus.UInt32(1)}, signature="sv")
        if interface != SCREEN_CAST:
            return dbus.Dictionary({}, signature="sv")
        return dbus.Dictionary({"version": dbus.UInt32(4),
                                "AvailableSourceTypes": dbus.UInt32(1),
                                "AvailableCursorModes": dbus.UInt32(7)}, signature="sv")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--node", type=int, required=True)
    parser.add_argument("--width", type=int, default=320)
    parser.add_argument("--height", type=int, default=240)
    parser.add_argument("--log", required=True)
    parser.add_argument("--refuse", action="store_true")
    parser.add_argument("--stale-token", default="")
    parser.add_argument("--hold-bind", action="store_true")
    parser.add_argument("--refuse-bind", action="store_true")
    parser.add_argument("--bind-at-session", action="store_true")
    parser.add_argument("--bind-nothing", action="store_true")
    args = parser.parse_args()
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, args)
    portal.token = ""
    name = dbus.service.BusName(BUS_NAME, bus)
    portal.log("ready", {})
    GLib.MainLoop().run()
    del name


if __name__ == "__main__":
    main()
