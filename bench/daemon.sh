# The daemon's measures for the footprint table, sourced by footprint.sh
# inside its private /tmp.  Each zone runs as its units run it: the real
# client, and ombrixd --zone=bench --config=FILE beside it, over
# one-second periods; a file: zone, an MQTT zone and an mqtts one, the two
# on a mosquitto of our own on loopback.
#
# What a zone costs a board is what it adds: the private memory it dirties
# (Private_Dirty of /proc/PID/smaps_rollup) and its page tables (VmPTE), of
# the daemon and the client together.  Clean pages of the programs and the
# libraries are shared page cache that every zone uses at once.
# Sets z_file, z_mqtt, z_mqtts (KiB per zone), d_rss, d_cpu and d_wake.
# Needs $build.
daemon=$build/daemon/ombrixd
client=$build/controller/client
periods=20 warmup=3     # one-second periods; the first few are start-up

mkdir -p /tmp/daemon && cd /tmp/daemon

# A field of /proc/PID/task/*/status, summed over the threads.
sum_status() { cat /proc/"$1"/task/*/status 2>/dev/null | awk -v f="$2:" '$1 == f { n += $2 } END { print n + 0 }'; }
# The sleeps the daemon chose; a thread the scheduler preempted did not
# wake up, it was made to wait, as often as the machine is busy.
wakeups() { sum_status "$1" voluntary_ctxt_switches; }
# CPU time of every thread in ns, from schedstat.
cpu_ns() { cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ n += $1 } END { printf "%.0f", n }'; }
# What a process holds of its own: private dirty pages and page tables, KiB.
own_kb() {
	echo $(($(awk '$1 == "Private_Dirty:" { print $2 }' /proc/"$1"/smaps_rollup) +
		$(awk '$1 == "VmPTE:" { print $2 }' /proc/"$1"/status)))
}

# A loopback port nothing listens on, from /proc/net/tcp; after $1 if given.
free_port() {
	p=${1:-$((20000 + $$ % 20000))}
	while grep -qi ":$(printf %04X $((p + 1))) " /proc/net/tcp; do p=$((p + 1)); done
	echo $((p + 1))
}

# A broker on loopback with a plain and a TLS listener, and a CA of our own.
start_broker() {
	openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
		-subj '/CN=bench CA' -keyout ca.key -out ca.crt 2>/dev/null
	openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=localhost \
		-keyout server.key -out server.csr 2>/dev/null
	echo 'subjectAltName=IP:127.0.0.1' >server.ext
	openssl x509 -req -days 2 -in server.csr -CA ca.crt -CAkey ca.key -CAcreateserial \
		-extfile server.ext -out server.crt 2>/dev/null
	port=$(free_port)
	tls_port=$(free_port "$port")
	cat >mosquitto.conf <<-EOF
	user root
	persistence false
	listener $port 127.0.0.1
	listener $tls_port 127.0.0.1
	cafile /tmp/daemon/ca.crt
	certfile /tmp/daemon/server.crt
	keyfile /tmp/daemon/server.key
	allow_anonymous true
	EOF
	/usr/sbin/mosquitto -c mosquitto.conf >broker.log 2>&1 &
	broker_pid=$!
	sleep 1
}

# zone KIND: writes the zone's options; file, mqtt or mqtts.
zone() {
	printf '21.5\n' >sensor
	printf '0\n' >heater
	cat >zone.conf <<-EOF
	sensor=file:/tmp/daemon/sensor
	period=1
	EOF
	case $1 in
	file) echo 'heater=file:/tmp/daemon/heater' >>zone.conf ;;
	mqtt) printf 'heater=mqtt:bench/plug\nmqtt=mqtt://127.0.0.1:%s\n' "$port" >>zone.conf ;;
	mqtts) printf 'heater=mqtt:bench/plug\nmqtt=mqtts://127.0.0.1:%s\nmqtt-ca=/tmp/daemon/ca.crt\n' \
		"$tls_port" >>zone.conf ;;
	esac
}

# measure KIND: runs the zone, and sets own (KiB per zone), and for the
# file: zone rss, cpu and wake as well.
measure() {
	zone "$1"
	rm -f /tmp/temp /tmp/status
	"$client" 2>/dev/null &
	client_pid=$!
	# As under the unit's WatchdogSec=15s: the pings ride on other wakeups.
	WATCHDOG_USEC=15000000 "$daemon" --zone=bench --config=/tmp/daemon/zone.conf \
		--duration $((warmup + periods + 2)) >/dev/null 2>&1 &
	pid=$!
	sleep "$warmup"
	w0=$(wakeups $pid) c0=$(cpu_ns $pid)
	sleep "$periods"
	w1=$(wakeups $pid) c1=$(cpu_ns $pid)
	own=$(($(own_kb $pid) + $(own_kb $client_pid)))
	rss=$(awk '$1 == "VmHWM:" { print $2 }' /proc/$pid/status)
	wait $pid
	kill $client_pid
	wait $client_pid 2>/dev/null || true  # ended by our SIGTERM
	wake=$(awk -v a="$w0" -v b="$w1" -v n="$periods" 'BEGIN { printf "%.1f", (b - a) / n }')
	cpu=$(awk -v a="$c0" -v b="$c1" -v n="$periods" 'BEGIN { printf "%.0f", (b - a) / n / 1000 }')
}

# A build just written is dirty page cache, which smaps counts as the
# process's own private dirty pages until it is written back.
sync
measure file
z_file=$own d_rss=$rss d_cpu=$cpu d_wake=$wake
z_mqtt=- z_mqtts=-
if [ -x /usr/sbin/mosquitto ] && command -v openssl >/dev/null; then
	start_broker
	measure mqtt
	z_mqtt=$own
	measure mqtts
	z_mqtts=$own
	kill $broker_pid
	wait $broker_pid 2>/dev/null || true
fi
