#!/bin/sh
# The guest's /init: brings up the drivers and udev as a desktop has them, then runs the
# commands the host sends over the second serial port.
export PATH=/bin:/sbin:/usr/bin HOME=/root LANG=C.UTF-8
for fs in proc:/proc sysfs:/sys devtmpfs:/dev tmpfs:/run tmpfs:/tmp; do
    mount -t "${fs%:*}" "${fs%:*}" "${fs#*:}"
done
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
if grep -qw bm.desktop /proc/cmdline; then
    retry() { i=0; until "$@" >/dev/null 2>&1 || [ $i -ge 300 ]; do sleep 0.1; i=$((i + 1)); done; }
    chown -R 1000:1000 /home/user
    chown -R polkitd:polkitd /etc/polkit-1/rules.d
    mkdir -p /run/dbus /var/lib/udisks2
    dbus-daemon --system --fork 2>/dev/ttyS0
    /usr/lib/polkit-1/polkitd --no-debug >/dev/ttyS0 2>&1 &
    retry dbus-send --system --print-reply --dest=org.freedesktop.PolicyKit1 / \
        org.freedesktop.DBus.Peer.Ping
    /usr/libexec/udisks2/udisksd >/dev/ttyS0 2>&1 &
    retry udisksctl info -b /dev/sr0
    echo "guest: udisksd up" >/dev/ttyS0
fi

stty -F /dev/ttyS1 raw -echo 115200 2>/dev/null
exec 3<>/dev/ttyS1
echo "@@READY" >&3
# One command a line, in base64 so that no quoting survives the wire; the answer is one line
# too: "@@ STATUS STDOUT STDERR", the outputs in base64.
while read -r b64 <&3; do
    echo "$b64" | base64 -d >/tmp/cmd
    echo "guest: $(cat /tmp/cmd)" >/dev/ttyS0
    sh /tmp/cmd >/tmp/out 2>/tmp/err </dev/null
    rc=$?
    echo "@@ $rc $(base64 -w 0 /tmp/out) $(base64 -w 0 /tmp/err)" >&3
done
