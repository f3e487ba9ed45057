#!/usr/bin/python3
"""A stand-in for the ScreenCast and GlobalShortcuts portals on the test's
bus. Logs every call as a JSON line, the first {"method": "ready"}.

  fake_portal.py --node ID --log FILE [--refuse] [--stale-token T]
      [--hold-bind | --refuse-bind | --bind-at-session | --bind-nothing]

--hold-bind answers BindShortcuts at org.vidorel.Test.ReleaseBind (the
desktop's dialog open); --bind-at-session binds in CreateSession (Plasma
5.27). org.vidorel.Test.ChangeShortcut/Activate act as the desktop's user."""

import argparse
import json
import os
import socket

import dbus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

PATH = "/org/freedesktop/portal/desktop"
SCREEN_CAST = "org.freedesktop.portal.ScreenCast"
REQUEST = "org.freedesktop.portal.Request"
SHORTCUTS = "org.freedesktop.portal.GlobalShortcuts"
TEST = "org.vidorel.Test"
SHORTCUT_LIST = "(sa{sv})"


def plain(value):
    """D-Bus values as JSON values (a dbus.Boolean would be written as 0 or 1)."""
    if isinstance(value, dbus.Boolean):
        return bool(value)
    if isinstance(value, dict):
        return {str(k): plain(v) for k, v in value.items()}
    if isinstance(value, (list, tuple)):
        return [plain(v) for v in value]
    return value


class Request(dbus.service.Object):
    @dbus.service.signal(REQUEST, signature="ua{sv}")
    def Response(self, response, results):
        pass


class Session(dbus.service.Object):
    def __init__(self, bus, path, portal):
        super().__init__(bus, path)
        self.portal = portal

    @dbus.service.method("org.freedesktop.portal.Session")
    def Close(self):
        self.portal.log("Close", {})
        self.remove_from_connection()


