#!/usr/bin/env python3
"""The properties dialogs on a private desktop with trayer, used by mouse and keyboard through the
X server and as a screen reader meets them, through a private AT-SPI bus. That bus tells the
focus and the check marks without guessing at pixels; what the dialogs did is read from the
settings file and the trace. The machine is machines/demo.json (see desktop_tests.py).
"""

import configparser
import os
import subprocess
import sys

from desktop_tests import DELETED, TIP, choose, drive, session_ends
from harness import Failure, check, main, poll, settle

LAUNCHER = "/usr/libexec/at-spi-bus-launcher"
WRITE = r'^bayminder\.settings: write (\S+) (\d) "(.*)"$'
PROPERTIES, ADVANCED = "Bayminder Properties", "Bayminder Advanced Properties"
FORMS = {PROPERTIES: "frmProperties", ADVANCED: "frmPropertiesAdvanced"}
CHECK_BOXES = ["Auto Eject", "Notify User", "Monitor at Shutdown:", "Tray Toggle", "Status ToolTip"]


class A11y:
    """A private accessibility bus on the desktop's session bus and display (start it before
    the program), read through pyatspi with libatspi's cache off, so that every state and text
    is asked of the program afresh."""

    def __init__(self, desktop):
        self.desktop = desktop
        desktop.spawn([LAUNCHER, "--launch-immediately"])
        address = poll("the accessibility bus", self._bus_address, 10)
        # The program finds the bus through the session bus and the display. Not through
        # AT_SPI_BUS_ADDRESS: Qt 6.4 given that address never registers with the registry.
        desktop.env.update({"QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1", "QT_ACCESSIBILITY": "1"})
        # libatspi reads these once, at its first call.
        os.environ.update({"AT_SPI_BUS_ADDRESS": address, "DISPLAY": desktop.env["DISPLAY"],
                           "DBUS_SESSION_BUS_ADDRESS": desktop.env["DBUS_SESSION_BUS_ADDRESS"]})
        import pyatspi
        self.pyatspi = pyatspi

    def _bus_address(self):
        out = self.desktop.run("xprop", "-root", "AT_SPI_BUS").stdout
        address = out.split('"')[1] if '"' in out else ""
        # The launcher sets the property before its bus listens.
        path = address.split("unix:path=", 1)[-1].split(",", 1)[0]
        return address if address and os.path.exists(path) else None

    def application(self, app):
        """The program's application object, found by its process id."""
        def found():
            desktop = self.pyatspi.Registry.getDesktop(0)
            desktop.setCacheMask(self.pyatspi.cache.NONE)
            for candidate in self.children(desktop):
                try:
                    if candidate is not None and candidate.get_process_id() == app.pid:
                        return candidate
                except Exception:  # an application that went meanwhile
                    continue
        self.root = poll("the program on the accessibility bus", found, 10, 0.1)
        self.root.setCacheMask(self.pyatspi.cache.NONE)
        return self.root

    def shown(self, title):
        return [c for c in self.children(self.root)
                if c is not None and c.name == title and self.has(c, "showing")]

    def window(self, title):
        """The shown top-level accessible named title."""
        return poll(f"the accessible window {title!r}", lambda: self.shown(title), 10, 0.1)[0]

    @staticmethod
    def children(node):
        return [node.getChildAtIndex(i) for i in range(node.childCount)]

    def walk(self, node):
        yield node
        for child in self.children(node):
            if child is not None:
                yield from self.walk(child)

    def all_named(self, within, name, role=None):
        return [n for n in self.walk(within)
                if n.name == name and (role is None or n.getRoleName() == role)]

    def find(self, within, name, role):
        """The one accessible named name of role (a role name such as "check box")."""
        found = self.all_named(within, name, role)
        check(len(found) == 1, f"{len(found)} accessibles {role}:{name} in {within.name!r}; there: "
              f"{sorted({f'{n.getRoleName()}:{n.name}' for n in self.walk(within) if n.name})}")
        return found[0]

    def labelled(self, within, label, roles=("text", "label")):
        """The accessible of one of roles that a label captioned label names (labelled-by)."""
        for node in (n for n in self.walk(within) if n.getRoleName() in roles):
            for relation in node.getRelationSet():
                targets = [relation.getTarget(i) for i in range(relation.getNTargets())]
                if relation.getRelationType() == self.pyatspi.RELATION_LABELLED_BY and any(
                        t.name == label and t.getRoleName() == "label" for t in targets):
                    return node
        raise Failure(f"nothing of {list(roles)} labelled by {label!r} in {within.name!r}")

    def tabs(self, within):
        """The page tabs of the one tab strip in within, and the strip."""
        strip = [n for n in self.walk(within) if n.getRoleName() == "page tab list"]
        check(len(strip) == 1, f"{len(strip)} tab strips in {within.name!r}, expected one")
        return [c for c in self.children(strip[0]) if c.getRoleName() == "page tab"], strip[0]

    def current_tab(self, within):
        """The name of the selected page tab. Qt 6.4 marks it as focused, never as selected."""
        marked = [t.name for t in self.tabs(within)[0]
                  if self.has(t, "selected") or self.has(t, "focused")]
        return marked[0] if len(marked) == 1 else None

    def has(self, node, state):
        """Whether node's state set holds state, a name such as "checked" or "enabled"."""
        return node.getState().contains(getattr(self.pyatspi, "STATE_" + state.upper()))

    def text(self, node):
        """A node's text, or a label's name."""
        if "Text" not in node.get_interfaces():
            return node.name
        iface = node.queryText()
        return iface.getText(0, iface.characterCount)

    def focused(self, within):
        """The name of the accessible under within that has the keyboard focus, or None. A tab
        strip with the focus answers with its own name, its selected tab's."""
        role = within.getRoleName()
        if role == "page tab list" or (role not in ("filler", "panel", "frame")
                                       and self.has(within, "focused")):
            # A strip's tabs' focused marks tell the selection, not the focus.
            return within.name if self.has(within, "focused") else None
        found = (self.focused(c) for c in self.children(within) if c is not None)
        return next((name for name in found if name is not None), None)

    def click(self, node):
        """A real click at the node's centre on the screen."""
        box = node.queryComponent().getExtents(self.pyatspi.DESKTOP_COORDS)
        check(box.width > 0 and box.height > 0, f"{node.name!r} has no extent on the screen")
        self.desktop.click(box.x + box.width // 2, box.y + box.height // 2)

    def act(self, node, *names):
        """Does the first of node's actions whose name is one of names (case ignored)."""
        action = node.queryAction()
        offered = [action.getName(i) for i in range(action.nActions)]
        for i, offer in enumerate(offered):
            if offer.lower() in names:
                check(action.doAction(i), f"{node.name!r} refused its action {offer!r}")
                return offer
        raise Failure(f"{node.name!r} offers the actions {offered}, none of {list(names)}")


def stored(desktop):
    """The settings file as {section: {key: text}}."""
    parser = configparser.ConfigParser(interpolation=None)
    parser.optionxform = str
    parser.read(desktop.settings_file)
    return {s: dict(parser[s]) for s in parser.sections()}


def opened(desktop, acc, app, title, how):
    """Opens a dialog by how(); its X window and its accessible."""
    mark = app.trace.mark()
    how()
    app.trace.wait_for(rf"^bayminder\.forms: show {FORMS[title]}$", 5, mark)
    return desktop.wait_window(title, app), acc.window(title)


def closed(desktop, app, title, how):
    """Closes a dialog by how(); the trace mark from before."""
    mark = app.trace.mark()
    how()
    desktop.wait_window_gone(title, app)
    app.trace.wait_for(rf"^bayminder\.forms: unload {FORMS[title]}", 5, mark)
    return mark


def on_tab_e(desktop, acc, wid, win):
    """From the first tab, (F:), to E:'s with the Right key; E:'s two check boxes."""
    desktop.focus(wid)
    settle("the focus", lambda: acc.focused(win), "(F:)")  # the tab strip starts with it
    desktop.key("Right")
    settle("the tab after the Right key", lambda: acc.current_tab(win), "(E:)")
    return acc.find(win, "Auto Eject", "check box"), acc.find(win, "Notify User", "check box")


def test_properties_dialogs(desktop):
    """By keyboard and mouse, with the README's pictures. E: ejects but cannot close its tray
    (stored capabilities are believed): the one kind of drive on which "Notify User" can be
    cleared while "Auto Eject" stays on."""
    acc = A11y(desktop)
    desktop.write_settings({"E": drive(3, 1, 1, 1, True, False, 1, 0)})
    app = desktop.started(closes=1)  # only D: can close
    acc.application(app)
    wid, win = opened(desktop, acc, app, PROPERTIES, lambda: desktop.click_icon(app, repeat=2))
    eject, notify = on_tab_e(desktop, acc, wid, win)
    check(acc.has(eject, "checked") and acc.has(notify, "checked"), "E: shows a stored 1 clear")
    # Each accelerator moves the focus to its check box and clicks it; with neither left
    # checked, the dialog checks Notify User again.
    for key, box, name in (("alt+n", notify, "Notify User"), ("alt+e", eject, "Auto Eject")):
        desktop.key(key)
        settle("the focus", lambda: acc.focused(win), name)
        settle(f"{name} checked", lambda: acc.has(box, "checked"), False)
    settle("Notify User checked", lambda: acc.has(notify, "checked"), True)
    # Leaving the tab puts E:'s changes into its record, which only Cancel's reload undoes.
    acc.click(acc.find(win, "(D:)", "page tab"))
    settle("the tab after a click on (D:)", lambda: acc.current_tab(win), "(D:)")
    for label, reads in (("Media Status:", "Loaded"), ("Tray Status:", "Closed")):
        settle(label, lambda: acc.text(acc.labelled(win, label)), reads, timeout=3)
    desktop.screenshot("properties.png", wid, keep=True)

    # Advanced... by mouse: its button follows the other dialog, disabled while it is open.
    button = acc.find(win, "Advanced...", "push button")
    adv_wid, adv = opened(desktop, acc, app, ADVANCED, lambda: acc.click(button))
    settle("Advanced... enabled", lambda: acc.has(button, "enabled"), False, 2)
    settle("the sample", lambda: acc.text(acc.labelled(adv, "ToolTip Sample:", ("label",))),
           "Office_95 in CD")
    desktop.screenshot("advanced.png", adv_wid, keep=True)
    desktop.focus(adv_wid)
    closed(desktop, app, ADVANCED, lambda: desktop.key("Escape"))
    settle("Advanced... enabled", lambda: acc.has(button, "enabled"), True, 2.5)

    # Esc is Cancel: the window goes and nothing is written.
    before = stored(desktop)
    desktop.focus(wid)
    mark = closed(desktop, app, PROPERTIES, lambda: desktop.key("Escape"))
    check(not app.trace.find(WRITE, mark) and stored(desktop) == before, "Cancel wrote settings")

    # Again from the tray menu: loaded afresh with the stored values.
    wid, win = opened(desktop, acc, app, PROPERTIES, lambda: choose(
        desktop, app, "p", r"^bayminder\.forms: show frmProperties$"))
    eject, notify = on_tab_e(desktop, acc, wid, win)
    check(acc.has(eject, "checked"), "Cancel did not bring back E:'s Auto Eject")
    desktop.key("alt+n")
    settle("Notify User checked", lambda: acc.has(notify, "checked"), False)
    # Tab on to OK and press it with the space bar.
    for _ in range(10):
        was = acc.focused(win)
        if was == "OK":
            break
        desktop.key("Tab")
        poll(f"Tab to move the focus on from {was!r}", lambda: acc.focused(win) != was)
    mark = closed(desktop, app, PROPERTIES, lambda: desktop.key("space"))
    written = {(m.group(1), m.group(2)) for _, m in app.trace.find(WRITE, mark)}
    check(written >= {(letter, str(key)) for letter in "FEDA" for key in range(1, 9)},
          "OK wrote not all")
    settings = stored(desktop)
    check([settings["E"]["3"], settings["E"]["4"], settings["D"]["4"], settings["F"]["2"]]
          == ["1", "0", "1", "0"], f"OK stored {settings}")


def checked(acc, win):
    return {name: acc.has(acc.find(win, name, "check box"), "checked") for name in CHECK_BOXES}


def toggle(acc, node):
    """A screen reader's press of a check box; answers whether it is checked afterwards. The
    action returns once the program has handled it, rules and all."""
    acc.act(node, "toggle", "click", "press")
    return acc.has(node, "checked")


def test_atspi_dialogs(desktop):
    """Only the double click that opens the first dialog goes through the X server (the tray
    icon is not in the accessibility tree)."""
    acc = A11y(desktop)
    # F: as stored by default, but for a greyed "Status ToolTip" (a hand-edited file).
    desktop.write_settings({"F": drive(1, 0, 0, 1, False, False, 2, 0)})
    app = desktop.started()
    root = acc.application(app)
    check(root.name == "Bayminder", f"the application is named {root.name!r}")
    desktop.click_icon(app, repeat=2)
    win = acc.window(PROPERTIES)
    check(win.getRoleName() == "dialog", f"the properties window's role is {win.getRoleName()!r}")
    # Each frame by its own caption, not by the one around it.
    groups = [n.getRoleName() for n in acc.all_named(win, "Drive")
              if n.getRoleName() in ("panel", "frame")]
    check(groups == ["panel"], f"groups named Drive: {groups}, expected the one panel")
    acc.find(win, "Icon Features:", "panel")

    # Every control by its caption, read as it stands on the first drive, the stick in F:.
    for name in ["OK", "Cancel", "Advanced..."]:
        acc.find(win, name, "push button")
    tabs = [t.name for t in acc.tabs(win)[0]]
    check(tabs == ["(F:)", "(E:)", "(D:)", "(A:)"], f"tabs {tabs}, expected (F:) (E:) (D:) (A:)")
    check(acc.current_tab(win) == "(F:)", f"opened on {acc.current_tab(win)!r}")
    marks = checked(acc, win)
    check(marks == {name: name == "Notify User" for name in CHECK_BOXES},
          f"F: reads {marks}, expected only Notify User checked")
    tooltip = acc.find(win, "Status ToolTip", "check box")
    check(acc.has(tooltip, "indeterminate"), "the greyed Status ToolTip does not read as mixed")
    for name in ("Auto Eject", "Tray Toggle"):
        check(not acc.has(acc.find(win, name, "check box"), "enabled"),
              f"{name} is enabled on a drive that cannot eject")
    kind, media = acc.labelled(win, "Drive Type:"), acc.labelled(win, "Media Status:")
    tray = acc.labelled(win, "Tray Status:")
    check(acc.text(kind) == "Removable", f"Drive Type: reads {acc.text(kind)!r} on F:")
    settle("Media Status:", lambda: acc.text(media), "Loaded", 3)  # after the first tick
    check(not acc.has(tray, "showing"), "Tray Status: is shown for a drive without a tray")

    # A tab selected the way a screen reader can: Selection where the strip offers it, else
    # the tab's own action.
    tabs, strip = acc.tabs(win)
    if "Selection" in strip.get_interfaces():
        strip.querySelection().selectChild(tabs[2].getIndexInParent())
    else:
        acc.act(tabs[2], "press", "click", "switch")
    settle("the tab selected by a screen reader", lambda: acc.current_tab(win), "(D:)")
    for node, reads in ((kind, "CD"), (tray, "Closed"), (media, "Loaded")):
        settle("a status line", lambda: acc.text(node), reads, 3)
    settle("Tray Status: shown", lambda: acc.has(tray, "showing"), True)
    marks = checked(acc, win)
    check(all(marks.values()), f"D: reads {marks}, expected all five checked")
    # A tray that closes: Auto Eject keeps Notify User checked.
    check(toggle(acc, acc.find(win, "Notify User", "check box")),
          "Notify User cleared beside Auto Eject on D:")
    check(not toggle(acc, tooltip), "Status ToolTip stays checked on D:")

    advanced = acc.find(win, "Advanced...", "push button")
    acc.act(advanced, "press", "click")
    adv = acc.window(ADVANCED)
    check(adv.getRoleName() == "dialog", f"the advanced window's role is {adv.getRoleName()!r}")
    settle("Advanced... enabled", lambda: acc.has(advanced, "enabled"), False, 2)
    sample = acc.labelled(adv, "ToolTip Sample:", roles=("label",))
    settle("the sample", lambda: acc.text(sample), "Office_95 in CD")
    value = acc.labelled(adv, "Wait:", roles=("slider",)).queryValue()
    reads = (value.currentValue, value.minimumValue, value.maximumValue)
    check(reads == (10, 5, 15), f"the slider reads {reads}, expected 10 in 5..15")
    value.currentValue = 7
    poll("the wait to read 7 Seconds", lambda: acc.all_named(adv, "7 Seconds", "label"))
    letter = acc.find(adv, "Drive Letter", "radio button")
    acc.act(letter, "toggle", "click", "press", "check")
    settle("Drive Letter checked", lambda: acc.has(letter, "checked"), True)
    check(not acc.has(acc.find(adv, "Drive Type", "radio button"), "checked"),
          "Drive Type stays checked beside Drive Letter")
    settle("the sample", lambda: acc.text(sample), "Office_95 in (R:)")
    acc.act(acc.find(adv, "OK", "push button"), "press", "click")
    poll("the advanced window to go", lambda: not acc.shown(ADVANCED), 10)
    settle("Advanced... enabled", lambda: acc.has(advanced, "enabled"), True, 2.5)

    mark = closed(desktop, app, PROPERTIES,
                  lambda: acc.act(acc.find(win, "OK", "push button"), "press", "click"))
    check(len(app.trace.find(WRITE, mark)) >= 32, "OK did not write the eight keys of each drive")
    settings = stored(desktop)
    expected = {("F", "2"): "0", ("F", "4"): "1", ("F", "7"): "2", ("D", "4"): "1",
                ("D", "7"): "0", ("E", "7"): "1"}
    found = {(letter, key): settings[letter][key] for letter, key in expected}
    check(found == expected, f"stored {found}, expected {expected}")

    # A task manager's close (a SIGTERM from neither the session nor the service manager): the
    # icon goes and a message box, an alert, tells the user how to exit; the program waits for
    # its answer, given through its button. The splash bears the same title, so it must be gone
    # first.
    app.trace.wait_for(r"^bayminder\.forms: hide frmSplash", 10)
    mark = app.trace.mark()
    subprocess.run(["kill", "-TERM", str(app.pid)], check=True)
    app.trace.wait_for(DELETED, 5, mark)
    app.trace.wait_for(r'^bayminder\.msgbox: 4128 "Bayminder" "Why\'d ya do that\?  Just right '
                       r'click\\ron the System Tray Icon and pick Exit\."$', 5, mark)
    poll("the icon to leave trayer", lambda: not desktop.icon_shown(app), 10)
    box = acc.window("Bayminder")
    check(box.getRoleName() == "alert", f"the message box's role is {box.getRoleName()!r}")
    check(app.running(), "the program ended before the message box was answered")
    acc.act(acc.find(box, "OK", "push button"), "press", "click")
    check(app.wait_exit() == 0, f"exit status {app.proc.returncode} after the box, expected 0")


def test_drive_plugged_in(desktop):
    """A USB DVD drive with a disc joins the machine file while the properties dialog is open:
    a tab in its place, the disc in the tooltip, and ejected at the end of the session; the
    empty CD drive E: taken out is marked gone and never asked again."""
    acc = A11y(desktop)
    app = desktop.started()
    acc.application(app)
    desktop.click_icon(app, repeat=2)
    win = acc.window(PROPERTIES)
    machine = desktop.read_machine()
    machine["drives"].append({"letter": "G", "type": "cdrom", "id": "usb-dvd",
                              "disc": {"label": "TRAVEL", "serial": 7}})
    mark = app.trace.mark()
    desktop.edit_machine(lambda d: None, machine)
    names = lambda: [t.name for t in acc.tabs(win)[0]]  # noqa: E731
    settle("the tabs after the plug", names, ["(G:)", "(F:)", "(E:)", "(D:)", "(A:)"])
    app.trace.wait_for(TIP.replace("(.*)", "(Travel in CD, .*)"), 5, mark)
    check(stored(desktop)["G"].get("9") == "usb-dvd", "G:'s identity is not stored")

    machine = desktop.read_machine()
    machine["drives"] = [d for d in machine["drives"] if d["letter"] != "E"]
    desktop.edit_machine(lambda d: None, machine)
    settle("the tabs after the pull", names, ["(G:)", "(F:)", "(E:) gone", "(D:)", "(A:)"])
    gone = app.trace.mark()
    closed(desktop, app, PROPERTIES, lambda: acc.click(acc.find(win, "Cancel", "push button")))
    mark = session_ends(desktop, app, "G")
    check(app.trace.find(r"^bayminder\.mci: open D: ", mark), "D: was not checked")
    check(not app.trace.find(r"^bayminder\.mci: open E: ", gone), "E: was asked once gone")
    check(not app.trace.find(r"^bayminder\.msgbox: ", gone), "a message box after the pull")


if __name__ == "__main__":
    sys.exit(main(globals(), needs=[LAUNCHER, "python3-pyatspi"]))
