#!/bin/sh
# Samples halvorn's metrics file once per tick, for the demo's chart. Each new
# tick appends its samples to OUT as lines "SECONDS SAMPLE", SECONDS counted
# from the sampler's start and SAMPLE one sample line of the file as written.
# With PROBE_FILE (the simulator's, from vmmsim run --probe), its lines as
# they are at that moment follow under the same SECONDS.
# Runs until it is stopped.
# Usage: sample.sh METRICS_FILE OUT [POLL_SECONDS [PROBE_FILE]]
set -eu
metrics=$1
out=$2
poll=${3:-0.1}
probe=${4:-}

start=$(date +%s.%N)
last_ticks=""
: >>"$out"
while :; do
    # The daemon replaces the file by a rename, so one read sees one whole tick.
    if snapshot=$(cat -- "$metrics" 2>/dev/null); then
        ticks=$(printf '%s\n' "$snapshot" | sed -n 's/^halvorn_ticks_total[[:space:]]\{1,\}\([^[:space:]]*\).*/\1/p')
        if [ -n "$ticks" ] && [ "$ticks" != "$last_ticks" ]; then
            last_ticks=$ticks
            probed=""
            [ -z "$probe" ] || probed=$(cat -- "$probe" 2>/dev/null) || probed=""
            printf '%s\n%s\n' "$snapshot" "$probed" |
                awk -v now="$(date +%s.%N)" -v start="$start" '
                    BEGIN { t = sprintf("%.2f", now - start) }
                    /^[[:space:]]*(#|$)/ { next }
                    { print t " " $0 }' >>"$out"
        fi
    fi
    sleep "$poll"
done
