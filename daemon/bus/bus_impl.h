// The bus's insides, shared by its files: bus.cpp keeps the connection's
// life, topics.cpp what the zone's topics carry, and claim.cpp the claim
// on the zone.  Nothing outside the bus includes this.
#pragma once

#include <atomic>
#include <bitset>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <thread>

#include "bus.h"
#include "config.h"
#include "mosq.h"

inline constexpr double retry_first_s = 1;      // backoff of connection attempts, growing from here
inline constexpr int loop_wait_ms = 1000;       // longest wait in the loop, which times the keepalive
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

	// Acknowledgements, for bus_switch_off, bus_close and a plug's OFF as
	// the daemon holds back: a bit for each message id, set when the broker
	// took that message.  Each waiter clears its own as it publishes, so
	// that no other message's acknowledgement can hide it.
	std::bitset<mid_count> acked;
	std::mutex ack_lock;
	std::condition_variable ack_cv;
};

// In bus.cpp: queues text on topic, QoS 1; the library's result.
int publish(Bus &b, int *mid, const std::string &topic, const char *text, bool retain);
// The same, for a message whose acknowledgement the caller then awaits
// with acked().
int publish_awaited(Bus &b, int *mid, const std::string &topic, const char *text, bool retain);
// Whether the broker took the message mid.
bool acked(Bus &b, int mid);
// Ends the client.  A DISCONNECT goes first where one can, so that the
// broker sends no Last Will: for a stop, or for a zone that is another's.
void drop(Bus &b, bool politely);

// In topics.cpp.
// Builds the client id, every topic name and the discovery configs.
void build_topics(Bus &b);
// Sends the state fields that differ from what was shown (all of them when
// shown is blank); the caller holds the lock.
void send_state(Bus &b, const Shown &now, const Shown &was);
// Everything the zone shows, as a new connection owes it to the broker.
void show_all(Bus &b);
// A message's text, or false when it does not fit or holds a NUL.
bool text_of(const mosquitto_message *m, char (&text)[payload_max]);
// The message callback: each message goes to what hears its topic.
void on_message(mosquitto *, void *obj, const mosquitto_message *m);

// In claim.cpp.
// What this daemon does with a message on the claim topic.
void hear_claim(Bus &b, const mosquitto_message *m);
// The zone is this daemon's: everything it shows goes out, and the
// supervisor sends the plug its command at once.
void hold_zone(Bus &b, double now);
// Another daemon holds the zone.  A plug this one left ON would stay so
// with nobody to drive it: it gets its OFF first, and the holder sends
// its own command within a period.  Then this one watches, without a Last
// Will, for the holder to go.
void leave_zone(Bus &b, double now);
// The daemon that held the zone has gone silent: this one claims it anew,
// with its Last Will.
void claim_again(Bus &b, double now);
