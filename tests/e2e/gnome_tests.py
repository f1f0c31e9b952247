#!/usr/bin/env python3
"""The tray program in a real gnome-session 43 (`--builtin`, metacity its one required component,
trayer as the tray host, no shell) on Xvfb: the end of the session through XSMP as gnome-session
drives it. gnome-session checkpoints every new client, sends SaveComplete after every
SaveYourselfDone, asks a second time (shutdown, no interaction) in its end-session phase and
exits at once after Die; a logout after the query (Logout(0)) waits for the shell's
confirmation, Logout(2) here.
BAYMINDER_XSMP_CANCELLER names the helper client that calls a logout off (xsmp_canceller.cpp).
The machine is machines/demo.json: a disc in D: (ejected at the end of the session), E: empty.
"""

import os
import re
import sys
import time

from harness import ADDED, GSM, Program, check, main, poll

CANCELLER = os.environ.get("BAYMINDER_XSMP_CANCELLER", "BAYMINDER_XSMP_CANCELLER")
CLIENT = "org.gnome.SessionManager.Client"
REGISTERED = r"^bayminder\.session: registered as "
SHOWN, HIDDEN = r"^bayminder\.forms: show frmMonitor$", r"^bayminder\.forms: hide frmMonitor$"
NOTIFICATION = "Bayminder Notification"
# One end of the session on the demo machine, the trays from the last letter down: both trays
# closed, D: ejected, and with a window both closed again when it hides.
WINDOWLESS = [("E", "closed"), ("D", "closed"), ("D", "open")]
WINDOWED = WINDOWLESS + [("E", "closed"), ("D", "closed")]


def door_moves(app, since=0):
    """[(letter, "open" or "closed")] of every door command from trace line since on."""
    moves, letter = [], None
    for _, text in app.trace.lines[since:]:
        if m := re.match(r"^bayminder\.mci: open (\w): type cdaudio", text):
            letter = m.group(1)
        elif m := re.match(r"^bayminder\.mci: set cd door (\w+) ", text):
            moves.append((letter, m.group(1)))
    return moves


def sm_clients(desktop):
    """{pid: client path} of gnome-session's (or mate-session's) clients."""
    found = {}
    for path in desktop.bus("call", *GSM, "GetClients")[0]:
        pid = desktop.bus("call", GSM[0], path, CLIENT, "GetUnixProcessId", check=False)
        if pid:
            found[pid[0]] = path
    return found


def registered(desktop, app):
    """The program registered, listed with restart style "never" (0 in gnome-session's own
    numbering), and the checkpoint every new client gets answered with nothing moved."""
    app.trace.wait_for(REGISTERED, 15)
    path = poll("the program among the session's clients", lambda: sm_clients(desktop).get(
        app.pid), 10)
    hint = desktop.bus("call", GSM[0], path, CLIENT, "GetRestartStyleHint")
    check(hint == [0], f"restart style hint {hint}, expected [0] (never)")
    checkpoint = r"^bayminder\.session: SaveYourself checkpoint"
    app.trace.wait_for(checkpoint, 10)
    asked = next(i for i, (_, text) in enumerate(app.trace.lines) if re.search(checkpoint, text))
    app.trace.wait_for(r"^bayminder\.session: SaveComplete$", 10, asked)
    check(not app.trace.find(r"^bayminder\.(tray: NIM_DELETE|mci: set cd door|forms: show )",
                             asked), "the checkpoint touched the icon, a door or a window")


def called_off(app, mark):
    """After a logout called off: at most one check, nothing ejected once the cancel came, and
    no Die."""
    cancel = r"^bayminder\.session: ShutdownCancelled$"
    app.trace.wait_for(cancel, 10, mark)
    told = next(i for i in range(mark, len(app.trace.lines))
                if re.search(cancel, app.trace.lines[i][1]))
    moves, after = door_moves(app, mark), door_moves(app, told)
    check(len(moves) <= len(WINDOWED) and ("D", "open") not in after,
          f"door commands {moves}, {after} of them after the cancel; expected at most one "
          "check and no eject after the cancel")
    check(not app.trace.find(r"^bayminder\.session: Die$", mark), "told to die")


def ends_with_session(desktop, app, since, within=2.0):
    """The program ends with status 0 within `within` s of the session manager, after Die or the
    connection's end, with the icon never put back after since."""
    ended = {}

    def both():
        now = time.monotonic()
        for key, proc in (("session", desktop.session), ("program", app.proc)):
            if key not in ended and proc.poll() is not None:
                ended[key] = now
        return len(ended) == 2
    poll("the session manager and the program to end", both, 30, 0.02)
    status = app.proc.returncode
    check(status == 0, f"the program ended with status {status}, expected 0")
    lag = ended["program"] - ended["session"]
    check(lag <= within, f"the program ended {lag:.1f} s after the session manager")
    check(not app.trace.find(ADDED, since), "the icon was put back during the end of the session")
    return lag


