#!/bin/sh
# Builds the guest the system test boots: Debian bookworm with systemd, a
# kernel and everything the project's packages need at run time, so that they
# install offline.  The image is cached, keyed by a hash of this script, and
# a second run finds it instead of building it again.
# usage: image.sh CACHE_ROOT   (prints the image folder)
set -eu
root=$1
key=$(sha256sum "$0" | cut -c1-16)
dir=$root/$key

# Runtime dependencies of ombrix and ombrixd, and the checks' own tools:
# a broker on the guest's loopback for an MQTT zone.
packages=systemd,systemd-sysv,udev,dbus,linux-image-amd64,initramfs-tools,libmosquitto1,libstdc++6,libgcc-s1,libsystemd0,passwd,util-linux,procps,mosquitto,mosquitto-clients
disk_size=1536M

[ -f "$dir/done" ] && { echo "$dir"; exit 0; }
mkdir -p "$root"
exec 9>"$root/lock"
flock 9
[ -f "$dir/done" ] && { echo "$dir"; exit 0; }

rm -rf "$dir"
mkdir -p "$dir"
tree=$dir/tree
echo "building the guest image in $dir" >&2
mmdebstrap --quiet --variant=minbase --include="$packages" \
	--customize-hook='echo ombrix-vm >"$1/etc/hostname"' \
	--customize-hook='rm -f "$1/etc/machine-id"; touch "$1/etc/machine-id"' \
	bookworm "$tree" \
	"deb http://deb.debian.org/debian bookworm main" \
	"deb http://deb.debian.org/debian bookworm-updates main" \
	"deb http://deb.debian.org/debian-security bookworm-security main" >&2

# At boot, run the checks the payload disk brings, then power off whatever
# they did: a hung guest is cut short by the host's timeout instead.
cat >"$tree/etc/systemd/system/payload.service" <<'UNIT'
[Unit]
Description=Run the checks from the payload disk
After=multi-user.target
SuccessAction=poweroff-force
FailureAction=poweroff-force

[Service]
Type=oneshot
ExecStart=/bin/sh -c 'mkdir -p /payload && mount -o ro /dev/vdb /payload && exec /bin/sh /payload/run.sh'
StandardOutput=journal+console
StandardError=journal+console

[Install]
WantedBy=multi-user.target
UNIT
ln -s /etc/systemd/system/payload.service "$tree/etc/systemd/system/multi-user.target.wants/payload.service"
# No login prompts: nothing logs in.
rm -f "$tree/etc/systemd/system/getty.target.wants/"*

cp -L "$tree/vmlinuz" "$dir/vmlinuz"
cp -L "$tree/initrd.img" "$dir/initrd.img"
mkfs.ext4 -q -F -L root -d "$tree" "$dir/root.img" "$disk_size" >&2
rm -rf "$tree"
touch "$dir/done"
echo "$dir"
