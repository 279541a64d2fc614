#!/bin/sh
# Runs inside the guest at boot, as root: installs the packages from the
# payload disk, runs two zones on the real systemd and checks them.  Every
# check reports one line on the second serial port, which the host reads:
#   RESULT name pass|fail what was seen
set -u
payload=$(dirname "$0")
results=/dev/ttyS1
zones="a b"
cold=15                 # °C: the controller commands ON below 69 °F
hot=30                  # °C: and OFF above 75 °F
follow_s=60             # a client cycle is 5 s; TCG is slow
restart_s=60
watchdog_s=45           # WatchdogSec= and TimeoutAbortSec= with room to spare
intruder=intruder

say() { echo "check: $*"; }
report() {
	echo "RESULT $1 $2 $3" >"$results"
	say "$1 $2: $3"
}
# check NAME FUNCTION: runs the function, which leaves its story in $why.
check() {
	why=
	if "$2"; then report "$1" pass "${why:-ok}"; else report "$1" fail "${why:-failed}"; fi
}

# until SECONDS COMMAND...: polls every 0.2 s; fails once SECONDS are over.
until_true() {
	deadline=$(($(date +%s) + $1))
	shift
	while ! "$@"; do
		[ "$(date +%s)" -lt "$deadline" ] || return 1
		sleep 0.2
	done
}

state() { cat "/var/lib/ombrix/$1/$2" 2>/dev/null; }
heater_is() { [ "$(state "$1" heater)" = "$2" ]; }
# Replaced whole, so that the daemon never reads a half-written number.
set_temp() {
	echo "$2" >"/var/lib/ombrix/$1/sensor.new"
	mv "/var/lib/ombrix/$1/sensor.new" "/var/lib/ombrix/$1/sensor"
}
prop() { systemctl show -P "$2" "$1"; }
main_pid() { prop "$1" MainPID; }
substate_is() { [ "$(prop "$1" SubState)" = "$2" ]; }
running_anew() { substate_is "$1" running && [ "$(main_pid "$1")" != "$2" ]; }
# The zone's /tmp as one of its own processes sees it.
zone_cat() { nsenter -t "$(main_pid "$1")" -m cat "$2" 2>/dev/null; }
status_is() { [ "$(zone_cat "ombrix-client@$1.service" /tmp/status)" = "$2" ]; }

