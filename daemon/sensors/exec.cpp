// exec:COMMAND: a shell command that prints one plain number, in
// --sensor-unit; a non-zero exit is a bad reading.
#include "kinds.h"
#include "shell.h"

namespace {

constexpr size_t answer_len = 256;  // bytes of the command's output that count

Reading read_command(const Sensor &s, double)
{
	char text[answer_len];
	const char *why = nullptr;
	int rc = run_shell(s.arg.c_str(), exec_sensor_timeout_s, -1, text, sizeof text, &why);
	if (rc > 0)
		return bad_reading("the sensor command failed");
	float value;
	if (rc < 0 || !parse_plain_number(text, &value, &why))
		return bad_reading(why);
	return good_reading(value);
}

} // namespace

extern const SensorKind exec_sensor = {.name = "exec", .arg = "COMMAND", .celsius = false, .on_bus = false,
                                .read = read_command};
