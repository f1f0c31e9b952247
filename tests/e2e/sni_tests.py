#!/usr/bin/env python3
"""The tray program in a real Xfce session, whose panel's status tray is a StatusNotifierItem
host: it draws the menu itself from the menu the item exports (dbusmenu) and reads the tooltip
from the item's property, without any pointer move reaching the program.

    sni_tests.py PROGRAM ARTIFACTS_DIR TEST

The machine is machines/demo.json (see desktop_tests.py).
"""

import json
import os
import shutil
import sys
import time

import harness
from desktop_tests import running_timers
from harness import Failure, check, poll
from xfce_tray import NEEDS, WATCHER, XfceError, XfceSession

ITEM = "org.kde.StatusNotifierItem"
MENU = "com.canonical.dbusmenu"


class XfceDesktop(harness.Desktop):
    """harness.Desktop with Xfce's session, window manager and panel instead of Xvfb, trayer
    and a bare session bus; the system bus with the logind mock stays."""

    def _start_x(self):
        self.xfce = XfceSession(self.tmp, self.env)
        try:
            self.xfce.__enter__()
        except XfceError as error:
            raise Failure(f"the Xfce session did not come up: {error}") from error
        self.env = self.xfce.env

    def _start_bus(self, which):
        if which == "session":
            return self.xfce.env["DBUS_SESSION_BUS_ADDRESS"]
        return super()._start_bus(which)

    def _start_trayer(self):
        pass

    def __exit__(self, kind, value, tb):
        try:
            return super().__exit__(kind, value, tb)
        finally:
            if hasattr(self, "xfce"):
                self.xfce.__exit__(None, None, None)

    # ----- the program's StatusNotifierItem

    def item(self, app, timeout=15):
        """The program's item as registered with the panel's watcher: (service, path)."""
        def registered():
            for entry in self.items():
                service, _, path = entry.partition("/")
                if self.owner_pid(service) == app.pid:
                    return service, "/" + path if path else "/StatusNotifierItem"
            return None
        return poll(registered, timeout, interval=0.2, what="the item registered with the watcher")

    def items(self):
        """The watcher's items, each as "service/path" (Xfce's names the unique bus name)."""
        answer = self.xfce.bus("get-property", WATCHER, "/StatusNotifierWatcher", WATCHER,
                               "RegisteredStatusNotifierItems", check=False) or {}
        return answer.get("data", [])

    def owner_pid(self, service):
        answer = self.xfce.bus("call", "org.freedesktop.DBus", "/org/freedesktop/DBus",
                               "org.freedesktop.DBus", "GetConnectionUnixProcessID", "s", service,
                               check=False)
        return answer["data"][0] if answer else None

    def item_property(self, item, name):
        return self.xfce.bus("get-property", item[0], item[1], ITEM, name)["data"]

    def tooltip(self, item):
        # (icon name, icon pixmaps, title, text): the title is the tip.
        return self.item_property(item, "ToolTip")[2]

    def menu_layout(self, item, menu):
        revision, root = self.xfce.bus("call", item[0], menu, MENU, "GetLayout", "iias", "0", "-1",
                                       "0")["data"]
        entries = []
        for child in root[2]:
            ident, props, _ = child["data"]
            entries.append((ident, {k: v["data"] for k, v in props.items()}))
        return entries

    def menu_click(self, item, menu, ident):
        self.xfce.bus("call", item[0], menu, MENU, "Event", "isvu", str(ident), "clicked", "i",
                      "0", str(int(time.time())))

    # ----- the panel

    def panel_icon(self, before):
        """Where the icon appeared in the panel along the top: the right end of what changed in
        the panel strip since the screenshot before (the pager left of the status tray moves
        left to make room; the clock right of it stays)."""
        after = self.screenshot("panel-with-icon.png")
        out = self.run("convert", before, after, "-compose", "difference", "-composite",
                       "-crop", "910x28+0+0", "+repage", "-threshold", "8%", "-trim",
                       "-format", "%w %h %X %Y", "info:", check_rc=True).stdout.split()
        width, height, x, y = (int(v.lstrip("+")) for v in out)
        check(width < 910 and height > 4, f"no icon found in the panel (change {out})")
        return x + width - 12, y + height // 2


def started(desktop):
    app = desktop.start()
    app.trace.wait_for(r'^bayminder\.tray: NIM_ADD "Bayminder"$', 20)
    poll(lambda: len(app.trace.find(r"^bayminder\.mci: set cd door closed ")) >= 2, 15,
         what="start-up to close the CD trays")
    return app, desktop.item(app)


