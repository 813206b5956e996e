#!/bin/sh
# Keeps the FreeBSD port in dist/freebsd in step with the project: configured
# the way the port configures it, "cmake --install" must stage exactly what
# pkg-plist lists; the port's rc.d script must be the project's; the port's
# version must be the project's.
# Usage: port_manifest.sh CMAKE SOURCE_DIR BUILD_DIR
# BUILD_DIR is a build of the project whose programs are already built.
set -eu
export LC_ALL=C
cmake=$1
src=$2
build=$3
port=$src/dist/freebsd
prefix=/usr/local

command -v bmake >/dev/null ||
    { echo "FAIL: bmake is missing; run scripts/deps.sh" >&2; exit 1; }

work=$(mktemp -d)
work=$(cd "$work" && pwd -P)
trap 'rm -rf "$work"' EXIT
trap 'exit 1' INT TERM

failed=0
fail() {
    echo "FAIL: $*" >&2
    failed=1
}
# Shows a log and ends the test.
give_up() {
    awk 1 "$2" >&2
    echo "FAIL: $1" >&2
    exit 1
}

# bmake is FreeBSD's make, so it reads the Makefile as the ports framework
# does. This stand-in for the framework does only what Uses/cmake.mk does
# with CMAKE_ON and CMAKE_OFF.
mkdir "$work/mk"
: >"$work/mk/sys.mk"
cat >"$work/mk/bsd.port.mk" <<'MK'
.for _kind in ON OFF
CMAKE_ARGS+=	${CMAKE_${_kind}:C/.*/-D&:BOOL=${_kind}/}
.endfor
MK
port_var() {
    bmake -m "$work/mk" -C "$port" -f Makefile -V "\${$1}"
}
cmake_args=$(port_var CMAKE_ARGS 2>"$work/bmake.log") ||
    give_up "bmake cannot read dist/freebsd/Makefile" "$work/bmake.log"
portname=$(port_var PORTNAME)
rc_scripts=$(port_var USE_RC_SUBR)

version=$(sed -n 's/^project(halvorn VERSION \([^ )]*\).*/\1/p' "$src/CMakeLists.txt")
[ "$(port_var DISTVERSION)" = "$version" ] ||
    fail "dist/freebsd/Makefile has DISTVERSION $(port_var DISTVERSION), the project $version"

# The licence the port declares is the one the sources carry, and each file
# the framework fills in (SUB_FILES) has its template.
if [ "$(port_var LICENSE)" != BSD2CLAUSE ] || ! grep -q '^BSD 2-Clause License' "$src/LICENSE"; then
    fail "dist/freebsd/Makefile declares LICENSE=$(port_var LICENSE); LICENSE must hold that licence"
fi
for file in $(port_var SUB_FILES); do
    [ -f "$port/files/$file.in" ] || fail "SUB_FILES names $file, but dist/freebsd/files/$file.in is missing"
done

# The framework installs the rc.d script from files/halvorn.in, putting its
# own prefix where cmake puts the install paths.
rc_in=$src/dist/rc.d/halvorn.in
to_port="s|@CMAKE_INSTALL_FULL_SYSCONFDIR@|%%PREFIX%%/etc|g; s|@CMAKE_INSTALL_FULL_SBINDIR@|%%PREFIX%%/sbin|g"
[ "$rc_scripts" = halvorn ] || fail "dist/freebsd/Makefile has USE_RC_SUBR=$rc_scripts, not halvorn"
sed "$to_port" "$rc_in" >"$work/halvorn.in"
if ! cmp -s "$work/halvorn.in" "$port/files/halvorn.in"; then
    fail "dist/freebsd/files/halvorn.in (-) is not dist/rc.d/halvorn.in (+); renew it from the source dir with
  sed '$to_port' dist/rc.d/halvorn.in >dist/freebsd/files/halvorn.in"
    diff -u "$port/files/halvorn.in" "$work/halvorn.in" | sed -n '3,$p' >&2 || true
fi
if unknown=$(grep -o '@[A-Za-z_]*@' "$work/halvorn.in"); then
    fail "dist/rc.d/halvorn.in uses $(echo "$unknown" | sort -u | tr '\n' ' ')which the port's copy does not replace; extend the sed in tests/install/port_manifest.sh"
fi

