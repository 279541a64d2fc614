#include "heater.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bus/bus.h"
#include "room.h"
#include "shell.h"

namespace {

constexpr char on_text[] = "1\n";   // what a relay's brightness or value file takes
constexpr char off_text[] = "0\n";
constexpr size_t answer_len = 256;  // an exec: heater's output, read and ignored

// The file must be there already: a relay that is not is a wrong path, and
// a new file in its place would switch nothing.  It need not be the final
// name: sysfs reaches its attributes through symbolic links.  Opened
// without blocking: a FIFO without a reader fails at once (ENXIO).
bool open_file(const char *path, Heater &h)
{
	h.fd = open(path, O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
	if (h.fd < 0 && errno == ENXIO) {
		std::fprintf(stderr, "ombrixd: heater %s: not a regular file\n", path);
		return false;
	}
	if (h.fd < 0) {
		std::fprintf(stderr, "ombrixd: heater %s: %s\n", path, std::strerror(errno));
		return false;
	}
	struct stat st;
	if (fstat(h.fd, &st) < 0 || !S_ISREG(st.st_mode)) {
		std::fprintf(stderr, "ombrixd: heater %s: not a regular file\n", path);
		close(h.fd);
		h.fd = -1;
		return false;
	}
	return true;
}

// Over the old content from the start, then cut to length, with calls that
// are safe in a signal handler.  sysfs takes the write whole and ignores
// the cut.
bool write_file(int fd, bool on)
{
	const char *text = on ? on_text : off_text;
	size_t len = sizeof on_text - 1;  // both texts are one digit and a newline
	ssize_t n;
	do
		n = pwrite(fd, text, len, 0);
	while (n < 0 && errno == EINTR);
	return n == static_cast<ssize_t>(len) && ftruncate(fd, static_cast<off_t>(len)) == 0;
}

bool run_command(const Heater &h, bool on, int cancel_fd, const char **why)
{
	char answer[answer_len];
	const std::string &command = on ? h.on_command : h.off_command;
	int rc = run_shell(command.c_str(), exec_heater_timeout_s, cancel_fd, answer, sizeof answer, why);
	if (rc > 0)
		*why = "the heater command failed";
	return rc == 0;
}

} // namespace

bool open_heater(const Config &cfg, Room *room, Bus *bus, Heater &h)
{
	h.kind = cfg.heater;
	h.room = room;
	h.bus = bus;
	switch (h.kind) {
	case HeaterKind::sim:
		if (!room) {
			std::fprintf(stderr, "ombrixd: the simulated heater has no room\n");
			return false;
		}
		return true;
	case HeaterKind::file:
		return open_file(cfg.heater_arg.c_str(), h);
	case HeaterKind::exec:
		h.on_command = cfg.heater_arg + " on";
		h.off_command = cfg.heater_arg + " off";
		return true;
	case HeaterKind::mqtt:
		if (!bus) {
			std::fprintf(stderr, "ombrixd: the mqtt heater has no broker\n");
			return false;
		}
		return true;
	}
	return false;
}

bool drive_heater(Heater &h, bool on, double now_s, int cancel_fd, const char **why)
{
	switch (h.kind) {
	case HeaterKind::sim:
		h.room->set_heater(on, now_s);
		return true;
	case HeaterKind::file:
		if (!write_file(h.fd, on)) {
			*why = "the heater file cannot be written";
			return false;
		}
		return true;
	case HeaterKind::exec:
		return run_command(h, on, cancel_fd, why);
	case HeaterKind::mqtt:
		return bus_heater(*h.bus, on, why);
	}
	*why = "no such heater";
	return false;
}

bool heater_resends(const Heater &h)
{
	return h.kind == HeaterKind::mqtt;
}

void heater_off_in_signal(const Heater &h)
{
	int saved = errno;  // the interrupted code may be about to read it
	if (h.kind == HeaterKind::file && h.fd >= 0)
		write_file(h.fd, false);
	errno = saved;
}
