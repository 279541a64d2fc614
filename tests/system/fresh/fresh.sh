#!/bin/sh
# A fresh Debian machine follows the README: a clean bookworm root, made
# anew with mmdebstrap each run, gets the project's files as git tracks
# them, and nothing else.  In it the README's commands run as written, each
# in a root of its own so that none installs for another: the cross build
# for an arm64 board; CI's installs and the start of its arm64 suite; and
# ./demo for real, then ./check, which builds everything and runs every
# test.  A package the scripts forget shows as a
# failed step, a program the build did not find, or a skipped test.  The
# build's dependencies must not enable or start services, but for the
# broker that ./check says it brings.
# usage: fresh.sh SOURCE_DIR WORK_DIR
# Needs root, mmdebstrap and Debian's archive, deb.debian.org.
set -eu
src=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
skip=77
home=/root/ombrix       # where the project lands in each root
suite=bookworm

[ "$(id -u)" = 0 ] || { echo "skipped: needs root (mmdebstrap, chroot, mounts)"; exit $skip; }
for tool in mmdebstrap unshare chroot; do
	command -v $tool >/dev/null || { echo "skipped: $tool is not installed"; exit $skip; }
done

fail() {
	echo "FAIL: $*"
	exit 1
}

# The README must still say what runs here.
for line in './demo' './check' './check --arm64-tools' 'dpkg-buildpackage -us -uc -b -a arm64 -Pnocheck'; do
	grep -qF -- "$line" "$src/README.md" || fail "the README no longer says $line"
done

rm -rf "$work"
mkdir -p "$work"
t0=$(date +%s)
mmdebstrap --quiet --variant=minbase "$suite" "$work/clean" \
	"deb http://deb.debian.org/debian $suite main" \
	"deb http://deb.debian.org/debian $suite-updates main" \
	"deb http://deb.debian.org/debian-security $suite-security main" >"$work/mmdebstrap.log" 2>&1 ||
	{ tail -20 "$work/mmdebstrap.log"; fail "mmdebstrap could not make the root"; }
# Nothing starts in these roots; each request is kept for the checks.
cat >"$work/clean/usr/sbin/policy-rc.d" <<'EOF'
#!/bin/sh
echo "$*" >>/var/log/policy-rc.d.calls
exit 101
EOF
chmod 755 "$work/clean/usr/sbin/policy-rc.d"
sh "$here/../../copy_tree.sh" "$src" "$work/clean$home"
echo "a clean $suite root with the project: $(($(date +%s) - t0)) s"

# new_root NAME: a copy of the clean root.
new_root() {
	cp -a "$work/clean" "$work/$1"
}

# in_root NAME COMMAND: runs COMMAND in the root's project folder, as root
# on a fresh machine would, with no environment but the basic one (and
# CMAKE_BUILD_PARALLEL_LEVEL, which only sets the pace); its own /proc,
# /sys, /dev and /run, in namespaces that end with it.  The root is a mount
# of its own, as / is on a machine: the tests make it private to mount
# their scratch /tmp.
in_root() {
	unshare --mount --pid --fork --kill-child sh -eu -c '
		root=$1 jobs=$2 && shift 2
		mount --make-rprivate /
		mount --rbind "$root" "$root"
		mount -t proc proc "$root/proc"
		mount -t sysfs sysfs "$root/sys"
		mount --rbind /dev "$root/dev"
		mount -t tmpfs tmpfs "$root/run"
		exec chroot "$root" /usr/bin/env -i HOME=/root LANG=C.UTF-8 \
			PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
			${jobs:+CMAKE_BUILD_PARALLEL_LEVEL=$jobs} sh -euc "cd $0 && $1"
	' "$home" "$work/$1" "${CMAKE_BUILD_PARALLEL_LEVEL:-}" "$2" </dev/null
}

# step ROOT NAME COMMAND: runs COMMAND in ROOT, its output in NAME.log.
step() {
	t0=$(date +%s)
	in_root "$1" "$3" >"$work/$2.log" 2>&1 || { tail -40 "$work/$2.log"; fail "$2: $3"; }
	echo "$2: $3: $(($(date +%s) - t0)) s"
}

# services ROOT: what enables a service or a socket in ROOT (a systemd
# link; a SysV start link of a runlevel) or starts one (a request to
# policy-rc.d), one name a line.  Timers, such as man-db's, start none.
services() {
	r=$work/$1
	find "$r/etc/systemd/system" -type l \( -name '*.service' -o -name '*.socket' \) 2>/dev/null |
		while read -r link; do
			owned_by_init "$r" "$(readlink "$link")" || basename "$link" | sed 's/\.[a-z]*$//; s/@$//'
		done
	ls "$r"/etc/rc[2-5].d 2>/dev/null | sed -n 's/^S[0-9]*//p'
	sed 's/^\(--[a-z-]* \)*//; s/ .*//' "$r/var/log/policy-rc.d.calls" 2>/dev/null || true
}

