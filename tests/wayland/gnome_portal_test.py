#!/usr/bin/python3
"""`vidorel record` through GNOME's real ScreenCast portal (stack: with-gnome).
A fullscreen window shows red left, blue right; the share dialog is read over
the accessibility bus and answered with keys through mutter's RemoteDesktop
API. Checks: shared take shows the colours and keeps a restore token; the
token spares the dialog; a refused dialog (Escape) is reported.

  gnome_portal_test.py VIDOREL | --window"""

import json
import os
import signal
import subprocess
import sys
import tempfile
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi  # noqa: E402

WIDTH, HEIGHT = 1280, 720
LEFT, RIGHT = (255, 0, 0), (0, 0, 255)
TAB, SPACE, ESCAPE, SHIFT = 0xFF09, 0x20, 0xFF1B, 0xFFE1


def show_window():
    gi.require_version("Gdk", "4.0")
    gi.require_version("Gtk", "4.0")
    from gi.repository import Gdk, Gtk

    css = Gtk.CssProvider()
    css.load_from_data(b".left { background: rgb(%d,%d,%d); } .right { background: rgb(%d,%d,%d); }"
                       % (LEFT + RIGHT))

    def activate(app):
        Gtk.StyleContext.add_provider_for_display(Gdk.Display.get_default(), css, 800)
        window = Gtk.ApplicationWindow(application=app, title="Vidorel test colours")
        window.set_child(Gtk.Box(homogeneous=True))
        for name in ("left", "right"):
            window.get_child().append(Gtk.Box(hexpand=True, vexpand=True, css_classes=[name]))
        window.fullscreen()
        window.present()

    app = Gtk.Application(application_id="org.vidorel.TestColours")
    app.connect("activate", activate)
    app.run(None)


class Failure(Exception):
    pass


def until(what, predicate, timeout, step=0.1):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        found = predicate()
        if found:
            return found
        time.sleep(step)
    raise Failure("timed out after %.0f s waiting for %s" % (timeout, what))


class Keyboard:  # through a RemoteDesktop session of mutter's
    def __init__(self):
        import dbus

        self.dbus, bus, name = dbus, dbus.SessionBus(), "org.gnome.Mutter.RemoteDesktop"
        path = bus.get_object(name, "/org/gnome/Mutter/RemoteDesktop").CreateSession(
            dbus_interface=name)
        self.session = dbus.Interface(bus.get_object(name, path), name + ".Session")
        self.session.Start()

    def press(self, keysym):
        for down in (True, False):
            self.session.NotifyKeyboardKeysym(self.dbus.UInt32(keysym), down)


# The accessibility tree of the desktop's windows.
def states(node):
    node.clear_cache()
    return {s.value_nick for s in node.get_state_set().get_states()}


def nodes(node):
    yield node
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child is not None:
            yield from nodes(child)


def frame(title):
    desktop = Atspi.get_desktop(0)
    desktop.clear_cache()
    for app in (desktop.get_child_at_index(i) for i in range(desktop.get_child_count())):
        for j in range(app.get_child_count() if app else 0):
            window = app.get_child_at_index(j)
            if window and window.get_name() == title and "showing" in states(window):
                return window
    return None


def focused(window):
    window.clear_cache()
    return next((n for n in nodes(window) if "focused" in states(n)), None)


def answer_dialog(keyboard, share):
    """Share (its "Remember this selection" checked: the token test) or Escape."""
    dialog = until("the share dialog", lambda: frame("Screen Share"), 15)
    # Mapped without keyboard focus, it gets it at the next input: a Shift.
    while "active" not in states(dialog):
        keyboard.press(SHIFT)
        until("the dialog to take the keyboard", lambda: "active" in states(dialog), 2)
    if not share:
        keyboard.press(ESCAPE)
        return
    path = []
    for _ in range(8):
        now = focused(dialog)
        path.append("%s %r" % (now.get_role_name(), now.get_name()) if now else "nothing")
        if now and now.get_role_name() == "push button" and now.get_name().endswith("Share"):
            keyboard.press(SPACE)
            return
        keyboard.press(TAB)
        until("focus to move", lambda: focused(dialog) != now, 2, 0.05)
    raise Failure("Tab never reached Share: " + " -> ".join(path))


