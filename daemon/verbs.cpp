#include "verbs.h"

#include <cmath>
#include <cstdio>

#include "bus/bus.h"
#include "clock.h"
#include "driver.h"
#include "heaters/heater.h"
#include "mailbox.h"
#include "room.h"
#include "store.h"

bool keep_request(const Config &cfg, KeepRequest *r)
{
	*r = KeepRequest{cfg.state_dir, cfg.unit, cfg.set_target, cfg.set_mode};
	return !std::isnan(r->target) || !r->mode.empty();
}

int keep_setting(const KeepRequest &r)
{
	Stored change;
	if (!std::isnan(r.target)) {
		change.has_target = true;
		change.target = r.target;
	}
	if (!r.mode.empty())
		change.has_mode = parse_mode(r.mode.c_str(), &change.mode);
	// Over the file as it is under the lock: a set of the other field, or
	// the daemon's save of what the hub set, at the same instant stays.
	if (const char *why = keep_stored(r.state_dir, r.unit, change)) {
		std::fprintf(stderr, "ombrixd: cannot keep the setting in %s: %s\n", r.state_dir.c_str(), why);
		return 1;
	}
	return 0;
}

Config heater_options(const Config &cfg)
{
	Config h;
	h.heater = cfg.heater;
	h.heater_arg = cfg.heater_arg;
	h.heater_on = cfg.heater_on;
	h.heater_off = cfg.heater_off;
	h.switch_off = true;
	if (!heater_on_bus(cfg))
		return h;
	h.mqtt_host = cfg.mqtt_host;
	h.mqtt_port = cfg.mqtt_port;
	h.mqtt_tls = cfg.mqtt_tls;
	h.mqtt_user = cfg.mqtt_user;
	h.mqtt_password_file = cfg.mqtt_password_file;
	h.mqtt_password = cfg.mqtt_password;
	h.mqtt_ca = cfg.mqtt_ca;
	h.zone = cfg.zone;
	h.unit = cfg.unit;
	return h;
}

int switch_off(const Config &heater)
{
	Mailbox mb;
	Room room(clock_s());
	Bus *bus = nullptr;
	if (heater_on_bus(heater) && !(bus = bus_open(heater, mb)))
		return 1;
	Heater h;
	if (!open_heater(heater, &room, bus, h))
		return 1;
	Driver driver(h, mb);
	const char *why = nullptr;
	bool ok = driver.stop(last_off_wait_s, &why);
	if (bus)
		bus_close(bus);
	if (!ok) {
		std::fprintf(stderr, "ombrixd: cannot switch the heater OFF: %s\n", why);
		return 1;
	}
	return 0;
}
