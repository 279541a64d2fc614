// The bus's insides, shared by its files: bus.cpp keeps the connection's
// life, topics.cpp what the zone's topics carry, and claim.cpp the claim
// on the zone.  Nothing outside the bus includes this.
//
// Who may touch what is the compiler's to check, not a comment's.  What is
// fixed at bus_open is const.  What the supervisor's calls share with the
// bus thread is atomic, or in a Locked that gives it out only under its
// lock.  What the bus thread keeps to itself is private to BusThread,
// whose member functions are that thread's code and no other's.
#pragma once

#include <atomic>
#include <bitset>
#include <cstddef>
#include <string>

#include "bus.h"
#include "config.h"
#include "kit/locked.h"
#include "mosq.h"

inline constexpr double retry_first_s = 1;      // backoff of connection attempts, growing from here
inline constexpr int loop_wait_ms = 1000;       // longest wait in the loop, which times the keepalive
inline constexpr double off_wait_s = 2;         // for the broker to take the plug's OFF as a daemon holds back
inline constexpr int qos = 1;                   // at least once, everywhere
inline constexpr size_t payload_max = 1024;     // longer readings are bad
inline constexpr size_t why_max = 200;          // a failure's words
inline constexpr size_t mid_count = 65536;      // MQTT message ids are 16 bits

inline constexpr const char *online = "online";
inline constexpr const char *offline = "offline";

struct Discovery {
	std::string topic;
	std::string config;
};

// Every name the zone's messages go by, and the texts of its claim.
struct Names {
	std::string client_id;     // unique to the host and the zone
	std::string sensor_topic;  // empty: the sensor is not on the bus
	std::string heater_topic;  // empty: the heater is not on the bus
	std::string state_topic;   // where the plug reports, or empty
	std::string t_temperature, t_command, t_heater, t_fault, t_availability, t_claim;
	std::string t_target, t_mode, t_action, t_target_set, t_mode_set;
	std::string claim, held;   // this daemon's claim messages
	Discovery discovery[4];
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

// The client, for the supervisor's publishes, and where this daemon stands
// on the zone.  The bus thread replaces the client; the supervisor
// publishes on it and drives the plug.
struct Client {
	mosquitto *mosq = nullptr;  // the bus thread's, while it has one
	Shown shown;
	bool active = false;       // the zone is this daemon's: it may publish
	bool held_back = false;    // another daemon holds the zone
	bool last_on = false;      // the last command this daemon gave the plug was ON
	bool yielding = false;     // held back, and the plug may still take its OFF from this daemon
	bool off_sent = false;     // yielding: the OFF went out as the message off_mid
	int off_mid = 0;
};

// Acknowledgements, for bus_switch_off, bus_close and a plug's OFF as the
// daemon holds back: a bit for each message id, set when the broker took
// that message.  Each waiter clears its own as it publishes, so that no
// other message's acknowledgement can hide it.
struct Acks {
	std::bitset<mid_count> taken;

	bool has(int mid) const { return taken.test(static_cast<size_t>(mid) % mid_count); }
	void set(int mid, bool yes) { taken.set(static_cast<size_t>(mid) % mid_count, yes); }
};

// The bus thread's end, which bus_close waits for; the thread rests on it
// while idle.
struct Rest {
	bool finished = false;
};

// In topics.cpp: builds the client id, every topic name and the discovery
// configs.
Names names_of(const Config &cfg);

// What the supervisor's calls and the bus thread both reach.  A Client
// handle is taken before an Acks one, never the other way round.
struct Shared {
	Shared(const Config &config, Mailbox &mailbox, const Mosq &library)
		: cfg(config), mb(mailbox), lib(library), names(names_of(cfg))
	{
	}

