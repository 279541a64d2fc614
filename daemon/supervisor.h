// The supervisor: the daemon's main thread once it has started.  It alone
// owns the safety rules and decides; it takes what the other threads post
// (mailbox.h), asks the driver for what the rules decided, and shows each
// change.  It waits for nothing but its poll, so that no rule ever waits
// for the library, the heater, a log reader, the disk or the network.
#pragma once

#include "config.h"
#include "rules.h"
#include "setting.h"

class Bus;
class Driver;
class Keeper;
class Mailbox;
class Publisher;

// The heater as it was last driven.
enum class Driven { off, on, failed };

// Everything the supervisor keeps.
struct Daemon {
	const Config &cfg;
	rules::Settings settings;
	rules::State st;
	Driver &driver;
	Publisher &publisher;
	Keeper &keeper;
	Setting setting;
	Bus *bus;
	Mailbox &mb;
	int signals;                        // signalfd
	double end_s;                       // --duration, or never
	bool resends;                       // the heater gets its command every period
	bool wanted = false;                // what the driver was last asked
	double next_drive_s;                // when to ask it again
	Driven heater = Driven::off;        // as the driver last said
	const char *drive_why = nullptr;    // the last failed switch's reason, logged once
	bool drive_failed_on = false;
	const char *bad_why = nullptr;      // the last bad reading's reason, logged once
	const char *command_why = nullptr;  // why the command is unknown
	char shown[128] = "";               // the last state line, without its time
	double watchdog_s = 0;              // the service manager's interval; 0: none
	double last_ping_s = 0;
};

// The rules' settings for cfg.
rules::Settings settings_of(const Config &cfg);

// The heater's start-up OFF went as ok says (why, when it did not).
void started_off(Daemon &d, bool ok, const char *why, double now);

// Applies the setting kept from an earlier run and says where it came from.
void start_setting(Daemon &d);

// Runs the rules until a signal that ends the daemon, or the end of
// --duration; returns that signal, or 0.
int supervise(Daemon &d);

// The end: the heater's last OFF (acknowledged, for a plug), the last state
// shown, what waits to be kept saved, and the bus closed.  Returns whether the heater took the OFF.
bool finish(Daemon &d);
