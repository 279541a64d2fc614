#!/bin/sh
# Builds the Debian packages in a copy of the tree, checks that the build
# left nothing git would track, has lintian check the packages, checks
# where each file lands, then installs, removes and purges them in a
# scratch root with dpkg --root.  Where the arm64 cross build's
# tools are installed (./check --arm64-tools), the arm64 packages are built
# and checked too.
# usage: packages.sh SOURCE_DIR WORK_DIR
set -eu
src=$1 work=$2
skip=77
failed=0
native=$(dpkg --print-architecture)

fail() { echo "FAIL: $*"; failed=1; }

for tool in dpkg-buildpackage dpkg-checkbuilddeps lintian; do
	command -v "$tool" >/dev/null || { echo "skipped: no $tool here"; exit $skip; }
done

# copy_tree: the sources into $work/src, as a git checkout of their own, so
# that the build below runs in a checkout as a person's does.
copy_tree() {
	rm -rf "$work" && sh "$(dirname "$0")/../copy_tree.sh" "$src" "$work/src"
	git -C "$work/src" init -q && git -C "$work/src" add -A &&
		git -C "$work/src" -c user.name=test -c user.email=test@localhost commit -qm tree
}

# check_leftovers: the package build left nothing that git would track, and
# the tests' copy of such a tree works, an untracked link to nowhere too.
check_leftovers() {
	left=$(git -C "$work/src" status --porcelain)
	[ -z "$left" ] || fail "the package build left files git would track: $left"
	ln -s nowhere "$work/src/dangling"
	sh "$(dirname "$0")/../copy_tree.sh" "$work/src" "$work/copy" || { fail "the copy of a built tree"; return; }
	[ -L "$work/copy/dangling" ] || fail "the copy lost an untracked link"
	[ -e "$work/copy/debian/files" ] && fail "the copy took the package build's debian/files"
	rm -rf "$work/copy" "$work/src/dangling"
}

# build [ARCH]: the binary packages into $work, the tests left out.
build() {
	(cd "$work/src" && DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)" DEB_BUILD_PROFILES=nocheck \
		dpkg-buildpackage -us -uc -b ${1:+-a "$1"} >"$work/build-${1:-native}.log" 2>&1) ||
		{ tail -n 40 "$work/build-${1:-native}.log"; return 1; }
}

# has DEB PATH...: each path is a file in the package.
has() {
	deb=$1 && shift
	dpkg-deb -c "$deb" | awk '{ print substr($6, 2) }' >"$work/list"
	for p; do grep -qx "$p" "$work/list" || fail "$(basename "$deb") lacks $p"; done
}

# check_files ARCH MULTIARCH: every file where the packages promise it.
check_files() {
	bin=$work/ombrix_*_"$1".deb dev=$work/libombrix-dev_*_"$1".deb
	set -- "$1" "/usr/lib/$2"
	has $bin /usr/libexec/ombrix/client /usr/sbin/ombrixd \
		/usr/lib/systemd/system/ombrix@.target \
		/usr/lib/systemd/system/ombrix-client@.service \
		/usr/lib/systemd/system/ombrixd@.service \
		/usr/lib/sysusers.d/ombrix.conf \
		/usr/share/man/man1/client.1.gz /usr/share/man/man8/ombrixd.8.gz \
		/etc/ombrix/example.conf
	grep -q '^/usr/bin/' "$work/list" && fail "ombrix puts a program on \$PATH: $(grep '^/usr/bin/' "$work/list")"
	# ombrixd loads libmosquitto for an MQTT zone alone, so no link names it.
	dpkg-deb -f $bin Depends | grep -q 'libmosquitto1' || fail "ombrix does not depend on libmosquitto1"
	rm -rf "$work/x" && dpkg-deb -x $bin "$work/x"
	readelf -d "$work/x/usr/sbin/ombrixd" | grep -q 'NEEDED.*libmosquitto' && fail "ombrixd links libmosquitto"
	dpkg-deb --ctrl-tarfile $bin | tar -xOf - ./conffiles | grep -qx /etc/ombrix/example.conf ||
		fail "example.conf is not a conffile"
	has $dev /usr/include/ombrix.h "$2/ombrix/ombrix_state.o" "$2/ombrix/ombrix_error.o" \
		"$2/libombrix.a" "$2/cmake/ombrix/ombrixConfig.cmake" "$2/pkgconfig/ombrix.pc" \
		/usr/share/man/man3/ombrix.3.gz
	[ "$(dpkg-deb -f $dev Multi-Arch)" = same ] || fail "libombrix-dev is not Multi-Arch: same"
	# Multi-Arch: same packages share only files that are the same on every
	# architecture: nothing arch-specific outside the triplet's folder.
	stray=$(grep -v -e "^$2/" -e '^/usr/include/' -e '^/usr/share/doc/' -e '^/usr/share/man/' -e '/$' "$work/list" || true)
	[ -z "$stray" ] || fail "libombrix-dev has files outside $2: $stray"
}

