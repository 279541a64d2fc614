#include "sensor.h"

#include <cstdint>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "clock.h"
#include "kit/file.h"
#include "kit/text.h"
#include "mailbox.h"
#include "room.h"
#include "shell.h"

namespace {

constexpr float millidegrees_per_degree = 1000;
constexpr long w1_power_on = 85000;  // what a DS18B20 holds before its first conversion
constexpr size_t text_len = 256;     // a sensor's file or answer; w1_slave is 75 bytes

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

// An integer of millidegrees from p up to end, blanks around it allowed.
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

// Whether the scratchpad bytes, "00 00 ... 00", are all zero: a bus that
// reads nothing but zeros passes the CRC check.
bool all_zeros(std::string_view bytes)
{
	return bytes.find_first_not_of("0 ") == std::string_view::npos && bytes.find('0') != std::string_view::npos;
}

Reading good(float value)
{
	return {value, nullptr};
}

Reading bad(const char *why)
{
	return {NAN, why};
}

Reading read_file(const char *path, bool (*parse)(const char *, float *, const char **))
{
	char text[text_len];
	const char *why = nullptr;
	float value;
	if (!read_text(path, text, sizeof text, &why) || !parse(text, &value, &why))
		return bad(why);
	return good(value);
}

Reading read_command(const char *command)
{
	char text[text_len];
	const char *why = nullptr;
	int rc = run_shell(command, exec_sensor_timeout_s, -1, text, sizeof text, &why);
	if (rc > 0)
		return bad("the sensor command failed");
	float value;
	if (rc < 0 || !parse_plain_number(text, &value, &why))
		return bad(why);
	return good(value);
}

} // namespace

bool parse_millidegrees(const char *text, float *celsius, const char **why)
{
	long milli;
	if (!millidegrees(text, text + std::strlen(text), &milli, why))
		return false;
	*celsius = static_cast<float>(milli) / millidegrees_per_degree;
	return true;
}

bool parse_w1(const char *text, float *celsius, const char **why)
{
	const char *eol = std::strchr(text, '\n');
	if (!eol) {
		*why = "the w1 file is cut short";
		return false;
	}
	std::string_view first(text, static_cast<size_t>(eol - text));
	first = first.substr(0, first.find_last_not_of(" \t\r") + 1);
	if (!first.ends_with("YES")) {
		*why = "the w1 chip failed its CRC";
		return false;
	}
	if (all_zeros(first.substr(0, first.find(':')))) {
		*why = "the w1 chip read as all zeros";
		return false;
	}
	const char *line = eol + 1;
	const char *t = std::strstr(line, "t=");
	const char *end = line + std::strcspn(line, "\n");
	if (!t || t > end) {
		*why = "the w1 file has no t=";
		return false;
	}
	long milli;
	if (!millidegrees(t + 2, end, &milli, why))
		return false;
	if (milli == w1_power_on) {
		*why = "the w1 chip holds its power-on value";
		return false;
	}
	*celsius = static_cast<float>(milli) / millidegrees_per_degree;
	return true;
}

bool open_sensor(const Config &cfg, Room *room, Sensor &s)
{
	s.kind = cfg.sensor;
	s.arg = cfg.sensor_arg;
	s.room = room;
	if (s.kind == SensorKind::sim && !room) {
		std::fprintf(stderr, "ombrixd: the simulated sensor has no room\n");
		return false;
	}
	return true;
}

Unit sensor_unit(const Config &cfg)
{
	switch (cfg.sensor) {
	case SensorKind::sim:
	case SensorKind::hwmon:
	case SensorKind::w1:
		return Unit::celsius;
	case SensorKind::file:
	case SensorKind::exec:
	case SensorKind::mqtt:
		break;
	}
	return cfg.sensor_unit;
}

Reading read_sensor(const Sensor &s, double now_s)
{
	switch (s.kind) {
	case SensorKind::sim:
		return good(s.room->temperature(now_s));
	case SensorKind::hwmon:
		return read_file(s.arg.c_str(), parse_millidegrees);
	case SensorKind::w1:
		return read_file(s.arg.c_str(), parse_w1);
	case SensorKind::file:
		return read_file(s.arg.c_str(), parse_plain_number);
	case SensorKind::exec:
		return read_command(s.arg.c_str());
	case SensorKind::mqtt:
		break;
	}
	return bad("the bus delivers this sensor's readings");
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
