#!/usr/bin/env python3
"""The tray program in a real KDE Plasma 5.27 session: ksmserver as the session manager,
kwin_x11, kded5 (the StatusNotifierWatcher) and plasmashell, whose panel's system tray shows the
icon, on Xvfb. Through XSMP: ksmserver's first save of a new client and the user's "save session"
move nothing; a logout that another client calls off (ksmserver lets one client interact at a
time, then sends ShutdownCancelled to all) leaves the program running with its icon; a logout
then waits for the notification, and the program ends with ksmserver.
The machine is machines/demo.json (see desktop_tests.py).
"""

import signal
import sys
import time

from harness import (SHOWN, Program, check, door_moves, ends_with_session, goes_on, main,
                     notified_then_died, poll)
from qt_desktops import KSMSERVER
from xfce_tests import CANCELLER, REGISTERED

CANCELLED = r"^bayminder\.session: ShutdownCancelled$"


def logout(desktop):
    """What the user's "Log Out" does once confirmed (plasma-shutdown)."""
    desktop.bus("call", "org.kde.Shutdown", "/Shutdown", "org.kde.Shutdown", "logout")


def shutting_down(desktop):
    return desktop.bus("call", *KSMSERVER, "isShuttingDown")[0]


def test_kde_session(desktop):
    app = desktop.started()
    app.trace.wait_for(REGISTERED, 15)
    # ksmserver's first save of a new client comes unasked.
    app.trace.wait_for(r"^bayminder\.session: SaveComplete$", 10)
    before = desktop.read_machine()
    mark = app.trace.mark()
    desktop.bus("call", *KSMSERVER, "saveCurrentSession")
    app.trace.wait_for(r"^bayminder\.session: SaveYourself checkpoint", 10, mark)
    app.trace.wait_for(r"^bayminder\.session: SaveYourselfDone$", 10, mark)
    check(app.trace.stays_absent(r"^bayminder\.(tray: NIM_DELETE|mci: set cd door|forms: show )",
                                 2, mark),
          "a checkpoint touched the icon, a door or a window")
    check(desktop.read_machine() == before, "a checkpoint moved a door")
    check(desktop.icon_shown(app), "the icon left plasmashell's tray")

    # Another client calls the logout off first (the program held back with SIGSTOP until the
    # other has its turn), the program's interaction request reaching ksmserver after it, which
    # ksmserver may still grant: no check runs after the cancel, and the program goes on with
    # its icon. (The other order, the program's whole check before the cancel, depends on when
    # ksmserver reads the held client's request and is left to the Xfce test.)
    canceller = Program(desktop, [CANCELLER], stream="stdout")
    # A logout during the session manager's first save of a new client can pass the client by
    # (gnome-session takes the answer to that save for the answer to the logout): that save over
    # first.
    canceller.trace.wait_for(r"^SaveComplete$", 10)
    for first, held, turn in ((canceller, app, r"^Interact$"),):
        mark, other = app.trace.mark(), canceller.trace.mark()
        held.proc.send_signal(signal.SIGSTOP)
        logout(desktop)
        first.trace.wait_for(turn, 15, mark if first is app else other)
        held.proc.send_signal(signal.SIGCONT)
        canceller.trace.wait_for(r"^Interact$", 20, other)
        told = app.trace.wait_for(CANCELLED, 5, mark)[0]
        poll("ksmserver to go on with the session", lambda: not shutting_down(desktop), 10, 0.1)
        after = next(i for i, (when, _) in enumerate(app.trace.lines) if when >= told)
        check(app.trace.stays_absent(rf"{SHOWN}|^bayminder\.mci: set cd door open ", 2, after),
              "a check ran after the logout was called off")
        check(len(app.trace.find(SHOWN, mark)) == (first is app), "the notification was shown "
              f"{len(app.trace.find(SHOWN, mark))} times")
        goes_on(desktop, app, mark)

    # The session then really ends: held until the notification has hidden itself, shown once.
    canceller.proc.kill()
    poll("D: closed again", lambda: desktop.door("D") == "closed", 5)
    mark, asked = app.trace.mark(), time.monotonic()
    logout(desktop)
    notified_then_died(desktop, app, mark, lambda: check(
        shutting_down(desktop), "ksmserver not shutting down during the check"))
    ends_with_session(desktop, app, mark, early=2)
    check(len(app.trace.find(SHOWN, mark)) == 1, "the notification was shown twice")
    opened = [move for move in door_moves(app, mark) if move == ("D", "open")]
    check(len(opened) == 1, f"D: ejected {len(opened)} times")
    check(desktop.door("D") == "closed", "D: left open after the countdown")
    print(f"logout took {time.monotonic() - asked:.1f} s")


if __name__ == "__main__":
    sys.exit(main(globals(), kind="kde", needs=["ksmserver", "kwin_x11", "kded5", "plasmashell",
                                                 CANCELLER]))
