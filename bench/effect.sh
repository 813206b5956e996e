#!/bin/sh
# halvorn's effectiveness figure: what the other VMs on a host get while a
# miner runs, with halvorn enforcing and without it (halvorn with DryRun =
# yes: it judges and reports, and changes no limit or class). The demo's host
# (scripts/demo/host.sh: a miner and three calm VMs, halvorn's demo settings)
# runs twice on the simulator, each time in private namespaces; the miner
# starts mining 5 s in, and what each VM got over the mining time is set side
# by side: its share of the CPU it wanted (demand capped by its class's rate
# limit), its share of all it demanded, and its p99 wake-up delay. These are
# the simulator's vCPU threads on this Linux machine, not a FreeBSD host, and
# whatever else the machine runs competes with them, so the script says how
# busy the rest of the machine was. As root:
#   sh bench/effect.sh [BUILD_DIR] [MINING_SECONDS]
# MINING_SECONDS is 30..120 (default 90); each run takes about that plus 15 s.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
top=$(cd "$here/.." && pwd)
last_secs=30

# shellcheck source=/dev/null  # defines wait_for FILE TEXT SECONDS
. "$top/scripts/demo/wait_for.sh"

# cpu_ticks: the machine's busy and all CPU time so far, in clock ticks.
cpu_ticks() { awk '$1 == "cpu" { print $2 + $3 + $4 + $7 + $8 + $9, $2 + $3 + $4 + $5 + $6 + $7 + $8 + $9 }' /proc/stat; }

# One run, inside its namespaces: run MODE BUILD SECONDS OUT, MODE being
# enforcing or dry-run. OUT gets the service lines of the whole mining time
# ("all service ...") and of its last seconds ("last service ..."), and
# "moved", "lowest" and "rest" lines.
run() {
    mode=$1
    build=$2
    seconds=$3
    out=$4
    export LD_LIBRARY_PATH="$build/sim/lib"
    vmmsim=$build/sim/bin/vmmsim
    work=$(mktemp -d /tmp/halvorn-effect.XXXXXX)
    sim_pid=""
    daemon_pid=""
    # shellcheck disable=SC2317  # called from the EXIT trap
    cleanup() {
        for pid in $daemon_pid $sim_pid; do
            kill -TERM "$pid" 2>/dev/null || true
            wait "$pid" 2>/dev/null || true
        done
        rm -rf "$work"
    }
    trap cleanup EXIT

    host=$(sh "$top/scripts/demo/host.sh" "$work")
    read -r cpus vcpus _ _ _ calm_vms <<EOF
$host
EOF
    if [ "$mode" = dry-run ]; then
        sed 's/^\[COMMON\]$/[COMMON]\nDryRun = yes/' "$work/halvorn.config" >"$work/dry.config"
        mv "$work/dry.config" "$work/halvorn.config"
    fi
    {
        echo "knob hw.vmm.vcpu_limit.class.1.burst_secs 5"
        echo "vm miner $vcpus 0"
        for vm in $calm_vms; do
            echo "vm ${vm%%:*} $vcpus ${vm#*:}"
        done
        echo "at 5 demand miner 100"
    } >"$work/host.scenario"

    "$vmmsim" run -f "$work/host.scenario" --duration $((seconds + 60)) >"$work/sim.log" 2>&1 &
    sim_pid=$!
    wait_for "$work/sim.log" ready 15 || { cat "$work/sim.log" >&2; echo "the simulator did not start" >&2; exit 1; }
    "$build/daemon/halvorn" -c "$work/halvorn.config" >"$work/halvorn.log" 2>&1 &
    daemon_pid=$!
    wait_for "$work/sim.log" "at 5 demand miner 100" 15 || { echo "the miner did not start" >&2; exit 1; }
    # shellcheck disable=SC2046  # two numbers
    set -- $(cpu_ticks)
    busy_before=$1 all_before=$2

    # Whole seconds only, all of them after the miner began.
    moved="-"
    i=0
    while [ "$i" -le "$seconds" ]; do
        sleep 1
        i=$((i + 1))
        if [ "$moved" = - ] && grep -qF "VCPU_class_1 => VCPU_class_2" "$work/halvorn.log"; then
            moved=$i
        fi
        kill -0 "$daemon_pid" 2>/dev/null || { cat "$work/halvorn.log" >&2; echo "halvorn ended early" >&2; exit 1; }
    done
    "$vmmsim" stats --service --window "$seconds" | sed 's/^/all /' >"$out.tmp"
    "$vmmsim" stats --service --window "$last_secs" | sed 's/^/last /' >>"$out.tmp"
    # shellcheck disable=SC2046  # two numbers
    set -- $(cpu_ticks)
    # What the VMs' threads received against all the machine was busy with:
    # the rest is halvorn, the simulator's own work and everything else.
    rest=$(awk -v busy=$(($1 - busy_before)) -v all=$(($2 - all_before)) -v s="$seconds" -v cpus="$cpus" '
        $1 == "all" { for (i = 4; i < NF; i += 2) if ($i == "received_ms") got += $(i + 1) }
        END { printf "%.1f", (all > 0 ? 100 * (busy / all - got / 1000 / s / cpus) : 0) }' "$out.tmp")
    lowest=$(sed -n 's/.*VCPU_rate_limit=\([0-9]*\); has been.*/\1/p' "$work/halvorn.log" | sort -n | head -n 1)
    {
        echo "moved $moved"
        echo "lowest ${lowest:--}"
        echo "rest $rest"
        echo "host $cpus $vcpus"
    } >>"$out.tmp"
    mv "$out.tmp" "$out"
}

if [ "${1:-}" = --run ]; then
    shift
    run "$@"
    exit 0
fi

build=$(cd "${1:-$top/build}" && pwd)
seconds=${2:-90}
case $seconds in
'' | *[!0-9]*) echo "effect.sh: MINING_SECONDS must be a whole number" >&2; exit 2 ;;
esac
if [ "$seconds" -lt 30 ] || [ "$seconds" -gt 120 ]; then
    echo "effect.sh: MINING_SECONDS must be 30..120" >&2
    exit 2
