#!/bin/sh
# The demo's simulated host, sized for this machine, for the demo (run.sh)
# and bench/effect.sh, so that both run the same host under the same
# settings. Writes DIR/halvorn.config from halvorn.config.in beside this
# script (its metrics file and recording in DIR too) and prints one line:
#   CPUS VCPUS MIN_IDLE MAX_IDLE CLASS_IDLE NAME:DEMAND...
# the last words being the calm VMs, each with VCPUS vCPUs like the miner.
# The miner gets one vCPU per CPU (2 to 16), so it can make the host busy; the
# calm VMs have as many vCPUs but want little. On big machines, where the
# demo cannot make the host busy, the idle levels move up to what it can.
# Usage: host.sh DIR
set -eu
here=$(cd "$(dirname "$0")" && pwd)
dir=$1

cpus=$(nproc)
vcpus=$cpus
[ "$vcpus" -ge 2 ] || vcpus=2
[ "$vcpus" -le 16 ] || vcpus=16
busy=$((112 * vcpus / cpus))
[ "$busy" -le 100 ] || busy=100
min_idle=$((100 - busy + 15))
[ "$min_idle" -le 75 ] || min_idle=75
max_idle=$((min_idle + 20))
class_idle=$((min_idle + 15))
sed -e "s/@VCPU@/$vcpus/" -e "s/@MIN_IDLE@/$min_idle/" -e "s/@MAX_IDLE@/$max_idle/" \
    -e "s/@CLASS_IDLE@/$class_idle/" -e "s|@METRICS@|$dir/metrics.prom|" \
    -e "s|@RECORD@|$dir/halvorn.record.gz|" \
    "$here/halvorn.config.in" >"$dir/halvorn.config"
echo "$cpus $vcpus $min_idle $max_idle $class_idle web01:6 db01:4 mail01:2"
