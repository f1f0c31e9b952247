#!/usr/bin/env python3
"""The tray program on a private X desktop with trayer as its tray host: clicks, menu, the end
of the session through logind, many copies at once, faulty devices.
The demo machine (machines/demo.json): a floppy with a disk in A:, a fixed C:, a CD with the
disc HOLIDAY in D:, an empty CD drive E:, a USB stick in F:. Both CD drives can eject, so on a
first run they get Monitor, Eject, Notify, StatusToolTip and TrayToggle.
"""

import os
import signal
import sys
import time

from harness import ADDED, DELETED, LOGIND, Failure, check, main, poll

TIP = r'^bayminder\.tray: NIM_MODIFY "(.*)"$'
DOOR = r"^bayminder\.mci: set cd door"
# The menu's items: accelerator, exported label, window, title.
MENU = [("a", "_About", "frmAbout", "About Bayminder"),
        ("p", "_Properties", "frmProperties", "Bayminder Properties"),
        ("d", "A_dvanced...", "frmPropertiesAdvanced", "Bayminder Advanced Properties")]


def drive(*values):
    """A drive's section of the settings file: kind, monitor, eject, notify, can eject, can close,
    tooltip, toggle."""
    return {str(i + 1): str(v) for i, v in enumerate(values)}


def running_timers(app):
    """Host timers started and not stopped, from the trace."""
    running = set()
    for _, m in app.trace.find(r"^bayminder\.timer: (start|stop) (\d+)"):
        (running.add if m.group(1) == "start" else running.discard)(m.group(2))
    return running


def close_about(desktop, app, key):
    desktop.focus(desktop.wait_window("About Bayminder", app, timeout=5))
    desktop.key(key)
    desktop.wait_window_gone("About Bayminder", app)


