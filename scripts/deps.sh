#!/bin/sh
# Installs what building and testing need, from the distribution's packages.
# Quiet and quick when everything is already there.
set -eu
if [ "$(uname -s)" = FreeBSD ]; then
    pkg install -y cmake pkgconf spdlog nlohmann-json libev inih
    exit 0
fi
packages="cmake g++ make pkg-config libspdlog-dev libfmt-dev nlohmann-json3-dev
libev-dev libinih-dev libgtest-dev libgmock-dev libbenchmark-dev mandoc shellcheck
util-linux procps clang-format clang libclang-rt-14-dev prometheus gnuplot-nox bmake"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    # shellcheck disable=SC2086
    apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
