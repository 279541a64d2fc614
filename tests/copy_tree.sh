#!/bin/sh
# Copies the project as git tracks it, and what git would track, so that no
# build folder and no package build's leftovers travel along; outside a git
# checkout, everything but the build folders and .git.
# usage: copy_tree.sh SOURCE_DIR DEST_DIR
set -eu
src=$1 dest=$2
mkdir -p "$dest"
dest=$(cd "$dest" && pwd)       # the copy runs from within SOURCE_DIR
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
	git -C "$src" ls-files -z -co --exclude-standard | (cd "$src" && xargs -0 cp -P --parents -t "$dest")
else
	tar -C "$src" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$dest" -xf -
fi
