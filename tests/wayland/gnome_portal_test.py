#!/usr/bin/python3
"""`vidorel record` through GNOME's real ScreenCast portal, inside the stack
tests/wayland/with-gnome starts. A fullscreen window shows red on the left
half of the monitor and blue on the right; the portal's share dialog is read
over the accessibility bus and answered with key presses sent through
mutter's RemoteDesktop API, as a user at the keyboard would.

  1. the dialog answered with Share: the take shows the two colours where
     the window has them, and the restore token is kept;
  2. a second take with that token: no dialog;
  3. a refused dialog (Escape): the command reports the refusal, and the
     app (its windows off screen: the dialog is the desktop's) shows the
     "Screen Recording access required" alert after its launch flow.

  gnome_portal_test.py VIDOREL   (run as: with-gnome gnome_portal_test.py VIDOREL)
  gnome_portal_test.py --window  (the coloured window itself)"""

import json
import os
import signal
import socket
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
RECORD_SECONDS = "2"
RECORD_TIMEOUT = 40


def show_window():
    gi.require_version("Gdk", "4.0")
    gi.require_version("Gtk", "4.0")
    from gi.repository import Gdk, Gtk

    css = Gtk.CssProvider()
    css.load_from_data(b".left { background: rgb(%d,%d,%d); } .right { background: rgb(%d,%d,%d); }"
                       % (LEFT + RIGHT))
    app = Gtk.Application(application_id="org.vidorel.TestColours")

    def activate(app):
        Gtk.StyleContext.add_provider_for_display(Gdk.Display.get_default(), css, 800)
        window = Gtk.ApplicationWindow(application=app, title="Vidorel test colours")
        halves = Gtk.Box(homogeneous=True)
        for name in ("left", "right"):
            half = Gtk.Box(hexpand=True, vexpand=True)
            half.add_css_class(name)
            halves.append(half)
        window.set_child(halves)
        window.fullscreen()
        window.present()

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


class Keyboard:
    """Key presses through a RemoteDesktop session of mutter's."""

    def __init__(self):
        import dbus

        self.dbus = dbus
        bus = dbus.SessionBus()
        name = "org.gnome.Mutter.RemoteDesktop"
        path = bus.get_object(name, "/org/gnome/Mutter/RemoteDesktop").CreateSession(
            dbus_interface=name)
        self.session = dbus.Interface(bus.get_object(name, path), name + ".Session")
        self.session.Start()

    def press(self, keysym):
        self.session.NotifyKeyboardKeysym(self.dbus.UInt32(keysym), True)
        self.session.NotifyKeyboardKeysym(self.dbus.UInt32(keysym), False)

    def stop(self):
        self.session.Stop()


# The accessibility tree of the desktop's windows.
def states(node):
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
    for i in range(desktop.get_child_count()):
        app = desktop.get_child_at_index(i)
        for j in range(app.get_child_count() if app else 0):
            window = app.get_child_at_index(j)
            if window and window.get_name() == title and "showing" in states(window):
                return window
    return None


def describe(node):
    return "%s %r" % (node.get_role_name(), node.get_name())


def focused(window):
    window.clear_cache()
    return next((n for n in nodes(window) if "focused" in states(n)), None)


def find(window, role, name):
    return next(
        (n for n in nodes(window) if n.get_role_name() == role and n.get_name().endswith(name)),
        None)


def answer_dialog(keyboard, share, notes):
    """Reads what the share dialog shows and where its focus is, then
    answers it with keys: Share on the first monitor, or Escape."""
    dialog = until("the share dialog", lambda: frame("Screen Share"), 15)
    shown = time.monotonic()
    lines = [describe(n) + " " + ",".join(sorted(states(n) & {"focused", "selected", "checked",
                                                               "sensitive", "active"}))
             for n in nodes(dialog) if n.get_role_name() in
             ("frame", "push button", "check box", "list item", "label")]
    notes.append("dialog: " + "; ".join(lines))
    remember = find(dialog, "check box", "Remember this selection")
    if remember is None or "checked" not in states(remember):
        raise Failure("the dialog does not offer to remember the choice checked")
    # The dialog maps without keyboard focus: mutter hands it the keyboard
    # at the next input event, which the dialog never sees. A Shift press
    # gives it the keyboard without doing anything in it.
    presses = 0
    while "active" not in states(dialog):
        keyboard.press(SHIFT)
        presses += 1
        until("the dialog to take the keyboard",
              lambda: "active" in (dialog.clear_cache() or states(dialog)), 2)
    notes.append("dialog: active after %d Shift press(es), %.2f s after it showed" %
                 (presses, time.monotonic() - shown))
    if not share:
        keyboard.press(ESCAPE)
        return
    path = []
    for _ in range(8):
        now = focused(dialog)
        path.append(describe(now) if now else "nothing")
        if now and now.get_role_name() == "push button" and now.get_name().endswith("Share"):
            keyboard.press(SPACE)
            notes.append("dialog: focus " + " -> ".join(path) + ", then Space")
            return
        keyboard.press(TAB)
        until("focus to move", lambda: focused(dialog) != now, 2, 0.05)
    raise Failure("Tab never reached Share: " + " -> ".join(path))


def record(vidorel, out, env, answer=None):
    """`vidorel record OUT`; `answer(…)` is run while it waits for the
    dialog. Returns the exit status, the log and the seconds it took."""
    started = time.monotonic()
    with open(out + ".log", "w+") as log:
        proc = subprocess.Popen([vidorel, "record", out, "--seconds", RECORD_SECONDS], env=env,
                                stdout=log, stderr=subprocess.STDOUT)
        try:
            if answer:
                answer()
            status = proc.wait(timeout=RECORD_TIMEOUT)
        finally:
            if proc.poll() is None:
                proc.kill()
                proc.wait()
        log.seek(0)
        return status, log.read(), time.monotonic() - started


