// ombrixd on an MQTT broker, through libmosquitto.  The connection's life
// is ours: the bus thread runs libmosquitto's loop and watches the link,
// for plain and TLS alike.  A link is gone when the loop says so, when the
// broker has not answered the keepalive, when a socket dies before the
// broker answered (libmosquitto would retry the TLS handshake on it for
// ever), or when no CONNACK came in time; each attempt then gets a fresh
// client, after a backoff of 1 s growing to 30 s.  libmosquitto's own
// reconnecting thread is not used: it ends on a TLS error and never tries
// again after a first refused connect.
//
// Callbacks run on the bus thread and only parse, post to the mailbox or
// queue a message.  The supervisor's calls only queue a message for that
// thread, so none of them waits for the network.  Every topic and payload
// but the readings is built once, in bus_open.
#include "bus.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include <nlohmann/json.hpp>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "clock.h"
#include "log.h"
#include "mailbox.h"
#include "mosq.h"
#include "setpoint.h"

namespace {

constexpr int keepalive_s = 15;            // a silent broker is noticed within two of these
constexpr double retry_first_s = 1;        // backoff of connection attempts
constexpr double retry_max_s = 30;
constexpr double connack_wait_s = 10;      // for the broker to answer a connection
constexpr double claim_wait_s = 2;         // for a daemon that holds the zone to answer a claim
constexpr double off_wait_s = 2;           // for the broker to take the plug's OFF as a daemon holds back
constexpr int loop_wait_ms = 1000;         // longest wait in the loop, which times the keepalive
constexpr int qos = 1;                     // at least once, everywhere
constexpr size_t payload_max = 1024;       // longer readings are bad
constexpr double close_wait_s = 1;         // for the broker to take "offline", and for the thread
constexpr size_t why_max = 200;            // a failure's words
constexpr const char *system_ca_path = "/etc/ssl/certs";
constexpr const char *machine_id_path = "/etc/machine-id";
constexpr size_t machine_id_len = 8;       // of its 32 hex digits: enough to tell boards apart

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
	char target[32] = "";
	const char *mode = "";
	const char *action = "";
};

// The link, as the bus thread sees it.
enum class Link {
	idle,        // no client: waiting for the next attempt
	connecting,  // connecting, until the CONNACK
	claiming,    // connected, waiting to hear whether the zone is another's
	active,      // the zone is this daemon's
	watching,    // another daemon holds the zone: connected without a Last Will, to see it go
	held,        // another daemon holds the zone on this host: off the bus while it runs
};

} // namespace

class Bus {
public:
	Bus(const Config &cfg, Mailbox &mb, const Mosq &lib) : cfg(cfg), mb(mb), lib(&lib) {}

	const Config cfg;
	Mailbox &mb;
	const Mosq *lib;

	std::string client_id;     // unique to the host and the zone
	std::string sensor_topic;  // empty: the sensor is not on the bus
	std::string heater_topic;  // empty: the heater is not on the bus
	std::string state_topic;   // where the plug reports, or empty
	std::string t_temperature, t_command, t_heater, t_fault, t_availability, t_claim;
	std::string t_target, t_mode, t_action, t_target_set, t_mode_set;
	std::string claim, held;   // this daemon's claim messages
	Discovery discovery[4];

	// Guards the client against its replacement while the supervisor
	// publishes, and what is shown.
	std::mutex lock;
	mosquitto *mosq = nullptr;
	Shown shown;
	bool active = false;       // the zone is this daemon's: it may publish
	bool held_back = false;    // another daemon holds the zone
	bool last_on = false;      // the last command this daemon gave the plug was ON

	// Kept by the bus thread alone.
	bool yield = false;        // set by a callback: the zone is another's
	bool watch = false;        // connect as a watcher
	Link link = Link::idle;
	double rival_seen_s = 0;   // when the daemon that holds the zone last said so
	double next_held_s = 0;    // when to say again that the zone is this daemon's
	std::thread thread;
	double since_s = 0;        // when the current connection or claim began
	double next_try_s = 0;
	double backoff_s = retry_first_s;
	char said[why_max] = "";   // the last failure logged, so that each is said once
	char gone[why_max] = "";   // set by a callback: the link has ended, and why
	char tls_why[why_max] = "";  // what the TLS layer said of this connection

