#include "log.h"

#include <cstdarg>
#include <cstdio>

#include <syslog.h>

void report(int priority, const char *fmt, ...)
{
	char text[512];
	va_list ap;
	va_start(ap, fmt);
	std::vsnprintf(text, sizeof text, fmt, ap);
	va_end(ap);
	syslog(priority, "%s", text);
	std::fprintf(stderr, "ombrixd: %s\n", text);
}
