#!/usr/bin/env python3
"""The tray program in a real Xfce session (xfce4-session, xfwm4, xfce4-panel on Xvfb): the end
of the session through XSMP, and the panel's status tray as a StatusNotifierItem host, which
draws the menu itself from the one the item exports (dbusmenu) and reads the tooltip from the
item's property, without any pointer move reaching the program.
The machine is machines/demo.json (see desktop_tests.py).
"""

import os
import sys
import time

from desktop_tests import DOOR, menu_then_exit, running_timers
from harness import (ADDED, CANCELLER, IDLE, SHUTDOWN, SM, check, checkpoint, goes_on,
                     held_logout, main, poll, settle, start_canceller, trimmed)
from session_desktops import start_xfce

ITEM = "org.kde.StatusNotifierItem"
DBUSMENU = "com.canonical.dbusmenu"
REGISTERED = r"^bayminder\.session: registered as "
LOGOUT = ["xfce4-session-logout", "--logout"]  # the user's "Log Out", without the dialog


def test_checkpoint_and_registration(desktop):
    # Without the session manager's ICE cookie: told why, and the program still runs.
    stray = desktop.start(env={"ICEAUTHORITY": os.path.join(desktop.tmp, "no-cookie")})
    stray.trace.wait_for(r"^bayminder\.session: not registered with the session manager at \S+: "
                         r"Authentication Rejected", 15)
    stray.trace.wait_for(ADDED, 15)
    check(stray.running(), "the program ended when it could not register")
    stray.proc.kill()
    stray.wait_exit()

    # Started as an earlier session's restart command would (Qt's own arguments), and by the
    # session's autostart, whose client id wins.
    autostart_id = "10f00d5e8f000170000000000012340001"
    app = desktop.started("-session", "10d2d0c5e8f000170000000000012340000_1733580000",
                          "-name", "bayminder", env={"DESKTOP_AUTOSTART_ID": autostart_id})
    app.trace.wait_for(REGISTERED + r".*\(asked for " + autostart_id + r"\)$", 15)
    def listed():
        for path in desktop.bus("call", *SM, "ListClients")[0]:
            props = desktop.bus("call", SM[0], path, "org.xfce.Session.Client", "GetSmProperties",
                                "as", "3", "Program", "ProcessID", "RestartStyleHint")[0]
            if props.get("ProcessID", {}).get("data") == str(app.pid):
                return {k: v["data"] for k, v in props.items()}
    client = poll("the program among the session's clients", listed, 10)
    check(client.get("RestartStyleHint") == 3 and client.get("Program", "").endswith("bayminder"),
          f"client {client}, expected the program with restart style 3 (never)")
    checkpoint(desktop, app, lambda: desktop.bus("call", *SM, "Checkpoint", "s", ""),
               lambda: poll("the checkpoint to end", lambda: desktop.state() == IDLE, 10))


def test_logout_cancelled_then_done(desktop):
    app = desktop.started()
    app.trace.wait_for(REGISTERED, 15)
    canceller = start_canceller(desktop)
    mark = app.trace.mark()
    desktop.spawn(LOGOUT)
    # Let in after the other client's cancel, the program finds xfce4-session no longer shutting
    # down and saves as for a checkpoint.
    app.trace.wait_for(r"^bayminder\.session: (SaveYourself shutdown|a save with shutdown set, "
                       r"but xfce4-session is not shutting down)", 10, mark)
    # The clients are let in one at a time, in an order that varies: the program's whole check
    # may come before the other client's turn; a check after the cancel or during it ends early.
    canceller.trace.wait_for(r"^Interact$", 20)
    poll("the session to go on", lambda: desktop.state() == IDLE, 30, 0.1)
    told, _ = app.trace.wait_for(r"^bayminder\.session: (ShutdownCancelled|the session manager "
                                 r"calls the shutdown off)$", 5, mark)
    # Told before its check was over, the program must not have counted down to the end.
    done = app.trace.find(r"^bayminder\.session: SaveYourselfDone$", mark)
    if not done or done[0][0] > told:
        check(not app.trace.find(r"^bayminder\.beep: 64$", mark),
              "the countdown ran to its end after the logout was called off")
    goes_on(desktop, app, mark)

    # The session then really ends: held until the notification has hidden itself.
    canceller.proc.kill()
    held_logout(desktop, app, lambda: desktop.spawn(LOGOUT), lambda: check(
        desktop.state() == SHUTDOWN, f"xfce4-session in state {desktop.state()} during the check"))


