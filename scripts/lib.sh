# Shared by scripts/run and scripts/test: installs what is missing from Debian's archive.
set -euo pipefail
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

BUILD_PACKAGES=(cmake ninja-build g++ pkg-config qt6-base-dev libudev-dev libcanberra-dev libxcb1-dev libsm-dev libice-dev)
FUZZ_PACKAGES=(clang-14 libclang-rt-14-dev)
VM_PACKAGES=(qemu-system-x86 linux-image-amd64 busybox-static udev kmod cpio dosfstools mtools xorriso xz-utils zstd dbus polkitd udisks2 eject)
PACKAGE_PACKAGES=(dpkg-dev file lintian desktop-file-utils appstream)
LINT_PACKAGES=(clang-format clang-tidy)
TEST_PACKAGES=(googletest libgtest-dev libgmock-dev xvfb xauth trayer xdotool imagemagick python3 python3-dbusmock dbus x11-utils at-spi2-core python3-pyatspi xfce4-session xfce4-panel xfwm4 xfconf systemd)

ensure_packages() {
    local missing=()
    for p in "$@"; do
        dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    echo "Installing from Debian: ${missing[*]}" >&2
    local sudo=()
    [ "$(id -u)" -ne 0 ] && sudo=(sudo)
    # Another install may be under way (a package manager's timer, a parallel test): wait for it.
    local wait=(-o DPkg::Lock::Timeout=900)
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" update -qq
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get "${wait[@]}" install -y -qq --no-install-recommends "${missing[@]}"
}

# build DIR [cmake options...]
build() {
    local dir="$1"; shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
    cmake --build "$dir" -j"$(nproc)"
}
