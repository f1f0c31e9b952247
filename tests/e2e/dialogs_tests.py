#!/usr/bin/env python3
"""Acceptance tests of the properties dialogs, used by mouse and keyboard on a private desktop.

    dialogs_tests.py PROGRAM ARTIFACTS_DIR TEST

Input goes in through the X server (xdotool), as a user's would. What the controls show is read
back through the accessibility bus, which tells the focus and the check marks without guessing
at pixels; what the dialogs did is read from the settings file and the trace.
"""

import configparser
import os
import re
import shutil
import sys

import a11y
from harness import check, main, poll
from desktop_tests import choose

REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
WRITE = r'^bayminder\.settings: write (\S+) (\d) "(.*)"$'
KEYS = [str(k) for k in range(1, 9)]

# E: as a CD drive that ejects but cannot close its tray (stored capabilities are believed):
# the one kind of drive on which "Notify User" can be cleared while "Auto Eject" stays on.
EJECT_ONLY_E = {"E": {"1": "3", "2": "1", "3": "1", "4": "1", "5": "True", "6": "False",
                      "7": "1", "8": "0"}}


def started(desktop, closes):
    """Starts the program and waits for its icon and for start-up to close the trays that can."""
    app = desktop.start()
    app.trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 15)
    poll(lambda: len(app.trace.find(r"^bayminder\.mci: set cd door closed ")) >= closes, 15,
         what="start-up to close the CD trays")
    return app, desktop.wait_tray_icon(app)


def keep_screenshot(path, name):
    """The README's pictures are refreshed only when asked for."""
    if os.environ.get("BAYMINDER_UPDATE_SCREENSHOTS"):
        os.makedirs(os.path.join(REPO, "docs", "screenshots"), exist_ok=True)
        shutil.copyfile(path, os.path.join(REPO, "docs", "screenshots", name))


def stored(desktop):
    """The settings file as {section: {key: text}}."""
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(desktop.settings_file)
    return {s: dict(parser[s]) for s in parser.sections()}


def open_properties(desktop, acc, app, icon):
    mark = app.trace.mark()
    desktop.click_icon(icon, repeat=2)
    app.trace.wait_for(r"^bayminder\.forms: show frmProperties$", 5, mark)
    wid = desktop.wait_window("Bayminder Properties", app)
    return wid, acc.window("Bayminder Properties")


def press_key(desktop, acc, window, key, focus=None):
    """Types key and, when given, waits for the focus to land on focus."""
    desktop.key(key)
    if focus is not None:
        acc.wait_focus(window, focus)


def click(desktop, acc, node):
    desktop.click(*acc.center(node))