fi
[ "$(id -u)" -eq 0 ] || { echo "effect.sh must be run as root (it starts halvorn, a root daemon)" >&2; exit 1; }
for program in "$build/daemon/halvorn" "$build/sim/bin/vmmsim"; do
    [ -x "$program" ] || { echo "missing $program: build first (sh scripts/build.sh)" >&2; exit 1; }
done

results=$(mktemp -d /tmp/halvorn-effect-results.XXXXXX)
trap 'rm -rf "$results"' EXIT
echo "== load average before: $(cut -d' ' -f1-3 /proc/loadavg)"
for mode in dry-run enforcing; do
    echo "== the host for $((seconds + 5)) s, halvorn $([ "$mode" = dry-run ] && echo "in DryRun" || echo enforcing)"
    sh "$top/tests/ns-run.sh" sh "$here/effect.sh" --run "$mode" "$build" "$seconds" "$results/$mode"
done
echo "== load average after: $(cut -d' ' -f1-3 /proc/loadavg)"

awk -v seconds="$seconds" -v last_secs="$last_secs" '
    FNR == 1 { run++ }
    $1 == "all" || $1 == "last" {
        vm = $3
        for (i = 4; i < NF; i += 2) f[run, $1, vm, $i] = $(i + 1)
        if (!(vm in seen) && vm != "miner") { seen[vm] = 1; order[++vms] = vm }
    }
    $1 == "moved" || $1 == "lowest" || $1 == "rest" { fact[run, $1] = $2 }
    $1 == "host" { cpus = $2; vcpus = $3 }
    function of_demand(r, w, vm) {
        return f[r, w, vm, "demand_ms"] > 0 ? sprintf("%.1f %%", 100 * f[r, w, vm, "received_ms"] / f[r, w, vm, "demand_ms"]) : "-"
    }
    function cell(r, w, vm,    share, p99) {
        share = f[r, w, vm, "share"]
        p99 = f[r, w, vm, "wake_p99_ms"]
        return sprintf("%10s %10s %11s", share == "-" || share == "" ? "-" : share " %", of_demand(r, w, vm),
                       p99 == "-" || p99 == "" ? "-" : p99 " ms")
    }
    function table(w, title,    k, vm) {
        print ""
        print title
        printf "%-8s %-6s   %-33s   %s\n", "", "", "---- without halvorn (DryRun) ----", "---------- with halvorn ----------"
        printf "%-8s %-6s   %10s %10s %11s   %10s %10s %11s\n", "VM", "role", "of wanted", "of demand", "p99 wake-up",
               "of wanted", "of demand", "p99 wake-up"
        for (k = 1; k <= vms + 1; k++) {
            vm = k > vms ? "miner" : order[k]
            printf "%-8s %-6s   %s   %s\n", vm, (k > vms ? "miner" : "calm"), cell(1, w, vm), cell(2, w, vm)
        }
    }
    function lowest(r) { return fact[r, "lowest"] == "-" ? "100 % (never lowered)" : fact[r, "lowest"] " %" }
    function moved(r) { return fact[r, "moved"] == "-" ? "not within the run" : fact[r, "moved"] " s after it began" }
    END {
        print ""
        printf "halvorn on the simulated host: %d CPUs, a miner and %d calm VMs of %d vCPUs each, the miner\n", cpus, vms, vcpus
        print "mining from 5 s in. What each VM got: the simulator'"'"'s vCPU threads on this Linux machine, not a"
        print "FreeBSD host (of wanted: CPU received of its demand capped by its class'"'"'s rate limit)."
        table("all", "Over the " seconds " s the miner mined:")
        table("last", "Over the last " last_secs " s of it:")
        print ""
        printf "%-41s %-30s %s\n", "miner moved to class 2 (or would be):", moved(1), moved(2)
        printf "%-41s %-30s %s\n", "lowest class-1 rate limit (or would be):", lowest(1), lowest(2)
        printf "%-41s %-30s %s\n", "CPU the rest of the machine used:", fact[1, "rest"] " %", fact[2, "rest"] " %"
    }' "$results/dry-run" "$results/enforcing"
