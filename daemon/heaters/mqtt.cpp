// mqtt:TOPIC: a smart plug on the broker, sent --heater-on or --heater-off.
// A plug forgets (it reboots, it misses a message): it gets the command
// every period, and the end's OFF counts once the broker has it.
#include <cstdio>

#include "bus/bus.h"
#include "heater.h"

namespace {

constexpr double acked_off_s = 5;  // for the broker to acknowledge the end's OFF

// The row's open sets up h, though this kind has nothing to set.
// cppcheck-suppress constParameterCallback
bool open_plug(const Config &, Heater &h)
{
	if (!h.bus) {
		std::fprintf(stderr, "ombrixd: the mqtt heater has no broker\n");
		return false;
	}
	return true;
}

bool switch_plug(const Heater &h, bool on, double, int, const char **why)
{
	return bus_heater(*h.bus, on, why);
}

bool last_plug_off(const Heater &h, const char **why)
{
	if (bus_switch_off(*h.bus, acked_off_s))
		return true;
	*why = "the broker did not acknowledge it";
	return false;
}

} // namespace

extern const HeaterKind mqtt_heater = {.name = "mqtt", .arg = "TOPIC", .on_bus = true, .resends = true,
                                .open = open_plug, .drive = switch_plug, .last_off = last_plug_off,
                                .off_in_signal = nullptr};
