// ombrixd on an MQTT broker: the mqtt: sensor and heater, the daemon's own
// state under ombrix/<zone>/, the target and mode a hub sets there, and
// discovery configs for home-automation hubs.  A thread of the bus keeps the connection: it notices when the
// link is gone and connects again with backoff; nothing here blocks the
// caller on the network.
//
// One daemon holds a zone on the bus.  A second one, on this host or
// another, holds back: it tells the supervisor, whose rule then holds its
// own heater OFF until the zone is this daemon's again; a plug it left ON
// takes that OFF from its driver first.  Then it publishes nothing of the
// zone and drives no plug.  Only the driver's calls, bus_heater and
// bus_switch_off, ever command the plug.
#pragma once

#include <string>

#include "config.h"

class Mailbox;
class Bus;

// What the daemon shows of itself under ombrix/<zone>/.
struct BusState {
	bool have_temp = false;
	float temp = 0;               // --unit
	const char *command = "";     // "ON", "OFF" or "" before the first
	const char *heater = "OFF";  // as it really is: "ON", "OFF" or "failed"
	const char *fault = "";       // the holding rule's name, or ""
	double target = 0;            // --unit
	const char *mode = "heat";    // "heat" or "off"
	const char *action = "idle";  // "heating", "idle" or "off"
};

// Connects to cfg.mqtt_host (started at once, in the background; the first
// connection need not have succeeded when this returns) with the Last Will
// that makes availability "offline".  Readings of an mqtt: sensor (in the
// sensor's own unit; retained ones never count) and the reports of a
// --heater-state topic go to mb, and so does each new connection once the
// zone is this daemon's, and whether another daemon holds it.  So do
// the target and mode sent to ombrix/<zone>/target/set and mode/set, to
// the daemon that holds the zone and never retained; a payload that is not
// a number, or not heat or off, is refused with one line.  With
// cfg.switch_off it only connects, for bus_switch_off().  Returns nullptr
// after printing one line on a fatal start-up problem (a CA file that does
// not load, the library refuses the settings).
Bus *bus_open(const Config &cfg, Mailbox &mb);

// Publishes the heater command on the mqtt: heater topic, QoS 1, not
// retained.  Returns false with *why set when it could not be queued (not
// connected, or the zone is another daemon's).  As this daemon yields the
// zone with its last command to the plug an ON, an OFF is published and
// the link kept until the broker takes it, for at most 2 s; an ON is
// refused.  Else, while another daemon holds the zone, an OFF sends
// nothing and succeeds once this daemon's last command to the plug was an
// OFF that the broker took.
bool bus_heater(Bus &b, bool on, const char **why);

// Publishes the state topics that changed (all of them after a new
// connection), retained.
void bus_state(Bus &b, const BusState &st);

// Drives the heater OFF once and waits up to timeout_s for the broker to
// acknowledge it: for --switch-off and the daemon's end.  Returns whether
// it was acknowledged.
bool bus_switch_off(Bus &b, double timeout_s);

// Says goodbye: availability "offline", then disconnects and stops the
// thread, waiting at most about two seconds.
void bus_close(Bus *b);

// The payload parsers, on a message's whole text.
// A reading: without a field, a plain number (blanks around it allowed);
// with one, the number at that dotted path ("temperature",
// "DS18B20.Temperature") of a JSON object, and nothing else.  Returns true
// with *value set; false with *why set.
bool parse_sensor_payload(const char *text, const char *field, float *value, const char **why);
// What a plug says of itself: on or off (--heater-on/--heater-off, or
// ON/OFF, in any case), or a JSON object whose "state" or "POWER" says so.
// Returns false for anything else.
bool parse_heater_report(const char *text, const std::string &on, const std::string &off, bool *is_on);

// The claim on a zone, on ombrix/<zone>/claim, QoS 1 and never retained:
// each daemon says "claim ID" on connecting and waits a moment before it
// takes the zone; the one that holds it says "held ID" at once to each
// claim and again every held_every_s.  One that holds back keeps watching
// the topic, and takes the zone back once no "held" has come for
// rival_silent_s: a claim proves a live rival, or it is nothing.
inline constexpr const char *claim_asked = "claim ";
inline constexpr const char *claim_held = "held ";
inline constexpr double held_every_s = 2;
inline constexpr double rival_silent_s = 10;  // five "held" missed in a row

// Where a daemon stands on its zone.
enum class Role {
	asking,    // connected, waiting to hear whether the zone is another's
	holding,   // the zone is this daemon's
	watching,  // another daemon holds it: this one drives no plug
};
enum class Claim {
	ignore,  // one's own, a retained message (of unknown age), or not a claim
	answer,  // tell the other of this daemon's claim, which outranks it
	yield,   // the other's outranks it: hold back
	rival,   // the daemon that holds the zone is alive: keep holding back
};
// What a daemon with id me does with text seen on the claim topic: one
// that holds the zone outranks one that asks; between two alike the
// smaller id wins; a watcher hears only a holder.
Claim claim_seen(Role role, const std::string &me, const char *text, bool retained);
