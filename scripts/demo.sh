#!/bin/sh
# Installs what is missing, builds, and runs the main job: halvorn against a
# simulated bhyve host, finding a mining VM and moving it to class 2.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
# Only what the demo runs, so it starts quickly on a fresh machine.
sh scripts/build.sh halvorn vmmsim vmmsim_bhyve vmmsim_vmmapi vmmsim_nv
exec sh scripts/demo/run.sh build
