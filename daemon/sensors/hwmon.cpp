// hwmon:PATH: a kernel sensor's file of millidegrees Celsius (hwmon
// temp*_input, thermal_zone*/temp, IIO in_temp_input).
#include <cstring>

#include "kinds.h"

namespace {

Reading read_hwmon(const Sensor &s, double)
{
	return read_file(s.arg.c_str(), parse_millidegrees);
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

extern const SensorKind hwmon_sensor = {.name = "hwmon", .arg = "PATH", .celsius = true, .on_bus = false,
                                 .read = read_hwmon};
