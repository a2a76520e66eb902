#!/usr/bin/env bash
# Builds the Quillon extension for 32-bit x86 CPython in a Debian 12 i386
# chroot and runs the module's Python tests there, where C long and pointers
# are 4 bytes wide and 8-byte members may sit on 4-byte boundaries.
#
#   scripts/test-i386.sh [--chroot-only] [BUILD_DIR]   (default build-i386; needs root or sudo)
#
# pyarrow has no 32-bit wheels, so the package is installed without the
# product's dependencies (pip install --no-deps) and only the module's tests
# run (pytest --module-only). The chroot is made once with debootstrap and kept
# in BUILD_DIR/root; the sources (and ../shared/samples, if there) are copied
# in on every run. --chroot-only makes the chroot and stops (the test script
# does that in the background while it runs the other tests). Set
# DEBIAN_MIRROR to use another Debian mirror.
set -euo pipefail

if [[ $(id -u) -ne 0 ]]; then exec sudo "$0" "$@"; fi

chroot_only=false
if [[ "${1:-}" == --chroot-only ]]; then
    chroot_only=true
    shift
fi
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
builddir="$(mkdir -p "${1:-$repo/build-i386}" && cd "${1:-$repo/build-i386}" && pwd)"
root="$builddir/root"
mirror="${DEBIAN_MIRROR:-http://deb.debian.org/debian}"
packages=python3-dev,python3-venv,g++

. "$repo/scripts/ensure-apt-packages.sh"
ensure_apt_packages debootstrap

# The chroot, made again only when the packages it should hold change.
stamp="$root/.quillon-chroot"
if [[ "$(cat "$stamp" 2>/dev/null)" != "bookworm i386 $packages" ]]; then
    echo "== making a Debian 12 i386 chroot in $root"
    rm -rf "$root"
    debootstrap --arch=i386 --variant=minbase --include="$packages" bookworm "$root" "$mirror" \
        >"$builddir/debootstrap.log" 2>&1 || { tail -n 30 "$builddir/debootstrap.log"; exit 1; }
    echo "bookworm i386 $packages" >"$stamp"
fi
if $chroot_only; then exit 0; fi

# pip reaches the package index with the host's resolver and CA certificates.
cp /etc/resolv.conf "$root/etc/resolv.conf"
install -D -m 644 /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt"

# The sources as they are in the work tree (modification times kept, so the
# build directory in the chroot rebuilds only what changed), and the corpus
# beside them where the tests look for it.
rm -rf "$root/quillon/repo" "$root/quillon/shared"
mkdir -p "$root/quillon/repo"
(cd "$repo" && git ls-files -z --cached --others --exclude-standard |
    tar --null -cf - -T - --ignore-failed-read) | tar -xf - -C "$root/quillon/repo"
if [[ -d "$repo/../shared/samples" ]]; then
    mkdir -p "$root/quillon/shared"
    cp -r "$repo/../shared/samples" "$root/quillon/shared/"
fi

# A private mount namespace: the chroot's /proc (read by the memory-growth
# tests) goes away with the run. setarch makes uname report i686, as a
# 32-bit system does.
unshare --mount --pid --fork --mount-proc="$root/proc" \
    setarch i686 chroot "$root" /usr/bin/env -i \
    PATH=/quillon/venv/bin:/usr/local/bin:/usr/bin:/bin HOME=/root LANG=C.UTF-8 \
    PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 \
    PIP_DEFAULT_TIMEOUT="${PIP_DEFAULT_TIMEOUT:-60}" \
    /bin/sh -euc '
        cd /quillon
        [ -x venv/bin/python ] || python3 -m venv venv
        venv/bin/python -c "import struct, sys; assert struct.calcsize(\"P\") == 4, sys.version"
        venv/bin/pip install -q "meson-python>=0.15" "meson>=1.1" "Cython>=3.0.8" ninja pytest hypothesis
        echo "== building the module for $(venv/bin/python -c "import sysconfig; print(sysconfig.get_platform())")"
        venv/bin/pip install -q --no-deps --no-build-isolation --config-settings=build-dir=/quillon/build ./repo
        cd repo/tests/python
        /quillon/venv/bin/python -m pytest -q -p no:cacheprovider --module-only .
    '
