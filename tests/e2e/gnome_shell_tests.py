#!/usr/bin/env python3
"""The tray program in a real GNOME Shell 43 session: gnome-session with the shell as its one
required component (headless Wayland, no X), Debian's AppIndicator extension as the tray host,
and the program started by gnome-session from its autostart entry, as its package installs it.
The shell runs in its unsafe mode (a small extension of the test's own turns it on), so the
test can read the panel, the menus and the dialogs through org.gnome.Shell.Eval, click with a
Clutter virtual pointer as a user would, and take screenshots.
The machine is machines/demo.json (see desktop_tests.py); HOLIDAY lies in D:.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

from harness import Desktop, Failure, Trace, check, main, poll, settle

HERE = os.path.dirname(os.path.abspath(__file__))
SHELL = ("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell")
SESSION = ("org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager")
APPINDICATOR = "ubuntu-appindicators@ubuntu.com"
UNSAFE = "bm-unsafe-mode@bayminder.test"
SHOWN, HIDDEN = r"^bayminder\.forms: show frmMonitor$", r"^bayminder\.forms: hide frmMonitor$"
TIP = r'^bayminder\.tray: NIM_MODIFY "(.*)"$'

# Helpers the shell's Eval runs; each call gives one expression after them.
JS = r"""
const {Clutter, GLib, St} = imports.gi;
const bmIcon = () => Object.entries(Main.panel.statusArea).filter(
    ([key, icon]) => key.startsWith('appindicator-') && icon && icon.mapped).map(([, i]) => i)[0];
const bmBox = actor => {
    const [x, y] = actor.get_transformed_position();
    const [w, h] = actor.get_transformed_size();
    return {x, y, w, h};
};
const bmTexts = actor => (actor instanceof Clutter.Text ? [actor.get_text()] : []).concat(
    ...actor.get_children().filter(a => a.visible).map(bmTexts));
const bmFind = (actor, test) => test(actor) ? actor :
    actor.get_children().map(a => bmFind(a, test)).find(a => a) || null;
const bmClick = (x, y, button, count) => {
    global.bmPointer = global.bmPointer || Clutter.get_default_backend().get_default_seat()
        .create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE);
    const p = global.bmPointer;
    p.notify_absolute_motion(GLib.get_monotonic_time(), x, y);
    for (let i = 0; i < count; i++) {
        p.notify_button(GLib.get_monotonic_time(), button, Clutter.ButtonState.PRESSED);
        p.notify_button(GLib.get_monotonic_time(), button, Clutter.ButtonState.RELEASED);
    }
    return true;
};
const bmClickActor = (actor, button, count) => {
    const b = bmBox(actor);
    return bmClick(b.x + b.w / 2, b.y + b.h / 2, button, count);
};
const bmMenu = () => {
    const icon = bmIcon();
    return !icon || !icon.menu.isOpen ? null : icon.menu._getMenuItems().map(item => ({
        label: (item.label && item.label.get_text()) || '-', sensitive: item.sensitive}));
};
const bmMenuItem = label => bmIcon().menu._getMenuItems().find(
    item => item.label && item.label.get_text() === label);
const bmDialog = () => bmTexts(Main.layoutManager.modalDialogGroup);
const bmButton = label => bmFind(Main.layoutManager.modalDialogGroup,
    a => a instanceof St.Button && a.visible && a.label === label);
