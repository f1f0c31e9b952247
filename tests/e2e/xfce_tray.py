"""A real Xfce session for the tray tests: Xvfb, a private session bus, xfce4-session with xfwm4
and xfce4-panel (whose default panel has the status tray).

    with XfceSession(folder, env) as xfce:
        xfce.env        # env plus DISPLAY, DBUS_SESSION_BUS_ADDRESS, XDG_*: for the program
        xfce.bus(...)   # busctl on the session bus, answer as JSON

folder is a private scratch folder (the session's home); env the environment to start from, with
XDG_CONFIG_HOME and XDG_RUNTIME_DIR in it or under folder. Everything started here runs in its
own process groups under a parent-death signal and is killed on leaving the block. Entering
returns once the panel's StatusNotifierWatcher has a host registered.
"""

import json
import os
import signal
import subprocess
import time

NEEDS = ["Xvfb", "dbus-daemon", "xfce4-session", "xfce4-panel", "xfwm4", "busctl", "setpriv"]
WATCHER = "org.kde.StatusNotifierWatcher"
# Started by the session from /etc/xdg/autostart, and of no use here.
NOT_AUTOSTARTED = ["xscreensaver", "at-spi-dbus-bus", "xdg-user-dirs", "light-locker",
                   "xfce4-screensaver", "xfce4-power-manager", "nm-applet", "blueman"]


class XfceError(Exception):
    pass


def _spawn(argv, env, **kwargs):
    return subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--"] + argv, env=env,
                            start_new_session=True, **kwargs)


def _kill_group(proc):
    for sig, grace in ((signal.SIGTERM, 3.0), (signal.SIGKILL, 5.0)):
        try:
            os.killpg(proc.pid, sig)
        except ProcessLookupError:
            return
        try:
            proc.wait(grace)
            return
        except subprocess.TimeoutExpired:
            continue


class XfceSession:
    def __init__(self, folder, env, screen="1024x768x24"):
        self.folder = folder
        self.env = dict(env)
        self.screen = screen
        self._procs = []
        self.session = None  # the xfce4-session process

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc):
        for proc in reversed(self._procs):
            _kill_group(proc)
        self._procs.clear()
        return False

    def _start(self):
        env = self.env
        env.setdefault("XDG_CONFIG_HOME", os.path.join(self.folder, "config"))
        env.setdefault("XDG_RUNTIME_DIR", os.path.join(self.folder, "runtime"))
        env.update({"HOME": env.get("HOME", self.folder),
                    "XDG_CACHE_HOME": os.path.join(self.folder, "cache"),
                    "XDG_DATA_HOME": os.path.join(self.folder, "data"),
                    "XDG_CURRENT_DESKTOP": "XFCE", "XDG_SESSION_DESKTOP": "xfce",
                    "DESKTOP_SESSION": "xfce",
                    # The panel's first start would ask whether to use the default panel.
                    "XFCE_PANEL_MIGRATE_DEFAULT": "1"})
        os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        autostart = os.path.join(env["XDG_CONFIG_HOME"], "autostart")
        os.makedirs(autostart, exist_ok=True)
        for name in NOT_AUTOSTARTED:
            with open(os.path.join(autostart, name + ".desktop"), "w") as f:
                f.write("[Desktop Entry]\nType=Application\nName=off\nHidden=true\n")

        read_end, write_end = os.pipe()
        x = _spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", self.screen,
                    "-nolisten", "tcp", "-noreset"], env, pass_fds=(write_end,),
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._procs.append(x)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            number = pipe.readline().strip()
        if not number.isdigit():
            raise XfceError("Xvfb did not report its display")
        env["DISPLAY"] = ":" + number.decode()

        socket = os.path.join(self.folder, "xfce-session-bus.sock")
        bus = _spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                      f"--address=unix:path={socket}"], env, stdout=subprocess.PIPE,
                     stderr=subprocess.DEVNULL)
        self._procs.append(bus)
        address = bus.stdout.readline().decode().strip()
        if not address.startswith("unix:"):
            raise XfceError("the session bus did not start")
        env["DBUS_SESSION_BUS_ADDRESS"] = address
        env.pop("SESSION_MANAGER", None)

        self.log = open(os.path.join(self.folder, "xfce4-session.log"), "wb")
        self.session = _spawn(["xfce4-session"], env, stdout=self.log, stderr=subprocess.STDOUT)
        self._procs.append(self.session)
        self._wait(self._host_registered, 40, "the panel's status tray on the session bus")

    def _wait(self, condition, timeout, what):
        deadline = time.monotonic() + timeout
        while not condition():
            if self.session.poll() is not None:
                raise XfceError(f"xfce4-session ended (status {self.session.returncode}) "
                                f"while waiting for {what}")
            if time.monotonic() > deadline:
                raise XfceError(f"timed out after {timeout} s waiting for {what}")
            time.sleep(0.1)

    def _host_registered(self):
        answer = self.bus("get-property", WATCHER, "/StatusNotifierWatcher", WATCHER,
                          "IsStatusNotifierHostRegistered", check=False)
        return bool(answer and answer.get("data"))

    def bus(self, *args, check=True):
        """busctl VERB ARGS... on the session bus with JSON output; None when it fails and not
        check. ARGS are never taken for options (":1.57", "-1")."""
        result = subprocess.run(["busctl", "--address=" + self.env["DBUS_SESSION_BUS_ADDRESS"],
                                 "--json=short", "--timeout=10", args[0], "--"] + list(args[1:]),
                                env=self.env, capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            if check:
                raise XfceError(f"busctl {' '.join(args)}: {result.stderr.strip()}")
            return None
        return json.loads(result.stdout) if result.stdout.strip() else {}
