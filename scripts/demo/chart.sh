#!/bin/sh
# Draws the demo's chart from the sampler's output (sample.sh): the host's idle
# average and the class-1 rate limit on one panel, each VM's load with its
# class moves marked on the other.
# Usage: chart.sh [--band MIN MAX] [--class-idle LEVEL] [--overload-bound LOAD]
#                 [--title TEXT] SAMPLES PNG
set -eu
here=$(cd "$(dirname "$0")" && pwd)

# whole_number TEXT: ends the script unless TEXT is a whole number, since it
# is drawn as a number.
whole_number() {
    case $1 in
    '' | *[!0-9]*) echo "chart.sh: '$1' is not a whole number" >&2; exit 2 ;;
    esac
}

# Thresholds for samples that lack them.
band_min="" band_max="" class_idle="" overload_bound=""
title="halvorn"
while [ "$#" -gt 2 ]; do
    case $1 in
    --band)
        whole_number "$2"
        whole_number "$3"
        band_min=$2 band_max=$3
        shift 3
        ;;
    --class-idle)
        whole_number "$2"
        class_idle=$2
        shift 2
        ;;
    --overload-bound)
        whole_number "$2"
        overload_bound=$2
        shift 2
        ;;
    --title) title=$2; shift 2 ;;
    *) echo "chart.sh: unknown option $1" >&2; exit 2 ;;
    esac
done
[ "$#" -eq 2 ] || { echo "usage: chart.sh [--band MIN MAX] [--class-idle LEVEL] [--overload-bound LOAD] [--title TEXT] SAMPLES PNG" >&2; exit 2; }
samples=$1
png=$2
command -v gnuplot >/dev/null || { echo "chart.sh: gnuplot is missing (sh scripts/deps.sh installs it)" >&2; exit 1; }
[ -s "$samples" ] || { echo "chart.sh: no samples in $samples" >&2; exit 1; }

work=$(mktemp -d "${TMPDIR:-/tmp}/halvorn-chart.XXXXXX")
trap 'rm -rf "$work"' EXIT
samples=$(cd "$(dirname "$samples")" && pwd)/$(basename "$samples")
(cd "$work" && awk -v band_min="$band_min" -v band_max="$band_max" -v class_idle="$class_idle" \
    -v overload_bound="$overload_bound" -f "$here/series.awk" "$samples")
quoted_title=$(printf '%s' "$title" | tr '\n' ' ' | sed "s/'/''/g")
(cd "$work" && gnuplot -e "out='chart.png'; chart_title='$quoted_title';" "$here/chart.gp")
# Written in place only when whole, so a failed run leaves no half picture.
cp "$work/chart.png" "$png.tmp.$$"
mv "$png.tmp.$$" "$png"