def test_properties_keyboard(desktop):
    acc = a11y.A11y(desktop)
    desktop.write_settings(EJECT_ONLY_E)
    app, icon = started(desktop, closes=1)  # only D: can close
    acc.application(app)
    wid, win = open_properties(desktop, acc, app, icon)
    # The table runs from the highest letter down: F: first, opened on its tab.
    check([t.name for t in acc.tabs(win)] == ["(F:)", "(E:)", "(D:)", "(A:)"],
          f"tabs {[t.name for t in acc.tabs(win)]}, expected (F:) (E:) (D:) (A:)")
    check(acc.current_tab(win) == "(F:)", f"opened on {acc.current_tab(win)!r}, expected (F:)")
    acc.wait_text(acc.labelled(win, "Drive Type:"), "Removable")

    desktop.focus(wid)
    acc.wait_focus(win, "(F:)")  # the tab strip starts with the focus
    desktop.key("Right")
    acc.wait(lambda: acc.current_tab(win) == "(E:)", "the tab (E:) after the Right key")
    acc.wait_text(acc.labelled(win, "Drive Type:"), "CD")
    eject, notify = acc.find(win, "Auto Eject", "check box"), acc.find(win, "Notify User",
                                                                       "check box")
    check(acc.has(eject, "checked") and acc.has(notify, "checked"),
          "E: shows Auto Eject or Notify User clear; its stored settings have both on")

    # Each accelerator moves the focus to its check box and clicks it.
    press_key(desktop, acc, win, "alt+n", focus="Notify User")
    acc.wait_state(notify, "checked", on=False)
    press_key(desktop, acc, win, "alt+e", focus="Auto Eject")
    acc.wait_state(eject, "checked", on=False)
    # Neither left checked: the dialog checks Notify User again.
    acc.wait_state(notify, "checked")
    press_key(desktop, acc, win, "Tab", focus="Notify User")
    # Leaving the tab puts E:'s changes into its record, which only Cancel's reload undoes.
    click(desktop, acc, acc.find(win, "(D:)", "page tab"))
    acc.wait(lambda: acc.current_tab(win) == "(D:)", "the tab (D:) after a click on it")

    # Esc is Cancel: the window goes and nothing is written.
    before = open(desktop.settings_file, "rb").read()
    mark = app.trace.mark()
    desktop.key("Escape")
    desktop.wait_window_gone("Bayminder Properties", app)
    app.trace.wait_for(r"^bayminder\.forms: unload frmProperties", 5, mark)
    check(not app.trace.find(WRITE, mark), "Cancel wrote settings: "
          + "; ".join(m.group(0) for _, m in app.trace.find(WRITE, mark)))
    check(open(desktop.settings_file, "rb").read() == before, "Cancel changed the settings file")

    # Again from the tray menu: loaded afresh, on the first tab, with the stored values.
    choose(desktop, app, icon, "p", r"^bayminder\.forms: show frmProperties$")
    wid = desktop.wait_window("Bayminder Properties", app)
    win = acc.window("Bayminder Properties")
    check(acc.current_tab(win) == "(F:)", f"reopened on {acc.current_tab(win)!r}, expected (F:)")
    desktop.focus(wid)
    acc.wait_focus(win, "(F:)")
    desktop.key("Right")
    acc.wait(lambda: acc.current_tab(win) == "(E:)", "the tab (E:) after the Right key")
    eject, notify = acc.find(win, "Auto Eject", "check box"), acc.find(win, "Notify User",
                                                                       "check box")
    check(acc.has(eject, "checked"), "Cancel did not bring back E:'s Auto Eject")
    press_key(desktop, acc, win, "alt+n", focus="Notify User")
    acc.wait_state(notify, "checked", on=False)

    # Tab on to OK and press it with the space bar.
    for _ in range(10):
        if acc.focused(win) == "OK":
            break
        was = acc.focused(win)
        desktop.key("Tab")
        acc.wait(lambda: acc.focused(win) != was, f"Tab to move the focus on from {was!r}")
    check(acc.focused(win) == "OK", "ten presses of Tab did not reach OK")
    mark = app.trace.mark()
    desktop.key("space")
    desktop.wait_window_gone("Bayminder Properties", app)
    app.trace.wait_for(r"^bayminder\.forms: unload frmProperties", 5, mark)
    written = {(m.group(1), m.group(2)) for _, m in app.trace.find(WRITE, mark)}
    wanted = {(letter, key) for letter in "FEDA" for key in KEYS}
    check(wanted <= written, f"OK did not write {sorted(wanted - written)}")
    settings = stored(desktop)
    for letter in "FEDA":
        check(sorted(settings.get(letter, {})) == KEYS,
              f"[{letter}] holds the keys {sorted(settings.get(letter, {}))}, expected 1 to 8")
    check(settings["E"]["4"] == "0" and settings["E"]["3"] == "1",
          f"E: stored Eject {settings['E']['3']!r} and Notify {settings['E']['4']!r}, "
          "expected '1' and '0'")
    check(settings["D"]["4"] == "1" and settings["F"]["2"] == "0",
          "OK changed a drive that was not edited")


