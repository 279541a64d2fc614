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
#include <string>
#include <utility>

#include <nlohmann/json.hpp>
#include <syslog.h>
#include <unistd.h>

#include "heaters/heater.h"
#include "kit/number.h"
#include "kit/text.h"
#include "log.h"
#include "mailbox.h"
#include "sensors/sensor.h"
#include "setpoint.h"
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

Discovery entity(const Config &cfg, const Names &n, const char *component, const char *object,
                 nlohmann::json config)
{
	std::string node = "ombrix_" + id_of(cfg.zone);
	config["unique_id"] = node + "_" + object;
	config["availability_topic"] = n.t_availability;
	config["payload_available"] = online;
	config["payload_not_available"] = offline;
	config["device"] = device_of(cfg);
	return {cfg.ha_prefix + "/" + component + "/" + node + "/" + object + "/config", config.dump()};
}

// The zone's sensors, as the hub shows them.
void describe_sensors(const Config &cfg, Names &n)
{
	n.discovery[0] = entity(cfg, n, "sensor", "temperature",
	                        {{"name", "Temperature"},
	                         {"state_topic", n.t_temperature},
	                         {"device_class", "temperature"},
	                         {"state_class", "measurement"},
	                         {"unit_of_measurement", unit_sign(cfg.unit)}});
	n.discovery[1] = entity(cfg, n, "binary_sensor", "heater",
	                        {{"name", "Heater"},
	                         {"state_topic", n.t_heater},
	                         {"device_class", "heat"},
	                         {"payload_on", "ON"},
	                         {"payload_off", "OFF"}});
	// The fault topic holds the rule's name, or nothing: that is the state,
	// and the same text is the attribute "rule".
	n.discovery[2] = entity(cfg, n, "binary_sensor", "fault",
	                        {{"name", "Fault"},
	                         {"state_topic", n.t_fault},
	                         {"device_class", "problem"},
	                         {"value_template", "{{ 'ON' if value else 'OFF' }}"},
	                         {"json_attributes_topic", n.t_fault},
	                         {"json_attributes_template", "{{ {'rule': value} | tojson }}"}});
}

