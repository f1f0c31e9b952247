"""The desktops of the session tests, brought up for harness.Desktop: a real xfce4-session,
gnome-session, mate-session or ksmserver with its window manager, a tray host, and the session's
SESSION_MANAGER in the desktop's environment for the program; and an LXQt session (lxqt-session
with openbox and lxqt-panel) that starts the program from its autostart entry.
"""

import ctypes
import os
import re
import shutil
import socket
import struct
import threading
import time

from harness import (GSM, HERE, IDLE, Program, check, fifo_trace, hide_system_autostart, poll,
                     put, read_int, start_session, wait_sni_host)

PR_SET_CHILD_SUBREAPER = 36
NETLINK_CONNECTOR, CN_IDX_PROC, PROC_EVENT_EXIT = 11, 1, 0x80000000
KSMSERVER = ("org.kde.ksmserver", "/KSMServer", "org.kde.KSMServerInterface")


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
    desktop.env["SESSION_MANAGER"] = poll(f"SESSION_MANAGER from {argv[0]}", told, 30, 0.1)


def start_xfce(desktop, config):
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
    put(os.path.join(config, "gnome-session", "sessions", "bayminder-test.session"),
        "[GNOME Session]\nName=Bayminder test\nRequiredComponents=metacity;\n")
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


class ExitWatch:
    """Every process's exit status as the kernel reports it (the proc connector; root only), so
    that the status of a program that the session manager reaps is still known."""

    def __init__(self):
        self.statuses = {}  # {pid: status}, filled by the reader
        try:
            sock = socket.socket(socket.AF_NETLINK, socket.SOCK_DGRAM, NETLINK_CONNECTOR)
            sock.bind((0, CN_IDX_PROC))
            listen = struct.pack("I", 1)
            message = struct.pack("IIIIHH", CN_IDX_PROC, 1, 0, 0, len(listen), 0) + listen
            sock.send(struct.pack("IHHII", 16 + len(message), 3, 0, 0, 0) + message)
        except OSError:
            return
        threading.Thread(target=self._read, args=(sock,), daemon=True).start()

    def _read(self, sock):
        while True:
            data = sock.recv(4096)
            if len(data) >= 60 and struct.unpack_from("I", data, 36)[0] == PROC_EVENT_EXIT:
                pid, tgid, status = struct.unpack_from("III", data, 52)
                if pid == tgid:
                    self.statuses[pid] = os.waitstatus_to_exitcode(status)


class Autostarted(Program):
    """The program as the session's autostart entry starts it: a child of the session manager,
    through a wrapper that execs it; the test, the child subreaper above the session, reaps it
    once the session manager has gone without waiting for it. It stands for its own Popen."""

    def __init__(self, desktop, autostart):
        # pylint: disable=super-init-not-called
        self.desktop, self.status, self.icon, self.proc = desktop, None, None, self
        self.pid, self.started, self._status = None, time.monotonic(), None
        base = os.path.join(desktop.tmp, "bayminder")
        self.pidfile = base + ".pid"
        put(base + "-autostart", f"#!/bin/sh\necho $$ > {self.pidfile}.new && mv "
            f"{self.pidfile}.new {self.pidfile}\nexec {desktop.program} --simulate "
            f"{desktop.machine} 2> {base}.trace\n", 0o755)
        put(os.path.join(autostart, "bayminder.desktop"),
            f"[Desktop Entry]\nType=Application\nName=Bayminder\nExec={base}-autostart\n")
        self.trace = fifo_trace(base + ".trace")
        desktop.programs.append(self)

    def read_pid(self):
        return read_int(self.pidfile)

    def poll(self):
        if self._status is None and self.pid:
            self._status = self.desktop.exits.statuses.get(self.pid)
        if self._status is None and self.pid:
            try:
                pid, status = os.waitpid(self.pid, os.WNOHANG)
            except ChildProcessError:
                return None  # still the session manager's child
            if pid:
                self._status = os.waitstatus_to_exitcode(status)
        return self._status

    returncode = property(poll)

    def wait_exit(self, timeout=10):
        """The exit status; the session manager must have gone first (it does not wait)."""
        status = poll(f"pid {self.pid} to end", lambda: self.poll() is not None or (
            not os.path.exists(f"/proc/{self.pid}") and "gone"), timeout)
        check(status is not None and status != "gone", "the program ended as the session "
              "manager's child: its status is known only to root (the kernel's process events)")
        return self._status

