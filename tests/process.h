// What tests need to know of a process: how much it holds, and its end.
#pragma once

#include <chrono>
#include <cstddef>

#include <sys/types.h>

// AddressSanitizer's quarantine holds freed memory back on purpose, so
// heap and resident memory are compared only in plain builds.
#ifdef __SANITIZE_ADDRESS__
inline constexpr bool plain_build = false;
#else
inline constexpr bool plain_build = true;
#endif

// The build's programs run under qemu-user (a cross build).
inline constexpr bool emulated = EMULATOR[0] != '\0';

// Under qemu-user a process's resident memory is qemu's, translated code
// included, which grows as more code runs: it is compared only natively.
inline constexpr bool resident_is_own = plain_build && !emulated;

// qemu-user runs the build's programs several times slower than the host,
// so a real-time deadline for what they do stretches by this factor (set
// in tests/CMakeLists.txt, where ctest's limits stretch alike).  Only
// deadlines stretch: what must not happen within a time is timed as is.
inline constexpr int emulator_slowdown = EMULATOR_SLOWDOWN;

// Resident memory of pid in kB, from /proc; -1 when it cannot be read.
long resident_kb(pid_t pid);

// Descriptors the calling process has open.
size_t open_fds();

// Waits up to deadline for pid to end, with its wait status in *status.
// false when it had not: it is then killed and reaped.
bool reap(pid_t pid, int *status, std::chrono::milliseconds deadline);