def record(vidorel, out, env, answer):
    """`vidorel record OUT` for 2 s with `answer()` run meanwhile: (status, log)."""
    with open(out + ".log", "w+") as log:
        proc = subprocess.Popen([vidorel, "record", out, "--seconds", "2"], env=env,
                                stdout=log, stderr=subprocess.STDOUT)
        try:
            answer()
            status = proc.wait(timeout=40)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        log.seek(0)
        return status, log.read()


def check_colours(take):
    picture = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", take, "-frames:v", "1", "-f", "rawvideo",
         "-pix_fmt", "rgb24", "-"], capture_output=True, timeout=30).stdout
    if len(picture) != WIDTH * HEIGHT * 3:
        raise Failure("%s: no %dx%d frame (%d bytes)" % (take, WIDTH, HEIGHT, len(picture)))
    # Away from the split and from the pointer in the middle of the monitor.
    for x, y, want in ((40, 40, LEFT), (600, 360, LEFT), (680, 360, RIGHT), (1240, 680, RIGHT)):
        at = (y * WIDTH + x) * 3
        got = tuple(picture[at:at + 3])
        if any(abs(g - w) > 24 for g, w in zip(got, want)):
            raise Failure("%s: pixel (%d,%d) is %s, the window shows %s" % (take, x, y, got, want))


def main(vidorel):
    work = tempfile.mkdtemp(prefix="vidorel-gnome-takes.")
    config = os.path.join(work, "config")
    env = dict(os.environ, XDG_CONFIG_HOME=config, XDG_DATA_HOME=os.path.join(work, "data"))
    window = subprocess.Popen([sys.executable, __file__, "--window"])
    try:
        until("the coloured window", lambda: frame("Vidorel test colours"), 15)
        keyboard = Keyboard()

        take = os.path.join(work, "shared.mov")
        status, log = record(vidorel, take, env, lambda: answer_dialog(keyboard, True))
        if status != 0:
            raise Failure("record with the dialog answered failed (%d):\n%s" % (status, log))
        check_colours(take)
        with open(os.path.join(config, "Vidorel", "defaults.json")) as defaults:
            if not json.load(defaults).get("screenCastRestoreToken"):
                raise Failure("no restore token was kept")

        take = os.path.join(work, "restored.mov")
        seen = []

        def dialog_shows():
            try:
                seen.append(until("a dialog", lambda: frame("Screen Share"), 4, 0.2))
            except Failure:
                pass

        status, log = record(vidorel, take, env, dialog_shows)
        if status != 0 or seen or "restore token not accepted" in log:
            raise Failure("the restore token did not spare the dialog (%d):\n%s" % (status, log))
        check_colours(take)

        take = os.path.join(work, "refused.mov")
        refused = dict(env, XDG_CONFIG_HOME=os.path.join(work, "config-refused"))
        status, log = record(vidorel, take, refused, lambda: answer_dialog(keyboard, False))
        if status == 0 or "Screen Recording access required" not in log or os.path.exists(take):
            raise Failure("a refused dialog was not reported as such (%d):\n%s" % (status, log))
    finally:
        window.terminate()
        window.wait(timeout=10)
        subprocess.run(["rm", "-rf", work])


if __name__ == "__main__":
    if sys.argv[1:] == ["--window"]:
        show_window()
        sys.exit(0)
    # A timeout's TERM still closes the window and the recorder.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(124))
    try:
        main(sys.argv[1])
    except Failure as failure:
        print("FAILED: %s" % failure)
        sys.exit(1)
    print("PASSED")