	int host_lock = -1;        // held for the daemon's life
	std::atomic<bool> leaving{false};   // "offline" is on its way: no more "online"
	std::atomic<bool> stopping{false};  // the bus thread is to end
	std::atomic<bool> warned_retained{false};
	bool finished = false;     // under rest_lock: the bus thread has ended
	std::mutex rest_lock;      // the bus thread rests on rest_cv while idle
	std::condition_variable rest_cv;

	// Acknowledgements, for bus_switch_off and bus_close.
	int acked_mid = 0;
	std::mutex ack_lock;
	std::condition_variable ack_cv;
};

namespace {

// --- what the bus shows ---------------------------------------------------

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
	                         {"temperature_unit", cfg.unit == Unit::fahrenheit ? "F" : "C"}});
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

int publish(Bus &b, int *mid, const std::string &topic, const char *text, bool retain)
{
	return b.lib->publish(b.mosq, mid, topic.c_str(), static_cast<int>(std::strlen(text)), text, qos,
	                         retain);
}

// Sends the state fields that differ from what was shown (all of them when
// shown is blank); the caller holds the lock.
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

// Everything the zone shows, as a new connection owes it to the broker.
void show_all(Bus &b)
{
	publish(b, nullptr, b.t_availability, online, true);
	if (!b.cfg.ha_prefix.empty())
		for (const Discovery &d : b.discovery)
			publish(b, nullptr, d.topic, d.config.c_str(), true);
	send_state(b, b.shown, Shown{});
}

// --- one host, one daemon of a client id ----------------------------------

// An abstract socket named after the client id, which the kernel frees at
// whatever end of the daemon.  A second daemon of the zone on this host
// would take over the first's session at the broker, and the first the
// second's in turn, about once a second.  false when another daemon has it;
// true when this one does, or when the host cannot tell.
bool take_host_lock(Bus &b)
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return true;
	sockaddr_un a{};
	a.sun_family = AF_UNIX;
	std::string name = "ombrixd/" + b.client_id;
	size_t n = std::min(name.size(), sizeof a.sun_path - 1);
	std::memcpy(a.sun_path + 1, name.data(), n);  // sun_path[0] = 0: abstract
	socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
	if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0) {
		b.host_lock = fd;
		return true;
	}
	int err = errno;
	close(fd);
	return err != EADDRINUSE;
}

// --- TLS, through the library's own OpenSSL -------------------------------

// libmosquitto says only "certificate verify failed"; OpenSSL, which it
// loaded, says why.

// Whether path holds a CA certificate that the library will load, as it
// loads it at each connection; else prints why.
bool ca_loads(const Mosq &lib, const char *path)
{
	FILE *f = std::fopen(path, "re");
	if (!f) {
		std::fprintf(stderr, "ombrixd: --mqtt-ca: %s: %s\n", path, std::strerror(errno));
		return false;
	}
	std::fclose(f);
	if (!lib.tls_client_method || !lib.ssl_ctx_new || !lib.ssl_ctx_load_verify_locations || !lib.ssl_ctx_free)
		return true;  // the connection says it
	void *ctx = lib.ssl_ctx_new(lib.tls_client_method());
	bool ok = !ctx || lib.ssl_ctx_load_verify_locations(ctx, path, nullptr) == 1;
	if (ctx)
		lib.ssl_ctx_free(ctx);
	if (!ok)
		std::fprintf(stderr, "ombrixd: --mqtt-ca: %s: no CA certificate in it\n", path);
	return ok;
}

// The gist of one of the library's error lines: what follows its last
// colon ("...:SSL routines::unexpected eof while reading").
void gist(const char *line, char *out, size_t len)
{
	const char *p = std::strrchr(line, ':');
	p = p ? p + 1 : line;
	while (*p == ' ')
		p++;
	std::snprintf(out, len, "TLS: %s", p);
	size_t n = std::strlen(out);
	if (n > 0 && out[n - 1] == '.')
		out[n - 1] = '\0';
}

