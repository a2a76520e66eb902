#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ under AddressSanitizer and
# UndefinedBehaviorSanitizer and runs them.
#
#   scripts/fuzz.sh TARGET|all SECONDS [libFuzzer options...]
#
# TARGET is a target name with or without its fuzz_ prefix (dataflash_reader,
# json, ...). Each target runs for SECONDS seconds. Seeds are cut at run time
# from the sample logs in $QUILLON_SAMPLES, else in ../shared/samples, else
# the two bundled in samples/; the corpus a run grows is kept in the build
# directory, crash inputs go to <build>/crashes/<target>/. The exit status is
# non-zero if any target failed.
# Once the fault is fixed, keep a (minimised) crash input as a regression test
# in tests/cpp/regressions/<target without fuzz_>/; test_fuzz_regressions
# replays every file there through the same checks.
# Replay one input: <build>/fuzz/<target> FILE
set -euo pipefail

if (($# < 2)); then
    echo "usage: $0 TARGET|all SECONDS [libFuzzer options...]" >&2
    exit 2
fi
want="$1"
seconds="$2"
shift 2

repo="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
builddir="${QUILLON_FUZZ_BUILD:-$repo/build-fuzz}"
samples="${QUILLON_SAMPLES:-$repo/../shared/samples}"
[[ -n "${QUILLON_SAMPLES:-}" || -d "$samples" ]] || samples="$repo/samples"

# clang and its runtime libraries (libFuzzer and the sanitizers).
. "$repo/scripts/ensure-apt-packages.sh"
ensure_apt_packages clang libclang-rt-14-dev
. "$repo/scripts/build-venv.sh"
use_build_venv "$repo"  # meson and ninja

if [[ ! -f "$builddir/build.ninja" ]]; then
    # The whole core is instrumented for coverage (fuzzer-no-link); undefined
    # behaviour aborts instead of printing and carrying on.
    CC=clang CXX=clang++ meson setup "$builddir" "$repo" \
        -Dfuzzing=enabled -Dpython=disabled -Dtests=disabled -Dbenchmarks=disabled \
        -Dbuildtype=debugoptimized -Db_sanitize=address,undefined -Db_lundef=false \
        "-Dcpp_args=-fsanitize=fuzzer-no-link -fno-sanitize-recover=all"
fi
meson compile -C "$builddir"

all_targets=()
for exe in "$builddir"/fuzz/fuzz_*; do
    if [[ -f "$exe" && -x "$exe" ]]; then all_targets+=("$(basename "$exe")"); fi
done
if [[ "$want" == all ]]; then
    targets=("${all_targets[@]}")
else
    targets=("fuzz_${want#fuzz_}")
    [[ -x "$builddir/fuzz/${targets[0]}" ]] || {
        echo "unknown target $want; known: ${all_targets[*]}" >&2
        exit 2
    }
fi

# slice FILE OFFSET LENGTH OUT: copies LENGTH bytes of FILE from OFFSET.
slice() { dd if="$1" of="$4" iflag=skip_bytes,count_bytes skip="$2" count="$3" status=none; }

# Seeds per target: short pieces of the sample logs, so each execution stays
# fast. DataFlash pieces start at the beginning of a log, where the format
# packets are; MAVLink pieces come from anywhere; ULog pieces are the start of
# a log, with its formats, and a piece of its data.
make_seeds() {
    local target="$1" dir="$2" f name size
    rm -rf "$dir"
    mkdir -p "$dir"
    # Saved inputs of the target seed it too: small crafted logs reach what
    # pieces of the samples may not (a ULog log's data after its formats).
    local saved="$repo/tests/cpp/regressions/${target#fuzz_}"
    if [[ -d "$saved" ]]; then cp "$saved"/* "$dir"/; fi
    [[ -d "$samples" ]] || return 0
    for f in "$samples"/*; do
        name="$(basename "$f")"
        size=$(stat -c %s "$f")
        case "$target:$name" in
        fuzz_dataflash_reader:*.bin | fuzz_json:*.bin)
            slice "$f" 0 1024 "$dir/$name-1k"
            slice "$f" 0 6000 "$dir/$name-6k"
            ;;
        fuzz_columns:*.bin)
            slice "$f" 0 6000 "$dir/$name-6k"
            ;;
        fuzz_dataflash_parallel:*.bin)  # the first byte picks threads and chunk size
            { printf '\x29'; head -c 6000 "$f"; } >"$dir/$name-6k"
            ;;
        fuzz_mavlink_reader:*.tlog | fuzz_mavlink_reader:*.mav | fuzz_columns:*.tlog | fuzz_columns:*.mav)
            slice "$f" 0 2048 "$dir/$name-head"
            slice "$f" $((size / 2)) 2048 "$dir/$name-middle"
            ;;
        fuzz_mavlink_parallel:*.tlog | fuzz_mavlink_parallel:*.mav)  # the first byte picks threads and chunk size
            { printf '\x29'; head -c 4096 "$f"; } >"$dir/$name-head"
            { printf '\x07'; dd if="$f" iflag=skip_bytes,count_bytes skip=$((size / 2)) count=4096 status=none; } \
                >"$dir/$name-middle"
            ;;
        fuzz_ulog:*.ulg)
            slice "$f" 0 6000 "$dir/$name-6k"
            slice "$f" $((size / 2)) 2048 "$dir/$name-middle"  # the target puts a header before it
            ;;
        fuzz_ulog_parallel:*.ulg)  # the first byte picks threads and chunk size; the log follows
            { printf '\x29'; head -c 6000 "$f"; } >"$dir/$name-6k"
            ;;
        esac
    done
}

status=0
for target in "${targets[@]}"; do
    seeds="$builddir/seeds/$target"
    corpus="$builddir/corpus/$target"
    crashes="$builddir/crashes/$target"
    mkdir -p "$corpus" "$crashes"
    make_seeds "$target" "$seeds"
    case "$target" in
    fuzz_mavlink_catalogue) max_len=300 ;;  # an id selector and one frame record
    *) max_len=8192 ;;
    esac
    options=(-max_total_time="$seconds" -max_len="$max_len" -timeout=20 -rss_limit_mb=2048
             -print_final_stats=1 -artifact_prefix="$crashes/")
    dict="$repo/fuzz/${target#fuzz_}.dict"
    if [[ "$target" == fuzz_json || "$target" == fuzz_dataflash_parallel ]]; then
        dict="$repo/fuzz/dataflash_reader.dict"
    fi
    if [[ "$target" == fuzz_mavlink_parallel ]]; then dict="$repo/fuzz/mavlink_reader.dict"; fi
    if [[ -f "$dict" ]]; then options+=(-dict="$dict"); fi
    echo "== $target for $seconds s"
    log="$builddir/$target.log"
    if ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=1 \
        UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$builddir/fuzz/$target" "${options[@]}" "$@" "$corpus" "$seeds" >"$log" 2>&1; then
        grep -E '^#[0-9]+ +DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$log" || true
    else
        status=1
        tail -n 60 "$log"
        echo "!! $target failed; crash inputs in $crashes" >&2
    fi
done
exit "$status"
