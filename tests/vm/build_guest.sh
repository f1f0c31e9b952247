#!/bin/bash
# Builds the test guest: the host's Debian kernel, an initramfs with busybox, the storage
# drivers of modules.list, systemd's udevd with its rules (so the udev database is the one a
# desktop has), bayminder-drives with its libraries and the files of overlay/; and the media the
# tests put in its drives.
#
#   build_guest.sh OUTDIR BAYMINDER_DRIVES
#
# Needs: linux-image-amd64 busybox-static udev kmod cpio dosfstools mtools xorriso, and for the
# desktop's storage stack (desktop.list): dbus udisks2 polkitd eject.
# Rebuilds only when bayminder-drives or a file here is newer than the guest.
set -euo pipefail

[ $# -eq 2 ] || { echo "usage: build_guest.sh OUTDIR BAYMINDER_DRIVES" >&2; exit 2; }
tool="$2"
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
out="$(mkdir -p "$1" && cd "$1" && pwd)"
inputs=("$tool" "$here"/{build_guest.sh,guest_init.sh,hold_excl.c,overlay,media,*.list})
[ -f "$out/initrd.gz" ] && [ -z "$(find "${inputs[@]}" -newer "$out/initrd.gz")" ] && exit 0

die() { echo "build_guest: $*" >&2; exit 3; }
kernel="$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n1 || true)"
[ -n "$kernel" ] || die "no kernel in /boot (install linux-image-amd64)"
kver="${kernel#/boot/vmlinuz-}"
[ -d "/lib/modules/$kver" ] || die "no /lib/modules/$kver"
busybox="$(command -v busybox)" || die "busybox-static is missing"
[ -x /bin/udevadm ] || die "udevadm is missing (install udev)"

root="$(mktemp -d "$out/root.XXXXXX")"
trap 'rm -rf "$root"' EXIT
# mktemp makes it 0700, and the guest's / is this folder: no user but root could run anything.
chmod 0755 "$root"
mkdir -p "$root"/{bin,proc,sys,dev,run,tmp,root,mnt,media,var/lib,home/user/.config} \
    "$root"/lib/{modules,udev,systemd} "$root/usr/share/polkit-1"
cp -a "$here/overlay/." "$root/"

# A file with its shared libraries, at the paths the dynamic loader looks for them.
copy_with_libs() {
    mkdir -p "$root$(dirname "$2")"
    cp -L "$1" "$root$2"
    { ldd "$1" 2>/dev/null || true; } | { grep -o '/[^ ]*' || true; } | while read -r lib; do
        [ -e "$root$lib" ] || cp -L --parents "$lib" "$root"
    done
}

# Busybox with its applets as links; the guest needs no more of a userland.
copy_with_libs "$busybox" /bin/busybox
for applet in $("$busybox" --list); do
    [ -e "$root/bin/$applet" ] || ln -s busybox "$root/bin/$applet"
done
copy_with_libs /bin/udevadm /bin/udevadm
# udevd is udevadm under another name.
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
cp -a /lib/udev/rules.d "$root/lib/udev/"
find /lib/udev -maxdepth 1 -type f -executable | while read -r helper; do
    copy_with_libs "$helper" "$helper"
done
copy_with_libs "$tool" /usr/bin/bayminder-drives
gcc -static -O2 -o "$root/usr/bin/hold_excl" "$here/hold_excl.c"

# The desktop's storage stack, started when the kernel command line says bm.desktop: the system
# bus, polkitd and udisksd (with udisksctl to mount as the user does, and the eject that
# udisksd runs). The guest without them has none of it running.
rm -f "$out/desktop-stack"
mapfile -t stack <"$here/desktop.list"
missing="$(for f in "${stack[@]}"; do [ -x "$f" ] || printf ' %s' "$f"; done)"
if [ -n "$missing" ]; then
    echo "build_guest: no desktop guest: missing$missing (install dbus udisks2 polkitd eject)" >&2
else
    # libblockdev loads its plugins at run time, so ldd does not list them.
    for f in "${stack[@]}" /usr/lib/x86_64-linux-gnu/libbd_*.so*; do
        copy_with_libs "$f" "$f"
    done
    cp -a /usr/share/polkit-1/actions "$root/usr/share/polkit-1/"
    cp -a /usr/share/dbus-1 "$root/usr/share/"
    # Nothing to start on demand here (no logind): asked for, it is unknown at once.
    rm -rf "$root/usr/share/dbus-1/system-services" "$root/usr/share/dbus-1/services"
    cp -a /etc/dbus-1 /etc/udisks2 "$root/etc/"
    if [ -d /etc/libblockdev ]; then cp -a /etc/libblockdev "$root/etc/"; fi
    # dbus-daemon's configuration names /var/run.
    ln -s /run "$root/var/run"
    touch "$out/desktop-stack"
fi

# The drivers, each after what it needs, in one list that /init loads in order.
mapfile -t modules <"$here/modules.list"
for m in "${modules[@]}"; do
    modprobe -S "$kver" --show-depends "$m" 2>/dev/null | awk '$1 == "insmod" { print $2 }'
done | awk '!seen[$0]++' | while read -r ko; do
    dst="/lib/modules/$(basename "$ko" | sed -E 's/\.(xz|zst)$//')"
    case "$ko" in *.xz) xz -dc "$ko" ;; *.zst) zstd -qdc "$ko" ;; *) cat "$ko" ;; esac >"$root$dst"
    echo "$dst"
done >"$root/lib/modules/load.list"

install -m 0755 "$here/guest_init.sh" "$root/init"
(cd "$root" && find . -print0 | cpio --null -o -H newc --quiet) | gzip -1 >"$out/initrd.gz.new"
mv "$out/initrd.gz.new" "$out/initrd.gz"
cp "$kernel" "$out/vmlinuz"

# The media, with the files of media/.
xorriso -as mkisofs -quiet -V "MY DATA" -J -r -o "$out/mydata.iso" "$here/media/mydata" 2>/dev/null
xorriso -as mkisofs -quiet -V "OTHER DISC" -J -r -o "$out/other.iso" "$here/media/other" \
    2>/dev/null
for fat in stick.img:16384:MYSTICK:1234ABCD floppy.img:1440:MYFLOPPY:0BADF00D \
    floppy2.img:1440:OTHERFLOP:0000BEEF; do
    IFS=: read -r file size label serial <<<"$fat"
    rm -f "$out/$file"
    mkfs.vfat -C "$out/$file" "$size" -n "$label" -i "$serial" >/dev/null
    MTOOLS_SKIP_CHECK=1 mcopy -i "$out/$file" "$here/media/hello.txt" ::/hello.txt
done
echo "guest built in $out (kernel $kver)"
