#!/bin/sh
# The running daemon's CPU share at a 1 s tick on a simulated host of idle
# VMs: its user + system time (from /proc/PID/stat) over a minute, after a
# warm-up. Runs in private namespaces. As root:
#   sh bench/daemon_cpu.sh [BUILD_DIR] [VMS] [SECONDS] [HALVORN]
# HALVORN, another build of the daemon, must still be named halvorn.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
build=$(cd "${1:-$top/build}" && pwd)
vms=${2:-50}
seconds=${3:-60}
halvorn=${4:-$build/daemon/halvorn}

if [ -z "${HALVORN_BENCH_INSIDE:-}" ]; then
    export HALVORN_BENCH_INSIDE=1
    exec sh "$top/tests/ns-run.sh" sh "$here/daemon_cpu.sh" "$build" "$vms" "$seconds" "$halvorn"
fi

export LD_LIBRARY_PATH="$build/sim/lib"
work=$(mktemp -d /tmp/halvorn-cpu.XXXXXX)
sim_pid=""
daemon_pid=""
cleanup() {
    for pid in $daemon_pid $sim_pid; do
        kill -TERM "$pid" 2>/dev/null || true
        wait "$pid" 2>/dev/null || true
    done
    rm -rf "$work"
}
trap cleanup EXIT

cat >"$work/halvorn.config" <<'CONF'
[COMMON]
LogLevel = info
UpdateTime = 1000
CONF

set --
i=0
while [ "$i" -lt "$vms" ]; do
    set -- "$@" --vm "idle$i:4:0"
    i=$((i + 1))
done
"$build/sim/bin/vmmsim" run --duration $((seconds + 120)) "$@" >"$work/sim.log" 2>&1 &
sim_pid=$!
i=0
until grep -q '^ready$' "$work/sim.log"; do
    [ "$i" -lt 600 ] || { echo "the simulator did not start" >&2; exit 1; }
    sleep 0.1
    i=$((i + 1))
done

"$halvorn" -c "$work/halvorn.config" >"$work/halvorn.log" 2>&1 &
daemon_pid=$!
sleep 15  # the first VM list and the vCPU baselines
if ! kill -0 "$daemon_pid" 2>/dev/null; then
    echo "halvorn ended early:" >&2
    cat "$work/halvorn.log" >&2
    exit 1
fi

# utime + stime, in clock ticks (fields 14 and 15 after the name).
cpu_ticks() { sed 's/.*) //' "/proc/$1/stat" | awk '{ print $12 + $13 }'; }
start=$(cpu_ticks "$daemon_pid")
sleep "$seconds"
end=$(cpu_ticks "$daemon_pid")
hz=$(getconf CLK_TCK)
awk -v t=$((end - start)) -v hz="$hz" -v s="$seconds" -v vms="$vms" \
    'BEGIN { printf "%d VMs: %.2f s of CPU in %d s, %.3f %% of a core\n", vms, t / hz, s, 100 * t / hz / s }'
