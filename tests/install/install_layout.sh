#!/bin/sh
# Installs the build into a scratch DESTDIR and checks that exactly the
# expected files land there, with the expected modes, that an operator's
# halvorn.config survives, and that the installed programs run.
# Usage: install_layout.sh CMAKE BUILD_DIR SERVICE(ON|OFF)
set -eu
export LC_ALL=C
cmake=$1
build=$2
service=$3

dest=$(mktemp -d)
trap 'rm -rf "$dest" "$dest.log"' EXIT
trap 'exit 1' INT TERM
prefix=/usr/local
root=$dest$prefix

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

mode_of() {
    stat -c %a "$1" 2>/dev/null || stat -f %Lp "$1"
}

# An existing configuration must come through an install untouched.
mkdir -p "$root/etc"
printf '[COMMON]\nUpdateTime = 500\n' >"$root/etc/halvorn.config"
chmod 600 "$root/etc/halvorn.config"
operator_config=$(cat "$root/etc/halvorn.config")

install_into_dest() {
    if ! DESTDIR=$dest "$cmake" --install "$build" --prefix "$prefix" "$@" >"$dest.log" 2>&1; then
        cat "$dest.log" >&2
        echo "FAIL: cmake --install $* failed" >&2
        exit 1
    fi
}
install_into_dest
if [ "$service" != ON ]; then
    # Off FreeBSD the service files stay out of a plain install; their rules
    # are checked all the same through their component.
    [ ! -e "$root/etc/rc.d" ] || fail "the rc.d script is installed although the service is off"
    install_into_dest --component service
fi

expected="600 usr/local/etc/halvorn.config
644 usr/local/etc/halvorn.config.sample
644 usr/local/share/man/man5/halvorn.config.5
644 usr/local/share/man/man8/cpuslack.8
644 usr/local/share/man/man8/halvorn.8
644 usr/local/share/man/man1/halvorn-replay.1
755 usr/local/share/halvorn/chart.sh
644 usr/local/share/halvorn/chart.gp
644 usr/local/share/halvorn/series.awk
644 usr/local/share/halvorn/prometheus/halvorn.rules.yml
755 usr/local/libexec/nagios/cpuslack
755 usr/local/sbin/halvorn
755 usr/local/bin/halvorn-replay
644 usr/local/etc/newsyslog.conf.d/halvorn.conf
644 usr/local/etc/syslog.d/halvorn.conf
755 usr/local/etc/rc.d/halvorn"
expected=$(printf '%s\n' "$expected" | sort -k2)

# Everything under DESTDIR, so files installed outside the prefix (or from
# the simulator and the tests) show up too.
actual=$(cd "$dest" && find . ! -type d | sed 's|^\./||' | sort |
    while read -r f; do printf '%s %s\n' "$(mode_of "$f")" "$f"; done)

if [ "$actual" != "$expected" ]; then
    fail "installed files differ from the expected layout"
    printf '%s\n' "$expected" >"$dest/.expected"
    printf '%s\n' "$actual" >"$dest/.actual"
    diff -u "$dest/.expected" "$dest/.actual" | sed -n '3,$p' >&2 || true
fi

[ "$(cat "$root/etc/halvorn.config")" = "$operator_config" ] ||
    fail "the existing halvorn.config was overwritten"

cmp -s "$root/etc/halvorn.config.sample" "$(dirname "$0")/../../dist/halvorn.config.sample" ||
    fail "the installed sample differs from dist/halvorn.config.sample"

# The installed programs must run from their new place.
if out=$("$root/sbin/halvorn" -v 2>&1); then
    case $out in
    "halvorn version: "*) ;;
    *) fail "installed halvorn -v printed: $out" ;;
    esac
else
    fail "installed halvorn -v failed: $out"
fi
if out=$("$root/bin/halvorn-replay" --help 2>&1); then
    case $out in
    "usage: halvorn-replay "*) ;;
    *) fail "installed halvorn-replay --help printed: $out" ;;
    esac
else
    fail "installed halvorn-replay --help failed: $out"
fi
if out=$("$root/libexec/nagios/cpuslack" -h 2>&1); then
    case $out in
    "Usage: cpuslack "*) ;;
    *) fail "installed cpuslack -h printed: $out" ;;
    esac
else
    fail "installed cpuslack -h failed: $out"
fi

exit $failed
