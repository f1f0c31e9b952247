"""A private desktop for one acceptance test: Xvfb with a tray host (trayer, or a real session
as session_desktops.py brings them up), a session bus, a system bus with a
logind mock, and the program on a copy of machines/demo.json in a throw-away home.
Everything runs in its own process group under a parent-death signal, so nothing outlives the
test, even when CTest kills it. Waits are on trace lines or on a polled condition with a
deadline; nothing sleeps to synchronise.
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SYSTEM_PYTHON = "/usr/bin/python3"
NEEDS = ["xdotool", "xwininfo", "xprop", "import", "dbus-daemon", "busctl", "setpriv",
         "python3-dbusmock"]
TRAYER = ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
          "--transparent", "false", "--tint", "0xdddddd", "--SetDockType", "true"]
SM = ("org.xfce.SessionManager", "/org/xfce/SessionManager", "org.xfce.Session.Manager")
WATCHER = ("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
           "org.kde.StatusNotifierWatcher")
GSM = ("org.gnome.SessionManager", "/org/gnome/SessionManager", "org.gnome.SessionManager")
DBUS = ("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus")
LOGIND = ("org.freedesktop.login1", "/org/freedesktop/login1")
IDLE, SHUTDOWN = 1, 3  # xfce4-session's states (GetState)
# The client that calls a logout off (xsmp_canceller.cpp).
CANCELLER = os.environ.get("BAYMINDER_XSMP_CANCELLER", "BAYMINDER_XSMP_CANCELLER")
ADDED = r'^bayminder\.tray: NIM_ADD "Bayminder"$'
SHOWN, HIDDEN = r"^bayminder\.forms: show frmMonitor$", r"^bayminder\.forms: hide frmMonitor$"
NOTIFICATION = "Bayminder Notification"
DELETED = r"^bayminder\.tray: NIM_DELETE$"
# One end of the session, trays from the last letter down: both closed, D: ejected, and with a
# window both closed again as it hides.
WINDOWLESS = [("E", "closed"), ("D", "closed"), ("D", "open")]
WINDOWED = WINDOWLESS + [("E", "closed"), ("D", "closed")]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def poll(what, condition, timeout=5, interval=0.05):
    """The first true answer of condition() within timeout seconds."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        check(time.monotonic() < deadline, f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)
    return value


def settle(what, get, expected, timeout=5):
    """Polls get() until it answers expected; a failure tells its last answer."""
    deadline = time.monotonic() + timeout
    while (now := get()) != expected:
        check(time.monotonic() < deadline,
              f"{what} is {now!r} after {timeout:g} s, expected {expected!r}")
        time.sleep(0.05)


def door_moves(app, since=0):
    """The door commands from trace line since on, as [(letter, "open" or "closed")]."""
    moves, letter = [], None
    for _, m in app.trace.find(r"^bayminder\.mci: (open (\w):|set cd door (open|closed) )", since):
        letter = m.group(2) or letter
        moves += [(letter, m.group(3))] if m.group(3) else []
    return moves


def put(path, text, mode=0o644):
    """Writes a file, and the folders it needs."""
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w") as f:
        f.write(text)
    os.chmod(path, mode)


def read_int(path):
    """The number a program wrote to path, or None while it has written none."""
    try:
        with open(path) as f:
            return int(f.read())
    except (OSError, ValueError):
        return None


def hide_system_autostart(autostart, keep=()):
    """Hides the machine's own autostart entries (screensavers, agents...), all but keep."""
    os.makedirs(autostart, exist_ok=True)
    for entry in os.listdir("/etc/xdg/autostart") if os.path.isdir("/etc/xdg/autostart") else []:
        if entry not in keep:
            put(os.path.join(autostart, entry), "[Desktop Entry]\nType=Application\nName=off\n"
                "Exec=true\nHidden=true\n")


def start_session(desktop, argv):
    """The session manager argv, its log in the artefacts; SIGTERM would be taken for a logout."""
    desktop.session = desktop.spawn(argv, None, signal.SIGKILL, os.path.basename(argv[0]))


