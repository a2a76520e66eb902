#!/usr/bin/env bash
# Builds the C++ core and its GoogleTest suites for 32-bit x86 (-m32) and runs
# them. Debian ships GoogleTest only as 64-bit libraries, so meson builds it
# from the sources in /usr/src/googletest for the 32-bit machine.
set -euo pipefail

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
builddir="${1:-$repo/build-m32}"

# g++-multilib: the -m32 compiler and 32-bit C++ runtime; googletest: the
# GoogleTest sources; pkg-config: how meson finds the 32-bit GoogleTest.
. "$repo/scripts/ensure-apt-packages.sh"
ensure_apt_packages g++-multilib googletest pkg-config
. "$repo/scripts/build-venv.sh"
use_build_venv "$repo"  # meson and ninja

# GoogleTest for the 32-bit machine, built once from the Debian sources into
# the build directory and published through pkg-config files of its own.
# (Letting meson compile it from source instead repeats that for every test.)
gtestdir="$builddir-gtest"
if [[ ! -f "$gtestdir/lib/libgtest_main.a" ]]; then
    src=/usr/src/googletest/googletest
    mkdir -p "$gtestdir/obj" "$gtestdir/lib/pkgconfig"
    for unit in gtest-all gtest_main; do
        g++ -m32 -std=c++17 -O2 -pthread -I"$src/include" -I"$src" \
            -c "$src/src/$unit.cc" -o "$gtestdir/obj/$unit.o"
    done
    ar rcs "$gtestdir/lib/libgtest.a" "$gtestdir/obj/gtest-all.o"
    ar rcs "$gtestdir/lib/libgtest_main.a" "$gtestdir/obj/gtest_main.o"
    cat >"$gtestdir/lib/pkgconfig/gtest.pc" <<PC
Name: gtest
Description: GoogleTest (32-bit x86)
Version: 1.12.1
Cflags: -I$src/include -DGTEST_HAS_PTHREAD=1
Libs: -L$gtestdir/lib -lgtest -pthread
PC
    cat >"$gtestdir/lib/pkgconfig/gtest_main.pc" <<PC
Name: gtest_main
Description: GoogleTest main (32-bit x86)
Version: 1.12.1
Requires: gtest
Libs: -L$gtestdir/lib -lgtest_main
PC
fi

# A cross file, so that meson looks for 32-bit dependencies only: pkg-config
# searches the 32-bit GoogleTest above and never the 64-bit system files.
# It stays beside the build directory: meson reads it again when it
# regenerates the build.
crossfile="$gtestdir/cross-m32.ini"
cat >"$crossfile" <<INI
[binaries]
c = 'gcc'
cpp = 'g++'
ar = 'ar'
strip = 'strip'
pkg-config = 'pkg-config'

[properties]
needs_exe_wrapper = false
pkg_config_libdir = ['$gtestdir/lib/pkgconfig']

[built-in options]
c_args = ['-m32']
c_link_args = ['-m32']
cpp_args = ['-m32']
cpp_link_args = ['-m32']

[host_machine]
system = 'linux'
cpu_family = 'x86'
cpu = 'i686'
endian = 'little'
INI

if [[ -d "$builddir/meson-private" ]]; then
    meson setup --reconfigure "$builddir" "$repo" --cross-file "$crossfile" \
        -Dpython=disabled -Dtests=enabled
else
    meson setup "$builddir" "$repo" --cross-file "$crossfile" \
        -Dpython=disabled -Dtests=enabled
fi
meson compile -C "$builddir"
# Trust the results only if the test programs really are 32-bit ELF files.
for exe in "$builddir"/tests/cpp/test_*; do
    [[ -f "$exe" && -x "$exe" ]] || continue
    if [[ "$(od -An -tu1 -j4 -N1 "$exe" | tr -d ' ')" != 1 ]]; then
        echo "$exe is not a 32-bit program" >&2
        exit 1
    fi
done
meson test -C "$builddir" --print-errorlogs
