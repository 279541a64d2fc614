// file:PATH: a relay's file that takes "1" and "0": a sysfs LED's
// brightness, a GPIO's value.
#include <cerrno>
#include <cstdint>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

#include "heater.h"
#include "kit/file.h"

namespace {

constexpr char on_text[] = "1\n";   // what a relay's brightness or value file takes
constexpr char off_text[] = "0\n";

// The file must be there already: a relay that is not is a wrong path, and
// a new file in its place would switch nothing.  The folders on the way
// may be links, as sysfs reaches its attributes through them; the file
// itself may not, or a link planted there would pass the OFF on to
// whatever it names.
bool open_relay(const Config &cfg, Heater &h)
{
	const char *why = nullptr;
	h.fd = open_regular(cfg.heater_arg.c_str(), O_WRONLY | O_NOFOLLOW, SIZE_MAX, &why);
	if (h.fd < 0) {
		std::fprintf(stderr, "ombrixd: heater %s: %s\n", cfg.heater_arg.c_str(), why);
		return false;
	}
	return true;
}

// Over the old content from the start, then cut to length, with calls that
// are safe in a signal handler.  sysfs takes the write whole and ignores
// the cut.
bool write_relay(int fd, bool on)
{
	const char *text = on ? on_text : off_text;
	size_t len = sizeof on_text - 1;  // both texts are one digit and a newline
	ssize_t n;
	do
		n = pwrite(fd, text, len, 0);
	while (n < 0 && errno == EINTR);
	return n == static_cast<ssize_t>(len) && ftruncate(fd, static_cast<off_t>(len)) == 0;
}

bool switch_relay(const Heater &h, bool on, double, int, const char **why)
{
	if (!write_relay(h.fd, on)) {
		*why = "the heater file cannot be written";
		return false;
	}
	return true;
}

void relay_off_in_signal(const Heater &h)
{
	if (h.fd >= 0)
		write_relay(h.fd, false);
}

} // namespace

extern const HeaterKind file_heater = {.name = "file", .arg = "PATH", .on_bus = false, .resends = false,
                                .open = open_relay, .drive = switch_relay, .last_off = nullptr,
                                .off_in_signal = relay_off_in_signal};
