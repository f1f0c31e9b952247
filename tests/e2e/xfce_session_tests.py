#!/usr/bin/env python3
"""The end of the session in a real Xfce session (xfce4-session, xfwm4, xfce4-panel on Xvfb).

    xfce_session_tests.py PROGRAM ARTIFACTS_DIR TEST

BAYMINDER_XSMP_CANCELLER names the helper client that calls a logout off (xsmp_canceller.cpp).
The program runs on the demo machine (machines/demo.json): on a first run D: (a disc) is
checked, ejected and listed at the end of the session.
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import time

from harness import SKIP, Failure, Trace, check, poll
from xfce import IDLE, SHUTDOWN, XfceSession, missing

HERE = os.path.dirname(os.path.abspath(__file__))
NOT_REGISTERED = (r"^bayminder\.session: not registered with the session manager at \S+: "
                  r"Authentication Rejected")


class App:
    """One run of the program as a client of the session, with the trace on."""

    def __init__(self, xfce, machine, *args, env=None):
        self.proc = xfce.start([xfce.program, "--simulate", machine] + list(args),
                               env=dict({"QT_QPA_PLATFORM": "xcb",
                                         "QT_LOGGING_RULES": "bayminder.*=true"}, **(env or {})),
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                               stderr=subprocess.PIPE)
        self.pid = self.proc.pid
        self.started = time.monotonic()
        self.trace = Trace(self.proc.stderr)
        xfce.apps.append(self)

    def running(self):
        return self.proc.poll() is None

    def wait_started(self):
        self.trace.wait_for(r"^bayminder\.session: registered as ", 15)
        self.trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 15)
        # Start-up ends with closing both CD trays; the program registers after that.
        poll(lambda: len(self.trace.find(r"^bayminder\.mci: set cd door closed ")) >= 2, 15,
             what="start-up to close the CD trays")


class Canceller:
    """Another client of the session that calls every logout off."""

    def __init__(self, xfce):
        self.proc = xfce.start([os.environ["BAYMINDER_XSMP_CANCELLER"]], stdout=subprocess.PIPE,
                               stderr=subprocess.DEVNULL)
        self.trace = Trace(self.proc.stdout)
        self.trace.wait_for(r"^registered ", 10)


def doors(machine):
    with open(machine) as f:
        return {d["letter"]: d.get("door") for d in json.load(f)["drives"]}


def visible(xfce, title, pid):
    out = subprocess.run(["xdotool", "search", "--all", "--onlyvisible", "--pid", str(pid), "--name",
                          f"^{title}$"], env=xfce.env, capture_output=True, text=True).stdout
    return out.split()


def icon_registered(xfce, app):
    return app.pid in xfce.status_items()


def test_checkpoint_and_registration(xfce, machine):
    # Without the session manager's ICE cookie: told why, and the program still runs.
    stray = App(xfce, machine, env={"ICEAUTHORITY": os.path.join(xfce.tmp, "no-cookie")})
    stray.trace.wait_for(NOT_REGISTERED, 15)
    stray.trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 15)
    check(stray.running(), "the program ended when it could not register")
    stray.proc.send_signal(signal.SIGKILL)
    stray.proc.wait(10)

    # Started as an earlier session's restart command would (Qt's own arguments).
    app = App(xfce, machine, "-session", "10d2d0c5e8f000170000000000012340000_1733580000",
              "-name", "bayminder")
    app.wait_started()
    poll(lambda: icon_registered(xfce, app), 10, what="the icon with the panel's watcher")
    clients = poll(lambda: [c for c in xfce.clients("Program", "ProcessID", "RestartStyleHint")
                            if c.get("ProcessID") == str(app.pid)], 10,
                   what="the program among the session's clients")
    check(clients[0].get("RestartStyleHint") == 3,
          f"restart style {clients[0].get('RestartStyleHint')}, expected 3 (never)")
    check(clients[0].get("Program", "").endswith("bayminder"), f"client {clients[0]}")

    before = doors(machine)
    mark = app.trace.mark()
    xfce.sm("Checkpoint", "string:")
    app.trace.wait_for(r"^bayminder\.session: SaveYourself checkpoint", 10, mark)
    app.trace.wait_for(r"^bayminder\.session: SaveYourselfDone$", 10, mark)
    poll(lambda: xfce.state() == IDLE, 10, what="the checkpoint to end")
    check(app.trace.stays_absent(r"^bayminder\.(tray: NIM_DELETE|mci: set cd door|forms: show )",
                                 2, mark), "a checkpoint touched the icon, a door or a window")
    check(doors(machine) == before, "a checkpoint moved a door")
    check(app.running() and icon_registered(xfce, app), "the program or its icon went")


def test_logout_cancelled_then_done(xfce, machine):
    app = App(xfce, machine)
    app.wait_started()
    canceller = Canceller(xfce)
    mark = app.trace.mark()
    xfce.logout()
    # Let in after the other client's cancel, the program finds xfce4-session no longer shutting
    # down and saves as for a checkpoint.
    app.trace.wait_for(r"^bayminder\.session: (SaveYourself shutdown|a save with shutdown set, "
                       r"but xfce4-session is not shutting down)", 10, mark)
    # The clients are let in one at a time, in an order that varies: the program's whole check
    # may come before the other client's turn; a check after the cancel or during it ends early.
    canceller.trace.wait_for(r"^Interact$", 20)
    poll(lambda: xfce.state() == IDLE, 30, 0.1, what="the session to go on")
    poll(lambda: not visible(xfce, "Bayminder Notification", app.pid), 3,
         what="no notification")
    app.trace.wait_for(r"^bayminder\.session: (ShutdownCancelled|the session manager calls "
                       r"the shutdown off)$", 5, mark)
    # Told before its check was over, the program must not have counted down to the end.
    said = [text for _, text in app.trace.lines[mark:] if text.startswith("bayminder.session")]
    told = next(i for i, text in enumerate(said) if "ShutdownCancelled" in text
                or "calls the shutdown off" in text)
    if "bayminder.session: SaveYourselfDone" not in said[:told]:
        check(not app.trace.find(r"^bayminder\.beep: 64$", mark),
              "the countdown ran to its end after the logout was called off")
    deleted = app.trace.find(r"^bayminder\.tray: NIM_DELETE$", mark)
    if deleted:
        app.trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 5, mark)
    poll(lambda: icon_registered(xfce, app), 10, what="the icon back with the panel's watcher")
    check(not app.trace.find(r"^bayminder\.session: Die$", mark), "told to die")
    check(app.running(), "the program ended after a cancelled logout")

    # The session then really ends: held until the notification has hidden itself.
    canceller.proc.kill()
    mark = app.trace.mark()
    asked = time.monotonic()
    xfce.logout()
    shown_at, _ = app.trace.wait_for(r"^bayminder\.forms: show frmMonitor$", 15, mark)
    poll(lambda: visible(xfce, "Bayminder Notification", app.pid), 10,
         what="the notification on screen")
    poll(lambda: doors(machine)["D"] == "open", 5, what="D: ejected")
    check(xfce.state() == SHUTDOWN, f"xfce4-session in state {xfce.state()} during the check")
    hidden_at, _ = app.trace.wait_for(r"^bayminder\.forms: hide frmMonitor$", 20, mark)
    died_at, _ = app.trace.wait_for(r"^bayminder\.session: Die$", 10, mark)
    check(died_at >= hidden_at, "Die came before the notification hid")
    check(9.5 <= hidden_at - shown_at <= 14,
          f"the notification stayed {hidden_at - shown_at:.1f} s, expected about 11 s")
    try:
        status = app.proc.wait(10)
    except subprocess.TimeoutExpired:
        raise Failure("the program still runs 10 s after Die") from None
    check(status == 0, f"exit status {status} after Die, expected 0")
    check(doors(machine)["D"] == "closed", "D: left open after the countdown")
    check(xfce.session_ended(20), "xfce4-session did not end")
    print(f"logout took {time.monotonic() - asked:.1f} s")


TESTS = {name[len("test_"):]: fn for name, fn in globals().items() if name.startswith("test_")}


def main():
    if len(sys.argv) != 4 or sys.argv[3] not in TESTS:
        print(f"usage: {sys.argv[0]} PROGRAM ARTIFACTS_DIR {{{','.join(TESTS)}}}",
              file=sys.stderr)
        return 2
    program, artifacts, name = sys.argv[1:]
    sys.stdout.reconfigure(line_buffering=True)
    if shutil.which("Xvfb") is None:
        print("SKIP: the desktop tests need Xvfb", file=sys.stderr)
        return SKIP
    lacking = missing() + [t for t in ("xdotool", "import") if shutil.which(t) is None]
    if lacking or not os.access(os.environ.get("BAYMINDER_XSMP_CANCELLER", ""), os.X_OK):
        print(f"FAIL {name}: missing {', '.join(lacking) or 'BAYMINDER_XSMP_CANCELLER'}",
              file=sys.stderr)
        return 1

    def stop(signum, _):
        raise Failure(f"stopped by signal {signum}")
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGALRM, stop)
    signal.alarm(110)
    started = time.monotonic()
    xfce = XfceSession(name, artifacts)
    xfce.program = os.path.abspath(program)
    xfce.apps = []
    try:
        with xfce:
            machine = os.path.join(xfce.tmp, "machine.json")
            shutil.copyfile(os.path.join(HERE, "machines", "demo.json"), machine)
            try:
                TESTS[name](xfce, machine)
            finally:
                for i, app in enumerate(xfce.apps):
                    with open(os.path.join(artifacts, f"{name}-{i + 1}.trace"), "w") as out:
                        out.write(app.trace.text(app.started) + "\n")
    except Failure as failure:
        print(f"FAIL {name}: {failure}", file=sys.stderr)
        print(f"  (traces and the session's log in {artifacts})", file=sys.stderr)
        return 1
    print(f"PASS {name} ({time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
