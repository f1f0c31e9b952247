#!/usr/bin/env python3
"""The Linux backend against the kernel's own CD-ROM, USB-storage and floppy drivers, in a guest
under QEMU, checked from outside through QMP.

    vm_tests.py BAYMINDER_DRIVES WORK_DIR

Three boots: one with a disc in the IDE CD-ROM, a USB stick on xhci and a floppy; one with an
empty CD-ROM; and a desktop one with the system bus, polkitd and udisksd, where a desktop user
mounts the disc and the tray must still open. Each check prints one line; the exit status is 1 when any failed, 77 when QEMU
cannot run here at all.
"""

import json
import os
import subprocess
import sys
import time

import vm

HERE = os.path.dirname(os.path.abspath(__file__))
SKIP = 77
failures = []
timings = {}  # seconds a command took, round trip from the host


def check(condition, what):
    print(("ok   " if condition else "FAIL ") + what, flush=True)
    if not condition:
        failures.append(what)
    return condition


def tool(guest, args, timeout=60):
    """Runs bayminder-drives in the guest: (status, parsed JSON or None, stderr)."""
    rc, out, err = guest.run("bayminder-drives " + args, timeout=timeout)
    try:
        parsed = json.loads(out) if out.strip() else None
    except ValueError:
        parsed = None
    return rc, parsed, err


def record(guest, letter):
    rc, rec, err = tool(guest, f"refresh {letter}")
    if rc != 0 or rec is None:
        check(False, f"refresh {letter} gave {rc}: {err.strip()}")
        return {}
    return rec


def tray_moves(guest, since):
    return [e["data"]["tray-open"] for e in guest.events[since:] if e["event"] == "DEVICE_TRAY_MOVED"]


