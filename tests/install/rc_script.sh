#!/bin/sh
# Runs the generated rc.d script against a stand-in for FreeBSD's rc.subr
# and checks what start would run and what reload and stop would signal.
# Usage: rc_script.sh RC_SCRIPT SBINDIR SYSCONFDIR
set -eu
rc_script=$1
sbindir=$2
sysconfdir=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}

# The parts of rc.subr the script relies on: rc.conf values come from the
# environment, and start prints the command line rc.subr would run (the
# command, then ${name}_flags, then command_args); reload runs reload_cmd.
cat >"$work/rc.subr" <<'SUBR'
load_rc_config() { :; }
warn() { echo "WARNING: $*"; }
run_rc_command() {
    case $1 in
    start)
        $start_precmd
        eval "rc_flags=\${${name}_flags}"
        echo "RUN: $command $rc_flags $command_args"
        echo "STOP-PIDFILE: $pidfile"
        ;;
    reload) $reload_cmd ;;
    esac
}
SUBR
sed "s|^\. /etc/rc.subr\$|. $work/rc.subr|" "$rc_script" >"$work/halvorn"
grep -q "^\. $work/rc.subr\$" "$work/halvorn" || { echo "FAIL: the script does not source /etc/rc.subr" >&2; exit 1; }

# pkill records what it was asked to signal.
mkdir "$work/bin"
cat >"$work/bin/pkill" <<'PKILL'
#!/bin/sh
echo "PKILL: $*"
PKILL
chmod +x "$work/bin/pkill"

# The words of $1 with single blanks between them.
words() {
    # shellcheck disable=SC2086 # splitting is the point
    echo $1
}

# Prints the argument that follows option $1 in the words $2...
option_value() {
    opt=$1
    shift
    while [ $# -gt 1 ]; do
        [ "$1" = "$opt" ] && { echo "$2"; return; }
        shift
    done
}

# Defaults: halvorn gets the installed configuration file.
out=$(env -i PATH="$work/bin:$PATH" sh "$work/halvorn" start)
run=$(echo "$out" | sed -n 's/^RUN: //p')
# shellcheck disable=SC2086 # split the command line into words
set -- $run
[ "$1" = /usr/sbin/daemon ] || fail "start does not run daemon(8): $run"
shift
[ "$(option_value -c "$@")" = "$sysconfdir/halvorn.config" ] ||
    fail "default start does not pass -c $sysconfdir/halvorn.config: $run"
case " $run " in
*" -f "*) ;;
*) fail "daemon(8) keeps halvorn's console output: $run" ;;
esac
# What halvorn writes before its logger exists must reach its log file.
{ [ "$(option_value -m "$@")" = 2 ] && [ "$(option_value -T "$@")" = halvorn ] &&
    [ "$(option_value -l "$@")" = local0 ]; } ||
    fail "daemon(8) does not pass halvorn's standard error to syslog local0 as halvorn: $run"
case " $run " in
*" -r "* | *" -R "*) ;;
*) fail "daemon(8) does not restart halvorn: $run" ;;
esac
if [ ! -r "$sysconfdir/halvorn.config" ]; then
    echo "$out" | grep -q '^WARNING: .*halvorn.config' ||
        fail "a missing configuration file is not reported"
fi

# stop and status must address the supervisor, reload halvorn itself.
supervisor=$(option_value -P "$@")
child=$(option_value -p "$@")
if [ -z "$supervisor" ] || [ -z "$child" ] || [ "$supervisor" = "$child" ]; then
    fail "daemon(8) needs distinct -P and -p pid files: $run"
fi
[ "$(echo "$out" | sed -n 's/^STOP-PIDFILE: //p')" = "$supervisor" ] ||
    fail "stop does not use the supervisor's pid file $supervisor"
reload=$(env -i PATH="$work/bin:$PATH" sh "$work/halvorn" reload)
case " $reload " in
*" -HUP "*"-F $child "*) ;;
*) fail "reload does not send SIGHUP through $child: $reload" ;;
esac

# Flags go to halvorn, after its path, never to daemon(8); an empty config
# setting lets halvorn search.
config=$(mktemp "$work/config.XXXXXX")
run=$(words "$(env -i PATH="$work/bin:$PATH" halvorn_flags="-l debug" halvorn_config="" \
    sh "$work/halvorn" start | sed -n 's/^RUN: //p')")
case "$run" in
*"-l debug"*" $sbindir/halvorn "* | *" -c "*) fail "halvorn_flags reach daemon(8), or -c is empty: $run" ;;
"/usr/sbin/daemon "*" $sbindir/halvorn -l debug") ;;
*) fail "halvorn_flags are not passed to halvorn: $run" ;;
esac
out=$(words "$(env -i PATH="$work/bin:$PATH" halvorn_config="$config" sh "$work/halvorn" start)")
case "$out" in
*"$sbindir/halvorn -c $config"*) ;;
*) fail "halvorn_config is not passed with -c: $out" ;;
esac
case "$out" in
*WARNING*) fail "a readable configuration file is reported missing: $out" ;;
esac

exit $failed
