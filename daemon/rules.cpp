// The safety rules.  decide() is the whole policy: it works out which rules
// hold at a given time, and from them whether the heater may be ON.
#include "rules.h"

#include <cmath>
#include <cstdio>
#include <iterator>
#include <limits>
#include <numeric>

#include <syslog.h>

#include "law.h"

namespace rules {

namespace {

constexpr double never = std::numeric_limits<double>::infinity();

// What a rule does while it holds.
enum Effect : unsigned {
	off = 1,     // the heater OFF, whatever else
	latch = 2,   // holds until clear_latches(), as SIGHUP asks
	veto = 4,    // takes the controller's say away: its command is missing,
	             // it was not told, or it did not answer; frost duty may run
};

using Words = int (*)(char *out, size_t n, const Facts &f);

struct Row {
	Rule rule;
	unsigned rank;     // for the state line: 0 is the most serious
	unsigned effects;  // Effect bits; none: the heater may still follow its duty
	int level;         // of the trip line
	const char *name;
	Words words;       // the trip line after "rule NAME tripped: "
};

// Every rule, in the order of the enum.
constexpr Row table[rule_count] = {
	{sensor_lost, 5, 0, LOG_WARNING, "sensor-lost", [](char *o, size_t n, const Facts &f) {
		 return std::snprintf(o, n, "no good reading for %g s; heater OFF%s", f.s.sensor_timeout_s,
		                      f.s.lost_duty_pct > 0 ? " but for the frost duty" : "");
	 }},
	{runaway, 0, off | latch, LOG_CRIT, "runaway", [](char *o, size_t n, const Facts &f) {
		 return std::snprintf(o, n, "ON for %g s without rising %g; heater OFF until SIGHUP", f.s.heat_check_s,
		                      f.s.heat_gain);
	 }},
	{max_on, 1, off | latch, LOG_CRIT, "max-on", [](char *o, size_t n, const Facts &f) {
		 return std::snprintf(o, n, "ON for %g s without a break; heater OFF until SIGHUP", f.s.max_on_s);
	 }},
	{state_unknown, 7, veto, LOG_WARNING, "state-unknown", [](char *o, size_t n, const Facts &f) {
		 if (f.st.command == Command::unknown && f.command_why)
			 return std::snprintf(o, n, "%s; heater OFF", f.command_why);
		 return std::snprintf(o, n, "no command read for %g s; heater OFF", f.s.command_timeout_s);
	 }},
	{heater_mismatch, 8, 0, LOG_WARNING, "heater-mismatch", [](char *o, size_t n, const Facts &f) {
		 return std::snprintf(o, n, "the heater has not followed the command for %g s", f.s.mismatch_s);
	 }},
	{controller_silent, 4, veto, LOG_CRIT, "controller-silent", [](char *o, size_t n, const Facts &f) {
		 return std::snprintf(o, n, "the command is still ON %g s after the controller was told %.2f; heater OFF "
		                      "until it follows", f.s.silent_s, static_cast<double>(f.st.published));
	 }},
	{publish_failed, 6, veto, LOG_CRIT, "publish-failed", [](char *o, size_t n, const Facts &f) {
		 return std::snprintf(o, n, "no temperature published for %g s; heater OFF", f.s.publish_timeout_s);
	 }},
	{high_limit, 3, off, LOG_CRIT, "high-limit", [](char *o, size_t n, const Facts &f) {
		 return std::snprintf(o, n, "%.2f is above %g; heater OFF", static_cast<double>(f.st.temp), f.s.high_limit);
	 }},
	{duplicate_zone, 2, off, LOG_CRIT, "duplicate-zone", [](char *o, size_t n, const Facts &f) {
		 return std::snprintf(o, n, "another ombrixd holds zone %s; heater OFF while it does", f.zone);
	 }},
};

constexpr bool in_order()
{
	for (unsigned r = 0; r < rule_count; r++)
		if (table[r].rule != r)
			return false;
	return true;
}
static_assert(in_order(), "the table lists the rules in the order of the enum");

// The rules with an effect, a bit each.
constexpr unsigned with(unsigned effect)
{
	return std::accumulate(std::begin(table), std::end(table), 0u,
	                       [=](unsigned mask, const Row &r) { return (r.effects & effect) ? mask | 1u << r.rule : mask; });
}

constexpr unsigned latched = with(latch);
constexpr unsigned vetoes = with(veto);
constexpr unsigned forced_off = with(off);

unsigned bit(Rule r)
{
	return 1u << r;
}

bool holds(const State &st, Rule r)
{
	return st.active & bit(r);
}

// Whether the frost-protection duty lets the heater run at now: ON for the
// first lost_duty_pct of each window since the sensor was lost.
bool duty_on(const State &st, const Settings &s, double now, double *next)
{
	double on_s = duty_window_s * s.lost_duty_pct / 100;
	double into = std::fmod(now - st.lost_since_s, duty_window_s);
	double window_start = now - into;
	bool on = into < on_s;
	*next = on ? window_start + on_s : window_start + duty_window_s;
	return on;
}

// The runaway check over the current ON stretch: every heat_check_s the
// temperature must have risen by heat_gain since the last check.
void check_runaway(State &st, const Settings &s, double now, unsigned *active, double *next)
{
	if (s.heat_check_s <= 0 || !st.heater)
		return;
	double due = st.check_since_s + s.heat_check_s;
	if (now < due) {
		*next = std::fmin(*next, due);
		return;
	}
	if (st.temp - st.check_temp < s.heat_gain) {
		*active |= bit(runaway);
		return;
	}
	st.check_since_s = now;
	st.check_temp = st.temp;
	*next = std::fmin(*next, now + s.heat_check_s);
}

void check_max_on(const State &st, const Settings &s, double now, unsigned *active, double *next)
{
	if (s.max_on_s <= 0 || !st.heater)
		return;
	double due = st.on_since_s + s.max_on_s;
	if (now >= due)
		*active |= bit(max_on);
	else
		*next = std::fmin(*next, due);
}

void check_mismatch(State &st, const Settings &s, double now, unsigned *active, double *next)
{
	if (s.mismatch_s <= 0)
		return;
	bool matches = st.reported_known && st.reported == st.heater;
	if (matches) {
		st.mismatched = false;
		return;
	}
	if (holds(st, heater_mismatch)) {
		*active |= bit(heater_mismatch);  // still not following: no new count
		return;
	}
	if (!st.mismatched) {
		st.mismatched = true;
		st.mismatch_since_s = now;
	}
	double due = st.mismatch_since_s + s.mismatch_s;
	if (now >= due)
		*active |= bit(heater_mismatch);
	else
		*next = std::fmin(*next, due);
}

// r holds from due on; until then, due is when to look again.
void trip_at(Rule r, double due, double now, unsigned *active, double *next)
{
	if (now >= due)
		*active |= bit(r);
	else
		*next = std::fmin(*next, due);
}

// No command, or only an old one: the reader is stuck or the file holds
// something else.
void check_command(const State &st, const Settings &s, double now, unsigned *active, double *next)
{
	if (st.command == Command::unknown)
		*active |= bit(state_unknown);
	else
		trip_at(state_unknown, st.last_command_s + s.command_timeout_s, now, active, next);
}

// The controller decides on what it was told: a good reading it has not
// been told for the timeout leaves it deciding on an old one.
void check_publish(const State &st, const Settings &s, double now, unsigned *active, double *next)
{
	if (st.have_temp && st.last_good_s > st.last_published_s)
		trip_at(publish_failed, st.last_published_s + s.publish_timeout_s, now, active, next);
}

void check_high_limit(State &st, const Settings &s, unsigned *active)
{
	if (st.easing && st.have_temp && !(st.temp > static_cast<float>(s.high_limit)))
		st.easing = false;
	double at = st.easing ? st.eased_limit : s.high_limit;
	float limit = static_cast<float>(at);
	float back = static_cast<float>(at - high_limit_band);
	if (st.have_temp && (st.temp > limit || (holds(st, high_limit) && st.temp > back)))
		*active |= bit(high_limit);
}

// A live controller answers a temperature above its OFF threshold with OFF
// within a cycle; one that leaves ON standing is dead or hung.  Below its
// ON threshold an ON is what it would write, so the rule lets go there.
void check_silent(const State &st, const Settings &s, double now, unsigned *active, double *next)
{
	if (st.command != Command::on || !st.have_published)
		return;
	if (holds(st, controller_silent) && !(st.published < law::on_below))
		*active |= bit(controller_silent);
	else if (st.published > law::off_above)
		trip_at(controller_silent, st.above_since_s + s.silent_s, now, active, next);
}

// A relay's contacts and a boiler's ignition wear with each start: once
// OFF, the heater rests min_off_s before it may come ON again, however
// often its inputs flip.  Only the ON waits; nothing holds an OFF back.
// The start is no OFF: the heater went OFF then to be safe, not after a
// stretch ON, and heats at once when it may.
bool rested(const State &st, const Settings &s, double now, double *next)
{
	if (st.heater || !st.was_on)
		return true;
	double due = st.off_since_s + s.min_off_s;
	if (now >= due)
		return true;
	*next = std::fmin(*next, due);
	return false;
}

// Starts or ends an ON stretch, which the runaway and max-on rules time,
// and an OFF one, which the rest before the next ON times.
void switch_heater(State &st, bool on, double now)
{
	if (on && !st.heater) {
		st.on_since_s = now;
		st.check_since_s = now;
		st.check_temp = st.temp;
	}
	if (!on && st.heater) {
		st.off_since_s = now;
		st.was_on = true;
	}
	if (on != st.heater)
		st.mismatched = false;  // the heater gets time to follow
	st.heater = on;
}

} // namespace

const char *name(Rule r)
{
	return r < rule_count ? table[r].name : "none";
}

int trip_level(Rule r)
{
	return table[r].level;
}

void trip_words(Rule r, const Facts &f, char *out, size_t n)
{
	table[r].words(out, n, f);
}

State start(double now)
{
	State st;
	st.last_good_s = now;
	st.last_command_s = now;
	st.last_published_s = now;
	st.lost_since_s = now;
	return st;
}

bool plausible(const Settings &s, float t)
{
	// In single precision, as the reading is: --max 122.3 lets 122.3 pass.
	return std::isfinite(t) && t >= static_cast<float>(s.min) && t <= static_cast<float>(s.max);
}

bool reading(State &st, const Settings &s, double now, float t)
{
	if (!plausible(s, t))
		return false;
	st.have_temp = true;
	st.temp = t;
	st.last_good_s = now;
	return true;
}

void published(State &st, double when, float t)
{
	bool above = t > law::off_above;
	if (above && !(st.have_published && st.published > law::off_above))
		st.above_since_s = when;
	st.have_published = true;
	st.published = t;
	st.last_published_s = when;
}

void command(State &st, double now, Command c)
{
	st.command = c;
	st.last_command_s = now;
	st.commanded = st.commanded || c == Command::on || c == Command::off;
}

void heater_report(State &st, bool on)
{
	st.reported_known = true;
	st.reported = on;
}

void set_mode(State &st, bool off)
{
	st.mode_off = off;
}

void limit_moved(State &st, const Settings &s, double from)
{
	// Before a first reading the room may stand anywhere below the old
	// limit: a start from a kept setback eases from the zone's own.
	bool above = !st.have_temp || st.temp > static_cast<float>(s.high_limit);
	double was = st.easing ? std::fmax(st.eased_limit, from) : from;
	st.easing = above && was > s.high_limit && !holds(st, high_limit);
	st.eased_limit = was;
}

void duplicate(State &st, bool held_elsewhere)
{
	st.duplicate = held_elsewhere;
}

void clear_latches(State &st)
{
	st.unlatch = true;
}

Decision decide(State &st, const Settings &s, double now)
{
	double next = never;
	unsigned before = st.active;
	unsigned active = st.unlatch ? 0 : st.active & latched;
	st.unlatch = false;

	double lost_at = st.last_good_s + s.sensor_timeout_s;
	if (now >= lost_at) {
		active |= bit(sensor_lost);
		if (!holds(st, sensor_lost))
			st.lost_since_s = lost_at;
	} else {
		next = lost_at;
	}
	check_command(st, s, now, &active, &next);
	check_publish(st, s, now, &active, &next);
	check_high_limit(st, s, &active);
	check_silent(st, s, now, &active, &next);
	if (st.duplicate)
		active |= bit(duplicate_zone);

	// The heater as the rules so far allow it; then the rules that time an
	// ON stretch, which may take it back.
	bool on;
	if (active & bit(sensor_lost)) {
		// Frost duty stands in for a thermostat that was working, command
		// and all: not for one that never had a reading and a command
		// since it started.
		bool worked = st.have_temp && st.commanded;
		double duty_next = never;
		on = worked && s.lost_duty_pct > 0 && duty_on(st, s, now, &duty_next);
		next = std::fmin(next, duty_next);
	} else {
		on = st.have_temp && st.command == Command::on && !(active & vetoes);
	}
	on = on && !st.mode_off && !(active & forced_off) && rested(st, s, now, &next);
	switch_heater(st, on, now);
	check_runaway(st, s, now, &active, &next);
	check_max_on(st, s, now, &active, &next);
	if (active & latched)
		switch_heater(st, false, now);
	check_mismatch(st, s, now, &active, &next);

	st.active = active;
	return Decision{st.heater, active, active & ~before, before & ~active, next};
}

Rule shown(unsigned active)
{
	Rule most = rule_count;
	for (const Row &r : table)
		if (active & bit(r.rule) && (most == rule_count || r.rank < table[most].rank))
			most = r.rule;
	return most;
}

} // namespace rules
