#!/usr/bin/env python3
"""The Linux backend against the kernel's own CD-ROM, USB-storage and floppy drivers, in a guest
under QEMU, checked from outside through QMP.

    vm_tests.py BAYMINDER_DRIVES WORK_DIR

Three boots: one with a disc in the IDE CD-ROM, a USB stick on xhci and a floppy; one with an
empty CD-ROM, where a USB CD drive and a USB stick come and go while the watch runs (hotplug.py);
and a desktop one with the system bus, polkitd and udisksd, where a desktop user mounts the disc
and the tray must still open, and a USB CD drive comes and goes. Each step prints one line; the
exit status is 1 when any failed, 77 when QEMU is not installed.
"""

import json
import os
import shlex
import shutil
import subprocess
import sys
import time

import hotplug
import vm

HERE = os.path.dirname(os.path.abspath(__file__))
BM = "bayminder-drives "
MOUNTS = "grep -c ' 11:0 ' /proc/self/mountinfo"  # mounts of /dev/sr0
failures = []
OPENED = dict(tray=True, moves=[True], DoorClosed=False)
CLOSED = dict(tray=False, moves=[False], DoorClosed=True, MediaPresent=True)
OTHER = dict(MediaPresent=True, VolumeLabel="Other Disc")  # other.iso


def has(*parts):
    return lambda text: all(p in text for p in parts)


def matches(want, got):
    if callable(want):
        return bool(want(got))
    if isinstance(want, dict):
        return isinstance(got, dict) and all(matches(v, got.get(k)) for k, v in want.items())
    return type(want) is type(got) and want == got


def step(guest, what, command, during=None, after=None, **want):
    """Runs a command in the guest and checks what came of it: its status (rc), output (stdout,
    stderr), the fields of the record or drives it printed, the tray as QMP sees it (tray, moves)
    and the output of the after commands. during() is the host's action meanwhile."""
    mark, started = guest.mark(), time.monotonic()
    rc, out, err = guest.run(command, during=during)
    took = time.monotonic() - started
    try:
        parsed = json.loads(out)
    except ValueError:
        parsed = None
    if isinstance(parsed, list):  # list --json: the drives by letter, and their order
        parsed = dict({d["Letter"]: d for d in parsed}, order="".join(d["Letter"] for d in parsed))
    got = dict(parsed if isinstance(parsed, dict) else {}, rc=rc, stdout=out, stderr=err)
    # The CD tray as QMP sees it: whether it is open, and how it moved.
    cd = next(b for b in guest.qmp("query-block") if b.get("qdev", "").endswith("cd0dev"))
    got["tray"], got["moves"] = cd.get("tray_open"), [
        e["data"]["tray-open"] for e in guest.events[mark:] if e["event"] == "DEVICE_TRAY_MOVED"]
    for probe, expected in (after or {}).items():
        got[probe], want[probe] = guest.run(probe)[1].strip(), expected
    wrong = [k for k, w in want.items() if not matches(w, got.get(k))]
    wrong += ["stderr"] if wrong and "stderr" not in wrong else []
    check(not wrong, f"{what} ({took:.2f} s)" + "".join(f"\n       {k}: {got[k]!r}" for k in wrong))
    return got


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)