def wait_sni_host(desktop, timeout=30, interval=0.1):
    """Once the panel's status tray is there, the icon is an item with its watcher."""
    poll("the panel's status tray", lambda: desktop.bus(
        "get-property", *WATCHER, "IsStatusNotifierHostRegistered", check=False), timeout, interval)
    desktop.sni = True


def trimmed(desktop, *convert):
    """The size and the middle of what is left of convert's picture after -trim."""
    out = desktop.run("convert", *convert, "-trim", "-format", "%w %h %X %Y", "info:").stdout
    width, height, x, y = (int(v.lstrip("+")) for v in out.split())
    return width, height, (x + width // 2, y + height // 2)


def start_canceller(desktop):
    """Another client of the session, one that calls a logout off."""
    canceller = Program(desktop, [CANCELLER], stream="stdout")
    # A logout during the session manager's first save of a new client can pass the client by
    # (gnome-session takes the answer to that save for the answer to the logout): that save over
    # first.
    canceller.trace.wait_for(r"^SaveComplete$", 10)
    return canceller


def checkpoint(desktop, app, ask, done=lambda: None):
    """A save without shutdown (ask()) is answered and touches nothing."""
    before, mark = desktop.read_machine(), app.trace.mark()
    ask()
    app.trace.wait_for(r"^bayminder\.session: SaveYourself checkpoint", 10, mark)
    app.trace.wait_for(r"^bayminder\.session: SaveYourselfDone$", 10, mark)
    done()
    check(app.trace.stays_absent(r"^bayminder\.(tray: NIM_DELETE|mci: set cd door|forms: show )",
                                 2, mark), "a checkpoint touched the icon, a door or a window")
    check(desktop.read_machine() == before, "a checkpoint moved a door")
    check(app.running() and desktop.icon_shown(app), "the program or its icon went")


def held_logout(desktop, app, logout, during=lambda: None, die=r"^bayminder\.session: Die$",
                early=None):
    """A logout with windows: one check, its notification shown once for about 11 s while the
    session manager waits (during() checks it meanwhile), Die once it hid, then the end."""
    mark = app.trace.mark()
    logout()
    shown_at, _ = app.trace.wait_for(SHOWN, 15, mark)
    poll("the notification on screen", lambda: desktop.visible_windows(NOTIFICATION, app), 10)
    poll("D: ejected", lambda: desktop.door("D") == "open")
    during()
    hidden_at, _ = app.trace.wait_for(HIDDEN, 20, mark)
    died_at, _ = app.trace.wait_for(die, 10, mark)
    check(died_at >= hidden_at, "the session manager went on before the notification hid")
    check(9.5 <= hidden_at - shown_at <= 14,
          f"the notification stayed {hidden_at - shown_at:.1f} s, expected about 11 s")
    lag = ends_with_session(desktop, app, mark, early)
    check(len(app.trace.find(SHOWN, mark)) == 1 and door_moves(app, mark) == WINDOWED,
          f"door commands {door_moves(app, mark)}, expected one notification and {WINDOWED}")
    check((desktop.door("D"), desktop.door("E")) == ("closed", "closed"), "a tray left open")
    print(f"notification {hidden_at - shown_at:.1f} s; ended {lag:.2f} s after the session")


def goes_on(desktop, app, mark):
    """After a logout called off: no notification left, the icon back (added again if it went),
    the program running and not told to die."""
    poll("no notification", lambda: not desktop.visible_windows(NOTIFICATION, app), 5)
    if app.trace.find(DELETED, mark):
        app.trace.wait_for(ADDED, 5, mark)
    poll("the icon back", lambda: desktop.icon_shown(app), 10)
    check(app.running() and not app.trace.find(r"^bayminder\.session: Die$", mark),
          "the program ended, or was told to, after a cancelled logout")


def ends_with_session(desktop, app, since, early=None):
    """The program ends with status 0 within 2 s after the session manager (and at most early
    s before it), the icon never put back since the end began; returns how long after."""
    ended = {}

    def both():
        for proc in (desktop.session, app.proc):
            if proc.poll() is not None:
                ended.setdefault(proc, time.monotonic())
        return len(ended) == 2
    poll("the session manager and the program to end", both, 30, 0.02)
    lag = ended[app.proc] - ended[desktop.session]
    check(app.proc.returncode == 0 and lag <= 2 and (early is None or -early <= lag),
          f"the program ended {lag:+.1f} s after the session manager, status {app.proc.returncode}")
    check(not app.trace.find(ADDED, since), "the icon was put back during the end of the session")
    return lag


class Trace:
    """A process's output, read as it comes, each line with its arrival time."""

    def __init__(self, stream):
        self.lines, self._cond, self._closed = [], threading.Condition(), False  # (time, text)
        threading.Thread(target=self._read, args=(stream,), daemon=True).start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._cond:
                self.lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))
                self._cond.notify_all()
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def mark(self):
        return len(self.lines)

    def find(self, pattern, since=0):
        """All (time, match) of pattern from line index since on."""
        found = ((when, re.search(pattern, text)) for when, text in self.lines[since:])
        return [(when, m) for when, m in found if m]

    def wait_for(self, pattern, timeout, since=0):
        """The first (time, match) of pattern from line since on; raises after timeout."""
        deadline = time.monotonic() + timeout
        with self._cond:
            while not (found := self.find(pattern, since)):
                left = deadline - time.monotonic()
                check(left > 0 and not self._closed, f"no trace line matching {pattern!r} within "
                      f"{timeout:g} s" + (" (the output was closed)" if self._closed else ""))
                self._cond.wait(left)
            return found[0]

    def stays_absent(self, pattern, seconds, since=0):
        """True when no line matching pattern arrives within seconds (a bounded negative check)."""
        try:
            self.wait_for(pattern, seconds, since)
        except Failure:
            return True
        return False

    def text(self, since_time):
        with self._cond:
            return "\n".join(f"{when - since_time:8.3f} {text}" for when, text in self.lines)


