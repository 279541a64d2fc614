// The safety rules of ombrixd, as one state machine with no clock of its
// own: it is fed the time, each sensor reading, each temperature published
// to the controller, each command read back and each state the heater
// reports, and it decides whether the heater may be ON.  Times are seconds
// on any monotonic clock.  Readings and the bounds they are held to are in
// the person's unit (--unit); what the controller was told is on its own
// scale (law.h), whatever band the person set.
//
// Only a fresh command the controller really wrote may hold the heater ON,
// and only while the daemon's own reading and what the controller was told
// both back it.
#pragma once

#include <cstddef>
#include <cstdint>

namespace rules {

// The rules that can hold.  Each has a row in rules.cpp's table: its name
// (what the logs show), how serious it is, whether it latches, vetoes the
// command or holds the heater OFF, and the words of its trip line.
enum Rule : unsigned {
	sensor_lost,        // no good reading for sensor_timeout_s
	runaway,            // ON for heat_check_s without rising heat_gain; latched
	max_on,             // ON for max_on_s without a break; latched
	state_unknown,      // no command: none read for command_timeout_s, or not ON or OFF
	heater_mismatch,    // the heater has reported another state for too long
	controller_silent,  // the command still ON silent_s after the controller was told a
	                    // temperature above its OFF threshold; holds until the command
	                    // is OFF or what it was told falls below its ON threshold
	publish_failed,     // a good reading, but nothing published for publish_timeout_s
	high_limit,         // the reading is above high_limit
	duplicate_zone,     // another daemon holds the zone on the bus; until the bus says
	                    // the zone is this daemon's again
	rule_count
};

const char *name(Rule r);

// What the library last delivered: a command, or unknown when the status
// file held none or could not be read.
enum class Command { none, on, off, unknown };

struct Settings {
	double sensor_timeout_s = 60;
	double command_timeout_s = 12;  // no command read for this long is no command
	double publish_timeout_s = 60;
	double silent_s = 16;         // for controller_silent: a few controller cycles
	double high_limit = 80;       // moves with the band unless set (setpoint.h)
	double min = 14, max = 122;   // plausible readings
	double heat_check_s = 1800;   // 0: no runaway check
	double heat_gain = 1.0;
	double max_on_s = 0;          // 0: no limit
	double lost_duty_pct = 0;     // share of each duty window ON while sensor_lost holds
	double mismatch_s = 0;        // 0: the heater reports nothing
	double min_off_s = 0;         // an OFF stretch lasts at least this long; 0: no minimum
};

inline constexpr double duty_window_s = 600;
// high_limit clears once the reading is this far below it, so that a
// reading hovering at the limit does not switch the heater every period.
inline constexpr double high_limit_band = 1.0;  // degrees, the person's unit

struct State {
	// Times, on the machine's clock.
	double last_good_s = 0;       // of the last good reading, or the start
	double last_command_s = 0;    // of the last command (or unknown) read, or the start
	double last_published_s = 0;  // of the last temperature the controller got, or the start
	double above_since_s = 0;     // since when it is above the controller's OFF threshold
	double on_since_s = 0;        // start of the current ON stretch
	double check_since_s = 0;     // start of the current runaway check
	double lost_since_s = 0;      // when sensor_lost tripped: its duty windows start there
	double mismatch_since_s = 0;
	double off_since_s = 0;       // when the heater last went OFF, if it has been ON
	// Temperatures.
	float temp = 0;               // the last good reading
	float published = 0;          // the last temperature the controller got
	float check_temp = 0;         // the temperature at the start of the runaway check
	Command command = Command::none;
	unsigned active = 0;          // bit (1 << Rule) for each rule that holds
	bool have_temp = false;
	bool have_published = false;
	bool commanded = false;       // an ON or OFF has been read since the start
	bool heater = false;          // as last decided
	bool was_on = false;          // it has been ON since the start: the start is no OFF
	bool reported_known = false;  // the heater's own report, if any came
	bool reported = false;
	bool mismatched = false;
	bool duplicate = false;       // the bus says another daemon holds the zone
	bool unlatch = false;         // clear_latches() was called
	bool mode_off = false;        // the person set the mode off: no rule, just OFF
	double eased_limit = 0;       // the high limit before it moved down, while the
	bool easing = false;          // room is still above the new one (limit_moved())
};

// A new machine at time now: heater OFF, no reading, no command.
State start(double now);

// True when t is a reading that may be published: a number within min..max.
bool plausible(const Settings &s, float t);

// Feeds one sensor reading (NaN for an unreadable one).  Returns whether it
// was good, and so is to be published.
bool reading(State &st, const Settings &s, double now, float t);
// The controller was given t at when, which may lie before the last decide().
void published(State &st, double when, float t);
// The library read c at now.
void command(State &st, double now, Command c);
void heater_report(State &st, bool on);
// The person's mode: off holds the heater OFF, without a rule; heat gives
// the controller its say back.
void set_mode(State &st, bool off);
// The high limit moved from `from` to s.high_limit with the band.  Lowered
// below where the room stands, or where it may stand when no reading has
// come yet (a start with a kept setback), the old one holds until the room
// is down to the new one: a setback is no fault.  Raised, the new one holds
// at once.
void limit_moved(State &st, const Settings &s, double from);
// Whether another daemon holds the zone, as the bus last decided: heater
// OFF while it does.  SIGHUP does not clear it: only the bus knows.
void duplicate(State &st, bool held_elsewhere);
// Clears the latched rules (runaway, max_on), as SIGHUP does, at the next
// decide(), which reports them cleared.
void clear_latches(State &st);

struct Decision {
	bool heater;          // ON when true
	unsigned active;      // rules that hold, a bit each
	unsigned tripped;     // rules that began to hold at this call
	unsigned cleared;     // rules that stopped holding at this call
	double next_s;        // call again by then at the latest (+inf: no need)
};

// Applies every rule at time now, which must not go backwards.
Decision decide(State &st, const Settings &s, double now);

// The rule to name for an active set, the most serious first; rule_count
// when none holds.
Rule shown(unsigned active);

// What a trip line tells beyond the rules' own state.
struct Facts {
	const Settings &s;
	const State &st;
	const char *zone;         // the zone's name on the bus
	const char *command_why;  // why the command is unknown, or nullptr
};

// The words after "rule NAME tripped: " when r trips, into out (n bytes).
void trip_words(Rule r, const Facts &f, char *out, size_t n);
// The syslog priority of r's trip line: LOG_CRIT for a fault of the
// heating itself, LOG_WARNING for one of its inputs.
int trip_level(Rule r);

} // namespace rules
