#!/usr/bin/env python3
"""The properties dialogs as a screen reader meets them: found, read and used through AT-SPI.

    atspi_tests.py PROGRAM ARTIFACTS_DIR TEST

Only the double click that opens the first dialog (the tray icon is not in the accessibility
tree) and the clicks on a greyed box go through the X server; everything else is an
accessibility call.
"""

import os
import signal
import sys

import a11y
from dialogs_tests import WRITE, started, stored
from harness import check, main

CHECK_BOXES = ["Auto Eject", "Notify User", "Monitor at Shutdown:", "Tray Toggle",
               "Status ToolTip"]
BUTTONS = ["OK", "Cancel", "Advanced..."]
# F: as stored by default, but for a greyed "Status ToolTip" (a hand-edited file).
GREYED_TOOLTIP_F = {"F": {"1": "1", "2": "0", "3": "0", "4": "1", "5": "False", "6": "False",
                          "7": "2", "8": "0"}}


def checked(acc, win):
    return {name: acc.has(acc.find(win, name, "check box"), "checked") for name in CHECK_BOXES}


def select_tab(acc, win, name):
    """Selects a page tab the way a screen reader can: Selection where the strip offers it,
    else the tab's own action. Answers which way it went."""
    strip = [n for n in acc.walk(win) if n.getRoleName() == "page tab list"][0]
    tabs = acc.tabs(win)
    index = [t.name for t in tabs].index(name)
    if "Selection" in strip.get_interfaces():
        strip.querySelection().selectChild(tabs[index].getIndexInParent())
        way = "Selection"
    else:
        way = "action " + acc.act(tabs[index], "press", "click", "switch")
    acc.wait(lambda: acc.current_tab(win) == name, f"the tab {name} selected by {way}")
    return way


def toggle(acc, node):
    """A screen reader's press of a check box; answers whether it is checked afterwards. The
    action returns once the program has handled it, rules and all."""
    acc.act(node, "toggle", "click", "press")
    return acc.has(node, "checked")