def fifo_trace(path):
    """A new named pipe's trace, both ends opened here: no end of file before a writer."""
    os.mkfifo(path)
    return Trace(os.fdopen(os.open(path, os.O_RDWR), "rb"))


class Program:
    """A process of the desktop whose output (by default standard error) is read as a trace."""

    def __init__(self, desktop, argv, env=None, stream="stderr"):
        # SIGTERM would be the task manager's close, which waits for its message box.
        self.proc = desktop.spawn(argv, dict(desktop.env, **(env or {})), signal.SIGKILL,
                                  **{stream: subprocess.PIPE})
        self.pid, self.started, self.status, self.icon = self.proc.pid, time.monotonic(), None, None
        self.trace = Trace(getattr(self.proc, stream))
        desktop.programs.append(self)

    def running(self):
        return self.proc.poll() is None

    def wait_exit(self, timeout=10):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"pid {self.pid} still runs {timeout:g} s later") from None


class Desktop:
    def __init__(self, name, program, artifacts, start=None):
        # start(desktop, config folder) brings up the session; None: trayer alone. sni: the icon
        # is an item with a panel's StatusNotifierWatcher, not an embedded window.
        self.name, self.artifacts, self._start_session, self.sni = name, artifacts, start, False
        self.program = os.path.abspath(program)
        self.programs, self._procs, self.env, self._logs = [], [], {}, set()
        self.tmp = tempfile.mkdtemp(prefix=f"bm-e2e-{name}-")
        self.machine = os.path.join(self.tmp, "machine.json")
        self.settings_file = os.path.join(self.tmp, "config", "Bayminder", "Bayminder.ini")
        os.makedirs(artifacts, exist_ok=True)

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self.__exit__(*sys.exc_info())
            raise
        return self

    def __exit__(self, kind, value, tb):
        for program in self.programs:
            program.status = program.proc.poll()  # None: still running, ended here
        try:
            if kind is not None:
                self.screenshot(f"{self.name}-failure.png")
        finally:
            for proc, first in reversed(self._procs):
                # The group too: a leader that has ended may leave children.
                for sig in (first, signal.SIGKILL):
                    try:
                        os.killpg(proc.pid, sig)
                        proc.wait(2)
                    except (ProcessLookupError, PermissionError, subprocess.TimeoutExpired):
                        pass
            for i, program in enumerate(self.programs):
                with open(os.path.join(self.artifacts, f"{self.name}-{i + 1}.trace"), "w") as out:
                    out.write(program.trace.text(program.started) + "\n")
            shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def spawn(self, argv, env=None, first=signal.SIGTERM, log=None, **streams):
        """A process in its own group, signalled with first and then killed at the end; its output
        into the artefacts' NAME-LOG.log, or nowhere, unless streams say otherwise."""
        out = subprocess.DEVNULL
        if log:  # the first of a log's processes starts it afresh
            out = open(os.path.join(self.artifacts, f"{self.name}-{log}.log"),
                       "ab" if log in self._logs else "wb")
            self._logs.add(log)
        streams = {"stdin": subprocess.DEVNULL, "stdout": out, "stderr": out, **streams}
        proc = subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--"] + argv,
                                env=env or self.env, start_new_session=True, **streams)
        self._procs.append((proc, first))
        return proc

    def home(self, **env):
        """The throw-away home with the demo machine, and an environment with nothing of the
        machine's own desktop session; returns the config folder."""
        config, runtime = os.path.join(self.tmp, "config"), os.path.join(self.tmp, "runtime")
        os.makedirs(runtime, mode=0o700)
        shutil.copyfile(os.path.join(HERE, "machines", "demo.json"), self.machine)
        self.env = {k: v for k, v in os.environ.items() if not k.startswith((
            "QT_", "WAYLAND_", "DBUS_", "XDG_", "DESKTOP_", "DISPLAY", "GTK_", "AT_SPI_",
            "ICEAUTHORITY", "SESSION_MANAGER", "XAUTHORITY", "GSETTINGS_"))}
        self.env.update(HOME=self.tmp, XDG_CONFIG_HOME=config, XDG_RUNTIME_DIR=runtime,
                        QT_LOGGING_RULES="bayminder.*=true", NO_AT_BRIDGE="1", **env)
        return config

    def _start(self):
        config = self.home(QT_QPA_PLATFORM="xcb")
        self.display = self.spawn(["Xvfb", "-displayfd", "1", "-screen", "0", "1024x768x24",
                                   "-nolisten", "tcp", "-noreset"], stdout=subprocess.PIPE)
        number = self.display.stdout.readline().decode().strip()
        check(number.isdigit(), "Xvfb did not report its display")
        self.env["DISPLAY"] = ":" + number
        self.start_buses()
        # The template lacks logind's limit on delay locks; 30 s holds a whole countdown.
        self.bus("call", *LOGIND, "org.freedesktop.DBus.Mock", "AddProperty", "ssv",
                 "org.freedesktop.login1.Manager", "InhibitDelayMaxUSec", "t", "30000000",
                 system=True)
        (self._start_session or Desktop.start_trayer)(self, config)

    def start_buses(self):
        """The session and system buses, and the logind mock on the system bus."""
        for bus in ("session", "system"):
            proc = self.spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                               f"--address=unix:path={self.tmp}/{bus}.sock"],
                              stdout=subprocess.PIPE)
            address = proc.stdout.readline().decode().strip()
            check(address.startswith("unix:"), f"the {bus} bus did not start")
            self.env[f"DBUS_{bus.upper()}_BUS_ADDRESS"] = address
        self.spawn([sys.executable, "-m", "dbusmock", "--template", "logind"])
        # The name is taken before the template has added its methods.
        poll("the logind mock", lambda: self.logind("ListInhibitors", check=False), 15)

    def start_trayer(self, _=None):
        self.spawn(TRAYER)
        # The tray selection is taken before the panel maps; a program started earlier
        # would find no tray.
        poll("trayer's panel to map", lambda: self.xdotool_ids(
            "search", "--onlyvisible", "--class", "trayer"), 15)

    # ----- D-Bus

    def bus(self, *args, system=False, check=True):
        """busctl VERB ARGS... on the session (or system) bus: the answer's data, or None when
        it fails and not check. ARGS are never taken for options (":1.57", "-1")."""
        address = self.env[f"DBUS_{'SYSTEM' if system else 'SESSION'}_BUS_ADDRESS"]
        result = subprocess.run(["busctl", f"--address={address}", "--json=short", "--timeout=10",
                                 args[0], "--"] + list(args[1:]),
                                env=self.env, capture_output=True, text=True, timeout=30)
        if result.returncode != 0:
            if check:
                raise Failure(f"busctl {' '.join(args)}: {result.stderr.strip()}")
            return None
        return json.loads(result.stdout)["data"] if result.stdout.strip() else []

    def logind(self, method, *args, check=True):
        return self.bus("call", *LOGIND, "org.freedesktop.login1.Manager", method, *args,
                        system=True, check=check)

    def delay_locks(self):
        """The shutdown delay locks logind holds."""
        return [row for row in self.logind("ListInhibitors")[0]
                if row[0] == "shutdown" and row[3] == "delay"]

    def prepare_for_shutdown(self, active):
        self.bus("call", *LOGIND, "org.freedesktop.DBus.Mock", "EmitSignal", "sssav",
                  "org.freedesktop.login1.Manager", "PrepareForShutdown", "b", "1", "b",
                  "true" if active else "false", system=True)

    def state(self):
        return (self.bus("call", *SM, "GetState", check=False) or [None])[0]

    def items(self):
        """The panel watcher's items, {pid: "service/path"}."""
        entries = self.bus("get-property", *WATCHER, "RegisteredStatusNotifierItems", check=False)
        owners = {entry: self.bus("call", *DBUS, "GetConnectionUnixProcessID", "s",
                                  entry.split("/")[0], check=False) for entry in entries or []}
        return {pid[0]: entry for entry, pid in owners.items() if pid}

    def icon_shown(self, app):
        return app.pid in self.items() if self.sni else bool(self.tray_icons(app))

    # ----- X

    def run(self, *argv):
        return subprocess.run(argv, env=self.env, capture_output=True, text=True, timeout=30)

    def xdotool(self, *args):
        result = self.run("xdotool", *args)
        check(result.returncode == 0, f"xdotool {' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def xdotool_ids(self, *args):
        # search answers 1 when nothing matches
        return [int(w) for w in self.run("xdotool", *args).stdout.split()]

    def windows(self, app):
        """Every X window of the program (_NET_WM_PID)."""
        return set(self.xdotool_ids("search", "--pid", str(app.pid)))

    def window_type(self, wid):
        return self.run("xprop", "-id", str(wid), "_NET_WM_WINDOW_TYPE").stdout

    def _info(self, wid):
        """(viewable, embedded in another window, override-redirect, [x, y, width, height])."""
        info = self.run("xwininfo", "-children", "-stats", "-id", str(wid)).stdout
        ids = set(re.findall(r"(?:Root|Parent) window id: (0x[0-9a-f]+)", info))
        box = re.findall(r"(?:Absolute upper-left [XY]|Width|Height): +(-?\d+)", info)
        return ("IsViewable" in info, len(ids) == 2, "Override Redirect State: yes" in info,
                [int(v) for v in box])

    def tray_icons(self, app):
        """The program's shown windows in the tray host: [[x, y, w, h]]. With no window manager,
        only the tray host reparents a window of the program."""
        infos = [self._info(wid) for wid in self.windows(app)]
        return [box for viewable, embedded, _, box in infos
                if viewable and embedded and box[2] >= 2 and box[3] >= 2]

    def wait_tray_icon(self, app, timeout=15):
        icons = poll("the icon embedded in trayer", lambda: self.tray_icons(app), timeout)
        check(len(icons) == 1, f"one tray icon expected, found {len(icons)}")
        return icons[0]

    def item(self, app, timeout=15):
        """The program's item with the panel's watcher: (service, path)."""
        service, _, path = poll("the item registered with the panel's watcher",
                                lambda: self.items().get(app.pid), timeout, 0.2).partition("/")
        return service, "/" + (path or "StatusNotifierItem")

    def visible_windows(self, title, app):
        own = self.windows(app)
        return [w for w in self.xdotool_ids("search", "--onlyvisible", "--name",
                                            f"^{re.escape(title)}$") if w in own]

    def wait_window(self, title, app, timeout=10):
        return poll(f"a window titled {title!r}", lambda: self.visible_windows(title, app),
                    timeout)[0]

    def wait_window_gone(self, title, app, timeout=10):
        poll(f"the window titled {title!r} to go", lambda: not self.visible_windows(title, app),
             timeout)

    def popup_menus(self, app):
        """The program's shown menus: typed as menus, or override-redirect windows that are no
        tooltip and not in the tray (Qt types a menu without a parent window as a normal one)."""
        found = []
        for wid in self.windows(app):
            viewable, embedded, override, _ = self._info(wid)
            kind = self.window_type(wid) if viewable else ""
            if "MENU" in kind or (override and "TOOLTIP" not in kind and not embedded):
                found.append(wid)
        return found

    def move_pointer(self, x, y):
        # --sync waits for the pointer to move, so it would wait for good when it is there.
        here = self.xdotool("getmouselocation", "--shell")
        if f"X={x}\n" not in here or f"Y={y}\n" not in here:
            self.xdotool("mousemove", "--sync", str(x), str(y))

    def click(self, x, y, button=1, repeat=1, hold_ms=0):
        """Clicks at x, y; returns the time just before the (last) release."""
        self.move_pointer(x, y)
        if hold_ms:
            # A user's click: the button stays down a while before it is let go.
            self.xdotool("mousedown", str(button), "sleep", str(hold_ms / 1000))
        released = time.monotonic()
        self.xdotool(*(["mouseup", str(button)] if hold_ms else
                       ["click", "--repeat", str(repeat), "--delay", "60", str(button)]))
        return released

    def click_icon(self, app, button=1, repeat=1, hold_ms=0):
        x, y, w, h = app.icon
        return self.click(x + w // 2, y + h // 2, button, repeat, hold_ms)

    def focus(self, wid):
        def focused():
            self.run("xdotool", "windowfocus", str(wid))
            out = self.run("xdotool", "getwindowfocus").stdout.split()
            return out and int(out[0]) == wid
        poll(f"the input focus on window {wid}", focused, 5, 0.1)

    def key(self, *keys):
        self.xdotool("key", "--clearmodifiers", *keys)

    def screenshot(self, filename, wid=None, keep=False):
        """Saves the screen (or one window) under the artefacts folder, and with keep as the
        README's picture too when BAYMINDER_UPDATE_SCREENSHOTS asks for it; returns its path."""
        path = os.path.join(self.artifacts, filename)
        if "DISPLAY" in self.env:
            self.run("import", "-window", "root" if wid is None else str(wid), path)
        if keep and os.environ.get("BAYMINDER_UPDATE_SCREENSHOTS"):
            shutil.copyfile(path, os.path.join(HERE, "..", "..", "docs", "screenshots", filename))
        return path

    # ----- the program and its files

    def start(self, *args, env=None):
        return Program(self, [self.program, "--simulate", self.machine] + list(args), env)

    def started(self, *args, closes=2, env=None):
        """The program once its icon is shown and its start-up has closed the CD trays that can
        close (both of the demo machine's by default); a click before that would meet the
        start-up's own door commands."""
        return self.shown(self.start(*args, env=env), closes)

    def shown(self, app, closes=2):
        app.trace.wait_for(ADDED, 20)
        poll("start-up to close the CD trays", lambda: len(
            app.trace.find(r"^bayminder\.mci: set cd door closed ")) >= closes, 15)
        app.icon = self.item(app) if self.sni else self.wait_tray_icon(app)
        return app

    def read_machine(self):
        """The machine file as the program last left it (it writes it atomically)."""
        with open(self.machine) as f:
            return json.load(f)

    def door(self, letter):
        return {d["letter"]: d.get("door") for d in self.read_machine()["drives"]}[letter]

    def edit_machine(self, change, machine=None):
        """Changes the machine file (or puts machine back) as another program would: a new file
        renamed over it. change gets the drives by letter."""
        machine = machine or self.read_machine()
        change({d["letter"]: d for d in machine["drives"]})
        with open(self.machine + ".new", "w") as f:
            json.dump(machine, f)
        os.replace(self.machine + ".new", self.machine)

    def write_settings(self, sections):
        """Writes the settings file before the program starts: {letter: {key: text}}."""
        put(self.settings_file, "".join(
            f"[{section}]\n" + "".join(f"{k}={v}\n" for k, v in keys.items()) + "\n"
            for section, keys in sections.items()))


def lacking(needs):
    """What of needs (programs, or Debian's python3-MODULE) this machine lacks. When the Python
    running this script lacks those modules and the system's has them, runs it again there."""
    modules = [n[len("python3-"):] for n in needs if n.startswith("python3-")]

    def lacks(python):
        return subprocess.run([python, "-c", "import " + ", ".join(modules)],
                              capture_output=True).returncode != 0
    if lacks(sys.executable) and os.path.exists(SYSTEM_PYTHON) and not lacks(SYSTEM_PYTHON):
        os.execv(SYSTEM_PYTHON, [SYSTEM_PYTHON] + sys.argv)
    return [n for n in needs if not n.startswith("python3-") and not shutil.which(n)] + (
        ["python3-" + m for m in modules] if lacks(sys.executable) else [])


def main(scope, needs=(), start=None, desktop=Desktop):
    """Runs the test_ function of scope named on the command line (PROGRAM ARTIFACTS_DIR TEST) on
    a desktop of the class, brought up by start; needs: programs, or Debian's python3-MODULE."""
    tests = {k[len("test_"):]: f for k, f in scope.items() if k.startswith("test_")}
    if len(sys.argv) != 4 or sys.argv[3] not in tests:
        print(f"usage: {sys.argv[0]} PROGRAM ARTIFACTS_DIR {{{','.join(tests)}}}", file=sys.stderr)
        return 2
    program, artifacts, name = sys.argv[1:]
    sys.stdout.reconfigure(line_buffering=True)
    # Without an X server or a tray host there is no desktop to test on; the rest is a broken
    # set-up (scripts/lib.sh installs all of it).
    if not shutil.which("Xvfb") or not shutil.which("trayer"):
        print("SKIP: the desktop tests need Xvfb and trayer", file=sys.stderr)
        return 77  # CTest's SKIP_RETURN_CODE
    missing = lacking(NEEDS + list(needs))
    if missing:
        print(f"FAIL {name}: missing {', '.join(missing)}", file=sys.stderr)
        return 1

    # A test that hangs still cleans up: SIGALRM and SIGTERM unwind through the Desktop.
    def stop(signum, _):
        raise Failure(f"stopped by signal {signum}")
    for sig in (signal.SIGTERM, signal.SIGALRM):
        signal.signal(sig, stop)
    signal.alarm(110)
    started = time.monotonic()
    desktop = desktop(name, program, artifacts, start)
    try:
        with desktop:
            tests[name](desktop)
    except Failure as failure:
        statuses = ["still running" if run.status is None else run.status
                    for run in desktop.programs]
        print(f"FAIL {name}: {failure}\n  the runs' exit statuses: {statuses}\n"
              f"  (traces, screenshots and logs in {artifacts})", file=sys.stderr)
        return 1
    print(f"PASS {name} ({time.monotonic() - started:.1f} s)")
    return 0
