// ombrixd on an MQTT broker, through libmosquitto.  The library runs the
// connection on its own thread (mosquitto_loop_start) and reconnects with
// backoff.  Its callbacks only parse (payload.cpp) and post to the mailbox.  The
// supervisor's calls only queue a message: libmosquitto's thread does the
// writing, so none of them waits for the network.
//
// Every topic and payload but the readings is built once, in bus_open.
#include "bus.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>

#include <mosquitto.h>
#include <nlohmann/json.hpp>
#include <syslog.h>

#include "log.h"
#include "mailbox.h"

namespace {

constexpr int keepalive_s = 15;            // a silent broker is noticed within 1.5 of these
constexpr unsigned reconnect_first_s = 1;  // backoff of reconnect attempts
constexpr unsigned reconnect_max_s = 30;
constexpr int qos = 1;                     // at least once, everywhere
constexpr size_t payload_max = 1024;       // longer readings are bad
constexpr double close_wait_s = 1;         // for the broker to take "offline"
constexpr const char *system_ca_path = "/etc/ssl/certs";

constexpr const char *online = "online";
constexpr const char *offline = "offline";

struct Discovery {
	std::string topic;
	std::string config;
};

// What the broker was last given of the daemon's state.  Texts, so that a
// temperature is sent again only when its shown value changes.
struct Shown {
	char temperature[32] = "";
	const char *command = "";
	const char *heater = "";
	const char *fault = "";
};

} // namespace

class Bus {
public:
	Bus(const Config &cfg, Mailbox &mb) : cfg(cfg), mb(mb) {}

	const Config cfg;
	Mailbox &mb;
	mosquitto *mosq = nullptr;
	bool loop_started = false;

	std::string sensor_topic;  // empty: the sensor is not on the bus
	std::string heater_topic;  // empty: the heater is not on the bus
	std::string state_topic;   // where the plug reports, or empty
	std::string t_temperature, t_command, t_heater, t_fault, t_availability;
	Discovery discovery[3];

	std::atomic<bool> connected{false};
	std::atomic<bool> warned_retained{false};

	// Serializes state messages: bus_state (supervisor) and a new
	// connection (libmosquitto's thread) both send them.
	std::mutex state_lock;
	Shown shown;

	// Acknowledgements, for bus_switch_off and bus_close.
	std::mutex ack_lock;
	std::condition_variable ack_cv;
	int acked_mid = 0;
};

namespace {

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
	const char *unit = b.cfg.unit == Unit::fahrenheit ? "\u00b0F" : "\u00b0C";
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
}

void build_topics(Bus &b)
{
	const Config &cfg = b.cfg;
	if (cfg.sensor == SensorKind::mqtt)
		b.sensor_topic = cfg.sensor_arg;
	if (cfg.heater == HeaterKind::mqtt)
		b.heater_topic = cfg.heater_arg;
	b.state_topic = cfg.heater_state;
	std::string base = "ombrix/" + cfg.zone + "/";
	b.t_temperature = base + "temperature";
	b.t_command = base + "command";
	b.t_heater = base + "heater";
	b.t_fault = base + "fault";
	b.t_availability = base + "availability";
	if (!cfg.ha_prefix.empty())
		build_discovery(b);
}

int publish(Bus &b, int *mid, const std::string &topic, const char *text, bool retain)
{
	return mosquitto_publish(b.mosq, mid, topic.c_str(), static_cast<int>(std::strlen(text)), text, qos,
	                         retain);
}

// Sends the state fields that differ from what was shown (all of them when
// shown is blank); the caller holds state_lock.
void send_state(Bus &b, const Shown &now, const Shown &was)
{
	if (now.temperature[0] && std::strcmp(now.temperature, was.temperature) != 0)
		publish(b, nullptr, b.t_temperature, now.temperature, true);
	if (now.command != was.command)
		publish(b, nullptr, b.t_command, now.command, true);
	if (now.heater != was.heater)
		publish(b, nullptr, b.t_heater, now.heater, true);
	if (now.fault != was.fault)
		publish(b, nullptr, b.t_fault, now.fault, true);
}

void subscribe(Bus &b, const std::string &topic)
{
	if (topic.empty())
		return;
	int rc = mosquitto_subscribe(b.mosq, nullptr, topic.c_str(), qos);
	if (rc != MOSQ_ERR_SUCCESS)
		report(LOG_ERR, "mqtt: cannot subscribe to %s: %s", topic.c_str(), mosquitto_strerror(rc));
}

