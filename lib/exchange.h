// How both sides open the two exchange files in /tmp, which any local user
// can plant things in and which the other program reads at any moment.
// Private to this system: the controller and the library each compile it in.
//
// Reads never block: a FIFO planted at a path reads as empty.  Writes go
// through rewrite(), which writes over the old bytes from the start and then
// cuts the file to the new length, so a reader never meets an empty file
// once it has been written (truncating first would show one for a moment,
// and for good on a full disk), and which never writes through a link or
// into any other file.  A file rewrite() creates is empty until its first
// write: readers take that as "nothing yet".
#pragma once

#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// Closes a stream when its scope ends.
class File {
public:
	explicit File(FILE *f) : f_(f) {}
	~File() { if (f_) std::fclose(f_); }
	File(const File &) = delete;
	File &operator=(const File &) = delete;
	FILE *get() const { return f_; }

private:
	FILE *f_;
};

// Closes a descriptor when its scope ends, keeping errno for the caller's
// report; close() ends it early and tells how that went.
class Fd {
public:
	explicit Fd(int fd) : fd_(fd) {}
	~Fd()
	{
		if (fd_ < 0)
			return;
		int saved = errno;
		::close(fd_);
		errno = saved;
	}
	Fd(const Fd &) = delete;
	Fd &operator=(const Fd &) = delete;
	int get() const { return fd_; }
	int release()
	{
		int fd = fd_;
		fd_ = -1;
		return fd;
	}
	int close() { return ::close(release()); }

private:
	int fd_;
};

// Buffer for a read stream.  Both files hold one short line; the caller's
// buffer spares stdio a heap buffer and the fstat() to size it.
inline constexpr size_t read_buf_len = 64;

// Opens path for reading as a stream with the fopen() mode given, buffered
// in buf, which must outlive the stream.
// Returns nullptr with errno set on failure.
inline FILE *open_read(const char *path, const char *mode, char (&buf)[read_buf_len])
{
	Fd fd(open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC));
	if (fd.get() < 0)
		return nullptr;
	FILE *f = fdopen(fd.get(), mode);
	if (!f)
		return nullptr;
	fd.release();
	setvbuf(f, buf, _IOFBF, read_buf_len);
	return f;
}

// Opens path for a rewrite in place: created with mode 0666 less the umask
// when missing, never truncated, never through a symbolic link (ELOOP), and
// only when it is a regular file (else ENXIO, as a FIFO without a reader
// gives) with no other name (else EMLINK).
// Returns the descriptor, or -1 with errno set.
inline int open_rewrite(const char *path)
{
	Fd fd(open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0666));
	if (fd.get() < 0)
		return -1;
	struct stat st;
	if (fstat(fd.get(), &st) < 0)
		return -1;
	if (!S_ISREG(st.st_mode)) {
		errno = ENXIO;
		return -1;
	}
	if (st.st_nlink != 1) {
		errno = EMLINK;
		return -1;
	}
	return fd.release();
}

inline int write_all(int fd, const char *buf, size_t len)
{
	while (len > 0) {
		ssize_t n = write(fd, buf, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return -1;
		buf += n;
		len -= static_cast<size_t>(n);
	}
	return 0;
}

// Makes the file at path hold exactly the len bytes of text, rewriting it
// in place.  Returns 0, or -1 with errno from the step that failed.
inline int rewrite(const char *path, const char *text, size_t len)
{
	Fd fd(open_rewrite(path));
	if (fd.get() < 0)
		return -1;
	if (write_all(fd.get(), text, len) < 0)
		return -1;
	if (ftruncate(fd.get(), static_cast<off_t>(len)) < 0)
		return -1;
	return fd.close();
}

} // namespace
