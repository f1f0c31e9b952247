"""Drives that come and go: `bayminder-drives watch` runs in the guest while the host plugs a USB
CD drive and a USB stick in and out over QMP. The watch's lines, stamped with the guest's clock,
and `udevadm monitor` (the kernel's events and udevd's) come back on the guest's stream line."""

import json
import os
import re
import time

import vm

# QEMU makes a USB device's serial number from its port unless given one; a real stick has its
# own, and so do these, so that the same device on another port is the same drive.
USB_CD = (dict(driver="usb-bot", id="ucd", bus="xhci.0", serial="BM-CD-0001"),
          dict(driver="scsi-cd", id="ucd-cd", bus="ucd.0", drive="discimg"))
STICK = dict(driver="usb-storage", id="ustick", bus="xhci.0", drive="stickimg", removable=True,
             serial="BM-STICK-01")
LATENCY = 2.0  # seconds from udevd's event to the watch's line
# The first ten plugs page in code and grow the heap (about 2 MB); from then on the watch's memory
# was flat over 100 cycles, where a udev device leaked per event would be hundreds of kB.
WARM_UP, CYCLES, RSS_SLACK_KB = 10, 50, 256
KIND, ACTION = {"E": "sr", "F": "sd"}, {"added": "add", "gone": "remove", "media": "change"}

# Idle: udevd done, and the watch's main thread back in its poll.
IDLE = r"""
udevadm settle --timeout=30; i=0
until [ -n "$pid" ] && grep -qE 'poll|select' /proc/$pid/wchan; do
    [ $i -ge 300 ] && exit 1; sleep 0.1; i=$((i + 1)); pid=${pid:-$(pidof bayminder-drives)}
done
"""
START = r"""
stty -F /dev/ttyS2 raw -echo 115200
udevadm monitor --kernel --udev --subsystem-match=block >/dev/ttyS2 2>/dev/null &
{ bayminder-drives watch 2>/tmp/watch.err; echo "{\"exit\": $?}"; } |
    while IFS= read -r line; do read -r up _ </proc/uptime; echo "W $up $line"; done >/dev/ttyS2 &
pid=""" + IDLE + "echo $pid\n"
# Its open descriptors, its resident memory in kB and its device messages.
HEALTH = IDLE + r"""ls /proc/$pid/fd | wc -l; awk '/^VmRSS:/ { print $2 }' /proc/$pid/status
grep -c '^Bayminder: ' /tmp/watch.err"""
UEVENT = re.compile(r"^(KERNEL|UDEV) *\[([0-9.]+)\] +(\w+) +\S+/block/(sr|sd)[a-z0-9]+ \(block\)$")


class Watch:
    """The watch in the guest: its lines in order, and the block devices' events with times."""

    def __init__(self, guest, check):
        self.guest, self.check, self.lines, self.events = guest, check, [], []
        self.cursor = self.raced = 0
        self.log = open(os.path.join(guest.work_dir, "stream.log"), "w")
        rc, out, err = guest.run(START)
        if rc != 0:
            raise vm.VmError("the watch did not start and wait: " + err)
        self.pid = out.split()[-1]

    def _take(self, text):
        """Keeps a line of the stream: an event, or a line of the watch but for labels, which may
        come after any other."""
        self.log.write(text + "\n")
        m = UEVENT.match(text)
        if m:
            self.events.append((m[1], float(m[2]), m[3], m[4]))
        elif text.startswith("W ") and '"change":"label"' not in text:
            self.lines.append((float(text.split(" ")[1]), json.loads(text.split(" ", 2)[2])))
        return m or text.startswith("W ") or None

    def when(self, floor, *event):
        """The time of the first event (source, action, kind) at or after floor (udevadm monitor
        may write it after the watch its line), or None."""
        times = lambda: [t for s, t, a, k in self.events if (s, a, k) == event and t >= floor]
        try:
            while not times():
                self.guest.stream.read(self._take, 10, "%s %s event" % event[:2])
        except vm.VmError:
            return None
        return min(times())

    def line(self, act, change, letter, floor, racing=False):
        """act, then the watch's next line must be change on letter: its drive, how long after
        udevd's and the kernel's events it came and its time; None when not (printed). Racing a
        pull, a probe may first read the vanishing drive as empty (counted in raced)."""
        act()
        try:
            while self.cursor >= len(self.lines):
                self.guest.stream.read(self._take, 30, f"watch line {change} {letter}:")
        except vm.VmError as e:
            print(f"       {e}")
            return None
        stamp, msg = self.lines[self.cursor]
        self.cursor += 1
        drive, seen = msg.get("drive", {}), (msg.get("change"), msg.get("letter"))
        if racing and seen == ("media", letter) and drive.get("MediaPresent") is False:
            self.raced += 1
            return self.line(lambda: None, change, letter, floor)
        if seen != (change, letter):
            print(f"       instead: {msg}")  # or the watch's end: {"exit": status}
            return None
        udev, kernel = (self.when(floor, s, ACTION[change], KIND[letter])
                        for s in ("UDEV", "KERNEL"))
        return drive, udev and stamp - udev, kernel and stamp - kernel, stamp

    def plugged(self, what, act, line, **want):
        """A step: once all is quiet, act; the next line must be line ("added E") in time, its
        drive with the fields of want."""
        floor = float(self.guest.run(f"pid={self.pid}\n{IDLE}cat /proc/uptime")[1].split()[0])
        drive, late, early = (self.line(act, *line.split(), floor) or ({}, None, None))[:3]
        wrong = [f"\n       {k}: {drive.get(k)!r}" for k, w in want.items() if drive.get(k) != w]
        self.check(late is not None and late <= LATENCY and not wrong, what + (
            "" if late is None or early is None else
            f" ({late:.2f} s after udevd's event, {early:.2f} s after the kernel's)")
            + "".join(wrong))

    def health(self):
        rc, out, _ = self.guest.run(f"pid={self.pid}\n{HEALTH}")
        ok = rc in (0, 1) and len(out.split()) == 3
        return [int(n) for n in out.split()] if ok else [0, 0, -1]


