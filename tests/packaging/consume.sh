#!/bin/sh
# Installs the build into a scratch prefix and builds a small C consumer
# against it the three ways a user can: find_package(ombrix), pkg-config
# and the archive.  Each must build with the C compiler and pass.
# A cross build sets CC to its compiler and EMULATOR to what runs its programs.
# usage: consume.sh BUILD_DIR CONSUMER.c LIBDIR WORK_DIR
set -eu
build=$1 consumer=$2 libdir=$3 work=$4
cc=${CC:-cc} run=${EMULATOR:-}
prefix=$work/prefix
rm -rf "$work"
mkdir -p "$work/cmake"
cmake --install "$build" --prefix "$prefix" >/dev/null

echo "find_package:"
cat >"$work/cmake/CMakeLists.txt" <<END
cmake_minimum_required(VERSION 3.25)
project(consumer C)
find_package(ombrix 0.1 REQUIRED)
add_executable(consumer $consumer)
target_link_libraries(consumer PRIVATE ombrix::ombrix)
END
cmake -S "$work/cmake" -B "$work/cmake/build" -DCMAKE_PREFIX_PATH="$prefix" -DCMAKE_C_COMPILER="$cc" >/dev/null
cmake --build "$work/cmake/build" >/dev/null
$run "$work/cmake/build/consumer" "$work"

echo "pkg-config:"
flags=$(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs ombrix)
"$cc" -std=c11 -o "$work/by-pkg-config" "$consumer" $flags
$run "$work/by-pkg-config" "$work"

echo "archive:"
"$cc" -std=c11 -I"$prefix/include" -o "$work/by-archive" "$consumer" "$prefix/$libdir/libombrix.a"
$run "$work/by-archive" "$work"
