#!/bin/sh
# The demo: halvorn against a simulated bhyve host with one mining VM and
# three ordinary ones, and a chart of the run in ./halvorn-demo.png.
# Usage: run.sh [--short] BUILD_DIR
#   --short  stop as soon as the miner has been moved to class 2 (for ctest).
# Exits 0 only if the miner was moved, halvorn stopped cleanly and the
# recording of the run could be replayed.
# Runs itself in private pid and mount namespaces with a fresh /run, so the
# host's /run is never touched and nothing outlives the demo.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/../.." && pwd)

short=0
if [ "${1:-}" = --short ]; then
    short=1
    shift
fi
build=$(cd "${1:-$top/build}" && pwd)

if [ "$(id -u)" -ne 0 ]; then
    echo "The demo must be run as root (it starts halvorn, a root daemon)." >&2
    exit 1
fi
if [ -z "${HALVORN_DEMO_INSIDE:-}" ]; then
    if [ "$short" -eq 1 ]; then set -- --short "$build"; else set -- "$build"; fi
    export HALVORN_DEMO_INSIDE=1
    exec sh "$top/tests/ns-run.sh" sh "$here/run.sh" "$@"
fi

halvorn=$build/daemon/halvorn
replay=$build/replay/halvorn-replay
vmmsim=$build/sim/bin/vmmsim
export LD_LIBRARY_PATH="$build/sim/lib"
for program in "$halvorn" "$replay" "$vmmsim"; do
    [ -x "$program" ] || { echo "missing $program: build first (sh scripts/build.sh)" >&2; exit 1; }
done

chart=$PWD/halvorn-demo.png
work=$(mktemp -d /tmp/halvorn-demo.XXXXXX)
probe=$work/service.probe
sim_pid=""
daemon_pid=""
tail_pid=""
sampler_pid=""