def with_disc(guest):
    step(guest, "list: the stick on E:, the CD on D:, the floppy on A:, in the table's order, "
         "with labels", BM + "list --json", rc=0, order="EDA",
         A=dict(TypeName="Floppy", VolumeLabel="Myfloppy", SerialNumber=0x0BADF00D),
         D=dict(TypeName="CD", VolumeLabel="My Data", MediaPresent=True, DoorClosed=True,
                CanEject=True, CanClose=True, SerialNumber=lambda serial: serial not in (None, 0)),
         E=dict(TypeName="Removable", VolumeLabel="Mystick", SerialNumber=0x1234ABCD))
    step(guest, "the defaults of A:, D: and E: are stored",
         "cat /root/.config/Bayminder/Bayminder.ini",
         stdout=lambda t: all(f"[{k}]" in t for k in "ADE") and ("[%40]" in t or "[@]" in t))

    # Mounted with no udisks2 to unmount it: refused and told, never ejected under its mount,
    # not even for root, whom the drive would obey.
    step(guest, "no udisks2: a mounted disc stays in and mounted, the record closed and uncertain",
         "mkdir -p /mnt/cd && mount -t iso9660 -o ro /dev/sr0 /mnt/cd && " + BM + "open D",
         rc=0, tray=False, moves=[], DoorClosed=True, DoorUncertain=True, after={MOUNTS: "1"},
         stderr=has("Bayminder: Bayminder cannot open the tray of drive D: (My Data). The disc is "
                    "mounted, and without the udisks2 service"))

    # The tray, as QMP sees it.
    for what, command, want in (
            ("open D opens the tray", "umount /mnt/cd && " + BM + "open D", OPENED),
            ("refresh D with the tray open reads no media", BM + "refresh D",
             dict(MediaPresent=False)),
            ("close D closes the tray", BM + "close D", CLOSED),
            ("toggle opens the closed tray", BM + "toggle", dict(tray=True, moves=[True])),
            ("toggle closes it again", BM + "toggle", dict(tray=False, moves=[False]))):
        step(guest, what, command, rc=0, **want)

    # The host changes the disc. The kernel notices at our next open, and udev reads the new
    # disc only after that; the first refresh reads the disc's own volume descriptors.
    guest.change_medium("cd0dev", "other.iso")
    first = step(guest, "the first refresh after the host's disc change reads its label",
                 BM + "refresh D", rc=0, **OTHER)
    step(guest, "and the next, after udev, the same label and serial",
         "udevadm settle --timeout=20; " + BM + "refresh D", rc=0,
         SerialNumber=first.get("SerialNumber"), **OTHER)
    guest.qmp("eject", id="cd0dev", force=True)
    step(guest, "a disc taken out by the host reads absent", BM + "refresh D", rc=0,
         MediaPresent=False)
    guest.change_medium("cd0dev", "mydata.iso")
    guest.change_medium("fd0dev", "floppy2.img")
    step(guest, "a floppy changed by the host: its label at the second refresh",
         BM + "refresh A > /dev/null; " + BM + "refresh A", rc=0, MediaPresent=True,
         VolumeLabel="Otherflop")
    step(guest, "another program holds the drive exclusively: the 291 message, media absent",
         "hold_excl /dev/sr0 " + BM + "refresh D",
         rc=0, MediaPresent=False, stderr=has("Another program is using the cd", "291"))

    # The stick is pulled while the tool runs over and over.
    step(guest, "refresh E while the stick goes: exit codes 0 or 1, no crash",
         f"for i in 1 2 3 4 5 6 7 8; do {BM}refresh E >/dev/null 2>&1; echo $?; done",
         during=lambda: guest.unplug("stickdev"),
         stdout=lambda out: len(out.split()) == 8 and set(out.split()) <= {"0", "1"})
    rc, out, _ = guest.run(BM + "refresh E")
    check(rc == 1 or '"MediaPresent": false' in out,
          f"after the stick is gone, E: reads empty or unwatched (status {rc})")


def user(command):
    """bayminder-drives run as the desktop user (uid 1000, group cdrom), traced."""
    return "QT_LOGGING_RULES=bayminder.mci=true su user -c " + shlex.quote(BM + command)


