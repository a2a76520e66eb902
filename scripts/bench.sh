#!/usr/bin/env bash
# Builds the module and the benchmark programs, then measures every sample.
# Extra arguments go to benchmarks/run.py (e.g. --size-mb 10 --runs 3).
set -euo pipefail
cd "$(dirname "$0")/.."
PYTHON=${PYTHON:-python3}
"$PYTHON" -m pip install -q --disable-pip-version-check "meson>=1.1" "Cython>=3.0.8" ninja
PATH="$("$PYTHON" -c 'import sysconfig; print(sysconfig.get_path("scripts"))'):$PATH"  # pip-installed meson, ninja
meson setup build-bench -Dbenchmarks=enabled -Dtests=disabled --reconfigure >/dev/null 2>&1 ||
    meson setup build-bench -Dbenchmarks=enabled -Dtests=disabled >/dev/null
ninja -C build-bench >/dev/null
exec "$PYTHON" benchmarks/run.py --build build-bench "$@"