stop_process() {  # pid, then waits up to 10 s before killing it
    [ -n "$1" ] || return 0
    kill -TERM "$1" 2>/dev/null || return 0
    i=0
    while kill -0 "$1" 2>/dev/null && [ "$i" -lt 100 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -KILL "$1" 2>/dev/null || true
}

# shellcheck disable=SC2317  # called from the EXIT trap
cleanup() {
    stop_process "$tail_pid"
    stop_process "$sampler_pid"
    stop_process "$daemon_pid"
    stop_process "$sim_pid"
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# shellcheck source=/dev/null  # defines wait_for FILE TEXT SECONDS
. "$here/wait_for.sh"

host=$(sh "$here/host.sh" "$work")
read -r cpus vcpus min_idle max_idle class_idle calm_vms <<EOF
$host
EOF

echo "== Simulated host: $cpus CPUs, four VMs of $vcpus vCPUs each"
set -- --vm "miner:$vcpus:100"
for vm in $calm_vms; do
    set -- "$@" --vm "${vm%%:*}:$vcpus:${vm#*:}"
done
"$vmmsim" run --burst-secs 5 --probe "$probe" --probe-window 5 "$@" \
    >"$work/vmmsim.log" 2>&1 &
sim_pid=$!
if ! wait_for "$work/vmmsim.log" ready 15; then
    cat "$work/vmmsim.log" >&2
    echo "the simulator did not start" >&2
    exit 1
fi
grep -E '^(vm|knob) ' "$work/vmmsim.log" | sed 's/^/   /'
echo "== halvorn's configuration (idle band $min_idle..$max_idle %, class moves below $class_idle % idle, VCPU $vcpus)"
grep -E '^[A-Za-z]' "$work/halvorn.config" | sed 's/^/   /'

started=$(date +%s)
echo "== halvorn runs (its log follows)"
: >"$work/halvorn.log"  # before tail looks for it
sh "$here/sample.sh" "$work/metrics.prom" "$work/samples" 0.1 "$probe" &
sampler_pid=$!
"$halvorn" -c "$work/halvorn.config" >"$work/halvorn.log" 2>&1 &
daemon_pid=$!
tail -n +1 -f "$work/halvorn.log" &
tail_pid=$!

alive() {
    kill -0 "$daemon_pid" 2>/dev/null || { echo "halvorn ended early" >&2; exit 1; }
}

# service_window SINCE: the whole seconds from SINCE to now, as the
# simulator's service figures can sum them (1..120).
service_window() {
    w=$(($(date +%s) - $1))
    [ "$w" -ge 1 ] || w=1
    [ "$w" -le 120 ] || w=120
    echo "$w"
}

moved="VCPU_class_1 => VCPU_class_2"
wait_for "$work/halvorn.log" "$moved" 150 || true
moved_at=$(date +%s)
# What each VM got while the miner ran in class 1.
"$vmmsim" stats --service --window "$(service_window "$started")" >"$work/service-before.txt" 2>&1 || true
sleep 2
alive
# Taken whole before it is printed, so the log that follows cannot cut into it.
table=$("$halvorn" -c "$work/halvorn.config" status 2>&1) || true
echo "== The client: halvorn status"
printf '%s\n' "$table"
if [ "$short" -eq 0 ]; then
    # A minute at least, and 20 s after the move, in which the class-1 limit
    # recovers now that the miner is in class 2.
    until [ $(($(date +%s) - started)) -ge 60 ] && [ $(($(date +%s) - moved_at)) -ge 20 ]; do
        sleep 1
    done
fi
alive

echo "== The client: track the miner"
"$halvorn" -c "$work/halvorn.config" track miner
sleep 3
# And since its move, leaving out the second it moved in.
"$vmmsim" stats --service --window "$(service_window $((moved_at + 1)))" >"$work/service-after.txt" 2>&1 || true

echo "== SIGTERM to halvorn"
stop_process "$daemon_pid"  # a daemon that ignores it is killed: the wait below ends
status=0
wait "$daemon_pid" || status=$?
daemon_pid=""
sleep 0.3
stop_process "$tail_pid"
tail_pid=""
stop_process "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
stop_process "$sampler_pid"
sampler_pid=""

log=$work/halvorn.log
count() { grep -cF -- "$1" "$log" || true; }
vm_of() { sed -n "s/.*VM_id=\([^ ]*\) .*$1.*/\1/p" "$log" | sort -u | tr '\n' ' '; }
limits=$(sed -n 's/.*VCPU_rate_limit=\([0-9]*\); has been.*/\1/p' "$log")
lowest=$(echo "$limits" | sort -n | head -n 1)
last=$(echo "$limits" | tail -n 1)
pipe_left=no
[ ! -e /var/run/halvorn.cli.fifo ] || pipe_left=yes

echo "== Summary after $(($(date +%s) - started)) s"
echo "   expected as MINER: $(vm_of 'expected as MINER')"
echo "   defined as MINER:  $(vm_of 'defined as MINER')"
echo "   moved to class 2:  $(vm_of "$moved")"
echo "   moved to class 1:  $(vm_of 'VCPU_class_2 => VCPU_class_1')"
echo "   class-1 rate limit: $(count 'has been decreased') decreases, $(count 'has been increased') increases${lowest:+, lowest $lowest %, last $last %}"
echo "   tracked lines for the miner: $(count 'Track VM id=miner')"
echo "   halvorn exit status $status, stop line: $(count '## Orvane priority controller stopped'), pipe left behind: $pipe_left"

# service FILE VM: "SHARE P99 WINDOW RECEIVED_OF_DEMAND" from a
# `vmmsim stats --service` line, "-" for what the line does not say.
service() {
    awk -v vm="$2" '$1 == "service" && $2 == vm {
        for (i = 3; i < NF; i += 2) f[$i] = $(i + 1)
        of_demand = f["demand_ms"] > 0 ? sprintf("%.1f", 100 * f["received_ms"] / f["demand_ms"]) : "-"
        print f["share"], f["wake_p99_ms"], f["window"], of_demand
        found = 1
    }
    END { if (!found) print "- - - -" }' "$1" 2>/dev/null || echo "- - - -"
}
echo "== What the VMs got: the simulator's vCPU threads on this Linux machine, not a FreeBSD host"
for vm in $calm_vms; do
    vm=${vm%%:*}
    # shellcheck disable=SC2046  # four words by design
    set -- $(service "$work/service-before.txt" "$vm") $(service "$work/service-after.txt" "$vm")
    echo "   $vm got $1 % of the CPU it wanted, p99 wake-up $2 ms, while the miner ran in class 1 (last $3 s); $5 %, $6 ms after its move (last $7 s)"
done
# shellcheck disable=SC2046
set -- $(service "$work/service-before.txt" miner) $(service "$work/service-after.txt" miner)
echo "   miner got $4 % of the CPU it demanded in class 1, $8 % in class 2 (the class's rate limit holds back the rest)"

title="halvorn on a simulated host: $cpus CPUs, four VMs of $vcpus vCPUs, one a miner"
overload=$(sed -n 's/^OverloadBound *= *\([0-9]*\).*/\1/p' "$work/halvorn.config")
if sh "$here/chart.sh" --band "$min_idle" "$max_idle" --class-idle "$class_idle" --overload-bound "$overload" \
    --title "$title" "$work/samples" "$chart"; then
    echo "== The chart of this run: $chart"
else
    echo "No chart was drawn." >&2
fi

# The run was recorded: the replay, in simulated time, judges it as the daemon
# did. A miner is moved only while the host's idle average is at or below
# CpuIdleLevel; the sweep shows at which lower levels this host's average was
# no longer low enough, and the miner would have stayed in class 1.
echo "== halvorn-replay of this run's recording, with the demo's settings"
replayed=0
"$replay" "$work/halvorn.record.gz" >"$work/replay.txt" 2>&1 || replayed=1
sed 's/^/   /' "$work/replay.txt"
lower=$((min_idle - 10))
[ "$lower" -ge 5 ] || lower=5
echo "== halvorn-replay: a sweep of CpuIdleLevel over the same recording"
"$replay" --set "VCPU_CLASS.CpuIdleLevel=$class_idle,$min_idle,$lower" "$work/halvorn.record.gz" \
    >"$work/sweep.txt" 2>&1 || replayed=1
sed 's/^/   /' "$work/sweep.txt"

[ "$(vm_of "$moved")" = "miner " ] && [ "$status" -eq 0 ] && [ "$pipe_left" = no ] &&
    [ "$replayed" -eq 0 ] && exit 0
echo "The demo did not show the miner moved to class 2, a clean stop and its replay." >&2
exit 1