// The library's error lines: the first of each connection is kept, and a
// failed certificate check is worded by OpenSSL's verdict where it has one.
void on_log(mosquitto *mosq, void *obj, int level, const char *line)
{
	Bus &b = *static_cast<Bus *>(obj);
	if (level != MOSQ_LOG_ERR || b.tls_why[0])
		return;
	const Mosq &lib = *b.lib;
	const void *ssl = lib.ssl_get(mosq);
	long verdict = ssl && lib.ssl_get_verify_result ? lib.ssl_get_verify_result(ssl) : 0;
	constexpr long unspecified = 1;  // X509_V_ERR_UNSPECIFIED: no verdict
	if (verdict != 0 && verdict != unspecified && lib.x509_verify_cert_error_string)
		std::snprintf(b.tls_why, sizeof b.tls_why, "TLS: %s", lib.x509_verify_cert_error_string(verdict));
	else
		gist(line, b.tls_why, sizeof b.tls_why);
}

// --- the callbacks, on the bus thread -------------------------------------

void end_link(Bus &b, const char *why)
{
	if (!b.gone[0])
		std::snprintf(b.gone, sizeof b.gone, "%s", why);
}

// Why the library ended a link, in words; err is errno as it ended.
void say_error(const Bus &b, int rc, int err, char *out, size_t len)
{
	if (b.tls_why[0])
		std::snprintf(out, len, "%s", b.tls_why);
	else if (rc == MOSQ_ERR_ERRNO)
		std::snprintf(out, len, "%s", std::strerror(err));
	else if (rc == MOSQ_ERR_CONN_LOST)
		std::snprintf(out, len, "the connection was closed or reset");
	else if (rc == MOSQ_ERR_KEEPALIVE)
		std::snprintf(out, len, "no answer to the keepalive within %d s", keepalive_s);
	else
		std::snprintf(out, len, "%s", b.lib->strerror(rc));
}

void subscribe(Bus &b, const std::string &topic)
{
	if (topic.empty())
		return;
	int rc = b.lib->subscribe(b.mosq, nullptr, topic.c_str(), qos);
	if (rc != MOSQ_ERR_SUCCESS)
		report(LOG_ERR, "mqtt: cannot subscribe to %s: %s", topic.c_str(), b.lib->strerror(rc));
}

void on_connect(mosquitto *, void *obj, int rc)
{
	Bus &b = *static_cast<Bus *>(obj);
	if (rc != 0) {
		char why[why_max];
		std::snprintf(why, sizeof why, "the broker refused the connection: %s", b.lib->connack_string(rc));
		end_link(b, why);
		return;
	}
	b.since_s = clock_s();
	if (b.cfg.switch_off) {
		b.link = Link::active;
		std::lock_guard<std::mutex> hold(b.lock);
		b.active = true;
		return;
	}
	if (b.watch) {
		b.link = Link::watching;
		b.rival_seen_s = b.since_s;
		subscribe(b, b.t_claim);
		return;
	}
	// A new subscription starts with the retained reading, which is
	// skipped: worth one word in the log for each connection.
	b.warned_retained = false;
	b.link = Link::claiming;
	subscribe(b, b.t_claim);
	subscribe(b, b.t_availability);
	subscribe(b, b.sensor_topic);
	subscribe(b, b.state_topic);
	subscribe(b, b.t_target_set);
	subscribe(b, b.t_mode_set);
	publish(b, nullptr, b.t_claim, b.claim.c_str(), false);
}

