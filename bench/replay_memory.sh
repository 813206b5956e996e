#!/bin/sh
# What halvorn-replay holds in memory for a week of 1 s ticks of 50 VMs with
# 4 vCPUs each: the peak, over the whole run, of the proportional set size
# (shared pages counted once) summed over the replay and its workers, for one
# replay, a sweep of two settings and a search. The recording is made by
# make_recording when it is absent (about ten minutes, 550 MB). Run as anyone:
#   sh bench/replay_memory.sh [BUILD_DIR] [RECORDING]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
recording=${2:-$build/bench/week.record.gz}
replay=$build/replay/halvorn-replay

[ -s "$recording" ] || "$build/bench/make_recording" "$recording" 168

# peak_mib COMMAND...: runs the command in a process group of its own and
# prints the peak of its group's summed PSS, in MiB.
peak_mib() {
    setsid "$@" >/dev/null 2>&1 &
    leader=$!
    peak=0
    while kill -0 "$leader" 2>/dev/null; do
        kib=$(ps -e -o pid=,pgid= | awk -v g="$leader" '$2 == g { print $1 }' | while read -r pid; do
            awk '/^Pss:/ { print $2 }' "/proc/$pid/smaps_rollup" 2>/dev/null || true
        done | awk '{ s += $1 } END { print s + 0 }')
        [ "$kib" -gt "$peak" ] && peak=$kib
        sleep 0.2
    done
    wait "$leader" || true
    echo $((peak / 1024))
}

echo "recording: $recording ($(wc -c <"$recording") bytes)"
echo "one replay: $(peak_mib "$replay" "$recording") MiB"
echo "sweep of two settings: $(peak_mib "$replay" --set VCPU_CLASS.OverloadBound=80,95 "$recording") MiB"
echo "search of 8 replays: $(peak_mib "$replay" --suggest --budget 8 "$recording") MiB"
