/* Preloaded into the client under test in place of sleep(): each call
 * reports to the test and blocks until the test lets the next cycle run.
 * When the test closes its end the client exits, through exit() so that
 * coverage data and leak checks are written. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <malloc.h>
#include <stdlib.h>
#include <unistd.h>

#include "shim.h"

/* Counts the entries of /proc/self/fd with getdents64 into a stack buffer,
 * so that counting allocates nothing and costs a few calls.  Only those
 * below the descriptor limit count: valgrind keeps its own above it. */
static uint32_t count_open_fds(void)
{
	char buf[4096];
	uint32_t n = 0;
	long got;
	struct rlimit lim;
	if (getrlimit(RLIMIT_NOFILE, &lim) < 0)
		_exit(112);
	int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
	if (dir < 0)
		_exit(112);
	while ((got = syscall(SYS_getdents64, dir, buf, sizeof buf)) > 0)
		for (long at = 0; at < got;) {
			struct dirent64 *d = (struct dirent64 *)(buf + at);
			int fd = atoi(d->d_name);
			if (d->d_name[0] != '.' && fd > 2 && (rlim_t)fd < lim.rlim_cur && fd != dir && fd != SHIM_REPORT_FD && fd != SHIM_GO_FD)
				n++;
			at += d->d_reclen;
		}
	close(dir);
	return n;
}

/* With SHIM_FREE_RUN set, sleep() returns at once and the client runs
 * flat out; a descriptor left open then ends it with status 113. */
static unsigned int free_run(void)
{
	if (count_open_fds() != 0)
		_exit(113);
	return 0;
}

unsigned int sleep(unsigned int seconds)
{
	if (getenv("SHIM_FREE_RUN"))
		return free_run();
	struct shim_report r = { seconds, count_open_fds(), mallinfo2().uordblks };
	char go;
	if (write(SHIM_REPORT_FD, &r, sizeof r) != (ssize_t)sizeof r)
		_exit(111);
	if (read(SHIM_GO_FD, &go, 1) != 1)
		exit(0);
	return 0;
}
