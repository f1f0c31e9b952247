#!/usr/bin/env bash
# package_test.sh REPO: builds the package, runs both programs from an unpacked copy, and where
# CI=true and we are root, installs it for real, sees the icon from /usr/bin and purges it.
set -euo pipefail
repo="$1"
fail() { echo "FAIL: $*" >&2; exit 1; }

deb=$("$repo/scripts/package" | tail -n 1)
[ -f "$deb" ] || fail "scripts/package made no package"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
machine="$repo/tests/e2e/machines/demo.json"

# Unpacked: both programs run from there.
dpkg-deb -x "$deb" "$tmp/root"
"$tmp/root/usr/bin/bayminder" --version | grep -qx 'bayminder (Bayminder) 3.00.0221' ||
    fail "bayminder --version"
"$tmp/root/usr/bin/bayminder" --help | grep -q -- '--simulate FILE' || fail "bayminder --help"
set +e
"$tmp/root/usr/bin/bayminder" --no-such-option 2>"$tmp/err"
status=$?
set -e
[ "$status" -eq 2 ] && [ "$(wc -l <"$tmp/err")" -eq 1 ] ||
    fail "an unknown option gave status $status and $(wc -l <"$tmp/err") lines"
"$tmp/root/usr/bin/bayminder-drives" --help | grep -q '^Commands:' || fail "bayminder-drives --help"
XDG_CONFIG_HOME="$tmp/config" "$tmp/root/usr/bin/bayminder-drives" --simulate "$machine" list |
    grep -q '^D:' || fail "the unpacked bayminder-drives lists no D:"
echo "unpacked: both programs run"

if [ "${CI:-}" != true ] || [ "$(id -u)" -ne 0 ]; then
    echo "not a throw-away machine (CI=true as root): the package is not installed for real"
    exit 0
fi

export DEBIAN_FRONTEND=noninteractive
files=$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\.||' | grep -v '/$')
apt-get install -y -qq "$deb" >/dev/null
XDG_CONFIG_HOME="$tmp/home" /usr/bin/bayminder-drives --simulate "$machine" list | grep -q '^D:' ||
    fail "the installed bayminder-drives lists no D:"
[ -f "$tmp/home/Bayminder/Bayminder.ini" ] || fail "the installed tool wrote no settings"
# The tray program from /usr/bin, under Xvfb with trayer, shows its icon.
python3 "$repo/tests/e2e/desktop_tests.py" /usr/bin/bayminder "$tmp/artifacts" icon_and_tooltip ||
    fail "the installed program under Xvfb"
apt-get purge -y -qq bayminder >/dev/null
left=""
for f in $files; do
    [ -e "$f" ] && left="$left $f"
done
[ -z "$left" ] || fail "left after the purge:$left"
dpkg -s bayminder >/dev/null 2>&1 && fail "dpkg still knows the package"
[ -f "$tmp/home/Bayminder/Bayminder.ini" ] || fail "the purge took the user's settings"
echo "installed, ran from /usr/bin, purged: nothing left but the user's settings"
