#!/usr/bin/env python3
"""The tray program under stress and faults, on a private X desktop with trayer.

    hardening_tests.py PROGRAM ARTIFACTS_DIR TEST

Many copies started at once, devices that refuse to open, a machine file that goes away, and an
end of the session on a machine where every CD drive is faulty.
"""

import json
import os
import signal
import sys
import time

from desktop_tests import started
from harness import Failure, check, main, poll

SHOWN = r"^bayminder\.(forms: show |tray: NIM_ADD)"


def write_machine(desktop, change, machine=None, app=None):
    """Changes the machine file (or puts machine back) as another program would: a new file put
    in place at once. With app, returns once the program has taken the change in (its notice
    rebuilt the tooltip), so that the probes of that rebuild are not taken for those of a click."""
    mark = app.trace.mark() if app else 0
    machine = machine or desktop.read_machine()
    change({d["letter"]: d for d in machine["drives"]})
    tmp = desktop.machine + ".new"
    with open(tmp, "w") as f:
        json.dump(machine, f)
    os.replace(tmp, desktop.machine)
    if app:
        noticed, _ = app.trace.wait_for(r"^bayminder\.notices: ", 5, mark)
        poll(lambda: [t for t, _ in app.trace.find(r"^bayminder\.tray: NIM_MODIFY ", mark)
                      if t >= noticed], 8, what="the tooltip rebuilt after the change")


def test_concurrent_starts(desktop):
    for round_no in range(10):
        copies = [desktop.start() for _ in range(20)]
        started_at = time.monotonic()
        poll(lambda: sum(c.running() for c in copies) <= 1, 20,
             what=f"round {round_no}: all copies but one to end")
        ended_in = time.monotonic() - started_at
        keeper = [c for c in copies if c.running()]
        check(len(keeper) == 1, f"round {round_no}: {len(keeper)} copies kept running")
        keeper[0].trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 15)
        for copy in copies:
            if copy is keeper[0]:
                continue
            check(copy.proc.returncode == 0,
                  f"round {round_no}: a second copy ended with status {copy.proc.returncode}")
            check(not copy.trace.find(SHOWN), f"round {round_no}: a second copy showed "
                  + "; ".join(m.group(0) for _, m in copy.trace.find(SHOWN)))
        print(f"round {round_no}: the 19 others ended within {ended_in:.1f} s")
        keeper[0].proc.send_signal(signal.SIGKILL)
        keeper[0].wait_exit(5)


def message_boxes(desktop, app):
    return [w for w in desktop.visible_windows("Bayminder", app)
            if "DIALOG" in desktop.window_type(w)]


def dismiss_box(desktop, app):
    """Waits for a message box and closes it with Enter, as a user would."""
    box = poll(lambda: message_boxes(desktop, app), 15, what="a message box")[0]
    desktop.focus(box)
    desktop.key("Return")
    poll(lambda: box not in message_boxes(desktop, app), 5, what="the message box to close")


def click_and_settle(desktop, app, icon):
    """One click on the icon; returns the trace mark from before it once the toggle ran."""
    mark = app.trace.mark()
    desktop.click_icon(icon)
    app.trace.wait_for(r"^bayminder\.mci: open D: ", 5, mark)
    return mark


def moves_again(desktop, app, icon, when):
    """Clicks (at most twice) until D:'s door moves, each command answered by the drive."""
    before = desktop.door("D")
    for _ in range(2):
        mark = click_and_settle(desktop, app, icon)
        app.trace.wait_for(r"^bayminder\.mci: set cd door \w+ => 0 ", 5, mark)
        try:
            poll(lambda: desktop.door("D") != before, 2, what=f"D: to move {when}")
            return
        except Failure:  # the first click may have asked for where the door was
            continue
    check(False, f"D: did not move in two clicks {when}")


def test_device_faults(desktop):
    # The CD drives out of the tooltip: its rebuilds (on the machine file's changes) would probe
    # D: too, and their traced faults would be taken for the clicks'.
    cd = {"1": "3", "2": "1", "3": "1", "4": "1", "5": "True", "6": "True", "7": "0", "8": "1"}
    desktop.write_settings({"D": cd, "E": cd})
    app, icon = started(desktop)

    # 291 stands for every code (the texts of each are the unit tests' part).
    text = r"Another program is using the cd\\rBayminder has tried"
    write_machine(desktop, lambda d: d["D"].update(mciOpenError=291), app=app)
    mark = click_and_settle(desktop, app, icon)
    app.trace.wait_for(r'^bayminder\.msgbox: 0 "Bayminder" "' + text, 10, mark)
    dismiss_box(desktop, app)
    # The same fault again is only traced: no box a second for as long as it lasts.
    mark = click_and_settle(desktop, app, icon)
    app.trace.wait_for(r'^bayminder\.msgbox: not shown: 0 "Bayminder" "' + text, 5, mark)
    check(not app.trace.find(r"^bayminder\.msgbox: 0 ", mark), "291 was shown twice")
    check(app.running(), "the program ended on the fault")

    # The fault goes away: the door commands reach the drive again. The record may still hold
    # the state the failed probes guessed, so the first click can ask for where the door is.
    write_machine(desktop, lambda d: d["D"].update(mciOpenError=0), app=app)
    moves_again(desktop, app, icon, "once its device opens again")

    # The machine file goes away for a while: door moves are refused, nothing is written.
    saved = desktop.read_machine()
    os.remove(desktop.machine)
    mark = click_and_settle(desktop, app, icon)
    app.trace.wait_for(r"^bayminder\.mci: set cd door \w+.* => 262 ", 5, mark)
    check(not os.path.exists(desktop.machine), "a refused door move wrote the machine file")
    write_machine(desktop, lambda d: None, saved)
    moves_again(desktop, app, icon, "once the file is back")
    check(app.running(), "the program ended")


def test_session_end_with_faulty_drives(desktop):
    # Both CD drives refuse to open; only the stick in F: still answers, so the notification lists
    # it while no message box may hold up the end.
    write_machine(desktop, lambda d: (d["D"].update(mciOpenError=291),
                                      d["E"].update(mciOpenError=5)))
    desktop.write_settings({"F": {"1": "1", "2": "1", "3": "0", "4": "1", "5": "False",
                                  "6": "False", "7": "1", "8": "0"}})
    app = desktop.start()
    app.trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 15)
    # Start-up tells the faults; close those boxes as a user would.
    for _ in range(2):
        dismiss_box(desktop, app)
    desktop.wait_tray_icon(app)

    mark = app.trace.mark()
    asked = time.monotonic()
    check(desktop.logind("shutdown", "true").returncode == 0, "could not emit PrepareForShutdown")
    app.trace.wait_for(r"^bayminder\.forms: show frmMonitor$", 10, mark)
    app.trace.wait_for(r"^bayminder\.forms: hide frmMonitor$", 14, mark)
    poll(lambda: not desktop.logind_json("inhibitors"), 5, what="the delay lock to be released")
    took = time.monotonic() - asked
    check(took <= 12.5, f"the end of the session took {took:.1f} s, expected at most 12 s")
    check(not app.trace.find(r"^bayminder\.msgbox: \d", mark),
          "a message box held up the end of the session")
    check(app.trace.find(r'^bayminder\.msgbox: not shown: ', mark), "the faults were not traced")


TESTS = {name[len("test_"):]: fn for name, fn in globals().items() if name.startswith("test_")}

if __name__ == "__main__":
    sys.exit(main(TESTS))
