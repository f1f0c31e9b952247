"""A private desktop for one acceptance test: X server, tray host, buses, the program.

Everything runs in its own process group under a parent-death signal, so nothing outlives the
test, even when CTest kills it at its timeout. Waits are on events (trace lines) or on a polled
condition with a deadline; nothing sleeps to synchronise.
"""

import functools
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
SKIP = 77  # CTest's SKIP_RETURN_CODE

TRAYER = ["trayer", "--edge", "top", "--align", "right", "--widthtype", "request", "--height", "32",
          "--transparent", "false", "--tint", "0xdddddd", "--SetDockType", "true"]


class Failure(Exception):
    pass


def check(condition, message):
    if not condition:
        raise Failure(message)


def poll(condition, timeout, interval=0.05, what="condition"):
    """Returns the first true value of condition() within timeout seconds, else raises."""
    deadline = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout:g} s waiting for {what}")
        time.sleep(interval)


@functools.lru_cache(maxsize=None)
def dbus_python():
    """A Python that can import dbusmock; the one running the tests may be another."""
    for candidate in (sys.executable, "/usr/bin/python3"):
        if candidate and subprocess.run([candidate, "-c", "import dbusmock"],
                                        capture_output=True).returncode == 0:
            return candidate
    return None


def missing_tools(needed):
    """The programs of needed not on PATH; "dbusmock" stands for the Python module."""
    missing = [tool for tool in needed if tool != "dbusmock" and shutil.which(tool) is None]
    if "dbusmock" in needed and dbus_python() is None:
        missing.append("python3-dbusmock")
    return missing


class Trace:
    """The program's standard error, read as it comes, each line with its arrival time."""

    def __init__(self, stream):
        self.lines = []  # (monotonic time, text)
        self._cond = threading.Condition()
        self._closed = False
        self._thread = threading.Thread(target=self._read, args=(stream,), daemon=True)
        self._thread.start()

    def _read(self, stream):
        for raw in iter(stream.readline, b""):
            with self._cond:
                self.lines.append((time.monotonic(), raw.decode("utf-8", "replace").rstrip("\n")))
                self._cond.notify_all()
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def mark(self):
        with self._cond:
            return len(self.lines)

    def find(self, pattern, since=0):
        """All (time, match) of pattern from line index since on."""
        regex = re.compile(pattern)
        with self._cond:
            found = []
            for when, text in self.lines[since:]:
                m = regex.search(text)
                if m:
                    found.append((when, m))
            return found

    def wait_for(self, pattern, timeout, since=0):
        """The first (time, match) of pattern from line since on; raises after timeout."""
        regex = re.compile(pattern)
        deadline = time.monotonic() + timeout
        index = since
        with self._cond:
            while True:
                while index < len(self.lines):
                    when, text = self.lines[index]
                    index += 1
                    m = regex.search(text)
                    if m:
                        return when, m
                left = deadline - time.monotonic()
                if left <= 0 or self._closed:
                    raise Failure(f"no trace line matching {pattern!r} within {timeout:g} s"
                                  + (" (the program closed its standard error)" if self._closed
                                     else ""))
                self._cond.wait(left)

    def stays_absent(self, pattern, seconds, since=0):
        """True when no line matching pattern arrives within seconds (a bounded negative check)."""
        try:
            self.wait_for(pattern, seconds, since)
        except Failure:
            return True
        return False

    def text(self, since_time):
        """The lines, each with its arrival in seconds after since_time."""
        with self._cond:
            return "\n".join(f"{when - since_time:8.3f} {text}" for when, text in self.lines)


def _spawn(argv, env, **kwargs):
    # setsid for a group to kill; the death signal for when the test itself is killed.
    return subprocess.Popen(["setpriv", "--pdeathsig", "KILL", "--"] + argv, env=env,
                            start_new_session=True, **kwargs)


def _kill_group(proc, signals=((signal.SIGTERM, 2.0), (signal.SIGKILL, 5.0))):
    """Signals the group in turn until its leader ends; a group whose leader has ended already
    may still hold children, which are killed outright."""
    if proc.poll() is not None:
        signals = ((signal.SIGKILL, 0),)
    for sig, grace in signals:
        try:
            os.killpg(proc.pid, sig)
            proc.wait(grace)
            return
        except (ProcessLookupError, PermissionError):
            return
        except subprocess.TimeoutExpired:
            continue


