#!/bin/sh
# Boots a Debian guest with the project's packages and lets run.sh check the
# zones on its systemd.  Writes WORK/results: one "RESULT name pass|fail what"
# line a check, or one "SKIP why" line when no guest can boot here.
# usage: boot.sh SOURCE_DIR WORK_DIR
# OMBRIX_DEBS=DIR takes the packages from DIR instead of building them;
# OMBRIX_VM_CACHE=DIR keeps the guest image elsewhere than /var/cache.
set -eu
src=$1 work=$2
here=$(cd "$(dirname "$0")" && pwd)
cache=${OMBRIX_VM_CACHE:-/var/cache/ombrix-vm}
boot_limit_s=600        # the whole guest run, checks included
probe_limit_s=20        # long enough for a kernel that works to reach a panic
memory_mib=1024
results=$work/results

skip() {
	echo "SKIP $*" >"$results"
	echo "skipped: $*"
	exit 77
}

mkdir -p "$work"
rm -f "$results"
[ "$(id -u)" = 0 ] || skip "needs root (mmdebstrap, mkfs.ext4 -d with owners)"
for tool in mmdebstrap mkfs.ext4 qemu-system-x86_64 dpkg-buildpackage timeout; do
	command -v $tool >/dev/null || skip "$tool is not installed"
done

# The packages, built from a copy of the tree so that the build leaves the
# tree as it is; the test suite ran already.
build_debs() {
	rm -rf "$work/debs"
	sh "$here/../../copy_tree.sh" "$src" "$work/debs/src"
	(cd "$work/debs/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" \
		dpkg-buildpackage -us -uc -b >"$work/debs/build.log" 2>&1) || {
		tail -30 "$work/debs/build.log"
		echo "the packages did not build; see $work/debs/build.log"
		exit 1
	}
}
if [ -n "${OMBRIX_DEBS:-}" ]; then
	debs=$OMBRIX_DEBS
else
	build_debs
	debs=$work/debs
fi
# DIR may hold other architectures' packages too, as the package test's does.
arch=$(dpkg --print-architecture)
ls "$debs"/ombrix_*_"$arch".deb >/dev/null || { echo "no ombrix_*_$arch.deb in $debs"; exit 1; }

image=$(sh "$here/image.sh" "$cache")

# The payload disk: the packages and the checks, read-only in the guest.
rm -rf "$work/payload" "$work/payload.img"
mkdir -p "$work/payload"
cp "$debs"/ombrix_*_"$arch".deb "$debs"/libombrix-dev_*_"$arch".deb "$here/run.sh" "$work/payload/"
payload_mib=$(($(du -sm "$work/payload" | cut -f1) + 16))
mkfs.ext4 -q -F -L payload -d "$work/payload" "$work/payload.img" "${payload_mib}M"

# KVM, where it really runs a guest: a kernel with no root must reach its
# panic in time.  Some hosts give /dev/kvm and a guest that never runs.
accel=tcg,thread=multi
if [ -w /dev/kvm ]; then
	timeout -s KILL $probe_limit_s qemu-system-x86_64 -accel kvm -m 256 -nic none \
		-display none -no-reboot -serial "file:$work/probe.log" \
		-kernel "$image/vmlinuz" -append "console=ttyS0 panic=-1" >/dev/null 2>&1 || true
	grep -q 'Kernel panic' "$work/probe.log" 2>/dev/null && accel=kvm
fi
echo "booting the guest with $accel"

# No network device: nothing leaves this machine.  The root disk is a
# snapshot, so the cached image stays as it was built.
rm -f "$work/console.log" "$work/guest.results"
start=$(date +%s)
qemu-system-x86_64 -accel $accel -m $memory_mib -smp "$(nproc)" -nic none \
	-display none -no-reboot \
	-kernel "$image/vmlinuz" -initrd "$image/initrd.img" \
	-append "root=/dev/vda rw console=ttyS0 panic=-1 systemd.show_status=0 systemd.mask=serial-getty@ttyS0.service" \
	-drive "file=$image/root.img,format=raw,if=virtio,snapshot=on" \
	-drive "file=$work/payload.img,format=raw,if=virtio,readonly=on" \
	-serial "file:$work/console.log" -serial "file:$work/guest.results" \
	-pidfile "$work/qemu.pid" >"$work/qemu.log" 2>&1 &
qemu=$!
while kill -0 $qemu 2>/dev/null; do
	if [ $(($(date +%s) - start)) -ge $boot_limit_s ]; then
		echo "the guest ran longer than $boot_limit_s s; killed"
		kill -KILL $qemu
		break
	fi
	sleep 1
done
wait $qemu || true
echo "guest ran $(($(date +%s) - start)) s"

tr -d '\r' <"$work/guest.results" | grep '^RESULT ' >"$results" || true
grep -q '^DONE' "$work/guest.results" || {
	tail -40 "$work/console.log"
	echo "the checks did not finish; console in $work/console.log"
	exit 1
}
cat "$results"
