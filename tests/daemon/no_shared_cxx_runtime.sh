#!/bin/sh
# ombrixd carries the C++ runtime inside: a shared libstdc++ or libgcc_s
# would cost each zone's daemon their relocated data of its own again.
# usage: no_shared_cxx_runtime.sh READELF PROGRAM
set -eu
needed=$("$1" -d "$2" | sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p')
echo "$needed" | grep -qx 'libc\.so\.6' || { echo "FAIL: no libc.so.6 among what it needs: $needed"; exit 1; }
if echo "$needed" | grep -E '^(libstdc\+\+|libgcc_s)'; then
	echo "FAIL: ombrixd needs the shared C++ runtime above"
	exit 1
fi
echo "ombrixd needs only: $(echo $needed)"