def desktop(guest):
    step(guest, "desktop: D: loaded, as the user", user("refresh D"),
         rc=0, VolumeLabel="My Data", MediaPresent=True, DoorClosed=True)
    step(guest, "desktop: open D on an unmounted disc opens the tray by the drive's eject",
         user("open D"), rc=0, tray=True, moves=[True], stderr=lambda err: "udisks2" not in err)
    step(guest, "desktop: close D closes it", user("close D"), rc=0, **CLOSED)
    step(guest, "desktop: the user mounts the disc through udisks2 as an automounter does",
         "su user -c 'udisksctl mount -b /dev/sr0'", rc=0, stdout=has("/media/user/MY DATA"),
         after={MOUNTS: "1"})

    # A program has its working folder on the disc: the unmount is busy. Root, whom the drive
    # would obey, does not eject it either.
    guest.run("cd '/media/user/MY DATA' && { sleep 600 >/dev/null 2>&1 & echo $! > /tmp/busy; }")
    busy = "A program is using files on the disc"
    step(guest, "desktop: busy: the tray stays shut and the disc mounted, the record closed and "
         "uncertain", user("open D"), rc=0, tray=False, moves=[], after={MOUNTS: "1"},
         DoorClosed=True, DoorUncertain=True, MediaPresent=True, stderr=has(
             "Bayminder: Bayminder cannot open the tray of drive D: (My Data). " + busy + ".",
             "DeviceBusy"))
    step(guest, "desktop: busy: root's open D leaves it in and mounted too", BM + "open D",
         tray=False, moves=[], after={MOUNTS: "1"}, stderr=has(busy))

    # Unmounted through udisks2, then ejected: the tray opens and nothing stays mounted.
    guest.run("kill $(cat /tmp/busy)")
    step(guest, "desktop: open D on the mounted disc unmounts and ejects through udisksd, the "
         "tray opens", user("open D"), rc=0, DoorUncertain=False, **OPENED,
         stderr=has("udisks2 Unmount /dev/sr0 => ok", "udisks2 Eject /dev/sr0 => ok"),
         after={MOUNTS: "0", "udisksctl info -b /dev/sr0 | sed -n 's/^ *MountPoints://p'": ""})
    step(guest, "desktop: close D closes the tray", user("close D"), rc=0, **CLOSED)
    guest.change_medium("cd0dev", "other.iso")
    step(guest, "desktop: the first refresh after a disc change reads its label",
         user("refresh D"), **OTHER)

    # The USB CD drive comes and goes while udisksd handles it too.
    watch, rows = hotplug.Watch(guest, check), hotplug.usb_cd_steps(guest)
    for what, act, line, want in (rows[0], rows[-1]):
        watch.plugged("desktop: " + what, act, line, **want)
    check(watch.health()[2] == 0, "desktop: no device message from the watch")


GUESTS = (("with-disc", dict(cd="mydata.iso", stick="stick.img", floppy="floppy.img"), with_disc),
          ("without-disc", dict(floppy="floppy.img", hotplug=True),
           lambda guest: hotplug.run(guest, step, check)),
          ("desktop", dict(cd="mydata.iso", desktop=True, hotplug=True), desktop))


def main():
    program, work = map(os.path.abspath, sys.argv[1:])
    if shutil.which(vm.QEMU) is None:
        print(f"SKIP: {vm.QEMU} is not installed (Debian: qemu-system-x86)", file=sys.stderr)
        return 77
    g = os.path.join(work, "guest")
    subprocess.run([os.path.join(HERE, "build_guest.sh"), g, program], check=True)
    started = time.monotonic()
    for name, media, run in GUESTS:
        if media.get("desktop") and not os.path.exists(os.path.join(g, "desktop-stack")):
            check(False, "desktop: the guest has no udisks2 stack (see build_guest.sh's message)")
            continue
        guest = vm.Vm(g, os.path.join(work, name), **media)
        try:
            guest.start()
            print(f"{name}: booted in {guest.boot_seconds:.1f} s", flush=True)
            run(guest)
        except vm.VmError as e:
            check(False, f"{name}: {e} (console in {guest.work_dir}/console.log)")
        finally:
            if guest.proc:  # the guest keeps nothing: no need to shut it down
                guest.proc.kill()
                guest.proc.wait()
    print(f"{len(failures)} failed; {time.monotonic() - started:.0f} s in the guests")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
