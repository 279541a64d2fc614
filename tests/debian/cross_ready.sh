#!/bin/sh
# Succeeds where the arm64 packages can be cross-built from SOURCE_DIR: the
# cross compilers, which dpkg-checkbuilddeps does not check, and the arm64
# Build-Depends are installed (./check --arm64-tools installs both).
# usage: cross_ready.sh SOURCE_DIR
set -eu
command -v aarch64-linux-gnu-gcc >/dev/null && command -v aarch64-linux-gnu-g++ >/dev/null &&
	cd "$1" && dpkg-checkbuilddeps -a arm64 -Pnocheck >/dev/null 2>&1
