#!/bin/sh
# Installs what building and testing need, from the distribution's packages.
# (clang, lld and llvm also build the FreeBSD programs in the FreeBSD check.)
# Quiet and quick when everything is already there.
set -eu
if [ "$(uname -s)" = FreeBSD ]; then
    pkg install -y cmake pkgconf spdlog nlohmann-json libev inih
    exit 0
fi
# The Prometheus servers are for the tests, which start their own on
# loopback; they must never run as the machine's services.
servers="prometheus prometheus-node-exporter prometheus-alertmanager"
packages="cmake g++ make pkg-config libspdlog-dev libfmt-dev nlohmann-json3-dev
libev-dev libinih-dev zlib1g-dev libgtest-dev libgmock-dev libbenchmark-dev mandoc shellcheck
util-linux procps clang-format clang libclang-rt-14-dev lld llvm file gnuplot-nox bmake $servers"
missing=""
for p in $packages; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'ok installed' || missing="$missing $p"
done
[ -n "$missing" ] || exit 0

echo "Installing:$missing"
export DEBIAN_FRONTEND=noninteractive
# Without a policy of the machine's own, one that forbids every service
# start keeps the servers' postinst scripts from starting them (with or
# without systemd); it goes again whatever happens.
policy=/usr/sbin/policy-rc.d
own_policy=""
if [ ! -e "$policy" ]; then
    own_policy=$policy
    trap 'rm -f "$own_policy"' EXIT
    trap 'exit 1' INT TERM
    printf '#!/bin/sh\nexit 101\n' >"$policy"
    chmod 755 "$policy"
fi
apt-get update -qq
# shellcheck disable=SC2086
apt-get install -y -qq --no-install-recommends $missing >/dev/null

# A unit the install enabled would start the server at the next boot.
if [ -d /run/systemd/system ]; then
    for p in $servers; do
        case " $missing " in
        *" $p "*) systemctl disable --now "$p" >/dev/null 2>&1 || true ;;
        esac
    done
fi
