"""The test guest under QEMU: its drives, its control line and QMP.

The guest runs the commands sent over its second serial port (see guest_init.sh) and answers
each on one line; QMP gives the host's view of the hardware and lets the host act on it (put a
disc in, take one out, pull the stick, plug drives in and out). Both are read only while the
host waits for an answer: QEMU sends an event before the reply to any later command, so a query
gathers all events so far. A hotplug guest's third serial port is its stream of lines that come
unasked, read as they come.
"""

import base64
import json
import os
import select
import shutil
import socket
import subprocess
import time

QEMU = "qemu-system-x86_64"


class VmError(Exception):
    pass


def qemu_available():
    """Why QEMU cannot run here, or None."""
    if shutil.which(QEMU) is None:
        return f"{QEMU} is not installed (Debian: qemu-system-x86)"
    try:
        subprocess.run([QEMU, "-machine", "help"], capture_output=True, timeout=20, check=True)
    except (OSError, subprocess.SubprocessError) as e:
        return f"{QEMU} does not run: {e}"
    return None


class _Lines:
    """A socket QEMU connects to, read a line at a time."""

    def __init__(self, path):
        if os.path.exists(path):
            os.unlink(path)
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.bind(path)
        self.sock.listen(1)
        self.pending = b""

    def accept(self, what):
        self.sock.settimeout(20)
        try:
            self.sock = self.sock.accept()[0]
        except OSError:
            raise VmError(f"QEMU did not connect its {what}")

    def send(self, text):
        self.sock.sendall(text.encode())

    def read(self, parse, timeout, what):
        """Reads lines until parse(line) gives a value other than None, and returns it."""
        deadline = time.monotonic() + timeout
        while True:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                found = parse(line.decode("utf-8", "replace").rstrip("\r"))
                if found is not None:
                    return found
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                raise VmError(f"no {what} after {timeout} s")
            try:
                chunk = self.sock.recv(65536)
            except OSError:
                chunk = b""
            if not chunk:
                raise VmError(f"no {what}: the guest is gone")
            self.pending += chunk