const bmWindows = () => global.get_window_actors().map(a => a.meta_window.get_title());
"""


def put(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)


class Autostarted:
    """The program as gnome-session starts it from its autostart entry, through a wrapper that
    hands its trace to the test through a FIFO and writes its exit status to a file."""

    def __init__(self, desktop):
        self.fifo = os.path.join(desktop.tmp, "trace.fifo")
        self.status_file = os.path.join(desktop.tmp, "status")
        os.mkfifo(self.fifo)
        # Read and write ends both here: no end of file while the program is not yet started.
        self.trace = Trace(os.fdopen(os.open(self.fifo, os.O_RDWR), "rb"))
        self.started, self.status, self.proc, self.pid = time.monotonic(), None, self, None

    def poll(self):
        try:
            with open(self.status_file) as f:
                return int(f.read())
        except (OSError, ValueError):
            return None

    def running(self):
        return self.poll() is None

    def wait_exit(self, timeout=10):
        poll("the program to end", lambda: self.poll() is not None, timeout, 0.1)
        return self.poll()


class GnomeShell(Desktop):
    def _start(self):
        config, runtime = os.path.join(self.tmp, "config"), os.path.join(self.tmp, "runtime")
        data, autostart = os.path.join(self.tmp, "data"), os.path.join(self.tmp, "autostart")
        os.makedirs(runtime, mode=0o700)
        shutil.copyfile(os.path.join(HERE, "machines", "demo.json"), self.machine)
        self.env = {k: v for k, v in os.environ.items()
                    if not k.startswith(("QT_", "WAYLAND_", "DBUS_", "XDG_", "DESKTOP_", "DISPLAY",
                                         "GTK_", "AT_SPI_", "ICEAUTHORITY", "SESSION_MANAGER",
                                         "XAUTHORITY", "GSETTINGS_"))}
        # What a Wayland login gives the session; Qt picks its Wayland platform from it.
        self.env.update({"HOME": self.tmp, "XDG_CONFIG_HOME": config, "XDG_DATA_HOME": data,
                         "XDG_RUNTIME_DIR": runtime, "XDG_SESSION_TYPE": "wayland",
                         "XDG_CURRENT_DESKTOP": "GNOME", "QT_LOGGING_RULES": "bayminder.*=true",
                         "NO_AT_BRIDGE": "1"})
        for bus in ("session", "system"):
            proc = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                               f"--address=unix:path={self.tmp}/{bus}.sock"],
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
            address = proc.stdout.readline().decode().strip()
            check(address.startswith("unix:"), f"the {bus} bus did not start")
            self.env[f"DBUS_{bus.upper()}_BUS_ADDRESS"] = address
        # Without logind the shell's start-up fails and it draws nothing.
        self.spawn([sys.executable, "-m", "dbusmock", "--template", "logind"],
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        poll("the logind mock", lambda: self.logind("ListInhibitors", check=False), 15)

        put(os.path.join(config, "gnome-session", "sessions", "bm.session"),
            "[GNOME Session]\nName=bm\nRequiredComponents=org.gnome.Shell;\nDesktopNames=GNOME\n")
        with open("/usr/share/applications/org.gnome.Shell.desktop") as f:
            put(os.path.join(data, "applications", "org.gnome.Shell.desktop"), f.read().replace(
                "Exec=/usr/bin/gnome-shell",
                "Exec=gnome-shell --headless --wayland --no-x11 --virtual-monitor 1280x800"))
        extension = os.path.join(data, "gnome-shell", "extensions", UNSAFE)
        put(os.path.join(extension, "metadata.json"), json.dumps(
            {"uuid": UNSAFE, "name": "unsafe mode", "description": "-", "shell-version": ["43"]}))
        put(os.path.join(extension, "extension.js"), "function init() {\n  return {enable() { "
            "global.context.unsafe_mode = true; }, disable() {}};\n}\n")
        self.gsettings("disable-user-extensions", "false")
        self.gsettings("enabled-extensions", f"['{APPINDICATOR}', '{UNSAFE}']")

        # The program as its package installs it: the menu entry (which names it in the shell's
        # dialogs) and the login start, here through a wrapper that keeps its trace and status.
        self.app = Autostarted(self)
        wrapper = os.path.join(self.tmp, "bayminder-session")
        put(wrapper, f'#!/bin/sh\n"{self.program}" --simulate "{self.machine}" 2>"{self.app.fifo}"'
            f'\necho $? >"{self.app.status_file}.new"\n'
            f'mv "{self.app.status_file}.new" "{self.app.status_file}"\n')
        os.chmod(wrapper, 0o755)
        for source, folder in (("org.bayminder.Bayminder.desktop",
                                os.path.join(data, "applications")),
                               ("bayminder-autostart.desktop", autostart)):
            with open(os.path.join(HERE, "..", "..", "data", source)) as f:
                put(os.path.join(folder, "org.bayminder.Bayminder.desktop"),
                    f.read().replace("Exec=bayminder", f"Exec={wrapper}"))

        with open(os.path.join(self.artifacts, f"{self.name}-gnome-session.log"), "wb") as log:
            # gnome-session would take SIGTERM for the end of the session.
            self.session = self.spawn(
                ["/usr/libexec/gnome-session-binary", "--builtin", "--session=bm",
                 "--disable-acceleration-check", f"--autostart={autostart}"],
                None, signal.SIGKILL, stdin=subprocess.DEVNULL, stdout=log, stderr=log)
        poll("the shell's Eval", lambda: self.eval("1", check=False) == 1, 30, 0.2)
        # The shell starts in its overview; a user's first look is at the desktop.
        poll("the overview to go", lambda: self.eval(
            "Main.layoutManager._startingUp || Main.overview.animationInProgress ? false : "
            "(Main.overview.hide(), !Main.overview.visible)"), 15, 0.2)
        self.programs.append(self.app)

    def gsettings(self, key, value):
        result = self.run("gsettings", "set", "org.gnome.shell", key, value)
        check(result.returncode == 0, f"gsettings set {key}: {result.stderr.strip()}")

    def eval(self, expression, check=True):
        """The value of a JavaScript expression in the shell (JSON), after the helpers."""
        answer = self.bus("call", *SHELL, "Eval", "s", JS + expression, check=check)
        if not answer or not answer[0]:
            if check:
                raise Failure(f"the shell's Eval of {expression!r}: {answer}")
            return None
        return json.loads(answer[1]) if answer[1] else None

    def screenshot(self, filename, wid=None, keep=False):
        path = os.path.join(self.artifacts, filename)
        self.bus("call", "org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                 "org.gnome.Shell.Screenshot", "Screenshot", "bbs", "false", "false", path,
                 check=False)
        return path

    def windows_titled(self, title):
        return [t for t in self.eval("bmWindows()") if t == title]


def wait_icon(desktop, app):
    """The program's icon in the top bar, once its start-up closed both CD trays: its box."""
    app.trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 30)
    poll("start-up to close the CD trays", lambda: len(
        app.trace.find(r"^bayminder\.mci: set cd door closed ")) >= 2, 15)
    return poll("the icon in the top bar", lambda: desktop.eval(
        "bmIcon() && bmBox(bmIcon()).w > 0 ? bmBox(bmIcon()) : null"), 20, 0.2)


