#!/bin/sh
# Formats every C and C++ source git tracks with the tree's .clang-format.
# --check: change nothing, list what is unformatted and exit 1 if anything is.
set -eu
cd "$(dirname "$0")/.."
command -v clang-format >/dev/null || { echo "format.sh: clang-format is not installed" >&2; exit 2; }
files=$(git ls-files -co --exclude-standard '*.cpp' '*.h' '*.c' '*.cc' | while read -r f; do [ -f "$f" ] && echo "$f"; done)
if [ "${1:-}" = --check ]; then
    bad=0
    for f in $files; do
        if ! clang-format "$f" | cmp -s "$f" -; then
            echo "unformatted: $f (run sh scripts/format.sh)"
            bad=1
        fi
    done
    exit "$bad"
fi
# shellcheck disable=SC2086
clang-format -i $files
