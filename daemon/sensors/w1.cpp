// w1:PATH: a DS18B20's w1_slave file on the 1-Wire bus, as the kernel's
// w1_therm writes it:
//     72 01 4b 46 7f ff 0e 10 57 : crc=57 YES
//     72 01 4b 46 7f ff 0e 10 57 t=23125
#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "kinds.h"

namespace {

constexpr long w1_power_on = 85000;  // what a DS18B20 holds before its first conversion
constexpr long sixteenths_per_degree = 16;  // the scratchpad's unit, at any resolution
// The kernel rounds on its own: t= may differ from the bytes by up to one
// step of the finest resolution (1/16 °C), never more.
constexpr long milli_per_step = 1000 / sixteenths_per_degree;

// Whether the scratchpad bytes, "00 00 ... 00", are all zero: a bus that
// reads nothing but zeros passes the CRC check.
bool all_zeros(std::string_view bytes)
{
	return bytes.find_first_not_of("0 ") == std::string_view::npos && bytes.find('0') != std::string_view::npos;
}

// The temperature in the scratchpad's first two bytes, "LSB MSB ...": a
// signed count of sixteenths of a degree, in millidegrees as the kernel
// writes it after t=.
bool scratchpad_milli(std::string_view bytes, long *milli)
{
	unsigned lsb, msb;
	auto [p, e1] = std::from_chars(bytes.data(), bytes.data() + bytes.size(), lsb, 16);
	if (e1 != std::errc() || p + 1 >= bytes.data() + bytes.size() || *p != ' ')
		return false;
	auto [q, e2] = std::from_chars(p + 1, bytes.data() + bytes.size(), msb, 16);
	if (e2 != std::errc() || lsb > 0xff || msb > 0xff)
		return false;
	auto raw = static_cast<int16_t>(msb << 8 | lsb);
	*milli = long{raw} * 1000 / sixteenths_per_degree;
	return true;
}

// The second line, "<scratchpad> t=<millidegrees>": the number after t=,
// when it is what the scratchpad on the same line holds.  A file cut inside
// the number ("t=2" of "t=23125") is plausible and wrong: the check
// against the bytes catches it.
bool second_line(std::string_view line, long *milli, const char **why)
{
	size_t t = line.find("t=");
	if (t == std::string_view::npos) {
		*why = "the w1 file has no t=";
		return false;
	}
	if (!millidegrees(line.data() + t + 2, line.data() + line.size(), milli, why))
		return false;
	long held;
	if (!scratchpad_milli(line.substr(0, t), &held) || std::labs(*milli - held) > milli_per_step) {
		*why = "the w1 file's t= disagrees with its scratchpad";
		return false;
	}
	return true;
}

Reading read_w1(const Sensor &s, double)
{
	return read_file(s.arg.c_str(), parse_w1);
}

} // namespace

bool parse_w1(const char *text, float *celsius, const char **why)
{
	std::string_view all = text;
	size_t eol = all.find('\n');
	std::string_view first = all.substr(0, eol);
	first = first.substr(0, first.find_last_not_of(" \t\r") + 1);
	std::string_view second = eol == std::string_view::npos ? "" : all.substr(eol + 1);
	if (second.find('\n') == std::string_view::npos) {
		*why = "the w1 file is cut short";
		return false;
	}
	second = second.substr(0, second.find('\n'));
	if (!first.ends_with("YES")) {
		*why = "the w1 chip failed its CRC";
		return false;
	}
	if (all_zeros(first.substr(0, first.find(':')))) {
		*why = "the w1 chip read as all zeros";
		return false;
	}
	long milli;
	if (!second_line(second, &milli, why))
		return false;
	if (milli == w1_power_on) {
		*why = "the w1 chip holds its power-on value";
		return false;
	}
	*celsius = static_cast<float>(milli) / millidegrees_per_degree;
	return true;
}

extern const SensorKind w1_sensor = {.name = "w1", .arg = "PATH", .celsius = true, .on_bus = false, .read = read_w1};
