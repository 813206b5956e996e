#!/bin/sh
# The short demo, run in a scratch directory: it must pass, say what the calm
# VMs got of the CPU they wanted before and after the miner's move (and that
# this is the simulator, not a FreeBSD host), and leave its chart there as a
# PNG with the service panels.
# Usage: demo_short.sh RUN_SH BUILD_DIR
set -eu
run=$1
build=$(cd "$2" && pwd)
scratch=$(mktemp -d "${TMPDIR:-/tmp}/halvorn-demo-short.XXXXXX")
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

status=0
sh "$run" --short "$build" >demo.out 2>&1 || status=$?
cat demo.out
[ "$status" -eq 0 ] || { echo "FAIL: the short demo ended with status $status" >&2; exit 1; }
grep -q "the simulator's vCPU threads on this Linux machine, not a FreeBSD host" demo.out ||
    { echo "FAIL: the demo does not say where its service figures come from" >&2; exit 1; }
number='[0-9][0-9.]*'
for vm in web01 db01 mail01; do
    grep -q "^   $vm got $number % of the CPU it wanted, p99 wake-up $number ms, while the miner ran in class 1 (last $number s); $number %, $number ms after its move (last $number s)\$" demo.out ||
        { echo "FAIL: no service figures for $vm before and after the move" >&2; exit 1; }
done
[ -s halvorn-demo.png ] || { echo "FAIL: no chart halvorn-demo.png" >&2; exit 1; }
[ "$(head -c 4 halvorn-demo.png | od -An -c | tr -d ' ')" = '211PNG' ] ||
    { echo "FAIL: halvorn-demo.png is not a PNG" >&2; exit 1; }
# The image's height, from its header: the service panels make it 1300 high.
height=$(od -An -tu1 -j20 -N4 halvorn-demo.png | awk '{ print (($1 * 256 + $2) * 256 + $3) * 256 + $4 }')
[ "$height" -eq 1300 ] || { echo "FAIL: the chart has no service panels (height $height)" >&2; exit 1; }
cp halvorn-demo.png "${DEMO_SHORT_KEEP:-/dev/null}" 2>/dev/null || true