class Vm:
    """One guest. cd, stick and floppy are image files in the guest folder or None (an empty
    drive); a desktop guest runs the system bus, polkitd and udisksd as a desktop has them; a
    hotplug guest has a USB controller, and images as nodes that outlive the devices on them."""

    def __init__(self, guest_dir, work_dir, cd=None, stick=None, floppy=None, desktop=False, hotplug=False):
        self.guest_dir, self.work_dir, self.desktop, self.hotplug = guest_dir, work_dir, desktop, hotplug
        self.cd, self.stick, self.floppy = cd, stick, floppy
        self.proc = None
        self.events = []

    def image(self, name):
        return os.path.join(self.guest_dir, name)

    def command_line(self):
        w, cd, fd = self.work_dir, self.cd and self.image(self.cd), self.floppy and self.image(self.floppy)
        args = [QEMU, "-machine", "pc,accel=tcg", "-nodefaults", "-nographic", "-m", "512", "-no-reboot",
                "-kernel", self.image("vmlinuz"), "-initrd", self.image("initrd.gz"),
                # no_timer_check: on a busy host, emulated time lags and the kernel's check of
                # the timer's interrupt panics ("IO-APIC + timer doesn't work").
                "-append", "console=ttyS0 panic=-1 quiet loglevel=4 rdinit=/init no_timer_check"
                + (" bm.desktop" if self.desktop else ""),
                "-serial", f"file:{w}/console.log", "-serial", f"unix:{w}/ctl.sock",
                "-qmp", f"unix:{w}/qmp.sock",
                "-drive", "if=none,id=cd0,media=cdrom,readonly=on" + (f",file={cd}" if cd else ""),
                "-device", "ide-cd,drive=cd0,id=cd0dev",
                "-drive", "if=none,id=fd0" + (f",file={fd},format=raw" if fd else ""),
                "-device", "floppy,drive=fd0,id=fd0dev"]
        if self.stick or self.hotplug:
            args += ["-device", "qemu-xhci,id=xhci"]
        if self.stick:
            args += ["-drive", f"if=none,id=stick,file={self.image(self.stick)},format=raw",
                     "-device", "usb-storage,bus=xhci.0,drive=stick,removable=on,id=stickdev"]
        if self.hotplug:
            args += ["-serial", f"unix:{w}/stream.sock"]
            for node, name, ro in (("stickimg", "stick.img", "off"), ("discimg", "mydata.iso", "on")):
                args += ["-blockdev", f"driver=file,filename={self.image(name)},node-name={node}-file,read-only={ro}",
                         "-blockdev", f"driver=raw,file={node}-file,node-name={node},read-only={ro}"]
        return args

    def start(self):
        os.makedirs(self.work_dir, exist_ok=True)
        self._qmp, self._ctl = (_Lines(os.path.join(self.work_dir, s)) for s in ("qmp.sock", "ctl.sock"))
        self.stream = _Lines(os.path.join(self.work_dir, "stream.sock")) if self.hotplug else None
        started = time.monotonic()
        with open(os.path.join(self.work_dir, "qemu.log"), "w") as log:
            self.proc = subprocess.Popen(self.command_line(), stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT)
        self._qmp.accept("QMP")
        self._ctl.accept("serial line")
        if self.stream:
            self.stream.accept("stream line")
        self._qmp.read(lambda line: json.loads(line).get("QMP"), 20, "QMP greeting")
        self.qmp("qmp_capabilities")
        self._ctl.read(lambda line: "@@READY" in line or None, 90, "guest ready")
        self.boot_seconds = time.monotonic() - started

    def stop(self):
        if self.proc is not None:  # the guest keeps nothing: no need to shut it down
            self.proc.kill()
            self.proc.wait()

    def run(self, command, timeout=120, during=None):
        """Runs a shell command in the guest, and during() on the host meanwhile: (exit status,
        stdout, stderr)."""
        self._ctl.send(base64.b64encode(command.encode()).decode() + "\n")
        if during:
            during()

        def answer(line):
            fields = line.split(" ")
            if len(fields) != 4 or fields[0] != "@@":
                return None
            return (int(fields[1]), *(base64.b64decode(f).decode("utf-8", "replace") for f in fields[2:]))

        return self._ctl.read(answer, timeout, f"answer to {command!r}")

    def qmp(self, execute, **arguments):
        self._qmp.send(json.dumps({"execute": execute, "arguments": arguments}) + "\n")
        reply = self._qmp.read(self._reply, 20, f"QMP reply to {execute}")
        if "error" in reply:
            raise VmError(f"{execute}: {reply['error'].get('desc')}")
        return reply["return"]

    def _reply(self, line):
        msg = json.loads(line)
        if "event" not in msg:
            return msg
        self.events.append(msg)
        return None

    def tray(self, since):
        """Whether the CD tray is open, and how it moved from event index since on."""
        block = next(b for b in self.qmp("query-block") if b.get("qdev", "").endswith("cd0dev"))
        return block.get("tray_open"), [e["data"]["tray-open"] for e in self.events[since:]
                                        if e["event"] == "DEVICE_TRAY_MOVED"]

    def mark(self):
        """The index of the next event, after all that came so far."""
        self.qmp("query-status")
        return len(self.events)

    def plug(self, *devices):
        """Adds devices in order; a usb-bot is attached once its LUNs are on its bus."""
        for props in devices:
            self.qmp("device_add", **props)
        for props in devices:
            if props["driver"] == "usb-bot":
                self.qmp("qom-set", path=props["id"], property="attached", value=True)

    def unplug(self, qdev):
        mark = self.mark()
        self.qmp("device_del", id=qdev)
        while not any(e["event"] == "DEVICE_DELETED" and e["data"].get("device") == qdev for e in self.events[mark:]):
            self._qmp.read(lambda line: self._reply(line) or True, 20, "QMP event DEVICE_DELETED")

    def change_medium(self, qdev, name):
        args = {"id": qdev, "filename": self.image(name), "format": "raw",
                "read-only-mode": "read-only" if name.endswith(".iso") else "retain"}
        try:
            self.qmp("blockdev-change-medium", **args)
        except VmError as e:
            # udev's cdrom_id locks the door of a drive that holds a disc (so that its button asks
            # the desktop). The host opens it as a paper clip in the emergency hole would.
            if "locked" not in str(e):
                raise
            self.qmp("blockdev-open-tray", id=qdev, force=True)
            self.qmp("blockdev-change-medium", **args)