def held_logout(desktop, app, logout, while_shown=None):
    """A logout with windows allowed: one check, the notification shown once while the session
    manager waits, Die only after it hid, then the program ends with the session. Returns
    (the notification's time on screen, the program's lag behind the session manager)."""
    mark = app.trace.mark()
    logout()
    shown_at, _ = app.trace.wait_for(SHOWN, 15, mark)
    poll("the notification on screen", lambda: desktop.visible_windows(NOTIFICATION, app), 10)
    poll("D: ejected", lambda: desktop.door("D") == "open")
    if while_shown:
        while_shown(mark)
    hidden_at, _ = app.trace.wait_for(HIDDEN, 20, mark)
    died = app.trace.wait_for(r"^bayminder\.session: (Die|the connection to the session "
                              r"manager is lost)$", 10, mark)[0]
    check(died >= hidden_at, "the session manager went on before the notification hid")
    lag = ends_with_session(desktop, app, mark)
    check(len(app.trace.find(SHOWN, mark)) == 1, "the notification was shown more than once")
    check(door_moves(app, mark) == WINDOWED,
          f"door commands {door_moves(app, mark)}, expected one check's {WINDOWED}")
    machine = {d["letter"]: d.get("door") for d in desktop.read_machine()["drives"]}
    check((machine["D"], machine["E"]) == ("closed", "closed"), f"doors left {machine}")
    return hidden_at - shown_at, lag


def test_gnome_logout_cancelled_then_done(desktop):
    app = desktop.started()
    registered(desktop, app)

    # Another client calls the logout off: gnome-session lets every client interact at once,
    # so the program's check may already run. It ends early, the program stays with its icon.
    canceller = Program(desktop, [CANCELLER], stream="stdout")
    canceller.trace.wait_for(r"^registered ", 10)
    mark = app.trace.mark()
    desktop.bus("call", *GSM, "Logout", "u", "1")
    canceller.trace.wait_for(r"^ShutdownCancelled$", 20)
    app.trace.wait_for(r"^bayminder\.session: ShutdownCancelled$", 5, mark)
    poll("the session to run again", lambda: desktop.bus(
        "call", *GSM, "IsSessionRunning") == [True], 10, 0.1)
    poll("no notification", lambda: not desktop.visible_windows(NOTIFICATION, app), 3)
    poll("the icon back in trayer", lambda: desktop.icon_shown(app), 10)
    called_off(app, mark)
    check(app.running(), "the program ended after a cancelled logout")
    check(len(app.trace.find(SHOWN, mark)) <= 1, "two notifications for one logout")

    # The canceller leaves; a logout without confirmation is held by the notification.
    canceller.proc.kill()
    poll("the canceller to leave the session", lambda: canceller.proc.poll() is not None and
         len(sm_clients(desktop)) == 2, 10)
    stayed, lag = held_logout(desktop, app, lambda: desktop.bus("call", *GSM, "Logout", "u", "1"))
    print(f"notification {stayed:.1f} s; the program ended {lag:.2f} s after gnome-session")


def test_gnome_forced_logout(desktop):
    app = desktop.started()
    registered(desktop, app)
    mark = app.trace.mark()
    desktop.bus("call", *GSM, "Logout", "u", "2")
    lag = ends_with_session(desktop, app, mark)
    check(not app.trace.find(r"^bayminder\.forms: show ", mark), "a window in a forced logout")
    check(door_moves(app, mark) == WINDOWLESS,
          f"door commands {door_moves(app, mark)}, expected each tray once: {WINDOWLESS}")
    check(desktop.door("D") == "open" and desktop.door("E") == "closed",
          "D: not ejected, or E: not closed")
    print(f"the program ended {lag:.2f} s after gnome-session")


def test_gnome_query_then_confirmed(desktop):
    app = desktop.started()
    registered(desktop, app)
    # The query: the program checks with its window while gnome-session waits for the shell.
    mark = app.trace.mark()
    desktop.bus("call", *GSM, "Logout", "u", "0")
    shown_at, _ = app.trace.wait_for(SHOWN, 15, mark)
    desktop.wait_window(NOTIFICATION, app)
    hidden_at, _ = app.trace.wait_for(HIDDEN, 20, mark)
    app.trace.wait_for(r"^bayminder\.session: SaveYourselfDone$", 5, mark)
    check(desktop.session.poll() is None and app.running(), "the query ended the session")
    checked = door_moves(app, mark)
    check(checked == WINDOWED, f"door commands {checked}, expected one check's {WINDOWED}")
    # The user confirms as the shell's "Log Out" does: the second request of the same end of
    # the session is answered at once with nothing moved, shown or ejected again.
    confirmed = app.trace.mark()
    desktop.bus("call", *GSM, "Logout", "u", "2")
    lag = ends_with_session(desktop, app, mark)
    check(not door_moves(app, confirmed), f"the confirmation moved {door_moves(app, confirmed)}")
    check(len(app.trace.find(SHOWN, mark)) == 1, "a second notification after the confirmation")
    check(desktop.door("D") == "closed", "D: ejected again after the user had closed it")
    print(f"notification {hidden_at - shown_at:.1f} s; the program ended {lag:.2f} s after "
          "gnome-session")


def test_gnome_confirmed_during_check(desktop):
    app = desktop.started()
    registered(desktop, app)
    # The user confirms while the notification still counts down: gnome-session sends nothing
    # new and waits for the interaction; Die follows the answer with no SaveComplete.
    def confirmed_at_once():
        desktop.bus("call", *GSM, "Logout", "u", "0")
        desktop.wait_window(NOTIFICATION, app, 15)
        desktop.bus("call", *GSM, "Logout", "u", "2")
    stayed, lag = held_logout(desktop, app, confirmed_at_once)
    print(f"notification {stayed:.1f} s; the program ended {lag:.2f} s after gnome-session")


if __name__ == "__main__":
    sys.exit(main(globals(), kind="gnome", needs=["gnome-session", "metacity", CANCELLER]))