class ShortcutsSessions(dbus.service.Object):
    """GlobalShortcuts.CreateSession, in a base class of its own: dbus-python
    looks members up by name, and ScreenCast has a CreateSession too."""

    @dbus.service.method(SHORTCUTS, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self.log("GlobalShortcuts.CreateSession", options)
        self.shortcuts_session = self.new_session(sender, options, "k")
        results = {"session_handle": dbus.String(self.shortcuts_session)}
        if self.args.bind_at_session:
            self.session_shortcuts = self.assign(options.get("shortcuts", []))
            results["shortcuts"] = dbus.Array(self.session_shortcuts, signature=SHORTCUT_LIST)
        return self.respond(sender, options, 0, results)


class Portal(ShortcutsSessions):
    def __init__(self, bus, args):
        super().__init__(bus, PATH)
        self.bus, self.args = bus, args
        self.serial, self.token = 0, ""
        self.shortcuts_session, self.held = "/", []
        self.descriptions, self.session_shortcuts = {}, []

    def log(self, method, options):
        with open(self.args.log, "a") as out:
            out.write(json.dumps({"method": method, "options": plain(options)}, default=str) + "\n")

    def new_session(self, sender, options, default):
        path = "%s/session/%s/%s" % (PATH, sender[1:].replace(".", "_"),
                                     options.get("session_handle_token", default))
        Session(self.bus, path, self)
        return path

    def respond(self, sender, options, response, results, held=False):
        """A Request whose Response comes after the method's reply (the
        caller subscribes before calling); returns its path."""
        self.serial += 1
        path = "%s/request/%s/%s" % (PATH, sender[1:].replace(".", "_"),
                                     options.get("handle_token", "t%d" % self.serial))
        request = Request(self.bus, path)

        def send():
            request.Response(dbus.UInt32(response), dbus.Dictionary(results, signature="sv"))
            request.remove_from_connection()
            return False

        if held:
            self.held.append(send)
        else:
            GLib.timeout_add(20, send)
        return dbus.ObjectPath(path)

    @dbus.service.method(SCREEN_CAST, in_signature="a{sv}", out_signature="o",
                         sender_keyword="sender")
    def CreateSession(self, options, sender=None):
        self.log("CreateSession", options)
        session = self.new_session(sender, options, "s")
        return self.respond(sender, options, 0, {"session_handle": dbus.String(session)})

    @dbus.service.method(SCREEN_CAST, in_signature="oa{sv}", out_signature="o",
                         sender_keyword="sender")
    def SelectSources(self, session, options, sender=None):
        self.log("SelectSources", options)
        self.token = str(options.get("restore_token", ""))
        return self.respond(sender, options, 0, {})

    @dbus.service.method(SCREEN_CAST, in_signature="osa{sv}", out_signature="o",
                         sender_keyword="sender")
    def Start(self, session, parent, options, sender=None):
        self.log("Start", options)
        if self.args.refuse:
            return self.respond(sender, options, 1, {})
        if self.args.stale_token and self.token == self.args.stale_token:
            return self.respond(sender, options, 2, {})
        size = dbus.Struct((dbus.Int32(320), dbus.Int32(240)))
        stream = dbus.Struct((dbus.UInt32(self.args.node),
                              dbus.Dictionary({"size": size}, signature="sv")))
        return self.respond(sender, options, 0, {
            "streams": dbus.Array([stream], signature="(ua{sv})"),
            "restore_token": dbus.String("token-%d" % self.serial)})

    @dbus.service.method(SCREEN_CAST, in_signature="oa{sv}", out_signature="h")
    def OpenPipeWireRemote(self, session, options):
        self.log("OpenPipeWireRemote", options)
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as remote:
            remote.connect(os.path.join(os.environ["XDG_RUNTIME_DIR"], "pipewire-0"))
            return dbus.types.UnixFd(remote.fileno())

    @dbus.service.method(SHORTCUTS, in_signature="oa(sa{sv})sa{sv}", out_signature="o",
                         sender_keyword="sender")
    def BindShortcuts(self, session, shortcuts, parent, options, sender=None):
        self.log("BindShortcuts", {"session": session, "shortcuts": shortcuts})
        bound = self.assign(shortcuts)
        if self.args.bind_at_session:
            bound = self.session_shortcuts
        if self.args.bind_nothing:
            bound = []
        if self.args.refuse_bind:
            return self.respond(sender, options, 1, {}, held=self.args.hold_bind)
        return self.respond(sender, options, 0,
                            {"shortcuts": dbus.Array(bound, signature=SHORTCUT_LIST)},
                            held=self.args.hold_bind)

    def assign(self, shortcuts):
        for shortcut_id, properties in shortcuts:
            self.descriptions[str(shortcut_id)] = str(properties.get("description", ""))
        return [self.shortcut(shortcut_id, "assigned " + str(properties.get("preferred_trigger", "")))
                for shortcut_id, properties in shortcuts]

    def shortcut(self, shortcut_id, trigger):
        return dbus.Struct((shortcut_id, dbus.Dictionary({
            "description": dbus.String(self.descriptions.get(str(shortcut_id), "")),
            "trigger_description": dbus.String(trigger)}, signature="sv")))

    @dbus.service.signal(SHORTCUTS, signature="oa(sa{sv})")
    def ShortcutsChanged(self, session, shortcuts):
        pass

    @dbus.service.signal(SHORTCUTS, signature="osta{sv}")
    def Activated(self, session, shortcut_id, timestamp, options):
        pass

    @dbus.service.method(TEST)
    def ReleaseBind(self):
        self.log("ReleaseBind", {})
        held, self.held = self.held, []
        for send in held:
            send()

    @dbus.service.method(TEST, in_signature="ss")
    def ChangeShortcut(self, shortcut_id, trigger):
        self.ShortcutsChanged(dbus.ObjectPath(self.shortcuts_session),
                              dbus.Array([self.shortcut(shortcut_id, trigger)],
                                         signature=SHORTCUT_LIST))

    @dbus.service.method(TEST, in_signature="s")
    def Activate(self, shortcut_id):
        self.Activated(dbus.ObjectPath(self.shortcuts_session), shortcut_id, dbus.UInt64(1),
                       dbus.Dictionary({}, signature="sv"))

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="ss", out_signature="v")
    def Get(self, interface, name):
        return self.GetAll(interface)[name]

    @dbus.service.method(dbus.PROPERTIES_IFACE, in_signature="s", out_signature="a{sv}")
    def GetAll(self, interface):
        properties = {
            SHORTCUTS: {"version": dbus.UInt32(1)},
            SCREEN_CAST: {"version": dbus.UInt32(4), "AvailableSourceTypes": dbus.UInt32(1),
                          "AvailableCursorModes": dbus.UInt32(7)}}
        return dbus.Dictionary(properties.get(interface, {}), signature="sv")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--node", type=int, required=True)
    parser.add_argument("--log", required=True)
    parser.add_argument("--stale-token", default="")
    for flag in ("--refuse", "--hold-bind", "--refuse-bind", "--bind-at-session",
                 "--bind-nothing"):
        parser.add_argument(flag, action="store_true")
    args = parser.parse_args()
    DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    portal = Portal(bus, args)
    name = dbus.service.BusName("org.freedesktop.portal.Desktop", bus)
    portal.log("ready", {})
    GLib.MainLoop().run()
    del name


if __name__ == "__main__":
    main()
