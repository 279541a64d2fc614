// Files that someone else may have planted: a FIFO, a device or a huge file
// at the path must neither hang the daemon nor flood it.
#pragma once

#include <cstddef>

// The *why of a file that is not a regular one, and of one longer than asked.
inline constexpr const char *file_not_regular = "not a regular file";
inline constexpr const char *file_too_long = "too long";

// Opens path with flags (O_RDONLY or O_WRONLY; O_NONBLOCK, O_CLOEXEC and
// O_NOCTTY are added) and checks that it is a regular file of at most
// max_bytes.  A FIFO fails at once, with a reader or without.  Returns the
// descriptor, or -1 with *why a constant text or strerror()'s: file_not_regular,
// file_too_long, or why the open failed (errno is kept).
int open_regular(const char *path, int flags, size_t max_bytes, const char **why);

// Writes all of data, through EINTR and short writes.  Returns false on
// the first error, with errno set.
bool write_all(int fd, const void *data, size_t len);
