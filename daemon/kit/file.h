// Files that someone else may have planted: a FIFO, a device or a huge file
// at the path must neither hang the daemon nor flood it.
#pragma once

#include <cstddef>

// The *why of a file that is not a regular one, of one longer than asked,
// and of a link where O_NOFOLLOW wants the file itself.
inline constexpr const char *file_not_regular = "not a regular file";
inline constexpr const char *file_too_long = "too long";
inline constexpr const char *file_is_link = "a symbolic link, not the file itself";

// Opens path with flags (O_RDONLY or O_WRONLY, and O_NOFOLLOW for a file
// that must be itself: a folder on the way may still be a link, as sysfs's
// are; O_NONBLOCK, O_CLOEXEC and O_NOCTTY are added) and checks that it is
// a regular file of at most max_bytes.  A FIFO fails at once, with a
// reader or without.  Returns the descriptor, or -1 with *why a constant
// text or strerror()'s: file_not_regular, file_too_long, file_is_link, or
// why the open failed (errno is kept).
int open_regular(const char *path, int flags, size_t max_bytes, const char **why);

// Writes all of data, through EINTR and short writes.  Returns false on
// the first error, with errno set.
bool write_all(int fd, const void *data, size_t len);