def test_icon_and_tooltip(desktop):
    # The floppy's defaults leave it out of the tooltip; this puts it in.
    desktop.write_settings({"A": drive(2, 1, 0, 1, False, False, 1, 0)})
    app = desktop.started()
    check(len(app.trace.find(r"^bayminder\.tray: NIM_ADD ")) == 1, "the icon was added twice")
    x, y, w, h = app.icon
    # The tip is built once after start-up, pointer or not; the move comes after its second of
    # throttle, so that it rebuilds the tip again. A move in two steps: motion, not only entry.
    mark = 0
    for move in (False, True):
        if move:
            poll("the start-up's timers to stop", lambda: not running_timers(app), 10)
            mark = app.trace.mark()
            desktop.move_pointer(x + 2, y + 2)
            desktop.move_pointer(x + w // 2, y + h // 2)
        _, m = app.trace.wait_for(TIP, 10, mark)
        check(m.group(1) == "Holiday in CD, Myfloppy in Floppy", f"tooltip {m.group(1)!r}")
    check(not app.trace.find(DOOR, mark), "a pointer move moved a door")
    desktop.screenshot("icon.png")


def test_clicks_on_the_icon(desktop):
    app = desktop.started()
    # A click toggles D: (and E:) half a second after the release; held down a while, it
    # counts from the release, not the press.
    for door, command, hold_ms in (("open", "open", 0), ("closed", "closed", 300)):
        mark = app.trace.mark()
        released = desktop.click_icon(app, hold_ms=hold_ms)
        changed = poll(f"D: {door} in the machine file",
                       lambda: desktop.door("D") == door and time.monotonic(), 5, 0.01) - released
        sent = app.trace.wait_for(rf"{DOOR} {command} ", 5, mark)[0] - released
        check(0.4 <= sent < 3.0 and 0.4 <= changed < 3.0, f"door command {sent:.2f} s, file "
              f"{changed:.2f} s after a release ({hold_ms} ms press), expected 0.5 s")
        poll("both CD drives' doors moved by the toggle",
             lambda: len(app.trace.find(rf"{DOOR} {command} ", mark)) == 2)

    # A double click opens the properties once and moves no door, though a single click's
    # toggle would go out 500 ms after the first release.
    mark = app.trace.mark()
    desktop.click_icon(app, repeat=2)
    desktop.screenshot("properties.png", desktop.wait_window("Bayminder Properties", app))
    check(app.trace.stays_absent(DOOR, 1.5, mark), "a double click moved a door")
    check(len(app.trace.find(r"^bayminder\.forms: show frmProperties$", mark)) == 1,
          "a double click showed the properties dialog other than once")


def choose(desktop, app, accelerator, effect):
    """Picks a menu item by its accelerator; returns the (time, match) of its trace line."""
    # A right click starts the menu's 4 s take-away timer only when it does not run already, so
    # a menu opened just before an earlier one's 4 s are up is taken away at once: try again.
    for _ in range(3):
        mark, before = app.trace.mark(), set(desktop.popup_menus(app))
        desktop.click_icon(app, button=3)
        try:
            menu = poll("the popup menu", lambda: set(desktop.popup_menus(app)) - before, 3)
        except Failure:
            continue
        desktop.key(accelerator)
        try:
            return app.trace.wait_for(effect, 3, mark)
        except Failure:
            check(not menu & set(desktop.popup_menus(app)),
                  f"the menu ignored the key {accelerator}")
    raise Failure(f"the menu item {accelerator} did nothing in three tries")


def menu_then_exit(desktop, app, pick):
    """Each menu item, picked by pick(accelerator, label, effect), shows its window. Then Exit:
    the icon goes, the properties dialogs close at once and About comes a second later; the
    program ends once About is closed."""
    for accelerator, label, form, title in MENU:
        pick(accelerator, label, rf"^bayminder\.forms: show {form}$")
        desktop.wait_window(title, app)
    # About closes with Esc, so that the one Exit shows is a new one.
    close_about(desktop, app, "Escape")
    mark = app.trace.mark()
    deleted_at, _ = pick("x", "E_xit", DELETED)
    poll("the icon to go", lambda: not desktop.icon_shown(app), 10)
    for _, _, _, title in MENU[1:]:
        desktop.wait_window_gone(title, app, timeout=5)
    shown_at, _ = app.trace.wait_for(r"^bayminder\.forms: show frmAbout$", 5, mark)
    check(0.8 <= shown_at - deleted_at <= 3, f"About came {shown_at - deleted_at:.2f} s after Exit")
    check(app.running(), "the program ended with its About window")
    # The splash that About read its version from closes 5 s after its load; then the end.
    close_about(desktop, app, "Return")
    check(app.wait_exit() == 0, f"exit status {app.proc.returncode} after About, expected 0")


def test_menu_and_exit(desktop):
    app = desktop.started()
    desktop.click_icon(app, button=3)
    poll("the popup menu", lambda: desktop.popup_menus(app), 3)
    desktop.screenshot("menu.png")
    desktop.key("Escape")
    menu_then_exit(desktop, app, lambda key, _, effect: choose(desktop, app, key, effect))


def session_ends(desktop, app, letter, picture=None):
    """logind's PrepareForShutdown: the icon goes, the disc in letter is ejected and listed, nine
    beeps a second apart, the asterisk at the tenth, then the notification hides, the tray closes
    and the delay lock is released, within the wait plus 2 s. Returns the mark from before."""
    mark, asked = app.trace.mark(), time.monotonic()
    desktop.prepare_for_shutdown(True)
    app.trace.wait_for(DELETED, 5, mark)
    shown_at, _ = app.trace.wait_for(r"^bayminder\.forms: show frmMonitor$", 10, mark)
    wid = desktop.wait_window("Bayminder Notification", app)
    poll("the icon to leave trayer", lambda: not desktop.icon_shown(app), 10)
    poll(f"{letter}: ejected for the notification", lambda: desktop.door(letter) == "open")
    if picture:
        app.trace.wait_for(r"^bayminder\.beep: 0$", 3, mark)
        desktop.screenshot(picture, wid, keep=True)
    app.trace.wait_for(r"^bayminder\.beep: 64$", 15, mark)
    hidden_at, _ = app.trace.wait_for(r"^bayminder\.forms: hide frmMonitor$", 5, mark)
    beeps = [m.group(1) for _, m in app.trace.find(r"^bayminder\.beep: (\d+)$", mark)]
    check(beeps == ["0"] * 9 + ["64"], f"beeps {beeps}, expected nine 0 then one 64")
    check(9.5 <= hidden_at - shown_at <= 14,
          f"the notification stayed {hidden_at - shown_at:.1f} s, expected about 11 s")
    desktop.wait_window_gone("Bayminder Notification", app, timeout=5)
    poll(f"{letter}: closed again", lambda: desktop.door(letter) == "closed")
    poll("the delay lock to be released", lambda: not desktop.delay_locks())
    took = time.monotonic() - asked
    check(took <= 12.5, f"the end of the session took {took:.1f} s, expected at most 12 s")
    check(app.running(), "the program ended before logind ended the session")
    return mark


def test_session_end(desktop):
    # D: out of the tooltip, so that only the end of the session probes it.
    desktop.write_settings({"D": drive(3, 1, 1, 1, True, True, 0, 1)})
    app = desktop.started()
    check(desktop.delay_locks(), "no shutdown delay lock taken at start")
    session_ends(desktop, app, "D", "notification.png")
    # The shutdown is called off: the icon comes back, and the next shutdown is held again.
    mark = app.trace.mark()
    desktop.prepare_for_shutdown(False)
    app.trace.wait_for(ADDED, 5, mark)
    desktop.wait_tray_icon(app)
    poll("a new delay lock after the shutdown was called off", desktop.delay_locks)

    # D: now refuses to open, a fault not told yet; a disc is put into E:. Nobody may be there
    # to close a box at the end of the session, so the fault is only traced.
    desktop.edit_machine(lambda d: (d["D"].update(mciOpenError=291),
                                    d["E"].update(disc={"label": "SUMMER", "serial": 9})))
    mark = session_ends(desktop, app, "E")
    check(not app.trace.find(r"^bayminder\.msgbox: \d", mark),
          "a message box held up the end of the session")
    check(app.trace.find(r"^bayminder\.msgbox: not shown: ", mark), "the fault was not traced")

    # logind cuts a delay at its InhibitDelayMaxUSec: the trays first, then a countdown that
    # fits in what is left, and the lock given back in time.
    desktop.bus("set-property", *LOGIND, "org.freedesktop.login1.Manager", "InhibitDelayMaxUSec",
                "t", "5000000", system=True)
    mark = app.trace.mark()
    desktop.prepare_for_shutdown(False)
    app.trace.wait_for(r"^bayminder\.session: logind holds a shutdown for at most 5000 ms", 5, mark)
    poll("a new delay lock", desktop.delay_locks)
    mark, asked = app.trace.mark(), time.monotonic()
    desktop.prepare_for_shutdown(True)
    app.trace.wait_for(r"^bayminder\.session: countdown fitted to 3 s$", 5, mark)
    app.trace.wait_for(r"^bayminder\.forms: hide frmMonitor$", 6, mark)
    poll("the delay lock to be released", lambda: not desktop.delay_locks())
    took = time.monotonic() - asked
    check(took <= 5, f"the check took {took:.1f} s, beyond logind's 5 s")
    check(len(app.trace.find(r"^bayminder\.session: check \d+: ", mark)) == 1, "checked twice")

    # The program's parent ends the session with a SIGTERM and does not wait (lxqt-session):
    # the trays at once, no window, no message box, status 0.
    mark = app.trace.mark()
    desktop.prepare_for_shutdown(False)
    app.trace.wait_for(ADDED, 5, mark)
    os.kill(app.pid, signal.SIGTERM)
    app.trace.wait_for(r"^bayminder\.session: check \d+: no windows$", 5, mark)
    check(app.wait_exit(5) == 0, f"exit status {app.proc.returncode} after the SIGTERM, expected 0")
    check(desktop.door("E") == "open", "E: not ejected at the session's SIGTERM")
    check(not app.trace.find(r"^bayminder\.(msgbox: \d|forms: show frmMonitor)", mark),
          "a window or a message box at the session's SIGTERM")


def test_concurrent_starts(desktop):
    for round_no in range(10):
        copies = [desktop.start() for _ in range(20)]
        started_at = time.monotonic()
        poll(f"round {round_no}: all copies but one to end",
             lambda: sum(c.running() for c in copies) <= 1, 20)
        ended_in = time.monotonic() - started_at
        keeper = [c for c in copies if c.running()]
        check(len(keeper) == 1, f"round {round_no}: {len(keeper)} copies kept running")
        keeper[0].trace.wait_for(ADDED, 15)
        for copy in copies:
            shown = copy.trace.find(r"^bayminder\.(forms: show |tray: NIM_ADD)")
            check(copy is keeper[0] or (copy.proc.returncode == 0 and not shown), f"round "
                  f"{round_no}: a second copy's status {copy.proc.returncode}, showed {shown}")
        print(f"round {round_no}: the 19 others ended within {ended_in:.1f} s")
        keeper[0].proc.send_signal(signal.SIGKILL)
        keeper[0].wait_exit(5)


def edit_noticed(desktop, app, change):
    """edit_machine, once the program has taken the change in (its notice rebuilt the tooltip),
    so that the probes of that rebuild are not taken for those of a click."""
    mark = app.trace.mark()
    desktop.edit_machine(change)
    noticed, _ = app.trace.wait_for(r"^bayminder\.notices: ", 5, mark)
    poll("the tooltip rebuilt after the change",
         lambda: [t for t, _ in app.trace.find(TIP, mark) if t >= noticed], 8)


def message_boxes(desktop, app):
    return [w for w in desktop.visible_windows("Bayminder", app)
            if "DIALOG" in desktop.window_type(w)]


def click_and_settle(desktop, app):
    """One click on the icon; returns the trace mark from before it once the toggle ran."""
    mark = app.trace.mark()
    desktop.click_icon(app)
    app.trace.wait_for(r"^bayminder\.mci: open D: ", 5, mark)
    return mark


def test_device_faults(desktop):
    # The CD drives out of the tooltip: its rebuilds (on the machine file's changes) would probe
    # D: too, and their traced faults would be taken for the clicks'.
    cd = drive(3, 1, 1, 1, True, True, 0, 1)
    desktop.write_settings({"D": cd, "E": cd})
    app = desktop.started()

    # 291 stands for every code (the texts of each are the unit tests' part).
    text = r'"Bayminder" "Another program is using the cd\\rBayminder has tried'
    edit_noticed(desktop, app, lambda d: d["D"].update(mciOpenError=291))
    mark = click_and_settle(desktop, app)
    app.trace.wait_for(r"^bayminder\.msgbox: 0 " + text, 10, mark)
    box = poll("a message box", lambda: message_boxes(desktop, app), 15)[0]
    desktop.focus(box)
    desktop.key("Return")
    poll("the message box to close", lambda: box not in message_boxes(desktop, app))
    # The same fault again is only traced: no box a second time for as long as it lasts.
    mark = click_and_settle(desktop, app)
    app.trace.wait_for(r"^bayminder\.msgbox: not shown: 0 " + text, 5, mark)
    check(not app.trace.find(r"^bayminder\.msgbox: 0 ", mark), "291 was shown twice")

    # The fault goes away: the door commands reach the drive again. The record may still hold
    # the state the failed probes guessed, so the first click can ask for where the door is.
    edit_noticed(desktop, app, lambda d: d["D"].update(mciOpenError=0))
    before = desktop.door("D")
    for _ in range(2):
        mark = click_and_settle(desktop, app)
        app.trace.wait_for(rf"{DOOR} \w+ => 0 ", 5, mark)
        try:
            return poll("D: to move once its device opens again",
                        lambda: desktop.door("D") != before, 2)
        except Failure:  # a retry: the second click must move it
            continue
    raise Failure("D: did not move in two clicks once its device opened again")


if __name__ == "__main__":
    sys.exit(main(globals()))
