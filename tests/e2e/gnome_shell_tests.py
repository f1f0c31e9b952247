#!/usr/bin/env python3
# The tray program in a real GNOME Shell 43 session: gnome-session with the shell as its one
# required component (headless Wayland, no X), Debian's AppIndicator extension as the tray host,
# and the program started by gnome-session from its autostart entry, as its package installs it.
# The shell runs in its unsafe mode (a small extension of the test's own turns it on), so the
# test can read the panel, the menus and the dialogs through org.gnome.Shell.Eval, click with a
# Clutter virtual pointer as a user would, and take screenshots.
# The machine is machines/demo.json (see desktop_tests.py); HOLIDAY lies in D:.

import json
import os
import sys
import time

from harness import (GSM, HIDDEN, SHOWN, Desktop, Failure, check, door_moves, fifo_trace, main,
                     poll, put, read_int, settle, start_session)

HERE = os.path.dirname(os.path.abspath(__file__))
SHELL = ("org.gnome.Shell", "/org/gnome/Shell", "org.gnome.Shell")
UNSAFE = "bm-unsafe-mode@bayminder.test"
PROPERTIES = r"^bayminder\.forms: show frmProperties$"
NAMED = "In the drives: Holiday (D:), Myfloppy (A:)"

# Helpers the shell's Eval runs before each expression.
JS = r"""
const {Clutter, GLib, St} = imports.gi;
const dialogs = Main.layoutManager.modalDialogGroup;
const bmIcon = () => Object.entries(Main.panel.statusArea).filter(([key, icon]) =>
    key.startsWith('appindicator-') && icon && icon.mapped).map(([, icon]) => icon)[0];
const bmBox = a => (([x, y], [w, h]) => ({x, y, w, h}))(a.get_transformed_position(),
                                                       a.get_transformed_size());
const bmTexts = a => (a instanceof Clutter.Text ? [a.get_text()] : []).concat(
    ...a.get_children().filter(c => c.visible).map(bmTexts));
const bmFind = (a, test) => test(a) ? a : a.get_children().map(c => bmFind(c, test)).find(c => c);
const bmClick = (actor, button, count) => {
    const p = global.bmPointer = global.bmPointer || Clutter.get_default_backend()
        .get_default_seat().create_virtual_device(Clutter.InputDeviceType.POINTER_DEVICE);
    const b = bmBox(actor);
    p.notify_absolute_motion(GLib.get_monotonic_time(), b.x + b.w / 2, b.y + b.h / 2);
    for (let i = 0; i < 2 * count; i++)
        p.notify_button(GLib.get_monotonic_time(), button, i % 2 ? 0 : 1);
    return true;
};
const bmMenu = () => bmIcon() && bmIcon().menu.isOpen ? bmIcon().menu._getMenuItems().map(
    item => [(item.label && item.label.get_text()) || '-', item.sensitive]) : null;
const bmItem = label => bmIcon().menu._getMenuItems().find(
    item => item.label && item.label.get_text() === label);
const bmButton = label => bmFind(dialogs, a => a instanceof St.Button && a.label === label);
const bmWindows = () => global.get_window_actors().map(a => a.meta_window);
"""


class Autostarted:
    # The program as gnome-session starts it, through a wrapper that hands its trace to the
    # test through a FIFO and writes its exit status to a file.

    def __init__(self, tmp):
        self.fifo, self.status_file = os.path.join(tmp, "trace.fifo"), os.path.join(tmp, "status")
        self.trace = fifo_trace(self.fifo)
        self.started, self.status, self.proc = time.monotonic(), None, self

    def poll(self):
        return read_int(self.status_file)

    def wait_exit(self, timeout):
        poll("the program to end", lambda: self.poll() is not None, timeout, 0.1)
        return self.poll()


