#!/bin/sh
# How far halvorn-replay's what-if can be trusted: the model check's table.
# The real daemon runs a scripted host on the simulator (a miner, a VM just
# below OverloadBound, one that bursts and calms, calm VMs, a phase that
# fills the host) under settings A, twice, and under four other settings B;
# halvorn-replay predicts each B from A's first recording. Printed per
# settings: the VMs moved in truth and by the replay, the largest difference
# in a move's time, the rate-limit steps down/up (truth above, replay
# below), the lowest limit and the seconds below MinCpuIdleLevel (truth/
# replay). A's row is its two runs: this machine's own noise. The
# simulator's vCPUs compete for this machine's CPUs with whatever else runs,
# so run it on a quiet machine. As root, after a build:
#   sh bench/model_error.sh [BUILD_DIR]
set -eu
build=$(cd "${1:-build}" && pwd)
cd "$build"
ctest -L model --output-on-failure --verbose | sed -n 's/^[0-9]*: //p' |
    awk '/^SETTINGS/ { table = 1 } table && /^\[/ { table = 0 } table'
