// file:PATH: a file that holds one plain number, in --sensor-unit.
#include "kinds.h"

namespace {

Reading read_plain(const Sensor &s, double)
{
	return read_file(s.arg.c_str(), parse_plain_number);
}

} // namespace

extern const SensorKind file_sensor = {.name = "file", .arg = "PATH", .celsius = false, .on_bus = false,
                                .read = read_plain};
