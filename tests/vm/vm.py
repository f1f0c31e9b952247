"""The test guest under QEMU: its drives, its control line and QMP.

The guest answers each command sent over its second serial port on one line (guest_init.sh);
QMP shows and changes the host's side of the hardware (discs in and out, drives plugged in and
out). Both are read only while the host waits for an answer: QEMU sends an event before the reply
to any later command, so a query gathers all events so far. A hotplug guest's third serial port
is its stream of lines that come unasked, read as they come."""

import base64
import json
import os
import select
import socket
import subprocess
import time

QEMU = "qemu-system-x86_64"


class VmError(Exception):
    pass


class _Lines:
    """A socket QEMU connects to, read a line at a time."""

    def __init__(self, path):
        if os.path.exists(path):
            os.unlink(path)
        self.sock, self.pending, self.name = socket.socket(socket.AF_UNIX), b"", path
        self.sock.bind(path)
        self.sock.listen(1)
        self.sock.settimeout(20)

    def accept(self):
        try:
            self.sock = self.sock.accept()[0]
        except OSError:
            raise VmError(f"QEMU did not connect to {os.path.basename(self.name)}")
        return self

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
    hotplug guest has its images as nodes that outlive the devices on them."""

    def __init__(self, guest_dir, work_dir, **media):
        self.guest_dir, self.work_dir, self.proc, self.events = guest_dir, work_dir, None, []
        self.cd, self.stick, self.floppy, self.desktop, self.hotplug = map(
            media.get, ("cd", "stick", "floppy", "desktop", "hotplug"))

    def command_line(self):
        w, img = self.work_dir, lambda name: os.path.join(self.guest_dir, name)
        cd, fd = (f",file={img(n)},format=raw" if n else "" for n in (self.cd, self.floppy))
        args = [QEMU, "-machine", "pc,accel=tcg", "-nodefaults", "-nographic", "-m", "512",
                "-no-reboot", "-kernel", img("vmlinuz"), "-initrd", img("initrd.gz"),
                # no_timer_check: on a busy host, emulated time lags and the kernel's check of
                # the timer's interrupt panics ("IO-APIC + timer doesn't work").
                "-append", "console=ttyS0 panic=-1 quiet loglevel=4 rdinit=/init no_timer_check"
                + " bm.desktop" * bool(self.desktop),
                "-serial", f"file:{w}/console.log", "-serial", f"unix:{w}/ctl.sock", "-qmp",
                f"unix:{w}/qmp.sock", "-drive", "if=none,id=cd0,media=cdrom,readonly=on" + cd,
                "-device", "ide-cd,drive=cd0,id=cd0dev", "-drive", "if=none,id=fd0" + fd,
                "-device", "floppy,drive=fd0,id=fd0dev", "-device", "qemu-xhci,id=xhci"]
        if self.stick:
            args += ["-drive", f"if=none,id=stick,file={img(self.stick)},format=raw",
                     "-device", "usb-storage,bus=xhci.0,drive=stick,removable=on,id=stickdev"]
        if self.hotplug:
            args += ["-serial", f"unix:{w}/stream.sock"]
            for node, f, ro in (("stickimg", "stick.img", "off"), ("discimg", "mydata.iso", "on")):
                args += ["-blockdev", f"driver=file,node-name={node}-file,read-only={ro},filename="
                         + img(f), "-blockdev",
                         f"driver=raw,file={node}-file,node-name={node},read-only={ro}"]
        return args

    def start(self):
        os.makedirs(self.work_dir, exist_ok=True)
        lines = [_Lines(os.path.join(self.work_dir, name + ".sock"))
                 for name in ("qmp", "ctl", "stream")[:3 if self.hotplug else 2]]
        started = time.monotonic()
        with open(os.path.join(self.work_dir, "qemu.log"), "w") as log:
            self.proc = subprocess.Popen(self.command_line(), stdin=subprocess.DEVNULL, stdout=log,
                                         stderr=subprocess.STDOUT)
        self._qmp, self._ctl, self.stream = [s.accept() for s in lines] + [None] * (3 - len(lines))
        self._qmp.read(lambda line: json.loads(line).get("QMP"), 20, "QMP greeting")
        self.qmp("qmp_capabilities")
        self._ctl.read(lambda line: "@@READY" in line or None, 90, "guest ready")
        self.boot_seconds = time.monotonic() - started

    def run(self, command, timeout=120, during=None):
        """Runs a shell command in the guest, and during() on the host meanwhile: (exit status,
        stdout, stderr)."""
        self._ctl.send(base64.b64encode(command.encode()).decode() + "\n")
        if during:
            during()

        def answer(line):
            f = line.split(" ")
            return (int(f[1]), *(base64.b64decode(o).decode("utf-8", "replace") for o in f[2:])) \
                if len(f) == 4 and f[0] == "@@" else None

        return self._ctl.read(answer, timeout, f"answer to {command!r}")

    def qmp(self, execute, **arguments):
        self._qmp.send(json.dumps({"execute": execute, "arguments": arguments}) + "\n")
        reply = self._qmp.read(self._reply, 20, f"QMP reply to {execute}")
        if "error" in reply:
            raise VmError(f"{execute}: {reply['error'].get('desc')}")
        return reply["return"]

    def _reply(self, line):
        msg = json.loads(line)  # an event is kept, and read past
        return self.events.append(msg) if "event" in msg else msg

    def mark(self):
        """The index of the next event, after all that came so far."""
        self.qmp("query-status")
        return len(self.events)

    def plug(self, *devices):
        """Adds devices in order; a usb-bot is attached once its LUNs are on its bus."""
        for props in devices:
            self.qmp("device_add", **props)
        for props in (p for p in devices if p["driver"] == "usb-bot"):
            self.qmp("qom-set", path=props["id"], property="attached", value=True)

    def unplug(self, qdev):
        mark = self.mark()
        self.qmp("device_del", id=qdev)
        while not any(e["event"] == "DEVICE_DELETED" and e["data"].get("device") == qdev
                      for e in self.events[mark:]):
            self._qmp.read(lambda line: self._reply(line) or True, 20, "QMP event DEVICE_DELETED")

    def change_medium(self, qdev, name):
        args = {"id": qdev, "filename": os.path.join(self.guest_dir, name), "format": "raw",
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
