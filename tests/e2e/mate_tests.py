#!/usr/bin/env python3
"""The tray program in a real MATE session: mate-session 1.26, marco, and mate-panel with only
its notification area (a StatusNotifierItem host). mate-panel never registers with the session,
so mate-session refuses a logout for about 30 s after its start.
"""

import sys

from gnome_tests import DIE, called_off, forced_logout, registered
from harness import GSM, SHOWN, held_logout, main, poll
from session_desktops import start_mate


def logged_in(desktop):
    """The program with its item in the panel, once mate-session takes logouts."""
    app = desktop.started()
    registered(desktop, app)
    poll("mate-session to take logouts", lambda: desktop.bus(
        "call", *GSM, "IsSessionRunning", check=False) == [True], 60, 0.2)
    return app


def test_mate_cancelled_then_logout(desktop):
    app = logged_in(desktop)
    # The user cancels in mate-session's dialog while the notification counts down.
    mark = app.trace.mark()
    desktop.spawn(["mate-session-save", "--logout"])
    app.trace.wait_for(SHOWN, 15, mark)
    dialog = poll("mate-session's dialog", lambda: desktop.xdotool_ids(
        "search", "--onlyvisible", "--pid", str(desktop.session.pid)), 10)[0]
    desktop.screenshot("mate-program-still-running.png")
    desktop.focus(dialog)
    desktop.key("Escape")
    called_off(desktop, app, mark)
    held_logout(desktop, app, lambda: desktop.spawn(["mate-session-save", "--logout"]), die=DIE)


def test_mate_forced_logout(desktop):
    app = logged_in(desktop)
    forced_logout(desktop, app, lambda: desktop.spawn(["mate-session-save", "--force-logout"]))


if __name__ == "__main__":
    sys.exit(main(globals(), start=start_mate, needs=[
        "mate-session", "mate-session-save", "mate-panel", "marco", "gsettings", "pgrep"]))
