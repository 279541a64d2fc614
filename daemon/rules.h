// The safety rules of ombrixd, as one state machine with no clock of its
// own: it is fed the time, each sensor reading, each command the library
// delivers and each state the heater reports, and it decides whether the
// heater may be ON.  Times are seconds on any monotonic clock; temperatures
// are in the published unit.
#pragma once

#include <cstdint>

namespace rules {

// The rules that can hold.  Their names are what the logs show.
enum Rule : unsigned {
	sensor_lost,      // no good reading for sensor_timeout_s
	runaway,          // ON for heat_check_s without rising heat_gain; latched
	max_on,           // ON for max_on_s without a break; latched
	state_unknown,    // the library gave up reading the command
	heater_mismatch,  // the heater has reported another state for too long
	duplicate_zone,   // another daemon holds the zone on the bus; until a restart
	rule_count
};

const char *name(Rule r);

// What the library last delivered.
enum class Command { none, on, off, unknown };

struct Settings {
	double sensor_timeout_s = 60;
	double min = 14, max = 122;   // plausible readings
	double heat_check_s = 1800;   // 0: no runaway check
	double heat_gain = 1.0;
	double max_on_s = 0;          // 0: no limit
	double lost_duty_pct = 0;     // share of each duty window ON while sensor_lost holds
	double mismatch_s = 0;        // 0: the heater reports nothing
};

inline constexpr double duty_window_s = 600;

struct State {
	bool have_temp = false;
	float temp = 0;               // the last good reading
	double last_good_s = 0;       // when it came, or the start
	Command command = Command::none;
	bool commanded = false;       // an ON or OFF has been read since the start
	bool heater = false;          // as last decided
	double on_since_s = 0;        // start of the current ON stretch
	double check_since_s = 0;     // start of the current runaway check
	float check_temp = 0;         // the temperature then
	double lost_since_s = 0;      // when sensor_lost tripped: its duty windows start there
	bool reported_known = false;  // the heater's own report, if any came
	bool reported = false;
	double mismatch_since_s = 0;
	bool mismatched = false;
	bool duplicate = false;       // the bus found another daemon of the zone
	unsigned active = 0;          // bit (1 << Rule) for each rule that holds
	bool unlatch = false;         // clear_latches() was called
};

// A new machine at time now: heater OFF, no reading, no command.
State start(double now);

// True when t is a reading that may be published: a number within min..max.
bool plausible(const Settings &s, float t);

// Feeds one sensor reading (NaN for an unreadable one).  Returns whether it
// was good, and so is to be published.
bool reading(State &st, const Settings &s, double now, float t);
void command(State &st, Command c);
void heater_report(State &st, bool on);
// Another daemon holds the zone: heater OFF from now on.
void duplicate(State &st);
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

} // namespace rules
