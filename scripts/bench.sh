#!/usr/bin/env bash
# Builds the module and the benchmark programs, then measures every sample.
# Extra arguments go to benchmarks/run.py (e.g. --size-mb 10 --runs 3).
#
# With --columnar first, measures read_log against its targets instead
# (benchmarks/columnar.py, which takes the remaining arguments, e.g. --quick).
# The package and its benchmark peers (the "bench" extra: pymavlink) are
# installed into a virtual environment of their own, $VENV
# (build-bench-venv by default), never into $PYTHON itself.
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
if [[ "${1:-}" == --columnar ]]; then
    shift
    VENV=${VENV:-build-bench-venv}
    # Packages the machine already has (pyarrow, pymavlink) are reused.
    [[ -x "$VENV/bin/python" ]] || "$PYTHON" -m venv --system-site-packages "$VENV"
    pip=("$VENV/bin/python" -m pip install -q --disable-pip-version-check)
    "${pip[@]}" "meson-python>=0.15" "meson>=1.1" "Cython>=3.0.8" ninja
    "${pip[@]}" --no-build-isolation -Cbuild-dir=build-bench-py ".[bench]"
    exec "$VENV/bin/python" benchmarks/columnar.py "$@"
fi
"$PYTHON" -m pip install -q --disable-pip-version-check "meson>=1.1" "Cython>=3.0.8" ninja
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"  # pip-installed meson, ninja
meson setup build-bench -Dbenchmarks=enabled -Dtests=disabled --reconfigure >/dev/null 2>&1 ||
    meson setup build-bench -Dbenchmarks=enabled -Dtests=disabled >/dev/null
ninja -C build-bench >/dev/null
exec "$PYTHON" benchmarks/run.py --build build-bench "$@"
