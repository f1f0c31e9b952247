#!/usr/bin/env python3
"""The tray program in a real MATE session (mate-session 1.26, marco, mate-panel with only its
notification area, which hosts StatusNotifierItems) on Xvfb. mate-panel never registers with the
session, and mate-session refuses a logout until it stops waiting for it, about 30 s after its
start: the panel's side of the program is tested first. At a logout mate-session lets every
client interact at once, shows its own "A program is still running" dialog and waits with no
timeout; like gnome-session it sends SaveComplete after every SaveYourselfDone and asks a
second time in a forced logout.
The machine is machines/demo.json: a disc in D: (ejected at the end of the session), E: empty.
"""

import subprocess
import sys

from gnome_tests import (HIDDEN, NOTIFICATION, SHOWN, WINDOWLESS, called_off, door_moves,
                         ends_with_session, held_logout, registered)
from harness import GSM, LOGIND, check, main, poll, settle
from xfce_tests import ITEM, panel_icon


def logout(desktop, how):
    desktop.spawn(["mate-session-save", how], stdout=subprocess.DEVNULL,
                  stderr=subprocess.DEVNULL)


def session_running(desktop):
    poll("mate-session to take logouts", lambda: desktop.bus(
        "call", *GSM, "IsSessionRunning", check=False) == [True], 60, 0.2)


def panel_drawn(desktop):
    """A screenshot once the panel strip along the top is drawn (light, not the black root)."""
    def drawn():
        path = desktop.screenshot("mate-panel-before.png")
        mean = desktop.run("convert", path, "-crop", "1024x30+0+0", "-format", "%[fx:mean]",
                           "info:").stdout
        return path if mean and float(mean) > 0.5 else None
    return poll("the panel drawn", drawn, 15, 0.2)


def test_mate_cancelled_then_logout(desktop):
    before = panel_drawn(desktop)
    app = desktop.started()
    registered(desktop, app)
    settle("the item's ToolTip", lambda: desktop.bus("get-property", *app.icon, ITEM,
                                                     "ToolTip")[2], "Holiday in CD")
    # A click on the icon in the panel toggles both trays open.
    x, y = panel_icon(desktop, before, "mate-panel-with-icon.png")
    mark = app.trace.mark()
    desktop.click(x, y)
    poll("the click to open both trays",
         lambda: sorted(door_moves(app, mark)) == [("D", "open"), ("E", "open")], 10)

    # The user cancels in mate-session's dialog while the notification counts down: the
    # window goes, the icon comes back and the program stays.
    session_running(desktop)
    mark = app.trace.mark()
    logout(desktop, "--logout")
    app.trace.wait_for(SHOWN, 15, mark)
    dialog = poll("mate-session's dialog", lambda: desktop.xdotool_ids(
        "search", "--onlyvisible", "--pid", str(desktop.session.pid)), 10)[0]
    desktop.screenshot("mate-program-still-running.png")
    desktop.focus(dialog)
    desktop.key("Escape")
    called_off(app, mark)
    poll("the notification to go", lambda: not desktop.visible_windows(NOTIFICATION, app), 5)
    poll("the icon back with the panel's watcher", lambda: desktop.icon_shown(app), 10)
    poll("the session to run again", lambda: desktop.bus(
        "call", *GSM, "IsSessionRunning") == [True], 10, 0.1)
    check(app.running(), "the program ended after a cancelled logout")

    # Then a logout that goes through: held until the notification hides.
    stayed, lag = held_logout(desktop, app, lambda: logout(desktop, "--logout"))
    print(f"notification {stayed:.1f} s; the program ended {lag:.2f} s after mate-session")


def power_offs(desktop):
    calls = desktop.bus("call", *LOGIND, "org.freedesktop.DBus.Mock", "GetCalls", system=True)[0]
    return [call for call in calls if call[1] == "PowerOff"]


def test_mate_shutdown(desktop):
    app = desktop.started()
    registered(desktop, app)
    session_running(desktop)

    def shut_down():
        # The menu's "Shut Down...": mate-session's own dialog, confirmed with its default
        # button.
        desktop.run("busctl", "--address=" + desktop.env["DBUS_SESSION_BUS_ADDRESS"],
                    "--expect-reply=no", "call", *GSM, "Shutdown")
        dialog = poll("mate-session's dialog", lambda: desktop.xdotool_ids(
            "search", "--onlyvisible", "--pid", str(desktop.session.pid)), 10)[0]
        desktop.focus(dialog)
        desktop.key("Return")

    def not_yet(mark):
        # logind is asked only once every client has answered. The window shows for seconds:
        # a power-off asked for in that time has no hide line right after it (the program
        # traces the hide before it answers).
        poll("logind asked to power off", lambda: power_offs(desktop), 30, 0.1)
        check(not app.trace.stays_absent(HIDDEN, 0.5, mark),
              "logind was asked to power off while the notification showed")
    stayed, lag = held_logout(desktop, app, shut_down, not_yet)
    print(f"notification {stayed:.1f} s; the program ended {lag:.2f} s after mate-session")


def test_mate_forced_logout(desktop):
    app = desktop.started()
    registered(desktop, app)
    session_running(desktop)
    mark = app.trace.mark()
    logout(desktop, "--force-logout")
    lag = ends_with_session(desktop, app, mark)
    check(not app.trace.find(r"^bayminder\.forms: show ", mark), "a window in a forced logout")
    check(door_moves(app, mark) == WINDOWLESS,
          f"door commands {door_moves(app, mark)}, expected each tray once: {WINDOWLESS}")
    check(desktop.door("D") == "open" and desktop.door("E") == "closed",
          "D: not ejected, or E: not closed")
    print(f"the program ended {lag:.2f} s after mate-session")


if __name__ == "__main__":
    sys.exit(main(globals(), kind="mate", needs=["mate-session", "mate-session-save",
                                                 "mate-panel", "marco", "gsettings", "convert"]))
