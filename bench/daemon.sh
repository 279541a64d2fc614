# The daemon's measures for the footprint table, sourced by footprint.sh
# inside its private /tmp: ombrixd with a file: sensor and heater, alone
# (the status file holds a command; no client), over one-second periods.
# Sets d_rss, d_anon, d_cpu and d_wake.  Needs $build.
daemon=$build/daemon/ombrixd
periods=20 warmup=3     # one-second periods; the first few are start-up

mkdir -p /tmp/daemon && cd /tmp/daemon
printf '21.5\n' >sensor
printf '0\n' >heater
printf 'OFF\n' >status
daemon_args="--sensor file:sensor --heater file:heater --temp-file temp --status-file status --period 1"

# A field of /proc/PID/task/*/status, summed over the threads.
sum_status() { cat /proc/"$1"/task/*/status 2>/dev/null | awk -v f="$2:" '$1 == f { n += $2 } END { print n + 0 }'; }
wakeups() { echo $(($(sum_status "$1" voluntary_ctxt_switches) + $(sum_status "$1" nonvoluntary_ctxt_switches))); }
# CPU time of every thread in ns, from schedstat.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ n += $1 } END { printf "%.0f", n }'; }

# shellcheck disable=SC2086
"$daemon" $daemon_args --duration $((warmup + periods + 2)) >/dev/null 2>&1 &
pid=$!
sleep "$warmup"
w0=$(wakeups $pid) c0=$(cpu_ns $pid)
sleep "$periods"
w1=$(wakeups $pid) c1=$(cpu_ns $pid)
d_anon=$(awk '$1 == "RssAnon:" { print $2 }' /proc/$pid/status)
wait $pid
d_wake=$(awk -v a="$w0" -v b="$w1" -v n="$periods" 'BEGIN { printf "%.1f", (b - a) / n }')
d_cpu=$(awk -v a="$c0" -v b="$c1" -v n="$periods" 'BEGIN { printf "%.0f", (b - a) / n / 1000 }')

# shellcheck disable=SC2086
/usr/bin/time -f '%M' -o /tmp/daemon/rss "$daemon" $daemon_args --duration 5 >/dev/null 2>&1
d_rss=$(cat /tmp/daemon/rss)
cd /tmp
