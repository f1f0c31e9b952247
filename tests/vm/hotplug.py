"""Drives that come and go on the kernel's USB-storage and SCSI CD drivers: `bayminder-drives
watch` runs in the guest while the host plugs a USB CD drive and a USB stick in and out over QMP.

The watch's lines and udevd's view of the block devices (`udevadm monitor`, the kernel's event
and udevd's after its rules) reach the host on the guest's stream line, each watch line stamped
with the guest's clock as it came, so that the time from an event to the line it gave is the
guest's own.
"""

import json
import os
import re
import time

import vm

# QEMU gives a USB device without a serial number one made from its port; a real stick has its
# own, and so do these, so that the same device on another port is the same drive.
USB_CD = (dict(driver="usb-bot", id="ucd", bus="xhci.0", serial="BM-CD-0001"),
          dict(driver="scsi-cd", id="ucd-cd", bus="ucd.0", drive="discimg"))
STICK = dict(driver="usb-storage", id="ustick", bus="xhci.0", drive="stickimg", removable=True,
             serial="BM-STICK-01")
LATENCY = 2.0  # seconds from udevd's event to the watch's line
# The first plugs page in code and grow the heap (about 2 MB in all); from then on the watch's
# memory stays within a few pages (measured: flat over 100 cycles); a udev device leaked per
# event would be hundreds of kB.
WARM_UP, CYCLES, RSS_SLACK_KB = 3, 50, 256

# The watch is idle when its main thread waits in poll (or select): started, or done with what
# came. udevd's work for an event done before that.
IDLE = r"""
udevadm settle --timeout=30
i=0
until [ -n "$pid" ] && grep -qE 'poll|select' /proc/$pid/wchan; do
    [ $i -ge 300 ] && exit 1
    sleep 0.1; i=$((i + 1)); pid=${pid:-$(pidof bayminder-drives)}
done
"""
# The guest's side: udevd's view and the watch, each line of the watch stamped with the uptime
# (the clock udevadm monitor stamps with). The watch's end is a line too.
START = r"""
stty -F /dev/ttyS2 raw -echo 115200
udevadm monitor --kernel --udev --subsystem-match=block >/dev/ttyS2 2>/dev/null &
{ bayminder-drives watch 2>/tmp/watch.err; echo "{\"exit\": $?}"; } |
    while IFS= read -r line; do read -r up _ </proc/uptime; echo "W $up $line"; done >/dev/ttyS2 &
pid=
""" + IDLE + "echo $pid\n"
USAGE = "pid={pid}\n" + IDLE + "ls /proc/$pid/fd | wc -l; awk '/^VmRSS:/ { print $2 }' /proc/$pid/status"
UEVENT = re.compile(r"^(KERNEL|UDEV) *\[([0-9.]+)\] +(\w+) +\S+/block/(sr|sd)[a-z0-9]+ \(block\)$")


class Watch:
    """The guest's stream: the watch's lines in order, and udevd's events with their times."""

    def __init__(self, guest, check):
        self.guest, self.check, self.lines, self.events, self.cursor = guest, check, [], [], 0
        self.log = open(os.path.join(guest.work_dir, "stream.log"), "w")
        rc, out, err = guest.run(START)
        check(rc == 0, f"the watch runs and waits{'' if rc == 0 else ': ' + err}")
        self.pid = out.split()[-1] if rc == 0 else None

    def _take(self, text):
        self.log.write(text + "\n")
        m = UEVENT.match(text)
        if m:
            self.events.append((m[1], float(m[2]), m[3], m[4]))
            return True
        if text.startswith("W "):
            _, stamp, line = text.split(" ", 2)
            msg = json.loads(line)
            if "exit" in msg:
                raise vm.VmError(f"the watch ended with status {msg['exit']}")
            self.lines.append((float(stamp), msg))
            return True
        return None

    def expect(self, change, letter, timeout=30):
        """The next line of the watch but for labels read later, which must be change on letter:
        (its time, the drive), or None when another came first or none in time (the line, or the
        lack of one, printed)."""
        while self.cursor < len(self.lines) and self.lines[self.cursor][1].get("change") == "label":
            self.cursor += 1
        while self.cursor >= len(self.lines):
            try:
                self.guest.stream(self._take, timeout, f"watch line {change} {letter}:")
            except vm.VmError as e:
                print(f"       {e}")
                return None
        stamp, msg = self.lines[self.cursor]
        self.cursor += 1
        if (msg.get("change"), msg.get("letter")) != (change, letter):
            print(f"       instead: {msg}")
            return None
        return stamp, msg.get("drive", {})

    def when(self, floor, source, action, kind):
        """When the first such event at or after the guest's time floor came, or None. udevadm
        monitor may write it after the watch wrote its line."""
        def seen():
            return next((t for s, t, a, k in self.events if (s, a, k) == (source, action, kind) and t >= floor),
                        None)
        try:
            while seen() is None:
                self.guest.stream(self._take, 10, f"{source} {action} event")
        except vm.VmError:
            pass
        return seen()

    def quiet(self):
        """The guest's time once udevd and the watch have handled every event so far."""
        return float(self.guest.run(f"pid={self.pid}\n{IDLE}cat /proc/uptime")[1].split()[0])

    def plugged(self, what, act, change, letter, kind, action, **want):
        """act on the host, then the watch's next line must be change on letter, with the fields
        of want, within LATENCY of udevd's event for a block device of kind (sr, sd)."""
        floor = self.quiet()
        act()
        got = self.expect(change, letter)
        if got is None:
            self.check(False, what)
            return
        stamp, drive = got
        udev, kernel = (self.when(floor, s, action, kind) for s in ("UDEV", "KERNEL"))
        late = None if udev is None else stamp - udev
        wrong = [f"{k}: {drive.get(k)!r}" for k, w in want.items() if drive.get(k) != w]
        figures = (f"{late:.2f} s after udevd's event, {stamp - kernel:.2f} s after the kernel's"
                   if late is not None and kernel is not None else "no uevent seen")
        self.check(not wrong and late is not None and late <= LATENCY,
                   f"{what} ({figures})" + "".join(f"\n       {w}" for w in wrong))

    def still_quiet(self, what):
        """No device message from the watch, and it still runs."""
        rc, out, _ = self.guest.run(f"grep -c '^Bayminder: ' /tmp/watch.err; kill -0 {self.pid}")
        fine = out.split()[:1] == ["0"]
        self.check(fine and rc == 0, f"{what}: no device message from the watch, and it still runs"
                   + ("" if rc == 0 else " (it ended)")
                   + ("" if fine else "\n       " + self.guest.run("cat /tmp/watch.err")[1]))


