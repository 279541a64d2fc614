#include "log.h"

#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <thread>

#include <sys/stat.h>
#include <syslog.h>

#include "notify.h"

namespace {

constexpr size_t queue_len = 16;  // lines: the longest burst is the start's
constexpr size_t text_len = 256;  // bytes of one, its NUL included; longer ones are cut
constexpr int state_line = -1;    // a priority that no report has

struct Line {
	int priority;   // state_line, or the report's
	bool kept;      // a safety rule's: never dropped for another
	time_t when;    // of a state line
	char text[text_len];
};

struct Queue {
	std::mutex lock;
	std::condition_variable ready, written;
	Line lines[queue_len];
	size_t head = 0, count = 0;
	unsigned dropped = 0;
	bool writing = false;   // the thread holds a line it has taken
	bool started = false;
};

// Made at start-up and never destroyed: the writing thread may still be
// blocked in a write when the daemon exits.
Queue &queue()
{
	static Queue &q = *new Queue;
	return q;
}

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

void write_report(int priority, const char *text)
{
	static const bool to_stderr = !stderr_is_journal();
	syslog(priority, "%s", text);
	if (to_stderr)
		std::fprintf(stderr, "ombrixd: %s\n", text);
}

void write_line(const Line &l)
{
	if (l.priority != state_line) {
		write_report(l.priority, l.text);
		return;
	}
	char when[32];
	tm local;
	std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%S", localtime_r(&l.when, &local));
	std::printf("%s %s\n", when, l.text);
	std::fflush(stdout);
	char status[text_len + 8];
	std::snprintf(status, sizeof status, "STATUS=%s", l.text);
	notify(status);
}

[[noreturn]] void write_out()
{
	Queue &q = queue();
	std::unique_lock<std::mutex> hold(q.lock);
	for (;;) {
		q.ready.wait(hold, [&] { return q.count > 0; });
		Line l = q.lines[q.head];
		q.head = (q.head + 1) % queue_len;
		q.count--;
		unsigned lost = q.dropped;
		q.dropped = 0;
		q.writing = true;
		hold.unlock();
		if (lost) {
			char text[80];
			std::snprintf(text, sizeof text, "%u lines dropped: the log did not keep up", lost);
			write_report(LOG_WARNING, text);
		}
		write_line(l);
		hold.lock();
		q.writing = false;
		q.written.notify_all();
	}
}

// Drops the oldest line that is not kept, under the lock, to make room in a
// full queue; false when every line is kept (the writer has been stalled
// through that many trips and clears).
bool make_room(Queue &q)
{
	size_t i = 0;
	while (i < q.count && q.lines[(q.head + i) % queue_len].kept)
		i++;
	if (i == q.count)
		return false;
	for (; i + 1 < q.count; i++)
		q.lines[(q.head + i) % queue_len] = q.lines[(q.head + i + 1) % queue_len];
	q.count--;
	q.dropped++;
	return true;
}

// Queues l, or writes it at once before log_start().
void put(const Line &l)
{
	Queue &q = queue();
	std::unique_lock<std::mutex> hold(q.lock);
	if (!q.started) {
		hold.unlock();
		write_line(l);
		return;
	}
	if (q.count == queue_len && !(l.kept && make_room(q))) {
		q.dropped++;
		return;
	}
	q.lines[(q.head + q.count) % queue_len] = l;
	q.count++;
	q.ready.notify_one();
}

// Text from a file, a command or a message may hold a newline that would
// forge a line of its own, or an escape that steers a terminal: each
// control character becomes '?'.
void make_printable(char *text)
{
	for (; *text; text++)
		if (static_cast<unsigned char>(*text) < 0x20 || *text == 0x7f)
			*text = '?';
}

// One report line, its control characters made printable.
Line report_line(int priority, bool kept, const char *fmt, va_list ap)
{
	Line l;
	l.priority = priority;
	l.kept = kept;
	l.when = 0;
	// The analyzer loses track of va_start() here (a known false alarm).
	std::vsnprintf(l.text, sizeof l.text, fmt, ap);  // NOLINT(clang-analyzer-valist.Uninitialized)
	make_printable(l.text);
	return l;
}

} // namespace

void log_start()
{
	Queue &q = queue();
	std::thread(write_out).detach();
	std::lock_guard<std::mutex> hold(q.lock);
	q.started = true;
}

// C variadics, as they forward printf-style arguments to vsnprintf().
void report(int priority, const char *fmt, ...)  // NOLINT(cert-dcl50-cpp)
{
	va_list ap;
	va_start(ap, fmt);
	Line l = report_line(priority, false, fmt, ap);
	va_end(ap);
	put(l);
}

void report_kept(int priority, const char *fmt, ...)  // NOLINT(cert-dcl50-cpp)
{
	va_list ap;
	va_start(ap, fmt);
	Line l = report_line(priority, true, fmt, ap);
	va_end(ap);
	put(l);
}

void show_line(const char *line)
{
	Line l;
	l.priority = state_line;
	l.kept = false;
	l.when = time(nullptr);
	std::snprintf(l.text, sizeof l.text, "%s", line);
	put(l);
}

bool log_flush(double timeout_s)
{
	Queue &q = queue();
	std::unique_lock<std::mutex> hold(q.lock);
	return q.written.wait_for(hold, std::chrono::duration<double>(timeout_s),
	                          [&] { return q.count == 0 && !q.writing; });
}
