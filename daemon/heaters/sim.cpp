// sim: the simulated room's heater.
#include <cstdio>

#include "heater.h"
#include "room.h"

namespace {

// The row's open sets up h, though this kind has nothing to set.
// cppcheck-suppress constParameterCallback
bool open_room(const Config &, Heater &h)
{
	if (!h.room) {
		std::fprintf(stderr, "ombrixd: the simulated heater has no room\n");
		return false;
	}
	return true;
}

bool switch_room(const Heater &h, bool on, double now_s, int, const char **)
{
	h.room->set_heater(on, now_s);
	return true;
}

} // namespace

extern const HeaterKind sim_heater = {.name = "sim", .arg = nullptr, .on_bus = false, .resends = false,
                               .open = open_room, .drive = switch_room, .last_off = nullptr,
                               .off_in_signal = nullptr};
