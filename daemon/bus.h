// ombrixd on an MQTT broker: the mqtt: sensor and heater, the daemon's own
// state under ombrix/<zone>/, and discovery configs for home-automation
// hubs.  libmosquitto runs the connection on a thread of its own and
// reconnects with backoff; nothing here blocks the caller on the network.
#pragma once

#include <string>

#include "config.h"

class Mailbox;
class Bus;

// What the daemon shows of itself under ombrix/<zone>/.
struct BusState {
	bool have_temp = false;
	float temp = 0;               // published unit
	const char *command = "";     // "ON", "OFF" or "" before the first
	bool heater = false;
	const char *fault = "";       // the holding rule's name, or ""
};

// Connects to cfg.mqtt_host (started at once, in the background; the first
// connection need not have succeeded when this returns) with the Last Will
// that makes availability "offline".  Readings of an mqtt: sensor (in the
// sensor's own unit; retained ones never count) and the reports of a
// --heater-state topic go to mb, and so does each new connection.  With
// cfg.switch_off it only connects, for bus_switch_off().  Returns nullptr
// after printing one line on a fatal start-up problem (TLS files
// unreadable, the library refuses the settings).
Bus *bus_open(const Config &cfg, Mailbox &mb);

// Publishes the heater command on the mqtt: heater topic, QoS 1, not
// retained.  Returns false with *why set when it could not be queued
// (not connected).
bool bus_heater(Bus &b, bool on, const char **why);

// Publishes the state topics that changed (all of them after a new
// connection), retained.
void bus_state(Bus &b, const BusState &st);

// Drives the heater OFF once and waits up to timeout_s for the broker to
// acknowledge it: for --switch-off.  Returns whether it was acknowledged.
bool bus_switch_off(Bus &b, double timeout_s);

// Says goodbye: availability "offline", then disconnects and stops the
// thread, waiting at most about a second.
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
