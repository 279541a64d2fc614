#!/bin/sh
# The package test cross-builds only where it can: with the arm64
# Build-Depends installed but no cross compiler on PATH it must not try
# (the build would fail at configure); with both, it must.
# usage: cross_ready_test.sh SOURCE_DIR WORK_DIR
set -eu
src=$1 work=$2
ready=$(dirname "$0")/cross_ready.sh
skip=77

sh "$ready" "$src" || { echo "skipped: no arm64 cross build here (./check --arm64-tools)"; exit $skip; }

# Every program on PATH but the cross compilers, as links; the first of a
# name wins, as on PATH.
rm -rf "$work" && mkdir -p "$work/bin"
for dir in $(echo "$PATH" | tr ':' ' '); do
	[ -d "$dir" ] && cp -rsn "$(realpath "$dir")/." "$work/bin/"
done
rm -f "$work"/bin/aarch64-linux-gnu-*
if PATH=$work/bin sh "$ready" "$src"; then
	echo "FAIL: ready to cross-build without aarch64-linux-gnu-gcc and -g++"
	exit 1
fi
echo "ready with the cross compilers, not without them"
