#!/bin/sh
# Installs what is missing, builds, and runs every test but the soak.
set -eu
cd "$(dirname "$0")/.."
sh scripts/deps.sh
sh scripts/build.sh
cd build
# The soak runs on its own in CI, after the sanitizers and the fuzzers.
ctest --output-on-failure -LE 'soak|model' -j "$(nproc)"
# The model check times the real daemon on the simulator against the
# replay's prediction: it runs alone, after the rest. CI runs it as a step of
# its own (HALVORN_SKIP_MODEL=1 here).
if [ -z "${HALVORN_SKIP_MODEL:-}" ]; then
    ctest --output-on-failure -L model
fi