def with_disc(guest, g):
    rc, drives, _ = tool(guest, "list --json")
    by_letter = {d["Letter"]: d for d in drives or []}
    check(rc == 0 and [d["Letter"] for d in drives or []] == ["E", "D", "A"],
          f"list --json: the stick on E:, the CD on D:, the floppy on A:, in the table's order "
          f"({[d['Letter'] for d in drives or []]})")
    a, d, e = (by_letter.get(k, {}) for k in "ADE")
    check((a.get("TypeName"), a.get("VolumeLabel"), a.get("SerialNumber")) ==
          ("Floppy", "Myfloppy", 0x0BADF00D), f"A: {a.get('TypeName')} {a.get('VolumeLabel')!r} "
          f"serial {a.get('SerialNumber')}")
    check((d.get("TypeName"), d.get("VolumeLabel"), d.get("MediaPresent"), d.get("DoorClosed")) ==
          ("CD", "My Data", True, True), f"D: {d.get('TypeName')} {d.get('VolumeLabel')!r} loaded")
    check(d.get("CanEject") is True and d.get("CanClose") is True, "D: can eject and close")
    check(d.get("SerialNumber", 0) != 0, f"D: serial {d.get('SerialNumber')}")
    check((e.get("TypeName"), e.get("VolumeLabel"), e.get("SerialNumber")) ==
          ("Removable", "Mystick", 0x1234ABCD), f"E: {e.get('TypeName')} {e.get('VolumeLabel')!r} "
          f"serial {e.get('SerialNumber')}")
    _, ini, _ = guest.run("cat /root/.config/Bayminder/Bayminder.ini")
    check(all(f"[{k}]" in ini for k in "ADE") and "[%40]" in ini or "[@]" in ini,
          "the defaults of A:, D: and E: are stored")

    # Mounted with no udisks2 to unmount it: refused and told, never ejected under its mount,
    # not even for root, whom the drive would obey.
    guest.run("mkdir -p /mnt/cd && mount -t iso9660 -o ro /dev/sr0 /mnt/cd")
    mark = len(guest.events)
    rc, rec, err = tool(guest, "open D")
    _, mounted, _ = guest.run("grep -c ' /mnt/cd ' /proc/self/mountinfo")
    check(rc == 0 and guest.tray_open() is False and tray_moves(guest, mark) == [] and
          mounted.strip() == "1", f"no udisks2: a mounted disc stays in, mounted (moves "
          f"{tray_moves(guest, mark)}, mounts {mounted.strip()})")
    check((rec or {}).get("DoorClosed") is True and (rec or {}).get("DoorUncertain") is True,
          "no udisks2: the record says closed, uncertain")
    check("Bayminder: Bayminder cannot open the tray of drive D: (My Data). The disc is mounted, "
          "and without the udisks2 service" in err, f"no udisks2: told why ({err.strip()[:120]!r})")
    guest.run("umount /mnt/cd")

    # The tray, as QMP sees it.
    mark = len(guest.events)
    started = time.monotonic()
    rec = tool(guest, "open D")[1] or {}
    timings["open D, plain eject, no udisks2 (root)"] = time.monotonic() - started
    check(guest.tray_open() is True and tray_moves(guest, mark) == [True],
          f"open D opens the tray (QMP tray_open {guest.tray_open()}, moves {tray_moves(guest, mark)})")
    check(rec.get("DoorClosed") is False, "open D: the record says open")
    rec = record(guest, "D")
    check(rec.get("MediaPresent") is False, "refresh D with the tray open reads no media")
    mark = len(guest.events)
    rec = tool(guest, "close D")[1] or {}
    check(guest.tray_open() is False and tray_moves(guest, mark) == [False],
          f"close D closes the tray (moves {tray_moves(guest, mark)})")
    check(rec.get("DoorClosed") is True and rec.get("MediaPresent") is True,
          "close D: the record says closed and loaded")
    tool(guest, "toggle")
    check(guest.tray_open() is True, "toggle opens the closed tray")
    tool(guest, "toggle")
    check(guest.tray_open() is False, "toggle closes it again")

    # The host changes the disc. The kernel notices at our next open, and udev reads the new
    # disc only after that; the first refresh reads the disc's own volume descriptors.
    guest.change_medium("cd0dev", os.path.join(g, "other.iso"), read_only=True)
    first = record(guest, "D")
    check(first.get("MediaPresent") is True and first.get("VolumeLabel") == "Other Disc",
          f"the first refresh after the host's disc change reads its label: "
          f"{first.get('VolumeLabel')!r}")
    guest.run("udevadm settle --timeout=20")
    rec = record(guest, "D")
    check(rec.get("MediaPresent") is True and rec.get("VolumeLabel") == "Other Disc" and
          rec.get("SerialNumber") == first.get("SerialNumber"),
          f"and the next, after udev: {rec.get('VolumeLabel')!r}, the same serial")
    guest.eject("cd0dev", force=True)
    rec = record(guest, "D")
    check(rec.get("MediaPresent") is False, "a disc taken out by the host reads absent")
    guest.change_medium("cd0dev", os.path.join(g, "mydata.iso"), read_only=True)
    guest.change_medium("fd0dev", os.path.join(g, "floppy2.img"))
    first = record(guest, "A")
    rec = record(guest, "A")
    print(f"     the refresh right after the change read {first.get('VolumeLabel')!r}, "
          f"media {first.get('MediaPresent')}")
    check(rec.get("MediaPresent") is True and rec.get("VolumeLabel") == "Otherflop",
          f"a floppy changed by the host: {rec.get('VolumeLabel')!r}")

    # Another program holds the drive exclusively.
    rc, out, err = guest.run("hold_excl /dev/sr0 > /tmp/hold & sleep 1; cat /tmp/hold; "
                             "bayminder-drives refresh D; echo rc=$?; kill %1")
    check("holding /dev/sr0" in out, f"the holder has the drive ({out.strip()[:60]!r})")
    check("Another program is using the cd" in err and "291" in err and "rc=0" in out,
          f"held: the 291 message ({err.strip()[:80]!r})")
    check('"MediaPresent": false' in out, "held: media reads absent")

    # The stick is pulled while the tool runs over and over.
    guest.run(": > /tmp/rcs; (for i in 1 2 3 4 5 6 7 8; do bayminder-drives refresh E >/dev/null 2>&1; "
              "echo $? >> /tmp/rcs; done) > /dev/null 2>&1 &")
    mark = len(guest.events)
    guest.device_del("stickdev")
    guest.wait_event("DEVICE_DELETED", since=mark, timeout=20)
    guest.run('while [ "$(wc -l < /tmp/rcs)" -lt 8 ]; do sleep 0.2; done', timeout=90)
    _, rcs, _ = guest.run("cat /tmp/rcs")
    codes = sorted(set(rcs.split()))
    check(codes and all(c in ("0", "1") for c in codes),
          f"refresh E while the stick goes: exit codes {codes} (0 or 1, no crash)")
    rc, rec, _ = tool(guest, "refresh E")
    check(rc == 1 or (rec or {}).get("MediaPresent") is False,
          f"after the stick is gone, E: reads empty or unwatched (status {rc})")


