// What every heater kind shares: the table of kinds, and the calls that go
// to a heater's row.
#include "heater.h"

#include <cerrno>

#include "clock.h"
#include "kit/rows.h"

// Each kind is defined in its own file.
extern const HeaterKind sim_heater, file_heater, exec_heater, mqtt_heater;

namespace {

// Every kind, in the order --help lists them.
const HeaterKind *const kinds[] = {&sim_heater, &file_heater, &exec_heater, &mqtt_heater};

} // namespace

const HeaterKind *find_heater(std::string_view name)
{
	return find_row(kinds, name);
}

std::string heater_usage()
{
	return usage_of(kinds);
}

bool open_heater(const Config &cfg, Room *room, Bus *bus, Heater &h)
{
	h.kind = cfg.heater;
	h.room = room;
	h.bus = bus;
	return h.kind->open(cfg, h);
}

bool drive_heater(const Heater &h, bool on, double now_s, int cancel_fd, const char **why)
{
	return h.kind->drive(h, on, now_s, cancel_fd, why);
}

bool last_heater_off(const Heater &h, const char **why)
{
	if (h.kind->last_off)
		return h.kind->last_off(h, why);
	return h.kind->drive(h, false, clock_s(), -1, why);
}

bool heater_resends(const Heater &h)
{
	return h.kind->resends;
}

void heater_off_in_signal(const Heater &h)
{
	int saved = errno;  // the interrupted code may be about to read it
	if (h.kind && h.kind->off_in_signal)
		h.kind->off_in_signal(h);
	errno = saved;
}
