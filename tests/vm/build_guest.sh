#!/bin/bash
# Builds the test guest: the host's Debian kernel, an initramfs with busybox, the storage
# drivers, systemd's udevd with its rules (so the udev database is the one a desktop has) and
# bayminder-drives with its libraries; and the media the tests put in its drives.
#
#   build_guest.sh OUTDIR BAYMINDER_DRIVES
#
# Needs: linux-image-amd64 busybox-static udev kmod cpio dosfstools mtools xorriso, and for the
# desktop's storage stack: dbus udisks2 polkitd eject.
# Rebuilds only when bayminder-drives or this script is newer than the guest.
set -euo pipefail

out="${1:?usage: build_guest.sh OUTDIR BAYMINDER_DRIVES}"
tool="${2:?usage: build_guest.sh OUTDIR BAYMINDER_DRIVES}"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
mkdir -p "$out"
out="$(cd "$out" && pwd)"

if [ -f "$out/initrd.gz" ] && [ "$out/initrd.gz" -nt "$tool" ] &&
    [ "$out/initrd.gz" -nt "${BASH_SOURCE[0]}" ] && [ "$out/initrd.gz" -nt "$here/guest_init.sh" ] &&
    [ "$out/initrd.gz" -nt "$here/hold_excl.c" ] && [ "$out/initrd.gz" -nt "$here/cd_ioctl.c" ] &&
    [ "$out/initrd.gz" -nt "$here/runas.c" ]; then
    exit 0
fi

kernel="$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n1 || true)"
[ -n "$kernel" ] || { echo "build_guest: no kernel in /boot (install linux-image-amd64)" >&2; exit 3; }
kver="${kernel#/boot/vmlinuz-}"
[ -d "/lib/modules/$kver" ] || { echo "build_guest: no /lib/modules/$kver" >&2; exit 3; }
busybox="$(command -v busybox || true)"
[ -x /bin/busybox ] && busybox=/bin/busybox
[ -n "$busybox" ] || { echo "build_guest: busybox-static is missing" >&2; exit 3; }
udevadm=/bin/udevadm
[ -x "$udevadm" ] || { echo "build_guest: udevadm is missing (install udev)" >&2; exit 3; }

root="$(mktemp -d "$out/root.XXXXXX")"
trap 'rm -rf "$root"' EXIT
# mktemp makes it 0700, and the guest's / is this folder: no user but root could run anything.
chmod 0755 "$root"
mkdir -p "$root"/{bin,sbin,etc,proc,sys,dev,run,tmp,root,mnt,lib/modules,lib/udev,lib/systemd,usr/bin,etc/udev}