class Program:
    """One run of bayminder with the trace on."""

    def __init__(self, desktop, args):
        self.desktop = desktop
        self.proc = _spawn([desktop.program] + args, desktop.env, stdin=subprocess.DEVNULL,
                           stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        self.started = time.monotonic()
        self.pid = self.proc.pid
        self.trace = Trace(self.proc.stderr)

    def wait_exit(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            raise Failure(f"the program (pid {self.pid}) still runs {timeout:g} s later") from None

    def running(self):
        return self.proc.poll() is None

    def windows(self):
        """Ids of every X window the process owns (_NET_WM_PID)."""
        return set(self.desktop.xdotool_ids("search", "--pid", str(self.pid)))


class Desktop:
    """Xvfb, trayer, a session bus, a system bus with the logind mock, temp XDG folders."""

    def __init__(self, name, program, artifacts, machine):
        self.name = name
        self.program = os.path.abspath(program)
        self.artifacts = artifacts
        self.machine_source = machine
        self._procs = []
        self.programs = []
        self.tmp = tempfile.mkdtemp(prefix=f"bm-e2e-{name}-")

    # ----- set-up and tear-down

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
            # SIGTERM would be the task manager's close and wait for its message box.
            for program in self.programs:
                _kill_group(program.proc, ((signal.SIGKILL, 5.0),))
            for proc in reversed(self._procs):
                _kill_group(proc)
            self._save_traces()
            shutil.rmtree(self.tmp, ignore_errors=True)
        return False

    def _save_traces(self):
        os.makedirs(self.artifacts, exist_ok=True)
        for i, program in enumerate(self.programs):
            suffix = "" if i == 0 else f"-{i + 1}"
            with open(os.path.join(self.artifacts, f"{self.name}{suffix}.trace"), "w") as out:
                out.write(program.trace.text(program.started) + "\n")

    def _start(self):
        config = os.path.join(self.tmp, "config")
        runtime = os.path.join(self.tmp, "runtime")
        os.makedirs(config)
        os.makedirs(runtime, mode=0o700)
        self.settings_file = os.path.join(config, "Bayminder", "Bayminder.ini")
        self.machine = os.path.join(self.tmp, "machine.json")
        shutil.copyfile(self.machine_source, self.machine)

        env = {k: v for k, v in os.environ.items()
               if not k.startswith(("QT_", "WAYLAND_", "DBUS_", "XDG_", "DESKTOP_SESSION",
                                    "AT_SPI_"))
               and k not in ("DISPLAY", "XAUTHORITY", "SESSION_MANAGER")}
        env.update({"XDG_CONFIG_HOME": config, "XDG_RUNTIME_DIR": runtime,
                    "QT_QPA_PLATFORM": "xcb", "QT_LOGGING_RULES": "bayminder.*=true",
                    "NO_AT_BRIDGE": "1", "HOME": self.tmp})
        self.env = env

        self._start_x()
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self._start_bus("session")
        self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self._start_bus("system")
        self._start_logind()
        self._start_trayer()

    def _start_x(self):
        read_end, write_end = os.pipe()
        proc = _spawn(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                       "-nolisten", "tcp", "-noreset"], self.env, pass_fds=(write_end,),
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._procs.append(proc)
        os.close(write_end)
        number = b""
        with os.fdopen(read_end, "rb") as pipe:
            number = pipe.readline().strip()
        check(number.isdigit(), "Xvfb did not report its display")
        self.env["DISPLAY"] = ":" + number.decode()

    def _start_bus(self, which):
        socket = os.path.join(self.tmp, f"{which}.sock")
        proc = _spawn(["dbus-daemon", "--session", "--nofork", "--print-address=1",
                       f"--address=unix:path={socket}"], self.env, stdout=subprocess.PIPE,
                      stderr=subprocess.DEVNULL)
        self._procs.append(proc)
        address = proc.stdout.readline().decode().strip()
        check(address.startswith("unix:"), f"the {which} bus did not start")
        return address

    def _start_logind(self):
        self.dbus_python = dbus_python()
        proc = _spawn([self.dbus_python, "-m", "dbusmock", "--template", "logind"], self.env,
                      stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._procs.append(proc)
        check(self.logind("wait").returncode == 0, "the logind mock did not come up")

    def logind(self, *args):
        return subprocess.run([self.dbus_python, os.path.join(HERE, "logind_ctl.py")] + list(args),
                              env=self.env, capture_output=True, text=True, timeout=30)

    def logind_json(self, *args):
        result = self.logind(*args)
        check(result.returncode == 0, f"logind_ctl {' '.join(args)}: {result.stderr.strip()}")
        return json.loads(result.stdout)

    def _start_trayer(self):
        proc = _spawn(TRAYER, self.env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self._procs.append(proc)
        self.trayer_pid = proc.pid
        # The tray selection is taken before the panel maps; a program started earlier would
        # find no tray.
        poll(lambda: self._trayer_panels(), 15, what="trayer's panel to map")

    # ----- X helpers

    def run(self, *argv, check_rc=False):
        result = subprocess.run(list(argv), env=self.env, capture_output=True, text=True,
                                timeout=30)
        if check_rc and result.returncode != 0:
            raise Failure(f"{' '.join(argv)} failed: {result.stderr.strip()}")
        return result

    def xdotool(self, *args):
        return self.run("xdotool", *args, check_rc=True)

    def xdotool_ids(self, *args):
        # search answers 1 when nothing matches
        out = self.run("xdotool", *args).stdout
        return [int(w) for w in out.split()]

    def _trayer_panels(self):
        return [w for w in self.xdotool_ids("search", "--onlyvisible", "--class", "trayer")
                if self.viewable(w)]

    def viewable(self, wid):
        out = self.run("xwininfo", "-id", str(wid)).stdout
        return "IsViewable" in out

    def tray_icons(self, program):
        """The program's shown windows embedded in the tray host: [(id, x, y, w, h)]. With no
        window manager, only the tray host reparents a window of the program."""
        found = []
        for wid in program.windows():
            info = self.run("xwininfo", "-id", str(wid)).stdout
            if "IsViewable" not in info or not self._embedded(wid):
                continue
            x, y, w, h = (int(re.search(rf"{key}:\s+(-?\d+)", info).group(1)) for key in
                          ("Absolute upper-left X", "Absolute upper-left Y", "Width", "Height"))
            if w >= 2 and h >= 2:
                found.append((wid, x, y, w, h))
        return found

    def wait_tray_icon(self, program, timeout=15):
        icons = poll(lambda: self.tray_icons(program), timeout, what="the icon embedded in trayer")
        check(len(icons) == 1, f"one tray icon expected, found {len(icons)}")
        return icons[0]

    def wait_no_tray_icon(self, program, timeout=10):
        poll(lambda: not self.tray_icons(program), timeout, what="the icon to leave trayer")

    def visible_windows(self, title, program=None):
        ids = self.xdotool_ids("search", "--onlyvisible", "--name", f"^{re.escape(title)}$")
        if program is not None:
            own = program.windows()
            ids = [w for w in ids if w in own]
        return [w for w in ids if self.viewable(w)]

    def wait_window(self, title, program=None, timeout=10, exclude=()):
        def shown():
            return [w for w in self.visible_windows(title, program) if w not in exclude]
        return poll(shown, timeout, what=f"a window titled {title!r}")[0]

    def wait_window_gone(self, title, program=None, timeout=10):
        poll(lambda: not self.visible_windows(title, program), timeout,
             what=f"the window titled {title!r} to go")

    def window_type(self, wid):
        return self.run("xprop", "-id", str(wid), "_NET_WM_WINDOW_TYPE").stdout

    def popup_menus(self, program):
        """The program's shown menus: override-redirect windows that are no tooltip, or typed
        as menus (Qt types a menu without a parent window as a normal one)."""
        found = []
        for wid in program.windows():
            info = self.run("xwininfo", "-id", str(wid)).stdout
            if "IsViewable" not in info:
                continue
            kind = self.window_type(wid)
            if "MENU" in kind or ("Override Redirect State: yes" in info and "TOOLTIP" not in kind
                                  and not self._embedded(wid)):
                found.append(wid)
        return found

    def _embedded(self, wid):
        parent = self.run("xwininfo", "-children", "-id", str(wid)).stdout
        m = re.search(r"Parent window id: (0x[0-9a-f]+)", parent)
        root = re.search(r"Root window id: (0x[0-9a-f]+)", parent)
        return bool(m and root and m.group(1) != root.group(1))

    def move_pointer(self, x, y):
        # --sync waits for the pointer to move, so it would wait for good when it is there.
        here = self.xdotool("getmouselocation", "--shell").stdout
        if f"X={x}\n" in here and f"Y={y}\n" in here:
            return
        self.xdotool("mousemove", "--sync", str(x), str(y))

    def click(self, x, y, button=1, repeat=1, delay_ms=60, hold_ms=0):
        """Clicks at x, y; returns the time just before the (last) release."""
        self.move_pointer(x, y)
        if hold_ms:
            # A user's click: the button stays down a while before it is let go.
            self.xdotool("mousedown", str(button), "sleep", str(hold_ms / 1000))
            released = time.monotonic()
            self.xdotool("mouseup", str(button))
            return released
        released = time.monotonic()
        self.xdotool("click", "--repeat", str(repeat), "--delay", str(delay_ms), str(button))
        return released

    def click_icon(self, icon, button=1, repeat=1, hold_ms=0):
        _, x, y, w, h = icon
        return self.click(x + w // 2, y + h // 2, button, repeat, hold_ms=hold_ms)

    def focus(self, wid):
        # No window manager here: the input focus is set directly.
        def focused():
            self.run("xdotool", "windowfocus", str(wid))
            out = self.run("xdotool", "getwindowfocus").stdout.split()
            return out and int(out[0]) == wid
        poll(focused, 5, interval=0.1, what=f"the input focus on window {wid}")

    def key(self, *keys):
        self.xdotool("key", "--clearmodifiers", *keys)

    def screenshot(self, filename, wid=None, keep=False):
        """Saves the screen (or one window) under the artefacts folder, and with keep as the
        README's picture too when BAYMINDER_UPDATE_SCREENSHOTS asks for it; returns its path."""
        os.makedirs(self.artifacts, exist_ok=True)
        path = os.path.join(self.artifacts, filename)
        if "DISPLAY" in getattr(self, "env", {}):
            self.run("import", "-window", "root" if wid is None else str(wid), path)
        if keep and os.environ.get("BAYMINDER_UPDATE_SCREENSHOTS"):
            docs = os.path.join(os.path.dirname(os.path.dirname(HERE)), "docs", "screenshots")
            os.makedirs(docs, exist_ok=True)
            shutil.copyfile(path, os.path.join(docs, filename))
        return path

    # ----- the program and its files

    def start(self, *args):
        program = Program(self, ["--simulate", self.machine] + list(args))
        self.programs.append(program)
        return program

    def read_machine(self):
        """The machine file as the program last left it (it writes it atomically)."""
        with open(self.machine) as f:
            return json.load(f)

    def door(self, letter):
        for drive in self.read_machine()["drives"]:
            if drive["letter"] == letter:
                return drive.get("door")
        raise Failure(f"drive {letter} is not in the machine file")

    def write_settings(self, sections):
        """Writes the settings file before the program starts: {letter: {key: text}}."""
        os.makedirs(os.path.dirname(self.settings_file), exist_ok=True)
        with open(self.settings_file, "w") as f:
            for section, keys in sections.items():
                f.write(f"[{section}]\n")
                for key, text in keys.items():
                    f.write(f"{key}={text}\n")
                f.write("\n")


def main(tests, also_missing=lambda: [], desktop=Desktop):
    """Runs the test named on the command line: PROGRAM ARTIFACTS_DIR TEST. also_missing()
    names what else the tests need and this machine lacks; desktop is the Desktop class."""
    if len(sys.argv) != 4 or sys.argv[3] not in tests:
        print(f"usage: {sys.argv[0]} PROGRAM ARTIFACTS_DIR {{{','.join(tests)}}}", file=sys.stderr)
        return 2
    program, artifacts, name = sys.argv[1:]
    sys.stdout.reconfigure(line_buffering=True)
    # Without an X server or a tray host there is no desktop to test on; the rest is a broken
    # set-up (scripts/lib.sh installs all of it).
    missing = missing_tools(["Xvfb", "trayer"])
    if missing:
        print(f"SKIP: the desktop tests need {' and '.join(missing)}", file=sys.stderr)
        return SKIP
    missing = missing_tools(["xdotool", "xwininfo", "xprop", "import", "dbus-daemon", "setpriv",
                             "dbusmock"]) + also_missing()
    if missing:
        print(f"FAIL {name}: missing {', '.join(missing)}", file=sys.stderr)
        return 1
    machine = os.path.join(HERE, "machines", "demo.json")

    # A test that hangs still cleans up: SIGALRM and SIGTERM unwind through the Desktop.
    def stop(signum, _):
        raise Failure(f"stopped by signal {signum}")
    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGALRM, stop)
    signal.alarm(100)
    started = time.monotonic()
    desktop = desktop(name, program, artifacts, machine)
    try:
        with desktop:
            tests[name](desktop)
    except Failure as failure:
        print(f"FAIL {name}: {failure}", file=sys.stderr)
        for i, run in enumerate(desktop.programs):
            status = getattr(run, "status", None)
            if status is None:
                status = "none, it still ran"
            elif status < 0:
                status = f"killed by {signal.Signals(-status).name}"
            print(f"  program run {i + 1}: exit status {status}", file=sys.stderr)
        print(f"  (traces and screenshots in {artifacts})", file=sys.stderr)
        return 1
    print(f"PASS {name} ({time.monotonic() - started:.1f} s)")
    return 0
