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
// thread, so none of them waits for the network.  The plug's command goes
// out from bus_heater and bus_switch_off alone, the driver's calls: the
// bus thread never drives the plug.  What the zone's topics carry is in
// topics.cpp, and the claim on the zone in claim.cpp.
#include "bus_impl.h"

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

#include "clock.h"
#include "kit/file.h"
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
constexpr size_t ca_max = size_t{1} << 20;   // bytes of a --mqtt-ca file: a bundle of a few hundred

// libmosquitto says only "certificate verify failed"; OpenSSL, which it
// loaded, says why.

// Whether path holds a CA certificate that the library will load, as it
// loads it at each connection; else prints why.  A regular file, itself
// and of sane size: a FIFO planted there would hang the start in the
// library's read.
bool ca_loads(const Mosq &lib, const char *path)
{
	const char *why = nullptr;
	int fd = open_regular(path, O_RDONLY | O_NOFOLLOW, ca_max, &why);
	if (fd < 0) {
		std::fprintf(stderr, "ombrixd: --mqtt-ca: %s: %s\n", path, why);
		return false;
	}
	close(fd);
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

// Zone names become topic levels: no wildcards, no extra levels.
bool good_zone(const std::string &zone)
{
	return !zone.empty() && zone.find_first_of("/+#") == std::string::npos;
}

// The library, once cfg is one it can serve; else nullptr, after one line.
const Mosq *library_for(const Config &cfg)
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
	return lib;
}

} // namespace

// What the supervisor holds: the state both threads share, the bus
// thread's own, which only that thread's code reaches, and the thread.
class Bus {
public:
	Bus(const Config &cfg, Mailbox &mb, const Mosq &lib) : s_(cfg, mb, lib), loop_(s_) {}

	bool open();
	bool heater(bool on, const char **why);
	void state(const Shown &now);
	bool switch_off(double timeout_s);
	// Whether the thread has ended, so that the Bus may go.
	bool close();

private:
	bool refuse_held_back(Client &cl, bool on, const char **why);
	int publish_awaited(mosquitto *m, int *mid, const std::string &topic, const char *text, bool retain);
	bool publish_acked(const std::string &topic, const char *text, bool retain, double timeout_s);
	bool ended();

	Shared s_;
	BusThread loop_;
	std::thread thread_;
};

// --- one host, one daemon of a client id ----------------------------------

// An abstract socket named after the client id, which the kernel frees at
// whatever end of the daemon.  A second daemon of the zone on this host
// would take over the first's session at the broker, and the first the
// second's in turn, about once a second.  false when another daemon has it;
// true when this one does, or when the host cannot tell.
bool BusThread::lock_host()
{
	int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
	if (fd < 0)
		return true;
	sockaddr_un a{};
	a.sun_family = AF_UNIX;
	std::string name = "ombrixd/" + s_.names.client_id;
	size_t n = std::min(name.size(), sizeof a.sun_path - 1);
	std::memcpy(a.sun_path + 1, name.data(), n);  // sun_path[0] = 0: abstract
	socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
	if (bind(fd, reinterpret_cast<sockaddr *>(&a), len) == 0) {
		host_lock_ = fd;
		return true;
	}
	int err = errno;
	close(fd);
	return err != EADDRINUSE;
}

// The other daemon of the zone on this host has ended once its lock is
// free: this one claims the zone then.
void BusThread::lock_host_again(double now)
{
	if (link_ != Link::held || !lock_host())
		return;
	report(LOG_NOTICE, "mqtt: no other ombrixd holds zone %s on this host now; this one claims it",
	       s_.cfg.zone.c_str());
	link_ = Link::idle;
	next_try_s_ = now;
}

// --- the callbacks, on the bus thread -------------------------------------

// The library's error lines: the first of each connection is kept, and a
// failed certificate check is worded by OpenSSL's verdict where it has one.
void BusThread::log_tls(mosquitto *m, int level, const char *line)
{
	if (level != MOSQ_LOG_ERR || tls_why_[0])
		return;
	const Mosq &lib = s_.lib;
	const void *ssl = lib.ssl_get(m);
	long verdict = ssl && lib.ssl_get_verify_result ? lib.ssl_get_verify_result(ssl) : 0;
	constexpr long unspecified = 1;  // X509_V_ERR_UNSPECIFIED: no verdict
	if (verdict != 0 && verdict != unspecified && lib.x509_verify_cert_error_string)
		std::snprintf(tls_why_, sizeof tls_why_, "TLS: %s", lib.x509_verify_cert_error_string(verdict));
	else
		gist(line, tls_why_, sizeof tls_why_);
}

