#!/bin/sh
# The short demo, run in a scratch directory: it must pass and leave its chart
# there as a non-empty PNG.
# Usage: demo_short.sh RUN_SH BUILD_DIR
set -eu
run=$1
build=$(cd "$2" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/halvorn-demo-short.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

status=0
sh "$run" --short "$build" || status=$?
[ "$status" -eq 0 ] || { echo "FAIL: the short demo ended with status $status" >&2; exit 1; }
[ -s halvorn-demo.png ] || { echo "FAIL: no chart halvorn-demo.png" >&2; exit 1; }
[ "$(head -c 4 halvorn-demo.png | od -An -c | tr -d ' ')" = '211PNG' ] ||
    { echo "FAIL: halvorn-demo.png is not a PNG" >&2; exit 1; }
cp halvorn-demo.png "${DEMO_SHORT_KEEP:-/dev/null}" 2>/dev/null || true