	const Config cfg;
	Mailbox &mb;
	const Mosq &lib;
	const Names names;
	Locked<Client> client;
	Locked<Acks> acks;
	Locked<Rest> rest;
	std::atomic<bool> leaving{false};   // "offline" is on its way: no more "online"
	std::atomic<bool> stopping{false};  // the bus thread is to end
};

// Queues text on topic through the client m, QoS 1; the library's result.
int publish(const Mosq &lib, mosquitto *m, int *mid, const std::string &topic, const char *text, bool retain);

// In topics.cpp.
// Sends the state fields that differ from was (all of them when it is
// blank) on the client.
void send_state(const Shared &s, const Client &cl, const Shown &now, const Shown &was);
// Everything the zone shows, as a new connection owes it to the broker.
void show_all(const Shared &s, const Client &cl);
// A message's text, or false when it does not fit or holds a NUL.
bool text_of(const mosquitto_message *m, char (&text)[payload_max]);

// The link, as the bus thread sees it.
enum class Link {
	idle,        // no client: waiting for the next attempt
	connecting,  // connecting, until the CONNACK
	claiming,    // connected, waiting to hear whether the zone is another's
	active,      // the zone is this daemon's
	yielding,    // another daemon holds the zone: the plug's OFF goes out before this one lets go
	watching,    // another daemon holds the zone: connected without a Last Will, to see it go
	held,        // another daemon holds the zone on this host: off the bus while it runs
};

// The bus thread: libmosquitto's loop and callbacks, the link's life and
// the claim on the zone.
class BusThread {
public:
	explicit BusThread(Shared &s) : s_(s) {}
	~BusThread();
	BusThread(const BusThread &) = delete;
	BusThread &operator=(const BusThread &) = delete;

	// Before the thread starts: whether the library takes the settings
	// (else prints why), and this host's lock on the zone, without which
	// the daemon stays off the broker.
	bool open();
	// The thread's body, until Shared::stopping.
	void run();

private:
	// bus.cpp: the connection's life.
	bool check_settings();
	bool lock_host();
	void lock_host_again(double now);
	mosquitto *set_up(const char **why);
	int configure(mosquitto *m);
	void attempt(double now);
	void check(int rc, int err, double now);
	void lose(int rc, int err, double now);
	void await_connack(int err, double now);
	void fail(const char *why, double now);
	void end_link(const char *why);
	void say_error(int rc, int err, char *out, size_t len) const;
	const char *dead_socket(int err) const;
	int wait_ms(double now) const;
	void rest(double now);
	void connected(int rc);
	void ask();
	void subscribe(const std::string &topic);
	void log_tls(mosquitto *m, int level, const char *line);
	int send(const std::string &topic, const char *text, bool retain);
	// Ends the client.  A DISCONNECT goes first where one can, so that the
	// broker sends no Last Will: for a stop, or for a zone that is another's.
	void drop(bool politely);
	static void on_connect(mosquitto *, void *obj, int rc);
	static void on_disconnect(mosquitto *, void *obj, int rc);
	static void on_publish(mosquitto *, void *obj, int mid);
	static void on_log(mosquitto *m, void *obj, int level, const char *line);

	// topics.cpp: what the zone's topics bring.
	static void on_message(mosquitto *, void *obj, const mosquitto_message *m);
	void hear(const mosquitto_message *m);
	void hear_reading(const mosquitto_message *m);
	void hear_report(const mosquitto_message *m);
	void hear_availability(const mosquitto_message *m);
	void hear_setting(const mosquitto_message *m, bool target);
	bool matches(const std::string &sub, const char *topic) const;

	// claim.cpp: the claim on the zone.
	// What this daemon does with a message on the claim topic.
	void hear_claim(const mosquitto_message *m);
	// The zone is this daemon's: everything it shows goes out, and the
	// supervisor sends the plug its command at once.
	void hold_zone(double now);
	// Says again that the zone is this daemon's.
	void say_held(double now);
	// Another daemon holds the zone.  A plug this one left ON would stay so
	// with nobody to drive it: the supervisor is told at once, and its
	// driver's OFF goes out before this one lets go.  Then this one
	// watches, without a Last Will, for the holder to go.
	void leave_zone(double now);
	// While yielding: lets go once the plug's OFF is taken, the link has
	// ended, or off_wait_s has passed.
	void yield_plug(int rc, double now);
	bool off_taken();
	void watch(double now);
	// The daemon that held the zone has gone silent: this one claims it
	// anew, with its Last Will.
	void claim_again(double now);

	Shared &s_;
	mosquitto *mosq_ = nullptr;
	Link link_ = Link::idle;
	bool yield_ = false;           // set by a callback: the zone is another's
	bool watch_ = false;           // connect as a watcher
	bool warned_retained_ = false; // the retained reading was said to be skipped
	double since_s_ = 0;           // when the current connection, claim or yielding began
	double next_try_s_ = 0;
	double backoff_s_ = retry_first_s;
	double rival_seen_s_ = 0;      // when the daemon that holds the zone last said so
	double next_held_s_ = 0;       // when to say again that the zone is this daemon's
	char said_[why_max] = "";      // the last failure logged, so that each is said once
	char gone_[why_max] = "";      // set by a callback: the link has ended, and why
	char tls_why_[why_max] = "";   // what the TLS layer said of this connection
	int host_lock_ = -1;           // held for the daemon's life
};