def start_lxqt(desktop, config):
    """The program from its autostart entry as desktop.autostarted. Logs out with no dialog."""
    lxqt = os.path.join(config, "lxqt")
    put(os.path.join(lxqt, "session.conf"),
        "[General]\nleave_confirmation=false\nwindow_manager=openbox\n")
    put(os.path.join(lxqt, "panel.conf"), "panels=panel1\n\n[panel1]\nplugins=statusnotifier\n"
        "position=Top\ndesktop=0\n\n[statusnotifier]\ntype=statusnotifier\nalignment=Right\n")
    autostart = os.path.join(config, "autostart")
    hide_system_autostart(autostart, keep=("lxqt-panel.desktop",))
    desktop.env.update({"XDG_CURRENT_DESKTOP": "LXQt", "XDG_SESSION_DESKTOP": "LXQt",
                        "DESKTOP_SESSION": "LXQt", "XDG_CONFIG_DIRS": "/etc/xdg",
                        "XDG_DATA_DIRS": "/usr/local/share:/usr/share"})
    check(ctypes.CDLL(None).prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0,
          "prctl(PR_SET_CHILD_SUBREAPER)")
    desktop.exits = ExitWatch()
    desktop.autostarted = Autostarted(desktop, autostart)
    start_session(desktop, ["lxqt-session"])
    desktop.autostarted.pid = poll("the autostart entry to start the program",
                                   desktop.autostarted.read_pid, 30, 0.1)
    with open(f"/proc/{desktop.autostarted.pid}/stat") as f:
        parent = int(f.read().rpartition(")")[2].split()[1])
    check(parent == desktop.session.pid, "the program is not lxqt-session's")
    wait_sni_host(desktop)


def start_kde(desktop, config):
    """As Plasma's session starter does: ksmserver first, then the window manager and the shell,
    then restoreSession(). The test starts the program, with SESSION_MANAGER from ksmserver."""
    runtime = desktop.env["XDG_RUNTIME_DIR"]
    desktop.env.update({"XDG_CURRENT_DESKTOP": "KDE", "KDE_FULL_SESSION": "true",
                        "KDE_SESSION_VERSION": "5", "DESKTOP_SESSION": "plasma",
                        "XDG_CONFIG_DIRS": "/etc/xdg", "XDG_DATA_DIRS": "/usr/share",
                        "XDG_CACHE_HOME": os.path.join(desktop.tmp, "cache"),
                        "XDG_DATA_HOME": os.path.join(desktop.tmp, "share")})
    hide_system_autostart(os.path.join(config, "autostart"))
    start_session(desktop, ["ksmserver", "--no-lockscreen"])
    address = os.path.join(runtime, "KSMserver_" + desktop.env["DISPLAY"].replace(":", "_"))
    poll("ksmserver's address", lambda: os.path.exists(address), 30, 0.1)
    poll("ksmserver on the bus", lambda: desktop.bus(
        "call", *KSMSERVER, "isShuttingDown", check=False) is not None, 30, 0.1)
    with open(address) as f:
        desktop.env["SESSION_MANAGER"] = f.readline().strip()
    # kded5 holds the StatusNotifierWatcher; Plasma's session starter runs it before the shell.
    for argv, env in ((["kwin_x11"], {"KWIN_COMPOSE": "N"}), (["kded5"], {}),
                      (["plasmashell", "--no-respawn"], {"LIBGL_ALWAYS_SOFTWARE": "1"})):
        desktop.spawn(argv, dict(desktop.env, **env), log="kde")
    desktop.bus("call", *KSMSERVER, "restoreSession")
    wait_sni_host(desktop, 60, 0.2)

