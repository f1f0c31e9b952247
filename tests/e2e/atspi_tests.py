#!/usr/bin/env python3
"""The properties dialogs as a screen reader meets them: found, read and used through AT-SPI.

    atspi_tests.py PROGRAM ARTIFACTS_DIR TEST

Only the double click that opens the first dialog goes through the X server (the tray icon is
not in the accessibility tree); everything after it is an accessibility call.
"""

import sys

import a11y
from dialogs_tests import WRITE, started, stored
from harness import check, main

CHECK_BOXES = ["Auto Eject", "Notify User", "Monitor at Shutdown:", "Tray Toggle",
               "Status ToolTip"]
BUTTONS = ["OK", "Cancel", "Advanced..."]
WINDOW_ROLES = ("frame", "dialog", "window", "filler")


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


def test_atspi_dialogs(desktop):
    acc = a11y.A11y(desktop)
    app, icon = started(desktop, closes=2)
    root = acc.application(app)
    check(root.name == "Bayminder", f"the application is named {root.name!r}")
    desktop.click_icon(icon, repeat=2)
    win = acc.window("Bayminder Properties")
    check(win.getRoleName() in WINDOW_ROLES, f"the window's role is {win.getRoleName()!r}")
    if win.getRoleName() not in ("frame", "dialog"):
        print(f"NOTE: the properties window has the role {win.getRoleName()!r}, "
              "not dialog or frame", file=sys.stderr)

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
    for name in ("Auto Eject", "Tray Toggle"):
        check(not acc.has(acc.find(win, name, "check box"), "enabled"),
              f"{name} is enabled on a drive that cannot eject")
    kind, media = acc.labelled(win, "Drive Type:"), acc.labelled(win, "Media Status:")
    tray = acc.labelled(win, "Tray Status:")
    check(acc.text(kind) == "Removable", f"Drive Type: reads {acc.text(kind)!r} on F:")
    acc.wait_text(media, "Loaded", timeout=3)  # after the first status tick
    check(not acc.has(tray, "showing"), "Tray Status: is shown for a drive without a tray")

    way = select_tab(acc, win, "(D:)")
    print(f"NOTE: tab selected by {way}", file=sys.stderr)
    acc.wait_text(kind, "CD")
    acc.wait_state(tray, "showing")
    acc.wait_text(tray, "Closed", timeout=3)
    acc.wait_text(media, "Loaded", timeout=3)
    marks = checked(acc, win)
    check(all(marks.values()), f"D: reads {marks}, expected all five checked")

    tooltip = acc.find(win, "Status ToolTip", "check box")
    acc.act(tooltip, "toggle", "click", "press")
    acc.wait_state(tooltip, "checked", on=False)

    advanced = acc.find(win, "Advanced...", "push button")
    acc.act(advanced, "press", "click")
    adv = acc.window("Bayminder Advanced Properties")
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
    check(settings["D"]["7"] == "0", f"D: stored Status ToolTip {settings['D']['7']!r}, "
                                     "expected '0'")
    check(settings["E"]["7"] == "1", "OK changed E:'s Status ToolTip")


TESTS = {name[len("test_"):]: fn for name, fn in globals().items() if name.startswith("test_")}

if __name__ == "__main__":
    a11y.use_pyatspi_python()
    sys.exit(main(TESTS, also_missing=a11y.missing))
