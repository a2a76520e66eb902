#!/usr/bin/env bash
# Builds the module and the benchmark programs, then measures every sample.
# Extra arguments go to benchmarks/run.py (e.g. --size-mb 10 --runs 3).
# The samples are those of ../shared/samples, or the two bundled in samples/.
#
# With --columnar first, measures read_log against its targets instead
# (benchmarks/columnar.py, which takes the remaining arguments, e.g. --quick);
# with --jsonl first, quillon-dump's JSON Lines, CSV and summary memory
# (benchmarks/jsonl.py). Both with the package and its benchmark peers (the
# "bench" extra: pymavlink) installed into the build's virtual environment,
# never into $PYTHON itself.
set -euo pipefail
cd "$(dirname "$0")/.."
. scripts/ensure-apt-packages.sh
. scripts/build-venv.sh
use_build_venv "$PWD"  # meson, ninja and the Python the module is built for
if [[ "${1:-}" == --columnar || "${1:-}" == --jsonl ]]; then
    script=benchmarks/${1#--}.py
    shift
    python -m pip install -q --disable-pip-version-check --no-build-isolation \
        -Cbuild-dir=build-bench-py ".[bench]"
    exec python "$script" "$@"
fi
meson setup build-bench -Dbenchmarks=enabled -Dtests=disabled --reconfigure >/dev/null 2>&1 ||
    meson setup build-bench -Dbenchmarks=enabled -Dtests=disabled >/dev/null
ninja -C build-bench >/dev/null
exec python benchmarks/run.py --build build-bench "$@"
