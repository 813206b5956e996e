#!/bin/sh
# The manual pages must pass mandoc's lint, and the rc.d script must pass
# both sh -n and ShellCheck.
# Usage: lint.sh DIST_DIR RC_SCRIPT TEST_DIR
set -eu
dist=$1
rc_script=$2
tests=$3

for tool in mandoc shellcheck; do
    command -v "$tool" >/dev/null ||
        { echo "FAIL: $tool is missing; run scripts/deps.sh" >&2; exit 1; }
done

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

# Pages of the host system that our pages refer to.  A Debian host
# lacks FreeBSD's pages, so mandoc cannot look these up; any other missing
# reference is a typo.
system_pages="bhyve(8) bhyvectl(8) daemon(8) gnuplot(1) gzip(1) newsyslog(8) newsyslog.conf(5)
rc(8) rc.conf(5) service(8) strtol(3) syslog(3) syslog.conf(5) sysctl(8) vmm(4) zcat(1)"
own_pages="cpuslack(8) halvorn(8) halvorn-replay(1) halvorn.config(5)"

for page in halvorn.8 cpuslack.8 halvorn.config.5 halvorn-replay.1; do
    file=$dist/$page
    # -W style is the strictest level; notes about the machine's own
    # manual database are not about the page.
    report=$(mandoc -Tlint -W style "$file" 2>&1 |
        grep -v -e 'STYLE: referenced manual not found' -e 'outdated mandoc.db' || true)
    [ -z "$report" ] || fail "mandoc -Tlint on $page:
$report"

    refs=$(sed -n 's/^\.Xr \([^ ]*\) \([0-9]\).*/\1(\2)/p' "$file" | sort -u)
    for ref in $refs; do
        case " $system_pages $own_pages " in
        *[[:space:]]"$ref"[[:space:]]*) ;;
        *) fail "$page refers to an unknown page $ref" ;;
        esac
    done
done

sh -n "$rc_script" || fail "sh -n $rc_script"
shellcheck -s sh "$rc_script" || fail "shellcheck $rc_script"
shellcheck -s sh "$tests"/*.sh || fail "shellcheck on the install tests"

exit $failed
