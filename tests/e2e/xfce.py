"""A real Xfce session for one test: Xvfb, a private session bus, xfce4-session with xfwm4 and
xfce4-panel (one panel holding the status tray), in a throw-away home.

    with XfceSession("name", artifacts) as xfce:
        app = xfce.start(["bayminder", ...])       # a process of the session, in xfce.env
        xfce.sm("GetState")                        # xfce4-session's D-Bus API, parsed

xfce.env carries SESSION_MANAGER as xfce4-session gives it to its clients; the ICE cookie is in
xfce.iceauthority. Everything runs in its own process group under a parent-death signal.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile

from harness import Desktop, Failure, _kill_group, _spawn, check, poll

SM_NAME = "org.xfce.SessionManager"
SM_PATH = "/org/xfce/SessionManager"
SM_IFACE = "org.xfce.Session.Manager"
CLIENT_IFACE = "org.xfce.Session.Client"
WATCHER = "org.kde.StatusNotifierWatcher"
# xfce4-session's states (GetState).
IDLE, CHECKPOINT, SHUTDOWN = 1, 2, 3

NEEDED = ["Xvfb", "dbus-daemon", "dbus-send", "xfce4-session", "xfce4-panel", "xfwm4",
          "xfce4-session-logout", "setpriv"]

# Only the window manager and a panel with the status tray: nothing else of a full desktop
# (file manager, desktop icons) that a test does not need.
CONFIG = os.path.join(os.path.dirname(os.path.abspath(__file__)), "xfce_config")


def missing():
    return [tool for tool in NEEDED if shutil.which(tool) is None]


def parse_dbus_send(text):
    """The values of a dbus-send --print-reply answer: strings, numbers and object paths, in
    order (nesting flattened)."""
    values = []
    for m in re.finditer(r'^\s*(?:variant\s+)?(string|object path|u?int\d+|byte|boolean)\s+'
                         r'("(?:[^"\\]|\\.)*"|\S+)', text, re.M):
        kind, raw = m.groups()
        if raw.startswith('"'):
            values.append(raw[1:-1])
        elif kind == "boolean":
            values.append(raw == "true")
        else:
            values.append(int(raw))
    return values


class XfceSession:
    def __init__(self, name, artifacts):
        self.name = name
        self.artifacts = artifacts
        self._procs = []  # in start order; stopped in reverse
        self.session = None
        self.session_log = None
        self.env = {}
        self.tmp = tempfile.mkdtemp(prefix=f"bm-xfce-{name}-")

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def __exit__(self, kind, value, tb):
        try:
            if kind is not None and "DISPLAY" in self.env:
                os.makedirs(self.artifacts, exist_ok=True)
                subprocess.run(["import", "-window", "root",
                                os.path.join(self.artifacts, f"{self.name}-failure.png")],
                               env=self.env, capture_output=True, timeout=30)
        finally:
            for proc in reversed(self._procs):
                _kill_group(proc, ((signal.SIGKILL, 5.0),))
            if self.session_log is not None:
                self.session_log.close()
            shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def _start(self):
        home = self.tmp
        config = os.path.join(home, "config")
        runtime = os.path.join(home, "runtime")
        xfconf = os.path.join(config, "xfce4", "xfconf", "xfce-perchannel-xml")
        os.makedirs(xfconf)
        os.makedirs(runtime, mode=0o700)
        for channel in ("xfce4-session.xml", "xfce4-panel.xml"):
            shutil.copy(os.path.join(CONFIG, channel), xfconf)
        # The system's autostart entries (screensaver, settings daemon...) stay out.
        autostart = os.path.join(config, "autostart")
        os.makedirs(autostart)
        if os.path.isdir("/etc/xdg/autostart"):
            for entry in os.listdir("/etc/xdg/autostart"):
                with open(os.path.join(autostart, entry), "w") as f:
                    f.write("[Desktop Entry]\nType=Application\nName=off\nExec=true\nHidden=true\n")
        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("QT_", "WAYLAND_", "DBUS_", "XDG_", "DESKTOP_SESSION",
                                    "AT_SPI_", "ICEAUTHORITY", "GTK_"))
               and k not in ("DISPLAY", "XAUTHORITY", "SESSION_MANAGER")}
        env.update({"HOME": home, "XDG_CONFIG_HOME": config, "XDG_RUNTIME_DIR": runtime,
                    "XDG_CACHE_HOME": os.path.join(home, "cache"),
                    "XDG_DATA_HOME": os.path.join(home, "data"),
                    "XDG_CURRENT_DESKTOP": "XFCE", "XDG_SESSION_TYPE": "x11",
                    "NO_AT_BRIDGE": "1"})
        self.env = env
        self._start_x()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self._start_bus("session")
        # An empty system bus: nothing of the machine's own logind reaches the test.
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self._start_bus("system")
        os.makedirs(self.artifacts, exist_ok=True)
        self.session_log = open(os.path.join(self.artifacts, f"{self.name}-xfce4-session.log"),
                                "wb")
        self.session = _spawn(["xfce4-session"], self.env, stdin=subprocess.DEVNULL,
                              stdout=self.session_log, stderr=subprocess.STDOUT)
        self._procs.append(self.session)
        poll(lambda: self.has_name(SM_NAME), 30, 0.1, "xfce4-session on the session bus")
        poll(lambda: self.state() == IDLE, 60, 0.2, "xfce4-session to finish starting")
        poll(lambda: self.has_name(WATCHER), 30, 0.1, "the panel's StatusNotifierWatcher")
        self.env["SESSION_MANAGER"] = poll(self._session_manager, 10, 0.1,
                                           "SESSION_MANAGER in the panel's environment")
        self.iceauthority = os.path.join(runtime, "ICEauthority")
        check(os.path.exists(self.iceauthority), f"no ICE cookie in {self.iceauthority}")

    # The same X server and buses as the trayer desktop's: they use env, tmp and _procs alike.
    _start_x = Desktop._start_x
    _start_bus = Desktop._start_bus

    def _session_manager(self):
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open(f"/proc/{pid}/comm") as f:
                    if f.read().strip() != "xfce4-panel":
                        continue
                with open(f"/proc/{pid}/environ", "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            values = dict(e.split(b"=", 1) for e in environ if b"=" in e)
            if values.get(b"DBUS_SESSION_BUS_ADDRESS", b"").decode() == \
                    self.env["DBUS_SESSION_BUS_ADDRESS"] and b"SESSION_MANAGER" in values:
                return values[b"SESSION_MANAGER"].decode()
        return None

    # ----- D-Bus

    def call(self, dest, path, method, *args, timeout=30):
        """dbus-send on the session bus; args as dbus-send writes them ("string:x")."""
        result = subprocess.run(["dbus-send", "--session", "--print-reply", f"--dest={dest}",
                                 f"--reply-timeout={timeout * 1000}", path, method] + list(args),
                                env=self.env, capture_output=True, text=True, timeout=timeout + 5)
        if result.returncode != 0:
            raise Failure(f"{method}: {result.stderr.strip()}")
        return parse_dbus_send(result.stdout)

    def sm(self, method, *args, timeout=30):
        """A method of xfce4-session's manager interface."""
        return self.call(SM_NAME, SM_PATH, f"{SM_IFACE}.{method}", *args, timeout=timeout)

    def state(self):
        try:
            return self.sm("GetState", timeout=5)[0]
        except (Failure, IndexError, subprocess.TimeoutExpired):
            return None

    def has_name(self, name):
        try:
            return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus.NameHasOwner", f"string:{name}",
                             timeout=5) == [True]
        except (Failure, subprocess.TimeoutExpired):
            return False

    def clients(self, *names):
        """[{property: value}] of every client xfce4-session lists; names: properties with one
        value each (Program, ProcessID, RestartStyleHint...)."""
        found = []
        for path in self.sm("ListClients"):
            values = self.call(SM_NAME, path, f"{CLIENT_IFACE}.GetSmProperties",
                               "array:string:" + ",".join(names))
            found.append(dict(zip(values[0::2], values[1::2])))
        return found

    def status_items(self):
        """The PIDs of the items registered with the panel's StatusNotifierWatcher."""
        items = self.call(WATCHER, "/StatusNotifierWatcher",
                          "org.freedesktop.DBus.Properties.Get", f"string:{WATCHER}",
                          "string:RegisteredStatusNotifierItems")
        pids = []
        for item in items:
            service = item.split("/", 1)[0]
            pids += self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                              "org.freedesktop.DBus.GetConnectionUnixProcessID",
                              f"string:{service}")
        return pids

    # ----- processes of the session

    def start(self, argv, env=None, **popen):
        """A process in the session's environment, stopped with the session."""
        proc = _spawn(list(argv), dict(self.env, **(env or {})), **popen)
        self._procs.append(proc)
        return proc

    def logout(self):
        """What the user's "Log Out" does, without the dialog; returns at once."""
        return self.start(["xfce4-session-logout", "--logout"], stdout=subprocess.DEVNULL,
                          stderr=subprocess.DEVNULL)

    def session_ended(self, timeout):
        try:
            self.session.wait(timeout)
            return True
        except subprocess.TimeoutExpired:
            return False

