#!/bin/sh
# ./check stops when dpkg-checkbuilddeps cannot read debian/control, instead
# of taking the error for nothing missing and going on with a build that
# lacks what the file asks for.
# usage: check_control_test.sh SOURCE_DIR WORK_DIR
set -eu
src=$1 work=$2
command -v dpkg-checkbuilddeps >/dev/null || { echo "skipped: dpkg-checkbuilddeps is not installed"; exit 77; }

rm -rf "$work"
sh "$src/tests/copy_tree.sh" "$src" "$work"
# A relation cut short: the source paragraph no longer parses.
sed -i 's/^ cmake (>= [0-9.]*),$/ cmake (>= ,/' "$work/debian/control"
grep -q '^ cmake (>= ,$' "$work/debian/control" || { echo "FAIL: found no cmake line to break"; exit 1; }
if out=$(sh "$work/check" --tools 2>&1); then
	echo "FAIL: ./check --tools passed with a debian/control it cannot read: $out"
	exit 1
fi
echo "$out" | grep -q '^check: dpkg-checkbuilddeps' || { echo "FAIL: ./check failed without naming the cause: $out"; exit 1; }
echo "./check stopped: $out"