def desktop(guest, g):
    """A desktop user (uid 1000, group cdrom) with the system bus, polkitd and udisksd."""

    def user_tool(args, trace=False):
        env = "env QT_LOGGING_RULES=bayminder.mci=true " if trace else ""
        started = time.monotonic()
        rc, out, err = guest.run(f"{env}runas bayminder-drives {args}", timeout=120)
        took = time.monotonic() - started
        try:
            rec = json.loads(out) if out.strip() else {}
        except ValueError:
            rec = {}
        return rc, rec, err, took

    def sr0_mounts():
        _, out, _ = guest.run("grep -c ' 11:0 ' /proc/self/mountinfo")
        return int(out.strip() or 0)

    rc, rec, err, _ = user_tool("refresh D")
    check(rc == 0 and (rec.get("VolumeLabel"), rec.get("MediaPresent"), rec.get("DoorClosed")) ==
          ("My Data", True, True), f"desktop: D: {rec.get('VolumeLabel')!r} loaded, as the user "
          f"({err.strip()[:80]!r})")

    # Nothing mounted: the eject of the drive, as before.
    mark = len(guest.events)
    rc, rec, err, plain = user_tool("open D", trace=True)
    timings["open D, nothing mounted, udisksd running (user)"] = plain
    check(guest.tray_open() is True and tray_moves(guest, mark) == [True] and "udisks2" not in err,
          f"desktop: open D on an unmounted disc opens the tray by the drive's eject "
          f"(moves {tray_moves(guest, mark)})")
    user_tool("close D")
    check(guest.tray_open() is False, "desktop: close D closes it")

    # The user mounts the disc as the desktop's automounter does.
    rc, out, err = guest.run("runas udisksctl mount -b /dev/sr0")
    check(rc == 0 and "/media/user/MY DATA" in out and sr0_mounts() == 1,
          f"desktop: the user mounts the disc through udisks2 ({(out + err).strip()[:80]!r})")

    # A program has its working folder on the disc: the unmount is busy.
    guest.run("runas sh -c 'cd \"/media/user/MY DATA\" && exec sleep 600' >/dev/null 2>&1 & "
              "echo $! > /tmp/busy")
    mark = len(guest.events)
    rc, rec, err, busy = user_tool("open D", trace=True)
    timings["open D, busy unmount refused (user)"] = busy
    check(guest.tray_open() is False and tray_moves(guest, mark) == [] and sr0_mounts() == 1,
          f"desktop: busy: the tray stays shut and the disc mounted (moves {tray_moves(guest, mark)})")
    check(rc == 0 and rec.get("DoorClosed") is True and rec.get("DoorUncertain") is True and
          rec.get("MediaPresent") is True, "desktop: busy: the record says closed, uncertain")
    check("Bayminder: Bayminder cannot open the tray of drive D: (My Data). A program is using "
          "files on the disc." in err and "DeviceBusy" in err,
          f"desktop: busy: the message names the drive and why ({err.strip()[-200:]!r})")
    # Root, whom the drive would obey, does not eject it either.
    mark = len(guest.events)
    rc, out, err = guest.run("bayminder-drives open D")
    check(guest.tray_open() is False and tray_moves(guest, mark) == [] and sr0_mounts() == 1 and
          "A program is using files on the disc" in err,
          "desktop: busy: root's open D leaves it in and mounted too")
    guest.run("kill $(cat /tmp/busy)")

    # Unmounted through udisks2, then ejected: the tray opens and nothing stays mounted.
    mark = len(guest.events)
    rc, rec, err, unmounting = user_tool("open D", trace=True)
    timings["open D, mounted: unmount + udisks2 eject (user)"] = unmounting
    check(guest.tray_open() is True and tray_moves(guest, mark) == [True],
          f"desktop: open D on the mounted disc opens the tray (moves {tray_moves(guest, mark)}; "
          f"{err.strip()[-160:]!r})")
    _, info, _ = guest.run("udisksctl info -b /dev/sr0 | grep -i mountpoints")
    check(sr0_mounts() == 0 and info.split(":", 1)[-1].strip() == "",
          f"desktop: nothing is left mounted (udisks2: {info.strip()!r})")
    check(rc == 0 and rec.get("DoorClosed") is False and rec.get("DoorUncertain") is False,
          "desktop: the record says open")
    check("udisks2 Unmount /dev/sr0 => ok" in err and "udisks2 Eject /dev/sr0 => ok" in err,
          "desktop: unmounted, then ejected, by udisksd")

    mark = len(guest.events)
    rc, rec, err, _ = user_tool("close D")
    check(guest.tray_open() is False and tray_moves(guest, mark) == [False] and
          rec.get("DoorClosed") is True and rec.get("MediaPresent") is True,
          f"desktop: close D closes the tray (moves {tray_moves(guest, mark)})")

    # A new disc: its label at the first refresh, before udev has read it.
    guest.change_medium("cd0dev", os.path.join(g, "other.iso"), read_only=True)
    rc, rec, err, _ = user_tool("refresh D")
    check(rec.get("MediaPresent") is True and rec.get("VolumeLabel") == "Other Disc",
          f"desktop: the first refresh after a disc change reads {rec.get('VolumeLabel')!r}")


