// Fault injection for the library's system calls: this test binary defines
// write(), ftruncate(), close(), fstat() and fdopen() itself.  Each passes
// through to the C library unless the test has queued a failure for it.
#include "syscall_faults.h"

#include <cerrno>

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

Faults &faults()
{
	static Faults f;
	return f;
}

namespace {

// The next queued outcome for a call: 0 to pass, an errno to fail with, or
// Faults::short_write.
int next(std::deque<int> &queue)
{
	if (queue.empty())
		return 0;
	int e = queue.front();
	queue.pop_front();
	return e;
}

template <typename F> F real(const char *name)
{
	return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" ssize_t write(int fd, const void *buf, size_t len)
{
	static auto pass = real<ssize_t (*)(int, const void *, size_t)>("write");
	int e = next(faults().write);
	if (e == Faults::short_write && len > 1)
		return pass(fd, buf, 1);
	if (e > 0) {
		errno = e;
		return -1;
	}
	return pass(fd, buf, len);
}

extern "C" int ftruncate(int fd, off_t len)
{
	static auto pass = real<int (*)(int, off_t)>("ftruncate");
	if (int e = next(faults().ftruncate)) {
		errno = e;
		return -1;
	}
	return pass(fd, len);
}

extern "C" int close(int fd)
{
	static auto pass = real<int (*)(int)>("close");
	int e = next(faults().close);
	int rc = pass(fd);
	if (e) {
		errno = e;
		return -1;
	}
	return rc;
}

extern "C" int fstat(int fd, struct stat *st)
{
	static auto pass = real<int (*)(int, struct stat *)>("fstat");
	if (int e = next(faults().fstat)) {
		errno = e;
		return -1;
	}
	return pass(fd, st);
}

extern "C" FILE *fdopen(int fd, const char *mode)
{
	static auto pass = real<FILE *(*)(int, const char *)>("fdopen");
	if (int e = next(faults().fdopen)) {
		errno = e;
		return nullptr;
	}
	return pass(fd, mode);
}
