#!/usr/bin/env bash
# Runs the Python suites against the Quillon extension of a meson build made
# by gcc with -Db_sanitize=address,undefined. The interpreter is not built
# with the sanitizers, so their runtimes are preloaded into it, and Python
# objects are allocated with malloc, where AddressSanitizer watches them.
#
#   scripts/pytest-sanitized.sh BUILD_DIR [--workers N] [pytest options...]
#
# With --workers, the product's tests run on N worker processes, each test
# sent to the next free one (the files shared fixtures are made once in are
# not among them); the module's run in one process, whose exit the leak
# detection checks.
#
# The rest of the package and the test dependencies come from the
# interpreter's environment: run it with the `python` of a virtual
# environment where the package is installed (scripts/test.sh does).
#
# The module's tests run with leak detection: the module releases its caches
# at exit, so what leaks is a C++ object or a value object (number, text)
# whose reference was lost. Containers stay linked into the collector's lists
# and never show as leaks; the memory-growth tests cover them. The product's
# tests run without it, as pyarrow and pandas leave allocations at exit.
set -euo pipefail

if (($# < 1)); then
    echo "usage: $0 BUILD_DIR [--workers N] [pytest options...]" >&2
    exit 2
fi
build="$(cd "$1" && pwd)"
shift
workers=()
if [[ "${1:-}" == --workers ]]; then
    workers=(-n "$2" --dist load)
    shift 2
fi
repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

export LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)"
export PYTHONMALLOC=malloc
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export LSAN_OPTIONS="suppressions=$repo/scripts/lsan-python.supp:print_suppressions=0"
# The product's Python files with its extension from the sanitized build, so
# that read_log's decoding runs under the sanitizers too.
overlay="$build/sanitized-tools"
rm -rf "$overlay"
mkdir -p "$overlay"
cp -rs "$repo/src/quillon_tools" "$overlay/"  # the tree of sources, as symbolic links
ln -s "$build"/src/quillon_tools/_columnar*.so "$overlay/quillon_tools/"
export PYTHONPATH="$build/python:$overlay${PYTHONPATH:+:$PYTHONPATH}"
asan=abort_on_error=1

cd "$repo/tests/python"
# The module must come from the sanitized build, not from the environment.
loaded="$(ASAN_OPTIONS=$asan:detect_leaks=0 python -c 'import Quillon; print(Quillon.__file__)')"
if [[ "$loaded" != "$build/python/"* ]]; then
    echo "Quillon loads from $loaded, not from the sanitized build in $build/python" >&2
    exit 1
fi
loaded="$(ASAN_OPTIONS=$asan:detect_leaks=0 python -c 'import quillon_tools._columnar as c; print(c.__file__)')"
if [[ "$loaded" != "$overlay/"* ]]; then
    echo "quillon_tools loads from $loaded, not from $overlay" >&2
    exit 1
fi
echo "-- the module's tests, with leak detection"
# The memory-growth test measures the process's size, which the sanitizers'
# own allocator decides here: it runs in the plain suite.
ASAN_OPTIONS=$asan:detect_leaks=1 python -m pytest "$@" --module-only \
    --deselect tests/python/test_samples.py::test_repeated_decoding_does_not_grow_memory .
# Left out here, as they decode through the same paths as the tests that run
# and add only time under the sanitizers: the type check; the multi-process
# fleet and Dask tests and the logs read back from a dataset; the report's
# (Python work over decoded logs, as are the reports of every PX4 sample); the
# answers drawn from decoded logs (checks on every format, flights, diagnosis,
# tuning, the signals read every way, golden outputs, rows counted against the
# tables of every sample); the hostile-input tests
# (terminal text, pipes, file names and worker processes of the command line);
# the progress bar's on a terminal; and which modules each command loads. The
# browser tests would start Chromium, and the assistant server's a Python
# process of its own, with the preloaded runtimes. Files named
# on the command line are collected whatever --ignore says, so the list is
# made here.
product=()
for test in test_tools_*.py; do
    case "$test" in
        test_tools_stubs.py | test_tools_fleet.py | test_tools_read_dataset.py | test_tools_dask.py | \
            test_tools_report.py | test_tools_report_browser.py | test_tools_hostile.py | test_tools_checks_formats.py | \
            test_tools_flights.py | test_tools_diagnosis.py | test_tools_tuning.py | test_tools_tuning_views.py | \
            test_tools_golden.py | test_tools_signals.py | test_tools_counting.py | test_tools_view*.py | \
            test_tools_mcp.py) ;;
        *) product+=("$test") ;;
    esac
done
echo "-- the product's tests"
ASAN_OPTIONS=$asan:detect_leaks=0 python -m pytest "${workers[@]}" "$@" \
    --deselect tests/python/test_tools_cli.py::test_progress_bar_appears_only_on_a_terminal \
    --deselect tests/python/test_tools_cli.py::test_a_command_loads_only_what_it_needs \
    --deselect tests/python/test_tools_ulog_analysis.py::test_every_px4_sample "${product[@]}"
