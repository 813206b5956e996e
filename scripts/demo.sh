#!/bin/sh
# Installs what is missing, builds, and runs the main job.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh
./build/plugin/cpuslack -w 20 -c 5 -p 1