# Configure as the port does. CMake picks some defaults per system; the port
# pins the ones that differ between FreeBSD and Linux (the service files), so
# this installs what a FreeBSD build of the port installs.
scratch=$work/build
eval "set -- $cmake_args"
"$cmake" -S "$src" -B "$scratch" -DCMAKE_INSTALL_PREFIX="$prefix" "$@" >"$work/configure.log" 2>&1 ||
    give_up "configuring with the port's options failed" "$work/configure.log"

# The programs are the same whatever the install options, so the ones in
# BUILD_DIR are borrowed instead of being compiled a second time.
find "$scratch" -name cmake_install.cmake -exec grep -ho "\"$scratch/[^\"$]*\"" {} + |
    tr -d '"' | sort -u >"$work/from_build"
while read -r file; do
    [ ! -e "$file" ] || continue
    built=$build/${file#"$scratch"/}
    [ -e "$built" ] || { echo "FAIL: $built is missing; build the project first" >&2; exit 1; }
    mkdir -p "$(dirname "$file")"
    cp -p "$built" "$file"
done <"$work/from_build"

stage=$work/stage
DESTDIR=$stage "$cmake" --install "$scratch" >"$work/install.log" 2>&1 ||
    give_up "cmake --install failed" "$work/install.log"

# The staged files as pkg-plist names them: relative to the prefix, and
# manual pages gzipped, as the framework compresses them before packaging.
(cd "$stage" && find . ! -type d) | sed -e 's|^\.||' -e "s|^$prefix/||" \
    -e '\|^share/man/man[^/]*/.*[^z]$|s|$|.gz|' | sort >"$work/installed"

# pkg-plist and the Makefile's PLIST_FILES, with their keywords expanded to
# the files they stand for.
{ cat "$port/pkg-plist"; port_var PLIST_FILES | tr ' ' '\n'; } | awk '
    /^[[:space:]]*$/ || /^@comment / || /^@dir[( ]/ { next }
    /^@sample[( ]/ { sub(/^@sample(\([^)]*\))? +/, ""); sub(/ .*/, ""); print; next }
    /^@\(/ { sub(/^@\([^)]*\) +/, ""); print; next }
    /^@/ { print "FAIL: no rule here for the packing list line " $0 > "/dev/stderr"; bad = 1; next }
    { print }
    END { exit bad }
' >"$work/plist" || failed=1
sed -e "s|%%DATADIR%%|share/$portname|g" -e "s|%%ETCDIR%%|etc/$portname|g" \
    -e "s|%%DOCSDIR%%|share/doc/$portname|g" -e "s|%%EXAMPLESDIR%%|share/examples/$portname|g" \
    -e 's|%%PORTDOCS%%||g' -e 's|%%PORTEXAMPLES%%||g' "$work/plist" | sort >"$work/listed"
if grep '%%' "$work/listed" >&2; then
    fail "pkg-plist uses placeholders this test does not know"
fi

# USE_RC_SUBR installs and lists the rc.d script itself.
rc_file=etc/rc.d/halvorn
if grep -qx "$rc_file" "$work/installed"; then
    fail "cmake --install installs $rc_file, which the port installs through USE_RC_SUBR; keep HALVORN_INSTALL_RC_SCRIPT in CMAKE_OFF"
fi
if grep -qx "$rc_file" "$work/listed"; then
    fail "pkg-plist lists $rc_file, which USE_RC_SUBR adds to the package itself; remove it"
fi
grep -vx "$rc_file" "$work/installed" >"$work/installed.files" || true
grep -vx "$rc_file" "$work/listed" >"$work/listed.files" || true

# Missing lines are shown as pkg-plist would have them.
missing=$(comm -23 "$work/installed.files" "$work/listed.files" | sed -e 's|^\(.*\.sample\)$|@sample \1|' \
    -e "s|^share/$portname/|%%DATADIR%%/|" -e "s|^etc/$portname/|%%ETCDIR%%/|" \
    -e "s|^share/doc/$portname/|%%DOCSDIR%%/|" -e "s|^share/examples/$portname/|%%EXAMPLESDIR%%/|")
extra=$(comm -13 "$work/installed.files" "$work/listed.files")
[ -z "$missing" ] || fail "dist/freebsd/pkg-plist lacks what cmake --install installs; add these lines:
$missing"
[ -z "$extra" ] || fail "the port's pkg-plist or PLIST_FILES lists files cmake --install does not install; remove:
$extra"

exit $failed