def app_ids(desktop, kind):
    """The app id of each of gnome-session's clients or inhibitors (kind)."""
    return [(desktop.bus("call", SESSION[0], path, f"{SESSION[2]}.{kind}", "GetAppId",
                         check=False) or [None])[0]
            for path in desktop.bus("call", *SESSION, f"Get{kind}s")[0]]


def click(desktop, box, button=1, count=1):
    desktop.eval(f"bmClick({box['x'] + box['w'] / 2}, {box['y'] + box['h'] / 2}, {button}, "
                 f"{count})")


def doors(app, mark):
    """The door commands since mark, as (letter, state)."""
    moves, letter = [], None
    for _, m in app.trace.find(r"^bayminder\.mci: (open (\w):|set cd door (open|closed))", mark):
        if m.group(2):
            letter = m.group(2)
        else:
            moves.append((letter, m.group(3)))
    return moves


def logout_checked(desktop, app, mark, confirm):
    """The end of the session from Logout(mode): the shell's dialog names Bayminder and the
    disc, the notification counts down once, D: is ejected once, and the program ends with 0."""
    desktop.spawn(["busctl", f"--address={desktop.env['DBUS_SESSION_BUS_ADDRESS']}", "call",
                   "--timeout=120", *SESSION, "Logout", "u", "0" if confirm else "1"],
                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    shown_at, _ = app.trace.wait_for(SHOWN, 15, mark)
    poll("the notification on the screen",
         lambda: desktop.windows_titled("Bayminder Notification"), 10, 0.2)
    poll("D: ejected", lambda: desktop.door("D") == "open")
    said = []

    def named():
        said[:] = desktop.eval("bmDialog()")
        return "Bayminder" in said and "In the drives: Holiday (D:), Myfloppy (A:)" in said
    try:
        poll("the shell's dialog to name Bayminder and the media", named, 10, 0.2)
    finally:
        print(f"the shell's dialog says: {said}")
    desktop.screenshot(f"gnome-logout-{'confirm' if confirm else 'dialog'}.png")
    # The interaction's own inhibitor too is known by the program's desktop entry.
    ids = app_ids(desktop, "Inhibitor")
    check(set(ids) <= {"org.bayminder.Bayminder", "org.bayminder.Bayminder.desktop"},
          f"inhibitors of {ids}")
    if confirm:
        # The user's "Log Out" while the notification counts down.
        desktop.eval("bmClickActor(bmButton('Log Out'), 1, 1)")
    hidden_at, _ = app.trace.wait_for(HIDDEN, 20, mark)
    check(9.5 <= hidden_at - shown_at <= 14,
          f"the notification stayed {hidden_at - shown_at:.1f} s, expected about 11 s")
    status = app.wait_exit(20)
    check(status == 0, f"the program ended with status {status}, expected 0")
    # One check: the trays closed, D: ejected, and both closed again by the countdown's end.
    moves = doors(app, mark)
    check(sorted(moves) == [("D", "closed")] * 2 + [("D", "open")] + [("E", "closed")] * 2 and
          len(app.trace.find(SHOWN, mark)) == 1,
          f"door commands {moves} and {len(app.trace.find(SHOWN, mark))} notifications")
    check(desktop.door("D") == "closed", "D: left open after the countdown")
    poll("gnome-session to end", lambda: desktop.session.poll() is not None, 20, 0.2)


def test_gnome_shell_tray(desktop):
    app = desktop.app
    box = wait_icon(desktop, app)
    desktop.screenshot("gnome-top-bar.png")
    tip = poll("the tooltip built after start-up", lambda: app.trace.find(TIP), 10)[-1][1].group(1)
    check(tip == "Holiday in CD", f"tooltip {tip!r}")

    # A double click is the extension's Activate: the trays toggle, as a click does elsewhere.
    # The first press of the pair has opened the extension's menu; it is shut again.
    mark = app.trace.mark()
    click(desktop, box, count=2)
    poll("both trays open after the double click", lambda: (desktop.door("D"), desktop.door("E"))
         == ("open", "open"), 5)
    desktop.eval("bmIcon().menu.close()")
    click(desktop, box, count=2)
    poll("both trays closed after the next one", lambda: (desktop.door("D"), desktop.door("E"))
         == ("closed", "closed"), 5)
    check(not app.trace.find(r"^bayminder\.forms: show frmProperties", mark),
          "a double click opened the properties")
    desktop.eval("bmIcon().menu.close()")

    # The left click opens the menu; its first, greyed line says what the tooltip would.
    poll("the menu shut", lambda: desktop.eval("bmMenu()") is None, 5, 0.2)
    click(desktop, box)
    expected = ["Holiday in CD", "-", "About", "Exit", "-", "Advanced...", "Properties"]
    settle("the extension's menu", lambda: [(item["label"], item["sensitive"]) for item in
                                            desktop.eval("bmMenu()") or []],
           [(label, i > 0 and label != "-") for i, label in enumerate(expected)], 5)
    desktop.screenshot("gnome-menu.png")
    # Kept current: a disc put into E: is in the menu with no click.
    desktop.edit_machine(lambda d: d["E"].update(disc={"label": "SUMMER", "serial": 99}))
    poll("the menu's first line to follow the disc", lambda: (desktop.eval("bmMenu()") or [{}])[0]
         .get("label") == "Summer in CD, Holiday in CD", 5, 0.2)
    desktop.edit_machine(lambda d: d["E"].update(disc=None))
    poll("the menu's first line back", lambda: (desktop.eval("bmMenu()") or [{}])[0]
         .get("label") == "Holiday in CD", 5, 0.2)

    # Properties from the menu, then the middle click, the extension's SecondaryActivate.
    mark = app.trace.mark()
    desktop.eval("bmClickActor(bmMenuItem('Properties'), 1, 1)")
    poll("the properties window", lambda: desktop.windows_titled("Bayminder Properties"), 10, 0.2)
    desktop.screenshot("gnome-properties.png")
    desktop.eval("global.get_window_actors().map(a => a.meta_window).filter(w => w.get_title() "
                 "=== 'Bayminder Properties').forEach(w => w.delete(global.get_current_time()))")
    poll("the properties window to close",
         lambda: not desktop.windows_titled("Bayminder Properties"), 10, 0.2)
    mark = app.trace.mark()
    click(desktop, box, button=2)
    app.trace.wait_for(r"^bayminder\.forms: show frmProperties$", 5, mark)
    check(not doors(app, mark), "the middle click moved a tray")

    # The session ends without a question: the shell's dialog, the notification, one check.
    logout_checked(desktop, app, app.trace.mark(), confirm=False)


def test_gnome_shell_user_logout(desktop):
    app = desktop.app
    wait_icon(desktop, app)
    # Registered under the id gnome-session gave it, the program is its autostart entry's app.
    poll("the program among gnome-session's clients by its entry", lambda: app_ids(
        desktop, "Client").count("org.bayminder.Bayminder.desktop") == 1, 10, 0.2)
    logout_checked(desktop, app, app.trace.mark(), confirm=True)


if __name__ == "__main__":
    sys.exit(main(globals(), desktop=GnomeShell,
                  needs=["gnome-shell", "gnome-session", "gsettings", "python3-dbusmock"]))
