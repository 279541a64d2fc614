#!/bin/sh
# Every package the project's scripts install has a row in the table of
# docs/testing.md that names it and says why: the Build-Depends of debian/control,
# what ./check and ./demo add to them, and what CI adds in .ci/install.
# usage: packages_named.sh SOURCE_DIR
set -eu
src=$1

# The Build-Depends, each name without its version, architectures or profiles.
build_depends() {
	sed -n '/^Build-Depends:/,/^[^ #]/p' "$src/debian/control" | sed -n 's/^ \([^ ,(<[]*\).*/\1/p'
}

# What a script installs by name: the words after --no-install-recommends,
# in .ci/install the arrays of packages and need's arguments too; an
# architecture qualifier dropped.
installed_by() {
	sed -n -e 's/.*--no-install-recommends \([a-z0-9 .+:-]*\)$/\1/p' \
		-e 's/^packages+\{0,1\}=(\(.*\))$/\1/p' -e 's/^need \([a-z0-9 .+:-]*\)$/\1/p' \
		-e 's/^[a-z_0-9]*=\([a-z][a-z0-9.+-]*-[a-z0-9.+-]*\)$/\1/p' "$1" |
		tr ' ' '\n' | sed 's/:.*//' | grep .
}

rows=$(grep '^|' "$src/docs/testing.md")
missing=
for p in $(build_depends; for s in check demo .ci/install; do installed_by "$src/$s"; done); do
	echo "$rows" | grep -qF -e "\`$p\`" -e "\`$p:" || missing="$missing $p"
done
[ -z "$missing" ] || { echo "no row of docs/testing.md says why the project installs:$missing"; exit 1; }
echo "docs/testing.md says why it installs each of: $(build_depends | tr '\n' ' ')and the scripts' own"
