#!/bin/sh
# The demo's sampler and chart on a synthetic run of metrics files and the
# simulator's probe: every tick sampled once, odd VM names kept whole, class
# moves found where the class changed and nowhere else, each VM's service
# series kept apart, each tick's thresholds and a dry run's limit drawn, and
# a PNG drawn.
# Usage: chart_test.sh DEMO_DIR SCRIPTED_METRICS
set -eu
demo=$(cd "$1" && pwd)
scripted_metrics=$2
work=$(mktemp -d "${TMPDIR:-/tmp}/halvorn-chart-test.XXXXXX")
sampler_pid=""
# shellcheck disable=SC2317  # called from the EXIT trap
cleanup() {
    [ -z "$sampler_pid" ] || kill "$sampler_pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
cd "$work"

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

# metrics TICK: the file halvorn's own writer makes at that tick of a scripted
# run. The miner moves to class 2 at tick 5, its class cannot be read at tick
# 7 (not a move), and it goes back at tick 9; a VM with quotes and a
# backslash in its name starts at tick 3 and has no load before tick 4.
metrics() { "$scripted_metrics" "$1"; }

# probe TICK: the simulator's service lines at that tick. The miner and web01
# are served worse before the miner's move at tick 5; "quiet", from tick 4,
# wants nothing and is not among halvorn's VMs.
probe() {
    if [ "$1" -lt 5 ]; then
        echo "service miner window 5 share 40.0 wake_p50_ms 1.20 wake_p99_ms 30.5 wakeups 100 demand_ms 1000 wanted_ms 1000 received_ms 400"
        echo "service web01 window 5 share 61.0 wake_p50_ms 2.00 wake_p99_ms 48.0 wakeups 100 demand_ms 100 wanted_ms 100 received_ms 61"
    else
        echo "service miner window 5 share 100.0 wake_p50_ms 0.05 wake_p99_ms 0.20 wakeups 100 demand_ms 1000 wanted_ms 250 received_ms 250"
        echo "service web01 window 5 share 100.0 wake_p50_ms 0.04 wake_p99_ms 3.00 wakeups 100 demand_ms 100 wanted_ms 100 received_ms 100"
    fi
    [ "$1" -lt 4 ] ||
        echo "service quiet window 5 share - wake_p50_ms - wake_p99_ms - wakeups 0 demand_ms 0 wanted_ms 0 received_ms 0"
}

# wait_for_sample TICK: until the sampler has the tick; 1 after 20 s.
wait_for_sample() {
    i=0
    until grep -q " halvorn_ticks_total $1\$" samples 2>/dev/null; do
        [ "$i" -lt 200 ] || return 1
        sleep 0.1
        i=$((i + 1))
    done
}

# The sampler runs while the file is replaced the way the daemon does it; the
# same tick is written twice to see it sampled once.
sh "$demo/sample.sh" metrics.prom samples 0.05 probe.txt &
sampler_pid=$!
for tick in 1 2 3 4 5 6 7 8 9 10; do
    probe "$tick" >probe.txt
    for copy in 1 2; do
        metrics "$tick" >metrics.prom.new
        mv metrics.prom.new metrics.prom
        [ "$copy" -eq 2 ] || sleep 0.1
    done
    wait_for_sample "$tick" || fail "tick $tick never sampled"
    sleep 0.05
done
kill "$sampler_pid"
wait "$sampler_pid" 2>/dev/null || true
sampler_pid=""

ticks=$(grep -c ' halvorn_ticks_total ' samples || true)
[ "$ticks" -eq 10 ] || fail "10 ticks written, $ticks sampled"
grep -q '^[0-9.]* #' samples && fail "comment lines were sampled"
times=$(cut -d' ' -f1 samples | uniq | wc -l)
[ "$times" -eq 10 ] || fail "each tick should carry one time, found $times times"

mkdir series
(cd series && awk -f "$demo/series.awk" ../samples)
rows=$(grep -c . series/host.dat || true)
[ "$rows" -eq 10 ] || fail "host.dat has $rows rows, not 10"
awk '$2 != 10 + NR + 0.5 || $3 != 100 - 5 * NR || $4 != 40 - NR { exit 1 }' series/host.dat ||
    fail "host.dat does not follow the idle average, class-1 limit and last tick's idle: $(cat series/host.dat)"
awk '$9 != (NR >= 6 ? 35 : 25) { exit 1 }' series/host.dat ||
    fail "host.dat does not follow the class-2 limit: $(cat series/host.dat)"
grep -qx 'class2_moved = 1' series/class2.gp || fail "the class-2 limit moved: $(cat series/class2.gp)"

# The miner's countdown to MINER starts at tick 2 (and runs on at tick 3).
expected_ticks=$(cut -d' ' -f1 series/expected.dat | while read -r t; do
    grep " halvorn_ticks_total " samples | awk -v t="$t" '$1 == t { print $3 }'
done | tr '\n' ' ')
[ "$expected_ticks" = "2 " ] || fail "expected as MINER at ticks '$expected_ticks', expected '2 '"

# Moves: the miner to 2 at tick 5 and back to 1 at tick 9, nothing else.
move_ticks=$(cut -d' ' -f1 series/moves.dat | while read -r t; do
    grep " halvorn_ticks_total " samples | awk -v t="$t" '$1 == t { print $3 }'
done | tr '\n' ' ')
[ "$move_ticks" = "5 9 " ] || fail "moves at ticks '$move_ticks', expected '5 9 '"
awk '{ print $3, $4 }' series/moves.dat | tr '\n' ' ' | grep -qx '1 2 1 1 ' ||
    fail "moves should be the miner (VM 1) to 2 then to 1: $(cat series/moves.dat)"

# The odd VM: third seen, its own rows from tick 3, no load at tick 3.
[ "$(grep -c . series/vm-3.dat)" -eq 8 ] || fail "vm-3.dat should have 8 rows: $(cat series/vm-3.dat)"
head -n 1 series/vm-3.dat | grep -q '^[0-9.]* NaN 1$' || fail "no load should be NaN: $(head -n 1 series/vm-3.dat)"
grep -qF "title 'odd \"q\\b'" series/vms.gp || fail "the odd name is not kept whole: $(cat series/vms.gp)"
grep -qF "'miner to class 2'" series/labels.gp || fail "no label for the miner's move: $(cat series/labels.gp)"

# Service: one row a tick for each VM the probe names, the miner's and
# web01's better after the move; the quiet VM, with nothing but missing
# figures, has no series in any panel.
# service_of NAME: the number of NAME's service series in the share panel.
service_of() { tr ',' '\n' <series/share.gp | sed -n "s/.*'service-\([0-9]*\)\.dat' .* title '$1'\$/\1/p"; }
miner_n=$(service_of miner)
web_n=$(service_of web01)
if [ -z "$miner_n" ] || [ -z "$web_n" ]; then
    fail "no service series for the miner or web01: $(cat series/share.gp)"
    miner_n=0 web_n=0
fi
awk 'NR < 5 && ($2 != 40 || $3 != 30.5) || NR >= 5 && ($2 != 100 || $3 != 0.20) { exit 1 } END { exit NR != 10 }' \
    "series/service-$miner_n.dat" || fail "the miner's service is not its own: $(cat "series/service-$miner_n.dat")"
awk 'NR < 5 && ($2 != 61 || $3 != 48) || NR >= 5 && ($2 != 100 || $3 != 3) { exit 1 } END { exit NR != 10 }' \
    "series/service-$web_n.dat" || fail "web01's service is not its own: $(cat "series/service-$web_n.dat")"
awk '$2 != "NaN" || $3 != "NaN" { exit 1 } END { exit NR != 7 }' series/service-4.dat ||
    fail "the quiet VM's missing figures should be NaN from tick 4: $(cat series/service-4.dat 2>&1)"
grep -q "quiet" series/vms.gp series/share.gp series/wake.gp && fail "the quiet VM has nothing to draw"
grep -qx 'services = 2' series/services.gp || fail "two VMs have service figures: $(cat series/services.gp)"

# The thresholds of every tick, and the VM panel draws OverloadBound as data,
# so that its range reaches the line though no VM does.
awk '$5 != 15 || $6 != 35 || $7 != 30 || $8 != 90 { exit 1 }' series/host.dat ||
    fail "host.dat does not hold each tick's band, class-move level and OverloadBound: $(cat series/host.dat)"
grep -qF "'host.dat' using 1:8 with steps dt 2 lw 1.5 lc rgb 'gray30' title 'OverloadBound 90 %'" series/vms.gp ||
    fail "the VM panel does not draw OverloadBound: $(cat series/vms.gp)"
# titled FILE TITLE...: FILE's plot has a line of each title.
titled() {
    file=$1
    shift
    for title in "$@"; do
        grep -qF "title '$title'" "$file" || return 1
    done
}
titled series/host.gp 'idle band 15..35 %' 'class-1 rate limit' 'class moves at or below 30 %' ||
    fail "the host panel's key is not the band, the limit and the class-move level: $(cat series/host.gp)"

sh "$demo/chart.sh" --band 15 35 --class-idle 30 --overload-bound 90 --title "a 'quoted' title" samples chart.png \
    2>chart.err || fail "chart.sh failed: $(cat chart.err)"
[ ! -s chart.err ] || fail "gnuplot complained: $(cat chart.err)"
[ "$(head -c 4 chart.png | od -An -c | tr -d ' ')" = '211PNG' ] || fail "chart.png is not a PNG"
cp chart.png "${CHART_TEST_KEEP:-/dev/null}" 2>/dev/null || true

# A reload at tick 6 changed the thresholds and started a dry run: each tick
# keeps its own, the keys say both, and the limit drawn is the one the dry
# run would set, not the kernel's that it leaves alone.
for tick in 1 2 3 4 5 6 7 8 9 10; do
    "$scripted_metrics" "$tick" reloaded | grep -v '^#' | sed "s/^/$tick /"
done >reloaded.samples
mkdir reloaded-series
(cd reloaded-series && awk -f "$demo/series.awk" ../reloaded.samples)
awk 'NR <= 5 && ($3 != 100 - 5 * NR || $5 != 15 || $6 != 35 || $7 != 30 || $8 != 90) ||
     NR > 5 && ($3 != 60 + NR || $5 != 20 || $6 != 40 || $7 != 25 || $8 != 80) { exit 1 }
     END { exit NR != 10 }' reloaded-series/host.dat ||
    fail "after the reload, host.dat should hold the new thresholds and the dry run's limit: $(cat reloaded-series/host.dat)"
titled reloaded-series/host.gp 'idle band 15..35, then 20..40 %' 'class-1 rate limit (in the dry run: would set)' \
    'class moves at or below 30, then 25 %' ||
    fail "the host panel's key does not tell the reload and the dry run: $(cat reloaded-series/host.gp)"
titled reloaded-series/vms.gp 'OverloadBound 90, then 80 %' ||
    fail "the VM panel's key does not tell the reload: $(cat reloaded-series/vms.gp)"
sh "$demo/chart.sh" reloaded.samples reloaded.png 2>reloaded.err || fail "chart.sh failed: $(cat reloaded.err)"
[ ! -s reloaded.err ] || fail "gnuplot complained: $(cat reloaded.err)"

# Samples without the thresholds (a daemon before they were published) take
# them from the options.
grep -v ' halvorn_idle_band_ratio\| halvorn_overload_bound_ratio ' samples >bare
mkdir bare-series
(cd bare-series && awk -v band_min=10 -v band_max=50 -v class_idle=20 -v overload_bound=95 -f "$demo/series.awk" ../bare)
awk '$5 != 10 || $6 != 50 || $7 != 20 || $8 != 95 { exit 1 }' bare-series/host.dat ||
    fail "the options should stand in for thresholds the samples lack: $(cat bare-series/host.dat)"

# Nothing to draw, or a bad number for gnuplot's command line: an error and no picture.
: >empty
if sh "$demo/chart.sh" empty none.png 2>/dev/null || [ -e none.png ]; then
    fail "chart.sh drew from no samples"
fi
if sh "$demo/chart.sh" --band '1;system("id")' 35 samples none.png 2>/dev/null || [ -e none.png ]; then
    fail "chart.sh took a band that is not a number"
fi

exit $failed
