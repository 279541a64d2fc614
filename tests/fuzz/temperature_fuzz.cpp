// libFuzzer target: the temperature round trip.  For any float, the file
// must hold exactly what "%f\n" prints, and the controller's "%f" reading
// of it must give the same float back wherever six decimals can tell
// floats apart (|t| >= 16), and one within the print's rounding elsewhere.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "fakes.h"
#include "ombrix.h"

namespace {

constexpr float exact_from = 16.0f;  // float spacing there exceeds 2e-6
constexpr double print_error = 5e-7; // "%f" rounds to six decimals

void check(bool ok)
{
	if (!ok)
		__builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	static const std::string path = [] {
		char dir[] = "/tmp/temperature-fuzz-XXXXXX";
		check(mkdtemp(dir) != nullptr);
		return std::string(dir) + "/temp";
	}();
	float t;
	if (size != sizeof t)
		return -1;
	std::memcpy(&t, data, sizeof t);

	reset();
	check(ombrix_write_temperature(path.c_str(), t) == OMBRIX_OK);
	check(calls().logs.empty() && calls().sleeps.empty());

	char expected[64], text[64] = "";
	std::snprintf(expected, sizeof expected, "%f\n", static_cast<double>(t));
	FILE *f = std::fopen(path.c_str(), "r");
	check(f != nullptr);
	size_t n = std::fread(text, 1, sizeof text - 1, f);
	text[n] = '\0';
	std::rewind(f);
	float back;
	int parsed = std::fscanf(f, "%f", &back);
	std::fclose(f);

	check(std::strcmp(text, expected) == 0);
	check(parsed == 1);
	if (std::isnan(t))
		check(std::isnan(back));
	else if (std::isinf(t) || std::fabs(t) >= exact_from)
		check(back == t);
	else
		check(std::fabs(static_cast<double>(back) - static_cast<double>(t)) <=
		      print_error + std::fabs(std::nextafter(t, INFINITY) - t));
	return 0;
}
