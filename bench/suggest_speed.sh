#!/bin/sh
# The search's speed: the wall time of `halvorn-replay --suggest` (its usual
# budget of 60 replays a host) on a day of 1 s ticks of 50 VMs with 4 vCPUs
# each, target at most 120 s, and on a fleet of 10 such host-days, target at
# most 10 minutes. The fleet's days are made by make_recording with seeds
# 1..10 when absent (a minute or two each, not timed). Run as anyone:
#   sh bench/suggest_speed.sh [BUILD_DIR] [RECORDING]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
recording=${2:-$build/bench/day.record.gz}
replay=$build/replay/halvorn-replay
fleet_dir=$build/bench/fleet

[ -s "$recording" ] || "$build/bench/make_recording" "$recording" 24 >/dev/null
mkdir -p "$fleet_dir"
hosts=""
for seed in 1 2 3 4 5 6 7 8 9 10; do
    day=$fleet_dir/day-$seed.record.gz
    [ -s "$day" ] || "$build/bench/make_recording" "$day" 24 50 4 dry "$seed" >/dev/null
    hosts="$hosts --host host-$seed=$day"
done

# wall COMMAND...: seconds of wall time the command takes; it must succeed.
wall() {
    started=$(date +%s)
    if ! "$@" >/dev/null 2>&1; then
        echo "failed: $*" >&2
        exit 1
    fi
    echo $(($(date +%s) - started))
}

# verdict SECONDS LIMIT
verdict() {
    if [ "$1" -le "$2" ]; then echo "met"; else echo "NOT met"; fi
}

echo "cores: $(getconf _NPROCESSORS_ONLN)"
day=$(wall "$replay" --suggest "$recording")
echo "suggest on one day: $day s wall (target 120 s: $(verdict "$day" 120))"
# shellcheck disable=SC2086 # the --host options are words of their own
fleet=$(wall "$replay" --suggest $hosts)
echo "suggest on a fleet of 10 host-days: $fleet s wall (target 600 s: $(verdict "$fleet" 600))"
