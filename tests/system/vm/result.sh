#!/bin/sh
# One check's outcome from the guest run: passes or fails as the guest saw
# it, and is skipped with the boot's reason when no guest could boot.
# usage: result.sh RESULTS_FILE CHECK
set -eu
results=$1 name=$2
[ -f "$results" ] || { echo "no results: the guest did not run"; exit 1; }
if grep -q '^SKIP ' "$results"; then
	sed 's/^SKIP //' "$results"
	exit 77
fi
line=$(grep "^RESULT $name " "$results") || { echo "$name did not report"; exit 1; }
echo "$line"
case $line in
"RESULT $name pass "*) exit 0 ;;
esac
exit 1