def tooltip_after_hover(desktop, app, icon):
    """The tooltip text the tray sets when the pointer next moves over the icon."""
    _, x, y, w, h = icon
    desktop.move_pointer(5, 700)
    mark = app.trace.mark()
    desktop.move_pointer(x + 2, y + 2)
    desktop.move_pointer(x + w // 2, y + h // 2)
    _, m = app.trace.wait_for(r'^bayminder\.tray: NIM_MODIFY "(.*)"$', 5, mark)
    return m.group(1)


def open_advanced(desktop, acc, app, win):
    mark = app.trace.mark()
    button = acc.find(win, "Advanced...", "push button")
    click(desktop, acc, button)
    app.trace.wait_for(r"^bayminder\.forms: show frmPropertiesAdvanced$", 5, mark)
    wid = desktop.wait_window("Bayminder Advanced Properties", app)
    # The button follows the other dialog: disabled while it is open.
    acc.wait_state(button, "enabled", on=False, timeout=2)
    return wid, acc.window("Bayminder Advanced Properties")


def test_advanced_dialog(desktop):
    acc = a11y.A11y(desktop)
    app, icon = started(desktop, closes=2)
    acc.application(app)
    wid, win = open_properties(desktop, acc, app, icon)
    click(desktop, acc, acc.find(win, "(D:)", "page tab"))
    acc.wait(lambda: acc.current_tab(win) == "(D:)", "the tab (D:) after a click on it")
    acc.wait_text(acc.labelled(win, "Drive Type:"), "CD")
    acc.wait_text(acc.labelled(win, "Media Status:"), "Loaded", timeout=3)
    acc.wait_text(acc.labelled(win, "Tray Status:"), "Closed", timeout=3)
    keep_screenshot(desktop.screenshot("properties.png", wid), "properties.png")

    adv_wid, adv = open_advanced(desktop, acc, app, win)
    desktop.focus(adv_wid)
    slider = acc.labelled(adv, "Wait:", roles=("slider",))
    acc.wait_focus(adv, "Wait:")
    for key, value in (("Right", 11), ("End", 15), ("Left", 14)):
        desktop.key(key)
        acc.wait(lambda: slider.queryValue().currentValue == value,
                 f"the slider at {value} after {key}")
        acc.wait(lambda: [n for n in acc.walk(adv) if n.name == f"{value} Seconds"],
                 f"the wait to read {value} Seconds")

    letter = acc.find(adv, "Drive Letter", "radio button")
    click(desktop, acc, letter)
    acc.wait_state(letter, "checked")
    acc.wait_text(acc.labelled(adv, "ToolTip Sample:", roles=("label",)), "Office_95 in (R:)")
    text = tooltip_after_hover(desktop, app, icon)
    check(text == "Holiday in (D:)", f"tooltip {text!r} with Drive Letter, expected "
                                     "'Holiday in (D:)'")

    # Cancel puts the defaults back, and the other dialog's button comes back within a tick.
    mark = app.trace.mark()
    desktop.focus(adv_wid)
    desktop.key("Escape")
    desktop.wait_window_gone("Bayminder Advanced Properties", app)
    app.trace.wait_for(r"^bayminder\.forms: unload frmPropertiesAdvanced", 5, mark)
    acc.wait_state(acc.find(win, "Advanced...", "push button"), "enabled", timeout=2.5)
    text = tooltip_after_hover(desktop, app, icon)
    check(text == "Holiday in CD", f"tooltip {text!r} after Cancel, expected 'Holiday in CD'")

    adv_wid, adv = open_advanced(desktop, acc, app, win)
    slider = acc.labelled(adv, "Wait:", roles=("slider",))
    check(slider.queryValue().currentValue == 10,
          f"the slider reopened at {slider.queryValue().currentValue}, expected 10")
    check(acc.all_named(adv, "10 Seconds", "label"), "the wait does not read 10 Seconds")
    check(acc.has(acc.find(adv, "Drive Type", "radio button"), "checked")
          and acc.has(acc.find(adv, "Media Label", "radio button"), "checked")
          and acc.has(acc.find(adv, "Warning Beeps", "check box"), "checked"),
          "Cancel did not bring back Drive Type, Media Label and Warning Beeps")
    acc.wait_text(acc.labelled(adv, "ToolTip Sample:", roles=("label",)), "Office_95 in CD")
    keep_screenshot(desktop.screenshot("advanced.png", adv_wid), "advanced.png")

    click(desktop, acc, acc.find(adv, "OK", "push button"))
    desktop.wait_window_gone("Bayminder Advanced Properties", app)
    click(desktop, acc, acc.find(win, "Cancel", "push button"))
    desktop.wait_window_gone("Bayminder Properties", app)
    check(app.running(), "the program ended with its dialogs")


TESTS = {name[len("test_"):]: fn for name, fn in globals().items() if name.startswith("test_")}

if __name__ == "__main__":
    a11y.use_pyatspi_python()
    sys.exit(main(TESTS, also_missing=a11y.missing))