def test_xfce_menu(desktop):
    before = desktop.screenshot("panel-before.png")
    app, item = started(desktop)
    menu = desktop.item_property(item, "Menu")
    check(menu not in ("", "/", "/NO_DBUSMENU"), f"the item exports no menu (Menu is {menu!r})")
    entries = desktop.menu_layout(item, menu)
    shown = [("-" if props.get("type") == "separator" else props.get("label")) for _, props
             in entries if props.get("visible", True)]
    check(shown == ["_About", "E_xit", "-", "A_dvanced...", "_Properties"],
          f"exported menu {shown}, expected About, Exit, a line, Advanced..., Properties with "
          "their accelerators")
    ids = {props.get("label"): ident for ident, props in entries}

    # The panel draws the menu on a right click; the program shows none of its own.
    x, y = desktop.panel_icon(before)
    mark = app.trace.mark()
    desktop.click(x, y, button=3)
    poll(lambda: desktop.xdotool_ids("search", "--onlyvisible", "--class", "xfce4-panel")
         and menu_drawn(desktop), 5, what="the panel's menu")
    desktop.screenshot("xfce-menu.png")
    check(not desktop.popup_menus(app), "the program showed a menu of its own beside the panel's")
    desktop.key("Escape")
    check(not app.trace.find(r"^bayminder\.forms: show ", mark), "a right click opened a window")

    # Each item runs its handler, as the panel sends it when the user picks it.
    for label, form, title in (("_About", "frmAbout", "About Bayminder"),
                               ("A_dvanced...", "frmPropertiesAdvanced",
                                "Bayminder Advanced Properties"),
                               ("_Properties", "frmProperties", "Bayminder Properties")):
        mark = app.trace.mark()
        desktop.menu_click(item, menu, ids[label])
        app.trace.wait_for(rf"^bayminder\.forms: show {form}$", 5, mark)
        desktop.wait_window(title, app)
    about = desktop.wait_window("About Bayminder", app)
    desktop.focus(about)
    desktop.key("Escape")
    desktop.wait_window_gone("About Bayminder", app)

    mark = app.trace.mark()
    desktop.menu_click(item, menu, ids["E_xit"])
    app.trace.wait_for(r"^bayminder\.tray: NIM_DELETE$", 5, mark)
    poll(lambda: item[0] + item[1] not in desktop.items(), 5, what="the item to leave the watcher")
    app.trace.wait_for(r"^bayminder\.forms: show frmAbout$", 5, mark)
    about = desktop.wait_window("About Bayminder", app, timeout=5)
    desktop.focus(about)
    desktop.key("Return")
    status = app.wait_exit(10)
    check(status == 0, f"exit status {status} after About closed, expected 0")


def menu_drawn(desktop):
    """A menu window of the panel is mapped."""
    for wid in desktop.xdotool_ids("search", "--onlyvisible", "--name", ".*"):
        if "MENU" in desktop.window_type(wid) and desktop.viewable(wid):
            return True
    return False


def test_xfce_tooltip(desktop):
    app, item = started(desktop)
    # Built once after start-up, though the panel sends the program nothing.
    poll(lambda: desktop.tooltip(item) == "Holiday in CD", 5, interval=0.1,
         what="the item's ToolTip to name the disc in D: after start-up")
    poll(lambda: not running_timers(app), 10, what="no timer running once started")

    def edit(change):
        """Changes the machine file by hand, as an editor would: a new file renamed over it."""
        machine = desktop.read_machine()
        machine["drives"] = [change(d) for d in machine["drives"]]
        with open(desktop.machine + ".new", "w") as f:
            json.dump(machine, f)
        os.rename(desktop.machine + ".new", desktop.machine)
        return time.monotonic()

    # A disc is put into E:, with no click and no pointer anywhere near.
    mark = app.trace.mark()
    changed = edit(lambda d: dict(d, disc={"label": "SUMMER", "serial": 99})
                   if d["letter"] == "E" else d)
    # The table runs from the last letter down: E before D.
    first, _ = app.trace.wait_for(r'^bayminder\.tray: NIM_MODIFY "Summer in CD, Holiday in CD"$',
                                  5, mark)
    poll(lambda: desktop.tooltip(item) == "Summer in CD, Holiday in CD", 3, interval=0.1,
         what="the item's ToolTip to name both discs")

    # The disc in D: taken out within the second that throttles the rebuilds: not lost, shown
    # when the second is over.
    mark = app.trace.mark()
    edit(lambda d: dict(d, disc=None) if d["letter"] == "D" else d)
    second, _ = app.trace.wait_for(r'^bayminder\.tray: NIM_MODIFY "Summer in CD"$', 5, mark)
    check(second - first >= 0.9, f"rebuilt {second - first:.2f} s after the one before")
    poll(lambda: desktop.tooltip(item) == "Summer in CD", 3, interval=0.1,
         what="the item's ToolTip to follow the second change")
    check(not app.trace.find(r"^bayminder\.mci: set cd door", mark), "a notice moved a door")

    # Then all is quiet again: no timer runs while nothing happens.
    poll(lambda: not running_timers(app), 10, what="every timer to stop after the rebuilds")
    print(f"the tooltip followed the file {(first - changed) * 1000:.0f} ms after the change")


TESTS = {name[len("test_"):]: fn for name, fn in globals().items() if name.startswith("test_")}


def missing():
    return [tool for tool in NEEDS + ["convert"] if not shutil.which(tool)]


if __name__ == "__main__":
    sys.exit(harness.main(TESTS, also_missing=missing, desktop=XfceDesktop))
