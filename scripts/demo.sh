#!/bin/sh
# Installs what is missing, builds, and runs the main job: halvorn against a
# simulated bhyve host, finding a mining VM and moving it to class 2. The
# chart of the run lands in the current directory as halvorn-demo.png.
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
sh "$top/scripts/deps.sh"

# Only what the demo runs, so it starts quickly on a fresh machine; CMake's
# progress goes to a log that is shown only when the build fails.
build_log=$(mktemp "${TMPDIR:-/tmp}/halvorn-build.XXXXXX")
echo "== Building halvorn and the simulator into $top/build"
if ! (cd "$top" && sh scripts/build.sh halvorn halvorn-replay vmmsim vmmsim_bhyve vmmsim_vmmapi vmmsim_nv) \
    >"$build_log" 2>&1; then
    tail -n 40 "$build_log" >&2
    rm -f "$build_log"
    echo "The build failed." >&2
    exit 1
fi
rm -f "$build_log"
exec sh "$top/scripts/demo/run.sh" "$top/build"
