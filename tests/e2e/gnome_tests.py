#!/usr/bin/env python3
"""The tray program in a real gnome-session 43 (`--builtin`, metacity, trayer as the tray host,
no shell). The machine is machines/demo.json: a disc in D: (ejected at the session's end), E: empty.
"""

import sys

from harness import (CANCELLER, GSM, WINDOWED, WINDOWLESS, check, door_moves, ends_with_session,
                     goes_on, held_logout, main, poll, start_canceller)
from session_desktops import start_gnome

# gnome-session and mate-session may close the connection instead of sending Die.
DIE = r"^bayminder\.session: (Die|the connection to the session manager is lost)$"


def registered(desktop, app):
    """Listed with restart style "never" (0 in the session manager's own numbering)."""
    def hints():
        return [desktop.bus("call", GSM[0], path, f"{GSM[2]}.Client", "GetRestartStyleHint")[0]
                for path in desktop.bus("call", *GSM, "GetClients")[0] if desktop.bus(
                    "call", GSM[0], path, f"{GSM[2]}.Client", "GetUnixProcessId", check=False)
                == [app.pid]]
    check(poll("the program among the session's clients", hints, 15) == [0],
          f"restart style hints {hints()}, expected [0] (never)")


def called_off(desktop, app, mark):
    """After a logout called off: at most one check, nothing ejected once the cancel came, no
    notification left, the program running with its icon."""
    when, _ = app.trace.wait_for(r"^bayminder\.session: ShutdownCancelled$", 10, mark)
    told = next(i for i, (t, _) in enumerate(app.trace.lines) if t >= when)
    moves, after = door_moves(app, mark), door_moves(app, told)
    check(len(moves) <= len(WINDOWED) and ("D", "open") not in after,
          f"door commands {moves}, {after} after the cancel: more than one check, or an eject")
    goes_on(desktop, app, mark)
    poll("the session to run again", lambda: desktop.bus(
        "call", *GSM, "IsSessionRunning") == [True], 10, 0.1)


def forced_logout(desktop, app, logout):
    """No window; each tray once, D: ejected; the end with the session."""
    mark = app.trace.mark()
    logout()
    lag = ends_with_session(desktop, app, mark)
    check(not app.trace.find(r"^bayminder\.forms: show ", mark), "a window in a forced logout")
    check(door_moves(app, mark) == WINDOWLESS,
          f"door commands {door_moves(app, mark)}, expected each tray once: {WINDOWLESS}")
    check((desktop.door("D"), desktop.door("E")) == ("open", "closed"), "D: not ejected")
    print(f"the program ended {lag:.2f} s after the session manager")


def test_gnome_logout_cancelled_then_done(desktop):
    app = desktop.started()
    registered(desktop, app)
    # gnome-session lets every client interact at once, and the other client calls the logout
    # off at once: the cancel may come before the program's grant or during its check.
    canceller = start_canceller(desktop)
    mark = app.trace.mark()
    desktop.bus("call", *GSM, "Logout", "u", "1")
    called_off(desktop, app, mark)
    canceller.proc.kill()
    poll("the canceller to leave", lambda: len(desktop.bus("call", *GSM, "GetClients")[0]) == 2)
    held_logout(desktop, app, lambda: desktop.bus("call", *GSM, "Logout", "u", "1"), die=DIE)


def test_gnome_forced_logout(desktop):
    app = desktop.started()
    registered(desktop, app)
    forced_logout(desktop, app, lambda: desktop.bus("call", *GSM, "Logout", "u", "2"))


if __name__ == "__main__":
    sys.exit(main(globals(), start=start_gnome,
                  needs=["gnome-session", "metacity", "pgrep", CANCELLER]))