def pixel(picture, x, y):
    at = (y * WIDTH + x) * 3
    return tuple(picture[at:at + 3])


def check_colours(take):
    picture = subprocess.run(
        ["ffmpeg", "-v", "error", "-i", take, "-frames:v", "1", "-f", "rawvideo",
         "-pix_fmt", "rgb24", "-"], capture_output=True, timeout=30).stdout
    if len(picture) != WIDTH * HEIGHT * 3:
        raise Failure("%s: no %dx%d frame (%d bytes)" % (take, WIDTH, HEIGHT, len(picture)))
    # Away from the split and from the pointer in the middle of the monitor.
    for x, y, want in ((40, 40, LEFT), (320, 600, LEFT), (600, 360, LEFT), (680, 360, RIGHT),
                       (960, 120, RIGHT), (1240, 680, RIGHT)):
        got = pixel(picture, x, y)
        if any(abs(g - w) > 24 for g, w in zip(got, want)):
            raise Failure("%s: pixel (%d,%d) is %s, the window shows %s there" %
                          (take, x, y, got, want))


def saved_token(config_home):
    try:
        with open(os.path.join(config_home, "Vidorel", "defaults.json")) as f:
            return json.load(f).get("screenCastRestoreToken")
    except FileNotFoundError:
        return None


def main(vidorel):
    notes = []
    work = tempfile.mkdtemp(prefix="vidorel-gnome-takes.")
    env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(work, "config"),
               XDG_DATA_HOME=os.path.join(work, "data"))
    window = subprocess.Popen([sys.executable, __file__, "--window"])
    keyboard = None
    try:
        until("the coloured window", lambda: frame("Vidorel test colours"), 15)
        keyboard = Keyboard()

        take = os.path.join(work, "shared.mov")
        status, log, took = record(vidorel, take, env,
                                   lambda: answer_dialog(keyboard, True, notes))
        if status != 0:
            raise Failure("record with the dialog answered failed (%d):\n%s" % (status, log))
        notes += [line for line in log.splitlines()
                  if "pipewire:" in line or "portal:" in line or "frames=" in line]
        check_colours(take)
        token = saved_token(env["XDG_CONFIG_HOME"])
        if not token:
            raise Failure("no restore token was kept")
        notes.append("take 1 (dialog answered): %.1f s" % took)

        take = os.path.join(work, "restored.mov")
        seen = []
        status, log, took = record(vidorel, take, env,
                                   lambda: seen.append(dialog_shows_within(4)))
        if status != 0:
            raise Failure("record with the restore token failed (%d):\n%s" % (status, log))
        if any(seen) or "restore token not accepted" in log:
            raise Failure("the restore token did not spare the dialog:\n" + log)
        check_colours(take)
        notes.append("take 2 (restore token, no dialog): %.1f s" % took)

        take = os.path.join(work, "refused.mov")
        refused = dict(env, XDG_CONFIG_HOME=os.path.join(work, "config-refused"))
        status, log, took = record(vidorel, take, refused,
                                   lambda: answer_dialog(keyboard, False, notes))
        if status == 0 or "Screen Recording access required" not in log or os.path.exists(take):
            raise Failure("a refused dialog was not reported as such (%d):\n%s" % (status, log))
        notes.append("take 3 (dialog refused): %.1f s" % took)

        started = time.monotonic()
        alert = refused_at_launch(vidorel, dict(env, XDG_CONFIG_HOME=os.path.join(
            work, "config-app"), XDG_DATA_HOME=os.path.join(work, "data-app")), keyboard, notes)
        if not alert.startswith("Screen Recording access required"):
            raise Failure("the app refused at launch shows %r" % alert)
        notes.append("app refused at launch: alert after %.1f s" % (time.monotonic() - started))
    finally:
        if keyboard:
            keyboard.stop()
        window.terminate()
        window.wait(timeout=10)
        subprocess.run(["rm", "-rf", work])
        print("\n".join(notes))


def refused_at_launch(vidorel, env, keyboard, notes):
    """The app's launch flow asks for the screen: the dialog is refused.
    Returns the alert's text once the app shows one."""
    env = dict(env, VIDOREL_TEST_CONTROL="1", QT_QPA_PLATFORM="offscreen")
    app = subprocess.Popen([vidorel], env=env, stdout=subprocess.DEVNULL,
                           stderr=subprocess.DEVNULL)

    def ask(line):
        with socket.socket(socket.AF_UNIX) as control:
            try:
                control.connect(os.path.join(os.environ["XDG_RUNTIME_DIR"], "vidorel", "control"))
                control.sendall((line + "\n").encode())
                return control.makefile().readline().strip()
            except OSError:
                return ""

    def alert():
        text = ask("alert?")
        return text if text not in ("", "none") else None

    try:
        answer_dialog(keyboard, False, notes)
        return until("the app's alert", alert, 15)
    finally:
        app.terminate()
        try:
            app.wait(timeout=10)
        except subprocess.TimeoutExpired:
            app.kill()
            app.wait()


def dialog_shows_within(seconds):
    deadline = time.monotonic() + seconds
    while time.monotonic() < deadline:
        if frame("Screen Share"):
            return True
        time.sleep(0.2)
    return False


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