class GnomeShell(Desktop):
    def _start(self):
        data, autostart = os.path.join(self.tmp, "data"), os.path.join(self.tmp, "autostart")
        # What a Wayland login gives the session; Qt picks its Wayland platform from it.
        config = self.home(XDG_DATA_HOME=data, XDG_SESSION_TYPE="wayland",
                           XDG_CURRENT_DESKTOP="GNOME")
        # Without logind the shell's start-up fails and it draws nothing.
        self.start_buses()

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
        for key, value in (("disable-user-extensions", "false"), ("enabled-extensions",
                           f"['ubuntu-appindicators@ubuntu.com', '{UNSAFE}']")):
            check(self.run("gsettings", "set", "org.gnome.shell", key, value).returncode == 0,
                  f"gsettings set {key}")

        # The program's menu entry (which names it in the shell's dialogs) and its login start.
        self.app = Autostarted(self.tmp)
        self.programs.append(self.app)
        wrapper = os.path.join(self.tmp, "bayminder-session")
        status = self.app.status_file
        put(wrapper, f'#!/bin/sh\n"{self.program}" --simulate "{self.machine}" 2>"{self.app.fifo}"'
            f'\necho $? >"{status}.new"\nmv "{status}.new" "{status}"\n', 0o755)
        for source, folder in (("org.bayminder.Bayminder.desktop", data + "/applications"),
                               ("bayminder-autostart.desktop", autostart)):
            with open(os.path.join(HERE, "..", "..", "data", source)) as f:
                put(os.path.join(folder, "org.bayminder.Bayminder.desktop"),
                    f.read().replace("Exec=bayminder", f"Exec={wrapper}"))

        start_session(self, ["/usr/libexec/gnome-session-binary", "--builtin", "--session=bm",
                             "--disable-acceleration-check", f"--autostart={autostart}"])
        # The shell starts in its overview; a user's first look is at the desktop.
        poll("the shell, out of its overview", lambda: self.eval(
            "Main.layoutManager._startingUp || Main.overview.animationInProgress ? false : "
            "(Main.overview.hide(), !Main.overview.visible)", check=False), 30, 0.2)

    def eval(self, expression, check=True):
        # The value of a JavaScript expression in the shell (JSON), after the helpers.
        answer = self.bus("call", *SHELL, "Eval", "s", JS + expression, check=check)
        if check and not (answer and answer[0]):
            raise Failure(f"the shell's Eval of {expression!r}: {answer}")
        return json.loads(answer[1]) if answer and answer[0] and answer[1] else None

    def screenshot(self, filename, wid=None, keep=False):
        path = os.path.join(self.artifacts, filename)
        self.bus("call", "org.gnome.Shell.Screenshot", "/org/gnome/Shell/Screenshot",
                 "org.gnome.Shell.Screenshot", "Screenshot", "bbs", "false", "false", path,
                 check=False)
        return path

    def window(self, title):
        return self.eval(f"bmWindows().some(w => w.get_title() === '{title}')")


def wait_icon(desktop, app):
    # Once the start-up has closed both CD trays and the icon is in the top bar.
    poll("start-up to close the CD trays", lambda: len(
        app.trace.find(r"^bayminder\.mci: set cd door closed ")) >= 2, 30)
    poll("the icon in the top bar", lambda: desktop.eval("bmIcon() && bmBox(bmIcon()).w > 0"),
         20, 0.2)


