#!/usr/bin/env bash
# Installs what the build and the tests need, then builds and runs every test:
# the C++ suites (plain, under AddressSanitizer/UndefinedBehaviorSanitizer and
# built for 32-bit x86), each fuzz target for a short while (FUZZ_SECONDS,
# default 60), and the Python suites against the installed package.
set -euo pipefail

cd "$(dirname "$0")/.."
ROOT=$PWD
PYTHON=${PYTHON:-python3}
JOBS=$(nproc)

# The build, the C++ suites, the 32-bit build and the fuzzers need these;
# scripts/test-m32.sh and scripts/fuzz.sh also install their own when run alone.
. scripts/ensure-apt-packages.sh
ensure_apt_packages g++ pkg-config libgtest-dev g++-multilib googletest clang libclang-rt-14-dev

echo "== installing Python build and test requirements"
"$PYTHON" -m pip install -q --disable-pip-version-check \
    "meson-python>=0.15" "meson>=1.1" "Cython>=3.0.8" ninja
# Commands that pip installs (meson, ninja, quillon-dump) are run by name:
# make sure the interpreter's script directory is searched first.
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"
export PATH

echo "== C++ tests"
meson setup build-test --wipe -Dpython=disabled -Dtests=enabled >/dev/null
meson test -C build-test --num-processes "$JOBS" --print-errorlogs

echo "== C++ tests under AddressSanitizer and UndefinedBehaviorSanitizer"
meson setup build-test-asan --wipe -Dpython=disabled -Dtests=enabled -Dbuildtype=debug \
    -Db_sanitize=address,undefined -Db_lundef=false \
    -Dcpp_args=-fno-sanitize-recover=all >/dev/null
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1 \
    meson test -C build-test-asan --num-processes "$JOBS" --print-errorlogs

echo "== C++ tests built for 32-bit x86"
scripts/test-m32.sh "$ROOT/build-test-m32"

echo "== fuzzing under AddressSanitizer and UndefinedBehaviorSanitizer, ${FUZZ_SECONDS:=60} s per target"
QUILLON_FUZZ_BUILD="$ROOT/build-test-fuzz" scripts/fuzz.sh all "$FUZZ_SECONDS"

echo "== Python tests"
"$PYTHON" -m pip install -q --disable-pip-version-check ".[test]"
cd "$ROOT/tests/python"
"$PYTHON" -m pytest -q -p no:cacheprovider .
