#!/bin/sh
# Runs the FreeBSD check (../shared/freebsd-check/check.sh) on this tree.
# A copy of the check that lost its sysroot's symbolic links (each became a
# small file holding the link's target, as some copies do) cannot compile a
# thing: it is then run from a private copy with the links made again.
set -eu
cd "$(dirname "$0")/.."
check=${FREEBSD_CHECK:-../shared/freebsd-check}
sysroot=$check/freebsd-sysroot
flattened() {
    [ -f "$sysroot/usr/include/stdint.h" ] && [ ! -L "$sysroot/usr/include/stdint.h" ] &&
        [ "$(wc -c <"$sysroot/usr/include/stdint.h")" -lt 64 ]
}
if [ ! -d "$sysroot" ] || ! flattened; then
    exec sh "$check/check.sh" "$@"
fi
copy=$(mktemp -d /tmp/freebsd-check-copy.XXXXXX)
trap 'rm -rf "$copy"' EXIT INT TERM
cp -R "$check/." "$copy/"
chmod -R u+w "$copy"
# A file of a few bytes whose text names a file beside it was a link.
find "$copy/freebsd-sysroot" -type f -size -64c >"$copy/small"
relinked=0
while IFS= read -r file; do
    target=$(cat "$file")
    case $target in *.h | *.so* | *.a) ;; *) continue ;; esac
    [ -e "$(dirname "$file")/$target" ] || continue
    ln -sf "$target" "$file"
    relinked=$((relinked + 1))
done <"$copy/small"
echo "freebsd-check: the sysroot's links had become files; $relinked made again in a private copy"
sh "$copy/check.sh" "$@"
