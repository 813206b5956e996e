#!/bin/sh
# Installs what is missing, builds, and runs every test but the soak.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh
cd build
# The soak runs on its own in CI, after the sanitizers and the fuzzers.
ctest --output-on-failure -LE soak -j "$(nproc)"
