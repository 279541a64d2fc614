// What every sensor kind shares: the table of kinds, the reading of a file,
// and the thread that reads every period.
#include "sensor.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "clock.h"
#include "kinds.h"
#include "kit/rows.h"
#include "kit/file.h"
#include "kit/text.h"
#include "mailbox.h"

// Each kind is defined in its own file.
extern const SensorKind sim_sensor, hwmon_sensor, w1_sensor, file_sensor, exec_sensor, mqtt_sensor;

namespace {

constexpr size_t text_len = 256;  // a sensor's file or answer; w1_slave is 75 bytes

// Every kind, in the order --help lists them.
const SensorKind *const kinds[] = {&sim_sensor, &hwmon_sensor, &w1_sensor, &file_sensor, &exec_sensor,
                                   &mqtt_sensor};

// Reads the start of a file in one read at offset 0, as sysfs wants it.
// Only a regular file: a FIFO or a device planted at the path reads as
// nothing.  sysfs says each attribute is a page long, whatever it holds.
bool read_text(const char *path, char *text, size_t len, const char **why)
{
	const char *open_why = nullptr;
	int fd = open_regular(path, O_RDONLY, SIZE_MAX, &open_why);
	if (fd < 0) {
		*why = errno == ENOENT ? "the sensor file does not exist" : "the sensor file does not open";
		return false;
	}
	ssize_t n;
	do
		n = pread(fd, text, len - 1, 0);
	while (n < 0 && errno == EINTR);
	close(fd);
	if (n < 0) {
		*why = "the sensor file cannot be read";
		return false;
	}
	text[n] = '\0';
	return true;
}

} // namespace

const SensorKind *find_sensor(std::string_view name)
{
	return find_row(kinds, name);
}

std::string sensor_usage()
{
	return usage_of(kinds);
}

Reading good_reading(float value)
{
	return {value, nullptr};
}

Reading bad_reading(const char *why)
{
	return {NAN, why};
}

Reading read_file(const char *path, bool (*parse)(const char *, float *, const char **))
{
	char text[text_len];
	const char *why = nullptr;
	float value;
	if (!read_text(path, text, sizeof text, &why) || !parse(text, &value, &why))
		return bad_reading(why);
	return good_reading(value);
}

bool millidegrees(const char *p, const char *end, long *milli, const char **why)
{
	std::string_view text = trim(std::string_view(p, static_cast<size_t>(end - p)));
	auto [num_end, ec] = std::from_chars(text.data(), text.data() + text.size(), *milli);
	if (ec != std::errc() || num_end != text.data() + text.size()) {
		*why = "no whole number of millidegrees";
		return false;
	}
	return true;
}

bool open_sensor(const Config &cfg, Room *room, Sensor &s)
{
	s.kind = cfg.sensor;
	s.arg = cfg.sensor_arg;
	s.room = room;
	if (s.kind == &sim_sensor && !room) {
		std::fprintf(stderr, "ombrixd: the simulated sensor has no room\n");
		return false;
	}
	return true;
}

Unit sensor_unit(const Config &cfg)
{
	return cfg.sensor->celsius ? Unit::celsius : cfg.sensor_unit;
}

Reading read_sensor(const Sensor &s, double now_s)
{
	if (!s.kind->read)
		return bad_reading("the bus delivers this sensor's readings");
	return s.kind->read(s, now_s);
}

void start_sensing(const Sensor &s, Mailbox &mb, double period_s)
{
	std::thread([&s, &mb, period_s] {
		for (double next = clock_s();;) {
			Reading r = read_sensor(s, clock_s());
			mb.post_reading(r.value, r.why);
			next = std::fmax(next + period_s, clock_s());
			sleep_until(next);
		}
	}).detach();
}