void on_disconnect(mosquitto *, void *obj, int rc)
{
	Bus &b = *static_cast<Bus *>(obj);
	int err = errno;
	if (rc == MOSQ_ERR_SUCCESS)
		return;  // this daemon's own DISCONNECT
	char why[why_max];
	say_error(b, rc, err, why, sizeof why);
	end_link(b, why);
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

// A message's text, or false when it does not fit or holds a NUL.
bool text_of(const mosquitto_message *m, char (&text)[payload_max])
{
	if (m->payloadlen < 0 || static_cast<size_t>(m->payloadlen) >= sizeof text)
		return false;
	std::memcpy(text, m->payload, static_cast<size_t>(m->payloadlen));
	text[m->payloadlen] = '\0';
	return std::strlen(text) == static_cast<size_t>(m->payloadlen);
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

void take_report(Bus &b, const mosquitto_message *m)
{
	char text[payload_max];
	bool on;
	if (text_of(m, text) && parse_heater_report(text, b.cfg.heater_on, b.cfg.heater_off, &on))
		b.mb.post_report(on);
}

void take_claim(Bus &b, const mosquitto_message *m)
{
	char text[payload_max];
	if (!text_of(m, text))
		return;
	bool holding = b.link == Link::active;
	Role role = holding ? Role::holding : b.link == Link::watching ? Role::watching : Role::asking;
	switch (claim_seen(role, b.client_id, text, m->retain)) {
	case Claim::ignore:
		return;
	case Claim::rival:
		b.rival_seen_s = clock_s();
		return;
	case Claim::answer:
		if (holding)
			report(LOG_WARNING, "mqtt: another ombrixd claims zone %s (%s); it is told the zone is held",
			       b.cfg.zone.c_str(), text);
		publish(b, nullptr, b.t_claim, holding ? b.held.c_str() : b.claim.c_str(), false);
		return;
	case Claim::yield:
		report(LOG_CRIT, "mqtt: another ombrixd holds zone %s (%s); this one holds back", b.cfg.zone.c_str(),
		       text);
		b.yield = true;
		return;
	}
}

// An "offline" on the zone's availability while it is this daemon's is
// stale: a Last Will of a session that ended, which must not stand.
void take_availability(Bus &b, const mosquitto_message *m)
{
	char text[payload_max];
	if (b.link == Link::active && !b.leaving && text_of(m, text) && std::strcmp(text, offline) == 0)
		publish(b, nullptr, b.t_availability, online, true);
}

// A plain number, blanks around it allowed.
bool parse_target(const char *text, double *value)
{
	char *end;
	*value = std::strtod(text, &end);
	return end != text && end[std::strspn(end, " \t\r\n")] == '\0';
}

// A target or mode from the hub.  Only the daemon that holds the zone
// obeys, and never a retained one: it may be a week old.  The supervisor
// checks a target against the bounds.
void take_setting(Bus &b, const mosquitto_message *m, bool target)
{
	if (b.link != Link::active || m->retain)
		return;
	char text[payload_max];
	double value;
	Mode mode;
	if (!text_of(m, text))
		report(LOG_WARNING, "mqtt: %s refused: too long or holds a NUL", m->topic);
	else if (target && parse_target(text, &value))
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

void on_message(mosquitto *, void *obj, const mosquitto_message *m)
{
	Bus &b = *static_cast<Bus *>(obj);
	if (b.t_claim == m->topic)
		take_claim(b, m);
	else if (b.t_availability == m->topic)
		take_availability(b, m);
	else if (b.t_target_set == m->topic || b.t_mode_set == m->topic)
		take_setting(b, m, b.t_target_set == m->topic);
	if (matches(b, b.sensor_topic, m->topic))
		take_reading(b, m);
	if (matches(b, b.state_topic, m->topic))
		take_report(b, m);
}

// --- the bus thread -------------------------------------------------------

// A fresh client for each connection: nothing of a broken one, nor of a
// CA file since replaced, carries over.  Returns false with *why set.
bool set_up(Bus &b, mosquitto **out, const char **why)
{
	const Config &cfg = b.cfg;
	mosquitto *m = b.lib->new_client(b.client_id.c_str(), true, &b);
	if (!m) {
		*why = std::strerror(errno);
		return false;
	}
	b.lib->threaded_set(m, true);
	// A watcher's end says nothing of the zone, which another holds.
	int rc = b.watch ? MOSQ_ERR_SUCCESS
	                 : b.lib->will_set(m, b.t_availability.c_str(), static_cast<int>(std::strlen(offline)),
	                                   offline, qos, true);
	if (rc == MOSQ_ERR_SUCCESS && !cfg.mqtt_user.empty())
		rc = b.lib->username_pw_set(m, cfg.mqtt_user.c_str(),
		                               cfg.mqtt_password.empty() ? nullptr : cfg.mqtt_password.c_str());
	if (rc == MOSQ_ERR_SUCCESS && cfg.mqtt_tls) {
		const char *ca = cfg.mqtt_ca.empty() ? nullptr : cfg.mqtt_ca.c_str();
		rc = b.lib->tls_set(m, ca, ca ? nullptr : system_ca_path, nullptr, nullptr, nullptr);
	}
	if (rc != MOSQ_ERR_SUCCESS) {
		*why = rc == MOSQ_ERR_INVAL ? "the library refuses these settings" : b.lib->strerror(rc);
		b.lib->destroy(m);
		return false;
	}
	b.lib->connect_callback_set(m, on_connect);
	b.lib->disconnect_callback_set(m, on_disconnect);
	b.lib->publish_callback_set(m, on_publish);
	b.lib->message_callback_set(m, on_message);
	if (cfg.mqtt_tls)
		b.lib->log_callback_set(m, on_log);
	*out = m;
	return true;
}

// Ends the client.  A DISCONNECT goes first where one can, so that the
// broker sends no Last Will: for a stop, or for a zone that is another's.
void drop(Bus &b, bool politely)
{
	{
		std::lock_guard<std::mutex> hold(b.lock);
		b.active = false;
	}
	if (politely && b.mosq && b.lib->disconnect(b.mosq) == MOSQ_ERR_SUCCESS)
		for (double end = clock_s() + close_wait_s; b.lib->socket(b.mosq) >= 0 && clock_s() < end;)
			b.lib->loop(b.mosq, loop_wait_ms / 10, 1);
	std::lock_guard<std::mutex> hold(b.lock);
	if (b.mosq)
		b.lib->destroy(b.mosq);
	b.mosq = nullptr;
}

// The link is gone, or never came: said once for each reason, tried again
// after the backoff.
void fail(Bus &b, const char *why, double now)
{
	bool was_active = b.link == Link::active;
	drop(b, false);
	b.link = Link::idle;
	if (was_active)
		report(LOG_WARNING, "mqtt: lost the broker: %s; reconnecting", why);
	else if (std::strcmp(why, b.said) != 0)
		report(LOG_ERR, "mqtt: cannot connect to %s port %d: %s; retrying", b.cfg.mqtt_host.c_str(),
		       b.cfg.mqtt_port, why);
	std::snprintf(b.said, sizeof b.said, "%s", was_active ? "" : why);
	b.next_try_s = now + b.backoff_s;
	b.backoff_s = std::fmin(b.backoff_s * 2, retry_max_s);
}

// The zone is this daemon's: everything it shows goes out, and the
// supervisor sends the plug its command at once.
void take_zone(Bus &b, double now)
{
	bool was_held_back;
	{
		std::lock_guard<std::mutex> hold(b.lock);
		show_all(b);
		b.active = true;
		was_held_back = b.held_back;
		b.held_back = false;
	}
	publish(b, nullptr, b.t_claim, b.held.c_str(), false);
	b.next_held_s = now + held_every_s;
	if (was_held_back)
		b.mb.post_duplicate(false);
	b.link = Link::active;
	b.backoff_s = retry_first_s;
	b.said[0] = '\0';
	report(LOG_NOTICE, "mqtt: connected to %s port %d", b.cfg.mqtt_host.c_str(), b.cfg.mqtt_port);
	b.mb.post_connected();
}

// Publishes the plug's OFF and runs the loop until the broker has taken
// it, or for off_wait_s; whether it did.
bool send_off(Bus &b)
{
	int mid = 0;
	{
		std::lock_guard<std::mutex> hold(b.ack_lock);
		b.acked_mid = 0;
	}
	if (publish(b, &mid, b.heater_topic, b.cfg.heater_off.c_str(), false) != MOSQ_ERR_SUCCESS)
		return false;
	for (double end = clock_s() + off_wait_s; clock_s() < end;) {
		{
			std::lock_guard<std::mutex> hold(b.ack_lock);
			if (b.acked_mid == mid)
				return true;
		}
		if (b.lib->loop(b.mosq, loop_wait_ms / 10, 1) != MOSQ_ERR_SUCCESS)
			return false;
	}
	return false;
}

// Another daemon holds the zone.  A plug this one left ON would stay so
// with nobody to drive it: it gets its OFF first, and the holder sends
// its own command within a period.  Then this one watches, without a Last
// Will, for the holder to go.
void leave_zone(Bus &b, double now)
{
	bool was_on;
	{
		std::lock_guard<std::mutex> hold(b.lock);
		b.active = false;
		b.held_back = true;
		was_on = b.last_on;
	}
	b.link = Link::watching;  // while the OFF goes out, the claims are a watcher's
	b.mb.post_duplicate(true);
	if (was_on && !b.heater_topic.empty()) {
		bool off = send_off(b);
		if (off) {
			std::lock_guard<std::mutex> hold(b.lock);
			b.last_on = false;
		} else {
			report(LOG_ERR, "mqtt: the broker did not take the plug's OFF within %g s", off_wait_s);
		}
	}
	drop(b, true);
	b.watch = true;
	b.link = Link::idle;
	b.next_try_s = now;
}

// The daemon that held the zone has gone silent: this one claims it anew,
// with its Last Will.
void claim_again(Bus &b, double now)
{
	report(LOG_NOTICE, "mqtt: no ombrixd has said it holds zone %s for %g s; this one claims it",
	       b.cfg.zone.c_str(), rival_silent_s);
	drop(b, true);
	b.watch = false;
	b.link = Link::idle;
	b.next_try_s = now;
}

// Why a socket that the broker has not answered yet is dead, or nullptr.
// A refused TLS connect leaves the library retrying its handshake on it,
// and errno after that call holds the cause that SO_ERROR has given up.
const char *dead_socket(const Bus &b, int err)
{
	pollfd p{b.lib->socket(b.mosq), 0, 0};
	if (p.fd < 0 || poll(&p, 1, 0) != 1 || !(p.revents & (POLLERR | POLLHUP)))
		return nullptr;
	int so_error = 0;
	socklen_t len = sizeof so_error;
	if (getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &so_error, &len) == 0 && so_error != 0)
		return std::strerror(so_error);
	if (err == ECONNREFUSED || err == ECONNRESET || err == EHOSTUNREACH || err == ENETUNREACH ||
	    err == ETIMEDOUT)
		return std::strerror(err);
	return "the connection closed before the broker answered";
}

// What the loop left to do: a link that ended, a claim lost or won, a
// broker that does not answer.
void check(Bus &b, int rc, int err, double now)
{
	char why[why_max];
	if (b.stopping)
		return;
	if (b.yield)
		return leave_zone(b, now);
	if (b.gone[0] || rc != MOSQ_ERR_SUCCESS) {
		if (!b.gone[0])
			say_error(b, rc, err, b.gone, sizeof b.gone);
		std::snprintf(why, sizeof why, "%s", b.gone);
		return fail(b, why, now);
	}
	if (b.link == Link::connecting) {
		const char *dead = dead_socket(b, err);
		if (dead)
			return fail(b, dead, now);
		if (now >= b.since_s + connack_wait_s) {
			std::snprintf(why, sizeof why, "no answer to the connection within %g s", connack_wait_s);
			return fail(b, why, now);
		}
	}
	if (b.link == Link::claiming && now >= b.since_s + claim_wait_s)
		take_zone(b, now);
	if (b.link == Link::active && now >= b.next_held_s) {
		publish(b, nullptr, b.t_claim, b.held.c_str(), false);
		b.next_held_s = now + held_every_s;
	}
	if (b.link == Link::watching && now >= b.rival_seen_s + rival_silent_s)
		claim_again(b, now);
}

void attempt(Bus &b, double now)
{
	const char *why = nullptr;
	b.gone[0] = b.tls_why[0] = '\0';
	b.yield = false;
	mosquitto *m = nullptr;
	if (!set_up(b, &m, &why))
		return fail(b, why, now);
	{
		std::lock_guard<std::mutex> hold(b.lock);
		b.mosq = m;
	}
	b.link = Link::connecting;
	b.since_s = now;
	int rc = b.lib->connect_async(m, b.cfg.mqtt_host.c_str(), b.cfg.mqtt_port, keepalive_s);
	int err = errno;
	if (rc == MOSQ_ERR_EAI)
		return fail(b, "the host name does not resolve", now);
	// A TLS handshake can fail within the call, whose errno then tells why.
	check(b, rc, err, now);
}

// The loop waits for the network at most until the next deadline.
int wait_ms(const Bus &b, double now)
{
	double until = b.link == Link::connecting ? b.since_s + connack_wait_s
	               : b.link == Link::claiming ? b.since_s + claim_wait_s
	                                          : now + loop_wait_ms / 1000.0;
	return static_cast<int>(std::ceil(std::fmin(loop_wait_ms, std::fmax(0, until - now) * 1000)));
}

void rest(Bus &b, double now)
{
	std::unique_lock<std::mutex> hold(b.rest_lock);
	double until = b.link == Link::idle ? b.next_try_s : now + rival_silent_s;
	b.rest_cv.wait_for(hold, std::chrono::duration<double>(std::fmax(0, until - now)),
	                   [&] { return b.stopping.load(); });
}

// The other daemon of the zone on this host has ended once its lock is
// free: this one claims the zone then.
void try_host_lock(Bus &b, double now)
{
	if (b.link != Link::held || !take_host_lock(b))
		return;
	report(LOG_NOTICE, "mqtt: no other ombrixd holds zone %s on this host now; this one claims it",
	       b.cfg.zone.c_str());
	b.link = Link::idle;
	b.next_try_s = now;
}

void run(Bus &b)
{
	while (!b.stopping) {
		double now = clock_s();
		try_host_lock(b, now);
		if (b.link == Link::idle && now >= b.next_try_s)
			attempt(b, now);
		if (b.link == Link::idle || b.link == Link::held) {
			rest(b, now);
			continue;
		}
		int rc = b.lib->loop(b.mosq, wait_ms(b, now), 1);
		int err = errno;
		check(b, rc, err, clock_s());
	}
	drop(b, true);
	std::lock_guard<std::mutex> hold(b.rest_lock);
	b.finished = true;
	b.rest_cv.notify_all();
}

// Waits until the message mid is acknowledged, or the deadline.
bool wait_ack(Bus &b, int mid, double timeout_s)
{
	std::unique_lock<std::mutex> hold(b.ack_lock);
	return b.ack_cv.wait_for(hold, std::chrono::duration<double>(timeout_s),
	                         [&] { return b.acked_mid == mid; });
}

// Zone names become topic levels: no wildcards, no extra levels.
bool good_zone(const std::string &zone)
{
	return !zone.empty() && zone.find_first_of("/+#") == std::string::npos;
}

// Whether the library takes the settings at all, at start-up, where a
// fault is fatal; else prints why.
bool settings_taken(Bus &b)
{
	const char *why = nullptr;
	mosquitto *m = nullptr;
	if (!set_up(b, &m, &why)) {
		std::fprintf(stderr, "ombrixd: mqtt: %s: %s\n", b.cfg.mqtt_host.c_str(), why);
		return false;
	}
	b.lib->destroy(m);
	return true;
}

} // namespace

Bus *bus_open(const Config &cfg, Mailbox &mb)
{
	const char *why = nullptr;
	const Mosq *lib = mosq_load(&why);
	if (!lib) {
		std::fprintf(stderr, "ombrixd: mqtt: %s (Debian: libmosquitto1)\n", why);
		return nullptr;
	}
	if (cfg.mqtt_host.empty()) {
		std::fprintf(stderr, "ombrixd: mqtt: no broker: give --mqtt URL\n");
		return nullptr;
	}
	if (!good_zone(cfg.zone)) {
		std::fprintf(stderr, "ombrixd: --zone: \"%s\" cannot be a topic level: no /, + or #\n",
		             cfg.zone.c_str());
		return nullptr;
	}
	if (cfg.mqtt_tls && !cfg.mqtt_ca.empty() && !ca_loads(*lib, cfg.mqtt_ca.c_str()))
		return nullptr;
	Bus *b = new Bus(cfg, mb, *lib);
	build_topics(*b);
	if (!settings_taken(*b)) {
		delete b;
		return nullptr;
	}
	// A second daemon of the zone here stays off the bus; the rules hold
	// its heater OFF.  The switch-off after a daemon's end never is one.
	if (!cfg.switch_off && !take_host_lock(*b)) {
		report(LOG_CRIT, "mqtt: another ombrixd holds zone %s on this host; this one stays off the bus",
		       cfg.zone.c_str());
		b->link = Link::held;
		b->held_back = true;
		mb.post_duplicate(true);
	}
	// A broker that cannot be reached yet is no start-up failure: the bus
	// thread keeps trying, and the rules hold the heater OFF.
	b->thread = std::thread(run, std::ref(*b));
	return b;
}

bool bus_heater(Bus &b, bool on, const char **why)
{
	std::lock_guard<std::mutex> hold(b.lock);
	if (b.held_back) {
		// The plug is the other's now; this daemon's own last word to it,
		// an OFF the broker took as it held back, stands.
		if (!on && !b.last_on)
			return true;
		*why = "another ombrixd holds the zone";
		return false;
	}
	if (!b.active) {
		*why = "not connected to the broker";
		return false;
	}
	int rc = publish(b, nullptr, b.heater_topic, on ? b.cfg.heater_on.c_str() : b.cfg.heater_off.c_str(), false);
	if (rc != MOSQ_ERR_SUCCESS) {
		*why = b.lib->strerror(rc);
		return false;
	}
	b.last_on = on;
	return true;
}

void bus_state(Bus &b, const BusState &st)
{
	Shown now;
	if (st.have_temp)
		std::snprintf(now.temperature, sizeof now.temperature, "%.2f", static_cast<double>(st.temp));
	now.command = st.command;
	now.heater = st.heater;
	now.fault = st.fault;
	std::snprintf(now.target, sizeof now.target, "%.1f", st.target);
	now.mode = st.mode;
	now.action = st.action;
	std::lock_guard<std::mutex> hold(b.lock);
	if (b.active)
		send_state(b, now, b.shown);
	b.shown = now;
}

// Publishes text on topic once connected, within timeout_s, and waits for
// the broker's acknowledgement until then; whether it came.
bool publish_acked(Bus &b, const std::string &topic, const char *text, bool retain, double timeout_s)
{
	double end = clock_s() + timeout_s;
	int mid = 0;
	{
		// Each client counts its messages from 1: an old count is no answer.
		std::lock_guard<std::mutex> hold(b.ack_lock);
		b.acked_mid = 0;
	}
	for (int rc = MOSQ_ERR_NO_CONN; rc != MOSQ_ERR_SUCCESS;) {
		{
			std::lock_guard<std::mutex> hold(b.lock);
			rc = b.active ? publish(b, &mid, topic, text, retain) : MOSQ_ERR_NO_CONN;
		}
		if (rc != MOSQ_ERR_SUCCESS && clock_s() >= end)
			return false;
		if (rc != MOSQ_ERR_SUCCESS)
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return wait_ack(b, mid, std::fmax(0, end - clock_s()));
}

bool bus_switch_off(Bus &b, double timeout_s)
{
	{
		std::lock_guard<std::mutex> hold(b.lock);
		if (b.held_back && !b.last_on)
			return true;  // the plug is another's, and this daemon left it OFF
	}
	return publish_acked(b, b.heater_topic, b.cfg.heater_off.c_str(), false, timeout_s);
}

void bus_close(Bus *b)
{
	if (!b)
		return;
	// A clean disconnect sends no Last Will, so "offline" goes first.
	bool active;
	{
		std::lock_guard<std::mutex> hold(b->lock);
		active = b->active;
	}
	b->leaving = true;
	if (active && !b->cfg.switch_off)
		publish_acked(*b, b->t_availability, offline, true, close_wait_s);
	b->stopping = true;
	{
		// Wakes the loop; the thread then disconnects.
		std::lock_guard<std::mutex> hold(b->lock);
		if (b->mosq)
			b->lib->disconnect(b->mosq);
	}
	std::unique_lock<std::mutex> hold(b->rest_lock);
	b->rest_cv.notify_all();
	// The thread may be deep in a name lookup: nothing waits long for it.
	if (!b->rest_cv.wait_for(hold, std::chrono::duration<double>(close_wait_s * 2), [&] { return b->finished; })) {
		b->thread.detach();
		return;
	}
	hold.unlock();
	b->thread.join();
	if (b->host_lock >= 0)
		close(b->host_lock);
	delete b;
}
