#include "fakes.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include <syslog.h>
#include <unistd.h>

namespace {

void record(int priority, const char *fmt, va_list ap)
{
	char text[512];
	std::vsnprintf(text, sizeof text, fmt, ap);
	calls().logs.push_back(text);
	calls().priorities.push_back(priority);
}

} // namespace

Calls &calls()
{
	static Calls c;
	return c;
}

void reset()
{
	calls() = Calls{};
}

std::string failed_read(int err, int shown)
{
	return "failed state read with (" + std::string(std::strerror(err)) +
	       "); retry with interval (" + std::to_string(shown) + ")";
}

std::string failed_write(int err, int shown)
{
	return "failed temp write (" + std::string(std::strerror(err)) +
	       "); retry with interval (" + std::to_string(shown) + ")";
}

extern "C" unsigned int sleep(unsigned int seconds)
{
	Calls &c = calls();
	c.sleeps.push_back(seconds);
	if (c.on_sleep)
		c.on_sleep(c.sleeps.size());
	if (c.interrupted) {
		errno = EINTR;
		return seconds;
	}
	return 0;
}

extern "C" void syslog(int priority, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	record(priority, fmt, ap);
	va_end(ap);
}

// What syslog() becomes under _FORTIFY_SOURCE.
extern "C" void __syslog_chk(int priority, int, const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	record(priority, fmt, ap);
	va_end(ap);
}
