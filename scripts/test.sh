#!/usr/bin/env bash
# Installs what the build and the tests need, then builds and runs every test:
# - the C++ suites: plain, under AddressSanitizer/UndefinedBehaviorSanitizer
#   and built for 32-bit x86;
# - each fuzz target for a short while (FUZZ_SECONDS, default 15);
# - the Python suites against the package installed in a virtual environment
#   of the script's own (build-venv; made with $PYTHON, default python3);
# - the Python suites again against the extension built with the sanitizers;
# - the module's Python tests on 32-bit x86 CPython, in a Debian 12 i386
#   chroot (scripts/test-i386.sh).
# Debian packages are installed with apt-get, so run it as root or with sudo.
# Nothing is pip-installed outside build-venv.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
JOBS=$(nproc)
stage() { printf '== [%d:%02d] %s\n' $((SECONDS / 60)) $((SECONDS % 60)) "$*"; }

# The build, the C++ suites, the 32-bit builds and the fuzzers need these
# (chromium: the report's browser tests, driven by Playwright, which is told
# to use it and downloads no browser of its own);
# test-m32.sh, test-i386.sh and fuzz.sh also install their own when run alone.
. scripts/ensure-apt-packages.sh
ensure_apt_packages g++ pkg-config libgtest-dev g++-multilib googletest clang libclang-rt-14-dev \
    python3-dev python3-venv debootstrap chromium

# The i386 chroot is made (debootstrap: downloads, then unpacking) while the
# other tests build and run, in a process group of its own that goes away if
# this script stops early.
mkdir -p build-test-i386
setsid scripts/test-i386.sh --chroot-only "$ROOT/build-test-i386" >build-test-i386/chroot.log 2>&1 &
i386_chroot=$!
trap 'kill -- -"$i386_chroot" 2>/dev/null || true' EXIT

stage "virtual environment build-venv"
# meson, ninja, and the interpreter meson builds the module for, come from it.
. scripts/build-venv.sh
use_build_venv "$ROOT"

stage "C++ tests"
meson setup build-test --wipe -Dpython=disabled -Dtests=enabled >/dev/null
meson test -C build-test --num-processes "$JOBS" --print-errorlogs

# One sanitized build serves the C++ suites and the Python module. The module
# is compiled by gcc, whose runtime is preloaded into the interpreter.
stage "C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
CC=gcc CXX=g++ meson setup build-test-asan --wipe -Dpython=enabled -Dtests=enabled -Dbuildtype=debug \
    -Db_sanitize=address,undefined -Db_lundef=false \
    -Dcpp_args=-fno-sanitize-recover=all >/dev/null
meson compile -C build-test-asan >/dev/null  # the module too: meson test builds only what tests run
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    meson test -C build-test-asan --num-processes "$JOBS" --print-errorlogs

stage "C++ tests built for 32-bit x86"
scripts/test-m32.sh "$ROOT/build-test-m32"

stage "fuzzing under AddressSanitizer and UndefinedBehaviorSanitizer, ${FUZZ_SECONDS:=15} s per target"
QUILLON_FUZZ_BUILD="$ROOT/build-test-fuzz" scripts/fuzz.sh all "$FUZZ_SECONDS"

# The Python suites run on every core, a test file per worker at a time, so
# that a file's shared fixtures (a server, a browser, converted logs) are made once.
stage "Python tests"
python -m pip install -q --disable-pip-version-check ".[test]"
(cd tests/python && python -m pytest -q -p no:cacheprovider -n "$JOBS" --dist loadfile .)

stage "Python tests against the module built with AddressSanitizer and UndefinedBehaviorSanitizer"
scripts/pytest-sanitized.sh "$ROOT/build-test-asan" --workers "$JOBS" -q -p no:cacheprovider

stage "Python module tests on 32-bit x86 CPython"
wait "$i386_chroot" || { cat build-test-i386/chroot.log; exit 1; }
scripts/test-i386.sh "$ROOT/build-test-i386"

stage "all tests passed"