// The thermostat itself, as the hub's climate card shows and sets it.
void describe_thermostat(const Config &cfg, Names &n)
{
	n.discovery[3] = entity(cfg, n, "climate", "thermostat",
	                        {{"name", "Thermostat"},
	                         {"current_temperature_topic", n.t_temperature},
	                         {"temperature_command_topic", n.t_target_set},
	                         {"temperature_state_topic", n.t_target},
	                         {"mode_command_topic", n.t_mode_set},
	                         {"mode_state_topic", n.t_mode},
	                         {"modes", {"off", "heat"}},
	                         {"action_topic", n.t_action},
	                         {"min_temp", cfg.target_min},
	                         {"max_temp", largest_target(cfg)},
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

// The zone's own topics, under ombrix/<zone>/.
void name_topics(const Config &cfg, Names &n)
{
	std::string base = "ombrix/" + cfg.zone + "/";
	n.t_temperature = base + "temperature";
	n.t_command = base + "command";
	n.t_heater = base + "heater";
	n.t_fault = base + "fault";
	n.t_availability = base + "availability";
	n.t_claim = base + "claim";
	n.t_target = base + "target";
	n.t_mode = base + "mode";
	n.t_action = base + "action";
	n.t_target_set = base + "target/set";
	n.t_mode_set = base + "mode/set";
}

} // namespace

Names names_of(const Config &cfg)
{
	Names n;
	if (sensor_on_bus(cfg))
		n.sensor_topic = cfg.sensor_arg;
	if (heater_on_bus(cfg))
		n.heater_topic = cfg.heater_arg;
	n.state_topic = cfg.heater_state;
	name_topics(cfg, n);
	n.client_id = client_id_of(cfg);
	n.claim = claim_asked + n.client_id;
	n.held = claim_held + n.client_id;
	if (!cfg.ha_prefix.empty()) {
		describe_sensors(cfg, n);
		describe_thermostat(cfg, n);
	}
	return n;
}

void send_state(const Shared &s, const Client &cl, const Shown &now, const Shown &was)
{
	const Names &n = s.names;
	auto put = [&](const std::string &topic, const char *text) {
		publish(s.lib, cl.mosq, nullptr, topic, text, true);
	};
	if (now.temperature[0] && std::strcmp(now.temperature, was.temperature) != 0)
		put(n.t_temperature, now.temperature);
	if (now.command != was.command)
		put(n.t_command, now.command);
	if (std::strcmp(now.heater, was.heater) != 0)
		put(n.t_heater, now.heater);
	if (now.fault != was.fault)
		put(n.t_fault, now.fault);
	if (now.target[0] && std::strcmp(now.target, was.target) != 0)
		put(n.t_target, now.target);
	if (now.mode[0] && std::strcmp(now.mode, was.mode) != 0)
		put(n.t_mode, now.mode);
	if (now.action[0] && std::strcmp(now.action, was.action) != 0)
		put(n.t_action, now.action);
}

void show_all(const Shared &s, const Client &cl)
{
	publish(s.lib, cl.mosq, nullptr, s.names.t_availability, online, true);
	if (!s.cfg.ha_prefix.empty())
		for (const Discovery &d : s.names.discovery)
			publish(s.lib, cl.mosq, nullptr, d.topic, d.config.c_str(), true);
	send_state(s, cl, cl.shown, Shown{});
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

// --- what the zone's topics bring, on the bus thread ------------------------

void BusThread::hear_reading(const mosquitto_message *m)
{
	// A retained reading is of unknown age: it may be all the broker has of
	// a sensor that died a week ago.
	if (m->retain) {
		if (!std::exchange(warned_retained_, true))
			report(LOG_INFO, "mqtt: skipping the retained reading on %s; waiting for a new one",
			       s_.names.sensor_topic.c_str());
		return;
	}
	char text[payload_max];
	if (!text_of(m, text)) {
		s_.mb.post_reading(NAN, "the mqtt payload is too long or holds a NUL");
		return;
	}
	float value;
	const char *why = nullptr;
	if (parse_sensor_payload(text, s_.cfg.sensor_field.c_str(), &value, &why))
		s_.mb.post_reading(value, nullptr);
	else
		s_.mb.post_reading(NAN, why);
}

void BusThread::hear_report(const mosquitto_message *m)
{
	char text[payload_max];
	bool on;
	if (text_of(m, text) && parse_heater_report(text, s_.cfg.heater_on, s_.cfg.heater_off, &on))
		s_.mb.post_report(on);
}

// An "offline" on the zone's availability while it is this daemon's is
// stale: a Last Will of a session that ended, which must not stand.
void BusThread::hear_availability(const mosquitto_message *m)
{
	char text[payload_max];
	if (link_ == Link::active && !s_.leaving && text_of(m, text) && std::strcmp(text, offline) == 0)
		send(s_.names.t_availability, online, true);
}

// A target or mode from the hub.  Only the daemon that holds the zone
// obeys, and never a retained one: it may be a week old.  The supervisor
// checks a target against the bounds.
void BusThread::hear_setting(const mosquitto_message *m, bool target)
{
	if (link_ != Link::active || m->retain)
		return;
	char text[payload_max];
	double value;
	Mode mode;
	if (!text_of(m, text))
		report(LOG_WARNING, "mqtt: %s refused: too long or holds a NUL", m->topic);
	else if (target && parse_number(trim(text), &value))
		s_.mb.post_set_target(value);
	else if (!target && parse_mode(text, &mode))
		s_.mb.post_set_mode(mode);
	else
		report(LOG_WARNING, "mqtt: %s refused: not %s: \"%s\"", m->topic, target ? "a number" : "heat or off",
		       text);
}

bool BusThread::matches(const std::string &sub, const char *topic) const
{
	bool yes = false;
	return !sub.empty() && s_.lib.topic_matches_sub(sub.c_str(), topic, &yes) == MOSQ_ERR_SUCCESS && yes;
}

// Each message goes to what hears its topic.
void BusThread::hear(const mosquitto_message *m)
{
	const Names &n = s_.names;
	if (n.t_claim == m->topic)
		hear_claim(m);
	else if (n.t_availability == m->topic)
		hear_availability(m);
	else if (n.t_target_set == m->topic || n.t_mode_set == m->topic)
		hear_setting(m, n.t_target_set == m->topic);
	if (matches(n.sensor_topic, m->topic))
		hear_reading(m);
	if (matches(n.state_topic, m->topic))
		hear_report(m);
}

void BusThread::on_message(mosquitto *, void *obj, const mosquitto_message *m)
{
	static_cast<BusThread *>(obj)->hear(m);
}