void on_connect(mosquitto *, void *obj, int rc)
{
	Bus &b = *static_cast<Bus *>(obj);
	if (rc != 0) {
		report(LOG_ERR, "mqtt: the broker refused the connection: %s", mosquitto_connack_string(rc));
		return;
	}
	report(LOG_NOTICE, "mqtt: connected to %s port %d", b.cfg.mqtt_host.c_str(), b.cfg.mqtt_port);
	b.connected = true;
	if (!b.cfg.switch_off) {
		// A new subscription starts with the retained reading, which is
		// skipped: worth one word in the log for each connection.
		b.warned_retained = false;
		subscribe(b, b.sensor_topic);
		subscribe(b, b.state_topic);
		publish(b, nullptr, b.t_availability, online, true);
		if (!b.cfg.ha_prefix.empty())
			for (const Discovery &d : b.discovery)
				publish(b, nullptr, d.topic, d.config.c_str(), true);
		std::lock_guard<std::mutex> hold(b.state_lock);
		send_state(b, b.shown, Shown{});
	}
	b.mb.post_connected();
}

void on_disconnect(mosquitto *, void *obj, int rc)
{
	Bus &b = *static_cast<Bus *>(obj);
	if (b.connected.exchange(false) && rc != 0)
		report(LOG_WARNING, "mqtt: lost the broker: %s; reconnecting", mosquitto_strerror(rc));
}

void on_publish(mosquitto *, void *obj, int mid)
{
	Bus &b = *static_cast<Bus *>(obj);
	{
		std::lock_guard<std::mutex> hold(b.ack_lock);
		b.acked_mid = mid;
	}
	b.ack_cv.notify_all();
}

void take_reading(Bus &b, const mosquitto_message *m)
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
	if (m->payloadlen < 0 || static_cast<size_t>(m->payloadlen) >= sizeof text) {
		b.mb.post_reading(NAN, "the mqtt payload is too long");
		return;
	}
	std::memcpy(text, m->payload, static_cast<size_t>(m->payloadlen));
	text[m->payloadlen] = '\0';
	float value;
	const char *why = nullptr;
	if (parse_sensor_payload(text, b.cfg.sensor_field.c_str(), &value, &why))
		b.mb.post_reading(value, nullptr);
	else
		b.mb.post_reading(NAN, why);
}

void take_report(Bus &b, const mosquitto_message *m)
{
	char text[payload_max];
	if (m->payloadlen < 0 || static_cast<size_t>(m->payloadlen) >= sizeof text)
		return;
	std::memcpy(text, m->payload, static_cast<size_t>(m->payloadlen));
	text[m->payloadlen] = '\0';
	bool on;
	if (parse_heater_report(text, b.cfg.heater_on, b.cfg.heater_off, &on))
		b.mb.post_report(on);
}

bool matches(const std::string &sub, const char *topic)
{
	bool yes = false;
	return !sub.empty() && mosquitto_topic_matches_sub(sub.c_str(), topic, &yes) == MOSQ_ERR_SUCCESS && yes;
}

void on_message(mosquitto *, void *obj, const mosquitto_message *m)
{
	Bus &b = *static_cast<Bus *>(obj);
	if (matches(b.sensor_topic, m->topic))
		take_reading(b, m);
	if (matches(b.state_topic, m->topic))
		take_report(b, m);
}

// Waits until the message mid is acknowledged, or the deadline.
bool wait_ack(Bus &b, int mid, double timeout_s)
{
	std::unique_lock<std::mutex> hold(b.ack_lock);
	return b.ack_cv.wait_for(hold, std::chrono::duration<double>(timeout_s),
	                         [&] { return b.acked_mid == mid; });
}

bool fail_open(Bus *b, const char *what, const char *why)
{
	std::fprintf(stderr, "ombrixd: mqtt: %s: %s\n", what, why);
	if (b->mosq)
		mosquitto_destroy(b->mosq);
	delete b;
	return false;
}

bool set_up(Bus *b)
{
	const Config &cfg = b->cfg;
	std::string id = "ombrixd-" + cfg.zone;
	b->mosq = mosquitto_new(id.c_str(), true, b);
	if (!b->mosq)
		return fail_open(b, "cannot make a client", std::strerror(errno));
	int rc = mosquitto_will_set(b->mosq, b->t_availability.c_str(), static_cast<int>(std::strlen(offline)),
	                            offline, qos, true);
	if (rc != MOSQ_ERR_SUCCESS)
		return fail_open(b, "cannot set the last will", mosquitto_strerror(rc));
	if (!cfg.mqtt_user.empty()) {
		rc = mosquitto_username_pw_set(b->mosq, cfg.mqtt_user.c_str(),
		                               cfg.mqtt_password.empty() ? nullptr : cfg.mqtt_password.c_str());
		if (rc != MOSQ_ERR_SUCCESS)
			return fail_open(b, "cannot set the user", mosquitto_strerror(rc));
	}
	if (cfg.mqtt_tls) {
		const char *ca = cfg.mqtt_ca.empty() ? nullptr : cfg.mqtt_ca.c_str();
		rc = mosquitto_tls_set(b->mosq, ca, ca ? nullptr : system_ca_path, nullptr, nullptr, nullptr);
		if (rc != MOSQ_ERR_SUCCESS)
			return fail_open(b, ca ? cfg.mqtt_ca.c_str() : system_ca_path,
			                 rc == MOSQ_ERR_INVAL ? "cannot read the CA certificates" : mosquitto_strerror(rc));
	}
	mosquitto_connect_callback_set(b->mosq, on_connect);
	mosquitto_disconnect_callback_set(b->mosq, on_disconnect);
	mosquitto_publish_callback_set(b->mosq, on_publish);
	mosquitto_message_callback_set(b->mosq, on_message);
	mosquitto_reconnect_delay_set(b->mosq, reconnect_first_s, reconnect_max_s, true);
	return true;
}

