"""The XSMP desktops of the session tests (xfce_tests.py, gnome_tests.py, mate_tests.py),
brought up for harness.Desktop: a real xfce4-session, gnome-session or mate-session with its
window manager, a tray host, and the session's SESSION_MANAGER in the desktop's environment for
the program.
"""

import os
import re
import shutil

from harness import (GSM, HERE, IDLE, check, hide_system_autostart, poll, start_session,
                     wait_sni_host)


def session_up(desktop, argv):
    """Starts the session manager argv; takes SESSION_MANAGER, which a session gives only to
    what it starts, from the first of its children that has it."""
    start_session(desktop, argv)

    def told():
        for child in desktop.run("pgrep", "-P", str(desktop.session.pid)).stdout.split():
            try:
                with open(f"/proc/{child}/environ", "rb") as f:
                    found = re.search(rb"(?:^|\0)SESSION_MANAGER=([^\0]*)", f.read())
            except OSError:
                continue  # ended meanwhile
            if found:
                return found.group(1).decode()
        return None
    desktop.env["SESSION_MANAGER"] = poll(f"SESSION_MANAGER from {argv[0]}", told, 30, 0.1)


def start_xfce(desktop, config):
    """xfce4-session with xfwm4 and a panel holding the status tray; the machine's own autostart
    entries (screensaver, settings daemon...) stay out."""
    shutil.copytree(os.path.join(HERE, "xfce_config"),
                    os.path.join(config, "xfce4", "xfconf", "xfce-perchannel-xml"))
    hide_system_autostart(os.path.join(config, "autostart"))
    desktop.env["XDG_CURRENT_DESKTOP"] = "XFCE"
    session_up(desktop, ["xfce4-session"])
    poll("xfce4-session to finish starting", lambda: desktop.state() == IDLE, 60, 0.2)
    wait_sni_host(desktop)


def start_gnome(desktop, config):
    # A session of the test's own whose one required component is the window manager. The
    # machine's autostart entries stay out (an empty --autostart), and so do its settings.
    # Without a shell there is no tray: trayer serves.
    sessions = os.path.join(config, "gnome-session", "sessions")
    os.makedirs(sessions)
    with open(os.path.join(sessions, "bayminder-test.session"), "w") as f:
        f.write("[GNOME Session]\nName=Bayminder test\nRequiredComponents=metacity;\n")
    autostart = os.path.join(desktop.tmp, "autostart")
    os.makedirs(autostart)
    desktop.env["GSETTINGS_BACKEND"] = "memory"
    session_up(desktop, ["gnome-session", "--builtin", "--session=bayminder-test",
                         "--disable-acceleration-check", f"--autostart={autostart}"])
    poll("gnome-session to start its session", lambda: desktop.bus(
        "call", *GSM, "IsSessionRunning", check=False) == [True], 60, 0.2)
    desktop.start_trayer()


def start_mate(desktop, config):
    # marco and mate-panel as the session's required components, the panel a strip along
    # the top holding only the notification area; the rest of MATE's start-up stays out.
    # mate-panel reads its layout through GSettings (dconf in the throw-away home).
    top, tray = "/org/mate/panel/toplevels/top/", "/org/mate/panel/objects/tray/"
    for schema, key, value in [
            ("org.mate.session", "required-components-list", "['windowmanager', 'panel']"),
            ("org.mate.session", "default-session", "@as []"),
            ("org.mate.session", "gnome-compat-startup", "@as []"),
            ("org.mate.panel", "toplevel-id-list", "['top']"),
            ("org.mate.panel", "object-id-list", "['tray']"),
            ("org.mate.panel.toplevel:" + top, "orientation", "'top'"),
            ("org.mate.panel.toplevel:" + top, "size", "32"),
            ("org.mate.panel.object:" + tray, "object-type", "'applet'"),
            ("org.mate.panel.object:" + tray, "applet-iid",
             "'NotificationAreaAppletFactory::NotificationArea'"),
            ("org.mate.panel.object:" + tray, "toplevel-id", "'top'")]:
        result = desktop.run("gsettings", "set", schema, key, value)
        check(result.returncode == 0, f"gsettings set {schema} {key}: {result.stderr}")
    # --autostart would leave the required components out too: the machine's entries are
    # hidden by the home's instead.
    hide_system_autostart(os.path.join(config, "autostart"))
    session_up(desktop, ["mate-session", "--disable-acceleration-check"])
    # mate-panel never registers with the session, which waits for it a while before it
    # calls itself running; the panel's tray serves at once.
    wait_sni_host(desktop)
