#!/bin/sh
# The footprint benchmark: prints one table of what a controller cycle and a
# library call cost, beside the budgets and the floor (the calls no
# implementation can avoid).  Needs root (a private /tmp), strace and valgrind.
# With ARM64_DIR, a cross build of the same programs (bench/CMakeLists.txt
# makes it where the cross tools are installed), an arm64 column beside:
# measured under qemu-user, which gives the guest's own system calls
# (-strace) and heap, but not its instructions, memory or time.
# usage: footprint.sh BUILD_DIR [ARM64_DIR]
set -eu
build=$(realpath "$1")
arm64=${2:+$(realpath "$2")}
client=$build/controller/client
shim=$build/bench/libcycle_shim.so
lib_bench=$build/bench/lib_bench
few=1000 many=3000      # cycles; the difference cancels start-up costs

if [ "${FOOTPRINT_ISOLATED:-}" != 1 ]; then
	scratch=$(mktemp -d)
	trap 'rm -rf "$scratch"' EXIT
	FOOTPRINT_ISOLATED=1 unshare -m sh -c \
		"mount --make-rprivate / && mount --bind '$scratch' /tmp && sh '$0' '$build' '$arm64'"
	exit
fi
cd /tmp

# prepare KIND: the files for a cycle that writes no command (steady) or
# one that writes a command every cycle (command).
prepare() {
	printf 'OFF\n' >/tmp/status
	if [ "$1" = steady ]; then printf '72.000000\n' >/tmp/temp; else printf '60.000000\n' >/tmp/temp; fi
}
reset_for() { [ "$1" = command ] && echo 1 || echo; }

# syscalls KIND CYCLES: system calls of the client over CYCLES cycles.
syscalls() {
	prepare "$1"
	strace -f -c -o /tmp/strace.out -E LD_PRELOAD="$shim" -E BENCH_CYCLES="$2" \
		-E BENCH_RESET="$(reset_for "$1")" "$client" 2>/dev/null
	awk '$NF == "total" { print $(NF-2) }' /tmp/strace.out
}

# instructions KIND CYCLES: instructions the client executes, by callgrind.
instructions() {
	prepare "$1"
	LD_PRELOAD="$shim" BENCH_CYCLES="$2" BENCH_RESET="$(reset_for "$1")" \
		valgrind --tool=callgrind --callgrind-out-file=/dev/null "$client" 2>&1 |
		awk '/Collected/ { print $NF }'
}

per_cycle() { echo $((($2 - $1) / (many - few))); }

# guest_calls KIND CYCLES: system calls of the arm64 client, as qemu-user
# saw the guest make them; one line each.
guest_calls() {
	prepare "$1"
	BENCH_CYCLES="$2" BENCH_RESET="$(reset_for "$1")" \
		qemu-aarch64-static -E LD_PRELOAD="$arm64/bench/libcycle_shim.so" -strace \
		"$arm64/controller/client" 2>&1 >/dev/null | grep -c '^[0-9]* [a-z_0-9]*('
}
guest_lib_calls() {
	qemu-aarch64-static -strace "$arm64/bench/lib_bench" --calls "$1" "$2" 2>&1 >/dev/null |
		grep -c '^[0-9]* [a-z_0-9]*('
}

steady_sys=$(per_cycle "$(syscalls steady $few)" "$(syscalls steady $many)")
# each command cycle includes the benchmark's own pwrite of "OFF\n"
command_sys=$(($(per_cycle "$(syscalls command $few)" "$(syscalls command $many)") - 1))
steady_ins=$(per_cycle "$(instructions steady $few)" "$(instructions steady $many)")
command_ins=$(per_cycle "$(instructions command $few)" "$(instructions command $many)")

prepare command
LD_PRELOAD="$shim" BENCH_CYCLES=$many BENCH_RESET=1 BENCH_HEAP=/tmp/heap \
	/usr/bin/time -f '%M' -o /tmp/rss "$client"
read -r heap_first heap_most </tmp/heap
rss_kb=$(cat /tmp/rss)

# The library, in a folder of its own.
mkdir -p /tmp/lib && cd /tmp/lib
printf 'OFF\n' >status
lib_calls() {
	strace -f -c -o /tmp/strace.out "$lib_bench" --calls "$1" "$2" 2>/dev/null
	awk '$NF == "total" { print $(NF-2) }' /tmp/strace.out
}
write_sys=$(per_cycle "$(lib_calls write $few)" "$(lib_calls write $many)")
read_sys=$(per_cycle "$(lib_calls read $few)" "$(lib_calls read $many)")
"$lib_bench" --benchmark_format=csv 2>/dev/null >/tmp/lib.csv
ns() { awk -F, -v n="\"$1\"" '$1 == n { printf "%.0f", $4 }' /tmp/lib.csv; }

