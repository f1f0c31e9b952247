#!/usr/bin/env python3
"""Acceptance tests of the tray program on a private X desktop with trayer as its tray host.

    desktop_tests.py PROGRAM ARTIFACTS_DIR TEST

The demo machine (machines/demo.json): a floppy with a disk in A:, a fixed C:, a CD with the
disc HOLIDAY in D:, an empty CD drive E:, a USB stick in F:. Both CD drives can eject, so on a
first run they get Monitor, Eject, Notify, StatusToolTip and TrayToggle.
"""

import os
import signal
import sys
import time

from harness import Failure, check, main, poll

TASK_MANAGER_TEXT = (r'4128 "Bayminder" "Why\'d ya do that\?  Just right click\\ron the System Tray '
                     r'Icon and pick Exit\."')

# The floppy's defaults leave it out of the tooltip; this puts it in, all else as on a first run.
FLOPPY_IN_TOOLTIP = {"A": {"1": "2", "2": "1", "3": "0", "4": "1", "5": "False", "6": "False",
                           "7": "1", "8": "0"}}


def started(desktop, *args, closes=None):
    """Starts the program and waits for its icon in trayer and the end of its start-up, which
    closes every CD tray that can close (by default, every CD drive that can eject); a click
    before that would meet the start-up's own door commands."""
    app = desktop.start(*args)
    app.trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 15)
    if closes is None:
        closes = sum(d["type"] == "cdrom" and bool(d.get("canEject"))
                     for d in desktop.read_machine()["drives"])
    poll(lambda: len(app.trace.find(r"^bayminder\.mci: set cd door closed ")) >= closes, 15,
         what="start-up to close the CD trays")
    return app, desktop.wait_tray_icon(app)