def logout_checked(desktop, app, confirm):
    # The end of the session from Logout(1), or from Logout(0) and the dialog's Log Out: the
    # shell's dialog names Bayminder and the media, one check with its countdown, status 0.
    mark = app.trace.mark()
    desktop.spawn(["busctl", f"--address={desktop.env['DBUS_SESSION_BUS_ADDRESS']}", "call",
                   "--timeout=120", *GSM, "Logout", "u", "0" if confirm else "1"])
    shown_at, _ = app.trace.wait_for(SHOWN, 15, mark)
    poll("the notification on the screen", lambda: desktop.window("Bayminder Notification"), 10)
    said = []

    def named():
        said[:] = desktop.eval("bmTexts(dialogs)")
        return {"Bayminder", NAMED} <= set(said)
    try:
        poll("the shell's dialog to name Bayminder and the media", named, 10, 0.2)
    finally:
        print(f"the shell's dialog says: {said}")
    desktop.screenshot(f"gnome-logout-{'confirm' if confirm else 'dialog'}.png")
    # The interaction's own inhibitor too: the program registered under the id gnome-session
    # gave it, so gnome-session knows it by its desktop entry.
    ids = [(desktop.bus("call", GSM[0], path, f"{GSM[2]}.Inhibitor", "GetAppId", check=False)
            or [None])[0] for path in desktop.bus("call", *GSM, "GetInhibitors")[0]]
    check(set(ids) <= {"org.bayminder.Bayminder", "org.bayminder.Bayminder.desktop"}, f"{ids}")
    if confirm:  # while the notification counts down
        desktop.eval("bmClick(bmButton('Log Out'), 1, 1)")
    hidden_at, _ = app.trace.wait_for(HIDDEN, 20, mark)
    check(9.5 <= hidden_at - shown_at <= 14, f"the notification lasted {hidden_at - shown_at:.1f}")
    status = app.wait_exit(20)
    check(status == 0, f"the program ended with status {status}, expected 0")
    # One check: the trays closed, D: ejected, and both closed again by the countdown's end.
    moves, shown = door_moves(app, mark), len(app.trace.find(SHOWN, mark))
    check(sorted(moves) == [("D", "closed")] * 2 + [("D", "open")] + [("E", "closed")] * 2 and
          shown == 1, f"door commands {moves} and {shown} notifications")
    poll("gnome-session to end", lambda: desktop.session.poll() is not None, 20, 0.2)


def test_gnome_shell_tray(desktop):
    app = desktop.app
    wait_icon(desktop, app)
    desktop.screenshot("gnome-top-bar.png")
    # A double click is the extension's Activate: the trays toggle, as a click does elsewhere.
    # The first press of the pair has opened the extension's menu; it is shut again.
    mark = app.trace.mark()
    for state in ("open", "closed"):
        desktop.eval("bmClick(bmIcon(), 1, 2)")
        poll(f"both trays {state} after a double click",
             lambda: (desktop.door("D"), desktop.door("E")) == (state, state), 5)
        desktop.eval("bmIcon().menu.close()")
    check(not app.trace.find(PROPERTIES, mark), "a double click opened the properties")

    # The left click opens the menu; its first, greyed line says what the tooltip would, and
    # follows the media with no click.
    poll("the menu shut", lambda: desktop.eval("bmMenu()") is None, 5, 0.2)
    desktop.eval("bmClick(bmIcon(), 1, 1)")
    for first, disc in (("Holiday in CD", {"label": "SUMMER", "serial": 99}),
                        ("Summer in CD, Holiday in CD", None), ("Holiday in CD", None)):
        labels = [first, "-", "About", "Exit", "-", "Advanced...", "Properties"]
        settle("the extension's menu", lambda: desktop.eval("bmMenu()"),
               [[label, i > 0 and label != "-"] for i, label in enumerate(labels)], 5)
        desktop.screenshot("gnome-menu.png")
        desktop.edit_machine(lambda d: d["E"].update(disc=disc))

    # Properties from the menu; the middle click (SecondaryActivate) opens them too.
    for gesture in ("bmClick(bmItem('Properties'), 1, 1)", "bmClick(bmIcon(), 2, 1)"):
        mark = app.trace.mark()
        desktop.eval(gesture)
        poll("the properties window", lambda: desktop.window("Bayminder Properties"), 10, 0.2)
        check(app.trace.find(PROPERTIES, mark) and not door_moves(app, mark),
              f"{gesture}: not the properties alone")
        desktop.screenshot("gnome-properties.png")
        desktop.eval("bmWindows().filter(w => w.get_title() === 'Bayminder Properties')"
                     ".forEach(w => w.delete(global.get_current_time()))")
        poll("the properties to close", lambda: not desktop.window("Bayminder Properties"), 10)
    logout_checked(desktop, app, confirm=False)


def test_gnome_shell_user_logout(desktop):
    wait_icon(desktop, desktop.app)
    logout_checked(desktop, desktop.app, confirm=True)


if __name__ == "__main__":
    sys.exit(main(globals(), desktop=GnomeShell,
                  needs=["gnome-shell", "gnome-session", "gsettings", "python3-dbusmock"]))