install_packages() {
	mkdir -p /root/debs
	cp "$payload"/*.deb /root/debs/
	out=$(apt-get install -y --no-install-recommends /root/debs/*.deb 2>&1) || {
		echo "$out"
		why="apt-get install failed offline: $(echo "$out" | grep -E '^E:|Depends' | head -3 | tr '\n' ' ')"
		return 1
	}
	id ombrix >/dev/null 2>&1 || { why="the package made no user ombrix"; return 1; }
	why="$(ls /root/debs | tr '\n' ' ')installed offline"
}

start_zones() {
	for z in $zones; do
		mkdir -p "/var/lib/ombrix/$z"
		echo 0 >"/var/lib/ombrix/$z/heater"
		set_temp "$z" $hot
		cat >"/etc/ombrix/$z.conf" <<-EOF
		# zone $z of the system test
		sensor=file:/var/lib/ombrix/$z/sensor
		heater=file:/var/lib/ombrix/$z/heater
		period=1
		# the steps switch a heater ON again seconds after its OFF
		min-off=0
		EOF
	done
	systemctl enable --now ombrix@a.target ombrix@b.target || { why="enable --now failed"; return 1; }
	for z in $zones; do
		until_true $restart_s substate_is "ombrixd@$z.service" running ||
			{ why="ombrixd@$z is $(prop "ombrixd@$z.service" SubState)"; return 1; }
		until_true $restart_s substate_is "ombrix-client@$z.service" running ||
			{ why="ombrix-client@$z is $(prop "ombrix-client@$z.service" SubState)"; return 1; }
	done
	why="both zones running"
}

# Each heater follows its own sensor, through its own controller.
zones_follow_sensors() {
	for step in "$cold $hot 1 0" "$hot $cold 0 1"; do
		set -- $step
		set_temp a "$1"
		set_temp b "$2"
		until_true $follow_s heater_is a "$3" || { why="a at $1 °C: heater $(state a heater)"; return 1; }
		until_true $follow_s heater_is b "$4" || { why="b at $2 °C: heater $(state b heater)"; return 1; }
		on_a=$([ "$3" = 1 ] && echo ON || echo OFF)
		on_b=$([ "$4" = 1 ] && echo ON || echo OFF)
		status_is a $on_a || { why="a's client commands $(zone_cat ombrix-client@a.service /tmp/status)"; return 1; }
		status_is b $on_b || { why="b's client commands $(zone_cat ombrix-client@b.service /tmp/status)"; return 1; }
	done
	why="a and b went ON and OFF, each with its own sensor and client"
}

tmp_of() { stat -L -c %d:%i "/proc/$(main_pid "$1")/root/tmp"; }
as_intruder() { setpriv --reuid=$intruder --regid=$intruder --init-groups "$@"; }
# As the daemon of zone a itself: its namespaces, and its user inside them.
as_zone_a() {
	nsenter -t "$(main_pid ombrixd@a.service)" -a -S "$(id -u ombrix)" -G "$(id -g ombrix)" "$@"
}

exchange_files_private() {
	[ "$(tmp_of ombrixd@a.service)" = "$(tmp_of ombrix-client@a.service)" ] ||
		{ why="a's daemon and client do not share /tmp"; return 1; }
	[ "$(tmp_of ombrixd@a.service)" != "$(tmp_of ombrixd@b.service)" ] ||
		{ why="zones a and b share /tmp"; return 1; }
	[ ! -e /tmp/temp ] && [ ! -e /tmp/status ] || { why="exchange files in the host's /tmp"; return 1; }
	ls -d /tmp/systemd-private-*@a.service-* >/dev/null 2>&1 || { why="no private /tmp of a on the host"; return 1; }
	pid_b=$(main_pid ombrixd@b.service)
	listing=$(as_zone_a ls -A /tmp)
	[ "$listing" = "$(printf 'status\ntemp')" ] || { why="zone a sees in /tmp: $listing"; return 1; }
	as_zone_a cat /tmp/temp >/dev/null || { why="zone a cannot read its own temp"; return 1; }
	as_zone_a cat "/proc/$pid_b/root/tmp/temp" &&
		{ why="zone a reads zone b's temp through /proc"; return 1; }

	useradd --no-create-home --shell /bin/sh $intruder 2>/dev/null || id $intruder >/dev/null ||
		{ why="no unprivileged user"; return 1; }
	for f in /tmp/systemd-private-*/tmp/temp /tmp/systemd-private-*/tmp/status \
		"/proc/$pid_b/root/tmp/temp"; do
		as_intruder cat "$f" >/dev/null 2>&1 && { why="$intruder reads $f"; return 1; }
	done
	as_intruder ls /tmp/systemd-private-*/ >/dev/null 2>&1 && { why="$intruder lists a private /tmp"; return 1; }
	for d in /tmp/systemd-private-*/tmp; do
		as_intruder sh -c "echo ON >$d/planted" 2>/dev/null && { why="$intruder plants in $d"; return 1; }
	done
	# What the intruder plants where the files used to be must change nothing:
	# zone a is hot and stays OFF through two controller cycles.
	as_intruder sh -c "echo ON >/tmp/status; echo 50.0 >/tmp/temp" || { why="cannot plant in /tmp"; return 1; }
	sleep 12
	heater_is a 0 && status_is a OFF || { why="zone a followed the planted files"; return 1; }
	rm -f /tmp/status /tmp/temp
	why="a's pair shares one /tmp; zone b and $intruder can neither read nor plant"
}

max_exposure=1.0
exposure_low() {
	why=
	for z in $zones; do
		for u in ombrixd@$z.service ombrix-client@$z.service; do
			level=$(systemd-analyze security "$u" 2>&1 | sed -n 's/.*Overall exposure level for [^:]*: \([0-9.]*\).*/\1/p')
			[ -n "$level" ] || { why="no exposure for $u"; return 1; }
			why="$why$u $level; "
			awk -v l="$level" -v m=$max_exposure 'BEGIN { exit !(l <= m) }' || return 1
		done
	done
}

kill_switches_off() {
	set_temp a $cold
	until_true $follow_s heater_is a 1 || { why="zone a never went ON"; return 1; }
	old=$(main_pid ombrixd@a.service)
	systemctl kill -s KILL ombrixd@a.service
	until_true $restart_s substate_is ombrixd@a.service auto-restart ||
		{ why="no restart pending after SIGKILL"; return 1; }
	heater_is a 0 || { why="heater $(state a heater) after SIGKILL"; return 1; }
	until_true $restart_s running_anew ombrixd@a.service "$old" || { why="the daemon did not come back"; return 1; }
	until_true $follow_s heater_is a 1 || { why="the restarted daemon did not heat"; return 1; }
	why="heater 0 after SIGKILL, daemon back as pid $(main_pid ombrixd@a.service), heating again"
}