def test_icon_and_tooltip(desktop):
    desktop.write_settings(FLOPPY_IN_TOOLTIP)
    app, icon = started(desktop)
    check(len(app.trace.find(r"^bayminder\.tray: NIM_ADD ")) == 1, "the icon was added twice")
    _, x, y, w, h = icon
    # The tip is built once after start-up, pointer or not; the move below comes after its
    # second of throttle, so that it rebuilds the tip again.
    _, m = app.trace.wait_for(r'^bayminder\.tray: NIM_MODIFY "(.*)"$', 10)
    check(m.group(1) == "Holiday in CD, Myfloppy in Floppy",
          f"tooltip {m.group(1)!r} after start-up, expected 'Holiday in CD, Myfloppy in Floppy'")
    poll(lambda: not running_timers(app), 10, what="the start-up's timers to stop")
    mark = app.trace.mark()
    # A pointer move over the icon, in two steps so that the icon sees motion, not only entry.
    desktop.move_pointer(x + 2, y + 2)
    desktop.move_pointer(x + w // 2, y + h // 2)
    _, m = app.trace.wait_for(r'^bayminder\.tray: NIM_MODIFY "(.*)"$', 5, mark)
    check(m.group(1) == "Holiday in CD, Myfloppy in Floppy",
          f"tooltip {m.group(1)!r}, expected 'Holiday in CD, Myfloppy in Floppy'")
    check(not app.trace.find(r"^bayminder\.mci: set cd door", mark), "a pointer move moved a door")
    desktop.screenshot("icon.png")


def running_timers(app):
    """Host timers started and not stopped, from the trace."""
    running = set()
    for _, m in app.trace.find(r"^bayminder\.timer: (start|stop) (\d+)"):
        (running.add if m.group(1) == "start" else running.discard)(m.group(2))
    return running


def toggled_after(desktop, app, icon, door, hold_ms=0):
    """Clicks the icon and watches D: move to door in the machine file; returns how long after
    the release the door command went out and the file changed."""
    mark = app.trace.mark()
    released = desktop.click_icon(icon, hold_ms=hold_ms)
    changed_at = poll(lambda: desktop.door("D") == door and time.monotonic(), 5, interval=0.01,
                      what=f"D: {door} in the machine file")
    command = "open" if door == "open" else "closed"
    sent_at, _ = app.trace.wait_for(rf"^bayminder\.mci: set cd door {command} ", 5, mark)
    return sent_at - released, changed_at - released


def test_clicks_on_the_icon(desktop):
    app, icon = started(desktop)
    sent, changed = toggled_after(desktop, app, icon, "open")
    check(0.4 <= sent < 3.0 and 0.4 <= changed < 3.0,
          f"the door command went out {sent * 1000:.0f} ms and the file changed "
          f"{changed * 1000:.0f} ms after the release, expected about 500 ms")

    # A click held down a while: the half second counts from the release, not the press.
    mark = app.trace.mark()
    sent, changed = toggled_after(desktop, app, icon, "closed", hold_ms=300)
    check(0.4 <= sent < 3.0 and 0.4 <= changed < 3.0,
          f"the door closed {sent * 1000:.0f} ms after a release that followed a 300 ms "
          "press, expected about 500 ms")
    poll(lambda: len(app.trace.find(r"^bayminder\.mci: set cd door closed ", mark)) == 2, 5,
         what="both CD drives' doors closed by the toggle")

    # A double click opens the properties once and moves no door, though a single click's
    # toggle would go out 500 ms after the first release.
    mark = app.trace.mark()
    desktop.click_icon(icon, repeat=2)
    desktop.screenshot("properties.png", desktop.wait_window("Bayminder Properties", app))
    check(app.trace.stays_absent(r"^bayminder\.mci: set cd door", 1.5, mark),
          "a double click moved a door")
    check(len(app.trace.find(r"^bayminder\.forms: show frmProperties$", mark)) == 1,
          "a double click showed the properties dialog other than once")


def open_menu(desktop, app, icon):
    before = set(desktop.popup_menus(app))
    desktop.click_icon(icon, button=3)
    return poll(lambda: [w for w in desktop.popup_menus(app) if w not in before], 3,
                what="the popup menu")[0]


def choose(desktop, app, icon, accelerator, effect):
    """Picks a menu item by its accelerator; returns the (time, match) of its trace line."""
    # A right click starts the menu's 4 s take-away timer only when it does not run already, so
    # a menu opened just before an earlier one's 4 s are up is taken away at once: try again.
    for _ in range(3):
        mark = app.trace.mark()
        try:
            menu = open_menu(desktop, app, icon)
        except Failure:
            continue
        desktop.key(accelerator)
        try:
            return app.trace.wait_for(effect, 3, mark)
        except Failure:
            check(menu not in desktop.popup_menus(app), f"the menu ignored the key {accelerator}")
    raise Failure(f"the menu item {accelerator} did nothing in three tries")


def test_menu_and_exit(desktop):
    app, icon = started(desktop)
    desktop.click_icon(icon, button=3)
    poll(lambda: desktop.popup_menus(app), 3, what="the popup menu")
    desktop.screenshot("menu.png")
    desktop.key("Escape")
    # Every item by its accelerator: About (a), Properties (p), Advanced... (d), then Exit (x).
    for accelerator, form, title in (("a", "frmAbout", "About Bayminder"),
                                     ("p", "frmProperties", "Bayminder Properties"),
                                     ("d", "frmPropertiesAdvanced",
                                      "Bayminder Advanced Properties")):
        choose(desktop, app, icon, accelerator, rf"^bayminder\.forms: show {form}$")
        desktop.wait_window(title, app)
    # About closes with Esc, so that the one Exit shows is a new one.
    about = desktop.wait_window("About Bayminder", app)
    desktop.focus(about)
    desktop.key("Escape")
    desktop.wait_window_gone("About Bayminder", app)

    mark = app.trace.mark()
    deleted_at, _ = choose(desktop, app, icon, "x", r"^bayminder\.tray: NIM_DELETE$")
    desktop.wait_no_tray_icon(app)
    # Exit closes the properties dialogs at once and shows About a second later.
    desktop.wait_window_gone("Bayminder Properties", app, timeout=5)
    desktop.wait_window_gone("Bayminder Advanced Properties", app, timeout=5)
    shown_at, _ = app.trace.wait_for(r"^bayminder\.forms: show frmAbout$", 5, mark)
    about = desktop.wait_window("About Bayminder", app, timeout=5)
    delay = shown_at - deleted_at
    check(0.8 <= delay <= 3, f"About came {delay * 1000:.0f} ms after the icon went, "
                             "expected about 1 s")
    check(app.running(), "the program ended with its About window")
    desktop.focus(about)
    desktop.key("Return")
    # The splash that About read its version from closes 5 s after its load; then the end.
    status = app.wait_exit(10)
    check(status == 0, f"exit status {status} after About closed, expected 0")


def test_task_manager_close(desktop):
    app, _ = started(desktop)
    before = set(desktop.visible_windows("Bayminder", app))
    mark = app.trace.mark()
    os.kill(app.pid, signal.SIGTERM)
    app.trace.wait_for(r"^bayminder\.tray: NIM_DELETE$", 5, mark)
    app.trace.wait_for(r"^bayminder\.msgbox: " + TASK_MANAGER_TEXT + "$", 5, mark)
    desktop.wait_no_tray_icon(app)
    box = desktop.wait_window("Bayminder", app, exclude=before)
    desktop.screenshot("task-manager.png", box)
    # The box is modal: the program waits for the user, not for a timer.
    check(app.running(), "the program ended before the message box was answered")
    desktop.focus(box)
    desktop.key("Return")
    status = app.wait_exit(10)
    check(status == 0, f"exit status {status} after the message box, expected 0")


def test_session_end(desktop):
    app, _ = started(desktop)
    held = desktop.logind_json("inhibitors")
    check(any(row[0] == "shutdown" and row[3] == "delay" for row in held),
          f"no shutdown delay lock taken at start: {held}")

    mark = app.trace.mark()
    check(desktop.logind("shutdown", "true").returncode == 0, "could not emit PrepareForShutdown")
    app.trace.wait_for(r"^bayminder\.tray: NIM_DELETE$", 5, mark)
    shown_at, _ = app.trace.wait_for(r"^bayminder\.forms: show frmMonitor$", 10, mark)
    wid = desktop.wait_window("Bayminder Notification", app)
    desktop.wait_no_tray_icon(app)
    # D: has its disc ejected (Eject is on for a CD that can eject) and stays listed.
    poll(lambda: desktop.door("D") == "open", 5, what="D: ejected for the notification")
    app.trace.wait_for(r"^bayminder\.beep: 0$", 3, mark)
    desktop.screenshot("notification.png", wid, keep=True)

    # Nine beeps a second apart, the asterisk at the tenth second, then it hides itself.
    app.trace.wait_for(r"^bayminder\.beep: 64$", 15, mark)
    hidden_at, _ = app.trace.wait_for(r"^bayminder\.forms: hide frmMonitor$", 5, mark)
    beeps = [m.group(1) for _, m in app.trace.find(r"^bayminder\.beep: (\d+)$", mark)]
    check(beeps == ["0"] * 9 + ["64"], f"beeps {beeps}, expected nine 0 then one 64")
    waited = hidden_at - shown_at
    check(9.5 <= waited <= 14, f"the notification stayed {waited:.1f} s, expected about 11 s")
    desktop.wait_window_gone("Bayminder Notification", app, timeout=5)
    poll(lambda: desktop.door("D") == "closed", 5, what="D: closed again after the notification")
    poll(lambda: not desktop.logind_json("inhibitors"), 5, what="the delay lock to be released")
    check(app.running(), "the program ended before logind ended the session")

    # The shutdown is called off: the icon comes back.
    mark = app.trace.mark()
    check(desktop.logind("shutdown", "false").returncode == 0, "could not emit PrepareForShutdown")
    app.trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 5, mark)
    desktop.wait_tray_icon(app)
    # ...and the next shutdown is held again.
    poll(lambda: any(row[0] == "shutdown" and row[3] == "delay"
                     for row in desktop.logind_json("inhibitors")), 5,
         what="a new delay lock after the shutdown was called off")


TESTS = {name[len("test_"):]: fn for name, fn in globals().items() if name.startswith("test_")}

if __name__ == "__main__":
    sys.exit(main(TESTS))