def panel_icon(desktop, before):
    """The middle of what changed in the panel strip along the top since the screenshot before."""
    width, height, middle = trimmed(desktop, before, desktop.screenshot("panel-with-icon.png"),
                                    "-compose", "difference", "-composite", "-crop",
                                    "1024x30+0+0", "+repage", "-threshold", "8%")
    check(width < 100 and height > 4, f"no icon found in the panel ({width}x{height} changed)")
    return middle


def test_xfce_menu(desktop):
    before = desktop.screenshot("panel-before.png")
    app = desktop.started()
    service, path = app.icon
    menu = desktop.bus("get-property", service, path, ITEM, "Menu")
    check(menu not in ("", "/", "/NO_DBUSMENU"), f"the item exports no menu (Menu is {menu!r})")
    _, root = desktop.bus("call", service, menu, DBUSMENU, "GetLayout", "iias", "0", "-1", "0")
    entries = [(c["data"][0], {k: v["data"] for k, v in c["data"][1].items()}) for c in root[2]]
    shown = [("-" if props.get("type") == "separator" else props.get("label"))
             for _, props in entries if props.get("visible", True)]
    check(shown == ["_About", "E_xit", "-", "A_dvanced...", "_Properties"], f"the menu: {shown}")
    ids = {props.get("label"): ident for ident, props in entries}

    def pick(_, label, effect):
        """The item as the panel sends it when the user picks it."""
        mark = app.trace.mark()
        desktop.bus("call", service, menu, DBUSMENU, "Event", "isvu", str(ids[label]), "clicked",
                    "i", "0", str(int(time.time())))
        return app.trace.wait_for(effect, 5, mark)

    # The panel draws the menu on a right click; the program shows none of its own.
    x, y = panel_icon(desktop, before)
    mark = app.trace.mark()
    desktop.click(x, y, button=3)
    windows = lambda: desktop.xdotool_ids("search", "--onlyvisible", "--name", ".*")  # noqa: E731
    poll("the panel's menu", lambda: any("MENU" in desktop.window_type(w) for w in windows()))
    desktop.screenshot("xfce-menu.png")
    check(not desktop.popup_menus(app), "the program showed a menu of its own beside the panel's")
    desktop.key("Escape")
    check(not app.trace.find(r"^bayminder\.forms: show ", mark), "a right click opened a window")

    menu_then_exit(desktop, app, pick)


def test_xfce_tooltip(desktop):
    app = desktop.started()

    # (icon name, icon pixmaps, title, text): the title is the tip.
    tooltip = lambda: desktop.bus("get-property", *app.icon, ITEM, "ToolTip")[2]  # noqa: E731
    # Built once after start-up, though the panel sends the program nothing.
    settle("the item's ToolTip after start-up", tooltip, "Holiday in CD")
    poll("no timer running once started", lambda: not running_timers(app), 10)

    # A disc is put into E:, with no click and no pointer anywhere near. The table runs from
    # the last letter down: E before D.
    mark, changed = app.trace.mark(), time.monotonic()
    desktop.edit_machine(lambda d: d["E"].update(disc={"label": "SUMMER", "serial": 99}))
    first, _ = app.trace.wait_for(r'^bayminder\.tray: NIM_MODIFY "Summer in CD, Holiday in CD"$',
                                  5, mark)
    settle("the item's ToolTip", tooltip, "Summer in CD, Holiday in CD", 3)
    # The disc in D: taken out within the second that throttles the rebuilds: not lost, shown
    # when the second is over.
    mark = app.trace.mark()
    desktop.edit_machine(lambda d: d["D"].update(disc=None))
    second, _ = app.trace.wait_for(r'^bayminder\.tray: NIM_MODIFY "Summer in CD"$', 5, mark)
    check(second - first >= 0.9, f"rebuilt {second - first:.2f} s after the one before")
    settle("the item's ToolTip", tooltip, "Summer in CD", 3)
    check(not app.trace.find(DOOR, mark), "a notice moved a door")
    # Then all is quiet again: no timer runs while nothing happens.
    poll("every timer to stop after the rebuilds", lambda: not running_timers(app), 10)
    print(f"the tooltip followed the file {(first - changed) * 1000:.0f} ms after the change")


if __name__ == "__main__":
    sys.exit(main(globals(), start=start_xfce, needs=[
        "xfce4-session", "xfce4-panel", "xfwm4", "xfce4-session-logout", "convert", CANCELLER]))