# owned_by_init ROOT UNIT_FILE: the unit is systemd's own, enabled on any
# booted Debian, which the minimal root lacks until the tests bring it.
owned_by_init() {
	grep -qx "$2" "$1/var/lib/dpkg/info/systemd.list" 2>/dev/null
}

# new_services ROOT: those of ROOT's services the clean root has not.
new_services() {
	services clean | sort -u >"$work/services.clean"
	services "$1" | sort -u | comm -13 "$work/services.clean" -
}

# The cross build, as the quick start gives it, from nothing.
build_cross() {
	step cross cross_tools './check --arm64-tools'
	step cross cross_build 'dpkg-buildpackage -us -uc -b -a arm64 -Pnocheck'
	deb=$(ls "$work/cross$home"/../ombrix_*_arm64.deb 2>/dev/null) || fail "the cross build made no ombrix_*_arm64.deb"
	dpkg-deb -x "$deb" "$work/arm64"
	readelf -h "$work/arm64/usr/sbin/ombrixd" | grep -q 'Machine:.*AArch64' ||
		fail "the cross-built ombrixd is not an arm64 program"
}

# CI's installs from nothing, then the start of its arm64 suite: configured,
# and a test program of each part built and listed, which runs it under
# qemu-user, so that a library the emulated tests load and no script
# installs fails here.  The rest of the suite builds alike.
arm64_probes="error_test state_test client_test rules_test"
start_arm64_suite() {
	step ci ci_install 'bash .ci/install'
	step ci arm64_suite "cmake --preset arm64 && cmake --build --preset arm64 --target $arm64_probes && ctest --preset arm64 -N"
	for probe in $arm64_probes; do
		grep -q "${probe}_NOT_BUILT" "$work/arm64_suite.log" && fail "the arm64 suite did not list $probe"
	done
	grep -q '^Total Tests: [1-9]' "$work/arm64_suite.log" || fail "the arm64 suite listed no test"
}

# The main job for real: it switches the heater both ways, draws the run,
# and its install enables and starts nothing.
run_demo() {
	step quick demo './demo'
	grep -q 'heater=ON' "$work/demo.log" && grep -q 'heater=OFF' "$work/demo.log" ||
		fail "the main job never switched the heater both ways"
	[ -s "$work/quick$home/build/daemon/demo.svg" ] || fail "the main job drew no picture"
	started=$(new_services quick)
	[ -z "$started" ] || fail "./demo's install enabled or started: $(echo $started)"
}

# Every test: none skipped, no program the build looks for amiss, and no
# service that ./check's install brings without saying so.
run_check() {
	step quick check './check'
	grep -q '100% tests passed' "$work/check.log" || fail "./check did not pass every test"
	for name in $(sed -n 's/^[0-9/ ]*Test *#[0-9]*: \([^ ]*\) .*\*\*\*Skipped.*/\1/p' "$work/check.log"); do
		skipped_for_arm64 "$name" || fail "$name skipped on a fresh machine: $(tail -3 "$work/skip.log")"
	done
	# CMake's own, such as CMAKE_DLLTOOL, are for other platforms.
	lost=$(grep -E '^[A-Za-z_0-9]+:FILEPATH=.*-NOTFOUND$' "$work/quick$home/build/CMakeCache.txt" |
		grep -v '^CMAKE_' || true)
	[ -z "$lost" ] || fail "the build did not find: $lost"
	for service in $(new_services quick); do
		grep -q "^check: .*\\b$service\\b" "$work/check.log" ||
			fail "./check's install enabled or started $service without a word"
	done
}

# skipped_for_arm64 TEST: the test skips for want of the cross build's
# tools alone, which ./check leaves to ./check --arm64-tools.
skipped_for_arm64() {
	in_root quick "ctest --test-dir build -R '^$1\$' -V" >"$work/skip.log" 2>&1 || true
	grep -q '(./check --arm64-tools)' "$work/skip.log"
}

# The cross build and CI's installs run beside the main job, which mostly
# waits; a failure of the main job waits for them, so that nothing runs on
# after the test.
new_root cross
new_root ci
new_root quick
build_cross &
cross=$!
start_arm64_suite &
ci=$!
trap 'for job in $cross $ci; do wait $job || true; done' EXIT
run_demo
wait $cross || { cross= && fail "the cross build"; }
cross=
wait $ci || { ci= && fail "CI's installs or its arm64 suite"; }
ci=
rm -rf "$work/cross" "$work/ci" "$work/arm64"
run_check
rm -rf "$work/quick" "$work/clean"
echo "a fresh $suite machine ran the cross build, CI's installs, the start of its arm64 suite, ./demo and ./check"
