#!/bin/sh
# halvorn-replay's speed on a day of 1 s ticks of 50 VMs with 4 vCPUs each:
# the CPU time of one replay (reading the recording, and the host without
# halvorn alongside), the wall time of a sweep of 9 combinations on every
# core, and what each replay of a sweep costs once the recording was read:
# the sweep of 9 less a sweep of 2, over the 7 replays between them. The recording is made by make_recording when it is absent
# (a minute or two). Run as anyone:
#   sh bench/replay_speed.sh [BUILD_DIR] [RECORDING]
set -eu
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "${1:-$here/../build}" && pwd)
recording=${2:-$build/bench/day.record.gz}
replay=$build/replay/halvorn-replay

[ -s "$recording" ] || "$build/bench/make_recording" "$recording" 24

# seconds COMMAND...: the command's user and system time, from the shell's
# times for its children.
cpu_seconds() {
    (
        "$@" >/dev/null 2>&1 || true
        times
    ) | awk 'NR == 2 {
        n = split($0, t, /[ms ]+/)
        total = 0
        for (i = 1; i + 1 <= n; i += 2) total += t[i] * 60 + t[i + 1]
        printf "%.2f", total
    }'
}

echo "recording: $recording ($(wc -c <"$recording") bytes)"
echo "one replay: $(cpu_seconds "$replay" "$recording") s of CPU"
started=$(date +%s)
cpu=$(cpu_seconds "$replay" --set VCPU_CLASS.OverloadBound=80,90,95 \
    --set VCPU_CLASS.CpuIdleLevel=20,30,40 "$recording")
echo "sweep of 9 combinations: $(($(date +%s) - started)) s wall, $cpu s of CPU"
two=$(cpu_seconds "$replay" --set VCPU_CLASS.OverloadBound=80,90 "$recording")
echo "each replay of a sweep: $(echo "$cpu $two" | awk '{ printf "%.2f", ($1 - $2) / 7 }') s of CPU"