# The arm64 column: the same measures, where emulation gives them.
a_steady=- a_command=- a_first=- a_growth=- a_write=- a_read=-
if [ -n "$arm64" ] && [ -x "$arm64/controller/client" ]; then
	cd /tmp
	a_steady=$(per_cycle "$(guest_calls steady $few)" "$(guest_calls steady $many)")
	a_command=$(($(per_cycle "$(guest_calls command $few)" "$(guest_calls command $many)") - 1))
	prepare command
	BENCH_CYCLES=$many BENCH_RESET=1 BENCH_HEAP=/tmp/heap \
		qemu-aarch64-static -E LD_PRELOAD="$arm64/bench/libcycle_shim.so" "$arm64/controller/client"
	read -r a_first a_most </tmp/heap
	a_growth=$((a_most - a_first))
	cd /tmp/lib
	a_write=$(per_cycle "$(guest_lib_calls write $few)" "$(guest_lib_calls write $many)")
	a_read=$(per_cycle "$(guest_lib_calls read $few)" "$(guest_lib_calls read $many)")
fi

. "$(dirname "$0")/daemon.sh"

verdict() { [ "$1" -le "$2" ] && echo ok || echo OVER; }
printf '%-46s %9s %9s %8s %7s  %s\n' "measure" "x86-64" "arm64" "budget" "floor" ""
row() { printf '%-46s %9s %9s %8s %7s  %s\n' "$@"; }
row "client cycle, no command: system calls" "$steady_sys" "$a_steady" 11 7 "$(verdict "$steady_sys" 11)"
row "client cycle, command: system calls" "$command_sys" "$a_command" 16 10 "$(verdict "$command_sys" 16)"
row "client cycle, no command: instructions" "$steady_ins" - - - ""
row "client cycle, command: instructions" "$command_ins" - - - ""
row "client heap in use after cycle 1 (bytes)" "$heap_first" "$a_first" - - ""
row "client heap growth over $many cycles (bytes)" "$((heap_most - heap_first))" "$a_growth" 0 0 "$(verdict $((heap_most - heap_first)) 0)"
row "client peak resident memory (KiB)" "$rss_kb" - 1536 - "$(verdict "$rss_kb" 1536)"
row "ombrix_write_temperature: system calls" "$write_sys" "$a_write" 5 3 "$(verdict "$write_sys" 5)"
row "ombrix_write_temperature: time (ns)" "$(ns BM_write_temperature)" - - - ""
row "read attempt, waits seamed out: system calls" "$read_sys" "$a_read" - 3 ""
row "read attempt, waits seamed out: time (ns)" "$(ns BM_read_attempt)" - - - ""
# What each zone adds to a board: the daemon's and the client's private
# dirty memory and page tables.  The rest of their resident memory is the
# programs' and libraries' clean pages, page cache that all zones share.
row "zone, file: heater: own memory (KiB)" "$z_file" - 400 - "$(verdict "$z_file" 400)"
row "zone, MQTT plug: own memory (KiB)" "$z_mqtt" - 800 - "$([ "$z_mqtt" = - ] || verdict "$z_mqtt" 800)"
row "zone, MQTT plug over TLS: own memory (KiB)" "$z_mqtts" - 800 - "$([ "$z_mqtts" = - ] || verdict "$z_mqtts" 800)"
# The second row: every page the daemon had, shared ones included.
row "ombrixd peak resident memory (KiB)" "$d_rss" - - - ""
row "ombrixd CPU time per period (us)" "$d_cpu" - - - ""
# The floor: the sensor thread's sleep, the publisher's wait for the
# reading, the reader's sleep and the library's one-second wait, and the
# supervisor's wakes for the reading and the command.
row "ombrixd wakeups per period" "$d_wake" - 7 6 "$(awk -v w="$d_wake" 'BEGIN { print (w <= 7 ? "ok" : "OVER") }')"
if [ "$a_steady" != - ]; then
	echo "arm64: cross-built, run under qemu-user.  System calls are the guest's own, from"
	echo "qemu's -strace; heap is the guest's malloc.  Instructions, resident memory and"
	echo "times under qemu are qemu's, so none is given; the verdicts are x86-64's."
else
	echo "arm64: not measured (no cross build: crossbuild-essential-arm64, qemu-user-static"
	echo "and libbenchmark-dev:arm64 make one)."
fi
