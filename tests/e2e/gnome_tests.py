#!/usr/bin/env python3
"""The tray program in a real gnome-session 43 (`--builtin`, metacity, trayer as the tray host,
no shell). BAYMINDER_XSMP_CANCELLER: the client that calls a logout off. The machine is
machines/demo.json: a disc in D: (ejected at the end of the session), E: empty.
"""

import os
import re
import sys
import time

from harness import ADDED, GSM, Program, check, main, poll

CANCELLER = os.environ.get("BAYMINDER_XSMP_CANCELLER", "BAYMINDER_XSMP_CANCELLER")
SHOWN, HIDDEN = r"^bayminder\.forms: show frmMonitor$", r"^bayminder\.forms: hide frmMonitor$"
NOTIFICATION = "Bayminder Notification"
# One end of the session, trays from the last letter down: both closed, D: ejected, and with a
# window both closed again as it hides.
WINDOWLESS = [("E", "closed"), ("D", "closed"), ("D", "open")]
WINDOWED = WINDOWLESS + [("E", "closed"), ("D", "closed")]


def door_moves(app, since=0):
    """[(letter, "open" or "closed")] of the door commands from trace line since on."""
    moves, letter = [], None
    for _, text in app.trace.lines[since:]:
        if m := re.match(r"^bayminder\.mci: open (\w): type cdaudio", text):
            letter = m.group(1)
        elif m := re.match(r"^bayminder\.mci: set cd door (\w+) ", text):
            moves.append((letter, m.group(1)))
    return moves


def registered(desktop, app):
    """Listed with restart style "never" (0 in the session manager's own numbering)."""
    def hints():
        client = "org.gnome.SessionManager.Client"
        return [desktop.bus("call", GSM[0], path, client, "GetRestartStyleHint")[0]
                for path in desktop.bus("call", *GSM, "GetClients")[0]
                if desktop.bus("call", GSM[0], path, client, "GetUnixProcessId", check=False)
                == [app.pid]]
    check(poll("the program among the session's clients", hints, 15) == [0],
          f"restart style hints {hints()}, expected [0] (never)")


def ends_with_session(desktop, app, since):
    """The program ends with status 0 within 2 s of the session manager, the icon never put back
    since the end began; returns how long after."""
    ended = {}

    def both():
        for proc in (desktop.session, app.proc):
            if proc.poll() is not None:
                ended.setdefault(proc, time.monotonic())
        return len(ended) == 2
    poll("the session manager and the program to end", both, 30, 0.02)
    lag = ended[app.proc] - ended[desktop.session]
    check(app.proc.returncode == 0 and lag <= 2, f"the program ended {lag:.1f} s after the "
          f"session manager, with status {app.proc.returncode}; expected status 0 within 2 s")
    check(not app.trace.find(ADDED, since), "the icon was put back during the end of the session")
    return lag


def held_logout(desktop, app, logout):
    """A logout with windows: one check, the notification shown once while the session manager
    waits, Die only after it hid, then the end with the session."""
    mark = app.trace.mark()
    logout()
    shown_at, _ = app.trace.wait_for(SHOWN, 15, mark)
    poll("the notification on screen", lambda: desktop.visible_windows(NOTIFICATION, app), 10)
    poll("D: ejected", lambda: desktop.door("D") == "open")
    hidden_at, _ = app.trace.wait_for(HIDDEN, 20, mark)
    died_at, _ = app.trace.wait_for(r"^bayminder\.session: (Die|the connection to the session "
                                    r"manager is lost)$", 10, mark)
    check(died_at >= hidden_at, "the session manager went on before the notification hid")
    lag = ends_with_session(desktop, app, mark)
    check(len(app.trace.find(SHOWN, mark)) == 1 and door_moves(app, mark) == WINDOWED,
          f"door commands {door_moves(app, mark)}, expected one check's {WINDOWED} and one "
          "notification")
    check((desktop.door("D"), desktop.door("E")) == ("closed", "closed"), "a tray left open")
    print(f"notification {hidden_at - shown_at:.1f} s; the program ended {lag:.2f} s after the "
          "session manager")


def called_off(desktop, app, mark):
    """After a logout called off: at most one check, nothing ejected once the cancel came, no
    notification left, the program running with its icon."""
    cancel = r"^bayminder\.session: ShutdownCancelled$"
    app.trace.wait_for(cancel, 10, mark)
    told = next(i for i in range(mark, len(app.trace.lines))
                if re.search(cancel, app.trace.lines[i][1]))
    moves, after = door_moves(app, mark), door_moves(app, told)
    check(len(moves) <= len(WINDOWED) and ("D", "open") not in after,
          f"door commands {moves}, {after} of them after the cancel; expected at most one "
          "check and no eject after the cancel")
    poll("no notification", lambda: not desktop.visible_windows(NOTIFICATION, app), 5)
    poll("the icon back", lambda: desktop.icon_shown(app), 10)
    poll("the session to run again", lambda: desktop.bus(
        "call", *GSM, "IsSessionRunning") == [True], 10, 0.1)
    check(app.running() and not app.trace.find(r"^bayminder\.session: Die$", mark),
          "the program ended, or was told to, after a cancelled logout")


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
    canceller = Program(desktop, [CANCELLER], stream="stdout")
    canceller.trace.wait_for(r"^registered ", 10)
    mark = app.trace.mark()
    desktop.bus("call", *GSM, "Logout", "u", "1")
    called_off(desktop, app, mark)
    canceller.proc.kill()
    poll("the canceller to leave", lambda: len(desktop.bus("call", *GSM, "GetClients")[0]) == 2)
    held_logout(desktop, app, lambda: desktop.bus("call", *GSM, "Logout", "u", "1"))


def test_gnome_forced_logout(desktop):
    app = desktop.started()
    registered(desktop, app)
    forced_logout(desktop, app, lambda: desktop.bus("call", *GSM, "Logout", "u", "2"))


if __name__ == "__main__":
    sys.exit(main(globals(), kind="gnome",
                  needs=["gnome-session", "metacity", "pgrep", CANCELLER]))
