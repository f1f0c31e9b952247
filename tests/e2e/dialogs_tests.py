#!/usr/bin/env python3
"""Acceptance tests of the properties dialogs, used by mouse and keyboard on a private desktop.

    dialogs_tests.py PROGRAM ARTIFACTS_DIR TEST

Input goes in through the X server (xdotool), as a user's would. What the controls show is read
back through the accessibility bus, which tells the focus and the check marks without guessing
at pixels; what the dialogs did is read from the settings file and the trace.
"""

import configparser
import sys

import a11y
from harness import check, main
from desktop_tests import choose, started

WRITE = r'^bayminder\.settings: write (\S+) (\d) "(.*)"$'
KEYS = [str(k) for k in range(1, 9)]

# E: as a CD drive that ejects but cannot close its tray (stored capabilities are believed):
# the one kind of drive on which "Notify User" can be cleared while "Auto Eject" stays on.
EJECT_ONLY_E = {"E": {"1": "3", "2": "1", "3": "1", "4": "1", "5": "True", "6": "False",
                      "7": "1", "8": "0"}}


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


def click(desktop, acc, node):
    desktop.click(*acc.center(node))


def on_tab_e(desktop, acc, wid, win):
    """From the first tab, (F:), to E:'s with the Right key; E:'s two check boxes."""
    desktop.focus(wid)
    acc.wait_focus(win, "(F:)")  # the tab strip starts with the focus
    desktop.key("Right")
    acc.wait(lambda: acc.current_tab(win) == "(E:)", "the tab (E:) after the Right key")
    return acc.find(win, "Auto Eject", "check box"), acc.find(win, "Notify User", "check box")


def test_properties_keyboard(desktop):
    """E: ejects but cannot close its tray; the tab order and the buttons are the AT-SPI test's."""
    acc = a11y.A11y(desktop)
    desktop.write_settings(EJECT_ONLY_E)
    app, icon = started(desktop, closes=1)  # only D: can close
    acc.application(app)
    wid, win = open_properties(desktop, acc, app, icon)
    eject, notify = on_tab_e(desktop, acc, wid, win)
    check(acc.has(eject, "checked") and acc.has(notify, "checked"), "E: shows a stored 1 clear")
    # Each accelerator moves the focus to its check box and clicks it; with neither left
    # checked, the dialog checks Notify User again.
    for key, box, name in (("alt+n", notify, "Notify User"), ("alt+e", eject, "Auto Eject")):
        desktop.key(key)
        acc.wait_focus(win, name)
        acc.wait_state(box, "checked", on=False)
    acc.wait_state(notify, "checked")
    # Leaving the tab puts E:'s changes into its record, which only Cancel's reload undoes.
    click(desktop, acc, acc.find(win, "(D:)", "page tab"))
    acc.wait(lambda: acc.current_tab(win) == "(D:)", "the tab (D:) after a click on it")

    # Esc is Cancel: the window goes and nothing is written.
    before = open(desktop.settings_file, "rb").read()
    mark = app.trace.mark()
    desktop.key("Escape")
    desktop.wait_window_gone("Bayminder Properties", app)
    app.trace.wait_for(r"^bayminder\.forms: unload frmProperties", 5, mark)
    check(not app.trace.find(WRITE, mark), "Cancel wrote settings")
    check(open(desktop.settings_file, "rb").read() == before, "Cancel changed the settings file")

    # Again from the tray menu: loaded afresh with the stored values.
    choose(desktop, app, icon, "p", r"^bayminder\.forms: show frmProperties$")
    wid = desktop.wait_window("Bayminder Properties", app)
    win = acc.window("Bayminder Properties")
    eject, notify = on_tab_e(desktop, acc, wid, win)
    check(acc.has(eject, "checked"), "Cancel did not bring back E:'s Auto Eject")
    desktop.key("alt+n")
    acc.wait_state(notify, "checked", on=False)

    # Tab on to OK and press it with the space bar.
    for _ in range(10):
        if acc.focused(win) == "OK":
            break
        was = acc.focused(win)
        desktop.key("Tab")
        acc.wait(lambda: acc.focused(win) != was, f"Tab to move the focus on from {was!r}")
    mark = app.trace.mark()
    desktop.key("space")
    desktop.wait_window_gone("Bayminder Properties", app)
    app.trace.wait_for(r"^bayminder\.forms: unload frmProperties", 5, mark)
    written = {(m.group(1), m.group(2)) for _, m in app.trace.find(WRITE, mark)}
    check(written >= {(letter, key) for letter in "FEDA" for key in KEYS}, "OK wrote not all")
    settings = stored(desktop)
    check([settings["E"]["3"], settings["E"]["4"], settings["D"]["4"], settings["F"]["2"]]
          == ["1", "0", "1", "0"], f"OK stored {settings}")


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
    """By mouse: a tab, Advanced..., a choice, Esc, OK and Cancel; and the README's pictures.
    The slider and what each choice does are the AT-SPI test's and the unit tests' part."""
    acc = a11y.A11y(desktop)
    app, icon = started(desktop, closes=2)
    acc.application(app)
    wid, win = open_properties(desktop, acc, app, icon)
    click(desktop, acc, acc.find(win, "(D:)", "page tab"))
    acc.wait(lambda: acc.current_tab(win) == "(D:)", "the tab (D:) after a click on it")
    acc.wait_text(acc.labelled(win, "Media Status:"), "Loaded", timeout=3)
    acc.wait_text(acc.labelled(win, "Tray Status:"), "Closed", timeout=3)
    desktop.screenshot("properties.png", wid, keep=True)

    adv_wid, adv = open_advanced(desktop, acc, app, win)
    click(desktop, acc, acc.find(adv, "Drive Letter", "radio button"))
    acc.wait_text(acc.labelled(adv, "ToolTip Sample:", roles=("label",)), "Office_95 in (R:)")
    # Esc cancels, and the other dialog's button comes back within a tick.
    mark = app.trace.mark()
    desktop.focus(adv_wid)
    desktop.key("Escape")
    desktop.wait_window_gone("Bayminder Advanced Properties", app)
    app.trace.wait_for(r"^bayminder\.forms: unload frmPropertiesAdvanced", 5, mark)
    acc.wait_state(acc.find(win, "Advanced...", "push button"), "enabled", timeout=2.5)

    adv_wid, adv = open_advanced(desktop, acc, app, win)
    acc.wait_text(acc.labelled(adv, "ToolTip Sample:", roles=("label",)), "Office_95 in CD")
    desktop.screenshot("advanced.png", adv_wid, keep=True)
    click(desktop, acc, acc.find(adv, "OK", "push button"))
    desktop.wait_window_gone("Bayminder Advanced Properties", app)
    click(desktop, acc, acc.find(win, "Cancel", "push button"))
    desktop.wait_window_gone("Bayminder Properties", app)
    check(app.running(), "the program ended with its dialogs")


TESTS = {name[len("test_"):]: fn for name, fn in globals().items() if name.startswith("test_")}

if __name__ == "__main__":
    a11y.use_pyatspi_python()
    sys.exit(main(TESTS, also_missing=a11y.missing))
