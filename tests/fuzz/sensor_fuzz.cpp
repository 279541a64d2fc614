// libFuzzer target: every parser of what a sensor or a plug hands ombrixd,
// over arbitrary bytes (a hostile file, a broken chip, a stranger on the
// bus).  None may crash, read past the text, or call a reading good
// without giving a finite number; a good w1 reading is never the chip's
// power-on value; a daemon never yields to its own claim.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "bus/bus.h"
#include "sensors/sensor.h"

namespace {

constexpr float w1_power_on_c = 85;

void check(bool ok)
{
	if (!ok)
		std::abort();
}

using Parser = bool (*)(const char *, float *, const char **);

void parse_with(Parser parse, const std::string &text)
{
	float value = NAN;
	const char *why = nullptr;
	bool good = parse(text.c_str(), &value, &why);
	check(good ? std::isfinite(value) : why != nullptr);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	std::string text(reinterpret_cast<const char *>(data), size);
	for (Parser p : {parse_millidegrees, parse_w1, parse_plain_number})
		parse_with(p, text);

	float c = 0;
	const char *why = nullptr;
	if (parse_w1(text.c_str(), &c, &why))
		check(c != w1_power_on_c);

	float value = NAN;
	for (const char *field : {"", "temperature", "DS18B20.Temperature"})
		if (parse_sensor_payload(text.c_str(), field, &value, &why))
			check(std::isfinite(value));
	bool on = false;
	parse_heater_report(text.c_str(), "ON", "OFF", &on);
	// One's own claim is never an answer or a reason to yield.  An id is a
	// C string, as the payload is: up to the first NUL.
	std::string id = text.c_str();
	for (Role role : {Role::asking, Role::holding, Role::watching})
		for (bool retained : {false, true})
			check(claim_seen(role, id, (std::string(claim_asked) + id).c_str(), retained) == Claim::ignore);
	// Nothing retained is a claim, whatever it says.
	check(claim_seen(Role::watching, "ombrixd-default-host", text.c_str(), true) == Claim::ignore);
	claim_seen(Role::asking, "ombrixd-default-host", text.c_str(), false);
	return 0;
}
