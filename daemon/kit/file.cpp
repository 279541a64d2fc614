#include "file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int open_regular(const char *path, int flags, size_t max_bytes, const char **why)
{
	int fd = open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
	if (fd < 0) {
		// A FIFO without a reader refuses a writer at once.
		bool link = errno == ELOOP && flags & O_NOFOLLOW;
		*why = errno == ENXIO ? file_not_regular : link ? file_is_link : std::strerror(errno);
		return -1;
	}
	struct stat st;
	if (fstat(fd, &st) < 0)
		*why = std::strerror(errno);
	else if (!S_ISREG(st.st_mode))
		*why = file_not_regular;
	else if (static_cast<size_t>(st.st_size) > max_bytes)
		*why = file_too_long;
	else
		return fd;
	close(fd);
	return -1;
}

bool write_all(int fd, const void *data, size_t len)
{
	const char *p = static_cast<const char *>(data);
	while (len > 0) {
		ssize_t n = write(fd, p, len);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0)
			return false;
		p += n;
		len -= static_cast<size_t>(n);
	}
	return true;
}
