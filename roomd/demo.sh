#!/bin/sh
# The main job: the thermostat client against the simulated temperature
# daemon roomd, through the real /tmp/temp and /tmp/status, for a bounded
# time.  Stops both at the end, or at SIGINT or SIGTERM.  roomd's lines go
# to demo.log in DEMO_OUT (default: here) and, where gnuplot is installed,
# make a picture of the run there, demo.svg.
# usage: demo.sh CLIENT ROOMD [SECONDS [START-TEMPERATURE]]
set -u
client=$1
roomd=$2
seconds=${3:-90}
start=${4:-72}
out=${DEMO_OUT:-.}
log=$out/demo.log
svg=$out/demo.svg

echo "Heater ON below 69, OFF above 75; running for ${seconds} seconds."
"$roomd" "$seconds" "$start" >"$log" &
roomd_pid=$!
"$client" &
client_pid=$!
tail -n +1 -f --pid="$roomd_pid" "$log" &
tail_pid=$!
trap 'kill -TERM "$roomd_pid" 2>/dev/null' INT TERM

# A trapped signal ends a wait early: wait again until roomd is gone.
rc=0
wait "$roomd_pid" || rc=$?
while kill -0 "$roomd_pid" 2>/dev/null; do
	rc=0
	wait "$roomd_pid" || rc=$?
done
kill -TERM "$client_pid" 2>/dev/null
wait "$client_pid" 2>/dev/null
wait "$tail_pid" 2>/dev/null
echo "Stopped; /tmp/status holds the last command."

if command -v gnuplot >/dev/null; then
	gnuplot -e "log='$log'; out='$svg'" "$(dirname "$0")/plot.gp" &&
		echo "Picture of the run: $(realpath "$svg")"
else
	echo "No picture of the run: gnuplot is not installed (apt-get install gnuplot-nox)."
fi
exit "$rc"