# check_units: the units start the programs where the package puts them;
# the reload's /bin/kill comes from procps, which the package depends on.
check_units() {
	rm -rf "$work/x" && dpkg-deb -x $work/ombrix_*_"$native".deb "$work/x"
	for prog in /usr/libexec/ombrix/client /usr/sbin/ombrixd; do
		grep -q "^ExecStart=$prog" "$work"/x/usr/lib/systemd/system/*.service ||
			fail "no unit starts $prog"
	done
	for prog in $(grep -ho '^Exec[A-Za-z]*=[^ ]*' "$work"/x/usr/lib/systemd/system/*.service | cut -d= -f2 | sed 's/^[-+!@:]*//' | sort -u); do
		if [ "$prog" = /bin/kill ]; then
			dpkg-deb -f $work/ombrix_*_"$native".deb Depends | grep -qw procps ||
				fail "a unit runs /bin/kill, but the package does not depend on procps"
			continue
		fi
		[ -x "$work/x$prog" ] || fail "a unit runs $prog, not in the package"
	done
}

# check_lifecycle: install, remove and purge in a scratch root.  The
# maintainer scripts run here with DPKG_ROOT set, so they must keep to it.
check_lifecycle() {
	root=$work/root
	rm -rf "$root" && mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/etc"
	touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
	d="dpkg --root=$root --force-depends --force-not-root --force-script-chrootless --log=/dev/null"
	$d -i $work/ombrix_*_"$native".deb $work/libombrix-dev_*_"$native".deb >"$work/dpkg.log" 2>&1 ||
		{ cat "$work/dpkg.log"; fail "dpkg could not install the packages"; return; }
	grep -q '^ombrix:' "$root/etc/passwd" 2>/dev/null || fail "installing made no user ombrix"
	[ -x "$root/usr/libexec/ombrix/client" ] || fail "installing put no client in place"
	find "$root/etc" -path '*/systemd/system/*' | grep -q . && fail "installing enabled a unit"
	printf 'sensor=sim\nheater=sim\n' >"$root/etc/ombrix/kitchen.conf"
	$d -r ombrix >>"$work/dpkg.log" 2>&1 || fail "dpkg could not remove ombrix"
	[ -e "$root/usr/sbin/ombrixd" ] && fail "removing left ombrixd"
	[ -e "$root/etc/ombrix/example.conf" ] || fail "removing took the configuration"
	$d -P ombrix >>"$work/dpkg.log" 2>&1 || fail "dpkg could not purge ombrix"
	[ -e "$root/etc/ombrix" ] && fail "purging left /etc/ombrix: $(ls -A "$root/etc/ombrix")"
	echo "install, remove, purge: checked in $root"
}

copy_tree
dpkg-checkbuilddeps -Pnocheck "$work/src/debian/control" || { echo "skipped: build dependencies missing"; exit $skip; }
build
check_leftovers
lintian --fail-on error,warning "$work"/ombrix_*_"$native".changes || fail "lintian"
check_files "$native" "$(dpkg-architecture -qDEB_HOST_MULTIARCH)"
check_units
check_lifecycle

# The cross build for arm64 boards, from another machine.
if [ "$native" != arm64 ] && sh "$(dirname "$0")/cross_ready.sh" "$work/src"; then
	build arm64
	lintian --fail-on error,warning "$work"/ombrix_*_arm64.changes || fail "lintian, arm64"
	check_files arm64 aarch64-linux-gnu
	rm -rf "$work/x" && dpkg-deb -x $work/ombrix_*_arm64.deb "$work/x"
	readelf -h "$work/x/usr/sbin/ombrixd" | grep -q 'Machine:.*AArch64' || fail "the arm64 ombrixd is not an arm64 program"
else
	echo "arm64 packages not cross-built: native, or the cross compilers or arm64 Build-Depends are missing (./check --arm64-tools)"
fi
exit $failed
