# 64-bit ARM with Debian's cross toolchain (crossbuild-essential-arm64) and
# the arm64 -dev packages of multiarch, which live under the usual /usr.
# Whatever the build runs, tests included, runs under qemu-user: a static
# qemu, so that a library preloaded for the arm64 program never reaches
# qemu itself.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR aarch64)
set(CMAKE_C_COMPILER aarch64-linux-gnu-gcc)
set(CMAKE_CXX_COMPILER aarch64-linux-gnu-g++)
set(CMAKE_LIBRARY_ARCHITECTURE aarch64-linux-gnu)
set(PKG_CONFIG_EXECUTABLE aarch64-linux-gnu-pkg-config CACHE FILEPATH "")

find_program(QEMU_AARCH64 qemu-aarch64-static REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${QEMU_AARCH64})
