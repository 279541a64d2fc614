// What the bus shows and hears on the zone's topics: their names, the
// hub's discovery entities, the retained state, and the readings, plug
// reports and settings that arrive.  Every topic and payload but the
// readings is built once, in bus_open.
#include "bus_impl.h"

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <nlohmann/json.hpp>
#include <syslog.h>
#include <unistd.h>

#include "kit/number.h"
#include "kit/text.h"
#include "log.h"
#include "mailbox.h"
#include "units.h"

namespace {

constexpr const char *machine_id_path = "/etc/machine-id";
constexpr size_t machine_id_len = 8;       // of its 32 hex digits: enough to tell boards apart

// Discovery ids allow only [a-zA-Z0-9_-]; zone names may hold more.
std::string id_of(const std::string &zone)
{
	std::string id = zone;
	for (char &c : id)
		if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_')
			c = '_';
	return id;
}

nlohmann::json device_of(const Config &cfg)
{
	return {{"identifiers", {"ombrix_" + id_of(cfg.zone)}},
	        {"name", cfg.zone},
	        {"manufacturer", "ombrix"},
	        {"model", "ombrixd"}};
}

Discovery entity(const Bus &b, const char *component, const char *object, nlohmann::json config)
{
	std::string node = "ombrix_" + id_of(b.cfg.zone);
	config["unique_id"] = node + "_" + object;
	config["availability_topic"] = b.t_availability;
	config["payload_available"] = online;
	config["payload_not_available"] = offline;
	config["device"] = device_of(b.cfg);
	return {b.cfg.ha_prefix + "/" + component + "/" + node + "/" + object + "/config", config.dump()};
}

void build_discovery(Bus &b)
{
	const char *unit = unit_sign(b.cfg.unit);
	b.discovery[0] = entity(b, "sensor", "temperature",
	                        {{"name", "Temperature"},
	                         {"state_topic", b.t_temperature},
	                         {"device_class", "temperature"},
	                         {"state_class", "measurement"},
	                         {"unit_of_measurement", unit}});
	b.discovery[1] = entity(b, "binary_sensor", "heater",
	                        {{"name", "Heater"},
	                         {"state_topic", b.t_heater},
	                         {"device_class", "heat"},
	                         {"payload_on", "ON"},
	                         {"payload_off", "OFF"}});
	// The fault topic holds the rule's name, or nothing: that is the state,
	// and the same text is the attribute "rule".
	b.discovery[2] = entity(b, "binary_sensor", "fault",
	                        {{"name", "Fault"},
	                         {"state_topic", b.t_fault},
	                         {"device_class", "problem"},
	                         {"value_template", "{{ 'ON' if value else 'OFF' }}"},
	                         {"json_attributes_topic", b.t_fault},
	                         {"json_attributes_template", "{{ {'rule': value} | tojson }}"}});
	// The thermostat itself, as the hub's climate card shows and sets it.
	const Config &cfg = b.cfg;
	b.discovery[3] = entity(b, "climate", "thermostat",
	                        {{"name", "Thermostat"},
	                         {"current_temperature_topic", b.t_temperature},
	                         {"temperature_command_topic", b.t_target_set},
	                         {"temperature_state_topic", b.t_target},
	                         {"mode_command_topic", b.t_mode_set},
	                         {"mode_state_topic", b.t_mode},
	                         {"modes", {"off", "heat"}},
	                         {"action_topic", b.t_action},
	                         {"min_temp", cfg.target_min},
	                         {"max_temp", cfg.target_max},
	                         {"temp_step", cfg.unit == Unit::fahrenheit ? 1.0 : 0.5},
	                         {"precision", 0.1},
	                         {"temperature_unit", unit_name(cfg.unit)}});
}

// The first digits of the machine id, or "" where there is none: two
// boards left at the same host name still differ there.
std::string machine_id()
{
	char id[machine_id_len + 1] = "";
	FILE *f = std::fopen(machine_id_path, "re");
	if (f) {
		if (!std::fgets(id, sizeof id, f))
			id[0] = '\0';
		std::fclose(f);
	}
	return std::strlen(id) == machine_id_len ? id : "";
}

std::string client_id_of(const Config &cfg)
{
	char host[256] = "";
	if (gethostname(host, sizeof host - 1) < 0)
		host[0] = '\0';
	std::string id = "ombrixd-" + cfg.zone + "-" + host;
	std::string machine = machine_id();
	return machine.empty() ? id : id + "-" + machine;
}

void hear_reading(Bus &b, const mosquitto_message *m)
{
	// A retained reading is of unknown age: it may be all the broker has of
	// a sensor that died a week ago.
	if (m->retain) {
		if (!b.warned_retained.exchange(true))
			report(LOG_INFO, "mqtt: skipping the retained reading on %s; waiting for a new one",
			       b.sensor_topic.c_str());
		return;
	}
	char text[payload_max];
	if (!text_of(m, text)) {
		b.mb.post_reading(NAN, "the mqtt payload is too long or holds a NUL");
		return;
	}
	float value;
	const char *why = nullptr;
	if (parse_sensor_payload(text, b.cfg.sensor_field.c_str(), &value, &why))
		b.mb.post_reading(value, nullptr);
	else
		b.mb.post_reading(NAN, why);
}

void hear_report(Bus &b, const mosquitto_message *m)
{
	char text[payload_max];
	bool on;
	if (text_of(m, text) && parse_heater_report(text, b.cfg.heater_on, b.cfg.heater_off, &on))
		b.mb.post_report(on);
}

// An "offline" on the zone's availability while it is this daemon's is
// stale: a Last Will of a session that ended, which must not stand.
void hear_availability(Bus &b, const mosquitto_message *m)
{
	char text[payload_max];
	if (b.link == Link::active && !b.leaving && text_of(m, text) && std::strcmp(text, offline) == 0)
		publish(b, nullptr, b.t_availability, online, true);
}

// A target or mode from the hub.  Only the daemon that holds the zone
// obeys, and never a retained one: it may be a week old.  The supervisor
// checks a target against the bounds.
void hear_setting(Bus &b, const mosquitto_message *m, bool target)
{
	if (b.link != Link::active || m->retain)
		return;
	char text[payload_max];
	double value;
	Mode mode;
	if (!text_of(m, text))
		report(LOG_WARNING, "mqtt: %s refused: too long or holds a NUL", m->topic);
	else if (target && parse_number(trim(text), &value))
		b.mb.post_set_target(value);
	else if (!target && parse_mode(text, &mode))
		b.mb.post_set_mode(mode);
	else
		report(LOG_WARNING, "mqtt: %s refused: not %s: \"%s\"", m->topic, target ? "a number" : "heat or off",
		       text);
}

bool matches(const Bus &b, const std::string &sub, const char *topic)
{
	bool yes = false;
	return !sub.empty() && b.lib->topic_matches_sub(sub.c_str(), topic, &yes) == MOSQ_ERR_SUCCESS && yes;
}

} // namespace