def run(guest, step, check):
    watch = Watch(guest, check)
    if watch.pid is None:
        return
    plugged = watch.plugged
    plugged("a USB CD drive plugged in with a disc: added on E:", lambda: guest.plug(*USB_CD),
            "added", "E", "sr", "add", TypeName="CD", MediaPresent=True, Gone=False)

    # A disc taken out as a user does: the tray opens, the disc goes, the tray is pushed back.
    # The kernel asks QEMU's drive for its media only with the tray shut.
    def take_out():
        guest.qmp("eject", id="ucd-cd", force=True)
        guest.qmp("blockdev-close-tray", id="ucd-cd")

    plugged("its disc taken out: a media line, E: empty", take_out,
            "media", "E", "sr", "change", MediaPresent=False)
    plugged("another disc put in: a media line with its label",
            lambda: guest.change_medium("ucd-cd", "other.iso"),
            "media", "E", "sr", "change", MediaPresent=True, VolumeLabel="Other Disc")
    plugged("a USB stick plugged in: added on F:", lambda: guest.plug(STICK),
            "added", "F", "sd", "add", TypeName="Removable", VolumeLabel="Mystick", Gone=False)
    plugged("the USB CD drive pulled: gone", lambda: guest.unplug("ucd"),
            "gone", "E", "sr", "remove", Gone=True)
    step(guest, "a new start without the USB CD drive: the stick keeps F:", "bayminder-drives list --json",
         rc=0, order="FDA", F=dict(TypeName="Removable", VolumeLabel="Mystick"))
    plugged("the USB CD drive plugged in again, on another port: E: again",
            lambda: guest.plug(dict(USB_CD[0], port="4"), USB_CD[1]),
            "added", "E", "sr", "add", TypeName="CD", MediaPresent=True, Gone=False)
    step(guest, "a new start with all: every drive on the letter it had", "bayminder-drives list --json",
         rc=0, order="FEDA", E=dict(TypeName="CD"), F=dict(TypeName="Removable"), D=dict(TypeName="CD"),
         A=dict(TypeName="Floppy"))

    # The stick in and out: usb-storage's wait before it looks for LUNs (a second) only slows this.
    plugged("the stick pulled: gone", lambda: guest.unplug("ustick"), "gone", "F", "sd", "remove", Gone=True)
    guest.run("echo 0 > /sys/module/usb_storage/parameters/delay_use")
    usage = USAGE.replace("{pid}", watch.pid)
    floor = watch.quiet()
    started, slowest, missed, before = time.monotonic(), 0.0, [], []
    for i in range(WARM_UP + CYCLES):
        if i == WARM_UP:
            before = guest.run(usage)[1].split()
        for change, act in (("added", lambda: guest.plug(STICK)), ("gone", lambda: guest.unplug("ustick"))):
            act()
            got = watch.expect(change, "F")
            udev = got and watch.when(floor, "UDEV", "add" if change == "added" else "remove", "sd")
            if udev is None:
                missed.append(f"{change} #{i + 1}")
                break
            slowest, floor = max(slowest, got[0] - udev), got[0]
        if missed:
            break
    after = guest.run(usage)[1].split()
    check(not missed and slowest <= LATENCY,
          f"{WARM_UP} + {CYCLES} times in and out: each on F: (slowest {slowest:.2f} s after udevd's event; "
          f"{time.monotonic() - started:.0f} s)" + (f"\n       missed: {missed}" if missed else ""))
    counts = [(int(b), int(a)) for b, a in zip(before, after)] if len(before) == len(after) == 2 else None
    check(counts is not None and counts[0][1] == counts[0][0] and counts[1][1] - counts[1][0] <= RSS_SLACK_KB,
          f"the watch's descriptors and memory where they began: descriptors, VmRSS kB {counts}")
    watch.still_quiet("after all")


def with_udisks(guest, check):
    """The desktop's storage stack also at work on every device that comes: the USB CD drive
    comes and goes under udisksd too."""
    watch = Watch(guest, check)
    if watch.pid is None:
        return
    watch.plugged("desktop: a USB CD drive plugged in: added on E:", lambda: guest.plug(*USB_CD),
                  "added", "E", "sr", "add", TypeName="CD", MediaPresent=True, VolumeLabel="My Data")
    watch.plugged("desktop: pulled: gone", lambda: guest.unplug("ucd"), "gone", "E", "sr", "remove", Gone=True)
    watch.still_quiet("desktop")