# The daemon must not outlive its controller: the controller's last ON
# would heat on.  Both come back, the controller after its 5 s.
dead_controller_stops_daemon() {
	until_true $follow_s heater_is a 1 || { why="zone a is not ON"; return 1; }
	old=$(main_pid ombrixd@a.service)
	systemctl kill -s KILL ombrix-client@a.service
	until_true $restart_s heater_is a 0 || { why="heater $(state a heater) with its controller dead"; return 1; }
	until_true $restart_s running_anew ombrixd@a.service "$old" ||
		{ why="the daemon did not come back with its controller"; return 1; }
	until_true $follow_s heater_is a 1 || { why="the zone did not heat again"; return 1; }
	why="heater 0 once the controller died; the daemon back with it as pid $(main_pid ombrixd@a.service), heating"
}

watchdog_restarts() {
	until_true $follow_s heater_is a 1 || { why="zone a is not ON"; return 1; }
	old=$(main_pid ombrixd@a.service)
	t0=$(date +%s)
	kill -STOP "$old"
	until_true $watchdog_s substate_is ombrixd@a.service auto-restart ||
		{ why="the watchdog did not fire: $(prop ombrixd@a.service SubState)"; return 1; }
	heater_is a 0 || { why="heater $(state a heater) after the watchdog"; return 1; }
	took=$(($(date +%s) - t0))
	journalctl -b -u ombrixd@a.service -o cat | grep -q 'Watchdog timeout' ||
		{ why="no watchdog timeout in the journal"; return 1; }
	until_true $restart_s running_anew ombrixd@a.service "$old" || { why="the daemon did not come back"; return 1; }
	until_true $follow_s heater_is a 1 || { why="the restarted daemon did not heat"; return 1; }
	why="stopped daemon killed after ${took} s, heater 0 meanwhile, back heating"
}

stop_and_disable() {
	until_true $follow_s heater_is a 1 || { why="zone a is not ON"; return 1; }
	systemctl stop ombrix@a.target
	for u in ombrixd@a.service ombrix-client@a.service; do
		until_true $restart_s substate_is $u dead || { why="$u still $(prop $u SubState) after the stop"; return 1; }
	done
	heater_is a 0 || { why="heater $(state a heater) after the stop"; return 1; }
	systemctl -q is-active ombrixd@b.service || { why="stopping a stopped b"; return 1; }

	systemctl disable --now ombrix@a.target 2>/dev/null
	[ "$(systemctl is-enabled ombrix@a.target)" = disabled ] || { why="a still enabled"; return 1; }
	[ "$(systemctl is-enabled ombrix@b.target)" = enabled ] || { why="b no longer enabled"; return 1; }
	[ -f /etc/ombrix/a.conf ] || { why="a's configuration is gone"; return 1; }
	heater_is a 0 || { why="a's heater file is gone or ON"; return 1; }
	changed=$(dpkg -V ombrix)
	[ -z "$changed" ] || { why="package files changed: $changed"; return 1; }
	ls -d /tmp/systemd-private-*@a.service-* >/dev/null 2>&1 &&
		{ why="a's private /tmp outlives it"; return 1; }
	until_true $follow_s heater_is b 1 || { why="b stopped heating"; return 1; }
	why="a stopped with heater 0; disabled, only its private /tmp and link went; b runs on"
}

denials='type=1326|seccomp|SIGSYS|status=31/SYS|Bad system call|Permission denied|Operation not permitted|Read-only file system'
journal_clean() {
	for m in 'HEATER IS ON' 'HEATER IS OFF'; do
		journalctl -b -t ombrixd -p info..info -o cat | grep -q "^$m\$" ||
			{ why="no \"$m\" at info under ombrixd"; return 1; }
	done
	# A report reaches the journal once, through syslog, not again as stderr.
	twice=$(journalctl -b -u 'ombrixd@*' -o cat | grep '^ombrixd: ')
	[ -z "$twice" ] || { why="reported twice: $(echo "$twice" | head -2 | tr '\n' ' ')"; return 1; }
	seen=$(journalctl -b -k -o cat | grep -E "$denials"; \
		journalctl -b -u 'ombrix*' -o cat | grep -E "$denials")
	[ -z "$seen" ] || { why="denied: $(echo "$seen" | head -3 | tr '\n' ' ')"; return 1; }
	why="library lines at info under ombrixd; each report once; no denial in the journal or kernel log"
}