// Zone names become topic levels: no wildcards, no extra levels.
bool good_zone(const std::string &zone)
{
	return !zone.empty() && zone.find_first_of("/+#") == std::string::npos;
}

} // namespace

Bus *bus_open(const Config &cfg, Mailbox &mb)
{
	static std::once_flag init;
	std::call_once(init, [] { mosquitto_lib_init(); });
	if (cfg.mqtt_host.empty()) {
		std::fprintf(stderr, "ombrixd: mqtt: no broker: give --mqtt URL\n");
		return nullptr;
	}
	if (!good_zone(cfg.zone)) {
		std::fprintf(stderr, "ombrixd: --zone: \"%s\" cannot be a topic level: no /, + or #\n",
		             cfg.zone.c_str());
		return nullptr;
	}
	Bus *b = new Bus(cfg, mb);
	build_topics(*b);
	if (!set_up(b))
		return nullptr;
	// A broker that cannot be reached yet is no start-up failure: the
	// library's thread keeps trying, and the rules hold the heater OFF.
	int rc = mosquitto_connect_async(b->mosq, cfg.mqtt_host.c_str(), cfg.mqtt_port, keepalive_s);
	if (rc == MOSQ_ERR_INVAL) {
		fail_open(b, cfg.mqtt_host.c_str(), "the library refuses these settings");
		return nullptr;
	}
	if (rc != MOSQ_ERR_SUCCESS)
		report(LOG_WARNING, "mqtt: cannot reach %s port %d yet: %s", cfg.mqtt_host.c_str(), cfg.mqtt_port,
		       rc == MOSQ_ERR_ERRNO ? std::strerror(errno) : mosquitto_strerror(rc));
	rc = mosquitto_loop_start(b->mosq);
	if (rc != MOSQ_ERR_SUCCESS) {
		fail_open(b, "cannot start the network thread", mosquitto_strerror(rc));
		return nullptr;
	}
	b->loop_started = true;
	return b;
}

bool bus_heater(Bus &b, bool on, const char **why)
{
	if (!b.connected) {
		*why = "not connected to the broker";
		return false;
	}
	int rc = publish(b, nullptr, b.heater_topic, on ? b.cfg.heater_on.c_str() : b.cfg.heater_off.c_str(), false);
	if (rc != MOSQ_ERR_SUCCESS) {
		*why = mosquitto_strerror(rc);
		return false;
	}
	return true;
}

void bus_state(Bus &b, const BusState &st)
{
	Shown now;
	if (st.have_temp)
		std::snprintf(now.temperature, sizeof now.temperature, "%.2f", static_cast<double>(st.temp));
	now.command = st.command;
	now.heater = st.heater ? "ON" : "OFF";
	now.fault = st.fault;
	std::lock_guard<std::mutex> hold(b.state_lock);
	if (b.connected)
		send_state(b, now, b.shown);
	b.shown = now;
}

bool bus_switch_off(Bus &b, double timeout_s)
{
	auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
	while (!b.connected) {
		if (std::chrono::steady_clock::now() >= deadline)
			return false;
		std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	int mid = 0;
	if (publish(b, &mid, b.heater_topic, b.cfg.heater_off.c_str(), false) != MOSQ_ERR_SUCCESS)
		return false;
	std::chrono::duration<double> left = deadline - std::chrono::steady_clock::now();
	return wait_ack(b, mid, std::fmax(0, left.count()));
}

void bus_close(Bus *b)
{
	if (!b)
		return;
	// A clean disconnect sends no Last Will, so "offline" goes first.
	int mid = 0;
	if (b->connected && !b->cfg.switch_off &&
	    publish(*b, &mid, b->t_availability, offline, true) == MOSQ_ERR_SUCCESS)
		wait_ack(*b, mid, close_wait_s);
	mosquitto_disconnect(b->mosq);
	if (b->loop_started)
		mosquitto_loop_stop(b->mosq, false);
	mosquitto_destroy(b->mosq);
	delete b;
}
