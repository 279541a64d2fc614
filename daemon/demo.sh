#!/bin/sh
# The main job: the thermostat client against ombrixd with its simulated
# room (--sensor sim --heater sim), through the real /tmp/temp and
# /tmp/status, for a bounded time.  Half way through, the target drops from
# 72 to 66 °F, a night setback, set as on a board: kept in the zone's state
# folder, then SIGUSR1 (what systemctl reload sends).  Stops both at the
# end, or at SIGINT or SIGTERM.  ombrixd's state lines go to demo.log in DEMO_OUT (default:
# here) and, where gnuplot is installed, make a picture of the run there,
# demo.svg.
# EMULATOR, when set, is the command that runs both programs: qemu-user
# for a cross build's tests.
# usage: demo.sh CLIENT OMBRIXD [SECONDS]
set -u
emulator=${EMULATOR:-}
client=$1
ombrixd=$2
seconds=${3:-90}
out=${DEMO_OUT:-.}
log=$out/demo.log
svg=$out/demo.svg

band=6
setback=66
# The simulated room heats and cools in seconds where a real one takes
# minutes: its heater rests seconds, not --min-off's two minutes.
min_off=10
state=$(mktemp -d) || exit 1
echo "Target 72: heater ON below 69, OFF above 75; after $((seconds / 2)) s the target is $setback."
echo "Running for ${seconds} seconds."
$emulator "$ombrixd" --sensor sim --heater sim --period 1 --duration "$seconds" --band "$band" \
	--min-off "$min_off" --state-dir "$state" >"$log" &
daemon_pid=$!
(
	trap 'kill "$nap" 2>/dev/null; wait "$nap"; exit 0' TERM  # reaped: nothing outlives the demo
	sleep $((seconds / 2)) &
	nap=$!
	wait "$nap"
	$emulator "$ombrixd" --state-dir "$state" --band "$band" --set-target "$setback" &&
		kill -USR1 "$daemon_pid"
) &
setter_pid=$!
$emulator "$client" &
client_pid=$!
tail -n +1 -f --pid="$daemon_pid" "$log" &
tail_pid=$!
interrupted=0
trap 'interrupted=1; kill -TERM "$daemon_pid" 2>/dev/null' INT TERM

# A trapped signal ends a wait early with its own status, 128 and more,
# whether ombrixd is still running or the shell has just reaped it: only
# another wait gives ombrixd's own.
rc=0
wait "$daemon_pid" || rc=$?
while [ "$interrupted" = 1 ]; do
	interrupted=0
	rc=0
	wait "$daemon_pid" || rc=$?
done
kill -TERM "$client_pid" "$setter_pid" 2>/dev/null
wait "$client_pid" 2>/dev/null
wait "$setter_pid" 2>/dev/null
rm -rf "$state"
wait "$tail_pid" 2>/dev/null
echo "Stopped; the heater is OFF and /tmp/status holds the last command."

# The state lines as columns for gnuplot: seconds since the first line,
# temperature, heater, target.
awk '{
	split(substr($1, 12), hms, ":")
	s = hms[1] * 3600 + hms[2] * 60 + hms[3]
	if (NR == 1) first = s
	if (s < first) s += 86400
	for (i = 2; i <= NF; i++) { split($i, kv, "="); f[kv[1]] = kv[2] }
	if (f["temp"] != "-") print s - first, f["temp"], f["heater"], f["target"]
}' "$log" >"$log.dat"
if command -v gnuplot >/dev/null; then
	gnuplot -e "log='$log.dat'; out='$svg'; band=$band" "$(dirname "$0")/plot.gp" &&
		echo "Picture of the run: $(realpath "$svg")"
else
	echo "No picture of the run: gnuplot is not installed (apt-get install gnuplot-nox)."
fi
exit "$rc"
