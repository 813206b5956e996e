# shellcheck shell=sh
# Sourced by the demo and the benchmarks that start a simulated host.

# wait_for FILE TEXT SECONDS: polls until FILE holds TEXT; 1 at the deadline.
wait_for() {
    i=0
    while ! grep -qF -- "$2" "$1" 2>/dev/null; do
        [ "$i" -lt $(($3 * 10)) ] || return 1
        sleep 0.1
        i=$((i + 1))
    done
}