def usb_cd_steps(guest):
    """The USB CD drive plugged in, its disc changed, the stick plugged in, the CD drive pulled."""
    # A disc taken out as a user does: the tray opens, the disc goes, the tray is pushed back
    # (QEMU's drive tells the kernel nothing while its tray is open).
    def take_out():
        guest.qmp("eject", id="ucd-cd", force=True)
        guest.qmp("blockdev-close-tray", id="ucd-cd")

    return (
        ("a USB CD drive plugged in with a disc: added on E:", lambda: guest.plug(*USB_CD),
         "added E", dict(TypeName="CD", MediaPresent=True, VolumeLabel="My Data", Gone=False)),
        ("its disc taken out: a media line", take_out, "media E", dict(MediaPresent=False)),
        ("another disc put in: a media line with its label",
         lambda: guest.change_medium("ucd-cd", "other.iso"), "media E",
         dict(MediaPresent=True, VolumeLabel="Other Disc")),
        ("a USB stick plugged in: added on F:", lambda: guest.plug(STICK), "added F",
         dict(TypeName="Removable", VolumeLabel="Mystick", Gone=False)),
        ("the USB CD drive pulled: gone", lambda: guest.unplug("ucd"), "gone E", dict(Gone=True)))


def run(guest, step, check):
    def listed(what, **want):  # a start of another process
        step(guest, what, "bayminder-drives list --json", rc=0, **want)

    listed("an empty CD drive at start", D=dict(TypeName="CD", MediaPresent=False))
    watch = Watch(guest, check)
    for what, act, line, want in usb_cd_steps(guest):
        watch.plugged(what, act, line, **want)
    listed("a new start without the USB CD drive: the stick keeps F:", order="FDA",
           F=dict(TypeName="Removable", VolumeLabel="Mystick"))
    watch.plugged("the USB CD drive plugged in again, on another port: E: again",
                  lambda: guest.plug(dict(USB_CD[0], port="4"), USB_CD[1]), "added E",
                  TypeName="CD")
    listed("a new start with all: every drive on the letter it had", order="FEDA",
           E=dict(TypeName="CD"), F=dict(TypeName="Removable"))

    # usb-storage's wait before it looks for LUNs (a second) would only slow the cycles down.
    watch.plugged("the stick pulled: gone", lambda: guest.unplug("ustick"), "gone F", Gone=True)
    guest.run("echo 0 > /sys/module/usb_storage/parameters/delay_use")
    started, slowest, missed, before = time.monotonic(), 0.0, None, None
    floor = float(guest.run("cat /proc/uptime")[1].split()[0])
    for i in range(2 * (WARM_UP + CYCLES)):  # in, out, in, out...
        before = watch.health() if i == 2 * WARM_UP else before
        act, change = ((lambda: guest.plug(STICK), "added"),
                       (lambda: guest.unplug("ustick"), "gone"))[i % 2]
        got = watch.line(act, change, "F", floor, racing=change == "gone")
        if got is None or got[1] is None:
            missed = f"{change} #{i // 2 + 1}"
            break
        slowest, floor = max(slowest, got[1]), got[3]
    after = watch.health()
    check(not missed and slowest <= LATENCY, f"{WARM_UP} + {CYCLES} times in and out, each on F: "
          f"(slowest {slowest:.2f} s after udevd's event; {time.monotonic() - started:.0f} s; "
          f"{watch.raced} pulls met by a probe, read first as media out)"
          + f"; missed {missed}" * bool(missed))
    check(before and before[0] == after[0] and after[1] - before[1] <= RSS_SLACK_KB
          and after[2] == 0, "the watch's descriptors and VmRSS (kB) where they began, no device "
          f"message: {before} -> {after}")
