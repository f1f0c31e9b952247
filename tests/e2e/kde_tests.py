#!/usr/bin/env python3
"""The tray program in a real KDE Plasma 5.27 session on Xvfb (ksmserver, kwin_x11, kded5 with
the StatusNotifierWatcher, plasmashell's system tray), through XSMP: ksmserver lets one client
interact at a time, and sends ShutdownCancelled to all when one calls a logout off.
"""

import signal
import sys

from harness import (CANCELLER, SHOWN, check, checkpoint, goes_on, held_logout, main, poll,
                     start_canceller)
from session_desktops import KSMSERVER, start_kde
from xfce_tests import REGISTERED


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
    checkpoint(desktop, app, lambda: desktop.bus("call", *KSMSERVER, "saveCurrentSession"))

    # Another client calls the logout off first (the program held back with SIGSTOP until the
    # other has its turn), the program's interaction request reaching ksmserver after it, which
    # ksmserver may still grant: no check runs after the cancel, and the program goes on with
    # its icon. (The other order, the program's whole check before the cancel, depends on when
    # ksmserver reads the held client's request and is left to the Xfce test.)
    canceller = start_canceller(desktop)
    mark, other = app.trace.mark(), canceller.trace.mark()
    app.proc.send_signal(signal.SIGSTOP)
    logout(desktop)
    canceller.trace.wait_for(r"^Interact$", 15, other)
    app.proc.send_signal(signal.SIGCONT)
    told = app.trace.wait_for(r"^bayminder\.session: ShutdownCancelled$", 5, mark)[0]
    poll("ksmserver to go on with the session", lambda: not shutting_down(desktop), 10, 0.1)
    after = next(i for i, (when, _) in enumerate(app.trace.lines) if when >= told)
    check(app.trace.stays_absent(rf"{SHOWN}|^bayminder\.mci: set cd door open ", 2, after),
          "a check ran after the logout was called off")
    check(not app.trace.find(SHOWN, mark), "the notification was shown")
    goes_on(desktop, app, mark)

    # The session then really ends: held until the notification has hidden itself, shown once.
    canceller.proc.kill()
    poll("D: closed again", lambda: desktop.door("D") == "closed", 5)
    held_logout(desktop, app, lambda: logout(desktop), lambda: check(
        shutting_down(desktop), "ksmserver not shutting down during the check"), early=2)


if __name__ == "__main__":
    sys.exit(main(globals(), start=start_kde, needs=[
        "ksmserver", "kwin_x11", "kded5", "plasmashell", CANCELLER]))
