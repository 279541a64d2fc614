#!/bin/sh
# The main job: the thermostat client against the simulated temperature
# daemon roomd, through the real /tmp/temp and /tmp/status, for a bounded
# time.  Stops both at the end, or at SIGINT or SIGTERM.
# usage: demo.sh CLIENT ROOMD [SECONDS [START-TEMPERATURE]]
set -u
client=$1
roomd=$2
seconds=${3:-90}
start=${4:-72}

echo "Heater ON below 69, OFF above 75; running for ${seconds} seconds."
"$roomd" "$seconds" "$start" &
roomd_pid=$!
"$client" &
client_pid=$!
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
echo "Stopped; /tmp/status holds the last command."
exit "$rc"
