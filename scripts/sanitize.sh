#!/bin/sh
# Builds everything a second time into ./build-sanitize with AddressSanitizer
# and UndefinedBehaviorSanitizer, then runs the whole suite but the soak.
# Any sanitizer report aborts its test, so the suite fails on it.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
flags="-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer"
# shellcheck source=scripts/compiler_cache.sh
. scripts/compiler_cache.sh
# shellcheck disable=SC2086
cmake -S . -B build-sanitize -DCMAKE_BUILD_TYPE=RelWithDebInfo $launcher \
    -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="$flags" -DCMAKE_SHARED_LINKER_FLAGS="$flags" \
    -DCMAKE_MODULE_LINKER_FLAGS="$flags" >/dev/null
cmake --build build-sanitize -j "$(nproc)"
# Leaks count; a report names the process, its stack and fails the test.
ASAN_OPTIONS="detect_leaks=1:abort_on_error=1${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export ASAN_OPTIONS UBSAN_OPTIONS
cd build-sanitize
ctest --output-on-failure -LE 'soak|model' -j "$(nproc)"
