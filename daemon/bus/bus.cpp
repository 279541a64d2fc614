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
// thread, so none of them waits for the network.  What the zone's topics
// carry is in topics.cpp, and the claim on the zone in claim.cpp.
#include "bus_impl.h"

#include <atomic>
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

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "clock.h"
#include "log.h"
#include "mailbox.h"
#include "mosq.h"

namespace {

constexpr int keepalive_s = 15;            // a silent broker is noticed within two of these
constexpr double retry_max_s = 30;         // backoff of connection attempts, from retry_first_s
constexpr double connack_wait_s = 10;      // for the broker to answer a connection
constexpr double claim_wait_s = 2;         // for a daemon that holds the zone to answer a claim
constexpr double close_wait_s = 1;         // for the broker to take "offline", and for the thread
constexpr const char *system_ca_path = "/etc/ssl/certs";

// --- one host, one daemon of a client id ----------------------------------

// An abstract socket named after the client id, which the kernel frees at
// whatever end of the daemon.  A second daemon of the zone on this host
// would take over the first's session at the broker, and the first the
// second's in turn, about once a second.  false when another daemon has it;
// true when this one does, or when the host cannot tell.
bool lock_host(Bus &b)
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
		b.acked.set(static_cast<size_t>(mid) % mid_count);
	}
	b.ack_cv.notify_all();
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
		hold_zone(b, now);
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
void lock_host_again(Bus &b, double now)
{
	if (b.link != Link::held || !lock_host(b))
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
		lock_host_again(b, now);
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
	                         [&] { return b.acked.test(static_cast<size_t>(mid) % mid_count); });
}

// Zone names become topic levels: no wildcards, no extra levels.
bool good_zone(const std::string &zone)
{
	return !zone.empty() && zone.find_first_of("/+#") == std::string::npos;
}

// Whether the library takes the settings at all, at start-up, where a
// fault is fatal; else prints why.
bool check_settings(Bus &b)
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

int publish(Bus &b, int *mid, const std::string &topic, const char *text, bool retain)
{
	return b.lib->publish(b.mosq, mid, topic.c_str(), static_cast<int>(std::strlen(text)), text, qos,
	                         retain);
}

// The acknowledgement is recorded under ack_lock, which the publish holds:
// it cannot come before its bit is cleared.  The library, run by a thread
// of its own, never calls back from within a publish.
int publish_awaited(Bus &b, int *mid, const std::string &topic, const char *text, bool retain)
{
	std::lock_guard<std::mutex> hold(b.ack_lock);
	int rc = publish(b, mid, topic, text, retain);
	if (rc == MOSQ_ERR_SUCCESS)
		b.acked.reset(static_cast<size_t>(*mid) % mid_count);
	return rc;
}

bool acked(Bus &b, int mid)
{
	std::lock_guard<std::mutex> hold(b.ack_lock);
	return b.acked.test(static_cast<size_t>(mid) % mid_count);
}

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
	if (!check_settings(*b)) {
		delete b;
		return nullptr;
	}
	// A second daemon of the zone here stays off the bus; the rules hold
	// its heater OFF.  The switch-off after a daemon's end never is one.
	if (!cfg.switch_off && !lock_host(*b)) {
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
	for (int rc = MOSQ_ERR_NO_CONN; rc != MOSQ_ERR_SUCCESS;) {
		{
			std::lock_guard<std::mutex> hold(b.lock);
			rc = b.active ? publish_awaited(b, &mid, topic, text, retain) : MOSQ_ERR_NO_CONN;
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
