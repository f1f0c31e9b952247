#!/usr/bin/env python3
"""The Linux backend against the kernel's own CD-ROM, USB-storage and floppy drivers, in a guest
under QEMU, checked from outside through QMP.

    vm_tests.py BAYMINDER_DRIVES WORK_DIR

Three boots: one with a disc in the IDE CD-ROM, a USB stick on xhci and a floppy; one with an
empty CD-ROM, where a USB CD drive and a USB stick come and go while the watch runs (hotplug.py);
and a desktop one with the system bus, polkitd and udisksd, where a desktop user
mounts the disc and the tray must still open, and a USB CD drive comes and goes. Each step prints one line; the exit status is 1
when any failed, 77 when QEMU cannot run here at all.
"""

import json
import os
import shlex
import subprocess
import sys
import time

import hotplug
import vm

HERE = os.path.dirname(os.path.abspath(__file__))
MOUNTS = "grep -c ' 11:0 ' /proc/self/mountinfo"  # mounts of /dev/sr0
failures = []


def has(*parts):
    return lambda text: all(p in text for p in parts)


def matches(want, got):
    if callable(want):
        return bool(want(got))
    if isinstance(want, dict):
        return isinstance(got, dict) and all(matches(v, got.get(k)) for k, v in want.items())
    return type(want) is type(got) and want == got


def step(guest, what, command, before=None, during=None, after=None, **want):
    """Runs a command in the guest and checks what came of it: its status (rc), output (stdout,
    stderr), the fields of the record or drives it printed, the tray as QMP sees it (tray, moves)
    and the output of the after commands. before and during are the host's actions."""
    mark = guest.mark()
    if before:
        before()
    started = time.monotonic()
    rc, out, err = guest.run(command, during=during)
    took = time.monotonic() - started
    try:
        parsed = json.loads(out)
    except ValueError:
        parsed = None
    if isinstance(parsed, list):  # list --json: the drives by letter, and their order
        parsed = dict({d["Letter"]: d for d in parsed}, order="".join(d["Letter"] for d in parsed))
    got = dict(parsed if isinstance(parsed, dict) else {}, rc=rc, stdout=out, stderr=err)
    got["tray"], got["moves"] = guest.tray(mark)
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
    step(guest, "list: the stick on E:, the CD on D:, the floppy on A:, in the table's order, with labels",
         "bayminder-drives list --json", rc=0, order="EDA",
         A=dict(TypeName="Floppy", VolumeLabel="Myfloppy", SerialNumber=0x0BADF00D),
         D=dict(TypeName="CD", VolumeLabel="My Data", MediaPresent=True, DoorClosed=True, CanEject=True,
                CanClose=True, SerialNumber=lambda serial: serial not in (None, 0)),
         E=dict(TypeName="Removable", VolumeLabel="Mystick", SerialNumber=0x1234ABCD))
    step(guest, "the defaults of A:, D: and E: are stored", "cat /root/.config/Bayminder/Bayminder.ini",
         stdout=lambda ini: all(f"[{k}]" in ini for k in "ADE") and ("[%40]" in ini or "[@]" in ini))

    # Mounted with no udisks2 to unmount it: refused and told, never ejected under its mount,
    # not even for root, whom the drive would obey.
    step(guest, "no udisks2: a mounted disc stays in and mounted, the record closed and uncertain",
         "mkdir -p /mnt/cd && mount -t iso9660 -o ro /dev/sr0 /mnt/cd && bayminder-drives open D",
         rc=0, tray=False, moves=[], DoorClosed=True, DoorUncertain=True, after={MOUNTS: "1"},
         stderr=has("Bayminder: Bayminder cannot open the tray of drive D: (My Data). The disc is mounted, "
                    "and without the udisks2 service"))

    # The tray, as QMP sees it.
    step(guest, "open D opens the tray", "umount /mnt/cd && bayminder-drives open D",
         rc=0, tray=True, moves=[True], DoorClosed=False)
    step(guest, "refresh D with the tray open reads no media", "bayminder-drives refresh D",
         rc=0, MediaPresent=False)
    step(guest, "close D closes the tray", "bayminder-drives close D",
         rc=0, tray=False, moves=[False], DoorClosed=True, MediaPresent=True)
    step(guest, "toggle opens the closed tray", "bayminder-drives toggle", rc=0, tray=True, moves=[True])
    step(guest, "toggle closes it again", "bayminder-drives toggle", rc=0, tray=False, moves=[False])

    # The host changes the disc. The kernel notices at our next open, and udev reads the new
    # disc only after that; the first refresh reads the disc's own volume descriptors.
    first = step(guest, "the first refresh after the host's disc change reads its label",
                 "bayminder-drives refresh D", before=lambda: guest.change_medium("cd0dev", "other.iso"),
                 rc=0, MediaPresent=True, VolumeLabel="Other Disc")
    step(guest, "and the next, after udev, the same label and serial",
         "udevadm settle --timeout=20; bayminder-drives refresh D",
         rc=0, MediaPresent=True, VolumeLabel="Other Disc", SerialNumber=first.get("SerialNumber"))
    step(guest, "a disc taken out by the host reads absent", "bayminder-drives refresh D",
         before=lambda: guest.qmp("eject", id="cd0dev", force=True), rc=0, MediaPresent=False)

    def floppy_change():
        guest.change_medium("cd0dev", "mydata.iso")
        guest.change_medium("fd0dev", "floppy2.img")

    step(guest, "a floppy changed by the host: its label at the second refresh",
         "bayminder-drives refresh A > /dev/null; bayminder-drives refresh A",
         before=floppy_change, rc=0, MediaPresent=True, VolumeLabel="Otherflop")
    step(guest, "another program holds the drive exclusively: the 291 message, media absent",
         "hold_excl /dev/sr0 bayminder-drives refresh D",
         rc=0, MediaPresent=False, stderr=has("Another program is using the cd", "291"))

    # The stick is pulled while the tool runs over and over.
    step(guest, "refresh E while the stick goes: exit codes 0 or 1, no crash",
         "for i in 1 2 3 4 5 6 7 8; do bayminder-drives refresh E >/dev/null 2>&1; echo $?; done",
         during=lambda: guest.unplug("stickdev"), stdout=lambda out: len(out.split()) == 8 and set(out.split()) <= {"0", "1"})
    rc, out, _ = guest.run("bayminder-drives refresh E")
    check(rc == 1 or '"MediaPresent": false' in out,
          f"after the stick is gone, E: reads empty or unwatched (status {rc})")