# Busybox with its applets as links; the guest needs no more of a userland.
cp "$busybox" "$root/bin/busybox"
for applet in $("$busybox" --list); do
    [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done

# A file with its shared libraries, at the paths the dynamic loader looks for them.
copy_with_libs() {
    local src="$1" dst="$2"
    mkdir -p "$root$(dirname "$dst")"
    cp -L "$src" "$root$dst"
    { ldd "$src" 2>/dev/null || true; } | { grep -o '/[^ ]*' || true; } | while read -r lib; do
        [ -e "$root$lib" ] && continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
}

copy_with_libs "$udevadm" /bin/udevadm
# udevd is udevadm under another name.
ln -sf /bin/udevadm "$root/lib/systemd/systemd-udevd"
cp -a /lib/udev/rules.d "$root/lib/udev/"
for helper in /lib/udev/*; do
    if [ -f "$helper" ] && [ -x "$helper" ]; then
        copy_with_libs "$helper" "$helper"
    fi
done
[ -f /etc/udev/udev.conf ] && cp /etc/udev/udev.conf "$root/etc/udev/"
copy_with_libs "$tool" /usr/bin/bayminder-drives
gcc -static -O2 -o "$root/usr/bin/hold_excl" "$here/hold_excl.c"
gcc -static -O2 -o "$root/usr/bin/cd_ioctl" "$here/cd_ioctl.c"
gcc -static -O2 -o "$root/usr/bin/runas" "$here/runas.c"

# The desktop's storage stack, started when the kernel command line says bm.desktop: the system
# bus, polkitd and udisksd (with udisksctl to mount as the user does, and the eject that
# udisksd runs). The guest without them has none of it running.
desktop_stack=1
rm -f "$out/desktop-stack"
for f in /usr/bin/dbus-daemon /usr/bin/dbus-send /usr/lib/polkit-1/polkitd \
    /usr/libexec/udisks2/udisksd /usr/bin/udisksctl /usr/bin/eject; do
    [ -x "$f" ] || { echo "build_guest: $f is missing (install dbus udisks2 polkitd eject):" \
        "no desktop guest" >&2; desktop_stack=0; }
done
if [ "$desktop_stack" = 1 ]; then
    for f in /usr/bin/dbus-daemon /usr/bin/dbus-send /usr/lib/polkit-1/polkitd \
        /usr/libexec/udisks2/udisksd /usr/bin/udisksctl /usr/bin/eject; do
        copy_with_libs "$f" "$f"
    done
    # libblockdev loads its plugins at run time, so ldd does not list them.
    for plugin in /usr/lib/x86_64-linux-gnu/libbd_*.so*; do
        copy_with_libs "$plugin" "$plugin"
    done
    mkdir -p "$root"/{usr/share,etc,var/lib,media,home/user/.config}
    cp -a /usr/share/dbus-1 "$root/usr/share/"
    # Nothing to start on demand here (no logind): asked for, it is unknown at once.
    rm -rf "$root/usr/share/dbus-1/system-services" "$root/usr/share/dbus-1/services"
    cp -a /etc/dbus-1 /etc/udisks2 "$root/etc/"
    [ -d /etc/libblockdev ] && cp -a /etc/libblockdev "$root/etc/"
    mkdir -p "$root/usr/share/polkit-1" "$root/etc/polkit-1/rules.d"
    cp -a /usr/share/polkit-1/actions "$root/usr/share/polkit-1/"
    # Without logind polkit sees nobody as the active local user: the test user gets what an
    # active session gets.
    cat >"$root/etc/polkit-1/rules.d/50-bayminder-test.rules" <<'EOF2'
polkit.addRule(function(action, subject) {
    if (subject.user == "user" &&
        (action.id == "org.freedesktop.udisks2.filesystem-mount" ||
         action.id == "org.freedesktop.udisks2.eject-media" ||
         action.id == "org.freedesktop.udisks2.power-off-drive")) {
        return polkit.Result.YES;
    }
});
EOF2
    echo 0123456789abcdef0123456789abcdef >"$root/etc/machine-id"
    # dbus-daemon's configuration names /var/run.
    ln -s /run "$root/var/run"
    touch "$root/usr/bin/.desktop-stack" "$out/desktop-stack"
fi

# Users and groups named by the rules, so udevd applies them without complaint.
cat >"$root/etc/passwd" <<'EOF'
root:x:0:0:root:/root:/bin/sh
messagebus:x:100:102::/nonexistent:/bin/false
polkitd:x:996:996:polkit:/nonexistent:/bin/false
user:x:1000:1000:Desktop User:/home/user:/bin/sh
EOF
cat >"$root/etc/group" <<'EOF'
root:x:0:
disk:x:6:
cdrom:x:24:user
messagebus:x:102:
polkitd:x:996:
user:x:1000:
floppy:x:25:
tape:x:26:
dialout:x:20:
audio:x:29:
video:x:44:
input:x:105:
kvm:x:106:
render:x:107:
sgx:x:108:
tty:x:5:
kmem:x:15:
lp:x:7:
EOF

# The drivers, each after what it needs, in one list that /init loads in order.
modules="ata_piix ata_generic sr_mod cdrom sd_mod usb-storage uas xhci_pci xhci_hcd floppy isofs vfat
    nls_ascii nls_cp437 nls_utf8 nls_iso8859_1 sg"
: >"$root/lib/modules/load.list"
for m in $modules; do
    modprobe -S "$kver" --show-depends "$m" 2>/dev/null | awk '$1 == "insmod" { print $2 }' |
        while read -r ko; do
            rel="${ko#/lib/modules/$kver/}"
            dst="/lib/modules/$(basename "$rel")"
            dst="${dst%.xz}"
            dst="${dst%.zst}"
            grep -qxF "$dst" "$root/lib/modules/load.list" && continue
            case "$ko" in
                *.xz) xz -dc "$ko" >"$root$dst" ;;
                *.zst) zstd -qdc "$ko" >"$root$dst" ;;
                *) cp "$ko" "$root$dst" ;;
            esac
            echo "$dst" >>"$root/lib/modules/load.list"
        done
done

install -m 0755 "$here/guest_init.sh" "$root/init"
(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 >"$out/initrd.gz.new"
mv "$out/initrd.gz.new" "$out/initrd.gz"
cp "$kernel" "$out/vmlinuz"

# The media.
iso() {  # iso FILE LABEL NAME...
    local file="$1" label="$2"
    shift 2
    local src
    src="$(mktemp -d "$out/iso.XXXXXX")"
    for name in "$@"; do echo "$name" >"$src/$name"; done
    xorriso -as mkisofs -quiet -V "$label" -J -r -o "$file" "$src" 2>/dev/null
    rm -rf "$src"
}
iso "$out/mydata.iso" "MY DATA" readme.txt photos.txt
iso "$out/other.iso" "OTHER DISC" setup.txt

fat() {  # fat FILE KILOBYTES LABEL SERIAL [mkfs options...]
    local file="$1" size="$2" label="$3" serial="$4"
    shift 4
    rm -f "$file"
    mkfs.vfat -C "$file" "$size" -n "$label" -i "$serial" "$@" >/dev/null
    echo hello >"$out/hello.txt"
    MTOOLS_SKIP_CHECK=1 mcopy -i "$file" "$out/hello.txt" ::/hello.txt
    rm -f "$out/hello.txt"
}
fat "$out/stick.img" 16384 MYSTICK 1234ABCD
fat "$out/floppy.img" 1440 MYFLOPPY 0BADF00D
fat "$out/floppy2.img" 1440 OTHERFLOP 0000BEEF
echo "guest built in $out (kernel $kver)"
