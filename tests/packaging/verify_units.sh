#!/bin/sh
# Installs the build into a scratch prefix and has systemd-analyze verify
# the zone's units there; any complaint, even a warning, fails.  Each
# service must also rate an exposure of at most 1.0 (threshold 10 of 100).
# usage: verify_units.sh BUILD_DIR WORK_DIR
set -eu
build=$1 work=$2
max_exposure=10
rm -rf "$work"
cmake --install "$build" --prefix "$work" >/dev/null
units=$work/lib/systemd/system
out=$(systemd-analyze verify --man=no "$units"/*.service "$units"/*.target 2>&1)
if [ -n "$out" ]; then
	echo "$out"
	exit 1
fi
for unit in "$units"/*@.service; do
	instance=$(basename "$unit" | sed 's/@\./@zone1./')
	# The offline check reads the file by its instance name.
	cp "$unit" "$work/$instance"
	systemd-analyze security --offline=yes --threshold=$max_exposure \
		"$work/$instance" >"$work/$instance.security" 2>&1 || {
		cat "$work/$instance.security"
		exit 1
	}
	grep 'Overall exposure' "$work/$instance.security"
done
echo "units verified: $(ls "$units")"
