#!/bin/sh
# The guest's /init: brings up the drivers and udev as a desktop has them, then runs the
# commands the host sends over the second serial port and answers between markers.
export PATH=/bin:/sbin:/usr/bin HOME=/root XDG_CONFIG_HOME=/root/.config LANG=C.UTF-8
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
mount -t tmpfs run /run
mount -t tmpfs tmp /tmp
mkdir -p /run/udev /root/.config
echo "guest: loading modules" >/dev/ttyS0
while read -r ko; do
    insmod "$ko" 2>/dev/null || echo "guest: insmod $ko failed" >/dev/ttyS0
done </lib/modules/load.list
/lib/systemd/systemd-udevd --daemon 2>/dev/ttyS0
udevadm trigger --action=add --type=subsystems
udevadm trigger --action=add --type=devices
udevadm settle --timeout=30
echo "guest: udev settled" >/dev/ttyS0

# The desktop's storage stack, in the order it needs: the system bus, polkitd (udisksd looks for
# it once, at its start), udisksd; then a desktop user who mounts through it.
if grep -qw bm.desktop /proc/cmdline && [ -e /usr/bin/.desktop-stack ]; then
    chown -R 1000:1000 /home/user
    mkdir -p /run/dbus /var/lib/udisks2
    dbus-daemon --system --fork 2>/dev/ttyS0
    chown -R polkitd:polkitd /etc/polkit-1/rules.d
    /usr/lib/polkit-1/polkitd --no-debug >/dev/ttyS0 2>&1 &
    owner() {
        dbus-send --system --print-reply --dest=org.freedesktop.DBus /org/freedesktop/DBus \
            org.freedesktop.DBus.NameHasOwner "string:$1" 2>/dev/null | grep -q 'boolean true'
    }
    i=0
    until owner org.freedesktop.PolicyKit1 || [ $i -ge 300 ]; do sleep 0.1; i=$((i + 1)); done
    /usr/libexec/udisks2/udisksd >/dev/ttyS0 2>&1 &
    i=0
    until udisksctl info -b /dev/sr0 >/dev/null 2>&1 || [ $i -ge 300 ]; do sleep 0.1; i=$((i + 1)); done
    echo "guest: udisksd up" >/dev/ttyS0
fi

ctl=/dev/ttyS1
stty -F "$ctl" raw -echo 115200 2>/dev/null
exec 3<>"$ctl"
echo "@@READY" >&3
# One command a line: "ID BASE64", so that no quoting survives the wire.
while read -r id b64 <&3; do
    [ -n "$id" ] || continue
    cmd="$(echo "$b64" | base64 -d)"
    echo "guest: [$id] $cmd" >/dev/ttyS0
    if [ "$cmd" = poweroff ]; then
        echo "@@END $id 0" >&3
        break
    fi
    sh -c "$cmd" >/tmp/out 2>/tmp/err </dev/null
    rc=$?
    {
        echo "@@BEGIN $id"
        cat /tmp/out
        echo "@@STDERR $id"
        cat /tmp/err
        echo "@@END $id $rc"
    } >&3
done
poweroff -f
