#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include <sys/stat.h>
#include <syslog.h>

namespace {

// Under systemd, standard error is a stream into the journal, which has the
// syslog copy already.  JOURNAL_STREAM names that stream as "device:inode".
bool stderr_is_journal()
{
	const char *stream = std::getenv("JOURNAL_STREAM");
	unsigned long long dev, ino;
	struct stat st;
	if (!stream || std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2 || fstat(2, &st) < 0)
		return false;
	return st.st_dev == dev && st.st_ino == ino;
}

} // namespace

// A C variadic, as it forwards printf-style arguments to vsnprintf().
void report(int priority, const char *fmt, ...)  // NOLINT(cert-dcl50-cpp)
{
	static const bool to_stderr = !stderr_is_journal();
	char text[512];
	va_list ap;
	va_start(ap, fmt);
	// The analyzer loses track of va_start() here (a known false alarm).
	std::vsnprintf(text, sizeof text, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
	va_end(ap);
	syslog(priority, "%s", text);
	if (to_stderr)
		std::fprintf(stderr, "ombrixd: %s\n", text);
}
