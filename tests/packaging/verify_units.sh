#!/bin/sh
# Installs the build into a scratch prefix and has systemd-analyze verify
# the service units there; any complaint, even a warning, fails.
# usage: verify_units.sh BUILD_DIR WORK_DIR
set -eu
build=$1 work=$2
rm -rf "$work"
cmake --install "$build" --prefix "$work" >/dev/null
out=$(systemd-analyze verify --man=no "$work"/lib/systemd/system/*.service 2>&1)
if [ -n "$out" ]; then
	echo "$out"
	exit 1
fi
echo "units verified: $(ls "$work"/lib/systemd/system)"