void build_topics(Bus &b)
{
	const Config &cfg = b.cfg;
	if (sensor_on_bus(cfg))
		b.sensor_topic = cfg.sensor_arg;
	if (heater_on_bus(cfg))
		b.heater_topic = cfg.heater_arg;
	b.state_topic = cfg.heater_state;
	std::string base = "ombrix/" + cfg.zone + "/";
	b.t_temperature = base + "temperature";
	b.t_command = base + "command";
	b.t_heater = base + "heater";
	b.t_fault = base + "fault";
	b.t_availability = base + "availability";
	b.t_claim = base + "claim";
	b.t_target = base + "target";
	b.t_mode = base + "mode";
	b.t_action = base + "action";
	b.t_target_set = base + "target/set";
	b.t_mode_set = base + "mode/set";
	b.client_id = client_id_of(cfg);
	b.claim = claim_asked + b.client_id;
	b.held = claim_held + b.client_id;
	if (!cfg.ha_prefix.empty())
		build_discovery(b);
}

void send_state(Bus &b, const Shown &now, const Shown &was)
{
	if (now.temperature[0] && std::strcmp(now.temperature, was.temperature) != 0)
		publish(b, nullptr, b.t_temperature, now.temperature, true);
	if (now.command != was.command)
		publish(b, nullptr, b.t_command, now.command, true);
	if (std::strcmp(now.heater, was.heater) != 0)
		publish(b, nullptr, b.t_heater, now.heater, true);
	if (now.fault != was.fault)
		publish(b, nullptr, b.t_fault, now.fault, true);
	if (now.target[0] && std::strcmp(now.target, was.target) != 0)
		publish(b, nullptr, b.t_target, now.target, true);
	if (now.mode[0] && std::strcmp(now.mode, was.mode) != 0)
		publish(b, nullptr, b.t_mode, now.mode, true);
	if (now.action[0] && std::strcmp(now.action, was.action) != 0)
		publish(b, nullptr, b.t_action, now.action, true);
}

void show_all(Bus &b)
{
	publish(b, nullptr, b.t_availability, online, true);
	if (!b.cfg.ha_prefix.empty())
		for (const Discovery &d : b.discovery)
			publish(b, nullptr, d.topic, d.config.c_str(), true);
	send_state(b, b.shown, Shown{});
}

bool text_of(const mosquitto_message *m, char (&text)[payload_max])
{
	if (m->payloadlen < 0 || static_cast<size_t>(m->payloadlen) >= sizeof text)
		return false;
	if (m->payloadlen > 0)  // an empty payload may come without a buffer
		std::memcpy(text, m->payload, static_cast<size_t>(m->payloadlen));
	text[m->payloadlen] = '\0';
	return std::strlen(text) == static_cast<size_t>(m->payloadlen);
}


void on_message(mosquitto *, void *obj, const mosquitto_message *m)
{
	Bus &b = *static_cast<Bus *>(obj);
	if (b.t_claim == m->topic)
		hear_claim(b, m);
	else if (b.t_availability == m->topic)
		hear_availability(b, m);
	else if (b.t_target_set == m->topic || b.t_mode_set == m->topic)
		hear_setting(b, m, b.t_target_set == m->topic);
	if (matches(b, b.sensor_topic, m->topic))
		hear_reading(b, m);
	if (matches(b, b.state_topic, m->topic))
		hear_report(b, m);
}