def test_atspi_dialogs(desktop):
    acc = a11y.A11y(desktop)
    desktop.write_settings(GREYED_TOOLTIP_F)
    app, icon = started(desktop, closes=2)
    root = acc.application(app)
    check(root.name == "Bayminder", f"the application is named {root.name!r}")
    desktop.click_icon(icon, repeat=2)
    win = acc.window("Bayminder Properties")
    check(win.getRoleName() == "dialog", f"the properties window's role is {win.getRoleName()!r}")
    # Each frame by its own caption, not by the one around it.
    groups = [n.getRoleName() for n in acc.all_named(win, "Drive")
              if n.getRoleName() in ("panel", "frame")]
    check(groups == ["panel"], f"groups named Drive: {groups}, expected the one panel")
    acc.find(win, "Icon Features:", "panel")

    # Every control by its caption, read as it stands on the first drive, the stick in F:.
    for name in CHECK_BOXES:
        acc.find(win, name, "check box")
    for name in BUTTONS:
        acc.find(win, name, "push button")
    check([t.name for t in acc.tabs(win)] == ["(F:)", "(E:)", "(D:)", "(A:)"],
          f"tabs {[t.name for t in acc.tabs(win)]}, expected (F:) (E:) (D:) (A:)")
    check(acc.current_tab(win) == "(F:)", f"opened on {acc.current_tab(win)!r}")
    marks = checked(acc, win)
    check(marks == {"Auto Eject": False, "Notify User": True, "Monitor at Shutdown:": False,
                    "Tray Toggle": False, "Status ToolTip": False},
          f"F: reads {marks}, expected only Notify User checked")
    tooltip = acc.find(win, "Status ToolTip", "check box")
    check(acc.has(tooltip, "indeterminate"), "the greyed Status ToolTip does not read as mixed")
    for name in ("Auto Eject", "Tray Toggle"):
        check(not acc.has(acc.find(win, name, "check box"), "enabled"),
              f"{name} is enabled on a drive that cannot eject")
    kind, media = acc.labelled(win, "Drive Type:"), acc.labelled(win, "Media Status:")
    tray = acc.labelled(win, "Tray Status:")
    check(acc.text(kind) == "Removable", f"Drive Type: reads {acc.text(kind)!r} on F:")
    acc.wait_text(media, "Loaded", timeout=3)  # after the first status tick
    check(not acc.has(tray, "showing"), "Tray Status: is shown for a drive without a tray")

    # The rules hold when a screen reader presses the boxes: Monitor shows the two below it, and
    # with Auto Eject clear, Notify User cannot be cleared.
    notify = acc.find(win, "Notify User", "check box")
    check(toggle(acc, acc.find(win, "Monitor at Shutdown:", "check box")), "Monitor stays clear")
    acc.wait_state(notify, "showing")
    check(toggle(acc, notify), "Notify User cleared beside a clear Auto Eject on F:")
    # The user's clicks on a greyed box give checked and clear only; OK stores the last.
    for mark in (True, False, True):
        desktop.click(*acc.center(tooltip))
        acc.wait_state(tooltip, "checked", on=mark)
        check(not acc.has(tooltip, "indeterminate"), "a click left Status ToolTip greyed")

    way = select_tab(acc, win, "(D:)")
    print(f"NOTE: tab selected by {way}", file=sys.stderr)
    acc.wait_text(kind, "CD")
    acc.wait_state(tray, "showing")
    acc.wait_text(tray, "Closed", timeout=3)
    acc.wait_text(media, "Loaded", timeout=3)
    marks = checked(acc, win)
    check(all(marks.values()), f"D: reads {marks}, expected all five checked")
    # A tray that closes: Auto Eject keeps Notify User checked.
    check(toggle(acc, notify), "Notify User cleared beside Auto Eject on D:")
    check(not toggle(acc, tooltip), "Status ToolTip stays checked on D:")

    advanced = acc.find(win, "Advanced...", "push button")
    acc.act(advanced, "press", "click")
    adv = acc.window("Bayminder Advanced Properties")
    check(adv.getRoleName() == "dialog", f"the advanced window's role is {adv.getRoleName()!r}")
    acc.wait_state(advanced, "enabled", on=False, timeout=2)
    sample = acc.labelled(adv, "ToolTip Sample:", roles=("label",))
    acc.wait_text(sample, "Office_95 in CD")
    slider = acc.labelled(adv, "Wait:", roles=("slider",))
    value = slider.queryValue()
    check((value.currentValue, value.minimumValue, value.maximumValue) == (10, 5, 15),
          f"the slider reads {value.currentValue} in {value.minimumValue}..{value.maximumValue},"
          " expected 10 in 5..15")
    value.currentValue = 7
    acc.wait(lambda: acc.all_named(adv, "7 Seconds", "label"), "the wait to read 7 Seconds")
    letter = acc.find(adv, "Drive Letter", "radio button")
    acc.act(letter, "toggle", "click", "press", "check")
    acc.wait_state(letter, "checked")
    check(not acc.has(acc.find(adv, "Drive Type", "radio button"), "checked"),
          "Drive Type stays checked beside Drive Letter")
    acc.wait_text(sample, "Office_95 in (R:)")
    acc.act(acc.find(adv, "OK", "push button"), "press", "click")
    acc.window_gone("Bayminder Advanced Properties")
    acc.wait_state(advanced, "enabled", timeout=2.5)

    mark = app.trace.mark()
    acc.act(acc.find(win, "OK", "push button"), "press", "click")
    acc.window_gone("Bayminder Properties")
    app.trace.wait_for(r"^bayminder\.forms: unload frmProperties", 5, mark)
    check(len(app.trace.find(WRITE, mark)) >= 32, "OK did not write the eight keys of each drive")
    settings = stored(desktop)
    expected = {("F", "2"): "1", ("F", "4"): "1", ("F", "7"): "1", ("D", "4"): "1",
                ("D", "7"): "0", ("E", "7"): "1"}
    found = {(letter, key): settings[letter][key] for letter, key in expected}
    check(found == expected, f"stored {found}, expected {expected}")

    # A message box is an alert, answered through its button. The splash bears the same title, so
    # it must be gone first.
    app.trace.wait_for(r"^bayminder\.forms: hide frmSplash", 10)
    mark = app.trace.mark()
    os.kill(app.pid, signal.SIGTERM)
    app.trace.wait_for(r"^bayminder\.msgbox: ", 5, mark)
    box = acc.window("Bayminder")
    check(box.getRoleName() == "alert", f"the message box's role is {box.getRoleName()!r}")
    acc.act(acc.find(box, "OK", "push button"), "press", "click")
    status = app.wait_exit(10)
    check(status == 0, f"exit status {status} after the message box, expected 0")


TESTS = {name[len("test_"):]: fn for name, fn in globals().items() if name.startswith("test_")}

if __name__ == "__main__":
    a11y.use_pyatspi_python()
    sys.exit(main(TESTS, also_missing=a11y.missing))
