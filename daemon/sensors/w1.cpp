// w1:PATH: a DS18B20's w1_slave file on the 1-Wire bus.
#include <cstring>
#include <string_view>

#include "kinds.h"

namespace {

constexpr long w1_power_on = 85000;  // what a DS18B20 holds before its first conversion

// Whether the scratchpad bytes, "00 00 ... 00", are all zero: a bus that
// reads nothing but zeros passes the CRC check.
bool all_zeros(std::string_view bytes)
{
	return bytes.find_first_not_of("0 ") == std::string_view::npos && bytes.find('0') != std::string_view::npos;
}

Reading read_w1(const Sensor &s, double)
{
	return read_file(s.arg.c_str(), parse_w1);
}

} // namespace

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

extern const SensorKind w1_sensor = {.name = "w1", .arg = "PATH", .celsius = true, .on_bus = false, .read = read_w1};