void BusThread::end_link(const char *why)
{
	if (!gone_[0])
		std::snprintf(gone_, sizeof gone_, "%s", why);
}

// Why the library ended a link, in words; err is errno as it ended.
void BusThread::say_error(int rc, int err, char *out, size_t len) const
{
	if (tls_why_[0])
		std::snprintf(out, len, "%s", tls_why_);
	else if (rc == MOSQ_ERR_ERRNO)
		std::snprintf(out, len, "%s", std::strerror(err));
	else if (rc == MOSQ_ERR_CONN_LOST)
		std::snprintf(out, len, "the connection was closed or reset");
	else if (rc == MOSQ_ERR_KEEPALIVE)
		std::snprintf(out, len, "no answer to the keepalive within %d s", keepalive_s);
	else
		std::snprintf(out, len, "%s", s_.lib.strerror(rc));
}

void BusThread::subscribe(const std::string &topic)
{
	if (topic.empty())
		return;
	int rc = s_.lib.subscribe(mosq_, nullptr, topic.c_str(), qos);
	if (rc != MOSQ_ERR_SUCCESS)
		report(LOG_ERR, "mqtt: cannot subscribe to %s: %s", topic.c_str(), s_.lib.strerror(rc));
}

void BusThread::connected(int rc)
{
	if (rc != 0) {
		char why[why_max];
		std::snprintf(why, sizeof why, "the broker refused the connection: %s", s_.lib.connack_string(rc));
		end_link(why);
		return;
	}
	since_s_ = clock_s();
	if (s_.cfg.switch_off) {
		link_ = Link::active;
		s_.client.lock()->active = true;
	} else if (watch_) {
		link_ = Link::watching;
		rival_seen_s_ = since_s_;
		subscribe(s_.names.t_claim);
	} else {
		ask();
	}
}

// Asks for the zone, and hears all that the zone's holder hears.
void BusThread::ask()
{
	const Names &n = s_.names;
	// A new subscription starts with the retained reading, which is
	// skipped: worth one word in the log for each connection.
	warned_retained_ = false;
	link_ = Link::claiming;
	for (const std::string *topic : {&n.t_claim, &n.t_availability, &n.sensor_topic, &n.state_topic,
	                                 &n.t_target_set, &n.t_mode_set})
		subscribe(*topic);
	send(n.t_claim, n.claim.c_str(), false);
}

void BusThread::on_connect(mosquitto *, void *obj, int rc)
{
	static_cast<BusThread *>(obj)->connected(rc);
}

void BusThread::on_disconnect(mosquitto *, void *obj, int rc)
{
	BusThread &t = *static_cast<BusThread *>(obj);
	int err = errno;
	if (rc == MOSQ_ERR_SUCCESS)
		return;  // this daemon's own DISCONNECT
	char why[why_max];
	t.say_error(rc, err, why, sizeof why);
	t.end_link(why);
}

void BusThread::on_publish(mosquitto *, void *obj, int mid)
{
	Shared &s = static_cast<BusThread *>(obj)->s_;
	s.acks.lock()->set(mid, true);
	s.acks.notify();
}

void BusThread::on_log(mosquitto *m, void *obj, int level, const char *line)
{
	static_cast<BusThread *>(obj)->log_tls(m, level, line);
}

// --- the bus thread -------------------------------------------------------

// A fresh client for each connection: nothing of a broken one, nor of a
// CA file since replaced, carries over.  Returns nullptr with *why set.
mosquitto *BusThread::set_up(const char **why)
{
	mosquitto *m = s_.lib.new_client(s_.names.client_id.c_str(), true, this);
	if (!m) {
		*why = std::strerror(errno);
		return nullptr;
	}
	s_.lib.threaded_set(m, true);
	int rc = configure(m);
	if (rc != MOSQ_ERR_SUCCESS) {
		*why = rc == MOSQ_ERR_INVAL ? "the library refuses these settings" : s_.lib.strerror(rc);
		s_.lib.destroy(m);
		return nullptr;
	}
	s_.lib.connect_callback_set(m, on_connect);
	s_.lib.disconnect_callback_set(m, on_disconnect);
	s_.lib.publish_callback_set(m, on_publish);
	s_.lib.message_callback_set(m, on_message);
	if (s_.cfg.mqtt_tls)
		s_.lib.log_callback_set(m, on_log);
	return m;
}

