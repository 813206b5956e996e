#!/bin/sh
# Installs what is missing, builds, and runs the main job: halvorn against a
# simulated bhyve host, finding a mining VM and moving it to class 2.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh
exec sh scripts/demo/run.sh build
