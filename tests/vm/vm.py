"""The test guest under QEMU: its drives, its control line and QMP.

The guest runs the commands sent over its second serial port (see guest_init.sh) and answers
between markers; QMP gives the host's view of the hardware and lets the host act on it (put a
disc in, take one out, pull the stick).
"""

import base64
import json
import os
import shutil
import socket
import subprocess
import threading
import time

QEMU = "qemu-system-x86_64"


class VmError(Exception):
    pass


class QmpError(VmError):
    def __init__(self, error):
        super().__init__(f"{error.get('class')}: {error.get('desc')}")
        self.error = error


class _Line:
    """A socket read by a thread into a text buffer, with a condition to wait on."""

    def __init__(self, sock, on_line=None):
        self.sock = sock
        self.buf = ""
        self.cond = threading.Condition()
        self.closed = False
        self.on_line = on_line
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        pending = b""
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                data = b""
            if not data:
                with self.cond:
                    self.closed = True
                    self.cond.notify_all()
                return
            pending += data
            *lines, pending = pending.split(b"\n")
            with self.cond:
                for raw in lines:
                    line = raw.decode("utf-8", "replace").rstrip("\r")
                    if self.on_line is not None:
                        self.on_line(line)
                    else:
                        self.buf += line + "\n"
                self.cond.notify_all()

    def send(self, text):
        self.sock.sendall(text.encode())

    def wait_for(self, predicate, timeout, what):
        """Waits until predicate(buffer) gives a value other than None, and returns it."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                found = predicate(self.buf)
                if found is not None:
                    return found
                left = deadline - time.monotonic()
                if self.closed or left <= 0:
                    raise VmError(f"no {what} after {timeout} s" + (" (guest gone)" if self.closed else ""))
                self.cond.wait(left)


def _connect_unix(path, timeout, proc):
    deadline = time.monotonic() + timeout
    while True:
        s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            s.connect(path)
            return s
        except OSError:
            s.close()
            if proc.poll() is not None or time.monotonic() > deadline:
                raise VmError(f"cannot connect to {path}")
            # QEMU creates its sockets within milliseconds of starting; nothing to wait on.
            time.sleep(0.05)


def qemu_available():
    """Why QEMU cannot run here, or None."""
    if shutil.which(QEMU) is None:
        return f"{QEMU} is not installed (Debian: qemu-system-x86)"
    try:
        subprocess.run([QEMU, "-machine", "help"], capture_output=True, timeout=20, check=True)
    except (OSError, subprocess.SubprocessError) as e:
        return f"{QEMU} does not run: {e}"
    return None


class Vm:
    """One guest. cd, stick and floppy are image files or None (an empty drive); a desktop guest
    runs the system bus, polkitd and udisksd as a desktop has them."""

    def __init__(self, guest_dir, work_dir, cd=None, stick=None, floppy=None, memory=512, desktop=False):
        self.guest_dir = guest_dir
        self.work_dir = work_dir
        self.cd, self.stick, self.floppy, self.memory = cd, stick, floppy, memory
        self.desktop = desktop
        self.proc = None
        self.events = []
        self._next_id = 0
        self._qmp_replies = []

    # -- life cycle --

    def command_line(self):
        g = self.guest_dir
        args = [QEMU, "-machine", "pc,accel=tcg", "-nodefaults", "-nographic", "-m", str(self.memory),
                "-no-reboot", "-kernel", os.path.join(g, "vmlinuz"), "-initrd", os.path.join(g, "initrd.gz"),
                # no_timer_check: on a busy host, emulated time lags and the kernel's check of
                # the timer's interrupt panics ("IO-APIC + timer doesn't work").
                "-append", "console=ttyS0 panic=-1 quiet loglevel=4 rdinit=/init no_timer_check"
                + (" bm.desktop" if self.desktop else ""),
                "-serial", "file:" + self.console_log,
                "-serial", f"unix:{self.ctl_path},server=on,wait=off",
                "-qmp", f"unix:{self.qmp_path},server=on,wait=off"]
        cd = f"file={self.cd}," if self.cd else ""
        args += ["-drive", f"if=none,id=cd0,media=cdrom,{cd}readonly=on", "-device", "ide-cd,drive=cd0,id=cd0dev"]
        if self.stick:
            args += ["-device", "qemu-xhci,id=xhci",
                     "-drive", f"if=none,id=stick,file={self.stick},format=raw",
                     "-device", "usb-storage,bus=xhci.0,drive=stick,removable=on,id=stickdev"]
        fd = f"file={self.floppy},format=raw," if self.floppy else ""
        args += ["-drive", f"if=none,id=fd0,{fd}".rstrip(","), "-device", "floppy,drive=fd0,id=fd0dev"]
        return args

    def start(self, boot_timeout=90):
        os.makedirs(self.work_dir, exist_ok=True)
        self.console_log = os.path.join(self.work_dir, "console.log")
        self.ctl_path = os.path.join(self.work_dir, "ctl.sock")
        self.qmp_path = os.path.join(self.work_dir, "qmp.sock")
        for p in (self.ctl_path, self.qmp_path):
            if os.path.exists(p):
                os.unlink(p)
        self.started = time.monotonic()
        self.qemu_log = open(os.path.join(self.work_dir, "qemu.log"), "w")
        self.proc = subprocess.Popen(self.command_line(), stdin=subprocess.DEVNULL, stdout=self.qemu_log,
                                     stderr=subprocess.STDOUT)
        self._qmp = _Line(_connect_unix(self.qmp_path, 20, self.proc), on_line=self._qmp_line)
        self._ctl = _Line(_connect_unix(self.ctl_path, 20, self.proc))
        self._qmp.wait_for(lambda _: True if self._qmp_greeted else None, 20, "QMP greeting")
        self.qmp("qmp_capabilities")
        self._ctl.wait_for(lambda b: True if "@@READY" in b else None, boot_timeout, "guest ready")
        self.boot_seconds = time.monotonic() - self.started

    _qmp_greeted = False

    def _qmp_line(self, line):
        if not line.strip():
            return
        msg = json.loads(line)
        if "QMP" in msg:
            self._qmp_greeted = True
        elif "event" in msg:
            msg["_seen"] = time.monotonic()
            self.events.append(msg)
        else:
            self._qmp_replies.append(msg)

    def stop(self, timeout=20):
        if self.proc is None:
            return
        if self.proc.poll() is None:
            try:
                self.run("poweroff", timeout=10)
            except (VmError, OSError):  # a guest that is gone (a panic) cannot hear it
                pass
            try:
                self.proc.wait(timeout)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.qemu_log.close()

    def console(self):
        try:
            with open(self.console_log, errors="replace") as f:
                return f.read()
        except OSError:
            return ""

    # -- the guest --

    def run(self, command, timeout=60):
        """Runs a shell command in the guest: (exit status, stdout, stderr)."""
        self._next_id += 1
        cid = self._next_id
        self._ctl.send(f"{cid} {base64.b64encode(command.encode()).decode()}\n")
        end = f"@@END {cid} "

        def done(buf):
            at = buf.find(end)
            if at < 0:
                return None
            begin = buf.find(f"@@BEGIN {cid}\n")
            line_end = buf.find("\n", at)
            if line_end < 0:
                return None
            rc = int(buf[at + len(end):line_end])
            if begin < 0:
                return rc, "", ""
            body = buf[begin + len(f"@@BEGIN {cid}\n"):at]
            out, _, err = body.partition(f"@@STDERR {cid}\n")
            return rc, out, err

        return self._ctl.wait_for(done, timeout, f"answer to {command!r}")

    # -- QMP --

    def qmp(self, execute, timeout=20, **arguments):
        self._next_id += 1
        tag = f"q{self._next_id}"
        msg = {"execute": execute, "id": tag}
        if arguments:
            msg["arguments"] = arguments
        self._qmp.send(json.dumps(msg) + "\n")

        def reply(_):
            for r in self._qmp_replies:
                if r.get("id") == tag:
                    return r
            return None

        r = self._qmp.wait_for(reply, timeout, f"QMP reply to {execute}")
        if "error" in r:
            raise QmpError(r["error"])
        return r.get("return")

    def block(self, qdev):
        """The query-block entry of a device, by its qdev id; None when it is gone."""
        for b in self.qmp("query-block"):
            if b.get("qdev", "").split("/")[-1] == qdev or b.get("qdev") == qdev:
                return b
        return None

    def tray_open(self, qdev="cd0dev"):
        return self.block(qdev).get("tray_open")

    def wait_event(self, name, predicate=lambda e: True, since=0, timeout=20):
        """The first event of that name from index since on; waits for it if needed."""
        def found(_):
            for e in self.events[since:]:
                if e["event"] == name and predicate(e):
                    return e
            return None

        return self._qmp.wait_for(found, timeout, f"QMP event {name}")

    def change_medium(self, qdev, filename, read_only=False):
        args = {"id": qdev, "filename": filename, "format": "raw"}
        if read_only:
            args["read-only-mode"] = "read-only"
        try:
            return self.qmp("blockdev-change-medium", **args)
        except QmpError as e:
            # udev's cdrom_id locks the door of a drive that holds a disc (so that its button asks
            # the desktop). The host opens it as a paper clip in the emergency hole would.
            if "locked" not in str(e):
                raise
            self.qmp("blockdev-open-tray", id=qdev, force=True)
            return self.qmp("blockdev-change-medium", **args)

    def eject(self, qdev, force=False):
        return self.qmp("eject", id=qdev, force=force)

    def device_del(self, qdev):
        return self.qmp("device_del", id=qdev)