# A heater on an LED-class relay, in sysfs, which ProtectKernelTunables=
# makes read-only: the udev rule and drop-in of docs/hardware.md open its one file.
# The guest's keyboard LED stands in for the relay.
led_heater() {
	led=$(ls /sys/class/leds | grep -m1 capslock) || { why="no LED in this guest"; return 1; }
	cat >/etc/udev/rules.d/70-ombrix-led.rules <<-EOF
	SUBSYSTEM=="leds", KERNEL=="$led", RUN+="/bin/chgrp ombrix /sys%p/brightness", RUN+="/bin/chmod g+w /sys%p/brightness"
	EOF
	udevadm control --reload
	udevadm trigger --action=add --subsystem-match=leds
	udevadm settle
	[ "$(stat -c %G "/sys/class/leds/$led/brightness")" = ombrix ] || { why="the udev rule did not apply"; return 1; }
	mkdir -p /var/lib/ombrix/led
	set_temp led $cold
	cat >/etc/ombrix/led.conf <<-EOF
	sensor=file:/var/lib/ombrix/led/sensor
	heater=file:/sys/class/leds/$led/brightness
	period=1
	EOF
	brightness_is() { [ "$(cat "/sys/class/leds/$led/brightness")" = "$1" ]; }
	systemctl start ombrix@led.target
	until_true 10 brightness_is 1 && { why="the LED lit without the drop-in"; return 1; }
	systemctl stop ombrix@led.target
	mkdir -p /etc/systemd/system/ombrixd@led.service.d
	cat >/etc/systemd/system/ombrixd@led.service.d/led.conf <<-EOF
	[Service]
	ReadWritePaths=/sys/class/leds/$led/brightness
	EOF
	systemctl daemon-reload
	systemctl start ombrix@led.target
	until_true $follow_s brightness_is 1 || { why="the LED stayed dark with the drop-in"; return 1; }
	set_temp led $hot
	until_true $follow_s brightness_is 0 || { why="the LED stayed lit when hot"; return 1; }
	systemctl stop ombrix@led.target
	why="$led: read-only without the drop-in; with it ON and OFF"
}

# An MQTT zone: the drop-in of docs/mqtt.md gives the daemon the host's network,
# and only loopback, where the guest runs a broker; its /tmp stays shared.
mqtt_heater() {
	plug=ombrix-test/mqtt/plug
	mkdir -p /var/lib/ombrix/mqtt
	set_temp mqtt $cold
	cat >/etc/ombrix/mqtt.conf <<-EOF
	sensor=file:/var/lib/ombrix/mqtt/sensor
	heater=mqtt:$plug
	mqtt=mqtt://127.0.0.1
	period=1
	EOF
	mkdir -p /etc/systemd/system/ombrixd@mqtt.service.d
	cat >/etc/systemd/system/ombrixd@mqtt.service.d/mqtt.conf <<-EOF
	[Service]
	PrivateNetwork=no
	RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6
	IPAddressAllow=localhost
	EOF
	systemctl daemon-reload
	systemctl start ombrix@mqtt.target
	# The daemon starts with OFF, and sends the command again every period.
	plug_says() { timeout $follow_s mosquitto_sub -h 127.0.0.1 -t $plug | grep -q -m1 -x "$1"; }
	plug_says ON || { why="the plug never got ON"; return 1; }
	[ "$(tmp_of ombrixd@mqtt.service)" = "$(tmp_of ombrix-client@mqtt.service)" ] ||
		{ why="the daemon left its controller's /tmp"; return 1; }
	plug_says OFF &
	sleep 2
	systemctl stop ombrix@mqtt.target
	wait $! || { why="the plug got no OFF at the stop"; return 1; }
	why="ON over the broker, OFF at the stop, /tmp still shared"
}

say "starting"
check packages_install install_packages
check zones_start start_zones
check zones_follow_sensors zones_follow_sensors
check exchange_files_private exchange_files_private
check exposure_at_most_1 exposure_low
check kill_switches_heater_off kill_switches_off
check dead_controller_stops_daemon dead_controller_stops_daemon
check watchdog_restarts_hung_daemon watchdog_restarts
check stop_and_disable_zone stop_and_disable
check journal_clean journal_clean
check led_heater_drop_in led_heater
check mqtt_heater_drop_in mqtt_heater
journalctl -b -u 'ombrix*' --no-pager | tail -60
echo "DONE" >"$results"
say "done"
