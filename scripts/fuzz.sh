#!/bin/sh
# Builds the libFuzzer targets with clang, ASan and UBSan into ./build-fuzz
# and runs each for SECONDS (default 60), starting from its seed corpus in
# tests/fuzz/corpus/. A crash, a leak or a sanitizer report fails the run;
# the log then holds the report and the reproducer's bytes.
set -eu
cd "$(dirname "$0")/.."
seconds=${1:-60}
sh scripts/deps.sh
root=$PWD
flags="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# shellcheck source=scripts/compiler_cache.sh
. scripts/compiler_cache.sh
targets="request configuration check_options bhyve_selection stat_line record_reader sample_csv"
# shellcheck disable=SC2086
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo $launcher \
    -DHALVORN_BUILD_TESTS=OFF -DHALVORN_BUILD_FUZZERS=ON \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null
# shellcheck disable=SC2046
cmake --build build-fuzz -j "$(nproc)" --target $(for t in $targets; do printf 'fuzz_%s ' "$t"; done)

UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
export UBSAN_OPTIONS
failed=""
for t in $targets; do
    # Absolute: the request target works in a scratch directory of its own.
    work=$root/build-fuzz/corpus/$t
    artifacts=$root/build-fuzz/artifacts/$t
    log=$root/build-fuzz/fuzz_$t.log
    rm -rf "$artifacts"
    mkdir -p "$work" "$artifacts"
    status=0
    LD_LIBRARY_PATH=$root/build-fuzz/tests/fuzz/scripted \
        "$root/build-fuzz/tests/fuzz/fuzz_$t" -max_total_time="$seconds" -timeout=10 \
        -close_fd_mask=3 -print_final_stats=1 -artifact_prefix="$artifacts/" \
        "$work" "$root/tests/fuzz/corpus/$t" >"$log" 2>&1 || status=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    echo "fuzz $t: ${runs:-?} executions in ${seconds} s, status $status"
    if [ "$status" -ne 0 ]; then
        failed="$failed $t"
        cat "$log"
        for reproducer in "$artifacts"/*; do
            [ -f "$reproducer" ] || continue
            echo "reproducer $reproducer:"
            od -A d -c "$reproducer"
        done
    fi
done
if [ -n "$failed" ]; then
    echo "fuzz.sh: failed:$failed" >&2
    exit 1
fi