def user(command):
    """A command run as the desktop user (uid 1000, group cdrom), traced."""
    return "QT_LOGGING_RULES=bayminder.mci=true su user -c " + shlex.quote(command)


def desktop(guest):
    """A desktop user with the system bus, polkitd and udisksd."""
    step(guest, "desktop: D: loaded, as the user", user("bayminder-drives refresh D"),
         rc=0, VolumeLabel="My Data", MediaPresent=True, DoorClosed=True)
    step(guest, "desktop: open D on an unmounted disc opens the tray by the drive's eject",
         user("bayminder-drives open D"), rc=0, tray=True, moves=[True],
         stderr=lambda err: "udisks2" not in err)
    step(guest, "desktop: close D closes it", user("bayminder-drives close D"),
         rc=0, tray=False, moves=[False])
    step(guest, "desktop: the user mounts the disc through udisks2 as an automounter does",
         user("udisksctl mount -b /dev/sr0"), rc=0, stdout=has("/media/user/MY DATA"),
         after={MOUNTS: "1"})

    # A program has its working folder on the disc: the unmount is busy.
    guest.run("cd '/media/user/MY DATA' && { sleep 600 >/dev/null 2>&1 & echo $! > /tmp/busy; }")
    step(guest, "desktop: busy: the tray stays shut and the disc mounted, the record closed and uncertain",
         user("bayminder-drives open D"), rc=0, tray=False, moves=[], after={MOUNTS: "1"},
         DoorClosed=True, DoorUncertain=True, MediaPresent=True,
         stderr=has("Bayminder: Bayminder cannot open the tray of drive D: (My Data). A program is using "
                    "files on the disc.", "DeviceBusy"))
    # Root, whom the drive would obey, does not eject it either.
    step(guest, "desktop: busy: root's open D leaves it in and mounted too", "bayminder-drives open D",
         tray=False, moves=[], after={MOUNTS: "1"}, stderr=has("A program is using files on the disc"))

    # Unmounted through udisks2, then ejected: the tray opens and nothing stays mounted.
    step(guest, "desktop: open D on the mounted disc unmounts and ejects through udisksd, the tray opens",
         user("bayminder-drives open D"), before=lambda: guest.run("kill $(cat /tmp/busy)"),
         rc=0, tray=True, moves=[True], DoorClosed=False, DoorUncertain=False,
         stderr=has("udisks2 Unmount /dev/sr0 => ok", "udisks2 Eject /dev/sr0 => ok"),
         after={MOUNTS: "0", "udisksctl info -b /dev/sr0 | sed -n 's/^ *MountPoints://p'": ""})
    step(guest, "desktop: close D closes the tray", user("bayminder-drives close D"),
         rc=0, tray=False, moves=[False], DoorClosed=True, MediaPresent=True)
    step(guest, "desktop: the first refresh after a disc change reads its label",
         user("bayminder-drives refresh D"), before=lambda: guest.change_medium("cd0dev", "other.iso"),
         MediaPresent=True, VolumeLabel="Other Disc")
    hotplug.with_udisks(guest, check)


def without_disc(guest):
    step(guest, "an empty CD drive at start", "bayminder-drives list --json",
         rc=0, D=dict(TypeName="CD", MediaPresent=False))
    hotplug.run(guest, step, check)


GUESTS = (("with-disc", dict(cd="mydata.iso", stick="stick.img", floppy="floppy.img"), with_disc),
          ("without-disc", dict(floppy="floppy.img", hotplug=True), without_disc),
          ("desktop", dict(cd="mydata.iso", desktop=True, hotplug=True), desktop))


def main():
    program, work = map(os.path.abspath, sys.argv[1:])
    reason = vm.qemu_available()
    if reason:
        print(f"SKIP: {reason}", file=sys.stderr)
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
            guest.stop()
    print(f"{len(failures)} failed; {time.monotonic() - started:.0f} s in the guests")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
