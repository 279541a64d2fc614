#include "log.h"

#include <cstdarg>
#include <cstdio>

#include <syslog.h>

// A C variadic, as it forwards printf-style arguments to vsnprintf().
void report(int priority, const char *fmt, ...)  // NOLINT(cert-dcl50-cpp)
{
	char text[512];
	va_list ap;
	va_start(ap, fmt);
	// The analyzer loses track of va_start() here (a known false alarm).
	std::vsnprintf(text, sizeof text, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
	va_end(ap);
	syslog(priority, "%s", text);
	std::fprintf(stderr, "ombrixd: %s\n", text);
}