def without_disc(guest):
    rc, drives, err = tool(guest, "list --json")
    d = {x["Letter"]: x for x in drives or []}.get("D", {})
    check(rc == 0 and d.get("TypeName") == "CD" and d.get("MediaPresent") is False,
          f"an empty CD drive at start: D: {d.get('TypeName')} media {d.get('MediaPresent')} "
          f"({err.strip()[:60]!r})")


def main():
    if len(sys.argv) != 3:
        print("usage: vm_tests.py BAYMINDER_DRIVES WORK_DIR", file=sys.stderr)
        return 2
    program, work = os.path.abspath(sys.argv[1]), os.path.abspath(sys.argv[2])
    reason = vm.qemu_available()
    if reason:
        print(f"SKIP: {reason}", file=sys.stderr)
        return SKIP
    g = os.path.join(work, "guest")
    subprocess.run([os.path.join(HERE, "build_guest.sh"), g, program], check=True)
    started = time.monotonic()
    for name, media, run in (
            ("with-disc", dict(cd=os.path.join(g, "mydata.iso"), stick=os.path.join(g, "stick.img"),
                               floppy=os.path.join(g, "floppy.img")), lambda guest: with_disc(guest, g)),
            ("without-disc", dict(floppy=os.path.join(g, "floppy.img")), without_disc),
            ("desktop", dict(cd=os.path.join(g, "mydata.iso"), desktop=True),
             lambda guest: desktop(guest, g))):
        if name == "desktop" and not os.path.exists(os.path.join(g, "desktop-stack")):
            check(False, "desktop: the guest has no udisks2 stack (see build_guest.sh's message)")
            continue
        guest = vm.Vm(g, os.path.join(work, name), **media)
        try:
            guest.start()
            print(f"{name}: booted in {guest.boot_seconds:.1f} s", flush=True)
            run(guest)
        except vm.VmError as e:
            check(False, f"{name}: {e}")
        finally:
            guest.stop()
            with open(os.path.join(work, name, "console.txt"), "w") as f:
                f.write(guest.console())
    for what, seconds in timings.items():
        print(f"     {what}: {seconds:.2f} s")
    print(f"{len(failures)} failed; {time.monotonic() - started:.0f} s in the guests")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
