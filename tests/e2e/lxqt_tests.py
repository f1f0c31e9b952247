#!/usr/bin/env python3
"""The tray program in a real LXQt session (lxqt-session, openbox, lxqt-panel with its Status
Notifier on Xvfb), started from the session's autostart entry as a user's would be, so that
lxqt-session is its parent. lxqt-session speaks no XSMP and sets no SESSION_MANAGER: at a logout it
sends SIGTERM to its children and exits a tenth of a second later without waiting, and the display
goes with it. That SIGTERM is the end of the session; one from anyone else is a close from outside.
The machine is machines/demo.json (see desktop_tests.py).
"""

import subprocess
import sys
import time

from desktop_tests import DELETED, DOOR
from harness import SHOWN, WINDOWLESS, check, door_moves, main, poll, trimmed
from session_desktops import start_lxqt



def panel_icon(desktop):
    """The middle of what the panel along the top draws, once it draws something."""
    def drawn():
        width, height, middle = trimmed(desktop, desktop.screenshot("lxqt-panel.png"), "-crop",
                                        "1024x40+0+0", "+repage", "-fuzz", "8%")
        return 4 < width < 60 and 4 < height < 40 and middle
    return poll("the icon drawn in the panel", drawn, 10, 0.2)


def test_lxqt_logout(desktop):
    app = desktop.shown(desktop.autostarted)
    # The panel draws the item, and a click on it reaches the program: both trays open, and
    # close again with the next. The tooltip then tells the disc in D: again.
    x, y = panel_icon(desktop)
    first = app.trace.mark()
    for door in ("open", "closed"):
        mark = app.trace.mark()
        desktop.click(x, y)
        poll(f"D: and E: {door} by a click in the panel",
             lambda: desktop.door("D") == desktop.door("E") == door, 5)
    app.trace.wait_for(r'^bayminder\.tray: NIM_MODIFY "Holiday in CD"$', 5, mark)
    check(not app.trace.find(r"^bayminder\.forms: show ", first), "a click opened a window")

    mark, asked = app.trace.mark(), time.monotonic()
    desktop.spawn(["lxqt-leave", "--logout"])
    # As a display manager would: the display ends with the session.
    poll("lxqt-session to end", lambda: desktop.session.poll() is not None, 10, 0.005)
    gone = time.monotonic()
    desktop.display.terminate()
    check(desktop.session.returncode == 0, f"lxqt-session ended with {desktop.session.returncode}")
    status = app.wait_exit(5)
    ended = time.monotonic()
    print(f"lxqt-session ended in {gone - asked:.2f} s, the program {ended - gone:.2f} s after it")
    told, _ = app.trace.wait_for(rf"^bayminder\.session: SIGTERM from the session "
                                 rf"\({desktop.session.pid}\): nothing waits, no windows$", 1, mark)
    checks = [m.group(1) for _, m in app.trace.find(r"^bayminder\.session: check \d+: (.*)$", mark)]
    check(checks == ["no windows"], f"checks {checks}, expected one without windows")
    check(not app.trace.find(r"^bayminder\.msgbox: ", mark), "a message box at the session's end")
    check(not app.trace.find(SHOWN, mark), "a notification though nothing waits for it")
    # The chosen disc ejected at once, nothing shown: the trays closed and D: opened, once each.
    check((desktop.door("D"), desktop.door("E")) == ("open", "closed"), "D: not ejected")
    check(door_moves(app, mark) == WINDOWLESS,
          f"door commands {door_moves(app, mark)}, expected each tray once: {WINDOWLESS}")
    ejected = [when for when, _ in app.trace.find(rf"{DOOR} open ", mark)][-1]
    check(ejected - told < 0.5, f"the eject came {ejected - told:.2f} s after the SIGTERM")
    check(status == 0, f"exit status {status} at the end of the session, expected 0")
    check(ended - gone <= 2, f"the program ended {ended - gone:.1f} s after lxqt-session")


def test_lxqt_kill(desktop):
    app = desktop.shown(desktop.autostarted)
    # A SIGTERM from another process (a task manager, `kill` in a terminal) is no logout.
    mark = app.trace.mark()
    subprocess.run(["kill", "-TERM", str(app.pid)], check=True)
    app.trace.wait_for(r"^bayminder\.session: SIGTERM from \d+: a close from outside$", 10, mark)
    app.trace.wait_for(r"^bayminder\.msgbox: \d+ \"Bayminder\" \"Why'd ya do that\?", 10, mark)
    app.trace.wait_for(DELETED, 1, mark)
    check(not door_moves(app, mark), f"doors moved on a close: {door_moves(app, mark)}")
    check(desktop.session.poll() is None, "the session ended")
    check(not app.trace.find(r"^bayminder\.session: Die", mark), "taken for the session's end")


if __name__ == "__main__":
    sys.exit(main(globals(), start=start_lxqt, needs=[
        "lxqt-session", "lxqt-panel", "openbox", "lxqt-leave", "convert"]))
