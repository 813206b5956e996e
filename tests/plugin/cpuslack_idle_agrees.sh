#!/bin/sh
# Runs the real cpuslack for two seconds and checks its idle share against
# /proc/stat read around the same seconds, and its exit status against the
# share it printed.
# usage: cpuslack_idle_agrees.sh PATH_TO_CPUSLACK
set -eu
cpuslack=$1
tolerance=3

# Prints "idle total" in clock ticks from the host's cpu line. iowait is
# idle time; guest time is already part of user and nice.
cpu_ticks() {
    awk '$1 == "cpu" { idle = $5 + $6; print idle, idle + $2 + $3 + $4 + $7 + $8 + $9; exit }' /proc/stat
}

fail() {
    echo "FAIL: $*" >&2
    exit 1
}

before=$(cpu_ticks)
status=0
out=$(timeout 10 "$cpuslack" -w 20 -c 5 -p 2) || status=$?
after=$(cpu_ticks)

lines=$(printf '%s\n' "$out" | wc -l)
[ "$lines" -eq 1 ] || fail "expected one line, got $lines: $out"

# OK: N | host_cpu_idle=N, or WARNING/CRITICAL: N below T | host_cpu_idle=N
shown=$(printf '%s\n' "$out" | sed -n -E \
    's/^(OK|WARNING|CRITICAL): ([0-9]+)( below (20|5))? \| host_cpu_idle=([0-9]+)$/\2 \5 \1 \4/p')
[ -n "$shown" ] || fail "malformed line: $out"
# shellcheck disable=SC2086
set -- $shown
share=$1 perf=$2 word=$3 below=${4:-}
[ "$share" = "$perf" ] || fail "performance data differs from the share: $out"

# The printed share is floored, the thresholds are whole numbers, so the
# floored share implies the status exactly.
if [ "$share" -lt 5 ]; then expect=2 expect_word=CRITICAL expect_below=5
elif [ "$share" -lt 20 ]; then expect=1 expect_word=WARNING expect_below=20
else expect=0 expect_word=OK expect_below=
fi
[ "$status" -eq "$expect" ] || fail "exit status $status for: $out"
if [ "$word" != "$expect_word" ] || [ "$below" != "$expect_below" ]; then
    fail "wrong status text: $out"
fi

# shellcheck disable=SC2086
set -- $before $after
reference=$(awk -v i0="$1" -v t0="$2" -v i1="$3" -v t1="$4" \
    'BEGIN { if (t1 == t0) print -1; else printf "%.2f", (i1 - i0) * 100 / (t1 - t0) }')
# The exact share lies in [share, share + 1); allow the tolerance either side.
awk -v a="$share" -v b="$reference" -v tol="$tolerance" \
    'BEGIN { d = b - a; exit !(b >= 0 && d >= -tol && d < 1 + tol) }' ||
    fail "cpuslack says $share, /proc/stat says $reference"
echo "cpuslack: $out; /proc/stat: $reference"
