/* What the sleep shim and the test harness agree on.  The harness hands the
 * client two pipe ends at fixed descriptors; the shim, standing in for
 * sleep(), writes one report to the first at every call and then waits for
 * one byte on the second before it returns. */
#ifndef SHIM_H
#define SHIM_H

#include <stdint.h>

enum { SHIM_REPORT_FD = 100, SHIM_GO_FD = 101 };

struct shim_report {
	uint32_t seconds;    /* what the client asked to sleep */
	uint32_t open_fds;   /* its descriptors besides 0, 1, 2 and the shim's */
	uint64_t heap_bytes; /* malloc'd bytes in use */
};

#endif