// The Last Will, the login and TLS; the library's result.
int BusThread::configure(mosquitto *m)
{
	const Config &cfg = s_.cfg;
	// A watcher's end says nothing of the zone, which another holds.
	int rc = watch_ ? MOSQ_ERR_SUCCESS
	                : s_.lib.will_set(m, s_.names.t_availability.c_str(), static_cast<int>(std::strlen(offline)),
	                                  offline, qos, true);
	if (rc == MOSQ_ERR_SUCCESS && !cfg.mqtt_user.empty())
		rc = s_.lib.username_pw_set(m, cfg.mqtt_user.c_str(),
		                            cfg.mqtt_password.empty() ? nullptr : cfg.mqtt_password.c_str());
	if (rc == MOSQ_ERR_SUCCESS && cfg.mqtt_tls) {
		const char *ca = cfg.mqtt_ca.empty() ? nullptr : cfg.mqtt_ca.c_str();
		rc = s_.lib.tls_set(m, ca, ca ? nullptr : system_ca_path, nullptr, nullptr, nullptr);
	}
	return rc;
}

// The link is gone, or never came: said once for each reason, tried again
// after the backoff.
void BusThread::fail(const char *why, double now)
{
	bool was_active = link_ == Link::active;
	drop(false);
	link_ = Link::idle;
	if (was_active)
		report(LOG_WARNING, "mqtt: lost the broker: %s; reconnecting", why);
	else if (std::strcmp(why, said_) != 0)
		report(LOG_ERR, "mqtt: cannot connect to %s port %d: %s; retrying", s_.cfg.mqtt_host.c_str(),
		       s_.cfg.mqtt_port, why);
	std::snprintf(said_, sizeof said_, "%s", was_active ? "" : why);
	next_try_s_ = now + backoff_s_;
	backoff_s_ = std::fmin(backoff_s_ * 2, retry_max_s);
}

