// libFuzzer target: ombrix_read_state and ombrix_read_command over
// arbitrary status file bytes.  The results, the states and the syslog
// lines must follow the rules of the first line, worked out here
// independently.
#include <cstdint>
#include <string>
#include <string_view>

#include <sys/mman.h>
#include <unistd.h>

#include "fakes.h"
#include "ombrix.h"

namespace {

constexpr size_t line_max = 31;  // characters the library reads of a line

// The first line as the library sees it: at most 31 bytes, through the
// first newline, and as a C string up to the first NUL.
std::string_view first_line(std::string_view all)
{
	std::string_view line = all.substr(0, line_max);
	if (size_t nl = line.find('\n'); nl != std::string_view::npos)
		line = line.substr(0, nl + 1);
	if (size_t nul = line.find('\0'); nul != std::string_view::npos)
		line = line.substr(0, nul);
	return line;
}

void check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const int fd = memfd_create("status", 0);
	static const std::string path = "/proc/self/fd/" + std::to_string(fd);
	check(fd >= 0 && ftruncate(fd, 0) == 0);
	check(pwrite(fd, data, size, 0) == static_cast<ssize_t>(size));

	reset();
	int state = 42;
	check(ombrix_read_state(path.c_str(), &state) == OMBRIX_OK);
	check(calls().sleeps.size() == 1 && calls().sleeps[0] == 1);
	check(calls().logs.size() == 1);

	std::string_view line = first_line({reinterpret_cast<const char *>(data), size});
	if (line.find("ON") != std::string_view::npos)
		check(state == OMBRIX_HEATER_ON && calls().logs[0] == "HEATER IS ON");
	else if (line.find("OFF") != std::string_view::npos)
		check(state == OMBRIX_HEATER_OFF && calls().logs[0] == "HEATER IS OFF");
	else
		check(state == OMBRIX_HEATER_ON &&
		      calls().logs[0] == "we have an unknown heater state; assuming to ON.");

	reset();
	state = 42;
	int rc = ombrix_read_command(path.c_str(), &state);
	check(calls().sleeps.size() == 1 && calls().logs.size() == 1);
	if (line == "ON\n")
		check(rc == OMBRIX_OK && state == OMBRIX_HEATER_ON && calls().logs[0] == "HEATER IS ON");
	else if (line == "OFF\n")
		check(rc == OMBRIX_OK && state == OMBRIX_HEATER_OFF && calls().logs[0] == "HEATER IS OFF");
	else
		check(rc == OMBRIX_ERR_UNKNOWN_STATE && state == 42 &&
		      calls().logs[0] == "Encountered an unknown heater state!");
	return 0;
}