// Why a socket that the broker has not answered yet is dead, or nullptr.
// A refused TLS connect leaves the library retrying its handshake on it,
// and errno after that call holds the cause that SO_ERROR has given up.
const char *BusThread::dead_socket(int err) const
{
	pollfd p{s_.lib.socket(mosq_), 0, 0};
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
// plug's OFF taken, a broker that does not answer.
void BusThread::check(int rc, int err, double now)
{
	if (s_.stopping)
		return;
	if (yield_)
		return leave_zone(now);
	if (link_ == Link::yielding)
		return yield_plug(rc, now);
	if (gone_[0] || rc != MOSQ_ERR_SUCCESS)
		return lose(rc, err, now);
	if (link_ == Link::connecting)
		return await_connack(err, now);
	if (link_ == Link::claiming && now >= since_s_ + claim_wait_s)
		hold_zone(now);
	if (link_ == Link::active && now >= next_held_s_)
		say_held(now);
	if (link_ == Link::watching && now >= rival_seen_s_ + rival_silent_s)
		claim_again(now);
}

void BusThread::lose(int rc, int err, double now)
{
	if (!gone_[0])
		say_error(rc, err, gone_, sizeof gone_);
	char why[why_max];
	std::snprintf(why, sizeof why, "%s", gone_);
	fail(why, now);
}

void BusThread::await_connack(int err, double now)
{
	if (const char *dead = dead_socket(err))
		return fail(dead, now);
	if (now >= since_s_ + connack_wait_s) {
		char why[why_max];
		std::snprintf(why, sizeof why, "no answer to the connection within %g s", connack_wait_s);
		fail(why, now);
	}
}

void BusThread::attempt(double now)
{
	const char *why = nullptr;
	gone_[0] = tls_why_[0] = '\0';
	yield_ = false;
	mosq_ = set_up(&why);
	if (!mosq_)
		return fail(why, now);
	s_.client.lock()->mosq = mosq_;
	link_ = Link::connecting;
	since_s_ = now;
	int rc = s_.lib.connect_async(mosq_, s_.cfg.mqtt_host.c_str(), s_.cfg.mqtt_port, keepalive_s);
	int err = errno;
	if (rc == MOSQ_ERR_EAI)
		return fail("the host name does not resolve", now);
	// A TLS handshake can fail within the call, whose errno then tells why.
	check(rc, err, now);
}

// The loop waits for the network at most until the next deadline.
int BusThread::wait_ms(double now) const
{
	double until = link_ == Link::connecting ? since_s_ + connack_wait_s
	               : link_ == Link::claiming ? since_s_ + claim_wait_s
	               : link_ == Link::yielding ? since_s_ + off_wait_s
	                                         : now + loop_wait_ms / 1000.0;
	return static_cast<int>(std::ceil(std::fmin(loop_wait_ms, std::fmax(0, until - now) * 1000)));
}

void BusThread::rest(double now)
{
	double until = link_ == Link::idle ? next_try_s_ : now + rival_silent_s;
	s_.rest.lock().wait_for(std::fmax(0, until - now), [this](const Rest &) { return s_.stopping.load(); });
}

void BusThread::run()
{
	while (!s_.stopping) {
		double now = clock_s();
		lock_host_again(now);
		if (link_ == Link::idle && now >= next_try_s_)
			attempt(now);
		if (link_ == Link::idle || link_ == Link::held) {
			rest(now);
			continue;
		}
		int rc = s_.lib.loop(mosq_, wait_ms(now), 1);
		int err = errno;
		check(rc, err, clock_s());
	}
	drop(true);
	auto r = s_.rest.lock();
	r->finished = true;
	s_.rest.notify();
}

// Whether the library takes the settings at all, at start-up, where a
// fault is fatal; else prints why.
bool BusThread::check_settings()
{
	const char *why = nullptr;
	mosquitto *m = set_up(&why);
	if (!m) {
		std::fprintf(stderr, "ombrixd: mqtt: %s: %s\n", s_.cfg.mqtt_host.c_str(), why);
		return false;
	}
	s_.lib.destroy(m);
	return true;
}

bool BusThread::open()
{
	if (!check_settings())
		return false;
	// A second daemon of the zone here stays off the bus; the rules hold
	// its heater OFF.  The switch-off after a daemon's end never is one.
	if (!s_.cfg.switch_off && !lock_host()) {
		report(LOG_CRIT, "mqtt: another ombrixd holds zone %s on this host; this one stays off the bus",
		       s_.cfg.zone.c_str());
		link_ = Link::held;
		s_.client.lock()->held_back = true;
		s_.mb.post_duplicate(true);
	}
	return true;
}

BusThread::~BusThread()
{
	if (host_lock_ >= 0)
		close(host_lock_);
}

void BusThread::drop(bool politely)
{
	{
		// Nothing more goes out on this client, a yielding OFF neither.
		auto cl = s_.client.lock();
		cl->active = false;
		cl->yielding = false;
	}
	if (politely && mosq_ && s_.lib.disconnect(mosq_) == MOSQ_ERR_SUCCESS)
		for (double end = clock_s() + close_wait_s; s_.lib.socket(mosq_) >= 0 && clock_s() < end;)
			s_.lib.loop(mosq_, loop_wait_ms / 10, 1);
	// The supervisor publishes only on the client it finds under the
	// lock: once it finds none, this one is the bus thread's to end.
	s_.client.lock()->mosq = nullptr;
	if (mosq_)
		s_.lib.destroy(mosq_);
	mosq_ = nullptr;
}

int BusThread::send(const std::string &topic, const char *text, bool retain)
{
	return publish(s_.lib, mosq_, nullptr, topic, text, retain);
}

int publish(const Mosq &lib, mosquitto *m, int *mid, const std::string &topic, const char *text, bool retain)
{
	return lib.publish(m, mid, topic.c_str(), static_cast<int>(std::strlen(text)), text, qos, retain);
}

// --- the supervisor's calls -----------------------------------------------

bool Bus::open()
{
	if (!loop_.open())
		return false;
	// A broker that cannot be reached yet is no start-up failure: the bus
	// thread keeps trying, and the rules hold the heater OFF.
	thread_ = std::thread([this] { loop_.run(); });
	return true;
}

bool Bus::heater(bool on, const char **why)
{
	auto cl = s_.client.lock();
	if (cl->held_back)
		return refuse_held_back(*cl, on, why);
	if (!cl->active) {
		*why = "not connected to the broker";
		return false;
	}
	const std::string &text = on ? s_.cfg.heater_on : s_.cfg.heater_off;
	int rc = publish(s_.lib, cl->mosq, nullptr, s_.names.heater_topic, text.c_str(), false);
	if (rc != MOSQ_ERR_SUCCESS) {
		*why = s_.lib.strerror(rc);
		return false;
	}
	cl->last_on = on;
	return true;
}

// The plug is the other's now.  A daemon that yields sends the OFF it owes
// the plug, which the bus thread waits for the broker to take; after that,
// this daemon's own last word to it, an OFF the broker took, stands.
bool Bus::refuse_held_back(Client &cl, bool on, const char **why)
{
	if (!on && cl.yielding) {
		int mid = 0;
		int rc = publish_awaited(cl.mosq, &mid, s_.names.heater_topic, s_.cfg.heater_off.c_str(), false);
		if (rc != MOSQ_ERR_SUCCESS) {
			*why = s_.lib.strerror(rc);
			return false;
		}
		cl.off_sent = true;
		cl.off_mid = mid;
		return true;
	}
	if (!on && !cl.last_on)
		return true;
	*why = "another ombrixd holds the zone";
	return false;
}

void Bus::state(const Shown &now)
{
	auto cl = s_.client.lock();
	if (cl->active)
		send_state(s_, *cl, now, cl->shown);
	cl->shown = now;
}

// The acknowledgement is recorded under the Acks lock, which the publish
// holds: it cannot come before its bit is cleared.  The library, run by a
// thread of its own, never calls back from within a publish.
int Bus::publish_awaited(mosquitto *m, int *mid, const std::string &topic, const char *text, bool retain)
{
	auto acks = s_.acks.lock();
	int rc = publish(s_.lib, m, mid, topic, text, retain);
	if (rc == MOSQ_ERR_SUCCESS)
		acks->set(*mid, false);
	return rc;
}

// Publishes text on topic once connected, within timeout_s, and waits for
// the broker's acknowledgement until then; whether it came.
bool Bus::publish_acked(const std::string &topic, const char *text, bool retain, double timeout_s)
{
	double end = clock_s() + timeout_s;
	int mid = 0;
	for (int rc = MOSQ_ERR_NO_CONN; rc != MOSQ_ERR_SUCCESS;) {
		{
			auto cl = s_.client.lock();
			rc = cl->active ? publish_awaited(cl->mosq, &mid, topic, text, retain) : MOSQ_ERR_NO_CONN;
		}
		if (rc != MOSQ_ERR_SUCCESS && clock_s() >= end)
			return false;
		if (rc != MOSQ_ERR_SUCCESS)
			std::this_thread::sleep_for(std::chrono::milliseconds(20));
	}
	return s_.acks.lock().wait_for(std::fmax(0, end - clock_s()), [mid](const Acks &a) { return a.has(mid); });
}

bool Bus::switch_off(double timeout_s)
{
	{
		auto cl = s_.client.lock();
		if (cl->held_back && !cl->last_on)
			return true;  // the plug is another's, and this daemon left it OFF
	}
	return publish_acked(s_.names.heater_topic, s_.cfg.heater_off.c_str(), false, timeout_s);
}

bool Bus::close()
{
	// A clean disconnect sends no Last Will, so "offline" goes first.
	bool active = s_.client.lock()->active;
	s_.leaving = true;
	if (active && !s_.cfg.switch_off)
		publish_acked(s_.names.t_availability, offline, true, close_wait_s);
	s_.stopping = true;
	{
		// Wakes the loop; the thread then disconnects.
		auto cl = s_.client.lock();
		if (cl->mosq)
			s_.lib.disconnect(cl->mosq);
	}
	// The thread may be deep in a name lookup: nothing waits long for it.
	if (!ended()) {
		thread_.detach();
		return false;
	}
	thread_.join();
	return true;
}

// Wakes the bus thread from its rest, and waits a little for its end.
bool Bus::ended()
{
	auto r = s_.rest.lock();
	s_.rest.notify();
	return r.wait_for(close_wait_s * 2, [](const Rest &r) { return r.finished; });
}

Bus *bus_open(const Config &cfg, Mailbox &mb)
{
	const Mosq *lib = library_for(cfg);
	if (!lib)
		return nullptr;
	Bus *b = new Bus(cfg, mb, *lib);
	if (!b->open()) {
		delete b;
		return nullptr;
	}
	return b;
}

bool bus_heater(Bus &b, bool on, const char **why)
{
	return b.heater(on, why);
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
	b.state(now);
}

bool bus_switch_off(Bus &b, double timeout_s)
{
	return b.switch_off(timeout_s);
}

void bus_close(Bus *b)
{
	if (b && b->close())
		delete b;
}
